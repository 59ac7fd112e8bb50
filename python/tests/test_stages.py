"""Each stage function against the same C stage called through ctypes, on
random inputs, packed and with padded rows."""
import numpy as np
import pytest

import scenes
import tnr_md
from scenes import eq


def layouts(cur, prev):
    """The frame pair packed, both padded at one pitch, at two pitches."""
    yield "packed", cur, prev
    yield "padded", scenes.padded(cur, 16), scenes.padded(prev, 16)
    yield "two pitches", scenes.padded(cur, 6), prev


def eq_all(got, want, name, planes=("hdiff", "ldiff", "sigma", "raw", "cell_means")):
    assert len(got) == len(want), name
    for g, w, plane in zip(got, want, planes):
        eq(g, w, f"{name}: {plane}")


MAPS = ("filtered frame", "static ratio", "weight", "gain")


# Frame sizes whose heights cover every band remainder and widths that are
# not multiples of 8 or 16; grids smaller than the frame, odd ones included.
# With a light clip: cal_diff, which takes even grids of at least 32x32.
@pytest.mark.parametrize("width,height,grid,clipped", [
    (64, 48, None, False), (70, 42, None, False), (66, 20, None, False), (96, 64, (61, 37), False),
    (40, 16, (8, 8), False), (64, 64, None, True), (100, 40, None, True), (128, 80, (100, 66), True)])
def test_cal_diff_and_downscale_8x8_and_cal_diff(clib, rng, width, height, grid, clipped):
    cur, prev = scenes.frame_pair(rng, width, height)
    uv = float(rng.uniform(0, 1.5))
    clip = dict(light_clip=float(rng.uniform(0, 12))) if clipped else {}
    gw, gh = grid or (width, height)
    want = clib.cal_diff(cur, prev, uv, gw, gh, **clip)
    fn = tnr_md.cal_diff if clipped else tnr_md.cal_diff_and_downscale_8x8
    for name, c, p in layouts(cur, prev):
        eq_all(fn(c, p, uv_ratio=uv, grid=grid, **clip), want, name)


@pytest.mark.parametrize("width,height", [(64, 48), (70, 42), (66, 20), (12, 22), (8, 18)])
def test_cal_diff_and_downscale(clib, rng, width, height):
    cur, prev = scenes.frame_pair(rng, width, height)
    want = clib.diff(cur, prev)
    for name, c, p in layouts(cur, prev):
        eq_all(tnr_md.cal_diff_and_downscale(c, p), want, name)


def random_plane(rng, rows, cols, lo=-32768, hi=32767):
    return rng.integers(lo, hi + 1, (rows, cols), dtype=np.int16)


@pytest.mark.parametrize("rows,cols,ext_x,ext_y", [(3, 3, 1, 1), (9, 9, 4, 4), (12, 30, 1, 4),
                                                   (7, 20, 3, 0), (20, 7, 0, 2)])
def test_extend_border(clib, rng, rows, cols, ext_x, ext_y):
    plane = random_plane(rng, rows, cols)
    want = clib.extend_border(plane, ext_x, ext_y)
    for name, p in (("packed", plane.copy()), ("padded", scenes.padded(plane, 5, fill=-7))):
        assert tnr_md.extend_border(p, ext_x, ext_y) is p
        eq(p, want, name)
        if p.base is not None:
            assert (p.base[:, cols:] == -7).all(), "wrote into the row padding"
    if ext_x == ext_y:
        p = plane.copy()
        eq(tnr_md.extend_border(p, ext_x), want, "ext_y defaulting to ext_x")


# Widths around the 16-sample blocks (narrower than a block, one block,
# one more, a moved-back last block).
SMOOTH_SIZES = [(1, 1), (5, 7), (3, 15), (4, 16), (6, 17), (2, 31), (9, 40)]


@pytest.mark.parametrize("h,w", SMOOTH_SIZES)
def test_gauss3x3_and_gauss9x9(clib, rng, h, w):
    for fn, ref, b in ((tnr_md.gauss3x3, clib.gauss3x3, 1), (tnr_md.gauss9x9, clib.gauss9x9, 2)):
        plane = random_plane(rng, h + 2 * b, w + 2 * b)
        want = ref(plane)
        eq(fn(plane), want, f"{fn.__name__} packed")
        eq(fn(scenes.padded(plane, 3)), want, f"{fn.__name__} padded")


@pytest.mark.parametrize("lh,lw", [(1, 1), (3, 7), (5, 8), (4, 13), (9, 24)])
def test_sigma_tables(clib, rng, lh, lw):
    # Block sigmas as the difference stage gives them, and the wrapping range.
    for hi in (3000, 32767):
        plane = random_plane(rng, lh + 8, lw + 8, 0, hi)
        sh, sl = float(rng.uniform(0, 3)), float(rng.uniform(0, 1.75))
        want = clib.sigma_tables(plane, sh, sl)
        for name, p in (("packed", plane), ("padded", scenes.padded(plane, 4))):
            eq_all(tnr_md.sigma_tables(p, sigma_h=sh, sigma_l=sl), want, name, ("low table", "high table"))


