// The OBS filter's frame path (see tnr_obs_filter.h).
#include "tnr_obs_filter.h"

#include <obs.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "tnr_md_stream.h"
#include "tnr_md_threads.h"

namespace {

// A timestamp that goes back, or jumps forward by more than this, is a new
// sequence (a media source looped or seeked, a camera restarted); libobs's
// own asynchronous filters take the same second as their limit.
constexpr uint64_t kMaxGapNs = 1000000000ULL;

// How a format is filtered.
enum class Kind { None, Nv12, I420, Packed422, I422, Unsupported };

Kind kindOf(video_format f) {
  switch (f) {
    case VIDEO_FORMAT_NV12:
      return Kind::Nv12;
    case VIDEO_FORMAT_I420:
      return Kind::I420;
    case VIDEO_FORMAT_YUY2:
    case VIDEO_FORMAT_UYVY:
    case VIDEO_FORMAT_YVYU:
      return Kind::Packed422;
    case VIDEO_FORMAT_I422:
      return Kind::I422;
    default:
      return Kind::Unsupported;
  }
}

uint8_t clampByte(int v) { return static_cast<uint8_t>(v < 0 ? 0 : v > 255 ? 255 : v); }

TnrObsSettings sanitized(const TnrObsSettings &s) {
  TnrObsSettings out = s;
  if (out.strength < TNR_OBS_STRENGTH_OFF || out.strength >= TNR_MD_PRESET_COUNT)
    out.strength = TNR_MD_PRESET_MEDIUM;
  if (!(out.spatial >= 0.0f)) out.spatial = 0.0f;  // also NaN
  if (out.spatial > TNR_MD_SPATIAL_MAX) out.spatial = TNR_MD_SPATIAL_MAX;
  if (out.threads < 0) out.threads = 0;
  out.align = out.align ? 1 : 0;
  return out;
}

}  // namespace

struct TnrObsFilter {
  TnrObsLog log = nullptr;
  void *logContext = nullptr;

  // Handed over from update() and the show/enable callbacks, under the lock.
  std::mutex lock;
  TnrObsSettings pending{};
  uint64_t pendingSerial = 1;
  bool restartPending = false;

  // Everything below belongs to the thread that calls filter_video.
  TnrObsSettings settings{};
  uint64_t appliedSerial = 0;
  TnrMdThreadPool *pool = nullptr;
  int poolThreads = -1;  // the threads setting the pool was made for
  TnrMdExecutor executor{};
  TnrMdStream *stream = nullptr;
  int width = 0, height = 0;
  int refusedWidth = -1, refusedHeight = -1;  // a size the stream refused (not retried per frame)
  Kind kind = Kind::None;
  video_format format = VIDEO_FORMAT_NONE;
  bool newSequence = true;  // the next filtered frame starts one
  bool haveTimestamp = false;
  uint64_t lastTimestamp = 0;
  std::vector<uint8_t> work;  // NV12 copy of an I420 or 4:2:2 frame
  std::string lastNotice;     // the notice last logged, until a frame is filtered
  int64_t filtered = 0;

  void notice(const std::string &message) {
    if (message == lastNotice) return;
    lastNotice = message;
    if (log) log(logContext, message.c_str());
  }

  void dropStream() {
    tnrMdStreamDestroy(stream);
    stream = nullptr;
    width = height = 0;
  }

  TnrMdParams params() const {
    TnrMdParams p;
    tnrMdParamsDefault(&p);
    tnrMdParamsPreset(&p, settings.strength);
    p.spatial = settings.spatial;
    p.align = settings.align;
    return p;
  }

  ~TnrObsFilter() {
    tnrMdStreamDestroy(stream);  // before the pool it runs on
    tnrMdThreadPoolDestroy(pool);
  }
};

