#include "video_out.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "output_file.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/log.h>
#include <libavutil/opt.h>
}

namespace tnr {

Container containerFor(const std::string &path, const std::string &format) {
  if (path == "-") {
    if (format == "nv12") return Container::Raw;
    if (format == "y4m" || format.empty()) return Container::Y4m;
    throw ToolError("standard output takes --format nv12 or y4m, not '" + format + "'");
  }
  std::error_code ec;
  if (std::filesystem::is_directory(path, ec))
    throw ToolError("cannot write '" + path + "': it is a directory");
  const std::string ext = extensionOf(path);
  if (ext == ".nv12" || ext == ".yuv") return Container::Raw;
  if (ext == ".y4m") return Container::Y4m;
  if (ext == ".mkv") return Container::Mkv;
  throw ToolError("cannot write '" + path + "': unknown output format '" + ext +
                  "' (use .nv12/.yuv for raw NV12, .y4m or .mkv)");
}

namespace {

// Ticks of info's time base, and where a tick falls on the constant rate.
int64_t frameTicks(const VideoInfo &info) {
  if (info.tbNum <= 0 || info.tbDen <= 0) return 1;
  return std::max<int64_t>(1, av_rescale_rnd(static_cast<int64_t>(info.tbDen), info.fpsDen,
                                             static_cast<int64_t>(info.tbNum) * info.fpsNum,
                                             AV_ROUND_NEAR_INF));
}
int64_t slotOf(const VideoInfo &info, int64_t pts) {
  if (info.tbNum <= 0 || info.tbDen <= 0) return pts;
  return av_rescale_rnd(pts, static_cast<int64_t>(info.tbNum) * info.fpsNum,
                        static_cast<int64_t>(info.tbDen) * info.fpsDen, AV_ROUND_NEAR_INF);
}

class FileWriter : public VideoWriter {
 public:
  FileWriter(const std::string &file, const VideoInfo &info, bool y4m, const std::string &shownAs)
      : file_(shownAs), info_(info), y4m_(y4m) {
    if (file == "-") {
      f_ = stdout;
    } else {
      f_ = std::fopen(file.c_str(), "wb");
      if (!f_) fail();
    }
    // The range travels in the comment tag other Y4M tools read.
    const char *range = info.colorRange == 2   ? " XCOLORRANGE=FULL"
                        : info.colorRange == 1 ? " XCOLORRANGE=LIMITED"
                                               : "";
    if (y4m_ && std::fprintf(f_, "YUV4MPEG2 W%d H%d F%d:%d I%c A1:1 C420jpeg%s\n", info.width,
                             info.height, info.fpsNum, info.fpsDen, info.interlace, range) < 0)
      fail();
    planar_.resize(nv12Bytes(info.width, info.height));
  }
  ~FileWriter() override {
    if (f_ && f_ != stdout) std::fclose(f_);
  }
  // Slot k of the constant rate shows the last frame whose time rounds to k
  // or before: a frame is held until the next one says how many slots it
  // fills (none when the next one rounds to the same slot).
  void write(const uint8_t *nv12, long long pts) override {
    const int64_t slot = pts < 0 ? heldSlot_ + 1 : slotOf(info_, pts);
    if (held_) release(slot);
    held_ = true;
    heldSlot_ = slot;
    last_.assign(nv12, nv12 + nv12Bytes(info_.width, info_.height));
  }
  void finish(long long end) override {
    // The last frame fills the slots up to the end (one at least).
    if (held_) release(std::max<int64_t>(end < 0 ? heldSlot_ + 1 : slotOf(info_, end), next_ + 1));
    if (std::fflush(f_) != 0) fail();
    closeFile();
  }

 private:
  void emit(const uint8_t *nv12) {
    const size_t bytes = nv12Bytes(info_.width, info_.height);
    const uint8_t *data = nv12;
    if (y4m_) {
      if (std::fputs("FRAME\n", f_) < 0) fail();
      // Y4M 4:2:0 is planar: U and V are de-interleaved, nothing resampled.
      const size_t luma = static_cast<size_t>(info_.width) * info_.height;
      std::memcpy(planar_.data(), nv12, luma);
      const size_t chroma = luma / 4;
      for (size_t i = 0; i < chroma; ++i) {
        planar_[luma + i] = nv12[luma + 2 * i];
        planar_[luma + chroma + i] = nv12[luma + 2 * i + 1];
      }
      data = planar_.data();
    }
    if (std::fwrite(data, 1, bytes, f_) != bytes) fail();
    ++written_;
    ++next_;
  }
  // The held frame in the slots before `until`.
  void release(int64_t until) {
    if (next_ >= until) ++dropped_;
    for (int64_t k = 0; next_ < until; ++k) {
      if (k > 0) ++repeated_;
      emit(last_.data());
    }
  }
  void closeFile() {
    if (f_ == stdout) {
      if (std::ferror(f_)) fail();
      f_ = nullptr;
      return;
    }
    const int err = std::fclose(f_);
    f_ = nullptr;
    if (err != 0) fail();
  }

