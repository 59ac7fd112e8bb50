#include "image.h"

#include <cairo.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <memory>

#include "output_file.h"
#include "video.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavutil/frame.h>
}

namespace tnr {

namespace {

struct CodecFree {
  void operator()(AVCodecContext *c) const { avcodec_free_context(&c); }
};
struct FrameFree {
  void operator()(AVFrame *f) const { av_frame_free(&f); }
};
struct PacketFree {
  void operator()(AVPacket *p) const { av_packet_free(&p); }
};

std::vector<uint8_t> encodePng(const Image &img, const std::string &path) {
  auto fail = [&](const char *what) { return ToolError("cannot encode '" + path + "': " + what); };
  const AVCodec *codec = avcodec_find_encoder(AV_CODEC_ID_PNG);
  if (!codec) throw fail("this FFmpeg has no PNG encoder");
  std::unique_ptr<AVCodecContext, CodecFree> enc(avcodec_alloc_context3(codec));
  std::unique_ptr<AVFrame, FrameFree> frame(av_frame_alloc());
  std::unique_ptr<AVPacket, PacketFree> pkt(av_packet_alloc());
  if (!enc || !frame || !pkt) throw fail("out of memory");
  const AVPixelFormat fmt = img.channels == 3 ? AV_PIX_FMT_RGB24 : AV_PIX_FMT_GRAY8;
  enc->width = img.width;
  enc->height = img.height;
  enc->pix_fmt = fmt;
  enc->time_base = AVRational{1, 1};
  if (avcodec_open2(enc.get(), codec, nullptr) < 0) throw fail("encoder refused the image");
  frame->format = fmt;
  frame->width = img.width;
  frame->height = img.height;
  if (av_frame_get_buffer(frame.get(), 0) < 0) throw fail("out of memory");
  const size_t row = static_cast<size_t>(img.width) * img.channels;
  for (int y = 0; y < img.height; ++y)
    std::copy_n(&img.pixels[row * y], row, frame->data[0] + static_cast<size_t>(y) * frame->linesize[0]);
  if (avcodec_send_frame(enc.get(), frame.get()) < 0 || avcodec_send_frame(enc.get(), nullptr) < 0)
    throw fail("encoder failed");
  std::vector<uint8_t> png;
  while (avcodec_receive_packet(enc.get(), pkt.get()) == 0) {
    png.insert(png.end(), pkt->data, pkt->data + pkt->size);
    av_packet_unref(pkt.get());
  }
  if (png.empty()) throw fail("encoder gave no data");
  return png;
}

}  // namespace

void writePng(const std::string &path, const Image &img) {
  const std::vector<uint8_t> png = encodePng(img, path);
  OutputFile out(path);
  FILE *f = std::fopen(out.tempPath().c_str(), "wb");
  if (!f) throw ToolError("cannot write '" + path + "'");
  const bool ok = std::fwrite(png.data(), 1, png.size(), f) == png.size();
  if (std::fclose(f) != 0 || !ok) throw ToolError("cannot write '" + path + "'");
  out.commit();
}

Image greyFromPlane(const uint8_t *plane, int w, int h, int pitch, int scaleNum, int scaleDen) {
  Image img(w, h, 1);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      const int v = plane[static_cast<size_t>(y) * pitch + x] * scaleNum / scaleDen;
      *img.at(x, y) = static_cast<uint8_t>(std::min(v, 255));
    }
  return img;
}

namespace {

// Tick step of 1, 2 or 5 times a power of ten giving about `count` intervals over span.
double niceStep(double span, int count) {
  const double raw = span / count;
  const double mag = std::pow(10.0, std::floor(std::log10(raw)));
  for (double m : {1.0, 2.0, 5.0})
    if (raw <= m * mag) return m * mag;
  return 10 * mag;
}

// Decimals that show a tick step exactly (0 for steps of 1 and above).
int decimalsFor(double step) {
  return std::max(0, static_cast<int>(std::ceil(-std::log10(step) - 1e-9)));
}

std::string fixed(double v, int decimals) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.*f", decimals, std::fabs(v) < 1e-12 ? 0.0 : v);
  return buf;
}

