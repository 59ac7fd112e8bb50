// Every x86-64 kernel set, for the binaries that link them all (the tests,
// the benchmark, the fuzzer): each set's name, whether this processor can run
// it, and if not why. The library itself links one set and never chooses at
// run time.
#ifndef TNR_MD_X86_SETS_H
#define TNR_MD_X86_SETS_H

#include <vector>

#include "kernels.h"

#if TNR_MD_HAVE_X86
namespace tnr_md {

struct X86Set {
  const char *name;  // x86_v2, x86_v3, x86_v4, x86_v4vbmi
  const Kernels *k;
  const char *lacks;  // null when this processor runs the set, else what it lacks
};

inline std::vector<X86Set> x86Sets() {
  __builtin_cpu_init();
  const bool v2 = __builtin_cpu_supports("sse4.2") && __builtin_cpu_supports("popcnt") &&
                  __builtin_cpu_supports("ssse3");
  const bool v3 = v2 && __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma") &&
                  __builtin_cpu_supports("bmi2");
  const bool v4 = v3 && __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
                  __builtin_cpu_supports("avx512dq") && __builtin_cpu_supports("avx512vl") &&
                  __builtin_cpu_supports("avx512cd");
  std::vector<X86Set> sets{
      {"x86_v2", &x86_v2::kKernelsX86, v2 ? nullptr : "x86-64-v2 (SSE4.2, SSSE3, POPCNT)"},
      {"x86_v3", &x86_v3::kKernelsX86, v3 ? nullptr : "x86-64-v3 (AVX2, FMA, BMI2)"},
      {"x86_v4", &x86_v4::kKernelsX86, v4 ? nullptr : "x86-64-v4 (AVX-512 F/BW/DQ/VL/CD)"},
  };
#if TNR_MD_X86_VBMI_SET
  const bool vbmi = v4 && __builtin_cpu_supports("avx512vbmi");
  sets.push_back({"x86_v4vbmi", &x86_v4vbmi::kKernelsX86, vbmi ? nullptr : "AVX-512 VBMI"});
#endif
  return sets;
}

}  // namespace tnr_md
#endif

#endif  // TNR_MD_X86_SETS_H
