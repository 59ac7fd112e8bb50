"""Stage functions on random inputs: every array form (packed, padded rows,
two pitches, ending at an inaccessible page) gives the same results; the stages
chained as the filter runs them give motion_detect's frame and maps, which are
the C library's; the stages outside that chain against the C stage through
ctypes."""
import numpy as np
import pytest

import scenes
import tnr_md
from scenes import eq


def ints(rng, shape, dtype, lo=None, hi=None):
    info = np.iinfo(dtype)
    return rng.integers(info.min if lo is None else lo, (info.max if hi is None else hi) + 1, shape, dtype=dtype)


def diff_args(rng, width, height, grid=None, **kw):
    return list(scenes.frame_pair(rng, width, height)), dict(kw, **({"grid": grid} if grid else {}))


def upscale_args(rng, width, height, grid=None):
    (gw, gh), cur = grid or (width, height), scenes.frame_pair(rng, width, height)
    lh, lw = (gh + 7) // 8, (gw + 7) // 8
    return [*cur, ints(rng, (lh, lw), np.int16, 0, 3000), ints(rng, (gh, gw), np.int16, 0, 12000),
            ints(rng, (lh, lw), np.uint16, 20, 2000), ints(rng, (lh, lw), np.uint32, 0, 6000),
            ints(rng, (gh, gw), np.uint8, 0, 128), ints(rng, (gh, gw), np.uint8)], dict(static_ratio_bit=int(rng.integers(0, 10)))


def motion_args(rng, width, height, grid=None):
    (gw, gh), cur = grid or (width, height), scenes.frame_pair(rng, width, height)
    return [*cur, ints(rng, (gh, gw), np.uint8, 0, 128), ints(rng, (gh, gw), np.uint8)], dict(
        sigma_h=float(rng.uniform(0.5, 2)), sigma_l=float(rng.uniform(0.05, 0.5)),
        uv_ratio=float(rng.uniform(0, 1.5)), static_ratio_bit=int(rng.integers(0, 9)))


def edge(plane, ex, ey):
    rows, cols = plane.shape
    return np.pad(plane[ey:rows - ey, ex:cols - ex], ((ey, ey), (ex, ex)), mode="edge")


