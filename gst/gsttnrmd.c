/*
 * tnrmd: motion-adaptive temporal noise reduction of NV12 video, in place.
 *
 *   gst-launch-1.0 v4l2src ! video/x-raw,format=NV12 ! tnrmd sigma-h=1.1 ! autovideosink
 *
 * Each frame is filtered by motion_detect against the previous filtered frame.
 * The element keeps its own copy of that frame's processing grid, the
 * recursive weights and the gain table, so it holds no upstream buffer. A new
 * sequence (the previous frame is the current one, weights 0, gains at their
 * start value) begins on new caps, a flush, a new segment and a buffer flagged
 * DISCONT. The processing grid is the even top-left part of the frame: an odd
 * last column or row passes through.
 *
 * Buffers are filtered where they lie when their layout is the library's
 * frame: both planes at one even pitch, the chroma plane an even number k of
 * luma rows (at least the grid's) below the first luma row, and the whole
 * frame of k luma and k / 2 chroma rows in one mapping (the library may read
 * any byte of its frame, padding included). Other layouts go through a
 * contiguous frame of the element's own.
 *
 * A buffer whose layout does not fit its memory (a GstVideoMeta claiming
 * strides or offsets that run past the memory holding a plane) passes through
 * untouched, with one warning per caps on the bus: see layout_in_memory.
 */
#include "gsttnrmd.h"

#include <string.h>

#include <math.h>

#include "motion_detect.h"

GST_DEBUG_CATEGORY_STATIC(gst_tnr_md_debug);
#define GST_CAT_DEFAULT gst_tnr_md_debug

/* Defaults and ranges are the tnr tool's. */
#define DEFAULT_SIGMA_H 1.1f
#define DEFAULT_SIGMA_L 0.12f
#define DEFAULT_UV_RATIO 0.75f
#define DEFAULT_STATIC_RATIO_BIT 4
#define DEFAULT_GAIN 128
#define DEFAULT_POST_MESSAGES FALSE
#define DEFAULT_SPATIAL 5.0f
#define MAX_SPATIAL 15.9f

enum {
  PROP_0,
  PROP_SIGMA_H,
  PROP_SIGMA_L,
  PROP_UV_RATIO,
  PROP_STATIC_RATIO_BIT,
  PROP_GAIN,
  PROP_POST_MESSAGES,
  PROP_SPATIAL,
};

static GstStaticPadTemplate sink_template = GST_STATIC_PAD_TEMPLATE(
    "sink", GST_PAD_SINK, GST_PAD_ALWAYS, GST_STATIC_CAPS(GST_VIDEO_CAPS_MAKE("NV12")));
static GstStaticPadTemplate src_template = GST_STATIC_PAD_TEMPLATE(
    "src", GST_PAD_SRC, GST_PAD_ALWAYS, GST_STATIC_CAPS(GST_VIDEO_CAPS_MAKE("NV12")));

G_DEFINE_TYPE(GstTnrMd, gst_tnr_md, GST_TYPE_VIDEO_FILTER);
GST_ELEMENT_REGISTER_DEFINE(tnrmd, "tnrmd", GST_RANK_NONE, GST_TYPE_TNR_MD);

/* ---- Element-owned frames ------------------------------------------------- */

static void frame_clear(GstTnrMdFrame *f) {
  g_free(f->data);
  memset(f, 0, sizeof(*f));
}

/* Copies the grid (gh luma rows and gh / 2 chroma rows of gw bytes). */
static void copy_grid(guint8 *dst_y, guint8 *dst_uv, gint dst_pitch_y, gint dst_pitch_uv,
                      const guint8 *src_y, const guint8 *src_uv, gint src_pitch_y,
                      gint src_pitch_uv, gint gw, gint gh) {
  if (dst_pitch_y == gw && src_pitch_y == gw) {
    memcpy(dst_y, src_y, (gsize)gw * gh);
  } else {
    for (gint r = 0; r < gh; ++r)
      memcpy(dst_y + (gsize)r * dst_pitch_y, src_y + (gsize)r * src_pitch_y, gw);
  }
  if (dst_pitch_uv == gw && src_pitch_uv == gw) {
    memcpy(dst_uv, src_uv, (gsize)gw * (gh / 2));
  } else {
    for (gint r = 0; r < gh / 2; ++r)
      memcpy(dst_uv + (gsize)r * dst_pitch_uv, src_uv + (gsize)r * src_pitch_uv, gw);
  }
}

