// The spatial stage, vector form: 16 samples per step. Results equal
// spatial_c byte for byte.
//
// Tail policy. Each row's interior (the columns whose whole window lies in
// the grid: luma 2 .. proWidth - 3, chroma bytes 4 .. proWidth - 5) runs in
// steps of 16 from its first column; the last step is moved back to end at
// the interior's end and recomputes the overlap with identical values (the
// output is a separate frame, so the step is pure). The border columns, and
// rows whose interior is narrower than one step, go through the per-sample
// code. Loads stay inside the grid's columns of the rows they read.
//
// Exactness. The range weights are 8-bit saturating differences and every sum
// is an exact integer: the sum of weighted samples is carried modulo 2^16 and
// restored from the sum of weights and the centre (filter16 states the
// bounds). The division is the per-sample one: float conversions of exact
// integers, the reciprocal estimate and its step, + 0.5, truncation.
#include <cstring>

#include "neon.h"
#include "spatial.h"

namespace tnr_md {
namespace {

// Sums of one tap group: the products w x v in wrapping 16-bit lanes (lanes
// 0 .. 7 and 8 .. 15) and the weights in 8-bit lanes.
struct Acc {
  uint16x8_t lo, hi;  // sum of w x v modulo 2^16
};

// One tap: w = max(t - |q - c|, 0) (t <= 28 < 256: the saturating
// subtraction is the clamp); w x v added modulo 2^16, w added to den.
__attribute__((always_inline)) inline void tap(Acc &a, uint8x16_t &den, uint8x16_t q,
                                               uint8x16_t c, uint8x16_t t) {
  const uint8x16_t w = vqsubq_u8(t, vabdq_u8(q, c));
  a.lo = vmlal_u8(a.lo, vget_low_u8(w), vget_low_u8(q));
  a.hi = vmlal_u8(a.hi, vget_high_u8(w), vget_high_u8(q));
  den = vaddq_u8(den, w);
}

// min(trunc(num x recip(den) + 0.5), 65535) for four lanes. On ARMv7 the
// multiply and add are one VMLA (the product rounded before the addition,
// not fused: the per-sample steps); elsewhere two operations (SIMDe would fuse
// vmlaq_f32 on x86 FMA targets).
inline uint16x4_t divide4(uint32x4_t num, uint16x4_t den) {
  const float32x4_t d = vcvtq_f32_u32(vmovl_u16(den));
  const float32x4_t e = vrecpeq_f32(d);
  const float32x4_t r = vmulq_f32(vrecpsq_f32(d, e), e);
#if TNR_MD_NATIVE_NEON && defined(__arm__)
  const float32x4_t q = vmlaq_f32(vdupq_n_f32(0.5f), vcvtq_f32_u32(num), r);
#else
  const float32x4_t q = vaddq_f32(vmulq_f32(vcvtq_f32_u32(num), r), vdupq_n_f32(0.5f));
#endif
  return vqmovn_u32(vcvtq_u32_f32(q));
}

// num = c x den + e for four lanes: e, the sum of s(i) s(j) w (v - c), is
// recovered from its value modulo 2^16 (|e| <= 64 x 196 < 2^15, as below).
inline uint32x4_t numerator4(uint16x4_t c, uint16x4_t den, uint16x4_t e) {
  return vmlal_u16(vreinterpretq_u32_s32(vmovl_s16(vreinterpret_s16_u16(e))), c, den);
}

// 16 output samples: r[k] points at the step's first column in window row k,
// taps S bytes apart (1 luma, 2 chroma), t the thresholds.
//
// Exactness. Every range weight w is at most t <= kSpatialMaxThreshold = 28
// and is 0 unless |v - c| < t, so each tap's w (v - c) lies within
// +-max_d (t - d) d = +-t^2 / 4 <= 196 and, the spatial weights summing to
// 64, the window's e = sum s w (v - c) within +-12544, and its
// den = sum s w <= 64 x 28 = 1792. num = sum s w v = c den + e is therefore
// determined by num modulo 2^16 and c den: e = (num - c den) mod 2^16 read as
// a signed 16-bit value. num modulo 2^16 is accumulated in one pair of
// wrapping 16-bit registers, Horner style: the inner 3x3 (centre included),
// doubled, plus the 12 taps of the ring, doubled, plus the 4 corners. The
// sums of weights stay exact in 8 bits per group of at most 9 taps
// (9 x 28 = 252): the inner 3x3, 9 and 3 taps of the ring, the corners;
// combined in 16 bits.
template <int S>
__attribute__((always_inline)) inline uint8x16_t filter16(const uint8_t *const r[5],
                                                         uint8x16_t t) {
  const uint8x16_t c = vld1q_u8(r[2]);
  Acc n{vmull_u8(vget_low_u8(t), vget_low_u8(c)), vmull_u8(vget_high_u8(t), vget_high_u8(c))};
  uint8x16_t dIn = t, dRa = vdupq_n_u8(0), dRb = vdupq_n_u8(0), dCo = vdupq_n_u8(0);
  tap(n, dIn, vld1q_u8(r[1] - S), c, t);
  tap(n, dIn, vld1q_u8(r[1]), c, t);
  tap(n, dIn, vld1q_u8(r[1] + S), c, t);
  tap(n, dIn, vld1q_u8(r[2] - S), c, t);
  tap(n, dIn, vld1q_u8(r[2] + S), c, t);
  tap(n, dIn, vld1q_u8(r[3] - S), c, t);
  tap(n, dIn, vld1q_u8(r[3]), c, t);
  tap(n, dIn, vld1q_u8(r[3] + S), c, t);
  n.lo = vshlq_n_u16(n.lo, 1);
  n.hi = vshlq_n_u16(n.hi, 1);
  tap(n, dRa, vld1q_u8(r[0] - S), c, t);
  tap(n, dRa, vld1q_u8(r[0]), c, t);
  tap(n, dRa, vld1q_u8(r[0] + S), c, t);
  tap(n, dRa, vld1q_u8(r[4] - S), c, t);
  tap(n, dRa, vld1q_u8(r[4]), c, t);
  tap(n, dRa, vld1q_u8(r[4] + S), c, t);
  tap(n, dRa, vld1q_u8(r[1] - 2 * S), c, t);
  tap(n, dRa, vld1q_u8(r[1] + 2 * S), c, t);
  tap(n, dRa, vld1q_u8(r[2] - 2 * S), c, t);
  tap(n, dRb, vld1q_u8(r[2] + 2 * S), c, t);
  tap(n, dRb, vld1q_u8(r[3] - 2 * S), c, t);
  tap(n, dRb, vld1q_u8(r[3] + 2 * S), c, t);
  n.lo = vshlq_n_u16(n.lo, 1);
  n.hi = vshlq_n_u16(n.hi, 1);
  tap(n, dCo, vld1q_u8(r[0] - 2 * S), c, t);
  tap(n, dCo, vld1q_u8(r[0] + 2 * S), c, t);
  tap(n, dCo, vld1q_u8(r[4] - 2 * S), c, t);
  tap(n, dCo, vld1q_u8(r[4] + 2 * S), c, t);

  // den = 2 x (2 x inner + ringA + ringB) + corners, 16 bits.
  uint16x8_t d0 = vshll_n_u8(vget_low_u8(dIn), 1), d1 = vshll_n_u8(vget_high_u8(dIn), 1);
  d0 = vaddw_u8(vaddw_u8(d0, vget_low_u8(dRa)), vget_low_u8(dRb));
  d1 = vaddw_u8(vaddw_u8(d1, vget_high_u8(dRa)), vget_high_u8(dRb));
  d0 = vaddw_u8(vshlq_n_u16(d0, 1), vget_low_u8(dCo));
  d1 = vaddw_u8(vshlq_n_u16(d1, 1), vget_high_u8(dCo));
  // e = num - c x den modulo 2^16. (The empty asm ties the widened centre to
  // this point: GCC would otherwise widen it before the taps and spill it.)
  uint8x16_t cLate = c;
#if TNR_MD_NATIVE_NEON
  __asm__("" : "+w"(cLate) : "w"(dCo));
#endif
  const uint16x8_t c0 = vmovl_u8(vget_low_u8(cLate)), c1 = vmovl_u8(vget_high_u8(cLate));
  const uint16x8_t e0 = vmlsq_u16(n.lo, c0, d0), e1 = vmlsq_u16(n.hi, c1, d1);
  const uint16x4_t o0 = divide4(numerator4(vget_low_u16(c0), vget_low_u16(d0), vget_low_u16(e0)),
                                vget_low_u16(d0));
  const uint16x4_t o1 =
      divide4(numerator4(vget_high_u16(c0), vget_high_u16(d0), vget_high_u16(e0)),
              vget_high_u16(d0));
  const uint16x4_t o2 = divide4(numerator4(vget_low_u16(c1), vget_low_u16(d1), vget_low_u16(e1)),
                                vget_low_u16(d1));
  const uint16x4_t o3 =
      divide4(numerator4(vget_high_u16(c1), vget_high_u16(d1), vget_high_u16(e1)),
              vget_high_u16(d1));
  const uint8x16_t out =
      vcombine_u8(vqmovn_u16(vcombine_u16(o0, o1)), vqmovn_u16(vcombine_u16(o2, o3)));
  // Threshold 0: the sample passes unchanged (its sums are 0).
  return vbslq_u8(vceqq_u8(t, vdupq_n_u8(0)), c, out);
}

inline bool allZero(uint8x16_t v) {
  const uint64x2_t u = vreinterpretq_u64_u8(v);
  return (vgetq_lane_u64(u, 0) | vgetq_lane_u64(u, 1)) == 0;
}

// Thresholds of 16 weights: lut[min(w >> 2, 31)].
inline uint8x16_t thresholds(uint8x16_t w, const uint8x8x4_t &lut) {
  const uint8x16_t i = vminq_u8(vshrq_n_u8(w, 2), vdupq_n_u8(31));
  return vcombine_u8(vtbl4_u8(lut, vget_low_u8(i)), vtbl4_u8(lut, vget_high_u8(i)));
}

int clampInt(int v, int lo, int hi) { return v < lo ? lo : (v > hi ? hi : v); }

// One row of a plane: columns [0, width) of the grid, the interior in vector
// steps, the border through the per-sample code. pre: the weights of the row
// (luma) or of the luma row below the chroma row (chroma: lane x takes the
// weight of column x | 1).
template <int s>
void planeRow(const uint8_t *const r[5], uint8_t *out, const uint8_t *pre, int width,
              const uint8x8x4_t &lut, const uint8_t *lutBytes) {
  // Interior columns [first, end): every tap inside the grid; for chroma
  // end is even, so that every step starts on a U byte.
  const int first = 2 * s, end = s == 2 ? (width - 4) & ~1 : width - 2;
  const auto sample = [&](int x) { out[x] = spatialPlaneSample(r, pre, width, s, x, lutBytes); };
  if (end - first < 16) {
    for (int x = 0; x < width; ++x) sample(x);
    return;
  }
  for (int x = 0; x < first; ++x) sample(x);
  for (int x = end; x < width; ++x) sample(x);
  for (int x0 = first; x0 < end; x0 += 16) {
    const int x = x0 + 16 <= end ? x0 : end - 16;  // even for chroma
    uint8x16_t w = vld1q_u8(pre + x);
    if (s == 2) {
      // Lanes 2k and 2k + 1 take weight 2k + 1 of the luma row.
      const uint8x8_t odd = vget_low_u8(vuzpq_u8(w, w).val[1]);
      const uint8x8x2_t z = vzip_u8(odd, odd);
      w = vcombine_u8(z.val[0], z.val[1]);
    }
    const uint8x16_t t = thresholds(w, lut);
    if (allZero(t)) {
      vst1q_u8(out + x, vld1q_u8(r[2] + x));
      continue;
    }
    const uint8_t *rx[5] = {r[0] + x, r[1] + x, r[2] + x, r[3] + x, r[4] + x};
    vst1q_u8(out + x, filter16<s>(rx, t));
  }
}

}  // namespace

void spatial_neon(const SpatialFrame &f, int y0, int y1, int c0, int c1) {
  uint8x8x4_t lut;
  lut.val[0] = vld1_u8(f.lut);
  lut.val[1] = vld1_u8(f.lut + 8);
  lut.val[2] = vld1_u8(f.lut + 16);
  lut.val[3] = vld1_u8(f.lut + 24);
  const ptrdiff_t pitch = f.imgWidth;
  for (int y = y0; y < y1 && y < f.proHeight; ++y) {
    uint8_t *out = f.pOut + y * pitch;
    const uint8_t *r[5];
    for (int k = 0; k < 5; ++k) r[k] = f.pIn + clampInt(y - 2 + k, 0, f.proHeight - 1) * pitch;
    planeRow<1>(r, out, f.pPreAlpha + static_cast<ptrdiff_t>(y) * f.gainStride, f.proWidth, lut,
                f.lut);
  }
  const ptrdiff_t uv = pitch * f.imgHeight;
  const int uvRows = f.proHeight / 2;
  for (int cy = c0; cy < c1 && cy < uvRows; ++cy) {
    uint8_t *out = f.pOut + uv + cy * pitch;
    const uint8_t *r[5];
    for (int k = 0; k < 5; ++k) r[k] = f.pIn + uv + clampInt(cy - 2 + k, 0, uvRows - 1) * pitch;
    planeRow<2>(r, out, f.pPreAlpha + static_cast<ptrdiff_t>(2 * cy + 1) * f.gainStride,
                f.proWidth, lut, f.lut);
  }
}

}  // namespace tnr_md
