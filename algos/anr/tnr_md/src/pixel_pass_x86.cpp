// Per-pixel pass, x86-64 form, one source for every level: blocks of 16
// pixels (128-bit vectors) at x86-64-v2, of 32 (256-bit) from AVX2 on, and of
// 64 (512-bit) where the level has AVX-512. Results equal pixelPass_c byte
// for byte.
#include <cstdint>
#include <cstring>

#include "arith.h"
#include "gauss3x3_x86.h"
#include "kernels.h"
#include "x86_vec.h"

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
//   the second term a rounding high-half multiply of 2 (p - c) by 128 w;
//   for weights up to 127, (p - c) w from the frames' bytes by byte
//   multiply-adds (blendBytesBelow128).
// - staticRatio: RoundShift(sa^2 x delta, 14) as a rounding high-half
//   multiply of sa^2 (at most 16384) by 2 delta (at most 256).
// - RoundShift(x, n) of a 16-bit lane x, n = 3 or 7, as the rounding
//   high-half multiply of x by 2^(15 - n): floor((2^(15 - n) x + 2^14) /
//   2^15) = floor((x + 2^(n - 1)) / 2^n). So lAlpha = RoundShift(x, 3) of
//   the T pairs' byte multiply-add x (at most 128 x 8), motionAlpha =
//   RoundShift(lAlpha x hAlpha, 7) (at most 16384) and the gain's
//   RoundShift(ratio x gain, 7) (at most 128 x 255): one instruction each
//   in place of an addition and a shift.
// - A block whose four row-buffer columns are 0 has lAlpha, hence
//   motionAlpha, 0 in every lane: its high-sigma alpha is skipped.
// - hAlpha keeps the float steps: the product and the sum rounded on their
//   own, then truncated and clamped to 128.
//
// - A still block (lAlpha 0) has staticAlpha 128; its new weight depends on
//   the previous weight alone and comes from a table (stillWeight).
//
// Lane layout: a 16-bit lane m of a block holds its pixel pair (2m, 2m + 1)
// as two halves, e (even pixel) and o (odd pixel), split and joined with
// masks and shifts; the 32-bit steps split each half once more. No step
// shuffles across 128-bit lanes on the block's hot path: x86 has a single
// shuffle port.
//
// Tail policy: a row whose width is not a multiple of 16 ends with a block
// moved back to end at the row's end; the lanes before its nominal start keep
// what the previous block wrote (a blend with the bytes in memory below it),
// so every in-place update is applied once. Rows narrower than 16 pixels take
// the per-sample form.
// The moving path's steps go into the block loops whatever GCC's inlining
// budget says (each loop is a copy of its own, with the tests it needs).
#define TNR_MD_PASS_INLINE __attribute__((always_inline)) inline

