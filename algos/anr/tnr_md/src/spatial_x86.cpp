// The spatial stage, x86-64 form, compiled once per x86-64 level into its
// namespace (x86_vec.h), over its vector traits: 16 samples per step at
// x86-64-v2 (SSE4.1), 32 at x86-64-v3 and v4 (AVX2 at v4 too: no 512-bit
// form is written).
// Results equal spatial_c byte for byte.
//
// Same tail policy and accumulators as the NEON form (spatial_neon.cpp): the
// interior of each row in steps moved back to end at the interior's end, the
// border columns and narrow rows through the per-sample code. Two taps are
// multiplied and added at once (pmaddubsw of the interleaved samples and
// range weights: at most 2 x 255 x 28, never saturating); the 16-bit sums
// wrap exactly as unsigned 16-bit sums, which stay below 65536.
#include <cstring>

#include "kernels.h"
#include "recip_x86.h"
#include "spatial.h"
#include "x86_vec.h"

namespace tnr_md::TNR_MD_X86_NS {
namespace {

// min(trunc(num x RecipRefine(den) + 0.5), 2^31 - 1) of 32-bit lanes.
template <class S>
inline typename S::V divide(typename S::V num, typename S::V den) {
  const typename S::F q = S::mulf(S::toFloat(num), recipRefineX<S>(S::toFloat(den)));
  return S::trunc(S::addf(q, S::set1f(0.5f)));
}

template <class S>
struct Acc {
  typename S::V lo, hi;  // sums of w x v (16-bit, interleaved halves of each 128-bit lane)
  typename S::V den;     // sums of w (8-bit)
};

template <class S>
inline Acc<S> accZero() {
  return {S::zero(), S::zero(), S::zero()};
}

template <class S>
inline typename S::V rangeWeight(typename S::V q, typename S::V c, typename S::V t) {
  return S::subsu8(t, S::bor(S::subsu8(q, c), S::subsu8(c, q)));
}

// Two taps: their products added pairwise by pmaddubsw.
template <class S>
inline void tap2(Acc<S> &a, typename S::V q1, typename S::V q2, typename S::V c,
                 typename S::V t) {
  const typename S::V w1 = rangeWeight<S>(q1, c, t), w2 = rangeWeight<S>(q2, c, t);
  a.lo = S::add(a.lo, S::maddubs(S::unpacklo8(q1, q2), S::unpacklo8(w1, w2)));
  a.hi = S::add(a.hi, S::maddubs(S::unpackhi8(q1, q2), S::unpackhi8(w1, w2)));
  a.den = S::add8(a.den, S::add8(w1, w2));
}

// The centre tap: weight t, product t x c.
template <class S>
inline void centre(Acc<S> &a, typename S::V c, typename S::V t) {
  const typename S::V z = S::zero();
  a.lo = S::add(a.lo, S::maddubs(S::unpacklo8(c, z), S::unpacklo8(t, z)));
  a.hi = S::add(a.hi, S::maddubs(S::unpackhi8(c, z), S::unpackhi8(t, z)));
  a.den = S::add8(a.den, t);
}

// 4 x inner + 2 x (ringA + ringB) + corners on the 32-bit lanes from one set
// of 16-bit lanes (unpack16 = lo16 or hi16 with zero).
template <class S, bool kHigh>
inline typename S::V combine(typename S::V in, typename S::V ra, typename S::V rb,
                             typename S::V co) {
  const typename S::V z = S::zero();
  const auto widen = [&](typename S::V v) { return kHigh ? S::unpackhi16(v, z) : S::unpacklo16(v, z); };
  const typename S::V n = S::add32(S::template sll32<2>(widen(in)), widen(co));
  return S::add32(n, S::template sll32<1>(S::add32(widen(ra), widen(rb))));
}

template <class S>
inline typename S::V filter(const uint8_t *const r[5], ptrdiff_t s, typename S::V t) {
  using V = typename S::V;
  const V c = S::load(r[2]);
  Acc<S> in = accZero<S>(), ra = accZero<S>(), rb = accZero<S>(), co = accZero<S>();
  tap2<S>(in, S::load(r[1] - s), S::load(r[1]), c, t);
  tap2<S>(in, S::load(r[1] + s), S::load(r[2] - s), c, t);
  tap2<S>(in, S::load(r[2] + s), S::load(r[3] - s), c, t);
  tap2<S>(in, S::load(r[3]), S::load(r[3] + s), c, t);
  centre<S>(in, c, t);
  tap2<S>(ra, S::load(r[0] - s), S::load(r[0]), c, t);
  tap2<S>(ra, S::load(r[0] + s), S::load(r[4] - s), c, t);
  tap2<S>(ra, S::load(r[4]), S::load(r[4] + s), c, t);
  tap2<S>(ra, S::load(r[1] - 2 * s), S::load(r[1] + 2 * s), c, t);
  tap2<S>(rb, S::load(r[2] - 2 * s), S::load(r[2] + 2 * s), c, t);
  tap2<S>(rb, S::load(r[3] - 2 * s), S::load(r[3] + 2 * s), c, t);
  tap2<S>(co, S::load(r[0] - 2 * s), S::load(r[0] + 2 * s), c, t);
  tap2<S>(co, S::load(r[4] - 2 * s), S::load(r[4] + 2 * s), c, t);

  // Sums of weights to 16 bits: 4 x inner + 2 x (ringA + ringB) + corners.
  const V z = S::zero();
  const auto den16 = [&](bool high) {
    const auto w = [&](V v) { return high ? S::unpackhi8(v, z) : S::unpacklo8(v, z); };
    return S::add(S::add(S::sll16(w(in.den), 2), w(co.den)),
                    S::sll16(S::add(w(ra.den), w(rb.den)), 1));
  };
  const V denLo = den16(false), denHi = den16(true);
  const V o0 = divide<S>(combine<S, false>(in.lo, ra.lo, rb.lo, co.lo), S::unpacklo16(denLo, z));
  const V o1 = divide<S>(combine<S, true>(in.lo, ra.lo, rb.lo, co.lo), S::unpackhi16(denLo, z));
  const V o2 = divide<S>(combine<S, false>(in.hi, ra.hi, rb.hi, co.hi), S::unpacklo16(denHi, z));
  const V o3 = divide<S>(combine<S, true>(in.hi, ra.hi, rb.hi, co.hi), S::unpackhi16(denHi, z));
  const V out = S::packus(S::packus32(o0, o1), S::packus32(o2, o3));
  return S::blendv8(out, c, S::cmpeq8(t, z));  // threshold 0: the sample unchanged
}

// lut[min(w >> 2, 31)] of each byte: two 16-byte lookups (pshufb takes the
// low 4 bits of an index below 128), the upper table where the index >= 16.
template <class S>
inline typename S::V thresholds(typename S::V w, typename S::V lut0, typename S::V lut1) {
  using V = typename S::V;
  const V i = S::minu8(S::band(S::srl16(w, 2), S::set1x8(0x3F)), S::set1x8(31));
  const V a = S::shuffle8(lut0, i), b = S::shuffle8(lut1, i);
  return S::blendv8(a, b, S::cmpgt8(i, S::set1x8(15)));
}

// Lanes 2k and 2k + 1 of a chroma step take luma weight 2k + 1: each byte
// pair's odd byte copied over its even one.
template <class S>
inline typename S::V pairWeights(typename S::V w) {
  return S::bor(S::srl8(w), S::band(w, S::set1(-256)));
}

int clampInt(int v, int lo, int hi) { return v < lo ? lo : (v > hi ? hi : v); }

template <class S>
void planeRow(const uint8_t *const r[5], uint8_t *out, const uint8_t *pre, int width, int s,
              const uint8_t *lutBytes) {
  using V = typename S::V;
  // Interior columns [first, end): every tap inside the grid; for chroma
  // end is even, so that every step starts on a U byte.
  const int first = 2 * s, end = s == 2 ? (width - 4) & ~1 : width - 2;
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
    if (s == 2) w = pairWeights<S>(w);
    const V t = thresholds<S>(w, lut0, lut1);
    if (S::allZero(t)) {
      S::store(out + x, S::load(r[2] + x));
      continue;
    }
    const uint8_t *rx[5] = {r[0] + x, r[1] + x, r[2] + x, r[3] + x, r[4] + x};
    S::store(out + x, filter<S>(rx, s, t));
  }
}

}  // namespace

