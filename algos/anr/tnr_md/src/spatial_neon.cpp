// The spatial stage, vector form: 16 samples per step. Results equal
// spatial_c byte for byte.
//
// Tail policy. Each row's interior (the columns whose whole window lies in
// the grid: luma 1 .. proWidth - 2, chroma bytes 2 .. proWidth - 3) runs in
// steps of 16 from its first column; the last step is moved back to end at
// the interior's end and recomputes the overlap with identical values (the
// output is a separate frame, so the step is pure). The border columns, and
// rows whose interior is narrower than one step, go through the per-sample
// code. Loads stay inside the grid's columns of the rows they read.
//
// Exactness. Each neighbour's influence is split by sign into two bytes,
// min(p, t - p) with p the saturating difference q - c (and c - q), both
// within 0 .. t / 2 <= 21. Per sign the four edge neighbours (weight 2) and
// the four corners (weight 1) sum to at most 12 x 21 = 252: exact in bytes,
// P for the positive and N for the negative side. The halving subtraction
// gives floor((P - N) / 2) within +-126, a signed byte, and the rounding
// shift by 3 then floor((floor((P - N) / 2) + 4) / 8) = floor((P - N + 8) / 16),
// the per-sample result's increment; the result lies within 0 .. 255
// (spatial.cpp), so a wrapping byte addition is exact.
#include <cstring>

#include "neon.h"
#include "spatial.h"

namespace tnr_md {
namespace {

// One neighbour's influence, its two signs: p += min(q - c, t - (q - c)) and
// n += min(c - q, t - (c - q)), differences saturated at 0.
__attribute__((always_inline)) inline void tap(uint8x16_t &p, uint8x16_t &n, uint8x16_t q,
                                               uint8x16_t c, uint8x16_t t) {
  const uint8x16_t up = vqsubq_u8(q, c), dn = vqsubq_u8(c, q);
  p = vaddq_u8(p, vminq_u8(up, vqsubq_u8(t, up)));
  n = vaddq_u8(n, vminq_u8(dn, vqsubq_u8(t, dn)));
}

// 16 output samples: r[k] points at the step's first column in window row k,
// taps S bytes apart (1 luma, 2 chroma), t the thresholds.
template <int S>
__attribute__((always_inline)) inline uint8x16_t filter16(const uint8_t *const r[3],
                                                         uint8x16_t t) {
  const uint8x16_t c = vld1q_u8(r[1]);
  const uint8x16_t z = vdupq_n_u8(0);
  uint8x16_t pe = z, ne = z, pc = z, nc = z;
  tap(pe, ne, vld1q_u8(r[0]), c, t);
  tap(pe, ne, vld1q_u8(r[1] - S), c, t);
  tap(pe, ne, vld1q_u8(r[1] + S), c, t);
  tap(pe, ne, vld1q_u8(r[2]), c, t);
  tap(pc, nc, vld1q_u8(r[0] - S), c, t);
  tap(pc, nc, vld1q_u8(r[0] + S), c, t);
  tap(pc, nc, vld1q_u8(r[2] - S), c, t);
  tap(pc, nc, vld1q_u8(r[2] + S), c, t);
  const uint8x16_t p = vaddq_u8(vaddq_u8(pe, pe), pc), n = vaddq_u8(vaddq_u8(ne, ne), nc);
  const int8x16_t d = vrshrq_n_s8(vreinterpretq_s8_u8(vhsubq_u8(p, n)), 3);
  return vaddq_u8(c, vreinterpretq_u8_s8(d));
}

// The halves ORed first: one vector OR and one move to core registers
// (rather than a move per 32-bit lane on ARMv7).
inline bool allZero(uint8x16_t v) {
  return vget_lane_u64(vreinterpret_u64_u8(vorr_u8(vget_low_u8(v), vget_high_u8(v))), 0) == 0;
}

// Thresholds of 16 weights: lut[min(w >> 2, 31)].
inline uint8x16_t thresholds(uint8x16_t w, const uint8x8x4_t &lut) {
  const uint8x16_t i = vminq_u8(vshrq_n_u8(w, 2), vdupq_n_u8(31));
  return vcombine_u8(vtbl4_u8(lut, vget_low_u8(i)), vtbl4_u8(lut, vget_high_u8(i)));
}

// One row of a plane: columns [0, width) of the grid, the interior in vector
// steps, the border through the per-sample code. pre: the weights of the row
// (luma) or of the luma row below the chroma row (chroma: lane x takes the
// weight of column x | 1).
template <int s>
void planeRow(const uint8_t *const r[3], uint8_t *out, const uint8_t *pre, int width,
              const uint8x8x4_t &lut, const uint8_t *lutBytes) {
  // Interior columns [first, end): every tap inside the grid; for chroma
  // end is even, so that every step starts on a U byte.
  const int first = s, end = s == 2 ? (width - 2) & ~1 : width - 1;
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
      vst1q_u8(out + x, vld1q_u8(r[1] + x));
      continue;
    }
    const uint8_t *rx[3] = {r[0] + x, r[1] + x, r[2] + x};
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
  spatialRows(f, y0, y1, c0, c1,
              [&](const uint8_t *const r[3], uint8_t *out, const uint8_t *pre, int s) {
                if (s == 1)
                  planeRow<1>(r, out, pre, f.proWidth, lut, f.lut);
                else
                  planeRow<2>(r, out, pre, f.proWidth, lut, f.lut);
              });
}

}  // namespace tnr_md
