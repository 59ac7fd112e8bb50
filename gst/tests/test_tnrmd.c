/*
 * Tests of the tnrmd element through GstHarness: every output frame equals
 * the library's motion_detect called directly on the same sequence of
 * contiguous frames (the even top-left part of each frame; an odd last row or
 * column passes through), whatever the buffer layout, and every byte of a
 * buffer outside the frame's planes is left alone. Every buffer ends where an
 * inaccessible page begins, so a read past its end faults.
 */
#include <gst/check/gstcheck.h>
#include <gst/check/gstharness.h>
#include <gst/controller/gstdirectcontrolbinding.h>
#include <gst/controller/gsttriggercontrolsource.h>
#include <gst/video/video.h>
#include <math.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

#include "motion_detect.h"

#define CANARY 0x5a
#define FPS 30

/* ---- Reference: the library on contiguous frames ---------------------------- */

typedef struct {
  float sigma_h, sigma_l, uv_ratio;
  int static_ratio_bit, gain;
  float spatial;
} Params;

static const Params default_params = {1.1f, 0.12f, 0.75f, 4, 128, 5.0f};

typedef struct {
  int w, h; /* even */
  Params p;
  gboolean first;
  int16_t *tmp; /* one allocation, followed by the frame and the maps */
  guint8 *prev, *pre_alpha, *gain, *alpha;
} Ref;

static void ref_init(Ref *r, int w, int h, Params p) {
  const gsize maps = (gsize)w * h, tmp = motionDetectTmpBufSize(h, w) * sizeof(int16_t);
  *r = (Ref){w, h, p, TRUE, g_malloc0(tmp + maps * 9 / 2), NULL, NULL, NULL, NULL};
  r->prev = (guint8 *)r->tmp + tmp;
  r->pre_alpha = r->prev + maps * 3 / 2;
  r->gain = memset(r->pre_alpha + maps, p.gain, maps);
  r->alpha = r->gain + maps;
}

static void ref_clear(Ref *r) { g_free(r->tmp); }

/* Filters a contiguous w x h frame in place (the temporal stage, then the
 * spatial one). */
static void ref_process(Ref *r, guint8 *frame) {
  const gsize bytes = (gsize)r->w * r->h * 3 / 2;
  if (r->first) memcpy(r->prev, frame, bytes);
  r->first = FALSE;
  motion_detect(frame, r->prev, r->tmp, r->alpha, r->pre_alpha, r->gain, r->h, r->w, r->h, r->w,
                r->w, r->p.sigma_h, r->p.sigma_l, r->p.uv_ratio, 0.0f, r->p.static_ratio_bit);
  memcpy(r->prev, frame, bytes);
  /* The spatial stage writes the output from the temporally filtered frame,
   * which stays the next previous frame. */
  const int spatial = (int)lroundf(r->p.spatial * 16.0f);
  if (spatial > 0)
    spatial_denoise(r->prev, frame, r->pre_alpha, r->h, r->w, r->h, r->w, r->w,
                    motionDetectNoiseLevel(r->tmp, r->h, r->w, r->p.uv_ratio), spatial);
}

static double mean_of(const guint8 *v, gsize n, double unit) {
  guint64 s = 0;
  for (gsize i = 0; i < n; ++i) s += v[i];
  return (double)s / (unit * (double)n);
}

/* ---- Input ---------------------------------------------------------------------- */

/* A frame as the planes' visible bytes: w x h luma, then ch rows of cw bytes of
 * U,V pairs (cw = w rounded up to even, ch = h / 2 rounded up). */
typedef struct {
  int w, h, cw, ch;
  guint8 *y, *uv;
} Image;

static gsize image_bytes(const Image *im) { return (gsize)im->w * im->h + (gsize)im->cw * im->ch; }

static Image image_new(int w, int h) {
  Image im = {w, h, (w + 1) & ~1, (h + 1) / 2, NULL, NULL};
  im.y = g_malloc(image_bytes(&im));
  im.uv = im.y + (gsize)w * h;
  return im;
}

