// The steps both drivers share (pipeline.h).
#include "pipeline.h"

#include <cstring>

namespace tnr_md {

bool callAccepted(int imgHeight, int imgWidth, int proHeight, int proWidth, int gainStride,
                  const int16_t *pTmpBuf) {
  return proWidth <= imgWidth && proHeight <= imgHeight && gainStride >= proWidth &&
         (imgWidth & 1) == 0 && (imgHeight & 1) == 0 &&
         (reinterpret_cast<uintptr_t>(pTmpBuf) & 3) == 0;
}

Planes planesOf(int16_t *buf, const Layout &g) {
  return {
      buf,
      buf + g.ldiff,
      buf + g.sigma,
      buf + g.filterLdiff,
      buf + g.filterHdiff,
      {reinterpret_cast<uint16_t *>(buf + g.sigmaL), reinterpret_cast<uint32_t *>(buf + g.sigmaH)}};
}

// Whether under a quarter of a band's row-buffer bytes are non-zero (moving
// blocks), judged from its first and middle rows, which the vertical
// interpolation makes representative. Smoothing in the pass costs a moving
// block about three times its share of the band filter and a still block
// nothing; either way the bytes are the same.
bool mostlyStill(const uint8_t *rowBuf, int rows, int stride) {
  const uint8_t *mid = rowBuf + (rows / 2) * stride;
  int moving = 0;
  for (int i = 0; i < stride; ++i) moving += (rowBuf[i] != 0) + (mid[i] != 0);
  return 4 * moving < 2 * stride;
}

namespace {

// The border columns of rows [r0, r1), kExt of them on each side (0: ext).
// The drivers' borders are 1 and 4 wide: with the width known the columns
// are a few plain stores, where GCC vectorized the loops with their
// prologues and epilogues per row (real 768x576 at the defaults, executed
// instructions per pixel: ARMv7 9.223 to 9.211, AArch64 8.230 to 8.220).
template <int kExt>
void extendColumns(int16_t *plane, int stride, int ext, int r0, int r1) {
  if (kExt != 0) ext = kExt;
  int16_t *row = plane + static_cast<ptrdiff_t>(r0 + ext) * stride;
  for (int r = r0; r < r1; ++r, row += stride) {
    const int16_t left = row[ext], right = row[stride - ext - 1];
    for (int c = 0; c < ext; ++c) {
      row[c] = left;
      row[stride - ext + c] = right;
    }
  }
}

}  // namespace

// The border of rows [r0, r1) of a plane with `rows` valid rows and a border
// of `ext` samples on every side: their border columns, and the border rows
// above (below) when r0 (r1) is the first (last) row. The same samples as
// extending the whole plane once all its rows are done.
void extendBorderRows(int16_t *plane, int stride, int rows, int ext, int r0, int r1) {
  if (ext == 1)
    extendColumns<1>(plane, stride, ext, r0, r1);
  else if (ext == 4)
    extendColumns<4>(plane, stride, ext, r0, r1);
  else
    extendColumns<0>(plane, stride, ext, r0, r1);
  const size_t rowBytes = sizeof(int16_t) * static_cast<size_t>(stride);
  if (r0 == 0 && r1 > 0)
    for (int h = 0; h < ext; ++h)
      std::memcpy(plane + static_cast<ptrdiff_t>(h) * stride, plane + ext * stride, rowBytes);
  if (r1 == rows)
    for (int h = rows + ext; h < rows + 2 * ext; ++h)
      std::memcpy(plane + static_cast<ptrdiff_t>(h) * stride,
                  plane + static_cast<ptrdiff_t>(rows + ext - 1) * stride, rowBytes);
}

void blockStep(const Kernels &k, const Layout &g, const Planes &p, const SigmaScales &scale,
               int16_t *sigmaTmp, uint8_t *a, int by0, int rows) {
  int16_t *filtered = p.filterLdiff + by0 * g.lDiffStride;
  k.gauss3x3(p.ldiff + (by0 + 1) * g.lDiffStride + 1, filtered, rows, g.blockCols, g.lDiffStride);
  const SigmaTables tables{p.tables.low + by0 * g.sigmaStride, p.tables.high + by0 * g.sigmaStride};
  k.sigmaLut(p.sigma + (by0 + 4) * g.sigmaStride + 4, sigmaTmp, tables, scale, rows, g.blockCols,
             g.sigmaStride);
  k.blockAlpha(filtered, g.lDiffStride, tables.low, g.sigmaStride, a + by0 * g.blockCols, rows,
               g.blockCols);
}

void bandStep(const Kernels &k, const Frames &f, const Maps &m, const Grid &grid, const Layout &g,
              const BandIo &io, int y0, int y1) {
  k.rowBuffer(io.a, io.rowBuf, y0, y1, g.blockRows, g.blockCols);
  PassRows rows{io.band + 1,   io.rowBuf, io.rowBuf + (y1 - y0) * g.lDiffStride,
                io.sigmaH,     io.ratioRBit,
                y0,            y1,
                io.nonNegative};
  // Where the set has it, a band that is mostly still has the pass smooth
  // the full-resolution difference itself, only for the blocks that move.
  if (k.pixelPassSmooth != nullptr && grid.width >= 16 &&
      mostlyStill(io.rowBuf, y1 - y0, g.lDiffStride)) {
    k.pixelPassSmooth(f, m, grid, rows);
    return;
  }
  (k.gauss3x3Diff ? k.gauss3x3Diff : k.gauss3x3)(io.band + 1, io.filtered, y1 - y0, grid.width,
                                                 g.hDiffStride);
  rows.hdiff = io.filtered;
  k.pixelPass(f, m, grid, rows);
}

void keepBlockAlphaPastGrid(const Maps &m, const Grid &grid, const uint8_t *a) {
  const int alphaBytes = grid.blockRows * grid.blockCols, stride = m.stride;
  for (int row = 0; row * stride < alphaBytes; ++row)
    for (int x = row * stride + grid.width; x < (row + 1) * stride && x < alphaBytes; ++x)
      m.alpha[x] = a[x];
}

}  // namespace tnr_md
