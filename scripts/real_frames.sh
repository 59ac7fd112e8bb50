#!/usr/bin/env bash
# Real footage for the instruction counts and the benchmark: the walking-
# people clip vtest.avi (768x576) from Debian's opencv-doc, fetched with
# apt-get download as tools/tnr/sweep.sh does, decoded to raw NV12 by the tnr
# tool, upscaled to 1920x1080 (bilinear, python/numpy) and given Gaussian noise
# of sigma 8 on every byte with a fixed seed (tnr convert --noise 8 --seed 1):
#
#   build/real-frames/vtest-768x576.nv12    31 frames (30 chained calls)
#   build/real-frames/vtest-1920x1080.nv12   7 frames (6 chained calls)
#
#   scripts/real_frames.sh [TNR_BINARY]
#
# Without TNR_BINARY, the tnr tool of build/tools (built here if missing:
# the tools preset, target tnr). Files already there are kept.
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
out=$here/build/real-frames
tnr=${1:-$here/build/tools/tools/tnr/tnr}
small=$out/vtest-768x576.nv12
large=$out/vtest-1920x1080.nv12
if [[ -f $small && -f $large ]]; then
  exit 0
fi
if [[ ! -x $tnr ]]; then
  (cd "$here" && cmake --preset tools >/dev/null && cmake --build build/tools -j"${JOBS:-2}" --target tnr >/dev/null)
fi
cache=$here/build/tnr-sweep-cache
clip=$cache/vtest.avi
if [[ ! -f $clip ]]; then
  mkdir -p "$cache/dl"
  (cd "$cache/dl" && apt-get download opencv-doc >/dev/null &&
    dpkg-deb -x opencv-doc_*.deb x &&
    cp "$(find x -name vtest.avi | head -n 1)" "$clip")
  rm -rf "$cache/dl"
fi
mkdir -p "$out"
clean=$out/clean-768x576.nv12
"$tnr" convert "$clip" -o "$clean" --frames 31 >/dev/null
"$tnr" convert "$clean" --size 768x576 -o "$small" --noise 8 --seed 1 >/dev/null
# Bilinear upscaling of the clean frames, luma and each chroma plane alike
# (sample centres aligned), rounded to nearest.
/usr/bin/python3 - "$clean" "$out/clean-1920x1080.nv12" <<'PY'
import sys
import numpy as np

src, dst = sys.argv[1], sys.argv[2]
w, h, W, H, frames = 768, 576, 1920, 1080, 7
data = np.fromfile(src, dtype=np.uint8)
size = w * h * 3 // 2


def resize(plane, nw, nh):
    ph, pw = plane.shape
    ys = np.clip((np.arange(nh) + 0.5) * ph / nh - 0.5, 0, ph - 1)
    xs = np.clip((np.arange(nw) + 0.5) * pw / nw - 0.5, 0, pw - 1)
    y0 = np.floor(ys).astype(int)
    x0 = np.floor(xs).astype(int)
    y1 = np.minimum(y0 + 1, ph - 1)
    x1 = np.minimum(x0 + 1, pw - 1)
    fy = (ys - y0)[:, None]
    fx = (xs - x0)[None, :]
    p = plane.astype(np.float64)
    top = p[y0][:, x0] * (1 - fx) + p[y0][:, x1] * fx
    bot = p[y1][:, x0] * (1 - fx) + p[y1][:, x1] * fx
    return np.clip(np.floor(top * (1 - fy) + bot * fy + 0.5), 0, 255).astype(np.uint8)


with open(dst, "wb") as f:
    for i in range(frames):
        fr = data[i * size:(i + 1) * size]
        y = fr[:w * h].reshape(h, w)
        uv = fr[w * h:].reshape(h // 2, w // 2, 2)
        f.write(resize(y, W, H).tobytes())
        u = resize(uv[:, :, 0], W // 2, H // 2)
        v = resize(uv[:, :, 1], W // 2, H // 2)
        f.write(np.stack([u, v], axis=2).tobytes())
PY
"$tnr" convert "$out/clean-1920x1080.nv12" --size 1920x1080 -o "$large" --noise 8 --seed 1 >/dev/null
rm -f "$clean" "$out/clean-1920x1080.nv12"
ls -l "$small" "$large"
