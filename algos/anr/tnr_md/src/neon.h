// The NEON intrinsics the vector forms are written with: native on ARMv7-A and
// AArch64; on other targets the same source runs through SIMDe, with the
// intrinsics whose SIMDe mapping is not bit-exact with Arm replaced here.
#ifndef TNR_MD_NEON_H
#define TNR_MD_NEON_H

#if defined(__ARM_NEON) || defined(__ARM_NEON__)
#include <arm_neon.h>
#define TNR_MD_NATIVE_NEON 1
#else
#define SIMDE_ENABLE_NATIVE_ALIASES
#include <simde/arm/neon.h>
#define TNR_MD_NATIVE_NEON 0

#include "arith.h"

// SIMDe's reciprocal estimate is x86's approximation; Arm's is a 9-bit table.
#undef vrecpeq_f32
static inline float32x4_t tnr_md_vrecpeq_f32(float32x4_t v) {
  float in[4], out[4];
  vst1q_f32(in, v);
  for (int i = 0; i < 4; ++i) out[i] = tnr_md::recipEstimate(in[i]);
  return vld1q_f32(out);
}
#define vrecpeq_f32 tnr_md_vrecpeq_f32
#endif

#endif  // TNR_MD_NEON_H
