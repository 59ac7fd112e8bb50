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


def _value_noise(rng, rows, cols, spacing):
    """A smooth random texture: values on a lattice `spacing` pixels apart,
    interpolated linearly; returns f(y, x) for real coordinates."""
    lat = rng.uniform(0, 1, (int(rows / spacing) + 3, int(cols / spacing) + 3))

    def f(y, x):
        fy, fx = y / spacing, x / spacing
        iy, ix = np.floor(fy).astype(int), np.floor(fx).astype(int)
        ty, tx = fy - iy, fx - ix
        a, b = lat[iy, ix], lat[iy, ix + 1]
        c, d = lat[iy + 1, ix], lat[iy + 1, ix + 1]
        return (a * (1 - tx) + b * tx) * (1 - ty) + (c * (1 - tx) + d * tx) * ty
    return f


def pan(rng, width, height, frames, dx, dy, noise=2.0):
    """Packed NV12 frames of a textured picture seen by a camera that pans:
    the content of frame t is that of frame 0 moved right by t * dx and down
    by t * dy luma pixels (sub-pixel steps sampled from a smooth texture,
    chroma moved by half as many chroma samples), with noise added after."""
    margin = 8 + int(abs(dx) * frames + abs(dy) * frames)
    rows, cols = height + 2 * margin, width + 2 * margin
    fine, coarse = _value_noise(rng, rows, cols, 5), _value_noise(rng, rows, cols, 17)
    u, v = _value_noise(rng, rows, cols, 9), _value_noise(rng, rows, cols, 13)
    yy, xx = np.mgrid[0:height, 0:width].astype(float)
    cy, cx = np.mgrid[0:height // 2, 0:width // 2].astype(float)
    out = []
    for t in range(frames):
        ly, lx = yy + margin - t * dy, xx + margin - t * dx
        luma = 30 + 110 * fine(ly, lx) + 90 * coarse(ly, lx)
        qy, qx = 2 * cy + 0.5 + margin - t * dy, 2 * cx + 0.5 + margin - t * dx
        c = np.empty((height // 2, width))
        c[:, 0::2] = 70 + 110 * u(qy, qx)
        c[:, 1::2] = 70 + 110 * v(qy, qx)
        f = np.vstack([luma + rng.normal(0, noise, luma.shape), c + rng.normal(0, noise / 2, c.shape)])
        out.append(np.clip(f, 0, 255).round().astype(np.uint8))
    return out