 private:
  [[noreturn]] void fail() {
    const int e = errno;
    throw ToolError("cannot write " + (file_ == "-" ? std::string("standard output") : "'" + file_ + "'") +
                    ": " + std::strerror(e));
  }
  std::string file_;
  VideoInfo info_;
  bool y4m_;
  FILE *f_ = nullptr;
  Frame planar_;
  int64_t next_ = 0;      // the next slot of the constant rate
  bool held_ = false;     // a frame waits in last_ for the next one's time
  int64_t heldSlot_ = -1;
  Frame last_;
};

std::string avErr(int err) {
  char buf[AV_ERROR_MAX_STRING_SIZE] = {0};
  av_strerror(err, buf, sizeof buf);
  return buf;
}

class Ffv1Writer : public VideoWriter {
 public:
  Ffv1Writer(const std::string &file, const VideoInfo &info, const std::string &shownAs)
      : file_(shownAs), info_(info) {
    av_log_set_level(AV_LOG_QUIET);
    int err = avformat_alloc_output_context2(&fmt_, nullptr, "matroska", file.c_str());
    if (err < 0 || !fmt_) throw ToolError("cannot set up Matroska output: " + avErr(err));
    const AVCodec *codec = avcodec_find_encoder(AV_CODEC_ID_FFV1);
    if (!codec) throw ToolError("this FFmpeg has no FFV1 encoder; write .y4m or .nv12 instead");
    st_ = avformat_new_stream(fmt_, nullptr);
    enc_ = avcodec_alloc_context3(codec);
    enc_->width = info.width;
    enc_->height = info.height;
    enc_->pix_fmt = AV_PIX_FMT_YUV420P;
    // The frames' own time base: their times and durations are kept.
    enc_->time_base = info.tbNum > 0 && info.tbDen > 0 ? AVRational{info.tbNum, info.tbDen}
                                                       : AVRational{info.fpsDen, info.fpsNum};
    ticks_ = frameTicks(info);
    enc_->framerate = AVRational{info.fpsNum, info.fpsDen};
    enc_->gop_size = 1;
    // The colour description goes into the Matroska track's Colour element.
    enc_->color_range = static_cast<AVColorRange>(info.colorRange);
    enc_->colorspace = static_cast<AVColorSpace>(info.colorMatrix);
    enc_->color_primaries = static_cast<AVColorPrimaries>(info.colorPrimaries);
    enc_->color_trc = static_cast<AVColorTransferCharacteristic>(info.colorTransfer);
    // The field order goes into the track's FieldOrder element.
    if (info.interlace == 't') enc_->field_order = AV_FIELD_TT;
    if (info.interlace == 'b') enc_->field_order = AV_FIELD_BB;
    av_opt_set_int(enc_->priv_data, "slicecrc", 1, 0);
    if (fmt_->oformat->flags & AVFMT_GLOBALHEADER) enc_->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    err = avcodec_open2(enc_, codec, nullptr);
    if (err < 0) throw ToolError("cannot open the FFV1 encoder: " + avErr(err));
    avcodec_parameters_from_context(st_->codecpar, enc_);
    st_->time_base = enc_->time_base;
    // The nominal rate (the track's default frame duration), which readers
    // take for the rate of irregular frames.
    st_->avg_frame_rate = enc_->framerate;
    // The temporary file's name, as a local file: no protocol prefix is read.
    AVDictionary *opts = nullptr;
    av_dict_set(&opts, "protocol_whitelist", "file", 0);
    const std::string url = "file:" + std::filesystem::absolute(file).string();
    err = avio_open2(&fmt_->pb, url.c_str(), AVIO_FLAG_WRITE, nullptr, &opts);
    av_dict_free(&opts);
    if (err < 0) throw ToolError("cannot write '" + file_ + "': " + avErr(err));
    err = avformat_write_header(fmt_, nullptr);
    if (err < 0) throw ToolError("cannot write '" + file_ + "': " + avErr(err));
    frame_ = av_frame_alloc();
    frame_->format = AV_PIX_FMT_YUV420P;
    frame_->width = info.width;
    frame_->height = info.height;
    if (av_frame_get_buffer(frame_, 0) < 0) throw ToolError("out of memory");
    pkt_ = av_packet_alloc();
    held_ = av_packet_alloc();
    if (!pkt_ || !held_) throw ToolError("out of memory");
  }
  ~Ffv1Writer() override {
    av_packet_free(&held_);
    av_packet_free(&pkt_);
    av_frame_free(&frame_);
    avcodec_free_context(&enc_);
    if (fmt_) {
      if (fmt_->pb) avio_closep(&fmt_->pb);
      avformat_free_context(fmt_);
    }
  }
  void write(const uint8_t *nv12, long long pts) override {
    if (av_frame_make_writable(frame_) < 0) throw ToolError("out of memory");
    const int w = info_.width, h = info_.height;
    for (int r = 0; r < h; ++r)
      std::memcpy(frame_->data[0] + r * frame_->linesize[0], nv12 + static_cast<size_t>(r) * w, w);
    const uint8_t *uv = nv12 + static_cast<size_t>(w) * h;
    for (int r = 0; r < h / 2; ++r) {
      uint8_t *u = frame_->data[1] + r * frame_->linesize[1];
      uint8_t *v = frame_->data[2] + r * frame_->linesize[2];
      const uint8_t *s = uv + static_cast<size_t>(r) * w;
      for (int c = 0; c < w / 2; ++c) {
        u[c] = s[2 * c];
        v[c] = s[2 * c + 1];
      }
    }
    frame_->pts = pts < 0 ? next_ : pts;
    next_ = frame_->pts + ticks_;
    send(frame_);
    ++written_;
  }
  void finish(long long end) override {
    send(nullptr);
    // The last frame lasts until the end, which gives the file its duration.
    if (held_->data) put(std::max<int64_t>(end < 0 ? next_ : end, held_->pts + 1));
    int err = av_write_trailer(fmt_);
    if (err < 0) throw ToolError("cannot write '" + file_ + "': " + avErr(err));
    err = avio_closep(&fmt_->pb);
    if (err < 0) throw ToolError("cannot write '" + file_ + "': " + avErr(err));
  }

