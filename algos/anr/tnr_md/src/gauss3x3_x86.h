// The 3x3 binomial filter's lane steps in x86-64 16-bit lanes, over any
// vector traits of x86_vec.h, exact for every int16 input;
// shared by the filter and by the per-pixel pass, which filters the samples
// it needs itself.
//
// With q = x >> 4 for each input x, the weighted sum A = sum w x (weights
// summing to 16) splits as A = 16 Q + R with Q = sum w q and R = sum w (x & 15)
// in 0 .. 240. Q lies in -32768 .. 32752, so its wrapping 16-bit sum is exact;
// the wrapping 16-bit sum of the inputs gives A mod 2^16, hence R = A - 16 Q
// (mod 2^16) exactly; the output (A + 8) >> 4 is Q + ((R + 8) >> 4).
#ifndef TNR_MD_GAUSS3X3_X86_H
#define TNR_MD_GAUSS3X3_X86_H

#include <cstddef>
#include <cstdint>

#include "x86_vec.h"

namespace tnr_md::TNR_MD_X86_NS {
namespace gauss_x86 {

// Row sums of one vector of columns p .. p + lanes - 1: the quotient part and
// the wrapping full sum. Reads columns p - 1 .. p + lanes.
template <class S>
struct RowSum {
  typename S::V q, a;
};

template <class S>
inline RowSum<S> rowSum(const int16_t *row) {
  const auto l = S::load(row - 1), m = S::load(row), r = S::load(row + 1);
  const auto ql = S::sra4(l), qm = S::sra4(m), qr = S::sra4(r);
  return {S::add(S::add(ql, qr), S::add(qm, qm)), S::add(S::add(l, r), S::add(m, m))};
}

// The filtered values of one vector of columns from c (a pointer into a
// plane of pitch stride): reads rows -1 .. 1 and columns -1 .. lanes of c.
template <class S>
inline typename S::V filterAt(const int16_t *c, ptrdiff_t stride) {
  const RowSum<S> up = rowSum<S>(c - stride), mid = rowSum<S>(c), down = rowSum<S>(c + stride);
  const typename S::V q = S::add(S::add(up.q, down.q), S::add(mid.q, mid.q));
  const typename S::V a = S::add(S::add(up.a, down.a), S::add(mid.a, mid.a));
  const typename S::V r = S::sub(a, S::shl4(q));  // 0 .. 240
  return S::add(q, S::srl4(S::add(r, S::set8())));
}

}  // namespace gauss_x86
}  // namespace tnr_md::TNR_MD_X86_NS

#endif  // TNR_MD_GAUSS3X3_X86_H
