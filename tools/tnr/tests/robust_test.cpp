// The tool's files and inputs, from a careful user's side: collisions between
// the files a command names, names that are only names, pipes, colour tags,
// permissions, standard input, strict numbers, damaged inputs, signals and the
// messages. Every case checks the exit status and the message, that no
// temporary file is left, and that every file that existed before is byte for
// byte (and mode for mode) what it was. In the asan build every run of the
// tool also ends with LeakSanitizer's check, refused inputs included.
#include <sys/resource.h>

#include <cstring>

#include "harness.h"
#include "video_out.h"

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
}

namespace {

constexpr int kW = 64, kH = 48, kFrames = 4;

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

struct Case {
  Args args;
  std::string message;
};

const Args kRawIn = {"denoise", "in.nv12", "--size", "64x48", "-q"};

class Robust : public ToolRun {
 protected:
  void SetUp() override {
    ToolRun::SetUp();
    raw_ = sceneBytes(kW, kH, kFrames, 3);
    spit(dir_ / "in.nv12", raw_);
    spit(dir_ / "in.y4m", y4mOf(raw_, kW, kH));
  }
  // Each case's arguments after `prefix` must be refused.
  void refuseAll(const std::vector<Case> &cases, const Args &prefix = {}) {
    const Snapshot before = snapshot();
    for (const Case &c : cases) expectRefused(tnr(with(prefix, c.args)), c.message, before);
  }
  tnr::VideoInfo infoOf(const std::string &name) {
    return tnr::openVideo((dir_ / name).string(), {})->info();
  }

  std::string raw_;
};

}  // namespace

// Outputs compared with every other named file as files, before anything runs.
TEST_F(Robust, Collisions) {
  spit(dir_ / "out.mkv", "old output");
  spit(dir_ / "out.y4m", "old y4m");
  spit(dir_ / "p.csv", "old csv");
  fs::create_symlink("in.nv12", dir_ / "link.nv12");
  fs::create_hard_link(dir_ / "in.nv12", dir_ / "hard.nv12");
  fs::create_directory(dir_ / "sub");
  const Args ref = {"--reference", "in.y4m"};
  refuseAll({{{"-o", "out.mkv", "--compare", "./out.mkv"}, "-o and --compare name the same file"},
             {with({"-o", "out.y4m", "--csv", "./out.y4m"}, ref), "-o and --csv name the same file"},
             {with({"-o", "o.y4m", "--csv", "p.csv", "--plot", "p.csv"}, ref),
              "--csv and --plot name the same file"},
             {with({"-o", "o.y4m", "--csv", "p.png"}, ref),
              "--csv and the plot of --csv name the same file"},
             {with({"-o", "o.y4m", "--compare", "x.y4m", "--csv", "x.y4m"}, ref),
              "--compare and --csv name the same file"},
             {{"-o", "link.nv12"}, "INPUT and -o name the same file"},
             {{"-o", "hard.nv12"}, "INPUT and -o name the same file"},
             {{"-o", "sub/../in.nv12"}, "INPUT and -o name the same file"},
             {with({"-o", "o.y4m", "--compare", "in.y4m"}, ref),
              "--reference and --compare name the same file"},
             {{"-o", "o.y4m", "--maps", "o.y4m"}, "-o and --maps name the same file"},
             {{"-o", "o.y4m", "--maps", "./out.mkv"}, "--maps './out.mkv' is not a folder"},
             {{"-o", "o.y4m", "--maps", "in.nv12/maps"},
              "cannot create the maps folder 'in.nv12/maps'"}},
            kRawIn);
  // convert and sweep compare theirs too.
  refuseAll({{{"convert", "in.y4m", "-o", "./in.y4m"}, "INPUT and -o name the same file"},
             {{"sweep", "in.y4m", "--csv", "in.y4m"}, "CLEAN and --csv name the same file"}});
}

