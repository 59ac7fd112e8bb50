#!/usr/bin/python3
"""Real footage for the OBS filter's tests and benchmark.

    footage.py CACHE OUT WIDTH HEIGHT FRAMES SIGMA SEED

The walking-people clip vtest.avi from Debian's opencv-doc (fetched once into
CACHE with apt-get download), its first FRAMES frames scaled to WIDTH x HEIGHT,
written as raw frames: OUT.clean.nv12 and OUT.clean.yuyv (YUY2), and the same
with Gaussian noise of SIGMA on every byte (seeded) as OUT.noisy.nv12 and
OUT.noisy.yuyv. Without the clip (no network, no package lists) it writes
OUT.why with the reason and exits 0: the tests then skip their real-footage
cases and say why.
"""
import glob
import os
import shutil
import subprocess
import sys
import tempfile


def fetch(cache):
    clip = os.path.join(cache, "vtest.avi")
    if os.path.exists(clip):
        return clip, ""
    os.makedirs(cache, exist_ok=True)
    with tempfile.TemporaryDirectory(dir=cache) as tmp:
        log = ""
        try:
            log = subprocess.run(["apt-get", "download", "opencv-doc"], cwd=tmp, check=True,
                                 capture_output=True, text=True).stderr
            deb = glob.glob(os.path.join(tmp, "opencv-doc_*.deb"))[0]
            subprocess.run(["dpkg-deb", "-x", deb, os.path.join(tmp, "x")], check=True,
                           capture_output=True)
            found = glob.glob(os.path.join(tmp, "x", "**", "vtest.avi"), recursive=True)
            part = os.path.join(tmp, "vtest.avi.part")
            shutil.copy(found[0], part)
            os.replace(part, clip)
        except (OSError, IndexError, subprocess.CalledProcessError) as e:
            return None, "cannot get vtest.avi from opencv-doc (no network or no package lists?): %s %s" % (e, log)
    return clip, ""


def main():
    cache, out, w, h, n, sigma, seed = sys.argv[1:8]
    w, h, n, sigma, seed = int(w), int(h), int(n), float(sigma), int(seed)
    clip, why = fetch(cache)
    if not clip:
        with open(out + ".why", "w") as f:
            f.write(why)
        print(why)
        return 0
    import av
    import numpy as np
    rng = np.random.default_rng(seed)
    files = {k: open("%s.%s" % (out, k), "wb") for k in
             ("clean.nv12", "noisy.nv12", "clean.yuyv", "noisy.yuyv")}
    try:
        with av.open(clip) as c:
            for i, frame in enumerate(c.decode(video=0)):
                if i == n:
                    break
                for fmt, ext in (("nv12", "nv12"), ("yuyv422", "yuyv")):
                    clean = frame.reformat(width=w, height=h, format=fmt).to_ndarray()
                    noise = np.rint(rng.normal(0.0, sigma, clean.shape))
                    noisy = np.clip(clean.astype(np.int32) + noise, 0, 255).astype(np.uint8)
                    files["clean." + ext].write(clean.tobytes())
                    files["noisy." + ext].write(noisy.tobytes())
    except (av.AVError, OSError) as e:  # e.g. a clip another test is still copying
        with open(out + ".why", "w") as f:
            f.write("cannot decode %s: %s" % (clip, e))
        return 0
    finally:
        for f in files.values():
            f.close()
    if os.path.exists(out + ".why"):
        os.remove(out + ".why")
    return 0


if __name__ == "__main__":
    sys.exit(main())
