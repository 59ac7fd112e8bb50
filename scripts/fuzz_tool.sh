#!/usr/bin/env bash
# Builds the fuzz preset's tnr_tool_fuzz and runs it for a bounded time over a
# copy of fuzz/corpus_tool/: the tnr tool's own parsers (Y4M and raw NV12
# readers, WxH and number options) under ASan and UBSan. Exits non-zero on a
# crash; the reproducer is written to build/fuzz/artifacts-tool/.
#
#   scripts/fuzz_tool.sh [SECONDS]      (default 20)
#
# Replay one input: build/fuzz/fuzz/tnr_tool_fuzz build/fuzz/artifacts-tool/crash-...
set -euo pipefail
cd "$(dirname "$0")/.."

SECONDS_TO_RUN=${1:-20}
JOBS=${JOBS:-2}

# FUZZ_BUILT=1: the caller has built it (scripts/test.sh builds both fuzzers
# at once and runs them side by side).
if [[ -z ${FUZZ_BUILT:-} ]]; then
  mkdir -p build
  cmake --preset fuzz >build/fuzz.configure.log 2>&1 || { cat build/fuzz.configure.log >&2; exit 1; }
  cmake --build --preset fuzz -j"$JOBS" --target tnr_tool_fuzz
fi

work=build/fuzz/corpus-tool
artifacts=build/fuzz/artifacts-tool
rm -rf "$work"
mkdir -p "$work" "$artifacts"
cp fuzz/corpus_tool/* "$work"/

# -rss_limit_mb: the target skips frames above 2^20 pixels, so a run stays small.
exec build/fuzz/fuzz/tnr_tool_fuzz "$work" -max_total_time="$SECONDS_TO_RUN" -max_len=8192 \
  -rss_limit_mb=1024 -timeout=10 -print_final_stats=1 -artifact_prefix="$artifacts/"