static guint8 *frame_chroma(const GstTnrMdFrame *f) {
  return f->data + (gsize)f->pitch * f->chroma_row;
}

/* Gives f the layout; its contents are undefined afterwards unless keep_grid,
 * which carries the grid over from the old layout. */
static gboolean frame_set_layout(GstTnrMdFrame *f, gint pitch, gint chroma_row, gint gw, gint gh,
                                 gboolean keep_grid) {
  if (f->data && f->pitch == pitch && f->chroma_row == chroma_row) return TRUE;
  /* The library's whole frame, zeroed when allocated: the library reads the
   * bytes outside the grid too, and no result depends on them. */
  const gsize size = (gsize)pitch * (chroma_row + chroma_row / 2);
  GstTnrMdFrame n = {NULL, size, pitch, chroma_row};
  if (!keep_grid && f->data && f->size >= size) {
    f->pitch = pitch;
    f->chroma_row = chroma_row;
    return TRUE;
  }
  n.data = g_try_malloc0(size);
  if (!n.data) return FALSE;
  if (keep_grid && f->data)
    copy_grid(n.data, frame_chroma(&n), pitch, pitch, f->data, frame_chroma(f), f->pitch, f->pitch,
              gw, gh);
  frame_clear(f);
  *f = n;
  return TRUE;
}

/* Whether the memory mapped for each plane holds the rows the filter reads
 * and writes there: gh luma rows and gh / 2 chroma rows of gw bytes at the
 * plane's stride, which must be at least gw (rows that overlap or run upwards
 * are no layout the element takes). Mapping a frame with a GstVideoMeta only
 * finds the memory where each plane begins, so a meta that overstates its
 * buffer maps; this is the one check both paths rely on, made on every buffer
 * before either path reads a byte.
 *
 * Such a buffer passes through untouched, with a warning, rather than
 * stopping the stream with an error: a live pipeline (a camera, a network
 * source) keeps running and shows the frame unfiltered, as the base class
 * does with a buffer it cannot map at all. The previous frame stays the last
 * one filtered, as after a dropped frame. */
static gboolean layout_in_memory(const GstVideoFrame *frame, gint gw, gint gh) {
  for (guint p = 0; p < 2; ++p) {
    /* Without a meta the whole buffer is mapped once, in map[0]. */
    const GstMapInfo *map = &frame->map[frame->meta ? p : 0];
    const guintptr base = (guintptr)map->data;
    const guintptr at = (guintptr)GST_VIDEO_FRAME_PLANE_DATA(frame, p);
    const gint stride = GST_VIDEO_FRAME_PLANE_STRIDE(frame, p);
    const guint64 rows = (guint64)(p ? gh / 2 : gh);
    if (stride < gw || at < base || at - base > map->size) return FALSE;
    if ((guint64)stride * (rows - 1) + (guint64)gw > (guint64)(map->size - (at - base)))
      return FALSE;
  }
  return TRUE;
}

/* Whether the buffer's planes form the library's frame; if so, its pitch and
 * the luma row at which the chroma plane starts. */
static gboolean layout_fits(const GstVideoFrame *frame, gint gw, gint gh, gint *pitch,
                            gint *chroma_row) {
  const guint8 *y = GST_VIDEO_FRAME_PLANE_DATA(frame, 0);
  const guint8 *uv = GST_VIDEO_FRAME_PLANE_DATA(frame, 1);
  const gint stride = GST_VIDEO_FRAME_PLANE_STRIDE(frame, 0);
  if (stride != GST_VIDEO_FRAME_PLANE_STRIDE(frame, 1) || stride < gw || (stride & 1)) return FALSE;
  /* Both planes in plane 0's mapping, so the offset between them is defined. */
  const guintptr base = (guintptr)frame->map[0].data, end = base + frame->map[0].size;
  const guintptr py = (guintptr)y, puv = (guintptr)uv;
  if (py < base || puv <= py || puv >= end) return FALSE;
  const guintptr offset = puv - py;
  if (offset % (guintptr)stride) return FALSE;
  const guint64 rows = offset / (guintptr)stride;
  if ((rows & 1) || rows < (guint64)gh) return FALSE;
  /* The library's frame (rows / 2 chroma rows) lies in the mapping, and its
   * size within the int arithmetic the library does. */
  if ((guint64)(end - puv) < (guint64)stride * (rows / 2)) return FALSE;
  if ((guint64)stride * (rows + rows / 2) > G_MAXINT) return FALSE;
  *pitch = stride;
  *chroma_row = (gint)rows;
  return TRUE;
}

