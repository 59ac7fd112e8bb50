// Camera motion's hot loops, vector forms (NEON; through SIMDe on x86-64).
// Results equal the per-sample forms (camera_motion.cpp) for every input.
//
// Tail policy: rows of at least one vector are walked in full vectors, the
// last moved back to end at the row's end (outputs recomputed from the same
// inputs, so the overlap writes equal bytes); shorter rows take the
// per-sample form. Sums (sad, gradient) never count a sample twice: their
// tails are masked or per-sample. No load reaches past the inputs the
// per-sample form reads.
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

// Pointers walk the row (post-incremented loads and stores); the taps stay
// in registers across the loop.
void shiftH_neon(const uint8_t *src, int16_t *h, int n, int step, const int8_t *taps) {
  if (n < 16) return shiftH_c(src, h, n, step, taps);
  const uint8x8_t t0 = vdup_n_u8(static_cast<uint8_t>(-taps[0]));
  const uint8x8_t t1 = vdup_n_u8(static_cast<uint8_t>(taps[1]));
  const uint8x8_t t2 = vdup_n_u8(static_cast<uint8_t>(taps[2]));
  const uint8x8_t t3 = vdup_n_u8(static_cast<uint8_t>(-taps[3]));
  const auto sixteen = [&](const uint8_t *pa, int16_t *q) {
    const uint8x16_t a = vld1q_u8(pa), b = vld1q_u8(pa + step), c = vld1q_u8(pa + 2 * step),
                     d = vld1q_u8(pa + 3 * step);
    const int16x8_t lo = hSum(vget_low_u8(a), vget_low_u8(b), vget_low_u8(c), vget_low_u8(d), t0,
                              t1, t2, t3);
    const int16x8_t hi = hSum(vget_high_u8(a), vget_high_u8(b), vget_high_u8(c), vget_high_u8(d),
                              t0, t1, t2, t3);
    vst1q_s16(q, lo);
    vst1q_s16(q + 8, hi);
  };
  const uint8_t *pa = src - step;
  int16_t *q = h;
  for (int left = n; left >= 16; left -= 16, pa += 16, q += 16) sixteen(pa, q);
  if (n % 16) sixteen(src - step + n - 16, h + n - 16);
}

void shiftV_neon(const int16_t *r0, const int16_t *r1, const int16_t *r2, const int16_t *r3,
                 uint8_t *out, int n, const int8_t *taps) {
  if (n < 16) return shiftV_c(r0, r1, r2, r3, out, n, taps);
  const int16x8_t t0 = vdupq_n_s16(taps[0]), t1 = vdupq_n_s16(taps[1]), t2 = vdupq_n_s16(taps[2]),
                  t3 = vdupq_n_s16(taps[3]);
  // 16-bit lanes wrap in between; the sum lies within int16_t (camera_motion.h).
  const auto eight = [&](const int16_t *&a, const int16_t *&b, const int16_t *&c,
                         const int16_t *&d) {
    int16x8_t v = vmulq_s16(vld1q_s16(b), t1);
    v = vmlaq_s16(v, vld1q_s16(c), t2);
    v = vmlaq_s16(v, vld1q_s16(a), t0);
    v = vmlaq_s16(v, vld1q_s16(d), t3);
    a += 8;
    b += 8;
    c += 8;
    d += 8;
    return vqrshrun_n_s16(v, 6);
  };
  // Eight outputs a step (the pointers advance with the loads).
  const int16_t *a = r0, *b = r1, *c = r2, *d = r3;
  uint8_t *q = out;
  for (int left = n; left >= 8; left -= 8, q += 8) vst1_u8(q, eight(a, b, c, d));
  if (n % 8) {
    a = r0 + n - 8, b = r1 + n - 8, c = r2 + n - 8, d = r3 + n - 8;
    vst1_u8(out + n - 8, eight(a, b, c, d));
  }
}

