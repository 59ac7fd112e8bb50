// The thread pool behind tnrMdThreadPoolExecutor: workers wait for a job (a
// task function, its argument, a count), take task indices from a shared
// counter until none is left, and the caller, working alongside, returns once
// every worker that joined the job has left it.
//
// One frame of motion_detect_parallel is three jobs in quick succession, so a
// worker that has finished a job, and a caller waiting for the workers, first
// spin for a short while (kSpin) before they sleep on a condition variable:
// waking a sleeping thread costs tens of microseconds, a good part of a
// 1080p frame's time. Between frames, the spin runs out and the workers sleep.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <new>
#include <thread>
#include <vector>

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

#include "tnr_md_threads.h"

struct TnrMdThreadPool {
  std::mutex runTurn;  // one run at a time
  std::mutex m;
  std::condition_variable wake, left;
  std::vector<std::thread> workers;
  bool stop = false;                    // under m
  std::atomic<uint64_t> generation{0};  // jobs posted so far; written under m
  TnrMdTask task = nullptr;             // the job, under m
  void *arg = nullptr;
  int count = 0;
  std::atomic<int> next{0};
  std::atomic<int> active{0};  // workers inside the current job; written under m
};

namespace {

// How long a thread spins for the next job, or for the workers to leave one,
// before it sleeps.
constexpr std::chrono::microseconds kSpin{500};

void pause() {
#if defined(__x86_64__) || defined(__i386__)
  _mm_pause();
#elif defined(__aarch64__) || (defined(__ARM_ARCH) && __ARM_ARCH >= 7)
  __asm__ __volatile__("yield");
#endif
}

// Spins until done() or kSpin has passed; true if done() came true.
template <typename Done>
bool spinFor(Done done) {
  const auto until = std::chrono::steady_clock::now() + kSpin;
  for (int i = 0;; ++i) {
    if (done()) return true;
    if ((i & 63) == 63) {
      if (std::chrono::steady_clock::now() > until) return false;
      std::this_thread::yield();
    } else {
      pause();
    }
  }
}

// The pool whose task this thread is running, if any.
thread_local const TnrMdThreadPool *tServing = nullptr;

void take(TnrMdThreadPool &pool, TnrMdTask task, void *arg, int count) {
  const TnrMdThreadPool *outer = tServing;
  tServing = &pool;
  for (int i = pool.next.fetch_add(1); i < count; i = pool.next.fetch_add(1)) task(arg, i);
  tServing = outer;
}

void workerLoop(TnrMdThreadPool *pool) {
  uint64_t seen = 0;
  for (;;) {
    spinFor([&] { return pool->generation.load(std::memory_order_acquire) != seen; });
    std::unique_lock<std::mutex> lock(pool->m);
    pool->wake.wait(lock, [&] { return pool->stop || pool->generation.load() != seen; });
    if (pool->stop) return;
    seen = pool->generation.load();
    const TnrMdTask task = pool->task;
    void *const arg = pool->arg;
    const int count = pool->count;
    pool->active.fetch_add(1);
    lock.unlock();
    take(*pool, task, arg, count);
    lock.lock();
    if (pool->active.fetch_sub(1) == 1) pool->left.notify_all();
  }
}

// Returns, holding m, once no worker is inside a job.
std::unique_lock<std::mutex> awaitLeft(TnrMdThreadPool &pool) {
  spinFor([&] { return pool.active.load(std::memory_order_acquire) == 0; });
  std::unique_lock<std::mutex> lock(pool.m);
  pool.left.wait(lock, [&] { return pool.active.load() == 0; });
  return lock;
}

void poolRun(void *context, TnrMdTask task, void *arg, int count) {
  if (!context || !task || count < 1) return;
  auto &pool = *static_cast<TnrMdThreadPool *>(context);
  if (tServing == &pool || pool.workers.empty() || count == 1) {
    for (int i = 0; i < count; ++i) task(arg, i);
    return;
  }
  std::lock_guard<std::mutex> turn(pool.runTurn);
  {
    // A worker that joined the previous job late may still be inside it.
    std::unique_lock<std::mutex> lock = awaitLeft(pool);
    pool.task = task;
    pool.arg = arg;
    pool.count = count;
    pool.next.store(0);
    pool.generation.fetch_add(1, std::memory_order_release);
  }
  pool.wake.notify_all();
  take(pool, task, arg, count);
  // Every index has been taken; the tasks still running belong to workers
  // inside the job.
  awaitLeft(pool);
}

}  // namespace

extern "C" {

TnrMdThreadPool *tnrMdThreadPoolCreate(int threads) {
  if (threads < 1) {
    const unsigned cores = std::thread::hardware_concurrency();
    threads = cores ? static_cast<int>(cores) : 1;
  }
  auto *pool = new (std::nothrow) TnrMdThreadPool;
  if (!pool) return nullptr;
  try {
    pool->workers.reserve(static_cast<size_t>(threads - 1));
    for (int i = 1; i < threads; ++i) pool->workers.emplace_back(workerLoop, pool);
  } catch (...) {
    // Fewer workers than asked: the pool runs with those that started.
  }
  return pool;
}

void tnrMdThreadPoolDestroy(TnrMdThreadPool *pool) {
  if (!pool) return;
  {
    std::lock_guard<std::mutex> lock(pool->m);
    pool->stop = true;
  }
  pool->wake.notify_all();
  for (std::thread &w : pool->workers) w.join();
  delete pool;
}

int tnrMdThreadPoolThreads(const TnrMdThreadPool *pool) {
  return pool ? static_cast<int>(pool->workers.size()) + 1 : 1;
}

int tnrMdThreadPoolTasks(const TnrMdThreadPool *pool) {
  const int threads = tnrMdThreadPoolThreads(pool);
  return threads > 1 ? 4 * threads : 1;
}

TnrMdExecutor tnrMdThreadPoolExecutor(TnrMdThreadPool *pool) {
  TnrMdExecutor e;
  e.context = pool;
  e.run = pool ? poolRun : nullptr;
  return e;
}

}  // extern "C"
