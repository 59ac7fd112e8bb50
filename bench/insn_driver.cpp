// Runs motion_detect K times on the 1920x1080 benchmark scene, for counting
// executed instructions under an emulator: K = 0 gives the start-up baseline
// (scene generation included), the difference to K = N is N calls.
//
//   tnr_md_insn_driver K [c|neon] [moving|still] [N]
//   tnr_md_insn_driver K [c|neon] spatial [SETTLE]
//   tnr_md_insn_driver K [c|neon] spatial-moving
//   tnr_md_insn_driver K [c|neon|x86] real FILE WxH [dry]
//
// With "real", K chained calls on the NV12 frames of FILE (real_frames.h,
// scripts/real_frames.sh) at the tuning the front ends ship: call i filters
// frame i + 1 against call i - 1's output, the weights starting at 0. "dry"
// reads and stages the same frames but makes no call: the baseline of the
// count, so that the difference holds the calls alone.
//
// With "moving" the scene's previous frame is scrambled, so that everything
// moves (the costliest case); "still" (or anything else) keeps the bench
// scene. With N, the calls are motion_detect_parallel's with N tasks on an
// executor that runs them one after another on this thread: the instructions
// of all tasks summed, to set against N = 1. With "spatial" the K calls are of the spatial
// stage (into an output frame, with the noise level motionDetectNoiseLevel
// reads), after SETTLE chained motion_detect calls (default 12) that both
// K = 0 and K = N run: after 12 calls the weights of the still pixels have
// settled at the blend's ceiling, as in a camera that has watched the scene
// for a moment; SETTLE = 1 leaves them as one call from the scene's start
// left them (still pixels a few frames old, which the stage still filters).
// "spatial-moving" runs the spatial stage after one motion_detect call on the
// scene where everything moves: every weight 0, every pixel filtered at full
// strength (the costliest case).
//
// The calls are chained: each one filters the current frame, pPreAlpha and
// the gains in place, and the next call starts from what it left. Restoring
// the inputs would add a copy per call to the count. Both counts depend on
// the data through a few value-dependent branches; the largest is the vector
// per-pixel pass's still blocks (row-buffer alpha 0 over all 16 pixels),
// which skip the high-sigma alpha, so a scene with motion everywhere costs
// more per pixel than this one.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "kernels.h"
#include "motion_detect.h"
#include "real_frames.h"
#include "scene.h"
#include "spatial.h"

namespace {

int runReal(const tnr_md::Kernels &k, tnr_md::Schedule order, int calls, const char *form,
            const char *path, const char *size, bool dry) {
  int w = 0, h = 0;
  if (std::sscanf(size, "%dx%d", &w, &h) != 2 || w <= 0 || h <= 0) {
    std::fprintf(stderr, "size must be WxH\n");
    return 2;
  }
  const tnr_md_bench::RealFrames frames = tnr_md_bench::readRealFrames(path, w, h);
  if (frames.count < calls + 1 || frames.count < 2) {
    std::fprintf(stderr, "%s: %d frames of %dx%d, %d calls need %d\n", path, frames.count, w, h,
                 calls, calls + 1);
    return 1;
  }
  tnr_md_bench::RealChain chain(frames);
  std::vector<int16_t> tmp(motionDetectTmpBufSize(h, w));
  for (int i = 0; i < calls; ++i) {
    chain.stage();
    if (!dry)
      tnr_md::motionDetectWith(k, chain.cur.data(), chain.pre.data(), tmp.data(),
                               chain.alpha.data(), chain.preAlpha.data(), chain.gain.data(), h, w,
                               h, w, w, tnr_md_bench::kDefaultSigmaHScale,
                               tnr_md_bench::kDefaultSigmaLScale, tnr_md_bench::kDefaultUvRatio,
                               0.0f, tnr_md_bench::kDefaultStaticRatioRBit, order);
    chain.advance();
  }
  uint32_t sum = 0;
  for (uint8_t b : chain.alpha) sum = sum * 31 + b;
  for (uint8_t b : chain.pre) sum = sum * 31 + b;
  std::printf("calls %d form %s real %dx%d%s checksum %08x\n", calls, form, w, h,
              dry ? " (dry)" : "", sum);
  return 0;
}

}  // namespace

int main(int argc, char **argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s K [c|neon] [moving|still] [N]\n", argv[0]);
    return 2;
  }
  const int calls = std::atoi(argv[1]);
  const bool x86 = argc >= 3 && std::strcmp(argv[2], "x86") == 0;
  const bool vector = argc < 3 || x86 || std::strcmp(argv[2], "neon") == 0;
  // The form counted, as the output names it.
  const char *const form = x86 ? "x86" : vector ? "neon" : "c";
  if (argc >= 3 && !vector && std::strcmp(argv[2], "c") != 0) {
    std::fprintf(stderr, "form must be c, neon or x86\n");
    return 2;
  }
