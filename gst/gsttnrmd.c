/*
 * tnrmd: motion-adaptive temporal noise reduction of NV12 video, in place.
 *
 *   gst-launch-1.0 v4l2src ! video/x-raw,format=NV12 ! tnrmd sigma-h=1.1 ! autovideosink
 *
 * Each frame goes through a TnrMdStream (tnr_md_stream.h), which filters it
 * against the previous filtered frame and keeps its own copy of that frame,
 * the recursive weights and the gain table, so the element holds no upstream
 * buffer. A new sequence (the previous frame is the current one, weights 0,
 * gains at their start value) begins on new caps, a flush, a new segment and
 * a buffer flagged DISCONT. The processing grid is the even top-left part of
 * the frame: an odd last column or row passes through. With align=true the
 * stream moves its history with the camera, and the element message carries
 * the motion it estimated.
 *
 * The stream filters a buffer where it lies when its layout is the library's
 * frame (both planes at one even pitch, the chroma plane an even number of
 * luma rows below the luma plane, the whole frame within plane 0's mapping,
 * which the element hands it as the span); other layouts go through a
 * contiguous copy.
 *
 * A buffer whose layout does not fit its memory (a GstVideoMeta claiming
 * strides or offsets that run past the memory holding a plane) passes through
 * untouched, with one warning per caps on the bus: see layout_in_memory.
 */
#include "gsttnrmd.h"



#include "tnr_md_stream.h"

GST_DEBUG_CATEGORY_STATIC(gst_tnr_md_debug);
#define GST_CAT_DEFAULT gst_tnr_md_debug

/* Defaults, presets and ranges are the library's (tnr_md_stream.h). */
#define DEFAULT_POST_MESSAGES FALSE

enum {
  PROP_0,
  PROP_SIGMA_H,
  PROP_SIGMA_L,
  PROP_UV_RATIO,
  PROP_STATIC_RATIO_BIT,
  PROP_GAIN,
  PROP_POST_MESSAGES,
  PROP_SPATIAL,
  PROP_PRESET,
  PROP_ALIGN,
};

/* The library's presets as a GEnum, under the library's names:
 * preset=light|medium|strong. */
#define GST_TYPE_TNR_MD_PRESET (gst_tnr_md_preset_get_type())
static GType gst_tnr_md_preset_get_type(void) {
  static gsize type = 0;
  static const char *const descriptions[TNR_MD_PRESET_COUNT] = {
      [TNR_MD_PRESET_LIGHT] = "Milder: more noise left, fewer trails behind motion",
      [TNR_MD_PRESET_MEDIUM] = "The defaults",
      [TNR_MD_PRESET_STRONG] = "Stronger: more blending and spatial filtering"};
  static GEnumValue values[TNR_MD_PRESET_COUNT + 1];
  if (g_once_init_enter(&type)) {
    for (int i = 0; i < TNR_MD_PRESET_COUNT; ++i)
      values[i] = (GEnumValue){i, descriptions[i], tnrMdPresetName(i)};
    g_once_init_leave(&type, g_enum_register_static("GstTnrMdPreset", values));
  }
  return (GType)type;
}

static GstStaticPadTemplate sink_template = GST_STATIC_PAD_TEMPLATE(
    "sink", GST_PAD_SINK, GST_PAD_ALWAYS, GST_STATIC_CAPS(GST_VIDEO_CAPS_MAKE("NV12")));
static GstStaticPadTemplate src_template = GST_STATIC_PAD_TEMPLATE(
    "src", GST_PAD_SRC, GST_PAD_ALWAYS, GST_STATIC_CAPS(GST_VIDEO_CAPS_MAKE("NV12")));

G_DEFINE_TYPE(GstTnrMd, gst_tnr_md, GST_TYPE_VIDEO_FILTER);
GST_ELEMENT_REGISTER_DEFINE(tnrmd, "tnrmd", GST_RANK_NONE, GST_TYPE_TNR_MD);

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

/* ---- State ------------------------------------------------------------------ */

