"""Denoiser against the C library: frames and maps, every array form, reset."""
import ctypes
import mmap
import subprocess

import numpy as np
import pytest

import scenes
import tnr_md

MAPS = ("frame", "static_ratio", "weight", "gain")


def run(d, frames, params=None):
    """Filters copies of `frames`; params[i] (a dict) is set before frame i."""
    out = []
    for i, f in enumerate(frames):
        if params:
            for k, v in params[i].items():
                setattr(d, k, v)
        a = f.copy()
        assert d.process(a) is a
        out.append((a, d.static_ratio, d.weight, d.gain))
    return out


def assert_same(got, want):
    assert len(got) == len(want)
    for i, (g, w) in enumerate(zip(got, want)):
        for name, x, y in zip(MAPS, g, w):
            scenes.eq(x, y, f"frame {i}: {name}")


# Sizes around the library's block widths (8, 16), grids smaller than the
# frame and odd grids; tuning (the spatial strength too, 0 turning the stage
# off) constant, off the defaults, and changed mid-sequence.
CASES = [(64, 48, None, None), (78, 50, None, None), (96, 64, (61, 37), None),
         (130, 40, (130, 40), "custom"), (96, 64, None, "changing")]


def params_for(kind, n):
    if kind is None:
        return None
    if kind == "custom":
        return [dict(sigma_h=1.6, sigma_l=0.3, uv_ratio=1.2, static_ratio_bit=2, spatial=1.25)] * n
    return [dict(sigma_h=0.6 + 0.2 * (i % 4), sigma_l=0.08 + 0.05 * (i % 3),
                 uv_ratio=(0.5, 1.0, 0.0)[i % 3], static_ratio_bit=(4, 7, 9)[i % 3],
                 spatial=(0.0, 2.5, 3.5, 0.0)[i % 4]) for i in range(n)]


@pytest.mark.parametrize("width,height,grid,kind", CASES)
def test_sequence_matches_the_c_library(clib, rng, width, height, grid, kind):
    frames = scenes.sequence(rng, width, height, 8)
    params = params_for(kind, len(frames))
    d = tnr_md.Denoiser(width, height, grid=grid, **(params[0] if params else {}))
    assert d.grid == (grid or (width, height))
    got = run(d, frames, params)
    assert_same(got, clib.sequence(frames, width, height, grid, params))
    # The first frame is its own previous frame: it comes out unchanged.
    assert np.array_equal(got[0][0], frames[0])
    assert d.frame_count == len(frames)


def test_same_frames_as_the_c_example(clib, example, rng, tmp_path):
    """The C example (the temporal stage alone) gives the library's frames."""
    width, height = 96, 64
    frames = scenes.sequence(rng, width, height, 6)
    src, dst = tmp_path / "in.nv12", tmp_path / "out.nv12"
    src.write_bytes(b"".join(f.tobytes() for f in frames))
    subprocess.run([example, str(width), str(height), str(src), str(dst)], check=True,
                   capture_output=True)
    want = clib.sequence(frames, width, height, params=[dict(spatial=0)] * len(frames))
    assert dst.read_bytes() == b"".join(w[0].tobytes() for w in want)


def forms(f, height):
    """The same frame as every accepted array form: (name, args for process,
    the filtered frame packed, the row padding that must stay unchanged)."""
    y, uv = f[:height], f[height:]
    cols = f.shape[1]
    out = []
    a = f.copy()
    out.append(("packed", (a,), lambda: a, lambda: []))
    py, puv = y.copy(), uv.copy()
    out.append(("planes", (py, puv), lambda: np.vstack([py, puv]), lambda: []))
    v = scenes.padded(f, 24)
    out.append(("padded", (v,), lambda: v.copy(), lambda: [v.base[:, cols:].copy()]))
    o = scenes.padded(f, 7)  # odd pitch: the library's frames need an even one
    out.append(("odd pitch", (o,), lambda: o.copy(), lambda: [o.base[:, cols:].copy()]))
    big = np.full((f.shape[0], cols + 10), 0x3C, np.uint8)
    big[:, :cols] = f
    vy, vuv = big[:height, :cols], big[height:, :cols]
    out.append(("planes in one padded buffer", (vy, vuv), lambda: np.vstack([vy, vuv]),
                lambda: [big[:, cols:].copy()]))
    ty, tuv = scenes.padded(y, 4), scenes.padded(uv, 12)
    out.append(("planes with different pitches", (ty, tuv), lambda: np.vstack([ty, tuv]),
                lambda: [ty.base[:, cols:].copy(), tuv.base[:, cols:].copy()]))
    return out


