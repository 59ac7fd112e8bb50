/*
 * The tnrmd element's cost per frame against motion_detect alone, in one run.
 *
 *   tnrmd_bench [FRAMES_PER_ROUND ROUNDS [WIDTH HEIGHT]]   (default 8 25 1920 1080)
 *
 * The same noisy scene (a textured still background, two moving squares)
 * goes three ways, in turn within every round so that both see the same
 * machine: the library called directly (only the motion_detect call timed),
 * the element with buffers in the caps layout (filtered in place), and the
 * element with buffers whose chroma pitch differs from the luma pitch
 * (filtered through its contiguous copy). Element buffers are pushed from
 * memory through a GstHarness whose sink keeps them, as fakesink would; the
 * push is timed, which includes mapping the frame, motion_detect, the copy of
 * the previous frame and the push downstream. Refilling a buffer with the
 * next input frame is not timed, for either side. Times are the thread's CPU
 * time (wall time on a shared machine counts other processes' slices); prints
 * medians, and the wall time of the whole loop of each side.
 */
#include <gst/check/gstharness.h>
#include <gst/gst.h>
#include <gst/video/video.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "motion_detect.h"

/* The calling thread's CPU time: the harness runs the element on this
 * thread, and other processes on a shared machine do not count. */
static double now_ms(void) {
  struct timespec ts;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return ts.tv_sec * 1e3 + ts.tv_nsec / 1e6;
}

static double wall_ms(void) {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec * 1e3 + ts.tv_nsec / 1e6;
}

static int cmp_double(const void *a, const void *b) {
  const double x = *(const double *)a, y = *(const double *)b;
  return (x > y) - (x < y);
}

static double median(double *v, int n) {
  qsort(v, n, sizeof(double), cmp_double);
  return n % 2 ? v[n / 2] : 0.5 * (v[n / 2 - 1] + v[n / 2]);
}

static guint32 hash32(guint32 x) {
  x ^= x >> 16;
  x *= 0x7feb352du;
  x ^= x >> 15;
  x *= 0x846ca68bu;
  x ^= x >> 16;
  return x;
}

/* Contiguous NV12 frame t of the scene. */
static void scene(guint8 *f, int w, int h, int t) {
  guint8 *uv = f + (gsize)w * h;
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      const int a = x - (100 + 24 * t), b = y - (200 + 9 * t), c = x - (1400 - 16 * t);
      const int in =
          (a >= 0 && a < 160 && b >= 0 && b < 160) || (c >= 0 && c < 96 && y >= 600 && y < 760);
      const int base = in ? 210 : 50 + (x * 3 + y * 7) % 120;
      const int n = (int)(hash32((guint32)t * 2654435761u ^ (guint32)(y * 65599 + x)) % 17) - 8;
      f[(gsize)y * w + x] = (guint8)CLAMP(base + n, 0, 255);
    }
  for (int y = 0; y < h / 2; ++y)
    for (int x = 0; x < w; ++x)
      uv[(gsize)y * w + x] =
          (guint8)(128 + (x % 2 ? 10 : -10) + (int)(hash32((guint32)(t * 7 + y * w + x)) % 5) - 2);
}

typedef struct {
  GstHarness *h;
  GstBuffer **bufs; /* one per frame of a round, reused every round */
  gsize offset[GST_VIDEO_MAX_PLANES];
  gint stride[GST_VIDEO_MAX_PLANES];
  gboolean meta;
} ElementRun;

static GstBuffer *alloc_buffer(gsize size) {
  GstAllocationParams params;
  gst_allocation_params_init(&params);
  params.align = 63; /* frame buffers start on 64-byte boundaries */
  GstBuffer *b = gst_buffer_new();
  gst_buffer_append_memory(b, gst_allocator_alloc(NULL, size, &params));
  return b;
}

static void element_run_init(ElementRun *r, int w, int h, int frames, gboolean padded) {
  r->h = gst_harness_new("tnrmd");
  if (!r->h) {
    fprintf(stderr, "element tnrmd not found\n");
    exit(1);
  }
  /* motion_detect alone does not follow the camera: neither does the element
   * here (docs/camera-motion.md has what alignment costs). */
  g_object_set(r->h->element, "align", FALSE, NULL);
  gchar *caps = g_strdup_printf("video/x-raw,format=NV12,width=%d,height=%d,framerate=30/1", w, h);
  gst_harness_set_src_caps_str(r->h, caps);
  g_free(caps);
  memset(r->offset, 0, sizeof(r->offset));
  memset(r->stride, 0, sizeof(r->stride));
  r->stride[0] = r->stride[1] = w;
  r->offset[1] = (gsize)w * h;
  r->meta = padded;
  if (padded) {
    r->stride[0] = w + 64;
    r->stride[1] = w + 128;
    r->offset[1] = (gsize)r->stride[0] * h;
  }
  const gsize size = r->offset[1] + (gsize)r->stride[1] * (h / 2);
  r->bufs = g_new(GstBuffer *, frames);
  for (int i = 0; i < frames; ++i) {
    r->bufs[i] = alloc_buffer(size);
    if (padded)
      gst_buffer_add_video_meta_full(r->bufs[i], GST_VIDEO_FRAME_FLAG_NONE, GST_VIDEO_FORMAT_NV12,
                                     w, h, 2, r->offset, r->stride);
  }
}

