// The 3x3 binomial filter's lane steps in x86-64 16-bit lanes (SSE4.1, AVX2,
// AVX-512 where the build's level has them), exact for every int16 input;
// shared by the filter and by the per-pixel pass, which filters the samples
// it needs itself.
//
// With q = x >> 4 for each input x, the weighted sum A = sum w x (weights
// summing to 16) splits as A = 16 Q + R with Q = sum w q and R = sum w (x & 15)
// in 0 .. 240. Q lies in -32768 .. 32752, so its wrapping 16-bit sum is exact;
// the wrapping 16-bit sum of the inputs gives A mod 2^16, hence R = A - 16 Q
// (mod 2^16) exactly; the output (A + 8) >> 4 is Q + ((R + 8) >> 4).
#ifndef TNR_MD_GAUSS3X3_X86_H
#define TNR_MD_GAUSS3X3_X86_H

#include <smmintrin.h>
#if defined(__AVX2__)
#include <immintrin.h>
#endif

#include <cstddef>
#include <cstdint>

namespace tnr_md {
namespace gauss_x86 {

struct Sse {
  using V = __m128i;
  static constexpr int kLanes = 8;
  static V load(const int16_t *p) { return _mm_loadu_si128(reinterpret_cast<const V *>(p)); }
  static void store(int16_t *p, V v) { _mm_storeu_si128(reinterpret_cast<V *>(p), v); }
  static V add(V a, V b) { return _mm_add_epi16(a, b); }
  static V sub(V a, V b) { return _mm_sub_epi16(a, b); }
  static V sra4(V a) { return _mm_srai_epi16(a, 4); }
  static V shl4(V a) { return _mm_slli_epi16(a, 4); }
  static V srl4(V a) { return _mm_srli_epi16(a, 4); }
  static V set8() { return _mm_set1_epi16(8); }
  static V avg(V a, V b) { return _mm_avg_epu16(a, b); }
  static V bor(V a, V b) { return _mm_or_si128(a, b); }
  static V bxor(V a, V b) { return _mm_xor_si128(a, b); }
  static V set1(int16_t v) { return _mm_set1_epi16(v); }
  static bool anyLow4(V a) { return !_mm_testz_si128(a, _mm_set1_epi16(15)); }
};

#if defined(__AVX2__)
struct Avx2 {
  using V = __m256i;
  static constexpr int kLanes = 16;
  static V load(const int16_t *p) { return _mm256_loadu_si256(reinterpret_cast<const V *>(p)); }
  static void store(int16_t *p, V v) { _mm256_storeu_si256(reinterpret_cast<V *>(p), v); }
  static V add(V a, V b) { return _mm256_add_epi16(a, b); }
  static V sub(V a, V b) { return _mm256_sub_epi16(a, b); }
  static V sra4(V a) { return _mm256_srai_epi16(a, 4); }
  static V shl4(V a) { return _mm256_slli_epi16(a, 4); }
  static V srl4(V a) { return _mm256_srli_epi16(a, 4); }
  static V set8() { return _mm256_set1_epi16(8); }
  static V avg(V a, V b) { return _mm256_avg_epu16(a, b); }
  static V bor(V a, V b) { return _mm256_or_si256(a, b); }
  static V bxor(V a, V b) { return _mm256_xor_si256(a, b); }
  static V set1(int16_t v) { return _mm256_set1_epi16(v); }
  static bool anyLow4(V a) { return !_mm256_testz_si256(a, _mm256_set1_epi16(15)); }
};
#endif

#if defined(__AVX512BW__)
struct Avx512 {
  using V = __m512i;
  static constexpr int kLanes = 32;
  static V load(const int16_t *p) { return _mm512_loadu_si512(p); }
  static void store(int16_t *p, V v) { _mm512_storeu_si512(p, v); }
  static V add(V a, V b) { return _mm512_add_epi16(a, b); }
  static V sub(V a, V b) { return _mm512_sub_epi16(a, b); }
  static V sra4(V a) { return _mm512_srai_epi16(a, 4); }
  static V shl4(V a) { return _mm512_slli_epi16(a, 4); }
  static V srl4(V a) { return _mm512_srli_epi16(a, 4); }
  static V set8() { return _mm512_set1_epi16(8); }
  static V avg(V a, V b) { return _mm512_avg_epu16(a, b); }
  static V bor(V a, V b) { return _mm512_or_si512(a, b); }
  static V bxor(V a, V b) { return _mm512_xor_si512(a, b); }
  static V set1(int16_t v) { return _mm512_set1_epi16(v); }
  static bool anyLow4(V a) { return _mm512_test_epi16_mask(a, _mm512_set1_epi16(15)) != 0; }
};
#endif

// Row sums of one vector of columns p .. p + lanes - 1: the quotient part and
// the wrapping full sum. Reads columns p - 1 .. p + lanes.
template <class S>
struct RowSum {
  typename S::V q, a;
};

template <class S>
inline RowSum<S> rowSum(const int16_t *row) {
  const auto l = S::load(row - 1), m = S::load(row), r = S::load(row + 1);
  const auto ql = S::sra4(l), qm = S::sra4(m), qr = S::sra4(r);
  return {S::add(S::add(ql, qr), S::add(qm, qm)), S::add(S::add(l, r), S::add(m, m))};
}

// The filtered values of one vector of columns from c (a pointer into a
// plane of pitch stride): reads rows -1 .. 1 and columns -1 .. lanes of c.
template <class S>
inline typename S::V filterAt(const int16_t *c, ptrdiff_t stride) {
  const RowSum<S> up = rowSum<S>(c - stride), mid = rowSum<S>(c), down = rowSum<S>(c + stride);
  const typename S::V q = S::add(S::add(up.q, down.q), S::add(mid.q, mid.q));
  const typename S::V a = S::add(S::add(up.a, down.a), S::add(mid.a, mid.a));
  const typename S::V r = S::sub(a, S::shl4(q));  // 0 .. 240
  return S::add(q, S::srl4(S::add(r, S::set8())));
}

}  // namespace gauss_x86
}  // namespace tnr_md

#endif  // TNR_MD_GAUSS3X3_X86_H
