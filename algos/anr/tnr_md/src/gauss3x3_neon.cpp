// 3x3 binomial filter (1 2 1 / 2 4 2 / 1 2 1, rounded shift by 4), vector
// form. Two paths, equal to the per-sample form for every input:
//  - any input: 16 outputs per block in 16-bit lanes, each input split into
//    its high and low bits (x >> 4, x & 15), whose sums are exact apart;
//    the kernel is separable, and each input row's horizontal sums left +
//    2 x centre + right are formed once for the three output rows that
//    read it (blocks of 16 columns outside, rows inside).
//  - a row whose inputs are all multiples of 16 (the full-resolution
//    difference plane is scaled by 32): 16 outputs per step in 16-bit lanes
//    with halving adds, tried first and redone on the first path when a
//    loaded input turns out not to qualify; the filter of the difference
//    plane (gauss3x3Diff_neon) takes this path throughout, unchecked.
#include <cstdint>

#include "arith.h"
#include "kernels.h"
#include "neon.h"

namespace tnr_md {

namespace {

// The first path. Each input x is split into hi = x >> 4 (arithmetic) and
// lo = x & 15, x = 16 hi + lo, and the kernel's sum A = 16 Ahi + Alo taken
// of hi and of lo in 16-bit lanes: Ahi, 16 times a value in -2048 .. 2047,
// lies in -32768 .. 32752 (wrapping steps on the way do not matter, the
// result fits), Alo in 0 .. 240. Then RoundShift(A, 4) = Ahi + ((Alo + 8)
// >> 4), at most 32767: one rounding shift and accumulate. Alo is not
// summed itself: the kernel's sum of the inputs, wrapped in 16 bits, less 16
// Ahi, is Alo modulo 2^16, and so Alo (no split of the low bits per input:
// real 768x576 at the defaults, executed instructions per pixel, ARMv7
// 8.990 to 8.986, AArch64 7.977 to 7.975).

// l + 2 c + r; two holds 2 in lane 0 (a multiply by a lane: by a constant,
// ARMv7 would rebuild it in a d register per step) and -16 in lane 1.
inline int16x8_t sum121(int16x8_t l, int16x8_t c, int16x8_t r, int16x4_t two) {
  return vmlaq_lane_s16(vaddq_s16(l, r), c, two, 0);
}

// The horizontal sums left + 2 centre + right of one input row's hi and of
// its inputs (wrapping) at kWidth (8 or 16) columns p .., r pointing at column p - 1. The loads
// reach column p + kWidth (the right border in the last block), no further.
// Sixteen columns need four loads (at p - 1, p + 7, p + 8, p + 9), eight
// three (p - 1, p, p + 1).
template <int kWidth>
struct HSums {
  int16x8_t hi[kWidth / 8], all[kWidth / 8];
};

template <int kWidth>
inline HSums<kWidth> hSums(const int16_t *r, int16x4_t two) {
  HSums<kWidth> h;
  const int16x8_t a = vld1q_s16(r);
  const int16x8_t ah = vshrq_n_s16(a, 4);
  if constexpr (kWidth == 16) {
    const int16x8_t b = vld1q_s16(r + 8), c = vld1q_s16(r + 9), e = vld1q_s16(r + 10);
    const int16x8_t bh = vshrq_n_s16(b, 4);
    h.hi[0] = sum121(ah, vextq_s16(ah, bh, 1), vextq_s16(ah, bh, 2), two);
    h.all[0] = sum121(a, vextq_s16(a, b, 1), vextq_s16(a, b, 2), two);
    h.hi[1] = sum121(bh, vshrq_n_s16(c, 4), vshrq_n_s16(e, 4), two);
    h.all[1] = sum121(b, c, e, two);
  } else {
    const int16x8_t c = vld1q_s16(r + 1), e = vld1q_s16(r + 2);
    h.hi[0] = sum121(ah, vshrq_n_s16(c, 4), vshrq_n_s16(e, 4), two);
    h.all[0] = sum121(a, c, e, two);
  }
  return h;
}

// The outputs at columns p .. p + kWidth - 1 of the row between input rows
// u and d.
template <int kWidth>
inline void outSplit(const HSums<kWidth> &u, const HSums<kWidth> &m, const HSums<kWidth> &d,
                     int16_t *out, int16x4_t two) {
  for (int i = 0; i < kWidth / 8; ++i) {
    const int16x8_t hi = sum121(u.hi[i], m.hi[i], d.hi[i], two);
    const int16x8_t lo = vmlaq_lane_s16(sum121(u.all[i], m.all[i], d.all[i], two), hi, two, 1);
    vst1q_s16(out + 8 * i, vrsraq_n_s16(hi, lo, 4));
  }
}

// Output rows y0 .. rows - 1 on the first path, kWidth columns at a time
// (the last block moved back to start at cols - kWidth when cols is not a
// multiple of kWidth, recomputing the overlap with equal values) and down
// the rows within them, each input row's sums formed once for the three
// output rows that read it; three rows per step, so that the sums change
// roles without copies. in points at row 0, column 0. AArch64's registers
// hold three rows' sums of 16 columns, ARMv7's of 8 (16 spilled: 9.185
// against 9.181). Real 768x576 at the defaults, executed instructions per
// pixel, from the 32-bit first path (a vertical then a horizontal pass per
// output row): ARMv7 9.194 to 9.178, AArch64 8.201 to 8.182.
void splitRows(const int16_t *in, int16_t *pOut, int y0, int rows, int cols, int stride) {
#if defined(__aarch64__) || !TNR_MD_NATIVE_NEON
  constexpr int kWidth = 16;
#else
  constexpr int kWidth = 8;
#endif
  const int16x4_t two = held(vset_lane_s16(-16, vdup_n_s16(2), 1));
  for (int p = 0; p < cols; p += kWidth) {
    if (p > cols - kWidth) p = cols - kWidth;
    const int16_t *r = in + static_cast<ptrdiff_t>(y0 - 1) * stride + p - 1;
    int16_t *out = pOut + static_cast<ptrdiff_t>(y0) * stride + p;
    HSums<kWidth> a = hSums<kWidth>(r, two);
    r = walk(r, stride);
    HSums<kWidth> b = hSums<kWidth>(r, two);
    r = walk(r, stride);
    HSums<kWidth> c;
    int n = rows - y0;
    auto step = [&](const HSums<kWidth> &u, const HSums<kWidth> &m, HSums<kWidth> &d) {
      d = hSums<kWidth>(r, two);
      r = walk(r, stride);
      outSplit(u, m, d, out, two);
      out = walk(out, stride);
    };
    for (; n >= 3; n -= 3) {
      step(a, b, c);
      step(b, c, a);
      step(c, a, b);
    }
    if (n >= 1) step(a, b, c);
    if (n >= 2) step(b, c, a);
  }
}

// Inputs that are multiples of 16. A halving add (a + b) >> 1 is exact
// when a + b is even, and never leaves int16. With u, m, d multiples of 16,
// h = (u + d) / 2 is a multiple of 8 and (h + m) / 2 = (u + 2m + d) / 4 a
// multiple of 4: the vertical sum V over 4, exact. Across columns likewise
// (L + R) / 2 is even and ((L + R) / 2 + C) / 2 = (L + 2C + R) / 4 = A / 16,
// exact; A is a multiple of 16, so that is RoundShift(A, 4).

// (L + 2C + R) / 4 of vertical sums over 4.
inline int16x8_t hSum16(int16x8_t left, int16x8_t centre, int16x8_t right) {
  return vhaddq_s16(vhaddq_s16(left, right), centre);
}

// V of the 16 columns from column c - 1 of kRows neighbouring output rows,
// from the kRows + 2 input rows around them (r[0] the row above the first,
// each at column c - 1, stepped on by 16), loaded de-interleaved: val[0]
// holds V of columns c - 1, c + 1, .., c + 13, val[1] of c, c + 2, ..,
// c + 14. One structure load takes 16 columns of a row, and the outputs
// below need one lane shift per 8 instead of two. The vectors of the last
// kChecked input rows (all of them, the last two, which the rows before have
// not checked, or none) are ORed into seen. Two output rows share two of
// their input rows.
template <int kRows, int kChecked>
inline void vSums16Step(const int16_t **r, int16x8x2_t *v, int16x8_t &seen) {
  // Row by row, so that no more input rows are held than the next output
  // row still needs (ARMv7 has 16 registers of 128 bits).
  int16x8x2_t up = vld2q_s16(r[0]), mid = vld2q_s16(r[1]);
  r[0] = walk(r[0], 16);
  r[1] = walk(r[1], 16);
  if (kChecked >= kRows + 2) seen = vorrq_s16(seen, vorrq_s16(up.val[0], up.val[1]));
  if (kChecked >= kRows + 1) seen = vorrq_s16(seen, vorrq_s16(mid.val[0], mid.val[1]));
  for (int i = 0; i < kRows; ++i) {
    const int16x8x2_t down = vld2q_s16(r[i + 2]);
    r[i + 2] = walk(r[i + 2], 16);
    if (i + 2 >= kRows + 2 - kChecked) seen = vorrq_s16(seen, vorrq_s16(down.val[0], down.val[1]));
    for (int j = 0; j < 2; ++j)
      v[i].val[j] = vhaddq_s16(vhaddq_s16(up.val[j], down.val[j]), mid.val[j]);
    up = mid;
    mid = down;
  }
}

// Outputs at columns c .. c + 15 stored interleaved at out, from V of
// columns c - 1 .. c + 14 (cur, as vSums16Step leaves them) and of columns
// c + 1 .. c + 16 (right, the same halves one lane on). Column c + 2k takes
// columns c + 2k - 1, c + 2k, c + 2k + 1: lane k of cur.val[0], cur.val[1]
// and right.val[0]; column c + 2k + 1 lane k of cur.val[1], right.val[0] and
// right.val[1].
inline void out16(const int16x8x2_t &cur, const int16x8x2_t &right, int16_t *out) {
  int16x8x2_t o;
  o.val[0] = hSum16(cur.val[0], cur.val[1], right.val[0]);
  o.val[1] = hSum16(cur.val[1], right.val[0], right.val[1]);
  vst2q_s16(out, o);
}

// The same with right formed from cur and V of columns c + 15 .. c + 30
// (next): its halves moved one lane on, lane 7 from next's lane 0.
inline void out16(const int16x8x2_t &cur, const int16x8x2_t &next, int16_t *out, bool) {
  int16x8x2_t right;
  right.val[0] = vextq_s16(cur.val[0], next.val[0], 1);
  right.val[1] = vextq_s16(cur.val[1], next.val[1], 1);
  out16(cur, right, out);
}

// Outputs at columns c .. c + 15 of the kRows rows, from V loaded at
// columns c - 1 and c + 1: no load reaches past column c + 16.
template <int kRows, int kChecked>
inline void block16At(const int16_t *const *rIn, int16_t *const *outRows, int c, int16x8_t &seen) {
  const int16_t *r[kRows + 2];
  int16x8x2_t cur[kRows], right[kRows];
  for (int i = 0; i < kRows + 2; ++i) r[i] = rIn[i] + c;
  vSums16Step<kRows, kChecked>(r, cur, seen);
  for (int i = 0; i < kRows + 2; ++i) r[i] = rIn[i] + c + 2;
  vSums16Step<kRows, kChecked>(r, right, seen);
  for (int i = 0; i < kRows; ++i) out16(cur[i], right[i], outRows[i] + c);
}

#if TNR_MD_NATIVE_NEON && defined(__aarch64__)
// AArch64, four output rows unchecked: the whole blocks of
// rowsMultiplesOf16 below (steps of 16 columns, the V sets a and b taking
// turns) as one asm statement, b in v16 .. v23 (row i's halves in v16 + 2i,
// v17 + 2i), the input rows loaded into v0 .. v5 in turn so that no load
// is copied (GCC moved each structure load's register pair out of the
// way); the same instructions in the same lanes as vSums16Step and out16.
// V of four rows into E0, O0 .. E3, O3 (the halves of each row), from
// input rows -1 .. 4.
#define TNR_MD_V4(E0, O0, E1, O1, E2, O2, E3, O3)                    \
  "ld2 {v0.8h, v1.8h}, [%[r0]], #32\n\t"                            \
  "ld2 {v2.8h, v3.8h}, [%[r1]], #32\n\t"                            \
  "ld2 {v4.8h, v5.8h}, [%[r2]], #32\n\t"                            \
  "shadd " E0 ".8h, v0.8h, v4.8h\n\tshadd " E0 ".8h, " E0 ".8h, v2.8h\n\t" \
  "shadd " O0 ".8h, v1.8h, v5.8h\n\tshadd " O0 ".8h, " O0 ".8h, v3.8h\n\t" \
  "ld2 {v0.8h, v1.8h}, [%[r3]], #32\n\t"                            \
  "shadd " E1 ".8h, v2.8h, v0.8h\n\tshadd " E1 ".8h, " E1 ".8h, v4.8h\n\t" \
  "shadd " O1 ".8h, v3.8h, v1.8h\n\tshadd " O1 ".8h, " O1 ".8h, v5.8h\n\t" \
  "ld2 {v2.8h, v3.8h}, [%[r4]], #32\n\t"                            \
  "shadd " E2 ".8h, v4.8h, v2.8h\n\tshadd " E2 ".8h, " E2 ".8h, v0.8h\n\t" \
  "shadd " O2 ".8h, v5.8h, v3.8h\n\tshadd " O2 ".8h, " O2 ".8h, v1.8h\n\t" \
  "ld2 {v4.8h, v5.8h}, [%[r5]], #32\n\t"                            \
  "shadd " E3 ".8h, v0.8h, v4.8h\n\tshadd " E3 ".8h, " E3 ".8h, v2.8h\n\t" \
  "shadd " O3 ".8h, v1.8h, v5.8h\n\tshadd " O3 ".8h, " O3 ".8h, v3.8h\n\t"
// out16 of one row: cur CE, CO, the next set's NE, NO, stored at OUT.
#define TNR_MD_OUT16(CE, CO, NE, NO, OUT)                                   \
  "ext v24.16b, " CE ".16b, " NE ".16b, #2\n\t"                             \
  "ext v25.16b, " CO ".16b, " NO ".16b, #2\n\t"                             \
  "shadd v26.8h, " CE ".8h, v24.8h\n\tshadd v26.8h, v26.8h, " CO ".8h\n\t"  \
  "shadd v27.8h, " CO ".8h, v25.8h\n\tshadd v27.8h, v27.8h, v24.8h\n\t"     \
  "st2 {v26.8h, v27.8h}, [%[" OUT "]], #32\n\t"
// The row's last block at cols - 16 where the width is a multiple of 16, as
// on ARMv7 (TNR_MD_TAIL7): its right V loaded at column c + 1, 28 bytes back,
// into the other set (NE0, NO0 .. NE3, NO3), the outputs from cur (CE0, CO0
// .. CE3, CO3) without a lane shift.
#define TNR_MD_OUTR(CE, CO, RE, RO, OUT)                                    \
  "shadd v26.8h, " CE ".8h, " RE ".8h\n\tshadd v26.8h, v26.8h, " CO ".8h\n\t" \
  "shadd v27.8h, " CO ".8h, " RO ".8h\n\tshadd v27.8h, v27.8h, " RE ".8h\n\t" \
  "st2 {v26.8h, v27.8h}, [%[" OUT "]], #32\n\t"
// One step of whole blocks: the next block's V set loaded into N0 .. N7,
// then the four output rows of the block whose V set is in C0 .. C7.
#define TNR_MD_STEP4(CE0, CO0, CE1, CO1, CE2, CO2, CE3, CO3, NE0, NO0, NE1, NO1, NE2, NO2, NE3, \
                     NO3)                                                                      \
  TNR_MD_V4(NE0, NO0, NE1, NO1, NE2, NO2, NE3, NO3)                                            \
  TNR_MD_OUT16(CE0, CO0, NE0, NO0, "o0") TNR_MD_OUT16(CE1, CO1, NE1, NO1, "o1")               \
  TNR_MD_OUT16(CE2, CO2, NE2, NO2, "o2") TNR_MD_OUT16(CE3, CO3, NE3, NO3, "o3")
#define TNR_MD_TAIL4(CE0, CO0, CE1, CO1, CE2, CO2, CE3, CO3, NE0, NO0, NE1, NO1, NE2, NO2, NE3, \
                     NO3)                                                                      \
  "sub %[r0], %[r0], #28\n\tsub %[r1], %[r1], #28\n\tsub %[r2], %[r2], #28\n\t"              \
  "sub %[r3], %[r3], #28\n\tsub %[r4], %[r4], #28\n\tsub %[r5], %[r5], #28\n\t"              \
  TNR_MD_V4(NE0, NO0, NE1, NO1, NE2, NO2, NE3, NO3)                                            \
  TNR_MD_OUTR(CE0, CO0, NE0, NO0, "o0") TNR_MD_OUTR(CE1, CO1, NE1, NO1, "o1")                 \
  TNR_MD_OUTR(CE2, CO2, NE2, NO2, "o2") TNR_MD_OUTR(CE3, CO3, NE3, NO3, "o3")
