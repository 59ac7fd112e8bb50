// upScale's vector forms (the NEON set and, on x86-64, the x86 sets, whole
// and stage by stage) against the per-sample set, byte for byte: random and adversarial
// contents, sizes around every block width and below the narrowest vector
// row, pitches wider than rows, every caller buffer against an inaccessible
// page on its right and then on its left, and nothing changed outside the
// bytes a call may write.
#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "arith.h"
#include "equiv.h"
#include "forms.h"
#include "kernels.h"
#include "test_util.h"

#if TNR_MD_HAVE_NEON

namespace {

using namespace tnr_md_test;
// A kernel set's upScale over the whole grid; no set: the inputs only placed.
using UpScaleFn = const tnr_md::Kernels *;

struct Shape {
  int proWidth, proHeight;
  int imgWidth, imgHeight;
  int gainStride;
  uint8_t ratioBit;
};

// Content profiles: plausible values, values at the edges of every type, and
// a quiet scene (most differences at or below their high sigma, so that many
// whole blocks have no per-pixel motion, a few pixels above it; weights where
// still pixels settle).
enum class Profile { Plausible, Extreme, Mixed, Quiet };

// The inputs of one call, generated once and copied into each run's buffers.
struct Inputs {
  Shape s;
  int dsHgt, dsWid, dsStride, sigmaStride, hdiffStride;
  std::vector<uint8_t> cur, pre, preAlpha, gain, alpha, tmp;
  std::vector<int16_t> ldiff, hdiff;
  std::vector<uint16_t> sigmaL;
  std::vector<uint32_t> sigmaH;
};

size_t frameBytes(const Shape &s) {
  return size_t(s.imgWidth) * size_t(s.imgHeight + s.imgHeight / 2);
}
size_t mapBytes(const Shape &s) { return size_t(s.proHeight - 1) * s.gainStride + s.proWidth; }

Inputs makeInputs(const Shape &s, Profile prof, std::mt19937 &rng) {
  Inputs in;
  in.s = s;
  in.dsHgt = (s.proHeight + 7) / 8;
  in.dsWid = (s.proWidth + 7) / 8;
  in.dsStride = in.dsWid + 2;
  in.sigmaStride = in.dsWid + 8;
  in.hdiffStride = s.proWidth + 2;
  const size_t nBlk = size_t(in.dsHgt - 1) * in.dsStride + in.dsWid;
  const size_t nSig = size_t(in.dsHgt - 1) * in.sigmaStride + in.dsWid;
  const size_t nH = size_t(s.proHeight - 1) * in.hdiffStride + s.proWidth;

  const bool extreme = prof == Profile::Extreme;
  auto mixedExtreme = [&] { return prof == Profile::Mixed && uni(rng, 0, 7) == 0; };

  in.cur.resize(frameBytes(s));
  in.pre.resize(frameBytes(s));
  for (auto &v : in.cur) v = uint8_t(extreme ? pick<int>(rng, {0, 1, 254, 255}) : uni(rng, 0, 255));
  for (auto &v : in.pre) v = uint8_t(extreme ? pick<int>(rng, {0, 1, 254, 255}) : uni(rng, 0, 255));

  in.ldiff.resize(nBlk);
  in.sigmaL.resize(nSig);
  for (auto &v : in.ldiff)
    v = int16_t(extreme || mixedExtreme()
                    ? pick<int>(rng, {-32768, -32767, -1, 0, 1, 63, 64, 65, 32766, 32767})
                    : uni(rng, 0, 1200));
  for (auto &v : in.sigmaL)
    v = uint16_t(extreme || mixedExtreme()
                     ? pick<int>(rng, {0, 1, 32, 63, 64, 65, 256, 32767, 32768, 40000, 65535})
                     : uni(rng, 32, 600));

  in.hdiff.resize(nH);
  in.sigmaH.resize(nSig);
  for (auto &v : in.hdiff)
    v = int16_t(extreme || mixedExtreme()
                    ? pick<int>(rng, {-32768, -32767, -1, 0, 1, 16415, 16416, 32766, 32767})
                : prof == Profile::Quiet && uni(rng, 0, 255) != 0 ? uni(rng, -300, 32)
                                                                  : uni(rng, -300, 2500));
  for (auto &v : in.sigmaH)
    v = uint32_t(
        extreme || mixedExtreme()
            ? pick<int64_t>(rng, {0, 1, 32, 100, 32766, 32767, 32768, 0x3FFFFFFF, 0x40000000,
                                  0x7FFFFFFF, 0x80000000, 0xFFFF8000, 0xFFFFFFFF})
            : uni(rng, 32, 800));

  const size_t nMap = mapBytes(s);
  in.preAlpha.resize(nMap);
  in.gain.resize(nMap);
  in.alpha.resize(nMap);
  // A quiet scene's weights sit where still pixels settle (96 .. 127), with
  // a few just outside.
  for (auto &v : in.preAlpha)
    v = uint8_t(
        extreme                  ? pick<int>(rng, {0, 1, 127, 128, 129, 200, 254, 255})
        : prof == Profile::Mixed ? uni(rng, 0, 255)
        : prof == Profile::Quiet
            ? (uni(rng, 0, 127) == 0 ? pick<int>(rng, {0, 95, 128, 255}) : uni(rng, 96, 127))
            : uni(rng, 0, 128));
  for (auto &v : in.gain)
    v = uint8_t(extreme ? pick<int>(rng, {0, 1, 128, 255}) : uni(rng, 0, 255));
  for (auto &v : in.alpha) v = uint8_t(uni(rng, 0, 255));  // canary: only some bytes change
  in.tmp.resize(size_t(s.proHeight) * in.dsStride);
  for (auto &v : in.tmp) v = uint8_t(uni(rng, 0, 255));
  return in;
}

// Every caller buffer of one run, each against its own guard page.
struct Run {
  GuardedBuffer<uint8_t> cur, pre, preAlpha, gain, alpha, tmp;
  GuardedBuffer<int16_t> ldiff, hdiff;
  GuardedBuffer<uint16_t> sigmaL;
  GuardedBuffer<uint32_t> sigmaH;
};

Run runOnce(UpScaleFn fn, const Inputs &in, Guard g) {
  Run r{place(in.cur, g),    place(in.pre, g),   place(in.preAlpha, g), place(in.gain, g),
        place(in.alpha, g),  place(in.tmp, g),   place(in.ldiff, g),    place(in.hdiff, g),
        place(in.sigmaL, g), place(in.sigmaH, g)};
  const Shape &s = in.s;
  if (fn)
    tnr_md::upScaleWith(*fn, r.cur.data(), r.pre.data(), r.ldiff.data(), r.hdiff.data(),
                        r.tmp.data(), r.alpha.data(), r.preAlpha.data(), r.gain.data(), s.imgHeight,
                        s.imgWidth, s.proHeight, s.proWidth, s.gainStride, s.ratioBit,
                        r.sigmaL.data(), r.sigmaH.data());
  return r;
}

std::string describe(const Shape &s) {
  return "proWidth " + std::to_string(s.proWidth) + " proHeight " + std::to_string(s.proHeight) +
         " imgWidth " + std::to_string(s.imgWidth) + " imgHeight " + std::to_string(s.imgHeight) +
         " gainStride " + std::to_string(s.gainStride) + " ratioBit " +
         std::to_string(int(s.ratioBit));
}

// The four outputs of a run equal those of the per-sample run.
void expectSameOutputs(const Inputs &in, const Run &want, const Run &got) {
  ASSERT_TRUE(
      sameBuffers(want.preAlpha.data(), got.preAlpha.data(), in.preAlpha.size(), in.s.gainStride))
      << "pPreAlpha";
  ASSERT_TRUE(sameBuffers(want.cur.data(), got.cur.data(), in.cur.size(), in.s.imgWidth))
      << "pCurIn";
  ASSERT_TRUE(sameBuffers(want.alpha.data(), got.alpha.data(), in.alpha.size(), in.s.gainStride))
      << "pAlpha";
  ASSERT_TRUE(sameBuffers(want.gain.data(), got.gain.data(), in.gain.size(), in.s.gainStride))
      << "gain_table_u8";
}

// Bytes outside the grid of a map must be as they were; pAlpha's first
// dsHgt x dsWid bytes are exempt (they hold the block alpha past the grid).
void expectMapOutsideUnchanged(const GuardedBuffer<uint8_t> &got, const std::vector<uint8_t> &was,
                               const Inputs &in, size_t exemptPrefix, const char *what) {
  for (size_t i = exemptPrefix; i < was.size(); ++i) {
    const int x = int(i % size_t(in.s.gainStride));
    if (x < in.s.proWidth) continue;
    ASSERT_EQ(int(got[i]), int(was[i])) << what << " byte " << i << " outside the grid changed";
  }
}

void expectFrameOutsideUnchanged(const GuardedBuffer<uint8_t> &got, const std::vector<uint8_t> &was,
                                 const Shape &s) {
  for (size_t i = 0; i < was.size(); ++i) {
    const int row = int(i / size_t(s.imgWidth)), x = int(i % size_t(s.imgWidth));
    bool inside;
    if (row < s.imgHeight) {
      inside = row < s.proHeight && x < s.proWidth;
    } else {
      const int c = row - s.imgHeight;
      inside = 2 * c + 1 < s.proHeight && x < s.proWidth;
    }
    if (inside) continue;
    ASSERT_EQ(int(got[i]), int(was[i]))
        << "frame byte " << i << " (row " << row << ", column " << x << ") changed";
  }
}

// The vector twins checked here: the NEON source (native on Arm, through
// SIMDe elsewhere) and, on x86-64, the x86 set of every level this
// processor runs.
using Twin = tnr_md_test::Form;
const std::vector<Twin> kTwins = tnr_md_test::vectorForms();

void compareTwin(const Inputs &in, Guard g, const Run &c, const Twin &twin);

// Runs the per-sample form and every vector twin on the same inputs with the
// given guard side and compares every output and every byte outside the
// outputs.
void compareTwins(const Inputs &in, Guard g) {
  SCOPED_TRACE(describe(in.s) + (g == Guard::Right ? " guard right" : " guard left"));
  const Run c = runOnce(&tnr_md::kKernelsC, in, g);
  for (const Twin &twin : kTwins) {
    compareTwin(in, g, c, twin);
    if (::testing::Test::HasFatalFailure()) return;
  }
}

void compareTwin(const Inputs &in, Guard g, const Run &c, const Twin &twin) {
  SCOPED_TRACE(twin.name);
  const Run v = runOnce(twin.k, in, g);
  expectSameOutputs(in, c, v);
  if (::testing::Test::HasFatalFailure()) return;
  // Read-only inputs stay as they were.
  ASSERT_TRUE(sameBuffers(in.pre.data(), v.pre.data(), in.pre.size())) << "pPreIn written";
  ASSERT_TRUE(sameBuffers(in.ldiff.data(), v.ldiff.data(), in.ldiff.size())) << "pLdiff written";
  ASSERT_TRUE(sameBuffers(in.hdiff.data(), v.hdiff.data(), in.hdiff.size())) << "pHdiff written";
  ASSERT_TRUE(sameBuffers(in.sigmaL.data(), v.sigmaL.data(), in.sigmaL.size()))
      << "pSigmaL written";
  ASSERT_TRUE(sameBuffers(in.sigmaH.data(), v.sigmaH.data(), in.sigmaH.size()))
      << "pSigmaH written";
  // Canaries outside the writable area.
  const size_t blockPlane = size_t(in.dsHgt) * in.dsWid;
  expectMapOutsideUnchanged(v.preAlpha, in.preAlpha, in, 0, "pPreAlpha");
  expectMapOutsideUnchanged(v.gain, in.gain, in, 0, "gain_table_u8");
  expectMapOutsideUnchanged(v.alpha, in.alpha, in, blockPlane, "pAlpha");
  expectFrameOutsideUnchanged(v.cur, in.cur, in.s);
}

Shape shapeFor(int w, int h, std::mt19937 &rng) {
  Shape s;
  s.proWidth = w;
  s.proHeight = h;
  s.imgWidth = w + int(pick<int>(rng, {0, 0, 1, 2, 5, 16}));
  s.imgHeight = h + int(pick<int>(rng, {0, 0, 1, 2, 3}));
  s.gainStride = w + int(pick<int>(rng, {0, 0, 1, 3, 8, 17}));
  s.ratioBit = uint8_t(uni(rng, 0, 9));
  return s;
}

void checkShape(const Shape &s, std::mt19937 &rng) {
  for (Profile p : {Profile::Plausible, Profile::Mixed, Profile::Extreme, Profile::Quiet}) {
    const Inputs in = makeInputs(s, p, rng);
    compareTwins(in, Guard::Right);
    compareTwins(in, Guard::Left);
    if (::testing::Test::HasFatalFailure()) return;
  }
}

// Widths below the vector rows of every step (the 8-block alpha, the 16-block
// interpolation, the 16-pixel pass), every height from 1.
TEST(VecUpScale, NarrowGridsMatchPerSample) {
  auto rng = tnr_md_test::seededRng(0x5501);
  for (int w = 1; w <= 40; ++w)
    for (int h : {1, 2, 3, 4, 5, 8, 9, 13}) {
      checkShape(shapeFor(w, h, rng), rng);
      if (HasFatalFailure()) return;
    }
}

// Around the widths where step 2 switches to 16-block rows (dsWid 15/16/17)
// and to the 32-block rows of a wider body (dsWid 31/32/33, 47/48/49)
// and around multiples of the 16-pixel block, odd widths starting the
// moved-back block at an odd column, odd heights.
TEST(VecUpScale, BlockEdgesMatchPerSample) {
  auto rng = tnr_md_test::seededRng(0x5502);
  std::vector<int> widths = {119, 120, 121, 122, 123, 127, 128, 129, 135, 136,
                             137, 241, 248, 255, 256, 257, 377, 384, 385};
  for (int k = 3; k <= 6; ++k) {
    widths.push_back(16 * k - 1);
    widths.push_back(16 * k + 1);
  }
  for (int w : widths)
    for (int h : {7, 12, 17}) {
      checkShape(shapeFor(w, h, rng), rng);
      if (HasFatalFailure()) return;
    }
}

TEST(VecUpScale, RandomShapesMatchPerSample) {
  auto rng = tnr_md_test::seededRng(0x5503);
  for (int i = 0; i < 60; ++i) {
    const int w = int(uni(rng, 1, 300)), h = int(uni(rng, 1, 90));
    checkShape(shapeFor(w, h, rng), rng);
    if (HasFatalFailure()) return;
  }
}

// Rows of more than 256 block columns, whose high sigmas the vector pass
// takes in runs of 256 columns: the run boundary at pixel 2048, a second run
// that ends at the last whole 16-pixel block, then the moved-back block.
TEST(VecUpScale, WideRowsMatchPerSample) {
  auto rng = tnr_md_test::seededRng(0x5506);
  for (int w : {2048, 2056, 2064, 4096 + 16 + 5}) {
    checkShape(shapeFor(w, 10, rng), rng);
    if (HasFatalFailure()) return;
  }
}

// The given grids, then ten random ones 16 .. 300 wide and 2 .. 40 high.
std::vector<std::pair<int, int>> withRandomShapes(std::vector<std::pair<int, int>> shapes,
                                                  std::mt19937 &rng) {
  for (int i = 0; i < 10; ++i) shapes.push_back({int(uni(rng, 16, 300)), int(uni(rng, 2, 40))});
  return shapes;
}

// Runs nothing: runOnce with it only places the inputs.
constexpr UpScaleFn placeOnly = nullptr;

// The three pieces of each vector form over bands of rows, as a banded driver
// runs them: the block alpha in a plane of its own, each band's row buffer
// exactly its rows long (against the guard page, so no load passes its end).
// The result equals one whole call of the per-sample form; the pitch equals
// the width, so that call's compact block-alpha plane lies inside the grid
// and is overwritten. Sets whose pass can smooth the full-resolution
// difference itself run it too, from an unsmoothed bordered plane of
// multiples of 32 (as the frame difference writes it; any values in the
// Extreme profile) exactly as large as the pass may read.
TEST(VecUpScale, BandsMatchWholeCall) {
  auto rng = tnr_md_test::seededRng(0x5507);
  for (const auto &[w, h] :
       withRandomShapes({{16, 9}, {17, 8}, {37, 21}, {121, 40}, {130, 37}, {257, 29}}, rng)) {
    Shape s = shapeFor(w, h, rng);
    s.gainStride = w;
    for (Profile p : {Profile::Plausible, Profile::Mixed, Profile::Extreme, Profile::Quiet}) {
      Inputs in = makeInputs(s, p, rng);
      const int stride = w + 2;
      std::vector<int16_t> raw(size_t(h + 2) * stride);
      for (auto &v : raw)
        v = int16_t(p == Profile::Extreme ? uni(rng, -32768, 32767) : uni(rng, 0, 60) * 32);
      tnr_md::gauss3x3_c(raw.data() + stride + 1, in.hdiff.data(), h, w, stride);
      const auto want = runOnce(&tnr_md::kKernelsC, in, Guard::Right);
      for (Guard g : kGuardSides)
        for (int band : {1, 5, 8, 13, 16})
          for (const Twin &twin : kTwins)
            for (const bool smooth : {false, true}) {
              const tnr_md::Kernels &k = *twin.k;
              if (smooth && !k.pixelPassSmooth) continue;
              SCOPED_TRACE(describe(s) + " band " + std::to_string(band) + " " + twin.name +
                           " guard " + sideName(g) + (smooth ? " smoothing in the pass" : ""));
              auto got = runOnce(placeOnly, in, g);
              const GuardedBuffer<int16_t> unsmoothed = place(raw, g);
              GuardedBuffer<uint8_t> a(size_t(in.dsHgt) * in.dsWid, g);
              k.blockAlpha(got.ldiff.data(), in.dsStride, got.sigmaL.data(), in.sigmaStride,
                           a.data(), in.dsHgt, in.dsWid);
              for (int y0 = 0; y0 < h; y0 += band) {
                const int y1 = std::min(h, y0 + band);
                GuardedBuffer<uint8_t> t(size_t(y1 - y0) * (in.dsWid + 2), g);
                k.rowBuffer(a.data(), t.data(), y0, y1, in.dsHgt, in.dsWid);
                const int16_t *hd = smooth ? unsmoothed.data() + size_t(y0 + 1) * stride + 1
                                           : got.hdiff.data() + size_t(y0) * in.hdiffStride;
                (smooth ? k.pixelPassSmooth : k.pixelPass)(
                    {got.cur.data(), got.pre.data(), s.imgHeight, s.imgWidth},
                    {got.alpha.data(), got.preAlpha.data(), got.gain.data(), s.gainStride},
                    tnr_md::makeGrid(s.proHeight, s.proWidth),
                    {hd, t.data(), t.data() + t.size(), got.sigmaH.data(), s.ratioBit, y0, y1});
              }
              expectSameOutputs(in, want, got);
            }
    }
  }
}

// Grids tall enough that the compact block-alpha plane (dsHgt x dsWid bytes)
// reaches past column proWidth of the first map rows: with a pitch wider than
// the grid those bytes keep the block alpha, in both forms alike.
TEST(VecUpScale, BlockAlphaPastTheGridMatchesPerSample) {
  auto rng = tnr_md_test::seededRng(0x5505);
  for (const auto &[w, h] : std::vector<std::pair<int, int>>{
           {5, 90}, {20, 100}, {33, 150}, {121, 160}, {130, 150}, {257, 300}}) {
    Shape s = shapeFor(w, h, rng);
    s.gainStride = w + 11;
    ASSERT_GT(((h + 7) / 8) * ((w + 7) / 8), w) << "no block-alpha byte lies past the grid";
    checkShape(s, rng);
    if (HasFatalFailure()) return;
  }
}

// Every static_ratio_r_bit from 0 to 9 and beyond (only 2^bit's low 8 bits
// count), on a width with a moved-back block.
TEST(VecUpScale, EveryStaticRatioBitMatchesPerSample) {
  auto rng = tnr_md_test::seededRng(0x5504);
  for (int bit : {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 31, 255}) {
    Shape s = shapeFor(37, 11, rng);
    s.ratioBit = uint8_t(bit);
    checkShape(s, rng);
    if (HasFatalFailure()) return;
  }
}

// Uniform planes, pinned values of the vector form itself: the exact-half
// quotient of the block alpha falls to the lower value only with the Arm
// reciprocal estimate, and a per-pixel quotient of 65536 must end as 128.
struct Uniform {
  int16_t l;
  uint16_t sL;
  int16_t h;
  uint32_t sH;
  uint8_t preAlpha;
};

// Runs a vector form of upScale on a 32 x 16 grid of uniform planes and returns
// pAlpha(0, 0) and pPreAlpha(0, 0) after the call (ratio bit 8: staticRatio =
// RoundShift(sa^2, 7)).
std::pair<int, int> uniformRun(UpScaleFn fn, const Uniform &u) {
  const int w = 32, h = 16, dsW = 4, dsH = 2;
  std::vector<uint8_t> cur(size_t(w) * (h + h / 2), 100), pre(cur.size(), 100), tmp(h * (dsW + 2));
  std::vector<int16_t> ldiff(size_t(dsH) * (dsW + 2), u.l), hdiff(size_t(h) * (w + 2), u.h);
  std::vector<uint16_t> sigmaL(size_t(dsH) * (dsW + 8), u.sL);
  std::vector<uint32_t> sigmaH(sigmaL.size(), u.sH);
  std::vector<uint8_t> alpha(size_t(w) * h), preAlpha(alpha.size(), u.preAlpha),
      gain(alpha.size(), 128);
  tnr_md::upScaleWith(*fn, cur.data(), pre.data(), ldiff.data(), hdiff.data(), tmp.data(),
                      alpha.data(), preAlpha.data(), gain.data(), h, w, h, w, w, 8, sigmaL.data(),
                      sigmaH.data());
  for (size_t i = 1; i < alpha.size(); ++i) {
    EXPECT_EQ(alpha[i], alpha[0]) << "uniform input, pixel " << i;
    EXPECT_EQ(preAlpha[i], preAlpha[0]) << "uniform input, pixel " << i;
  }
  return {alpha[0], preAlpha[0]};
}

TEST(VecUpScale, PinnedQuotients) {
  // hAlpha = 128 everywhere (h far above sH), so motionAlpha = block alpha A.
  auto staticRatioFor = [](int a) {
    const int sa = 128 - a;
    return int((sa * sa * 128 + (1 << 13)) >> 14);
  };
  for (const Twin &twin : kTwins) {
    SCOPED_TRACE(twin.name);
    const auto uniformRun = [&](const Uniform &u) { return ::uniformRun(twin.k, u); };
    // d = 1, s = 256: exactly 0.5 falls to A = 0; d = 3: 1.5 gives 1.
    EXPECT_EQ(uniformRun({int16_t(257), 256, 30000, 32, 0}).first, staticRatioFor(0));
    EXPECT_EQ(uniformRun({int16_t(259), 256, 30000, 32, 0}).first, staticRatioFor(1));
    // d = 63, s = 64 gives 126.
    EXPECT_EQ(uniformRun({int16_t(127), 64, 30000, 32, 0}).first, staticRatioFor(126));
    // sL of 32768 or more is negative: s = 64 (-32700 - -32768 = 68 >= 64 gives
    // 128), and l - sL wraps (32767 - -1 wraps to -32768, so d = 0).
    EXPECT_EQ(uniformRun({int16_t(-32700), 32768, 30000, 32, 0}).first, staticRatioFor(128));
    EXPECT_EQ(uniformRun({int16_t(32767), 65535, 30000, 32, 0}).first, staticRatioFor(0));
    // h = 16416, sH = 32: the converted quotient is 65536, which saturates to 128.
    EXPECT_EQ(uniformRun({int16_t(32767), 32, 16416, 32, 0}).first, staticRatioFor(128));
    // A still pixel (staticAlpha 128) from preAlpha 0 gets 64; from 255 gets 128.
    EXPECT_EQ(uniformRun({0, 64, 0, 32, 0}).second, 64);
    EXPECT_EQ(uniformRun({0, 64, 0, 32, 255}).second, 128);
  }
}

// Blocks whose lAlpha is 128 (T all 128) with smoothed differences at the
// least value from which every hAlpha is 128, or one below it, over many high
// sigmas: the vector forms' shortcut for blocks where every hAlpha is 128
// must find that boundary exactly. Rows of 280 pixels end with a moved-back
// block; row by row, every pixel sits on the boundary, one pixel per 16 below
// it, every pixel below it, or pixels scattered around it.
TEST(VecUpScale, PixelRowsAtTheSaturationBoundary) {
  auto rng = tnr_md_test::seededRng(0x5a7);
  const int w = 280, h = 48, dsWid = (w + 7) / 8, sigmaStride = dsWid + 8, tStride = dsWid + 2;
  const int hdStride = w + 2, imgH = h;
  for (int round = 0; round < 6; ++round) {
    std::vector<uint32_t> sigmaH(size_t((h + 7) / 8) * sigmaStride);
    for (auto &v : sigmaH)
      v = round == 0 ? uint32_t(uni(rng, 0, 300))
          : round < 4 ? uint32_t(uni(rng, 0, 20000))
                      : pick<uint32_t>(rng, {0u, 1u, 2u, 64u, 127u, 128u, 16383u, 16384u, 32766u,
                                             32767u, 40000u, 1u << 24, 1u << 30});
    // The least h from which pixelAlphaOf is 128 for every larger h, per entry.
    std::vector<int> bound(sigmaH.size(), 32768);
    for (size_t i = 0; i < sigmaH.size(); ++i) {
      const int32_t sH = int32_t(sigmaH[i]);
      const float inv = float(1.0 / double(sH));
      auto saturates = [&](int v) { return tnr_md::pixelAlphaOf(int16_t(v), sH, inv) == 128; };
      if (!saturates(32767)) continue;
      // pixelAlphaOf does not fall as h grows: bisect.
      int lo = -32769, hi = 32767;  // saturates(hi), !saturates(lo) (or lo below the range)
      while (hi - lo > 1) {
        const int mid = lo + (hi - lo) / 2;
        (saturates(mid) ? hi : lo) = mid;
      }
      bound[i] = hi;
    }
    std::vector<int16_t> hdiff(size_t(h) * hdStride);
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x) {
        const int b = bound[size_t(y >> 3) * sigmaStride + (x >> 3)];
        int v = b > 32767 ? int(uni(rng, 0, 32767)) : b;
        switch (y % 4) {
          case 1:
            if (x % 16 == int(y % 16)) --v;
            break;
          case 2:
            --v;
            break;
          case 3:
            v += int(uni(rng, -2, 1));
            break;
        }
        hdiff[size_t(y) * hdStride + x] = int16_t(std::clamp(v, -32768, 32767));
      }
    std::vector<uint8_t> t(size_t(h) * tStride, 128), cur(size_t(w) * (imgH + imgH / 2));
    std::vector<uint8_t> pre(cur.size()), preAlpha(size_t(w) * h), gain(preAlpha.size());
    for (auto &v : cur) v = uint8_t(uni(rng, 0, 255));
    for (auto &v : pre) v = uint8_t(uni(rng, 0, 255));
    for (auto &v : preAlpha) v = uint8_t(uni(rng, 0, 255));
    for (auto &v : gain) v = uint8_t(uni(rng, 0, 255));
    auto run = [&](tnr_md::PixelPassFn *fn, std::vector<uint8_t> &c, std::vector<uint8_t> &pa,
                   std::vector<uint8_t> &a, std::vector<uint8_t> &g) {
      c = cur;
      pa = preAlpha;
      g = gain;
      a.assign(preAlpha.size(), 0);
      fn({c.data(), pre.data(), imgH, w}, {a.data(), pa.data(), g.data(), w},
         tnr_md::makeGrid(h, w), {hdiff.data(), t.data(), t.data() + t.size(), sigmaH.data(), 3, 0, h});
    };
    std::vector<uint8_t> cC, paC, aC, gC;
    run(tnr_md::pixelPass_c, cC, paC, aC, gC);
    for (const Twin &twin : kTwins) {
      SCOPED_TRACE(std::string(twin.name) + " round " + std::to_string(round));
      std::vector<uint8_t> cV, paV, aV, gV;
      run(twin.k->pixelPass, cV, paV, aV, gV);
      using tnr_md_test::sameBuffers;
      ASSERT_TRUE(sameBuffers(paC.data(), paV.data(), paC.size(), w)) << "pPreAlpha";
      ASSERT_TRUE(sameBuffers(cC.data(), cV.data(), cC.size(), w)) << "pCurIn";
      ASSERT_TRUE(sameBuffers(aC.data(), aV.data(), aC.size(), w)) << "pAlpha";
      ASSERT_TRUE(sameBuffers(gC.data(), gV.data(), gC.size(), w)) << "gain";
    }
  }
}

