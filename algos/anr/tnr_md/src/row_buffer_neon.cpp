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

// The row buffer T of processing rows [y0, y1), its border columns included: dsWid + 2
// bytes per row, row y at pT + (y - y0) x (dsWid + 2). 16 block columns per
// step, the last step moved back to dsWid - 16; rows of fewer than 16 blocks
// go through a padded copy.

void rowBuffer_neon(const uint8_t *pAlpha, uint8_t *pT, int y0, int y1, int dsHgt, int dsWid) {
  const int tmpStride = dsWid + 2;
  for (int y = y0; y < y1; ++y) {
    const auto [index0, index1, wgt0] = blockRowPair(y, dsHgt);
    const uint8x8_t vW0 = vdup_n_u8(static_cast<uint8_t>(wgt0));
    const uint8x8_t vW1 = vdup_n_u8(static_cast<uint8_t>(8 - wgt0));
    const uint8_t *a0 = pAlpha + index0 * dsWid;
    const uint8_t *a1 = pAlpha + index1 * dsWid;
    uint8_t *t = pT + static_cast<ptrdiff_t>(y - y0) * tmpStride;
    if (dsWid >= 16) {
      for (int x = 0; x < dsWid; x += 16) {
        const int offsetX = x + 16 <= dsWid ? x : dsWid - 16;
        vst1q_u8(t + 1 + offsetX,
                 vInterp16(vld1q_u8(a0 + offsetX), vld1q_u8(a1 + offsetX), vW0, vW1));
      }
    } else {
      uint8_t r0[16] = {0}, r1[16] = {0}, out[16];
      std::memcpy(r0, a0, dsWid);
      std::memcpy(r1, a1, dsWid);
      vst1q_u8(out, vInterp16(vld1q_u8(r0), vld1q_u8(r1), vW0, vW1));
      std::memcpy(t + 1, out, dsWid);
    }
    t[0] = t[1];
    t[dsWid + 1] = t[dsWid];
  }
}

}  // namespace tnr_md
