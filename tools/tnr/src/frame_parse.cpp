// The tool's own input side: byte sources opened once, the raw NV12 and Y4M
// readers, and the format guesses that refuse a contradiction. No FFmpeg here
// (the fuzz target builds this file alone).
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>

#include "numbers.h"
#include "video_in.h"

namespace tnr {

size_t ByteSource::read(uint8_t *buf, size_t n) {
  size_t got = 0;
  if (aheadAt_ < ahead_.size()) {
    got = std::min(n, ahead_.size() - aheadAt_);
    std::memcpy(buf, ahead_.data() + aheadAt_, got);
    aheadAt_ += got;
  }
  while (got < n) {
    const size_t r = readSome(buf + got, n - got);
    if (r == 0) break;
    got += r;
  }
  pos_ += static_cast<long long>(got);
  return got;
}

const std::vector<uint8_t> &ByteSource::peek(size_t n) {
  // Only at the start: the bytes peeked are the first ones of the input.
  if (pos_ == 0 && aheadAt_ == 0 && ahead_.size() < n) {
    const size_t had = ahead_.size();
    ahead_.resize(n);
    size_t got = had;
    while (got < n) {
      const size_t r = readSome(ahead_.data() + got, n - got);
      if (r == 0) break;
      got += r;
    }
    ahead_.resize(got);
  }
  return ahead_;
}

bool ByteSource::seek(long long pos) {
  if (!seekTo(pos)) return false;
  ahead_.clear();
  aheadAt_ = 0;
  pos_ = pos;
  return true;
}

namespace {

class FdSource : public ByteSource {
 public:
  FdSource(int fd, bool owned, std::string name, long long size)
      : ByteSource(std::move(name)), fd_(fd), owned_(owned), size_(size) {}
  ~FdSource() override {
    if (owned_) close(fd_);
  }
  long long size() const override { return size_; }

 protected:
  size_t readSome(uint8_t *buf, size_t n) override {
    for (;;) {
      const ssize_t r = ::read(fd_, buf, n);
      if (r >= 0) return static_cast<size_t>(r);
      if (errno == EINTR) continue;
      throw ToolError("cannot read " + name() + ": " + std::strerror(errno));
    }
  }
  bool seekTo(long long pos) override {
    return size_ >= 0 && lseek(fd_, static_cast<off_t>(pos), SEEK_SET) == pos;
  }

 private:
  int fd_;
  bool owned_;
  long long size_;
};

class MemorySource : public ByteSource {
 public:
  MemorySource(const uint8_t *data, size_t size, std::string name)
      : ByteSource(std::move(name)), data_(data), size_(size) {}
  long long size() const override { return static_cast<long long>(size_); }

 protected:
  size_t readSome(uint8_t *buf, size_t n) override {
    const size_t k = std::min(n, size_ - at_);
    if (k) std::memcpy(buf, data_ + at_, k);
    at_ += k;
    return k;
  }
  bool seekTo(long long pos) override {
    if (pos < 0 || static_cast<size_t>(pos) > size_) return false;
    at_ = static_cast<size_t>(pos);
    return true;
  }

 private:
  const uint8_t *data_;
  size_t size_, at_ = 0;
};

std::string inQuotes(const std::string &path) { return "'" + path + "'"; }

}  // namespace

std::unique_ptr<ByteSource> openSource(const std::string &path) {
  if (path.empty()) throw ToolError("empty input file name");
  int fd = 0;
  bool owned = false;
  std::string name = "standard input";
  if (path != "-") {
    name = inQuotes(path);
    // One open: a named pipe's writer sees exactly one reader.
    do fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY);
    while (fd < 0 && errno == EINTR);
    if (fd < 0) throw ToolError("cannot open " + name + ": " + std::strerror(errno));
    owned = true;
  }
  struct stat st {};
  if (fstat(fd, &st) != 0) {
    const int e = errno;
    if (owned) close(fd);
    throw ToolError("cannot open " + name + ": " + std::strerror(e));
  }
  if (S_ISDIR(st.st_mode)) {
    if (owned) close(fd);
    throw ToolError("cannot open " + name + ": it is a directory");
  }
  long long size = -1;
  if (S_ISREG(st.st_mode)) {
    const off_t at = lseek(fd, 0, SEEK_CUR);
    if (at == 0) size = static_cast<long long>(st.st_size);
  }
  return std::make_unique<FdSource>(fd, owned, name, size);
}

