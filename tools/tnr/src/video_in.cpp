#include "video_in.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <algorithm>
#include <cstdarg>
#include <cstring>
#include <vector>

#include "numbers.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/imgutils.h>
#include <libavutil/log.h>
#include <libavutil/pixdesc.h>
#include <libswscale/swscale.h>
}

namespace tnr {

namespace {

std::string avErrorText(int err) {
  char buf[AV_ERROR_MAX_STRING_SIZE] = {0};
  av_strerror(err, buf, sizeof buf);
  return buf;
}

// Demuxers that name other resources (playlists, concatenation lists, image
// sequences) get no way to open them: the input is the one file named.
class FfmpegReader;
std::vector<FfmpegReader *> gReaders;  // open readers, for the log callback
void countLogError(void *avcl, int level, const char *fmt, va_list vl);

extern "C" int refuseNestedOpen(AVFormatContext *, AVIOContext **, const char *, int,
                                AVDictionary **) {
  return AVERROR(EPERM);
}

class FfmpegReader : public VideoReader {
 public:
  FfmpegReader(std::unique_ptr<ByteSource> src, const std::string &path, const ReadOptions &opt)
      : src_(std::move(src)), name_(src_->name()), accept_(opt.acceptDamaged) {
    // A constructor that throws runs no destructor: what open() allocated
    // before refusing the input is freed here.
    try {
      open(path);
    } catch (...) {
      release();
      throw;
    }
  }
  ~FfmpegReader() override { release(); }

