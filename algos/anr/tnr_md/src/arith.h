// Per-sample arithmetic shared by the stages: the roundings, saturations,
// wraps and float steps that every vector form must reproduce bit for bit.
#ifndef TNR_MD_ARITH_H
#define TNR_MD_ARITH_H

#include <cmath>
#include <cstdint>
#include <cstring>

namespace tnr_md {

// (x + 2^(n-1)) >> n in 64 bits, so the rounding constant never overflows.
constexpr int64_t roundShift(int64_t x, int n) { return (x + (int64_t{1} << (n - 1))) >> n; }

// x / 2^n rounded to nearest, halves away from zero.
constexpr int64_t symRoundShift(int64_t x, int n) {
  return x >= 0 ? (x + (int64_t{1} << (n - 1))) >> n : -((-x + (int64_t{1} << (n - 1))) >> n);
}

// The low 16 bits of x read as signed: a plain (wrapping) narrowing.
constexpr int16_t low16(int64_t x) { return static_cast<int16_t>(static_cast<uint16_t>(x)); }

template <class T>
constexpr T clampTo(int64_t x, int64_t lo, int64_t hi) {
  return static_cast<T>(x < lo ? lo : (x > hi ? hi : x));
}
constexpr uint8_t satU8(int64_t x) { return clampTo<uint8_t>(x, 0, 255); }
constexpr uint16_t satU16(int64_t x) { return clampTo<uint16_t>(x, 0, 65535); }
constexpr int16_t satS16(int64_t x) { return clampTo<int16_t>(x, -32768, 32767); }

// Float to int32 / uint32 toward zero, saturating; NaN gives 0.
inline int32_t truncToInt(float f) {
  if (std::isnan(f)) return 0;
  if (f >= 2147483648.0f) return INT32_MAX;
  if (f <= -2147483648.0f) return INT32_MIN;
  return static_cast<int32_t>(f);
}
inline int32_t truncToInt(double f) {
  if (std::isnan(f)) return 0;
  if (f >= 2147483648.0) return INT32_MAX;
  if (f <= -2147483648.0) return INT32_MIN;
  return static_cast<int32_t>(f);
}
inline uint32_t truncToUint(float f) {
  if (std::isnan(f) || f <= 0.0f) return 0;
  if (f >= 4294967296.0f) return UINT32_MAX;
  return static_cast<uint32_t>(f);
}

inline uint32_t floatBits(float f) {
  uint32_t u;
  std::memcpy(&u, &f, sizeof u);
  return u;
}
inline float bitsFloat(uint32_t u) {
  float f;
  std::memcpy(&f, &u, sizeof f);
  return f;
}

// The Advanced SIMD single-precision reciprocal estimate (VRECPE) of a
// positive normal value whose reciprocal is normal too (the stages only take
// it of integers 1 .. 32767): a 9-bit estimate from the top 8 fraction bits.
inline float recipEstimate(float f) {
  const uint32_t bits = floatBits(f);
  const uint32_t e = (bits >> 23) & 0xFF;
  const uint32_t m = bits & 0x7FFFFF;
  const uint32_t a = 256 + (m >> 15);
  const uint32_t q = (1u << 19) / (2 * a + 1);
  const uint32_t r = (q + 1) >> 1;  // 256 .. 511
  return bitsFloat((bits & 0x80000000u) | ((253 - e) << 23) | ((r - 256) << 15));
}

// VRECPS as ARMv7 computes it: 2 - a*b, product and difference each rounded.
inline float recipStep(float a, float b) {
  const float p = a * b;  // never fused: the library builds with -ffp-contract=off
  return 2.0f - p;
}

// Reciprocal from the estimate and one Newton-Raphson step.
inline float recipRefine(float v) {
  const float e = recipEstimate(v);
  return recipStep(v, e) * e;
}

}  // namespace tnr_md

#endif  // TNR_MD_ARITH_H
