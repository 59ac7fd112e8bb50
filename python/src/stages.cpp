// The library's exported building blocks on numpy arrays. Each function
// allocates its outputs and returns them; in-place stages (extend_border,
// upscale, motion_detect) write into the caller's arrays and nowhere else.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <cmath>
#include <cstring>
#include <string>
#include <vector>

#include "arrays.h"
#include "denoiser.h"
#include "motion_detect.h"

namespace tnr_py {

namespace {

std::string dims(int w, int h) { return std::to_string(w) + "x" + std::to_string(h); }

float finite(double v, const char *name) {
  if (!std::isfinite(v))
    throw py::value_error(std::string(name) + " must be a finite number, got " +
                          std::string(py::repr(py::float_(v))));
  return static_cast<float>(v);
}

// Two NV12 frames of one size, read by a stage: the caller's memory where it
// is laid out as the library's frame at one pitch, else packed copies.
struct FramePair {
  int width = 0, height = 0;
  Plane curLuma, curChroma, prevLuma, prevChroma;
  FrameRef cur, prev;
  std::vector<uint8_t> curStore, prevStore;
};

// The size of an NV12 frame array: (height * 3 // 2, width), both even.
void frameSize(const Plane &f, const char *name, int &width, int &height) {
  // rows = height * 3 / 2 with an even height: a multiple of 3.
  if (f.rows % 3 != 0 || (f.cols & 1))
    throw py::value_error(std::string(name) +
                          ": an NV12 frame is an array of shape (height * 3 // 2, width) with "
                          "even width and height, got shape (" +
                          std::to_string(f.rows) + ", " + std::to_string(f.cols) + ")");
  width = f.cols;
  height = f.rows * 2 / 3;
}

// packedPitch: the stage takes the frame width as its pitch, so only packed
// frames can be passed.
void loadFrames(FramePair &p, const py::object &cur, const py::object &prev, Access curAccess,
                bool packedPitch) {
  const Plane c = checkPlane(cur, "cur", Elem::U8, -1, -1, curAccess,
                             "an NV12 frame of height * 3 // 2 rows of width bytes");
  frameSize(c, "cur", p.width, p.height);
  const Plane q =
      checkPlane(prev, "prev", Elem::U8, c.rows, c.cols, Access::Read, "the shape of cur");
  splitFrame(c, p.height, p.curLuma, p.curChroma);
  splitFrame(q, p.height, p.prevLuma, p.prevChroma);
  if (curAccess == Access::Write && overlaps(c, q))
    throw py::value_error("cur and prev overlap in memory");
  const bool direct = canUseDirectly(p.curLuma, p.curChroma, p.height) &&
                      canUseDirectly(p.prevLuma, p.prevChroma, p.height) && c.pitch == q.pitch &&
                      (!packedPitch || c.pitch == c.cols);
  if (direct) {
    p.cur = {c.data, static_cast<int>(c.pitch), true};
    p.prev = {q.data, static_cast<int>(q.pitch), true};
    return;
  }
  // Packed copies of both; a packed current frame is written back.
  Plane noLuma = p.curLuma, noChroma = p.curChroma;
  noLuma.available = noChroma.available = 0;  // forces the copy
  p.cur = frameOf(noLuma, noChroma, p.width, p.height, p.curStore);
  noLuma = p.prevLuma;
  noChroma = p.prevChroma;
  noLuma.available = noChroma.available = 0;
  p.prev = frameOf(noLuma, noChroma, p.width, p.height, p.prevStore);
}

std::pair<int, int> gridOr(const py::object &grid, int width, int height) {
  if (grid.is_none()) return {width, height};
  if (!py::isinstance<py::tuple>(grid) && !py::isinstance<py::list>(grid))
    throw py::type_error("grid must be None or a (width, height) pair of ints");
  const auto seq = py::reinterpret_borrow<py::sequence>(grid);
  if (seq.size() != 2 || !py::isinstance<py::int_>(seq[0]) || !py::isinstance<py::int_>(seq[1]))
    throw py::type_error("grid must be a (width, height) pair of ints, got " +
                         std::string(py::repr(grid)));
  const long long gw = seq[0].cast<long long>(), gh = seq[1].cast<long long>();
  if (gw <= 0 || gh <= 0 || gw > width || gh > height)
    throw py::value_error("grid " + std::string(py::repr(grid)) + " does not fit the " +
                          dims(width, height) + " frame (the top-left area processed)");
  return {static_cast<int>(gw), static_cast<int>(gh)};
}

template <typename T>
py::array_t<T> zeros(int rows, int cols) {
  auto a = newArray<T>(rows, cols);
  std::memset(a.mutable_data(), 0, sizeof(T) * static_cast<size_t>(rows) * cols);
  return a;
}

template <typename T>
T *ptr(py::array_t<T> &a) {
  return a.mutable_data();
}

// A compact (rows, cols) array from rows at `pitch` elements.
template <typename T>
py::array_t<T> compact(const T *src, int rows, int cols, ptrdiff_t pitch) {
  auto a = newArray<T>(rows, cols);
  copyRows(reinterpret_cast<uint8_t *>(a.mutable_data()), static_cast<ptrdiff_t>(sizeof(T)) * cols,
           reinterpret_cast<const uint8_t *>(src), static_cast<ptrdiff_t>(sizeof(T)) * pitch, rows,
           sizeof(T) * static_cast<size_t>(cols));
  return a;
}

// The rows of a checked plane, packed at `pitch` elements, into `dst`.
template <typename T>
void pack(std::vector<T> &dst, const Plane &p, int pitch) {
  dst.assign(static_cast<size_t>(pitch) * p.rows + 64 / sizeof(T), T{});
  copyRows(reinterpret_cast<uint8_t *>(dst.data()), static_cast<ptrdiff_t>(sizeof(T)) * pitch,
           p.data, p.pitch, p.rows, p.rowBytes());
}

// A bordered int16 input plane: `border` samples on every side of at least
// one valid sample.
Plane borderedInput(const py::object &obj, const char *name, int border) {
  const std::string hint = "a plane with a filled border of " + std::to_string(border) +
                           " on every side around at least one sample";
  const Plane p = checkPlane(obj, name, Elem::I16, -1, -1, Access::Read, hint);
  if (p.rows <= 2 * border || p.cols <= 2 * border)
    throw py::value_error(std::string(name) + ": expected " + hint + ", so at least " +
                          dims(2 * border + 1, 2 * border + 1) + " elements, got shape (" +
                          std::to_string(p.rows) + ", " + std::to_string(p.cols) + ")");
  return p;
}

void checkGridAccepted(int gw, int gh) {
  if (gw < 8 || gh < 8 || motionDetectTmpBufSize(gh, gw) == 0)
    throw py::value_error("the filter does not accept a " + dims(gw, gh) +
                          " grid: grids of at least 14x8 are accepted");
}

const char *kDiff8Doc = R"doc(cal_diff_and_downscale_8x8(cur, prev, uv_ratio=0.75, grid=None)
    -> (hdiff, ldiff, sigma)

The frame difference that the filter runs first: current minus previous
NV12 frame over the processing grid, per sample and per 8x8 block.

cur, prev  NV12 frames, uint8 arrays of shape (height * 3 // 2, width).
uv_ratio   weight of the chroma differences (1.0 = as much as luma).
grid       None (the whole frame) or (grid_width, grid_height), at least 8x8.

Returns three int16 planes with the borders the next stages read, left 0
(extend_border fills them as the filter does):
hdiff  (grid_height + 2, grid_width + 2), border 1: per grid sample,
       (|dY| + chroma term) x 32.
ldiff  (blocks_y + 2, blocks_x + 2), border 1: per 8x8 block, the absolute
       values of the block's summed signed differences.
sigma  (blocks_y + 8, blocks_x + 8), border 4: per block, how much of the
       block's difference cancels out (its noise measure).
blocks_x = (grid_width + 7) // 8, blocks_y = (grid_height + 7) // 8; a
partial last block is a full block moved back to end at the grid's edge.)doc";

const char *kDiffDoc = R"doc(cal_diff_and_downscale(cur, prev) -> (hdiff, ldiff, sigma)

The unweighted difference variant over the whole frame: the first 4 rows
of every 8-row band, two 4x4 patch entries per 8-column block.

cur, prev  NV12 frames, uint8 arrays of shape (height * 3 // 2, width),
           width and height even and at least 8.

Returns int16 planes with a border of 1, left 0:
hdiff  (height + 2, width + 2): |dY| + |dU| + |dV| on the rows read (rows
       4 .. 7 of each band stay 0).
ldiff  (bands + 2, 2 * blocks + 2): per 4x4 patch, the absolute values of
       the summed signed differences, each sum >> 6.
sigma  same shape as ldiff: per patch, the gap between the summed absolute
       differences and ldiff.
bands = (height + 7) // 8, blocks = (width + 7) // 8.)doc";

const char *kCalDiffDoc = R"doc(cal_diff(cur, prev, uv_ratio=0.75, light_clip=0.0, grid=None)
    -> (hdiff, ldiff, sigma, raw, cell_means)

The scalar difference variant with a 32x32 light-change estimate removed.

cur, prev   NV12 frames, uint8 arrays of shape (height * 3 // 2, width).
uv_ratio    weight of the chroma differences.
light_clip  bound on each difference's share of the cell means (its
            integer part); 0 disables the light compensation.
grid        None or (grid_width, grid_height), even, at least 32x32.

Returns hdiff, ldiff and sigma as cal_diff_and_downscale_8x8 does, and
raw         int16 (grid_height + grid_height // 2, grid_width): the raw
            differences, luma rows then chroma rows byte for byte.
cell_means  int16 (3, cells_y, cells_x): mean Y, U and V difference of
            every 32x32 cell; cells_x = (grid_width + 31) // 32.)doc";

const char *kBorderDoc = R"doc(extend_border(plane, ext_x, ext_y=None) -> plane

Fills the border of an int16 plane in place: its ext_x outer columns on
either side and ext_y outer rows (default ext_x) take the nearest valid
sample, corners the corner sample. Returns the same array.

plane  writeable int16 array of shape (rows, cols), rows > 2 * ext_y and
       cols > 2 * ext_x; rows may be padded.)doc";

const char *kGauss3Doc = R"doc(gauss3x3(plane) -> smoothed

1-2-1 x 1-2-1 smoothing, rounded: (sum + 8) >> 4.

plane     int16 array of shape (h + 2, w + 2): h x w valid samples with a
          filled border of 1 (extend_border(plane, 1)).
smoothed  new int16 array of shape (h, w).)doc";

const char *kGauss9Doc = R"doc(gauss9x9(plane) -> smoothed

The scalar 5x5 Gaussian smoothing normalised to 1024: (sum + 512) >> 10.

plane     int16 array of shape (h + 4, w + 4): h x w valid samples with a
          filled border of 2.
smoothed  new int16 array of shape (h, w).)doc";

const char *kSigmaDoc = R"doc(sigma_tables(sigma, sigma_h=1.1, sigma_l=0.12) -> (low, high)

Smooths the block sigma plane with the separable 9-tap kernel and scales
it into the two noise tables the filter compares differences with.

sigma  int16 array of shape (blocks_y + 8, blocks_x + 8): the block sigma
       with a filled border of 4 (extend_border(sigma, 4)).
low    new uint16 array (blocks_y, blocks_x): the block-level sigma,
       round(v x sigma_l x 8/7), at least 32, its low 16 bits.
high   new uint32 array (blocks_y, blocks_x): the per-pixel sigma,
       round(v x sigma_h x 8/7), at least 32.)doc";

const char *kUpscaleDoc =
    R"doc(upscale(cur, prev, ldiff, hdiff, sigma_low, sigma_high, weight, gain,
        static_ratio_bit=4) -> static_ratio

