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
constexpr Profile kProfiles[] = {Profile::Plausible, Profile::Mixed, Profile::Extreme,
                                 Profile::Quiet};

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

  const bool extreme = prof == Profile::Extreme, mixed = prof == Profile::Mixed,
             quiet = prof == Profile::Quiet;
  // n elements: edge values in the Extreme profile (and one in eight in the
  // Mixed one), else draw().
  auto fill = [&](auto &v, size_t n, std::initializer_list<int64_t> edges, auto draw) {
    v.resize(n);
    for (auto &x : v)
      x = static_cast<std::decay_t<decltype(x)>>(
          extreme || (mixed && uni(rng, 0, 7) == 0) ? pick<int64_t>(rng, edges) : draw());
  };
  const auto any = [&] { return uni(rng, 0, 255); };
  fill(in.cur, frameBytes(s), {0, 1, 254, 255}, any);
  fill(in.pre, frameBytes(s), {0, 1, 254, 255}, any);
  fill(in.ldiff, nBlk, {-32768, -32767, -1, 0, 1, 63, 64, 65, 32766, 32767},
       [&] { return uni(rng, 0, 1200); });
  fill(in.sigmaL, nSig, {0, 1, 32, 63, 64, 65, 256, 32767, 32768, 40000, 65535},
       [&] { return uni(rng, 32, 600); });
  fill(in.hdiff, nH, {-32768, -32767, -1, 0, 1, 16415, 16416, 32766, 32767},
       [&] { return quiet && uni(rng, 0, 255) != 0 ? uni(rng, -300, 32) : uni(rng, -300, 2500); });
  fill(in.sigmaH, nSig,
       {0, 1, 32, 100, 32766, 32767, 32768, 0x3FFFFFFF, 0x40000000, 0x7FFFFFFF, 0x80000000,
        0xFFFF8000, 0xFFFFFFFF},
       [&] { return uni(rng, 32, 800); });
  // A quiet scene's weights sit where still pixels settle (96 .. 127), with
  // a few just outside.
  fill(in.preAlpha, mapBytes(s), {0, 1, 127, 128, 129, 200, 254, 255}, [&] {
    return mixed ? uni(rng, 0, 255)
           : quiet
               ? (uni(rng, 0, 127) == 0 ? pick<int64_t>(rng, {0, 95, 128, 255}) : uni(rng, 96, 127))
               : uni(rng, 0, 128);
  });
  fill(in.gain, mapBytes(s), {0, 1, 128, 255}, any);
  in.alpha.resize(mapBytes(s));  // a canary: only some bytes change
  fillWith(in.alpha.data(), in.alpha.size(), Fill::Random, rng, 0, 255);
  in.tmp.resize(size_t(s.proHeight) * in.dsStride);
  fillWith(in.tmp.data(), in.tmp.size(), Fill::Random, rng, 0, 255);
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

// The four outputs of a run (a Run or the pass tests' Out) equal those of the
// per-sample run.
template <class B>
void expectSameOutputs(const B &want, const B &got, size_t mapPitch, size_t framePitch) {
  ASSERT_TRUE(
      sameBuffers(want.preAlpha.data(), got.preAlpha.data(), want.preAlpha.size(), mapPitch))
      << "pPreAlpha";
  ASSERT_TRUE(sameBuffers(want.cur.data(), got.cur.data(), want.cur.size(), framePitch))
      << "pCurIn";
  ASSERT_TRUE(sameBuffers(want.alpha.data(), got.alpha.data(), want.alpha.size(), mapPitch))
      << "pAlpha";
  ASSERT_TRUE(sameBuffers(want.gain.data(), got.gain.data(), want.gain.size(), mapPitch))
      << "gain_table_u8";
}

// The vector twins: every vector kernel set this processor runs.
using Twin = tnr_md_test::Form;
const std::vector<Twin> kTwins = tnr_md_test::vectorForms();

