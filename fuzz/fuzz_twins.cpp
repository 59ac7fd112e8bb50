// libFuzzer target: the per-sample and the vector form of a stage, run on
// identical copies of every buffer, must leave identical bytes everywhere:
// outputs, in-place buffers, read-only inputs and the parts of each buffer
// that neither may touch. Any difference traps.
//
// Input layout (read front to back; missing bytes read as 0):
//   function byte (its top bit picks the vector twin), then the function's sizes and parameters,
//   then for every buffer a fill mode byte and a 32-bit seed; the bytes that remain are XORed into
//   the first buffer (the current frame or the input plane).
// Every buffer is allocated at exactly the size its contract names, so that
// AddressSanitizer faults on any access past it; an optional leading offset
// varies the alignment.
#include <cinttypes>
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "kernels.h"
#include "motion_detect.h"
#include "kernel_sets.h"
#include "spatial.h"

#if !TNR_MD_HAVE_NEON
#error "the twin fuzzer needs the vector forms (TNR_MD_VECTOR=ON)"
#endif

namespace {

class Reader {
 public:
  Reader(const uint8_t *d, size_t n) : d_(d), n_(n) {}
  uint8_t u8() { return pos_ < n_ ? d_[pos_++] : 0; }
  uint16_t u16() {
    const uint16_t lo = u8();
    return static_cast<uint16_t>(lo | (u8() << 8));
  }
  uint32_t u32() {
    const uint32_t lo = u16();
    return lo | (static_cast<uint32_t>(u16()) << 16);
  }
  // lo .. hi inclusive.
  int range(int lo, int hi) {
    return lo + static_cast<int>(u16() % static_cast<unsigned>(hi - lo + 1));
  }
  // A tuning value: mostly ordinary scales, sometimes an edge or any bit pattern.
  float param() {
    const uint8_t mode = u8();
    switch (mode % 8) {
      case 0:
      case 1:
      case 2:
        return static_cast<float>(static_cast<int8_t>(u8())) / 8.0f;  // 0.125 steps, +-16
      case 3:
      case 4:
        return static_cast<float>(static_cast<int16_t>(u16())) / 4096.0f;
      case 5: {
        static const float kEdges[] = {0.0f,
                                       -0.0f,
                                       1.0f,
                                       0.875f,
                                       1.75f,
                                       7.0f,
                                       1.0f / 256,
                                       -1.0f / 256,
                                       0.3f,
                                       -0.3f,
                                       255.0f,
                                       1e6f,
                                       -1e6f,
                                       1e30f,
                                       -1e30f,
                                       3.4e38f,
                                       1e-40f,
                                       std::numeric_limits<float>::infinity(),
                                       -std::numeric_limits<float>::infinity(),
                                       std::numeric_limits<float>::quiet_NaN()};
        return kEdges[u8() % (sizeof kEdges / sizeof kEdges[0])];
      }
      case 6: {
        const uint32_t bits = u32();
        float f;
        std::memcpy(&f, &bits, sizeof f);
        return f;
      }
      default:
        return static_cast<float>(u16()) / 64.0f;
    }
  }
  const uint8_t *rest(size_t *n) {
    *n = n_ - pos_;
    const uint8_t *p = d_ + pos_;
    pos_ = n_;
    return p;
  }

