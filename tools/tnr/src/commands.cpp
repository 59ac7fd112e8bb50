#include "commands.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <optional>

#include "image.h"
#include "metrics.h"
#include "numbers.h"
#include "output_file.h"
#include "synth.h"
#include "video_in.h"
#include "video_out.h"

namespace tnr {

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

std::string gMemoryNote;

std::optional<Size> optionalSize(const std::string &text) {
  if (text.empty()) return std::nullopt;
  return parseSize(text, "--size");
}

void warn(const std::string &what) {
  std::fflush(stdout);
  std::fprintf(stderr, "tnr: warning: %s\n", what.c_str());
}

void note(const std::string &what) {
  std::fflush(stdout);
  std::fprintf(stderr, "tnr: note: %s\n", what.c_str());
}

void printNotices(const VideoReader &r) {
  for (const std::string &n : r.notices()) note(n);
}

void printDamage(const VideoReader &r) {
  if (!r.damage().empty()) warn(r.damage() + "; kept as --accept-damaged asks");
}

void setMemoryNote(int w, int h) {
  // Frames, the filter's scratch (12 bytes a pixel) and maps, the copies the
  // run keeps: about 40 bytes a pixel.
  const double mib = 40.0 * w * h / (1024.0 * 1024.0);
  char buf[160];
  std::snprintf(buf, sizeof buf, "%dx%d frames need about %.0f MiB of memory", w, h, mib);
  gMemoryNote = buf;
}

// The maps folder: an existing writable folder, or one that can be created
// (its nearest existing parent is a writable folder). Checked before the run.
void checkMapsFolder(const std::string &dir) {
  std::error_code ec;
  fs::path p = fs::absolute(dir, ec);
  struct stat st {};
  if (stat(p.c_str(), &st) == 0) {
    if (!S_ISDIR(st.st_mode))
      throw ToolError("--maps '" + dir + "' is not a folder: " + std::strerror(ENOTDIR));
    if (access(p.c_str(), W_OK | X_OK) != 0)
      throw ToolError("cannot write maps into '" + dir + "': " + std::strerror(errno));
    return;
  }
  fs::path parent = p.parent_path();
  while (!parent.empty() && stat(parent.c_str(), &st) != 0) {
    if (parent == parent.parent_path()) break;
    parent = parent.parent_path();
  }
  if (!S_ISDIR(st.st_mode))
    throw ToolError("cannot create the maps folder '" + dir + "': " + std::strerror(ENOTDIR));
  if (access(parent.c_str(), W_OK | X_OK) != 0)
    throw ToolError("cannot create the maps folder '" + dir + "': " + std::strerror(errno));
}

// Creates the maps folder when the first map is written; a run that fails
// removes what it created (only folders it made, and only if still empty).
class MapsFolder {
 public:
  explicit MapsFolder(std::string dir) : dir_(std::move(dir)) {}
  ~MapsFolder() {
    for (int slot : slots_) unpublishCreatedFolder(slot);
    if (committed_) return;
    std::error_code ec;
    for (auto it = created_.rbegin(); it != created_.rend(); ++it) fs::remove(*it, ec);
  }
  void ensure() {
    if (ready_) return;
    std::vector<fs::path> missing;
    std::error_code ec;
    for (fs::path p = fs::absolute(dir_, ec); !p.empty() && !fs::exists(p, ec);
         p = p.parent_path()) {
      missing.push_back(p);
      if (p == p.parent_path()) break;
    }
    for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
      if (!fs::create_directory(*it, ec) || ec)
        throw ToolError("cannot create the maps folder '" + dir_ + "': " + ec.message());
      created_.push_back(*it);
      slots_.push_back(publishCreatedFolder(it->string()));
    }
    ready_ = true;
  }
  void commit() { committed_ = true; }

 private:
  std::string dir_;
  std::vector<fs::path> created_;
  std::vector<int> slots_;
  bool ready_ = false, committed_ = false;
};

// A PNG written to a temporary file beside path, renamed when the run ends.
std::unique_ptr<OutputFile> pngOutput(const std::string &path, const Image &img) {
  auto out = std::make_unique<OutputFile>(path);
  try {
    writePng(out->tempPath(), img);
  } catch (const ToolError &) {
    const int e = errno;
    throw ToolError("cannot write '" + path + "': " + std::strerror(e ? e : EIO));
  }
  return out;
}

