// Camera motion: the estimator's motion on pictures with known sub-pixel
// shifts and its refusals; the history shift's forms byte for byte at every
// phase and at the edges, against guard pages; what the shift leaves where
// the picture enters.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <iterator>
#include <random>
#include <vector>

#include "camera_motion.h"
#include "forms.h"
#include "generators.h"
#include "motion_detect.h"
#include "test_util.h"

namespace {

using tnr_md_test::allForms;
using tnr_md_test::Fill;
using tnr_md_test::Guard;
using tnr_md_test::GuardedBuffer;
using tnr_md_test::kGuardSides;

// ---- The rows ------------------------------------------------------------------

class ShiftRows : public ::testing::TestWithParam<tnr_md_test::Form> {};

// The passes over one row at every phase and step, lengths around the vector
// widths, inputs exactly as long as the taps reach, against an inaccessible
// page on either side: the horizontal pass (steps 0 .. 2) and the vertical
// one over rows within its range; the one-pass filter along a row (steps 1,
// 2) and down a column (a pitch wider than the row), at phase 0 a copy.
TEST_P(ShiftRows, MatchPerSampleAtEveryPhaseAndLength) {
  const tnr_md::MotionKernels &k = *GetParam().mk;
  std::mt19937 rng = tnr_md_test::seededRng(41);
  for (Guard side : kGuardSides)
    for (int n : {1, 7, 8, 9, 15, 16, 17, 31, 32, 33, 47, 64, 65, 100})
      for (int step : {0, 1, 2, n + 3})
        for (int phase = 0; phase < 16; ++phase) {
          SCOPED_TRACE(::testing::Message() << "n " << n << " step " << step << " phase " << phase
                                            << " guard " << tnr_md_test::sideName(side) << " seed 41");
          const Fill fill = static_cast<Fill>(rng() % static_cast<unsigned>(Fill::Count));
          // The shift's taps, and on every other length the estimator's
          // (outer taps 0).
          const int8_t *taps = (n % 2 ? tnr_md::kShiftTaps : tnr_md::kFitTaps)[phase];
          GuardedBuffer<uint8_t> src(static_cast<size_t>(n + 5 * step), side);
          tnr_md_test::fillWith(src.data(), src.size(), fill, rng, 0, 255);
          GuardedBuffer<uint8_t> out(static_cast<size_t>(n), side);
          std::vector<uint8_t> wantOut(static_cast<size_t>(n));
          if (step > 0) {
            tnr_md::shift1_c(src.data() + 2 * step, step, wantOut.data(), n, taps);
            k.shift1(src.data() + 2 * step, step, out.data(), n, taps);
            ASSERT_EQ(0, std::memcmp(wantOut.data(), out.data(), static_cast<size_t>(n)));
            if (phase == 0)
              ASSERT_EQ(0, std::memcmp(src.data() + 2 * step, out.data(), static_cast<size_t>(n)));
          }
          if (step > 2) continue;
          GuardedBuffer<int16_t> h(static_cast<size_t>(n), side);
          std::vector<int16_t> want(static_cast<size_t>(n));
          tnr_md::shiftH_c(src.data() + 2 * step, want.data(), n, step, taps);
          k.shiftH(src.data() + 2 * step, h.data(), n, step, taps);
          ASSERT_EQ(0, std::memcmp(want.data(), h.data(), n * sizeof(int16_t)));
          std::vector<GuardedBuffer<int16_t>> rows;
          const int16_t *r6[tnr_md::kShiftTapCount];
          for (int j = 0; j < tnr_md::kShiftTapCount; ++j) {
            rows.emplace_back(n, side);
            tnr_md_test::fillWith(rows[j].data(), rows[j].size(), fill, rng, -72, 327);
          }
          for (int j = 0; j < tnr_md::kShiftTapCount; ++j) r6[j] = rows[j].data();
          tnr_md::shiftV_c(r6, wantOut.data(), n, taps);
          k.shiftV(r6, out.data(), n, taps);
          ASSERT_EQ(0, std::memcmp(wantOut.data(), out.data(), static_cast<size_t>(n)));
        }
}

// Both passes over a block at once against shiftH then shiftV, at every
// pair of phases, blocks around the strip width and the per-sample and x86
// forms' chunks of columns (128, 256 and 2048) and of 1 .. 6 rows (the row loop's remainders), inputs
// ending where the taps stop and outputs where the block does, against an
// inaccessible page.
TEST_P(ShiftRows, BlockMatchesTheTwoPasses) {
  const tnr_md::MotionKernels &k = *GetParam().mk;
  std::mt19937 rng = tnr_md_test::seededRng(45);
  for (Guard side : kGuardSides)
    for (int n : {1, 15, 16, 17, 31, 32, 33, 70, 127, 128, 129, 263, 300, 2063})
      for (int step : {0, 1, 2})
        for (int rows : {1, 3, 5, 6, 7, 13}) {
          const int px = static_cast<int>(rng() % 16), py = static_cast<int>(rng() % 16);
          SCOPED_TRACE(::testing::Message() << "n " << n << " step " << step << " rows " << rows
                                            << " phases " << px << "," << py << " guard "
                                            << tnr_md_test::sideName(side) << " seed 45");
          const Fill fill = static_cast<Fill>(rng() % static_cast<unsigned>(Fill::Count));
          const int8_t *tx = tnr_md::kShiftTaps[step ? px : 0], *ty = tnr_md::kShiftTaps[py];
          const ptrdiff_t pitch = n + 5 * step + static_cast<int>(rng() % 2) * 5;
          GuardedBuffer<uint8_t> src(static_cast<size_t>((rows + 4) * pitch + n + 5 * step), side);
          tnr_md_test::fillWith(src.data(), src.size(), fill, rng, 0, 255);
          const uint8_t *at = src.data() + 2 * pitch + 2 * step;
          const ptrdiff_t outPitch = n + 1;
          GuardedBuffer<uint8_t> out(static_cast<size_t>((rows - 1) * outPitch + n), side);
          k.shiftHV(at, pitch, step, out.data(), outPitch, n, rows, tx, ty);
          std::vector<int16_t> h(static_cast<size_t>(rows + 5) * n);
          for (int r = 0; r < rows + 5; ++r)
            tnr_md::shiftH_c(at + (r - 2) * pitch, h.data() + r * n, n, step, tx);
          std::vector<uint8_t> want(static_cast<size_t>(n));
          for (int y = 0; y < rows; ++y) {
            const int16_t *r6[tnr_md::kShiftTapCount];
            for (int j = 0; j < tnr_md::kShiftTapCount; ++j) r6[j] = h.data() + (y + j) * n;
            tnr_md::shiftV_c(r6, want.data(), n, ty);
            ASSERT_EQ(0, std::memcmp(want.data(), out.data() + y * outPitch, static_cast<size_t>(n)))
                << "row " << y;
          }
        }
}

// The gradient sums over rows of every length around the vector widths, on
// pathological and random contents (the extremes give the largest
// products), rows exactly as long as they are read.
TEST_P(ShiftRows, GradientSumsMatchPerSample) {
  const tnr_md::MotionKernels &k = *GetParam().mk;
  std::mt19937 rng = tnr_md_test::seededRng(44);
  for (Guard side : kGuardSides)
    for (int n : {1, 7, 8, 9, 15, 16, 17, 23, 24, 25, 31, 32, 33, 40, 47, 100, 441, 4098}) {
      SCOPED_TRACE(::testing::Message() << "n " << n << " guard " << tnr_md_test::sideName(side));
      std::vector<GuardedBuffer<uint8_t>> rows;
      for (int r = 0; r < 6; ++r) {
        rows.emplace_back(static_cast<size_t>(r % 3 == 0 ? n + 2 : n), side);
        const Fill fill = static_cast<Fill>(rng() % static_cast<unsigned>(Fill::Count));
        tnr_md_test::fillWith(rows.back().data(), rows.back().size(), fill, rng, 0, 255);
      }
      const uint8_t *c = rows[0].data() + 1, *p = rows[3].data() + 1;
      int32_t want[5], got[5];
      tnr_md::gradient_c(c, rows[1].data(), rows[2].data(), p, rows[4].data(), rows[5].data(), n,
                         want);
      k.gradient(c, rows[1].data(), rows[2].data(), p, rows[4].data(), rows[5].data(), n, got);
      for (int i = 0; i < 5; ++i) ASSERT_EQ(want[i], got[i]) << "sum " << i;
    }
}

TEST_P(ShiftRows, SadAndReductionMatchPerSample) {
  const tnr_md::MotionKernels &k = *GetParam().mk;
  std::mt19937 rng = tnr_md_test::seededRng(43);
  for (Guard side : kGuardSides)
    for (int n : {1, 7, 8, 9, 15, 16, 17, 31, 32, 33, 47, 56, 60, 64, 65, 100, 2100, 4200}) {
      SCOPED_TRACE(::testing::Message() << "n " << n << " guard " << tnr_md_test::sideName(side));
      const Fill fill = static_cast<Fill>(rng() % static_cast<unsigned>(Fill::Count));
      GuardedBuffer<uint8_t> a(n, side), b(n, side);
      tnr_md_test::fillWith(a.data(), a.size(), fill, rng, 0, 255);
      tnr_md_test::fillWith(b.data(), b.size(), Fill::Extremes, rng, 0, 255);
      ASSERT_EQ(tnr_md::sad_c(a.data(), n, b.data(), n, n, 1), k.sad(a.data(), n, b.data(), n, n, 1));
      // Several rows at pitches wider than the row (a's and b's differ),
      // each buffer ending where its last row does.
      for (int rows : {2, 5}) {
        const ptrdiff_t as = n + 3, bs = 2 * n + 1;
        GuardedBuffer<uint8_t> ra((rows - 1) * as + n, side), rb((rows - 1) * bs + n, side);
        tnr_md_test::fillWith(ra.data(), ra.size(), fill, rng, 0, 255);
        tnr_md_test::fillWith(rb.data(), rb.size(), Fill::Random, rng, 0, 255);
        ASSERT_EQ(tnr_md::sad_c(ra.data(), as, rb.data(), bs, n, rows),
                  k.sad(ra.data(), as, rb.data(), bs, n, rows))
            << "rows " << rows;
      }
      // Many short rows of the largest differences: the vector forms carry
      // 16-bit sums from row to row and must widen them in time.
      if (n <= 100) {
        const int rows = 300;
        GuardedBuffer<uint8_t> za((rows - 1) * (n + 1) + n, side), fb((rows - 1) * n + n, side);
        std::memset(za.data(), 0, za.size());
        std::memset(fb.data(), 255, fb.size());
        ASSERT_EQ(static_cast<uint32_t>(255 * n * rows), k.sad(za.data(), n + 1, fb.data(), n, n, rows));
        ASSERT_EQ(static_cast<uint32_t>(255 * n * rows), k.sad(fb.data(), n, za.data(), n + 1, n, rows));
      }
      const int outs = n / 4 + 1;
      const ptrdiff_t stride = 4 * outs + 3;
      GuardedBuffer<uint8_t> src(static_cast<size_t>(3 * stride + 4 * outs), side);
      tnr_md_test::fillWith(src.data(), src.size(), fill, rng, 0, 255);
      GuardedBuffer<uint8_t> dst(outs, side);
      std::vector<uint8_t> want(outs);
      tnr_md::reduce4_c(src.data(), stride, want.data(), outs);
      k.reduce4(src.data(), stride, dst.data(), outs);
      ASSERT_EQ(0, std::memcmp(want.data(), dst.data(), outs));
    }
}

TNR_MD_FORMS_SUITE(ShiftRows);

// ---- The history shift ---------------------------------------------------------

struct ShiftCase {
  int w, h, gw, gh;  // frame and grid
  std::vector<uint8_t> pre, cur, alpha, gain;
};

ShiftCase makeCase(std::mt19937 &rng, int w, int h, int gw, int gh) {
  ShiftCase c{w, h, gw, gh, {}, {}, {}, {}};
  const size_t frame = static_cast<size_t>(w) * h * 3 / 2, maps = static_cast<size_t>(gw) * gh;
  c.pre.resize(frame);
  c.cur.resize(frame);
  c.alpha.resize(maps);
  c.gain.resize(maps);
  const Fill fill = static_cast<Fill>(rng() % static_cast<unsigned>(Fill::Count));
  tnr_md_test::fillWith(c.pre.data(), frame, fill, rng, 0, 255, w);
  tnr_md_test::fillWith(c.cur.data(), frame, Fill::Random, rng, 0, 255);
  tnr_md_test::fillWith(c.alpha.data(), maps, Fill::Random, rng, 1, 128);
  tnr_md_test::fillWith(c.gain.data(), maps, Fill::Random, rng, 1, 255);
  return c;
}

struct ShiftOut {
  GuardedBuffer<uint8_t> frame, alpha, gain;
};

ShiftOut runShift(const tnr_md::MotionKernels &k, const ShiftCase &c, int dx, int dy, Guard side) {
  // Inputs and outputs exactly as large as the frame and maps, against a page.
  GuardedBuffer<uint8_t> pre(c.pre.size(), side), cur(c.cur.size(), side),
      alpha(c.alpha.size(), side), gain(c.gain.size(), side);
  std::memcpy(pre.data(), c.pre.data(), c.pre.size());
  std::memcpy(cur.data(), c.cur.data(), c.cur.size());
  std::memcpy(alpha.data(), c.alpha.data(), c.alpha.size());
  std::memcpy(gain.data(), c.gain.data(), c.gain.size());
  ShiftOut o{GuardedBuffer<uint8_t>(c.pre.size(), side), GuardedBuffer<uint8_t>(c.alpha.size(), side),
             GuardedBuffer<uint8_t>(c.gain.size(), side)};
  o.frame.fill(0xA5);
  o.alpha.fill(0xA5);
  o.gain.fill(0xA5);
  GuardedBuffer<int16_t> scratch(historyShiftTmpBufSize(c.gw), side);
  tnr_md::historyShiftWith(k, pre.data(), cur.data(), o.frame.data(), alpha.data(), o.alpha.data(),
                           gain.data(), o.gain.data(), scratch.data(), c.h, c.w, c.gh, c.gw, c.gw,
                           dx, dy, 77);
  return o;
}

class HistoryShift : public ::testing::TestWithParam<tnr_md_test::Form> {};

// Every fractional phase on each axis, whole parts that put the taps across
// every edge (and motions larger than the grid), grids narrower than the
// frame and of widths around the vector widths.
TEST_P(HistoryShift, MatchesPerSampleAtEveryPhaseAndEdge) {
  const tnr_md::MotionKernels &k = *GetParam().mk;
  std::mt19937 rng = tnr_md_test::seededRng(47);
  struct Size {
    int w, h, gw, gh;
  };
  for (Size s : {Size{8, 8, 8, 8}, Size{34, 20, 34, 20}, Size{40, 24, 36, 18}, Size{70, 30, 66, 30}})
    for (Guard side : kGuardSides)
      for (int m = 0; m < 40; ++m) {
        const int dx = m < 16 ? m + 16 * static_cast<int>(tnr_md_test::uni(rng, -3, 3))
                              : static_cast<int>(tnr_md_test::uni(rng, -16 * (s.gw + 4), 16 * (s.gw + 4)));
        const int dy = m >= 16 && m < 32 ? (m - 16) - 16 * static_cast<int>(tnr_md_test::uni(rng, -3, 3))
                                         : static_cast<int>(tnr_md_test::uni(rng, -16 * 6, 16 * 6));
        SCOPED_TRACE(::testing::Message() << s.w << "x" << s.h << " grid " << s.gw << "x" << s.gh
                                          << " motion " << dx << "," << dy << " guard "
                                          << tnr_md_test::sideName(side));
        const ShiftCase c = makeCase(rng, s.w, s.h, s.gw, s.gh);
        const ShiftOut want = runShift(tnr_md::kMotionKernelsC, c, dx, dy, side);
        const ShiftOut got = runShift(k, c, dx, dy, side);
        ASSERT_EQ(0, std::memcmp(want.frame.data(), got.frame.data(), c.pre.size()));
        ASSERT_EQ(0, std::memcmp(want.alpha.data(), got.alpha.data(), c.alpha.size()));
        ASSERT_EQ(0, std::memcmp(want.gain.data(), got.gain.data(), c.gain.size()));
      }
}

TNR_MD_FORMS_SUITE(HistoryShift);

// The filter written out in full for output (x, y) of a plane of n samples
// of `step` bytes (byte c of each) and `rows` rows: each row filtered and
// rounded, then the rows, the sample indices clamped to the plane (its edge
// samples repeated where the taps reach past it).
int twoPass(const uint8_t *plane, int pitch, int n, int rows, int step, int c, int x, int y,
            int mx, int my) {
  const int wx = mx >> 4, wy = my >> 4;
  const int8_t *tx = tnr_md::kShiftTaps[mx & 15], *ty = tnr_md::kShiftTaps[my & 15];
  int sum = 0;
  for (int j = 0; j < 6; ++j) {
    const int r = std::clamp(y + wy + j - 2, 0, rows - 1);
    int hs = 0;
    for (int i = 0; i < 6; ++i)
      hs += tx[i] * plane[r * pitch + std::clamp(x + wx + i - 2, 0, n - 1) * step + c];
    sum += ty[j] * ((hs + 32) >> 6);
  }
  return std::clamp((sum + 32) >> 6, 0, 255);
}

// Whole-pixel motions move every byte as they say. Where the source lies
// outside the grid, or a fraction's taps reach past it, the frame repeats
// the grid's nearest edge sample (the picture entering at an edge is
// compared with the history beside it, never with itself) and the maps
// restart: weight 0, the fill gain. A motion of (0, 0) copies.
TEST(HistoryShiftSemantics, WholePixelsMoveAndEdgesRepeatTheGrid) {
  std::mt19937 rng = tnr_md_test::seededRng(53);
  const int w = 48, h = 32;
  for (int t = 0; t < 30; ++t) {
    const int ux = static_cast<int>(tnr_md_test::uni(rng, -20, 20));
    const int uy = static_cast<int>(tnr_md_test::uni(rng, -12, 12));
    const int frac = t % 3 == 0 ? 0 : static_cast<int>(tnr_md_test::uni(rng, 1, 15));
    const int dx = 16 * ux + frac, dy = 16 * uy;
    SCOPED_TRACE(::testing::Message() << "motion " << dx << "," << dy << " seed 53 case " << t);
    ShiftCase c = makeCase(rng, w, h, w, h);
    const ShiftOut o = runShift(TNR_MD_DEFAULT_MOTION_KERNELS, c, dx, dy, Guard::Right);
    // Luma: source column x - dx / 16; with a fraction the taps reach from
    // floor - 2 to floor + 3.
    const int sx = -dx, wx = sx >> 4;
    const int lo = frac ? -2 : 0, hi = frac ? 3 : 0;
    const int wxMap = -(dx >= 0 ? (dx + 8) >> 4 : -((-dx + 8) >> 4));
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x) {
        const int syy = y - uy;
        const bool inside = x + wx + lo >= 0 && x + wx + hi < w && syy >= 0 && syy < h;
        const bool mapInside = inside && x + wxMap >= 0 && x + wxMap < w;
        const size_t i = static_cast<size_t>(y) * w + x;
        if (!frac) {
          const int cy = std::clamp(syy, 0, h - 1), cx = std::clamp(x + wx, 0, w - 1);
          ASSERT_EQ(o.frame[i], c.pre[static_cast<size_t>(cy) * w + cx]) << x << "," << y;
        } else {
          ASSERT_EQ(o.frame[i], twoPass(c.pre.data(), w, w, h, 1, 0, x, y, sx, -dy)) << x << "," << y;
        }
        if (!mapInside) {
          ASSERT_EQ(o.alpha[i], 0) << x << "," << y;
          ASSERT_EQ(o.gain[i], 77) << x << "," << y;
        } else {
          ASSERT_EQ(o.alpha[i], c.alpha[static_cast<size_t>(syy) * w + x + wxMap]) << x << "," << y;
          ASSERT_EQ(o.gain[i], c.gain[static_cast<size_t>(syy) * w + x + wxMap]) << x << "," << y;
        }
      }
  }
  ShiftCase c = makeCase(rng, w, h, w, h);
  const ShiftOut o = runShift(TNR_MD_DEFAULT_MOTION_KERNELS, c, 0, 0, Guard::Right);
  EXPECT_EQ(0, std::memcmp(o.frame.data(), c.pre.data(), c.pre.size()));
  EXPECT_EQ(0, std::memcmp(o.alpha.data(), c.alpha.data(), c.alpha.size()));
}

