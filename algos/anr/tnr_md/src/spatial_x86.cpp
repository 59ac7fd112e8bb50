// The spatial stage, x86-64 form, compiled once per x86-64 level into its
// namespace (x86_vec.h): 16 samples per step at x86-64-v2 (SSE4.1), 32 at
// x86-64-v3 and v4 (AVX2 at v4 too: no 512-bit form is written).
// Results equal spatial_c byte for byte.
//
// Same tail policy and accumulators as the NEON form (spatial_neon.cpp): the
// interior of each row in steps moved back to end at the interior's end, the
// border columns and narrow rows through the per-sample code. Two taps are
// multiplied and added at once (pmaddubsw of the interleaved samples and
// range weights: at most 2 x 255 x 28, never saturating); the 16-bit sums
// wrap exactly as unsigned 16-bit sums, which stay below 65536.
#include <cstring>

#include "kernels.h"
#include "recip_x86.h"
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
  static V orV(V a, V b) { return _mm_or_si128(a, b); }
  static V add8(V a, V b) { return _mm_add_epi8(a, b); }
  static V add16(V a, V b) { return _mm_add_epi16(a, b); }
  static V add32(V a, V b) { return _mm_add_epi32(a, b); }
  static V sll16(V a, int n) { return _mm_slli_epi16(a, n); }
  static V sll32(V a, int n) { return _mm_slli_epi32(a, n); }
  static V lo8(V a, V b) { return _mm_unpacklo_epi8(a, b); }
  static V hi8(V a, V b) { return _mm_unpackhi_epi8(a, b); }
  static V lo16(V a, V b) { return _mm_unpacklo_epi16(a, b); }
  static V hi16(V a, V b) { return _mm_unpackhi_epi16(a, b); }
  static V maddubs(V u, V s) { return _mm_maddubs_epi16(u, s); }
  static V minU8(V a, V b) { return _mm_min_epu8(a, b); }
  static V shr2U8(V a) { return _mm_and_si128(_mm_srli_epi16(a, 2), _mm_set1_epi8(0x3F)); }
  static V shuffle8(V table, V idx) { return _mm_shuffle_epi8(table, idx); }
  static V cmpgt8(V a, V b) { return _mm_cmpgt_epi8(a, b); }
  static V blend8(V a, V b, V mask) { return _mm_blendv_epi8(a, b, mask); }
  static V eq8(V a, V b) { return _mm_cmpeq_epi8(a, b); }
  static bool allZero(V a) { return _mm_testz_si128(a, a) != 0; }
  static V packus32(V a, V b) { return _mm_packus_epi32(a, b); }
  static V packus16(V a, V b) { return _mm_packus_epi16(a, b); }
  // min(trunc(num x recip(den) + 0.5), 2^31 - 1) of 32-bit lanes.
  static V divide(V num, V den) {
    const __m128 q =
        _mm_mul_ps(_mm_cvtepi32_ps(num), recipRefine4(_mm_cvtepi32_ps(den)));
    return _mm_cvttps_epi32(_mm_add_ps(q, _mm_set1_ps(0.5f)));
  }
  // Per 128-bit half: the table of 16 bytes broadcast (for the lookup).
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
  static V orV(V a, V b) { return _mm256_or_si256(a, b); }
  static V add8(V a, V b) { return _mm256_add_epi8(a, b); }
  static V add16(V a, V b) { return _mm256_add_epi16(a, b); }
  static V add32(V a, V b) { return _mm256_add_epi32(a, b); }
  static V sll16(V a, int n) { return _mm256_slli_epi16(a, n); }
  static V sll32(V a, int n) { return _mm256_slli_epi32(a, n); }
  static V lo8(V a, V b) { return _mm256_unpacklo_epi8(a, b); }
  static V hi8(V a, V b) { return _mm256_unpackhi_epi8(a, b); }
  static V lo16(V a, V b) { return _mm256_unpacklo_epi16(a, b); }
  static V hi16(V a, V b) { return _mm256_unpackhi_epi16(a, b); }
  static V maddubs(V u, V s) { return _mm256_maddubs_epi16(u, s); }
  static V minU8(V a, V b) { return _mm256_min_epu8(a, b); }
  static V shr2U8(V a) { return _mm256_and_si256(_mm256_srli_epi16(a, 2), _mm256_set1_epi8(0x3F)); }
  static V shuffle8(V table, V idx) { return _mm256_shuffle_epi8(table, idx); }
  static V cmpgt8(V a, V b) { return _mm256_cmpgt_epi8(a, b); }
  static V blend8(V a, V b, V mask) { return _mm256_blendv_epi8(a, b, mask); }
  static V eq8(V a, V b) { return _mm256_cmpeq_epi8(a, b); }
  static bool allZero(V a) { return _mm256_testz_si256(a, a) != 0; }
  static V packus32(V a, V b) { return _mm256_packus_epi32(a, b); }
  static V packus16(V a, V b) { return _mm256_packus_epi16(a, b); }
  static V divide(V num, V den) {
    const __m256 q =
        _mm256_mul_ps(_mm256_cvtepi32_ps(num), recipRefineX<V256>(_mm256_cvtepi32_ps(den)));
    return _mm256_cvttps_epi32(_mm256_add_ps(q, _mm256_set1_ps(0.5f)));
  }
  static V broadcast16(const uint8_t *p) {
    return _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i *>(p)));
  }
};
#endif