static void gst_tnr_md_free_state(GstTnrMd *self) {
  tnrMdStreamDestroy(self->stream);
  self->stream = NULL;
  self->grid_w = self->grid_h = 0;
  self->logged_stride_y = self->logged_stride_uv = -1;
  self->logged_offset = -1;
  self->warned_layout = FALSE;
}

static void gst_tnr_md_request_restart(GstTnrMd *self, const gchar *why) {
  GST_OBJECT_LOCK(self);
  self->restart = TRUE;
  GST_OBJECT_UNLOCK(self);
  GST_DEBUG_OBJECT(self, "new sequence at the next frame: %s", why);
}

/* The stream's parameters from the properties; object lock held. */
static TnrMdParams gst_tnr_md_params_locked(const GstTnrMd *self) {
  TnrMdParams p;
  tnrMdParamsDefault(&p);
  p.sigma_h_scale = self->sigma_h;
  p.sigma_l_scale = self->sigma_l;
  p.uv_ratio = self->uv_ratio;
  p.static_ratio_bit = self->static_ratio_bit;
  p.start_gain = self->gain;
  p.spatial = self->spatial;
  p.align = self->align ? 1 : 0;
  return p;
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
  GST_OBJECT_LOCK(self);
  const TnrMdParams params = gst_tnr_md_params_locked(self);
  GST_OBJECT_UNLOCK(self);
  /* The stream filters the even part of the frame. */
  TnrMdError error;
  const int rc = tnrMdStreamCreate(&self->stream, gw, gh, &params, NULL, 0, &error);
  if (rc == TNR_MD_ERROR_SIZE) {
    /* The filter refuses grids below about 14x8, and grids whose scratch
     * buffer (12 bytes a sample) would reach 4 GiB. */
    const gboolean large = 12 * (guint64)gw * (guint64)gh >= G_GUINT64_CONSTANT(1) << 32;
    GST_ELEMENT_WARNING(self, STREAM, FORMAT,
                        ("Frames of %dx%d are too %s for temporal noise reduction; "
                         "they pass through unchanged.",
                         width, height, large ? "large" : "small"),
                        ("%s", error.message));
    gst_base_transform_set_passthrough(GST_BASE_TRANSFORM(filter), TRUE);
    return TRUE;
  }
  if (rc != TNR_MD_OK) {
    GST_ELEMENT_ERROR(self, RESOURCE, NO_SPACE_LEFT, (NULL),
                      ("cannot make the state of a %dx%d frame: %s", width, height, error.message));
    return FALSE;
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
  self->grid_w = gw;
  self->grid_h = gh;
  GST_DEBUG_OBJECT(self, "%dx%d frames, processing grid %dx%d", width, height, gw, gh);
  return TRUE;
}

/* Names the buffer layout in the debug log once per caps, and again when it
 * changes. */
static void gst_tnr_md_log_layout(GstTnrMd *self, const GstVideoFrame *frame) {
  const gint stride_y = GST_VIDEO_FRAME_PLANE_STRIDE(frame, 0);
  const gint stride_uv = GST_VIDEO_FRAME_PLANE_STRIDE(frame, 1);
  const gint64 offset = (gint64)((guintptr)GST_VIDEO_FRAME_PLANE_DATA(frame, 1) -
                                 (guintptr)GST_VIDEO_FRAME_PLANE_DATA(frame, 0));
  if (stride_y == self->logged_stride_y && stride_uv == self->logged_stride_uv &&
      offset == self->logged_offset)
    return;
  self->logged_stride_y = stride_y;
  self->logged_stride_uv = stride_uv;
  self->logged_offset = offset;
  GST_INFO_OBJECT(self,
                  "buffer layout: strides %d and %d, chroma plane %" G_GINT64_FORMAT
                  " bytes after the luma plane, %" G_GSIZE_FORMAT " bytes mapped from the luma "
                  "plane on (the stream filters it in place when that is the library's frame)",
                  stride_y, stride_uv, offset,
                  (gsize)((guintptr)frame->map[0].data + frame->map[0].size -
                          (guintptr)GST_VIDEO_FRAME_PLANE_DATA(frame, 0)));
}

/* ---- Per frame ---------------------------------------------------------------- */

static void gst_tnr_md_post_stats(GstTnrMd *self, GstBuffer *buf) {
  TnrMdFrameStats stats;
  tnrMdStreamStats(self->stream, &stats);
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
                        stats.mean_static_ratio, "mean-gain", G_TYPE_DOUBLE, stats.mean_gain,
                        "motion-x", G_TYPE_DOUBLE, stats.motion_x, "motion-y", G_TYPE_DOUBLE,
                        stats.motion_y, "motion-confidence", G_TYPE_DOUBLE, stats.motion_confidence,
                        "aligned", G_TYPE_BOOLEAN, stats.aligned ? TRUE : FALSE, NULL);
  gst_element_post_message(GST_ELEMENT(self), gst_message_new_element(GST_OBJECT(self), s));
}