def upscale_inputs(rng, width, height, gw, gh):
    cur, prev = scenes.frame_pair(rng, width, height)
    lw, lh = (gw + 7) // 8, (gh + 7) // 8
    return dict(
        cur=cur, prev=prev,
        ldiff=rng.integers(0, 3000, (lh, lw), dtype=np.int16),
        hdiff=rng.integers(0, 12000, (gh, gw), dtype=np.int16),
        sigma_low=rng.integers(20, 2000, (lh, lw), dtype=np.uint16),
        sigma_high=rng.integers(0, 6000, (lh, lw), dtype=np.uint32),
        weight=rng.integers(0, 129, (gh, gw), dtype=np.uint8),
        gain=rng.integers(0, 256, (gh, gw), dtype=np.uint8))


@pytest.mark.parametrize("width,height,grid", [(64, 48, None), (96, 64, (61, 37)), (130, 40, None),
                                               (32, 16, (14, 8))])
def test_upscale(clib, rng, width, height, grid):
    gw, gh = grid or (width, height)
    x = upscale_inputs(rng, width, height, gw, gh)
    bit = int(rng.integers(0, 10))
    want = clib.upscale(x["cur"], x["prev"], x["ldiff"], x["hdiff"], x["sigma_low"],
                        x["sigma_high"], x["weight"], x["gain"], bit)
    # weight and gain packed, at one padded pitch (used in place), at two pitches.
    for name, wpad, gpad, cpad in (("packed", 0, 0, 0), ("one pitch", 9, 9, 10), ("two pitches", 3, 0, 0)):
        cur = scenes.padded(x["cur"], cpad) if cpad else x["cur"].copy()
        weight = scenes.padded(x["weight"], wpad) if wpad else x["weight"].copy()
        gain = scenes.padded(x["gain"], gpad) if gpad else x["gain"].copy()
        ratio = tnr_md.upscale(cur, x["prev"], x["ldiff"], x["hdiff"], x["sigma_low"], x["sigma_high"],
                               weight, gain, static_ratio_bit=bit)
        eq_all((cur, ratio, weight, gain), want, name, MAPS)


@pytest.mark.parametrize("width,height,grid", [(64, 48, None), (96, 64, (61, 37))])
def test_motion_detect_and_the_stage_chain(clib, rng, width, height, grid):
    gw, gh = grid or (width, height)
    cur, prev = scenes.frame_pair(rng, width, height)
    weight = rng.integers(0, 129, (gh, gw), dtype=np.uint8)
    gain = rng.integers(0, 256, (gh, gw), dtype=np.uint8)
    p = dict(sigma_h=float(rng.uniform(0.5, 2)), sigma_l=float(rng.uniform(0.05, 0.5)),
             uv_ratio=float(rng.uniform(0, 1.5)), static_ratio_bit=int(rng.integers(0, 9)))
    out, _, *maps = clib.step(cur, prev, weight, gain, dict(p, spatial=0))
    c, w, g = scenes.padded(cur, 8), weight.copy(), gain.copy()
    ratio = tnr_md.motion_detect(c, prev, w, g, **p)
    eq_all((c, ratio, w, g), (out, *maps), "motion_detect", MAPS)
    # The stages chained as the filter runs them give the same frame and maps.
    hdiff, ldiff, sigma = tnr_md.cal_diff_and_downscale_8x8(cur, prev, p["uv_ratio"], grid=grid)
    for plane, b in ((ldiff, 1), (hdiff, 1), (sigma, 4)):
        tnr_md.extend_border(plane, b)
    low, high = tnr_md.sigma_tables(sigma, p["sigma_h"], p["sigma_l"])
    c, w, g = cur.copy(), weight.copy(), gain.copy()
    ratio = tnr_md.upscale(c, prev, tnr_md.gauss3x3(ldiff), tnr_md.gauss3x3(hdiff), low, high, w, g,
                           p["static_ratio_bit"])
    eq_all((c, ratio, w, g), (out, *maps), "stage chain", MAPS)


def test_scratch_size(clib):
    for gw, gh in ((1920, 1080), (14, 8), (8, 8), (13, 8), (7, 100)):
        assert tnr_md.scratch_size(gw, gh) == clib.tmp_size(gh, gw)
    assert tnr_md.scratch_size(8, 8) == 0 and tnr_md.scratch_size(1920, 1080) == 6 * 1920 * 1080
