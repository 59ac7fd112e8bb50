#!/usr/bin/python3
"""Denoiser.process against the C motion_detect, in the same run.

    PYTHONPATH=build/python/python /usr/bin/python3 python/bench.py \
        [--lib build/python/algos/anr/tnr_md/libtnr_md.so] [--size 1920x1080] [--rounds 9]

Both filter the same sequence of noisy frames of a scene with moving
objects. Each frame is first written into the buffer that is filtered in
place (the filter overwrites its input, so every call needs a fresh frame);
only the filtering call is timed:
  C       motion_detect(cur, prev, ...) through ctypes on the shared library,
          then the caller swaps cur and prev (the C example's contract);
  Python  Denoiser.process(frame): motion_detect on the caller's array plus
          the copy of the filtered frame the object keeps as the next previous
          frame.
The rounds alternate C and Python; the figures are medians over rounds of the
per-frame mean, wall time and the calling thread's CPU time (steadier on a
shared machine), and the ratios of the medians.
"""
import argparse
import ctypes
import os
import statistics
import sys
import time

import numpy as np

import tnr_md


def scene(width, height, frames, seed=1):
    """Noisy NV12 frames: textured still background, two moving squares."""
    rng = np.random.default_rng(seed)
    yy, xx = np.mgrid[0:height, 0:width]
    background = 96 + 40 * np.sin(xx / 23.0) * np.cos(yy / 31.0) + rng.normal(0, 6, (height, width))
    out = []
    for t in range(frames):
        luma = background.copy()
        for k, (x0, y0, v) in enumerate(((100, 200, 5), (900, 500, -7))):
            x = (x0 + v * t * (k + 1)) % (width - 200)
            luma[y0:y0 + 160, x:x + 160] = 200 - 60 * k
        luma += rng.normal(0, 4, luma.shape)
        chroma = 128 + rng.normal(0, 3, (height // 2, width))
        out.append(np.clip(np.vstack([luma, chroma]), 0, 255).astype(np.uint8))
    return out


def c_library(path):
    lib = ctypes.CDLL(path)
    u8p, i16p = ctypes.POINTER(ctypes.c_uint8), ctypes.POINTER(ctypes.c_int16)
    lib.motion_detect.argtypes = [u8p, u8p, i16p, u8p, u8p, u8p] + [ctypes.c_int] * 5 + \
        [ctypes.c_float] * 4 + [ctypes.c_int]
    lib.motion_detect.restype = None
    lib.motionDetectTmpBufSize.argtypes = [ctypes.c_int, ctypes.c_int]
    lib.motionDetectTmpBufSize.restype = ctypes.c_size_t
    return lib


def run_c(lib, frames, width, height):
    u8p, i16p = ctypes.POINTER(ctypes.c_uint8), ctypes.POINTER(ctypes.c_int16)
    bufs = [np.empty_like(frames[0]), np.empty_like(frames[0])]
    scratch = np.empty(lib.motionDetectTmpBufSize(height, width), np.int16)
    alpha = np.zeros((height, width), np.uint8)
    weight = np.zeros((height, width), np.uint8)
    gain = np.full((height, width), 128, np.uint8)
    ptrs = [b.ctypes.data_as(u8p) for b in bufs]
    args = (scratch.ctypes.data_as(i16p), alpha.ctypes.data_as(u8p), weight.ctypes.data_as(u8p),
            gain.ctypes.data_as(u8p))
    cur, prev = 0, 1
    np.copyto(bufs[prev], frames[0])  # the first frame is its own previous frame
    wall = cpu = 0.0
    for f in frames:
        np.copyto(bufs[cur], f)
        t0, c0 = time.perf_counter(), time.thread_time()
        lib.motion_detect(ptrs[cur], ptrs[prev], *args, height, width, height, width, width,
                          1.1, 0.12, 0.75, 0.0, 4)
        wall += time.perf_counter() - t0
        cpu += time.thread_time() - c0
        cur, prev = prev, cur
    return wall / len(frames), cpu / len(frames), bufs[prev].copy()


def run_python(frames, width, height):
    # motion_detect alone does not follow the camera: neither does the module
    # here (docs/camera-motion.md has what alignment costs).
    d = tnr_md.Denoiser(width, height, align=False)
    buf = np.empty_like(frames[0])
    wall = cpu = 0.0
    for f in frames:
        np.copyto(buf, f)
        t0, c0 = time.perf_counter(), time.thread_time()
        d.process(buf)
        wall += time.perf_counter() - t0
        cpu += time.thread_time() - c0
    return wall / len(frames), cpu / len(frames), buf.copy()


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--lib", default=os.path.join(here, "..", "build", "python", "algos", "anr",
                                                  "tnr_md", "libtnr_md.so"))
    ap.add_argument("--size", default="1920x1080")
    ap.add_argument("--frames", type=int, default=20)
    ap.add_argument("--rounds", type=int, default=9)
    a = ap.parse_args()
    width, height = (int(v) for v in a.size.split("x"))
    lib = c_library(a.lib)
    frames = scene(width, height, a.frames)
    c_runs, py_runs = [], []
    for r in range(a.rounds):
        *tc, out_c = run_c(lib, frames, width, height)
        *tp, out_py = run_python(frames, width, height)
        if not np.array_equal(out_c, out_py):
            sys.exit("the two runs gave different frames")
        c_runs.append(tc)
        py_runs.append(tp)
    print(f"{width}x{height}, {a.frames} frames x {a.rounds} rounds (medians of per-frame means)")
    print("                           wall ms   thread CPU ms")
    med = [[statistics.median(r[k] for r in runs) for k in (0, 1)] for runs in (c_runs, py_runs)]
    print(f"  C motion_detect         {med[0][0] * 1e3:8.3f}  {med[0][1] * 1e3:8.3f}")
    print(f"  Python Denoiser.process {med[1][0] * 1e3:8.3f}  {med[1][1] * 1e3:8.3f}")
    print(f"  ratio                   {med[1][0] / med[0][0]:7.3f}x  {med[1][1] / med[0][1]:7.3f}x")


if __name__ == "__main__":
    main()
