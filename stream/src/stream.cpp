// The sequence logic around motion_detect and spatial_denoise, once, for every
// front end. C++ inside, C linkage outside: no exception leaves a function of
// tnr_md_stream.h (an allocation failure becomes TNR_MD_ERROR_MEMORY).
#include "tnr_md_stream.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <new>
#include <vector>

namespace {

// Spatial strength in 1/16 of the noise sigma, rounded as every front end
// has always rounded it.
int spatialStrength(float spatial) { return static_cast<int>(std::lround(spatial * 16.0f)); }

int fail(TnrMdError *error, int code, const char *format, ...) {
  if (error) {
    error->code = code;
    va_list args;
    va_start(args, format);
    std::vsnprintf(error->message, sizeof error->message, format, args);
    va_end(args);
  }
  return code;
}

int ok(TnrMdError *error) {
  if (error) {
    error->code = TNR_MD_OK;
    error->message[0] = '\0';
  }
  return TNR_MD_OK;
}

// A range check of one float tuning value; NaN fails.
bool inRange(float v, float lo, float hi) { return v >= lo && v <= hi; }

// Copies `rows` rows of `bytes` bytes between planes at their pitches.
void copyRows(uint8_t *dst, ptrdiff_t dstPitch, const uint8_t *src, ptrdiff_t srcPitch, int rows,
              size_t bytes) {
  if (rows <= 0 || bytes == 0) return;
  if (dstPitch == srcPitch && static_cast<size_t>(srcPitch) == bytes) {
    std::memcpy(dst, src, bytes * static_cast<size_t>(rows));
    return;
  }
  for (int r = 0; r < rows; ++r) std::memcpy(dst + r * dstPitch, src + r * srcPitch, bytes);
}

// A frame in the library's layout: `rows` luma rows at `pitch`, then rows / 2
// chroma rows at the same pitch.
struct Geometry {
  ptrdiff_t pitch = 0;
  int rows = 0;
  size_t bytes() const { return static_cast<size_t>(pitch) * static_cast<size_t>(rows) * 3 / 2; }
  bool operator==(const Geometry &o) const { return pitch == o.pitch && rows == o.rows; }
  bool operator!=(const Geometry &o) const { return !(*this == o); }
};

struct OwnFrame {
  std::vector<uint8_t> data;
  Geometry geo;
  uint8_t *luma() { return data.data(); }
  uint8_t *chroma() { return data.data() + static_cast<size_t>(geo.pitch) * geo.rows; }
};

// The planes of an image as one frame of the library, if they are one: both
// strides one even pitch of at least the width, the chroma plane an even
// number of luma rows (at least the height) after the luma plane, the whole
// frame of those rows within span and within the int sizes the library takes.
bool libraryFrame(const TnrMdImage &img, int width, int height, Geometry *geo) {
  const ptrdiff_t pitch = img.luma_stride;
  if (img.span == 0 || img.chroma_stride != pitch || (pitch & 1) || pitch < width) return false;
  const uintptr_t y = reinterpret_cast<uintptr_t>(img.luma);
  const uintptr_t uv = reinterpret_cast<uintptr_t>(img.chroma);
  if (uv <= y) return false;
  const uintptr_t offset = uv - y;
  const uintptr_t p = static_cast<uintptr_t>(pitch);
  if (offset % p) return false;
  const uintptr_t rows = offset / p;
  if ((rows & 1) || rows < static_cast<uintptr_t>(height)) return false;
  // rows x 3 / 2 x pitch within span and INT_MAX (no overflow: rows <= span / pitch).
  if (rows > img.span / p) return false;
  const uintptr_t total = p * (rows + rows / 2);
  if (rows + rows / 2 > img.span / p || total > img.span || total > static_cast<uintptr_t>(INT_MAX))
    return false;
  geo->pitch = pitch;
  geo->rows = static_cast<int>(rows);
  return true;
}

// Byte range [first, last) of a plane of `rows` rows of `bytes` at `pitch`.
bool overlaps(const uint8_t *a, ptrdiff_t aPitch, int aRows, const uint8_t *b, ptrdiff_t bPitch,
              int bRows, size_t bytes) {
  const uintptr_t a0 = reinterpret_cast<uintptr_t>(a);
  const uintptr_t a1 = a0 + static_cast<uintptr_t>(aPitch) * (aRows - 1) + bytes;
  const uintptr_t b0 = reinterpret_cast<uintptr_t>(b);
  const uintptr_t b1 = b0 + static_cast<uintptr_t>(bPitch) * (bRows - 1) + bytes;
  return a0 < b1 && b0 < a1;
}

const char *const kPresetNames[TNR_MD_PRESET_COUNT] = {"light", "medium", "strong"};

// The tuning of each preset, measured on real footage (vtest.avi, 768x576,
// 60 frames, Gaussian noise of sigma 4 and 8; docs/stream.md): mean luma PSNR
// at sigma 4 / 8, and the change of the PSNR over moving pixels against the
// noisy input, which a trail lowers.
struct Tuning {
  float sigmaH, sigmaL, uvRatio, spatial;
};
const Tuning kPresets[TNR_MD_PRESET_COUNT] = {
    // 42.00 / 35.36 dB; moving +0.38 / +1.38 dB, half the medium's pixels off
    // by more than four sigmas there: more noise left, no trails.
    {0.8f, 0.06f, 0.75f, 3.0f},
    // 42.94 / 39.31 dB; moving +0.20 / +1.42 dB: the defaults.
    {1.1f, 0.12f, 0.75f, 5.0f},
    // 42.98 / 39.69 dB; moving -0.18 / +1.31 dB: the best mean of the tunings
    // whose moving areas stay within half a dB of the noisy input.
    {1.0f, 0.16f, 0.75f, 6.0f},
};

}  // namespace

