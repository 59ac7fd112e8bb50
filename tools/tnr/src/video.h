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

// Parses "WxH" (both positive); throws ToolError naming the option otherwise.
Size parseSize(const std::string &text, const char *option);

// Frames must be even in both directions: NV12 pairs every chroma sample with
// a 2x2 luma block, and the filter blends chroma by row pairs. Odd sizes are
// rejected (not padded) so that output frames always match the input's size.
void checkFrameSize(int width, int height, const std::string &what);

}  // namespace tnr

#endif
