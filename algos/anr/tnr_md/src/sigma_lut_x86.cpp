// Sigma estimation, x86-64 form, written once over the vector traits of
// x86_vec.h (16 entries per step at AVX2 and above, 8 at SSE4.1): the
// separable 9-tap smoothing (10 13 15 17 18 17 15 13 10, rounded shift by 7)
// and the two scaled tables. Results equal sigmaLut_c element for element.
//
// Arithmetic, each step equal to the per-sample one for every input:
// - Pair sums wrap in 16 bits (add_epi16). The taps are two products per
//   madd_epi16: (sum0_8, sum1_7) by (10, 13), (sum2_6, sum3_5) by (15, 17),
//   and (centre, 1) by (18, 64), which also adds the rounding constant. The
//   32-bit total never overflows (|A| <= 73 x 32768), and the arithmetic
//   shift by 7 leaves -18688 .. 18687, which the saturating pack keeps as is.
// - Tables: (float)v x scale and + 0.5f rounded on their own (no fused
//   multiply-add; the compiler barrier keeps the product apart), then
//   truncated. cvttps gives INT32_MIN for NaN and for values out of range;
//   NaN and values at or below -2^31 end as 32 either way after max(., 32),
//   and lanes at or above 2^31 are flipped to INT32_MAX, the saturated value.
//   pSigmaL keeps the low 16 bits of each entry.
//
// Tail policy: blocks of the widest vector's entries from column 0, then of 8;
// a row whose width is not a multiple of 8 ends with an 8-entry block moved
// back to end at the row's end, which recomputes the overlap with equal
// values. A block of n entries at column c reads input columns c - 4 ..
// c + n + 3, inside the 4-sample border. Rows narrower than 8 entries take
// the per-sample form.
#include <cstddef>
#include <cstdint>

#include "arith.h"
#include "kernels.h"
#include "x86_vec.h"