std::unique_ptr<ByteSource> memorySource(const uint8_t *data, size_t size, std::string name) {
  return std::make_unique<MemorySource>(data, size, std::move(name));
}

namespace {

std::string lowerExtension(const std::string &path) {
  const size_t slash = path.find_last_of('/');
  const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  const size_t dot = name.rfind('.');
  if (dot == std::string::npos || dot == 0) return "";
  std::string ext = name.substr(dot);
  for (char &c : ext)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return ext;
}

std::string sizeText(long long w, long long h) {
  return std::to_string(w) + "x" + std::to_string(h);
}

class RawReader : public VideoReader {
 public:
  RawReader(std::unique_ptr<ByteSource> src, Size size, const ReadOptions &opt)
      : src_(std::move(src)), accept_(opt.acceptDamaged) {
    checkFrameSize(size.width, size.height, opt.sizeOption);
    info_.width = size.width;
    info_.height = size.height;
    frameBytes_ = nv12Bytes(size.width, size.height);
    const long long bytes = src_->size();
    if (bytes >= 0) {
      const auto b = static_cast<unsigned long long>(bytes);
      if (b == 0) throw ToolError(src_->name() + " is empty");
      info_.frameCount = static_cast<long long>(b / frameBytes_);
      if (b % frameBytes_ != 0 && !accept_) throw ToolError(leftOver(b % frameBytes_, b / frameBytes_));
    }
  }
  bool read(Frame &frame) override {
    frame.resize(frameBytes_);
    const size_t got = src_->read(frame.data(), frameBytes_);
    if (got == frameBytes_) {
      pts_ = frames_++;
      end_ = pts_ + 1;
      return true;
    }
    if (got != 0) {
      if (!accept_) throw ToolError(leftOver(got, static_cast<unsigned long long>(frames_)));
      damage_ = leftOver(got, static_cast<unsigned long long>(frames_)) + "; the partial frame was dropped";
      return false;
    }
    if (frames_ == 0) throw ToolError(src_->name() + " holds no frame");
    return false;
  }

