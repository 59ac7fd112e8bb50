// The stream object against the chained library calls it replaces (the
// sequence logic the front ends had: the first frame its own previous one,
// motion_detect, the temporally filtered frame kept, spatial_denoise into the
// output), frame for frame and map for map, in every memory layout it takes.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "motion_detect.h"
#include "test_util.h"
#include "tnr_md_stream.h"
#include "tnr_md_threads.h"

namespace {

using tnr_md_test::Guard;
using tnr_md_test::GuardedBuffer;

using Frame = std::vector<uint8_t>;

size_t nv12(int w, int h) { return static_cast<size_t>(w) * h * 3 / 2; }

TnrMdParams defaults() {
  TnrMdParams p;
  tnrMdParamsDefault(&p);
  return p;
}

// The chained calls, as the tnr tool made them before the stream existed.
class Chain {
 public:
  Chain(int w, int h, const TnrMdParams &p)
      : w_(w), h_(h), gw_(p.grid_width ? p.grid_width : w), gh_(p.grid_height ? p.grid_height : h),
        p_(p), prev_(nv12(w, h)), scratch_(motionDetectTmpBufSize(gh_, gw_)),
        alpha_(static_cast<size_t>(gw_) * gh_), weight_(alpha_.size()), gain_(alpha_.size()) {
    reset();
  }
  void reset() {
    first_ = true;
    std::fill(alpha_.begin(), alpha_.end(), 0);
    std::fill(weight_.begin(), weight_.end(), 0);
    std::fill(gain_.begin(), gain_.end(), static_cast<uint8_t>(p_.start_gain));
  }
  void setParams(const TnrMdParams &p) { p_ = p; }
  void refillGain() { std::fill(gain_.begin(), gain_.end(), static_cast<uint8_t>(p_.start_gain)); }
  void process(uint8_t *frame) {
    if (first_) std::memcpy(prev_.data(), frame, prev_.size());
    first_ = false;
    motion_detect(frame, prev_.data(), scratch_.data(), alpha_.data(), weight_.data(), gain_.data(),
                  h_, w_, gh_, gw_, gw_, p_.sigma_h_scale, p_.sigma_l_scale, p_.uv_ratio, 0.0f,
                  p_.static_ratio_bit);
    std::memcpy(prev_.data(), frame, prev_.size());
    noise_ = motionDetectNoiseLevel(scratch_.data(), gh_, gw_, p_.uv_ratio);
    const int strength = static_cast<int>(std::lround(p_.spatial * 16.0f));
    if (strength > 0)
      spatial_denoise(prev_.data(), frame, weight_.data(), h_, w_, gh_, gw_, gw_, noise_, strength);
  }
  const Frame &alpha() const { return alpha_; }
  const Frame &weight() const { return weight_; }
  const Frame &gain() const { return gain_; }
  int noise() const { return noise_; }

 private:
  int w_, h_, gw_, gh_;
  TnrMdParams p_;
  bool first_ = true;
  int noise_ = 0;
  Frame prev_;
  std::vector<int16_t> scratch_;
  Frame alpha_, weight_, gain_;
};

// A noisy sequence: a textured background, a square moving across it, a
// still region, Gaussian noise on every byte.
std::vector<Frame> sequence(int w, int h, int n, std::mt19937 &rng, double sigma = 6.0) {
  Frame base(nv12(w, h));
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) base[static_cast<size_t>(y) * w + x] = static_cast<uint8_t>(40 + (x * 3 + y * 5) % 160);
  for (size_t i = static_cast<size_t>(w) * h; i < base.size(); ++i)
    base[i] = static_cast<uint8_t>(100 + (i * 7) % 50);
  std::normal_distribution<double> noise(0.0, sigma);
  std::vector<Frame> frames;
  for (int t = 0; t < n; ++t) {
    Frame f = base;
    const int s = std::max(4, w / 5), x0 = (t * 5) % std::max(1, w - s), y0 = h / 4;
    for (int y = y0; y < std::min(h, y0 + s); ++y)
      for (int x = x0; x < x0 + s; ++x) {
        f[static_cast<size_t>(y) * w + x] = 230;
        f[static_cast<size_t>(w) * h + (y / 2) * w + (x & ~1)] = 60;
      }
    for (auto &v : f) v = static_cast<uint8_t>(std::clamp(v + std::lround(noise(rng)), 0L, 255L));
    frames.push_back(std::move(f));
  }
  return frames;
}

