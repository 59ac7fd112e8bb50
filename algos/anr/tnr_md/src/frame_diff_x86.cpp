// Frame difference with 8x8 block downscale, x86-64 form: two blocks (16
// luma columns) per step at every level, four (32 columns) at AVX2 and eight
// (64 columns) at AVX-512, each chroma row de-interleaved and weighted once
// for its two luma rows. Blocks that do not fit that pattern (a lone last block,
// a moved-back block, a moved-back block row starting at an odd row) go through an 8-column step
// that takes each column's chroma pair as the per-sample rule names it.
#include <cstdint>
#include <cstring>

#include "arith.h"
#include "kernels.h"
#include "x86_vec.h"

namespace tnr_md::TNR_MD_X86_NS {
namespace {

// The block outputs (arith.h's blockOut) stored at ld and sg.
inline void blockOut(int32_t sumY, int32_t sumU, int32_t sumV, int32_t sumH, int32_t fix,
                     int16_t *ld, int16_t *sg) {
  const BlockOut b = tnr_md::blockOut(sumY, sumU, sumV, sumH, fix);
  *ld = b.ldiff;
  *sg = b.sigma;
}

// Low16(RoundShift(a x uvf, 7)) of 8 lanes, a in 0 .. 510.
template <bool kSmall>
inline __m128i chromaTerm(__m128i a, __m128i uvf) {
  if (kSmall) {
    // 0 <= uvf <= 128: the product fits 16 unsigned bits, and
    // (x + 64) >> 7 = ((x >> 6) + 1) >> 1.
    return _mm_avg_epu16(_mm_srli_epi16(_mm_mullo_epi16(a, uvf), 6), _mm_setzero_si128());
  }
  const __m128i lo = _mm_mullo_epi16(a, uvf);
  const __m128i hi = _mm_mulhi_epi16(a, uvf);
  const __m128i r = _mm_set1_epi32(64);
  __m128i p0 = _mm_srai_epi32(_mm_add_epi32(_mm_unpacklo_epi16(lo, hi), r), 7);
  __m128i p1 = _mm_srai_epi32(_mm_add_epi32(_mm_unpackhi_epi16(lo, hi), r), 7);
  // Keep the low 16 bits (a plain narrowing, not a saturating one).
  p0 = _mm_srai_epi32(_mm_slli_epi32(p0, 16), 16);
  p1 = _mm_srai_epi32(_mm_slli_epi32(p1, 16), 16);
  return _mm_packs_epi32(p0, p1);
}

inline __m128i load8(const uint8_t *p) {
  return _mm_cvtepu8_epi16(_mm_loadl_epi64(reinterpret_cast<const __m128i *>(p)));
}

struct Frame {
  const uint8_t *cur, *pre;
  size_t W;            // pitch
  size_t chromaStart;  // W x imgHeight
  size_t bytes;        // W x imgHeight x 3 / 2
};

// Two blocks at luma columns cx .. cx + 15 (cx even, cx + 16 <= proWidth),
// luma rows r0 .. r0 + 7 (r0 even); hOut points at the difference plane's
// sample (r0, 0), as in every block step below. Chroma bytes cx .. cx + 15 of
// chroma rows r0 / 2 .. r0 / 2 + 3 hold exactly the pairs of these columns.
template <bool kSmall>
inline void twoBlocks(const Frame &f, int r0, int cx, __m128i uvf, int32_t fix, int16_t *hOut,
                      ptrdiff_t hStride, int16_t *ld, int16_t *sg) {
  const __m128i lowByte = _mm_set1_epi16(0xFF);
  __m128i sY0 = _mm_setzero_si128(), sY1 = sY0, sH0 = sY0, sH1 = sY0, sU = sY0, sV = sY0;
  for (int k = 0; k < 8; k += 2) {
    const size_t co = f.chromaStart + static_cast<size_t>((r0 + k) >> 1) * f.W + cx;
    const __m128i c = loadu(f.cur + co), p = loadu(f.pre + co);
    // Lane j: pair j (U at byte 2j, V at 2j + 1), differences exact in 16 bits.
    const __m128i dU = _mm_sub_epi16(_mm_and_si128(c, lowByte), _mm_and_si128(p, lowByte));
    const __m128i dV = _mm_sub_epi16(_mm_srli_epi16(c, 8), _mm_srli_epi16(p, 8));
    sU = _mm_add_epi16(sU, dU);
    sV = _mm_add_epi16(sV, dV);
    const __m128i t = chromaTerm<kSmall>(_mm_add_epi16(_mm_abs_epi16(dU), _mm_abs_epi16(dV)), uvf);
    // Each pair's term serves its two luma columns.
    const __m128i t0 = _mm_unpacklo_epi16(t, t), t1 = _mm_unpackhi_epi16(t, t);
    for (int j = 0; j < 2; ++j) {
      const int row = r0 + k + j;
      const size_t lo = static_cast<size_t>(row) * f.W + cx;
      const __m128i a = loadu(f.cur + lo), b = loadu(f.pre + lo);
      const __m128i z = _mm_setzero_si128();
      const __m128i dY0 = _mm_sub_epi16(_mm_unpacklo_epi8(a, z), _mm_unpacklo_epi8(b, z));
      const __m128i dY1 = _mm_sub_epi16(_mm_unpackhi_epi8(a, z), _mm_unpackhi_epi8(b, z));
      const __m128i h0 = _mm_add_epi16(_mm_abs_epi16(dY0), t0);  // wraps
      const __m128i h1 = _mm_add_epi16(_mm_abs_epi16(dY1), t1);
      int16_t *o = hOut + (row - r0) * hStride + cx;
      storeu(o, _mm_slli_epi16(h0, 5));
      storeu(o + 8, _mm_slli_epi16(h1, 5));
      sY0 = _mm_add_epi16(sY0, dY0);
      sY1 = _mm_add_epi16(sY1, dY1);
      sH0 = _mm_add_epi16(sH0, h0);
      sH1 = _mm_add_epi16(sH1, h1);
    }
  }
  // Exact lane sums (each lane sign-extended): [Y0, Y1, H0, H1], [U0, U1, V0, V1].
  const __m128i one = _mm_set1_epi16(1);
  const __m128i yh =
      _mm_hadd_epi32(_mm_hadd_epi32(_mm_madd_epi16(sY0, one), _mm_madd_epi16(sY1, one)),
                     _mm_hadd_epi32(_mm_madd_epi16(sH0, one), _mm_madd_epi16(sH1, one)));
  const __m128i uv = _mm_hadd_epi32(_mm_madd_epi16(sU, one), _mm_madd_epi16(sV, one));
  alignas(16) int32_t s[8];
  _mm_store_si128(reinterpret_cast<__m128i *>(s), yh);
  _mm_store_si128(reinterpret_cast<__m128i *>(s + 4), uv);
  // Each chroma difference serves 2 x 2 luma samples of the block.
  blockOut(s[0], 4 * s[4], 4 * s[6], s[2], fix, ld, sg);
  blockOut(s[1], 4 * s[5], 4 * s[7], s[3], fix, ld + 1, sg + 1);
}

// One block at luma columns cx .. cx + 7, rows r0 .. r0 + 7, any parity.
// Column l takes pair (cx + l) >> 1, that is byte 2 x ((l + (cx & 1)) >> 1)
// from the pair-aligned start cx & ~1; the 16-byte chroma loads read bytes
// (cx & ~1) .. +15, from a local copy where that would pass the frame's end.
template <bool kSmall>
inline void oneBlock(const Frame &f, int r0, int cx, __m128i uvf, int32_t fix, int16_t *hOut,
                     ptrdiff_t hStride, int16_t *ld, int16_t *sg) {
  const bool odd = (cx & 1) != 0;
  const __m128i selU = odd ? _mm_setr_epi8(0, -1, 2, -1, 2, -1, 4, -1, 4, -1, 6, -1, 6, -1, 8, -1)
                           : _mm_setr_epi8(0, -1, 0, -1, 2, -1, 2, -1, 4, -1, 4, -1, 6, -1, 6, -1);
  const __m128i selV = _mm_add_epi8(selU, _mm_set1_epi16(1));  // the -1 lanes stay negative
  __m128i sY = _mm_setzero_si128(), sH = sY, sU = sY, sV = sY;
  __m128i dU = sY, dV = sY, t = sY;
  for (int k = 0; k < 8; ++k) {
    const int row = r0 + k;
    if (k == 0 || (row & 1) == 0) {
      const size_t co = f.chromaStart + static_cast<size_t>(row >> 1) * f.W + (cx & ~1);
      __m128i c, p;
      if (f.bytes - co >= 16) {
        c = loadu(f.cur + co);
        p = loadu(f.pre + co);
      } else {
        uint8_t cb[16] = {0}, pb[16] = {0};
        std::memcpy(cb, f.cur + co, f.bytes - co);
        std::memcpy(pb, f.pre + co, f.bytes - co);
        c = loadu(cb);
        p = loadu(pb);
      }
      dU = _mm_sub_epi16(_mm_shuffle_epi8(c, selU), _mm_shuffle_epi8(p, selU));
      dV = _mm_sub_epi16(_mm_shuffle_epi8(c, selV), _mm_shuffle_epi8(p, selV));
      t = chromaTerm<kSmall>(_mm_add_epi16(_mm_abs_epi16(dU), _mm_abs_epi16(dV)), uvf);
    }
    const size_t lo = static_cast<size_t>(row) * f.W + cx;
    const __m128i dY = _mm_sub_epi16(load8(f.cur + lo), load8(f.pre + lo));
    const __m128i h = _mm_add_epi16(_mm_abs_epi16(dY), t);
    storeu(hOut + (row - r0) * hStride + cx, _mm_slli_epi16(h, 5));
    sY = _mm_add_epi16(sY, dY);
    sU = _mm_add_epi16(sU, dU);
    sV = _mm_add_epi16(sV, dV);
    sH = _mm_add_epi16(sH, h);
  }
  const __m128i one = _mm_set1_epi16(1);
  const __m128i a = _mm_hadd_epi32(_mm_madd_epi16(sY, one), _mm_madd_epi16(sU, one));
  const __m128i b = _mm_hadd_epi32(_mm_madd_epi16(sV, one), _mm_madd_epi16(sH, one));
  alignas(16) int32_t s[4];
  _mm_store_si128(reinterpret_cast<__m128i *>(s), _mm_hadd_epi32(a, b));
  blockOut(s[0], s[1], s[2], s[3], fix, ld, sg);
}

#if defined(__AVX2__)
template <bool kSmall>
inline __m256i chromaTerm256(__m256i a, __m256i uvf) {
  if (kSmall) {
    return _mm256_avg_epu16(_mm256_srli_epi16(_mm256_mullo_epi16(a, uvf), 6),
                            _mm256_setzero_si256());
  }
  const __m256i lo = _mm256_mullo_epi16(a, uvf);
  const __m256i hi = _mm256_mulhi_epi16(a, uvf);
  const __m256i r = _mm256_set1_epi32(64);
  __m256i p0 = _mm256_srai_epi32(_mm256_add_epi32(_mm256_unpacklo_epi16(lo, hi), r), 7);
  __m256i p1 = _mm256_srai_epi32(_mm256_add_epi32(_mm256_unpackhi_epi16(lo, hi), r), 7);
  p0 = _mm256_srai_epi32(_mm256_slli_epi32(p0, 16), 16);
  p1 = _mm256_srai_epi32(_mm256_slli_epi32(p1, 16), 16);
  return _mm256_packs_epi32(p0, p1);  // in-lane unpack and pack keep the lane order
}

// Four blocks at luma columns cx .. cx + 31 (cx even, cx + 32 <= proWidth),
// as twoBlocks.
template <bool kSmall>
inline void fourBlocks(const Frame &f, int r0, int cx, __m256i uvf, int32_t fix, int16_t *hOut,
                       ptrdiff_t hStride, int16_t *ld, int16_t *sg) {
  const __m256i lowByte = _mm256_set1_epi16(0xFF);
  __m256i sY0 = _mm256_setzero_si256(), sY1 = sY0, sH0 = sY0, sH1 = sY0, sU = sY0, sV = sY0;
  for (int k = 0; k < 8; k += 2) {
    const size_t co = f.chromaStart + static_cast<size_t>((r0 + k) >> 1) * f.W + cx;
    const __m256i c = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(f.cur + co));
    const __m256i p = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(f.pre + co));
    const __m256i dU = _mm256_sub_epi16(_mm256_and_si256(c, lowByte), _mm256_and_si256(p, lowByte));
    const __m256i dV = _mm256_sub_epi16(_mm256_srli_epi16(c, 8), _mm256_srli_epi16(p, 8));
    sU = _mm256_add_epi16(sU, dU);
    sV = _mm256_add_epi16(sV, dV);
    const __m256i t =
        chromaTerm256<kSmall>(_mm256_add_epi16(_mm256_abs_epi16(dU), _mm256_abs_epi16(dV)), uvf);
    const __m256i tl = _mm256_unpacklo_epi16(t, t), th = _mm256_unpackhi_epi16(t, t);
    const __m256i t0 = _mm256_permute2x128_si256(tl, th, 0x20);  // columns 0 .. 15
    const __m256i t1 = _mm256_permute2x128_si256(tl, th, 0x31);  // columns 16 .. 31
    for (int j = 0; j < 2; ++j) {
      const int row = r0 + k + j;
      const size_t lo = static_cast<size_t>(row) * f.W + cx;
      const __m256i dY0 = _mm256_sub_epi16(_mm256_cvtepu8_epi16(loadu(f.cur + lo)),
                                           _mm256_cvtepu8_epi16(loadu(f.pre + lo)));
      const __m256i dY1 = _mm256_sub_epi16(_mm256_cvtepu8_epi16(loadu(f.cur + lo + 16)),
                                           _mm256_cvtepu8_epi16(loadu(f.pre + lo + 16)));
      const __m256i h0 = _mm256_add_epi16(_mm256_abs_epi16(dY0), t0);  // wraps
      const __m256i h1 = _mm256_add_epi16(_mm256_abs_epi16(dY1), t1);
      int16_t *o = hOut + (row - r0) * hStride + cx;
      _mm256_storeu_si256(reinterpret_cast<__m256i *>(o), _mm256_slli_epi16(h0, 5));
      _mm256_storeu_si256(reinterpret_cast<__m256i *>(o + 16), _mm256_slli_epi16(h1, 5));
      sY0 = _mm256_add_epi16(sY0, dY0);
      sY1 = _mm256_add_epi16(sY1, dY1);
      sH0 = _mm256_add_epi16(sH0, h0);
      sH1 = _mm256_add_epi16(sH1, h1);
    }
  }
  // In-lane horizontal adds: yh = [Y0, Y2, H0, H2 | Y1, Y3, H1, H3] and
  // uv = [U0, U1, V0, V1 | U2, U3, V2, V3] (block numbers).
  const __m256i one = _mm256_set1_epi16(1);
  const __m256i yh = _mm256_hadd_epi32(
      _mm256_hadd_epi32(_mm256_madd_epi16(sY0, one), _mm256_madd_epi16(sY1, one)),
      _mm256_hadd_epi32(_mm256_madd_epi16(sH0, one), _mm256_madd_epi16(sH1, one)));
  const __m256i uv = _mm256_hadd_epi32(_mm256_madd_epi16(sU, one), _mm256_madd_epi16(sV, one));
  alignas(32) int32_t a[8], b[8];
  _mm256_store_si256(reinterpret_cast<__m256i *>(a), yh);
  _mm256_store_si256(reinterpret_cast<__m256i *>(b), uv);
  // Each chroma difference serves 2 x 2 luma samples of the block.
  blockOut(a[0], 4 * b[0], 4 * b[2], a[2], fix, ld, sg);
  blockOut(a[4], 4 * b[1], 4 * b[3], a[6], fix, ld + 1, sg + 1);
  blockOut(a[1], 4 * b[4], 4 * b[6], a[3], fix, ld + 2, sg + 2);
  blockOut(a[5], 4 * b[5], 4 * b[7], a[7], fix, ld + 3, sg + 3);
}
#endif