The filter's last stage: block motion alpha from the smoothed block
difference and the low sigma, upsampled bilinearly, times each pixel's
alpha from the smoothed per-pixel difference and the high sigma; then the
recursive weight update, the blend of prev into cur, the static-ratio map
and the gain scaling.

cur         NV12 frame, uint8 (height * 3 // 2, width): filtered in place.
prev        previous frame, same shape; read.
ldiff       int16 (blocks_y, blocks_x): smoothed block difference
            (gauss3x3 of the bordered ldiff).
hdiff       int16 (grid_height, grid_width): smoothed per-sample
            difference (gauss3x3 of the bordered hdiff); its shape is the
            processing grid, at least 14x8.
sigma_low   uint16 (blocks_y, blocks_x); sigma_high uint32, same shape
            (sigma_tables).
weight      uint8 (grid_height, grid_width), 0 .. 128: recursive blend
            weight, updated in place.
gain        uint8, same shape: gain table, scaled in place.
Returns the static-ratio map, a new uint8 (grid_height, grid_width).)doc";

const char *kMotionDoc = R"doc(motion_detect(cur, prev, weight, gain, sigma_h=1.1, sigma_l=0.12,
              uv_ratio=0.75, static_ratio_bit=4) -> static_ratio

One frame of the filter on caller-owned arrays, as the C entry point: cur
is filtered in place against prev, weight (the recursive blend weight,
zeros at the start of a sequence) and gain are updated in place.

