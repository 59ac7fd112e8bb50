// 3x3 binomial smoothing (1 2 1 / 2 4 2 / 1 2 1, / 16), per-sample form.
#include "arith.h"
#include "kernels.h"

namespace tnr_md {

// Reads rows -1 .. rows and columns -1 .. cols of pIn; writes columns
// 0 .. cols - 1 of rows rows of pOut. Exact in 32 bits, rounded half up.
void gauss3x3_c(const int16_t *pIn, int16_t *pOut, int rows, int cols, int stride) {
  for (int y = 0; y < rows; ++y) {
    const int16_t *up = pIn + static_cast<ptrdiff_t>(y - 1) * stride;
    const int16_t *mid = up + stride;
    const int16_t *down = mid + stride;
    int16_t *out = pOut + static_cast<ptrdiff_t>(y) * stride;
    for (int x = 0; x < cols; ++x) {
      const int32_t d = up[x - 1] + up[x + 1] + down[x - 1] + down[x + 1];
      const int32_t e = up[x] + mid[x - 1] + mid[x + 1] + down[x];
      out[x] = low16(roundShift(d + 2 * e + 4 * mid[x], 4));
    }
  }
}

}  // namespace tnr_md
