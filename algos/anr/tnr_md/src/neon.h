// The NEON intrinsics the vector forms are written with: native on ARMv7-A and
// AArch64; on other targets the same source runs through SIMDe, with the
// intrinsics whose SIMDe mapping is not bit-exact with Arm replaced here.
//
// Replaced on x86 (tests/test_neon_ops.cpp checks every intrinsic the vector
// forms use, lane by lane, on all three targets):
// - vrecpeq_f32: SIMDe uses x86's approximation; Arm's is a 9-bit table.
// - vrecpsq_f32: SIMDe fuses 2 - a*b on FMA targets and gives NaN for inf x 0;
//   ARMv7 rounds the product, then the difference, and gives 2 for inf x 0.
// - vcvtq_u32_f32: SIMDe gives 2^31 for inputs in [2^31, 2^32) unless
//   AVX-512VL is enabled; Arm truncates them exactly.
// - vshll_n_s16: SIMDe shifts negative values left lane by lane, which is
//   undefined behaviour (UBSan stops there) and slow.
// - vmulq_n_s32, vmlaq_n_s32, vmull_n_u16, vmlsq_u32: SIMDe multiplies in
//   signed 32-bit vector arithmetic, undefined when a product exceeds
//   INT32_MAX (every vmull_n_u16 product above 2^31, and the wrapping
//   products Arm defines).
// - vqrdmulhq_s16 (and its by-lane form): SIMDe's SSSE3 mapping gives
//   -32768 for -32768 x -32768 and for -32768 x -32767, where Arm saturates
//   to and rounds to 32767.
// - vabal_u8, vsliq_n_s32, vcvtq_n_f32_u32, vcvtq_n_u32_f32, vmlaq_lane_s16:
//   missing from SIMDe 0.7.4.
// AArch64's own vrecpsq_f32 (FRECPS) is fused, unlike ARMv7's: the two differ
// when a*b is inexact. The stages only step with exact products (an integer
// below 2^15 times a 9-bit estimate), where every target agrees.
// The replacements follow ARMv7's NEON unit, which flushes subnormal inputs
// and results to zero, only where that is cheap (the estimate); no result of
// the library depends on subnormal values.
#ifndef TNR_MD_NEON_H
#define TNR_MD_NEON_H

#if defined(__ARM_NEON) || defined(__ARM_NEON__)
#include <arm_neon.h>
#define TNR_MD_NATIVE_NEON 1
#else
#define SIMDE_ENABLE_NATIVE_ALIASES
// No MMX for the 64-bit vectors: its registers are the x87 unit's, and a
// clang build would leave them in use (no emms) for the caller's long double
// arithmetic to find corrupted.
#define SIMDE_X86_MMX_NO_NATIVE
#include <simde/arm/neon.h>
// (SIMDe's 64-bit vext still takes MMX's alignr wherever SSSE3 is there:
// its portable functions instead.)
#undef simde_vext_s8
#undef simde_vext_s16
#undef simde_vext_s32
#undef simde_vext_s64
#undef simde_vext_u8
#undef simde_vext_u16
#undef simde_vext_u32
#undef simde_vext_u64
#undef simde_vext_f32
#undef simde_vext_f64
#define TNR_MD_NATIVE_NEON 0

#include <cmath>
#include <cstdint>

#include "arith.h"

// VRECPE of one lane as ARMv7 computes it: NaN gives the default NaN, zero
// and subnormal inputs (flushed) give infinity of the same sign, infinity
// gives zero, and an estimate that would be subnormal is flushed to zero.
static inline float tnr_md_recpeLane(float f) {
  const uint32_t bits = tnr_md::floatBits(f);
  const uint32_t sign = bits & 0x80000000u;
  const uint32_t e = (bits >> 23) & 0xFF;
  if (std::isnan(f)) return tnr_md::bitsFloat(0x7FC00000u);
  if (e == 0) return tnr_md::bitsFloat(sign | 0x7F800000u);
  if (e >= 253) return tnr_md::bitsFloat(sign);  // infinity, or a subnormal estimate
  return tnr_md::recipEstimate(f);
}

