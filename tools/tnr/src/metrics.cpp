#include "metrics.h"

#include <cmath>
#include <cstdlib>
#include <limits>

namespace tnr {

double psnrFromMse(double mse) { return mse <= 0 ? 99.0 : 10.0 * std::log10(255.0 * 255.0 / mse); }

FrameQuality QualityTracker::add(const Frame &clean, const Frame &input, const Frame &output) {
  const size_t n = static_cast<size_t>(width_) * height_;
  FrameQuality q;
  double sseIn = 0, sseOut = 0;
  const bool havePrev = !previousClean_.empty();
  for (size_t i = 0; i < n; ++i) {
    const double dIn = static_cast<double>(input[i]) - clean[i];
    const double dOut = static_cast<double>(output[i]) - clean[i];
    sseIn += dIn * dIn;
    sseOut += dOut * dOut;
    const int change = havePrev ? std::abs(static_cast<int>(clean[i]) - previousClean_[i]) : 0;
    if (havePrev && change <= kStillThreshold) {
      ++q.still;
      q.sseStillIn += dIn * dIn;
      q.sseStillOut += dOut * dOut;
    }
    if (havePrev && change > kMovingThreshold) {
      ++q.moving;
      q.sseMovingIn += dIn * dIn;
      q.sseMovingOut += dOut * dOut;
      q.largeMovingIn += std::fabs(dIn) > largeError_;
      q.largeMovingOut += std::fabs(dOut) > largeError_;
    }
  }
  q.psnrIn = psnrFromMse(sseIn / n);
  q.psnrOut = psnrFromMse(sseOut / n);
  previousClean_.assign(clean.begin(), clean.begin() + static_cast<std::ptrdiff_t>(n));
  frames_.push_back(q);
  return q;
}

double QualityTracker::meanPsnrIn() const {
  double s = 0;
  for (const auto &f : frames_) s += f.psnrIn;
  return frames_.empty() ? 0 : s / frames_.size();
}

double QualityTracker::meanPsnrOut() const {
  double s = 0;
  for (const auto &f : frames_) s += f.psnrOut;
  return frames_.empty() ? 0 : s / frames_.size();
}

double QualityTracker::movingPsnrIn() const {
  double s = 0;
  long long n = 0;
  for (const auto &f : frames_) {
    s += f.sseMovingIn;
    n += f.moving;
  }
  return n ? psnrFromMse(s / n) : std::numeric_limits<double>::quiet_NaN();
}

double QualityTracker::movingPsnrOut() const {
  double s = 0;
  long long n = 0;
  for (const auto &f : frames_) {
    s += f.sseMovingOut;
    n += f.moving;
  }
  return n ? psnrFromMse(s / n) : std::numeric_limits<double>::quiet_NaN();
}

double QualityTracker::stillPsnrIn() const {
  double s = 0;
  long long n = 0;
  for (const auto &f : frames_) {
    s += f.sseStillIn;
    n += f.still;
  }
  return n ? psnrFromMse(s / n) : std::numeric_limits<double>::quiet_NaN();
}

double QualityTracker::stillPsnrOut() const {
  double s = 0;
  long long n = 0;
  for (const auto &f : frames_) {
    s += f.sseStillOut;
    n += f.still;
  }
  return n ? psnrFromMse(s / n) : std::numeric_limits<double>::quiet_NaN();
}

double QualityTracker::ghostShareIn() const {
  long long large = 0, n = 0;
  for (const auto &f : frames_) {
    large += f.largeMovingIn;
    n += f.moving;
  }
  return n ? static_cast<double>(large) / n : 0.0;
}

double QualityTracker::ghostShareOut() const {
  long long large = 0, n = 0;
  for (const auto &f : frames_) {
    large += f.largeMovingOut;
    n += f.moving;
  }
  return n ? static_cast<double>(large) / n : 0.0;
}

uint64_t Gaussian::next() {
  uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

double Gaussian::uniform() { return (static_cast<double>(next() >> 11) + 0.5) * 0x1.0p-53; }

double Gaussian::normal() {
  if (haveSpare_) {
    haveSpare_ = false;
    return spare_;
  }
  const double r = std::sqrt(-2.0 * std::log(uniform()));
  const double t = 2.0 * M_PI * uniform();
  spare_ = r * std::sin(t);
  haveSpare_ = true;
  return r * std::cos(t);
}

void addGaussianNoise(Frame &frame, double sigma, uint64_t seed, long long frameIndex) {
  // Each frame's first state is the --seed value mixed with the frame number by
  // the generator's output function. Stepping frame 0's state on by the
  // number instead made frame i + 2's noise frame i's moved two bytes along,
  // the same noise again for a camera moving by whole pixels.
  Gaussian start(seed * 0x100000001B3ull ^ static_cast<uint64_t>(frameIndex) * 0xD1B54A32D192ED03ull);
  Gaussian g(start.next());
  for (uint8_t &b : frame) {
    const double v = std::nearbyint(b + sigma * g.normal());
    b = static_cast<uint8_t>(v < 0 ? 0 : v > 255 ? 255 : v);
  }
}

}  // namespace tnr
