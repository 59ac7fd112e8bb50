// Camera motion's hot loops, vector forms (NEON; through SIMDe on x86-64).
// Results equal the per-sample forms (camera_motion.cpp) for every input.
//
// Tail policy: rows of at least one vector are walked in full vectors, the
// last moved back to end at the row's end (outputs recomputed from the same
// inputs, so the overlap writes equal bytes); shorter rows take the
// per-sample form. No load reaches past the inputs the per-sample form reads.
#include <cstdint>

#include "camera_motion.h"
#include "neon.h"

namespace tnr_md {

namespace {

// Taps 1 and 2 are never negative and taps 0 and 3 never positive
// (kShiftTaps), so the horizontal sum is formed in 16-bit lanes from
// unsigned products: + t1 b + t2 c - |t0| a - |t3| d. Lanes wrap in between;
// the sum itself lies within -12 x 255 .. 76 x 255, so its int16_t reading
// is exact, and the rounding shift is exact in every lane.
inline int16x8_t hSum(uint8x8_t a, uint8x8_t b, uint8x8_t c, uint8x8_t d, uint8x8_t t0,
                      uint8x8_t t1, uint8x8_t t2, uint8x8_t t3) {
  uint16x8_t s = vmull_u8(b, t1);
  s = vmlal_u8(s, c, t2);
  s = vmlsl_u8(s, a, t0);
  s = vmlsl_u8(s, d, t3);
  return vrshrq_n_s16(vreinterpretq_s16_u16(s), 6);
}

}  // namespace

void shiftH_neon(const uint8_t *src, int16_t *h, int n, int step, const int8_t *taps) {
  if (n < 16) return shiftH_c(src, h, n, step, taps);
  const uint8x8_t t0 = vdup_n_u8(static_cast<uint8_t>(-taps[0]));
  const uint8x8_t t1 = vdup_n_u8(static_cast<uint8_t>(taps[1]));
  const uint8x8_t t2 = vdup_n_u8(static_cast<uint8_t>(taps[2]));
  const uint8x8_t t3 = vdup_n_u8(static_cast<uint8_t>(-taps[3]));
  for (int i = 0;; i += 16) {
    if (i > n - 16) i = n - 16;
    const uint8_t *p = src + i;
    const uint8x16_t a = vld1q_u8(p - step), b = vld1q_u8(p), c = vld1q_u8(p + step),
                     d = vld1q_u8(p + 2 * step);
    vst1q_s16(h + i, hSum(vget_low_u8(a), vget_low_u8(b), vget_low_u8(c), vget_low_u8(d), t0, t1,
                          t2, t3));
    vst1q_s16(h + i + 8, hSum(vget_high_u8(a), vget_high_u8(b), vget_high_u8(c), vget_high_u8(d),
                              t0, t1, t2, t3));
    if (i == n - 16) break;
  }
}

void shiftV_neon(const int16_t *r0, const int16_t *r1, const int16_t *r2, const int16_t *r3,
                 uint8_t *out, int n, const int8_t *taps) {
  if (n < 16) return shiftV_c(r0, r1, r2, r3, out, n, taps);
  const int16_t t0 = taps[0], t1 = taps[1], t2 = taps[2], t3 = taps[3];
  // 16-bit lanes wrap in between; the sum lies within int16_t (camera_motion.h).
  const auto eight = [&](int i) {
    int16x8_t v = vmulq_n_s16(vld1q_s16(r1 + i), t1);
    v = vmlaq_n_s16(v, vld1q_s16(r2 + i), t2);
    v = vmlaq_n_s16(v, vld1q_s16(r0 + i), t0);
    v = vmlaq_n_s16(v, vld1q_s16(r3 + i), t3);
    return vqrshrun_n_s16(v, 6);
  };
  for (int i = 0;; i += 16) {
    if (i > n - 16) i = n - 16;
    vst1q_u8(out + i, vcombine_u8(eight(i), eight(i + 8)));
    if (i == n - 16) break;
  }
}

uint32_t sad_neon(const uint8_t *a, const uint8_t *b, int n) {
  uint32x4_t total = vdupq_n_u32(0);
  int i = 0;
  while (i + 16 <= n) {
    // Up to 128 steps per 16-bit sum: 128 x 2 x 255 < 65536.
    uint16x8_t s = vdupq_n_u16(0);
    const int end = i + 16 * 128 < n ? i + 16 * 128 : n;
    for (; i + 16 <= end; i += 16) s = vpadalq_u8(s, vabdq_u8(vld1q_u8(a + i), vld1q_u8(b + i)));
    total = vpadalq_u16(total, s);
  }
  uint32_t sum = vgetq_lane_u32(total, 0) + vgetq_lane_u32(total, 1) + vgetq_lane_u32(total, 2) +
                 vgetq_lane_u32(total, 3);
  return sum + sad_c(a + i, b + i, n - i);
}

void reduce4_neon(const uint8_t *src, ptrdiff_t stride, uint8_t *dst, int n) {
  if (n < 8) return reduce4_c(src, stride, dst, n);
  for (int i = 0;; i += 8) {
    if (i > n - 8) i = n - 8;
    const uint8_t *p = src + 4 * i;
    uint16x8_t lo = vpaddlq_u8(vld1q_u8(p)), hi = vpaddlq_u8(vld1q_u8(p + 16));
    for (int r = 1; r < 4; ++r) {
      lo = vpadalq_u8(lo, vld1q_u8(p + r * stride));
      hi = vpadalq_u8(hi, vld1q_u8(p + r * stride + 16));
    }
    const uint16x8_t sums = vcombine_u16(vpadd_u16(vget_low_u16(lo), vget_high_u16(lo)),
                                         vpadd_u16(vget_low_u16(hi), vget_high_u16(hi)));
    vst1_u8(dst + i, vrshrn_n_u16(sums, 4));
    if (i == n - 8) break;
  }
}

}  // namespace tnr_md
