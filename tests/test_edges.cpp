// The sizes the public API accepts: the scratch layout and its size check,
// every exported building block at and below the minimum size its header
// comment states (below it: nothing touched), the size function and
// motion_detect at the int extremes (run under UBSan in the asan preset).
#include <climits>
#include <functional>
#include <vector>

#include "equiv.h"
#include "layout.h"
#include "motion_detect.h"

using tnr_md::makeLayout;
using tnr_md_test::Guard;
using tnr_md_test::GuardedBuffer;
using tnr_md_test::kCanary16;

namespace {

constexpr int kMin = INT_MIN, kMax = INT_MAX;

// Buffers of one call, each against a guard page and filled with the canary
// byte 0x5A. changed() tells whether the call touched any of them.
struct Planes {
  std::vector<GuardedBuffer<uint8_t>> bufs;
  Guard side;
  explicit Planes(Guard s) : side(s) {}
  template <class T>
  T *get(int64_t n) {
    bufs.emplace_back((n > 0 ? size_t(n) : 1) * sizeof(T), side);
    bufs.back().fill(0x5A);
    return reinterpret_cast<T *>(bufs.back().data());
  }
  uint8_t *bytes(int64_t n) { return get<uint8_t>(n); }
  int16_t *shorts(int64_t n) { return get<int16_t>(n); }
  bool changed() {
    for (auto &b : bufs)
      for (uint8_t v : b)
        if (v != 0x5A) return true;
    return false;
  }
};

// One building block: a call that allocates its planes for the geometry g
// (sized for the smallest geometry it accepts where g's own sizes give no
// plane) and runs the function. `geometry` lists the block's size arguments.
struct Geometry {
  int a, b, c, d, e, f;
};
struct Block {
  const char *name;
  Geometry minimum;            // the smallest accepted geometry
  std::vector<Geometry> below;  // each one size under the minimum, or absurd
  std::function<void(Planes &, const Geometry &, const Geometry &)> call;  // (planes, sizing, args)
};

int64_t blocks8(int64_t n) { return (n + 7) / 8; }

std::vector<Block> blocks() {
  std::vector<Block> v;
  // calDiffAndDownScale8x8 and calDiff (grid of at least 32 x 32): a = imgH, b = imgW, c = proH,
  // d = proW, e = lDiffStride, f = sigmaStride.
  auto diff = [](bool light) {
    return [light](Planes &p, const Geometry &s, const Geometry &g) {
      const int64_t bh = blocks8(s.c), frame = int64_t(s.a) * s.b * 3 / 2;
      uint8_t *cur = p.bytes(frame), *pre = p.bytes(frame);
      int16_t *ld = p.shorts((bh + 2) * s.e), *hd = p.shorts((s.c + 2) * int64_t(s.d + 2));
      int16_t *sg = p.shorts((bh + 8) * s.f);
      if (!light)
        return calDiffAndDownScale8x8(cur, pre, ld, hd, sg, g.a, g.b, g.c, g.d, g.e, g.f, 0.5f);
      int16_t *tmp = p.shorts(int64_t(s.d) * (s.c + s.c / 2));
      int16_t *ds = p.shorts(3 * ((s.d + 31) / 32) * int64_t((s.c + 31) / 32));
      calDiff(cur, pre, ld, hd, sg, tmp, ds, g.a, g.b, g.c, g.d, g.e, g.f, 0.5f, 4.0f);
    };
  };
  v.push_back({"calDiffAndDownScale8x8",
               {8, 8, 8, 8, 3, 9},
               {{8, 8, 7, 8, 3, 9}, {8, 8, 8, 7, 3, 9}, {8, 8, 8, 8, 2, 9}, {8, 8, 8, 8, 3, 8},
                {6, 8, 6, 8, 3, 9}, {8, 6, 8, 6, 3, 9}, {8, 10, 8, 12, 4, 10},
                {10, 8, 12, 8, 3, 9}, {9, 8, 8, 8, 3, 9}, {8, 9, 8, 8, 3, 9},
                {8, 8, kMax, 8, 3, 9}, {8, 8, 8, kMax, kMax, kMax}, {kMin, 8, 8, 8, 3, 9},
                {8, 8, kMin, kMin, 3, 9}, {8, 8, 8, 8, kMin, kMin}},
               diff(false)});
  // (16 x 16: the last 32 x 32 cell would start 16 rows and columns before the frame.)
  v.push_back({"calDiff",
               {32, 32, 32, 32, 6, 12},
               {{32, 32, 31, 32, 6, 12}, {32, 32, 32, 31, 6, 12}, {16, 16, 16, 16, 4, 10},
                {32, 32, 32, 32, 5, 12}, {32, 32, 32, 32, 6, 11}, {32, 30, 32, 32, 6, 12},
                {33, 32, 32, 32, 6, 12}, {kMax, kMax, kMax, kMax, kMax, kMax},
                {kMin, kMin, kMin, kMin, kMin, kMin}},
               diff(true)});
  // calDiffAndDownScale: a = imgH, b = imgW, e = lDiffStride.
  auto diffPatch = [](Planes &p, const Geometry &s, const Geometry &g) {
    const int64_t bh = blocks8(s.a);
    uint8_t *cur = p.bytes(int64_t(s.a) * s.b * 3 / 2), *pre = p.bytes(int64_t(s.a) * s.b * 3 / 2);
    int16_t *ld = p.shorts((bh + 2) * s.e), *hd = p.shorts((s.a + 2) * int64_t(s.b + 2));
    int16_t *sg = p.shorts((bh + 2) * s.e);
    calDiffAndDownScale(cur, pre, ld, hd, sg, g.a, g.b, g.e);
  };
  v.push_back({"calDiffAndDownScale",
               {8, 8, 0, 0, 4, 0},
               {{6, 8, 0, 0, 4, 0}, {8, 6, 0, 0, 4, 0}, {8, 8, 0, 0, 3, 0}, {9, 8, 0, 0, 4, 0},
                {8, 9, 0, 0, 4, 0}, {kMax - 1, 8, 0, 0, 3, 0}, {8, kMax - 1, 0, 0, 4, 0},
                {kMin, kMin, 0, 0, kMin, 0}},
               diffPatch});
  // extendImgBorder: a = Width_ext, b = Height_ext, c = ext_x, d = ext_y.
  auto border = [](Planes &p, const Geometry &s, const Geometry &g) {
    int16_t *plane = p.shorts(int64_t(s.a) * s.b);
    plane[int64_t(s.a) * s.d + s.c] = 7;  // the valid sample
    extendImgBorder(plane, g.a, g.b, g.c, g.d);
    plane[int64_t(s.a) * s.d + s.c] = kCanary16;
  };
  v.push_back({"extendImgBorder",
               {3, 3, 1, 1, 0, 0},
               {{2, 3, 1, 1, 0, 0}, {3, 2, 1, 1, 0, 0}, {3, 3, -1, 1, 0, 0}, {3, 3, 1, -1, 0, 0},
                {3, 3, kMax, 1, 0, 0}, {3, 3, 1, kMax, 0, 0}, {3, 3, kMin, kMin, 0, 0},
                {kMax, 3, kMax / 2 + 1, 1, 0, 0}},
               border});
  // The three plane filters: a = imgHgt, b = imgWid, c = stride; border r.
  auto filter = [](int r, void (*f)(int16_t *, int16_t *, int, int, int)) {
    return [r, f](Planes &p, const Geometry &s, const Geometry &g) {
      int16_t *in = p.shorts((s.a + 2 * r) * int64_t(s.c));
      int16_t *out = p.shorts((s.a - 1) * int64_t(s.c) + s.b);
      in[r * s.c + r] = 0;  // a sample unlike the canary around it, restored after
      f(in + r * s.c + r, out, g.a, g.b, g.c);
      in[r * s.c + r] = kCanary16;
    };
  };
  const std::vector<Geometry> planeBelow3 = {
      {0, 1, 3, 0, 0, 0},   {1, 0, 3, 0, 0, 0},   {1, 1, 2, 0, 0, 0},       {-1, 1, 3, 0, 0, 0},
      {1, -1, 3, 0, 0, 0},  {1, 1, kMin, 0, 0, 0}, {1, kMax, kMax, 0, 0, 0}, {kMin, kMin, kMin, 0, 0, 0}};
  v.push_back({"gauss3x3Filter", {1, 1, 3, 0, 0, 0}, planeBelow3, filter(1, gauss3x3Filter)});
  v.push_back({"gauss9x9Filter",
               {1, 1, 5, 0, 0, 0},
               {{0, 1, 5, 0, 0, 0}, {1, 0, 5, 0, 0, 0}, {1, 1, 4, 0, 0, 0}, {1, kMax, kMax, 0, 0, 0},
                {kMin, kMin, kMin, 0, 0, 0}},
               filter(2, gauss9x9Filter)});
  // sigmaFilterLut: a = imgHgt, b = imgWid, c = stride.
  auto sigma = [](Planes &p, const Geometry &s, const Geometry &g) {
    int16_t *in = p.shorts((s.a + 8) * int64_t(s.c));
    int16_t *tmp = p.shorts((s.a + 8) * int64_t(s.c));
    uint16_t *lo = p.get<uint16_t>((s.a - 1) * int64_t(s.c) + s.b);
    uint32_t *hi = p.get<uint32_t>((s.a - 1) * int64_t(s.c) + s.b);
    sigmaFilterLut(in + 4 * s.c + 4, tmp, lo, hi, 1.0f, 1.0f, g.a, g.b, g.c);
  };
  v.push_back({"sigmaFilterLut",
               {1, 1, 9, 0, 0, 0},
               {{0, 1, 9, 0, 0, 0}, {1, 0, 9, 0, 0, 0}, {1, 1, 8, 0, 0, 0}, {1, kMax, kMax, 0, 0, 0},
                {kMin, kMin, kMin, 0, 0, 0}},
               sigma});
  // upScale: a = imgHeight, b = imgWidth, c = proHeight, d = proWidth, e = GainStride.
  auto up = [](Planes &p, const Geometry &s, const Geometry &g) {
    const int64_t bw = blocks8(s.d), bh = blocks8(s.c);
    uint8_t *cur = p.bytes(int64_t(s.a) * s.b * 3 / 2), *pre = p.bytes(int64_t(s.a) * s.b * 3 / 2);
    // The planes as motion_detect's scratch layout holds them.
    int16_t *ld = p.shorts((bh + 2) * (bw + 2)), *hd = p.shorts((s.c + 2) * (s.d + 2));
    uint8_t *tmp = p.bytes(s.c * (bw + 2));
    uint8_t *alpha = p.bytes(int64_t(s.c) * s.e), *pa = p.bytes(int64_t(s.c) * s.e);
    uint8_t *gain = p.bytes(int64_t(s.c) * s.e);
    uint16_t *lo = p.get<uint16_t>((bh + 8) * (bw + 8));
    uint32_t *hi = p.get<uint32_t>((bh + 8) * (bw + 8));
    upScale(cur, pre, ld, hd, tmp, alpha, pa, gain, g.a, g.b, g.c, g.d, g.e, 4, lo, hi);
  };
  v.push_back({"upScale",
               {2, 2, 1, 1, 1, 0},
               {{2, 2, 0, 1, 1, 0}, {2, 2, 1, 0, 1, 0}, {2, 2, 1, 4, 4, 0}, {2, 2, 4, 1, 1, 0},
                {2, 2, 1, 2, 1, 0}, {3, 2, 1, 1, 1, 0}, {2, 3, 1, 1, 1, 0}, {2, 2, 1, 1, 0, 0},
                {kMax, kMax, kMax, kMax, kMax, 0}, {kMin, kMin, kMin, kMin, kMin, 0}},
               up});
  return v;
}

}  // namespace

