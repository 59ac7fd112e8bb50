// What the stream object costs on top of the chained library calls it
// replaces: per frame, motion_detect, the copy of the temporally filtered
// frame that stays the previous one, the noise level and spatial_denoise
// (what the front ends did before), against tnrMdStreamProcess on the same
// frame, in the same run, on one thread, at the defaults the front ends ship.
//
//   bench_stream [--input FILE.nv12 WxH] [--size WxH] [--frames N] [--reps R]
//
// FILE.nv12: raw NV12 frames (real footage, e.g. vtest.avi with noise added by
// `tnr convert`), scaled to the size (1920x1080 by default) by nearest
// neighbour. Without it, a synthetic scene (a noisy gradient with a moving
// square), labelled as such. The two are timed in turn, frame by frame, in
// thread CPU time; the figure is the ratio of the medians per frame (and of
// the totals). The outputs are compared too: the same bytes.
#include <time.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "motion_detect.h"
#include "tnr_md_stream.h"

namespace {

using Frame = std::vector<uint8_t>;

double cpuNow() {
  timespec ts;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return ts.tv_sec + ts.tv_nsec * 1e-9;
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  const size_t n = v.size();
  return n % 2 ? v[n / 2] : 0.5 * (v[n / 2 - 1] + v[n / 2]);
}

bool parseSize(const char *s, int *w, int *h) { return std::sscanf(s, "%dx%d", w, h) == 2; }

// Nearest-neighbour scaling of an NV12 frame (chroma pairs kept together).
Frame scale(const Frame &src, int sw, int sh, int dw, int dh) {
  Frame d(static_cast<size_t>(dw) * dh * 3 / 2);
  for (int y = 0; y < dh; ++y) {
    const int sy = static_cast<int>(static_cast<long long>(y) * sh / dh);
    for (int x = 0; x < dw; ++x)
      d[static_cast<size_t>(y) * dw + x] =
          src[static_cast<size_t>(sy) * sw + static_cast<long long>(x) * sw / dw];
  }
  const uint8_t *suv = src.data() + static_cast<size_t>(sw) * sh;
  uint8_t *duv = d.data() + static_cast<size_t>(dw) * dh;
  for (int y = 0; y < dh / 2; ++y) {
    const int sy = static_cast<int>(static_cast<long long>(y) * (sh / 2) / (dh / 2));
    for (int x = 0; x < dw / 2; ++x) {
      const int sx = static_cast<int>(static_cast<long long>(x) * (sw / 2) / (dw / 2));
      duv[static_cast<size_t>(y) * dw + 2 * x] = suv[static_cast<size_t>(sy) * sw + 2 * sx];
      duv[static_cast<size_t>(y) * dw + 2 * x + 1] = suv[static_cast<size_t>(sy) * sw + 2 * sx + 1];
    }
  }
  return d;
}

std::vector<Frame> synthetic(int w, int h, int n) {
  std::mt19937 rng(1);
  std::normal_distribution<double> noise(0.0, 4.0);
  std::vector<Frame> frames;
  for (int t = 0; t < n; ++t) {
    Frame f(static_cast<size_t>(w) * h * 3 / 2);
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x) {
        const bool square = x >= 40 + 12 * t && x < 240 + 12 * t && y >= h / 3 && y < h / 3 + 200;
        const double v = square ? 220 : 30 + (x + y) * 180.0 / (w + h);
        f[static_cast<size_t>(y) * w + x] =
            static_cast<uint8_t>(std::clamp(std::lround(v + noise(rng)), 0L, 255L));
      }
    for (size_t i = static_cast<size_t>(w) * h; i < f.size(); ++i)
      f[i] = static_cast<uint8_t>(std::clamp(std::lround(128 + noise(rng)), 0L, 255L));
    frames.push_back(std::move(f));
  }
  return frames;
}

// The chained calls, as the tnr tool made them (one thread).
struct Chain {
  int w, h;
  TnrMdParams p;
  bool first = true;
  Frame prev, alpha, weight, gain;
  std::vector<int16_t> scratch;
  Chain(int w_, int h_, const TnrMdParams &p_)
      : w(w_), h(h_), p(p_), prev(static_cast<size_t>(w) * h * 3 / 2),
        alpha(static_cast<size_t>(w) * h), weight(alpha.size()), gain(alpha.size()),
        scratch(motionDetectTmpBufSize(h, w)) {
    reset();
  }
  void reset() {
    first = true;
    std::fill(weight.begin(), weight.end(), 0);
    std::fill(gain.begin(), gain.end(), static_cast<uint8_t>(p.start_gain));
  }
  void process(uint8_t *frame) {
    if (first) std::memcpy(prev.data(), frame, prev.size());
    first = false;
    motion_detect(frame, prev.data(), scratch.data(), alpha.data(), weight.data(), gain.data(), h,
                  w, h, w, w, p.sigma_h_scale, p.sigma_l_scale, p.uv_ratio, 0.0f,
                  p.static_ratio_bit);
    std::memcpy(prev.data(), frame, prev.size());  // the previous-frame copy
    const int noise = motionDetectNoiseLevel(scratch.data(), h, w, p.uv_ratio);
    const int strength = static_cast<int>(std::lround(p.spatial * 16.0f));
    if (strength > 0)
      spatial_denoise(prev.data(), frame, weight.data(), h, w, h, w, w, noise, strength);
  }
};

}  // namespace

