// Google Benchmark of every motion_detect stage and of the whole call, the
// per-sample form (_c) against the vector form (_neon) in the same run, plus a
// memory skeleton that moves exactly the bytes one call must move, and the
// same bytes with the call's own planes in the call's order
// (skeleton_in_order): the part of the call's time that its order sets.
//
// The leading rows (motion_detect_real) run real footage: the NV12 files of
// scripts/real_frames.sh (vtest.avi with sigma 8 noise, upscaled to
// 1920x1080 and at its own 768x576), chained as a camera runs them at the
// tuning the front ends ship (real_frames.h); --real_frames=DIR names their
// folder (default build/real-frames). Each timed call filters the next frame
// against the previous call's output; after the last frame the chain starts
// again from weights 0, outside the timed region. The synthetic scene's rows
// (motion_detect, motion_detect_moving, the stages) use scales 1.0 / 1.0 /
// 0.5 (scene.h).
//
// Every figure counts processing pixels (items_per_second = pixels/s), also for
// the stages that work on the 8x8-block planes, so that all rows compare with
// the frame rate. After the runs a summary prints the median time per call,
// the vector form's speed-up over its twin (ratio of medians) and the ratio of
// motion_detect to the skeleton. Without --benchmark_repetitions, 5 are run.
// Times are the thread's CPU time: the calls are single-threaded, and on a
// shared machine CPU time is the steadier figure (wall time is also printed).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <tuple>
#include <vector>

#include "kernels.h"
#include "layout.h"
#include "motion_detect.h"
#include "real_frames.h"
#include "scene.h"
#include "kernel_sets.h"
#include "spatial.h"
#include "tnr_md_threads.h"

namespace {

using tnr_md::Kernels;
using tnr_md::Layout;
using tnr_md_bench::Scene;

// Inputs of every stage at one size, produced once by running the per-sample
// pipeline up to that stage. The stage benchmarks give the sigma stage and
// upScale their own scratch (in motion_detect both borrow the dead pHdiff
// region), so that the planes the other stages read stay intact.
struct Setup {
  Scene scene;
  Layout g{};
  tnr_md_bench::Buf<int16_t> tmp;           // the driver's planes, filled by the prefix
  tnr_md_bench::Buf<int16_t> sigmaScratch;  // sigmaFilterLut's horizontal-pass plane
  tnr_md_bench::Buf<uint8_t> rowBuf;        // upScale's row buffer
  tnr_md_bench::Buf<int16_t> mdTmp;         // motion_detect's own scratch
  tnr_md_bench::Buf<uint8_t> cur, alpha, preAlpha, gain;  // in-place buffers, restored per call

  int16_t *hdiff() { return tmp.data(); }
  int16_t *ldiff() { return tmp.data() + g.ldiff; }
  int16_t *sigma() { return tmp.data() + g.sigma; }
  int16_t *filterLdiff() { return tmp.data() + g.filterLdiff; }
  int16_t *filterHdiff() { return tmp.data() + g.filterHdiff; }
  uint16_t *sigmaL() { return reinterpret_cast<uint16_t *>(tmp.data() + g.sigmaL); }
  uint32_t *sigmaH() { return reinterpret_cast<uint32_t *>(tmp.data() + g.sigmaH); }
  int w() const { return scene.width; }
  int h() const { return scene.height; }