// At its minimum each block runs inside planes of exactly the documented size
// and writes its output; one size below it (or at an int extreme) it touches
// nothing, not even the planes it would read.
TEST(Edges, BuildingBlocksRefuseEverySizeBelowTheirMinimum) {
  for (const Block &b : blocks())
    for (Guard side : tnr_md_test::kGuardSides) {
      {
        Planes p(side);
        b.call(p, b.minimum, b.minimum);
        EXPECT_TRUE(p.changed()) << b.name << " wrote nothing at its minimum";
      }
      for (const Geometry &g : b.below) {
        Planes p(side);
        b.call(p, b.minimum, g);
        EXPECT_FALSE(p.changed()) << b.name << " touched its planes for " << g.a << "," << g.b
                                  << "," << g.c << "," << g.d << "," << g.e << "," << g.f;
      }
    }
}

TEST(Edges, SizeFunctionAtTheIntExtremes) {
  const int values[] = {kMin, kMin + 1, -8, -1, 0, 7, kMax / 12, kMax / 6, kMax / 2, kMax - 7,
                        kMax - 1, kMax};
  for (int h : values)
    for (int w : values) EXPECT_EQ(motionDetectTmpBufSize(h, w), 0u) << w << "x" << h;
  // The largest accepted grids: 12 bytes a sample stay below 2^32.
  EXPECT_EQ(motionDetectTmpBufSize(8, 44739242), size_t{6} * 8 * 44739242);
  EXPECT_EQ(motionDetectTmpBufSize(8, 44739243), 0u);
  EXPECT_EQ(motionDetectTmpBufSize(44739242, 8), size_t{6} * 8 * 44739242);
  EXPECT_EQ(motionDetectTmpBufSize(44739243, 8), 0u);
}

