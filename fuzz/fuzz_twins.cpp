// libFuzzer target: the per-sample and the vector forms of a stage, run on
// identical copies of every buffer, must leave identical bytes everywhere:
// outputs, in-place buffers, read-only inputs and the parts of each buffer
// that neither may touch. Any difference traps.
//
// Input (missing bytes read as 0): a function byte (its top bit picks the
// x86 sets, else the NEON set), a seed for the tests' generators, the
// function's sizes and parameters, one byte per buffer choosing its contents
// and alignment, then bytes XORed into the first buffer. Every buffer is
// allocated at exactly the size its contract names, so that AddressSanitizer
// faults on any access past it.
#include <algorithm>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "generators.h"
#include "kernel_sets.h"
#include "kernels.h"
#include "spatial.h"

#if !TNR_MD_HAVE_NEON
#error "the twin fuzzer needs the vector forms (TNR_MD_VECTOR=ON)"
#endif

namespace {

using tnr_md::Kernels;

class Reader {
 public:
  Reader(const uint8_t *d, size_t n) : d_(d), n_(n) {}
  uint8_t u8() { return pos_ < n_ ? d_[pos_++] : 0; }
  uint32_t u32() {
    uint32_t v = 0;
    for (int i = 0; i < 4; ++i) v |= uint32_t(u8()) << (8 * i);
    return v;
  }
  // lo .. hi inclusive.
  int range(int lo, int hi) { return lo + int((u8() | u8() << 8) % unsigned(hi - lo + 1)); }
  // A tuning value: the tests' chroma weights or sigma scales, eighths, or any bits.
  float param(std::mt19937 &rng) {
    switch (u8() % 4) {
      case 0:
        return tnr_md_test::pickUvRatio(rng);
      case 1:
        return tnr_md_test::pickSigmaScale(rng);
      case 2:
        return float(int8_t(u8())) / 8.0f;
      default: {
        const uint32_t bits = u32();
        float f;
        std::memcpy(&f, &bits, sizeof f);
        return f;
      }
    }
  }
  const uint8_t *rest(size_t *n) {
    *n = n_ - pos_;
    pos_ = n_;
    return d_ + n_ - *n;
  }

 private:
  const uint8_t *d_;
  size_t n_, pos_ = 0;
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

class Buffers;
// Buffer i of a Buffers as T: b[s] is its data on side s.
template <class T>
struct Buf {
  Buffers *owner;
  size_t i;
  T *operator[](int side) const;
  Buf next() const { return {owner, i + 1}; }  // the buffer added after it
};

// Every buffer twice: the per-sample form works on side 0, the vector form on side 1.
class Buffers {
 public:
  explicit Buffers(Reader &r) : r_(r), rng_(r.u32()) {}
  std::mt19937 &rng() { return rng_; }