#if defined(SIMDE_X86_SSE2_NATIVE)
#include <emmintrin.h>

#include "recip_x86.h"

static inline float32x4_t tnr_md_vrecpeq_f32(float32x4_t v) {
  const __m128i bits = _mm_castps_si128(simde_float32x4_to_m128(v));
  const __m128i e = _mm_and_si128(_mm_srli_epi32(bits, 23), _mm_set1_epi32(0xFF));
  // Lanes with a normal input and a normal estimate (biased exponent 1 .. 252).
  const __m128i direct = _mm_and_si128(_mm_cmpgt_epi32(e, _mm_setzero_si128()),
                                       _mm_cmplt_epi32(e, _mm_set1_epi32(253)));
  if (_mm_movemask_epi8(direct) != 0xFFFF) {
    float in[4], out[4];
    vst1q_f32(in, v);
    for (int i = 0; i < 4; ++i) out[i] = tnr_md_recpeLane(in[i]);
    return vld1q_f32(out);
  }
  return simde_float32x4_from_m128(tnr_md::x86_own::recipEstimate4(simde_float32x4_to_m128(v)));
}

// 2 - a*b with the product rounded on its own; infinity times zero gives 2.
static inline float32x4_t tnr_md_vrecpsq_f32(float32x4_t a, float32x4_t b) {
  const __m128 x = simde_float32x4_to_m128(a);
  const __m128 y = simde_float32x4_to_m128(b);
  const __m128 two = _mm_set1_ps(2.0f);
  __m128 p = _mm_mul_ps(x, y);
  __asm__("" : "+x"(p));  // keeps the compiler from contracting the product into the subtraction
  const __m128 r = _mm_sub_ps(two, p);
  // inf x 0 is the only way for the product of two non-NaN inputs to be NaN.
  const __m128 infZero =
      _mm_and_ps(_mm_cmpunord_ps(p, p), _mm_and_ps(_mm_cmpord_ps(x, x), _mm_cmpord_ps(y, y)));
  return simde_float32x4_from_m128(_mm_or_ps(_mm_and_ps(infZero, two), _mm_andnot_ps(infZero, r)));
}

// Truncation toward zero, saturating; NaN and negative inputs give 0.
static inline uint32x4_t tnr_md_vcvtq_u32_f32(float32x4_t v) {
  const __m128 x = simde_float32x4_to_m128(v);
  const __m128 two31 = _mm_set1_ps(2147483648.0f);
  const __m128 high = _mm_cmpge_ps(x, two31);
  const __m128i t = _mm_cvttps_epi32(_mm_sub_ps(x, _mm_and_ps(high, two31)));
  __m128i r = _mm_xor_si128(t, _mm_slli_epi32(_mm_castps_si128(high), 31));
  r = _mm_and_si128(r, _mm_castps_si128(_mm_cmpgt_ps(x, _mm_setzero_ps())));
  r = _mm_or_si128(r, _mm_castps_si128(_mm_cmpge_ps(x, _mm_set1_ps(4294967296.0f))));
  return simde_uint32x4_from_m128i(r);
}

// The low 32 bits of the lane products.
static inline __m128i tnr_md_mullo32(__m128i a, __m128i b) {
#if defined(__SSE4_1__)
  return _mm_mullo_epi32(a, b);
#else
  const __m128i even = _mm_mul_epu32(a, b);
  const __m128i odd = _mm_mul_epu32(_mm_srli_epi64(a, 32), _mm_srli_epi64(b, 32));
  return _mm_unpacklo_epi32(_mm_shuffle_epi32(even, _MM_SHUFFLE(0, 0, 2, 0)),
                            _mm_shuffle_epi32(odd, _MM_SHUFFLE(0, 0, 2, 0)));
#endif
}