namespace tnr_md::TNR_MD_X86_NS {
namespace {

// The tap weights as 16-bit pairs for madd: (10, 13), (15, 17), (18, 64).
template <class S>
struct Taps {
  typename S::V w0813 = S::set1x32((13 << 16) | 10), w2635 = S::set1x32((17 << 16) | 15),
                wCentre = S::set1x32((64 << 16) | 18), one = S::set1(1);
};

// The 9-tap kernel from the four pair sums and the centre, each 16-bit: the
// results RoundShift(A, 7) in 32-bit lanes, lo holding the first 4 entries of
// each 128-bit half and hi the next 4; their 16-bit narrowing is
// packs32(lo, hi), in order.
template <class S>
struct Taps32 {
  typename S::V lo, hi;
};
template <class S>
inline Taps32<S> taps(typename S::V s08, typename S::V s17, typename S::V s26, typename S::V s35,
                      typename S::V c, const Taps<S> &k) {
  // (pair sums of taps 0/8 and 1/7) x (10, 13) + (2/6, 3/5) x (15, 17) +
  // (centre, 1) x (18, 64), the last adding the rounding constant.
  const auto sum = [&](typename S::V p0817, typename S::V p2635, typename S::V centre1) {
    return S::sra32by7(S::add32(S::add32(S::madd(p0817, k.w0813), S::madd(p2635, k.w2635)),
                                S::madd(centre1, k.wCentre)));
  };
  return {sum(S::unpacklo16(s08, s17), S::unpacklo16(s26, s35), S::unpacklo16(c, k.one)),
          sum(S::unpackhi16(s08, s17), S::unpackhi16(s26, s35), S::unpackhi16(c, k.one))};
}

// Horizontal results of the vector of columns from in[0]: inputs in[-4 ..
// lanes + 3].
template <class S>
inline typename S::V horizontal(const int16_t *in, const Taps<S> &k) {
  typename S::V v[9];
  for (int i = 0; i < 9; ++i) v[i] = S::load(in - 4 + i);
  const Taps32<S> t = taps<S>(S::add(v[0], v[8]), S::add(v[1], v[7]), S::add(v[2], v[6]),
                              S::add(v[3], v[5]), v[4], k);
  return S::packs32(t.lo, t.hi);
}

// max(TruncToInt(f x scale + 0.5f), 32).
template <class S>
inline typename S::V scaleEntry(typename S::F f, typename S::F scale) {
  typename S::F p = S::mulf(f, scale);
  __asm__("" : "+x"(p));  // the product stays rounded on its own
  const typename S::F x = S::addf(p, S::set1f(0.5f));
  const typename S::V big = S::geMask(x, S::set1f(2147483648.0f));
  return S::max32(S::bxor(S::trunc(x), big), S::set1x32(32));
}

// Tables of the vector of columns from scratch column t[0] (scratch rows
// y .. y + 8 at pitch s for table row y).
template <class S>
inline void vertical(const int16_t *t, ptrdiff_t s, uint16_t *outL, uint32_t *outH,
                     const Taps<S> &k, typename S::F scaleL, typename S::F scaleH) {
  typename S::V r[9];
  for (int i = 0; i < 9; ++i) r[i] = S::load(t + i * s);
  const Taps32<S> v = taps<S>(S::add(r[0], r[8]), S::add(r[1], r[7]), S::add(r[2], r[6]),
                              S::add(r[3], r[5]), r[4], k);
  const typename S::F flo = S::toFloat(v.lo), fhi = S::toFloat(v.hi);
  const typename S::V low16 = S::set1x32(0xFFFF);
  S::store(outL, S::packus32(S::band(scaleEntry<S>(flo, scaleL), low16),
                             S::band(scaleEntry<S>(fhi, scaleL), low16)));
  S::store32Pair(outH, scaleEntry<S>(flo, scaleH), scaleEntry<S>(fhi, scaleH));
}

}  // namespace

void sigmaLut_x86(const int16_t *pIn, int16_t *pTmpBuf, const SigmaTables &out,
                  const SigmaScales &scale, int rows, int cols, int stride) {
  if (rows <= 0 || cols <= 0) return;
  if (cols < 8) return sigmaLut_c(pIn, pTmpBuf, out, scale, rows, cols, stride);
  const ptrdiff_t S = stride;
  const float scaleL = sigmaTableScale(scale.low), scaleH = sigmaTableScale(scale.high);
  const Taps<V128> k8;
  const Taps<Wide> kWide;
  constexpr int kWideN = Wide::kLanes;
  const int last = cols - 8;  // the moved-back last block

  // Horizontal pass over every row of the bordered plane (-4 .. rows + 3);
  // scratch row r + 4, columns 4 .. cols + 3.
  for (int r = -4; r < rows + 4; ++r) {
    const int16_t *in = pIn + r * S;
    int16_t *tmp = pTmpBuf + (r + 4) * S + 4;
    int x = 0;
    for (; x + kWideN <= cols; x += kWideN) Wide::store(tmp + x, horizontal<Wide>(in + x, kWide));
    for (; x + 8 <= cols; x += 8) V128::store(tmp + x, horizontal<V128>(in + x, k8));
    if (x < cols) V128::store(tmp + last, horizontal<V128>(in + last, k8));
  }
  // Vertical pass: table row y from scratch rows y .. y + 8.
  const V128::F l8 = V128::set1f(scaleL), h8 = V128::set1f(scaleH);
  const Wide::F lWide = Wide::set1f(scaleL), hWide = Wide::set1f(scaleH);
  for (int y = 0; y < rows; ++y) {
    const int16_t *t = pTmpBuf + y * S + 4;
    uint16_t *rowL = out.low + y * S;
    uint32_t *rowH = out.high + y * S;
    int x = 0;
    for (; x + kWideN <= cols; x += kWideN)
      vertical<Wide>(t + x, S, rowL + x, rowH + x, kWide, lWide, hWide);
    for (; x + 8 <= cols; x += 8) vertical<V128>(t + x, S, rowL + x, rowH + x, k8, l8, h8);
    if (x < cols) vertical<V128>(t + last, S, rowL + last, rowH + last, k8, l8, h8);
  }
}

}  // namespace tnr_md::TNR_MD_X86_NS