#if defined(__AVX512BW__)
// Word indices for vpermw / vpermt2w.
alignas(64) constexpr int16_t kEvenHalves[32] = {0,  2,  4,  6,  32, 34, 36, 38, 8,  10, 12,
                                                 14, 40, 42, 44, 46, 16, 18, 20, 22, 48, 50,
                                                 52, 54, 24, 26, 28, 30, 56, 58, 60, 62};
alignas(64) constexpr int16_t kDupPairs[32] = {0,  0,  1,  1,  2,  2,  3,  3,  4,  4,  5,
                                               5,  6,  6,  7,  7,  8,  8,  9,  9,  10, 10,
                                               11, 11, 12, 12, 13, 13, 14, 14, 15, 15};
inline __m512i loadIdx(const int16_t *t) { return _mm512_load_si512(t); }
#endif

#if defined(__AVX512BW__)
template <bool kSmall>
inline __m512i chromaTerm512(__m512i a, __m512i uvf) {
  if (kSmall) {
    return _mm512_avg_epu16(_mm512_srli_epi16(_mm512_mullo_epi16(a, uvf), 6),
                            _mm512_setzero_si512());
  }
  const __m512i lo = _mm512_mullo_epi16(a, uvf);
  const __m512i hi = _mm512_mulhi_epi16(a, uvf);
  const __m512i r = _mm512_set1_epi32(64);
  const __m512i p0 = _mm512_srai_epi32(_mm512_add_epi32(_mm512_unpacklo_epi16(lo, hi), r), 7);
  const __m512i p1 = _mm512_srai_epi32(_mm512_add_epi32(_mm512_unpackhi_epi16(lo, hi), r), 7);
  // Keep the low 16 bits of each product (a plain narrowing): the even 16-bit
  // halves of p0 and p1, in the order the in-lane unpacks took them.
  const __m512i even = loadIdx(kEvenHalves);
  return _mm512_permutex2var_epi16(p0, even, p1);
}