// Products that wrap modulo 2^32, as Arm's do.
static inline int32x4_t tnr_md_vmulq_n_s32(int32x4_t a, int32_t b) {
  return simde_int32x4_from_m128i(tnr_md_mullo32(simde_int32x4_to_m128i(a), _mm_set1_epi32(b)));
}
static inline int32x4_t tnr_md_vmlaq_n_s32(int32x4_t acc, int32x4_t a, int32_t b) {
  return simde_int32x4_from_m128i(_mm_add_epi32(
      simde_int32x4_to_m128i(acc), tnr_md_mullo32(simde_int32x4_to_m128i(a), _mm_set1_epi32(b))));
}
static inline uint32x4_t tnr_md_vmull_n_u16(uint16x4_t a, uint16_t b) {
  return simde_uint32x4_from_m128i(
      tnr_md_mullo32(simde_uint32x4_to_m128i(vmovl_u16(a)), _mm_set1_epi32(b)));
}
static inline uint32x4_t tnr_md_vmlsq_u32(uint32x4_t acc, uint32x4_t a, uint32x4_t b) {
  return simde_uint32x4_from_m128i(_mm_sub_epi32(
      simde_uint32x4_to_m128i(acc),
      tnr_md_mullo32(simde_uint32x4_to_m128i(a), simde_uint32x4_to_m128i(b))));
}

// (2ab + 2^15) >> 16, saturated: only -32768 x -32768 leaves the range.
static inline int16x8_t tnr_md_vqrdmulhq_s16(int16x8_t a, int16x8_t b) {
  const __m128i x = simde_int16x8_to_m128i(a);
  const __m128i y = simde_int16x8_to_m128i(b);
#if defined(__SSSE3__)
  // The high half of the product rounded at bit 14: exact, except that the
  // one overflowing lane wraps to -32768, which the mask turns into 32767.
  const __m128i r = _mm_mulhrs_epi16(x, y);
  const __m128i min = _mm_set1_epi16(-32768);
  const __m128i both = _mm_and_si128(_mm_cmpeq_epi16(x, min), _mm_cmpeq_epi16(y, min));
  return simde_int16x8_from_m128i(_mm_xor_si128(r, both));
#else
  // The 32-bit products from their halves, (p + 2^14) >> 15, packed with
  // saturation.
  const __m128i lo = _mm_mullo_epi16(x, y), hi = _mm_mulhi_epi16(x, y);
  const __m128i p0 = _mm_unpacklo_epi16(lo, hi), p1 = _mm_unpackhi_epi16(lo, hi);
  const __m128i round = _mm_set1_epi32(1 << 14);
  return simde_int16x8_from_m128i(_mm_packs_epi32(_mm_srai_epi32(_mm_add_epi32(p0, round), 15),
                                                  _mm_srai_epi32(_mm_add_epi32(p1, round), 15)));
#endif
}

#else  // no SSE2: lane by lane

static inline float32x4_t tnr_md_vrecpeq_f32(float32x4_t v) {
  float in[4], out[4];
  vst1q_f32(in, v);
  for (int i = 0; i < 4; ++i) out[i] = tnr_md_recpeLane(in[i]);
  return vld1q_f32(out);
}

static inline float32x4_t tnr_md_vrecpsq_f32(float32x4_t a, float32x4_t b) {
  float x[4], y[4], out[4];
  vst1q_f32(x, a);
  vst1q_f32(y, b);
  for (int i = 0; i < 4; ++i) {
    const bool infZero = (std::isinf(x[i]) && y[i] == 0.0f) || (x[i] == 0.0f && std::isinf(y[i]));
    out[i] = infZero ? 2.0f : tnr_md::recipStep(x[i], y[i]);
  }
  return vld1q_f32(out);
}

static inline uint32x4_t tnr_md_vcvtq_u32_f32(float32x4_t v) {
  float in[4];
  uint32_t out[4];
  vst1q_f32(in, v);
  for (int i = 0; i < 4; ++i) out[i] = tnr_md::truncToUint(in[i]);
  return vld1q_u32(out);
}

