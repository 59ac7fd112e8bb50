// Frame difference with 8x8 blocks: worked values, rounding, block placement.
#include <vector>

#include "arith.h"
#include "forms.h"
#include "test_util.h"

using tnr_md_test::Guard;
using tnr_md_test::GuardedBuffer;

namespace {

constexpr int16_t kCanary = 0x5A5A;

// Two NV12 frames and the three bordered planes, each against a guard page.
struct DiffCase {
  int imgW, imgH, proW, proH, lStride, sStride;
  GuardedBuffer<uint8_t> cur, pre;
  GuardedBuffer<int16_t> hdiff, ldiff, sigma;
  DiffCase(int iw, int ih, int pw, int ph, Guard side = Guard::Right)
      : imgW(iw),
        imgH(ih),
        proW(pw),
        proH(ph),
        lStride((pw + 7) / 8 + 2),
        sStride((pw + 7) / 8 + 8),
        cur(size_t(iw) * ih * 3 / 2, side),
        pre(size_t(iw) * ih * 3 / 2, side),
        hdiff(size_t(pw + 2) * (ph + 2), side),
        ldiff(size_t(lStride) * ((ph + 7) / 8 + 2), side),
        sigma(size_t(sStride) * ((ph + 7) / 8 + 8), side) {
    cur.fill(100);
    pre.fill(100);
    hdiff.fill(kCanary);
    ldiff.fill(kCanary);
    sigma.fill(kCanary);
  }
  uint8_t &y(uint8_t *f, int x, int r) { return f[size_t(r) * imgW + x]; }
  uint8_t &uv(uint8_t *f, int byte, int crow) {
    return f[size_t(imgW) * imgH + size_t(crow) * imgW + byte];
  }
  int16_t H(int x, int r) const { return hdiff[size_t(r + 1) * (proW + 2) + x + 1]; }
  int16_t L(int bx, int by) const { return ldiff[size_t(by + 1) * lStride + bx + 1]; }
  int16_t S(int bx, int by) const { return sigma[size_t(by + 4) * sStride + bx + 4]; }
  void run(const tnr_md::Kernels &k, float uv_ratio) {
    tnr_md::frameDiffWith(k, cur.data(), pre.data(), ldiff.data(), hdiff.data(), sigma.data(), imgH,
                          imgW, proH, proW, lStride, sStride, uv_ratio);
  }
  // Every border element is left alone.
  void expectBordersUntouched() const {
    const int bw = (proW + 7) / 8, bh = (proH + 7) / 8;
    for (int r = 0; r < proH + 2; ++r)
      for (int c = 0; c < proW + 2; ++c)
        if (r == 0 || c == 0 || r == proH + 1 || c == proW + 1)
          ASSERT_EQ(hdiff[size_t(r) * (proW + 2) + c], kCanary) << r << "," << c;
    for (size_t i = 0; i < ldiff.size(); ++i) {
      const int r = int(i) / lStride, c = int(i) % lStride;
      if (r < 1 || r > bh || c < 1 || c > bw) ASSERT_EQ(ldiff[i], kCanary) << i;
    }
    for (size_t i = 0; i < sigma.size(); ++i) {
      const int r = int(i) / sStride, c = int(i) % sStride;
      if (r < 4 || r >= 4 + bh || c < 4 || c >= 4 + bw) ASSERT_EQ(sigma[i], kCanary) << i;
    }
  }
};

}  // namespace

TEST(UvRatioFix, RoundsHalfAwayFromZero) {
  EXPECT_EQ(tnr_md::uvRatioFix(1.0f), 128);
  EXPECT_EQ(tnr_md::uvRatioFix(0.5f), 64);
  EXPECT_EQ(tnr_md::uvRatioFix(0.3f), 38);
  EXPECT_EQ(tnr_md::uvRatioFix(-0.3f), -38);
  EXPECT_EQ(tnr_md::uvRatioFix(1.0f / 256), 1);
  EXPECT_EQ(tnr_md::uvRatioFix(-1.0f / 256), -1);
  EXPECT_EQ(tnr_md::uvRatioFix(0.0f), 0);
  EXPECT_EQ(tnr_md::uvRatioFix(3.0f / 256), 2);  // 1.5 rounds away from zero
  EXPECT_EQ(tnr_md::uvRatioFix(-3.0f / 256), -2);
}