/* ---- State ------------------------------------------------------------------ */

static void gst_tnr_md_free_state(GstTnrMd *self) {
  g_free(self->scratch);
  g_free(self->alpha);
  g_free(self->pre_alpha);
  g_free(self->gain_table);
  self->scratch = NULL;
  self->alpha = self->pre_alpha = self->gain_table = NULL;
  frame_clear(&self->prev);
  frame_clear(&self->work);
  self->grid_w = self->grid_h = 0;
  self->logged_path = -1;
  self->warned_layout = FALSE;
}

static void gst_tnr_md_request_restart(GstTnrMd *self, const gchar *why) {
  GST_OBJECT_LOCK(self);
  self->restart = TRUE;
  GST_OBJECT_UNLOCK(self);
  GST_DEBUG_OBJECT(self, "new sequence at the next frame: %s", why);
}

static gboolean gst_tnr_md_set_info(GstVideoFilter *filter, GstCaps *incaps, GstVideoInfo *in_info,
                                    GstCaps *outcaps, GstVideoInfo *out_info) {
  GstTnrMd *self = GST_TNR_MD(filter);
  (void)incaps;
  (void)outcaps;
  (void)out_info;
  const gint width = GST_VIDEO_INFO_WIDTH(in_info), height = GST_VIDEO_INFO_HEIGHT(in_info);
  const gint gw = width & ~1, gh = height & ~1;

  gst_tnr_md_free_state(self);
  gst_tnr_md_request_restart(self, "new caps");
  const size_t scratch = motionDetectTmpBufSize(gh, gw);
  if (scratch == 0) {
    /* The library refuses grids below about 14x8, and grids whose scratch
     * buffer (12 bytes a sample) would reach 4 GiB. */
    const gboolean large = 12 * (guint64)gw * (guint64)gh >= G_GUINT64_CONSTANT(1) << 32;
    GST_ELEMENT_WARNING(self, STREAM, FORMAT,
                        ("Frames of %dx%d are too %s for temporal noise reduction; "
                         "they pass through unchanged.",
                         width, height, large ? "large" : "small"),
                        ("the library does not accept a %dx%d processing grid%s", gw, gh,
                         large ? ": its scratch buffer (12 bytes a sample) must stay below 4 GiB"
                               : ""));
    gst_base_transform_set_passthrough(GST_BASE_TRANSFORM(filter), TRUE);
    return TRUE;
  }
  gst_base_transform_set_passthrough(GST_BASE_TRANSFORM(filter), FALSE);
  /* Interlaced frames are filtered whole, as progressive ones: said once per
   * caps. The caps, and with them the field order, pass on unchanged. */
  if (GST_VIDEO_INFO_IS_INTERLACED(in_info)) {
    const GstVideoFieldOrder order = GST_VIDEO_INFO_FIELD_ORDER(in_info);
    GST_ELEMENT_INFO(self, STREAM, FORMAT,
                     ("Interlaced video (%s%s%s) is filtered as progressive frames; its caps, field "
                      "order included, pass on unchanged.",
                      gst_video_interlace_mode_to_string(GST_VIDEO_INFO_INTERLACE_MODE(in_info)),
                      order != GST_VIDEO_FIELD_ORDER_UNKNOWN ? ", " : "",
                      order != GST_VIDEO_FIELD_ORDER_UNKNOWN ? gst_video_field_order_to_string(order) : ""),
                     /* gst-launch-1.0 shows only this part of an info message */
                     ("interlace-mode=%s, field-order=%s: filtered as progressive frames, caps unchanged",
                      gst_video_interlace_mode_to_string(GST_VIDEO_INFO_INTERLACE_MODE(in_info)),
                      gst_video_field_order_to_string(order)));
  }

  const gsize maps = (gsize)gw * gh;
  self->scratch = g_try_malloc(scratch * sizeof(int16_t));
  self->alpha = g_try_malloc(maps);
  self->pre_alpha = g_try_malloc(maps);
  self->gain_table = g_try_malloc(maps);
  /* The previous frame in the layout the caps promise; the contiguous frame
   * only for caps whose layout the library cannot take. A buffer with another
   * layout (a GstVideoMeta of its own) changes them at its frame. */
  const gint stride = GST_VIDEO_INFO_PLANE_STRIDE(in_info, 0);
  const gsize offset = GST_VIDEO_INFO_PLANE_OFFSET(in_info, 1);
  const gboolean fits = stride == GST_VIDEO_INFO_PLANE_STRIDE(in_info, 1) && stride >= gw &&
                        !(stride & 1) && offset % stride == 0 && !((offset / stride) & 1) &&
                        offset / stride >= (gsize)gh &&
                        GST_VIDEO_INFO_SIZE(in_info) >= offset + stride * (offset / stride / 2);
  gboolean ok = self->scratch && self->alpha && self->pre_alpha && self->gain_table;
  if (fits)
    ok = ok && frame_set_layout(&self->prev, stride, (gint)(offset / stride), gw, gh, FALSE);
  else
    ok = ok && frame_set_layout(&self->prev, gw, gh, gw, gh, FALSE) &&
         frame_set_layout(&self->work, gw, gh, gw, gh, FALSE);
  if (!ok) {
    gst_tnr_md_free_state(self);
    GST_ELEMENT_ERROR(self, RESOURCE, NO_SPACE_LEFT, (NULL),
                      ("cannot allocate the state of a %dx%d frame", width, height));
    return FALSE;
  }
  self->grid_w = gw;
  self->grid_h = gh;
  GST_DEBUG_OBJECT(self, "%dx%d frames, processing grid %dx%d, caps layout %s", width, height, gw,
                   gh, fits ? "fits the library" : "needs a contiguous copy");
  return TRUE;
}

