// Frames, video geometry and the tool's error type.
#ifndef TNR_TOOL_VIDEO_H
#define TNR_TOOL_VIDEO_H

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace tnr {

// A failure the user can act on; main() prints the message on one line.
class ToolError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct VideoInfo {
  int width = 0;
  int height = 0;
  int fpsNum = 25;
  int fpsDen = 1;
  long long frameCount = -1;  // -1 when the source does not say
  // Colour description carried from the input to every output that can hold
  // it, in FFmpeg's numbering: range 0 unknown, 1 limited (MPEG), 2 full (JPEG);
  // matrix, primaries and transfer 2 = unspecified.
  int colorRange = 0;
  int colorMatrix = 2;
  int colorPrimaries = 2;
  int colorTransfer = 2;
  // Field order in Y4M's letters: 'p' progressive (or not said), 't' top field
  // first, 'b' bottom field first, 'm' mixed. Frames are filtered as
  // progressive frames either way; outputs that can say it keep it.
  char interlace = 'p';
  // Time base of the timestamps readers give and writers take: a tick is
  // tbNum / tbDen seconds; 0/0 means one frame at fpsNum / fpsDen.
  int tbNum = 0;
  int tbDen = 0;
};

// One NV12 frame: width x height luma bytes, then height / 2 rows of width
// interleaved U,V bytes. Frames are always of even width and height.
using Frame = std::vector<uint8_t>;

inline size_t nv12Bytes(int width, int height) {
  return static_cast<size_t>(width) * static_cast<size_t>(height) * 3 / 2;
}

struct Size {
  int width = 0;
  int height = 0;
};

}  // namespace tnr

#endif