/* A buffer the filter cannot take passes through untouched with one warning
 * per caps; a new sequence it asked for begins at the next filtered one. */
static GstFlowReturn gst_tnr_md_pass_bad_layout(GstTnrMd *self, GstVideoFrame *frame,
                                                const char *why) {
  const gint gw = self->grid_w, gh = self->grid_h;
  if (!self->warned_layout)
    GST_ELEMENT_WARNING(
        self, STREAM, FORMAT,
        ("A buffer's layout does not fit its memory; such buffers pass through unfiltered."),
        ("planes at offsets %" G_GSIZE_FORMAT " and %" G_GSIZE_FORMAT " with strides %d and %d "
         "in a buffer of %" G_GSIZE_FORMAT " bytes; the filter needs %d and %d rows of %d bytes%s%s",
         GST_VIDEO_INFO_PLANE_OFFSET(&frame->info, 0), GST_VIDEO_INFO_PLANE_OFFSET(&frame->info, 1),
         GST_VIDEO_FRAME_PLANE_STRIDE(frame, 0), GST_VIDEO_FRAME_PLANE_STRIDE(frame, 1),
         gst_buffer_get_size(frame->buffer), gh, gh / 2, gw, why ? ": " : "", why ? why : ""));
  else
    GST_DEBUG_OBJECT(self, "buffer layout does not fit its memory: passed through");
  self->warned_layout = TRUE;
  if (GST_BUFFER_IS_DISCONT(frame->buffer)) gst_tnr_md_request_restart(self, "DISCONT buffer");
  return GST_FLOW_OK;
}