std::string formatTime(double seconds) {
  const long s = std::lround(std::max(seconds, 0.0));
  char buf[32];
  std::snprintf(buf, sizeof buf, "%ld:%02ld", s / 60, s % 60);
  return buf;
}

// Progress on standard error, redrawn in place at most four times a second,
// and only when standard error is a terminal.
class Progress {
 public:
  Progress(bool quiet, long long total)
      : enabled_(!quiet && isatty(2)), total_(total), start_(Clock::now()) {}
  void update(long long done, bool force = false) {
    if (!enabled_) return;
    const auto now = Clock::now();
    if (!force && now - last_ < std::chrono::milliseconds(250)) return;
    last_ = now;
    const double secs = std::chrono::duration<double>(now - start_).count();
    const double fps = secs > 0 ? done / secs : 0;
    std::string left = "?";
    if (total_ > 0 && fps > 0) left = formatTime((total_ - done) / fps);
    std::fprintf(stderr, "\rframe %lld%s  %.1f fps  time left %s   ", done,
                 total_ > 0 ? ("/" + std::to_string(total_)).c_str() : "", fps, left.c_str());
    std::fflush(stderr);
  }
  void done() {
    if (enabled_) std::fprintf(stderr, "\r%60s\r", "");
  }

 private:
  bool enabled_;
  long long total_;
  Clock::time_point start_, last_{};
};

// Which frames get map images: indices counted from --start, or "last".
struct MapSelection {
  std::vector<long long> indices;
  bool last = false;
  bool wants(long long i) const {
    return std::find(indices.begin(), indices.end(), i) != indices.end();
  }
};

MapSelection parseMapFrames(const std::vector<std::string> &items) {
  MapSelection sel;
  for (const std::string &s : items) {
    if (s == "last") {
      sel.last = true;
      continue;
    }
    long long v = 0;
    std::string why;
    if (!parseInteger(s, 0, kMaxFrameNumber, v, why))
      throw ToolError("--map-frames expects frame numbers (from 0) or 'last', got '" + s + "'");
    sel.indices.push_back(v);
  }
  return sel;
}

// A frame source that plays the demo scene, clean or with its noise.
class SceneReader : public VideoReader {
 public:
  SceneReader(const Scene &scene, bool noisy) : scene_(scene), noisy_(noisy) {
    info_.width = scene.width();
    info_.height = scene.height();
    info_.fpsNum = 24;
    info_.frameCount = scene.frames();
  }
  bool read(Frame &frame) override {
    if (t_ >= scene_.frames()) return false;
    scene_.clean(t_, frame);
    if (noisy_) scene_.addSensorNoise(t_, frame);
    pts_ = t_++;
    end_ = pts_ + 1;
    return true;
  }

 private:
  const Scene &scene_;
  bool noisy_;
  int t_ = 0;
};

struct RunResult {
  long long frames = 0;
  double seconds = 0;      // time spent in the filter
  double wallSeconds = 0;  // the whole run: reading, filtering, writing
  double staticRatioSum = 0;
  std::optional<QualityTracker> quality;
  // The camera motion of every frame, for --csv.
  std::vector<TnrMdFrameStats> motion;
  // The output's frames where a constant-rate format repeats or leaves out
  // frames to keep their times.
  long long written = 0, repeated = 0, dropped = 0;
};

// Where a constant-rate output repeated or left out frames to keep the
// input's times: for the summary or a note.
std::string timingNote(const std::string &file, const VideoInfo &info, long long written,
                       long long repeated, long long dropped) {
  if (repeated == 0 && dropped == 0) return "";
  char buf[320];
  std::snprintf(buf, sizeof buf,
                "%s holds %lld frames at the constant %.3f frames/s: frames repeated %lld times "
                "and %lld left out to keep the input's frame times (a Matroska output keeps "
                "them as they are)",
                file.c_str(), written, static_cast<double>(info.fpsNum) / info.fpsDen, repeated,
                dropped);
  return buf;
}

