#!/usr/bin/env python3
"""Writes the starting corpus of tnr_md_fuzz into fuzz/corpus/ (or the directory given).

Each seed follows the input layout that fuzz_twins.cpp reads: function byte,
sizes as 16-bit offsets from their minimum, parameters, then a fill mode byte
and a 32-bit seed per buffer. The seeds cover the block-width boundaries of
every stage (moved-back last blocks, narrow rows, odd sizes), the parameter
edges (uv_ratio 0 / 1 / negative, scales that wrap the low sigma, NaN,
static_ratio_r_bit 0 .. 8 and above) and the fill modes (random, constant,
extremes, ramps, nearly equal frames).
"""
import os
import struct
import sys

FN_CALDIFF8X8, FN_CALDIFF_DS, FN_GAUSS, FN_SIGMA, FN_UPSCALE, FN_MD, FN_SPATIAL = range(7)

# Fill modes of fuzz_twins.cpp; 0x80 adds a leading offset (misalignment).
ANY, USUAL, CONST, EXTREME, RAMP, NEAR = range(6)
MISALIGN = 0x80

# Indices into the edge table of Reader::param().
EDGE = {"0": 0, "-0": 1, "1": 2, "0.875": 3, "1.75": 4, "7": 5, "1/256": 6, "-1/256": 7,
        "0.3": 8, "-0.3": 9, "255": 10, "1e6": 11, "-1e6": 12, "1e30": 13, "-1e30": 14,
        "3.4e38": 15, "1e-40": 16, "inf": 17, "-inf": 18, "nan": 19}


def u8(v):
    return struct.pack("<B", v & 0xFF)


def u16(v):
    return struct.pack("<H", v & 0xFFFF)


def u32(v):
    return struct.pack("<I", v & 0xFFFFFFFF)


def rng(v, lo):
    return u16(v - lo)


def eighths(x):
    """A parameter that is a multiple of 1/8 in -16 .. 15.875."""
    return u8(0) + u8(int(round(x * 8)))


def edge(name):
    return u8(5) + u8(EDGE[name])


def bits(f):
    return u8(6) + struct.pack("<f", f)


def buf(mode, seed):
    return u8(mode) + u32(seed)


