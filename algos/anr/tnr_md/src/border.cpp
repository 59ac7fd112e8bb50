// Border extension: replicate the outermost valid samples of a plane outward.
#include <cstring>

#include "kernels.h"

namespace tnr_md {

// Whole rows first (their border columns are still stale), then the border
// columns of every row, border rows included: that order gives the corners
// the corner sample.
void extendImgBorder_c(int16_t *pData_ext, int Width_ext, int Height_ext, int ext_x, int ext_y) {
  const size_t rowBytes = sizeof(int16_t) * static_cast<size_t>(Width_ext);
  const int16_t *top = pData_ext + static_cast<ptrdiff_t>(ext_y) * Width_ext;
  const int16_t *bottom = pData_ext + static_cast<ptrdiff_t>(Height_ext - ext_y - 1) * Width_ext;
  for (int h = 0; h < ext_y; ++h)
    std::memcpy(pData_ext + static_cast<ptrdiff_t>(h) * Width_ext, top, rowBytes);
  for (int h = Height_ext - ext_y; h < Height_ext; ++h)
    std::memcpy(pData_ext + static_cast<ptrdiff_t>(h) * Width_ext, bottom, rowBytes);
  for (int h = 0; h < Height_ext; ++h) {
    int16_t *row = pData_ext + static_cast<ptrdiff_t>(h) * Width_ext;
    for (int c = 0; c < ext_x; ++c) row[c] = row[ext_x];
    for (int c = Width_ext - ext_x; c < Width_ext; ++c) row[c] = row[Width_ext - ext_x - 1];
  }
}

}  // namespace tnr_md
