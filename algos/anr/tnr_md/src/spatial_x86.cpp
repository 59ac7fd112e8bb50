// The spatial stage, x86-64 form, compiled once per x86-64 level into its
// namespace (x86_vec.h): 16 samples per step at x86-64-v2 (SSE4.1), 32 at
// x86-64-v3 (AVX2), 64 at x86-64-v4 (AVX-512 BW). Results equal spatial_c
// byte for byte.
//
// Same tail policy and byte sums as the NEON form (spatial_neon.cpp): the
// interior of each row in steps moved back to end at the interior's end, the
// border columns and narrow rows through the per-sample code; each sign's
// weighted influences summed in bytes (at most 252). x86 has no halving
// subtraction, so the increment floor((P - N + 8) / 16) comes from two
// rounding averages: u = avg(P, 255 - N) = (P - N + 256) >> 1
// = floor((P - N) / 2) + 128, within 2 .. 254; then
// avg(u >> 2, 0) = (floor(u / 4) + 1) >> 1 = floor((u + 4) / 8)
// = floor((P - N + 8) / 16) + 16, and the output is c + that - 16 in
// wrapping bytes (exact: the result lies within 0 .. 255, spatial.cpp).
#include <cstring>

#include "kernels.h"
#include "spatial.h"
#include "x86_vec.h"

namespace tnr_md::TNR_MD_X86_NS {
namespace {

struct Sse {
  using V = __m128i;
  static constexpr int kLanes = 16;
  static V load(const uint8_t *p) { return _mm_loadu_si128(reinterpret_cast<const V *>(p)); }
  static void store(uint8_t *p, V v) { _mm_storeu_si128(reinterpret_cast<V *>(p), v); }
  static V zero() { return _mm_setzero_si128(); }
  static V set8(int v) { return _mm_set1_epi8(static_cast<char>(v)); }
  static V subsU8(V a, V b) { return _mm_subs_epu8(a, b); }
  static V minU8(V a, V b) { return _mm_min_epu8(a, b); }
  static V add8(V a, V b) { return _mm_add_epi8(a, b); }
  static V sub8(V a, V b) { return _mm_sub_epi8(a, b); }
  static V avgU8(V a, V b) { return _mm_avg_epu8(a, b); }
  static V notV(V a) { return _mm_xor_si128(a, _mm_set1_epi8(-1)); }
  static V shr2U8(V a) { return _mm_and_si128(_mm_srli_epi16(a, 2), _mm_set1_epi8(0x3F)); }
  static V shuffle8(V table, V idx) { return _mm_shuffle_epi8(table, idx); }
  static V select8(V a, V b, V i) {  // b where the byte i > 15, else a
    return _mm_blendv_epi8(a, b, _mm_cmpgt_epi8(i, _mm_set1_epi8(15)));
  }
  static bool allZero(V a) { return _mm_testz_si128(a, a) != 0; }
  // Lanes 2k and 2k + 1 take byte 2k + 1.
  static V pairOdd(V w) {
    return _mm_or_si128(_mm_srli_epi16(w, 8), _mm_and_si128(w, _mm_set1_epi16(-256)));
  }
  // Per 128-bit part: the 16-byte table (for the lookup).
  static V broadcast16(const uint8_t *p) { return load(p); }
};

#if defined(__AVX2__)
struct Avx2 {
  using V = __m256i;
  static constexpr int kLanes = 32;
  static V load(const uint8_t *p) { return _mm256_loadu_si256(reinterpret_cast<const V *>(p)); }
  static void store(uint8_t *p, V v) { _mm256_storeu_si256(reinterpret_cast<V *>(p), v); }
  static V zero() { return _mm256_setzero_si256(); }
  static V set8(int v) { return _mm256_set1_epi8(static_cast<char>(v)); }
  static V subsU8(V a, V b) { return _mm256_subs_epu8(a, b); }
  static V minU8(V a, V b) { return _mm256_min_epu8(a, b); }
  static V add8(V a, V b) { return _mm256_add_epi8(a, b); }
  static V sub8(V a, V b) { return _mm256_sub_epi8(a, b); }
  static V avgU8(V a, V b) { return _mm256_avg_epu8(a, b); }
  static V notV(V a) { return _mm256_xor_si256(a, _mm256_set1_epi8(-1)); }
  static V shr2U8(V a) { return _mm256_and_si256(_mm256_srli_epi16(a, 2), _mm256_set1_epi8(0x3F)); }
  static V shuffle8(V table, V idx) { return _mm256_shuffle_epi8(table, idx); }
  static V select8(V a, V b, V i) {
    return _mm256_blendv_epi8(a, b, _mm256_cmpgt_epi8(i, _mm256_set1_epi8(15)));
  }
  static bool allZero(V a) { return _mm256_testz_si256(a, a) != 0; }
  static V pairOdd(V w) {
    return _mm256_or_si256(_mm256_srli_epi16(w, 8), _mm256_and_si256(w, _mm256_set1_epi16(-256)));
  }
  static V broadcast16(const uint8_t *p) {
    return _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i *>(p)));
  }
};
#endif

