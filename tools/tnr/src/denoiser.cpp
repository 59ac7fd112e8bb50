#include "denoiser.h"

#include <cmath>
#include <cstring>
#include <string>

#include "motion_detect.h"

namespace tnr {

Denoiser::Denoiser(int width, int height, const TnrParams &params)
    : width_(width), height_(height), params_(params) {
  gridW_ = params.gridWidth > 0 ? params.gridWidth : width;
  gridH_ = params.gridHeight > 0 ? params.gridHeight : height;
  const std::string grid = std::to_string(gridW_) + "x" + std::to_string(gridH_);
  if (gridW_ > width || gridH_ > height)
    throw ToolError("--grid " + grid + " does not fit the " + std::to_string(width) + "x" +
                    std::to_string(height) + " frame");
  // A pool that cannot start runs the frames on this thread.
  pool_.reset(tnrMdThreadPoolCreate(params.threads));
  tasks_ = tnrMdThreadPoolTasks(pool_.get());
  const size_t scratch = motionDetectParallelTmpBufSize(gridH_, gridW_, tasks_);
  // The filter's scratch buffer (12 bytes a grid sample) must be addressable
  // in 32 bits; below that, only small grids are refused.
  const long long scratchBytes = 12LL * gridW_ * gridH_;
  if (scratch == 0 && scratchBytes >= (1LL << 32))
    throw ToolError("processing grid " + grid +
                    " is too large for the filter: its scratch buffer (12 bytes a sample) must "
                    "stay below 4 GiB, so at most 357913941 samples (e.g. 21845x16384)");
  if (scratch == 0)
    throw ToolError("processing grid " + grid +
                    " is too small for the filter (grids of at least 14x8 always work)");
  if (!(params.spatial >= 0.0f && params.spatial <= 15.9f))
    throw ToolError("--spatial must lie in 0..15.9");
  if (params.spatial > 0 && !spatialDenoiseAccepts(height, width, gridH_, gridW_, gridW_))
    throw ToolError("the spatial stage needs an even processing grid of at least 8x8 (" + grid +
                    ")");
  if (params.startGain < 0 || params.startGain > 255) throw ToolError("--gain must lie in 0..255");
  scratch_.resize(scratch);
  const size_t maps = static_cast<size_t>(gridW_) * gridH_;
  alpha_.assign(maps, 0);
  preAlpha_.assign(maps, 0);  // no history: the first frames get the full blend ramp
  gain_.assign(maps, static_cast<uint8_t>(params.startGain));
  previous_.resize(nv12Bytes(width, height));
  // Alignment needs a picture the estimator measures and an even grid; below
  // that the frames are filtered unaligned.
  const size_t estimate = motionEstimateTmpBufSize(gridH_, gridW_);
  if (params.align && estimate > 0 && gridW_ % 2 == 0 && gridH_ % 2 == 0 &&
      spatialDenoiseAccepts(height, width, gridH_, gridW_, gridW_)) {
    estimateScratch_.resize(estimate);
    shiftScratch_.resize(historyShiftTmpBufSize(gridW_));
    shiftedFrame_.resize(previous_.size());
    shiftedWeight_.resize(maps);
    shiftedGain_.resize(maps);
  }
}

void Denoiser::process(uint8_t *frame) {
  const size_t bytes = nv12Bytes(width_, height_);
  if (first_) {
    std::memcpy(previous_.data(), frame, bytes);
    first_ = false;
  } else if (!estimateScratch_.empty()) {
    motionEstimate(previous_.data(), width_, frame, width_, gridH_, gridW_,
                   estimateScratch_.data(), &motion_);
    if (motion_.valid && (motion_.dx != 0 || motion_.dy != 0)) {
      historyShift(previous_.data(), frame, shiftedFrame_.data(), preAlpha_.data(),
                   shiftedWeight_.data(), gain_.data(), shiftedGain_.data(), shiftScratch_.data(),
                   height_, width_, gridH_, gridW_, gridW_, motion_.dx, motion_.dy,
                   params_.startGain);
      previous_.swap(shiftedFrame_);
      preAlpha_.swap(shiftedWeight_);
      gain_.swap(shiftedGain_);
    }
  }
  const TnrMdExecutor executor = tnrMdThreadPoolExecutor(pool_.get());
  motion_detect_parallel(&executor, tasks_, frame, previous_.data(), scratch_.data(),
                         alpha_.data(), preAlpha_.data(), gain_.data(), height_, width_, gridH_,
                         gridW_, gridW_, params_.sigmaH, params_.sigmaL, params_.uvRatio, 0.0f,
                         params_.staticRatioBit);
  // The temporally filtered frame is the next call's previous frame.
  std::memcpy(previous_.data(), frame, bytes);
  noiseLevel_ = motionDetectNoiseLevel(scratch_.data(), gridH_, gridW_, params_.uvRatio);
  const int strength = static_cast<int>(std::lround(params_.spatial * 16.0f));
  if (strength > 0)
    spatial_denoise(previous_.data(), frame, preAlpha_.data(), height_, width_, gridH_, gridW_,
                    gridW_, noiseLevel_, strength);
}

double Denoiser::meanStaticRatio() const {
  uint64_t sum = 0;
  for (uint8_t v : alpha_) sum += v;
  return alpha_.empty() ? 0.0 : static_cast<double>(sum) / (128.0 * alpha_.size());
}

}  // namespace tnr
