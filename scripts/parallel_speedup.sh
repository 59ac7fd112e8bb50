#!/usr/bin/env bash
# Two threads against one for motion_detect_parallel on the ready thread pool
# (the bench preset's parallel rows), at 1920x1080 and 3840x2160 (SIZES picks),
# the bench scene, the scene where everything moves, and the memory skeleton
# split over the same pool (what the machine's memory gives two threads). The
# 1- and 2-thread rows of one size run back to back, N times (default 7); each
# pair gives a ratio of wall medians, and the median of those ratios is
# printed with their range, as the wall time on a shared machine drifts
# between runs.
#
#   cmake --preset bench && cmake --build --preset bench && scripts/parallel_speedup.sh
set -euo pipefail
cd "$(dirname "$0")/.."
B=${B:-build/bench/bench/tnr_md_bench}
for size in ${SIZES:-1920x1080 3840x2160}; do
  for scene in parallel parallel_moving parallel_skeleton; do
    rs=()
    for i in $(seq "${N:-7}"); do
      out=$("$B" --benchmark_filter="^$scene/.t/$size" --benchmark_repetitions=5 \
        --benchmark_report_aggregates_only=true 2>&1 | grep "threads:")
      r=$(sed -n 's/.*threads: \([0-9.]*\)x.*/\1/p' <<<"$out")
      rs+=("$r")
      echo "$scene $size run $i: 1 thread $(awk '{print $3}' <<<"$out") ms," \
        "2 threads $(awk '{print $4}' <<<"$out") ms, ratio $r, load $(cut -d' ' -f1 /proc/loadavg)"
    done
    printf '%s\n' "${rs[@]}" | sort -n |
      awk -v s="$scene $size" '{a[NR] = $1} END {print s ": median ratio " a[int((NR + 1) / 2)] " (" a[1] " to " a[NR] ")"}'
  done
done
