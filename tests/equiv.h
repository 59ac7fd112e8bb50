// Helpers for equivalence tests between a vector form and its per-sample
// twin: buffer comparison that names the first difference, pathological
// contents, and canary checks around the written area.
#ifndef TNR_MD_TEST_EQUIV_H
#define TNR_MD_TEST_EQUIV_H

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <initializer_list>
#include <limits>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "test_util.h"

namespace tnr_md_test {

// Element i of a plane with the given pitch, as "index i (row r, column c)".
inline std::string where(size_t i, size_t pitch) {
  std::ostringstream s;
  s << "index " << i;
  if (pitch) s << " (row " << i / pitch << ", column " << i % pitch << ")";
  return s.str();
}

// Equal element by element; on failure names the first differing element
// (with its row and column when pitch is given) and the count of differences.
template <class T>
::testing::AssertionResult sameBuffers(const T *want, const T *got, size_t n, size_t pitch = 0) {
  size_t first = n, count = 0;
  for (size_t i = 0; i < n; ++i) {
    if (want[i] != got[i]) {
      if (first == n) first = i;
      ++count;
    }
  }
  if (count == 0) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure()
         << count << " of " << n << " elements differ; first at " << where(first, pitch)
         << ": expected " << +want[first] << ", got " << +got[first];
}

// Every element for which written(i) is false still holds the canary.
template <class T>
::testing::AssertionResult canaryIntact(const T *buf, size_t n, T canary,
                                        const std::function<bool(size_t)> &written,
                                        size_t pitch = 0) {
  for (size_t i = 0; i < n; ++i) {
    if (!written(i) && buf[i] != canary)
      return ::testing::AssertionFailure() << "element outside the written area changed at "
                                           << where(i, pitch) << ": " << +buf[i];
  }
  return ::testing::AssertionSuccess();
}

// Contents for the checkasm-style cases.
enum class Fill {
  Random,       // uniform over [lo, hi]
  Low,          // all lo
  High,         // all hi
  Alternating,  // lo, hi, lo, hi ... shifted by one every row of the given pitch
  Extremes,     // each element lo or hi at random
  Runs,         // runs of random length and random value
  Count
};

inline const char *fillName(Fill f) {
  switch (f) {
    case Fill::Random:
      return "random";
    case Fill::Low:
      return "low";
    case Fill::High:
      return "high";
    case Fill::Alternating:
      return "alternating";
    case Fill::Extremes:
      return "extremes";
    case Fill::Runs:
      return "runs";
    default:
      return "?";
  }
}

template <class T>
void fillWith(T *p, size_t n, Fill f, std::mt19937 &rng, int64_t lo, int64_t hi, size_t pitch = 1) {
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
      for (size_t i = 0; i < n; ++i) p[i] = static_cast<T>(((i + i / pitch) & 1) ? hi : lo);
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

// ---------------------------------------------------------------------------
// Input generators shared by the equivalence tests.

constexpr int16_t kCanary16 = 0x5A5A;
constexpr uint32_t kCanary32 = 0xA5A5A5A5u;

inline int64_t uni(std::mt19937 &rng, int64_t lo, int64_t hi) {
  return std::uniform_int_distribution<int64_t>(lo, hi)(rng);
}

template <class T>
inline T pick(std::mt19937 &rng, std::initializer_list<T> v) {
  std::uniform_int_distribution<size_t> d(0, v.size() - 1);
  return *(v.begin() + d(rng));
}

template <class T>
inline GuardedBuffer<T> canaryBuffer(size_t n, Guard g, T canary) {
  GuardedBuffer<T> b(n, g);
  b.fill(canary);
  return b;
}

template <class T>
inline GuardedBuffer<T> place(const std::vector<T> &v, Guard g) {
  GuardedBuffer<T> b(v.size(), g);
  std::copy(v.begin(), v.end(), b.begin());
  return b;
}

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
  return std::uniform_real_distribution<float>(-4.0f, 4.0f)(rng);
}

inline float pickSigmaScale(std::mt19937 &rng) {
  const float special[] = {1.0f,         0.875f, 1.75f,
                           7.0f,         0.0f,   -1.0f,
                           1e30f,        -1e30f, std::numeric_limits<float>::infinity(),
                           std::nanf("")};
  if (rng() % 3 == 0) return special[rng() % (sizeof special / sizeof special[0])];
  return std::uniform_real_distribution<float>(0.0f, 8.0f)(rng);
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

#endif  // TNR_MD_TEST_EQUIV_H
