// Row buffer, vector form: 16 block columns per step. Results equal
// rowBuffer_c byte for byte.
//
// Tail policy: the last step of a row is moved back to end at the row's end,
// recomputing the overlap with equal values; rows of fewer than 16 blocks go
// through a zero-padded local copy, only the row's own bytes copied back.
#include <cstring>

#include "arith.h"
#include "kernels.h"
#include "neon.h"

namespace tnr_md {
namespace {

// RoundShift(a0 x wgt1 + a1 x wgt0, 3); the sum is at most 128 x 8.
inline uint8x16_t vInterp16(uint8x16_t a0, uint8x16_t a1, uint8x8_t wgt0, uint8x8_t wgt1) {
  const uint16x8_t lo = vmlal_u8(vmull_u8(vget_low_u8(a0), wgt1), vget_low_u8(a1), wgt0);
  const uint16x8_t hi = vmlal_u8(vmull_u8(vget_high_u8(a0), wgt1), vget_high_u8(a1), wgt0);
  return vcombine_u8(vrshrn_n_u16(lo, 3), vrshrn_n_u16(hi, 3));
}

}  // namespace

// The row buffer T of processing rows [y0, y1), its border columns included: blockCols + 2
// bytes per row, row y at rowBuf + (y - y0) x (blockCols + 2). 16 block columns per
// step, the last step moved back to blockCols - 16; rows of fewer than 16 blocks
// go through a padded copy.

void rowBuffer_neon(const uint8_t *pAlpha, uint8_t *rowBuf, int y0, int y1, int blockRows,
                    int blockCols) {
  const int rowBufStride = blockCols + 2;
  for (int y = y0; y < y1; ++y) {
    const auto [index0, index1, wgt0] = blockRowPair(y, blockRows);
    const uint8x8_t vW0 = vdup_n_u8(static_cast<uint8_t>(wgt0));
    const uint8x8_t vW1 = vdup_n_u8(static_cast<uint8_t>(8 - wgt0));
    const uint8_t *a0 = pAlpha + index0 * blockCols;
    const uint8_t *a1 = pAlpha + index1 * blockCols;
    uint8_t *t = rowBuf + static_cast<ptrdiff_t>(y - y0) * rowBufStride;
    if (blockCols >= 16) {
      for (int x = 0; x < blockCols; x += 16) {
        const int offsetX = x + 16 <= blockCols ? x : blockCols - 16;
        vst1q_u8(t + 1 + offsetX,
                 vInterp16(vld1q_u8(a0 + offsetX), vld1q_u8(a1 + offsetX), vW0, vW1));
      }
    } else {
      uint8_t r0[16] = {0}, r1[16] = {0}, out[16];
      std::memcpy(r0, a0, blockCols);
      std::memcpy(r1, a1, blockCols);
      vst1q_u8(out, vInterp16(vld1q_u8(r0), vld1q_u8(r1), vW0, vW1));
      std::memcpy(t + 1, out, blockCols);
    }
    t[0] = t[1];
    t[blockCols + 1] = t[blockCols];
  }
}

}  // namespace tnr_md
