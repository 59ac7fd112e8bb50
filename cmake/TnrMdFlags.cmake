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
  # x86-64-v3 (AVX2) by default: the per-pixel pass and the 3x3 filter run
  # 16 lanes of 16 bits per instruction, which cuts their time by about a
  # quarter to a third against x86-64-v2 (SSE4.1) on the same code, and every
  # x86-64 machine of the last decade has it. -DTNR_MD_X86_LEVEL=x86-64-v2 (or
  # the preset release-x86-v2) builds the SSE4.1 paths for older machines;
  # the results are the same bytes at every level.
  set(TNR_MD_X86_LEVEL "x86-64-v3" CACHE STRING "x86-64 level of the vector translation units")
  set_property(CACHE TNR_MD_X86_LEVEL PROPERTY STRINGS x86-64-v2 x86-64-v3)
  set(TNR_MD_VECTOR_FLAGS -march=${TNR_MD_X86_LEVEL})
  set(TNR_MD_X86_FLAGS -march=${TNR_MD_X86_LEVEL})
endif()
