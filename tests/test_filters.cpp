// The 3x3 and 9x9 smoothing and the sigma tables: impulse responses,
// rounding, extremes, wraps, the border samples they read and the rectangle
// they write; the border replication.
#include <algorithm>
#include <cstdlib>
#include <functional>
#include <vector>

#include "arith.h"
#include "equiv.h"
#include "forms.h"
#include "kernels.h"
#include "motion_detect.h"

using namespace tnr_md_test;

namespace {

constexpr int16_t kCanary = -12345;

// A plane with a border of b around imgWid x imgHgt samples, pitch >= imgWid
// + 2b, ending at its last border sample.
struct Bordered {
  int w, h, b, stride;
  GuardedBuffer<int16_t> buf;
  Bordered(int w_, int h_, int b_, int extraPitch, Guard side)
      : w(w_),
        h(h_),
        b(b_),
        stride(w_ + 2 * b_ + extraPitch),
        buf(size_t(stride) * (h + 2 * b) - extraPitch, side) {}
  int16_t *first() { return buf.data() + size_t(b) * stride + b; }
  int16_t &at(int x, int y) { return first()[ptrdiff_t(y) * stride + x]; }
};

// Whether element i of a plane of the given pitch lies in columns c0 .. c1 - 1.
std::function<bool(size_t)> inRows(int pitch, int c0, int c1) {
  return [=](size_t i) { return int(i % pitch) >= c0 && int(i % pitch) < c1; };
}

}  // namespace

class Gauss3x3 : public ::testing::TestWithParam<Form> {
 protected:
  // Filters in into a canary-filled output of the same pitch; checks that only
  // the w x h rectangle was written and returns the output.
  std::vector<int16_t> filter(Bordered &in, Guard side) {
    auto out = canaryBuffer<int16_t>(size_t(in.stride) * (in.h - 1) + in.w, side, kCanary);
    GetParam().k->gauss3x3(in.first(), out.data(), in.h, in.w, in.stride);
    EXPECT_TRUE(canaryIntact<int16_t>(out.data(), out.size(), kCanary, inRows(in.stride, 0, in.w),
                                      in.stride));
    return std::vector<int16_t>(out.begin(), out.end());
  }
};
TNR_MD_FORMS_SUITE(Gauss3x3);

TEST_P(Gauss3x3, ImpulseResponseAndRounding) {
  const struct {
    int16_t v, centre, edge, corner;
  } cases[] = {{16, 4, 2, 1},  {2, 1, 0, 0},      {1, 0, 0, 0},     {-2, 0, 0, 0},
               {-3, -1, 0, 0}, {-16, -4, -2, -1}, {-24, -6, -3, -1}};
  for (const auto &c : cases) {
    for (int w : {5, 16, 20, 33}) {
      Bordered in(w, 5, 1, 3, Guard::Right);
      in.buf.fill(0);
      in.at(w / 2, 2) = c.v;
      const auto out = filter(in, Guard::Right);
      for (int y = 0; y < 5; ++y)
        for (int x = 0; x < w; ++x) {
          const int dx = std::abs(x - w / 2), dy = std::abs(y - 2);
          const int16_t want = (dx == 0 && dy == 0)   ? c.centre
                               : (dx + dy == 1)       ? c.edge
                               : (dx == 1 && dy == 1) ? c.corner
                                                      : 0;
          ASSERT_EQ(out[size_t(y) * in.stride + x], want)
              << c.v << " w=" << w << " at " << x << "," << y;
        }
    }
  }
}

TEST_P(Gauss3x3, ExtremesAndBorderSamplesCountLikeInterior) {
  for (int16_t k : {int16_t(32767), int16_t(-32768), int16_t(7)}) {
    Bordered in(19, 3, 1, 0, Guard::Left);
    in.buf.fill(k);
    const auto out = filter(in, Guard::Left);
    for (int y = 0; y < 3; ++y)
      for (int x = 0; x < 19; ++x) ASSERT_EQ(out[size_t(y) * in.stride + x], k);
  }
  // A border sample 16 next to the top-left corner sample weighs as a corner.
  Bordered in(24, 2, 1, 0, Guard::Right);
  in.buf.fill(0);
  in.at(-1, -1) = 16;
  in.at(24, 2) = 32;  // bottom-right border corner
  const auto out = filter(in, Guard::Right);
  EXPECT_EQ(out[0], 1);
  EXPECT_EQ(out[size_t(1) * in.stride + 23], 2);
}

