// The x86-64 vector layer: what the *_x86.cpp sources share, for the level
// they are compiled for.
//
// Each *_x86.cpp is compiled once per x86-64 level (x86-64-v2: SSE4.1,
// x86-64-v3: AVX2, x86-64-v4: AVX-512, and x86-64-v4 with AVX-512 VBMI),
// with that level's -march flags and TNR_MD_X86_NS naming the level's
// namespace (x86_v2, x86_v3, x86_v4, x86_v4vbmi), so that the levels' kernels
// and helpers never meet: everything of an x86 source, this layer included,
// lives in tnr_md::TNR_MD_X86_NS.
//
// The vector traits V128, V256 and V512 give the same operations on 128,
// 256 and 512 bits (V512 those its users need); Wide names the vector the
// row loops use and Widest the widest the level has (where a kernel is
// written once over a width), and the constants below say which instruction
// sets the level has (where a step really differs by level).
#ifndef TNR_MD_X86_VEC_H
#define TNR_MD_X86_VEC_H

#ifndef TNR_MD_X86_NS
#error "x86 sources are compiled once per level with TNR_MD_X86_NS set (see CMakeLists.txt)"
#endif

#include <immintrin.h>

#include <cstddef>
#include <cstdint>

// g++ 12 takes the deliberately undefined source vectors inside its AVX-512
// intrinsics for uninitialised variables.
#if defined(__AVX512BW__) && defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif

namespace tnr_md::TNR_MD_X86_NS {
// Internal linkage: a header compiled outside the level sources (recip_x86.h
// in neon.h) gets its own copy at its own flags.
namespace {

#if defined(__AVX2__)
constexpr bool kAvx2 = true;
#else
constexpr bool kAvx2 = false;
#endif
#if defined(__AVX512VBMI__)
constexpr bool kVbmi = true;
#else
constexpr bool kVbmi = false;
#endif

inline __m128i loadu(const void *p) { return _mm_loadu_si128(static_cast<const __m128i *>(p)); }
inline void storeu(void *p, __m128i v) { _mm_storeu_si128(static_cast<__m128i *>(p), v); }

// Operations on 16-bit lanes (unsuffixed names), bytes (...8), 32-bit lanes
// (...32) and floats (...f). Lane order within the vector is kept by every
// operation except where noted: unpacks, packs, byte shuffles and horizontal
// adds work within 128-bit lanes, so a pair of them gives the lanes back in
// order.
struct V128 {
  using V = __m128i;
  static constexpr int kBytes = 16;
  static constexpr int kLanes = 8;  // 16-bit lanes
  static V load(const void *p) { return _mm_loadu_si128(static_cast<const V *>(p)); }
  static void store(void *p, V v) { _mm_storeu_si128(static_cast<V *>(p), v); }
  static V add(V a, V b) { return _mm_add_epi16(a, b); }
  static V sub(V a, V b) { return _mm_sub_epi16(a, b); }
  static V sra4(V a) { return _mm_srai_epi16(a, 4); }
  static V sra6(V a) { return _mm_srai_epi16(a, 6); }
  static V shl4(V a) { return _mm_slli_epi16(a, 4); }
  static V srl4(V a) { return _mm_srli_epi16(a, 4); }
  static V srl3(V a) { return _mm_srli_epi16(a, 3); }
  static V set8() { return _mm_set1_epi16(8); }
  static V avg(V a, V b) { return _mm_avg_epu16(a, b); }
  static V avg8(V a, V b) { return _mm_avg_epu8(a, b); }
  static V bor(V a, V b) { return _mm_or_si128(a, b); }
  static V bxor(V a, V b) { return _mm_xor_si128(a, b); }
  static V set1(int16_t v) { return _mm_set1_epi16(v); }
  static bool anyLow4(V a) { return !_mm_testz_si128(a, _mm_set1_epi16(15)); }
  static V unpacklo8(V a, V b) { return _mm_unpacklo_epi8(a, b); }
  static V unpackhi8(V a, V b) { return _mm_unpackhi_epi8(a, b); }
  static V maddubs(V a, V b) { return _mm_maddubs_epi16(a, b); }
  static V packus(V a, V b) { return _mm_packus_epi16(a, b); }
  static V zero() { return _mm_setzero_si128(); }
  static V band(V a, V b) { return _mm_and_si128(a, b); }
  static V srl7(V a) { return _mm_srli_epi16(a, 7); }
  static V sll7(V a) { return _mm_slli_epi16(a, 7); }
  static V srl8(V a) { return _mm_srli_epi16(a, 8); }
  static V sll8(V a) { return _mm_slli_epi16(a, 8); }
  static V srl6(V a) { return _mm_srli_epi16(a, 6); }
  static V sll16(V a, int n) { return _mm_slli_epi16(a, n); }
  static V srl16(V a, int n) { return _mm_srli_epi16(a, n); }
  static V sll5(V a) { return _mm_slli_epi16(a, 5); }
  static V abs(V a) { return _mm_abs_epi16(a); }
  static V mullo(V a, V b) { return _mm_mullo_epi16(a, b); }
  static V mulhi(V a, V b) { return _mm_mulhi_epi16(a, b); }
  static V mulhrs(V a, V b) { return _mm_mulhrs_epi16(a, b); }
  static V loadU8(const uint8_t *p) {  // kLanes bytes to 16-bit lanes
    return _mm_cvtepu8_epi16(_mm_loadl_epi64(static_cast<const V *>(static_cast<const void *>(p))));
  }
  // Lane i of lo (hi): lane i / 2 (kLanes / 2 + i / 2) of a.
  static void dupPairs(V a, V &lo, V &hi) {
    lo = _mm_unpacklo_epi16(a, a);
    hi = _mm_unpackhi_epi16(a, a);
  }
  static V cmpgt(V a, V b) { return _mm_cmpgt_epi16(a, b); }
  static bool allSet(V a) { return _mm_movemask_epi8(a) == 0xFFFF; }
  static V subs(V a, V b) { return _mm_subs_epi16(a, b); }
  static V subsu16(V a, V b) { return _mm_subs_epu16(a, b); }
  static V max16(V a, V b) { return _mm_max_epi16(a, b); }
  static V min16(V a, V b) { return _mm_min_epi16(a, b); }
  static V mulhiu(V a, V b) { return _mm_mulhi_epu16(a, b); }
  static V srl32by14(V a) { return _mm_srli_epi32(a, 14); }
  // The bytes of packus(a, b) in the order of a's lanes, then b's.
  static V packusInOrder(V a, V b) { return _mm_packus_epi16(a, b); }
  // Bytes.
  static V set1x8(int8_t v) { return _mm_set1_epi8(v); }
  static V set1x64(uint64_t v) { return _mm_set1_epi64x(static_cast<long long>(v)); }
  static V add8(V a, V b) { return _mm_add_epi8(a, b); }
  static V sub8(V a, V b) { return _mm_sub_epi8(a, b); }
  static V subsu8(V a, V b) { return _mm_subs_epu8(a, b); }
  static V maxu8(V a, V b) { return _mm_max_epu8(a, b); }
  static V minu8(V a, V b) { return _mm_min_epu8(a, b); }
  static V cmpgt8(V a, V b) { return _mm_cmpgt_epi8(a, b); }
  static V cmpeq8(V a, V b) { return _mm_cmpeq_epi8(a, b); }
  static bool allZero(V a) { return _mm_testz_si128(a, a) != 0; }
  // Whether a AND b is 0 in every bit, one test.
  static bool allZeroAnd(V a, V b) { return _mm_testz_si128(a, b) != 0; }
  static V shuffle8(V a, V idx) { return _mm_shuffle_epi8(a, idx); }  // within 128-bit lanes
  static V broadcast16(const void *p) { return load(p); }  // 16 bytes to every 128-bit lane
  static V blendv8(V a, V b, V m) { return _mm_blendv_epi8(a, b, m); }  // b where m's top bit
  // Lane i of 16-bit values: p[first + i / 8].
  static V spread16(const int16_t *p, int first) { return _mm_set1_epi16(p[first]); }
#if defined(__AVX512VBMI__)
  // Byte i: t[idx_i & 127] (a two-register byte permute of a 128-byte table).
  static V lookup128(const uint8_t *t, V idx) {
    return _mm512_castsi512_si128(_mm512_permutex2var_epi8(
        _mm512_load_si512(t), _mm512_zextsi128_si512(idx), _mm512_load_si512(t + 64)));
  }
#endif
  // 32-bit lanes and floats (the sigma tables).
  using F = __m128;
  static V unpacklo16(V a, V b) { return _mm_unpacklo_epi16(a, b); }
  static V unpackhi16(V a, V b) { return _mm_unpackhi_epi16(a, b); }
  static V madd(V a, V b) { return _mm_madd_epi16(a, b); }
  static V add32(V a, V b) { return _mm_add_epi32(a, b); }
  static V hadd32(V a, V b) { return _mm_hadd_epi32(a, b); }  // within 128-bit lanes
  static V sra32by7(V a) { return _mm_srai_epi32(a, 7); }
  static V packs32(V a, V b) { return _mm_packs_epi32(a, b); }
  static V packus32(V a, V b) { return _mm_packus_epi32(a, b); }
  static V set1x32(int v) { return _mm_set1_epi32(v); }
  static V max32(V a, V b) { return _mm_max_epi32(a, b); }
  static V min32(V a, V b) { return _mm_min_epi32(a, b); }
  static V sub32(V a, V b) { return _mm_sub_epi32(a, b); }
  template <int n>
  static V srl32(V a) {
    return _mm_srli_epi32(a, n);
  }
  template <int n>
  static V sll32(V a) {
    return _mm_slli_epi32(a, n);
  }
  static V bits(F a) { return _mm_castps_si128(a); }
  static F fromBits(V a) { return _mm_castsi128_ps(a); }
  static F divf(F a, F b) { return _mm_div_ps(a, b); }
  // The 16-bit lanes 4k .. 4k + 3 of v zero-extended to 32 bits; the 8
  // 32-bit lanes of q[0] and q[1] narrowed (saturating) to 16 bits.
  static V widenU16(__m128i v, int k) {
    return k ? _mm_unpackhi_epi16(v, _mm_setzero_si128()) : _mm_cvtepu16_epi32(v);
  }
  static __m128i packs32x8(const V *q) { return _mm_packs_epi32(q[0], q[1]); }
  static V sll32by7(V a) { return _mm_slli_epi32(a, 7); }
  static V sll32by16(V a) { return _mm_slli_epi32(a, 16); }
  static V srl32by16(V a) { return _mm_srli_epi32(a, 16); }
  static V sra32by16(V a) { return _mm_srai_epi32(a, 16); }
  static F toFloat(V a) { return _mm_cvtepi32_ps(a); }
  static V trunc(F a) { return _mm_cvttps_epi32(a); }
  static F loadf(const float *p) { return _mm_loadu_ps(p); }
  static F set1f(float v) { return _mm_set1_ps(v); }
  static F mulf(F a, F b) { return _mm_mul_ps(a, b); }
  static F addf(F a, F b) { return _mm_add_ps(a, b); }
  static F subf(F a, F b) { return _mm_sub_ps(a, b); }
  static F minf(F a, F b) { return _mm_min_ps(a, b); }
  static F maxf(F a, F b) { return _mm_max_ps(a, b); }
  static F rcp(F a) { return _mm_rcp_ps(a); }
  static V geMask(F a, F b) { return _mm_castps_si128(_mm_cmpge_ps(a, b)); }
  // 32-bit lane j: p[first + 2 (j / 4)] (a block's pixels by block column).
  static V spreadCols(const void *p, int first) {
    return _mm_set1_epi32(static_cast<const int32_t *>(p)[first]);
  }
  static F spreadColsF(const float *p, int first) { return _mm_set1_ps(p[first]); }
  // The 128-bit lanes of a and b dealt in turn: lo = a0 b0 a2 b2 .., hi = a1 b1
  // a3 b3 .. (the order of a and b's lanes after in-lane unpacks and packs).
  static void deal128(V a, V b, V &lo, V &hi) {
    lo = a;
    hi = b;
  }
  // 32-bit lanes lo (a vector's first 4 per 128-bit half) and hi (the next
  // 4) stored in order.
  static void store32Pair(uint32_t *p, V lo, V hi) {
    store(p, lo);
    store(p + 4, hi);
  }
};

#if defined(__AVX2__)
struct V256 {
  using V = __m256i;
  static constexpr int kBytes = 32;
  using Narrower = V128;  // the vector of half the width
  static constexpr int kLanes = 16;
  static V load(const void *p) { return _mm256_loadu_si256(static_cast<const V *>(p)); }
  static void store(void *p, V v) { _mm256_storeu_si256(static_cast<V *>(p), v); }
  static V add(V a, V b) { return _mm256_add_epi16(a, b); }
  static V sub(V a, V b) { return _mm256_sub_epi16(a, b); }
  static V sra4(V a) { return _mm256_srai_epi16(a, 4); }
  static V sra6(V a) { return _mm256_srai_epi16(a, 6); }
  static V shl4(V a) { return _mm256_slli_epi16(a, 4); }
  static V srl4(V a) { return _mm256_srli_epi16(a, 4); }
  static V srl3(V a) { return _mm256_srli_epi16(a, 3); }
  static V set8() { return _mm256_set1_epi16(8); }
  static V avg(V a, V b) { return _mm256_avg_epu16(a, b); }
  static V avg8(V a, V b) { return _mm256_avg_epu8(a, b); }
  static V bor(V a, V b) { return _mm256_or_si256(a, b); }
  static V bxor(V a, V b) { return _mm256_xor_si256(a, b); }
  static V set1(int16_t v) { return _mm256_set1_epi16(v); }
  static bool anyLow4(V a) { return !_mm256_testz_si256(a, _mm256_set1_epi16(15)); }
  static V unpacklo8(V a, V b) { return _mm256_unpacklo_epi8(a, b); }
  static V unpackhi8(V a, V b) { return _mm256_unpackhi_epi8(a, b); }
  static V maddubs(V a, V b) { return _mm256_maddubs_epi16(a, b); }
  static V packus(V a, V b) { return _mm256_packus_epi16(a, b); }
  static V zero() { return _mm256_setzero_si256(); }
  static V band(V a, V b) { return _mm256_and_si256(a, b); }
  static V srl7(V a) { return _mm256_srli_epi16(a, 7); }
  static V sll7(V a) { return _mm256_slli_epi16(a, 7); }
  static V srl8(V a) { return _mm256_srli_epi16(a, 8); }
  static V sll8(V a) { return _mm256_slli_epi16(a, 8); }
  static V srl6(V a) { return _mm256_srli_epi16(a, 6); }
  static V sll16(V a, int n) { return _mm256_slli_epi16(a, n); }
  static V srl16(V a, int n) { return _mm256_srli_epi16(a, n); }
  static V sll5(V a) { return _mm256_slli_epi16(a, 5); }
  static V abs(V a) { return _mm256_abs_epi16(a); }
  static V mullo(V a, V b) { return _mm256_mullo_epi16(a, b); }
  static V mulhi(V a, V b) { return _mm256_mulhi_epi16(a, b); }
  static V mulhrs(V a, V b) { return _mm256_mulhrs_epi16(a, b); }
  static V loadU8(const uint8_t *p) { return _mm256_cvtepu8_epi16(loadu(p)); }
  static void dupPairs(V a, V &lo, V &hi) {
    deal128(_mm256_unpacklo_epi16(a, a), _mm256_unpackhi_epi16(a, a), lo, hi);
  }
  static V cmpgt(V a, V b) { return _mm256_cmpgt_epi16(a, b); }
  static bool allSet(V a) { return _mm256_movemask_epi8(a) == -1; }
  static V subs(V a, V b) { return _mm256_subs_epi16(a, b); }
  static V subsu16(V a, V b) { return _mm256_subs_epu16(a, b); }
  static V max16(V a, V b) { return _mm256_max_epi16(a, b); }
  static V min16(V a, V b) { return _mm256_min_epi16(a, b); }
  static V mulhiu(V a, V b) { return _mm256_mulhi_epu16(a, b); }
  static V srl32by14(V a) { return _mm256_srli_epi32(a, 14); }
  static V packusInOrder(V a, V b) {
    return _mm256_permute4x64_epi64(_mm256_packus_epi16(a, b), 0xD8);
  }
  static V set1x8(int8_t v) { return _mm256_set1_epi8(v); }
  static V set1x64(uint64_t v) { return _mm256_set1_epi64x(static_cast<long long>(v)); }
  static V add8(V a, V b) { return _mm256_add_epi8(a, b); }
  static V sub8(V a, V b) { return _mm256_sub_epi8(a, b); }
  static V subsu8(V a, V b) { return _mm256_subs_epu8(a, b); }
  static V maxu8(V a, V b) { return _mm256_max_epu8(a, b); }
  static V minu8(V a, V b) { return _mm256_min_epu8(a, b); }
  static V cmpgt8(V a, V b) { return _mm256_cmpgt_epi8(a, b); }
  static V cmpeq8(V a, V b) { return _mm256_cmpeq_epi8(a, b); }
  static bool allZero(V a) { return _mm256_testz_si256(a, a) != 0; }
  static bool allZeroAnd(V a, V b) { return _mm256_testz_si256(a, b) != 0; }
  static V shuffle8(V a, V idx) { return _mm256_shuffle_epi8(a, idx); }
  static V broadcast16(const void *p) { return _mm256_broadcastsi128_si256(loadu(p)); }
  static V blendv8(V a, V b, V m) { return _mm256_blendv_epi8(a, b, m); }
  static V spread16(const int16_t *p, int first) {
    return _mm256_set_m128i(_mm_set1_epi16(p[first + 1]), _mm_set1_epi16(p[first]));
  }
#if defined(__AVX512VBMI__)
  static V lookup128(const uint8_t *t, V idx) {
    return _mm512_castsi512_si256(_mm512_permutex2var_epi8(
        _mm512_load_si512(t), _mm512_zextsi256_si512(idx), _mm512_load_si512(t + 64)));
  }
#endif
  using F = __m256;
  static V unpacklo16(V a, V b) { return _mm256_unpacklo_epi16(a, b); }
  static V unpackhi16(V a, V b) { return _mm256_unpackhi_epi16(a, b); }
  static V madd(V a, V b) { return _mm256_madd_epi16(a, b); }
  static V add32(V a, V b) { return _mm256_add_epi32(a, b); }
  static V hadd32(V a, V b) { return _mm256_hadd_epi32(a, b); }
  static V sra32by7(V a) { return _mm256_srai_epi32(a, 7); }
  static V packs32(V a, V b) { return _mm256_packs_epi32(a, b); }
  static V packus32(V a, V b) { return _mm256_packus_epi32(a, b); }
  static V set1x32(int v) { return _mm256_set1_epi32(v); }
  static V max32(V a, V b) { return _mm256_max_epi32(a, b); }
  static V min32(V a, V b) { return _mm256_min_epi32(a, b); }
  static V sub32(V a, V b) { return _mm256_sub_epi32(a, b); }
  template <int n>
  static V srl32(V a) {
    return _mm256_srli_epi32(a, n);
  }
  template <int n>
  static V sll32(V a) {
    return _mm256_slli_epi32(a, n);
  }
  static V bits(F a) { return _mm256_castps_si256(a); }
  static F fromBits(V a) { return _mm256_castsi256_ps(a); }
  static F divf(F a, F b) { return _mm256_div_ps(a, b); }
  static V widenU16(__m128i v, int) { return _mm256_cvtepu16_epi32(v); }  // lanes 0 .. 7
  static __m128i packs32x8(const V *q) {
    return _mm_packs_epi32(_mm256_castsi256_si128(q[0]), _mm256_extracti128_si256(q[0], 1));
  }
  static V sll32by7(V a) { return _mm256_slli_epi32(a, 7); }
  static V sll32by16(V a) { return _mm256_slli_epi32(a, 16); }
  static V srl32by16(V a) { return _mm256_srli_epi32(a, 16); }
  static V sra32by16(V a) { return _mm256_srai_epi32(a, 16); }
  static F toFloat(V a) { return _mm256_cvtepi32_ps(a); }
  static V trunc(F a) { return _mm256_cvttps_epi32(a); }
  static F loadf(const float *p) { return _mm256_loadu_ps(p); }
  static F set1f(float v) { return _mm256_set1_ps(v); }
  static F mulf(F a, F b) { return _mm256_mul_ps(a, b); }
  static F addf(F a, F b) { return _mm256_add_ps(a, b); }
  static F subf(F a, F b) { return _mm256_sub_ps(a, b); }
  static F minf(F a, F b) { return _mm256_min_ps(a, b); }
  static F maxf(F a, F b) { return _mm256_max_ps(a, b); }
  static F rcp(F a) { return _mm256_rcp_ps(a); }
  static V geMask(F a, F b) { return _mm256_castps_si256(_mm256_cmp_ps(a, b, _CMP_GE_OQ)); }
  static V spreadCols(const void *p, int first) {
    return _mm256_permutevar8x32_epi32(_mm256_castsi128_si256(loadu(p)), colIdx(first));
  }
  static F spreadColsF(const float *p, int first) {
    return _mm256_permutevar8x32_ps(_mm256_castps128_ps256(_mm_loadu_ps(p)), colIdx(first));
  }
  static V colIdx(int f) { return _mm256_setr_epi32(f, f, f, f, f + 2, f + 2, f + 2, f + 2); }
  static void deal128(V a, V b, V &lo, V &hi) {
    lo = _mm256_permute2x128_si256(a, b, 0x20);
    hi = _mm256_permute2x128_si256(a, b, 0x31);
  }
  static void store32Pair(uint32_t *p, V lo, V hi) {
    store(p, _mm256_permute2x128_si256(lo, hi, 0x20));
    store(p + 8, _mm256_permute2x128_si256(lo, hi, 0x31));
  }
};
#endif

#if defined(__AVX512BW__)
struct V512 {
  using V = __m512i;
  static constexpr int kBytes = 64;
  using Narrower = V256;
  static constexpr int kLanes = 32;
  static V load(const void *p) { return _mm512_loadu_si512(p); }
  static void store(void *p, V v) { _mm512_storeu_si512(p, v); }
  static V add(V a, V b) { return _mm512_add_epi16(a, b); }
  static V sub(V a, V b) { return _mm512_sub_epi16(a, b); }
  static V sra4(V a) { return _mm512_srai_epi16(a, 4); }
  static V sra6(V a) { return _mm512_srai_epi16(a, 6); }
  static V shl4(V a) { return _mm512_slli_epi16(a, 4); }
  static V srl4(V a) { return _mm512_srli_epi16(a, 4); }
  static V srl3(V a) { return _mm512_srli_epi16(a, 3); }
  static V set8() { return _mm512_set1_epi16(8); }
  static V avg(V a, V b) { return _mm512_avg_epu16(a, b); }
  static V avg8(V a, V b) { return _mm512_avg_epu8(a, b); }
  static V bor(V a, V b) { return _mm512_or_si512(a, b); }
  static V bxor(V a, V b) { return _mm512_xor_si512(a, b); }
  static V set1(int16_t v) { return _mm512_set1_epi16(v); }
  static bool anyLow4(V a) { return _mm512_test_epi16_mask(a, _mm512_set1_epi16(15)) != 0; }
  static V unpacklo8(V a, V b) { return _mm512_unpacklo_epi8(a, b); }
  static V unpackhi8(V a, V b) { return _mm512_unpackhi_epi8(a, b); }
  static V maddubs(V a, V b) { return _mm512_maddubs_epi16(a, b); }
  static V packus(V a, V b) { return _mm512_packus_epi16(a, b); }
  static V zero() { return _mm512_setzero_si512(); }
  static V band(V a, V b) { return _mm512_and_si512(a, b); }
  static V srl6(V a) { return _mm512_srli_epi16(a, 6); }
  static V sll5(V a) { return _mm512_slli_epi16(a, 5); }
  static V abs(V a) { return _mm512_abs_epi16(a); }
  static V mullo(V a, V b) { return _mm512_mullo_epi16(a, b); }
  static V mulhi(V a, V b) { return _mm512_mulhi_epi16(a, b); }
  static V loadU8(const uint8_t *p) {
    return _mm512_cvtepu8_epi16(_mm256_loadu_si256(static_cast<const __m256i *>(static_cast<const void *>(p))));
  }
  static void dupPairs(V a, V &lo, V &hi) {
    alignas(64) static constexpr int16_t kDup[32] = {0, 0, 1, 1, 2, 2, 3, 3, 4, 4, 5,
                                                      5, 6, 6, 7, 7, 8, 8, 9, 9, 10, 10,
                                                      11, 11, 12, 12, 13, 13, 14, 14, 15, 15};
    const V dup = _mm512_load_si512(kDup);
    lo = _mm512_permutexvar_epi16(dup, a);
    hi = _mm512_permutexvar_epi16(_mm512_add_epi16(dup, _mm512_set1_epi16(16)), a);
  }
  static V unpacklo16(V a, V b) { return _mm512_unpacklo_epi16(a, b); }
  static V unpackhi16(V a, V b) { return _mm512_unpackhi_epi16(a, b); }
  static V madd(V a, V b) { return _mm512_madd_epi16(a, b); }
  static V add32(V a, V b) { return _mm512_add_epi32(a, b); }
  static V set1x32(int v) { return _mm512_set1_epi32(v); }
  static V sra32by7(V a) { return _mm512_srai_epi32(a, 7); }
  static V sll32by16(V a) { return _mm512_slli_epi32(a, 16); }
  static V sra32by16(V a) { return _mm512_srai_epi32(a, 16); }
  static V packs32(V a, V b) { return _mm512_packs_epi32(a, b); }
  static V sll7(V a) { return _mm512_slli_epi16(a, 7); }
  static V srl8(V a) { return _mm512_srli_epi16(a, 8); }
  static V sll8(V a) { return _mm512_slli_epi16(a, 8); }
  static V mulhrs(V a, V b) { return _mm512_mulhrs_epi16(a, b); }
  static V set1x8(int8_t v) { return _mm512_set1_epi8(v); }
  static V sub8(V a, V b) { return _mm512_sub_epi8(a, b); }
  static V maxu8(V a, V b) { return _mm512_max_epu8(a, b); }
  static V shuffle8(V a, V idx) { return _mm512_shuffle_epi8(a, idx); }
  static V broadcast16(const void *p) { return _mm512_broadcast_i32x4(loadu(p)); }
  static V blendv8(V a, V b, V m) { return _mm512_mask_blend_epi8(_mm512_movepi8_mask(m), a, b); }
  static V add8(V a, V b) { return _mm512_add_epi8(a, b); }
  static V subsu8(V a, V b) { return _mm512_subs_epu8(a, b); }
  static V minu8(V a, V b) { return _mm512_min_epu8(a, b); }
  static V cmpgt8(V a, V b) { return _mm512_movm_epi8(_mm512_cmpgt_epi8_mask(a, b)); }
  static V srl16(V a, int n) { return _mm512_srli_epi16(a, static_cast<unsigned>(n)); }
  static bool allZero(V a) { return _mm512_test_epi64_mask(a, a) == 0; }
  static bool allZeroAnd(V a, V b) { return _mm512_test_epi64_mask(a, b) == 0; }
  // The per-pixel pass's moving blocks of 64 pixels.
  using F = __m512;
  static V srl7(V a) { return _mm512_srli_epi16(a, 7); }
  static V cmpgt(V a, V b) { return _mm512_movm_epi16(_mm512_cmpgt_epi16_mask(a, b)); }
  static bool allSet(V a) { return _mm512_movepi8_mask(a) == ~__mmask64{0}; }
  static V subs(V a, V b) { return _mm512_subs_epi16(a, b); }
  static V subsu16(V a, V b) { return _mm512_subs_epu16(a, b); }
  static V max16(V a, V b) { return _mm512_max_epi16(a, b); }
  static V min16(V a, V b) { return _mm512_min_epi16(a, b); }
  static V mulhiu(V a, V b) { return _mm512_mulhi_epu16(a, b); }
  static V srl32by14(V a) { return _mm512_srli_epi32(a, 14); }
  static V packusInOrder(V a, V b) {
    return _mm512_permutexvar_epi64(_mm512_setr_epi64(0, 2, 4, 6, 1, 3, 5, 7),
                                    _mm512_packus_epi16(a, b));
  }
  // Lanes 8k .. 8k + 7: p[first + k].
  static V spread16(const int16_t *p, int first) {
    // The masked form with every lane written: the same insert, where the
    // plain one's unused merge source (an undefined vector) sets off GCC
    // 12's -Wuninitialized in the sanitizer builds.
    const V lo = _mm512_castsi256_si512(V256::spread16(p, first));
    return _mm512_mask_inserti64x4(lo, 0xFF, lo, V256::spread16(p, first + 2), 1);
  }
  static V packus32(V a, V b) { return _mm512_packus_epi32(a, b); }
  static V max32(V a, V b) { return _mm512_max_epi32(a, b); }
  static V sub32(V a, V b) { return _mm512_sub_epi32(a, b); }
  static V sll32by7(V a) { return _mm512_slli_epi32(a, 7); }
  static V srl32by16(V a) { return _mm512_srli_epi32(a, 16); }
  static F toFloat(V a) { return _mm512_cvtepi32_ps(a); }
  static V trunc(F a) { return _mm512_cvttps_epi32(a); }
  static F set1f(float v) { return _mm512_set1_ps(v); }
  static F mulf(F a, F b) { return _mm512_mul_ps(a, b); }
  static F addf(F a, F b) { return _mm512_add_ps(a, b); }
  static F subf(F a, F b) { return _mm512_sub_ps(a, b); }
  static F minf(F a, F b) { return _mm512_min_ps(a, b); }
  static F maxf(F a, F b) { return _mm512_max_ps(a, b); }
  static F rcp(F a) { return _mm512_rcp14_ps(a); }
  // 32-bit lanes 4k .. 4k + 3: entry first + 2k of p (8 entries read).
  static V spreadCols(const void *p, int first) {
    return _mm512_permutexvar_epi32(colIdx(first), _mm512_castsi256_si512(V256::load(p)));
  }
  static F spreadColsF(const float *p, int first) {
    return _mm512_permutexvar_ps(colIdx(first), _mm512_castps256_ps512(_mm256_loadu_ps(p)));
  }
  static V colIdx(int f) {
    return _mm512_setr_epi32(f, f, f, f, f + 2, f + 2, f + 2, f + 2, f + 4, f + 4, f + 4, f + 4,
                             f + 6, f + 6, f + 6, f + 6);
  }
  // lo: the 128-bit lanes 0 and 2 of a, then of b; hi: lanes 1 and 3.
  static void deal128(V a, V b, V &lo, V &hi) {
    lo = _mm512_shuffle_i64x2(a, b, 0x88);
    hi = _mm512_shuffle_i64x2(a, b, 0xDD);
  }
#if defined(__AVX512VBMI__)
  // Byte i: t[idx_i & 127] (a two-register byte permute of a 128-byte table).
  static V lookup128(const uint8_t *t, V idx) {
    return _mm512_permutex2var_epi8(load(t), idx, load(t + 64));
  }
#endif
};
#endif

// The widest vector of 16-bit lanes the row loops of this level use (AVX2's
// 256 bits at x86-64-v4 as well, where the rows of the block-level stages
// are too short for 512).
#if defined(__AVX2__)
using Wide = V256;
#else
using Wide = V128;
#endif
// The widest vector the level has, for steps that are plain byte streams.
#if defined(__AVX512BW__) && defined(__AVX512VL__)
using Widest = V512;
#else
using Widest = Wide;
#endif

}  // namespace
}  // namespace tnr_md::TNR_MD_X86_NS

#endif  // TNR_MD_X86_VEC_H