static inline int32x4_t tnr_md_vmulq_n_s32(int32x4_t a, int32_t b) {
  int32_t v[4];
  vst1q_s32(v, a);
  for (int i = 0; i < 4; ++i)
    v[i] = static_cast<int32_t>(static_cast<uint32_t>(v[i]) * static_cast<uint32_t>(b));
  return vld1q_s32(v);
}
static inline int32x4_t tnr_md_vmlaq_n_s32(int32x4_t acc, int32x4_t a, int32_t b) {
  int32_t v[4], c[4];
  vst1q_s32(v, a);
  vst1q_s32(c, acc);
  for (int i = 0; i < 4; ++i)
    v[i] = static_cast<int32_t>(static_cast<uint32_t>(c[i]) +
                                static_cast<uint32_t>(v[i]) * static_cast<uint32_t>(b));
  return vld1q_s32(v);
}
static inline int16x8_t tnr_md_vqrdmulhq_s16(int16x8_t a, int16x8_t b) {
  int16_t x[8], y[8];
  vst1q_s16(x, a);
  vst1q_s16(y, b);
  for (int i = 0; i < 8; ++i) x[i] = tnr_md::satS16((2 * int64_t{x[i]} * y[i] + 32768) >> 16);
  return vld1q_s16(x);
}
static inline uint32x4_t tnr_md_vmull_n_u16(uint16x4_t a, uint16_t b) {
  uint16_t v[4];
  uint32_t r[4];
  vst1_u16(v, a);
  for (int i = 0; i < 4; ++i) r[i] = static_cast<uint32_t>(v[i]) * b;
  return vld1q_u32(r);
}
static inline uint32x4_t tnr_md_vmlsq_u32(uint32x4_t acc, uint32x4_t a, uint32x4_t b) {
  uint32_t c[4], x[4], y[4];
  vst1q_u32(c, acc);
  vst1q_u32(x, a);
  vst1q_u32(y, b);
  for (int i = 0; i < 4; ++i) c[i] -= x[i] * y[i];
  return vld1q_u32(c);
}
#endif

#undef vrecpeq_f32
#define vrecpeq_f32 tnr_md_vrecpeq_f32
#undef vrecpsq_f32
#define vrecpsq_f32 tnr_md_vrecpsq_f32
#undef vcvtq_u32_f32
#define vcvtq_u32_f32 tnr_md_vcvtq_u32_f32

// SIMDe widens and shifts lane by lane, shifting negative values left
// (undefined behaviour in C++17); widening then shifting the 32-bit lanes
// gives the same bits without it, in vector instructions.
#undef vmulq_n_s32
#define vmulq_n_s32 tnr_md_vmulq_n_s32
#undef vmlaq_n_s32
#define vmlaq_n_s32 tnr_md_vmlaq_n_s32
#undef vmull_n_u16
#define vmull_n_u16 tnr_md_vmull_n_u16
#undef vmlsq_u32
#define vmlsq_u32 tnr_md_vmlsq_u32
#undef vqrdmulhq_s16
#define vqrdmulhq_s16 tnr_md_vqrdmulhq_s16
#undef vqrdmulhq_lane_s16
#define vqrdmulhq_lane_s16(a, v, lane) tnr_md_vqrdmulhq_s16((a), vdupq_lane_s16((v), (lane)))

#undef vshll_n_s16
#define vshll_n_s16(a, n) vshlq_n_s32(vmovl_s16(a), (n))
// Arm's VSHLL takes a shift of the whole lane width (8 for u8), which
// SIMDe's clang build refuses (its range check stops at 7).
#undef vshll_n_u8
#define vshll_n_u8(a, n) vshlq_n_u16(vmovl_u8(a), (n))

