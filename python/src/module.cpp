// tnr_md for Python: the filter as a stateful object (Denoiser) and the
// library's exported stages as functions on numpy arrays (stages.cpp).
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <climits>
#include <cstring>
#include <stdexcept>
#include <string>
#include <utility>

#include "arrays.h"
#include "denoiser.h"

namespace py = pybind11;
using namespace tnr_py;

namespace tnr_py {
void addStages(py::module_ &m);
}

namespace {

int dimension(long long v, const char *name) {
  if (v <= 0 || v > INT_MAX / 4)
    throw py::value_error(std::string(name) + " must be a positive even number, got " +
                          std::to_string(v));
  return static_cast<int>(v);
}

// grid=None: the whole frame; otherwise a (width, height) pair.
std::pair<int, int> gridOf(const py::object &grid) {
  if (grid.is_none()) return {0, 0};
  if (!py::isinstance<py::tuple>(grid) && !py::isinstance<py::list>(grid))
    throw py::type_error("grid must be None or a (width, height) pair of ints, got " +
                         std::string(py::str(py::type::of(grid).attr("__name__"))));
  const auto seq = py::reinterpret_borrow<py::sequence>(grid);
  if (seq.size() != 2 || !py::isinstance<py::int_>(seq[0]) || !py::isinstance<py::int_>(seq[1]))
    throw py::type_error("grid must be a (width, height) pair of ints, got " +
                         std::string(py::repr(grid)));
  const long long gw = seq[0].cast<long long>(), gh = seq[1].cast<long long>();
  if (gw <= 0 || gh <= 0 || gw > INT_MAX || gh > INT_MAX)
    throw py::value_error("grid sizes must be positive, got " + std::string(py::repr(grid)));
  return {static_cast<int>(gw), static_cast<int>(gh)};
}

py::array_t<uint8_t> mapArray(const Denoiser &d, const std::vector<uint8_t> &v) {
  auto a = newArray<uint8_t>(d.gridHeight(), d.gridWidth());
  std::memcpy(a.mutable_data(), v.data(), v.size());
  return a;
}

std::string floatRepr(double v) { return py::repr(py::float_(v)); }

// align: True or False only (1 or "yes" would hide a mistake).
bool alignOf(const py::object &v) {
  if (!py::isinstance<py::bool_>(v))
    throw py::type_error("align must be True or False, got " +
                         std::string(py::str(py::type::of(v).attr("__name__"))));
  return v.cast<bool>();
}

bool defaultAlign() {
  TnrMdParams p;
  tnrMdParamsDefault(&p);
  return p.align != 0;
}

const char *kDenoiserDoc = R"doc(Motion-adaptive temporal noise reduction of an NV12 sequence.

Denoiser(width, height, sigma_h=1.1, sigma_l=0.12, uv_ratio=0.75,
         static_ratio_bit=4, gain=128, grid=None, spatial=5.0, preset=None,
         align=None)

The object keeps what the filter carries from frame to frame: the previous
filtered frame, the per-pixel recursive weights and the gain table. Feed it
the frames of one sequence in order with process(); call reset() at a cut.
The first frame after construction or reset() is its own previous frame
and comes out unchanged.

width, height      frame size in pixels, both even.
sigma_h            scale of the per-pixel noise level, 0 .. 16: higher
                   blends more and trails behind motion sooner.
sigma_l            scale of the per-8x8-block noise level, 0 .. 1.5.
uv_ratio           weight of the chroma differences in the motion measure,
                   0 .. 1.5 (1 = as much as luma).
static_ratio_bit   log2 of the static ratio (x128) at full motion, 0 .. 255
                   (8 and more give 0); changes only the static-ratio map and
                   the gains, never the filtered frames.
gain               start value of the per-pixel gain table, 0 .. 255 (the
                   start_gain property; reset() fills the table with it).
grid               None for the whole frame, or (grid_width, grid_height):
                   only that top-left area is filtered and mapped. Grids of
                   at least 14x8 are accepted.
spatial            strength of the spatial stage after the temporal one,
                   0 .. 15.9 (0 = off): an edge-preserving filter whose
                   threshold at a moving pixel is this many times the noise
                   sigma the library estimates, fading where frames were
                   averaged. The frames handed back are its output; the
                   object keeps the temporal output as the previous frame.

preset             None, or one of the library's named tunings "light",
                   "medium" (the defaults) and "strong": sets sigma_h,
                   sigma_l, uv_ratio and spatial; those given as keywords
                   beside it win.
align              True to move the history with the camera: each frame the
                   picture's motion from the previous one is estimated and,
                   where the estimate is confident, the previous frame, the
                   weights and the gains follow it, so a panning or shaking
                   camera keeps its noise reduction. On a still camera it
                   changes nothing and costs the estimation (about a quarter
                   of the temporal stage). None: the library's default (on).
                   Grids below 128x96 are never aligned.
                   The motion found is in stats.

The defaults are the library's (those of the tnr tool and the element). Every parameter but
the grid is a property that can be changed between frames. Thread safety:
process() releases the GIL while it filters, and one object used from
several threads at once serialises the calls (an internal lock).)doc";

