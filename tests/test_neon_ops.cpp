// Every NEON intrinsic the vector forms use, checked lane by lane against its
// scalar Arm definition on random and edge inputs. The same source runs
// natively on ARMv7-A and AArch64 (under qemu) and through SIMDe on x86-64;
// passing everywhere shows that the x86 mapping (neon.h) gives the Arm result.
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
using tnr_md::low16;
using tnr_md::roundShift;
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

// Integers whose dropped bits are exactly a half, half of the time: the ties
// of a rounding shift by n.
template <class T, int n>
T pickHalf(std::mt19937 &rng) {
  T x = pick<T>(rng);
  if (rng() % 2) {
    using U = std::make_unsigned_t<T>;
    const U mask = static_cast<U>((U{1} << n) - 1);
    x = static_cast<T>((static_cast<U>(x) & static_cast<U>(~mask)) |
                       static_cast<U>(U{1} << (n - 1)));
  }
  return x;
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

// Normal floats in [2^-30, 2^30) of either sign: products and sums stay
// normal, so ARMv7's flush-to-zero cannot matter.
float pickNormal(std::mt19937 &rng) {
  const uint32_t e = 127 - 30 + rng() % 60;
  return bitsFloat((rng() & 0x80000000u) | (e << 23) | (rng() & 0x7FFFFFu));
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

TEST(NeonOps, LoadsStoresAndDeinterleave) {
  auto rng = seededRng(1);
  for (int it = 0; it < 200; ++it) {
    alignas(16) uint8_t buf[33];
    uint8_t out[32];
    for (auto &b : buf) b = static_cast<uint8_t>(rng());
    const uint8_t *p = buf + 1;  // unaligned
    vst1_u8(out, vld1_u8(p));
    ASSERT_EQ(0, std::memcmp(out, p, 8));
    vst1q_u8(out, vld1q_u8(p));
    ASSERT_EQ(0, std::memcmp(out, p, 16));
    int16_t s[9], so[8];
    std::memcpy(s, buf, sizeof s);
    vst1q_s16(so, vld1q_s16(s + 1));
    ASSERT_EQ(0, std::memcmp(so, s + 1, 16));
    int32_t w[4];
    std::memcpy(w, buf + 3, 16);
    int32_t wo[4];
    vst1q_s32(wo, vld1q_s32(w));
    ASSERT_EQ(0, std::memcmp(wo, w, 16));
    const uint8x8x2_t d = vld2_u8(p);
    const auto u = lanes<uint8_t>(d.val[0]);
    const auto v = lanes<uint8_t>(d.val[1]);
    for (int i = 0; i < 8; ++i) {
      ASSERT_EQ(u[i], p[2 * i]) << "vld2_u8 U lane " << i;
      ASSERT_EQ(v[i], p[2 * i + 1]) << "vld2_u8 V lane " << i;
    }
  }
}

TEST(NeonOps, WideningAndNarrowing) {
  unary<uint8_t, 8, uint16_t, uint8x8_t>(
      "vmovl_u8", [](uint8x8_t a) { return vmovl_u8(a); },
      [](auto &a) { return map1<uint16_t>(a, [](int64_t x) { return x; }); }, gU8, 10);
  unary<int16_t, 4, int32_t, int16x4_t>(
      "vmovl_s16", [](int16x4_t a) { return vmovl_s16(a); },
      [](auto &a) { return map1<int32_t>(a, [](int64_t x) { return x; }); }, gS16, 11);
  unary<int32_t, 4, int16_t, int32x4_t>(
      "vmovn_s32", [](int32x4_t a) { return vmovn_s32(a); },
      [](auto &a) { return map1<int16_t>(a, [](int64_t x) { return wrap<int16_t>(x); }); }, gS32,
      12);
  unary<uint32_t, 4, uint16_t, uint32x4_t>(
      "vmovn_u32", [](uint32x4_t a) { return vmovn_u32(a); },
      [](auto &a) { return map1<uint16_t>(a, [](int64_t x) { return wrap<uint16_t>(x); }); }, gU32,
      13);
  unary<uint16_t, 8, uint8_t, uint16x8_t>(
      "vmovn_u16", [](uint16x8_t a) { return vmovn_u16(a); },
      [](auto &a) { return map1<uint8_t>(a, [](int64_t x) { return wrap<uint8_t>(x); }); }, gU16,
      14);
  unary<uint32_t, 4, uint16_t, uint32x4_t>(
      "vqmovn_u32", [](uint32x4_t a) { return vqmovn_u32(a); },
      [](auto &a) { return map1<uint16_t>(a, [](int64_t x) { return tnr_md::satU16(x); }); }, gU32,
      15);
  unary<int16_t, 4, int32_t, int16x4_t>(
      "vshll_n_s16 7", [](int16x4_t a) { return vshll_n_s16(a, 7); },
      [](auto &a) { return map1<int32_t>(a, [](int64_t x) { return x * 128; }); }, gS16, 16);
  binary<int16_t, 4, int16_t, 4, int32_t, int16x4_t, int16x4_t>(
      "vaddl_s16", [](int16x4_t a, int16x4_t b) { return vaddl_s16(a, b); },
      [](auto &a, auto &b) {
        return map2<int32_t>(a, b, [](int64_t x, int64_t y) { return x + y; });
      },
      gS16, gS16, 17);
  binary<uint8_t, 8, uint8_t, 8, uint16_t, uint8x8_t, uint8x8_t>(
      "vmull_u8", [](uint8x8_t a, uint8x8_t b) { return vmull_u8(a, b); },
      [](auto &a, auto &b) {
        return map2<uint16_t>(a, b, [](int64_t x, int64_t y) { return x * y; });
      },
      gU8, gU8, 18);
  unary<int16_t, 8, int32_t, int16x8_t>(
      "vpaddlq_s16", [](int16x8_t a) { return vpaddlq_s16(a); },
      [](auto &a) {
        Arr<int32_t, 4> r;
        for (int i = 0; i < 4; ++i) r[i] = a[2 * i] + a[2 * i + 1];
        return r;
      },
      gS16, 19);
  unary<int32_t, 4, int64_t, int32x4_t>(
      "vpaddlq_s32", [](int32x4_t a) { return vpaddlq_s32(a); },
      [](auto &a) {
        return Arr<int64_t, 2>{int64_t{a[0]} + a[1], int64_t{a[2]} + a[3]};
      },
      gS32, 20);
  // Widening multiplies by a scalar and their accumulating forms, per scalar.
  auto rng = seededRng(21);
  for (int k = 0; k < 24; ++k) {
    const int16_t n = pick<int16_t>(rng);
    const uint16_t un = pick<uint16_t>(rng);
    unary<int16_t, 4, int32_t, int16x4_t>(
        "vmull_n_s16", [n](int16x4_t a) { return vmull_n_s16(a, n); },
        [n](auto &a) { return map1<int32_t>(a, [n](int64_t x) { return x * n; }); }, gS16, 22 + k);
    unary<uint16_t, 4, uint32_t, uint16x4_t>(
        "vmull_n_u16", [un](uint16x4_t a) { return vmull_n_u16(a, un); },
        [un](auto &a) { return map1<uint32_t>(a, [un](int64_t x) { return x * un; }); }, gU16,
        50 + k);
    binary<int32_t, 4, int16_t, 4, int32_t, int32x4_t, int16x4_t>(
        "vmlal_n_s16", [n](int32x4_t acc, int16x4_t a) { return vmlal_n_s16(acc, a, n); },
        [n](auto &acc, auto &a) {
          return map2<int32_t>(acc, a,
                               [n](int64_t c, int64_t x) { return wrap<int32_t>(c + x * n); });
        },
        gS32, gS16, 80 + k);
  }
  binary<uint16_t, 8, uint16_t, 8, uint16_t, uint16x8_t, uint16x8_t>(
      "vmlal_u8",
      [](uint16x8_t acc, uint16x8_t ab) {
        return vmlal_u8(acc, vget_low_u8(vreinterpretq_u8_u16(ab)),
                        vget_high_u8(vreinterpretq_u8_u16(ab)));
      },
      [](auto &acc, auto &ab) {
        Arr<uint8_t, 16> bytes;
        std::memcpy(bytes.data(), ab.data(), 16);
        Arr<uint16_t, 8> r;
        for (int i = 0; i < 8; ++i)
          r[i] = wrap<uint16_t>(int64_t{acc[i]} + bytes[i] * bytes[8 + i]);
        return r;
      },
      gU16, gU16, 110);
}

TEST(NeonOps, IntegerArithmetic) {
  binary<int16_t, 8, int16_t, 8, int16_t, int16x8_t, int16x8_t>(
      "vqsubq_s16", [](int16x8_t a, int16x8_t b) { return vqsubq_s16(a, b); },
      [](auto &a, auto &b) {
        return map2<int16_t>(a, b, [](int64_t x, int64_t y) { return tnr_md::satS16(x - y); });
      },
      gS16, gS16, 200);
  unary<int16_t, 8, int16_t, int16x8_t>(
      "vabsq_s16", [](int16x8_t a) { return vabsq_s16(a); },
      [](auto &a) {
        return map1<int16_t>(a, [](int64_t x) { return wrap<int16_t>(x < 0 ? -x : x); });
      },
      gS16, 201);
  binary<int16_t, 8, int16_t, 8, int16_t, int16x8_t, int16x8_t>(
      "vaddq_s16", [](int16x8_t a, int16x8_t b) { return vaddq_s16(a, b); },
      [](auto &a, auto &b) {
        return map2<int16_t>(a, b, [](int64_t x, int64_t y) { return wrap<int16_t>(x + y); });
      },
      gS16, gS16, 202);
  binary<int16_t, 8, int16_t, 8, int16_t, int16x8_t, int16x8_t>(
      "vsubq_s16", [](int16x8_t a, int16x8_t b) { return vsubq_s16(a, b); },
      [](auto &a, auto &b) {
        return map2<int16_t>(a, b, [](int64_t x, int64_t y) { return wrap<int16_t>(x - y); });
      },
      gS16, gS16, 203);
  binary<int32_t, 4, int32_t, 4, int32_t, int32x4_t, int32x4_t>(
      "vaddq_s32", [](int32x4_t a, int32x4_t b) { return vaddq_s32(a, b); },
      [](auto &a, auto &b) {
        return map2<int32_t>(a, b, [](int64_t x, int64_t y) { return wrap<int32_t>(x + y); });
      },
      gS32, gS32, 204);
  binary<int32_t, 4, int32_t, 4, int32_t, int32x4_t, int32x4_t>(
      "vsubq_s32", [](int32x4_t a, int32x4_t b) { return vsubq_s32(a, b); },
      [](auto &a, auto &b) {
        return map2<int32_t>(a, b, [](int64_t x, int64_t y) { return wrap<int32_t>(x - y); });
      },
      gS32, gS32, 205);
  binary<uint8_t, 8, uint8_t, 8, uint8_t, uint8x8_t, uint8x8_t>(
      "vadd_u8", [](uint8x8_t a, uint8x8_t b) { return vadd_u8(a, b); },
      [](auto &a, auto &b) {
        return map2<uint8_t>(a, b, [](int64_t x, int64_t y) { return wrap<uint8_t>(x + y); });
      },
      gU8, gU8, 206);
  binary<uint8_t, 8, uint8_t, 8, uint8_t, uint8x8_t, uint8x8_t>(
      "vsub_u8", [](uint8x8_t a, uint8x8_t b) { return vsub_u8(a, b); },
      [](auto &a, auto &b) {
        return map2<uint8_t>(a, b, [](int64_t x, int64_t y) { return wrap<uint8_t>(x - y); });
      },
      gU8, gU8, 207);
  binary<int16_t, 8, int16_t, 8, int16_t, int16x8_t, int16x8_t>(
      "vmaxq_s16", [](int16x8_t a, int16x8_t b) { return vmaxq_s16(a, b); },
      [](auto &a, auto &b) {
        return map2<int16_t>(a, b, [](int64_t x, int64_t y) { return x > y ? x : y; });
      },
      gS16, gS16, 208);
  binary<int32_t, 4, int32_t, 4, int32_t, int32x4_t, int32x4_t>(
      "vmaxq_s32", [](int32x4_t a, int32x4_t b) { return vmaxq_s32(a, b); },
      [](auto &a, auto &b) {
        return map2<int32_t>(a, b, [](int64_t x, int64_t y) { return x > y ? x : y; });
      },
      gS32, gS32, 209);
  binary<uint16_t, 8, uint16_t, 8, uint16_t, uint16x8_t, uint16x8_t>(
      "vminq_u16", [](uint16x8_t a, uint16x8_t b) { return vminq_u16(a, b); },
      [](auto &a, auto &b) {
        return map2<uint16_t>(a, b, [](int64_t x, int64_t y) { return x < y ? x : y; });
      },
      gU16, gU16, 210);
  binary<uint8_t, 8, uint8_t, 8, uint8_t, uint8x8_t, uint8x8_t>(
      "vmax_u8", [](uint8x8_t a, uint8x8_t b) { return vmax_u8(a, b); },
      [](auto &a, auto &b) {
        return map2<uint8_t>(a, b, [](int64_t x, int64_t y) { return x > y ? x : y; });
      },
      gU8, gU8, 211);
  unary<int16_t, 8, int16_t, int16x8_t>(
      "vshlq_n_s16 5", [](int16x8_t a) { return vshlq_n_s16(a, 5); },
      [](auto &a) { return map1<int16_t>(a, [](int64_t x) { return wrap<int16_t>(x * 32); }); },
      gS16, 212);
  unary<int32_t, 4, int32_t, int32x4_t>(
      "vshlq_n_s32 7", [](int32x4_t a) { return vshlq_n_s32(a, 7); },
      [](auto &a) { return map1<int32_t>(a, [](int64_t x) { return wrap<int32_t>(x * 128); }); },
      gS32, 213);
  auto rng = seededRng(214);
  for (int k = 0; k < 24; ++k) {
    const int32_t n = k < 4 ? (k == 0 ? 1 : k == 1 ? 2 : k == 2 ? 4 : -1) : pick<int32_t>(rng);
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
  }
}

TEST(NeonOps, RoundingShifts) {
  unary<int32_t, 4, int16_t, int32x4_t>(
      "vrshrn_n_s32 4", [](int32x4_t a) { return vrshrn_n_s32(a, 4); },
      [](auto &a) { return map1<int16_t>(a, [](int64_t x) { return low16(roundShift(x, 4)); }); },
      pickHalf<int32_t, 4>, 300);
  unary<int32_t, 4, int16_t, int32x4_t>(
      "vrshrn_n_s32 7", [](int32x4_t a) { return vrshrn_n_s32(a, 7); },
      [](auto &a) { return map1<int16_t>(a, [](int64_t x) { return low16(roundShift(x, 7)); }); },
      pickHalf<int32_t, 7>, 301);
  unary<int32_t, 4, int32_t, int32x4_t>(
      "vrshrq_n_s32 7", [](int32x4_t a) { return vrshrq_n_s32(a, 7); },
      [](auto &a) { return map1<int32_t>(a, [](int64_t x) { return roundShift(x, 7); }); },
      pickHalf<int32_t, 7>, 302);
  unary<uint16_t, 8, uint8_t, uint16x8_t>(
      "vrshrn_n_u16 3", [](uint16x8_t a) { return vrshrn_n_u16(a, 3); },
      [](auto &a) {
        return map1<uint8_t>(a, [](int64_t x) { return wrap<uint8_t>(roundShift(x, 3)); });
      },
      pickHalf<uint16_t, 3>, 303);
  unary<uint16_t, 8, uint8_t, uint16x8_t>(
      "vrshrn_n_u16 7", [](uint16x8_t a) { return vrshrn_n_u16(a, 7); },
      [](auto &a) {
        return map1<uint8_t>(a, [](int64_t x) { return wrap<uint8_t>(roundShift(x, 7)); });
      },
      pickHalf<uint16_t, 7>, 304);
  unary<uint32_t, 4, uint16_t, uint32x4_t>(
      "vrshrn_n_u32 14", [](uint32x4_t a) { return vrshrn_n_u32(a, 14); },
      [](auto &a) {
        return map1<uint16_t>(a, [](int64_t x) { return wrap<uint16_t>(roundShift(x, 14)); });
      },
      pickHalf<uint32_t, 14>, 305);
}

TEST(NeonOps, Permutes) {
  // vextq_s16 for every offset; the immediate must be a constant.
  auto refExt = [](int n) {
    return [n](auto &a, auto &b) {
      Arr<int16_t, 8> r;
      for (int i = 0; i < 8; ++i) r[i] = i + n < 8 ? a[i + n] : b[i + n - 8];
      return r;
    };
  };
#define TNR_EXT(n)                                                                             \
  binary<int16_t, 8, int16_t, 8, int16_t, int16x8_t, int16x8_t>(                               \
      "vextq_s16 " #n, [](int16x8_t a, int16x8_t b) { return vextq_s16(a, b, n); }, refExt(n), \
      gS16, gS16, 400 + n)
  TNR_EXT(1);
  TNR_EXT(2);
  TNR_EXT(3);
  TNR_EXT(4);
  TNR_EXT(5);
  TNR_EXT(6);
  TNR_EXT(7);
#undef TNR_EXT
  binary<int16_t, 8, int16_t, 8, int16_t, int16x8_t, int16x8_t>(
      "vzipq_s16",
      [](int16x8_t a, int16x8_t b) {
        const int16x8x2_t z = vzipq_s16(a, b);
        return vcombine_s16(vget_low_s16(z.val[0]), vget_high_s16(z.val[1]));
      },
      [](auto &a, auto &b) {
        // val[0] = a0 b0 a1 b1 a2 b2 a3 b3, val[1] = a4 b4 .. a7 b7: low of
        // val[0] and high of val[1] together are a0 b0 a1 b1 a6 b6 a7 b7.
        return Arr<int16_t, 8>{a[0], b[0], a[1], b[1], a[6], b[6], a[7], b[7]};
      },
      gS16, gS16, 410);
  binary<int16_t, 8, int16_t, 8, int16_t, int16x8_t, int16x8_t>(
      "vzipq_s16 (other halves)",
      [](int16x8_t a, int16x8_t b) {
        const int16x8x2_t z = vzipq_s16(a, b);
        return vcombine_s16(vget_high_s16(z.val[0]), vget_low_s16(z.val[1]));
      },
      [](auto &a, auto &b) {
        return Arr<int16_t, 8>{a[2], b[2], a[3], b[3], a[4], b[4], a[5], b[5]};
      },
      gS16, gS16, 411);
  binary<uint8_t, 8, uint8_t, 8, uint8_t, uint8x8_t, uint8x8_t>(
      "vzip_u8",
      [](uint8x8_t a, uint8x8_t b) {
        const uint8x8x2_t z = vzip_u8(a, b);
        return vcombine_u8(z.val[0], z.val[1]);
      },
      [](auto &a, auto &b) {
        Arr<uint8_t, 16> r;
        for (int i = 0; i < 8; ++i) {
          r[2 * i] = a[i];
          r[2 * i + 1] = b[i];
        }
        return r;
      },
      gU8, gU8, 412);
  binary<uint8_t, 16, uint8_t, 16, uint8_t, uint8x16_t, uint8x16_t>(
      "vuzpq_u8 val[0]", [](uint8x16_t a, uint8x16_t b) { return vuzpq_u8(a, b).val[0]; },
      [](auto &a, auto &b) {
        Arr<uint8_t, 16> r;
        for (int i = 0; i < 8; ++i) r[i] = a[2 * i], r[8 + i] = b[2 * i];
        return r;
      },
      gU8, gU8, 413);
  binary<uint8_t, 16, uint8_t, 16, uint8_t, uint8x16_t, uint8x16_t>(
      "vuzpq_u8 val[1]", [](uint8x16_t a, uint8x16_t b) { return vuzpq_u8(a, b).val[1]; },
      [](auto &a, auto &b) {
        Arr<uint8_t, 16> r;
        for (int i = 0; i < 8; ++i) r[i] = a[2 * i + 1], r[8 + i] = b[2 * i + 1];
        return r;
      },
      gU8, gU8, 414);
  // Table lookup: indices 8 and above (out of range) give 0.
  binary<uint8_t, 8, uint8_t, 8, uint8_t, uint8x8_t, uint8x8_t>(
      "vtbl1_u8", [](uint8x8_t t, uint8x8_t idx) { return vtbl1_u8(t, idx); },
      [](auto &t, auto &idx) {
        Arr<uint8_t, 8> r;
        for (int i = 0; i < 8; ++i) r[i] = idx[i] < 8 ? t[idx[i]] : 0;
        return r;
      },
      gU8, [](std::mt19937 &g) { return static_cast<uint8_t>(g() % 2 ? g() % 16 : g()); }, 415);
  // Halves, joins, lane reads and broadcasts.
  unary<int16_t, 8, int16_t, int16x8_t>(
      "vget_high_s16/vget_low_s16/vcombine_s16",
      [](int16x8_t a) { return vcombine_s16(vget_high_s16(a), vget_low_s16(a)); },
      [](auto &a) { return Arr<int16_t, 8>{a[4], a[5], a[6], a[7], a[0], a[1], a[2], a[3]}; }, gS16,
      416);
  unary<uint16_t, 8, uint16_t, uint16x8_t>(
      "vget_high_u16/vget_low_u16/vcombine_u16",
      [](uint16x8_t a) { return vcombine_u16(vget_high_u16(a), vget_low_u16(a)); },
      [](auto &a) { return Arr<uint16_t, 8>{a[4], a[5], a[6], a[7], a[0], a[1], a[2], a[3]}; },
      gU16, 417);
  unary<uint8_t, 16, uint8_t, uint8x16_t>(
      "vget_high_u8/vget_low_u8/vcombine_u8",
      [](uint8x16_t a) { return vcombine_u8(vget_high_u8(a), vget_low_u8(a)); },
      [](auto &a) {
        Arr<uint8_t, 16> r;
        for (int i = 0; i < 16; ++i) r[i] = a[(i + 8) % 16];
        return r;
      },
      gU8, 418);
  auto rng = seededRng(419);
  for (int it = 0; it < 100; ++it) {
    const int64_t x = static_cast<int64_t>((uint64_t{rng()} << 32) | rng());
    const int64_t y = static_cast<int64_t>((uint64_t{rng()} << 32) | rng());
    const int64x2_t v = vec<int64x2_t>(Arr<int64_t, 2>{x, y});
    ASSERT_EQ(vgetq_lane_s64(v, 0), x);
    ASSERT_EQ(vgetq_lane_s64(v, 1), y);
    const uint8_t b = static_cast<uint8_t>(rng());
    const int32_t i = static_cast<int32_t>(rng());
    const float f = bitsFloat(rng());
    for (uint8_t l : lanes<uint8_t>(vdup_n_u8(b))) ASSERT_EQ(l, b);
    for (int32_t l : lanes<int32_t>(vdupq_n_s32(i))) ASSERT_EQ(l, i);
    for (float l : lanes<float>(vdupq_n_f32(f))) ASSERT_EQ(floatBits(l), floatBits(f));
  }
}

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
}

TEST(NeonOps, FloatArithmetic) {
  binary<float, 4, float, 4, float, float32x4_t, float32x4_t>(
      "vmulq_f32", [](float32x4_t a, float32x4_t b) { return vmulq_f32(a, b); },
      [](auto &a, auto &b) { return map2<float>(a, b, [](float x, float y) { return x * y; }); },
      pickNormal, pickNormal, 600);
  binary<float, 4, float, 4, float, float32x4_t, float32x4_t>(
      "vaddq_f32", [](float32x4_t a, float32x4_t b) { return vaddq_f32(a, b); },
      [](auto &a, auto &b) { return map2<float>(a, b, [](float x, float y) { return x + y; }); },
      pickNormal, pickNormal, 601);
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

// The byte and halfword forms of the leaner passes: exact differences of
// bytes, widening shifts and subtractions, saturating narrowing, the shift
// and insert that copies a halfword's high byte into its low one, the
// rounding doubling multiply that gives the static ratio, multiplies by a
// lane, pairwise adds and 32-bit lane extraction.
TEST(NeonOps, ByteAndHalfwordForms) {
  binary<uint8_t, 8, uint8_t, 8, uint16_t, uint8x8_t, uint8x8_t>(
      "vsubl_u8", [](uint8x8_t a, uint8x8_t b) { return vsubl_u8(a, b); },
      [](auto &a, auto &b) {
        return map2<uint16_t>(a, b, [](int64_t x, int64_t y) { return wrap<uint16_t>(x - y); });
      },
      gU8, gU8, 900);
  binary<uint16_t, 8, uint8_t, 8, uint16_t, uint16x8_t, uint8x8_t>(
      "vsubw_u8", [](uint16x8_t a, uint8x8_t b) { return vsubw_u8(a, b); },
      [](auto &a, auto &b) {
        return map2<uint16_t>(a, b, [](int64_t x, int64_t y) { return wrap<uint16_t>(x - y); });
      },
      gU16, gU8, 901);
  unary<uint8_t, 8, uint16_t, uint8x8_t>(
      "vshll_n_u8 7", [](uint8x8_t a) { return vshll_n_u8(a, 7); },
      [](auto &a) { return map1<uint16_t>(a, [](int64_t x) { return x * 128; }); }, gU8, 902);
  unary<uint32_t, 4, float, uint32x4_t>(
      "vcvtq_f32_u32", [](uint32x4_t a) { return vcvtq_f32_u32(a); },
      [](auto &a) { return map1<float>(a, [](uint32_t x) { return static_cast<float>(x); }); },
      gU32, 903);
  unary<uint16_t, 8, uint8_t, uint16x8_t>(
      "vqmovn_u16", [](uint16x8_t a) { return vqmovn_u16(a); },
      [](auto &a) { return map1<uint8_t>(a, [](int64_t x) { return tnr_md::satU8(x); }); }, gU16,
      904);
  binary<uint8_t, 16, uint8_t, 16, uint8_t, uint8x16_t, uint8x16_t>(
      "vminq_u8", [](uint8x16_t a, uint8x16_t b) { return vminq_u8(a, b); },
      [](auto &a, auto &b) {
        return map2<uint8_t>(a, b, [](int64_t x, int64_t y) { return x < y ? x : y; });
      },
      gU8, gU8, 905);
  binary<uint8_t, 16, uint8_t, 16, uint8_t, uint8x16_t, uint8x16_t>(
      "vmaxq_u8", [](uint8x16_t a, uint8x16_t b) { return vmaxq_u8(a, b); },
      [](auto &a, auto &b) {
        return map2<uint8_t>(a, b, [](int64_t x, int64_t y) { return x > y ? x : y; });
      },
      gU8, gU8, 906);
  binary<uint8_t, 16, uint8_t, 16, uint8_t, uint8x16_t, uint8x16_t>(
      "vsubq_u8", [](uint8x16_t a, uint8x16_t b) { return vsubq_u8(a, b); },
      [](auto &a, auto &b) {
        return map2<uint8_t>(a, b, [](int64_t x, int64_t y) { return wrap<uint8_t>(x - y); });
      },
      gU8, gU8, 907);
  binary<uint8_t, 16, uint8_t, 16, uint8_t, uint8x16_t, uint8x16_t>(
      "vaddq_u8", [](uint8x16_t a, uint8x16_t b) { return vaddq_u8(a, b); },
      [](auto &a, auto &b) {
        return map2<uint8_t>(a, b, [](int64_t x, int64_t y) { return wrap<uint8_t>(x + y); });
      },
      gU8, gU8, 908);
  binary<uint16_t, 8, uint16_t, 8, uint16_t, uint16x8_t, uint16x8_t>(
      "vsriq_n_u16 8", [](uint16x8_t a, uint16x8_t b) { return vsriq_n_u16(a, b, 8); },
      [](auto &a, auto &b) {
        return map2<uint16_t>(a, b, [](int64_t x, int64_t y) { return (x & 0xFF00) | (y >> 8); });
      },
      gU16, gU16, 909);
  binary<int16_t, 8, int16_t, 8, int16_t, int16x8_t, int16x8_t>(
      "vqrdmulhq_s16", [](int16x8_t a, int16x8_t b) { return vqrdmulhq_s16(a, b); },
      [](auto &a, auto &b) {
        return map2<int16_t>(
            a, b, [](int64_t x, int64_t y) { return tnr_md::satS16((2 * x * y + 32768) >> 16); });
      },
      gS16, gS16, 910);
  auto rng = seededRng(911);
  for (int k = 0; k < 24; ++k) {
    const int16_t n = pick<int16_t>(rng);
    const int16x4_t nv = vdup_n_s16(n);
    unary<int16_t, 4, int32_t, int16x4_t>(
        "vmull_lane_s16", [nv](int16x4_t a) { return vmull_lane_s16(a, nv, 0); },
        [n](auto &a) { return map1<int32_t>(a, [n](int64_t x) { return x * n; }); }, gS16, 920 + k);
    binary<int32_t, 4, int16_t, 4, int32_t, int32x4_t, int16x4_t>(
        "vmlal_lane_s16",
        [nv](int32x4_t acc, int16x4_t a) { return vmlal_lane_s16(acc, a, nv, 0); },
        [n](auto &acc, auto &a) {
          return map2<int32_t>(acc, a,
                               [n](int64_t c, int64_t x) { return wrap<int32_t>(c + x * n); });
        },
        gS32, gS16, 950 + k);
  }
  binary<int32_t, 4, int32_t, 4, int32_t, int32x4_t, int32x4_t>(
      "vextq_s32 1, vextq_s32 2",
      [](int32x4_t a, int32x4_t b) {
        return vcombine_s32(vget_low_s32(vextq_s32(a, b, 1)), vget_high_s32(vextq_s32(a, b, 2)));
      },
      [](auto &a, auto &b) {
        return Arr<int32_t, 4>{a[1], a[2], b[0], b[1]};
      },
      gS32, gS32, 980);
  binary<int32_t, 2, int32_t, 2, int32_t, int32x2_t, int32x2_t>(
      "vpadd_s32", [](int32x2_t a, int32x2_t b) { return vpadd_s32(a, b); },
      [](auto &a, auto &b) {
        return Arr<int32_t, 2>{wrap<int32_t>(int64_t{a[0]} + a[1]),
                               wrap<int32_t>(int64_t{b[0]} + b[1])};
      },
      gS32, gS32, 981);
  unary<uint32_t, 1, uint8_t, uint32_t>(
      "vdup_n_u32 as bytes", [](uint32_t a) { return vreinterpret_u8_u32(vdup_n_u32(a)); },
      [](auto &a) {
        Arr<uint8_t, 8> r;
        for (int i = 0; i < 8; ++i) r[i] = static_cast<uint8_t>(a[0] >> (8 * (i & 3)));
        return r;
      },
      gU32, 982);
}

}  // namespace
