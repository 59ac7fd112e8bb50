// 3x3 binomial filter (1 2 1 / 2 4 2 / 1 2 1, rounded shift by 4), x86-64 form
// in 16-bit lanes, exact for every int16 input.
// (The split that makes 16-bit lanes exact is in gauss3x3_x86.h.)
//
// The filter is separable: H(x) = I(x - 1) + 2 I(x) + I(x + 1) per row, the
// output H(y - 1) + 2 H(y) + H(y + 1), formed as the sum of the pair sums
// H(y - 1) + H(y) and H(y) + H(y + 1). Columns are walked in strips, rows down
// a band at a time, so each input row is split and summed once per strip.
#include "gauss3x3_x86.h"

#include <cstdint>

#include "kernels.h"
#include "x86_vec.h"

namespace tnr_md::TNR_MD_X86_NS {
namespace {

using gauss_x86::RowSum;
using gauss_x86::rowSum;

// One strip of kN vectors of columns from p, output rows [y0, y1).
template <class S, int kN>
inline void strip(const int16_t *pIn, int16_t *pOut, ptrdiff_t stride, int p, int y0, int y1) {
  using V = typename S::V;
  V hq[kN], ha[kN], sq[kN], sa[kN];
  const int16_t *in = pIn + p;
  for (int v = 0; v < kN; ++v) {
    const RowSum<S> up = rowSum<S>(in + (y0 - 1) * stride + v * S::kLanes);
    const RowSum<S> mid = rowSum<S>(in + y0 * stride + v * S::kLanes);
    hq[v] = mid.q;
    ha[v] = mid.a;
    sq[v] = S::add(up.q, mid.q);
    sa[v] = S::add(up.a, mid.a);
  }
  const V eight = S::set8();
  for (int y = y0; y < y1; ++y) {
    const int16_t *down = in + (y + 1) * stride;
    int16_t *out = pOut + y * stride + p;
    for (int v = 0; v < kN; ++v) {
      const RowSum<S> d = rowSum<S>(down + v * S::kLanes);
      const V nq = S::add(hq[v], d.q), na = S::add(ha[v], d.a);
      const V q = S::add(sq[v], nq), a = S::add(sa[v], na);
      const V r = S::sub(a, S::shl4(q));  // 0 .. 240
      S::store(out + v * S::kLanes, S::add(q, S::srl4(S::add(r, eight))));
      hq[v] = d.q;
      ha[v] = d.a;
      sq[v] = nq;
      sa[v] = na;
    }
  }
}

// The same strip for inputs that are all multiples of 16 (the scaled
// difference plane), in halving averages (gauss_x86::halfRow, exact there).
// With kChecked, returns false, having written garbage, when a loaded input
// is not a multiple of 16; without, the caller knows that every input is
// one (the filter of the difference plane) and nothing is checked.
template <class S, int kN, bool kChecked = true>
inline bool stripSixteens(const int16_t *pIn, int16_t *pOut, ptrdiff_t stride, int p, int y0,
                          int y1) {
  using V = typename S::V;
  const V bias = S::set1(static_cast<int16_t>(0x8000));
  V seen = S::set1(0);
  const auto rowH = [&](const int16_t *row) {
    if constexpr (kChecked)
      seen = S::bor(seen, S::bor(S::bor(S::load(row - 1), S::load(row)), S::load(row + 1)));
    return gauss_x86::halfRow<S>(row, bias);
  };
  // Three sets of row values, a, b and c, take turns as the rows above, at
  // and below the output row, three output rows per step, so that none is
  // copied from set to set.
  V a[kN], b[kN], c[kN];
  const int16_t *in = pIn + p;
  for (int v = 0; v < kN; ++v) {
    a[v] = rowH(in + (y0 - 1) * stride + v * S::kLanes);
    b[v] = rowH(in + y0 * stride + v * S::kLanes);
  }
  int y = y0;
  for (; y + 3 <= y1; y += 3) {
    const int16_t *r = in + (y + 1) * stride;
    int16_t *out = pOut + y * stride + p;
    for (int v = 0; v < kN; ++v) {
      c[v] = rowH(r + v * S::kLanes);
      S::store(out + v * S::kLanes, gauss_x86::halfColumn<S>(a[v], b[v], c[v], bias));
    }
    for (int v = 0; v < kN; ++v) {
      a[v] = rowH(r + stride + v * S::kLanes);
      S::store(out + stride + v * S::kLanes, gauss_x86::halfColumn<S>(b[v], c[v], a[v], bias));
    }
    for (int v = 0; v < kN; ++v) {
      b[v] = rowH(r + 2 * stride + v * S::kLanes);
      S::store(out + 2 * stride + v * S::kLanes, gauss_x86::halfColumn<S>(c[v], a[v], b[v], bias));
    }
  }
  // The last one or two rows.
  for (; y < y1; ++y) {
    const int16_t *down = in + (y + 1) * stride;
    int16_t *out = pOut + y * stride + p;
    for (int v = 0; v < kN; ++v) {
      const V d = rowH(down + v * S::kLanes);
      S::store(out + v * S::kLanes, gauss_x86::halfColumn<S>(a[v], b[v], d, bias));
      a[v] = b[v];
      b[v] = d;
    }
  }
  return !kChecked || !S::anyLow4(seen);
}

// Strips of kN vectors across the row; when cols is not a multiple of the
// strip the last one is moved back to end at cols and recomputes the
// overlap with equal values. Needs cols >= the strip's width.
template <class S, int kN, bool kDiff = false>
void filterPlane(const int16_t *pIn, int16_t *pOut, int rows, int cols, ptrdiff_t stride) {
  constexpr int kW = kN * S::kLanes;
  constexpr int kBand = 16;  // rows per band: a band's rows stay in the first-level cache
  for (int y0 = 0; y0 < rows; y0 += kBand) {
    const int y1 = y0 + kBand < rows ? y0 + kBand : rows;
    for (int x = 0; x < cols; x += kW) {
      const int p = x + kW <= cols ? x : cols - kW;
      if constexpr (kDiff)
        stripSixteens<S, kN, false>(pIn, pOut, stride, p, y0, y1);
      else if (!stripSixteens<S, kN>(pIn, pOut, stride, p, y0, y1))
        strip<S, kN>(pIn, pOut, stride, p, y0, y1);
    }
  }
}

// The widest strip that fits the row: four or two 512-bit vectors at AVX-512,
// two or one 256-bit vectors at AVX2, two or one 128-bit vectors below.
// Reads rows -1 .. rows and columns -1 .. cols of in, writes columns
// 0 .. cols - 1 of rows rows of out; nothing else is touched. kDiff: every
// input a multiple of 16, unchecked.
template <bool kDiff>
void filterWidest(const int16_t *in, int16_t *out, int rows, int cols, int stride) {
  if (rows <= 0 || cols <= 0) return;
  if constexpr (Widest::kBytes == 64) {
    if (cols >= 4 * Widest::kLanes)
      return filterPlane<Widest, 4, kDiff>(in, out, rows, cols, stride);
    if (cols >= 2 * Widest::kLanes)
      return filterPlane<Widest, 2, kDiff>(in, out, rows, cols, stride);
  }
  using Half = V128;  // the vector of the narrow strips
  if (cols >= 2 * Wide::kLanes) return filterPlane<Wide, 2, kDiff>(in, out, rows, cols, stride);
  if (cols >= Wide::kLanes) return filterPlane<Wide, 1, kDiff>(in, out, rows, cols, stride);
  if (cols >= 8) return filterPlane<Half, 1, kDiff>(in, out, rows, cols, stride);
  gauss3x3_c(in, out, rows, cols, stride);
}

}  // namespace

void gauss3x3_x86(const int16_t *in, int16_t *out, int rows, int cols, int stride) {
  filterWidest<false>(in, out, rows, cols, stride);
}

// The difference plane (every sample a multiple of 32): the halving path
// throughout, without the test of the inputs (the three ORs of the eleven
// operations per row and vector, and the test per strip).
void gauss3x3Diff_x86(const int16_t *in, int16_t *out, int rows, int cols, int stride) {
  filterWidest<true>(in, out, rows, cols, stride);
}

}  // namespace tnr_md::TNR_MD_X86_NS
