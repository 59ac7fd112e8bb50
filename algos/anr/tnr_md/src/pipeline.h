// The steps both drivers share: motion_detect's banded and stage-by-stage
// orders (motion_detect.cpp) and motion_detect_parallel's tasks
// (motion_detect_parallel.cpp) are each a short sequence of these.
#ifndef TNR_MD_PIPELINE_H
#define TNR_MD_PIPELINE_H

#include <cstdint>

#include "kernels.h"
#include "layout.h"

namespace tnr_md {

// Whether the frames, the grid, the maps' pitch and the scratch buffer's
// alignment are ones the stages can run on: outside them they would read or
// write past the frames or maps (the high sigma table inside the scratch
// buffer is read as uint32_t).
bool callAccepted(int imgHeight, int imgWidth, int proHeight, int proWidth, int gainStride,
                  const int16_t *pTmpBuf);

// The planes of the scratch buffer (layout.h), as pointers.
struct Planes {
  int16_t *hdiff, *ldiff, *sigma, *filterLdiff, *filterHdiff;
  SigmaTables tables;
};
Planes planesOf(int16_t *buf, const Layout &g);

// The block-level stages of block rows [by0, by0 + rows): the 3x3 smoothing
// of the block difference, the two sigma tables (their 9-tap smoothing reads
// four block rows beyond, which must be done with their borders; sigmaTmp
// holds its horizontal pass) and the block alpha into a (pitch blockCols).
void blockStep(const Kernels &k, const Layout &g, const Planes &p, const SigmaScales &scale,
               int16_t *sigmaTmp, uint8_t *a, int by0, int rows);

// One band of the per-pixel pass, rows [y0, y1): the row buffer from the
// block alpha a, then either the pass smoothing the full-resolution
// difference itself (where the set can and the band is mostly still) or the
// band smoothed into `filtered` and the pass. band: the unsmoothed
// difference's row y0 at its column -1, with rows y0 - 1 and y1 readable.
struct BandIo {
  const uint8_t *a;         // block alpha, pitch blockCols
  uint8_t *rowBuf;          // the band's row buffer
  const int16_t *band;      // unsmoothed difference, row y0, column -1
  int16_t *filtered;        // where the band is smoothed
  const uint32_t *sigmaH;   // the high sigma table
  uint8_t ratioRBit;
  bool nonNegative = false;  // PassRows::nonNegative of the band's difference
};
void bandStep(const Kernels &k, const Frames &f, const Maps &m, const Grid &grid, const Layout &g,
              const BandIo &io, int y0, int y1);

// Stage by stage, the block alpha is held in pAlpha itself: the bytes of it
// that lie past the grid in their row keep it. The banded orders copy those
// bytes from their own block alpha plane a (blockRows x blockCols).
void keepBlockAlphaPastGrid(const Maps &m, const Grid &grid, const uint8_t *a);

}  // namespace tnr_md

#endif  // TNR_MD_PIPELINE_H
