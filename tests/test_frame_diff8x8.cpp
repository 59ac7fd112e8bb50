// Frame difference with 8x8 blocks: worked values, rounding, block placement.
#include <vector>

#include "arith.h"
#include "equiv.h"
#include "forms.h"
#include "test_util.h"

using tnr_md_test::Guard;
using tnr_md_test::GuardedBuffer;

namespace {

constexpr int16_t kCanary = 0x5A5A;

// Two NV12 frames and the three bordered planes, each against a guard page.
struct DiffCase {
  int imgW, imgH, proW, proH;
  Guard side;
  int lStride = (proW + 7) / 8 + 2, sStride = (proW + 7) / 8 + 8;
  GuardedBuffer<uint8_t> cur =
      tnr_md_test::canaryBuffer<uint8_t>(size_t(imgW) * imgH * 3 / 2, side, 100);
  GuardedBuffer<uint8_t> pre =
      tnr_md_test::canaryBuffer<uint8_t>(size_t(imgW) * imgH * 3 / 2, side, 100);
  GuardedBuffer<int16_t> hdiff =
      tnr_md_test::canaryBuffer(size_t(proW + 2) * (proH + 2), side, kCanary);
  GuardedBuffer<int16_t> ldiff =
      tnr_md_test::canaryBuffer(size_t(lStride) * ((proH + 7) / 8 + 2), side, kCanary);
  GuardedBuffer<int16_t> sigma =
      tnr_md_test::canaryBuffer(size_t(sStride) * ((proH + 7) / 8 + 8), side, kCanary);
  DiffCase(int iw, int ih, int pw, int ph, Guard s = Guard::Right)
      : imgW(iw), imgH(ih), proW(pw), proH(ph), side(s) {}
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

// The chroma weight uv_ratio x 128 and the block terms' shift by 7 round
// half away from zero (1.5 / 256 x 128 gives 2, 64 / 128 gives 1).
TEST(UvRatioFix, RoundsHalfAwayFromZero) {
  const std::pair<float, int> fix[] = {{1.0f, 128},  {0.5f, 64},      {0.3f, 38},
                                       {-0.3f, -38}, {1.0f / 256, 1}, {-1.0f / 256, -1},
                                       {0.0f, 0},    {3.0f / 256, 2}, {-3.0f / 256, -2}};
  for (const auto &[ratio, want] : fix) EXPECT_EQ(tnr_md::uvRatioFix(ratio), want) << ratio;
  const std::pair<int, int> shifted[] = {{63, 0},   {64, 1},  {191, 1},   {192, 2},
                                         {-64, -1}, {-63, 0}, {-192, -2}, {0, 0}};
  for (const auto &[v, want] : shifted) EXPECT_EQ(tnr_md::symRoundShift(v, 7), want) << v;
}

class FrameDiff8x8 : public ::testing::TestWithParam<tnr_md_test::Form> {};
TNR_MD_FORMS_SUITE(FrameDiff8x8);

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
  // The luma sum's shift floors negative sums: +3 -> 1, -3 -> -2.
  DiffCase f(16, 8, 16, 8);
  f.y(f.cur.data(), 3, 2) = 103;
  f.y(f.cur.data(), 11, 5) = 97;
  f.run(*GetParam().k, 0.0f);
  EXPECT_EQ(f.L(0, 0), 1);
  EXPECT_EQ(f.S(0, 0), 0);  // YUV sum 3 >> 1 = 1
  EXPECT_EQ(f.L(1, 0), 2);
  EXPECT_EQ(f.S(1, 0), 1);
}

TEST_P(FrameDiff8x8, ChromaTermsPerSampleAndPerBlockAndTheirSixteenBitWrap) {
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

  // uv_ratio 300: fix 38400, whose low 16 bits are -27136 for the per-sample
  // term: t = RoundShift(2 x -27136, 7) = -424, h = |dY| + t = -424 + 0.
  DiffCase w(8, 8, 8, 8);
  w.uv(w.cur.data(), 0, 0) = 101;
  w.uv(w.cur.data(), 1, 0) = 99;
  w.run(*GetParam().k, 300.0f);
  EXPECT_EQ(w.H(0, 0), tnr_md::low16(-424 * 32));
  EXPECT_EQ(w.H(1, 1), tnr_md::low16(-424 * 32));
  EXPECT_EQ(w.H(2, 0), 0);
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
