// The tool's files and inputs, from a careful user's side: collisions between
// the files a command names, names that are only names, pipes, colour tags,
// permissions, standard input, strict numbers, damaged inputs, signals and the
// messages. Every case checks the exit status and the message, that no
// temporary file is left, and that every file that existed before is byte for
// byte (and mode for mode) what it was.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "files.h"
#include "synth.h"
#include "video_in.h"
#include "video_out.h"

namespace fs = std::filesystem;
using tnr::Frame;

namespace {

struct Outcome {
  int rc = -1;   // exit status, -1 when killed by a signal
  int sig = 0;   // the signal that ended it
  std::string out, err;
  std::string joined;  // the command, for failure messages
};

// What every file under a folder is: its mode and, for files, its bytes.
using Snapshot = std::map<std::string, std::string>;

constexpr int kW = 64, kH = 48, kFrames = 4;

std::string sceneBytes(int w, int h, int n, uint64_t seed) {
  tnr::Scene scene(w, h, n, seed);
  std::string s;
  Frame f;
  for (int t = 0; t < n; ++t) {
    scene.clean(t, f);
    scene.addSensorNoise(t, f);
    s.append(reinterpret_cast<const char *>(f.data()), f.size());
  }
  return s;
}

// NV12 frames as Y4M (planar 4:2:0), with extra header tags.
std::string y4mOf(const std::string &nv12, int w, int h, const std::string &tags = "") {
  std::string s = "YUV4MPEG2 W" + std::to_string(w) + " H" + std::to_string(h) + " F25:1" + tags + "\n";
  const size_t fb = size_t(w) * h * 3 / 2, luma = size_t(w) * h;
  for (size_t at = 0; at + fb <= nv12.size(); at += fb) {
    s += "FRAME\n";
    s.append(nv12, at, luma);
    for (int k = 0; k < 2; ++k)
      for (size_t i = 0; i < luma / 4; ++i) s += nv12[at + luma + 2 * i + k];
  }
  return s;
}

class Robust : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto *info = ::testing::UnitTest::GetInstance()->current_test_info();
    root_ = fs::temp_directory_path() /
            ("tnr-robust-" + std::to_string(getpid()) + "-" + info->name());
    fs::remove_all(root_);
    dir_ = root_ / "work";
    fs::create_directories(dir_);
    raw_ = sceneBytes(kW, kH, kFrames, 3);
    spit(dir_ / "in.nv12", raw_);
    spit(dir_ / "in.y4m", y4mOf(raw_, kW, kH));
  }
  void TearDown() override {
    if (!HasFailure()) fs::remove_all(root_);
  }

  // Runs tnr (or another program) in the work folder with default signal
  // dispositions; child() runs in the child just before exec.
  Outcome exec(const std::string &program, const std::vector<std::string> &args,
           const std::string &stdinPath = "", const std::function<void()> &child = {},
           int timeoutSeconds = 60) {
    Outcome r;
    r.joined = program;
    for (const auto &a : args) r.joined += " '" + a + "'";
    const fs::path outPath = discardStdout_ ? fs::path("/dev/null") : root_ / "stdout";
    const fs::path errPath = root_ / "stderr";
    const pid_t pid = fork();
    if (pid == 0) {
      if (chdir(dir_.c_str()) != 0) _exit(126);
      const int in = open(stdinPath.empty() ? "/dev/null" : stdinPath.c_str(), O_RDONLY);
      const int out = open(outPath.c_str(), O_WRONLY | O_CREAT | (discardStdout_ ? 0 : O_TRUNC), 0644);
      const int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
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
    if (!discardStdout_) r.out = slurp(outPath);
    r.err = slurp(errPath);
    return r;
  }
  Outcome tnr(const std::vector<std::string> &args, const std::string &stdinPath = "",
          const std::function<void()> &child = {}) {
    return exec(TNR_BINARY, args, stdinPath, child);
  }

  Snapshot snapshot() const {
    Snapshot s;
    for (const auto &e : fs::recursive_directory_iterator(dir_)) {
      struct stat st {};
      lstat(e.path().c_str(), &st);
      const std::string rel = fs::relative(e.path(), dir_).string();
      s[rel] = std::to_string(st.st_mode) + ":" +
               (S_ISREG(st.st_mode) ? slurp(e.path()) : std::string());
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

  // A case that must fail: the status, the message, no temporary, nothing
  // that existed changed and nothing new.
  void expectRefused(const Outcome &r, const std::string &message, const Snapshot &before) {
    EXPECT_NE(r.rc, 0) << r.joined;
    EXPECT_EQ(r.sig, 0) << r.joined;
    EXPECT_NE(r.err.find(message), std::string::npos)
        << r.joined << "\nwanted: " << message << "\ngot: " << r.err;
    EXPECT_TRUE(temporaries().empty()) << r.joined;
    EXPECT_TRUE(snapshot() == before) << r.joined << ": files changed";
  }
  // A case that must succeed: every file that existed, except those listed
  // as outputs, is unchanged; no temporary is left.
  void expectDone(const Outcome &r, const Snapshot &before, const std::vector<std::string> &outputs,
                  const std::string &message = "") {
    EXPECT_EQ(r.rc, 0) << r.joined << "\n" << r.err;
    if (!message.empty()) {
      EXPECT_NE(r.err.find(message), std::string::npos)
          << r.joined << "\nwanted: " << message << "\ngot: " << r.err;
    }
    EXPECT_TRUE(temporaries().empty()) << r.joined;
    const Snapshot after = snapshot();
    for (const auto &[name, what] : before) {
      if (std::find(outputs.begin(), outputs.end(), name) != outputs.end()) continue;
      auto it = after.find(name);
      EXPECT_TRUE(it != after.end() && it->second == what) << r.joined << ": " << name << " changed";
    }
  }

  std::vector<Frame> frames(const std::string &name, bool raw = false) {
    tnr::ReadOptions o;
    if (raw) o.rawSize = tnr::Size{kW, kH};
    auto r = tnr::openVideo((dir_ / name).string(), o);
    std::vector<Frame> v;
    Frame f;
    while (r->read(f)) v.push_back(f);
    return v;
  }
  tnr::VideoInfo infoOf(const std::string &name) {
    return tnr::openVideo((dir_ / name).string(), {})->info();
  }

  fs::path root_, dir_;
  std::string raw_;
  bool discardStdout_ = false;  // standard output to /dev/null (no file-size limit)
};

const std::vector<std::string> kRawIn = {"denoise", "in.nv12", "--size", "64x48", "-q"};

std::vector<std::string> with(std::vector<std::string> a, const std::vector<std::string> &b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

}  // namespace

// Outputs compared with every other named file as files, before anything runs.
TEST_F(Robust, Collisions) {
  spit(dir_ / "out.mkv", "old output");
  spit(dir_ / "out.y4m", "old y4m");
  spit(dir_ / "p.csv", "old csv");
  fs::create_symlink("in.nv12", dir_ / "link.nv12");
  fs::create_hard_link(dir_ / "in.nv12", dir_ / "hard.nv12");
  fs::create_directory(dir_ / "sub");
  const Snapshot before = snapshot();
  const struct {
    std::vector<std::string> args;
    std::string message;
  } cases[] = {
      {{"-o", "out.mkv", "--compare", "./out.mkv"}, "-o and --compare name the same file"},
      {{"-o", "out.y4m", "--csv", "./out.y4m", "--reference", "in.y4m"},
       "-o and --csv name the same file"},
      {{"-o", "o.y4m", "--csv", "p.csv", "--plot", "p.csv", "--reference", "in.y4m"},
       "--csv and --plot name the same file"},
      {{"-o", "o.y4m", "--csv", "p.png", "--reference", "in.y4m"},
       "--csv and the plot of --csv name the same file"},
      {{"-o", "o.y4m", "--compare", "x.y4m", "--csv", "x.y4m", "--reference", "in.y4m"},
       "--compare and --csv name the same file"},
      {{"-o", "link.nv12"}, "INPUT and -o name the same file"},
      {{"-o", "hard.nv12"}, "INPUT and -o name the same file"},
      {{"-o", "sub/../in.nv12"}, "INPUT and -o name the same file"},
      {{"-o", "o.y4m", "--reference", "in.y4m", "--compare", "in.y4m"},
       "--reference and --compare name the same file"},
      {{"-o", "o.y4m", "--maps", "o.y4m"}, "-o and --maps name the same file"},
      {{"-o", "o.y4m", "--maps", "./out.mkv"}, "--maps './out.mkv' is not a folder"},
      {{"-o", "o.y4m", "--maps", "in.nv12/maps"}, "cannot create the maps folder 'in.nv12/maps'"},
  };
  for (const auto &c : cases) expectRefused(tnr(with(kRawIn, c.args)), c.message, before);
  // convert and sweep compare theirs too.
  expectRefused(tnr({"convert", "in.y4m", "-o", "./in.y4m"}), "INPUT and -o name the same file",
                before);
  expectRefused(tnr({"sweep", "in.y4m", "--csv", "in.y4m"}), "CLEAN and --csv name the same file",
                before);
}

// A name on the command line is a local file: no protocol prefix, no
// concatenation, no file named inside a playlist.
TEST_F(Robust, Names) {
  const std::string big = sceneBytes(96, 64, 3, 4);
  spit(dir_ / "file:in.y4m", y4mOf(big, 96, 64));  // a local file with a colon in its name
  ASSERT_EQ(tnr({"convert", "in.y4m", "-o", "a.mkv"}).rc, 0);
  ASSERT_EQ(tnr({"convert", "in.y4m", "-o", "b.mkv"}).rc, 0);
  ASSERT_EQ(tnr({"convert", "file:in.y4m", "-o", "file:in.mkv"}).rc, 0);
  spit(dir_ / "concat:a.mkv|b.mkv", "");
  spit(dir_ / "list.ffconcat", "ffconcat version 1.0\nfile a.mkv\nfile b.mkv\n");
  spit(dir_ / "list.m3u8", "#EXTM3U\n#EXT-X-TARGETDURATION:1\n#EXTINF:1,\na.mkv\n#EXT-X-ENDLIST\n");
  Snapshot before = snapshot();

  // The file named 'file:in.mkv' is read, not in.mkv (which it would replace).
  Outcome r = tnr({"denoise", "file:in.mkv", "-o", "in.mkv", "-q"});
  expectDone(r, before, {"in.mkv"});
  EXPECT_EQ(infoOf("in.mkv").width, 96);
  EXPECT_EQ(infoOf("file:in.mkv").width, 96);

  before = snapshot();
  expectRefused(tnr({"denoise", "concat:a.mkv|b.mkv", "-o", "o.mkv"}),
                "'concat:a.mkv|b.mkv' is empty", before);
  for (const char *list : {"list.ffconcat", "list.m3u8"}) {
    r = tnr({"denoise", list, "-o", "o.mkv"});
    EXPECT_NE(r.rc, 0) << list;
    EXPECT_NE(r.err.find("cannot read"), std::string::npos) << r.err;
    EXPECT_TRUE(snapshot() == before) << list;
  }
  // Outputs too: a folder with a colon, an output with a protocol-like name.
  fs::create_directory(dir_ / "pipe:x");
  r = tnr({"convert", "in.y4m", "-o", "pipe:x/c.mkv"});
  EXPECT_EQ(r.rc, 0) << r.err;
  EXPECT_EQ(frames("pipe:x/c.mkv").size(), size_t(kFrames));
}

// A named pipe is opened once, so a writer that writes everything and leaves
// is enough; the same pipe cannot be input and reference.
TEST_F(Robust, Pipes) {
  ASSERT_EQ(tnr(with(kRawIn, {"-o", "file.nv12"})).rc, 0);
  ASSERT_EQ(mkfifo((dir_ / "fifo").c_str(), 0644), 0);
  ASSERT_EQ(mkfifo((dir_ / "clean").c_str(), 0644), 0);
  const auto writer = [&](const std::string &fifo, const std::string &data) {
    const pid_t pid = fork();
    if (pid == 0) {
      signal(SIGPIPE, SIG_DFL);
      const int fd = open((dir_ / fifo).c_str(), O_WRONLY);
      size_t at = 0;
      while (fd >= 0 && at < data.size()) {
        const ssize_t n = write(fd, data.data() + at, data.size() - at);
        if (n <= 0) _exit(1);
        at += size_t(n);
      }
      _exit(fd >= 0 ? 0 : 1);
    }
    return pid;
  };
  const auto reap = [](pid_t pid) {
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
  };
  const std::string y4m = slurp(dir_ / "in.y4m");
  for (const bool raw : {true, false}) {
    pid_t w = writer("fifo", raw ? raw_ : y4m);
    Outcome r = tnr(raw ? std::vector<std::string>{"denoise", "fifo", "--size", "64x48", "-o", "p.nv12", "-q"}
                    : std::vector<std::string>{"denoise", "fifo", "-o", "p.nv12", "-q"});
    EXPECT_EQ(r.rc, 0) << r.err;
    EXPECT_TRUE(reap(w)) << "the writer died: the pipe was opened more than once";
    EXPECT_EQ(slurp(dir_ / "p.nv12"), slurp(dir_ / "file.nv12"));
  }
  // A raw reference from a pipe takes --size, as the input does.
  pid_t w = writer("clean", raw_);
  Outcome r = tnr({"denoise", "in.nv12", "--size", "64x48", "--reference", "clean", "-o", "p.nv12"});
  EXPECT_EQ(r.rc, 0) << r.err;
  EXPECT_NE(r.out.find("PSNR (luma"), std::string::npos) << r.out;
  EXPECT_TRUE(reap(w));
  const Snapshot before = snapshot();
  expectRefused(tnr({"denoise", "fifo", "--size", "64x48", "--reference", "fifo", "-o", "q.nv12"}),
                "INPUT and --reference name the same pipe", before);
}

// The range (and in Matroska the matrix, primaries and transfer) travels to
// every output that can hold it.
TEST_F(Robust, RangeTags) {
  spit(dir_ / "full.y4m", y4mOf(raw_, kW, kH, " XCOLORRANGE=FULL"));
  spit(dir_ / "limited.y4m", y4mOf(raw_, kW, kH, " XCOLORRANGE=LIMITED"));
  tnr::VideoInfo info;
  info.width = kW;
  info.height = kH;
  info.colorRange = 2;
  info.colorMatrix = 1;     // BT.709
  info.colorPrimaries = 9;  // BT.2020
  info.colorTransfer = 8;   // linear
  {
    auto w = tnr::createWriter((dir_ / "tagged.mkv").string(), tnr::Container::Mkv, info, "tagged.mkv");
    for (size_t at = 0; at < raw_.size(); at += size_t(kW) * kH * 3 / 2)
      w->write(reinterpret_cast<const uint8_t *>(raw_.data()) + at);
    w->finish();
  }
  ASSERT_EQ(tnr({"denoise", "full.y4m", "-o", "a.mkv", "--compare", "a-cmp.y4m", "-q"}).rc, 0);
  ASSERT_EQ(tnr({"denoise", "a.mkv", "-o", "b.y4m", "--compare", "b-cmp.mkv", "-q"}).rc, 0);
  ASSERT_EQ(tnr({"convert", "b.y4m", "-o", "c.mkv"}).rc, 0);
  Outcome r = tnr({"denoise", "full.y4m", "-o", "-", "-q"});
  EXPECT_NE(r.out.find("XCOLORRANGE=FULL\n"), std::string::npos);
  for (const char *f : {"a.mkv", "a-cmp.y4m", "b.y4m", "b-cmp.mkv", "c.mkv"})
    EXPECT_EQ(infoOf(f).colorRange, 2) << f;
  EXPECT_NE(slurp(dir_ / "b.y4m").find("XCOLORRANGE=FULL\n"), std::string::npos);
  ASSERT_EQ(tnr({"denoise", "limited.y4m", "-o", "l.y4m", "-q"}).rc, 0);
  EXPECT_NE(slurp(dir_ / "l.y4m").find("XCOLORRANGE=LIMITED\n"), std::string::npos);
  ASSERT_EQ(tnr({"denoise", "in.y4m", "-o", "u.y4m", "-q"}).rc, 0);
  EXPECT_EQ(slurp(dir_ / "u.y4m").find("XCOLORRANGE"), std::string::npos);  // unknown stays unknown
  ASSERT_EQ(tnr({"denoise", "tagged.mkv", "-o", "t.mkv", "-q"}).rc, 0);
  const tnr::VideoInfo t = infoOf("t.mkv");
  EXPECT_EQ(t.colorRange, 2);
  EXPECT_EQ(t.colorMatrix, 1);
  EXPECT_EQ(t.colorPrimaries, 9);
  EXPECT_EQ(t.colorTransfer, 8);
}

// Replacing keeps the mode; a file the user could not write is refused.
TEST_F(Robust, Permissions) {
  for (int mode : {0600, 0640, 0755}) {
    spit(dir_ / "out.y4m", "old");
    chmod((dir_ / "out.y4m").c_str(), mode_t(mode));
    spit(dir_ / "cmp.y4m", "old");
    chmod((dir_ / "cmp.y4m").c_str(), mode_t(mode));
    const Snapshot before = snapshot();
    expectDone(tnr(with(kRawIn, {"-o", "out.y4m", "--compare", "cmp.y4m"})), before,
               {"out.y4m", "cmp.y4m"});
    struct stat st {};
    stat((dir_ / "out.y4m").c_str(), &st);
    EXPECT_EQ(st.st_mode & 07777, mode_t(mode));
    stat((dir_ / "cmp.y4m").c_str(), &st);
    EXPECT_EQ(st.st_mode & 07777, mode_t(mode));
    EXPECT_EQ(slurp(dir_ / "out.y4m").rfind("YUV4MPEG2", 0), 0u);
  }
  // A user who may write the folder but not the file: refused, the file kept.
  // As root, the run drops to nobody for this.
  spit(dir_ / "ro.y4m", "read-only");
  chmod((dir_ / "ro.y4m").c_str(), 0444);
  chmod(dir_.c_str(), 0777);
  chmod(root_.c_str(), 0777);
  const auto asUser = [] {
    if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(125);
  };
  const Snapshot before = snapshot();
  Outcome r = tnr(with(kRawIn, {"-o", "ro.y4m"}), "", asUser);
  if (r.rc == 125) GTEST_SKIP() << "cannot run as another user here";
  expectRefused(r, "cannot replace 'ro.y4m' (-o): Permission denied", before);
  chmod((dir_ / "ro.y4m").c_str(), 0644);  // writable by its owner only
  fs::create_directory(dir_ / "rodir");
  chmod((dir_ / "rodir").c_str(), 0555);
  const Snapshot before2 = snapshot();
  if (geteuid() == 0) {
    r = tnr(with(kRawIn, {"-o", "ro.y4m"}), "", asUser);
    expectRefused(r, "cannot replace 'ro.y4m' (-o): Permission denied", before2);
  }
  // A maps folder that cannot be written is refused before the run.
  r = tnr(with(kRawIn, {"-o", "o.y4m", "--maps", "rodir"}), "", asUser);
  expectRefused(r, "cannot write maps into 'rodir': Permission denied", before2);
  chmod(root_.c_str(), 0755);
}

// Standard input is one stream; standard output takes raw NV12 or Y4M.
TEST_F(Robust, StandardInput) {
  const std::string inRaw = (dir_ / "in.nv12").string(), inY4m = (dir_ / "in.y4m").string();
  const Snapshot before = snapshot();
  expectRefused(tnr({"denoise", "-", "--reference", "-", "--size", "64x48", "-o", "o.y4m"}, inRaw),
                "INPUT and --reference both read standard input", before);
  expectRefused(tnr({"denoise", "-", "--size", "64x48", "-o", "o.y4m"}, inY4m),
                "--size is for raw NV12 input, but standard input starts like a container", before);
  expectRefused(tnr({"denoise", "in.y4m", "--size", "64x48", "-o", "o.y4m"}),
                "--size is for raw NV12 input, but 'in.y4m' is named as a container", before);
  spit(dir_ / "noext", slurp(dir_ / "in.y4m"));
  const Snapshot before2 = snapshot();
  expectRefused(tnr({"denoise", "noext", "--size", "64x48", "-o", "o.y4m"}),
                "'noext' starts like a container", before2);
  expectRefused(tnr(with(kRawIn, {"-o", "o.y4m", "--compare", "-"})),
                "--compare cannot write to standard output", before2);
  expectRefused(tnr(with(kRawIn, {"-o", "-", "--format", "mkv"})), "--format", before2);

  ASSERT_EQ(tnr(with(kRawIn, {"-o", "f.nv12"})).rc, 0);
  ASSERT_EQ(tnr(with(kRawIn, {"-o", "f.y4m"})).rc, 0);
  Outcome r = tnr({"denoise", "-", "--size", "64x48", "-o", "-", "--format", "nv12"}, inRaw);
  EXPECT_EQ(r.rc, 0) << r.err;
  EXPECT_EQ(r.out, slurp(dir_ / "f.nv12"));
  EXPECT_NE(r.err.find("frames: 4"), std::string::npos) << "the summary goes to standard error";
  r = tnr({"denoise", "-", "-o", "-", "-q"}, inY4m);
  EXPECT_EQ(r.rc, 0) << r.err;
  EXPECT_EQ(r.out, slurp(dir_ / "f.y4m"));
  ASSERT_EQ(tnr({"convert", "in.nv12", "--size", "64x48", "-o", "c.y4m"}).rc, 0);
  r = tnr({"convert", "in.nv12", "--size", "64x48", "-o", "-", "--format", "y4m"});
  EXPECT_EQ(r.out, slurp(dir_ / "c.y4m"));
}

// Every number is parsed whole and in range, with the range in the message.
TEST_F(Robust, StrictNumbers) {
  const Snapshot before = snapshot();
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{"--size", "4294967616x240"}, "each from 1 to 32768"},
      {{"--size", "64x48x"}, "expects WIDTHxHEIGHT"},
      {{"--size", "+64x48"}, "expects WIDTHxHEIGHT"},
      {{"--size", " 64x48"}, "expects WIDTHxHEIGHT"},
      {{"--size", "64x4.8e1"}, "expects WIDTHxHEIGHT"},
      {{"--size", "0x48"}, "expects WIDTHxHEIGHT"},
      {{"--grid", "64x-48"}, "--grid expects WIDTHxHEIGHT"},
      {{"--frames", "1e3"}, "expects an integer from 0 to"},
      {{"--frames", "99999999999999999999"}, "expects an integer from 0 to"},
      {{"--start", "-1"}, "expects an integer from 0 to"},
      {{"--start", "12abc"}, "expects an integer from 0 to"},
      {{"--sigma-h", "nan"}, "expects a number from 0 to 16"},
      {{"--sigma-h", "inf"}, "expects a number from 0 to 16"},
      {{"--sigma-l", "-0.5"}, "expects a number from 0 to 1.5"},
      {{"--sigma-l", "1e400"}, "expects a number from 0 to 1.5"},
      {{"--sigma-h", "0x10"}, "expects a number from 0 to 16"},
      {{"--uv-ratio", "1.6"}, "expects a number from 0 to 1.5"},
      {{"--uv-ratio", "1.5 "}, "expects a number from 0 to 1.5"},
      {{"--gain", "256"}, "expects an integer from 0 to 255"},
      {{"--static-ratio-bit", "4294967300"}, "expects an integer from 0 to 255"},
      {{"--map-frames", "1,x", "--maps", "m"}, "--map-frames expects frame numbers"},
      {{"--map-frames", "99999999999999999999", "--maps", "m"}, "--map-frames expects frame numbers"},
  };
  for (const auto &[args, message] : cases) {
    std::vector<std::string> base = {"denoise", "in.nv12", "-o", "o.y4m", "-q"};
    if (args[0] != "--size") base = with(base, {"--size", "64x48"});
    expectRefused(tnr(with(base, args)), message, before);
  }
  const std::vector<std::pair<std::vector<std::string>, std::string>> others = {
      {{"convert", "in.y4m", "-o", "o.y4m", "--noise", "nan"}, "expects a number from 0 to 100"},
      {{"convert", "in.y4m", "-o", "o.y4m", "--noise", "-3"}, "expects a number from 0 to 100"},
      {{"convert", "in.y4m", "-o", "o.y4m", "--seed", "4294967296"}, "expects an integer from 0 to"},
      {{"sweep", "in.y4m", "--noise", "4,nan"}, "expects a number from 0 to 100"},
      {{"sweep", "in.y4m", "--sigma-h", "1,-1"}, "expects a number from 0 to 16"},
      {{"sweep", "in.y4m", "--uv-ratio", "1e9"}, "expects a number from 0 to 1.5"},
      {{"sweep", "in.y4m", "--static-ratio-bit", "4,300"}, "expects an integer from 0 to 255"},
      {{"demo", "--frames", "4294967298", "--out", "d"}, "expects an integer from 2 to 100000"},
      {{"demo", "--size", "4294967360x48", "--out", "d"}, "each from 1 to 32768"},
  };
  for (const auto &[args, message] : others) expectRefused(tnr(args), message, before);
#ifdef TNR_EXAMPLE_BINARY
  spit(dir_ / "keep.nv12", "keep");
  const Snapshot withKeep = snapshot();
  for (const std::vector<std::string> &wh : std::vector<std::vector<std::string>>{
           {"4294967360", "48"}, {"64abc", "48"}, {"64", "-48"}, {"64", " 48"}, {"0", "48"}, {"64", ""}}) {
    Outcome r = exec(TNR_EXAMPLE_BINARY, {wh[0], wh[1], "in.nv12", "keep.nv12"});
    expectRefused(r, "must be a whole number from 1 to 32768", withKeep);
  }
#endif
}