// The whole blocks: a from the first step (its V set in v6, v7, v28 .. v31,
// v8, v9), then pairs of steps while r0 has not reached rEnd, then the odd
// last block's step when bit 0 of flags is set, then the row's last block
// when bit 1 is (instead of block16At: real 1080p at the defaults, executed
// instructions per pixel, 8.09 to 8.08).
inline void wholeBlocks4(const int16_t **r, int16_t **out, const int16_t *rEnd, int flags) {
  asm volatile(
      TNR_MD_V4("v6", "v7", "v28", "v29", "v30", "v31", "v8", "v9")
      "cmp %[r0], %[rEnd]\n\t"
      "b.eq 2f\n\t"
      "1:\n\t"
      TNR_MD_STEP4("v6", "v7", "v28", "v29", "v30", "v31", "v8", "v9",
                   "v16", "v17", "v18", "v19", "v20", "v21", "v22", "v23")
      TNR_MD_STEP4("v16", "v17", "v18", "v19", "v20", "v21", "v22", "v23",
                   "v6", "v7", "v28", "v29", "v30", "v31", "v8", "v9")
      "cmp %[r0], %[rEnd]\n\t"
      "b.ne 1b\n\t"
      "2:\n\t"
      "tbz %w[flags], #0, 3f\n\t"
      TNR_MD_STEP4("v6", "v7", "v28", "v29", "v30", "v31", "v8", "v9",
                   "v16", "v17", "v18", "v19", "v20", "v21", "v22", "v23")
      "tbz %w[flags], #1, 4f\n\t"
      TNR_MD_TAIL4("v16", "v17", "v18", "v19", "v20", "v21", "v22", "v23",
                   "v6", "v7", "v28", "v29", "v30", "v31", "v8", "v9")
      "b 4f\n\t"
      "3:\n\t"
      "tbz %w[flags], #1, 4f\n\t"
      TNR_MD_TAIL4("v6", "v7", "v28", "v29", "v30", "v31", "v8", "v9",
                   "v16", "v17", "v18", "v19", "v20", "v21", "v22", "v23")
      "4:\n\t"
      : [r0] "+r"(r[0]), [r1] "+r"(r[1]), [r2] "+r"(r[2]), [r3] "+r"(r[3]), [r4] "+r"(r[4]),
        [r5] "+r"(r[5]), [o0] "+r"(out[0]), [o1] "+r"(out[1]), [o2] "+r"(out[2]),
        [o3] "+r"(out[3])
      : [rEnd] "r"(rEnd), [flags] "r"(flags)
      : "cc", "memory", "v0", "v1", "v2", "v3", "v4", "v5", "v6", "v7", "v8", "v9", "v16", "v17",
        "v18", "v19", "v20", "v21", "v22", "v23", "v24", "v25", "v26", "v27", "v28", "v29", "v30",
        "v31");
}
#undef TNR_MD_V4
#undef TNR_MD_OUT16
#undef TNR_MD_OUTR
#undef TNR_MD_TAIL4
#undef TNR_MD_STEP4
#endif