// The least excess over the high sigma whose per-pixel alpha is 128, which
// the vector passes compute once per block column, for every high sigma
// where it can be below 32768 (from about 32900 on it is 32768) and for some
// larger ones: the alpha of the excess one below it is under 128, its own is
// 128 (the alpha never falls as the excess grows).
TEST(VecUpScale, SaturatingExcessOfEveryHighSigma) {
  auto rng = seededRng(0x5a8);
  auto check = [](int32_t sH) {
    const float inv = tnr_md::invSigma(sH);
    const int d = tnr_md::saturatingExcess(inv * 128.0f);
    ASSERT_GE(d, 1) << "sH " << sH;
    ASSERT_LE(d, 32768) << "sH " << sH;
    ASSERT_LT(tnr_md::pixelAlphaOf(int16_t(d - 1), 0, inv), 128) << "sH " << sH << ", excess " << d;
    if (d <= 32767)
      ASSERT_EQ(tnr_md::pixelAlphaOf(int16_t(d), 0, inv), 128) << "sH " << sH << ", excess " << d;
  };
  for (int32_t sH = 0; sH <= 40000; ++sH) check(sH);
  for (int i = 0; i < 2000; ++i) check(int32_t(uni(rng, 40001, (1 << 30) - 1)));
}

// Per-pixel products d x 128 x invSigma(sH) that round to 0.5 - 2^-25, where
// adding 0.5 ties and rounds up to 1 (so hAlpha is 1, where trunc(2x) + 1 >>
// 1 would give 0): such a product lies within 2^-23 of 0.5, so sH is within
// 2 of 256 d. Every such pair with sH + d <= 32767, one per block column of
// a row whose row-buffer alpha is 128, through the passes.
TEST(VecUpScale, PixelProductsAtTheHalfTie) {
  std::vector<std::pair<int, int32_t>> ties;  // excess, high sigma
  for (int d = 1; d <= 32767; ++d)
    for (int k = -8; k <= 8; ++k) {
      const int32_t sH = 256 * d + k;
      const float x = float(d) * (tnr_md::invSigma(sH) * 128.0f);
      if (tnr_md::floatBits(x) == 0x3EFFFFFFu && sH + d <= 32767) ties.push_back({d, sH});
    }
  ASSERT_FALSE(ties.empty());
  ASSERT_EQ(tnr_md::pixelAlphaOf(int16_t(ties[0].second + ties[0].first), ties[0].second,
                                 tnr_md::invSigma(ties[0].second)),
            1);
  const int cols = int(ties.size() + 1) / 2 * 2, w = 8 * cols, h = 8;
  const int sigmaStride = cols + 8, tStride = cols + 2, hdStride = w + 2;
  std::vector<uint32_t> sigmaH(size_t(sigmaStride), 0);
  std::vector<int16_t> hdiff(size_t(h) * hdStride, 0);
  for (int c = 0; c < cols; ++c) {
    const auto [d, sH] = ties[size_t(c) % ties.size()];
    sigmaH[size_t(c)] = uint32_t(sH);
    for (int y = 0; y < h; ++y)
      for (int x = 8 * c; x < 8 * c + 8; ++x) hdiff[size_t(y) * hdStride + x] = int16_t(sH + d);
  }
  std::vector<uint8_t> t(size_t(h) * tStride, 128), cur(size_t(w) * (h + h / 2), 90);
  std::vector<uint8_t> pre(cur.size(), 30), preAlpha(size_t(w) * h, 100), gain(preAlpha.size(), 77);
  auto run = [&](tnr_md::PixelPassFn *fn, std::vector<uint8_t> &c, std::vector<uint8_t> &pa,
                 std::vector<uint8_t> &a, std::vector<uint8_t> &g) {
    c = cur;
    pa = preAlpha;
    g = gain;
    a.assign(preAlpha.size(), 0);
    fn({c.data(), pre.data(), h, w}, {a.data(), pa.data(), g.data(), w}, tnr_md::makeGrid(h, w),
       {hdiff.data(), t.data(), t.data() + t.size(), sigmaH.data(), 3, 0, h});
  };
  std::vector<uint8_t> cC, paC, aC, gC;
  run(tnr_md::pixelPass_c, cC, paC, aC, gC);
  for (const Twin &twin : kTwins) {
    SCOPED_TRACE(twin.name);
    std::vector<uint8_t> cV, paV, aV, gV;
    run(twin.k->pixelPass, cV, paV, aV, gV);
    ASSERT_TRUE(sameBuffers(paC.data(), paV.data(), paC.size(), w)) << "pPreAlpha";
    ASSERT_TRUE(sameBuffers(cC.data(), cV.data(), cC.size(), w)) << "pCurIn";
    ASSERT_TRUE(sameBuffers(aC.data(), aV.data(), aC.size(), w)) << "pAlpha";
    ASSERT_TRUE(sameBuffers(gC.data(), gV.data(), gC.size(), w)) << "gain";
  }
}

