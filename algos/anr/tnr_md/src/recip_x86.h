// The Arm single-precision reciprocal estimate (VRECPE) and the refined
// reciprocal RecipRefine on x86, 4 lanes (SSE2) and 8 lanes (AVX2): the one
// x86 definition, used by the x86 forms and by the NEON source's replacement
// of vrecpeq_f32 on x86 (neon.h). Equal bit for bit to recipEstimate and
// recipRefine (arith.h) for normal inputs of either sign whose reciprocal is
// normal (the stages take it of integers 1 .. 32767 only); other inputs are
// outside its contract.
#ifndef TNR_MD_RECIP_X86_H
#define TNR_MD_RECIP_X86_H

#include <immintrin.h>

// In an x86 source, the level's namespace (x86_vec.h); a file that includes
// this header otherwise gets it compiled at its own flags.
#ifndef TNR_MD_X86_NS
#define TNR_MD_X86_NS x86_own
#endif

namespace tnr_md::TNR_MD_X86_NS {
namespace {

// The float and integer operations the estimate needs, on 4 and 8 lanes.
struct Recip4 {
  using F = __m128;
  using I = __m128i;
  static I bits(F v) { return _mm_castps_si128(v); }
  static F fromBits(I v) { return _mm_castsi128_ps(v); }
  static I set1(int v) { return _mm_set1_epi32(v); }
  static I add(I a, I b) { return _mm_add_epi32(a, b); }
  static I sub(I a, I b) { return _mm_sub_epi32(a, b); }
  static I band(I a, I b) { return _mm_and_si128(a, b); }
  static I bor(I a, I b) { return _mm_or_si128(a, b); }
  template <int n>
  static I srl(I a) {
    return _mm_srli_epi32(a, n);
  }
  template <int n>
  static I sll(I a) {
    return _mm_slli_epi32(a, n);
  }
  static F toFloat(I a) { return _mm_cvtepi32_ps(a); }
  static I trunc(F a) { return _mm_cvttps_epi32(a); }
  static F set1f(float v) { return _mm_set1_ps(v); }
  static F mul(F a, F b) { return _mm_mul_ps(a, b); }
  static F subf(F a, F b) { return _mm_sub_ps(a, b); }
  static F div(F a, F b) { return _mm_div_ps(a, b); }
};
#if defined(__AVX2__)
struct Recip8 {
  using F = __m256;
  using I = __m256i;
  static I bits(F v) { return _mm256_castps_si256(v); }
  static F fromBits(I v) { return _mm256_castsi256_ps(v); }
  static I set1(int v) { return _mm256_set1_epi32(v); }
  static I add(I a, I b) { return _mm256_add_epi32(a, b); }
  static I sub(I a, I b) { return _mm256_sub_epi32(a, b); }
  static I band(I a, I b) { return _mm256_and_si256(a, b); }
  static I bor(I a, I b) { return _mm256_or_si256(a, b); }
  template <int n>
  static I srl(I a) {
    return _mm256_srli_epi32(a, n);
  }
  template <int n>
  static I sll(I a) {
    return _mm256_slli_epi32(a, n);
  }
  static F toFloat(I a) { return _mm256_cvtepi32_ps(a); }
  static I trunc(F a) { return _mm256_cvttps_epi32(a); }
  static F set1f(float v) { return _mm256_set1_ps(v); }
  static F mul(F a, F b) { return _mm256_mul_ps(a, b); }
  static F subf(F a, F b) { return _mm256_sub_ps(a, b); }
  static F div(F a, F b) { return _mm256_div_ps(a, b); }
};
#endif

// Estimate: with biased exponent e and a = 256 + the top 8 fraction bits,
// r = (2^19 / (2a + 1) + 1) >> 1 (integer division), the estimate having the
// input's sign, exponent 253 - e and fraction (r - 256) << 15. The divisor is
// odd and above 1, so the exact quotient is never an integer and lies at
// least 1/1023 from one; the correctly rounded single-precision quotient
// (below 1024, spacing 2^-14) therefore truncates to the integer quotient.
template <class T>
inline typename T::F recipEstimateX(typename T::F v) {
  const typename T::I bits = T::bits(v);
  const typename T::I e = T::band(T::template srl<23>(bits), T::set1(0xFF));
  const typename T::I a = T::add(T::band(T::template srl<15>(bits), T::set1(0xFF)), T::set1(256));
  const typename T::F den = T::toFloat(T::add(T::add(a, a), T::set1(1)));
  const typename T::I q = T::trunc(T::div(T::set1f(524288.0f), den));
  const typename T::I r = T::template srl<1>(T::add(q, T::set1(1)));  // 256 .. 511
  const typename T::I sign = T::band(bits, T::set1(static_cast<int>(0x80000000u)));
  const typename T::I exp = T::template sll<23>(T::sub(T::set1(253), e));
  const typename T::I frac = T::template sll<15>(T::sub(r, T::set1(256)));
  return T::fromBits(T::bor(T::bor(sign, exp), frac));
}

// (2 - v x e) x e, e the estimate: the inner product, the difference and the
// outer product each rounded (never fused).
template <class T>
inline typename T::F recipRefineX(typename T::F v) {
  const typename T::F e = recipEstimateX<T>(v);
  typename T::F p = T::mul(v, e);
  __asm__("" : "+x"(p));  // the product stays rounded on its own
  return T::mul(T::subf(T::set1f(2.0f), p), e);
}

inline __m128 recipEstimate4(__m128 v) { return recipEstimateX<Recip4>(v); }
inline __m128 recipRefine4(__m128 v) { return recipRefineX<Recip4>(v); }
#if defined(__AVX2__)
inline __m256 recipRefine8(__m256 v) { return recipRefineX<Recip8>(v); }
#endif

}  // namespace
}  // namespace tnr_md::TNR_MD_X86_NS

#endif  // TNR_MD_RECIP_X86_H
