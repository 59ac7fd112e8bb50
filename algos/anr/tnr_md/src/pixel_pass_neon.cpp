// Per-pixel pass, vector form: 16 pixels per block. Results equal
// pixelPass_c byte for byte.
//
// Tail policy. A row whose width is not a multiple of 16 ends with a block
// moved back to end exactly at the row's end; the in-place pass keeps the
// lanes before its nominal start as the previous block left them, so every
// update is applied once. Rows narrower than one block run the same lane code
// on a zero-padded local copy and copy back only the row's own bytes; nothing
// outside the caller's rows is read or written.
#include <algorithm>
#include <cstring>

#include "arith.h"
#include "kernels.h"
#include "neon.h"

namespace tnr_md {
namespace {

// Lane tables of the horizontal interpolation: entry j is j >> 3 (which of
// the two neighbouring T columns) and j & 7 (the right neighbour's weight).
constexpr uint8_t kLutTable[16] = {0, 0, 0, 0, 0, 0, 0, 0, 1, 1, 1, 1, 1, 1, 1, 1};
constexpr uint8_t kWgtTable[16] = {0, 1, 2, 3, 4, 5, 6, 7, 0, 1, 2, 3, 4, 5, 6, 7};

// Column offsets and right-hand weights of the 8 pixels from a column that is
// a multiple of 8: (p + 4) >> 3 and (p + 4) & 7.
constexpr uint8_t kAlignedIdx[8] = {0, 0, 0, 0, 1, 1, 1, 1};
constexpr uint8_t kAlignedWgt[8] = {4, 5, 6, 7, 0, 1, 2, 3};

// Lane numbers 0 .. 15, for the keep-mask of a moved-back block.
constexpr uint8_t kLaneIndex[16] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};

// Horizontal interpolation of the 8 pixels from column b of one T row:
// lane p is pixel X = b + p, between T columns n + lut[k + p] and the one
// right of it, with n = (b + 4) >> 3, k = (b + 4) & 7. The two 8-byte loads
// reach T columns n .. n + 8; only columns up to blockCols + 1 are ever selected.
// Where the loads would pass tEnd (the end of the caller's row buffer) they
// come from a zero-padded copy of the bytes that remain.
inline uint8x8_t interpHalf(const uint8_t *tRow, int b, const uint8_t *tEnd, const uint8_t *lut,
                            const uint8_t *wgt) {
  const int n = (b + 4) >> 3;
  const int k = (b + 4) & 7;
  const uint8_t *src = tRow + n;
  uint8x8_t left, right;
  if (tEnd - src >= 9) {
    left = vld1_u8(src);
    right = vld1_u8(src + 1);
  } else {
    uint8_t win[16] = {0};
    std::memcpy(win, src, static_cast<size_t>(tEnd - src));
    left = vld1_u8(win);
    right = vld1_u8(win + 1);
  }
  const uint8x8_t off = vld1_u8(lut + k);
  const uint8x8_t w = vld1_u8(wgt + k);
  const uint16x8_t acc =
      vmlal_u8(vmull_u8(vtbl1_u8(left, off), vsub_u8(vdup_n_u8(8), w)), vtbl1_u8(right, off), w);
  return vrshrn_n_u16(acc, 3);
}

// The horizontal interpolation of a block of 16 pixels from a column b that
// is a multiple of 16, where the lane pattern is fixed: n = b / 8, pixel b + p
// lies between T columns n + (p + 4) / 8 and the next one, with the right
// one's weight (p + 4) & 7. So lanes 0 .. 7 take columns n, n + 1 (left) and
// n + 1, n + 2 (right), lanes 8 .. 15 take n + 1, n + 2 and n + 2, n + 3:
// three table lookups over the four columns n .. n + 3, the only bytes read.
struct InterpAligned {
  uint8x8_t idx0, idx1, idx2;  // lane p: column (p + 4) / 8, + 1, + 2 (from n)
  uint8x8_t wR, wL;            // (p + 4) & 7 and 8 minus it (equal in both halves)
#if defined(__aarch64__)
  uint8x16_t left, right;      // idx0 then idx1, idx1 then idx2: all 16 lanes
  uint8x16_t wR16, wL16;       // wR and wL in both halves
#endif
};

inline InterpAligned interpAlignedConst() {
  InterpAligned c;
  c.idx0 = vld1_u8(kAlignedIdx);
  c.idx1 = vadd_u8(c.idx0, vdup_n_u8(1));
  c.idx2 = vadd_u8(c.idx0, vdup_n_u8(2));
  c.wR = vld1_u8(kAlignedWgt);
  c.wL = vsub_u8(vdup_n_u8(8), c.wR);
#if defined(__aarch64__)
  c.left = vcombine_u8(c.idx0, c.idx1);
  c.right = vcombine_u8(c.idx1, c.idx2);
  c.wR16 = vcombine_u8(c.wR, c.wR);
  c.wL16 = vcombine_u8(c.wL, c.wL);
#endif
  return c;
}

// four: T columns n .. n + 3 of the block, as the low 4 bytes.
inline uint8x16_t interpAligned(uint32_t four, const InterpAligned &c) {
#if defined(__aarch64__)
  // The left and the right column of all 16 lanes by one 16-byte lookup
  // each (the four columns repeated, so that no move clears the register's
  // upper half for an 8-byte table), multiplied as 16 lanes: 8 instructions
  // instead of 10. Real 1080p at the defaults, executed instructions per
  // pixel: AArch64 10.10 to 10.03 with the 16-byte table, to 9.97 with the
  // 16 lanes (ARMv7's 8-byte lookups of one register need the three
  // columns, shared by the halves).
  const uint8x16_t t = vreinterpretq_u8_u32(vdupq_n_u32(four));
  const uint8x16_t left = vqtbl1q_u8(t, c.left);
  const uint8x16_t right = vqtbl1q_u8(t, c.right);
  const uint16x8_t lo = vmlal_u8(vmull_u8(vget_low_u8(left), vget_low_u8(c.wL16)),
                                 vget_low_u8(right), vget_low_u8(c.wR16));
  const uint16x8_t hi = vmlal_high_u8(vmull_high_u8(left, c.wL16), right, c.wR16);
  return vrshrn_high_n_u16(vrshrn_n_u16(lo, 3), hi, 3);
#else
  const uint8x8_t t = vreinterpret_u8_u32(vdup_n_u32(four));
  const uint8x8_t c0 = vtbl1_u8(t, c.idx0);
  const uint8x8_t c1 = vtbl1_u8(t, c.idx1);
  const uint8x8_t c2 = vtbl1_u8(t, c.idx2);
  const uint8x8_t lo = vrshrn_n_u16(vmlal_u8(vmull_u8(c0, c.wL), c1, c.wR), 3);
  const uint8x8_t hi = vrshrn_n_u16(vmlal_u8(vmull_u8(c1, c.wL), c2, c.wR), 3);
  return vcombine_u8(lo, hi);
#endif
}

// High sigma and its reciprocal per lane, one quad per 4 lanes.
struct HighSigma {
  int32x4_t sH[4];
  float32x4_t inv[4];
};

// High sigma per lane for a block whose lane p is pixel x0 + p: each lane
// takes the entry of its own pixel's block column (one division per column).
// Lanes left of column 0 (the padding of a row narrower than 16) get sH = 0
// and inv = 0, which gives hAlpha = 0 there; they are dropped anyway.
inline HighSigma laneHighSigma(const uint32_t *sigRow, int x0) {
  int32_t sLane[16];
  float invLane[16];
  int col = -1;
  int32_t sH = 0;
  float inv = 0.0f;
  for (int p = 0; p < 16; ++p) {
    const int X = x0 + p;
    if (X >= 0 && (X >> 3) != col) {
      col = X >> 3;
      sH = static_cast<int32_t>(sigRow[col]);
      inv = invSigma(sH);
    }
    sLane[p] = sH;
    invLane[p] = inv;
  }
  HighSigma hs;
  for (int q = 0; q < 4; ++q) {
    hs.sH[q] = vld1q_s32(sLane + 4 * q);
    hs.inv[q] = vld1q_f32(invLane + 4 * q);
  }
  return hs;
}

// hAlpha of 4 lanes, for any high sigma: min(trunc(max(h - sH, 0) x 128 x
// inv + 0.5), 128), the subtraction and the shift wrapping in 32 bits; the
// conversion saturates and the narrowing to 16 bits saturates too, so 65536
// and more end as 128 after the caller's clamp.
inline uint16x4_t hAlpha4(int16x4_t h, int32x4_t sH, float32x4_t inv) {
  int32x4_t hd = vmaxq_s32(vsubq_s32(vmovl_s16(h), sH), vdupq_n_s32(0));
  hd = vshlq_n_s32(hd, 7);
  const float32x4_t f = vaddq_f32(vmulq_f32(vcvtq_f32_s32(hd), inv), vdupq_n_f32(0.5f));
  return vqmovn_u32(vcvtq_u32_f32(f));
}

// The smoothed difference of 8 pixels from h: loaded, or, with smooth (the
// plane's pitch), formed here from the unsmoothed plane exactly as the 3x3
// filter forms it: every weighted sum exact in 32-bit lanes, RoundShift by 4.
inline int16x8_t smoothed8(const int16_t *h, ptrdiff_t smooth) {
  if (smooth == 0) return vld1q_s16(h);
  int32x4_t lo = vdupq_n_s32(0), hi = vdupq_n_s32(0);
  for (int r = -1; r <= 1; ++r) {
    const int16_t *p = h + r * smooth;
    const int16x8_t left = vld1q_s16(p - 1), mid = vld1q_s16(p), right = vld1q_s16(p + 1);
    int32x4_t sLo =
        vmlal_n_s16(vaddl_s16(vget_low_s16(left), vget_low_s16(right)), vget_low_s16(mid), 2);
    int32x4_t sHi =
        vmlal_n_s16(vaddl_s16(vget_high_s16(left), vget_high_s16(right)), vget_high_s16(mid), 2);
    if (r == 0) {
      sLo = vshlq_n_s32(sLo, 1);
      sHi = vshlq_n_s32(sHi, 1);
    }
    lo = vaddq_s32(lo, sLo);
    hi = vaddq_s32(hi, sHi);
  }
  return vcombine_s16(vrshrn_n_s32(lo, 4), vrshrn_n_s32(hi, 4));
}

// hAlpha of 16 lanes from per-lane high sigmas, clamped to 128.
inline uint8x16_t hAlpha16(const int16_t *hdiff, ptrdiff_t smooth, const HighSigma &hs) {
  const int16x8_t h0 = smoothed8(hdiff, smooth);
  const int16x8_t h1 = smoothed8(hdiff + 8, smooth);
  const uint16x8_t a0 = vcombine_u16(hAlpha4(vget_low_s16(h0), hs.sH[0], hs.inv[0]),
                                     hAlpha4(vget_high_s16(h0), hs.sH[1], hs.inv[1]));
  const uint16x8_t a1 = vcombine_u16(hAlpha4(vget_low_s16(h1), hs.sH[2], hs.inv[2]),
                                     hAlpha4(vget_high_s16(h1), hs.sH[3], hs.inv[3]));
  return vminq_u8(vcombine_u8(vqmovn_u16(a0), vqmovn_u16(a1)), vdupq_n_u8(128));
}

// A high sigma below 2^30 keeps max(h - sH, 0) within 0 .. 32767, where it is
// exact in 16-bit lanes (a saturating subtraction of min(sH, 32767): for sH
// >= 32767 every h gives 0, as in 32 bits) and its shift by 7 cannot wrap.
// Then (float)(d x 128) x inv equals (float)d x (128 x inv) bit for bit:
// both products are the same real number (scaling by 128 is exact, also for
// inv = +infinity at sH = 0), rounded once.
constexpr uint32_t kNarrowSigmaLimit = 1u << 30;

// max(h - sH, 0) of the 8 pixels of one block column with such a sigma.
inline int16x8_t excess8(int16x8_t h, int16_t sH16) {
  return vmaxq_s16(vqsubq_s16(h, vdupq_n_s16(sH16)), vdupq_n_s16(0));
}

// The 8 16-bit lanes of v widened to 32 bits (lanes 0 .. 3, then 4 .. 7).
inline uint32x4x2_t widen8(uint16x8_t v) {
  return {{vmovl_u16(vget_low_u16(v)), vmovl_u16(vget_high_u16(v))}};
}

// trunc(x + 0.5) of 4 products x >= 0, the sum rounded as in float, as
// ((trunc(2x) + 1) >> 1), saturated to 16 bits. Doubling is exact, and adding
// 0.5 to a float x >= 0 rounds only where x + 0.5 passes into the next
// binade, from 2^j - 0.5 up (j >= 0), where every value of that range keeps
// its integer part 2^j, or at x = 0.5 - 2^-25, a tie that rounds up to 1:
// there alone the two differ (0 here). The weights' products never take that
// value (the tests run every pair of weights); the per-pixel products do.
inline uint16x4_t halfUp4(float32x4_t x) { return vqrshrn_n_u32(vcvtq_n_u32_f32(x, 1), 1); }

// hAlpha of 8 pixels from their excess (lanes of du, 0 .. 32767) and scale =
// 128 x inv, saturated to 16 bits (clamped to 128 by the caller); +infinity
// and NaN (0 x +infinity) convert to 2^32 - 1 and 0.
inline uint16x8_t hAlpha8(uint16x8_t du, float32x4_t scale) {
  const uint32x4x2_t d = widen8(du);
  const float32x4_t half = vdupq_n_f32(0.5f);
  const float32x4_t x0 = vaddq_f32(vmulq_f32(vcvtq_f32_u32(d.val[0]), scale), half);
  const float32x4_t x1 = vaddq_f32(vmulq_f32(vcvtq_f32_u32(d.val[1]), scale), half);
  return vcombine_u16(vqmovn_u32(vcvtq_u32_f32(x0)), vqmovn_u32(vcvtq_u32_f32(x1)));
}

// The high sigmas of a run of block columns of one block row in the form the
// aligned blocks use, for the 8 processing rows that share them: s16 =
// min(sH, 32767) for a sigma below kNarrowSigmaLimit, -1 for one that takes
// the 32-bit path; satAbove = saturationBound(sH) (32767 on the 32-bit path);
// mul = pixelAlphaMultiplier(sH) for a multiplier sigma, kFloatSteps for one
// that keeps the float steps with inv128 = 128 x inv (0 on the 32-bit path).
// Both are divided only for the columns of blocks that are not still (whose
// T columns are not all 0): mul is kNotDivided until then.
constexpr int kSigmaRun = 256;  // block columns, 2048 pixels
constexpr int32_t kNotDivided = -1, kFloatSteps = -2;

struct SigmaRun {
  int row = -1, col0 = -1, cols = 0;
  bool ready = false;             // s16, satAbove and mul set for the cols columns
  const uint32_t *sig = nullptr;  // the block row's entry of column col0
#if defined(__aarch64__) || !TNR_MD_NATIVE_NEON
  int16_t s16[kSigmaRun];
#endif
  int16_t satAbove[kSigmaRun];
#if defined(__aarch64__)
  int16_t s16Lanes[kSigmaRun][8];  // s16 in 8 lanes, for the alpha loop's loads
#elif TNR_MD_NATIVE_NEON
  // ARMv7 keeps s16 twice per column (the first of each pair serves as s16),
  // for the alpha loop's loads.
  int16_t s16Pairs[kSigmaRun][2];
  int16_t &sigma16(int i) { return s16Pairs[i][0]; }
  const int16_t *sigma16At(int i) const { return &s16Pairs[i][0]; }
#endif
#if defined(__aarch64__) || !TNR_MD_NATIVE_NEON
  int16_t &sigma16(int i) { return s16[i]; }
  const int16_t *sigma16At(int i) const { return s16 + i; }
#endif
  int32_t mul[kSigmaRun];
  float inv128[kSigmaRun];
  // Where a stretch of blocks from column j whose columns all have
  // multiplier sigmas (divided) is known, the column where it ends; else -1.
  int16_t multiplierEnd[kSigmaRun];
};

inline void setSigma(SigmaRun &run, int i) {
  const uint32_t sH = run.sig[i];
  const bool narrow = sH < kNarrowSigmaLimit;
  const int16_t s16 = narrow ? static_cast<int16_t>(sH < 32767 ? sH : 32767) : int16_t{-1};
  run.satAbove[i] = narrow ? saturationBound(sH) : int16_t{32767};
#if defined(__aarch64__)
  run.s16[i] = s16;
  vst1q_s16(run.s16Lanes[i], vdupq_n_s16(s16));
#elif TNR_MD_NATIVE_NEON
  run.s16Pairs[i][0] = run.s16Pairs[i][1] = s16;
#else
  run.s16[i] = s16;
#endif
  run.mul[i] = kNotDivided;
  run.multiplierEnd[i] = -1;
}

// The run's columns, set where a block row first has a block that is not
// still.
__attribute__((noinline)) void prepareSigmaRun(SigmaRun &run) {
  int i = 0;
  const uint32x4_t limit = vdupq_n_u32(kNarrowSigmaLimit), top = vdupq_n_u32(32767);
  // Local copies: the stores below could alias run's members, and GCC
  // loaded both again for every four columns (real 1080p at the defaults,
  // executed instructions per pixel: ARMv7 10.03 to 10.01, AArch64 9.55 to
  // 9.53).
  const uint32_t *const sig = run.sig;
  const int cols = run.cols;
  // Eight columns per step, each array's stores in one or two registers:
  // real 768x576 at the defaults, executed instructions per pixel, ARMv7
  // 8.952 to 8.947, AArch64 7.986 to 7.971 (prepareSigmaRun 0.086 to 0.081
  // and 0.098 to 0.083); real 1080p 8.697 to 8.691 and 7.756 to 7.740; the bench scene
  // 4.413 to 4.410 and 4.103 to 4.096.
  for (; i + 8 <= cols; i += 8) {
    const uint32x4_t sA = vld1q_u32(sig + i), sB = vld1q_u32(sig + i + 4);
    const uint32x4_t narrowA = vcltq_u32(sA, limit), narrowB = vcltq_u32(sB, limit);
    const uint32x4_t cA = vminq_u32(sA, top), cB = vminq_u32(sB, top);
    const uint32x4_t tA = vminq_u32(vsubq_u32(vaddq_u32(cA, cA), vshrq_n_u32(cA, 8)), top);
    const uint32x4_t tB = vminq_u32(vsubq_u32(vaddq_u32(cB, cB), vshrq_n_u32(cB, 8)), top);
    const uint32x4_t s32A = vornq_u32(cA, narrowA), s32B = vornq_u32(cB, narrowB);
#if defined(__aarch64__) || !TNR_MD_NATIVE_NEON
    const int16x8_t s8 =
        vreinterpretq_s16_u16(vcombine_u16(vmovn_u32(s32A), vmovn_u32(s32B)));
    vst1q_s16(run.s16 + i, s8);
#endif
#if defined(__aarch64__)
    vst1q_s16_x4(run.s16Lanes[i], int16x8x4_t{{vdupq_laneq_s16(s8, 0), vdupq_laneq_s16(s8, 1),
                                               vdupq_laneq_s16(s8, 2), vdupq_laneq_s16(s8, 3)}});
    vst1q_s16_x4(run.s16Lanes[i + 4],
                 int16x8x4_t{{vdupq_laneq_s16(s8, 4), vdupq_laneq_s16(s8, 5),
                              vdupq_laneq_s16(s8, 6), vdupq_laneq_s16(s8, 7)}});
#elif TNR_MD_NATIVE_NEON
    vst1q_s16(run.s16Pairs[i], vreinterpretq_s16_u32(vsliq_n_u32(s32A, s32A, 16)));
    vst1q_s16(run.s16Pairs[i + 4], vreinterpretq_s16_u32(vsliq_n_u32(s32B, s32B, 16)));
#endif
    vst1q_s16(run.satAbove + i,
              vreinterpretq_s16_u16(vcombine_u16(vmovn_u32(vbslq_u32(narrowA, tA, top)),
                                                 vmovn_u32(vbslq_u32(narrowB, tB, top)))));
    vst1q_s32(run.mul + i, vdupq_n_s32(kNotDivided));
    vst1q_s32(run.mul + i + 4, vdupq_n_s32(kNotDivided));
    vst1q_s16(run.multiplierEnd + i, vdupq_n_s16(-1));
  }
  for (; i + 4 <= cols; i += 4) {
    const uint32x4_t sH = vld1q_u32(sig + i);
    const uint32x4_t narrow = vcltq_u32(sH, limit);
    const uint32x4_t s = vminq_u32(sH, top);
    const uint32x4_t t = vminq_u32(vsubq_u32(vaddq_u32(s, s), vshrq_n_u32(s, 8)), top);
    const uint32x4_t s32 = vornq_u32(s, narrow);  // s16 in the low half; -1 in both
#if defined(__aarch64__) || !TNR_MD_NATIVE_NEON
    const int16x4_t s4 = vreinterpret_s16_u16(vmovn_u32(s32));
    vst1_s16(run.s16 + i, s4);
#endif
#if defined(__aarch64__)
    vst1q_s16_x4(run.s16Lanes[i], int16x8x4_t{{vdupq_lane_s16(s4, 0), vdupq_lane_s16(s4, 1),
                                               vdupq_lane_s16(s4, 2), vdupq_lane_s16(s4, 3)}});
#elif TNR_MD_NATIVE_NEON
    vst1q_s16(run.s16Pairs[i], vreinterpretq_s16_u32(vsliq_n_u32(s32, s32, 16)));
#endif
    vst1_s16(run.satAbove + i, vreinterpret_s16_u16(vmovn_u32(vbslq_u32(narrow, t, top))));
    vst1q_s32(run.mul + i, vdupq_n_s32(kNotDivided));
    vst1_s16(run.multiplierEnd + i, vdup_n_s16(-1));
  }
  for (; i < run.cols; ++i) setSigma(run, i);
  run.ready = true;
}

// The multiplier or reciprocal of column j where not divided yet.
inline void divideSigma(SigmaRun &run, int j) {
  if (run.mul[j] != kNotDivided) return;
  const uint32_t sH = run.sig[j];
  const bool byMultiplier = isMultiplierSigma(sH);
  run.mul[j] = byMultiplier ? pixelAlphaMultiplier(sH) : kFloatSteps;
  if (!byMultiplier)
    run.inv128[j] = run.sigma16(j) >= 0 ? invSigma(static_cast<int32_t>(sH)) * 128.0f : 0.0f;
}

// The multipliers or reciprocals of columns i and i + 1 where not divided
// yet; out of line, for loops that would rather keep their registers than
// hold its steps.
__attribute__((noinline)) void divideSigmaPair(SigmaRun &run, int i) {
  divideSigma(run, i);
  divideSigma(run, i + 1);
}

// Whether every lane is all ones.
inline bool allOnes(uint16x8_t v) {
#if defined(__aarch64__)
  // One minimum across the lanes: 4 instructions instead of 6 (real 1080p
  // at the defaults, executed instructions per pixel: AArch64 8.150 to
  // 8.141).
  return vminvq_u16(v) == 0xFFFF;
#else
  const uint32x2_t all = vreinterpret_u32_u16(vand_u16(vget_low_u16(v), vget_high_u16(v)));
  return vget_lane_u32(vpmin_u32(all, all), 0) == 0xFFFFFFFFu;
#endif
}

// Of the blocks from column i of the run (t: the T columns of the first), at
// most most of them, how many from the first have T columns that are not
// all 0 and multiplier sigmas in both columns; their multipliers are written
// to run.mul (the same values as divideSigma's), two blocks at a time by
// pixelAlphaMultipliers4 while both qualify, then block by block. Real
// 1080p at the defaults, executed instructions per pixel of
// multiplierBlocks: ARMv7 0.380 to 0.248, AArch64 0.337 to 0.234, against a
// double division and its tests per column (the whole count ARMv7 10.46 to
// 10.32, AArch64 10.20 to 10.10); with the T columns tested pair by pair
// along with the sigmas instead of scanned first, 0.200 and 0.192 (ARMv7
// 10.07 to 10.03, AArch64 9.58 to 9.55), and the bench scene, where many
// stretches end at once, 5.08 to 5.06 (ARMv7), 4.95 to 4.94.
// pixelAlphaMultiplier of 4 multiplier sigmas. AArch64 divides as the
// per-sample form does, in double lanes (pixelAlphaMultipliers4Divided): 11
// instructions in place of the 27 of pixelAlphaMultipliers4's integer steps
// (real 1080p at the defaults, executed instructions per pixel: AArch64
// 8.203 to 8.150; multiplierBlocks 0.192 to 0.139).
inline uint32x4_t multipliers4(uint32x4_t s) {
#if defined(__aarch64__)
  return pixelAlphaMultipliers4Divided(s);
#else
  return pixelAlphaMultipliers4(s);
#endif
}

inline int multiplierStretch(SigmaRun &run, const uint8_t *t, int i, int most) {
  const uint32_t *const sig = run.sig + i;
  int32_t *const mul = run.mul + i;
  const uint32x4_t least = vdupq_n_u32(129), span = vdupq_n_u32(32767 - 129);
  const uint32x4_t low8 = vdupq_n_u32(255);
  // Two blocks from block b where both qualify: their multipliers written.
  const auto pair = [&](int b) -> bool {
    uint32_t four0, four1;
    std::memcpy(&four0, t + 2 * b, sizeof four0);
    std::memcpy(&four1, t + 2 * b + 2, sizeof four1);
    if (four0 == 0 || four1 == 0) return false;
    const uint32x4_t s = vld1q_u32(sig + 2 * b);
    // isMultiplierSigma of every lane: 129 .. 32767, not a multiple of 256.
    const uint32x4_t ok = vandq_u32(vcleq_u32(vsubq_u32(s, least), span), vtstq_u32(s, low8));
    if (!allOnes(vreinterpretq_u16_u32(ok))) return false;
    vst1q_s32(mul + 2 * b, vreinterpretq_s32_u32(multipliers4(s)));
    return true;
  };
  // After a first pair, four blocks per test while all four qualify (a
  // stretch shorter than that pays no test of four): real 768x576 at the
  // defaults, executed instructions per pixel, ARMv7 8.968 to 8.952,
  // AArch64 8.004 to 7.986; real 1080p 8.715 to 8.697 and 7.777 to 7.756;
  // the bench scene 4.415 to 4.413 and 4.105 to 4.103 (four blocks per test
  // from the first: 4.426 and 4.117).
  int b = 0;
  if (most >= 2 && pair(0)) {
    b = 2;
    for (; b + 4 <= most; b += 4) {
      // Four blocks: their T columns' words (at 2b, 2b + 2, 2b + 4, 2b + 6)
      // from two overlapping 8-byte loads, tested with the 8 sigmas by one
      // reduction.
      const uint8x16_t tw = vcombine_u8(vld1_u8(t + 2 * b), vld1_u8(t + 2 * b + 2));
      const uint32x4_t s0 = vld1q_u32(sig + 2 * b), s1 = vld1q_u32(sig + 2 * b + 4);
      const uint32x4_t ok0 =
          vandq_u32(vcleq_u32(vsubq_u32(s0, least), span), vtstq_u32(s0, low8));
      const uint32x4_t ok1 =
          vandq_u32(vcleq_u32(vsubq_u32(s1, least), span), vtstq_u32(s1, low8));
      const uint32x4_t tOk = vtstq_u32(vreinterpretq_u32_u8(tw), vreinterpretq_u32_u8(tw));
      if (!allOnes(vreinterpretq_u16_u32(vandq_u32(vandq_u32(ok0, ok1), tOk)))) break;
      vst1q_s32(mul + 2 * b, vreinterpretq_s32_u32(multipliers4(s0)));
      vst1q_s32(mul + 2 * b + 4, vreinterpretq_s32_u32(multipliers4(s1)));
    }
    while (b + 2 <= most && pair(b)) b += 2;
  }
  for (; b < most; ++b) {
    uint32_t four;
    std::memcpy(&four, t + 2 * b, sizeof four);
    const uint32_t s0 = sig[2 * b], s1 = sig[2 * b + 1];
    if (four == 0 || !isMultiplierSigma(s0) || !isMultiplierSigma(s1)) break;
    mul[2 * b] = pixelAlphaMultiplier(s0);
    mul[2 * b + 1] = pixelAlphaMultiplier(s1);
  }
  return b;
}

#if defined(__aarch64__)
__attribute__((noinline)) int multiplierBlocks(SigmaRun &run, const uint8_t *t, int i, int most) {
  int end = run.multiplierEnd[i];
  if (end < 0) {
    end = i + 2 * multiplierStretch(run, t, i, most);
    for (int j = i; j < end; ++j) run.multiplierEnd[j] = static_cast<int16_t>(end);
  }
  // A stretch noted from a column before i ends within that call's most
  // blocks (at most kActiveChunk, inside the run); bounded here all the same.
  const int blocks = (end - i) / 2;
  return blocks < most ? blocks : most;
}
#else
// ARMv7 looks up the noted stretch in its caller (7 of a block row's 8 rows
// find it there) and calls out only to note one (noteMultiplierStretch),
// where the whole function out of line pushed and popped nine registers for
// the lookup: real 768x576 at the defaults, executed instructions per
// pixel, 9.130 to 9.123 (1080p 8.830 to 8.826, the bench scene 4.482 to
// 4.481). AArch64 keeps it out of line whole: 8.088 to 8.085 the ARMv7 way,
// but the bench scene 4.176 to 4.178.
__attribute__((noinline)) int noteMultiplierStretch(SigmaRun &run, const uint8_t *t, int i,
                                                    int most) {
  const int end = i + 2 * multiplierStretch(run, t, i, most);
  for (int j = i; j < end; ++j) run.multiplierEnd[j] = static_cast<int16_t>(end);
  return end;
}

inline int multiplierBlocks(SigmaRun &run, const uint8_t *t, int i, int most) {
  int end = run.multiplierEnd[i];
  if (end < 0) end = noteMultiplierStretch(run, t, i, most);
  // A stretch noted from a column before i ends within that call's most
  // blocks (at most kActiveChunk, inside the run); bounded here all the same.
  const int blocks = (end - i) / 2;
  return blocks < most ? blocks : most;
}
#endif


// Whether any of the 8 bytes is not 0: pairwise maxima fold them into the
// low 32 bits, which one move takes out.
inline bool anyByte(uint8x8_t v) {
  return vget_lane_u32(vreinterpret_u32_u8(vpmax_u8(v, v)), 0) != 0;
}

// The smoothed differences of 16 pixels from h, as smoothed8 gives them for
// h and h + 8. The unsmoothed plane's samples are multiples of 32 (the frame
// difference writes 32 x h; the pass's contract), so 16-bit lanes with
// halving adds are exact (see the 3x3 filter): the vertical sums over 4 of
// columns -1 .. 16, then the horizontal sums of those over 4.
struct Smoothed16 {
  int16x8_t lo, hi;
};

inline int16x8_t vSum4(const int16_t *p, ptrdiff_t stride) {
  const int16x8_t u = vld1q_s16(p - stride), m = vld1q_s16(p), d = vld1q_s16(p + stride);
  return vhaddq_s16(vhaddq_s16(u, d), m);
}

inline int16x8_t hSum4(int16x8_t left, int16x8_t centre, int16x8_t right) {
  return vhaddq_s16(vhaddq_s16(left, right), centre);
}

inline Smoothed16 smoothed16(const int16_t *h, ptrdiff_t smooth) {
  if (smooth == 0) return {vld1q_s16(h), vld1q_s16(h + 8)};
  const int16x8_t a = vSum4(h - 1, smooth);   // columns -1 .. 6
  const int16x8_t b = vSum4(h + 7, smooth);   // 7 .. 14
  const int16x8_t c = vSum4(h + 9, smooth);   // 9 .. 16
  const int16x8_t at15 = vextq_s16(c, c, 6);  // column 15 in lane 0
  return {hSum4(a, vextq_s16(a, b, 1), vextq_s16(a, b, 2)), hSum4(b, vextq_s16(b, at15, 1), c)};
}

// Whether every smoothed difference of a block lies above its block
// column's satAbove (satAbove[0] for lanes 0 .. 7, satAbove[1] for 8 .. 15).
inline bool saturated(const Smoothed16 &h, const int16_t *satAbove) {
  const uint16x8_t above0 = vcgtq_s16(h.lo, vld1q_dup_s16(satAbove));
  const uint16x8_t above1 = vcgtq_s16(h.hi, vld1q_dup_s16(satAbove + 1));
  return allOnes(vandq_u16(above0, above1));
}

// Whether every byte of v, each at most 128, is 128: the only such value
// with its top bit set.
inline bool all128(uint8x16_t v) {
#if defined(__aarch64__)
  return vminvq_u8(v) == 128;
#else
  const uint32x2_t both = vreinterpret_u32_u8(vand_u8(vget_low_u8(v), vget_high_u8(v)));
  return (vget_lane_u32(both, 0) & vget_lane_u32(both, 1) & 0x80808080u) == 0x80808080u;
#endif
}

// RoundShift(v, 7) of the 16-bit lanes of lo, then of hi, narrowed into
// the halves of one register (each result at most 255). ARMv7 by one asm
// statement: GCC narrows into two registers and moves a half over, which
// is why the ARMv7 output loop rounded its luma blend and its gain in
// 16-bit lanes and unzipped, one instruction more each (real 1080p at the
// defaults, executed instructions per pixel: ARMv7 9.75 to 9.63).
inline uint8x16_t roundNarrow7(uint16x8_t lo, uint16x8_t hi) {
#if TNR_MD_NATIVE_NEON && defined(__arm__)
  uint8x16_t r;
  asm("vrshrn.i16 %e0, %q1, #7\n\tvrshrn.i16 %f0, %q2, #7" : "=&w"(r) : "w"(lo), "w"(hi));
  return r;
#elif defined(__aarch64__)
  return vrshrn_high_n_u16(vrshrn_n_u16(lo, 7), hi, 7);
#else
  return vcombine_u8(vrshrn_n_u16(lo, 7), vrshrn_n_u16(hi, 7));
#endif
}

// The low bytes of the 16-bit lanes of a, then of b: vcombine(vmovn(a),
// vmovn(b)) in one unzip (the Arm targets are little-endian).
inline uint8x16_t lowBytes(uint16x8_t a, uint16x8_t b) {
  return vuzpq_u8(vreinterpretq_u8_u16(a), vreinterpretq_u8_u16(b)).val[0];
}

// The low 16 bits of the 32-bit lanes of a, then of b.
inline uint16x8_t lowHalves(int32x4_t a, int32x4_t b) {
  return vuzpq_u16(vreinterpretq_u16_s32(a), vreinterpretq_u16_s32(b)).val[0];
}

// (d m + 2^30) >> 31 (pixelAlphaByMultiplier) of 8 excesses d in 32-bit
// lanes, two quads.
inline uint16x8_t byMultiplier8(int16x8_t d, int32_t m) {
  const int32x4_t mm = vdupq_n_s32(m);
  return lowHalves(vqrdmulhq_s32(vmovl_s16(vget_low_s16(d)), mm),
                   vqrdmulhq_s32(vmovl_s16(vget_high_s16(d)), mm));
}

// The excesses of 16 pixels h over the sigmas s0 (lanes 0 .. 7) and s1
// (8 .. 15), clamped to the sigma (see hAlphaByMultiplier16).
template <bool kNonNegative>
inline Smoothed16 multiplierExcess(const Smoothed16 &h, int16x8_t s0, int16x8_t s1) {
  if (kNonNegative) {
    const uint16x8_t u0 = vreinterpretq_u16_s16(s0), u1 = vreinterpretq_u16_s16(s1);
    return {vreinterpretq_s16_u16(vminq_u16(vqsubq_u16(vreinterpretq_u16_s16(h.lo), u0), u0)),
            vreinterpretq_s16_u16(vminq_u16(vqsubq_u16(vreinterpretq_u16_s16(h.hi), u1), u1))};
  }
  const int16x8_t zero = vdupq_n_s16(0);
  return {vminq_s16(vmaxq_s16(vqsubq_s16(h.lo, s0), zero), s0),
          vminq_s16(vmaxq_s16(vqsubq_s16(h.hi, s1), zero), s1)};
}

// hAlpha of 16 pixels h whose two block columns have multiplier sigmas s0
// and s1 (in every lane) with multipliers m[0] and m[1]. An excess above its
// sigma gives 128 as the sigma itself does, so the excesses are clamped to
// it; then every result is at most 128 and the low bytes are the alphas.
// kNonNegative: every h is at least 0 (PassRows::nonNegative), so the
// excess max(h - s, 0) is the unsigned saturating difference, without the
// clamp at 0 (two instructions fewer per block; real 1080p at the defaults,
// executed instructions per pixel: ARMv7 10.01 to 9.89, AArch64 9.53
// to 9.42).
template <bool kNonNegative = false>
inline uint8x16_t hAlphaByMultiplier16(const Smoothed16 &h, int16x8_t s0, int16x8_t s1,
                                       int32x2_t m) {
  const Smoothed16 d = multiplierExcess<kNonNegative>(h, s0, s1);
  const int16x8_t d0 = d.lo, d1 = d.hi;
#if TNR_MD_NATIVE_NEON && defined(__arm__)
  // ARMv7: the three unzips in place by one asm statement (its operands
  // are the products, dead after it). GCC's unzips copy a register after
  // each (real 1080p at the defaults, executed instructions per pixel:
  // 10.32 to 10.20; the static alpha's narrowings likewise, staticAlpha16,
  // to 10.14).
  int32x4_t r0 = vqrdmulhq_lane_s32(vmovl_s16(vget_low_s16(d0)), m, 0);
  int32x4_t r1 = vqrdmulhq_lane_s32(vmovl_s16(vget_high_s16(d0)), m, 0);
  int32x4_t r2 = vqrdmulhq_lane_s32(vmovl_s16(vget_low_s16(d1)), m, 1);
  int32x4_t r3 = vqrdmulhq_lane_s32(vmovl_s16(vget_high_s16(d1)), m, 1);
  asm("vuzp.16 %q0, %q1\n\tvuzp.16 %q2, %q3\n\tvuzp.8 %q0, %q2"
      : "+w"(r0), "+w"(r1), "+w"(r2), "+w"(r3));
  return vreinterpretq_u8_s32(r0);
#else
  return lowBytes(lowHalves(vqrdmulhq_lane_s32(vmovl_s16(vget_low_s16(d0)), m, 0),
                            vqrdmulhq_lane_s32(vmovl_s16(vget_high_s16(d0)), m, 0)),
                  lowHalves(vqrdmulhq_lane_s32(vmovl_s16(vget_low_s16(d1)), m, 1),
                            vqrdmulhq_lane_s32(vmovl_s16(vget_high_s16(d1)), m, 1)));
#endif
}

// hAlpha of 8 pixels of a multiplier sigma's column from their excess d (0
// .. 32767) and its multiplier m, saturated to 8 bits (clamped to 128 by the
// caller).
inline uint8x8_t hAlphaByMultiplier8(int16x8_t d, int32_t m) {
  return vqmovn_u16(byMultiplier8(d, m));
}

// The same for column i of the run by whichever form it takes.
inline uint8x8_t hAlphaEither8(int16x8_t d, const SigmaRun &run, int i) {
  if (run.mul[i] >= 0) return hAlphaByMultiplier8(d, run.mul[i]);
  return vqmovn_u16(hAlpha8(vreinterpretq_u16_s16(d), vdupq_n_f32(run.inv128[i])));
}

// hAlpha of a block that starts at a multiple of 8: lanes 0 .. 7 take the
// high sigma of block column i, lanes 8 .. 15 that of column i + 1 (i counted
// in the run; sigRow gives the entries themselves for the 32-bit path).
// No screens: on real footage at the defaults nearly every block the pass
// finds moving has some differences between the high sigma and its
// saturation bound (no block in 800 000 of a 768x576 clip was saturated
// throughout, 2 % were at or below the sigma throughout), so a test for
// either case costs more than the steps it would skip: without them ARMv7
// counted 17.12 executed instructions per pixel instead of 18.57 there
// (768x576, 30 calls), and the bench scene 5.39 instead of 5.42. A
// difference at or below the sigma gives hAlpha 0 through the same steps (0
// x m, 0 x inv, or NaN for sH = 0, which converts to 0). Where both columns
// have multiplier sigmas (nearly every block on real footage) the integer
// form serves, else each column takes its own form.
__attribute__((always_inline)) inline uint8x16_t hAlphaAligned(const int16_t *hdiff,
                                                               ptrdiff_t smooth, SigmaRun &run,
                                                               int i, const uint32_t *sigRow) {
  int32_t m[2];  // both at least 0: two multiplier sigmas
  std::memcpy(m, run.mul + i, sizeof m);
  if ((m[0] | m[1]) >= 0)
    return hAlphaByMultiplier16(smoothed16(hdiff, smooth), vld1q_dup_s16(run.sigma16At(i)),
                                vld1q_dup_s16(run.sigma16At(i + 1)), vld1_s32(m));
  const int16_t s16a = run.sigma16(i), s16b = run.sigma16(i + 1);
  if ((s16a | s16b) >= 0) {
    const Smoothed16 h = smoothed16(hdiff, smooth);
    const int16x8_t d0 = excess8(h.lo, s16a);
    const int16x8_t d1 = excess8(h.hi, s16b);
    if (m[0] == kNotDivided || m[1] == kNotDivided) divideSigmaPair(run, i);
    return vminq_u8(vcombine_u8(hAlphaEither8(d0, run, i), hAlphaEither8(d1, run, i + 1)),
                    vdupq_n_u8(128));
  }
  const int32_t s0 = static_cast<int32_t>(sigRow[run.col0 + i]);
  const int32_t s1 = static_cast<int32_t>(sigRow[run.col0 + i + 1]);
  HighSigma hs;
  hs.sH[0] = hs.sH[1] = vdupq_n_s32(s0);
  hs.sH[2] = hs.sH[3] = vdupq_n_s32(s1);
  hs.inv[0] = hs.inv[1] = vdupq_n_f32(invSigma(s0));
  hs.inv[2] = hs.inv[3] = vdupq_n_f32(invSigma(s1));
  return hAlpha16(hdiff, smooth, hs);
}

// newPreAlpha of 4 lanes before its clamp, at most 16384, from staticAlpha
// (sa) and den = 256 - preAlpha (1 .. 256): trunc(staticAlpha x 128 x
// recipRefine(den) + 0.5), each step rounded. The estimate and the step
// scale with the exponent, so recipRefine(den / 128) is 128 x
// recipRefine(den) exactly, and its product with staticAlpha is the same
// rounded product; halfUp4 adds the 0.5 and truncates.
inline uint16x4_t newPreAlpha4(uint32x4_t sa, uint32x4_t den) {
  const float32x4_t scale = recipRefine4(vcvtq_n_f32_u32(den, 7));
  return halfUp4(vmulq_f32(vcvtq_f32_u32(sa), scale));
}

inline uint16x8_t newPreAlpha8(uint8x8_t staticAlpha, uint8x8_t preAlpha) {
  const uint32x4x2_t sa = widen8(vmovl_u8(staticAlpha));
  const uint32x4x2_t den = widen8(vsubw_u8(vdupq_n_u16(256), preAlpha));
  return vcombine_u16(newPreAlpha4(sa.val[0], den.val[0]), newPreAlpha4(sa.val[1], den.val[1]));
}

inline uint8x16_t newPreAlpha16(uint8x16_t staticAlpha, uint8x16_t preAlpha) {
  const uint16x8_t w0 = newPreAlpha8(vget_low_u8(staticAlpha), vget_low_u8(preAlpha));
  const uint16x8_t w1 = newPreAlpha8(vget_high_u8(staticAlpha), vget_high_u8(preAlpha));
  return vminq_u8(vcombine_u8(vqmovn_u16(w0), vqmovn_u16(w1)), vdupq_n_u8(128));
}

// The recursive weight of a still pixel (staticAlpha 128) depends on its
// preAlpha alone: stillWeight, a table of preAlpha 0 .. 127 (from 128 on the
// weight is 128).
//
// ARMv7 looks up 32 bytes at a time: the table is kept in four quarters of
// 32 entries, each stored interleaved by 4 (as vst4 stores four registers of
// 8) so that one vld4 brings it back as the four registers of a 32-byte
// lookup. AArch64 looks up 64 bytes at a time from the table in natural order.
struct StillWeights {
  uint8_t q[4][32];
};

constexpr StillWeights makeStillWeights() {
  StillWeights sw{};
  for (int k = 0; k < 4; ++k)
    for (int j = 0; j < 4; ++j)
      for (int i = 0; i < 8; ++i) {
        const uint8_t w = stillWeight(32 * k + 8 * j + i);
#if defined(__aarch64__)
        sw.q[k][8 * j + i] = w;
#else
        sw.q[k][4 * i + j] = w;
#endif
      }
  return sw;
}
constexpr StillWeights kStillWeights = makeStillWeights();

// Lookup of 16 lanes: each part's lookup leaves the lanes outside it alone
// (the index minus the part's start is past its end, wrapping below it);
// lanes from 128 on keep 128.
#if defined(__aarch64__)
inline uint8x16_t stillWeight16(const StillWeights &sw, uint8x16_t preAlpha) {
  const uint8x16x4_t lo = vld1q_u8_x4(sw.q[0]);
  const uint8x16x4_t hi = vld1q_u8_x4(sw.q[2]);
  const uint8x16_t w = vqtbx4q_u8(vdupq_n_u8(128), lo, preAlpha);
  return vqtbx4q_u8(w, hi, vsubq_u8(preAlpha, vdupq_n_u8(64)));
}
#else
inline uint8x16_t stillWeight16(const StillWeights &sw, uint8x16_t preAlpha) {
  const uint8x16_t i3 = vsubq_u8(preAlpha, vdupq_n_u8(96));
  // Where every preAlpha lies in 96 .. 127 (where the weight of a pixel that
  // stays still settles after three calls) the last quarter alone serves.
  const uint8x16_t outside = vcgeq_u8(i3, vdupq_n_u8(32));
  const uint8x8_t any = vorr_u8(vget_low_u8(outside), vget_high_u8(outside));
  if (!anyByte(any)) {
    const uint8x8x4_t q3 = vld4_u8(sw.q[3]);
    return vcombine_u8(vtbl4_u8(q3, vget_low_u8(i3)), vtbl4_u8(q3, vget_high_u8(i3)));
  }
  const uint8x16_t i1 = vsubq_u8(preAlpha, vdupq_n_u8(32));
  const uint8x16_t i2 = vsubq_u8(preAlpha, vdupq_n_u8(64));
  const uint8x8x4_t q0 = vld4_u8(sw.q[0]), q1 = vld4_u8(sw.q[1]);
  const uint8x8x4_t q2 = vld4_u8(sw.q[2]), q3 = vld4_u8(sw.q[3]);
  uint8x8_t lo = vdup_n_u8(128), hi = vdup_n_u8(128);
  lo = vtbx4_u8(lo, q0, vget_low_u8(preAlpha));
  hi = vtbx4_u8(hi, q0, vget_high_u8(preAlpha));
  lo = vtbx4_u8(lo, q1, vget_low_u8(i1));
  hi = vtbx4_u8(hi, q1, vget_high_u8(i1));
  lo = vtbx4_u8(lo, q2, vget_low_u8(i2));
  hi = vtbx4_u8(hi, q2, vget_high_u8(i2));
  lo = vtbx4_u8(lo, q3, vget_low_u8(i3));
  hi = vtbx4_u8(hi, q3, vget_high_u8(i3));
  return vcombine_u8(lo, hi);
}
#endif

// The recursive weight by one multiplication (arith.h), for previous weights
// pa of at most 127. The weights that the pass writes from such a pa are at
// most 127 too (q(128, 127) = floor(33024 / 258) = 127), so on footage
// chained from weights of 0 every pa is; 128 and more come only from a
// caller's maps (or from those: the still-pixel weight of pa >= 128 is 128),
// and such a block takes the float steps, which give every pair. The least
// multiplier of each pa <= 128, m(pa), meets every quotient: (2 sa m + 2^15)
// >> 16 == q(sa, pa) for all 129 x 129 pairs, which the compiler checks
// below (weightMultipliersExact; the tables hold pa 0 .. 127 only, which
// lets every lookup start from nothing instead of a copy of pa 128's
// multiplier: ARMv7 768x576 real footage, about 0.25 executed instructions
// per pixel). That expression is the rounding doubling multiply-high of
// 16-bit lanes (vqrdmulh; 2 sa m < 2^31, no saturation), so one multiply of
// 8 lanes replaces the reciprocal and the float steps. m(pa) lies in 16256
// .. 32767, a 16-bit table by pa looked up as two byte planes.
//
// AArch64 looks the multipliers up whole: its 64-byte lookups make the two
// planes four instructions for 16 lanes, and real footage at the defaults
// dropped from 17.34 to 16.01 executed instructions per pixel (768x576, 30
// calls). ARMv7's 32-byte lookups would need sixteen (19.22 against the float
// steps' 18.57), so ARMv7 forms them from lines instead (weightLine below).
constexpr bool weightMultipliersExact() {
  for (int pa = 0; pa <= 128; ++pa) {
    const int64_t m = weightMultiplierLeast(pa);
    if (m > 32767) return false;
    for (int sa = 0; sa <= 128; ++sa)
      if (((2 * sa * m + 32768) >> 16) != weightQuotient(sa, pa)) return false;
  }
  return true;
}
static_assert(weightMultipliersExact(), "a weight multiplier misses a quotient");

#if defined(__aarch64__)

// The multipliers of pa 0 .. 127 as two byte planes (low and high byte), in
// natural order, each looked up 64 bytes at a time.
struct WeightMultipliers {
  StillWeights lo, hi;
};

constexpr WeightMultipliers makeWeightMultipliers() {
  WeightMultipliers t{};
  for (int k = 0; k < 4; ++k)
    for (int j = 0; j < 4; ++j)
      for (int i = 0; i < 8; ++i) {
        const int m = weightMultiplierLeast(32 * k + 8 * j + i);
        const int at = 8 * j + i;
        t.lo.q[k][at] = static_cast<uint8_t>(m & 0xFF);
        t.hi.q[k][at] = static_cast<uint8_t>(m >> 8);
      }
  return t;
}
constexpr WeightMultipliers kWeightMultipliers = makeWeightMultipliers();

#if defined(__aarch64__)
// Declares lo0 .. lo7 and hi0 .. hi7, the multiplier tables' registers v16
// .. v31, and loads the tables into them, for loops whose asm lookups name
// those registers (a macro: local register variables belong to the
// function that uses them).
#define TNR_MD_HOLD_WEIGHT_MULTIPLIERS()                                                     \
  register uint8x16_t lo0 asm("v16"), lo1 asm("v17"), lo2 asm("v18"), lo3 asm("v19");      \
  register uint8x16_t hi0 asm("v20"), hi1 asm("v21"), hi2 asm("v22"), hi3 asm("v23");      \
  register uint8x16_t lo4 asm("v24"), lo5 asm("v25"), lo6 asm("v26"), lo7 asm("v27");      \
  register uint8x16_t hi4 asm("v28"), hi5 asm("v29"), hi6 asm("v30"), hi7 asm("v31");      \
  asm("ld1 {v16.16b-v19.16b}, [%4]"                                                        \
      : "=w"(lo0), "=w"(lo1), "=w"(lo2), "=w"(lo3)                                         \
      : "r"(kWeightMultipliers.lo.q[0]), "m"(kWeightMultipliers));                         \
  asm("ld1 {v20.16b-v23.16b}, [%4]"                                                        \
      : "=w"(hi0), "=w"(hi1), "=w"(hi2), "=w"(hi3)                                         \
      : "r"(kWeightMultipliers.hi.q[0]), "m"(kWeightMultipliers));                         \
  asm("ld1 {v24.16b-v27.16b}, [%4]"                                                        \
      : "=w"(lo4), "=w"(lo5), "=w"(lo6), "=w"(lo7)                                         \
      : "r"(kWeightMultipliers.lo.q[2]), "m"(kWeightMultipliers));                         \
  asm("ld1 {v28.16b-v31.16b}, [%4]"                                                        \
      : "=w"(hi4), "=w"(hi5), "=w"(hi6), "=w"(hi7)                                         \
      : "r"(kWeightMultipliers.hi.q[2]), "m"(kWeightMultipliers))
#endif

// Whether every byte of v is at most 127.
inline bool allBelow128(uint8x16_t v) { return vmaxvq_u8(v) < 128; }

// The two byte planes of the multipliers of 16 previous weights, each at
// most 127: the first lookup gives pa 64 .. 127 nothing (0), the second
// leaves pa 0 .. 63 alone (pa - 64 wraps past its end).
struct MultiplierBytes {
  uint8x16_t lo, hi;
};
inline MultiplierBytes multiplierBytes(uint8x16_t pa) {
  const uint8x16_t i1 = vsubq_u8(pa, vdupq_n_u8(64));
  uint8x16_t lo = vqtbl4q_u8(vld1q_u8_x4(kWeightMultipliers.lo.q[0]), pa);
  uint8x16_t hi = vqtbl4q_u8(vld1q_u8_x4(kWeightMultipliers.hi.q[0]), pa);
  lo = vqtbx4q_u8(lo, vld1q_u8_x4(kWeightMultipliers.lo.q[2]), i1);
  hi = vqtbx4q_u8(hi, vld1q_u8_x4(kWeightMultipliers.hi.q[2]), i1);
  return {lo, hi};
}

// recursiveWeight of 16 lanes whose previous weights are all at most 127,
// from the bytes of their multipliers.
inline uint8x16_t weightsByMultiply(uint8x16_t staticAlpha, const MultiplierBytes &mb) {
  const uint8x16x2_t m = vzipq_u8(mb.lo, mb.hi);
  const int16x8_t s0 = vreinterpretq_s16_u16(vmovl_u8(vget_low_u8(staticAlpha)));
  const int16x8_t s1 = vreinterpretq_s16_u16(vmovl_high_u8(staticAlpha));
  const int16x8_t w0 = vqrdmulhq_s16(s0, vreinterpretq_s16_u8(m.val[0]));
  const int16x8_t w1 = vqrdmulhq_s16(s1, vreinterpretq_s16_u8(m.val[1]));
  return lowBytes(vreinterpretq_u16_s16(w0), vreinterpretq_u16_s16(w1));
}

inline uint8x16_t weightsByMultiply(uint8x16_t staticAlpha, uint8x16_t preAlpha) {
  return weightsByMultiply(staticAlpha, multiplierBytes(preAlpha));
}
#else
// ARMv7: the multiplier of pa 0 .. 127 from a line through each group of
// four, m = base(g) + slope(g) x j for pa = 4 g + j (j = 0 .. 3): three
// 32-entry byte tables (the base's two bytes and the slope, at most 255), one
// 32-byte lookup each per 8 lanes, and a widening multiply-add (weightLine,
// arith.h); the compiler checks every pair against the quotient
// (weightLinesExact). Against the float steps
// (newPreAlpha16) this saves about 20 of 47 instructions per 16 pixels.
constexpr bool weightLinesExact() {
  WeightLine lines[32] = {};
  for (int g = 0; g < 32; ++g) lines[g] = weightLine(g);
  for (int pa = 0; pa < 128; ++pa) {
    const WeightLine line = lines[pa >> 2];
    const int64_t m = line.base + line.slope * (pa & 3);
    if (line.base < 0 || line.base > 65535 || m > 32767) return false;
    for (int sa = 0; sa <= 128; ++sa)
      if (((2 * sa * m + 32768) >> 16) != weightQuotient(sa, pa)) return false;
  }
  return true;
}
static_assert(weightLinesExact(), "a weight line misses a quotient");

// The lines' three byte tables, each stored interleaved by 4 (as vst4
// stores four registers of 8) so that one vld4 brings it back as the four
// registers of a 32-byte lookup.
struct WeightLines {
  uint8_t lo[32], hi[32], slope[32];
};

constexpr WeightLines makeWeightLines() {
  WeightLines t{};
  for (int g = 0; g < 32; ++g) {
    const WeightLine line = weightLine(g);
    const int at = 4 * (g & 7) + (g >> 3);
    t.lo[at] = static_cast<uint8_t>(line.base & 0xFF);
    t.hi[at] = static_cast<uint8_t>(line.base >> 8);
    t.slope[at] = static_cast<uint8_t>(line.slope);
  }
  return t;
}
constexpr WeightLines kWeightLines = makeWeightLines();

// Whether every byte of v is at most 127: no top bit in the pairwise maxima
// of the OR of its halves.
inline bool allBelow128(uint8x16_t v) {
  const uint8x8_t both = vorr_u8(vget_low_u8(v), vget_high_u8(v));
  return (vget_lane_u32(vreinterpret_u32_u8(vpmax_u8(both, both)), 0) & 0x80808080u) == 0;
}

// The lines' tables as lookup registers.
struct WeightTables {
  uint8x8x4_t lo, hi, slope;
};
inline WeightTables weightTables() {
  return {vld4_u8(kWeightLines.lo), vld4_u8(kWeightLines.hi), vld4_u8(kWeightLines.slope)};
}

// recursiveWeight of 16 lanes whose previous weights are all at most 127:
// the group and the step within it of all 16 at once, the base's two bytes
// paired into 16-bit lanes by one zip (little-endian: low byte first).
inline uint8x16_t weightsByLine(uint8x16_t staticAlpha, uint8x16_t preAlpha) {
  const WeightTables wt = weightTables();
  const uint8x16_t g = vshrq_n_u8(preAlpha, 2);
  const uint8x16_t j = vandq_u8(preAlpha, vdupq_n_u8(3));
  const uint8x8_t g0 = vget_low_u8(g), g1 = vget_high_u8(g);
  const uint8x16_t lo = vcombine_u8(vtbl4_u8(wt.lo, g0), vtbl4_u8(wt.lo, g1));
  const uint8x16_t hi = vcombine_u8(vtbl4_u8(wt.hi, g0), vtbl4_u8(wt.hi, g1));
  const uint8x16x2_t base = vzipq_u8(lo, hi);
  const uint16x8_t m0 =
      vmlal_u8(vreinterpretq_u16_u8(base.val[0]), vtbl4_u8(wt.slope, g0), vget_low_u8(j));
  const uint16x8_t m1 =
      vmlal_u8(vreinterpretq_u16_u8(base.val[1]), vtbl4_u8(wt.slope, g1), vget_high_u8(j));
  const int16x8_t w0 = vqrdmulhq_s16(vreinterpretq_s16_u16(vmovl_u8(vget_low_u8(staticAlpha))),
                                     vreinterpretq_s16_u16(m0));
  const int16x8_t w1 = vqrdmulhq_s16(vreinterpretq_s16_u16(vmovl_u8(vget_high_u8(staticAlpha))),
                                     vreinterpretq_s16_u16(m1));
  return lowBytes(vreinterpretq_u16_s16(w0), vreinterpretq_u16_s16(w1));
}
#endif

// RoundShift(p x w + c x (128 - w), 7) for 16 lanes; at most 255 x 128.
inline uint8x16_t blend16(uint8x16_t c, uint8x16_t p, uint8x16_t w) {
  const uint8x16_t wc = vsubq_u8(vdupq_n_u8(128), w);
  const uint16x8_t lo =
      vmlal_u8(vmull_u8(vget_low_u8(p), vget_low_u8(w)), vget_low_u8(c), vget_low_u8(wc));
  const uint16x8_t hi =
      vmlal_u8(vmull_u8(vget_high_u8(p), vget_high_u8(w)), vget_high_u8(c), vget_high_u8(wc));
  return vcombine_u8(vrshrn_n_u16(lo, 7), vrshrn_n_u16(hi, 7));
}

// blend16 for AArch64 in one asm statement: in the output loop's chroma
// blend GCC copied the low product before its accumulation (real 1080p at
// the defaults, executed instructions per pixel: AArch64 9.05 to 9.02), and
// in leadingBlocksBelow128's luma blend likewise (8.071 to 8.069).
inline uint8x16_t blend16Pinned(uint8x16_t c, uint8x16_t p, uint8x16_t w) {
#if TNR_MD_NATIVE_NEON && defined(__aarch64__)
  const uint8x16_t wc = vsubq_u8(vdupq_n_u8(128), w);
  uint8x16_t r;
  uint16x8_t hi;
  asm("umull %0.8h, %2.8b, %4.8b\n\t"
      "umull2 %1.8h, %2.16b, %4.16b\n\t"
      "umlal %0.8h, %3.8b, %5.8b\n\t"
      "umlal2 %1.8h, %3.16b, %5.16b\n\t"
      "rshrn %0.8b, %0.8h, #7\n\t"
      "rshrn2 %0.16b, %1.8h, #7"
      : "=&w"(r), "=&w"(hi)
      : "w"(p), "w"(c), "w"(w), "w"(wc));
  return r;
#else
  return blend16(c, p, w);
#endif
}

// The chroma weights of a block: byte p takes the weight of lane 2 x (p >> 1)
// + 1, the right-hand pixel of its pair counted from the block's start; in
// 16-bit lanes, the high byte copied into the low one.
inline uint8x16_t chromaWeights(uint8x16_t w) {
#if defined(__aarch64__)
  // One transposition of w with itself (trn2 takes the odd bytes into both
  // places), which leaves w in its register: the insertion overwrites its
  // operand, which the loop of leadingBlocksBelow128 copied first (real 1080p
  // at the defaults, executed instructions per pixel: AArch64 8.069 to
  // 8.038).
  return vtrn2q_u8(w, w);
#else
  const uint16x8_t w16 = vreinterpretq_u16_u8(w);
  return vreinterpretq_u8_u16(vsriq_n_u16(w16, w16, 8));
#endif
}

// The chroma blend of a block, unmasked: U and V of the 8 pairs
// de-interleaved, each pair weighted by its right-hand pixel (the high byte
// of a 16-bit lane of w), the same RoundShift as blend16.
inline void blendChroma16(uint8_t *curC, const uint8_t *preC, uint8x16_t w) {
  const uint8x8_t cw = vshrn_n_u16(vreinterpretq_u16_u8(w), 8);
  const uint8x8_t cwc = vsub_u8(vdup_n_u8(128), cw);
  const uint8x8x2_t c = vld2_u8(curC);
  const uint8x8x2_t p = vld2_u8(preC);
  uint8x8x2_t r;
  r.val[0] = vrshrn_n_u16(vmlal_u8(vmull_u8(p.val[0], cw), c.val[0], cwc), 7);
  r.val[1] = vrshrn_n_u16(vmlal_u8(vmull_u8(p.val[1], cw), c.val[1], cwc), 7);
  vst2_u8(curC, r);
}

// Stores v at dst; with kMasked, lanes where keep is set keep dst's bytes
// (the lanes that the previous block already updated).
template <bool kMasked>
inline void store16(uint8_t *dst, uint8x16_t v, uint8x16_t keep) {
  if (kMasked) v = vbslq_u8(keep, vld1q_u8(dst), v);
  vst1q_u8(dst, v);
}

struct PassConst {
  uint8x16_t ratioR;      // static_ratio_r in every lane
  int16x8_t ratioDelta2;  // 2 x static_ratio_delta (0 .. 256) in every lane
  // RoundShift(static_ratio_r x g, 7): with static_ratio_r = 2^b (b <= 7), g
  // rounded right by 7 - b (a rounding shift left by b - 7), kept by
  // ratioKept; with static_ratio_r = 0, 0 (nothing kept).
  int8x16_t ratioShift;
  uint8x16_t ratioKept;
  const StillWeights *still;  // weights of still pixels by preAlpha
  ptrdiff_t smooth;           // 0: pHdiff is smoothed; else its pitch, smoothed here
  bool nonNegative;           // PassRows::nonNegative
};

// Outputs and in-place operands of one 16-pixel block; curC/preC are null on
// even rows.
struct BlockIo {
  uint8_t *preAlpha;
  uint8_t *curY;
  const uint8_t *preY;
  uint8_t *curC;
  const uint8_t *preC;
  uint8_t *alpha;
  uint8_t *gain;
};

// staticAlpha = 128 - RoundShift(lAlpha x hAlpha, 7) of 16 pixels (the
// ARMv7 narrowings into the halves of one register, roundNarrow7: GCC
// narrowed into two and moved one half over; real 1080p at the defaults,
// executed instructions per pixel, 10.20 to 10.14).
inline uint8x16_t staticAlpha16(uint8x16_t lAlpha, uint8x16_t hAlpha) {
  const uint16x8_t lo = vmull_u8(vget_low_u8(lAlpha), vget_low_u8(hAlpha));
  const uint16x8_t hi = vmull_u8(vget_high_u8(lAlpha), vget_high_u8(hAlpha));
  return vsubq_u8(vdupq_n_u8(128), roundNarrow7(lo, hi));
}

#if defined(__aarch64__)
constexpr bool kAArch64 = true;
#else
constexpr bool kAArch64 = false;
#endif

// One block of the per-pixel pass, given its staticAlpha. Outputs are
// written in the order pPreAlpha, luma, chroma (kChroma: odd rows), pAlpha,
// gain. kBelow128: the caller knows that every previous weight of the block
// is at most 127. kWeightsWritten: the caller has already written the new
// weights to pPreAlpha (weightsBelow128), which are loaded from there.
template <bool kMasked, bool kChroma, bool kWeightsWritten>
inline void blockOutputs(const BlockIo &io, uint8x16_t staticAlpha, uint8x16_t w,
                         const PassConst &pc, uint8x16_t keep);

template <bool kMasked, bool kChroma, bool kBelow128 = false, bool kWeightsWritten = false>
inline void pixelBlock(const BlockIo &io, uint8x16_t staticAlpha, const PassConst &pc,
                       uint8x16_t keep) {
  uint8x16_t w;
  if (kWeightsWritten) {
    w = vld1q_u8(io.preAlpha);
  } else {
    const uint8x16_t preAlpha = vld1q_u8(io.preAlpha);
#if defined(__aarch64__)
    w = kBelow128 || allBelow128(preAlpha) ? weightsByMultiply(staticAlpha, preAlpha)
                                           : newPreAlpha16(staticAlpha, preAlpha);
#else
    w = kBelow128 || allBelow128(preAlpha) ? weightsByLine(staticAlpha, preAlpha)
                                           : newPreAlpha16(staticAlpha, preAlpha);
#endif
    store16<kMasked>(io.preAlpha, w, keep);
  }
  blockOutputs<kMasked, kChroma, kWeightsWritten>(io, staticAlpha, w, pc, keep);
}

// The outputs of pixelBlock after the new weights w (written by then):
// luma, chroma, pAlpha, gain.
template <bool kMasked, bool kChroma, bool kWeightsWritten>
inline void blockOutputs(const BlockIo &io, uint8x16_t staticAlpha, uint8x16_t w,
                         const PassConst &pc, uint8x16_t keep) {
  const uint8x8_t staticLo = vget_low_u8(staticAlpha);
  const uint8x8_t staticHi = vget_high_u8(staticAlpha);

  if (kWeightsWritten && !kAArch64) {
    // blend16 with both narrowings into one register by roundNarrow7: in
    // this loop GCC pairs two narrowings' halves with two moves (ARMv7 real
    // 1080p 10.63 to 10.60 by an unzip of 16-bit rounded lanes, which
    // roundNarrow7 replaced).
    const uint8x16_t wc = vsubq_u8(vdupq_n_u8(128), w);
    const uint8x16_t c = vld1q_u8(io.curY), p = vld1q_u8(io.preY);
    const uint16x8_t lo =
        vmlal_u8(vmull_u8(vget_low_u8(p), vget_low_u8(w)), vget_low_u8(c), vget_low_u8(wc));
    const uint16x8_t hi =
        vmlal_u8(vmull_u8(vget_high_u8(p), vget_high_u8(w)), vget_high_u8(c), vget_high_u8(wc));
    vst1q_u8(io.curY, roundNarrow7(lo, hi));
  } else {
    store16<kMasked>(io.curY, blend16Pinned(vld1q_u8(io.curY), vld1q_u8(io.preY), w), keep);
  }

  if (kChroma && kMasked) {
    store16<kMasked>(io.curC, blend16(vld1q_u8(io.curC), vld1q_u8(io.preC), chromaWeights(w)),
                     keep);
  } else if (kChroma) {
#if defined(__aarch64__)
    // As 16 interleaved lanes (the masked form's steps): the
    // de-interleaved 8-lane halves take two moves to pair for their store
    // (real 1080p at the defaults, executed instructions per pixel: 9.88
    // to 9.84; the bench scene, with the still blocks likewise, 4.95 to 4.92).
    vst1q_u8(io.curC, blend16Pinned(vld1q_u8(io.curC), vld1q_u8(io.preC), chromaWeights(w)));
#else
    blendChroma16(io.curC, io.preC, w);
#endif
  }

  const uint8x16_t g = vld1q_u8(io.gain);

  // staticRatio = r + RoundShift(staticAlpha^2 x delta, 14), at most 128. With
  // staticAlpha^2 <= 16384 and 2 x delta <= 256, the doubling rounding high
  // half (2 x a x 2 x delta + 2^15) >> 16 is exactly that rounded term.
  const int16x8_t sq0 = vreinterpretq_s16_u16(vmull_u8(staticLo, staticLo));
#if defined(__aarch64__)
  // The high halves in place (no move of them out first).
  const int16x8_t sq1 = vreinterpretq_s16_u16(vmull_high_u8(staticAlpha, staticAlpha));
  (void)staticHi;
#else
  const int16x8_t sq1 = vreinterpretq_s16_u16(vmull_u8(staticHi, staticHi));
#endif
  const int16x8_t t0 = vqrdmulhq_s16(sq0, pc.ratioDelta2);
  const int16x8_t t1 = vqrdmulhq_s16(sq1, pc.ratioDelta2);
  const uint8x16_t ratio =
      vaddq_u8(lowBytes(vreinterpretq_u16_s16(t0), vreinterpretq_u16_s16(t1)), pc.ratioR);
  store16<kMasked>(io.alpha, ratio, keep);

  // Gain: max(RoundShift(staticRatio x g, 7), 1).
#if defined(__aarch64__)
  // Narrowed by the rounding shifts themselves, the high halves multiplied
  // in place, instead of rounding in 16-bit lanes and unzipping (real
  // 1080p at the defaults, executed instructions per pixel: AArch64 9.13
  // to 9.05).
  const uint8x16_t gain =
      vrshrn_high_n_u16(vrshrn_n_u16(vmull_u8(vget_low_u8(ratio), vget_low_u8(g)), 7),
                        vmull_high_u8(ratio, g), 7);
  store16<kMasked>(io.gain, vmaxq_u8(gain, vdupq_n_u8(1)), keep);
#else
  const uint16x8_t gLo = vmull_u8(vget_low_u8(ratio), vget_low_u8(g));
  const uint16x8_t gHi = vmull_u8(vget_high_u8(ratio), vget_high_u8(g));
  store16<kMasked>(io.gain, vmaxq_u8(roundNarrow7(gLo, gHi), vdupq_n_u8(1)), keep);
#endif
}

inline void advance(BlockIo &io, int n, bool chroma) {
  io.preAlpha += n;
  io.curY += n;
  io.preY += n;
  if (chroma) {
    io.curC += n;
    io.preC += n;
  }
  io.alpha += n;
  io.gain += n;
}

inline void walkIo(BlockIo &io, bool chroma) {
  io.preAlpha = walk(io.preAlpha, 16);
  io.curY = walk(io.curY, 16);
  io.preY = walk(io.preY, 16);
  if (chroma) {
    io.curC = walk(io.curC, 16);
    io.preC = walk(io.preC, 16);
  }
  io.alpha = walk(io.alpha, 16);
  io.gain = walk(io.gain, 16);
}

// One still block of 16 pixels at io: every staticAlpha is 128, so the
// weight comes from the still-pixel table, the static ratio is r + delta =
// 128 and the gain max(g, 1). Outputs in the order of pixelBlock.
template <bool kChroma>
inline void stillBlock(const BlockIo &io, uint8x16_t w) {
  vst1q_u8(io.preAlpha, w);
  vst1q_u8(io.curY, blend16(vld1q_u8(io.curY), vld1q_u8(io.preY), w));
#if defined(__aarch64__)
  if (kChroma)  // as in pixelBlock
    vst1q_u8(io.curC, blend16(vld1q_u8(io.curC), vld1q_u8(io.preC), chromaWeights(w)));
#else
  if (kChroma) blendChroma16(io.curC, io.preC, w);
#endif
  vst1q_u8(io.alpha, vdupq_n_u8(128));
  vst1q_u8(io.gain, vmaxq_u8(vld1q_u8(io.gain), vdupq_n_u8(1)));
}

template <bool kChroma>
inline void stillBlock(const BlockIo &io, const StillWeights &sw) {
  stillBlock<kChroma>(io, stillWeight16(sw, vld1q_u8(io.preAlpha)));
}

#if !defined(__aarch64__)
// Two neighbouring still blocks from io. Where all 32 preAlpha lie in 96 ..
// 127 (no lane of either index into the last quarter reaches 32, so no bit
// from 5 up is set in their OR), one range test and one load of that
// quarter serve both.
template <bool kChroma>
inline void stillPair(BlockIo &io, const StillWeights &sw) {
  const uint8x16_t pa = vld1q_u8(io.preAlpha), pb = vld1q_u8(io.preAlpha + 16);
  const uint8x16_t ia = vsubq_u8(pa, vdupq_n_u8(96)), ib = vsubq_u8(pb, vdupq_n_u8(96));
  const uint8x16_t both = vorrq_u8(ia, ib);
  uint8x16_t wa, wb;
  if (!anyByte(vshr_n_u8(vorr_u8(vget_low_u8(both), vget_high_u8(both)), 5))) {
    const uint8x8x4_t q3 = vld4_u8(sw.q[3]);
    wa = vcombine_u8(vtbl4_u8(q3, vget_low_u8(ia)), vtbl4_u8(q3, vget_high_u8(ia)));
    wb = vcombine_u8(vtbl4_u8(q3, vget_low_u8(ib)), vtbl4_u8(q3, vget_high_u8(ib)));
  } else {
    wa = stillWeight16(sw, pa);
    wb = stillWeight16(sw, pb);
  }
  stillBlock<kChroma>(io, wa);
  walkIo(io, kChroma);
  stillBlock<kChroma>(io, wb);
  walkIo(io, kChroma);
}
#endif

// What every row of one call's pass shares.
struct RowPass {
  uint8_t *pCurIn;
  const uint8_t *pPreIn;
  const int16_t *pHdiff;  // row y0's samples
  const uint8_t *rowBuf, *rowBufEnd;
  uint8_t *pAlpha, *pPreAlpha, *gain;
  const uint32_t *pSigmaH;
  int imgHeight, imgWidth, proWidth, gainStride, y0;
  // Steps from row to row of the T rows, the difference rows and the block
  // rows' high sigmas, and where the chroma planes start.
  ptrdiff_t tStride, hStride, sigStride, chroma;
  PassConst pc;
  InterpAligned ia;
  uint8_t lutTable[16], wgtTable[16];
};

// Row y's places: its T row, difference row and high sigmas, and the
// outputs and in-place operands of its pixels from column 0.
struct RowAt {
  const uint8_t *t;
  const int16_t *h;
  const uint32_t *sig;
  bool odd;
  BlockIo io;
};

inline RowAt rowAt(const RowPass &p, int y, bool odd) {
  const ptrdiff_t mapRow = static_cast<ptrdiff_t>(y) * p.gainStride;
  const ptrdiff_t lumaRow = static_cast<ptrdiff_t>(y) * p.imgWidth;
  const ptrdiff_t chromaRow = p.chroma + static_cast<ptrdiff_t>(p.imgWidth) * (y >> 1);
  RowAt r;
  r.t = p.rowBuf + (y - p.y0) * p.tStride;
  r.h = p.pHdiff + (y - p.y0) * p.hStride;
  r.sig = p.pSigmaH + (y >> 3) * p.sigStride;
  r.odd = odd;
  r.io.preAlpha = p.pPreAlpha + mapRow;
  r.io.curY = p.pCurIn + lumaRow;
  r.io.preY = p.pPreIn + lumaRow;
  r.io.curC = odd ? p.pCurIn + chromaRow : nullptr;
  r.io.preC = odd ? p.pPreIn + chromaRow : nullptr;
  r.io.alpha = p.pAlpha + mapRow;
  r.io.gain = p.gain + mapRow;
  return r;
}

inline BlockIo ioAt(const RowAt &r, int x, bool odd) {
  BlockIo io = r.io;
  advance(io, x, odd);
  return io;
}

// A run of still blocks of row r at multiples of 16 from block number block
// (pixel 16 x block), the first of which has its four T columns all 0: it
// continues while the two further T columns that each next block needs are
// 0, at most nLeft blocks; returns its length. Outputs as stillBlock's. Out
// of line, so that its pointers keep registers of their own; it forms them
// from r itself, so that the caller passes three values, not eleven.
template <bool kChroma>
__attribute__((noinline)) int stillRun(const RowAt &r, int block, int nLeft,
                                       const StillWeights &sw) {
  BlockIo io = ioAt(r, 16 * block, kChroma);
  const uint8_t *t = r.t + 2 * block;
  const uint8_t *const t0 = t;
  const uint8_t *const tEnd = t + 2 * nLeft;
#if defined(__aarch64__)
  for (;;) {
    stillBlock<kChroma>(io, sw);
    walkIo(io, kChroma);
    t += 2;
    if (t == tEnd) break;
    uint16_t further;
    std::memcpy(&further, t + 2, sizeof further);
    if (further != 0) break;
  }
#else
  // ARMv7: two blocks at a time while both are still (the four further T
  // columns that they need are 0), then one: the bench scene counts 5.38
  // executed instructions per pixel against 5.60 with AArch64's loop of one
  // block at a time (real footage at the defaults, with few still blocks,
  // 16.30 either way). (AArch64's table lookup holds eight registers; it
  // does better one at a time.)
  stillBlock<kChroma>(io, sw);
  walkIo(io, kChroma);
  t += 2;
  while (tEnd - t >= 4) {
    uint32_t further;
    std::memcpy(&further, t + 2, sizeof further);
    if (further != 0) break;
    stillPair<kChroma>(io, sw);
    t += 4;
  }
  if (t != tEnd) {  // one more where the next block alone is still
    uint16_t further;
    std::memcpy(&further, t + 2, sizeof further);
    if (further == 0) {
      stillBlock<kChroma>(io, sw);
      t += 2;
    }
  }
#endif
  return static_cast<int>(t - t0) / 2;
}

// The same from the block's differences.
inline bool saturated(const int16_t *hdiff, ptrdiff_t smooth, const int16_t *satAbove) {
  return saturated(smoothed16(hdiff, smooth), satAbove);
}

// A run of blocks at multiples of 16 whose four T columns are not all 0
// holds saturated blocks, which take a few stores, and moving ones, whose
// steps alone take most of ARMv7's registers. It is taken in chunks of up to
// kActiveChunk blocks, each in two or three loops that hold only their own
// values in registers. Where the chunk's first block moves and both its
// columns have multiplier sigmas (nearly always on real footage at the
// defaults), the first loop (leadingAlphasByMultiplier) finds the static
// alphas of the blocks from there while they stay so, up to the next still
// or saturated block, and the second (movingBlocks) writes their outputs;
// saturated blocks take saturatedSpan (out of line). Otherwise the first
// loop (sortBlocks) writes the saturated blocks' outputs span by span and
// notes where the moving blocks are between them, the second (movingAlphas)
// finds their static alphas with any form of sigma, the third (movingBlocks)
// writes their outputs. A chunk holds up to a sigma run's blocks (128, 2048
// pixels: a 1080p row's moving blocks in one chunk), so that its loops and
// their set-up run once per row where they ran twice with 64 (real 1080p at
// the defaults, executed instructions per pixel: ARMv7 10.14 to 10.07,
// AArch64 9.63 to 9.58; the stack holds 2.5 KB of it).
constexpr int kActiveChunk = kSigmaRun / 2;

struct Chunk {
  int blocks = 0;        // blocks of the chunk, saturated or moving
  int moving = 0;        // of which moving: at[0 .. moving - 1]
  bool last = false;     // the run ends with this chunk
  bool below128 = false;  // every previous weight of the moving blocks is at most 127
  int at[kActiveChunk];  // the moving blocks, counted from the chunk's first
  uint8_t staticAlpha[kActiveChunk][16];
};

// Saturated blocks from io (t, hdiff and satAbove of its first block column
// for the first), at most nLeft; returns how many (0 where the first is not
// one). A saturated block's four T columns are 128 (lAlpha 128 in every
// lane: the interpolation of equal values) and every smoothed difference
// lies above its column's satAbove (hAlpha 128), so staticAlpha is 0, the
// new weight 0 (0 x anything + 0.5, truncated), the blends keep the current
// frame's bytes (RoundShift(c x 128, 7) = c), which stay as they are, the
// static ratio is r and the gain max(RoundShift(r x g, 7), 1). Outputs in the
// order of pixelBlock. Out of line and without calls, so that its pointers
// and constants keep registers of their own.
template <bool kSmooth>
__attribute__((noinline)) int saturatedSpan(BlockIo io, const uint8_t *t, const int16_t *hdiff,
                                            const int16_t *satAbove, int nLeft,
                                            const PassConst &pcIn) {
  const PassConst pc = pcIn;
  const ptrdiff_t smooth = kSmooth ? pc.smooth : 0;
  const uint8x16_t zero = vdupq_n_u8(0), one = vdupq_n_u8(1);
  uint8_t *preAlpha = io.preAlpha, *alpha = io.alpha, *gain = io.gain;
  int n = 0;
  while (n < nLeft) {
    uint32_t four;
    std::memcpy(&four, t, sizeof four);
    // Where the pass smooths, the block's first and last difference,
    // unsmoothed, screen before the smoothing.
    if (four != 0x80808080u || (kSmooth && (hdiff[0] <= satAbove[0] || hdiff[15] <= satAbove[1])) ||
        !saturated(hdiff, smooth, satAbove))
      break;
    vst1q_u8(preAlpha, zero);
    preAlpha = walk(preAlpha, 16);
    vst1q_u8(alpha, pc.ratioR);
    alpha = walk(alpha, 16);
    const uint8x16_t g = vrshlq_u8(vld1q_u8(gain), pc.ratioShift);
    vst1q_u8(gain, vmaxq_u8(vandq_u8(g, pc.ratioKept), one));
    gain = walk(gain, 16);
    hdiff = walk(hdiff, 16);
    t = walk(t, 2);
    satAbove = walk(satAbove, 2);
    ++n;
  }
  return n;
}

// The first loop, over the blocks from io (t, hdiff and satAbove of its
// first block column for the first), at most nLeft: it writes the saturated
// blocks and notes where the moving ones are, and stops after kActiveChunk
// moving blocks, at the run's end or before a block whose four T columns are
// 0.
template <bool kSmooth>
void sortBlocks(const BlockIo &io, const uint8_t *t, const int16_t *hdiff, const int16_t *satAbove,
                int nLeft, const PassConst &pc, Chunk &c) {
  // First the leading blocks whose T columns hold some value other than 0
  // and 128 (moving, and neither still nor a saturated candidate). While
  // every block moves the chunk needs no list, so this loop only counts them
  // and lists them only where another kind of block follows.
  const int lead = nLeft < kActiveChunk ? nLeft : kActiveChunk;
  int k = 0;
  for (const uint8_t *p = t; k < lead; ++k, p += 2) {
    uint32_t four;
    std::memcpy(&four, p, sizeof four);
    if ((four & 0x7F7F7F7Fu) == 0) break;
  }
  if (k == lead) {
    c.last = k == nLeft;
    c.blocks = c.moving = k;
    return;
  }
  for (int b = 0; b < k; ++b) c.at[b] = b;
  int m = k;
  c.last = true;
  while (k < nLeft) {
    uint32_t four;
    std::memcpy(&four, t + 2 * k, sizeof four);
    if (four == 0) break;
    if (four == 0x80808080u) {
      BlockIo at = io;
      advance(at, 16 * k, false);
      const int s =
          saturatedSpan<kSmooth>(at, t + 2 * k, hdiff + 16 * k, satAbove + 2 * k, nLeft - k, pc);
      k += s;
      if (s > 0) continue;
    }
    if (m == kActiveChunk) {
      c.last = false;
      break;
    }
    c.at[m++] = k++;
  }
  c.blocks = k;
  c.moving = m;
}

// The second loop: the static alphas of the chunk's moving blocks (a block
// whose differences all lie at or below the high sigma gets static alpha 128
// in every lane, which pixelBlock turns into the still block's outputs).
//
// kDense: every block of the chunk moves (at[b] = b), so that the loop
// steps its pointers instead of indexing them from at.
template <bool kSmooth, bool kDense>
__attribute__((noinline)) void movingAlphas(const uint8_t *t, const int16_t *hdiff, SigmaRun &run,
                                            int i, const uint32_t *sigRow, ptrdiff_t smoothIn,
                                            const InterpAligned &iaIn, Chunk &c) {
  // Copies: the byte stores below could alias the callers' structs and c.
  const InterpAligned ia = iaIn;
  const ptrdiff_t smooth = kSmooth ? smoothIn : 0;
  const int moving = c.moving;
  for (int b = 0; b < moving; ++b) {
    const int k = kDense ? b : c.at[b];
    uint32_t four;
    std::memcpy(&four, t + 2 * k, sizeof four);
    const uint8x16_t hAlpha = hAlphaAligned(hdiff + 16 * k, smooth, run, i + 2 * k, sigRow);
    const uint8x16_t sa = four == 0x80808080u  // lAlpha 128: staticAlpha = 128 - hAlpha
                              ? vsubq_u8(vdupq_n_u8(128), hAlpha)
                              : staticAlpha16(interpAligned(four, ia), hAlpha);
    vst1q_u8(c.staticAlpha[b], sa);
  }
}

// Two registers of 16-bit lanes: lanes 0 .. 7, then 8 .. 15.
struct Lanes16 {
  uint16x8_t lo, hi;
};

// lAlpha of an aligned block (interpAligned) left in 16-bit lanes: the
// rounding shift without its narrowing, each lane at most 128.
inline Lanes16 interpAligned16(uint32_t four, const InterpAligned &c) {
#if defined(__aarch64__)
  const uint8x16_t t = vreinterpretq_u8_u32(vdupq_n_u32(four));
  const uint8x16_t left = vqtbl1q_u8(t, c.left);
  const uint8x16_t right = vqtbl1q_u8(t, c.right);
  const uint16x8_t lo = vmlal_u8(vmull_u8(vget_low_u8(left), vget_low_u8(c.wL16)),
                                 vget_low_u8(right), vget_low_u8(c.wR16));
  const uint16x8_t hi = vmlal_high_u8(vmull_high_u8(left, c.wL16), right, c.wR16);
#else
  const uint8x8_t t = vreinterpret_u8_u32(vdup_n_u32(four));
  const uint8x8_t c0 = vtbl1_u8(t, c.idx0);
  const uint8x8_t c1 = vtbl1_u8(t, c.idx1);
  const uint8x8_t c2 = vtbl1_u8(t, c.idx2);
  const uint16x8_t lo = vmlal_u8(vmull_u8(c0, c.wL), c1, c.wR);
  const uint16x8_t hi = vmlal_u8(vmull_u8(c1, c.wL), c2, c.wR);
#endif
  return {vrshrq_n_u16(lo, 3), vrshrq_n_u16(hi, 3)};
}

// hAlphaByMultiplier16 left in 16-bit lanes (each at most 128), with both
// columns' multipliers in the two lanes of m.
template <bool kNonNegative>
inline Lanes16 hAlphaByMultiplierLanes(const Smoothed16 &h, int16x8_t s0, int16x8_t s1,
                                       int32x2_t m) {
  const Smoothed16 d = multiplierExcess<kNonNegative>(h, s0, s1);
  const int16x8_t d0 = d.lo, d1 = d.hi;
  int32x4_t r0 = vqrdmulhq_lane_s32(vmovl_s16(vget_low_s16(d0)), m, 0);
  int32x4_t r1 = vqrdmulhq_lane_s32(vmovl_s16(vget_high_s16(d0)), m, 0);
  int32x4_t r2 = vqrdmulhq_lane_s32(vmovl_s16(vget_low_s16(d1)), m, 1);
  int32x4_t r3 = vqrdmulhq_lane_s32(vmovl_s16(vget_high_s16(d1)), m, 1);
  return {lowHalves(r0, r1), lowHalves(r2, r3)};
}

// staticAlpha16 of lAlpha and hAlpha in 16-bit lanes (each at most 128, so
// that the 16-bit product is exact).
inline uint8x16_t staticAlphaLanes(const Lanes16 &l, const Lanes16 &h) {
  return vsubq_u8(vdupq_n_u8(128), roundNarrow7(vmulq_u16(l.lo, h.lo), vmulq_u16(l.hi, h.hi)));
}

// The static alphas of the blocks of a chunk from its first, into c, up to
// lead of them (each with multiplier sigmas in both columns: multiplierBlocks)
// and up to the first still block (T columns 0) or saturated one (T columns
// 128 and every smoothed difference above its bound, as saturatedSpan finds
// it; it would give the same bytes here, more slowly); returns how many. The
// columns' sigmas and multipliers are loaded straight into every lane from
// pointers that step with the block, with no test of their form per block,
// and the blocks are counted here rather than in sortBlocks. ARMv7, 768x576
// real footage (executed instructions per pixel): the stepped loads and one
// test per chunk instead of per block 13.94 to 13.37; counting here 13.01 to
// 12.83; the sigmas' form noted per block row (multiplierBlocks) 12.83 to
// 12.60; blocks of lAlpha 128 here too, with only saturated ones left to
// saturatedSpan, 12.60 to 12.20 (AArch64 11.62 to 11.11).
//
// It also notes whether every previous weight of its blocks (pa, from
// preAlpha) is at most 127, so that movingBlocks tests that once per chunk
// instead of once per block: a load and an OR here per block against a test
// and a branch there (768x576 real footage, executed instructions per pixel:
// ARMv7 11.48 to 11.29, AArch64 10.73 to 10.64).
template <bool kSmooth, bool kNonNegative>
__attribute__((noinline)) int leadingAlphasByMultiplier(const uint8_t *t, const int16_t *hdiff,
                                                        const uint8_t *pa, const SigmaRun &run,
                                                        int i, ptrdiff_t smoothIn,
                                                        const InterpAligned &iaIn, int lead,
                                                        Chunk &c) {
  const InterpAligned ia = iaIn;
  uint8x16_t paAll = vdupq_n_u8(0);
  const ptrdiff_t smooth = kSmooth ? smoothIn : 0;
#if defined(__aarch64__)
  const int16_t(*sLanes)[8] = run.s16Lanes + i;
#elif TNR_MD_NATIVE_NEON
  const int16_t(*sPairs)[2] = run.s16Pairs + i;
#else
  const int16_t *s16 = run.s16 + i;
#endif
  const int32_t *mul = run.mul + i;
  uint8_t *const first = c.staticAlpha[0];
  uint8_t *out = first;
  uint8_t *const end = out + 16 * lead;
#if defined(__aarch64__)
  // One block; false where it stops the run (a still block, or a saturated
  // one, which saturatedSpan takes).
  const auto step = [&]() -> bool {
    uint32_t four;
    std::memcpy(&four, t, sizeof four);
    t = walk(t, 2);
    if (four == 0) return false;
    // Both columns' sigmas from their lanes in one load, which
    // prepareSigmaRun writes once for the block row's eight rows (real 1080p
    // at the defaults, executed instructions per pixel: AArch64 8.96 to 8.92;
    // ARMv7, whose prepareSigmaRun stores the lanes one register at a time,
    // counted 9.56 against 9.57 that way but the bench scene 5.07 against
    // 5.05, and keeps its two loads); both columns' multipliers in one load,
    // each multiply taking its lane.
    const int16x8x2_t s = vld1q_s16_x2(sLanes[0]);
    sLanes = walk(sLanes, 2);
    const int32x2_t m = vld1_s32(mul);
    mul = walk(mul, 2);
    Smoothed16 h;
    if (kSmooth) {
      h = smoothed16(hdiff, smooth);
      hdiff = walk(hdiff, 16);
    } else {
      // One load of both, stepping its pointer; with the row buffer's
      // pointer stepped by its load too: AArch64 9.19 to 9.13, then 9.02 to
      // 8.96.
      const int16x8x2_t both = vld1q_s16_x2(hdiff);
      hdiff = walk(hdiff, 16);
      h.lo = both.val[0];
      h.hi = both.val[1];
    }
    // hAlpha and lAlpha stay in 16-bit lanes for their product (16-bit
    // multiplies, exact below 2^16): one unzip and one narrowing fewer, and
    // none of GCC's copies around the narrowings (AArch64 9.37 to 9.19, with
    // the multipliers by lane).
    const Lanes16 hLanes = hAlphaByMultiplierLanes<kNonNegative>(h, s.val[0], s.val[1], m);
    uint8x16_t sa;
    if (four == 0x80808080u) {  // lAlpha 128: staticAlpha = 128 - hAlpha
      // saturatedSpan's, as in the loop below.
      const uint8x16_t hAlpha = lowBytes(hLanes.lo, hLanes.hi);
      if (all128(hAlpha) && saturated(h, run.satAbove + (sLanes - 2 - run.s16Lanes)))
        return false;
      sa = vsubq_u8(vdupq_n_u8(128), hAlpha);
    } else {
      sa = staticAlphaLanes(interpAligned16(four, ia), hLanes);
    }
    vst1q_u8(out, sa);
    out = walk(out, 16);
    paAll = vorrq_u8(paAll, vld1q_u8(pa));
    pa = walk(pa, 16);
    return true;
  };
  // Two blocks per test of the end, after one where lead is odd (real 1080p
  // at the defaults, executed instructions per pixel: AArch64 8.92 to 8.84;
  // ARMv7's loop in this form kept its constants on the stack, 10.00
  // against 9.45).
  if ((lead & 1) == 0 || step())
    while (out != end && step() && step()) {
    }
#else
  while (out != end) {
    uint32_t four;
    std::memcpy(&four, t, sizeof four);
    t = walk(t, 2);
    if (four == 0) break;
    // Each load steps its own pointer (ARMv7 folds the steps into them).
    // Both columns' multipliers in one load, each multiply taking its lane.
#if TNR_MD_NATIVE_NEON
    // ARMv7: both sigmas, each stored twice, into every lane of a register
    // each by one load of four to all lanes (d8 .. d11: q4 and q5, which the
    // loop leaves free otherwise; real 1080p at the defaults, executed
    // instructions per pixel: ARMv7 9.57 to 9.51, with the pairs in place of
    // the single sigmas; the bench scene 5.05 either way).
    register int16x8_t s0 asm("q4"), s1 asm("q5");
    asm("vld4.16 {d8[], d9[], d10[], d11[]}, [%2]!"
        : "=w"(s0), "=w"(s1), "+r"(sPairs)
        : "m"(*reinterpret_cast<const int16_t(*)[4]>(sPairs)));
#else
    const int16x8_t s0 = vld1q_dup_s16(s16);
    s16 = walk(s16, 1);
    const int16x8_t s1 = vld1q_dup_s16(s16);
    s16 = walk(s16, 1);
#endif
    const int32x2_t m = vld1_s32(mul);
    mul = walk(mul, 2);
    Smoothed16 h;
    if (kSmooth) {
      h = smoothed16(hdiff, smooth);
      hdiff = walk(hdiff, 16);
    } else {
#if TNR_MD_NATIVE_NEON
      // ARMv7, whose GCC has no such intrinsic: one load of both into a
      // pair of registers named for it, q0 and q1, where GCC put them
      // anyway (real 1080p at the defaults, executed instructions per pixel:
      // ARMv7 9.63 to 9.57).
      register int16x8_t lo asm("q0"), hi asm("q1");
      asm("vld1.16 {d0-d3}, [%2]!"
          : "=w"(lo), "=w"(hi), "+r"(hdiff)
          : "m"(*reinterpret_cast<const int16_t(*)[16]>(hdiff)));
      h.lo = lo;
      h.hi = hi;
#else
      h.lo = vld1q_s16(hdiff);
      hdiff = walk(hdiff, 8);
      h.hi = vld1q_s16(hdiff);
      hdiff = walk(hdiff, 8);
#endif
    }
    // ARMv7 keeps hAlpha in bytes and the unzips in one asm statement: in
    // 16-bit lanes, as AArch64 takes them, GCC copied both halves before
    // the unzips (real 1080p at the defaults, executed instructions per
    // pixel: 9.82 against 9.75 with the multipliers by lane alone, from
    // 9.87).
#if TNR_MD_NATIVE_NEON && defined(__arm__)
    const uint8x16_t hAlpha = hAlphaByMultiplier16<kNonNegative>(h, s0, s1, m);
#else
    const Lanes16 hLanes = hAlphaByMultiplierLanes<kNonNegative>(h, s0, s1, m);
#endif
    uint8x16_t sa;
    if (four == 0x80808080u) {  // lAlpha 128: staticAlpha = 128 - hAlpha
#if !(TNR_MD_NATIVE_NEON && defined(__arm__))
      const uint8x16_t hAlpha = lowBytes(hLanes.lo, hLanes.hi);
#endif
      // saturatedSpan's. Every hAlpha of a saturated block is 128, and that
      // test (four instructions) comes first: on real footage few blocks of
      // lAlpha 128 pass it (1080p at the defaults, executed instructions per
      // pixel: ARMv7 10.60 to 10.46, AArch64 10.26 to 10.20).
#if TNR_MD_NATIVE_NEON
      const int16_t *const satAbove = run.satAbove + (sPairs - 2 - run.s16Pairs);
#else
      const int16_t *const satAbove = run.satAbove + (s16 - 2 - run.s16);
#endif
      if (all128(hAlpha) && saturated(h, satAbove)) break;
      sa = vsubq_u8(vdupq_n_u8(128), hAlpha);
    } else {
#if TNR_MD_NATIVE_NEON && defined(__arm__)
      sa = staticAlpha16(interpAligned(four, ia), hAlpha);
#else
      sa = staticAlphaLanes(interpAligned16(four, ia), hLanes);
#endif
    }
    vst1q_u8(out, sa);
    out = walk(out, 16);
    paAll = vorrq_u8(paAll, vld1q_u8(pa));
    pa = walk(pa, 16);
  }
#endif
  c.below128 = allBelow128(paAll);
  return static_cast<int>(out - first) / 16;
}

// The third loop: the outputs of the chunk's moving blocks (kDense as in the
// second; kBelow128: c.below128 holds; kWeightsWritten: weightsBelow128 has
// written the blocks' new weights).
template <bool kChroma, bool kDense, bool kBelow128 = false, bool kWeightsWritten = false>
__attribute__((noinline)) void movingBlocks(const BlockIo &ioIn, const PassConst &pcIn,
                                            const Chunk &c) {
  // Copies: the byte stores below could alias the callers' structs and c.
  const PassConst pc = pcIn;
  const int moving = c.moving;
  if (kDense) {
    // Pointers that step from block to block (ARMv7 folds the steps into
    // its loads and stores) instead of offsets from the chunk's start.
    BlockIo block = ioIn;
    const uint8_t *sa = c.staticAlpha[0];
    const uint8_t *const end = sa + 16 * moving;
#if defined(__aarch64__)
    if (kBelow128) {
      // The multiplier tables held in v16 .. v31 for the whole loop, loaded
      // and looked up by asm statements that name those registers: GCC
      // otherwise loads all four 64-byte tables again in every block (its
      // lookups overwrite their first registers), and pairs them from single
      // loads into the registers a lookup needs. Real 1080p at the defaults,
      // executed instructions per pixel: 9.84 to 9.63 (with the luma blend
      // narrowed as blend16 does, not by pixelBlock's unzip), the bench scene
      // 4.92 to 4.95 (a chunk's few blocks there pay for the tables' loads).
      // Local register variables serve only as the asm statements' operands.
      TNR_MD_HOLD_WEIGHT_MULTIPLIERS();
      while (sa != end) {
        const uint8x16_t staticAlpha = vld1q_u8(sa);
        sa = walk(sa, 16);
        const uint8x16_t pa = vld1q_u8(block.preAlpha);
        const uint8x16_t i1 = vsubq_u8(pa, vdupq_n_u8(64));
        MultiplierBytes mb;
        asm("tbl %0.16b, {v16.16b-v19.16b}, %1.16b"
            : "=w"(mb.lo)
            : "w"(pa), "w"(lo0), "w"(lo1), "w"(lo2), "w"(lo3));
        asm("tbl %0.16b, {v20.16b-v23.16b}, %1.16b"
            : "=w"(mb.hi)
            : "w"(pa), "w"(hi0), "w"(hi1), "w"(hi2), "w"(hi3));
        asm("tbx %0.16b, {v24.16b-v27.16b}, %1.16b"
            : "+w"(mb.lo)
            : "w"(i1), "w"(lo4), "w"(lo5), "w"(lo6), "w"(lo7));
        asm("tbx %0.16b, {v28.16b-v31.16b}, %1.16b"
            : "+w"(mb.hi)
            : "w"(i1), "w"(hi4), "w"(hi5), "w"(hi6), "w"(hi7));
        vst1q_u8(block.preAlpha, weightsByMultiply(staticAlpha, mb));
        pixelBlock<false, kChroma, true, true>(block, staticAlpha, pc, vdupq_n_u8(0));
        walkIo(block, kChroma);
      }
      return;
    }
#endif
    while (sa != end) {
      const uint8x16_t staticAlpha = vld1q_u8(sa);
      sa = walk(sa, 16);
      pixelBlock<false, kChroma, kBelow128, kWeightsWritten>(block, staticAlpha, pc,
                                                              vdupq_n_u8(0));
      walkIo(block, kChroma);
    }
    return;
  }
  const BlockIo io = ioIn;
  for (int b = 0; b < moving; ++b) {
    BlockIo block = io;
    advance(block, 16 * c.at[b], kChroma);
    pixelBlock<false, kChroma>(block, vld1q_u8(c.staticAlpha[b]), pc, vdupq_n_u8(0));
  }
}

#if defined(__aarch64__)
// One block of leadingBlocksBelow128: its static alphas into sa, as
// leadingAlphasByMultiplier finds them from smoothed differences, each
// pointer stepped past the block; false where the block stops the run (a
// still block, or a saturated one), with nothing written.
template <bool kNonNegative>
__attribute__((always_inline)) inline bool staticAlphasAt(const uint8_t *&t,
                                                          const int16_t (*&sLanes)[8],
                                                          const int32_t *&mul,
                                                          const int16_t *&hdiff,
                                                          const SigmaRun &run,
                                                          const InterpAligned &ia,
                                                          uint8x16_t &sa) {
  uint32_t four;
  std::memcpy(&four, t, sizeof four);
  t = walk(t, 2);
  if (four == 0) return false;
  const int16x8x2_t s = vld1q_s16_x2(sLanes[0]);
  sLanes = walk(sLanes, 2);
  const int32x2_t m = vld1_s32(mul);
  mul = walk(mul, 2);
  const int16x8x2_t both = vld1q_s16_x2(hdiff);
  hdiff = walk(hdiff, 16);
  const Smoothed16 h = {both.val[0], both.val[1]};
  const Lanes16 hLanes = hAlphaByMultiplierLanes<kNonNegative>(h, s.val[0], s.val[1], m);
  if (four == 0x80808080u) {  // lAlpha 128: staticAlpha = 128 - hAlpha
    // The differences loaded again for the rare test of a saturated block,
    // which leaves h no register to hold after the excesses (the test only
    // saves time: a saturated block taken here gets the same bytes).
    const uint8x16_t hAlpha = lowBytes(hLanes.lo, hLanes.hi);
    if (all128(hAlpha) &&
        saturated(smoothed16(hdiff - 16, 0), run.satAbove + (sLanes - 2 - run.s16Lanes)))
      return false;
    sa = vsubq_u8(vdupq_n_u8(128), hAlpha);
  } else {
    sa = staticAlphaLanes(interpAligned16(four, ia), hLanes);
  }
  return true;
}

// The block's outputs from its static alphas and its multipliers' bytes;
// block stepped past it by plain additions (GCC then addresses the in-place
// rows from one offset; stepped by walk, it copied three pointers per block
// in the loop of two: 80 instructions per block without chroma against 78).
template <bool kChroma>
__attribute__((always_inline)) inline void outputsByMultiplier(BlockIo &block, uint8x16_t sa,
                                                               const MultiplierBytes &mb,
                                                               const PassConst &pc) {
  const uint8x16_t w = weightsByMultiply(sa, mb);
  vst1q_u8(block.preAlpha, w);
  blockOutputs<false, kChroma, false>(block, sa, w, pc, vdupq_n_u8(0));
  advance(block, 16, kChroma);
}
#endif

#if defined(__aarch64__)
// AArch64: the blocks from io whose static alphas leadingAlphasByMultiplier
// would find (at most lead of them, the same stops), with their outputs
// written as each block's static alpha is found, in one loop: no static
// alphas stored and loaded back, each previous weight loaded once, one loop
// to control. The previous weights are tested two blocks at a time (one
// load of both) before either block is written; where one of them is 128
// or more, the loop stops before the pair and sets high, and the caller
// takes those blocks by the two loops, whose outputs test each block.
// Real 1080p at the defaults, executed instructions per pixel: AArch64
// 8.14 to 8.07 (per block about 78 instructions without chroma and 86 with
// it, against 38 + 40 and 38 + 52 in the two loops; one quad still goes to
// the stack and is loaded back once per block: the tables take v16 .. v31
// and the constants most of the rest). One block per test of the loop and
// of the weights counted no fewer (79 per block without chroma); the second
// block's weights held from the pair's load, one more reload from the
// stack. Returns how many blocks it wrote. Only for smoothed differences: where
// the pass smooths them itself, the smoothing's steps leave too few
// registers and its chunks are short (the bench scene, 4.351 executed
// instructions per pixel with the two loops, 4.359 with this one).
template <bool kChroma, bool kNonNegative>
__attribute__((noinline)) int leadingBlocksBelow128(const BlockIo &ioIn, const uint8_t *t,
                                                    const int16_t *hdiff, const SigmaRun &run,
                                                    int i, const PassConst &pcIn,
                                                    const InterpAligned &iaIn, int lead,
                                                    bool &high) {
  const InterpAligned ia = iaIn;
  const PassConst pc = pcIn;
  const int16_t(*sLanes)[8] = run.s16Lanes + i;
  const int32_t *mul = run.mul + i;
  BlockIo block = ioIn;
  uint8_t *const first = block.preAlpha;
  uint8_t *const end = first + 16 * lead;
  // The multiplier tables held in v16 .. v31, as movingBlocks holds them.
  TNR_MD_HOLD_WEIGHT_MULTIPLIERS();
  // The multipliers' bytes of previous weights pa by the four lookups of
  // the tables in v16 .. v31 (a macro: the tables' register variables
  // cannot be captured).
#define TNR_MD_MULTIPLIERS(pa, mb)                                                     \
  asm("tbl %0.16b, {v16.16b-v19.16b}, %2.16b\n\t"                                       \
      "tbl %1.16b, {v20.16b-v23.16b}, %2.16b\n\t"                                       \
      "tbx %0.16b, {v24.16b-v27.16b}, %3.16b\n\t"                                       \
      "tbx %1.16b, {v28.16b-v31.16b}, %3.16b"                                           \
      : "=&w"(mb.lo), "=&w"(mb.hi)                                                      \
      : "w"(pa), "w"(vsubq_u8(pa, vdupq_n_u8(64))), "w"(lo0), "w"(lo1), "w"(lo2),       \
        "w"(lo3), "w"(hi0), "w"(hi1), "w"(hi2), "w"(hi3), "w"(lo4), "w"(lo5), "w"(lo6), \
        "w"(lo7), "w"(hi4), "w"(hi5), "w"(hi6), "w"(hi7))
  high = false;
  uint8x16_t sa;
  MultiplierBytes mb;
  if (lead & 1) {
    const uint8x16_t pa = vld1q_u8(block.preAlpha);
    if (!allBelow128(pa)) {
      high = true;
      return 0;
    }
    if (!staticAlphasAt<kNonNegative>(t, sLanes, mul, hdiff, run, ia, sa))
      return 0;
    TNR_MD_MULTIPLIERS(pa, mb);
    outputsByMultiplier<kChroma>(block, sa, mb, pc);
  }
  while (block.preAlpha != end) {
    const uint8x16x2_t pa = vld1q_u8_x2(block.preAlpha);
    if (!allBelow128(vorrq_u8(pa.val[0], pa.val[1]))) {
      high = true;
      break;
    }
    if (!staticAlphasAt<kNonNegative>(t, sLanes, mul, hdiff, run, ia, sa))
      break;
    TNR_MD_MULTIPLIERS(pa.val[0], mb);
    outputsByMultiplier<kChroma>(block, sa, mb, pc);
    if (!staticAlphasAt<kNonNegative>(t, sLanes, mul, hdiff, run, ia, sa))
      break;
    // The second block's loaded again: held through the first block's steps
    // it would take a register that they need.
    const uint8x16_t pa1 = vld1q_u8(block.preAlpha);
    TNR_MD_MULTIPLIERS(pa1, mb);
    outputsByMultiplier<kChroma>(block, sa, mb, pc);
  }
#undef TNR_MD_MULTIPLIERS
  return static_cast<int>(block.preAlpha - first) / 16;
}
#endif

// The new weights of the chunk's moving blocks (dense, every previous
// weight at most 127: c.below128) written to pPreAlpha from preAlpha, ahead
// of the loop that writes their other outputs. ARMv7 holds the weight
// lines' three 32-byte tables (six of its sixteen quad registers) here
// alone: in one loop with the blends GCC reloaded two of them from the stack
// and copied registers around the lookups in every block (about 10
// instructions per 16 pixels), where the second loop now loads the weights
// back (one load). Real 1080p at the defaults, executed instructions per
// pixel: ARMv7 10.72 to 10.63, and to 10.60 with that loop's luma blend
// narrowed by an unzip (pixelBlock). AArch64, whose 32 registers hold the
// loop whole, keeps one loop: 10.48 this way against 10.26.
#if !defined(__aarch64__)
__attribute__((noinline)) void weightsBelow128(uint8_t *preAlpha, const Chunk &c) {
  const uint8_t *sa = c.staticAlpha[0];
  const uint8_t *const end = sa + 16 * c.moving;
#if TNR_MD_NATIVE_NEON
  // The three tables held in d4 .. d7, d24 .. d27 and d28 .. d31 and looked
  // up by asm statements that name them, the base's lookups straight into
  // the pair of registers that its zip takes: GCC copied one lookup's result
  // into its place in every block (weightsByLine; real 1080p at the
  // defaults, executed instructions per pixel: ARMv7 9.51 to 9.45, the bench
  // scene 5.05 to 5.04).
  register uint8x8_t lo0 asm("d4"), lo1 asm("d5"), lo2 asm("d6"), lo3 asm("d7");
  register uint8x8_t hi0 asm("d24"), hi1 asm("d25"), hi2 asm("d26"), hi3 asm("d27");
  register uint8x8_t sl0 asm("d28"), sl1 asm("d29"), sl2 asm("d30"), sl3 asm("d31");
  asm("vld4.8 {d4-d7}, [%4]" : "=w"(lo0), "=w"(lo1), "=w"(lo2), "=w"(lo3)
      : "r"(kWeightLines.lo), "m"(kWeightLines));
  asm("vld4.8 {d24-d27}, [%4]" : "=w"(hi0), "=w"(hi1), "=w"(hi2), "=w"(hi3)
      : "r"(kWeightLines.hi), "m"(kWeightLines));
  asm("vld4.8 {d28-d31}, [%4]" : "=w"(sl0), "=w"(sl1), "=w"(sl2), "=w"(sl3)
      : "r"(kWeightLines.slope), "m"(kWeightLines));
  while (sa != end) {
    const uint8x16_t staticAlpha = vld1q_u8(sa);
    sa = walk(sa, 16);
    const uint8x16_t pa = vld1q_u8(preAlpha);
    const uint8x16_t g = vshrq_n_u8(pa, 2);
    const uint8x16_t j = vandq_u8(pa, vdupq_n_u8(3));
    uint8x16_t lo, hi, slope;
    asm("vtbl.8 %e0, {d4-d7}, %e3\n\t"
        "vtbl.8 %f0, {d4-d7}, %f3\n\t"
        "vtbl.8 %e1, {d24-d27}, %e3\n\t"
        "vtbl.8 %f1, {d24-d27}, %f3\n\t"
        "vtbl.8 %e2, {d28-d31}, %e3\n\t"
        "vtbl.8 %f2, {d28-d31}, %f3\n\t"
        "vzip.8 %q0, %q1"
        : "=&w"(lo), "=&w"(hi), "=&w"(slope)
        : "w"(g), "w"(lo0), "w"(lo1), "w"(lo2), "w"(lo3), "w"(hi0), "w"(hi1), "w"(hi2),
          "w"(hi3), "w"(sl0), "w"(sl1), "w"(sl2), "w"(sl3));
    // lo and hi now hold the bases of lanes 0 .. 7 and 8 .. 15 (zipped).
    const uint16x8_t m0 =
        vmlal_u8(vreinterpretq_u16_u8(lo), vget_low_u8(slope), vget_low_u8(j));
    const uint16x8_t m1 =
        vmlal_u8(vreinterpretq_u16_u8(hi), vget_high_u8(slope), vget_high_u8(j));
    const int16x8_t w0 = vqrdmulhq_s16(vreinterpretq_s16_u16(vmovl_u8(vget_low_u8(staticAlpha))),
                                       vreinterpretq_s16_u16(m0));
    const int16x8_t w1 = vqrdmulhq_s16(vreinterpretq_s16_u16(vmovl_u8(vget_high_u8(staticAlpha))),
                                       vreinterpretq_s16_u16(m1));
    vst1q_u8(preAlpha, lowBytes(vreinterpretq_u16_s16(w0), vreinterpretq_u16_s16(w1)));
    preAlpha = walk(preAlpha, 16);
  }
#else
  while (sa != end) {
    const uint8x16_t staticAlpha = vld1q_u8(sa);
    sa = walk(sa, 16);
    vst1q_u8(preAlpha, weightsByLine(staticAlpha, vld1q_u8(preAlpha)));
    preAlpha = walk(preAlpha, 16);
  }
#endif
}
#endif

// A run of blocks of row r at multiples of 16 from block number block whose
// four T columns are not all 0 (the first one's are not), at most nLeft;
// returns its length. Its pointers are formed here from r and block, as in
// stillRun, and again for each chunk from the blocks done: GCC kept the
// outputs' pointers twice on the stack when they were stepped from chunk to
// chunk (real 768x576 at the defaults, executed instructions per pixel:
// ARMv7 9.159 to 9.140, AArch64 8.134 to 8.111; the bench scene 4.485 to
// 4.486 and 4.186 to 4.184). (saturatedSpan's outputs by reference rather
// than by value: 0.002 fewer there, 0.015 more on the bench scene.)
template <bool kChroma, bool kSmooth>
__attribute__((noinline)) int activeRun(const RowPass &p, const RowAt &r, SigmaRun &run, int block,
                                        int nLeft) {
  const uint32_t *const sigRow = r.sig;
  const PassConst &pc = p.pc;
  const InterpAligned &ia = p.ia;
  Chunk c;
  int n = 0;
  while (n < nLeft) {
    const uint8_t *const t = r.t + 2 * (block + n);
    uint32_t four;
    std::memcpy(&four, t, sizeof four);
    if (four == 0) break;  // a still block: the run ends
    const BlockIo io = ioAt(r, 16 * (block + n), kChroma);
    const int16_t *const hdiff = r.h + 16 * (block + n);
    const int i = 2 * (block + n) - run.col0;
    const int lead = nLeft - n < kActiveChunk ? nLeft - n : kActiveChunk;
    int blocks = four == 0x80808080u
                     ? saturatedSpan<kSmooth>(io, t, hdiff, run.satAbove + i, nLeft - n, pc)
                     : 0;
    if (blocks == 0) {
      const int byMultiplier = multiplierBlocks(run, t, i, lead);
      bool twoLoops = byMultiplier > 0;
#if defined(__aarch64__)
      // AArch64, smoothed differences: one loop while every previous weight
      // is at most 127; the two loops from a pair of blocks where one is not.
      if constexpr (!kSmooth) {
        if (twoLoops) {
          bool high = false;
          blocks = pc.nonNegative
                       ? leadingBlocksBelow128<kChroma, true>(io, t, hdiff, run, i, pc, ia,
                                                              byMultiplier, high)
                       : leadingBlocksBelow128<kChroma, false>(io, t, hdiff, run, i, pc, ia,
                                                               byMultiplier, high);
          twoLoops = blocks == 0 && high;
        }
      }
#endif
      if (twoLoops) {
        c.moving = blocks =
            pc.nonNegative
                ? leadingAlphasByMultiplier<kSmooth, true>(t, hdiff, io.preAlpha, run, i,
                                                           pc.smooth, ia, byMultiplier, c)
                : leadingAlphasByMultiplier<kSmooth, false>(t, hdiff, io.preAlpha, run, i,
                                                            pc.smooth, ia, byMultiplier, c);
        if (blocks > 0 && c.below128) {
#if defined(__aarch64__)
          movingBlocks<kChroma, true, true>(io, pc, c);
#else
          weightsBelow128(io.preAlpha, c);
          movingBlocks<kChroma, true, true, true>(io, pc, c);
#endif
        } else if (blocks > 0) {
          movingBlocks<kChroma, true>(io, pc, c);
        }
      }
    }
    if (blocks == 0) {
      // A block with a column that has no multiplier sigma (or a saturated
      // one that the screens of saturatedSpan passed over) and what follows
      // it, as sorted.
      sortBlocks<kSmooth>(io, t, hdiff, run.satAbove + i, nLeft - n, pc, c);
      if (c.moving == c.blocks) {
        movingAlphas<kSmooth, true>(t, hdiff, run, i, sigRow, pc.smooth, ia, c);
        movingBlocks<kChroma, true>(io, pc, c);
      } else {
        movingAlphas<kSmooth, false>(t, hdiff, run, i, sigRow, pc.smooth, ia, c);
        movingBlocks<kChroma, false>(io, pc, c);
      }
      blocks = c.blocks;
    }
    n += blocks;
  }
  return n;
}

// The last block of a row whose width is not a multiple of 16, moved back
// to end at the row's end. Lanes before the end of the aligned blocks were
// already updated in place by the previous block: their results here come
// from updated inputs and are discarded. Each lane takes the high sigma of
// its own pixel's block column.
__attribute__((noinline)) void movedBackBlock(const RowPass &p, const RowAt &r) {
  const int x = p.proWidth & ~15;
  const int offsetX = p.proWidth - 16;
  const uint8x16_t lAlpha =
      vcombine_u8(interpHalf(r.t, offsetX, p.rowBufEnd, p.lutTable, p.wgtTable),
                  interpHalf(r.t, offsetX + 8, p.rowBufEnd, p.lutTable, p.wgtTable));
  const uint8x16_t hAlpha = hAlpha16(r.h + offsetX, p.pc.smooth, laneHighSigma(r.sig, offsetX));
  const uint8x16_t keep =
      vcltq_u8(vld1q_u8(kLaneIndex), vdupq_n_u8(static_cast<uint8_t>(x - offsetX)));
  const uint8x16_t staticAlpha = staticAlpha16(lAlpha, hAlpha);
  if (r.odd)
    pixelBlock<true, true>(ioAt(r, offsetX, r.odd), staticAlpha, p.pc, keep);
  else
    pixelBlock<true, false>(ioAt(r, offsetX, r.odd), staticAlpha, p.pc, keep);
}

// A row narrower than one block: the block is moved back to start at
// proWidth - 16 < 0, so pixel X sits in lane X + pad of zero-padded local
// copies and only those lanes are copied back. Chroma pairs count from that
// start, as in any moved-back block.
__attribute__((noinline)) void narrowRow(const RowPass &p, int y) {
  const RowAt r = rowAt(p, y, (y & 1) != 0);
  const int pad = 16 - p.proWidth;
  int16_t h[16] = {0};
  uint8_t pa[16] = {0}, cy[16] = {0}, py[16] = {0}, cc[16] = {0}, pcb[16] = {0};
  uint8_t al[16] = {0}, gn[16] = {0};
  const size_t n = static_cast<size_t>(p.proWidth);
  std::memcpy(h + pad, r.h, n * sizeof(int16_t));
  std::memcpy(pa + pad, r.io.preAlpha, n);
  std::memcpy(cy + pad, r.io.curY, n);
  std::memcpy(py + pad, r.io.preY, n);
  std::memcpy(gn + pad, r.io.gain, n);
  if (r.odd) {
    std::memcpy(cc + pad, r.io.curC, n);
    std::memcpy(pcb + pad, r.io.preC, n);
  }
  // lAlpha of pixels 0 .. 15 from a padded copy of the T row, shifted by pad.
  uint8_t t[24] = {0};
  std::memcpy(t, r.t, static_cast<size_t>((p.proWidth + 7) / 8 + 2));
  uint8_t lShift[32] = {0};
  vst1q_u8(lShift + pad, vcombine_u8(interpHalf(t, 0, t + sizeof t, p.lutTable, p.wgtTable),
                                     interpHalf(t, 8, t + sizeof t, p.lutTable, p.wgtTable)));
  const uint8x16_t lAlpha = vld1q_u8(lShift);
  const uint8x16_t hAlpha = hAlpha16(h, 0, laneHighSigma(r.sig, -pad));
  BlockIo io{pa, cy, py, r.odd ? cc : nullptr, pcb, al, gn};
  const uint8x16_t staticAlpha = staticAlpha16(lAlpha, hAlpha);
  if (r.odd)
    pixelBlock<false, true>(io, staticAlpha, p.pc, vdupq_n_u8(0));
  else
    pixelBlock<false, false>(io, staticAlpha, p.pc, vdupq_n_u8(0));
  std::memcpy(r.io.preAlpha, pa + pad, n);
  std::memcpy(r.io.curY, cy + pad, n);
  if (r.odd) std::memcpy(r.io.curC, cc + pad, n);
  std::memcpy(r.io.alpha, al + pad, n);
  std::memcpy(r.io.gain, gn + pad, n);
}

// Row y of the pass, at least 16 pixels wide: the blocks at multiples of 16
// (fixed lane patterns; lanes 0 .. 7 and 8 .. 15 lie in block columns x / 8
// and x / 8 + 1), then a moved-back last block where the width is not a
// multiple of 16. The high sigmas come from a run of kSigmaRun block
// columns, reset when the block row or the run changes. Each row forms its
// few pointers afresh from y (rowAt), into a RowAt on the stack that
// stillRun and activeRun read: a loop that stepped them from row to row
// would hold a dozen of them, most of them on ARMv7's stack.
//
// The row's runs and the still/active dispatch in one piece of code per
// row (the chroma and the smoothing fixed per instance), with stillRun and
// activeRun given the row's places and a block number instead of a dozen
// pointers and values each. Real 768x576 at the defaults, where the row's
// set-up is paid over 768 pixels, executed instructions per pixel: ARMv7
// 9.27 to 9.16 (passRow and alignedBlocks, each out of line then, 0.27 to
// 0.13), AArch64 8.24 to 8.13; real 1080p 8.89 to 8.84 and 7.90 to 7.86;
// the bench scene, many still and active runs per row, 4.54 to 4.48 and
// 4.24 to 4.19. (activeRun inlined here as well counted 9.17.) Inlined
// into passRows, which takes the rows in pairs, even then odd, so that no
// row tests its parity: ARMv7 9.140 to 9.130, AArch64 8.111 to 8.088 (out
// of line, one call per row, ARMv7 9.137; inlined with a parity test per
// row, ARMv7 9.145, AArch64 8.097); real 1080p 8.834 to 8.830 and 7.856 to
// 7.847; the bench scene 4.486 to 4.482 and 4.184 to 4.176.
template <bool kChroma, bool kSmooth>
__attribute__((always_inline)) inline void passRow(const RowPass &p, SigmaRun &run, int y) {
  const RowAt r = rowAt(p, y, kChroma);
  const int aligned = p.proWidth >> 4;
  for (int b0 = 0; b0 < aligned; b0 += kSigmaRun / 2) {
    const int b1 = aligned - b0 > kSigmaRun / 2 ? b0 + kSigmaRun / 2 : aligned;
    if (run.row != (y >> 3) || run.col0 != 2 * b0) {
      run.row = y >> 3;
      run.col0 = 2 * b0;
      run.cols = 2 * (b1 - b0);
      run.sig = r.sig + run.col0;
      run.ready = false;
    }
    // Where the four T columns are 0, lAlpha and with it the motion alpha
    // are 0 whatever hAlpha is: a still block, and so are the blocks after
    // it while the two further T columns each needs are 0.
    for (int b = b0; b < b1;) {
      uint32_t four;
      std::memcpy(&four, r.t + 2 * b, sizeof four);
      if (four == 0) {
        b += stillRun<kChroma>(r, b, b1 - b, *p.pc.still);
      } else {
        if (!run.ready) prepareSigmaRun(run);
        b += activeRun<kChroma, kSmooth>(p, r, run, b, b1 - b);
      }
    }
  }
  if (p.proWidth & 15) movedBackBlock(p, r);
}

// The rows [y0, y1) of the pass, at least 16 pixels wide, an even row and
// the odd one below it at a time.
template <bool kSmooth>
void passRows(const RowPass &p, int y0, int y1) {
  SigmaRun run;
  int y = y0;
  if (y & 1) passRow<true, kSmooth>(p, run, y++);
  for (; y + 1 < y1; y += 2) {
    passRow<false, kSmooth>(p, run, y);
    passRow<true, kSmooth>(p, run, y + 1);
  }
  if (y < y1) passRow<false, kSmooth>(p, run, y);
}

// The pass over rows [y0, y1); with smoothHere (grids at least 16 pixels
// wide), pHdiff is the unsmoothed plane and each moving block smooths the
// samples it needs.
void pixelRows(const Frames &f, const Maps &m, const Grid &g, const PassRows &r, bool smoothHere) {
  RowPass p;
  p.pCurIn = f.cur;
  p.pPreIn = f.pre;
  p.pHdiff = r.hdiff;
  p.rowBuf = r.rowBuf;
  p.rowBufEnd = r.rowBufEnd;
  p.pAlpha = m.alpha;
  p.pPreAlpha = m.preAlpha;
  p.gain = m.gain;
  p.pSigmaH = r.sigmaH;
  p.imgHeight = f.height;
  p.imgWidth = f.width;
  p.proWidth = g.width;
  p.gainStride = m.stride;
  p.y0 = r.y0;
  p.tStride = (g.width + 7) / 8 + 2;
  p.hStride = g.width + 2;
  p.sigStride = (g.width + 7) / 8 + 8;
  p.chroma = static_cast<ptrdiff_t>(f.width) * f.height;

  const uint8_t ratioR = staticRatioR(r.ratioRBit);
  p.pc.ratioR = vdupq_n_u8(ratioR);
  p.pc.ratioDelta2 = vdupq_n_s16(static_cast<int16_t>(2 * (128 - ratioR)));
  p.pc.ratioShift = vdupq_n_s8(static_cast<int8_t>(ratioR != 0 ? r.ratioRBit - 7 : 0));
  p.pc.ratioKept = vdupq_n_u8(ratioR != 0 ? 0xFF : 0);
  p.pc.still = &kStillWeights;
  p.pc.smooth = smoothHere ? g.width + 2 : 0;
  p.pc.nonNegative = r.nonNegative;
  p.ia = interpAlignedConst();
  std::memcpy(p.lutTable, kLutTable, sizeof p.lutTable);
  std::memcpy(p.wgtTable, kWgtTable, sizeof p.wgtTable);

  if (g.width < 16) {
    for (int y = r.y0; y < r.y1; ++y) narrowRow(p, y);
  } else if (p.pc.smooth != 0) {
    passRows<true>(p, r.y0, r.y1);
  } else {
    passRows<false>(p, r.y0, r.y1);
  }
}

}  // namespace

void pixelPass_neon(const Frames &f, const Maps &m, const Grid &g, const PassRows &r) {
  pixelRows(f, m, g, r, false);
}

void pixelPassSmooth_neon(const Frames &f, const Maps &m, const Grid &g, const PassRows &r) {
  pixelRows(f, m, g, r, true);
}

}  // namespace tnr_md
