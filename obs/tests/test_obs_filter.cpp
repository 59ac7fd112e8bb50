// The OBS filter's frame callback (tnrObsFilterVideo, what the module's
// filter_video calls) on frames laid out as libobs hands them, against the
// stream object called directly: NV12 and I420 give the stream's bytes, packed
// 4:2:2 gives the stream's luma, padding and other formats stay untouched, and
// a new sequence starts exactly where the filter says it does.
#include <gtest/gtest.h>
#include <obs.h>

#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "tnr_md_stream.h"
#include "tnr_obs_filter.h"

namespace {

// ---- Pictures (compact, the test's own layout) ------------------------------

// 4:2:0: w x h luma, then h/2 rows of w interleaved U,V bytes (NV12 without padding).
struct Pic420 {
  int w = 0, h = 0;
  std::vector<uint8_t> px;
  uint8_t *y() { return px.data(); }
  uint8_t *c() { return px.data() + size_t(w) * h; }
  const uint8_t *y() const { return px.data(); }
  const uint8_t *c() const { return px.data() + size_t(w) * h; }
  bool operator==(const Pic420 &o) const { return w == o.w && h == o.h && px == o.px; }
};

// 4:2:2: w x h luma, then h rows of w interleaved U,V bytes.
struct Pic422 {
  int w = 0, h = 0;
  std::vector<uint8_t> px;
  uint8_t *y() { return px.data(); }
  uint8_t *c() { return px.data() + size_t(w) * h; }
  const uint8_t *y() const { return px.data(); }
  const uint8_t *c() const { return px.data() + size_t(w) * h; }
};

Pic420 makePic420(int w, int h) {
  return Pic420{w, h, std::vector<uint8_t>(size_t(w) * h * 3 / 2)};
}
Pic422 makePic422(int w, int h) { return Pic422{w, h, std::vector<uint8_t>(size_t(w) * h * 2)}; }

// A noisy scene: a textured, lit background and a square that moves 3 pixels
// a frame; the noise differs per frame (seeded).
uint8_t clip8(int v) { return uint8_t(v < 0 ? 0 : v > 255 ? 255 : v); }
int sceneLuma(int x, int y, int t, int w) {
  const int sq = w / 4, sx = (3 * t) % (w - sq), sy = sq / 2;
  if (x >= sx && x < sx + sq && y >= sy && y < sy + sq) return 200 - ((x - sx) * 7 + y) % 40;
  return 60 + (x * 5 + y * 3) % 50 + (x / 16 + y / 16) % 2 * 30;
}
Pic420 synth420(int w, int h, int t, unsigned seed) {
  std::mt19937 rng(seed * 1000u + unsigned(t));
  std::normal_distribution<double> n(0.0, 6.0), nc(0.0, 3.0);
  Pic420 p = makePic420(w, h);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x)
      p.y()[size_t(y) * w + x] = clip8(sceneLuma(x, y, t, w) + int(std::lround(n(rng))));
  for (int y = 0; y < h / 2; ++y)
    for (int x = 0; x < w; ++x)
      p.c()[size_t(y) * w + x] =
          clip8(128 + (x & 1 ? 10 : -12) + (sceneLuma(x, 2 * y, t, w) - 100) / 8 +
                int(std::lround(nc(rng))));
  return p;
}
Pic422 synth422(int w, int h, int t, unsigned seed) {
  std::mt19937 rng(seed * 1000u + unsigned(t) + 77u);
  std::normal_distribution<double> n(0.0, 6.0), nc(0.0, 4.0);
  Pic422 p = makePic422(w, h);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      p.y()[size_t(y) * w + x] = clip8(sceneLuma(x, y, t, w) + int(std::lround(n(rng))));
      p.c()[size_t(y) * w + x] = clip8(
          128 + (x & 1 ? 10 : -12) + (sceneLuma(x, y, t, w) - 100) / 8 + int(std::lround(nc(rng))));
    }
  return p;
}

// A camera panning over a textured picture: frame t's content is frame 0's
// moved right by t * dx and down by t * dy luma pixels (sub-pixel steps
// sampled from a smooth random texture; chroma by half as many chroma
// samples), with noise after.
double lattice(unsigned seed, int i, int j) {
  uint32_t n = (seed ^ uint32_t(i) * 73856093u ^ uint32_t(j) * 19349663u) * 2654435761u;
  n ^= n >> 13;
  n *= 0x5bd1e995u;
  n ^= n >> 15;
  return double(n & 0xffff) / 65535.0;
}
double texture(unsigned seed, double spacing, double y, double x) {
  const double fy = y / spacing, fx = x / spacing;
  const int iy = int(std::floor(fy)), ix = int(std::floor(fx));
  const double ty = fy - iy, tx = fx - ix;
  const double top = lattice(seed, iy, ix) * (1 - tx) + lattice(seed, iy, ix + 1) * tx;
  const double bottom = lattice(seed, iy + 1, ix) * (1 - tx) + lattice(seed, iy + 1, ix + 1) * tx;
  return top * (1 - ty) + bottom * ty;
}
Pic420 pan420(int w, int h, int t, double dx, double dy, unsigned seed) {
  std::mt19937 rng(seed * 1000u + unsigned(t) + 5u);
  std::normal_distribution<double> n(0.0, 2.0);
  Pic420 p = makePic420(w, h);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) {
      const double ly = y - t * dy, lx = x - t * dx;
      p.y()[size_t(y) * w + x] = clip8(int(std::lround(
          30 + 110 * texture(seed, 5, ly, lx) + 90 * texture(seed + 1, 17, ly, lx) + n(rng))));
    }
  for (int y = 0; y < h / 2; ++y)
    for (int x = 0; x < w; ++x) {
      const double cy = 2 * y + 0.5 - t * dy, cx = 2 * (x / 2) + 0.5 - t * dx;
      p.c()[size_t(y) * w + x] =
          clip8(int(std::lround(70 + 110 * texture(seed + 2 + (x & 1), x & 1 ? 13 : 9, cy, cx))));
    }
  return p;
}

