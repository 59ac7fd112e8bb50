#include "denoiser.h"

#include <new>
#include <string>

namespace tnr {

TnrParams::TnrParams() {
  TnrMdParams p;
  tnrMdParamsDefault(&p);
  sigmaH = p.sigma_h_scale;
  sigmaL = p.sigma_l_scale;
  uvRatio = p.uv_ratio;
  staticRatioBit = p.static_ratio_bit;
  startGain = p.start_gain;
  spatial = p.spatial;
  align = p.align != 0;
}

bool TnrParams::setPreset(const std::string &name) {
  int preset = 0;
  if (tnrMdPresetByName(name.c_str(), &preset, nullptr) != TNR_MD_OK) return false;
  TnrMdParams p = library();
  tnrMdParamsPreset(&p, preset);
  sigmaH = p.sigma_h_scale;
  sigmaL = p.sigma_l_scale;
  uvRatio = p.uv_ratio;
  spatial = p.spatial;
  return true;
}

TnrMdParams TnrParams::library() const {
  TnrMdParams p;
  tnrMdParamsDefault(&p);
  p.sigma_h_scale = sigmaH;
  p.sigma_l_scale = sigmaL;
  p.uv_ratio = uvRatio;
  p.static_ratio_bit = staticRatioBit;
  p.start_gain = startGain;
  p.spatial = spatial;
  p.grid_width = gridWidth;
  p.grid_height = gridHeight;
  p.align = align ? 1 : 0;
  return p;
}

std::string presetNames() {
  std::string names;
  for (int i = 0; i < TNR_MD_PRESET_COUNT; ++i)
    names += std::string(i ? ", " : "") + tnrMdPresetName(i);
  return names;
}

Denoiser::Denoiser(int width, int height, const TnrParams &params)
    : width_(width), height_(height) {
  // A pool that cannot start runs the frames on this thread.
  pool_.reset(tnrMdThreadPoolCreate(params.threads));
  executor_ = tnrMdThreadPoolExecutor(pool_.get());
  const TnrMdParams p = params.library();
  TnrMdStream *s = nullptr;
  TnrMdError error{};
  const int rc = tnrMdStreamCreate(&s, width, height, &p, &executor_,
                                   tnrMdThreadPoolTasks(pool_.get()), &error);
  if (rc == TNR_MD_ERROR_MEMORY) throw std::bad_alloc();
  if (rc != TNR_MD_OK) throw ToolError(error.message);
  stream_.reset(s);
}

void Denoiser::process(uint8_t *frame) {
  const TnrMdImage image = {frame, width_, frame + static_cast<size_t>(width_) * height_, width_,
                            nv12Bytes(width_, height_)};
  TnrMdError error{};
  const int rc = tnrMdStreamProcess(stream_.get(), &image, nullptr, &error);
  if (rc == TNR_MD_ERROR_MEMORY) throw std::bad_alloc();
  if (rc != TNR_MD_OK) throw ToolError(error.message);
}

TnrMdMaps Denoiser::maps() const {
  TnrMdMaps m;
  tnrMdStreamMaps(stream_.get(), &m);
  return m;
}

TnrMdFrameStats Denoiser::stats() const {
  TnrMdFrameStats s;
  tnrMdStreamStats(stream_.get(), &s);
  return s;
}

}  // namespace tnr
