"""Bad inputs raise the right exception with a message saying what was
expected, write nothing, and leave the object as it was."""
import numpy as np
import pytest

import scenes
import tnr_md

W, H = 64, 48


def frame(fill=100, rows=H * 3 // 2, cols=W, dtype=np.uint8):
    return np.full((rows, cols), fill, dtype)


def read_only():
    f = frame()
    f.flags.writeable = False
    return f


def z(shape, dtype):
    return np.zeros(shape, dtype)


def upscale(grid=(64, 48), **over):
    """upscale on zeros for a 64x48 frame and the grid, with some arrays replaced."""
    (gw, gh), (lw, lh) = grid, ((grid[0] + 7) // 8, (grid[1] + 7) // 8)
    a = dict(cur=frame(), prev=frame(), ldiff=z((lh, lw), np.int16), hdiff=z((gh, gw), np.int16),
             sigma_low=z((lh, lw), np.uint16), sigma_high=z((lh, lw), np.uint32),
             weight=z((gh, gw), np.uint8), gain=z((gh, gw), np.uint8))
    a.update(over)
    return tnr_md.upscale(**a)


# (call given a Denoiser, exception, words of the message)
ERRORS = [
    (lambda d: d.process([[0] * W] * (H * 3 // 2)), TypeError, "frame: expected a numpy array of uint8, got list"),
    (lambda d: d.process(frame(dtype=np.float32)), TypeError, "frame: expected dtype uint8, got float32"),
    (lambda d: d.process(frame(rows=H)), ValueError, "frame: expected shape (72, 64) (height * 3 // 2 rows"),
    (lambda d: d.process(frame()[None]), ValueError, "got a 3-D array of shape (1, 72, 64)"),
    (lambda d: d.process(np.zeros((0, W), np.uint8)), ValueError, "expected shape (72, 64)"),
    (lambda d: d.process(read_only()), ValueError, "frame: the array is read-only"),
    (lambda d: d.process(frame(cols=2 * W)[:, ::2]), ValueError, "elements of a row must be adjacent (strides[1] == 1)"),
    (lambda d: d.process(frame()[::-1]), ValueError, "rows must follow each other at increasing addresses"),
    (lambda d: d.process(frame(rows=H), frame(rows=H)), ValueError, "uv: expected shape (24, 64)"),
    (lambda d: d.process(frame(rows=H), frame(rows=H // 2, dtype=np.uint16)), TypeError, "uv: expected dtype uint8"),
    (lambda d: d.process(frame(rows=H // 2), frame(rows=H // 2)), ValueError, "y: expected shape (48, 64)"),
    (lambda d: (lambda f: d.process(f[:H], f[H - 1:H * 3 // 2 - 1]))(frame()), ValueError, "y and uv overlap"),
    (lambda d: tnr_md.Denoiser(width=65, height=48), ValueError, "width and height must be positive and even"),
    (lambda d: tnr_md.Denoiser(width=64, height=0), ValueError, "must be a positive even number"),
    (lambda d: tnr_md.Denoiser(width=8, height=8), ValueError, "does not accept a 8x8 grid: grids of at least 14x8"),
    (lambda d: tnr_md.Denoiser(width=64, height=48, grid=(66, 48)), ValueError, "grid 66x48 does not fit the 64x48 frame"),
    (lambda d: tnr_md.Denoiser(width=64, height=48, grid=(64,)), TypeError, "grid must be a (width, height) pair of ints"),
    (lambda d: tnr_md.Denoiser(width=64, height=48, grid="64x48"), TypeError, "grid must be None or a (width, height) pair"),
    (lambda d: tnr_md.Denoiser(width=64, height=48, sigma_h=16.5), ValueError, "sigma_h must lie in 0 .. 16, got 16.5"),
    (lambda d: tnr_md.Denoiser(width=64, height=48, sigma_l=-1.0), ValueError, "sigma_l must lie in 0 .. 1.5"),
    (lambda d: tnr_md.Denoiser(width=64, height=48, uv_ratio=1.6), ValueError, "uv_ratio must lie in 0 .. 1.5"),
    (lambda d: tnr_md.Denoiser(width=64, height=48, static_ratio_bit=-1), ValueError, "static_ratio_bit must lie in 0 .. 255"),
    (lambda d: tnr_md.Denoiser(width=64, height=48, gain=256), ValueError, "gain must lie in 0 .. 255, got 256"),
    (lambda d: tnr_md.Denoiser(width=64, height=48, spatial=16.0), ValueError, "spatial must lie in 0 .. 15.9, got 16"),
    (lambda d: tnr_md.cal_diff_and_downscale_8x8(frame(), frame(rows=H)), ValueError, "prev: expected shape (72, 64)"),
    (lambda d: tnr_md.cal_diff_and_downscale_8x8(frame(rows=70), frame(rows=70)), ValueError,
     "cur: an NV12 frame is an array of shape (height * 3 // 2, width) with even width and height"),
    (lambda d: tnr_md.cal_diff_and_downscale_8x8(frame(), frame(), grid=(7, 8)), ValueError, "at least 8x8, got 7x8"),
    (lambda d: tnr_md.cal_diff_and_downscale_8x8(frame(), frame(), grid=(80, 8)), ValueError, "does not fit"),
    (lambda d: tnr_md.cal_diff_and_downscale_8x8(frame(), frame(), uv_ratio=float("nan")), ValueError,
     "uv_ratio must be a finite number"),
    (lambda d: tnr_md.cal_diff_and_downscale(frame(rows=6, cols=8), frame(rows=6, cols=8)), ValueError, "at least 8x8, got 8x4"),
    (lambda d: tnr_md.cal_diff(frame(), frame(), grid=(30, 32)), ValueError, "even grid of at least 32x32, got 30x32"),
    (lambda d: tnr_md.extend_border(np.zeros((5, 5), np.int32), 1), TypeError, "plane: expected dtype int16, got int32"),
    (lambda d: tnr_md.extend_border(np.zeros((5, 5), ">i2"), 1), TypeError, "expected dtype int16, got >i2"),
    (lambda d: tnr_md.extend_border(np.zeros((5, 4), np.int16), 2), ValueError,
     "a border of 2 columns and 2 rows needs shape of at least (5, 5), got (5, 4)"),
    (lambda d: tnr_md.extend_border(np.zeros((5, 5), np.int16), -1), ValueError, "ext_x and ext_y must be >= 0"),
    (lambda d: tnr_md.extend_border(np.zeros(51, np.uint8)[1:].view(np.int16).reshape(5, 5), 1), ValueError, "aligned to 2 bytes"),
    (lambda d: tnr_md.gauss3x3(np.zeros((2, 9), np.int16)), ValueError,
     "a filled border of 1 on every side around at least one sample, so at least 3x3"),
    (lambda d: tnr_md.gauss9x9(np.zeros((5, 4), np.int16)), ValueError, "border of 2"),
    (lambda d: tnr_md.sigma_tables(np.zeros((8, 12), np.int16)), ValueError, "border of 4"),
    (lambda d: upscale(sigma_high=z((6, 8), np.uint16)), TypeError, "sigma_high: expected dtype uint32, got uint16"),
    (lambda d: upscale(ldiff=z((6, 7), np.int16)), ValueError,
     "ldiff: expected shape (6, 8) (blocks_y, blocks_x of the grid), got shape (6, 7)"),
    (lambda d: upscale(grid=(12, 8)), ValueError, "does not accept a 12x8 grid"),
    (lambda d: (lambda m: upscale(weight=m, gain=m))(z((48, 64), np.uint8)), ValueError, "weight and gain overlap"),
    (lambda d: (lambda f: tnr_md.motion_detect(f, frame(), f[:48], np.zeros((48, 64), np.uint8)))(frame()),
     ValueError, "weight or gain overlaps a frame"),
    (lambda d: tnr_md.motion_detect(frame(), frame(), z((48, 64), np.uint8), z((48, 64), np.uint8), sigma_l=9.0),
     ValueError, "sigma_l must lie in 0 .. 1.5"),
    (lambda d: tnr_md.motion_detect(read_only(), frame(), np.zeros((48, 64), np.uint8), np.zeros((48, 64), np.uint8)),
     ValueError, "cur: the array is read-only"),
]


@pytest.mark.parametrize("call,exc,message", ERRORS)
def test_rejects(call, exc, message):
    d = tnr_md.Denoiser(W, H)
    with pytest.raises(exc) as e:
        call(d)
    assert message in str(e.value)
    assert d.frame_count == 0


def test_rejected_calls_change_nothing(clib, rng):
    """Every bad call and bad setting between the frames of a sequence: the
    frames and maps stay those of the sequence without them, and arrays handed
    in badly are not written."""
    frames = scenes.sequence(rng, W, H, 6)
    want = clib.sequence(frames, W, H)
    d = tnr_md.Denoiser(W, H)
    for i, f in enumerate(frames):
        for call, exc, _ in ERRORS:
            with pytest.raises(exc):
                call(d)
        victim = frame(7, rows=H)
        with pytest.raises(ValueError):
            d.process(victim, frame(7, rows=H))
        assert (victim == 7).all()
        for name, bad in (("sigma_h", -0.1), ("sigma_l", 2.0), ("uv_ratio", float("nan")),
                          ("static_ratio_bit", 256), ("start_gain", -1), ("spatial", -0.5)):
            before = getattr(d, name)
            with pytest.raises(ValueError):
                setattr(d, name, bad)
            assert getattr(d, name) == before
        a = f.copy()
        d.process(a)
        assert np.array_equal(a, want[i][0]), f"frame {i}"
        assert np.array_equal(d.weight, want[i][2]) and np.array_equal(d.gain, want[i][3])