struct TnrMdStream {
  int width = 0, height = 0;  // the frame
  int gridW = 0, gridH = 0;   // the processing grid
  TnrMdParams params{};
  bool parallel = false;
  TnrMdExecutor executor{};
  int tasks = 1;
  bool spatialAccepted = false;  // spatial_denoise takes the packed frame's sizes
  // The previous (temporally filtered) frame in the layout of the frames
  // filtered where they lie, or packed; work is the packed copy of a frame
  // whose layout the library cannot take (allocated at the first such frame).
  OwnFrame prev, work;
  std::vector<int16_t> scratch;
  std::vector<uint8_t> staticRatio, weight, gain;
  int64_t frames = 0;
  int noiseLevel = 0;
  // Camera motion: whether the grid can be aligned, the estimator's scratch,
  // the shift's rows, the moved previous frame (the geometry of prev) and
  // maps (swapped with weight and gain), and the last frame's motion.
  bool alignable = false;
  std::vector<uint8_t> estimateScratch, shiftedFrame, shiftedWeight, shiftedGain;
  std::vector<int16_t> shiftRows;
  TnrMdMotion motion{0, 0, 0, 0};
  bool aligned = false;

  Geometry packed() const { return Geometry{width, height}; }
  int chromaGridRows() const { return (gridH + 1) / 2; }
  // Copies what the library reads of a previous frame: the grid's rows, the
  // frame's width of them (luma rows 0 .. gridH - 1, chroma rows up to the
  // grid's last luma row).
  void copyGrid(uint8_t *dstY, uint8_t *dstUv, ptrdiff_t dstPitch, const uint8_t *srcY,
                const uint8_t *srcUv, ptrdiff_t srcPitch) const {
    copyRows(dstY, dstPitch, srcY, srcPitch, gridH, static_cast<size_t>(width));
    copyRows(dstUv, dstPitch, srcUv, srcPitch, chromaGridRows(), static_cast<size_t>(width));
  }
  void resetMaps() {
    frames = 0;
    noiseLevel = 0;
    motion = TnrMdMotion{0, 0, 0, 0};
    aligned = false;
    std::fill(staticRatio.begin(), staticRatio.end(), 0);
    std::fill(weight.begin(), weight.end(), 0);  // no history: the full blend ramp
    std::fill(gain.begin(), gain.end(), static_cast<uint8_t>(params.start_gain));
  }
  // Moves the history with the camera: returns the previous frame the
  // temporal stage compares with (pre itself, or the moved copy).
  uint8_t *align(uint8_t *cur, uint8_t *pre, Geometry geo) {
    motion = TnrMdMotion{0, 0, 0, 0};
    aligned = false;
    if (!params.align || !alignable || frames == 0) return pre;
    motionEstimate(pre, geo.pitch, cur, geo.pitch, gridH, gridW, estimateScratch.data(), &motion);
    if (!motion.valid || (motion.dx == 0 && motion.dy == 0)) return pre;
    historyShift(pre, cur, shiftedFrame.data(), weight.data(), shiftedWeight.data(), gain.data(),
                 shiftedGain.data(), shiftRows.data(), geo.rows, static_cast<int>(geo.pitch), gridH,
                 gridW, gridW, motion.dx, motion.dy, params.start_gain);
    weight.swap(shiftedWeight);
    gain.swap(shiftedGain);
    aligned = true;
    return shiftedFrame.data();
  }
  void temporal(uint8_t *cur, uint8_t *pre, Geometry geo) {
    const TnrMdParams &p = params;
    pre = align(cur, pre, geo);
    if (parallel)
      motion_detect_parallel(&executor, tasks, cur, pre, scratch.data(), staticRatio.data(),
                             weight.data(), gain.data(), geo.rows, static_cast<int>(geo.pitch),
                             gridH, gridW, gridW, p.sigma_h_scale, p.sigma_l_scale, p.uv_ratio,
                             0.0f, p.static_ratio_bit);
    else
      motion_detect(cur, pre, scratch.data(), staticRatio.data(), weight.data(), gain.data(),
                    geo.rows, static_cast<int>(geo.pitch), gridH, gridW, gridW, p.sigma_h_scale,
                    p.sigma_l_scale, p.uv_ratio, 0.0f, p.static_ratio_bit);
    noiseLevel = motionDetectNoiseLevel(scratch.data(), gridH, gridW, p.uv_ratio);
  }
};

