/*
 * The OBS filter's frame path, apart from libobs's module and source
 * machinery: it takes the struct obs_source_frame that libobs hands an
 * asynchronous filter and filters it in place with a TnrMdStream. The module
 * (tnr_obs_plugin.c) is the thin glue around it; the tests and the benchmark
 * drive this same code without libobs running (obs.h is read for its types
 * only).
 *
 * Formats:
 *   NV12       filtered where it lies, exactly as the stream filters it.
 *   I420       U and V interleaved into an NV12 copy, filtered, and written
 *              back plane by plane: the bytes of a stream run on the same
 *              frame as NV12.
 *   YUY2, UYVY, YVYU (packed 4:2:2) and I422 (planar 4:2:2)
 *              luma as the stream filters it; chroma averaged over each pair
 *              of rows into 4:2:0 for the filter, and the filter's change of
 *              that average added to both rows (so vertical chroma detail
 *              stays and a frame the filter leaves alone comes out unchanged).
 *   anything else, and odd or too small sizes: passed on untouched, with one
 *              log line when the format or size starts (not per frame).
 *
 * Threads: filter_video runs on one thread at a time (libobs's); settings and
 * restarts may come from any thread and take effect at the next frame.
 */
#ifndef TNR_OBS_FILTER_H
#define TNR_OBS_FILTER_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

struct obs_source_frame;

/* Off, or one of the stream's presets (TNR_MD_PRESET_*). */
#define TNR_OBS_STRENGTH_OFF (-1)

typedef struct TnrObsSettings {
  int strength;  /* TNR_OBS_STRENGTH_OFF or a TNR_MD_PRESET_* */
  float spatial; /* the spatial stage, 0 .. TNR_MD_SPATIAL_MAX (replaces the preset's) */
  int threads;   /* 0: one per core; 1: the calling thread only */
  int align;     /* 1: move the history with the camera (TnrMdParams.align) */
} TnrObsSettings;

/* The settings the filter starts with: the stream's defaults (alignment
 * included) on the calling
 * thread (threads 1: the least CPU time per frame; a pool only shortens the
 * frame's latency, at the cost of some CPU time for the hand-over). */
void tnrObsSettingsDefault(TnrObsSettings *settings);

/* Where the filter's notices go (libobs's log in the module). */
typedef void (*TnrObsLog)(void *context, const char *message);

typedef struct TnrObsFilter TnrObsFilter;

/* NULL when out of memory. log may be NULL. Allocates nothing else until the
 * first frame. */
TnrObsFilter *tnrObsFilterCreate(const TnrObsSettings *settings, TnrObsLog log, void *logContext);
void tnrObsFilterDestroy(TnrObsFilter *filter);

/* Any thread: the settings the next frame uses (out-of-range values are
 * clamped to their range). */
void tnrObsFilterSetSettings(TnrObsFilter *filter, const TnrObsSettings *settings);

/* Any thread: the next frame starts a new sequence (the filter was enabled
 * again, shown again, removed from its source). */
void tnrObsFilterRestart(TnrObsFilter *filter);

/* filter_video: filters frame in place and returns it. */
struct obs_source_frame *tnrObsFilterVideo(TnrObsFilter *filter, struct obs_source_frame *frame);

/* Frames the stream has filtered since the filter was created (tests). */
int64_t tnrObsFilterFramesFiltered(const TnrObsFilter *filter);

#ifdef __cplusplus
}
#endif

#endif /* TNR_OBS_FILTER_H */