const char *kProcessDoc = R"doc(process(frame) -> frame
process(y, uv) -> (y, uv)

Filters one NV12 frame in place and returns what it was given.

frame   numpy uint8 array of shape (height * 3 // 2, width): height luma
        rows, then height // 2 rows of interleaved U, V bytes (the layout
        of OpenCV and of PyAV's VideoFrame.to_ndarray() for nv12).
y, uv   the same as two planes: y of shape (height, width), uv of shape
        (height // 2, width) with interleaved U, V.

Rows may be padded (strides[0] > width): the row pitch is taken from the
array. When the memory is laid out as the library's frame (chroma right
after the luma rows at the same even pitch), the library filters it where
it lies; otherwise the object filters a packed copy and writes the result
back into the given arrays. Arrays are never converted: a wrong dtype,
shape or layout, or a read-only array, raises TypeError or ValueError and
the object stays as it was.)doc";

}  // namespace

PYBIND11_MODULE(tnr_md, m) {
  m.doc() = R"doc(tnr_md: motion-adaptive temporal noise reduction for NV12 video.

Denoiser       the filter over a sequence (previous frame, weights and gains
               kept in the object).
motion_detect  one frame of the filter on caller-owned arrays.
Stage functions, one per exported building block of the library:
cal_diff_and_downscale_8x8, cal_diff_and_downscale, cal_diff,
extend_border, gauss3x3, gauss9x9, sigma_tables, upscale; scratch_size.

Every function takes numpy arrays of the exact dtype it documents and
never converts them. Fractions (weights, ratios, alphas) are uint8 with 7
fractional bits: 128 stands for 1.0.)doc";
  m.attr("__version__") = TNR_MD_VERSION;

  py::class_<Denoiser>(m, "Denoiser", kDenoiserDoc)
      .def(py::init([](long long width, long long height, const py::object &sigmaH,
                       const py::object &sigmaL, const py::object &uvRatio,
                       long long staticRatioBit, long long gain, const py::object &grid,
                       const py::object &spatial, const py::object &preset,
                       const py::object &align) {
             const int w = dimension(width, "width"), h = dimension(height, "height");
             const auto g = gridOf(grid);
             Params p;
             // The preset's tuning (the defaults without one), then the
             // tuning keywords given beside it.
             if (!preset.is_none()) checked([&] { p.setPreset(preset.cast<std::string>()); });
             if (!sigmaH.is_none()) p.sigmaH = sigmaH.cast<double>();
             if (!sigmaL.is_none()) p.sigmaL = sigmaL.cast<double>();
             if (!uvRatio.is_none()) p.uvRatio = uvRatio.cast<double>();
             if (!spatial.is_none()) p.spatial = spatial.cast<double>();
             if (!align.is_none()) p.align = alignOf(align);
             checked([&] {
               checkStaticRatioBit(staticRatioBit);
               checkStartGain(gain);
             });
             p.staticRatioBit = static_cast<int>(staticRatioBit);
             p.startGain = static_cast<int>(gain);
             checked([&] { checkParams(p); });
             Denoiser *d = nullptr;
             checked([&] { d = new Denoiser(w, h, g.first, g.second, p); });
             return d;
           }),
           py::arg("width"), py::arg("height"), py::arg("sigma_h") = py::none(),
           py::arg("sigma_l") = py::none(), py::arg("uv_ratio") = py::none(),
           py::arg("static_ratio_bit") = 4, py::arg("gain") = 128, py::arg("grid") = py::none(),
           py::arg("spatial") = py::none(), py::arg("preset") = py::none(),
           py::arg("align") = py::none())
      .def(
          "process",
          [](Denoiser &d, const py::object &frame, const py::object &uv) -> py::object {
            const int w = d.width(), h = d.height();
            Plane luma, chroma;
            if (uv.is_none()) {
              const Plane f =
                  checkPlane(frame, "frame", Elem::U8, h * 3 / 2, w, Access::Write,
                             "height * 3 // 2 rows of width bytes: NV12 luma, then U, V rows");
              splitFrame(f, h, luma, chroma);
            } else {
              luma = checkPlane(frame, "y", Elem::U8, h, w, Access::Write, "height, width");
              chroma = checkPlane(uv, "uv", Elem::U8, h / 2, w, Access::Write,
                                  "height // 2 rows of interleaved U, V bytes");
              if (overlaps(luma, chroma)) throw py::value_error("y and uv overlap in memory");
            }
            {
              py::gil_scoped_release release;
              d.process(luma.data, luma.pitch, chroma.data, chroma.pitch, luma.available);
            }
            if (uv.is_none()) return frame;
            return py::make_tuple(frame, uv);
          },
          py::arg("frame"), py::arg("uv") = py::none(), kProcessDoc)
      .def("reset", &Denoiser::reset, py::call_guard<py::gil_scoped_release>(),
           "Starts a new sequence: no previous frame, weights 0, gains start_gain.")
      .def_property_readonly("width", &Denoiser::width, "Frame width in pixels.")
      .def_property_readonly("height", &Denoiser::height, "Frame height in pixels.")
      .def_property_readonly(
          "grid", [](const Denoiser &d) { return py::make_tuple(d.gridWidth(), d.gridHeight()); },
          "(grid_width, grid_height): the top-left area filtered; the maps have this size.")
      .def_property_readonly("frame_count", &Denoiser::frames,
                             "Frames processed since construction or reset().")
      .def_property(
          "sigma_h", [](Denoiser &d) { return d.params().sigmaH; },
          [](Denoiser &d, double v) {
            checked([&] { checkSigmaH(v); });
            Params p = d.params();
            p.sigmaH = v;
            d.setParams(p);
          },
          "Scale of the per-pixel noise level, 0 .. 16.")
      .def_property(
          "sigma_l", [](Denoiser &d) { return d.params().sigmaL; },
          [](Denoiser &d, double v) {
            checked([&] { checkSigmaL(v); });
            Params p = d.params();
            p.sigmaL = v;
            d.setParams(p);
          },
          "Scale of the per-8x8-block noise level, 0 .. 1.5.")
      .def_property(
          "uv_ratio", [](Denoiser &d) { return d.params().uvRatio; },
          [](Denoiser &d, double v) {
            checked([&] { checkUvRatio(v); });
            Params p = d.params();
            p.uvRatio = v;
            d.setParams(p);
          },
          "Weight of the chroma differences, 0 .. 1.5.")
      .def_property(
          "static_ratio_bit", [](Denoiser &d) { return d.params().staticRatioBit; },
          [](Denoiser &d, long long v) {
            checked([&] { checkStaticRatioBit(v); });
            Params p = d.params();
            p.staticRatioBit = static_cast<int>(v);
            d.setParams(p);
          },
          "log2 of the static ratio (x128) at full motion, 0 .. 255.")
      .def_property(
          "spatial", [](Denoiser &d) { return d.params().spatial; },
          [](Denoiser &d, double v) {
            checked([&] { checkSpatial(v); });
            Params p = d.params();
            p.spatial = v;
            d.setParams(p);
          },
          "Strength of the spatial stage, 0 .. 15.9 (0 = off); from the next frame on.")
      .def_property(
          "start_gain", [](Denoiser &d) { return d.params().startGain; },
          [](Denoiser &d, long long v) {
            checked([&] { checkStartGain(v); });
            Params p = d.params();
            p.startGain = static_cast<int>(v);
            d.setParams(p);
          },
          "Start value of the gain table, 0 .. 255 (the constructor's gain); takes effect at "
          "reset().")
      .def_property(
          "align", [](Denoiser &d) { return d.params().align; },
          [](Denoiser &d, const py::object &v) {
            const bool on = alignOf(v);
            Params p = d.params();
            p.align = on;
            d.setParams(p);
          },
          "True: the history moves with the camera (see the class help); from the next frame on.")
      .def_property_readonly(
          "stats",
          [](Denoiser &d) {
            TnrMdFrameStats s;
            {
              py::gil_scoped_release release;
              s = d.stats();
            }
            py::dict r;
            r["frames"] = s.frames;
            r["mean_static_ratio"] = s.mean_static_ratio;
            r["mean_gain"] = s.mean_gain;
            r["noise_level"] = s.noise_level / 16.0;
            r["motion_x"] = s.motion_x;
            r["motion_y"] = s.motion_y;
            r["motion_confidence"] = s.motion_confidence;
            r["aligned"] = s.aligned != 0;
            return r;
          },
          R"doc(Figures of the last frame, a new dict (all 0 before the first frame and after
reset()):