// Refused calls of motion_detect and motion_detect_parallel touch nothing
// (and give the executor no task): sizes at the int extremes; an 8 x 8 grid
// (the size check fails) and a 10 x 8 one (it passes, but the sigma tables
// would overrun the scratch buffer); a grid wider than the frame, a map pitch
// below the grid, an odd frame width; an accepted grid with a scratch buffer
// 2 bytes off the 4-byte alignment its uint32_t sigma table needs.
TEST(Edges, MotionDetectRefusalsTouchNothing) {
  const struct {
    int ih, iw, ph, pw, g, skew;
  } cases[] = {{kMax, kMax, kMax, kMax, kMax, 0}, {kMin, kMin, kMin, kMin, kMin, 0},
               {64, 64, kMax, 64, 64, 0},        {64, 64, 64, kMax, kMax, 0},
               {64, 64, kMax - 7, kMax - 7, kMax, 0}, {64, 64, 64, 64, kMin, 0},
               {kMin, 64, 64, 64, 64, 0},        {64, kMax, 64, 64, 64, 0},
               {kMax - 1, kMin, 64, 64, 64, 0},  {64, 64, kMin + 1, 64, 64, 0},
               {8, 8, 8, 8, 8, 0},               {8, 10, 8, 10, 10, 0},
               {32, 60, 32, 64, 64, 0},          {32, 64, 32, 64, 63, 0},
               {32, 63, 32, 62, 64, 0},          {32, 64, 32, 64, 64, 1}};
  int tasks = 0;
  const TnrMdExecutor counting{&tasks,
                               [](void *n, TnrMdTask, void *, int) { ++*static_cast<int *>(n); }};
  for (const auto &c : cases)
    for (Guard side : tnr_md_test::kGuardSides) {
      Planes p(side);
      const int64_t frame = 64 * 64 * 3 / 2, map = 64 * 64;
      uint8_t *cur = p.bytes(frame), *pre = p.bytes(frame), *alpha = p.bytes(map);
      uint8_t *pa = p.bytes(map), *gain = p.bytes(map);
      int16_t *tmp = p.shorts(6 * map + 2) + c.skew;  // 4-byte aligned unless skewed
      motion_detect(cur, pre, tmp, alpha, pa, gain, c.ih, c.iw, c.ph, c.pw, c.g, 1, 1, 1, 0, 4);
      motion_detect_parallel(&counting, 2, cur, pre, tmp, alpha, pa, gain, c.ih, c.iw, c.ph, c.pw,
                             c.g, 1, 1, 1, 0, 4);
      EXPECT_FALSE(p.changed()) << c.ih << " " << c.iw << " " << c.ph << " " << c.pw << " " << c.g
                                << " skew " << c.skew;
    }
  EXPECT_EQ(tasks, 0);
}

