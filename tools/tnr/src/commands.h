// The tool's subcommands; main() parses the command line into these options.
#ifndef TNR_TOOL_COMMANDS_H
#define TNR_TOOL_COMMANDS_H

#include <string>
#include <vector>

#include "denoiser.h"

namespace tnr {

struct DenoiseOptions {
  std::string input;
  std::string output;
  std::string size;  // raw NV12 input: WxH
  std::string grid;  // processing grid WxH, empty for the whole frame
  TnrParams params;
  long long frames = 0;  // 0: all
  long long start = 0;
  std::string mapsDir;
  std::vector<std::string> mapFrames{"1", "10", "last"};
  std::string compare;
  std::string comparePng;  // one frame of the comparison as a grey PNG
  long long comparePngFrame = 0;
  std::string reference;
  std::string csv;
  std::string plot;
  std::string format;          // for -o -: nv12 or y4m
  bool acceptDamaged = false;  // keep the frames of a truncated or damaged input
  bool mapFramesGiven = false;
  bool quiet = false;
};

struct DemoOptions {
  std::string outDir = "tnr-demo";
  std::string size = "512x288";
  int frames = 72;
  unsigned seed = 1;
  TnrParams params;
  bool quiet = false;
};

struct ConvertOptions {
  std::string input;
  std::string output;
  std::string size;
  long long frames = 0;
  long long start = 0;
  double noise = 0;
  unsigned seed = 1;
  std::string format;
  bool acceptDamaged = false;
};

struct SweepOptions {
  std::string clean;
  std::string size;
  long long frames = 60;
  long long start = 0;
  unsigned seed = 1;
  std::vector<double> noise{4, 8};
  std::vector<float> sigmaH{1.0f};
  std::vector<float> sigmaL{1.0f};
  std::vector<float> uvRatio{1.0f};
  std::vector<int> staticRatioBit{4};
  std::vector<float> spatial{0.0f};
  std::vector<int> align{0};
  std::string csv;
  bool acceptDamaged = false;
};

// What the frame size being processed needs in memory, for the message when
// an allocation fails ("" before a size is known).
const std::string &memoryNote();

int runDenoise(const DenoiseOptions &opt);
int runDemo(const DemoOptions &opt);
int runConvert(const ConvertOptions &opt);
int runSweep(const SweepOptions &opt);

}  // namespace tnr

#endif
