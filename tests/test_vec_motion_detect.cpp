// motion_detect with the vector kernels against the per-sample kernels,
// chained over several frames: each call's filtered frame, pPreAlpha and gain
// table feed the next call, so a difference anywhere in the pipeline shows up
// and compounds. Every caller buffer lies against an inaccessible page.
#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "equiv.h"
#include "forms.h"
#include "kernels.h"
#include "motion_detect.h"
#include "test_util.h"

#if TNR_MD_HAVE_NEON

namespace {

using namespace tnr_md_test;

struct Params {
  int proWidth, proHeight, imgWidth, imgHeight, gainStride;
  float sigmaHScale, sigmaLScale, uvRatio;
  int ratioBit;
  int frames;  // a kind of fillFrames: the chain shows its two frames in turn
  Guard guard;
};

// One chain of calls with one kernel set; the state every call leaves behind.
struct Chain {
  GuardedBuffer<uint8_t> pre, alpha, preAlpha, gain;
  GuardedBuffer<int16_t> tmp;
};

void runChains(const tnr_md::Kernels &k, const Params &p, int frames, std::mt19937 &rng) {
  SCOPED_TRACE(::testing::Message()
               << "proWidth " << p.proWidth << " proHeight " << p.proHeight << " imgWidth "
               << p.imgWidth << " imgHeight " << p.imgHeight << " gainStride " << p.gainStride
               << " sigmaH " << p.sigmaHScale << " sigmaL " << p.sigmaLScale << " uv " << p.uvRatio
               << " ratioBit " << p.ratioBit << " frames " << p.frames << " guard "
               << sideName(p.guard));
  const size_t tmpElems = motionDetectTmpBufSize(p.proHeight, p.proWidth);
  ASSERT_GT(tmpElems, 0u);
  const size_t mapBytes = size_t(p.proHeight - 1) * p.gainStride + p.proWidth;

  const size_t frameBytes = size_t(p.imgWidth) * p.imgHeight * 3 / 2;
  std::vector<uint8_t> shown[2] = {std::vector<uint8_t>(frameBytes),
                                   std::vector<uint8_t>(frameBytes)};
  fillFrames(shown[1].data(), shown[0].data(), p.imgWidth, p.imgHeight, p.frames, rng);
  const std::vector<uint8_t> &first = shown[0];
  const bool extreme = p.frames == 1 || p.frames == 2;
  std::vector<uint8_t> preAlpha0(mapBytes), gain0(mapBytes), alpha0(mapBytes);
  fillWith(preAlpha0.data(), mapBytes, Fill::Random, rng, 0, extreme ? 255 : 128);
  fillWith(gain0.data(), mapBytes, extreme ? Fill::Extremes : Fill::Random, rng, 0, 255);
  fillWith(alpha0.data(), mapBytes, Fill::Random, rng, 0, 255);

  auto makeChain = [&] {
    return Chain{place(first, p.guard), place(alpha0, p.guard), place(preAlpha0, p.guard),
                 place(gain0, p.guard), canaryBuffer<int16_t>(tmpElems, p.guard, kCanary16)};
  };
  Chain cc = makeChain(), vc = makeChain();

  for (int t = 1; t <= frames; ++t) {
    SCOPED_TRACE("frame " + std::to_string(t));
    const std::vector<uint8_t> &next = shown[t % 2];
    GuardedBuffer<uint8_t> curC = place(next, p.guard), curV = place(next, p.guard);
    for (auto [set, cur, c] : {std::tuple{&tnr_md::kKernelsC, &curC, &cc}, {&k, &curV, &vc}})
      tnr_md::motionDetectWith(*set, cur->data(), c->pre.data(), c->tmp.data(), c->alpha.data(),
                               c->preAlpha.data(), c->gain.data(), p.imgHeight, p.imgWidth,
                               p.proHeight, p.proWidth, p.gainStride, p.sigmaHScale, p.sigmaLScale,
                               p.uvRatio, 0.0f, p.ratioBit);
    ASSERT_TRUE(sameBuffers(curC.data(), curV.data(), curC.size(), p.imgWidth)) << "frame";
    ASSERT_TRUE(sameBuffers(cc.alpha.data(), vc.alpha.data(), mapBytes, p.gainStride)) << "pAlpha";
    ASSERT_TRUE(sameBuffers(cc.preAlpha.data(), vc.preAlpha.data(), mapBytes, p.gainStride))
        << "pPreAlpha";
    ASSERT_TRUE(sameBuffers(cc.gain.data(), vc.gain.data(), mapBytes, p.gainStride))
        << "gain_table_u8";
    // The filtered frame is the next call's previous frame.
    std::copy(curC.begin(), curC.end(), cc.pre.begin());
    std::copy(curV.begin(), curV.end(), vc.pre.begin());
  }
}

// Grids accepted by the scratch layout; sizes not multiples of 8 or 16 and
// widths below the 16-block rows (121) included.
std::vector<std::pair<int, int>> acceptedSizes(std::mt19937 &rng, int count) {
  std::vector<std::pair<int, int>> out;
  for (auto s : std::vector<std::pair<int, int>>{
           {8, 48},   {9, 24},   {11, 16},  {14, 8},   {15, 9},   {16, 16},  {17, 9},
           {23, 11},  {31, 15},  {40, 8},   {119, 13}, {121, 8},  {122, 17}, {127, 9},
           {129, 24}, {136, 31}, {200, 33}, {33, 17},  {255, 41}, {321, 50}})
    if (motionDetectTmpBufSize(s.second, s.first) > 0) out.push_back(s);
  while (int(out.size()) < count) {
    const int w = int(uni(rng, 8, 260)), h = int(uni(rng, 8, 48));
    if (motionDetectTmpBufSize(h, w) > 0) out.push_back({w, h});
  }
  return out;
}

class VecMotionDetect : public ::testing::TestWithParam<Form> {};
TNR_MD_VECTOR_FORMS_SUITE(VecMotionDetect);

TEST_P(VecMotionDetect, ChainedFramesMatchPerSample) {
  auto rng = tnr_md_test::seededRng(0x6d01);
  int i = 0;
  for (const auto &[w, h] : acceptedSizes(rng, 30)) {
    Params p;
    p.proWidth = w;
    p.proHeight = h;
    p.imgWidth = (w + int(uni(rng, 0, 9)) + 1) & ~1;
    p.imgHeight = (h + int(uni(rng, 0, 5)) + 1) & ~1;
    p.gainStride = w + int(uni(rng, 0, 1) ? 0 : uni(rng, 1, 19));
    p.sigmaHScale = float(uni(rng, 2, 40)) / 8.0f;
    p.sigmaLScale = float(uni(rng, 2, 40)) / 8.0f;
    p.uvRatio = float(uni(rng, 0, 128)) / 128.0f;
    if (i % 3 == 2) {
      // Scales that push the sigma tables to their floor and past int16
      // (pSigmaL entries that read back negative), and chroma weights that
      // push the differences past the int16 range.
      const float extreme[][3] = {{0.0f, 0.0f, 3.0f},
                                  {7.0f, 7.0f, 1.0f},
                                  {0.875f, 1.75f, 4.0f},
                                  {-1.0f, 20.0f, 0.5f},
                                  {30.0f, -2.0f, -1.0f}};
      const float *e = extreme[(i / 3) % 5];
      p.sigmaHScale = e[0], p.sigmaLScale = e[1], p.uvRatio = e[2];
    }
    p.ratioBit = int(uni(rng, 0, 9));
    p.frames = i % 5;
    p.guard = (i / 3) % 2 ? Guard::Left : Guard::Right;
    ++i;
    runChains(*GetParam().k, p, 5, rng);
    if (HasFatalFailure()) return;
  }
}

}  // namespace

#endif  // TNR_MD_HAVE_NEON