// Every byte of the grid, edges included, against the filter written out in
// full, at motions whose axes are whole, fractional or both, luma and
// chroma, in every form: the shortcuts for whole axes (one pass, or a copy)
// and the edge samples give the two passes' bytes; a grid narrower and
// shorter than the frame repeats its own edge, not the bytes beyond it.
TEST(HistoryShiftSemantics, EveryByteGivesTheTwoPassesBytes) {
  std::mt19937 rng = tnr_md_test::seededRng(57);
  struct Size {
    int w, h, gw, gh;
  };
  // Every phase on each axis against a whole one, the same and the mirrored
  // phase on the other, whole parts that move either way (past the grid
  // now and then).
  for (Size s : {Size{52, 36, 52, 36}, Size{56, 40, 46, 30}})
    for (int t = 0; t < 64; ++t) {
      const int px = t % 16, py = (t / 16 == 0 ? 0 : t / 16 == 1 ? px : 15 - px);
      const int reach = t % 8 == 7 ? 60 : 3;
      const auto part = [&](int phase) {
        return 16 * static_cast<int>(tnr_md_test::uni(rng, -reach, reach)) + phase;
      };
      const int dx = part(t / 16 == 3 ? py : px), dy = part(t / 16 == 3 ? px : py);
      SCOPED_TRACE(::testing::Message() << s.w << "x" << s.h << " grid " << s.gw << "x" << s.gh
                                        << " motion " << dx << "," << dy << " seed 57 case " << t);
      ShiftCase c = makeCase(rng, s.w, s.h, s.gw, s.gh);
      for (const tnr_md_test::Form &f : allForms()) {
        const ShiftOut o = runShift(*f.mk, c, dx, dy, Guard::Right);
        // Luma: source offset -d; chroma: -((d + 1) >> 1) in 1/16 chroma samples.
        for (int y = 0; y < s.gh; ++y)
          for (int x = 0; x < s.gw; ++x)
            ASSERT_EQ(o.frame[static_cast<size_t>(y) * s.w + x],
                      twoPass(c.pre.data(), s.w, s.gw, s.gh, 1, 0, x, y, -dx, -dy))
                << f.name << " luma " << x << "," << y;
        const size_t luma = static_cast<size_t>(s.w) * s.h;
        const uint8_t *uv = c.pre.data() + luma;
        const int cx = -((dx + 1) >> 1), cy = -((dy + 1) >> 1);
        for (int y = 0; y < s.gh / 2; ++y)
          for (int x = 0; x < s.gw; ++x)
            ASSERT_EQ(o.frame[luma + static_cast<size_t>(y) * s.w + x],
                      twoPass(uv, s.w, s.gw / 2, s.gh / 2, 2, x & 1, x >> 1, y, cx, cy))
                << f.name << " chroma " << x << "," << y;
      }
    }
}

