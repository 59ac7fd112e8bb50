#include "synth.h"

#include <algorithm>
#include <cmath>

#include "metrics.h"

namespace tnr {

namespace {

uint8_t clamp8(double v) { return static_cast<uint8_t>(std::lround(std::clamp(v, 0.0, 255.0))); }

// Smooth random field: bilinear interpolation of a random lattice of the
// given cell size, values in [-1, 1].
std::vector<double> valueNoise(int w, int h, int cell, Gaussian &g) {
  const int gw = w / cell + 2, gh = h / cell + 2;
  std::vector<double> lattice(static_cast<size_t>(gw) * gh);
  for (double &v : lattice) v = 2.0 * g.uniform() - 1.0;
  std::vector<double> out(static_cast<size_t>(w) * h);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      const double fx = static_cast<double>(x) / cell, fy = static_cast<double>(y) / cell;
      const int ix = static_cast<int>(fx), iy = static_cast<int>(fy);
      double ax = fx - ix, ay = fy - iy;
      ax = ax * ax * (3 - 2 * ax);
      ay = ay * ay * (3 - 2 * ay);
      const double *r0 = &lattice[static_cast<size_t>(iy) * gw + ix];
      const double *r1 = r0 + gw;
      out[static_cast<size_t>(y) * w + x] =
          (r0[0] * (1 - ax) + r0[1] * ax) * (1 - ay) + (r1[0] * (1 - ax) + r1[1] * ax) * ay;
    }
  return out;
}

}  // namespace

Scene::Scene(int width, int height, int frames, uint64_t seed)
    : width_(width), height_(height), frames_(frames), seed_(seed) {
  Gaussian g(seed);
  const int w = width, h = height;
  const auto coarse = valueNoise(w, h, 48, g);
  const auto fine = valueNoise(w, h, 6, g);
  const auto hue = valueNoise(w, h, 96, g);
  background_.assign(nv12Bytes(w, h), 128);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      const size_t i = static_cast<size_t>(y) * w + x;
      // A sky-like gradient on top, a textured wall in the middle, stripes and
      // a dark floor below: flat, detailed, bright and dark areas side by side.
      double v;
      if (y < h / 4) {
        v = 200 - 60.0 * y / (h / 4) + 8 * coarse[i];
      } else if (y < 3 * h / 4) {
        v = 120 + 45 * coarse[i] + 30 * fine[i] + 20 * std::sin(x * 0.21) * std::sin(y * 0.17);
        if ((x / 40 + y / 40) % 2 == 0) v += 25;
      } else {
        v = 45 + 20 * coarse[i] + 12 * fine[i] + ((x / 6) % 2 ? 15 : 0);
      }
      background_[i] = clamp8(v);
    }
  uint8_t *uv = background_.data() + static_cast<size_t>(w) * h;
  for (int y = 0; y < h / 2; ++y)
    for (int x = 0; x < w / 2; ++x) {
      const double c = hue[static_cast<size_t>(2 * y) * w + 2 * x];
      uv[static_cast<size_t>(y) * w + 2 * x] = clamp8(128 + 30 * c);
      uv[static_cast<size_t>(y) * w + 2 * x + 1] = clamp8(128 - 25 * c + (y < h / 8 ? -10 : 10));
    }

  const double W = w, H = h;
  // Each object: size, shape, key times (fractions of the clip) and positions.
  objects_.push_back({w / 8,
                      h / 5,
                      false,
                      {0.0, 0.3, 0.55, 0.85, 1.0},
                      {-0.1 * W, 0.35 * W, 0.35 * W, 0.8 * W, 0.8 * W},
                      {0.45 * H, 0.45 * H, 0.45 * H, 0.55 * H, 0.55 * H},
                      90,
                      170,
                      0});
  objects_.push_back({h / 5,
                      h / 5,
                      true,
                      {0.0, 0.15, 0.45, 0.7, 1.0},
                      {0.7 * W, 0.7 * W, 0.25 * W, 0.25 * W, 0.05 * W},
                      {0.15 * H, 0.15 * H, 0.7 * H, 0.7 * H, 0.3 * H},
                      170,
                      90,
                      3});
  objects_.push_back({w / 20,
                      h / 3,
                      false,
                      {0.0, 0.4, 0.5, 1.0},
                      {0.55 * W, 0.55 * W, 0.65 * W, 0.95 * W},
                      {0.3 * H, 0.3 * H, 0.3 * H, 0.3 * H},
                      110,
                      110,
                      7});
}

