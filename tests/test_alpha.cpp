// Alpha generation: block alpha, upsampling, per-pixel alpha, weight, blend,
// static ratio and gain.
#include <cmath>
#include <vector>

#include "arith.h"
#include "forms.h"
#include "test_util.h"

using tnr_md_test::Guard;
using tnr_md_test::GuardedBuffer;

TEST(Reciprocal, EstimateMatchesTheArmTableAtItsCorners) {
  // Estimates of 1, 2 and 3 (exact in the 9-bit table at the mantissa ends).
  EXPECT_EQ(tnr_md::recipEstimate(1.0f), 0.998046875f);
  EXPECT_EQ(tnr_md::recipEstimate(2.0f), 0.4990234375f);
  EXPECT_EQ(tnr_md::recipEstimate(256.0f), 0.998046875f / 256);
  EXPECT_EQ(tnr_md::recipEstimate(3.0f), 0.3330078125f);
}

TEST(BlockAlpha, DifferenceOverSigmaWithExactHalvesOfTheRefinedReciprocal) {
  using tnr_md::blockAlphaOf;
  EXPECT_EQ(blockAlphaOf(50, 100), 0);  // at or below the sigma
  EXPECT_EQ(blockAlphaOf(100, 100), 0);
  EXPECT_EQ(blockAlphaOf(200, 100), 128);  // d >= s
  EXPECT_EQ(blockAlphaOf(64 + 63, 64), 126);
  EXPECT_EQ(blockAlphaOf(199, 100), 127);
  EXPECT_EQ(blockAlphaOf(257, 256), 0);  // 0.5 exactly falls to 0
  EXPECT_EQ(blockAlphaOf(259, 256), 1);  // 1.5 exactly falls to 1
  // The refined reciprocal of 3328 lies above 1/3328: 13 x 128 / 3328 = 0.5
  // rounds up here.
  EXPECT_EQ(blockAlphaOf(3328 + 13, 3328), 1);
  EXPECT_EQ(blockAlphaOf(32 + 63, 32), 126);  // a sigma below 64 acts as 64
  EXPECT_EQ(blockAlphaOf(100, 40000), 128);   // 40000 is -25536: s = 64, d = 100 + 25536 wraps
  EXPECT_EQ(blockAlphaOf(-32768, 32767), 0);  // -32768 - 32767 wraps to 1: d = 1, s = 32767
  EXPECT_EQ(blockAlphaOf(32767, 0), 128);     // 65534 before the clamp
}

TEST(PixelAlpha, ExcessOverTheHighSigma) {
  auto px = [](int16_t h, int32_t sH) {
    return tnr_md::pixelAlphaOf(h, sH, static_cast<float>(1.0 / static_cast<double>(sH)));
  };
  EXPECT_EQ(px(150, 100), 64);
  EXPECT_EQ(px(132, 100), 41);
  EXPECT_EQ(px(100, 100), 0);
  EXPECT_EQ(px(-5, 100), 0);
  EXPECT_EQ(px(200, 100), 128);
  EXPECT_EQ(px(16416, 32), 128);  // 65536 after the conversion
  EXPECT_EQ(px(32767, 32), 128);
  EXPECT_EQ(px(1, 0), 128);  // inv = +inf
  EXPECT_EQ(px(0, 0), 0);    // 0 x inf is NaN, which converts to 0
  EXPECT_EQ(px(-3, 0), 0);
}

TEST(RecursiveWeight, TableAndStillPixelSequence) {
  using tnr_md::recursiveWeight;
  const uint8_t sa[] = {0, 1, 64, 127, 128};
  const uint8_t at0[] = {0, 0, 32, 63, 64}, at128[] = {0, 1, 64, 127, 128},
                at200[] = {0, 2, 128, 128, 128};
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(recursiveWeight(sa[i], 0), at0[i]);
    EXPECT_EQ(recursiveWeight(sa[i], 128), at128[i]);
    EXPECT_EQ(recursiveWeight(sa[i], 200), at200[i]);
    if (sa[i] >= 1) {
      EXPECT_EQ(recursiveWeight(sa[i], 255), 128);
    }
  }
  const uint8_t seq[] = {64, 85, 96, 102, 106, 109, 111, 113, 115, 116, 117, 118};
  uint8_t w = 0;
  for (uint8_t want : seq) EXPECT_EQ(w = recursiveWeight(128, w), want);
}