// The outputs of eight blocks from their sums (lane b: block b): sY of the 64
// dY, sH of the 8 column sums of h, sU and sV of the 16 distinct dU and dV (each
// serves four samples). As blockOut: the chroma magnitude (|P| + 64) >> 7 with
// P = a x fix is formed from |fix| in 64 bits and kept to its low 32 bits; only
// its absolute value as int32 enters dsDiff00, so the sign of P drops out.
inline void blockOut8(__m256i sY, __m256i sH, __m256i sU, __m256i sV, __m512i absFix, int16_t *ld,
                      int16_t *sg) {
  const __m512i r = _mm512_set1_epi64(64);
  // a = |4 s| >> 1 = 2 |s|, at most 8160.
  const __m512i aU = _mm512_cvtepu32_epi64(_mm256_slli_epi32(_mm256_abs_epi32(sU), 1));
  const __m512i aV = _mm512_cvtepu32_epi64(_mm256_slli_epi32(_mm256_abs_epi32(sV), 1));
  const __m256i u00 = _mm512_cvtepi64_epi32(
      _mm512_srli_epi64(_mm512_add_epi64(_mm512_mul_epu32(aU, absFix), r), 7));
  const __m256i v00 = _mm512_cvtepi64_epi32(
      _mm512_srli_epi64(_mm512_add_epi64(_mm512_mul_epu32(aV, absFix), r), 7));
  const __m256i ds = _mm256_add_epi32(
      _mm256_add_epi32(_mm256_abs_epi32(_mm256_srai_epi32(sY, 1)), _mm256_abs_epi32(u00)),
      _mm256_abs_epi32(v00));
  const __m256i yuv = _mm256_srai_epi32(sH, 1);
  _mm_storeu_si128(reinterpret_cast<__m128i *>(ld), _mm256_cvtepi32_epi16(ds));
  _mm_storeu_si128(reinterpret_cast<__m128i *>(sg),
                   _mm256_cvtepi32_epi16(_mm256_abs_epi32(_mm256_sub_epi32(ds, yuv))));
}