// Runs the per-sample form and every vector twin on the same inputs with the
// given guard side and compares every output and every byte outside the
// outputs.
void compareTwins(const Inputs &in, Guard g) {
  SCOPED_TRACE(describe(in.s) + " guard " + sideName(g));
  const Shape &s = in.s;
  const Run c = runOnce(&tnr_md::kKernelsC, in, g);
  for (const Twin &twin : kTwins) {
    SCOPED_TRACE(twin.name);
    const Run v = runOnce(twin.k, in, g);
    expectSameOutputs(c, v, s.gainStride, s.imgWidth);
    // Read-only inputs stay as they were.
    ASSERT_TRUE(sameBuffers(in.pre.data(), v.pre.data(), in.pre.size())) << "pPreIn written";
    ASSERT_TRUE(sameBuffers(in.ldiff.data(), v.ldiff.data(), in.ldiff.size())) << "pLdiff written";
    ASSERT_TRUE(sameBuffers(in.hdiff.data(), v.hdiff.data(), in.hdiff.size())) << "pHdiff written";
    ASSERT_TRUE(sameBuffers(in.sigmaL.data(), v.sigmaL.data(), in.sigmaL.size())) << "pSigmaL";
    ASSERT_TRUE(sameBuffers(in.sigmaH.data(), v.sigmaH.data(), in.sigmaH.size())) << "pSigmaH";
    // Nothing outside the grid, except pAlpha's first dsHgt x dsWid bytes
    // (the block alpha, which may lie past the grid).
    const size_t G = s.gainStride, blockPlane = size_t(in.dsHgt) * in.dsWid;
    auto inGrid = [&](size_t i) { return i % G < size_t(s.proWidth); };
    ASSERT_TRUE(keptOutside(v.preAlpha.data(), in.preAlpha.data(), in.preAlpha.size(), inGrid, G))
        << "pPreAlpha";
    ASSERT_TRUE(keptOutside(v.gain.data(), in.gain.data(), in.gain.size(), inGrid, G)) << "gain";
    ASSERT_TRUE(keptOutside(
        v.alpha.data(), in.alpha.data(), in.alpha.size(),
        [&](size_t i) { return i < blockPlane || inGrid(i); }, G))
        << "pAlpha";
    ASSERT_TRUE(keptOutside(v.cur.data(), in.cur.data(), in.cur.size(),
                            filteredBytes(s.imgWidth, s.imgHeight, s.proWidth, s.proHeight),
                            s.imgWidth))
        << "pCurIn";
    if (::testing::Test::HasFatalFailure()) return;
  }
}

// A w x h grid in a frame and maps up to a few bytes wider and higher.
Shape shapeFor(int w, int h, std::mt19937 &rng) {
  const int dw = pick<int>(rng, {0, 0, 1, 2, 5, 16}), dh = pick<int>(rng, {0, 0, 1, 2, 3});
  const int dg = pick<int>(rng, {0, 0, 1, 3, 8, 17});
  return {w, h, w + dw, h + dh, w + dg, uint8_t(uni(rng, 0, 9))};
}

// Groups of shapes: widths below the vector rows of every step (the 8-block
// alpha, the 16-block interpolation, the 16-pixel pass) at every height from
// 1; widths around the switch to 16-block rows (dsWid 15/16/17) and to the
// 32-block rows of a wider body (dsWid 31/32/33, 47/48/49) and around
// multiples of the 16-pixel block (odd widths start the moved-back block at
// an odd column); random shapes; rows of more than 256 block columns, whose
// high sigmas the vector pass takes in runs of 256 columns (the run boundary
// at pixel 2048, a second run ending at the last whole 16-pixel block, then
// the moved-back block); grids tall enough that the compact block-alpha
// plane reaches past column proWidth of the first map rows, whose bytes there
// keep the block alpha with a pitch wider than the grid; every
// static_ratio_r_bit from 0 to 9 and beyond (only 2^bit's low 8 bits count).
const char *const kShapesNames[] = {"NarrowGrids",           "BlockEdges",
                                    "RandomShapes",          "WideRows",
                                    "BlockAlphaPastTheGrid", "EveryStaticRatioBit"};

std::vector<Shape> shapesOf(int group, std::mt19937 &rng) {
  std::vector<Shape> out;
  switch (group) {
    case 0:  // NarrowGrids
      for (int w = 1; w <= 40; ++w)
        for (int h : {1, 2, 3, 4, 5, 8, 9, 13}) out.push_back(shapeFor(w, h, rng));
      break;
    case 1:  // BlockEdges
      for (int w : {119, 120, 121, 122, 123, 127, 128, 129, 135, 136, 137, 241, 248, 255,
                    256, 257, 377, 384, 385, 47,  49,  63,  65,  79,  81,  95,  97})
        for (int h : {7, 12, 17}) out.push_back(shapeFor(w, h, rng));
      break;
    case 2:  // RandomShapes
      for (int i = 0; i < 60; ++i)
        out.push_back(shapeFor(int(uni(rng, 1, 300)), int(uni(rng, 1, 90)), rng));
      break;
    case 3:  // WideRows
      for (int w : {2048, 2056, 2064, 4096 + 16 + 5}) out.push_back(shapeFor(w, 10, rng));
      break;
    case 4:  // BlockAlphaPastTheGrid
      for (const auto &[w, h] : std::vector<std::pair<int, int>>{
               {5, 90}, {20, 100}, {33, 150}, {121, 160}, {130, 150}, {257, 300}}) {
        out.push_back(shapeFor(w, h, rng));
        out.back().gainStride = w + 11;
      }
      break;
    case 5:  // EveryStaticRatioBit
      for (int bit : {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 31, 255}) {
        out.push_back(shapeFor(37, 11, rng));
        out.back().ratioBit = uint8_t(bit);
      }
      break;
  }
  return out;
}

class VecUpScaleShapes : public ::testing::TestWithParam<int> {};

