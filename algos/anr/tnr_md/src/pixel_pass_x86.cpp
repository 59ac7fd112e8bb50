// Per-pixel pass, x86-64 form: 16 pixels per block at every level, 32 at
// AVX2 and above, sixty-four still pixels per step at AVX-512. Results equal
// pixelPass_c byte for byte.
#include <cstdint>
#include <cstring>

#include "arith.h"
#include "gauss3x3_x86.h"
#include "kernels.h"
#include "recip_x86.h"
#include "x86_vec.h"

#if defined(__AVX512BW__) && defined(__AVX512VL__)
#define TNR_MD_PIXEL_AVX512 1
#else
#define TNR_MD_PIXEL_AVX512 0
#endif

// Exact shortcuts, each equal to the per-sample arithmetic for every input:
// - lAlpha: T(m) x (8 - w) + T(m + 1) x w as one byte multiply-add (all
//   operands at most 128 and 8).
// - newPreAlpha: with den = 256 - preAlpha, the product staticAlpha x 128 x
//   RecipRefine(den), plus 0.5 and truncated, equals the quotient rounded to
//   nearest with halves down, floor(n / d) with n = 256 staticAlpha + den - 1
//   and d = 2 den, for every staticAlpha 0 .. 128 and preAlpha 0 .. 255
//   (checked exhaustively by the tests). The quotient comes from the x86
//   reciprocal estimate (relative error at most 1.5 x 2^-12 on every x86
//   implementation, 2^-14 for the AVX-512 one) and one Newton-Raphson step:
//   n x r then lies within 6e-5 of n / d wherever n / d < 130. Below 130 a
//   quotient that is not an integer lies at least 1 / d >= 1 / 512 under the
//   next one, so adding 1 / 1024 and truncating gives floor(n / d) exactly;
//   from 129 on the clamp to 128 decides. The result is the same whichever
//   estimate the processor has.
// - Blends: RoundShift(p w + c (128 - w), 7) = c + RoundShift((p - c) w, 7),
//   the second term a rounding high-half multiply of 2 (p - c) by 128 w.
// - staticRatio: RoundShift(sa^2 x delta, 14) as a rounding high-half
//   multiply of sa^2 (at most 16384) by 2 delta (at most 256).
// - A block whose four row-buffer columns are 0 has lAlpha, hence
//   motionAlpha, 0 in every lane: its high-sigma alpha is skipped.
// - hAlpha keeps the float steps: the product and the sum rounded on their
//   own, then truncated and clamped to 128.
//
// Tail policy: a row whose width is not a multiple of 16 ends with a block
// moved back to end at the row's end; the lanes before its nominal start keep
// what the previous block wrote (a masked store at AVX-512, a blend with the
// bytes in memory below it), so every in-place update is applied once.
// Rows narrower than 16 pixels take the per-sample form.
namespace tnr_md::TNR_MD_X86_NS {
namespace {

// invSigma of n entries (read as int32), four divisions per instruction
// where the level has AVX2.
inline void invSigmaRow(const uint32_t *sH, float *inv, int n) {
  int i = 0;
#if defined(__AVX2__)
  const __m256d one = _mm256_set1_pd(1.0);
  for (; i + 4 <= n; i += 4)
    _mm_storeu_ps(inv + i, _mm256_cvtpd_ps(_mm256_div_pd(one, _mm256_cvtepi32_pd(loadu(sH + i)))));
#endif
  for (; i < n; ++i) inv[i] = invSigma(static_cast<int32_t>(sH[i]));
}

// hAlpha of one smoothed difference h as hAlpha8 computes it lane by lane,
// for a high sigma below 2^24 (where (h - sH) x 128 is exact).
inline int hAlphaOf(int h, int32_t sH, float inv) {
  const int32_t d = h > sH ? (h - sH) << 7 : 0;
  const float f = static_cast<float>(d) * inv;
  const float g = f + 0.5f;
  if (!(g > 0.0f)) return 0;  // NaN (0 x infinity) and 0
  return g >= 128.0f ? 128 : static_cast<int>(g);
}

// One below the least smoothed difference whose hAlpha is 128 (hAlpha never
// falls as h grows), or 32767 where no h of 16 bits reaches it (and for
// sigmas from 2^24 on, which keep the general path).
inline int16_t saturationBelow(int32_t sH, float inv) {
  if (sH < 0 || sH >= (1 << 24) || sH >= 32767) return 32767;
  // hAlpha is 128 where the rounded product reaches 127.5.
  const double est = sH + (127.5 - 0x1p-18) / (128.0 * static_cast<double>(inv));
  int h = est >= 32767.0 ? 32768 : static_cast<int>(est) + 1;
  if (h <= sH) h = sH + 1;
  while (h > sH + 1 && hAlphaOf(h - 1, sH, inv) == 128) --h;
  while (h <= 32767 && hAlphaOf(h, sH, inv) < 128) ++h;
  return static_cast<int16_t>(h - 1);
}

// Reciprocal estimate and one Newton-Raphson step (error bound above).
inline __m128 recipStep(__m128 d, __m128 r) {
  return _mm_mul_ps(r, _mm_sub_ps(_mm_set1_ps(2.0f), _mm_mul_ps(d, r)));
}
// min(floor(n / d), 128) of 4 lanes (n, d exact in single precision).
[[maybe_unused]] inline __m128i quotient4(__m128i n, __m128i d) {
  const __m128 df = _mm_cvtepi32_ps(d);
  const __m128 r = recipStep(df, _mm_rcp_ps(df));
  const __m128 q = _mm_add_ps(_mm_mul_ps(_mm_cvtepi32_ps(n), r), _mm_set1_ps(1.0f / 1024));
  return _mm_cvttps_epi32(_mm_min_ps(q, _mm_set1_ps(128.0f)));
}

// hAlpha of 4 lanes: min(trunc(max(h - sH, 0) x 128 x inv + 0.5), 128), the
// subtraction and the shift wrapping in 32 bits. max_ps(f, 0) maps NaN
// (0 x infinity) and negative values to 0, as the saturating conversion does;
// the clamp to 128 comes before the conversion, which then only truncates.
// (The 128-bit helpers serve the SSE4.1 build.)
[[maybe_unused]] inline __m128i hAlpha4(__m128i h32, __m128i sH, __m128 inv) {
  __m128i d = _mm_max_epi32(_mm_sub_epi32(h32, sH), _mm_setzero_si128());
  d = _mm_slli_epi32(d, 7);
  __m128 f = _mm_mul_ps(_mm_cvtepi32_ps(d), inv);
  __asm__("" : "+x"(f));  // the product stays rounded on its own
  f = _mm_add_ps(f, _mm_set1_ps(0.5f));
  f = _mm_min_ps(_mm_max_ps(f, _mm_setzero_ps()), _mm_set1_ps(128.0f));
  return _mm_cvttps_epi32(f);
}

// newPreAlpha of 4 lanes from 32-bit staticAlpha and preAlpha.
[[maybe_unused]] inline __m128i newPreAlpha4(__m128i sa, __m128i pa) {
  const __m128i den = _mm_sub_epi32(_mm_set1_epi32(256), pa);
  const __m128i n = _mm_add_epi32(_mm_slli_epi32(sa, 8), _mm_sub_epi32(den, _mm_set1_epi32(1)));
  return quotient4(n, _mm_add_epi32(den, den));
}

// RoundShift(p x w + c x (128 - w), 7) of 8 lanes; w128 = 128 w.
[[maybe_unused]] inline __m128i blend8(__m128i c, __m128i p, __m128i w128) {
  const __m128i d = _mm_sub_epi16(p, c);
  return _mm_add_epi16(c, _mm_mulhrs_epi16(_mm_add_epi16(d, d), w128));
}
[[maybe_unused]] inline __m128i blend16(__m128i c, __m128i p, __m128i w128lo, __m128i w128hi) {
  const __m128i z = _mm_setzero_si128();
  return _mm_packus_epi16(blend8(_mm_unpacklo_epi8(c, z), _mm_unpacklo_epi8(p, z), w128lo),
                          blend8(_mm_unpackhi_epi8(c, z), _mm_unpackhi_epi8(p, z), w128hi));
}

// Which lanes of a block a store may write: all of them, or (kMasked) those
// from the moved-back block's nominal start on.
#if TNR_MD_PIXEL_AVX512
using Keep = __mmask16;  // bit p set: lane p is written
inline Keep keepFrom(int first) { return static_cast<__mmask16>(0xFFFFu << first); }
template <bool kMasked>
inline void store16(uint8_t *dst, __m128i v, Keep keep) {
  if (kMasked)
    _mm_mask_storeu_epi8(dst, keep, v);
  else
    storeu(dst, v);
}
#else
using Keep = __m128i;  // lane p all ones: lane p keeps the byte in memory
inline Keep keepFrom(int first) {
  return _mm_cmplt_epi8(_mm_setr_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15),
                        _mm_set1_epi8(static_cast<char>(first)));
}
template <bool kMasked>
inline void store16(uint8_t *dst, __m128i v, Keep keep) {
  if (kMasked) v = _mm_blendv_epi8(v, loadu(dst), keep);
  storeu(dst, v);
}
#endif

struct PassConst {
  uint8_t ratioRByte;  // static_ratio_r
  __m128i ratioR;   // static_ratio_r, 16-bit lanes
  __m128i delta2;   // 2 x static_ratio_delta, 16-bit lanes
  __m128i chromaW;  // byte p takes lane 2 (p >> 1) + 1
};

struct BlockIo {
  const int16_t *hdiff;
  ptrdiff_t filterStride;  // 0: hdiff is smoothed; else its pitch, and smoothed here
  uint8_t *preAlpha;
  uint8_t *curY;
  const uint8_t *preY;
  uint8_t *curC;  // null on even rows
  const uint8_t *preC;
  uint8_t *alpha;
  uint8_t *gain;
};

// The smoothed difference of 8 (16) pixels from o: loaded, or formed here
// from the unsmoothed plane, exactly as the 3x3 filter forms it.
[[maybe_unused]] inline __m128i hdiff8(const BlockIo &io, ptrdiff_t o) {
  return io.filterStride ? gauss_x86::filterAt<V128>(io.hdiff + o, io.filterStride)
                         : loadu(io.hdiff + o);
}
#if defined(__AVX2__)
inline __m256i hdiff16(const BlockIo &io, ptrdiff_t o) {
  return io.filterStride ? gauss_x86::filterAt<V256>(io.hdiff + o, io.filterStride)
                         : _mm256_loadu_si256(reinterpret_cast<const __m256i *>(io.hdiff + o));
}
#endif

// The high sigma and its reciprocal of each lane of a block: for a block at a
// multiple of 16, lanes 0 .. 7 take one block column and lanes 8 .. 15 the
// next; in the moved-back block each lane takes its own.
#if TNR_MD_PIXEL_AVX512
struct Sigma16 {
  __m512i sH;
  __m512 inv;
  Sigma16(int32_t s0, int32_t s1, float i0, float i1)
      : sH(_mm512_mask_set1_epi32(_mm512_set1_epi32(s0), 0xFF00, s1)),
        inv(_mm512_mask_broadcastss_ps(_mm512_set1_ps(i0), 0xFF00, _mm_set_ss(i1))) {}
  Sigma16(const int32_t *s, const float *i) : sH(_mm512_loadu_si512(s)), inv(_mm512_loadu_ps(i)) {}
};
#elif defined(__AVX2__)
struct Sigma16 {
  __m256i sH[2];
  __m256 inv[2];
  Sigma16(int32_t s0, int32_t s1, float i0, float i1)
      : sH{_mm256_set1_epi32(s0), _mm256_set1_epi32(s1)},
        inv{_mm256_set1_ps(i0), _mm256_set1_ps(i1)} {}
  Sigma16(const int32_t *s, const float *i)
      : sH{_mm256_loadu_si256(reinterpret_cast<const __m256i *>(s)),
           _mm256_loadu_si256(reinterpret_cast<const __m256i *>(s + 8))},
        inv{_mm256_loadu_ps(i), _mm256_loadu_ps(i + 8)} {}
};
#else
struct Sigma16 {
  __m128i sH[4];
  __m128 inv[4];
  Sigma16(int32_t s0, int32_t s1, float i0, float i1) {
    sH[0] = sH[1] = _mm_set1_epi32(s0);
    sH[2] = sH[3] = _mm_set1_epi32(s1);
    inv[0] = inv[1] = _mm_set1_ps(i0);
    inv[2] = inv[3] = _mm_set1_ps(i1);
  }
  Sigma16(const int32_t *s, const float *i) {
    for (int q = 0; q < 4; ++q) {
      sH[q] = _mm_loadu_si128(reinterpret_cast<const __m128i *>(s + 4 * q));
      inv[q] = _mm_loadu_ps(i + 4 * q);
    }
  }
};
#endif

// The lAlpha of a block's 16 pixels in 16-bit lanes, from its two halves
// (lanes 0 .. 7 and 8 .. 15) or from 16 bytes: one 256-bit vector at AVX2 and
// above, two 128-bit ones below.
#if defined(__AVX2__)
using LAlpha16 = __m256i;
inline LAlpha16 lAlpha16(__m128i lo, __m128i hi) { return _mm256_set_m128i(hi, lo); }
inline LAlpha16 lAlpha16(__m128i bytes) { return _mm256_cvtepu8_epi16(bytes); }
#else
struct LAlpha16 {
  __m128i lo, hi;
};
inline LAlpha16 lAlpha16(__m128i lo, __m128i hi) { return {lo, hi}; }
inline LAlpha16 lAlpha16(__m128i bytes) {
  return {_mm_cvtepu8_epi16(bytes), _mm_unpackhi_epi8(bytes, _mm_setzero_si128())};
}
#endif

#if !defined(__AVX2__)
// One block in 128-bit registers: lAlpha as two 16-bit halves. Outputs are
// written in the order pPreAlpha, luma, chroma, pAlpha, gain.
template <bool kMasked, bool kStill = false>
inline void pixelBlock(const BlockIo &io, ptrdiff_t o, LAlpha16 la, const Sigma16 &sig,
                       const PassConst &pc, Keep keep) {
  const __m128i la0 = la.lo, la1 = la.hi;
  const __m128i z = _mm_setzero_si128();
  const __m128i r64 = _mm_set1_epi16(64), c128 = _mm_set1_epi16(128);
  __m128i sa0 = c128, sa1 = c128;  // kStill: lAlpha 0 everywhere, motionAlpha 0
  if (!kStill) {
    const __m128i h0 = hdiff8(io, o), h1 = hdiff8(io, o + 8);
    const __m128i ha0 = _mm_packs_epi32(
        hAlpha4(_mm_cvtepi16_epi32(h0), sig.sH[0], sig.inv[0]),
        hAlpha4(_mm_srai_epi32(_mm_unpackhi_epi16(h0, h0), 16), sig.sH[1], sig.inv[1]));
    const __m128i ha1 = _mm_packs_epi32(
        hAlpha4(_mm_cvtepi16_epi32(h1), sig.sH[2], sig.inv[2]),
        hAlpha4(_mm_srai_epi32(_mm_unpackhi_epi16(h1, h1), 16), sig.sH[3], sig.inv[3]));
    sa0 = _mm_sub_epi16(c128, _mm_srli_epi16(_mm_add_epi16(_mm_mullo_epi16(la0, ha0), r64), 7));
    sa1 = _mm_sub_epi16(c128, _mm_srli_epi16(_mm_add_epi16(_mm_mullo_epi16(la1, ha1), r64), 7));
  }

  const __m128i pa = loadu((io.preAlpha + o));
  const __m128i pa0 = _mm_unpacklo_epi8(pa, z), pa1 = _mm_unpackhi_epi8(pa, z);
  const __m128i w0 =
      _mm_packs_epi32(newPreAlpha4(_mm_unpacklo_epi16(sa0, z), _mm_unpacklo_epi16(pa0, z)),
                      newPreAlpha4(_mm_unpackhi_epi16(sa0, z), _mm_unpackhi_epi16(pa0, z)));
  const __m128i w1 =
      _mm_packs_epi32(newPreAlpha4(_mm_unpacklo_epi16(sa1, z), _mm_unpacklo_epi16(pa1, z)),
                      newPreAlpha4(_mm_unpackhi_epi16(sa1, z), _mm_unpackhi_epi16(pa1, z)));
  const __m128i w = _mm_packus_epi16(w0, w1);
  store16<kMasked>((io.preAlpha + o), w, keep);

  store16<kMasked>((io.curY + o),
                   blend16(loadu((io.curY + o)), loadu((io.preY + o)), _mm_slli_epi16(w0, 7),
                           _mm_slli_epi16(w1, 7)),
                   keep);

  if (io.curC) {
    const __m128i wc = _mm_shuffle_epi8(w, pc.chromaW);
    store16<kMasked>((io.curC + o),
                     blend16(loadu((io.curC + o)), loadu((io.preC + o)),
                             _mm_slli_epi16(_mm_unpacklo_epi8(wc, z), 7),
                             _mm_slli_epi16(_mm_unpackhi_epi8(wc, z), 7)),
                     keep);
  }

  const __m128i ratio0 =
      _mm_add_epi16(pc.ratioR, _mm_mulhrs_epi16(_mm_mullo_epi16(sa0, sa0), pc.delta2));
  const __m128i ratio1 =
      _mm_add_epi16(pc.ratioR, _mm_mulhrs_epi16(_mm_mullo_epi16(sa1, sa1), pc.delta2));
  store16<kMasked>((io.alpha + o), _mm_packus_epi16(ratio0, ratio1), keep);

  const __m128i g = loadu((io.gain + o));
  const __m128i g0 =
      _mm_srli_epi16(_mm_add_epi16(_mm_mullo_epi16(ratio0, _mm_unpacklo_epi8(g, z)), r64), 7);
  const __m128i g1 =
      _mm_srli_epi16(_mm_add_epi16(_mm_mullo_epi16(ratio1, _mm_unpackhi_epi8(g, z)), r64), 7);
  store16<kMasked>((io.gain + o), _mm_max_epu8(_mm_packus_epi16(g0, g1), _mm_set1_epi8(1)), keep);
}
#else
// The same block with 16 pixels in one vector of 16-bit lanes; the 32-bit
// steps run in one 512-bit vector at AVX-512, in two 256-bit ones at AVX2.

// 16-bit lanes (values 0 .. 255) to 16 bytes in order.
inline __m128i pack16(__m256i v) {
  return _mm_packus_epi16(_mm256_castsi256_si128(v), _mm256_extracti128_si256(v, 1));
}

// hAlpha of 8 lanes from 32-bit h.
inline __m256i hAlpha8(__m256i h32, __m256i sH, __m256 inv) {
  __m256i d = _mm256_max_epi32(_mm256_sub_epi32(h32, sH), _mm256_setzero_si256());
  d = _mm256_slli_epi32(d, 7);
  __m256 f = _mm256_mul_ps(_mm256_cvtepi32_ps(d), inv);
  __asm__("" : "+x"(f));  // the product stays rounded on its own
  f = _mm256_add_ps(f, _mm256_set1_ps(0.5f));
  f = _mm256_min_ps(_mm256_max_ps(f, _mm256_setzero_ps()), _mm256_set1_ps(128.0f));
  return _mm256_cvttps_epi32(f);
}
// min(floor(n / d), 128) of 8 lanes, n and d exact in single precision.
inline __m256i quotient8(__m256i n32, __m256i d32) {
  const __m256 d = _mm256_cvtepi32_ps(d32);
  __m256 r = _mm256_rcp_ps(d);
  r = _mm256_mul_ps(r, _mm256_sub_ps(_mm256_set1_ps(2.0f), _mm256_mul_ps(d, r)));
  const __m256 q =
      _mm256_add_ps(_mm256_mul_ps(_mm256_cvtepi32_ps(n32), r), _mm256_set1_ps(1.0f / 1024));
  return _mm256_cvttps_epi32(_mm256_min_ps(q, _mm256_set1_ps(128.0f)));
}

#if TNR_MD_PIXEL_AVX512
inline __m256i hAlpha16(__m256i h, const Sigma16 &sig) {
  __m512i d =
      _mm512_max_epi32(_mm512_sub_epi32(_mm512_cvtepi16_epi32(h), sig.sH), _mm512_setzero_si512());
  d = _mm512_slli_epi32(d, 7);
  __m512 f = _mm512_mul_ps(_mm512_cvtepi32_ps(d), sig.inv);
  __asm__("" : "+v"(f));  // the product stays rounded on its own
  f = _mm512_add_ps(f, _mm512_set1_ps(0.5f));
  f = _mm512_min_ps(_mm512_max_ps(f, _mm512_setzero_ps()), _mm512_set1_ps(128.0f));
  return _mm512_cvtepi32_epi16(_mm512_cvttps_epi32(f));
}
inline __m256i quotient16(__m256i n16, __m256i d16) {
  const __m512 d = _mm512_cvtepi32_ps(_mm512_cvtepu16_epi32(d16));
  __m512 r = _mm512_rcp14_ps(d);
  r = _mm512_mul_ps(r, _mm512_sub_ps(_mm512_set1_ps(2.0f), _mm512_mul_ps(d, r)));
  const __m512 q = _mm512_add_ps(_mm512_mul_ps(_mm512_cvtepi32_ps(_mm512_cvtepu16_epi32(n16)), r),
                                 _mm512_set1_ps(1.0f / 1024));
  return _mm512_cvtepi32_epi16(_mm512_cvttps_epi32(_mm512_min_ps(q, _mm512_set1_ps(128.0f))));
}
#else
// 32-bit lanes of a and b (each 8 values in order) to 16 values in order.
inline __m256i pack32(__m256i a, __m256i b) {
  return _mm256_permute4x64_epi64(_mm256_packs_epi32(a, b), 0xD8);
}
inline __m256i hAlpha16(__m256i h, const Sigma16 &sig) {
  return pack32(
      hAlpha8(_mm256_cvtepi16_epi32(_mm256_castsi256_si128(h)), sig.sH[0], sig.inv[0]),
      hAlpha8(_mm256_cvtepi16_epi32(_mm256_extracti128_si256(h, 1)), sig.sH[1], sig.inv[1]));
}
inline __m256i quotient16(__m256i n, __m256i d) {
  return pack32(quotient8(_mm256_cvtepu16_epi32(_mm256_castsi256_si128(n)),
                          _mm256_cvtepu16_epi32(_mm256_castsi256_si128(d))),
                quotient8(_mm256_cvtepu16_epi32(_mm256_extracti128_si256(n, 1)),
                          _mm256_cvtepu16_epi32(_mm256_extracti128_si256(d, 1))));
}
#endif

inline __m256i blend16x(__m256i c, __m256i p, __m256i w128) {
  const __m256i d = _mm256_sub_epi16(p, c);
  return _mm256_add_epi16(c, _mm256_mulhrs_epi16(_mm256_add_epi16(d, d), w128));
}

template <bool kMasked, bool kStill = false>
inline void pixelBlock(const BlockIo &io, ptrdiff_t o, LAlpha16 la, const Sigma16 &sig,
                       const PassConst &pc, Keep keep) {
  const __m256i r64 = _mm256_set1_epi16(64);
  __m256i sa = _mm256_set1_epi16(128);  // kStill: lAlpha 0 everywhere, motionAlpha 0
  if (!kStill) {
    const __m256i ha = hAlpha16(hdiff16(io, o), sig);
    sa = _mm256_sub_epi16(sa,
                          _mm256_srli_epi16(_mm256_add_epi16(_mm256_mullo_epi16(la, ha), r64), 7));
  }

  const __m256i pa = _mm256_cvtepu8_epi16(loadu((io.preAlpha + o)));
  const __m256i den = _mm256_sub_epi16(_mm256_set1_epi16(256), pa);
  const __m256i n =
      _mm256_add_epi16(_mm256_slli_epi16(sa, 8), _mm256_sub_epi16(den, _mm256_set1_epi16(1)));
  const __m256i w16 = quotient16(n, _mm256_add_epi16(den, den));
  const __m128i w = pack16(w16);
  store16<kMasked>((io.preAlpha + o), w, keep);

  const __m256i w128 = _mm256_slli_epi16(w16, 7);
  store16<kMasked>((io.curY + o),
                   pack16(blend16x(_mm256_cvtepu8_epi16(loadu((io.curY + o))),
                                   _mm256_cvtepu8_epi16(loadu((io.preY + o))), w128)),
                   keep);
  if (io.curC) {
    const __m256i wc = _mm256_slli_epi16(_mm256_cvtepu8_epi16(_mm_shuffle_epi8(w, pc.chromaW)), 7);
    store16<kMasked>((io.curC + o),
                     pack16(blend16x(_mm256_cvtepu8_epi16(loadu((io.curC + o))),
                                     _mm256_cvtepu8_epi16(loadu((io.preC + o))), wc)),
                     keep);
  }

  if (kStill) {
    // staticAlpha 128: the ratio is static_ratio_r + static_ratio_delta = 128
    // for every static_ratio_r_bit, and the gain keeps its value (0 becomes 1).
    store16<kMasked>((io.alpha + o), _mm_set1_epi8(static_cast<char>(128)), keep);
    store16<kMasked>((io.gain + o), _mm_max_epu8(loadu((io.gain + o)), _mm_set1_epi8(1)), keep);
    return;
  }
  const __m256i ratio = _mm256_add_epi16(
      _mm256_broadcastsi128_si256(pc.ratioR),
      _mm256_mulhrs_epi16(_mm256_mullo_epi16(sa, sa), _mm256_broadcastsi128_si256(pc.delta2)));
  store16<kMasked>((io.alpha + o), pack16(ratio), keep);

  const __m256i g = _mm256_srli_epi16(
      _mm256_add_epi16(_mm256_mullo_epi16(ratio, _mm256_cvtepu8_epi16(loadu((io.gain + o)))), r64),
      7);
  store16<kMasked>((io.gain + o), _mm_max_epu8(pack16(g), _mm_set1_epi8(1)), keep);
}

// Thirty-two pixels without lane-crossing shuffles: a 16-bit lane m holds
// the block's pixel pair (2m, 2m + 1) as two halves, e (even pixel) and o
// (odd pixel), split and joined with masks and shifts; the 32-bit steps
// split each half once more. x86 has a single shuffle port, and the 16-pixel
// block above spends most of its time waiting for it.
struct Split {
  __m256i e, o;  // 16-bit lanes
};
inline Split split8(__m256i v) {
  return {_mm256_and_si256(v, _mm256_set1_epi16(0x00FF)), _mm256_srli_epi16(v, 8)};
}
inline __m256i join8(__m256i e, __m256i o) {  // both halves 0 .. 255
  return _mm256_or_si256(e, _mm256_slli_epi16(o, 8));
}
// min(floor(n / d), 128) of 16-bit lanes (n < 65536, 2 <= d <= 512).
inline __m256i quotientSplit(__m256i n, __m256i d) {
  const __m256i lo = _mm256_set1_epi32(0xFFFF);
  const __m256i qe = quotient8(_mm256_and_si256(n, lo), _mm256_and_si256(d, lo));
  const __m256i qo = quotient8(_mm256_srli_epi32(n, 16), _mm256_srli_epi32(d, 16));
  return _mm256_or_si256(qe, _mm256_slli_epi32(qo, 16));
}

// The new weight of a still pixel (staticAlpha 128) by its previous weight
// pa: floor((32767 + den) / (2 den)) with den = 256 - pa, the quotient above
// for staticAlpha 128; it is 128 for every pa from 128 on.
constexpr uint8_t stillWeight(int pa) {
  return static_cast<uint8_t>((32767 + (256 - pa)) / (2 * (256 - pa)));
}

// The weights of the lanes whose pa is below 128 (the others are blended to
// 128 after), on 32 and, at AVX-512, on 64 bytes.
#if defined(__AVX512VBMI__)
// With AVX-512 VBMI the 128 weights below 128 are one two-register byte
// permute away (index bits 0 .. 6; bit 7 is ignored, its lanes take 128).
struct StillTable {
  alignas(64) uint8_t w[128];
};
constexpr StillTable makeStillTable() {
  StillTable t{};
  for (int pa = 0; pa < 128; ++pa) t.w[pa] = stillWeight(pa);
  return t;
}
constexpr StillTable kStillTable = makeStillTable();
inline __m512i stillBelow128x64(__m512i pa) {
  return _mm512_permutex2var_epi8(_mm512_load_si512(kStillTable.w), pa,
                                  _mm512_load_si512(kStillTable.w + 64));
}
inline __m256i stillBelow128x32(__m256i pa) {
  return _mm512_castsi512_si256(stillBelow128x64(_mm512_zextsi256_si512(pa)));
}
#else
// Without it, the weights below 128 are looked up in eight 16-entry tables,
// one per high nibble of pa. Row k holds table k XOR table k - 1, twice (one
// copy per 128-bit half): the lookups of rows 0 .. k all hit for a pa of high
// nibble k, those above it miss (their index has its top bit set), so the
// XOR of all eight lookups is table k.
struct StillWeights {
  alignas(32) uint8_t row[8][32];
};
constexpr StillWeights makeStillWeights() {
  StillWeights t{};
  for (int k = 0; k < 8; ++k)
    for (int l = 0; l < 16; ++l) {
      const uint8_t v = stillWeight(16 * k + l) ^ (k > 0 ? stillWeight(16 * (k - 1) + l) : 0);
      t.row[k][l] = t.row[k][l + 16] = v;
    }
  return t;
}
constexpr StillWeights kStillWeights = makeStillWeights();
inline __m256i stillBelow128x32(__m256i pa) {
  auto row = [](int k) {
    return _mm256_load_si256(reinterpret_cast<const __m256i *>(kStillWeights.row[k]));
  };
  __m256i idx = pa, w = _mm256_shuffle_epi8(row(0), idx);
  for (int k = 1; k < 8; ++k) {
    idx = _mm256_sub_epi8(idx, _mm256_set1_epi8(16));
    w = _mm256_xor_si256(w, _mm256_shuffle_epi8(row(k), idx));
  }
  return w;
}
#if TNR_MD_PIXEL_AVX512
inline __m512i stillBelow128x64(__m512i pa) {
  auto row = [](int k) {
    return _mm512_broadcast_i32x4(
        _mm_load_si128(reinterpret_cast<const __m128i *>(kStillWeights.row[k])));
  };
  __m512i idx = pa, w = _mm512_shuffle_epi8(row(0), idx);
  for (int k = 1; k < 8; ++k) {
    idx = _mm512_sub_epi8(idx, _mm512_set1_epi8(16));
    w = _mm512_xor_si512(w, _mm512_shuffle_epi8(row(k), idx));
  }
  return w;
}
#endif
#endif

inline __m256i stillWeight32(__m256i pa) {
  return _mm256_blendv_epi8(stillBelow128x32(pa), _mm256_set1_epi8(static_cast<char>(128)),
                            pa);  // pa >= 128
}

#if TNR_MD_PIXEL_AVX512
// The same on 64 bytes.
inline __m512i stillWeight64(__m512i pa) {
  return _mm512_mask_blend_epi8(_mm512_movepi8_mask(pa), stillBelow128x64(pa),
                                _mm512_set1_epi8(static_cast<char>(128)));  // pa >= 128
}

// Sixty-four still pixels at once: the weights, the blend and the constant
// outputs of pixelBlock32's still case, on 512-bit registers.
inline void stillBlock64(const BlockIo &io, ptrdiff_t o) {
  const __m512i w = stillWeight64(_mm512_loadu_si512(io.preAlpha + o));
  _mm512_storeu_si512(io.preAlpha + o, w);

  const __m512i lowByte = _mm512_set1_epi16(0x00FF);
  const __m512i w128E = _mm512_slli_epi16(_mm512_and_si512(w, lowByte), 7);
  const __m512i w128O = _mm512_slli_epi16(_mm512_srli_epi16(w, 8), 7);
  // c + round((p - c) x w / 128) of the even (odd) bytes of 16-bit lanes.
  auto blend = [&](const uint8_t *cur, const uint8_t *pre, __m512i wE, __m512i wO) {
    const __m512i c = _mm512_loadu_si512(cur), p = _mm512_loadu_si512(pre);
    const __m512i cE = _mm512_and_si512(c, lowByte), cO = _mm512_srli_epi16(c, 8);
    const __m512i dE = _mm512_sub_epi16(_mm512_and_si512(p, lowByte), cE);
    const __m512i dO = _mm512_sub_epi16(_mm512_srli_epi16(p, 8), cO);
    const __m512i e = _mm512_add_epi16(cE, _mm512_mulhrs_epi16(_mm512_add_epi16(dE, dE), wE));
    const __m512i od = _mm512_add_epi16(cO, _mm512_mulhrs_epi16(_mm512_add_epi16(dO, dO), wO));
    return _mm512_or_si512(e, _mm512_slli_epi16(od, 8));
  };
  _mm512_storeu_si512(io.curY + o, blend(io.curY + o, io.preY + o, w128E, w128O));
  // A chroma pair takes the weight of its right-hand luma pixel, the odd one.
  if (io.curC) _mm512_storeu_si512(io.curC + o, blend(io.curC + o, io.preC + o, w128O, w128O));
  _mm512_storeu_si512(io.alpha + o, _mm512_set1_epi8(static_cast<char>(128)));
  _mm512_storeu_si512(io.gain + o,
                      _mm512_max_epu8(_mm512_loadu_si512(io.gain + o), _mm512_set1_epi8(1)));
}
#endif

struct Block32 {
  int32_t t4;          // T columns n .. n + 3, n = x / 8
  uint16_t t45;        // T columns n + 4 and n + 5
  const uint32_t *sH;  // high sigmas of block columns n .. n + 3
  const float *inv;    // and their reciprocals
};

// A block of 32 pixels whose six T columns are 128 (lAlpha 128 in every
// lane: the interpolation of equal values) and whose smoothed differences
// all lie above their block column's satBelow (hAlpha 128): staticAlpha is
// 0, so the new weight is 0, the blends keep the current frame's bytes
// (c + RoundShift(0, 7)), which stay as they are, the static ratio is r and
// the gain max(RoundShift(r x g, 7), 1). satBelow: block columns n .. n + 3.
inline bool saturated32(const BlockIo &io, ptrdiff_t o, const int16_t *satBelow) {
  const __m256i s01 = _mm256_set_m128i(_mm_set1_epi16(satBelow[1]), _mm_set1_epi16(satBelow[0]));
  const __m256i s23 = _mm256_set_m128i(_mm_set1_epi16(satBelow[3]), _mm_set1_epi16(satBelow[2]));
  const __m256i above = _mm256_and_si256(_mm256_cmpgt_epi16(hdiff16(io, o), s01),
                                         _mm256_cmpgt_epi16(hdiff16(io, o + 16), s23));
  return _mm256_movemask_epi8(above) == -1;
}
inline void saturatedBlock32(const BlockIo &io, ptrdiff_t o, const PassConst &pc) {
  _mm256_storeu_si256(reinterpret_cast<__m256i *>(io.preAlpha + o), _mm256_setzero_si256());
  _mm256_storeu_si256(reinterpret_cast<__m256i *>(io.alpha + o),
                      _mm256_set1_epi8(static_cast<char>(pc.ratioRByte)));
  const __m256i g = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(io.gain + o));
  const __m256i r = _mm256_broadcastsi128_si256(pc.ratioR), r64 = _mm256_set1_epi16(64);
  const __m256i gE = _mm256_srli_epi16(
      _mm256_add_epi16(_mm256_mullo_epi16(_mm256_and_si256(g, _mm256_set1_epi16(0x00FF)), r), r64),
      7);
  const __m256i gO =
      _mm256_srli_epi16(_mm256_add_epi16(_mm256_mullo_epi16(_mm256_srli_epi16(g, 8), r), r64), 7);
  _mm256_storeu_si256(reinterpret_cast<__m256i *>(io.gain + o),
                      _mm256_max_epu8(_mm256_or_si256(gE, _mm256_slli_epi16(gO, 8)),
                                      _mm256_set1_epi8(1)));
}

