// Camera motion's hot loops, x86-64 form, compiled once per x86-64 level into
// its namespace: the shift's row kernels at the level's Wide width (256 bits
// from AVX2 on), the estimator's at 128 bits (SSE4.1) at every level. Results
// equal the per-sample forms (camera_motion.cpp) for every input.
//
// Tail policy as the NEON form's: full vectors, the last moved back to end
// at the row's end; rows shorter than a vector through the per-sample form.
#include <immintrin.h>

#include <algorithm>
#include <cstdint>

#include "camera_motion.h"
#include "x86_vec.h"

namespace tnr_md::TNR_MD_X86_NS {
namespace {

inline __m128i load(const void *p) { return _mm_loadu_si128(static_cast<const __m128i *>(p)); }
inline void store(void *p, __m128i v) { _mm_storeu_si128(static_cast<__m128i *>(p), v); }
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

// Eight samples at a time: 16-bit differences, 32-bit products from the low
// and high halves of the 16-bit ones (exact: every product fits int32_t);
// the last n % 8 through the per-sample form.
void gradient(const uint8_t *c, const uint8_t *cu, const uint8_t *cd, const uint8_t *p,
              const uint8_t *pu, const uint8_t *pd, int n, int32_t sums[5]) {
  const auto bytes = [](const uint8_t *q) {
    return _mm_cvtepu8_epi16(_mm_loadl_epi64(reinterpret_cast<const __m128i *>(q)));
  };
  const auto products = [](__m128i a, __m128i b, __m128i &lo, __m128i &hi) {
    const __m128i l = _mm_mullo_epi16(a, b), h = _mm_mulhi_epi16(a, b);
    lo = _mm_unpacklo_epi16(l, h);
    hi = _mm_unpackhi_epi16(l, h);
  };
  __m128i xx = _mm_setzero_si128(), xy = xx, yy = xx, xt = xx, yt = xx;
  int x = 0;
  for (; x + 8 <= n; x += 8) {
    const __m128i gx = _mm_add_epi16(_mm_sub_epi16(bytes(c + x + 1), bytes(c + x - 1)),
                                     _mm_sub_epi16(bytes(p + x + 1), bytes(p + x - 1)));
    const __m128i gy = _mm_add_epi16(_mm_sub_epi16(bytes(cd + x), bytes(cu + x)),
                                     _mm_sub_epi16(bytes(pd + x), bytes(pu + x)));
    const __m128i dt = _mm_sub_epi16(bytes(c + x), bytes(p + x));
    __m128i lo, hi;
    products(gx, gx, lo, hi);
    xx = _mm_add_epi32(xx, _mm_add_epi32(_mm_srai_epi32(lo, 4), _mm_srai_epi32(hi, 4)));
    products(gx, gy, lo, hi);
    xy = _mm_add_epi32(xy, _mm_add_epi32(_mm_srai_epi32(lo, 4), _mm_srai_epi32(hi, 4)));
    products(gy, gy, lo, hi);
    yy = _mm_add_epi32(yy, _mm_add_epi32(_mm_srai_epi32(lo, 4), _mm_srai_epi32(hi, 4)));
    xt = _mm_add_epi32(xt, _mm_madd_epi16(gx, dt));
    yt = _mm_add_epi32(yt, _mm_madd_epi16(gy, dt));
  }
  int32_t tail[5];
  gradient_c(c + x, cu + x, cd + x, p + x, pu + x, pd + x, n - x, tail);
  const __m128i all[5] = {xx, xy, yy, xt, yt};
  for (int i = 0; i < 5; ++i) {
    alignas(16) int32_t l[4];
    store(l, all[i]);
    sums[i] = tail[i] + l[0] + l[1] + l[2] + l[3];
  }
}

// The last n % 16 bytes of a row as its last 16 with the lanes already
// counted cleared on both sides; rows shorter than a vector per sample.
uint32_t sad(const uint8_t *a, ptrdiff_t aStride, const uint8_t *b, ptrdiff_t bStride, int n,
             int rows) {
  if (n < 16) return sad_c(a, aStride, b, bStride, n, rows);
  alignas(16) static constexpr uint8_t kTailMask[32] = {
      0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,
      0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
  const __m128i mask = load(kTailMask + n % 16);
  const int full = n - n % 16;
  __m128i acc = _mm_setzero_si128();
  for (int r = 0; r < rows; ++r, a += aStride, b += bStride) {
    for (int i = 0; i < full; i += 16)
      acc = _mm_add_epi64(acc, _mm_sad_epu8(load(a + i), load(b + i)));
    if (full < n)
      acc = _mm_add_epi64(acc, _mm_sad_epu8(_mm_and_si128(load(a + n - 16), mask),
                                            _mm_and_si128(load(b + n - 16), mask)));
  }
  return static_cast<uint32_t>(_mm_cvtsi128_si64(acc) +
                               _mm_cvtsi128_si64(_mm_unpackhi_epi64(acc, acc)));
}

// Pairs of bytes summed by maddubs with ones, four rows added (each lane at
// most 8 x 255), pairs of lanes by madd with ones: the sums of 4x4.
void reduce4(const uint8_t *src, ptrdiff_t stride, uint8_t *dst, int n) {
  if (n < 8) return reduce4_c(src, stride, dst, n);
  const __m128i ones8 = _mm_set1_epi8(1), ones16 = _mm_set1_epi16(1);
  const __m128i round = _mm_set1_epi32(8);
  for (int i = 0;; i += 8) {
    if (i > n - 8) i = n - 8;
    const uint8_t *p = src + 4 * i;
    __m128i lo = _mm_setzero_si128(), hi = _mm_setzero_si128();
    for (int r = 0; r < 4; ++r) {
      lo = _mm_add_epi16(lo, _mm_maddubs_epi16(load(p + r * stride), ones8));
      hi = _mm_add_epi16(hi, _mm_maddubs_epi16(load(p + r * stride + 16), ones8));
    }
    const __m128i slo = _mm_srli_epi32(_mm_add_epi32(_mm_madd_epi16(lo, ones16), round), 4);
    const __m128i shi = _mm_srli_epi32(_mm_add_epi32(_mm_madd_epi16(hi, ones16), round), 4);
    const __m128i w = _mm_packus_epi32(slo, shi);
    _mm_storel_epi64(reinterpret_cast<__m128i *>(dst + i), _mm_packus_epi16(w, w));
    if (i == n - 8) break;
  }
}

}  // namespace

const MotionKernels kMotionKernelsX86 = {shiftH, shiftV, shiftHV, shift1, gradient, sad, reduce4};

}  // namespace tnr_md::TNR_MD_X86_NS
