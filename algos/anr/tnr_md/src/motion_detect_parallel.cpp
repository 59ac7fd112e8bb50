// motion_detect over the caller's executor: the same stages as the banded
// driver, in three steps whose tasks write disjoint rows, each step started
// only when the executor has returned from the one before.
//
//   1. the frame difference by block rows (reads both frames whole; every
//      plane's border columns and border rows with the rows they belong to);
//   2. the block-level stages by chunks of block rows: the 3x3 smoothing of
//      the block plane, the sigma tables (their 9-tap smoothing reads four
//      block rows beyond the chunk) and the block alpha;
//   3. the per-pixel bands of 16 rows: row buffer, full-resolution smoothing
//      (or the pass smoothing its moving blocks itself, as the banded driver
//      chooses) and the pass, which filters the current frame in place.
//
// Scratch: the stage-by-stage planes (the full-resolution difference whole,
// no ring), then the block alpha plane, then one work area per task (its
// band's row buffer and the sigma stage's scratch for its chunk).
#include <cstring>

#include "arith.h"
#include "kernels.h"
#include "layout.h"
#include "motion_detect.h"
#include "pipeline.h"

namespace tnr_md {

namespace {

// Rows [0, n) split into `parts` near-equal ranges: range t is
// [n * t / parts, n * (t + 1) / parts).
inline int splitAt(int n, int parts, int t) {
  return static_cast<int>(int64_t{n} * t / parts);
}

struct ParallelLayout {
  Layout g;
  int blockRows;          // block rows of the grid
  int diffUnits;          // block rows, the moved-back last one joined to the one above it
  int diffTasks, lowTasks, bandTasks;
  int bands;              // bands of kBandRows rows
  int64_t alphaAt;        // block alpha plane, lDiffHgt x lDiffWid bytes (int16_t offset)
  int64_t workAt;         // the first task's work area
  int64_t workElems;      // one task's work area
  int64_t rowBufElems;    // its row buffer, kBandRows x lDiffStride bytes, rounded up
  int64_t end;            // elements used
  bool accepted;
};

ParallelLayout makeParallelLayout(int proHeight, int proWidth, int tasks) {
  ParallelLayout p{};
  p.g = makeLayout(proHeight, proWidth);
  if (!p.g.accepted || tasks < 1) return p;
  const Layout &g = p.g;
  p.blockRows = g.blockRows;
  // A partial last block row is moved back over the rows of the one above
  // it: both go to the same task, so that no two tasks write a row.
  p.diffUnits = proHeight % 8 != 0 && p.blockRows >= 2 ? p.blockRows - 1 : p.blockRows;
  p.bands = (proHeight + kBandRows - 1) / kBandRows;
  p.diffTasks = tasks < p.diffUnits ? tasks : p.diffUnits;
  p.lowTasks = tasks < p.blockRows ? tasks : p.blockRows;
  p.bandTasks = tasks < p.bands ? tasks : p.bands;
  const int maxChunk = (p.blockRows + p.lowTasks - 1) / p.lowTasks;
  p.alphaAt = (g.sigmaHEnd + 1) & ~int64_t{1};  // 4-byte aligned, as the tables before it
  p.workAt = p.alphaAt + (int64_t{g.blockRows} * g.blockCols + 3) / 2;
  p.workAt = (p.workAt + 1) & ~int64_t{1};
  p.rowBufElems = ((int64_t{kBandRows} * g.lDiffStride + 3) / 4) * 2;
  const int64_t sigmaTmpElems = int64_t{maxChunk + 7} * g.sigmaStride + g.blockCols + 4;
  p.workElems = p.rowBufElems + ((sigmaTmpElems + 1) & ~int64_t{1});
  p.end = p.workAt + int64_t{tasks} * p.workElems;
  if (p.end < g.bufElems) p.end = g.bufElems;
  // The buffer must be addressable in 32 bits, as motion_detect's is.
  p.accepted = 2 * p.end < (int64_t{1} << 32);
  return p;
}

// What every task of a frame reads: the kernels, the geometry, the caller's
// buffers and the planes in the scratch buffer.
struct Job {
  const Kernels *k;
  const ParallelLayout *p;
  Frames f;
  Maps m;
  Grid grid;
  int16_t *tmp;
  Planes planes;
  SigmaScales scale;
  float uvRatio;
  uint8_t rBit;

