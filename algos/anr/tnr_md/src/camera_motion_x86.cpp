// Camera motion's hot loops, x86-64 form, compiled once per x86-64 level into
// its namespace, at the level's Wide width (256 bits from AVX2 on) and 128
// bits (SSE4.1) for what is left of a row or a row too short. Results
// equal the per-sample forms (camera_motion.cpp) for every input.
//
// Tail policy as the NEON form's: full vectors, the last moved back to end
// at the row's end; rows shorter than a vector through the per-sample form.
#include <immintrin.h>

#include <cstdint>

#include "camera_motion.h"
#include "x86_vec.h"

namespace tnr_md::TNR_MD_X86_NS {
namespace {

// The shift's row kernels over vectors V: the level's Wide (256 bits from
// AVX2 on) where a row holds one, 128 bits where it holds only that. V's
// unpacks and packs work within 128-bit lanes; deal128 and packus put the
// columns back in order.
template <class V>
typename V::V pairTaps(int8_t lo, int8_t hi) {
  return V::set1(static_cast<int16_t>(static_cast<uint8_t>(lo) | (static_cast<uint8_t>(hi) << 8)));
}
template <class V>
struct HTaps {
  typename V::V t01, t23, t45;
  explicit HTaps(const int8_t *t)
      : t01(pairTaps<V>(t[0], t[1])), t23(pairTaps<V>(t[2], t[3])), t45(pairTaps<V>(t[4], t[5])) {}
};

// h = (t0 a + t1 b + t2 c + t3 d + t4 e + t5 f + 32) >> 6 over V::kBytes
// columns from p, from byte pairs: maddubs forms t0 a + t1 b, t2 c + t3 d and
// t4 e + t5 f without saturating (each within +-255 x 82), and their sum lies
// within -18 x 255 .. 82 x 255. In the unpacks' order: each 128-bit lane of
// lo holds the h of the first 8 columns of the same lane of the source
// bytes, hi those of the last 8.
template <class V>
inline void hSums(const uint8_t *p, ptrdiff_t step, const HTaps<V> &t, typename V::V &lo,
                  typename V::V &hi) {
  using T = typename V::V;
  const T round = V::set1(32);
  const T a = V::load(p - 2 * step), b = V::load(p - step), c = V::load(p), d = V::load(p + step),
          e = V::load(p + 2 * step), f = V::load(p + 3 * step);
  const T l = V::add(V::add(V::maddubs(V::unpacklo8(a, b), t.t01),
                            V::maddubs(V::unpacklo8(c, d), t.t23)),
                     V::add(V::maddubs(V::unpacklo8(e, f), t.t45), round));
  const T h = V::add(V::add(V::maddubs(V::unpackhi8(a, b), t.t01),
                            V::maddubs(V::unpackhi8(c, d), t.t23)),
                     V::add(V::maddubs(V::unpackhi8(e, f), t.t45), round));
  lo = V::sra6(l);
  hi = V::sra6(h);
}

// Full vectors, the last moved back to end at n (n >= V::kBytes).
template <class V>
void shiftHRow(const uint8_t *src, int16_t *h, int n, int step, const int8_t *taps) {
  const HTaps<V> t(taps);
  for (int i = 0;; i += V::kBytes) {
    if (i > n - V::kBytes) i = n - V::kBytes;
    typename V::V lo, hi, first, second;
    hSums<V>(src + i, step, t, lo, hi);
    V::deal128(lo, hi, first, second);
    V::store(h + i, first);
    V::store(h + i + V::kLanes, second);
    if (i == n - V::kBytes) break;
  }
}

void shiftH(const uint8_t *src, int16_t *h, int n, int step, const int8_t *taps) {
  if (n >= Wide::kBytes) return shiftHRow<Wide>(src, h, n, step, taps);
  if (n >= V128::kBytes) return shiftHRow<V128>(src, h, n, step, taps);
  shiftH_c(src, h, n, step, taps);
}

// 16-bit products and sums wrap in between; the sum lies within int16_t, and
// so does the sum plus 32. packus clamps to 0 .. 255.
template <class V>
void shiftVRow(const int16_t *const *r, uint8_t *out, int n, const int8_t *taps) {
  using T = typename V::V;
  T t[kShiftTapCount];
  for (int k = 0; k < kShiftTapCount; ++k) t[k] = V::set1(taps[k]);
  const T round = V::set1(32);
  const int16_t *const r0 = r[0], *const r1 = r[1], *const r2 = r[2], *const r3 = r[3],
                       *const r4 = r[4], *const r5 = r[5];
  const auto lanes = [&](int i) {
    T v = V::add(V::mullo(V::load(r2 + i), t[2]), round);
    v = V::add(v, V::mullo(V::load(r3 + i), t[3]));
    v = V::add(v, V::mullo(V::load(r1 + i), t[1]));
    v = V::add(v, V::mullo(V::load(r4 + i), t[4]));
    v = V::add(v, V::mullo(V::load(r0 + i), t[0]));
    v = V::add(v, V::mullo(V::load(r5 + i), t[5]));
    return V::sra6(v);
  };
  for (int i = 0;; i += V::kBytes) {
    if (i > n - V::kBytes) i = n - V::kBytes;
    V::store(out + i, V::packusInOrder(lanes(i), lanes(i + V::kLanes)));
    if (i == n - V::kBytes) break;
  }
}

void shiftV(const int16_t *const *r, uint8_t *out, int n, const int8_t *taps) {
  if (n >= Wide::kBytes) return shiftVRow<Wide>(r, out, n, taps);
  if (n >= V128::kBytes) return shiftVRow<V128>(r, out, n, taps);
  shiftV_c(r, out, n, taps);
}

// Row by row over chunks of up to 2048 columns (a 1080p row, luma or
// chroma, in one; the ring of six filtered rows takes 24 KiB of stack): each
// source row filtered once into the ring, each output row from the six.
// Whole rows stream through memory in order; narrower chunks walk down the
// frame once per chunk. The 1080p pan, historyShift alone, medians of 100
// calls, four rounds alternated in one run: chunks of 256 columns 3.3 - 4.5
// ms, 512 3.4 - 4.2, 1024 3.0 - 3.6, 2048 1.8 - 2.8. (Strips walking down the
// rows with the filtered rows in registers, as the NEON form does, need
// twelve of them for six taps and spill: 5.6 - 6.4 ms a call against 4.2 -
// 4.7 ms for 256-column chunks, alternated in one run.)
void shiftHV(const uint8_t *src, ptrdiff_t pitch, int step, uint8_t *out, ptrdiff_t outPitch, int n,
             int rows, const int8_t *tx, const int8_t *ty) {
  shiftHVByRows<shiftH, shiftV, 2048>(src, pitch, step, out, outPitch, n, rows, tx, ty);
}

// The sums as shiftH's, rounded, shifted and clamped by packus (which puts
// the unpacks' halves back in column order within each 128-bit lane).
template <class V>
void shift1Row(const uint8_t *src, ptrdiff_t step, uint8_t *out, int n, const int8_t *taps) {
  const HTaps<V> t(taps);
  for (int i = 0;; i += V::kBytes) {
    if (i > n - V::kBytes) i = n - V::kBytes;
    typename V::V lo, hi;
    hSums<V>(src + i, step, t, lo, hi);
    V::store(out + i, V::packus(lo, hi));
    if (i == n - V::kBytes) break;
  }
}

void shift1(const uint8_t *src, ptrdiff_t step, uint8_t *out, int n, const int8_t *taps) {
  if (n >= Wide::kBytes) return shift1Row<Wide>(src, step, out, n, taps);
  if (n >= V128::kBytes) return shift1Row<V128>(src, step, out, n, taps);
  shift1_c(src, step, out, n, taps);
}

// Steps the vector layer leaves out, for 128 and 256 bits.
inline __m128i sra32by4(__m128i v) { return _mm_srai_epi32(v, 4); }
inline __m128i srl32by4(__m128i v) { return _mm_srli_epi32(v, 4); }
inline __m128i sadAdd(__m128i acc, __m128i a, __m128i b) {
  return _mm_add_epi64(acc, _mm_sad_epu8(a, b));
}
inline uint64_t sum64(__m128i v) {
  return static_cast<uint64_t>(_mm_cvtsi128_si64(v)) +
         static_cast<uint64_t>(_mm_cvtsi128_si64(_mm_unpackhi_epi64(v, v)));
}
inline int32_t lanesSum(__m128i v) {
  alignas(16) int32_t l[4];
  _mm_store_si128(reinterpret_cast<__m128i *>(l), v);
  return l[0] + l[1] + l[2] + l[3];
}
// Two vectors of 32-bit lanes (each at most 255) to bytes, in order.
inline void storeBytes(uint8_t *dst, __m128i lo, __m128i hi) {
  const __m128i w = _mm_packus_epi32(lo, hi);
  _mm_storel_epi64(reinterpret_cast<__m128i *>(dst), _mm_packus_epi16(w, w));
}
#if defined(__AVX2__)
inline __m256i sra32by4(__m256i v) { return _mm256_srai_epi32(v, 4); }
inline __m256i srl32by4(__m256i v) { return _mm256_srli_epi32(v, 4); }
inline __m256i sadAdd(__m256i acc, __m256i a, __m256i b) {
  return _mm256_add_epi64(acc, _mm256_sad_epu8(a, b));
}
inline uint64_t sum64(__m256i v) {
  return sum64(_mm_add_epi64(_mm256_castsi256_si128(v), _mm256_extracti128_si256(v, 1)));
}
inline int32_t lanesSum(__m256i v) {
  return lanesSum(_mm_add_epi32(_mm256_castsi256_si128(v), _mm256_extracti128_si256(v, 1)));
}
// The packs work within 128-bit lanes: 64-bit lanes 0, 2, 1, 3 of the first
// pack are the 16-bit values in order, lanes 0 and 2 of the second the bytes.
inline void storeBytes(uint8_t *dst, __m256i lo, __m256i hi) {
  const __m256i w = _mm256_permute4x64_epi64(_mm256_packus_epi32(lo, hi), 0xD8);
  const __m256i b = _mm256_permute4x64_epi64(_mm256_packus_epi16(w, w), 0x08);
  _mm_storeu_si128(reinterpret_cast<__m128i *>(dst), _mm256_castsi256_si128(b));
}
#endif

// The estimator's loops over vectors V, Wide (256 bits from AVX2 on) where a
// row holds one and 128 bits after: the sums add the same products in
// another order (integers: the same totals).

// V::kLanes samples a step: 16-bit differences, 32-bit products from the
// low and high halves of the 16-bit ones (exact: every product fits
// int32_t).
template <class V>
struct GradientSums {
  using T = typename V::V;
  T xx = V::zero(), xy = V::zero(), yy = V::zero(), xt = V::zero(), yt = V::zero();
  void add(const uint8_t *c, const uint8_t *cu, const uint8_t *cd, const uint8_t *p,
           const uint8_t *pu, const uint8_t *pd) {
    const T gx = V::add(V::sub(V::loadU8(c + 1), V::loadU8(c - 1)),
                        V::sub(V::loadU8(p + 1), V::loadU8(p - 1)));
    const T gy = V::add(V::sub(V::loadU8(cd), V::loadU8(cu)), V::sub(V::loadU8(pd), V::loadU8(pu)));
    const T dt = V::sub(V::loadU8(c), V::loadU8(p));
    xx = V::add32(xx, products(gx, gx));
    xy = V::add32(xy, products(gx, gy));
    yy = V::add32(yy, products(gy, gy));
    xt = V::add32(xt, V::madd(gx, dt));
    yt = V::add32(yt, V::madd(gy, dt));
  }
  // sum (a b >> 4) over the lanes, in 32-bit lanes.
  static T products(T a, T b) {
    const T l = V::mullo(a, b), h = V::mulhi(a, b);
    return V::add32(sra32by4(V::unpacklo16(l, h)), sra32by4(V::unpackhi16(l, h)));
  }
};

// Wide steps, then one 128-bit step where 8 or more samples are left, the
// last n % 8 through the per-sample form.
void gradient(const uint8_t *c, const uint8_t *cu, const uint8_t *cd, const uint8_t *p,
              const uint8_t *pu, const uint8_t *pd, int n, int32_t sums[5]) {
  GradientSums<Wide> wide;
  int x = 0;
  for (; x + Wide::kLanes <= n; x += Wide::kLanes)
    wide.add(c + x, cu + x, cd + x, p + x, pu + x, pd + x);
  GradientSums<V128> narrow;
  for (; x + V128::kLanes <= n; x += V128::kLanes)
    narrow.add(c + x, cu + x, cd + x, p + x, pu + x, pd + x);
  gradient_c(c + x, cu + x, cd + x, p + x, pu + x, pd + x, n - x, sums);
  sums[0] += lanesSum(wide.xx) + lanesSum(narrow.xx);
  sums[1] += lanesSum(wide.xy) + lanesSum(narrow.xy);
  sums[2] += lanesSum(wide.yy) + lanesSum(narrow.yy);
  sums[3] += lanesSum(wide.xt) + lanesSum(narrow.xt);
  sums[4] += lanesSum(wide.yt) + lanesSum(narrow.yt);
}

// The last n % V::kBytes bytes of a row as its last V::kBytes with the
// lanes already counted cleared on both sides (n >= V::kBytes).
template <class V>
uint32_t sadRows(const uint8_t *a, ptrdiff_t aStride, const uint8_t *b, ptrdiff_t bStride, int n,
                 int rows) {
  using T = typename V::V;
  alignas(64) static constexpr uint8_t kTailMask[128] = {
      0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,
      0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,
      0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,
      0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,
      0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
      0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
      0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
      0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
  const T mask = V::load(kTailMask + 64 + n % V::kBytes - V::kBytes);
  const int full = n - n % V::kBytes;
  T acc = V::zero();
  for (int r = 0; r < rows; ++r, a += aStride, b += bStride) {
    for (int i = 0; i < full; i += V::kBytes)
      acc = sadAdd(acc, V::load(a + i), V::load(b + i));
    if (full < n)
      acc = sadAdd(acc, V::band(V::load(a + n - V::kBytes), mask),
                   V::band(V::load(b + n - V::kBytes), mask));
  }
  return static_cast<uint32_t>(sum64(acc));
}

uint32_t sad(const uint8_t *a, ptrdiff_t aStride, const uint8_t *b, ptrdiff_t bStride, int n,
             int rows) {
  if (n >= Wide::kBytes) return sadRows<Wide>(a, aStride, b, bStride, n, rows);
  if (n >= V128::kBytes) return sadRows<V128>(a, aStride, b, bStride, n, rows);
  return sad_c(a, aStride, b, bStride, n, rows);
}

// Pairs of bytes summed by maddubs with ones, four rows added (each lane at
// most 8 x 255), pairs of lanes by madd with ones: the sums of 4x4, V::kLanes
// of them a step from 4 V::kBytes bytes of each row, the last step moved
// back to end at n (n >= V::kLanes).
template <class V>
void reduce4Row(const uint8_t *src, ptrdiff_t stride, uint8_t *dst, int n) {
  using T = typename V::V;
  const T ones8 = V::set1x8(1), ones16 = V::set1(1), round = V::set1x32(8);
  for (int i = 0;; i += V::kLanes) {
    if (i > n - V::kLanes) i = n - V::kLanes;
    const uint8_t *p = src + 4 * i;
    T lo = V::zero(), hi = V::zero();
    for (int r = 0; r < 4; ++r) {
      lo = V::add(lo, V::maddubs(V::load(p + r * stride), ones8));
      hi = V::add(hi, V::maddubs(V::load(p + r * stride + V::kBytes), ones8));
    }
    const T slo = srl32by4(V::add32(V::madd(lo, ones16), round));
    const T shi = srl32by4(V::add32(V::madd(hi, ones16), round));
    storeBytes(dst + i, slo, shi);
    if (i == n - V::kLanes) break;
  }
}

void reduce4(const uint8_t *src, ptrdiff_t stride, uint8_t *dst, int n) {
  if (n >= Wide::kLanes) return reduce4Row<Wide>(src, stride, dst, n);
  if (n >= V128::kLanes) return reduce4Row<V128>(src, stride, dst, n);
  reduce4_c(src, stride, dst, n);
}

}  // namespace

const MotionKernels kMotionKernelsX86 = {shiftH, shiftV, shiftHV, shift1, gradient, sad, reduce4};

}  // namespace tnr_md::TNR_MD_X86_NS