TEST_P(VecUpScaleShapes, MatchesPerSample) {
  auto rng = tnr_md_test::seededRng(0x5501 + GetParam());
  for (const Shape &s : shapesOf(GetParam(), rng))
    for (Profile p : kProfiles) {
      const Inputs in = makeInputs(s, p, rng);
      for (Guard g : kGuardSides) compareTwins(in, g);
      if (HasFatalFailure()) return;
    }
}

INSTANTIATE_TEST_SUITE_P(Shapes, VecUpScaleShapes, ::testing::Range(0, 6),
                         [](const auto &info) { return std::string(kShapesNames[info.param]); });

// The three pieces of each vector form over bands of rows, as a banded driver
// runs them: the block alpha in a plane of its own, each band's row buffer
// exactly its rows long (against the guard page, so no load passes its end).
// The result equals one whole call of the per-sample form; the pitch equals
// the width, so that call's compact block-alpha plane lies inside the grid
// and is overwritten. Sets whose pass can smooth the full-resolution
// difference itself run it too, from an unsmoothed bordered plane of
// multiples of 32 (as the frame difference writes it; from the whole int16
// range in the Extreme profile) exactly as large as the pass may read.
TEST(VecUpScale, BandsMatchWholeCall) {
  auto rng = tnr_md_test::seededRng(0x5507);
  // The given grids, then ten random ones 16 .. 300 wide and 2 .. 40 high.
  std::vector<std::pair<int, int>> shapes{{16, 9},   {17, 8},   {37, 21},
                                          {121, 40}, {130, 37}, {257, 29}};
  for (int i = 0; i < 10; ++i) shapes.push_back({int(uni(rng, 16, 300)), int(uni(rng, 2, 40))});
  for (const auto &[w, h] : shapes) {
    Shape s = shapeFor(w, h, rng);
    s.gainStride = w;
    for (Profile p : kProfiles) {
      Inputs in = makeInputs(s, p, rng);
      const int stride = w + 2;
      std::vector<int16_t> raw(size_t(h + 2) * stride);
      for (auto &v : raw)
        v = int16_t((p == Profile::Extreme ? uni(rng, -1024, 1023) : uni(rng, 0, 60)) * 32);
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
              auto got = runOnce(nullptr, in, g);  // the inputs only placed
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
              expectSameOutputs(want, got, s.gainStride, s.imgWidth);
            }
    }
  }
}

// The per-pixel pass over rows [0, h) of a grid as wide as its frames (imgH
// rows high), every buffer sized for it: every vector form against the
// per-sample one.
struct PassCase {
  int w, h, imgH, cols = (w + 7) / 8;
  uint8_t ratioBit;
  std::vector<uint8_t> cur = std::vector<uint8_t>(size_t(w) * (imgH + imgH / 2));
  std::vector<uint8_t> pre = cur, t = std::vector<uint8_t>(size_t(h) * (cols + 2));
  std::vector<uint8_t> preAlpha = std::vector<uint8_t>(size_t(w) * h), gain = preAlpha;
  std::vector<int16_t> hdiff = std::vector<int16_t>(size_t(h) * (w + 2));
  std::vector<uint32_t> sigmaH = std::vector<uint32_t>(size_t((h + 7) / 8) * (cols + 8));
  PassCase(int w_, int h_, int imgH_, uint8_t ratioBit_)
      : w(w_), h(h_), imgH(imgH_), ratioBit(ratioBit_) {}
};

// prefix: only the vector forms whose name starts with it.
void expectPassTwinsMatch(const PassCase &p, const std::string &prefix = "") {
  struct Out {
    std::vector<uint8_t> cur, preAlpha, alpha, gain;
  };
  auto run = [&](tnr_md::PixelPassFn *fn, const std::vector<int16_t> &hdiff, bool nonNegative) {
    Out o{p.cur, p.preAlpha, std::vector<uint8_t>(p.preAlpha.size()), p.gain};
    fn({o.cur.data(), p.pre.data(), p.imgH, p.w},
       {o.alpha.data(), o.preAlpha.data(), o.gain.data(), p.w}, tnr_md::makeGrid(p.h, p.w),
       {hdiff.data(), p.t.data(), p.t.data() + p.t.size(), p.sigmaH.data(), p.ratioBit, 0, p.h,
        nonNegative});
    return o;
  };
  const Out want = run(tnr_md::pixelPass_c, p.hdiff, false);
  const auto skip = [&](const Twin &twin) {
    return std::string(twin.name).compare(0, prefix.size(), prefix) != 0;
  };
  for (const Twin &twin : kTwins) {
    if (skip(twin)) continue;
    SCOPED_TRACE(twin.name);
    expectSameOutputs(want, run(twin.k->pixelPass, p.hdiff, false), p.w, p.w);
  }
  // The same differences with every negative one raised to 0, as a plane
  // that motion_detect marks nonNegative (PassRows::nonNegative): the passes
  // told so against the per-sample pass.
  std::vector<int16_t> raised = p.hdiff;
  for (int16_t &v : raised) v = v < 0 ? int16_t{0} : v;
  const Out wantRaised = run(tnr_md::pixelPass_c, raised, false);
  for (const Twin &twin : kTwins) {
    if (skip(twin)) continue;
    SCOPED_TRACE(twin.name + std::string(", nonNegative"));
    expectSameOutputs(wantRaised, run(twin.k->pixelPass, raised, true), p.w, p.w);
  }
}