cur, prev      NV12 frames, uint8 (height * 3 // 2, width).
weight, gain   uint8 (grid_height, grid_width): their shape is the
               processing grid, the top-left area filtered.
Returns the static-ratio map, a new uint8 (grid_height, grid_width).
Denoiser keeps prev, weight and gain for you.)doc";

// A filter of the int16 plane inside a border of b samples on every side
// (gauss3x3Filter: 1, gauss9x9Filter: 2), into a compact (rows, cols) array.
py::array_t<int16_t> borderedFilter(const py::object &plane, int b,
                                    void (*filter)(int16_t *, int16_t *, int, int, int)) {
  const Plane p = borderedInput(plane, "plane", b);
  const int h = p.rows - 2 * b, w = p.cols - 2 * b, stride = static_cast<int>(p.pitch / 2);
  std::vector<int16_t> out(static_cast<size_t>(stride) * h);
  {
    py::gil_scoped_release release;
    filter(reinterpret_cast<int16_t *>(p.row(b)) + b, out.data(), h, w, stride);
  }
  return compact(out.data(), h, w, stride);
}

// The one pitch of weight, gain and the map the pass writes: the caller's
// where weight and gain share it, else the grid's width (packed copies).
int mapStride(const Plane &wt, const Plane &gn, int gw) {
  return wt.pitch == gn.pitch ? static_cast<int>(wt.pitch) : gw;
}

