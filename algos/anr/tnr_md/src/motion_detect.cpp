// The pipeline driver: geometry, scratch layout, size check, stages in order.
#include "motion_detect.h"

#include <cstring>

#include "kernels.h"
#include "layout.h"

namespace tnr_md {

// Whether under a quarter of a band's row-buffer bytes are non-zero (moving
// blocks), judged from its first and middle rows, which the vertical
// interpolation makes representative. Smoothing in the pass costs a moving
// block about three times its share of the band filter and a still block
// nothing; either way the bytes are the same.
bool mostlyStill(const uint8_t *rowBuf, int rows, int stride) {
  const uint8_t *mid = rowBuf + (rows / 2) * stride;
  int moving = 0;
  for (int i = 0; i < stride; ++i) moving += (rowBuf[i] != 0) + (mid[i] != 0);
  return 4 * moving < 2 * stride;
}

// The border of rows [r0, r1) of a plane with `rows` valid rows and a border
// of `ext` samples on every side: their border columns, and the border rows
// above (below) when r0 (r1) is the first (last) row. The same samples as
// extending the whole plane once all its rows are done.
void extendBorderRows(int16_t *plane, int stride, int rows, int ext, int r0, int r1) {
  for (int r = r0; r < r1; ++r) {
    int16_t *row = plane + static_cast<ptrdiff_t>(r + ext) * stride;
    for (int c = 0; c < ext; ++c) row[c] = row[ext];
    for (int c = stride - ext; c < stride; ++c) row[c] = row[stride - ext - 1];
  }
  const size_t rowBytes = sizeof(int16_t) * static_cast<size_t>(stride);
  if (r0 == 0 && r1 > 0)
    for (int h = 0; h < ext; ++h)
      std::memcpy(plane + static_cast<ptrdiff_t>(h) * stride, plane + ext * stride, rowBytes);
  if (r1 == rows)
    for (int h = rows + ext; h < rows + 2 * ext; ++h)
      std::memcpy(plane + static_cast<ptrdiff_t>(h) * stride,
                  plane + static_cast<ptrdiff_t>(rows + ext - 1) * stride, rowBytes);
}

namespace {

// The planes of the scratch buffer (layout.h), as pointers.
struct Planes {
  int16_t *hdiff, *ldiff, *sigma, *filterLdiff, *filterHdiff;
  SigmaTables tables;
};
Planes planesOf(int16_t *buf, const Layout &g) {
  return {
      buf,
      buf + g.ldiff,
      buf + g.sigma,
      buf + g.filterLdiff,
      buf + g.filterHdiff,
      {reinterpret_cast<uint16_t *>(buf + g.sigmaL), reinterpret_cast<uint32_t *>(buf + g.sigmaH)}};
}

int minInt(int a, int b) { return a < b ? a : b; }

// The full-resolution difference of the banded schedules, in a ring of rows
// at the start of the scratch buffer (the hdiff plane), so that it stays in
// cache between the difference and the pass. Processing row y lives in slot
// y mod slots, at base + (slot + 1) x stride (its column -1); the row just
// above slot 0 and the row just below the last slot take the neighbours a
// band reads across the wrap (and the plane's border rows), and the nine rows
// after them are the aside area, where the moved-back last block row is
// written when its rows would wrap. With as many slots as the grid has rows
// the ring is the plane itself in order and nothing wraps.
class DiffRing {
 public:
  DiffRing(int16_t *base, int slots, int stride, int width)
      : base_(base), slots_(slots), stride_(stride), width_(width) {}

  int slots() const { return slots_; }
  // Row y's slot, at its column -1.
  int16_t *row(int y) const { return base_ + (y % slots_ + 1) * stride_; }
  // Whether rows [r0, r1) lie in consecutive slots.
  bool inOrder(int r0, int r1) const { return r0 % slots_ + (r1 - r0) <= slots_; }
  int16_t *aside() const { return base_ + (slots_ + 2) * static_cast<ptrdiff_t>(stride_); }

  // Rows [ya, yb) complete: copied from src (the row above ya's, when given)
  // to their slots, then their border columns filled.
  void place(const int16_t *src, int ya, int yb) const {
    for (int y = ya; y < yb; ++y) {
      int16_t *r = row(y);
      if (src) std::memcpy(r, src + (y - ya + 1) * stride_, rowBytes());
      r[0] = r[1];
      r[width_ + 1] = r[width_];
    }
  }

