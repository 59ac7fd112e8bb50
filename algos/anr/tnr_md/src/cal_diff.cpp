// Frame difference with light clipping: a scalar two-pass variant of the 8x8
// block difference that first removes the brightness change of each 32x32
// cell, so that a change of light is not taken for motion.
//
// Pass 1 stores the raw differences of every grid luma sample and every
// chroma byte under the grid in pHdiffTmp (its chroma area mirrors the chroma
// plane byte for byte) and the floor mean of each cell's clipped differences
// in pDsHdiff. Pass 2 reads only those two planes.
//
// Both passes work on 2x2 quads counted from the origin of their cell or
// block, and every quad takes one "U" and one "V" value: the chroma-area
// elements (row >> 1, col) and (row >> 1, col + 1). With even grid sizes that
// is the quad's own chroma pair. A moved-back last cell or block of an odd
// grid starts at an odd column or row; its quads then take, for an odd col,
// the V byte of one pair and the U byte of the next, and for an odd row the
// chroma row of the quad's upper luma row. All of these bytes lie inside the
// grid's chroma area, so no byte outside the frame or the planes is touched.
//
// Sums and products are formed in 64 bits: with the documented parameter
// ranges they equal the 32-bit results, and no extreme uv_ratio or
// light_clip can overflow them. Every store keeps the low 16 bits.
#include <algorithm>
#include <cstdlib>

#include "arith.h"
#include "kernels.h"

