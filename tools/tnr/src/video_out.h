// Frame sinks: raw NV12, Y4M and lossless FFV1 in Matroska.
#ifndef TNR_TOOL_VIDEO_OUT_H
#define TNR_TOOL_VIDEO_OUT_H

#include <memory>
#include <string>

#include "video.h"

namespace tnr {

enum class Container { Raw, Y4m, Mkv };

// The container an output name asks for: .nv12/.yuv raw, .y4m, .mkv (FFV1).
// For '-' (standard output) format chooses: "nv12" or "y4m". Throws ToolError
// for any other extension or format.
Container containerFor(const std::string &path, const std::string &format = "");

class VideoWriter {
 public:
  virtual ~VideoWriter() = default;
  virtual void write(const uint8_t *nv12) = 0;
  // Flushes everything; the file is complete once this returns.
  virtual void finish() = 0;
};

// Writes to file (normally an OutputFile's temporary path; '-' for standard
// output) in the given container; messages name shownAs, the file the user
// gave. Every format keeps the frames' bytes exactly, and the colour
// description of info where the container holds it (Y4M: the range;
// Matroska: range, matrix, primaries and transfer).
std::unique_ptr<VideoWriter> createWriter(const std::string &file, Container container,
                                          const VideoInfo &info, const std::string &shownAs);

}  // namespace tnr

#endif
