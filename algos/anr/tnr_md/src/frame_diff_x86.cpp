// Frame difference with 8x8 block downscale, x86-64 form, one source for
// every level: the widest vector of the level takes its bytes' columns per
// step (2 blocks in 128 bits, 4 in 256, 8 in 512), the narrower ones the rest
// of the row, in four sweeps of two rows along the block row that carry the
// blocks' sums from one to the next, each chroma row de-interleaved and
// weighted once for its two luma rows. Blocks that do not fit that pattern (a lone last block, a
// moved-back block, a moved-back block row starting at an odd row) go through
// an 8-column step that takes each column's chroma pair as the per-sample
// rule names it.
#include <cstdint>
#include <cstring>
#include <type_traits>

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

// Low16(RoundShift(a x uvf, 7)) of 16-bit lanes, a in 0 .. 510.
template <class S, bool kSmall>
inline typename S::V chromaTerm(typename S::V a, typename S::V uvf) {
  if (kSmall) {
    // 0 <= uvf <= 128: the product fits 16 unsigned bits, and
    // (x + 64) >> 7 = ((x >> 6) + 1) >> 1.
    return S::avg(S::srl6(S::mullo(a, uvf)), S::zero());
  }
  const typename S::V lo = S::mullo(a, uvf), hi = S::mulhi(a, uvf), r = S::set1x32(64);
  const typename S::V p0 = S::sra32by7(S::add32(S::unpacklo16(lo, hi), r));
  const typename S::V p1 = S::sra32by7(S::add32(S::unpackhi16(lo, hi), r));
  // Keep the low 16 bits (a plain narrowing, not a saturating one); the
  // in-lane unpacks and pack keep the lane order.
  return S::packs32(S::sra32by16(S::sll32by16(p0)), S::sra32by16(S::sll32by16(p1)));
}

struct Frame {
  const uint8_t *cur, *pre;
  size_t W;            // pitch
  size_t chromaStart;  // W x imgHeight
  size_t bytes;        // W x imgHeight x 3 / 2
};

// The outputs of 2 or 4 blocks from their column sums (sY0, sH0: the first
// kLanes columns, sY1, sH1: the next) and pair sums (sU, sV), with in-lane
// horizontal adds: 128-bit lane q of yh holds [Y(q), Y(q + Q), H(q), H(q +
// Q)] and of uv [U(2q), U(2q + 1), V(2q), V(2q + 1)], for blocks numbered
// from 0 and Q the vector's 128-bit lanes.
template <class S>
inline void blockOutputs(typename S::V sY0, typename S::V sY1, typename S::V sH0, typename S::V sH1,
                         typename S::V sU, typename S::V sV, int32_t fix, int16_t *ld,
                         int16_t *sg) {
  constexpr int Q = S::kBytes / 16;
  const typename S::V one = S::set1(1);
  const typename S::V yh = S::hadd32(S::hadd32(S::madd(sY0, one), S::madd(sY1, one)),
                                     S::hadd32(S::madd(sH0, one), S::madd(sH1, one)));
  const typename S::V uv = S::hadd32(S::madd(sU, one), S::madd(sV, one));
  alignas(32) int32_t a[4 * Q], b[4 * Q];
  S::store(a, yh);
  S::store(b, uv);
  // Each chroma difference serves 2 x 2 luma samples of the block.
  for (int i = 0; i < 2 * Q; ++i) {
    const int y = 4 * (i % Q) + i / Q, u = 4 * (i / 2) + (i & 1);
    blockOut(a[y], 4 * b[u], 4 * b[u + 2], a[y + 2], fix, ld + i, sg + i);
  }
}

