// The NEON intrinsics whose x86 mapping is not a single instruction of the
// same definition, checked lane by lane against their Arm definitions on
// random and edge inputs: the ones neon.h replaces or adds, the reciprocal
// estimate and step, the float conversions and the saturating rounding
// doubling multiply. The same source runs natively on ARMv7-A and AArch64
// (under qemu) and through SIMDe on x86-64 at each level this machine runs
// (FMA and AVX-512 change SIMDe's mappings). The one-to-one mappings (adds,
// shifts, permutes, loads) are exercised by the stage equivalence tests.
#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <sstream>
#include <type_traits>

#include "arith.h"
#include "neon.h"
#include "test_util.h"

namespace {

using tnr_md::bitsFloat;
using tnr_md::floatBits;
using tnr_md_test::seededRng;

constexpr int kIters = 3000;

template <class T, size_t N>
using Arr = std::array<T, N>;

// Lanes of a vector in lane order (both Arm targets are little-endian, and
// SIMDe keeps lane i at element i).
template <class T, class V>
Arr<T, sizeof(V) / sizeof(T)> lanes(const V &v) {
  Arr<T, sizeof(V) / sizeof(T)> a;
  std::memcpy(a.data(), &v, sizeof v);
  return a;
}
template <class V, class T, size_t N>
V vec(const Arr<T, N> &a) {
  static_assert(sizeof(V) == N * sizeof(T), "lane count");
  V v;
  std::memcpy(&v, a.data(), sizeof v);
  return v;
}

template <class T>
std::string show(T x) {
  std::ostringstream s;
  if constexpr (std::is_same_v<T, float>) {
    s << x << " (0x" << std::hex << floatBits(x) << ")";
  } else {
    s << static_cast<int64_t>(x);
  }
  return s.str();
}
template <class T, size_t N>
std::string show(const Arr<T, N> &a) {
  std::string s = "{";
  for (size_t i = 0; i < N; ++i) s += (i ? ", " : "") + show(a[i]);
  return s + "}";
}

// Integers: edge values a quarter of the time, else uniform over the type.
template <class T>
T pick(std::mt19937 &rng) {
  using L = std::numeric_limits<T>;
  const int64_t edges[] = {L::min(),     L::min() + 1,     -1, 0,   1,   L::max() - 1, L::max(),
                           L::max() / 2, L::max() / 2 + 1, 2,  127, 128, 255,          256};
  if (rng() % 4 == 0) return static_cast<T>(edges[rng() % (sizeof edges / sizeof edges[0])]);
  return static_cast<T>(std::uniform_int_distribution<int64_t>(L::min(), L::max())(rng));
}

// Floats for the conversions: specials, ties, values around the integer
// limits, and random bit patterns.
float pickConv(std::mt19937 &rng) {
  const float inf = std::numeric_limits<float>::infinity();
  const float edges[] = {0.0f,          -0.0f,         0.5f,           -0.5f,
                         1.5f,          -1.5f,         0.99999994f,    -0.99999994f,
                         2147483520.0f, 2147483648.0f, -2147483648.0f, -2147483904.0f,
                         4294967040.0f, 4294967296.0f, 3e9f,           3.5e9f,
                         inf,           -inf,          std::nanf(""),  1e-40f,
                         65535.5f,      65536.0f,      -1.0f,          1e20f};
  switch (rng() % 4) {
    case 0:
      return edges[rng() % (sizeof edges / sizeof edges[0])];
    case 1:  // [2^31, 2^32), where SIMDe's unsigned conversion goes wrong
      return std::uniform_real_distribution<float>(2147483648.0f, 4294967040.0f)(rng);
    case 2: {  // moderate values with fractions, both signs
      const float f = static_cast<float>(static_cast<int32_t>(rng() % 200001) - 100000) / 4.0f;
      return f;
    }
    default:
      return bitsFloat(static_cast<uint32_t>(rng()));
  }
}

template <class T, size_t N, class Gen>
Arr<T, N> fill(std::mt19937 &rng, Gen gen) {
  Arr<T, N> a;
  for (auto &x : a) x = gen(rng);
  return a;
}

template <class T, size_t N>
bool sameLanes(const Arr<T, N> &got, const Arr<T, N> &want, size_t *lane) {
  for (size_t i = 0; i < N; ++i) {
    const bool eq =
        std::is_floating_point_v<T>
            ? (std::isnan(got[i]) ? std::isnan(want[i]) : floatBits(got[i]) == floatBits(want[i]))
            : got[i] == want[i];
    if (!eq) {
      *lane = i;
      return false;
    }
  }
  return true;
}

// op(vector) against ref(input lanes) -> output lanes, kIters times.
template <class TA, size_t NA, class TO, class VA, class Op, class Ref, class Gen>
void unary(const char *name, Op op, Ref ref, Gen gen, uint32_t salt) {
  auto rng = seededRng(salt);
  for (int it = 0; it < kIters; ++it) {
    const auto a = fill<TA, NA>(rng, gen);
    const auto got = lanes<TO>(op(vec<VA>(a)));
    const auto want = ref(a);
    size_t lane = 0;
    if (!sameLanes(got, want, &lane)) {
      ADD_FAILURE() << name << " lane " << lane << ": got " << show(got[lane]) << ", Arm gives "
                    << show(want[lane]) << "\n  a = " << show(a);
      return;
    }
  }
}

template <class TA, size_t NA, class TB, size_t NB, class TO, class VA, class VB, class Op,
          class Ref, class GenA, class GenB>
void binary(const char *name, Op op, Ref ref, GenA genA, GenB genB, uint32_t salt) {
  auto rng = seededRng(salt);
  for (int it = 0; it < kIters; ++it) {
    const auto a = fill<TA, NA>(rng, genA);
    const auto b = fill<TB, NB>(rng, genB);
    const auto got = lanes<TO>(op(vec<VA>(a), vec<VB>(b)));
    const auto want = ref(a, b);
    size_t lane = 0;
    if (!sameLanes(got, want, &lane)) {
      ADD_FAILURE() << name << " lane " << lane << ": got " << show(got[lane]) << ", Arm gives "
                    << show(want[lane]) << "\n  a = " << show(a) << "\n  b = " << show(b);
      return;
    }
  }
}

// Output lane i = f(a[i]) or f(a[i], b[i]).
template <class TO, class T, size_t N, class F>
Arr<TO, N> map1(const Arr<T, N> &a, F f) {
  Arr<TO, N> r;
  for (size_t i = 0; i < N; ++i) r[i] = static_cast<TO>(f(a[i]));
  return r;
}
template <class TO, class TA, class TB, size_t N, class F>
Arr<TO, N> map2(const Arr<TA, N> &a, const Arr<TB, N> &b, F f) {
  Arr<TO, N> r;
  for (size_t i = 0; i < N; ++i) r[i] = static_cast<TO>(f(a[i], b[i]));
  return r;
}

// Value of x in the 8/16/32 low bits (wrapping), as the destination type.
template <class T>
T wrap(int64_t x) {
  return static_cast<T>(static_cast<std::make_unsigned_t<T>>(static_cast<uint64_t>(x)));
}

auto gS16 = pick<int16_t>;
auto gU8 = pick<uint8_t>;
auto gU16 = pick<uint16_t>;
auto gS32 = pick<int32_t>;
auto gU32 = pick<uint32_t>;

// ---------------------------------------------------------------------------

TEST(NeonOps, FloatConversions) {
  unary<int32_t, 4, float, int32x4_t>(
      "vcvtq_f32_s32", [](int32x4_t a) { return vcvtq_f32_s32(a); },
      [](auto &a) { return map1<float>(a, [](int32_t x) { return static_cast<float>(x); }); }, gS32,
      500);
  unary<float, 4, int32_t, float32x4_t>(
      "vcvtq_s32_f32", [](float32x4_t a) { return vcvtq_s32_f32(a); },
      [](auto &a) { return map1<int32_t>(a, [](float x) { return tnr_md::truncToInt(x); }); },
      pickConv, 501);
  unary<float, 4, uint32_t, float32x4_t>(
      "vcvtq_u32_f32", [](float32x4_t a) { return vcvtq_u32_f32(a); },
      [](auto &a) { return map1<uint32_t>(a, [](float x) { return tnr_md::truncToUint(x); }); },
      pickConv, 502);
  unary<uint32_t, 4, float, uint32x4_t>(
      "vcvtq_f32_u32", [](uint32x4_t a) { return vcvtq_f32_u32(a); },
      [](auto &a) { return map1<float>(a, [](uint32_t x) { return static_cast<float>(x); }); },
      gU32, 503);
  // Fixed point: x / 2^7 rounded once; trunc(x x 2), saturating, NaN 0.
  unary<uint32_t, 4, float, uint32x4_t>(
      "vcvtq_n_f32_u32 7", [](uint32x4_t a) { return vcvtq_n_f32_u32(a, 7); },
      [](auto &a) {
        return map1<float>(a, [](uint32_t x) { return static_cast<float>(x / 128.0); });
      },
      gU32, 504);
  unary<float, 4, uint32_t, float32x4_t>(
      "vcvtq_n_u32_f32 1", [](float32x4_t a) { return vcvtq_n_u32_f32(a, 1); },
      [](auto &a) {
        return map1<uint32_t>(a, [](float x) -> uint32_t {
          const double v = 2.0 * x;
          if (!(v > 0.0)) return 0;
          return v >= 4294967296.0 ? UINT32_MAX : static_cast<uint32_t>(v);
        });
      },
      pickConv, 505);
}

// The stages take the estimate of integers 1 .. 32767 only: all of them.
TEST(NeonOps, ReciprocalEstimateExhaustive) {
  for (int s = 1; s <= 32767; s += 4) {
    const Arr<float, 4> in{float(s), float(s + 1), float(s + 2), float(s + 3)};
    const auto got = lanes<float>(vrecpeq_f32(vec<float32x4_t>(in)));
    for (int i = 0; i < 4; ++i) {
      if (s + i > 32767) break;
      ASSERT_EQ(floatBits(got[i]), floatBits(tnr_md::recipEstimate(in[i])))
          << "vrecpeq_f32(" << s + i << ")";
    }
  }
}

TEST(NeonOps, ReciprocalEstimateOtherInputs) {
  // Normal inputs with a normal estimate, both signs.
  unary<float, 4, float, float32x4_t>(
      "vrecpeq_f32", [](float32x4_t a) { return vrecpeq_f32(a); },
      [](auto &a) { return map1<float>(a, [](float x) { return tnr_md::recipEstimate(x); }); },
      [](std::mt19937 &g) {
        return bitsFloat((g() & 0x80000000u) | ((1 + g() % 252) << 23) | (g() & 0x7FFFFFu));
      },
      700);
  // Specials, mixed with ordinary lanes so that both paths of a build run.
  const float inf = std::numeric_limits<float>::infinity();
  const Arr<float, 4> special{0.0f, -0.0f, inf, -inf};
  const auto got = lanes<float>(vrecpeq_f32(vec<float32x4_t>(special)));
  EXPECT_EQ(floatBits(got[0]), floatBits(inf));
  EXPECT_EQ(floatBits(got[1]), floatBits(-inf));
  EXPECT_EQ(floatBits(got[2]), floatBits(0.0f));
  EXPECT_EQ(floatBits(got[3]), floatBits(-0.0f));
  const Arr<float, 4> mixed{std::nanf(""), 3.0f, 0.0f, 1000.0f};
  const auto gm = lanes<float>(vrecpeq_f32(vec<float32x4_t>(mixed)));
  EXPECT_TRUE(std::isnan(gm[0]));
  EXPECT_EQ(floatBits(gm[1]), floatBits(tnr_md::recipEstimate(3.0f)));
  EXPECT_EQ(floatBits(gm[2]), floatBits(inf));
  EXPECT_EQ(floatBits(gm[3]), floatBits(tnr_md::recipEstimate(1000.0f)));
}

// VRECPS rounds the product before the subtraction on ARMv7 (and x86
// follows it); AArch64's FRECPS is fused. The stages only step with
// products that are exact, where the two agree (next test).
float recpsRef(float a, float b) {
  if ((std::isinf(a) && b == 0.0f) || (a == 0.0f && std::isinf(b))) return 2.0f;
#if defined(__aarch64__)
  return std::fma(-a, b, 2.0f);
#else
  return tnr_md::recipStep(a, b);
#endif
}

TEST(NeonOps, ReciprocalStep) {
  binary<float, 4, float, 4, float, float32x4_t, float32x4_t>(
      "vrecpsq_f32", [](float32x4_t a, float32x4_t b) { return vrecpsq_f32(a, b); },
      [](auto &a, auto &b) { return map2<float>(a, b, recpsRef); },
      [](std::mt19937 &g) { return bitsFloat(((127 - 10 + g() % 20) << 23) | (g() & 0x7FFFFFu)); },
      [](std::mt19937 &g) { return bitsFloat(((127 - 10 + g() % 20) << 23) | (g() & 0x7FFFFFu)); },
      701);
  const float inf = std::numeric_limits<float>::infinity();
  const auto got =
      lanes<float>(vrecpsq_f32(vec<float32x4_t>(Arr<float, 4>{inf, 0.0f, -inf, 3.0f}),
                               vec<float32x4_t>(Arr<float, 4>{0.0f, inf, -0.0f, 0.5f})));
  EXPECT_EQ(got[0], 2.0f);
  EXPECT_EQ(got[1], 2.0f);
  EXPECT_EQ(got[2], 2.0f);
  EXPECT_EQ(got[3], 0.5f);
}

// The reciprocal the stages use: estimate, one step, product; for every
// divisor 1 .. 32767 on every target.
TEST(NeonOps, ReciprocalRefineExhaustive) {
  for (int s = 1; s <= 32767; s += 4) {
    const Arr<float, 4> in{float(s), float(s + 1), float(s + 2), float(s + 3)};
    const float32x4_t v = vec<float32x4_t>(in);
    const float32x4_t e = vrecpeq_f32(v);
    const auto got = lanes<float>(vmulq_f32(vrecpsq_f32(v, e), e));
    for (int i = 0; i < 4; ++i) {
      if (s + i > 32767) break;
      ASSERT_EQ(floatBits(got[i]), floatBits(tnr_md::recipRefine(in[i])))
          << "refined reciprocal of " << s + i;
    }
  }
}

// Replaced in neon.h: products that wrap modulo 2^32 (vmulq_n_s32,
// vmlaq_n_s32, vmull_n_u16), the widening shift of negative values, and the
// saturating rounding doubling multiply at -32768 x -32768.
TEST(NeonOps, ReplacedMultipliesAndShifts) {
  auto rng = seededRng(214);
  for (int k = 0; k < 24; ++k) {
    const int32_t n = k < 4 ? (k == 0 ? 1 : k == 1 ? 2 : k == 2 ? 4 : -1) : pick<int32_t>(rng);
    const uint16_t un = pick<uint16_t>(rng);
    unary<int32_t, 4, int32_t, int32x4_t>(
        "vmulq_n_s32", [n](int32x4_t a) { return vmulq_n_s32(a, n); },
        [n](auto &a) { return map1<int32_t>(a, [n](int64_t x) { return wrap<int32_t>(x * n); }); },
        gS32, 220 + k);
    binary<int32_t, 4, int32_t, 4, int32_t, int32x4_t, int32x4_t>(
        "vmlaq_n_s32", [n](int32x4_t acc, int32x4_t a) { return vmlaq_n_s32(acc, a, n); },
        [n](auto &acc, auto &a) {
          return map2<int32_t>(acc, a,
                               [n](int64_t c, int64_t x) { return wrap<int32_t>(c + x * n); });
        },
        gS32, gS32, 250 + k);
    unary<uint16_t, 4, uint32_t, uint16x4_t>(
        "vmull_n_u16", [un](uint16x4_t a) { return vmull_n_u16(a, un); },
        [un](auto &a) { return map1<uint32_t>(a, [un](int64_t x) { return x * un; }); }, gU16,
        50 + k);
  }
  unary<int16_t, 4, int32_t, int16x4_t>(
      "vshll_n_s16 7", [](int16x4_t a) { return vshll_n_s16(a, 7); },
      [](auto &a) { return map1<int32_t>(a, [](int64_t x) { return x * 128; }); }, gS16, 16);
  binary<int16_t, 8, int16_t, 8, int16_t, int16x8_t, int16x8_t>(
      "vqrdmulhq_s16", [](int16x8_t a, int16x8_t b) { return vqrdmulhq_s16(a, b); },
      [](auto &a, auto &b) {
        return map2<int16_t>(
            a, b, [](int64_t x, int64_t y) { return tnr_md::satS16((2 * x * y + 32768) >> 16); });
      },
      gS16, gS16, 910);
}

// Added in neon.h (missing from SIMDe): the absolute difference accumulated
// into wrapping 16-bit lanes, and the shift left and insert.
TEST(NeonOps, AddedInNeonH) {
  auto rng = seededRng(451);
  for (int it = 0; it < kIters; ++it) {
    const auto acc = fill<uint16_t, 8>(rng, gU16);
    const auto x = fill<uint8_t, 8>(rng, gU8);
    const auto y = fill<uint8_t, 8>(rng, gU8);
    const auto got =
        lanes<uint16_t>(vabal_u8(vec<uint16x8_t>(acc), vec<uint8x8_t>(x), vec<uint8x8_t>(y)));
    for (int i = 0; i < 8; ++i) {
      const int d = x[i] > y[i] ? x[i] - y[i] : y[i] - x[i];
      ASSERT_EQ(got[i], wrap<uint16_t>(acc[i] + d)) << "vabal_u8 lane " << i;
    }
  }
  binary<int32_t, 4, int32_t, 4, int32_t, int32x4_t, int32x4_t>(
      "vsliq_n_s32 16", [](int32x4_t a, int32x4_t b) { return vsliq_n_s32(a, b, 16); },
      [](auto &a, auto &b) {
        return map2<int32_t>(a, b, [](int64_t x, int64_t y) {
          return static_cast<int32_t>((static_cast<uint32_t>(y) << 16) |
                                      (static_cast<uint32_t>(x) & 0xFFFFu));
        });
      },
      gS32, gS32, 454);
}

}  // namespace