static GstFlowReturn gst_tnr_md_transform_frame_ip(GstVideoFilter *filter, GstVideoFrame *frame) {
  GstTnrMd *self = GST_TNR_MD(filter);
  const gint gw = self->grid_w, gh = self->grid_h;
  if (gw == 0) return GST_FLOW_OK;

  if (!layout_in_memory(frame, gw, gh)) return gst_tnr_md_pass_bad_layout(self, frame, NULL);

  GST_OBJECT_LOCK(self);
  const TnrMdParams params = gst_tnr_md_params_locked(self);
  const gboolean post = self->post_messages, gain_changed = self->gain_changed;
  gboolean restart = self->restart;
  self->restart = self->gain_changed = FALSE;
  GST_OBJECT_UNLOCK(self);

  if (GST_BUFFER_IS_DISCONT(frame->buffer)) {
    GST_DEBUG_OBJECT(self, "new sequence: DISCONT buffer");
    restart = TRUE;
  }
  /* The properties are range-checked as the stream checks them. */
  TnrMdError error;
  if (tnrMdStreamSetParams(self->stream, &params, &error) != TNR_MD_OK) {
    GST_ELEMENT_ERROR(self, LIBRARY, SETTINGS, (NULL), ("%s", error.message));
    return GST_FLOW_ERROR;
  }
  if (restart)
    tnrMdStreamReset(self->stream); /* no history, gains at their start value */
  else if (gain_changed)
    tnrMdStreamResetGain(self->stream);

  /* Both planes, checked above to lie in the memory mapped for them; the span
   * is plane 0's mapping from the luma plane on, in which the stream looks
   * for the library's frame. */
  guint8 *y = GST_VIDEO_FRAME_PLANE_DATA(frame, 0);
  const guintptr map_end = (guintptr)frame->map[0].data + frame->map[0].size;
  const TnrMdImage image = {y, GST_VIDEO_FRAME_PLANE_STRIDE(frame, 0),
                            GST_VIDEO_FRAME_PLANE_DATA(frame, 1),
                            GST_VIDEO_FRAME_PLANE_STRIDE(frame, 1), (size_t)(map_end - (guintptr)y)};
  gst_tnr_md_log_layout(self, frame);
  const int rc = tnrMdStreamProcess(self->stream, &image, NULL, &error);
  if (rc == TNR_MD_ERROR_LAYOUT) return gst_tnr_md_pass_bad_layout(self, frame, error.message);
  if (rc != TNR_MD_OK) {
    GST_ELEMENT_ERROR(self, RESOURCE, NO_SPACE_LEFT, (NULL),
                      ("cannot filter a %dx%d frame: %s", frame->info.width, frame->info.height,
                       error.message));
    return GST_FLOW_ERROR;
  }
  if (post) gst_tnr_md_post_stats(self, frame->buffer);
  return GST_FLOW_OK;
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
    case PROP_ALIGN:
      self->align = g_value_get_boolean(value);
      break;
    case PROP_PRESET: {
      /* The preset's tuning; properties set after it change it further. */
      TnrMdParams p = gst_tnr_md_params_locked(self);
      self->preset = g_value_get_enum(value);
      tnrMdParamsPreset(&p, self->preset);
      self->sigma_h = p.sigma_h_scale;
      self->sigma_l = p.sigma_l_scale;
      self->uv_ratio = p.uv_ratio;
      self->spatial = p.spatial;
      break;
    }
    default:
      G_OBJECT_WARN_INVALID_PROPERTY_ID(object, prop_id, pspec);
      break;
  }
  GST_OBJECT_UNLOCK(self);
  if (prop_id == PROP_PRESET) {
    static const char *const tuning[] = {"sigma-h", "sigma-l", "uv-ratio", "spatial"};
    for (guint i = 0; i < G_N_ELEMENTS(tuning); ++i) g_object_notify(object, tuning[i]);
  }
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
    case PROP_PRESET:
      g_value_set_enum(value, self->preset);
      break;
    case PROP_ALIGN:
      g_value_set_boolean(value, self->align);
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
  TnrMdParams defaults;
  tnrMdParamsDefault(&defaults);

  gobject_class->set_property = gst_tnr_md_set_property;
  gobject_class->get_property = gst_tnr_md_get_property;
  gobject_class->finalize = gst_tnr_md_finalize;

  g_object_class_install_property(
      gobject_class, PROP_SIGMA_H,
      g_param_spec_float("sigma-h", "Pixel noise scale",
                         "Scale of the per-pixel noise level that a change must exceed to count "
                         "as motion: higher blends more and trails moving objects sooner",
                         0.0f, TNR_MD_SIGMA_H_SCALE_MAX, defaults.sigma_h_scale, flags));
  g_object_class_install_property(
      gobject_class, PROP_SIGMA_L,
      g_param_spec_float("sigma-l", "Block noise scale",
                         "Scale of the per-8x8-block noise level that a change must exceed to "
                         "count as motion: higher blends more and trails moving objects sooner",
                         0.0f, TNR_MD_SIGMA_L_SCALE_MAX, defaults.sigma_l_scale, flags));
  g_object_class_install_property(
      gobject_class, PROP_UV_RATIO,
      g_param_spec_float("uv-ratio", "Chroma weight",
                         "Weight of chroma differences in motion detection (1 = as much as luma)",
                         0.0f, TNR_MD_UV_RATIO_MAX, defaults.uv_ratio, flags));
  g_object_class_install_property(
      gobject_class, PROP_STATIC_RATIO_BIT,
      g_param_spec_int("static-ratio-bit", "Static ratio exponent",
                       "log2 of the static ratio (x128) at full motion; changes only the static "
                       "ratio and the gain table, never the video (8 and more give 0; only the "
                       "low 8 bits count)",
                       0, 255, defaults.static_ratio_bit, flags));
  g_object_class_install_property(
      gobject_class, PROP_GAIN,
      g_param_spec_int("gain", "Start gain",
                       "Start value of the per-pixel gain table, which every frame scales by its "
                       "static ratio (128 = 1.0); fills the table at each new sequence, and "
                       "refills it at the next frame when changed. Never changes the video",
                       0, 255, defaults.start_gain, flags));
  g_object_class_install_property(
      gobject_class, PROP_SPATIAL,
      g_param_spec_float("spatial", "Spatial strength",
                         "Spatial noise reduction after the temporal stage: edge-preserving "
                         "threshold at moving pixels in units of the noise sigma the library "
                         "estimates, fading where frames were averaged (0 = off)",
                         0.0f, TNR_MD_SPATIAL_MAX, defaults.spatial, flags));
  g_object_class_install_property(
      gobject_class, PROP_ALIGN,
      g_param_spec_boolean(
          "align", "Follow camera motion",
          "Move the history with the camera: each frame the picture's motion from the previous "
          "one is estimated and, where the estimate is confident, the previous frame, the weights "
          "and the gains follow it, so that panning or shaking video keeps its noise reduction. "
          "On a still camera it changes nothing and costs the estimation (about a quarter of the "
          "temporal stage); frames below 128x96 are never aligned. The motion found is in the "
          "element message (post-messages)",
          defaults.align != 0, flags));
  g_object_class_install_property(
      gobject_class, PROP_PRESET,
      g_param_spec_enum("preset", "Preset",
                        "Named tuning of the library: sets sigma-h, sigma-l, uv-ratio and spatial "
                        "(properties set after it change them further); medium is the defaults",
                        GST_TYPE_TNR_MD_PRESET, TNR_MD_PRESET_MEDIUM,
                        G_PARAM_READWRITE | GST_PARAM_MUTABLE_PLAYING | G_PARAM_STATIC_STRINGS));
  g_object_class_install_property(
      gobject_class, PROP_POST_MESSAGES,
      g_param_spec_boolean(
          "post-messages", "Post messages",
          "Post an element message \"tnrmd\" per filtered frame with the mean static ratio "
          "(mean-static-ratio, 0 = everything moves, 1 = everything still), the mean gain "
          "(mean-gain), the camera motion from the previous frame in luma pixels (motion-x, "
          "motion-y: the picture moved right and down by it; 0 with align off), its confidence "
          "(motion-confidence, 0 .. 1), whether the history followed it (aligned), and the "
          "frame's timestamp, stream-time, running-time and duration",
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
  TnrMdParams defaults;
  tnrMdParamsDefault(&defaults);
  self->sigma_h = defaults.sigma_h_scale;
  self->sigma_l = defaults.sigma_l_scale;
  self->uv_ratio = defaults.uv_ratio;
  self->static_ratio_bit = defaults.static_ratio_bit;
  self->gain = defaults.start_gain;
  self->spatial = defaults.spatial;
  self->align = defaults.align != 0;
  self->preset = TNR_MD_PRESET_MEDIUM;
  self->post_messages = DEFAULT_POST_MESSAGES;
  self->restart = TRUE;
  self->logged_stride_y = self->logged_stride_uv = -1;
  self->logged_offset = -1;
  /* A recursive filter must see every frame: no dropping of late buffers. */
  gst_base_transform_set_qos_enabled(GST_BASE_TRANSFORM(self), FALSE);
}

/* GST_PLUGIN_DEFINE names the package through PACKAGE. */
#define PACKAGE "tnr_md"

static gboolean plugin_init(GstPlugin *plugin) { return GST_ELEMENT_REGISTER(tnrmd, plugin); }

GST_PLUGIN_DEFINE(GST_VERSION_MAJOR, GST_VERSION_MINOR, tnrmd,
                  "Motion-adaptive temporal noise reduction (tnr_md)", plugin_init, TNR_MD_VERSION,
                  "unknown", "tnr_md", "tnr_md")