namespace {

// The frame's planes as the stream's NV12 image, filtered in place.
int processNv12(TnrObsFilter *f, obs_source_frame *frame, TnrMdError *err) {
  const uint32_t h = frame->height;
  TnrMdImage img = {frame->data[0], static_cast<ptrdiff_t>(frame->linesize[0]), frame->data[1],
                    static_cast<ptrdiff_t>(frame->linesize[1]), 0};
  // libobs copies every asynchronous frame into one block of its own (luma
  // rows, then chroma rows at the same pitch): tell the stream, which then
  // filters it where it lies instead of through a copy.
  if (frame->linesize[0] == frame->linesize[1] &&
      frame->data[1] == frame->data[0] + size_t(frame->linesize[0]) * h)
    img.span = size_t(frame->linesize[0]) * (h + h / 2);
  return tnrMdStreamProcess(f->stream, &img, nullptr, err);
}

// I420: Y copied, U and V interleaved into the NV12 copy; filtered; back.
int processI420(TnrObsFilter *f, obs_source_frame *frame, TnrMdError *err) {
  const size_t w = frame->width, h = frame->height, cw = w / 2;
  uint8_t *luma = f->work.data(), *chroma = luma + w * h;
  for (size_t y = 0; y < h; ++y)
    std::memcpy(luma + y * w, frame->data[0] + y * frame->linesize[0], w);
  for (size_t y = 0; y < h / 2; ++y) {
    const uint8_t *u = frame->data[1] + y * frame->linesize[1];
    const uint8_t *v = frame->data[2] + y * frame->linesize[2];
    uint8_t *c = chroma + y * w;
    for (size_t x = 0; x < cw; ++x) {
      c[2 * x] = u[x];
      c[2 * x + 1] = v[x];
    }
  }
  TnrMdImage img = {luma, ptrdiff_t(w), chroma, ptrdiff_t(w), w * h * 3 / 2};
  const int rc = tnrMdStreamProcess(f->stream, &img, nullptr, err);
  if (rc != TNR_MD_OK) return rc;
  for (size_t y = 0; y < h; ++y)
    std::memcpy(frame->data[0] + y * frame->linesize[0], luma + y * w, w);
  for (size_t y = 0; y < h / 2; ++y) {
    uint8_t *u = frame->data[1] + y * frame->linesize[1];
    uint8_t *v = frame->data[2] + y * frame->linesize[2];
    const uint8_t *c = chroma + y * w;
    for (size_t x = 0; x < cw; ++x) {
      u[x] = c[2 * x];
      v[x] = c[2 * x + 1];
    }
  }
  return TNR_MD_OK;
}

// 4:2:2 (packed YUY2, UYVY, YVYU or planar I422): luma copied into the NV12
// copy, the chroma of rows 2j and 2j+1 averaged (rounding up) into its chroma
// row j. After filtering, luma goes back as filtered and each of the two rows'
// chroma moves by the filter's change of their average.
//
// One row of the frame: its even and odd pixels' luma and its U and V, the
// i-th pair's samples YStep and CStep bytes apart (4 and 4 packed; 2 and 1
// planar, whose luma rows are copied whole); rowAt(y) gives row y. Fixed
// steps and offsets let the compiler vectorise the loops.
struct Row422 {
  uint8_t *ye, *yo, *u, *v;
};

int avg2(int a, int b) { return (a + b + 1) >> 1; }

template <int YStep, int CStep, class RowAt>
int process422(TnrObsFilter *f, obs_source_frame *frame, RowAt rowAt, TnrMdError *err) {
  constexpr bool kPlanar = YStep == 2;
  const size_t w = frame->width, h = frame->height, pairs = w / 2;
  uint8_t *luma = f->work.data(), *chroma = luma + w * h;
  for (size_t j = 0; j < h / 2; ++j) {
    const Row422 a = rowAt(2 * j), b = rowAt(2 * j + 1);
    uint8_t *y0 = luma + 2 * j * w, *y1 = y0 + w, *c = chroma + j * w;
    if (kPlanar) {  // the luma rows as they are
      std::memcpy(y0, a.ye, w);
      std::memcpy(y1, b.ye, w);
    }
    for (size_t i = 0; i < pairs; ++i) {
      if (!kPlanar) {
        y0[2 * i] = a.ye[i * YStep];
        y0[2 * i + 1] = a.yo[i * YStep];
        y1[2 * i] = b.ye[i * YStep];
        y1[2 * i + 1] = b.yo[i * YStep];
      }
      c[2 * i] = uint8_t(avg2(a.u[i * CStep], b.u[i * CStep]));
      c[2 * i + 1] = uint8_t(avg2(a.v[i * CStep], b.v[i * CStep]));
    }
  }
  TnrMdImage img = {luma, ptrdiff_t(w), chroma, ptrdiff_t(w), w * h * 3 / 2};
  const int rc = tnrMdStreamProcess(f->stream, &img, nullptr, err);
  if (rc != TNR_MD_OK) return rc;
  for (size_t j = 0; j < h / 2; ++j) {
    const Row422 a = rowAt(2 * j), b = rowAt(2 * j + 1);
    const uint8_t *y0 = luma + 2 * j * w, *y1 = y0 + w, *c = chroma + j * w;
    if (kPlanar) {
      std::memcpy(a.ye, y0, w);
      std::memcpy(b.ye, y1, w);
    }
    for (size_t i = 0; i < pairs; ++i) {
      if (!kPlanar) {
        a.ye[i * YStep] = y0[2 * i];
        a.yo[i * YStep] = y0[2 * i + 1];
        b.ye[i * YStep] = y1[2 * i];
        b.yo[i * YStep] = y1[2 * i + 1];
      }
      uint8_t &au = a.u[i * CStep], &bu = b.u[i * CStep], &av = a.v[i * CStep],
              &bv = b.v[i * CStep];
      const int du = c[2 * i] - avg2(au, bu), dv = c[2 * i + 1] - avg2(av, bv);
      au = clampByte(au + du);
      bu = clampByte(bu + du);
      av = clampByte(av + dv);
      bv = clampByte(bv + dv);
    }
  }
  return TNR_MD_OK;
}

// Packed: Y0, Y1, U, V are the byte offsets in each 4-byte group of two pixels.
template <int Y0, int Y1, int U, int V>
int processPacked422(TnrObsFilter *f, obs_source_frame *frame, TnrMdError *err) {
  uint8_t *base = frame->data[0];
  const size_t pitch = frame->linesize[0];
  return process422<4, 4>(
      f, frame,
      [=](size_t y) {
        uint8_t *r = base + y * pitch;
        return Row422{r + Y0, r + Y1, r + U, r + V};
      },
      err);
}

int processI422(TnrObsFilter *f, obs_source_frame *frame, TnrMdError *err) {
  uint8_t *const *d = frame->data;
  const uint32_t *ls = frame->linesize;
  return process422<2, 1>(
      f, frame,
      [=](size_t y) {
        uint8_t *l = d[0] + y * ls[0];
        return Row422{l, l + 1, d[1] + y * ls[1], d[2] + y * ls[2]};
      },
      err);
}

std::string formatName(video_format f) {
  const char *name = get_video_format_name(f);
  return name && *name ? name : "format " + std::to_string(int(f));
}

}  // namespace