// Where the planes of one image lie.
enum class Layout {
  Packed,  // the library's frame, chroma right after the luma
  Padded,  // the library's frame at a wider even pitch, rows between the planes
  Apart,   // two allocations, each plane at its own stride
  Odd,     // one allocation at an odd pitch: not the library's frame
  Tight,   // the library's layout, but the buffer ends with the last chroma
           // row's width: the library's frame would run past it
};
const Layout kLayouts[] = {Layout::Packed, Layout::Padded, Layout::Apart, Layout::Odd, Layout::Tight};
const char *layoutName(Layout l) {
  switch (l) {
    case Layout::Packed: return "packed";
    case Layout::Padded: return "padded";
    case Layout::Apart: return "apart";
    case Layout::Odd: return "odd pitch";
    default: return "tight";
  }
}

// An image whose buffers end (or start) against an inaccessible page.
struct Planes {
  GuardedBuffer<uint8_t> block, chromaBlock;
  TnrMdImage img{};
  int w = 0, h = 0;

  Planes(int w_, int h_, Layout l, Guard g) : w(w_), h(h_) {
    const ptrdiff_t pw = w;
    switch (l) {
      case Layout::Packed:
        block = GuardedBuffer<uint8_t>(nv12(w, h), g);
        img = {block.data(), pw, block.data() + pw * h, pw, block.size()};
        break;
      case Layout::Padded: {
        const ptrdiff_t pitch = w + 18;
        const int rows = h + 6;  // chroma 6 luma rows below the luma plane
        // The library's frame of rows x 3 / 2 rows; span covers it exactly.
        block = GuardedBuffer<uint8_t>(static_cast<size_t>(pitch) * (rows + rows / 2), g);
        img = {block.data(), pitch, block.data() + pitch * rows, pitch, block.size()};
        break;
      }
      case Layout::Apart: {
        const ptrdiff_t ys = w + 5, cs = w + 3;
        block = GuardedBuffer<uint8_t>(static_cast<size_t>(ys) * (h - 1) + w, g);
        chromaBlock = GuardedBuffer<uint8_t>(static_cast<size_t>(cs) * (h / 2 - 1) + w, g);
        img = {block.data(), ys, chromaBlock.data(), cs, 0};
        break;
      }
      case Layout::Tight: {
        const ptrdiff_t pitch = w + 18;
        block = GuardedBuffer<uint8_t>(static_cast<size_t>(pitch) * (h + h / 2 - 1) + w, g);
        img = {block.data(), pitch, block.data() + pitch * h, pitch, block.size()};
        break;
      }
      case Layout::Odd: {
        const ptrdiff_t pitch = w + 1;
        block = GuardedBuffer<uint8_t>(static_cast<size_t>(pitch) * (h + h / 2 - 1) + w, g);
        img = {block.data(), pitch, block.data() + pitch * h, pitch, block.size()};
        break;
      }
    }
    block.fill(0xA5);
    if (chromaBlock.size()) chromaBlock.fill(0xA5);
  }
  void put(const Frame &f) {
    for (int y = 0; y < h; ++y) std::memcpy(img.luma + y * img.luma_stride, &f[static_cast<size_t>(y) * w], w);
    for (int y = 0; y < h / 2; ++y)
      std::memcpy(img.chroma + y * img.chroma_stride, &f[static_cast<size_t>(w) * (h + y)], w);
  }
  Frame get() const {
    Frame f(nv12(w, h));
    for (int y = 0; y < h; ++y) std::memcpy(&f[static_cast<size_t>(y) * w], img.luma + y * img.luma_stride, w);
    for (int y = 0; y < h / 2; ++y)
      std::memcpy(&f[static_cast<size_t>(w) * (h + y)], img.chroma + y * img.chroma_stride, w);
    return f;
  }
  // The bytes outside the planes' rows (padding, the rows between the planes).
  Frame padding() const {
    Frame all(block.data(), block.data() + block.size());
    if (chromaBlock.size()) all.insert(all.end(), chromaBlock.data(), chromaBlock.data() + chromaBlock.size());
    Frame pad;
    auto inPlane = [](const uint8_t *p, const TnrMdImage &i, int rows, int width, const uint8_t *q) {
      if (q < p) return false;
      const ptrdiff_t d = q - p;
      return d / i.luma_stride < rows && d % i.luma_stride < width;
    };
    for (size_t i = 0; i < block.size(); ++i) {
      const uint8_t *q = block.data() + i;
      TnrMdImage ly = img, lc = img;
      lc.luma_stride = img.chroma_stride;
      if (!inPlane(img.luma, ly, h, w, q) && !inPlane(img.chroma, lc, h / 2, w, q)) pad.push_back(*q);
    }
    for (size_t i = 0; i < chromaBlock.size(); ++i) {
      const uint8_t *q = chromaBlock.data() + i;
      TnrMdImage lc = img;
      lc.luma_stride = img.chroma_stride;
      if (!inPlane(img.chroma, lc, h / 2, w, q)) pad.push_back(*q);
    }
    return pad;
  }
};

