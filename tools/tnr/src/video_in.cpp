#include "video_in.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/imgutils.h>
#include <libavutil/log.h>
#include <libswscale/swscale.h>
}

namespace tnr {

Size parseSize(const std::string &text, const char *option) {
  int w = 0, h = 0;
  char tail = 0;
  if (std::sscanf(text.c_str(), "%dx%d%c", &w, &h, &tail) != 2 || w <= 0 || h <= 0)
    throw ToolError(std::string(option) + " expects WIDTHxHEIGHT (e.g. 768x576), got '" + text +
                    "'");
  return {w, h};
}

void checkFrameSize(int width, int height, const std::string &what) {
  if (width < 16 || height < 16)
    throw ToolError(what + " is " + std::to_string(width) + "x" + std::to_string(height) +
                    ": frames must be at least 16x16");
  if ((width | height) & 1)
    throw ToolError(what + " is " + std::to_string(width) + "x" + std::to_string(height) +
                    ": odd frame sizes are rejected (not padded); crop to an even size first");
}

bool VideoReader::skip(long long n) {
  Frame f;
  for (long long i = 0; i < n; ++i)
    if (!read(f)) return false;
  return true;
}

namespace {

std::string errnoText() { return std::strerror(errno); }

std::string displayName(const std::string &path) {
  return path == "-" ? std::string("standard input") : "'" + path + "'";
}

bool hasExtension(const std::string &path, const char *ext) {
  const size_t n = std::strlen(ext);
  if (path.size() < n) return false;
  for (size_t i = 0; i < n; ++i) {
    char c = path[path.size() - n + i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != ext[i]) return false;
  }
  return true;
}

// Refuses a path that does not name a readable regular file (or a pipe).
void checkReadable(const std::string &path) {
  if (path == "-") return;
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) throw ToolError("cannot open '" + path + "': " + errnoText());
  if (S_ISDIR(st.st_mode)) throw ToolError("cannot open '" + path + "': it is a directory");
  FILE *f = std::fopen(path.c_str(), "rb");
  if (!f) throw ToolError("cannot open '" + path + "': " + errnoText());
  std::fclose(f);
}

class RawReader : public VideoReader {
 public:
  RawReader(const std::string &path, Size size) : name_(displayName(path)) {
    checkFrameSize(size.width, size.height, "--size");
    info_.width = size.width;
    info_.height = size.height;
    frameBytes_ = nv12Bytes(size.width, size.height);
    if (path == "-") {
      file_ = stdin;
      owned_ = false;
      return;
    }
    file_ = std::fopen(path.c_str(), "rb");
    if (!file_) throw ToolError("cannot open '" + path + "': " + errnoText());
    struct stat st {};
    if (fstat(fileno(file_), &st) == 0 && S_ISREG(st.st_mode)) {
      const auto bytes = static_cast<unsigned long long>(st.st_size);
      const unsigned long long left = bytes % frameBytes_;
      if (bytes == 0) throw ToolError("'" + path + "' is empty");
      if (left != 0)
        throw ToolError("'" + path + "' is not a whole number of " + std::to_string(size.width) +
                        "x" + std::to_string(size.height) + " NV12 frames (" +
                        std::to_string(frameBytes_) + " bytes each): " + std::to_string(left) +
                        " bytes left over after " + std::to_string(bytes / frameBytes_) +
                        " frames");
      info_.frameCount = static_cast<long long>(bytes / frameBytes_);
    }
  }
  ~RawReader() override {
    if (owned_ && file_) std::fclose(file_);
  }
  bool read(Frame &frame) override {
    frame.resize(frameBytes_);
    const size_t got = std::fread(frame.data(), 1, frameBytes_, file_);
    if (got == frameBytes_) {
      ++frames_;
      return true;
    }
    if (std::ferror(file_)) throw ToolError("cannot read " + name_ + ": " + errnoText());
    if (got != 0)
      throw ToolError(name_ + " is not a whole number of " + std::to_string(info_.width) + "x" +
                      std::to_string(info_.height) + " NV12 frames (" +
                      std::to_string(frameBytes_) + " bytes each): " + std::to_string(got) +
                      " bytes left over after " + std::to_string(frames_) + " frames");
    if (frames_ == 0) throw ToolError(name_ + " holds no frame");
    return false;
  }

