// Unweighted frame difference with 4x4 patch downscale, per-sample form.
//
// The frame is walked in bands of 8 rows and blocks of 8 columns, but only the
// first 4 rows of a band are read and written. Each block yields two
// low-resolution entries, one per 4x4 half. A last block that does not fit is
// moved back to end at the frame's right edge; the last band is placed by
// `imgHeight` & 3 (so it starts at imgHeight - 8 when imgHeight mod 8 is 2 and
// at imgHeight - 12 when it is 4 or 6, the latter overlapping the band before
// it completely); its low-resolution row still follows the loop position.
#include <cstdlib>

#include "kernels.h"

namespace tnr_md {

void calDiffAndDownScale_c(const Frames &f, int16_t *pLdiff, int16_t *pHdiff, int16_t *pSigma,
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
      int sumY[2] = {0, 0}, sumU[2] = {0, 0}, sumV[2] = {0, 0}, sumYUV[2] = {0, 0};
      for (int r = 0; r < 4; ++r) {
        const ptrdiff_t row = offsetRow + r;
        const uint8_t *cY = pCurIn + row * width + X;
        const uint8_t *pY = pPreIn + row * width + X;
        const uint8_t *cUV = pCurUV + (row >> 1) * width + X;
        const uint8_t *pUV = pPreUV + (row >> 1) * width + X;
        int16_t *h = pHdiff + (row + 1) * hDiffStride + X + 1;
        for (int j = 0; j < 8; ++j) {
          const int c = 2 * (j >> 1);
          const int dY = cY[j] - pY[j];
          const int dU = cUV[c] - pUV[c];
          const int dV = cUV[c + 1] - pUV[c + 1];
          const int H = std::abs(dY) + std::abs(dU) + std::abs(dV);
          h[j] = static_cast<int16_t>(H);
          const int half = j >> 2;
          sumY[half] += dY;
          sumU[half] += dU;
          sumV[half] += dV;
          sumYUV[half] += H;
        }
      }
      for (int half = 0; half < 2; ++half) {
        // Arithmetic shifts: floor division by 64, so a sum of -1 gives -1.
        const int dsDiff = std::abs(sumY[half] >> shiftBits) + std::abs(sumU[half] >> shiftBits) +
                           std::abs(sumV[half] >> shiftBits);
        pLdiff[offsetLdiff + 2 * k + half] = static_cast<int16_t>(dsDiff);
        pSigma[offsetLdiff + 2 * k + half] =
            static_cast<int16_t>(std::abs(dsDiff - (sumYUV[half] >> shiftBits)));
      }
      X += (x + 2 * stepX <= imgWidth) ? stepX : lastProNum;
    }
  }
}

}  // namespace tnr_md
