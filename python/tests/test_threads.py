"""Threads: one object shared by two threads behaves as if its calls ran one
after the other; an object in a thread of its own gives its serial results;
process() lets other threads run."""
import sys
import threading
import time

import numpy as np

import scenes
import tnr_md

W, H, N = 960, 540, 10


def test_threads_share_an_object_as_if_in_turn(clib, rng):
    """Two threads feed one object their own frames, a third feeds an object of
    its own and a fourth reads the shared object's maps. Afterwards the shared
    object's calls are replayed through the C library in the one order
    consistent with the outputs: every output and every map snapshot must be
    what a serial run in that order gives."""
    seqs = [scenes.sequence(rng, W, H, N, noise=5.0 + 2 * k) for k in range(3)]
    shared, own = tnr_md.Denoiser(W, H), tnr_md.Denoiser(W, H)
    outs, snapshots, errors = [[], [], []], [], []

    def feeder(k, d):
        try:
            outs[k].extend(d.process(f.copy()) for f in seqs[k])
        except BaseException as e:  # reported by the main thread
            errors.append(e)

    def reader():
        while not errors and sum(map(len, outs)) < 3 * N:
            snapshots.append(shared.weight)
            repr(shared)

    threads = [threading.Thread(target=feeder, args=(k, d)) for k, d in enumerate((shared, shared, own))]
    threads.append(threading.Thread(target=reader))
    # Frequent switches between the Python threads, so that their calls meet.
    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    try:
        for t in threads:
            t.start()
        for t in threads:
            t.join()
    finally:
        sys.setswitchinterval(interval)
    if errors:
        raise errors[0]
    for i, want in enumerate(clib.sequence(seqs[2], W, H)):
        assert np.array_equal(outs[2][i], want[0]), f"own object: frame {i}"
    # Replay: at each step the shared object took the next frame of one of
    # the two threads; only one choice reproduces the recorded output.
    prev, weight, gain = None, np.zeros((H, W), np.uint8), np.full((H, W), 128, np.uint8)
    known, nxt = {weight.tobytes()}, [0, 0]
    for step in range(2 * N):
        tries = [(k, clib.step(seqs[k][nxt[k]], seqs[k][nxt[k]] if prev is None else prev, weight, gain))
                 for k in (0, 1) if nxt[k] < N]
        k, res = next(((k, r) for k, r in tries if np.array_equal(r[0], outs[k][nxt[k]])), (None, None))
        assert k is not None, f"step {step} (after {nxt} frames): no serial order gives the outputs"
        nxt[k] += 1
        _, prev, _, weight, gain = res
        known.add(weight.tobytes())
    assert shared.frame_count == 2 * N and np.array_equal(shared.weight, weight) and np.array_equal(shared.gain, gain)
    assert all(s.tobytes() in known for s in snapshots), "a map was read in the middle of a frame"


def test_process_releases_the_gil(rng):
    """With a switch interval far longer than the test, a thread gives up the
    GIL only where it releases it itself: the main thread gets to set the
    event while the worker keeps calling process() only if process() releases
    it (the worker gives it up for at most 5 s of calls)."""
    d = tnr_md.Denoiser(640, 480)
    frames = scenes.sequence(rng, 640, 480, 3)
    seen = []
    ev = threading.Event()

    def worker():
        # Nothing but process() between the checks: numpy releases the GIL
        # in its own copies.
        deadline = time.monotonic() + 5.0
        while time.monotonic() < deadline:
            d.process(frames[len(seen) % 3])
            seen.append(ev.is_set())
            if seen[-1]:
                break

    interval = sys.getswitchinterval()
    sys.setswitchinterval(100.0)
    try:
        t = threading.Thread(target=worker)
        t.start()
        ev.set()
        t.join()
    finally:
        sys.setswitchinterval(interval)
    assert seen[-1], f"the main thread never ran during {len(seen)} calls of process()"
