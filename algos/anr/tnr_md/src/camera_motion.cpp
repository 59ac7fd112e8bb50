// Camera motion: the global motion estimator, the history shift's driver,
// the per-sample forms of their hot loops and the exported entry points.
//
// The estimator (motionEstimate in motion_detect.h) works on a pyramid of
// rounded 4x4 box means: the 16-fold reduction is searched exhaustively per
// tile, the 4-fold one refines, the full-size picture gives the last whole
// pixel and the fraction (one symmetric gradient step: the gradients of both
// pictures averaged, so that the step is exact to second order for a
// residual below a pixel). All sums are integers and the only division is
// the 2x2 solve in 64 bits, so every build gives the same motion.
//
// The history shift's filter: a separable six-tap windowed sinc (Lanczos,
// a = 3) at 1/16 phase, taps in 1/64 (kShiftTaps). A recursive filter
// resamples its history every frame, so the filter's loss of detail
// compounds; bilinear interpolation halves the amplitude of a detail two
// pixels wide at phase 1/2, a four-tap cubic keeps most of it, the six taps
// more (docs/camera-motion.md has the measured differences).
#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "camera_motion.h"

namespace tnr_md {

// The Lanczos kernel (a = 3) at 1/16 phase, normalised to sum 64, each
// phase the rounding nearest to it (least sum of squared differences over
// the taps moved by at most one unit) with sum 64 and first moment 4 x
// phase: every phase reproduces a constant and a linear ramp exactly (a
// ramp moved by a fraction of a pixel is a bias the recursion would
// accumulate). Phases 9 .. 15 mirror 7 .. 1; phase 0 is the sample itself.
// Taps 0, 2, 3 and 5 are never negative, 1 and 4 never positive (the vector
// forms rely on it); the positive ones sum to at most 82, the negative to at
// least -18.
const int8_t kShiftTaps[16][6] = {
    {0, 0, 64, 0, 0, 0},    {1, -4, 64, 4, -1, 0},  {1, -6, 63, 8, -2, 0},
    {1, -7, 60, 13, -3, 0}, {2, -9, 57, 18, -5, 1}, {2, -9, 53, 22, -5, 1},
    {2, -10, 49, 29, -7, 1}, {2, -9, 44, 33, -8, 2}, {2, -9, 39, 39, -9, 2},
    {2, -8, 33, 44, -9, 2}, {1, -7, 29, 49, -10, 2}, {1, -5, 22, 53, -9, 2},
    {1, -5, 18, 57, -9, 2}, {0, -3, 13, 60, -7, 1}, {0, -2, 8, 63, -6, 1},
    {0, -1, 4, 64, -4, 1},
};

// The estimator's resampling (its second gradient step): the cubic
// convolution kernel with a = -0.5 (Catmull-Rom) at 1/16 phase, times 64
// and rounded, then moved by one unit where the rounding left the sum off 64
// or the first moment off 4 x phase, in the shift's layout (taps 0 and 5
// zero). One resampling of one picture needs no more; the shift's sharper
// filter would cost a third more rows there.
const int8_t kFitTaps[16][6] = {
    {0, 0, 64, 0, 0, 0},   {0, -2, 64, 2, 0, 0},   {0, -3, 62, 5, 0, 0},   {0, -4, 59, 10, -1, 0},
    {0, -4, 55, 14, -1, 0}, {0, -5, 52, 19, -2, 0}, {0, -5, 47, 25, -3, 0}, {0, -4, 41, 30, -3, 0},
    {0, -4, 36, 36, -4, 0}, {0, -3, 30, 41, -4, 0}, {0, -3, 25, 47, -5, 0}, {0, -2, 19, 52, -5, 0},
    {0, -1, 14, 55, -4, 0}, {0, -1, 10, 59, -4, 0}, {0, 0, 5, 62, -3, 0},  {0, 0, 2, 64, -2, 0},
};

// ---- Per-sample forms ------------------------------------------------------

void shiftH_c(const uint8_t *src, int16_t *h, int n, int step, const int8_t *taps) {
  for (int i = 0; i < n; ++i) {
    int sum = 0;
    for (int k = 0; k < kShiftTapCount; ++k) sum += taps[k] * src[i + step * (k - 2)];
    h[i] = static_cast<int16_t>((sum + 32) >> 6);
  }
}

void shiftV_c(const int16_t *const *r, uint8_t *out, int n, const int8_t *taps) {
  for (int i = 0; i < n; ++i) {
    int sum = 0;
    for (int k = 0; k < kShiftTapCount; ++k) sum += taps[k] * r[k][i];
    out[i] = static_cast<uint8_t>(std::clamp((sum + 32) >> 6, 0, 255));
  }
}

// Row by row over chunks of columns: each source row filtered once into a
// ring of six rows on the stack, each output row from the six.
void shiftHV_c(const uint8_t *src, ptrdiff_t pitch, int step, uint8_t *out, ptrdiff_t outPitch,
               int n, int rows, const int8_t *tx, const int8_t *ty) {
  constexpr int kChunk = 128;
  int16_t ring[kShiftTapCount][kChunk];
  for (int i = 0; i < n; i += kChunk) {
    const int m = std::min(kChunk, n - i);
    for (int r = -2; r < rows + 3; ++r) {  // source row r in ring[(r + 2) % 6]
      shiftH_c(src + r * pitch + i, ring[(r + 2) % kShiftTapCount], m, step, tx);
      const int y = r - 3;  // the output row whose last source row that was
      if (y >= 0) {
        const int16_t *six[kShiftTapCount];
        for (int k = 0; k < kShiftTapCount; ++k) six[k] = ring[(y + k) % kShiftTapCount];
        shiftV_c(six, out + y * outPitch + i, m, ty);
      }
    }
  }
}

void shift1_c(const uint8_t *src, ptrdiff_t step, uint8_t *out, int n, const int8_t *taps) {
  for (int i = 0; i < n; ++i) {
    int sum = 0;
    for (int k = 0; k < kShiftTapCount; ++k) sum += taps[k] * src[i + step * (k - 2)];
    out[i] = static_cast<uint8_t>(std::clamp((sum + 32) >> 6, 0, 255));
  }
}

void gradient_c(const uint8_t *c, const uint8_t *cu, const uint8_t *cd, const uint8_t *p,
                const uint8_t *pu, const uint8_t *pd, int n, int32_t sums[5]) {
  int32_t xx = 0, xy = 0, yy = 0, xt = 0, yt = 0;
  for (int x = 0; x < n; ++x) {
    const int gx = c[x + 1] - c[x - 1] + p[x + 1] - p[x - 1];
    const int gy = cd[x] - cu[x] + pd[x] - pu[x];
    const int dt = c[x] - p[x];
    xx += (gx * gx) >> 4;
    xy += (gx * gy) >> 4;
    yy += (gy * gy) >> 4;
    xt += gx * dt;
    yt += gy * dt;
  }
  sums[0] = xx;
  sums[1] = xy;
  sums[2] = yy;
  sums[3] = xt;
  sums[4] = yt;
}

uint32_t sad_c(const uint8_t *a, ptrdiff_t aStride, const uint8_t *b, ptrdiff_t bStride, int n,
              int rows) {
  uint32_t s = 0;
  for (int r = 0; r < rows; ++r)
    for (int i = 0; i < n; ++i) s += static_cast<uint32_t>(std::abs(a[r * aStride + i] - b[r * bStride + i]));
  return s;
}

void reduce4_c(const uint8_t *src, ptrdiff_t stride, uint8_t *dst, int n) {
  for (int i = 0; i < n; ++i) {
    int sum = 0;
    for (int r = 0; r < 4; ++r)
      for (int c = 0; c < 4; ++c) sum += src[r * stride + 4 * i + c];
    dst[i] = static_cast<uint8_t>((sum + 8) >> 4);
  }
}

const MotionKernels kMotionKernelsC = {shiftH_c,   shiftV_c, shiftHV_c, shift1_c,
                                       gradient_c, sad_c,    reduce4_c};
#if TNR_MD_HAVE_NEON
const MotionKernels kMotionKernelsNeon = {shiftH_neon,   shiftV_neon, shiftHV_neon, shift1_neon,
                                          gradient_neon, sad_neon,    reduce4_neon};
#endif

// ---- The estimator ---------------------------------------------------------

namespace {

constexpr int kTilesX = 4, kTilesY = 3, kTiles = kTilesX * kTilesY;
constexpr int kMinWidth = 128, kMinHeight = 96, kMaxSide = 16384;
// The full-size steps (the +-1 search and the two gradient steps) use one
// row in `step`: enough rows for about kFitSamples samples per tile, every
// fourth row at most, every 16th at least (one in 16 at 1080p, one in 4 up
// to about 768x576). A least-squares fit over that many samples is already
// accurate far below 1/16 pixel on a textured tile; more rows only cost.
constexpr int kFitSamples = 8192;
int sparseStep(int w, int h) {
  return std::clamp(static_cast<int>(static_cast<int64_t>(w) * h / kFitSamples), 4, 16);
}
// Tiles agree when their motions differ by at most this on both axes (1/16
// pixel): a tile's estimate on noisy frames scatters by about 1/16.
constexpr int kAgree = 4;

// The second gradient step's rows: 3 of bytes, then 6 of int16_t, each
// of a tile's width + 2 (a tile is at most a quarter of the width + 1).
size_t rowBytes(int width) { return (3 * (static_cast<size_t>(width) / 4 + 4) + 15) & ~size_t{15}; }
size_t hrowBytes(int width) { return 6 * (static_cast<size_t>(width) / 4 + 4) * 2; }

bool estimable(int height, int width) {
  return width >= kMinWidth && height >= kMinHeight && width <= kMaxSide && height <= kMaxSide;
}

// The search range in luma pixels: 64 at 1920 columns, in proportion, at
// least 16; its 16-fold reduction, rounded up.
int coarseRange(int width) {
  const int range = std::max(16, (64 * width + 1919) / 1920);
  return (range + 15) / 16;
}

struct Plane {
  const uint8_t *p;
  ptrdiff_t stride;
};
struct Rect {
  int x0, y0, x1, y1;
};

// floor(a / b) rounded to nearest, halves away from zero, for b > 0.
int64_t divRound(int64_t a, int64_t b) { return a >= 0 ? (2 * a + b) / (2 * b) : -((-2 * a + b) / (2 * b)); }

void reduce(const MotionKernels &k, Plane in, int height, int width, uint8_t *out) {
  const int w = width / 4, h = height / 4;
  for (int y = 0; y < h; ++y) k.reduce4(in.p + 4 * y * in.stride, in.stride, out + y * w, w);
}

// Sum of |cur(x, y) - pre(x - u, y - v)| over the rect's rows y0, y0 + step, ...
uint64_t tileSad(const MotionKernels &k, Plane pre, Plane cur, const Rect &r, int u, int v,
                 int step) {
  const int rows = (r.y1 - r.y0 + step - 1) / step;
  return k.sad(cur.p + r.y0 * cur.stride + r.x0, step * cur.stride,
               pre.p + (r.y0 - v) * pre.stride + r.x0 - u, step * pre.stride, r.x1 - r.x0, rows);
}

struct Best {
  int u, v;
  uint64_t sad;
};

// The lowest sum in the window centre +- radius (ties: the vector nearest
// (0, 0), then the first in row order); mean: the window's mean sum.
Best search(const MotionKernels &k, Plane pre, Plane cur, const Rect &r, int cu, int cv,
            int radius, int step, uint64_t *mean) {
  Best b{cu, cv, UINT64_MAX};
  uint64_t total = 0;
  for (int v = cv - radius; v <= cv + radius; ++v)
    for (int u = cu - radius; u <= cu + radius; ++u) {
      const uint64_t s = tileSad(k, pre, cur, r, u, v, step);
      total += s;
      if (s < b.sad || (s == b.sad && std::abs(u) + std::abs(v) < std::abs(b.u) + std::abs(b.v)))
        b = {u, v, s};
    }
  if (mean) *mean = total / static_cast<uint64_t>((2 * radius + 1) * (2 * radius + 1));
  return b;
}

// Quarter-step offset (-2 .. 2) of the minimum of a parabola through the
// sums at -1, 0, +1.
int parabolaQuarters(uint64_t sm, uint64_t s0, uint64_t sp) {
  const int64_t den = static_cast<int64_t>(sm + sp) - 2 * static_cast<int64_t>(s0);
  if (den <= 0) return 0;
  const int64_t q = divRound(2 * (static_cast<int64_t>(sm) - static_cast<int64_t>(sp)), den);
  return static_cast<int>(std::clamp<int64_t>(q, -2, 2));
}

// The sums of one symmetric gradient step (GradientFn).
struct GradientSums {
  int64_t xx = 0, xy = 0, yy = 0, xt = 0, yt = 0;
};
// One row: c, cu, cd the current row and those above and below it, p, pu,
// pd the previous picture's aligned to them (sample x of each at index x),
// columns [x0, x1).
void gradientRow(const MotionKernels &k, const uint8_t *c, const uint8_t *cu, const uint8_t *cd,
                 const uint8_t *p, const uint8_t *pu, const uint8_t *pd, int x0, int x1,
                 GradientSums &s) {
  int32_t r[5];
  k.gradient(c + x0, cu + x0, cd + x0, p + x0, pu + x0, pd + x0, x1 - x0, r);
  s.xx += r[0];
  s.xy += r[1];
  s.yy += r[2];
  s.xt += r[3];
  s.yt += r[4];
}

int64_t shiftMagnitude(int64_t v, int shift) { return v >= 0 ? v >> shift : -((-v) >> shift); }

// The step's solution in 1/16 pixel, or false when the system is flat or
// ill-conditioned (an edge in one direction only).
bool gradientSolve(GradientSums s, int *fx, int *fy) {
  // The products below in 64 bits: every sum scaled below 2^26 by one shift.
  int shift = 0;
  const int64_t biggest = std::max({s.xx, s.yy, std::abs(s.xy), std::abs(s.xt), std::abs(s.yt)});
  while ((biggest >> shift) >= (int64_t{1} << 26)) ++shift;
  const int64_t sxx = s.xx >> shift, syy = s.yy >> shift, sxy = shiftMagnitude(s.xy, shift),
                sxt = shiftMagnitude(s.xt, shift), syt = shiftMagnitude(s.yt, shift);
  const int64_t det = sxx * syy - sxy * sxy;
  if (sxx <= 0 || syy <= 0 || det * 8 <= sxx * syy) return false;
  // The model: cur(x) = pre(x - m), dt ~ -d . grad; the gradient sums are 4
  // times the derivative, their squares scaled by 1/16 above:
  // d = -(16 S)^-1 (4 St) x 16 (in 1/16 pixel) = -4 S^-1 St.
  *fx = static_cast<int>(divRound(-4 * (syy * sxt - sxy * syt), det));
  *fy = static_cast<int>(divRound(-4 * (sxx * syt - sxy * sxt), det));
  return true;
}

// The fraction of a tile's motion beyond whole pixels (u, v), in 1/16 pixel:
// a gradient step against the previous picture at (u, v), then a second one
// against it resampled (with the cubic of kFitTaps) at the first step's
// motion; false when a step fails or leaves its pixel. rows holds 3 x
// (tile width + 2) bytes and hrows 6 x (tile width + 2) int16_t.
bool tileFraction(const MotionKernels &k, Plane pre, Plane cur, const Rect &r, int u, int v,
                  int step, uint8_t *rows, int16_t *hrows, int *mx, int *my) {
  GradientSums s;
  for (int y = r.y0 + step / 2; y < r.y1; y += step) {
    const uint8_t *c = cur.p + y * cur.stride, *p = pre.p + (y - v) * pre.stride - u;
    gradientRow(k, c, c - cur.stride, c + cur.stride, p, p - pre.stride, p + pre.stride, r.x0,
                r.x1, s);
  }
  int fx = 0, fy = 0;
  if (!gradientSolve(s, &fx, &fy) || std::abs(fx) > 16 || std::abs(fy) > 16) return false;
  // The second step: the previous rows y - 1 .. y + 1 sampled at
  // (x - m / 16, y - m / 16), columns x0 - 1 .. x1.
  const int m[2] = {16 * u + fx, 16 * v + fy};
  const int sx = -m[0], sy = -m[1];
  const int wx = sx >> 4, px = sx & 15, wy = sy >> 4, py = sy & 15;
  const int n = r.x1 - r.x0 + 2;
  const int8_t *tx = kFitTaps[px], *ty = kFitTaps[py];
  GradientSums s2;
  uint64_t sad = 0;  // |c - p| over the centre rows
  int64_t samples = 0;
  for (int y = r.y0 + step / 2; y < r.y1; y += step) {
    // Source rows y - 1 + wy - 1 .. y + 1 + wy + 2: six filtered rows.
    for (int i = 0; i < 6; ++i)
      k.shiftH(pre.p + (y + wy - 2 + i) * pre.stride + r.x0 - 1 + wx, hrows + i * n, n,
               px ? 1 : 0, tx);
    for (int j = 0; j < 3; ++j) {
      // The cubic's rows are the six-tap layout's 1 .. 4; 0 and 5 weigh 0.
      const int16_t *r6[kShiftTapCount] = {hrows + j * n,       hrows + j * n,
                                           hrows + (j + 1) * n, hrows + (j + 2) * n,
                                           hrows + (j + 3) * n, hrows + (j + 3) * n};
      k.shiftV(r6, rows + j * n, n, ty);
    }
    const uint8_t *c = cur.p + y * cur.stride;
    const int o = r.x0 - 1;  // sample x of the aligned rows at index x - o
    gradientRow(k, c, c - cur.stride, c + cur.stride, rows + n - o, rows - o, rows + 2 * n - o,
                r.x0, r.x1, s2);
    sad += k.sad(c + r.x0, 0, rows + n - o + r.x0, 0, r.x1 - r.x0, 1);
    samples += r.x1 - r.x0;
  }
  // The noise's share of the gradients' squares. The noise of both pictures
  // adds to each sum of squared gradients but not to the products with the
  // difference, which shrinks the step towards the first step's motion (on
  // a pan of 1.37 pixels a frame with noise of sigma 8, tiles of weak
  // texture read 1 pixel, 1 + 1/16 or 1 + 2/16). After
  // the first step the difference is mostly noise: its variance sd^2 from
  // the mean absolute difference m (Gaussian: sd^2 = pi / 2 x m^2, pi ~
  // 201 / 64); a central difference of both pictures holds 2 sd^2 of it, so
  // the sums of (g g >> 4) hold samples x sd^2 / 8 = 201 sad m / 1024.
  // Three quarters of that are taken off: what the difference holds beyond
  // the noise (texture the step has yet to fit) would count as noise too.
  // (sad x 201 fits: sad <= 255 x samples.)
  const int64_t noise =
      samples > 0 ? (static_cast<int64_t>(sad) * 201 / samples) * static_cast<int64_t>(sad) * 3 >> 12
                  : 0;
  s2.xx -= noise;
  s2.yy -= noise;
  int gx = 0, gy = 0;
  if (!gradientSolve(s2, &gx, &gy) || std::abs(gx) > 8 || std::abs(gy) > 8) return false;
  *mx = m[0] + gx;
  *my = m[1] + gy;
  return true;
}

}  // namespace

void motionEstimateWith(const MotionKernels &k, const uint8_t *pPre, ptrdiff_t preStride,
                        const uint8_t *pCur, ptrdiff_t curStride, int height, int width,
                        uint8_t *pTmpBuf, TnrMdMotion *motion, int fitStep) {
  *motion = TnrMdMotion{0, 0, 0, 0};
  if (!estimable(height, width)) return;
  const int w1 = width / 4, h1 = height / 4, w2 = w1 / 4, h2 = h1 / 4;
  uint8_t *pre1 = pTmpBuf, *cur1 = pre1 + w1 * h1, *pre2 = cur1 + w1 * h1, *cur2 = pre2 + w2 * h2;
  const size_t levels = (2 * (static_cast<size_t>(w1) * h1 + static_cast<size_t>(w2) * h2) + 15) &
                        ~size_t{15};
  const Plane pre0{pPre, preStride}, cur0{pCur, curStride};
  reduce(k, pre0, height, width, pre1);
  reduce(k, cur0, height, width, cur1);
  reduce(k, {pre1, w1}, h1, w1, pre2);
  reduce(k, {cur1, w1}, h1, w1, cur2);
  const Plane p1{pre1, w1}, c1{cur1, w1}, p2{pre2, w2}, c2{cur2, w2};
  uint8_t *rows = pTmpBuf + levels;
  int16_t *hrows = reinterpret_cast<int16_t *>(rows + rowBytes(width));

  const int r2 = coarseRange(width);
  // Full-size margin: the reach of every level's search, the fit's +-1, the
  // first step's pixel and the filter's and the gradients' reach.
  const int margin = 16 * r2 + 16;
  const int ix0 = margin, ix1 = width - margin, iy0 = margin, iy1 = height - margin;
  int mx[kTiles], my[kTiles];
  bool ok[kTiles];
  for (int t = 0; t < kTiles; ++t) {
    const int tx = t % kTilesX, ty = t / kTilesX;
    const Rect full{ix0 + tx * (ix1 - ix0) / kTilesX, iy0 + ty * (iy1 - iy0) / kTilesY,
                    ix0 + (tx + 1) * (ix1 - ix0) / kTilesX, iy0 + (ty + 1) * (iy1 - iy0) / kTilesY};
    const Rect rect1{(full.x0 + 3) / 4, (full.y0 + 3) / 4, full.x1 / 4, full.y1 / 4};
    const Rect rect2{(full.x0 + 15) / 16, (full.y0 + 15) / 16, full.x1 / 16, full.y1 / 16};
    ok[t] = false;
    if (rect2.x1 <= rect2.x0 || rect2.y1 <= rect2.y0) continue;
    // 16-fold: exhaustive; the best match must at least halve a typical one.
    uint64_t mean = 0;
    const Best b2 = search(k, p2, c2, rect2, 0, 0, r2, 1, &mean);
    if (!(2 * b2.sad < mean)) continue;
    // 4-fold: +-2 around it, and the fit's quarter step; on one row in
    // step1 (every row up to 8192 samples per tile).
    const int step1 = std::max(1, (rect1.x1 - rect1.x0) * (rect1.y1 - rect1.y0) / 4096);
    const Best b1 = search(k, p1, c1, rect1, 4 * b2.u, 4 * b2.v, 2, step1, nullptr);
    const int qx = parabolaQuarters(tileSad(k, p1, c1, rect1, b1.u - 1, b1.v, step1), b1.sad,
                                    tileSad(k, p1, c1, rect1, b1.u + 1, b1.v, step1));
    const int qy = parabolaQuarters(tileSad(k, p1, c1, rect1, b1.u, b1.v - 1, step1), b1.sad,
                                    tileSad(k, p1, c1, rect1, b1.u, b1.v + 1, step1));
    // Full size: +-1 on the sparse rows, then the fraction.
    const int step = fitStep > 0 ? fitStep : sparseStep(full.x1 - full.x0, full.y1 - full.y0);
    const Best b0 = search(k, pre0, cur0, full, 4 * b1.u + qx, 4 * b1.v + qy, 1, step, nullptr);
    ok[t] = tileFraction(k, pre0, cur0, full, b0.u, b0.v, step, rows, hrows, &mx[t], &my[t]);
  }
  // The vote: the counting tile with the most counting tiles within kAgree.
  int best = -1, support = 0;
  for (int i = 0; i < kTiles; ++i) {
    if (!ok[i]) continue;
    int n = 0;
    for (int j = 0; j < kTiles; ++j)
      n += ok[j] && std::abs(mx[j] - mx[i]) <= kAgree && std::abs(my[j] - my[i]) <= kAgree;
    if (n > support ||
        (n == support && std::abs(mx[i]) + std::abs(my[i]) < std::abs(mx[best]) + std::abs(my[best]))) {
      best = i;
      support = n;
    }
  }
  int counting = 0;
  for (int j = 0; j < kTiles; ++j) counting += ok[j];
  motion->confidence = 256 * support / kTiles;
  if (best < 0 || 2 * support <= counting || support < 3) return;
  int64_t sx = 0, sy = 0;
  for (int j = 0; j < kTiles; ++j)
    if (ok[j] && std::abs(mx[j] - mx[best]) <= kAgree && std::abs(my[j] - my[best]) <= kAgree) {
      sx += mx[j];
      sy += my[j];
    }
  motion->dx = static_cast<int>(divRound(sx, support));
  motion->dy = static_cast<int>(divRound(sy, support));
  // Within 2/16 pixel of still: below the estimate's accuracy on noisy
  // frames (its error's rms is about 1/16), and moving the history by it
  // would only soften it. (At 1/16 a fixed camera lost 0.06 dB at sigma 4 on
  // vtest.avi with the six-tap filter; at 2/16 nothing.)
  if (std::abs(motion->dx) <= 2 && std::abs(motion->dy) <= 2) motion->dx = motion->dy = 0;
  motion->valid = 1;
}

// ---- The history shift -----------------------------------------------------

namespace {

// The motion rounded to whole pixels, halves away from zero.
int wholePixels(int m) { return m >= 0 ? (m + 8) >> 4 : -((-m + 8) >> 4); }

struct Axis {
  int whole, phase;  // the source sample is at whole + phase / 16 past the output's
  int lo, hi;        // the taps' reach: lo .. hi samples from whole
  int first, end;    // outputs [first, end) whose taps lie in 0 .. n - 1
};

// The axis of n outputs sampled at m / 16 (source offset, 1/16 samples).
Axis axisOf(int m, int n) {
  Axis a;
  a.whole = m >> 4;  // floor
  a.phase = m & 15;
  a.lo = a.phase ? -2 : 0;
  a.hi = a.phase ? 3 : 0;
  a.first = std::clamp(-a.whole - a.lo, 0, n);
  a.end = std::clamp(n - a.whole - a.hi, a.first, n);
  return a;
}

// An output of the plane whose taps reach past the grid: the same filter
// with the sample indices clamped to the grid (its edge rows and columns
// repeated), byte c of each step-byte sample. Inside the grid it gives the
// bytes of the block's kernels.
uint8_t clampedSample(const uint8_t *pre, ptrdiff_t pitch, int n, int rows, int step, int c,
                      int x, int y, const Axis &ax, const Axis &ay, const int8_t *tx,
                      const int8_t *ty) {
  int cols[kShiftTapCount];
  for (int i = 0; i < kShiftTapCount; ++i)
    cols[i] = std::clamp(x + ax.whole + i - 2, 0, n - 1) * step + c;
  int sum = 0;
  for (int j = 0; j < kShiftTapCount; ++j) {
    if (ty[j] == 0) continue;
    const uint8_t *row = pre + std::clamp(y + ay.whole + j - 2, 0, rows - 1) * pitch;
    int h = 0;
    for (int i = 0; i < kShiftTapCount; ++i) h += tx[i] * row[cols[i]];
    sum += ty[j] * ((h + 32) >> 6);
  }
  return static_cast<uint8_t>(std::clamp((sum + 32) >> 6, 0, 255));
}

// One plane of the grid: n columns of `step` bytes (1 luma, 2 chroma pairs),
// rows rows, at pitch; source offset (mx, my) in 1/16 samples. The outputs
// whose taps lie inside the grid form one block; around it the taps that
// leave the grid read its nearest edge sample instead. Rows above and below
// the block go through the row kernels over the block's columns, their six
// source rows clamped to the grid (filtered into tmp, 6 x n x step
// int16_t); the columns beside the block per sample, down each column with
// the five filtered samples above the next kept.
void shiftPlane(const MotionKernels &k, const uint8_t *pre, uint8_t *out, int16_t *tmp,
                ptrdiff_t pitch, int n, int rows, int step, int mx, int my) {
  const Axis ax = axisOf(mx, n), ay = axisOf(my, rows);
  const int b0 = ax.first * step, b1 = ax.end * step;
  const int8_t *tx = kShiftTaps[ax.phase], *ty = kShiftTaps[ay.phase];
  const int count = b1 - b0;
  const auto edge = [&](uint8_t *o, int y, int x0, int x1) {
    for (int x = x0; x < x1; ++x)
      for (int c = 0; c < step; ++c)
        o[x * step + c] = clampedSample(pre, pitch, n, rows, step, c, x, y, ax, ay, tx, ty);
  };
  const uint8_t *src0 = pre + b0 + ax.whole * step;  // the block's first source column
  for (int y = 0; y < rows; ++y) {
    uint8_t *o = out + y * pitch;
    if (count <= 0) {
      edge(o, y, 0, n);
      continue;
    }
    if (y < ay.first || y >= ay.end) {
      edge(o, y, 0, ax.first);
      edge(o, y, ax.end, n);
      // A row whose vertical taps leave the grid: its source rows clamped.
      const auto source = [&](int j) {
        return src0 + std::clamp(y + ay.whole + j - 2, 0, rows - 1) * pitch;
      };
      if (!ay.phase) {
        if (ax.phase)
          k.shift1(source(2), step, o + b0, count, tx);
        else
          std::memcpy(o + b0, source(2), static_cast<size_t>(count));
        continue;
      }
      const int16_t *six[kShiftTapCount];
      for (int j = 0; j < kShiftTapCount; ++j) {
        k.shiftH(source(j), tmp + j * count, count, ax.phase ? step : 0, tx);
        six[j] = tmp + j * count;
      }
      k.shiftV(six, o + b0, count, ty);
      continue;
    }
    if (ax.phase && ay.phase) continue;  // the block below
    const uint8_t *src = src0 + (y + ay.whole) * pitch;
    if (ax.phase)  // whole rows: one pass along the row
      k.shift1(src, step, o + b0, count, tx);
    else if (ay.phase)  // whole columns: one pass down them
      k.shift1(src, pitch, o + b0, count, ty);
    else
      std::memcpy(o + b0, src, static_cast<size_t>(count));
  }
  // The columns beside the block over its rows (their vertical taps inside
  // the grid; at a whole vertical phase the rows beyond weigh 0 and are
  // clamped only to stay inside).
  const auto edgeColumns = [&](int x0, int x1) {
    for (int x = x0; x < x1; ++x) {
      int cols[kShiftTapCount];
      for (int i = 0; i < kShiftTapCount; ++i)
        cols[i] = std::clamp(x + ax.whole + i - 2, 0, n - 1) * step;
      for (int c = 0; c < step; ++c) {
        const auto h = [&](int r) {
          const uint8_t *row = pre + std::clamp(r, 0, rows - 1) * pitch + c;
          int sum = 0;
          for (int i = 0; i < kShiftTapCount; ++i) sum += tx[i] * row[cols[i]];
          return (sum + 32) >> 6;
        };
        int r = ay.first + ay.whole;
        int hs[kShiftTapCount];  // source rows r - 2 .. r + 3
        for (int j = 0; j < kShiftTapCount - 1; ++j) hs[j] = h(r + j - 2);
        for (int y = ay.first; y < ay.end; ++y, ++r) {
          hs[kShiftTapCount - 1] = h(r + 3);
          int sum = 0;
          for (int j = 0; j < kShiftTapCount; ++j) sum += ty[j] * hs[j];
          out[y * pitch + x * step + c] = static_cast<uint8_t>(std::clamp((sum + 32) >> 6, 0, 255));
          for (int j = 0; j + 1 < kShiftTapCount; ++j) hs[j] = hs[j + 1];
        }
      }
    }
  };
  if (count > 0) {
    edgeColumns(0, ax.first);
    edgeColumns(ax.end, n);
  }
  // The block in bands of kBandRows rows, so that the rows a band reads
  // stay in cache while its strips walk down them (each band filters the
  // five rows above its first again).
  constexpr int kBandRows = 64;
  if (ax.phase && ay.phase && count > 0)
    for (int y = ay.first; y < ay.end; y += kBandRows)
      k.shiftHV(src0 + (y + ay.whole) * pitch, pitch, step, out + y * pitch + b0, pitch, count,
                std::min(kBandRows, ay.end - y), tx, ty);
}

// One map moved by whole pixels (mx, my source offset), fill where it enters
// or where the frame's taps left the grid (the luma axes).
void shiftMap(const uint8_t *in, uint8_t *out, ptrdiff_t stride, int w, int h, int mx, int my,
              const Axis &ax, const Axis &ay, uint8_t fill) {
  const int x0 = std::max({0, -mx, ax.first}), x1 = std::min({w, w - mx, ax.end});
  const int y0 = std::max({0, -my, ay.first}), y1 = std::min({h, h - my, ay.end});
  for (int y = 0; y < h; ++y) {
    uint8_t *o = out + y * stride;
    if (y < y0 || y >= y1 || x1 <= x0) {
      std::memset(o, fill, static_cast<size_t>(w));
      continue;
    }
    std::memset(o, fill, static_cast<size_t>(x0));
    std::memcpy(o + x0, in + (y + my) * stride + x0 + mx, static_cast<size_t>(x1 - x0));
    std::memset(o + x1, fill, static_cast<size_t>(w - x1));
  }
}

bool shiftAccepts(int imgHeight, int imgWidth, int proHeight, int proWidth, int gainStride,
                  int dx, int dy, int gainFill) {
  return spatialDenoiseAccepts(imgHeight, imgWidth, proHeight, proWidth, gainStride) &&
         proWidth % 2 == 0 && proHeight % 2 == 0 && std::abs(dx) <= 16 * 16384 &&
         std::abs(dy) <= 16 * 16384 && gainFill >= 0 && gainFill <= 255;
}

}  // namespace

void historyShiftWith(const MotionKernels &k, const uint8_t *pPre, const uint8_t * /*pCur*/,
                      uint8_t *pOut, const uint8_t *pPreAlpha, uint8_t *pAlphaOut,
                      const uint8_t *pGain, uint8_t *pGainOut, int16_t *pTmpBuf,
                      int imgHeight, int imgWidth, int proHeight, int proWidth, int gainStride,
                      int dx, int dy, int gainFill) {
  if (!shiftAccepts(imgHeight, imgWidth, proHeight, proWidth, gainStride, dx, dy, gainFill))
    return;
  const ptrdiff_t pitch = imgWidth;
  const size_t lumaBytes = static_cast<size_t>(imgWidth) * imgHeight;
  // Outside the grid: the previous frame as it is.
  for (int y = 0; y < imgHeight; ++y) {
    const size_t at = y * static_cast<size_t>(pitch);
    if (y < proHeight)
      std::memcpy(pOut + at + proWidth, pPre + at + proWidth, imgWidth - proWidth);
    else
      std::memcpy(pOut + at, pPre + at, imgWidth);
  }
  for (int y = 0; y < imgHeight / 2; ++y) {
    const size_t at = lumaBytes + y * static_cast<size_t>(pitch);
    if (y < proHeight / 2)
      std::memcpy(pOut + at + proWidth, pPre + at + proWidth, imgWidth - proWidth);
    else
      std::memcpy(pOut + at, pPre + at, imgWidth);
  }
  shiftPlane(k, pPre, pOut, pTmpBuf, pitch, proWidth, proHeight, 1, -dx, -dy);
  const int cx = (dx + 1) >> 1, cy = (dy + 1) >> 1;
  shiftPlane(k, pPre + lumaBytes, pOut + lumaBytes, pTmpBuf, pitch, proWidth / 2, proHeight / 2, 2,
             -cx, -cy);
  const Axis ax = axisOf(-dx, proWidth), ay = axisOf(-dy, proHeight);
  const int wx = -wholePixels(dx), wy = -wholePixels(dy);
  shiftMap(pPreAlpha, pAlphaOut, gainStride, proWidth, proHeight, wx, wy, ax, ay, 0);
  shiftMap(pGain, pGainOut, gainStride, proWidth, proHeight, wx, wy, ax, ay,
           static_cast<uint8_t>(gainFill));
}

}  // namespace tnr_md