// Missing from SIMDe 0.7.4, defined from the Arm definitions: the absolute
// difference accumulated into 16-bit lanes (wrapping), and the shift left
// and insert that keeps a's low n bits.
static inline uint16x8_t tnr_md_vabal_u8(uint16x8_t a, uint8x8_t b, uint8x8_t c) {
  return vaddq_u16(a, vabdl_u8(b, c));
}
static inline int32x4_t tnr_md_vsliq_n_s32(int32x4_t a, int32x4_t b, int n) {
  const uint32x4_t low = vdupq_n_u32(n == 0 ? 0u : (uint32_t{1} << n) - 1);
  const uint32x4_t shifted = vshlq_u32(vreinterpretq_u32_s32(b), vdupq_n_s32(n));
  return vreinterpretq_s32_u32(vorrq_u32(shifted, vandq_u32(vreinterpretq_u32_s32(a), low)));
}
// The fixed-point conversions with n fraction bits: x / 2^n rounded once
// (the scaling is exact), and trunc(x x 2^n) saturating (the product is
// exact, or infinite where the result saturates anyway).
static inline float32x4_t tnr_md_vcvtq_n_f32_u32(uint32x4_t a, int n) {
  return vmulq_f32(vcvtq_f32_u32(a), vdupq_n_f32(1.0f / static_cast<float>(1u << n)));
}
static inline uint32x4_t tnr_md_vcvtq_n_u32_f32(float32x4_t a, int n) {
  return tnr_md_vcvtq_u32_f32(vmulq_f32(a, vdupq_n_f32(static_cast<float>(1u << n))));
}
#undef vabal_u8
#define vabal_u8 tnr_md_vabal_u8
#undef vcvtq_n_f32_u32
#define vcvtq_n_f32_u32(a, n) tnr_md_vcvtq_n_f32_u32((a), (n))
#undef vcvtq_n_u32_f32
#define vcvtq_n_u32_f32(a, n) tnr_md_vcvtq_n_u32_f32((a), (n))
#undef vsliq_n_s32
#define vsliq_n_s32(a, b, n) tnr_md_vsliq_n_s32((a), (b), (n))
// The multiply-accumulate by one lane of a 64-bit vector (wrapping 16-bit
// lanes), also missing: the lane broadcast, then the full multiply-accumulate.
#undef vmlaq_lane_s16
#define vmlaq_lane_s16(a, b, v, lane) vmlaq_s16((a), (b), vdupq_lane_s16((v), (lane)))
#endif

#include <cstddef>