struct StreamDeleter {
  void operator()(TnrMdStream *s) const { tnrMdStreamDestroy(s); }
};
using StreamPtr = std::unique_ptr<TnrMdStream, StreamDeleter>;
struct PoolDeleter {
  void operator()(TnrMdThreadPool *p) const { tnrMdThreadPoolDestroy(p); }
};

StreamPtr makeStream(int w, int h, const TnrMdParams &p, const TnrMdExecutor *ex = nullptr, int tasks = 1) {
  TnrMdStream *s = nullptr;
  TnrMdError e{};
  const int rc = tnrMdStreamCreate(&s, w, h, &p, ex, tasks, &e);
  EXPECT_EQ(rc, TNR_MD_OK) << e.message;
  return StreamPtr(s);
}

// The stream's maps and figures against the chain's.
void expectSameState(const TnrMdStream *s, const Chain &c, const std::string &where, bool stats = true) {
  TnrMdMaps m;
  tnrMdStreamMaps(s, &m);
  const size_t n = c.alpha().size();
  ASSERT_EQ(static_cast<size_t>(m.width) * m.height, n) << where;
  ASSERT_EQ(m.stride, m.width) << where;
  EXPECT_TRUE(std::equal(m.static_ratio, m.static_ratio + n, c.alpha().begin())) << where << ": static ratio";
  EXPECT_TRUE(std::equal(m.weight, m.weight + n, c.weight().begin())) << where << ": weight";
  EXPECT_TRUE(std::equal(m.gain, m.gain + n, c.gain().begin())) << where << ": gain";
  if (!stats) return;
  TnrMdFrameStats st;
  tnrMdStreamStats(s, &st);
  EXPECT_EQ(st.noise_level, c.noise()) << where;
  uint64_t a = 0, g = 0;
  for (size_t i = 0; i < n; ++i) a += c.alpha()[i], g += c.gain()[i];
  EXPECT_EQ(st.mean_static_ratio, static_cast<double>(a) / (128.0 * n)) << where;
  EXPECT_EQ(st.mean_gain, static_cast<double>(g) / n) << where;
}

struct Size {
  int w, h, gw, gh;
};
// Whole frames, grids smaller than the frame (the whole width but not the
// whole height; an odd width and height, 147x89: chroma pairs and rows the
// grid splits).
const Size kSizes[] = {{64, 48, 0, 0}, {96, 64, 62, 40}, {80, 64, 0, 50}, {150, 92, 147, 89}};

// In place, in every layout, both guard sides, spatial stage on and off.
TEST(Stream, MatchesChainedCallsInPlace) {
  auto rng = tnr_md_test::seededRng(1);
  for (const Size &sz : kSizes)
    for (float spatial : {5.0f, 0.0f})
      for (Layout l : kLayouts)
        for (Guard g : tnr_md_test::kGuardSides) {
          TnrMdParams p = defaults();
          p.spatial = spatial;
          p.grid_width = sz.gw;
          p.grid_height = sz.gh;
          const auto frames = sequence(sz.w, sz.h, 6, rng);
          Chain chain(sz.w, sz.h, p);
          StreamPtr s = makeStream(sz.w, sz.h, p);
          Planes planes(sz.w, sz.h, l, g);
          const Frame pad = planes.padding();
          for (size_t t = 0; t < frames.size(); ++t) {
            const std::string where = std::to_string(sz.w) + "x" + std::to_string(sz.h) + " spatial " +
                                      std::to_string(spatial) + " " + layoutName(l) + " guard " +
                                      tnr_md_test::sideName(g) + " frame " + std::to_string(t);
            Frame want = frames[t];
            chain.process(want.data());
            planes.put(frames[t]);
            TnrMdError e{};
            ASSERT_EQ(tnrMdStreamProcess(s.get(), &planes.img, nullptr, &e), TNR_MD_OK) << e.message;
            ASSERT_EQ(planes.get(), want) << where;
            expectSameState(s.get(), chain, where);
            EXPECT_EQ(planes.padding(), pad) << where << ": padding written";
          }
        }
}