#if TNR_MD_NATIVE_NEON && defined(__arm__)
// ARMv7, four output rows unchecked: the whole blocks of rowsMultiplesOf16
// below as one asm statement (six input rows loaded per 16 columns instead
// of four for two rows: 50 instructions per 64 outputs instead of 56; real
// 1080p at the defaults, executed instructions per pixel, 9.06 to 9.00).
// Sixteen q registers hold the input rows in turn (L0 = q0, q1; L1 = q2,
// q3; L2 = q4, q5) and five V pairs (q6, q7 .. q14, q15) for four rows: a
// row's next V goes into the pair its neighbour's output has just freed,
// the output is formed in place in the current V pair (so no copies), and
// the spare pair moves on by one per step. Forward steps (rows 0 .. 3) and
// backward steps (rows 3 .. 0) take turns, which brings every pair back to
// its place after two. The same instructions in the same lanes as
// vSums16Step and out16.
// V of one row into E, O from input rows UP, MID, DOWN (pairs as q lists).
#define TNR_MD_V7(E, O, UE, UO, ME, MO, DE, DO)                 \
  "vhadd.s16 " E ", " UE ", " DE "\n\tvhadd.s16 " E ", " E ", " ME "\n\t" \
  "vhadd.s16 " O ", " UO ", " DO "\n\tvhadd.s16 " O ", " O ", " MO "\n\t"