// Map images go to temporary files, renamed with the other outputs when the
// run ends: a failed run leaves none.
void writeMaps(const std::string &dir, long long index, const Frame &input, const Frame &output,
               const Denoiser &d, int w, int h, std::vector<std::unique_ptr<OutputFile>> &files) {
  char prefix[64];
  std::snprintf(prefix, sizeof prefix, "frame%04lld_", index);
  const std::string base = (fs::path(dir) / prefix).string();
  const int gw = d.gridWidth(), gh = d.gridHeight();
  files.push_back(pngOutput(base + "input.png", greyFromPlane(input.data(), w, h, w)));
  files.push_back(pngOutput(base + "output.png", greyFromPlane(output.data(), w, h, w)));
  // Fractions of 128 are stretched to the full 0..255 range.
  files.push_back(pngOutput(base + "static_ratio.png",
                            greyFromPlane(d.staticRatio(), gw, gh, gw, 255, 128)));
  files.push_back(
      pngOutput(base + "weight.png", greyFromPlane(d.weight(), gw, gh, gw, 255, 128)));
  files.push_back(pngOutput(base + "gain.png", greyFromPlane(d.gain(), gw, gh, gw)));
}

// input | output | static-ratio map, as one NV12 frame three times as wide.
void composeComparison(const Frame &input, const Frame &output, const Denoiser &d, int w, int h,
                       Frame &out) {
  const int cw = 3 * w;
  out.assign(nv12Bytes(cw, h), 128);
  for (int y = 0; y < h; ++y) {
    uint8_t *row = out.data() + static_cast<size_t>(y) * cw;
    std::memcpy(row, input.data() + static_cast<size_t>(y) * w, w);
    std::memcpy(row + w, output.data() + static_cast<size_t>(y) * w, w);
    std::memset(row + 2 * w, 0, w);
    if (y < d.gridHeight())
      for (int x = 0; x < d.gridWidth(); ++x)
        row[2 * w + x] = static_cast<uint8_t>(
            std::min(255, d.staticRatio()[static_cast<size_t>(y) * d.gridWidth() + x] * 255 / 128));
  }
  const uint8_t *inUv = input.data() + static_cast<size_t>(w) * h;
  const uint8_t *outUv = output.data() + static_cast<size_t>(w) * h;
  uint8_t *uv = out.data() + static_cast<size_t>(cw) * h;
  for (int y = 0; y < h / 2; ++y) {
    std::memcpy(uv + static_cast<size_t>(y) * cw, inUv + static_cast<size_t>(y) * w, w);
    std::memcpy(uv + static_cast<size_t>(y) * cw + w, outUv + static_cast<size_t>(y) * w, w);
  }
}

std::unique_ptr<OutputFile> writeCsv(const std::string &path, const QualityTracker &q,
                                     const std::vector<TnrMdFrameStats> &motion, long long start) {
  auto out = std::make_unique<OutputFile>(path);
  const auto fail = [&path]() {
    return ToolError("cannot write '" + path + "': " + std::strerror(errno));
  };
  FILE *f = std::fopen(out->tempPath().c_str(), "w");
  if (!f) throw fail();
  std::fprintf(f,
               "frame,psnr_input_db,psnr_output_db,moving_pixels,psnr_input_moving_db,"
               "psnr_output_moving_db,motion_x,motion_y,motion_confidence,aligned\n");
  long long i = start;
  size_t k = 0;
  for (const FrameQuality &fq : q.frames()) {
    std::fprintf(f, "%lld,%.4f,%.4f,%lld,", i++, fq.psnrIn, fq.psnrOut, fq.moving);
    if (fq.moving)
      std::fprintf(f, "%.4f,%.4f,", psnrFromMse(fq.sseMovingIn / fq.moving),
                   psnrFromMse(fq.sseMovingOut / fq.moving));
    else
      std::fprintf(f, ",,");
    const TnrMdFrameStats m = k < motion.size() ? motion[k] : TnrMdFrameStats{};
    ++k;
    std::fprintf(f, "%.4f,%.4f,%.3f,%d\n", m.motion_x, m.motion_y, m.motion_confidence, m.aligned);
  }
  const bool bad = std::fflush(f) != 0 || std::ferror(f);
  const int e = errno;
  if (std::fclose(f) != 0 || bad) {
    if (bad) errno = e;
    throw fail();
  }
  return out;
}