namespace {

// Gives f the geometry; keeps the grid's bytes when keep. Throws
// std::bad_alloc and then leaves f as it was.
void setGeometry(const TnrMdStream &s, OwnFrame &f, Geometry geo, bool keep) {
  if (f.geo == geo && !f.data.empty()) return;
  if (!keep && f.data.size() == geo.bytes()) {
    f.geo = geo;
    return;
  }
  std::vector<uint8_t> data(geo.bytes());
  if (keep && !f.data.empty())
    s.copyGrid(data.data(), data.data() + static_cast<size_t>(geo.pitch) * geo.rows, geo.pitch,
               f.luma(), f.chroma(), f.geo.pitch);
  f.data.swap(data);
  f.geo = geo;
}

int checkImage(const TnrMdStream &s, const TnrMdImage *img, const char *name, TnrMdError *error) {
  if (!img || !img->luma || !img->chroma)
    return fail(error, TNR_MD_ERROR_ARGUMENT, "%s: a null image or plane", name);
  if (img->luma_stride < s.width || img->chroma_stride < s.width)
    return fail(error, TNR_MD_ERROR_LAYOUT,
                "%s: strides (%td luma, %td chroma) must be at least the width %d", name,
                img->luma_stride, img->chroma_stride, s.width);
  if (overlaps(img->luma, img->luma_stride, s.height, img->chroma, img->chroma_stride,
               s.height / 2, static_cast<size_t>(s.width)))
    return fail(error, TNR_MD_ERROR_LAYOUT, "%s: the luma and chroma planes overlap", name);
  return TNR_MD_OK;
}

bool samePlanes(const TnrMdImage &a, const TnrMdImage &b) {
  return a.luma == b.luma && a.chroma == b.chroma && a.luma_stride == b.luma_stride &&
         a.chroma_stride == b.chroma_stride;
}

}  // namespace

