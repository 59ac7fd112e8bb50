// The exported motion_detect_parallel's scratch size and refusals, and the
// ready thread-pool executor, misuse included. (Its results, and every kernel
// set's parallel form, against the stage-by-stage order for any task count
// and executor: test_schedule.cpp.)
#include <atomic>
#include <thread>
#include <vector>

#include "motion_detect.h"
#include "test_util.h"
#include "tnr_md_threads.h"

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

// A call without tasks touches no buffer and gives the executor nothing (the
// geometries it refuses: Edges.MotionDetectRefusalsTouchNothing).
TEST(ParallelExported, CallsWithoutTasksTouchNothing) {
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
