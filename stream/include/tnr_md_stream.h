/*
 * tnr_md stream: the temporal noise reduction of a whole video sequence in one
 * object.
 *
 * motion_detect() and spatial_denoise() are stateless: a caller that filters
 * more than one frame keeps the previous filtered frame, the recursive
 * weights, the gain table and the scratch from call to call, treats the first
 * frame, and runs the spatial stage into an output frame while the temporal
 * result stays the next previous frame. A TnrMdStream does all of that:
 *
 *   TnrMdParams params;
 *   tnrMdParamsDefault(&params);                 // or tnrMdParamsPreset()
 *   TnrMdStream *s = NULL;
 *   if (tnrMdStreamCreate(&s, width, height, &params, NULL, 0, NULL) != TNR_MD_OK) ...
 *   for (each NV12 frame) {
 *     TnrMdImage img = {luma, lumaStride, chroma, chromaStride, 0};
 *     tnrMdStreamProcess(s, &img, NULL, NULL);  // filtered in place
 *   }
 *   tnrMdStreamDestroy(s);
 *
 * The object allocates when it is created and when the memory layout of the
 * frames changes (see TnrMdImage: the previous frame follows it), never per
 * frame otherwise.
 * It starts no threads: give it an executor (tnr_md_threads.h has a pool) to
 * share each frame among threads. One object serves one sequence at a time
 * and is not locked: calls on one object must not overlap; distinct objects
 * are independent.
 *
 * This header compiles as C99 and as C++.
 */
#ifndef TNR_MD_STREAM_H
#define TNR_MD_STREAM_H

#include <stddef.h>
#include <stdint.h>

#include "motion_detect.h"

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Results ---------------------------------------------------------------- */

/* Every call that can fail returns one of these; TNR_MD_OK is 0. */
enum {
  TNR_MD_OK = 0,
  TNR_MD_ERROR_ARGUMENT = 1, /* a null pointer where an object or image is needed */
  TNR_MD_ERROR_PARAMS = 2,   /* a parameter outside its range (TnrMdParams) */
  TNR_MD_ERROR_SIZE = 3,     /* a frame or grid size the filter does not take */
  TNR_MD_ERROR_LAYOUT = 4,   /* planes or strides that do not hold the frame */
  TNR_MD_ERROR_MEMORY = 5    /* an allocation failed */
};

/* Where a call fails, it leaves the object as it was and, when given an error
 * record, writes its code and a sentence for a person to read, naming the
 * value and the accepted range ("sigma_h_scale must lie in 0 .. 16, got 17"). */
typedef struct TnrMdError {
  int code;
  char message[256];
} TnrMdError;

/* ---- Parameters --------------------------------------------------------------- */

typedef struct TnrMdParams {
  /* Scales of the per-pixel and per-block noise sigma, 0 .. TNR_MD_SIGMA_H_SCALE_MAX
   * and 0 .. TNR_MD_SIGMA_L_SCALE_MAX: larger values blend more and trail behind motion. */
  float sigma_h_scale;
  float sigma_l_scale;
  /* Weight of the chroma differences, 0 .. TNR_MD_UV_RATIO_MAX. */
  float uv_ratio;
  /* log2 of the static ratio at full motion, 0 .. 255 (the map only). */
  int static_ratio_bit;
  /* The gain table's value at the start of a sequence, 0 .. 255 (the gain
   * table only); takes effect at creation and at tnrMdStreamReset. */
  int start_gain;
  /* The spatial stage's threshold at a moving pixel in units of the measured
   * noise sigma, 0 (off) .. TNR_MD_SPATIAL_MAX; rounded to 1/16. */
  float spatial;
  /* The processing grid: the top-left grid_width x grid_height luma samples
   * (and their chroma) are filtered, the rest passes unchanged; 0 for the
   * whole frame. Fixed at creation: tnrMdStreamSetParams refuses a change. */
  int grid_width;
  int grid_height;
  /* 1: move the history with the camera. Each frame the
   * picture's translation from the previous frame is estimated
   * (motionEstimate) and, where the estimate is confident, the previous
   * filtered frame, the weights and the gains are moved by it (historyShift)
   * before the temporal stage; the parts of the picture entering at an edge
   * start a new history. A still camera gives a motion of (0, 0) and the bytes
   * of align = 0 (a motion within 2/16 pixel of rest is rest). Grids below
   * 128x96 or of odd sizes are never aligned. On by default (1): a pan or a
   * handheld camera keeps most of the filter's gain (about +4.6 and +2.6 dB
   * on the measured clips), a fixed camera loses nothing but pays for the
   * estimation (about a quarter of the temporal stage's instructions on
   * ARMv7-A; docs/camera-motion.md). 0: the history stays where it was. */
  int align;
} TnrMdParams;