// out16 of one row: cur CE, CO (stored as the d list DL), the next V NE,
// NO, temporaries T1, T2, stored at OUT; the outputs replace cur.
#define TNR_MD_OUT7(CE, CO, DL, NE, NO, T1, T2, OUT)                         \
  "vext.16 " T1 ", " CE ", " NE ", #1\n\t"                                   \
  "vext.16 " T2 ", " CO ", " NO ", #1\n\t"                                   \
  "vhadd.s16 " CE ", " CE ", " T1 "\n\tvhadd.s16 " CE ", " CE ", " CO "\n\t" \
  "vhadd.s16 " CO ", " CO ", " T2 "\n\tvhadd.s16 " CO ", " CO ", " T1 "\n\t" \
  "vst2.16 {" DL "}, [%[" OUT "]]!\n\t"
#define TNR_MD_LD7(DL, R) "vld2.16 {" DL "}, [%[" R "]]!\n\t"
#define TNR_MD_L0 "d0-d3"
#define TNR_MD_L1 "d4-d7"
#define TNR_MD_L2 "d8-d11"
// A forward step: cur rows 0 .. 3 in C0 .. C3, the spare pair S; the next
// V of rows 0 .. 3 go into S, C0, C1, C2 (C3 is spare after it).
#define TNR_MD_FWD7_(S, SO, C0, C0O, C0D, C1, C1O, C1D, C2, C2O, C2D, C3, C3O, C3D) \
  TNR_MD_LD7(TNR_MD_L0, "r0") TNR_MD_LD7(TNR_MD_L1, "r1") TNR_MD_LD7(TNR_MD_L2, "r2") \
  TNR_MD_V7(S, SO, "q0", "q1", "q2", "q3", "q4", "q5")                            \
  TNR_MD_OUT7(C0, C0O, C0D, S, SO, "q0", "q1", "o0")                               \
  TNR_MD_LD7(TNR_MD_L0, "r3")                                                      \
  TNR_MD_V7(C0, C0O, "q2", "q3", "q4", "q5", "q0", "q1")                          \
  TNR_MD_OUT7(C1, C1O, C1D, C0, C0O, "q2", "q3", "o1")                             \
  TNR_MD_LD7(TNR_MD_L1, "r4")                                                      \
  TNR_MD_V7(C1, C1O, "q4", "q5", "q0", "q1", "q2", "q3")                          \
  TNR_MD_OUT7(C2, C2O, C2D, C1, C1O, "q4", "q5", "o2")                             \
  TNR_MD_LD7(TNR_MD_L2, "r5")                                                      \
  TNR_MD_V7(C2, C2O, "q0", "q1", "q2", "q3", "q4", "q5")                          \
  TNR_MD_OUT7(C3, C3O, C3D, C2, C2O, "q0", "q1", "o3")
