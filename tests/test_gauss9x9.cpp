// gauss9x9Filter: impulse response, rounding of negative values, extremes,
// the 2-sample read border and the written rectangle.
#include "kernels.h"
#include "test_util.h"

using namespace tnr_md_test;

namespace {

constexpr int16_t kCanary = 0x5A5A;
const int kCoeff[5][5] = {{24, 35, 39, 35, 24},
                          {35, 50, 57, 50, 35},
                          {39, 57, 64, 57, 39},
                          {35, 50, 57, 50, 35},
                          {24, 35, 39, 35, 24}};

// Input with exactly a 2-sample border and output of exactly imgHgt rows,
// both against an inaccessible page; the pitch is wider than the border needs.
struct Plane {
  int hgt, wid, stride;
  GuardedBuffer<int16_t> in, out;
  Plane(int h, int w, int extra, Guard g)
      : hgt(h),
        wid(w),
        stride(w + 4 + extra),
        in(size_t(h + 4) * stride - extra, g),
        out(size_t(h > 0 ? h : 1) * stride, g) {
    in.fill(0);
    out.fill(kCanary);
  }
  int16_t &at(int r, int c) { return in[size_t(r + 2) * stride + c + 2]; }
  int16_t &o(int r, int c) { return out[size_t(r) * stride + c]; }
  void run() { tnr_md::gauss9x9_c(&at(0, 0), out.data(), hgt, wid, stride); }
  // Checks the written rectangle against want(r, c) and the rest against the canary.
  template <class F>
  void expect(F want) {
    for (int r = 0; r < int(out.size()) / stride; ++r)
      for (int c = 0; c < stride; ++c) {
        const bool in = r < hgt && c < wid;
        ASSERT_EQ(o(r, c), in ? want(r, c) : kCanary) << r << "," << c;
      }
  }
};

// A value v at (r0, c0) alone: the expected output at (r, c).
int impulse(int v, int r0, int c0, int r, int c) {
  const int m = r0 - r + 2, n = c0 - c + 2;
  if (m < 0 || m > 4 || n < 0 || n > 4) return 0;
  return (kCoeff[m][n] * v + 512) >> 10;
}

TEST(Gauss9x9Filter, ImpulseResponse) {
  for (Guard g : {Guard::Right, Guard::Left}) {
    Plane p(9, 11, 3, g);
    p.at(4, 5) = 1024;
    p.run();
    p.expect([](int r, int c) { return impulse(1024, 4, 5, r, c); });
    EXPECT_EQ(p.o(4, 5), 64);
    EXPECT_EQ(p.o(3, 5), 57);
    EXPECT_EQ(p.o(3, 4), 50);
    EXPECT_EQ(p.o(2, 3), 24);
    EXPECT_EQ(p.o(2, 4), 35);
  }
}

// The border samples count: an impulse two samples outside each corner.
TEST(Gauss9x9Filter, ReadsTheTwoSampleBorder) {
  for (Guard g : {Guard::Right, Guard::Left}) {
    Plane p(6, 7, 0, g);
    p.at(-2, -2) = 1024;
    p.at(7, 8) = 2048;
    p.run();
    p.expect([](int r, int c) { return impulse(1024, -2, -2, r, c) + impulse(2048, 7, 8, r, c); });
    EXPECT_EQ(p.o(0, 0), 24);
    EXPECT_EQ(p.o(5, 6), 48);
  }
}

// Halves round up: 8 gives 1 at its position only, -8 gives 0 everywhere,
// -9 gives -1 at its position and its four edge neighbours.
TEST(Gauss9x9Filter, RoundingOfSmallValues) {
  for (int v : {8, -8, -9}) {
    SCOPED_TRACE(v);
    Plane p(7, 7, 1, Guard::Right);
    p.at(3, 3) = int16_t(v);
    p.run();
    p.expect([v](int r, int c) {
      const int d = std::abs(r - 3) + std::abs(c - 3);
      if (v == 8) return d == 0 ? 1 : 0;
      if (v == -9) return (d <= 1) ? -1 : 0;
      return 0;
    });
  }
}

TEST(Gauss9x9Filter, ConstantPlanesIncludingExtremes) {
  for (int k : {32767, -32768, -1, 1, 777}) {
    SCOPED_TRACE(k);
    Plane p(5, 9, 2, Guard::Left);
    p.in.fill(int16_t(k));
    p.run();
    p.expect([k](int, int) { return k; });
  }
}

TEST(Gauss9x9Filter, EmptySizesWriteNothing) {
  for (auto hw : {std::pair<int, int>{0, 5}, {5, 0}, {-1, 5}, {5, -3}}) {
    Plane p(5, 5, 0, Guard::Right);
    p.in.fill(1000);
    tnr_md::gauss9x9_c(&p.at(0, 0), p.out.data(), hw.first, hw.second, p.stride);
    for (size_t i = 0; i < p.out.size(); ++i) ASSERT_EQ(p.out[i], kCanary);
  }
}

}  // namespace