struct CairoSurfaceFree {
  void operator()(cairo_surface_t *s) const { cairo_surface_destroy(s); }
};
struct CairoFree {
  void operator()(cairo_t *c) const { cairo_destroy(c); }
};

class Canvas {
 public:
  explicit Canvas(cairo_t *cr) : cr_(cr) {}
  void colour(double r, double g, double b) { cairo_set_source_rgb(cr_, r, g, b); }
  void colour(const uint8_t rgb[3]) { colour(rgb[0] / 255.0, rgb[1] / 255.0, rgb[2] / 255.0); }
  void font(double size, bool bold = false) {
    cairo_select_font_face(cr_, "sans-serif", CAIRO_FONT_SLANT_NORMAL,
                           bold ? CAIRO_FONT_WEIGHT_BOLD : CAIRO_FONT_WEIGHT_NORMAL);
    cairo_set_font_size(cr_, size);
  }
  double textWidth(const std::string &s) {
    cairo_text_extents_t e;
    cairo_text_extents(cr_, s.c_str(), &e);
    return e.x_advance;
  }
  // Text with its anchor at (x, y): ax 0 left, 0.5 centre, 1 right; vertically centred.
  void text(const std::string &s, double x, double y, double ax, double angle = 0) {
    cairo_font_extents_t fe;
    cairo_font_extents(cr_, &fe);
    cairo_save(cr_);
    cairo_translate(cr_, x, y);
    cairo_rotate(cr_, angle);
    cairo_move_to(cr_, -ax * textWidth(s), (fe.ascent - fe.descent) / 2);
    cairo_show_text(cr_, s.c_str());
    cairo_restore(cr_);
  }
  void line(double x0, double y0, double x1, double y1, double width) {
    cairo_set_line_width(cr_, width);
    cairo_move_to(cr_, x0, y0);
    cairo_line_to(cr_, x1, y1);
    cairo_stroke(cr_);
  }
  cairo_t *get() { return cr_; }

 private:
  cairo_t *cr_;
};

}  // namespace

