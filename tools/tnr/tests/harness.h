// What the tool's end-to-end suites share: a work folder per test, running a
// program in it, what the folder holds, and the demo scene as NV12 bytes.
#ifndef TNR_TOOL_TEST_HARNESS_H
#define TNR_TOOL_TEST_HARNESS_H

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "synth.h"
#include "video_in.h"

namespace fs = std::filesystem;
using Args = std::vector<std::string>;

inline std::string slurp(const fs::path &p) {
  std::ifstream f(p, std::ios::binary);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

inline void spit(const fs::path &p, const std::string &data) {
  std::ofstream f(p, std::ios::binary);
  f.write(data.data(), static_cast<std::streamsize>(data.size()));
}

template <class T>
std::vector<T> with(std::vector<T> a, const std::vector<T> &b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// n noisy frames of the demo scene, one after the other.
inline std::string sceneBytes(int w, int h, int n, uint64_t seed) {
  tnr::Scene scene(w, h, n, seed);
  std::string s;
  tnr::Frame f;
  for (int t = 0; t < n; ++t) {
    scene.clean(t, f);
    scene.addSensorNoise(t, f);
    s.append(reinterpret_cast<const char *>(f.data()), f.size());
  }
  return s;
}

struct Outcome {
  int rc = -1;  // exit status, -1 when killed by a signal
  int sig = 0;  // the signal that ended it
  std::string out, err;
  std::string joined;  // the command, for failure messages
};

// Every file under a folder: its mode and, for files, its bytes.
using Snapshot = std::map<std::string, std::string>;

class ToolRun : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto *info = ::testing::UnitTest::GetInstance()->current_test_info();
    root_ = fs::temp_directory_path() / ("tnr-test-" + std::to_string(getpid()) + "-" +
                                         info->test_suite_name() + "-" + info->name());
    fs::remove_all(root_);
    dir_ = root_ / "work";
    fs::create_directories(dir_);
  }
  void TearDown() override {
    if (!HasFailure()) fs::remove_all(root_);
  }

  // Starts a program in the work folder with default signal dispositions and
  // standard input from stdinFd (/dev/null when negative); child() runs in the
  // child just before exec.
  pid_t spawn(const std::string &program, const Args &args, int stdinFd = -1,
              const std::function<void()> &child = {}) {
    const fs::path outPath = discardStdout_ ? fs::path("/dev/null") : root_ / "stdout";
    const pid_t pid = fork();
    if (pid == 0) {
      if (chdir(dir_.c_str()) != 0) _exit(126);
      const int in = stdinFd >= 0 ? stdinFd : open("/dev/null", O_RDONLY);
      const int out = open(outPath.c_str(), O_WRONLY | O_CREAT | (discardStdout_ ? 0 : O_TRUNC), 0644);
      const int err = open((root_ / "stderr").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      if (in < 0 || out < 0 || err < 0) _exit(126);
      dup2(in, 0);
      dup2(out, 1);
      dup2(err, 2);
      for (int s = 1; s < NSIG; ++s) signal(s, SIG_DFL);
      sigset_t none;
      sigemptyset(&none);
      sigprocmask(SIG_SETMASK, &none, nullptr);
      if (child) child();
      std::vector<char *> argv{const_cast<char *>(program.c_str())};
      for (const auto &a : args) argv.push_back(const_cast<char *>(a.c_str()));
      argv.push_back(nullptr);
      execv(program.c_str(), argv.data());
      _exit(127);
    }
    return pid;
  }
  // Waits for a spawned program (killed after the timeout) and collects it.
  Outcome finish(pid_t pid, const std::string &joined, int timeoutSeconds = 60) {
    Outcome r;
    r.joined = joined;
    int status = 0;
    const auto start = std::chrono::steady_clock::now();
    while (waitpid(pid, &status, WNOHANG) == 0) {
      if (std::chrono::steady_clock::now() - start > std::chrono::seconds(timeoutSeconds)) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        ADD_FAILURE() << "hung: " << r.joined;
        break;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (WIFEXITED(status)) r.rc = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) r.sig = WTERMSIG(status);
    if (!discardStdout_) r.out = slurp(root_ / "stdout");
    r.err = slurp(root_ / "stderr");
    return r;
  }
  Outcome exec(const std::string &program, const Args &args, const std::string &stdinPath = "",
               const std::function<void()> &child = {}) {
    std::string joined = program;
    for (const auto &a : args) joined += " '" + a + "'";
    const int in = stdinPath.empty() ? -1 : open(stdinPath.c_str(), O_RDONLY | O_CLOEXEC);
    const pid_t pid = spawn(program, args, in, child);
    if (in >= 0) close(in);
    return finish(pid, joined);
  }
  Outcome tnr(const Args &args, const std::string &stdinPath = "",
              const std::function<void()> &child = {}) {
    return exec(TNR_BINARY, args, stdinPath, child);
  }

  Snapshot snapshot() const {
    Snapshot s;
    for (const auto &e : fs::recursive_directory_iterator(dir_)) {
      struct stat st {};
      lstat(e.path().c_str(), &st);
      s[fs::relative(e.path(), dir_).string()] =
          std::to_string(st.st_mode) + ":" + (S_ISREG(st.st_mode) ? slurp(e.path()) : "");
    }
    return s;
  }
  std::vector<std::string> temporaries() const {
    std::vector<std::string> t;
    for (const auto &e : fs::recursive_directory_iterator(dir_))
      if (e.path().filename().string().find(".tnr-") != std::string::npos)
        t.push_back(e.path().string());
    return t;
  }

  // A run that must fail: its status, its message on one line, no temporary,
  // nothing that existed changed and nothing new.
  void expectRefused(const Outcome &r, const std::string &message, const Snapshot &before) {
    EXPECT_NE(r.rc, 0) << r.joined;
    EXPECT_EQ(r.sig, 0) << r.joined;
    EXPECT_NE(r.err.find(message), std::string::npos)
        << r.joined << "\nwanted: " << message << "\ngot: " << r.err;
    const std::string hint = "Run with --help for more information.\n";  // after a usage error
    const size_t lines = std::count(r.err.begin(), r.err.end(), '\n') - (r.err.find(hint) != std::string::npos);
    EXPECT_EQ(lines, 1u) << r.joined << ": more than the message\n" << r.err;
    EXPECT_TRUE(temporaries().empty()) << r.joined;
    EXPECT_TRUE(snapshot() == before) << r.joined << ": files changed";
  }
  // A run that must succeed: every file that existed, except the outputs, is
  // unchanged; no temporary is left.
  void expectDone(const Outcome &r, const Snapshot &before, const Args &outputs,
                  const std::string &message = "") {
    EXPECT_EQ(r.rc, 0) << r.joined << "\n" << r.err;
    EXPECT_NE(r.err.find(message), std::string::npos)
        << r.joined << "\nwanted: " << message << "\ngot: " << r.err;
    EXPECT_TRUE(temporaries().empty()) << r.joined;
    const Snapshot after = snapshot();
    for (const auto &[name, what] : before) {
      if (std::find(outputs.begin(), outputs.end(), name) != outputs.end()) continue;
      auto it = after.find(name);
      EXPECT_TRUE(it != after.end() && it->second == what) << r.joined << ": " << name << " changed";
    }
  }

  // tnr with these arguments, against the files as they are just before it.
  void refuse(const Args &args, const std::string &message, const std::string &stdinPath = "",
              const std::function<void()> &child = {}) {
    const Snapshot before = snapshot();
    expectRefused(tnr(args, stdinPath, child), message, before);
  }
  void succeed(const Args &args, const Args &outputs, const std::string &message = "") {
    const Snapshot before = snapshot();
    expectDone(tnr(args), before, outputs, message);
  }

  // The frames of a file in the work folder (raw NV12 when a size is given).
  std::vector<tnr::Frame> frames(const std::string &name, int w = 0, int h = 0) {
    tnr::ReadOptions o;
    if (w) o.rawSize = tnr::Size{w, h};
    auto r = tnr::openVideo((dir_ / name).string(), o);
    std::vector<tnr::Frame> v;
    tnr::Frame f;
    while (r->read(f)) v.push_back(f);
    return v;
  }
  std::string bytes(const std::vector<tnr::Frame> &frames) {
    std::string s;
    for (const auto &f : frames) s.append(reinterpret_cast<const char *>(f.data()), f.size());
    return s;
  }

  fs::path root_, dir_;
  bool discardStdout_ = false;  // standard output to /dev/null (no file-size limit)
};

#endif
