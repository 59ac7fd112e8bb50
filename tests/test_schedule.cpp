// The banded schedules (streamed and whole-first) and motion_detect_parallel
// against the stage-by-stage order, and the vector sets against the
// per-sample set: the same bytes in every buffer and the same noise level.
#include <algorithm>
#include <numeric>
#include <random>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "equiv.h"
#include "forms.h"
#include "layout.h"
#include "motion_detect.h"
#include "test_util.h"
#include "tnr_md_threads.h"

using namespace tnr_md_test;

namespace {

// The caller buffers of one call, each exactly as large as the call may
// touch and against a guard page.
struct Buffers {
  int iw, g;  // the pitches of the frames and the maps
  GuardedBuffer<uint8_t> cur, prev, alpha, preAlpha, gain;
  GuardedBuffer<int16_t> tmp;
  Buffers(int iw_, int ih, int pw, int ph, int g_, size_t tmpElems, Guard side)
      : iw(iw_),
        g(g_),
        cur(size_t(iw) * ih * 3 / 2, side),
        prev(cur.size(), side),
        alpha(size_t(g) * (ph - 1) + pw, side),
        preAlpha(alpha.size(), side),
        gain(alpha.size(), side),
        tmp(tmpElems, side) {}
  void copyFrom(const Buffers &o) {
    for (auto [from, to] : {std::pair{&o.cur, &cur},
                            {&o.prev, &prev},
                            {&o.alpha, &alpha},
                            {&o.preAlpha, &preAlpha},
                            {&o.gain, &gain}})
      std::copy(from->data(), from->data() + from->size(), to->data());
    tmp.fill(int16_t(0x5A5A));
  }
};

// Two calls left the same bytes in every caller buffer but the scratch.
void expectSame(const Buffers &want, const Buffers &got) {
  ASSERT_TRUE(sameBuffers(want.cur.data(), got.cur.data(), want.cur.size(), want.iw))
      << "filtered frame";
  ASSERT_TRUE(sameBuffers(want.prev.data(), got.prev.data(), want.prev.size())) << "previous frame";
  for (auto [w, v, name] : {std::tuple{&want.alpha, &got.alpha, "pAlpha"},
                            {&want.preAlpha, &got.preAlpha, "pPreAlpha"},
                            {&want.gain, &got.gain, "gain"}})
    ASSERT_TRUE(sameBuffers(w->data(), v->data(), w->size(), want.g)) << name;
}

// Runs the tasks one by one on this thread, in a random order.
void runShuffled(void *rng, TnrMdTask task, void *arg, int count) {
  std::vector<int> order(size_t(count > 0 ? count : 0));
  std::iota(order.begin(), order.end(), 0);
  std::shuffle(order.begin(), order.end(), *static_cast<std::mt19937 *>(rng));
  for (int i : order) task(arg, i);
}
// Starts every task on its own thread at once, then joins them.
void runAllThreads(void *, TnrMdTask task, void *arg, int count) {
  std::vector<std::thread> threads;
  for (int i = 0; i < count; ++i) threads.emplace_back(task, arg, i);
  for (std::thread &t : threads) t.join();
}

}  // namespace

class Schedule : public ::testing::TestWithParam<Form> {};
TNR_MD_FORMS_SUITE(Schedule);

