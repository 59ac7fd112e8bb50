# Flags every target of the project shares. Floating point is never contracted
# into fused multiply-adds and never relaxed: the results are bit-exact across
# ARMv7-A, AArch64 and x86-64, and across the per-sample and vector forms.
add_compile_options(-ffp-contract=off -fno-fast-math -Wall -Wextra -Werror)
if(CMAKE_CXX_COMPILER_ID MATCHES "Clang")
  add_compile_options(-fno-associative-math)
endif()
# GCC 12 (Debian's native and cross compilers) can rewrite the address of a
# member array indexed in a loop (the pass's chunk of static alphas) into a
# memory reference with a null base; its later side-effect analysis takes that
# for a null dereference, marks the rest of the block unreachable, finds the
# function free of stores and deletes its calls. The NEON pass on x86 lost
# every call of its moving blocks that way (the twin tests failed) after an
# unrelated change moved one helper out of line. The library never relies on
# deleting null checks, so the inference is off.
if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
  add_compile_options(-fno-delete-null-pointer-checks)
endif()

if(TNR_MD_SANITIZE)
  add_compile_options(-fsanitize=${TNR_MD_SANITIZE} -fno-omit-frame-pointer
                      -fno-sanitize-recover=all)
  add_link_options(-fsanitize=${TNR_MD_SANITIZE})
endif()
# Under AddressSanitizer and UBSan the instrumented code is the code under test:
# the library, the stream object, the executor and the front ends. The test
# drivers compile without instrumentation (their buffers still come from the
# sanitizer's allocator, with its redzones, and every access the library makes
# is checked); instrumenting them quadrupled their compile time for nothing the
# suites look for. ThreadSanitizer instruments everything: a synchronisation it
# does not see is a false report.
set(TNR_MD_TEST_DRIVER_OPTIONS "")
if(TNR_MD_SANITIZE AND NOT TNR_MD_SANITIZE MATCHES "thread")
  set(TNR_MD_TEST_DRIVER_OPTIONS -fno-sanitize=all)
endif()