  // The band of rows [y0, y1) of a grid of `rows` rows, readable with its
  // neighbour rows y0 - 1 and y1 right above and below it: rows y0 .. y1 - 1
  // never wrap; the row above slot 0 and the row below the last slot take
  // copies, and the plane's border rows repeat its first and last rows.
  // Returns row y0 at its column -1.
  int16_t *band(int y0, int y1, int rows) const {
    int16_t *first = row(y0);
    if (y0 == 0)
      std::memcpy(first - stride_, first, rowBytes());
    else if (first - stride_ == base_)
      std::memcpy(base_, row(y0 - 1), rowBytes());
    int16_t *below = first + (y1 - y0) * static_cast<ptrdiff_t>(stride_);
    if (y1 == rows)
      std::memcpy(below, below - stride_, rowBytes());
    else if (below != row(y1))
      std::memcpy(below, row(y1), rowBytes());
    return first;
  }

 private:
  size_t rowBytes() const { return sizeof(int16_t) * static_cast<size_t>(stride_); }
  int16_t *base_;
  int slots_, stride_, width_;
};

// The block-row stages of the banded schedules as a cursor over block rows:
// the difference (its full-resolution rows into the ring) runs ahead, and the
// 3x3 smoothing of the block plane, the sigma tables and the block alpha
// follow in steps of `step` block rows, each step first completing the
// difference four block rows below it (the block sigma smoothing reaches
// that far).
struct BlockRowStages {
  const Kernels &k;
  const Frames &f;
  const Grid &grid;
  const Layout &g;
  const Planes &p;
  const DiffRing &ring;
  float uvRatio;
  SigmaScales scale;
  int16_t *sigmaTmp;  // the sigma stage's scratch
  uint8_t *a;         // the block alpha plane, pitch blockCols
  int step;
  int diffRows = 0;   // block rows of the three difference planes done, borders included
  int alphaRows = 0;  // block rows of the block alpha done

  // Block rows [diffRows, by1) of the difference, in runs whose rows do not
  // wrap in the ring; the moved-back last block row, whose rows would, is
  // written aside and its own rows copied to their slots.
  void differenceUpTo(int by1) {
    if (by1 <= diffRows) return;
    for (int by = diffRows; by < by1;) {
      const int r0 = blockRowStart(by, grid.height);  // first row written
      int end = by + 1;
      while (end < by1 && (8 * end) % ring.slots() != 0) ++end;
      const int rEnd = end == grid.blockRows ? grid.height : 8 * end;
      const bool inOrder = ring.inOrder(r0, rEnd);
      int16_t *hdiff = inOrder ? ring.row(r0) - g.hDiffStride : ring.aside();
      k.frameDiff(f, grid, {p.ldiff, hdiff, p.sigma, g.lDiffStride, g.sigmaStride}, uvRatio, by,
                  end);
      ring.place(inOrder ? nullptr : hdiff + (8 * by - r0) * g.hDiffStride, 8 * by, rEnd);
      by = end;
    }
    extendBorderRows(p.ldiff, g.lDiffStride, grid.blockRows, 1, diffRows, by1);
    extendBorderRows(p.sigma, g.sigmaStride, grid.blockRows, 4, diffRows, by1);
    diffRows = by1;
  }

