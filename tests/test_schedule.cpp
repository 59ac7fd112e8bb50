// The banded schedules (streamed and whole-first) against the stage-by-stage
// order: the same bytes in every buffer, for every kernel set.
#include <algorithm>
#include <string>
#include <vector>

#include "forms.h"
#include "layout.h"
#include "motion_detect.h"
#include "test_util.h"

using tnr_md_test::GuardedBuffer;

namespace {

struct Buffers {
  GuardedBuffer<uint8_t> cur, prev, alpha, preAlpha, gain;
  GuardedBuffer<int16_t> tmp;
  Buffers(int iw, int ih, int pw, int ph, int g)
      : cur(size_t(iw) * ih * 3 / 2),
        prev(size_t(iw) * ih * 3 / 2),
        alpha(size_t(g) * ph),
        preAlpha(size_t(g) * ph),
        gain(size_t(g) * ph),
        tmp(motionDetectTmpBufSize(ph, pw)) {}
};

}  // namespace

class Schedule : public ::testing::TestWithParam<tnr_md_test::Form> {};
TNR_MD_FORMS_SUITE(Schedule);

TEST_P(Schedule, BandedEqualsStageByStage) {
  auto rng = tnr_md_test::seededRng(77);
  int banded = 0, fallback = 0;
  for (int iter = 0; iter < 60; ++iter) {
    // Heights around band multiples leave short last bands; taller grids take
    // several steps of the low-resolution stages behind the difference and
    // wrap the ring of difference rows (197 and 293 put the moved-back last
    // block row across a wrap, 208 and 304 end the last band at one); narrow
    // and low grids exercise the fall-back to the stage order.
    const int ringCases[] = {113, 197, 208, 293, 304};
    const int pw = iter < 8 ? 14 + iter * 9 : 8 + int(rng() % 260);
    const int ph = iter < 8    ? 8 + iter * 15
                   : iter < 13 ? ringCases[iter - 8]
                   : iter < 26 ? 100 + int(rng() % 240)
                               : 8 + int(rng() % 90);
    if (motionDetectTmpBufSize(ph, pw) == 0) continue;
    const int iw = (pw + 1 + int(rng() % 8)) & ~1, ih = (ph + 1 + int(rng() % 4)) & ~1;
    const int g = pw + int(rng() % 5);
    const auto layout = tnr_md::makeLayout(ph, pw);
    (tnr_md::bandWork(layout).at >= 0 ? banded : fallback)++;

    Buffers a(iw, ih, pw, ph, g), b(iw, ih, pw, ph, g);
    tnr_md_test::fillRandom(a.cur.data(), a.cur.size(), rng, 0, 255);
    tnr_md_test::fillRandom(a.prev.data(), a.prev.size(), rng, 0, 255);
    // Every other grid is a still scene (the previous frame is the current
    // one within 2 levels), whose bands the pass smooths itself.
    if (iter % 2 == 0)
      for (size_t i = 0; i < a.prev.size(); ++i)
        a.prev[i] = uint8_t(std::clamp(int(a.cur[i]) + int(a.prev[i] % 5) - 2, 0, 255));
    // A moving square over noise, so that every alpha range occurs.
    for (int y = ph / 4; y < ph / 2; ++y)
      for (int x = pw / 3; x < pw / 3 + 12 && x < iw; ++x) a.cur[size_t(y) * iw + x] = 250;
    tnr_md_test::fillRandom(a.preAlpha.data(), a.preAlpha.size(), rng, 0, 255);
    tnr_md_test::fillRandom(a.gain.data(), a.gain.size(), rng, 0, 255);
    tnr_md_test::fillRandom(a.alpha.data(), a.alpha.size(), rng, 0, 255);
    std::copy(a.cur.begin(), a.cur.end(), b.cur.begin());
    std::copy(a.prev.begin(), a.prev.end(), b.prev.begin());
    std::copy(a.preAlpha.begin(), a.preAlpha.end(), b.preAlpha.begin());
    std::copy(a.gain.begin(), a.gain.end(), b.gain.begin());
    std::copy(a.alpha.begin(), a.alpha.end(), b.alpha.begin());
    const float uv = float(rng() % 300) / 100, sh = 0.2f + float(rng() % 300) / 100,
                sl = 0.05f + float(rng() % 100) / 100;
    const int rbit = int(rng() % 10);
    // The ring cases stream; the random grids take either banded order.
    const auto order =
        iter < 13 || iter % 2 ? tnr_md::Schedule::Streamed : tnr_md::Schedule::WholeFirst;
    tnr_md::motionDetectWith(*GetParam().k, a.cur.data(), a.prev.data(), a.tmp.data(),
                             a.alpha.data(), a.preAlpha.data(), a.gain.data(), ih, iw, ph, pw, g,
                             sh, sl, uv, 0, rbit, order);
    tnr_md::motionDetectWith(*GetParam().k, b.cur.data(), b.prev.data(), b.tmp.data(),
                             b.alpha.data(), b.preAlpha.data(), b.gain.data(), ih, iw, ph, pw, g,
                             sh, sl, uv, 0, rbit, tnr_md::Schedule::StageByStage);
    const std::string at = std::to_string(pw) + "x" + std::to_string(ph) + " frame " +
                           std::to_string(iw) + "x" + std::to_string(ih) + " pitch " +
                           std::to_string(g);
    ASSERT_TRUE(std::equal(a.cur.begin(), a.cur.end(), b.cur.begin())) << at;
    ASSERT_TRUE(std::equal(a.alpha.begin(), a.alpha.end(), b.alpha.begin())) << at;
    ASSERT_TRUE(std::equal(a.preAlpha.begin(), a.preAlpha.end(), b.preAlpha.begin())) << at;
    ASSERT_TRUE(std::equal(a.gain.begin(), a.gain.end(), b.gain.begin())) << at;
  }
  EXPECT_GT(banded, 20);
  EXPECT_GT(fallback, 0);
}

