#include "denoiser.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <utility>

#include "arrays.h"
#include "motion_detect.h"

namespace tnr_py {

namespace {

std::string num(double v) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%g", v);
  return buf;
}

void checkRange(const char *name, double v, double lo, double hi, const char *why) {
  if (!std::isfinite(v) || v < lo || v > hi)
    throw std::invalid_argument(std::string(name) + " must lie in " + num(lo) + " .. " + num(hi) +
                                why + ", got " + num(v));
}

}  // namespace

// The library's documented tuning ranges (motion_detect.h), shared with the
// tnr tool and the GStreamer element: within them no work plane wraps.
void checkSigmaH(double v) { checkRange("sigma_h", v, 0.0, TNR_MD_SIGMA_H_SCALE_MAX, ""); }
void checkSigmaL(double v) {
  checkRange("sigma_l", v, 0.0, TNR_MD_SIGMA_L_SCALE_MAX,
             " (larger values wrap the 16-bit low sigma table)");
}
void checkUvRatio(double v) {
  checkRange("uv_ratio", v, 0.0, TNR_MD_UV_RATIO_MAX,
             " (larger values overflow the 16-bit difference planes)");
}
void checkStaticRatioBit(long long v) {
  if (v < 0 || v > 255)
    throw std::invalid_argument("static_ratio_bit must lie in 0 .. 255, got " + std::to_string(v));
}
void checkSpatial(double v) { checkRange("spatial", v, 0.0, 15.9, ""); }
void checkStartGain(long long v) {
  if (v < 0 || v > 255)
    throw std::invalid_argument("gain must lie in 0 .. 255, got " + std::to_string(v));
}

Denoiser::Denoiser(int width, int height, int gridWidth, int gridHeight, const Params &params)
    : width_(width),
      height_(height),
      gridW_(gridWidth > 0 ? gridWidth : width),
      gridH_(gridHeight > 0 ? gridHeight : height),
      params_(params) {
  const std::string size = std::to_string(width) + "x" + std::to_string(height);
  if (width <= 0 || height <= 0 || (width & 1) || (height & 1))
    throw std::invalid_argument(
        "width and height must be positive and even (NV12 pairs chroma "
        "with 2x2 luma samples), got " +
        size);
  const std::string grid = std::to_string(gridW_) + "x" + std::to_string(gridH_);
  if (gridWidth < 0 || gridHeight < 0 || gridW_ > width || gridH_ > height)
    throw std::invalid_argument("grid " + grid + " does not fit the " + size +
                                " frame: it is the top-left area filtered, at most the frame");
  const size_t scratch = motionDetectTmpBufSize(gridH_, gridW_);
  if (scratch == 0)
    throw std::invalid_argument("the filter does not accept a " + grid +
                                " grid: grids of at least 14x8 are accepted (narrower ones from "
                                "8x8 only in part), up to 2^32 bytes of scratch");
  const size_t frameBytes = static_cast<size_t>(width) * height * 3 / 2;
  // operator new aligns to at least 16 bytes: the scratch's 4-byte alignment holds.
  scratch_.resize(scratch);
  prev_.resize(frameBytes);
  prevPitch_ = width;
  const size_t maps = static_cast<size_t>(gridW_) * gridH_;
  alpha_.resize(maps);
  preAlpha_.resize(maps);
  gain_.resize(maps);
  resetLocked();
}

void Denoiser::resetLocked() {
  frames_ = 0;
  std::fill(alpha_.begin(), alpha_.end(), 0);
  std::fill(preAlpha_.begin(), preAlpha_.end(), 0);  // no history: full blend ramp
  std::fill(gain_.begin(), gain_.end(), static_cast<uint8_t>(params().startGain));
}

void Denoiser::reset() {
  std::lock_guard<std::mutex> lock(mutex_);
  resetLocked();
}

void Denoiser::usePitch(int pitch) {
  if (pitch == prevPitch_) return;
  std::vector<uint8_t> repacked(static_cast<size_t>(pitch) * height_ * 3 / 2);
  copyRows(repacked.data(), pitch, prev_.data(), prevPitch_, height_ * 3 / 2,
           static_cast<size_t>(width_));
  prev_.swap(repacked);
  prevPitch_ = pitch;
}

