// The thread pool behind tnrMdThreadPoolExecutor: workers wait for a job (a
// task function, its argument, a count), take task indices from a shared
// counter until none is left, and the caller, working alongside, returns once
// every worker that joined the job has left it.
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <new>
#include <thread>
#include <vector>

#include "tnr_md_threads.h"

struct TnrMdThreadPool {
  std::mutex runTurn;  // one run at a time
  std::mutex m;
  std::condition_variable wake, left;
  std::vector<std::thread> workers;
  bool stop = false;
  uint64_t generation = 0;  // jobs posted so far
  TnrMdTask task = nullptr;
  void *arg = nullptr;
  int count = 0;
  std::atomic<int> next{0};
  int active = 0;  // workers inside the current job
};

namespace {

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
  std::unique_lock<std::mutex> lock(pool->m);
  for (;;) {
    pool->wake.wait(lock, [&] { return pool->stop || pool->generation != seen; });
    if (pool->stop) return;
    seen = pool->generation;
    const TnrMdTask task = pool->task;
    void *const arg = pool->arg;
    const int count = pool->count;
    ++pool->active;
    lock.unlock();
    take(*pool, task, arg, count);
    lock.lock();
    if (--pool->active == 0) pool->left.notify_all();
  }
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
    // A worker that woke late for the previous job may still be inside it.
    std::unique_lock<std::mutex> lock(pool.m);
    pool.left.wait(lock, [&] { return pool.active == 0; });
    pool.task = task;
    pool.arg = arg;
    pool.count = count;
    pool.next.store(0);
    ++pool.generation;
  }
  pool.wake.notify_all();
  take(pool, task, arg, count);
  // Every index has been taken; the tasks still running belong to workers
  // inside the job.
  std::unique_lock<std::mutex> lock(pool.m);
  pool.left.wait(lock, [&] { return pool.active == 0; });
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

TnrMdExecutor tnrMdThreadPoolExecutor(TnrMdThreadPool *pool) {
  TnrMdExecutor e;
  e.context = pool;
  e.run = pool ? poolRun : nullptr;
  return e;
}

}  // extern "C"