extern "C" {

void tnrObsSettingsDefault(TnrObsSettings *settings) {
  TnrMdParams p;
  tnrMdParamsDefault(&p);
  settings->strength = TNR_MD_PRESET_MEDIUM;
  settings->spatial = p.spatial;
  settings->threads = 1;
  settings->align = p.align;
}

TnrObsFilter *tnrObsFilterCreate(const TnrObsSettings *settings, TnrObsLog log, void *logContext) {
  TnrObsFilter *f = new (std::nothrow) TnrObsFilter;
  if (!f) return nullptr;
  f->log = log;
  f->logContext = logContext;
  TnrObsSettings s;
  tnrObsSettingsDefault(&s);
  f->pending = sanitized(settings ? *settings : s);
  return f;
}

void tnrObsFilterDestroy(TnrObsFilter *filter) { delete filter; }

void tnrObsFilterSetSettings(TnrObsFilter *filter, const TnrObsSettings *settings) {
  if (!filter || !settings) return;
  std::lock_guard<std::mutex> g(filter->lock);
  filter->pending = sanitized(*settings);
  ++filter->pendingSerial;
}

void tnrObsFilterRestart(TnrObsFilter *filter) {
  if (!filter) return;
  std::lock_guard<std::mutex> g(filter->lock);
  filter->restartPending = true;
}

int64_t tnrObsFilterFramesFiltered(const TnrObsFilter *filter) {
  return filter ? filter->filtered : 0;
}

obs_source_frame *tnrObsFilterVideo(TnrObsFilter *f, obs_source_frame *frame) {
  if (!f || !frame) return frame;

  bool settingsChanged = false;
  {
    std::lock_guard<std::mutex> g(f->lock);
    if (f->pendingSerial != f->appliedSerial) {
      f->settings = f->pending;
      f->appliedSerial = f->pendingSerial;
      settingsChanged = true;
    }
    if (f->restartPending) f->newSequence = true;
    f->restartPending = false;
  }

  // Frames that leave the filter's sight (off, passed on, out of order)
  // end the sequence: the next filtered frame starts a new one.
  const bool jump = f->haveTimestamp && (frame->timestamp < f->lastTimestamp ||
                                         frame->timestamp - f->lastTimestamp > kMaxGapNs);
  f->haveTimestamp = true;
  f->lastTimestamp = frame->timestamp;
  if (jump) f->newSequence = true;

  if (f->settings.strength == TNR_OBS_STRENGTH_OFF) {
    f->newSequence = true;
    return frame;
  }

  const Kind kind = kindOf(frame->format);
  if (kind == Kind::Unsupported) {
    f->newSequence = true;
    f->notice(formatName(frame->format) +
              " frames pass unfiltered (NV12, I420, I422, YUY2, UYVY and YVYU are filtered)");
    return frame;
  }
  if (frame->width % 2 || frame->height % 2 || frame->width > 65536 || frame->height > 65536) {
    f->newSequence = true;
    f->notice(std::to_string(frame->width) + "x" + std::to_string(frame->height) +
              " frames pass unfiltered (the filter needs even sizes)");
    return frame;
  }

  TnrMdError err{};
  if (f->poolThreads != f->settings.threads) {
    // The stream runs on the pool: a new pool means a new stream.
    f->dropStream();
    tnrMdThreadPoolDestroy(f->pool);
    f->pool = f->settings.threads == 1 ? nullptr : tnrMdThreadPoolCreate(f->settings.threads);
    f->executor = tnrMdThreadPoolExecutor(f->pool);
    f->poolThreads = f->settings.threads;
  }
  const int w = int(frame->width), h = int(frame->height);
  if (w == f->refusedWidth && h == f->refusedHeight && !settingsChanged) return frame;
  if (!f->stream || w != f->width || h != f->height) {
    f->dropStream();
    const TnrMdParams p = f->params();
    // Without a pool the stream runs on this thread through its serial path.
    if (tnrMdStreamCreate(&f->stream, w, h, &p, f->pool ? &f->executor : nullptr,
                          tnrMdThreadPoolTasks(f->pool), &err) != TNR_MD_OK) {
      f->newSequence = true;
      f->refusedWidth = w;
      f->refusedHeight = h;
      f->notice(std::to_string(w) + "x" + std::to_string(h) +
                " frames pass unfiltered: " + err.message);
      return frame;
    }
    f->width = w;
    f->height = h;
    f->refusedWidth = f->refusedHeight = -1;
    f->newSequence = false;  // a new stream starts a sequence
    settingsChanged = false;
  }
  if (kind != Kind::Nv12) {
    const size_t bytes = size_t(w) * size_t(h) * 3 / 2;
    if (f->work.size() != bytes) f->work.assign(bytes, 0);
  }
  if (kind != f->kind || frame->format != f->format) f->newSequence = true;
  f->kind = kind;
  f->format = frame->format;
  if (f->newSequence) {
    tnrMdStreamReset(f->stream);
    f->newSequence = false;
  }
  if (settingsChanged) {
    const TnrMdParams p = f->params();
    // In range (sanitized); refused only where the spatial stage does not
    // take this frame size, and then the old settings stay.
    if (tnrMdStreamSetParams(f->stream, &p, &err) != TNR_MD_OK)
      f->notice(std::string("settings kept: ") + err.message);
  }

  int rc = TNR_MD_OK;
  switch (kind) {
    case Kind::Nv12:
      rc = processNv12(f, frame, &err);
      break;
    case Kind::I420:
      rc = processI420(f, frame, &err);
      break;
    case Kind::Packed422:
      if (frame->format == VIDEO_FORMAT_YUY2)  // Y0 U Y1 V
        rc = processPacked422<0, 2, 1, 3>(f, frame, &err);
      else if (frame->format == VIDEO_FORMAT_UYVY)  // U Y0 V Y1
        rc = processPacked422<1, 3, 0, 2>(f, frame, &err);
      else  // YVYU: Y0 V Y1 U
        rc = processPacked422<0, 2, 3, 1>(f, frame, &err);
      break;
    case Kind::I422:
      rc = processI422(f, frame, &err);
      break;
    default:
      break;
  }
  if (rc != TNR_MD_OK) {
    f->newSequence = true;
    f->notice(formatName(frame->format) + " frame passes unfiltered: " + err.message);
    return frame;
  }
  f->lastNotice.clear();
  ++f->filtered;
  return frame;
}

}  // extern "C"
