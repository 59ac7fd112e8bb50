// Block alpha, per-sample form: how far each block's difference exceeds its
// low sigma, in 1/128.
#include "arith.h"
#include "kernels.h"

namespace tnr_md {

// d x 128 / s with the estimate-and-one-step reciprocal, rounded, at most 128.
uint8_t blockAlphaOf(int16_t ldiff, uint16_t sigmaL) {
  const int16_t sL = static_cast<int16_t>(sigmaL);
  const int16_t diff = low16(ldiff - sL);  // wraps in 16 bits
  const int32_t d = diff > 0 ? diff : 0;
  const int32_t s = sL > 64 ? sL : 64;
  const uint32_t a =
      truncToUint(static_cast<float>(d * 128) * recipRefine(static_cast<float>(s)) + 0.5f);
  return static_cast<uint8_t>(a < 128 ? a : 128);
}

void blockAlpha_c(const int16_t *ldiff, int lDiffStride, const uint16_t *sigmaL, int sigmaStride,
                  uint8_t *a, int rows, int cols) {
  for (int j = 0; j < rows; ++j)
    for (int i = 0; i < cols; ++i)
      a[j * cols + i] = blockAlphaOf(ldiff[j * lDiffStride + i], sigmaL[j * sigmaStride + i]);
}

}  // namespace tnr_md
