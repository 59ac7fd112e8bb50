// The steps both drivers share (pipeline.h).
#include "pipeline.h"

#include <cstring>

#if TNR_MD_HAVE_NEON && (defined(__ARM_NEON) || defined(__ARM_NEON__))
#include <arm_neon.h>
#define TNR_MD_DRIVER_NEON 1
#else
#define TNR_MD_DRIVER_NEON 0
#endif

namespace tnr_md {

bool callAccepted(int imgHeight, int imgWidth, int proHeight, int proWidth, int gainStride,
                  const int16_t *pTmpBuf) {
  return proWidth <= imgWidth && proHeight <= imgHeight && gainStride >= proWidth &&
         (imgWidth & 1) == 0 && (imgHeight & 1) == 0 &&
         (reinterpret_cast<uintptr_t>(pTmpBuf) & 3) == 0;
}

Planes planesOf(int16_t *buf, const Layout &g) {
  return {
      buf,
      buf + g.ldiff,
      buf + g.sigma,
      buf + g.filterLdiff,
      buf + g.filterHdiff,
      {reinterpret_cast<uint16_t *>(buf + g.sigmaL), reinterpret_cast<uint32_t *>(buf + g.sigmaH)}};
}

// Whether under a quarter of a band's row-buffer bytes are non-zero (moving
// blocks), judged from its first and middle rows, which the vertical
// interpolation makes representative. Smoothing in the pass costs a moving
// block about three times its share of the band filter and a still block
// nothing; either way the bytes are the same.
bool mostlyStill(const uint8_t *rowBuf, int rows, int stride) {
  const uint8_t *mid = rowBuf + (rows / 2) * stride;
#if TNR_MD_DRIVER_NEON
  // The Arm vector builds count the zero bytes of both rows 16 at a time:
  // each lane of the two tests is -1 where a byte is zero, their sum (-2 ..
  // 0) added in pairs into 16-bit lanes (at most 4 per step); a row's last
  // stride % 16 bytes by one more step over its last 16, the lanes already
  // counted masked off. Real 768x576 at the defaults, executed instructions
  // per pixel: ARMv7 8.994 to 8.990, AArch64 7.980 to 7.977 (GCC's own
  // vector loop widened to 32 bits and ended byte by byte).
  if (stride >= 16) {
    auto isZero = [](const uint8_t *p) { return vceqq_u8(vld1q_u8(p), vdupq_n_u8(0)); };
    int16x8_t zeros = vdupq_n_s16(0);
    int i = 0;
    for (; i + 16 <= stride; i += 16) {
      const uint8x16_t z = vaddq_u8(isZero(rowBuf + i), isZero(mid + i));
      zeros = vpadalq_s8(zeros, vreinterpretq_s8_u8(z));
    }
    if (i < stride) {
      static constexpr uint8_t kLane[16] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};
      const uint8x16_t fresh = vcgeq_u8(vld1q_u8(kLane), vdupq_n_u8(i + 16 - stride));
      const uint8x16_t z = vaddq_u8(isZero(rowBuf + stride - 16), isZero(mid + stride - 16));
      zeros = vpadalq_s8(zeros, vreinterpretq_s8_u8(vandq_u8(z, fresh)));
    }
    const int32x4_t sums = vpaddlq_s16(zeros);
#if defined(__aarch64__)
    const int zero = -vaddvq_s32(sums);
#else
    const int32x2_t pair = vadd_s32(vget_low_s32(sums), vget_high_s32(sums));
    const int zero = -vget_lane_s32(vpadd_s32(pair, pair), 0);
#endif
    return 4 * (2 * stride - zero) < 2 * stride;
  }
#endif
  int moving = 0;
  for (int i = 0; i < stride; ++i) moving += (rowBuf[i] != 0) + (mid[i] != 0);
  return 4 * moving < 2 * stride;
}