Image plotSeries(const std::vector<Series> &series, const PlotText &text, int width, int height) {
  std::unique_ptr<cairo_surface_t, CairoSurfaceFree> surface(
      cairo_image_surface_create(CAIRO_FORMAT_RGB24, width, height));
  std::unique_ptr<cairo_t, CairoFree> cr(cairo_create(surface.get()));
  if (cairo_status(cr.get()) != CAIRO_STATUS_SUCCESS) throw ToolError("cannot draw the plot");
  Canvas c(cr.get());
  c.colour(1, 1, 1);
  cairo_paint(cr.get());

  double lo = INFINITY, hi = -INFINITY;
  size_t n = 0;
  for (const Series &s : series) {
    n = std::max(n, s.values.size());
    for (double v : s.values)
      if (std::isfinite(v)) lo = std::min(lo, v), hi = std::max(hi, v);
  }
  if (!(lo <= hi)) lo = 0, hi = 1;
  if (hi - lo < 1e-9) lo -= 0.5, hi += 0.5;
  const double yStep = niceStep(hi - lo, 6);
  lo = std::floor(lo / yStep) * yStep;
  hi = std::ceil(hi / yStep) * yStep;
  const double xmax = n > 1 ? static_cast<double>(n - 1) : 1.0;
  const double xStep = std::max(1.0, niceStep(xmax, 10));

  const double left = 78, right = 24, top = 52, bottom = 62;
  const double pw = width - left - right, ph = height - top - bottom;
  auto px = [&](double i) { return left + i / xmax * pw; };
  auto py = [&](double v) { return top + (hi - v) / (hi - lo) * ph; };

  // Grid, ticks and their labels.
  c.font(13);
  const int yDecimals = decimalsFor(yStep);
  for (double v = lo; v <= hi + yStep * 1e-6; v += yStep) {
    c.colour(0.88, 0.88, 0.88);
    c.line(left, py(v), left + pw, py(v), 1);
    c.colour(0, 0, 0);
    c.line(left - 5, py(v), left, py(v), 1);
    c.text(fixed(v, yDecimals), left - 9, py(v), 1);
  }
  for (double i = 0; i <= xmax + 1e-6; i += xStep) {
    c.colour(0.88, 0.88, 0.88);
    c.line(px(i), top, px(i), top + ph, 1);
    c.colour(0, 0, 0);
    c.line(px(i), top + ph, px(i), top + ph + 5, 1);
    c.text(fixed(i, 0), px(i), top + ph + 17, 0.5);
  }
  c.colour(0, 0, 0);
  cairo_rectangle(cr.get(), left, top, pw, ph);
  cairo_set_line_width(cr.get(), 1.2);
  cairo_stroke(cr.get());

  // Axis labels and title.
  c.font(14);
  c.text(text.xLabel, left + pw / 2, height - 18, 0.5);
  c.text(text.yLabel, 20, top + ph / 2, 0.5, -M_PI / 2);
  c.font(17, true);
  c.text(text.title, left + pw / 2, top / 2, 0.5);

  // The series, clipped to the plot area.
  cairo_save(cr.get());
  cairo_rectangle(cr.get(), left, top, pw, ph);
  cairo_clip(cr.get());
  cairo_set_line_join(cr.get(), CAIRO_LINE_JOIN_ROUND);
  for (const Series &s : series) {
    c.colour(s.rgb);
    bool drawing = false;
    for (size_t i = 0; i < s.values.size(); ++i) {
      if (!std::isfinite(s.values[i])) {
        drawing = false;
        continue;
      }
      const double x = px(static_cast<double>(i)), y = py(s.values[i]);
      if (drawing)
        cairo_line_to(cr.get(), x, y);
      else
        cairo_move_to(cr.get(), x, y);
      drawing = true;
    }
    cairo_set_line_width(cr.get(), 2);
    cairo_stroke(cr.get());
  }
  cairo_restore(cr.get());

  // Legend in the corner of the plot area the lines cross least.
  c.font(13);
  double labelWidth = 0;
  for (const Series &s : series) labelWidth = std::max(labelWidth, c.textWidth(s.label));
  const double rowH = 20, boxW = labelWidth + 48, boxH = rowH * series.size() + 10;
  double bestX = left + pw - boxW - 10, bestY = top + 10;
  size_t fewest = SIZE_MAX;
  for (const double bx : {left + pw - boxW - 10, left + 10})
    for (const double by : {top + ph - boxH - 10, top + 10}) {
      size_t inside = 0;
      for (const Series &s : series)
        for (size_t i = 0; i < s.values.size(); ++i) {
          const double x = px(static_cast<double>(i)), y = py(s.values[i]);
          inside += x >= bx && x <= bx + boxW && y >= by && y <= by + boxH;
        }
      if (inside < fewest) fewest = inside, bestX = bx, bestY = by;
    }
  cairo_rectangle(cr.get(), bestX, bestY, boxW, boxH);
  c.colour(1, 1, 1);
  cairo_fill_preserve(cr.get());
  c.colour(0.6, 0.6, 0.6);
  cairo_set_line_width(cr.get(), 1);
  cairo_stroke(cr.get());
  for (size_t k = 0; k < series.size(); ++k) {
    const double y = bestY + 5 + rowH * (k + 0.5);
    c.colour(series[k].rgb);
    c.line(bestX + 8, y, bestX + 34, y, 2.5);
    c.colour(0, 0, 0);
    c.text(series[k].label, bestX + 40, y, 0);
  }

  cairo_surface_flush(surface.get());
  Image img(width, height, 3);
  const unsigned char *data = cairo_image_surface_get_data(surface.get());
  const int stride = cairo_image_surface_get_stride(surface.get());
  for (int y = 0; y < height; ++y) {
    const auto *src = reinterpret_cast<const uint32_t *>(data + static_cast<size_t>(y) * stride);
    for (int x = 0; x < width; ++x) {
      uint8_t *p = img.at(x, y);
      p[0] = static_cast<uint8_t>(src[x] >> 16);
      p[1] = static_cast<uint8_t>(src[x] >> 8);
      p[2] = static_cast<uint8_t>(src[x]);
    }
  }
  return img;
}

}  // namespace tnr