  void restore() {
    std::memcpy(cur.data(), scene.cur.data(), cur.size());
    std::memcpy(preAlpha.data(), scene.preAlpha.data(), preAlpha.size());
    std::memcpy(gain.data(), scene.gain.data(), gain.size());
  }
};

Setup &setupFor(int w, int h, bool everythingMoves = false) {
  static std::map<std::tuple<int, int, bool>, std::unique_ptr<Setup>> cache;
  auto &slot = cache[{w, h, everythingMoves}];
  if (slot) return *slot;
  slot = std::make_unique<Setup>();
  Setup &s = *slot;
  s.scene = tnr_md_bench::makeScene(w, h, everythingMoves);
  s.g = tnr_md::makeLayout(h, w);
  const size_t elems = motionDetectTmpBufSize(h, w);
  s.tmp.assign(elems, 0);
  s.mdTmp.assign(elems, 0);
  s.sigmaScratch.assign(static_cast<size_t>(s.g.blockRows + 8) * s.g.sigmaStride, 0);
  s.rowBuf.assign(static_cast<size_t>(h) * (s.g.blockCols + 2), 0);
  s.cur = s.scene.cur;
  s.alpha.assign(s.scene.pixels(), 0);
  s.preAlpha = s.scene.preAlpha;
  s.gain = s.scene.gain;

  const Layout &g = s.g;
  uint8_t *pre = s.scene.pre.data();
  tnr_md::frameDiffWith(tnr_md::kKernelsC, s.cur.data(), pre, s.ldiff(), s.hdiff(), s.sigma(), h, w,
                        h, w, g.lDiffStride, g.sigmaStride, tnr_md_bench::kUvRatio);
  tnr_md::extendImgBorder_c(s.ldiff(), g.lDiffStride, g.blockRows + 2, 1, 1);
  tnr_md::extendImgBorder_c(s.hdiff(), g.hDiffStride, h + 2, 1, 1);
  tnr_md::extendImgBorder_c(s.sigma(), g.sigmaStride, g.blockRows + 8, 4, 4);
  tnr_md::gauss3x3_c(s.ldiff() + g.lDiffStride + 1, s.filterLdiff(), g.blockRows, g.blockCols,
                     g.lDiffStride);
  tnr_md::gauss3x3_c(s.hdiff() + g.hDiffStride + 1, s.filterHdiff(), h, w, g.hDiffStride);
  tnr_md::sigmaLut_c(s.sigma() + 4 * g.sigmaStride + 4, s.sigmaScratch.data(),
                     {s.sigmaL(), s.sigmaH()},
                     {tnr_md_bench::kSigmaHScale, tnr_md_bench::kSigmaLScale}, g.blockRows,
                     g.blockCols, g.sigmaStride);
  return s;
}

// The spatial stage's inputs: the scene after `settle` chained motion_detect
// calls (12: the still pixels' weights have settled at the blend's ceiling;
// 1: still pixels a few frames old, which the stage still filters; 0: the
// scene where everything moves after one call, every weight 0, so every pixel
// is filtered at full strength), the thresholds for the noise level the last
// call measured, an output frame.
struct SpatialSetup {
  Scene scene;
  uint8_t lut[tnr_md::kSpatialLutSize];
  tnr_md_bench::Buf<uint8_t> out;
  tnr_md::SpatialFrame frame() {
    return {scene.cur.data(), out.data(), scene.preAlpha.data(), scene.height, scene.width,
            scene.height, scene.width, scene.width, lut};
  }
};

SpatialSetup &spatialSetupFor(int w, int h, int settle) {
  static std::map<std::tuple<int, int, int>, std::unique_ptr<SpatialSetup>> cache;
  auto &slot = cache[{w, h, settle}];
  if (slot) return *slot;
  slot = std::make_unique<SpatialSetup>();
  SpatialSetup &s = *slot;
  s.scene = tnr_md_bench::makeScene(w, h, settle == 0);
  std::vector<int16_t> tmp(motionDetectTmpBufSize(h, w));
  std::vector<uint8_t> alpha(s.scene.pixels());
  for (int i = 0; i < (settle == 0 ? 1 : settle); ++i)
    motion_detect(s.scene.cur.data(), s.scene.pre.data(), tmp.data(), alpha.data(),
                  s.scene.preAlpha.data(), s.scene.gain.data(), h, w, h, w, w,
                  tnr_md_bench::kSigmaHScale, tnr_md_bench::kSigmaLScale, tnr_md_bench::kUvRatio,
                  tnr_md_bench::kLightClip, tnr_md_bench::kStaticRatioRBit);
  tnr_md::spatialThresholds(motionDetectNoiseLevel(tmp.data(), h, w, tnr_md_bench::kUvRatio),
                            tnr_md_bench::kSpatialStrength, s.lut);
  s.out.assign(s.scene.cur.size(), 0);
  return s;
}

void finish(benchmark::State &st, const Setup &s) {
  st.SetItemsProcessed(static_cast<int64_t>(st.iterations()) *
                       static_cast<int64_t>(s.scene.pixels()));
}

// Pure stages: every call rewrites the same outputs from the same inputs, so
// repeated calls need no setup between them.
template <class Fn>
void pureStage(benchmark::State &st, int w, int h, Fn fn) {
  Setup &s = setupFor(w, h);
  for (auto _ : st) {
    fn(s);
    benchmark::ClobberMemory();
  }
  finish(st, s);
}

// upScale and motion_detect update pCurIn, pPreAlpha and gain_table_u8 in
// place. Each timed call starts from the pristine scene: the three buffers are
// copied back outside the timed region (PauseTiming), which also leaves them
// warm in the cache as an earlier stage of the frame would.
template <class Fn>
void inPlaceStage(benchmark::State &st, int w, int h, Fn fn, bool everythingMoves = false) {
  Setup &s = setupFor(w, h, everythingMoves);
  for (auto _ : st) {
    st.PauseTiming();
    s.restore();
    st.ResumeTiming();
    fn(s);
    benchmark::ClobberMemory();
  }
  finish(st, s);
}

// The skeleton: luma and chroma of the processing rows read from both frames
// and written back to the current one, pPreAlpha and the gains read and
// written, pAlpha written, with one trivial operation per byte. 9.5 bytes per
// processing pixel, 19.7 MB at 1920x1080. Its in-place state is chained from
// call to call; no value affects its cost.
// The operation on one frame byte and on one pixel's map bytes.
inline uint8_t frameByte(uint8_t cur, uint8_t pre) {
  return static_cast<uint8_t>((cur + pre + 1) >> 1);
}
inline void mapBytes(uint8_t &alpha, uint8_t &preAlpha, uint8_t &gain) {
  const uint8_t a = static_cast<uint8_t>(preAlpha + 1);
  preAlpha = a;
  gain = static_cast<uint8_t>(gain ^ a);
  alpha = static_cast<uint8_t>(a >> 1);
}
void skeletonFrames(uint8_t *cur, const uint8_t *pre, size_t bytes) {
  for (size_t i = 0; i < bytes; ++i) cur[i] = frameByte(cur[i], pre[i]);
}
void skeletonMaps(uint8_t *alpha, uint8_t *preAlpha, uint8_t *gain, size_t bytes) {
  for (size_t i = 0; i < bytes; ++i) mapBytes(alpha[i], preAlpha[i], gain[i]);
}
void skeleton(uint8_t *cur, const uint8_t *pre, uint8_t *alpha, uint8_t *preAlpha, uint8_t *gain,
              int w, int h) {
  const size_t luma = static_cast<size_t>(w) * h;
  skeletonFrames(cur, pre, luma + luma / 2);
  skeletonMaps(alpha, preAlpha, gain, luma);
}

// The skeleton's bytes and the call's own planes in the call's own order,
// the streamed schedule's, with one trivial operation per sample: what the
// order itself costs on this machine when the arithmetic costs nothing.
// Each frame row's difference (luma, and on even rows its chroma row) goes
// to a ring of 16-bit rows as far below a band of rows as the call's
// difference runs; the band's rows are filtered from the ring into 16-bit
// rows; then the band's rows of every map and frame are read and written as
// the skeleton does, each pixel also reading its filtered sample. kRing
// false is the order that keeps no ring: ahead of the band the frames are
// only read (as for the block sums), and the band's difference rows are
// formed again from the frames when the band comes. The row steps run at the
// widest vector the machine has (the skeleton itself stays at the compiler's
// default, as the figures before it were measured).
#if defined(__x86_64__) && defined(__has_attribute)
#if __has_attribute(target_clones)
#define TNR_MD_BENCH_WIDEST __attribute__((target_clones("arch=x86-64-v4", "avx2", "default")))
#endif
#endif
#ifndef TNR_MD_BENCH_WIDEST
#define TNR_MD_BENCH_WIDEST
#endif
TNR_MD_BENCH_WIDEST void diffRow(uint16_t *__restrict r, const uint8_t *__restrict c,
                                 const uint8_t *__restrict p, int w) {
  for (int x = 0; x < w; ++x) r[x] = static_cast<uint16_t>(c[x] - p[x]);
}
TNR_MD_BENCH_WIDEST void addDiffRow(uint16_t *__restrict r, const uint8_t *__restrict c,
                                    const uint8_t *__restrict p, int w) {
  for (int x = 0; x < w; ++x) r[x] = static_cast<uint16_t>(r[x] + c[x] - p[x]);
}
TNR_MD_BENCH_WIDEST void foldRow(uint8_t *__restrict acc, const uint8_t *__restrict c,
                                 const uint8_t *__restrict p, int w) {
  for (int x = 0; x + 64 <= w; x += 64)
    for (int i = 0; i < 64; ++i) acc[i] = static_cast<uint8_t>(acc[i] + c[x + i] - p[x + i]);
}
TNR_MD_BENCH_WIDEST void filterRow(uint16_t *__restrict out, const uint16_t *__restrict a,
                                   const uint16_t *__restrict b, const uint16_t *__restrict c,
                                   int w) {
  for (int x = 0; x < w; ++x) out[x] = static_cast<uint16_t>(a[x] + b[x] + c[x]);
}
TNR_MD_BENCH_WIDEST void passRow(uint8_t *__restrict cur, const uint8_t *__restrict pre,
                                 const uint16_t *__restrict sm, uint8_t *__restrict alpha,
                                 uint8_t *__restrict preAlpha, uint8_t *__restrict gain, int w) {
  for (int x = 0; x < w; ++x) {
    cur[x] = static_cast<uint8_t>(frameByte(cur[x], pre[x]) ^ sm[x]);
    mapBytes(alpha[x], preAlpha[x], gain[x]);
  }
}
TNR_MD_BENCH_WIDEST void passChromaRow(uint8_t *__restrict cur, const uint8_t *__restrict pre,
                                       int w) {
  for (int x = 0; x < w; ++x) cur[x] = frameByte(cur[x], pre[x]);
}

// The ring's rows, as the call's: the whole plane when the grid is not
// taller than the ring and a band.
int ringSlots(int h) { return h > tnr_md::kRingRows + tnr_md::kBandRows ? tnr_md::kRingRows : h; }

// ring: ringSlots(h) rows; band: 2 x tnr_md::kBandRows + 3 rows; both of
// pitch w.
template <bool kRing>
void skeletonInOrder(uint8_t *cur, const uint8_t *pre, uint8_t *alpha, uint8_t *preAlpha,
                     uint8_t *gain, int w, int h, uint16_t *ring, uint16_t *band) {
  const ptrdiff_t luma = static_cast<ptrdiff_t>(w) * h;
  const int slots = ringSlots(h);
  const auto clampRow = [&](int y) { return y < 0 ? 0 : y >= h ? h - 1 : y; };
  const auto ringRow = [&](int y) {
    return ring + static_cast<ptrdiff_t>(clampRow(y) % slots) * w;
  };
  // Row y's luma and chroma offsets.
  const auto lumaAt = [&](int y) { return static_cast<ptrdiff_t>(y) * w; };
  const auto chromaAt = [&](int y) { return luma + static_cast<ptrdiff_t>(y >> 1) * w; };
  const auto difference = [&](uint16_t *r, int y) {
    y = clampRow(y);
    diffRow(r, cur + lumaAt(y), pre + lumaAt(y), w);
    if ((y & 1) == 0) addDiffRow(r, cur + chromaAt(y), pre + chromaAt(y), w);
  };
  alignas(64) uint8_t acc[64] = {};
  // The difference runs this many rows below a band's first row.
  const int ahead = 8 * ((tnr_md::kBandRows + 3) / 8 + tnr_md::kLowResRows + 4);
  uint16_t *bandDiff = band + w;  // row y0 - 1 at band
  uint16_t *smoothed = band + static_cast<ptrdiff_t>(tnr_md::kBandRows + 3) * w;
  int diffRows = 0;
  for (int y0 = 0; y0 < h; y0 += tnr_md::kBandRows) {
    const int y1 = std::min(y0 + tnr_md::kBandRows, h);
    for (; diffRows < std::min(y0 + ahead, h); ++diffRows) {
      const int y = diffRows;
      if (kRing) {
        difference(ringRow(y), y);
      } else {
        foldRow(acc, cur + lumaAt(y), pre + lumaAt(y), w);
        if ((y & 1) == 0) foldRow(acc, cur + chromaAt(y), pre + chromaAt(y), w);
      }
    }
    if (!kRing)
      for (int y = y0 - 1; y <= y1; ++y)
        difference(bandDiff + static_cast<ptrdiff_t>(y - y0) * w, y);
    const auto diffAt = [&](int y) {
      return kRing ? ringRow(y) : bandDiff + static_cast<ptrdiff_t>(y - y0) * w;
    };
    for (int y = y0; y < y1; ++y)
      filterRow(smoothed + static_cast<ptrdiff_t>(y - y0) * w, diffAt(y - 1), diffAt(y),
                diffAt(y + 1), w);
    for (int y = y0; y < y1; ++y) {
      const ptrdiff_t o = lumaAt(y);
      passRow(cur + o, pre + o, smoothed + static_cast<ptrdiff_t>(y - y0) * w, alpha + o,
              preAlpha + o, gain + o, w);
      if (y & 1) passChromaRow(cur + chromaAt(y), pre + chromaAt(y), w);
    }
  }
  alpha[0] = static_cast<uint8_t>(alpha[0] + acc[0]);  // the folds are not dead
}

void registerSize(int w, int h) {
  const std::string size = "/" + std::to_string(w) + "x" + std::to_string(h);
  // "x86": the set the library is built for, under that name; then every
  // other set this processor runs.
  struct Form {
    const char *name;
    const Kernels *k;
  };
  std::vector<Form> forms;
  for (const tnr_md::KernelSet &s : tnr_md::runnableKernelSets()) {
    const bool isC = s.k == &tnr_md::kKernelsC;
#if TNR_MD_HAVE_X86
    if (s.k == &tnr_md::TNR_MD_X86_SET::kKernelsX86) {
      forms.push_back({"x86", s.k});
      continue;
    }
#endif
#if TNR_MD_HAVE_NEON
    if (s.k == &tnr_md::kKernelsNeon) {
      forms.push_back({"neon", s.k});
      continue;
    }
#endif
    forms.push_back({isC ? "c" : s.name, s.k});
  }
  auto reg = [](const std::string &name, auto fn) {
    benchmark::RegisterBenchmark(name.c_str(), fn)->Unit(benchmark::kMillisecond);
  };
  for (const Form &f : forms) {
    const Kernels *k = f.k;
    const std::string tag = std::string("/") + f.name + size;
    reg("frameDiff" + tag, [=](benchmark::State &st) {
      pureStage(st, w, h, [k](Setup &s) {
        tnr_md::frameDiffWith(*k, s.scene.cur.data(), s.scene.pre.data(), s.ldiff(), s.hdiff(),
                              s.sigma(), s.h(), s.w(), s.h(), s.w(), s.g.lDiffStride,
                              s.g.sigmaStride, tnr_md_bench::kUvRatio);
      });
    });
    reg("gauss3x3_ldiff" + tag, [=](benchmark::State &st) {
      pureStage(st, w, h, [k](Setup &s) {
        k->gauss3x3(s.ldiff() + s.g.lDiffStride + 1, s.filterLdiff(), s.g.blockRows, s.g.blockCols,
                    s.g.lDiffStride);
      });
    });
    reg("gauss3x3_hdiff" + tag, [=](benchmark::State &st) {
      pureStage(st, w, h, [k](Setup &s) {
        k->gauss3x3(s.hdiff() + s.g.hDiffStride + 1, s.filterHdiff(), s.h(), s.w(),
                    s.g.hDiffStride);
      });
    });
    reg("sigmaLut" + tag, [=](benchmark::State &st) {
      pureStage(st, w, h, [k](Setup &s) {
        k->sigmaLut(s.sigma() + 4 * s.g.sigmaStride + 4, s.sigmaScratch.data(),
                    {s.sigmaL(), s.sigmaH()},
                    {tnr_md_bench::kSigmaHScale, tnr_md_bench::kSigmaLScale}, s.g.blockRows,
                    s.g.blockCols, s.g.sigmaStride);
      });
    });
    // The two low-resolution stages of upScale on their own: the block alpha
    // into a plane of pitch blockCols, then the row buffer of every
    // processing row; then upScale whole (block alpha, row buffer, per-pixel
    // pass).
    reg("blockAlpha" + tag, [=](benchmark::State &st) {
      pureStage(st, w, h, [k](Setup &s) {
        k->blockAlpha(s.filterLdiff(), s.g.lDiffStride, s.sigmaL(), s.g.sigmaStride, s.alpha.data(),
                      s.g.blockRows, s.g.blockCols);
      });
    });
    reg("rowBuffer" + tag, [=](benchmark::State &st) {
      pureStage(st, w, h, [k](Setup &s) {
        k->rowBuffer(s.alpha.data(), s.rowBuf.data(), 0, s.h(), s.g.blockRows, s.g.blockCols);
      });
    });
    reg("upScale" + tag, [=](benchmark::State &st) {
      inPlaceStage(st, w, h, [k](Setup &s) {
        tnr_md::upScaleWith(
            *k, s.cur.data(), s.scene.pre.data(), s.filterLdiff(), s.filterHdiff(), s.rowBuf.data(),
            s.alpha.data(), s.preAlpha.data(), s.gain.data(), s.h(), s.w(), s.h(), s.w(), s.w(),
            static_cast<uint8_t>(tnr_md_bench::kStaticRatioRBit), s.sigmaL(), s.sigmaH());
      });
    });
    const auto motionDetect = [k](Setup &s) {
      tnr_md::motionDetectWith(*k, s.cur.data(), s.scene.pre.data(), s.mdTmp.data(), s.alpha.data(),
                               s.preAlpha.data(), s.gain.data(), s.h(), s.w(), s.h(), s.w(), s.w(),
                               tnr_md_bench::kSigmaHScale, tnr_md_bench::kSigmaLScale,
                               tnr_md_bench::kUvRatio, tnr_md_bench::kLightClip,
                               tnr_md_bench::kStaticRatioRBit);
    };
    reg("motion_detect" + tag, [=](benchmark::State &st) { inPlaceStage(st, w, h, motionDetect); });
    // The same call on a scene where everything moves (the costliest case).
    reg("motion_detect_moving" + tag,
        [=](benchmark::State &st) { inPlaceStage(st, w, h, motionDetect, true); });
  }
  // The spatial stage after motion_detect, per form, on the settled scene,
  // on the scene after one call and on the scene where everything moves.
  for (const Form &f : forms)
    for (int settle : {12, 1, 0}) {
      const auto rows = f.k->spatial;
      const std::string name = settle == 1   ? "spatial_denoise_fresh"
                               : settle == 0 ? "spatial_denoise_moving"
                                             : "spatial_denoise";
      reg(name + "/" + f.name + size, [=](benchmark::State &st) {
        SpatialSetup &s = spatialSetupFor(w, h, settle);
        const tnr_md::SpatialFrame fr = s.frame();
        for (auto _ : st) {
          rows(fr, 0, h, 0, h / 2);
          benchmark::ClobberMemory();
        }
        st.SetItemsProcessed(static_cast<int64_t>(st.iterations()) *
                             static_cast<int64_t>(s.scene.pixels()));
      });
    }
  // Border extension has one form; the three calls of one motion_detect.
  reg("extendImgBorder_x3" + size, [=](benchmark::State &st) {
    pureStage(st, w, h, [](Setup &s) {
      tnr_md::extendImgBorder_c(s.ldiff(), s.g.lDiffStride, s.g.blockRows + 2, 1, 1);
      tnr_md::extendImgBorder_c(s.hdiff(), s.g.hDiffStride, s.h() + 2, 1, 1);
      tnr_md::extendImgBorder_c(s.sigma(), s.g.sigmaStride, s.g.blockRows + 8, 4, 4);
    });
  });
  // The skeleton rows: each chains its own copies of the scene's in-place
  // buffers from call to call. fn(cur, alpha, preAlpha, gain).
  const auto regSkeleton = [&](const std::string &name, auto fn) {
    reg(name + size, [=](benchmark::State &st) {
      Setup &s = setupFor(w, h);
      tnr_md_bench::Buf<uint8_t> cur = s.scene.cur, alpha(s.scene.pixels()),
                                 preAlpha = s.scene.preAlpha, gain = s.scene.gain;
      for (auto _ : st) {
        fn(s, cur.data(), alpha.data(), preAlpha.data(), gain.data());
        benchmark::ClobberMemory();
      }
      finish(st, s);
    });
  };
  for (bool ring : {true, false}) {
    auto rows =
        std::make_shared<tnr_md_bench::Buf<uint16_t>>(static_cast<size_t>(ringSlots(h)) * w);
    auto band = std::make_shared<tnr_md_bench::Buf<uint16_t>>(
        static_cast<size_t>(2 * tnr_md::kBandRows + 3) * w);
    regSkeleton(ring ? "skeleton_in_order" : "skeleton_in_order_no_ring",
                [=](Setup &s, uint8_t *cur, uint8_t *alpha, uint8_t *preAlpha, uint8_t *gain) {
                  (ring ? skeletonInOrder<true>
                        : skeletonInOrder<false>)(cur, s.scene.pre.data(), alpha, preAlpha, gain, w,
                                                  h, rows->data(), band->data());
                });
  }
  regSkeleton("skeleton",
              [=](Setup &s, uint8_t *cur, uint8_t *alpha, uint8_t *preAlpha, uint8_t *gain) {
                skeleton(cur, s.scene.pre.data(), alpha, preAlpha, gain, w, h);
              });
}

// motion_detect on real footage, per form: the file's calls in a chain.
void registerReal(const std::string &dir, const char *file, int w, int h) {
  static std::map<std::string, std::unique_ptr<tnr_md_bench::RealFrames>> cache;
  auto &frames = cache[file];
  frames = std::make_unique<tnr_md_bench::RealFrames>(
      tnr_md_bench::readRealFrames(dir + "/" + file, w, h));
  if (frames->count < 2) {
    std::fprintf(stderr, "no frames in %s/%s (scripts/real_frames.sh makes them): its rows are "
                 "left out\n", dir.c_str(), file);
    return;
  }
  const tnr_md_bench::RealFrames *f = frames.get();
  const std::string size = "/" + std::to_string(w) + "x" + std::to_string(h);
  for (const tnr_md::KernelSet &set : tnr_md::runnableKernelSets()) {
    std::string name = set.k == &tnr_md::kKernelsC ? "c" : set.name;
#if TNR_MD_HAVE_X86
    if (set.k == &tnr_md::TNR_MD_X86_SET::kKernelsX86) name = "x86";
#endif
#if TNR_MD_HAVE_NEON
    if (set.k == &tnr_md::kKernelsNeon) name = "neon";
#endif
    const Kernels *k = set.k;
    benchmark::RegisterBenchmark(("motion_detect_real/" + name + size).c_str(),
                                 [=](benchmark::State &st) {
                                   tnr_md_bench::RealChain chain(*f);
                                   tnr_md_bench::Buf<int16_t> tmp(motionDetectTmpBufSize(h, w));
                                   for (auto _ : st) {
                                     st.PauseTiming();
                                     if (chain.next == chain.calls()) chain.reset();
                                     chain.stage();
                                     st.ResumeTiming();
                                     tnr_md::motionDetectWith(
                                         *k, chain.cur.data(), chain.pre.data(), tmp.data(),
                                         chain.alpha.data(), chain.preAlpha.data(),
                                         chain.gain.data(), h, w, h, w, w,
                                         tnr_md_bench::kDefaultSigmaHScale,
                                         tnr_md_bench::kDefaultSigmaLScale,
                                         tnr_md_bench::kDefaultUvRatio, 0.0f,
                                         tnr_md_bench::kDefaultStaticRatioRBit);
                                     benchmark::ClobberMemory();
                                     st.PauseTiming();
                                     chain.advance();
                                     st.ResumeTiming();
                                   }
                                   st.SetItemsProcessed(static_cast<int64_t>(st.iterations()) *
                                                        w * h);
                                 })
        ->Unit(benchmark::kMillisecond);
  }
}

// motion_detect_parallel with the build's kernels on the ready thread pool,
// the pool's task count (4 per thread), timed by the wall clock (the calling
// thread works, the pool's workers too). The everything-moving scene as well.
void registerParallel(int w, int h) {
  const std::string size = "/" + std::to_string(w) + "x" + std::to_string(h);
  for (int threads : {1, 2})
    for (bool moving : {false, true}) {
      const std::string name = std::string(moving ? "parallel_moving/" : "parallel/") +
                               std::to_string(threads) + "t" + size;
      benchmark::RegisterBenchmark(name.c_str(), [=](benchmark::State &st) {
        TnrMdThreadPool *pool = tnrMdThreadPoolCreate(threads);
        const TnrMdExecutor ex = tnrMdThreadPoolExecutor(pool);
        const int tasks = tnrMdThreadPoolTasks(pool);
        tnr_md_bench::Buf<int16_t> tmp(motionDetectParallelTmpBufSize(h, w, tasks));
        inPlaceStage(
            st, w, h,
            [&](Setup &s) {
              motion_detect_parallel(&ex, tasks, s.cur.data(), s.scene.pre.data(), tmp.data(),
                                     s.alpha.data(), s.preAlpha.data(), s.gain.data(), s.h(),
                                     s.w(), s.h(), s.w(), s.w(), tnr_md_bench::kSigmaHScale,
                                     tnr_md_bench::kSigmaLScale, tnr_md_bench::kUvRatio,
                                     tnr_md_bench::kLightClip, tnr_md_bench::kStaticRatioRBit);
            },
            moving);
        tnrMdThreadPoolDestroy(pool);
      })->Unit(benchmark::kMillisecond)->UseRealTime();
    }
  // The skeleton's bytes moved by the same pool, each task a range of rows of
  // every plane: how far the machine's memory lets two threads go, the
  // bound of a stage that streams.
  for (int threads : {1, 2}) {
    const std::string name = "parallel_skeleton/" + std::to_string(threads) + "t" + size;
    benchmark::RegisterBenchmark(name.c_str(), [=](benchmark::State &st) {
      TnrMdThreadPool *pool = tnrMdThreadPoolCreate(threads);
      const TnrMdExecutor ex = tnrMdThreadPoolExecutor(pool);
      struct Arg {
        Setup *s;
        uint8_t *alpha;
        int tasks;
      };
      Setup &s = setupFor(w, h);
      tnr_md_bench::Buf<uint8_t> alpha(s.scene.pixels());
      Arg arg{&s, alpha.data(), tnrMdThreadPoolTasks(pool)};
      const TnrMdTask task = [](void *a, int t) {
        const Arg &g = *static_cast<const Arg *>(a);
        const int w = g.s->w(), h = g.s->h();
        // Even row ranges, so that the chroma rows split with their luma.
        const int r0 = 2 * (h / 2 * t / g.tasks), r1 = 2 * (h / 2 * (t + 1) / g.tasks);
        const size_t luma = static_cast<size_t>(w) * h, o = static_cast<size_t>(w) * r0;
        const size_t n = static_cast<size_t>(w) * (r1 - r0);
        uint8_t *cur = g.s->cur.data();
        const uint8_t *pre = g.s->scene.pre.data();
        skeletonFrames(cur + o, pre + o, n);
        skeletonFrames(cur + luma + o / 2, pre + luma + o / 2, n / 2);
        skeletonMaps(g.alpha + o, g.s->preAlpha.data() + o, g.s->gain.data() + o, n);
      };
      for (auto _ : st) {
        ex.run(ex.context, task, &arg, arg.tasks);
        benchmark::ClobberMemory();
      }
      tnrMdThreadPoolDestroy(pool);
      finish(st, s);
    })->Unit(benchmark::kMillisecond)->UseRealTime();
  }
}

// Keeps the median of every repeated benchmark (CPU time, milliseconds) and
// otherwise reports like the console reporter.
class MedianReporter : public benchmark::ConsoleReporter {
 public:
  std::map<std::string, double> medianMs;
  void ReportRuns(const std::vector<Run> &runs) override {
    for (const Run &r : runs)
      if (r.run_type == Run::RT_Aggregate && r.aggregate_name == "median")
        medianMs[r.run_name.function_name] =
            r.run_name.function_name.rfind("parallel", 0) == 0 ? r.GetAdjustedRealTime()
                                                                : r.GetAdjustedCPUTime();
    ConsoleReporter::ReportRuns(runs);
  }
};

void printSummary(const std::map<std::string, double> &ms) {
  if (ms.empty()) {
    std::printf("\n(no medians: run with --benchmark_repetitions >= 2 for the summary)\n");
    return;
  }
  const char *sizes[] = {"1920x1080", "768x576", "3840x2160"};
  const double pixels[] = {1920.0 * 1080, 768.0 * 576, 3840.0 * 2160};
  const char *stages[] = {"motion_detect_real",
                          "calDiffAndDownScale8x8",
                          "gauss3x3Filter_ldiff",
                          "gauss3x3Filter_hdiff",
                          "sigmaFilterLut",
                          "upScaleBlockAlpha",
                          "upScaleRowBuffer",
                          "upScale",
                          "motion_detect",
                          "motion_detect_moving",
                          "spatial_denoise",
                          "spatial_denoise_fresh",
                          "spatial_denoise_moving"};
  auto get = [&](const std::string &n) {
    auto it = ms.find(n);
    return it == ms.end() ? -1.0 : it->second;
  };
  std::printf("\nMedians (ms per frame, Mpixel/s), vector speed-up over per-sample:\n");
  std::printf("%-24s %-10s %10s %10s %10s %10s %8s %10s %8s\n", "stage", "size", "c ms", "neon ms",
              "c Mpix/s", "neon Mpix/s", "speedup", "x86 ms", "x86 x");
  for (int si = 0; si < 3; ++si) {
    for (const char *st : stages) {
      const double c = get(std::string(st) + "/c/" + sizes[si]);
      const double v = get(std::string(st) + "/neon/" + sizes[si]);
      const double x = get(std::string(st) + "/x86/" + sizes[si]);
      if (c < 0) continue;
      const double mp = pixels[si] / 1e6;
      if (v > 0)
        std::printf("%-24s %-10s %10.3f %10.3f %10.1f %10.1f %7.2fx", st, sizes[si], c, v,
                    mp / (c * 1e-3), mp / (v * 1e-3), c / v);
      else
        std::printf("%-24s %-10s %10.3f %10s %10.1f %10s %8s", st, sizes[si], c, "-",
                    mp / (c * 1e-3), "-", "-");
      if (x > 0)
        std::printf(" %10.3f %7.2fx\n", x, c / x);
      else
        std::printf("\n");
    }
    const double e = get(std::string("extendImgBorder_x3/") + sizes[si]);
    if (e > 0)
      std::printf("%-24s %-10s %10.3f %10s %10.1f\n", "extendImgBorder_x3", sizes[si], e, "-",
                  pixels[si] / 1e6 / (e * 1e-3));
    const double sk = get(std::string("skeleton/") + sizes[si]);
    if (sk > 0) {
      const double bytes = pixels[si] * 9.5;
      std::printf("%-24s %-10s %10.3f %10s %10.1f   (%.1f MB moved, %.1f GB/s)\n", "skeleton",
                  sizes[si], sk, "-", pixels[si] / 1e6 / (sk * 1e-3), bytes / 1e6,
                  bytes / (sk * 1e-3) / 1e9);
      for (const char *call : {"motion_detect_real", "motion_detect", "motion_detect_moving"})
        for (const char *form : {"c", "neon", "x86"}) {
          const double m = get(std::string(call) + "/" + form + "/" + sizes[si]);
          if (m > 0) std::printf("  %s/%s / skeleton at %s: %.2f\n", call, form, sizes[si], m / sk);
        }
      // The call's order with no arithmetic, against the skeleton, and the
      // leading row against it: how much of the ratio above is the order's.
      const double real = get(std::string("motion_detect_real/x86/") + sizes[si]);
      for (const char *order : {"skeleton_in_order", "skeleton_in_order_no_ring"}) {
        const double o = get(std::string(order) + "/" + sizes[si]);
        if (o <= 0) continue;
        std::printf("  %s / skeleton at %s: %.2f", order, sizes[si], o / sk);
        if (real > 0) std::printf("; motion_detect_real/x86 / %s: %.2f", order, real / o);
        std::printf("\n");
      }
    }
    for (const char *scene : {"parallel", "parallel_moving", "parallel_skeleton"}) {
      const double one = get(std::string(scene) + "/1t/" + sizes[si]);
      const double two = get(std::string(scene) + "/2t/" + sizes[si]);
      if (one > 0 && two > 0)
        std::printf("%-24s %-10s %10.3f %10.3f   (wall ms, 1 and 2 threads: %.2fx)\n", scene,
                    sizes[si], one, two, one / two);
    }
  }
}

}  // namespace

