#include "image.h"

#include <zlib.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "output_file.h"
#include "video.h"

namespace tnr {

namespace {

void put32(std::vector<uint8_t> &v, uint32_t x) {
  for (int s = 24; s >= 0; s -= 8) v.push_back(static_cast<uint8_t>(x >> s));
}

void chunk(std::vector<uint8_t> &out, const char *type, const std::vector<uint8_t> &data) {
  put32(out, static_cast<uint32_t>(data.size()));
  const size_t start = out.size();
  out.insert(out.end(), type, type + 4);
  out.insert(out.end(), data.begin(), data.end());
  const uLong crc = crc32(0L, out.data() + start, static_cast<uInt>(out.size() - start));
  put32(out, static_cast<uint32_t>(crc));
}

}  // namespace

void writePng(const std::string &path, const Image &img) {
  std::vector<uint8_t> png = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
  std::vector<uint8_t> ihdr;
  put32(ihdr, static_cast<uint32_t>(img.width));
  put32(ihdr, static_cast<uint32_t>(img.height));
  ihdr.push_back(8);
  ihdr.push_back(img.channels == 3 ? 2 : 0);
  ihdr.push_back(0);
  ihdr.push_back(0);
  ihdr.push_back(0);
  chunk(png, "IHDR", ihdr);
  // Every row with filter "Up" except the first: cheap and compresses maps well.
  const size_t row = static_cast<size_t>(img.width) * img.channels;
  std::vector<uint8_t> raw;
  raw.reserve((row + 1) * img.height);
  for (int y = 0; y < img.height; ++y) {
    const uint8_t *cur = &img.pixels[row * y];
    raw.push_back(y == 0 ? 0 : 2);
    for (size_t i = 0; i < row; ++i)
      raw.push_back(y == 0 ? cur[i] : static_cast<uint8_t>(cur[i] - cur[i - row]));
  }
  uLongf packed = compressBound(static_cast<uLong>(raw.size()));
  std::vector<uint8_t> idat(packed);
  if (compress2(idat.data(), &packed, raw.data(), static_cast<uLong>(raw.size()), 9) != Z_OK)
    throw ToolError("cannot compress PNG '" + path + "'");
  idat.resize(packed);
  chunk(png, "IDAT", idat);
  chunk(png, "IEND", {});

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

// 3x5 glyphs, one row per 3-bit group, top row first.
struct Glyph {
  char c;
  uint8_t rows[5];
};
constexpr Glyph kFont[] = {
    {'0', {7, 5, 5, 5, 7}}, {'1', {2, 6, 2, 2, 7}}, {'2', {7, 1, 7, 4, 7}}, {'3', {7, 1, 7, 1, 7}},
    {'4', {5, 5, 7, 1, 1}}, {'5', {7, 4, 7, 1, 7}}, {'6', {7, 4, 7, 5, 7}}, {'7', {7, 1, 1, 1, 1}},
    {'8', {7, 5, 7, 5, 7}}, {'9', {7, 5, 7, 1, 7}}, {'.', {0, 0, 0, 0, 2}}, {'-', {0, 0, 7, 0, 0}},
    {'A', {2, 5, 7, 5, 5}}, {'B', {6, 5, 6, 5, 6}}, {'C', {7, 4, 4, 4, 7}}, {'D', {6, 5, 5, 5, 6}},
    {'E', {7, 4, 6, 4, 7}}, {'F', {7, 4, 6, 4, 4}}, {'G', {7, 4, 5, 5, 7}}, {'H', {5, 5, 7, 5, 5}},
    {'I', {7, 2, 2, 2, 7}}, {'L', {4, 4, 4, 4, 7}}, {'M', {5, 7, 7, 5, 5}}, {'N', {6, 5, 5, 5, 5}},
    {'O', {7, 5, 5, 5, 7}}, {'P', {7, 5, 7, 4, 4}}, {'R', {6, 5, 6, 5, 5}}, {'S', {7, 4, 7, 1, 7}},
    {'T', {7, 2, 2, 2, 2}}, {'U', {5, 5, 5, 5, 7}}, {'Y', {5, 5, 2, 2, 2}}, {'Z', {7, 1, 2, 4, 7}},
    {'K', {5, 5, 6, 5, 5}}, {'W', {5, 5, 7, 7, 5}}, {'V', {5, 5, 5, 5, 2}}, {'X', {5, 5, 2, 5, 5}},
};

void setPixel(Image &img, int x, int y, const uint8_t rgb[3]) {
  if (x < 0 || y < 0 || x >= img.width || y >= img.height) return;
  uint8_t *p = img.at(x, y);
  for (int c = 0; c < img.channels; ++c) p[c] = rgb[img.channels == 3 ? c : 0];
}

void drawText(Image &img, int x, int y, const std::string &text, const uint8_t rgb[3],
              int scale = 2) {
  for (char ch : text) {
    if (ch >= 'a' && ch <= 'z') ch = static_cast<char>(ch - 'a' + 'A');
    for (const Glyph &g : kFont) {
      if (g.c != ch) continue;
      for (int r = 0; r < 5; ++r)
        for (int c = 0; c < 3; ++c)
          if (g.rows[r] & (4 >> c))
            for (int dy = 0; dy < scale; ++dy)
              for (int dx = 0; dx < scale; ++dx)
                setPixel(img, x + c * scale + dx, y + r * scale + dy, rgb);
    }
    x += 4 * scale;
  }
}

void drawLine(Image &img, double x0, double y0, double x1, double y1, const uint8_t rgb[3],
              int thick = 1) {
  const int steps = static_cast<int>(std::max(std::fabs(x1 - x0), std::fabs(y1 - y0))) + 1;
  for (int i = 0; i <= steps; ++i) {
    const double t = static_cast<double>(i) / steps;
    const int x = static_cast<int>(std::lround(x0 + (x1 - x0) * t));
    const int y = static_cast<int>(std::lround(y0 + (y1 - y0) * t));
    for (int dy = 0; dy < thick; ++dy)
      for (int dx = 0; dx < thick; ++dx) setPixel(img, x + dx, y + dy, rgb);
  }
}

std::string fixed(double v, int decimals) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%.*f", decimals, v);
  return buf;
}

}  // namespace