// Separate output planes: the input stays as it was, the output gets the
// whole frame (the grid filtered, the rest copied).
TEST(Stream, MatchesChainedCallsIntoOutputPlanes) {
  auto rng = tnr_md_test::seededRng(2);
  for (const Size &sz : kSizes)
    for (float spatial : {5.0f, 0.0f})
      for (Layout li : kLayouts)
        for (Layout lo : kLayouts) {
          TnrMdParams p = defaults();
          p.spatial = spatial;
          p.grid_width = sz.gw;
          p.grid_height = sz.gh;
          const auto frames = sequence(sz.w, sz.h, 4, rng);
          Chain chain(sz.w, sz.h, p);
          StreamPtr s = makeStream(sz.w, sz.h, p);
          Planes in(sz.w, sz.h, li, Guard::Right), out(sz.w, sz.h, lo, Guard::Left);
          for (size_t t = 0; t < frames.size(); ++t) {
            const std::string where = std::to_string(sz.w) + "x" + std::to_string(sz.h) + " spatial " +
                                      std::to_string(spatial) + " " + layoutName(li) + " into " +
                                      layoutName(lo) + " frame " + std::to_string(t);
            Frame want = frames[t];
            chain.process(want.data());
            in.put(frames[t]);
            out.put(Frame(nv12(sz.w, sz.h), 0x3C));
            TnrMdError e{};
            ASSERT_EQ(tnrMdStreamProcess(s.get(), &in.img, &out.img, &e), TNR_MD_OK) << e.message;
            ASSERT_EQ(out.get(), want) << where;
            ASSERT_EQ(in.get(), frames[t]) << where << ": input written";
            expectSameState(s.get(), chain, where);
          }
        }
}

// The layout may change from frame to frame (the previous frame follows it).
TEST(Stream, LayoutChangesWithinASequence) {
  auto rng = tnr_md_test::seededRng(3);
  for (const Size &sz : kSizes) {
    TnrMdParams p = defaults();
    p.grid_width = sz.gw;
    p.grid_height = sz.gh;
    const auto frames = sequence(sz.w, sz.h, 9, rng);
    Chain chain(sz.w, sz.h, p);
    StreamPtr s = makeStream(sz.w, sz.h, p);
    const Layout order[] = {Layout::Padded, Layout::Packed, Layout::Odd,    Layout::Padded, Layout::Apart,
                            Layout::Packed, Layout::Apart,  Layout::Padded, Layout::Odd};
    for (size_t t = 0; t < frames.size(); ++t) {
      Planes planes(sz.w, sz.h, order[t], Guard::Right);
      Frame want = frames[t];
      chain.process(want.data());
      planes.put(frames[t]);
      ASSERT_EQ(tnrMdStreamProcess(s.get(), &planes.img, nullptr, nullptr), TNR_MD_OK);
      ASSERT_EQ(planes.get(), want) << sz.w << "x" << sz.h << " frame " << t << " " << layoutName(order[t]);
      expectSameState(s.get(), chain, "frame " + std::to_string(t));
    }
  }
}

// New tuning between frames, a reset, a gain refill: as the chain with the
// same changes; 1, 2 and 7 threads give the bytes of the calling thread.
TEST(Stream, ParameterChangesResetsAndThreads) {
  auto rng = tnr_md_test::seededRng(4);
  const int w = 160, h = 96;
  const auto frames = sequence(w, h, 12, rng);
  for (int threads : {0, 1, 2, 7}) {
    std::unique_ptr<TnrMdThreadPool, PoolDeleter> pool(threads ? tnrMdThreadPoolCreate(threads) : nullptr);
    const TnrMdExecutor ex = tnrMdThreadPoolExecutor(pool.get());
    TnrMdParams p = defaults();
    Chain chain(w, h, p);
    StreamPtr s = makeStream(w, h, p, threads ? &ex : nullptr, threads ? tnrMdThreadPoolTasks(pool.get()) : 1);
    for (size_t t = 0; t < frames.size(); ++t) {
      const std::string where = std::to_string(threads) + " threads, frame " + std::to_string(t);
      if (t == 3 || t == 8) {
        p.sigma_h_scale = t == 3 ? 2.5f : 0.7f;
        p.sigma_l_scale = t == 3 ? 0.5f : 0.05f;
        p.uv_ratio = t == 3 ? 0.25f : 1.5f;
        p.static_ratio_bit = t == 3 ? 1 : 7;
        p.spatial = t == 3 ? 1.5f : 0.0f;
        p.start_gain = t == 3 ? 200 : 17;
        ASSERT_EQ(tnrMdStreamSetParams(s.get(), &p, nullptr), TNR_MD_OK);
        chain.setParams(p);
        TnrMdParams got;
        tnrMdStreamGetParams(s.get(), &got);
        EXPECT_EQ(std::memcmp(&got, &p, sizeof p), 0) << where;
      }
      if (t == 6) {
        tnrMdStreamReset(s.get());
        chain.reset();
        TnrMdFrameStats st;
        tnrMdStreamStats(s.get(), &st);
        EXPECT_EQ(st.frames, 0) << where;
        expectSameState(s.get(), chain, where + " after reset", false);
      }
      if (t == 9) {
        tnrMdStreamResetGain(s.get());
        chain.refillGain();
        expectSameState(s.get(), chain, where + " after the gain refill");
      }
      Frame want = frames[t];
      chain.process(want.data());
      Frame got = frames[t];
      TnrMdImage img = {got.data(), w, got.data() + w * h, w, got.size()};
      ASSERT_EQ(tnrMdStreamProcess(s.get(), &img, nullptr, nullptr), TNR_MD_OK);
      ASSERT_EQ(got, want) << where;
      TnrMdFrameStats st;
      tnrMdStreamStats(s.get(), &st);
      EXPECT_EQ(st.frames, static_cast<int64_t>(t < 6 ? t + 1 : t - 5)) << where;
      expectSameState(s.get(), chain, where);
    }
  }
}