 private:
  const uint8_t *d_;
  size_t n_;
  size_t pos_ = 0;
};

uint64_t splitmix(uint64_t &s) {
  uint64_t z = (s += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  return z ^ (z >> 31);
}

// One buffer, twice: the per-sample form works on A, the vector form on B.
struct Twin {
  std::string name;
  size_t elem = 1, count = 0, offset = 0;   // offset elements ahead of the data
  std::unique_ptr<uint8_t[]> a, b, before;  // before: A as the calls received it
  bool scratch = false;                     // its data mean nothing after the call
  size_t bytes() const { return (count + offset) * elem; }
  // The bytes the twins must leave equal: all, or of scratch only those
  // ahead of the data.
  size_t compared() const { return scratch ? offset * elem : bytes(); }
};

class Buffers {
 public:
  explicit Buffers(Reader &r) : r_(r) {}

  // count elements of T, filled from the input: values mostly in lo .. hi
  // (the range the stage sees in practice), sometimes anything. A misaligned
  // start keeps a multiple of `align` elements.
  template <class T>
  size_t add(const char *name, size_t count, int64_t lo, int64_t hi, const T *near = nullptr,
             size_t align = 1) {
    if (count == 0) count = 1;
    auto t = std::make_unique<Twin>();
    t->name = name;
    t->elem = sizeof(T);
    t->count = count;
    const uint8_t mode = r_.u8();
    uint64_t seed = r_.u32();
    t->offset = (mode & 0x80) ? (seed >> 24) % 8 * align : 0;
    t->a.reset(new uint8_t[t->bytes()]);
    t->b.reset(new uint8_t[t->bytes()]);
    std::memset(t->a.get(), 0xA5, t->bytes());
    fill(reinterpret_cast<T *>(t->a.get()) + t->offset, count, mode & 0x7F, seed, lo, hi, near);
    twins_.push_back(std::move(t));
    return twins_.size() - 1;
  }
  template <class T>
  T *a(size_t i) {
    return reinterpret_cast<T *>(twins_[i]->a.get()) + twins_[i]->offset;
  }
  template <class T>
  T *b(size_t i) {
    return reinterpret_cast<T *>(twins_[i]->b.get()) + twins_[i]->offset;
  }
  // The remaining input bytes go into the first buffer; then B copies A.
  void seal() {
    size_t n;
    const uint8_t *p = r_.rest(&n);
    Twin &t = *twins_[0];
    uint8_t *d = t.a.get() + t.offset * t.elem;
    const size_t span = t.count * t.elem;
    for (size_t i = 0; i < n && i < span; ++i) d[i] ^= p[i];
    for (auto &tw : twins_) {
      std::memcpy(tw->b.get(), tw->a.get(), tw->bytes());
      tw->before.reset(new uint8_t[tw->bytes()]);
      std::memcpy(tw->before.get(), tw->a.get(), tw->bytes());
    }
  }
  // After check(): no element of buffer i outside mayWrite(element index)
  // changed, nor any byte ahead of the data.
  template <class Pred>
  void untouched(size_t i, const std::string &what, Pred mayWrite) const {
    const Twin &t = *twins_[i];
    for (size_t k = 0; k < t.bytes(); ++k) {
      if (t.a[k] == t.before[k]) continue;
      const long e = static_cast<long>(k / t.elem) - static_cast<long>(t.offset);
      if (e >= 0 && mayWrite(static_cast<size_t>(e))) continue;
      std::fprintf(stderr, "write outside the contract: %s\n  buffer %s, element %ld changed\n",
                   what.c_str(), t.name.c_str(), e);
      __builtin_trap();
    }
  }
  // Buffer i is scratch: its contents after the call are not compared.
  void scratch(size_t i) { twins_[i]->scratch = true; }
  void check(const std::string &what) const {
    for (const auto &t : twins_) {
      if (std::memcmp(t->a.get(), t->b.get(), t->compared()) == 0) continue;
      size_t i = 0;
      while (t->a[i] == t->b[i]) ++i;
      const long elemIdx = static_cast<long>(i / t->elem) - static_cast<long>(t->offset);
      std::fprintf(stderr,
                   "twin mismatch: %s\n  buffer %s (%zu elements of %zu bytes), first differing "
                   "byte %zu = element %ld: per-sample 0x%02x, vector 0x%02x\n",
                   what.c_str(), t->name.c_str(), t->count, t->elem, i, elemIdx, t->a[i], t->b[i]);
      __builtin_trap();
    }
  }

 private:
  template <class T>
  static T pick(uint64_t &s, int64_t lo, int64_t hi) {
    const uint64_t span = static_cast<uint64_t>(hi - lo) + 1;
    return static_cast<T>(lo + static_cast<int64_t>(splitmix(s) % span));
  }
  template <class T>
  static void fill(T *p, size_t n, uint8_t mode, uint64_t seed, int64_t lo, int64_t hi,
                   const T *near) {
    const int64_t tmin = std::numeric_limits<T>::min(), tmax = std::numeric_limits<T>::max();
    uint64_t s = seed;
    switch (mode % 6) {
      case 0:  // any value of the type
        for (size_t i = 0; i < n; ++i) p[i] = pick<T>(s, tmin, tmax);
        break;
      case 1:  // the usual range
        for (size_t i = 0; i < n; ++i) p[i] = pick<T>(s, lo, hi);
        break;
      case 2: {  // constant
        const int64_t cands[] = {lo, hi, tmin, tmax, 0, (lo + hi) / 2};
        const T v = (seed & 8) ? pick<T>(s, lo, hi) : static_cast<T>(cands[seed % 6]);
        for (size_t i = 0; i < n; ++i) p[i] = v;
        break;
      }
      case 3: {  // extremes and their neighbours
        const int64_t cands[] = {lo, hi, tmin, tmax, 0, lo + 1, hi - 1, tmax - 1, tmin + 1};
        for (size_t i = 0; i < n; ++i) p[i] = static_cast<T>(cands[splitmix(s) % 9]);
        break;
      }
      case 4: {  // a smooth ramp with a little noise
        const int64_t span = hi - lo + 1, step = static_cast<int64_t>(seed % 7) + 1;
        for (size_t i = 0; i < n; ++i) {
          int64_t v = lo + (static_cast<int64_t>(i) * step) % span + pick<int>(s, -3, 3);
          p[i] = static_cast<T>(v < tmin ? tmin : (v > tmax ? tmax : v));
        }
        break;
      }
      default:  // close to another buffer (a previous frame), with some large changes
        for (size_t i = 0; i < n; ++i) {
          if (!near) {
            p[i] = pick<T>(s, lo, hi);
            continue;
          }
          const uint64_t z = splitmix(s);
          const int64_t d = (z & 0xF00) == 0 ? static_cast<int64_t>(z % 201) - 100
                                             : static_cast<int64_t>(z % 9) - 4;
          const int64_t v = static_cast<int64_t>(near[i]) + d;
          p[i] = static_cast<T>(v < tmin ? tmin : (v > tmax ? tmax : v));
        }
    }
  }

  Reader &r_;
  std::vector<std::unique_ptr<Twin>> twins_;
};

std::string fmt(const char *f, ...) __attribute__((format(printf, 1, 2)));
std::string fmt(const char *f, ...) {
  char buf[512];
  va_list ap;
  va_start(ap, f);
  std::vsnprintf(buf, sizeof buf, f, ap);
  va_end(ap);
  return buf;
}

// Which elements a stage may write, by element index.
bool nothing(size_t) { return false; }

// Columns x0 .. x0 + w - 1 of rows y0 .. y0 + h - 1 of a plane of the given pitch.
auto inGrid(int pitch, int x0, int y0, int w, int h) {
  return [=](size_t e) {
    const long y = static_cast<long>(e / pitch), x = static_cast<long>(e % pitch);
    return y >= y0 && y < y0 + h && x >= x0 && x < x0 + w;
  };
}

// The filtered frame: luma of the grid, and chroma rows c with 2c + 1 inside
// the grid, over the grid's columns.
auto filtered(int imgWidth, int imgHeight, int proWidth, int proHeight) {
  return [=](size_t e) {
    const long y = static_cast<long>(e / imgWidth), x = static_cast<long>(e % imgWidth);
    if (x >= proWidth) return false;
    if (y < imgHeight) return y < proHeight;
    return 2 * (y - imgHeight) + 1 < proHeight;
  };
}

// pAlpha: the grid, plus the compact block-alpha plane at its start, whose
// bytes past the grid keep the block alpha.
auto alphaMap(int gainStride, int proWidth, int proHeight) {
  const size_t blockBytes = static_cast<size_t>((proWidth + 7) / 8) * ((proHeight + 7) / 8);
  return
      [=](size_t e) { return e < blockBytes || inGrid(gainStride, 0, 0, proWidth, proHeight)(e); };
}

size_t frameBytes(int w, int h) { return static_cast<size_t>(w) * h * 3 / 2; }

void fuzzCalDiff8x8(Reader &r, const tnr_md::Kernels &vec) {
  const int imgWidth = 2 * r.range(4, 100), imgHeight = 2 * r.range(4, 60);
  const int proWidth = r.range(8, imgWidth), proHeight = r.range(8, imgHeight);
  const int blockCols = (proWidth + 7) / 8, blockRows = (proHeight + 7) / 8;
  const int lDiffStride = blockCols + 2 + r.range(0, 3);
  const int sigmaStride = blockCols + 8 + r.range(0, 3);
  const float uv = r.param();
  Buffers B(r);
  const size_t cur = B.add<uint8_t>("pCurIn", frameBytes(imgWidth, imgHeight), 0, 255);
  const size_t pre =
      B.add<uint8_t>("pPreIn", frameBytes(imgWidth, imgHeight), 0, 255, B.a<uint8_t>(cur));
  const size_t ld = B.add<int16_t>("pLdiff", size_t(blockRows + 2) * lDiffStride, 0, 24480);
  const size_t hd = B.add<int16_t>("pHdiff", size_t(proHeight + 2) * (proWidth + 2), 0, 24480);
  const size_t sg = B.add<int16_t>("pSigma", size_t(blockRows + 8) * sigmaStride, 0, 24480);
  B.seal();
  tnr_md::frameDiffWith(tnr_md::kKernelsC, B.a<uint8_t>(cur), B.a<uint8_t>(pre), B.a<int16_t>(ld),
                        B.a<int16_t>(hd), B.a<int16_t>(sg), imgHeight, imgWidth, proHeight,
                        proWidth, lDiffStride, sigmaStride, uv);
  tnr_md::frameDiffWith(vec, B.b<uint8_t>(cur), B.b<uint8_t>(pre), B.b<int16_t>(ld),
                        B.b<int16_t>(hd), B.b<int16_t>(sg), imgHeight, imgWidth, proHeight,
                        proWidth, lDiffStride, sigmaStride, uv);
  B.check(
      fmt("calDiffAndDownScale8x8 img %dx%d pro %dx%d lDiffStride %d sigmaStride %d "
          "uv_ratio %a",
          imgWidth, imgHeight, proWidth, proHeight, lDiffStride, sigmaStride, uv));
}

void fuzzCalDiffDs(Reader &r) {
  const int imgWidth = 2 * r.range(4, 100), imgHeight = 2 * r.range(4, 60);
  const int blocks = (imgWidth + 7) / 8, bands = (imgHeight + 7) / 8;
  const int lDiffStride = 2 * blocks + 2 + r.range(0, 3);
  Buffers B(r);
  const size_t cur = B.add<uint8_t>("pCurIn", frameBytes(imgWidth, imgHeight), 0, 255);
  const size_t pre =
      B.add<uint8_t>("pPreIn", frameBytes(imgWidth, imgHeight), 0, 255, B.a<uint8_t>(cur));
  const size_t ld = B.add<int16_t>("pLdiff", size_t(bands + 2) * lDiffStride, 0, 192);
  const size_t hd = B.add<int16_t>("pHdiff", size_t(imgHeight + 2) * (imgWidth + 2), 0, 765);
  const size_t sg = B.add<int16_t>("pSigma", size_t(bands + 2) * lDiffStride, 0, 192);
  B.seal();
  tnr_md::calDiffAndDownScale_c({B.a<uint8_t>(cur), B.a<uint8_t>(pre), imgHeight, imgWidth},
                                B.a<int16_t>(ld), B.a<int16_t>(hd), B.a<int16_t>(sg), lDiffStride);
  tnr_md::calDiffAndDownScale_neon({B.b<uint8_t>(cur), B.b<uint8_t>(pre), imgHeight, imgWidth},
                                   B.b<int16_t>(ld), B.b<int16_t>(hd), B.b<int16_t>(sg),
                                   lDiffStride);
  const std::string what =
      fmt("calDiffAndDownScale img %dx%d lDiffStride %d", imgWidth, imgHeight, lDiffStride);
  B.check(what);
  B.untouched(cur, what, nothing);
  B.untouched(pre, what, nothing);
  B.untouched(ld, what, inGrid(lDiffStride, 1, 1, 2 * blocks, bands));
  B.untouched(hd, what, inGrid(imgWidth + 2, 1, 1, imgWidth, imgHeight));
  B.untouched(sg, what, inGrid(lDiffStride, 1, 1, 2 * blocks, bands));
}

void fuzzGauss3x3(Reader &r, const tnr_md::Kernels &vec) {
  // Zero sizes now and then: nothing may be written.
  const int imgHgt = r.range(0, 120), imgWid = r.range(0, 200);
  const int stride = (imgWid > 0 ? imgWid : 1) + 2 + r.range(0, 3);
  const bool empty = imgHgt <= 0 || imgWid <= 0;
  // Rows -1 .. imgHgt and columns -1 .. imgWid of the input, and no more.
  const size_t inElems = empty ? 1 : size_t(imgHgt + 1) * stride + imgWid + 2;
  const size_t outElems = empty ? 1 : size_t(imgHgt - 1) * stride + imgWid;
  Buffers B(r);
  const size_t in = B.add<int16_t>("pIn", inElems, 0, 24480);
  const size_t out = B.add<int16_t>("pOut", outElems, 0, 24480);
  B.seal();
  const ptrdiff_t first = empty ? 0 : stride + 1;
  tnr_md::gauss3x3_c(B.a<int16_t>(in) + first, B.a<int16_t>(out), imgHgt, imgWid, stride);
  vec.gauss3x3(B.b<int16_t>(in) + first, B.b<int16_t>(out), imgHgt, imgWid, stride);
  const std::string what = fmt("gauss3x3 %dx%d stride %d", imgWid, imgHgt, stride);
  B.check(what);
  B.untouched(in, what, nothing);
  B.untouched(out, what, inGrid(stride, 0, 0, imgWid, imgHgt));
}

void fuzzSigmaLut(Reader &r, const tnr_md::Kernels &vec) {
  const int imgHgt = r.range(0, 24), imgWid = r.range(0, 40);
  const int stride = (imgWid > 0 ? imgWid : 1) + 8 + r.range(0, 3);
  const float sigmaHScale = r.param(), sigmaLScale = r.param();
  const bool empty = imgHgt <= 0 || imgWid <= 0;
  // Rows -4 .. imgHgt + 3 and columns -4 .. imgWid + 3 of the input.
  const size_t inElems = empty ? 1 : size_t(imgHgt + 7) * stride + imgWid + 8;
  const size_t tmpElems = empty ? 1 : size_t(imgHgt + 7) * stride + imgWid + 4;
  const size_t tabElems = empty ? 1 : size_t(imgHgt - 1) * stride + imgWid;
  Buffers B(r);
  const size_t in = B.add<int16_t>("pIn", inElems, 0, 4000);
  const size_t tmp = B.add<int16_t>("pTmpBuf", tmpElems, -20000, 20000);
  const size_t sl = B.add<uint16_t>("pSigmaL", tabElems, 32, 5000);
  const size_t sh = B.add<uint32_t>("pSigmaH", tabElems, 32, 5000);
  B.seal();
  const ptrdiff_t first = empty ? 0 : 4 * stride + 4;
  tnr_md::sigmaLut_c(B.a<int16_t>(in) + first, B.a<int16_t>(tmp),
                     {B.a<uint16_t>(sl), B.a<uint32_t>(sh)}, {sigmaHScale, sigmaLScale}, imgHgt,
                     imgWid, stride);
  vec.sigmaLut(B.b<int16_t>(in) + first, B.b<int16_t>(tmp), {B.b<uint16_t>(sl), B.b<uint32_t>(sh)},
               {sigmaHScale, sigmaLScale}, imgHgt, imgWid, stride);
  const std::string what = fmt("sigmaLut %dx%d stride %d sigmaHScale %a sigmaLScale %a", imgWid,
                               imgHgt, stride, sigmaHScale, sigmaLScale);
  B.check(what);
  B.untouched(in, what, nothing);
  B.untouched(tmp, what, inGrid(stride, 4, 0, imgWid, imgHgt + 8));
  B.untouched(sl, what, inGrid(stride, 0, 0, imgWid, imgHgt));
  B.untouched(sh, what, inGrid(stride, 0, 0, imgWid, imgHgt));
}

// The narrowest processing width handed to upScale.
constexpr int kUpScaleMinWidth = 1;

void fuzzUpScale(Reader &r, const tnr_md::Kernels &vec) {
  const int imgWidth = 2 * r.range(1, 100), imgHeight = 2 * r.range(1, 60);
  const int proWidth = r.range(kUpScaleMinWidth > imgWidth ? imgWidth : kUpScaleMinWidth, imgWidth);
  const int proHeight = r.range(1, imgHeight);
  const int gainStride = proWidth + r.range(0, 7);
  const uint8_t srb = r.u8();
  const int dsWid = (proWidth + 7) / 8, dsHgt = (proHeight + 7) / 8;
  const int dsStride = dsWid + 2, sigmaStride = dsWid + 8, hdiffStride = proWidth + 2;
  size_t mapElems = size_t(proHeight - 1) * gainStride + proWidth;
  if (mapElems < size_t(dsHgt) * dsWid) mapElems = size_t(dsHgt) * dsWid;
  const size_t tabElems = size_t(dsHgt - 1) * sigmaStride + dsWid;
  Buffers B(r);
  const size_t cur = B.add<uint8_t>("pCurIn", frameBytes(imgWidth, imgHeight), 0, 255);
  const size_t pre =
      B.add<uint8_t>("pPreIn", frameBytes(imgWidth, imgHeight), 0, 255, B.a<uint8_t>(cur));
  const size_t ld = B.add<int16_t>("pLdiff", size_t(dsHgt - 1) * dsStride + dsWid, 0, 3000);
  const size_t hd =
      B.add<int16_t>("pHdiff", size_t(proHeight - 1) * hdiffStride + proWidth, 0, 20000);
  const size_t tmp = B.add<uint8_t>("pTmp", size_t(proHeight) * (dsWid + 2), 0, 255);
  const size_t al = B.add<uint8_t>("pAlpha", mapElems, 0, 255);
  const size_t pa = B.add<uint8_t>("pPreAlpha", mapElems, 0, 128);
  const size_t gn = B.add<uint8_t>("gain_table_u8", mapElems, 0, 255);
  const size_t sl = B.add<uint16_t>("pSigmaL", tabElems, 32, 3000);
  const size_t sh = B.add<uint32_t>("pSigmaH", tabElems, 32, 20000);
  // The high sigma table holds non-negative 32-bit values.
  for (size_t i = 0; i < tabElems; ++i) B.a<uint32_t>(sh)[i] &= 0x7FFFFFFFu;
  B.seal();
  tnr_md::upScaleWith(tnr_md::kKernelsC, B.a<uint8_t>(cur), B.a<uint8_t>(pre), B.a<int16_t>(ld),
                      B.a<int16_t>(hd), B.a<uint8_t>(tmp), B.a<uint8_t>(al), B.a<uint8_t>(pa),
                      B.a<uint8_t>(gn), imgHeight, imgWidth, proHeight, proWidth, gainStride, srb,
                      B.a<uint16_t>(sl), B.a<uint32_t>(sh));
  tnr_md::upScaleWith(vec, B.b<uint8_t>(cur), B.b<uint8_t>(pre), B.b<int16_t>(ld), B.b<int16_t>(hd),
                      B.b<uint8_t>(tmp), B.b<uint8_t>(al), B.b<uint8_t>(pa), B.b<uint8_t>(gn),
                      imgHeight, imgWidth, proHeight, proWidth, gainStride, srb, B.b<uint16_t>(sl),
                      B.b<uint32_t>(sh));
  const std::string what = fmt("upScale img %dx%d pro %dx%d GainStride %d static_ratio_r_bit %u",
                               imgWidth, imgHeight, proWidth, proHeight, gainStride, srb);
  B.check(what);
  B.untouched(cur, what, filtered(imgWidth, imgHeight, proWidth, proHeight));
  for (size_t i : {pre, ld, hd, sl, sh}) B.untouched(i, what, nothing);
  B.untouched(al, what, alphaMap(gainStride, proWidth, proHeight));
  B.untouched(pa, what, inGrid(gainStride, 0, 0, proWidth, proHeight));
  B.untouched(gn, what, inGrid(gainStride, 0, 0, proWidth, proHeight));
}

void fuzzMotionDetect(Reader &r, const tnr_md::Kernels &vec) {
  const int imgWidth = 2 * r.range(4, 100), imgHeight = 2 * r.range(4, 60);
  const int proWidth = r.range(8, imgWidth), proHeight = r.range(8, imgHeight);
  const size_t tmpElems = motionDetectTmpBufSize(proHeight, proWidth);
  if (tmpElems == 0) return;  // a grid the call refuses
  const int gainStride = proWidth + r.range(0, 7);
  const float sigmaHScale = r.param(), sigmaLScale = r.param(), uv = r.param(),
              lightClip = r.param();
  const int srb = static_cast<int>(r.u32());
  const size_t mapElems = size_t(proHeight - 1) * gainStride + proWidth;
  Buffers B(r);
  const size_t cur = B.add<uint8_t>("pCurIn", frameBytes(imgWidth, imgHeight), 0, 255);
  const size_t pre =
      B.add<uint8_t>("pPreIn", frameBytes(imgWidth, imgHeight), 0, 255, B.a<uint8_t>(cur));
  // The sigma table at 4-byte offset in the scratch is read as uint32_t: the
  // scratch buffer starts 4-byte aligned.
  const size_t tmp = B.add<int16_t>("pTmpBuf", tmpElems, -32768, 32767, nullptr, 2);
  // What the scratch buffer holds after a call depends on how the set orders
  // and skips its work (a band that is mostly still is never smoothed whole).
  B.scratch(tmp);
  const size_t al = B.add<uint8_t>("pAlpha", mapElems, 0, 255);
  const size_t pa = B.add<uint8_t>("pPreAlpha", mapElems, 0, 128);
  const size_t gn = B.add<uint8_t>("gain_table_u8", mapElems, 0, 255);
  B.seal();
  tnr_md::motionDetectWith(tnr_md::kKernelsC, B.a<uint8_t>(cur), B.a<uint8_t>(pre),
                           B.a<int16_t>(tmp), B.a<uint8_t>(al), B.a<uint8_t>(pa), B.a<uint8_t>(gn),
                           imgHeight, imgWidth, proHeight, proWidth, gainStride, sigmaHScale,
                           sigmaLScale, uv, lightClip, srb);
  tnr_md::motionDetectWith(vec, B.b<uint8_t>(cur), B.b<uint8_t>(pre), B.b<int16_t>(tmp),
                           B.b<uint8_t>(al), B.b<uint8_t>(pa), B.b<uint8_t>(gn), imgHeight,
                           imgWidth, proHeight, proWidth, gainStride, sigmaHScale, sigmaLScale, uv,
                           lightClip, srb);
  B.check(
      fmt("motion_detect img %dx%d pro %dx%d gainStride %d sigmaHScale %a sigmaLScale %a "
          "uv_ratio %a light_clip %a static_ratio_r_bit %d",
          imgWidth, imgHeight, proWidth, proHeight, gainStride, sigmaHScale, sigmaLScale, uv,
          lightClip, srb));
}

// The spatial stage: only the grid of the output frame may be written;
// sizes it refuses leave every buffer alone through the entry point.
void fuzzSpatial(Reader &r, const tnr_md::Kernels &vec) {
  const int imgWidth = 2 * r.range(4, 100), imgHeight = 2 * r.range(4, 60);
  const int proWidth = r.range(1, imgWidth), proHeight = r.range(1, imgHeight);
  const int gainStride = proWidth + r.range(0, 7);
  const int noise = r.range(-8, 5000), strength = r.range(-8, 400);
  const size_t mapElems = size_t(proHeight - 1) * gainStride + proWidth;
  Buffers B(r);
  const size_t in = B.add<uint8_t>("pIn", frameBytes(imgWidth, imgHeight), 0, 255);
  const size_t out = B.add<uint8_t>("pOut", frameBytes(imgWidth, imgHeight), 0, 255);
  const size_t pa = B.add<uint8_t>("pPreAlpha", mapElems, 0, 128);
  B.seal();
  const std::string what =
      fmt("spatial img %dx%d pro %dx%d gainStride %d noise %d strength %d", imgWidth, imgHeight,
          proWidth, proHeight, gainStride, noise, strength);
  if (!tnr_md::spatialAccepts(imgHeight, imgWidth, proHeight, proWidth, gainStride)) {
    spatial_denoise(B.a<uint8_t>(in), B.a<uint8_t>(out), B.a<uint8_t>(pa), imgHeight, imgWidth,
                    proHeight, proWidth, gainStride, noise, strength);
    for (size_t i : {in, out, pa}) B.untouched(i, what, nothing);
    return;
  }
  uint8_t lut[tnr_md::kSpatialLutSize];
  tnr_md::spatialThresholds(noise, strength, lut);
  const tnr_md::SpatialFrame a{B.a<uint8_t>(in), B.a<uint8_t>(out), B.a<uint8_t>(pa), imgHeight,
                               imgWidth, proHeight, proWidth, gainStride, lut};
  const tnr_md::SpatialFrame b{B.b<uint8_t>(in), B.b<uint8_t>(out), B.b<uint8_t>(pa), imgHeight,
                               imgWidth, proHeight, proWidth, gainStride, lut};
  tnr_md::spatial_c(a, 0, proHeight, 0, proHeight / 2);
  vec.spatial(b, 0, proHeight, 0, proHeight / 2);
  B.check(what);
  B.untouched(in, what, nothing);
  B.untouched(out, what, filtered(imgWidth, imgHeight, proWidth, proHeight));
  B.untouched(pa, what, nothing);
}

// The function byte's top bit picks the vector sets: the NEON set, or on
// x86-64 the x86 set of every level this processor runs, each on the same
// input.
std::vector<const tnr_md::Kernels *> vectorSets(bool x86) {
  std::vector<const tnr_md::Kernels *> sets;
  for (const tnr_md::KernelSet &s : tnr_md::runnableKernelSets())
    if (s.k != &tnr_md::kKernelsC && (s.k != &tnr_md::kKernelsNeon) == x86) sets.push_back(s.k);
  return sets;
}

void runOne(const uint8_t *data, size_t size, const tnr_md::Kernels &vec) {
  Reader r(data, size);
  const uint8_t function = r.u8();
  switch ((function & 0x7F) % 7) {
    case 0:
      fuzzCalDiff8x8(r, vec);
      break;
    case 1:
      fuzzCalDiffDs(r);
      break;
    case 2:
      fuzzGauss3x3(r, vec);
      break;
    case 3:
      fuzzSigmaLut(r, vec);
      break;
    case 4:
      fuzzUpScale(r, vec);
      break;
    case 5:
      fuzzMotionDetect(r, vec);
      break;
    default:
      fuzzSpatial(r, vec);
      break;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static const std::vector<const tnr_md::Kernels *> neon = vectorSets(false),
                                                    x86 = vectorSets(true);
  const bool pickX86 = size > 0 && (data[0] & 0x80);
  for (const tnr_md::Kernels *vec : pickX86 ? x86 : neon) runOne(data, size, *vec);
  return 0;
}
