#!/usr/bin/env bash
# Executed x86-64 instructions per processing pixel of motion_detect on real
# footage at the shipped defaults, counted natively under valgrind's
# cachegrind (deterministic, unlike wall time on a shared machine): the x86
# set of the level the build's library runs (x86-64-v3 by default; valgrind
# runs no AVX-512), 6 chained calls on vtest.avi upscaled to 1920x1080 with
# sigma 8 noise (scripts/real_frames.sh), counted as scripts/insncount.sh
# counts the Arm builds: insns(calls) - insns(the same frames staged, no
# call), over calls x width x height.
#
#   scripts/insncount_x86.sh [BUILD_DIR]     default build/bench-x86-v3
#
# The default build is the bench preset with its library at x86-64-v3,
# whatever the host has: valgrind runs no AVX-512, which the bench preset's
# library uses on a host that has it. A BUILD_DIR whose library valgrind
# cannot run stops the script with valgrind's message.
#
# PROFILE=1 also prints where they go, per function (inlined code counts in
# its caller), per pixel.
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${1:-build/bench-x86-v3}
command -v valgrind >/dev/null || { echo "needs valgrind (apt-get install valgrind)" >&2; exit 1; }
scripts/real_frames.sh
if [[ $dir == build/bench-x86-v3 && ! -f $dir/build.ninja ]]; then
  cmake --preset bench -B "$dir" -DTNR_MD_X86_LEVEL=x86-64-v3 >/dev/null
fi
cmake --build "$dir" -j"${JOBS:-2}" --target tnr_md_insn_driver >/dev/null
driver=$dir/bench/tnr_md_insn_driver
frames=build/real-frames/vtest-1920x1080.nv12
calls=6
pixels=$((calls * 1920 * 1080))
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
count() {
  local log=$out/$1.log
  if ! valgrind --tool=cachegrind --cache-sim=no --cachegrind-out-file="$out/$1" \
    "$driver" "$calls" x86 real "$frames" 1920x1080 ${2:-} >"$log" 2>&1 ||
    ! grep -q checksum "$log"; then
    echo "the count's run failed:" >&2
    grep -v '^--' "$log" | head -20 >&2
    exit 1
  fi
  sed -n 's/.*I *refs: *//p' "$log" | tr -d ,
}
calls_n=$(count calls)
dry_n=$(count dry dry)
awk -v c="$calls_n" -v d="$dry_n" -v p="$pixels" \
  'BEGIN { printf "real1080 x86 %16d %16d %12.3f\n", d, c, (c - d) / p }'
if [[ ${PROFILE:-0} == 1 ]]; then
  cg_annotate "$out/calls" 2>/dev/null | grep -E 'tnr_md::' |
    sed -E 's/\( *[0-9.]+%\) *//; s/[?]+://; s/\(tnr_md::Frames.*//; s/\(short.*|\(unsigned.*//; s/tnr_md::x86_v[0-9a-z]*:://g' |
    sed -E 's/\(anonymous namespace\):://g' |
    awk -v p="$pixels" '{ n = $1; gsub(",", "", n); if (n / p >= 0.01) printf "  %8.3f %s\n", n / p, ($2 == "void" ? $3 : $2) }'
fi