// Every refused call names the problem, changes no byte it was given and
// leaves the object as it was: the sequence goes on as without the call.
TEST(Stream, RefusedCallsChangeNothing) {
  auto rng = tnr_md_test::seededRng(5);
  const int w = 96, h = 64;
  const auto frames = sequence(w, h, 5, rng);
  const TnrMdParams p = defaults();
  Chain chain(w, h, p);
  StreamPtr s = makeStream(w, h, p);

  struct Bad {
    const char *field;
    void (*set)(TnrMdParams &);
    const char *words;
  };
  const Bad bad[] = {
      {"sigma_h_scale", [](TnrMdParams &q) { q.sigma_h_scale = 16.5f; }, "sigma_h_scale must lie in 0 .. 16, got 16.5"},
      {"sigma_h_scale", [](TnrMdParams &q) { q.sigma_h_scale = -0.1f; }, "sigma_h_scale must lie in 0 .. 16"},
      {"sigma_l_scale", [](TnrMdParams &q) { q.sigma_l_scale = 1.6f; }, "sigma_l_scale must lie in 0 .. 1.5"},
      {"uv_ratio", [](TnrMdParams &q) { q.uv_ratio = std::nanf(""); }, "uv_ratio must lie in 0 .. 1.5"},
      {"uv_ratio", [](TnrMdParams &q) { q.uv_ratio = 1.51f; }, "uv_ratio must lie in 0 .. 1.5"},
      {"static_ratio_bit", [](TnrMdParams &q) { q.static_ratio_bit = 256; }, "static_ratio_bit must lie in 0 .. 255, got 256"},
      {"static_ratio_bit", [](TnrMdParams &q) { q.static_ratio_bit = -1; }, "static_ratio_bit must lie in 0 .. 255"},
      {"start_gain", [](TnrMdParams &q) { q.start_gain = 256; }, "start_gain must lie in 0 .. 255, got 256"},
      {"spatial", [](TnrMdParams &q) { q.spatial = 16.0f; }, "spatial must lie in 0 .. 15.9, got 16"},
      {"spatial", [](TnrMdParams &q) { q.spatial = -0.5f; }, "spatial must lie in 0 .. 15.9"},
      {"grid", [](TnrMdParams &q) { q.grid_width = -2; }, "grid_width and grid_height must be 0"},
  };
  for (size_t t = 0; t < frames.size(); ++t) {
    const std::string where = "frame " + std::to_string(t);
    for (const Bad &b : bad) {
      TnrMdParams q = p;
      b.set(q);
      TnrMdError e{};
      EXPECT_EQ(tnrMdParamsCheck(&q, &e), TNR_MD_ERROR_PARAMS) << b.field;
      EXPECT_EQ(e.code, TNR_MD_ERROR_PARAMS);
      EXPECT_NE(std::string(e.message).find(b.words), std::string::npos) << e.message;
      e = TnrMdError{};
      EXPECT_EQ(tnrMdStreamSetParams(s.get(), &q, &e), TNR_MD_ERROR_PARAMS) << b.field;
      EXPECT_NE(std::string(e.message).find(b.words), std::string::npos) << e.message;
      TnrMdStream *made = reinterpret_cast<TnrMdStream *>(&e);
      EXPECT_EQ(tnrMdStreamCreate(&made, w, h, &q, nullptr, 1, nullptr), TNR_MD_ERROR_PARAMS);
      EXPECT_EQ(made, nullptr);
    }
    // A different grid is refused between frames.
    TnrMdParams q = p;
    q.grid_width = 64;
    TnrMdError e{};
    EXPECT_EQ(tnrMdStreamSetParams(s.get(), &q, &e), TNR_MD_ERROR_PARAMS);
    EXPECT_NE(std::string(e.message).find("fixed"), std::string::npos) << e.message;
    TnrMdParams got;
    tnrMdStreamGetParams(s.get(), &got);
    EXPECT_EQ(std::memcmp(&got, &p, sizeof p), 0) << where;

    // Images the stream refuses: nothing written.
    Frame f = frames[t], g(nv12(w, h), 0x11);
    const Frame f0 = f, g0 = g;
    uint8_t *y = f.data(), *uv = f.data() + w * h;
    struct BadImage {
      TnrMdImage in, out;
      bool hasOut;
      int code;
      const char *words;
    };
    const BadImage images[] = {
        {{nullptr, w, uv, w, 0}, {}, false, TNR_MD_ERROR_ARGUMENT, "null"},
        {{y, w, nullptr, w, 0}, {}, false, TNR_MD_ERROR_ARGUMENT, "null"},
        {{y, w - 1, uv, w, 0}, {}, false, TNR_MD_ERROR_LAYOUT, "at least the width"},
        {{y, w, uv, w - 2, 0}, {}, false, TNR_MD_ERROR_LAYOUT, "at least the width"},
        {{y, w, y + w, w, 0}, {}, false, TNR_MD_ERROR_LAYOUT, "overlap"},
        {{y, w, uv, w, 0}, {y + 1, w, g.data() + w * h, w, 0}, true, TNR_MD_ERROR_LAYOUT, "out overlaps in"},
        {{y, w, uv, w, 0}, {g.data(), w, uv - w, w, 0}, true, TNR_MD_ERROR_LAYOUT, "out overlaps in"},
        {{y, w, uv, w, 0}, {g.data(), w, nullptr, w, 0}, true, TNR_MD_ERROR_ARGUMENT, "null"},
        {{y, w, uv, w, 0}, {g.data(), w / 2, g.data() + w * h, w, 0}, true, TNR_MD_ERROR_LAYOUT, "at least the width"},
    };
    for (const BadImage &b : images) {
      TnrMdError err{};
      EXPECT_EQ(tnrMdStreamProcess(s.get(), &b.in, b.hasOut ? &b.out : nullptr, &err), b.code) << where;
      EXPECT_EQ(err.code, b.code);
      EXPECT_NE(std::string(err.message).find(b.words), std::string::npos) << err.message;
      ASSERT_EQ(f, f0) << where << ": " << err.message;
      ASSERT_EQ(g, g0) << where << ": " << err.message;
    }
    EXPECT_EQ(tnrMdStreamProcess(nullptr, nullptr, nullptr, nullptr), TNR_MD_ERROR_ARGUMENT);
    EXPECT_EQ(tnrMdStreamSetParams(s.get(), nullptr, nullptr), TNR_MD_ERROR_ARGUMENT);

    Frame want = frames[t];
    chain.process(want.data());
    TnrMdImage img = {y, w, uv, w, f.size()};
    ASSERT_EQ(tnrMdStreamProcess(s.get(), &img, nullptr, nullptr), TNR_MD_OK);
    ASSERT_EQ(f, want) << where;
    expectSameState(s.get(), chain, where);
  }
}