class SigmaLut : public ::testing::TestWithParam<Form> {
 protected:
  struct Tables {
    std::vector<uint16_t> L;
    std::vector<uint32_t> H;
  };
  // Runs the stage on a plane with a border of 4 and checks that only the
  // imgWid entries of each table row and the scratch columns 4 .. w + 3 of
  // its rows are written.
  Tables run(Bordered &in, float hScale, float lScale, Guard side) {
    const int w = in.w, h = in.h, S = in.stride;
    const size_t entries = size_t(h - 1) * S + w;
    auto L = canaryBuffer<uint16_t>(entries, side, 0xBEEF);
    auto H = canaryBuffer<uint32_t>(entries, side, 0xDEADBEEF);
    auto tmp = canaryBuffer<int16_t>(size_t(h + 7) * S + w + 4, side, kCanary);
    GetParam().k->sigmaLut(in.first(), tmp.data(), {L.data(), H.data()}, {hScale, lScale}, h, w, S);
    EXPECT_TRUE(canaryIntact<uint16_t>(L.data(), entries, 0xBEEF, inRows(S, 0, w), S));
    EXPECT_TRUE(canaryIntact<uint32_t>(H.data(), entries, 0xDEADBEEF, inRows(S, 0, w), S));
    EXPECT_TRUE(canaryIntact<int16_t>(tmp.data(), tmp.size(), kCanary, inRows(S, 4, w + 4), S))
        << "scratch";
    Tables t;
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x) {
        t.L.push_back(L[size_t(y) * S + x]);
        t.H.push_back(H[size_t(y) * S + x]);
      }
    return t;
  }
};
TNR_MD_FORMS_SUITE(SigmaLut);

TEST_P(SigmaLut, ConstantPlanesAndPairSumWraps) {
  const struct {
    int16_t s;
    uint16_t L;
    uint32_t H;
  } cases[] = {{0, 32, 32},     {16383, 18723, 18723}, {16384, 32, 32},
               {20000, 32, 32}, {27, 32, 32},          {28, 32, 32},
               {100, 114, 114}, {1000, 1143, 1143},    {10000, 11429, 11429}};
  for (const auto &c : cases)
    for (int w : {3, 8, 12, 17}) {
      Bordered in(w, 5, 4, 1, Guard::Right);
      in.buf.fill(c.s);
      const auto t = run(in, 1.0f, 1.0f, Guard::Right);
      for (size_t i = 0; i < t.L.size(); ++i) {
        ASSERT_EQ(t.L[i], c.L) << c.s << " w=" << w;
        ASSERT_EQ(t.H[i], c.H) << c.s << " w=" << w;
      }
    }
}

TEST_P(SigmaLut, ScalesRoundingAndTheSixteenBitLowTable) {
  EXPECT_EQ(tnr_md::sigmaTableScale(0.875f), 1.0f);
  EXPECT_EQ(tnr_md::sigmaTableScale(1.75f), 2.0f);
  EXPECT_EQ(tnr_md::sigmaTableScale(1.0f), 1.1428571939468384f);
  Bordered in(9, 3, 4, 0, Guard::Left);
  in.buf.fill(10000);
  auto t = run(in, 7.0f, 7.0f, Guard::Left);  // scale 8: 80000
  EXPECT_EQ(t.L[0], 14464);
  EXPECT_EQ(t.H[0], 80000u);
  t = run(in, -1.0f, 0.875f, Guard::Left);  // negative product: floor 32
  EXPECT_EQ(t.L[4], 10000);
  EXPECT_EQ(t.H[4], 32u);
}

TEST_P(SigmaLut, BorderSamplesWeighLikeInterior) {
  // A single 128 in the top-left border corner at (-4, -4) reaches only entry
  // (0, 0), through the outermost taps: T = 10 x 128 / 128 = 10 on row -4,
  // then v = RoundShift(10 x 10, 7) = 1, scaled by 1.0 and floored to 32.
  Bordered in(12, 6, 4, 0, Guard::Right);
  in.buf.fill(0);
  in.at(-4, -4) = 12800;
  const auto t = run(in, 0.875f * 40, 0.875f, Guard::Right);
  // T(0, -4) = (10 x 12800 + 64) >> 7 = 1000; v = (10 x 1000 + 64) >> 7 = 78.
  EXPECT_EQ(t.L[0], 78);
  EXPECT_EQ(t.H[0], 3120u);
  for (size_t i = 1; i < t.L.size(); ++i) EXPECT_EQ(t.L[i], 32) << i;
}