// A name on the command line is a local file: no protocol prefix, no
// concatenation, no file named inside a playlist.
TEST_F(Robust, Names) {
  spit(dir_ / "file:in.y4m", y4mOf(sceneBytes(96, 64, 3, 4), 96, 64));  // a colon in its name
  for (const char *out : {"a.mkv", "b.mkv"}) ASSERT_EQ(tnr({"convert", "in.y4m", "-o", out}).rc, 0);
  ASSERT_EQ(tnr({"convert", "file:in.y4m", "-o", "file:in.mkv"}).rc, 0);
  spit(dir_ / "concat:a.mkv|b.mkv", "");
  spit(dir_ / "list.ffconcat", "ffconcat version 1.0\nfile a.mkv\nfile b.mkv\n");
  spit(dir_ / "list.m3u8", "#EXTM3U\n#EXT-X-TARGETDURATION:1\n#EXTINF:1,\na.mkv\n#EXT-X-ENDLIST\n");

  // The file named 'file:in.mkv' is read, not in.mkv (which it would replace).
  succeed({"denoise", "file:in.mkv", "-o", "in.mkv", "-q"}, {"in.mkv"});
  EXPECT_EQ(infoOf("in.mkv").width, 96);
  EXPECT_EQ(infoOf("file:in.mkv").width, 96);
  refuseAll({{{"denoise", "concat:a.mkv|b.mkv", "-o", "o.mkv"}, "'concat:a.mkv|b.mkv' is empty"},
             {{"denoise", "list.ffconcat", "-o", "o.mkv"}, "cannot read"},
             {{"denoise", "list.m3u8", "-o", "o.mkv"}, "cannot read"}});
  // Outputs too: a folder with a colon, an output with a protocol-like name.
  fs::create_directory(dir_ / "pipe:x");
  EXPECT_EQ(tnr({"convert", "in.y4m", "-o", "pipe:x/c.mkv"}).rc, 0);
  EXPECT_EQ(frames("pipe:x/c.mkv").size(), size_t(kFrames));
}

// A named pipe is opened once, so a writer that writes everything and leaves
// is enough; the same pipe cannot be input and reference.
TEST_F(Robust, Pipes) {
  ASSERT_EQ(tnr(with(kRawIn, {"-o", "file.nv12"})).rc, 0);
  ASSERT_EQ(mkfifo((dir_ / "fifo").c_str(), 0644), 0);
  ASSERT_EQ(mkfifo((dir_ / "clean").c_str(), 0644), 0);
  // Writes data into the pipe and leaves; true when it was not killed.
  const auto writer = [&](const std::string &fifo, const std::string &data) {
    const pid_t pid = fork();
    if (pid == 0) {
      signal(SIGPIPE, SIG_DFL);
      const int fd = open((dir_ / fifo).c_str(), O_WRONLY);
      for (size_t at = 0; fd >= 0 && at < data.size();) {
        const ssize_t n = write(fd, data.data() + at, data.size() - at);
        if (n <= 0) _exit(1);
        at += size_t(n);
      }
      _exit(fd >= 0 ? 0 : 1);
    }
    return [pid] {
      int status = 0;
      waitpid(pid, &status, 0);
      return WIFEXITED(status) && WEXITSTATUS(status) == 0;
    };
  };
  for (const bool raw : {true, false}) {
    const auto reap = writer("fifo", raw ? raw_ : slurp(dir_ / "in.y4m"));
    const Outcome r = tnr(raw ? Args{"denoise", "fifo", "--size", "64x48", "-o", "p.nv12", "-q"}
                              : Args{"denoise", "fifo", "-o", "p.nv12", "-q"});
    EXPECT_EQ(r.rc, 0) << r.err;
    EXPECT_TRUE(reap()) << "the writer died: the pipe was opened more than once";
    EXPECT_EQ(slurp(dir_ / "p.nv12"), slurp(dir_ / "file.nv12"));
  }
  // A raw reference from a pipe takes --size, as the input does.
  const auto reap = writer("clean", raw_);
  const Outcome r = tnr({"denoise", "in.nv12", "--size", "64x48", "--reference", "clean", "-o", "p.nv12"});
  EXPECT_EQ(r.rc, 0) << r.err;
  EXPECT_NE(r.out.find("PSNR (luma"), std::string::npos) << r.out;
  EXPECT_TRUE(reap());
  refuseAll({{{"denoise", "fifo", "--size", "64x48", "--reference", "fifo", "-o", "q.nv12"},
              "INPUT and --reference name the same pipe"}});
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
  for (const Args &a : {Args{"denoise", "full.y4m", "-o", "a.mkv", "--compare", "a-cmp.y4m", "-q"},
                        Args{"denoise", "a.mkv", "-o", "b.y4m", "--compare", "b-cmp.mkv", "-q"},
                        Args{"convert", "b.y4m", "-o", "c.mkv"},
                        Args{"denoise", "limited.y4m", "-o", "l.y4m", "-q"},
                        Args{"denoise", "in.y4m", "-o", "u.y4m", "-q"},
                        Args{"denoise", "tagged.mkv", "-o", "t.mkv", "-q"}})
    ASSERT_EQ(tnr(a).rc, 0) << a[1];
  for (const char *f : {"a.mkv", "a-cmp.y4m", "b.y4m", "b-cmp.mkv", "c.mkv"})
    EXPECT_EQ(infoOf(f).colorRange, 2) << f;
  EXPECT_NE(tnr({"denoise", "full.y4m", "-o", "-", "-q"}).out.find("XCOLORRANGE=FULL\n"), std::string::npos);
  EXPECT_NE(slurp(dir_ / "b.y4m").find("XCOLORRANGE=FULL\n"), std::string::npos);
  EXPECT_NE(slurp(dir_ / "l.y4m").find("XCOLORRANGE=LIMITED\n"), std::string::npos);
  EXPECT_EQ(slurp(dir_ / "u.y4m").find("XCOLORRANGE"), std::string::npos);  // unknown stays unknown
  const tnr::VideoInfo t = infoOf("t.mkv");
  EXPECT_EQ(std::vector<int>({t.colorRange, t.colorMatrix, t.colorPrimaries, t.colorTransfer}),
            std::vector<int>({2, 1, 9, 8}));
}

