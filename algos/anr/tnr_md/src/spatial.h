// The spatial stage that follows motion_detect: an edge-preserving 5x5 filter
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
// Largest threshold: the range weights of 9 taps (<= 28 each) sum within 8
// bits, and times a sample (<= 255) within 16 bits, which the vector forms'
// accumulators rely on.
constexpr int kSpatialMaxThreshold = 28;
// Spatial kernel along each axis: tap (i, j) of the window weighs
// kSpatialTap[i] x kSpatialTap[j] (4 on the inner 3x3, 2 on the outer ring,
// 1 in the corners) times its range weight.
constexpr uint8_t kSpatialTap[5] = {1, 2, 2, 2, 1};
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

// One output sample of a plane (luma: step 1; chroma: step 2, the same
// component two bytes away), from row pointers r[0..4] (rows y - 2 .. y + 2,
// clamped to the plane) and columns c[0..4] (x - 2 step .. x + 2 step, clamped
// to the component's columns), with threshold t. Defined per sample:
//   w(q) = s(i) s(j) max(t - |v(q) - v(x)|, 0) over the 25 taps (i, j);
//   out = v(x) when t = 0, else
//   min(TruncToUint((float)sum(w v) x RecipRefine((float)sum(w)) + 0.5f), 255).
uint8_t spatialSample(const uint8_t *const r[5], const int c[5], int t);

// Sample x of a grid row of `width` columns: luma (s = 1, thresholds from
// the weights pre[x]) or chroma (s = 2, bytes x - 4 .. x + 4 of the same
// component, the weight of luma column min(x | 1, width - 1) of the row
// below); window columns clamped to the component's columns in the grid.
uint8_t spatialPlaneSample(const uint8_t *const r[5], const uint8_t *pre, int width, int s, int x,
                           const uint8_t *lut);

}  // namespace tnr_md

#endif  // TNR_MD_SPATIAL_H