// Lane b of the result: the sum of 32-bit lanes 4b .. 4b + 3 of lo (b < 4) or
// of hi (b >= 4), that is the sum of a block whose 8 columns madd folded into 4.
inline __m256i blockSums(__m512i lo, __m512i hi) {
  const __m512i k02 = _mm512_setr_epi32(0, 4, 8, 12, 16, 20, 24, 28, 2, 6, 10, 14, 18, 22, 26, 30);
  const __m512i k13 = _mm512_setr_epi32(1, 5, 9, 13, 17, 21, 25, 29, 3, 7, 11, 15, 19, 23, 27, 31);
  const __m512i s = _mm512_add_epi32(_mm512_permutex2var_epi32(lo, k02, hi),
                                     _mm512_permutex2var_epi32(lo, k13, hi));
  return _mm256_add_epi32(_mm512_castsi512_si256(s), _mm512_extracti64x4_epi64(s, 1));
}

// Eight blocks at luma columns cx .. cx + 63 (cx even, cx + 64 <= proWidth),
// as twoBlocks; every load and store stays inside the block row's columns.
template <bool kSmall>
inline void eightBlocks(const Frame &f, int r0, int cx, __m512i uvf, __m512i absFix, int16_t *hOut,
                        ptrdiff_t hStride, int16_t *ld, int16_t *sg) {
  const __m512i lowByte = _mm512_set1_epi16(0xFF);
  // Lane i of column vector 0 (1) takes pair i / 2 (16 + i / 2).
  const __m512i dup0 = loadIdx(kDupPairs);
  const __m512i dup1 = _mm512_add_epi16(dup0, _mm512_set1_epi16(16));
  __m512i sY0 = _mm512_setzero_si512(), sY1 = sY0, sH0 = sY0, sH1 = sY0, sU = sY0, sV = sY0;
  for (int k = 0; k < 8; k += 2) {
    const size_t co = f.chromaStart + static_cast<size_t>((r0 + k) >> 1) * f.W + cx;
    const __m512i c = _mm512_loadu_si512(f.cur + co);
    const __m512i p = _mm512_loadu_si512(f.pre + co);
    const __m512i dU = _mm512_sub_epi16(_mm512_and_si512(c, lowByte), _mm512_and_si512(p, lowByte));
    const __m512i dV = _mm512_sub_epi16(_mm512_srli_epi16(c, 8), _mm512_srli_epi16(p, 8));
    sU = _mm512_add_epi16(sU, dU);
    sV = _mm512_add_epi16(sV, dV);
    const __m512i t =
        chromaTerm512<kSmall>(_mm512_add_epi16(_mm512_abs_epi16(dU), _mm512_abs_epi16(dV)), uvf);
    const __m512i t0 = _mm512_permutexvar_epi16(dup0, t);  // columns 0 .. 31
    const __m512i t1 = _mm512_permutexvar_epi16(dup1, t);  // columns 32 .. 63
    for (int j = 0; j < 2; ++j) {
      const int row = r0 + k + j;
      const size_t lo = static_cast<size_t>(row) * f.W + cx;
      const auto ld256 = [](const uint8_t *q) {
        return _mm512_cvtepu8_epi16(_mm256_loadu_si256(reinterpret_cast<const __m256i *>(q)));
      };
      const __m512i dY0 = _mm512_sub_epi16(ld256(f.cur + lo), ld256(f.pre + lo));
      const __m512i dY1 = _mm512_sub_epi16(ld256(f.cur + lo + 32), ld256(f.pre + lo + 32));
      const __m512i h0 = _mm512_add_epi16(_mm512_abs_epi16(dY0), t0);  // wraps
      const __m512i h1 = _mm512_add_epi16(_mm512_abs_epi16(dY1), t1);
      int16_t *o = hOut + (row - r0) * hStride + cx;
      _mm512_storeu_si512(o, _mm512_slli_epi16(h0, 5));
      _mm512_storeu_si512(o + 32, _mm512_slli_epi16(h1, 5));
      sY0 = _mm512_add_epi16(sY0, dY0);
      sY1 = _mm512_add_epi16(sY1, dY1);
      sH0 = _mm512_add_epi16(sH0, h0);
      sH1 = _mm512_add_epi16(sH1, h1);
    }
  }
  const __m512i one = _mm512_set1_epi16(1);
  // Pair lanes of the chroma sums: block b holds pairs 4b .. 4b + 3, 32-bit
  // lanes 2b and 2b + 1 after madd; lanes 0 .. 7 of uv are U, 8 .. 15 are V.
  const __m512i mU = _mm512_madd_epi16(sU, one), mV = _mm512_madd_epi16(sV, one);
  const __m512i kEven =
      _mm512_setr_epi32(0, 2, 4, 6, 8, 10, 12, 14, 16, 18, 20, 22, 24, 26, 28, 30);
  const __m512i uv = _mm512_add_epi32(
      _mm512_permutex2var_epi32(mU, kEven, mV),
      _mm512_permutex2var_epi32(mU, _mm512_add_epi32(kEven, _mm512_set1_epi32(1)), mV));
  blockOut8(blockSums(_mm512_madd_epi16(sY0, one), _mm512_madd_epi16(sY1, one)),
            blockSums(_mm512_madd_epi16(sH0, one), _mm512_madd_epi16(sH1, one)),
            _mm512_castsi512_si256(uv), _mm512_extracti64x4_epi64(uv, 1), absFix, ld, sg);
}
#endif

