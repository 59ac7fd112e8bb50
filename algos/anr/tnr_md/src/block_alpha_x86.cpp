// Block alpha, x86-64 form: 8 blocks per step. Results equal blockAlpha_c
// byte for byte.
//
// The reciprocal is RecipRefine itself (the Arm estimate computed exactly,
// one Newton-Raphson step), the product by d x 128 and the + 0.5 rounded on
// their own, then truncated: no shortcut. The value before the clamp is at
// most 65534 and never negative, so plain truncation is the saturating
// conversion.
//
// Tail policy: a row whose length is not a multiple of 8 ends with a group
// moved back to end at the row's end, recomputing the overlap with equal
// values. Rows narrower than 8 blocks run the same lane code on a
// zero-padded local copy and copy back only the row's own bytes.
#include <cstring>

#include "kernels.h"
#include "recip_x86.h"
#include "x86_vec.h"

namespace tnr_md::TNR_MD_X86_NS {
namespace {

// Block alpha of 8 blocks: min(trunc(d x 128 x RecipRefine(s) + 0.5), 128)
// with d = max(Low16(l - sL), 0) and s = max(sL, 64), signed 16-bit.
#if defined(__AVX2__)
inline __m128i blockAlpha8(__m128i l, __m128i sL) {
  const __m128i z = _mm_setzero_si128();
  const __m128i d = _mm_max_epi16(_mm_sub_epi16(l, sL), z);
  const __m128i s = _mm_max_epi16(sL, _mm_set1_epi16(64));
  // d and s are non-negative: zero extension is their 32-bit value.
  const __m256 num = _mm256_cvtepi32_ps(_mm256_slli_epi32(_mm256_cvtepu16_epi32(d), 7));
  const __m256 inv = recipRefine8(_mm256_cvtepi32_ps(_mm256_cvtepu16_epi32(s)));
  __m256 p = _mm256_mul_ps(num, inv);
  __asm__("" : "+x"(p));  // the product stays rounded on its own
  const __m256i q = _mm256_min_epi32(_mm256_cvttps_epi32(_mm256_add_ps(p, _mm256_set1_ps(0.5f))),
                                     _mm256_set1_epi32(128));
  return _mm_packus_epi16(
      _mm_packs_epi32(_mm256_castsi256_si128(q), _mm256_extracti128_si256(q, 1)), z);
}
#else
inline __m128i blockAlpha8(__m128i l, __m128i sL) {
  const __m128i z = _mm_setzero_si128();
  const __m128i d = _mm_max_epi16(_mm_sub_epi16(l, sL), z);
  const __m128i s = _mm_max_epi16(sL, _mm_set1_epi16(64));
  const __m128 half = _mm_set1_ps(0.5f);
  // d and s are non-negative: zero extension is their 32-bit value.
  const __m128 num0 = _mm_cvtepi32_ps(_mm_slli_epi32(_mm_unpacklo_epi16(d, z), 7));
  const __m128 num1 = _mm_cvtepi32_ps(_mm_slli_epi32(_mm_unpackhi_epi16(d, z), 7));
  const __m128 inv0 = recipRefine4(_mm_cvtepi32_ps(_mm_unpacklo_epi16(s, z)));
  const __m128 inv1 = recipRefine4(_mm_cvtepi32_ps(_mm_unpackhi_epi16(s, z)));
  __m128 p0 = _mm_mul_ps(num0, inv0), p1 = _mm_mul_ps(num1, inv1);
  __asm__("" : "+x"(p0), "+x"(p1));  // the products stay rounded on their own
  const __m128i c128 = _mm_set1_epi32(128);
  const __m128i q0 = _mm_min_epi32(_mm_cvttps_epi32(_mm_add_ps(p0, half)), c128);
  const __m128i q1 = _mm_min_epi32(_mm_cvttps_epi32(_mm_add_ps(p1, half)), c128);
  return _mm_packus_epi16(_mm_packs_epi32(q0, q1), z);  // 8 bytes in the low half
}
#endif

}  // namespace

void blockAlpha_x86(const int16_t *pLdiff, int lDiffStride, const uint16_t *pSigmaL,
                    int sigmaStride, uint8_t *pA, int rows, int blockCols) {
  if (blockCols >= 8) {
    const int last = blockCols - 8;  // the moved-back last group
    for (int j = 0; j < rows; ++j) {
      const int16_t *l = pLdiff + static_cast<ptrdiff_t>(j) * lDiffStride;
      const uint16_t *s = pSigmaL + static_cast<ptrdiff_t>(j) * sigmaStride;
      uint8_t *a = pA + static_cast<ptrdiff_t>(j) * blockCols;
      for (int x = 0; x < blockCols; x += 8) {
        const int o = x <= last ? x : last;
        _mm_storel_epi64(reinterpret_cast<__m128i *>(a + o),
                         blockAlpha8(loadu(l + o), loadu(s + o)));
      }
    }
    return;
  }
  // Padding lanes compute d = 0 and are dropped.
  for (int j = 0; j < rows; ++j) {
    int16_t l[8] = {0};
    uint16_t s[8] = {0};
    uint8_t out[8];
    std::memcpy(l, pLdiff + static_cast<ptrdiff_t>(j) * lDiffStride, sizeof(int16_t) * blockCols);
    std::memcpy(s, pSigmaL + static_cast<ptrdiff_t>(j) * sigmaStride, sizeof(uint16_t) * blockCols);
    _mm_storel_epi64(reinterpret_cast<__m128i *>(out), blockAlpha8(loadu(l), loadu(s)));
    std::memcpy(pA + static_cast<ptrdiff_t>(j) * blockCols, out, blockCols);
  }
}

}  // namespace tnr_md::TNR_MD_X86_NS