// A smooth ramp moved by a fraction lands where the fraction says: phase p
// of a ramp rising 8 per pixel reads 8 x (x - p / 16) within 1 (the taps are
// rounded to 1/64), so a phase off by one step (0.5 of a code value per
// 1/16 pixel) or a shift in the wrong direction shows.
TEST(HistoryShiftSemantics, FractionsLandOnARamp) {
  const int w = 40, h = 16;
  std::vector<uint8_t> pre(static_cast<size_t>(w) * h * 3 / 2), cur(pre.size(), 0), out(pre.size());
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) pre[static_cast<size_t>(y) * w + x] = static_cast<uint8_t>(40 + 4 * x);
  std::vector<uint8_t> alpha(static_cast<size_t>(w) * h, 100), a2(alpha.size()), g2(alpha.size());
  std::vector<int16_t> scratch(historyShiftTmpBufSize(w));
  for (int dx = -40; dx <= 40; ++dx) {
    historyShift(pre.data(), cur.data(), out.data(), alpha.data(), a2.data(), alpha.data(), g2.data(),
                 scratch.data(), h, w, h, w, w, dx, 0, 0);
    for (int x = 4; x < w - 4; ++x) {
      const double want = 40 + 4 * (x - dx / 16.0);
      EXPECT_NEAR(out[static_cast<size_t>(5) * w + x], want, 0.55) << "dx " << dx << " x " << x;
    }
  }
}

