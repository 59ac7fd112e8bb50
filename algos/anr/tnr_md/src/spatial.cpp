// The spatial stage, per-sample form, its threshold table, the frame noise
// level and the exported entry points.
//
// Filter: one step of a robust (redescending) estimator from the centre over
// the 3x3 window with the binomial spatial kernel s = 1, 2, 1 along each axis
// (4 at the centre, 2 beside it, 1 in the corners, 16 in all):
//   out = c + floor((sum_q s(q) psi(q - c, t) + 8) / 16),
//   psi(d, t) = sign(d) min(|d|, max(t - |d|, 0)).
// Differences up to t / 2 count in full, so a flat noisy area gets the
// binomial 3x3 mean; larger ones count less and those of t or more not at
// all, so an edge with more contrast than t keeps its two sides (a neighbour
// across it counts as the centre's own value). The threshold t follows the
// noise the temporal blend left at the pixel: the blend is a running mean
// whose previous-frame weight w / 128 after n frames is (n - 1) / n, so the
// residual noise variance is sigma^2 x (128 - w) / 128 and t is
// strength x sigma x sqrt((128 - w) / 128): full strength where the pixel
// moved (w = 0), less where frames were averaged, none where the blend has
// reached its ceiling (w settles at 120, a mean of 16 frames) or t would
// fall below kSpatialMinThreshold.
//
// Why this filter: like a bilateral filter it keeps edges whose contrast
// exceeds the threshold, and with the threshold tied to the local residual
// noise it keeps fine texture where the blend already removed the noise.
// Unlike a bilateral filter it needs no division: the weights are fixed and
// sum to 16, the influences are integers, and the result is a shift of an
// exact sum. Every influence is at most t / 2 <= 21 (kSpatialMaxThreshold),
// so the influences of one sign weigh at most 12 x 21 = 252 and the vector
// forms keep each sign's sum in one byte per sample. The result needs no
// clamping: psi(d) lies between 0 and d, so for d > 0 the positive sum is at
// most 12 (255 - c) and c + floor((12 (255 - c) + 8) / 16) <= 255 for every
// c (c <= 253: 4 (255 - c) >= 8; c = 254: 254 + 1; c = 255: no positive
// difference); likewise the negative sum is at most 12 c and
// c + floor((8 - 12 c) / 16) >= 0. A guided filter would need per-pixel
// variances and a second pass; a filter of fixed strength smooths the still,
// already clean detail as much as the moving parts.
#include <algorithm>
#include <cstring>

#include "arith.h"
#include "kernels.h"
#include "layout.h"
#include "motion_detect.h"
#include "spatial.h"

namespace tnr_md {
namespace {

uint64_t isqrt64(uint64_t x) {
  uint64_t r = 0, bit = uint64_t{1} << 62;
  while (bit > x) bit >>= 2;
  while (bit) {
    if (x >= r + bit) {
      x -= r + bit;
      r = (r >> 1) + bit;
    } else {
      r >>= 1;
    }
    bit >>= 2;
  }
  return r;
}

int clampInt(int v, int lo, int hi) { return v < lo ? lo : (v > hi ? hi : v); }

// Block sigma of a still 8x8 block per unit of noise sigma on every byte, in
// the difference stage's units, divided by (1 + 2 x uv_ratio) (its chroma
// terms): calibrated on real footage with Gaussian noise of sigma 4 and 8.
constexpr int kNoiseNum = 81, kNoiseDen = 4;

}  // namespace

bool spatialAccepts(int imgHeight, int imgWidth, int proHeight, int proWidth, int gainStride) {
  if (proWidth < 8 || proHeight < 8) return false;
  if ((imgWidth & 1) || (imgHeight & 1) || proWidth > imgWidth || proHeight > imgHeight)
    return false;
  if (gainStride < proWidth) return false;
  // Frame offsets are computed in ptrdiff_t; keep them inside 32-bit sizes.
  return int64_t{imgWidth} * imgHeight * 3 / 2 < (int64_t{1} << 31) &&
         int64_t{gainStride} * proHeight < (int64_t{1} << 31);
}

void spatialThresholds(int noiseLevel, int strength, uint8_t lut[kSpatialLutSize]) {
  const uint64_t a = static_cast<uint64_t>(clampInt(noiseLevel, 0, kSpatialMaxNoise)) *
                     static_cast<uint64_t>(clampInt(strength, 0, kSpatialMaxStrength));
  for (int i = 0; i < kSpatialLutSize; ++i) {
    // (a / 256) x sqrt((126 - 4 i) / 128), rounded: a^2 (126 - 4 i) 512 < 2^56.
    const uint64_t t = (isqrt64(a * a * static_cast<uint64_t>(126 - 4 * i) * 512) + 32768) >> 16;
    lut[i] = t < kSpatialMinThreshold
                 ? 0
                 : static_cast<uint8_t>(t < kSpatialMaxThreshold ? t : kSpatialMaxThreshold);
    if (i >= kSpatialStillIndex) lut[i] = 0;
  }
}

uint8_t spatialSample(const uint8_t *const r[3], const int c[3], int t) {
  const int v = r[1][c[1]];
  if (t == 0) return static_cast<uint8_t>(v);  // every influence is 0
  int sum = 0;  // within +-252: see the top of the file
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j)
      sum += kSpatialTap[i] * kSpatialTap[j] * spatialInfluence(r[i][c[j]] - v, t);
  // floor((sum + 8) / 16) as an arithmetic shift of a non-negative value.
  return static_cast<uint8_t>(v + ((sum + 8 + 256) >> 4) - 16);
}