/* Fills the defaults every front end ships (the "medium" preset). */
TNR_MD_API void tnrMdParamsDefault(TnrMdParams *params);

/* Named tunings, from lightest to strongest. */
enum {
  TNR_MD_PRESET_LIGHT = 0,
  TNR_MD_PRESET_MEDIUM = 1, /* the defaults */
  TNR_MD_PRESET_STRONG = 2,
  TNR_MD_PRESET_COUNT = 3
};

/* Sets the tuning fields (sigma scales, uv_ratio, spatial) of *params to the
 * preset's and leaves the others; TNR_MD_ERROR_PARAMS for an unknown preset. */
TNR_MD_API int tnrMdParamsPreset(TnrMdParams *params, int preset);

/* The preset's name ("light", "medium", "strong"), or NULL for an unknown one. */
TNR_MD_API const char *tnrMdPresetName(int preset);

/* The inverse: sets *preset to the preset named `name` (exactly as
 * tnrMdPresetName spells it) and returns TNR_MD_OK; otherwise leaves *preset
 * alone and returns TNR_MD_ERROR_PARAMS ("preset must be one of light, medium,
 * strong, got 'heavy'"), or TNR_MD_ERROR_ARGUMENT for a null name or preset. */
TNR_MD_API int tnrMdPresetByName(const char *name, int *preset, TnrMdError *error);

/* The one check of the parameters' ranges that every front end uses. */
TNR_MD_API int tnrMdParamsCheck(const TnrMdParams *params, TnrMdError *error);

/* ---- Images --------------------------------------------------------------------- */

/*
 * One NV12 frame: `luma` rows of width bytes at luma_stride, height rows;
 * `chroma` rows of width interleaved U,V bytes at chroma_stride, height / 2
 * rows. Strides are at least the width.
 *
 * span: 0, or the number of bytes from `luma` that are one block of the
 * caller's memory holding both planes. When the chroma plane lies in that
 * block k luma rows after the luma plane, k even and at least the height, at
 * the same even stride (the layout of most camera and decoder buffers, padded
 * or not), and the library's frame of k luma and k / 2 chroma rows at that
 * stride lies within span (the library may read any byte of it), the stream
 * filters the frame where it lies; otherwise it filters a packed copy of the
 * frame's planes and writes the result back. The bytes are the same either
 * way, and the layout may change from frame to frame.
 */
typedef struct TnrMdImage {
  uint8_t *luma;
  ptrdiff_t luma_stride;
  uint8_t *chroma;
  ptrdiff_t chroma_stride;
  size_t span;
} TnrMdImage;

/* ---- The stream ---------------------------------------------------------------- */

typedef struct TnrMdStream TnrMdStream;

/*
 * A stream for frames of width x height (both even). executor: NULL to run
 * on the calling thread, else each frame's work is split into `tasks` tasks
 * (< 1: one) run on it; the executor must outlive the stream. The bytes
 * filtered are the same for every executor and task count. On success
 * *stream is the new object; on failure it is NULL.
 */
TNR_MD_API int tnrMdStreamCreate(TnrMdStream **stream, int width, int height,
                                 const TnrMdParams *params, const TnrMdExecutor *executor,
                                 int tasks, TnrMdError *error);

