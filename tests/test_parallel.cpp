// The exported motion_detect_parallel against motion_detect, its scratch
// size and refusals, and the ready thread-pool executor, misuse included.
// (Every kernel set's parallel form against its stage-by-stage order, for any
// task count and executor: test_schedule.cpp.)
#include <algorithm>
#include <atomic>
#include <thread>
#include <vector>

#include "motion_detect.h"
#include "test_util.h"
#include "tnr_md_threads.h"

using tnr_md_test::Guard;
using tnr_md_test::GuardedBuffer;

namespace {

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

}  // namespace

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
    EXPECT_EQ(tnrMdThreadPoolTasks(pool),
              tnrMdThreadPoolThreads(pool) > 1 ? 4 * tnrMdThreadPoolThreads(pool) : 1);
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