// Strips of 16 columns (the last moved back to end at the row's end), each
// walked down its rows with the three filtered rows above the next one in
// registers; blocks narrower than 16 per sample.
void shiftHV_neon(const uint8_t *src, ptrdiff_t pitch, int step, uint8_t *out, ptrdiff_t outPitch,
                  int n, int rows, const int8_t *tx, const int8_t *ty) {
  if (n < 16) return shiftHV_c(src, pitch, step, out, outPitch, n, rows, tx, ty);
  const uint8x8_t t0 = vdup_n_u8(static_cast<uint8_t>(-tx[0]));
  const uint8x8_t t1 = vdup_n_u8(static_cast<uint8_t>(tx[1]));
  const uint8x8_t t2 = vdup_n_u8(static_cast<uint8_t>(tx[2]));
  const uint8x8_t t3 = vdup_n_u8(static_cast<uint8_t>(-tx[3]));
  int16x4_t tv = vdup_n_s16(ty[0]);
  tv = vset_lane_s16(ty[1], tv, 1);
  tv = vset_lane_s16(ty[2], tv, 2);
  tv = vset_lane_s16(ty[3], tv, 3);
  const auto filtered = [&](const uint8_t *p, int16x8_t &lo, int16x8_t &hi) {
    const uint8x16_t a = vld1q_u8(p - step), b = vld1q_u8(p), c = vld1q_u8(p + step),
                     d = vld1q_u8(p + 2 * step);
    lo = hSum(vget_low_u8(a), vget_low_u8(b), vget_low_u8(c), vget_low_u8(d), t0, t1, t2, t3);
    hi = hSum(vget_high_u8(a), vget_high_u8(b), vget_high_u8(c), vget_high_u8(d), t0, t1, t2, t3);
  };
  // 16-bit lanes wrap in between; the sum lies within int16_t (camera_motion.h).
  const auto vertical = [&](int16x8_t h0, int16x8_t h1, int16x8_t h2, int16x8_t h3) {
    int16x8_t v = vmulq_lane_s16(h1, tv, 1);
    v = vmlaq_s16(v, h2, vdupq_lane_s16(tv, 2));
    v = vmlaq_s16(v, h0, vdupq_lane_s16(tv, 0));
    v = vmlaq_s16(v, h3, vdupq_lane_s16(tv, 3));
    return vqrshrun_n_s16(v, 6);
  };
  for (int i = 0;; i += 16) {
    if (i > n - 16) i = n - 16;
    int16x8_t l0, h0, l1, h1, l2, h2;
    filtered(src + i - pitch, l0, h0);
    filtered(src + i, l1, h1);
    filtered(src + i + pitch, l2, h2);
    const uint8_t *p = src + i + 2 * pitch;
    uint8_t *q = out + i;
    // Four rows a step, the filtered rows renamed instead of moved.
    int16x8_t l3, h3;
    const auto row = [&](int16x8_t a0, int16x8_t b0, int16x8_t a1, int16x8_t b1, int16x8_t a2,
                         int16x8_t b2, int16x8_t &a3, int16x8_t &b3) {
      filtered(p, a3, b3);
      vst1q_u8(q, vcombine_u8(vertical(a0, a1, a2, a3), vertical(b0, b1, b2, b3)));
      p += pitch;
      q += outPitch;
    };
    int y = 0;
    for (; y + 4 <= rows; y += 4) {
      row(l0, h0, l1, h1, l2, h2, l3, h3);
      row(l1, h1, l2, h2, l3, h3, l0, h0);
      row(l2, h2, l3, h3, l0, h0, l1, h1);
      row(l3, h3, l0, h0, l1, h1, l2, h2);
    }
    for (; y < rows; ++y) {
      row(l0, h0, l1, h1, l2, h2, l3, h3);
      l0 = l1;
      l1 = l2;
      l2 = l3;
      h0 = h1;
      h1 = h2;
      h2 = h3;
    }
    if (i == n - 16) break;
  }
}

// hSum's sum (within -12 x 255 .. 76 x 255), rounded, shifted and clamped
// to bytes by one saturating narrow.
void shift1_neon(const uint8_t *src, ptrdiff_t step, uint8_t *out, int n, const int8_t *taps) {
  if (n < 16) return shift1_c(src, step, out, n, taps);
  const uint8x8_t t0 = vdup_n_u8(static_cast<uint8_t>(-taps[0]));
  const uint8x8_t t1 = vdup_n_u8(static_cast<uint8_t>(taps[1]));
  const uint8x8_t t2 = vdup_n_u8(static_cast<uint8_t>(taps[2]));
  const uint8x8_t t3 = vdup_n_u8(static_cast<uint8_t>(-taps[3]));
  const auto eight = [&](uint8x8_t a, uint8x8_t b, uint8x8_t c, uint8x8_t d) {
    uint16x8_t v = vmull_u8(b, t1);
    v = vmlal_u8(v, c, t2);
    v = vmlsl_u8(v, a, t0);
    v = vmlsl_u8(v, d, t3);
    return vqrshrun_n_s16(vreinterpretq_s16_u16(v), 6);
  };
  const auto sixteen = [&](const uint8_t *p, uint8_t *q) {
    const uint8x16_t a = vld1q_u8(p - step), b = vld1q_u8(p), c = vld1q_u8(p + step),
                     d = vld1q_u8(p + 2 * step);
    vst1q_u8(q, vcombine_u8(eight(vget_low_u8(a), vget_low_u8(b), vget_low_u8(c), vget_low_u8(d)),
                            eight(vget_high_u8(a), vget_high_u8(b), vget_high_u8(c),
                                  vget_high_u8(d))));
  };
  int i = 0;
  for (; i + 16 <= n; i += 16) sixteen(src + i, out + i);
  if (i < n) sixteen(src + n - 16, out + n - 16);
}

