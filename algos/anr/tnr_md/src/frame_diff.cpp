// Frame difference with 8x8 block downscale, per-sample form.
#include <cstdlib>

#include "arith.h"
#include "kernels.h"

namespace tnr_md {

void frameDiff_c(const Frames &f, const Grid &g, const DiffPlanes &out, float uvRatio, int by0,
                 int by1) {
  const uint8_t *pCurIn = f.cur, *pPreIn = f.pre;
  const int imgHeight = f.height, proHeight = g.height, proWidth = g.width;
  const int32_t fix = uvRatioFix(uvRatio);
  const int32_t uvf16 = low16(fix);  // the per-sample term uses the low 16 bits only
  const int hDiffStride = proWidth + 2;
  const ptrdiff_t W = f.width;
  int16_t *pHdiff = out.hdiff;
  const uint8_t *curUV = pCurIn + W * imgHeight;
  const uint8_t *preUV = pPreIn + W * imgHeight;

  // pHdiff's row 0 lies above the first block row's offset row.
  const int hRow0 = blockRowStart(by0, proHeight);
  for (int by = by0; by < by1; ++by) {
    const int offsetRow = blockRowStart(by, proHeight);
    for (int x = 0, bx = 0; x < proWidth; x += 8, ++bx) {
      const int cx = x + 8 <= proWidth ? x : proWidth - 8;
      int32_t sumY = 0, sumU = 0, sumV = 0, sumYUV = 0;
      for (int l = 0; l < 8; ++l) {
        int16_t columnYUV = 0;  // each column's 8 values add in 16 bits, wrapping
        for (int k = 0; k < 8; ++k) {
          const ptrdiff_t X = cx + l, Y = offsetRow + k;
          const int dY = pCurIn[Y * W + X] - pPreIn[Y * W + X];
          // The co-sited pair of the sample, also for an odd block origin.
          const ptrdiff_t uv = (Y >> 1) * W + 2 * (X >> 1);
          const int dU = curUV[uv] - preUV[uv];
          const int dV = curUV[uv + 1] - preUV[uv + 1];
          const int16_t t = low16(roundShift((std::abs(dU) + std::abs(dV)) * uvf16, 7));
          const int16_t h = low16(std::abs(dY) + t);
          pHdiff[(Y - hRow0 + 1) * hDiffStride + X + 1] = low16(static_cast<int32_t>(h) * 32);
          sumY += dY;
          sumU += dU;
          sumV += dV;
          columnYUV = low16(columnYUV + h);
        }
        sumYUV += columnYUV;
      }
      const BlockOut b = blockOut(sumY, sumU, sumV, sumYUV, fix);
      out.ldiff[(by + 1) * out.lDiffStride + bx + 1] = b.ldiff;
      out.sigma[(by + 4) * out.sigmaStride + bx + 4] = b.sigma;
    }
  }
}

}  // namespace tnr_md
