/*
 * tnr_md: motion-adaptive temporal noise reduction.
 *
 * Per video frame the host calls motion_detect() once with the current and
 * previous NV12 frames. The call measures, per 8x8 block and per pixel, how
 * far the change between the frames exceeds the local noise, updates the
 * per-pixel recursive blend weight (pPreAlpha), blends the previous frame into
 * the current one in place (pCurIn leaves as the filtered frame), writes the
 * static-ratio map (pAlpha) and scales the gain table in place.
 *
 * Every function is stateless, allocates nothing and returns nothing; all
 * buffers belong to the caller. Calls on distinct buffers may run concurrently.
 *
 * Fractions (alpha, weight, ratio) are uint8_t with 7 fractional bits:
 * 128 stands for 1.0.
 *
 * This header compiles as C99 and as C++.
 */
#ifndef TNR_MD_MOTION_DETECT_H
#define TNR_MD_MOTION_DETECT_H

#include <stddef.h>
#include <stdint.h>

#if defined(_WIN32) && defined(TNR_MD_SHARED)
#if defined(TNR_MD_BUILDING)
#define TNR_MD_API __declspec(dllexport)
#else
#define TNR_MD_API __declspec(dllimport)
#endif
#elif defined(__GNUC__)
#define TNR_MD_API __attribute__((visibility("default")))
#else
#define TNR_MD_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

/*
 * The tuning ranges in which no work plane wraps; the tnr tool, the GStreamer
 * element and the Python module accept exactly these. A uv_ratio up to 1.5
 * keeps the difference planes within int16_t (at most 8160 + 1.5 x 16320 =
 * 32640); a sigmaLScale up to 1.5 keeps every low sigma table entry (the
 * smoothed block sigma, at most 18687, times sigmaLScale x 8/7), which the
 * block alpha reads as int16_t, below 32768. sigmaHScale's table has 32-bit
 * entries; 16 is a bound of sense, not of arithmetic. motion_detect itself
 * takes any value and keeps the low 16 bits where a plane would wrap.
 */
#define TNR_MD_SIGMA_H_SCALE_MAX 16.0f
#define TNR_MD_SIGMA_L_SCALE_MAX 1.5f
#define TNR_MD_UV_RATIO_MAX 1.5f
/* The spatial stage's strength in units of the noise sigma, as the front ends
 * take it: spatial_denoise's strength (1/16, at most 255) of 15.9 x 16 rounded. */
#define TNR_MD_SPATIAL_MAX 15.9f

/*
 * Scratch size for a processing grid of proWidth x proHeight samples, in
 * int16_t elements (6 per grid sample), or 0 when motion_detect does not
 * accept the grid: narrower or lower than 8, a scratch layout that would not
 * fit the buffer (some grids below about 14 columns), or a buffer too large to
 * address. motion_detect returns without touching any buffer exactly when
 * this returns 0 for its grid (or when the grid does not fit the frame, the
 * frame's sizes are odd, gainStride < proWidth, or pTmpBuf is not 4-byte
 * aligned).
 */
TNR_MD_API size_t motionDetectTmpBufSize(int proHeight, int proWidth);

/*
 * One frame of temporal noise reduction.
 *
 * pCurIn        in/out  current NV12 frame (imgHeight luma rows of imgWidth
 *                       bytes, then imgHeight/2 rows of interleaved U,V);
 *                       leaves the call as the filtered frame (luma of the
 *                       processing grid, chroma rows paired with odd luma rows).
 * pPreIn        in      previous frame, same geometry (normally the previous
 *                       call's filtered pCurIn).
 * pTmpBuf       scratch motionDetectTmpBufSize(proHeight, proWidth) int16_t,
 *                       4-byte aligned (malloc's alignment suffices).
 * pAlpha        out     static-ratio map, proHeight rows of proWidth bytes at
 *                       pitch gainStride. All proHeight x gainStride bytes may
 *                       be written: bytes past proWidth in a row (its padding)
 *                       can receive block-level alpha values, so keep no other
 *                       data there.
 * pPreAlpha     in/out  recursive blend weight (0..128), same geometry; start a
 *                       sequence with zeros and hand back what the call left.
 * gain_table_u8 in/out  per-pixel gain, same geometry, scaled in place.
 * proHeight/proWidth    processing grid: the top-left luma samples processed.
 * sigmaHScale/sigmaLScale  scales of the per-pixel and per-block noise sigma.
 * uv_ratio      weight of the chroma differences (1.0 = as much as luma).
 * light_clip    accepted for interface compatibility; no result depends on it.
 * static_ratio_r_bit  log2 of the static ratio at full motion (low 8 bits count).
 */
