# GoogleTest for every test target of the project, as the targets gtest and
# gtest_main. A native build links Debian's prebuilt static libraries
# (libgtest-dev), so no build compiles GoogleTest again; a cross build (the
# suite runs under qemu) and a ThreadSanitizer build (every object it runs must
# be instrumented) compile it from Debian's source package.
if(TARGET gtest)
  return()
endif()
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE)
set(gtest_disable_pthreads OFF CACHE BOOL "" FORCE)
set(_tnr_md_gtest_prebuilt FALSE)
if(NOT CMAKE_CROSSCOMPILING AND NOT TNR_MD_SANITIZE MATCHES "thread")
  set(CMAKE_FIND_PACKAGE_TARGETS_GLOBAL ON)
  find_package(GTest QUIET)
  set(CMAKE_FIND_PACKAGE_TARGETS_GLOBAL OFF)
  if(TARGET GTest::gtest AND TARGET GTest::gtest_main)
    set(_tnr_md_gtest_prebuilt TRUE)
  endif()
endif()
if(_tnr_md_gtest_prebuilt)
  add_library(gtest INTERFACE)
  target_link_libraries(gtest INTERFACE GTest::gtest)
  add_library(gtest_main INTERFACE)
  target_link_libraries(gtest_main INTERFACE GTest::gtest_main)
elseif(EXISTS /usr/src/googletest/CMakeLists.txt)
  add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
  # GoogleTest's own sources do not build warning-free with -Werror.
  foreach(t gtest gtest_main)
    target_compile_options(${t} PRIVATE -Wno-error)
  endforeach()
else()
  message(FATAL_ERROR "GoogleTest not found: install libgtest-dev (native) or googletest (cross builds)")
endif()
