"""Camera alignment through the Denoiser: the align argument and property,
the motion among the per-frame figures, and the frames against the C stream
object with alignment on."""
import numpy as np
import pytest

import scenes
import tnr_md

FIGURES = ("frames", "mean_static_ratio", "mean_gain", "noise_level", "motion_x", "motion_y",
           "motion_confidence", "aligned")


def test_align_argument_and_property(cstream):
    """The default is the library's; the keyword and the property round-trip,
    through repr too; a preset leaves it alone; only True and False pass."""
    default = bool(cstream.defaults().align)
    d = tnr_md.Denoiser(160, 128)
    assert d.align is default
    assert "align" not in repr(d)
    for value in (True, False):
        d = tnr_md.Denoiser(160, 128, align=value, preset="strong")
        assert d.align is value
        assert repr(eval(repr(d), {"tnr_md": tnr_md})) == repr(d)
        assert eval(repr(d), {"tnr_md": tnr_md}).align is value
        d.align = not value
        assert d.align is (not value)
    for bad in (1, 0, "yes", None, np.bool_(True)):
        with pytest.raises(TypeError, match="align must be True or False"):
            d.align = bad
    for bad in (1, "on"):
        with pytest.raises(TypeError, match="align must be True or False"):
            tnr_md.Denoiser(160, 128, align=bad)


def check_figures(got, want, what):
    assert set(got) == set(FIGURES), what
    for k in FIGURES:
        w = want[k] / 16.0 if k == "noise_level" else want[k]
        assert got[k] == (bool(w) if k == "aligned" else w), f"{what}: {k} {got[k]} != {w}"


@pytest.mark.parametrize("dx,dy", [(2.0, -1.0), (1.3125, 0.4375), (-0.625, 1.75)])
def test_stats_follow_a_pan_and_frames_equal_the_c_stream(cstream, rng, dx, dy):
    """On a camera panning by (dx, dy) a frame: with align on every frame after
    the first is aligned and reports the pan within 1/8 pixel; frames and
    figures are the C stream's, align on, off, and switched on mid-sequence."""
    width, height, n, switch = 256, 192, 8, 4
    frames = scenes.pan(rng, width, height, n, dx, dy)
    for mode in ("on", "off", "switched"):
        d = tnr_md.Denoiser(width, height, align=mode == "on")
        assert d.stats == dict.fromkeys(FIGURES, 0) | {"aligned": False}
        got = []
        for t, f in enumerate(frames):
            if mode == "switched" and t == switch:
                d.align = True
            a = f.copy()
            d.process(a)
            got.append((a, d.stats))
        # The C stream switched at the same frame, the sequence going on.
        want, stats = cstream.sequence(frames, width, height, align=int(mode == "on"),
                                       switch_align_at=switch if mode == "switched" else None)
        for t, ((a, st), w, ws) in enumerate(zip(got, want, stats)):
            scenes.eq(a, w, f"align {mode}, pan ({dx}, {dy}), frame {t}")
            check_figures(st, ws, f"align {mode}, pan ({dx}, {dy}), frame {t}")
            on = mode == "on" or (mode == "switched" and t >= switch)
            assert st["frames"] == t + 1
            if not on or t == 0:
                assert not st["aligned"] and st["motion_x"] == st["motion_y"] == 0, (mode, t, st)
            else:
                assert st["aligned"], (mode, t, st)
                assert abs(st["motion_x"] - dx) <= 0.125 and abs(st["motion_y"] - dy) <= 0.125, (mode, t, st)
                assert st["motion_confidence"] > 0.5, (mode, t, st)
    # Alignment changes the frames on a pan (else the comparison above proves nothing).
    on, _ = cstream.sequence(frames, width, height, align=1)
    off, _ = cstream.sequence(frames, width, height, align=0)
    assert sum(int((a != b).sum()) for a, b in zip(on, off)) > width * height


def test_reset_clears_the_figures(rng):
    width, height = 192, 128
    frames = scenes.pan(rng, width, height, 3, 1.5, 0.5)
    d = tnr_md.Denoiser(width, height, align=True)
    for f in frames:
        d.process(f.copy())
    assert d.stats["aligned"] and d.stats["frames"] == 3
    d.reset()
    assert d.stats == dict.fromkeys(FIGURES, 0) | {"aligned": False}
    d.process(frames[0].copy())
    assert d.stats["frames"] == 1 and not d.stats["aligned"]
