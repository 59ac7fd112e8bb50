// Real footage for the benchmark and the instruction counts: NV12 frames
// read from a file (scripts/real_frames.sh makes them from vtest.avi with
// Gaussian noise of sigma 8), run as a camera runs them: each call filters
// the next frame against the previous call's output, the weights starting at
// 0 and the gains at the tool's start value, at the tuning the front ends
// ship.
#ifndef TNR_MD_BENCH_REAL_FRAMES_H
#define TNR_MD_BENCH_REAL_FRAMES_H

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>

#include "scene.h"

namespace tnr_md_bench {

// The tuning the tnr tool, the GStreamer element and the Python module ship
// (the tool's TnrParams in tools/tnr/src/denoiser.h defines them; the
// benchmark and the count driver take them from here alone).
constexpr float kDefaultSigmaHScale = 1.1f;
constexpr float kDefaultSigmaLScale = 0.12f;
constexpr float kDefaultUvRatio = 0.75f;
constexpr int kDefaultStaticRatioRBit = 4;
constexpr uint8_t kDefaultStartGain = 128;

// All frames of a raw NV12 file of width x height; empty where it cannot be
// read or holds no whole frame.
struct RealFrames {
  int width = 0, height = 0, count = 0;
  Buf<uint8_t> bytes;  // count frames back to back
  size_t frameBytes() const { return static_cast<size_t>(width) * height * 3 / 2; }
  const uint8_t *frame(int i) const { return bytes.data() + frameBytes() * static_cast<size_t>(i); }
};

inline RealFrames readRealFrames(const std::string &path, int width, int height) {
  RealFrames r;
  r.width = width;
  r.height = height;
  std::FILE *f = std::fopen(path.c_str(), "rb");
  if (!f) return r;
  std::fseek(f, 0, SEEK_END);
  const long size = std::ftell(f);
  std::fseek(f, 0, SEEK_SET);
  r.count = size > 0 ? static_cast<int>(static_cast<size_t>(size) / r.frameBytes()) : 0;
  r.bytes.resize(r.frameBytes() * static_cast<size_t>(r.count));
  if (r.count == 0 || std::fread(r.bytes.data(), 1, r.bytes.size(), f) != r.bytes.size()) {
    r.count = 0;
    r.bytes.clear();
  }
  std::fclose(f);
  return r;
}

// The state of a camera running over the frames: call i (from 0) filters
// frame i + 1 in cur against pre, the previous call's output (frame 0 for
// the first call); the maps at pitch width.
struct RealChain {
  const RealFrames *frames = nullptr;
  int next = 0;                 // the call to come
  Buf<uint8_t> cur, pre;        // NV12
  Buf<uint8_t> preAlpha, gain;  // width x height
  Buf<uint8_t> alpha;

  explicit RealChain(const RealFrames &f) : frames(&f) { reset(); }
  int calls() const { return frames->count - 1; }
  // Back to the start: weights 0, gains at the start value.
  void reset() {
    const size_t pixels = static_cast<size_t>(frames->width) * frames->height;
    next = 0;
    pre.assign(frames->frame(0), frames->frame(0) + frames->frameBytes());
    cur.assign(frames->frameBytes(), 0);
    preAlpha.assign(pixels, 0);
    gain.assign(pixels, kDefaultStartGain);
    alpha.assign(pixels, 0);
  }
  // The next call's current frame into cur.
  void stage() {
    std::memcpy(cur.data(), frames->frame(next + 1), frames->frameBytes());
  }
  // After the call: its output becomes the previous frame.
  void advance() {
    std::swap(cur, pre);
    ++next;
  }
};

}  // namespace tnr_md_bench

#endif  // TNR_MD_BENCH_REAL_FRAMES_H
