// Helpers for equivalence tests between a vector form and its per-sample
// twin: buffer comparison that names the first difference, pathological
// contents, and canary checks around the written area.
#ifndef TNR_MD_TEST_EQUIV_H
#define TNR_MD_TEST_EQUIV_H

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <random>
#include <sstream>
#include <string>

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

}  // namespace tnr_md_test

#endif  // TNR_MD_TEST_EQUIV_H