def test_every_form_gives_the_same_bytes(clib, rng):
    width, height, n = 80, 48, 7
    frames = scenes.sequence(rng, width, height, n)
    want = clib.sequence(frames, width, height)
    names = [name for name, *_ in forms(frames[0], height)]
    # One object per form, and one that changes form (and row pitch) every frame.
    for k, name in enumerate(names + ["mixed"]):
        d = tnr_md.Denoiser(width, height)
        for i, f in enumerate(frames):
            variants = forms(f, height)
            label, args, packed, padding = variants[i % len(variants) if name == "mixed" else k]
            before = padding()
            res = d.process(*args)
            assert (res is args[0]) if len(args) == 1 else (res[0] is args[0] and res[1] is args[1])
            assert np.array_equal(packed(), want[i][0]), f"{name} ({label}): frame {i} differs"
            for b, a in zip(before, padding()):
                assert np.array_equal(b, a), f"{label}: frame {i} wrote into the row padding"
            for j, m in enumerate(("static_ratio", "weight", "gain")):
                assert np.array_equal(getattr(d, m), want[i][j + 1]), f"{name}: frame {i}: {m}"


def test_padded_view_at_an_inaccessible_page(clib, rng):
    """A padded frame (and planes) whose last row ends where an inaccessible
    page begins: the library's frame would span a whole pitch more, so the
    object must not hand it the caller's memory directly."""
    width, height, pitch = 72, 48, 78  # the last 8x8 block column stands alone
    frames = scenes.sequence(rng, width, height, 3)
    want = clib.sequence(frames, width, height)
    rows = height * 3 // 2
    need = (rows - 1) * pitch + width
    page = mmap.PAGESIZE
    pages = (need + page - 1) // page
    mem = mmap.mmap(-1, (pages + 1) * page)
    base = ctypes.addressof(ctypes.c_char.from_buffer(mem))
    libc = ctypes.CDLL(None)
    libc.mprotect.argtypes = [ctypes.c_void_p, ctypes.c_size_t, ctypes.c_int]
    assert libc.mprotect(base + pages * page, page, 0) == 0
    try:
        start = pages * page - need
        view = np.ndarray((rows, width), np.uint8, buffer=mem, offset=start, strides=(pitch, 1))
        d = tnr_md.Denoiser(width, height)
        for i, f in enumerate(frames):
            view[...] = f
            d.process(view)
            assert np.array_equal(view, want[i][0]), f"frame {i}"
        d.reset()
        for i, f in enumerate(frames):
            view[...] = f
            d.process(view[:height], view[height:])
            assert np.array_equal(view, want[i][0]), f"planes: frame {i}"
            assert np.array_equal(tnr_md.cal_diff_and_downscale_8x8(view, view)[0],
                                  np.zeros((height + 2, width + 2), np.int16))
    finally:
        del view
        libc.mprotect(base + pages * page, page, 3)
        del base
        mem.close()


def test_reset_starts_a_cold_sequence(clib, rng):
    width, height = 64, 48
    first = scenes.sequence(rng, width, height, 5)
    second = scenes.sequence(rng, width, height, 5, noise=8.0)
    d = tnr_md.Denoiser(width, height, gain=90)
    run(d, first)
    gains = d.gain
    d.start_gain = 77  # applies from the next reset on
    assert np.array_equal(d.gain, gains)
    d.reset()
    assert d.frame_count == 0
    assert not d.weight.any() and not d.static_ratio.any()
    assert (d.gain == 77).all()
    got = run(d, second)
    assert_same(got, clib.sequence(second, width, height, params=[dict(gain=77)] * 5))


def test_maps_are_copies_and_properties_round_trip(rng):
    width, height = 64, 48
    d = tnr_md.Denoiser(width, height, sigma_h=0.9, sigma_l=0.2, uv_ratio=1.0, static_ratio_bit=3,
                        gain=100, grid=(40, 32))
    run(d, scenes.sequence(rng, width, height, 3))
    w = d.weight
    assert w.shape == (32, 40) and w.dtype == np.uint8 and w.flags.writeable
    w[...] = 255
    assert d.weight.max() <= 128
    assert repr(eval(repr(d), {"tnr_md": tnr_md})) == repr(d) == ("tnr_md.Denoiser(64, 48, sigma_h=0.9, sigma_l=0.2, uv_ratio=1.0, "
                       "static_ratio_bit=3, gain=100, grid=(40, 32), spatial=5.0)")
    defaults = tnr_md.Denoiser(64, 48)
    assert (defaults.sigma_h, defaults.sigma_l, defaults.uv_ratio, defaults.static_ratio_bit,
            defaults.start_gain, defaults.spatial) == (1.1, 0.12, 0.75, 4, 128, 5.0)