 private:
  void send(AVFrame *f) {
    int err = avcodec_send_frame(enc_, f);
    if (err < 0) throw ToolError("FFV1 encoding failed: " + avErr(err));
    // Each packet (one a frame: FFV1 is intra-only) is held until the next
    // one, whose time ends it.
    while ((err = avcodec_receive_packet(enc_, pkt_)) == 0) {
      if (held_->data) put(pkt_->pts);
      av_packet_move_ref(held_, pkt_);
    }
    if (err != AVERROR(EAGAIN) && err != AVERROR_EOF)
      throw ToolError("FFV1 encoding failed: " + avErr(err));
  }

  // Writes the held packet, lasting until end.
  void put(int64_t end) {
    held_->duration = end - held_->pts;
    av_packet_rescale_ts(held_, enc_->time_base, st_->time_base);
    held_->stream_index = st_->index;
    const int err = av_interleaved_write_frame(fmt_, held_);
    av_packet_unref(held_);
    if (err < 0) throw ToolError("cannot write '" + file_ + "': " + avErr(err));
  }

  std::string file_;
  VideoInfo info_;
  AVFormatContext *fmt_ = nullptr;
  AVCodecContext *enc_ = nullptr;
  AVStream *st_ = nullptr;
  AVFrame *frame_ = nullptr;
  AVPacket *pkt_ = nullptr, *held_ = nullptr;
  int64_t next_ = 0, ticks_ = 1;
};

}  // namespace

std::unique_ptr<VideoWriter> createWriter(const std::string &file, Container container,
                                          const VideoInfo &info, const std::string &shownAs) {
  switch (container) {
    case Container::Raw:
      return std::make_unique<FileWriter>(file, info, false, shownAs);
    case Container::Y4m:
      return std::make_unique<FileWriter>(file, info, true, shownAs);
    case Container::Mkv:
      if (file == "-") throw ToolError("Matroska cannot be written to standard output");
      return std::make_unique<Ffv1Writer>(file, info, shownAs);
  }
  throw ToolError("unknown container");
}

}  // namespace tnr