void spatial_x86(const SpatialFrame &f, int y0, int y1, int c0, int c1) {
  const ptrdiff_t pitch = f.imgWidth;
  for (int y = y0; y < y1 && y < f.proHeight; ++y) {
    uint8_t *out = f.pOut + y * pitch;
    const uint8_t *r[5];
    for (int k = 0; k < 5; ++k) r[k] = f.pIn + clampInt(y - 2 + k, 0, f.proHeight - 1) * pitch;
    const uint8_t *pre = f.pPreAlpha + static_cast<ptrdiff_t>(y) * f.gainStride;
    if (f.proWidth - 4 >= Wide::kBytes)  // the luma interior: columns 2 .. proWidth - 3
      planeRow<Wide>(r, out, pre, f.proWidth, 1, f.lut);
    else
      planeRow<V128>(r, out, pre, f.proWidth, 1, f.lut);
  }
  const ptrdiff_t uv = pitch * f.imgHeight;
  const int uvRows = f.proHeight / 2;
  for (int cy = c0; cy < c1 && cy < uvRows; ++cy) {
    uint8_t *out = f.pOut + uv + cy * pitch;
    const uint8_t *r[5];
    for (int k = 0; k < 5; ++k) r[k] = f.pIn + uv + clampInt(cy - 2 + k, 0, uvRows - 1) * pitch;
    const uint8_t *pre = f.pPreAlpha + static_cast<ptrdiff_t>(2 * cy + 1) * f.gainStride;
    if (((f.proWidth - 4) & ~1) - 4 >= Wide::kBytes)  // the chroma interior (planeRow)
      planeRow<Wide>(r, out, pre, f.proWidth, 2, f.lut);
    else
      planeRow<V128>(r, out, pre, f.proWidth, 2, f.lut);
  }
}

}  // namespace tnr_md::TNR_MD_X86_NS