#if TNR_MD_HAVE_X86
  // x86: the set of the level this build's library runs (counted natively
  // under valgrind --tool=cachegrind on an x86-64 host).
  const tnr_md::Kernels &k =
      x86 ? TNR_MD_DEFAULT_KERNELS : vector ? tnr_md::kKernelsNeon : tnr_md::kKernelsC;
#elif TNR_MD_HAVE_NEON
  if (x86) {
    std::fprintf(stderr, "this build has no x86 form\n");
    return 2;
  }
  const tnr_md::Kernels &k = vector ? tnr_md::kKernelsNeon : tnr_md::kKernelsC;
#else
  if (vector) {
    std::fprintf(stderr, "this build has no vector form\n");
    return 2;
  }
  const tnr_md::Kernels &k = tnr_md::kKernelsC;
#endif
  if (argc >= 6 && std::strcmp(argv[3], "real") == 0) {
    const tnr_md::Schedule order = vector ? tnr_md::kBuildSchedule : tnr_md::Schedule::Streamed;
    return runReal(k, order, calls, form, argv[4], argv[5], argc >= 7);
  }
  const int w = 1920, h = 1080;
  const bool spatialMoving = argc >= 4 && std::strcmp(argv[3], "spatial-moving") == 0;
  const bool spatial = spatialMoving || (argc >= 4 && std::strcmp(argv[3], "spatial") == 0);
  const bool moving = spatialMoving || (argc >= 4 && std::strcmp(argv[3], "moving") == 0);
  tnr_md_bench::Scene s = tnr_md_bench::makeScene(w, h, moving);
  std::vector<int16_t> tmp(motionDetectTmpBufSize(h, w));
  std::vector<uint8_t> alpha(s.pixels());
  const int tasks = !spatial && argc >= 5 ? std::atoi(argv[4]) : 0;
  if (tasks > 0) {
    tmp.assign(motionDetectParallelTmpBufSize(h, w, tasks), 0);
    for (int i = 0; i < calls; ++i)
      tnr_md::motionDetectParallelWith(
          k, nullptr, tasks, s.cur.data(), s.pre.data(), tmp.data(), alpha.data(),
          s.preAlpha.data(), s.gain.data(), h, w, h, w, w, tnr_md_bench::kSigmaHScale,
          tnr_md_bench::kSigmaLScale, tnr_md_bench::kUvRatio, tnr_md_bench::kStaticRatioRBit);
  }
  // The order each set is counted in: the per-sample set streamed, as a
  // build without vector forms runs it; the NEON set as an Arm build runs it.
  const tnr_md::Schedule order = vector ? tnr_md::kBuildSchedule : tnr_md::Schedule::Streamed;
  const auto detect = [&] {
    tnr_md::motionDetectWith(
        k, s.cur.data(), s.pre.data(), tmp.data(), alpha.data(), s.preAlpha.data(), s.gain.data(),
        h, w, h, w, w, tnr_md_bench::kSigmaHScale, tnr_md_bench::kSigmaLScale,
        tnr_md_bench::kUvRatio, tnr_md_bench::kLightClip, tnr_md_bench::kStaticRatioRBit, order);
  };
  if (spatial) {
    const int settle = spatialMoving ? 1 : argc >= 5 ? std::atoi(argv[4]) : 12;
    for (int i = 0; i < settle; ++i) detect();
    uint8_t lut[tnr_md::kSpatialLutSize];
    tnr_md::spatialThresholds(motionDetectNoiseLevel(tmp.data(), h, w, tnr_md_bench::kUvRatio),
                              tnr_md_bench::kSpatialStrength, lut);
    tnr_md_bench::Buf<uint8_t> out(s.cur.size());
    const tnr_md::SpatialFrame f{s.cur.data(), out.data(), s.preAlpha.data(), h, w, h, w, w, lut};
    for (int i = 0; i < calls; ++i) k.spatial(f, 0, h, 0, h / 2);
    uint32_t sum = 0;
    for (uint8_t b : out) sum = sum * 31 + b;
    std::printf("calls %d form %s spatial%s, settled %d, checksum %08x\n", calls, form,
                spatialMoving ? " (everything moves)" : "", settle, sum);
    return 0;
  }
  for (int i = 0; i < (tasks > 0 ? 0 : calls); ++i) detect();
  // A checksum of the results keeps the calls observable.
  uint32_t sum = 0;
  for (uint8_t b : alpha) sum = sum * 31 + b;
  for (uint8_t b : s.cur) sum = sum * 31 + b;
  std::printf("calls %d form %s checksum %08x\n", calls, form, sum);
  return 0;
}
