// Frame difference with 8x8 block downscale, per-sample form.
#include <cstdlib>

#include "arith.h"
#include "kernels.h"

namespace tnr_md {

// The chroma weight in 1/128 steps, rounded half away from zero; the 0.5 is
// added in double precision.
int32_t uvRatioFix(float uv_ratio) {
  const float p = uv_ratio * 128.0f;
  return p > 0.0f ? truncToInt(static_cast<double>(p) + 0.5)
                  : truncToInt(static_cast<double>(p) - 0.5);
}

namespace {

uint32_t abs32(uint32_t v) { return (v & 0x80000000u) ? 0u - v : v; }

// a x fix / 128, halves away from zero, as the low 32 bits of the 64-bit result.
uint32_t chromaBlockTerm(int32_t chromaSum, int32_t fix) {
  const int64_t a = std::abs(chromaSum) >> 1;
  return static_cast<uint32_t>(symRoundShift(a * fix, 7));
}

}  // namespace

void frameDiff_c(const Frames &f, const Grid &g, const DiffPlanes &out, float uvRatio, int by0,
                 int by1) {
  const uint8_t *pCurIn = f.cur, *pPreIn = f.pre;
  const int imgHeight = f.height, proHeight = g.height, proWidth = g.width;
  const int32_t fix = uvRatioFix(uvRatio);
  const int32_t uvf16 = low16(fix);  // the per-sample term uses the low 16 bits only
  const int hDiffStride = proWidth + 2;
  const ptrdiff_t W = f.width;
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
          out.hdiff[(Y - hRow0 + 1) * hDiffStride + X + 1] = low16(static_cast<int32_t>(h) * 32);
          sumY += dY;
          sumU += dU;
          sumV += dV;
          columnYUV = low16(columnYUV + h);
        }
        sumYUV += columnYUV;
      }
      const uint32_t sumValueY00 = static_cast<uint32_t>(sumY >> 1);  // floor
      const uint32_t sumValueU00 = chromaBlockTerm(sumU, fix);
      const uint32_t sumValueV00 = chromaBlockTerm(sumV, fix);
      const uint32_t sumValueYUV00 = static_cast<uint32_t>(sumYUV >> 1);
      const uint32_t dsDiff00 = abs32(sumValueY00) + abs32(sumValueU00) + abs32(sumValueV00);
      out.ldiff[(by + 1) * out.lDiffStride + bx + 1] = low16(dsDiff00);
      out.sigma[(by + 4) * out.sigmaStride + bx + 4] = low16(abs32(dsDiff00 - sumValueYUV00));
    }
  }
}

}  // namespace tnr_md