 private:
  void open(const std::string &path) {
    // FFmpeg's messages are not shown, but its errors count as damage of the
    // input whose demuxer or decoder reports them.
    av_log_set_callback(countLogError);
    gReaders.push_back(this);
    // FFmpeg reads through the source the tool opened: it never opens the
    // name itself, so no protocol prefix ("file:", "concat:", ...) is read.
    const int bufSize = 1 << 16;
    auto *buf = static_cast<uint8_t *>(av_malloc(bufSize));
    if (!buf) throw std::bad_alloc();
    io_ = avio_alloc_context(buf, bufSize, 0, this, &FfmpegReader::readPacket, nullptr,
                             src_->size() >= 0 ? &FfmpegReader::seekTo : nullptr);
    if (!io_) {
      av_free(buf);
      throw std::bad_alloc();
    }
    fmt_ = avformat_alloc_context();
    if (!fmt_) throw std::bad_alloc();
    fmt_->pb = io_;
    fmt_->flags |= AVFMT_FLAG_CUSTOM_IO;
    fmt_->io_open = refuseNestedOpen;
    AVDictionary *opts = nullptr;
    // No protocol at all for anything a demuxer would open besides it.
    av_dict_set(&opts, "protocol_whitelist", "none", 0);
    // The name only helps the format guess; "" for standard input.
    int err = avformat_open_input(&fmt_, path == "-" ? "" : path.c_str(), nullptr, &opts);
    av_dict_free(&opts);
    if (err < 0) {
      fmt_ = nullptr;  // freed by avformat_open_input
      rethrowIoError();
      throw ToolError("cannot read " + name_ + ": unknown or unsupported format (" +
                      avErrorText(err) + "); for raw NV12 give --size WxH");
    }
    // Packets the container's index lists as it opens, before any packet is
    // read (an AVI's idx1, an MP4's sample table): read them all and the
    // stream is whole, whatever its frames' times. Per stream, by index.
    for (unsigned i = 0; i < fmt_->nb_streams; ++i)
      indexedAtOpen_.push_back(avformat_index_get_entries_count(fmt_->streams[i]));
    err = avformat_find_stream_info(fmt_, nullptr);
    rethrowIoError();
    if (err < 0) throw ToolError("cannot read " + name_ + ": " + avErrorText(err));
    const AVCodec *codec = nullptr;
    stream_ = av_find_best_stream(fmt_, AVMEDIA_TYPE_VIDEO, -1, -1, &codec, 0);
    if (stream_ < 0 || !codec)
      throw ToolError("cannot read " + name_ + ": no video stream with a supported codec");
    AVStream *st = fmt_->streams[stream_];
    if (static_cast<size_t>(stream_) < indexedAtOpen_.size()) indexed_ = indexedAtOpen_[stream_];
    dec_ = avcodec_alloc_context3(codec);
    if (!dec_ || avcodec_parameters_to_context(dec_, st->codecpar) < 0 ||
        avcodec_open2(dec_, codec, nullptr) < 0)
      throw ToolError("cannot read " + name_ + ": cannot open its " + codec->name + " decoder");
    checkFrameSize(dec_->width, dec_->height, name_);
    info_.width = dec_->width;
    info_.height = dec_->height;
    // The rate a constant-rate output is written at: the container's average,
    // else its base rate unless that is only a fine time grid (as FFmpeg
    // guesses, above 210 frames a second), else the default.
    AVRational r = st->avg_frame_rate;
    if (r.num <= 0 || r.den <= 0) r = st->r_frame_rate;
    if (r.num > 0 && r.den > 0 && (r.num == st->avg_frame_rate.num || av_q2d(r) <= 210)) {
      info_.fpsNum = r.num;
      info_.fpsDen = r.den;
    }
    info_.tbNum = st->time_base.num;
    info_.tbDen = st->time_base.den;
    start_ = st->start_time;
    frameTicks_ = std::max<int64_t>(
        1, av_rescale_q(1, AVRational{info_.fpsDen, info_.fpsNum}, st->time_base));
    if (st->nb_frames > 0) info_.frameCount = st->nb_frames;
    const AVCodecParameters *par = st->codecpar;
    const auto fmt = static_cast<AVPixelFormat>(par->format);
    info_.colorRange = par->color_range;
    if (fmt == AV_PIX_FMT_YUVJ420P || fmt == AV_PIX_FMT_YUVJ422P || fmt == AV_PIX_FMT_YUVJ444P)
      info_.colorRange = AVCOL_RANGE_JPEG;
    info_.colorMatrix = par->color_space;
    info_.colorPrimaries = par->color_primaries;
    info_.colorTransfer = par->color_trc;
    const AVPixFmtDescriptor *d = av_pix_fmt_desc_get(fmt);
    if (d && d->comp[0].depth > 8)
      notices_.push_back(name_ + " has " + std::to_string(d->comp[0].depth) + "-bit samples (" +
                         d->name + "): reduced to 8-bit NV12");
    else if (d && !(d->flags & AV_PIX_FMT_FLAG_RGB) && (d->log2_chroma_w != 1 || d->log2_chroma_h != 1))
      notices_.push_back(name_ + " is " + d->name + ": its chroma is resampled to 4:2:0 (NV12)");
    // The field coded first, as FFmpeg's Y4M writer names it.
    if (par->field_order == AV_FIELD_TT || par->field_order == AV_FIELD_TB) info_.interlace = 't';
    if (par->field_order == AV_FIELD_BB || par->field_order == AV_FIELD_BT) info_.interlace = 'b';
    if (info_.interlace != 'p')
      notices_.push_back(name_ + " is interlaced (" +
                         (info_.interlace == 't' ? "top" : "bottom") +
                         " field first): its frames are filtered as progressive frames; Y4M and "
                         "Matroska outputs keep its field order");
    pkt_ = av_packet_alloc();
    frame_ = av_frame_alloc();
    if (!pkt_ || !frame_) throw std::bad_alloc();
  }
  // Frees whatever is allocated; the I/O context is the tool's (custom I/O),
  // which neither avformat_open_input's failure nor avformat_close_input frees.
  void release() {
    const auto me = std::find(gReaders.begin(), gReaders.end(), this);
    if (me != gReaders.end()) gReaders.erase(me);
    sws_freeContext(sws_);
    sws_ = nullptr;
    av_frame_free(&frame_);
    av_packet_free(&pkt_);
    avcodec_free_context(&dec_);
    avformat_close_input(&fmt_);
    if (io_) {
      av_freep(&io_->buffer);
      avio_context_free(&io_);
    }
  }

