#!/usr/bin/env bash
# Builds and runs every test of tnr_md from nothing on a Debian machine:
# x86-64 vector (one build: the tests run every x86-64 level this machine has)
# and per-sample builds, AddressSanitizer + UBSan, ThreadSanitizer,
# ARMv7-A and AArch64 under qemu, the C example, the tnr tool (with its command-line
# robustness suite), the Python module, bounded fuzz runs of the library and of the
# tool's parsers.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh
jobs=$(nproc)
# Each section names the time it starts at, so that a slow one shows in the log.
section() { echo "=== $1 (at ${SECONDS} s)"; }

run_preset() {
  section "$1"
  cmake --preset "$1" >/dev/null
  cmake --build --preset "$1" -j"$jobs"
  ctest --preset "$1"
}

# ci is the release build with every front end (the tnr tool, the GStreamer
# plugin, the Python module), so that the library and its tests build once for
# all of them. The library links the x86 forms of this host's best level; the
# tests run the x86 set of every level (SSE4.1, AVX2, AVX-512, AVX-512 with
# VBMI) that this machine can run and name the ones it cannot; ctest also runs
# the tool's suites, the element's GstHarness tests and the Python module's pytest.
for preset in ci scalar asan armv7 aarch64; do run_preset "$preset"; done
# ThreadSanitizer needs a fixed address-space layout on recent kernels.
section "tsan"
cmake --preset tsan >/dev/null
cmake --build --preset tsan -j"$jobs"
setarch "$(uname -m)" -R ctest --preset tsan

