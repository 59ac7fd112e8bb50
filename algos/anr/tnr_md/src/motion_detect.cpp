// The pipeline driver: geometry, scratch layout, size check, stages in order
// (the steps it shares with motion_detect_parallel in pipeline.h).
#include "motion_detect.h"

#include <cstring>

#include "arith.h"
#include "kernels.h"
#include "layout.h"
#include "pipeline.h"

namespace tnr_md {

namespace {

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
      : base_(base), slots_(slots), stride_(stride), width_(width),
        lapBlocks_(slots / minInt(slots & -slots, 8)) {}

  // Row y's slot, at its column -1. A row below the ring's first lap is its
  // own slot: no division (ARMv7 has none and called the library's for
  // every row; the whole-grid ring of WholeFirst never wraps). With the runs'
  // ends found by one division each, real 768x576 at the defaults, executed
  // instructions per pixel on ARMv7: 9.273 to 9.223.
  int16_t *row(int y) const {
    return base_ + ((y < slots_ ? y : y % slots_) + 1) * static_cast<ptrdiff_t>(stride_);
  }
  // Whether rows [r0, r1) lie in consecutive slots.
  bool inOrder(int r0, int r1) const {
    return (r0 < slots_ ? r0 : r0 % slots_) + (r1 - r0) <= slots_;
  }
  int16_t *aside() const { return base_ + (slots_ + 2) * static_cast<ptrdiff_t>(stride_); }
  // The first block row after by whose first row is slot 0 (8 x its index a
  // multiple of slots), possibly past the grid.
  int nextLap(int by) const { return (by / lapBlocks_ + 1) * lapBlocks_; }

