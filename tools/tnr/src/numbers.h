// Strict parsing of the numbers and sizes given on the command line: the whole
// text must be the number, in range; nothing wraps, nothing is ignored.
#ifndef TNR_TOOL_NUMBERS_H
#define TNR_TOOL_NUMBERS_H

#include <string>

#include "video.h"

#include "motion_detect.h"

namespace tnr {

// Largest frame side the tool accepts (and the largest --size / --grid side).
constexpr int kMaxFrameSide = 32768;

// Decimal integer (optional sign, digits only) within [lo, hi]. On failure
// returns false and sets why (e.g. "expects an integer from 0 to 255").
bool parseInteger(const std::string &text, long long lo, long long hi, long long &out,
                  std::string &why);

// Decimal real number ([sign] digits [. digits] [e [sign] digits]), finite,
// within [lo, hi]. No nan, inf, hex floats or trailing characters.
bool parseReal(const std::string &text, double lo, double hi, double &out, std::string &why);

// The same, throwing ToolError("<option> expects ..., got '<text>'").
long long integerOption(const std::string &text, const char *option, long long lo, long long hi);
double realOption(const std::string &text, const char *option, double lo, double hi);

// Parses "WxH", each side a decimal integer from 1 to kMaxFrameSide; throws
// ToolError naming the option otherwise.
Size parseSize(const std::string &text, const char *option);

// Frames must be even in both directions: NV12 pairs every chroma sample with
// a 2x2 luma block, and the filter blends chroma by row pairs. Odd sizes are
// rejected (not padded) so that output frames always match the input's size.
// Sides from 16 to kMaxFrameSide.
void checkFrameSize(long long width, long long height, const std::string &what);

// Largest frame count or index an option takes (--frames, --start, --map-frames).
constexpr long long kMaxFrameNumber = 1000000000000LL;

// Documented ranges of the tuning values (also in --help).
struct Range {
  double lo, hi;
};
constexpr Range kSigmaHRange{0.0, TNR_MD_SIGMA_H_SCALE_MAX};
constexpr Range kSigmaLRange{0.0, TNR_MD_SIGMA_L_SCALE_MAX};
constexpr Range kUvRatioRange{0.0, TNR_MD_UV_RATIO_MAX};
constexpr Range kNoiseRange{0.0, 100.0};
constexpr Range kSpatialRange{0.0, 15.9};

}  // namespace tnr

#endif