// Replacing keeps the mode; a file the user could not write (or read) is
// refused. As root, those runs drop to nobody.
TEST_F(Robust, Permissions) {
  for (int mode : {0600, 0640, 0755}) {
    for (const char *f : {"out.y4m", "cmp.y4m"}) {
      spit(dir_ / f, "old");
      chmod((dir_ / f).c_str(), mode_t(mode));
    }
    succeed(with(kRawIn, {"-o", "out.y4m", "--compare", "cmp.y4m"}), {"out.y4m", "cmp.y4m"});
    for (const char *f : {"out.y4m", "cmp.y4m"}) {
      struct stat st {};
      stat((dir_ / f).c_str(), &st);
      EXPECT_EQ(st.st_mode & 07777, mode_t(mode)) << f;
      EXPECT_EQ(slurp(dir_ / f).rfind("YUV4MPEG2", 0), 0u) << f;
    }
  }
  spit(dir_ / "ro.y4m", "read-only");
  chmod((dir_ / "ro.y4m").c_str(), 0444);
  chmod(dir_.c_str(), 0777);
  chmod(root_.c_str(), 0777);
  // The other user runs a copy of the tool beside the work folder: the build
  // folder may be closed to it (a checkout in a private folder).
  const std::string tool = (root_ / "tnr").string();
  fs::copy_file(TNR_BINARY, tool);
  chmod(tool.c_str(), 0755);
  const auto asUser = [&tool] {
    if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0)) _exit(125);
    if (access(tool.c_str(), X_OK) != 0) _exit(125);
  };
  Snapshot before = snapshot();
  Outcome r = exec(tool, with(kRawIn, {"-o", "ro.y4m"}), "", asUser);
  if (r.rc == 125) GTEST_SKIP() << "cannot run as another user here";
  expectRefused(r, "cannot replace 'ro.y4m' (-o): Permission denied", before);
  chmod((dir_ / "ro.y4m").c_str(), 0644);  // writable by its owner only
  fs::create_directory(dir_ / "rodir");
  chmod((dir_ / "rodir").c_str(), 0555);
  spit(dir_ / "secret.nv12", raw_);
  chmod((dir_ / "secret.nv12").c_str(), 0);
  before = snapshot();
  std::vector<Case> cases = {
      // A maps folder that cannot be written is refused before the run.
      {with(kRawIn, {"-o", "o.y4m", "--maps", "rodir"}), "cannot write maps into 'rodir': Permission denied"},
      {{"denoise", "secret.nv12", "--size", "64x48", "-o", "o.nv12"},
       "cannot open 'secret.nv12': Permission denied"}};
  if (geteuid() == 0)
    cases.push_back({with(kRawIn, {"-o", "ro.y4m"}), "cannot replace 'ro.y4m' (-o): Permission denied"});
  for (const Case &c : cases) expectRefused(exec(tool, c.args, "", asUser), c.message, before);
  chmod(root_.c_str(), 0755);
}

// Standard input is one stream; standard output takes raw NV12 or Y4M.
TEST_F(Robust, StandardInput) {
  const std::string inRaw = (dir_ / "in.nv12").string(), inY4m = (dir_ / "in.y4m").string();
  spit(dir_ / "noext", slurp(dir_ / "in.y4m"));
  const Snapshot before = snapshot();
  expectRefused(tnr({"denoise", "-", "--reference", "-", "--size", "64x48", "-o", "o.y4m"}, inRaw),
                "INPUT and --reference both read standard input", before);
  expectRefused(tnr({"denoise", "-", "--size", "64x48", "-o", "o.y4m"}, inY4m),
                "--size is for raw NV12 input, but standard input starts like a container", before);
  // A stream that ends inside a frame.
  spit(dir_ / "short.nv12", raw_.substr(0, raw_.size() - 1000));
  refuse({"denoise", "-", "--size", "64x48", "-o", "o.y4m"}, "standard input is not a whole number of 64x48 NV12 frames",
         (dir_ / "short.nv12").string());
  refuseAll({{{"denoise", "in.y4m", "--size", "64x48", "-o", "o.y4m"},
              "--size is for raw NV12 input, but 'in.y4m' is named as a container"},
             {{"denoise", "noext", "--size", "64x48", "-o", "o.y4m"}, "'noext' starts like a container"},
             {with(kRawIn, {"-o", "o.y4m", "--compare", "-"}), "--compare cannot write to standard output"},
             {with(kRawIn, {"-o", "-", "--format", "mkv"}), "--format"}});

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
  EXPECT_EQ(tnr({"convert", "in.nv12", "--size", "64x48", "-o", "-", "--format", "y4m"}).out,
            slurp(dir_ / "c.y4m"));
}

