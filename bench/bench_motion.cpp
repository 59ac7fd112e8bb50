// Time of the camera motion's estimation and history shift against
// motion_detect's, in the same run, on a pair of real 1920x1080 NV12 frames
// (scripts/insncount_motion.sh makes them from vtest.avi:
// build/real-frames/motion-pan.nv12, motion-fixed.nv12), the kernels this
// build ships: the median of R runs of each.
//
//   tnr_md_bench_motion FRAMES.nv12 [R]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "motion_detect.h"

namespace {

template <class F>
double medianMs(int runs, F &&f) {
  std::vector<double> t;
  for (int i = 0; i < runs; ++i) {
    const auto a = std::chrono::steady_clock::now();
    f();
    t.push_back(std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - a).count());
  }
  std::sort(t.begin(), t.end());
  return t[t.size() / 2];
}

}  // namespace

int main(int argc, char **argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s FRAMES.nv12 [RUNS]\n", argv[0]);
    return 2;
  }
  const int runs = argc > 2 ? std::atoi(argv[2]) : 31;
  const int w = 1920, h = 1080;
  const size_t frame = static_cast<size_t>(w) * h * 3 / 2, maps = static_cast<size_t>(w) * h;
  std::vector<uint8_t> pre(frame), cur(frame), work(frame), out(frame), alpha(maps), preAlpha(maps, 100),
      alphaOut(maps), gain(maps, 128), gainOut(maps);
  FILE *f = std::fopen(argv[1], "rb");
  if (!f || std::fread(pre.data(), 1, frame, f) != frame || std::fread(cur.data(), 1, frame, f) != frame) {
    std::fprintf(stderr, "cannot read two 1920x1080 NV12 frames from %s\n", argv[1]);
    return 1;
  }
  std::fclose(f);
  std::vector<int16_t> tmp(motionDetectTmpBufSize(h, w)), rows(historyShiftTmpBufSize(w));
  std::vector<uint8_t> est(motionEstimateTmpBufSize(h, w));
  TnrMdMotion m{};
  std::memcpy(out.data(), pre.data(), frame);
  const double estimate = medianMs(runs, [&] {
    motionEstimate(pre.data(), w, cur.data(), w, h, w, est.data(), &m);
  });
  const double shift = medianMs(runs, [&] {
    historyShift(pre.data(), cur.data(), out.data(), preAlpha.data(), alphaOut.data(), gain.data(),
                 gainOut.data(), rows.data(), h, w, h, w, w, m.dx, m.dy, 128);
  });
  // motion_detect against the moved history, as a stream runs it; it filters
  // in place, so each run starts from fresh copies, timed apart and taken off.
  std::vector<uint8_t> pa(maps);
  const auto fresh = [&] {
    std::memcpy(work.data(), cur.data(), frame);
    std::memcpy(pa.data(), alphaOut.data(), maps);
  };
  const double copy = medianMs(runs, fresh);
  const double detect = medianMs(runs, [&] {
    fresh();
    motion_detect(work.data(), out.data(), tmp.data(), alpha.data(), pa.data(), gainOut.data(), h,
                  w, h, w, w, 1.1f, 0.12f, 0.75f, 0.0f, 4);
  }) - copy;
  std::printf("1920x1080, median of %d runs: motion_detect %.3f ms, motionEstimate %.3f ms, "
              "historyShift %.3f ms (motion %d,%d valid %d): estimation + shift = %.1f %% of "
              "motion_detect\n",
              runs, detect, estimate, shift, m.dx, m.dy, m.valid,
              100.0 * (estimate + shift) / detect);
  return 0;
}