 private:
  std::string leftOver(unsigned long long left, unsigned long long whole) const {
    return src_->name() + " is not a whole number of " + sizeText(info_.width, info_.height) +
           " NV12 frames (" + std::to_string(frameBytes_) + " bytes each): " +
           std::to_string(left) + " bytes left over after " + std::to_string(whole) + " frames" +
           (accept_ ? "" : " (--accept-damaged keeps the whole frames)");
  }
  std::unique_ptr<ByteSource> src_;
  bool accept_;
  size_t frameBytes_ = 0;
  long long frames_ = 0;
};

// A Y4M header: "YUV4MPEG2" and space-separated tags up to a newline.
struct Y4mHeader {
  long long width = -1, height = -1;
  long long fpsNum = 25, fpsDen = 1;
  char interlace = 'p';
  std::string colorspace = "420jpeg";
  int range = 0;
  bool rateUnknown = false;  // F0:0
  size_t bytes = 0;          // header length including the newline
};

constexpr size_t kMaxY4mLine = 4096;

bool parseRatio(const std::string &v, long long &n, long long &d) {
  const size_t colon = v.find(':');
  std::string why;
  return colon != std::string::npos && parseInteger(v.substr(0, colon), 1, INT32_MAX, n, why) &&
         parseInteger(v.substr(colon + 1), 1, INT32_MAX, d, why);
}

Y4mHeader parseY4mHeader(const std::vector<uint8_t> &head, const std::string &name) {
  const auto bad = [&](const std::string &what) {
    return ToolError("cannot read " + name + ": malformed Y4M header: " + what);
  };
  const auto nl = std::find(head.begin(), head.end(), '\n');
  if (nl == head.end())
    throw bad("no end of line within its first " + std::to_string(kMaxY4mLine) + " bytes");
  const std::string line(head.begin(), nl);
  Y4mHeader h;
  h.bytes = line.size() + 1;
  size_t at = 9;  // past "YUV4MPEG2"
  while (at < line.size()) {
    if (line[at] != ' ') throw bad("tags must be separated by single spaces");
    const size_t end = std::min(line.find(' ', at + 1), line.size());
    const std::string tag = line.substr(at + 1, end - at - 1);
    at = end;
    if (tag.empty()) continue;
    const std::string v = tag.substr(1);
    std::string why;
    switch (tag[0]) {
      case 'W':
      case 'H': {
        long long n = 0;
        if (!parseInteger(v, 0, kMaxFrameSide, n, why))
          throw bad(std::string(tag[0] == 'W' ? "width" : "height") + " '" + v + "' " +
                    "is not a whole number from 1 to " + std::to_string(kMaxFrameSide));
        (tag[0] == 'W' ? h.width : h.height) = n;
        break;
      }
      case 'F':
        // F0:0 is Y4M's "rate unknown": the default rate, as without an F tag.
        if (v == "0:0") {
          h.rateUnknown = true;
          break;
        }
        if (!parseRatio(v, h.fpsNum, h.fpsDen)) throw bad("frame rate '" + v + "'");
        break;
      case 'I':
        if (v.size() != 1 || std::string("ptbm?").find(v[0]) == std::string::npos)
          throw bad("interlacing '" + v + "'");
        h.interlace = v[0];
        break;
      case 'C':
        h.colorspace = v;
        break;
      case 'X':
        if (v == "COLORRANGE=FULL") h.range = 2;
        if (v == "COLORRANGE=LIMITED") h.range = 1;
        break;
      default:
        break;  // A (aspect) and unknown tags carry nothing the filter needs
    }
  }
  if (h.width < 0 || h.height < 0) throw bad("no frame size (W and H tags)");
  checkFrameSize(h.width, h.height, name + " (Y4M header)");
  return h;
}

bool nativeColorspace(const std::string &c) {
  return c == "420jpeg" || c == "420paldv" || c == "420mpeg2" || c == "420";
}

class Y4mReader : public VideoReader {
 public:
  Y4mReader(std::unique_ptr<ByteSource> src, const Y4mHeader &h, const ReadOptions &opt)
      : src_(std::move(src)), accept_(opt.acceptDamaged) {
    info_.width = static_cast<int>(h.width);
    info_.height = static_cast<int>(h.height);
    info_.fpsNum = static_cast<int>(h.fpsNum);
    info_.fpsDen = static_cast<int>(h.fpsDen);
    info_.colorRange = h.range;
    info_.interlace = h.interlace == '?' ? 'p' : h.interlace;
    if (h.rateUnknown)
      notices_.push_back(src_->name() + " does not say its frame rate (F0:0): " +
                         std::to_string(h.fpsNum) + " frames a second assumed");
    std::vector<uint8_t> skip(h.bytes);
    src_->read(skip.data(), skip.size());
    frameBytes_ = nv12Bytes(info_.width, info_.height);
    const long long total = src_->size();
    if (total >= 0)
      info_.frameCount = (total - static_cast<long long>(h.bytes)) /
                         static_cast<long long>(frameBytes_ + 6);
    if (h.interlace == 't' || h.interlace == 'b' || h.interlace == 'm')
      notices_.push_back(src_->name() + " is interlaced (" +
                         (h.interlace == 't'   ? std::string("top field first")
                          : h.interlace == 'b' ? std::string("bottom field first")
                                               : std::string("mixed")) +
                         "): its frames are filtered as progressive frames; Y4M and Matroska "
                         "outputs keep its field order");
  }
  bool read(Frame &out) override {
    uint8_t tag[5];
    const size_t got = src_->read(tag, 5);
    if (got == 0) {
      if (frames_ == 0) throw ToolError(src_->name() + " holds no frame");
      return false;
    }
    if (got < 5 || std::memcmp(tag, "FRAME", 5) != 0)
      return damaged(got < 5 ? "ends inside a frame header" : "has no FRAME marker where one is due");
    // Frame parameters up to the newline.
    for (size_t n = 0;; ++n) {
      uint8_t c = 0;
      if (src_->read(&c, 1) != 1) return damaged("ends inside a frame header");
      if (c == '\n') break;
      if (n >= kMaxY4mLine) return damaged("has a frame header longer than 4096 bytes");
    }
    planar_.resize(frameBytes_);
    const size_t bytes = src_->read(planar_.data(), frameBytes_);
    if (bytes != frameBytes_)
      return damaged("ends inside its frame " + std::to_string(frames_ + 1) + " (" +
                     std::to_string(bytes) + " of " + std::to_string(frameBytes_) + " bytes)");
    // Planar 4:2:0 to NV12: U and V interleaved, nothing resampled.
    out.resize(frameBytes_);
    const size_t luma = static_cast<size_t>(info_.width) * info_.height, chroma = luma / 4;
    std::memcpy(out.data(), planar_.data(), luma);
    for (size_t i = 0; i < chroma; ++i) {
      out[luma + 2 * i] = planar_[luma + i];
      out[luma + 2 * i + 1] = planar_[luma + chroma + i];
    }
    pts_ = frames_++;
    end_ = pts_ + 1;
    return true;
  }