  int16_t *hdiff() const { return tmp; }
  int16_t *ldiff() const { return tmp + p->g.ldiff; }
  int16_t *sigma() const { return tmp + p->g.sigma; }
  int16_t *filterLdiff() const { return tmp + p->g.filterLdiff; }
  int16_t *filterHdiff() const { return tmp + p->g.filterHdiff; }
  uint16_t *sigmaL() const { return reinterpret_cast<uint16_t *>(tmp + p->g.sigmaL); }
  uint32_t *sigmaH() const { return reinterpret_cast<uint32_t *>(tmp + p->g.sigmaH); }
  uint8_t *blockAlpha() const { return reinterpret_cast<uint8_t *>(tmp + p->alphaAt); }
  int16_t *work(int t) const { return tmp + p->workAt + t * p->workElems; }
};

// Step 1, task t: the difference of its block rows and their borders.
void differenceTask(void *arg, int t) {
  const Job &j = *static_cast<const Job *>(arg);
  const ParallelLayout &p = *j.p;
  const Layout &g = p.g;
  const int by0 = splitAt(p.diffUnits, p.diffTasks, t);
  int by1 = splitAt(p.diffUnits, p.diffTasks, t + 1);
  if (by1 == p.diffUnits) by1 = p.blockRows;
  if (by0 >= by1) return;
  const ptrdiff_t hs = g.hDiffStride;
  const int height = j.grid.height;
  // The difference rows of a block-row range start at the row above the
  // first row written.
  j.k->frameDiff(j.f, j.grid,
                 {j.ldiff(), j.hdiff() + blockRowStart(by0, height) * hs, j.sigma(), g.lDiffStride,
                  g.sigmaStride},
                 j.uvRatio, by0, by1);
  const int r1 = by1 == p.blockRows ? height : 8 * by1;
  extendBorderRows(j.hdiff(), static_cast<int>(hs), height, 1, 8 * by0, r1);
  extendBorderRows(j.ldiff(), g.lDiffStride, p.blockRows, 1, by0, by1);
  extendBorderRows(j.sigma(), g.sigmaStride, p.blockRows, 4, by0, by1);
}

// Step 2, task t: the block-level stages of its chunk of block rows.
void lowResolutionTask(void *arg, int t) {
  const Job &j = *static_cast<const Job *>(arg);
  const ParallelLayout &p = *j.p;
  const int by0 = splitAt(p.blockRows, p.lowTasks, t);
  const int by1 = splitAt(p.blockRows, p.lowTasks, t + 1);
  if (by1 <= by0) return;
  blockStep(*j.k, p.g, j.planes, j.scale, j.work(t) + p.rowBufElems, j.blockAlpha(), by0,
            by1 - by0);
}

// Step 3, task t: the per-pixel bands of its rows.
void bandTask(void *arg, int t) {
  const Job &j = *static_cast<const Job *>(arg);
  const ParallelLayout &p = *j.p;
  const Layout &g = p.g;
  const ptrdiff_t hs = g.hDiffStride;
  const int b0 = splitAt(p.bands, p.bandTasks, t);
  const int b1 = splitAt(p.bands, p.bandTasks, t + 1);
  uint8_t *rowBuf = reinterpret_cast<uint8_t *>(j.work(t));
  // The task's bands all smooth into the rows of its first one.
  int16_t *filtered = j.filterHdiff() + b0 * kBandRows * hs;
  for (int b = b0; b < b1; ++b) {
    const int y0 = b * kBandRows;
    const int y1 = y0 + kBandRows < j.grid.height ? y0 + kBandRows : j.grid.height;
    const int16_t *band = j.hdiff() + (y0 + 1) * hs;  // row y0, border column
    bandStep(*j.k, j.f, j.m, j.grid, g,
             {j.blockAlpha(), rowBuf, band, filtered, j.sigmaH(), j.rBit,
              diffPlaneNonNegative(uvRatioFix(j.uvRatio))},
             y0, y1);
  }
  // motion_detect leaves the block alpha in the bytes of pAlpha past the
  // grid in their row; no band writes those bytes.
  if (t == 0) keepBlockAlphaPastGrid(j.m, j.grid, j.blockAlpha());
}

void runTasks(const TnrMdExecutor *executor, TnrMdTask task, void *arg, int count) {
  if (executor && executor->run) {
    executor->run(executor->context, task, arg, count);
    return;
  }
  for (int i = 0; i < count; ++i) task(arg, i);
}

}  // namespace

size_t parallelTmpBufSize(int proHeight, int proWidth, int tasks) {
  const ParallelLayout p = makeParallelLayout(proHeight, proWidth, tasks);
  return p.accepted ? static_cast<size_t>(p.end) : 0;
}

void motionDetectParallelWith(const Kernels &k, const TnrMdExecutor *executor, int tasks,
                              uint8_t *pCurIn, uint8_t *pPreIn, int16_t *pTmpBuf, uint8_t *pAlpha,
                              uint8_t *pPreAlpha, uint8_t *gain_table_u8, int imgHeight,
                              int imgWidth, int proHeight, int proWidth, int gainStride,
                              float sigmaHScale, float sigmaLScale, float uv_ratio,
                              int static_ratio_r_bit) {
  const ParallelLayout p = makeParallelLayout(proHeight, proWidth, tasks);
  if (!p.accepted || !callAccepted(imgHeight, imgWidth, proHeight, proWidth, gainStride, pTmpBuf))
    return;
  Job j{&k,
        &p,
        {pCurIn, pPreIn, imgHeight, imgWidth},
        {pAlpha, pPreAlpha, gain_table_u8, gainStride},
        makeGrid(proHeight, proWidth),
        pTmpBuf,
        planesOf(pTmpBuf, p.g),
        {sigmaHScale, sigmaLScale},
        uv_ratio,
        static_cast<uint8_t>(static_ratio_r_bit)};
  runTasks(executor, differenceTask, &j, p.diffTasks);
  runTasks(executor, lowResolutionTask, &j, p.lowTasks);
  runTasks(executor, bandTask, &j, p.bandTasks);
}

}  // namespace tnr_md

extern "C" {

size_t motionDetectParallelTmpBufSize(int proHeight, int proWidth, int tasks) {
  return tnr_md::parallelTmpBufSize(proHeight, proWidth, tasks);
}

void motion_detect_parallel(const TnrMdExecutor *executor, int tasks, uint8_t *pCurIn,
                            uint8_t *pPreIn, int16_t *pTmpBuf, uint8_t *pAlpha, uint8_t *pPreAlpha,
                            uint8_t *gain_table_u8, int imgHeight, int imgWidth, int proHeight,
                            int proWidth, int gainStride, float sigmaHScale, float sigmaLScale,
                            float uv_ratio, float /*light_clip*/, int static_ratio_r_bit) {
  tnr_md::motionDetectParallelWith(TNR_MD_DEFAULT_KERNELS, executor, tasks, pCurIn, pPreIn,
                                   pTmpBuf, pAlpha, pPreAlpha, gain_table_u8, imgHeight, imgWidth,
                                   proHeight, proWidth, gainStride, sigmaHScale, sigmaLScale,
                                   uv_ratio, static_ratio_r_bit);
}

}  // extern "C"