namespace {

// gauss9x9 (border 2): the output at the pitch of the input, against its
// canary outside the written rectangle, and the expected value want(r, c).
template <class F>
void expectGauss9x9(Bordered &in, Guard side, F want) {
  GuardedBuffer<int16_t> out(size_t(in.stride) * (in.h - 1) + in.w, side);
  out.fill(kCanary);
  tnr_md::gauss9x9_c(in.first(), out.data(), in.h, in.w, in.stride);
  for (size_t i = 0; i < out.size(); ++i) {
    const int r = int(i) / in.stride, c = int(i) % in.stride;
    ASSERT_EQ(out[i], c < in.w ? want(r, c) : kCanary) << r << "," << c;
  }
}

// A value v at (r0, c0) alone: the expected 9x9 output at (r, c).
int impulse9x9(int v, int r0, int c0, int r, int c) {
  const int kCoeff[5][5] = {{24, 35, 39, 35, 24},
                            {35, 50, 57, 50, 35},
                            {39, 57, 64, 57, 39},
                            {35, 50, 57, 50, 35},
                            {24, 35, 39, 35, 24}};
  const int m = r0 - r + 2, n = c0 - c + 2;
  if (m < 0 || m > 4 || n < 0 || n > 4) return 0;
  return (kCoeff[m][n] * v + 512) >> 10;
}

// extendImgBorder on a W x H plane of random samples: every sample becomes
// the nearest one of the valid area (ex and ey in from the edges).
void checkBorder(int W, int H, int ex, int ey, Guard side, uint32_t salt) {
  auto rng = seededRng(salt);
  GuardedBuffer<int16_t> plane(size_t(W) * H, side);
  fillRandom(plane.data(), plane.size(), rng, -32768, 32767);
  const std::vector<int16_t> before(plane.begin(), plane.end());
  extendImgBorder(plane.data(), W, H, ex, ey);
  for (int r = 0; r < H; ++r)
    for (int c = 0; c < W; ++c) {
      const int rr = std::clamp(r, ey, H - ey - 1), cc = std::clamp(c, ex, W - ex - 1);
      ASSERT_EQ(plane[r * W + c], before[rr * W + cc])
          << W << "x" << H << " border " << ex << "," << ey << " at " << r << "," << c;
    }
}

}  // namespace

// An impulse inside the plane, and one two samples outside each of two
// corners (the border samples count like the interior).
TEST(Gauss9x9Filter, ImpulseResponseAndTheTwoSampleBorder) {
  for (Guard g : kGuardSides) {
    Bordered p(11, 9, 2, 3, g);
    p.buf.fill(0);
    p.at(5, 4) = 1024;
    expectGauss9x9(p, g, [](int r, int c) { return impulse9x9(1024, 4, 5, r, c); });
    Bordered b(7, 6, 2, 0, g);
    b.buf.fill(0);
    b.at(-2, -2) = 1024;
    b.at(8, 7) = 2048;
    expectGauss9x9(b, g, [](int r, int c) {
      return impulse9x9(1024, -2, -2, r, c) + impulse9x9(2048, 7, 8, r, c);
    });
  }
}

// Halves round up: 8 gives 1 at its position only, -8 gives 0 everywhere,
// -9 gives -1 at its position and its four edge neighbours; constant planes,
// extremes included, stay as they are.
TEST(Gauss9x9Filter, RoundingOfSmallValuesAndConstantPlanes) {
  for (int v : {8, -8, -9}) {
    SCOPED_TRACE(v);
    Bordered p(7, 7, 2, 1, Guard::Right);
    p.buf.fill(0);
    p.at(3, 3) = int16_t(v);
    expectGauss9x9(p, Guard::Right, [v](int r, int c) {
      const int d = std::abs(r - 3) + std::abs(c - 3);
      return v == 8 ? (d == 0 ? 1 : 0) : v == -9 ? (d <= 1 ? -1 : 0) : 0;
    });
  }
  for (int k : {32767, -32768, -1, 1, 777}) {
    SCOPED_TRACE(k);
    Bordered p(9, 5, 2, 2, Guard::Left);
    p.buf.fill(int16_t(k));
    expectGauss9x9(p, Guard::Left, [k](int, int) { return k; });
  }
}

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