 public:
  bool read(Frame &out) override {
    for (;;) {
      int err = avcodec_receive_frame(dec_, frame_);
      if (err == 0) {
        // A frame the decoder concealed errors in is kept (when damage is
        // accepted) and counted.
        if ((frame_->flags & AV_FRAME_FLAG_CORRUPT) || frame_->decode_error_flags ||
            decodeErrors_ > seenDecodeErrors_) {
          seenDecodeErrors_ = decodeErrors_;
          damaged("has a frame that decodes with errors (" +
                  (firstLog_.empty() ? std::string("marked corrupt") : firstLog_) + ")");
        }
        lastPts_ = frame_->best_effort_timestamp;
        lastDuration_ = frame_->pkt_duration;
        stamp();
        convert(out);
        av_frame_unref(frame_);
        ++frames_;
        return true;
      }
      if (err == AVERROR_EOF) return finish();
      if (err != AVERROR(EAGAIN)) {
        damaged("has a frame that cannot be decoded (" + avErrorText(err) + ")");
        if (++errorsInARow_ > 64) return finish();
        continue;
      }
      errorsInARow_ = 0;
      if (draining_) return finish();
      err = av_read_frame(fmt_, pkt_);
      rethrowIoError();
      if (err == AVERROR_EOF || err < 0) {
        if (err != AVERROR_EOF) damaged("cannot be read on (" + avErrorText(err) + ")");
        draining_ = true;
        avcodec_send_packet(dec_, nullptr);
        continue;
      }
      if (pkt_->stream_index == stream_) {
        ++packets_;
        if (pkt_->flags & AV_PKT_FLAG_CORRUPT) damaged("has a damaged packet");
        err = avcodec_send_packet(dec_, pkt_);
        if (err < 0 && err != AVERROR(EAGAIN))
          damaged("has a frame that cannot be decoded (" + avErrorText(err) + ")");
      }
      av_packet_unref(pkt_);
    }
  }