// The banded orders and motion_detect_parallel (the exported entry for the
// build's own set), for any task count and whatever order or threads its
// executor runs the tasks in (none, a random order on this thread, a thread
// per task, the pool, an executor without run), leave the bytes of the
// stage-by-stage order in every caller buffer, and a vector set's
// stage-by-stage order those of the per-sample set.
// Heights around band multiples leave short last bands; taller grids take
// several steps of the low-resolution stages behind the difference and wrap
// the ring of difference rows (197 and 293 put the moved-back last block row
// across a wrap, 208 and 304 end the last band at one); narrow and low grids
// exercise the fall-back to the stage order, grids with fewer block rows than
// tasks and tall narrow ones the split into tasks. Frames: noise, still
// scenes, and the generators' pairs (extremes, opposite frames, a moved
// square); tuning values: ordinary ones and the generators' (sigma tables at
// their floor and past int16, chroma weights past the int16 differences,
// infinities and NaN).
TEST_P(Schedule, EveryOrderAndTaskSplitMatchesStageByStage) {
  auto rng = seededRng(77);
  std::mt19937 shuffle(rng());
  TnrMdThreadPool *pool = tnrMdThreadPoolCreate(3);
  ASSERT_NE(pool, nullptr);
  const int ringCases[] = {113, 197, 208, 293, 304};
  const std::pair<int, int> fixed[] = {{8, 8},    {14, 8},   {16, 9},   {40, 17},  {9, 120},
                                       {17, 301}, {24, 250}, {130, 15}, {200, 64}, {64, 129}};
  int banded = 0, fallback = 0;
  for (int iter = 0; iter < 80; ++iter) {
    const int pw = iter < 8    ? 14 + iter * 9
                   : iter < 18 ? fixed[iter - 8].first
                   : iter < 30 ? 8 + int(rng() % 24)
                               : 8 + int(rng() % 260);
    const int ph = iter < 8    ? 8 + iter * 15
                   : iter < 18 ? fixed[iter - 8].second
                   : iter < 30 ? 100 + int(rng() % 300)
                   : iter < 35 ? ringCases[iter - 30]
                   : iter < 50 ? 100 + int(rng() % 240)
                               : 8 + int(rng() % 90);
    const size_t tmpElems = motionDetectTmpBufSize(ph, pw);
    if (tmpElems == 0) continue;
    const int iw = (pw + 1 + int(rng() % 8)) & ~1, ih = (ph + 1 + int(rng() % 4)) & ~1;
    const int g = pw + int(rng() % 5);
    (tnr_md::bandWork(tnr_md::makeLayout(ph, pw)).at >= 0 ? banded : fallback)++;
    const Guard side = iter % 2 ? Guard::Left : Guard::Right;
    Buffers in(iw, ih, pw, ph, g, 0, side), want(iw, ih, pw, ph, g, tmpElems, side);
    fillWith(in.cur.data(), in.cur.size(), Fill::Random, rng, 0, 255);
    fillWith(in.prev.data(), in.prev.size(), Fill::Random, rng, 0, 255);
    // Every other grid is a still scene (the previous frame is the current
    // one within 2 levels), whose bands the pass smooths itself.
    if (iter % 2 == 0)
      for (size_t i = 0; i < in.prev.size(); ++i)
        in.prev[i] = uint8_t(std::clamp(int(in.cur[i]) + int(in.prev[i] % 5) - 2, 0, 255));
    if (iter % 4 == 3) fillFrames(in.cur.data(), in.prev.data(), iw, ih, iter / 4 % 5, rng);
    // A moving square, so that every alpha range occurs.
    for (int y = ph / 4; y < ph / 2; ++y)
      for (int x = pw / 3; x < pw / 3 + 12 && x < iw; ++x) in.cur[size_t(y) * iw + x] = 250;
    for (auto *m : {&in.preAlpha, &in.gain, &in.alpha})
      fillWith(m->data(), m->size(), Fill::Random, rng, 0, 255);
    // Ordinary tuning values, or (one grid in four) the generators'.
    const bool odd = iter % 4 == 1;
    const float uv = odd ? pickUvRatio(rng) : float(rng() % 300) / 100;
    const float sh = odd ? pickSigmaScale(rng) : 0.2f + float(rng() % 300) / 100;
    const float sl = odd ? pickSigmaScale(rng) : 0.05f + float(rng() % 100) / 100;
    const int rbit = int(rng() % 10);
    SCOPED_TRACE(::testing::Message()
                 << pw << "x" << ph << " frame " << iw << "x" << ih << " pitch " << g
                 << " uv_ratio " << uv << " sigma scales " << sh << ", " << sl);
    const auto detect = [&](const tnr_md::Kernels &k, Buffers &b, tnr_md::Schedule order) {
      tnr_md::motionDetectWith(k, b.cur.data(), b.prev.data(), b.tmp.data(), b.alpha.data(),
                               b.preAlpha.data(), b.gain.data(), ih, iw, ph, pw, g, sh, sl, uv, 0,
                               rbit, order);
    };
    want.copyFrom(in);
    detect(*GetParam().k, want, tnr_md::Schedule::StageByStage);
    const int level = motionDetectNoiseLevel(want.tmp.data(), ph, pw, uv);
    if (GetParam().k != &tnr_md::kKernelsC) {
      Buffers ref(iw, ih, pw, ph, g, tmpElems, side);
      ref.copyFrom(in);
      detect(tnr_md::kKernelsC, ref, tnr_md::Schedule::StageByStage);
      SCOPED_TRACE("against the per-sample set");
      ASSERT_NO_FATAL_FAILURE(expectSame(ref, want));
    }
    // The ring cases stream; the others take either banded order, then the
    // parallel entry with three task counts.
    for (int run = 0; run < 4; ++run) {
      const int tasks = run == 0 ? 0 : 1 + (iter * 5 + run * 7) % 16;
      std::string at;
      Buffers got(iw, ih, pw, ph, g,
                  tasks ? motionDetectParallelTmpBufSize(ph, pw, tasks) : tmpElems, side);
      got.copyFrom(in);
      if (tasks == 0) {
        const auto order = (iter >= 30 && iter < 35) || iter % 2 ? tnr_md::Schedule::Streamed
                                                                 : tnr_md::Schedule::WholeFirst;
        at = order == tnr_md::Schedule::Streamed ? "streamed" : "whole first";
        detect(*GetParam().k, got, order);
      } else {
        static const char *kExec[] = {"no executor", "random order", "a thread per task",
                                      "the pool", "an executor without run"};
        const int e = (iter + tasks) % 5;
        const TnrMdExecutor ex = e == 1   ? TnrMdExecutor{&shuffle, runShuffled}
                                 : e == 2 ? TnrMdExecutor{nullptr, runAllThreads}
                                 : e == 3 ? tnrMdThreadPoolExecutor(pool)
                                          : TnrMdExecutor{&shuffle, nullptr};
        at = std::to_string(tasks) + " tasks, " + kExec[e];
        ASSERT_GE(got.tmp.size(), tmpElems) << at;
        if (GetParam().k == &TNR_MD_DEFAULT_KERNELS)  // the exported entry
          motion_detect_parallel(e ? &ex : nullptr, tasks, got.cur.data(), got.prev.data(),
                                 got.tmp.data(), got.alpha.data(), got.preAlpha.data(),
                                 got.gain.data(), ih, iw, ph, pw, g, sh, sl, uv, 0, rbit);
        else
          tnr_md::motionDetectParallelWith(*GetParam().k, e ? &ex : nullptr, tasks, got.cur.data(),
                                           got.prev.data(), got.tmp.data(), got.alpha.data(),
                                           got.preAlpha.data(), got.gain.data(), ih, iw, ph, pw, g,
                                           sh, sl, uv, rbit);
      }
      SCOPED_TRACE(at);
      ASSERT_NO_FATAL_FAILURE(expectSame(want, got));
      // The noise level reads the block sigma plane, which the banded orders
      // and the tasks keep whole in the scratch buffer.
      EXPECT_EQ(motionDetectNoiseLevel(got.tmp.data(), ph, pw, uv), level);
    }
  }
  tnrMdThreadPoolDestroy(pool);
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
  auto rng = seededRng(78);
  constexpr int16_t kCanary = 0x5A5A;
  for (int iter = 0; iter < 40; ++iter) {
    const int pw = 8 + int(rng() % 150), ph = 8 + int(rng() % 100);
    const int iw = (pw + 1 + int(rng() % 6)) & ~1, ih = (ph + 1 + int(rng() % 4)) & ~1;
    const auto g = tnr_md::makeLayout(ph, pw);
    if (!g.accepted) continue;
    std::vector<uint8_t> cur(size_t(iw) * ih * 3 / 2), pre(cur.size());
    fillRandom(cur.data(), cur.size(), rng, 0, 255);
    fillRandom(pre.data(), pre.size(), rng, 0, 255);
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
