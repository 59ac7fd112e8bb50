// Block alpha, vector form: 8 blocks per step. Results equal blockAlpha_c
// byte for byte.
//
// Tail policy: a row whose length is not a multiple of 8 ends with a group
// moved back to end at the row's end, recomputing the overlap with equal
// values; rows narrower than 8 blocks run the same lane code on a
// zero-padded local copy and copy back only the row's own bytes.
#include <cstring>

#include "arith.h"
#include "kernels.h"
#include "neon.h"

namespace tnr_md {
namespace {

// Block alpha of 8 blocks: min(trunc(d x 128 x recip(max(sL, 64)) + 0.5), 128)
// with d = max(l - sL, 0), the subtraction wrapping in 16 bits. The value
// before the clamp is at most 65534, so the plain narrowing is exact.
inline uint8x8_t blockAlpha8(int16x8_t l, int16x8_t sL) {
  const int16x8_t d = vmaxq_s16(vsubq_s16(l, sL), vdupq_n_s16(0));
  const int16x8_t s = vmaxq_s16(sL, vdupq_n_s16(64));
  const float32x4_t half = vdupq_n_f32(0.5f);
  const float32x4_t num0 = vcvtq_f32_s32(vshll_n_s16(vget_low_s16(d), 7));
  const float32x4_t num1 = vcvtq_f32_s32(vshll_n_s16(vget_high_s16(d), 7));
  const float32x4_t inv0 = recipRefine4(vcvtq_f32_s32(vmovl_s16(vget_low_s16(s))));
  const float32x4_t inv1 = recipRefine4(vcvtq_f32_s32(vmovl_s16(vget_high_s16(s))));
  const uint16x4_t q0 = vmovn_u32(vcvtq_u32_f32(vaddq_f32(vmulq_f32(num0, inv0), half)));
  const uint16x4_t q1 = vmovn_u32(vcvtq_u32_f32(vaddq_f32(vmulq_f32(num1, inv1), half)));
  return vmovn_u16(vminq_u16(vcombine_u16(q0, q1), vdupq_n_u16(128)));
}

}  // namespace

// The block alpha A(j, i) into pAlpha at pitch blockCols. Block rows
// outside, groups of 8 block columns inside; the last group of a row is moved
// back to start at blockCols - 8. Rows narrower than 8 blocks go through a
// padded copy (padding lanes compute d = 0 and are dropped).

void blockAlpha_neon(const int16_t *pLdiff, int lDiffStride, const uint16_t *pSigmaL,
                     int sigmaStride, uint8_t *pAlpha, int blockRows, int blockCols) {
  if (blockCols >= 8) {
    // Rows outside, groups of 8 inside, the pointers stepped by the loads
    // and the store: with the groups outside, AArch64 (whose loads step a
    // pointer by a constant, not a register) stepped each pointer by an
    // addition per row (real 768x576 at the defaults, executed
    // instructions per pixel: AArch64 8.167 to 8.161, ARMv7 9.165 either
    // way).
    const int whole = blockCols / 8;
    for (int j = 0; j < blockRows; ++j) {
      const int16_t *l = pLdiff + j * lDiffStride;
      const uint16_t *sL = pSigmaL + j * sigmaStride;
      uint8_t *a = pAlpha + j * blockCols;
      for (int i = whole; i > 0; --i) {
        vst1_u8(a, blockAlpha8(vld1q_s16(l), vreinterpretq_s16_u16(vld1q_u16(sL))));
        l = walk(l, 8);
        sL = walk(sL, 8);
        a = walk(a, 8);
      }
      if (blockCols % 8) {
        const int x = blockCols - 8;
        vst1_u8(pAlpha + j * blockCols + x,
                blockAlpha8(vld1q_s16(pLdiff + j * lDiffStride + x),
                            vreinterpretq_s16_u16(vld1q_u16(pSigmaL + j * sigmaStride + x))));
      }
    }
    return;
  }
  for (int j = 0; j < blockRows; ++j) {
    int16_t l[8] = {0};
    uint16_t sL[8] = {0};
    uint8_t out[8];
    std::memcpy(l, pLdiff + j * lDiffStride, sizeof(int16_t) * blockCols);
    std::memcpy(sL, pSigmaL + j * sigmaStride, sizeof(uint16_t) * blockCols);
    vst1_u8(out, blockAlpha8(vld1q_s16(l), vreinterpretq_s16_u16(vld1q_u16(sL))));
    std::memcpy(pAlpha + j * blockCols, out, blockCols);
  }
}

}  // namespace tnr_md
