# Flags every target of the project shares. Floating point is never contracted
# into fused multiply-adds and never relaxed: the results are bit-exact across
# ARMv7-A, AArch64 and x86-64, and across the per-sample and vector forms.
add_compile_options(-ffp-contract=off -fno-fast-math -Wall -Wextra -Werror)
if(CMAKE_CXX_COMPILER_ID MATCHES "Clang")
  add_compile_options(-fno-associative-math)
endif()

if(TNR_MD_SANITIZE)
  add_compile_options(-fsanitize=${TNR_MD_SANITIZE} -fno-omit-frame-pointer
                      -fno-sanitize-recover=all)
  add_link_options(-fsanitize=${TNR_MD_SANITIZE})
endif()

# Flags of the translation units that hold vector forms, and only of those.
# ARMv7-A gets its NEON unit from the toolchain file (-mfpu=neon-vfpv4);
# AArch64 always has it; on x86-64 the NEON source runs through SIMDe.
set(TNR_MD_VECTOR_FLAGS "")
set(TNR_MD_X86_FLAGS "")
if(CMAKE_SYSTEM_PROCESSOR MATCHES "x86_64|AMD64|amd64")
  # The x86 forms (*_x86.cpp) build for the best x86-64 level of the build
  # host: x86-64-v4 (AVX-512 F/BW/DQ/VL/CD) where it has it, else x86-64-v3
  # (AVX2), else x86-64-v2 (SSE4.1). Each level has its own paths in the x86
  # forms; the bytes are the same at every level, and the presets
  # release-x86-v3 and release-x86-v2 keep the lower levels built and tested.
  # A build meant for other machines sets -DTNR_MD_X86_LEVEL to the lowest
  # level they have. A cross build (no host to read) defaults to x86-64-v3.
  # The NEON source through SIMDe stays at x86-64-v2 whatever the level: at v3
  # SIMDe forms some conversions with fused multiply-adds, which the library
  # never contains, and it is the slower twin on x86 anyway.
  set(_tnr_md_x86_default "x86-64-v3")
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
  set(TNR_MD_X86_LEVEL "${_tnr_md_x86_default}" CACHE STRING "x86-64 level of the x86 forms")
  set_property(CACHE TNR_MD_X86_LEVEL PROPERTY STRINGS x86-64-v2 x86-64-v3 x86-64-v4)
  message(STATUS "tnr_md: x86 forms built for ${TNR_MD_X86_LEVEL}")
  # At x86-64-v4, AVX-512 VBMI (Ice Lake and later, Zen 4) replaces a table
  # lookup of eight byte shuffles in the per-pixel pass by one permute; on by
  # default where the build host has it, and the preset release-x86-v4 keeps
  # the build without it.
  set(_tnr_md_vbmi_default OFF)
  if(TNR_MD_X86_LEVEL STREQUAL "x86-64-v4" AND NOT CMAKE_CROSSCOMPILING AND _tnr_md_flags
     MATCHES " avx512vbmi( |$)")
    set(_tnr_md_vbmi_default ON)
  endif()
  option(TNR_MD_X86_VBMI "x86-64-v4 forms also use AVX-512 VBMI" ${_tnr_md_vbmi_default})
  set(TNR_MD_VECTOR_FLAGS -march=x86-64-v2)
  set(TNR_MD_X86_FLAGS -march=${TNR_MD_X86_LEVEL})
  if(TNR_MD_X86_VBMI)
    list(APPEND TNR_MD_X86_FLAGS -mavx512vbmi)
  endif()
  message(STATUS "tnr_md: AVX-512 VBMI in the x86 forms: ${TNR_MD_X86_VBMI}")
endif()
