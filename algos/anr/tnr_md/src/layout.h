// Geometry of the work planes and the carving of the caller's scratch buffer.
#ifndef TNR_MD_LAYOUT_H
#define TNR_MD_LAYOUT_H

#include <cstdint>

namespace tnr_md {

// Plane geometry of one processing grid, and each plane's offset from the
// start of the scratch buffer in int16_t elements. Offsets and the end marks
// are 64-bit so that the acceptance test itself cannot overflow.
struct Layout {
  int lDiffHgt, lDiffWid;  // 8x8 blocks, a partial last block counting whole
  int lDiffStride, hDiffStride, sigmaStride;
  int64_t lDiffSize, hDiffSize, sigmaSize;
  int64_t ldiff, sigma, hdiffTmp;  // pLdiff, pSigma, pHdiffTmp (= pFilterLdiff)
  int64_t filterHdiff, sigmaL, sigmaH;
  int64_t dsHiff;       // end mark measured by the size check
  int64_t sigmaHEnd;    // one past the last pSigmaH entry, in int16_t elements
  int64_t sigmaTmpEnd;  // end of the sigma stage's scratch plane (from element 0)
  int64_t rowBufBytes;  // bytes of upScale's row buffer (from byte 0)
  int64_t bufElems;     // 6 x proWidth x proHeight
  bool accepted;
};

Layout makeLayout(int proHeight, int proWidth);

// Rows of the per-pixel pass per band in the banded schedule: the smoothed
// difference and the row buffer of a band are still in cache when the pass
// reads them.
constexpr int kBandRows = 16;

// Offset (int16_t elements) of the banded schedule's work area, or -1 when the
// grid leaves no room for it and motion_detect runs stage by stage.
int64_t bandWorkOffset(const Layout &g);

}  // namespace tnr_md

#endif  // TNR_MD_LAYOUT_H