/* Names the path in the debug log once per caps, and again when it changes. */
static void gst_tnr_md_log_path(GstTnrMd *self, gint path, const GstVideoFrame *frame) {
  if (self->logged_path == path) return;
  self->logged_path = path;
  const gint stride_y = GST_VIDEO_FRAME_PLANE_STRIDE(frame, 0);
  const gint stride_uv = GST_VIDEO_FRAME_PLANE_STRIDE(frame, 1);
  const gint64 offset = (gint64)((guintptr)GST_VIDEO_FRAME_PLANE_DATA(frame, 1) -
                                 (guintptr)GST_VIDEO_FRAME_PLANE_DATA(frame, 0));
  if (path == 0)
    GST_INFO_OBJECT(self,
                    "filtering in place, no copy (pitch %d, chroma plane %" G_GINT64_FORMAT
                    " bytes after the luma plane)",
                    stride_y, offset);
  else
    GST_INFO_OBJECT(self,
                    "buffer layout (strides %d and %d, chroma plane %" G_GINT64_FORMAT
                    " bytes after the luma plane) is not the library's frame: filtering a "
                    "contiguous copy, copied back",
                    stride_y, stride_uv, offset);
}

/* ---- Per frame ---------------------------------------------------------------- */

static void gst_tnr_md_post_stats(GstTnrMd *self, GstBuffer *buf) {
  const gsize n = (gsize)self->grid_w * self->grid_h;
  guint64 alpha_sum = 0, gain_sum = 0;
  for (gsize i = 0; i < n; ++i) {
    alpha_sum += self->alpha[i];
    gain_sum += self->gain_table[i];
  }
  const GstSegment *segment = &GST_BASE_TRANSFORM(self)->segment;
  const GstClockTime ts = GST_BUFFER_PTS(buf);
  GstClockTime running_time = GST_CLOCK_TIME_NONE, stream_time = GST_CLOCK_TIME_NONE;
  if (segment->format == GST_FORMAT_TIME && GST_CLOCK_TIME_IS_VALID(ts)) {
    running_time = gst_segment_to_running_time(segment, GST_FORMAT_TIME, ts);
    stream_time = gst_segment_to_stream_time(segment, GST_FORMAT_TIME, ts);
  }
  GstStructure *s =
      gst_structure_new("tnrmd", "timestamp", G_TYPE_UINT64, ts, "stream-time", G_TYPE_UINT64,
                        stream_time, "running-time", G_TYPE_UINT64, running_time, "duration",
                        G_TYPE_UINT64, GST_BUFFER_DURATION(buf), "mean-static-ratio", G_TYPE_DOUBLE,
                        (double)alpha_sum / (128.0 * (double)n), "mean-gain", G_TYPE_DOUBLE,
                        (double)gain_sum / (double)n, NULL);
  gst_element_post_message(GST_ELEMENT(self), gst_message_new_element(GST_OBJECT(self), s));
}

