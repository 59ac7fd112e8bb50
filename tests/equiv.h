// Helpers for equivalence tests between a vector form and its per-sample
// twin: buffer comparison that names the first difference, canary checks
// around the written area, buffers placed against guard pages.
#ifndef TNR_MD_TEST_EQUIV_H
#define TNR_MD_TEST_EQUIV_H

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "generators.h"
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

// Every element for which written(i) is false still holds its value in was.
template <class T>
::testing::AssertionResult keptOutside(const T *buf, const T *was, size_t n,
                                       const std::function<bool(size_t)> &written,
                                       size_t pitch = 0) {
  for (size_t i = 0; i < n; ++i) {
    if (!written(i) && buf[i] != was[i])
      return ::testing::AssertionFailure() << "element outside the written area changed at "
                                           << where(i, pitch) << ": " << +buf[i];
  }
  return ::testing::AssertionSuccess();
}
// Every element for which written(i) is false still holds the canary.
template <class T>
::testing::AssertionResult canaryIntact(const T *buf, size_t n, T canary,
                                        const std::function<bool(size_t)> &written,
                                        size_t pitch = 0) {
  return keptOutside(buf, std::vector<T>(n, canary).data(), n, written, pitch);
}

// The bytes of an imgW x imgH NV12 frame that a call filters: the luma of
// the pw x ph grid, and the grid's bytes of chroma rows c with 2c + 1 < ph.
inline std::function<bool(size_t)> filteredBytes(int imgW, int imgH, int pw, int ph) {
  return [=](size_t i) {
    const int row = int(i / imgW), x = int(i % imgW);
    return x < pw && (row < imgH ? row < ph : 2 * (row - imgH) + 1 < ph);
  };
}

constexpr int16_t kCanary16 = 0x5A5A;
constexpr uint32_t kCanary32 = 0xA5A5A5A5u;

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

}  // namespace tnr_md_test

#endif  // TNR_MD_TEST_EQUIV_H
