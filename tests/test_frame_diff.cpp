// The frame differences: the 8x8 block difference of every kernel set and
// its light-clipping variant calDiff. Worked values, rounding, light
// estimate and compensation, moved-back blocks and cells, odd origins,
// 16-bit wraps, and odd grid sizes against guard pages.
#include <cstdlib>
#include <vector>

#include "arith.h"
#include "equiv.h"
#include "forms.h"
#include "kernels.h"
#include "test_util.h"

using namespace tnr_md_test;

namespace {

constexpr int16_t kCanary = 0x7F7F;

// Two NV12 frames (every byte 100) and the planes the stages write, each
// sized exactly (frames imgW x imgH x 3 / 2, planes as the functions
// document) and against an inaccessible page on one side; the planes hold
// the canary.
struct DiffCase {
  int w, h, pw, ph;
  Guard g;
  int lw = (pw + 7) / 8, lh = (ph + 7) / 8, lDiffStride = lw + 2, sigmaStride = lw + 8;
  int cw = (pw + 31) / 32, chh = (ph + 31) / 32;
  GuardedBuffer<uint8_t> cur = canaryBuffer<uint8_t>(size_t(w) * h * 3 / 2, g, 100);
  GuardedBuffer<uint8_t> pre = canaryBuffer<uint8_t>(size_t(w) * h * 3 / 2, g, 100);
  GuardedBuffer<int16_t> hdiff = canaryBuffer(size_t(pw + 2) * (ph + 2), g, kCanary);
  GuardedBuffer<int16_t> ldiff = canaryBuffer(size_t(lDiffStride) * (lh + 2), g, kCanary);
  GuardedBuffer<int16_t> sigma = canaryBuffer(size_t(sigmaStride) * (lh + 8), g, kCanary);
  // calDiff's scratch: the raw differences and the cell means.
  GuardedBuffer<int16_t> tmp = canaryBuffer(size_t(pw) * (ph + ph / 2), g, kCanary);
  GuardedBuffer<int16_t> ds = canaryBuffer(size_t(3) * cw * chh, g, kCanary);
  DiffCase(int w_, int h_, int pw_, int ph_, Guard g_ = Guard::Right)
      : w(w_), h(h_), pw(pw_), ph(ph_), g(g_) {}
  void run(float uvRatio, float lightClip) {
    tnr_md::calDiff_c(cur.data(), pre.data(), ldiff.data(), hdiff.data(), sigma.data(), tmp.data(),
                      ds.data(), h, w, ph, pw, lDiffStride, sigmaStride, uvRatio, lightClip);
  }
  void run8x8(const tnr_md::Kernels &k, float uvRatio) {
    tnr_md::frameDiffWith(k, cur.data(), pre.data(), ldiff.data(), hdiff.data(), sigma.data(), h, w,
                          ph, pw, lDiffStride, sigmaStride, uvRatio);
  }
  uint8_t &Y(GuardedBuffer<uint8_t> &f, int r, int c) { return f[size_t(r) * w + c]; }
  uint8_t &UV(GuardedBuffer<uint8_t> &f, int i, int c) {
    return f[size_t(w) * h + size_t(i) * w + c];
  }
  int dY(int r, int c) { return Y(cur, r, c) - Y(pre, r, c); }
  int dUV(int i, int c) { return UV(cur, i, c) - UV(pre, i, c); }
  int16_t &hd(int r, int c) { return hdiff[size_t(r + 1) * (pw + 2) + c + 1]; }
  int16_t &ld(int bx, int by) { return ldiff[size_t(by + 1) * lDiffStride + bx + 1]; }
  int16_t &sg(int bx, int by) { return sigma[size_t(by + 4) * sigmaStride + bx + 4]; }
  int16_t &mean(int plane, int cx, int cy) { return ds[size_t(plane) * cw * chh + cy * cw + cx]; }
  // Luma difference d everywhere in the grid (relative to a level of 100).
  void setLuma(int r, int c, int d) { Y(cur, r, c) = uint8_t(100 + d); }