void Scene::position(const Object &o, int t, double &x, double &y) const {
  const double s = frames_ > 1 ? static_cast<double>(t) / (frames_ - 1) : 0.0;
  size_t k = 0;
  while (k + 2 < o.keyT.size() && s > o.keyT[k + 1]) ++k;
  const double span = o.keyT[k + 1] - o.keyT[k];
  const double a = span > 0 ? std::clamp((s - o.keyT[k]) / span, 0.0, 1.0) : 0.0;
  x = o.keyX[k] + (o.keyX[k + 1] - o.keyX[k]) * a;
  y = o.keyY[k] + (o.keyY[k + 1] - o.keyY[k]) * a;
}

void Scene::clean(int t, Frame &out) const {
  out = background_;
  const int w = width_, h = height_;
  uint8_t *uv = out.data() + static_cast<size_t>(w) * h;
  for (const Object &o : objects_) {
    double fx, fy;
    position(o, t, fx, fy);
    const int x0 = static_cast<int>(std::lround(fx)), y0 = static_cast<int>(std::lround(fy));
    for (int dy = 0; dy < o.h; ++dy)
      for (int dx = 0; dx < o.w; ++dx) {
        const int x = x0 + dx, y = y0 + dy;
        if (x < 0 || y < 0 || x >= w || y >= h) continue;
        if (o.disc) {
          const double rx = dx - o.w / 2.0 + 0.5, ry = dy - o.h / 2.0 + 0.5;
          if (rx * rx + ry * ry > o.w * o.h / 4.0) continue;
        }
        // Shading that moves with the object (a ramp and a soft rim) and a
        // faint stripe texture; strong periodic texture would look like noise
        // to any detector that measures how much of a change cancels out.
        const double ex = std::min(dx, o.w - 1 - dx), ey = std::min(dy, o.h - 1 - dy);
        const double rim = std::min(1.0, std::min(ex, ey) / 6.0);
        const int stripe = ((dx + o.phase) / 6) % 2;
        const double v = 40 + 150.0 * dy / o.h * rim + (stripe ? 8 : 0);
        out[static_cast<size_t>(y) * w + x] = clamp8(v);
        if (((x | y) & 1) == 0) {
          uv[static_cast<size_t>(y / 2) * w + x] = o.u;
          uv[static_cast<size_t>(y / 2) * w + x + 1] = o.v;
        }
      }
  }
}

void Scene::addSensorNoise(int t, Frame &frame) const {
  Gaussian g(seed_ * 0x2545F4914F6CDD1Dull + static_cast<uint64_t>(t) + 1);
  const int w = width_, h = height_;
  // Read noise of 2 plus shot noise of variance 0.15 per unit of brightness:
  // sigma 2.6 in the dark, 4.8 at mid grey, 6.2 at 230.
  for (size_t i = 0, n = static_cast<size_t>(w) * h; i < n; ++i) {
    const double s = std::sqrt(4.0 + 0.15 * frame[i]);
    frame[i] = clamp8(frame[i] + s * g.normal());
  }
  uint8_t *uv = frame.data() + static_cast<size_t>(w) * h;
  for (int y = 0; y < h / 2; ++y)
    for (int x = 0; x < w; ++x) {
      const uint8_t luma = frame[static_cast<size_t>(2 * y) * w + (x & ~1)];
      const double s = 0.5 * std::sqrt(4.0 + 0.15 * luma);
      uint8_t &c = uv[static_cast<size_t>(y) * w + x];
      c = clamp8(c + s * g.normal());
    }
}

}  // namespace tnr
