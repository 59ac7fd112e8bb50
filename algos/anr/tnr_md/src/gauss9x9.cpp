// Scalar 5x5 Gaussian smoothing of an int16 plane, weights summing to 1024.
// Reads 2 samples beyond the output rectangle on every side (the caller's
// border); writes only the rows x cols output rectangle.
#include <cstring>

#include "arith.h"
#include "kernels.h"

namespace tnr_md {

namespace {
const uint8_t kGausCoeff[5][5] = {{24, 35, 39, 35, 24},
                                  {35, 50, 57, 50, 35},
                                  {39, 57, 64, 57, 39},
                                  {35, 50, 57, 50, 35},
                                  {24, 35, 39, 35, 24}};
}  // namespace

void gauss9x9_c(const int16_t *pIn, int16_t *pOut, int rows, int cols, int stride) {
  uint8_t gausCoeff[5][5];
  std::memcpy(gausCoeff, kGausCoeff, sizeof gausCoeff);
  const ptrdiff_t s = stride;
  for (int y = 0; y < rows; ++y) {
    for (int x = 0; x < cols; ++x) {
      int32_t sum = 0;  // at most 1024 x 32768 in magnitude
      for (int m = 0; m < 5; ++m) {
        const int16_t *row = pIn + (y + m - 2) * s + x - 2;
        for (int n = 0; n < 5; ++n) sum += gausCoeff[m][n] * row[n];
      }
      // Rounded half up (toward +infinity on ties), always within int16.
      pOut[y * s + x] = low16(roundShift(sum, 10));
    }
  }
}

}  // namespace tnr_md