// Every static alpha 0 .. 128 against every previous weight 0 .. 255: with
// hAlpha = 128 the static alpha is 128 - T, and row a of the grid has T = a,
// column p a previous weight of p.
TEST(VecUpScale, PixelPassEveryWeightPair) {
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
  std::vector<uint8_t> paC = preAlpha, cC = cur, aC(preAlpha.size()), gC = gain;
  run(tnr_md::pixelPass_c, paC, cC, aC, gC);
  // Exact halves fall to the lower value: static alpha 1 from weight 0 gives 0.
  EXPECT_EQ(paC[size_t(127) * w + 0], 0);
  EXPECT_EQ(paC[size_t(0) * w + 0], 64);
  for (const Twin &twin : kTwins) {
    SCOPED_TRACE(twin.name);
    std::vector<uint8_t> paX = preAlpha, cX = cur, aX(aC.size()), gX = gain;
    run(twin.k->pixelPass, paX, cX, aX, gX);
    ASSERT_TRUE(sameBuffers(paC.data(), paX.data(), paC.size(), w)) << "pPreAlpha";
    ASSERT_TRUE(sameBuffers(cC.data(), cX.data(), cC.size(), w)) << "pCurIn";
    ASSERT_TRUE(sameBuffers(aC.data(), aX.data(), aC.size(), w)) << "pAlpha";
    ASSERT_TRUE(sameBuffers(gC.data(), gX.data(), gC.size(), w)) << "gain_table_u8";
  }
}