namespace tnr_md::TNR_MD_X86_NS {
namespace {

// invSigma of n entries (read as int32), four divisions per instruction
// where the level has AVX2.
inline void invSigmaRow(const uint32_t *sH, float *inv, int n) {
  int i = 0;
  if constexpr (kAvx2) {
    const __m256d one = _mm256_set1_pd(1.0);
    for (; i + 4 <= n; i += 4)
      _mm_storeu_ps(inv + i, _mm256_cvtpd_ps(_mm256_div_pd(one, _mm256_cvtepi32_pd(loadu(sH + i)))));
  }
  for (; i < n; ++i) inv[i] = invSigma(static_cast<int32_t>(sH[i]));
}

// The constant vectors of the block steps, read from memory: GCC 12 forms
// a repeated constant in a general register and broadcasts it (three
// instructions) each time it runs out of vector registers, which the moving
// blocks do; a load folds into the instruction that uses it. The address
// goes through an empty asm so that the compiler cannot see the values.
struct alignas(64) PassVectors {
  int16_t lowBytes[32];   // 0x00FF
  int16_t highBytes[32];  // 0xFF00
  int16_t c128[32];       // 128
  int16_t lowJ[32];       // 0x0003
  int16_t highJ[32];      // 0x0300
  int16_t bias[32];       // 0x8000
  int16_t c256[32];       // 256
  int16_t c4096[32];      // 4096
  int8_t top[64];         // 0x80
  int8_t ones[64];        // 1
  int8_t g31[64];         // 31
  int8_t g16[64];         // 16
};
constexpr PassVectors makePassVectors() {
  PassVectors k{};
  for (int i = 0; i < 32; ++i) {
    k.lowBytes[i] = 0x00FF;
    k.highBytes[i] = static_cast<int16_t>(0xFF00);
    k.c128[i] = 128;
    k.lowJ[i] = 0x0003;
    k.highJ[i] = 0x0300;
    k.bias[i] = static_cast<int16_t>(0x8000);
    k.c256[i] = 256;
    k.c4096[i] = 4096;
  }
  for (int i = 0; i < 64; ++i) {
    k.top[i] = static_cast<int8_t>(0x80);
    k.ones[i] = 1;
    k.g31[i] = 31;
    k.g16[i] = 16;
  }
  return k;
}
constexpr PassVectors kPassVectors = makePassVectors();
inline const PassVectors &passVectors() {
  const PassVectors *p = &kPassVectors;
  __asm__("" : "+r"(p));
  return *p;
}

// The even and odd pixels' halves of a block's 16-bit lanes.
template <class S>
struct Split {
  typename S::V e, o;
};
template <class S>
TNR_MD_PASS_INLINE Split<S> split8(typename S::V v) {
  return {S::band(v, S::load(passVectors().lowBytes)), S::srl8(v)};
}
template <class S>
TNR_MD_PASS_INLINE typename S::V join8(typename S::V e, typename S::V o) {  // both halves 0 .. 255
  return S::bor(e, S::sll8(o));
}

// RoundShift(p x w + c x (128 - w), 7) of 16-bit lanes; w128 = 128 w.
template <class S>
TNR_MD_PASS_INLINE typename S::V blend(typename S::V c, typename S::V p, typename S::V w128) {
  const typename S::V d = S::sub(p, c);
  return S::add(c, S::mulhrs(S::add(d, d), w128));
}
// The same on bytes, the even ones with weight w128E, the odd ones w128O.
template <class S>
TNR_MD_PASS_INLINE typename S::V blendBytes(const uint8_t *cur, const uint8_t *pre,
                                            typename S::V w128E, typename S::V w128O) {
  const Split<S> c = split8<S>(S::load(cur)), p = split8<S>(S::load(pre));
  return join8<S>(blend<S>(c.e, p.e, w128E), blend<S>(c.o, p.o, w128O));
}

// The same for weights of at most 127, from the bytes themselves: we holds
// each even byte's weight in the even byte of its 16-bit lane (0 in the
// odd one), wo8 each odd byte's in the odd byte (0 in the even one). With p
// and c in 0 .. 255 and w in 0 .. 127, the unsigned-by-signed byte
// multiply-add of the pre bytes by we is p w (the odd term 0), at most
// 32385, and so is the cur bytes'; their difference x = (p - c) w lies in
// -32385 .. 32385, and the rounding high-half multiply by 256 gives
// floor((256 x + 2^14) / 2^15) = RoundShift(x, 7) = r. The result c + r
// lies in 0 .. 255 for both bytes; both sums are 16-bit additions to the
// lane c_e + 256 c_o: adding the even byte's re (signed) leaves the low
// part c_e + re in 0 .. 255, so nothing carries into or borrows from the
// high byte, and adding 256 ro (modulo 2^16) changes the high byte alone,
// to c_o + ro.
template <class S>
TNR_MD_PASS_INLINE typename S::V blendBytesBelow128(const uint8_t *cur, const uint8_t *pre,
                                                    typename S::V we, typename S::V wo8) {
  const PassVectors &k = passVectors();
  const typename S::V c = S::load(cur), p = S::load(pre), k256 = S::load(k.c256);
  const typename S::V re = S::mulhrs(S::sub(S::maddubs(p, we), S::maddubs(c, we)), k256);
  const typename S::V ro = S::mulhrs(S::sub(S::maddubs(p, wo8), S::maddubs(c, wo8)), k256);
  return S::add(S::add(c, re), S::sll8(ro));
}

// hAlpha of 32-bit lanes: min(trunc(max(h - sH, 0) x 128 x inv + 0.5), 128),
// the subtraction and the shift wrapping in 32 bits. maxf(f, 0) maps NaN
// (0 x infinity) and negative values to 0, as the saturating conversion does;
// the clamp to 128 comes before the conversion, which then only truncates.
template <class S>
inline typename S::V hAlpha(typename S::V h32, typename S::V sH, typename S::F inv) {
  const typename S::V d = S::sll32by7(S::max32(S::sub32(h32, sH), S::zero()));
  typename S::F f = S::mulf(S::toFloat(d), inv);
  __asm__("" : "+x"(f));  // the product stays rounded on its own
  f = S::addf(f, S::set1f(0.5f));
  return S::trunc(S::minf(S::maxf(f, S::set1f(0.0f)), S::set1f(128.0f)));
}

// min(floor(n / d), 128) of 32-bit lanes, n and d exact in single precision:
// the reciprocal estimate and one Newton-Raphson step (error bound above).
template <class S>
inline typename S::V quotient(typename S::V n, typename S::V d) {
  const typename S::F df = S::toFloat(d);
  typename S::F r = S::rcp(df);
  r = S::mulf(r, S::subf(S::set1f(2.0f), S::mulf(df, r)));
  const typename S::F q = S::addf(S::mulf(S::toFloat(n), r), S::set1f(1.0f / 1024));
  return S::trunc(S::minf(q, S::set1f(128.0f)));
}
// The same of 16-bit lanes (n < 65536, 2 <= d <= 512), as two 32-bit halves.
template <class S>
inline typename S::V quotient16(typename S::V n, typename S::V d) {
  const typename S::V lo = S::set1x32(0xFFFF);
  const typename S::V qe = quotient<S>(S::band(n, lo), S::band(d, lo));
  const typename S::V qo = quotient<S>(S::srl32by16(n), S::srl32by16(d));
  return S::bor(qe, S::sll32by16(qo));
}

// The weights below 128 as one table (for a 128-byte lookup) and as eight
// 16-entry tables, one per high nibble of pa: row k holds table k XOR table
// k - 1, so that for a pa of high nibble k the lookups of rows 0 .. k hit and
// those above miss (their index has its top bit set): their XOR is table k.
struct StillTables {
  alignas(64) uint8_t below128[128];
  alignas(16) uint8_t xorRows[8][16];
};
constexpr StillTables makeStillTables() {
  StillTables t{};
  for (int pa = 0; pa < 128; ++pa) t.below128[pa] = stillWeight(pa);
  for (int k = 0; k < 8; ++k)
    for (int l = 0; l < 16; ++l)
      t.xorRows[k][l] = stillWeight(16 * k + l) ^ (k > 0 ? stillWeight(16 * (k - 1) + l) : 0);
  return t;
}
constexpr StillTables kStillTables = makeStillTables();

// stillWeight of every byte: with AVX-512 VBMI one byte permute of the
// 128-byte table (index bit 7 ignored), else the eight nibble lookups; the
// lanes from pa 128 on take 128.
template <class S>
inline typename S::V stillWeights(typename S::V pa) {
  typename S::V w;
  if constexpr (kVbmi) {
    w = S::lookup128(kStillTables.below128, pa);
  } else {
    typename S::V idx = pa;
    w = S::shuffle8(S::broadcast16(kStillTables.xorRows[0]), idx);
    for (int k = 1; k < 8; ++k) {
      idx = S::sub8(idx, S::set1x8(16));
      w = S::bxor(w, S::shuffle8(S::broadcast16(kStillTables.xorRows[k]), idx));
    }
  }
  return S::blendv8(w, S::set1x8(static_cast<int8_t>(128)), pa);  // pa >= 128
}

// The recursive weight by one multiplication (arith.h), for previous weights
// pa of at most 127 (every weight the pass writes from such a pa is at most
// 127: q(128, 127) = floor(33024 / 258) = 127, so footage chained from
// weights of 0 never has more): the rounding high-half multiply
// (_mm_mulhrs_epi16) of sa by m, one instruction per 8, 16 or 32 lanes
// instead of the reciprocal and the float steps of two 32-bit halves, m from
// the line of pa's group of four (weightLine): three 32-entry byte tables
// (the base's two bytes, the slope at most 255), two byte shuffles each, and
// a byte multiply-add for slope x j. The compiler checks every pair 0 .. 128
// x 0 .. 127 through the tables (weightLinesExact).
// The three tables, each as two 16-byte shuffle tables: entries 0 .. 15, and
// entries 16 .. 31 XOR entries 0 .. 15. For g = 0 .. 31 the first shuffle by
// g gives entry g & 15, the second by g - 16 gives nothing for g < 16 (the
// index's top bit set) and entry g XOR entry g - 16 from 16 on: their XOR is
// entry g.
struct WeightLines {
  alignas(16) uint8_t lo[2][16];
  alignas(16) uint8_t hi[2][16];
  alignas(16) uint8_t slope[2][16];
};
constexpr WeightLines makeWeightLines() {
  WeightLines t{};
  uint8_t lo[32] = {}, hi[32] = {}, slope[32] = {};
  for (int g = 0; g < 32; ++g) {
    const WeightLine line = weightLine(g);
    lo[g] = static_cast<uint8_t>(line.base & 0xFF);
    hi[g] = static_cast<uint8_t>(line.base >> 8);
    slope[g] = static_cast<uint8_t>(line.slope);
  }
  for (int i = 0; i < 16; ++i) {
    t.lo[0][i] = lo[i];
    t.lo[1][i] = lo[i + 16] ^ lo[i];
    t.hi[0][i] = hi[i];
    t.hi[1][i] = hi[i + 16] ^ hi[i];
    t.slope[0][i] = slope[i];
    t.slope[1][i] = slope[i + 16] ^ slope[i];
  }
  return t;
}
constexpr WeightLines kWeightLines = makeWeightLines();

// The multiplier of pa as the pass reads it from the tables.
constexpr int tableMultiplier(int pa) {
  const int g = pa >> 2, i = g & 15, k = g >> 4;
  const auto entry = [&](const uint8_t (&t)[2][16]) { return t[0][i] ^ (k ? t[1][i] : 0); };
  return entry(kWeightLines.lo) + 256 * entry(kWeightLines.hi) +
         entry(kWeightLines.slope) * (pa & 3);
}

// Every pair through the tables as the pass reads them.
constexpr bool weightLinesExact() {
  for (int pa = 0; pa < 128; ++pa) {
    if (weightLine(pa >> 2).base < 0) return false;
    const int m = tableMultiplier(pa);
    if (m > 32767) return false;
    for (int sa = 0; sa <= 128; ++sa)  // below 128, as blendBytesBelow128 needs
      if (((sa * m + 16384) >> 15) != weightQuotient(sa, pa) || weightQuotient(sa, pa) > 127)
        return false;
  }
  return true;
}
static_assert(weightLinesExact(), "a weight line misses a quotient");

// The byte at each lane's position of a 32-entry table t, for indices g 0 ..
// 31 in bytes (and g - 16 in g16).
template <class S>
TNR_MD_PASS_INLINE typename S::V lookup32(const uint8_t (&t)[2][16], typename S::V g,
                                          typename S::V g16) {
  return S::bxor(S::shuffle8(S::broadcast16(t[0]), g), S::shuffle8(S::broadcast16(t[1]), g16));
}

// With AVX-512 VBMI, the multipliers read from the lines (checked above)
// for every pa 0 .. 127 themselves, as the 128-byte tables of their low
// and high bytes: one two-register byte permute each.
struct WeightBytes {
  alignas(64) uint8_t lo[128];
  alignas(64) uint8_t hi[128];
};
constexpr WeightBytes makeWeightBytes() {
  WeightBytes t{};
  for (int pa = 0; pa < 128; ++pa) {
    t.lo[pa] = static_cast<uint8_t>(tableMultiplier(pa) & 0xFF);
    t.hi[pa] = static_cast<uint8_t>(tableMultiplier(pa) >> 8);
  }
  return t;
}
constexpr WeightBytes kWeightBytes = makeWeightBytes();

// The weight multipliers of a block's even and odd pixels from its
// previous weights pa (every byte at most 127), in 16-bit lanes.
template <class S>
TNR_MD_PASS_INLINE Split<S> weightMultipliers(typename S::V pa) {
  using V = typename S::V;
  if constexpr (kVbmi && S::kBytes == 64) {
    // Byte i of lo and hi: the low and high byte of pa_i's multiplier. The
    // even pixel's multiplier takes the even bytes of lo and of hi shifted
    // up, the odd one's the odd bytes of lo shifted down and of hi.
    const V lo = S::lookup128(kWeightBytes.lo, pa), hi = S::lookup128(kWeightBytes.hi, pa);
    const __mmask64 odd = 0xAAAAAAAAAAAAAAAAu;
    return {_mm512_mask_blend_epi8(odd, lo, S::sll8(hi)),
            _mm512_mask_blend_epi8(odd, S::srl8(lo), hi)};
  }
  const PassVectors &k = passVectors();
  const V g = S::band(S::srl16(pa, 2), S::load(k.g31));
  const V g16 = S::sub8(g, S::load(k.g16));
  const V lo = lookup32<S>(kWeightLines.lo, g, g16);
  const V hi = lookup32<S>(kWeightLines.hi, g, g16);
  const V slope = lookup32<S>(kWeightLines.slope, g, g16);
  const V highBytes = S::load(k.highBytes);
  const V baseE = S::blendv8(lo, S::sll8(hi), highBytes);
  const V baseO = S::blendv8(S::srl8(lo), hi, highBytes);
  const V stepE = S::maddubs(slope, S::band(pa, S::load(k.lowJ)));
  const V stepO = S::maddubs(slope, S::band(pa, S::load(k.highJ)));
  return {S::add(baseE, stepE), S::add(baseO, stepO)};
}

// The call's static ratio terms, also in lanes for the moving blocks to
// read from memory (a broadcast per block otherwise: the loops have no
// register left to hold them).
struct PassConst {
  int16_t ratioR;  // static_ratio_r
  int16_t delta2;  // 2 x static_ratio_delta
  alignas(64) int16_t ratioRLanes[32];
  alignas(64) int16_t delta2Lanes[32];
  PassConst(int16_t r, int16_t d) : ratioR(r), delta2(d) {
    for (int i = 0; i < 32; ++i) {
      ratioRLanes[i] = r;
      delta2Lanes[i] = d;
    }
  }
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

// The smoothed difference of S::kLanes pixels from o: loaded, or formed here
// from the unsmoothed plane, exactly as the 3x3 filter forms it (every
// sample of that plane a multiple of 32: the halving averages, exact there).
template <class S>
TNR_MD_PASS_INLINE typename S::V hdiffAt(const BlockIo &io, ptrdiff_t o) {
  return io.filterStride ? gauss_x86::filterSixteensAt<S>(io.hdiff + o, io.filterStride,
                                                          S::load(passVectors().bias))
                         : S::load(io.hdiff + o);
}

// A block's store: every byte, or (kMasked) only those whose keep byte is
// 0, the others keeping the bytes in memory.
template <class S, bool kMasked>
TNR_MD_PASS_INLINE void storeKeep(uint8_t *dst, typename S::V v, typename S::V keep) {
  if (kMasked) v = S::blendv8(v, S::load(dst), keep);
  S::store(dst, v);
}

// The high sigma and its reciprocal of each 32-bit lane of a block's
// smoothed differences h0 and h1 (see hAlphaFloat), for its even pixels
// (index 0, 1) and its odd ones (2, 3).
template <class S>
struct LaneSigma {
  typename S::V sH[4];
  typename S::F inv[4];
};

// A still block (lAlpha 0 everywhere, motionAlpha 0, staticAlpha 128).
template <class S>
TNR_MD_PASS_INLINE void stillBlock(const BlockIo &io, ptrdiff_t o) {
  const typename S::V w = stillWeights<S>(S::load(io.preAlpha + o));
  S::store(io.preAlpha + o, w);
  const Split<S> ws = split8<S>(w);
  const typename S::V w128E = S::sll7(ws.e), w128O = S::sll7(ws.o);
  S::store(io.curY + o, blendBytes<S>(io.curY + o, io.preY + o, w128E, w128O));
  // A chroma pair's U (even byte) and V (odd byte) take the weight of the
  // pair's right-hand luma pixel, the odd one.
  if (io.curC) S::store(io.curC + o, blendBytes<S>(io.curC + o, io.preC + o, w128O, w128O));
  // The ratio is static_ratio_r + static_ratio_delta = 128 for every
  // static_ratio_r_bit, and the gain keeps its value (0 becomes 1).
  S::store(io.alpha + o, S::set1x8(static_cast<int8_t>(128)));
  S::store(io.gain + o, S::maxu8(S::load(io.gain + o), S::load(passVectors().ones)));
}

// hAlpha of the block's even and odd pixels by the float steps, from its
// lanes' sigmas: h0 holds the first half of each 128-bit lane's pixels, h1
// the second, so that packing their 32-bit halves gives pixel order.
template <class S>
inline Split<S> hAlphaFloat(const BlockIo &io, ptrdiff_t o, const LaneSigma<S> &sig) {
  typename S::V h0, h1;
  S::deal128(hdiffAt<S>(io, o), hdiffAt<S>(io, o + S::kLanes), h0, h1);
  return {S::packus32(hAlpha<S>(S::sra32by16(S::sll32by16(h0)), sig.sH[0], sig.inv[0]),
                      hAlpha<S>(S::sra32by16(S::sll32by16(h1)), sig.sH[1], sig.inv[1])),
          S::packus32(hAlpha<S>(S::sra32by16(h0), sig.sH[2], sig.inv[2]),
                      hAlpha<S>(S::sra32by16(h1), sig.sH[3], sig.inv[3]))};
}

// The per-pixel alpha in integers where every block column of the block has
// a multiplier sigma (isMultiplierSigma): pixelAlphaByMultiplier with M =
// pixelAlphaMultiplier(sH) = 2^16 Mh + Ml, equal to the float steps for every
// difference (arith.h; the tests run every such sigma and excess), in 16-bit
// lanes:
// - the excess d = max(h - sH, 0) by a saturating subtraction (h - sH below
//   -32768 has excess 0 as well), 0 .. 32767 - 129.
// - (d M + 2^30) >> 31 = (d Mh + floor(d Ml / 2^16) + 2^14) >> 15: with P =
//   d Mh and d Ml = 2^16 Qh + Ql (0 <= Ql < 2^16), d M + 2^30 = 2^16 (P + Qh
//   + 2^14) + Ql, and floor((2^16 n + Ql) / 2^31) = floor(n / 2^15) for an
//   integer n as Ql < 2^16. Qh is one unsigned multiply-high of d by Ml, and
//   X = P + Qh one signed multiply-add of the pairs (d, Qh) and (Mh, 1):
//   d <= 32767, Qh < 2^15 and Mh < 2^15 (M < 2^31) are all 16-bit signed
//   values, and X < 2^30 + 2^15.
// - floor((X + 2^14) / 2^15) = (Y + 1) >> 1 with Y = floor(X / 2^14) (nested
//   floors), an averaging with 0, done on Y saturated to a byte: Y <= 254
//   is exact, and Y >= 255 means an integer alpha of at least 128, which is
//   clamped to 128, as (255 + 1) >> 1 is. X < 2^31, so 0 <= Y < 2^17: the
//   signed saturating narrowing to 16 bits keeps it at or above 255 and
//   below 2^15, which the next narrowing (of signed 16-bit values) takes to
//   255.
// The block row's lane arrays (SigmaLanes) hold, per pixel, its column's sH,
// Ml, and Mh at even pixels with 1 at odd ones, so that a 128-bit lane of 8
// pixels from a multiple of 8 (one block column) pairs each (d, Qh) with
// (Mh, 1).
struct SigmaLanes {
  static constexpr int kCols = 512;  // the first columns of a block row
  alignas(64) int16_t s[8 * kCols];
  alignas(64) uint16_t ml[8 * kCols];
  alignas(64) int16_t mh[8 * kCols];
  alignas(64) uint8_t other[kCols + 8];  // not 0: a column that is not a multiplier sigma's
  bool allMultiplier;                    // every column set is a multiplier sigma's
};

// The lane arrays of the first n (at most SigmaLanes::kCols) high sigmas of
// a block row; M by the division of pixelAlphaMultiplier, four at a time
// where the level has AVX2 (the other sigmas divide 32767 instead, unused),
// and there each array's lanes of the four columns spread by two
// permutations of 32-bit lanes (each holding its 16-bit value twice, or Mh
// and 1) and two 256-bit stores.
inline void setSigmaLanes(const uint32_t *sH, int n, SigmaLanes &sl) {
  alignas(16) int32_t mul[4];
  alignas(16) int32_t ok[4];
  for (int i = 0; i < n; i += 4) {
    const int k = n - i < 4 ? n - i : 4;
#if defined(__AVX2__)
    if (k == 4) {
      const __m128i v = loadu(sH + i);
      const __m128i inRange = _mm_cmpeq_epi32(
          _mm_min_epu32(_mm_sub_epi32(v, _mm_set1_epi32(129)), _mm_set1_epi32(32767 - 129)),
          _mm_sub_epi32(v, _mm_set1_epi32(129)));
      const __m128i isMul = _mm_andnot_si128(
          _mm_cmpeq_epi32(_mm_and_si128(v, _mm_set1_epi32(255)), _mm_setzero_si128()), inRange);
      const __m128i safe = _mm_blendv_epi8(_mm_set1_epi32(32767), v, isMul);
      const __m128i m =
          _mm_add_epi32(_mm256_cvttpd_epi32(_mm256_div_pd(_mm256_set1_pd(274877906944.0),
                                                          _mm256_cvtepi32_pd(safe))),
                        _mm_set1_epi32(1));
      const __m128i low16 = _mm_set1_epi32(0xFFFF);
      const auto twice = [](__m128i x) { return _mm_or_si128(x, _mm_slli_epi32(x, 16)); };
      const auto spread = [](void *dst, __m128i x) {
        const __m256i w = _mm256_castsi128_si256(x);
        auto *d = static_cast<__m256i *>(dst);
        _mm256_storeu_si256(
            d, _mm256_permutevar8x32_epi32(w, _mm256_setr_epi32(0, 0, 0, 0, 1, 1, 1, 1)));
        _mm256_storeu_si256(
            d + 1, _mm256_permutevar8x32_epi32(w, _mm256_setr_epi32(2, 2, 2, 2, 3, 3, 3, 3)));
      };
      spread(sl.s + 8 * i, twice(_mm_and_si128(v, _mm_set1_epi32(0x7FFF))));
      spread(sl.ml + 8 * i, twice(_mm_and_si128(m, low16)));
      spread(sl.mh + 8 * i, _mm_or_si128(_mm_srai_epi32(m, 16), _mm_set1_epi32(0x10000)));
      // other: 0 for a multiplier sigma's column (isMul -1), else 1.
      const __m128i other = _mm_add_epi32(isMul, _mm_set1_epi32(1));
      const int32_t bytes =
          _mm_cvtsi128_si32(_mm_packus_epi16(_mm_packus_epi32(other, other), other));
      std::memcpy(sl.other + i, &bytes, 4);
      continue;
    }
#endif
    for (int j = 0; j < k; ++j) {
      ok[j] = isMultiplierSigma(sH[i + j]) ? -1 : 0;
      mul[j] = ok[j] ? pixelAlphaMultiplier(sH[i + j]) : 0;
    }
    for (int j = 0; j < k; ++j) {
      const int c = i + j;
      const int32_t m = mul[j];
      sl.other[c] = ok[j] ? 0 : 1;
      storeu(sl.s + 8 * c, _mm_set1_epi16(static_cast<int16_t>(sH[c] & 0x7FFF)));
      storeu(sl.ml + 8 * c, _mm_set1_epi16(static_cast<int16_t>(m & 0xFFFF)));
      storeu(sl.mh + 8 * c, _mm_set1_epi32((m >> 16) | 0x10000));
    }
  }
  for (int c = n; c < n + 8; ++c) sl.other[c] = 1;
  uint64_t any = 0;
  for (int c = 0; c < n; c += 8) {
    uint64_t v;
    std::memcpy(&v, sl.other + c, 8);
    any |= c + 8 <= n ? v : v & (~uint64_t{0} >> (64 - 8 * (n - c)));
  }
  sl.allMultiplier = any == 0;
}

// Y of S::kLanes pixels from x (a multiple of 8), in 16-bit lanes.
// kNonNegative: every h is at least 0 (PassRows::nonNegative); with the
// lanes' sigmas in 0 .. 32767, h - s lies in -32767 .. 32767 and max(h - s,
// 0) is the unsigned saturating difference, one instruction.
template <class S, bool kNonNegative = false>
TNR_MD_PASS_INLINE typename S::V halfAlphaByMultiplier(typename S::V h, const SigmaLanes &sl,
                                                       ptrdiff_t x) {
  using V = typename S::V;
  const V d = kNonNegative ? S::subsu16(h, S::load(sl.s + x))
                           : S::max16(S::subs(h, S::load(sl.s + x)), S::zero());
  const V q = S::mulhiu(d, S::load(sl.ml + x));
  const V mh = S::load(sl.mh + x);
  return S::packs32(S::srl32by14(S::madd(S::unpacklo16(d, q), mh)),
                    S::srl32by14(S::madd(S::unpackhi16(d, q), mh)));
}

// hAlpha of the block's even and odd pixels in integers; x: the block's
// first pixel in the row (its offset in io is o).
template <class S, bool kNonNegative = false>
TNR_MD_PASS_INLINE Split<S> hAlphaByMultiplier(const BlockIo &io, ptrdiff_t o, const SigmaLanes &sl,
                                               int x) {
  const typename S::V y = S::packusInOrder(
      halfAlphaByMultiplier<S, kNonNegative>(hdiffAt<S>(io, o), sl, x),
      halfAlphaByMultiplier<S, kNonNegative>(hdiffAt<S>(io, o + S::kLanes), sl, x + S::kLanes));
  return split8<S>(S::avg8(y, S::zero()));
}

// Any block, from its lAlpha la and hAlpha ha; inlined into each of its
// callers, whose loops keep their pointers and constants in registers.
// kChroma: whether the row has chroma (io.curC not null) is tested here (-1)
// or known to the caller (0: no, 1: yes).
template <class S, bool kMasked = false, int kChroma = -1>
TNR_MD_PASS_INLINE void movingBlock(const BlockIo &io, ptrdiff_t o, Split<S> la, Split<S> ha,
                                    const PassConst &pc, typename S::V keep = S::zero()) {
  using V = typename S::V;
  const PassVectors &k = passVectors();
  const V c128 = S::load(k.c128);
  const V k256 = S::load(k.c256);
  const Split<S> sa{S::sub(c128, S::mulhrs(S::mullo(la.e, ha.e), k256)),
                    S::sub(c128, S::mulhrs(S::mullo(la.o, ha.o), k256))};

  // newPreAlpha: floor(n / d), n = 256 staticAlpha + den - 1, d = 2 den; by
  // the weight multipliers where every previous weight is below 128.
  // The blends as blendBytes; chroma (kChroma, else where io.curC is not
  // null): the pair's right-hand pixel's weight, as in stillBlock.
  const bool chroma = kChroma < 0 ? io.curC != nullptr : kChroma > 0;
  const V paBytes = S::load(io.preAlpha + o);
  if (S::allZeroAnd(paBytes, S::load(k.top))) {
    // Every new weight at most 127: the blends from the weight bytes.
    const Split<S> m = weightMultipliers<S>(paBytes);
    const V wE = S::mulhrs(sa.e, m.e), wO = S::mulhrs(sa.o, m.o), wO8 = S::sll8(wO);
    storeKeep<S, kMasked>(io.preAlpha + o, S::bor(wE, wO8), keep);
    storeKeep<S, kMasked>(io.curY + o, blendBytesBelow128<S>(io.curY + o, io.preY + o, wE, wO8),
                          keep);
    if (chroma)
      storeKeep<S, kMasked>(io.curC + o, blendBytesBelow128<S>(io.curC + o, io.preC + o, wO, wO8),
                            keep);
  } else {
    const Split<S> pa = split8<S>(paBytes);
    const V c256 = S::set1(256), one = S::set1(1);
    const V denE = S::sub(c256, pa.e), denO = S::sub(c256, pa.o);
    const V wE = quotient16<S>(S::add(S::sll8(sa.e), S::sub(denE, one)), S::add(denE, denE));
    const V wO = quotient16<S>(S::add(S::sll8(sa.o), S::sub(denO, one)), S::add(denO, denO));
    storeKeep<S, kMasked>(io.preAlpha + o, join8<S>(wE, wO), keep);
    const V w128E = S::sll7(wE), w128O = S::sll7(wO);
    storeKeep<S, kMasked>(io.curY + o, blendBytes<S>(io.curY + o, io.preY + o, w128E, w128O), keep);
    if (chroma)
      storeKeep<S, kMasked>(io.curC + o, blendBytes<S>(io.curC + o, io.preC + o, w128O, w128O),
                            keep);
  }

  const V ratioR = S::load(pc.ratioRLanes), delta2 = S::load(pc.delta2Lanes);
  const V ratioE = S::add(ratioR, S::mulhrs(S::mullo(sa.e, sa.e), delta2));
  const V ratioO = S::add(ratioR, S::mulhrs(S::mullo(sa.o, sa.o), delta2));
  storeKeep<S, kMasked>(io.alpha + o, join8<S>(ratioE, ratioO), keep);

  const Split<S> g = split8<S>(S::load(io.gain + o));
  const V gE = S::mulhrs(S::mullo(ratioE, g.e), k256);
  const V gO = S::mulhrs(S::mullo(ratioO, g.o), k256);
  storeKeep<S, kMasked>(io.gain + o, S::maxu8(join8<S>(gE, gO), S::load(k.ones)), keep);
}

// A block whose T columns are all 128 (lAlpha 128 in every lane: the
// interpolation of equal values) and whose smoothed differences all lie
// above their block column's saturationBound (hAlpha 128) has staticAlpha 0:
// the new weight is 0, the blends keep the current frame's bytes (c +
// RoundShift(0, 7)), which stay as they are, the static ratio is r and the
// gain max(RoundShift(r x g, 7), 1). sat: the bounds of the block's block
// columns.
template <class S>
inline bool saturated(const BlockIo &io, ptrdiff_t o, const int16_t *sat) {
  return S::allSet(S::band(S::cmpgt(hdiffAt<S>(io, o), S::spread16(sat, 0)),
                           S::cmpgt(hdiffAt<S>(io, o + S::kLanes),
                                    S::spread16(sat, S::kLanes / 8))));
}
template <class S>
inline void saturatedBlock(const BlockIo &io, ptrdiff_t o, const PassConst &pc) {
  S::store(io.preAlpha + o, S::zero());
  S::store(io.alpha + o, S::set1x8(static_cast<int8_t>(pc.ratioR)));
  const Split<S> g = split8<S>(S::load(io.gain + o));
  const typename S::V r = S::set1(pc.ratioR), r64 = S::set1(64);
  const typename S::V gE = S::srl7(S::add(S::mullo(g.e, r), r64));
  const typename S::V gO = S::srl7(S::add(S::mullo(g.o, r), r64));
  S::store(io.gain + o, S::maxu8(join8<S>(gE, gO), S::set1x8(1)));
}

// The high sigmas of one block row, and the reciprocals and saturation
// bounds of its first kCached columns (the rest are divided as they come and
// never screened).
struct SigmaRow {
  static constexpr int kCached = 512;
  const uint32_t *sH;
  const float *inv;
  const int16_t *sat;  // saturationBound of the first kCached
  float invAt(int col) const {
    return col < kCached ? inv[col] : invSigma(static_cast<int32_t>(sH[col]));
  }
};
static_assert(SigmaRow::kCached == SigmaLanes::kCols, "block<S, true> takes both");

// lAlpha of a block from x, a multiple of 16: pixel p pairs T columns n +
// ((p + 4) >> 3) and the next (n = x / 8) with weights 8 - w and w, w = (p +
// 4) & 7; the pixels 2m and 2m + 1 of a lane take the same pair. The
// pairs' byte indices in the T columns n .. (kTPairs[0]) and in the T
// columns n - 2 .. (kTPairs[1], the columns as read from behind).
alignas(32) constexpr uint8_t kTPairs[2][32] = {
    {0, 1, 0, 1, 1, 2, 1, 2, 1, 2, 1, 2, 2, 3, 2, 3, 2, 3, 2, 3, 3, 4, 3, 4, 3, 4, 3, 4, 4, 5, 4, 5},
    {2, 3, 2, 3, 3, 4, 3, 4, 3, 4, 3, 4, 4, 5, 4, 5, 4, 5, 4, 5, 5, 6, 5, 6, 5, 6, 5, 6, 6, 7, 6, 7}};
alignas(32) constexpr uint8_t kTWeightsE[32] = {4, 4, 2, 6, 8, 0, 6, 2, 4, 4, 2, 6, 8, 0, 6, 2,
                                                4, 4, 2, 6, 8, 0, 6, 2, 4, 4, 2, 6, 8, 0, 6, 2};
alignas(32) constexpr uint8_t kTWeightsO[32] = {3, 5, 1, 7, 7, 1, 5, 3, 3, 5, 1, 7, 7, 1, 5, 3,
                                                3, 5, 1, 7, 7, 1, 5, 3, 3, 5, 1, 7, 7, 1, 5, 3};
template <class S, bool kFromBehind = false>
TNR_MD_PASS_INLINE Split<S> lAlphaOf(uint64_t tCols) {  // T columns n (n - 2) .. as bytes
  const typename S::V tp = S::shuffle8(S::set1x64(tCols), S::load(kTPairs[kFromBehind]));
  const typename S::V k4096 = S::load(passVectors().c4096);
  return {S::mulhrs(S::maddubs(tp, S::load(kTWeightsE)), k4096),
          S::mulhrs(S::maddubs(tp, S::load(kTWeightsO)), k4096)};
}

// The n (4 or 6) bytes from t as one value, read into registers in two
// parts (a wider read of bytes written as parts would wait for the writes).
template <int n>
inline uint64_t tColumns(const uint8_t *t) {
  uint32_t lo;
  uint16_t hi = 0;
  std::memcpy(&lo, t, 4);
  if (n > 4) std::memcpy(&hi, t + 4, 2);
  return lo | uint64_t{hi} << 32;
}

// The 6 bytes from t and the two before it as one value (the 6 in its
// high bytes) by one 8-byte read from t - 2, for a caller that knows the two
// bytes before t to lie in the row buffer.
inline uint64_t tColumnsFromBehind(const uint8_t *t) {
  uint64_t v;
  std::memcpy(&v, t - 2, 8);
  return v;
}

// The n (2, 4 or 8) bytes from p ORed together, not 0 where any is not.
template <int n>
inline uint64_t otherColumns(const uint8_t *p) {
  if constexpr (n == 2) {
    uint16_t v;
    std::memcpy(&v, p, 2);
    return v;
  } else if constexpr (n == 4) {
    uint32_t v;
    std::memcpy(&v, p, 4);
    return v;
  } else {
    uint64_t v;
    std::memcpy(&v, p, 8);
    return v;
  }
}

// The block of S::kBytes pixels from x (a multiple of 16) in the row of T
// columns tRow: still, saturated or in general. kNear: the caller knows that
// its block columns lie within the first SigmaRow::kCached (=
// SigmaLanes::kCols) of the row; kAllMultiplier (with kNear): that they all
// have multiplier sigmas; kBehind (blocks of 32 from x = 32 on): that the two
// T columns before its first are in the row buffer; kNonNegative: every
// sample of the difference plane is at least 0; kChroma as movingBlock's.
template <class S, bool kNear = false, bool kAllMultiplier = false, bool kBehind = false,
          bool kNonNegative = false, int kChroma = -1>
TNR_MD_PASS_INLINE void block(const BlockIo &io, int x, const uint8_t *tRow, const SigmaRow &sig,
                              const SigmaLanes &sl, const PassConst &pc) {
  static_assert(kNear || !kAllMultiplier, "the columns' sigmas are known near the start only");
  constexpr int kCols = S::kBytes / 8;  // the block columns it lies in
  static_assert(!kBehind || kCols == 4, "the read from behind takes 6 columns");
  constexpr uint64_t kAll128 = 0x8080808080808080u >> (64 - 8 * (kCols + 2));
  constexpr uint64_t kLow7 = 0x7F7F7F7F7F7F7F7Fu >> (64 - 8 * (kCols + 2));
  const int col = x >> 3;
  // T columns n .. n + kCols + 1; when all are 0, so is every lane's lAlpha
  // and motionAlpha: the block is still. Both of the screens need every
  // column to be 0 or 128, which one test rules out for most moving blocks.
  // (From behind, they sit in the high 6 bytes of tb.)
  constexpr int kBelow = kBehind ? 16 : 0;
  const uint64_t tb = kBehind ? tColumnsFromBehind(tRow + col) : tColumns<kCols + 2>(tRow + col);
  const bool cached = kNear || col + kCols <= SigmaRow::kCached;
  if ((tb & kLow7 << kBelow) == 0) {
    const uint64_t t = tb >> kBelow;
    if (t == 0) return stillBlock<S>(io, x);
    if (t == kAll128 && cached && saturated<S>(io, x, sig.sat + col))
      return saturatedBlock<S>(io, x, pc);
  }
  if (kAllMultiplier ||
      ((kNear || col + kCols <= SigmaLanes::kCols) && otherColumns<kCols>(sl.other + col) == 0))
    return movingBlock<S, false, kChroma>(io, x, lAlphaOf<S, kBehind>(tb),
                                          hAlphaByMultiplier<S, kNonNegative>(io, x, sl, x), pc);
  float invCols[kCols];
  if (!cached)
    for (int i = 0; i < kCols; ++i) invCols[i] = sig.invAt(col + i);
  const float *inv = cached ? sig.inv + col : invCols;
  const uint32_t *sH = sig.sH + col;
  const typename S::V s0 = S::spreadCols(sH, 0), s1 = S::spreadCols(sH, 1);
  const typename S::F i0 = S::spreadColsF(inv, 0), i1 = S::spreadColsF(inv, 1);
  movingBlock<S>(io, x, lAlphaOf<S, kBehind>(tb),
                 hAlphaFloat<S>(io, x, LaneSigma<S>{{s0, s1, s0, s1}, {i0, i1, i0, i1}}), pc);
}

// Where the level has AVX-512 (Widest is 512 bits), the pass takes 64
// pixels at a time: still ones, and moving ones in 512-bit vectors. The
// 64-pixel steps are templates over that vector, so that the levels without
// it never instantiate them.
//
// lAlpha of 64 pixels from x (T columns n .. n + 9 in the low bytes of t):
// 128-bit lane q holds pixels 16q .. 16q + 15, whose T pairs are those of
// kTPairs' first 16 bytes from column n + 2q.
alignas(64) constexpr uint8_t kTPairs64[64] = {
    0, 1, 0, 1, 1, 2, 1, 2, 1, 2, 1, 2, 2, 3, 2, 3, 2, 3, 2, 3, 3, 4, 3, 4, 3, 4, 3, 4, 4, 5, 4, 5,
    4, 5, 4, 5, 5, 6, 5, 6, 5, 6, 5, 6, 6, 7, 6, 7, 6, 7, 6, 7, 7, 8, 7, 8, 7, 8, 7, 8, 8, 9, 8, 9};
template <class S>
inline Split<S> lAlphaOf64(__m128i t) {
  const __m512i tp = _mm512_shuffle_epi8(_mm512_broadcast_i32x4(t), _mm512_load_si512(kTPairs64));
  const __m512i k4096 = S::load(passVectors().c4096);
  return {S::mulhrs(S::maddubs(tp, S::broadcast16(kTWeightsE)), k4096),
          S::mulhrs(S::maddubs(tp, S::broadcast16(kTWeightsO)), k4096)};
}

// The 64 pixels from x (a multiple of 16): still, all saturated, or in
// general. S: the 512-bit vector; kAllMultiplier, kNonNegative and kChroma
// as block's (kAllMultiplier: the caller knows that the block's columns lie
// within the first SigmaRow::kCached and all have multiplier sigmas).
template <class S, bool kAllMultiplier = false, bool kNonNegative = false, int kChroma = -1>
TNR_MD_PASS_INLINE void block64(const BlockIo &io, int x, const uint8_t *tRow, const SigmaRow &sig,
                                const SigmaLanes &sl, const PassConst &pc) {
  const int col = x >> 3;
  const bool cached = kAllMultiplier || col + 8 <= SigmaRow::kCached;
  // T columns n .. n + 9: the masked load reads nothing past them. Both
  // screens need every column to be 0 or 128, which one test rules out for
  // most moving blocks.
  const __m128i t = _mm_maskz_loadu_epi8(0x3FF, tRow + col);
  if (_mm_test_epi8_mask(t, _mm_set1_epi8(0x7F)) == 0) {
    if (_mm_test_epi8_mask(t, t) == 0) return stillBlock<S>(io, x);
    if (cached && _mm_cmpeq_epi8_mask(t, _mm_set1_epi8(static_cast<char>(128))) == 0x3FF &&
        saturated<S>(io, x, sig.sat + col))
      return saturatedBlock<S>(io, x, pc);
  }
  if (kAllMultiplier || (col + 8 <= SigmaLanes::kCols && otherColumns<8>(sl.other + col) == 0))
    return movingBlock<S, false, kChroma>(io, x, lAlphaOf64<S>(t),
                                          hAlphaByMultiplier<S, kNonNegative>(io, x, sl, x), pc);
  float invCols[8];
  if (!cached)
    for (int i = 0; i < 8; ++i) invCols[i] = sig.invAt(col + i);
  const float *inv = cached ? sig.inv + col : invCols;
  const uint32_t *sH = sig.sH + col;
  const typename S::V s0 = S::spreadCols(sH, 0), s1 = S::spreadCols(sH, 1);
  const typename S::F i0 = S::spreadColsF(inv, 0), i1 = S::spreadColsF(inv, 1);
  movingBlock<S, false, kChroma>(
      io, x, lAlphaOf64<S>(t),
      hAlphaFloat<S>(io, x, LaneSigma<S>{{s0, s1, s0, s1}, {i0, i1, i0, i1}}), pc);
}

// The blocks of W (the level's widest vector) from x (not the row's first
// where W is 256 bits) up to end, all within the first SigmaLanes::kCols
// columns, which all have multiplier sigmas; the x past them.
// kSmoothHere as pixelRows'.
template <class W, bool kSmoothHere, bool kNonNegative, int kChroma>
TNR_MD_PASS_INLINE int allMultiplierBlocks(const BlockIo &ioIn, int x, int end, const uint8_t *tRow,
                                           const SigmaRow &sig, const SigmaLanes &sl,
                                           const PassConst &pc) {
  // A copy that no pointer reaches, so that its fields stay in registers
  // across the byte stores, with the smoothing known.
  BlockIo io = ioIn;
  if (!kSmoothHere) io.filterStride = 0;
  // The last start as the bound: the loop's test compares x with it, no
  // addition per block.
  const int lastX = end - W::kBytes;
  for (; x <= lastX; x += W::kBytes) {
    if constexpr (W::kBytes == 64) {
      // The previous weights and the gains 16 blocks ahead (into the next
      // row near a row's end), which the 512-bit blocks otherwise wait for:
      // real 1080p at the defaults 4 to 7 % faster on an AVX-512 machine (the
      // frames and the other maps asked for as well, no faster). A hint
      // never faults, past the maps' end included.
      _mm_prefetch(reinterpret_cast<const char *>(io.preAlpha + x + 1024), _MM_HINT_T0);
      _mm_prefetch(reinterpret_cast<const char *>(io.gain + x + 1024), _MM_HINT_T0);
      block64<W, true, kNonNegative, kChroma>(io, x, tRow, sig, sl, pc);
    } else {
      block<W, true, true, W::kBytes == 32, kNonNegative, kChroma>(io, x, tRow, sig, sl, pc);
    }
  }
  return x;
}

// The same with the sign of the row's difference plane and its chroma known.
template <class W, bool kSmoothHere>
TNR_MD_PASS_INLINE int allMultiplierRow(const BlockIo &io, int x, int end, const uint8_t *tRow,
                                        const SigmaRow &sig, const SigmaLanes &sl,
                                        const PassConst &pc, bool nonNegative, bool chroma) {
  if (nonNegative)
    return chroma ? allMultiplierBlocks<W, kSmoothHere, true, 1>(io, x, end, tRow, sig, sl, pc)
                  : allMultiplierBlocks<W, kSmoothHere, true, 0>(io, x, end, tRow, sig, sl, pc);
  return chroma ? allMultiplierBlocks<W, kSmoothHere, false, 1>(io, x, end, tRow, sig, sl, pc)
                : allMultiplierBlocks<W, kSmoothHere, false, 0>(io, x, end, tRow, sig, sl, pc);
}

// The moved-back last block of a row, at proWidth - 16: lane p is pixel
// offsetX + p, with its own T columns, weights and block column. Lanes up to
// nFull - 1 were already updated in place by the previous block; their
// results here come from updated inputs and are discarded.
inline void movedBackBlock(const BlockIo &io, int proWidth, int nFull, const uint8_t *tRow,
                           const SigmaRow &sig, const PassConst &pc) {
  const int offsetX = proWidth - 16;
  alignas(16) uint8_t la[16];
  alignas(16) int32_t sLane[2][8];  // even pixels, odd pixels
  alignas(16) float invLane[2][8];
  for (int p = 0; p < 16; ++p) {
    const int X = offsetX + p;
    const int mc = (X + 4) >> 3, w = (X + 4) & 7;
    la[p] = static_cast<uint8_t>((tRow[mc] * (8 - w) + tRow[mc + 1] * w + 4) >> 3);
    sLane[p & 1][p >> 1] = static_cast<int32_t>(sig.sH[X >> 3]);
    invLane[p & 1][p >> 1] = sig.invAt(X >> 3);
  }
  using S = V128;
  const LaneSigma<S> ls{
      {S::load(sLane[0]), S::load(sLane[0] + 4), S::load(sLane[1]), S::load(sLane[1] + 4)},
      {S::loadf(invLane[0]), S::loadf(invLane[0] + 4), S::loadf(invLane[1]),
       S::loadf(invLane[1] + 4)}};
  // Bytes before the nominal start nFull keep what is in memory.
  const S::V keep = _mm_cmplt_epi8(_mm_setr_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15),
                                   _mm_set1_epi8(static_cast<char>(nFull - offsetX)));
  movingBlock<S, true>(io, offsetX, split8<S>(S::load(la)), hAlphaFloat<S>(io, offsetX, ls), pc,
                       keep);
}

// The pass over rows [y0, y1) of a grid at least 16 pixels wide; with
// kSmoothHere, hdiff is the unsmoothed plane and each moving block smooths
// the samples it needs. W: the level's widest vector.
template <class W, bool kSmoothHere>
void pixelRows(const Frames &f, const Maps &m, const Grid &g, const PassRows &r) {
  const int proWidth = g.width;
  const int sigmaStride = g.blockCols + 8;
  const ptrdiff_t hDiffStride = proWidth + 2;
  const int rowBufStride = g.blockCols + 2;

  const uint8_t ratioR = staticRatioR(r.ratioRBit);
  const PassConst pc(ratioR, static_cast<int16_t>(2 * (128 - ratioR)));

  float invRow[SigmaRow::kCached];
  const int cached = g.blockCols < SigmaRow::kCached ? g.blockCols : SigmaRow::kCached;
  int invRowOf = -1;
  int16_t satRow[SigmaRow::kCached];
  SigmaLanes lanes;
  const int laneCols = g.blockCols < SigmaLanes::kCols ? g.blockCols : SigmaLanes::kCols;
  const bool multiplierRowsOnly = g.blockCols <= SigmaLanes::kCols && proWidth % 16 == 0;

  for (int y = r.y0; y < r.y1; ++y) {
    const uint8_t *tRow = r.rowBuf + static_cast<ptrdiff_t>(y - r.y0) * rowBufStride;
    const SigmaRow sig{r.sigmaH + static_cast<ptrdiff_t>(y >> 3) * sigmaStride, invRow, satRow};
    if ((y >> 3) != invRowOf) {
      invRowOf = y >> 3;
      setSigmaLanes(sig.sH, laneCols, lanes);
      for (int i = 0; i < cached; ++i) satRow[i] = saturationBound(sig.sH[i]);
      // Only the float steps read the reciprocals: the blocks of a row
      // whose columns all have multiplier sigmas never take them, unless
      // the row has a moved-back last block or columns past the lanes.
      if (!lanes.allMultiplier || !multiplierRowsOnly) invSigmaRow(sig.sH, invRow, cached);
    }
    const ptrdiff_t mapRow = static_cast<ptrdiff_t>(y) * m.stride;
    const ptrdiff_t lumaRow = static_cast<ptrdiff_t>(y) * f.width;
    const bool oddRow = (y & 1) != 0;
    const ptrdiff_t chromaRow = static_cast<ptrdiff_t>(f.width) * (f.height + (y >> 1));

    BlockIo io;
    io.hdiff = r.hdiff + (y - r.y0) * hDiffStride;
    io.filterStride = kSmoothHere ? hDiffStride : 0;
    io.preAlpha = m.preAlpha + mapRow;
    io.curY = f.cur + lumaRow;
    io.preY = f.pre + lumaRow;
    io.curC = oddRow ? f.cur + chromaRow : nullptr;
    io.preC = oddRow ? f.pre + chromaRow : nullptr;
    io.alpha = m.alpha + mapRow;
    io.gain = m.gain + mapRow;
    const int nFull = proWidth & ~15;
    int x = 0;
    // The blocks whose columns lie within the first kCached, then the rest.
    // Where every one of them has a multiplier sigma (on real footage,
    // nearly every block row), without testing each block's; blocks of 32
    // after the first read their T columns in one load.
    const int nearEnd = nFull < 8 * SigmaRow::kCached ? nFull : 8 * SigmaRow::kCached;
    if (lanes.allMultiplier && x + W::kBytes <= nearEnd) {
      if constexpr (W::kBytes != 64) {
        block<W, true, true>(io, x, tRow, sig, lanes, pc);
        x += W::kBytes;
      }
      x = allMultiplierRow<W, kSmoothHere>(io, x, nearEnd, tRow, sig, lanes, pc, r.nonNegative,
                                           oddRow);
    }
    if constexpr (W::kBytes != 64)
      for (; x + W::kBytes <= nearEnd; x += W::kBytes) block<W, true>(io, x, tRow, sig, lanes, pc);
    if constexpr (W::kBytes == 64)
      for (; x + 64 <= nFull; x += 64) block64<W>(io, x, tRow, sig, lanes, pc);
    for (; x + Wide::kBytes <= nFull; x += Wide::kBytes) block<Wide>(io, x, tRow, sig, lanes, pc);
    for (; x < nFull; x += 16) block<V128>(io, x, tRow, sig, lanes, pc);
    if (nFull < proWidth) movedBackBlock(io, proWidth, nFull, tRow, sig, pc);
  }
}

}  // namespace

void pixelPass_x86(const Frames &f, const Maps &m, const Grid &g, const PassRows &r) {
  if (g.width < 16) return pixelPass_c(f, m, g, r);
  pixelRows<Widest, false>(f, m, g, r);
}

void pixelPassSmooth_x86(const Frames &f, const Maps &m, const Grid &g, const PassRows &r) {
  pixelRows<Widest, true>(f, m, g, r);
}

}  // namespace tnr_md::TNR_MD_X86_NS
