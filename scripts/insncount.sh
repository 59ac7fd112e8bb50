#!/usr/bin/env bash
# Executed Arm instructions per processing pixel of motion_detect at 1920x1080,
# for the per-sample and the vector kernels, on ARMv7-A (NEON, VFPv4, hard
# float) and AArch64, counted under qemu user mode with tools/insncount.
#
#   scripts/insncount.sh [N]        N calls per count (default 3)
#
# Per target and form: insns(K = N) - insns(K = 0), divided by N x 1920 x 1080.
# The K = 0 run does everything but the calls (start-up, scene generation),
# so the difference is the calls alone. Environment: JOBS (build parallelism,
# default 2), TARGETS (default "armv7 aarch64"), MOVING=1 (a scene where
# everything moves, the costliest case), SPATIAL=1 (the spatial stage instead
# of motion_detect, after SETTLE chained motion_detect calls, default 12;
# with MOVING=1 after one call on the scene where everything moves),
# TASKS=N (motion_detect_parallel with N tasks run one after another on the
# calling thread: all tasks summed), FORMS (default "c neon"), PROFILE=1
# (also where the instructions go: per function, the same difference per
# pixel, from tools/insncount/insnprof.c; inlined code counts in its caller).
set -euo pipefail
cd "$(dirname "$0")/.."

N=${1:-3}
JOBS=${JOBS:-2}
TARGETS=${TARGETS:-"armv7 aarch64"}
PIXELS=$((1920 * 1080))
plugin=build/insncount/insncount.so

mkdir -p build/insncount
gcc -shared -fPIC -O2 -o "$plugin" tools/insncount/insncount.c
profiler=build/insncount/insnprof.so
[[ -z ${PROFILE:-} ]] || gcc -shared -fPIC -O2 -o "$profiler" tools/insncount/insnprof.c

printf '%-8s %-5s %16s %16s %12s\n' target form 'insns(K=0)' "insns(K=$N)" 'insns/pixel'
for target in $TARGETS; do
  case $target in
    armv7) triple=arm-linux-gnueabihf qemu=qemu-arm ;;
    aarch64) triple=aarch64-linux-gnu qemu=qemu-aarch64 ;;
    *) echo "unknown target $target" >&2; exit 2 ;;
  esac
  dir=build/insn-$target
  cmake -S . -B "$dir" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/toolchains/$triple.cmake" \
    -DCMAKE_BUILD_TYPE=Release -DTNR_MD_VECTOR=ON -DTNR_MD_BUILD_BENCH=ON \
    -DTNR_MD_BUILD_TESTS=OFF -DTNR_MD_BUILD_EXAMPLES=OFF >"$dir.configure.log" 2>&1 ||
    { cat "$dir.configure.log" >&2; exit 1; }
  cmake --build "$dir" -j"$JOBS" --target tnr_md_insn_driver >"$dir.build.log" 2>&1 ||
    { cat "$dir.build.log" >&2; exit 1; }
  count() {
    local out n
    out=$("$qemu" -L "/usr/$triple" -plugin "$plugin" -d plugin \
      "$dir/bench/tnr_md_insn_driver" "$@" 2>&1) || { echo "$out" >&2; return 1; }
    n=$(sed -n 's/^insns: //p' <<<"$out")
    [[ -n $n ]] || { echo "no count in: $out" >&2; return 1; }
    echo "$n"
  }
  for form in ${FORMS:-c neon}; do
    if [[ -n ${SPATIAL:-} && -n ${MOVING:-} ]]; then
      mode=(spatial-moving)
    elif [[ -n ${SPATIAL:-} ]]; then
      mode=(spatial "${SETTLE:-12}")
    else
      scene=${MOVING:+moving}
      mode=("${scene:-still}" ${TASKS:+"$TASKS"})
    fi
    base=$(count 0 "$form" "${mode[@]}")
    full=$(count "$N" "$form" "${mode[@]}")
    per=$(awk -v a="$full" -v b="$base" -v n="$N" -v p="$PIXELS" \
      'BEGIN { printf "%.2f", (a - b) / (n * p) }')
    printf '%-8s %-5s %16s %16s %12s\n' "$target" "$form" "$base" "$full" "$per"
    if [[ -n ${PROFILE:-} ]]; then
      for k in 0 "$N"; do
        "$qemu" -L "/usr/$triple" -plugin "$profiler,out=$dir/insnprof.$k.txt" -d plugin \
          "$dir/bench/tnr_md_insn_driver" "$k" "$form" "${mode[@]}" >/dev/null 2>&1
      done
      awk -v n="$N" -v p="$PIXELS" '
        FILENAME ~ /insnprof\.0\.txt$/ { s[$1] -= $2; next }
        { s[$1] += $2 }
        END { for (f in s) if (s[f] / (n * p) >= 0.005) printf "  %8.3f %s\n", s[f] / (n * p), f }' \
        "$dir/insnprof.0.txt" "$dir/insnprof.$N.txt" | sort -rn | c++filt | sed 's/(anonymous namespace):://; s/(.*$//'
    fi
  done
done