// The exported taps: the table the shift uses, and a buffer too small for
// them (an earlier version had four) left untouched.
TEST(HistoryShiftSemantics, TapsAreReportedAndNeverOverrunABuffer) {
  for (int phase = 0; phase < 16; ++phase) {
    int8_t taps[8];
    std::memset(taps, 99, sizeof taps);
    ASSERT_EQ(historyShiftTaps(phase, taps, 8), tnr_md::kShiftTapCount);
    EXPECT_EQ(0, std::memcmp(taps, tnr_md::kShiftTaps[phase], tnr_md::kShiftTapCount));
    EXPECT_EQ(taps[tnr_md::kShiftTapCount], 99) << "phase " << phase;
    int8_t four[4] = {99, 99, 99, 99};
    EXPECT_EQ(historyShiftTaps(phase, four, 4), tnr_md::kShiftTapCount);
    EXPECT_EQ(four[0], 99);
    EXPECT_EQ(historyShiftTaps(phase, nullptr, 0), tnr_md::kShiftTapCount);
  }
}

// ---- The estimator --------------------------------------------------------------

// A textured picture defined everywhere: a sum of sines of random direction,
// frequency (periods of 6 to 240 pixels, evenly in log) and phase, so that a shift by any
// fraction is known exactly.
struct Texture {
  double fx[16], fy[16], ph[16], amp[16];
  explicit Texture(std::mt19937 &rng) {
    for (int i = 0; i < 16; ++i) {
      const double angle = 6.283185307 * tnr_md_test::unitFloat(rng);
      const double period = 6 * std::pow(40.0, tnr_md_test::unitFloat(rng));  // 6 .. 240
      fx[i] = 6.283185307 * std::cos(angle) / period;
      fy[i] = 6.283185307 * std::sin(angle) / period;
      ph[i] = 6.283185307 * tnr_md_test::unitFloat(rng);
      amp[i] = 10 + 10 * tnr_md_test::unitFloat(rng);
    }
  }
  double at(double x, double y) const {
    double v = 128;
    for (int i = 0; i < 16; ++i) v += amp[i] * std::sin(fx[i] * x + fy[i] * y + ph[i]);
    return v;
  }
};

