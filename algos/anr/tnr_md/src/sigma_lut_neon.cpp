// Sigma estimation, vector form: separable 9-tap smoothing (10 13 15 17 18 17
// 15 13 10, rounded shift by 7) in blocks of 8 lanes, then the two scaled
// tables.
#include <cstdint>
#include <type_traits>

#include "arith.h"
#include "kernels.h"
#include "neon.h"

namespace tnr_md {

namespace {

// The kernel's taps in one d register: 10, 13, 15, 17 in lanes 0 .. 3 of
// k0, the centre's 18 in lane 0 of k1. A multiply by a lane keeps them there
// (by a constant, ARMv7 would rebuild each one in a d register per step).
struct Kernel9 {
  int16x4_t k0, k1;
};

inline Kernel9 kernel9() {
  static const int16_t k[8] = {10, 13, 15, 17, 18, 0, 0, 0};
  return {vld1_s16(k), vld1_s16(k + 4)};
}

// The 9-tap kernel on 4 lanes given the four pair sums (16-bit, wrapped) and
// the centre: 32-bit accumulation, then RoundShift by 7.
inline int32x4_t taps4(int16x4_t s08, int16x4_t s17, int16x4_t s26, int16x4_t s35, int16x4_t c,
                       const Kernel9 &k) {
  int32x4_t acc = vmull_lane_s16(s08, k.k0, 0);
  acc = vmlal_lane_s16(acc, s17, k.k0, 1);
  acc = vmlal_lane_s16(acc, s26, k.k0, 2);
  acc = vmlal_lane_s16(acc, s35, k.k0, 3);
  acc = vmlal_lane_s16(acc, c, k.k1, 0);
  return vrshrq_n_s32(acc, 7);
}

struct Taps8 {
  int32x4_t lo, hi;
};

inline Taps8 taps8(int16x8_t s08, int16x8_t s17, int16x8_t s26, int16x8_t s35, int16x8_t c,
                   const Kernel9 &k) {
  return {taps4(vget_low_s16(s08), vget_low_s16(s17), vget_low_s16(s26), vget_low_s16(s35),
                vget_low_s16(c), k),
          taps4(vget_high_s16(s08), vget_high_s16(s17), vget_high_s16(s26), vget_high_s16(s35),
                vget_high_s16(c), k)};
}

// max(TruncToInt(f * scale + 0.5f), 32), product and sum rounded separately.
inline int32x4_t scaleEntry(float32x4_t f, float32x4_t scale) {
  const int32x4_t v = vcvtq_s32_f32(vaddq_f32(vmulq_f32(f, scale), vdupq_n_f32(0.5f)));
  return vmaxq_s32(v, vdupq_n_s32(32));
}

// The low 16 bits of each lane of lo, then of hi: one unzip (GCC narrowed
// into two registers and copied one half across).
inline int16x8_t low16x8(int32x4_t lo, int32x4_t hi) {
  return vuzpq_s16(vreinterpretq_s16_s32(lo), vreinterpretq_s16_s32(hi)).val[0];
}

// Horizontal pass, one block: a, b the input columns c0 - 4 .. c0 + 3 and
// c0 + 4 .. c0 + 11, written to scratch columns c0 .. c0 + 7 at tmp.
inline void hBlock(int16x8_t a, int16x8_t b, int16_t *tmp, const Kernel9 &k) {
  const int16x8_t s08 = vaddq_s16(a, b);
  const int16x8_t s17 = vaddq_s16(vextq_s16(a, b, 1), vextq_s16(a, b, 7));
  const int16x8_t s26 = vaddq_s16(vextq_s16(a, b, 2), vextq_s16(a, b, 6));
  const int16x8_t s35 = vaddq_s16(vextq_s16(a, b, 3), vextq_s16(a, b, 5));
  const Taps8 t = taps8(s08, s17, s26, s35, vextq_s16(a, b, 4), k);
  // The rounded value lies in -18688 .. 18687: its low 16 bits keep it.
  vst1q_s16(tmp, low16x8(t.lo, t.hi));
}

// The tables of one block row's 8 columns at rowL, rowH from its vertical
// sums v.
inline void vOut(const Taps8 &v, uint16_t *rowL, uint32_t *rowH, float32x4_t scaleL,
                 float32x4_t scaleH) {
  const float32x4_t fLo = vcvtq_f32_s32(v.lo);
  const float32x4_t fHi = vcvtq_f32_s32(v.hi);
  // pSigmaL keeps the low 16 bits.
  vst1q_s16(reinterpret_cast<int16_t *>(rowL),
            low16x8(scaleEntry(fLo, scaleL), scaleEntry(fHi, scaleL)));
  vst1q_s32(reinterpret_cast<int32_t *>(rowH), scaleEntry(fLo, scaleH));
  vst1q_s32(reinterpret_cast<int32_t *>(rowH + 4), scaleEntry(fHi, scaleH));
}

// The tables of kRows output rows from the kRows + 8 scratch rows around them.
template <int kRows>
inline void vOutRows(const int16x8_t *rows, uint16_t *rowL, uint32_t *rowH, int tabStride,
                     float32x4_t scaleL, float32x4_t scaleH, const Kernel9 &k) {
  for (int j = 0; j < kRows; ++j) {
    const int16x8_t *r = rows + j;
    vOut(taps8(vaddq_s16(r[0], r[8]), vaddq_s16(r[1], r[7]), vaddq_s16(r[2], r[6]),
               vaddq_s16(r[3], r[5]), r[4], k),
         rowL + j * tabStride, rowH + j * tabStride, scaleL, scaleH);
  }
}

// Vertical pass, one block of kRows (1 or 2) output rows: scratch rows y ..
// y + kRows + 7 from t (at the block's columns), the tables at rowL, rowH
// and, for the second row, tabStride elements on. Two rows share 8 of their
// 9 loads (real 1080p at the defaults, executed instructions per pixel: the
// stage 0.171 to 0.159 on ARMv7, 0.179 to 0.163 on AArch64).
template <int kRows>
inline void vBlock(const int16_t *t, int stride, uint16_t *rowL, uint32_t *rowH, int tabStride,
                   float32x4_t scaleL, float32x4_t scaleH, const Kernel9 &k) {
  int16x8_t rows[kRows + 8];
  for (int i = 0; i < kRows + 8; ++i, t = walk(t, stride)) rows[i] = vld1q_s16(t);
  vOutRows<kRows>(rows, rowL, rowH, tabStride, scaleL, scaleH, k);
}

// The same from the kRows + 8 rows' pointers r, each stepped on by 8 (AArch64,
// whose loads step a pointer by a constant but not by a register: one
// pointer per row instead of each row's address formed from the one above).
template <int kRows>
inline void vBlockStepped(const int16_t **r, uint16_t *rowL, uint32_t *rowH, int tabStride,
                          float32x4_t scaleL, float32x4_t scaleH, const Kernel9 &k) {
  int16x8_t rows[kRows + 8];
  for (int i = 0; i < kRows + 8; ++i) {
    rows[i] = vld1q_s16(r[i]);
    r[i] = walk(r[i], 8);
  }
  vOutRows<kRows>(rows, rowL, rowH, tabStride, scaleL, scaleH, k);
}

}  // namespace

void sigmaLut_neon(const int16_t *pIn, int16_t *pTmpBuf, const SigmaTables &out,
                   const SigmaScales &scale, int rows, int cols, int stride) {
  if (rows <= 0 || cols <= 0) return;
  // Rows narrower than one block: the per-sample form, which writes only the
  // scratch and table columns of the valid area.
  if (cols < 8) return sigmaLut_c(pIn, pTmpBuf, out, scale, rows, cols, stride);
  uint16_t *pSigmaL = out.low;
  uint32_t *pSigmaH = out.high;
  const float32x4_t scaleL = vdupq_n_f32(sigmaTableScale(scale.low));
  const float32x4_t scaleH = vdupq_n_f32(sigmaTableScale(scale.high));
  const int lastProNum = cols & 7;
  const Kernel9 k = kernel9();

  // Both passes: blocks of 8 at 0, 8, 16, .. with their pointers stepped
  // on, then, when cols is not a multiple of 8, a last block moved back to
  // start at cols - 8, recomputing the overlap with equal values (real
  // 1080p at the defaults, executed instructions per pixel: the stage 0.21
  // to 0.17 on ARMv7, where the block's start was chosen per block).
  const int whole = cols / 8;
  //
  // Horizontal pass over every row of the bordered plane (-4 .. rows + 3).
  // A block at c0 reads input columns c0 - 4 .. c0 + 11 (inside the 4-sample
  // border) and writes scratch columns c0 + 4 .. c0 + 11; one block's
  // columns c0 + 4 .. c0 + 11 are the next one's first eight.
  for (int r = -4; r < rows + 4; ++r) {
    const int16_t *in = pIn + r * stride - 4;
    int16_t *tmp = pTmpBuf + (r + 4) * stride + 4;
    // Two blocks per step, a and b taking turns as the left input, so that
    // neither is copied (real 768x576 at the defaults, executed
    // instructions per pixel: ARMv7 9.172 to 9.165, AArch64 8.179 to 8.174).
    int16x8_t a = vld1q_s16(in), b;
    for (int i = whole / 2; i > 0; --i) {
      in = walk(in, 8);
      b = vld1q_s16(in);
      hBlock(a, b, tmp, k);
      tmp = walk(tmp, 8);
      in = walk(in, 8);
      a = vld1q_s16(in);
      hBlock(b, a, tmp, k);
      tmp = walk(tmp, 8);
    }
    if (whole & 1) {
      in = walk(in, 8);
      hBlock(a, vld1q_s16(in), tmp, k);
    }
    if (lastProNum) {
      const int16_t *last = pIn + r * stride + cols - 12;
      hBlock(vld1q_s16(last), vld1q_s16(last + 8), pTmpBuf + (r + 4) * stride + cols - 4, k);
    }
  }
  // Vertical pass: scratch rows y .. y + 8 (input rows y - 4 .. y + 4) at the
  // block's columns, then the tables at columns c0 .. c0 + 7 of row y; two
  // rows per step, the last odd one alone.
  auto vRows = [&](auto rowsPerStep, int y) {
    constexpr int kRows = decltype(rowsPerStep)::value;
    const int16_t *t = pTmpBuf + y * stride + 4;
    uint16_t *rowL = pSigmaL + y * stride;
    uint32_t *rowH = pSigmaH + y * stride;
#if defined(__aarch64__)
    // A pointer per scratch row (real 768x576 at the defaults, executed
    // instructions per pixel: 8.174 to 8.167; ARMv7 steps its one pointer
    // by the stride in each load).
    const int16_t *r[kRows + 8];
    for (int i = 0; i < kRows + 8; ++i) r[i] = t + i * stride;
    for (int i = 0; i < whole; ++i) {
      vBlockStepped<kRows>(r, rowL, rowH, stride, scaleL, scaleH, k);
      rowL = walk(rowL, 8);
      rowH = walk(rowH, 8);
    }
#else
    for (int i = 0; i < whole; ++i) {
      vBlock<kRows>(t, stride, rowL, rowH, stride, scaleL, scaleH, k);
      t = walk(t, 8);
      rowL = walk(rowL, 8);
      rowH = walk(rowH, 8);
    }
#endif
    if (lastProNum) {
      const int c0 = cols - 8;
      vBlock<kRows>(pTmpBuf + y * stride + 4 + c0, stride, pSigmaL + y * stride + c0,
                    pSigmaH + y * stride + c0, stride, scaleL, scaleH, k);
    }
  };
  int y = 0;
  for (; y + 2 <= rows; y += 2) vRows(std::integral_constant<int, 2>(), y);
  if (y < rows) vRows(std::integral_constant<int, 1>(), y);
}

}  // namespace tnr_md
