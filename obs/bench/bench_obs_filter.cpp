// The OBS filter's cost per frame through its own frame path
// (tnrObsFilterVideo, what filter_video calls) with the settings the module
// ships, on real footage: vtest.avi from Debian's opencv-doc scaled to
// 1920x1080, Gaussian noise of sigma 8 on every byte. Reports wall and
// process CPU milliseconds per frame and the share of one core the filter
// takes at 30 frames a second (CPU ms / 33.3). Not a test: run it by hand,
//
//   build/obs/obs/bench/obs_filter_bench --benchmark_repetitions=5
//       --benchmark_report_aggregates_only=true   (one line)
//
// Rows: NV12 (filtered where it lies), I420, I422 and YUY2 (through the NV12
// copy), each on the calling thread (threads 1, the default) and NV12 on the
// pool too (threads 0: one per core); and the stream called directly on the
// same NV12 frames, the floor the plugin adds its conversions to.
#include <obs.h>

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <string>
#include <vector>

#include "tnr_md_stream.h"
#include "tnr_obs_filter.h"

namespace {

constexpr int kW = 1920, kH = 1080, kFrames = 16;

struct Clip {
  std::vector<std::vector<uint8_t>> nv12, yuyv;
  std::string why;
};

const Clip &clip() {
  static Clip c = [] {
    Clip r;
    const std::string out = std::string(TNR_OBS_FOOTAGE_CACHE) + "/bench_1920x1080";
    std::ifstream probe(out + ".noisy.nv12", std::ios::binary | std::ios::ate);
    if (!probe || probe.tellg() < std::streamoff(size_t(kW) * kH * 3 / 2 * kFrames)) {
      const std::string cmd = "/usr/bin/python3 '" + std::string(TNR_OBS_FOOTAGE_SCRIPT) + "' '" +
                              TNR_OBS_FOOTAGE_CACHE + "' '" + out + "' " + std::to_string(kW) + " " +
                              std::to_string(kH) + " " + std::to_string(kFrames) + " 8 1";
      if (std::system(cmd.c_str()) != 0) r.why = "footage.py failed";
    }
    auto read = [&](const char *ext, size_t bytes, std::vector<std::vector<uint8_t>> &to) {
      std::ifstream in(out + ext, std::ios::binary);
      std::vector<uint8_t> b(bytes);
      while (in.read(reinterpret_cast<char *>(b.data()), std::streamsize(bytes))) to.push_back(b);
    };
    read(".noisy.nv12", size_t(kW) * kH * 3 / 2, r.nv12);
    read(".noisy.yuyv", size_t(kW) * kH * 2, r.yuyv);
    if (r.nv12.size() < size_t(kFrames) || r.yuyv.size() < size_t(kFrames))
      r.why = "no 1920x1080 footage (vtest.avi from opencv-doc could not be fetched?)";
    return r;
  }();
  return c;
}

double processCpuMs() {
  timespec t;
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return t.tv_sec * 1e3 + t.tv_nsec / 1e6;
}

// One frame buffer laid out as libobs lays out the frames it hands filters
// (one block, rows unpadded); refilled from the clip before each call, the
// refill not timed.
struct ObsFrame {
  std::vector<uint8_t> mem;
  obs_source_frame f{};
  explicit ObsFrame(video_format fmt) {
    f.format = fmt;
    f.width = kW;
    f.height = kH;
    mem.resize(size_t(kW) * kH * 2);
    f.data[0] = mem.data();
    if (fmt == VIDEO_FORMAT_YUY2) {
      f.linesize[0] = 2 * kW;
    } else if (fmt == VIDEO_FORMAT_I422) {
      f.linesize[0] = kW;
      f.linesize[1] = f.linesize[2] = kW / 2;
      f.data[1] = mem.data() + size_t(kW) * kH;
      f.data[2] = f.data[1] + size_t(kW) * kH / 2;
    } else if (fmt == VIDEO_FORMAT_NV12) {
      f.linesize[0] = f.linesize[1] = kW;
      f.data[1] = mem.data() + size_t(kW) * kH;
    } else {  // I420
      f.linesize[0] = kW;
      f.linesize[1] = f.linesize[2] = kW / 2;
      f.data[1] = mem.data() + size_t(kW) * kH;
      f.data[2] = f.data[1] + size_t(kW) * kH / 4;
    }
  }
  void fill(int t) {
    const bool is422 = f.format == VIDEO_FORMAT_YUY2 || f.format == VIDEO_FORMAT_I422;
    const std::vector<uint8_t> &src = is422 ? clip().yuyv[size_t(t)] : clip().nv12[size_t(t)];
    if (f.format == VIDEO_FORMAT_I422) {  // from the YUY2 bytes
      for (size_t i = 0; i < size_t(kW) * kH / 2; ++i) {
        f.data[0][2 * i] = src[4 * i];
        f.data[1][i] = src[4 * i + 1];
        f.data[0][2 * i + 1] = src[4 * i + 2];
        f.data[2][i] = src[4 * i + 3];
      }
      return;
    }
    if (f.format != VIDEO_FORMAT_I420) {
      std::memcpy(mem.data(), src.data(), src.size());
      return;
    }
    std::memcpy(f.data[0], src.data(), size_t(kW) * kH);
    const uint8_t *c = src.data() + size_t(kW) * kH;
    for (size_t i = 0; i < size_t(kW) * kH / 4; ++i) {
      f.data[1][i] = c[2 * i];
      f.data[2][i] = c[2 * i + 1];
    }
  }
};

void report(benchmark::State &state, double cpuMs, double wallMs, int64_t frames) {
  state.counters["wall_ms"] = wallMs / double(frames);
  state.counters["cpu_ms"] = cpuMs / double(frames);
  state.counters["core_at_30fps"] = cpuMs / double(frames) / (1000.0 / 30.0);
}

void BM_Filter(benchmark::State &state, video_format fmt, int threads) {
  if (!clip().why.empty()) {
    state.SkipWithError(clip().why.c_str());
    return;
  }
  TnrObsSettings s;
  tnrObsSettingsDefault(&s);
  s.threads = threads;
  TnrObsFilter *filter = tnrObsFilterCreate(&s, nullptr, nullptr);
  ObsFrame fr(fmt);
  double cpu = 0, wall = 0;
  int64_t n = 0;
  uint64_t ts = 0;
  // The first frame creates the stream (and the pool): not a frame's cost.
  fr.fill(kFrames - 1);
  tnrObsFilterVideo(filter, &fr.f);
  for (auto _ : state) {
    state.PauseTiming();
    fr.fill(int(n % kFrames));
    fr.f.timestamp = ts += 33333333;
    state.ResumeTiming();
    const double c0 = processCpuMs();
    const auto w0 = std::chrono::steady_clock::now();
    benchmark::DoNotOptimize(tnrObsFilterVideo(filter, &fr.f));
    wall += std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - w0).count();
    cpu += processCpuMs() - c0;
    ++n;
  }
  report(state, cpu, wall, n);
  tnrObsFilterDestroy(filter);
}

