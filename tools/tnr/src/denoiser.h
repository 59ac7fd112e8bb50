// The tool's tuning and its filter over a sequence: a TnrMdStream, which
// keeps the library's state from frame to frame.
#ifndef TNR_TOOL_DENOISER_H
#define TNR_TOOL_DENOISER_H

#include <cstdint>
#include <memory>

#include "tnr_md_stream.h"
#include "tnr_md_threads.h"
#include "video.h"

namespace tnr {

// Tuning of one run; the defaults are the library's (tnrMdParamsDefault, the
// "medium" preset), chosen by a sweep on real footage (docs/stream.md).
// Larger sigma scales blend more and trail behind motion. The static-ratio
// exponent and the gain change only the map and the gain table, never the
// filtered frames. spatial: the spatial stage's threshold at a moving pixel
// in units of the noise sigma the library estimates (0: off).
struct TnrParams {
  TnrParams();
  float sigmaH, sigmaL, uvRatio;
  int staticRatioBit, startGain;
  float spatial;
  // Move the history with the camera (the library's align, on by default).
  bool align = true;
  int gridWidth = 0;  // 0: the whole frame
  int gridHeight = 0;
  int threads = 0;  // threads sharing each frame; 0: one per core

  // Sets the tuning (sigma scales, uv ratio, spatial) to a named preset of
  // the library's; false for an unknown name.
  bool setPreset(const std::string &name);
  TnrMdParams library() const;
};

// The names of the library's presets, "light, medium, strong".
std::string presetNames();

class Denoiser {
 public:
  // Throws ToolError with the library's message when it refuses the frame
  // size, the grid or the tuning.
  Denoiser(int width, int height, const TnrParams &params);

  // Filters one NV12 frame in place. The first frame is compared with itself;
  // each later one with the previous temporally filtered frame (the spatial
  // stage, when on, writes the frame but never feeds the next call).
  void process(uint8_t *frame);

  int gridWidth() const { return maps().width; }
  int gridHeight() const { return maps().height; }
  // Per-pixel maps of the last call, gridHeight rows of gridWidth bytes.
  const uint8_t *staticRatio() const { return maps().static_ratio; }
  const uint8_t *weight() const { return maps().weight; }
  const uint8_t *gain() const { return maps().gain; }
  // Noise sigma of the last call as the library estimated it, code values.
  double noiseLevel() const { return stats().noise_level / 16.0; }
  // Mean static ratio of the last call, 0 .. 1.
  double meanStaticRatio() const { return stats().mean_static_ratio; }
  // The library's figures of the last call (the camera motion among them).
  TnrMdFrameStats stats() const;

 private:
  TnrMdMaps maps() const;

  struct PoolDeleter {
    void operator()(TnrMdThreadPool *p) const { tnrMdThreadPoolDestroy(p); }
  };
  struct StreamDeleter {
    void operator()(TnrMdStream *s) const { tnrMdStreamDestroy(s); }
  };
  // The pool outlives the stream that runs on it (members go in reverse order).
  std::unique_ptr<TnrMdThreadPool, PoolDeleter> pool_;
  TnrMdExecutor executor_{};
  std::unique_ptr<TnrMdStream, StreamDeleter> stream_;
  int width_, height_;
};

}  // namespace tnr

#endif