// Eight samples at a time in 32-bit lanes (gx, gy within +-510, dt within
// +-255: every product fits int32_t, and so does every lane's sum over a row
// of at most 4098 samples); the last n % 8 through the per-sample form.
void gradient_neon(const uint8_t *c, const uint8_t *cu, const uint8_t *cd, const uint8_t *p,
                   const uint8_t *pu, const uint8_t *pd, int n, int32_t sums[5]) {
  int32x4_t xx = vdupq_n_s32(0), xy = xx, yy = xx, xt = xx, yt = xx;
  int x = 0;
  for (; x + 8 <= n; x += 8) {
    const int16x8_t gx = vaddq_s16(
        vreinterpretq_s16_u16(vsubl_u8(vld1_u8(c + x + 1), vld1_u8(c + x - 1))),
        vreinterpretq_s16_u16(vsubl_u8(vld1_u8(p + x + 1), vld1_u8(p + x - 1))));
    const int16x8_t gy =
        vaddq_s16(vreinterpretq_s16_u16(vsubl_u8(vld1_u8(cd + x), vld1_u8(cu + x))),
                  vreinterpretq_s16_u16(vsubl_u8(vld1_u8(pd + x), vld1_u8(pu + x))));
    const int16x8_t dt = vreinterpretq_s16_u16(vsubl_u8(vld1_u8(c + x), vld1_u8(p + x)));
    const int16x4_t gxl = vget_low_s16(gx), gxh = vget_high_s16(gx), gyl = vget_low_s16(gy),
                    gyh = vget_high_s16(gy), dtl = vget_low_s16(dt), dth = vget_high_s16(dt);
    xx = vsraq_n_s32(xx, vmull_s16(gxl, gxl), 4);
    xx = vsraq_n_s32(xx, vmull_s16(gxh, gxh), 4);
    xy = vsraq_n_s32(xy, vmull_s16(gxl, gyl), 4);
    xy = vsraq_n_s32(xy, vmull_s16(gxh, gyh), 4);
    yy = vsraq_n_s32(yy, vmull_s16(gyl, gyl), 4);
    yy = vsraq_n_s32(yy, vmull_s16(gyh, gyh), 4);
    xt = vmlal_s16(xt, gxl, dtl);
    xt = vmlal_s16(xt, gxh, dth);
    yt = vmlal_s16(yt, gyl, dtl);
    yt = vmlal_s16(yt, gyh, dth);
  }
  int32_t tail[5];
  gradient_c(c + x, cu + x, cd + x, p + x, pu + x, pd + x, n - x, tail);
  const int32x4_t all[5] = {xx, xy, yy, xt, yt};
  for (int i = 0; i < 5; ++i)
    sums[i] = tail[i] + vgetq_lane_s32(all[i], 0) + vgetq_lane_s32(all[i], 1) +
              vgetq_lane_s32(all[i], 2) + vgetq_lane_s32(all[i], 3);
}

// Rows shorter than a vector through the per-sample form; the last n % 16
// bytes of a row as its last 16 with the lanes already counted masked out.
uint32_t sad_neon(const uint8_t *a, ptrdiff_t aStride, const uint8_t *b, ptrdiff_t bStride, int n,
                  int rows) {
  if (n < 16) return sad_c(a, aStride, b, bStride, n, rows);
  static constexpr uint8_t kTailMask[32] = {0,    0,    0,    0,    0,    0,    0,    0,
                                            0,    0,    0,    0,    0,    0,    0,    0,
                                            0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                                            0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
  const uint8x16_t mask = vld1q_u8(kTailMask + n % 16);
  const int full = n - n % 16;
  uint32x4_t total = vdupq_n_u32(0);
  for (int r = 0; r < rows; ++r, a += aStride, b += bStride) {
    int i = 0;
    while (i < full) {
      // Up to 128 steps per 16-bit sum: 128 x 2 x 255 < 65536.
      uint16x8_t s = vdupq_n_u16(0);
      const int end = i + 16 * 128 < full ? i + 16 * 128 : full;
      for (; i < end; i += 16) s = vpadalq_u8(s, vabdq_u8(vld1q_u8(a + i), vld1q_u8(b + i)));
      total = vpadalq_u16(total, s);
    }
    if (full < n)
      total = vpadalq_u16(
          total, vpaddlq_u8(vandq_u8(vabdq_u8(vld1q_u8(a + n - 16), vld1q_u8(b + n - 16)), mask)));
  }
  return vgetq_lane_u32(total, 0) + vgetq_lane_u32(total, 1) + vgetq_lane_u32(total, 2) +
         vgetq_lane_u32(total, 3);
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
