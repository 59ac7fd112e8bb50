// The NEON intrinsics whose x86 mapping is not a single instruction of the
// same definition, checked lane by lane against their Arm definitions on
// random and edge inputs: the ones neon.h replaces or adds, the reciprocal
// estimate and step over the inputs the stages give them, the float
// conversions and the saturating rounding doubling multiply. The same source
// runs natively on ARMv7-A and AArch64 (under qemu) and through SIMDe on
// x86-64 at each level this machine runs (FMA and AVX-512 change SIMDe's
// mappings). The one-to-one mappings (adds, shifts, permutes, loads) are
// exercised by the stage equivalence tests.
#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <random>
#include <sstream>
#include <string>
#include <tuple>
#include <type_traits>
#include <utility>

#include "arith.h"
#include "neon.h"
#include "test_util.h"

namespace {

using tnr_md::bitsFloat;
using tnr_md::floatBits;

// Lanes of a vector in lane order (both Arm targets are little-endian, and
// SIMDe keeps lane i at element i), and a vector from lanes.
template <class T, class V>
std::array<T, sizeof(V) / sizeof(T)> lanes(const V &v) {
  std::array<T, sizeof(V) / sizeof(T)> a;
  std::memcpy(a.data(), &v, sizeof v);
  return a;
}
template <class V, class T, size_t N>
V vec(const std::array<T, N> &a) {
  static_assert(sizeof(V) == N * sizeof(T), "lane count");
  V v;
  std::memcpy(&v, a.data(), sizeof v);
  return v;
}

template <class T>
std::string show(T x) {
  std::ostringstream s;
  if constexpr (std::is_same_v<T, float>)
    s << x << " (0x" << std::hex << floatBits(x) << ")";
  else
    s << int64_t(x);
  return s.str();
}

// The argument and result types of a (non-generic) lambda.
template <class F>
struct Sig : Sig<decltype(&F::operator())> {};
template <class C, class R, class... A>
struct Sig<R (C::*)(A...) const> {
  using Ret = R;
  using Args = std::tuple<A...>;
};

template <class T, size_t N, class Gen>
void draw(std::array<T, N> &a, Gen gen, std::mt19937 &rng) {
  for (auto &x : a) x = gen(rng);
}

template <class Op, class Ref, class Gens, size_t... I>
void lanewise(const char *name, uint32_t salt, Op op, Ref ref, Gens gen,
              std::index_sequence<I...>) {
  using TO = typename Sig<Ref>::Ret;
  constexpr size_t N = sizeof(typename Sig<Op>::Ret) / sizeof(TO);
  using VIn = typename Sig<Op>::Args;
  using TIn = typename Sig<Ref>::Args;
  auto rng = tnr_md_test::seededRng(salt);
  for (int it = 0; it < 3000; ++it) {
    std::tuple<std::array<std::decay_t<std::tuple_element_t<I, TIn>>, N>...> in;
    (draw(std::get<I>(in), std::get<I>(gen), rng), ...);
    const auto got =
        lanes<TO>(op(vec<std::decay_t<std::tuple_element_t<I, VIn>>>(std::get<I>(in))...));
    for (size_t l = 0; l < N; ++l) {
      const TO want = ref(std::get<I>(in)[l]...);
      const bool same = std::is_floating_point_v<TO> && std::isnan(want)
                            ? std::isnan(got[l])
                            : std::memcmp(&got[l], &want, sizeof want) == 0;
      if (same) continue;
      std::string args;
      ((args += (I ? ", " : "") + show(std::get<I>(in)[l])), ...);
      ADD_FAILURE() << name << " lane " << l << " of (" << args << "): got " << show(got[l])
                    << ", Arm gives " << show(want);
      return;
    }
  }
}

// 3000 draws of every input lane from its generator: op, taking and giving
// vectors, equals in every lane ref, taking and giving that lane's scalars
// (NaN equals any NaN).
template <class Op, class Ref, class... Gen>
void lanewise(const char *name, uint32_t salt, Op op, Ref ref, Gen... gen) {
  lanewise(name, salt, op, ref, std::make_tuple(gen...), std::index_sequence_for<Gen...>{});
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
auto gS16 = pick<int16_t>;
auto gU8 = pick<uint8_t>;
auto gU16 = pick<uint16_t>;
auto gS32 = pick<int32_t>;
auto gU32 = pick<uint32_t>;

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
    case 2:  // moderate values with fractions, both signs
      return float(int32_t(rng() % 200001) - 100000) / 4.0f;
    default:
      return bitsFloat(uint32_t(rng()));
  }
}

