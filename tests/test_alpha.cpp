// Alpha generation: block alpha, upsampling, per-pixel alpha, weight, blend,
// static ratio and gain.
#include <cmath>
#include <vector>

#include "arith.h"
#include "equiv.h"
#include "forms.h"
#include "test_util.h"

using namespace tnr_md_test;

// (l, sL, expected): at or below the sigma 0, 128 from d >= s; exact halves
// (0.5, 1.5) fall to the lower value; the refined reciprocal of 3328 lies
// above 1/3328, so 13 x 128 / 3328 = 0.5 rounds up; a sigma below 64 acts as
// 64; 40000 is -25536 (s = 64, d = 100 + 25536 wraps); -32768 - 32767 wraps to
// d = 1 with s = 32767; 65534 before the clamp.
TEST(BlockAlpha, DifferenceOverSigmaWithExactHalvesOfTheRefinedReciprocal) {
  const int cases[][3] = {{50, 100, 0},       {100, 100, 0},      {200, 100, 128},
                          {64 + 63, 64, 126}, {199, 100, 127},    {257, 256, 0},
                          {259, 256, 1},      {3341, 3328, 1},    {32 + 63, 32, 126},
                          {100, 40000, 128},  {-32768, 32767, 0}, {32767, 0, 128}};
  for (const auto &c : cases)
    EXPECT_EQ(tnr_md::blockAlphaOf(int16_t(c[0]), uint16_t(c[1])), c[2]) << c[0] << " " << c[1];
}

// (h, sH, expected); sH 0: inv = +inf, and 0 x inf is NaN, which converts to
// 0; (16416 - 32) x 128 / 32 = 65536 after the conversion.
TEST(PixelAlpha, ExcessOverTheHighSigma) {
  const int cases[][3] = {{150, 100, 64},  {132, 100, 41},   {100, 100, 0},    {-5, 100, 0},
                          {200, 100, 128}, {16416, 32, 128}, {32767, 32, 128}, {1, 0, 128},
                          {0, 0, 0},       {-3, 0, 0}};
  for (const auto &c : cases)
    EXPECT_EQ(tnr_md::pixelAlphaOf(int16_t(c[0]), c[1], float(1.0 / double(c[1]))), c[2])
        << c[0] << " " << c[1];
}

// recursiveWeight(static alpha, previous weight): (sa, 0) = sa / 2, (sa, 128)
// = sa, (sa, 200) and (sa >= 1, 255) saturate at 128; a still pixel's weight
// from 0 climbs toward 128.
TEST(RecursiveWeight, TableAndStillPixelSequence) {
  const int cases[][3] = {{0, 0, 0},       {1, 0, 0},       {64, 0, 32},     {127, 0, 63},
                          {128, 0, 64},    {0, 128, 0},     {1, 128, 1},     {64, 128, 64},
                          {127, 128, 127}, {128, 128, 128}, {0, 200, 0},     {1, 200, 2},
                          {64, 200, 128},  {127, 200, 128}, {128, 200, 128}, {1, 255, 128},
                          {64, 255, 128},  {127, 255, 128}, {128, 255, 128}};
  for (const auto &c : cases)
    EXPECT_EQ(tnr_md::recursiveWeight(uint8_t(c[0]), uint8_t(c[1])), c[2]) << c[0] << " " << c[1];
  const uint8_t seq[] = {64, 85, 96, 102, 106, 109, 111, 113, 115, 116, 117, 118};
  uint8_t w = 0;
  for (uint8_t want : seq) EXPECT_EQ(w = tnr_md::recursiveWeight(128, w), want);
}