// 4:2:2 whose two rows of each pair carry the same chroma (the 4:2:0 picture's).
Pic422 doubledRows(const Pic420 &p) {
  Pic422 q = makePic422(p.w, p.h);
  std::memcpy(q.y(), p.y(), size_t(p.w) * p.h);
  for (int y = 0; y < p.h; ++y)
    std::memcpy(q.c() + size_t(y) * p.w, p.c() + size_t(y / 2) * p.w, p.w);
  return q;
}

// ---- Real footage (written by footage.py; empty when it could not be had) ----

struct Footage {
  int w = 768, h = 576;
  std::vector<Pic420> noisy, clean;
  std::vector<std::vector<uint8_t>> yuyvNoisy, yuyvClean;  // packed Y0 U Y1 V
  std::string why;
};

const Footage &footage() {
  static Footage f = [] {
    Footage r;
    const std::string base = TNR_OBS_FOOTAGE;
    std::ifstream why(base + ".why");
    if (why) {
      r.why.assign(std::istreambuf_iterator<char>(why), {});
      return r;
    }
    auto read = [&](const std::string &ext, size_t bytes, auto &&add) {
      std::ifstream in(base + "." + ext, std::ios::binary);
      std::vector<uint8_t> buf(bytes);
      while (in.read(reinterpret_cast<char *>(buf.data()), std::streamsize(bytes))) add(buf);
    };
    const size_t n420 = size_t(r.w) * r.h * 3 / 2, n422 = size_t(r.w) * r.h * 2;
    read("noisy.nv12", n420, [&](auto &b) { r.noisy.push_back(Pic420{r.w, r.h, b}); });
    read("clean.nv12", n420, [&](auto &b) { r.clean.push_back(Pic420{r.w, r.h, b}); });
    read("noisy.yuyv", n422, [&](auto &b) { r.yuyvNoisy.push_back(b); });
    read("clean.yuyv", n422, [&](auto &b) { r.yuyvClean.push_back(b); });
    if (r.noisy.empty() || r.noisy.size() != r.yuyvNoisy.size())
      r.why = "no footage at " + base + " (the obs.footage fixture did not run?)";
    return r;
  }();
  return f;
}
#define NEED_FOOTAGE() \
  if (!footage().why.empty()) GTEST_SKIP() << "real footage: " << footage().why

// ---- Frames as libobs hands them ---------------------------------------------

// How a test lays a picture out in an obs_source_frame.
struct Layout {
  video_format format;
  int pad;     // bytes of padding after each row of every plane
  bool split;  // NV12: chroma in a block of its own (else right after luma)
  const char *name;
};

// Byte order of a packed 4:2:2 format, written out by name (I422 is planar).
const char *packedOrder(video_format f) {
  return f == VIDEO_FORMAT_YUY2 ? "YUYV" : f == VIDEO_FORMAT_UYVY ? "UYVY" : "YVYU";
}
bool is422(video_format f) {
  return f == VIDEO_FORMAT_YUY2 || f == VIDEO_FORMAT_UYVY || f == VIDEO_FORMAT_YVYU ||
         f == VIDEO_FORMAT_I422;
}

// One frame's memory: every byte that is not picture holds a known pattern,
// checked after the filter ran (padding, gaps between planes, guard bytes).
struct Frame {
  std::vector<uint8_t> mem;
  std::vector<bool> picture;
  obs_source_frame f{};

  static uint8_t pattern(size_t i) { return uint8_t(0xA5 ^ (i * 31)); }
  void alloc(size_t bytes) {
    mem.resize(bytes + 64);
    picture.assign(mem.size(), false);
    for (size_t i = 0; i < mem.size(); ++i) mem[i] = pattern(i);
  }
  uint8_t *at(size_t off) { return mem.data() + off; }
  void mark(size_t off, size_t n) {
    for (size_t i = 0; i < n; ++i) picture[off + i] = true;
  }
  // Bytes outside the picture that differ from the pattern.
  size_t strayWrites() const {
    size_t n = 0;
    for (size_t i = 0; i < mem.size(); ++i) n += !picture[i] && mem[i] != pattern(i);
    return n;
  }
};

// Planes at offsets in one block; rows of `row` bytes at pitch row + pad.
void plane(Frame &fr, int i, size_t off, int row, int rows, int pad) {
  fr.f.data[i] = fr.at(off);
  fr.f.linesize[i] = uint32_t(row + pad);
  for (int r = 0; r < rows; ++r) fr.mark(off + size_t(r) * (row + pad), size_t(row));
}