// A backward step: cur rows 0 .. 3 in C0 .. C3, the spare pair S; the next
// V of rows 3 .. 0 go into S, C3, C2, C1 (C0 is spare after it).
#define TNR_MD_BWD7_(S, SO, C0, C0O, C0D, C1, C1O, C1D, C2, C2O, C2D, C3, C3O, C3D) \
  TNR_MD_LD7(TNR_MD_L0, "r5") TNR_MD_LD7(TNR_MD_L1, "r4") TNR_MD_LD7(TNR_MD_L2, "r3") \
  TNR_MD_V7(S, SO, "q4", "q5", "q2", "q3", "q0", "q1")                            \
  TNR_MD_OUT7(C3, C3O, C3D, S, SO, "q0", "q1", "o3")                               \
  TNR_MD_LD7(TNR_MD_L0, "r2")                                                      \
  TNR_MD_V7(C3, C3O, "q0", "q1", "q4", "q5", "q2", "q3")                          \
  TNR_MD_OUT7(C2, C2O, C2D, C3, C3O, "q2", "q3", "o2")                             \
  TNR_MD_LD7(TNR_MD_L1, "r1")                                                      \
  TNR_MD_V7(C2, C2O, "q2", "q3", "q0", "q1", "q4", "q5")                          \
  TNR_MD_OUT7(C1, C1O, C1D, C2, C2O, "q4", "q5", "o1")                             \
  TNR_MD_LD7(TNR_MD_L2, "r0")                                                      \
  TNR_MD_V7(C1, C1O, "q4", "q5", "q2", "q3", "q0", "q1")                          \
  TNR_MD_OUT7(C0, C0O, C0D, C1, C1O, "q0", "q1", "o0")
