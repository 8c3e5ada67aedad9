#!/usr/bin/python3
"""Video interop: the first frame of AVI files that ffmpeg writes (uncompressed BGR, MJPEG,
gray MJPEG) and frame 0 of SER files read by ffmpeg's SER demuxer give the same pixels as
our loaders (through orlu-cli convert to FITS, read back with astropy).

Usage: video_interop.py ORLU_CLI
Run with Debian's /usr/bin/python3 (it sees python3-astropy and python3-numpy).
"""
import json
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import traceback
import warnings

import numpy as np
from astropy.io import fits

warnings.simplefilter("ignore")

CLI = sys.argv[1] if len(sys.argv) > 1 else "orlu-cli"
TMP = tempfile.mkdtemp(prefix="orlu_video_interop_")
FAILURES = []


def path(name):
    return os.path.join(TMP, name)


def ffmpeg(*args):
    r = subprocess.run(["ffmpeg", "-v", "error", "-y", *args], capture_output=True, text=True)
    assert r.returncode == 0, f"ffmpeg {' '.join(args)} failed: {r.stderr}"


def peer_frame(src, pix_fmt, w, h, planes, dtype):
    """The first frame as ffmpeg decodes it: [planes, h, w], top row first."""
    raw = path("peer.raw")
    ffmpeg("-i", src, "-frames:v", "1", "-f", "rawvideo", "-pix_fmt", pix_fmt, raw)
    a = np.fromfile(raw, dtype=dtype)
    assert a.size == w * h * planes, f"peer frame has {a.size} samples, expected {w * h * planes}"
    return a.reshape(h, w, planes).transpose(2, 0, 1).astype(np.float64)


def ours(src):
    """Our first frame through the format dispatch: (info, [planes, h, w] top row first)."""
    r = subprocess.run([CLI, "info", src], capture_output=True, text=True)
    assert r.returncode == 0, f"orlu-cli info {src}: {r.stderr}"
    info = json.loads(r.stdout)
    out = path("ours.fits")
    r = subprocess.run([CLI, "convert", src, out], capture_output=True, text=True)
    assert r.returncode == 0, f"orlu-cli convert {src}: {r.stderr}"
    with fits.open(out) as f:
        data = np.asarray(f[0].data, dtype=np.float64)
    if data.ndim == 2:
        data = data[np.newaxis]
    # FITS row 0 is the bottom row; the peer's first row is the top row.
    return info, data[:, ::-1, :]


def compare(name, mine, peer, tolerance):
    assert mine.shape == peer.shape, f"{name}: shape {mine.shape} vs peer {peer.shape}"
    diff = np.abs(mine - peer).max()
    assert diff <= tolerance, f"{name}: largest difference {diff} > {tolerance}"
    print(f"  {name}: {mine.shape}, largest difference {diff:g}")


def check(fn):
    try:
        fn()
        print(f"ok   {fn.__name__}")
    except Exception:  # noqa: BLE001 - report every failure, then fail the run
        FAILURES.append(fn.__name__)
        print(f"FAIL {fn.__name__}")
        traceback.print_exc()


# ---------------------------------------------------------------------------- AVI

W, H = 70, 46  # 210-byte rows: uncompressed rows carry padding to 4 bytes


def avi_uncompressed_bgr():
    src = path("raw.avi")
    ffmpeg("-f", "lavfi", "-i", f"testsrc2=size={W}x{H}:rate=5", "-frames:v", "4",
           "-c:v", "rawvideo", "-pix_fmt", "bgr24", src)
    info, mine = ours(src)
    assert info["planes"] == 3 and info["status"] == 0x85, info
    compare("raw video", mine, peer_frame(src, "rgb24", W, H, 3, np.uint8), 0)


def avi_mjpeg():
    src = path("mjpeg.avi")
    ffmpeg("-f", "lavfi", "-i", f"testsrc2=size={W}x{H}:rate=5", "-frames:v", "4",
           "-c:v", "mjpeg", "-q:v", "3", src)
    info, mine = ours(src)
    assert info["planes"] == 3, info
    # Both decode with libavcodec and convert with libswscale's bicubic setting, which
    # the ffmpeg tool also uses: the pixels agree exactly.
    compare("MJPEG", mine, peer_frame(src, "rgb24", W, H, 3, np.uint8), 0)


def avi_gray_mjpeg():
    src = path("gray.avi")
    ffmpeg("-f", "lavfi", "-i", f"testsrc2=size={W}x{H}:rate=5", "-vf", "format=gray",
           "-frames:v", "2", "-c:v", "mjpeg", "-q:v", "3", src)
    info, mine = ours(src)
    assert info["planes"] == 1, f"a gray video opens monochrome: {info}"
    compare("gray MJPEG", mine, peer_frame(src, "gray", W, H, 1, np.uint8), 0)


# ---------------------------------------------------------------------------- SER


def make_ser(color, endian, depth, frames, data_big_endian):
    w, h = 9, 5
    hdr = b"LUCAM-RECORDER" + struct.pack("<7i", 0, color, endian, w, h, depth, frames)
    hdr += b"Observer".ljust(40, b"\0") + b"Camera".ljust(40, b"\0") + b"Scope".ljust(40, b"\0")
    hdr += b"\0" * 16
    planes = 3 if color >= 100 else 1
    rng = np.random.default_rng(7 + color + depth)
    top = 256 if depth <= 8 else 65536
    frames_data = rng.integers(0, top, size=(frames, h, w * planes))
    dt = np.uint8 if depth <= 8 else (">u2" if data_big_endian else "<u2")
    return hdr + frames_data.astype(dt).tobytes(), w, h, planes


def ser_case(name, color, depth, big_endian, pix_fmt, dtype):
    # The endianness field: we read 1 as big-endian; ffmpeg's demuxer reads the field the
    # other way round (1 = little-endian), so its copy carries the opposite value.
    field = 1 if big_endian else 0
    data, w, h, planes = make_ser(color, field, depth, 3, big_endian)
    src = path(f"{name}.ser")
    with open(src, "wb") as f:
        f.write(data)
    peer_src = path(f"{name}_peer.ser")
    with open(peer_src, "wb") as f:
        f.write(data[:22] + struct.pack("<i", 1 - field if depth > 8 else field) + data[26:])
    info, mine = ours(src)
    assert info["planes"] == planes, info
    compare(name, mine, peer_frame(peer_src, pix_fmt, w, h, planes, dtype), 0)


def ser_mono8():
    ser_case("SER mono 8", 0, 8, False, "gray", np.uint8)


def ser_mono16_little():
    ser_case("SER mono 16 little-endian", 0, 16, False, "gray16le", "<u2")


def ser_mono16_big():
    ser_case("SER mono 16 big-endian", 0, 16, True, "gray16le", "<u2")


def ser_rgb8():
    ser_case("SER RGB 8", 100, 8, False, "rgb24", np.uint8)


def ser_bgr8():
    ser_case("SER BGR 8", 101, 8, False, "rgb24", np.uint8)


def main():
    if not shutil.which("ffmpeg"):
        print("FAIL ffmpeg is not installed (scripts/setup installs it)")
        return 1
    for fn in (avi_uncompressed_bgr, avi_mjpeg, avi_gray_mjpeg, ser_mono8, ser_mono16_little,
               ser_mono16_big, ser_rgb8, ser_bgr8):
        check(fn)
    shutil.rmtree(TMP, ignore_errors=True)
    total = 8
    print(f"{total - len(FAILURES)} passed, {len(FAILURES)} failed")
    return 1 if FAILURES else 0


if __name__ == "__main__":
    sys.exit(main())