 private:
  static int readPacket(void *opaque, uint8_t *buf, int size) {
    auto *self = static_cast<FfmpegReader *>(opaque);
    try {
      const size_t got = self->src_->read(buf, static_cast<size_t>(size));
      return got == 0 ? AVERROR_EOF : static_cast<int>(got);
    } catch (const std::exception &e) {
      self->ioError_ = e.what();
      return AVERROR(EIO);
    }
  }
  static int64_t seekTo(void *opaque, int64_t offset, int whence) {
    auto *self = static_cast<FfmpegReader *>(opaque);
    const long long size = self->src_->size();
    whence &= ~AVSEEK_FORCE;
    if (whence == AVSEEK_SIZE) return size;
    long long pos = offset;
    if (whence == SEEK_CUR) pos += self->src_->position();
    if (whence == SEEK_END) pos += size;
    if (whence != SEEK_SET && whence != SEEK_CUR && whence != SEEK_END) return -1;
    return self->src_->seek(pos) ? pos : -1;
  }
  void rethrowIoError() {
    if (!ioError_.empty()) throw ToolError(ioError_);
  }
  void damaged(const std::string &what) {
    ++damaged_;
    if (!accept_)
      throw ToolError(name_ + " " + what + " after " + std::to_string(frames_) +
                      " frames decoded: the input is damaged (--accept-damaged keeps the frames "
                      "that decode)");
    if (firstDamage_.empty()) firstDamage_ = what;
  }
  // The frame's time from the stream's start in the stream's time base; a
  // frame without one, or one not after the previous frame, follows it.
  void stamp() {
    int64_t t = frame_->best_effort_timestamp;
    if (t != AV_NOPTS_VALUE && start_ == AV_NOPTS_VALUE) start_ = t;
    if (t != AV_NOPTS_VALUE) t -= start_;
    if (t == AV_NOPTS_VALUE || (frames_ > 0 && t <= pts_)) t = frames_ > 0 ? std::max(end_, pts_ + 1) : 0;
    pts_ = t;
    end_ = t + (frame_->pkt_duration > 0 ? frame_->pkt_duration : frameTicks_);
  }
  // The stream's length the container announces, in its time base (0: none).
  int64_t announcedTicks() const {
    const AVStream *st = fmt_->streams[stream_];
    if (st->duration != AV_NOPTS_VALUE && st->duration > 0) return st->duration;
    if (fmt_->duration != AV_NOPTS_VALUE && fmt_->duration > 0)
      return av_rescale_q(fmt_->duration, AV_TIME_BASE_Q, st->time_base);
    return 0;
  }
  // Whether the decoded frames stop short of what the container holds: their
  // times against its duration (less half a frame, for rounding), unless its
  // index lists the stream's packets and every one was read (its last frames
  // may be repeats, as in AVI, which hold no packet). Its frame count says
  // nothing where frames repeat; it counts only without a duration.
  bool endedEarly(std::string &what) const {
    const AVStream *st = fmt_->streams[stream_];
    if (indexed_ > 0 && packets_ >= indexed_) return false;
    const double announced = announcedTicks() * av_q2d(st->time_base);
    if (announced <= 0 && st->nb_frames > 0) {
      what = std::to_string(frames_) + " frames decoded of the " + std::to_string(st->nb_frames) +
             " its container announces";
      return frames_ < st->nb_frames;
    }
    if (announced <= 0) return false;
    const double tb = av_q2d(st->time_base);
    const int64_t start = st->start_time != AV_NOPTS_VALUE ? st->start_time : 0;
    const double frame = info_.fpsNum > 0 ? static_cast<double>(info_.fpsDen) / info_.fpsNum
                         : lastDuration_ > 0 ? lastDuration_ * tb
                                             : 0.0;
    const double reached =
        lastPts_ == AV_NOPTS_VALUE ? 0.0 : (lastPts_ - start) * tb + frame;
    char buf[160];
    std::snprintf(buf, sizeof buf, "%lld frames decoded, %.3f s of the %.3f s its container announces",
                  frames_, reached, announced);
    what = buf;
    return reached < announced - std::max(frame / 2, 0.001);
  }
  bool finish() {
    if (finished_) return false;
    finished_ = true;
    std::string what;
    const bool early = endedEarly(what);
    if (!early && (readErrors_ > 0 || decodeErrors_ > seenDecodeErrors_)) {
      seenDecodeErrors_ = decodeErrors_;
      damaged("reports errors (" + firstLog_ + ")");
    }
    if (early && !accept_)
      throw ToolError(name_ + " ended early: " + what +
                      "; it is truncated or damaged (--accept-damaged keeps the frames that decode)");
    // A whole stream lasts as long as its container says: the last frame
    // stays until then.
    if (!early && frames_ > 0) end_ = std::max<int64_t>(end_, announcedTicks());
    if (early || damaged_ > 0)
      damage_ = name_ + (early ? " ended early: " + what : " is damaged: " + std::to_string(frames_) +
                                                              " frames decoded") +
                (damaged_ > 0 ? ", " + std::to_string(damaged_) + " damaged (" + firstDamage_ + ")"
                              : "");
    return false;
  }

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
    // Samples keep their levels: the output carries the input's range tag.
    int *invTable = nullptr, *table = nullptr, srcRange = 0, dstRange = 0, b = 0, c = 0, s = 0;
    if (sws_getColorspaceDetails(sws_, &invTable, &srcRange, &table, &dstRange, &b, &c, &s) >= 0) {
      const int full = info_.colorRange == AVCOL_RANGE_JPEG ? 1 : 0;
      sws_setColorspaceDetails(sws_, invTable, full, table, full, b, c, s);
    }
    uint8_t *dst[4] = {y, uv, nullptr, nullptr};
    int dstStride[4] = {w, w, 0, 0};
    sws_scale(sws_, frame_->data, frame_->linesize, 0, h, dst, dstStride);
  }

