// tnr: motion-adaptive temporal noise reduction of video files.
#include <CLI/CLI.hpp>
#include <cstdio>
#include <exception>

#include <new>

#include "camera.h"
#include "commands.h"
#include "numbers.h"
#include "video.h"

#ifdef __SANITIZE_ADDRESS__
// Under AddressSanitizer (the asan build's suites end every run with its leak
// check): fontconfig's caches, which cairo's text in the plots fills and no
// one frees before exit, are fontconfig's, not leaks of the tool.
extern "C" const char *__lsan_default_suppressions() { return "leak:libfontconfig.so\n"; }
extern "C" const char *__lsan_default_options() { return "print_suppressions=0"; }
#endif

namespace {

using tnr::kMaxFrameNumber;

std::string rangeText(double v) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%g", v);
  return buf;
}

// Validators that see the option's text before CLI11 converts it: the whole
// text must be a number in range (nothing wraps, no nan or inf).
CLI::Validator integer(long long lo, long long hi) {
  return CLI::Validator(
      [lo, hi](std::string &text) {
        long long v = 0;
        std::string why;
        return tnr::parseInteger(text, lo, hi, v, why) ? std::string()
                                                       : why + ", got '" + text + "'";
      },
      "INT " + std::to_string(lo) + ".." + std::to_string(hi));
}

CLI::Validator real(tnr::Range r) {
  return CLI::Validator(
      [r](std::string &text) {
        double v = 0;
        std::string why;
        return tnr::parseReal(text, r.lo, r.hi, v, why) ? std::string()
                                                        : why + ", got '" + text + "'";
      },
      "NUMBER " + rangeText(r.lo) + ".." + rangeText(r.hi));
}

void addTuning(CLI::App *cmd, tnr::TnrParams &p, std::string &preset) {
  cmd->add_option("--preset", preset,
                  "Tuning preset of the library (" + tnr::presetNames() +
                      "; medium = the defaults): sets --sigma-h, --sigma-l, --uv-ratio and "
                      "--spatial unless they are given")
      ->check([](const std::string &name) {
        return tnr::TnrParams().setPreset(name)
                   ? std::string()
                   : "expects one of " + tnr::presetNames() + ", got '" + name + "'";
      });
  cmd->add_option(
         "--sigma-h", p.sigmaH,
         "Scale of the per-pixel noise level (0 to 16): higher blends more, and trails motion "
         "sooner")
      ->capture_default_str()
      ->check(real(tnr::kSigmaHRange));
  cmd->add_option(
         "--sigma-l", p.sigmaL,
         "Scale of the per-8x8-block noise level (0 to 1.5): higher blends more, and trails "
         "motion sooner")
      ->capture_default_str()
      ->check(real(tnr::kSigmaLRange));
  cmd->add_option("--uv-ratio", p.uvRatio,
                  "Weight of chroma differences in motion detection (0 to 1.5; 1 = as much as luma)")
      ->capture_default_str()
      ->check(real(tnr::kUvRatioRange));
  cmd->add_option("--static-ratio-bit", p.staticRatioBit,
                  "log2 of the static ratio (x128) at full motion (map and gain only, 0 to 255); 8+ "
                  "gives 0")
      ->capture_default_str()
      ->check(integer(0, 255));
  cmd->add_option("--spatial", p.spatial,
                  "Spatial stage after the temporal one (0 to 15.9): edge-preserving threshold "
                  "at moving pixels in units of the estimated noise sigma, fading where frames "
                  "were averaged (0 = off)")
      ->capture_default_str()
      ->check(real(tnr::kSpatialRange));
  cmd->add_flag("--align,!--no-align", p.align,
                "Move the history with the camera: the picture's motion from frame to frame is "
                "estimated and the history follows it (on by default; --no-align saves the "
                "estimation's cost on a fixed camera)");
  cmd->add_option("--gain", p.startGain, "Start value of the per-pixel gain table (0 to 255)")
      ->capture_default_str()
      ->check(integer(0, 255));
  cmd->add_option("--threads", p.threads,
                  "Threads that share each frame (0 to 256; 0: one per core; the output is the "
                  "same)")
      ->capture_default_str()
      ->check(integer(0, 256));
}

