// Frame sources: raw NV12 and Y4M read by the tool itself, everything else
// through FFmpeg. Every input is opened once, as a local file ('-' = standard
// input): no name is read as an FFmpeg URL or protocol.
#ifndef TNR_TOOL_VIDEO_IN_H
#define TNR_TOOL_VIDEO_IN_H

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "video.h"

namespace tnr {

// Bytes of one input, read in order. A source may hold bytes peeked ahead
// (to recognise the format) and serves them first.
class ByteSource {
 public:
  virtual ~ByteSource() = default;
  const std::string &name() const { return name_; }  // for messages: 'file' or standard input
  // Up to n bytes; fewer only at the end. Throws ToolError on a read error.
  size_t read(uint8_t *buf, size_t n);
  // The first n bytes (fewer if the input is shorter), kept to be read again.
  const std::vector<uint8_t> &peek(size_t n);
  long long position() const { return pos_; }
  // Size in bytes when the input is a regular file, else -1.
  virtual long long size() const { return -1; }
  // Moves to byte pos of a regular file; false for streams.
  bool seek(long long pos);

 protected:
  explicit ByteSource(std::string name) : name_(std::move(name)) {}
  virtual size_t readSome(uint8_t *buf, size_t n) = 0;  // 0 at the end
  virtual bool seekTo(long long) { return false; }

 private:
  std::string name_;
  std::vector<uint8_t> ahead_;
  size_t aheadAt_ = 0;
  long long pos_ = 0;
};

// Opens path once ('-' = standard input): a regular file, a pipe or a device,
// never a directory. Throws ToolError naming the file and the system's reason.
std::unique_ptr<ByteSource> openSource(const std::string &path);
// A source over bytes in memory (tests, the fuzz target).
std::unique_ptr<ByteSource> memorySource(const uint8_t *data, size_t size, std::string name);

class VideoReader {
 public:
  virtual ~VideoReader() = default;
  const VideoInfo &info() const { return info_; }
  // Reads the next frame as NV12 into frame (resized to fit); false at the
  // end. Throws ToolError on damage unless damage is accepted.
  virtual bool read(Frame &frame) = 0;
  // Skips n frames; false if the source ends first.
  bool skip(long long n) {
    Frame f;
    for (long long i = 0; i < n; ++i)
      if (!read(f)) return false;
    return true;
  }
  // After the last frame: what was wrong with an accepted damaged input
  // ("" when nothing), for a warning.
  const std::string &damage() const { return damage_; }
  // One-line notices about how the input was reduced (bit depth, interlace).
  const std::vector<std::string> &notices() const { return notices_; }
  // When the frame read last is shown, in ticks of info()'s time base,
  // increasing from frame to frame.
  long long pts() const { return pts_; }
  // Where the frame read last ends: its duration past pts(); after the last
  // frame of a complete input, where the input ends (so that a last frame
  // that stays, or frames the container repeats, keep their time).
  long long endPts() const { return end_; }

 protected:
  VideoInfo info_;
  long long pts_ = 0, end_ = 0;
  std::string damage_;
  std::vector<std::string> notices_;
};

struct ReadOptions {
  std::optional<Size> rawSize;  // raw NV12 of this size
  bool acceptDamaged = false;   // keep the frames of a truncated or damaged input
  const char *sizeOption = "--size";
  // rawSize applies only when the source is not named or shaped as a
  // container (the reference, which --size describes when it is raw too).
  bool sizeOnlyIfRaw = false;
};

// The tool's own readers, on any source.
std::unique_ptr<VideoReader> rawReader(std::unique_ptr<ByteSource> src, Size size,
                                       const ReadOptions &opt);
// A Y4M stream whose header the tool reads itself: 8-bit 4:2:0 (any chroma
// siting). Returns nullptr, consuming nothing, for other Y4M colour spaces
// (left to FFmpeg). Throws ToolError for a malformed header.
std::unique_ptr<VideoReader> y4mReader(std::unique_ptr<ByteSource> &src, const ReadOptions &opt);

// Whether a name's extension says it is a container (.y4m, .mp4, .mkv, ...),
// and whether the first bytes look like one.
bool hasContainerExtension(const std::string &path);
bool looksLikeContainer(const std::vector<uint8_t> &head);
bool hasRawExtension(const std::string &path);

// Opens path ('-' for standard input). With opt.rawSize the source is raw
// NV12 of that size (refused when the name or the first bytes say it is a
// container); a .nv12/.yuv name needs rawSize; Y4M is read by the tool;
// anything else goes through FFmpeg and is converted to NV12.
std::unique_ptr<VideoReader> openVideo(const std::string &path, const ReadOptions &opt);

}  // namespace tnr

#endif
