"""The C library through ctypes on libtnr_md.so: the reference the module is
compared with. Buffers are laid out here from the C header's contract, not
by the module's code, so the two paths share only the library itself."""
import ctypes
import math

import numpy as np

U8P = ctypes.POINTER(ctypes.c_uint8)
I16P = ctypes.POINTER(ctypes.c_int16)
INT, FLOAT = ctypes.c_int, ctypes.c_float


def _p(a, t):
    return a.ctypes.data_as(t)


class CLib:
    def __init__(self, path):
        lib = ctypes.CDLL(path)
        sig = {
            "motionDetectTmpBufSize": ([INT, INT], ctypes.c_size_t),
            "motion_detect": ([U8P, U8P, I16P, U8P, U8P, U8P] + [INT] * 5 + [FLOAT] * 4 + [INT], None),
            "spatial_denoise": ([U8P, U8P, U8P] + [INT] * 7, None),
            "motionDetectNoiseLevel": ([I16P, INT, INT, FLOAT], INT),
            "calDiffAndDownScale": ([U8P, U8P, I16P, I16P, I16P] + [INT] * 3, None),
            "calDiff": ([U8P, U8P, I16P, I16P, I16P, I16P, I16P] + [INT] * 6 + [FLOAT] * 2, None),
            "gauss9x9Filter": ([I16P, I16P] + [INT] * 3, None),
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

    def cal_diff(self, cur, prev, uv_ratio, gw, gh, light_clip):
        """calDiff: the difference planes, the raw differences and the cell means."""
        h, w = cur.shape[0] * 2 // 3, cur.shape[1]
        lw, lh = (gw + 7) // 8, (gh + 7) // 8
        out = [np.zeros(s, np.int16) for s in ((lh + 2, lw + 2), (gh + 2, gw + 2), (lh + 8, lw + 8),
                                               (gh + gh // 2, gw), (3, (gh + 31) >> 5, (gw + 31) >> 5))]
        self.lib.calDiff(_p(cur, U8P), _p(prev, U8P), *(_p(a, I16P) for a in out), h, w, gh, gw, lw + 2, lw + 8,
                         uv_ratio, light_clip)
        return out[1], out[0], *out[2:]

    def diff(self, cur, prev):
        h, w = cur.shape[0] * 2 // 3, cur.shape[1]
        bands, stride = (h + 7) // 8 + 2, 2 * ((w + 7) // 8) + 2
        hd, ld, sg = (np.zeros(s, np.int16) for s in ((h + 2, w + 2), (bands, stride), (bands, stride)))
        cur, prev = np.ascontiguousarray(cur), np.ascontiguousarray(prev)
        self.lib.calDiffAndDownScale(_p(cur, U8P), _p(prev, U8P), _p(ld, I16P), _p(hd, I16P),
                                     _p(sg, I16P), h, w, stride)
        return hd, ld, sg

    def gauss9x9(self, plane):
        p = np.ascontiguousarray(plane)
        rows, stride = p.shape
        h, w = rows - 4, stride - 4
        out = np.zeros(h * stride, np.int16)
        self.lib.gauss9x9Filter(ctypes.cast(p.ctypes.data + (2 * stride + 2) * 2, I16P), _p(out, I16P), h, w, stride)
        return out.reshape(h, stride)[:, :w]


# ---- the stream object (tnr_md_stream.h) ------------------------------------


class Params(ctypes.Structure):
    _fields_ = [("sigma_h_scale", FLOAT), ("sigma_l_scale", FLOAT), ("uv_ratio", FLOAT),
                ("static_ratio_bit", INT), ("start_gain", INT), ("spatial", FLOAT),
                ("grid_width", INT), ("grid_height", INT), ("align", INT)]


class Image(ctypes.Structure):
    _fields_ = [("luma", U8P), ("luma_stride", ctypes.c_ssize_t), ("chroma", U8P),
                ("chroma_stride", ctypes.c_ssize_t), ("span", ctypes.c_size_t)]


class FrameStats(ctypes.Structure):
    _fields_ = [("frames", ctypes.c_int64), ("mean_static_ratio", ctypes.c_double),
                ("mean_gain", ctypes.c_double), ("noise_level", INT), ("motion_x", ctypes.c_double),
                ("motion_y", ctypes.c_double), ("motion_confidence", ctypes.c_double),
                ("aligned", INT)]


class Error(ctypes.Structure):
    _fields_ = [("code", INT), ("message", ctypes.c_char * 256)]


class CStream:
    """libtnr_md_stream.so through ctypes: a TnrMdStream on packed NV12 frames,
    the reference the Denoiser is compared with where the sequence logic (the
    camera alignment) lives in the stream rather than in motion_detect."""

    def __init__(self, path):
        lib = ctypes.CDLL(path)
        sig = {
            "tnrMdParamsDefault": ([ctypes.POINTER(Params)], None),
            "tnrMdStreamCreate": ([ctypes.POINTER(ctypes.c_void_p), INT, INT, ctypes.POINTER(Params),
                                   ctypes.c_void_p, INT, ctypes.POINTER(Error)], INT),
            "tnrMdStreamProcess": ([ctypes.c_void_p, ctypes.POINTER(Image), ctypes.c_void_p,
                                    ctypes.POINTER(Error)], INT),
            "tnrMdStreamStats": ([ctypes.c_void_p, ctypes.POINTER(FrameStats)], None),
            "tnrMdStreamSetParams": ([ctypes.c_void_p, ctypes.POINTER(Params), ctypes.POINTER(Error)], INT),
            "tnrMdStreamDestroy": ([ctypes.c_void_p], None),
        }
        for name, (args, res) in sig.items():
            f = getattr(lib, name)
            f.argtypes, f.restype = args, res
        self.lib = lib

    def defaults(self):
        p = Params()
        self.lib.tnrMdParamsDefault(ctypes.byref(p))
        return p

    def sequence(self, frames, width, height, switch_align_at=None, **fields):
        """Filters copies of packed NV12 frames with a new stream whose
        parameters are the defaults with `fields` changed (align turned on
        before frame switch_align_at, if given). Returns (frames, stats) with
        stats a dict of the stream's figures per frame."""
        p = self.defaults()
        for k, v in fields.items():
            setattr(p, k, v)
        s, err = ctypes.c_void_p(), Error()
        rc = self.lib.tnrMdStreamCreate(ctypes.byref(s), width, height, ctypes.byref(p), None, 0, ctypes.byref(err))
        assert rc == 0, err.message.decode()
        out, stats = [], []
        try:
            for t, f in enumerate(frames):
                if t == switch_align_at:
                    p.align = 1
                    assert self.lib.tnrMdStreamSetParams(s, ctypes.byref(p), ctypes.byref(err)) == 0
                a = np.ascontiguousarray(f).copy()
                img = Image(_p(a, U8P), width, ctypes.cast(a.ctypes.data + width * height, U8P), width, a.nbytes)
                rc = self.lib.tnrMdStreamProcess(s, ctypes.byref(img), None, ctypes.byref(err))
                assert rc == 0, err.message.decode()
                st = FrameStats()
                self.lib.tnrMdStreamStats(s, ctypes.byref(st))
                out.append(a)
                stats.append({name: getattr(st, name) for name, _ in FrameStats._fields_})
        finally:
            self.lib.tnrMdStreamDestroy(s)
        return out, stats
