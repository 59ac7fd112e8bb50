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
// Exactness. The range weights are 8-bit saturating differences; the window's
// weighted sums are exact integers split over accumulators that cannot
// overflow (kSpatialMaxThreshold): the inner 3x3 (9 taps, spatial weight 4),
// eight and four taps of the outer ring (weight 2) and the corners (weight
// 1), each sum of products in 16 bits and each sum of weights in 8 bits,
// combined in 32 bits. The division is the per-sample one: float conversions
// of exact integers, the reciprocal estimate and its step, + 0.5, truncation.
#include <cstring>

#include "neon.h"
#include "spatial.h"

namespace tnr_md {
namespace {

struct Acc {
  uint16x8_t lo, hi;  // sum of w x v, lanes 0 .. 7 and 8 .. 15
  uint8x16_t den;     // sum of w
};

inline Acc accZero() { return {vdupq_n_u16(0), vdupq_n_u16(0), vdupq_n_u8(0)}; }

// One tap: w = max(t - |q - c|, 0).
inline void tap(Acc &a, uint8x16_t q, uint8x16_t c, uint8x16_t t) {
  const uint8x16_t w = vqsubq_u8(t, vabdq_u8(q, c));
  a.lo = vmlal_u8(a.lo, vget_low_u8(w), vget_low_u8(q));
  a.hi = vmlal_u8(a.hi, vget_high_u8(w), vget_high_u8(q));
  a.den = vaddq_u8(a.den, w);
}

// 4 x inner + 2 x (ringA + ringB) + corners, four lanes of one half.
inline uint32x4_t combine4(uint16x4_t in, uint16x4_t ra, uint16x4_t rb, uint16x4_t co) {
  uint32x4_t n = vaddw_u16(vshll_n_u16(in, 2), co);
  n = vaddq_u32(n, vshll_n_u16(ra, 1));
  return vaddq_u32(n, vshll_n_u16(rb, 1));
}

// The same for the sums of weights, eight lanes (at most 4 x 252 + 2 x 224 +
// 2 x 112 + 112 = 1792).
inline uint16x8_t combineDen(uint8x8_t in, uint8x8_t ra, uint8x8_t rb, uint8x8_t co) {
  const uint16x8_t d = vaddw_u8(vshll_n_u8(in, 2), co);
  return vaddq_u16(vaddq_u16(d, vshll_n_u8(ra, 1)), vshll_n_u8(rb, 1));
}

// min(trunc(num x recip(den) + 0.5), 65535) for four lanes.
inline uint16x4_t divide4(uint32x4_t num, uint16x4_t den) {
  const float32x4_t d = vcvtq_f32_u32(vmovl_u16(den));
  const float32x4_t e = vrecpeq_f32(d);
  const float32x4_t r = vmulq_f32(vrecpsq_f32(d, e), e);
  const float32x4_t q = vaddq_f32(vmulq_f32(vcvtq_f32_u32(num), r), vdupq_n_f32(0.5f));
  return vqmovn_u32(vcvtq_u32_f32(q));
}

// 16 output samples: r[k] points at the step's first column in window row k,
// s is the distance between taps (1 luma, 2 chroma), t the thresholds.
// Inlined into the row loop, its tap loops unrolled (each a few percent of
// the ARMv7 count).
__attribute__((always_inline)) inline uint8x16_t filter16(const uint8_t *const r[5], ptrdiff_t s,
                                                         uint8x16_t t) {
  const uint8x16_t c = vld1q_u8(r[2]);
  Acc in = accZero(), ra = accZero(), rb = accZero(), co = accZero();
#pragma GCC unroll 3
  for (int i = 1; i <= 3; ++i)
#pragma GCC unroll 3
    for (int j = -1; j <= 1; ++j) tap(in, vld1q_u8(r[i] + j * s), c, t);
#pragma GCC unroll 3
  for (int j = -1; j <= 1; ++j) {
    tap(ra, vld1q_u8(r[0] + j * s), c, t);
    tap(ra, vld1q_u8(r[4] + j * s), c, t);
  }
  tap(ra, vld1q_u8(r[1] - 2 * s), c, t);
  tap(ra, vld1q_u8(r[1] + 2 * s), c, t);
#pragma GCC unroll 2
  for (int i = 2; i <= 3; ++i) {
    tap(rb, vld1q_u8(r[i] - 2 * s), c, t);
    tap(rb, vld1q_u8(r[i] + 2 * s), c, t);
  }
  tap(co, vld1q_u8(r[0] - 2 * s), c, t);
  tap(co, vld1q_u8(r[0] + 2 * s), c, t);
  tap(co, vld1q_u8(r[4] - 2 * s), c, t);
  tap(co, vld1q_u8(r[4] + 2 * s), c, t);

  const uint16x8_t den0 = combineDen(vget_low_u8(in.den), vget_low_u8(ra.den),
                                     vget_low_u8(rb.den), vget_low_u8(co.den));
  const uint16x8_t den1 = combineDen(vget_high_u8(in.den), vget_high_u8(ra.den),
                                     vget_high_u8(rb.den), vget_high_u8(co.den));
  const uint16x4_t o0 = divide4(combine4(vget_low_u16(in.lo), vget_low_u16(ra.lo),
                                         vget_low_u16(rb.lo), vget_low_u16(co.lo)),
                                vget_low_u16(den0));
  const uint16x4_t o1 = divide4(combine4(vget_high_u16(in.lo), vget_high_u16(ra.lo),
                                         vget_high_u16(rb.lo), vget_high_u16(co.lo)),
                                vget_high_u16(den0));
  const uint16x4_t o2 = divide4(combine4(vget_low_u16(in.hi), vget_low_u16(ra.hi),
                                         vget_low_u16(rb.hi), vget_low_u16(co.hi)),
                                vget_low_u16(den1));
  const uint16x4_t o3 = divide4(combine4(vget_high_u16(in.hi), vget_high_u16(ra.hi),
                                         vget_high_u16(rb.hi), vget_high_u16(co.hi)),
                                vget_high_u16(den1));
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
void planeRow(const uint8_t *const r[5], uint8_t *out, const uint8_t *pre, int width, int s,
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
    vst1q_u8(out + x, filter16(rx, s, t));
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
    planeRow(r, out, f.pPreAlpha + static_cast<ptrdiff_t>(y) * f.gainStride, f.proWidth, 1, lut,
             f.lut);
  }
  const ptrdiff_t uv = pitch * f.imgHeight;
  const int uvRows = f.proHeight / 2;
  for (int cy = c0; cy < c1 && cy < uvRows; ++cy) {
    uint8_t *out = f.pOut + uv + cy * pitch;
    const uint8_t *r[5];
    for (int k = 0; k < 5; ++k) r[k] = f.pIn + uv + clampInt(cy - 2 + k, 0, uvRows - 1) * pitch;
    planeRow(r, out, f.pPreAlpha + static_cast<ptrdiff_t>(2 * cy + 1) * f.gainStride, f.proWidth,
             2, lut, f.lut);
  }
}

}  // namespace tnr_md
