// The spatial stage that follows motion_detect: an edge-preserving 3x3 filter
// whose range threshold follows the residual noise the temporal blend left at
// each pixel. Its constants and the per-sample steps its forms share (the
// forms, spatial_c, spatial_neon and spatial_x86, are SpatialFn of kernels.h).
#ifndef TNR_MD_SPATIAL_H
#define TNR_MD_SPATIAL_H

#include <cstddef>
#include <cstdint>

#include "kernels.h"

namespace tnr_md {

// Entries of the threshold table: a pixel's threshold is lut[min(w >> 2, 31)]
// for its recursive weight w.
constexpr int kSpatialLutSize = 32;
// Largest threshold: a tap's influence is at most T / 2 <= 21, so the
// neighbours' weighted influences of one sign (weights summing to 12) stay
// within 12 x 21 = 252, one byte, which the vector forms' accumulators rely on.
constexpr int kSpatialMaxThreshold = 42;
// Spatial kernel along each axis: tap (i, j) of the window weighs
// kSpatialTap[i] x kSpatialTap[j] (4 at the centre, 2 beside it, 1 in the
// corners: 16 in all).
constexpr uint8_t kSpatialTap[3] = {1, 2, 1};
// Thresholds below this are 0 (the pixel passes unchanged): where the
// temporal blend left little noise, the stage does nothing.
constexpr int kSpatialMinThreshold = 3;
// Weights from 4 x this index on (w >= 120) get no filtering: the temporal
// blend's recursive weight settles at 120 on a still pixel (a running mean of
// 16 frames), where its output is as clean as the blend makes it.
constexpr int kSpatialStillIndex = 30;
// Accepted ranges of the two tuning values (larger values are clamped).
constexpr int kSpatialMaxNoise = 4095;    // 1/16 code values: sigma 255.9
constexpr int kSpatialMaxStrength = 255;  // 1/16: 15.9 times the noise sigma

// Whether the entry point accepts these sizes (it touches nothing otherwise).
bool spatialAccepts(int imgHeight, int imgWidth, int proHeight, int proWidth, int gainStride);

// The threshold table for a noise sigma (1/16 code values) and a strength
// (1/16): entry i is (isqrt(a^2 x (126 - 4 i) x 512) + 32768) >> 16 with
// a = strength x noiseLevel (both clamped to their ranges), that is
// strength x sigma x sqrt((126 - 4 i) / 128) rounded; 0 below
// kSpatialMinThreshold and from kSpatialStillIndex on, at most
// kSpatialMaxThreshold.
void spatialThresholds(int noiseLevel, int strength, uint8_t lut[kSpatialLutSize]);

// Threshold index of a recursive weight: min(w >> 2, 31). (Internal linkage,
// as the library's other header helpers: the x86 forms compile it per level.)
namespace {
inline int spatialIndex(uint8_t w) { return w >> 2 < 31 ? w >> 2 : 31; }
}  // namespace

// The influence of a difference d at threshold t:
//   psi(d) = sign(d) min(|d|, max(t - |d|, 0)),
// d itself up to t / 2, falling back to 0 at |d| = t (0 everywhere at t = 0).
namespace {
inline int spatialInfluence(int d, int t) {
  const int a = d < 0 ? -d : d;
  const int m = a < t - a ? a : (t - a > 0 ? t - a : 0);
  return d < 0 ? -m : m;
}
}  // namespace

// One output sample of a plane (luma: step 1; chroma: step 2, the same
// component two bytes away), from row pointers r[0..2] (rows y - 1 .. y + 1,
// clamped to the plane) and columns c[0..2] (x - step, x, x + step, clamped
// to the component's columns), with threshold t. Defined per sample, c the
// centre v(x):
//   out = c + floor((sum over the 8 neighbours q of s(i) s(j) psi(v(q) - c, t) + 8) / 16)
// (the sum lies within +-252, and the result within 0 .. 255: see spatial.cpp).
uint8_t spatialSample(const uint8_t *const r[3], const int c[3], int t);

// Sample x of a grid row of `width` columns: luma (s = 1, thresholds from
// the weights pre[x]) or chroma (s = 2, bytes x - 2 .. x + 2 of the same
// component, the weight of luma column min(x | 1, width - 1) of the row
// below); window columns clamped to the component's columns in the grid.
uint8_t spatialPlaneSample(const uint8_t *const r[3], const uint8_t *pre, int width, int s, int x,
                           const uint8_t *lut);

// The rows of one call, as every form walks them: luma rows [y0, y1) and
// chroma rows [c0, c1) of the grid, each handed to
// row(r, out, pre, s) with its three input rows r[0..2] (y - 1 .. y + 1,
// clamped to the plane), its output row, the row of weights its thresholds
// come from and its step s (1 luma, 2 chroma). A chroma row takes the
// weights of the luma row below it: both bytes of a pair weigh as the
// right-hand luma pixel of the pair on the lower row, as the temporal blend
// does (the last column's for the last byte of an odd-width grid).
namespace {
template <class Row>
inline void spatialRows(const SpatialFrame &f, int y0, int y1, int c0, int c1, Row row) {
  const ptrdiff_t pitch = f.imgWidth;
  const auto clampRow = [](int y, int last) { return y < 0 ? 0 : (y > last ? last : y); };
  for (int y = y0; y < y1 && y < f.proHeight; ++y) {
    const uint8_t *r[3];
    for (int k = 0; k < 3; ++k) r[k] = f.pIn + clampRow(y - 1 + k, f.proHeight - 1) * pitch;
    row(r, f.pOut + y * pitch, f.pPreAlpha + static_cast<ptrdiff_t>(y) * f.gainStride, 1);
  }
  const ptrdiff_t uv = pitch * f.imgHeight;
  const int uvRows = f.proHeight / 2;
  for (int cy = c0; cy < c1 && cy < uvRows; ++cy) {
    const uint8_t *r[3];
    for (int k = 0; k < 3; ++k) r[k] = f.pIn + uv + clampRow(cy - 1 + k, uvRows - 1) * pitch;
    row(r, f.pOut + uv + cy * pitch,
        f.pPreAlpha + static_cast<ptrdiff_t>(2 * cy + 1) * f.gainStride, 2);
  }
}
}  // namespace

}  // namespace tnr_md

#endif  // TNR_MD_SPATIAL_H