namespace tnr_md {

namespace {

// The raw difference s pulled toward zero by the cell mean m: keeps the sign
// of s, never grows; a difference of the opposite sign to m is unchanged.
inline int64_t compensate(int64_t s, int64_t m) {
  const int64_t a = std::min(std::llabs(s - m), std::llabs(s));
  return s > 0 ? a : -a;
}

// Tested in this order, so a negative clipRange gives -clipRange for every
// d < -clipRange and clipRange for the rest.
inline int64_t clipDiff(int64_t d, int64_t clipRange) {
  if (d < -clipRange) return -clipRange;
  if (d > clipRange) return clipRange;
  return d;
}

}  // namespace

void calDiff_c(uint8_t *pCurIn, uint8_t *pPreIn, int16_t *pLdiff, int16_t *pHdiff, int16_t *pSigma,
               int16_t *pHdiffTmp, int16_t *pDsHdiff, int imgHeight, int imgWidth, int proHeight,
               int proWidth, int lDiffStride, int sigmaStride, float uv_ratio, float light_clip) {
  const int64_t uvFix = uvRatioFix(uv_ratio);
  const int64_t clipRange = truncToInt(light_clip);
  const ptrdiff_t width = imgWidth;
  const ptrdiff_t pw = proWidth;
  const ptrdiff_t hDiffStride = pw + 2;
  const int hdiffScale = 5;
  const uint8_t *pCurUV = pCurIn + width * imgHeight;
  const uint8_t *pPreUV = pPreIn + width * imgHeight;
  int16_t *pTmpY = pHdiffTmp;
  int16_t *pTmpUV = pHdiffTmp + pw * proHeight;
  const ptrdiff_t dsHdiffStride = (proWidth + 31) >> 5;
  const ptrdiff_t dsHdiffHgt = (proHeight + 31) >> 5;
  const ptrdiff_t planeSize = dsHdiffStride * dsHdiffHgt;

  // Pass 1: raw differences and the clipped cell means. A last cell that does
  // not fit is moved back to end at the grid's edge (its overlap gets the
  // same raw values again); its means go to the cell of the loop position.
  {
    const int step = 32, shiftBits = 10;
    for (int y = 0; y < proHeight; y += step) {
      const ptrdiff_t offsetY = (y + step <= proHeight) ? y : proHeight - step;
      for (int x = 0; x < proWidth; x += step) {
        const ptrdiff_t offsetX = (x + step <= proWidth) ? x : proWidth - step;
        int64_t sumY = 0, sumU = 0, sumV = 0;
        for (int c = 0; c < step / 2; ++c) {
          for (int a = 0; a < step / 2; ++a) {
            const ptrdiff_t row = offsetY + 2 * a, col = offsetX + 2 * c;
            const ptrdiff_t y0 = row * width + col, y1 = y0 + width;
            const ptrdiff_t uv = (row >> 1) * width + col;
            const int diffY00 = pCurIn[y0] - pPreIn[y0];
            const int diffY01 = pCurIn[y0 + 1] - pPreIn[y0 + 1];
            const int diffY10 = pCurIn[y1] - pPreIn[y1];
            const int diffY11 = pCurIn[y1 + 1] - pPreIn[y1 + 1];
            const int diffU = pCurUV[uv] - pPreUV[uv];
            const int diffV = pCurUV[uv + 1] - pPreUV[uv + 1];
            int16_t *tY = pTmpY + row * pw + col;
            tY[0] = static_cast<int16_t>(diffY00);
            tY[1] = static_cast<int16_t>(diffY01);
            tY[pw] = static_cast<int16_t>(diffY10);
            tY[pw + 1] = static_cast<int16_t>(diffY11);
            int16_t *tUV = pTmpUV + (row >> 1) * pw + col;
            tUV[0] = static_cast<int16_t>(diffU);
            tUV[1] = static_cast<int16_t>(diffV);
            sumY += clipDiff(diffY00, clipRange) + clipDiff(diffY01, clipRange) +
                    clipDiff(diffY10, clipRange) + clipDiff(diffY11, clipRange);
            sumU += 4 * clipDiff(diffU, clipRange);
            sumV += 4 * clipDiff(diffV, clipRange);
          }
        }
        // Floor of the mean over the cell's 1024 luma samples.
        const ptrdiff_t cell = (y >> 5) * dsHdiffStride + (x >> 5);
        pDsHdiff[cell] = low16(sumY >> shiftBits);
        pDsHdiff[planeSize + cell] = low16(sumU >> shiftBits);
        pDsHdiff[2 * planeSize + cell] = low16(sumV >> shiftBits);
      }
    }
  }

  // Pass 2: 8x8 blocks from the raw differences and the cell means. A moved-
  // back last block rewrites its neighbour's pHdiff samples and its values
  // stand; it takes the means of the cell of its loop position, which for a
  // loop position on a multiple of 32 is the next cell, not the one its
  // samples started in.
  {
    const int step = 8, shiftBits = 1;
    for (int y = 0; y < proHeight; y += step) {
      const ptrdiff_t offsetY = (y + step <= proHeight) ? y : proHeight - step;
      for (int x = 0; x < proWidth; x += step) {
        const ptrdiff_t offsetX = (x + step <= proWidth) ? x : proWidth - step;
        const ptrdiff_t cell = (y >> 5) * dsHdiffStride + (x >> 5);
        const int64_t subY = pDsHdiff[cell];
        const int64_t subU = pDsHdiff[planeSize + cell];
        const int64_t subV = pDsHdiff[2 * planeSize + cell];
        int64_t sumY = 0, sumU = 0, sumV = 0;
        int64_t sumSrcY = 0, sumSrcU = 0, sumSrcV = 0, sumSrcYUV = 0;
        for (int a = 0; a < step / 2; ++a) {
          for (int c = 0; c < step / 2; ++c) {
            const ptrdiff_t row = offsetY + 2 * a, col = offsetX + 2 * c;
            const int16_t *tY = pTmpY + row * pw + col;
            const int16_t *tUV = pTmpUV + (row >> 1) * pw + col;
            const int64_t src[4] = {tY[0], tY[1], tY[pw], tY[pw + 1]};
            const int64_t srcDiffU = tUV[0], srcDiffV = tUV[1];
            const int64_t diffU = compensate(srcDiffU, subU);
            const int64_t diffV = compensate(srcDiffV, subV);
            // Chroma terms: x / 128 rounded half away from zero.
            const int64_t diffUV =
                symRoundShift(uvFix * (std::llabs(diffU) + std::llabs(diffV)), 7);
            const int64_t srcDiffUV =
                symRoundShift(uvFix * (std::llabs(srcDiffU) + std::llabs(srcDiffV)), 7);
            int16_t *h = pHdiff + (row + 1) * hDiffStride + col + 1;
            int16_t *const hAt[4] = {h, h + 1, h + hDiffStride, h + hDiffStride + 1};
            for (int q = 0; q < 4; ++q) {
              const int64_t diffY = compensate(src[q], subY);
              // A plain left shift: wraps to 16 bits for large weights.
              *hAt[q] = low16((std::llabs(diffY) + diffUV) * (int64_t{1} << hdiffScale));
              sumY += diffY;
              sumSrcY += src[q];
              sumSrcYUV += std::llabs(src[q]) + srcDiffUV;
            }
            sumU += 4 * diffU;
            sumV += 4 * diffV;
            sumSrcU += 4 * srcDiffU;
            sumSrcV += 4 * srcDiffV;
          }
        }
        // The absolute value is taken after the floor shift.
        const int64_t dsDiff = std::llabs(sumY >> shiftBits) +
                               symRoundShift(uvFix * std::llabs(sumU >> shiftBits), 7) +
                               symRoundShift(uvFix * std::llabs(sumV >> shiftBits), 7);
        const int64_t dsSrcDiff = std::llabs(sumSrcY >> shiftBits) +
                                  symRoundShift(uvFix * std::llabs(sumSrcU >> shiftBits), 7) +
                                  symRoundShift(uvFix * std::llabs(sumSrcV >> shiftBits), 7);
        const ptrdiff_t bx = x / step, by = y / step;
        pLdiff[(by + 1) * lDiffStride + bx + 1] = low16(dsDiff);
        pSigma[(by + 4) * sigmaStride + bx + 4] =
            low16(std::llabs(dsSrcDiff - (sumSrcYUV >> shiftBits)));
      }
    }
  }
}

}  // namespace tnr_md