static Image image_copy(const Image *s) {
  Image im = image_new(s->w, s->h);
  memcpy(im.y, s->y, image_bytes(s));
  return im;
}

static void image_free(Image *im) { g_free(im->y); }

static guint8 clamp_u8(int v) { return (guint8)(v < 0 ? 0 : v > 255 ? 255 : v); }

/* Frame t: a textured still background, a square moving down and right, and
 * noise drawn from (seed, t). */
static Image scene(int w, int h, int t, guint32 seed) {
  Image im = image_new(w, h);
  GRand *rand = g_rand_new_with_seed(seed ^ ((guint32)t * 7919u));
  const int sx = 6 + 5 * t, sy = 4 + 3 * t, side = 28;
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      const gboolean in = x >= sx && x < sx + side && y >= sy && y < sy + side;
      const int base = in ? 215 - (x + y) % 17 : 60 + (x * 5 + y * 3) % 90;
      im.y[(gsize)y * w + x] = clamp_u8(base + g_rand_int_range(rand, -7, 8));
    }
  for (int r = 0; r < im.ch; ++r)
    for (int c = 0; c < im.cw; c += 2) {
      const gboolean in = 2 * r >= sy && 2 * r < sy + side && c >= sx && c < sx + side;
      const int u = in ? 70 : 110 + (c * 3 + r) % 30, v = in ? 190 : 150 - (c + r * 2) % 25;
      im.uv[(gsize)r * im.cw + c] = clamp_u8(u + g_rand_int_range(rand, -3, 4));
      im.uv[(gsize)r * im.cw + c + 1] = clamp_u8(v + g_rand_int_range(rand, -3, 4));
    }
  g_rand_free(rand);
  return im;
}

/* What the element must output for `in`: the reference's filtered even grid,
 * the last odd row and column as they came in. Advances the reference. */
static Image expected(Ref *r, const Image *in) {
  Image out = image_copy(in);
  const int gw = r->w, gh = r->h;
  guint8 *grid = g_malloc((gsize)gw * gh * 3 / 2);
  for (int y = 0; y < gh; ++y) memcpy(grid + (gsize)y * gw, in->y + (gsize)y * in->w, gw);
  for (int y = 0; y < gh / 2; ++y)
    memcpy(grid + (gsize)gw * gh + (gsize)y * gw, in->uv + (gsize)y * in->cw, gw);
  ref_process(r, grid);
  for (int y = 0; y < gh; ++y) memcpy(out.y + (gsize)y * in->w, grid + (gsize)y * gw, gw);
  for (int y = 0; y < gh / 2; ++y)
    memcpy(out.uv + (gsize)y * in->cw, grid + (gsize)gw * gh + (gsize)y * gw, gw);
  g_free(grid);
  return out;
}

/* ---- Buffer layouts ------------------------------------------------------------- */

typedef enum {
  LAYOUT_CAPS,           /* GstVideoInfo's layout, no GstVideoMeta */
  LAYOUT_PADDED,         /* wider rows, chroma plane below 6 spare rows: fits */
  LAYOUT_SHORT_CHROMA,   /* chroma plane below 6 spare rows, buffer ends after its visible rows */
  LAYOUT_STRIDES_DIFFER, /* chroma pitch differs from luma pitch */
  LAYOUT_ODD_ROWS,       /* chroma plane an odd number of rows below luma */
  LAYOUT_MID_ROW,        /* chroma plane starts within a row of the luma pitch */
  LAYOUT_ODD_PITCH,      /* one odd pitch for both planes */
  LAYOUT_CHROMA_FIRST,   /* chroma plane before the luma plane */
  LAYOUT_TWO_MEMORIES,   /* each plane in a GstMemory of its own */
  N_LAYOUTS
} Layout;

static const char *layout_names[N_LAYOUTS] = {"caps",           "padded",       "short chroma",
                                              "strides differ", "odd rows",     "mid row",
                                              "odd pitch",      "chroma first", "two memories"};

