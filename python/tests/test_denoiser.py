"""Denoiser against the C library: frames and maps, every array form, reset."""
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
# off) constant, off the defaults, and changed mid-sequence: the settings of frame i.
CUSTOM = dict(sigma_h=1.6, sigma_l=0.3, uv_ratio=1.2, static_ratio_bit=2, spatial=1.25)
CASES = [(64, 48, None, None), (78, 50, None, None), (96, 64, (61, 37), None),
         (130, 40, (130, 40), lambda i: CUSTOM),
         (96, 64, None, lambda i: dict(sigma_h=0.6 + 0.2 * (i % 4), sigma_l=0.08 + 0.05 * (i % 3),
                                       uv_ratio=(0.5, 1.0, 0.0)[i % 3], static_ratio_bit=(4, 7, 9)[i % 3],
                                       spatial=(0.0, 2.5, 3.5, 0.0)[i % 4]))]


@pytest.mark.parametrize("width,height,grid,kind", CASES)
def test_sequence_matches_the_c_library(clib, rng, width, height, grid, kind):
    frames = scenes.sequence(rng, width, height, 8)
    params = kind and [kind(i) for i in range(len(frames))]
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
    """The same frame as every accepted array form: (name, arrays for process()).
    A padded frame ending at an inaccessible page: the library's frame would
    span a whole pitch more, so the object must not hand it the memory directly."""
    y, uv = f[:height], f[height:]
    big = scenes.padded(f, 10)
    return [("packed", (f.copy(),)), ("planes", (y.copy(), uv.copy())), ("padded", (scenes.padded(f, 24),)),
            ("odd pitch", (scenes.padded(f, 7),)), ("planes in one padded buffer", (big[:height], big[height:])),
            ("planes with different pitches", (scenes.padded(y, 4), scenes.padded(uv, 12))),
            ("at a guard page", (scenes.guarded(f, 6),)),
            ("planes at guard pages", (scenes.guarded(y, 6), scenes.guarded(uv, 6)))]


def test_every_form_gives_the_same_bytes(clib, rng):
    width, height, n = 72, 48, 9  # the last 8x8 block column stands alone
    frames = scenes.sequence(rng, width, height, n)
    want = clib.sequence(frames, width, height)
    names = [name for name, _ in forms(frames[0], height)]
    # One object per form, and one that changes form (and row pitch) every frame.
    for k, name in enumerate(names + ["mixed"]):
        d = tnr_md.Denoiser(width, height)
        for i, f in enumerate(frames):
            variants = forms(f, height)
            label, args = variants[i % len(variants) if name == "mixed" else k]
            res = d.process(*args)
            assert (res is args[0]) if len(args) == 1 else (res[0] is args[0] and res[1] is args[1])
            assert np.array_equal(np.vstack(args), want[i][0]), f"{name} ({label}): frame {i} differs"
            for a in args:
                if isinstance(a.base, np.ndarray):
                    assert (a.base[:, width:] == scenes.FILL).all(), f"{label}: frame {i} wrote into the row padding"
            for j, m in enumerate(("static_ratio", "weight", "gain")):
                assert np.array_equal(getattr(d, m), want[i][j + 1]), f"{name}: frame {i}: {m}"


def test_maps_repr_and_reset(clib, rng):
    """The maps are copies; the settings round-trip through repr; reset starts a
    cold sequence from the start gain set meanwhile."""
    width, height, tuning = 64, 48, dict(sigma_h=0.9, sigma_l=0.2, uv_ratio=1.0, static_ratio_bit=3)
    first, second = scenes.sequence(rng, width, height, 5), scenes.sequence(rng, width, height, 5, noise=8.0)
    d = tnr_md.Denoiser(width, height, gain=90, grid=(40, 32), **tuning)
    run(d, first)
    w = d.weight
    assert w.shape == (32, 40) and w.dtype == np.uint8 and w.flags.writeable
    w[...] = 255
    assert d.weight.max() <= 128
    assert repr(eval(repr(d), {"tnr_md": tnr_md})) == repr(d) == ("tnr_md.Denoiser(64, 48, sigma_h=0.9, sigma_l=0.2, uv_ratio=1.0, "
                                                                  "static_ratio_bit=3, gain=90, grid=(40, 32), spatial=5.0)")
    gains = d.gain
    d.start_gain = 77  # applies from the next reset on
    assert np.array_equal(d.gain, gains)
    d.reset()
    assert d.frame_count == 0 and not d.weight.any() and not d.static_ratio.any() and (d.gain == 77).all()
    assert_same(run(d, second), clib.sequence(second, width, height, (40, 32), [dict(tuning, gain=77)] * 5))
    d = tnr_md.Denoiser(64, 48)
    assert (d.sigma_h, d.sigma_l, d.uv_ratio, d.static_ratio_bit, d.start_gain, d.spatial) == (1.1, 0.12, 0.75, 4, 128, 5.0)


def test_presets(clib, rng):
    """preset= takes one of the library's named tunings (medium: the defaults);
    tuning keywords beside it win; the frames are those of that tuning."""
    width, height = 64, 48
    frames = scenes.sequence(rng, width, height, 4)
    tunings = {}
    for name in ("light", "medium", "strong"):
        d = tnr_md.Denoiser(width, height, preset=name)
        tuning = dict(sigma_h=d.sigma_h, sigma_l=d.sigma_l, uv_ratio=d.uv_ratio, spatial=d.spatial)
        tunings[name] = tuning
        assert_same(run(d, frames), clib.sequence(frames, width, height, params=[tuning] * len(frames)))
        d = tnr_md.Denoiser(width, height, preset=name, sigma_l=0.3)
        assert (d.sigma_h, d.sigma_l, d.uv_ratio, d.spatial) == (tuning["sigma_h"], 0.3, tuning["uv_ratio"], tuning["spatial"])
    assert tunings["medium"] == dict(sigma_h=1.1, sigma_l=0.12, uv_ratio=0.75, spatial=5.0)
    assert tunings["light"]["sigma_l"] < tunings["medium"]["sigma_l"] < tunings["strong"]["sigma_l"]
    with pytest.raises(ValueError, match="preset must be one of light, medium, strong, got 'heavy'"):
        tnr_md.Denoiser(width, height, preset="heavy")
