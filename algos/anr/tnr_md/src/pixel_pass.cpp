// Per-pixel pass, per-sample form: the alpha of each pixel from the row
// buffer and its own difference; it updates the recursive weight, blends the
// frame, writes the static ratio and scales the gains.
#include <cstring>

#include "arith.h"
#include "kernels.h"

namespace tnr_md {

// Blend with the previous sample weighted w / 128, rounded half up.
static inline uint8_t blend(uint8_t prev, uint8_t cur, uint8_t w) {
  return static_cast<uint8_t>(roundShift(prev * w + cur * (128 - w), 7));
}

// The per-pixel pass over rows [y0, y1).
void pixelPass_c(const Frames &f, const Maps &m, const Grid &g, const PassRows &r) {
  uint8_t *pCurIn = f.cur;
  const uint8_t *pPreIn = f.pre;
  const int imgHeight = f.height, proWidth = g.width;
  // (Locals, not the structs' fields: the byte stores below may alias those.)
  const int16_t *pHdiff = r.hdiff;
  const uint8_t *rowBuf = r.rowBuf;
  const int y0 = r.y0, y1 = r.y1;
  const uint32_t *pSigmaH = r.sigmaH;
  uint8_t *pAlpha = m.alpha, *pPreAlpha = m.preAlpha, *gain_table_u8 = m.gain;
  const int sigmaStride = g.blockCols + 8;
  const int hDiffStride = proWidth + 2;
  const int rowBufStride = g.blockCols + 2;
  const uint8_t ratioR = staticRatioR(r.ratioRBit);
  const uint8_t ratioDelta = static_cast<uint8_t>(128 - ratioR);
  const ptrdiff_t W = f.width, G = m.stride;

  // The 16-pixel blocks of the per-pixel pass start at 0, 16, ...; a partial
  // last block is moved back to end at the grid's edge (to proWidth - 16, a
  // negative column for grids narrower than 16). Each chroma byte takes the
  // weight of a luma pixel paired from its block's start: for an even start
  // the right-hand pixel of its pair, for an odd start the byte's own column
  // when its offset from the start is odd, the next one when it is even.
  const bool movedBack = (proWidth & 15) != 0;
  const int lastStart = proWidth - 16;
  const int lastNominal = (proWidth - 1) & ~15;

  for (int y = y0; y < y1; ++y) {
    const uint8_t *t = rowBuf + static_cast<ptrdiff_t>(y - y0) * rowBufStride;
    uint8_t *cur = pCurIn + y * W;
    const uint8_t *pre = pPreIn + y * W;
    for (int X = 0; X < proWidth; ++X) {
      const int m = (X + 4) >> 3, w = (X + 4) & 7;
      const uint8_t lAlpha = static_cast<uint8_t>(roundShift(t[m] * (8 - w) + t[m + 1] * w, 3));
      const int32_t sH = static_cast<int32_t>(pSigmaH[(y >> 3) * sigmaStride + (X >> 3)]);
      const uint8_t hAlpha = pixelAlphaOf(pHdiff[(y - y0) * hDiffStride + X], sH, invSigma(sH));
      const int motionAlpha = static_cast<int>(roundShift(lAlpha * hAlpha, 7));
      const uint8_t staticAlpha = static_cast<uint8_t>(128 - motionAlpha);
      const uint8_t w8 = recursiveWeight(staticAlpha, pPreAlpha[y * G + X]);
      pPreAlpha[y * G + X] = w8;
      cur[X] = blend(pre[X], cur[X], w8);
      const uint8_t ratio =
          static_cast<uint8_t>(ratioR + roundShift(staticAlpha * staticAlpha * ratioDelta, 14));
      pAlpha[y * G + X] = ratio;
      const int gain = static_cast<int>(roundShift(ratio * gain_table_u8[y * G + X], 7));
      gain_table_u8[y * G + X] = static_cast<uint8_t>(gain > 1 ? gain : 1);
    }
    if (y & 1) {
      // Chroma row y >> 1 with this row's new weights (already in pPreAlpha).
      uint8_t *curUV = pCurIn + (imgHeight + (y >> 1)) * W;
      const uint8_t *preUV = pPreIn + (imgHeight + (y >> 1)) * W;
      const uint8_t *weight = pPreAlpha + y * G;
      for (int X = 0; X < proWidth; ++X) {
        const int b = movedBack && X >= lastNominal ? lastStart : X & ~15;
        const int col = ((X - b) & 1) ? X : X + 1;
        curUV[X] = blend(preUV[X], curUV[X], weight[col]);
      }
    }
  }
}

}  // namespace tnr_md