int main(int argc, char **argv) {
  std::vector<char *> args(argv, argv + argc);
  bool hasReps = false;
  for (int i = 1; i < argc; ++i)
    if (std::strncmp(argv[i], "--benchmark_repetitions", 23) == 0) hasReps = true;
  static char reps[] = "--benchmark_repetitions=5";
  static char aggOnly[] = "--benchmark_display_aggregates_only=true";
  if (!hasReps) {
    args.push_back(reps);
    args.push_back(aggOnly);
  }
  std::string realDir = "build/real-frames";
  for (auto it = args.begin() + 1; it != args.end();)
    if (std::strncmp(*it, "--real_frames=", 14) == 0) {
      realDir = *it + 14;
      it = args.erase(it);
    } else {
      ++it;
    }
  int n = static_cast<int>(args.size());
  args.push_back(nullptr);

  registerReal(realDir, "vtest-1920x1080.nv12", 1920, 1080);
  registerReal(realDir, "vtest-768x576.nv12", 768, 576);
  registerSize(1920, 1080);
  registerSize(3840, 2160);
  registerParallel(1920, 1080);
  registerParallel(3840, 2160);
  benchmark::Initialize(&n, args.data());
  if (benchmark::ReportUnrecognizedArguments(n, args.data())) return 1;
  MedianReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  printSummary(reporter.medianMs);
  return 0;
}