TEST(SymRoundShift, HalvesGoAwayFromZero) {
  EXPECT_EQ(tnr_md::symRoundShift(63, 7), 0);
  EXPECT_EQ(tnr_md::symRoundShift(64, 7), 1);
  EXPECT_EQ(tnr_md::symRoundShift(191, 7), 1);
  EXPECT_EQ(tnr_md::symRoundShift(192, 7), 2);
  EXPECT_EQ(tnr_md::symRoundShift(-64, 7), -1);
  EXPECT_EQ(tnr_md::symRoundShift(-63, 7), 0);
  EXPECT_EQ(tnr_md::symRoundShift(-192, 7), -2);
  EXPECT_EQ(tnr_md::symRoundShift(0, 7), 0);
}

class FrameDiff8x8 : public ::testing::TestWithParam<tnr_md_test::Form> {};
TNR_MD_FORMS_SUITE(FrameDiff8x8);

TEST_P(FrameDiff8x8, IdenticalFramesGiveZeroAndLeaveBordersAlone) {
  for (auto side : {Guard::Right, Guard::Left}) {
    DiffCase c(40, 24, 37, 21, side);
    auto rng = tnr_md_test::seededRng(11);
    tnr_md_test::fillRandom(c.cur.data(), c.cur.size(), rng, 0, 255);
    std::copy(c.cur.begin(), c.cur.end(), c.pre.begin());
    c.run(*GetParam().k, 0.7f);
    for (int r = 0; r < 21; ++r)
      for (int x = 0; x < 37; ++x) ASSERT_EQ(c.H(x, r), 0);
    for (int by = 0; by < 3; ++by)
      for (int bx = 0; bx < 5; ++bx) {
        EXPECT_EQ(c.L(bx, by), 0);
        EXPECT_EQ(c.S(bx, by), 0);
      }
    c.expectBordersUntouched();
  }
}

TEST_P(FrameDiff8x8, UniformAndAlternatingLumaSteps) {
  const int d = 9;
  DiffCase c(16, 8, 16, 8);
  for (int r = 0; r < 8; ++r)
    for (int x = 0; x < 16; ++x) {
      c.y(c.cur.data(), x, r) = uint8_t(100 + (x < 8 ? d : ((x & 1) ? -d : d)));
    }
  c.run(*GetParam().k, 1.0f);
  for (int r = 0; r < 8; ++r)
    for (int x = 0; x < 16; ++x) EXPECT_EQ(c.H(x, r), d * 32);
  EXPECT_EQ(c.L(0, 0), 32 * d);  // uniform: dsDiff 32d, YUV sum 32d
  EXPECT_EQ(c.S(0, 0), 0);
  EXPECT_EQ(c.L(1, 0), 0);  // alternating: signed sum cancels
  EXPECT_EQ(c.S(1, 0), 32 * d);
  c.expectBordersUntouched();
}

TEST_P(FrameDiff8x8, LumaSumShiftFloorsNegativeSums) {
  DiffCase c(16, 8, 16, 8);
  c.y(c.cur.data(), 3, 2) = 103;  // block 0 sum +3 -> 1
  c.y(c.cur.data(), 11, 5) = 97;  // block 1 sum -3 -> -2
  c.run(*GetParam().k, 0.0f);
  EXPECT_EQ(c.L(0, 0), 1);
  EXPECT_EQ(c.S(0, 0), 0);  // YUV sum 3 >> 1 = 1
  EXPECT_EQ(c.L(1, 0), 2);
  EXPECT_EQ(c.S(1, 0), 1);
}