void BM_StreamDirect(benchmark::State &state) {
  if (!clip().why.empty()) {
    state.SkipWithError(clip().why.c_str());
    return;
  }
  TnrMdParams p;
  tnrMdParamsDefault(&p);
  TnrMdStream *s = nullptr;
  tnrMdStreamCreate(&s, kW, kH, &p, nullptr, 0, nullptr);
  std::vector<uint8_t> buf(clip().nv12[kFrames - 1]);
  TnrMdImage first = {buf.data(), kW, buf.data() + size_t(kW) * kH, kW, buf.size()};
  tnrMdStreamProcess(s, &first, nullptr, nullptr);  // as the filter's first frame
  double cpu = 0, wall = 0;
  int64_t n = 0;
  for (auto _ : state) {
    state.PauseTiming();
    std::memcpy(buf.data(), clip().nv12[size_t(n % kFrames)].data(), buf.size());
    state.ResumeTiming();
    TnrMdImage img = {buf.data(), kW, buf.data() + size_t(kW) * kH, kW, buf.size()};
    const double c0 = processCpuMs();
    const auto w0 = std::chrono::steady_clock::now();
    tnrMdStreamProcess(s, &img, nullptr, nullptr);
    wall += std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - w0).count();
    cpu += processCpuMs() - c0;
    ++n;
  }
  report(state, cpu, wall, n);
  tnrMdStreamDestroy(s);
}

BENCHMARK_CAPTURE(BM_Filter, nv12_threads1, VIDEO_FORMAT_NV12, 1)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);
BENCHMARK_CAPTURE(BM_Filter, nv12_threads0, VIDEO_FORMAT_NV12, 0)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);
BENCHMARK_CAPTURE(BM_Filter, i420_threads1, VIDEO_FORMAT_I420, 1)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);
BENCHMARK_CAPTURE(BM_Filter, i422_threads1, VIDEO_FORMAT_I422, 1)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);
BENCHMARK_CAPTURE(BM_Filter, yuy2_threads1, VIDEO_FORMAT_YUY2, 1)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);
BENCHMARK(BM_StreamDirect)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);

}  // namespace

BENCHMARK_MAIN();