// Weight, gain and the map the pass writes, at one pitch, as the library
// takes them: the caller's arrays where weight and gain share a pitch, else
// packed copies of both, which finish() writes back.
struct GridMaps {
  const Plane &wt, &gn;
  int gw, gh;
  bool direct = wt.pitch == gn.pitch;
  int stride = mapStride(wt, gn, gw);
  std::vector<uint8_t> packed;
  uint8_t *weight = wt.data, *gain = gn.data;

  GridMaps(const Plane &w, const Plane &g, int cols, int rows) : wt(w), gn(g), gw(cols), gh(rows) {
    if (direct) return;
    packed.resize(2 * static_cast<size_t>(gw) * gh);
    weight = packed.data();
    gain = packed.data() + static_cast<size_t>(gw) * gh;
    copyRows(weight, gw, wt.data, wt.pitch, gh, gw);
    copyRows(gain, gw, gn.data, gn.pitch, gh, gw);
  }
  void finish() {
    if (direct) return;
    copyRows(wt.data, wt.pitch, weight, gw, gh, gw);
    copyRows(gn.data, gn.pitch, gain, gw, gh, gw);
  }
};

// Weight and gain, which the call writes, overlap neither each other nor a frame.
void checkMapsApart(const Plane &wt, const Plane &gn, const FramePair &f) {
  if (overlaps(wt, gn)) throw py::value_error("weight and gain overlap in memory");
  for (const Plane *fp : {&f.curLuma, &f.curChroma, &f.prevLuma, &f.prevChroma})
    for (const Plane *mp : {&wt, &gn})
      if (overlaps(*fp, *mp)) throw py::value_error("weight or gain overlaps a frame");
}

}  // namespace