uint8_t spatialPlaneSample(const uint8_t *const r[3], const uint8_t *pre, int width, int s, int x,
                           const uint8_t *lut) {
  const int comp = s == 2 ? (x & 1) : 0;
  const int hi = s == 2 ? width - 1 - ((width - 1 - comp) & 1) : width - 1;  // last column of comp
  int c[3];
  for (int k = 0; k < 3; ++k) c[k] = clampInt(x + s * (k - 1), comp, hi);
  const int wx = s == 2 ? ((x | 1) < width ? (x | 1) : width - 1) : x;
  return spatialSample(r, c, lut[spatialIndex(pre[wx])]);
}

void spatial_c(const SpatialFrame &f, int y0, int y1, int c0, int c1) {
  spatialRows(f, y0, y1, c0, c1,
              [&](const uint8_t *const r[3], uint8_t *out, const uint8_t *pre, int s) {
                for (int x = 0; x < f.proWidth; ++x)
                  out[x] = spatialPlaneSample(r, pre, f.proWidth, s, x, f.lut);
              });
}

}  // namespace tnr_md

using namespace tnr_md;

extern "C" {

int motionDetectNoiseLevel(const int16_t *pTmpBuf, int proHeight, int proWidth, float uv_ratio) {
  const Layout g = makeLayout(proHeight, proWidth);
  if (!g.accepted) return 0;
  // Lower quartile of the block sigma plane, in bins of 4: still blocks
  // measure the noise; moving ones scatter to either side, and a quartile
  // keeps a moderate share of them from moving the estimate far.
  uint32_t hist[1024] = {0};
  const int16_t *sigma = pTmpBuf + g.sigma;
  for (int by = 0; by < g.blockRows; ++by)
    for (int bx = 0; bx < g.blockCols; ++bx) {
      const int v = sigma[(by + 4) * g.sigmaStride + bx + 4];
      ++hist[clampInt(v, 0, 4095) >> 2];
    }
  const uint32_t rank = static_cast<uint32_t>(g.blockRows) * static_cast<uint32_t>(g.blockCols) / 4;
  uint32_t seen = 0;
  int bin = 0;
  while (bin < 1023 && seen + hist[bin] <= rank) seen += hist[bin++];
  const int64_t q = 4 * bin + 2;
  const int64_t uv = std::max<int64_t>(uvRatioFix(uv_ratio), 0);
  const int64_t level = (q * 16 * 128 * kNoiseDen + (kNoiseNum * (128 + 2 * uv)) / 2) /
                        (kNoiseNum * (128 + 2 * uv));
  return static_cast<int>(std::min<int64_t>(level, kSpatialMaxNoise));
}

int spatialDenoiseAccepts(int imgHeight, int imgWidth, int proHeight, int proWidth,
                          int gainStride) {
  return spatialAccepts(imgHeight, imgWidth, proHeight, proWidth, gainStride) ? 1 : 0;
}

void spatial_denoise(const uint8_t *pIn, uint8_t *pOut, const uint8_t *pPreAlpha, int imgHeight,
                     int imgWidth, int proHeight, int proWidth, int gainStride, int noiseLevel,
                     int strength) {
  if (!spatialAccepts(imgHeight, imgWidth, proHeight, proWidth, gainStride)) return;
  uint8_t lut[kSpatialLutSize];
  spatialThresholds(noiseLevel, strength, lut);
  const SpatialFrame f{pIn, pOut, pPreAlpha, imgHeight, imgWidth, proHeight, proWidth, gainStride,
                       lut};
  TNR_MD_DEFAULT_KERNELS.spatial(f, 0, proHeight, 0, proHeight / 2);
}

}  // extern "C"
