#include "output_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "video.h"

namespace tnr {

namespace {

// Temporary files open in this process, for the signal handler: fixed-size
// storage, since the handler may only use async-signal-safe calls.
constexpr int kSlots = 8;
constexpr size_t kPathMax = 4096;
char gTempPaths[kSlots][kPathMax];
volatile sig_atomic_t gTempUsed[kSlots];

extern "C" void removeTempsAndExit(int sig) {
  for (int i = 0; i < kSlots; ++i)
    if (gTempUsed[i]) unlink(gTempPaths[i]);
  signal(sig, SIG_DFL);
  raise(sig);
}

void installHandlers() {
  static bool installed = false;
  if (installed) return;
  installed = true;
  for (int sig : {SIGINT, SIGTERM, SIGHUP}) signal(sig, removeTempsAndExit);
}

}  // namespace

std::string extensionOf(const std::string &path) {
  const std::string name = std::filesystem::path(path).filename().string();
  const size_t dot = name.rfind('.');
  if (dot == std::string::npos || dot == 0) return "";
  std::string ext = name.substr(dot);
  for (char &c : ext)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return ext;
}

void checkDistinct(const std::string &input, const std::string &output) {
  namespace fs = std::filesystem;
  if (input == "-" || output == "-") {
    if (input == output) throw ToolError("the output may not be the input (both are '-')");
    return;
  }
  std::error_code ec;
  const bool same = fs::exists(output, ec)
                        ? fs::equivalent(input, output, ec)
                        : fs::weakly_canonical(input, ec) == fs::weakly_canonical(output, ec);
  if (same) throw ToolError("the output '" + output + "' is the input file; choose another name");
}

OutputFile::OutputFile(const std::string &path) : path_(path) {
  namespace fs = std::filesystem;
  if (path.empty()) throw ToolError("empty output file name");
  std::error_code ec;
  if (fs::is_directory(path, ec)) throw ToolError("cannot write '" + path + "': it is a directory");
  fs::path dir = fs::path(path).parent_path();
  if (dir.empty()) dir = ".";
  const std::string name = fs::path(path).filename().string();
  std::string templ = (dir / ("." + name + ".tnr-XXXXXX")).string();
  int fd = mkstemp(templ.data());
  if (fd < 0) throw ToolError("cannot write '" + path + "': " + std::strerror(errno));
  close(fd);
  temp_ = templ;
  installHandlers();
  for (int i = 0; i < kSlots; ++i) {
    if (!gTempUsed[i] && temp_.size() < kPathMax) {
      std::memcpy(gTempPaths[i], temp_.c_str(), temp_.size() + 1);
      gTempUsed[i] = 1;
      slot_ = i;
      break;
    }
  }
}

OutputFile::~OutputFile() {
  if (slot_ >= 0) gTempUsed[slot_] = 0;
  if (!committed_) unlink(temp_.c_str());
}

void OutputFile::commit() {
  // mkstemp creates the file private to its owner; give it the usual mode.
  const mode_t mask = umask(0);
  umask(mask);
  chmod(temp_.c_str(), 0666 & ~mask);
  if (std::rename(temp_.c_str(), path_.c_str()) != 0)
    throw ToolError("cannot write '" + path_ + "': " + std::strerror(errno));
  committed_ = true;
  if (slot_ >= 0) gTempUsed[slot_] = 0;
  slot_ = -1;
}

}  // namespace tnr
