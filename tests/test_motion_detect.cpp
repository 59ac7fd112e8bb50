// motion_detect end to end: the per-frame contract over real-looking sequences,
// writes confined to the grid, concurrent calls.
#include <algorithm>
#include <cmath>
#include <string>
#include <thread>
#include <vector>

#include "equiv.h"
#include "forms.h"
#include "layout.h"
#include "motion_detect.h"
#include "test_util.h"

using namespace tnr_md_test;

namespace {

// Caller buffers of one stream, each against a guard page, with the state
// carried from call to call as the contract says.
struct Stream {
  int imgW, imgH, proW, proH, G;
  Guard side;
  GuardedBuffer<uint8_t> cur{size_t(imgW) * imgH * 3 / 2, side}, prev{cur.size(), side};
  GuardedBuffer<uint8_t> alpha = canaryBuffer<uint8_t>(size_t(G) * proH, side, 0xA5);
  GuardedBuffer<uint8_t> preAlpha = canaryBuffer<uint8_t>(alpha.size(), side, 0);
  GuardedBuffer<uint8_t> gain = canaryBuffer<uint8_t>(alpha.size(), side, 128);
  GuardedBuffer<int16_t> tmp{std::max<size_t>(motionDetectTmpBufSize(proH, proW), 1), side};
  float sigmaH = 1.0f, sigmaL = 1.0f, uvRatio = 0.5f;
  Stream(int iw, int ih, int pw, int ph, int g, Guard s = Guard::Right)
      : imgW(iw), imgH(ih), proW(pw), proH(ph), G(g), side(s) {}
  // Runs one frame: copies `frame` in as the current frame, filters it, and
  // keeps the filtered frame as the next previous frame.
  void step(const std::vector<uint8_t> &frame, const tnr_md::Kernels &k, bool first, int rbit = 4,
            float light = 0.0f) {
    std::copy(frame.begin(), frame.end(), cur.begin());
    if (first) std::copy(frame.begin(), frame.end(), prev.begin());
    tnr_md::motionDetectWith(k, cur.data(), prev.data(), tmp.data(), alpha.data(), preAlpha.data(),
                             gain.data(), imgH, imgW, proH, proW, G, sigmaH, sigmaL, uvRatio, light,
                             rbit);
    std::copy(cur.begin(), cur.end(), prev.begin());
  }
};

// A textured still background, a bright square that moves right by `speed`
// pixels per frame from frame `moveFrom` on, and brightness-dependent noise.
struct Scene {
  int w, h;
  std::mt19937 rng;
  Scene(int w_, int h_, uint32_t salt) : w(w_), h(h_), rng(seededRng(salt)) {}
  uint8_t clean(int x, int y, int t, int speed) const {
    const int sx = 8 + speed * t;
    if (speed && x >= sx && x < sx + 24 && y >= 16 && y < 40) return 235;
    return uint8_t(90 + 40 * std::sin(x * 0.21) * std::cos(y * 0.13) +
                   (((x / 8) + (y / 8)) & 1) * 20);
  }
  std::vector<uint8_t> frame(int t, int speed, double noise) {
    std::vector<uint8_t> f(size_t(w) * h * 3 / 2);
    std::normal_distribution<double> n(0.0, 1.0);
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x) {
        const double c = clean(x, y, t, speed);
        const double v = c + n(rng) * noise * std::sqrt(c / 128.0);
        f[size_t(y) * w + x] = uint8_t(std::lround(std::min(255.0, std::max(0.0, v))));
      }
    for (size_t i = size_t(w) * h; i < f.size(); ++i)
      f[i] = uint8_t(128 + (i & 1) * 4 + n(rng) * noise * 0.5);
    return f;
  }
};

double lumaMse(const uint8_t *a, const std::vector<uint8_t> &b, int w, int h) {
  double s = 0;
  for (int i = 0; i < w * h; ++i) s += double(a[i] - b[i]) * (a[i] - b[i]);
  return s / (w * h);
}

}  // namespace

class MotionDetect : public ::testing::TestWithParam<Form> {};
TNR_MD_FORMS_SUITE(MotionDetect);

TEST_P(MotionDetect, IdenticalFramesZeroTheDifferencePlanesAndRunTheMean) {
  const int w = 64, h = 48;
  Scene scene(w, h, 1);
  const auto f = scene.frame(0, 0, 6.0);
  Stream s(w, h, w, h, w);
  const uint8_t seq[] = {64, 85, 96, 102, 106, 109};
  for (int t = 0; t < 6; ++t) {
    s.step(f, *GetParam().k, true);  // the frame against itself
    const auto g = tnr_md::makeLayout(h, w);
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x) ASSERT_EQ(s.tmp[g.filterHdiff + y * g.hDiffStride + x], 0);
    for (int y = 0; y < g.blockRows; ++y)
      for (int x = 0; x < g.blockCols; ++x)
        ASSERT_EQ(s.tmp[g.filterLdiff + y * g.lDiffStride + x], 0);
    for (size_t i = 0; i < f.size(); ++i) ASSERT_EQ(s.cur[i], f[i]);
    for (int i = 0; i < w * h; ++i) {
      ASSERT_EQ(s.preAlpha[i], seq[t]);
      ASSERT_EQ(s.alpha[i], 128);
      ASSERT_EQ(s.gain[i], 128);
    }
  }
}

