"""Input generators shared by the tests (NV12 sequences with still texture,
moving and stopping objects and noise, and random stage inputs), array
layouts, and the comparison that names the first differing element."""
import ctypes
import mmap

import numpy as np
import pytest

FILL = 0xA5


def eq(a, b, what):
    assert a.shape == b.shape and a.dtype == b.dtype, (what, a.shape, b.shape, a.dtype, b.dtype)
    if not np.array_equal(a, b):
        at = tuple(np.argwhere(a != b)[0])
        pytest.fail(f"{what} differs first at {at}: {a[at]} != {b[at]}")


def sequence(rng, width, height, frames, noise=5.0):
    """Packed NV12 frames (height * 3 // 2, width) uint8."""
    yy, xx = np.mgrid[0:height, 0:width]
    base = 110 + 50 * np.sin(xx / 5.3 + yy / 9.1) + rng.normal(0, 10, (height, width))
    cbase = 128 + 20 * np.cos(np.arange(width) / 7.0)[None, :] + np.zeros((height // 2, 1))
    size = max(4, min(width, height) // 4)
    out = []
    for t in range(frames):
        y = base.copy()
        c = cbase.copy()
        # An object that moves for a few frames, then stops; a second that appears late.
        x0 = min(2 + 3 * t, width - size - 1) if t < frames // 2 else 2 + 3 * (frames // 2 - 1)
        x0 = max(0, min(x0, width - size - 1))
        y[2:2 + size, x0:x0 + size] = 230
        c[1:1 + size // 2, x0 & ~1:(x0 & ~1) + size] = 60
        if t >= frames // 3:
            y[height - size - 1:height - 1, width - size - 1:width - 1] = 20 + 7 * t
        y += rng.normal(0, noise, y.shape)
        c += rng.normal(0, noise / 2, c.shape)
        out.append(np.clip(np.vstack([y, c]), 0, 255).round().astype(np.uint8))
    return out


def frame_pair(rng, width, height):
    """A previous frame and a current one with noise, a moved block and a
    brightness change, as the difference stages see them."""
    prev = sequence(rng, width, height, 1)[0]
    cur = prev.astype(np.int32) + rng.integers(-6, 7, prev.shape)
    cur[: height // 3, : width // 3] += 40
    cur[height // 2:height, width // 2:] -= 9
    return np.clip(cur, 0, 255).astype(np.uint8), prev


def padded(a, extra_cols, fill=FILL):
    """A view of `a` whose rows are `extra_cols` elements apart more than its
    width, inside a larger array whose padding holds `fill`."""
    big = np.full((a.shape[0], a.shape[1] + extra_cols), fill, a.dtype)
    big[:, : a.shape[1]] = a
    return big[:, : a.shape[1]]


_mprotect = ctypes.CDLL(None).mprotect
_mprotect.argtypes = [ctypes.c_void_p, ctypes.c_size_t, ctypes.c_int]


def guarded(a, extra_cols=0):
    """A copy of `a` with rows `extra_cols` elements longer than its width whose
    last row ends where an inaccessible page begins."""
    (rows, cols), item = a.shape, a.itemsize
    pitch, page = (cols + extra_cols) * item, mmap.PAGESIZE
    need = (rows - 1) * pitch + cols * item
    pages = -(-need // page)
    mem = mmap.mmap(-1, (pages + 1) * page)
    assert _mprotect(ctypes.addressof(ctypes.c_char.from_buffer(mem)) + pages * page, page, 0) == 0
    v = np.ndarray(a.shape, a.dtype, buffer=mem, offset=pages * page - need, strides=(pitch, item))
    v[...] = a
    return v
