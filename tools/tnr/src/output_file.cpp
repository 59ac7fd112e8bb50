#include "output_file.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "video.h"

namespace tnr {

namespace {

namespace fs = std::filesystem;

// Temporary files open in this process, for the signal handler: a fixed
// table of pointers to names allocated before they are published, so that the
// handler only reads and calls unlink (async-signal-safe).
constexpr int kSlots = 4096;
std::atomic<char *> gTemps[kSlots];
// Folders created for outputs (the maps folder and its parents), removed
// after the temporaries if they are then empty.
constexpr int kFolderSlots = 64;
std::atomic<char *> gFolders[kFolderSlots];

extern "C" void removeTempsAndDie(int sig) {
  const int saved = errno;
  for (auto &slot : gTemps) {
    char *p = slot.load();
    if (p) unlink(p);
  }
  for (int i = kFolderSlots - 1; i >= 0; --i) {
    char *p = gFolders[i].load();
    if (p) rmdir(p);
  }
  // Die of the same signal, so that the parent sees what happened.
  signal(sig, SIG_DFL);
  raise(sig);
  errno = saved;
}

// Every signal whose default action ends the process and that can be caught.
void installHandlers() {
  static bool installed = false;
  if (installed) return;
  installed = true;
  std::vector<int> sigs = {SIGHUP,  SIGINT,  SIGQUIT,   SIGILL,  SIGTRAP, SIGABRT, SIGBUS,
                           SIGFPE,  SIGUSR1, SIGSEGV,   SIGUSR2, SIGPIPE, SIGALRM, SIGTERM,
                           SIGXCPU, SIGXFSZ, SIGVTALRM, SIGPROF, SIGSYS,  SIGIO};
#ifdef SIGSTKFLT
  sigs.push_back(SIGSTKFLT);
#endif
#ifdef SIGPWR
  sigs.push_back(SIGPWR);
#endif
  for (int s = SIGRTMIN; s <= SIGRTMAX; ++s) sigs.push_back(s);
  for (int sig : sigs) {
    struct sigaction old {};
    if (sigaction(sig, nullptr, &old) != 0) continue;
    // A signal the caller ignores (nohup, trap '' XFSZ) stays ignored.
    if (old.sa_handler == SIG_IGN) continue;
    struct sigaction sa {};
    sa.sa_handler = removeTempsAndDie;
    sigfillset(&sa.sa_mask);
    sigaction(sig, &sa, nullptr);
  }
}

int publishTemp(const std::string &path) {
  char *copy = strdup(path.c_str());
  if (!copy) throw std::bad_alloc();
  for (int i = 0; i < kSlots; ++i) {
    char *expected = nullptr;
    if (gTemps[i].compare_exchange_strong(expected, copy)) return i;
  }
  free(copy);
  return -1;
}

void unpublishTemp(int slot) {
  if (slot < 0) return;
  char *p = gTemps[slot].exchange(nullptr);
  free(p);
}

// Published in creation order, so that the handler removes children first.
int publishIn(std::atomic<char *> *table, int n, const std::string &path) {
  char *copy = strdup(path.c_str());
  if (!copy) throw std::bad_alloc();
  for (int i = 0; i < n; ++i) {
    char *expected = nullptr;
    if (table[i].compare_exchange_strong(expected, copy)) return i;
  }
  free(copy);
  return -1;
}

std::string inQuotes(const std::string &s) { return "'" + s + "'"; }

fs::path folderOf(const std::string &path) {
  fs::path dir = fs::path(path).parent_path();
  return dir.empty() ? fs::path(".") : dir;
}

}  // namespace

std::string extensionOf(const std::string &path) {
  const std::string name = fs::path(path).filename().string();
  const size_t dot = name.rfind('.');
  if (dot == std::string::npos || dot == 0) return "";
  std::string ext = name.substr(dot);
  for (char &c : ext)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return ext;
}

int publishCreatedFolder(const std::string &path) {
  installHandlers();
  return publishIn(gFolders, kFolderSlots, path);
}

void unpublishCreatedFolder(int slot) {
  if (slot < 0) return;
  free(gFolders[slot].exchange(nullptr));
}

void checkWritable(const std::string &path, const std::string &option) {
  if (path.empty()) throw ToolError(option + " names no file");
  struct stat st {};
  if (stat(path.c_str(), &st) == 0) {
    if (S_ISDIR(st.st_mode)) throw ToolError("cannot write " + inQuotes(path) + ": it is a directory");
    if (access(path.c_str(), W_OK) != 0)
      throw ToolError("cannot replace " + inQuotes(path) + " (" + option +
                      "): " + std::strerror(errno) + "; it is left as it is");
  }
  const fs::path dir = folderOf(path);
  struct stat ds {};
  if (stat(dir.c_str(), &ds) != 0)
    throw ToolError("cannot write " + inQuotes(path) + ": " + std::strerror(errno));
  if (!S_ISDIR(ds.st_mode))
    throw ToolError("cannot write " + inQuotes(path) + ": " + std::strerror(ENOTDIR));
  if (access(dir.c_str(), W_OK | X_OK) != 0)
    throw ToolError("cannot write " + inQuotes(path) + ": " + std::strerror(errno));
}

OutputFile::OutputFile(const std::string &path) : path_(path) {
  checkWritable(path, "output");
  const fs::path dir = folderOf(path);
  std::string name = fs::path(path).filename().string();
  // ".NAME.tnr-XXXXXX" must fit the folder's file-name limit too: a long
  // name is shortened in the temporary name only.
  long nameMax = pathconf(dir.c_str(), _PC_NAME_MAX);
  if (nameMax <= 0) nameMax = NAME_MAX;
  const size_t extra = std::strlen(".") + std::strlen(".tnr-XXXXXX");
  if (name.size() + extra > static_cast<size_t>(nameMax))
    name.resize(static_cast<size_t>(nameMax) - extra);
  std::string templ = (dir / ("." + name + ".tnr-XXXXXX")).string();
  installHandlers();
  // No signal between creating the file and publishing its name: the
  // handler must know every temporary that exists.
  sigset_t all, old;
  sigfillset(&all);
  sigprocmask(SIG_BLOCK, &all, &old);
  const int fd = mkstemp(templ.data());
  const int err = errno;
  if (fd >= 0) slot_ = publishTemp(templ);
  sigprocmask(SIG_SETMASK, &old, nullptr);
  if (fd < 0) throw ToolError("cannot write " + inQuotes(path) + ": " + std::strerror(err));
  close(fd);
  temp_ = templ;
  if (slot_ < 0) {
    unlink(temp_.c_str());
    throw ToolError("too many output files at once");
  }
}

OutputFile::~OutputFile() {
  if (!committed_) unlink(temp_.c_str());
  unpublishTemp(slot_);
}

void OutputFile::commit() {
  // A replaced file keeps its mode (and owner and group where this user may
  // set them); a new one gets the usual mode (mkstemp makes it private).
  struct stat old {};
  if (stat(path_.c_str(), &old) == 0) {
    if (chmod(temp_.c_str(), old.st_mode & 07777) != 0)
      throw ToolError("cannot write " + inQuotes(path_) + ": " + std::strerror(errno));
    if (chown(temp_.c_str(), old.st_uid, old.st_gid) != 0) {
      // Not allowed to give it away: keep this user's ownership, and the mode
      // without set-id bits.
      chmod(temp_.c_str(), old.st_mode & 0777);
    }
  } else {
    const mode_t mask = umask(0);
    umask(mask);
    chmod(temp_.c_str(), 0666 & ~mask);
  }
  if (std::rename(temp_.c_str(), path_.c_str()) != 0)
    throw ToolError("cannot write " + inQuotes(path_) + ": " + std::strerror(errno));
  committed_ = true;
  unpublishTemp(slot_);
  slot_ = -1;
}

namespace {

struct Identity {
  bool exists = false;
  dev_t dev = 0;
  ino_t ino = 0;
  bool fifoOrDevice = false;
  std::string resolved;
};

Identity identify(const std::string &path) {
  Identity id;
  struct stat st {};
  if (stat(path.c_str(), &st) == 0) {
    id.exists = true;
    id.dev = st.st_dev;
    id.ino = st.st_ino;
    id.fifoOrDevice = !S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode);
  }
  std::error_code ec;
  fs::path abs = fs::absolute(path, ec);
  fs::path canon = fs::weakly_canonical(abs, ec);
  id.resolved = (ec ? abs.lexically_normal() : canon).string();
  while (id.resolved.size() > 1 && id.resolved.back() == '/') id.resolved.pop_back();
  return id;
}

}  // namespace