// The texture sampled at (ax x + bx, ay y + by), noise of sigma added (none
// at 0). Not a sine per pixel and component: sin(a + b) from the sines and
// cosines of the column's and the row's parts (Texture::at up to the last bit
// of the sum before rounding), which the Arm suites under qemu need.
std::vector<uint8_t> renderAffine(const Texture &t, int w, int h, double ax, double bx, double ay,
                                  double by, double sigma, std::mt19937 &rng) {
  std::vector<double> v(static_cast<size_t>(w) * h, 128.0), sx(w), cx(w);
  for (int i = 0; i < 16; ++i) {
    for (int x = 0; x < w; ++x) {
      sx[x] = std::sin(t.fx[i] * (ax * x + bx) + t.ph[i]);
      cx[x] = std::cos(t.fx[i] * (ax * x + bx) + t.ph[i]);
    }
    for (int y = 0; y < h; ++y) {
      const double sy = t.amp[i] * std::sin(t.fy[i] * (ay * y + by)),
                   cy = t.amp[i] * std::cos(t.fy[i] * (ay * y + by));
      double *row = v.data() + static_cast<size_t>(y) * w;
      for (int x = 0; x < w; ++x) row[x] += sx[x] * cy + cx[x] * sy;
    }
  }
  std::vector<uint8_t> p(v.size());
  std::normal_distribution<double> noise(0, sigma > 0 ? sigma : 1);
  for (size_t i = 0; i < v.size(); ++i)
    p[i] = static_cast<uint8_t>(
        std::lround(std::clamp(v[i] + (sigma > 0 ? noise(rng) : 0), 0.0, 255.0)));
  return p;
}

