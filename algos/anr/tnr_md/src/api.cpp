// The exported building blocks: each forwards to the form this build chose
// (the stages that motion_detect runs take theirs from its default set).
#include <cstdint>

#include "kernels.h"
#include "motion_detect.h"

namespace {

// Each entry point refuses, touching nothing, every size below the minimum its
// header comment documents. Sizes are widened to 64 bits before any sum or
// product, so that no check can itself overflow.
using i64 = int64_t;

// A processing grid of at least minSide x minSide inside an even-sized frame.
bool gridInFrame(i64 proH, i64 proW, i64 imgH, i64 imgW, i64 minSide) {
  return proW >= minSide && proH >= minSide && proW <= imgW && proH <= imgH && imgW % 2 == 0 &&
         imgH % 2 == 0;
}

i64 blocks8(i64 n) { return (n + 7) / 8; }

// A plane of at least one row and column whose stride leaves room for a border
// of `border` columns on each side.
bool planeFits(i64 hgt, i64 wid, i64 stride, i64 border) {
  return hgt >= 1 && wid >= 1 && stride >= wid + 2 * border;
}

}  // namespace

namespace tnr_md {

void frameDiffWith(const Kernels &k, uint8_t *pCurIn, uint8_t *pPreIn, int16_t *pLdiff,
                   int16_t *pHdiff, int16_t *pSigma, int imgHeight, int imgWidth, int proHeight,
                   int proWidth, int lDiffStride, int sigmaStride, float uv_ratio) {
  const Grid grid = makeGrid(proHeight, proWidth);
  k.frameDiff({pCurIn, pPreIn, imgHeight, imgWidth}, grid,
              {pLdiff, pHdiff, pSigma, lDiffStride, sigmaStride}, uv_ratio, 0, grid.blockRows);
}

void upScaleWith(const Kernels &k, uint8_t *pCurIn, uint8_t *pPreIn, int16_t *pLdiff,
                 int16_t *pHdiff, uint8_t *pTmp, uint8_t *pAlpha, uint8_t *pPreAlpha,
                 uint8_t *gain_table_u8, int imgHeight, int imgWidth, int proHeight, int proWidth,
                 int gainStride, uint8_t static_ratio_r_bit, uint16_t *pSigmaL, uint32_t *pSigmaH) {
  upScaleWhole(k, {pCurIn, pPreIn, imgHeight, imgWidth},
               {pAlpha, pPreAlpha, gain_table_u8, gainStride}, makeGrid(proHeight, proWidth),
               pLdiff, pHdiff, pTmp, {pSigmaL, pSigmaH}, static_ratio_r_bit);
}

}  // namespace tnr_md

using namespace tnr_md;

extern "C" {

void calDiffAndDownScale8x8(uint8_t *pCurIn, uint8_t *pPreIn, int16_t *pLdiff, int16_t *pHdiff,
                            int16_t *pSigma, int imgHeight, int imgWidth, int proHeight,
                            int proWidth, int lDiffStride, int sigmaStride, float uv_ratio) {
  if (!gridInFrame(proHeight, proWidth, imgHeight, imgWidth, 8) ||
      i64{lDiffStride} < blocks8(proWidth) + 2 || i64{sigmaStride} < blocks8(proWidth) + 8)
    return;
  frameDiffWith(TNR_MD_DEFAULT_KERNELS, pCurIn, pPreIn, pLdiff, pHdiff, pSigma, imgHeight, imgWidth,
                proHeight, proWidth, lDiffStride, sigmaStride, uv_ratio);
}

void calDiffAndDownScale(uint8_t *pCurIn, uint8_t *pPreIn, int16_t *pLdiff, int16_t *pHdiff,
                         int16_t *pSigma, int imgHeight, int imgWidth, int lDiffStride) {
  if (!gridInFrame(imgHeight, imgWidth, imgHeight, imgWidth, 8) ||
      i64{lDiffStride} < 2 * blocks8(imgWidth) + 2)
    return;
#if TNR_MD_HAVE_NEON
  calDiffAndDownScale_neon
#else
  calDiffAndDownScale_c
#endif
      ({pCurIn, pPreIn, imgHeight, imgWidth}, pLdiff, pHdiff, pSigma, lDiffStride);
}

void calDiff(uint8_t *pCurIn, uint8_t *pPreIn, int16_t *pLdiff, int16_t *pHdiff, int16_t *pSigma,
             int16_t *pHdiffTmp, int16_t *pDsHdiff, int imgHeight, int imgWidth, int proHeight,
             int proWidth, int lDiffStride, int sigmaStride, float uv_ratio, float light_clip) {
  if (!gridInFrame(proHeight, proWidth, imgHeight, imgWidth, 32) ||
      i64{lDiffStride} < blocks8(proWidth) + 2 || i64{sigmaStride} < blocks8(proWidth) + 8)
    return;
  calDiff_c(pCurIn, pPreIn, pLdiff, pHdiff, pSigma, pHdiffTmp, pDsHdiff, imgHeight, imgWidth,
            proHeight, proWidth, lDiffStride, sigmaStride, uv_ratio, light_clip);
}

void extendImgBorder(int16_t *pData_ext, int Width_ext, int Height_ext, int ext_x, int ext_y) {
  if (ext_x < 0 || ext_y < 0 || i64{Width_ext} <= 2 * i64{ext_x} ||
      i64{Height_ext} <= 2 * i64{ext_y})
    return;
  extendImgBorder_c(pData_ext, Width_ext, Height_ext, ext_x, ext_y);
}

void gauss3x3Filter(int16_t *pIn, int16_t *pOut, int imgHgt, int imgWid, int stride) {
  if (!planeFits(imgHgt, imgWid, stride, 1)) return;
  TNR_MD_DEFAULT_KERNELS.gauss3x3(pIn, pOut, imgHgt, imgWid, stride);
}

void sigmaFilterLut(int16_t *pIn, int16_t *pTmpBuf, uint16_t *pSigmaL, uint32_t *pSigmaH,
                    float sigmaHScale, float sigmaLScale, int imgHgt, int imgWid, int stride) {
  if (!planeFits(imgHgt, imgWid, stride, 4)) return;
  TNR_MD_DEFAULT_KERNELS.sigmaLut(pIn, pTmpBuf, {pSigmaL, pSigmaH}, {sigmaHScale, sigmaLScale},
                                  imgHgt, imgWid, stride);
}

void gauss9x9Filter(int16_t *pIn, int16_t *pOut, int imgHgt, int imgWid, int stride) {
  if (!planeFits(imgHgt, imgWid, stride, 2)) return;
  gauss9x9_c(pIn, pOut, imgHgt, imgWid, stride);
}

void upScale(uint8_t *pCurIn, uint8_t *pPreIn, int16_t *pLdiff, int16_t *pHdiff, uint8_t *pTmp,
             uint8_t *pAlpha, uint8_t *pPreAlpha, uint8_t *gain_table_u8, int imgHeight,
             int imgWidth, int proHeight, int proWidth, int GainStride, uint8_t static_ratio_r_bit,
             uint16_t *pSigmaL, uint32_t *pSigmaH) {
  if (!gridInFrame(proHeight, proWidth, imgHeight, imgWidth, 1) || GainStride < proWidth) return;
  upScaleWith(TNR_MD_DEFAULT_KERNELS, pCurIn, pPreIn, pLdiff, pHdiff, pTmp, pAlpha, pPreAlpha,
              gain_table_u8, imgHeight, imgWidth, proHeight, proWidth, GainStride,
              static_ratio_r_bit, pSigmaL, pSigmaH);
}

}  // extern "C"