TEST_P(MotionDetect, StillSceneConvergesTowardTheRunningMean) {
  const int w = 96, h = 64;
  Scene scene(w, h, 2);
  std::vector<uint8_t> clean(size_t(w) * h);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) clean[size_t(y) * w + x] = scene.clean(x, y, 0, 0);
  Stream s(w, h, w, h, w);
  double inMse = 0, outMse = 0;
  for (int t = 0; t < 12; ++t) {
    const auto f = scene.frame(t, 0, 5.0);
    s.step(f, *GetParam().k, t == 0);
    if (t >= 8) {
      inMse += lumaMse(f.data(), clean, w, h);
      outMse += lumaMse(s.cur.data(), clean, w, h);
    }
  }
  // A mean over k >= 8 frames cuts the noise power several times.
  EXPECT_LT(outMse, inMse / 3) << "in " << inMse / 4 << " out " << outMse / 4;
  int high = 0;
  for (int i = 0; i < w * h; ++i) high += s.preAlpha[i] >= 100;
  EXPECT_GT(high, w * h * 8 / 10);
}

// A noisy scene (sigma 8) with a moving square, chained as a camera runs it
// at the tuning the front ends ship: the low block scale makes nearly every
// block move, so nearly every pixel takes the per-pixel path, with
// differences on both sides of the block and pixel thresholds. Every call's
// outputs equal the per-sample set's; a grid whose width ends in a
// moved-back block. Also at chroma weights whose difference plane is
// non-negative (the shipped 0.75, and 1.5, the last such: fix 192) or not
// (-4.0 makes chroma terms negative, 20.0 wraps 32 x h), which the vector
// pass's shortcut for non-negative planes must tell apart.
TEST_P(MotionDetect, NoisySceneAtTheShippedDefaultsMatchesPerSample) {
  const int w = 232, h = 72;
  for (const float uv : {0.75f, 1.5f, -4.0f, 20.0f}) {
    SCOPED_TRACE("uv ratio " + std::to_string(uv));
    Scene scene(w, h, 5);
    Stream want(w, h, w, h, w), got(w, h, w, h, w);
    for (Stream *s : {&want, &got}) {
      s->sigmaH = 1.1f;
      s->sigmaL = 0.12f;
      s->uvRatio = uv;
    }
    for (int t = 0; t < 6; ++t) {
      SCOPED_TRACE("call " + std::to_string(t));
      const auto f = scene.frame(t, 3, 8.0);
      want.step(f, tnr_md::kKernelsC, t == 0);
      got.step(f, *GetParam().k, t == 0);
      ASSERT_TRUE(std::equal(want.cur.begin(), want.cur.end(), got.cur.begin()));
      ASSERT_TRUE(std::equal(want.preAlpha.begin(), want.preAlpha.end(), got.preAlpha.begin()));
      ASSERT_TRUE(std::equal(want.alpha.begin(), want.alpha.end(), got.alpha.begin()));
      ASSERT_TRUE(std::equal(want.gain.begin(), want.gain.end(), got.gain.begin()));
    }
  }
}

TEST_P(MotionDetect, MovingObjectResetsTheWeightAndPassesThrough) {
  const int w = 272, h = 64, speed = 32;  // no overlap between positions
  Scene scene(w, h, 3);
  Stream s(w, h, w, h, w);
  for (int t = 0; t < 5; ++t) s.step(scene.frame(t, 0, 2.0), *GetParam().k, t == 0);
  // The object appears at x 8 + 16 t: its interior, away from the block
  // interpolation's ramps, must pass unchanged with weight 0.
  for (int t = 5; t < 8; ++t) {
    const auto f = scene.frame(t, speed, 2.0);
    s.step(f, *GetParam().k, false);
    const int sx = 8 + speed * t;
    int passed = 0, total = 0;
    for (int y = 20; y < 36; ++y)
      for (int x = sx + 4; x < sx + 20; ++x) {
        ++total;
        passed +=
            s.preAlpha[size_t(y) * w + x] == 0 && s.cur[size_t(y) * w + x] == f[size_t(y) * w + x];
      }
    EXPECT_EQ(passed, total) << "frame " << t;
  }
}