namespace {

// One upScale call on buffers against guard pages; the low-resolution inputs
// are set per block, the full-resolution ones per pixel.
struct AlphaCase {
  int imgW, imgH, proW, proH, G;
  Guard side;
  int dsW = (proW + 7) / 8, dsH = (proH + 7) / 8;
  size_t frame = size_t(imgW) * imgH * 3 / 2, map = size_t(G) * (proH - 1) + proW;
  size_t blocks = size_t(dsH - 1) * (dsW + 8) + dsW;
  GuardedBuffer<uint8_t> cur = canaryBuffer<uint8_t>(frame, side, 100);
  GuardedBuffer<uint8_t> pre = canaryBuffer<uint8_t>(frame, side, 100);
  GuardedBuffer<uint8_t> tmp{size_t(proH) * (dsW + 2), side};
  GuardedBuffer<uint8_t> alpha = canaryBuffer<uint8_t>(map, side, 0xA5);
  GuardedBuffer<uint8_t> preAlpha = canaryBuffer<uint8_t>(map, side, 0);
  GuardedBuffer<uint8_t> gain = canaryBuffer<uint8_t>(map, side, 128);
  GuardedBuffer<int16_t> ldiff = canaryBuffer<int16_t>(size_t(dsH - 1) * (dsW + 2) + dsW, side, 0);
  GuardedBuffer<int16_t> hdiff =
      canaryBuffer<int16_t>(size_t(proH - 1) * (proW + 2) + proW, side, 0);
  GuardedBuffer<uint16_t> sigmaL = canaryBuffer<uint16_t>(blocks, side, 64);
  GuardedBuffer<uint32_t> sigmaH = canaryBuffer<uint32_t>(blocks, side, 100);
  AlphaCase(int iw, int ih, int pw, int ph, int g, Guard s = Guard::Right)
      : imgW(iw), imgH(ih), proW(pw), proH(ph), G(g), side(s) {}
  int16_t &L(int bx, int by) { return ldiff[size_t(by) * (dsW + 2) + bx]; }
  int16_t &Hd(int x, int y) { return hdiff[size_t(y) * (proW + 2) + x]; }
  uint8_t &A(int x, int y) { return alpha[size_t(y) * G + x]; }
  uint8_t &P(int x, int y) { return preAlpha[size_t(y) * G + x]; }
  uint8_t &Y(GuardedBuffer<uint8_t> &f, int x, int y) { return f[size_t(y) * imgW + x]; }
  uint8_t &UV(GuardedBuffer<uint8_t> &f, int x, int c) { return f[size_t(imgH + c) * imgW + x]; }
  void run(const tnr_md::Kernels &k, uint8_t rbit) {
    tnr_md::upScaleWith(k, cur.data(), pre.data(), ldiff.data(), hdiff.data(), tmp.data(),
                        alpha.data(), preAlpha.data(), gain.data(), imgH, imgW, proH, proW, G, rbit,
                        sigmaL.data(), sigmaH.data());
  }
};

}  // namespace

class Alpha : public ::testing::TestWithParam<Form> {};
TNR_MD_FORMS_SUITE(Alpha);

// Blocks of alpha 0 then 128 across (block columns) and down (block rows);
// every pixel moves fully (hAlpha 128), so the static ratio at r_bit 8 is
// (128 - lAlpha)^2 / 128. lAlpha ramps between block centres,
// (0 x 7 + 128 + 4) >> 3 = 16 and so on, and the last block row repeats.
TEST_P(Alpha, UpsampledBlockAlphaRampsBetweenBlockCentres) {
  const int lAlpha[24] = {0,   0,   0,   0,   0,   16,  32,  48,  64,  80,  96,  112,
                          128, 128, 128, 128, 128, 128, 128, 128, 128, 128, 128, 128};
  for (const bool across : {true, false}) {
    const int w = across ? 24 : 8, h = across ? 8 : 20;
    AlphaCase c(w, h, w, h, w);
    c.L(across ? 1 : 0, across ? 0 : 1) = 128;  // d = 64 = s: 128
    c.L(across ? 2 : 0, across ? 0 : 2) = 128;
    c.hdiff.fill(32767);
    c.sigmaH.fill(32);
    c.run(*GetParam().k, 8);
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x) {
        const int sa = 128 - lAlpha[across ? x : y];
        ASSERT_EQ(c.A(x, y), (sa * sa * 128 + 8192) >> 14) << x << "," << y;
        ASSERT_EQ(c.P(x, y), tnr_md::recursiveWeight(uint8_t(sa), 0)) << x << "," << y;
      }
  }
}

TEST_P(Alpha, BlendStaticRatioAndGainAtEveryRBit) {
  // lAlpha 128 everywhere; pHdiff 150 against sH 100 gives hAlpha 64, so
  // motionAlpha 64, staticAlpha 64 and, from preAlpha 0, weight 32.
  AlphaCase c(16, 8, 16, 8, 20);
  for (int i = 0; i < 2; ++i) c.L(i, 0) = 128;
  c.hdiff.fill(150);
  for (int x = 0; x < 16; ++x)
    for (int y = 0; y < 8; ++y) {
      c.Y(c.pre, x, y) = 200;
      c.Y(c.cur, x, y) = 100;
      c.gain[size_t(y) * 20 + x] = uint8_t(x == 0 ? 0 : 200);
    }
  c.run(*GetParam().k, 4);
  for (int y = 0; y < 8; ++y)
    for (int x = 0; x < 16; ++x) {
      ASSERT_EQ(c.P(x, y), 32);
      ASSERT_EQ(c.Y(c.cur, x, y), (200 * 32 + 100 * 96 + 64) >> 7);  // 125
      ASSERT_EQ(c.A(x, y), 44);                                      // 16 + 28
      ASSERT_EQ(c.gain[size_t(y) * 20 + x], x == 0 ? 1 : 69);
    }
  // The static ratio at every r_bit: a still grid (staticAlpha 128 everywhere) and a half-moving
  // one.
  for (int rbit = 0; rbit <= 9; ++rbit) {
    AlphaCase still(16, 8, 16, 8, 16);
    still.run(*GetParam().k, uint8_t(rbit));
    EXPECT_EQ(still.A(5, 5), 128) << rbit;
    // r_bit 7: the ratio is 128 everywhere and the gains keep their values.
    EXPECT_EQ(still.gain[5], 128) << rbit;
  }
  const struct {
    int rbit, sa, ratio;
  } cases[] = {{4, 64, 44}, {4, 128, 128}, {4, 0, 16}, {3, 100, 81},
               {8, 64, 32}, {7, 0, 128},   {0, 0, 1}};
  for (const auto &t : cases) {
    AlphaCase m(16, 8, 16, 8, 16);
    // lAlpha 128, hAlpha 128 - sa: h - sH = (128 - sa) x sH / 128 with sH 128.
    for (int i = 0; i < 2; ++i) m.L(i, 0) = 128;
    m.sigmaH.fill(128);
    m.hdiff.fill(int16_t(128 + 128 - t.sa));
    m.run(*GetParam().k, uint8_t(t.rbit));
    EXPECT_EQ(m.A(7, 3), t.ratio) << t.rbit << " " << t.sa;
  }
}