// Value of x in the 8/16/32 low bits (wrapping), as the destination type.
template <class T>
T wrap(int64_t x) {
  return static_cast<T>(static_cast<std::make_unsigned_t<T>>(static_cast<uint64_t>(x)));
}

TEST(NeonOps, FloatConversions) {
  lanewise(
      "vcvtq_f32_s32", 500, [](int32x4_t a) { return vcvtq_f32_s32(a); },
      [](int32_t x) { return float(x); }, gS32);
  lanewise(
      "vcvtq_s32_f32", 501, [](float32x4_t a) { return vcvtq_s32_f32(a); },
      [](float x) { return tnr_md::truncToInt(x); }, pickConv);
  lanewise(
      "vcvtq_u32_f32", 502, [](float32x4_t a) { return vcvtq_u32_f32(a); },
      [](float x) { return tnr_md::truncToUint(x); }, pickConv);
  lanewise(
      "vcvtq_f32_u32", 503, [](uint32x4_t a) { return vcvtq_f32_u32(a); },
      [](uint32_t x) { return float(x); }, gU32);
  // Fixed point: x / 2^7 rounded once; trunc(x x 2), saturating, NaN 0.
  lanewise(
      "vcvtq_n_f32_u32 7", 504, [](uint32x4_t a) { return vcvtq_n_f32_u32(a, 7); },
      [](uint32_t x) { return float(x / 128.0); }, gU32);
  lanewise(
      "vcvtq_n_u32_f32 1", 505, [](float32x4_t a) { return vcvtq_n_u32_f32(a, 1); },
      [](float x) -> uint32_t {
        const double v = 2.0 * x;
        if (!(v > 0.0)) return 0;
        return v >= 4294967296.0 ? UINT32_MAX : uint32_t(v);
      },
      pickConv);
}

// The stages take the reciprocal of the integers 1 .. 32767 only, as the
// estimate, one step and a product (where the step's product is exact, so a
// fused step as on AArch64 agrees): every one of them, the estimate and the
// refined reciprocal.
TEST(NeonOps, ReciprocalEstimateAndRefineExhaustive) {
  for (int s = 1; s <= 32767; s += 4) {
    const std::array<float, 4> in{float(s), float(s + 1), float(s + 2), float(s + 3)};
    const float32x4_t v = vec<float32x4_t>(in);
    const float32x4_t e = vrecpeq_f32(v);
    const auto est = lanes<float>(e);
    const auto got = lanes<float>(vmulq_f32(vrecpsq_f32(v, e), e));
    for (int i = 0; i < 4 && s + i <= 32767; ++i) {
      ASSERT_EQ(floatBits(est[i]), floatBits(tnr_md::recipEstimate(in[i])))
          << "vrecpeq_f32(" << s + i << ")";
      ASSERT_EQ(floatBits(got[i]), floatBits(tnr_md::recipRefine(in[i])))
          << "refined reciprocal of " << s + i;
    }
  }
}

// The pass's multipliers four columns at a time, in float and wrapping
// integer steps (pixelAlphaMultipliers4), against floor(2^38 / s) + 1 and
// the double form for every s it takes (129 .. 32767), on each target with
// its own estimate and Newton step, each value in every lane; on AArch64
// also by double division (pixelAlphaMultipliers4Divided).
TEST(NeonOps, PixelAlphaMultipliersExhaustive) {
  for (int s = 129; s <= 32767; s += 4) {
    std::array<uint32_t, 4> in{};
    for (int i = 0; i < 4; ++i) in[i] = uint32_t(std::min(s + i, 32767));
    for (int turn = 0; turn < 4; ++turn) {
      std::array<uint32_t, 4> at{};
      for (int i = 0; i < 4; ++i) at[i] = in[(i + turn) % 4];
      const auto got = lanes<uint32_t>(tnr_md::pixelAlphaMultipliers4(vec<uint32x4_t>(at)));
      for (int i = 0; i < 4; ++i) {
        const int64_t want = (int64_t{1} << 38) / at[i] + 1;
        ASSERT_EQ(int64_t{got[i]}, want) << "s " << at[i] << " in lane " << i;
        ASSERT_EQ(int64_t{got[i]}, int64_t{tnr_md::pixelAlphaMultiplier(at[i])}) << "s " << at[i];
      }
#if defined(__aarch64__)
      const auto divided =
          lanes<uint32_t>(tnr_md::pixelAlphaMultipliers4Divided(vec<uint32x4_t>(at)));
      for (int i = 0; i < 4; ++i)
        ASSERT_EQ(divided[i], got[i]) << "divided, s " << at[i] << " in lane " << i;
#endif
    }
  }
}

