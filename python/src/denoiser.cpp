#include "denoiser.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

namespace tnr_py {

namespace {

// The library's messages name the C fields; the module's keywords are shorter.
std::string moduleNames(std::string message) {
  for (const auto &[c, py] : {std::pair<const char *, const char *>{"sigma_h_scale", "sigma_h"},
                              {"sigma_l_scale", "sigma_l"}})
    if (message.compare(0, std::strlen(c), c) == 0) message.replace(0, std::strlen(c), py);
  return message;
}

// The shortest decimal that reads back as f, as a double: the library's 1.1f
// reads as 1.1 in Python, not as 1.100000023841858.
double decimal(float f) {
  char buf[32];
  for (int digits = 1; digits < 10; ++digits) {
    std::snprintf(buf, sizeof buf, "%.*g", digits, static_cast<double>(f));
    if (std::strtof(buf, nullptr) == f) break;
  }
  return std::strtod(buf, nullptr);
}

void throwFor(int rc, const TnrMdError &e) {
  if (rc == TNR_MD_OK) return;
  if (rc == TNR_MD_ERROR_MEMORY) throw std::bad_alloc();
  throw std::invalid_argument(moduleNames(e.message));
}

}  // namespace

Params::Params() {
  TnrMdParams p;
  tnrMdParamsDefault(&p);
  sigmaH = decimal(p.sigma_h_scale);
  sigmaL = decimal(p.sigma_l_scale);
  uvRatio = decimal(p.uv_ratio);
  staticRatioBit = p.static_ratio_bit;
  startGain = p.start_gain;
  spatial = decimal(p.spatial);
  align = p.align != 0;
}

void Params::setPreset(const std::string &name) {
  // A Python str may hold NUL characters, which would end the C string: they
  // are spelled out, so that such a name matches no preset.
  std::string text;
  for (const char c : name) text += c ? std::string(1, c) : std::string("\\x00");
  int preset = 0;
  TnrMdError e{};
  throwFor(tnrMdPresetByName(text.c_str(), &preset, &e), e);
  TnrMdParams p = library();
  tnrMdParamsPreset(&p, preset);
  sigmaH = decimal(p.sigma_h_scale);
  sigmaL = decimal(p.sigma_l_scale);
  uvRatio = decimal(p.uv_ratio);
  spatial = decimal(p.spatial);
}

TnrMdParams Params::library(int gridWidth, int gridHeight) const {
  TnrMdParams p;
  tnrMdParamsDefault(&p);
  p.sigma_h_scale = static_cast<float>(sigmaH);
  p.sigma_l_scale = static_cast<float>(sigmaL);
  p.uv_ratio = static_cast<float>(uvRatio);
  p.static_ratio_bit = staticRatioBit;
  p.start_gain = startGain;
  p.spatial = static_cast<float>(spatial);
  p.grid_width = gridWidth;
  p.grid_height = gridHeight;
  p.align = align ? 1 : 0;
  return p;
}

void checkParams(const Params &p) {
  const TnrMdParams q = p.library();
  TnrMdError e{};
  throwFor(tnrMdParamsCheck(&q, &e), e);
}

// Integers beyond int are out of every range; they keep their own value in
// the message.
namespace {
void checkInt(long long v, int Params::*field, const char *name) {
  if (v < INT32_MIN || v > INT32_MAX)
    throw std::invalid_argument(std::string(name) + " must lie in 0 .. 255, got " +
                                std::to_string(v));
  Params p;
  p.*field = static_cast<int>(v);
  checkParams(p);
}
void checkReal(double v, double Params::*field) {
  Params p;
  p.*field = v;
  checkParams(p);
}
}  // namespace

void checkSigmaH(double v) { checkReal(v, &Params::sigmaH); }
void checkSigmaL(double v) { checkReal(v, &Params::sigmaL); }
void checkUvRatio(double v) { checkReal(v, &Params::uvRatio); }
void checkSpatial(double v) { checkReal(v, &Params::spatial); }
void checkStaticRatioBit(long long v) {
  checkInt(v, &Params::staticRatioBit, "static_ratio_bit");
}
void checkStartGain(long long v) { checkInt(v, &Params::startGain, "start_gain"); }

Denoiser::Denoiser(int width, int height, int gridWidth, int gridHeight, const Params &params)
    : width_(width),
      height_(height),
      gridW_(gridWidth > 0 ? gridWidth : width),
      gridH_(gridHeight > 0 ? gridHeight : height),
      params_(params) {
  if (gridWidth < 0 || gridHeight < 0)
    throw std::invalid_argument("grid " + std::to_string(gridWidth) + "x" +
                                std::to_string(gridHeight) + " does not fit the " +
                                std::to_string(width) + "x" + std::to_string(height) + " frame");
  const TnrMdParams p = params.library(gridWidth, gridHeight);
  TnrMdError e{};
  throwFor(tnrMdStreamCreate(&stream_, width, height, &p, nullptr, 1, &e), e);
}

Denoiser::~Denoiser() { tnrMdStreamDestroy(stream_); }

void Denoiser::pushParams() {
  const TnrMdParams p = params().library(gridW_, gridH_);
  TnrMdError e{};
  throwFor(tnrMdStreamSetParams(stream_, &p, &e), e);
}

void Denoiser::reset() {
  std::lock_guard<std::mutex> lock(mutex_);
  pushParams();  // the start gain set meanwhile
  tnrMdStreamReset(stream_);
  frames_ = 0;
}

void Denoiser::process(uint8_t *luma, ptrdiff_t lumaPitch, uint8_t *chroma, ptrdiff_t chromaPitch,
                       size_t span) {
  std::lock_guard<std::mutex> lock(mutex_);
  pushParams();
  const TnrMdImage image = {luma, lumaPitch, chroma, chromaPitch, span};
  TnrMdError e{};
  throwFor(tnrMdStreamProcess(stream_, &image, nullptr, &e), e);
  ++frames_;
}

Params Denoiser::params() {
  std::lock_guard<std::mutex> lock(paramsMutex_);
  return params_;
}

void Denoiser::setParams(const Params &p) {
  std::lock_guard<std::mutex> lock(paramsMutex_);
  params_ = p;
}

std::vector<uint8_t> Denoiser::map(const uint8_t *TnrMdMaps::*which) {
  std::lock_guard<std::mutex> lock(mutex_);
  TnrMdMaps m;
  tnrMdStreamMaps(stream_, &m);
  const uint8_t *p = m.*which;
  return std::vector<uint8_t>(p, p + static_cast<size_t>(m.stride) * m.height);
}

std::vector<uint8_t> Denoiser::staticRatio() { return map(&TnrMdMaps::static_ratio); }
std::vector<uint8_t> Denoiser::weight() { return map(&TnrMdMaps::weight); }
std::vector<uint8_t> Denoiser::gain() { return map(&TnrMdMaps::gain); }

TnrMdFrameStats Denoiser::stats() {
  std::lock_guard<std::mutex> lock(mutex_);
  TnrMdFrameStats s;
  tnrMdStreamStats(stream_, &s);
  return s;
}

}  // namespace tnr_py
