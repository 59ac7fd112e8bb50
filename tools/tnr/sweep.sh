#!/bin/sh
# Sweep of the tuning defaults on real footage: the walking-people clip
# vtest.avi (768x576) from Debian's opencv-doc, 60 frames, Gaussian noise of
# sigma 4 and 8 on every byte. Prints mean luma PSNR of noisy input and
# output against the clean frames, the same over moving pixels, and the share
# of moving pixels off by more than four noise sigmas (ghosts).
#
#   tools/tnr/sweep.sh [TNR_BINARY] [extra tnr sweep options]
#
# The clip is cached in build/tnr-sweep-cache. Defaults were chosen from:
#   --sigma-h 0.6..1.6 --sigma-l 0.06..0.3 --uv-ratio 0.5..2 (several runs).
set -eu
here=$(cd "$(dirname "$0")/../.." && pwd)
tnr=${1:-$here/build/tools/tools/tnr/tnr}
[ $# -gt 0 ] && shift
cache=$here/build/tnr-sweep-cache
clip=$cache/vtest.avi
if [ ! -f "$clip" ]; then
  mkdir -p "$cache/dl"
  (cd "$cache/dl" && apt-get download opencv-doc >/dev/null &&
    dpkg-deb -x opencv-doc_*.deb x &&
    cp "$(find x -name vtest.avi | head -n 1)" "$clip")
  rm -rf "$cache/dl"
fi
if [ $# -eq 0 ]; then
  set -- --sigma-h 0.9,1.0,1.1,1.2,1.4 --sigma-l 0.08,0.12,0.15,0.2 --uv-ratio 0.5,0.75,1
fi
exec "$tnr" sweep "$clip" --frames 60 --noise 4,8 --seed 1 "$@"
