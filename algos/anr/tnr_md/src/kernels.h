// The stage kernels and their twins.
//
// Every stage with a vector form exists twice with the same signature:
// NAME_c, the per-sample form (the reference, plain and obviously right), and
// NAME_neon, the vector form written with NEON intrinsics (native on Arm, via
// SIMDe on x86-64). The build chooses one for the exported entry points; the
// tests link both and compare them.
#ifndef TNR_MD_KERNELS_H
#define TNR_MD_KERNELS_H

#include <cstddef>
#include <cstdint>

#include "motion_detect.h"

namespace tnr_md {

#define TNR_MD_CALDIFF8X8_ARGS                                                                    \
  uint8_t *pCurIn, uint8_t *pPreIn, int16_t *pLdiff, int16_t *pHdiff, int16_t *pSigma,            \
      int imgHeight, int imgWidth, int proHeight, int proWidth, int lDiffStride, int sigmaStride, \
      float uv_ratio
// The first processing row of block row by: 8 x by, or for a partial last
// block row proHeight - 8 (a full block row moved back to end at the grid's
// edge, overlapping the one above it).
inline int blockRowStart(int by, int proHeight) {
  return 8 * by + 8 <= proHeight ? 8 * by : proHeight - 8;
}

// The frame difference of block rows [by0, by1) only (block row by covers
// processing rows 8 x by .. 8 x by + 7, the moved-back last one its own
// rows). Its pHdiff rows are relative: pHdiff points at the row above the
// first row the call writes (the first block row's offset row), its border
// column included, as pHdiff of the whole stage points at the plane's top
// border row; the whole stage is by0 = 0, by1 = (proHeight + 7) / 8.
#define TNR_MD_CALDIFFROWS_ARGS TNR_MD_CALDIFF8X8_ARGS, int by0, int by1
#define TNR_MD_CALDIFF_DS_ARGS                                                         \
  uint8_t *pCurIn, uint8_t *pPreIn, int16_t *pLdiff, int16_t *pHdiff, int16_t *pSigma, \
      int imgHeight, int imgWidth, int lDiffStride
#define TNR_MD_GAUSS3X3_ARGS int16_t *pIn, int16_t *pOut, int imgHgt, int imgWid, int stride
#define TNR_MD_SIGMALUT_ARGS                                                               \
  int16_t *pIn, int16_t *pTmpBuf, uint16_t *pSigmaL, uint32_t *pSigmaH, float sigmaHScale, \
      float sigmaLScale, int imgHgt, int imgWid, int stride
#define TNR_MD_UPSCALE_ARGS                                                                       \
  uint8_t *pCurIn, uint8_t *pPreIn, int16_t *pLdiff, int16_t *pHdiff, uint8_t *pTmp,              \
      uint8_t *pAlpha, uint8_t *pPreAlpha, uint8_t *gain_table_u8, int imgHeight, int imgWidth,   \
      int proHeight, int proWidth, int GainStride, uint8_t static_ratio_r_bit, uint16_t *pSigmaL, \
      uint32_t *pSigmaH

// upScale in three pieces, so that a driver can run the per-pixel pass over
// bands of rows; upScale runs them over the whole grid in this order.
//  - block alpha of block rows [0, rows) into pA at pitch dsWid;
//  - the row buffer T of processing rows [y0, y1): row y at pT + (y - y0) x
//    (dsWid + 2), its two border columns included; reads A rows up to
//    min((y1 + 3) >> 3, dsHgt - 1);
//  - the per-pixel pass of rows [y0, y1), pHdiff pointing at the difference
//    plane's sample (y0, 0) (rows follow at pitch proWidth + 2), pT at T's
//    row y0 and pTEnd at the end of the caller's T buffer (no load reaches
//    past it).
#define TNR_MD_BLOCKALPHA_ARGS                                                                    \
  const int16_t *pLdiff, const uint16_t *pSigmaL, uint8_t *pA, int rows, int dsWid, int dsStride, \
      int sigmaStride
#define TNR_MD_ROWBUFFER_ARGS const uint8_t *pA, uint8_t *pT, int y0, int y1, int dsHgt, int dsWid
#define TNR_MD_PIXELROWS_ARGS                                                                \
  uint8_t *pCurIn, const uint8_t *pPreIn, const int16_t *pHdiff, const uint8_t *pT,          \
      const uint8_t *pTEnd, uint8_t *pAlpha, uint8_t *pPreAlpha, uint8_t *gain_table_u8,     \
      int imgHeight, int imgWidth, int proWidth, int GainStride, uint8_t static_ratio_r_bit, \
      const uint32_t *pSigmaH, int y0, int y1

void calDiffAndDownScale8x8_c(TNR_MD_CALDIFF8X8_ARGS);
void calDiffAndDownScale8x8Rows_c(TNR_MD_CALDIFFROWS_ARGS);
void calDiffAndDownScale_c(TNR_MD_CALDIFF_DS_ARGS);
void gauss3x3Filter_c(TNR_MD_GAUSS3X3_ARGS);
void sigmaFilterLut_c(TNR_MD_SIGMALUT_ARGS);
void upScaleBlockAlpha_c(TNR_MD_BLOCKALPHA_ARGS);
void upScaleRowBuffer_c(TNR_MD_ROWBUFFER_ARGS);
void upScalePixelRows_c(TNR_MD_PIXELROWS_ARGS);

#if TNR_MD_HAVE_NEON
void calDiffAndDownScale8x8_neon(TNR_MD_CALDIFF8X8_ARGS);
void calDiffAndDownScale8x8Rows_neon(TNR_MD_CALDIFFROWS_ARGS);
void calDiffAndDownScale_neon(TNR_MD_CALDIFF_DS_ARGS);
void gauss3x3Filter_neon(TNR_MD_GAUSS3X3_ARGS);
void sigmaFilterLut_neon(TNR_MD_SIGMALUT_ARGS);
void upScaleBlockAlpha_neon(TNR_MD_BLOCKALPHA_ARGS);
void upScaleRowBuffer_neon(TNR_MD_ROWBUFFER_ARGS);
void upScalePixelRows_neon(TNR_MD_PIXELROWS_ARGS);
void upScaleSmoothPixelRows_neon(TNR_MD_PIXELROWS_ARGS);  // as upScaleSmoothPixelRows_x86
#endif

#if TNR_MD_HAVE_X86
// x86-64 forms (SSE4.1, and AVX2 or AVX-512 where the build's level has it)
// of every stage with a vector form: the NEON source through SIMDe is slow on
// x86.
void calDiffAndDownScale8x8_x86(TNR_MD_CALDIFF8X8_ARGS);
void calDiffAndDownScale8x8Rows_x86(TNR_MD_CALDIFFROWS_ARGS);
void gauss3x3Filter_x86(TNR_MD_GAUSS3X3_ARGS);
void sigmaFilterLut_x86(TNR_MD_SIGMALUT_ARGS);
void upScaleBlockAlpha_x86(TNR_MD_BLOCKALPHA_ARGS);
void upScaleRowBuffer_x86(TNR_MD_ROWBUFFER_ARGS);
void upScalePixelRows_x86(TNR_MD_PIXELROWS_ARGS);
// The 3x3 smoothing of the full-resolution difference and the per-pixel pass
// in one: pHdiff is the unsmoothed plane (at sample (y0, 0); rows y0 - 1 ..
// y1 and their border samples filled), and the pass smooths only the samples
// of the blocks that need them (still blocks need none). Needs proWidth >= 16; the bytes are
// those of gauss3x3Filter then upScalePixelRows.
void upScaleSmoothPixelRows_x86(TNR_MD_PIXELROWS_ARGS);
#endif

// upScale over the whole grid from one form's three pieces: the block alpha
// held in a compact plane of pitch dsWid at the start of pAlpha (which the
// per-pixel pass overwrites where it belongs to the grid), the row buffer T
// in pTmp, then the per-pixel pass over every row.
template <void (*BlockAlpha)(TNR_MD_BLOCKALPHA_ARGS), void (*RowBuffer)(TNR_MD_ROWBUFFER_ARGS),
          void (*PixelRows)(TNR_MD_PIXELROWS_ARGS)>
void upScaleWhole(uint8_t *pCurIn, uint8_t *pPreIn, int16_t *pLdiff, int16_t *pHdiff, uint8_t *pTmp,
                  uint8_t *pAlpha, uint8_t *pPreAlpha, uint8_t *gain_table_u8, int imgHeight,
                  int imgWidth, int proHeight, int proWidth, int GainStride,
                  uint8_t static_ratio_r_bit, uint16_t *pSigmaL, uint32_t *pSigmaH) {
  const int dsHgt = (proHeight + 7) / 8;
  const int dsWid = (proWidth + 7) / 8;
  BlockAlpha(pLdiff, pSigmaL, pAlpha, dsHgt, dsWid, dsWid + 2, dsWid + 8);
  RowBuffer(pAlpha, pTmp, 0, proHeight, dsHgt, dsWid);
  PixelRows(pCurIn, pPreIn, pHdiff, pTmp, pTmp + static_cast<ptrdiff_t>(proHeight) * (dsWid + 2),
            pAlpha, pPreAlpha, gain_table_u8, imgHeight, imgWidth, proWidth, GainStride,
            static_ratio_r_bit, pSigmaH, 0, proHeight);
}

inline constexpr void (*upScale_c)(TNR_MD_UPSCALE_ARGS) =
    upScaleWhole<upScaleBlockAlpha_c, upScaleRowBuffer_c, upScalePixelRows_c>;
#if TNR_MD_HAVE_NEON
inline constexpr void (*upScale_neon)(TNR_MD_UPSCALE_ARGS) =
    upScaleWhole<upScaleBlockAlpha_neon, upScaleRowBuffer_neon, upScalePixelRows_neon>;
#endif
#if TNR_MD_HAVE_X86
inline constexpr void (*upScale_x86)(TNR_MD_UPSCALE_ARGS) =
    upScaleWhole<upScaleBlockAlpha_x86, upScaleRowBuffer_x86, upScalePixelRows_x86>;
#endif

// Scalar-only stages (no vector form).
void extendImgBorder_c(int16_t *pData_ext, int Width_ext, int Height_ext, int ext_x, int ext_y);
void calDiff_c(uint8_t *pCurIn, uint8_t *pPreIn, int16_t *pLdiff, int16_t *pHdiff, int16_t *pSigma,
               int16_t *pHdiffTmp, int16_t *pDsHdiff, int imgHeight, int imgWidth, int proHeight,
               int proWidth, int lDiffStride, int sigmaStride, float uv_ratio, float light_clip);
void gauss9x9Filter_c(TNR_MD_GAUSS3X3_ARGS);

// Per-sample steps shared by the twins (their narrow-grid paths reuse them).
int32_t uvRatioFix(float uv_ratio);  // chroma weight in 1/128, halves away from 0
float sigmaTableScale(float scale);  // scale x 8/7 in double, rounded to float
uint8_t blockAlpha(int16_t ldiff, uint16_t sigmaL);
uint8_t pixelAlpha(int16_t hdiff, int32_t sH, float inv);
uint8_t recursiveWeight(uint8_t staticAlpha, uint8_t preAlpha);
uint8_t staticRatioR(uint8_t static_ratio_r_bit);

// The two block rows that processing row y interpolates between (block row j
// sits at row 8j + 4; rows above the first centre and below the last repeat
// it) and the weight of the lower one, 0 .. 7; the upper one weighs 8 - wgt0.
// Both weights come from the unclamped block row.
struct BlockRowPair {
  int index0, index1, wgt0;
};
inline BlockRowPair blockRowPair(int y, int dsHgt) {
  const int index = (y + 4) >> 3;
  return {index - 1 > 0 ? index - 1 : 0, index < dsHgt - 1 ? index : dsHgt - 1,
          (y + 4) - 8 * index};
}

// The kernels one motion_detect call runs: the per-sample set, the NEON set
// and, on x86-64, the x86 set.
struct Kernels {
  void (*calDiffAndDownScale8x8)(TNR_MD_CALDIFF8X8_ARGS);
  void (*calDiffAndDownScale8x8Rows)(TNR_MD_CALDIFFROWS_ARGS);
  void (*gauss3x3Filter)(TNR_MD_GAUSS3X3_ARGS);
  void (*sigmaFilterLut)(TNR_MD_SIGMALUT_ARGS);
  void (*upScale)(TNR_MD_UPSCALE_ARGS);
  void (*upScaleBlockAlpha)(TNR_MD_BLOCKALPHA_ARGS);
  void (*upScaleRowBuffer)(TNR_MD_ROWBUFFER_ARGS);
  void (*upScalePixelRows)(TNR_MD_PIXELROWS_ARGS);
  // Optional: the full-resolution smoothing and the per-pixel pass in one
  // (see upScaleSmoothPixelRows_x86); the banded driver uses it for grids at
  // least 16 pixels wide.
  void (*upScaleSmoothPixelRows)(TNR_MD_PIXELROWS_ARGS);
  // How the banded driver feeds the bands: true, the difference runs a few
  // block rows ahead in a ring of rows that stays in a desktop core's cache;
  // false, the difference and the block-level stages run whole first (the
  // Arm target's cache holds neither, and steps repeat part of the block
  // sigma smoothing). The same bytes either way.
  bool streamed;
};

extern const Kernels kKernelsC;
#if TNR_MD_HAVE_NEON
extern const Kernels kKernelsNeon;
#endif
#if TNR_MD_HAVE_X86
extern const Kernels kKernelsX86;
#endif

// The set motion_detect and the exported stages use: the fastest this build has.
#if TNR_MD_HAVE_X86
#define TNR_MD_DEFAULT_KERNELS ::tnr_md::kKernelsX86
#elif TNR_MD_HAVE_NEON
#define TNR_MD_DEFAULT_KERNELS ::tnr_md::kKernelsNeon
#else
#define TNR_MD_DEFAULT_KERNELS ::tnr_md::kKernelsC
#endif

// The set the exported functions use: vector where the build has it.
#if TNR_MD_HAVE_NEON
#define TNR_MD_PICK(name) name##_neon
#else
#define TNR_MD_PICK(name) name##_c
#endif

// How motion_detect orders its stages: each stage over the whole grid before
// the next, or the full-resolution tail in bands of rows that stay in cache
// (the default wherever the scratch buffer has room for its work data). Both
// give the same bytes.
enum class Schedule { StageByStage, Banded };

// motion_detect with a given kernel set (the exported one passes the build's).
void motionDetectWith(const Kernels &k, uint8_t *pCurIn, uint8_t *pPreIn, int16_t *pTmpBuf,
                      uint8_t *pAlpha, uint8_t *pPreAlpha, uint8_t *gain_table_u8, int imgHeight,
                      int imgWidth, int proHeight, int proWidth, int gainStride, float sigmaHScale,
                      float sigmaLScale, float uv_ratio, float light_clip, int static_ratio_r_bit,
                      Schedule schedule = Schedule::Banded);

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
