// The x86-64 sets of every level this processor runs against the per-sample
// forms, byte for byte: random and adversarial contents, sizes around every
// block width and the narrowest each form supports, pitches wider than rows,
// every buffer against an inaccessible page on its right and then on its
// left, canaries outside the written area, the block alpha at every rounding
// boundary, and motion_detect with each x86 set chained over frames.
#include "kernels.h"

#if TNR_MD_HAVE_X86

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "arith.h"
#include "equiv.h"
#include "forms.h"
#include "motion_detect.h"
#include "recip_x86.h"
#include "test_util.h"

namespace {

class VecX86 : public ::testing::TestWithParam<tnr_md_test::Form> {};
INSTANTIATE_TEST_SUITE_P(Levels, VecX86, ::testing::ValuesIn(tnr_md_test::x86Forms()),
                         tnr_md_test::formName);
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(VecX86);

using tnr_md_test::canaryIntact;
using tnr_md_test::Fill;
using tnr_md_test::fillName;
using tnr_md_test::fillWith;
using tnr_md_test::Guard;
using tnr_md_test::GuardedBuffer;
using tnr_md_test::sameBuffers;
using tnr_md_test::seededRng;

using tnr_md_test::sideName;
constexpr auto &kSides = tnr_md_test::kGuardSides;
constexpr int16_t kCanary16 = 0x5A5A;

int64_t uni(std::mt19937 &rng, int64_t lo, int64_t hi) {
  return std::uniform_int_distribution<int64_t>(lo, hi)(rng);
}

template <class T>
GuardedBuffer<T> copyOf(const std::vector<T> &v, Guard g) {
  GuardedBuffer<T> b(v.size(), g);
  std::copy(v.begin(), v.end(), b.begin());
  return b;
}

// ---------------------------------------------------------------------------
// 3x3 filter (the random equivalence of the frame difference and the filter
// runs for every vector twin in test_vec_front.cpp)

// The split of each input into x >> 4 and x & 15 at the edges of the range:
// every 3x3 neighbourhood of the extremes and the values next to them.
TEST_P(VecX86, Gauss3x3ExtremeNeighbourhoods) {
  const int16_t vals[] = {-32768, -32767, -32753, -17, -16, -9,    -8,    -1,   0,
                          1,      7,      8,      15,  16,  32752, 32753, 32767};
  const int w = 33, h = 3, stride = w + 2;
  auto rng = seededRng(0x86A6);
  for (int it = 0; it < 2000; ++it) {
    std::vector<int16_t> in(static_cast<size_t>(h + 2) * stride);
    for (auto &v : in) v = vals[uni(rng, 0, sizeof vals / sizeof vals[0] - 1)];
    std::vector<int16_t> want(static_cast<size_t>(h) * stride, kCanary16), got(want);
    tnr_md::gauss3x3_c(in.data() + stride + 1, want.data(), h, w, stride);
    GetParam().k->gauss3x3(in.data() + stride + 1, got.data(), h, w, stride);
    ASSERT_TRUE(sameBuffers(want.data(), got.data(), want.size(), stride)) << "case " << it;
  }
}

// ---------------------------------------------------------------------------
// upScale's per-pixel pass

struct PixelCase {
  int proWidth, proHeight, imgWidth, imgHeight, gainStride;
  uint8_t ratioBit;
};

std::string describe(const PixelCase &c) {
  return "proWidth " + std::to_string(c.proWidth) + " proHeight " + std::to_string(c.proHeight) +
         " imgWidth " + std::to_string(c.imgWidth) + " imgHeight " + std::to_string(c.imgHeight) +
         " gainStride " + std::to_string(c.gainStride) + " ratioBit " +
         std::to_string(int(c.ratioBit));
}

// Inputs of one per-pixel pass over rows [y0, y1): T holds exactly the rows
// of the band, and every buffer ends at its last element.
struct PixelInputs {
  std::vector<uint8_t> cur, pre, t, preAlpha, gain, alpha;
  std::vector<int16_t> hdiff;
  std::vector<uint32_t> sigmaH;
};

PixelInputs makePixelInputs(const PixelCase &c, int y0, int y1, bool extreme, std::mt19937 &rng) {
  const int dsWid = (c.proWidth + 7) / 8, dsHgt = (c.proHeight + 7) / 8;
  PixelInputs in;
  in.cur.resize(size_t(c.imgWidth) * (c.imgHeight + c.imgHeight / 2));
  in.pre.resize(in.cur.size());
  for (auto &v : in.cur) v = uint8_t(extreme ? (uni(rng, 0, 1) ? 255 : 0) : uni(rng, 0, 255));
  for (auto &v : in.pre) v = uint8_t(extreme ? (uni(rng, 0, 1) ? 255 : 0) : uni(rng, 0, 255));
  in.t.resize(size_t(y1 - y0) * (dsWid + 2));
  for (auto &v : in.t) v = uint8_t(extreme ? (uni(rng, 0, 1) ? 128 : 0) : uni(rng, 0, 128));
  const size_t nMap = size_t(c.proHeight - 1) * c.gainStride + c.proWidth;
  in.preAlpha.resize(nMap);
  in.gain.resize(nMap);
  in.alpha.resize(nMap);
  for (auto &v : in.preAlpha) v = uint8_t(uni(rng, 0, 3) ? uni(rng, 0, 128) : uni(rng, 0, 255));
  for (auto &v : in.gain) v = uint8_t(uni(rng, 0, 255));
  for (auto &v : in.alpha) v = uint8_t(uni(rng, 0, 255));
  in.hdiff.resize(size_t(c.proHeight - 1) * (c.proWidth + 2) + c.proWidth);
  for (auto &v : in.hdiff)
    v = int16_t(
        extreme || uni(rng, 0, 7) == 0
            ? std::vector<int>{-32768, -1, 0, 1, 31, 32, 33, 16415, 16416, 32767}[uni(rng, 0, 9)]
            : uni(rng, -300, 2500));
  in.sigmaH.resize(size_t(dsHgt - 1) * (dsWid + 8) + dsWid);
  for (auto &v : in.sigmaH)
    v = uint32_t(extreme || uni(rng, 0, 7) == 0
                     ? std::vector<int64_t>{0, 1, 32, 100, 32767, 0x7FFFFFFF, 0x80000000,
                                            0xFFFFFFFF}[uni(rng, 0, 7)]
                     : uni(rng, 32, 800));
  return in;
}

struct PixelRun {
  GuardedBuffer<uint8_t> cur, pre, t, preAlpha, gain, alpha;
  GuardedBuffer<int16_t> hdiff;
  GuardedBuffer<uint32_t> sigmaH;
};

// hdiffAt: where sample (0, 0) lies in in.hdiff (after the border of a
// bordered plane for the pass that smooths it itself); the pass gets row y0.
PixelRun runPixels(tnr_md::PixelPassFn *fn, const PixelCase &c, const PixelInputs &in, int y0,
                   int y1, Guard g, size_t hdiffAt = 0) {
  PixelRun r{copyOf(in.cur, g),  copyOf(in.pre, g),   copyOf(in.t, g),     copyOf(in.preAlpha, g),
             copyOf(in.gain, g), copyOf(in.alpha, g), copyOf(in.hdiff, g), copyOf(in.sigmaH, g)};
  fn({r.cur.data(), r.pre.data(), c.imgHeight, c.imgWidth},
     {r.alpha.data(), r.preAlpha.data(), r.gain.data(), c.gainStride},
     tnr_md::makeGrid(c.proHeight, c.proWidth),
     {r.hdiff.data() + hdiffAt + size_t(y0) * (c.proWidth + 2), r.t.data(), r.t.data() + r.t.size(),
      r.sigmaH.data(), c.ratioBit, y0, y1});
  return r;
}

// The per-sample pass on inputs `in` against fn on the same inputs, or, with
// smooth, fn on the unsmoothed bordered plane `raw` that the 3x3 filter
// turns into in.hdiff.
void expectSamePixels(const PixelCase &c, const PixelInputs &in, tnr_md::PixelPassFn *fn,
                      const PixelInputs *raw, int y0, int y1) {
  const size_t hdiffAt = raw ? size_t(c.proWidth) + 3 : 0;
  for (Guard g : kSides) {
    SCOPED_TRACE(describe(c) + " rows " + std::to_string(y0) + ".." + std::to_string(y1) +
                 " guard " + sideName(g) + (raw ? " smoothing in the pass" : ""));
    const PixelRun want = runPixels(tnr_md::pixelPass_c, c, in, y0, y1, g);
    const PixelRun got = runPixels(fn, c, raw ? *raw : in, y0, y1, g, hdiffAt);
    ASSERT_TRUE(
        sameBuffers(want.preAlpha.data(), got.preAlpha.data(), in.preAlpha.size(), c.gainStride))
        << "pPreAlpha";
    ASSERT_TRUE(sameBuffers(want.cur.data(), got.cur.data(), in.cur.size(), c.imgWidth))
        << "pCurIn";
    ASSERT_TRUE(sameBuffers(want.alpha.data(), got.alpha.data(), in.alpha.size(), c.gainStride))
        << "pAlpha";
    ASSERT_TRUE(sameBuffers(want.gain.data(), got.gain.data(), in.gain.size(), c.gainStride))
        << "gain_table_u8";
    ASSERT_TRUE(sameBuffers(in.pre.data(), got.pre.data(), in.pre.size())) << "pPreIn written";
    ASSERT_TRUE(sameBuffers(in.t.data(), got.t.data(), in.t.size())) << "T written";
  }
}

void comparePixels(const tnr_md::Kernels &k, const PixelCase &c, int y0, int y1, bool extreme,
                   std::mt19937 &rng) {
  expectSamePixels(c, makePixelInputs(c, y0, y1, extreme, rng), k.pixelPass, nullptr, y0, y1);
}

// The pass that smooths the difference itself: an unsmoothed bordered plane
// of multiples of 32 (as the frame difference writes it), with values of
// every kind in some cases, exactly as large as the pass may read.
void compareSmoothingPixels(const tnr_md::Kernels &k, const PixelCase &c, int y0, int y1,
                            bool extreme, std::mt19937 &rng) {
  PixelInputs in = makePixelInputs(c, y0, y1, extreme, rng);
  const int stride = c.proWidth + 2;
  PixelInputs raw = in;
  raw.hdiff.assign(size_t(c.proHeight + 2) * stride, 0);
  const bool any = uni(rng, 0, 2) == 0;
  for (auto &v : raw.hdiff)
    v = int16_t(extreme ? std::vector<int>{-32768, -32, 0, 32, 32736}[uni(rng, 0, 4)]
                        : (any ? uni(rng, -32768, 32767) : uni(rng, 0, 800) * 32));
  tnr_md::gauss3x3_c(raw.hdiff.data() + stride + 1, in.hdiff.data(), c.proHeight, c.proWidth,
                     stride);
  expectSamePixels(c, in, k.pixelPassSmooth, &raw, y0, y1);
}

PixelCase pixelCase(int w, int h, std::mt19937 &rng) {
  return {w,
          h,
          w + int(std::vector<int>{0, 0, 1, 2, 5, 16}[uni(rng, 0, 5)]),
          (h + int(uni(rng, 0, 3)) + 1) & ~1,
          w + int(std::vector<int>{0, 0, 1, 3, 8, 17}[uni(rng, 0, 5)]),
          uint8_t(uni(rng, 0, 9))};
}

TEST_P(VecX86, PixelRowsMatchPerSample) {
  auto rng = seededRng(0x86B1);
  std::vector<int> widths;
  for (int w = 1; w <= 50; ++w) widths.push_back(w);
  for (int k = 4; k <= 9; ++k)
    for (int d : {-1, 0, 1}) widths.push_back(16 * k + d);
  for (int w : {255, 256, 257, 1023}) widths.push_back(w);
  for (int w : widths) {
    for (int h : {1, 2, 7, 17}) {
      const PixelCase c = pixelCase(w, h, rng);
      comparePixels(*GetParam().k, c, 0, h, uni(rng, 0, 3) == 0, rng);
      if (HasFatalFailure()) return;
    }
  }
}

// Bands of rows as a banded driver passes them: T holds only the band's
// rows, and the band may start and end anywhere in a block row.
TEST_P(VecX86, PixelRowBandsMatchPerSample) {
  auto rng = seededRng(0x86B2);
  for (int it = 0; it < 150; ++it) {
    const int w = int(uni(rng, 16, 300)), h = int(uni(rng, 2, 40));
    const int y0 = int(uni(rng, 0, h - 1)), y1 = int(uni(rng, y0 + 1, h));
    comparePixels(*GetParam().k, pixelCase(w, h, rng), y0, y1, it % 4 == 0, rng);
    if (HasFatalFailure()) return;
  }
}

TEST_P(VecX86, PixelRowsSmoothingInThePassMatchPerSample) {
  auto rng = seededRng(0x86B5);
  for (int it = 0; it < 200; ++it) {
    const int w = it < 40 ? 16 + it : int(uni(rng, 16, 300)), h = int(uni(rng, 1, 40));
    const int y0 = it % 2 ? 0 : int(uni(rng, 0, h - 1));
    const int y1 = it % 2 ? h : int(uni(rng, y0 + 1, h));
    compareSmoothingPixels(*GetParam().k, pixelCase(w, h, rng), y0, y1, it % 5 == 0, rng);
    if (HasFatalFailure()) return;
  }
}

// Every static alpha 0 .. 128 against every previous weight 0 .. 255: with
// hAlpha = 128 the static alpha is 128 - T, and row a of the grid has T = a,
// column p a previous weight of p.
TEST_P(VecX86, PixelRowsEveryWeightPair) {
  const int w = 256, h = 129, dsWid = w / 8;
  std::vector<uint8_t> cur(size_t(w) * (h + 1 + (h + 1) / 2), 77), pre(cur.size(), 200);
  std::vector<uint8_t> t(size_t(h) * (dsWid + 2)), preAlpha(size_t(w) * h),
      gain(preAlpha.size(), 99);
  for (int y = 0; y < h; ++y) {
    std::memset(&t[size_t(y) * (dsWid + 2)], y, dsWid + 2);
    for (int x = 0; x < w; ++x) preAlpha[size_t(y) * w + x] = uint8_t(x);
  }
  std::vector<int16_t> hdiff(size_t(h) * (w + 2), 30000);
  std::vector<uint32_t> sigmaH(size_t((h + 7) / 8) * (dsWid + 8), 32);
  auto run = [&](tnr_md::PixelPassFn *fn, std::vector<uint8_t> &pa, std::vector<uint8_t> &c,
                 std::vector<uint8_t> &a, std::vector<uint8_t> &g) {
    fn({c.data(), pre.data(), h + 1, w}, {a.data(), pa.data(), g.data(), w}, tnr_md::makeGrid(h, w),
       {hdiff.data(), t.data(), t.data() + t.size(), sigmaH.data(), 8, 0, h});
  };
  std::vector<uint8_t> paC = preAlpha, paX = preAlpha, cC = cur, cX = cur;
  std::vector<uint8_t> aC(preAlpha.size()), aX(aC.size()), gC = gain, gX = gain;
  run(tnr_md::pixelPass_c, paC, cC, aC, gC);
  run(GetParam().k->pixelPass, paX, cX, aX, gX);
  ASSERT_TRUE(sameBuffers(paC.data(), paX.data(), paC.size(), w)) << "pPreAlpha";
  ASSERT_TRUE(sameBuffers(cC.data(), cX.data(), cC.size(), w)) << "pCurIn";
  ASSERT_TRUE(sameBuffers(aC.data(), aX.data(), aC.size(), w)) << "pAlpha";
  // Exact halves fall to the lower value: static alpha 1 from weight 0 gives 0.
  EXPECT_EQ(paX[size_t(127) * w + 0], 0);
  EXPECT_EQ(paX[size_t(0) * w + 0], 64);
}

// ---------------------------------------------------------------------------
// upScale's block alpha (the random equivalence of every upScale piece runs
// for every vector twin in test_vec_upscale.cpp)

// The 4-lane refined reciprocal equals RecipRefine bit for bit on its whole
// domain, the integers 1 .. 32767.
TEST(VecX86Build, RecipRefineExhaustive) {
  for (int s = 1; s <= 32767; s += 4) {
    alignas(16) float in[4], out[4];
    for (int i = 0; i < 4; ++i) in[i] = static_cast<float>(std::min(s + i, 32767));
    _mm_store_ps(out, tnr_md::x86_test::recipRefine4(_mm_load_ps(in)));
    for (int i = 0; i < 4; ++i)
      ASSERT_EQ(tnr_md::floatBits(out[i]), tnr_md::floatBits(tnr_md::recipRefine(in[i])))
          << "s = " << in[i];
  }
}

// Every low sigma s = 64 .. 32767, with the differences on both sides of each
// rounding boundary (2k + 1) s / 256 (k = 0 .. 127), where the reciprocal's
// last bits decide the result, and around d = s; then every sigma entry that
// acts as 64 (below 64, or 32768 and up as int16) with random differences.
// Rows of 263 blocks end with a moved-back group.
TEST_P(VecX86, BlockAlphaAtEveryRoundingBoundary) {
  constexpr int kRow = 263;
  auto rng = seededRng(0x86D1);
  std::vector<int16_t> l(kRow);
  std::vector<uint16_t> sL(kRow);
  std::vector<uint8_t> want(kRow), got(kRow);
  auto check = [&](int sigma) {
    for (int i = 0; i < kRow; ++i) want[i] = tnr_md::blockAlphaOf(l[i], sL[i]);
    std::fill(got.begin(), got.end(), uint8_t{0xEE});
    GetParam().k->blockAlpha(l.data(), kRow, sL.data(), kRow, got.data(), 1, kRow);
    ASSERT_TRUE(sameBuffers(want.data(), got.data(), kRow)) << "sigma entry " << sigma;
  };
  for (int s = 64; s <= 32767; ++s) {
    int i = 0;
    auto put = [&](int64_t d) {
      d = std::clamp<int64_t>(d, 0, 32767);
      sL[i] = uint16_t(s);
      l[i] = tnr_md::low16(s + d);  // Low16(l - sL) = d
      ++i;
    };
    for (int k = 0; k < 128; ++k) {
      const int64_t d0 = (int64_t(2 * k + 1) * s) / 256;
      put(d0);
      put(d0 + 1);
    }
    for (int64_t d :
         {int64_t(s) - 1, int64_t(s), int64_t(s) + 1, int64_t(32767), uni(rng, 0, 32767)})
      put(d);
    while (i < kRow) put(uni(rng, 0, s));
    check(s);
    if (HasFatalFailure()) return;
  }
  for (int s = 0; s < 65536; ++s) {
    if (s == 64) s = 32768;
    for (int i = 0; i < kRow; ++i) {
      sL[i] = uint16_t(s);
      l[i] = int16_t(uni(rng, -32768, 32767));
    }
    check(s);
    if (HasFatalFailure()) return;
  }
}

// ---------------------------------------------------------------------------
// motion_detect with the x86 set, chained

void chain(const tnr_md::Kernels &k, int w, int h, int frames, Guard g, std::mt19937 &rng) {
  const int imgW = (w + int(uni(rng, 0, 5)) + 1) & ~1, imgH = (h + int(uni(rng, 0, 3)) + 1) & ~1;
  const int gainStride = w + int(uni(rng, 0, 1) ? 0 : uni(rng, 1, 9));
  const float sH = float(uni(rng, 2, 40)) / 8, sL = float(uni(rng, 2, 40)) / 8;
  const float uv = float(uni(rng, 0, 160)) / 128;
  const int ratioBit = int(uni(rng, 0, 9));
  SCOPED_TRACE("grid " + std::to_string(w) + "x" + std::to_string(h) + " frame " +
               std::to_string(imgW) + "x" + std::to_string(imgH) + " gainStride " +
               std::to_string(gainStride) + " guard " + sideName(g));
  const size_t tmpN = motionDetectTmpBufSize(h, w);
  ASSERT_GT(tmpN, 0u);
  const size_t frameN = size_t(imgW) * imgH * 3 / 2;
  const size_t mapN = size_t(h - 1) * gainStride + w;
  std::vector<uint8_t> base(frameN);
  for (auto &v : base) v = uint8_t(uni(rng, 0, 255));
  struct State {
    GuardedBuffer<uint8_t> pre, alpha, preAlpha, gain;
    GuardedBuffer<int16_t> tmp;
  };
  auto make = [&] {
    State s{GuardedBuffer<uint8_t>(frameN, g), GuardedBuffer<uint8_t>(mapN, g),
            GuardedBuffer<uint8_t>(mapN, g), GuardedBuffer<uint8_t>(mapN, g),
            GuardedBuffer<int16_t>(tmpN, g)};
    std::copy(base.begin(), base.end(), s.pre.begin());
    s.alpha.fill(0xA5);
    s.preAlpha.fill(0);
    s.gain.fill(200);
    s.tmp.fill(kCanary16);
    return s;
  };
  State c = make(), x = make();
  for (int f = 1; f <= frames; ++f) {
    // Noise on a base frame, with a bright block moving a few pixels a frame.
    std::vector<uint8_t> next(base);
    for (auto &v : next) v = uint8_t(std::clamp<int>(v + int(uni(rng, -5, 5)), 0, 255));
    for (int yy = (3 * f) % imgH; yy < std::min(imgH, (3 * f) % imgH + 12); ++yy)
      for (int xx = (7 * f) % imgW; xx < std::min(imgW, (7 * f) % imgW + 20); ++xx)
        next[size_t(yy) * imgW + xx] = 240;
    GuardedBuffer<uint8_t> curC(frameN, g), curX(frameN, g);
    std::copy(next.begin(), next.end(), curC.begin());
    std::copy(next.begin(), next.end(), curX.begin());
    tnr_md::motionDetectWith(tnr_md::kKernelsC, curC.data(), c.pre.data(), c.tmp.data(),
                             c.alpha.data(), c.preAlpha.data(), c.gain.data(), imgH, imgW, h, w,
                             gainStride, sH, sL, uv, 0.0f, ratioBit);
    tnr_md::motionDetectWith(k, curX.data(), x.pre.data(), x.tmp.data(), x.alpha.data(),
                             x.preAlpha.data(), x.gain.data(), imgH, imgW, h, w, gainStride, sH, sL,
                             uv, 0.0f, ratioBit);
    ASSERT_TRUE(sameBuffers(curC.data(), curX.data(), frameN, imgW)) << "frame " << f;
    ASSERT_TRUE(sameBuffers(c.alpha.data(), x.alpha.data(), mapN, gainStride)) << "frame " << f;
    ASSERT_TRUE(sameBuffers(c.preAlpha.data(), x.preAlpha.data(), mapN, gainStride))
        << "frame " << f;
    ASSERT_TRUE(sameBuffers(c.gain.data(), x.gain.data(), mapN, gainStride)) << "frame " << f;
    std::copy(curC.begin(), curC.end(), c.pre.begin());
    std::copy(curX.begin(), curX.end(), x.pre.begin());
  }
}

TEST_P(VecX86, MotionDetectChainedMatchesPerSample) {
  auto rng = seededRng(0x86C1);
  const std::vector<std::pair<int, int>> sizes = {
      {16, 16}, {17, 9},   {23, 11}, {31, 15},  {33, 17},  {40, 8},   {119, 13},
      {121, 8}, {122, 17}, {127, 9}, {129, 24}, {200, 33}, {255, 41}, {321, 50}};
  int i = 0;
  for (const auto &[w, h] : sizes) {
    if (motionDetectTmpBufSize(h, w) == 0) continue;
    chain(*GetParam().k, w, h, 5, i++ % 2 ? Guard::Left : Guard::Right, rng);
    if (HasFatalFailure()) return;
  }
}

// The exported entry point runs the x86 set the library is built for.
TEST(VecX86Build, ExportedEntryPointUsesTheBuildsX86Set) {
  EXPECT_EQ(&TNR_MD_DEFAULT_KERNELS, &tnr_md::TNR_MD_X86_SET::kKernelsX86);
}

}  // namespace

#endif  // TNR_MD_HAVE_X86
