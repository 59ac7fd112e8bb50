// Sigma estimation, x86-64 form (SSE4.1, or AVX2 where the build's level has
// it): the separable 9-tap smoothing (10 13 15 17 18 17 15 13 10, rounded
// shift by 7) and the two scaled tables. Results equal sigmaFilterLut_c
// element for element.
//
// Arithmetic, each step equal to the per-sample one for every input:
// - Pair sums wrap in 16 bits (add_epi16). The taps are two products per
//   madd_epi16: (sum0_8, sum1_7) by (10, 13), (sum2_6, sum3_5) by (15, 17),
//   and (centre, 1) by (18, 64), which also adds the rounding constant. The
//   32-bit total never overflows (|A| <= 73 x 32768), and the arithmetic
//   shift by 7 leaves -18688 .. 18687, which the saturating pack keeps as is.
// - Tables: (float)v x scale and + 0.5f rounded on their own (no fused
//   multiply-add; the compiler barrier keeps the product apart), then
//   truncated. cvttps gives INT32_MIN for NaN and for values out of range;
//   NaN and values at or below -2^31 end as 32 either way after max(., 32),
//   and lanes at or above 2^31 are flipped to INT32_MAX, the saturated value.
//   pSigmaL keeps the low 16 bits of each entry.
//
// Tail policy: blocks of 8 entries (16 in the AVX2 body) from column 0; a row
// whose width is not a multiple of the block ends with an 8-entry block moved
// back to end at the row's end, which recomputes the overlap with equal
// values. A block at column c reads input columns c - 4 .. c + 11 (c + 19 for
// 16 entries), inside the 4-sample border. Rows narrower than 8 entries take
// the per-sample form.
#include <cstddef>
#include <cstdint>

#include "arith.h"
#include "kernels.h"
#include "x86_vec.h"