// The texture moved by (ox, oy).
std::vector<uint8_t> render(const Texture &t, int w, int h, double ox, double oy, double sigma,
                            std::mt19937 &rng) {
  return renderAffine(t, w, h, 1, -ox, 1, -oy, sigma, rng);
}

TnrMdMotion estimate(const tnr_md::MotionKernels &k, const std::vector<uint8_t> &pre,
                     const std::vector<uint8_t> &cur, int w, int h, int fitStep = 0) {
  std::vector<uint8_t> scratch(motionEstimateTmpBufSize(h, w));
  TnrMdMotion m{};
  tnr_md::motionEstimateWith(k, pre.data(), w, cur.data(), w, h, w, scratch.data(), &m, fitStep);
  return m;
}

// The estimate of a known shift (sx, sy) within 1/8 pixel, and the same
// vector and confidence as the per-sample form's.
void expectRecovered(const tnr_md::MotionKernels &k, const std::vector<uint8_t> &pre,
                     const std::vector<uint8_t> &cur, int w, int h, double sx, double sy,
                     int fitStep = 0) {
  const TnrMdMotion m = estimate(k, pre, cur, w, h, fitStep);
  ASSERT_EQ(m.valid, 1);
  EXPECT_LE(std::fabs(m.dx - 16 * sx), 2.0) << m.dx;
  EXPECT_LE(std::fabs(m.dy - 16 * sy), 2.0) << m.dy;
  const TnrMdMotion ref = estimate(tnr_md::kMotionKernelsC, pre, cur, w, h, fitStep);
  EXPECT_EQ(ref.dx, m.dx);
  EXPECT_EQ(ref.dy, m.dy);
  EXPECT_EQ(ref.confidence, m.confidence);
}