TNR_MD_API void motion_detect(uint8_t *pCurIn, uint8_t *pPreIn, int16_t *pTmpBuf, uint8_t *pAlpha,
                              uint8_t *pPreAlpha, uint8_t *gain_table_u8, int imgHeight,
                              int imgWidth, int proHeight, int proWidth, int gainStride,
                              float sigmaHScale, float sigmaLScale, float uv_ratio,
                              float light_clip, int static_ratio_r_bit);

/* ---- One frame over several threads --------------------------------------- */

/*
 * An executor runs tasks for the library; the caller decides where (its own
 * thread pool, a framework's task pool, OpenMP, or the calling thread).
 *
 * run(context, task, taskArg, count) must call task(taskArg, i) exactly once
 * for every i in 0 .. count - 1, in any order, on any threads, any number at
 * once, and return only when every call has returned. count may be 0 (then
 * there is nothing to do). The library never calls run from inside a task.
 * A null executor, or one whose run is null, means: run the tasks one after
 * another on the calling thread.
 */
typedef void (*TnrMdTask)(void *taskArg, int taskIndex);
typedef struct TnrMdExecutor {
  void *context;
  void (*run)(void *context, TnrMdTask task, void *taskArg, int count);
} TnrMdExecutor;

/*
 * Scratch size of motion_detect_parallel for the grid and a task count, in
 * int16_t elements; at least motionDetectTmpBufSize(proHeight, proWidth) (as
 * large for ordinary grids and task counts), or 0 when the grid is not
 * accepted or tasks < 1.
 */
TNR_MD_API size_t motionDetectParallelTmpBufSize(int proHeight, int proWidth, int tasks);

/*
 * motion_detect, with the frame's work split into at most `tasks` tasks per
 * step, run on the executor. The steps that depend on one another (the
 * difference of the whole frame before the pass filters it in place, the
 * block-level stages that read neighbouring block rows) are separated by
 * the executor's returns: three calls of run per frame, and no locks in the
 * library. Outputs are the bytes motion_detect gives for every task count,
 * task order and number of threads. pTmpBuf holds
 * motionDetectParallelTmpBufSize(proHeight, proWidth, tasks) elements. The
 * call returns without touching any buffer where motion_detect would, or
 * where that size is 0.
 */
TNR_MD_API void motion_detect_parallel(const TnrMdExecutor *executor, int tasks, uint8_t *pCurIn,
                                       uint8_t *pPreIn, int16_t *pTmpBuf, uint8_t *pAlpha,
                                       uint8_t *pPreAlpha, uint8_t *gain_table_u8, int imgHeight,
                                       int imgWidth, int proHeight, int proWidth, int gainStride,
                                       float sigmaHScale, float sigmaLScale, float uv_ratio,
                                       float light_clip, int static_ratio_r_bit);

/* ---- Building blocks ------------------------------------------------------ */

/* Each building block returns without touching any buffer when a size is
 * below the minimum stated in its comment (sizes are compared in 64 bits, so
 * no combination of int values overflows the check). The planes must still
 * be as large as the comments say: pointers are not checked. */

/* Frame difference over the processing grid in 8x8 blocks: pHdiff (per sample,
 * x32, border 1, pitch proWidth + 2), pLdiff (per block, border 1, pitch
 * lDiffStride), pSigma (per block, border 4, pitch sigmaStride). Plane
 * pointers are the top-left border elements; borders are not written.
 * Minimum: 8 <= proWidth <= imgWidth, 8 <= proHeight <= imgHeight, both frame
 * sizes even, lDiffStride >= B + 2 and sigmaStride >= B + 8 for
 * B = ceil(proWidth / 8). */
