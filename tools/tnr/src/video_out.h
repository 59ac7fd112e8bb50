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
  // A frame shown from pts, in ticks of the info's time base (frames in
  // increasing order); -1: one frame after the previous one.
  virtual void write(const uint8_t *nv12, long long pts = -1) = 0;
  // Flushes everything, the last frame shown until end (-1: for one frame);
  // the file is complete once this returns.
  virtual void finish(long long end = -1) = 0;
  // Frames the file holds, and how many copies of frames it repeats, or
  // frames it leaves out, to keep the frames' times at a constant rate.
  long long framesWritten() const { return written_; }
  long long repeated() const { return repeated_; }
  long long dropped() const { return dropped_; }

 protected:
  long long written_ = 0, repeated_ = 0, dropped_ = 0;
};

// Writes to file (normally an OutputFile's temporary path; '-' for standard
// output) in the given container; messages name shownAs, the file the user
// gave. Every format keeps the frames' bytes exactly, the colour description
// of info where the container holds it (Y4M: the range; Matroska: range,
// matrix, primaries and transfer) and the field order (Y4M, Matroska).
// Matroska keeps every frame's time and duration. Raw NV12 and Y4M have the
// constant rate info.fpsNum / info.fpsDen: each frame takes the slots from
// its time (rounded to the nearest slot) to the next frame's, so a frame is
// repeated over a gap and left out when a later one takes its slot, as
// FFmpeg writes a constant rate.
std::unique_ptr<VideoWriter> createWriter(const std::string &file, Container container,
                                          const VideoInfo &info, const std::string &shownAs);

}  // namespace tnr

#endif