template <class S>
struct Acc {
  typename S::V lo, hi;  // sums of w x v (16-bit, interleaved halves of each 128-bit lane)
  typename S::V den;     // sums of w (8-bit)
};

template <class S>
inline Acc<S> accZero() {
  return {S::zero(), S::zero(), S::zero()};
}

template <class S>
inline typename S::V rangeWeight(typename S::V q, typename S::V c, typename S::V t) {
  return S::subsU8(t, S::orV(S::subsU8(q, c), S::subsU8(c, q)));
}

// Two taps: their products added pairwise by pmaddubsw.
template <class S>
inline void tap2(Acc<S> &a, typename S::V q1, typename S::V q2, typename S::V c,
                 typename S::V t) {
  const typename S::V w1 = rangeWeight<S>(q1, c, t), w2 = rangeWeight<S>(q2, c, t);
  a.lo = S::add16(a.lo, S::maddubs(S::lo8(q1, q2), S::lo8(w1, w2)));
  a.hi = S::add16(a.hi, S::maddubs(S::hi8(q1, q2), S::hi8(w1, w2)));
  a.den = S::add8(a.den, S::add8(w1, w2));
}

// The centre tap: weight t, product t x c.
template <class S>
inline void centre(Acc<S> &a, typename S::V c, typename S::V t) {
  const typename S::V z = S::zero();
  a.lo = S::add16(a.lo, S::maddubs(S::lo8(c, z), S::lo8(t, z)));
  a.hi = S::add16(a.hi, S::maddubs(S::hi8(c, z), S::hi8(t, z)));
  a.den = S::add8(a.den, t);
}

// 4 x inner + 2 x (ringA + ringB) + corners on the 32-bit lanes from one set
// of 16-bit lanes (unpack16 = lo16 or hi16 with zero).
template <class S, bool kHigh>
inline typename S::V combine(typename S::V in, typename S::V ra, typename S::V rb,
                             typename S::V co) {
  const typename S::V z = S::zero();
  const auto widen = [&](typename S::V v) { return kHigh ? S::hi16(v, z) : S::lo16(v, z); };
  const typename S::V n = S::add32(S::sll32(widen(in), 2), widen(co));
  return S::add32(n, S::sll32(S::add32(widen(ra), widen(rb)), 1));
}

template <class S>
inline typename S::V filter(const uint8_t *const r[5], ptrdiff_t s, typename S::V t) {
  using V = typename S::V;
  const V c = S::load(r[2]);
  Acc<S> in = accZero<S>(), ra = accZero<S>(), rb = accZero<S>(), co = accZero<S>();
  tap2<S>(in, S::load(r[1] - s), S::load(r[1]), c, t);
  tap2<S>(in, S::load(r[1] + s), S::load(r[2] - s), c, t);
  tap2<S>(in, S::load(r[2] + s), S::load(r[3] - s), c, t);
  tap2<S>(in, S::load(r[3]), S::load(r[3] + s), c, t);
  centre<S>(in, c, t);
  tap2<S>(ra, S::load(r[0] - s), S::load(r[0]), c, t);
  tap2<S>(ra, S::load(r[0] + s), S::load(r[4] - s), c, t);
  tap2<S>(ra, S::load(r[4]), S::load(r[4] + s), c, t);
  tap2<S>(ra, S::load(r[1] - 2 * s), S::load(r[1] + 2 * s), c, t);
  tap2<S>(rb, S::load(r[2] - 2 * s), S::load(r[2] + 2 * s), c, t);
  tap2<S>(rb, S::load(r[3] - 2 * s), S::load(r[3] + 2 * s), c, t);
  tap2<S>(co, S::load(r[0] - 2 * s), S::load(r[0] + 2 * s), c, t);
  tap2<S>(co, S::load(r[4] - 2 * s), S::load(r[4] + 2 * s), c, t);

  // Sums of weights to 16 bits: 4 x inner + 2 x (ringA + ringB) + corners.
  const V z = S::zero();
  const auto den16 = [&](bool high) {
    const auto w = [&](V v) { return high ? S::hi8(v, z) : S::lo8(v, z); };
    return S::add16(S::add16(S::sll16(w(in.den), 2), w(co.den)),
                    S::sll16(S::add16(w(ra.den), w(rb.den)), 1));
  };
  const V denLo = den16(false), denHi = den16(true);
  const V o0 = S::divide(combine<S, false>(in.lo, ra.lo, rb.lo, co.lo), S::lo16(denLo, z));
  const V o1 = S::divide(combine<S, true>(in.lo, ra.lo, rb.lo, co.lo), S::hi16(denLo, z));
  const V o2 = S::divide(combine<S, false>(in.hi, ra.hi, rb.hi, co.hi), S::lo16(denHi, z));
  const V o3 = S::divide(combine<S, true>(in.hi, ra.hi, rb.hi, co.hi), S::hi16(denHi, z));
  const V out = S::packus16(S::packus32(o0, o1), S::packus32(o2, o3));
  return S::blend8(out, c, S::eq8(t, z));  // threshold 0: the sample unchanged
}