// The preset's tuning, for the options not given on the command line.
void applyPreset(const CLI::App *cmd, tnr::TnrParams &p, const std::string &preset) {
  if (preset.empty()) return;
  tnr::TnrParams q = p;
  q.setPreset(preset);
  if (cmd->count("--sigma-h") == 0) p.sigmaH = q.sigmaH;
  if (cmd->count("--sigma-l") == 0) p.sigmaL = q.sigmaL;
  if (cmd->count("--uv-ratio") == 0) p.uvRatio = q.uvRatio;
  if (cmd->count("--spatial") == 0) p.spatial = q.spatial;
}

}  // namespace

int main(int argc, char **argv) {
  CLI::App app{
      "tnr: motion-adaptive temporal noise reduction of video.\n"
      "Frames must have even width and height (odd sizes are rejected, not padded)."};
  app.require_subcommand(1);
  app.set_version_flag("--version", "tnr 0.1.0");

  tnr::DenoiseOptions d;
  std::string denPreset, demoPreset;
  auto *den = app.add_subcommand(
      "denoise", "Denoise a video file (or raw NV12 from stdin); odd frame sizes are rejected");
  den->add_option("INPUT", d.input,
                  "Input video: anything FFmpeg reads, or raw NV12 with --size ('-' = stdin)")
      ->required();
  den->add_option("-o,--output", d.output,
                  "Output: .nv12/.yuv (raw NV12), .y4m or .mkv (FFV1); '-' = standard output "
                  "(see --format)")
      ->required();
  den->add_option("--format", d.format, "Format of -o -: y4m (default) or nv12")
      ->check(CLI::IsMember({"y4m", "nv12"}));
  den->add_flag("--accept-damaged", d.acceptDamaged,
                "Keep the frames of a truncated or damaged input (warns) instead of failing");
  den->add_option("--size", d.size, "Frame size WxH of raw NV12 input (even numbers)");
  den->add_option("--grid", d.grid,
                  "Processing grid WxH: the top-left area filtered (default: whole frame)");
  addTuning(den, d.params, denPreset);
  den->add_option("--frames", d.frames, "Process at most this many frames (0 = all)")
      ->capture_default_str()
      ->check(integer(0, kMaxFrameNumber));
  den->add_option("--start", d.start, "Skip this many frames first")
      ->capture_default_str()
      ->check(integer(0, kMaxFrameNumber));
  den->add_option("--maps", d.mapsDir,
                  "Folder for PNG images of input, output, static ratio, weight and gain");
  auto *mapFrames = den->add_option("--map-frames", d.mapFrames,
                  "Frames (from 0, counted after --start, or 'last') that get map images")
      ->delimiter(',')
      ->capture_default_str();
  den->add_option("--compare", d.compare,
                  "Also write a side-by-side video: input | output | static-ratio map");
  den->add_option("--reference", d.reference,
                  "Clean sequence of the same size: report the PSNR of input and output");
  den->add_option("--csv", d.csv, "With --reference: PSNR per frame as CSV (plot beside it, .png)");
  den->add_option("--plot", d.plot, "With --reference: PNG plot of PSNR per frame");
  den->add_flag("-q,--quiet", d.quiet, "No progress line and no summary");

  tnr::DemoOptions m;
  auto *demo = app.add_subcommand(
      "demo", "Denoise a synthetic noisy scene with known clean frames and report the PSNR");
  demo->add_option("--out", m.outDir, "Folder for the outputs")->capture_default_str();
  demo->add_option("--size", m.size, "Frame size WxH")->capture_default_str();
  demo->add_option("--frames", m.frames, "Number of frames (2 to 100000)")
      ->capture_default_str()
      ->check(integer(2, 100000));
  demo->add_option("--seed", m.seed, "Seed of the scene and its noise")
      ->capture_default_str()
      ->check(integer(0, 4294967295LL));
  addTuning(demo, m.params, demoPreset);
  demo->add_flag("-q,--quiet", m.quiet, "Print only the PSNR figures");

  tnr::ConvertOptions c;
  auto *conv = app.add_subcommand(
      "convert", "Copy a video to raw NV12, Y4M or FFV1, optionally adding Gaussian noise");
  conv->add_option("INPUT", c.input, "Input video ('-' = stdin)")->required();
  conv->add_option("-o,--output", c.output,
                   "Output: .nv12/.yuv, .y4m or .mkv; '-' = standard output (see --format)")
      ->required();
  conv->add_option("--format", c.format, "Format of -o -: y4m (default) or nv12")
      ->check(CLI::IsMember({"y4m", "nv12"}));
  conv->add_flag("--accept-damaged", c.acceptDamaged,
                 "Keep the frames of a truncated or damaged input (warns) instead of failing");
  conv->add_option("--size", c.size, "Frame size WxH of raw NV12 input");
  conv->add_option("--frames", c.frames, "At most this many frames (0 = all)")
      ->capture_default_str()
      ->check(integer(0, kMaxFrameNumber));
  conv->add_option("--start", c.start, "Skip this many frames first")
      ->capture_default_str()
      ->check(integer(0, kMaxFrameNumber));
  conv->add_option("--noise", c.noise,
                   "Sigma of zero-mean Gaussian noise added to every byte (0 to 100)")
      ->capture_default_str()
      ->check(real(tnr::kNoiseRange));
  conv->add_option("--seed", c.seed, "Seed of the noise")
      ->capture_default_str()
      ->check(integer(0, 4294967295LL));

  tnr::SweepOptions s;
  auto *sweep = app.add_subcommand(
      "sweep", "Measure PSNR for combinations of tuning values on a clean clip with added noise");
  sweep->add_option("CLEAN", s.clean, "Clean input video")->required();
  sweep->add_option("--size", s.size, "Frame size WxH of raw NV12 input");
  sweep->add_option("--frames", s.frames, "Frames used (0 = all)")
      ->capture_default_str()
      ->check(integer(0, kMaxFrameNumber));
  sweep->add_option("--start", s.start, "Skip this many frames first")
      ->capture_default_str()
      ->check(integer(0, kMaxFrameNumber));
  sweep->add_option("--seed", s.seed, "Seed of the noise")
      ->capture_default_str()
      ->check(integer(0, 4294967295LL));
  sweep->add_option("--noise", s.noise, "Noise sigmas (each 0 to 100)")
      ->delimiter(',')
      ->capture_default_str()
      ->check(real(tnr::kNoiseRange));
  sweep->add_option("--sigma-h", s.sigmaH, "Values of --sigma-h (each 0 to 16)")
      ->delimiter(',')
      ->check(real(tnr::kSigmaHRange));
  sweep->add_option("--sigma-l", s.sigmaL, "Values of --sigma-l (each 0 to 1.5)")
      ->delimiter(',')
      ->check(real(tnr::kSigmaLRange));
  sweep->add_option("--uv-ratio", s.uvRatio, "Values of --uv-ratio (each 0 to 1.5)")
      ->delimiter(',')
      ->check(real(tnr::kUvRatioRange));
  sweep->add_option("--static-ratio-bit", s.staticRatioBit,
                    "Values of --static-ratio-bit (each 0 to 255)")
      ->delimiter(',')
      ->check(integer(0, 255));
  sweep->add_option("--spatial", s.spatial, "Values of --spatial (each 0 to 15.9)")
      ->delimiter(',')
      ->check(real(tnr::kSpatialRange));
  sweep->add_option("--align", s.align, "Values of alignment with the camera (0 off, 1 on)")
      ->delimiter(',')
      ->check(integer(0, 1));
  sweep->add_option("--csv", s.csv, "Write the results as CSV");
  sweep->add_flag("--accept-damaged", s.acceptDamaged,
                  "Keep the frames of a truncated or damaged input (warns) instead of failing");

  tnr::CameraOptions cam;
  auto *camera = app.add_subcommand(
      "camera", "Film a clip with a moving camera: a window moved along a path over a clean "
                "clip (bicubic, sub-pixel), noise added after the motion");
  camera->add_option("INPUT", cam.input, "Clean input video ('-' = stdin)")->required();
  camera->add_option("-o,--output", cam.output, "Output: .nv12/.yuv, .y4m or .mkv")->required();
  camera->add_option("--size", cam.size, "Frame size WxH of raw NV12 input");
  camera->add_option("--window", cam.window, "Window size WxH (even)")->capture_default_str();
  camera->add_option("--path", cam.path,
                     "fixed, pan (1.37 px right, 0.41 px down per frame) or handheld (smooth "
                     "random path of about +-6 px plus 0.3 px jitter)")
      ->capture_default_str()
      ->check(CLI::IsMember({"fixed", "pan", "handheld"}));
  camera->add_option("--frames", cam.frames, "At most this many frames (0 = all)")
      ->capture_default_str()
      ->check(integer(0, kMaxFrameNumber));
  camera->add_option("--start", cam.start, "Skip this many frames first")
      ->capture_default_str()
      ->check(integer(0, kMaxFrameNumber));
  camera->add_option("--noise", cam.noise,
                     "Sigma of Gaussian noise added to every byte after the motion (0 to 100)")
      ->capture_default_str()
      ->check(real(tnr::kNoiseRange));
  camera->add_option("--seed", cam.seed, "Seed of the handheld path and the noise")
      ->capture_default_str()
      ->check(integer(0, 4294967295LL));
  camera->add_option("--path-csv", cam.pathCsv, "Write the window's corner per frame as CSV");
  camera->add_flag("--accept-damaged", cam.acceptDamaged,
                   "Keep the frames of a truncated or damaged input (warns) instead of failing");

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError &e) {
    return app.exit(e);
  }
  d.mapFramesGiven = mapFrames->count() > 0;
  applyPreset(den, d.params, denPreset);
  applyPreset(demo, m.params, demoPreset);
  // Defaults of the sweep follow the tool's defaults unless given.
  if (sweep->count("--sigma-h") == 0) s.sigmaH = {tnr::TnrParams{}.sigmaH};
  if (sweep->count("--sigma-l") == 0) s.sigmaL = {tnr::TnrParams{}.sigmaL};
  if (sweep->count("--uv-ratio") == 0) s.uvRatio = {tnr::TnrParams{}.uvRatio};
  if (sweep->count("--spatial") == 0) s.spatial = {tnr::TnrParams{}.spatial};
  if (sweep->count("--static-ratio-bit") == 0) s.staticRatioBit = {tnr::TnrParams{}.staticRatioBit};
  if (sweep->count("--align") == 0) s.align = {tnr::TnrParams{}.align ? 1 : 0};

  try {
    if (*den) return tnr::runDenoise(d);
    if (*demo) return tnr::runDemo(m);
    if (*conv) return tnr::runConvert(c);
    if (*sweep) return tnr::runSweep(s);
    if (*camera) return tnr::runCamera(cam);
  } catch (const std::bad_alloc &) {
    std::fflush(stdout);
    const std::string &need = tnr::memoryNote();
    std::fprintf(stderr, "tnr: error: out of memory%s%s\n", need.empty() ? "" : ": ",
                 need.c_str());
    return 1;
  } catch (const tnr::ToolError &e) {
    std::fflush(stdout);
    std::fprintf(stderr, "tnr: error: %s\n", e.what());
    return 1;
  } catch (const std::exception &e) {
    std::fflush(stdout);
    std::fprintf(stderr, "tnr: error: %s\n", e.what());
    return 2;
  }
  return 0;
}
