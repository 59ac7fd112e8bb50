// The filter over a sequence: the library's per-frame contract kept in one
// object (previous filtered frame, recursive weights, gains, scratch), safe to
// share between threads: the frame state has one lock, held for a whole
// frame; the parameters another, held only to read or write them, so that
// reading or setting one never waits for a frame.
#ifndef TNR_MD_PYTHON_DENOISER_H
#define TNR_MD_PYTHON_DENOISER_H

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

namespace tnr_py {

// Tuning of the filter; the defaults are the tnr tool's.
struct Params {
  double sigmaH = 1.1;
  double sigmaL = 0.12;
  double uvRatio = 0.75;
  int staticRatioBit = 4;
  int startGain = 128;
  double spatial = 5.0;  // the spatial stage's strength, 0 = off
};

// Checks one value against its accepted range; throws std::invalid_argument
// with a message naming the parameter and the range.
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

  // Filters one frame in place: luma rows at lumaPitch, chroma rows at
  // chromaPitch. When `frame` is true the caller's memory is the library's
  // frame layout (chroma right after the luma, one even pitch, the bytes up to
  // pitch x height x 3 / 2 owned by the caller) and the library works on it
  // directly; otherwise the object filters a packed copy and writes it back.
  void process(uint8_t *luma, ptrdiff_t lumaPitch, uint8_t *chroma, ptrdiff_t chromaPitch,
               bool frame);
  void reset();

  int width() const { return width_; }
  int height() const { return height_; }
  int gridWidth() const { return gridW_; }
  int gridHeight() const { return gridH_; }

  Params params();
  void setParams(const Params &p);  // values already checked
  long long frames();

  // Copies of the maps of the last frame, gridHeight rows of gridWidth bytes.
  std::vector<uint8_t> staticRatio();
  std::vector<uint8_t> weight();
  std::vector<uint8_t> gain();

 private:
  void resetLocked();
  // Makes prev_ a frame of pitch `pitch` (repacking the rows it holds).
  void usePitch(int pitch);

  const int width_, height_, gridW_, gridH_;
  std::mutex paramsMutex_;  // guards params_
  Params params_;
  std::mutex mutex_;  // guards everything below, for a whole frame
  std::atomic<long long> frames_{0};
  int prevPitch_ = 0;
  std::vector<uint8_t> prev_, work_;
  std::vector<int16_t> scratch_;
  std::vector<uint8_t> alpha_, preAlpha_, gain_;
};

}  // namespace tnr_py

#endif
