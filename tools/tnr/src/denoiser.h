// Runs the library over a sequence, carrying its state from frame to frame.
#ifndef TNR_TOOL_DENOISER_H
#define TNR_TOOL_DENOISER_H

#include <cstdint>
#include <memory>
#include <vector>

#include "motion_detect.h"
#include "tnr_md_threads.h"
#include "video.h"

namespace tnr {

// Tuning of one run. The defaults come from a sweep on real footage (768x576,
// 60 frames) with Gaussian noise of sigma 4 and 8 on every byte
// (tools/tnr/sweep.sh): the best mean PSNR that leaves moving areas within
// half a dB of the noisy input and almost no pixel off by more than four
// noise sigmas there. Larger sigma scales blend more and trail behind motion.
// The static-ratio exponent and the gain change only the map and the gain
// table, never the filtered frames.
struct TnrParams {
  float sigmaH = 1.1f;
  float sigmaL = 0.12f;
  float uvRatio = 0.75f;
  int staticRatioBit = 4;
  int startGain = 128;
  // Spatial stage after the temporal one: its threshold at a moving pixel in
  // units of the noise sigma the library estimates (0: off). 5 from the
  // same sweep over 200 frames (3, 4, 5, 6: 42.73, 42.95, 43.06, 43.02 dB at
  // sigma 4; 38.42, 39.10, 39.47, 39.54 dB at sigma 8; temporal alone 42.27
  // and 36.85).
  float spatial = 5.0f;
  // Move the history with the camera (motionEstimate, historyShift) before
  // each frame's temporal stage; off: the history stays where it was.
  bool align = true;
  int gridWidth = 0;  // 0: the whole frame
  int gridHeight = 0;
  int threads = 0;  // threads sharing each frame; 0: one per core
};

class Denoiser {
 public:
  // Throws ToolError when the grid does not fit the frame or the library does
  // not accept it.
  Denoiser(int width, int height, const TnrParams &params);

  // Filters one NV12 frame in place. The first frame is compared with itself;
  // each later one with the previous temporally filtered frame (the spatial
  // stage, when on, writes the frame but never feeds the next call).
  void process(uint8_t *frame);

  int gridWidth() const { return gridW_; }
  int gridHeight() const { return gridH_; }
  // Per-pixel maps of the last call, gridHeight rows of gridWidth bytes.
  const std::vector<uint8_t> &staticRatio() const { return alpha_; }
  const std::vector<uint8_t> &weight() const { return preAlpha_; }
  const std::vector<uint8_t> &gain() const { return gain_; }
  // Noise sigma of the last call as the library estimated it, code values.
  double noiseLevel() const { return noiseLevel_ / 16.0; }
  // Mean static ratio of the last call, 0 .. 1.
  double meanStaticRatio() const;
  // The camera motion the last call estimated and followed (valid 0 when
  // alignment is off, on the first frame, or the estimate was refused).
  const TnrMdMotion &motion() const { return motion_; }

 private:
  int width_, height_, gridW_, gridH_;
  TnrParams params_;
  bool first_ = true;
  int noiseLevel_ = 0;
  Frame previous_;
  std::vector<int16_t> scratch_;
  std::vector<uint8_t> alpha_, preAlpha_, gain_;
  // Camera motion: the estimator's scratch, the shift's rows, and the moved
  // history (swapped with the one it came from).
  TnrMdMotion motion_{0, 0, 0, 0};
  std::vector<uint8_t> estimateScratch_, shiftedFrame_, shiftedWeight_, shiftedGain_;
  std::vector<int16_t> shiftScratch_;
  struct PoolDeleter {
    void operator()(TnrMdThreadPool *p) const { tnrMdThreadPoolDestroy(p); }
  };
  std::unique_ptr<TnrMdThreadPool, PoolDeleter> pool_;
  int tasks_ = 1;
};

}  // namespace tnr

#endif