// The widest steps of the level over an even block row, from luma column x
// while they fit: eight blocks at AVX-512, then four at AVX2 and above;
// returns where the two-block steps go on (x itself below AVX2).
template <bool kSmall>
inline int wideSteps([[maybe_unused]] const Frame &f, [[maybe_unused]] int r0, int x,
                     [[maybe_unused]] int proWidth, [[maybe_unused]] int32_t fix,
                     [[maybe_unused]] int16_t *hd, [[maybe_unused]] ptrdiff_t hStride,
                     [[maybe_unused]] int16_t *ld, [[maybe_unused]] int16_t *sg) {
#if defined(__AVX512BW__)
  const __m512i uvf32 = _mm512_set1_epi16(low16(fix));
  const __m512i absFix =
      _mm512_set1_epi64(fix < 0 ? 0u - static_cast<uint32_t>(fix) : static_cast<uint32_t>(fix));
  for (; x + 64 <= proWidth; x += 64)
    eightBlocks<kSmall>(f, r0, x, uvf32, absFix, hd, hStride, ld + (x >> 3), sg + (x >> 3));
#endif
#if defined(__AVX2__)
  const __m256i uvf8 = _mm256_set1_epi16(low16(fix));
  for (; x + 32 <= proWidth; x += 32)
    fourBlocks<kSmall>(f, r0, x, uvf8, fix, hd, hStride, ld + (x >> 3), sg + (x >> 3));
#endif
  return x;
}

