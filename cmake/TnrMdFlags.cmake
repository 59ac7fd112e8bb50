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
  # The x86 forms (*_x86.cpp) build for x86-64-v3 (AVX2) by default: the
  # per-pixel pass, the frame difference and the 3x3 filter then run 16 lanes
  # of 16 bits per instruction, about a quarter to a third faster than the
  # same code at x86-64-v2 (SSE4.1), and every x86-64 machine of the last
  # decade has AVX2. -DTNR_MD_X86_LEVEL=x86-64-v2 (the preset release-x86-v2)
  # builds their SSE4.1 paths for older machines; the bytes are the same.
  # The NEON source through SIMDe stays at x86-64-v2 whatever the level: at v3
  # SIMDe forms some conversions with fused multiply-adds, which the library
  # never contains, and it is the slower twin on x86 anyway.
  # A native build on a host without AVX2 defaults to x86-64-v2, so that its
  # own tests and tools run there.
  set(_tnr_md_x86_default "x86-64-v3")
  if(NOT CMAKE_CROSSCOMPILING AND EXISTS /proc/cpuinfo)
    file(STRINGS /proc/cpuinfo _tnr_md_avx2 REGEX "^flags.* avx2( |$)" LIMIT_COUNT 1)
    if(NOT _tnr_md_avx2)
      set(_tnr_md_x86_default "x86-64-v2")
      message(STATUS "tnr_md: this host has no AVX2; x86 forms default to x86-64-v2")
    endif()
  endif()
  set(TNR_MD_X86_LEVEL "${_tnr_md_x86_default}" CACHE STRING "x86-64 level of the x86 forms")
  set_property(CACHE TNR_MD_X86_LEVEL PROPERTY STRINGS x86-64-v2 x86-64-v3)
  set(TNR_MD_VECTOR_FLAGS -march=x86-64-v2)
  set(TNR_MD_X86_FLAGS -march=${TNR_MD_X86_LEVEL})
endif()