TNR_MD_API void calDiffAndDownScale8x8(uint8_t *pCurIn, uint8_t *pPreIn, int16_t *pLdiff,
                                       int16_t *pHdiff, int16_t *pSigma, int imgHeight,
                                       int imgWidth, int proHeight, int proWidth, int lDiffStride,
                                       int sigmaStride, float uv_ratio);

/* Unweighted difference of the whole frame: two 4x4 patch entries per 8-column
 * block, first 4 rows of each 8-row band; pLdiff and pSigma share lDiffStride
 * and a border of 1. Minimum: imgWidth and imgHeight even and at least 8,
 * lDiffStride >= 2 x ceil(imgWidth / 8) + 2. */
TNR_MD_API void calDiffAndDownScale(uint8_t *pCurIn, uint8_t *pPreIn, int16_t *pLdiff,
                                    int16_t *pHdiff, int16_t *pSigma, int imgHeight, int imgWidth,
                                    int lDiffStride);

/* Scalar difference with a 32x32 light-change estimate removed. pHdiffTmp
 * holds proWidth x (proHeight + proHeight / 2) raw differences, pDsHdiff three
 * planes of 32x32 cell means; the other planes as for calDiffAndDownScale8x8.
 * Minimum: 32 <= proWidth <= imgWidth, 32 <= proHeight <= imgHeight, both
 * frame sizes even, lDiffStride >= B + 2 and sigmaStride >= B + 8 for
 * B = ceil(proWidth / 8). */
TNR_MD_API void calDiff(uint8_t *pCurIn, uint8_t *pPreIn, int16_t *pLdiff, int16_t *pHdiff,
                        int16_t *pSigma, int16_t *pHdiffTmp, int16_t *pDsHdiff, int imgHeight,
                        int imgWidth, int proHeight, int proWidth, int lDiffStride, int sigmaStride,
                        float uv_ratio, float light_clip);

/* Replicates the outermost valid samples of a Width_ext x Height_ext plane
 * (pitch Width_ext) into its ext_x columns and ext_y rows of border.
 * Minimum: ext_x, ext_y >= 0, Width_ext > 2 x ext_x and Height_ext > 2 x ext_y
 * (at least one valid column and row). */
TNR_MD_API void extendImgBorder(int16_t *pData_ext, int Width_ext, int Height_ext, int ext_x,
                                int ext_y);

/* 1-2-1 x 1-2-1 smoothing, rounded; pIn is the first valid sample of a plane
 * with a filled border of 1, pOut the first output sample, same stride.
 * Minimum: imgHgt, imgWid >= 1 and stride >= imgWid + 2. */
TNR_MD_API void gauss3x3Filter(int16_t *pIn, int16_t *pOut, int imgHgt, int imgWid, int stride);

/* Separable 9-tap smoothing of the block sigma (border of 4 read) into the low
 * (uint16_t) and high (uint32_t) sigma tables, at least 32 each. pTmpBuf holds
 * (imgHgt + 8) x stride int16_t. Minimum: imgHgt, imgWid >= 1 and
 * stride >= imgWid + 8. */
TNR_MD_API void sigmaFilterLut(int16_t *pIn, int16_t *pTmpBuf, uint16_t *pSigmaL, uint32_t *pSigmaH,
                               float sigmaHScale, float sigmaLScale, int imgHgt, int imgWid,
                               int stride);

/* Scalar 5x5 Gaussian smoothing normalised to 1024 (border of 2 read).
 * Minimum: imgHgt, imgWid >= 1 and stride >= imgWid + 4. */
TNR_MD_API void gauss9x9Filter(int16_t *pIn, int16_t *pOut, int imgHgt, int imgWid, int stride);

