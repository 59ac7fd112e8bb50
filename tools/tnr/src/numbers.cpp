#include "numbers.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <climits>
#include <cstdio>
#include <cstring>

namespace tnr {

namespace {

bool isDigit(char c) { return c >= '0' && c <= '9'; }

std::string realText(double v) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%g", v);
  return buf;
}

}  // namespace

bool parseInteger(const std::string &text, long long lo, long long hi, long long &out,
                  std::string &why) {
  why = "expects an integer from " + std::to_string(lo) + " to " + std::to_string(hi);
  size_t i = 0;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  if (i == text.size()) return false;
  // Accumulated as a magnitude in unsigned 64 bits, stopping at the first
  // digit that would pass 2^63: no wrap.
  unsigned long long mag = 0;
  const unsigned long long limit = 1ULL << 63;
  for (; i < text.size(); ++i) {
    if (!isDigit(text[i])) return false;
    const unsigned d = static_cast<unsigned>(text[i] - '0');
    if (mag > (limit - d) / 10) return false;
    mag = mag * 10 + d;
  }
  long long v;
  if (negative) {
    v = mag == limit ? LLONG_MIN : -static_cast<long long>(mag);
  } else {
    if (mag >= limit) return false;
    v = static_cast<long long>(mag);
  }
  if (v < lo || v > hi) return false;
  out = v;
  return true;
}

bool parseReal(const std::string &text, double lo, double hi, double &out, std::string &why) {
  why = "expects a number from " + realText(lo) + " to " + realText(hi);
  // The accepted syntax is checked first, so that strtod sees nothing it
  // would read differently (hex, inf, nan, leading blanks).
  size_t i = 0;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
  size_t digits = 0;
  while (i < text.size() && isDigit(text[i])) ++i, ++digits;
  if (i < text.size() && text[i] == '.') {
    ++i;
    while (i < text.size() && isDigit(text[i])) ++i, ++digits;
  }
  if (digits == 0) return false;
  if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
    ++i;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
    size_t expDigits = 0;
    while (i < text.size() && isDigit(text[i])) ++i, ++expDigits;
    if (expDigits == 0) return false;
  }
  if (i != text.size()) return false;
  errno = 0;
  char *end = nullptr;
  const double v = std::strtod(text.c_str(), &end);
  if (end != text.c_str() + text.size() || !std::isfinite(v) || v < lo || v > hi) return false;
  out = v;
  return true;
}

long long integerOption(const std::string &text, const char *option, long long lo, long long hi) {
  long long v = 0;
  std::string why;
  if (!parseInteger(text, lo, hi, v, why))
    throw ToolError(std::string(option) + " " + why + ", got '" + text + "'");
  return v;
}

double realOption(const std::string &text, const char *option, double lo, double hi) {
  double v = 0;
  std::string why;
  if (!parseReal(text, lo, hi, v, why))
    throw ToolError(std::string(option) + " " + why + ", got '" + text + "'");
  return v;
}

Size parseSize(const std::string &text, const char *option) {
  const size_t x = text.find_first_of("xX");
  long long w = 0, h = 0;
  std::string why;
  if (x == std::string::npos || text.find_first_of("+-") != std::string::npos ||
      !parseInteger(text.substr(0, x), 1, kMaxFrameSide, w, why) ||
      !parseInteger(text.substr(x + 1), 1, kMaxFrameSide, h, why))
    throw ToolError(std::string(option) + " expects WIDTHxHEIGHT (e.g. 768x576), each from 1 to " +
                    std::to_string(kMaxFrameSide) + ", got '" + text + "'");
  return {static_cast<int>(w), static_cast<int>(h)};
}

void checkFrameSize(long long width, long long height, const std::string &what) {
  const std::string size = std::to_string(width) + "x" + std::to_string(height);
  if (width < 16 || height < 16)
    throw ToolError(what + " is " + size + ": frames must be at least 16x16");
  if (width > kMaxFrameSide || height > kMaxFrameSide)
    throw ToolError(what + " is " + size + ": frames may be at most " +
                    std::to_string(kMaxFrameSide) + " pixels on a side");
  if ((width | height) & 1)
    throw ToolError(what + " is " + size +
                    ": odd frame sizes are rejected (not padded); crop to an even size first");
}

}  // namespace tnr
