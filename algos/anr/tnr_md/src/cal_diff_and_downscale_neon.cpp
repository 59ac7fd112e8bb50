// Unweighted frame difference with 4x4 patch downscale, vector form: one
// 8-lane pass per block (4 luma rows, 2 chroma rows). Band and block placement
// as in the per-sample form; the last block is moved back to end at the
// frame's right edge and recomputes the overlap with identical values.
#if TNR_MD_HAVE_NEON

#include <cstdlib>

#include "arith.h"
#include "kernels.h"
#include "neon.h"

namespace tnr_md {

namespace {

// Current minus previous of 8 bytes, widened (exact: never saturates).
inline int16x8_t diff8(uint8x8_t cur, uint8x8_t pre) {
  return vqsubq_s16(vreinterpretq_s16_u16(vmovl_u8(cur)), vreinterpretq_s16_u16(vmovl_u8(pre)));
}

// Lanes 0..3 and 4..7 of v summed: the left and right 4x4 halves.
inline void halfSums(int16x8_t v, int64_t out[2]) {
  const int64x2_t s = vpaddlq_s32(vpaddlq_s16(v));
  out[0] = vgetq_lane_s64(s, 0);
  out[1] = vgetq_lane_s64(s, 1);
}

}  // namespace

void calDiffAndDownScale_neon(const Frames &f, int16_t *pLdiff, int16_t *pHdiff, int16_t *pSigma,
                              int lDiffStride) {
  const uint8_t *pCurIn = f.cur, *pPreIn = f.pre;
  const int imgHeight = f.height, imgWidth = f.width;
  const int stepY = 8, stepX = 8, shiftBits = 6;
  const int lastProNum = imgWidth & 7;
  const int lastProRow = imgHeight & 3;
  const ptrdiff_t width = imgWidth;
  const ptrdiff_t hDiffStride = width + 2;
  const uint8_t *pCurUV = pCurIn + width * imgHeight;
  const uint8_t *pPreUV = pPreIn + width * imgHeight;

  for (int y = 0; y < imgHeight; y += stepY) {
    const int offsetRow = (y + stepY <= imgHeight) ? y : y - stepY + lastProRow;
    const ptrdiff_t offsetLdiff = (y / stepY + 1) * static_cast<ptrdiff_t>(lDiffStride) + 1;
    int X = 0;
    for (int x = 0, k = 0; x < imgWidth; x += stepX, ++k) {
      int16x8_t sumY = vdupq_n_s16(0), sumU = vdupq_n_s16(0), sumV = vdupq_n_s16(0);
      int16x8_t sumYUV = vdupq_n_s16(0);
      for (int i = 0; i < 2; ++i) {
        // 16 chroma bytes from byte X of chroma row offsetRow / 2 + i; only
        // the first 8 (pairs X/2 .. X/2 + 3) are used. The other 8 reach at
        // most 8 bytes into the next chroma row: every band starts at or
        // before imgHeight - 8, so that row is at most imgHeight / 2 - 2 and
        // the load never passes the end of the frame.
        const ptrdiff_t uvRow = offsetRow / 2 + i;
        const uint8x8x2_t cUV = vld2_u8(pCurUV + uvRow * width + X);
        const uint8x8x2_t pUV = vld2_u8(pPreUV + uvRow * width + X);
        // Zipping with itself gives lane j the pair j >> 1.
        const int16x8_t dUPairs = diff8(cUV.val[0], pUV.val[0]);
        const int16x8_t dVPairs = diff8(cUV.val[1], pUV.val[1]);
        const int16x8_t dU = vzipq_s16(dUPairs, dUPairs).val[0];
        const int16x8_t dV = vzipq_s16(dVPairs, dVPairs).val[0];
        const int16x8_t absUV = vaddq_s16(vabsq_s16(dU), vabsq_s16(dV));
        for (int r = 2 * i; r < 2 * i + 2; ++r) {
          const ptrdiff_t row = offsetRow + r;
          const int16x8_t dY =
              diff8(vld1_u8(pCurIn + row * width + X), vld1_u8(pPreIn + row * width + X));
          const int16x8_t h = vaddq_s16(vabsq_s16(dY), absUV);
          vst1q_s16(pHdiff + (row + 1) * hDiffStride + X + 1, h);
          sumY = vaddq_s16(sumY, dY);
          sumYUV = vaddq_s16(sumYUV, h);
        }
        // Each chroma row serves two luma rows.
        sumU = vaddq_s16(sumU, vaddq_s16(dU, dU));
        sumV = vaddq_s16(sumV, vaddq_s16(dV, dV));
      }
      int64_t sY[2], sU[2], sV[2], sYUV[2];
      halfSums(sumY, sY);
      halfSums(sumU, sU);
      halfSums(sumV, sV);
      halfSums(sumYUV, sYUV);
      for (int half = 0; half < 2; ++half) {
        // Arithmetic shifts: floor division by 64.
        const int64_t dsDiff = std::llabs(sY[half] >> shiftBits) +
                               std::llabs(sU[half] >> shiftBits) +
                               std::llabs(sV[half] >> shiftBits);
        pLdiff[offsetLdiff + 2 * k + half] = static_cast<int16_t>(dsDiff);
        pSigma[offsetLdiff + 2 * k + half] =
            static_cast<int16_t>(std::llabs(dsDiff - (sYUV[half] >> shiftBits)));
      }
      X += (x + 2 * stepX <= imgWidth) ? stepX : lastProNum;
    }
  }
}

}  // namespace tnr_md

#endif  // TNR_MD_HAVE_NEON
