// motion_detect_parallel against motion_detect: the same bytes in every
// caller buffer for every task count, whatever order or threads the executor
// runs the tasks in; and the executors' misuse.
#include <algorithm>
#include <atomic>
#include <numeric>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "forms.h"
#include "kernels.h"
#include "motion_detect.h"
#include "test_util.h"
#include "tnr_md_threads.h"

using tnr_md_test::Guard;
using tnr_md_test::GuardedBuffer;

namespace {

// Executors under test. Each records how many tasks it was given in all.
enum class Exec { Inline, RandomOrder, AllThreads, Pool, NullRun };
const char *execName(Exec e) {
  static const char *kNames[] = {"inline (null executor)", "random order", "a thread per task",
                                 "thread pool", "executor with null run"};
  return kNames[int(e)];
}

struct ShuffleContext {
  std::mt19937 rng;
};
// Runs the tasks one by one on this thread, in a random order.
void runShuffled(void *context, TnrMdTask task, void *arg, int count) {
  auto &c = *static_cast<ShuffleContext *>(context);
  std::vector<int> order(size_t(count > 0 ? count : 0));
  std::iota(order.begin(), order.end(), 0);
  std::shuffle(order.begin(), order.end(), c.rng);
  for (int i : order) task(arg, i);
}
// Starts every task on its own thread at once, then joins them.
void runAllThreads(void *, TnrMdTask task, void *arg, int count) {
  std::vector<std::thread> threads;
  for (int i = 0; i < count; ++i) threads.emplace_back(task, arg, i);
  for (std::thread &t : threads) t.join();
}

struct Frame {
  GuardedBuffer<uint8_t> cur, prev, alpha, preAlpha, gain;
  Frame(size_t frameBytes, size_t mapBytes, Guard side)
      : cur(frameBytes, side),
        prev(frameBytes, side),
        alpha(mapBytes, side),
        preAlpha(mapBytes, side),
        gain(mapBytes, side) {}
  void copyFrom(const Frame &o) {
    auto copy = [](const GuardedBuffer<uint8_t> &from, GuardedBuffer<uint8_t> &to) {
      std::copy(from.data(), from.data() + from.size(), to.data());
    };
    copy(o.cur, cur);
    copy(o.prev, prev);
    copy(o.alpha, alpha);
    copy(o.preAlpha, preAlpha);
    copy(o.gain, gain);
  }
};

template <class T>
bool same(const GuardedBuffer<T> &a, const GuardedBuffer<T> &b) {
  return a.size() == b.size() && std::equal(a.data(), a.data() + a.size(), b.data());
}

struct Grid {
  int pw, ph;
};

// Random grids: small ones with fewer block rows than tasks, tall narrow
// ones, heights around bands and partial last block rows, wide ones.
std::vector<Grid> grids(std::mt19937 &rng) {
  std::vector<Grid> out = {{8, 8},   {14, 8},   {16, 9},   {40, 17},  {9, 120},
                           {17, 301}, {24, 250}, {130, 15}, {200, 64}, {64, 129}};
  for (int i = 0; i < 14; ++i) {
    switch (i % 3) {
      case 0:
        out.push_back({8 + int(rng() % 40), 8 + int(rng() % 40)});
        break;
      case 1:
        out.push_back({8 + int(rng() % 24), 100 + int(rng() % 300)});
        break;
      default:
        out.push_back({16 + int(rng() % 300), 8 + int(rng() % 160)});
    }
  }
  return out;
}

}  // namespace

class Parallel : public ::testing::TestWithParam<tnr_md_test::Form> {};
TNR_MD_FORMS_SUITE(Parallel);

