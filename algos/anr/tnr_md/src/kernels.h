// The stage kernels, their forms and the kernel sets.
//
// Every stage with a vector form exists in several forms with one signature
// (a named function type below): NAME_c, the per-sample form (the reference,
// plain and obviously right); NAME_neon, the vector form written with NEON
// intrinsics (native on Arm, via SIMDe on x86-64); and on x86-64 NAME_x86,
// one source compiled once per x86-64 level into that level's namespace
// (x86_v2, x86_v3, x86_v4, x86_v4vbmi). A kernel set (Kernels) names one
// form of every stage. The library runs the set of the form and level it is
// built for; the tests, the benchmark and the fuzzer link every set and
// compare them.
#ifndef TNR_MD_KERNELS_H
#define TNR_MD_KERNELS_H

#include <cstddef>
#include <cstdint>

#include "motion_detect.h"

namespace tnr_md {

// The two NV12 frames: height rows of width luma bytes, then height / 2 rows
// of width bytes of interleaved U, V. cur is filtered in place; pre is read.
struct Frames {
  uint8_t *cur;
  const uint8_t *pre;
  int height, width;  // imgHeight, imgWidth
};

// The processing grid: the top-left height x width pixels of the frames,
// and its 8x8 blocks (a partial last block counting whole).
struct Grid {
  int height, width;  // proHeight, proWidth
  int blockRows, blockCols;
};
// (Inline helpers of the library's headers have internal linkage: the x86
// forms compile them once per x86-64 level.)
namespace {
constexpr Grid makeGrid(int proHeight, int proWidth) {
  return {proHeight, proWidth, (proHeight + 7) / 8, (proWidth + 7) / 8};
}
}  // namespace

// The three planes the frame difference writes.
//  - ldiff: the block difference, sample (by, bx) at ldiff[(by + 1) x
//    lDiffStride + bx + 1] (a one-sample border);
//  - hdiff: the full-resolution difference x 32, pitch grid width + 2; row 0
//    is the row above the first processing row the call writes, and column 0
//    the left border column;
//  - sigma: the block sigma, sample (by, bx) at sigma[(by + 4) x sigmaStride
//    + bx + 4] (a four-sample border).
struct DiffPlanes {
  int16_t *ldiff, *hdiff, *sigma;
  int lDiffStride, sigmaStride;
};

// The maps of the grid, each at pitch stride (gainStride): the static ratio
// written, the recursive weight and the gains updated in place.
struct Maps {
  uint8_t *alpha, *preAlpha, *gain;
  int stride;
};

// The two sigma tables and their scales.
struct SigmaTables {
  uint16_t *low;   // pSigmaL
  uint32_t *high;  // pSigmaH
};
struct SigmaScales {
  float high, low;  // sigmaHScale, sigmaLScale
};

// What the per-pixel pass reads for rows [y0, y1) besides the frames and maps.
struct PassRows {
  const int16_t *hdiff;      // the smoothed difference at sample (y0, 0), pitch grid width + 2
  const uint8_t *rowBuf;     // the row buffer's row y0 (pitch blockCols + 2)
  const uint8_t *rowBufEnd;  // the end of the caller's row buffer: no load reaches past it
  const uint32_t *sigmaH;    // the high sigma table, pitch blockCols + 8
  uint8_t ratioRBit;         // static_ratio_r_bit
  int y0, y1;
  // Every sample of hdiff is at least 0 (diffPlaneNonNegative of the call's
  // chroma weight); a pass may use it, and must give the same bytes.
  bool nonNegative = false;
};

// The first processing row of block row by: 8 x by, or for a partial last
// block row proHeight - 8 (a full block row moved back to end at the grid's
// edge, overlapping the one above it).
namespace {
inline int blockRowStart(int by, int proHeight) {
  return 8 * by + 8 <= proHeight ? 8 * by : proHeight - 8;
}
}  // namespace

// The stages, in pipeline order.
//
// Frame difference of block rows [by0, by1) (block row by covers processing
// rows blockRowStart(by) .. + 7); out.hdiff's row 0 lies above
// blockRowStart(by0). The whole stage is by0 = 0, by1 = grid.blockRows.
using FrameDiffFn = void(const Frames &f, const Grid &g, const DiffPlanes &out, float uvRatio,
                         int by0, int by1);
// 3x3 binomial filter: reads rows -1 .. rows and columns -1 .. cols of in,
// writes rows x cols of out, both at pitch stride.
using Gauss3x3Fn = void(const int16_t *in, int16_t *out, int rows, int cols, int stride);
// Block sigma smoothing and the two tables: reads rows -4 .. rows + 3 and
// columns -4 .. cols + 3 of in; scratch holds the horizontal pass.
using SigmaLutFn = void(const int16_t *in, int16_t *scratch, const SigmaTables &out,
                        const SigmaScales &scale, int rows, int cols, int stride);
// Block alpha of block rows [0, rows) into a at pitch cols.
using BlockAlphaFn = void(const int16_t *ldiff, int lDiffStride, const uint16_t *sigmaL,
                          int sigmaStride, uint8_t *a, int rows, int cols);
// The row buffer of processing rows [y0, y1): row y at rowBuf + (y - y0) x
// (blockCols + 2), block column i at i + 1, the two border columns repeating
// the outer ones; reads block alpha rows up to min((y1 + 3) >> 3, blockRows - 1).
using RowBufferFn = void(const uint8_t *a, uint8_t *rowBuf, int y0, int y1, int blockRows,
                         int blockCols);
// The per-pixel pass over rows [r.y0, r.y1).
using PixelPassFn = void(const Frames &f, const Maps &m, const Grid &g, const PassRows &r);

// The spatial stage after motion_detect (spatial.h): the filtered frame in,
// the output frame out (same geometry, disjoint), the recursive weights the
// call left, and the 32 thresholds of the call (spatialThresholds).
struct SpatialFrame {
  const uint8_t *pIn;
  uint8_t *pOut;
  const uint8_t *pPreAlpha;
  int imgHeight, imgWidth, proHeight, proWidth, gainStride;
  const uint8_t *lut;
};
// Luma rows [y0, y1) and chroma rows [c0, c1) of the grid into the output
// frame (rows past the grid are skipped); nothing outside the grid is
// written. The whole grid: 0, proHeight, 0, proHeight / 2.
using SpatialFn = void(const SpatialFrame &f, int y0, int y1, int c0, int c1);

// One form of every stage.
struct Kernels {
  FrameDiffFn *frameDiff;
  Gauss3x3Fn *gauss3x3;
  // Optional: gauss3x3 of a plane every input of which is a multiple of 16,
  // as the full-resolution difference is (the frame difference writes 32 x
  // h): the bytes of gauss3x3, without its test of the inputs.
  Gauss3x3Fn *gauss3x3Diff;
  SigmaLutFn *sigmaLut;
  BlockAlphaFn *blockAlpha;
  RowBufferFn *rowBuffer;
  PixelPassFn *pixelPass;
  // Optional: the 3x3 smoothing of the full-resolution difference and the
  // per-pixel pass in one; r.hdiff is the unsmoothed plane (rows y0 - 1 .. y1
  // and their border samples filled) as the frame difference writes it, every
  // sample a multiple of 32 (the forms may smooth with halving adds, exact
  // there), and the pass smooths only the samples of the blocks that need
  // them. Needs a grid at least 16 pixels wide; the bytes are those of
  // gauss3x3 then pixelPass.
  PixelPassFn *pixelPassSmooth;
  SpatialFn *spatial;
};

// Per-sample forms.
FrameDiffFn frameDiff_c;
Gauss3x3Fn gauss3x3_c;
SigmaLutFn sigmaLut_c;
BlockAlphaFn blockAlpha_c;
RowBufferFn rowBuffer_c;
PixelPassFn pixelPass_c;
SpatialFn spatial_c;
extern const Kernels kKernelsC;

#if TNR_MD_HAVE_NEON
FrameDiffFn frameDiff_neon;
Gauss3x3Fn gauss3x3_neon;
Gauss3x3Fn gauss3x3Diff_neon;
SigmaLutFn sigmaLut_neon;
BlockAlphaFn blockAlpha_neon;
RowBufferFn rowBuffer_neon;
PixelPassFn pixelPass_neon;
PixelPassFn pixelPassSmooth_neon;
SpatialFn spatial_neon;
extern const Kernels kKernelsNeon;
#endif

#if TNR_MD_HAVE_X86
// The x86-64 set of each level (pixel_pass_x86.cpp and the other *_x86.cpp
// files, compiled once per level). A build of the library links only the
// level it is configured for (TNR_MD_X86_SET names it).
namespace x86_v2 {  // x86-64-v2: SSE4.1
extern const Kernels kKernelsX86;
}
namespace x86_v3 {  // x86-64-v3: AVX2
extern const Kernels kKernelsX86;
}
namespace x86_v4 {  // x86-64-v4: AVX-512 F/BW/DQ/VL/CD
extern const Kernels kKernelsX86;
}
namespace x86_v4vbmi {  // x86-64-v4 and AVX-512 VBMI
extern const Kernels kKernelsX86;
}
#endif

// The set motion_detect and the exported stages use: the fastest this build has.
#if TNR_MD_HAVE_X86
#define TNR_MD_DEFAULT_KERNELS ::tnr_md::TNR_MD_X86_SET::kKernelsX86
#elif TNR_MD_HAVE_NEON
#define TNR_MD_DEFAULT_KERNELS ::tnr_md::kKernelsNeon
#else
#define TNR_MD_DEFAULT_KERNELS ::tnr_md::kKernelsC
#endif

// upScale over the whole grid from one set's three stages: the block alpha
// held in a compact plane of pitch blockCols at the start of m.alpha (which
// the per-pixel pass overwrites where it belongs to the grid), the row buffer
// in rowBuf, then the per-pixel pass over every row. ldiff and hdiff are the
// smoothed planes, at their sample (0, 0).
void upScaleWhole(const Kernels &k, const Frames &f, const Maps &m, const Grid &grid,
                  const int16_t *ldiff, const int16_t *hdiff, uint8_t *rowBuf,
                  const SigmaTables &sigma, uint8_t ratioRBit);

// The stages over the whole grid in the shape of the exported functions.
void frameDiffWith(const Kernels &k, uint8_t *pCurIn, uint8_t *pPreIn, int16_t *pLdiff,
                   int16_t *pHdiff, int16_t *pSigma, int imgHeight, int imgWidth, int proHeight,
                   int proWidth, int lDiffStride, int sigmaStride, float uv_ratio);
void upScaleWith(const Kernels &k, uint8_t *pCurIn, uint8_t *pPreIn, int16_t *pLdiff,
                 int16_t *pHdiff, uint8_t *pTmp, uint8_t *pAlpha, uint8_t *pPreAlpha,
                 uint8_t *gain_table_u8, int imgHeight, int imgWidth, int proHeight, int proWidth,
                 int gainStride, uint8_t static_ratio_r_bit, uint16_t *pSigmaL, uint32_t *pSigmaH);

// Stages with a per-sample form only, in the shape of the exported functions.
void extendImgBorder_c(int16_t *pData_ext, int Width_ext, int Height_ext, int ext_x, int ext_y);
void calDiff_c(uint8_t *pCurIn, uint8_t *pPreIn, int16_t *pLdiff, int16_t *pHdiff, int16_t *pSigma,
               int16_t *pHdiffTmp, int16_t *pDsHdiff, int imgHeight, int imgWidth, int proHeight,
               int proWidth, int lDiffStride, int sigmaStride, float uv_ratio, float light_clip);
Gauss3x3Fn gauss9x9_c;
// The plain 2x2-block difference (calDiffAndDownScale): ldiff, hdiff and
// sigma of the whole frame, ldiff at pitch lDiffStride.
using CalDiffDsFn = void(const Frames &f, int16_t *ldiff, int16_t *hdiff, int16_t *sigma,
                         int lDiffStride);
CalDiffDsFn calDiffAndDownScale_c;
#if TNR_MD_HAVE_NEON
CalDiffDsFn calDiffAndDownScale_neon;
#endif

// How motion_detect orders its stages. Every order gives the same bytes.
//  - StageByStage: each stage over the whole grid before the next.
//  - WholeFirst: the difference and the block-level stages whole, then the
//    full-resolution smoothing, the row buffer and the per-pixel pass in
//    bands of rows that stay in cache. For the Arm targets, whose cache holds
//    neither a ring of difference rows nor the frames, and where steps would
//    repeat part of the block sigma smoothing.
//  - Streamed: as WholeFirst, but the difference runs a few block rows ahead
//    of the bands in a ring of rows that stays in a desktop core's cache, and
//    the block-level stages follow it in steps. For x86-64.
// The banded orders fall back to StageByStage where the scratch buffer has
// no room for their work area.
enum class Schedule { StageByStage, WholeFirst, Streamed };
#if TNR_MD_HAVE_NEON && !TNR_MD_HAVE_X86
constexpr Schedule kBuildSchedule = Schedule::WholeFirst;
#else
constexpr Schedule kBuildSchedule = Schedule::Streamed;
#endif

// motion_detect with a given kernel set and order (the exported one passes
// the build's).
void motionDetectWith(const Kernels &k, uint8_t *pCurIn, uint8_t *pPreIn, int16_t *pTmpBuf,
                      uint8_t *pAlpha, uint8_t *pPreAlpha, uint8_t *gain_table_u8, int imgHeight,
                      int imgWidth, int proHeight, int proWidth, int gainStride, float sigmaHScale,
                      float sigmaLScale, float uv_ratio, float light_clip, int static_ratio_r_bit,
                      Schedule schedule = kBuildSchedule);

// motion_detect_parallel with a given kernel set, and its scratch size.
void motionDetectParallelWith(const Kernels &k, const TnrMdExecutor *executor, int tasks,
                              uint8_t *pCurIn, uint8_t *pPreIn, int16_t *pTmpBuf, uint8_t *pAlpha,
                              uint8_t *pPreAlpha, uint8_t *gain_table_u8, int imgHeight,
                              int imgWidth, int proHeight, int proWidth, int gainStride,
                              float sigmaHScale, float sigmaLScale, float uv_ratio,
                              int static_ratio_r_bit);
size_t parallelTmpBufSize(int proHeight, int proWidth, int tasks);

}  // namespace tnr_md

#endif  // TNR_MD_KERNELS_H