// Every number is parsed whole and in range, with the range in the message.
TEST_F(Robust, StrictNumbers) {
  std::vector<Case> cases;
  for (const Case &c : std::vector<Case>{
           {{"--size", "4294967616x240"}, "each from 1 to 32768"},
           {{"--size", "64x48x"}, "expects WIDTHxHEIGHT"},
           {{"--size", "+64x48"}, "expects WIDTHxHEIGHT"},
           {{"--size", " 64x48"}, "expects WIDTHxHEIGHT"},
           {{"--size", "64x4.8e1"}, "expects WIDTHxHEIGHT"},
           {{"--size", "0x48"}, "expects WIDTHxHEIGHT"},
           {{"--grid", "64x-48"}, "--grid expects WIDTHxHEIGHT"},
           {{"--preset", "heavy"}, "expects one of light, medium, strong, got 'heavy'"},
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
           {{"--spatial", "16"}, "expects a number from 0 to 15.9"},
           {{"--spatial", "-0.1"}, "expects a number from 0 to 15.9"},
           {{"--gain", "256"}, "expects an integer from 0 to 255"},
           {{"--static-ratio-bit", "4294967300"}, "expects an integer from 0 to 255"},
           {{"--map-frames", "1,x", "--maps", "m"}, "--map-frames expects frame numbers"},
           {{"--map-frames", "99999999999999999999", "--maps", "m"}, "--map-frames expects frame numbers"}})
    cases.push_back({with({"denoise", "in.nv12", "-o", "o.y4m", "-q"},
                          with(c.args[0] == "--size" ? Args{} : Args{"--size", "64x48"}, c.args)),
                     c.message});
  refuseAll(with(cases, {{{"convert", "in.y4m", "-o", "o.y4m", "--noise", "nan"}, "expects a number from 0 to 100"},
                         {{"convert", "in.y4m", "-o", "o.y4m", "--noise", "-3"}, "expects a number from 0 to 100"},
                         {{"convert", "in.y4m", "-o", "o.y4m", "--seed", "4294967296"}, "expects an integer from 0 to"},
                         {{"sweep", "in.y4m", "--noise", "4,nan"}, "expects a number from 0 to 100"},
                         {{"sweep", "in.y4m", "--sigma-h", "1,-1"}, "expects a number from 0 to 16"},
                         {{"sweep", "in.y4m", "--uv-ratio", "1e9"}, "expects a number from 0 to 1.5"},
                         {{"sweep", "in.y4m", "--static-ratio-bit", "4,300"}, "expects an integer from 0 to 255"},
                         {{"demo", "--frames", "4294967298", "--out", "d"}, "expects an integer from 2 to 100000"},
                         {{"demo", "--size", "4294967360x48", "--out", "d"}, "each from 1 to 32768"}}));
#ifdef TNR_EXAMPLE_BINARY
  spit(dir_ / "keep.nv12", "keep");
  const Snapshot withKeep = snapshot();
  for (const Args &wh : {Args{"4294967360", "48"}, Args{"64abc", "48"}, Args{"64", "-48"},
                         Args{"64", " 48"}, Args{"0", "48"}, Args{"64", ""}})
    expectRefused(exec(TNR_EXAMPLE_BINARY, with(wh, {"in.nv12", "keep.nv12"})),
                  "must be a whole number from 1 to 32768", withKeep);
  // Sizes the filter refuses, said as too small or too large.
  for (const Case &c : std::vector<Case>{{{"12", "8"}, "unsupported size 12x8: need even sizes of at least 14x8"},
                                         {{"20000", "20000"}, "unsupported size 20000x20000: too large"}})
    expectRefused(exec(TNR_EXAMPLE_BINARY, with(c.args, {"in.nv12", "keep.nv12"})), c.message, withKeep);
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
  for (const Case &c : std::vector<Case>{
           {{"short.mkv"}, "'short.mkv' ended early: "},
           {{"short.y4m"}, "'short.y4m' ends inside its frame 4 (3608 of 4608 bytes) after 3 whole"},
           {{"short.nv12", "--size", "64x48"}, "3608 bytes left over after 3 frames"},
           {{"bad.mkv"}, "(--accept-damaged keeps the frames that decode)"}}) {
    const Args args = with(with({"denoise"}, c.args), {"-o", "out.y4m", "-q"});
    expectRefused(tnr(args), c.message, before);
    const Outcome r = tnr(with(args, {"--accept-damaged"}));
    expectDone(r, before, {"out.y4m"}, "tnr: warning: ");
    EXPECT_NE(r.err.find("kept as --accept-damaged asks"), std::string::npos) << r.err;
    spit(dir_ / "out.y4m", "previous");
  }
  // A run that fails after map images were made leaves none (nor their folder).
  expectRefused(tnr({"denoise", "short.y4m", "-o", "out.y4m", "--maps", "m/deep", "--map-frames", "0,1"}),
                "'short.y4m' ends inside its frame 4", before);
  EXPECT_NE(tnr({"denoise", "short.mkv", "-o", "out.y4m", "-q"}).err.find(" s its container announces"),
            std::string::npos);
  EXPECT_EQ(tnr({"convert", "short.y4m", "-o", "c.nv12", "--accept-damaged"}).rc, 0);
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
  const Outcome r = exec("/bin/sh", {"-c", "cat short.nv12 | " TNR_EXAMPLE_BINARY " 64 48 /dev/stdin p.nv12"});
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
    ASSERT_EQ(pipe2(fds, O_CLOEXEC), 0);
    const pid_t pid = spawn(TNR_BINARY, {"denoise", "-", "--size", "64x48", "-o", "out.nv12", "--compare",
                                         "cmp.y4m", "--maps", "m", "--map-frames", "0", "-q"},
                            fds[0]);
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
    const Outcome r = finish(pid, strsignal(sig));
    close(fds[1]);
    EXPECT_EQ(r.sig, sig) << strsignal(sig);
    EXPECT_TRUE(temporaries().empty()) << strsignal(sig);
    EXPECT_TRUE(snapshot() == before) << strsignal(sig) << ": files changed";
  }
  // A file-size limit: SIGXFSZ ends the run and takes the temporaries with it;
  // ignored, the write fails and the message names the user's file and the
  // reason. Standard output goes to /dev/null (no size limit) for the maps
  // and CSV cases; each limit stays above the messages' length.
  const auto limit = [](rlim_t bytes, bool ignore) {
    return [bytes, ignore] {
      struct rlimit rl {bytes, bytes};
      setrlimit(RLIMIT_FSIZE, &rl);
      if (ignore) signal(SIGXFSZ, SIG_IGN);
    };
  };
  const Outcome r = tnr(with(kRawIn, {"-o", "out.nv12"}), "", limit(3000, false));
  EXPECT_EQ(r.sig, SIGXFSZ);
  EXPECT_TRUE(temporaries().empty());
  EXPECT_TRUE(snapshot() == before);
  expectRefused(tnr(with(kRawIn, {"-o", "out.nv12"}), "", limit(3000, true)),
                "cannot write 'out.nv12': File too large", before);
  discardStdout_ = true;
  expectRefused(tnr(with(kRawIn, {"-o", "-", "--maps", "m"}), "", limit(200, true)),
                "cannot write 'm/frame0001_input.png': File too large", before);
  expectRefused(tnr(with(kRawIn, {"-o", "-", "--reference", "in.y4m", "--csv", "p.csv"}), "", limit(100, true)),
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
  spit(dir_ / "small.nv12", std::string(4 * 4 * 3 / 2 * 2, '\x80'));
  spit(dir_ / "odd.nv12", std::string(33 * 64 * 3 / 2, '\x80'));
  spit(dir_ / "text.avi", "this is not a video\n");
  {  // A Matroska file FFmpeg opens and the tool refuses right after.
    tnr::VideoInfo tiny;
    tiny.width = tiny.height = 8;
    auto w = tnr::createWriter((dir_ / "tiny.mkv").string(), tnr::Container::Mkv, tiny, "tiny.mkv");
    w->write(reinterpret_cast<const uint8_t *>(raw_.data()));
    w->finish();
  }
  spit(dir_ / "clean.y4m", y4mOf(std::string(48 * 32 * 3 / 2, '\x80'), 48, 32));
  fs::create_directory(dir_ / "folder");
  // 10-bit and interlaced inputs, reduced to 8-bit progressive with a notice.
  std::string ten = "YUV4MPEG2 W64 H48 F25:1 C420p10\n";
  for (int f = 0; f < 2; ++f) ten += "FRAME\n" + std::string(kW * kH * 3 / 2 * 2, '\x00');
  spit(dir_ / "ten.y4m", ten);
  spit(dir_ / "inter.y4m", y4mOf(raw_, kW, kH, " It"));
  const Args o = {"-o", "o.y4m"};
  refuseAll({{with({"denoise", "zero.y4m"}, o), "'zero.y4m' (Y4M header) is 0x240: frames must be at least 16x16"},
             {with({"denoise", "huge.y4m"}, o), "width '99999999999' is not a whole number from 1 to 32768"},
             {with({"denoise", "nonl.y4m"}, o), "malformed Y4M header: no end of line"},
             {with({"denoise", "big.y4m"}, o), "processing grid 32768x32768 is too large for the filter"},
             {with({"denoise", "missing.avi"}, o), "cannot open 'missing.avi': No such file"},
             {with({"denoise", "folder"}, o), "it is a directory"},
             {with({"denoise", "text.avi"}, o), "unknown or unsupported format"},
             {with({"denoise", "tiny.mkv"}, o), "'tiny.mkv' is 8x8: frames must be at least 16x16"},
             {with({"denoise", "odd.nv12", "--size", "33x64"}, o), "odd frame sizes are rejected"},
             {with({"denoise", "small.nv12", "--size", "4x4"}, o), "at least 16x16"},
             {with({"denoise", "in.nv12"}, o), "needs --size"},
             {with(kRawIn, {"--grid", "12x8", "-o", "o.y4m"}), "grid 12x8 is too small"},
             {with(kRawIn, {"--grid", "80x48", "-o", "o.y4m"}), "does not fit"},
             {with(kRawIn, {"--reference", "clean.y4m", "-o", "o.y4m"}), "the reference is 48x32 but the input is 64x48"},
             {with(kRawIn, {"-o", "o.avi"}), "unknown output format '.avi'"},
             {with(kRawIn, {"-o", "nodir/o.nv12"}), "cannot write 'nodir/o.nv12'"},
             {with(kRawIn, {"-o", "folder"}), "it is a directory"}});
#ifndef TNR_TOOL_SANITIZED  // AddressSanitizer reserves more address space than the limit
  const auto smallMemory = [] {
    struct rlimit rl {1ull << 30, 1ull << 30};
    setrlimit(RLIMIT_AS, &rl);
  };
  refuse(with({"denoise", "mem.y4m"}, o),
         "tnr: error: out of memory: 16384x16384 frames need about 10240 MiB of memory", "", smallMemory);
#endif

  for (const Case &c : std::vector<Case>{
           {{"--csv", "p.csv"}, "tnr: warning: --csv does nothing without --reference"},
           {{"--plot", "p.png"}, "tnr: warning: --plot does nothing without --reference"},
           {{"--map-frames", "1"}, "tnr: warning: --map-frames does nothing without --maps"},
           {{"--format", "nv12"}, "tnr: warning: --format does nothing for a file output"},
           {{"--maps", "m", "--map-frames", "2,40"},
            "tnr: warning: --map-frames 40 is beyond the last frame (3): no map for it"}}) {
    succeed(with(with(kRawIn, o), c.args), {"o.y4m"}, c.message);
    EXPECT_FALSE(fs::exists(dir_ / "p.csv"));
  }
  EXPECT_TRUE(fs::exists(dir_ / "m/frame0002_gain.png"));
  succeed({"denoise", "ten.y4m", "-o", "t.y4m", "-q"}, {"t.y4m"},
          "tnr: note: 'ten.y4m' has 10-bit samples (yuv420p10le): reduced to 8-bit NV12");
  EXPECT_EQ(frames("t.y4m").size(), 2u);
  succeed({"denoise", "inter.y4m", "-o", "t.y4m", "-q"}, {"t.y4m"},
          "tnr: note: 'inter.y4m' is interlaced (top field first)");
  // The field order stays in the Y4M and Matroska outputs, and back.
  EXPECT_EQ(slurp(dir_ / "t.y4m").rfind("YUV4MPEG2 W64 H48 F25:1 It ", 0), 0u);
  spit(dir_ / "bff.y4m", y4mOf(raw_, kW, kH, " Ib"));
  for (const std::string f : {"inter", "bff"}) {
    ASSERT_EQ(tnr({"denoise", f + ".y4m", "-o", f + ".mkv", "-q"}).rc, 0);
    succeed({"denoise", f + ".mkv", "-o", f + "2.y4m", "-q"}, {f + "2.y4m"},
            "tnr: note: '" + f + ".mkv' is interlaced (" + (f == "bff" ? "bottom" : "top") + " field first)");
    EXPECT_EQ(slurp(dir_ / (f + "2.y4m")).rfind(std::string("YUV4MPEG2 W64 H48 F25:1 I") + (f == "bff" ? "b" : "t"), 0), 0u);
  }
  // F0:0 is Y4M's unknown rate: read at the default rate, as without an F tag.
  std::string unknownRate = slurp(dir_ / "in.y4m");
  unknownRate.replace(unknownRate.find(" F25:1"), 6, " F0:0");
  spit(dir_ / "rate.y4m", unknownRate);
  succeed({"denoise", "rate.y4m", "-o", "r.y4m", "-q"}, {"r.y4m"},
          "tnr: note: 'rate.y4m' does not say its frame rate (F0:0): 25 frames a second assumed");
  EXPECT_EQ(slurp(dir_ / "r.y4m").rfind("YUV4MPEG2 W64 H48 F25:1 ", 0), 0u);
  EXPECT_EQ(frames("r.y4m").size(), size_t(kFrames));
  // The demo's own map frames are those its scene has: no warning however short.
  for (const char *n : {"2", "10", "11"}) {
    const Outcome r = tnr({"demo", "--frames", n, "--size", "64x48", "--out", "demo", "-q"});
    EXPECT_EQ(r.rc, 0) << r.err;
    EXPECT_EQ(r.err, "") << n;
    EXPECT_TRUE(fs::exists(dir_ / "demo/maps/frame0001_gain.png")) << n;
  }

  // A legal name near the file-name limit: the temporary name fits too.
  const std::string longName = std::string(250, 'n') + ".y4m";
  succeed(with(kRawIn, {"-o", longName}), {});
  EXPECT_TRUE(fs::exists(dir_ / longName));
}