namespace tnr_md {

// Reciprocal estimate refined by one Newton-Raphson step: e x (2 - v x e),
// the product inside the step and the outer product each rounded.
inline float32x4_t recipRefine4(float32x4_t v) {
  const float32x4_t e = vrecpeq_f32(v);
  return vmulq_f32(vrecpsq_f32(v, e), e);
}

// pixelAlphaMultiplier(s) = floor(2^38 / s) + 1 (arith.h: the double form,
// ceil(2^38 / s) where s is not a power of two) of 4 lanes s in 129 ..
// 32767, in float and wrapping 32-bit integer steps, exact for every such s.
// Write u = 2^38 / s (2^23 < u < 2^31).
//  1. r, the reciprocal estimate of s refined by two Newton-Raphson steps,
//     lies within a relative 2^-16 of 1 / s (the estimate is within 2^-8;
//     each step squares the error and adds a few roundings of 2^-24). Only
//     that bound is used below, so the targets' estimates and steps (ARMv7
//     rounds the step's product, AArch64 fuses it) need not agree.
//  2. x = r 2^38 is exact (a power of two) and within u 2^-16 < 2^15 of u;
//     q0 = trunc(x) < 2^32, so |u - q0| < 2^15 + 1.
//  3. R0 = 2^38 - q0 s = s (u - q0) lies within (2^15 + 1)(2^15 - 1) < 2^31
//     of 0, so the wrapping -q0 s (2^38 is 0 modulo 2^32) read as int32 is
//     R0 exactly.
//  4. y = float(R0) x r is R0 / s = u - q0 (< 2^15 + 1 in magnitude) times
//     three factors within 2^-24, 2^-16 and 2^-24 of 1: within 0.51 of it.
//     k0 = trunc(y) lies within 1.51 of u - q0, and q1 = q0 + k0 within 1.51
//     of u.
//  5. R1 = s (u - q1) = -q1 s (wrapping, exact as in 3) lies in (-1.51 s,
//     1.51 s), so floor(R1 / s) is [R1 >= s] - [R1 < 0] - [R1 + s < 0], and
//     floor(u) = q1 + floor(R1 / s), as 2^38 = q1 s + R1.
// tests/test_neon_ops.cpp runs every s from 129 to 32767 against the double
// form on each target.
inline uint32x4_t pixelAlphaMultipliers4(uint32x4_t s) {
  const float32x4_t sf = vcvtq_f32_u32(s);
  float32x4_t r = vrecpeq_f32(sf);
  r = vmulq_f32(vrecpsq_f32(sf, r), r);
  r = vmulq_f32(vrecpsq_f32(sf, r), r);
  const uint32x4_t zero = vdupq_n_u32(0);
  const uint32x4_t q0 = vcvtq_u32_f32(vmulq_n_f32(r, 274877906944.0f));
  const int32x4_t r0 = vreinterpretq_s32_u32(vmlsq_u32(zero, q0, s));
  const int32x4_t k0 = vcvtq_s32_f32(vmulq_f32(vcvtq_f32_s32(r0), r));
  const uint32x4_t q1 = vaddq_u32(q0, vreinterpretq_u32_s32(k0));
  const int32x4_t r1 = vreinterpretq_s32_u32(vmlsq_u32(zero, q1, s));
  const int32x4_t ss = vreinterpretq_s32_u32(s);
  // Each comparison is all ones (-1) where it holds.
  const uint32x4_t above = vcgeq_s32(r1, ss);
  const uint32x4_t below = vcltq_s32(r1, vreinterpretq_s32_u32(zero));
  const uint32x4_t belowS = vcltq_s32(vaddq_s32(r1, ss), vreinterpretq_s32_u32(zero));
  const uint32x4_t floorU = vaddq_u32(vsubq_u32(q1, above), vaddq_u32(below, belowS));
  return vaddq_u32(floorU, vdupq_n_u32(1));
}

// v, kept in a register from here on: the compiler may no longer make the
// constant anew inside a loop (it does so on ARMv7 where registers are
// short, one instruction per use). No instruction; nothing through SIMDe.
template <typename V>
inline V held(V v) {
#if TNR_MD_NATIVE_NEON
  __asm__("" : "+w"(v));
#endif
  return v;
}

// p + n, hidden from the compiler's induction-variable rewriting (an empty
// asm, no instruction): a row pointer stepped this way stays one register
// that the loads and stores post-increment, instead of one address per row
// recomputed from a base.
template <typename T>
inline T *walk(T *p, ptrdiff_t n) {
  p += n;
  asm("" : "+r"(p));
  return p;
}

#if defined(__aarch64__)
// pixelAlphaMultipliers4 by AArch64's double division, as the per-sample
// form divides (pixelAlphaMultiplier: the correctly rounded quotient,
// truncated, plus one): 11 instructions in place of 27.
inline uint32x4_t pixelAlphaMultipliers4Divided(uint32x4_t s) {
  const float64x2_t num = vdupq_n_f64(274877906944.0);
  const uint64x2_t lo = vcvtq_u64_f64(vdivq_f64(num, vcvtq_f64_u64(vmovl_u32(vget_low_u32(s)))));
  const uint64x2_t hi = vcvtq_u64_f64(vdivq_f64(num, vcvtq_f64_u64(vmovl_high_u32(s))));
  return vaddq_u32(vmovn_high_u64(vmovn_u64(lo), hi), vdupq_n_u32(1));
}
#endif

}  // namespace tnr_md

#endif  // TNR_MD_NEON_H
