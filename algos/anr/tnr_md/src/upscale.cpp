// Alpha generation, per-sample form: block alpha, its bilinear upsampling, and
// the per-pixel pass that updates the weight, blends the frame, writes the
// static ratio and scales the gains.
#include <cstring>

#include "arith.h"
#include "kernels.h"

namespace tnr_md {

// d x 128 / s with the estimate-and-one-step reciprocal, rounded, at most 128.
uint8_t blockAlpha(int16_t ldiff, uint16_t sigmaL) {
  const int16_t sL = static_cast<int16_t>(sigmaL);
  const int16_t diff = low16(ldiff - sL);  // wraps in 16 bits
  const int32_t d = diff > 0 ? diff : 0;
  const int32_t s = sL > 64 ? sL : 64;
  const uint32_t a =
      truncToUint(static_cast<float>(d * 128) * recipRefine(static_cast<float>(s)) + 0.5f);
  return static_cast<uint8_t>(a < 128 ? a : 128);
}

// The new recursive weight: (staticAlpha / 128) / (2 - preAlpha / 128).
uint8_t recursiveWeight(uint8_t staticAlpha, uint8_t preAlpha) {
  const uint32_t w = truncToUint(static_cast<float>(staticAlpha * 128) *
                                     recipRefine(static_cast<float>(256 - preAlpha)) +
                                 0.5f);
  return static_cast<uint8_t>(w < 128 ? w : 128);
}

// Per-pixel motion against the high sigma; inv = 1 / sH in double, to float.
uint8_t pixelAlpha(int16_t hdiff, int32_t sH, float inv) {
  const uint32_t excess = static_cast<uint32_t>(hdiff) - static_cast<uint32_t>(sH);
  const int32_t hd = static_cast<int32_t>((static_cast<int32_t>(excess) > 0 ? excess : 0u) << 7);
  const uint32_t a = truncToUint(static_cast<float>(hd) * inv + 0.5f);
  return static_cast<uint8_t>(a < 128 ? a : 128);
}

uint8_t staticRatioR(uint8_t static_ratio_r_bit) {
  return static_ratio_r_bit >= 8 ? 0 : static_cast<uint8_t>(1u << static_ratio_r_bit);
}

// Blend with the previous sample weighted w / 128, rounded half up.
static inline uint8_t blend(uint8_t prev, uint8_t cur, uint8_t w) {
  return static_cast<uint8_t>(roundShift(prev * w + cur * (128 - w), 7));
}

void upScale_c(uint8_t *pCurIn, uint8_t *pPreIn, int16_t *pLdiff, int16_t *pHdiff, uint8_t *pTmp,
               uint8_t *pAlpha, uint8_t *pPreAlpha, uint8_t *gain_table_u8, int imgHeight,
               int imgWidth, int proHeight, int proWidth, int GainStride,
               uint8_t static_ratio_r_bit, uint16_t *pSigmaL, uint32_t *pSigmaH) {
  const int dsHgt = (proHeight + 7) / 8;
  const int dsWid = (proWidth + 7) / 8;
  const int dsStride = dsWid + 2;
  const int sigmaStride = dsWid + 8;
  const int hdiffStride = proWidth + 2;
  const int tmpStride = dsStride;
  const uint8_t ratioR = staticRatioR(static_ratio_r_bit);
  const uint8_t ratioDelta = static_cast<uint8_t>(128 - ratioR);
  const ptrdiff_t W = imgWidth, G = GainStride;

  // Block alpha, held in a compact plane of pitch dsWid at the start of pAlpha.
  for (int j = 0; j < dsHgt; ++j)
    for (int i = 0; i < dsWid; ++i)
      pAlpha[j * dsWid + i] = blockAlpha(pLdiff[j * dsStride + i], pSigmaL[j * sigmaStride + i]);

  // Vertical interpolation between block centres (rows 8j + 4) into T.
  for (int y = 0; y < proHeight; ++y) {
    const int index = (y + 4) >> 3;
    const int index0 = index - 1 > 0 ? index - 1 : 0;
    const int index1 = index < dsHgt - 1 ? index : dsHgt - 1;
    const int wgt0 = (y + 4) - 8 * index;
    const int wgt1 = 8 - wgt0;
    uint8_t *t = pTmp + static_cast<ptrdiff_t>(y) * tmpStride;
    for (int i = 0; i < dsWid; ++i)
      t[i + 1] = static_cast<uint8_t>(
          roundShift(pAlpha[index0 * dsWid + i] * wgt1 + pAlpha[index1 * dsWid + i] * wgt0, 3));
  }
  for (int y = 0; y < proHeight; ++y) pTmp[y * tmpStride] = pTmp[y * tmpStride + 1];
  for (int y = 0; y < proHeight; ++y) pTmp[y * tmpStride + dsWid + 1] = pTmp[y * tmpStride + dsWid];

  // The 16-pixel blocks of the per-pixel pass start at 0, 16, ...; a partial
  // last block is moved back to end at the grid's edge (to proWidth - 16, a
  // negative column for grids narrower than 16). Each chroma byte takes the
  // weight of a luma pixel paired from its block's start: for an even start
  // the right-hand pixel of its pair, for an odd start the byte's own column
  // when its offset from the start is odd, the next one when it is even.
  const bool movedBack = (proWidth & 15) != 0;
  const int lastStart = proWidth - 16;
  const int lastNominal = (proWidth - 1) & ~15;

  for (int y = 0; y < proHeight; ++y) {
    const uint8_t *t = pTmp + static_cast<ptrdiff_t>(y) * tmpStride;
    uint8_t *cur = pCurIn + y * W;
    const uint8_t *pre = pPreIn + y * W;
    for (int X = 0; X < proWidth; ++X) {
      const int m = (X + 4) >> 3, w = (X + 4) & 7;
      const uint8_t lAlpha = static_cast<uint8_t>(roundShift(t[m] * (8 - w) + t[m + 1] * w, 3));
      const int32_t sH = static_cast<int32_t>(pSigmaH[(y >> 3) * sigmaStride + (X >> 3)]);
      const float inv = static_cast<float>(1.0 / static_cast<double>(sH));
      const uint8_t hAlpha = pixelAlpha(pHdiff[y * hdiffStride + X], sH, inv);
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