Image plotSeries(const std::vector<Series> &series, const std::string &yLabel,
                 const std::string &xLabel, int width, int height) {
  Image img(width, height, 3, 255);
  const uint8_t black[3] = {0, 0, 0}, grid[3] = {220, 220, 220};
  const int left = 70, right = 20, top = 40, bottom = 50;
  const int pw = width - left - right, ph = height - top - bottom;
  double lo = 1e300, hi = -1e300;
  size_t n = 0;
  for (const Series &s : series)
    for (double v : s.values)
      if (std::isfinite(v)) {
        lo = std::min(lo, v);
        hi = std::max(hi, v);
        n = std::max(n, s.values.size());
      }
  if (n == 0) return img;
  lo = std::floor(lo) - 1;
  hi = std::ceil(hi) + 1;
  const double xmax = n > 1 ? static_cast<double>(n - 1) : 1.0;
  auto px = [&](double i) { return left + i / xmax * pw; };
  auto py = [&](double v) { return top + (hi - v) / (hi - lo) * ph; };

  const int yTicks = 5;
  for (int t = 0; t <= yTicks; ++t) {
    const double v = lo + (hi - lo) * t / yTicks;
    drawLine(img, left, py(v), left + pw, py(v), grid);
    drawText(img, 4, static_cast<int>(py(v)) - 5, fixed(v, 1), black);
  }
  const int xTicks = static_cast<int>(std::min<size_t>(n - 1 > 0 ? n - 1 : 1, 10));
  for (int t = 0; t <= xTicks; ++t) {
    const double i = xmax * t / xTicks;
    drawLine(img, px(i), top + ph, px(i), top + ph + 5, black);
    const std::string label = std::to_string(static_cast<long>(std::lround(i)));
    drawText(img, static_cast<int>(px(i)) - 4 * static_cast<int>(label.size()), top + ph + 10,
             label, black);
  }
  drawLine(img, left, top, left, top + ph, black, 2);
  drawLine(img, left, top + ph, left + pw, top + ph, black, 2);
  drawText(img, left + pw / 2 - 4 * static_cast<int>(xLabel.size()), height - 18, xLabel, black);
  drawText(img, 4, 10, yLabel, black);

  int legendX = left + 10 + 8 * static_cast<int>(yLabel.size());
  for (const Series &s : series) {
    for (size_t i = 1; i < s.values.size(); ++i)
      if (std::isfinite(s.values[i - 1]) && std::isfinite(s.values[i]))
        drawLine(img, px(static_cast<double>(i - 1)), py(s.values[i - 1]),
                 px(static_cast<double>(i)), py(s.values[i]), s.rgb, 2);
    drawLine(img, legendX, 15, legendX + 20, 15, s.rgb, 3);
    drawText(img, legendX + 26, 10, s.label, black);
    legendX += 40 + 8 * static_cast<int>(s.label.size());
  }
  return img;
}

}  // namespace tnr
