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
// with d = max(Low16(l - sL), 0) and s = max(sL, 64), signed 16-bit; the
// 32-bit steps in one vector of the level's Wide traits or in two.
inline __m128i blockAlpha8(__m128i l, __m128i sL) {
  using S = Wide;
  constexpr int kParts = 8 / (S::kLanes / 2);
  const __m128i z = _mm_setzero_si128();
  const __m128i d = _mm_max_epi16(_mm_sub_epi16(l, sL), z);
  const __m128i s = _mm_max_epi16(sL, _mm_set1_epi16(64));
  S::V q[2];
  for (int k = 0; k < kParts; ++k) {
    // d and s are non-negative: zero extension is their 32-bit value.
    const S::F num = S::toFloat(S::sll32by7(S::widenU16(d, k)));
    const S::F inv = recipRefineX<S>(S::toFloat(S::widenU16(s, k)));
    S::F p = S::mulf(num, inv);
    __asm__("" : "+x"(p));  // the product stays rounded on its own
    q[k] = S::min32(S::trunc(S::addf(p, S::set1f(0.5f))), S::set1x32(128));
  }
  return _mm_packus_epi16(S::packs32x8(q), z);  // 8 bytes in the low half
}

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
