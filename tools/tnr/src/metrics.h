// Quality measures against a clean reference, and synthetic noise.
#ifndef TNR_TOOL_METRICS_H
#define TNR_TOOL_METRICS_H

#include <cstdint>
#include <vector>

#include "video.h"

namespace tnr {

// PSNR in dB for 8-bit samples; 99 for a zero error.
double psnrFromMse(double mse);

// Luma pixels whose clean value changes by more than this from the previous
// clean frame count as moving (where ghost trails would show).
constexpr int kMovingThreshold = 20;
// Luma pixels whose clean value changes by at most this count as still (where
// detail must survive).
constexpr int kStillThreshold = 2;

struct FrameQuality {
  double psnrIn = 0, psnrOut = 0;  // whole luma plane
  long long moving = 0;            // moving luma pixels
  double sseMovingIn = 0, sseMovingOut = 0;
  long long largeMovingIn = 0, largeMovingOut = 0;  // moving, error above the large-error bound
  long long still = 0;                              // still luma pixels
  double sseStillIn = 0, sseStillOut = 0;
};

// Compares input and output luma with the clean frames, frame by frame.
class QualityTracker {
 public:
  // largeError: the error bound above which a moving pixel counts as a ghost
  // (a few noise sigmas: noise alone almost never gets there).
  QualityTracker(int width, int height, int largeError = 32)
      : width_(width), height_(height), largeError_(largeError) {}
  FrameQuality add(const Frame &clean, const Frame &input, const Frame &output);

  const std::vector<FrameQuality> &frames() const { return frames_; }
  double meanPsnrIn() const;
  double meanPsnrOut() const;
  // PSNR over all moving pixels of all frames (NaN when there are none).
  double movingPsnrIn() const;
  double movingPsnrOut() const;
  // PSNR over all still pixels of all frames after the first (NaN when none).
  double stillPsnrIn() const;
  double stillPsnrOut() const;
  // Share of moving pixels off by more than the large-error bound, 0 .. 1.
  double ghostShareIn() const;
  double ghostShareOut() const;

 private:
  int width_, height_, largeError_;
  Frame previousClean_;
  std::vector<FrameQuality> frames_;
};

// Adds zero-mean Gaussian noise of the given sigma to every byte (luma and
// chroma), rounded and clamped to 0..255. The noise depends only on seed and
// frameIndex.
void addGaussianNoise(Frame &frame, double sigma, uint64_t seed, long long frameIndex);

// A replayable generator of standard normal values.
class Gaussian {
 public:
  explicit Gaussian(uint64_t seed) : state_(seed) {}
  uint64_t next();   // splitmix64
  double uniform();  // (0, 1)
  double normal();   // Box-Muller

 private:
  uint64_t state_;
  bool haveSpare_ = false;
  double spare_ = 0;
};

}  // namespace tnr

#endif
