// The demo scene: known clean frames and sensor-like noise.
#ifndef TNR_TOOL_SYNTH_H
#define TNR_TOOL_SYNTH_H

#include <cstdint>
#include <vector>

#include "video.h"

namespace tnr {

// A textured still background with objects that move, stop and move again,
// all fixed by its seed. Frame t of the clean sequence depends only on t.
class Scene {
 public:
  Scene(int width, int height, int frames, uint64_t seed = 1);
  int width() const { return width_; }
  int height() const { return height_; }
  int frames() const { return frames_; }

  void clean(int t, Frame &out) const;
  // Adds noise whose variance grows with brightness (read noise plus shot
  // noise), weaker on chroma; replayable from its seed and t.
  void addSensorNoise(int t, Frame &frame) const;

 private:
  struct Object {
    int w, h;
    bool disc;
    std::vector<double> keyT, keyX, keyY;  // positions at key times (fractions of the clip)
    uint8_t u, v;
    int phase;
  };
  void position(const Object &o, int t, double &x, double &y) const;

  int width_, height_, frames_;
  uint64_t seed_;
  Frame background_;
  std::vector<Object> objects_;
};

}  // namespace tnr

#endif
