// The pipeline driver: geometry, scratch layout, size check, stages in order.
#include "motion_detect.h"

#include <cstring>

#include "kernels.h"
#include "layout.h"

namespace tnr_md {

Layout makeLayout(int proHeight, int proWidth) {
  Layout g{};
  // Refused before any size is formed: below the 8x8 blocking, or so large
  // that 12 bytes per sample cannot be addressed in 32 bits (a side beyond
  // 2^28 is, whatever the other side); every sum and product below then stays
  // far inside 32 bits, and the 64-bit ones are exact.
  constexpr int kMaxSide = 1 << 28;
  if (proWidth < 8 || proHeight < 8 || proWidth > kMaxSide || proHeight > kMaxSide) return g;
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

BandWork bandWork(const Layout &g) {
  BandWork w{};
  w.at = g.sigma + int64_t{g.lDiffHgt + 8} * g.sigmaStride;  // the block sigma plane's end
  const int64_t tableBytes = int64_t{g.lDiffHgt} * g.lDiffWid + int64_t{kBandRows} * g.lDiffStride;
  w.sigmaTmp = w.at + (tableBytes + 1) / 2;
  w.end = w.sigmaTmp + int64_t{kLowResRows + 7} * g.sigmaStride + g.lDiffWid + 4;
  if (w.end > g.hdiffTmp) w.at = -1;
  return w;
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

// The border of rows [r0, r1) of a plane with `rows` valid rows and a border
// of `ext` samples on every side: their border columns, and the border rows
// above (below) when r0 (r1) is the first (last) row. The same samples as
// extending the whole plane once all its rows are done.
static void extendBorderRows(int16_t *plane, int stride, int rows, int ext, int r0, int r1) {
  for (int r = r0; r < r1; ++r) {
    int16_t *row = plane + static_cast<ptrdiff_t>(r + ext) * stride;
    for (int c = 0; c < ext; ++c) row[c] = row[ext];
    for (int c = stride - ext; c < stride; ++c) row[c] = row[stride - ext - 1];
  }
  const size_t rowBytes = sizeof(int16_t) * static_cast<size_t>(stride);
  if (r0 == 0 && r1 > 0)
    for (int h = 0; h < ext; ++h)
      std::memcpy(plane + static_cast<ptrdiff_t>(h) * stride, plane + ext * stride, rowBytes);
  if (r1 == rows)
    for (int h = rows + ext; h < rows + 2 * ext; ++h)
      std::memcpy(plane + static_cast<ptrdiff_t>(h) * stride,
                  plane + static_cast<ptrdiff_t>(rows + ext - 1) * stride, rowBytes);
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
  const BandWork work = bandWork(g);
  if (schedule == Schedule::StageByStage || work.at < 0) {
    // Stage by stage: each plane complete before the next stage reads it.
    k.calDiffAndDownScale8x8(pCurIn, pPreIn, pLdiff, pHdiff, pSigma, imgHeight, imgWidth, proHeight,
                             proWidth, g.lDiffStride, g.sigmaStride, uv_ratio);
    extendImgBorder_c(pLdiff, g.lDiffStride, g.lDiffHgt + 2, 1, 1);
    extendImgBorder_c(pHdiff, g.hDiffStride, proHeight + 2, 1, 1);
    extendImgBorder_c(pSigma, g.sigmaStride, g.lDiffHgt + 8, 4, 4);
    k.gauss3x3Filter(pLdiff + g.lDiffStride + 1, pFilterLdiff, g.lDiffHgt, g.lDiffWid,
                     g.lDiffStride);
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

  // Banded: the same stages run over bands of rows, each a few rows behind
  // the one it reads from, so that a band's planes are still in cache when the
  // next stage reads them. The difference runs ahead; the low-resolution
  // stages follow it in chunks of block rows; the full-resolution smoothing,
  // the row buffer and the per-pixel pass follow them band by band. Every
  // stage reads only rows its predecessor has finished (the block sigma
  // smoothing reaches four block rows down), and the difference has read the
  // current frame's rows before the pass filters them in place. The sigma
  // scratch, the block alpha plane and the band's row buffer live in the work
  // area. The results are the same bytes.
  //
  // Sets that do not stream run the difference and the block-level stages
  // whole before the first band (a ring of all rows, one step of all block
  // rows), with the sigma stage's scratch in the smoothed-difference plane,
  // which no band has written yet.
  const bool streamed = k.streamed || g.sigmaTmpEnd > g.hDiffSize;
  const int blockRows = g.lDiffHgt;
  const int lowResStep = streamed ? kLowResRows : blockRows;
  uint8_t *pA = reinterpret_cast<uint8_t *>(pTmpBuf + work.at);  // block alpha, pitch lDiffWid
  uint8_t *pT = pA + blockRows * g.lDiffWid;                     // the band's row buffer
  int16_t *sigmaTmp = streamed ? pTmpBuf + work.sigmaTmp : pFilterHdiff;

  // The full-resolution difference lives in a ring of rows at the start of
  // the scratch buffer, so that it stays in cache between the difference and
  // the pass: processing row y in slot y mod ringRows, at ring + (slot + 1) x
  // stride; the rows just above slot 0 and below the last slot take the
  // neighbours a band reads across the wrap (and the plane's border rows),
  // and nine rows after them receive the moved-back last block row when its
  // rows would wrap. A grid of at most kRingRows + kBandRows rows keeps the
  // whole plane in order (ringRows = proHeight, nothing wraps).
  const ptrdiff_t hs = g.hDiffStride;
  const size_t hRowBytes = sizeof(int16_t) * static_cast<size_t>(hs);
  const int ringRows = streamed && proHeight > kRingRows + kBandRows ? kRingRows : proHeight;
  int16_t *ring = pHdiff;
  const auto hRow = [&](int y) { return ring + (y % ringRows + 1) * hs; };  // column -1
  // Copies rows [ya, yb) of a block row's rows written at src (the row above
  // ya's) to their slots, then fills their border columns.
  const auto placeRows = [&](const int16_t *src, int ya, int yb) {
    for (int y = ya; y < yb; ++y) {
      int16_t *row = hRow(y);
      if (src) std::memcpy(row, src + (y - ya + 1) * hs, hRowBytes);
      row[0] = row[1];
      row[proWidth + 1] = row[proWidth];
    }
  };

  int diffRows = 0;  // block rows of the three difference planes done, borders included
  const auto differenceUpTo = [&](int by1) {
    if (by1 <= diffRows) return;
    // Runs of block rows whose rows do not wrap in the ring.
    for (int by = diffRows; by < by1;) {
      const int r0 = blockRowStart(by, proHeight);  // first row written
      int end = by + 1;
      while (end < by1 && (8 * end) % ringRows != 0) ++end;
      const int rEnd = end == blockRows ? proHeight : 8 * end;
      if ((r0 % ringRows) + (rEnd - r0) <= ringRows) {
        k.calDiffAndDownScale8x8Rows(pCurIn, pPreIn, pLdiff, hRow(r0) - hs, pSigma, imgHeight,
                                     imgWidth, proHeight, proWidth, g.lDiffStride, g.sigmaStride,
                                     uv_ratio, by, end);
        placeRows(nullptr, 8 * by, rEnd);
      } else {
        // The moved-back last block row, whose rows would wrap: written
        // aside, its own rows copied to their slots.
        int16_t *aside = ring + (ringRows + 2) * hs;
        k.calDiffAndDownScale8x8Rows(pCurIn, pPreIn, pLdiff, aside, pSigma, imgHeight, imgWidth,
                                     proHeight, proWidth, g.lDiffStride, g.sigmaStride, uv_ratio,
                                     by, end);
        placeRows(aside + (8 * by - r0) * hs, 8 * by, rEnd);
      }
      by = end;
    }
    extendBorderRows(pLdiff, g.lDiffStride, blockRows, 1, diffRows, by1);
    extendBorderRows(pSigma, g.sigmaStride, blockRows, 4, diffRows, by1);
    diffRows = by1;
  };
  int lowRows = 0;  // block rows of the block alpha done
  const auto lowResolutionUpTo = [&](int by1) {
    while (lowRows < by1) {
      const int end = lowRows + lowResStep < blockRows ? lowRows + lowResStep : blockRows;
      const int rows = end - lowRows;
      differenceUpTo(end + 4 < blockRows ? end + 4 : blockRows);
      k.gauss3x3Filter(pLdiff + (lowRows + 1) * g.lDiffStride + 1,
                       pFilterLdiff + lowRows * g.lDiffStride, rows, g.lDiffWid, g.lDiffStride);
      k.sigmaFilterLut(pSigma + (lowRows + 4) * g.sigmaStride + 4, sigmaTmp,
                       pSigmaL + lowRows * g.sigmaStride, pSigmaH + lowRows * g.sigmaStride,
                       sigmaHScale, sigmaLScale, rows, g.lDiffWid, g.sigmaStride);
      k.upScaleBlockAlpha(pFilterLdiff + lowRows * g.lDiffStride, pSigmaL + lowRows * g.sigmaStride,
                          pA + lowRows * g.lDiffWid, rows, g.lDiffWid, g.lDiffStride,
                          g.sigmaStride);
      lowRows = end;
    }
  };

  // Where the set has it, a band that is mostly still has the pass smooth
  // the full-resolution difference itself, only for the blocks that move.
  const bool canSmoothInPass = k.upScaleSmoothPixelRows != nullptr && proWidth >= 16;
  for (int y0 = 0; y0 < proHeight; y0 += kBandRows) {
    const int y1 = y0 + kBandRows < proHeight ? y0 + kBandRows : proHeight;
    // The row buffer reads block alpha rows up to (y1 + 3) / 8; the
    // smoothing reads difference row y1, which that leaves done too.
    const int alphaRows = (y1 + 3) / 8 + 1;
    lowResolutionUpTo(alphaRows < blockRows ? alphaRows : blockRows);
    // The band's difference rows y0 - 1 .. y1 in order: rows y0 .. y1 - 1
    // never wrap; the row above slot 0 and the row below the last slot take
    // copies, the plane's border rows repeat its first and last rows.
    int16_t *band = hRow(y0);
    if (y0 == 0)
      std::memcpy(band - hs, band, hRowBytes);
    else if (band - hs == ring)
      std::memcpy(ring, hRow(y0 - 1), hRowBytes);
    int16_t *below = band + (y1 - y0) * hs;
    if (y1 == proHeight)
      std::memcpy(below, below - hs, hRowBytes);
    else if (below != hRow(y1))
      std::memcpy(below, hRow(y1), hRowBytes);

    k.upScaleRowBuffer(pA, pT, y0, y1, blockRows, g.lDiffWid);
    const uint8_t *pTEnd = pT + (y1 - y0) * g.lDiffStride;
    if (canSmoothInPass && mostlyStill(pT, y1 - y0, g.lDiffStride)) {
      k.upScaleSmoothPixelRows(pCurIn, pPreIn, band + 1, pT, pTEnd, pAlpha, pPreAlpha,
                               gain_table_u8, imgHeight, imgWidth, proWidth, gainStride, rBit,
                               pSigmaH, y0, y1);
      continue;
    }
    int16_t *filtered = pFilterHdiff + y0 * hs;
    k.gauss3x3Filter(band + 1, filtered, y1 - y0, proWidth, static_cast<int>(hs));
    k.upScalePixelRows(pCurIn, pPreIn, filtered, pT, pTEnd, pAlpha, pPreAlpha, gain_table_u8,
                       imgHeight, imgWidth, proWidth, gainStride, rBit, pSigmaH, y0, y1);
  }
  // Stage by stage, the block alpha is held in pAlpha itself, and the bytes
  // of it that lie past the grid in their row keep it.
  const int alphaBytes = blockRows * g.lDiffWid;
  for (int row = 0; row * gainStride < alphaBytes; ++row)
    for (int x = row * gainStride + proWidth; x < (row + 1) * gainStride && x < alphaBytes; ++x)
      pAlpha[x] = pA[x];
}

const Kernels kKernelsC = {calDiffAndDownScale8x8_c,
                           calDiffAndDownScale8x8Rows_c,
                           gauss3x3Filter_c,
                           sigmaFilterLut_c,
                           upScale_c,
                           upScaleBlockAlpha_c,
                           upScaleRowBuffer_c,
                           upScalePixelRows_c,
                           nullptr,
                           true};
#if TNR_MD_HAVE_NEON
const Kernels kKernelsNeon = {calDiffAndDownScale8x8_neon,
                              calDiffAndDownScale8x8Rows_neon,
                              gauss3x3Filter_neon,
                              sigmaFilterLut_neon,
                              upScale_neon,
                              upScaleBlockAlpha_neon,
                              upScaleRowBuffer_neon,
                              upScalePixelRows_neon,
                              upScaleSmoothPixelRows_neon,
                              false};
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
