"""Threads: one object shared by two threads behaves as if its calls ran one
after the other; two objects in two threads give their serial results."""
import sys
import threading
import time

import numpy as np

import scenes
import tnr_md

W, H, N = 960, 540, 10


def start_all(targets):
    errors = []

    def wrap(fn):
        def run():
            try:
                fn()
            except BaseException as e:  # reported by the main thread
                errors.append(e)
        return run

    barrier = threading.Barrier(len(targets))
    threads = [threading.Thread(target=wrap(lambda fn=fn: (barrier.wait(), fn()))) for fn in targets]
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


def test_two_objects_in_two_threads_give_their_serial_results(clib, rng):
    seqs = [scenes.sequence(rng, W, H, N), scenes.sequence(rng, W, H, N, noise=9.0)]
    want = [clib.sequence(s, W, H) for s in seqs]
    got = [[], []]

    def worker(k):
        d = tnr_md.Denoiser(W, H)
        for f in seqs[k]:
            a = f.copy()
            d.process(a)
            got[k].append((a, d.weight))

    start_all([lambda: worker(0), lambda: worker(1)])
    for k in range(2):
        for i in range(N):
            assert np.array_equal(got[k][i][0], want[k][i][0]), f"object {k}: frame {i}"
            assert np.array_equal(got[k][i][1], want[k][i][2]), f"object {k}: weight {i}"


def test_one_object_hammered_by_two_threads_is_serialised(clib, rng):
    """Two threads feed one object their own frames while a third reads its
    maps. Afterwards the calls are replayed through the C library in the one
    order consistent with the outputs: every output and every map snapshot
    must be what a serial run in that order gives."""
    seqs = [scenes.sequence(rng, W, H, N), scenes.sequence(rng, W, H, N, noise=9.0)]
    d = tnr_md.Denoiser(W, H)
    outs = [[], []]
    snapshots = []
    done = threading.Event()

    def feeder(k):
        for f in seqs[k]:
            a = f.copy()
            d.process(a)
            outs[k].append(a)

    def reader():
        while not done.is_set():
            snapshots.append(d.weight)
            repr(d)

    r = threading.Thread(target=reader)
    r.start()
    try:
        start_all([lambda: feeder(0), lambda: feeder(1)])
    finally:
        done.set()
        r.join()
    assert d.frame_count == 2 * N

    # Replay: at each step the object took the next frame of one of the two
    # threads; only one choice reproduces the recorded output.
    state = dict(prev=None, weight=np.zeros((H, W), np.uint8), gain=np.full((H, W), 128, np.uint8))
    weights = [state["weight"].copy()]
    nxt = [0, 0]
    order = []
    for step in range(2 * N):
        found = None
        for k in (0, 1):
            if nxt[k] == N:
                continue
            f = seqs[k][nxt[k]]
            prev = f if state["prev"] is None else state["prev"]
            cur, temporal, weight, gain = clib.denoise_step(f, prev, state["weight"],
                                                            state["gain"])
            if np.array_equal(cur, outs[k][nxt[k]]):
                found = (k, temporal, weight, gain)
                break
        assert found, f"step {step} (after order {order}): no serial order gives the outputs"
        k, temporal, weight, gain = found
        order.append(k)
        nxt[k] += 1
        state.update(prev=temporal, weight=weight, gain=gain)
        weights.append(weight)
    assert np.array_equal(d.weight, weights[-1]) and np.array_equal(d.gain, state["gain"])
    print("order of the calls:", "".join(map(str, order)), "map snapshots:", len(snapshots))
    known = {w.tobytes() for w in weights}
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
