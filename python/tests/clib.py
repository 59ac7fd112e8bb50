"""The C library through ctypes on libtnr_md.so: the reference the module is
compared with. Buffers are laid out here from the C header's contract, not
by the module's code, so the two paths share only the library itself."""
import ctypes
import math

import numpy as np

U8P = ctypes.POINTER(ctypes.c_uint8)
I16P = ctypes.POINTER(ctypes.c_int16)
U16P = ctypes.POINTER(ctypes.c_uint16)
U32P = ctypes.POINTER(ctypes.c_uint32)
INT, FLOAT = ctypes.c_int, ctypes.c_float


def _p(a, t):
    return a.ctypes.data_as(t)


def _wider(a, extra):
    """a in the first columns of zero rows `extra` elements longer."""
    out = np.zeros((a.shape[0], a.shape[1] + extra), a.dtype)
    out[:, :a.shape[1]] = a
    return out


def _at(a, t, elems):
    """Pointer `elems` elements into array a."""
    return ctypes.cast(a.ctypes.data + elems * a.itemsize, t)


class CLib:
    def __init__(self, path):
        lib = ctypes.CDLL(path)
        sig = {
            "motionDetectTmpBufSize": ([INT, INT], ctypes.c_size_t),
            "motion_detect": ([U8P, U8P, I16P, U8P, U8P, U8P] + [INT] * 5 + [FLOAT] * 4 + [INT], None),
            "spatial_denoise": ([U8P, U8P, U8P] + [INT] * 7, None),
            "motionDetectNoiseLevel": ([I16P, INT, INT, FLOAT], INT),
            "calDiffAndDownScale8x8": ([U8P, U8P, I16P, I16P, I16P] + [INT] * 6 + [FLOAT], None),
            "calDiffAndDownScale": ([U8P, U8P, I16P, I16P, I16P] + [INT] * 3, None),
            "calDiff": ([U8P, U8P, I16P, I16P, I16P, I16P, I16P] + [INT] * 6 + [FLOAT] * 2, None),
            "extendImgBorder": ([I16P] + [INT] * 4, None),
            "gauss3x3Filter": ([I16P, I16P] + [INT] * 3, None),
            "gauss9x9Filter": ([I16P, I16P] + [INT] * 3, None),
            "sigmaFilterLut": ([I16P, I16P, U16P, U32P, FLOAT, FLOAT] + [INT] * 3, None),
            "upScale": ([U8P, U8P, I16P, I16P, U8P, U8P, U8P, U8P] + [INT] * 5 +
                        [ctypes.c_uint8, U16P, U32P], None),
        }
        for name, (args, res) in sig.items():
            f = getattr(lib, name)
            f.argtypes, f.restype = args, res
        self.lib = lib

    def tmp_size(self, gh, gw):
        return self.lib.motionDetectTmpBufSize(gh, gw)

    # ---- the whole filter -------------------------------------------------

    def step(self, cur, prev, weight, gain, p=None):
        """One frame through motion_detect and the spatial stage, on packed
        copies. p: sigma_h, sigma_l, uv_ratio, static_ratio_bit and spatial
        (the Denoiser's defaults for those left out). Returns (output,
        temporal frame, static_ratio, weight, gain)."""
        p = p or {}
        h, w = cur.shape[0] * 2 // 3, cur.shape[1]
        gh, gw = weight.shape
        cur, prev, weight, gain = (np.ascontiguousarray(a).copy() for a in (cur, prev, weight, gain))
        scratch = np.empty(self.tmp_size(gh, gw), np.int16)
        alpha = np.zeros((gh, gw), np.uint8)
        uv = p.get("uv_ratio", 0.75)
        self.lib.motion_detect(_p(cur, U8P), _p(prev, U8P), _p(scratch, I16P), _p(alpha, U8P),
                               _p(weight, U8P), _p(gain, U8P), h, w, gh, gw, gw, p.get("sigma_h", 1.1),
                               p.get("sigma_l", 0.12), uv, 0.0, p.get("static_ratio_bit", 4))
        # The spatial stage (strength in 1/16) writes the output from the
        # temporally filtered frame, with the noise level of the same call.
        temporal = cur.copy()
        s = int(math.floor(p.get("spatial", 5.0) * 16 + 0.5))
        if s > 0:
            level = self.lib.motionDetectNoiseLevel(_p(scratch, I16P), gh, gw, uv)
            self.lib.spatial_denoise(_p(temporal, U8P), _p(cur, U8P), _p(weight, U8P), h, w, gh, gw,
                                     gw, level, s)
        return cur, temporal, alpha, weight, gain

    def sequence(self, frames, width, height, grid=None, params=None):
        """Filters packed NV12 frames (each (h*3/2, w)) one after the other.
        params: one dict per frame for step() or None; the gain table starts at
        params[0].get('gain', 128). Returns (frame, static_ratio, weight, gain)
        per frame."""
        gw, gh = grid or (width, height)
        weight = np.zeros((gh, gw), np.uint8)
        gain = np.full((gh, gw), (params or [{}])[0].get("gain", 128), np.uint8)
        prev, out = frames[0], []
        for i, f in enumerate(frames):
            cur, prev, alpha, weight, gain = self.step(f, prev, weight, gain, params[i] if params else None)
            out.append((cur, alpha, weight, gain))
        return out

    # ---- stages --------------------------------------------------------------

    def cal_diff(self, cur, prev, uv_ratio, gw, gh, light_clip=None):
        """calDiffAndDownScale8x8, or calDiff when light_clip is given (with the
        raw differences and the cell means too)."""
        h, w = cur.shape[0] * 2 // 3, cur.shape[1]
        lw, lh = (gw + 7) // 8, (gh + 7) // 8
        hd, ld, sg = (np.zeros(s, np.int16) for s in ((gh + 2, gw + 2), (lh + 2, lw + 2), (lh + 8, lw + 8)))
        cur, prev = np.ascontiguousarray(cur), np.ascontiguousarray(prev)
        planes = (_p(cur, U8P), _p(prev, U8P), _p(ld, I16P), _p(hd, I16P), _p(sg, I16P))
        sizes = (h, w, gh, gw, lw + 2, lw + 8, uv_ratio)
        if light_clip is None:
            self.lib.calDiffAndDownScale8x8(*planes, *sizes)
            return hd, ld, sg
        raw = np.zeros((gh + gh // 2, gw), np.int16)
        means = np.zeros((3, (gh + 31) >> 5, (gw + 31) >> 5), np.int16)
        self.lib.calDiff(*planes, _p(raw, I16P), _p(means, I16P), *sizes, light_clip)
        return hd, ld, sg, raw, means

    def diff(self, cur, prev):
        h, w = cur.shape[0] * 2 // 3, cur.shape[1]
        bands, stride = (h + 7) // 8 + 2, 2 * ((w + 7) // 8) + 2
        hd, ld, sg = (np.zeros(s, np.int16) for s in ((h + 2, w + 2), (bands, stride), (bands, stride)))
        cur, prev = np.ascontiguousarray(cur), np.ascontiguousarray(prev)
        self.lib.calDiffAndDownScale(_p(cur, U8P), _p(prev, U8P), _p(ld, I16P), _p(hd, I16P),
                                     _p(sg, I16P), h, w, stride)
        return hd, ld, sg

    def extend_border(self, plane, ext_x, ext_y):
        p = np.ascontiguousarray(plane).copy()
        self.lib.extendImgBorder(_p(p, I16P), p.shape[1], p.shape[0], ext_x, ext_y)
        return p

    def _smooth(self, fn, plane, b):
        p = np.ascontiguousarray(plane)
        rows, stride = p.shape
        h, w = rows - 2 * b, stride - 2 * b
        out = np.zeros(h * stride, np.int16)
        fn(_at(p, I16P, b * stride + b), _p(out, I16P), h, w, stride)
        return out.reshape(h, stride)[:, :w]

    def gauss3x3(self, plane):
        return self._smooth(self.lib.gauss3x3Filter, plane, 1)

    def gauss9x9(self, plane):
        return self._smooth(self.lib.gauss9x9Filter, plane, 2)

    def sigma_tables(self, plane, sigma_h, sigma_l):
        p = np.ascontiguousarray(plane)
        rows, stride = p.shape
        h, w = rows - 8, stride - 8
        tmp = np.zeros((h + 8) * stride, np.int16)
        low, high = np.zeros((h, stride), np.uint16), np.zeros((h, stride), np.uint32)
        self.lib.sigmaFilterLut(_at(p, I16P, 4 * stride + 4), _p(tmp, I16P), _p(low, U16P),
                                _p(high, U32P), sigma_h, sigma_l, h, w, stride)
        return low[:, :w], high[:, :w]

    def upscale(self, cur, prev, ldiff, hdiff, low, high, weight, gain, bit):
        """Returns (cur, static_ratio, weight, gain) from packed copies."""
        h, w = cur.shape[0] * 2 // 3, cur.shape[1]
        gh, gw = hdiff.shape
        lh, lw = ldiff.shape
        cur, prev = np.ascontiguousarray(cur).copy(), np.ascontiguousarray(prev)
        ld, hd, lo, hi = _wider(ldiff, 2), _wider(hdiff, 2), _wider(low, 8), _wider(high, 8)
        weight, gain = weight.copy(), gain.copy()
        alpha = np.zeros((gh, gw), np.uint8)
        tmp = np.zeros(gh * (lw + 2), np.uint8)
        self.lib.upScale(_p(cur, U8P), _p(prev, U8P), _p(ld, I16P), _p(hd, I16P), _p(tmp, U8P),
                         _p(alpha, U8P), _p(weight, U8P), _p(gain, U8P), h, w, gh, gw, gw, bit,
                         _p(lo, U16P), _p(hi, U32P))
        return cur, alpha, weight, gain