extern "C" {

size_t motionEstimateTmpBufSize(int height, int width) {
  if (!tnr_md::estimable(height, width)) return 0;
  const size_t w1 = width / 4, h1 = height / 4;
  const size_t levels = (2 * (w1 * h1 + (w1 / 4) * (h1 / 4)) + 15) & ~size_t{15};
  return levels + tnr_md::rowBytes(width) + tnr_md::hrowBytes(width);
}

void motionEstimate(const uint8_t *pPre, ptrdiff_t preStride, const uint8_t *pCur,
                    ptrdiff_t curStride, int height, int width, uint8_t *pTmpBuf,
                    TnrMdMotion *motion) {
  tnr_md::motionEstimateWith(TNR_MD_DEFAULT_MOTION_KERNELS, pPre, preStride, pCur, curStride,
                             height, width, pTmpBuf, motion);
}

size_t historyShiftTmpBufSize(int proWidth) {
  return proWidth < 8 ? 0 : tnr_md::kShiftTapCount * static_cast<size_t>(proWidth);
}

void historyShift(const uint8_t *pPre, const uint8_t *pCur, uint8_t *pOut, const uint8_t *pPreAlpha,
                  uint8_t *pAlphaOut, const uint8_t *pGain, uint8_t *pGainOut, int16_t *pTmpBuf,
                  int imgHeight, int imgWidth, int proHeight, int proWidth, int gainStride, int dx,
                  int dy, int gainFill) {
  tnr_md::historyShiftWith(TNR_MD_DEFAULT_MOTION_KERNELS, pPre, pCur, pOut, pPreAlpha, pAlphaOut,
                           pGain, pGainOut, pTmpBuf, imgHeight, imgWidth, proHeight, proWidth,
                           gainStride, dx, dy, gainFill);
}

int historyShiftTaps(int phase, int8_t *taps, int capacity) {
  if (taps && capacity >= tnr_md::kShiftTapCount)
    std::memcpy(taps, tnr_md::kShiftTaps[phase & 15], tnr_md::kShiftTapCount);
  return tnr_md::kShiftTapCount;
}

}  // extern "C"
