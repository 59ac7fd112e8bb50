// The spatial stage, x86-64 form, compiled once per x86-64 level into its
// namespace (x86_vec.h), over its vector traits: 16 samples per step at
// x86-64-v2 (SSE4.1), 32 at x86-64-v3 (AVX2), 64 at x86-64-v4 (AVX-512 BW).
// Results equal spatial_c byte for byte.
//
// Same tail policy and byte sums as the NEON form (spatial_neon.cpp): the
// interior of each row in steps moved back to end at the interior's end, the
// border columns and narrow rows through the per-sample code; each sign's
// weighted influences summed in bytes (at most 252). x86 has no halving
// subtraction, so the increment floor((P - N + 8) / 16) comes from two
// rounding averages: u = avg(P, 255 - N) = (P - N + 256) >> 1
// = floor((P - N) / 2) + 128, within 2 .. 254; then
// avg(u >> 2, 0) = (floor(u / 4) + 1) >> 1 = floor((u + 4) / 8)
// = floor((P - N + 8) / 16) + 16, and the output is c + that - 16 in
// wrapping bytes (exact: the result lies within 0 .. 255, spatial.cpp).
#include <cstring>

#include "kernels.h"
#include "spatial.h"
#include "x86_vec.h"

namespace tnr_md::TNR_MD_X86_NS {
namespace {

// The byte operations the filter needs beyond the vector traits.
template <class S>
inline typename S::V notV(typename S::V a) {
  return S::bxor(a, S::set1x8(-1));
}
template <class S>
inline typename S::V shr2U8(typename S::V a) {
  return S::band(S::srl16(a, 2), S::set1x8(0x3F));
}
// Lanes 2k and 2k + 1 take byte 2k + 1.
template <class S>
inline typename S::V pairOdd(typename S::V w) {
  return S::bor(S::srl8(w), S::band(w, S::set1(-256)));
}

// One neighbour's influence, its two signs (as the NEON form's tap).
template <class S>
inline void tap(typename S::V &p, typename S::V &n, typename S::V q, typename S::V c,
                typename S::V t) {
  const typename S::V up = S::subsu8(q, c), dn = S::subsu8(c, q);
  p = S::add8(p, S::minu8(up, S::subsu8(t, up)));
  n = S::add8(n, S::minu8(dn, S::subsu8(t, dn)));
}

template <class S>
inline typename S::V filter(const uint8_t *const r[3], ptrdiff_t s, typename S::V t) {
  using V = typename S::V;
  const V c = S::load(r[1]);
  V pe = S::zero(), ne = S::zero(), pc = S::zero(), nc = S::zero();
  tap<S>(pe, ne, S::load(r[0]), c, t);
  tap<S>(pe, ne, S::load(r[1] - s), c, t);
  tap<S>(pe, ne, S::load(r[1] + s), c, t);
  tap<S>(pe, ne, S::load(r[2]), c, t);
  tap<S>(pc, nc, S::load(r[0] - s), c, t);
  tap<S>(pc, nc, S::load(r[0] + s), c, t);
  tap<S>(pc, nc, S::load(r[2] - s), c, t);
  tap<S>(pc, nc, S::load(r[2] + s), c, t);
  const V p = S::add8(S::add8(pe, pe), pc), n = S::add8(S::add8(ne, ne), nc);
  const V u = S::avg8(p, notV<S>(n));          // floor((P - N) / 2) + 128
  const V h = S::avg8(shr2U8<S>(u), S::zero());  // floor((P - N + 8) / 16) + 16
  return S::sub8(S::add8(c, h), S::set1x8(16));
}

// lut[min(w >> 2, 31)] of each byte: two 16-byte lookups (pshufb takes the
// low 4 bits of an index below 128), the upper table where the index >= 16.
template <class S>
inline typename S::V thresholds(typename S::V w, typename S::V lut0, typename S::V lut1) {
  using V = typename S::V;
  const V i = S::minu8(shr2U8<S>(w), S::set1x8(31));
  return S::blendv8(S::shuffle8(lut0, i), S::shuffle8(lut1, i), S::cmpgt8(i, S::set1x8(15)));
}

template <class S>
void planeRow(const uint8_t *const r[3], uint8_t *out, const uint8_t *pre, int width, int s,
              const uint8_t *lutBytes) {
  using V = typename S::V;
  // Interior columns [first, end): every tap inside the grid; for chroma
  // end is even, so that every step starts on a U byte.
  const int first = s, end = s == 2 ? (width - 2) & ~1 : width - 1;
  const auto sample = [&](int x) { out[x] = spatialPlaneSample(r, pre, width, s, x, lutBytes); };
  if (end - first < S::kBytes) {
    for (int x = 0; x < width; ++x) sample(x);
    return;
  }
  for (int x = 0; x < first; ++x) sample(x);
  for (int x = end; x < width; ++x) sample(x);
  const V lut0 = S::broadcast16(lutBytes), lut1 = S::broadcast16(lutBytes + 16);
  for (int x0 = first; x0 < end; x0 += S::kBytes) {
    const int x = x0 + S::kBytes <= end ? x0 : end - S::kBytes;  // even for chroma
    V w = S::load(pre + x);
    if (s == 2) w = pairOdd<S>(w);  // lanes 2k and 2k + 1: luma weight 2k + 1
    const V t = thresholds<S>(w, lut0, lut1);
    if (S::allZero(t)) {
      S::store(out + x, S::load(r[1] + x));
      continue;
    }
    const uint8_t *rx[3] = {r[0] + x, r[1] + x, r[2] + x};
    S::store(out + x, filter<S>(rx, s, t));
  }
}

// The widest vector whose step fits an interior of `interior` columns, down
// to 128 bits (whose planeRow takes the per-sample code when even that does
// not).
template <class S = Widest>
void row(const uint8_t *const r[3], uint8_t *out, const uint8_t *pre, int width, int s,
         const uint8_t *lut, int interior) {
  if constexpr (S::kBytes > V128::kBytes) {
    if (interior < S::kBytes) {
      return row<typename S::Narrower>(r, out, pre, width, s, lut, interior);
    }
  }
  planeRow<S>(r, out, pre, width, s, lut);
}

}  // namespace

void spatial_x86(const SpatialFrame &f, int y0, int y1, int c0, int c1) {
  // The interior: luma columns 1 .. proWidth - 2, chroma bytes
  // 2 .. ((proWidth - 2) & ~1) - 1.
  const int lumaInterior = f.proWidth - 2, chromaInterior = ((f.proWidth - 2) & ~1) - 2;
  spatialRows(f, y0, y1, c0, c1,
              [&](const uint8_t *const r[3], uint8_t *out, const uint8_t *pre, int s) {
                row(r, out, pre, f.proWidth, s, f.lut, s == 1 ? lumaInterior : chromaInterior);
              });
}

}  // namespace tnr_md::TNR_MD_X86_NS