Frame frame420(const Pic420 &p, const Layout &l, uint64_t ts) {
  Frame fr;
  const int w = p.w, h = p.h, pad = l.pad;
  const size_t ly = size_t(w + pad) * h;
  fr.f.width = uint32_t(w);
  fr.f.height = uint32_t(h);
  fr.f.format = l.format;
  fr.f.timestamp = ts;
  if (l.format == VIDEO_FORMAT_NV12) {
    const size_t coff = l.split ? ly + 40 : ly;  // split: a gap, another pitch
    const int cpad = l.split ? pad + 8 : pad;
    fr.alloc(coff + size_t(w + cpad) * h / 2);
    plane(fr, 0, 0, w, h, pad);
    plane(fr, 1, coff, w, h / 2, cpad);
    for (int y = 0; y < h; ++y)
      std::memcpy(fr.f.data[0] + size_t(y) * fr.f.linesize[0], p.y() + size_t(y) * w, w);
    for (int y = 0; y < h / 2; ++y)
      std::memcpy(fr.f.data[1] + size_t(y) * fr.f.linesize[1], p.c() + size_t(y) * w, w);
  } else {  // I420, with V before U in memory and pitches of their own
    const int cw = w / 2, upad = pad + 2, vpad = pad + 6;
    const size_t voff = ly + 16, uoff = voff + size_t(cw + vpad) * h / 2 + 8;
    fr.alloc(uoff + size_t(cw + upad) * h / 2);
    plane(fr, 0, 0, w, h, pad);
    plane(fr, 1, uoff, cw, h / 2, upad);
    plane(fr, 2, voff, cw, h / 2, vpad);
    for (int y = 0; y < h; ++y)
      std::memcpy(fr.f.data[0] + size_t(y) * fr.f.linesize[0], p.y() + size_t(y) * w, w);
    for (int y = 0; y < h / 2; ++y)
      for (int x = 0; x < cw; ++x) {
        fr.f.data[1][size_t(y) * fr.f.linesize[1] + x] = p.c()[size_t(y) * w + 2 * x];
        fr.f.data[2][size_t(y) * fr.f.linesize[2] + x] = p.c()[size_t(y) * w + 2 * x + 1];
      }
  }
  return fr;
}

Pic420 read420(const Frame &fr) {
  const int w = int(fr.f.width), h = int(fr.f.height);
  Pic420 p = makePic420(w, h);
  for (int y = 0; y < h; ++y)
    std::memcpy(p.y() + size_t(y) * w, fr.f.data[0] + size_t(y) * fr.f.linesize[0], w);
  if (fr.f.format == VIDEO_FORMAT_NV12) {
    for (int y = 0; y < h / 2; ++y)
      std::memcpy(p.c() + size_t(y) * w, fr.f.data[1] + size_t(y) * fr.f.linesize[1], w);
  } else {
    for (int y = 0; y < h / 2; ++y)
      for (int x = 0; x < w / 2; ++x) {
        p.c()[size_t(y) * w + 2 * x] = fr.f.data[1][size_t(y) * fr.f.linesize[1] + x];
        p.c()[size_t(y) * w + 2 * x + 1] = fr.f.data[2][size_t(y) * fr.f.linesize[2] + x];
      }
  }
  return p;
}

Frame frame422(const Pic422 &p, const Layout &l, uint64_t ts) {
  Frame fr;
  const int w = p.w, h = p.h;
  fr.f.width = uint32_t(w);
  fr.f.height = uint32_t(h);
  fr.f.format = l.format;
  fr.f.timestamp = ts;
  if (l.format == VIDEO_FORMAT_I422) {  // planar, V before U, pitches of their own
    const size_t ly = size_t(w + l.pad) * h, voff = ly + 24,
                 uoff = voff + size_t(w / 2 + l.pad + 4) * h + 8;
    fr.alloc(uoff + size_t(w / 2 + l.pad + 2) * h);
    plane(fr, 0, 0, w, h, l.pad);
    plane(fr, 1, uoff, w / 2, h, l.pad + 2);
    plane(fr, 2, voff, w / 2, h, l.pad + 4);
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x) {
        fr.f.data[0][size_t(y) * fr.f.linesize[0] + x] = p.y()[size_t(y) * w + x];
        if (x % 2 == 0) {
          fr.f.data[1][size_t(y) * fr.f.linesize[1] + x / 2] = p.c()[size_t(y) * w + x];
          fr.f.data[2][size_t(y) * fr.f.linesize[2] + x / 2] = p.c()[size_t(y) * w + x + 1];
        }
      }
    return fr;
  }
  fr.alloc(size_t(2 * w + l.pad) * h);
  plane(fr, 0, 0, 2 * w, h, l.pad);
  const char *order = packedOrder(l.format);
  for (int y = 0; y < h; ++y)
    for (int i = 0; i < w / 2; ++i)
      for (int k = 0, ys = 0; k < 4; ++k) {
        uint8_t &dst = fr.f.data[0][size_t(y) * fr.f.linesize[0] + 4 * i + k];
        const size_t c = size_t(y) * w + 2 * i;
        dst = order[k] == 'Y'   ? p.y()[size_t(y) * w + 2 * i + ys++]
              : order[k] == 'U' ? p.c()[c]
                                : p.c()[c + 1];
      }
  return fr;
}

Pic422 read422(const Frame &fr) {
  const int w = int(fr.f.width), h = int(fr.f.height);
  Pic422 p = makePic422(w, h);
  if (fr.f.format == VIDEO_FORMAT_I422) {
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x) {
        p.y()[size_t(y) * w + x] = fr.f.data[0][size_t(y) * fr.f.linesize[0] + x];
        p.c()[size_t(y) * w + x] =
            fr.f.data[1 + x % 2][size_t(y) * fr.f.linesize[1 + x % 2] + x / 2];
      }
    return p;
  }
  const char *order = packedOrder(fr.f.format);
  for (int y = 0; y < h; ++y)
    for (int i = 0; i < w / 2; ++i)
      for (int k = 0, ys = 0; k < 4; ++k) {
        const uint8_t v = fr.f.data[0][size_t(y) * fr.f.linesize[0] + 4 * i + k];
        const size_t c = size_t(y) * w + 2 * i;
        (order[k] == 'Y'   ? p.y()[size_t(y) * w + 2 * i + ys++]
         : order[k] == 'U' ? p.c()[c]
                           : p.c()[c + 1]) = v;
      }
  return p;
}