/* Frees the object and everything it holds; NULL is ignored. */
TNR_MD_API void tnrMdStreamDestroy(TnrMdStream *stream);

/*
 * Filters one frame. out NULL (or the same planes as in): in place, `in` is
 * written. Otherwise `in` is only read and `out` (a frame of the same size,
 * not overlapping `in`) receives the whole frame: the grid filtered, the rest
 * copied. The first frame after creation or a reset is its own previous
 * frame: the temporal stage leaves it unchanged (the spatial stage, when on,
 * still filters it). The maps and figures then describe this frame.
 */
TNR_MD_API int tnrMdStreamProcess(TnrMdStream *stream, const TnrMdImage *in,
                                  const TnrMdImage *out, TnrMdError *error);

/* Starts a new sequence (a cut, a seek, a new source): the next frame is a
 * first frame, the weights restart at 0 and the gains at start_gain. */
TNR_MD_API void tnrMdStreamReset(TnrMdStream *stream);

/* Refills the gain table with start_gain now, the sequence going on (the
 * video does not change: the gain table is an output for the caller). */
TNR_MD_API void tnrMdStreamResetGain(TnrMdStream *stream);

/*
 * New parameters, checked as tnrMdParamsCheck does. The tuning (sigma scales,
 * uv_ratio, static_ratio_bit, spatial) applies from the next frame;
 * start_gain at the next reset (or tnrMdStreamResetGain); a different grid is
 * refused (TNR_MD_ERROR_PARAMS). On failure the old parameters stay.
 */
TNR_MD_API int tnrMdStreamSetParams(TnrMdStream *stream, const TnrMdParams *params,
                                    TnrMdError *error);

/* The parameters in force (start_gain as last set). */
TNR_MD_API void tnrMdStreamGetParams(const TnrMdStream *stream, TnrMdParams *params);

/* ---- What the last frame left ---------------------------------------------------- */

/*
 * The maps of the last frame, height rows of width bytes at stride (the grid's
 * size), owned by the stream and valid until its next process, reset or
 * destroy: static_ratio (0 .. 128, 128 = still), weight (the recursive blend
 * weight, 0 .. 128) and gain (the scaled gain table).
 */
typedef struct TnrMdMaps {
  const uint8_t *static_ratio;
  const uint8_t *weight;
  const uint8_t *gain;
  int width;
  int height;
  ptrdiff_t stride;
} TnrMdMaps;

TNR_MD_API void tnrMdStreamMaps(const TnrMdStream *stream, TnrMdMaps *maps);

/* Figures of the last frame, computed when asked for (all 0 before the first
 * frame of a sequence, after creation or a reset). */
typedef struct TnrMdFrameStats {
  int64_t frames;           /* frames since creation or the last reset, this one included */
  double mean_static_ratio; /* 0 .. 1 */
  double mean_gain;         /* 0 .. 255 */
  int noise_level;          /* noise sigma the frame's difference measured, 1/16 code values */
  /* The camera motion estimated from the previous frame to this one, in luma
   * pixels (multiples of 1/16; the picture's content moved right and down by
   * it), its confidence (0 .. 1: the share of the picture that agrees), and
   * whether the history was moved by it (0 when align is off, on a first
   * frame, or the estimate was refused: a cut, a flat or noise-only picture,
   * a zoom). */
  double motion_x;
  double motion_y;
  double motion_confidence;
  int aligned;
} TnrMdFrameStats;

TNR_MD_API void tnrMdStreamStats(const TnrMdStream *stream, TnrMdFrameStats *stats);

/* ---- Version ------------------------------------------------------------------- */

/* The library's version as (major << 16) | (minor << 8) | patch, and as text. */
TNR_MD_API unsigned tnrMdVersion(void);
TNR_MD_API const char *tnrMdVersionString(void);

#ifdef __cplusplus
}
#endif

#endif /* TNR_MD_STREAM_H */