#if defined(__AVX2__)
// The same for 4 blocks (256 bits) in vector lanes, as blockOutputs8 forms
// them: the chroma magnitude from |fix| in 64-bit products (a <= 8160, so
// a x |fix| < 2^45), its low 32 bits, taken as int32 and made absolute.
inline void blockOutputs4(__m256i sY0, __m256i sY1, __m256i sH0, __m256i sH1, __m256i sU,
                          __m256i sV, int32_t fix, int16_t *ld, int16_t *sg) {
  const __m256i one = _mm256_set1_epi16(1);
  // 128-bit lane q of yh: [Y(q), Y(q + 2), H(q), H(q + 2)], of uv: [U(2q),
  // U(2q + 1), V(2q), V(2q + 1)]; put in block order.
  const __m256i yh = _mm256_permutevar8x32_epi32(
      _mm256_hadd_epi32(
          _mm256_hadd_epi32(_mm256_madd_epi16(sY0, one), _mm256_madd_epi16(sY1, one)),
          _mm256_hadd_epi32(_mm256_madd_epi16(sH0, one), _mm256_madd_epi16(sH1, one))),
      _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7));
  const __m256i uv = _mm256_permutevar8x32_epi32(
      _mm256_hadd_epi32(_mm256_madd_epi16(sU, one), _mm256_madd_epi16(sV, one)),
      _mm256_setr_epi32(0, 1, 4, 5, 2, 3, 6, 7));
  const __m128i sumY = _mm256_castsi256_si128(yh), sumH = _mm256_extracti128_si256(yh, 1);
  const __m256i absFix =
      _mm256_set1_epi64x(fix < 0 ? 0u - static_cast<uint32_t>(fix) : static_cast<uint32_t>(fix));
  const __m256i r = _mm256_set1_epi64x(64), low32 = _mm256_setr_epi32(0, 2, 4, 6, 0, 2, 4, 6);
  // a = |4 s| >> 1 = 2 |s| of each chroma sum s (the pair sums count once
  // here; each chroma difference serves 2 x 2 luma samples).
  const __m256i a = _mm256_slli_epi32(_mm256_abs_epi32(uv), 1);
  const auto term = [&](__m128i a4) {
    const __m256i p = _mm256_srli_epi64(
        _mm256_add_epi64(_mm256_mul_epu32(_mm256_cvtepu32_epi64(a4), absFix), r), 7);
    return _mm_abs_epi32(_mm256_castsi256_si128(_mm256_permutevar8x32_epi32(p, low32)));
  };
  const __m128i ds = _mm_add_epi32(
      _mm_add_epi32(_mm_abs_epi32(_mm_srai_epi32(sumY, 1)), term(_mm256_castsi256_si128(a))),
      term(_mm256_extracti128_si256(a, 1)));
  const __m128i sigma = _mm_abs_epi32(_mm_sub_epi32(ds, _mm_srai_epi32(sumH, 1)));
  // The low 16 bits of each.
  const __m128i low16s = _mm_setr_epi8(0, 1, 4, 5, 8, 9, 12, 13, -1, -1, -1, -1, -1, -1, -1, -1);
  _mm_storel_epi64(reinterpret_cast<__m128i *>(ld), _mm_shuffle_epi8(ds, low16s));
  _mm_storel_epi64(reinterpret_cast<__m128i *>(sg), _mm_shuffle_epi8(sigma, low16s));
}
#endif