def caldiff8x8(w, h, pw, ph, ldx=0, sgx=0, uv=eighths(1.0), fills=None):
    out = u8(FN_CALDIFF8X8) + rng(w // 2, 4) + rng(h // 2, 4) + rng(pw, 8) + rng(ph, 8)
    out += rng(ldx, 0) + rng(sgx, 0) + uv
    for f in fills or [(USUAL, 1), (NEAR, 2), (ANY, 3), (ANY, 4), (ANY, 5)]:
        out += buf(*f)
    return out


def caldiff_ds(w, h, ldx=0, fills=None):
    out = u8(FN_CALDIFF_DS) + rng(w // 2, 4) + rng(h // 2, 4) + rng(ldx, 0)
    for f in fills or [(USUAL, 11), (NEAR, 12), (ANY, 13), (ANY, 14), (ANY, 15)]:
        out += buf(*f)
    return out


def gauss(w, h, sx=0, fills=None):
    out = u8(FN_GAUSS) + rng(h, 0) + rng(w, 0) + rng(sx, 0)
    for f in fills or [(USUAL, 21), (ANY, 22)]:
        out += buf(*f)
    return out


def sigma(w, h, sx=0, sh=eighths(1.0), sl=eighths(1.0), fills=None):
    out = u8(FN_SIGMA) + rng(h, 0) + rng(w, 0) + rng(sx, 0) + sh + sl
    for f in fills or [(USUAL, 31), (ANY, 32), (ANY, 33), (ANY, 34)]:
        out += buf(*f)
    return out


def upscale(w, h, pw, ph, gx=0, srb=4, fills=None):
    out = u8(FN_UPSCALE) + rng(w // 2, 1) + rng(h // 2, 1) + rng(pw, 1) + rng(ph, 1)
    out += rng(gx, 0) + u8(srb)
    for f in fills or [(USUAL, 41), (NEAR, 42), (USUAL, 43), (USUAL, 44), (ANY, 45),
                       (ANY, 46), (USUAL, 47), (USUAL, 48), (USUAL, 49), (USUAL, 50)]:
        out += buf(*f)
    return out


def md(w, h, pw, ph, gx=0, sh=eighths(1.0), sl=eighths(1.0), uv=eighths(0.5),
       lc=eighths(0.0), srb=4, fills=None):
    out = u8(FN_MD) + rng(w // 2, 4) + rng(h // 2, 4) + rng(pw, 8) + rng(ph, 8) + rng(gx, 0)
    out += sh + sl + uv + lc + u32(srb)
    for f in fills or [(USUAL, 61), (NEAR, 62), (ANY, 63), (ANY, 64), (USUAL, 65), (USUAL, 66)]:
        out += buf(*f)
    return out


def spatial(w, h, pw, ph, gx=0, noise=128, strength=56, fills=None):
    out = u8(FN_SPATIAL) + rng(w // 2, 4) + rng(h // 2, 4) + rng(pw, 1) + rng(ph, 1) + rng(gx, 0)
    out += rng(noise, -8) + rng(strength, -8)
    for f in fills or [(USUAL, 71), (ANY, 72), (USUAL, 73)]:
        out += buf(*f)
    return out


SEEDS = {
    # Frame difference: exact blocks, moved-back last blocks with even and odd
    # origins, the whole frame (the last chroma load ends at the frame's end).
    "caldiff8x8_8x8": caldiff8x8(8, 8, 8, 8),
    "caldiff8x8_20x20": caldiff8x8(20, 20, 20, 20, uv=eighths(1.0)),
    "caldiff8x8_21x21_in_22": caldiff8x8(22, 22, 21, 21, ldx=1, sgx=3),
    "caldiff8x8_full_200x120": caldiff8x8(200, 120, 200, 120, uv=edge("0.3")),
    "caldiff8x8_odd_199x117": caldiff8x8(200, 120, 199, 117, uv=edge("-0.3")),
    "caldiff8x8_uv0_equal": caldiff8x8(64, 32, 64, 32, uv=edge("0"),
                                       fills=[(RAMP, 7), (CONST, 7), (ANY, 3), (ANY, 4), (ANY, 5)]),
    "caldiff8x8_uv_wrap": caldiff8x8(48, 24, 45, 23, uv=eighths(15.875),
                                     fills=[(EXTREME, 8), (EXTREME, 9), (ANY, 3), (ANY, 4),
                                            (ANY, 5)]),
    "caldiff8x8_uv_nan_misaligned": caldiff8x8(
        40, 16, 33, 16, uv=edge("nan"),
        fills=[(ANY | MISALIGN, 0x3000000), (NEAR | MISALIGN, 0x5000000), (ANY, 1), (ANY, 2),
               (ANY | MISALIGN, 0x7000000)]),
    # Block-downscale variant: 12 columns, 20 / 22 / 18 rows.
    "caldiffds_8x8": caldiff_ds(8, 8),
    "caldiffds_12x20": caldiff_ds(12, 20),
    "caldiffds_22x22": caldiff_ds(22, 22, ldx=2),
    "caldiffds_18x18": caldiff_ds(18, 18),
    "caldiffds_200x120": caldiff_ds(200, 120, fills=[(EXTREME, 1), (EXTREME, 2), (ANY, 3),
                                                      (ANY, 4), (ANY, 5)]),
    # 3x3 filter: around the 16-lane block width, narrow rows, empty sizes.
    "gauss_1x1": gauss(1, 1),
    "gauss_15x3": gauss(15, 3),
    "gauss_16x4": gauss(16, 4, sx=1),
    "gauss_17x5": gauss(17, 5),
    "gauss_40x7": gauss(40, 7, sx=3),
    "gauss_31x2_extremes": gauss(31, 2, fills=[(EXTREME, 5), (ANY, 6)]),
    "gauss_0x5": gauss(0, 5),
    "gauss_200x120": gauss(200, 120, fills=[(ANY | MISALIGN, 0x1000000), (ANY, 9)]),
    # Sigma tables: around the 8-lane block width, wrapping pair sums and scales.
    "sigma_1x1": sigma(1, 1),
    "sigma_7x3": sigma(7, 3),
    "sigma_8x8": sigma(8, 8, sh=edge("1.75"), sl=edge("0.875")),
    "sigma_12x5": sigma(12, 5, sx=2),
    "sigma_25x15_wrap": sigma(25, 15, sl=edge("7"),
                              fills=[(CONST, 3), (ANY, 1), (ANY, 2), (ANY, 3)]),
    "sigma_40x24_extremes": sigma(40, 24, sh=edge("1e30"), sl=edge("-1/256"),
                                  fills=[(EXTREME, 4), (ANY, 5), (ANY, 6), (ANY, 7)]),
    "sigma_17x9_nan": sigma(17, 9, sh=edge("nan"), sl=edge("inf")),
    # upScale: narrow grids, 16-pixel blocks exactly and moved back with an odd
    # start, odd heights (last chroma row unblended), every static_ratio_r_bit.
    "upscale_1x1": upscale(2, 2, 1, 1),
    "upscale_8x8": upscale(8, 8, 8, 8, srb=0),
    "upscale_15x9": upscale(16, 10, 15, 9, srb=3),
    "upscale_16x16": upscale(16, 16, 16, 16, srb=7),
    "upscale_17x17": upscale(18, 18, 17, 17, gx=3, srb=8),
    "upscale_120x30": upscale(120, 30, 120, 30, srb=4),
    "upscale_121x33": upscale(122, 34, 121, 33, gx=5, srb=255),
    "upscale_128x64": upscale(128, 64, 128, 64, srb=6),
    "upscale_199x119": upscale(200, 120, 199, 119, gx=7, srb=1,
                               fills=[(ANY, 1), (NEAR, 2), (EXTREME, 3), (EXTREME, 4), (ANY, 5),
                                      (ANY, 6), (ANY, 7), (ANY, 8), (EXTREME, 9), (EXTREME, 10)]),
    "upscale_126x40_sigma0": upscale(126, 40, 126, 40, srb=2,
                                     fills=[(USUAL, 1), (NEAR, 2), (USUAL, 3), (USUAL, 4),
                                            (ANY, 5), (ANY, 6), (ANY, 7), (USUAL, 8), (USUAL, 9),
                                            (CONST, 4)]),
    # motion_detect end to end.
    "md_16x16": md(16, 16, 16, 16),
    "md_14x8": md(16, 8, 14, 8),
    "md_121x8": md(122, 8, 121, 8, gx=1),
    "md_128x64": md(128, 64, 128, 64, srb=8),
    "md_200x120": md(200, 120, 200, 120, srb=260),
    "md_199x119_stride": md(200, 120, 199, 119, gx=5, sh=edge("1.75"), sl=edge("7"),
                            uv=edge("1/256"), srb=0),
    "md_57x33_edges": md(58, 34, 57, 33, sh=edge("nan"), sl=edge("-1e6"), uv=edge("inf"),
                         lc=edge("3.4e38"), srb=-1),
    "md_64x32_still": md(64, 32, 64, 32, fills=[(RAMP, 3), (NEAR, 4), (ANY, 5), (ANY, 6),
                                                  (CONST, 0x40), (USUAL, 7)]),
    # The spatial stage: narrow rows (no vector step), one step exactly and
    # moved back, odd grids, refused grids, clamped noise and strength.
    "spatial_8x8": spatial(8, 8, 8, 8),
    "spatial_7x8_refused": spatial(8, 8, 7, 8),
    "spatial_36x10": spatial(36, 10, 36, 10, noise=4000, strength=255),
    "spatial_37x9_odd": spatial(40, 10, 37, 9, gx=3, noise=64, strength=80),
    "spatial_200x120": spatial(200, 120, 199, 117, gx=5, noise=5000, strength=400,
                               fills=[(RAMP, 74), (ANY, 75), (EXTREME, 76)]),
    "spatial_64x32_still": spatial(64, 32, 64, 32, fills=[(NEAR, 77), (ANY, 78), (CONST, 0x78)]),
}


def main():
    out = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "corpus")
    os.makedirs(out, exist_ok=True)
    for name, data in SEEDS.items():
        with open(os.path.join(out, name), "wb") as f:
            f.write(data)
        if name.startswith("spatial"):  # the x86 twin (function byte's top bit)
            with open(os.path.join(out, name + "-x86"), "wb") as f:
                f.write(bytes([data[0] | 0x80]) + data[1:])
    print(f"{len(SEEDS)} seeds written to {out}")


if __name__ == "__main__":
    main()