typedef struct {
  gsize offset[GST_VIDEO_MAX_PLANES];
  gint stride[GST_VIDEO_MAX_PLANES];
  gsize size, split; /* split: size of the first memory, or 0 */
  gboolean meta;
} Geometry;

/* Luma pitch s0, chroma pitch s1, the chroma plane `at` bytes after the luma plane. */
static Geometry planes(gint s0, gint s1, gsize at) { return (Geometry){{0, at}, {s0, s1}, 0, 0, TRUE}; }

static Geometry geometry(Layout l, int w, int h) {
  const int ew = (w + 1) & ~1, eh = (h + 1) & ~1, ch = eh / 2;
  Geometry g;
  switch (l) {
    case LAYOUT_CAPS: {
      GstVideoInfo info;
      gst_video_info_set_format(&info, GST_VIDEO_FORMAT_NV12, w, h);
      g = planes(GST_VIDEO_INFO_PLANE_STRIDE(&info, 0), GST_VIDEO_INFO_PLANE_STRIDE(&info, 1),
                 GST_VIDEO_INFO_PLANE_OFFSET(&info, 1));
      fail_unless_equals_uint64(GST_VIDEO_INFO_PLANE_OFFSET(&info, 0), 0);
      g.size = GST_VIDEO_INFO_SIZE(&info);
      g.meta = FALSE;
      return g;
    }
    case LAYOUT_PADDED: /* the library's frame of eh + 6 rows, as aligned decoders give */
      g = planes(ew + 64, ew + 64, (gsize)(ew + 64) * (eh + 6));
      g.size = g.offset[1] + (gsize)g.stride[1] * ((eh + 6) / 2);
      return g;
    case LAYOUT_SHORT_CHROMA: /* no row padding: a read past the last row faults */
      g = planes(ew, ew, (gsize)ew * (eh + 6));
      g.size = g.offset[1] + (gsize)g.stride[1] * ch;
      return g;
    case LAYOUT_STRIDES_DIFFER: /* all else as a fitting layout */
      g = planes(ew + 40, ew + 72, (gsize)(ew + 40) * (eh + 2));
      break;
    case LAYOUT_ODD_ROWS:
      g = planes(ew + 32, ew + 32, (gsize)(ew + 32) * ((h | 1) + 2));
      break;
    case LAYOUT_MID_ROW:
      g = planes(ew + 32, ew + 32, (gsize)(ew + 32) * (eh + 2) + 16);
      break;
    case LAYOUT_ODD_PITCH:
      g = planes(ew + 33, ew + 33, (gsize)(ew + 33) * (eh + 2));
      break;
    case LAYOUT_CHROMA_FIRST:
      g = planes(ew + 16, ew + 16, 0);
      g.offset[0] = (gsize)g.stride[1] * ch + 48;
      g.size = g.offset[0] + (gsize)g.stride[0] * h;
      return g;
    default: /* two memories */
      g = planes(ew, ew, (gsize)ew * eh);
      g.split = g.offset[1];
      break;
  }
  /* Room for the library's frame at every chroma offset above, so each
   * layout misses the library's frame by its own condition only. */
  g.size = g.offset[1] + (gsize)g.stride[1] * ((eh + 4) / 2 + 1);
  return g;
}

/* The bytes of a whole buffer holding `im` in layout g; CANARY elsewhere. */
static guint8 *buffer_bytes(const Geometry *g, const Image *im) {
  guint8 *b = g_malloc(g->size);
  memset(b, CANARY, g->size);
  for (int y = 0; y < im->h; ++y)
    memcpy(b + g->offset[0] + (gsize)y * g->stride[0], im->y + (gsize)y * im->w, im->w);
  for (int y = 0; y < im->ch; ++y)
    memcpy(b + g->offset[1] + (gsize)y * g->stride[1], im->uv + (gsize)y * im->cw, im->cw);
  return b;
}

typedef struct {
  void *base;
  gsize len;
} Mapping;

static void mapping_free(gpointer p) {
  Mapping *m = p;
  munmap(m->base, m->len);
  g_free(m);
}