// The outputs of eight blocks (512 bits) from their sums, in vector lanes.
// Lane b of blockSums: the sum of 32-bit lanes 4b .. 4b + 3 of lo (b < 4) or
// of hi (b >= 4), that is the sum of a block whose 8 columns madd folded into
// 4. As blockOut: the chroma magnitude (|P| + 64) >> 7 with P = a x fix is
// formed from |fix| in 64 bits and kept to its low 32 bits; only its absolute
// value as int32 enters dsDiff00, so the sign of P drops out.
template <class S>
inline __m256i blockSums(__m512i lo, __m512i hi) {
  const __m512i k02 = _mm512_setr_epi32(0, 4, 8, 12, 16, 20, 24, 28, 2, 6, 10, 14, 18, 22, 26, 30);
  const __m512i k13 = _mm512_setr_epi32(1, 5, 9, 13, 17, 21, 25, 29, 3, 7, 11, 15, 19, 23, 27, 31);
  const __m512i s = _mm512_add_epi32(_mm512_permutex2var_epi32(lo, k02, hi),
                                     _mm512_permutex2var_epi32(lo, k13, hi));
  return _mm256_add_epi32(_mm512_castsi512_si256(s), _mm512_extracti64x4_epi64(s, 1));
}
template <class S>
inline void blockOutputs8(__m512i sY0, __m512i sY1, __m512i sH0, __m512i sH1, __m512i sU,
                          __m512i sV, int32_t fix, int16_t *ld, int16_t *sg) {
  const __m512i one = _mm512_set1_epi16(1);
  // Pair lanes of the chroma sums: block b holds pairs 4b .. 4b + 3, 32-bit
  // lanes 2b and 2b + 1 after madd; lanes 0 .. 7 of uv are U, 8 .. 15 are V.
  const __m512i mU = _mm512_madd_epi16(sU, one), mV = _mm512_madd_epi16(sV, one);
  const __m512i kEven =
      _mm512_setr_epi32(0, 2, 4, 6, 8, 10, 12, 14, 16, 18, 20, 22, 24, 26, 28, 30);
  const __m512i uv = _mm512_add_epi32(
      _mm512_permutex2var_epi32(mU, kEven, mV),
      _mm512_permutex2var_epi32(mU, _mm512_add_epi32(kEven, _mm512_set1_epi32(1)), mV));
  const __m256i sumY = blockSums<S>(_mm512_madd_epi16(sY0, one), _mm512_madd_epi16(sY1, one));
  const __m256i sumH = blockSums<S>(_mm512_madd_epi16(sH0, one), _mm512_madd_epi16(sH1, one));
  const __m256i sumU = _mm512_castsi512_si256(uv), sumV = _mm512_extracti64x4_epi64(uv, 1);

  const __m512i absFix =
      _mm512_set1_epi64(fix < 0 ? 0u - static_cast<uint32_t>(fix) : static_cast<uint32_t>(fix));
  const __m512i r = _mm512_set1_epi64(64);
  // a = |4 s| >> 1 = 2 |s|, at most 8160.
  const __m512i aU = _mm512_cvtepu32_epi64(_mm256_slli_epi32(_mm256_abs_epi32(sumU), 1));
  const __m512i aV = _mm512_cvtepu32_epi64(_mm256_slli_epi32(_mm256_abs_epi32(sumV), 1));
  const __m256i u00 = _mm512_cvtepi64_epi32(
      _mm512_srli_epi64(_mm512_add_epi64(_mm512_mul_epu32(aU, absFix), r), 7));
  const __m256i v00 = _mm512_cvtepi64_epi32(
      _mm512_srli_epi64(_mm512_add_epi64(_mm512_mul_epu32(aV, absFix), r), 7));
  const __m256i ds = _mm256_add_epi32(
      _mm256_add_epi32(_mm256_abs_epi32(_mm256_srai_epi32(sumY, 1)), _mm256_abs_epi32(u00)),
      _mm256_abs_epi32(v00));
  const __m256i yuv = _mm256_srai_epi32(sumH, 1);
  _mm_storeu_si128(reinterpret_cast<__m128i *>(ld), _mm256_cvtepi32_epi16(ds));
  _mm_storeu_si128(reinterpret_cast<__m128i *>(sg),
                   _mm256_cvtepi32_epi16(_mm256_abs_epi32(_mm256_sub_epi32(ds, yuv))));
}

// The running sums of S::kBytes / 8 blocks: per 16-bit lane, the luma
// difference and the hdiff sample of the first and the second kLanes columns
// (sY0, sH0; sY1, sH1), the U and V differences of each chroma pair (sU, sV).
template <class S>
struct Sums {
  typename S::V sY0, sY1, sH0, sH1, sU, sV;
};

// One sweep of a block row: two luma rows (the first even) and their chroma
// row of each frame, at column 0; the two difference rows written, at
// sample 0; and, where `next` is set, the rows of the sweep after it (the
// next block row's first two after the last sweep), asked for ahead.
struct Sweep {
  const uint8_t *cur[2], *pre[2], *curC, *preC;
  int16_t *out[2];
  const uint8_t *next[6];
  bool prefetch;
};