std::unique_ptr<OutputFile> writePlot(const std::string &path, const QualityTracker &q,
                                      const std::string &inLabel, const std::string &outLabel) {
  Series a{inLabel, {200, 40, 40}, {}}, b{outLabel, {30, 80, 200}, {}};
  for (const FrameQuality &fq : q.frames()) {
    a.values.push_back(fq.psnrIn);
    b.values.push_back(fq.psnrOut);
  }
  return pngOutput(path,
                   plotSeries({a, b}, {"Luma PSNR against the reference", "frame", "PSNR (dB)"}));
}

void checkSameSize(const VideoInfo &a, const VideoInfo &b, const std::string &what) {
  if (a.width != b.width || a.height != b.height)
    throw ToolError(what + " is " + std::to_string(b.width) + "x" + std::to_string(b.height) +
                    " but the input is " + std::to_string(a.width) + "x" +
                    std::to_string(a.height));
}

TnrParams withGrid(TnrParams p, const std::string &grid) {
  if (!grid.empty()) {
    const Size g = parseSize(grid, "--grid");
    p.gridWidth = g.width;
    p.gridHeight = g.height;
  }
  return p;
}

// Everything a denoise run does once its sources are open. Every output is
// written to a temporary file and renamed only when the run has succeeded.
RunResult runPipeline(VideoReader &input, VideoReader *reference, const DenoiseOptions &opt,
                      const TnrParams &params) {
  const VideoInfo info = input.info();
  const int w = info.width, h = info.height;
  setMemoryNote(w, h);
  Denoiser denoiser(w, h, params);
  if (reference) checkSameSize(info, reference->info(), "the reference");
  const MapSelection maps = parseMapFrames(opt.mapFrames);

  const bool toStdout = opt.output == "-";
  const Container container = containerFor(opt.output, opt.format);
  std::optional<Container> compareContainer;
  if (!opt.compare.empty()) compareContainer = containerFor(opt.compare);
  std::optional<OutputFile> out;
  if (!toStdout) out.emplace(opt.output);
  std::optional<OutputFile> cmpFile;
  if (!opt.compare.empty()) cmpFile.emplace(opt.compare);
  MapsFolder mapsFolder(opt.mapsDir);
  std::vector<std::unique_ptr<OutputFile>> pending;  // maps, CSV, plot
  auto writer = createWriter(toStdout ? "-" : out->tempPath(), container, info, opt.output);
  std::unique_ptr<VideoWriter> cmpWriter;
  if (cmpFile) {
    VideoInfo ci = info;
    ci.width = 3 * w;
    cmpWriter = createWriter(cmpFile->tempPath(), *compareContainer, ci, opt.compare);
  }

  long long total = info.frameCount > 0 ? std::max(0LL, info.frameCount - opt.start) : -1;
  if (opt.frames > 0) total = total > 0 ? std::min(total, opt.frames) : opt.frames;
  if (opt.start > 0 && !input.skip(opt.start))
    throw ToolError("--start " + std::to_string(opt.start) + " is past the end of the input");
  if (reference && opt.start > 0 && !reference->skip(opt.start))
    throw ToolError("--start " + std::to_string(opt.start) + " is past the end of the reference");

  RunResult r;
  const auto runStart = Clock::now();
  if (reference) r.quality.emplace(w, h);
  Progress progress(opt.quiet, total);
  Frame frame, in, clean, cmp, lastIn;
  const bool keepInput = !opt.mapsDir.empty() || cmpWriter || reference;
  bool lastPending = false;
  long long firstPts = 0;  // outputs start at 0, after --start too
  while ((opt.frames <= 0 || r.frames < opt.frames) && input.read(frame)) {
    if (r.frames == 0) firstPts = input.pts();
    if (keepInput) in = frame;
    const auto t0 = Clock::now();
    denoiser.process(frame.data());
    r.seconds += std::chrono::duration<double>(Clock::now() - t0).count();
    r.staticRatioSum += denoiser.meanStaticRatio();
    if (reference) r.motion.push_back(denoiser.stats());
    writer->write(frame.data(), input.pts() - firstPts);
    if (cmpWriter) {
      composeComparison(in, frame, denoiser, w, h, cmp);
      cmpWriter->write(cmp.data(), input.pts() - firstPts);
      if (!opt.comparePng.empty() && r.frames == opt.comparePngFrame)
        pending.push_back(pngOutput(opt.comparePng, greyFromPlane(cmp.data(), 3 * w, h, 3 * w)));
    }
    if (reference) {
      if (!reference->read(clean))
        throw ToolError("the reference ends after " + std::to_string(r.frames) +
                        " frames, before the input");
      r.quality->add(clean, in, frame);
    }
    if (!opt.mapsDir.empty()) {
      if (maps.wants(r.frames)) {
        mapsFolder.ensure();
        writeMaps(opt.mapsDir, r.frames, in, frame, denoiser, w, h, pending);
      }
      lastPending = maps.last && !maps.wants(r.frames);
    }
    ++r.frames;
    progress.update(r.frames);
  }
  progress.done();
  if (r.frames == 0) throw ToolError("no frame to process in the input");
  if (lastPending) {
    mapsFolder.ensure();
    writeMaps(opt.mapsDir, r.frames - 1, in, frame, denoiser, w, h, pending);
  }
  if (!opt.mapsDir.empty())
    for (long long i : maps.indices)
      if (i >= r.frames)
        warn("--map-frames " + std::to_string(i) + " is beyond the last frame (" +
             std::to_string(r.frames - 1) + "): no map for it");

  writer->finish(input.endPts() - firstPts);
  if (cmpWriter) cmpWriter->finish(input.endPts() - firstPts);
  r.written = writer->framesWritten();
  r.repeated = writer->repeated();
  r.dropped = writer->dropped();
  if (reference && !opt.csv.empty()) pending.push_back(writeCsv(opt.csv, *r.quality, r.motion, opt.start));
  if (reference) {
    std::string plot = opt.plot;
    if (plot.empty() && !opt.csv.empty())
      plot = (fs::path(opt.csv).replace_extension(".png")).string();
    if (!plot.empty()) pending.push_back(writePlot(plot, *r.quality, "input", "filtered"));
  }
  if (out) out->commit();
  if (cmpFile) cmpFile->commit();
  for (auto &f : pending) f->commit();
  mapsFolder.commit();
  r.wallSeconds = std::chrono::duration<double>(Clock::now() - runStart).count();
  return r;
}