 private:
  std::string name_;
  FILE *file_ = nullptr;
  bool owned_ = true;
  size_t frameBytes_ = 0;
  long long frames_ = 0;
};

std::string avErrorText(int err) {
  char buf[AV_ERROR_MAX_STRING_SIZE] = {0};
  av_strerror(err, buf, sizeof buf);
  return buf;
}

class FfmpegReader : public VideoReader {
 public:
  explicit FfmpegReader(const std::string &path) : name_(displayName(path)) {
    av_log_set_level(AV_LOG_QUIET);
    const std::string url = path == "-" ? std::string("pipe:0") : path;
    int err = avformat_open_input(&fmt_, url.c_str(), nullptr, nullptr);
    if (err < 0)
      throw ToolError("cannot read " + name_ + ": unknown or unsupported format (" +
                      avErrorText(err) + "); for raw NV12 give --size WxH");
    err = avformat_find_stream_info(fmt_, nullptr);
    if (err < 0) throw ToolError("cannot read " + name_ + ": " + avErrorText(err));
    const AVCodec *codec = nullptr;
    stream_ = av_find_best_stream(fmt_, AVMEDIA_TYPE_VIDEO, -1, -1, &codec, 0);
    if (stream_ < 0 || !codec)
      throw ToolError("cannot read " + name_ + ": no video stream with a supported codec");
    AVStream *st = fmt_->streams[stream_];
    dec_ = avcodec_alloc_context3(codec);
    if (!dec_ || avcodec_parameters_to_context(dec_, st->codecpar) < 0 ||
        avcodec_open2(dec_, codec, nullptr) < 0)
      throw ToolError("cannot read " + name_ + ": cannot open its " + codec->name + " decoder");
    info_.width = dec_->width;
    info_.height = dec_->height;
    checkFrameSize(info_.width, info_.height, name_);
    AVRational r = st->avg_frame_rate.num > 0 ? st->avg_frame_rate : st->r_frame_rate;
    if (r.num > 0 && r.den > 0) {
      info_.fpsNum = r.num;
      info_.fpsDen = r.den;
    }
    if (st->nb_frames > 0) info_.frameCount = st->nb_frames;
    pkt_ = av_packet_alloc();
    frame_ = av_frame_alloc();
  }
  ~FfmpegReader() override {
    sws_freeContext(sws_);
    av_frame_free(&frame_);
    av_packet_free(&pkt_);
    avcodec_free_context(&dec_);
    avformat_close_input(&fmt_);
  }

  bool read(Frame &out) override {
    for (;;) {
      int err = avcodec_receive_frame(dec_, frame_);
      if (err == 0) {
        convert(out);
        av_frame_unref(frame_);
        return true;
      }
      if (err == AVERROR_EOF) return false;
      if (err != AVERROR(EAGAIN))
        throw ToolError("cannot decode " + name_ + ": " + avErrorText(err));
      if (draining_) return false;
      err = av_read_frame(fmt_, pkt_);
      if (err == AVERROR_EOF) {
        draining_ = true;
        avcodec_send_packet(dec_, nullptr);
        continue;
      }
      if (err < 0) throw ToolError("cannot read " + name_ + ": " + avErrorText(err));
      if (pkt_->stream_index == stream_) {
        err = avcodec_send_packet(dec_, pkt_);
        if (err < 0 && err != AVERROR(EAGAIN))
          throw ToolError("cannot decode " + name_ + ": " + avErrorText(err));
      }
      av_packet_unref(pkt_);
    }
  }

 private:
  void convert(Frame &out) {
    const int w = info_.width, h = info_.height;
    if (frame_->width != w || frame_->height != h)
      throw ToolError(name_ + " changes its frame size mid-stream");
    out.resize(nv12Bytes(w, h));
    uint8_t *y = out.data();
    uint8_t *uv = y + static_cast<size_t>(w) * h;
    const auto fmt = static_cast<AVPixelFormat>(frame_->format);
    if (fmt == AV_PIX_FMT_YUV420P || fmt == AV_PIX_FMT_YUVJ420P) {
      // Planar 4:2:0 and NV12 hold the same samples: copied, never resampled.
      for (int r = 0; r < h; ++r)
        std::memcpy(y + static_cast<size_t>(r) * w, frame_->data[0] + r * frame_->linesize[0], w);
      for (int r = 0; r < h / 2; ++r) {
        const uint8_t *u = frame_->data[1] + r * frame_->linesize[1];
        const uint8_t *v = frame_->data[2] + r * frame_->linesize[2];
        uint8_t *d = uv + static_cast<size_t>(r) * w;
        for (int c = 0; c < w / 2; ++c) {
          d[2 * c] = u[c];
          d[2 * c + 1] = v[c];
        }
      }
      return;
    }
    if (fmt == AV_PIX_FMT_NV12) {
      for (int r = 0; r < h; ++r)
        std::memcpy(y + static_cast<size_t>(r) * w, frame_->data[0] + r * frame_->linesize[0], w);
      for (int r = 0; r < h / 2; ++r)
        std::memcpy(uv + static_cast<size_t>(r) * w, frame_->data[1] + r * frame_->linesize[1], w);
      return;
    }
    sws_ = sws_getCachedContext(sws_, w, h, fmt, w, h, AV_PIX_FMT_NV12, SWS_BICUBIC, nullptr,
                                nullptr, nullptr);
    if (!sws_)
      throw ToolError("cannot convert " + name_ + " from " +
                      (av_get_pix_fmt_name(fmt) ? av_get_pix_fmt_name(fmt) : "its pixel format") +
                      " to NV12");
    uint8_t *dst[4] = {y, uv, nullptr, nullptr};
    int dstStride[4] = {w, w, 0, 0};
    sws_scale(sws_, frame_->data, frame_->linesize, 0, h, dst, dstStride);
  }

  std::string name_;
  AVFormatContext *fmt_ = nullptr;
  AVCodecContext *dec_ = nullptr;
  AVPacket *pkt_ = nullptr;
  AVFrame *frame_ = nullptr;
  SwsContext *sws_ = nullptr;
  int stream_ = -1;
  bool draining_ = false;
};

}  // namespace

std::unique_ptr<VideoReader> openVideo(const std::string &path,
                                       const std::optional<Size> &rawSize) {
  checkReadable(path);
  const bool raw = rawSize.has_value() || hasExtension(path, ".nv12") || hasExtension(path, ".yuv");
  if (raw) {
    if (!rawSize)
      throw ToolError("raw NV12 input " + displayName(path) + " needs --size WIDTHxHEIGHT");
    return std::make_unique<RawReader>(path, *rawSize);
  }
  return std::make_unique<FfmpegReader>(path);
}

}  // namespace tnr