TEST(Layout, FullHdGeometryAndOffsets) {
  const auto g = makeLayout(1080, 1920);
  EXPECT_EQ(g.blockCols, 240);
  EXPECT_EQ(g.blockRows, 135);
  EXPECT_EQ(g.hDiffSize, 2079604);
  EXPECT_EQ(g.lDiffSize, 33154);
  EXPECT_EQ(g.sigmaSize, 269824);
  EXPECT_EQ(g.filterLdiff, 2382582);  // pFilterLdiff
  EXPECT_EQ(g.filterHdiff, 2415736);
  EXPECT_EQ(g.sigmaL, 4495340);
  EXPECT_EQ(g.sigmaH, 4765164);
  EXPECT_EQ(2 * g.checkEnd, 11003976);  // D, compared with L = 24 883 200
  EXPECT_TRUE(g.accepted);
  EXPECT_EQ(motionDetectTmpBufSize(1080, 1920), size_t{6} * 1920 * 1080);
  // Grids not multiples of 8 round the block grid up.
  const auto r = makeLayout(1078, 1918);
  EXPECT_EQ(r.blockCols, 240);
  EXPECT_EQ(r.blockRows, 135);
  EXPECT_TRUE(r.accepted);
}

TEST(Layout, SizeCheckAtItsBoundary) {
  const auto g16 = makeLayout(16, 16);
  EXPECT_EQ(g16.hDiffSize, 324);
  EXPECT_EQ(g16.lDiffSize, 16);
  EXPECT_EQ(g16.sigmaSize, 240);
  EXPECT_EQ(2 * g16.checkEnd, 2132);  // < 3072
  EXPECT_TRUE(g16.accepted);

  const auto g8 = makeLayout(8, 8);
  EXPECT_EQ(2 * g8.checkEnd, 806);  // not below 768
  EXPECT_FALSE(g8.accepted);
}