void printSummary(std::FILE *f, const RunResult &r, const VideoInfo &info) {
  const double fps = r.seconds > 0 ? r.frames / r.seconds : 0;
  const double wallFps = r.wallSeconds > 0 ? r.frames / r.wallSeconds : 0;
  std::fprintf(f,
      "frames: %lld (%dx%d) in %.1f s, %.1f frames/s (filter alone %.1f frames/s), "
      "mean static ratio %.3f\n",
      r.frames, info.width, info.height, r.wallSeconds, wallFps, fps, r.staticRatioSum / r.frames);
  if (r.quality) {
    const QualityTracker &q = *r.quality;
    std::fprintf(f, "PSNR (luma, mean over frames): input %.2f dB, output %.2f dB (%+.2f dB)\n",
                q.meanPsnrIn(), q.meanPsnrOut(), q.meanPsnrOut() - q.meanPsnrIn());
    if (std::isfinite(q.movingPsnrIn()))
      std::fprintf(f, "PSNR where the reference moves: input %.2f dB, output %.2f dB\n",
                  q.movingPsnrIn(), q.movingPsnrOut());
  }
}

}  // namespace

const std::string &memoryNote() { return gMemoryNote; }

int runDenoise(const DenoiseOptions &opt) {
  containerFor(opt.output, opt.format);
  const bool hasRef = !opt.reference.empty();

  // Every file named, compared as files before anything is opened.
  std::vector<NamedFile> names = {{"INPUT", opt.input, NamedFile::Input},
                                  {"-o", opt.output, NamedFile::Output}};
  if (hasRef) names.push_back({"--reference", opt.reference, NamedFile::Input});
  if (!opt.compare.empty()) names.push_back({"--compare", opt.compare, NamedFile::Output});
  // --csv and --plot are compared even when they do nothing: naming the
  // input as an output is a mistake either way.
  if (!opt.csv.empty()) names.push_back({"--csv", opt.csv, NamedFile::Output});
  if (!opt.plot.empty()) names.push_back({"--plot", opt.plot, NamedFile::Output});
  if (hasRef && !opt.csv.empty() && opt.plot.empty())
    names.push_back({"the plot of --csv", fs::path(opt.csv).replace_extension(".png").string(),
                     NamedFile::Output});
  if (!opt.mapsDir.empty()) names.push_back({"--maps", opt.mapsDir, NamedFile::Folder});
  checkNoCollisions(names);
  for (const NamedFile &n : names) {
    if (n.kind != NamedFile::Output) continue;
    if (!hasRef && (n.option == "--csv" || n.option == "--plot")) continue;
    if (n.path != "-")
      checkWritable(n.path, n.option);
    else if (n.option != "-o")
      throw ToolError(n.option + " cannot write to standard output; only -o can");
  }
  if (!opt.compare.empty()) containerFor(opt.compare);
  if (!opt.mapsDir.empty()) checkMapsFolder(opt.mapsDir);
  // Options that do nothing are said once everything named is known sound.
  if (!opt.format.empty() && opt.output != "-")
    warn("--format does nothing for a file output: its extension chooses the format");
  if (!hasRef) {
    if (!opt.csv.empty()) warn("--csv does nothing without --reference");
    if (!opt.plot.empty()) warn("--plot does nothing without --reference");
  }
  if (opt.mapFramesGiven && opt.mapsDir.empty()) warn("--map-frames does nothing without --maps");

  const TnrParams params = withGrid(opt.params, opt.grid);
  const std::optional<Size> size = optionalSize(opt.size);
  ReadOptions in;
  in.rawSize = size;
  in.acceptDamaged = opt.acceptDamaged;
  auto input = openVideo(opt.input, in);
  printNotices(*input);
  std::unique_ptr<VideoReader> reference;
  if (hasRef) {
    // --size describes the reference too when it is raw NV12: when it is not
    // named or shaped as a container.
    ReadOptions ref = in;
    ref.sizeOnlyIfRaw = true;
    reference = openVideo(opt.reference, ref);
    printNotices(*reference);
  }
  const RunResult r = runPipeline(*input, reference.get(), opt, params);
  printDamage(*input);
  if (reference) printDamage(*reference);
  if (!opt.quiet) {
    // With the video on standard output, the summary goes to standard error.
    if (opt.output == "-") {
      printSummary(stderr, r, input->info());
    } else {
      printSummary(stdout, r, input->info());
      std::printf("wrote %s\n", opt.output.c_str());
    }
    const std::string timing = timingNote(opt.output == "-" ? "standard output" : opt.output,
                                          input->info(), r.written, r.repeated, r.dropped);
    if (!timing.empty()) std::fprintf(opt.output == "-" ? stderr : stdout, "%s\n", timing.c_str());
  }
  return 0;
}