# Flags of the translation units that hold vector forms, and only of those.
# ARMv7-A gets its NEON unit from the toolchain file (-mfpu=neon-vfpv4);
# AArch64 always has it; on x86-64 the NEON source runs through SIMDe.
set(TNR_MD_VECTOR_FLAGS "")
if(CMAKE_SYSTEM_PROCESSOR MATCHES "x86_64|AMD64|amd64")
  # The x86 forms (*_x86.cpp) compile once per x86-64 level, each into its
  # own namespace (see algos/anr/tnr_md/CMakeLists.txt): x86-64-v2 (SSE4.1),
  # x86-64-v3 (AVX2), x86-64-v4 (AVX-512 F/BW/DQ/VL/CD), and x86-64-v4 with
  # AVX-512 VBMI where the compiler has it. The library links one level:
  # by default the best the build host has (a cross build, with no host to
  # read, x86-64-v3); a library meant for other machines sets
  # -DTNR_MD_X86_LEVEL to the lowest level they have. Every level gives the
  # same bytes; the tests, the benchmark and the fuzzer link every level and
  # run each one the machine can. The NEON source through SIMDe stays at
  # x86-64-v2 whatever the level: at v3 SIMDe forms some conversions with
  # fused multiply-adds, which the library never contains, and it is the
  # slower form on x86 anyway.
  set(_tnr_md_x86_default "x86-64-v3")
  set(_tnr_md_flags "")
  if(NOT CMAKE_CROSSCOMPILING AND EXISTS /proc/cpuinfo)
    file(STRINGS /proc/cpuinfo _tnr_md_flags REGEX "^flags" LIMIT_COUNT 1)
    set(_tnr_md_has_v4 TRUE)
    foreach(_f avx512f avx512bw avx512dq avx512vl avx512cd)
      if(NOT _tnr_md_flags MATCHES " ${_f}( |$)")
        set(_tnr_md_has_v4 FALSE)
      endif()
    endforeach()
    if(_tnr_md_has_v4)
      set(_tnr_md_x86_default "x86-64-v4")
    elseif(NOT _tnr_md_flags MATCHES " avx2( |$)")
      set(_tnr_md_x86_default "x86-64-v2")
    endif()
  endif()
  set(TNR_MD_X86_LEVEL "${_tnr_md_x86_default}" CACHE STRING "x86-64 level of the library's x86 forms")
  set_property(CACHE TNR_MD_X86_LEVEL PROPERTY STRINGS x86-64-v2 x86-64-v3 x86-64-v4)
  # The levels the compiler can build: x86_v2, x86_v3, x86_v4, x86_v4vbmi.
  include(CheckCXXCompilerFlag)
  check_cxx_compiler_flag("-march=x86-64-v4 -mavx512vbmi" TNR_MD_CXX_HAS_VBMI)
  set(TNR_MD_X86_SETS x86_v2 x86_v3 x86_v4)
  set(TNR_MD_X86_FLAGS_x86_v2 -march=x86-64-v2)
  set(TNR_MD_X86_FLAGS_x86_v3 -march=x86-64-v3)
  set(TNR_MD_X86_FLAGS_x86_v4 -march=x86-64-v4)
  if(TNR_MD_CXX_HAS_VBMI)
    list(APPEND TNR_MD_X86_SETS x86_v4vbmi)
    set(TNR_MD_X86_FLAGS_x86_v4vbmi -march=x86-64-v4 -mavx512vbmi)
  endif()
  # The sanitizer and fuzz builds check what runs: a set the build host
  # cannot run is only compiled there, which the release builds already do.
  option(TNR_MD_X86_RUNNABLE_SETS_ONLY "Build only the x86 sets this machine can run" OFF)
  if(TNR_MD_X86_RUNNABLE_SETS_ONLY AND NOT CMAKE_CROSSCOMPILING AND _tnr_md_flags)
    if(NOT _tnr_md_has_v4)
      list(REMOVE_ITEM TNR_MD_X86_SETS x86_v4 x86_v4vbmi)
    elseif(NOT _tnr_md_flags MATCHES " avx512vbmi( |$)")
      list(REMOVE_ITEM TNR_MD_X86_SETS x86_v4vbmi)
    endif()
  endif()
  # At x86-64-v4, AVX-512 VBMI (Ice Lake and later, Zen 4) replaces a table
  # lookup of eight byte shuffles in the per-pixel pass by one permute; on by
  # default where the build host has it.
  set(_tnr_md_vbmi_default OFF)
  if(TNR_MD_X86_LEVEL STREQUAL "x86-64-v4" AND TNR_MD_CXX_HAS_VBMI AND _tnr_md_flags
     MATCHES " avx512vbmi( |$)")
    set(_tnr_md_vbmi_default ON)
  endif()
  option(TNR_MD_X86_VBMI "x86-64-v4 forms also use AVX-512 VBMI" ${_tnr_md_vbmi_default})
  string(REPLACE "x86-64-" "x86_" TNR_MD_X86_SET "${TNR_MD_X86_LEVEL}")
  if(TNR_MD_X86_VBMI AND TNR_MD_X86_SET STREQUAL "x86_v4")
    set(TNR_MD_X86_SET x86_v4vbmi)
  endif()
  if(NOT TNR_MD_X86_SET IN_LIST TNR_MD_X86_SETS)
    message(FATAL_ERROR "tnr_md: no x86 set ${TNR_MD_X86_SET} (TNR_MD_X86_LEVEL, TNR_MD_X86_VBMI)")
  endif()
  message(STATUS "tnr_md: the library's x86 forms: ${TNR_MD_X86_SET}; sets built for tests: ${TNR_MD_X86_SETS}")
  # The NEON forms through SIMDe: no MMX registers, which are the x87 unit's
  # and would need an emms before the caller's long double arithmetic.
  set(TNR_MD_VECTOR_FLAGS -march=x86-64-v2 -mno-mmx)
endif()
