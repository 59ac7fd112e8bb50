#include "camera.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <optional>

#include "metrics.h"
#include "numbers.h"
#include "output_file.h"
#include "video_in.h"
#include "video_out.h"

namespace tnr {

CameraPath parseCameraPath(const std::string &name) {
  if (name == "fixed") return CameraPath::Fixed;
  if (name == "pan") return CameraPath::Pan;
  if (name == "handheld") return CameraPath::Handheld;
  throw ToolError("--path must be fixed, pan or handheld, got '" + name + "'");
}

namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr int kReach = 2;  // the bicubic kernel's reach past its centre sample

// Position along a back-and-forth path of `length` travelled at `step` per
// frame: 0 .. length and back.
double triangle(double step, long long i, double length) {
  if (length <= 0) return 0;
  const double t = std::fmod(step * static_cast<double>(i), 2 * length);
  return t <= length ? t : 2 * length - t;
}

// Smooth random path of amplitude about `amp`: three sines of random period
// (40 .. 200 frames) and phase, weighted 1/2, 1/3, 1/6 of amp.
double wobble(Gaussian &g, long long i, double amp) {
  static constexpr double kWeights[3] = {0.5, 1.0 / 3.0, 1.0 / 6.0};
  double v = 0;
  for (double wgt : kWeights) {
    const double period = 40 + 160 * g.uniform();
    const double phase = 2 * kPi * g.uniform();
    v += wgt * amp * std::sin(2 * kPi * static_cast<double>(i) / period + phase);
  }
  return v;
}

double cubicWeight(double d) {
  constexpr double a = -0.75;
  d = std::fabs(d);
  if (d <= 1) return ((a + 2) * d - (a + 3)) * d * d + 1;
  if (d < 2) return ((a * d - 5 * a) * d + 8 * a) * d - 4 * a;
  return 0;
}

// One plane (or one component of the interleaved chroma plane: `step` 2,
// `first` 0 or 1): out(x, y) = in(x + ox, y + oy), bicubic.
void resamplePlane(const uint8_t *in, int inW, int inH, int inPitch, uint8_t *out, int outW,
                   int outH, int outPitch, int step, int first, double ox, double oy) {
  const int fx = static_cast<int>(std::floor(ox)), fy = static_cast<int>(std::floor(oy));
  double wx[4], wy[4];
  for (int k = 0; k < 4; ++k) {
    wx[k] = cubicWeight(ox - fx - (k - 1));
    wy[k] = cubicWeight(oy - fy - (k - 1));
  }
  auto clampTo = [](int v, int hi) { return v < 0 ? 0 : v > hi ? hi : v; };
  for (int y = 0; y < outH; ++y) {
    int rows[4];
    for (int k = 0; k < 4; ++k) rows[k] = clampTo(y + fy + k - 1, inH - 1);
    for (int x = 0; x < outW; ++x) {
      double sum = 0;
      for (int ky = 0; ky < 4; ++ky) {
        const uint8_t *row = in + static_cast<ptrdiff_t>(rows[ky]) * inPitch;
        double h = 0;
        for (int kx = 0; kx < 4; ++kx) h += wx[kx] * row[clampTo(x + fx + kx - 1, inW - 1) * step + first];
        sum += wy[ky] * h;
      }
      const double v = std::nearbyint(sum);
      out[static_cast<ptrdiff_t>(y) * outPitch + x * step + first] =
          static_cast<uint8_t>(v < 0 ? 0 : v > 255 ? 255 : v);
    }
  }
}

}  // namespace

Offset cameraOffset(CameraPath path, long long i, int sw, int sh, int ww, int wh, uint64_t seed) {
  const double roomX = sw - ww - 2 * kReach, roomY = sh - wh - 2 * kReach;
  Offset o{kReach + roomX / 2, kReach + roomY / 2};
  if (path == CameraPath::Pan) {
    o.x = kReach + triangle(1.37, i, roomX);
    o.y = kReach + triangle(0.41, i, roomY);
  } else if (path == CameraPath::Handheld) {
    Gaussian gx(seed * 2 + 1), gy(seed * 2 + 2);
    const double amp = std::fmin(6.0, std::fmin(roomX, roomY) / 2 - 1);
    o.x += wobble(gx, i, amp);
    o.y += wobble(gy, i, amp);
    Gaussian jitter(seed * 0x9E3779B97F4A7C15ull + static_cast<uint64_t>(i) + 7);
    o.x += 0.3 * jitter.normal();
    o.y += 0.3 * jitter.normal();
    o.x = std::fmin(std::fmax(o.x, kReach), kReach + roomX);
    o.y = std::fmin(std::fmax(o.y, kReach), kReach + roomY);
  }
  return o;
}