/* Block alpha, its bilinear upsampling and the per-pixel pass: updates
 * pPreAlpha, blends pPreIn into pCurIn, writes pAlpha, scales the gains.
 * As in motion_detect, all proHeight x GainStride bytes of pAlpha may be
 * written. Minimum: 1 <= proWidth <= imgWidth, 1 <= proHeight <= imgHeight,
 * both frame sizes even, GainStride >= proWidth. */
TNR_MD_API void upScale(uint8_t *pCurIn, uint8_t *pPreIn, int16_t *pLdiff, int16_t *pHdiff,
                        uint8_t *pTmp, uint8_t *pAlpha, uint8_t *pPreAlpha, uint8_t *gain_table_u8,
                        int imgHeight, int imgWidth, int proHeight, int proWidth, int GainStride,
                        uint8_t static_ratio_r_bit, uint16_t *pSigmaL, uint32_t *pSigmaH);

/* ---- Spatial stage -------------------------------------------------------- */

/*
 * The temporal blend averages still pixels over many frames and passes moving
 * pixels through with all their noise. spatial_denoise follows a
 * motion_detect call and removes noise where the blend could not: an
 * edge-preserving 3x3 filter, one step of a robust estimator from the centre
 * value c with the binomial weights s = 1, 2, 1 along each axis (16 in all):
 *     out = c + floor((sum over the 8 neighbours q of s(q) psi(q - c) + 8) / 16),
 *     psi(d) = sign(d) min(|d|, max(t - |d|, 0)),
 * so a difference up to t / 2 counts in full and one of t or more (an edge)
 * not at all; its threshold t follows the residual noise
 * the blend left at the pixel. With w the recursive weight motion_detect just
 * wrote to pPreAlpha, the blend is a running mean of 128 / (128 - w) frames,
 * whose noise variance is sigma^2 x (128 - w) / 128, so
 *     t = strength x sigma x sqrt((126 - 4 min(w >> 2, 31)) / 128),
 * rounded, capped at 42, and 0 below 3 or for w >= 120: the full threshold
 * where the pixel moved, less where frames were averaged, nothing where the
 * blend has reached its ceiling (the weight of a still pixel settles at 120,
 * a mean of 16 frames). Chroma bytes are filtered
 * the same way in the chroma plane (taps of the same component, two bytes
 * apart), each pair with the weight of the pixel whose weight blended it (the
 * right-hand luma pixel of the pair on the lower luma row).
 *
 * It writes a separate output frame rather than filtering in place: the next
 * motion_detect call must compare with and blend the temporally filtered
 * frame, not a spatially smoothed one (the smoothing would be averaged into
 * every later frame of a still area and would lower the noise the difference
 * stage measures), and a camera pipeline hands the output to the encoder or
 * display anyway. Every step is integer arithmetic (the sum lies within
 * +-252 and the result within 0 .. 255), identical in every build.
 *
 * pIn        in   the filtered frame motion_detect just left in pCurIn (or
 *                 a copy of its grid in a frame of the same geometry); only
 *                 the grid is read.
 * pOut       out  NV12 frame of the same geometry, not overlapping pIn: the
 *                 processing grid is written (luma, and chroma rows 0 ..
 *                 proHeight / 2 - 1, bytes 0 .. proWidth - 1: the bytes
 *                 motion_detect filters); no other byte is touched.
 * pPreAlpha  in   the recursive weight motion_detect just wrote (proHeight
 *                 rows of proWidth bytes at pitch gainStride).
 * noiseLevel      noise sigma in 1/16 code values (0 .. 4095, clamped), normally
 *                 motionDetectNoiseLevel() of the same call.
 * strength        threshold per unit of noise sigma at a moving pixel, in
 *                 1/16 (0 .. 255, clamped; 0 copies the frame unchanged).
 * Window samples outside the grid repeat its nearest row or column (of the
 * same chroma component). With an odd proWidth the last chroma byte takes
 * the weight of the grid's last column. Sizes: proWidth and proHeight at
 * least 8, the grid inside the frame, imgWidth and imgHeight even,
 * gainStride >= proWidth, frames below 2 GiB; otherwise the call returns
 * without touching anything (spatialDenoiseAccepts() says which).
 */
