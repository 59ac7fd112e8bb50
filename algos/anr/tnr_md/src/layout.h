// Geometry of the work planes and the carving of the caller's scratch buffer.
#ifndef TNR_MD_LAYOUT_H
#define TNR_MD_LAYOUT_H

#include <cstdint>

namespace tnr_md {

// Plane geometry of one processing grid, and each plane's offset from the
// start of the scratch buffer in int16_t elements. Offsets and the end marks
// are 64-bit so that the acceptance test itself cannot overflow.
//
// From element 0: the full-resolution difference (hdiff, with a one-sample
// border), the block difference (ldiff, one-sample border), the block sigma
// (sigma, four-sample border; its reservation counts processing rows, not
// block rows, and the banded schedules keep their work area in its unused
// tail), the smoothed block difference (filterLdiff), the smoothed
// full-resolution difference (filterHdiff), then the two sigma tables. The
// size check measures checkEnd, a mark 1.5 hdiff planes past filterLdiff
// (the device's), not the end of the last plane; acceptance also needs every
// plane and every stage's borrowed scratch inside the buffer.
struct Layout {
  int blockRows, blockCols;  // 8x8 blocks, a partial last block counting whole
  int lDiffStride, hDiffStride, sigmaStride;
  int64_t lDiffSize, hDiffSize, sigmaSize;
  int64_t ldiff, sigma, filterLdiff, filterHdiff, sigmaL, sigmaH;
  int64_t checkEnd;   // end mark measured by the size check
  int64_t sigmaHEnd;  // one past the last sigmaH entry, in int16_t elements
  int64_t
      sigmaTmpEnd;  // end of the sigma stage's scratch (in the dead hdiff plane, from element 0)
  int64_t rowBufBytes;  // bytes of the whole-grid row buffer (in the dead hdiff plane, from byte 0)
  int64_t bufElems;     // 6 x proWidth x proHeight
  bool accepted;
};

Layout makeLayout(int proHeight, int proWidth);

// Rows of the per-pixel pass per band in the banded schedule: the smoothed
// difference and the row buffer of a band are still in cache when the pass
// reads them.
constexpr int kBandRows = 16;
// Block rows per step of the low-resolution stages in the banded schedule
// (the block sigma smoothing recomputes eight rows of its horizontal pass per
// step, so steps are not made smaller).
constexpr int kLowResRows = 4;

// Rows of the ring that holds the full-resolution difference in the banded
// schedule when the grid is taller than kRingRows + kBandRows (lower grids
// keep the whole plane): the difference runs at most
// 8 x ((kBandRows + 3) / 8 + kLowResRows + 4) - 1 rows below a band's first
// row y0 and must not overwrite row y0 - 1, which the band still reads. The
// ring holds whole bands and whole block rows, so neither wraps inside.
constexpr int kRingRows = 96;
static_assert(kRingRows % kBandRows == 0 && kRingRows % 8 == 0, "bands and block rows fit");
static_assert(kRingRows >= 8 * ((kBandRows + 3) / 8 + kLowResRows + 4) + 1, "lookahead fits");

// The banded schedule's work area, in the tail of the block sigma reservation
// (larger than the plane: it counts processing rows, not block rows): the
// block alpha plane (blockRows rows of blockCols bytes), the band's row buffer
// (kBandRows rows of lDiffStride bytes), then the sigma stage's scratch for
// one step of kLowResRows block rows. Offsets in int16_t elements from the
// start of the scratch buffer; at is -1 when the grid leaves no room for it
// and motion_detect runs stage by stage.
struct BandWork {
  int64_t at, sigmaTmp, end;
};
BandWork bandWork(const Layout &g);

}  // namespace tnr_md

#endif  // TNR_MD_LAYOUT_H
