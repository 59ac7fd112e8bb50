// Every kernel set this build has, for the binaries that link them all (the
// tests, the benchmark, the fuzzer): the per-sample set, the NEON set, and on
// x86-64 the set of every level built (the sanitizer and fuzz builds leave
// out the AVX-512 ones where this machine cannot run them); each with its
// name and, when this processor cannot run it, what it lacks. The library
// itself links one set and never chooses at run time. A new form or level is
// added here and nowhere else.
#ifndef TNR_MD_KERNEL_SETS_H
#define TNR_MD_KERNEL_SETS_H

#include <vector>

#include "camera_motion.h"
#include "kernels.h"

namespace tnr_md {

struct KernelSet {
  const char *name;  // PerSample, Neon, x86_v2, x86_v3, x86_v4, x86_v4vbmi
  const Kernels *k;
  const char *lacks;  // null when this processor runs the set, else what it lacks
  const MotionKernels *mk;  // the camera motion's loops of the same form
};

inline std::vector<KernelSet> kernelSets() {
  // Gathered in an array and copied once: GCC 12 with ThreadSanitizer warns
  // (wrongly) of an out-of-bounds write when a vector of one grows here.
  KernelSet all[6];
  int n = 0;
  all[n++] = {"PerSample", &kKernelsC, nullptr, &kMotionKernelsC};
#if TNR_MD_HAVE_NEON
  all[n++] = {"Neon", &kKernelsNeon, nullptr, &kMotionKernelsNeon};
#endif
#if TNR_MD_HAVE_X86
  __builtin_cpu_init();
  const bool v2 = __builtin_cpu_supports("sse4.2") && __builtin_cpu_supports("popcnt") &&
                  __builtin_cpu_supports("ssse3");
  const bool v3 = v2 && __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma") &&
                  __builtin_cpu_supports("bmi2");
  const bool v4 = v3 && __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
                  __builtin_cpu_supports("avx512dq") && __builtin_cpu_supports("avx512vl") &&
                  __builtin_cpu_supports("avx512cd");
  all[n++] = {"x86_v2", &x86_v2::kKernelsX86, v2 ? nullptr : "x86-64-v2 (SSE4.2, SSSE3, POPCNT)",
              &x86_v2::kMotionKernelsX86};
  all[n++] = {"x86_v3", &x86_v3::kKernelsX86, v3 ? nullptr : "x86-64-v3 (AVX2, FMA, BMI2)",
              &x86_v3::kMotionKernelsX86};
  static_cast<void>(v4);  // unused where no AVX-512 set is built
#if TNR_MD_X86_V4_SET
  all[n++] = {"x86_v4", &x86_v4::kKernelsX86, v4 ? nullptr : "x86-64-v4 (AVX-512 F/BW/DQ/VL/CD)",
              &x86_v4::kMotionKernelsX86};
#endif
#if TNR_MD_X86_VBMI_SET
  const bool vbmi = v4 && __builtin_cpu_supports("avx512vbmi");
  all[n++] = {"x86_v4vbmi", &x86_v4vbmi::kKernelsX86, vbmi ? nullptr : "AVX-512 VBMI",
              &x86_v4vbmi::kMotionKernelsX86};
#endif
#endif
  return std::vector<KernelSet>(all, all + n);
}

// The sets this processor runs.
inline std::vector<KernelSet> runnableKernelSets() {
  std::vector<KernelSet> sets;
  for (const KernelSet &s : kernelSets())
    if (!s.lacks) sets.push_back(s);
  return sets;
}

}  // namespace tnr_md

#endif  // TNR_MD_KERNEL_SETS_H