 private:
  bool damaged(const std::string &what) {
    const std::string msg = src_->name() + " " + what + " after " + std::to_string(frames_) +
                            " whole frames: the input ended early";
    if (!accept_) throw ToolError(msg + " (--accept-damaged keeps the whole frames)");
    damage_ = msg;
    return false;
  }
  std::unique_ptr<ByteSource> src_;
  bool accept_;
  size_t frameBytes_ = 0;
  long long frames_ = 0;
  Frame planar_;
};

}  // namespace

std::unique_ptr<VideoReader> rawReader(std::unique_ptr<ByteSource> src, Size size,
                                       const ReadOptions &opt) {
  return std::make_unique<RawReader>(std::move(src), size, opt);
}

std::unique_ptr<VideoReader> y4mReader(std::unique_ptr<ByteSource> &src, const ReadOptions &opt) {
  const std::vector<uint8_t> &head = src->peek(kMaxY4mLine);
  if (head.size() < 9 || std::memcmp(head.data(), "YUV4MPEG2", 9) != 0)
    throw ToolError("cannot read " + src->name() + ": not a Y4M stream");
  const Y4mHeader h = parseY4mHeader(head, src->name());
  if (!nativeColorspace(h.colorspace)) return nullptr;
  return std::make_unique<Y4mReader>(std::move(src), h, opt);
}

bool hasRawExtension(const std::string &path) {
  const std::string ext = lowerExtension(path);
  return ext == ".nv12" || ext == ".yuv";
}

bool hasContainerExtension(const std::string &path) {
  static const char *const kContainers[] = {
      ".y4m", ".mp4", ".m4v", ".mkv", ".mka", ".webm", ".mov", ".avi", ".ts",  ".m2ts", ".mts",
      ".mpg", ".mpeg", ".flv", ".ogv", ".ogg", ".mxf", ".nut", ".gif", ".3gp", ".wmv", ".asf",
      ".h264", ".264", ".h265", ".265", ".hevc", ".ivf", ".png", ".jpg", ".jpeg", ".bmp"};
  const std::string ext = lowerExtension(path);
  for (const char *c : kContainers)
    if (ext == c) return true;
  return false;
}

bool looksLikeContainer(const std::vector<uint8_t> &h) {
  const auto starts = [&](const char *magic, size_t n, size_t at = 0) {
    return h.size() >= at + n && std::memcmp(h.data() + at, magic, n) == 0;
  };
  return starts("YUV4MPEG2", 9) || starts("\x1a\x45\xdf\xa3", 4) || starts("ftyp", 4, 4) ||
         starts("RIFF", 4) || starts("OggS", 4) || starts("FLV\x01", 4) ||
         starts("\x89PNG", 4) || starts("GIF8", 4);
}

}  // namespace tnr