int runDemo(const DemoOptions &opt) {
  const Size size = parseSize(opt.size, "--size");
  checkFrameSize(size.width, size.height, "--size");
  if (opt.frames < 2) throw ToolError("--frames must be at least 2");
  setMemoryNote(size.width, size.height);
  const Scene scene(size.width, size.height, opt.frames, opt.seed);
  SceneReader noisy(scene, true), clean(scene, false);
  std::error_code ec;
  fs::create_directories(opt.outDir, ec);
  if (ec || !fs::is_directory(opt.outDir))
    throw ToolError("cannot create the folder '" + opt.outDir + "'");
  const fs::path dir(opt.outDir);
  DenoiseOptions d;
  d.output = (dir / "denoised.mkv").string();
  d.compare = (dir / "compare.mkv").string();
  d.comparePng = (dir / "compare.png").string();
  d.comparePngFrame = opt.frames / 2;
  d.mapsDir = (dir / "maps").string();
  // Frames 1, 10 and the middle one where the scene has them, and the last.
  d.mapFrames = {"last"};
  for (int i : {1, 10, opt.frames / 2})
    if (i < opt.frames && std::find(d.mapFrames.begin(), d.mapFrames.end(), std::to_string(i)) == d.mapFrames.end())
      d.mapFrames.push_back(std::to_string(i));
  d.csv = (dir / "psnr.csv").string();
  d.plot = (dir / "psnr.png").string();
  d.quiet = opt.quiet;
  if (!opt.quiet)
    std::printf("demo: %dx%d, %d frames of a synthetic scene with sensor-like noise\n", size.width,
                size.height, opt.frames);
  const RunResult r = runPipeline(noisy, &clean, d, opt.params);
  const QualityTracker &q = *r.quality;
  // The figures go to standard output even with -q: they are the demo's result.
  std::printf("PSNR before: %.2f dB\nPSNR after:  %.2f dB (%+.2f dB)\n", q.meanPsnrIn(),
              q.meanPsnrOut(), q.meanPsnrOut() - q.meanPsnrIn());
  if (!opt.quiet) {
    std::printf("PSNR where objects move: before %.2f dB, after %.2f dB\n", q.movingPsnrIn(),
                q.movingPsnrOut());
    std::printf("filter speed %.1f frames/s, mean static ratio %.3f\n",
                r.seconds > 0 ? r.frames / r.seconds : 0, r.staticRatioSum / r.frames);
    std::printf(
        "outputs in %s/:\n  denoised.mkv  filtered video (lossless FFV1)\n"
        "  compare.mkv   noisy | filtered | static-ratio map (compare.png: one frame)\n"
        "  maps/         PNG maps of chosen frames\n"
        "  psnr.csv, psnr.png  PSNR per frame\n",
        opt.outDir.c_str());
  }
  return 0;
}