  // count elements of T. The buffer's byte picks one of the tests' fills, over
  // lo .. hi (the values the stage sees in practice) or over the whole type,
  // and a leading offset of a multiple of `align` elements.
  template <class T>
  Buf<T> add(const char *name, size_t count, int64_t lo, int64_t hi, size_t align = 1) {
    const uint8_t mode = r_.u8();
    Twin t{name, sizeof(T), count ? count : 1, (mode & 0x80) ? (mode >> 4 & 7) * align : 0, {},
           {},   false};
    t.side[0].assign(t.bytes(), 0xA5);
    const bool any = mode & 8;
    tnr_md_test::fillWith(reinterpret_cast<T *>(t.side[0].data()) + t.offset, t.count,
                          tnr_md_test::Fill((mode & 7) % int(tnr_md_test::Fill::Count)), rng_,
                          any ? std::numeric_limits<T>::min() : lo,
                          any ? std::numeric_limits<T>::max() : hi);
    twins_.push_back(std::move(t));
    return {this, twins_.size() - 1};
  }
  // The current and, next to it, the previous frame, mostly a pair of the
  // tests' kinds.
  Buf<uint8_t> frames(int w, int h) {
    const size_t n = size_t(w) * h * 3 / 2;
    const auto cur = add<uint8_t>("pCurIn", n, 0, 255), pre = add<uint8_t>("pPreIn", n, 0, 255);
    const uint8_t kind = r_.u8();
    if (kind < 200) tnr_md_test::fillFrames(cur[0], pre[0], w, h, kind % 5, rng_);
    return cur;
  }
  template <class T>
  T *at(size_t i, int side) {
    return reinterpret_cast<T *>(twins_[i].side[side].data()) + twins_[i].offset;
  }
  // Buffer i is scratch: its contents after the call are not compared.
  void scratch(size_t i) { twins_[i].scratch = true; }
  // The remaining input bytes go into the first buffer; then side 1 copies side 0.
  void seal() {
    size_t n;
    const uint8_t *p = r_.rest(&n);
    Twin &t = twins_[0];
    for (size_t i = 0; i < n && i < t.count * t.elem; ++i) t.side[0][t.offset * t.elem + i] ^= p[i];
    for (Twin &tw : twins_) tw.side[1] = tw.before = tw.side[0];
  }
  // Runs call(kernels, side) for the per-sample set on side 0 and vec on side 1,
  // then compares the two sides.
  template <class Call>
  void run(const Kernels &vec, const std::string &what, Call call) {
    seal();
    call(tnr_md::kKernelsC, 0);
    call(vec, 1);
    for (const Twin &t : twins_) {
      const size_t n = t.scratch ? t.offset * t.elem : t.bytes();
      if (std::memcmp(t.side[0].data(), t.side[1].data(), n) == 0) continue;
      size_t i = 0;
      while (t.side[0][i] == t.side[1][i]) ++i;
      std::fprintf(stderr,
                   "twin mismatch: %s\n  buffer %s (%zu elements of %zu bytes), first differing "
                   "byte %zu = element %ld: per-sample 0x%02x, vector 0x%02x\n",
                   what.c_str(), t.name, t.count, t.elem, i, long(i / t.elem) - long(t.offset),
                   t.side[0][i], t.side[1][i]);
      __builtin_trap();
    }
  }
  // After run(): no element of the buffers bufs outside mayWrite(element
  // index) changed, nor any byte ahead of the data.
  template <class Pred, class... T>
  void untouched(const std::string &what, Pred mayWrite, Buf<T>... bufs) const {
    for (size_t i : {bufs.i...}) {
      const Twin &t = twins_[i];
      for (size_t k = 0; k < t.bytes(); ++k) {
        if (t.side[0][k] == t.before[k]) continue;
        const long e = long(k / t.elem) - long(t.offset);
        if (e >= 0 && mayWrite(size_t(e))) continue;
        std::fprintf(stderr, "write outside the contract: %s\n  buffer %s, element %ld changed\n",
                     what.c_str(), t.name, e);
        __builtin_trap();
      }
    }
  }