extern "C" {

void tnrMdParamsDefault(TnrMdParams *params) {
  if (!params) return;
  params->sigma_h_scale = 1.1f;
  params->sigma_l_scale = 0.12f;
  params->uv_ratio = 0.75f;
  params->static_ratio_bit = 4;
  params->start_gain = 128;
  params->spatial = 5.0f;
  params->grid_width = 0;
  params->grid_height = 0;
  params->align = 1;
}

int tnrMdParamsPreset(TnrMdParams *params, int preset) {
  if (!params || preset < 0 || preset >= TNR_MD_PRESET_COUNT) return TNR_MD_ERROR_PARAMS;
  const Tuning &t = kPresets[preset];
  params->sigma_h_scale = t.sigmaH;
  params->sigma_l_scale = t.sigmaL;
  params->uv_ratio = t.uvRatio;
  params->spatial = t.spatial;
  return TNR_MD_OK;
}

const char *tnrMdPresetName(int preset) {
  return preset >= 0 && preset < TNR_MD_PRESET_COUNT ? kPresetNames[preset] : nullptr;
}

int tnrMdPresetByName(const char *name, int *preset, TnrMdError *error) {
  if (!name || !preset) return fail(error, TNR_MD_ERROR_ARGUMENT, "no preset name");
  char names[64] = "";
  for (int i = 0; i < TNR_MD_PRESET_COUNT; ++i) {
    if (std::strcmp(name, kPresetNames[i]) == 0) {
      *preset = i;
      return ok(error);
    }
    const size_t used = std::strlen(names);
    std::snprintf(names + used, sizeof names - used, "%s%s", i ? ", " : "", kPresetNames[i]);
  }
  // A name too long for the message is cut at the message's end.
  return fail(error, TNR_MD_ERROR_PARAMS, "preset must be one of %s, got '%s'", names, name);
}

int tnrMdParamsCheck(const TnrMdParams *params, TnrMdError *error) {
  if (!params) return fail(error, TNR_MD_ERROR_ARGUMENT, "no parameters");
  const TnrMdParams &p = *params;
  if (!inRange(p.sigma_h_scale, 0.0f, TNR_MD_SIGMA_H_SCALE_MAX))
    return fail(error, TNR_MD_ERROR_PARAMS, "sigma_h_scale must lie in 0 .. %g, got %g",
                static_cast<double>(TNR_MD_SIGMA_H_SCALE_MAX), static_cast<double>(p.sigma_h_scale));
  if (!inRange(p.sigma_l_scale, 0.0f, TNR_MD_SIGMA_L_SCALE_MAX))
    return fail(error, TNR_MD_ERROR_PARAMS,
                "sigma_l_scale must lie in 0 .. %g (larger values wrap the 16-bit low sigma "
                "table), got %g",
                static_cast<double>(TNR_MD_SIGMA_L_SCALE_MAX), static_cast<double>(p.sigma_l_scale));
  if (!inRange(p.uv_ratio, 0.0f, TNR_MD_UV_RATIO_MAX))
    return fail(error, TNR_MD_ERROR_PARAMS,
                "uv_ratio must lie in 0 .. %g (larger values overflow the 16-bit difference "
                "planes), got %g",
                static_cast<double>(TNR_MD_UV_RATIO_MAX), static_cast<double>(p.uv_ratio));
  if (p.static_ratio_bit < 0 || p.static_ratio_bit > 255)
    return fail(error, TNR_MD_ERROR_PARAMS, "static_ratio_bit must lie in 0 .. 255, got %d",
                p.static_ratio_bit);
  if (p.start_gain < 0 || p.start_gain > 255)
    return fail(error, TNR_MD_ERROR_PARAMS, "start_gain must lie in 0 .. 255, got %d",
                p.start_gain);
  if (!inRange(p.spatial, 0.0f, TNR_MD_SPATIAL_MAX))
    return fail(error, TNR_MD_ERROR_PARAMS, "spatial must lie in 0 .. %g, got %g",
                static_cast<double>(TNR_MD_SPATIAL_MAX), static_cast<double>(p.spatial));
  if (p.grid_width < 0 || p.grid_height < 0)
    return fail(error, TNR_MD_ERROR_PARAMS,
                "grid_width and grid_height must be 0 (the whole frame) or positive, got %dx%d",
                p.grid_width, p.grid_height);
  if (p.align != 0 && p.align != 1)
    return fail(error, TNR_MD_ERROR_PARAMS, "align must be 0 or 1, got %d", p.align);
  return ok(error);
}

int tnrMdStreamCreate(TnrMdStream **stream, int width, int height, const TnrMdParams *params,
                      const TnrMdExecutor *executor, int tasks, TnrMdError *error) {
  if (!stream) return fail(error, TNR_MD_ERROR_ARGUMENT, "no place for the stream");
  *stream = nullptr;
  const int rc = tnrMdParamsCheck(params, error);
  if (rc != TNR_MD_OK) return rc;
  if (width <= 0 || height <= 0 || (width & 1) || (height & 1))
    return fail(error, TNR_MD_ERROR_SIZE,
                "width and height must be positive and even (NV12 pairs chroma with 2x2 luma "
                "samples), got %dx%d",
                width, height);
  const int gw = params->grid_width > 0 ? params->grid_width : width;
  const int gh = params->grid_height > 0 ? params->grid_height : height;
  if (gw > width || gh > height)
    return fail(error, TNR_MD_ERROR_SIZE,
                "grid %dx%d does not fit the %dx%d frame: it is the top-left area filtered, at "
                "most the frame",
                gw, gh, width, height);
  const bool parallel = executor != nullptr;
  if (tasks < 1 || !parallel) tasks = 1;
  const size_t scratch = parallel ? motionDetectParallelTmpBufSize(gh, gw, tasks)
                                  : motionDetectTmpBufSize(gh, gw);
  if (scratch == 0) {
    if (12LL * gw * gh >= (1LL << 32))
      return fail(error, TNR_MD_ERROR_SIZE,
                  "processing grid %dx%d is too large for the filter: its scratch buffer (12 "
                  "bytes a sample) must stay below 4 GiB, so at most 357913941 samples (e.g. "
                  "21845x16384)",
                  gw, gh);
    return fail(error, TNR_MD_ERROR_SIZE,
                "processing grid %dx%d is too small: the filter does not accept a %dx%d grid: "
                "grids of at least 14x8 always work (narrower ones from 8x8 only in part)",
                gw, gh, gw, gh);
  }
  const bool spatialAccepted = spatialDenoiseAccepts(height, width, gh, gw, gw) != 0;
  if (params->spatial > 0 && !spatialAccepted)
    return fail(error, TNR_MD_ERROR_SIZE,
                "the spatial stage does not take a %dx%d frame with a %dx%d grid (frames below "
                "2 GiB, grids of at least 8x8)",
                width, height, gw, gh);
  TnrMdStream *s = nullptr;
  try {
    s = new TnrMdStream;
    s->width = width;
    s->height = height;
    s->gridW = gw;
    s->gridH = gh;
    s->params = *params;
    s->parallel = parallel;
    if (parallel) s->executor = *executor;
    s->tasks = tasks;
    s->spatialAccepted = spatialAccepted;
    // The estimator's and the shift's buffers whenever the grid can be
    // aligned, so that turning align on later allocates nothing.
    const size_t estimate = motionEstimateTmpBufSize(gh, gw);
    s->alignable = estimate > 0 && gw % 2 == 0 && gh % 2 == 0 && spatialAccepted;
    if (s->alignable) {
      s->estimateScratch.resize(estimate);
      s->shiftRows.resize(historyShiftTmpBufSize(gw));
      s->shiftedWeight.resize(static_cast<size_t>(gw) * gh);
      s->shiftedGain.resize(static_cast<size_t>(gw) * gh);
    }
    s->scratch.resize(scratch);  // operator new aligns to 16 bytes: the 4 the library needs
    const size_t maps = static_cast<size_t>(gw) * gh;
    s->staticRatio.resize(maps);
    s->weight.resize(maps);
    s->gain.resize(maps);
    // The packed previous frame; a caller whose frames lie in another layout
    // of the library's has it replaced at the first such frame.
    setGeometry(*s, s->prev, s->packed(), false);
    s->resetMaps();
  } catch (const std::bad_alloc &) {
    delete s;
    return fail(error, TNR_MD_ERROR_MEMORY, "cannot allocate the state of a %dx%d stream",
                width, height);
  }
  *stream = s;
  return ok(error);
}

void tnrMdStreamDestroy(TnrMdStream *stream) { delete stream; }

/*
 * The copies per frame (W x H the frame, G its grid's rows):
 *  - the frame in the library's layout, filtered where it lies: motion_detect
 *    filters it in place, then its grid goes to the stream's previous frame
 *    (one copy of the grid). That copy is the price of holding no caller
 *    memory from frame to frame; the spatial stage then writes the caller's
 *    frame from it, so it costs nothing more.
 *  - any other layout: the planes into the stream's packed frame and the result
 *    back (two copies, the frame's planes being where the library cannot
 *    address them), but no previous-frame copy: the packed frame is filtered,
 *    the spatial stage writes into the old previous frame, and the two swap.
 *  - separate output planes: the input is copied into them first when they are
 *    the library's frame (then as the first case), else as the second case.
 *  - the first frame of a sequence is copied once more: it is its own previous.
 */
int tnrMdStreamProcess(TnrMdStream *stream, const TnrMdImage *in, const TnrMdImage *out,
                       TnrMdError *error) {
  if (!stream) return fail(error, TNR_MD_ERROR_ARGUMENT, "no stream");
  TnrMdStream &s = *stream;
  int rc = checkImage(s, in, "in", error);
  if (rc != TNR_MD_OK) return rc;
  const bool separate = out && !samePlanes(*in, *out);
  if (separate) {
    rc = checkImage(s, out, "out", error);
    if (rc != TNR_MD_OK) return rc;
    const size_t w = static_cast<size_t>(s.width);
    const int h = s.height, ch = s.height / 2;
    if (overlaps(in->luma, in->luma_stride, h, out->luma, out->luma_stride, h, w) ||
        overlaps(in->luma, in->luma_stride, h, out->chroma, out->chroma_stride, ch, w) ||
        overlaps(in->chroma, in->chroma_stride, ch, out->luma, out->luma_stride, h, w) ||
        overlaps(in->chroma, in->chroma_stride, ch, out->chroma, out->chroma_stride, ch, w))
      return fail(error, TNR_MD_ERROR_LAYOUT, "out overlaps in");
  }
  const TnrMdImage &target = separate ? *out : *in;
  Geometry geo;
  const bool direct = libraryFrame(target, s.width, s.height, &geo);
  if (!direct) geo = s.packed();
  const TnrMdParams &p0 = s.params;
  // Everything that can fail comes first: the object stays as it was.
  try {
    setGeometry(s, s.prev, geo, s.frames > 0);
    if (!direct) setGeometry(s, s.work, geo, false);
    // The moved previous frame: the geometry of prev (allocated when the
    // geometry first changes, never per frame).
    if (s.alignable && p0.align && s.shiftedFrame.size() != geo.bytes())
      s.shiftedFrame.resize(geo.bytes());
  } catch (const std::bad_alloc &) {
    return fail(error, TNR_MD_ERROR_MEMORY, "cannot allocate a %dx%d frame", s.width, s.height);
  }
  const TnrMdParams &p = s.params;
  const int strength = s.spatialAccepted ? spatialStrength(p.spatial) : 0;
  const size_t w = static_cast<size_t>(s.width);
  const int h = s.height, ch = s.height / 2;
  const ptrdiff_t pitch = geo.pitch;
  uint8_t *const prevY = s.prev.luma(), *const prevUv = s.prev.chroma();
  if (direct) {
    uint8_t *const y = target.luma, *const uv = target.chroma;
    if (separate) {
      copyRows(y, pitch, in->luma, in->luma_stride, h, w);
      copyRows(uv, pitch, in->chroma, in->chroma_stride, ch, w);
    }
    if (s.frames == 0) s.copyGrid(prevY, prevUv, pitch, y, uv, pitch);
    s.temporal(y, prevY, geo);
    // The temporally filtered frame is the next frame's previous one.
    s.copyGrid(prevY, prevUv, pitch, y, uv, pitch);
    if (strength > 0)
      spatial_denoise(prevY, y, s.weight.data(), geo.rows, static_cast<int>(pitch), s.gridH,
                      s.gridW, s.gridW, s.noiseLevel, strength);
  } else {
    uint8_t *const workY = s.work.luma(), *const workUv = s.work.chroma();
    copyRows(workY, pitch, in->luma, in->luma_stride, h, w);
    copyRows(workUv, pitch, in->chroma, in->chroma_stride, ch, w);
    if (s.frames == 0) s.copyGrid(prevY, prevUv, pitch, workY, workUv, pitch);
    s.temporal(workY, prevY, geo);
    // With the spatial stage, its output goes into the previous frame, which
    // the library no longer needs, and from there (its grid) to the caller.
    const uint8_t *resY = workY, *resUv = workUv;
    if (strength > 0) {
      spatial_denoise(workY, prevY, s.weight.data(), h, static_cast<int>(pitch), s.gridH, s.gridW,
                      s.gridW, s.noiseLevel, strength);
      resY = prevY;
      resUv = prevUv;
    }
    // The grid from the result; with separate output planes, the rest from
    // the packed input (where it is unchanged).
    const size_t gw = static_cast<size_t>(s.gridW);
    const int cgr = s.gridH / 2;  // the chroma rows the library filters
    uint8_t *const oy = target.luma, *const ouv = target.chroma;
    const ptrdiff_t oys = target.luma_stride, ouvs = target.chroma_stride;
    if (separate && gw == w) {
      copyRows(oy, oys, resY, pitch, s.gridH, w);
      copyRows(ouv, ouvs, resUv, pitch, cgr, w);
      copyRows(oy + s.gridH * oys, oys, workY + s.gridH * pitch, pitch, h - s.gridH, w);
      copyRows(ouv + cgr * ouvs, ouvs, workUv + cgr * pitch, pitch, ch - cgr, w);
    } else {
      if (separate) {
        copyRows(oy, oys, workY, pitch, h, w);
        copyRows(ouv, ouvs, workUv, pitch, ch, w);
      }
      copyRows(oy, oys, resY, pitch, s.gridH, gw);
      copyRows(ouv, ouvs, resUv, pitch, cgr, gw);
    }
    // The filtered frame becomes the previous one.
    std::swap(s.prev, s.work);
  }
  ++s.frames;
  return ok(error);
}

void tnrMdStreamReset(TnrMdStream *stream) {
  if (stream) stream->resetMaps();
}

void tnrMdStreamResetGain(TnrMdStream *stream) {
  if (stream)
    std::fill(stream->gain.begin(), stream->gain.end(),
              static_cast<uint8_t>(stream->params.start_gain));
}

int tnrMdStreamSetParams(TnrMdStream *stream, const TnrMdParams *params, TnrMdError *error) {
  if (!stream) return fail(error, TNR_MD_ERROR_ARGUMENT, "no stream");
  const int rc = tnrMdParamsCheck(params, error);
  if (rc != TNR_MD_OK) return rc;
  TnrMdStream &s = *stream;
  const int gw = params->grid_width > 0 ? params->grid_width : s.width;
  const int gh = params->grid_height > 0 ? params->grid_height : s.height;
  if (gw != s.gridW || gh != s.gridH)
    return fail(error, TNR_MD_ERROR_PARAMS,
                "the grid (%dx%d) is fixed when the stream is created: %dx%d asked", s.gridW,
                s.gridH, gw, gh);
  if (params->spatial > 0 && !s.spatialAccepted)
    return fail(error, TNR_MD_ERROR_SIZE,
                "the spatial stage does not take a %dx%d frame with a %dx%d grid", s.width,
                s.height, s.gridW, s.gridH);
  s.params = *params;
  return ok(error);
}

void tnrMdStreamGetParams(const TnrMdStream *stream, TnrMdParams *params) {
  if (stream && params) *params = stream->params;
}

void tnrMdStreamMaps(const TnrMdStream *stream, TnrMdMaps *maps) {
  if (!maps) return;
  if (!stream) {
    std::memset(maps, 0, sizeof *maps);
    return;
  }
  maps->static_ratio = stream->staticRatio.data();
  maps->weight = stream->weight.data();
  maps->gain = stream->gain.data();
  maps->width = stream->gridW;
  maps->height = stream->gridH;
  maps->stride = stream->gridW;
}

void tnrMdStreamStats(const TnrMdStream *stream, TnrMdFrameStats *stats) {
  if (!stats) return;
  std::memset(stats, 0, sizeof *stats);
  if (!stream || stream->frames == 0) return;
  uint64_t ratio = 0, gain = 0;
  const size_t n = stream->staticRatio.size();
  for (size_t i = 0; i < n; ++i) {
    ratio += stream->staticRatio[i];
    gain += stream->gain[i];
  }
  stats->frames = stream->frames;
  stats->mean_static_ratio = static_cast<double>(ratio) / (128.0 * static_cast<double>(n));
  stats->mean_gain = static_cast<double>(gain) / static_cast<double>(n);
  stats->motion_x = stream->motion.dx / static_cast<double>(TNR_MD_MOTION_UNIT);
  stats->motion_y = stream->motion.dy / static_cast<double>(TNR_MD_MOTION_UNIT);
  stats->motion_confidence = stream->motion.confidence / 256.0;
  stats->aligned = stream->aligned ? 1 : 0;
  stats->noise_level = stream->noiseLevel;
}

unsigned tnrMdVersion(void) {
  return (TNR_MD_VERSION_MAJOR << 16) | (TNR_MD_VERSION_MINOR << 8) | TNR_MD_VERSION_PATCH;
}

const char *tnrMdVersionString(void) { return TNR_MD_VERSION_STRING; }

}  // extern "C"