TEST_P(Parallel, SameBytesAsMotionDetectForAnyTasksOrderAndThreads) {
  const uint32_t seed = tnr_md_test::testSeed();
  auto rng = tnr_md_test::seededRng(0x9a7);
  TnrMdThreadPool *pool = tnrMdThreadPoolCreate(3);
  ASSERT_NE(pool, nullptr);
  ShuffleContext shuffle{std::mt19937(rng())};
  int iter = 0;
  for (const Grid &gr : grids(rng)) {
    const int pw = gr.pw, ph = gr.ph;
    if (motionDetectTmpBufSize(ph, pw) == 0) continue;
    const int iw = (pw + 1 + int(rng() % 6)) & ~1, ih = (ph + 1 + int(rng() % 4)) & ~1;
    const int g = pw + int(rng() % 4);
    const size_t frameBytes = size_t(iw) * ih * 3 / 2, mapBytes = size_t(g) * ph;
    const Guard side = iter % 2 ? Guard::Left : Guard::Right;
    Frame in(frameBytes, mapBytes, side);
    tnr_md_test::fillRandom(in.cur.data(), frameBytes, rng, 0, 255);
    tnr_md_test::fillRandom(in.prev.data(), frameBytes, rng, 0, 255);
    // Alternately a mostly still scene (bands smoothed in the pass) and one
    // where everything moves; a bright square moves in both.
    if (iter % 2 == 0)
      for (size_t i = 0; i < frameBytes; ++i)
        in.prev[i] = uint8_t(std::clamp(int(in.cur[i]) + int(in.prev[i] % 5) - 2, 0, 255));
    for (int y = ph / 4; y < ph / 2; ++y)
      for (int x = pw / 3; x < pw / 3 + 12 && x < iw; ++x) in.cur[size_t(y) * iw + x] = 250;
    tnr_md_test::fillRandom(in.preAlpha.data(), mapBytes, rng, 0, 255);
    tnr_md_test::fillRandom(in.gain.data(), mapBytes, rng, 0, 255);
    tnr_md_test::fillRandom(in.alpha.data(), mapBytes, rng, 0, 255);
    const float uv = float(rng() % 300) / 100, sh = 0.2f + float(rng() % 300) / 100,
                sl = 0.05f + float(rng() % 100) / 100;
    const int rbit = int(rng() % 10);

    Frame want(frameBytes, mapBytes, side);
    want.copyFrom(in);
    GuardedBuffer<int16_t> wantTmp(motionDetectTmpBufSize(ph, pw), side);
    tnr_md::motionDetectWith(*GetParam().k, want.cur.data(), want.prev.data(), wantTmp.data(),
                             want.alpha.data(), want.preAlpha.data(), want.gain.data(), ih, iw,
                             ph, pw, g, sh, sl, uv, 0, rbit);

    for (int tasks = 1; tasks <= 16; ++tasks) {
      const Exec e = Exec((iter + tasks) % 5);
      TnrMdExecutor ex{nullptr, nullptr};
      const TnrMdExecutor *exp = &ex;
      switch (e) {
        case Exec::Inline:
          exp = nullptr;
          break;
        case Exec::RandomOrder:
          ex = {&shuffle, runShuffled};
          break;
        case Exec::AllThreads:
          ex = {nullptr, runAllThreads};
          break;
        case Exec::Pool:
          ex = tnrMdThreadPoolExecutor(pool);
          break;
        case Exec::NullRun:
          ex = {&shuffle, nullptr};
          break;
      }
      const size_t tmpElems = motionDetectParallelTmpBufSize(ph, pw, tasks);
      ASSERT_GE(tmpElems, motionDetectTmpBufSize(ph, pw));
      Frame got(frameBytes, mapBytes, side);
      got.copyFrom(in);
      GuardedBuffer<int16_t> tmp(tmpElems, side);
      tmp.fill(int16_t(0x5A5A));
      tnr_md::motionDetectParallelWith(*GetParam().k, exp, tasks, got.cur.data(), got.prev.data(),
                                       tmp.data(), got.alpha.data(), got.preAlpha.data(),
                                       got.gain.data(), ih, iw, ph, pw, g, sh, sl, uv, rbit);
      const std::string at = std::to_string(pw) + "x" + std::to_string(ph) + " frame " +
                             std::to_string(iw) + "x" + std::to_string(ih) + " pitch " +
                             std::to_string(g) + ", " + std::to_string(tasks) + " tasks, " +
                             execName(e) + " (TNR_MD_SEED=" + std::to_string(seed) + ")";
      ASSERT_TRUE(same(got.cur, want.cur)) << "filtered frame, " << at;
      ASSERT_TRUE(same(got.alpha, want.alpha)) << "pAlpha, " << at;
      ASSERT_TRUE(same(got.preAlpha, want.preAlpha)) << "pPreAlpha, " << at;
      ASSERT_TRUE(same(got.gain, want.gain)) << "gain, " << at;
      ASSERT_TRUE(same(got.prev, want.prev)) << "previous frame, " << at;
    }
    ++iter;
  }
  tnrMdThreadPoolDestroy(pool);
  EXPECT_GT(iter, 15);
}