template <bool kSmall>
void run(const Frame &f, const DiffPlanes &out, int proHeight, int proWidth, int32_t fix, int by0,
         int by1) {
  const __m128i uvf = _mm_set1_epi16(low16(fix));
  const ptrdiff_t hStride = proWidth + 2;
  // Blocks are 8x8; when proWidth (proHeight) is not a multiple of 8 the last
  // block of a row (column) is moved back to end at the grid's edge and
  // overlaps its neighbour: its hdiff samples are recomputed with equal
  // values, its block sums cover its own 64 samples.
  // out.hdiff's row 0 lies above the first block row's offset row.
  const int hRow0 = blockRowStart(by0, proHeight);
  for (int by = by0; by < by1; ++by) {
    const int r0 = blockRowStart(by, proHeight);
    int16_t *hd = out.hdiff + (r0 - hRow0 + 1) * hStride + 1;  // sample (r0, 0)
    int16_t *ld = out.ldiff + (by + 1) * out.lDiffStride + 1;
    int16_t *sg = out.sigma + (by + 4) * out.sigmaStride + 4;
    int x = 0;
    if ((r0 & 1) == 0) {
      x = wideSteps<kSmall>(f, r0, x, proWidth, fix, hd, hStride, ld, sg);
      for (; x + 16 <= proWidth; x += 16)
        twoBlocks<kSmall>(f, r0, x, uvf, fix, hd, hStride, ld + (x >> 3), sg + (x >> 3));
    }
    for (; x < proWidth; x += 8) {
      const int cx = x + 8 <= proWidth ? x : proWidth - 8;
      oneBlock<kSmall>(f, r0, cx, uvf, fix, hd, hStride, ld + (x >> 3), sg + (x >> 3));
    }
  }
}

}  // namespace

void frameDiff_x86(const Frames &fr, const Grid &g, const DiffPlanes &out, float uvRatio, int by0,
                   int by1) {
  const int32_t fix = uvRatioFix(uvRatio);
  const size_t W = static_cast<size_t>(fr.width);
  const Frame f{fr.cur, fr.pre, W, W * fr.height, W * fr.height * 3 / 2};
  const int16_t uvf16 = low16(fix);
  if (uvf16 >= 0 && uvf16 <= 128)
    run<true>(f, out, g.height, g.width, fix, by0, by1);
  else
    run<false>(f, out, g.height, g.width, fix, by0, by1);
}

}  // namespace tnr_md::TNR_MD_X86_NS