# (function, inputs from (rng, *size), C reference of the packed results or None).
# Heights cover every band remainder; widths not multiples of 8 or 16, odd
# grids smaller than the frame; smoothing widths around 16-sample blocks.
CASES = [
    (tnr_md.cal_diff_and_downscale_8x8, lambda r, *s: diff_args(r, *s, uv_ratio=float(r.uniform(0, 1.5))), None,
     [(64, 48), (66, 20), (96, 64, (61, 37)), (40, 16, (8, 8))]),
    (tnr_md.cal_diff, lambda r, *s: diff_args(r, *s, uv_ratio=float(r.uniform(0, 1.5)), light_clip=float(r.uniform(0, 12))),
     lambda c, a, k: c.cal_diff(*a, k["uv_ratio"], *k.get("grid", (a[0].shape[1], a[0].shape[0] * 2 // 3)), k["light_clip"]),
     [(64, 64), (100, 40), (128, 80, (100, 66))]),
    (tnr_md.cal_diff_and_downscale, diff_args, lambda c, a, k: c.diff(*a), [(70, 42), (12, 22), (8, 18)]),
    (tnr_md.extend_border, lambda r, rows, cols, ex, ey: ([ints(r, (rows, cols), np.int16)], dict(ext_x=ex, ext_y=ey)),
     lambda c, a, k: (edge(a[0], k["ext_x"], k["ext_y"]),), [(3, 3, 1, 1), (12, 30, 1, 4), (7, 20, 3, 0), (20, 7, 0, 2)]),
    (tnr_md.gauss3x3, lambda r, h, w: ([ints(r, (h + 2, w + 2), np.int16)], {}), None, [(1, 1), (4, 16), (6, 17), (9, 40)]),
    (tnr_md.gauss9x9, lambda r, h, w: ([ints(r, (h + 4, w + 4), np.int16)], {}), lambda c, a, k: (c.gauss9x9(a[0]),),
     [(1, 1), (5, 7), (3, 15), (4, 16), (2, 31)]),
    (tnr_md.sigma_tables, lambda r, lh, lw, hi: ([ints(r, (lh + 8, lw + 8), np.int16, 0, hi)],
                                                 dict(sigma_h=float(r.uniform(0, 3)), sigma_l=float(r.uniform(0, 1.75)))),
     None, [(1, 1, 3000), (5, 8, 32767), (9, 24, 3000)]),
    (tnr_md.upscale, upscale_args, None, [(64, 48), (130, 40), (32, 16, (14, 8))]),
    (tnr_md.motion_detect, motion_args, None, [(64, 48), (96, 64, (61, 37))]),
]


def results(fn, arrays, kw):
    """The returned arrays and every argument afterwards (written in place or left alone)."""
    got = fn(*arrays, **kw)
    got = got if isinstance(got, tuple) else (got,)
    return [np.ascontiguousarray(g) for g in got if g is not arrays[0]] + [np.ascontiguousarray(a) for a in arrays]


@pytest.mark.parametrize("fn,make,ref,size", [(f, m, r, s) for f, m, r, sizes in CASES for s in sizes],
                         ids=[f"{f.__name__}{s}" for f, _, _, sizes in CASES for s in sizes])
def test_every_array_form_gives_the_same_results(clib, rng, fn, make, ref, size):
    arrays, kw = make(rng, *size)
    want = results(fn, [a.copy() for a in arrays], kw)
    if ref:
        for i, w in enumerate(ref(clib, arrays, kw)):
            eq(want[i], w, f"{fn.__name__} against the C stage: result {i}")
    forms = {"padded": lambda i, a: scenes.padded(a, 16), "two pitches": lambda i, a: scenes.padded(a, 3 + i) if i % 2 else a.copy(),
             "guarded": lambda i, a: scenes.guarded(a, i % 3)}
    for name, form in forms.items():
        views = [form(i, a) for i, a in enumerate(arrays)]
        for i, (g, w) in enumerate(zip(results(fn, views, kw), want)):
            eq(g, w, f"{fn.__name__} {name}: result {i}")
        for v in views:
            if isinstance(v.base, np.ndarray):
                assert (v.base[:, v.shape[1]:] == scenes.FILL).all(), f"{fn.__name__} {name}: wrote into the row padding"


@pytest.mark.parametrize("width,height,grid", [(64, 48, None), (96, 64, (61, 37)), (130, 40, None), (32, 16, (14, 8))])
def test_motion_detect_is_the_c_library_and_the_stage_chain(clib, rng, width, height, grid):
    (cur, prev, weight, gain), p = motion_args(rng, width, height, grid)
    out, _, *maps = clib.step(cur, prev, weight, gain, dict(p, spatial=0))
    c, w, g = cur.copy(), weight.copy(), gain.copy()
    ratio = tnr_md.motion_detect(c, prev, w, g, **p)
    for name, x, y in zip(("frame", "static ratio", "weight", "gain"), (c, ratio, w, g), (out, *maps)):
        eq(x, y, f"motion_detect: {name}")
    hdiff, ldiff, sigma = tnr_md.cal_diff_and_downscale_8x8(cur, prev, p["uv_ratio"], grid=grid)
    for plane, b in ((ldiff, 1), (hdiff, 1), (sigma, 4)):
        tnr_md.extend_border(plane, b)
    low, high = tnr_md.sigma_tables(sigma, p["sigma_h"], p["sigma_l"])
    c, w, g = cur.copy(), weight.copy(), gain.copy()
    ratio = tnr_md.upscale(c, prev, tnr_md.gauss3x3(ldiff), tnr_md.gauss3x3(hdiff), low, high, w, g,
                           p["static_ratio_bit"])
    for name, x, y in zip(("frame", "static ratio", "weight", "gain"), (c, ratio, w, g), (out, *maps)):
        eq(x, y, f"stage chain: {name}")


def test_scratch_size(clib):
    for gw, gh in ((1920, 1080), (14, 8), (8, 8), (13, 8), (7, 100)):
        assert tnr_md.scratch_size(gw, gh) == clib.tmp_size(gh, gw)
    assert tnr_md.scratch_size(8, 8) == 0 and tnr_md.scratch_size(1920, 1080) == 6 * 1920 * 1080