namespace {

// One upScale call on buffers against guard pages; the low-resolution inputs
// are set per block, the full-resolution ones per pixel.
struct AlphaCase {
  int imgW, imgH, proW, proH, G, dsW, dsH;
  GuardedBuffer<uint8_t> cur, pre, tmp, alpha, preAlpha, gain;
  GuardedBuffer<int16_t> ldiff, hdiff;
  GuardedBuffer<uint16_t> sigmaL;
  GuardedBuffer<uint32_t> sigmaH;
  AlphaCase(int iw, int ih, int pw, int ph, int g, Guard side = Guard::Right)
      : imgW(iw),
        imgH(ih),
        proW(pw),
        proH(ph),
        G(g),
        dsW((pw + 7) / 8),
        dsH((ph + 7) / 8),
        cur(size_t(iw) * ih * 3 / 2, side),
        pre(size_t(iw) * ih * 3 / 2, side),
        tmp(size_t(ph) * (dsW + 2), side),
        alpha(size_t(g) * (ph - 1) + pw, side),
        preAlpha(size_t(g) * (ph - 1) + pw, side),
        gain(size_t(g) * (ph - 1) + pw, side),
        ldiff(size_t(dsH - 1) * (dsW + 2) + dsW, side),
        hdiff(size_t(ph - 1) * (pw + 2) + pw, side),
        sigmaL(size_t(dsH - 1) * (dsW + 8) + dsW, side),
        sigmaH(size_t(dsH - 1) * (dsW + 8) + dsW, side) {
    cur.fill(100);
    pre.fill(100);
    alpha.fill(0xA5);
    preAlpha.fill(0);
    gain.fill(128);
    ldiff.fill(0);
    hdiff.fill(0);
    sigmaL.fill(64);
    sigmaH.fill(100);
  }
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

class Alpha : public ::testing::TestWithParam<tnr_md_test::Form> {};
TNR_MD_FORMS_SUITE(Alpha);

TEST_P(Alpha, UpsampledBlockAlphaRampsBetweenBlockCentres) {
  // Block (0, 0) alpha 0 and block (1, 0) alpha 128; every pixel moves fully
  // (hAlpha 128), so the static ratio at r_bit 8 is (128 - lAlpha)^2 / 128.
  AlphaCase c(24, 8, 24, 8, 24);
  c.L(1, 0) = 128;  // d = 64 = s: 128
  c.L(2, 0) = 128;
  c.hdiff.fill(32767);
  c.sigmaH.fill(32);
  c.run(*GetParam().k, 8);
  const int lAlpha[24] = {0,   0,   0,   0,   0,   16,  32,  48,  64,  80,  96,  112,
                          128, 128, 128, 128, 128, 128, 128, 128, 128, 128, 128, 128};
  for (int y = 0; y < 8; ++y)
    for (int x = 0; x < 24; ++x) {
      const int sa = 128 - lAlpha[x];
      ASSERT_EQ(c.A(x, y), (sa * sa * 128 + 8192) >> 14) << x << "," << y;
      ASSERT_EQ(c.P(x, y), tnr_md::recursiveWeight(uint8_t(sa), 0)) << x << "," << y;
    }
}

TEST_P(Alpha, VerticalWeightsAndLastBlockRowRepeats) {
  // Block rows 0 and 1 with alphas 0 and 128 at a width of one block.
  AlphaCase c(8, 20, 8, 20, 8);
  c.L(0, 1) = 128;
  c.L(0, 2) = 128;
  c.hdiff.fill(32767);
  c.sigmaH.fill(32);
  c.run(*GetParam().k, 8);
  // lAlpha per row: rows 0..4 = 0, row 5 = (0*7 + 128 + 4) >> 3 = 16, ...
  const int lAlpha[20] = {0,  0,   0,   0,   0,   16,  32,  48,  64,  80,
                          96, 112, 128, 128, 128, 128, 128, 128, 128, 128};
  for (int y = 0; y < 20; ++y) {
    const int sa = 128 - lAlpha[y];
    ASSERT_EQ(c.A(3, y), (sa * sa * 128 + 8192) >> 14) << y;
  }
}

TEST_P(Alpha, BlendStaticRatioAndGain) {
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
}

TEST_P(Alpha, StaticRatioForEveryRBit) {
  // A still grid (staticAlpha 128 everywhere) and a half-moving one.
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
    AlphaCase c(16, 8, 16, 8, 16);
    // lAlpha 128, hAlpha 128 - sa: h - sH = (128 - sa) x sH / 128 with sH 128.
    for (int i = 0; i < 2; ++i) c.L(i, 0) = 128;
    c.sigmaH.fill(128);
    c.hdiff.fill(int16_t(128 + 128 - t.sa));
    c.run(*GetParam().k, uint8_t(t.rbit));
    EXPECT_EQ(c.A(7, 3), t.ratio) << t.rbit << " " << t.sa;
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
    auto rng = tnr_md_test::seededRng(uint32_t(w));
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
  EXPECT_EQ(c.alpha[8], 128);
  EXPECT_EQ(c.alpha[9], 64);
  EXPECT_EQ(c.alpha[10], 0xA5);
  EXPECT_EQ(c.alpha[11], 0xA5);
  for (int y = 1; y < 80; ++y)
    for (int x = 8; x < 12 && y < 79; ++x) ASSERT_EQ(c.A(x, y), 0xA5) << x << "," << y;
}