  // Borders of the three output planes untouched, every valid element written.
  void expectFrame() {
    const struct {
      GuardedBuffer<int16_t> *p;
      int pitch, border, rows, cols;
      const char *name;
    } planes[] = {{&hdiff, pw + 2, 1, ph, pw, "hdiff"},
                  {&ldiff, lDiffStride, 1, lh, lw, "ldiff"},
                  {&sigma, sigmaStride, 4, lh, lw, "sigma"}};
    for (const auto &q : planes)
      for (size_t i = 0; i < q.p->size(); ++i) {
        const int r = int(i) / q.pitch - q.border, c = int(i) % q.pitch - q.border;
        const bool in = r >= 0 && r < q.rows && c >= 0 && c < q.cols;
        ASSERT_EQ((*q.p)[i] == kCanary, !in) << q.name << " " << r << "," << c;
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

class FrameDiff8x8 : public ::testing::TestWithParam<Form> {};
TNR_MD_FORMS_SUITE(FrameDiff8x8);

TEST_P(FrameDiff8x8, UniformAndAlternatingLumaSteps) {
  const int d = 9;
  DiffCase c(16, 8, 16, 8);
  for (int r = 0; r < 8; ++r)
    for (int x = 0; x < 16; ++x) c.setLuma(r, x, x < 8 ? d : ((x & 1) ? -d : d));
  c.run8x8(*GetParam().k, 1.0f);
  c.expectFrame();
  for (int r = 0; r < 8; ++r)
    for (int x = 0; x < 16; ++x) EXPECT_EQ(c.hd(r, x), d * 32);
  EXPECT_EQ(c.ld(0, 0), 32 * d);  // uniform: dsDiff 32d, YUV sum 32d
  EXPECT_EQ(c.sg(0, 0), 0);
  EXPECT_EQ(c.ld(1, 0), 0);  // alternating: signed sum cancels
  EXPECT_EQ(c.sg(1, 0), 32 * d);
  // The luma sum's shift floors negative sums: +3 -> 1, -3 -> -2.
  DiffCase f(16, 8, 16, 8);
  f.setLuma(2, 3, 3);
  f.setLuma(5, 11, -3);
  f.run8x8(*GetParam().k, 0.0f);
  EXPECT_EQ(f.ld(0, 0), 1);
  EXPECT_EQ(f.sg(0, 0), 0);  // YUV sum 3 >> 1 = 1
  EXPECT_EQ(f.ld(1, 0), 2);
  EXPECT_EQ(f.sg(1, 0), 1);
}

TEST_P(FrameDiff8x8, ChromaTermsPerSampleAndPerBlockAndTheirSixteenBitWrap) {
  // uv_ratio 1.0: each of the 16 U differences of the block +1.
  DiffCase c(8, 8, 8, 8);
  for (int cr = 0; cr < 4; ++cr)
    for (int p = 0; p < 4; ++p) c.UV(c.cur, cr, 2 * p) = 101;
  c.run8x8(*GetParam().k, 1.0f);
  for (int r = 0; r < 8; ++r)
    for (int x = 0; x < 8; ++x) EXPECT_EQ(c.hd(r, x), 32);
  EXPECT_EQ(c.ld(0, 0), 32);
  EXPECT_EQ(c.sg(0, 0), 0);

  // The block chroma value rounds P = a x fix / 128 half away from zero: one
  // V difference of +1 gives a V sum of 4, a = 2; fix 32 -> P = 64 -> 1, fix
  // 31 -> 62 -> 0, fix -32 -> -64 -> -1. The per-sample term rounds to 0.
  const struct {
    float ratio;
    int ldiff;
  } cases[] = {{32 / 128.0f, 1}, {31 / 128.0f, 0}, {-32 / 128.0f, 1}};
  for (const auto &t : cases) {
    DiffCase v(8, 8, 8, 8);
    v.UV(v.cur, 1, 5) = 101;
    v.run8x8(*GetParam().k, t.ratio);
    EXPECT_EQ(v.ld(0, 0), t.ldiff) << t.ratio;
    EXPECT_EQ(v.sg(0, 0), t.ldiff) << t.ratio;
    for (int r = 0; r < 8; ++r)
      for (int x = 0; x < 8; ++x) EXPECT_EQ(v.hd(r, x), 0);
  }

  // uv_ratio 300: fix 38400, whose low 16 bits are -27136 for the per-sample
  // term: t = RoundShift(2 x -27136, 7) = -424, h = |dY| + t = -424 + 0.
  DiffCase w(8, 8, 8, 8);
  w.UV(w.cur, 0, 0) = 101;
  w.UV(w.cur, 0, 1) = 99;
  w.run8x8(*GetParam().k, 300.0f);
  EXPECT_EQ(w.hd(0, 0), tnr_md::low16(-424 * 32));
  EXPECT_EQ(w.hd(1, 1), tnr_md::low16(-424 * 32));
  EXPECT_EQ(w.hd(0, 2), 0);
}

TEST_P(FrameDiff8x8, MovedBackLastBlocksAndOddOrigins) {
  // proWidth 21: blocks at 0, 8, 13. A luma change at column 14 counts in the
  // second and the third block; one at column 20 only in the third.
  DiffCase c(24, 24, 21, 21);
  c.setLuma(0, 14, 10);
  c.setLuma(14, 20, 20);  // block row 2 starts at row 13
  c.run8x8(*GetParam().k, 0.0f);
  c.expectFrame();
  EXPECT_EQ(c.ld(1, 0), 5);
  EXPECT_EQ(c.ld(2, 0), 5);
  EXPECT_EQ(c.ld(0, 0), 0);
  EXPECT_EQ(c.ld(2, 2), 10);
  EXPECT_EQ(c.ld(2, 1), 10);  // rows 13 .. 15 belong to block rows 1 and 2
  EXPECT_EQ(c.ld(1, 2), 0);
  EXPECT_EQ(c.hd(0, 14), 320);

  // Chroma of an odd block origin: samples 13 .. 20 use pairs 6 .. 10; a U
  // change in pair 10 (byte 20) reaches sample 20 only, one in pair 6 (byte 12)
  // samples 12 and 13.
  DiffCase u(24, 24, 21, 21);
  u.UV(u.cur, 0, 20) = 104;
  u.UV(u.cur, 0, 12) = 104;
  u.run8x8(*GetParam().k, 1.0f);
  for (int x = 0; x < 21; ++x)
    for (int r = 0; r < 3; ++r)
      EXPECT_EQ(u.hd(r, x), (r < 2 && (x == 12 || x == 13 || x == 20)) ? 4 * 32 : 0)
          << x << "," << r;
}
// One 32x32 cell whose luma mean is exactly +5 (or -5): block (0, 0) holds
// raw differences 3, -3, 8, 8 in its first quad and 6 in the next four
// samples, 5 elsewhere. Compensate(3, 5) = 2, (-3, 5) = -3, (8, 5) = 3,
// (6, 5) = 1, (5, 5) = 0, and the mirror image for the mean -5; the block
// sum 9 (or -9) shifted down by 1 gives 4 (or floor(-4.5) = -5, so 5).
// diffPlaneNonNegative(fix) holds exactly where no sample 32 x h of the
// frame difference can be negative, over every low 16 bits of fix (the
// per-sample term uses no more), every |dU| + |dV| and |dY| 0 and 255 (h
// grows with |dY|): 0 .. 192.
TEST(UvRatioFix, NonNegativeDifferencePlaneExactly) {
  for (int32_t u = -32768; u <= 32767; ++u) {
    bool negative = false;
    for (int uv = 0; uv <= 510 && !negative; ++uv) {
      const int16_t t = tnr_md::low16(tnr_md::roundShift(int64_t{uv} * u, 7));
      for (int dY : {0, 255}) negative |= tnr_md::low16(int32_t{tnr_md::low16(dY + t)} * 32) < 0;
    }
    ASSERT_EQ(tnr_md::diffPlaneNonNegative(u), !negative) << "low16(fix) " << u;
    ASSERT_EQ(tnr_md::diffPlaneNonNegative(u + 65536), !negative) << "fix " << u + 65536;
  }
}

TEST(CalDiff, CompensationAndFloorShift) {
  for (int sign : {1, -1}) {
    SCOPED_TRACE(sign);
    DiffCase t(32, 32, 32, 32);
    for (int r = 0; r < 32; ++r)
      for (int c = 0; c < 32; ++c) t.setLuma(r, c, 5 * sign);
    const int firstQuad[4][3] = {{0, 0, 3}, {0, 1, -3}, {1, 0, 8}, {1, 1, 8}};
    for (auto &s : firstQuad) t.setLuma(s[0], s[1], s[2] * sign);
    for (int r = 2; r < 4; ++r)
      for (int c = 0; c < 2; ++c) t.setLuma(r, c, 6 * sign);
    t.run(1.0f, 100.0f);
    EXPECT_EQ(t.mean(0, 0, 0), 5 * sign);
    EXPECT_EQ(t.mean(1, 0, 0), 0);
    // (row, column, value / 32); (0, 1), opposite in sign to the mean, is unchanged.
    const int samples[][3] = {{0, 0, 2}, {0, 1, 3}, {1, 0, 3}, {1, 1, 3},
                              {2, 0, 1}, {3, 1, 1}, {0, 2, 0}};
    for (auto &q : samples) EXPECT_EQ(t.hd(q[0], q[1]), q[2] * 32) << q[0] << "," << q[1];
    EXPECT_EQ(t.ld(0, 0), sign > 0 ? 4 : 5);
    // The sigma comes from the raw differences: |160 - (326 >> 1)|.
    EXPECT_EQ(t.sg(0, 0), 3);
    EXPECT_EQ(t.ld(1, 0), 0);
    EXPECT_EQ(t.sg(1, 0), 0);
  }
}

// The chroma term rounds half away from zero: -0.5 x 1 gives -1 and -0.5 x 3
// gives -2 (a half-up rounding would give 0 and -1). The weight is used at
// full 32 bits: 300.0 gives 38400, not its low 16 bits.
TEST(CalDiff, ChromaTermRounding) {
  struct Case {
    float ratio;
    int du, dv, hd;
  };
  const Case cases[] = {{-0.5f, 1, 0, -32},     {-0.5f, 0, -3, -64},    {0.5f, 1, 0, 32},
                        {0.5f, 2, 1, 64},       {-0.3f, 3, 0, -32},     {300.0f, 1, 0, 9600},
                        {1.0f / 256, 63, 0, 0}, {1.0f / 256, 64, 0, 32}};
  for (const Case &k : cases) {
    SCOPED_TRACE(::testing::Message() << k.ratio << " " << k.du << " " << k.dv);
    DiffCase t(32, 32, 32, 32);
    t.UV(t.cur, 5, 10) = uint8_t(100 + k.du);
    t.UV(t.cur, 5, 11) = uint8_t(100 + k.dv);
    t.run(k.ratio, 0.0f);
    for (int r = 10; r < 12; ++r)
      for (int c = 10; c < 12; ++c) EXPECT_EQ(t.hd(r, c), k.hd);
    EXPECT_EQ(t.hd(9, 10), 0);
    EXPECT_EQ(t.hd(10, 12), 0);
  }
}

// proWidth 100: cells at columns 0, 32, 64 and 68, blocks at 0 .. 88 and 92.
// Luma +4 everywhere but +20 in columns 96 .. 99: cell 2 has mean 4, the
// moved-back cell 3 has mean 6. The block at 88 uses cell 2 (columns 88 .. 91
// compensate to 0); the moved-back block (loop position 96) uses cell 3, so
// its columns 92 .. 95 compensate to 2 and overwrite the 0 written before.
TEST(CalDiff, MovedBackBlockTakesTheNextCellsMeans) {
  DiffCase t(100, 32, 100, 32);
  for (int r = 0; r < 32; ++r)
    for (int c = 0; c < 100; ++c) t.setLuma(r, c, c >= 96 ? 20 : 4);
  t.run(1.0f, 100.0f);
  t.expectFrame();
  for (int cx = 0; cx < 4; ++cx) EXPECT_EQ(t.mean(0, cx, 0), cx == 3 ? 6 : 4);
  for (int r = 0; r < 32; ++r) {
    for (int c = 0; c < 92; ++c) ASSERT_EQ(t.hd(r, c), 0) << r << "," << c;
    for (int c = 92; c < 96; ++c) ASSERT_EQ(t.hd(r, c), 2 * 32) << r << "," << c;
    for (int c = 96; c < 100; ++c) ASSERT_EQ(t.hd(r, c), 14 * 32) << r << "," << c;
  }
  for (int by = 0; by < 4; ++by) {
    EXPECT_EQ(t.ld(11, by), 0);
    EXPECT_EQ(t.ld(12, by), 256);  // 8 rows x (4 x 2 + 4 x 14) = 512, >> 1
  }
}

// Uniform changes over a 100 x 40 grid (moved-back cells and blocks) in a
// 104 x 42 frame: every cell mean, sample and block takes one value. A U
// change of +6 is a change of light: light_clip 100 compensates it away (the
// sigma comes from the raw values: the block's U term |384 >> 1| = 192
// against the summed raw samples 64 x 6 >> 1 = 192); without it 6 x 32. A
// luma step of +10: light_clip 10 removes it entirely, 4 (and 4.9) leaves 6
// (6 x 32 = 192; 64 x 6 = 384 >> 1 = 192). Weight 2.5 (320), luma 0 -> 255,
// U 0 -> 255, V 255 -> 0: 255 + 1275 = 1530, and 1530 x 32 = 48960 is stored
// as -16576; the block value 8160 + 20400 + 20400 = 48960 wraps the same way.
TEST(CalDiff, UniformChangesLightClipAndSixteenBitWrap) {
  const struct {
    int y0, y1, u0, u1, v0, v1;
    float uv, clip;
    int meanY, meanU, value;
  } cases[] = {{100, 100, 100, 106, 100, 100, 1.0f, 100.0f, 0, 6, 0},
               {100, 100, 100, 106, 100, 100, 1.0f, 0.0f, 0, 0, 192},
               {100, 110, 100, 100, 100, 100, 0.8f, 10.0f, 10, 0, 0},
               {100, 110, 100, 100, 100, 100, 0.8f, 4.0f, 4, 0, 192},
               {100, 110, 100, 100, 100, 100, 0.8f, 4.9f, 4, 0, 192},
               {0, 255, 0, 255, 255, 0, 2.5f, 0.0f, 0, 0, -16576}};
  for (const auto &k : cases) {
    SCOPED_TRACE(::testing::Message() << "luma " << k.y0 << " -> " << k.y1 << ", U " << k.u0
                                      << " -> " << k.u1 << ", uv " << k.uv << ", clip " << k.clip);
    DiffCase t(104, 42, 100, 40);
    for (size_t i = 0; i < t.cur.size(); ++i) {
      const bool luma = i < size_t(104) * 42, u = i % 2 == 0;
      t.pre[i] = uint8_t(luma ? k.y0 : u ? k.u0 : k.v0);
      t.cur[i] = uint8_t(luma ? k.y1 : u ? k.u1 : k.v1);
    }
    t.run(k.uv, k.clip);
    t.expectFrame();
    for (int cy = 0; cy < t.chh; ++cy)
      for (int cx = 0; cx < t.cw; ++cx) {
        EXPECT_EQ(t.mean(0, cx, cy), k.meanY);
        EXPECT_EQ(t.mean(1, cx, cy), k.meanU);
        EXPECT_EQ(t.mean(2, cx, cy), 0);
      }
    for (int r = 0; r < t.ph; ++r)
      for (int c = 0; c < t.pw; ++c) ASSERT_EQ(t.hd(r, c), k.value) << r << "," << c;
    for (int by = 0; by < t.lh; ++by)
      for (int bx = 0; bx < t.lw; ++bx) {
        ASSERT_EQ(t.ld(bx, by), k.value) << bx << "," << by;
        ASSERT_EQ(t.sg(bx, by), 0) << bx << "," << by;
      }
  }
}

// Odd grid sizes. A quad always takes the chroma-area elements (row >> 1,
// col) and (row >> 1, col + 1) as its U and V values: for an odd col the V
// byte of one pair and the U byte of the next, for an odd row the chroma row
// of its upper luma row. Every U byte changes by +8, V bytes by 0.
TEST(CalDiff, OddWidthQuadsTakeVThenNextUAndOddHeightsTheUpperChromaRow) {
  DiffCase t(34, 32, 33, 32);
  for (int i = 0; i < 16; ++i)
    for (int c = 0; c < 34; c += 2) t.UV(t.cur, i, c) = 108;
  t.run(1.0f, 1000.0f);
  t.expectFrame();
  // Cell 0 (even columns) sees U +8; the moved-back cell 1 (origin 1) sees
  // the U bytes as its V values.
  EXPECT_EQ(t.mean(1, 0, 0), 8);
  EXPECT_EQ(t.mean(2, 0, 0), 0);
  EXPECT_EQ(t.mean(1, 1, 0), 0);
  EXPECT_EQ(t.mean(2, 1, 0), 8);
  // Every block's change is fully compensated, the moved-back one included.
  for (int r = 0; r < 32; ++r)
    for (int c = 0; c < 33; ++c) ASSERT_EQ(t.hd(r, c), 0) << r << "," << c;
  for (int bx = 0; bx < t.lw; ++bx) EXPECT_EQ(t.ld(bx, 0), 0);
  // Without compensation, each quad counts the one changed byte once.
  t.run(1.0f, 0.0f);
  for (int r = 0; r < 32; ++r)
    for (int c = 0; c < 33; ++c) ASSERT_EQ(t.hd(r, c), 8 * 32) << r << "," << c;
  // An odd height: the last quad row takes the upper chroma row.
  DiffCase o(32, 34, 32, 33);
  for (int c = 0; c < 32; c += 2) o.UV(o.cur, 15, c) = 108;
  o.run(1.0f, 0.0f);
  o.expectFrame();
  // The moved-back last block (origin 25, quads at rows 25, 27, 29, 31)
  // overwrites rows 25 .. 31: rows 31 and 32 form its last quad and use
  // chroma row 15; row 30 belongs to its quad at row 29 and uses chroma row
  // 14, although the block above had given it chroma row 15.
  for (int r = 0; r < 33; ++r)
    for (int c = 0; c < 32; ++c)
      ASSERT_EQ(o.hd(r, c), (r == 31 || r == 32) ? 8 * 32 : 0) << r << "," << c;
}

// Odd and even sizes pressed against the frame's end: no access outside any
// buffer (guard pages on either side), every scratch element defined: the
// luma area holds the raw differences, the chroma area mirrors the chroma
// plane byte for byte, each cell mean the floor mean of its clipped values.
// On even grids with light_clip 0 every mean is 0, nothing is compensated,
// and the planes are those of the 8x8 frame difference (moved-back blocks
// included).
TEST(CalDiff, GuardPagesScratchPlanesAndThePlainDifference) {
  auto rng = seededRng(23);
  const int sizes[][4] = {{33, 33, 34, 34}, {35, 37, 36, 38}, {45, 63, 46, 64},  {33, 32, 34, 32},
                          {32, 33, 32, 34}, {63, 35, 64, 36}, {32, 32, 32, 32},  {100, 40, 100, 40},
                          {65, 65, 66, 66}, {71, 41, 72, 42}, {98, 70, 104, 74}, {64, 48, 70, 52},
                          {40, 36, 46, 40}};
  for (auto &s : sizes)
    for (Guard g : {Guard::Right, Guard::Left}) {
      const int pw = s[0], ph = s[1];
      SCOPED_TRACE(::testing::Message() << pw << "x" << ph);
      DiffCase t(s[2], s[3], pw, ph, g);
      fillRandom(t.cur.data(), t.cur.size(), rng, 0, 255);
      fillRandom(t.pre.data(), t.pre.size(), rng, 0, 255);
      const int clip = 40;
      t.run(0.75f, float(clip));
      t.expectFrame();
      for (int r = 0; r < ph; ++r)
        for (int c = 0; c < pw; ++c) ASSERT_EQ(t.tmp[size_t(r) * pw + c], t.dY(r, c));
      for (int i = 0; i < ph / 2; ++i)
        for (int c = 0; c < pw; ++c)
          ASSERT_EQ(t.tmp[size_t(pw) * ph + size_t(i) * pw + c], t.dUV(i, c)) << i << "," << c;
      auto cl = [clip](int d) { return d < -clip ? -clip : (d > clip ? clip : d); };
      auto fl = [](int v) { return v >= 0 ? v / 1024 : -((-v + 1023) / 1024); };
      for (int cy = 0; cy < t.chh; ++cy)
        for (int cx = 0; cx < t.cw; ++cx) {
          const int r0 = std::min(32 * cy, ph - 32), c0 = std::min(32 * cx, pw - 32);
          int sY = 0, sU = 0, sV = 0;
          for (int r = r0; r < r0 + 32; ++r)
            for (int c = c0; c < c0 + 32; ++c) sY += cl(t.dY(r, c));
          for (int r = r0; r < r0 + 32; r += 2)
            for (int c = c0; c < c0 + 32; c += 2) {
              sU += 4 * cl(t.dUV(r >> 1, c));
              sV += 4 * cl(t.dUV(r >> 1, c + 1));
            }
          ASSERT_EQ(t.mean(0, cx, cy), fl(sY));
          ASSERT_EQ(t.mean(1, cx, cy), fl(sU));
          ASSERT_EQ(t.mean(2, cx, cy), fl(sV));
        }
      // Odd grids take the chroma of odd-origin quads (tested above).
      if (pw % 2 || ph % 2) continue;
      t.run(0.75f, 0.0f);
      for (size_t i = 0; i < t.ds.size(); ++i) ASSERT_EQ(t.ds[i], 0);
      DiffCase f(s[2], s[3], pw, ph, g);
      std::copy(t.cur.begin(), t.cur.end(), f.cur.begin());
      std::copy(t.pre.begin(), t.pre.end(), f.pre.begin());
      f.run8x8(tnr_md::kKernelsC, 0.75f);
      ASSERT_TRUE(sameBuffers(f.hdiff.data(), t.hdiff.data(), f.hdiff.size(), pw + 2)) << "hdiff";
      ASSERT_TRUE(sameBuffers(f.ldiff.data(), t.ldiff.data(), f.ldiff.size(), t.lDiffStride));
      ASSERT_TRUE(sameBuffers(f.sigma.data(), t.sigma.data(), f.sigma.size(), t.sigmaStride));
    }
}