template <bool kStill>
inline void pixelBlock32(const BlockIo &io, ptrdiff_t o, const Block32 &b, const PassConst &pc) {
  const __m256i r64 = _mm256_set1_epi16(64), c128 = _mm256_set1_epi16(128);
  Split sa{c128, c128};  // kStill: lAlpha 0 everywhere, motionAlpha 0
  if (!kStill) {
    // lAlpha: pixel p pairs T columns n + ((p + 4) >> 3) and the next with
    // weights 8 - w and w, w = (p + 4) & 7. Both halves use the same pairs.
    const __m256i t =
        _mm256_broadcastsi128_si256(_mm_insert_epi16(_mm_cvtsi32_si128(b.t4), b.t45, 2));
    const __m256i pairs = _mm256_setr_epi8(0, 1, 0, 1, 1, 2, 1, 2, 1, 2, 1, 2, 2, 3, 2, 3,  //
                                           2, 3, 2, 3, 3, 4, 3, 4, 3, 4, 3, 4, 4, 5, 4, 5);
    const __m256i wE = _mm256_setr_epi8(4, 4, 2, 6, 8, 0, 6, 2, 4, 4, 2, 6, 8, 0, 6, 2,  //
                                        4, 4, 2, 6, 8, 0, 6, 2, 4, 4, 2, 6, 8, 0, 6, 2);
    const __m256i wO = _mm256_setr_epi8(3, 5, 1, 7, 7, 1, 5, 3, 3, 5, 1, 7, 7, 1, 5, 3,  //
                                        3, 5, 1, 7, 7, 1, 5, 3, 3, 5, 1, 7, 7, 1, 5, 3);
    const __m256i tp = _mm256_shuffle_epi8(t, pairs);
    const __m256i four = _mm256_set1_epi16(4);
    const __m256i laE = _mm256_srli_epi16(_mm256_add_epi16(_mm256_maddubs_epi16(tp, wE), four), 3);
    const __m256i laO = _mm256_srli_epi16(_mm256_add_epi16(_mm256_maddubs_epi16(tp, wO), four), 3);

    // hAlpha: h0 holds pixels 0 .. 7 and 16 .. 23, h1 pixels 8 .. 15 and
    // 24 .. 31, so that packing their 32-bit halves gives pixel order.
    const __m256i f0 = hdiff16(io, o), f1 = hdiff16(io, o + 16);
    const __m256i h0 = _mm256_permute2x128_si256(f0, f1, 0x20);
    const __m256i h1 = _mm256_permute2x128_si256(f0, f1, 0x31);
    const __m256i s4 = _mm256_castsi128_si256(loadu(b.sH));
    const __m256 i4 = _mm256_castps128_ps256(_mm_loadu_ps(b.inv));
    const __m256i col02 = _mm256_setr_epi32(0, 0, 0, 0, 2, 2, 2, 2);
    const __m256i col13 = _mm256_setr_epi32(1, 1, 1, 1, 3, 3, 3, 3);
    const __m256i s02 = _mm256_permutevar8x32_epi32(s4, col02);
    const __m256i s13 = _mm256_permutevar8x32_epi32(s4, col13);
    const __m256 i02 = _mm256_permutevar8x32_ps(i4, col02);
    const __m256 i13 = _mm256_permutevar8x32_ps(i4, col13);
    const __m256i haE =
        _mm256_packus_epi32(hAlpha8(_mm256_srai_epi32(_mm256_slli_epi32(h0, 16), 16), s02, i02),
                            hAlpha8(_mm256_srai_epi32(_mm256_slli_epi32(h1, 16), 16), s13, i13));
    const __m256i haO = _mm256_packus_epi32(hAlpha8(_mm256_srai_epi32(h0, 16), s02, i02),
                                            hAlpha8(_mm256_srai_epi32(h1, 16), s13, i13));
    sa.e = _mm256_sub_epi16(
        c128, _mm256_srli_epi16(_mm256_add_epi16(_mm256_mullo_epi16(laE, haE), r64), 7));
    sa.o = _mm256_sub_epi16(
        c128, _mm256_srli_epi16(_mm256_add_epi16(_mm256_mullo_epi16(laO, haO), r64), 7));
  }

  auto loadu256 = [](const uint8_t *q) {
    return _mm256_loadu_si256(reinterpret_cast<const __m256i *>(q));
  };
  auto storeu256 = [](uint8_t *q, __m256i v) {
    _mm256_storeu_si256(reinterpret_cast<__m256i *>(q), v);
  };

  __m256i wE, wO;
  if (kStill) {
    const __m256i w = stillWeight32(loadu256(io.preAlpha + o));
    storeu256(io.preAlpha + o, w);
    const Split ws = split8(w);
    wE = ws.e;
    wO = ws.o;
  } else {
    const Split pa = split8(loadu256(io.preAlpha + o));
    const __m256i c256 = _mm256_set1_epi16(256), one = _mm256_set1_epi16(1);
    const __m256i denE = _mm256_sub_epi16(c256, pa.e), denO = _mm256_sub_epi16(c256, pa.o);
    wE = quotientSplit(_mm256_add_epi16(_mm256_slli_epi16(sa.e, 8), _mm256_sub_epi16(denE, one)),
                       _mm256_add_epi16(denE, denE));
    wO = quotientSplit(_mm256_add_epi16(_mm256_slli_epi16(sa.o, 8), _mm256_sub_epi16(denO, one)),
                       _mm256_add_epi16(denO, denO));
    storeu256(io.preAlpha + o, join8(wE, wO));
  }

  const __m256i w128E = _mm256_slli_epi16(wE, 7), w128O = _mm256_slli_epi16(wO, 7);
  {
    const Split c = split8(loadu256(io.curY + o)), p = split8(loadu256(io.preY + o));
    storeu256(io.curY + o, join8(blend16x(c.e, p.e, w128E), blend16x(c.o, p.o, w128O)));
  }
  if (io.curC) {
    // A chroma pair's U (even byte) and V (odd byte) take the weight of the
    // pair's right-hand luma pixel, the odd one.
    const Split c = split8(loadu256(io.curC + o)), p = split8(loadu256(io.preC + o));
    storeu256(io.curC + o, join8(blend16x(c.e, p.e, w128O), blend16x(c.o, p.o, w128O)));
  }

  const __m256i ff = _mm256_set1_epi8(1);
  if (kStill) {
    // staticAlpha 128: the ratio is static_ratio_r + static_ratio_delta = 128
    // for every static_ratio_r_bit, and the gain keeps its value (0 becomes 1).
    storeu256(io.alpha + o, _mm256_set1_epi8(static_cast<char>(128)));
    storeu256(io.gain + o, _mm256_max_epu8(loadu256(io.gain + o), ff));
    return;
  }
  const __m256i ratioR = _mm256_broadcastsi128_si256(pc.ratioR);
  const __m256i delta2 = _mm256_broadcastsi128_si256(pc.delta2);
  const __m256i ratioE =
      _mm256_add_epi16(ratioR, _mm256_mulhrs_epi16(_mm256_mullo_epi16(sa.e, sa.e), delta2));
  const __m256i ratioO =
      _mm256_add_epi16(ratioR, _mm256_mulhrs_epi16(_mm256_mullo_epi16(sa.o, sa.o), delta2));
  storeu256(io.alpha + o, join8(ratioE, ratioO));

  const Split g = split8(loadu256(io.gain + o));
  const __m256i gE = _mm256_srli_epi16(_mm256_add_epi16(_mm256_mullo_epi16(ratioE, g.e), r64), 7);
  const __m256i gO = _mm256_srli_epi16(_mm256_add_epi16(_mm256_mullo_epi16(ratioO, g.o), r64), 7);
  storeu256(io.gain + o, _mm256_max_epu8(join8(gE, gO), ff));
}
#endif