namespace {

// n frames of the demo scene, encoded with FFV1 at the given times (ticks of
// tb) into an AVI, whose writer puts an empty repeat-frame chunk in every
// tick without a frame, or into Matroska (rate: the nominal rate it states).
void writeTimed(const fs::path &path, const char *format, AVRational tb, AVRational rate,
                const std::vector<int64_t> &pts, int64_t lastDuration) {
  const std::string nv12 = sceneBytes(kW, kH, int(pts.size()), 5);
  AVFormatContext *fmt = nullptr;
  ASSERT_GE(avformat_alloc_output_context2(&fmt, nullptr, format, path.c_str()), 0);
  AVStream *st = avformat_new_stream(fmt, nullptr);
  const AVCodec *codec = avcodec_find_encoder(AV_CODEC_ID_FFV1);
  AVCodecContext *enc = avcodec_alloc_context3(codec);
  enc->width = kW;
  enc->height = kH;
  enc->pix_fmt = AV_PIX_FMT_YUV420P;
  enc->time_base = tb;
  enc->framerate = rate;
  if (fmt->oformat->flags & AVFMT_GLOBALHEADER) enc->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
  ASSERT_GE(avcodec_open2(enc, codec, nullptr), 0);
  avcodec_parameters_from_context(st->codecpar, enc);
  st->time_base = tb;
  st->avg_frame_rate = rate;
  ASSERT_GE(avio_open(&fmt->pb, path.c_str(), AVIO_FLAG_WRITE), 0);
  ASSERT_GE(avformat_write_header(fmt, nullptr), 0);
  AVFrame *f = av_frame_alloc();
  f->format = AV_PIX_FMT_YUV420P;
  f->width = kW;
  f->height = kH;
  ASSERT_GE(av_frame_get_buffer(f, 0), 0);
  AVPacket *pkt = av_packet_alloc();
  const size_t luma = size_t(kW) * kH, bytes = luma * 3 / 2;
  for (size_t i = 0; i <= pts.size(); ++i) {
    if (i < pts.size()) {
      const auto *src = reinterpret_cast<const uint8_t *>(nv12.data()) + i * bytes;
      for (int y = 0; y < kH; ++y) std::memcpy(f->data[0] + y * f->linesize[0], src + y * kW, kW);
      for (int y = 0; y < kH / 2; ++y)
        for (int x = 0; x < kW / 2; ++x) {
          f->data[1][y * f->linesize[1] + x] = src[luma + y * kW + 2 * x];
          f->data[2][y * f->linesize[2] + x] = src[luma + y * kW + 2 * x + 1];
        }
      f->pts = pts[i];
    }
    ASSERT_GE(avcodec_send_frame(enc, i < pts.size() ? f : nullptr), 0);
    while (avcodec_receive_packet(enc, pkt) == 0) {
      const size_t k = std::find(pts.begin(), pts.end(), pkt->pts) - pts.begin();
      pkt->duration = k + 1 < pts.size() ? pts[k + 1] - pts[k] : lastDuration;
      av_packet_rescale_ts(pkt, enc->time_base, st->time_base);
      ASSERT_GE(av_interleaved_write_frame(fmt, pkt), 0);
    }
  }
  ASSERT_GE(av_write_trailer(fmt), 0);
  avio_closep(&fmt->pb);
  av_packet_free(&pkt);
  av_frame_free(&f);
  avcodec_free_context(&enc);
  avformat_free_context(fmt);
}

// What FFmpeg reads from a file: the frames' times (s, from the first) and
// the stream's duration (s; the file's when the stream does not say).
struct Timing {
  std::vector<double> times;
  double duration = 0;
};
Timing probe(const fs::path &path) {
  Timing t;
  AVFormatContext *fmt = nullptr;
  if (avformat_open_input(&fmt, path.c_str(), nullptr, nullptr) < 0) return t;
  avformat_find_stream_info(fmt, nullptr);
  const AVStream *st = fmt->streams[0];
  t.duration = st->duration > 0 ? st->duration * av_q2d(st->time_base) : fmt->duration / double(AV_TIME_BASE);
  AVPacket *pkt = av_packet_alloc();
  while (av_read_frame(fmt, pkt) == 0) {
    if (pkt->size > 0) t.times.push_back(pkt->pts * av_q2d(st->time_base));
    av_packet_unref(pkt);
  }
  std::sort(t.times.begin(), t.times.end());
  for (double &x : t.times) x -= t.times.empty() ? 0 : t.times.front();
  av_packet_free(&pkt);
  avformat_close_input(&fmt);
  return t;
}

}  // namespace

