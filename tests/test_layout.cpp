// Scratch layout, size check and the companion size query.
#include <vector>

#include "layout.h"
#include "motion_detect.h"
#include "test_util.h"

using tnr_md::makeLayout;

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