TEST_P(Alpha, ChromaOnOddRowsWithWeightsOfTheRightHandPixel) {
  // Every pixel's weight differs: preAlpha 128 makes the weight equal the
  // pixel's staticAlpha, set by its own pHdiff. Then each chroma byte must
  // blend with the weight of the column the pairing rule names.
  for (int w : {16, 18, 21, 32, 33, 15, 9}) {
    const int h = 7;  // odd: chroma row 3 stays unblended
    AlphaCase c(w + 3, 8, w, h, w + 1, Guard::Left);
    for (int i = 0; i < c.dsW; ++i) c.L(i, 0) = 128;
    c.sigmaH.fill(128);
    auto rng = seededRng(uint32_t(w));
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x) {
        c.Hd(x, y) = int16_t(128 + (rng() % 129));
        c.P(x, y) = 128;
      }
    for (int cr = 0; cr < 4; ++cr)
      for (int x = 0; x < w + 3; ++x) {
        c.UV(c.pre, x, cr) = 228;
        c.UV(c.cur, x, cr) = 100;
      }
    c.run(*GetParam().k, 8);
    const int lastNominal = (w - 1) & ~15;
    const int lastStart = (w & 15) ? w - 16 : lastNominal;
    for (int cr = 0; cr < 4; ++cr)
      for (int x = 0; x < w + 3; ++x) {
        int want = 100;
        if (2 * cr + 1 < h && x < w) {
          const int b = (x >= lastNominal) ? lastStart : x & ~15;
          const int col = ((x - b) & 1) ? x : x + 1;
          const int wC = c.P(col, 2 * cr + 1);
          want = (228 * wC + 100 * (128 - wC) + 64) >> 7;
        }
        ASSERT_EQ(c.UV(c.cur, x, cr), want) << "w=" << w << " byte " << x << " chroma row " << cr;
      }
  }
}

TEST_P(Alpha, MovedBackLastBlockUpdatesEachPixelOnce) {
  // A still pixel from weight 0 must get 64 exactly once; a second update
  // would give 85. Every width from 1 to 40 and a few wide ones.
  for (int w = 1; w <= 40; ++w) {
    AlphaCase c(w + 1, 4, w, 3, w + 2);
    for (int x = 0; x < w; ++x)
      for (int y = 0; y < 3; ++y) {
        c.Y(c.pre, x, y) = 0;
        c.Y(c.cur, x, y) = 128;
        c.gain[size_t(y) * (w + 2) + x] = 200;
      }
    c.run(*GetParam().k, 4);
    for (int y = 0; y < 3; ++y)
      for (int x = 0; x < w; ++x) {
        ASSERT_EQ(c.P(x, y), 64) << "w=" << w << " at " << x;
        ASSERT_EQ(c.Y(c.cur, x, y), 64) << "w=" << w << " at " << x;
        ASSERT_EQ(c.gain[size_t(y) * (w + 2) + x], 200) << "w=" << w << " at " << x;
      }
    // Outside the grid: frame column w, map columns w and w + 1.
    for (int y = 0; y < 3; ++y) {
      EXPECT_EQ(c.Y(c.cur, w, y), 100);
      if (y < 2) {
        EXPECT_EQ(c.P(w, y), 0);
        EXPECT_EQ(c.gain[size_t(y) * (w + 2) + w], 128);
      }
    }
  }
}

TEST_P(Alpha, AlphaBytesPastTheGridKeepTheirBlockAlpha) {
  // One block column, ten block rows, pitch 12: the compact block alphas sit
  // at bytes 0 .. 9 of pAlpha, and bytes 8 and 9 lie past the grid's 8
  // columns in row 0: they keep A(8) = 128 and A(9) = 64.
  AlphaCase c(8, 80, 8, 80, 12);
  c.L(0, 8) = 128;
  c.L(0, 9) = 96;
  c.run(*GetParam().k, 4);
  const int row0[4] = {128, 64, 0xA5, 0xA5};
  for (int x = 8; x < 12; ++x) EXPECT_EQ(c.alpha[x], row0[x - 8]) << x;
  for (int y = 1; y < 80; ++y)
    for (int x = 8; x < 12 && y < 79; ++x) ASSERT_EQ(c.A(x, y), 0xA5) << x << "," << y;
}