Sweep sweepAt(const Frame &f, int row, int16_t *out, ptrdiff_t hStride, bool prefetch) {
  Sweep w;
  for (int j = 0; j < 2; ++j) {
    const size_t lo = static_cast<size_t>(row + j) * f.W;
    w.cur[j] = f.cur + lo;
    w.pre[j] = f.pre + lo;
    w.out[j] = out + j * hStride;
    w.next[2 * j] = w.cur[j] + 2 * f.W;
    w.next[2 * j + 1] = w.pre[j] + 2 * f.W;
  }
  const size_t co = f.chromaStart + static_cast<size_t>(row >> 1) * f.W;
  w.curC = f.cur + co;
  w.preC = f.pre + co;
  w.next[4] = w.curC + f.W;
  w.next[5] = w.preC + f.W;
  w.prefetch = prefetch;
  return w;
}

// The sweep's two rows of the S::kBytes / 8 blocks at luma columns cx .. cx
// + S::kBytes - 1 (cx even, within proWidth), added to s (from zero when
// `first`). Chroma bytes cx .. of the chroma row hold exactly the pairs of
// these columns; every load and store stays inside the block row's columns.
// The lines ahead are asked for once per 64 bytes of each row.
template <class S, bool kSmall>
inline void sweepBlocks(const Sweep &w, int cx, typename S::V uvf, Sums<S> &s, bool first) {
  using V = typename S::V;
  if (w.prefetch && (cx & 63) < S::kBytes)
    for (const uint8_t *n : w.next)
      _mm_prefetch(reinterpret_cast<const char *>(n + cx), _MM_HINT_T0);
  const V lowByte = S::set1(0xFF);
  const V c = S::load(w.curC + cx), p = S::load(w.preC + cx);
  // Lane j: pair j (U at byte 2j, V at 2j + 1), differences exact in 16 bits.
  const V dU = S::sub(S::band(c, lowByte), S::band(p, lowByte));
  const V dV = S::sub(S::srl8(c), S::srl8(p));
  // Each pair's term serves its two luma columns.
  V t0, t1;
  S::dupPairs(chromaTerm<S, kSmall>(S::add(S::abs(dU), S::abs(dV)), uvf), t0, t1);
  V sY0 = first ? S::zero() : s.sY0, sY1 = first ? S::zero() : s.sY1;
  V sH0 = first ? S::zero() : s.sH0, sH1 = first ? S::zero() : s.sH1;
  for (int j = 0; j < 2; ++j) {
    const V dY0 = S::sub(S::loadU8(w.cur[j] + cx), S::loadU8(w.pre[j] + cx));
    const V dY1 =
        S::sub(S::loadU8(w.cur[j] + cx + S::kLanes), S::loadU8(w.pre[j] + cx + S::kLanes));
    const V h0 = S::add(S::abs(dY0), t0);  // wraps
    const V h1 = S::add(S::abs(dY1), t1);
    S::store(w.out[j] + cx, S::sll5(h0));
    S::store(w.out[j] + cx + S::kLanes, S::sll5(h1));
    sY0 = S::add(sY0, dY0);
    sY1 = S::add(sY1, dY1);
    sH0 = S::add(sH0, h0);
    sH1 = S::add(sH1, h1);
  }
  s = {sY0, sY1, sH0, sH1, first ? dU : S::add(s.sU, dU), first ? dV : S::add(s.sV, dV)};
}

// The outputs of the blocks of s at ld and sg.
template <class S>
inline void blockOutputsOf(const Sums<S> &s, int32_t fix, int16_t *ld, int16_t *sg) {
  if constexpr (S::kBytes == 64)
    blockOutputs8<S>(s.sY0, s.sY1, s.sH0, s.sH1, s.sU, s.sV, fix, ld, sg);
#if defined(__AVX2__)
  else if constexpr (S::kBytes == 32)
    blockOutputs4(s.sY0, s.sY1, s.sH0, s.sH1, s.sU, s.sV, fix, ld, sg);
#endif
  else
    blockOutputs<S>(s.sY0, s.sY1, s.sH0, s.sH1, s.sU, s.sV, fix, ld, sg);
}