// The clip's YUY2 bytes as a picture.
Pic422 fromYuyv(const std::vector<uint8_t> &b, int w, int h) {
  Frame fr;
  fr.mem = b;
  fr.f.width = uint32_t(w);
  fr.f.height = uint32_t(h);
  fr.f.format = VIDEO_FORMAT_YUY2;
  fr.f.data[0] = fr.mem.data();
  fr.f.linesize[0] = uint32_t(2 * w);
  return read422(fr);
}

// ---- The stream called directly ------------------------------------------------

TnrMdParams paramsOf(const TnrObsSettings &s) {
  TnrMdParams p;
  tnrMdParamsDefault(&p);
  EXPECT_EQ(tnrMdParamsPreset(&p, s.strength), TNR_MD_OK);
  p.spatial = s.spatial;
  p.align = s.align;
  return p;
}

struct Reference {
  TnrMdStream *s = nullptr;
  Reference(int w, int h, const TnrObsSettings &set) {
    const TnrMdParams p = paramsOf(set);
    TnrMdError e{};
    EXPECT_EQ(tnrMdStreamCreate(&s, w, h, &p, nullptr, 0, &e), TNR_MD_OK) << e.message;
  }
  ~Reference() { tnrMdStreamDestroy(s); }
  Reference(const Reference &) = delete;
  Reference &operator=(const Reference &) = delete;
  Pic420 run(Pic420 p) {
    TnrMdImage img = {p.y(), p.w, p.c(), p.w, p.px.size()};
    TnrMdError e{};
    EXPECT_EQ(tnrMdStreamProcess(s, &img, nullptr, &e), TNR_MD_OK) << e.message;
    return p;
  }
  void set(const TnrObsSettings &set) {
    const TnrMdParams p = paramsOf(set);
    EXPECT_EQ(tnrMdStreamSetParams(s, &p, nullptr), TNR_MD_OK);
  }
};

// 4:2:2 brought to the stream's 4:2:0 by the rule the filter states: the
// chroma of each pair of rows averaged, rounding up.
Pic420 averaged(const Pic422 &q) {
  Pic420 p = makePic420(q.w, q.h);
  std::memcpy(p.y(), q.y(), size_t(q.w) * q.h);
  for (int y = 0; y < q.h / 2; ++y)
    for (int x = 0; x < q.w; ++x)
      p.c()[size_t(y) * q.w + x] =
          uint8_t((q.c()[size_t(2 * y) * q.w + x] + q.c()[size_t(2 * y + 1) * q.w + x] + 1) / 2);
  return p;
}

// ---- The filter ----------------------------------------------------------------

struct Log {
  std::vector<std::string> lines;
  static void add(void *ctx, const char *m) { static_cast<Log *>(ctx)->lines.push_back(m); }
};

struct Filter {
  Log log;
  TnrObsFilter *f;
  explicit Filter(const TnrObsSettings &s) : f(tnrObsFilterCreate(&s, Log::add, &log)) {}
  ~Filter() { tnrObsFilterDestroy(f); }
  Filter(const Filter &) = delete;
  Filter &operator=(const Filter &) = delete;
  void run(Frame &fr) { ASSERT_EQ(tnrObsFilterVideo(f, &fr.f), &fr.f); }
};

TnrObsSettings settings(int strength, float spatial, int threads) {
  TnrObsSettings s;
  tnrObsSettingsDefault(&s);
  s.strength = strength;
  s.spatial = spatial;
  s.threads = threads;
  return s;
}

// The settings every sequence below runs under: the defaults the module
// ships, the strongest preset with a strong spatial stage on a pool of
// three, the lightest without spatial stage on the calling thread.
std::vector<TnrObsSettings> settingsToTry() {
  TnrObsSettings d;
  tnrObsSettingsDefault(&d);
  return {d, settings(TNR_MD_PRESET_STRONG, 6.0f, 3), settings(TNR_MD_PRESET_LIGHT, 0.0f, 1)};
}

const Layout k420Layouts[] = {
    {VIDEO_FORMAT_NV12, 0, false, "NV12 one block"},
    {VIDEO_FORMAT_NV12, 32, false, "NV12 one block, padded rows"},
    {VIDEO_FORMAT_NV12, 13, true, "NV12 planes apart, odd pitches"},
    {VIDEO_FORMAT_I420, 0, false, "I420"},
    {VIDEO_FORMAT_I420, 24, false, "I420, padded rows"},
};
const Layout k422Layouts[] = {
    {VIDEO_FORMAT_YUY2, 0, false, "YUY2"},
    {VIDEO_FORMAT_UYVY, 20, false, "UYVY, padded rows"},
    {VIDEO_FORMAT_YVYU, 6, false, "YVYU, padded rows"},
    {VIDEO_FORMAT_I422, 10, false, "I422 (planar), padded rows"},
};

