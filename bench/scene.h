// A synthetic frame pair for benchmarks and instruction counts: a textured,
// lit background with sensor noise and two objects that move between the
// previous and the current frame. Integer arithmetic and a private generator
// only, so every platform builds exactly the same bytes.
#ifndef TNR_MD_BENCH_SCENE_H
#define TNR_MD_BENCH_SCENE_H

#include <cstddef>
#include <cstdint>
#include <new>
#include <vector>

namespace tnr_md_bench {

// Buffers start on 64-byte boundaries, as a camera pipeline's frame buffers
// do; with the default allocator the start (hence how many vector loads and
// stores straddle cache lines) would vary with the allocation.
template <class T>
struct Aligned64 {
  using value_type = T;
  Aligned64() = default;
  template <class U>
  Aligned64(const Aligned64<U> &) {}
  T *allocate(size_t n) {
    return static_cast<T *>(::operator new (n * sizeof(T), std::align_val_t{64}));
  }
  void deallocate(T *p, size_t) { ::operator delete (p, std::align_val_t{64}); }
  template <class U>
  bool operator==(const Aligned64<U> &) const {
    return true;
  }
  template <class U>
  bool operator!=(const Aligned64<U> &) const {
    return false;
  }
};
template <class T>
using Buf = std::vector<T, Aligned64<T>>;

// The tuning values every benchmark and count uses.
constexpr float kSigmaHScale = 1.0f;
constexpr float kSigmaLScale = 1.0f;
constexpr float kUvRatio = 0.5f;
constexpr float kLightClip = 0.0f;
constexpr int kStaticRatioRBit = 4;
// Strength of the spatial stage, in 1/16 (the tnr tool's default).
constexpr int kSpatialStrength = 80;

struct Scene {
  int width = 0, height = 0;    // frame and processing grid; maps use pitch width
  Buf<uint8_t> cur, pre;        // NV12, width x height x 3 / 2 bytes
  Buf<uint8_t> preAlpha, gain;  // width x height
  size_t pixels() const { return static_cast<size_t>(width) * height; }
};

namespace detail {

struct Noise {
  uint32_t s;
  uint32_t next() {  // xorshift32
    s ^= s << 13;
    s ^= s >> 17;
    s ^= s << 5;
    return s;
  }
  // Roughly Gaussian (sum of four bytes), standard deviation about 148 / div.
  int sample(int div) {
    const uint32_t r = next();
    const int sum = static_cast<int>((r & 255) + ((r >> 8) & 255) + ((r >> 16) & 255) + (r >> 24));
    return (sum - 510) / div;
  }
};

inline uint8_t clampU8(int v) { return static_cast<uint8_t>(v < 0 ? 0 : (v > 255 ? 255 : v)); }

struct Objects {
  int rx, ry, rw, rh;  // striped rectangle
  int cx, cy, r;       // ringed disc
};

// Luma and chroma of the noiseless scene at (x, y) with the objects at o.
inline int lumaAt(int x, int y, int w, int h, const Objects &o) {
  if (x >= o.rx && x < o.rx + o.rw && y >= o.ry && y < o.ry + o.rh)
    return 200 - 40 * (((x - o.rx) >> 3) & 1) - ((y - o.ry) & 7);
  const int dx = x - o.cx, dy = y - o.cy, d2 = dx * dx + dy * dy;
  if (d2 < o.r * o.r) return 60 + 24 * ((d2 / (o.r * 2 + 1)) & 1);
  return 40 + 100 * x / w + 60 * y / h + 18 * (((x >> 5) ^ (y >> 5)) & 1) +
         6 * ((x * 7 + y * 13) & 3);
}

inline void chromaAt(int x, int y, int w, int h, const Objects &o, int *u, int *v) {
  if (x >= o.rx && x < o.rx + o.rw && y >= o.ry && y < o.ry + o.rh) {
    *u = 90;
    *v = 170;
    return;
  }
  const int dx = x - o.cx, dy = y - o.cy;
  if (dx * dx + dy * dy < o.r * o.r) {
    *u = 160;
    *v = 100;
    return;
  }
  *u = 108 + 40 * x / w;
  *v = 138 - 30 * y / h;
}

inline void render(uint8_t *f, int w, int h, const Objects &o, uint32_t seed) {
  Noise n{seed};
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x)
      f[static_cast<size_t>(y) * w + x] = clampU8(lumaAt(x, y, w, h, o) + n.sample(49));
  uint8_t *uv = f + static_cast<size_t>(w) * h;
  for (int i = 0; i < h / 2; ++i)
    for (int j = 0; j < w / 2; ++j) {
      int u, v;
      chromaAt(2 * j, 2 * i, w, h, o, &u, &v);
      uv[static_cast<size_t>(i) * w + 2 * j] = clampU8(u + n.sample(74));
      uv[static_cast<size_t>(i) * w + 2 * j + 1] = clampU8(v + n.sample(74));
    }
}

}  // namespace detail

// Noise of standard deviation about 3 (luma) and 2 (chroma); the rectangle
// moves 12 right and 4 down, the disc 8 left and 10 up. pPreAlpha starts at
// 96 (a pixel still for a few frames) except where the objects were, gains
// vary between 64 and 127.
// everythingMoves: the previous frame's bytes are scrambled as well, so that
// every block and pixel differs far beyond the noise (the costliest case).
inline Scene makeScene(int width, int height, bool everythingMoves = false) {
  Scene s;
  s.width = width;
  s.height = height;
  const size_t frame = static_cast<size_t>(width) * height * 3 / 2;
  s.cur.resize(frame);
  s.pre.resize(frame);
  const detail::Objects before{width / 5,     height / 3,     width / 6,  height / 5,
                               3 * width / 5, 2 * height / 3, height / 10};
  detail::Objects after = before;
  after.rx += 12;
  after.ry += 4;
  after.cx -= 8;
  after.cy -= 10;
  detail::render(s.pre.data(), width, height, before, 0x2545F491u);
  detail::render(s.cur.data(), width, height, after, 0x9E3779B9u);
  if (everythingMoves) {
    detail::Noise scramble{0xC0FFEEu};
    for (uint8_t &b : s.pre) b = static_cast<uint8_t>(b ^ (scramble.next() & 0x7F));
  }

  s.preAlpha.resize(s.pixels());
  s.gain.resize(s.pixels());
  detail::Noise n{0x1234567u};
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x) {
      const size_t i = static_cast<size_t>(y) * width + x;
      const bool moving =
          detail::lumaAt(x, y, width, height, before) != detail::lumaAt(x, y, width, height, after);
      s.preAlpha[i] = moving ? 0 : 96;
      s.gain[i] = static_cast<uint8_t>(64 + (n.next() & 63));
    }
  return s;
}

}  // namespace tnr_md_bench

#endif  // TNR_MD_BENCH_SCENE_H