// Every low sigma s = 64 .. 32767, with the differences on both sides of each
// rounding boundary (2k + 1) s / 256 (k = 0 .. 127), where the reciprocal's
// last bits decide the result, and around d = s; then every sigma entry that
// acts as 64 (below 64, or 32768 and up as int16) with random differences.
// Rows of 263 blocks end with a moved-back group.
TEST(VecUpScale, BlockAlphaAtEveryRoundingBoundary) {
  constexpr int kRow = 263;
  auto rng = seededRng(0x86D1);
  std::vector<int16_t> l(kRow);
  std::vector<uint16_t> sL(kRow);
  std::vector<uint8_t> want(kRow), got(kRow);
  auto check = [&](int sigma) {
    for (int i = 0; i < kRow; ++i) want[i] = tnr_md::blockAlphaOf(l[i], sL[i]);
    for (const Twin &twin : kTwins) {
      std::fill(got.begin(), got.end(), uint8_t{0xEE});
      twin.k->blockAlpha(l.data(), kRow, sL.data(), kRow, got.data(), 1, kRow);
      ASSERT_TRUE(sameBuffers(want.data(), got.data(), kRow))
          << twin.name << ", sigma entry " << sigma;
    }
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

}  // namespace

#endif  // TNR_MD_HAVE_NEON
