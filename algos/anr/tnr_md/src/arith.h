// Per-sample arithmetic shared by the stages: the roundings, saturations,
// wraps and float steps that every vector form must reproduce bit for bit.
#ifndef TNR_MD_ARITH_H
#define TNR_MD_ARITH_H

#include <cmath>
#include <cstdint>
#include <cstring>

namespace tnr_md {

// The inline steps have internal linkage: the x86 forms compile them once
// per x86-64 level, and no copy of one level may stand in for another's.
namespace {

// (x + 2^(n-1)) >> n in 64 bits, so the rounding constant never overflows.
constexpr int64_t roundShift(int64_t x, int n) { return (x + (int64_t{1} << (n - 1))) >> n; }

// x / 2^n rounded to nearest, halves away from zero.
constexpr int64_t symRoundShift(int64_t x, int n) {
  return x >= 0 ? (x + (int64_t{1} << (n - 1))) >> n : -((-x + (int64_t{1} << (n - 1))) >> n);
}

// The low 16 bits of x read as signed: a plain (wrapping) narrowing.
constexpr int16_t low16(int64_t x) { return static_cast<int16_t>(static_cast<uint16_t>(x)); }

template <class T>
constexpr T clampTo(int64_t x, int64_t lo, int64_t hi) {
  return static_cast<T>(x < lo ? lo : (x > hi ? hi : x));
}
constexpr uint8_t satU8(int64_t x) { return clampTo<uint8_t>(x, 0, 255); }
constexpr uint16_t satU16(int64_t x) { return clampTo<uint16_t>(x, 0, 65535); }
constexpr int16_t satS16(int64_t x) { return clampTo<int16_t>(x, -32768, 32767); }

// Float to int32 / uint32 toward zero, saturating; NaN gives 0.
inline int32_t truncToInt(float f) {
  if (std::isnan(f)) return 0;
  if (f >= 2147483648.0f) return INT32_MAX;
  if (f <= -2147483648.0f) return INT32_MIN;
  return static_cast<int32_t>(f);
}
inline int32_t truncToInt(double f) {
  if (std::isnan(f)) return 0;
  if (f >= 2147483648.0) return INT32_MAX;
  if (f <= -2147483648.0) return INT32_MIN;
  return static_cast<int32_t>(f);
}
inline uint32_t truncToUint(float f) {
  if (std::isnan(f) || f <= 0.0f) return 0;
  if (f >= 4294967296.0f) return UINT32_MAX;
  return static_cast<uint32_t>(f);
}

inline uint32_t floatBits(float f) {
  uint32_t u;
  std::memcpy(&u, &f, sizeof u);
  return u;
}
inline float bitsFloat(uint32_t u) {
  float f;
  std::memcpy(&f, &u, sizeof f);
  return f;
}

// The Advanced SIMD single-precision reciprocal estimate (VRECPE) of a
// positive normal value whose reciprocal is normal too (the stages only take
// it of integers 1 .. 32767): a 9-bit estimate from the top 8 fraction bits.
inline float recipEstimate(float f) {
  const uint32_t bits = floatBits(f);
  const uint32_t e = (bits >> 23) & 0xFF;
  const uint32_t m = bits & 0x7FFFFF;
  const uint32_t a = 256 + (m >> 15);
  const uint32_t q = (1u << 19) / (2 * a + 1);
  const uint32_t r = (q + 1) >> 1;  // 256 .. 511
  return bitsFloat((bits & 0x80000000u) | ((253 - e) << 23) | ((r - 256) << 15));
}

// VRECPS as ARMv7 computes it: 2 - a*b, product and difference each rounded.
inline float recipStep(float a, float b) {
  const float p = a * b;  // never fused: the library builds with -ffp-contract=off
  return 2.0f - p;
}

// Reciprocal from the estimate and one Newton-Raphson step.
inline float recipRefine(float v) {
  const float e = recipEstimate(v);
  return recipStep(v, e) * e;
}

// The stages' per-sample steps, shared by the forms (their narrow-grid and
// tail paths reuse them).

// The chroma weight in 1/128 steps, rounded half away from zero; the 0.5 is
// added in double precision.
inline int32_t uvRatioFix(float uv_ratio) {
  const float p = uv_ratio * 128.0f;
  return p > 0.0f ? truncToInt(static_cast<double>(p) + 0.5)
                  : truncToInt(static_cast<double>(p) - 0.5);
}

// The table scales: sigma scale x 8/7 in double precision, then to float.
inline float sigmaTableScale(float scale) {
  return static_cast<float>(static_cast<double>(scale) * (8.0 / 7.0));
}

// d x 128 / s with the estimate-and-one-step reciprocal, rounded, at most 128.
inline uint8_t blockAlphaOf(int16_t ldiff, uint16_t sigmaL) {
  const int16_t sL = static_cast<int16_t>(sigmaL);
  const int16_t diff = low16(ldiff - sL);  // wraps in 16 bits
  const int32_t d = diff > 0 ? diff : 0;
  const int32_t s = sL > 64 ? sL : 64;
  const uint32_t a =
      truncToUint(static_cast<float>(d * 128) * recipRefine(static_cast<float>(s)) + 0.5f);
  return static_cast<uint8_t>(a < 128 ? a : 128);
}

// Per-pixel motion against the high sigma; inv = 1 / sH in double, to float.
inline uint8_t pixelAlphaOf(int16_t hdiff, int32_t sH, float inv) {
  const uint32_t excess = static_cast<uint32_t>(hdiff) - static_cast<uint32_t>(sH);
  const int32_t hd = static_cast<int32_t>((static_cast<int32_t>(excess) > 0 ? excess : 0u) << 7);
  const uint32_t a = truncToUint(static_cast<float>(hd) * inv + 0.5f);
  return static_cast<uint8_t>(a < 128 ? a : 128);
}

// A bound on the smoothed differences of a block column with high sigma sH
// above which every difference has per-pixel alpha 128 (32767 where none of
// 16 bits is above it): T = 2 s - floor(s / 256) with s = min(sH, 32767),
// at most 32767. No division: the vector passes screen saturated blocks with
// it. For h > T, sH < 32767: the excess d = h - sH >= s - s / 256 + 1, and
// with inv = invSigma(sH) >= (1 - 2^-24) / sH the product d x 128 x inv,
// rounded, is at least (127.5 + 128 / s)(1 - 2^-23) > 127.5, so trunc(product
// + 0.5) >= 128. (sH = 0: inv = +infinity and d >= 1.) The least difference
// with alpha 128 is about the same, 2 sH - sH / 256, so the bound screens
// nearly every saturated block.
constexpr int16_t saturationBound(uint32_t sH) {
  const uint32_t s = sH < 32767 ? sH : 32767;
  const uint32_t t = 2 * s - (s >> 8);
  return static_cast<int16_t>(t < 32767 ? t : 32767);
}

// The per-pixel alpha in integers. For 128 < sH <= 32767 with sH not a
// multiple of 256 ("multiplier sigmas"), and every excess d = max(h - sH, 0):
//   pixelAlphaOf(h, sH, invSigma(sH)) == min((d M + 2^30) >> 31, 128),
//   M = ceil(2^38 / sH)   (2^30 < M < 2^31).
// The right-hand side is floor(d M / 2^31 + 1/2), the rounding doubling
// multiply-high of 32-bit lanes (vqrdmulh), one instruction per 4 lanes
// instead of the float steps.
// Why. Write v = 128 d / sH + 1/2 = (256 d + sH) / (2 sH). Then
// d M / 2^31 + 1/2 = v + e with 0 <= e = d (M - 2^38 / sH) / 2^31 < d / 2^31.
// For d <= sH, e < sH / 2^31 <= 1 / (2 sH) (as sH^2 < 2^30), while the
// fraction of v is a multiple of 1 / (2 sH) below 1, so floor(v + e) =
// floor(v) = R(d), the rational alpha floor((256 d + sH) / (2 sH)). For d >
// sH both sides are at least 128: R(d) > 128 and the float alpha never falls
// as d grows, and pixelAlphaOf(2 sH) is 128. The float steps give R(d) for
// every d <= sH at these sigmas: their error is below 2^-15 and the fraction
// of v is 0 only where 256 d + sH is a multiple of 2 sH, which needs sH to be a
// multiple of 256; elsewhere it is at least 1 / (2 sH) >= 2^-16, and the
// exhaustive test (every multiplier sigma, every d) checks that none of the
// near ties turns. At 15 sigmas that are multiples of 256 (10496 .. 31488)
// the float steps round exact ties down; such sigmas, those up to 128 (M too
// large for 31 bits) and those above 32767 keep the float steps.
constexpr bool isMultiplierSigma(uint32_t sH) { return sH > 128 && sH <= 32767 && (sH & 255) != 0; }

// M = ceil(2^38 / sH) of a multiplier sigma. 2^38 / sH is never an integer
// there (sH is not a power of two), and it lies at least 1 / sH >= 2^-15 from
// the integers around it while the double quotient is within 2^-22 of it, so
// the truncated quotient plus one is M.
inline int32_t pixelAlphaMultiplier(uint32_t sH) {
  return static_cast<int32_t>(274877906944.0 / static_cast<double>(sH)) + 1;
}

// Whether every sample of the full-resolution difference plane that the
// frame difference writes with chroma weight fix (uvRatioFix) is at least 0,
// and so every smoothed one too (the 3x3 filter's weights are positive).
// With u = low16(fix) in 0 .. 192, each chroma term t = low16(RoundShift(
// (|dU| + |dV|) u, 7)) lies in 0 .. RoundShift(510 x 192, 7) = 765, so h =
// |dY| + t in 0 .. 1020 and the stored 32 h in 0 .. 32640: nothing wraps.
// The shipped uv ratio 0.75 gives fix 96.
constexpr bool diffPlaneNonNegative(int32_t fix) {
  return low16(fix) >= 0 && low16(fix) <= 192;
}

// The integer form of the per-pixel alpha from the excess d (0 .. 32767).
constexpr uint8_t pixelAlphaByMultiplier(int32_t d, int32_t m) {
  const int64_t a = (int64_t{d} * m + (int64_t{1} << 30)) >> 31;
  return static_cast<uint8_t>(a < 128 ? a : 128);
}

// The new recursive weight: (staticAlpha / 128) / (2 - preAlpha / 128).
inline uint8_t recursiveWeight(uint8_t staticAlpha, uint8_t preAlpha) {
  const uint32_t w = truncToUint(static_cast<float>(staticAlpha * 128) *
                                     recipRefine(static_cast<float>(256 - preAlpha)) +
                                 0.5f);
  return static_cast<uint8_t>(w < 128 ? w : 128);
}

// recursiveWeight(128, pa) for pa below 128, the weight of a still pixel, in
// integers: floor((32767 + den) / (2 den)) with den = 256 - pa (the x86
// forms' quotient for staticAlpha 128). The vector forms' still-weight tables
// are built from it; the twin tests compare them with the per-sample form.
constexpr uint8_t stillWeight(int pa) {
  return static_cast<uint8_t>((32767 + (256 - pa)) / (2 * (256 - pa)));
}

// recursiveWeight(sa, pa) for previous weights pa of at most 128 as one
// multiplication. The weight is the integer quotient
//   q(sa, pa) = min(floor((256 sa + den - 1) / (2 den)), 128), den = 256 - pa
// (the float steps' value for every pair; the twin tests run every pair
// through the passes). For each pa there is a range of 15-bit multipliers m
// with (sa m + 2^14) >> 15 == q(sa, pa) for every sa 0 .. 128: the rounding
// multiply-high of 16-bit lanes (x86's _mm_mulhrs_epi16; NEON's vqrdmulh
// forms (2 sa m + 2^15) >> 16, the same value). The vector forms take m
// from tables by pa or from a line per group of four pa (weightLine), and
// each form's compiler checks what it built against every pair.
constexpr int weightQuotient(int sa, int pa) {
  const int den = 256 - pa;
  const int q = (256 * sa + den - 1) / (2 * den);
  return q < 128 ? q : 128;
}

// The least and the greatest m in 0 .. 32767 that meet every quotient of pa
// (the ranges are 1 to 255 wide for pa 0 .. 127).
constexpr int weightMultiplierLeast(int pa) {
  int m = 0;
  for (int sa = 1; sa <= 128; ++sa) {
    const int need = weightQuotient(sa, pa) * 32768 - 16384;  // sa m >= need
    const int least = need <= 0 ? 0 : (need + sa - 1) / sa;
    m = m > least ? m : least;
  }
  return m;
}
constexpr int weightMultiplierMost(int pa) {
  int m = 32767;
  for (int sa = 1; sa <= 128; ++sa) {
    const int below = (weightQuotient(sa, pa) + 1) * 32768 - 16384;  // sa m < below
    const int most = (below - 1) / sa;
    m = m < most ? m : most;
  }
  return m;
}

// Both bounds of every pa below 128, computed once: the lines consult them
// for every slope they try (a compiler's constant evaluation has a step
// budget).
struct WeightRanges {
  int least[128], most[128];
};
constexpr WeightRanges makeWeightRanges() {
  WeightRanges r{};
  for (int pa = 0; pa < 128; ++pa) {
    r.least[pa] = weightMultiplierLeast(pa);
    r.most[pa] = weightMultiplierMost(pa);
  }
  return r;
}
constexpr WeightRanges kWeightRanges = makeWeightRanges();

// A multiplier for each pa = 4 g + j of a group g (0 .. 31) on a line,
// m = base + slope x j: the least slope (at most 255) whose line stays
// within the ranges of the group's four, with the least base; {-1, -1} where
// none does (the forms' checks then fail).
struct WeightLine {
  int base, slope;
};
constexpr WeightLine weightLine(int g) {
  for (int slope = 0; slope <= 255; ++slope) {
    int lo = 0, hi = 32767;
    for (int j = 0; j < 4; ++j) {
      const int l = kWeightRanges.least[4 * g + j] - slope * j;
      const int h = kWeightRanges.most[4 * g + j] - slope * j;
      lo = lo > l ? lo : l;
      hi = hi < h ? hi : h;
    }
    if (lo <= hi) return {lo, slope};
  }
  return {-1, -1};
}

// static_ratio_r: 1 << static_ratio_r_bit, 0 from bit 8 on.
inline uint8_t staticRatioR(uint8_t static_ratio_r_bit) {
  return static_ratio_r_bit >= 8 ? 0 : static_cast<uint8_t>(1u << static_ratio_r_bit);
}

// The magnitude of a 32-bit value read as signed, as unsigned (INT32_MIN
// stays 2^31): the absolute difference of the block stage's sums.
inline uint32_t abs32(uint32_t v) { return static_cast<int32_t>(v) < 0 ? 0u - v : v; }

// A block's chroma value: |chromaSum| / 2 (floored) x fix / 128, halves
// away from zero, the low 32 bits of the 64-bit result.
inline uint32_t chromaBlockTerm(int32_t chromaSum, int32_t fix) {
  const int64_t a = (chromaSum < 0 ? -int64_t{chromaSum} : int64_t{chromaSum}) >> 1;
  return static_cast<uint32_t>(symRoundShift(a * fix, 7));
}

// The frame difference's two outputs of one 8x8 block from its exact sums:
// sumY of the 64 luma differences, sumU and sumV of the 64 co-sited chroma
// differences (a chroma pair counts once per sample it serves), sumYUV of the
// 8 column sums of the full-resolution difference (each column wrapped in 16
// bits); fix the chroma weight (uvRatioFix). The block difference is the
// wrapping sum of the three magnitudes, the block sigma its magnitude's
// distance from sumYUV / 2; both keep their low 16 bits.
struct BlockOut {
  int16_t ldiff, sigma;
};
inline BlockOut blockOut(int32_t sumY, int32_t sumU, int32_t sumV, int32_t sumYUV, int32_t fix) {
  const uint32_t y = static_cast<uint32_t>(sumY >> 1);  // floor
  const uint32_t ds =
      abs32(y) + abs32(chromaBlockTerm(sumU, fix)) + abs32(chromaBlockTerm(sumV, fix));
  return {low16(ds), low16(abs32(ds - static_cast<uint32_t>(sumYUV >> 1)))};
}

// The reciprocal of one high sigma entry: a double-precision division, the
// quotient rounded once to single precision (sH = 0 gives +infinity).
inline float invSigma(int32_t sH) { return static_cast<float>(1.0 / static_cast<double>(sH)); }

// The two block rows that processing row y interpolates between (block row j
// sits at row 8j + 4; rows above the first centre and below the last repeat
// it) and the weight of the lower one, 0 .. 7; the upper one weighs 8 - wgt0.
// Both weights come from the unclamped block row.
struct BlockRowPair {
  int index0, index1, wgt0;
};
inline BlockRowPair blockRowPair(int y, int blockRows) {
  const int index = (y + 4) >> 3;
  return {index - 1 > 0 ? index - 1 : 0, index < blockRows - 1 ? index : blockRows - 1,
          (y + 4) - 8 * index};
}

}  // namespace
}  // namespace tnr_md

#endif  // TNR_MD_ARITH_H
