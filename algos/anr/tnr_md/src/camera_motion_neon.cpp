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

// The combined passes' strip width: 16 columns where 32 vector registers
// hold two halves of six filtered rows (AArch64: 8.36 executed instructions
// per pixel on the counted pan against 9.51 with 8), 8 on ARMv7, whose 16
// q registers do not (8 columns: 8.83 against 12.99).
#if defined(__aarch64__)
#define TNR_MD_SHIFT_STRIP 16
#else
#define TNR_MD_SHIFT_STRIP 8
#endif

namespace tnr_md {

namespace {

// The taps as magnitudes in every lane: 0, 2, 3 and 5 are never negative and
// 1 and 4 never positive (kShiftTaps, kFitTaps).
struct HTaps {
  uint8x8_t t0, t1, t2, t3, t4, t5;
  explicit HTaps(const int8_t *t)
      : t0(vdup_n_u8(static_cast<uint8_t>(t[0]))), t1(vdup_n_u8(static_cast<uint8_t>(-t[1]))),
        t2(vdup_n_u8(static_cast<uint8_t>(t[2]))), t3(vdup_n_u8(static_cast<uint8_t>(t[3]))),
        t4(vdup_n_u8(static_cast<uint8_t>(-t[4]))), t5(vdup_n_u8(static_cast<uint8_t>(t[5]))) {}
};

// The horizontal sum, formed in 16-bit lanes from unsigned products: + t2 c
// + t3 d + t0 a + t5 f - |t1| b - |t4| e. Lanes wrap in between; the sum
// itself lies within -18 x 255 .. 82 x 255, so its int16_t reading is exact.
inline uint16x8_t hSum(uint8x8_t a, uint8x8_t b, uint8x8_t c, uint8x8_t d, uint8x8_t e,
                       uint8x8_t f, const HTaps &t) {
  uint16x8_t s = vmull_u8(c, t.t2);
  s = vmlal_u8(s, d, t.t3);
  s = vmlal_u8(s, a, t.t0);
  s = vmlal_u8(s, f, t.t5);
  s = vmlsl_u8(s, b, t.t1);
  return vmlsl_u8(s, e, t.t4);
}

// Sixteen horizontal sums from the six loads at p - 2 step .. p + 3 step,
// rounded and shifted (exact in every lane).
inline void hSum16At(const uint8_t *p, ptrdiff_t step, const HTaps &t, int16x8_t &lo,
                   int16x8_t &hi) {
  const uint8x16_t a = vld1q_u8(p - 2 * step), b = vld1q_u8(p - step), c = vld1q_u8(p),
                   d = vld1q_u8(p + step), e = vld1q_u8(p + 2 * step), f = vld1q_u8(p + 3 * step);
  lo = vrshrq_n_s16(vreinterpretq_s16_u16(hSum(vget_low_u8(a), vget_low_u8(b), vget_low_u8(c),
                                               vget_low_u8(d), vget_low_u8(e), vget_low_u8(f), t)),
                    6);
  hi = vrshrq_n_s16(
      vreinterpretq_s16_u16(hSum(vget_high_u8(a), vget_high_u8(b), vget_high_u8(c),
                                 vget_high_u8(d), vget_high_u8(e), vget_high_u8(f), t)),
      6);
}

// The vertical sum of six filtered rows, rounded, shifted and clamped to
// bytes by one saturating narrow. 16-bit lanes wrap in between; the sum lies
// within int16_t (camera_motion.h).
inline uint8x8_t vSum(int16x8_t h0, int16x8_t h1, int16x8_t h2, int16x8_t h3, int16x8_t h4,
                      int16x8_t h5, int16x4_t tv0, int16x4_t tv1) {
  int16x8_t v = vmulq_lane_s16(h2, tv0, 2);
  v = vmlaq_lane_s16(v, h3, tv0, 3);
  v = vmlaq_lane_s16(v, h1, tv0, 1);
  v = vmlaq_lane_s16(v, h4, tv1, 0);
  v = vmlaq_lane_s16(v, h0, tv0, 0);
  v = vmlaq_lane_s16(v, h5, tv1, 1);
  return vqrshrun_n_s16(v, 6);
}

// The vertical taps in two vectors: 0 .. 3, then 4 and 5.
inline void vTaps(const int8_t *t, int16x4_t &tv0, int16x4_t &tv1) {
  const int16_t a[8] = {t[0], t[1], t[2], t[3], t[4], t[5], 0, 0};
  tv0 = vld1_s16(a);
  tv1 = vld1_s16(a + 4);
}

}  // namespace

// Pointers walk the row; the taps stay in registers across the loop. Taps
// whose outer two are 0 (the estimator's cubic) take four products per
// lane instead of six: the same sums.
void shiftH_neon(const uint8_t *src, int16_t *h, int n, int step, const int8_t *taps) {
  if (n < 16) return shiftH_c(src, h, n, step, taps);
  const HTaps t(taps);
  const bool four = taps[0] == 0 && taps[5] == 0;
  const auto sixteen = [&](const uint8_t *p, int16_t *q) {
    int16x8_t lo, hi;
    if (four) {
      const uint8x16_t b = vld1q_u8(p - step), c = vld1q_u8(p), d = vld1q_u8(p + step),
                       e = vld1q_u8(p + 2 * step);
      const auto half = [&](uint8x8_t b8, uint8x8_t c8, uint8x8_t d8, uint8x8_t e8) {
        uint16x8_t v = vmull_u8(c8, t.t2);
        v = vmlal_u8(v, d8, t.t3);
        v = vmlsl_u8(v, b8, t.t1);
        v = vmlsl_u8(v, e8, t.t4);
        return vrshrq_n_s16(vreinterpretq_s16_u16(v), 6);
      };
      lo = half(vget_low_u8(b), vget_low_u8(c), vget_low_u8(d), vget_low_u8(e));
      hi = half(vget_high_u8(b), vget_high_u8(c), vget_high_u8(d), vget_high_u8(e));
    } else {
      hSum16At(p, step, t, lo, hi);
    }
    vst1q_s16(q, lo);
    vst1q_s16(q + 8, hi);
  };
  int i = 0;
  for (; i + 16 <= n; i += 16) sixteen(src + i, h + i);
  if (i < n) sixteen(src + n - 16, h + n - 16);
}

void shiftV_neon(const int16_t *const *r, uint8_t *out, int n, const int8_t *taps) {
  if (n < 8) return shiftV_c(r, out, n, taps);
  int16x4_t tv0, tv1;
  vTaps(taps, tv0, tv1);
  const bool four = taps[0] == 0 && taps[5] == 0;
  const int16_t *r0 = r[0], *r1 = r[1], *r2 = r[2], *r3 = r[3], *r4 = r[4], *r5 = r[5];
  const auto eight = [&](int i) {
    if (four) {
      int16x8_t v = vmulq_lane_s16(vld1q_s16(r2 + i), tv0, 2);
      v = vmlaq_lane_s16(v, vld1q_s16(r3 + i), tv0, 3);
      v = vmlaq_lane_s16(v, vld1q_s16(r1 + i), tv0, 1);
      v = vmlaq_lane_s16(v, vld1q_s16(r4 + i), tv1, 0);
      return vqrshrun_n_s16(v, 6);
    }
    return vSum(vld1q_s16(r0 + i), vld1q_s16(r1 + i), vld1q_s16(r2 + i), vld1q_s16(r3 + i),
                vld1q_s16(r4 + i), vld1q_s16(r5 + i), tv0, tv1);
  };
  int i = 0;
  for (; i + 8 <= n; i += 8) vst1_u8(out + i, eight(i));
  if (i < n) vst1_u8(out + n - 8, eight(n - 8));
}

namespace {

// Eight horizontal sums of the row at a + 2 step, from six loads that walk
// the taps with a (ARMv7's loads take no offset, only a step after the
// load); a is left at the next row's first tap.
inline int16x8_t hSum8(const uint8_t *&a, ptrdiff_t step, ptrdiff_t next, const HTaps &t) {
  const uint8x8_t x0 = vld1_u8(a);
  a += step;
  const uint8x8_t x1 = vld1_u8(a);
  a += step;
  const uint8x8_t x2 = vld1_u8(a);
  a += step;
  const uint8x8_t x3 = vld1_u8(a);
  a += step;
  const uint8x8_t x4 = vld1_u8(a);
  a += step;
  const uint8x8_t x5 = vld1_u8(a);
  a += next;
  return vrshrq_n_s16(vreinterpretq_s16_u16(hSum(x0, x1, x2, x3, x4, x5, t)), 6);
}

// Strips of 8 columns: six filtered rows of 8 lanes, the taps and the sums
// fit ARMv7's sixteen q registers (strips of 16 spilled there).
void shiftHV8(const uint8_t *src, ptrdiff_t pitch, int step, uint8_t *out, ptrdiff_t outPitch,
              int n, int rows, const HTaps &t, int16x4_t tv0, int16x4_t tv1) {
  const ptrdiff_t next = pitch - 5 * static_cast<ptrdiff_t>(step);
  for (int i = 0;; i += 8) {
    if (i > n - 8) i = n - 8;
    const uint8_t *a = src + i - 2 * pitch - 2 * step;
    int16x8_t r0 = hSum8(a, step, next, t), r1 = hSum8(a, step, next, t),
              r2 = hSum8(a, step, next, t), r3 = hSum8(a, step, next, t),
              r4 = hSum8(a, step, next, t), r5;
    uint8_t *q = out + i;
    // Six rows a step, the filtered rows renamed instead of moved.
    const auto row = [&](int16x8_t a0, int16x8_t a1, int16x8_t a2, int16x8_t a3, int16x8_t a4,
                         int16x8_t &a5) {
      a5 = hSum8(a, step, next, t);
      vst1_u8(q, vSum(a0, a1, a2, a3, a4, a5, tv0, tv1));
      q += outPitch;
    };
    int y = 0;
    for (; y + 6 <= rows; y += 6) {
      row(r0, r1, r2, r3, r4, r5);
      row(r1, r2, r3, r4, r5, r0);
      row(r2, r3, r4, r5, r0, r1);
      row(r3, r4, r5, r0, r1, r2);
      row(r4, r5, r0, r1, r2, r3);
      row(r5, r0, r1, r2, r3, r4);
    }
    for (; y < rows; ++y) {
      row(r0, r1, r2, r3, r4, r5);
      r0 = r1, r1 = r2, r2 = r3, r3 = r4, r4 = r5;
    }
    if (i == n - 8) break;
  }
}

// Strips of 16 columns: two halves of six filtered rows (AArch64's 32
// registers hold them). AArch64 loads take an offset, so the six loads come
// from one row pointer (walking them as hSum8 does counted 8.77 against
// 8.36).
void shiftHV16(const uint8_t *src, ptrdiff_t pitch, int step, uint8_t *out, ptrdiff_t outPitch,
               int n, int rows, const HTaps &t, int16x4_t tv0, int16x4_t tv1) {
  for (int i = 0;; i += 16) {
    if (i > n - 16) i = n - 16;
    int16x8_t l0, h0, l1, h1, l2, h2, l3, h3, l4, h4, l5, h5;
    hSum16At(src + i - 2 * pitch, step, t, l0, h0);
    hSum16At(src + i - pitch, step, t, l1, h1);
    hSum16At(src + i, step, t, l2, h2);
    hSum16At(src + i + pitch, step, t, l3, h3);
    hSum16At(src + i + 2 * pitch, step, t, l4, h4);
    const uint8_t *p = src + i + 3 * pitch;
    uint8_t *q = out + i;
    const auto row = [&](int16x8_t a0, int16x8_t b0, int16x8_t a1, int16x8_t b1, int16x8_t a2,
                         int16x8_t b2, int16x8_t a3, int16x8_t b3, int16x8_t a4, int16x8_t b4,
                         int16x8_t &a5, int16x8_t &b5) {
      hSum16At(p, step, t, a5, b5);
      vst1q_u8(q, vcombine_u8(vSum(a0, a1, a2, a3, a4, a5, tv0, tv1),
                              vSum(b0, b1, b2, b3, b4, b5, tv0, tv1)));
      p += pitch;
      q += outPitch;
    };
    int y = 0;
    for (; y + 6 <= rows; y += 6) {
      row(l0, h0, l1, h1, l2, h2, l3, h3, l4, h4, l5, h5);
      row(l1, h1, l2, h2, l3, h3, l4, h4, l5, h5, l0, h0);
      row(l2, h2, l3, h3, l4, h4, l5, h5, l0, h0, l1, h1);
      row(l3, h3, l4, h4, l5, h5, l0, h0, l1, h1, l2, h2);
      row(l4, h4, l5, h5, l0, h0, l1, h1, l2, h2, l3, h3);
      row(l5, h5, l0, h0, l1, h1, l2, h2, l3, h3, l4, h4);
    }
    for (; y < rows; ++y) {
      row(l0, h0, l1, h1, l2, h2, l3, h3, l4, h4, l5, h5);
      l0 = l1, l1 = l2, l2 = l3, l3 = l4, l4 = l5;
      h0 = h1, h1 = h2, h2 = h3, h3 = h4, h4 = h5;
    }
    if (i == n - 16) break;
  }
}

}  // namespace

// Strips (the last moved back to end at the row's end), each walked down its
// rows with the five filtered rows above the next one in registers; blocks
// narrower than a strip per sample.
void shiftHV_neon(const uint8_t *src, ptrdiff_t pitch, int step, uint8_t *out, ptrdiff_t outPitch,
                  int n, int rows, const int8_t *tx, const int8_t *ty) {
  if (n < 16) return shiftHV_c(src, pitch, step, out, outPitch, n, rows, tx, ty);
  const HTaps t(tx);
  int16x4_t tv0, tv1;
  vTaps(ty, tv0, tv1);
  if (TNR_MD_SHIFT_STRIP == 8)
    shiftHV8(src, pitch, step, out, outPitch, n, rows, t, tv0, tv1);
  else
    shiftHV16(src, pitch, step, out, outPitch, n, rows, t, tv0, tv1);
}

// hSum's sum, rounded, shifted and clamped to bytes by one saturating
// narrow.
void shift1_neon(const uint8_t *src, ptrdiff_t step, uint8_t *out, int n, const int8_t *taps) {
  if (n < 16) return shift1_c(src, step, out, n, taps);
  const HTaps t(taps);
  const auto eight = [&](uint8x8_t a, uint8x8_t b, uint8x8_t c, uint8x8_t d, uint8x8_t e,
                         uint8x8_t f) {
    return vqrshrun_n_s16(vreinterpretq_s16_u16(hSum(a, b, c, d, e, f, t)), 6);
  };
  const auto sixteen = [&](const uint8_t *p, uint8_t *q) {
    const uint8x16_t a = vld1q_u8(p - 2 * step), b = vld1q_u8(p - step), c = vld1q_u8(p),
                     d = vld1q_u8(p + step), e = vld1q_u8(p + 2 * step),
                     f = vld1q_u8(p + 3 * step);
    vst1q_u8(q, vcombine_u8(eight(vget_low_u8(a), vget_low_u8(b), vget_low_u8(c), vget_low_u8(d),
                                  vget_low_u8(e), vget_low_u8(f)),
                            eight(vget_high_u8(a), vget_high_u8(b), vget_high_u8(c),
                                  vget_high_u8(d), vget_high_u8(e), vget_high_u8(f))));
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
  const int perRow = (n + 15) / 16;  // 16-bit steps per row, the tail's included
  if (perRow <= 64) {
    // Short rows (a tile's, at every level of 1080p): the 16-bit sums carry
    // from row to row, at most 128 steps (128 x 2 x 255 < 65536) before they
    // are added into 32-bit lanes; the pointers walk each row.
    const int vectors = n / 16, rowsPerSum = 128 / perRow;
    for (int r = 0; r < rows;) {
      uint16x8_t s = vdupq_n_u16(0);
      const int end = rows - r < rowsPerSum ? rows : r + rowsPerSum;
      for (; r < end; ++r, a += aStride, b += bStride) {
        const uint8_t *pa = a, *pb = b;
        for (int v = vectors; v > 0; --v, pa += 16, pb += 16)
          s = vpadalq_u8(s, vabdq_u8(vld1q_u8(pa), vld1q_u8(pb)));
        if (full < n)
          s = vpadalq_u8(s, vandq_u8(vabdq_u8(vld1q_u8(a + n - 16), vld1q_u8(b + n - 16)), mask));
      }
      total = vpadalq_u16(total, s);
    }
    return vgetq_lane_u32(total, 0) + vgetq_lane_u32(total, 1) + vgetq_lane_u32(total, 2) +
           vgetq_lane_u32(total, 3);
  }
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