// One block at luma columns cx .. cx + 7, rows r0 .. r0 + 7, any parity.
// Column l takes pair (cx + l) >> 1, that is byte 2 x ((l + (cx & 1)) >> 1)
// from the pair-aligned start cx & ~1; the 16-byte chroma loads read bytes
// (cx & ~1) .. +15, from a local copy where that would pass the frame's end.
template <bool kSmall>
inline void oneBlock(const Frame &f, int r0, int cx, int32_t fix, int16_t *hOut, ptrdiff_t hStride,
                     int16_t *ld, int16_t *sg) {
  const __m128i uvf = _mm_set1_epi16(low16(fix));
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
      t = chromaTerm<V128, kSmall>(_mm_add_epi16(_mm_abs_epi16(dU), _mm_abs_epi16(dV)), uvf);
    }
    const size_t lo = static_cast<size_t>(row) * f.W + cx;
    const __m128i dY = _mm_sub_epi16(V128::loadU8(f.cur + lo), V128::loadU8(f.pre + lo));
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

// The vector steps of a block row starting at an even row r0 (luma rows r0
// .. r0 + 7; hd points at the difference plane's sample (r0, 0)), in four
// sweeps of two rows across a span of columns, the blocks' sums carried
// from one sweep to the next in arrays of the span: a sweep walks 3 rows of
// each frame and 2 of the difference plane, where the whole block row
// at once would walk 12 and 8, more than the hardware prefetcher follows.
// Each sweep asks for the next one's rows: without the hint the sweeps
// took as long as the whole block rows did. Returns the first column left
// to the 8-column step.
constexpr int kSpan = 2048;  // columns per span; a multiple of every vector's bytes

template <class S, bool kSmall>
inline int sweepSteps(const Sweep &w, int k0, int x, int xEnd, typename S::V uvf, int32_t fix,
                      int16_t *ld, int16_t *sg, Sums<S> *acc) {
  for (; x + S::kBytes <= xEnd; x += S::kBytes, ++acc) {
    sweepBlocks<S, kSmall>(w, x, uvf, *acc, k0 == 0);
    if (k0 == 6) blockOutputsOf<S>(*acc, fix, ld + (x >> 3), sg + (x >> 3));
  }
  return x;
}

template <bool kSmall>
int evenBlockRow(const Frame &f, int r0, int proHeight, int proWidth, int32_t fix, int16_t *hd,
                 ptrdiff_t hStride, int16_t *ld, int16_t *sg) {
  // The sums of one span: its Widest steps, then at most one Wide and one
  // 16-column step (a span ends at the row's end or at a multiple of kSpan).
  Sums<Widest> wideSums[kSpan / Widest::kBytes];
  Sums<Wide> wSums[1];
  Sums<V128> nSums[1];
  const typename Widest::V uvfX = Widest::set1(low16(fix));
  const typename Wide::V uvfW = Wide::set1(low16(fix));
  const __m128i uvfN = _mm_set1_epi16(low16(fix));
  for (int x0 = 0;;) {
    const int end = proWidth - x0 > kSpan ? x0 + kSpan : proWidth;
    int x = x0;
    for (int k0 = 0; k0 < 8; k0 += 2) {
      // The rows the next sweep reads lie inside the grid.
      const Sweep w = sweepAt(f, r0 + k0, hd + k0 * hStride, hStride, r0 + k0 + 4 <= proHeight);
      x = sweepSteps<Widest, kSmall>(w, k0, x0, end, uvfX, fix, ld, sg, wideSums);
      if constexpr (!std::is_same_v<Widest, Wide>)
        x = sweepSteps<Wide, kSmall>(w, k0, x, end, uvfW, fix, ld, sg, wSums);
      x = sweepSteps<V128, kSmall>(w, k0, x, end, uvfN, fix, ld, sg, nSums);
    }
    if (end == proWidth || x < end) return x;
    x0 = end;
  }
}

template <bool kSmall>
void run(const Frame &f, const DiffPlanes &out, int proHeight, int proWidth, int32_t fix, int by0,
         int by1) {
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
      x = evenBlockRow<kSmall>(f, r0, proHeight, proWidth, fix, hd, hStride, ld, sg);
    }
    for (; x < proWidth; x += 8) {
      const int cx = x + 8 <= proWidth ? x : proWidth - 8;
      oneBlock<kSmall>(f, r0, cx, fix, hd, hStride, ld + (x >> 3), sg + (x >> 3));
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