void cameraWindow(const uint8_t *source, int sw, int sh, uint8_t *window, int ww, int wh,
                  Offset at) {
  resamplePlane(source, sw, sh, sw, window, ww, wh, ww, 1, 0, at.x, at.y);
  const uint8_t *sc = source + static_cast<size_t>(sw) * sh;
  uint8_t *wc = window + static_cast<size_t>(ww) * wh;
  for (int c = 0; c < 2; ++c)
    resamplePlane(sc, sw / 2, sh / 2, sw, wc, ww / 2, wh / 2, ww, 2, c, at.x / 2, at.y / 2);
}

int runCamera(const CameraOptions &opt) {
  const CameraPath path = parseCameraPath(opt.path);
  const Size win = parseSize(opt.window, "--window");
  std::vector<NamedFile> files{{"INPUT", opt.input, NamedFile::Input},
                               {"-o", opt.output, NamedFile::Output}};
  if (!opt.pathCsv.empty()) files.push_back({"--path-csv", opt.pathCsv, NamedFile::Output});
  checkNoCollisions(files);
  const Container container = containerFor(opt.output, "y4m");
  if (opt.output != "-") checkWritable(opt.output, "-o");
  if (!opt.pathCsv.empty()) checkWritable(opt.pathCsv, "--path-csv");
  ReadOptions ro;
  if (!opt.size.empty()) ro.rawSize = parseSize(opt.size, "--size");
  ro.acceptDamaged = opt.acceptDamaged;
  auto input = openVideo(opt.input, ro);
  const int sw = input->info().width, sh = input->info().height;
  if (win.width + 2 * kReach + 8 > sw || win.height + 2 * kReach + 8 > sh)
    throw ToolError("--window " + opt.window + " leaves less than 12 pixels of room in the " +
                    std::to_string(sw) + "x" + std::to_string(sh) + " input");
  if (opt.start > 0 && !input->skip(opt.start))
    throw ToolError("--start " + std::to_string(opt.start) + " is past the end of the input");
  VideoInfo info = input->info();
  info.width = win.width;
  info.height = win.height;
  info.frameCount = -1;
  std::optional<OutputFile> out;
  if (opt.output != "-") out.emplace(opt.output);
  auto writer = createWriter(out ? out->tempPath() : "-", container, info, opt.output);
  std::optional<OutputFile> csvFile;
  FILE *csv = nullptr;
  if (!opt.pathCsv.empty()) {
    csvFile.emplace(opt.pathCsv);
    csv = std::fopen(csvFile->tempPath().c_str(), "w");
    if (!csv) throw ToolError("cannot write '" + opt.pathCsv + "': " + std::strerror(errno));
    std::fprintf(csv, "frame,x,y,dx,dy\n");
  }
  Frame src, dst(nv12Bytes(win.width, win.height));
  long long n = 0;
  Offset last;
  while ((opt.frames <= 0 || n < opt.frames) && input->read(src)) {
    const Offset at = cameraOffset(path, n, sw, sh, win.width, win.height, opt.seed);
    cameraWindow(src.data(), sw, sh, dst.data(), win.width, win.height, at);
    if (opt.noise > 0) addGaussianNoise(dst, opt.noise, opt.seed, n);
    writer->write(dst.data());
    // dx, dy: the picture's motion from the previous frame (the window's
    // motion, reversed), in luma pixels.
    if (csv)
      std::fprintf(csv, "%lld,%.4f,%.4f,%.4f,%.4f\n", n, at.x, at.y, n ? last.x - at.x : 0.0,
                   n ? last.y - at.y : 0.0);
    last = at;
    ++n;
  }
  if (n == 0) throw ToolError("no frame in the input");
  writer->finish();
  if (out) out->commit();
  if (csv) {
    const bool bad = std::fflush(csv) != 0 || std::ferror(csv);
    if (std::fclose(csv) != 0 || bad)
      throw ToolError("cannot write '" + opt.pathCsv + "': " + std::strerror(errno));
    csvFile->commit();
  }
  return 0;
}

}  // namespace tnr