  std::unique_ptr<ByteSource> src_;
  std::string name_;
  bool accept_;
  std::string ioError_;
  AVIOContext *io_ = nullptr;
  AVFormatContext *fmt_ = nullptr;
  AVCodecContext *dec_ = nullptr;
  AVPacket *pkt_ = nullptr;
  AVFrame *frame_ = nullptr;
  SwsContext *sws_ = nullptr;
  int stream_ = -1;
  bool draining_ = false, finished_ = false;
  long long frames_ = 0, damaged_ = 0;
  int errorsInARow_ = 0;
  int64_t lastPts_ = AV_NOPTS_VALUE, lastDuration_ = 0;
  int64_t start_ = AV_NOPTS_VALUE, frameTicks_ = 1;
  long long packets_ = 0, indexed_ = 0;
  std::vector<long long> indexedAtOpen_;
  std::string firstDamage_;
  long long decodeErrors_ = 0, seenDecodeErrors_ = 0, readErrors_ = 0;
  std::string firstLog_;
  friend void countLogError(void *, int, const char *, va_list);
};

void countLogError(void *avcl, int level, const char *fmt, va_list vl) {
  if (level > AV_LOG_ERROR || !avcl) return;
  for (FfmpegReader *r : gReaders) {
    if (avcl != r->dec_ && avcl != r->fmt_) continue;
    long long &count = avcl == r->dec_ ? r->decodeErrors_ : r->readErrors_;
    if (count++ == 0 && r->decodeErrors_ + r->readErrors_ == 1) {
      char line[256];
      int prefix = 0;
      av_log_format_line(nullptr, level, fmt, vl, line, sizeof line, &prefix);
      std::string text(line);
      while (!text.empty() && (text.back() == '\n' || text.back() == ' ' || text.back() == '!'))
        text.pop_back();
      r->firstLog_ = text;
    }
  }
}

}  // namespace

std::unique_ptr<VideoReader> openVideo(const std::string &path, const ReadOptions &opt) {
  auto src = openSource(path);
  const bool container = hasContainerExtension(path) || looksLikeContainer(src->peek(16));
  if (opt.rawSize && !(opt.sizeOnlyIfRaw && container)) {
    // --size means raw NV12: a name or first bytes that say otherwise are a
    // contradiction, not something to read as pixels.
    if (hasContainerExtension(path))
      throw ToolError(std::string(opt.sizeOption) + " is for raw NV12 input, but " + src->name() +
                      " is named as a container; drop " + opt.sizeOption);
    if (looksLikeContainer(src->peek(16)))
      throw ToolError(std::string(opt.sizeOption) + " is for raw NV12 input, but " + src->name() +
                      " starts like a container (Y4M, Matroska, MP4, ...); drop " +
                      opt.sizeOption);
    return rawReader(std::move(src), *opt.rawSize, opt);
  }
  if (hasRawExtension(path))
    throw ToolError("raw NV12 input " + src->name() + " needs --size WIDTHxHEIGHT");
  const std::vector<uint8_t> &head = src->peek(9);
  if (head.size() == 9 && std::memcmp(head.data(), "YUV4MPEG2", 9) == 0) {
    if (auto y4m = y4mReader(src, opt)) return y4m;
  }
  if (src->size() == 0) throw ToolError(src->name() + " is empty");
  return std::make_unique<FfmpegReader>(std::move(src), path, opt);
}

}  // namespace tnr
