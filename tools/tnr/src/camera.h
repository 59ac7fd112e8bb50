// Moving-camera clips: a window moved along a path over a clean clip, as if
// the camera panned or shook while filming it.
#ifndef TNR_TOOL_CAMERA_H
#define TNR_TOOL_CAMERA_H

#include <string>

#include "video.h"

namespace tnr {

enum class CameraPath { Fixed, Pan, Handheld };

// Parses "fixed", "pan" or "handheld"; throws ToolError otherwise.
CameraPath parseCameraPath(const std::string &name);

struct Offset {
  double x = 0, y = 0;  // luma pixels
};

// The window's top-left corner in the source for frame i, for a window of
// ww x wh over a source of sw x sh (room = sw - ww, sh - wh, at least 8 each):
//  - fixed: the centred window, every frame;
//  - pan: 1.37 px right and 0.41 px down per frame from the top-left, turning
//    back where the window would leave the source (a triangle wave, so any
//    number of frames fits);
//  - handheld: the centred window plus a smooth random path of about +-6 px
//    (three sines of random frequency and phase per axis) and a jitter of
//    Gaussian sigma 0.3 px per frame; seed 1 is the measured path.
// Corners keep 2 pixels from the source's edges (the bicubic kernel's reach).
Offset cameraOffset(CameraPath path, long long i, int sw, int sh, int ww, int wh, uint64_t seed);

// The ww x wh NV12 window at `at` (luma pixels; chroma moves by half) of the
// sw x sh NV12 source, bicubic (a = -0.75, the common image-library kernel),
// rounded to nearest and clamped; samples outside the source repeat its edge.
void cameraWindow(const uint8_t *source, int sw, int sh, uint8_t *window, int ww, int wh,
                  Offset at);

struct CameraOptions {
  std::string input;
  std::string output;
  std::string size;  // raw NV12 input: WxH
  std::string window = "640x480";
  std::string path = "pan";
  long long frames = 150;
  long long start = 0;
  double noise = 0;  // added after the motion
  unsigned seed = 1;
  std::string pathCsv;  // the offsets, one line per frame
  bool acceptDamaged = false;
};

int runCamera(const CameraOptions &opt);

}  // namespace tnr

#endif
