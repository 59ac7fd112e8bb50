// 3x3 binomial filter (1 2 1 / 2 4 2 / 1 2 1, rounded shift by 4), vector
// form. Two paths, equal to the per-sample form for every input:
//  - any input: 16 outputs per block, all sums exact in 32-bit lanes (at
//    most 16 x 32768 in magnitude). The kernel is separable: the vertical
//    sums up + 2 x mid + down of the 18 columns a block needs are formed
//    once, then each output adds its left, centre (twice) and right column
//    sums.
//  - a row whose inputs are all multiples of 16 (the full-resolution
//    difference plane is scaled by 32): 8 outputs per step in 16-bit lanes
//    with halving adds, tried first and redone on the first path when a
//    loaded input turns out not to qualify.
#include <cstdint>

#include "arith.h"
#include "kernels.h"
#include "neon.h"

namespace tnr_md {

namespace {

// Vertical sums of 4 columns; two holds 2 in lane 0.
inline int32x4_t colSum(int16x4_t up, int16x4_t mid, int16x4_t down, int16x4_t two) {
  return vmlal_lane_s16(vaddl_s16(up, down), mid, two, 0);
}

// Sums of neighbouring column sums: lane i of pairSum(s, t) is column i of s
// plus the column after it (lane i + 1 of s, or lane 0 of t for i = 3).
inline int32x4_t pairSum(int32x4_t s, int32x4_t t) { return vaddq_s32(s, vextq_s32(s, t, 1)); }

// Outputs at the columns of lanes 1 .. 3 of a and lane 0 of the next run,
// from the pair sums a, b of two consecutive runs of 4 columns: left pair +
// right pair is left + 2 x centre + right; RoundShift by 4, narrowed (the
// value fits).
inline int16x4_t rowFilter(int32x4_t a, int32x4_t b) { return vrshrn_n_s32(pairSum(a, b), 4); }

// Columns p - 1 .. p + 16 of one row, r pointing at column p - 1: loads at
// p - 1, p + 7 and p + 9, so no byte past column p + 16 (the right border in
// the last block) is read.
struct Row18 {
  int16x8_t a, b, c;  // columns p - 1 .. p + 6, p + 7 .. p + 14, p + 9 .. p + 16
};
inline Row18 loadRow18(const int16_t *r) {
  return {vld1q_s16(r), vld1q_s16(r + 8), vld1q_s16(r + 10)};
}

// One block: outputs at columns p .. p + 15 of row y from columns p - 1 ..
// p + 16 of rows y - 1 .. y + 1 (up, mid, down point at column p - 1).
inline void block16(const int16_t *up, const int16_t *mid, const int16_t *down, int16_t *out,
                    int16x4_t two) {
  const Row18 u = loadRow18(up), m = loadRow18(mid), d = loadRow18(down);
  // Column sums of p - 1 .. p + 2, p + 3 .. p + 6, p + 7 .. p + 10,
  // p + 11 .. p + 14, and p + 13 .. p + 16 turned into p + 15, p + 16 in
  // lanes 0 and 1.
  const int32x4_t s0 = colSum(vget_low_s16(u.a), vget_low_s16(m.a), vget_low_s16(d.a), two);
  const int32x4_t s1 = colSum(vget_high_s16(u.a), vget_high_s16(m.a), vget_high_s16(d.a), two);
  const int32x4_t s2 = colSum(vget_low_s16(u.b), vget_low_s16(m.b), vget_low_s16(d.b), two);
  const int32x4_t s3 = colSum(vget_high_s16(u.b), vget_high_s16(m.b), vget_high_s16(d.b), two);
  const int32x4_t s13 = colSum(vget_high_s16(u.c), vget_high_s16(m.c), vget_high_s16(d.c), two);
  const int32x4_t s4 = vextq_s32(s13, s13, 2);
  // Pair sums from column p - 1 on; the last needs lane 0 only.
  const int32x4_t q0 = pairSum(s0, s1), q1 = pairSum(s1, s2), q2 = pairSum(s2, s3);
  const int32x4_t q3 = pairSum(s3, s4), q4 = pairSum(s4, s4);
  vst1q_s16(out, vcombine_s16(rowFilter(q0, q1), rowFilter(q1, q2)));
  vst1q_s16(out + 8, vcombine_s16(rowFilter(q2, q3), rowFilter(q3, q4)));
}

// Inputs that are multiples of 16. A halving add (a + b) >> 1 is exact
// when a + b is even, and never leaves int16. With u, m, d multiples of 16,
// h = (u + d) / 2 is a multiple of 8 and (h + m) / 2 = (u + 2m + d) / 4 a
// multiple of 4: the vertical sum V over 4, exact. Across columns likewise
// (L + R) / 2 is even and ((L + R) / 2 + C) / 2 = (L + 2C + R) / 4 = A / 16,
// exact; A is a multiple of 16, so that is RoundShift(A, 4).

// V of the 8 columns from column c - 1 of rows y - 1 .. y + 1 (up, mid,
// down at column c - 1); the loaded vectors that are checked are ORed into
// seen.
template <bool kCheckAll>
inline int16x8_t vSum16(const int16_t *up, const int16_t *mid, const int16_t *down,
                        int16x8_t &seen) {
  const int16x8_t u = vld1q_s16(up);
  const int16x8_t m = vld1q_s16(mid);
  const int16x8_t d = vld1q_s16(down);
  seen = vorrq_s16(seen, kCheckAll ? vorrq_s16(vorrq_s16(u, m), d) : d);
  return vhaddq_s16(vhaddq_s16(u, d), m);
}

// (L + 2C + R) / 4 of vertical sums over 4.
inline int16x8_t hSum16(int16x8_t left, int16x8_t centre, int16x8_t right) {
  return vhaddq_s16(vhaddq_s16(left, right), centre);
}

// Outputs at columns c .. c + 7 from V of columns c - 1 .. c + 6 (cur) and
// c + 7 .. c + 14 (next).
inline int16x8_t out8(int16x8_t cur, int16x8_t next) {
  return hSum16(cur, vextq_s16(cur, next, 1), vextq_s16(cur, next, 2));
}

// One output row, cols >= 16, up, mid, down at column -1 of rows y - 1 ..
// y + 1. Loads at column c - 1 reach column c + 6; the last ones end at
// column cols (the right border). With kCheckAll every loaded vector is
// checked, else only those of the row below (the caller knows that the
// other two rows qualify). Returns false, having written garbage, when a
// checked input is not a multiple of 16.
template <bool kCheckAll>
bool rowMultiplesOf16(const int16_t *up, const int16_t *mid, const int16_t *down, int16_t *out,
                      int cols) {
  int16x8_t seen = vdupq_n_s16(0);
  const int16_t *const up0 = up;
  const int16_t *const mid0 = mid;
  const int16_t *const down0 = down;
  int16_t *const out0 = out;
  // cur: V of columns c - 1 .. c + 6.
  int16x8_t cur = vSum16<kCheckAll>(up, mid, down, seen);
  up += 8;
  mid += 8;
  down += 8;
  // Two steps per iteration while the loads stay within column cols, the
  // two V vectors taking turns as cur, so that neither is copied.
  int c = (cols - 6) / 16 * 16;
  const int16_t *const upEnd = up + c;
#pragma GCC unroll 1
  while (up != upEnd) {
    const int16x8_t next = vSum16<kCheckAll>(up, mid, down, seen);
    up = walk(up, 8);
    mid = walk(mid, 8);
    down = walk(down, 8);
    vst1q_s16(out, out8(cur, next));
    out = walk(out, 8);
    cur = vSum16<kCheckAll>(up, mid, down, seen);
    up = walk(up, 8);
    mid = walk(mid, 8);
    down = walk(down, 8);
    vst1q_s16(out, out8(next, cur));
    out = walk(out, 8);
  }
  if (c + 14 <= cols) {
    const int16x8_t next = vSum16<kCheckAll>(up, mid, down, seen);
    vst1q_s16(out0 + c, out8(cur, next));
    cur = next;
    c += 8;
  }
  // 6 .. 13 outputs remain: 8 from c when more than 8 remain, then the last
  // 8, moved back to end at cols (recomputing the overlap with equal
  // values). Each takes V of the columns from c - 1, c and c + 1.
  if (cols - c > 8) {
    const int16x8_t centre = vSum16<kCheckAll>(up0 + c + 1, mid0 + c + 1, down0 + c + 1, seen);
    const int16x8_t right = vSum16<kCheckAll>(up0 + c + 2, mid0 + c + 2, down0 + c + 2, seen);
    vst1q_s16(out0 + c, hSum16(cur, centre, right));
  }
  c = cols - 8;
  const int16x8_t left = vSum16<kCheckAll>(up0 + c, mid0 + c, down0 + c, seen);
  const int16x8_t centre = vSum16<kCheckAll>(up0 + c + 1, mid0 + c + 1, down0 + c + 1, seen);
  const int16x8_t right = vSum16<kCheckAll>(up0 + c + 2, mid0 + c + 2, down0 + c + 2, seen);
  vst1q_s16(out0 + c, hSum16(left, centre, right));
  // Any of the low 4 bits set in any checked lane.
  const uint16x8_t low = vshlq_n_u16(vreinterpretq_u16_s16(seen), 12);
  const uint16x4_t any = vorr_u16(vget_low_u16(low), vget_high_u16(low));
  return vget_lane_u64(vreinterpret_u64_u16(any), 0) == 0;
}

}  // namespace

void gauss3x3_neon(const int16_t *pIn, int16_t *pOut, int rows, int cols, int stride) {
  if (rows <= 0 || cols <= 0) return;
  // Rows narrower than one block: the per-sample form, which writes columns
  // 0 .. cols - 1 only.
  if (cols < 16) {
    gauss3x3_c(pIn, pOut, rows, cols, stride);
    return;
  }
  const int16x4_t two = vdup_n_s16(2);
  // Whether the input rows y - 1 and y are known to be multiples of 16.
  bool knownAbove = false;
  for (int y = 0; y < rows; ++y) {
    const int16_t *mid = pIn + static_cast<ptrdiff_t>(y) * stride - 1;
    const int16_t *up = mid - stride;
    const int16_t *down = mid + stride;
    int16_t *out = pOut + static_cast<ptrdiff_t>(y) * stride;
    knownAbove = knownAbove ? rowMultiplesOf16<false>(up, mid, down, out, cols)
                            : rowMultiplesOf16<true>(up, mid, down, out, cols);
    if (knownAbove) continue;
    // Blocks at 0, 16, 32, ...; when cols is not a multiple of 16 the last
    // block is moved back to start at cols - 16 and recomputes the overlap
    // with equal values.
    int p = 0;
    for (; p + 16 <= cols; p += 16) block16(up + p, mid + p, down + p, out + p, two);
    if (p < cols) {
      p = cols - 16;
      block16(up + p, mid + p, down + p, out + p, two);
    }
  }
}

}  // namespace tnr_md
