// Border replication.
#include "kernels.h"
#include "motion_detect.h"
#include "test_util.h"

using tnr_md_test::Guard;
using tnr_md_test::GuardedBuffer;

namespace {

// Value the plane must hold at (r, c) after the call: the nearest valid sample.
int16_t expected(const std::vector<int16_t> &before, int W, int H, int ex, int ey, int r, int c) {
  const int rr = r < ey ? ey : (r > H - ey - 1 ? H - ey - 1 : r);
  const int cc = c < ex ? ex : (c > W - ex - 1 ? W - ex - 1 : c);
  return before[rr * W + cc];
}

void checkBorder(int W, int H, int ex, int ey, Guard side, uint32_t salt) {
  auto rng = tnr_md_test::seededRng(salt);
  GuardedBuffer<int16_t> plane(size_t(W) * H, side);
  tnr_md_test::fillRandom(plane.data(), plane.size(), rng, -32768, 32767);
  const std::vector<int16_t> before(plane.begin(), plane.end());
  extendImgBorder(plane.data(), W, H, ex, ey);
  for (int r = 0; r < H; ++r)
    for (int c = 0; c < W; ++c)
      ASSERT_EQ(plane[r * W + c], expected(before, W, H, ex, ey, r, c))
          << W << "x" << H << " border " << ex << "," << ey << " at " << r << "," << c;
}

}  // namespace

TEST(Border, SingleValidSampleFillsEverything) {
  int16_t p[9] = {1, 2, 3, 4, -77, 6, 7, 8, 9};
  extendImgBorder(p, 3, 3, 1, 1);
  for (int16_t v : p) EXPECT_EQ(v, -77);
}

// Borders 0 .. 4 on each axis around valid areas from one sample wide or high.
TEST(Border, CornersTakeTheCornerSampleAndNothingOutsideIsTouched) {
  for (int ex = 0; ex <= 4; ++ex)
    for (int ey = 0; ey <= 4; ++ey)
      for (int extra = 1; extra <= 3; ++extra) {
        checkBorder(2 * ex + extra + 5, 2 * ey + extra, ex, ey, Guard::Right, 100 + ex * 10 + ey);
        checkBorder(2 * ex + extra, 2 * ey + extra + 3, ex, ey, Guard::Left, 200 + ex * 10 + ey);
      }
}
