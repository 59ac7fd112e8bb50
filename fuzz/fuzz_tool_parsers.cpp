// libFuzzer target for the tnr tool's own parsers: the Y4M and raw NV12
// readers on arbitrary bytes, and the strict WxH and number parsers. The
// first byte picks the parser. Every input must either parse into values
// inside the documented ranges or be refused with a ToolError; nothing may
// read or write out of bounds or overflow (ASan, UBSan).
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "numbers.h"
#include "video_in.h"

namespace {

void check(bool ok) {
  if (!ok) std::abort();
}

void readAll(tnr::VideoReader &r) {
  const tnr::VideoInfo &info = r.info();
  check(info.width >= 16 && info.height >= 16 && info.width <= tnr::kMaxFrameSide &&
        info.height <= tnr::kMaxFrameSide && info.width % 2 == 0 && info.height % 2 == 0);
  // Large frames are legal but would only measure the allocator.
  if (static_cast<long long>(info.width) * info.height > (1 << 20)) return;
  tnr::Frame f;
  for (int i = 0; i < 64 && r.read(f); ++i) check(f.size() == tnr::nv12Bytes(info.width, info.height));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 1) return 0;
  const uint8_t mode = data[0] % 6;
  const uint8_t *rest = data + 1;
  const size_t n = size - 1;
  const std::string text(reinterpret_cast<const char *>(rest), n);
  try {
    switch (mode) {
      case 0:
      case 1: {  // Y4M, damage refused or accepted
        tnr::ReadOptions opt;
        opt.acceptDamaged = mode == 1;
        auto src = tnr::memorySource(rest, n, "'fuzz.y4m'");
        if (auto r = tnr::y4mReader(src, opt)) readAll(*r);
        break;
      }
      case 2: {  // raw NV12 of a size taken from the first four bytes
        if (n < 4) return 0;
        const tnr::Size s{(rest[0] | rest[1] << 8) % 512, (rest[2] | rest[3] << 8) % 512};
        tnr::ReadOptions opt;
        opt.acceptDamaged = (rest[0] & 1) != 0;
        auto r = tnr::rawReader(tnr::memorySource(rest + 4, n - 4, "'fuzz.nv12'"), s, opt);
        readAll(*r);
        break;
      }
      case 3: {  // WxH
        const tnr::Size s = tnr::parseSize(text, "--size");
        check(s.width >= 1 && s.height >= 1 && s.width <= tnr::kMaxFrameSide &&
              s.height <= tnr::kMaxFrameSide);
        break;
      }
      case 4: {  // integers: whole text, in range, equal to what strtoll reads
        long long v = 0;
        std::string why;
        if (tnr::parseInteger(text, -1000, 1LL << 40, v, why)) {
          check(v >= -1000 && v <= (1LL << 40));
          check(text.find('\0') == std::string::npos);
          check(std::strtoll(text.c_str(), nullptr, 10) == v);
        }
        break;
      }
      case 5: {  // reals: finite, in range
        double v = 0;
        std::string why;
        if (tnr::parseReal(text, 0.0, 16.0, v, why)) {
          check(std::isfinite(v) && v >= 0.0 && v <= 16.0);
          check(text.find('\0') == std::string::npos);
        }
        break;
      }
    }
  } catch (const tnr::ToolError &) {
    // A refusal with a message is a correct answer.
  }
  return 0;
}
