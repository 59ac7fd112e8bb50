// Camera motion: the estimator's and the history shift's hot loops, their
// forms and sets (as kernels.h does for motion_detect's stages).
#ifndef TNR_MD_CAMERA_MOTION_H
#define TNR_MD_CAMERA_MOTION_H

#include <cstddef>
#include <cstdint>

#include "motion_detect.h"

namespace tnr_md {

// The history shift's filter has six taps, weighing samples -2 .. +3.
constexpr int kShiftTapCount = 6;

// One row of the history shift's horizontal pass: for i in [0, n)
//   h[i] = (sum_k taps[k] src[i + step (k - 2)] + 32) >> 6   (arithmetic)
// reading src[-2 step] .. src[n - 1 + 3 step]. step is 1 (luma), 2 (the
// interleaved chroma, each component with its own) or 0 (phase 0: only
// src[i], taps 0, 0, 64, 0, 0, 0). Every h lies within -72 .. 327 for the
// taps of kShiftTaps and kFitTaps.
using ShiftHFn = void(const uint8_t *src, int16_t *h, int n, int step, const int8_t *taps);
// One row of the vertical pass: out[i] = clamp((sum_k taps[k] r[k][i] + 32)
// >> 6, 0, 255) over six rows of h (the same row six times at phase 0; a row
// whose tap is 0 is read but weighs nothing). Every partial sum fits int16_t
// (at most 82 x 327 + 18 x 72 = 28110, at least -11790).
using ShiftVFn = void(const int16_t *const *r, uint8_t *out, int n, const int8_t *taps);
// Both passes over a block of rows x n outputs at once (the filtered rows
// stay in registers or on the stack): for y in [0, rows), i in [0, n)
//   h(r, i) = (sum_k tx[k] src[r pitch + i + step (k - 2)] + 32) >> 6
//   out[y outPitch + i] = clamp((sum_j ty[j] h(y + j - 2, i) + 32) >> 6, 0, 255)
// reading rows -2 .. rows + 2 of src, bytes -2 step .. n - 1 + 3 step of
// each: the bytes of shiftH then shiftV.
using ShiftHVFn = void(const uint8_t *src, ptrdiff_t pitch, int step, uint8_t *out,
                       ptrdiff_t outPitch, int n, int rows, const int8_t *tx, const int8_t *ty);
// One pass of the filter straight to bytes, for an axis whose other axis
// sits on whole samples: for i in [0, n)
//   out[i] = clamp((sum_k taps[k] src[i + step (k - 2)] + 32) >> 6, 0, 255)
// reading src[-2 step] .. src[n - 1 + 3 step]; step 1 or 2 along a row, the
// pitch down a column. Equals shiftH followed by shiftV at phase 0 (or the
// other way round) exactly: (64 h + 32) >> 6 = h.
using Shift1Fn = void(const uint8_t *src, ptrdiff_t step, uint8_t *out, int n, const int8_t *taps);
// The sums of one gradient step over samples [0, n) of a row (n at most
// 4098): c the current row with cu, cd above and below, p, pu, pd the
// previous picture's at the same places; with
//   gx = c[x+1] - c[x-1] + p[x+1] - p[x-1], gy = cd[x] - cu[x] + pd[x] - pu[x],
//   dt = c[x] - p[x]:
// sums = {sum (gx gx >> 4), sum (gx gy >> 4), sum (gy gy >> 4), sum gx dt,
// sum gy dt} (arithmetic shifts of each product; every sum fits int32_t).
// Reads c[-1 .. n] and p[-1 .. n], the other rows [0, n).
using GradientFn = void(const uint8_t *c, const uint8_t *cu, const uint8_t *cd, const uint8_t *p,
                        const uint8_t *pu, const uint8_t *pd, int n, int32_t sums[5]);
// Sum of |a[r aStride + i] - b[r bStride + i]| over i in [0, n), r in
// [0, rows); n x rows at most 2^24 (the sum fits uint32_t).
using SadFn = uint32_t(const uint8_t *a, ptrdiff_t aStride, const uint8_t *b, ptrdiff_t bStride,
                       int n, int rows);
// One row of a 4-fold reduction: dst[i] = (sum of the 4x4 bytes at
// src[r x stride + 4 i + c], r, c in 0 .. 3, + 8) >> 4, for i in [0, n).
using Reduce4Fn = void(const uint8_t *src, ptrdiff_t stride, uint8_t *dst, int n);

struct MotionKernels {
  ShiftHFn *shiftH;
  ShiftVFn *shiftV;
  ShiftHVFn *shiftHV;
  Shift1Fn *shift1;
  GradientFn *gradient;
  SadFn *sad;
  Reduce4Fn *reduce4;
};

ShiftHFn shiftH_c;
ShiftVFn shiftV_c;
ShiftHVFn shiftHV_c;
Shift1Fn shift1_c;
GradientFn gradient_c;
SadFn sad_c;
Reduce4Fn reduce4_c;
extern const MotionKernels kMotionKernelsC;
#if TNR_MD_HAVE_NEON
ShiftHFn shiftH_neon;
ShiftVFn shiftV_neon;
ShiftHVFn shiftHV_neon;
Shift1Fn shift1_neon;
GradientFn gradient_neon;
SadFn sad_neon;
Reduce4Fn reduce4_neon;
extern const MotionKernels kMotionKernelsNeon;
#endif
#if TNR_MD_HAVE_X86
namespace x86_v2 {
extern const MotionKernels kMotionKernelsX86;
}
namespace x86_v3 {
extern const MotionKernels kMotionKernelsX86;
}
namespace x86_v4 {
extern const MotionKernels kMotionKernelsX86;
}
namespace x86_v4vbmi {
extern const MotionKernels kMotionKernelsX86;
}
#endif

#if TNR_MD_HAVE_X86
#define TNR_MD_DEFAULT_MOTION_KERNELS ::tnr_md::TNR_MD_X86_SET::kMotionKernelsX86
#elif TNR_MD_HAVE_NEON
#define TNR_MD_DEFAULT_MOTION_KERNELS ::tnr_md::kMotionKernelsNeon
#else
#define TNR_MD_DEFAULT_MOTION_KERNELS ::tnr_md::kMotionKernelsC
#endif

// The exported functions with a given set. fitStep > 0 sets the full-size
// steps' row step (otherwise chosen by the tile's size).
void motionEstimateWith(const MotionKernels &k, const uint8_t *pPre, ptrdiff_t preStride,
                        const uint8_t *pCur, ptrdiff_t curStride, int height, int width,
                        uint8_t *pTmpBuf, TnrMdMotion *motion, int fitStep = 0);
void historyShiftWith(const MotionKernels &k, const uint8_t *pPre, const uint8_t *pCur,
                      uint8_t *pOut, const uint8_t *pPreAlpha, uint8_t *pAlphaOut,
                      const uint8_t *pGain, uint8_t *pGainOut, int16_t *pTmpBuf, int imgHeight,
                      int imgWidth, int proHeight, int proWidth, int gainStride, int dx, int dy,
                      int gainFill);

// The shift's taps, per 1/16 phase (historyShiftTaps), and the estimator's
// (the four-tap cubic in the same layout).
extern const int8_t kShiftTaps[16][kShiftTapCount];
extern const int8_t kFitTaps[16][kShiftTapCount];

}  // namespace tnr_md

#endif  // TNR_MD_CAMERA_MOTION_H