std::string describe(const Layout &l, const TnrObsSettings &s) {
  char b[160];
  std::snprintf(b, sizeof b, "%s; strength %d, spatial %.1f, threads %d", l.name, s.strength,
                double(s.spatial), s.threads);
  return b;
}

constexpr uint64_t kFrameNs = 33333333;

// Runs `seq` through a new filter in `l` and through the stream directly; every
// frame must match and nothing outside the picture may change.
void expect420MatchesStream(const std::vector<Pic420> &seq, const Layout &l,
                            const TnrObsSettings &s) {
  SCOPED_TRACE(describe(l, s));
  Filter filter(s);
  Reference ref(seq[0].w, seq[0].h, s);
  for (size_t t = 0; t < seq.size(); ++t) {
    Frame fr = frame420(seq[t], l, t * kFrameNs);
    filter.run(fr);
    const Pic420 want = ref.run(seq[t]);
    ASSERT_TRUE(read420(fr) == want) << "frame " << t;
    ASSERT_EQ(fr.strayWrites(), 0u) << "frame " << t;
  }
  EXPECT_EQ(tnrObsFilterFramesFiltered(filter.f), int64_t(seq.size()));
  EXPECT_TRUE(filter.log.lines.empty()) << filter.log.lines[0];
}

std::vector<Pic420> synthSeq(int w, int h, int n, unsigned seed) {
  std::vector<Pic420> v;
  for (int t = 0; t < n; ++t) v.push_back(synth420(w, h, t, seed));
  return v;
}

TEST(ObsFilterFrames, Nv12AndI420GiveTheStreamsBytesOnSyntheticSequences) {
  // A width that is no multiple of 8 or 16, and a common one.
  for (auto [w, h] : {std::pair{134, 70}, std::pair{192, 108}})
    for (const Layout &l : k420Layouts)
      for (const TnrObsSettings &s : settingsToTry())
        expect420MatchesStream(synthSeq(w, h, 8, 3), l, s);
}

TEST(ObsFilterFrames, Nv12AndI420GiveTheStreamsBytesOnRealFootage) {
  NEED_FOOTAGE();
  for (const Layout &l : k420Layouts)
    for (const TnrObsSettings &s : settingsToTry()) expect420MatchesStream(footage().noisy, l, s);
}

// Packed 4:2:2 whose row pairs carry equal chroma is a 4:2:0 picture in
// disguise: luma and both rows' chroma must be the stream's bytes exactly.
void expect422OfEqualRowsMatchesStream(const std::vector<Pic420> &seq, const Layout &l,
                                       const TnrObsSettings &s) {
  SCOPED_TRACE(describe(l, s));
  Filter filter(s);
  Reference ref(seq[0].w, seq[0].h, s);
  for (size_t t = 0; t < seq.size(); ++t) {
    Frame fr = frame422(doubledRows(seq[t]), l, t * kFrameNs);
    filter.run(fr);
    const Pic422 got = read422(fr), want = doubledRows(ref.run(seq[t]));
    ASSERT_TRUE(got.px == want.px) << "frame " << t;
    ASSERT_EQ(fr.strayWrites(), 0u) << "frame " << t;
  }
}

TEST(ObsFilterFrames, Yuv422WithEqualRowPairsGivesTheStreamsBytes) {
  for (const Layout &l : k422Layouts)
    for (const TnrObsSettings &s : settingsToTry())
      expect422OfEqualRowsMatchesStream(synthSeq(134, 70, 8, 5), l, s);
  if (footage().why.empty())
    for (const Layout &l : k422Layouts)
      expect422OfEqualRowsMatchesStream(footage().noisy, l, settingsToTry()[0]);
}

// General 4:2:2: luma is the stream's (on the row-pair average of chroma);
// each row's chroma moves by the filter's change of that average, so a frame
// the filter leaves alone comes out unchanged, and the noise goes down.
void expect422General(const std::vector<Pic422> &noisy, const std::vector<Pic422> *clean,
                      const Layout &l, const TnrObsSettings &s) {
  SCOPED_TRACE(describe(l, s));
  Filter filter(s);
  Reference ref(noisy[0].w, noisy[0].h, s);
  double errIn = 0, errOut = 0;
  for (size_t t = 0; t < noisy.size(); ++t) {
    Frame fr = frame422(noisy[t], l, t * kFrameNs);
    filter.run(fr);
    const Pic422 got = read422(fr);
    const Pic420 want = ref.run(averaged(noisy[t]));
    const size_t lumaBytes = size_t(got.w) * got.h;
    ASSERT_EQ(std::memcmp(got.y(), want.y(), lumaBytes), 0) << "luma, frame " << t;
    ASSERT_EQ(fr.strayWrites(), 0u) << "frame " << t;
    // Where the stream left a row pair's average as it was, both rows stay.
    const Pic420 avg = averaged(noisy[t]);
    for (int y = 0; y < got.h; ++y)
      for (int x = 0; x < got.w; ++x) {
        const size_t i = size_t(y) * got.w + x, a = size_t(y / 2) * got.w + x;
        if (want.c()[a] == avg.c()[a])
          ASSERT_EQ(got.c()[i], noisy[t].c()[i]) << "frame " << t << " at " << x << "," << y;
      }
    if (clean && t >= 4)
      for (size_t i = 0; i < lumaBytes; ++i) {
        const double dn = noisy[t].c()[i] - (*clean)[t].c()[i],
                     dg = got.c()[i] - (*clean)[t].c()[i];
        errIn += dn * dn;
        errOut += dg * dg;
      }
  }
  if (clean) EXPECT_LT(errOut, 0.8 * errIn) << "chroma error against the clean clip";
}