 private:
  struct Twin {
    const char *name;
    size_t elem, count, offset;  // offset elements ahead of the data
    std::vector<uint8_t> side[2], before;
    bool scratch = false;  // its data mean nothing after the call
    size_t bytes() const { return (count + offset) * elem; }
  };
  Reader &r_;
  std::mt19937 rng_;
  std::vector<Twin> twins_;
};
template <class T>
T *Buf<T>::operator[](int side) const {
  return owner->at<T>(i, side);
}

// Which elements a stage may write, by element index.
bool nothing(size_t) { return false; }

// Columns x0 .. x0 + w - 1 of rows y0 .. y0 + h - 1 of a plane of the given pitch.
auto inGrid(int pitch, int x0, int y0, int w, int h) {
  return [=](size_t e) {
    const long y = long(e / pitch), x = long(e % pitch);
    return y >= y0 && y < y0 + h && x >= x0 && x < x0 + w;
  };
}

// The filtered frame: luma of the grid, and chroma rows c with 2c + 1 inside
// the grid, over the grid's columns.
auto filtered(int imgWidth, int imgHeight, int proWidth, int proHeight) {
  return [=](size_t e) {
    const long y = long(e / imgWidth), x = long(e % imgWidth);
    if (x >= proWidth) return false;
    return y < imgHeight ? y < proHeight : 2 * (y - imgHeight) + 1 < proHeight;
  };
}

void fuzzFrameDiff(Reader &r, const Kernels &vec) {
  const int imgWidth = 2 * r.range(4, 100), imgHeight = 2 * r.range(4, 60);
  const int proWidth = r.range(8, imgWidth), proHeight = r.range(8, imgHeight);
  const int blockCols = (proWidth + 7) / 8, blockRows = (proHeight + 7) / 8;
  const int lDiffStride = blockCols + 2 + r.range(0, 3);
  const int sigmaStride = blockCols + 8 + r.range(0, 3);
  Buffers B(r);
  const float uv = r.param(B.rng());
  const auto cur = B.frames(imgWidth, imgHeight), pre = cur.next();
  const auto ld = B.add<int16_t>("pLdiff", size_t(blockRows + 2) * lDiffStride, 0, 24480);
  const auto hd = B.add<int16_t>("pHdiff", size_t(proHeight + 2) * (proWidth + 2), 0, 24480);
  const auto sg = B.add<int16_t>("pSigma", size_t(blockRows + 8) * sigmaStride, 0, 24480);
  B.run(vec,
        fmt("calDiffAndDownScale8x8 img %dx%d pro %dx%d lDiffStride %d sigmaStride %d "
            "uv_ratio %a",
            imgWidth, imgHeight, proWidth, proHeight, lDiffStride, sigmaStride, uv),
        [&](const Kernels &k, int s) {
          tnr_md::frameDiffWith(k, cur[s], pre[s], ld[s], hd[s], sg[s], imgHeight, imgWidth,
                                proHeight, proWidth, lDiffStride, sigmaStride, uv);
        });
}

void fuzzCalDiffDs(Reader &r, const Kernels &vec) {
  const int imgWidth = 2 * r.range(4, 100), imgHeight = 2 * r.range(4, 60);
  const int blocks = (imgWidth + 7) / 8, bands = (imgHeight + 7) / 8;
  const int lDiffStride = 2 * blocks + 2 + r.range(0, 3);
  Buffers B(r);
  const auto cur = B.frames(imgWidth, imgHeight), pre = cur.next();
  const auto ld = B.add<int16_t>("pLdiff", size_t(bands + 2) * lDiffStride, 0, 192);
  const auto hd = B.add<int16_t>("pHdiff", size_t(imgHeight + 2) * (imgWidth + 2), 0, 765);
  const auto sg = B.add<int16_t>("pSigma", size_t(bands + 2) * lDiffStride, 0, 192);
  const std::string what =
      fmt("calDiffAndDownScale img %dx%d lDiffStride %d", imgWidth, imgHeight, lDiffStride);
  B.run(vec, what, [&](const Kernels &, int s) {
    (s ? tnr_md::calDiffAndDownScale_neon : tnr_md::calDiffAndDownScale_c)(
        {cur[s], pre[s], imgHeight, imgWidth}, ld[s], hd[s], sg[s], lDiffStride);
  });
  B.untouched(what, nothing, cur, pre);
  B.untouched(what, inGrid(lDiffStride, 1, 1, 2 * blocks, bands), ld, sg);
  B.untouched(what, inGrid(imgWidth + 2, 1, 1, imgWidth, imgHeight), hd);
}

void fuzzGauss3x3(Reader &r, const Kernels &vec) {
  // Zero sizes now and then: nothing may be written.
  const int rows = r.range(0, 120), cols = r.range(0, 200);
  const int stride = (cols > 0 ? cols : 1) + 2 + r.range(0, 3);
  const bool empty = rows <= 0 || cols <= 0;
  // Rows -1 .. rows and columns -1 .. cols of the input, and no more.
  Buffers B(r);
  const auto in = B.add<int16_t>("pIn", empty ? 1 : size_t(rows + 1) * stride + cols + 2, 0, 24480);
  const auto out = B.add<int16_t>("pOut", empty ? 1 : size_t(rows - 1) * stride + cols, 0, 24480);
  const ptrdiff_t first = empty ? 0 : stride + 1;
  const std::string what = fmt("gauss3x3 %dx%d stride %d", cols, rows, stride);
  B.run(vec, what,
        [&](const Kernels &k, int s) { k.gauss3x3(in[s] + first, out[s], rows, cols, stride); });
  B.untouched(what, nothing, in);
  B.untouched(what, inGrid(stride, 0, 0, cols, rows), out);
}

void fuzzSigmaLut(Reader &r, const Kernels &vec) {
  const int rows = r.range(0, 24), cols = r.range(0, 40);
  const int stride = (cols > 0 ? cols : 1) + 8 + r.range(0, 3);
  const bool empty = rows <= 0 || cols <= 0;
  Buffers B(r);
  const tnr_md::SigmaScales scale{r.param(B.rng()), r.param(B.rng())};
  // Rows -4 .. rows + 3 and columns -4 .. cols + 3 of the input.
  const auto in = B.add<int16_t>("pIn", empty ? 1 : size_t(rows + 7) * stride + cols + 8, 0, 4000);
  const auto tmp =
      B.add<int16_t>("pTmpBuf", empty ? 1 : size_t(rows + 7) * stride + cols + 4, -20000, 20000);
  const size_t tab = empty ? 1 : size_t(rows - 1) * stride + cols;
  const auto sl = B.add<uint16_t>("pSigmaL", tab, 32, 5000);
  const auto sh = B.add<uint32_t>("pSigmaH", tab, 32, 5000);
  const ptrdiff_t first = empty ? 0 : 4 * stride + 4;
  const std::string what = fmt("sigmaLut %dx%d stride %d sigmaHScale %a sigmaLScale %a", cols, rows,
                               stride, scale.high, scale.low);
  B.run(vec, what, [&](const Kernels &k, int s) {
    k.sigmaLut(in[s] + first, tmp[s], {sl[s], sh[s]}, scale, rows, cols, stride);
  });
  B.untouched(what, nothing, in);
  B.untouched(what, inGrid(stride, 4, 0, cols, rows + 8), tmp);
  B.untouched(what, inGrid(stride, 0, 0, cols, rows), sl, sh);
}

void fuzzUpScale(Reader &r, const Kernels &vec) {
  const int imgWidth = 2 * r.range(1, 100), imgHeight = 2 * r.range(1, 60);
  const int proWidth = r.range(1, imgWidth), proHeight = r.range(1, imgHeight);
  const int gainStride = proWidth + r.range(0, 7);
  const uint8_t srb = r.u8();
  const int blockCols = (proWidth + 7) / 8, blockRows = (proHeight + 7) / 8;
  const int sigmaStride = blockCols + 8;
  // The compact block-alpha plane at pAlpha's start may reach past the grid.
  const size_t blockBytes = size_t(blockRows) * blockCols;
  const size_t mapElems = std::max(size_t(proHeight - 1) * gainStride + proWidth, blockBytes);
  const size_t tab = size_t(blockRows - 1) * sigmaStride + blockCols;
  Buffers B(r);
  const auto cur = B.frames(imgWidth, imgHeight), pre = cur.next();
  const auto ld =
      B.add<int16_t>("pLdiff", size_t(blockRows - 1) * (blockCols + 2) + blockCols, 0, 3000);
  const auto hd =
      B.add<int16_t>("pHdiff", size_t(proHeight - 1) * (proWidth + 2) + proWidth, 0, 20000);
  const auto tmp = B.add<uint8_t>("pTmp", size_t(proHeight) * (blockCols + 2), 0, 255);
  const auto al = B.add<uint8_t>("pAlpha", mapElems, 0, 255);
  const auto pa = B.add<uint8_t>("pPreAlpha", mapElems, 0, 128);
  const auto gn = B.add<uint8_t>("gain_table_u8", mapElems, 0, 255);
  const auto sl = B.add<uint16_t>("pSigmaL", tab, 32, 3000);
  // The high sigma table holds non-negative 32-bit values.
  const auto sh = B.add<uint32_t>("pSigmaH", tab, 32, 20000);
  for (size_t i = 0; i < tab; ++i) sh[0][i] &= 0x7FFFFFFFu;
  const std::string what = fmt("upScale img %dx%d pro %dx%d gainStride %d static_ratio_r_bit %u",
                               imgWidth, imgHeight, proWidth, proHeight, gainStride, srb);
  B.run(vec, what, [&](const Kernels &k, int s) {
    tnr_md::upScaleWith(k, cur[s], pre[s], ld[s], hd[s], tmp[s], al[s], pa[s], gn[s], imgHeight,
                        imgWidth, proHeight, proWidth, gainStride, srb, sl[s], sh[s]);
  });
  B.untouched(what, filtered(imgWidth, imgHeight, proWidth, proHeight), cur);
  B.untouched(what, nothing, pre, ld, hd, sl, sh);
  const auto grid = inGrid(gainStride, 0, 0, proWidth, proHeight);
  const auto alphaArea = [&](size_t e) { return e < blockBytes || grid(e); };
  B.untouched(what, grid, pa, gn);
  B.untouched(what, alphaArea, al);
}

void fuzzMotionDetect(Reader &r, const Kernels &vec) {
  const int imgWidth = 2 * r.range(4, 100), imgHeight = 2 * r.range(4, 60);
  const int proWidth = r.range(8, imgWidth), proHeight = r.range(8, imgHeight);
  const size_t tmpElems = motionDetectTmpBufSize(proHeight, proWidth);
  if (tmpElems == 0) return;  // a grid the call refuses
  const int gainStride = proWidth + r.range(0, 7);
  const int srb = int(r.u32());
  const size_t mapElems = size_t(proHeight - 1) * gainStride + proWidth;
  Buffers B(r);
  const float sigmaHScale = r.param(B.rng()), sigmaLScale = r.param(B.rng()), uv = r.param(B.rng()),
              lightClip = r.param(B.rng());
  const auto cur = B.frames(imgWidth, imgHeight), pre = cur.next();
  // The scratch buffer starts 4-byte aligned (the sigma table in it is read
  // as uint32_t); what it holds after a call depends on how the set orders
  // and skips its work (a band that is mostly still is never smoothed whole).
  const auto tmp = B.add<int16_t>("pTmpBuf", tmpElems, -32768, 32767, 2);
  B.scratch(tmp.i);
  const auto al = B.add<uint8_t>("pAlpha", mapElems, 0, 255);
  const auto pa = B.add<uint8_t>("pPreAlpha", mapElems, 0, 128);
  const auto gn = B.add<uint8_t>("gain_table_u8", mapElems, 0, 255);
  B.run(vec,
        fmt("motion_detect img %dx%d pro %dx%d gainStride %d sigmaHScale %a sigmaLScale %a "
            "uv_ratio %a light_clip %a static_ratio_r_bit %d",
            imgWidth, imgHeight, proWidth, proHeight, gainStride, sigmaHScale, sigmaLScale, uv,
            lightClip, srb),
        [&](const Kernels &k, int s) {
          tnr_md::motionDetectWith(k, cur[s], pre[s], tmp[s], al[s], pa[s], gn[s], imgHeight,
                                   imgWidth, proHeight, proWidth, gainStride, sigmaHScale,
                                   sigmaLScale, uv, lightClip, srb);
        });
}

// The spatial stage: only the grid of the output frame may be written;
// sizes it refuses leave every buffer alone through the entry point.
void fuzzSpatial(Reader &r, const Kernels &vec) {
  const int imgWidth = 2 * r.range(4, 100), imgHeight = 2 * r.range(4, 60);
  const int proWidth = r.range(1, imgWidth), proHeight = r.range(1, imgHeight);
  const int gainStride = proWidth + r.range(0, 7);
  const int noise = r.range(-8, 5000), strength = r.range(-8, 400);
  const size_t frame = size_t(imgWidth) * imgHeight * 3 / 2;
  Buffers B(r);
  const auto in = B.add<uint8_t>("pIn", frame, 0, 255);
  const auto out = B.add<uint8_t>("pOut", frame, 0, 255);
  const auto pa =
      B.add<uint8_t>("pPreAlpha", size_t(proHeight - 1) * gainStride + proWidth, 0, 128);
  const std::string what =
      fmt("spatial img %dx%d pro %dx%d gainStride %d noise %d strength %d", imgWidth, imgHeight,
          proWidth, proHeight, gainStride, noise, strength);
  const bool accepted =
      tnr_md::spatialAccepts(imgHeight, imgWidth, proHeight, proWidth, gainStride);
  uint8_t lut[tnr_md::kSpatialLutSize];
  tnr_md::spatialThresholds(noise, strength, lut);
  B.run(vec, what, [&](const Kernels &k, int s) {
    if (!accepted) {
      spatial_denoise(in[s], out[s], pa[s], imgHeight, imgWidth, proHeight, proWidth, gainStride,
                      noise, strength);
      return;
    }
    k.spatial({in[s], out[s], pa[s], imgHeight, imgWidth, proHeight, proWidth, gainStride, lut}, 0,
              proHeight, 0, proHeight / 2);
  });
  B.untouched(what, nothing, in, pa);
  B.untouched(what, filtered(imgWidth, imgHeight, accepted ? proWidth : 0, proHeight), out);
}

// The function byte's top bit picks the vector sets: the NEON set, or on
// x86-64 the x86 set of every level this processor runs, each on the same input.
std::vector<const Kernels *> vectorSets(bool x86) {
  std::vector<const Kernels *> sets;
  for (const tnr_md::KernelSet &s : tnr_md::runnableKernelSets())
    if (s.k != &tnr_md::kKernelsC && (s.k != &tnr_md::kKernelsNeon) == x86) sets.push_back(s.k);
  return sets;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static const std::vector<const Kernels *> neon = vectorSets(false), x86 = vectorSets(true);
  static void (*const kStages[])(Reader &, const Kernels &) = {
      fuzzFrameDiff, fuzzCalDiffDs,    fuzzGauss3x3, fuzzSigmaLut,
      fuzzUpScale,   fuzzMotionDetect, fuzzSpatial};
  const uint8_t function = size > 0 ? data[0] : 0;
  for (const Kernels *vec : (function & 0x80) ? x86 : neon) {
    Reader r(data, size);
    r.u8();
    kStages[(function & 0x7F) % 7](r, *vec);
  }
  // The calls leave the x87 unit usable (MMX registers, which it shares,
  // would need an emms): a caller's long double arithmetic still works.
  volatile long double three = 3.0L;
  if (!(three * three == 9.0L)) {
    std::fprintf(stderr, "x87 state left unusable by the kernels\n");
    std::abort();
  }
  return 0;
}