// Sizes the stream does not take: the code, a message, no object.
TEST(Stream, RefusedSizes) {
  struct Case {
    int w, h, gw, gh, code;
    const char *words;
  };
  const Case cases[] = {
      {65, 48, 0, 0, TNR_MD_ERROR_SIZE, "width and height must be positive and even"},
      {64, 47, 0, 0, TNR_MD_ERROR_SIZE, "width and height must be positive and even"},
      {0, 48, 0, 0, TNR_MD_ERROR_SIZE, "got 0x48"},
      {-64, 48, 0, 0, TNR_MD_ERROR_SIZE, "positive"},
      {64, 48, 66, 48, TNR_MD_ERROR_SIZE, "grid 66x48 does not fit the 64x48 frame"},
      {64, 48, 64, 50, TNR_MD_ERROR_SIZE, "does not fit"},
      {8, 8, 0, 0, TNR_MD_ERROR_SIZE, "grid 8x8 is too small"},
      {64, 48, 12, 8, TNR_MD_ERROR_SIZE, "does not accept a 12x8 grid: grids of at least 14x8"},
      {32768, 32768, 0, 0, TNR_MD_ERROR_SIZE, "processing grid 32768x32768 is too large for the filter"},
  };
  for (const Case &c : cases) {
    TnrMdParams p = defaults();
    p.grid_width = c.gw;
    p.grid_height = c.gh;
    TnrMdStream *s = reinterpret_cast<TnrMdStream *>(&p);
    TnrMdError e{};
    EXPECT_EQ(tnrMdStreamCreate(&s, c.w, c.h, &p, nullptr, 1, &e), c.code) << c.w << "x" << c.h;
    EXPECT_EQ(s, nullptr);
    EXPECT_NE(std::string(e.message).find(c.words), std::string::npos) << e.message;
  }
  TnrMdParams p = defaults();
  EXPECT_EQ(tnrMdStreamCreate(nullptr, 64, 48, &p, nullptr, 1, nullptr), TNR_MD_ERROR_ARGUMENT);
  TnrMdStream *s = nullptr;
  EXPECT_EQ(tnrMdStreamCreate(&s, 64, 48, nullptr, nullptr, 1, nullptr), TNR_MD_ERROR_ARGUMENT);
  // The smallest grid the filter takes in full, and a grid of 14x8 in a
  // larger frame, are accepted.
  p.grid_width = 14;
  p.grid_height = 8;
  EXPECT_EQ(tnrMdStreamCreate(&s, 64, 48, &p, nullptr, 1, nullptr), TNR_MD_OK);
  tnrMdStreamDestroy(s);
  tnrMdStreamDestroy(nullptr);
}