// The high sigmas of one block row and the reciprocals of its first
// kCached columns (the rest are divided as they come).
struct SigmaRow {
  static constexpr int kCached = 512;
  static constexpr int16_t kSatUnset = INT16_MIN;
  const uint32_t *sH;
  const float *inv;
  int16_t *sat;  // saturationBelow of the first kCached, kSatUnset until asked for
  float invAt(int col) const {
    return col < kCached ? inv[col] : invSigma(static_cast<int32_t>(sH[col]));
  }
  // saturationBelow of columns col .. col + 3 (all below kCached).
  const int16_t *satAt(int col) const {
    for (int i = col; i < col + 4; ++i)
      if (sat[i] == kSatUnset) sat[i] = saturationBelow(static_cast<int32_t>(sH[i]), inv[i]);
    return sat + col;
  }
};

// Sixty-four still pixels from x when T columns n .. n + 9 (n = x / 8) are
// all 0, at AVX-512; false, nothing done, otherwise and below AVX-512.
[[maybe_unused]] inline bool stillStep64([[maybe_unused]] const BlockIo &io, [[maybe_unused]] int x,
                        [[maybe_unused]] const uint8_t *tRow) {
#if TNR_MD_PIXEL_AVX512
  uint64_t t8;
  uint16_t t89;
  std::memcpy(&t8, tRow + (x >> 3), 8);
  std::memcpy(&t89, tRow + (x >> 3) + 8, 2);
  if ((t8 | t89) != 0) return false;
  stillBlock64(io, x);
  return true;
#else
  return false;
#endif
}