static GstFlowReturn gst_tnr_md_transform_frame_ip(GstVideoFilter *filter, GstVideoFrame *frame) {
  GstTnrMd *self = GST_TNR_MD(filter);
  const gint gw = self->grid_w, gh = self->grid_h;
  if (gw == 0) return GST_FLOW_OK;

  if (!layout_in_memory(frame, gw, gh)) {
    if (!self->warned_layout)
      GST_ELEMENT_WARNING(
          self, STREAM, FORMAT,
          ("A buffer's layout does not fit its memory; such buffers pass through unfiltered."),
          ("planes at offsets %" G_GSIZE_FORMAT " and %" G_GSIZE_FORMAT " with strides %d and %d "
           "in a buffer of %" G_GSIZE_FORMAT " bytes; the filter needs %d and %d rows of %d bytes",
           GST_VIDEO_INFO_PLANE_OFFSET(&frame->info, 0), GST_VIDEO_INFO_PLANE_OFFSET(&frame->info, 1),
           GST_VIDEO_FRAME_PLANE_STRIDE(frame, 0), GST_VIDEO_FRAME_PLANE_STRIDE(frame, 1),
           gst_buffer_get_size(frame->buffer), gh, gh / 2, gw));
    else
      GST_DEBUG_OBJECT(self, "buffer layout does not fit its memory: passed through");
    self->warned_layout = TRUE;
    /* A new sequence the buffer asked for begins at the next filtered one. */
    if (GST_BUFFER_IS_DISCONT(frame->buffer)) gst_tnr_md_request_restart(self, "DISCONT buffer");
    return GST_FLOW_OK;
  }

  GST_OBJECT_LOCK(self);
  const gfloat sigma_h = self->sigma_h, sigma_l = self->sigma_l, uv_ratio = self->uv_ratio;
  const gint static_ratio_bit = self->static_ratio_bit, gain = self->gain;
  /* The spatial stage's strength in 1/16, as the tnr tool rounds it. */
  const int spatial = (int)lroundf(self->spatial * 16.0f);
  const gboolean post = self->post_messages, gain_changed = self->gain_changed;
  gboolean restart = self->restart;
  self->restart = self->gain_changed = FALSE;
  GST_OBJECT_UNLOCK(self);

  if (GST_BUFFER_IS_DISCONT(frame->buffer)) {
    GST_DEBUG_OBJECT(self, "new sequence: DISCONT buffer");
    restart = TRUE;
  }
  const gsize maps = (gsize)gw * gh;
  if (restart) memset(self->pre_alpha, 0, maps); /* no history */
  if (restart || gain_changed) memset(self->gain_table, gain, maps);

  guint8 *y = GST_VIDEO_FRAME_PLANE_DATA(frame, 0);
  guint8 *uv = GST_VIDEO_FRAME_PLANE_DATA(frame, 1);
  const gint stride_y = GST_VIDEO_FRAME_PLANE_STRIDE(frame, 0);
  const gint stride_uv = GST_VIDEO_FRAME_PLANE_STRIDE(frame, 1);
  gint pitch, chroma_row;
  if (layout_fits(frame, gw, gh, &pitch, &chroma_row)) {
    gst_tnr_md_log_path(self, 0, frame);
    /* The previous frame takes the buffer's layout; at a new sequence it is
     * the current frame. */
    if (!frame_set_layout(&self->prev, pitch, chroma_row, gw, gh, !restart)) goto no_memory;
    if (restart)
      copy_grid(self->prev.data, frame_chroma(&self->prev), pitch, pitch, y, uv, pitch, pitch, gw,
                gh);
    motion_detect(y, self->prev.data, self->scratch, self->alpha, self->pre_alpha, self->gain_table,
                  chroma_row, pitch, gh, gw, gw, sigma_h, sigma_l, uv_ratio, 0.0f,
                  static_ratio_bit);
    copy_grid(self->prev.data, frame_chroma(&self->prev), pitch, pitch, y, uv, pitch, pitch, gw,
              gh);
    /* The spatial stage writes the buffer's grid from the temporally
     * filtered copy, which stays the next previous frame. */
    if (spatial > 0)
      spatial_denoise(self->prev.data, y, self->pre_alpha, chroma_row, pitch, gh, gw, gw,
                      motionDetectNoiseLevel(self->scratch, gh, gw, uv_ratio), spatial);
  } else {
    gst_tnr_md_log_path(self, 1, frame);
    if (!frame_set_layout(&self->work, gw, gh, gw, gh, FALSE) ||
        !frame_set_layout(&self->prev, gw, gh, gw, gh, !restart))
      goto no_memory;
    GstTnrMdFrame *work = &self->work;
    copy_grid(work->data, frame_chroma(work), gw, gw, y, uv, stride_y, stride_uv, gw, gh);
    if (restart) memcpy(self->prev.data, work->data, (gsize)gw * gh * 3 / 2);
    motion_detect(work->data, self->prev.data, self->scratch, self->alpha, self->pre_alpha,
                  self->gain_table, gh, gw, gh, gw, gw, sigma_h, sigma_l, uv_ratio, 0.0f,
                  static_ratio_bit);
    /* With the spatial stage, its output goes into the previous frame,
     * which motion_detect no longer needs, and from there to the buffer. */
    const GstTnrMdFrame *out = work;
    if (spatial > 0) {
      spatial_denoise(work->data, self->prev.data, self->pre_alpha, gh, gw, gh, gw, gw,
                      motionDetectNoiseLevel(self->scratch, gh, gw, uv_ratio), spatial);
      out = &self->prev;
    }
    copy_grid(y, uv, stride_y, stride_uv, out->data, frame_chroma(out), gw, gw, gw, gh);
    /* The filtered frame becomes the previous one. */
    const GstTnrMdFrame t = self->prev;
    self->prev = self->work;
    self->work = t;
  }
  if (post) gst_tnr_md_post_stats(self, frame->buffer);
  return GST_FLOW_OK;

no_memory:
  GST_ELEMENT_ERROR(self, RESOURCE, NO_SPACE_LEFT, (NULL),
                    ("cannot allocate a %dx%d frame", frame->info.width, frame->info.height));
  return GST_FLOW_ERROR;
}

