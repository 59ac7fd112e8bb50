// gauss9x9Filter: impulse response, rounding of negative values, extremes,
// the 2-sample read border and the written rectangle.
#include "equiv.h"
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
  int hgt, wid, extra;
  Guard g;
  int stride = wid + 4 + extra;
  GuardedBuffer<int16_t> in = canaryBuffer<int16_t>(size_t(hgt + 4) * stride - extra, g, 0);
  GuardedBuffer<int16_t> out = canaryBuffer(size_t(hgt > 0 ? hgt : 1) * stride, g, kCanary);
  Plane(int h, int w, int e, Guard g_) : hgt(h), wid(w), extra(e), g(g_) {}
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

// An impulse inside the plane, and one two samples outside each of two
// corners (the border samples count like the interior).
TEST(Gauss9x9Filter, ImpulseResponseAndTheTwoSampleBorder) {
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
    Plane b(6, 7, 0, g);
    b.at(-2, -2) = 1024;
    b.at(7, 8) = 2048;
    b.run();
    b.expect([](int r, int c) { return impulse(1024, -2, -2, r, c) + impulse(2048, 7, 8, r, c); });
    EXPECT_EQ(b.o(0, 0), 24);
    EXPECT_EQ(b.o(5, 6), 48);
  }
}

// Halves round up: 8 gives 1 at its position only, -8 gives 0 everywhere,
// -9 gives -1 at its position and its four edge neighbours; constant planes,
// extremes included, stay as they are.
TEST(Gauss9x9Filter, RoundingOfSmallValuesAndConstantPlanes) {
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
  for (int k : {32767, -32768, -1, 1, 777}) {
    SCOPED_TRACE(k);
    Plane p(5, 9, 2, Guard::Left);
    p.in.fill(int16_t(k));
    p.run();
    p.expect([k](int, int) { return k; });
  }
}

}  // namespace