namespace {

// The border columns of rows [r0, r1), kExt of them on each side (0: ext).
// The drivers' borders are 1 and 4 wide: with the width known the columns
// are a few plain stores, where GCC vectorized the loops with their
// prologues and epilogues per row (real 768x576 at the defaults, executed
// instructions per pixel: ARMv7 9.223 to 9.211, AArch64 8.230 to 8.220).
template <int kExt>
void extendColumns(int16_t *plane, int stride, int ext, int r0, int r1) {
  if (kExt != 0) ext = kExt;
  int16_t *row = plane + static_cast<ptrdiff_t>(r0 + ext) * stride;
  for (int r = r0; r < r1; ++r, row += stride) {
    const int16_t left = row[ext], right = row[stride - ext - 1];
    for (int c = 0; c < ext; ++c) {
      row[c] = left;
      row[stride - ext + c] = right;
    }
  }
}

}  // namespace

// The border of rows [r0, r1) of a plane with `rows` valid rows and a border
// of `ext` samples on every side: their border columns, and the border rows
// above (below) when r0 (r1) is the first (last) row. The same samples as
// extending the whole plane once all its rows are done.
void extendBorderRows(int16_t *plane, int stride, int rows, int ext, int r0, int r1) {
  if (ext == 1)
    extendColumns<1>(plane, stride, ext, r0, r1);
  else if (ext == 4)
    extendColumns<4>(plane, stride, ext, r0, r1);
  else
    extendColumns<0>(plane, stride, ext, r0, r1);
  const size_t rowBytes = sizeof(int16_t) * static_cast<size_t>(stride);
  if (r0 == 0 && r1 > 0)
    for (int h = 0; h < ext; ++h)
      std::memcpy(plane + static_cast<ptrdiff_t>(h) * stride, plane + ext * stride, rowBytes);
  if (r1 == rows)
    for (int h = rows + ext; h < rows + 2 * ext; ++h)
      std::memcpy(plane + static_cast<ptrdiff_t>(h) * stride,
                  plane + static_cast<ptrdiff_t>(rows + ext - 1) * stride, rowBytes);
}

void blockStep(const Kernels &k, const Layout &g, const Planes &p, const SigmaScales &scale,
               int16_t *sigmaTmp, uint8_t *a, int by0, int rows) {
  int16_t *filtered = p.filterLdiff + by0 * g.lDiffStride;
  k.gauss3x3(p.ldiff + (by0 + 1) * g.lDiffStride + 1, filtered, rows, g.blockCols, g.lDiffStride);
  const SigmaTables tables{p.tables.low + by0 * g.sigmaStride, p.tables.high + by0 * g.sigmaStride};
  k.sigmaLut(p.sigma + (by0 + 4) * g.sigmaStride + 4, sigmaTmp, tables, scale, rows, g.blockCols,
             g.sigmaStride);
  k.blockAlpha(filtered, g.lDiffStride, tables.low, g.sigmaStride, a + by0 * g.blockCols, rows,
               g.blockCols);
}

void bandStep(const Kernels &k, const Frames &f, const Maps &m, const Grid &grid, const Layout &g,
              const BandIo &io, int y0, int y1) {
  k.rowBuffer(io.a, io.rowBuf, y0, y1, g.blockRows, g.blockCols);
  PassRows rows{io.band + 1,   io.rowBuf, io.rowBuf + (y1 - y0) * g.lDiffStride,
                io.sigmaH,     io.ratioRBit,
                y0,            y1,
                io.nonNegative};
  // Where the set has it, a band that is mostly still has the pass smooth
  // the full-resolution difference itself, only for the blocks that move.
  if (k.pixelPassSmooth != nullptr && grid.width >= 16 &&
      mostlyStill(io.rowBuf, y1 - y0, g.lDiffStride)) {
    k.pixelPassSmooth(f, m, grid, rows);
    return;
  }
  (k.gauss3x3Diff ? k.gauss3x3Diff : k.gauss3x3)(io.band + 1, io.filtered, y1 - y0, grid.width,
                                                 g.hDiffStride);
  rows.hdiff = io.filtered;
  k.pixelPass(f, m, grid, rows);
}

void keepBlockAlphaPastGrid(const Maps &m, const Grid &grid, const uint8_t *a) {
  const int alphaBytes = grid.blockRows * grid.blockCols, stride = m.stride;
  for (int row = 0; row * stride < alphaBytes; ++row)
    for (int x = row * stride + grid.width; x < (row + 1) * stride && x < alphaBytes; ++x)
      m.alpha[x] = a[x];
}

}  // namespace tnr_md