int main(int argc, char **argv) {
  int w = 1920, h = 1080, n = 30, reps = 5, iw = 0, ih = 0;
  const char *input = nullptr;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--input" && i + 2 < argc) {
      input = argv[++i];
      if (!parseSize(argv[++i], &iw, &ih)) return std::fprintf(stderr, "bad input size\n"), 2;
    } else if (a == "--size" && i + 1 < argc) {
      if (!parseSize(argv[++i], &w, &h)) return std::fprintf(stderr, "bad size\n"), 2;
    } else if (a == "--frames" && i + 1 < argc) {
      n = std::atoi(argv[++i]);
    } else if (a == "--reps" && i + 1 < argc) {
      reps = std::atoi(argv[++i]);
    } else {
      std::fprintf(stderr,
                   "usage: %s [--input FILE.nv12 WxH] [--size WxH] [--frames N] [--reps R]\n",
                   argv[0]);
      return 2;
    }
  }
  std::vector<Frame> frames;
  if (input) {
    FILE *f = std::fopen(input, "rb");
    if (!f) return std::fprintf(stderr, "cannot open %s\n", input), 1;
    Frame raw(static_cast<size_t>(iw) * ih * 3 / 2);
    while (static_cast<int>(frames.size()) < n && std::fread(raw.data(), 1, raw.size(), f) == raw.size())
      frames.push_back(scale(raw, iw, ih, w, h));
    std::fclose(f);
    if (frames.empty()) return std::fprintf(stderr, "no whole frame in %s\n", input), 1;
  } else {
    frames = synthetic(w, h, n);
  }
  std::printf("%s, %zu frames at %dx%d, %d passes, one thread, the defaults, alignment off\n",
              input ? input : "synthetic scene (secondary)", frames.size(), w, h, reps);

  TnrMdParams params;
  tnrMdParamsDefault(&params);
  // The chained calls do not follow the camera: neither does the stream here
  // (docs/camera-motion.md has what alignment costs).
  params.align = 0;
  Chain chain(w, h, params);
  TnrMdStream *stream = nullptr;
  TnrMdError error;
  if (tnrMdStreamCreate(&stream, w, h, &params, nullptr, 1, &error) != TNR_MD_OK)
    return std::fprintf(stderr, "%s\n", error.message), 1;
  Frame a(frames[0].size()), b(frames[0].size());
  const TnrMdImage image = {b.data(), w, b.data() + static_cast<size_t>(w) * h, w, b.size()};
  std::vector<double> tChain, tStream;
  bool same = true;
  for (int r = 0; r < reps; ++r) {
    chain.reset();
    tnrMdStreamReset(stream);
    for (size_t t = 0; t < frames.size(); ++t) {
      std::memcpy(a.data(), frames[t].data(), a.size());
      std::memcpy(b.data(), frames[t].data(), b.size());
      // Alternate which goes first, so that neither always finds the other's
      // data in the cache.
      for (int k = 0; k < 2; ++k) {
        if ((k == 0) == (t % 2 == 0)) {
          const double t0 = cpuNow();
          chain.process(a.data());
          tChain.push_back(cpuNow() - t0);
        } else {
          const double t0 = cpuNow();
          tnrMdStreamProcess(stream, &image, nullptr, nullptr);
          tStream.push_back(cpuNow() - t0);
        }
      }
      same = same && a == b;
    }
  }
  tnrMdStreamDestroy(stream);
  double sc = 0, ss = 0;
  for (double v : tChain) sc += v;
  for (double v : tStream) ss += v;
  const double mc = median(tChain), ms = median(tStream);
  std::printf("chained calls   median %.3f ms/frame (mean %.3f)\n", mc * 1e3, sc / tChain.size() * 1e3);
  std::printf("stream object   median %.3f ms/frame (mean %.3f)\n", ms * 1e3, ss / tStream.size() * 1e3);
  std::printf("stream / chain  %+.2f %% (medians), %+.2f %% (totals); outputs %s\n",
              (ms / mc - 1) * 100, (ss / sc - 1) * 100, same ? "identical" : "DIFFER");
  return same ? 0 : 1;
}
