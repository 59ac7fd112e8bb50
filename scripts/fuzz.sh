#!/usr/bin/env bash
# Builds the fuzz preset and runs the twin fuzzer for a bounded time over a
# copy of the starting corpus (fuzz/corpus/ is left as it is; new inputs land in
# build/fuzz/corpus). Exits non-zero when the fuzzer finds a crash or a twin
# mismatch; the reproducer is written to build/fuzz/artifacts/.
#
#   scripts/fuzz.sh [SECONDS]      (default 60)
#
# Replay one input: build/fuzz/fuzz/tnr_md_fuzz build/fuzz/artifacts/crash-...
# Refresh the starting corpus after a longer run (keeps the inputs that add coverage):
#   build/fuzz/fuzz/tnr_md_fuzz -merge=1 fuzz/corpus build/fuzz/corpus
set -euo pipefail
cd "$(dirname "$0")/.."

SECONDS_TO_RUN=${1:-60}
JOBS=${JOBS:-2}

# FUZZ_BUILT=1: the caller has built it (scripts/test.sh builds both fuzzers
# at once and runs them side by side).
if [[ -z ${FUZZ_BUILT:-} ]]; then
  mkdir -p build
  cmake --preset fuzz >build/fuzz.configure.log 2>&1 || { cat build/fuzz.configure.log >&2; exit 1; }
  cmake --build --preset fuzz -j"$JOBS" --target tnr_md_fuzz
fi

work=build/fuzz/corpus
artifacts=build/fuzz/artifacts
rm -rf "$work"
mkdir -p "$work" "$artifacts"
cp fuzz/corpus/* "$work"/

# -rss_limit_mb: two copies of every buffer of a 200 x 120 grid are small; the
# limit catches a runaway allocation, not the target's normal use.
exec build/fuzz/fuzz/tnr_md_fuzz "$work" -max_total_time="$SECONDS_TO_RUN" -max_len=4096 \
  -rss_limit_mb=2048 -timeout=20 -print_final_stats=1 -artifact_prefix="$artifacts/"