void Denoiser::process(uint8_t *luma, ptrdiff_t lumaPitch, uint8_t *chroma, ptrdiff_t chromaPitch,
                       bool frame) {
  std::lock_guard<std::mutex> lock(mutex_);
  const Params p = params();
  const size_t w = static_cast<size_t>(width_);
  const int chromaRows = height_ / 2;
  uint8_t *cur;
  int pitch;
  if (frame) {
    // The caller's memory is the frame: the library filters it in place.
    cur = luma;
    pitch = static_cast<int>(lumaPitch);
    if (frames_ > 0) {
      usePitch(pitch);
    } else {
      prevPitch_ = pitch;
      prev_.resize(static_cast<size_t>(pitch) * height_ * 3 / 2);
    }
  } else {
    // A packed copy in work_, filtered and copied back.
    pitch = width_;
    usePitch(pitch);
    work_.resize(w * height_ * 3 / 2);
    copyRows(work_.data(), pitch, luma, lumaPitch, height_, w);
    copyRows(work_.data() + w * height_, pitch, chroma, chromaPitch, chromaRows, w);
    cur = work_.data();
  }
  const size_t chromaAt = static_cast<size_t>(pitch) * height_;
  // The first frame of a sequence is its own previous frame.
  if (frames_ == 0) {
    copyRows(prev_.data(), pitch, cur, pitch, height_, w);
    copyRows(prev_.data() + chromaAt, pitch, cur + chromaAt, pitch, chromaRows, w);
  }
  motion_detect(cur, prev_.data(), scratch_.data(), alpha_.data(), preAlpha_.data(), gain_.data(),
                height_, pitch, gridH_, gridW_, gridW_, static_cast<float>(p.sigmaH),
                static_cast<float>(p.sigmaL), static_cast<float>(p.uvRatio), 0.0f,
                p.staticRatioBit);
  ++frames_;
  // The temporally filtered frame is the next call's previous frame; the
  // spatial stage (strength in 1/16, as the tnr tool rounds it) writes the
  // frame handed back from it and never feeds the next call.
  const int spatial = static_cast<int>(std::lround(p.spatial * 16.0));
  const int noise = motionDetectNoiseLevel(scratch_.data(), gridH_, gridW_,
                                           static_cast<float>(p.uvRatio));
  if (frame) {
    copyRows(prev_.data(), pitch, cur, pitch, height_, w);
    copyRows(prev_.data() + chromaAt, pitch, cur + chromaAt, pitch, chromaRows, w);
    if (spatial > 0)
      spatial_denoise(prev_.data(), cur, preAlpha_.data(), height_, pitch, gridH_, gridW_, gridW_,
                      noise, spatial);
  } else {
    // The spatial output goes into prev_ (dead after the call; a copy of the
    // temporal frame first, for the bytes outside the grid), then to the
    // caller; work_ becomes the previous frame.
    const uint8_t *result = cur;
    if (spatial > 0) {
      std::memcpy(prev_.data(), cur, w * height_ * 3 / 2);
      spatial_denoise(cur, prev_.data(), preAlpha_.data(), height_, pitch, gridH_, gridW_, gridW_,
                      noise, spatial);
      result = prev_.data();
    }
    copyRows(luma, lumaPitch, result, pitch, height_, w);
    copyRows(chroma, chromaPitch, result + chromaAt, pitch, chromaRows, w);
    prev_.swap(work_);
  }
}

Params Denoiser::params() {
  std::lock_guard<std::mutex> lock(paramsMutex_);
  return params_;
}

void Denoiser::setParams(const Params &p) {
  std::lock_guard<std::mutex> lock(paramsMutex_);
  params_ = p;
}

long long Denoiser::frames() { return frames_; }

std::vector<uint8_t> Denoiser::staticRatio() {
  std::lock_guard<std::mutex> lock(mutex_);
  return alpha_;
}

std::vector<uint8_t> Denoiser::weight() {
  std::lock_guard<std::mutex> lock(mutex_);
  return preAlpha_;
}

std::vector<uint8_t> Denoiser::gain() {
  std::lock_guard<std::mutex> lock(mutex_);
  return gain_;
}

}  // namespace tnr_py