TNR_MD_API void spatial_denoise(const uint8_t *pIn, uint8_t *pOut, const uint8_t *pPreAlpha,
                                int imgHeight, int imgWidth, int proHeight, int proWidth,
                                int gainStride, int noiseLevel, int strength);

/* 1 when spatial_denoise accepts these sizes, else 0. */
TNR_MD_API int spatialDenoiseAccepts(int imgHeight, int imgWidth, int proHeight, int proWidth,
                                     int gainStride);

/*
 * The noise sigma of the frames motion_detect just compared, in 1/16 code
 * values (0 .. 4095), as its difference stage estimated it: the lower quartile
 * of the per-block sigma plane, converted to a per-byte sigma for the call's
 * uv_ratio (calibrated for noise of equal sigma on every byte). Still blocks
 * measure the noise; where much of the picture moves the estimate drifts
 * (about 20 % high with 40 % of the blocks moving in the tests). pTmpBuf must be the
 * scratch buffer of a motion_detect call on a grid of proHeight x proWidth
 * with that uv_ratio, untouched since; it is only read. Returns 0 for grids
 * motionDetectTmpBufSize does not accept, and reads nothing then.
 */
TNR_MD_API int motionDetectNoiseLevel(const int16_t *pTmpBuf, int proHeight, int proWidth,
                                      float uv_ratio);

/* ---- Camera motion ------------------------------------------------------- */

/*
 * On a moving camera every textured pixel moves between frames and the
 * temporal blend, rightly, refuses it. These two building blocks let a caller
 * that keeps a sequence move the history with the camera before
 * motion_detect: motionEstimate() measures the translation of the picture
 * from the previous frame to the current one, and historyShift() moves the
 * previous filtered frame, the recursive weights and the gains by it.
 *
 * A motion (dx, dy) in 1/16 luma pixels means the picture's content at
 * (x, y) in the previous frame is at (x + dx / 16, y + dy / 16) in the
 * current one. Everything is integer arithmetic: every build gives the same
 * motion and the same bytes.
 */
#define TNR_MD_MOTION_UNIT 16 /* motion vectors count 1/16 luma pixels */

typedef struct TnrMdMotion {
  int dx, dy;     /* the translation, 1/16 luma pixels (0, 0 when !valid) */
  int confidence; /* 0 .. 256: the share of the picture's tiles that agree */
  int valid;      /* 1: align by (dx, dy); 0: no alignment (a cut, a flat or
                     noise-only picture, a zoom or too many moving things) */
} TnrMdMotion;

/*
 * Scratch size of motionEstimate for a width x height luma picture, in bytes,
 * or 0 when the picture is too small (below 128 x 96) or too large (either
 * side above 16384) to be measured.
 */
TNR_MD_API size_t motionEstimateTmpBufSize(int height, int width);

/*
 * The translation from pPre to pCur (width x height luma bytes at their
 * pitches, normally the previous filtered frame and the current input).
 *
 * Both pictures are reduced by 4 and by 16 (rounded box means). On a grid of
 * 4 x 3 tiles, each tile searches the 16-fold reduction exhaustively over the
 * range (at least +-64 luma pixels at 1920 columns, in proportion to the
 * width, and at least +-16), refines by a search of +-2 in the 4-fold one
 * (its centre from a fit of the sums of absolute differences; every row up
 * to 8192 samples per tile, sparser beyond), by +-1 at full size on sparse
 * rows (every fourth up to about 768x576, every 16th at 1080p: about 8192
 * samples per tile), and to 1/16 pixel by gradient steps on the same rows. A tile counts when its best match at the coarsest level is
 * clearly better than a typical one (a flat, noise-only or changed tile has
 * no such match) and its gradient system is well conditioned. The tiles vote:
 * the motion agreed (within 4/16 pixel) by the most counting tiles, their
 * mean rounded, is valid when more than half of the counting tiles and at
 * least 3 agree; a mean within 2/16 pixel of (0, 0) (on both axes) is
 * reported as (0, 0). confidence = 256 x agreeing tiles / tiles.
 *
 * pTmpBuf holds motionEstimateTmpBufSize(height, width) bytes, 2-byte aligned
 * (malloc's alignment suffices); when that is 0
 * the call reports no alignment and reads nothing.
 */
