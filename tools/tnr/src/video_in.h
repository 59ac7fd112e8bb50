// Frame sources: raw NV12 (file or standard input) and everything FFmpeg reads.
#ifndef TNR_TOOL_VIDEO_IN_H
#define TNR_TOOL_VIDEO_IN_H

#include <memory>
#include <optional>
#include <string>

#include "video.h"

namespace tnr {

class VideoReader {
 public:
  virtual ~VideoReader() = default;
  const VideoInfo &info() const { return info_; }
  // Reads the next frame as NV12 into frame (resized to fit); false at the end.
  virtual bool read(Frame &frame) = 0;
  // Skips n frames; false if the source ends first.
  bool skip(long long n);

 protected:
  VideoInfo info_;
};

// Opens path ("-" for standard input). With rawSize, or for a .nv12/.yuv name,
// the source is raw NV12 of that size (which is then required); anything else
// goes through FFmpeg and is converted to NV12. Throws ToolError on a missing
// or unreadable file, an unknown format, a raw file that is not a whole number
// of frames, or a frame size the tool does not accept.
std::unique_ptr<VideoReader> openVideo(const std::string &path, const std::optional<Size> &rawSize);

}  // namespace tnr

#endif