// Truncated or damaged inputs: said on standard error with the frames decoded,
// a failure unless --accept-damaged asks to keep what decodes.
TEST_F(Robust, DamagedInputs) {
  ASSERT_EQ(tnr({"convert", "in.y4m", "-o", "in.mkv"}).rc, 0);
  const std::string mkv = slurp(dir_ / "in.mkv"), y4m = slurp(dir_ / "in.y4m");
  spit(dir_ / "short.mkv", mkv.substr(0, mkv.size() * 4 / 10));
  spit(dir_ / "short.y4m", y4m.substr(0, y4m.size() - 1000));
  spit(dir_ / "short.nv12", raw_.substr(0, raw_.size() - 1000));
  std::string bad = mkv;
  for (size_t i = bad.size() / 2; i < bad.size() / 2 + 200; ++i) bad[i] = char(bad[i] ^ 0x5a);
  spit(dir_ / "bad.mkv", bad);
  spit(dir_ / "out.y4m", "previous");
  const Snapshot before = snapshot();
  const struct {
    std::vector<std::string> args;
    std::string message;
  } cases[] = {
      {{"short.mkv"}, "'short.mkv' ended early: "},
      {{"short.y4m"}, "'short.y4m' ends inside its frame 4 (3608 of 4608 bytes) after 3 whole"},
      {{"short.nv12", "--size", "64x48"}, "3608 bytes left over after 3 frames"},
      {{"bad.mkv"}, "(--accept-damaged keeps the frames that decode)"},
  };
  for (const auto &c : cases) {
    std::vector<std::string> args = with({"denoise"}, c.args);
    args.insert(args.end(), {"-o", "out.y4m", "-q"});
    expectRefused(tnr(args), c.message, before);
    Outcome r = tnr(with(args, {"--accept-damaged"}));
    EXPECT_EQ(r.rc, 0) << r.joined << "\n" << r.err;
    EXPECT_NE(r.err.find("tnr: warning: "), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("kept as --accept-damaged asks"), std::string::npos) << r.err;
    EXPECT_TRUE(temporaries().empty());
    spit(dir_ / "out.y4m", "previous");
  }
  // A run that fails after map images were made leaves none (nor their folder).
  expectRefused(tnr({"denoise", "short.y4m", "-o", "out.y4m", "--maps", "m/deep", "--map-frames",
                     "0,1"}),
                "'short.y4m' ends inside its frame 4", before);
  Outcome r = tnr({"denoise", "short.mkv", "-o", "out.y4m", "-q"});
  EXPECT_NE(r.err.find(" s its container announces"), std::string::npos) << r.err;
  r = tnr({"convert", "short.y4m", "-o", "c.nv12", "--accept-damaged"});
  EXPECT_EQ(r.rc, 0);
  EXPECT_EQ(slurp(dir_ / "c.nv12"), raw_.substr(0, raw_.size() / kFrames * 3));

#ifdef TNR_EXAMPLE_BINARY
  // The example checks its input before creating its output, and reports a
  // stream that ends inside a frame.
  spit(dir_ / "keep.nv12", "keep");
  const Snapshot withKeep = snapshot();
  expectRefused(exec(TNR_EXAMPLE_BINARY, {"64", "48", "nosuch.nv12", "keep.nv12"}),
                "cannot open nosuch.nv12", withKeep);
  expectRefused(exec(TNR_EXAMPLE_BINARY, {"64", "48", "short.nv12", "keep.nv12"}),
                "not a whole number of 64x48 NV12 frames", withKeep);
  r = exec("/bin/sh",
           {"-c", "cat short.nv12 | " + std::string(TNR_EXAMPLE_BINARY) + " 64 48 /dev/stdin piped.nv12"});
  EXPECT_EQ(r.rc, 1);
  EXPECT_NE(r.err.find("ends inside a frame: 3608 bytes after 3 whole frames"), std::string::npos)
      << r.err;
#endif
}