TNR_MD_API void motionEstimate(const uint8_t *pPre, ptrdiff_t preStride, const uint8_t *pCur,
                               ptrdiff_t curStride, int height, int width, uint8_t *pTmpBuf,
                               TnrMdMotion *motion);

/*
 * Moves the history of the processing grid by the motion (dx, dy):
 *  - the frame: pOut's grid (luma, and chroma rows 0 .. proHeight / 2 - 1,
 *    bytes 0 .. proWidth - 1) = pPre's grid sampled at (x - dx / 16,
 *    y - dy / 16) (chroma at half: the chroma motion is (dx + 1) >> 1,
 *    (dy + 1) >> 1 in 1/16 chroma samples) with the separable six-tap
 *    filter of historyShiftTaps() per 1/16 phase (a windowed sinc; taps
 *    weigh samples -2 .. +3): each row is filtered with the horizontal taps
 *    and rounded, h = (sum + 32) >> 6, then the rows with the vertical taps,
 *    out = clamp((sum + 32) >> 6, 0, 255);
 *  - the maps (pPreAlpha into pAlphaOut, gains into pGainOut, each proHeight
 *    rows of proWidth bytes at gainStride) moved by the motion rounded to
 *    whole pixels (halves away from zero);
 *  - where a pixel's taps fall outside pPre's grid (the part of the picture
 *    that enters at an edge, and the samples within the taps' reach of the
 *    edge), they read the grid's nearest edge sample (of the same row or
 *    column, the same chroma component) instead; there, and where its map
 *    sample falls outside the grid, the weight is 0 and the gain gainFill:
 *    its history restarts, against the history beside it. (The current
 *    byte there, as the earlier version had it, shows the blend a
 *    difference of 0: about 0.4 dB less on a pan, docs/camera-motion.md.)
 *    pCur is not read (kept for the callers of the earlier version).
 * Bytes of pOut outside the grid are copied from pPre; pAlphaOut and
 * pGainOut outside the grid's columns are not written. A motion of (0, 0)
 * copies. pOut, pAlphaOut and pGainOut must not overlap the inputs.
 * pTmpBuf holds historyShiftTmpBufSize(proWidth) int16_t (six filtered rows
 * of the rows at the grid's top and bottom edges; the others stay in
 * registers), 2-byte aligned.
 * Sizes as for spatial_denoise (spatialDenoiseAccepts) with an even grid,
 * |dx|, |dy| at most 16 x 16384 and gainFill in 0 .. 255; otherwise the call
 * returns without touching anything.
 */
TNR_MD_API void historyShift(const uint8_t *pPre, const uint8_t *pCur, uint8_t *pOut,
                             const uint8_t *pPreAlpha, uint8_t *pAlphaOut, const uint8_t *pGain,
                             uint8_t *pGainOut, int16_t *pTmpBuf, int imgHeight, int imgWidth,
                             int proHeight, int proWidth, int gainStride, int dx, int dy,
                             int gainFill);

/* Scratch of historyShift in int16_t elements (0 for proWidth < 8). */
TNR_MD_API size_t historyShiftTmpBufSize(int proWidth);

/* The taps (sum 64) of historyShift's filter at phase 0 .. 15 (1/16 pixel
 * past the sample of tap 2): taps[0..5] weigh samples -2 .. +3. Returns the
 * number of taps (6) and writes them only when capacity is at least that.
 * (An earlier version had four taps and no capacity.) */
TNR_MD_API int historyShiftTaps(int phase, int8_t *taps, int capacity);

#ifdef __cplusplus
}
#endif

#endif /* TNR_MD_MOTION_DETECT_H */
