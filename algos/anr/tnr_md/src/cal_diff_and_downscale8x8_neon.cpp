// Frame difference with 8x8 block downscale, vector form: one block per step,
// 8 luma rows of 8 lanes, the chroma pairs de-interleaved and widened to the
// block's 8 luma columns.
#include <cstdint>
#include <cstring>

#include "arith.h"
#include "kernels.h"
#include "neon.h"

namespace tnr_md {

namespace {

// |x| of a 32-bit value, wrapping (|INT32_MIN| stays INT32_MIN).
inline uint32_t abs32(uint32_t x) { return static_cast<int32_t>(x) < 0 ? 0u - x : x; }

// Differences dU, dV of the chroma pairs that serve luma columns cx .. cx + 7
// of one chroma row, one lane per luma column. The pairs start at byte
// cx & ~1; an odd cx needs pairs (cx - 1) / 2 .. (cx + 7) / 2, bytes cx - 1 ..
// cx + 8. The 16-byte de-interleaving load reads bytes (cx & ~1) .. +15; when
// those would pass the end of the frame (last chroma row, last block), the
// bytes up to the frame's end are copied into a local block first.
struct ChromaDiff {
  int16x8_t du, dv;
};

inline ChromaDiff chromaDiff(const uint8_t *cur, const uint8_t *pre, bool oddCol, size_t avail) {
  uint8x8x2_t c, p;
  if (avail >= 16) {
    c = vld2_u8(cur);
    p = vld2_u8(pre);
  } else {
    uint8_t cb[16] = {0}, pb[16] = {0};
    std::memcpy(cb, cur, avail);
    std::memcpy(pb, pre, avail);
    c = vld2_u8(cb);
    p = vld2_u8(pb);
  }
  // Per pair j (lane j): the exact difference of widened bytes, never saturated.
  const int16x8_t u = vqsubq_s16(vreinterpretq_s16_u16(vmovl_u8(c.val[0])),
                                 vreinterpretq_s16_u16(vmovl_u8(p.val[0])));
  const int16x8_t v = vqsubq_s16(vreinterpretq_s16_u16(vmovl_u8(c.val[1])),
                                 vreinterpretq_s16_u16(vmovl_u8(p.val[1])));
  // Zipping a vector with itself duplicates each pair for its two columns.
  const int16x8x2_t zu = vzipq_s16(u, u);
  const int16x8x2_t zv = vzipq_s16(v, v);
  if (!oddCol) return {zu.val[0], zv.val[0]};
  // Odd cx: columns cx .. cx + 7 take pairs 0, 1, 1, 2, 2, 3, 3, 4.
  return {vextq_s16(zu.val[0], zu.val[1], 1), vextq_s16(zv.val[0], zv.val[1], 1)};
}

inline int64_t sumLanes(int16x8_t v) {
  const int64x2_t s = vpaddlq_s32(vpaddlq_s16(v));
  return vgetq_lane_s64(s, 0) + vgetq_lane_s64(s, 1);
}

}  // namespace

void calDiffAndDownScale8x8_neon(uint8_t *pCurIn, uint8_t *pPreIn, int16_t *pLdiff, int16_t *pHdiff,
                                 int16_t *pSigma, int imgHeight, int imgWidth, int proHeight,
                                 int proWidth, int lDiffStride, int sigmaStride, float uv_ratio) {
  const float p = uv_ratio * 128.0f;
  const int32_t uvRatioFix = p > 0.0f ? truncToInt(static_cast<double>(p) + 0.5)
                                      : truncToInt(static_cast<double>(p) - 0.5);
  const int16_t uvf16 = low16(uvRatioFix);
  const int hDiffStride = proWidth + 2;
  const size_t frameBytes = static_cast<size_t>(imgWidth) * imgHeight * 3 / 2;
  const size_t chromaStart = static_cast<size_t>(imgWidth) * imgHeight;

  // Blocks are 8x8; when proWidth (proHeight) is not a multiple of 8 the last
  // block of a row (column) is moved back to end at the grid's edge and
  // overlaps its neighbour: its pHdiff samples are recomputed with equal
  // values, its block sums cover its own 64 samples.
  for (int y = 0, by = 0; y < proHeight; y += 8, ++by) {
    const int offsetRow = y + 8 <= proHeight ? y : proHeight - 8;
    int16_t *ldRow = pLdiff + (by + 1) * lDiffStride + 1;
    int16_t *sgRow = pSigma + (by + 4) * sigmaStride + 4;
    for (int x = 0, bx = 0; x < proWidth; x += 8, ++bx) {
      const int cx = x + 8 <= proWidth ? x : proWidth - 8;
      const bool oddCol = (cx & 1) != 0;
      int16x8_t sumY = vdupq_n_s16(0), sumU = vdupq_n_s16(0), sumV = vdupq_n_s16(0);
      int16x8_t sumH = vdupq_n_s16(0);
      ChromaDiff ch{};
      for (int k = 0; k < 8; ++k) {
        const int row = offsetRow + k;
        // A new chroma row at every even luma row, and at the first row.
        if (k == 0 || (row & 1) == 0) {
          const size_t off = chromaStart + static_cast<size_t>(row >> 1) * imgWidth + (cx & ~1);
          ch = chromaDiff(pCurIn + off, pPreIn + off, oddCol, frameBytes - off);
        }
        const size_t lo = static_cast<size_t>(row) * imgWidth + cx;
        const int16x8_t dY = vqsubq_s16(vreinterpretq_s16_u16(vmovl_u8(vld1_u8(pCurIn + lo))),
                                        vreinterpretq_s16_u16(vmovl_u8(vld1_u8(pPreIn + lo))));
        // t = Low16(RoundShift((|dU| + |dV|) * uvf16, 7)), the product exact in 32 bits.
        const int16x8_t absUV = vaddq_s16(vabsq_s16(ch.du), vabsq_s16(ch.dv));
        const int16x8_t t = vcombine_s16(vrshrn_n_s32(vmull_n_s16(vget_low_s16(absUV), uvf16), 7),
                                         vrshrn_n_s32(vmull_n_s16(vget_high_s16(absUV), uvf16), 7));
        const int16x8_t h = vaddq_s16(vabsq_s16(dY), t);  // wraps
        vst1q_s16(pHdiff + (row + 1) * hDiffStride + cx + 1, vshlq_n_s16(h, 5));
        // Column sums: dY, dU, dV stay within +-2040; h wraps in 16 bits.
        sumY = vaddq_s16(sumY, dY);
        sumU = vaddq_s16(sumU, ch.du);
        sumV = vaddq_s16(sumV, ch.dv);
        sumH = vaddq_s16(sumH, h);
      }
      const int32_t sumValueY00 = static_cast<int32_t>(sumLanes(sumY) >> 1);
      const int64_t aU = (sumLanes(sumU) < 0 ? -sumLanes(sumU) : sumLanes(sumU)) >> 1;
      const int64_t aV = (sumLanes(sumV) < 0 ? -sumLanes(sumV) : sumLanes(sumV)) >> 1;
      const uint32_t sumValueU00 = static_cast<uint32_t>(symRoundShift(aU * uvRatioFix, 7));
      const uint32_t sumValueV00 = static_cast<uint32_t>(symRoundShift(aV * uvRatioFix, 7));
      const uint32_t dsDiff00 =
          abs32(static_cast<uint32_t>(sumValueY00)) + abs32(sumValueU00) + abs32(sumValueV00);
      const uint32_t sumValueYUV00 = static_cast<uint32_t>(sumLanes(sumH) >> 1);
      ldRow[bx] = low16(dsDiff00);
      sgRow[bx] = low16(abs32(dsDiff00 - sumValueYUV00));
    }
  }
}

}  // namespace tnr_md
