// The refined reciprocal RecipRefine of 4 lanes in SSE2: the Arm reciprocal
// estimate computed exactly, then one Newton-Raphson step with every product
// and difference rounded on its own. Equal bit for bit to recipRefine for
// positive normal inputs whose reciprocal is normal (the stages take it of
// integers 1 .. 32767 only); other inputs are outside its contract.
#ifndef TNR_MD_RECIP_X86_H
#define TNR_MD_RECIP_X86_H

#include <immintrin.h>

// In an x86 source, the level's namespace (x86_vec.h); a test that includes
// this header on its own gets it at the test's level.
#ifndef TNR_MD_X86_NS
#define TNR_MD_X86_NS x86_test
#endif

namespace tnr_md::TNR_MD_X86_NS {

// Estimate: with biased exponent e and a = 256 + the top 8 fraction bits,
// r = (2^19 / (2a + 1) + 1) >> 1 (integer division), the estimate having
// exponent 253 - e and fraction (r - 256) << 15. The divisor is odd and above
// 1, so the exact quotient is never an integer and lies at least 1/1023 from
// one; the correctly rounded single-precision quotient (below 1024, spacing
// 2^-14) therefore truncates to the integer quotient.
inline __m128 recipEstimate4(__m128 v) {
  const __m128i bits = _mm_castps_si128(v);
  const __m128i e = _mm_srli_epi32(bits, 23);  // sign 0
  const __m128i a = _mm_add_epi32(_mm_and_si128(_mm_srli_epi32(bits, 15), _mm_set1_epi32(0xFF)),
                                  _mm_set1_epi32(256));
  const __m128 den = _mm_cvtepi32_ps(_mm_add_epi32(_mm_add_epi32(a, a), _mm_set1_epi32(1)));
  const __m128i q = _mm_cvttps_epi32(_mm_div_ps(_mm_set1_ps(524288.0f), den));
  const __m128i r = _mm_srli_epi32(_mm_add_epi32(q, _mm_set1_epi32(1)), 1);  // 256 .. 511
  const __m128i exp = _mm_slli_epi32(_mm_sub_epi32(_mm_set1_epi32(253), e), 23);
  const __m128i frac = _mm_slli_epi32(_mm_sub_epi32(r, _mm_set1_epi32(256)), 15);
  return _mm_castsi128_ps(_mm_or_si128(exp, frac));
}

// (2 - v x e) x e, e the estimate: the inner product, the difference and the
// outer product each rounded (never fused).
inline __m128 recipRefine4(__m128 v) {
  const __m128 e = recipEstimate4(v);
  __m128 p = _mm_mul_ps(v, e);
  __asm__("" : "+x"(p));  // the product stays rounded on its own
  return _mm_mul_ps(_mm_sub_ps(_mm_set1_ps(2.0f), p), e);
}

#if defined(__AVX2__)
// The same on 8 lanes.
inline __m256 recipEstimate8(__m256 v) {
  const __m256i bits = _mm256_castps_si256(v);
  const __m256i e = _mm256_srli_epi32(bits, 23);  // sign 0
  const __m256i a =
      _mm256_add_epi32(_mm256_and_si256(_mm256_srli_epi32(bits, 15), _mm256_set1_epi32(0xFF)),
                       _mm256_set1_epi32(256));
  const __m256 den =
      _mm256_cvtepi32_ps(_mm256_add_epi32(_mm256_add_epi32(a, a), _mm256_set1_epi32(1)));
  const __m256i q = _mm256_cvttps_epi32(_mm256_div_ps(_mm256_set1_ps(524288.0f), den));
  const __m256i r = _mm256_srli_epi32(_mm256_add_epi32(q, _mm256_set1_epi32(1)), 1);
  const __m256i exp = _mm256_slli_epi32(_mm256_sub_epi32(_mm256_set1_epi32(253), e), 23);
  const __m256i frac = _mm256_slli_epi32(_mm256_sub_epi32(r, _mm256_set1_epi32(256)), 15);
  return _mm256_castsi256_ps(_mm256_or_si256(exp, frac));
}

inline __m256 recipRefine8(__m256 v) {
  const __m256 e = recipEstimate8(v);
  __m256 p = _mm256_mul_ps(v, e);
  __asm__("" : "+x"(p));  // the product stays rounded on its own
  return _mm256_mul_ps(_mm256_sub_ps(_mm256_set1_ps(2.0f), p), e);
}
#endif

}  // namespace tnr_md::TNR_MD_X86_NS

#endif  // TNR_MD_RECIP_X86_H