# The C example on a generated NV12 sequence: the first frame comes out
# unchanged (it is its own previous frame), and every frame is written.
section "example"
example=build/ci/examples/nv12_denoise
python3 - build/ci/example_in.nv12 <<'PY'
import random, sys
random.seed(7)
w, h, n = 96, 64, 5
with open(sys.argv[1], "wb") as f:
    for t in range(n):
        luma = bytes(min(255, max(0, 100 + (x * 3 + y * 5) % 60 + int(random.gauss(0, 6))))
                     for y in range(h) for x in range(w))
        chroma = bytes(128 + random.randint(-3, 3) for _ in range(w * h // 2))
        f.write(luma + chroma)
PY
"$example" 96 64 build/ci/example_in.nv12 build/ci/example_out.nv12
cmp -n $((96 * 64 * 3 / 2)) build/ci/example_in.nv12 build/ci/example_out.nv12
[ "$(stat -c %s build/ci/example_out.nv12)" -eq $((96 * 64 * 3 / 2 * 5)) ]
if cmp -s build/ci/example_in.nv12 build/ci/example_out.nv12; then
  echo "example: output equals input"; exit 1
fi
echo "example: 5 frames filtered"
# Sizes the filter refuses are named for what they are: too large is not "too small".
msg=$("$example" 20000 20000 build/ci/example_in.nv12 build/ci/example_big.nv12 2>&1 || true)
grep -q "20000x20000.*too large" <<<"$msg" || { echo "example: 20000x20000 refused as: $msg"; exit 1; }
[ ! -e build/ci/example_big.nv12 ] || { echo "example: an output for a refused size"; exit 1; }

# The installed library: headers, pkg-config file and shared library are
# enough to build the example, which gives the same bytes.
section "install"
inst=$PWD/build/install-check
rm -rf "$inst"
cmake --install build/ci --prefix "$inst" --component Unspecified >/dev/null
pcdir=$(dirname "$(find "$inst" -name tnr_md.pc)")
gcc -std=c99 examples/nv12_denoise.c $(PKG_CONFIG_PATH=$pcdir pkg-config --cflags --libs tnr_md) \
  -o "$inst/nv12_denoise"
LD_LIBRARY_PATH=$(dirname "$(find "$inst" -name 'libtnr_md.so' | head -n 1)") \
  "$inst/nv12_denoise" 96 64 build/ci/example_in.nv12 "$inst/out.nv12"
cmp "$inst/out.nv12" build/ci/example_out.nv12
echo "install: example built against the installed library gives the same frames"


# ---- GStreamer element tnrmd ----------------------------------------------------
# (Its GstHarness tests ran in the ci build.) gst-inspect-1.0 finding it through GST_PLUGIN_PATH; a
# videotestsrc pipeline through it (odd size, one message per filtered frame);
# cmake --install putting it into GStreamer's plugin directory (in a temporary root).
section "gst"
gst_env=(env GST_PLUGIN_PATH="$PWD/build/ci/gst" GST_REGISTRY="$PWD/build/ci/registry.bin")
# The whole listing first: grep -q stopping at the first match would leave
# gst-inspect-1.0 writing into a closed pipe (SIGPIPE, a failure under pipefail).
inspect=$("${gst_env[@]}" gst-inspect-1.0 tnrmd)
grep -q "sigma-h" <<<"$inspect"
msgs=$("${gst_env[@]}" gst-launch-1.0 -m videotestsrc num-buffers=30 pattern=ball \
  ! video/x-raw,format=NV12,width=321,height=241 ! tnrmd post-messages=true ! fakesink |
  grep -c "mean-static-ratio")
[ "$msgs" -eq 30 ] || { echo "gst-launch: $msgs of 30 frames filtered"; exit 1; }
gst_root=$(mktemp -d)
DESTDIR="$gst_root" cmake --install build/ci --component gst >/dev/null
gst_plugin="$gst_root$(pkg-config --variable=pluginsdir gstreamer-1.0)/libgsttnrmd.so"
[ -f "$gst_plugin" ] || { echo "cmake --install: no $gst_plugin"; exit 1; }
env GST_PLUGIN_SYSTEM_PATH_1_0="$(dirname "$gst_plugin")" GST_REGISTRY="$gst_root/registry.bin" \
  gst-inspect-1.0 tnrmd >/dev/null
rm -rf "$gst_root"
echo "gst: element tests, gst-inspect-1.0, gst-launch-1.0 (30 frames) and the installed plugin pass"
# ---- end GStreamer element --------------------------------------------------------

# ---- Python module ---------------------------------------------------------
# Built for Debian's /usr/bin/python3; ctest runs pytest (frames and maps
# against the C library through ctypes and the C example, every array form,
# each stage, rejected inputs, threads) and fails on any pytest exit code but 0.
# Then the module installed by cmake --install under a prefix is imported from
# the folder it went to, which Debian's interpreter searches under /usr/local.
section "python"
# The module was installed with the library into $inst above.
site=$(sed -n 's/^TNR_MD_PYTHON_INSTALL_DIR:STRING=//p' build/ci/CMakeCache.txt)
(cd / && PYTHONPATH="$inst/$site" /usr/bin/python3 -c \
  'import sys, tnr_md; assert tnr_md.__file__.startswith(sys.argv[1]), tnr_md.__file__' "$inst")
/usr/bin/python3 -c 'import sys; assert "/usr/local/" + sys.argv[1] in sys.path, sys.path' "$site"
echo "python: installed module imports from $site"
# ---- end Python module -----------------------------------------------------

# Bounded fuzz runs: the library's twin fuzzer for 20 s and, beside it on the
# other core, the tnr tool's own parsers (Y4M and raw readers, WxH and numbers)
# for 10 s; both built at once first.
section "fuzz"
cmake --preset fuzz >build/fuzz.configure.log 2>&1 || { cat build/fuzz.configure.log >&2; exit 1; }
cmake --build --preset fuzz -j"$jobs" --target tnr_md_fuzz tnr_tool_fuzz
FUZZ_BUILT=1 scripts/fuzz_tool.sh 10 >build/fuzz-tool.log 2>&1 &
tool_fuzz=$!
FUZZ_BUILT=1 scripts/fuzz.sh 20
if ! wait "$tool_fuzz"; then cat build/fuzz-tool.log; echo "fuzz (tool parsers) failed"; exit 1; fi
tail -n 3 build/fuzz-tool.log
echo "all test configurations passed in ${SECONDS} s"