class MotionEstimate : public ::testing::TestWithParam<tnr_md_test::Form> {};

// Known shifts across the range (+-64 at 1920 columns, at least +-16: +-16
// at 480), clean and with noise of sigma 8: within 1/8 pixel, the same
// vector in every form.
TEST_P(MotionEstimate, RecoversSubPixelShiftsAcrossTheRange) {
  const tnr_md::MotionKernels &k = *GetParam().mk;
  const int w = 480, h = 272;
  static const double shifts[][2] = {{0.3125, -0.1875}, {-15.2, 0.44}, {15.9, -14.3}, {3.53, 7.81},
                                     {-9.97, -0.5},     {0.0, 12.06}, {14.62, 15.5}, {-1.37, -0.41}};
  // Rendered once for every form: per shift, the clean pair and the noisy pair.
  static const auto pictures = [&] {
    std::mt19937 rng = tnr_md_test::seededRng(59);
    const Texture tex(rng);
    const auto pre0 = render(tex, w, h, 0, 0, 0, rng);
    const auto noisy = [&](std::vector<uint8_t> p) {
      std::normal_distribution<double> noise(0, 8.0);
      for (uint8_t &v : p) v = static_cast<uint8_t>(std::lround(std::clamp(v + noise(rng), 0.0, 255.0)));
      return p;
    };
    std::vector<std::vector<uint8_t>> p;
    for (const auto &s : shifts) {
      const auto cur0 = render(tex, w, h, s[0], s[1], 0, rng);
      p.insert(p.end(), {pre0, cur0, noisy(pre0), noisy(cur0)});
    }
    return p;
  }();
  for (size_t i = 0; i < std::size(shifts); ++i)
    for (int noisy = 0; noisy < 2; ++noisy) {
      const auto &s = shifts[i];
      SCOPED_TRACE(::testing::Message() << "shift " << s[0] << "," << s[1] << " sigma " << 8 * noisy
                                        << " seed 59");
      expectRecovered(k, pictures[4 * i + 2 * noisy], pictures[4 * i + 2 * noisy + 1], w, h, s[0], s[1]);
    }
}

// Noise adds to the gradients' squares but not to their products with the
// difference: uncorrected, it pulls the fraction towards the first step's
// whole pixel, most on weak texture.
// Weak texture (a quarter of the amplitude), noise of sigma 8 on both
// pictures, fractions that lie 0.3 to 0.45 pixel from the whole pixel the
// search finds: over the trials of each shift the mean error is within
// 1/16 pixel, each estimate within 3/16, the same vector in every form.
TEST_P(MotionEstimate, NoiseDoesNotShrinkTheFraction) {
  const tnr_md::MotionKernels &k = *GetParam().mk;
  const int w = 480, h = 272, trials = 6;
  static const double shifts[][2] = {{-1.37, -0.41}, {2.35, 0.62}, {-0.4, 3.7}};
  // Rendered once for every form: per shift, trials noisy pairs.
  static const auto pictures = [&] {
    std::mt19937 rng = tnr_md_test::seededRng(62);
    Texture tex(rng);
    for (double &a : tex.amp) a /= 4;
    std::vector<std::vector<uint8_t>> p;
    for (const auto &s : shifts)
      for (int t = 0; t < trials; ++t) {
        p.push_back(render(tex, w, h, 0, 0, 8, rng));
        p.push_back(render(tex, w, h, s[0], s[1], 8, rng));
      }
    return p;
  }();
  for (size_t i = 0; i < std::size(shifts); ++i) {
    const auto &s = shifts[i];
    double ex = 0, ey = 0;
    for (int t = 0; t < trials; ++t) {
      SCOPED_TRACE(::testing::Message() << "shift " << s[0] << "," << s[1] << " trial " << t
                                        << " seed 62");
      const auto &pre = pictures[2 * (i * trials + t)], &cur = pictures[2 * (i * trials + t) + 1];
      const TnrMdMotion m = estimate(k, pre, cur, w, h);
      ASSERT_EQ(m.valid, 1);
      EXPECT_LE(std::fabs(m.dx - 16 * s[0]), 3.0) << m.dx;
      EXPECT_LE(std::fabs(m.dy - 16 * s[1]), 3.0) << m.dy;
      ex += m.dx - 16 * s[0];
      ey += m.dy - 16 * s[1];
      const TnrMdMotion ref = estimate(tnr_md::kMotionKernelsC, pre, cur, w, h);
      EXPECT_EQ(ref.dx, m.dx);
      EXPECT_EQ(ref.dy, m.dy);
    }
    EXPECT_LE(std::fabs(ex / trials), 1.0) << "shift " << s[0] << "," << s[1] << " mean error x";
    EXPECT_LE(std::fabs(ey / trials), 1.0) << "shift " << s[0] << "," << s[1] << " mean error y";
  }
}