/* ---- Events, states, properties ------------------------------------------- */

/* Controlled properties take their values at the buffer's stream time. */
static void gst_tnr_md_before_transform(GstBaseTransform *trans, GstBuffer *buf) {
  const GstClockTime ts = GST_BUFFER_PTS(buf);
  if (trans->segment.format != GST_FORMAT_TIME || !GST_CLOCK_TIME_IS_VALID(ts)) return;
  const GstClockTime stream_time = gst_segment_to_stream_time(&trans->segment, GST_FORMAT_TIME, ts);
  if (GST_CLOCK_TIME_IS_VALID(stream_time)) gst_object_sync_values(GST_OBJECT(trans), stream_time);
}

static gboolean gst_tnr_md_sink_event(GstBaseTransform *trans, GstEvent *event) {
  switch (GST_EVENT_TYPE(event)) {
    case GST_EVENT_FLUSH_STOP:
    case GST_EVENT_SEGMENT:
      gst_tnr_md_request_restart(GST_TNR_MD(trans), GST_EVENT_TYPE_NAME(event));
      break;
    default:
      break;
  }
  return GST_BASE_TRANSFORM_CLASS(gst_tnr_md_parent_class)->sink_event(trans, event);
}

static gboolean gst_tnr_md_stop(GstBaseTransform *trans) {
  gst_tnr_md_free_state(GST_TNR_MD(trans));
  return TRUE;
}