// The last block of a row whose width is a multiple of 16, at cols - 16:
// cur rows 0 .. 3 in C0 .. C3, S spare; its right V (columns c + 1 ..
// c + 16) loaded at column c + 1, 28 bytes back from where the pointers
// stand, as block16At loads it, and taken as it is (no lane shift).
#define TNR_MD_OUTR7(CE, CO, DL, RE, RO, OUT)                                \
  "vhadd.s16 " CE ", " CE ", " RE "\n\tvhadd.s16 " CE ", " CE ", " CO "\n\t" \
  "vhadd.s16 " CO ", " CO ", " RO "\n\tvhadd.s16 " CO ", " CO ", " RE "\n\t" \
  "vst2.16 {" DL "}, [%[" OUT "]]!\n\t"
#define TNR_MD_TAIL7_(S, SO, C0, C0O, C0D, C1, C1O, C1D, C2, C2O, C2D, C3, C3O, C3D) \
  "sub %[r0], %[r0], #28\n\tsub %[r1], %[r1], #28\n\tsub %[r2], %[r2], #28\n\t"     \
  "sub %[r3], %[r3], #28\n\tsub %[r4], %[r4], #28\n\tsub %[r5], %[r5], #28\n\t"     \
  TNR_MD_LD7(TNR_MD_L0, "r0") TNR_MD_LD7(TNR_MD_L1, "r1") TNR_MD_LD7(TNR_MD_L2, "r2") \
  TNR_MD_V7(S, SO, "q0", "q1", "q2", "q3", "q4", "q5")                            \
  TNR_MD_OUTR7(C0, C0O, C0D, S, SO, "o0")                                          \
  TNR_MD_LD7(TNR_MD_L0, "r3")                                                      \
  TNR_MD_V7(S, SO, "q2", "q3", "q4", "q5", "q0", "q1")                            \
  TNR_MD_OUTR7(C1, C1O, C1D, S, SO, "o1")                                          \
  TNR_MD_LD7(TNR_MD_L1, "r4")                                                      \
  TNR_MD_V7(S, SO, "q4", "q5", "q0", "q1", "q2", "q3")                            \
  TNR_MD_OUTR7(C2, C2O, C2D, S, SO, "o2")                                          \
  TNR_MD_LD7(TNR_MD_L2, "r5")                                                      \
  TNR_MD_V7(S, SO, "q0", "q1", "q2", "q3", "q4", "q5")                            \
  TNR_MD_OUTR7(C3, C3O, C3D, S, SO, "o3")