// The full-size steps on one row in 8 and in 16 (what 1080p pictures use,
// there with twice to four times the samples per tile) recover the shifts
// as well, clean and noisy, the same vector in every form.
TEST_P(MotionEstimate, SparseRowsRecoverSubPixelShifts) {
  const tnr_md::MotionKernels &k = *GetParam().mk;
  std::mt19937 rng = tnr_md_test::seededRng(60);
  const int w = 960, h = 544;
  const double shifts[][2] = {{-9.97, 5.5}, {3.53, -0.81}};
  // Rendered once for every form: [shift][clean, noisy][pre, cur].
  static const auto pictures = [&] {
    const Texture tex(rng);
    std::vector<std::vector<uint8_t>> p;
    for (const auto &s : shifts)
      for (double sigma : {0.0, 8.0}) {
        p.push_back(render(tex, w, h, 0, 0, sigma, rng));
        p.push_back(render(tex, w, h, s[0], s[1], sigma, rng));
      }
    return p;
  }();
  for (int i = 0; i < 2; ++i)
    for (int noisy = 0; noisy < 2; ++noisy)
      for (int step : {8, 16}) {
        const auto &s = shifts[i];
        SCOPED_TRACE(::testing::Message() << "shift " << s[0] << "," << s[1] << " sigma "
                                          << 8 * noisy << " step " << step << " seed 60");
        expectRecovered(k, pictures[4 * i + 2 * noisy], pictures[4 * i + 2 * noisy + 1], w, h, s[0],
                        s[1], step);
      }
}

// A cut (two unrelated pictures), two frames of noise alone, a flat grey
// picture (with and without noise), and a zoom of 3 %: no alignment.
TEST_P(MotionEstimate, RefusesCutsNoiseFlatPicturesAndZooms) {
  const tnr_md::MotionKernels &k = *GetParam().mk;
  const int w = 480, h = 272;
  static const char *const names[] = {"cut", "noise", "flat", "zoom"};
  // Rendered once for every form: the pairs in the order of names.
  static const auto pictures = [&] {
    std::mt19937 rng = tnr_md_test::seededRng(61);
    const Texture a(rng), b(rng);
    Texture flat(rng);
    for (double &v : flat.amp) v = 0;
    std::vector<std::vector<uint8_t>> p;
    p.push_back(render(a, w, h, 0, 0, 2, rng));
    p.push_back(render(b, w, h, 0, 0, 2, rng));
    p.push_back(render(flat, w, h, 0, 0, 8, rng));
    p.push_back(render(flat, w, h, 0, 0, 8, rng));
    p.push_back(render(flat, w, h, 0, 0, 0, rng));
    p.push_back(render(flat, w, h, 0, 0, 0, rng));
    p.push_back(render(a, w, h, 0, 0, 0, rng));
    const double z = 1 / 1.03;  // a zoom of 3 % about the centre
    p.push_back(renderAffine(a, w, h, z, (w / 2) * (1 - z), z, (h / 2) * (1 - z), 0, rng));
    return p;
  }();
  for (size_t i = 0; i < std::size(names); ++i)
    EXPECT_EQ(estimate(k, pictures[2 * i], pictures[2 * i + 1], w, h).valid, 0) << names[i] << ", seed 61";
}

// Something moving over a still background (a textured block of a fifth of
// the picture's width and a third of its height moving 9 pixels right and 4
// down) leaves the estimate
// at rest; over a panning background the pan.
TEST_P(MotionEstimate, MovingObjectsDoNotDragTheEstimate) {
  const tnr_md::MotionKernels &k = *GetParam().mk;
  const int w = 480, h = 272;
  static const double pans[] = {0.0, 2.75};
  // Rendered once for every form: per pan, the pair.
  static const auto pictures = [&] {
    std::mt19937 rng = tnr_md_test::seededRng(67);
    const Texture bg(rng), obj(rng);
    std::vector<std::vector<uint8_t>> p;
    for (double pan : pans) {
      auto pre = render(bg, w, h, 0, 0, 4, rng), cur = render(bg, w, h, pan, 0, 4, rng);
      for (int y = 80; y < 176; ++y)
        for (int x = 160; x < 256; ++x) {
          pre[static_cast<size_t>(y) * w + x] = static_cast<uint8_t>(std::clamp(obj.at(x, y), 0.0, 255.0));
          cur[static_cast<size_t>(y + 4) * w + x + 9] =
              static_cast<uint8_t>(std::clamp(obj.at(x, y), 0.0, 255.0));
        }
      p.insert(p.end(), {std::move(pre), std::move(cur)});
    }
    return p;
  }();
  for (size_t i = 0; i < std::size(pans); ++i) {
    const TnrMdMotion m = estimate(k, pictures[2 * i], pictures[2 * i + 1], w, h);
    SCOPED_TRACE(::testing::Message() << "pan " << pans[i] << " seed 67");
    ASSERT_EQ(m.valid, 1);
    EXPECT_LE(std::abs(m.dx - static_cast<int>(std::lround(16 * pans[i]))), 2);
    EXPECT_LE(std::abs(m.dy), 2);
  }
}

TNR_MD_FORMS_SUITE(MotionEstimate);

}  // namespace