TEST(ScheduleWorkArea, LiesInsideTheUnusedTailOfTheSigmaReservation) {
  for (int w = 8; w < 400; w += 13)
    for (int h = 8; h < 200; h += 7) {
      const auto g = tnr_md::makeLayout(h, w);
      if (!g.accepted) continue;
      const auto work = tnr_md::bandWork(g);
      if (work.at < 0) continue;
      EXPECT_GE(work.at, g.sigma + int64_t{g.blockRows + 8} * g.sigmaStride);
      // Block alpha and row buffer, then the sigma scratch of one step.
      EXPECT_GE(2 * work.sigmaTmp, 2 * work.at + int64_t{g.blockRows} * g.blockCols +
                                       int64_t{tnr_md::kBandRows} * g.lDiffStride);
      EXPECT_GE(work.end,
                work.sigmaTmp + int64_t{tnr_md::kLowResRows + 7} * g.sigmaStride + g.blockCols + 4);
      EXPECT_LE(work.end, g.filterLdiff) << w << "x" << h;
    }
  EXPECT_GE(tnr_md::bandWork(tnr_md::makeLayout(1080, 1920)).at, 0);
  EXPECT_GE(tnr_md::bandWork(tnr_md::makeLayout(2160, 3840)).at, 0);
}

// The row-range difference over chunks of block rows, each chunk writing its
// difference rows from its own pointer (the row above its first offset row,
// which the moved-back last block row moves up), gives the whole stage's
// planes; nothing lands above a chunk's first row, in the border columns or
// past its last sample.
TEST_P(Schedule, DifferenceRowRangesMatchTheWholeStage) {
  auto rng = tnr_md_test::seededRng(78);
  constexpr int16_t kCanary = 0x5A5A;
  for (int iter = 0; iter < 40; ++iter) {
    const int pw = 8 + int(rng() % 150), ph = 8 + int(rng() % 100);
    const int iw = (pw + 1 + int(rng() % 6)) & ~1, ih = (ph + 1 + int(rng() % 4)) & ~1;
    const auto g = tnr_md::makeLayout(ph, pw);
    if (!g.accepted) continue;
    std::vector<uint8_t> cur(size_t(iw) * ih * 3 / 2), pre(cur.size());
    tnr_md_test::fillRandom(cur.data(), cur.size(), rng, 0, 255);
    tnr_md_test::fillRandom(pre.data(), pre.size(), rng, 0, 255);
    const float uv = float(rng() % 300) / 100;
    const size_t stride = size_t(pw) + 2;
    std::vector<int16_t> hA(stride * size_t(ph + 2)), ldA(size_t(g.lDiffSize)),
        sgA(size_t(g.sigmaStride) * (g.blockRows + 8));
    std::vector<int16_t> ldB(ldA.size()), sgB(sgA.size());
    tnr_md::frameDiffWith(tnr_md::kKernelsC, cur.data(), pre.data(), ldA.data(), hA.data(),
                          sgA.data(), ih, iw, ph, pw, g.lDiffStride, g.sigmaStride, uv);
    for (int by0 = 0, by1 = 0; by0 < g.blockRows; by0 = by1) {
      by1 = std::min(g.blockRows, by0 + 1 + int(rng() % 4));
      const int hRow0 = 8 * by0 + 8 <= ph ? 8 * by0 : ph - 8;
      const int rEnd = by1 == g.blockRows ? ph : 8 * by1;
      const std::string at = std::to_string(pw) + "x" + std::to_string(ph) + " block rows " +
                             std::to_string(by0) + ".." + std::to_string(by1);
      GuardedBuffer<int16_t> h(size_t(rEnd - hRow0) * stride + size_t(pw) + 1);
      std::fill(h.begin(), h.end(), kCanary);
      GetParam().k->frameDiff({cur.data(), pre.data(), ih, iw}, tnr_md::makeGrid(ph, pw),
                              {ldB.data(), h.data(), sgB.data(), g.lDiffStride, g.sigmaStride}, uv,
                              by0, by1);
      for (size_t c = 0; c < stride; ++c) ASSERT_EQ(h[c], kCanary) << at << ": row above";
      for (int r = hRow0; r < rEnd; ++r) {
        const int16_t *got = h.data() + size_t(r - hRow0 + 1) * stride;
        const int16_t *want = hA.data() + size_t(r + 1) * stride;
        ASSERT_EQ(got[0], kCanary) << at << ": left border of row " << r;
        ASSERT_TRUE(std::equal(got + 1, got + 1 + pw, want + 1)) << at << ": row " << r;
        if (r + 1 < rEnd) ASSERT_EQ(got[pw + 1], kCanary) << at << ": right border of row " << r;
      }
    }
    ASSERT_EQ(ldB, ldA) << pw << "x" << ph;
    ASSERT_EQ(sgB, sgA) << pw << "x" << ph;
  }
}