#if defined(__AVX512BW__)
struct Avx512 {
  using V = __m512i;
  static constexpr int kLanes = 64;
  static V load(const uint8_t *p) { return _mm512_loadu_si512(p); }
  static void store(uint8_t *p, V v) { _mm512_storeu_si512(p, v); }
  static V zero() { return _mm512_setzero_si512(); }
  static V set8(int v) { return _mm512_set1_epi8(static_cast<char>(v)); }
  static V subsU8(V a, V b) { return _mm512_subs_epu8(a, b); }
  static V minU8(V a, V b) { return _mm512_min_epu8(a, b); }
  static V add8(V a, V b) { return _mm512_add_epi8(a, b); }
  static V sub8(V a, V b) { return _mm512_sub_epi8(a, b); }
  static V avgU8(V a, V b) { return _mm512_avg_epu8(a, b); }
  static V notV(V a) { return _mm512_xor_si512(a, _mm512_set1_epi8(-1)); }
  static V shr2U8(V a) { return _mm512_and_si512(_mm512_srli_epi16(a, 2), _mm512_set1_epi8(0x3F)); }
  static V shuffle8(V table, V idx) { return _mm512_shuffle_epi8(table, idx); }
  static V select8(V a, V b, V i) {
    return _mm512_mask_blend_epi8(_mm512_cmpgt_epi8_mask(i, _mm512_set1_epi8(15)), a, b);
  }
  static bool allZero(V a) { return _mm512_test_epi64_mask(a, a) == 0; }
  static V pairOdd(V w) {
    return _mm512_or_si512(_mm512_srli_epi16(w, 8), _mm512_and_si512(w, _mm512_set1_epi16(-256)));
  }
  static V broadcast16(const uint8_t *p) {
    return _mm512_broadcast_i32x4(_mm_loadu_si128(reinterpret_cast<const __m128i *>(p)));
  }
};
#endif

// One neighbour's influence, its two signs (as the NEON form's tap).
template <class S>
inline void tap(typename S::V &p, typename S::V &n, typename S::V q, typename S::V c,
                typename S::V t) {
  const typename S::V up = S::subsU8(q, c), dn = S::subsU8(c, q);
  p = S::add8(p, S::minU8(up, S::subsU8(t, up)));
  n = S::add8(n, S::minU8(dn, S::subsU8(t, dn)));
}

template <class S>
inline typename S::V filter(const uint8_t *const r[3], ptrdiff_t s, typename S::V t) {
  using V = typename S::V;
  const V c = S::load(r[1]);
  V pe = S::zero(), ne = S::zero(), pc = S::zero(), nc = S::zero();
  tap<S>(pe, ne, S::load(r[0]), c, t);
  tap<S>(pe, ne, S::load(r[1] - s), c, t);
  tap<S>(pe, ne, S::load(r[1] + s), c, t);
  tap<S>(pe, ne, S::load(r[2]), c, t);
  tap<S>(pc, nc, S::load(r[0] - s), c, t);
  tap<S>(pc, nc, S::load(r[0] + s), c, t);
  tap<S>(pc, nc, S::load(r[2] - s), c, t);
  tap<S>(pc, nc, S::load(r[2] + s), c, t);
  const V p = S::add8(S::add8(pe, pe), pc), n = S::add8(S::add8(ne, ne), nc);
  const V u = S::avgU8(p, S::notV(n));          // floor((P - N) / 2) + 128
  const V h = S::avgU8(S::shr2U8(u), S::zero());  // floor((P - N + 8) / 16) + 16
  return S::sub8(S::add8(c, h), S::set8(16));
}