TEST(ObsFilterFrames, Yuv422FiltersLumaAsTheStreamAndMovesChromaByItsChange) {
  std::vector<Pic422> seq;
  for (int t = 0; t < 8; ++t) seq.push_back(synth422(134, 70, t, 9));
  for (const Layout &l : k422Layouts)
    for (const TnrObsSettings &s : settingsToTry()) expect422General(seq, nullptr, l, s);
}

TEST(ObsFilterFrames, Yuv422OnRealFootageLosesChromaNoise) {
  NEED_FOOTAGE();
  const Footage &f = footage();
  std::vector<Pic422> noisy, clean;
  for (size_t t = 0; t < f.yuyvNoisy.size(); ++t) {
    noisy.push_back(fromYuyv(f.yuyvNoisy[t], f.w, f.h));
    clean.push_back(fromYuyv(f.yuyvClean[t], f.w, f.h));
  }
  for (const Layout &l : k422Layouts) expect422General(noisy, &clean, l, settingsToTry()[0]);
}

// The first frame of a sequence with the spatial stage off is its own
// previous frame: every format comes out byte for byte as it went in.
TEST(ObsFilterFrames, FirstFrameWithoutSpatialStageIsUnchangedInEveryFormat) {
  const TnrObsSettings s = settings(TNR_MD_PRESET_STRONG, 0.0f, 1);
  for (const Layout &l : k420Layouts) {
    Filter filter(s);
    Frame fr = frame420(synth420(134, 70, 0, 4), l, 0);
    const std::vector<uint8_t> before = fr.mem;
    filter.run(fr);
    EXPECT_TRUE(fr.mem == before) << l.name;
  }
  for (const Layout &l : k422Layouts) {
    Filter filter(s);
    Frame fr = frame422(synth422(134, 70, 0, 4), l, 0);
    const std::vector<uint8_t> before = fr.mem;
    filter.run(fr);
    EXPECT_TRUE(fr.mem == before) << l.name;
  }
}

// ---- Passing through, and new sequences ------------------------------------------

// A frame of any format in a block of the pattern (every byte "not picture").
Frame opaqueFrame(video_format f, int w, int h, uint64_t ts) {
  Frame fr;
  fr.alloc(size_t(w) * h * 8);
  fr.f.format = f;
  fr.f.width = uint32_t(w);
  fr.f.height = uint32_t(h);
  fr.f.timestamp = ts;
  for (int i = 0; i < 4; ++i) {
    fr.f.data[i] = fr.at(size_t(i) * w * h * 2);
    fr.f.linesize[i] = uint32_t(w * 2);
  }
  return fr;
}

TEST(ObsFilterFrames, OtherFormatsPassUntouchedWithOneLogLinePerChange) {
  TnrObsSettings d;
  tnrObsSettingsDefault(&d);
  Filter filter(d);
  const video_format others[] = {VIDEO_FORMAT_RGBA, VIDEO_FORMAT_BGRA, VIDEO_FORMAT_BGRX,
                                 VIDEO_FORMAT_Y800, VIDEO_FORMAT_I444, VIDEO_FORMAT_I42A,
                                 VIDEO_FORMAT_P010, VIDEO_FORMAT_I40A, VIDEO_FORMAT_AYUV,
                                 VIDEO_FORMAT_NONE};
  uint64_t ts = 0;
  size_t expectLines = 0;
  for (video_format f : others) {
    for (int k = 0; k < 3; ++k) {
      Frame fr = opaqueFrame(f, 64, 48, ts += kFrameNs);
      filter.run(fr);
      EXPECT_EQ(fr.strayWrites(), 0u) << get_video_format_name(f);
    }
    EXPECT_EQ(filter.log.lines.size(), ++expectLines) << get_video_format_name(f);
  }
  EXPECT_NE(filter.log.lines[0].find("RGBA"), std::string::npos) << filter.log.lines[0];
  // Odd sizes of a filtered format pass too, with one line.
  for (int k = 0; k < 3; ++k) {
    Frame fr = opaqueFrame(VIDEO_FORMAT_NV12, 63, 48, ts += kFrameNs);
    filter.run(fr);
    EXPECT_EQ(fr.strayWrites(), 0u);
  }
  EXPECT_EQ(filter.log.lines.size(), ++expectLines);
  // Sizes the stream refuses (too small) pass with one line.
  for (int k = 0; k < 3; ++k) {
    Frame fr = frame420(synth420(16, 4, k, 1), k420Layouts[0], ts += kFrameNs);
    const std::vector<uint8_t> before = fr.mem;
    filter.run(fr);
    EXPECT_TRUE(fr.mem == before);
  }
  EXPECT_EQ(filter.log.lines.size(), ++expectLines);
  EXPECT_EQ(tnrObsFilterFramesFiltered(filter.f), 0);
  // Back and forth: each change of format logs once more.
  for (int k = 0; k < 2; ++k) {
    Frame a = frame420(synth420(64, 48, k, 1), k420Layouts[0], ts += kFrameNs);
    filter.run(a);
    Frame b = opaqueFrame(VIDEO_FORMAT_RGBA, 64, 48, ts += kFrameNs);
    filter.run(b);
    EXPECT_EQ(b.strayWrites(), 0u);
  }
  EXPECT_EQ(filter.log.lines.size(), expectLines + 2);
}

// One segment of a sequence: frames of one picture size in one layout.
struct Segment {
  int w, h;
  Layout layout;
  int frames;
  uint64_t gapNs = kFrameNs;  // before the segment's first frame
  bool newSequence = true;    // the filter must start a new one here
};