// Inputs whose frames are irregular in time: an AVI with empty repeat-frame
// chunks, and a variable-frame-rate Matroska file. Both are whole; Matroska
// outputs keep every frame's time and the input's duration; Y4M and raw NV12
// outputs, at the input's constant rate, repeat a frame over each gap (and
// leave out a frame whose slot a later one takes, as FFmpeg writes a constant
// rate), so they last as long too, and the summary says so.
TEST_F(Robust, FrameTimes) {
  // 15 frames a second; 12 frames over 31 ticks, the rest empty chunks.
  writeTimed(dir_ / "gaps.avi", "avi", {1, 15}, {15, 1}, {0, 1, 5, 6, 12, 20, 21, 22, 26, 27, 28, 30}, 1);
  // Nominally 30 frames a second in milliseconds: gaps, and two frames in the
  // slot of 0.4 s (410 ms rounds to the same 30th of a second as 400).
  writeTimed(dir_ / "vfr.mkv", "matroska", {1, 1000}, {30, 1},
             {0, 33, 67, 100, 200, 233, 400, 410, 433, 467, 700, 733, 767, 800}, 33);
  for (const auto &[name, fps] : std::vector<std::pair<std::string, int>>{{"gaps.avi", 15}, {"vfr.mkv", 30}}) {
    SCOPED_TRACE(name);
    const Timing in = probe(dir_ / name);
    ASSERT_EQ(in.times.size(), name == "gaps.avi" ? 12u : 14u);
    ASSERT_NEAR(in.duration, name == "gaps.avi" ? 31 / 15.0 : 0.833, 1e-3);
    succeed({"denoise", name, "-o", "t.mkv", "-q"}, {"t.mkv"});
    const Timing mkv = probe(dir_ / "t.mkv");
    ASSERT_EQ(mkv.times.size(), in.times.size());
    for (size_t i = 0; i < in.times.size(); ++i) EXPECT_NEAR(mkv.times[i], in.times[i], 1e-3) << i;
    EXPECT_NEAR(mkv.duration, in.duration, 1e-3);
    // Each frame takes the slots from its time to the next frame's.
    std::vector<long long> runs;
    for (size_t i = 0; i < in.times.size(); ++i)
      runs.push_back(std::llround((i + 1 < in.times.size() ? in.times[i + 1] : in.duration) * fps) -
                     std::llround(in.times[i] * fps));
    const Outcome r = tnr({"denoise", name, "-o", "t.y4m"});
    ASSERT_EQ(r.rc, 0) << r.err;
    const long long slots = std::llround(in.duration * fps);
    const long long dropped = std::count(runs.begin(), runs.end(), 0);
    EXPECT_NE(r.out.find("t.y4m holds " + std::to_string(slots) + " frames at the constant " +
                         std::to_string(fps) + ".000 frames/s: frames repeated " +
                         std::to_string(slots - long(in.times.size()) + dropped) + " times and " +
                         std::to_string(dropped) + " left out"),
              std::string::npos)
        << r.out;
    EXPECT_EQ(slurp(dir_ / "t.y4m").rfind("YUV4MPEG2 W64 H48 F" + std::to_string(fps) + ":1 ", 0), 0u);
    const std::vector<tnr::Frame> filtered = frames("t.mkv"), y4m = frames("t.y4m");
    ASSERT_EQ(y4m.size(), size_t(slots));
    size_t at = 0;
    for (size_t i = 0; i < runs.size(); ++i)
      for (long long k = 0; k < runs[i]; ++k, ++at) EXPECT_TRUE(y4m[at] == filtered[i]) << "slot " << at;
    // Raw NV12: the same frames.
    succeed({"denoise", name, "-o", "t.nv12", "-q"}, {"t.nv12"});
    EXPECT_EQ(slurp(dir_ / "t.nv12"), bytes(y4m));
  }
  // Cut short, either is still refused as damaged or ended early.
  for (const char *name : {"gaps.avi", "vfr.mkv"}) {
    const std::string whole = slurp(dir_ / name);
    spit(dir_ / (std::string("short-") + name), whole.substr(0, whole.size() * 6 / 10));
    refuse({"denoise", std::string("short-") + name, "-o", "s.mkv"}, "(--accept-damaged keeps the frames that decode)");
  }
}