// For widths 8 .. 13 and heights up to 27 the device's check passes although
// the sigma tables end past the buffer: such grids are refused.
TEST(Layout, NarrowGridsWhoseSigmaTablesOverrunAreRefused) {
  const auto g = makeLayout(8, 10);
  EXPECT_LT(2 * g.checkEnd, 2 * g.bufElems);  // 944 < 960: the bare check would pass
  EXPECT_EQ(g.sigmaH, 584);                   // but pSigmaH starts past 480 elements
  EXPECT_FALSE(g.accepted);

  int passBareCheckButOverrun = 0;
  for (int w = 8; w <= 64; ++w) {
    for (int h = 8; h <= 64; ++h) {
      const auto l = makeLayout(h, w);
      const bool bare = 2 * l.checkEnd < 2 * l.bufElems;
      const bool fits = l.sigmaHEnd <= l.bufElems;
      if (bare && !fits) {
        ++passBareCheckButOverrun;
        EXPECT_LE(w, 13);
        EXPECT_LE(h, 27);
      }
      EXPECT_EQ(l.accepted, bare && fits) << w << "x" << h;
      EXPECT_EQ(motionDetectTmpBufSize(h, w), l.accepted ? size_t(6) * w * h : 0u);
      if (l.accepted) {
        // Every plane and every borrowed scratch region ends inside the buffer.
        EXPECT_LE(l.sigmaHEnd, l.bufElems);
        EXPECT_LE(l.sigmaTmpEnd, l.sigma);
        EXPECT_LE(l.rowBufBytes, 2 * l.filterLdiff);
      }
    }
  }
  EXPECT_EQ(passBareCheckButOverrun, 57);
}

TEST(Layout, WideGridsAlwaysPassAndHugeOnesAreRefused) {
  for (int w = 121; w < 400; w += 7)
    for (int h = 8; h < 60; ++h) EXPECT_TRUE(makeLayout(h, w).accepted) << w << "x" << h;
  EXPECT_EQ(motionDetectTmpBufSize(7, 1920), 0u);
  EXPECT_EQ(motionDetectTmpBufSize(1080, 7), 0u);
  // 12 bytes per sample no longer addressable in 32 bits.
  EXPECT_EQ(motionDetectTmpBufSize(20000, 20000), 0u);
  EXPECT_NE(motionDetectTmpBufSize(8192, 4096), 0u);
}
