// The vector forms of the frame difference, the 3x3 filter and the sigma
// tables against their per-sample twins, byte for byte: random and
// pathological contents, sizes around every block width, pitches wider than
// needed, every buffer against an inaccessible page on its right and then on
// its left, and canaries outside the written area.
#include "kernels.h"

#if TNR_MD_HAVE_NEON

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <functional>
#include <random>
#include <vector>

#include "equiv.h"
#include "forms.h"
#include "test_util.h"

namespace {

using namespace tnr_md_test;

constexpr auto &kSides = tnr_md_test::kGuardSides;

// ---------------------------------------------------------------------------
// Frame difference

struct DiffPlanes {
  GuardedBuffer<int16_t> h, l, s;
};

// The vector twins checked here: the NEON source (native on Arm, through
// SIMDe elsewhere) and, on x86-64, the x86 set of every level this
// processor runs.
const std::vector<tnr_md_test::Form> kTwins = tnr_md_test::vectorForms();

DiffPlanes runDiff(const tnr_md::Kernels &k, uint8_t *cur, uint8_t *pre, int imgW, int imgH,
                   int proW, int proH, int lStride, int sStride, float uv, Guard g) {
  const int lWid = (proW + 7) / 8, lHgt = (proH + 7) / 8;
  // Each plane ends at its last written element (no bottom or right border).
  DiffPlanes p{
      canaryBuffer<int16_t>(static_cast<size_t>(proH) * (proW + 2) + proW + 1, g, kCanary16),
      canaryBuffer<int16_t>(static_cast<size_t>(lHgt) * lStride + lWid + 1, g, kCanary16),
      canaryBuffer<int16_t>(static_cast<size_t>(lHgt + 3) * sStride + lWid + 4, g, kCanary16)};
  tnr_md::frameDiffWith(k, cur, pre, p.l.data(), p.h.data(), p.s.data(), imgH, imgW, proH, proW,
                        lStride, sStride, uv);
  return p;
}

// Every element at or past row r0 of a plane of the given pitch, in columns c0 .. c1 - 1.
std::function<bool(size_t)> below(size_t pitch, size_t r0, size_t c0, size_t c1) {
  return [=](size_t i) { return i / pitch >= r0 && i % pitch >= c0 && i % pitch < c1; };
}

// Every vector twin of the frame difference against the per-sample form on
// one frame pair: equal planes, the frames untouched, no border written.
void expectDiffTwinsMatchOn(GuardedBuffer<uint8_t> &cur, GuardedBuffer<uint8_t> &pre, int imgW,
                            int imgH, int proW, int proH, int lStride, int sStride, float uv,
                            Guard g) {
  const int lWid = (proW + 7) / 8;
  const std::vector<uint8_t> cur0(cur.begin(), cur.end());
  const DiffPlanes want = runDiff(tnr_md::kKernelsC, cur.data(), pre.data(), imgW, imgH, proW, proH,
                                  lStride, sStride, uv, g);
  const size_t hs = proW + 2;
  for (const auto &twin : kTwins) {
    SCOPED_TRACE(twin.name);
    const DiffPlanes got =
        runDiff(*twin.k, cur.data(), pre.data(), imgW, imgH, proW, proH, lStride, sStride, uv, g);
    ASSERT_TRUE(sameBuffers(cur0.data(), cur.data(), cur0.size())) << "pCurIn written";
    ASSERT_TRUE(sameBuffers(want.h.data(), got.h.data(), want.h.size(), hs)) << "pHdiff";
    ASSERT_TRUE(sameBuffers(want.l.data(), got.l.data(), want.l.size(), lStride)) << "pLdiff";
    ASSERT_TRUE(sameBuffers(want.s.data(), got.s.data(), want.s.size(), sStride)) << "pSigma";
    // Only the valid samples are written, never a border element.
    ASSERT_TRUE(canaryIntact<int16_t>(got.h.data(), got.h.size(), kCanary16,
                                      below(hs, 1, 1, proW + 1), hs));
    ASSERT_TRUE(canaryIntact<int16_t>(got.l.data(), got.l.size(), kCanary16,
                                      below(lStride, 1, 1, lWid + 1), lStride));
    ASSERT_TRUE(canaryIntact<int16_t>(got.s.data(), got.s.size(), kCanary16,
                                      below(sStride, 4, 4, lWid + 4), sStride));
  }
}

void expectDiffTwinsMatch(int imgW, int imgH, int proW, int proH, Guard g, std::mt19937 &rng) {
  const int lWid = (proW + 7) / 8;
  const int lStride = lWid + 2 + int(uni(rng, 0, 2)), sStride = lWid + 8 + int(uni(rng, 0, 2));
  const float uv = pickUvRatio(rng);
  const int kind = int(uni(rng, 0, 4));
  const size_t frameBytes = static_cast<size_t>(imgW) * imgH * 3 / 2;
  GuardedBuffer<uint8_t> cur(frameBytes, g), pre(frameBytes, g);
  fillFrames(cur.data(), pre.data(), imgW, imgH, kind, rng);
  SCOPED_TRACE(::testing::Message()
               << "frame " << imgW << "x" << imgH << ", grid " << proW << "x" << proH
               << ", lDiffStride " << lStride << ", sigmaStride " << sStride << ", uv_ratio " << uv
               << ", contents " << kind << ", guard " << sideName(g));
  expectDiffTwinsMatchOn(cur, pre, imgW, imgH, proW, proH, lStride, sStride, uv, g);
}

// Random frames (8 .. 72 x 8 .. 40) with grids spanning the whole frame (the
// last chroma row ends the buffer), the narrowest grid, or any; then grids as
// wide as the widest vector steps (64 and 32 columns) and their neighbours,
// so that the wide steps run alone, with a tail of narrower steps, and with a
// moved-back last block, half of them spanning the whole frame; and rows of
// more than 32 and 64 groups of four blocks.
TEST(VecFront, FrameDiffMatchesPerSample) {
  auto rng = seededRng(0xD1FF);
  std::vector<int> wide;
  for (int k : {1, 2, 3})
    for (int d : {-2, -1, 0, 1, 2, 8, 9, 15, 16, 17}) wide.push_back(32 * k + d);
  for (int w : {128 + 24, 128 + 40, 128 + 57, 256 - 1, 256, 1024 + 56, 2048 + 32 + 8})
    wide.push_back(w);
  for (Guard g : kSides) {
    for (int it = 0; it < 300; ++it) {
      const int imgW = 8 + 2 * int(uni(rng, 0, 32)), imgH = 8 + 2 * int(uni(rng, 0, 16));
      const int mode = it % 4;  // 0: the whole frame, 1: the narrowest grid, else any
      const int proW = mode == 0   ? std::max(8, imgW - int(uni(rng, 0, 1)))
                       : mode == 1 ? std::min(imgW, 8 + int(uni(rng, 0, 1)))
                                   : int(uni(rng, 8, imgW));
      const int proH = mode == 0   ? std::max(8, imgH - int(uni(rng, 0, 1)))
                       : mode == 1 ? std::min(imgH, 8 + int(uni(rng, 0, 1)))
                                   : int(uni(rng, 8, imgH));
      expectDiffTwinsMatch(imgW, imgH, proW, proH, g, rng);
      if (HasFatalFailure()) return;
    }
    for (int proW : wide)
      for (int whole : {1, 0}) {
        const int imgW = whole ? proW + (proW & 1) : proW + 2 + 2 * int(uni(rng, 0, 3));
        const int imgH = 8 + 2 * int(uni(rng, 0, 8));
        expectDiffTwinsMatch(
            imgW, imgH, proW,
            whole ? std::max(8, imgH - int(uni(rng, 0, 1))) : int(uni(rng, 8, imgH)), g, rng);
        if (HasFatalFailure()) return;
      }
  }
}

// The widest sums a block's 16-bit lanes hold: every luma difference 255
// with the largest chroma term (all chroma 255 against 0, weight +127/128),
// and no luma difference with the most negative one (-127/128), in both
// directions of change, then the same in alternate columns and rows; each
// at weights whose terms stay small (0.75, 0) and at the first that does not
// (1.0), on grids that take four blocks at a time alone, with a pair after
// them, with single blocks after that, and with a moved-back last block.
TEST(VecFront, FrameDiffWidestBlockSums) {
  const float weights[] = {0.9921875f, -0.9921875f, 0.75f, 0.0f, 1.0f};
  const int widths[] = {32, 48, 56, 64, 88, 100};
  for (Guard g : kSides)
    for (int proW : widths)
      for (int fill = 0; fill < 12; ++fill)
        for (float uv : weights) {
          const int imgW = proW + 2 * (fill & 1), imgH = 16, proH = 16;
          const bool lumaMoves = (fill >> 1) % 2 == 0, up = (fill >> 2) % 2 == 0;
          const bool alternate = fill >= 8;
          const size_t frameBytes = static_cast<size_t>(imgW) * imgH * 3 / 2;
          const size_t lumaBytes = static_cast<size_t>(imgW) * imgH;
          GuardedBuffer<uint8_t> cur(frameBytes, g), pre(frameBytes, g);
          for (size_t i = 0; i < frameBytes; ++i) {
            const size_t row = i < lumaBytes ? i / imgW : (i - lumaBytes) / imgW;
            const bool off = alternate && ((i % imgW) / 2 + row) % 2 == 1;
            const bool moves = (i >= lumaBytes || lumaMoves) && !off;
            cur[i] = moves && up ? 255 : 0;
            pre[i] = moves && !up ? 255 : 0;
          }
          const int lWid = (proW + 7) / 8;
          SCOPED_TRACE(::testing::Message() << "grid " << proW << "x" << proH << ", frame width "
                                            << imgW << ", fill " << fill << ", uv_ratio " << uv
                                            << ", guard " << sideName(g));
          expectDiffTwinsMatchOn(cur, pre, imgW, imgH, proW, proH, lWid + 2, lWid + 8, uv, g);
          if (HasFatalFailure()) return;
        }
}

// ---------------------------------------------------------------------------
// 3x3 filter

const int kFilterWidths[] = {1,  2,  3,  4,  5,   6,   7,   8,   9,   10,  11,  12,  13, 14, 15,
                             16, 17, 18, 19, 20,  21,  22,  23,  24,  25,  26,  27,  28, 29, 30,
                             31, 32, 33, 34, 35,  36,  37,  38,  39,  40,  47,  48,  49, 63, 64,
                             65, 95, 96, 97, 100, 127, 128, 129, 160, 192, 241, 1000};

// Every vector twin of the 3x3 filter against the per-sample form on one
// input (first valid sample pIn): equal outputs, nothing written past a row.
// With allSixteens (every input a multiple of 16) the twins' filter of the
// difference plane too, where they have one.
void expectGaussTwinsMatch(int16_t *pIn, size_t outN, int h, int w, int stride, Guard g,
                           bool allSixteens) {
  auto want = canaryBuffer<int16_t>(outN, g, kCanary16);
  tnr_md::gauss3x3_c(pIn, want.data(), h, w, stride);
  for (const auto &twin : kTwins) {
    for (bool diff : {false, true}) {
      tnr_md::Gauss3x3Fn *filter = diff ? twin.k->gauss3x3Diff : twin.k->gauss3x3;
      if (diff && (!allSixteens || filter == nullptr)) continue;
      SCOPED_TRACE(::testing::Message() << twin.name << (diff ? ", difference plane filter" : ""));
      auto got = canaryBuffer<int16_t>(outN, g, kCanary16);
      filter(pIn, got.data(), h, w, stride);
      ASSERT_TRUE(sameBuffers(want.data(), got.data(), outN, stride));
      ASSERT_TRUE(canaryIntact<int16_t>(
          got.data(), outN, kCanary16,
          [&](size_t i) { return i % stride < static_cast<size_t>(w); }, stride));
    }
  }
}

// Full-range and small contents (reps 0 .. 5; rep 5 spans several of the x86
// form's 16-row bands), then inputs that are all multiples of 16 (as the
// scaled difference plane is), which take the 16-bit path (and the filter of
// the difference plane where a form has one); in half of those
// a single input that is not, anywhere in the rows and columns a row reads
// (borders included), sends that row back to the exact 32-bit path, and the
// rows after it must still be right. Last, each input one of the extremes and
// the values next to them, or next to a multiple of 16 (the split of each
// input into x >> 4 and x & 15 at the edges of the range).
TEST(VecFront, Gauss3x3MatchesPerSample) {
  auto rng = seededRng(0x6A55);
  for (Guard g : kSides) {
    for (int w : kFilterWidths) {
      for (int rep = 0; rep < 16; ++rep) {
        const bool sixteens = rep >= 6 && rep < 14, extremes = rep >= 14;
        const int h = rep == 5   ? 30 + int(uni(rng, 0, 40))
                      : sixteens ? 1 + int(uni(rng, 0, 8))
                                 : 1 + int(uni(rng, 0, 6));
        const int stride = w + 2 + int(uni(rng, 0, 5));
        // Input rows -1 .. h, columns -1 .. w, nothing more: the last element
        // is column w of row h, the first column -1 of row -1.
        const size_t inN = size_t(h + 1) * stride + w + 2;
        const size_t outN = size_t(h - 1) * stride + w;
        GuardedBuffer<int16_t> in(inN, g);
        const Fill f = static_cast<Fill>(rep % int(Fill::Count));
        const bool small = !sixteens && rng() % 3 == 0;
        fillWith(in.data(), inN, f, rng, small ? -40 : -32768, small ? 40 : 32767, stride);
        if (extremes)
          for (auto &v : in)
            v = pick<int16_t>(rng, {-32768, -32767, -32753, -17, -16, -9, -8, -1, 0, 1, 7, 8, 15,
                                    16, 32752, 32753, 32767});
        int badRow = -2, badCol = -2;
        if (sixteens) {
          for (size_t i = 0; i < inN; ++i) in[i] = int16_t(in[i] & ~15);
          if (rep % 2) {
            badRow = int(uni(rng, -1, h));
            badCol = int(uni(rng, -1, w));
            in[size_t(badRow + 1) * stride + badCol + 1] |= int16_t(1 << uni(rng, 0, 3));
          }
        }
        SCOPED_TRACE(::testing::Message()
                     << "imgWid " << w << ", imgHgt " << h << ", stride " << stride << ", contents "
                     << (extremes ? "extremes" : fillName(f))
                     << (sixteens ? ", multiples of 16" : "") << ", not a multiple of 16 at row "
                     << badRow << " column " << badCol << ", guard " << sideName(g));
        expectGaussTwinsMatch(in.data() + stride + 1, outN, h, w, stride, g,
                              sixteens && badRow == -2);
      }
    }
  }
}

// ---------------------------------------------------------------------------
// Sigma tables

TEST(VecFront, SigmaLutMatchesPerSample) {
  auto rng = seededRng(0x516A);
  for (Guard g : kSides) {
    for (int w : kFilterWidths) {
      for (int rep = 0; rep < 6; ++rep) {
        const int h = 1 + static_cast<int>(rng() % 6);
        const int stride = w + 8 + static_cast<int>(rng() % 6);
        // Input rows -4 .. h + 3, columns -4 .. w + 3; scratch and tables sized
        // to exactly the elements that may be written.
        const size_t inN = static_cast<size_t>(h + 7) * stride + w + 8;
        const size_t tmpN = static_cast<size_t>(h + 7) * stride + w + 4;
        const size_t tabN = static_cast<size_t>(h - 1) * stride + w;
        GuardedBuffer<int16_t> in(inN, g);
        // Typical sigmas, full range (pair sums wrap), and near the wrap at 16384.
        const int range = static_cast<int>(rng() % 3);
        const int64_t lo = range == 0 ? 0 : range == 1 ? -32768 : 16000;
        const int64_t hi = range == 0 ? 16383 : range == 1 ? 32767 : 20000;
        const Fill f = static_cast<Fill>(rep % static_cast<int>(Fill::Count));
        fillWith(in.data(), inN, f, rng, lo, hi, stride);
        const float sH = pickSigmaScale(rng), sL = pickSigmaScale(rng);
        SCOPED_TRACE(::testing::Message()
                     << "imgWid " << w << ", imgHgt " << h << ", stride " << stride << ", contents "
                     << fillName(f) << " in [" << lo << ", " << hi << "], sigmaHScale " << sH
                     << ", sigmaLScale " << sL << ", guard " << sideName(g));
        auto tmpC = canaryBuffer<int16_t>(tmpN, g, kCanary16);
        auto lC = canaryBuffer<uint16_t>(tabN, g, static_cast<uint16_t>(kCanary16));
        auto hC = canaryBuffer<uint32_t>(tabN, g, kCanary32);
        int16_t *pIn = in.data() + 4 * stride + 4;
        tnr_md::sigmaLut_c(pIn, tmpC.data(), {lC.data(), hC.data()}, {sH, sL}, h, w, stride);
        for (const auto &twin : kTwins) {
          SCOPED_TRACE(twin.name);
          auto tmpV = canaryBuffer<int16_t>(tmpN, g, kCanary16);
          auto lV = canaryBuffer<uint16_t>(tabN, g, static_cast<uint16_t>(kCanary16));
          auto hV = canaryBuffer<uint32_t>(tabN, g, kCanary32);
          twin.k->sigmaLut(pIn, tmpV.data(), {lV.data(), hV.data()}, {sH, sL}, h, w, stride);
          ASSERT_TRUE(sameBuffers(tmpC.data(), tmpV.data(), tmpN, stride)) << "scratch";
          ASSERT_TRUE(sameBuffers(lC.data(), lV.data(), tabN, stride)) << "pSigmaL";
          ASSERT_TRUE(sameBuffers(hC.data(), hV.data(), tabN, stride)) << "pSigmaH";
          const auto inTable = [&](size_t i) { return i % stride < static_cast<size_t>(w); };
          ASSERT_TRUE(canaryIntact<uint16_t>(lV.data(), tabN, static_cast<uint16_t>(kCanary16),
                                             inTable, stride));
          ASSERT_TRUE(canaryIntact<uint32_t>(hV.data(), tabN, kCanary32, inTable, stride));
          ASSERT_TRUE(canaryIntact<int16_t>(
              tmpV.data(), tmpN, kCanary16,
              [&](size_t i) {
                const size_t c = i % stride;
                return c >= 4 && c < static_cast<size_t>(w) + 4;
              },
              stride));
        }
      }
    }
  }
}

}  // namespace

#endif  // TNR_MD_HAVE_NEON
