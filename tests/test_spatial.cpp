// The spatial stage: worked values of the threshold table and of single
// windows, whole frames with known answers (flat, an edge, fully still, fully
// moving), the entry point's size checks, the noise level read from
// motion_detect's scratch, and every vector form against the per-sample one
// on random sizes and contents with each buffer against an inaccessible page.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "arith.h"
#include "equiv.h"
#include "forms.h"
#include "motion_detect.h"
#include "spatial.h"
#include "test_util.h"

namespace {

using namespace tnr_md_test;

// One call's input frame and weights (exactly the grid's rows at pitch gs),
// each against an inaccessible page on one side.
struct Frame {
  int w, h, pw, ph, gs;
  Guard side = Guard::Right;
  GuardedBuffer<uint8_t> in{size_t(w) * h * 3 / 2, side}, pre{size_t(gs) * (ph - 1) + pw, side};
  uint8_t &y(int x, int r) { return in[size_t(r) * w + x]; }
};

// A form's output frame (against a guard page, 0xA5 outside the grid).
std::vector<uint8_t> runForm(const Form &form, const Frame &f, int noise, int strength) {
  uint8_t lut[tnr_md::kSpatialLutSize];
  tnr_md::spatialThresholds(noise, strength, lut);
  auto out = canaryBuffer<uint8_t>(f.in.size(), f.side, 0xA5);
  form.k->spatial({f.in.data(), out.data(), f.pre.data(), f.h, f.w, f.ph, f.pw, f.gs, lut}, 0,
                  f.ph, 0, f.ph / 2);
  return {out.begin(), out.end()};
}

class SpatialForms : public ::testing::TestWithParam<Form> {};

// Thresholds (noise level, strength, entry, expected): sigma 8 (128 / 16) at
// strength 5 gives 40 x sqrt((126 - 4 i) / 128): 39.69 (a moving pixel),
// 39.05, 27.84 (w = 64, a mean of two frames), 11.18, then 0 from w = 120
// (the blend's ceiling). Sigma 4, strength 3: 11.91, 8.35, 3.35 is kept;
// sigma 2, strength 4: 2.65 is kept, 2.24 is not. The cap: sigma 12 at
// strength 3.5 gives 41.67 -> 42 (41.02 next); 3.625 would give 43.16 and is
// held at 42 (the bound of the vector forms' byte sums; 41.77 at entry 2).
TEST(SpatialThresholds, WorkedValues) {
  const struct {
    int noise, strength, i, want;
  } cases[] = {{128, 80, 0, 40}, {128, 80, 1, 39}, {128, 80, 16, 28}, {128, 80, 29, 11},
               {128, 80, 30, 0}, {128, 80, 31, 0}, {64, 48, 0, 12},   {64, 48, 16, 8},
               {64, 48, 29, 3},  {32, 64, 28, 3},  {32, 64, 29, 0},   {192, 56, 0, 42},
               {192, 56, 1, 41}, {192, 58, 0, 42}, {192, 58, 2, 42},
               {4095, 255, 0, tnr_md::kSpatialMaxThreshold}};
  uint8_t lut[tnr_md::kSpatialLutSize];
  for (const auto &c : cases) {
    tnr_md::spatialThresholds(c.noise, c.strength, lut);
    EXPECT_EQ(lut[c.i], c.want) << c.noise << " " << c.strength << " entry " << c.i;
  }
  // Clamped: out-of-range arguments act as the cap; no noise or no strength: all 0.
  uint8_t big[tnr_md::kSpatialLutSize];
  tnr_md::spatialThresholds(100000, 1000, big);
  EXPECT_TRUE(std::equal(lut, lut + tnr_md::kSpatialLutSize, big));
  for (const auto &[noise, strength] : {std::pair{-5, 80}, {128, 0}}) {
    tnr_md::spatialThresholds(noise, strength, lut);
    for (uint8_t t : lut) EXPECT_EQ(t, 0);
  }
}

// One window: the increment is floor((sum of s psi + 8) / 16) over the 8
// neighbours (weights 2 beside the centre, 1 in the corners, 12 in all).
// A centre of 110 among 100s (d = -10): t = 20 gives psi -10, sum -120,
// floor(-112 / 16) = -7 -> 103 (the binomial mean 102.5 rounded up); t = 15:
// psi -5 -> 106; t = 17: psi -7 -> 105; t <= 10: no neighbour counts. Beyond
// t / 2 the influence falls: neighbours 30 above at t = 40 count 10 each ->
// 108. Halves round up on both sides: edges 1 above (floor(16 / 16) = 1),
// edges 1 below (floor(0 / 16) = 0). Corners 3 above at t = 8: sum 12 -> +1;
// edges 3 above: sum 24 -> +2. Extremes: no overshoot past the byte, no wrap
// below 0, and beyond the threshold unchanged.
TEST(SpatialSample, WorkedValues) {
  const struct {
    int centre, edges, corners, t, want;
  } cases[] = {{110, 100, 100, 20, 103}, {110, 100, 100, 15, 106}, {110, 100, 100, 17, 105},
               {110, 100, 100, 10, 110}, {110, 100, 100, 0, 110},  {100, 130, 130, 40, 108},
               {100, 101, 100, 2, 101},  {100, 99, 100, 2, 100},   {100, 100, 103, 8, 101},
               {100, 103, 100, 8, 102},  {254, 255, 255, 42, 255}, {255, 255, 255, 42, 255},
               {1, 0, 0, 42, 0},         {0, 255, 255, 42, 0}};
  uint8_t rows[3][3];
  const uint8_t *r[3] = {rows[0], rows[1], rows[2]};
  const int c[3] = {0, 1, 2};
  for (const auto &k : cases) {
    for (int i = 0; i < 3; ++i)
      for (int j = 0; j < 3; ++j) rows[i][j] = uint8_t((i == 1) != (j == 1) ? k.edges : k.corners);
    rows[1][1] = uint8_t(k.centre);
    EXPECT_EQ(tnr_md::spatialSample(r, c, k.t), k.want)
        << k.centre << " among " << k.edges << "/" << k.corners << " at " << k.t;
  }
}

TEST_P(SpatialForms, EdgeAndStillFramePassUnchanged) {
  const Form form = GetParam();
  const int w = 64, h = 40;
  // An edge of contrast 100 (beyond every threshold) survives unchanged, in
  // luma (vertical edge) and chroma (horizontal edge in U, V constant).
  {
    Frame f{w, h, w, h, w};
    f.in.fill(50);
    for (int r = 0; r < h; ++r)
      for (int x = w / 2 + 3; x < w; ++x) f.y(x, r) = 150;
    uint8_t *uv = f.in.data() + size_t(w) * h;
    for (int r = h / 4 + 1; r < h / 2; ++r)
      for (int x = 0; x < w; x += 2) uv[size_t(r) * w + x] = 200;
    EXPECT_TRUE(sameBuffers(f.in.data(), runForm(form, f, 4095, 255).data(), f.in.size(), w));
  }
  // Fully still (every weight at the blend's ceiling of 120 or above): the
  // frame passes unchanged whatever its noise.
  std::mt19937 rng = seededRng(161);
  std::normal_distribution<double> noise(0.0, 8.0);
  Frame noisy{w, h, w, h, w};
  noisy.pre.fill(120);
  for (auto &v : noisy.in) v = tnr_md::satU8(std::lround(120 + noise(rng)));
  for (size_t i = 0; i < noisy.pre.size(); i += 3) noisy.pre[i] = static_cast<uint8_t>(120 + i % 136);
  EXPECT_TRUE(sameBuffers(noisy.in.data(), runForm(form, noisy, 128, 80).data(), noisy.in.size()));
}

// The same bytes on every architecture and in every form: a fixed frame
// (integer generator, odd grid inside the frame, weights of every kind, the
// bytes outside the grid left as they were) has this FNV-1a hash on x86-64,
// ARMv7-A and AArch64 (the armv7 and aarch64 presets run this under qemu). The value comes from tests/spatial_model.py,
// a model of the definition in Python integers, not from these forms.
TEST_P(SpatialForms, SameBytesOnEveryArchitecture) {
  const Form form = GetParam();
  const int w = 166, h = 98, pw = 161, ph = 95, gs = 163;
  Frame f{w, h, pw, ph, gs};
  uint32_t s = 0x2545F491u;
  const auto next = [&] {
    s ^= s << 13;
    s ^= s >> 17;
    s ^= s << 5;
    return s;
  };
  for (size_t i = 0; i < f.in.size(); ++i) {
    const int x = static_cast<int>(i % w), y = static_cast<int>(i / w);
    const int v = 60 + x / 2 + ((x / 16 + y / 16) & 1) * 40 + static_cast<int>(next() % 33) - 16;
    f.in[i] = tnr_md::satU8(v);
  }
  const uint8_t kinds[] = {0, 0, 16, 64, 85, 96, 110, 120, 128, 200};
  for (auto &v : f.pre) v = kinds[next() % 10];
  const std::vector<uint8_t> out = runForm(form, f, 8 * 16, 80);
  uint64_t hash = 1469598103934665603ull;
  for (uint8_t b : out) hash = (hash ^ b) * 1099511628211ull;
  EXPECT_EQ(hash, 0xee2090cf10fc0e57ull) << std::hex << hash;
}

TNR_MD_FORMS_SUITE(SpatialForms);

TEST(SpatialDenoise, RefusedSizesTouchNothing) {
  const int w = 64, h = 32;
  std::vector<uint8_t> in(size_t(w) * h * 3 / 2, 10), out(in.size(), 0xEE), pre(size_t(w) * h, 0);
  struct Case {
    int ih, iw, ph, pw, gs;
  } cases[] = {{h, w, h, 7, w},   {h, w, 7, w, w},   {h, w, h, 6, w},         {h, w, 6, w, w},
               {h, w, h, w, 63},  {h, w, h, 66, 66}, {h, w, 34, w, w},        {h, 63, h, 62, 62},
               {31, w, 30, w, w}, {h, w, -2, w, w},  {h, w, h, -8, w},        {1 << 16, 1 << 16, 8, 8, 8}};
  for (const Case &c : cases) {
    EXPECT_EQ(spatialDenoiseAccepts(c.ih, c.iw, c.ph, c.pw, c.gs), 0)
        << c.iw << "x" << c.ih << " grid " << c.pw << "x" << c.ph << " pitch " << c.gs;
    spatial_denoise(in.data(), out.data(), pre.data(), c.ih, c.iw, c.ph, c.pw, c.gs, 128, 80);
    for (uint8_t v : out) ASSERT_EQ(v, 0xEE);
  }
  EXPECT_EQ(spatialDenoiseAccepts(h, w, 8, 8, 8), 1);
  EXPECT_EQ(spatialDenoiseAccepts(h, w, 9, 63, 63), 1);  // odd grids are filtered too
  EXPECT_EQ(spatialDenoiseAccepts(h, w, h, w, w), 1);
  // Strength 0 copies the grid (here the whole frame).
  spatial_denoise(in.data(), out.data(), pre.data(), h, w, h, w, w, 128, 0);
  EXPECT_TRUE(sameBuffers(in.data(), out.data(), in.size()));
}

// The noise level read from motion_detect's scratch: the sigma of Gaussian
// noise on every byte of a textured scene when the previous frame is as clean
// as the blend makes it (sigma / 4): within 10 % when the scene is still,
// and within 25 % when 40 % of its blocks move (a moving block's sigma can
// lie on either side of the still blocks'; the lower quartile reads about
// 20 % high here).
TEST(NoiseLevel, FollowsTheNoiseSigma) {
  const int w = 256, h = 128;
  std::mt19937 rng = seededRng(163);
  std::vector<uint8_t> clean(size_t(w) * h * 3 / 2);
  for (int r = 0; r < h * 3 / 2; ++r)
    for (int x = 0; x < w; ++x)
      clean[size_t(r) * w + x] = static_cast<uint8_t>(128 + 60 * std::sin(x * 0.11 + r * 0.07));
  std::vector<int16_t> tmp(motionDetectTmpBufSize(h, w));
  std::vector<uint8_t> alpha(size_t(w) * h), pre(size_t(w) * h, 120), gain(size_t(w) * h, 128);
  for (int movingCols : {0, w * 2 / 5})
    for (double sigma : {4.0, 8.0, 12.0}) {
      std::normal_distribution<double> n(0.0, sigma), n4(0.0, sigma / 4);
      std::vector<uint8_t> cur(clean), prev(clean);
      for (auto &v : cur) v = tnr_md::satU8(std::lround(v + n(rng)));
      for (auto &v : prev) v = tnr_md::satU8(std::lround(v + n4(rng)));
      for (int r = 0; r < h; ++r)  // the moving part: other texture
        for (int x = 0; x < movingCols; ++x) {
          const double t = 128 + 60 * std::sin(x * 0.23 + r * 0.05 + 1.0);
          cur[size_t(r) * w + x] = tnr_md::satU8(std::lround(t + n(rng)));
        }
      motion_detect(cur.data(), prev.data(), tmp.data(), alpha.data(), pre.data(), gain.data(), h,
                    w, h, w, w, 1.1f, 0.12f, 0.75f, 0.0f, 4);
      const int level = motionDetectNoiseLevel(tmp.data(), h, w, 0.75f);
      EXPECT_NEAR(level / 16.0, sigma, (movingCols ? 0.25 : 0.1) * sigma)
          << "sigma " << sigma << ", moving columns " << movingCols;
    }
  EXPECT_EQ(motionDetectNoiseLevel(tmp.data(), 7, w, 0.75f), 0);
  EXPECT_EQ(motionDetectNoiseLevel(nullptr, h, 4, 0.75f), 0);
}

#if TNR_MD_HAVE_NEON
// Vector forms against the per-sample form: random sizes (around the 16-lane
// step plus the border columns, and rows narrower than one step), grids
// inside larger frames, map pitches wider than the grid, random and
// adversarial contents and weights, random noise levels and strengths; each
// caller buffer against an inaccessible page on its right, then its left.
TEST(SpatialEquivalence, VectorFormsMatchPerSample) {
  std::mt19937 rng = seededRng(164);
  const std::vector<Form> forms = vectorForms();
  const int widths[] = {8,  9,  10, 16, 17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 33, 34,
                        35, 36, 37, 38, 40, 41, 52, 54, 65, 66, 67, 68, 69, 70, 98, 130, 131, 201};
  int cases = 0;
  for (int pw : widths)
    for (Guard side : kGuardSides)
      for (int rep = 0; rep < 3; ++rep) {
        const int ph = 8 + static_cast<int>(rng() % 24);
        const int w = (pw + 1 + 2 * static_cast<int>(rng() % 3)) & ~1;
        const int h = (ph + 1 + 2 * static_cast<int>(rng() % 2)) & ~1;
        const int gs = pw + static_cast<int>(rng() % 5);
        const auto fill = static_cast<Fill>(rng() % int(Fill::Count));
        Frame f{w, h, pw, ph, gs, side};
        fillWith(f.in.data(), f.in.size(), fill, rng, 0, 255, w);
        // Weights: mostly the values the blend writes, some above 128.
        for (auto &v : f.pre) {
          const uint32_t k = rng() % 8;
          v = static_cast<uint8_t>(k < 3 ? 0 : k < 5 ? rng() % 129 : k < 7 ? 120 : rng() % 256);
        }
        const int noise = static_cast<int>(rng() % 400);
        const int strength = static_cast<int>(rng() % 120);
        const auto want = runForm({"PerSample", &tnr_md::kKernelsC, &tnr_md::kMotionKernelsC}, f, noise, strength);
        for (const Form &form : forms)
          ASSERT_TRUE(
              sameBuffers(want.data(), runForm(form, f, noise, strength).data(), want.size(), w))
              << form.name << " " << w << "x" << h << " grid " << pw << "x" << ph << " pitch " << gs
              << " fill " << fillName(fill) << " noise " << noise << " strength " << strength
              << " guard " << sideName(side);
        ++cases;
      }
  EXPECT_GT(cases, 100);
}
#endif

}  // namespace