namespace tnr_md::TNR_MD_X86_NS {
namespace {

struct TapWeights {
  __m128i w0813, w2635, wCentre, one;
};

inline TapWeights tapWeights() {
  return {_mm_set1_epi32((13 << 16) | 10), _mm_set1_epi32((17 << 16) | 15),
          _mm_set1_epi32((64 << 16) | 18), _mm_set1_epi16(1)};
}

// The 9-tap kernel of 8 lanes from the four pair sums and the centre, each
// 16-bit; the result RoundShift(A, 7) narrowed to 16 bits.
inline __m128i taps8(__m128i s08, __m128i s17, __m128i s26, __m128i s35, __m128i c,
                     const TapWeights &k, __m128i *lo32 = nullptr, __m128i *hi32 = nullptr) {
  const __m128i lo =
      _mm_add_epi32(_mm_add_epi32(_mm_madd_epi16(_mm_unpacklo_epi16(s08, s17), k.w0813),
                                  _mm_madd_epi16(_mm_unpacklo_epi16(s26, s35), k.w2635)),
                    _mm_madd_epi16(_mm_unpacklo_epi16(c, k.one), k.wCentre));
  const __m128i hi =
      _mm_add_epi32(_mm_add_epi32(_mm_madd_epi16(_mm_unpackhi_epi16(s08, s17), k.w0813),
                                  _mm_madd_epi16(_mm_unpackhi_epi16(s26, s35), k.w2635)),
                    _mm_madd_epi16(_mm_unpackhi_epi16(c, k.one), k.wCentre));
  const __m128i vlo = _mm_srai_epi32(lo, 7), vhi = _mm_srai_epi32(hi, 7);
  if (lo32) *lo32 = vlo;
  if (hi32) *hi32 = vhi;
  return _mm_packs_epi32(vlo, vhi);
}

// Horizontal results of the 8 columns from in[0]: inputs in[-4 .. 11].
inline __m128i horizontal8(const int16_t *in, const TapWeights &k) {
  const __m128i a = loadu(in - 4), b = loadu(in + 4);
  const __m128i s08 = _mm_add_epi16(a, b);
  const __m128i s17 = _mm_add_epi16(_mm_alignr_epi8(b, a, 2), _mm_alignr_epi8(b, a, 14));
  const __m128i s26 = _mm_add_epi16(_mm_alignr_epi8(b, a, 4), _mm_alignr_epi8(b, a, 12));
  const __m128i s35 = _mm_add_epi16(_mm_alignr_epi8(b, a, 6), _mm_alignr_epi8(b, a, 10));
  return taps8(s08, s17, s26, s35, _mm_alignr_epi8(b, a, 8), k);
}

// max(TruncToInt(f x scale + 0.5f), 32) of 4 lanes.
inline __m128i scaleEntry(__m128 f, __m128 scale) {
  __m128 p = _mm_mul_ps(f, scale);
  __asm__("" : "+x"(p));  // the product stays rounded on its own
  const __m128 x = _mm_add_ps(p, _mm_set1_ps(0.5f));
  const __m128i big = _mm_castps_si128(_mm_cmpge_ps(x, _mm_set1_ps(2147483648.0f)));
  const __m128i t = _mm_xor_si128(_mm_cvttps_epi32(x), big);
  return _mm_max_epi32(t, _mm_set1_epi32(32));
}

struct Scales {
  __m128 l, h;
};

// Tables of the 8 columns from scratch column t[0] (scratch rows y .. y + 8
// at pitch s for table row y).
inline void vertical8(const int16_t *t, ptrdiff_t s, uint16_t *outL, uint32_t *outH,
                      const TapWeights &k, const Scales &sc) {
  __m128i r[9];
  for (int i = 0; i < 9; ++i) r[i] = loadu(t + i * s);
  __m128i vlo, vhi;
  taps8(_mm_add_epi16(r[0], r[8]), _mm_add_epi16(r[1], r[7]), _mm_add_epi16(r[2], r[6]),
        _mm_add_epi16(r[3], r[5]), r[4], k, &vlo, &vhi);
  const __m128 flo = _mm_cvtepi32_ps(vlo), fhi = _mm_cvtepi32_ps(vhi);
  const __m128i low16 = _mm_set1_epi32(0xFFFF);
  storeu(outL, _mm_packus_epi32(_mm_and_si128(scaleEntry(flo, sc.l), low16),
                                _mm_and_si128(scaleEntry(fhi, sc.l), low16)));
  storeu(outH, scaleEntry(flo, sc.h));
  storeu(outH + 4, scaleEntry(fhi, sc.h));
}

#if defined(__AVX2__)
inline __m256i loadu256(const int16_t *p) {
  return _mm256_loadu_si256(reinterpret_cast<const __m256i *>(p));
}

struct TapWeights256 {
  __m256i w0813, w2635, wCentre, one;
};

inline TapWeights256 tapWeights256() {
  return {_mm256_set1_epi32((13 << 16) | 10), _mm256_set1_epi32((17 << 16) | 15),
          _mm256_set1_epi32((64 << 16) | 18), _mm256_set1_epi16(1)};
}

// As taps8, 16 lanes; the unpacks and the pack work within 128-bit halves,
// so the lanes come back in order.
inline __m256i taps16(__m256i s08, __m256i s17, __m256i s26, __m256i s35, __m256i c,
                      const TapWeights256 &k, __m256i *lo32 = nullptr, __m256i *hi32 = nullptr) {
  const __m256i lo = _mm256_add_epi32(
      _mm256_add_epi32(_mm256_madd_epi16(_mm256_unpacklo_epi16(s08, s17), k.w0813),
                       _mm256_madd_epi16(_mm256_unpacklo_epi16(s26, s35), k.w2635)),
      _mm256_madd_epi16(_mm256_unpacklo_epi16(c, k.one), k.wCentre));
  const __m256i hi = _mm256_add_epi32(
      _mm256_add_epi32(_mm256_madd_epi16(_mm256_unpackhi_epi16(s08, s17), k.w0813),
                       _mm256_madd_epi16(_mm256_unpackhi_epi16(s26, s35), k.w2635)),
      _mm256_madd_epi16(_mm256_unpackhi_epi16(c, k.one), k.wCentre));
  const __m256i vlo = _mm256_srai_epi32(lo, 7), vhi = _mm256_srai_epi32(hi, 7);
  if (lo32) *lo32 = vlo;
  if (hi32) *hi32 = vhi;
  return _mm256_packs_epi32(vlo, vhi);
}

// Horizontal results of the 16 columns from in[0]: inputs in[-4 .. 19].
inline __m256i horizontal16(const int16_t *in, const TapWeights256 &k) {
  __m256i v[9];
  for (int i = 0; i < 9; ++i) v[i] = loadu256(in - 4 + i);
  return taps16(_mm256_add_epi16(v[0], v[8]), _mm256_add_epi16(v[1], v[7]),
                _mm256_add_epi16(v[2], v[6]), _mm256_add_epi16(v[3], v[5]), v[4], k);
}

inline __m256i scaleEntry8(__m256 f, __m256 scale) {
  __m256 p = _mm256_mul_ps(f, scale);
  __asm__("" : "+x"(p));  // the product stays rounded on its own
  const __m256 x = _mm256_add_ps(p, _mm256_set1_ps(0.5f));
  const __m256i big =
      _mm256_castps_si256(_mm256_cmp_ps(x, _mm256_set1_ps(2147483648.0f), _CMP_GE_OQ));
  const __m256i t = _mm256_xor_si256(_mm256_cvttps_epi32(x), big);
  return _mm256_max_epi32(t, _mm256_set1_epi32(32));
}

// Tables of the 16 columns from scratch column t[0]. Within each 128-bit
// half, vlo holds columns 0 .. 3 (8 .. 11) and vhi columns 4 .. 7 (12 .. 15).
inline void vertical16(const int16_t *t, ptrdiff_t s, uint16_t *outL, uint32_t *outH,
                       const TapWeights256 &k, __m256 scaleL, __m256 scaleH) {
  __m256i r[9];
  for (int i = 0; i < 9; ++i) r[i] = loadu256(t + i * s);
  __m256i vlo, vhi;
  taps16(_mm256_add_epi16(r[0], r[8]), _mm256_add_epi16(r[1], r[7]), _mm256_add_epi16(r[2], r[6]),
         _mm256_add_epi16(r[3], r[5]), r[4], k, &vlo, &vhi);
  const __m256 flo = _mm256_cvtepi32_ps(vlo), fhi = _mm256_cvtepi32_ps(vhi);
  const __m256i low16 = _mm256_set1_epi32(0xFFFF);
  _mm256_storeu_si256(reinterpret_cast<__m256i *>(outL),
                      _mm256_packus_epi32(_mm256_and_si256(scaleEntry8(flo, scaleL), low16),
                                          _mm256_and_si256(scaleEntry8(fhi, scaleL), low16)));
  const __m256i hlo = scaleEntry8(flo, scaleH), hhi = scaleEntry8(fhi, scaleH);
  _mm256_storeu_si256(reinterpret_cast<__m256i *>(outH), _mm256_permute2x128_si256(hlo, hhi, 0x20));
  _mm256_storeu_si256(reinterpret_cast<__m256i *>(outH + 8),
                      _mm256_permute2x128_si256(hlo, hhi, 0x31));
}
#endif

}  // namespace

void sigmaLut_x86(const int16_t *pIn, int16_t *pTmpBuf, const SigmaTables &out,
                  const SigmaScales &scale, int rows, int cols, int stride) {
  if (rows <= 0 || cols <= 0) return;
  if (cols < 8) return sigmaLut_c(pIn, pTmpBuf, out, scale, rows, cols, stride);
  uint16_t *pSigmaL = out.low;
  uint32_t *pSigmaH = out.high;
  const float sigmaLScale = scale.low, sigmaHScale = scale.high;
  const ptrdiff_t S = stride;
  const TapWeights k = tapWeights();
  const Scales sc{_mm_set1_ps(sigmaTableScale(sigmaLScale)),
                  _mm_set1_ps(sigmaTableScale(sigmaHScale))};
  const int last = cols - 8;  // the moved-back last block
#if defined(__AVX2__)
  const TapWeights256 k16 = tapWeights256();
  const __m256 scaleL16 = _mm256_set1_ps(sigmaTableScale(sigmaLScale));
  const __m256 scaleH16 = _mm256_set1_ps(sigmaTableScale(sigmaHScale));
#endif

  // Horizontal pass over every row of the bordered plane (-4 .. rows + 3);
  // scratch row r + 4, columns 4 .. cols + 3.
  for (int r = -4; r < rows + 4; ++r) {
    const int16_t *in = pIn + r * S;
    int16_t *tmp = pTmpBuf + (r + 4) * S + 4;
    int x = 0;
#if defined(__AVX2__)
    for (; x + 16 <= cols; x += 16)
      _mm256_storeu_si256(reinterpret_cast<__m256i *>(tmp + x), horizontal16(in + x, k16));
#endif
    for (; x + 8 <= cols; x += 8) storeu(tmp + x, horizontal8(in + x, k));
    if (x < cols) storeu(tmp + last, horizontal8(in + last, k));
  }
  // Vertical pass: table row y from scratch rows y .. y + 8.
  for (int y = 0; y < rows; ++y) {
    const int16_t *t = pTmpBuf + y * S + 4;
    uint16_t *rowL = pSigmaL + y * S;
    uint32_t *rowH = pSigmaH + y * S;
    int x = 0;
#if defined(__AVX2__)
    for (; x + 16 <= cols; x += 16)
      vertical16(t + x, S, rowL + x, rowH + x, k16, scaleL16, scaleH16);
#endif
    for (; x + 8 <= cols; x += 8) vertical8(t + x, S, rowL + x, rowH + x, k, sc);
    if (x < cols) vertical8(t + last, S, rowL + last, rowH + last, k, sc);
  }
}

}  // namespace tnr_md::TNR_MD_X86_NS