// lut[min(w >> 2, 31)] of each byte: two 16-byte lookups (pshufb takes the
// low 4 bits of an index below 128), the upper table where the index >= 16.
template <class S>
inline typename S::V thresholds(typename S::V w, typename S::V lut0, typename S::V lut1) {
  using V = typename S::V;
  const V i = S::minU8(S::shr2U8(w), S::set8(31));
  return S::select8(S::shuffle8(lut0, i), S::shuffle8(lut1, i), i);
}

int clampInt(int v, int lo, int hi) { return v < lo ? lo : (v > hi ? hi : v); }

template <class S>
void planeRow(const uint8_t *const r[3], uint8_t *out, const uint8_t *pre, int width, int s,
              const uint8_t *lutBytes) {
  using V = typename S::V;
  // Interior columns [first, end): every tap inside the grid; for chroma
  // end is even, so that every step starts on a U byte.
  const int first = s, end = s == 2 ? (width - 2) & ~1 : width - 1;
  const auto sample = [&](int x) { out[x] = spatialPlaneSample(r, pre, width, s, x, lutBytes); };
  if (end - first < S::kLanes) {
    for (int x = 0; x < width; ++x) sample(x);
    return;
  }
  for (int x = 0; x < first; ++x) sample(x);
  for (int x = end; x < width; ++x) sample(x);
  const V lut0 = S::broadcast16(lutBytes), lut1 = S::broadcast16(lutBytes + 16);
  for (int x0 = first; x0 < end; x0 += S::kLanes) {
    const int x = x0 + S::kLanes <= end ? x0 : end - S::kLanes;  // even for chroma
    V w = S::load(pre + x);
    if (s == 2) w = S::pairOdd(w);  // lanes 2k and 2k + 1: luma weight 2k + 1
    const V t = thresholds<S>(w, lut0, lut1);
    if (S::allZero(t)) {
      S::store(out + x, S::load(r[1] + x));
      continue;
    }
    const uint8_t *rx[3] = {r[0] + x, r[1] + x, r[2] + x};
    S::store(out + x, filter<S>(rx, s, t));
  }
}

// The widest form whose step fits an interior of `interior` columns, down to
// SSE (whose planeRow takes the per-sample code when even that does not).
void row(const uint8_t *const r[3], uint8_t *out, const uint8_t *pre, int width, int s,
         const uint8_t *lut, int interior) {
#if defined(__AVX512BW__)
  if (interior >= Avx512::kLanes) return planeRow<Avx512>(r, out, pre, width, s, lut);
#endif
#if defined(__AVX2__)
  if (interior >= Avx2::kLanes) return planeRow<Avx2>(r, out, pre, width, s, lut);
#endif
  (void)interior;
  planeRow<Sse>(r, out, pre, width, s, lut);
}

}  // namespace

void spatial_x86(const SpatialFrame &f, int y0, int y1, int c0, int c1) {
  const ptrdiff_t pitch = f.imgWidth;
  for (int y = y0; y < y1 && y < f.proHeight; ++y) {
    uint8_t *out = f.pOut + y * pitch;
    const uint8_t *r[3];
    for (int k = 0; k < 3; ++k) r[k] = f.pIn + clampInt(y - 1 + k, 0, f.proHeight - 1) * pitch;
    const uint8_t *pre = f.pPreAlpha + static_cast<ptrdiff_t>(y) * f.gainStride;
    // The luma interior: columns 1 .. proWidth - 2.
    row(r, out, pre, f.proWidth, 1, f.lut, f.proWidth - 2);
  }
  const ptrdiff_t uv = pitch * f.imgHeight;
  const int uvRows = f.proHeight / 2;
  for (int cy = c0; cy < c1 && cy < uvRows; ++cy) {
    uint8_t *out = f.pOut + uv + cy * pitch;
    const uint8_t *r[3];
    for (int k = 0; k < 3; ++k) r[k] = f.pIn + uv + clampInt(cy - 1 + k, 0, uvRows - 1) * pitch;
    const uint8_t *pre = f.pPreAlpha + static_cast<ptrdiff_t>(2 * cy + 1) * f.gainStride;
    // The chroma interior: bytes 2 .. ((proWidth - 2) & ~1) - 1.
    row(r, out, pre, f.proWidth, 2, f.lut, ((f.proWidth - 2) & ~1) - 2);
  }
}

}  // namespace tnr_md::TNR_MD_X86_NS
