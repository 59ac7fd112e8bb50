// Still images the tool writes: grey maps and comparisons, and the PSNR plot.
#ifndef TNR_TOOL_IMAGE_H
#define TNR_TOOL_IMAGE_H

#include <cstdint>
#include <string>
#include <vector>

namespace tnr {

struct Image {
  int width = 0;
  int height = 0;
  int channels = 1;  // 1 grey, 3 RGB
  std::vector<uint8_t> pixels;  // rows of width * channels bytes, no padding

  Image() = default;
  Image(int w, int h, int c, uint8_t fill = 0)
      : width(w), height(h), channels(c), pixels(static_cast<size_t>(w) * h * c, fill) {}
  uint8_t *at(int x, int y) { return &pixels[(static_cast<size_t>(y) * width + x) * channels]; }
};

// Writes img as an 8-bit grey or RGB PNG with FFmpeg's encoder, through a
// temporary file. Throws ToolError when it cannot be encoded or written.
void writePng(const std::string &path, const Image &img);

// Grey image from a plane of w x h bytes at the given pitch; scale maps value v
// to min(255, v * scaleNum / scaleDen).
Image greyFromPlane(const uint8_t *plane, int w, int h, int pitch, int scaleNum = 1,
                    int scaleDen = 1);

// A line plot of one or more series against their index (drawn with cairo):
// title, labelled axes with ticks and grid lines, and a legend. Non-finite
// values leave a gap in their line.
struct Series {
  std::string label;
  uint8_t rgb[3];
  std::vector<double> values;
};
struct PlotText {
  std::string title, xLabel, yLabel;
};
Image plotSeries(const std::vector<Series> &series, const PlotText &text, int width = 800,
                 int height = 450);

}  // namespace tnr

#endif