// lut[min(w >> 2, 31)] of each byte: two 16-byte lookups (pshufb takes the
// low 4 bits of an index below 128), the upper table where the index >= 16.
template <class S>
inline typename S::V thresholds(typename S::V w, typename S::V lut0, typename S::V lut1) {
  using V = typename S::V;
  const V i = S::minU8(S::shr2U8(w), S::set8(31));
  const V a = S::shuffle8(lut0, i), b = S::shuffle8(lut1, i);
  return S::blend8(a, b, S::cmpgt8(i, S::set8(15)));
}

// Lanes 2k and 2k + 1 of a chroma step take luma weight 2k + 1: each byte
// pair's odd byte copied over its even one.
template <class S>
typename S::V pairWeights(typename S::V w);

template <>
inline __m128i pairWeights<Sse>(__m128i w) {
  return _mm_or_si128(_mm_srli_epi16(w, 8), _mm_and_si128(w, _mm_set1_epi16(-256)));
}
#if defined(__AVX2__)
template <>
inline __m256i pairWeights<Avx2>(__m256i w) {
  return _mm256_or_si256(_mm256_srli_epi16(w, 8), _mm256_and_si256(w, _mm256_set1_epi16(-256)));
}
#endif

int clampInt(int v, int lo, int hi) { return v < lo ? lo : (v > hi ? hi : v); }

template <class S>
void planeRow(const uint8_t *const r[5], uint8_t *out, const uint8_t *pre, int width, int s,
              const uint8_t *lutBytes) {
  using V = typename S::V;
  // Interior columns [first, end): every tap inside the grid; for chroma
  // end is even, so that every step starts on a U byte.
  const int first = 2 * s, end = s == 2 ? (width - 4) & ~1 : width - 2;
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
    if (s == 2) w = pairWeights<S>(w);
    const V t = thresholds<S>(w, lut0, lut1);
    if (S::allZero(t)) {
      S::store(out + x, S::load(r[2] + x));
      continue;
    }
    const uint8_t *rx[5] = {r[0] + x, r[1] + x, r[2] + x, r[3] + x, r[4] + x};
    S::store(out + x, filter<S>(rx, s, t));
  }
}

#if defined(__AVX2__)
using Best = Avx2;
#else
using Best = Sse;
#endif

}  // namespace

void spatial_x86(const SpatialFrame &f, int y0, int y1, int c0, int c1) {
  const ptrdiff_t pitch = f.imgWidth;
  for (int y = y0; y < y1 && y < f.proHeight; ++y) {
    uint8_t *out = f.pOut + y * pitch;
    const uint8_t *r[5];
    for (int k = 0; k < 5; ++k) r[k] = f.pIn + clampInt(y - 2 + k, 0, f.proHeight - 1) * pitch;
    const uint8_t *pre = f.pPreAlpha + static_cast<ptrdiff_t>(y) * f.gainStride;
    if (f.proWidth - 4 >= Best::kLanes)  // the luma interior: columns 2 .. proWidth - 3
      planeRow<Best>(r, out, pre, f.proWidth, 1, f.lut);
    else
      planeRow<Sse>(r, out, pre, f.proWidth, 1, f.lut);
  }
  const ptrdiff_t uv = pitch * f.imgHeight;
  const int uvRows = f.proHeight / 2;
  for (int cy = c0; cy < c1 && cy < uvRows; ++cy) {
    uint8_t *out = f.pOut + uv + cy * pitch;
    const uint8_t *r[5];
    for (int k = 0; k < 5; ++k) r[k] = f.pIn + uv + clampInt(cy - 2 + k, 0, uvRows - 1) * pitch;
    const uint8_t *pre = f.pPreAlpha + static_cast<ptrdiff_t>(2 * cy + 1) * f.gainStride;
    if (((f.proWidth - 4) & ~1) - 4 >= Best::kLanes)  // the chroma interior (planeRow)
      planeRow<Best>(r, out, pre, f.proWidth, 2, f.lut);
    else
      planeRow<Sse>(r, out, pre, f.proWidth, 2, f.lut);
  }
}

}  // namespace tnr_md::TNR_MD_X86_NS
