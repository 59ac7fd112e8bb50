// Row buffer, x86-64 form: the widest vector of the level (32 bytes at AVX2
// and above, 16 at SSE4.1) per step. Results equal rowBuffer_c byte for byte.
//
// RoundShift(a0 x wgt1 + a1 x wgt0, 3) as one byte multiply-add (alphas at
// most 128, weights at most 8, sums at most 1024).
//
// Tail policy: full steps of the widest vector from column 0, then 16-byte
// steps, the last one moved back to end at the row's end and recomputing the
// overlap with equal values. Rows of fewer than 16 blocks run the same lane
// code on a zero-padded local copy, only the row's own bytes copied back.
#include <cstring>

#include "arith.h"
#include "kernels.h"
#include "x86_vec.h"

namespace tnr_md::TNR_MD_X86_NS {
namespace {

// RoundShift(a0 x wgt1 + a1 x wgt0, 3) of one vector of bytes; w10 holds the
// byte pairs (wgt1, wgt0). Unpacks and pack stay within 128-bit halves, so
// the bytes come back in order.
template <class S>
inline typename S::V interp(typename S::V a0, typename S::V a1, typename S::V w10) {
  const typename S::V four = S::set1(4);
  const typename S::V lo = S::maddubs(S::unpacklo8(a0, a1), w10);
  const typename S::V hi = S::maddubs(S::unpackhi8(a0, a1), w10);
  return S::packus(S::srl3(S::add(lo, four)), S::srl3(S::add(hi, four)));
}

}  // namespace

void rowBuffer_x86(const uint8_t *a, uint8_t *rowBuf, int y0, int y1, int blockRows,
                   int blockCols) {
  const int rowBufStride = blockCols + 2;
  for (int y = y0; y < y1; ++y) {
    const auto [index0, index1, wgt0] = blockRowPair(y, blockRows);
    const uint8_t *a0 = a + static_cast<ptrdiff_t>(index0) * blockCols;
    const uint8_t *a1 = a + static_cast<ptrdiff_t>(index1) * blockCols;
    uint8_t *t = rowBuf + static_cast<ptrdiff_t>(y - y0) * rowBufStride;
    const int16_t w10 = static_cast<int16_t>((wgt0 << 8) | (8 - wgt0));
    if (blockCols >= 16) {
      int x = 0;
      const Wide::V wWide = Wide::set1(w10);
      for (; x + Wide::kBytes <= blockCols; x += Wide::kBytes)
        Wide::store(t + 1 + x, interp<Wide>(Wide::load(a0 + x), Wide::load(a1 + x), wWide));
      const __m128i w16 = V128::set1(w10);
      for (; x < blockCols; x += 16) {
        const int o = x + 16 <= blockCols ? x : blockCols - 16;  // the moved-back last block
        storeu(t + 1 + o, interp<V128>(loadu(a0 + o), loadu(a1 + o), w16));
      }
    } else {
      uint8_t r0[16] = {0}, r1[16] = {0}, out[16];
      std::memcpy(r0, a0, blockCols);
      std::memcpy(r1, a1, blockCols);
      storeu(out, interp<V128>(loadu(r0), loadu(r1), V128::set1(w10)));
      std::memcpy(t + 1, out, blockCols);
    }
    t[0] = t[1];
    t[blockCols + 1] = t[blockCols];
  }
}

}  // namespace tnr_md::TNR_MD_X86_NS
