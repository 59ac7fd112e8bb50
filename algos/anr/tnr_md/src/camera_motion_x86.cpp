// Camera motion's hot loops, x86-64 form, compiled once per x86-64 level into
// its namespace; 128-bit vectors at every level (SSE4.1). Results
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
inline __m128i pairTaps(int8_t lo, int8_t hi) {
  return _mm_set1_epi16(static_cast<int16_t>(static_cast<uint8_t>(lo) | (static_cast<uint8_t>(hi) << 8)));
}

// h = (t0 a + t1 b + t2 c + t3 d + t4 e + t5 f + 32) >> 6 from byte pairs:
// maddubs forms t0 a + t1 b, t2 c + t3 d and t4 e + t5 f without saturating
// (each within +-255 x 82), and their sum lies within -18 x 255 .. 82 x 255.
struct HTaps {
  __m128i t01, t23, t45;
  explicit HTaps(const int8_t *t)
      : t01(pairTaps(t[0], t[1])), t23(pairTaps(t[2], t[3])), t45(pairTaps(t[4], t[5])) {}
};
inline void hSums(const uint8_t *p, ptrdiff_t step, const HTaps &t, __m128i &lo, __m128i &hi) {
  const __m128i a = load(p - 2 * step), b = load(p - step), c = load(p), d = load(p + step),
                e = load(p + 2 * step), f = load(p + 3 * step);
  lo = _mm_add_epi16(_mm_add_epi16(_mm_maddubs_epi16(_mm_unpacklo_epi8(a, b), t.t01),
                                   _mm_maddubs_epi16(_mm_unpacklo_epi8(c, d), t.t23)),
                     _mm_maddubs_epi16(_mm_unpacklo_epi8(e, f), t.t45));
  hi = _mm_add_epi16(_mm_add_epi16(_mm_maddubs_epi16(_mm_unpackhi_epi8(a, b), t.t01),
                                   _mm_maddubs_epi16(_mm_unpackhi_epi8(c, d), t.t23)),
                     _mm_maddubs_epi16(_mm_unpackhi_epi8(e, f), t.t45));
}

void shiftH(const uint8_t *src, int16_t *h, int n, int step, const int8_t *taps) {
  if (n < 16) return shiftH_c(src, h, n, step, taps);
  const HTaps t(taps);
  const __m128i round = _mm_set1_epi16(32);
  for (int i = 0;; i += 16) {
    if (i > n - 16) i = n - 16;
    __m128i lo, hi;
    hSums(src + i, step, t, lo, hi);
    store(h + i, _mm_srai_epi16(_mm_add_epi16(lo, round), 6));
    store(h + i + 8, _mm_srai_epi16(_mm_add_epi16(hi, round), 6));
    if (i == n - 16) break;
  }
}

// 16-bit products and sums wrap in between; the sum lies within int16_t, and
// so does the sum plus 32. packus clamps to 0 .. 255.
void shiftV(const int16_t *const *r, uint8_t *out, int n, const int8_t *taps) {
  if (n < 16) return shiftV_c(r, out, n, taps);
  __m128i t[kShiftTapCount];
  for (int k = 0; k < kShiftTapCount; ++k) t[k] = _mm_set1_epi16(taps[k]);
  const __m128i round = _mm_set1_epi16(32);
  const auto eight = [&](int i) {
    __m128i v = _mm_mullo_epi16(load(r[2] + i), t[2]);
    v = _mm_add_epi16(v, _mm_mullo_epi16(load(r[3] + i), t[3]));
    v = _mm_add_epi16(v, _mm_mullo_epi16(load(r[1] + i), t[1]));
    v = _mm_add_epi16(v, _mm_mullo_epi16(load(r[4] + i), t[4]));
    v = _mm_add_epi16(v, _mm_mullo_epi16(load(r[0] + i), t[0]));
    v = _mm_add_epi16(v, _mm_mullo_epi16(load(r[5] + i), t[5]));
    return _mm_srai_epi16(_mm_add_epi16(v, round), 6);
  };
  for (int i = 0;; i += 16) {
    if (i > n - 16) i = n - 16;
    store(out + i, _mm_packus_epi16(eight(i), eight(i + 8)));
    if (i == n - 16) break;
  }
}

// Row by row over chunks of 256 columns: each source row filtered once into
// a ring of six rows on the stack, each output row from the six. (Strips
// walking down the rows with the filtered rows in registers, as the NEON form
// does, need twelve of them for six taps and spill: on the counted 1080p pan
// they took 5.6 - 6.4 ms a call against 4.2 - 4.7 ms row by row, the two
// alternated in one run.)
void shiftHV(const uint8_t *src, ptrdiff_t pitch, int step, uint8_t *out, ptrdiff_t outPitch, int n,
             int rows, const int8_t *tx, const int8_t *ty) {
  constexpr int kChunk = 256;
  alignas(16) int16_t ring[kShiftTapCount][kChunk];
  for (int i = 0; i < n; i += kChunk) {
    // A last chunk narrower than a vector starts earlier (the overlap
    // writes equal bytes).
    const int at = n - i < 16 && n >= 16 ? n - 16 : i, m = std::min(kChunk, n - at);
    if (m < 16) return shiftHV_c(src, pitch, step, out, outPitch, n, rows, tx, ty);
    for (int r = -2; r < rows + 3; ++r) {  // source row r in ring[(r + 2) % 6]
      shiftH(src + r * pitch + at, ring[(r + 2) % kShiftTapCount], m, step, tx);
      const int y = r - 3;  // the output row whose last source row that was
      if (y >= 0) {
        const int16_t *six[kShiftTapCount];
        for (int k = 0; k < kShiftTapCount; ++k) six[k] = ring[(y + k) % kShiftTapCount];
        shiftV(six, out + y * outPitch + at, m, ty);
      }
    }
  }
}

// The sums as shiftH's, rounded, shifted and clamped by packus.
void shift1(const uint8_t *src, ptrdiff_t step, uint8_t *out, int n, const int8_t *taps) {
  if (n < 16) return shift1_c(src, step, out, n, taps);
  const HTaps t(taps);
  const __m128i round = _mm_set1_epi16(32);
  const auto sixteen = [&](const uint8_t *p, uint8_t *q) {
    __m128i lo, hi;
    hSums(p, step, t, lo, hi);
    store(q, _mm_packus_epi16(_mm_srai_epi16(_mm_add_epi16(lo, round), 6),
                              _mm_srai_epi16(_mm_add_epi16(hi, round), 6)));
  };
  int i = 0;
  for (; i + 16 <= n; i += 16) sixteen(src + i, out + i);
  if (i < n) sixteen(src + n - 16, out + n - 16);
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