void checkNoCollisions(const std::vector<NamedFile> &files) {
  std::vector<Identity> ids;
  for (const NamedFile &f : files) ids.push_back(f.path == "-" ? Identity{} : identify(f.path));
  for (size_t i = 0; i < files.size(); ++i) {
    for (size_t j = i + 1; j < files.size(); ++j) {
      const NamedFile &a = files[i], &b = files[j];
      const bool aOut = a.kind != NamedFile::Input, bOut = b.kind != NamedFile::Input;
      const std::string both = a.option + " and " + b.option;
      if (a.path == "-" || b.path == "-") {
        if (a.path != b.path) continue;
        if (!aOut && !bOut)
          throw ToolError(both + " both read standard input: only one of them may be '-'");
        if (aOut && bOut)
          throw ToolError(both + " both write to standard output: only one of them may be '-'");
        continue;  // reading standard input and writing standard output
      }
      const bool same = (ids[i].exists && ids[j].exists && ids[i].dev == ids[j].dev &&
                         ids[i].ino == ids[j].ino) ||
                        ids[i].resolved == ids[j].resolved;
      if (!same) continue;
      if (!aOut && !bOut) {
        // Reading one file twice is fine, but a pipe or device gives its bytes once.
        if (ids[i].fifoOrDevice)
          throw ToolError(both + " name the same pipe " + inQuotes(b.path) +
                          ": it can be read only once");
        continue;
      }
      throw ToolError(both + " name the same file (" + inQuotes(a.path) +
                      (a.path == b.path ? "" : " and " + inQuotes(b.path)) +
                      "); choose another name");
    }
  }
}

}  // namespace tnr