// Runs the segments through one filter; the reference is a stream that starts
// anew exactly at the segments that say so and carries on elsewhere.
void expectSegments(const std::vector<Segment> &segs, const TnrObsSettings &s) {
  Filter filter(s);
  std::unique_ptr<Reference> ref;
  uint64_t ts = 5 * kFrameNs;
  int seed = 0;
  for (size_t k = 0; k < segs.size(); ++k) {
    const Segment &g = segs[k];
    SCOPED_TRACE("segment " + std::to_string(k) + ": " + g.layout.name + " " + std::to_string(g.w) +
                 "x" + std::to_string(g.h));
    if (g.newSequence || !ref) ref = std::make_unique<Reference>(g.w, g.h, s);
    ts = g.gapNs == ~0ull ? kFrameNs : ts + g.gapNs;  // ~0: back to the start
    for (int t = 0; t < g.frames; ++t, ts += kFrameNs, ++seed) {
      const Pic420 p = synth420(g.w, g.h, seed, 11);
      if (is422(g.layout.format)) {
        Frame fr = frame422(doubledRows(p), g.layout, ts);
        filter.run(fr);
        ASSERT_TRUE(read422(fr).px == doubledRows(ref->run(p)).px) << "frame " << t;
      } else {
        Frame fr = frame420(p, g.layout, ts);
        filter.run(fr);
        ASSERT_TRUE(read420(fr) == ref->run(p)) << "frame " << t;
      }
    }
    if (k + 1 < segs.size()) ts -= kFrameNs;
  }
}

TEST(ObsFilterFrames, SizeAndFormatChangesStartNewSequences) {
  const Layout nv12 = k420Layouts[1], i420 = k420Layouts[4], yuy2 = k422Layouts[0],
               uyvy = k422Layouts[1], i422 = k422Layouts[3];
  for (const TnrObsSettings &s : settingsToTry())
    expectSegments({{96, 64, nv12, 5},
                    {128, 72, nv12, 4},  // size
                    {128, 72, i420, 4},  // format
                    {128, 72, yuy2, 4},  // format
                    {128, 72, uyvy, 3},  // packed order
                    {96, 64, uyvy, 3},   // size
                    {96, 64, i422, 3},   // packed to planar
                    {96, 64, nv12, 4}},
                   s);
}

TEST(ObsFilterFrames, TimestampJumpsStartNewSequences) {
  const Layout nv12 = k420Layouts[0];
  TnrObsSettings d;
  tnrObsSettingsDefault(&d);
  expectSegments(
      {{96, 64, nv12, 5},
       {96, 64, nv12, 4, 900000000ull, false},  // 0.9 s without frames: the same sequence
       {96, 64, nv12, 4, 1100000000ull, true},  // more than a second: a new one
       {96, 64, nv12, 4, ~0ull, true},          // back in time (a looped media source)
       {96, 64, nv12, 3, 0, false}},            // the same timestamp again: carries on
      d);
}

TEST(ObsFilterFrames, RestartStartsANewSequence) {
  TnrObsSettings d;
  tnrObsSettingsDefault(&d);
  Filter filter(d);
  std::unique_ptr<Reference> ref = std::make_unique<Reference>(96, 64, d);
  for (int t = 0; t < 10; ++t) {
    if (t == 6) {
      tnrObsFilterRestart(filter.f);  // what the enable signal, show, hide and filter_remove call
      ref = std::make_unique<Reference>(96, 64, d);
    }
    const Pic420 p = synth420(96, 64, t, 2);
    Frame fr = frame420(p, k420Layouts[0], uint64_t(t) * kFrameNs);
    filter.run(fr);
    ASSERT_TRUE(read420(fr) == ref->run(p)) << "frame " << t;
  }
}

TEST(ObsFilterFrames, SettingsChangedBetweenFramesApplyToTheNextFrame) {
  const TnrObsSettings light = settings(TNR_MD_PRESET_LIGHT, 1.0f, 1);
  const TnrObsSettings strong = settings(TNR_MD_PRESET_STRONG, 1.0f, 1);
  const TnrObsSettings strongSpatial = settings(TNR_MD_PRESET_STRONG, 9.0f, 1);
  const TnrObsSettings off = settings(TNR_OBS_STRENGTH_OFF, 1.0f, 1);
  const TnrObsSettings strongPool = settings(TNR_MD_PRESET_STRONG, 9.0f, 2);
  for (const Layout &l : {k420Layouts[1], k420Layouts[4]}) {
    SCOPED_TRACE(l.name);
    Filter filter(light);
    auto ref = std::make_unique<Reference>(134, 70, light);
    for (int t = 0; t < 20; ++t) {
      bool passes = false;
      if (t == 4) {  // tuning: the same sequence goes on
        tnrObsFilterSetSettings(filter.f, &strong);
        ref->set(strong);
      } else if (t == 7) {
        tnrObsFilterSetSettings(filter.f, &strongSpatial);
        ref->set(strongSpatial);
      } else if (t == 10) {  // off: frames pass untouched ...
        tnrObsFilterSetSettings(filter.f, &off);
      } else if (t == 12) {  // ... and on again: a new sequence
        tnrObsFilterSetSettings(filter.f, &strongSpatial);
        ref = std::make_unique<Reference>(134, 70, strongSpatial);
      } else if (t == 15) {  // another thread count: a new stream, same bytes as one
        tnrObsFilterSetSettings(filter.f, &strongPool);
        ref = std::make_unique<Reference>(134, 70, strongPool);
      }
      passes = t == 10 || t == 11;
      const Pic420 p = synth420(134, 70, t, 8);
      Frame fr = frame420(p, l, uint64_t(t) * kFrameNs);
      filter.run(fr);
      if (passes)
        ASSERT_TRUE(read420(fr) == p) << "frame " << t;
      else
        ASSERT_TRUE(read420(fr) == ref->run(p)) << "frame " << t;
      ASSERT_EQ(fr.strayWrites(), 0u);
    }
  }
}

