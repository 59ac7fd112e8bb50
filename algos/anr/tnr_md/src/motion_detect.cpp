// The pipeline driver: geometry, scratch layout, size check, stages in order.
#include "motion_detect.h"

#include "kernels.h"
#include "layout.h"

namespace tnr_md {

Layout makeLayout(int proHeight, int proWidth) {
  Layout g{};
  g.lDiffHgt = (proHeight + 7) / 8;
  g.lDiffWid = (proWidth + 7) / 8;
  g.lDiffStride = g.lDiffWid + 2;
  g.hDiffStride = proWidth + 2;
  g.sigmaStride = g.lDiffWid + 8;
  g.lDiffSize = int64_t{g.lDiffWid + 2} * (g.lDiffHgt + 2);
  g.hDiffSize = int64_t{proWidth + 2} * (proHeight + 2);
  // The sigma reservation counts processing rows, not block rows; every later
  // offset follows from that larger value.
  g.sigmaSize = int64_t{g.lDiffWid + 8} * (proHeight + 8);

  g.ldiff = g.hDiffSize;
  g.sigma = g.ldiff + g.lDiffSize;
  g.hdiffTmp = g.sigma + g.sigmaSize;
  g.dsHiff = g.hdiffTmp + static_cast<int64_t>(static_cast<double>(g.hDiffSize) * 1.5);
  g.filterHdiff = g.hdiffTmp + g.lDiffSize;
  g.sigmaL = g.filterHdiff + g.hDiffSize;
  g.sigmaH = g.sigmaL + g.sigmaSize;
  const int64_t sigmaEntries = int64_t{g.lDiffHgt - 1} * g.sigmaStride + g.lDiffWid;
  g.sigmaHEnd = g.sigmaH + 2 * sigmaEntries;
  g.sigmaTmpEnd = int64_t{g.lDiffHgt + 7} * g.sigmaStride + g.lDiffWid + 4;
  g.rowBufBytes = int64_t{proHeight} * (g.lDiffWid + 2);
  g.bufElems = int64_t{6} * proWidth * proHeight;

  if (proWidth < 8 || proHeight < 8) return g;
  // The buffer's size in bytes must be addressable in 32 bits, as on the device.
  const int64_t bufBytes = 2 * g.bufElems;
  if (bufBytes >= (int64_t{1} << 32)) return g;
  // The device's check: the reservation up to the end mark is below the buffer.
  const uint32_t d = static_cast<uint32_t>(2 * g.dsHiff);
  const uint32_t l = static_cast<uint32_t>(bufBytes);
  if (!(d < l)) return g;
  // That check alone lets the sigma tables of some narrow grids (widths 8 to
  // 13) run past the buffer: every plane must also end inside it, and the
  // stages' scratch must stay inside the dead planes it borrows.
  g.accepted =
      g.sigmaHEnd <= g.bufElems && g.sigmaTmpEnd <= g.sigma && g.rowBufBytes <= 2 * g.hdiffTmp;
  return g;
}

// The banded schedule keeps its work data in the tail of the block sigma
// reservation, which is larger than the plane (it counts processing rows, not
// block rows): the sigma stage's scratch, then the block alpha plane and the
// band's row buffer. Returns the tail's offset in elements, or -1 when the
// tail is too small for the grid.
int64_t bandWorkOffset(const Layout &g) {
  const int64_t planeEnd = g.sigma + int64_t{g.lDiffHgt + 8} * g.sigmaStride;
  const int64_t spareBytes = 2 * (g.hdiffTmp - planeEnd);
  const int64_t sigmaTmpBytes = 2 * (int64_t{g.lDiffHgt + 7} * g.sigmaStride + g.lDiffWid + 4);
  const int64_t alphaBytes = int64_t{g.lDiffHgt} * g.lDiffWid + int64_t{kBandRows} * g.lDiffStride;
  return sigmaTmpBytes <= spareBytes && alphaBytes <= spareBytes ? planeEnd : -1;
}

// Whether under a quarter of a band's row-buffer bytes are non-zero (moving
// blocks), judged from its first and middle rows, which the vertical
// interpolation makes representative. Smoothing in the pass costs a moving
// block about three times its share of the band filter and a still block
// nothing; either way the bytes are the same.
static bool mostlyStill(const uint8_t *pT, int rows, int stride) {
  const uint8_t *mid = pT + (rows / 2) * stride;
  int moving = 0;
  for (int i = 0; i < stride; ++i) moving += (pT[i] != 0) + (mid[i] != 0);
  return 4 * moving < 2 * stride;
}

void motionDetectWith(const Kernels &k, uint8_t *pCurIn, uint8_t *pPreIn, int16_t *pTmpBuf,
                      uint8_t *pAlpha, uint8_t *pPreAlpha, uint8_t *gain_table_u8, int imgHeight,
                      int imgWidth, int proHeight, int proWidth, int gainStride, float sigmaHScale,
                      float sigmaLScale, float uv_ratio, float /*light_clip*/,
                      int static_ratio_r_bit, Schedule schedule) {
  const Layout g = makeLayout(proHeight, proWidth);
  if (!g.accepted) return;
  // Outside these limits the stages would read or write past the frames or maps.
  // The high sigma table inside the scratch buffer is read as uint32_t.
  if (proWidth > imgWidth || proHeight > imgHeight || gainStride < proWidth || (imgWidth & 1) ||
      (imgHeight & 1) || (reinterpret_cast<uintptr_t>(pTmpBuf) & 3))
    return;

  int16_t *pHdiff = pTmpBuf;
  int16_t *pLdiff = pTmpBuf + g.ldiff;
  int16_t *pSigma = pTmpBuf + g.sigma;
  int16_t *pFilterLdiff = pTmpBuf + g.hdiffTmp;
  int16_t *pFilterHdiff = pTmpBuf + g.filterHdiff;
  auto *pSigmaL = reinterpret_cast<uint16_t *>(pTmpBuf + g.sigmaL);
  auto *pSigmaH = reinterpret_cast<uint32_t *>(pTmpBuf + g.sigmaH);
  const auto rBit = static_cast<uint8_t>(static_ratio_r_bit);
  const int64_t workOffset = schedule == Schedule::Banded ? bandWorkOffset(g) : -1;

  k.calDiffAndDownScale8x8(pCurIn, pPreIn, pLdiff, pHdiff, pSigma, imgHeight, imgWidth, proHeight,
                           proWidth, g.lDiffStride, g.sigmaStride, uv_ratio);

  extendImgBorder_c(pLdiff, g.lDiffStride, g.lDiffHgt + 2, 1, 1);
  extendImgBorder_c(pHdiff, g.hDiffStride, proHeight + 2, 1, 1);
  extendImgBorder_c(pSigma, g.sigmaStride, g.lDiffHgt + 8, 4, 4);

  k.gauss3x3Filter(pLdiff + g.lDiffStride + 1, pFilterLdiff, g.lDiffHgt, g.lDiffWid, g.lDiffStride);

  if (workOffset < 0) {
    // Stage by stage: each plane complete before the next stage reads it.
    k.gauss3x3Filter(pHdiff + g.hDiffStride + 1, pFilterHdiff, proHeight, proWidth, g.hDiffStride);
    // pHdiff is dead: the sigma stage uses its region as scratch.
    k.sigmaFilterLut(pSigma + 4 * g.sigmaStride + 4, pTmpBuf, pSigmaL, pSigmaH, sigmaHScale,
                     sigmaLScale, g.lDiffHgt, g.lDiffWid, g.sigmaStride);
    // upScale's row buffer also lives in the dead start of the scratch buffer.
    k.upScale(pCurIn, pPreIn, pFilterLdiff, pFilterHdiff, reinterpret_cast<uint8_t *>(pTmpBuf),
              pAlpha, pPreAlpha, gain_table_u8, imgHeight, imgWidth, proHeight, proWidth,
              gainStride, rBit, pSigmaL, pSigmaH);
    return;
  }

  // Banded: the low-resolution stages run whole, then the full-resolution
  // smoothing, the row buffer and the per-pixel pass run band by band. pHdiff
  // stays live, so the sigma scratch, the block alpha plane and the band's
  // row buffer live in the work area instead. The results are the same bytes.
  int16_t *work = pTmpBuf + workOffset;
  k.sigmaFilterLut(pSigma + 4 * g.sigmaStride + 4, work, pSigmaL, pSigmaH, sigmaHScale, sigmaLScale,
                   g.lDiffHgt, g.lDiffWid, g.sigmaStride);
  uint8_t *pA = reinterpret_cast<uint8_t *>(work);  // block alpha, pitch lDiffWid
  uint8_t *pT = pA + g.lDiffHgt * g.lDiffWid;       // the band's row buffer
  k.upScaleBlockAlpha(pFilterLdiff, pSigmaL, pA, g.lDiffHgt, g.lDiffWid, g.lDiffStride,
                      g.sigmaStride);
  // Where the set has it, a band that is mostly still has the pass smooth
  // the full-resolution difference itself, only for the blocks that move.
  const bool canSmoothInPass = k.upScaleSmoothPixelRows != nullptr && proWidth >= 16;
  for (int y0 = 0; y0 < proHeight; y0 += kBandRows) {
    const int y1 = y0 + kBandRows < proHeight ? y0 + kBandRows : proHeight;
    k.upScaleRowBuffer(pA, pT, y0, y1, g.lDiffHgt, g.lDiffWid);
    const uint8_t *pTEnd = pT + (y1 - y0) * g.lDiffStride;
    if (canSmoothInPass && mostlyStill(pT, y1 - y0, g.lDiffStride)) {
      k.upScaleSmoothPixelRows(pCurIn, pPreIn, pHdiff + g.hDiffStride + 1, pT, pTEnd, pAlpha,
                               pPreAlpha, gain_table_u8, imgHeight, imgWidth, proWidth, gainStride,
                               rBit, pSigmaH, y0, y1);
      continue;
    }
    k.gauss3x3Filter(pHdiff + (y0 + 1) * g.hDiffStride + 1, pFilterHdiff + y0 * g.hDiffStride,
                     y1 - y0, proWidth, g.hDiffStride);
    k.upScalePixelRows(pCurIn, pPreIn, pFilterHdiff, pT, pTEnd, pAlpha, pPreAlpha, gain_table_u8,
                       imgHeight, imgWidth, proWidth, gainStride, rBit, pSigmaH, y0, y1);
  }
  // Stage by stage, the block alpha is held in pAlpha itself, and the bytes
  // of it that lie past the grid in their row keep it.
  const int alphaBytes = g.lDiffHgt * g.lDiffWid;
  for (int row = 0; row * gainStride < alphaBytes; ++row)
    for (int x = row * gainStride + proWidth; x < (row + 1) * gainStride && x < alphaBytes; ++x)
      pAlpha[x] = pA[x];
}

const Kernels kKernelsC = {
    calDiffAndDownScale8x8_c, gauss3x3Filter_c,   sigmaFilterLut_c,   upScale_c,
    upScaleBlockAlpha_c,      upScaleRowBuffer_c, upScalePixelRows_c, nullptr};
#if TNR_MD_HAVE_NEON
const Kernels kKernelsNeon = {calDiffAndDownScale8x8_neon, gauss3x3Filter_neon,
                              sigmaFilterLut_neon,         upScale_neon,
                              upScaleBlockAlpha_neon,      upScaleRowBuffer_neon,
                              upScalePixelRows_neon,       upScaleSmoothPixelRows_neon};
#endif

}  // namespace tnr_md

extern "C" {

size_t motionDetectTmpBufSize(int proHeight, int proWidth) {
  const tnr_md::Layout g = tnr_md::makeLayout(proHeight, proWidth);
  return g.accepted ? static_cast<size_t>(g.bufElems) : 0;
}

void motion_detect(uint8_t *pCurIn, uint8_t *pPreIn, int16_t *pTmpBuf, uint8_t *pAlpha,
                   uint8_t *pPreAlpha, uint8_t *gain_table_u8, int imgHeight, int imgWidth,
                   int proHeight, int proWidth, int gainStride, float sigmaHScale,
                   float sigmaLScale, float uv_ratio, float light_clip, int static_ratio_r_bit) {
  const tnr_md::Kernels &k = TNR_MD_DEFAULT_KERNELS;
  tnr_md::motionDetectWith(k, pCurIn, pPreIn, pTmpBuf, pAlpha, pPreAlpha, gain_table_u8, imgHeight,
                           imgWidth, proHeight, proWidth, gainStride, sigmaHScale, sigmaLScale,
                           uv_ratio, light_clip, static_ratio_r_bit);
}

}  // extern "C"