frames              frames in the sequence, this one included.
mean_static_ratio   0 .. 1 (1: everything still).
mean_gain           mean of the gain table, 0 .. 255.
noise_level         the noise sigma the frame's difference measured, code values.
motion_x, motion_y  the camera motion estimated from the previous frame, in luma
                    pixels (steps of 1/16): the picture moved right and down by
                    it. 0 when align is off.
motion_confidence   0 .. 1: the share of the picture that agrees on the motion.
aligned             whether the history was moved by it (False when align is
                    off, on a first frame, or when the estimate was refused: a
                    cut, a flat or noise-only picture, a zoom).)doc")
      .def_property_readonly(
          "static_ratio",
          [](Denoiser &d) {
            std::vector<uint8_t> v;
            {
              py::gil_scoped_release release;
              v = d.staticRatio();
            }
            return mapArray(d, v);
          },
          "Static-ratio map of the last frame: a new uint8 array of shape (grid_height, "
          "grid_width), 0 .. 128 (128 = still).")
      .def_property_readonly(
          "weight",
          [](Denoiser &d) {
            std::vector<uint8_t> v;
            {
              py::gil_scoped_release release;
              v = d.weight();
            }
            return mapArray(d, v);
          },
          "Recursive blend weight after the last frame: a new uint8 array of shape (grid_height, "
          "grid_width), 0 .. 128 (the previous frame's share in 1/128).")
      .def_property_readonly(
          "gain",
          [](Denoiser &d) {
            std::vector<uint8_t> v;
            {
              py::gil_scoped_release release;
              v = d.gain();
            }
            return mapArray(d, v);
          },
          "Gain table after the last frame: a new uint8 array of shape (grid_height, "
          "grid_width), scaled by the static ratio every frame.")
      .def("__repr__", [](Denoiser &d) {
        const Params p = d.params();
        return "tnr_md.Denoiser(" + std::to_string(d.width()) + ", " + std::to_string(d.height()) +
               ", sigma_h=" + floatRepr(p.sigmaH) + ", sigma_l=" + floatRepr(p.sigmaL) +
               ", uv_ratio=" + floatRepr(p.uvRatio) +
               ", static_ratio_bit=" + std::to_string(p.staticRatioBit) +
               ", gain=" + std::to_string(p.startGain) + ", grid=(" +
               std::to_string(d.gridWidth()) + ", " + std::to_string(d.gridHeight()) +
               "), spatial=" + floatRepr(p.spatial) +
               (p.align != defaultAlign() ? std::string(", align=") + (p.align ? "True" : "False")
                                          : std::string()) +
               ")";
      });

  addStages(m);
}
