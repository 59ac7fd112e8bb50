#!/usr/bin/env bash
# Executed Arm instructions per pixel of the camera motion's estimation and
# history shift together (bench/insn_motion.cpp) on two pairs of real
# 1920x1080 frames, counted under qemu user mode with tools/insncount:
#
#   scripts/insncount_motion.sh
#
#  - pan: frame 0 of vtest.avi scaled up to 1920x1080 (bilinear), then the
#    same frame scaled up with its content moved by (1.37, 0.41) px, noise of
#    sigma 8 added to each after the motion;
#  - fixed: frames 0 and 1 scaled up, noise of sigma 8 (a fixed camera:
#    people walk, the estimate is rest and the stream skips the shift).
# Per pixel: (insns(K = 2) - insns(K = 0)) / (2 x 1920 x 1080).
# Environment: TARGETS (default "armv7 aarch64"), FORMS (default "neon c"),
# JOBS (default 2), PROFILE=1 (also where the instructions go, per function).
set -euo pipefail
cd "$(dirname "$0")/.."
TARGETS=${TARGETS:-"armv7 aarch64"}
FORMS=${FORMS:-"neon c"}
JOBS=${JOBS:-2}
scripts/real_frames.sh
pairs=build/real-frames
tnr=build/tools/tools/tnr/tnr
if [[ ! -f $pairs/motion-pan.nv12 || ! -f $pairs/motion-fixed.nv12 ]]; then
  "$tnr" convert build/tnr-sweep-cache/vtest.avi -o "$pairs/clean2-768x576.nv12" --frames 2 >/dev/null
  /usr/bin/python3 - "$pairs/clean2-768x576.nv12" "$pairs" <<'PY'
import os, sys
import numpy as np
src, out = sys.argv[1], sys.argv[2]
w, h, W, H = 768, 576, 1920, 1080
size = w * h * 3 // 2
data = np.fromfile(src, dtype=np.uint8)
rng = np.random.default_rng(1)


def sample(p, xs, ys):
    """p at the (fractional) columns xs and rows ys, bilinear, edges clamped."""
    ph, pw = p.shape
    xs = np.clip(xs, 0, pw - 1); ys = np.clip(ys, 0, ph - 1)
    y0 = np.floor(ys).astype(int); x0 = np.floor(xs).astype(int)
    y1 = np.minimum(y0 + 1, ph - 1); x1 = np.minimum(x0 + 1, pw - 1)
    fy = (ys - y0)[:, None]; fx = (xs - x0)[None, :]
    q = p.astype(np.float64)
    return (q[y0][:, x0] * (1 - fx) + q[y0][:, x1] * fx) * (1 - fy) + \
        (q[y1][:, x0] * (1 - fx) + q[y1][:, x1] * fx) * fy


def frame(i, dx, dy):
    """Frame i scaled up to W x H, content moved by (dx, dy) output pixels, noise 8."""
    fr = data[i * size:(i + 1) * size]
    planes = [fr[:w * h].reshape(h, w)]
    uv = fr[w * h:].reshape(h // 2, w // 2, 2)
    planes += [uv[:, :, 0], uv[:, :, 1]]
    res = []
    for k, p in enumerate(planes):
        nw, nh, s = (W, H, 1.0) if k == 0 else (W // 2, H // 2, 0.5)
        ph, pw = p.shape
        xs = (np.arange(nw) - dx * s + 0.5) * pw / nw - 0.5
        ys = (np.arange(nh) - dy * s + 0.5) * ph / nh - 0.5
        v = sample(p, xs, ys) + rng.normal(0, 8, (nh, nw))
        res.append(np.clip(np.floor(v + 0.5), 0, 255).astype(np.uint8))
    return np.concatenate([res[0].ravel(), np.stack([res[1], res[2]], axis=2).ravel()])


f0 = frame(0, 0, 0)
np.concatenate([f0, frame(1, 0, 0)]).tofile(os.path.join(out, "motion-fixed.nv12"))
np.concatenate([f0, frame(0, 1.37, 0.41)]).tofile(os.path.join(out, "motion-pan.nv12"))
PY
  rm -f "$pairs/clean2-768x576.nv12"
fi
source scripts/insncount_build.sh
insn_plugins
printf '%-8s %-6s %-5s %-28s %12s\n' target pair form result insns/pixel
for target in $TARGETS; do
  insn_build "$target" tnr_md_insn_motion
  for pair in pan fixed; do
    for form in $FORMS; do
      n=()
      for K in 0 2; do
        out=$("$qemu" -L "/usr/$triple" -plugin "$plugin" -d plugin \
          "$dir/bench/tnr_md_insn_motion" $K "$form" "$pairs/motion-$pair.nv12" 2>&1)
        n+=("$(sed -n 's/^insns: //p' <<<"$out")")
        [[ $K == 2 ]] && res=$(sed -n 's/^calls.*motion \([^ ]*\) confidence \([0-9]*\) valid \([01]\).*/\1 c\2 v\3/p' <<<"$out")
      done
      per=$(awk -v a="${n[1]}" -v b="${n[0]}" 'BEGIN { printf "%.2f", (a - b) / (2 * 1920 * 1080) }')
      printf '%-8s %-6s %-5s %-28s %12s\n' "$target" "$pair" "$form" "$res" "$per"
      if [[ -n ${PROFILE:-} ]]; then
        for K in 0 2; do
          "$qemu" -L "/usr/$triple" -plugin "$profiler,out=$dir/insnprof.$K.txt" -d plugin \
            "$dir/bench/tnr_md_insn_motion" $K "$form" "$pairs/motion-$pair.nv12" >/dev/null 2>&1
        done
        insn_profile "$dir/insnprof.0.txt" "$dir/insnprof.2.txt" $((2 * 1920 * 1080))
      fi
    done
  done
done
