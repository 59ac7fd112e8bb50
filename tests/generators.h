// Input generators shared by the tests and the fuzzer (no test framework
// here): contents of a buffer, chroma weights and sigma scales, frame pairs.
#ifndef TNR_MD_TEST_GENERATORS_H
#define TNR_MD_TEST_GENERATORS_H

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <limits>
#include <random>

namespace tnr_md_test {

// Contents of a buffer.
enum class Fill {
  Random,       // uniform over [lo, hi]
  Low,          // all lo
  High,         // all hi
  Alternating,  // lo, hi, lo, hi ... shifted by one every row of the given pitch (if any)
  Extremes,     // each element lo or hi at random
  Runs,         // runs of random length and random value
  Count
};

inline const char *fillName(Fill f) {
  static const char *const kNames[] = {"random", "low", "high", "alternating", "extremes", "runs"};
  static_assert(sizeof kNames / sizeof kNames[0] == size_t(Fill::Count), "a name per fill");
  return f < Fill::Count ? kNames[int(f)] : "?";
}

template <class T>
void fillWith(T *p, size_t n, Fill f, std::mt19937 &rng, int64_t lo, int64_t hi, size_t pitch = 0) {
  std::uniform_int_distribution<int64_t> d(lo, hi);
  switch (f) {
    case Fill::Random:
    case Fill::Count:
      for (size_t i = 0; i < n; ++i) p[i] = static_cast<T>(d(rng));
      break;
    case Fill::Low:
      for (size_t i = 0; i < n; ++i) p[i] = static_cast<T>(lo);
      break;
    case Fill::High:
      for (size_t i = 0; i < n; ++i) p[i] = static_cast<T>(hi);
      break;
    case Fill::Alternating:
      for (size_t i = 0; i < n; ++i)
        p[i] = static_cast<T>(((i + (pitch ? i / pitch : 0)) & 1) ? hi : lo);
      break;
    case Fill::Extremes:
      for (size_t i = 0; i < n; ++i) p[i] = static_cast<T>(rng() & 1 ? hi : lo);
      break;
    case Fill::Runs:
      for (size_t i = 0; i < n;) {
        const T v = static_cast<T>(d(rng));
        for (size_t run = 1 + rng() % 24; run > 0 && i < n; --run) p[i++] = v;
      }
      break;
  }
}

template <class T>
void fillRandom(T *p, size_t n, std::mt19937 &rng, int64_t lo, int64_t hi) {
  fillWith(p, n, Fill::Random, rng, lo, hi);
}

inline int64_t uni(std::mt19937 &rng, int64_t lo, int64_t hi) {
  return std::uniform_int_distribution<int64_t>(lo, hi)(rng);
}

template <class T>
inline T pick(std::mt19937 &rng, std::initializer_list<T> v) {
  std::uniform_int_distribution<size_t> d(0, v.size() - 1);
  return *(v.begin() + d(rng));
}

// A float in [0, 1) from 24 random bits. (No long double inside: the NEON
// forms built through SIMDe by clang leave the x87 registers in MMX use,
// where long double arithmetic gives NaN.)
inline float unitFloat(std::mt19937 &rng) { return float(rng() >> 8) / 16777216.0f; }

// Chroma weights: ordinary ones, ones whose low 16 bits wrap in the per-sample
// term (fix >= 32768), ones whose block products wrap 32 bits, and specials.
inline float pickUvRatio(std::mt19937 &rng) {
  const float special[] = {0.0f, 1.0f, 0.5f, 0.3f, -0.3f, 1.0f / 256, -1.0f / 256, 255.99f, 256.0f,
                           300.0f, -256.01f, 511.5f, 1e6f, 2e7f, -3e7f,
                           std::numeric_limits<float>::infinity(), std::nanf(""),
                           // Weights 2^17 and just past it in both signs: the widest weight whose
                           // block chroma product fits in 32 bits, and the first that does not.
                           1024.0f, -1024.0f, 1024.01f, -1024.01f,
                           // Weights +-127 (the widest whose per-sample term fits 16-bit lanes)
                           // and 2^16 + 5 (low 16 bits 5).
                           0.9921875f, -0.9921875f, 512.0390625f};
  if (rng() % 2) return special[rng() % (sizeof special / sizeof special[0])];
  return unitFloat(rng) * 8.0f - 4.0f;
}

inline float pickSigmaScale(std::mt19937 &rng) {
  const float special[] = {1.0f,         0.875f, 1.75f,
                           7.0f,         0.0f,   -1.0f,
                           1e30f,        -1e30f, std::numeric_limits<float>::infinity(),
                           std::nanf("")};
  if (rng() % 3 == 0) return special[rng() % (sizeof special / sizeof special[0])];
  return unitFloat(rng) * 8.0f;
}

// Current and previous NV12 frames of one of several kinds.
inline void fillFrames(uint8_t *cur, uint8_t *pre, int w, int h, int kind, std::mt19937 &rng) {
  const size_t n = static_cast<size_t>(w) * h * 3 / 2;
  switch (kind) {
    case 0:  // independent noise
      fillWith(cur, n, Fill::Random, rng, 0, 255);
      fillWith(pre, n, Fill::Random, rng, 0, 255);
      break;
    case 1:  // extremes: every difference is 0 or +-255
      fillWith(cur, n, Fill::Extremes, rng, 0, 255);
      fillWith(pre, n, Fill::Extremes, rng, 0, 255);
      break;
    case 2:  // all 255 against all 0, or the other way round
      std::memset(cur, rng() % 2 ? 255 : 0, n);
      std::memset(pre, cur[0] ^ 255, n);
      break;
    case 3: {  // identical frames except for light noise
      fillWith(pre, n, Fill::Runs, rng, 0, 255);
      for (size_t i = 0; i < n; ++i) {
        const int v = pre[i] + static_cast<int>(rng() % 7) - 3;
        cur[i] = static_cast<uint8_t>(v < 0 ? 0 : v > 255 ? 255 : v);
      }
      break;
    }
    default: {  // a moving block: a square of the previous frame shifted
      fillWith(pre, n, Fill::Runs, rng, 0, 255);
      std::memcpy(cur, pre, n);
      const int bw = 1 + static_cast<int>(rng() % w), bh = 1 + static_cast<int>(rng() % h);
      const int x0 = static_cast<int>(rng() % (w - bw + 1)),
                y0 = static_cast<int>(rng() % (h - bh + 1));
      const int dx = static_cast<int>(rng() % 5) - 2, dy = static_cast<int>(rng() % 5) - 2;
      for (int y = y0; y < y0 + bh; ++y)
        for (int x = x0; x < x0 + bw; ++x) {
          const int sx = std::min(std::max(x + dx, 0), w - 1),
                    sy = std::min(std::max(y + dy, 0), h - 1);
          cur[y * w + x] = static_cast<uint8_t>(pre[sy * w + sx] ^ 0x80);
          uint8_t *uv = cur + w * h + (y / 2) * w + (x & ~1);
          uv[0] = static_cast<uint8_t>(255 - uv[0]);
        }
      break;
    }
  }
}

}  // namespace tnr_md_test

#endif  // TNR_MD_TEST_GENERATORS_H