// Nothing outside the grid changes, except pAlpha's first block-count bytes,
// which hold the block alpha and may reach past proWidth (2 x 16 blocks at a
// pitch of 18 in the tall case); light_clip is ignored.
TEST_P(MotionDetect, NothingOutsideTheGridChangesAndLightClipIsIgnored) {
  auto rng = seededRng(4);
  const struct {
    int iw, ih, pw, ph, g;
  } cases[] = {{64, 40, 64, 40, 64},  {70, 42, 61, 37, 67}, {136, 30, 121, 25, 130},
               {40, 24, 14, 8, 16},   {34, 20, 33, 19, 33}, {20, 18, 16, 17, 17},
               {16, 128, 16, 128, 18}};
  for (auto side : {Guard::Right, Guard::Left})
    for (const auto &c : cases) {
      ASSERT_NE(motionDetectTmpBufSize(c.ph, c.pw), 0u) << c.pw << "x" << c.ph;
      Stream a(c.iw, c.ih, c.pw, c.ph, c.g, side), b(c.iw, c.ih, c.pw, c.ph, c.g, side);
      for (Stream *s : {&a, &b}) {
        auto r2 = rng;
        fillRandom(s->cur.data(), s->cur.size(), r2, 0, 255);
        fillRandom(s->prev.data(), s->prev.size(), r2, 0, 255);
        fillRandom(s->preAlpha.data(), s->preAlpha.size(), r2, 0, 128);
        fillRandom(s->gain.data(), s->gain.size(), r2, 0, 255);
      }
      rng.discard(10);
      const std::vector<uint8_t> cur0(a.cur.begin(), a.cur.end()),
          pa0(a.preAlpha.begin(), a.preAlpha.end()), g0(a.gain.begin(), a.gain.end()),
          prev0(a.prev.begin(), a.prev.end());
      auto call = [&](Stream &s, float light, int rbit) {
        tnr_md::motionDetectWith(*GetParam().k, s.cur.data(), s.prev.data(), s.tmp.data(),
                                 s.alpha.data(), s.preAlpha.data(), s.gain.data(), c.ih, c.iw, c.ph,
                                 c.pw, c.g, 1.3f, 0.8f, 0.4f, light, rbit);
      };
      call(a, 0.0f, 3);
      call(b, 123.5f, 256 + 3);  // light_clip unused; only the low 8 bits of the r bit count
      for (auto [x, y] : {std::pair{&a.cur, &b.cur},
                          {&a.alpha, &b.alpha},
                          {&a.gain, &b.gain},
                          {&a.preAlpha, &b.preAlpha}})
        ASSERT_TRUE(sameBuffers(x->data(), y->data(), x->size()));
      ASSERT_TRUE(sameBuffers(prev0.data(), a.prev.data(), prev0.size()));

      ASSERT_TRUE(keptOutside(a.cur.data(), cur0.data(), cur0.size(),
                              filteredBytes(c.iw, c.ih, c.pw, c.ph), c.iw));
      const size_t blocks = size_t((c.pw + 7) / 8) * ((c.ph + 7) / 8);
      const auto inGrid = [&](size_t i) { return int(i % c.g) < c.pw; };
      ASSERT_TRUE(keptOutside(a.preAlpha.data(), pa0.data(), pa0.size(), inGrid, c.g));
      ASSERT_TRUE(keptOutside(a.gain.data(), g0.data(), g0.size(), inGrid, c.g));
      ASSERT_TRUE(canaryIntact<uint8_t>(
          a.alpha.data(), a.alpha.size(), 0xA5, [&](size_t i) { return i < blocks || inGrid(i); },
          c.g));
    }
}

// Calls on distinct buffers may run at once; each result must equal the
// one-at-a-time result (run under ThreadSanitizer in CI).
TEST_P(MotionDetect, ConcurrentCallsOnDistinctBuffersAgree) {
  const int w = 80, h = 48, n = 4, frames = 3;
  std::vector<std::vector<uint8_t>> serial(n), parallel(n);
  auto runStream = [&](int i, std::vector<uint8_t> &out) {
    Scene scene(w, h, 100 + i);
    Stream s(w, h, w, h, w);
    for (int t = 0; t < frames; ++t) s.step(scene.frame(t, i, 4.0), *GetParam().k, t == 0);
    out.assign(s.cur.begin(), s.cur.end());
    out.insert(out.end(), s.preAlpha.begin(), s.preAlpha.end());
    out.insert(out.end(), s.gain.begin(), s.gain.end());
    out.insert(out.end(), s.alpha.begin(), s.alpha.end());
  };
  for (int i = 0; i < n; ++i) runStream(i, serial[i]);
  std::vector<std::thread> threads;
  for (int i = 0; i < n; ++i) threads.emplace_back(runStream, i, std::ref(parallel[i]));
  for (auto &t : threads) t.join();
  for (int i = 0; i < n; ++i) EXPECT_EQ(serial[i], parallel[i]) << "stream " << i;
}