TEST_P(FrameDiff8x8, ChromaTermsPerSampleAndPerBlock) {
  // uv_ratio 1.0: each of the 16 U differences of the block +1.
  DiffCase c(8, 8, 8, 8);
  for (int cr = 0; cr < 4; ++cr)
    for (int p = 0; p < 4; ++p) c.uv(c.cur.data(), 2 * p, cr) = 101;
  c.run(*GetParam().k, 1.0f);
  for (int r = 0; r < 8; ++r)
    for (int x = 0; x < 8; ++x) EXPECT_EQ(c.H(x, r), 32);
  EXPECT_EQ(c.L(0, 0), 32);
  EXPECT_EQ(c.S(0, 0), 0);

  // The block chroma value rounds P = a x fix / 128 half away from zero: one
  // V difference of +1 gives a V sum of 4, a = 2; fix 32 -> P = 64 -> 1, fix
  // 31 -> 62 -> 0, fix -32 -> -64 -> -1. The per-sample term rounds to 0.
  const struct {
    float ratio;
    int ldiff;
  } cases[] = {{32 / 128.0f, 1}, {31 / 128.0f, 0}, {-32 / 128.0f, 1}};
  for (const auto &t : cases) {
    DiffCase v(8, 8, 8, 8);
    v.uv(v.cur.data(), 5, 1) = 101;
    v.run(*GetParam().k, t.ratio);
    EXPECT_EQ(v.L(0, 0), t.ldiff) << t.ratio;
    EXPECT_EQ(v.S(0, 0), t.ldiff) << t.ratio;
    for (int r = 0; r < 8; ++r)
      for (int x = 0; x < 8; ++x) EXPECT_EQ(v.H(x, r), 0);
  }
}

TEST_P(FrameDiff8x8, LargeChromaWeightsWrapInSixteenBits) {
  // uv_ratio 300: fix 38400, whose low 16 bits are -27136 for the per-sample
  // term: t = RoundShift(2 x -27136, 7) = -424, h = |dY| + t = -424 + 0.
  DiffCase c(8, 8, 8, 8);
  c.uv(c.cur.data(), 0, 0) = 101;
  c.uv(c.cur.data(), 1, 0) = 99;
  c.run(*GetParam().k, 300.0f);
  EXPECT_EQ(c.H(0, 0), tnr_md::low16(-424 * 32));
  EXPECT_EQ(c.H(1, 1), tnr_md::low16(-424 * 32));
  EXPECT_EQ(c.H(2, 0), 0);
}

TEST_P(FrameDiff8x8, MovedBackLastBlocksAndOddOrigins) {
  // proWidth 21: blocks at 0, 8, 13. A luma change at column 14 counts in the
  // second and the third block; one at column 20 only in the third.
  DiffCase c(24, 24, 21, 21);
  c.y(c.cur.data(), 14, 0) = 110;
  c.y(c.cur.data(), 20, 14) = 120;  // block row 2 starts at row 13
  c.run(*GetParam().k, 0.0f);
  EXPECT_EQ(c.L(1, 0), 5);
  EXPECT_EQ(c.L(2, 0), 5);
  EXPECT_EQ(c.L(0, 0), 0);
  EXPECT_EQ(c.L(2, 2), 10);
  EXPECT_EQ(c.L(2, 1), 10);  // rows 13 .. 15 belong to block rows 1 and 2
  EXPECT_EQ(c.L(1, 2), 0);
  EXPECT_EQ(c.H(14, 0), 320);
  c.expectBordersUntouched();

  // Chroma of an odd block origin: samples 13 .. 20 use pairs 6 .. 10; a U
  // change in pair 10 (byte 20) reaches sample 20 only, one in pair 6 (byte 12)
  // samples 12 and 13.
  DiffCase u(24, 24, 21, 21);
  u.uv(u.cur.data(), 20, 0) = 104;
  u.uv(u.cur.data(), 12, 0) = 104;
  u.run(*GetParam().k, 1.0f);
  for (int x = 0; x < 21; ++x)
    for (int r = 0; r < 3; ++r)
      EXPECT_EQ(u.H(x, r), (r < 2 && (x == 12 || x == 13 || x == 20)) ? 4 * 32 : 0)
          << x << "," << r;
}