static void gst_tnr_md_set_property(GObject *object, guint prop_id, const GValue *value,
                                    GParamSpec *pspec) {
  GstTnrMd *self = GST_TNR_MD(object);
  GST_OBJECT_LOCK(self);
  switch (prop_id) {
    case PROP_SIGMA_H:
      self->sigma_h = g_value_get_float(value);
      break;
    case PROP_SIGMA_L:
      self->sigma_l = g_value_get_float(value);
      break;
    case PROP_UV_RATIO:
      self->uv_ratio = g_value_get_float(value);
      break;
    case PROP_STATIC_RATIO_BIT:
      self->static_ratio_bit = g_value_get_int(value);
      break;
    case PROP_GAIN:
      self->gain = g_value_get_int(value);
      self->gain_changed = TRUE;
      break;
    case PROP_POST_MESSAGES:
      self->post_messages = g_value_get_boolean(value);
      break;
    case PROP_SPATIAL:
      self->spatial = g_value_get_float(value);
      break;
    default:
      G_OBJECT_WARN_INVALID_PROPERTY_ID(object, prop_id, pspec);
      break;
  }
  GST_OBJECT_UNLOCK(self);
}

static void gst_tnr_md_get_property(GObject *object, guint prop_id, GValue *value,
                                    GParamSpec *pspec) {
  GstTnrMd *self = GST_TNR_MD(object);
  GST_OBJECT_LOCK(self);
  switch (prop_id) {
    case PROP_SIGMA_H:
      g_value_set_float(value, self->sigma_h);
      break;
    case PROP_SIGMA_L:
      g_value_set_float(value, self->sigma_l);
      break;
    case PROP_UV_RATIO:
      g_value_set_float(value, self->uv_ratio);
      break;
    case PROP_STATIC_RATIO_BIT:
      g_value_set_int(value, self->static_ratio_bit);
      break;
    case PROP_GAIN:
      g_value_set_int(value, self->gain);
      break;
    case PROP_POST_MESSAGES:
      g_value_set_boolean(value, self->post_messages);
      break;
    case PROP_SPATIAL:
      g_value_set_float(value, self->spatial);
      break;
    default:
      G_OBJECT_WARN_INVALID_PROPERTY_ID(object, prop_id, pspec);
      break;
  }
  GST_OBJECT_UNLOCK(self);
}

static void gst_tnr_md_finalize(GObject *object) {
  gst_tnr_md_free_state(GST_TNR_MD(object));
  G_OBJECT_CLASS(gst_tnr_md_parent_class)->finalize(object);
}