/* A memory holding a copy of `bytes` that ends where an inaccessible page
 * begins (with another such page before it). */
static GstMemory *guarded_memory(const guint8 *bytes, gsize size) {
  const gsize page = (gsize)sysconf(_SC_PAGESIZE), span = (size + page - 1) / page * page;
  Mapping *m = g_new(Mapping, 1);
  m->len = span + 2 * page;
  m->base = mmap(NULL, m->len, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  fail_if(m->base == MAP_FAILED);
  guint8 *first = (guint8 *)m->base + page;
  fail_if(mprotect(m->base, page, PROT_NONE) || mprotect(first + span, page, PROT_NONE));
  guint8 *data = first + span - size;
  memcpy(data, bytes, size);
  return gst_memory_new_wrapped(0, data, size, 0, size, m, mapping_free);
}

static GstBuffer *make_buffer(Layout l, const Image *im, int t) {
  Geometry g = geometry(l, im->w, im->h);
  guint8 *bytes = buffer_bytes(&g, im);
  GstBuffer *buf = gst_buffer_new();
  if (g.split) {
    gst_buffer_append_memory(buf, guarded_memory(bytes, g.split));
    gst_buffer_append_memory(buf, guarded_memory(bytes + g.split, g.size - g.split));
  } else {
    gst_buffer_append_memory(buf, guarded_memory(bytes, g.size));
  }
  g_free(bytes);
  if (g.meta)
    gst_buffer_add_video_meta_full(buf, GST_VIDEO_FRAME_FLAG_NONE, GST_VIDEO_FORMAT_NV12, im->w,
                                   im->h, 2, g.offset, g.stride);
  GST_BUFFER_PTS(buf) = gst_util_uint64_scale(t, GST_SECOND, FPS);
  GST_BUFFER_DURATION(buf) = gst_util_uint64_scale(1, GST_SECOND, FPS);
  return buf;
}

/* ---- Running the element ------------------------------------------------------- */

static gchar *caps_string(int w, int h, int fps) {
  return g_strdup_printf("video/x-raw,format=NV12,width=%d,height=%d,framerate=%d/1", w, h, fps);
}

/* The element in a harness with NV12 caps; with a bus (and per-frame
 * messages) when bus is not NULL. */
static GstHarness *harness_new(int w, int h, GstBus **bus) {
  GstHarness *hr = gst_harness_new("tnrmd");
  if (bus) {
    *bus = gst_bus_new();
    gst_element_set_bus(hr->element, *bus);
    g_object_set(hr->element, "post-messages", TRUE, NULL);
  }
  gchar *caps = caps_string(w, h, FPS);
  gst_harness_set_src_caps_str(hr, caps);
  g_free(caps);
  return hr;
}

static void harness_free(GstHarness *hr, GstBus *bus) {
  if (bus) {
    gst_element_set_bus(hr->element, NULL);
    gst_object_unref(bus);
  }
  gst_harness_teardown(hr);
}

/* New caps alone: unlike gst_harness_set_src_caps, no segment follows. */
static void set_caps(GstHarness *hr, int w, int h, int fps) {
  gchar *s = caps_string(w, h, fps);
  fail_unless(gst_pad_push_event(hr->srcpad, gst_event_new_caps(gst_caps_from_string(s))));
  g_free(s);
}

/* Pushes `in` (frame t) in layout l and checks the output buffer byte for
 * byte: `want` in the frame's planes, every other byte untouched. */
static void push_image(GstHarness *hr, Layout l, const Image *in, const Image *want, int t,
                       guint32 seed, gboolean discont, const char *what) {
  const int w = in->w, h = in->h;
  GstBuffer *buf = make_buffer(l, in, t);
  if (discont) GST_BUFFER_FLAG_SET(buf, GST_BUFFER_FLAG_DISCONT);
  fail_unless_equals_int(gst_harness_push(hr, buf), GST_FLOW_OK);
  GstBuffer *out = gst_harness_pull(hr);
  fail_unless(out != NULL);

  const Geometry g = geometry(l, w, h);
  guint8 *want_bytes = buffer_bytes(&g, want), *in_bytes = buffer_bytes(&g, in);
  gsize size = 0;
  guint8 *got = NULL;
  gst_buffer_extract_dup(out, 0, gst_buffer_get_size(out), (gpointer *)&got, &size);
  fail_unless_equals_uint64(size, g.size);
  for (gsize i = 0; i < size; ++i) {
    if (got[i] == want_bytes[i]) continue;
    const int p = i >= g.offset[1] && i < g.offset[1] + (gsize)g.stride[1] * in->ch;
    const gsize rel = i - g.offset[p];
    fail("%s: %dx%d, layout %s, frame %d, seed %u: byte %" G_GSIZE_FORMAT
         " (plane %d row %" G_GSIZE_FORMAT " column %" G_GSIZE_FORMAT ") is %d, want %d (input %d)",
         what, w, h, layout_names[l], t, seed, i, p, rel / g.stride[p], rel % g.stride[p], got[i],
         want_bytes[i], in_bytes[i]);
  }
  g_free(got);
  g_free(want_bytes);
  g_free(in_bytes);
  gst_buffer_unref(out);
}

/* Frame t of the scene through the element, checked against the reference
 * (which it advances); r NULL: the frame must pass through unchanged. */
static void push_and_check(GstHarness *hr, Ref *r, Layout l, int w, int h, int t, guint32 seed,
                           gboolean discont, const char *what) {
  Image in = scene(w, h, t, seed);
  Image want = r ? expected(r, &in) : image_copy(&in);
  push_image(hr, l, &in, &want, t, seed, discont, what);
  image_free(&in);
  image_free(&want);
}

/* The element message of frame t reports the reference's means and times. */
static void check_stats(GstBus *bus, const Ref *r, int t) {
  GstMessage *m = gst_bus_pop_filtered(bus, GST_MESSAGE_ELEMENT);
  fail_unless(m != NULL, "no message for frame %d", t);
  fail_unless(gst_message_has_name(m, "tnrmd"));
  const GstStructure *s = gst_message_get_structure(m);
  double ratio = -1, gain = -1;
  guint64 ts = 0, running = 0;
  fail_unless(gst_structure_get_double(s, "mean-static-ratio", &ratio));
  fail_unless(gst_structure_get_double(s, "mean-gain", &gain));
  fail_unless(gst_structure_get_uint64(s, "timestamp", &ts));
  fail_unless(gst_structure_get_uint64(s, "running-time", &running));
  fail_unless_equals_uint64(ts, gst_util_uint64_scale(t, GST_SECOND, FPS));
  fail_unless_equals_uint64(running, ts);
  const gsize n = (gsize)r->w * r->h;
  fail_unless_equals_float(ratio, mean_of(r->alpha, n, 128.0));
  fail_unless_equals_float(gain, mean_of(r->gain, n, 1.0));
  gst_message_unref(m);
}

static const guint32 seeds[] = {1u, 0x9e3779b9u};

/* ---- Tests ----------------------------------------------------------------------- */

/* Every layout on its own, then all of them in turn within one sequence (the
 * element's previous frame follows each buffer's layout); odd widths and
 * heights too, whose even part is filtered while the last column and row
 * come out as they went in. */
GST_START_TEST(test_sequence_matches_library) {
  const int sizes[][2] = {{160, 96}, {250, 126}, {161, 96}, {160, 97}, {161, 97}, {123, 35}};
  for (guint s = 0; s < G_N_ELEMENTS(sizes); ++s) {
    const int w = sizes[s][0], h = sizes[s][1];
    for (int l = 0; l <= N_LAYOUTS; ++l) {
      GstHarness *hr = harness_new(w, h, NULL);
      Ref r;
      ref_init(&r, w & ~1, h & ~1, default_params);
      for (int t = 0; t < 5; ++t)
        push_and_check(hr, &r, l < N_LAYOUTS ? (Layout)l : (Layout)((t * 5) % N_LAYOUTS), w, h, t,
                       seeds[(s + l) % 2], FALSE, l < N_LAYOUTS ? "one layout" : "layouts in turn");
      ref_clear(&r);
      harness_free(hr, NULL);
    }
  }
}
GST_END_TEST;

typedef enum { BY_FLUSH, BY_FLUSH_ALONE, BY_SEGMENT, BY_DISCONT, BY_CAPS, BY_NEW_SIZE, N_RESTARTS } Restart;
static const char *restart_names[N_RESTARTS] = {"flush", "flush alone", "new segment",
                                                "DISCONT buffer", "caps change", "caps change of size"};

/* After each event the next frames equal a sequence that starts there; the
 * per-frame message reports the reference's means and times. */
GST_START_TEST(test_restarts) {
  for (int k = 0; k < N_RESTARTS; ++k)
    for (int l = 0; l < 2; ++l) {
      const Layout layout = l ? LAYOUT_STRIDES_DIFFER : LAYOUT_CAPS;
      int w = 160, h = 96;
      GstBus *bus;
      GstHarness *hr = harness_new(w, h, &bus);
      Ref r;
      ref_init(&r, w, h, default_params);
      for (int t = 0; t < 3; ++t) {
        push_and_check(hr, &r, layout, w, h, t, seeds[0], FALSE, "before the restart");
        check_stats(bus, &r, t);
      }
      ref_clear(&r);
      GstSegment segment;
      gst_segment_init(&segment, GST_FORMAT_TIME);
      GstPad *sinkpad = gst_element_get_static_pad(hr->element, "sink");
      switch ((Restart)k) {
        case BY_FLUSH:
          fail_unless(gst_harness_push_event(hr, gst_event_new_flush_start()));
          fail_unless(gst_harness_push_event(hr, gst_event_new_flush_stop(TRUE)));
          /* Data after a flush needs a segment, which restarts by itself. */
          fail_unless(gst_harness_push_event(hr, gst_event_new_segment(&segment)));
          break;
        case BY_FLUSH_ALONE:
          /* Straight to the element's sink pad while the harness keeps its
           * segment: no new segment reaches the element. */
          fail_unless(gst_pad_send_event(sinkpad, gst_event_new_flush_start()));
          fail_unless(gst_pad_send_event(sinkpad, gst_event_new_flush_stop(FALSE)));
          break;
        case BY_SEGMENT:
          fail_unless(gst_harness_push_event(hr, gst_event_new_segment(&segment)));
          break;
        case BY_CAPS:
          set_caps(hr, w, h, FPS / 2);
          break;
        case BY_NEW_SIZE:
          set_caps(hr, w = 176, h = 112, FPS);
          break;
        default: /* DISCONT: the flag on the next buffer */
          break;
      }
      gst_object_unref(sinkpad);
      ref_init(&r, w, h, default_params);
      for (int t = 3; t < 6; ++t) {
        /* After the flush alone, the sink pad warns once about data before a segment. */
        if (k == BY_FLUSH_ALONE && t == 3)
          ASSERT_WARNING(push_and_check(hr, &r, layout, w, h, t, seeds[0], FALSE, restart_names[k]));
        else
          push_and_check(hr, &r, layout, w, h, t, seeds[0], k == BY_DISCONT && t == 3, restart_names[k]);
        if (k != BY_FLUSH_ALONE) check_stats(bus, &r, t);
      }
      ref_clear(&r);
      harness_free(hr, bus);
    }
}
GST_END_TEST;

/* NV12 only, on both pads: other formats are refused and not negotiated. */
GST_START_TEST(test_refuses_other_formats) {
  GstHarness *hr = gst_harness_new("tnrmd");
  const char *formats[] = {"NV12", "I420", "NV21", "YUY2", "GRAY8", "RGBA", "P010_10LE"};
  for (guint i = 0; i < G_N_ELEMENTS(formats); ++i) {
    gchar *s = g_strdup_printf("video/x-raw,format=%s,width=160,height=96,framerate=30/1", formats[i]);
    GstCaps *caps = gst_caps_from_string(s);
    fail_unless(gst_pad_peer_query_accept_caps(hr->srcpad, caps) == (i == 0), "%s", formats[i]);
    gst_caps_unref(caps);
    g_free(s);
  }
  gst_pad_push_event(hr->srcpad, gst_event_new_caps(gst_caps_from_string(
                                     "video/x-raw,format=I420,width=160,height=96,framerate=30/1")));
  GstSegment segment;
  gst_segment_init(&segment, GST_FORMAT_TIME);
  gst_pad_push_event(hr->srcpad, gst_event_new_segment(&segment));
  fail_unless_equals_int(gst_harness_push(hr, gst_buffer_new_allocate(NULL, 160 * 96 * 3 / 2, NULL)),
                         GST_FLOW_NOT_NEGOTIATED);
  gst_harness_teardown(hr);
}
GST_END_TEST;

/* Properties set between two frames apply from the next frame on, through
 * the library's frame in place (padded layout) and through the element's own
 * frame (two memories). */
GST_START_TEST(test_property_change_mid_stream) {
  const int w = 160, h = 96;
  for (int l = 0; l < 2; ++l) {
    const Layout layout = l ? LAYOUT_TWO_MEMORIES : LAYOUT_PADDED;
    GstBus *bus;
    GstHarness *hr = harness_new(w, h, &bus);
    Ref r, old;
    ref_init(&r, w, h, default_params);
    ref_init(&old, w, h, default_params);
    for (int t = 0; t < 6; ++t) {
      if (t == 3) {
        g_object_set(hr->element, "sigma-h", 2.5f, "sigma-l", 0.5f, "uv-ratio", 0.25f,
                     "static-ratio-bit", 1, "gain", 200, "spatial", l ? 0.0f : 1.5f, NULL);
        r.p = (Params){2.5f, 0.5f, 0.25f, 1, 200, l ? 0.0f : 1.5f};
        memset(r.gain, 200, (gsize)w * h);
      }
      Image in = scene(w, h, t, seeds[l]);
      Image want = expected(&r, &in), with_old = expected(&old, &in);
      /* From the change on, the old settings would give other frames. */
      fail_unless_equals_int(memcmp(want.y, with_old.y, (gsize)w * h) != 0, t >= 3);
      push_image(hr, layout, &in, &want, t, seeds[l], FALSE, "property change");
      image_free(&in);
      image_free(&want);
      image_free(&with_old);
      check_stats(bus, &r, t);
    }
    fail_unless(gst_bus_pop_filtered(bus, GST_MESSAGE_ELEMENT) == NULL);
    ref_clear(&r);
    ref_clear(&old);
    harness_free(hr, bus);
  }
}
GST_END_TEST;

/* A controlled property (a trigger control source) changes at its stream
 * time, from that frame on. */
GST_START_TEST(test_controlled_property) {
  const int w = 160, h = 96;
  GstHarness *hr = harness_new(w, h, NULL);
  GstControlSource *cs = gst_trigger_control_source_new();
  GstTimedValueControlSource *tv = GST_TIMED_VALUE_CONTROL_SOURCE(cs);
  fail_unless(gst_timed_value_control_source_set(tv, 0, 1.1));
  fail_unless(gst_timed_value_control_source_set(tv, gst_util_uint64_scale(3, GST_SECOND, FPS), 3.0));
  fail_unless(gst_object_add_control_binding(
      GST_OBJECT(hr->element), gst_direct_control_binding_new_absolute(GST_OBJECT(hr->element), "sigma-h", cs)));
  Ref r;
  ref_init(&r, w, h, default_params);
  for (int t = 0; t < 5; ++t) {
    if (t == 3) r.p.sigma_h = 3.0f;
    push_and_check(hr, &r, LAYOUT_CAPS, w, h, t, seeds[0], FALSE, "controlled sigma-h");
  }
  ref_clear(&r);
  gst_object_unref(cs);
  harness_free(hr, NULL);
}
GST_END_TEST;

/* Each tuning property takes the ends of its range, the library's tuning
 * limits among them, and refuses values beyond them (with GLib's warning),
 * keeping its value. */
GST_START_TEST(test_property_ranges) {
  GstElement *e = gst_element_factory_make("tnrmd", NULL);
  const struct {
    const char *name;
    double max, step;
  } props[] = {{"sigma-h", TNR_MD_SIGMA_H_SCALE_MAX, 0.01}, {"sigma-l", TNR_MD_SIGMA_L_SCALE_MAX, 0.01},
               {"uv-ratio", TNR_MD_UV_RATIO_MAX, 0.01},     {"spatial", 15.9, 0.01},
               {"static-ratio-bit", 255, 1},                {"gain", 255, 1}};
  for (guint i = 0; i < G_N_ELEMENTS(props); ++i)
    for (int k = 0; k < 4; ++k) { /* 0, the maximum, below 0, above the maximum */
      const double value = (k & 1 ? props[i].max : 0) + (k & 2 ? (k & 1 ? 1 : -1) * props[i].step : 0);
      GParamSpec *ps = g_object_class_find_property(G_OBJECT_GET_CLASS(e), props[i].name);
      GValue d = G_VALUE_INIT, v = G_VALUE_INIT, got = G_VALUE_INIT;
      g_value_set_double(g_value_init(&d, G_TYPE_DOUBLE), value);
      fail_unless(g_value_transform(&d, g_value_init(&v, ps->value_type)));
      if (k < 2)
        g_object_set_property(G_OBJECT(e), props[i].name, &v);
      else
        ASSERT_WARNING(g_object_set_property(G_OBJECT(e), props[i].name, &v));
      g_object_get_property(G_OBJECT(e), props[i].name, g_value_init(&got, ps->value_type));
      fail_unless((g_param_values_cmp(ps, &v, &got) == 0) == (k < 2), "%s = %g", props[i].name, value);
    }
  gst_object_unref(e);
}
GST_END_TEST;

/* Frames the library does not accept pass through unchanged, with one
 * warning. */
GST_START_TEST(test_too_small_passes_through) {
  const int sizes[][2] = {{8, 8}, {9, 8}, {12, 9}, {200, 7}};
  for (guint s = 0; s < G_N_ELEMENTS(sizes); ++s) {
    const int w = sizes[s][0], h = sizes[s][1];
    fail_unless_equals_uint64(motionDetectTmpBufSize(h & ~1, w & ~1), 0);
    GstBus *bus;
    GstHarness *hr = harness_new(w, h, &bus);
    for (int t = 0; t < 3; ++t)
      push_and_check(hr, NULL, t == 1 ? LAYOUT_PADDED : LAYOUT_CAPS, w, h, t, seeds[0], FALSE, "too small");
    GstMessage *m = gst_bus_pop_filtered(bus, GST_MESSAGE_WARNING);
    fail_unless(m != NULL, "%dx%d: no warning", w, h);
    gst_message_unref(m);
    fail_unless(gst_bus_pop_filtered(bus, GST_MESSAGE_WARNING) == NULL, "more than one warning");
    fail_unless(gst_bus_pop_filtered(bus, GST_MESSAGE_ELEMENT) == NULL);
    harness_free(hr, bus);
  }
}
GST_END_TEST;

static Suite *tnrmd_suite(void) {
  Suite *s = suite_create("tnrmd");
  TCase *tc = tcase_create("general");
  tcase_set_timeout(tc, 120);
  suite_add_tcase(s, tc);
  tcase_add_test(tc, test_sequence_matches_library);
  tcase_add_test(tc, test_restarts);
  tcase_add_test(tc, test_refuses_other_formats);
  tcase_add_test(tc, test_property_change_mid_stream);
  tcase_add_test(tc, test_controlled_property);
  tcase_add_test(tc, test_property_ranges);
  tcase_add_test(tc, test_too_small_passes_through);
  return s;
}

GST_CHECK_MAIN(tnrmd);
