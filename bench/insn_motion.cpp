// Runs the camera motion's estimation and history shift K times on a pair of
// real 1920x1080 frames, for counting executed instructions under an emulator
// (scripts/insncount_motion.sh makes them and counts): K = 0 gives the start-up baseline (reading
// the frames included), the difference to K = N is N estimations and shifts.
//
//   tnr_md_insn_motion K [c|neon] FRAMES.nv12
//
// FRAMES.nv12 holds two NV12 frames of 1920x1080: the previous and the
// current. Each call estimates the motion from the first to the second and
// moves the first frame, weights and gains by it into separate outputs (the
// inputs stay as they are, so every call does the same work).
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "camera_motion.h"
#include "motion_detect.h"

int main(int argc, char **argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: %s K c|neon FRAMES.nv12\n", argv[0]);
    return 2;
  }
  const int calls = std::atoi(argv[1]);
  const bool vector = std::strcmp(argv[2], "neon") == 0;
#if TNR_MD_HAVE_NEON
  const tnr_md::MotionKernels &k = vector ? tnr_md::kMotionKernelsNeon : tnr_md::kMotionKernelsC;
#else
  if (vector) {
    std::fprintf(stderr, "this build has no vector form\n");
    return 2;
  }
  const tnr_md::MotionKernels &k = tnr_md::kMotionKernelsC;
#endif
  const int w = 1920, h = 1080;
  const size_t frame = static_cast<size_t>(w) * h * 3 / 2, maps = static_cast<size_t>(w) * h;
  std::vector<uint8_t> pre(frame), cur(frame), out(frame), alpha(maps, 100), alphaOut(maps),
      gain(maps, 128), gainOut(maps);
  FILE *f = std::fopen(argv[3], "rb");
  if (!f || std::fread(pre.data(), 1, frame, f) != frame || std::fread(cur.data(), 1, frame, f) != frame) {
    std::fprintf(stderr, "cannot read two 1920x1080 NV12 frames from %s\n", argv[3]);
    return 1;
  }
  std::fclose(f);
  std::vector<uint8_t> est(motionEstimateTmpBufSize(h, w));
  std::vector<int16_t> rows(historyShiftTmpBufSize(w));
  TnrMdMotion m{};
  for (int i = 0; i < calls; ++i) {
    tnr_md::motionEstimateWith(k, pre.data(), w, cur.data(), w, h, w, est.data(), &m);
    if (m.valid && (m.dx != 0 || m.dy != 0))  // as the stream does: rest moves nothing
      tnr_md::historyShiftWith(k, pre.data(), cur.data(), out.data(), alpha.data(), alphaOut.data(),
                               gain.data(), gainOut.data(), rows.data(), h, w, h, w, w, m.dx, m.dy,
                               128);
  }
  uint32_t sum = 0;
  for (uint8_t b : out) sum = sum * 31 + b;
  std::printf("calls %d form %s motion %d,%d confidence %d valid %d checksum %08x\n", calls,
              vector ? "neon" : "c", m.dx, m.dy, m.confidence, m.valid, sum);
  return 0;
}