// Blocks whose lAlpha is 128 (T all 128) with smoothed differences at the
// least value from which every hAlpha is 128, or one below it, over many high
// sigmas: the vector forms' shortcut for blocks where every hAlpha is 128
// must find that boundary exactly. Rows of 280 pixels end with a moved-back
// block; row by row, every pixel sits on the boundary, one pixel per 16
// below it, every pixel below it, or pixels scattered around it; or every
// pixel is far above it but one per 64 (at a column that moves from row to
// row), which lies just below it.
TEST(VecUpScale, PixelRowsAtTheSaturationBoundary) {
  auto rng = tnr_md_test::seededRng(0x5a7);
  for (int round = 0; round < 6; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    PassCase p(280, 48, 48, 3);
    const int sigmaStride = p.cols + 8, hdStride = p.w + 2;
    for (auto &v : p.sigmaH)
      v = round == 0  ? uint32_t(uni(rng, 0, 300))
          : round < 4 ? uint32_t(uni(rng, 0, 20000))
                      : pick<uint32_t>(rng, {0u, 1u, 2u, 64u, 127u, 128u, 16383u, 16384u, 32766u,
                                             32767u, 40000u, 1u << 24, 1u << 30});
    // Some block rows with their sigmas rising or falling along the row, so
    // that a block compared against its neighbour column's bound passes
    // where it must not.
    for (int by = 1; by < p.h / 8; by += 2) {
      const auto row = p.sigmaH.begin() + by * sigmaStride;
      if (by % 4 == 1)
        std::sort(row, row + p.cols);
      else
        std::sort(row, row + p.cols, std::greater<uint32_t>());
    }
    // The least h from which pixelAlphaOf is 128 for every larger h, per entry.
    std::vector<int> bound(p.sigmaH.size(), 32768);
    for (size_t i = 0; i < p.sigmaH.size(); ++i) {
      const int32_t sH = int32_t(p.sigmaH[i]);
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
    for (int y = 0; y < p.h; ++y)
      for (int x = 0; x < p.w; ++x) {
        const int b = bound[size_t(y >> 3) * sigmaStride + (x >> 3)];
        int v = b > 32767 ? int(uni(rng, 0, 32767)) : b;
        if (y % 8 == 1 && x % 16 == y % 16) --v;
        // Every pixel far above the boundary but one per 64, just below it.
        if (y % 8 == 5) v = x % 64 == (5 * y + 11 * round) % 64 && b <= 32767 ? b - 1 : 32767;
        if (y % 4 == 2) --v;
        if (y % 4 == 3) v += int(uni(rng, -2, 1));
        p.hdiff[size_t(y) * hdStride + x] = int16_t(std::clamp(v, -32768, 32767));
      }
    std::fill(p.t.begin(), p.t.end(), 128);
    for (auto *v : {&p.cur, &p.pre, &p.preAlpha, &p.gain})
      fillWith(v->data(), v->size(), Fill::Random, rng, 0, 255);
    expectPassTwinsMatch(p);
    if (HasFatalFailure()) return;
  }
}

// The bound above which the vector passes take a block column's smoothed
// differences as saturated, for every high sigma where it is below 32767
// and for some larger ones: the difference one above it has per-pixel alpha
// 128 (the alpha never falls as the difference grows), and the bound stays
// within 2 sH / 256 + 1 of the least such difference, so that it screens.
TEST(VecUpScale, SaturationBoundOfEveryHighSigma) {
  auto rng = seededRng(0x5a8);
  auto check = [](uint32_t sH) {
    const int T = tnr_md::saturationBound(sH);
    ASSERT_LE(T, 32767) << "sH " << sH;
    if (T == 32767) return;
    const float inv = tnr_md::invSigma(int32_t(sH));
    ASSERT_EQ(tnr_md::pixelAlphaOf(int16_t(T + 1), int32_t(sH), inv), 128) << "sH " << sH;
    const int below = T - 2 * int(sH) / 256 - 1;
    if (below >= 0)
      ASSERT_LT(tnr_md::pixelAlphaOf(int16_t(below), int32_t(sH), inv), 128) << "sH " << sH;
  };
  for (uint32_t sH = 0; sH <= 40000; ++sH) check(sH);
  for (int i = 0; i < 2000; ++i) check(uint32_t(uni(rng, 40001, (1 << 30) - 1)));
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
  PassCase p(8 * (int(ties.size() + 1) / 2 * 2), 8, 8, 3);
  for (int c = 0; c < p.cols; ++c) {
    const auto [d, sH] = ties[size_t(c) % ties.size()];
    p.sigmaH[size_t(c)] = uint32_t(sH);
    for (int y = 0; y < p.h; ++y)
      for (int x = 8 * c; x < 8 * c + 8; ++x) p.hdiff[size_t(y) * (p.w + 2) + x] = int16_t(sH + d);
  }
  std::fill(p.t.begin(), p.t.end(), 128);
  std::fill(p.cur.begin(), p.cur.end(), 90);
  std::fill(p.pre.begin(), p.pre.end(), 30);
  std::fill(p.preAlpha.begin(), p.preAlpha.end(), 100);
  std::fill(p.gain.begin(), p.gain.end(), 77);
  expectPassTwinsMatch(p);
}

// The integer form of the per-pixel alpha against the float steps, over its
// whole domain: every multiplier sigma (129 .. 32767, not a multiple of 256)
// and every excess a 16-bit difference can have over it (on the Arm targets,
// which run under an emulator, every 61st sigma and the last ones). The
// multiplier is ceil(2^38 / sH) exactly. Sigmas left out: the multiples of
// 256, where the float steps round some exact ties down (10496 is one).
TEST(VecUpScale, PixelAlphaByMultiplierAtEveryMultiplierSigma) {
#if defined(__arm__) || defined(__aarch64__)
  constexpr int kStep = 61;
#else
  constexpr int kStep = 1;
#endif
  auto check = [](int sH) {
    ASSERT_TRUE(tnr_md::isMultiplierSigma(uint32_t(sH))) << sH;
    const int32_t m = tnr_md::pixelAlphaMultiplier(uint32_t(sH));
    ASSERT_EQ(int64_t{m}, ((int64_t{1} << 38) + sH - 1) / sH) << "sH " << sH;
    const float inv = tnr_md::invSigma(sH);
    for (int d = 0; d <= 32767 - sH; ++d)
      if (tnr_md::pixelAlphaByMultiplier(d, m) != tnr_md::pixelAlphaOf(int16_t(sH + d), sH, inv))
        FAIL() << "sH " << sH << ", excess " << d;
  };
  for (int sH = 129; sH <= 32767; sH += kStep)
    if (sH % 256 != 0) check(sH);
  for (int sH = 32767 - 300; sH <= 32767; ++sH)
    if (sH % 256 != 0) check(sH);
  for (uint32_t sH : {0u, 1u, 128u, 256u, 10496u, 32768u, 40000u})
    EXPECT_FALSE(tnr_md::isMultiplierSigma(sH)) << sH;
  const float inv = tnr_md::invSigma(10496);
  int differ = 0;
  for (int d = 0; d <= 10496; ++d)
    differ += tnr_md::pixelAlphaByMultiplier(d, int32_t((int64_t{1} << 38) / 10496 + 1)) !=
              tnr_md::pixelAlphaOf(int16_t(10496 + d), 10496, inv);
  EXPECT_GT(differ, 0);
}

// The pass on block columns whose high sigmas take every form: multiplier
// sigmas (first and last, around 256 and at random), the multiples of 256
// whose exact ties the float steps round down, sigmas up to 128, 32767 and
// up, the 32-bit path; the two columns of a block mixing them. The
// differences of each column sit on both sides of every rounding boundary
// (2k + 1) sH / 256 and around sH and 2 sH; the row-buffer alpha is 128 in
// most rows, the previous weights 0 .. 128 with some above.
TEST(VecUpScale, PixelPassAtEveryHighSigmaForm) {
  auto rng = seededRng(0x3a1f);
  std::vector<uint32_t> sigmas = {
      129, 130, 255, 257, 511,   513,   10496, 15616,    31488,          32766, 32767, 0,     1,
      64,  127, 128, 256, 32768, 40000, 65535, 1u << 29, (1u << 30) + 5, 700,   6000,  20000, 3};
  for (int i = 0; i < 14; ++i) sigmas.push_back(uint32_t(uni(rng, 129, 32767)));
  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    PassCase p(8 * int(sigmas.size()) + (round ? 8 : 0), 64, 64, 4);
    const int sigmaStride = p.cols + 8, hdStride = p.w + 2;
    for (int r = 0; r < (p.h + 7) / 8; ++r)
      for (int c = 0; c < p.cols; ++c)
        p.sigmaH[size_t(r) * sigmaStride + c] = sigmas[size_t(c + 3 * r * round) % sigmas.size()];
    for (int y = 0; y < p.h; ++y)
      for (int x = 0; x < p.w; ++x) {
        const int64_t sH = p.sigmaH[size_t(y >> 3) * sigmaStride + (x >> 3)];
        const int k = int(uni(rng, 0, 127));
        int64_t v = sH + ((2 * k + 1) * sH) / 256 + int(uni(rng, -1, 1));
        if ((x + y) % 7 == 0) v = sH + int(uni(rng, -2, 2));
        if ((x + y) % 11 == 0) v = 2 * sH + int(uni(rng, -2, 2));
        if ((x * 3 + y) % 13 == 0) v = int64_t(uni(rng, 0, 32767));
        p.hdiff[size_t(y) * hdStride + x] = int16_t(std::clamp<int64_t>(v, -32768, 32767));
      }
    for (auto &t : p.t) t = uni(rng, 0, 3) ? 128 : uint8_t(uni(rng, 1, 127));
    for (auto &pa : p.preAlpha)
      pa = uint8_t(uni(rng, 0, 9) ? uni(rng, 0, 128) : uni(rng, 129, 255));
    for (auto *v : {&p.cur, &p.pre, &p.gain})
      fillWith(v->data(), v->size(), Fill::Random, rng, 0, 255);
    expectPassTwinsMatch(p);
    if (HasFatalFailure()) return;
  }
}

