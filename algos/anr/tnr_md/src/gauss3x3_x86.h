// The 3x3 binomial filter's lane steps in x86-64 16-bit lanes, over any
// vector traits of x86_vec.h: for every int16 input (rowSum), and for inputs
// that are all multiples of 16 (halfRow, halfColumn); the latter shared by
// the filter and by the per-pixel pass, which filters the samples it needs
// itself from the difference plane.
//
// For every input: with q = x >> 4 for each input x, the weighted sum A = sum w x (weights
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

// Inputs that are all multiples of 16 (the scaled difference plane), in
// halving averages: with every term even, the unsigned rounding average of
// two values offset by 32768 (x XOR 0x8000) is their exact half sum, offset
// by 32768. halfRow: per row H = ((l + r) / 2 + m) / 2 = (l + 2m + r) / 4, a
// multiple of 4, offset; reads columns -1 .. lanes of row. halfColumn: the
// output ((Hup + Hdown) / 2 + Hmid) / 2 = A / 16 of the rows' offset H, which
// is RoundShift(A, 4) since A is a multiple of 16, offset removed. bias:
// every lane 0x8000.
template <class S>
inline typename S::V halfRow(const int16_t *row, typename S::V bias) {
  const auto l = S::bxor(S::load(row - 1), bias), m = S::bxor(S::load(row), bias);
  const auto r = S::bxor(S::load(row + 1), bias);
  return S::avg(S::avg(l, r), m);
}
template <class S>
inline typename S::V halfColumn(typename S::V up, typename S::V mid, typename S::V down,
                                typename S::V bias) {
  return S::bxor(S::avg(S::avg(up, down), mid), bias);
}

// The filtered values of one vector of columns from c (a pointer into a
// plane of pitch stride every input of which is a multiple of 16): reads
// rows -1 .. 1 and columns -1 .. lanes of c.
template <class S>
inline typename S::V filterSixteensAt(const int16_t *c, ptrdiff_t stride, typename S::V bias) {
  return halfColumn<S>(halfRow<S>(c - stride, bias), halfRow<S>(c, bias),
                       halfRow<S>(c + stride, bias), bias);
}

}  // namespace gauss_x86
}  // namespace tnr_md::TNR_MD_X86_NS

#endif  // TNR_MD_GAUSS3X3_X86_H