static void fill(ElementRun *r, int i, const guint8 *src, int w, int h) {
  GstMapInfo map;
  gst_buffer_map(r->bufs[i], &map, GST_MAP_WRITE);
  for (int y = 0; y < h; ++y) memcpy(map.data + (gsize)y * r->stride[0], src + (gsize)y * w, w);
  for (int y = 0; y < h / 2; ++y)
    memcpy(map.data + r->offset[1] + (gsize)y * r->stride[1], src + (gsize)w * h + (gsize)y * w, w);
  gst_buffer_unmap(r->bufs[i], &map);
}

/* Pushes frame i; returns the time of the push. */
static double push(ElementRun *r, int i) {
  GstBuffer *b = r->bufs[i];
  const double t0 = now_ms();
  const GstFlowReturn ret = gst_harness_push(r->h, b);
  const double t1 = now_ms();
  if (ret != GST_FLOW_OK) {
    fprintf(stderr, "push failed: %s\n", gst_flow_get_name(ret));
    exit(1);
  }
  r->bufs[i] = gst_harness_pull(r->h); /* the same buffer, filtered in place */
  return t1 - t0;
}

int main(int argc, char **argv) {
  gst_init(&argc, &argv);
  const int frames = argc > 2 ? atoi(argv[1]) : 8, rounds = argc > 2 ? atoi(argv[2]) : 25;
  const int w = argc > 4 ? atoi(argv[3]) : 1920, h = argc > 4 ? atoi(argv[4]) : 1080;
#ifdef TNR_MD_GST_PLUGIN_FILE
  if (!gst_registry_find_feature(gst_registry_get(), "tnrmd", GST_TYPE_ELEMENT_FACTORY)) {
    GError *err = NULL;
    if (!gst_plugin_load_file(TNR_MD_GST_PLUGIN_FILE, &err)) {
      fprintf(stderr, "cannot load %s: %s\n", TNR_MD_GST_PLUGIN_FILE, err->message);
      return 1;
    }
  }
#endif
  const gsize bytes = (gsize)w * h * 3 / 2, maps = (gsize)w * h;
  guint8 **src = g_new(guint8 *, frames);
  for (int i = 0; i < frames; ++i) {
    src[i] = g_malloc(bytes);
    scene(src[i], w, h, i);
  }

  /* The library alone, as a host would call it. */
  guint8 *cur = g_aligned_alloc(bytes, 1, 64), *prev = g_aligned_alloc(bytes, 1, 64);
  guint8 *alpha = g_aligned_alloc(maps, 1, 64), *pre_alpha = g_aligned_alloc0(maps, 1, 64);
  guint8 *gain = g_aligned_alloc(maps, 1, 64);
  int16_t *tmp = g_aligned_alloc(motionDetectTmpBufSize(h, w), sizeof(int16_t), 64);
  memset(gain, 128, maps);
  memcpy(prev, src[0], bytes);

  ElementRun packed, padded;
  element_run_init(&packed, w, h, frames, FALSE);
  element_run_init(&padded, w, h, frames, TRUE);

  const int n = frames * rounds;
  double *t_lib = g_new(double, n), *t_el = g_new(double, n), *t_copy = g_new(double, n);
  double wall_lib = 0, wall_el = 0, wall_copy = 0;
  for (int r = 0; r < rounds; ++r) {
    for (int i = 0; i < frames; ++i) {
      memcpy(cur, src[i], bytes);
      const double t0 = now_ms(), w0 = wall_ms();
      motion_detect(cur, prev, tmp, alpha, pre_alpha, gain, h, w, h, w, w, 1.1f, 0.12f, 0.75f, 0.0f,
                    4);
      t_lib[r * frames + i] = now_ms() - t0;
      wall_lib += wall_ms() - w0;
      guint8 *t = prev;
      prev = cur;
      cur = t;
    }
    for (int i = 0; i < frames; ++i) {
      fill(&packed, i, src[i], w, h);
      const double w0 = wall_ms();
      t_el[r * frames + i] = push(&packed, i);
      wall_el += wall_ms() - w0;
    }
    for (int i = 0; i < frames; ++i) {
      fill(&padded, i, src[i], w, h);
      const double w0 = wall_ms();
      t_copy[r * frames + i] = push(&padded, i);
      wall_copy += wall_ms() - w0;
    }
  }
  const double lib = median(t_lib, n), el = median(t_el, n), cp = median(t_copy, n);
  printf(
      "%dx%d, %d frames (%d rounds of %d); CPU time per frame (median), wall time per frame "
      "(mean):\n",
      w, h, n, rounds, frames);
  printf("  motion_detect alone                 %7.3f ms          %7.3f ms\n", lib, wall_lib / n);
  printf("  tnrmd, in place (caps layout)       %7.3f ms  %.2fx   %7.3f ms  %.2fx\n", el, el / lib,
         wall_el / n, wall_el / wall_lib);
  printf("  tnrmd, through its contiguous copy  %7.3f ms  %.2fx   %7.3f ms  %.2fx\n", cp, cp / lib,
         wall_copy / n, wall_copy / wall_lib);

  for (int i = 0; i < frames; ++i) {
    gst_buffer_unref(packed.bufs[i]);
    gst_buffer_unref(padded.bufs[i]);
    g_free(src[i]);
  }
  gst_harness_teardown(packed.h);
  gst_harness_teardown(padded.h);
  g_free(packed.bufs);
  g_free(padded.bufs);
  g_free(src);
  g_free(t_lib);
  g_free(t_el);
  g_free(t_copy);
  g_aligned_free(cur);
  g_aligned_free(prev);
  g_aligned_free(alpha);
  g_aligned_free(pre_alpha);
  g_aligned_free(gain);
  g_aligned_free(tmp);
  return 0;
}