  // Rows [ya, yb) complete: copied from src (the row above ya's, when given)
  // to their slots, then their border columns filled. They lie in
  // consecutive slots: ya is a block row's first row (8 x by) and yb at most
  // the next lap's (a ring of kRingRows slots) or the grid's last row (a
  // ring of the whole grid), so one slot is found and the others follow.
  void place(const int16_t *src, int ya, int yb) const {
    int16_t *r = row(ya);
    for (int y = ya; y < yb; ++y, r += stride_) {
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
  int lapBlocks_;  // block rows per lap whose first row starts in slot 0
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
      const int end = minInt(ring.nextLap(by), by1);
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
      const int b0 = alphaRows, end = minInt(b0 + step, grid.blockRows);
      differenceUpTo(minInt(end + 4, grid.blockRows));
      blockStep(k, g, p, scale, sigmaTmp, a, b0, end - b0);
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

namespace {

// Stage by stage: each plane complete before the next stage reads it.
void stageByStage(const Kernels &k, const Frames &f, const Maps &m, const Grid &grid,
                  const Layout &g, const Planes &p, int16_t *pTmpBuf, const SigmaScales &scale,
                  float uvRatio, uint8_t rBit) {
  k.frameDiff(f, grid, {p.ldiff, p.hdiff, p.sigma, g.lDiffStride, g.sigmaStride}, uvRatio, 0,
              grid.blockRows);
  extendImgBorder_c(p.ldiff, g.lDiffStride, g.blockRows + 2, 1, 1);
  extendImgBorder_c(p.hdiff, g.hDiffStride, grid.height + 2, 1, 1);
  extendImgBorder_c(p.sigma, g.sigmaStride, g.blockRows + 8, 4, 4);
  k.gauss3x3(p.ldiff + g.lDiffStride + 1, p.filterLdiff, g.blockRows, g.blockCols, g.lDiffStride);
  (k.gauss3x3Diff ? k.gauss3x3Diff : k.gauss3x3)(p.hdiff + g.hDiffStride + 1, p.filterHdiff,
                                                 grid.height, grid.width, g.hDiffStride);
  // The hdiff plane is dead: the sigma stage uses its region as scratch,
  // and so does the row buffer after it.
  k.sigmaLut(p.sigma + 4 * g.sigmaStride + 4, pTmpBuf, p.tables, scale, g.blockRows, g.blockCols,
             g.sigmaStride);
  upScaleWhole(k, f, m, grid, p.filterLdiff, p.filterHdiff, reinterpret_cast<uint8_t *>(pTmpBuf),
               p.tables, rBit);
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
void banded(const Kernels &k, const Frames &f, const Maps &m, const Grid &grid, const Layout &g,
            const Planes &p, int16_t *pTmpBuf, const BandWork &work, const SigmaScales &scale,
            float uvRatio, uint8_t rBit, Schedule schedule) {
  const bool streamed = schedule == Schedule::Streamed || g.sigmaTmpEnd > g.hDiffSize;
  auto *a = reinterpret_cast<uint8_t *>(pTmpBuf + work.at);  // block alpha, pitch blockCols
  uint8_t *rowBuf = a + g.blockRows * g.blockCols;           // the band's row buffer
  const int slots = streamed && grid.height > kRingRows + kBandRows ? kRingRows : grid.height;
  const DiffRing ring(p.hdiff, slots, g.hDiffStride, grid.width);
  BlockRowStages blockStages{k,
                             f,
                             grid,
                             g,
                             p,
                             ring,
                             uvRatio,
                             scale,
                             streamed ? pTmpBuf + work.sigmaTmp : p.filterHdiff,
                             a,
                             streamed ? kLowResRows : g.blockRows};
  for (int y0 = 0; y0 < grid.height; y0 += kBandRows) {
    const int y1 = minInt(y0 + kBandRows, grid.height);
    // The row buffer reads block alpha rows up to (y1 + 3) / 8; the
    // smoothing reads difference row y1, which that leaves done too.
    blockStages.blockAlphaUpTo(minInt((y1 + 3) / 8 + 1, g.blockRows));
    // Every band's smoothed rows go to the same place, the plane's first
    // rows, which stay in cache from one band to the next.
    bandStep(k, f, m, grid, g,
             {a, rowBuf, ring.band(y0, y1, grid.height), p.filterHdiff, p.tables.high, rBit,
              diffPlaneNonNegative(uvRatioFix(uvRatio))},
             y0, y1);
  }
  keepBlockAlphaPastGrid(m, grid, a);
}

}  // namespace

void motionDetectWith(const Kernels &k, uint8_t *pCurIn, uint8_t *pPreIn, int16_t *pTmpBuf,
                      uint8_t *pAlpha, uint8_t *pPreAlpha, uint8_t *gain_table_u8, int imgHeight,
                      int imgWidth, int proHeight, int proWidth, int gainStride, float sigmaHScale,
                      float sigmaLScale, float uv_ratio, float /*light_clip*/,
                      int static_ratio_r_bit, Schedule schedule) {
  const Layout g = makeLayout(proHeight, proWidth);
  if (!g.accepted ||
      !callAccepted(imgHeight, imgWidth, proHeight, proWidth, gainStride, pTmpBuf))
    return;
  const Frames f{pCurIn, pPreIn, imgHeight, imgWidth};
  const Maps m{pAlpha, pPreAlpha, gain_table_u8, gainStride};
  const Grid grid = makeGrid(proHeight, proWidth);
  const Planes p = planesOf(pTmpBuf, g);
  const SigmaScales scale{sigmaHScale, sigmaLScale};
  const auto rBit = static_cast<uint8_t>(static_ratio_r_bit);
  const BandWork work = bandWork(g);
  if (schedule == Schedule::StageByStage || work.at < 0)
    stageByStage(k, f, m, grid, g, p, pTmpBuf, scale, uv_ratio, rBit);
  else
    banded(k, f, m, grid, g, p, pTmpBuf, work, scale, uv_ratio, rBit, schedule);
}

const Kernels kKernelsC = {
    .frameDiff = frameDiff_c,
    .gauss3x3 = gauss3x3_c,
    .gauss3x3Diff = nullptr,
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
    .gauss3x3Diff = gauss3x3Diff_neon,
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