// Every multiplier sigma (129 .. 32767, not a multiple of 256) in a block
// column of its own, with the smoothed differences on both sides of each of
// its 128 rounding boundaries (the least excess b_k with alpha k + 1, and b_k
// - 1), where a multiplier form that is off by one in its low bits, or pairs
// a lane with the wrong column's multiplier, gives another alpha; and around
// sH and 2 sH. lAlpha is 128 and the previous weight 127, so that the static
// alpha (128 - hAlpha) decides the new weight and the static ratio, which
// together tell every static alpha apart. Four grids of 256 x 128 block
// columns: the boundaries k = 0 .. 63 and 64 .. 127, each at b_k and b_k - 1
// (on the Arm targets, which run under an emulator, every 7th sigma).
TEST(VecUpScale, PixelPassAtEveryMultiplierSigmaBoundary) {
#if defined(__arm__) || defined(__aarch64__)
  constexpr uint32_t kStep = 7;
#else
  constexpr uint32_t kStep = 1;
#endif
  std::vector<uint32_t> sigmas;
  for (uint32_t sH = 129; sH <= 32767; sH += kStep)
    if (sH % 256 != 0) sigmas.push_back(sH);
  for (int round = 0; round < 4; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    PassCase p(2048, 8 * ((int(sigmas.size()) + 255) / 256), 8 * ((int(sigmas.size()) + 255) / 256),
               0);
    const int sigmaStride = p.cols + 8, hdStride = p.w + 2;
    for (size_t i = 0; i < sigmas.size(); ++i)
      p.sigmaH[(i / 256) * sigmaStride + i % 256] = sigmas[i];
    for (int r = int(sigmas.size()) / 256; r < (p.h + 7) / 8; ++r)  // the last block row's rest
      for (int c = int(sigmas.size()) % 256; c < p.cols; ++c)
        p.sigmaH[size_t(r) * sigmaStride + c] = 1000;
    for (int y = 0; y < p.h; ++y)
      for (int x = 0; x < p.w; ++x) {
        const int64_t sH = p.sigmaH[size_t(y >> 3) * sigmaStride + (x >> 3)];
        const int i = 8 * (y & 7) + (x & 7);  // 0 .. 63 within the block
        const int64_t k = i + 64 * (round & 1);
        int64_t d = ((2 * k + 1) * sH + 255) / 256 - (round >= 2 ? 1 : 0);  // b_k or b_k - 1
        if (i == 0) d = sH - 1 + (round & 1);
        if (i == 63) d = 2 * sH - 1 + (round & 1);
        if (i == 31) d = -1 - round;
        p.hdiff[size_t(y) * hdStride + x] = int16_t(std::min<int64_t>(sH + d, 32767));
      }
    std::fill(p.t.begin(), p.t.end(), 128);
    std::fill(p.preAlpha.begin(), p.preAlpha.end(), 127);
    std::fill(p.cur.begin(), p.cur.end(), 10);
    std::fill(p.pre.begin(), p.pre.end(), 240);
    std::fill(p.gain.begin(), p.gain.end(), 200);
    expectPassTwinsMatch(p);
    if (HasFatalFailure()) return;
  }
}