// Replaced in neon.h: products that wrap modulo 2^32 (vmulq_n_s32,
// vmlaq_n_s32, vmull_n_u16, vmlsq_u32), the widening shift of negative values, and the
// saturating rounding doubling multiply at -32768 x -32768.
TEST(NeonOps, ReplacedMultipliesAndShifts) {
  auto rng = tnr_md_test::seededRng(214);
  for (int k = 0; k < 24; ++k) {
    const int32_t n = k < 4 ? (k == 0 ? 1 : k == 1 ? 2 : k == 2 ? 4 : -1) : pick<int32_t>(rng);
    const uint16_t un = pick<uint16_t>(rng);
    lanewise(
        "vmulq_n_s32", 220 + k, [n](int32x4_t a) { return vmulq_n_s32(a, n); },
        [n](int32_t x) { return wrap<int32_t>(int64_t(x) * n); }, gS32);
    lanewise(
        "vmlaq_n_s32", 250 + k, [n](int32x4_t c, int32x4_t a) { return vmlaq_n_s32(c, a, n); },
        [n](int32_t c, int32_t x) { return wrap<int32_t>(c + int64_t(x) * n); }, gS32, gS32);
    lanewise(
        "vmull_n_u16", 50 + k, [un](uint16x4_t a) { return vmull_n_u16(a, un); },
        [un](uint16_t x) { return uint32_t(x) * un; }, gU16);
  }
  lanewise(
      "vmlsq_u32", 260,
      [](uint32x4_t c, uint32x4_t a, uint32x4_t b) { return vmlsq_u32(c, a, b); },
      [](uint32_t c, uint32_t a, uint32_t b) { return uint32_t(c - a * b); }, gU32, gU32, gU32);
  lanewise(
      "vshll_n_s16 7", 16, [](int16x4_t a) { return vshll_n_s16(a, 7); },
      [](int16_t x) { return int32_t(x) * 128; }, gS16);
  lanewise(
      "vqrdmulhq_s16", 910, [](int16x8_t a, int16x8_t b) { return vqrdmulhq_s16(a, b); },
      [](int16_t x, int16_t y) { return tnr_md::satS16((2 * int64_t(x) * y + 32768) >> 16); }, gS16,
      gS16);
}

// Added in neon.h (missing from SIMDe): the absolute difference accumulated
// into wrapping 16-bit lanes, the shift left and insert, and the
// multiply-accumulate by a lane.
TEST(NeonOps, AddedInNeonH) {
  lanewise(
      "vabal_u8", 451, [](uint16x8_t a, uint8x8_t x, uint8x8_t y) { return vabal_u8(a, x, y); },
      [](uint16_t a, uint8_t x, uint8_t y) { return wrap<uint16_t>(a + std::abs(x - y)); }, gU16,
      gU8, gU8);
  lanewise(
      "vsliq_n_s32 16", 454, [](int32x4_t a, int32x4_t b) { return vsliq_n_s32(a, b, 16); },
      [](int32_t x, int32_t y) { return int32_t((uint32_t(y) << 16) | (uint32_t(x) & 0xFFFFu)); },
      gS32, gS32);
  const int16_t taps[4] = {-7, 12345, -32768, 82};
  lanewise(
      "vmlaq_lane_s16 2", 457,
      [&](int16x8_t c, int16x8_t a) { return vmlaq_lane_s16(c, a, vld1_s16(taps), 2); },
      [&](int16_t c, int16_t x) { return wrap<int16_t>(c + int32_t(x) * taps[2]); }, gS16, gS16);
  lanewise(
      "vmlaq_lane_s16 3", 458,
      [&](int16x8_t c, int16x8_t a) { return vmlaq_lane_s16(c, a, vld1_s16(taps), 3); },
      [&](int16_t c, int16_t x) { return wrap<int16_t>(c + int32_t(x) * taps[3]); }, gS16, gS16);
}

}  // namespace
