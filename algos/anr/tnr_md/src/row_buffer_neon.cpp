// Row buffer, vector form: 16 block columns per step. Results equal
// rowBuffer_c byte for byte.
//
// Tail policy: the last step of a row is moved back to end at the row's end,
// recomputing the overlap with equal values; rows of fewer than 16 blocks go
// through a zero-padded local copy, only the row's own bytes copied back.
#include <cstring>
#include <type_traits>

#include "arith.h"
#include "kernels.h"
#include "neon.h"

namespace tnr_md {

namespace {

// v stored at p, then p stepped on by pitch. AArch64 in one instruction, a
// structure store stepped by a register: GCC stored a whole register, which
// takes no register step, and formed each row's address by an addition
// (real 768x576 at the defaults, executed instructions per pixel, AArch64:
// 8.161 to 8.152). ARMv7's stores step by a register as GCC emits them.
inline void storeStep(uint8_t *&p, uint8x16_t v, ptrdiff_t pitch) {
#if TNR_MD_NATIVE_NEON && defined(__aarch64__)
  asm volatile("st1 {%1.16b}, [%0], %2" : "+r"(p) : "w"(v), "r"(pitch) : "memory");
#else
  vst1q_u8(p, v);
  p = walk(p, pitch);
#endif
}

// Lane kLane of v stored at p, then p stepped on by pitch.
template <int kLane>
inline void storeLaneStep(uint8_t *&p, uint8x8_t v, ptrdiff_t pitch) {
#if TNR_MD_NATIVE_NEON && defined(__aarch64__)
  asm volatile("st1 {%1.b}[%3], [%0], %2" : "+r"(p) : "w"(v), "r"(pitch), "i"(kLane) : "memory");
#else
  vst1_lane_u8(p, v, kLane);
  p = walk(p, pitch);
#endif
}

// Block columns c .. c + 15 of n rows (kRows of them when kRows > 0, the
// common runs of 8 and 4 rows unrolled) at out, pitch apart, from the two
// block rows r0, r1 at the same columns, the first row's weights w1 (of r0)
// and w0 (of r1). kEdges: bit 0, the row's first step, also stores column
// c's byte at out - 1 (the left border column); bit 1, its last, column
// c + 15's at out + 16 (the right one).
template <int kRows, int kEdges>
inline void columns(uint8x16_t r0, uint8x16_t r1, uint8x8_t vW0, uint8x8_t vW1, uint8_t *out,
                    ptrdiff_t pitch, int n) {
  uint16x8_t lo = vmlal_u8(vmull_u8(vget_low_u8(r0), vW1), vget_low_u8(r1), vW0);
  uint16x8_t hi = vmlal_u8(vmull_u8(vget_high_u8(r0), vW1), vget_high_u8(r1), vW0);
  const uint16x8_t dLo = vsubl_u8(vget_low_u8(r1), vget_low_u8(r0));
  const uint16x8_t dHi = vsubl_u8(vget_high_u8(r1), vget_high_u8(r0));
  uint8_t *left = out, *right = out;
  if constexpr ((kEdges & 1) != 0) left = out - 1;
  if constexpr ((kEdges & 2) != 0) right = out + 16;
  auto row = [&] {
    const uint8x8_t l = vrshrn_n_u16(lo, 3), h = vrshrn_n_u16(hi, 3);
    storeStep(out, vcombine_u8(l, h), pitch);
    if constexpr ((kEdges & 1) != 0) storeLaneStep<0>(left, l, pitch);
    if constexpr ((kEdges & 2) != 0) storeLaneStep<7>(right, h, pitch);
    lo = vaddq_u16(lo, dLo);
    hi = vaddq_u16(hi, dHi);
  };
  if constexpr (kRows > 0) {
#pragma GCC unroll 8
    for (int i = 0; i < kRows; ++i) row();
  } else {
    for (int i = 0; i < n; ++i) row();
  }
}

// One run of rows sharing a0, a1 (blockCols >= 16) into t's columns 0 ..
// blockCols + 1: the whole steps of 16 with their pointers stepped on, then
// the last one moved back to blockCols - 16 where blockCols is not a
// multiple of 16 (real 1080p at the defaults, executed instructions per
// pixel: the stage 0.11 to 0.09 on ARMv7 with the runs of 8 rows unrolled,
// from a step start chosen per step and a row loop). The runs of 4 rows, two
// in every band of 16 rows (its first and last 4 rows, from block row
// centres 4 rows away), are unrolled too (real 768x576 at the defaults:
// ARMv7 9.211 to 9.194, AArch64 8.220 to 8.201). The first and last steps
// store the border columns by lanes, where a byte loop copied them per row
// (the same: ARMv7 9.178 to 9.172, AArch64 8.182 to 8.179).
template <int kRows>
void run(const uint8_t *a0, const uint8_t *a1, uint8_t *t, ptrdiff_t pitch, int blockCols,
         uint8x8_t vW0, uint8x8_t vW1, int n) {
  auto step = [&](auto edges, int x) {
    columns<kRows, decltype(edges)::value>(vld1q_u8(a0 + x), vld1q_u8(a1 + x), vW0, vW1,
                                             t + 1 + x, pitch, n);
  };
  using Left = std::integral_constant<int, 1>;
  using Right = std::integral_constant<int, 2>;
  using Both = std::integral_constant<int, 3>;
  const int last = blockCols - 16;  // the last step's start
  if (last == 0) return step(Both(), 0);
  step(Left(), 0);
  const uint8_t *p0 = a0 + 16, *p1 = a1 + 16;
  uint8_t *out = t + 17;
  for (int s = (blockCols - 1) / 16 - 1; s > 0; --s) {
    columns<kRows, 0>(vld1q_u8(p0), vld1q_u8(p1), vW0, vW1, out, pitch, n);
    p0 = walk(p0, 16);
    p1 = walk(p1, 16);
    out = walk(out, 16);
  }
  step(Right(), last);
}

}  // namespace

// The row buffer T of processing rows [y0, y1), its border columns included:
// blockCols + 2 bytes per row, row y at rowBuf + (y - y0) x (blockCols + 2).
// The rows between two block row centres share their two block rows, the
// lower one's weight growing by 1 per row: per step of 16 block columns the
// first row's sums S = a0 x (8 - w) + a1 x w are formed once and each next
// row adds a1 - a0 (every S lies within 0 .. 1020, so the 16-bit sums, which
// wrap on the way, are exact). The last step of a row is moved back to
// blockCols - 16; rows of fewer than 16 blocks go through a padded copy.
void rowBuffer_neon(const uint8_t *pAlpha, uint8_t *rowBuf, int y0, int y1, int blockRows,
                    int blockCols) {
  const int rowBufStride = blockCols + 2;
  for (int y = y0; y < y1;) {
    const auto [index0, index1, wgt0] = blockRowPair(y, blockRows);
    const int rows = y1 - y < 8 - wgt0 ? y1 - y : 8 - wgt0;
    const uint8x8_t vW0 = vdup_n_u8(static_cast<uint8_t>(wgt0));
    const uint8x8_t vW1 = vdup_n_u8(static_cast<uint8_t>(8 - wgt0));
    const uint8_t *a0 = pAlpha + index0 * blockCols;
    const uint8_t *a1 = pAlpha + index1 * blockCols;
    uint8_t *t = rowBuf + static_cast<ptrdiff_t>(y - y0) * rowBufStride;
    if (blockCols >= 16) {
      if (rows == 8)
        run<8>(a0, a1, t, rowBufStride, blockCols, vW0, vW1, rows);
      else if (rows == 4)
        run<4>(a0, a1, t, rowBufStride, blockCols, vW0, vW1, rows);
      else
        run<0>(a0, a1, t, rowBufStride, blockCols, vW0, vW1, rows);
    } else {
      uint8_t r0[16] = {0}, r1[16] = {0}, out[8][16];
      std::memcpy(r0, a0, blockCols);
      std::memcpy(r1, a1, blockCols);
      columns<0, 0>(vld1q_u8(r0), vld1q_u8(r1), vW0, vW1, out[0], 16, rows);
      for (int i = 0; i < rows; ++i, t += rowBufStride) {
        std::memcpy(t + 1, out[i], blockCols);
        t[0] = t[1];
        t[blockCols + 1] = t[blockCols];
      }
    }
    y += rows;
  }
}

}  // namespace tnr_md
