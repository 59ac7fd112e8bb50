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
#include <limits>
#include <random>
#include <vector>

#include "equiv.h"
#include "forms.h"
#include "test_util.h"

namespace {

using tnr_md_test::canaryIntact;
using tnr_md_test::Fill;
using tnr_md_test::fillName;
using tnr_md_test::fillWith;
using tnr_md_test::Guard;
using tnr_md_test::GuardedBuffer;
using tnr_md_test::sameBuffers;
using tnr_md_test::seededRng;

using tnr_md_test::sideName;
constexpr auto &kSides = tnr_md_test::kGuardSides;

constexpr int16_t kCanary16 = 0x5A5A;
constexpr uint32_t kCanary32 = 0xA5A5A5A5u;

template <class T>
GuardedBuffer<T> canaryBuffer(size_t n, Guard g, T canary) {
  GuardedBuffer<T> b(n, g);
  b.fill(canary);
  return b;
}

// ---------------------------------------------------------------------------
// Frame difference

// Chroma weights: ordinary ones, ones whose low 16 bits wrap in the per-sample
// term (fix >= 32768), ones whose block products wrap 32 bits, and specials.
float pickUvRatio(std::mt19937 &rng) {
  const float special[] = {0.0f, 1.0f, 0.5f, 0.3f, -0.3f, 1.0f / 256, -1.0f / 256, 255.99f, 256.0f,
                           300.0f, -256.01f, 511.5f, 1e6f, 2e7f, -3e7f,
                           std::numeric_limits<float>::infinity(), std::nanf(""),
                           // Weights 2^17 and just past it in both signs: the widest weight whose
                           // block chroma product fits in 32 bits, and the first that does not.
                           1024.0f, -1024.0f, 1024.01f, -1024.01f};
  if (rng() % 2) return special[rng() % (sizeof special / sizeof special[0])];
  return std::uniform_real_distribution<float>(-4.0f, 4.0f)(rng);
}

// Current and previous NV12 frames of one of several kinds.
void fillFrames(uint8_t *cur, uint8_t *pre, int w, int h, int kind, std::mt19937 &rng) {
  const size_t n = static_cast<size_t>(w) * h * 3 / 2;
  switch (kind) {
    case 0:  // independent noise
      fillWith(cur, n, Fill::Random, rng, 0, 255);
      fillWith(pre, n, Fill::Random, rng, 0, 255);
      break;
    case 1:  // extremes: every difference is 0 or +-255
      fillWith(cur, n, Fill::Extremes, rng, 0, 255);
      fillWith(pre, n, Fill::Extremes, rng, 0, 255);
      break;
    case 2:  // all 255 against all 0, or the other way round
      std::memset(cur, rng() % 2 ? 255 : 0, n);
      std::memset(pre, cur[0] ^ 255, n);
      break;
    case 3: {  // identical frames except for light noise
      fillWith(pre, n, Fill::Runs, rng, 0, 255);
      for (size_t i = 0; i < n; ++i) {
        const int v = pre[i] + static_cast<int>(rng() % 7) - 3;
        cur[i] = static_cast<uint8_t>(v < 0 ? 0 : v > 255 ? 255 : v);
      }
      break;
    }
    default: {  // a moving block: a square of the previous frame shifted
      fillWith(pre, n, Fill::Runs, rng, 0, 255);
      std::memcpy(cur, pre, n);
      const int bw = 1 + static_cast<int>(rng() % w), bh = 1 + static_cast<int>(rng() % h);
      const int x0 = static_cast<int>(rng() % (w - bw + 1)),
                y0 = static_cast<int>(rng() % (h - bh + 1));
      const int dx = static_cast<int>(rng() % 5) - 2, dy = static_cast<int>(rng() % 5) - 2;
      for (int y = y0; y < y0 + bh; ++y)
        for (int x = x0; x < x0 + bw; ++x) {
          const int sx = std::min(std::max(x + dx, 0), w - 1),
                    sy = std::min(std::max(y + dy, 0), h - 1);
          cur[y * w + x] = static_cast<uint8_t>(pre[sy * w + sx] ^ 0x80);
          uint8_t *uv = cur + w * h + (y / 2) * w + (x & ~1);
          uv[0] = static_cast<uint8_t>(255 - uv[0]);
        }
      break;
    }
  }
}

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

// Every vector twin of the frame difference against the per-sample form on
// one frame pair: equal planes, the frames untouched, no border written.
void expectDiffTwinsMatch(int imgW, int imgH, int proW, int proH, int lStride, int sStride,
                          float uv, int kind, Guard g, std::mt19937 &rng) {
  const int lWid = (proW + 7) / 8;
  const size_t frameBytes = static_cast<size_t>(imgW) * imgH * 3 / 2;
  GuardedBuffer<uint8_t> cur(frameBytes, g), pre(frameBytes, g);
  fillFrames(cur.data(), pre.data(), imgW, imgH, kind, rng);
  SCOPED_TRACE(::testing::Message()
               << "frame " << imgW << "x" << imgH << ", grid " << proW << "x" << proH
               << ", lDiffStride " << lStride << ", sigmaStride " << sStride << ", uv_ratio " << uv
               << ", contents " << kind << ", guard " << sideName(g));
  const std::vector<uint8_t> cur0(cur.begin(), cur.end());
  const DiffPlanes want = runDiff(tnr_md::kKernelsC, cur.data(), pre.data(), imgW, imgH, proW, proH,
                                  lStride, sStride, uv, g);
  for (const auto &twin : kTwins) {
    SCOPED_TRACE(twin.name);
    const DiffPlanes got =
        runDiff(*twin.k, cur.data(), pre.data(), imgW, imgH, proW, proH, lStride, sStride, uv, g);
    ASSERT_TRUE(sameBuffers(cur0.data(), cur.data(), cur0.size())) << "pCurIn written";
    ASSERT_TRUE(sameBuffers(want.h.data(), got.h.data(), want.h.size(), proW + 2)) << "pHdiff";
    ASSERT_TRUE(sameBuffers(want.l.data(), got.l.data(), want.l.size(), lStride)) << "pLdiff";
    ASSERT_TRUE(sameBuffers(want.s.data(), got.s.data(), want.s.size(), sStride)) << "pSigma";
    // Only the valid samples are written, never a border element.
    const size_t hs = proW + 2;
    ASSERT_TRUE(canaryIntact<int16_t>(
        got.h.data(), got.h.size(), kCanary16,
        [&](size_t i) {
          const size_t r = i / hs, c = i % hs;
          return r >= 1 && r <= static_cast<size_t>(proH) && c >= 1 &&
                 c <= static_cast<size_t>(proW);
        },
        hs));
    ASSERT_TRUE(canaryIntact<int16_t>(
        got.l.data(), got.l.size(), kCanary16,
        [&](size_t i) {
          const size_t r = i / lStride, c = i % lStride;
          return r >= 1 && c >= 1 && c <= static_cast<size_t>(lWid);
        },
        lStride));
    ASSERT_TRUE(canaryIntact<int16_t>(
        got.s.data(), got.s.size(), kCanary16,
        [&](size_t i) {
          const size_t r = i / sStride, c = i % sStride;
          return r >= 4 && c >= 4 && c < static_cast<size_t>(lWid) + 4;
        },
        sStride));
  }
}

TEST(VecFront, FrameDiffMatchesPerSample) {
  auto rng = seededRng(0xD1FF);
  int cases = 0;
  for (Guard g : kSides) {
    for (int it = 0; it < 300; ++it) {
      const int imgW = 8 + 2 * static_cast<int>(rng() % 33);  // even, 8 .. 72
      const int imgH = 8 + 2 * static_cast<int>(rng() % 17);  // even, 8 .. 40
      int proW, proH;
      switch (it % 4) {
        case 0:  // the grid spans the whole frame: the last chroma row ends the buffer
          proW = imgW - static_cast<int>(rng() % 2);
          proH = imgH - static_cast<int>(rng() % 2);
          break;
        case 1:  // narrowest grid
          proW = 8 + static_cast<int>(rng() % 2);
          proH = 8 + static_cast<int>(rng() % 2);
          break;
        default:
          proW = 8 + static_cast<int>(rng() % (imgW - 7));
          proH = 8 + static_cast<int>(rng() % (imgH - 7));
      }
      proW = std::max(8, std::min(proW, imgW));
      proH = std::max(8, std::min(proH, imgH));
      const int lWid = (proW + 7) / 8;
      const int lStride = lWid + 2 + static_cast<int>(rng() % 3);
      const int sStride = lWid + 8 + static_cast<int>(rng() % 3);
      const float uv = pickUvRatio(rng);
      const int kind = static_cast<int>(rng() % 5);
      expectDiffTwinsMatch(imgW, imgH, proW, proH, lStride, sStride, uv, kind, g, rng);
      if (HasFatalFailure()) return;
      ++cases;
    }
  }
  RecordProperty("cases", cases);
}

// Grids as wide as the widest vector steps (64 and 32 columns) and their
// neighbours, so that the wide steps run alone, with a tail of narrower steps,
// and with a moved-back last block; half of them span the whole frame, so the
// last chroma load of the bottom row of blocks ends the buffer.
TEST(VecFront, FrameDiffWideGridsMatchPerSample) {
  auto rng = seededRng(0xD200);
  std::vector<int> widths;
  for (int k : {1, 2, 3})
    for (int d : {-2, -1, 0, 1, 2, 8, 9, 15, 16, 17}) widths.push_back(32 * k + d);
  for (int w : {128 + 24, 128 + 40, 128 + 57, 256 - 1, 256}) widths.push_back(w);
  for (Guard g : kSides) {
    for (int proW : widths) {
      for (int rep = 0; rep < 2; ++rep) {
        const int imgW = rep == 0 ? proW + (proW & 1) : proW + 2 + 2 * static_cast<int>(rng() % 4);
        const int imgH = 8 + 2 * static_cast<int>(rng() % 9);
        const int proH = rep == 0 ? std::max(8, imgH - static_cast<int>(rng() % 2))
                                  : 8 + static_cast<int>(rng() % (imgH - 7));
        const int lWid = (proW + 7) / 8;
        const int lStride = lWid + 2 + static_cast<int>(rng() % 3);
        const int sStride = lWid + 8 + static_cast<int>(rng() % 3);
        expectDiffTwinsMatch(imgW, imgH, proW, proH, lStride, sStride, pickUvRatio(rng),
                             static_cast<int>(rng() % 5), g, rng);
        if (HasFatalFailure()) return;
      }
    }
  }
}

// ---------------------------------------------------------------------------
// 3x3 filter

// Input contents: full-range noise, the extremes, smooth runs, and small values.
void fillPlane16(int16_t *p, size_t n, int kind, size_t pitch, std::mt19937 &rng, int64_t lo,
                 int64_t hi) {
  fillWith(p, n, static_cast<Fill>(kind % static_cast<int>(Fill::Count)), rng, lo, hi, pitch);
}

const int kFilterWidths[] = {1,  2,  3,  4,  5,   6,   7,   8,   9,   10,  11,  12,  13, 14, 15,
                             16, 17, 18, 19, 20,  21,  22,  23,  24,  25,  26,  27,  28, 29, 30,
                             31, 32, 33, 34, 35,  36,  37,  38,  39,  40,  47,  48,  49, 63, 64,
                             65, 95, 96, 97, 100, 127, 128, 129, 160, 192, 241, 1000};

// Every vector twin of the 3x3 filter against the per-sample form on one
// input (first valid sample pIn): equal outputs, nothing written past a row.
void expectGaussTwinsMatch(int16_t *pIn, size_t outN, int h, int w, int stride, Guard g) {
  auto want = canaryBuffer<int16_t>(outN, g, kCanary16);
  tnr_md::gauss3x3_c(pIn, want.data(), h, w, stride);
  for (const auto &twin : kTwins) {
    SCOPED_TRACE(twin.name);
    auto got = canaryBuffer<int16_t>(outN, g, kCanary16);
    twin.k->gauss3x3(pIn, got.data(), h, w, stride);
    ASSERT_TRUE(sameBuffers(want.data(), got.data(), outN, stride));
    ASSERT_TRUE(canaryIntact<int16_t>(
        got.data(), outN, kCanary16, [&](size_t i) { return i % stride < static_cast<size_t>(w); },
        stride));
  }
}

TEST(VecFront, Gauss3x3MatchesPerSample) {
  auto rng = seededRng(0x6A55);
  for (Guard g : kSides) {
    for (int w : kFilterWidths) {
      for (int rep = 0; rep < 6; ++rep) {
        // Low planes, and (rep 5) planes spanning several of the x86 form's
        // 16-row bands.
        const int h =
            rep == 5 ? 30 + static_cast<int>(rng() % 41) : 1 + static_cast<int>(rng() % 7);
        const int stride = w + 2 + static_cast<int>(rng() % 6);
        const int kind = rep;
        // Input rows -1 .. h, columns -1 .. w, nothing more: the last element
        // is column w of row h, the first column -1 of row -1.
        const size_t inN = static_cast<size_t>(h + 1) * stride + w + 2;
        const size_t outN = static_cast<size_t>(h - 1) * stride + w;
        GuardedBuffer<int16_t> in(inN, g);
        const Fill f = static_cast<Fill>(kind % static_cast<int>(Fill::Count));
        const bool small = rng() % 3 == 0;
        fillPlane16(in.data(), inN, kind, stride, rng, small ? -40 : -32768, small ? 40 : 32767);
        SCOPED_TRACE(::testing::Message()
                     << "imgWid " << w << ", imgHgt " << h << ", stride " << stride << ", contents "
                     << fillName(f) << ", guard " << sideName(g));
        expectGaussTwinsMatch(in.data() + stride + 1, outN, h, w, stride, g);
      }
    }
  }
}

// Inputs that are multiples of 16 (as the scaled difference plane is) take
// the 16-bit path; a single input that is not, anywhere in the rows and
// columns a row reads (borders included), sends that row back to the exact
// 32-bit path, and the rows after it must still be right.
TEST(VecFront, Gauss3x3MultiplesOf16MatchesPerSample) {
  auto rng = seededRng(0x6A56);
  for (Guard g : kSides) {
    for (int w : kFilterWidths) {
      for (int rep = 0; rep < 8; ++rep) {
        const int h = 1 + static_cast<int>(rng() % 9);
        const int stride = w + 2 + static_cast<int>(rng() % 4);
        const size_t inN = static_cast<size_t>(h + 1) * stride + w + 2;
        const size_t outN = static_cast<size_t>(h - 1) * stride + w;
        GuardedBuffer<int16_t> in(inN, g);
        const Fill f = static_cast<Fill>(rep % static_cast<int>(Fill::Count));
        fillPlane16(in.data(), inN, rep, stride, rng, -32768, 32767);
        for (size_t i = 0; i < inN; ++i) in.data()[i] = static_cast<int16_t>(in.data()[i] & ~15);
        // Half the cases: one input row -1 .. h, column -1 .. w that is not.
        int badRow = -2, badCol = -2;
        if (rep % 2) {
          badRow = static_cast<int>(rng() % (h + 2)) - 1;
          badCol = static_cast<int>(rng() % (w + 2)) - 1;
          in.data()[(badRow + 1) * stride + badCol + 1] |= static_cast<int16_t>(1 << (rng() % 4));
        }
        SCOPED_TRACE(::testing::Message()
                     << "imgWid " << w << ", imgHgt " << h << ", stride " << stride << ", contents "
                     << fillName(f) << ", not a multiple of 16 at row " << badRow << " column "
                     << badCol << ", guard " << sideName(g));
        expectGaussTwinsMatch(in.data() + stride + 1, outN, h, w, stride, g);
      }
    }
  }
}

// ---------------------------------------------------------------------------
// Sigma tables

float pickSigmaScale(std::mt19937 &rng) {
  const float special[] = {1.0f,         0.875f, 1.75f,
                           7.0f,         0.0f,   -1.0f,
                           1e30f,        -1e30f, std::numeric_limits<float>::infinity(),
                           std::nanf("")};
  if (rng() % 3 == 0) return special[rng() % (sizeof special / sizeof special[0])];
  return std::uniform_real_distribution<float>(0.0f, 8.0f)(rng);
}

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