int runConvert(const ConvertOptions &opt) {
  const Container container = containerFor(opt.output, opt.format);
  if (!opt.format.empty() && opt.output != "-")
    warn("--format does nothing for a file output: its extension chooses the format");
  checkNoCollisions({{"INPUT", opt.input, NamedFile::Input}, {"-o", opt.output, NamedFile::Output}});
  if (opt.output != "-") checkWritable(opt.output, "-o");
  ReadOptions ro;
  ro.rawSize = optionalSize(opt.size);
  ro.acceptDamaged = opt.acceptDamaged;
  auto input = openVideo(opt.input, ro);
  printNotices(*input);
  setMemoryNote(input->info().width, input->info().height);
  std::optional<OutputFile> out;
  if (opt.output != "-") out.emplace(opt.output);
  auto writer = createWriter(out ? out->tempPath() : "-", container, input->info(), opt.output);
  if (opt.start > 0 && !input->skip(opt.start))
    throw ToolError("--start " + std::to_string(opt.start) + " is past the end of the input");
  Frame f;
  long long n = 0, firstPts = 0;
  while ((opt.frames <= 0 || n < opt.frames) && input->read(f)) {
    if (n == 0) firstPts = input->pts();
    if (opt.noise > 0) addGaussianNoise(f, opt.noise, opt.seed, opt.start + n);
    writer->write(f.data(), input->pts() - firstPts);
    ++n;
  }
  if (n == 0) throw ToolError("no frame to convert in the input");
  writer->finish(input->endPts() - firstPts);
  if (out) out->commit();
  printDamage(*input);
  const std::string timing = timingNote(opt.output == "-" ? "standard output" : opt.output,
                                        input->info(), writer->framesWritten(), writer->repeated(),
                                        writer->dropped());
  if (!timing.empty()) note(timing);
  return 0;
}

