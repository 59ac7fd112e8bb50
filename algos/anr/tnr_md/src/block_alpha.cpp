// Block alpha, per-sample form: how far each block's difference exceeds its
// low sigma, in 1/128.
#include "arith.h"
#include "kernels.h"

namespace tnr_md {

void blockAlpha_c(const int16_t *ldiff, int lDiffStride, const uint16_t *sigmaL, int sigmaStride,
                  uint8_t *a, int rows, int cols) {
  for (int j = 0; j < rows; ++j)
    for (int i = 0; i < cols; ++i)
      a[j * cols + i] = blockAlphaOf(ldiff[j * lDiffStride + i], sigmaL[j * sigmaStride + i]);
}

}  // namespace tnr_md