// Every static alpha 0 .. 128 against every previous weight 0 .. 255: with
// hAlpha = 128 the static alpha is 128 - T, and row a of the grid has T = a,
// column p a previous weight of p. Exact halves fall to the lower value.
TEST(VecUpScale, PixelPassEveryWeightPair) {
  PassCase p(256, 129, 130, 8);
  std::fill(p.cur.begin(), p.cur.end(), 77);
  std::fill(p.pre.begin(), p.pre.end(), 200);
  std::fill(p.gain.begin(), p.gain.end(), 99);
  for (int y = 0; y < p.h; ++y) {
    std::memset(&p.t[size_t(y) * (p.cols + 2)], y, p.cols + 2);
    for (int x = 0; x < p.w; ++x) p.preAlpha[size_t(y) * p.w + x] = uint8_t(x);
  }
  std::fill(p.hdiff.begin(), p.hdiff.end(), 30000);
  std::fill(p.sigmaH.begin(), p.sigmaH.end(), 32);
  expectPassTwinsMatch(p);
}

// Every new weight below 128 with every pair of current and previous
// bytes: the moving blocks' blends where every previous weight is below 128
// (the vector forms' byte multiply-adds) must round every product as the
// per-sample blend does. Previous weights 127 and hAlpha 128 (differences
// far above a multiplier sigma), so that the T value a of rows 16 a .. 16 a
// + 15 gives the static alpha 128 - a, whose weights q(128 - a, 127) are
// every value 0 .. 127; within such a group, row r and column x hold the
// pair (c, p) = (i >> 8, i & 255), i = 4096 r + x, in luma, and in the odd
// rows' chroma bytes the same pairs seen from the other frame. (The form
// is the x86 forms'; the others, and the Arm targets, which run under an
// emulator, leave the 8.5 million pixels out.)
#if !defined(__arm__) && !defined(__aarch64__)
TEST(VecUpScale, PixelPassEveryWeightBelow128WithEveryBytePair) {
  PassCase p(4096, 16 * 129, 16 * 129, 4);
  const size_t luma = size_t(p.w) * p.imgH;
  for (int y = 0; y < p.h; ++y) {
    std::memset(&p.t[size_t(y) * (p.cols + 2)], y / 16, p.cols + 2);
    for (int x = 0; x < p.w; ++x) {
      const int i = 4096 * (y % 16) + x;
      p.cur[size_t(y) * p.w + x] = uint8_t(i >> 8);
      p.pre[size_t(y) * p.w + x] = uint8_t(i & 255);
      if (y % 2 == 1) {
        p.cur[luma + size_t(y / 2) * p.w + x] = uint8_t(i & 255);
        p.pre[luma + size_t(y / 2) * p.w + x] = uint8_t(i >> 8);
      }
    }
  }
  std::fill(p.preAlpha.begin(), p.preAlpha.end(), 127);
  std::fill(p.gain.begin(), p.gain.end(), 99);
  std::fill(p.hdiff.begin(), p.hdiff.end(), 30000);
  std::fill(p.sigmaH.begin(), p.sigmaH.end(), 1000);
  expectPassTwinsMatch(p, "x86");
}
#endif

