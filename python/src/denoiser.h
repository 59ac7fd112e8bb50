// The filter over a sequence: a TnrMdStream (the library's per-frame
// contract: previous filtered frame, recursive weights, gains, scratch) made
// safe to share between threads: the stream has one lock, held for a whole
// frame; the parameters another, held only to read or write them, so that
// reading or setting one never waits for a frame (a frame takes the
// parameters in force when it starts).
#ifndef TNR_MD_PYTHON_DENOISER_H
#define TNR_MD_PYTHON_DENOISER_H

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "tnr_md_stream.h"

namespace tnr_py {

// Tuning of the filter; the defaults are the library's (tnrMdParamsDefault).
// Kept as given (doubles), so that they read back as set; the stream gets
// them as floats.
struct Params {
  Params();
  double sigmaH, sigmaL, uvRatio;
  int staticRatioBit, startGain;
  double spatial;  // the spatial stage's strength, 0 = off
  bool align;      // move the history with the camera
  // Sets the tuning (sigma scales, uv ratio, spatial) to a named preset;
  // throws std::invalid_argument for an unknown name.
  void setPreset(const std::string &name);
  TnrMdParams library(int gridWidth = 0, int gridHeight = 0) const;
};

// The library's check of the parameters (tnrMdParamsCheck); throws
// std::invalid_argument with its message, in the module's names.
void checkParams(const Params &p);
// One value against its range, the others at their defaults.
void checkSigmaH(double v);
void checkSigmaL(double v);
void checkUvRatio(double v);
void checkStaticRatioBit(long long v);
void checkStartGain(long long v);
void checkSpatial(double v);

class Denoiser {
 public:
  // gridWidth/gridHeight 0: the whole frame. Throws std::invalid_argument
  // for odd or unaccepted sizes.
  Denoiser(int width, int height, int gridWidth, int gridHeight, const Params &params);
  ~Denoiser();
  Denoiser(const Denoiser &) = delete;
  Denoiser &operator=(const Denoiser &) = delete;

  // Filters one frame in place: luma rows at lumaPitch, chroma rows at
  // chromaPitch; span: the bytes of the caller's memory from luma on (0 if
  // unknown). The stream works on the memory directly when it is the
  // library's frame, else on a packed copy it writes back.
  void process(uint8_t *luma, ptrdiff_t lumaPitch, uint8_t *chroma, ptrdiff_t chromaPitch,
               size_t span);
  void reset();

  int width() const { return width_; }
  int height() const { return height_; }
  int gridWidth() const { return gridW_; }
  int gridHeight() const { return gridH_; }

  Params params();
  void setParams(const Params &p);  // values already checked
  long long frames() const { return frames_; }

  // Copies of the maps of the last frame, gridHeight rows of gridWidth bytes.
  std::vector<uint8_t> staticRatio();
  std::vector<uint8_t> weight();
  std::vector<uint8_t> gain();
  // The library's figures of the last frame (all 0 before the first).
  TnrMdFrameStats stats();

 private:
  // Hands the parameters in force to the stream; mutex_ held.
  void pushParams();
  std::vector<uint8_t> map(const uint8_t *TnrMdMaps::*which);

  const int width_, height_, gridW_, gridH_;
  std::mutex paramsMutex_;  // guards params_
  Params params_;
  std::mutex mutex_;  // guards the stream, for a whole frame
  std::atomic<long long> frames_{0};
  TnrMdStream *stream_ = nullptr;
};

}  // namespace tnr_py

#endif