// Every signal that can be caught removes the temporaries and leaves the old
// outputs; a write error names the user's file and the system's reason.
TEST_F(Robust, Signals) {
  spit(dir_ / "out.nv12", "previous output");
  spit(dir_ / "cmp.y4m", "previous comparison");
  const Snapshot before = snapshot();
  for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGUSR1, SIGUSR2, SIGALRM, SIGXFSZ, SIGXCPU,
                  SIGVTALRM, SIGPROF, SIGPIPE, SIGRTMIN + 1}) {
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      dup2(fds[0], 0);
      close(fds[1]);
      for (int s = 1; s < NSIG; ++s) signal(s, SIG_DFL);
      const int null = open("/dev/null", O_WRONLY);
      dup2(null, 2);
      if (chdir(dir_.c_str()) != 0) _exit(127);
      execl(TNR_BINARY, TNR_BINARY, "denoise", "-", "--size", "64x48", "-o", "out.nv12",
            "--compare", "cmp.y4m", "--maps", "m", "--map-frames", "0", "-q",
            static_cast<char *>(nullptr));
      _exit(127);
    }
    close(fds[0]);
    // One frame, so that the map's temporaries exist too; the run waits for more.
    ASSERT_EQ(write(fds[1], raw_.data(), raw_.size() / kFrames), ssize_t(raw_.size() / kFrames));
    // Until the run waits for the next frame: 2 videos and 5 maps, twice in a row.
    size_t seen = 0;
    for (int i = 0, stable = 0; i < 500 && stable < 2; ++i) {
      usleep(20000);
      const size_t n = temporaries().size();
      stable = n == 7 && seen == 7 ? stable + 1 : 0;
      seen = n;
    }
    EXPECT_EQ(seen, 7u) << strsignal(sig);
    kill(pid, sig);
    int status = 0;
    waitpid(pid, &status, 0);
    close(fds[1]);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == sig) << strsignal(sig);
    EXPECT_TRUE(temporaries().empty()) << strsignal(sig);
    EXPECT_TRUE(snapshot() == before) << strsignal(sig) << ": files changed";
  }
  // A file-size limit: SIGXFSZ ends the run and takes the temporaries with it;
  // ignored, the write fails and the message names out.nv12 and the reason.
  const auto limit = [](bool ignore) {
    return [ignore] {
      struct rlimit rl {3000, 3000};
      setrlimit(RLIMIT_FSIZE, &rl);
      if (ignore) signal(SIGXFSZ, SIG_IGN);
    };
  };
  Outcome r = tnr(with(kRawIn, {"-o", "out.nv12"}), "", limit(false));
  EXPECT_EQ(r.sig, SIGXFSZ);
  EXPECT_TRUE(temporaries().empty());
  EXPECT_TRUE(snapshot() == before);
  expectRefused(tnr(with(kRawIn, {"-o", "out.nv12"}), "", limit(true)),
                "cannot write 'out.nv12': File too large", before);
  // Standard output to /dev/null, which has no size limit; the limit stays
  // above the messages' length (standard error is a file here too).
  discardStdout_ = true;
  const auto small = [] {
    struct rlimit rl {200, 200};
    setrlimit(RLIMIT_FSIZE, &rl);
    signal(SIGXFSZ, SIG_IGN);
  };
  expectRefused(tnr(with(kRawIn, {"-o", "-", "--maps", "m"}), "", small),
                "cannot write 'm/frame0001_input.png': File too large", before);
  const auto tiny = [] {
    struct rlimit rl {100, 100};
    setrlimit(RLIMIT_FSIZE, &rl);
    signal(SIGXFSZ, SIG_IGN);
  };
  expectRefused(tnr(with(kRawIn, {"-o", "-", "--reference", "in.y4m", "--csv", "p.csv"}), "", tiny),
                "cannot write 'p.csv': File too large", before);
}