// What real footage at the shipped defaults gives the pass: noise makes
// nearly every block move, the smoothed differences scatter around their
// column's high sigma (at it, one above it, between it and the saturation
// bound, above the bound), the row-buffer alpha lies between 0 and 128 with
// runs of 128 and of 0, and the previous weights are those the pass writes
// (0 .. 128), with some rows holding a caller's larger ones (one lane of a
// block, or every lane, or one lane where the other parity's are all 0).
// Chunks of blocks that all move and chunks broken by saturated and still
// blocks; a width that ends with a moved-back block.
TEST(VecUpScale, PixelPassOnNoiseAroundTheThresholds) {
  auto rng = tnr_md_test::seededRng(0x7e41);
  for (int round = 0; round < 4; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    PassCase p(round % 2 ? 296 : 1104, 40, 40, 4);
    const int sigmaStride = p.cols + 8, hdStride = p.w + 2, tStride = p.cols + 2;
    for (auto &v : p.sigmaH) v = uint32_t(uni(rng, 150, 700));
    for (int y = 0; y < p.h; ++y)
      for (int x = 0; x < p.w; ++x) {
        const int sH = int(p.sigmaH[size_t(y >> 3) * sigmaStride + (x >> 3)]);
        const int bound = tnr_md::saturationBound(uint32_t(sH));
        int v = int(uni(rng, sH / 2, bound + sH / 4));
        if (y % 5 == 1) v = pick<int>(rng, {sH - 1, sH, sH + 1, bound, bound + 1});
        if (y % 8 == 3) v = bound + 1 + int(uni(rng, 0, 50));      // saturated where lAlpha is 128
        if (y % 8 == 6) v = x % 16 == round ? sH + 1 : bound + 1;  // saturated but for one lane
        p.hdiff[size_t(y) * hdStride + x] = int16_t(v);
      }
    for (int y = 0; y < p.h; ++y)
      for (int c = 0; c < tStride; ++c) {
        uint8_t &t = p.t[size_t(y) * tStride + c];
        t = uint8_t(uni(rng, 1, 127));
        if (y % 8 == 6 || (c / 6) % 5 == 1) t = 128;  // runs of lAlpha 128
        if ((c / 4) % 7 == 3 && y % 3 == 0) t = 0;    // and of still blocks
        if (y % 11 == 4) t = uint8_t(pick<int>(rng, {0, 1, 127, 128}));
      }
    for (int y = 0; y < p.h; ++y)
      for (int x = 0; x < p.w; ++x) {
        uint8_t &pa = p.preAlpha[size_t(y) * p.w + x];
        pa = uint8_t(uni(rng, 0, 128));
        if (y % 9 == 2 && x % 16 == (y + round) % 16)
          pa = uint8_t(pick<int>(rng, {129, 129, 130, 200, 255}));
        if (y % 13 == 7) pa = uint8_t(uni(rng, 100, 255));
        // Pixels of one parity all 0 (weights just reset), and of the other
        // below 128 but for one per 32: a screen of the weights that reads
        // only one parity's bytes must see the large one.
        if (y % 10 == 5 || y % 10 == 8) {
          const int zeroParity = y % 10 == 5 ? 1 : 0;
          pa = x % 2 == zeroParity ? 0
               : x % 32 == 2 * ((y + round) % 16) + (1 - zeroParity)
                   ? uint8_t(pick<int>(rng, {128, 129, 200, 255}))
                   : uint8_t(uni(rng, 0, 127));
        }
      }
    for (auto *v : {&p.cur, &p.pre, &p.gain})
      fillWith(v->data(), v->size(), Fill::Random, rng, 0, 255);
    expectPassTwinsMatch(p);
    if (HasFatalFailure()) return;
  }
}

