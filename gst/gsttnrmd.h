/*
 * tnrmd: motion-adaptive temporal noise reduction of NV12 video, in place,
 * with the tnr_md library.
 */
#ifndef GST_TNR_MD_H
#define GST_TNR_MD_H

#include <gst/gst.h>
#include <gst/video/gstvideofilter.h>
#include <gst/video/video.h>
#include <stdint.h>

#include "tnr_md_stream.h"

G_BEGIN_DECLS

#define GST_TYPE_TNR_MD (gst_tnr_md_get_type())
G_DECLARE_FINAL_TYPE(GstTnrMd, gst_tnr_md, GST, TNR_MD, GstVideoFilter)

struct _GstTnrMd {
  GstVideoFilter parent;

  /* Properties and requests from other threads, under the object lock. */
  gfloat sigma_h;
  gfloat sigma_l;
  gfloat uv_ratio;
  gint static_ratio_bit;
  gint gain;
  gboolean post_messages;
  gfloat spatial; /* the spatial stage's strength, 0 = off */
  gint preset;    /* the preset last set (TNR_MD_PRESET_*) */
  gboolean align; /* move the history with the camera */
  gboolean gain_changed; /* refill the gain table before the next frame */
  gboolean restart;      /* the next frame starts a new sequence */

  /* Per caps, streaming thread only. grid_w == 0: frames pass through. */
  gint grid_w;
  gint grid_h;
  TnrMdStream *stream; /* the sequence: previous frame, weights, gains */
  gint logged_stride_y, logged_stride_uv; /* the layout last named in the debug log */
  gint64 logged_offset;
  gboolean warned_layout; /* a buffer whose layout does not fit its memory was reported */
};

GST_ELEMENT_REGISTER_DECLARE(tnrmd);

G_END_DECLS

#endif