// Many objects on many threads at once, each its own sequence (run under
// ThreadSanitizer in CI): the bytes of each alone.
TEST(Stream, ManyObjectsOnManyThreads) {
  const int kThreads = 6, w = 64, h = 48;
  std::vector<std::vector<Frame>> seqs, wants;
  auto rng = tnr_md_test::seededRng(6);
  for (int i = 0; i < kThreads; ++i) {
    seqs.push_back(sequence(w, h, 8, rng, 2.0 + i));
    TnrMdParams p = defaults();
    p.spatial = static_cast<float>(i);
    Chain chain(w, h, p);
    std::vector<Frame> want;
    for (const Frame &f : seqs.back()) {
      Frame g = f;
      chain.process(g.data());
      want.push_back(g);
    }
    wants.push_back(want);
  }
  std::unique_ptr<TnrMdThreadPool, PoolDeleter> pool(tnrMdThreadPoolCreate(3));
  const TnrMdExecutor ex = tnrMdThreadPoolExecutor(pool.get());
  std::vector<int> failures(kThreads, 0);
  std::vector<std::thread> threads;
  for (int i = 0; i < kThreads; ++i)
    threads.emplace_back([&, i] {
      TnrMdParams p = defaults();
      p.spatial = static_cast<float>(i);
      TnrMdStream *s = nullptr;
      // Half of them share one pool (its runs take turns).
      if (tnrMdStreamCreate(&s, w, h, &p, i % 2 ? &ex : nullptr, 4, nullptr) != TNR_MD_OK) {
        failures[i] = -1;
        return;
      }
      for (int rep = 0; rep < 3; ++rep) {
        tnrMdStreamReset(s);
        for (size_t t = 0; t < seqs[i].size(); ++t) {
          Frame f = seqs[i][t];
          TnrMdImage img = {f.data(), w, f.data() + w * h, w, f.size()};
          if (tnrMdStreamProcess(s, &img, nullptr, nullptr) != TNR_MD_OK || f != wants[i][t]) ++failures[i];
        }
      }
      tnrMdStreamDestroy(s);
    });
  for (auto &t : threads) t.join();
  for (int i = 0; i < kThreads; ++i) EXPECT_EQ(failures[i], 0) << "object " << i;
}

