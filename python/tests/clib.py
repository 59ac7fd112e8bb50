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

    def sequence(self, frames, width, height, grid=None, params=None):
        """Filters packed NV12 frames (each (h*3/2, w)) as the C example does.
        params: one dict per frame (sigma_h, sigma_l, uv_ratio, static_ratio_bit)
        or None; the gain table starts at params[0].get('gain', 128).
        Returns a list of (frame, static_ratio, weight, gain) per frame."""
        gw, gh = grid or (width, height)
        scratch = np.empty(self.tmp_size(gh, gw), np.int16)
        alpha = np.zeros((gh, gw), np.uint8)
        weight = np.zeros((gh, gw), np.uint8)
        p0 = (params or [{}])[0]
        gain = np.full((gh, gw), p0.get("gain", 128), np.uint8)
        prev = frames[0].copy()
        out = []
        for i, f in enumerate(frames):
            p = params[i] if params else {}
            cur = np.ascontiguousarray(f).copy()
            self.lib.motion_detect(_p(cur, U8P), _p(prev, U8P), _p(scratch, I16P), _p(alpha, U8P),
                                   _p(weight, U8P), _p(gain, U8P), height, width, gh, gw, gw,
                                   p.get("sigma_h", 1.1), p.get("sigma_l", 0.12),
                                   p.get("uv_ratio", 0.75), 0.0, p.get("static_ratio_bit", 4))
            temporal = cur.copy()
            self.spatial(temporal, cur, weight, scratch, p.get("spatial", 5.0),
                         p.get("uv_ratio", 0.75), width, height, gw, gh)
            out.append((cur.copy(), alpha.copy(), weight.copy(), gain.copy()))
            prev = temporal
        return out

    def spatial(self, temporal, out, weight, scratch, strength, uv_ratio, width, height, gw, gh):
        """The spatial stage into out from the temporally filtered frame, with
        the noise level of the motion_detect call whose scratch is given."""
        s = int(math.floor(strength * 16 + 0.5))
        if s > 0:
            level = self.lib.motionDetectNoiseLevel(_p(scratch, I16P), gh, gw, uv_ratio)
            self.lib.spatial_denoise(_p(temporal, U8P), _p(out, U8P), _p(weight, U8P), height, width,
                                     gh, gw, gw, level, s)

    def denoise_step(self, cur, prev, weight, gain, spatial=5.0):
        """One frame of the Denoiser with the default tuning; returns (output,
        temporal frame, weight, gain)."""
        h, w = cur.shape[0] * 2 // 3, cur.shape[1]
        gh, gw = weight.shape
        cur, prev, weight, gain = (np.ascontiguousarray(a).copy() for a in (cur, prev, weight, gain))
        scratch = np.empty(self.tmp_size(gh, gw), np.int16)
        alpha = np.zeros((gh, gw), np.uint8)
        self.lib.motion_detect(_p(cur, U8P), _p(prev, U8P), _p(scratch, I16P), _p(alpha, U8P),
                               _p(weight, U8P), _p(gain, U8P), h, w, gh, gw, gw, 1.1, 0.12, 0.75,
                               0.0, 4)
        temporal = cur.copy()
        self.spatial(temporal, cur, weight, scratch, spatial, 0.75, w, h, gw, gh)
        return cur, temporal, weight, gain

    def motion_detect(self, cur, prev, weight, gain, sigma_h, sigma_l, uv_ratio, bit):
        """One call on packed copies; returns (cur, static_ratio, weight, gain)."""
        h, w = cur.shape[0] * 2 // 3, cur.shape[1]
        gh, gw = weight.shape
        cur, prev, weight, gain = (np.ascontiguousarray(a).copy() for a in (cur, prev, weight, gain))
        scratch = np.empty(self.tmp_size(gh, gw), np.int16)
        alpha = np.zeros((gh, gw), np.uint8)
        self.lib.motion_detect(_p(cur, U8P), _p(prev, U8P), _p(scratch, I16P), _p(alpha, U8P),
                               _p(weight, U8P), _p(gain, U8P), h, w, gh, gw, gw, sigma_h, sigma_l,
                               uv_ratio, 0.0, bit)
        return cur, alpha, weight, gain

    # ---- stages --------------------------------------------------------------

    def diff8x8(self, cur, prev, uv_ratio, gw, gh):
        h, w = cur.shape[0] * 2 // 3, cur.shape[1]
        lw, lh = (gw + 7) // 8, (gh + 7) // 8
        hd = np.zeros((gh + 2) * (gw + 2), np.int16)
        ld = np.zeros((lh + 2) * (lw + 2), np.int16)
        sg = np.zeros((lh + 8) * (lw + 8), np.int16)
        cur, prev = np.ascontiguousarray(cur), np.ascontiguousarray(prev)
        self.lib.calDiffAndDownScale8x8(_p(cur, U8P), _p(prev, U8P), _p(ld, I16P), _p(hd, I16P),
                                        _p(sg, I16P), h, w, gh, gw, lw + 2, lw + 8, uv_ratio)
        return hd.reshape(gh + 2, gw + 2), ld.reshape(lh + 2, lw + 2), sg.reshape(lh + 8, lw + 8)

    def diff(self, cur, prev):
        h, w = cur.shape[0] * 2 // 3, cur.shape[1]
        bands, blocks = (h + 7) // 8, (w + 7) // 8
        stride = 2 * blocks + 2
        hd = np.zeros((h + 2) * (w + 2), np.int16)
        ld = np.zeros((bands + 2) * stride, np.int16)
        sg = np.zeros((bands + 2) * stride, np.int16)
        cur, prev = np.ascontiguousarray(cur), np.ascontiguousarray(prev)
        self.lib.calDiffAndDownScale(_p(cur, U8P), _p(prev, U8P), _p(ld, I16P), _p(hd, I16P),
                                     _p(sg, I16P), h, w, stride)
        return hd.reshape(h + 2, w + 2), ld.reshape(bands + 2, stride), sg.reshape(bands + 2, stride)

    def cal_diff(self, cur, prev, uv_ratio, light_clip, gw, gh):
        h, w = cur.shape[0] * 2 // 3, cur.shape[1]
        lw, lh = (gw + 7) // 8, (gh + 7) // 8
        cw, ch = (gw + 31) >> 5, (gh + 31) >> 5
        hd = np.zeros((gh + 2) * (gw + 2), np.int16)
        ld = np.zeros((lh + 2) * (lw + 2), np.int16)
        sg = np.zeros((lh + 8) * (lw + 8), np.int16)
        raw = np.zeros(gw * (gh + gh // 2), np.int16)
        means = np.zeros(3 * cw * ch, np.int16)
        cur, prev = np.ascontiguousarray(cur), np.ascontiguousarray(prev)
        self.lib.calDiff(_p(cur, U8P), _p(prev, U8P), _p(ld, I16P), _p(hd, I16P), _p(sg, I16P),
                         _p(raw, I16P), _p(means, I16P), h, w, gh, gw, lw + 2, lw + 8, uv_ratio,
                         light_clip)
        return (hd.reshape(gh + 2, gw + 2), ld.reshape(lh + 2, lw + 2), sg.reshape(lh + 8, lw + 8),
                raw.reshape(gh + gh // 2, gw), means.reshape(3, ch, cw))

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
        low = np.zeros(h * stride, np.uint16)
        high = np.zeros(h * stride, np.uint32)
        self.lib.sigmaFilterLut(_at(p, I16P, 4 * stride + 4), _p(tmp, I16P), _p(low, U16P),
                                _p(high, U32P), sigma_h, sigma_l, h, w, stride)
        return low.reshape(h, stride)[:, :w], high.reshape(h, stride)[:, :w]

    def upscale(self, cur, prev, ldiff, hdiff, low, high, weight, gain, bit):
        """Returns (cur, static_ratio, weight, gain) from packed copies."""
        h, w = cur.shape[0] * 2 // 3, cur.shape[1]
        gh, gw = hdiff.shape
        lh, lw = ldiff.shape
        cur = np.ascontiguousarray(cur).copy()
        prev = np.ascontiguousarray(prev)
        ld = np.zeros((lh, lw + 2), np.int16)
        ld[:, :lw] = ldiff
        hd = np.zeros((gh, gw + 2), np.int16)
        hd[:, :gw] = hdiff
        lo = np.zeros((lh, lw + 8), np.uint16)
        lo[:, :lw] = low
        hi = np.zeros((lh, lw + 8), np.uint32)
        hi[:, :lw] = high
        weight, gain = weight.copy(), gain.copy()
        alpha = np.zeros((gh, gw), np.uint8)
        tmp = np.zeros(gh * (lw + 2), np.uint8)
        self.lib.upScale(_p(cur, U8P), _p(prev, U8P), _p(ld, I16P), _p(hd, I16P), _p(tmp, U8P),
                         _p(alpha, U8P), _p(weight, U8P), _p(gain, U8P), h, w, gh, gw, gw, bit,
                         _p(lo, U16P), _p(hi, U32P))
        return cur, alpha, weight, gain
