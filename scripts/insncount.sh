#!/usr/bin/env bash
# Executed Arm instructions per processing pixel of motion_detect, for the
# per-sample and the vector kernels, on ARMv7-A (NEON, VFPv4, hard float) and
# AArch64, counted under qemu user mode with tools/insncount.
#
#   scripts/insncount.sh [N]        N calls per synthetic count (default 3)
#
# The rows, in this order (SCENES, default "real1080 real576 still"):
#  - real1080: vtest.avi upscaled to 1920x1080, sigma 8 noise, 6 calls;
#  - real576: vtest.avi at its own 768x576, sigma 8 noise, 30 calls;
#    both chained as a camera runs them (each call's output the next call's
#    previous frame, weights from 0) at the tuning the front ends ship
#    (sigma scales 1.1 / 0.12, uv 0.75, static ratio bit 4: bench/real_frames.h),
#    the frames from scripts/real_frames.sh (built and fetched if missing).
#    Per pixel: insns(calls) - insns(the same frames staged, no call), over
#    calls x width x height;
#  - still: the synthetic bench scene at 1920x1080, scales 1.0 / 1.0 / 0.5
#    (bench/scene.h), N calls; insns(K = N) - insns(K = 0), which does
#    everything but the calls (start-up, scene generation);
#  - moving: the same scene with the previous frame scrambled, so that
#    everything moves.
# Environment: JOBS (build parallelism, default 2), TARGETS (default "armv7
# aarch64"), SPATIAL=1 (the spatial stage instead of motion_detect on the
# synthetic scene, after SETTLE chained motion_detect calls, default 12; with
# SCENES=moving after one call on the scene where everything moves),
# TASKS=N (motion_detect_parallel with N tasks run one after another on the
# calling thread, synthetic scenes: all tasks summed), FORMS (default "c
# neon"), PROFILE=1 (also where the instructions go: per function, the same
# difference per pixel, from tools/insncount/insnprof.c; inlined code counts
# in its caller).
set -euo pipefail
cd "$(dirname "$0")/.."

N=${1:-3}
JOBS=${JOBS:-2}
TARGETS=${TARGETS:-"armv7 aarch64"}
SCENES=${SCENES:-"real1080 real576 still"}
frames=build/real-frames
case " $SCENES " in *" real"*) scripts/real_frames.sh ;; esac
source scripts/insncount_build.sh
insn_plugins

printf '%-8s %-9s %-5s %16s %16s %12s\n' target scene form 'insns(base)' 'insns(calls)' 'insns/pixel'
for target in $TARGETS; do
  insn_build "$target" tnr_md_insn_driver
  count() {
    local out n
    out=$("$qemu" -L "/usr/$triple" -plugin "$plugin" -d plugin \
      "$dir/bench/tnr_md_insn_driver" "$@" 2>&1) || { echo "$out" >&2; return 1; }
    n=$(sed -n 's/^insns: //p' <<<"$out")
    [[ -n $n ]] || { echo "no count in: $out" >&2; return 1; }
    echo "$n"
  }
  for scene in $SCENES; do
    for form in ${FORMS:-c neon}; do
      pixels=$((1920 * 1080))
      case $scene in
        real1080)
          calls=6; pixels=$((calls * 1920 * 1080))
          args=("$calls" "$form" real "$frames/vtest-1920x1080.nv12" 1920x1080)
          base_args=("${args[@]}" dry) ;;
        real576)
          calls=30; pixels=$((calls * 768 * 576))
          args=("$calls" "$form" real "$frames/vtest-768x576.nv12" 768x576)
          base_args=("${args[@]}" dry) ;;
        still | moving)
          if [[ -n ${SPATIAL:-} && $scene == moving ]]; then
            mode=(spatial-moving)
          elif [[ -n ${SPATIAL:-} ]]; then
            mode=(spatial "${SETTLE:-12}")
          else
            mode=("$scene" ${TASKS:+"$TASKS"})
          fi
          calls=$N; pixels=$((N * 1920 * 1080))
          args=("$N" "$form" "${mode[@]}")
          base_args=(0 "$form" "${mode[@]}") ;;
        *) echo "unknown scene $scene" >&2; exit 2 ;;
      esac
      base=$(count "${base_args[@]}")
      full=$(count "${args[@]}")
      per=$(awk -v a="$full" -v b="$base" -v p="$pixels" 'BEGIN { printf "%.2f", (a - b) / p }')
      printf '%-8s %-9s %-5s %16s %16s %12s\n' "$target" "$scene" "$form" "$base" "$full" "$per"
      if [[ -n ${PROFILE:-} ]]; then
        for run in base full; do
          if [[ $run == base ]]; then a=("${base_args[@]}"); else a=("${args[@]}"); fi
          "$qemu" -L "/usr/$triple" -plugin "$profiler,out=$dir/insnprof.$run.txt" -d plugin \
            "$dir/bench/tnr_md_insn_driver" "${a[@]}" >/dev/null 2>&1
        done
        insn_profile "$dir/insnprof.base.txt" "$dir/insnprof.full.txt" "$pixels"
      fi
    done
  done
done