void addStages(py::module_ &m) {
  m.def(
      "scratch_size",
      [](int gridWidth, int gridHeight) { return motionDetectTmpBufSize(gridHeight, gridWidth); },
      py::arg("grid_width"), py::arg("grid_height"),
      "Scratch elements (int16) the filter needs for a grid, 0 for a grid it does not accept.");

  m.def(
      "cal_diff_and_downscale_8x8",
      [](const py::object &cur, const py::object &prev, double uvRatio, const py::object &grid) {
        FramePair f;
        loadFrames(f, cur, prev, Access::Read, false);
        const auto [gw, gh] = gridOr(grid, f.width, f.height);
        if (gw < 8 || gh < 8)
          throw py::value_error("the grid must be at least 8x8, got " + dims(gw, gh));
        const float uv = finite(uvRatio, "uv_ratio");
        const int lw = (gw + 7) / 8, lh = (gh + 7) / 8;
        auto hdiff = zeros<int16_t>(gh + 2, gw + 2);
        auto ldiff = zeros<int16_t>(lh + 2, lw + 2);
        auto sigma = zeros<int16_t>(lh + 8, lw + 8);
        int16_t *ph = ptr(hdiff), *pl = ptr(ldiff), *ps = ptr(sigma);
        {
          py::gil_scoped_release release;
          calDiffAndDownScale8x8(f.cur.data, f.prev.data, pl, ph, ps, f.height, f.cur.pitch, gh, gw,
                                 lw + 2, lw + 8, uv);
        }
        return py::make_tuple(hdiff, ldiff, sigma);
      },
      py::arg("cur"), py::arg("prev"), py::arg("uv_ratio") = 0.75, py::arg("grid") = py::none(),
      kDiff8Doc);

  m.def(
      "cal_diff_and_downscale",
      [](const py::object &cur, const py::object &prev) {
        FramePair f;
        loadFrames(f, cur, prev, Access::Read, true);
        if (f.width < 8 || f.height < 8)
          throw py::value_error("cal_diff_and_downscale needs frames of at least 8x8, got " +
                                dims(f.width, f.height));
        const int bands = (f.height + 7) / 8, blocks = (f.width + 7) / 8;
        const int stride = 2 * blocks + 2;
        auto hdiff = zeros<int16_t>(f.height + 2, f.width + 2);
        auto ldiff = zeros<int16_t>(bands + 2, stride);
        auto sigma = zeros<int16_t>(bands + 2, stride);
        int16_t *ph = ptr(hdiff), *pl = ptr(ldiff), *ps = ptr(sigma);
        {
          py::gil_scoped_release release;
          calDiffAndDownScale(f.cur.data, f.prev.data, pl, ph, ps, f.height, f.width, stride);
        }
        return py::make_tuple(hdiff, ldiff, sigma);
      },
      py::arg("cur"), py::arg("prev"), kDiffDoc);

  m.def(
      "cal_diff",
      [](const py::object &cur, const py::object &prev, double uvRatio, double lightClip,
         const py::object &grid) {
        FramePair f;
        loadFrames(f, cur, prev, Access::Read, false);
        const auto [gw, gh] = gridOr(grid, f.width, f.height);
        if (gw < 32 || gh < 32 || (gw & 1) || (gh & 1))
          throw py::value_error("cal_diff needs an even grid of at least 32x32, got " +
                                dims(gw, gh));
        const float uv = finite(uvRatio, "uv_ratio");
        const float clip = finite(lightClip, "light_clip");
        const int lw = (gw + 7) / 8, lh = (gh + 7) / 8;
        const int cw = (gw + 31) >> 5, ch = (gh + 31) >> 5;
        auto hdiff = zeros<int16_t>(gh + 2, gw + 2);
        auto ldiff = zeros<int16_t>(lh + 2, lw + 2);
        auto sigma = zeros<int16_t>(lh + 8, lw + 8);
        auto raw = zeros<int16_t>(gh + gh / 2, gw);
        py::array_t<int16_t> means({3, ch, cw});
        std::memset(means.mutable_data(), 0, sizeof(int16_t) * 3 * ch * cw);
        int16_t *ph = ptr(hdiff), *pl = ptr(ldiff), *ps = ptr(sigma), *pr = ptr(raw),
                *pm = means.mutable_data();
        {
          py::gil_scoped_release release;
          calDiff(f.cur.data, f.prev.data, pl, ph, ps, pr, pm, f.height, f.cur.pitch, gh, gw,
                  lw + 2, lw + 8, uv, clip);
        }
        return py::make_tuple(hdiff, ldiff, sigma, raw, means);
      },
      py::arg("cur"), py::arg("prev"), py::arg("uv_ratio") = 0.75, py::arg("light_clip") = 0.0,
      py::arg("grid") = py::none(), kCalDiffDoc);

  m.def(
      "extend_border",
      [](const py::object &plane, int extX, const py::object &extYObj) {
        const int extY = extYObj.is_none() ? extX : extYObj.cast<int>();
        const Plane p = checkPlane(plane, "plane", Elem::I16, -1, -1, Access::Write);
        if (extX < 0 || extY < 0)
          throw py::value_error("ext_x and ext_y must be >= 0, got " + std::to_string(extX) +
                                " and " + std::to_string(extY));
        if (p.cols <= 2 * extX || p.rows <= 2 * extY)
          throw py::value_error("plane: a border of " + std::to_string(extX) + " columns and " +
                                std::to_string(extY) + " rows needs shape of at least (" +
                                std::to_string(2 * extY + 1) + ", " + std::to_string(2 * extX + 1) +
                                "), got (" + std::to_string(p.rows) + ", " +
                                std::to_string(p.cols) + ")");
        {
          py::gil_scoped_release release;
          if (p.pitch == static_cast<ptrdiff_t>(p.rowBytes())) {
            extendImgBorder(reinterpret_cast<int16_t *>(p.data), p.cols, p.rows, extX, extY);
          } else {
            // The library's plane pitch is its width: padded rows go through a
            // packed copy, written back.
            std::vector<int16_t> packed;
            pack(packed, p, p.cols);
            extendImgBorder(packed.data(), p.cols, p.rows, extX, extY);
            copyRows(p.data, p.pitch, reinterpret_cast<const uint8_t *>(packed.data()),
                     static_cast<ptrdiff_t>(p.rowBytes()), p.rows, p.rowBytes());
          }
        }
        return plane;
      },
      py::arg("plane"), py::arg("ext_x"), py::arg("ext_y") = py::none(), kBorderDoc);

  m.def(
      "gauss3x3", [](const py::object &plane) { return borderedFilter(plane, 1, gauss3x3Filter); },
      py::arg("plane"), kGauss3Doc);

  m.def(
      "gauss9x9", [](const py::object &plane) { return borderedFilter(plane, 2, gauss9x9Filter); },
      py::arg("plane"), kGauss9Doc);

  m.def(
      "sigma_tables",
      [](const py::object &sigma, double sigmaH, double sigmaL) {
        const Plane p = borderedInput(sigma, "sigma", 4);
        const float sh = finite(sigmaH, "sigma_h"), sl = finite(sigmaL, "sigma_l");
        const int h = p.rows - 8, w = p.cols - 8, stride = static_cast<int>(p.pitch / 2);
        std::vector<int16_t> tmp(static_cast<size_t>(stride) * (h + 8));
        std::vector<uint16_t> low(static_cast<size_t>(stride) * h);
        std::vector<uint32_t> high(static_cast<size_t>(stride) * h);
        {
          py::gil_scoped_release release;
          sigmaFilterLut(reinterpret_cast<int16_t *>(p.row(4)) + 4, tmp.data(), low.data(),
                         high.data(), sh, sl, h, w, stride);
        }
        return py::make_tuple(compact(low.data(), h, w, stride),
                              compact(high.data(), h, w, stride));
      },
      py::arg("sigma"), py::arg("sigma_h") = 1.1, py::arg("sigma_l") = 0.12, kSigmaDoc);

  m.def(
      "upscale",
      [](const py::object &cur, const py::object &prev, const py::object &ldiffObj,
         const py::object &hdiffObj, const py::object &lowObj, const py::object &highObj,
         const py::object &weightObj, const py::object &gainObj, long long staticRatioBit) {
        FramePair f;
        loadFrames(f, cur, prev, Access::Write, false);
        const Plane hd = checkPlane(hdiffObj, "hdiff", Elem::I16, -1, -1, Access::Read,
                                    "the processing grid: grid_height, grid_width");
        const int gw = hd.cols, gh = hd.rows;
        if (gw > f.width || gh > f.height)
          throw py::value_error("hdiff: the grid " + dims(gw, gh) + " does not fit the " +
                                dims(f.width, f.height) + " frame");
        checkGridAccepted(gw, gh);
        const int lw = (gw + 7) / 8, lh = (gh + 7) / 8;
        const Plane ld = checkPlane(ldiffObj, "ldiff", Elem::I16, lh, lw, Access::Read,
                                    "blocks_y, blocks_x of the grid");
        const Plane lo = checkPlane(lowObj, "sigma_low", Elem::U16, lh, lw, Access::Read,
                                    "blocks_y, blocks_x of the grid");
        const Plane hi = checkPlane(highObj, "sigma_high", Elem::U32, lh, lw, Access::Read,
                                    "blocks_y, blocks_x of the grid");
        const Plane wt = checkPlane(weightObj, "weight", Elem::U8, gh, gw, Access::Write,
                                    "the processing grid: grid_height, grid_width");
        const Plane gn = checkPlane(gainObj, "gain", Elem::U8, gh, gw, Access::Write,
                                    "the processing grid: grid_height, grid_width");
        checked([&] { checkStaticRatioBit(staticRatioBit); });
        checkMapsApart(wt, gn, f);
        std::vector<int16_t> ldiff, hdiff;
        std::vector<uint16_t> low;
        std::vector<uint32_t> high;
        std::vector<uint8_t> alpha, rowBuf(static_cast<size_t>(gh) * (lw + 2) + 64);
        {
          py::gil_scoped_release release;
          // The stage reads its planes at the pitches of the filter's layout.
          pack(ldiff, ld, lw + 2);
          pack(hdiff, hd, gw + 2);
          pack(low, lo, lw + 8);
          pack(high, hi, lw + 8);
          GridMaps maps(wt, gn, gw, gh);
          alpha.resize(static_cast<size_t>(maps.stride) * gh);
          upScale(f.cur.data, f.prev.data, ldiff.data(), hdiff.data(), rowBuf.data(), alpha.data(),
                  maps.weight, maps.gain, f.height, f.cur.pitch, gh, gw, maps.stride,
                  static_cast<uint8_t>(staticRatioBit), low.data(), high.data());
          writeBack(f.cur, f.curLuma, f.curChroma, f.width, f.height);
          maps.finish();
        }
        // The map rows at the stage's pitch.
        return compact(alpha.data(), gh, gw, mapStride(wt, gn, gw));
      },
      py::arg("cur"), py::arg("prev"), py::arg("ldiff"), py::arg("hdiff"), py::arg("sigma_low"),
      py::arg("sigma_high"), py::arg("weight"), py::arg("gain"), py::arg("static_ratio_bit") = 4,
      kUpscaleDoc);

  m.def(
      "motion_detect",
      [](const py::object &cur, const py::object &prev, const py::object &weightObj,
         const py::object &gainObj, double sigmaH, double sigmaL, double uvRatio,
         long long staticRatioBit) {
        FramePair f;
        loadFrames(f, cur, prev, Access::Write, false);
        const Plane wt = checkPlane(weightObj, "weight", Elem::U8, -1, -1, Access::Write,
                                    "the processing grid: grid_height, grid_width");
        const int gw = wt.cols, gh = wt.rows;
        const Plane gn =
            checkPlane(gainObj, "gain", Elem::U8, gh, gw, Access::Write, "the shape of weight");
        if (gw > f.width || gh > f.height)
          throw py::value_error("weight: the grid " + dims(gw, gh) + " does not fit the " +
                                dims(f.width, f.height) + " frame");
        checkGridAccepted(gw, gh);
        checked([&] {
          checkSigmaH(sigmaH);
          checkSigmaL(sigmaL);
          checkUvRatio(uvRatio);
          checkStaticRatioBit(staticRatioBit);
        });
        checkMapsApart(wt, gn, f);
        std::vector<int16_t> scratch(motionDetectTmpBufSize(gh, gw));
        std::vector<uint8_t> alpha;
        {
          py::gil_scoped_release release;
          GridMaps maps(wt, gn, gw, gh);
          alpha.resize(static_cast<size_t>(maps.stride) * gh);
          ::motion_detect(f.cur.data, f.prev.data, scratch.data(), alpha.data(), maps.weight,
                          maps.gain, f.height, f.cur.pitch, gh, gw, maps.stride,
                          static_cast<float>(sigmaH),
                          static_cast<float>(sigmaL), static_cast<float>(uvRatio), 0.0f,
                          static_cast<int>(staticRatioBit));
          writeBack(f.cur, f.curLuma, f.curChroma, f.width, f.height);
          maps.finish();
        }
        return compact(alpha.data(), gh, gw, mapStride(wt, gn, gw));
      },
      py::arg("cur"), py::arg("prev"), py::arg("weight"), py::arg("gain"), py::arg("sigma_h") = 1.1,
      py::arg("sigma_l") = 0.12, py::arg("uv_ratio") = 0.75, py::arg("static_ratio_bit") = 4,
      kMotionDoc);
}

}  // namespace tnr_py