  // The block alpha of block rows [0, by1) done.
  void blockAlphaUpTo(int by1) {
    while (alphaRows < by1) {
      const int b0 = alphaRows, end = minInt(b0 + step, grid.blockRows), rows = end - b0;
      differenceUpTo(minInt(end + 4, grid.blockRows));
      int16_t *filtered = p.filterLdiff + b0 * g.lDiffStride;
      k.gauss3x3(p.ldiff + (b0 + 1) * g.lDiffStride + 1, filtered, rows, grid.blockCols,
                 g.lDiffStride);
      const SigmaTables tables{p.tables.low + b0 * g.sigmaStride,
                               p.tables.high + b0 * g.sigmaStride};
      k.sigmaLut(p.sigma + (b0 + 4) * g.sigmaStride + 4, sigmaTmp, tables, scale, rows,
                 grid.blockCols, g.sigmaStride);
      k.blockAlpha(filtered, g.lDiffStride, tables.low, g.sigmaStride, a + b0 * grid.blockCols,
                   rows, grid.blockCols);
      alphaRows = end;
    }
  }
};

}  // namespace

void upScaleWhole(const Kernels &k, const Frames &f, const Maps &m, const Grid &grid,
                  const int16_t *filterLdiff, const int16_t *filterHdiff, uint8_t *rowBuf,
                  const SigmaTables &sigma, uint8_t ratioRBit) {
  k.blockAlpha(filterLdiff, grid.blockCols + 2, sigma.low, grid.blockCols + 8, m.alpha,
               grid.blockRows, grid.blockCols);
  k.rowBuffer(m.alpha, rowBuf, 0, grid.height, grid.blockRows, grid.blockCols);
  const uint8_t *rowBufEnd = rowBuf + static_cast<ptrdiff_t>(grid.height) * (grid.blockCols + 2);
  k.pixelPass(f, m, grid, {filterHdiff, rowBuf, rowBufEnd, sigma.high, ratioRBit, 0, grid.height});
}

void motionDetectWith(const Kernels &k, uint8_t *pCurIn, uint8_t *pPreIn, int16_t *pTmpBuf,
                      uint8_t *pAlpha, uint8_t *pPreAlpha, uint8_t *gain_table_u8, int imgHeight,
                      int imgWidth, int proHeight, int proWidth, int gainStride, float sigmaHScale,
                      float sigmaLScale, float uv_ratio, float /*light_clip*/,
                      int static_ratio_r_bit, Schedule schedule) {
  const Layout g = makeLayout(proHeight, proWidth);
  if (!g.accepted) return;
  // Outside these limits the stages would read or write past the frames or maps.
  // The high sigma table inside the scratch buffer is read as uint32_t.
  if (proWidth > imgWidth || proHeight > imgHeight || gainStride < proWidth || (imgWidth & 1) ||
      (imgHeight & 1) || (reinterpret_cast<uintptr_t>(pTmpBuf) & 3))
    return;

  const Frames f{pCurIn, pPreIn, imgHeight, imgWidth};
  const Maps m{pAlpha, pPreAlpha, gain_table_u8, gainStride};
  const Grid grid = makeGrid(proHeight, proWidth);
  const Planes p = planesOf(pTmpBuf, g);
  const SigmaScales scale{sigmaHScale, sigmaLScale};
  const auto rBit = static_cast<uint8_t>(static_ratio_r_bit);
  const BandWork work = bandWork(g);
  if (schedule == Schedule::StageByStage || work.at < 0) {
    // Stage by stage: each plane complete before the next stage reads it.
    k.frameDiff(f, grid, {p.ldiff, p.hdiff, p.sigma, g.lDiffStride, g.sigmaStride}, uv_ratio, 0,
                grid.blockRows);
    extendImgBorder_c(p.ldiff, g.lDiffStride, g.blockRows + 2, 1, 1);
    extendImgBorder_c(p.hdiff, g.hDiffStride, proHeight + 2, 1, 1);
    extendImgBorder_c(p.sigma, g.sigmaStride, g.blockRows + 8, 4, 4);
    k.gauss3x3(p.ldiff + g.lDiffStride + 1, p.filterLdiff, g.blockRows, g.blockCols, g.lDiffStride);
    k.gauss3x3(p.hdiff + g.hDiffStride + 1, p.filterHdiff, proHeight, proWidth, g.hDiffStride);
    // The hdiff plane is dead: the sigma stage uses its region as scratch,
    // and so does the row buffer after it.
    k.sigmaLut(p.sigma + 4 * g.sigmaStride + 4, pTmpBuf, p.tables, scale, g.blockRows, g.blockCols,
               g.sigmaStride);
    upScaleWhole(k, f, m, grid, p.filterLdiff, p.filterHdiff, reinterpret_cast<uint8_t *>(pTmpBuf),
                 p.tables, rBit);
    return;
  }

  // Banded: the same stages over bands of rows, each a few rows behind the
  // one it reads from, so that a band's planes are still in cache when the
  // next stage reads them. The block-row stages run ahead (whole before the
  // first band with WholeFirst, a few block rows ahead with Streamed); the
  // full-resolution smoothing, the row buffer and the per-pixel pass follow
  // band by band. Every stage reads only rows its predecessor has finished,
  // and the difference has read the current frame's rows before the pass
  // filters them in place. The block alpha plane, the band's row buffer and
  // (streamed) the sigma scratch live in the work area; WholeFirst keeps the
  // sigma scratch in the smoothed-difference plane, which no band has written
  // yet. A grid too narrow for that scratch streams.
  const bool streamed = schedule == Schedule::Streamed || g.sigmaTmpEnd > g.hDiffSize;
  auto *a = reinterpret_cast<uint8_t *>(pTmpBuf + work.at);  // block alpha, pitch blockCols
  uint8_t *rowBuf = a + g.blockRows * g.blockCols;           // the band's row buffer
  const int slots = streamed && proHeight > kRingRows + kBandRows ? kRingRows : proHeight;
  const DiffRing ring(p.hdiff, slots, g.hDiffStride, proWidth);
  BlockRowStages blockStages{k,
                             f,
                             grid,
                             g,
                             p,
                             ring,
                             uv_ratio,
                             scale,
                             streamed ? pTmpBuf + work.sigmaTmp : p.filterHdiff,
                             a,
                             streamed ? kLowResRows : g.blockRows};

  // Where the set has it, a band that is mostly still has the pass smooth
  // the full-resolution difference itself, only for the blocks that move.
  const bool canSmoothInPass = k.pixelPassSmooth != nullptr && proWidth >= 16;
  for (int y0 = 0; y0 < proHeight; y0 += kBandRows) {
    const int y1 = minInt(y0 + kBandRows, proHeight);
    // The row buffer reads block alpha rows up to (y1 + 3) / 8; the
    // smoothing reads difference row y1, which that leaves done too.
    blockStages.blockAlphaUpTo(minInt((y1 + 3) / 8 + 1, g.blockRows));
    const int16_t *band = ring.band(y0, y1, proHeight);
    k.rowBuffer(a, rowBuf, y0, y1, g.blockRows, g.blockCols);
    PassRows rows{band + 1, rowBuf, rowBuf + (y1 - y0) * g.lDiffStride, p.tables.high, rBit,
                  y0,       y1};
    if (canSmoothInPass && mostlyStill(rowBuf, y1 - y0, g.lDiffStride)) {
      k.pixelPassSmooth(f, m, grid, rows);
      continue;
    }
    // Every band's smoothed rows go to the same place, the plane's first
    // rows, which stay in cache from one band to the next.
    int16_t *filtered = p.filterHdiff;
    k.gauss3x3(band + 1, filtered, y1 - y0, proWidth, g.hDiffStride);
    rows.hdiff = filtered;
    k.pixelPass(f, m, grid, rows);
  }
  // Stage by stage, the block alpha is held in pAlpha itself, and the bytes
  // of it that lie past the grid in their row keep it.
  const int alphaBytes = g.blockRows * g.blockCols;
  for (int row = 0; row * gainStride < alphaBytes; ++row)
    for (int x = row * gainStride + proWidth; x < (row + 1) * gainStride && x < alphaBytes; ++x)
      pAlpha[x] = a[x];
}

const Kernels kKernelsC = {
    .frameDiff = frameDiff_c,
    .gauss3x3 = gauss3x3_c,
    .sigmaLut = sigmaLut_c,
    .blockAlpha = blockAlpha_c,
    .rowBuffer = rowBuffer_c,
    .pixelPass = pixelPass_c,
    .pixelPassSmooth = nullptr,
    .spatial = spatial_c,
};
#if TNR_MD_HAVE_NEON
const Kernels kKernelsNeon = {
    .frameDiff = frameDiff_neon,
    .gauss3x3 = gauss3x3_neon,
    .sigmaLut = sigmaLut_neon,
    .blockAlpha = blockAlpha_neon,
    .rowBuffer = rowBuffer_neon,
    .pixelPass = pixelPass_neon,
    .pixelPassSmooth = pixelPassSmooth_neon,
    .spatial = spatial_neon,
};
#endif

}  // namespace tnr_md

extern "C" {

size_t motionDetectTmpBufSize(int proHeight, int proWidth) {
  const tnr_md::Layout g = tnr_md::makeLayout(proHeight, proWidth);
  return g.accepted ? static_cast<size_t>(g.bufElems) : 0;
}

void motion_detect(uint8_t *pCurIn, uint8_t *pPreIn, int16_t *pTmpBuf, uint8_t *pAlpha,
                   uint8_t *pPreAlpha, uint8_t *gain_table_u8, int imgHeight, int imgWidth,
                   int proHeight, int proWidth, int gainStride, float sigmaHScale,
                   float sigmaLScale, float uv_ratio, float light_clip, int static_ratio_r_bit) {
  tnr_md::motionDetectWith(TNR_MD_DEFAULT_KERNELS, pCurIn, pPreIn, pTmpBuf, pAlpha, pPreAlpha,
                           gain_table_u8, imgHeight, imgWidth, proHeight, proWidth, gainStride,
                           sigmaHScale, sigmaLScale, uv_ratio, light_clip, static_ratio_r_bit);
}

}  // extern "C"
