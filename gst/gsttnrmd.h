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

G_BEGIN_DECLS

#define GST_TYPE_TNR_MD (gst_tnr_md_get_type())
G_DECLARE_FINAL_TYPE(GstTnrMd, gst_tnr_md, GST, TNR_MD, GstVideoFilter)

/* An NV12 frame the element owns, in the library's layout: chroma_row luma
 * rows at `pitch`, then chroma_row / 2 chroma rows at the same pitch. */
typedef struct {
  guint8 *data;
  gsize size;
  gint pitch;
  gint chroma_row;
} GstTnrMdFrame;

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
  gboolean gain_changed; /* refill the gain table before the next frame */
  gboolean restart;      /* the next frame starts a new sequence */

  /* Per caps, streaming thread only. grid_w == 0: frames pass through. */
  gint grid_w;
  gint grid_h;
  int16_t *scratch;
  guint8 *alpha;
  guint8 *pre_alpha;
  guint8 *gain_table;
  GstTnrMdFrame prev; /* the previous filtered frame's grid */
  GstTnrMdFrame work; /* contiguous frame for layouts the library cannot take */
  gint logged_path;   /* last path named in the debug log: -1 none, 0 in place, 1 copy */
  gboolean warned_layout; /* a buffer whose layout does not fit its memory was reported */
};

GST_ELEMENT_REGISTER_DECLARE(tnrmd);

G_END_DECLS

#endif