// The 32-pixel blocks from x while they fit before nFull, taking sixty-four
// still pixels at once where stillStep64 can; returns where the 16-pixel
// blocks go on. None below AVX2.
#if defined(__AVX2__)
inline int wideBlocks(const BlockIo &io, int x, int nFull, const uint8_t *tRow, const SigmaRow &sig,
                      const PassConst &pc) {
  while (x + 32 <= nFull) {
    if (x + 64 <= nFull && stillStep64(io, x, tRow)) {
      x += 64;
      continue;
    }
    // T columns n .. n + 5 with n = x / 8; when all are 0, so is every
    // lane's lAlpha and motionAlpha: the block is still.
    const int col = x >> 3;
    Block32 b;
    std::memcpy(&b.t4, tRow + col, 4);
    std::memcpy(&b.t45, tRow + col + 4, 2);
    b.sH = sig.sH + col;
    float inv4[4];
    if (col + 4 <= SigmaRow::kCached) {
      b.inv = sig.inv + col;
    } else {
      for (int i = 0; i < 4; ++i) inv4[i] = sig.invAt(col + i);
      b.inv = inv4;
    }
    // The six T columns as one value, from the registers they were loaded
    // into (a wider load of the Block32 fields would wait for their stores).
    const uint64_t t6 = static_cast<uint32_t>(b.t4) | uint64_t{b.t45} << 32;
    if (t6 == 0)
      pixelBlock32<true>(io, x, b, pc);
    else if (t6 == 0x808080808080u && col + 4 <= SigmaRow::kCached &&
             saturated32(io, x, sig.satAt(col)))
      saturatedBlock32(io, x, pc);
    else
      pixelBlock32<false>(io, x, b, pc);
    x += 32;
  }
  return x;
}
#else
inline int wideBlocks(const BlockIo &, int x, int, const uint8_t *, const SigmaRow &,
                      const PassConst &) {
  return x;
}
#endif