// Messages that say what is wrong, warnings for options that do nothing,
// notices for reduced inputs.
TEST_F(Robust, Messages) {
  spit(dir_ / "zero.y4m", "YUV4MPEG2 W0 H240 F25:1\nFRAME\n");
  spit(dir_ / "huge.y4m", "YUV4MPEG2 W99999999999 H240 F25:1\nFRAME\n");
  spit(dir_ / "nonl.y4m", "YUV4MPEG2 W64 H48" + std::string(5000, ' '));
  spit(dir_ / "big.y4m", "YUV4MPEG2 W32768 H32768 F25:1\nFRAME\n");
  spit(dir_ / "mem.y4m", "YUV4MPEG2 W16384 H16384 F25:1\nFRAME\n");
  // 10-bit and interlaced inputs, reduced to 8-bit progressive with a notice.
  std::string ten = "YUV4MPEG2 W64 H48 F25:1 C420p10\n";
  for (int f = 0; f < 2; ++f) {
    ten += "FRAME\n";
    for (int i = 0; i < kW * kH * 3 / 2; ++i) ten += std::string("\x00\x02", 2);
  }
  spit(dir_ / "ten.y4m", ten);
  spit(dir_ / "inter.y4m", y4mOf(raw_, kW, kH, " It"));
  const Snapshot before = snapshot();
  const struct {
    std::vector<std::string> args;
    std::string message;
  } refused[] = {
      {{"denoise", "zero.y4m", "-o", "o.y4m"}, "'zero.y4m' (Y4M header) is 0x240: frames must be at least 16x16"},
      {{"denoise", "huge.y4m", "-o", "o.y4m"}, "width '99999999999' is not a whole number from 1 to 32768"},
      {{"denoise", "nonl.y4m", "-o", "o.y4m"}, "malformed Y4M header: no end of line"},
      {{"denoise", "big.y4m", "-o", "o.y4m"}, "processing grid 32768x32768 is too large for the filter"},
      {{"denoise", "in.nv12", "--size", "64x48", "--grid", "12x8", "-o", "o.y4m"}, "grid 12x8 is too small"},
  };
  for (const auto &c : refused) expectRefused(tnr(c.args), c.message, before);
  const auto smallMemory = [] {
    struct rlimit rl {1ull << 30, 1ull << 30};
    setrlimit(RLIMIT_AS, &rl);
  };
  expectRefused(tnr({"denoise", "mem.y4m", "-o", "o.y4m"}, "", smallMemory),
                "tnr: error: out of memory: 16384x16384 frames need about 10240 MiB of memory",
                before);

  const struct {
    std::vector<std::string> args;
    std::string message;
    std::vector<std::string> outputs;
  } warned[] = {
      {{"-o", "o.y4m", "--csv", "p.csv"}, "tnr: warning: --csv does nothing without --reference", {"o.y4m"}},
      {{"-o", "o.y4m", "--plot", "p.png"}, "tnr: warning: --plot does nothing without --reference", {"o.y4m"}},
      {{"-o", "o.y4m", "--map-frames", "1"}, "tnr: warning: --map-frames does nothing without --maps", {"o.y4m"}},
      {{"-o", "o.y4m", "--format", "nv12"}, "tnr: warning: --format does nothing for a file output", {"o.y4m"}},
      {{"-o", "o.y4m", "--maps", "m", "--map-frames", "2,40"},
       "tnr: warning: --map-frames 40 is beyond the last frame (3): no map for it", {"o.y4m"}},
  };
  for (const auto &c : warned) {
    Snapshot b = snapshot();
    Outcome r = tnr(with(kRawIn, c.args));
    expectDone(r, b, c.outputs, c.message);
    EXPECT_FALSE(fs::exists(dir_ / "p.csv"));
  }
  EXPECT_TRUE(fs::exists(dir_ / "m/frame0002_gain.png"));
  Snapshot b = snapshot();
  expectDone(tnr({"denoise", "ten.y4m", "-o", "t.y4m", "-q"}), b, {"t.y4m"},
             "tnr: note: 'ten.y4m' has 10-bit samples (yuv420p10le): reduced to 8-bit NV12");
  EXPECT_EQ(frames("t.y4m").size(), 2u);
  expectDone(tnr({"denoise", "inter.y4m", "-o", "t.y4m", "-q"}), b, {"t.y4m"},
             "tnr: note: 'inter.y4m' is interlaced (top field first)");

  // A legal name near the file-name limit: the temporary name fits too.
  const std::string longName = std::string(250, 'n') + ".y4m";
  b = snapshot();
  expectDone(tnr(with(kRawIn, {"-o", longName})), b, {});
  EXPECT_TRUE(fs::exists(dir_ / longName));
}