// The exported entry with the build's kernels, on the ready pool, over a
// chain of frames: each call's outputs feed the next.
TEST(ParallelExported, ChainedFramesOnThePoolMatchMotionDetect) {
  auto rng = tnr_md_test::seededRng(0x9a8);
  const int pw = 250, ph = 90, iw = 252, ih = 92;
  const size_t frameBytes = size_t(iw) * ih * 3 / 2, mapBytes = size_t(pw) * ph;
  TnrMdThreadPool *pool = tnrMdThreadPoolCreate(0);
  ASSERT_NE(pool, nullptr);
  const TnrMdExecutor ex = tnrMdThreadPoolExecutor(pool);
  const int tasks = 5;
  Frame a(frameBytes, mapBytes, Guard::Right), b(frameBytes, mapBytes, Guard::Right);
  tnr_md_test::fillRandom(a.prev.data(), frameBytes, rng, 0, 255);
  a.preAlpha.fill(0);
  a.gain.fill(128);
  a.alpha.fill(0);
  b.copyFrom(a);
  GuardedBuffer<int16_t> ta(motionDetectTmpBufSize(ph, pw)),
      tb(motionDetectParallelTmpBufSize(ph, pw, tasks));
  for (int t = 0; t < 4; ++t) {
    for (size_t i = 0; i < frameBytes; ++i)
      a.cur[i] = b.cur[i] = uint8_t(std::clamp(int(a.prev[i]) + int(rng() % 9) - 4 +
                                                   (i % 97 < size_t(10 * t) ? 60 : 0),
                                               0, 255));
    motion_detect(a.cur.data(), a.prev.data(), ta.data(), a.alpha.data(), a.preAlpha.data(),
                  a.gain.data(), ih, iw, ph, pw, pw, 1.1f, 0.12f, 0.75f, 0.0f, 4);
    motion_detect_parallel(&ex, tasks, b.cur.data(), b.prev.data(), tb.data(), b.alpha.data(),
                           b.preAlpha.data(), b.gain.data(), ih, iw, ph, pw, pw, 1.1f, 0.12f,
                           0.75f, 0.0f, 4);
    ASSERT_TRUE(same(a.cur, b.cur)) << "frame " << t;
    ASSERT_TRUE(same(a.alpha, b.alpha)) << "frame " << t;
    ASSERT_TRUE(same(a.preAlpha, b.preAlpha)) << "frame " << t;
    ASSERT_TRUE(same(a.gain, b.gain)) << "frame " << t;
    std::copy(a.cur.begin(), a.cur.end(), a.prev.data());
    std::copy(b.cur.begin(), b.cur.end(), b.prev.data());
  }
  tnrMdThreadPoolDestroy(pool);
}

TEST(ParallelExported, ScratchSize) {
  for (int tasks = 1; tasks <= 64; tasks *= 2) {
    // Ordinary grids need no more than motion_detect does.
    EXPECT_EQ(motionDetectParallelTmpBufSize(1080, 1920, tasks), motionDetectTmpBufSize(1080, 1920));
    EXPECT_EQ(motionDetectParallelTmpBufSize(2160, 3840, tasks), motionDetectTmpBufSize(2160, 3840));
  }
  EXPECT_GE(motionDetectParallelTmpBufSize(8, 8, 16), motionDetectTmpBufSize(8, 8));
  EXPECT_GT(motionDetectParallelTmpBufSize(8, 16, 1000), motionDetectParallelTmpBufSize(8, 16, 1));
  EXPECT_EQ(motionDetectParallelTmpBufSize(1080, 1920, 0), 0u);
  EXPECT_EQ(motionDetectParallelTmpBufSize(1080, 1920, -3), 0u);
  EXPECT_EQ(motionDetectParallelTmpBufSize(7, 100, 2), 0u);  // not accepted by motion_detect
  EXPECT_EQ(motionDetectParallelTmpBufSize(100, 7, 2), 0u);
}