int runSweep(const SweepOptions &opt) {
  if (!opt.csv.empty()) {
    checkNoCollisions({{"CLEAN", opt.clean, NamedFile::Input}, {"--csv", opt.csv, NamedFile::Output}});
    if (opt.csv == "-") throw ToolError("--csv cannot write to standard output");
    checkWritable(opt.csv, "--csv");
  }
  ReadOptions ro;
  ro.rawSize = optionalSize(opt.size);
  ro.acceptDamaged = opt.acceptDamaged;
  auto input = openVideo(opt.clean, ro);
  printNotices(*input);
  setMemoryNote(input->info().width, input->info().height);
  const int w = input->info().width, h = input->info().height;
  if (opt.start > 0 && !input->skip(opt.start)) throw ToolError("--start is past the end");
  std::vector<Frame> clean;
  Frame f;
  while ((opt.frames <= 0 || static_cast<long long>(clean.size()) < opt.frames) && input->read(f))
    clean.push_back(f);
  if (clean.empty()) throw ToolError("no frame in the clean input");
  printDamage(*input);
  std::optional<OutputFile> csvFile;
  FILE *csv = nullptr;
  if (!opt.csv.empty()) {
    csvFile.emplace(opt.csv);
    csv = std::fopen(csvFile->tempPath().c_str(), "w");
    if (!csv) throw ToolError("cannot write '" + opt.csv + "': " + std::strerror(errno));
    std::fprintf(csv,
                 "noise,sigma_h,sigma_l,uv_ratio,static_ratio_bit,spatial,psnr_input_db,"
                 "psnr_output_db,psnr_input_moving_db,psnr_output_moving_db,psnr_input_still_db,"
                 "psnr_output_still_db,ghost_share_input,ghost_share_output,noise_estimate\n");
  }
  std::printf("%zu frames %dx%d\n", clean.size(), w, h);
  std::printf(
      "noise sigma_h sigma_l uv_ratio bit spatial | psnr_in psnr_out | moving_in moving_out | "
      "still_in still_out | ghost%%_in ghost%%_out | sigma_est align\n");
  for (double sigma : opt.noise) {
    std::vector<Frame> noisy = clean;
    for (size_t i = 0; i < noisy.size(); ++i)
      addGaussianNoise(noisy[i], sigma, opt.seed, opt.start + static_cast<long long>(i));
    for (float sh : opt.sigmaH)
      for (float sl : opt.sigmaL)
        for (float uv : opt.uvRatio)
          for (int bit : opt.staticRatioBit)
            for (float sp : opt.spatial)
             for (int al : opt.align) {
              TnrParams p;
              p.align = al != 0;
              p.sigmaH = sh;
              p.sigmaL = sl;
              p.uvRatio = uv;
              p.staticRatioBit = bit;
              p.spatial = sp;
              Denoiser d(w, h, p);
              QualityTracker q(w, h, static_cast<int>(std::lround(4 * sigma)));
              Frame out;
              double noiseSum = 0;
              for (size_t i = 0; i < clean.size(); ++i) {
                out = noisy[i];
                d.process(out.data());
                noiseSum += d.noiseLevel();
                q.add(clean[i], noisy[i], out);
              }
              const double noiseMean = noiseSum / static_cast<double>(clean.size());
              std::printf(
                  "%5.1f %7.3f %7.3f %8.3f %3d %7.2f | %7.2f %8.2f | %9.2f %10.2f | %8.2f %9.2f | "
                  "%9.3f %10.3f | %9.2f %5d\n",
                  sigma, sh, sl, uv, bit, sp, q.meanPsnrIn(), q.meanPsnrOut(), q.movingPsnrIn(),
                  q.movingPsnrOut(), q.stillPsnrIn(), q.stillPsnrOut(), 100 * q.ghostShareIn(),
                  100 * q.ghostShareOut(), noiseMean, al);
              std::fflush(stdout);
              if (csv)
                std::fprintf(csv, "%g,%g,%g,%g,%d,%g,%.4f,%.4f,%.4f,%.4f,%.4f,%.4f,%.6f,%.6f,%.3f\n",
                             sigma, sh, sl, uv, bit, sp, q.meanPsnrIn(), q.meanPsnrOut(),
                             q.movingPsnrIn(), q.movingPsnrOut(), q.stillPsnrIn(),
                             q.stillPsnrOut(), q.ghostShareIn(), q.ghostShareOut(), noiseMean);
            }
  }
  if (csv) {
    const bool bad = std::fflush(csv) != 0 || std::ferror(csv);
    const int e = errno;
    if (std::fclose(csv) != 0 || bad) {
      if (bad) errno = e;
      throw ToolError("cannot write '" + opt.csv + "': " + std::strerror(errno));
    }
    csvFile->commit();
  }
  return 0;
}

}  // namespace tnr
