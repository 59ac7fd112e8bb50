// Test support: buffers against inaccessible pages, canaries, replayable seeds.
#ifndef TNR_MD_TEST_UTIL_H
#define TNR_MD_TEST_UTIL_H

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <stdexcept>
#include <string>

#include "generators.h"

namespace tnr_md_test {

// Which end of a GuardedBuffer touches an inaccessible page.
enum class Guard { Right, Left };
constexpr Guard kGuardSides[] = {Guard::Right, Guard::Left};
inline const char *sideName(Guard g) { return g == Guard::Right ? "right" : "left"; }

// n elements of T placed so that the first byte past the end (Guard::Right) or
// the byte before the start (Guard::Left) lies on a PROT_NONE page: any
// access one element outside faults. Non-copyable, movable.
template <class T>
class GuardedBuffer {
 public:
  GuardedBuffer() = default;
  explicit GuardedBuffer(size_t n, Guard side = Guard::Right) : n_(n) {
    const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    const size_t bytes = n * sizeof(T);
    const size_t dataPages = (bytes + page - 1) / page + (bytes == 0 ? 1 : 0);
    mapBytes_ = (dataPages + 2) * page;
    void *m = mmap(nullptr, mapBytes_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (m == MAP_FAILED) throw std::runtime_error("mmap failed");
    map_ = static_cast<uint8_t *>(m);
    mprotect(map_, page, PROT_NONE);
    mprotect(map_ + (dataPages + 1) * page, page, PROT_NONE);
    uint8_t *start = map_ + page;
    if (side == Guard::Right) start += dataPages * page - bytes;
    data_ = reinterpret_cast<T *>(start);
  }
  GuardedBuffer(const GuardedBuffer &) = delete;
  GuardedBuffer &operator=(const GuardedBuffer &) = delete;
  GuardedBuffer(GuardedBuffer &&o) noexcept { *this = std::move(o); }
  GuardedBuffer &operator=(GuardedBuffer &&o) noexcept {
    std::swap(map_, o.map_);
    std::swap(mapBytes_, o.mapBytes_);
    std::swap(data_, o.data_);
    std::swap(n_, o.n_);
    return *this;
  }
  ~GuardedBuffer() {
    if (map_) munmap(map_, mapBytes_);
  }
  T *data() { return data_; }
  const T *data() const { return data_; }
  size_t size() const { return n_; }
  T &operator[](size_t i) { return data_[i]; }
  const T &operator[](size_t i) const { return data_[i]; }
  T *begin() { return data_; }
  T *end() { return data_ + n_; }
  void fill(T v) {
    for (size_t i = 0; i < n_; ++i) data_[i] = v;
  }

 private:
  uint8_t *map_ = nullptr;
  size_t mapBytes_ = 0;
  T *data_ = nullptr;
  size_t n_ = 0;
};

// Seed of the random cases: TNR_MD_SEED replays a run; otherwise a fixed
// default so that CI is deterministic. Printed by every test that uses it.
inline uint32_t testSeed() {
  const char *s = std::getenv("TNR_MD_SEED");
  return s ? static_cast<uint32_t>(std::strtoul(s, nullptr, 0)) : 20261206u;
}

// Prints, after a failed test that drew random inputs, the random seed that replays
// it. Registered once, before main, by the inline variable below.
class SeedPrinter : public ::testing::EmptyTestEventListener {
 public:
  // Atomic: tests that run the library on several threads draw their inputs there.
  static std::atomic<bool> &used() {
    static std::atomic<bool> u{false};
    return u;
  }
  void OnTestStart(const ::testing::TestInfo &) override { used() = false; }
  void OnTestEnd(const ::testing::TestInfo &info) override {
    if (used() && info.result()->Failed())
      std::printf("[  SEED    ] %s.%s drew random inputs; replay with TNR_MD_SEED=%u\n",
                  info.test_suite_name(), info.name(), testSeed());
  }
};
inline const bool kSeedPrinterInstalled = [] {
  ::testing::UnitTest::GetInstance()->listeners().Append(new SeedPrinter);
  return true;
}();

// A generator seeded from testSeed() mixed with a per-test salt; a failure of
// the test prints its random seed.
inline std::mt19937 seededRng(uint32_t salt) {
  const uint32_t seed = testSeed();
  SeedPrinter::used() = true;
  std::seed_seq seq{seed, salt};
  return std::mt19937(seq);
}

}  // namespace tnr_md_test

#endif  // TNR_MD_TEST_UTIL_H