// Refused calls (no tasks, a refused grid) touch no buffer; an executor that
// is given tasks runs each index once.
TEST(ParallelExported, RefusedCallsTouchNothing) {
  const int pw = 32, ph = 16;
  std::vector<uint8_t> cur(size_t(pw) * ph * 3 / 2, 7), prev(cur.size(), 9), maps(size_t(pw) * ph, 3);
  std::vector<int16_t> tmp(motionDetectParallelTmpBufSize(ph, pw, 4) + 64, 0x1111);
  const auto cur0 = cur, maps0 = maps;
  const auto tmp0 = tmp;
  std::atomic<int> calls{0};
  TnrMdExecutor counting{&calls, [](void *c, TnrMdTask, void *, int) {
                           ++*static_cast<std::atomic<int> *>(c);
                         }};
  for (int tasks : {0, -1}) {
    motion_detect_parallel(&counting, tasks, cur.data(), prev.data(), tmp.data(), maps.data(),
                           maps.data(), maps.data(), ph, pw, ph, pw, pw, 1, 1, 1, 0, 4);
  }
  // Grid wider than the frame, odd frame, pitch below the grid, misaligned scratch.
  motion_detect_parallel(&counting, 2, cur.data(), prev.data(), tmp.data(), maps.data(),
                         maps.data(), maps.data(), ph, pw - 2, ph, pw, pw, 1, 1, 1, 0, 4);
  motion_detect_parallel(&counting, 2, cur.data(), prev.data(), tmp.data(), maps.data(),
                         maps.data(), maps.data(), ph - 1, pw, ph - 2, pw, pw, 1, 1, 1, 0, 4);
  motion_detect_parallel(&counting, 2, cur.data(), prev.data(), tmp.data(), maps.data(),
                         maps.data(), maps.data(), ph, pw, ph, pw, pw - 1, 1, 1, 1, 0, 4);
  motion_detect_parallel(&counting, 2, cur.data(), prev.data(),
                         reinterpret_cast<int16_t *>(reinterpret_cast<char *>(tmp.data()) + 2),
                         maps.data(), maps.data(), maps.data(), ph, pw, ph, pw, pw, 1, 1, 1, 0, 4);
  EXPECT_EQ(calls.load(), 0);
  EXPECT_EQ(cur, cur0);
  EXPECT_EQ(maps, maps0);
  EXPECT_EQ(tmp, tmp0);
}

TEST(ThreadPool, RunsEveryIndexOnceAndToleratesMisuse) {
  for (int threads : {0, 1, 2, 5}) {
    TnrMdThreadPool *pool = tnrMdThreadPoolCreate(threads);
    ASSERT_NE(pool, nullptr);
    EXPECT_GE(tnrMdThreadPoolThreads(pool), threads < 1 ? 1 : threads);
    const TnrMdExecutor ex = tnrMdThreadPoolExecutor(pool);
    ASSERT_NE(ex.run, nullptr);
    for (int count : {0, -4, 1, 2, 3, 17, 1000}) {
      std::vector<std::atomic<int>> hits(size_t(count > 0 ? count : 1));
      struct Arg {
        std::vector<std::atomic<int>> *hits;
      } arg{&hits};
      ex.run(ex.context, [](void *a, int i) { ++(*static_cast<Arg *>(a)->hits)[size_t(i)]; }, &arg,
             count);
      for (int i = 0; i < count; ++i) ASSERT_EQ(hits[size_t(i)].load(), 1) << i << " of " << count;
      if (count < 1) EXPECT_EQ(hits[0].load(), 0);
    }
    ex.run(ex.context, nullptr, nullptr, 5);  // no task: nothing to run
    // A run from inside a task runs on the calling thread instead of waiting
    // for the pool it is part of.
    std::atomic<int> inner{0};
    struct Nested {
      TnrMdExecutor ex;
      std::atomic<int> *inner;
    } nested{ex, &inner};
    ex.run(ex.context,
           [](void *a, int) {
             auto &n = *static_cast<Nested *>(a);
             n.ex.run(n.ex.context, [](void *c, int) { ++*static_cast<std::atomic<int> *>(c); },
                      n.inner, 3);
           },
           &nested, 4);
    EXPECT_EQ(inner.load(), 12);
    tnrMdThreadPoolDestroy(pool);
  }
  // Runs from several threads at once take turns.
  TnrMdThreadPool *pool = tnrMdThreadPoolCreate(2);
  const TnrMdExecutor ex = tnrMdThreadPoolExecutor(pool);
  std::atomic<int> total{0};
  std::vector<std::thread> callers;
  for (int c = 0; c < 3; ++c)
    callers.emplace_back([&] {
      for (int r = 0; r < 20; ++r)
        ex.run(ex.context, [](void *t, int) { ++*static_cast<std::atomic<int> *>(t); }, &total, 7);
    });
  for (std::thread &t : callers) t.join();
  EXPECT_EQ(total.load(), 3 * 20 * 7);
  tnrMdThreadPoolDestroy(pool);
  // No pool: an executor without run, which the library runs inline.
  const TnrMdExecutor none = tnrMdThreadPoolExecutor(nullptr);
  EXPECT_EQ(none.run, nullptr);
  EXPECT_EQ(tnrMdThreadPoolThreads(nullptr), 1);
  tnrMdThreadPoolDestroy(nullptr);
}