// "Follow camera motion": the stream's default; on a panning camera the
// filter gives the stream's bytes with alignment on (which differ from those
// without), and switching it applies from the next frame, the sequence going on.
TEST(ObsFilterFrames, FollowCameraMotionGivesTheStreamsAlignedBytes) {
  TnrObsSettings d;
  tnrObsSettingsDefault(&d);
  TnrMdParams lib;
  tnrMdParamsDefault(&lib);
  EXPECT_EQ(d.align, lib.align);
  TnrObsSettings on = d, off = d;
  on.align = 1;
  off.align = 0;
  const int w = 256, h = 192, n = 10;
  for (const Layout &l : {k420Layouts[0], k420Layouts[2], k420Layouts[4]}) {
    for (int mode = 0; mode < 3; ++mode) {  // on throughout; off throughout; off, on at 3, off at 7
      SCOPED_TRACE(std::string(l.name) + (mode == 0 ? ", on" : mode == 1 ? ", off" : ", switched"));
      Filter filter(mode == 0 ? on : off);
      Reference ref(w, h, mode == 0 ? on : off);
      Reference other(w, h, mode == 0 ? off : on);  // a stream that differs from ref on the pan
      size_t differ = 0;
      for (int t = 0; t < n; ++t) {
        if (mode == 2 && (t == 3 || t == 7)) {
          const TnrObsSettings &s = t == 3 ? on : off;
          tnrObsFilterSetSettings(filter.f, &s);
          ref.set(s);
        }
        const Pic420 p = pan420(w, h, t, 1.3125, -0.5625, 21);
        Frame fr = frame420(p, l, uint64_t(t) * kFrameNs);
        filter.run(fr);
        const Pic420 want = ref.run(p), alt = other.run(p);
        ASSERT_TRUE(read420(fr) == want) << "frame " << t;
        ASSERT_EQ(fr.strayWrites(), 0u) << "frame " << t;
        for (size_t i = 0; i < want.px.size(); ++i) differ += want.px[i] != alt.px[i];
      }
      EXPECT_GT(differ, size_t(w) * h) << "alignment changed too few bytes to tell it apart";
    }
  }
}

// update() runs on libobs's UI thread while frames go through: the settings
// change hands under the lock (run under TSan/ASan to see it hold).
TEST(ObsFilterFrames, SettingsFromAnotherThreadWhileFramesRun) {
  TnrObsSettings d;
  tnrObsSettingsDefault(&d);
  Filter filter(d);
  std::atomic<bool> done{false};
  std::thread ui([&] {
    for (int i = 0; !done; ++i) {
      const TnrObsSettings s = settings(i % 3 == 0 ? TNR_OBS_STRENGTH_OFF : i % TNR_MD_PRESET_COUNT,
                                        float(i % 7), i % 2 ? 1 : 2);
      tnrObsFilterSetSettings(filter.f, &s);
      if (i % 5 == 0) tnrObsFilterRestart(filter.f);
      std::this_thread::yield();
    }
  });
  for (int t = 0; t < 40; ++t) {
    Frame fr = frame420(synth420(96, 64, t, 6), k420Layouts[t % 5], uint64_t(t) * kFrameNs);
    filter.run(fr);
    ASSERT_EQ(fr.strayWrites(), 0u);
  }
  done = true;
  ui.join();
}

// No state outlives a filter or is shared between filters: one destroyed
// mid-sequence (with its pool running) and another created after it, or two
// side by side, give the same bytes for the same frames.
TEST(ObsFilterFrames, FilterDestroyedAndCreatedAgainStartsAfresh) {
  const TnrObsSettings s = settings(TNR_MD_PRESET_STRONG, 3.0f, 2);
  auto frameAt = [](int t) {
    return frame420(synth420(96, 64, t, 12), k420Layouts[4], uint64_t(t) * kFrameNs);
  };
  std::vector<Pic420> first;
  {
    Filter a(s);
    for (int t = 0; t < 6; ++t) {
      Frame fr = frameAt(t);
      a.run(fr);
      first.push_back(read420(fr));
    }
  }
  // Two at once, then two destroyed half-way (their pools still running).
  for (int round = 0; round < 2; ++round) {
    Filter b(s), c(s);
    for (int t = 0; t < (round == 0 ? 6 : 3); ++t) {
      Frame fb = frameAt(t), fc = frameAt(t);
      b.run(fb);
      c.run(fc);
      ASSERT_TRUE(read420(fb) == first[size_t(t)]) << "round " << round << " frame " << t;
      ASSERT_TRUE(read420(fc) == first[size_t(t)]) << "round " << round << " frame " << t;
    }
  }
  Filter d(s);
  for (int t = 0; t < 6; ++t) {
    Frame fr = frameAt(t);
    d.run(fr);
    ASSERT_TRUE(read420(fr) == first[size_t(t)]) << "frame " << t;
  }
}

}  // namespace