// The pass over rows [y0, y1) of a grid at least 16 pixels wide; with
// smoothHere, hdiff is the unsmoothed plane and each moving block smooths
// the samples it needs.
void pixelRows(const Frames &f, const Maps &m, const Grid &g, const PassRows &r, bool smoothHere) {
  const int proWidth = g.width;
  const int sigmaStride = g.blockCols + 8;
  const ptrdiff_t hDiffStride = proWidth + 2;
  const int rowBufStride = g.blockCols + 2;

  const uint8_t ratioR = staticRatioR(r.ratioRBit);
  PassConst pc;
  pc.ratioRByte = ratioR;
  pc.ratioR = _mm_set1_epi16(ratioR);
  pc.delta2 = _mm_set1_epi16(static_cast<int16_t>(2 * (128 - ratioR)));
  pc.chromaW = _mm_setr_epi8(1, 1, 3, 3, 5, 5, 7, 7, 9, 9, 11, 11, 13, 13, 15, 15);
  // lAlpha of a block starting at a multiple of 16 (phase 4): lane p pairs T
  // columns n + ((p + 4) >> 3) and the next, with weights 8 - w and w, w =
  // (p + 4) & 7; the same weights serve both halves.
  const __m128i pairLo = _mm_setr_epi8(0, 1, 0, 1, 0, 1, 0, 1, 1, 2, 1, 2, 1, 2, 1, 2);
  const __m128i pairHi = _mm_setr_epi8(1, 2, 1, 2, 1, 2, 1, 2, 2, 3, 2, 3, 2, 3, 2, 3);
  const __m128i pairW = _mm_setr_epi8(4, 4, 3, 5, 2, 6, 1, 7, 8, 0, 7, 1, 6, 2, 5, 3);
  const __m128i four = _mm_set1_epi16(4);

  float invRow[SigmaRow::kCached];
  const int cached = g.blockCols < SigmaRow::kCached ? g.blockCols : SigmaRow::kCached;
  int invRowOf = -1;
  int16_t satRow[SigmaRow::kCached];

  for (int y = r.y0; y < r.y1; ++y) {
    const uint8_t *tRow = r.rowBuf + static_cast<ptrdiff_t>(y - r.y0) * rowBufStride;
    const SigmaRow sig{r.sigmaH + static_cast<ptrdiff_t>(y >> 3) * sigmaStride, invRow, satRow};
    if ((y >> 3) != invRowOf) {
      invRowOf = y >> 3;
      invSigmaRow(sig.sH, invRow, cached);
      for (int i = 0; i < cached; ++i) satRow[i] = SigmaRow::kSatUnset;
    }
    const ptrdiff_t mapRow = static_cast<ptrdiff_t>(y) * m.stride;
    const ptrdiff_t lumaRow = static_cast<ptrdiff_t>(y) * f.width;
    const bool oddRow = (y & 1) != 0;
    const ptrdiff_t chromaRow = static_cast<ptrdiff_t>(f.width) * (f.height + (y >> 1));

    BlockIo io;
    io.hdiff = r.hdiff + (y - r.y0) * hDiffStride;
    io.filterStride = smoothHere ? hDiffStride : 0;
    io.preAlpha = m.preAlpha + mapRow;
    io.curY = f.cur + lumaRow;
    io.preY = f.pre + lumaRow;
    io.curC = oddRow ? f.cur + chromaRow : nullptr;
    io.preC = oddRow ? f.pre + chromaRow : nullptr;
    io.alpha = m.alpha + mapRow;
    io.gain = m.gain + mapRow;
    const Keep all{};
    const int nFull = proWidth & ~15;
    int x = wideBlocks(io, 0, nFull, tRow, sig, pc);
    for (; x < nFull; x += 16) {
      // T columns n .. n + 3 with n = x / 8, all at most blockCols + 1. When
      // all four are 0, so is every lane's lAlpha and motionAlpha: the block
      // is still, and its high-sigma alpha is not needed.
      int32_t t4;
      std::memcpy(&t4, tRow + (x >> 3), 4);
      const __m128i t = _mm_cvtsi32_si128(t4);
      const LAlpha16 la = lAlpha16(
          _mm_srli_epi16(_mm_add_epi16(_mm_maddubs_epi16(_mm_shuffle_epi8(t, pairLo), pairW), four),
                         3),
          _mm_srli_epi16(_mm_add_epi16(_mm_maddubs_epi16(_mm_shuffle_epi8(t, pairHi), pairW), four),
                         3));
      // Lanes 0 .. 7 lie in block column x / 8, lanes 8 .. 15 in the next.
      const int col = x >> 3;
      const Sigma16 s16(static_cast<int32_t>(sig.sH[col]), static_cast<int32_t>(sig.sH[col + 1]),
                        sig.invAt(col), sig.invAt(col + 1));
      if (t4 == 0)
        pixelBlock<false, true>(io, x, la, s16, pc, all);
      else
        pixelBlock<false>(io, x, la, s16, pc, all);
    }
    if (nFull < proWidth) {
      // Moved back to end at the row's end: lane p is pixel offsetX + p, with
      // its own T columns, weights and block column. Lanes offsetX .. nFull - 1
      // were already updated in place by the previous block; their results
      // here come from updated inputs and are discarded.
      const int offsetX = proWidth - 16;
      alignas(16) uint8_t la[16];
      alignas(64) int32_t sLane[16];
      alignas(64) float invLane[16];
      for (int p = 0; p < 16; ++p) {
        const int X = offsetX + p;
        const int mc = (X + 4) >> 3, w = (X + 4) & 7;
        la[p] = static_cast<uint8_t>((tRow[mc] * (8 - w) + tRow[mc + 1] * w + 4) >> 3);
        sLane[p] = static_cast<int32_t>(sig.sH[X >> 3]);
        invLane[p] = sig.invAt(X >> 3);
      }
      const Keep keep = keepFrom(nFull - offsetX);
      pixelBlock<true>(io, offsetX, lAlpha16(_mm_load_si128(reinterpret_cast<const __m128i *>(la))),
                       Sigma16(sLane, invLane), pc, keep);
    }
  }
}

}  // namespace

void pixelPass_x86(const Frames &f, const Maps &m, const Grid &g, const PassRows &r) {
  if (g.width < 16) return pixelPass_c(f, m, g, r);
  pixelRows(f, m, g, r, false);
}

void pixelPassSmooth_x86(const Frames &f, const Maps &m, const Grid &g, const PassRows &r) {
  pixelRows(f, m, g, r, true);
}

}  // namespace tnr_md::TNR_MD_X86_NS