// (The pairs below are each three arguments: expanded before the step's.)
#define TNR_MD_TAIL7(...) TNR_MD_TAIL7_(__VA_ARGS__)
#define TNR_MD_FWD7(...) TNR_MD_FWD7_(__VA_ARGS__)
#define TNR_MD_BWD7(...) TNR_MD_BWD7_(__VA_ARGS__)
#define TNR_MD_A7 "q6", "q7", "d12-d15"
#define TNR_MD_B7 "q8", "q9", "d16-d19"
#define TNR_MD_C7 "q10", "q11", "d20-d23"
#define TNR_MD_D7 "q12", "q13", "d24-d27"
#define TNR_MD_E7 "q14", "q15", "d28-d31"
// The whole blocks: the first step's V into A .. D, then pairs of steps
// (forward with E spare, backward with D spare, back to A .. D and E) while
// r0 has not reached rEnd, then the odd last block's forward step when bit 0
// of flags is set, then the row's last block at cols - 16 when bit 1 is
// (the width a multiple of 16; instead of block16At, which GCC builds
// through the stack for four rows: real 1080p at the defaults, executed
// instructions per pixel, 8.96 to 8.94).
__attribute__((noinline)) void wholeBlocks4(const int16_t **r, int16_t **out,
                                            const int16_t *rEnd, int flags) {
  const int16_t *r0 = r[0], *r1 = r[1], *r2 = r[2], *r3 = r[3], *r4 = r[4], *r5 = r[5];
  int16_t *o0 = out[0], *o1 = out[1], *o2 = out[2], *o3 = out[3];
  asm volatile(
      TNR_MD_LD7(TNR_MD_L0, "r0") TNR_MD_LD7(TNR_MD_L1, "r1") TNR_MD_LD7(TNR_MD_L2, "r2")
      TNR_MD_V7("q6", "q7", "q0", "q1", "q2", "q3", "q4", "q5")
      TNR_MD_LD7(TNR_MD_L0, "r3")
      TNR_MD_V7("q8", "q9", "q2", "q3", "q4", "q5", "q0", "q1")
      TNR_MD_LD7(TNR_MD_L1, "r4")
      TNR_MD_V7("q10", "q11", "q4", "q5", "q0", "q1", "q2", "q3")
      TNR_MD_LD7(TNR_MD_L2, "r5")
      TNR_MD_V7("q12", "q13", "q0", "q1", "q2", "q3", "q4", "q5")
      "cmp %[r0], %[rEnd]\n\t"
      "beq 2f\n\t"
      "1:\n\t"
      // Rows 0 .. 3 in A .. D, E spare; then in E, A, B, C, D spare.
      TNR_MD_FWD7("q14", "q15", TNR_MD_A7, TNR_MD_B7, TNR_MD_C7, TNR_MD_D7)
      TNR_MD_BWD7("q12", "q13", TNR_MD_E7, TNR_MD_A7, TNR_MD_B7, TNR_MD_C7)
      "cmp %[r0], %[rEnd]\n\t"
      "bne 1b\n\t"
      "2:\n\t"
      "tst %[flags], #1\n\t"
      "beq 3f\n\t"
      TNR_MD_FWD7("q14", "q15", TNR_MD_A7, TNR_MD_B7, TNR_MD_C7, TNR_MD_D7)
      "tst %[flags], #2\n\t"
      "beq 4f\n\t"
      TNR_MD_TAIL7("q12", "q13", TNR_MD_E7, TNR_MD_A7, TNR_MD_B7, TNR_MD_C7)
      "b 4f\n\t"
      "3:\n\t"
      "tst %[flags], #2\n\t"
      "beq 4f\n\t"
      TNR_MD_TAIL7("q14", "q15", TNR_MD_A7, TNR_MD_B7, TNR_MD_C7, TNR_MD_D7)
      "4:\n\t"
      : [r0] "+r"(r0), [r1] "+r"(r1), [r2] "+r"(r2), [r3] "+r"(r3), [r4] "+r"(r4),
        [r5] "+r"(r5), [o0] "+r"(o0), [o1] "+r"(o1), [o2] "+r"(o2), [o3] "+r"(o3)
      : [rEnd] "r"(rEnd), [flags] "r"(flags)
      : "cc", "memory", "d0", "d1", "d2", "d3", "d4", "d5", "d6", "d7", "d8", "d9", "d10", "d11",
        "d12", "d13", "d14", "d15", "d16", "d17", "d18", "d19", "d20", "d21", "d22", "d23", "d24",
        "d25", "d26", "d27", "d28", "d29", "d30", "d31");
}
#undef TNR_MD_V7
#undef TNR_MD_OUT7
#undef TNR_MD_LD7
#undef TNR_MD_L0
#undef TNR_MD_L1
#undef TNR_MD_L2
#undef TNR_MD_FWD7
#undef TNR_MD_BWD7
#undef TNR_MD_OUTR7
#undef TNR_MD_TAIL7
#undef TNR_MD_TAIL7_
#undef TNR_MD_FWD7_
#undef TNR_MD_BWD7_
#undef TNR_MD_A7
#undef TNR_MD_B7
#undef TNR_MD_C7
#undef TNR_MD_D7
#undef TNR_MD_E7
#endif

