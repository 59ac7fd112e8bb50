// Row buffer, per-sample form: the block alpha interpolated vertically to
// each processing row, between block centres (rows 8j + 4), then the two
// border columns, which repeat the outermost block columns.
#include "arith.h"
#include "kernels.h"

namespace tnr_md {

void rowBuffer_c(const uint8_t *a, uint8_t *rowBuf, int y0, int y1, int blockRows, int blockCols) {
  const int rowBufStride = blockCols + 2;
  for (int y = y0; y < y1; ++y) {
    const auto [index0, index1, wgt0] = blockRowPair(y, blockRows);
    const int wgt1 = 8 - wgt0;
    uint8_t *t = rowBuf + static_cast<ptrdiff_t>(y - y0) * rowBufStride;
    for (int i = 0; i < blockCols; ++i)
      t[i + 1] = static_cast<uint8_t>(
          roundShift(a[index0 * blockCols + i] * wgt1 + a[index1 * blockCols + i] * wgt0, 3));
    t[0] = t[1];
    t[blockCols + 1] = t[blockCols];
  }
}

}  // namespace tnr_md
