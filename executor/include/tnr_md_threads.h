/*
 * A ready executor for motion_detect_parallel: a pool of threads started once
 * and reused for every frame. The thread that calls run works too, so a pool
 * of N threads starts N - 1 workers.
 *
 *   TnrMdThreadPool *pool = tnrMdThreadPoolCreate(0);        // one thread per core
 *   TnrMdExecutor ex = tnrMdThreadPoolExecutor(pool);
 *   motion_detect_parallel(&ex, tnrMdThreadPoolTasks(pool), ...);
 *   tnrMdThreadPoolDestroy(pool);
 *
 * This header compiles as C99 and as C++.
 */
#ifndef TNR_MD_THREADS_H
#define TNR_MD_THREADS_H

#include "motion_detect.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct TnrMdThreadPool TnrMdThreadPool;

/* A pool of `threads` threads (the caller's included); threads < 1 means the
 * machine's cores. Null when the pool cannot be made (no memory, no thread
 * could start); a pool that started fewer workers than asked runs with those. */
TnrMdThreadPool *tnrMdThreadPoolCreate(int threads);

/* Stops and joins the workers; a null pool is ignored. Not while a run of this
 * pool is in progress. */
void tnrMdThreadPoolDestroy(TnrMdThreadPool *pool);

/* Threads that run tasks (workers plus the caller); 1 for a null pool. */
int tnrMdThreadPoolThreads(const TnrMdThreadPool *pool);

/* The task count that keeps the pool's threads busy: 4 per thread for a pool
 * of several (threads take the next task as they come free, so a frame whose
 * costly rows sit in one part still spreads evenly), 1 for a pool of one. */
int tnrMdThreadPoolTasks(const TnrMdThreadPool *pool);

/* The executor that runs tasks on the pool. For a null pool, an executor with
 * a null run: the library then runs the tasks on the calling thread.
 * run returns at once for a count below 1 or a null task; runs from several
 * threads at once take turns; a run from inside one of the pool's tasks runs
 * its tasks on the calling thread. */
TnrMdExecutor tnrMdThreadPoolExecutor(TnrMdThreadPool *pool);

#ifdef __cplusplus
}
#endif

#endif /* TNR_MD_THREADS_H */