// Long rows of moving blocks whose high sigmas are multiplier sigmas but for
// a few columns of another form (up to 128, multiples of 256, 32768 and up,
// the 32-bit path) at places that change from block row to block row, so
// that what a pass learns about one block row's columns is wrong for the
// next; rows that cross the 64-block chunks and the 256-column sigma run;
// within a block row, still blocks (T columns 0) at places that change from
// row to row, so that one row of a block row stops short where the next goes
// on; runs of lAlpha 128, saturated in some rows; differences on both sides
// of the rounding boundaries; previous weights 0 .. 127 with a few blocks
// holding 128 and more.
TEST(VecUpScale, PixelPassMultiplierStretches) {
  auto rng = tnr_md_test::seededRng(0x3a20);
  const std::vector<uint32_t> others = {0,     1,     100,   128,      256,      512,        10496,
                                        31488, 32768, 40000, 1u << 29, 1u << 30, 0xFFFFFFFFu};
  for (int round = 0; round < 4; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    PassCase p(round < 2 ? 2200 : 1104 + 8 * round, 40, 40, 4);
    const int sigmaStride = p.cols + 8, hdStride = p.w + 2, tStride = p.cols + 2;
    for (int r = 0; r < (p.h + 7) / 8; ++r)
      for (int c = 0; c < p.cols; ++c) {
        uint32_t sH;
        do sH = uint32_t(uni(rng, 129, round % 2 ? 2000 : 32767));
        while (sH % 256 == 0);
        // Another form at a column that moves with the block row; none in
        // some block rows.
        if (r % 3 != 2 && (c % 37 == (11 * r + round) % 37 || c == 5 * r + 3))
          sH = others[size_t(uni(rng, 0, int(others.size()) - 1))];
        // The last whole block of a row (past the last multiple of 4
        // columns of its sigma run) in every second block row.
        if (c >= (p.w & ~15) / 8 - 2 && r % 2 == 1) sH = others[size_t(c + r) % others.size()];
        p.sigmaH[size_t(r) * sigmaStride + c] = sH;
      }
    for (int y = 0; y < p.h; ++y)
      for (int x = 0; x < p.w; ++x) {
        const uint32_t s = p.sigmaH[size_t(y >> 3) * sigmaStride + (x >> 3)];
        const int64_t sH = s > 32767 ? 32767 : s;
        const int64_t bound = tnr_md::saturationBound(s);
        int64_t v = sH + ((2 * uni(rng, 0, 127) + 1) * sH) / 256 + uni(rng, -1, 1);
        if (x % 5 == 0) v = uni(rng, -300, sH);
        if (y % 8 == 5 && (x / 128) % 2 == 0) v = bound + 1 + uni(rng, 0, 40);
        p.hdiff[size_t(y) * hdStride + x] = int16_t(std::clamp<int64_t>(v, -32768, 32767));
      }
    for (int y = 0; y < p.h; ++y)
      for (int c = 0; c < tStride; ++c) {
        uint8_t &t = p.t[size_t(y) * tStride + c];
        t = uint8_t(uni(rng, 1, 127));
        if ((c / 16) % 4 == 1) t = 128;  // runs of lAlpha 128
        if (c >= (7 * y + 13 * round) % tStride && c < (7 * y + 13 * round) % tStride + 5 &&
            y % 4 != 3)
          t = 0;  // a still stretch that moves from row to row
      }
    for (int y = 0; y < p.h; ++y)
      for (int x = 0; x < p.w; ++x) {
        uint8_t &pa = p.preAlpha[size_t(y) * p.w + x];
        pa = uint8_t(uni(rng, 0, 127));
        if ((x / 16 + y) % 29 == 0 && x % 16 == y % 16)
          pa = uint8_t(pick<int>(rng, {128, 128, 129, 200, 255}));
      }
    for (auto *v : {&p.cur, &p.pre, &p.gain})
      fillWith(v->data(), v->size(), Fill::Random, rng, 0, 255);
    expectPassTwinsMatch(p);
    if (HasFatalFailure()) return;
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