// kRows output rows, cols >= 16: r holds their kRows + 2 input rows at
// column -1, out the output rows. No load reaches past column cols (the
// right border). The vectors loaded from the last kChecked input rows are
// checked (the caller knows that the others qualify). Returns false, having
// written garbage, when a checked input is not a multiple of 16.
template <int kRows, int kChecked>
bool rowsMultiplesOf16(const int16_t *const *rIn, int16_t *const *outRows, int cols) {
  int16x8_t seen = vdupq_n_s16(0);
  const int16_t *r[kRows + 2];
  int16_t *out[kRows];
  for (int i = 0; i < kRows + 2; ++i) r[i] = rIn[i];
  for (int i = 0; i < kRows; ++i) out[i] = outRows[i];
  // Blocks of 16 columns from column 0 while the next block's loads, which
  // reach column c + 30, stay within column cols; two per iteration, the
  // two V sets taking turns as cur, so that neither is copied.
  int c = 0;
  if (cols >= 30) {
    const int blocks = (cols - 30) / 16 + 1;
#if TNR_MD_NATIVE_NEON && (defined(__aarch64__) || defined(__arm__))
    if constexpr (kRows == 4 && kChecked == 0) {
      // r0 after the first step and the pairs of steps; with the row's last
      // block where the width is a multiple of 16.
      const bool last = 16 * blocks + 16 == cols;
      wholeBlocks4(r, out, r[0] + 16 + (blocks & ~1) * 16, (blocks & 1) | (last ? 2 : 0));
      c = last ? cols : 16 * blocks;
    } else
#endif
    {
    int16x8x2_t a[kRows], b[kRows];
    vSums16Step<kRows, kChecked>(r, a, seen);
    const int16_t *const rEnd = r[0] + (blocks & ~1) * 16;
#pragma GCC unroll 1
    while (r[0] != rEnd) {
      vSums16Step<kRows, kChecked>(r, b, seen);
      for (int i = 0; i < kRows; ++i) {
        out16(a[i], b[i], out[i], true);
        out[i] = walk(out[i], 16);
      }
      vSums16Step<kRows, kChecked>(r, a, seen);
      for (int i = 0; i < kRows; ++i) {
        out16(b[i], a[i], out[i], true);
        out[i] = walk(out[i], 16);
      }
    }
    if (blocks & 1) {
      vSums16Step<kRows, kChecked>(r, b, seen);
      for (int i = 0; i < kRows; ++i) out16(a[i], b[i], out[i], true);
    }
    c = 16 * blocks;
    }
  }
  // 14 .. 29 outputs remain (or all, 16 .. 29, of a narrow row; none where
  // wholeBlocks4 has done the last block): 16 from c where more than
  // 16 do, then the last 16, moved back to end at cols (recomputing the
  // overlap with equal values).
  if (c < cols) {
    if (cols - c > 16) block16At<kRows, kChecked>(rIn, outRows, c, seen);
    block16At<kRows, kChecked>(rIn, outRows, cols - 16, seen);
  }
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
  auto in = [&](int y) { return pIn + static_cast<ptrdiff_t>(y) * stride - 1; };
  auto out = [&](int y) { return pOut + static_cast<ptrdiff_t>(y) * stride; };
  // Output rows two at a time on the second path while it holds (known:
  // input rows y - 1 and y are multiples of 16); once it has not, the rest on
  // the first (a plane whose samples are not scaled rarely qualifies).
  bool known = false;
  int y = 0;
  for (; y + 2 <= rows; y += 2) {
    const int16_t *r[4] = {in(y - 1), in(y), in(y + 1), in(y + 2)};
    int16_t *o[2] = {out(y), out(y + 1)};
    known = known ? rowsMultiplesOf16<2, 2>(r, o, cols) : rowsMultiplesOf16<2, 4>(r, o, cols);
    if (!known) return splitRows(pIn, pOut, y, rows, cols, stride);
  }
  if (y < rows) {
    const int16_t *r[3] = {in(y - 1), in(y), in(y + 1)};
    int16_t *o[1] = {out(y)};
    if (!(known ? rowsMultiplesOf16<1, 2>(r, o, cols) : rowsMultiplesOf16<1, 3>(r, o, cols)))
      splitRows(pIn, pOut, y, rows, cols, stride);
  }
}

// Every input a multiple of 16: the second path throughout, unchecked (768x576
// real footage at the defaults, executed instructions per pixel of the
// full-resolution smoothing: ARMv7 1.41 before the structure loads and this
// entry, 0.93 after; AArch64 1.40 and 0.96).
void gauss3x3Diff_neon(const int16_t *pIn, int16_t *pOut, int rows, int cols, int stride) {
  if (rows <= 0 || cols <= 0) return;
  if (cols < 16) {
    gauss3x3_c(pIn, pOut, rows, cols, stride);
    return;
  }
  auto in = [&](int y) { return pIn + static_cast<ptrdiff_t>(y) * stride - 1; };
  auto out = [&](int y) { return pOut + static_cast<ptrdiff_t>(y) * stride; };
  int y = 0;
#if defined(__aarch64__) || (TNR_MD_NATIVE_NEON && defined(__arm__))
  // AArch64's 32 registers hold four output rows' sums (six input rows per
  // load step instead of four for two): real 1080p footage at the defaults,
  // executed instructions per pixel, 9.03 to 9.01; with its whole blocks as
  // one asm statement (wholeBlocks4) the stage 0.91 to 0.82, the whole 8.85
  // to 8.75. ARMv7 four rows in its asm statement only (with intrinsics it
  // has the registers for two): 9.06 to 9.00, the stage 0.88 to 0.83. The
  // x86 forms through SIMDe keep two.
  for (; y + 4 <= rows; y += 4) {
    const int16_t *r[6] = {in(y - 1), in(y), in(y + 1), in(y + 2), in(y + 3), in(y + 4)};
    int16_t *o[4] = {out(y), out(y + 1), out(y + 2), out(y + 3)};
    rowsMultiplesOf16<4, 0>(r, o, cols);
  }
#endif
  for (; y + 2 <= rows; y += 2) {
    const int16_t *r[4] = {in(y - 1), in(y), in(y + 1), in(y + 2)};
    int16_t *o[2] = {out(y), out(y + 1)};
    rowsMultiplesOf16<2, 0>(r, o, cols);
  }
  if (y < rows) {
    const int16_t *r[3] = {in(y - 1), in(y), in(y + 1)};
    int16_t *o[1] = {out(y)};
    rowsMultiplesOf16<1, 0>(r, o, cols);
  }
}

}  // namespace tnr_md