static void gst_tnr_md_class_init(GstTnrMdClass *klass) {
  GObjectClass *gobject_class = G_OBJECT_CLASS(klass);
  GstElementClass *element_class = GST_ELEMENT_CLASS(klass);
  GstBaseTransformClass *trans_class = GST_BASE_TRANSFORM_CLASS(klass);
  GstVideoFilterClass *filter_class = GST_VIDEO_FILTER_CLASS(klass);
  const GParamFlags flags = G_PARAM_READWRITE | GST_PARAM_CONTROLLABLE | GST_PARAM_MUTABLE_PLAYING |
                            G_PARAM_STATIC_STRINGS;

  GST_DEBUG_CATEGORY_INIT(gst_tnr_md_debug, "tnrmd", 0, "temporal noise reduction (tnr_md)");

  gobject_class->set_property = gst_tnr_md_set_property;
  gobject_class->get_property = gst_tnr_md_get_property;
  gobject_class->finalize = gst_tnr_md_finalize;

  g_object_class_install_property(
      gobject_class, PROP_SIGMA_H,
      g_param_spec_float("sigma-h", "Pixel noise scale",
                         "Scale of the per-pixel noise level that a change must exceed to count "
                         "as motion: higher blends more and trails moving objects sooner",
                         0.0f, TNR_MD_SIGMA_H_SCALE_MAX, DEFAULT_SIGMA_H, flags));
  g_object_class_install_property(
      gobject_class, PROP_SIGMA_L,
      g_param_spec_float("sigma-l", "Block noise scale",
                         "Scale of the per-8x8-block noise level that a change must exceed to "
                         "count as motion: higher blends more and trails moving objects sooner",
                         0.0f, TNR_MD_SIGMA_L_SCALE_MAX, DEFAULT_SIGMA_L, flags));
  g_object_class_install_property(
      gobject_class, PROP_UV_RATIO,
      g_param_spec_float("uv-ratio", "Chroma weight",
                         "Weight of chroma differences in motion detection (1 = as much as luma)",
                         0.0f, TNR_MD_UV_RATIO_MAX, DEFAULT_UV_RATIO, flags));
  g_object_class_install_property(
      gobject_class, PROP_STATIC_RATIO_BIT,
      g_param_spec_int("static-ratio-bit", "Static ratio exponent",
                       "log2 of the static ratio (x128) at full motion; changes only the static "
                       "ratio and the gain table, never the video (8 and more give 0; only the "
                       "low 8 bits count)",
                       0, 255, DEFAULT_STATIC_RATIO_BIT, flags));
  g_object_class_install_property(
      gobject_class, PROP_GAIN,
      g_param_spec_int("gain", "Start gain",
                       "Start value of the per-pixel gain table, which every frame scales by its "
                       "static ratio (128 = 1.0); fills the table at each new sequence, and "
                       "refills it at the next frame when changed. Never changes the video",
                       0, 255, DEFAULT_GAIN, flags));
  g_object_class_install_property(
      gobject_class, PROP_SPATIAL,
      g_param_spec_float("spatial", "Spatial strength",
                         "Spatial noise reduction after the temporal stage: edge-preserving "
                         "threshold at moving pixels in units of the noise sigma the library "
                         "estimates, fading where frames were averaged (0 = off)",
                         0.0f, MAX_SPATIAL, DEFAULT_SPATIAL, flags));
  g_object_class_install_property(
      gobject_class, PROP_POST_MESSAGES,
      g_param_spec_boolean(
          "post-messages", "Post messages",
          "Post an element message \"tnrmd\" per filtered frame with the mean static ratio "
          "(mean-static-ratio, 0 = everything moves, 1 = everything still), the mean gain "
          "(mean-gain) and the frame's timestamp, stream-time, running-time and duration",
          DEFAULT_POST_MESSAGES,
          G_PARAM_READWRITE | GST_PARAM_MUTABLE_PLAYING | G_PARAM_STATIC_STRINGS));

  gst_element_class_set_static_metadata(
      element_class, "Temporal noise reduction", "Filter/Effect/Video",
      "Motion-adaptive temporal noise reduction of NV12 video in place: blends the previous "
      "filtered frame into still areas, passes moving ones through",
      "tnr_md developers");
  gst_element_class_add_static_pad_template(element_class, &sink_template);
  gst_element_class_add_static_pad_template(element_class, &src_template);

  trans_class->before_transform = GST_DEBUG_FUNCPTR(gst_tnr_md_before_transform);
  trans_class->sink_event = GST_DEBUG_FUNCPTR(gst_tnr_md_sink_event);
  trans_class->stop = GST_DEBUG_FUNCPTR(gst_tnr_md_stop);
  trans_class->transform_ip_on_passthrough = FALSE;
  filter_class->set_info = GST_DEBUG_FUNCPTR(gst_tnr_md_set_info);
  filter_class->transform_frame_ip = GST_DEBUG_FUNCPTR(gst_tnr_md_transform_frame_ip);
}

static void gst_tnr_md_init(GstTnrMd *self) {
  self->sigma_h = DEFAULT_SIGMA_H;
  self->sigma_l = DEFAULT_SIGMA_L;
  self->uv_ratio = DEFAULT_UV_RATIO;
  self->static_ratio_bit = DEFAULT_STATIC_RATIO_BIT;
  self->gain = DEFAULT_GAIN;
  self->post_messages = DEFAULT_POST_MESSAGES;
  self->spatial = DEFAULT_SPATIAL;
  self->restart = TRUE;
  self->logged_path = -1;
  /* A recursive filter must see every frame: no dropping of late buffers. */
  gst_base_transform_set_qos_enabled(GST_BASE_TRANSFORM(self), FALSE);
}

/* GST_PLUGIN_DEFINE names the package through PACKAGE. */
#define PACKAGE "tnr_md"

static gboolean plugin_init(GstPlugin *plugin) { return GST_ELEMENT_REGISTER(tnrmd, plugin); }

GST_PLUGIN_DEFINE(GST_VERSION_MAJOR, GST_VERSION_MINOR, tnrmd,
                  "Motion-adaptive temporal noise reduction (tnr_md)", plugin_init, TNR_MD_VERSION,
                  "unknown", "tnr_md", "tnr_md")