// The presets: named, within the ranges, medium the defaults, tuning only.
TEST(Stream, PresetsAndVersion) {
  for (int i = 0; i < TNR_MD_PRESET_COUNT; ++i) {
    TnrMdParams p = defaults();
    p.static_ratio_bit = 9;
    p.start_gain = 3;
    p.grid_width = 20;
    ASSERT_EQ(tnrMdParamsPreset(&p, i), TNR_MD_OK);
    EXPECT_EQ(tnrMdParamsCheck(&p, nullptr), TNR_MD_OK) << tnrMdPresetName(i);
    EXPECT_EQ(p.static_ratio_bit, 9);
    EXPECT_EQ(p.start_gain, 3);
    EXPECT_EQ(p.grid_width, 20);
    ASSERT_NE(tnrMdPresetName(i), nullptr);
  }
  EXPECT_STREQ(tnrMdPresetName(TNR_MD_PRESET_LIGHT), "light");
  EXPECT_STREQ(tnrMdPresetName(TNR_MD_PRESET_MEDIUM), "medium");
  EXPECT_STREQ(tnrMdPresetName(TNR_MD_PRESET_STRONG), "strong");
  EXPECT_EQ(tnrMdPresetName(TNR_MD_PRESET_COUNT), nullptr);
  EXPECT_EQ(tnrMdPresetName(-1), nullptr);
  TnrMdParams p = defaults(), d = defaults();
  tnrMdParamsPreset(&p, TNR_MD_PRESET_LIGHT);
  ASSERT_EQ(tnrMdParamsPreset(&p, TNR_MD_PRESET_MEDIUM), TNR_MD_OK);
  EXPECT_EQ(std::memcmp(&p, &d, sizeof p), 0);
  EXPECT_EQ(tnrMdParamsPreset(&p, TNR_MD_PRESET_COUNT), TNR_MD_ERROR_PARAMS);
  EXPECT_EQ(std::memcmp(&p, &d, sizeof p), 0);
  // Light blends less and filters less in space than the defaults, strong more.
  TnrMdParams l = defaults(), s = defaults();
  tnrMdParamsPreset(&l, TNR_MD_PRESET_LIGHT);
  tnrMdParamsPreset(&s, TNR_MD_PRESET_STRONG);
  EXPECT_LT(l.sigma_l_scale, d.sigma_l_scale);
  EXPECT_LT(l.spatial, d.spatial);
  EXPECT_GT(s.sigma_l_scale, d.sigma_l_scale);
  EXPECT_GT(s.spatial, d.spatial);

  char text[32];
  const unsigned v = tnrMdVersion();
  std::snprintf(text, sizeof text, "%u.%u.%u", v >> 16, (v >> 8) & 255, v & 255);
  EXPECT_STREQ(tnrMdVersionString(), text);
}

// A preset by name: every name tnrMdPresetName gives leads back to its
// preset; anything else (another case, a prefix, a trailing space, the empty
// name, a name longer than the message) is refused with the names accepted,
// and the preset given is left alone.
TEST(Stream, PresetByName) {
  for (int i = 0; i < TNR_MD_PRESET_COUNT; ++i) {
    int got = -7;
    TnrMdError e{};
    e.code = 99;
    ASSERT_EQ(tnrMdPresetByName(tnrMdPresetName(i), &got, &e), TNR_MD_OK) << tnrMdPresetName(i);
    EXPECT_EQ(got, i);
    EXPECT_EQ(e.code, TNR_MD_OK);
    EXPECT_STREQ(e.message, "");
    // The name from a buffer of its own: compared by its text, not its address.
    const std::string copy = tnrMdPresetName(i);
    got = -7;
    EXPECT_EQ(tnrMdPresetByName(copy.c_str(), &got, nullptr), TNR_MD_OK);
    EXPECT_EQ(got, i);
  }
  const std::string longName(400, 'x');
  for (const char *bad : {"heavy", "Medium", "med", "medium ", "", "lightmedium", longName.c_str()}) {
    int got = -7;
    TnrMdError e{};
    EXPECT_EQ(tnrMdPresetByName(bad, &got, &e), TNR_MD_ERROR_PARAMS) << bad;
    EXPECT_EQ(got, -7) << bad;
    EXPECT_EQ(e.code, TNR_MD_ERROR_PARAMS);
    const std::string want = "preset must be one of light, medium, strong, got '" + std::string(bad) + "'";
    EXPECT_EQ(std::string(e.message), want.substr(0, sizeof e.message - 1)) << bad;
    EXPECT_EQ(tnrMdPresetByName(bad, &got, nullptr), TNR_MD_ERROR_PARAMS) << bad;
  }
  int got = -7;
  TnrMdError e{};
  EXPECT_EQ(tnrMdPresetByName(nullptr, &got, &e), TNR_MD_ERROR_ARGUMENT);
  EXPECT_EQ(e.code, TNR_MD_ERROR_ARGUMENT);
  EXPECT_EQ(got, -7);
  EXPECT_EQ(tnrMdPresetByName("medium", nullptr, &e), TNR_MD_ERROR_ARGUMENT);
}

}  // namespace
