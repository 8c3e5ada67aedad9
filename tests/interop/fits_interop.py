#!/usr/bin/python3
"""FITS interop: files written by astropy read by our reader give the same pixels; files we
write are read by astropy with the same pixels, pass fitsverify without errors, and our
tile-compressed files funpack back to the same pixels.

Usage: fits_interop.py ORLU_FITS_TOOL
Run with Debian's /usr/bin/python3 (it sees python3-astropy and python3-numpy).
"""
import json
import os
import shutil
import subprocess
import sys
import tempfile
import traceback
import warnings

import numpy as np
from astropy.io import fits

warnings.simplefilter("ignore")

TOOL = sys.argv[1] if len(sys.argv) > 1 else "orlu_fits_tool"
TMP = tempfile.mkdtemp(prefix="orlu_fits_interop_")
FAILURES = []


def path(name):
    return os.path.join(TMP, name)


def our_read(fname, hdu=0, *extra):
    """Loads through our reader: (info dict, planes as float32 array [planes, h, w])."""
    raw = path("read.raw")
    r = subprocess.run([TOOL, "read", fname, str(hdu), raw, *extra], capture_output=True,
                       text=True)
    info = json.loads(r.stdout)
    if r.returncode != 0:
        return info, None
    data = np.fromfile(raw, dtype="<f4").reshape(info["planes"], info["height"], info["width"])
    return info, data


def our_write(planes, fname, is_float, mode="none", cards=()):
    """planes: float32 array [p, h, w]. Returns the write type."""
    raw = path("write.raw")
    np.ascontiguousarray(planes, dtype="<f4").tofile(raw)
    p, h, w = planes.shape
    r = subprocess.run([TOOL, "write", raw, str(w), str(h), str(p),
                        "float" if is_float else "int", fname, mode, *cards],
                       capture_output=True, text=True)
    out = json.loads(r.stdout)
    assert r.returncode == 0 and out["ok"], f"write failed: {r.stdout} {r.stderr}"
    return out["writetype"]


def fitsverify_ok(fname):
    r = subprocess.run(["fitsverify", fname], capture_output=True, text=True)
    ok = "0 error(s)" in r.stdout and r.returncode == 0
    assert ok, f"fitsverify reports errors for {fname}:\n{r.stdout}{r.stderr}"


def funpack_pixels(fname):
    out = path("funpacked.fits")
    if os.path.exists(out):
        os.remove(out)
    subprocess.run(["funpack", "-O", out, fname], check=True, capture_output=True)
    with fits.open(out) as h:
        return np.asarray(h[0].data, dtype=np.float64)


def case(fn):
    name = fn.__name__
    try:
        fn()
        print(f"PASS {name}")
    except Exception:  # noqa: BLE001 - every failure is reported, then the next case runs
        FAILURES.append(name)
        print(f"FAIL {name}")
        traceback.print_exc()
    return fn


def as_planes(a):
    a = np.asarray(a)
    return a.reshape((1,) + a.shape) if a.ndim == 2 else a


def assert_same(ours, expected, what):
    expected = np.asarray(expected, dtype=np.float64)
    ours = np.asarray(ours, dtype=np.float64)
    assert ours.shape == expected.shape, f"{what}: shape {ours.shape} != {expected.shape}"
    bad = np.argwhere(ours != expected)
    assert bad.size == 0, (f"{what}: {len(bad)} pixels differ, first at {tuple(bad[0])}: "
                           f"ours {ours[tuple(bad[0])]} expected {expected[tuple(bad[0])]}")


RNG = np.random.default_rng(20240607)
H, W = 23, 37

# ------------------------------------------------------------------ astropy writes, we read


@case
def every_bitpix_read():
    arrays = {
        8: RNG.integers(0, 256, (H, W)).astype(np.uint8),
        16: RNG.integers(-32768, 32768, (H, W)).astype(np.int16),
        32: RNG.integers(-2**31, 2**31, (H, W), dtype=np.int64).astype(np.int32),
        64: RNG.integers(-2**62, 2**62, (H, W), dtype=np.int64),
        -32: RNG.normal(0, 1e3, (H, W)).astype(np.float32),
        -64: RNG.normal(0, 1e6, (H, W)),
    }
    for bitpix, a in arrays.items():
        f = path(f"bitpix{bitpix}.fits")
        fits.PrimaryHDU(a).writeto(f, overwrite=True)
        with fits.open(f) as h:
            assert h[0].header["BITPIX"] == bitpix
        info, d = our_read(f)
        assert info["status"] & 0x80, info
        assert info["float"] == (bitpix < 0), info
        # Every sample is converted to the nearest float.
        assert_same(d, as_planes(a.astype(np.float32)), f"BITPIX {bitpix}")


@case
def unsigned_and_scaled_read():
    u16 = RNG.integers(0, 65536, (H, W)).astype(np.uint16)
    u32 = RNG.integers(0, 2**32, (H, W), dtype=np.int64).astype(np.uint32)
    for name, a in (("u16", u16), ("u32", u32)):
        f = path(f"{name}.fits")
        fits.PrimaryHDU(a).writeto(f, overwrite=True)
        info, d = our_read(f)
        assert info["status"] & 0x80 and not info["float"], info
        assert_same(d, as_planes(a.astype(np.float64).astype(np.float32)), name)
    # BSCALE 0.5, BZERO 10: fractions survive and the image is floating point.
    raw = RNG.integers(-3000, 3000, (H, W)).astype(np.int16)
    phys = 10.0 + 0.5 * raw.astype(np.float64)
    hdu = fits.PrimaryHDU(phys.copy())  # scale() converts the array in place
    hdu.scale("int16", bscale=0.5, bzero=10.0)
    f = path("scaled.fits")
    hdu.writeto(f, overwrite=True)
    with fits.open(f, do_not_scale_image_data=True) as h:
        assert h[0].header["BSCALE"] == 0.5 and h[0].header["BZERO"] == 10.0
        assert np.array_equal(h[0].data, raw)
    info, d = our_read(f)
    assert info["float"], info
    assert_same(d, as_planes(phys.astype(np.float32)), "scaled")


@case
def colour_read():
    for depth in (3, 4):
        a = RNG.integers(0, 60000, (depth, H, W)).astype(np.uint16)
        f = path(f"cube{depth}.fits")
        fits.PrimaryHDU(a).writeto(f, overwrite=True)
        info, d = our_read(f)
        assert info["planes"] == 3, info
        assert_same(d, a[:3].astype(np.float32), f"NAXIS3={depth}")
    a = RNG.integers(0, 200, (2, H, W)).astype(np.uint8)
    f = path("cube2.fits")
    fits.PrimaryHDU(a).writeto(f, overwrite=True)
    info, d = our_read(f)
    assert info["planes"] == 1, info
    assert_same(d, a[:1].astype(np.float32), "NAXIS3=2")


@case
def multi_extension_read():
    a1 = RNG.integers(0, 1000, (H, W)).astype(np.int16)
    a2 = RNG.normal(0, 1, (W, H)).astype(np.float32)
    table = fits.BinTableHDU.from_columns([fits.Column(name="x", format="E",
                                                       array=np.arange(100, dtype=np.float32))])
    f = path("mef.fits")
    fits.HDUList([fits.PrimaryHDU(), fits.ImageHDU(a1), table, fits.ImageHDU(a2)]).writeto(
        f, overwrite=True)
    info, d = our_read(f, 1)
    assert_same(d, as_planes(a1.astype(np.float32)), "first extension")
    info, d = our_read(f, 2)
    assert info["width"] == H and info["height"] == W, info
    assert_same(d, as_planes(a2), "second image extension behind a table")


@case
def tile_compressed_read():
    table = fits.BinTableHDU.from_columns([fits.Column(name="x", format="J",
                                                       array=np.arange(10, dtype=np.int32))])
    i16 = RNG.integers(-2000, 2000, (H, W)).astype(np.int16)
    u16 = RNG.integers(0, 65536, (H, W)).astype(np.uint16)
    i32 = RNG.integers(-2**30, 2**30, (H, W)).astype(np.int32)
    f32 = RNG.normal(100, 10, (H, W)).astype(np.float32)
    rgb = RNG.integers(0, 4000, (3, H, W)).astype(np.int16)
    hdus = [
        fits.CompImageHDU(i16, compression_type="RICE_1"),
        fits.CompImageHDU(u16, compression_type="RICE_1"),
        fits.CompImageHDU(i32, compression_type="GZIP_2"),
        fits.CompImageHDU(f32, compression_type="GZIP_2"),
        fits.CompImageHDU(rgb, compression_type="RICE_1", tile_size=(1, 7, W)),
    ]
    f = path("compressed.fits")
    fits.HDUList([fits.PrimaryHDU(), hdus[0], table] + hdus[1:]).writeto(f, overwrite=True)
    with fits.open(f) as h:
        expected = [np.asarray(h[k].data, dtype=np.float32) for k in (1, 3, 4, 5, 6)]
    for k, exp in enumerate(expected, start=1):
        info, d = our_read(f, k)
        assert info["status"] & 0x80, (k, info)
        # Quantized floats: CFITSIO and astropy undo the same dithering exactly.
        assert_same(d, as_planes(exp) if exp.ndim == 2 else exp, f"compressed HDU {k}")


# ------------------------------------------------------------------ we write, peers read


def check_written(planes, is_float, mode, expected_type, name, cards=()):
    f = path(name)
    t = our_write(planes, f, is_float, mode, cards)
    assert t == expected_type, f"{name}: write type {t}, expected {expected_type}"
    assert os.path.getsize(f) % 2880 == 0, f"{name}: size not a multiple of 2880"
    expected = planes.astype(np.float64) if is_float else np.round(planes.astype(np.float64))
    with fits.open(f) as h:
        hdu = h[1] if mode != "none" else h[0]
        data = as_planes(np.asarray(hdu.data, dtype=np.float64))
    assert_same(data, expected, f"{name} read by astropy")
    fitsverify_ok(f)
    if mode != "none":
        assert_same(as_planes(funpack_pixels(f)), expected, f"{name} after funpack")
    info, ours = our_read(f)
    assert_same(ours, expected, f"{name} read back by us")
    return f


@case
def every_write_type():
    base = RNG.integers(0, 256, (1, H, W)).astype(np.float32)
    halves = base.copy()
    halves[0, 0, :6] = [0.5, 1.5, 2.5, 3.5, 254.5, 253.5]  # ties go to the even neighbour
    sets = [
        (halves, False, 8),
        (base - 300, False, 16),                                # -300 .. -45
        (base * 250, False, 17),                                # 0 .. 63750
        (base * 1e6 - 1e8, False, 32),
        (RNG.normal(0, 1, (1, H, W)).astype(np.float32), True, 33),
    ]
    for k, (planes, is_float, t) in enumerate(sets):
        for mode in ("none", "compressed"):
            check_written(planes, is_float, mode, t, f"w{t}_{k}_{mode}.fits")


@case
def colour_write():
    rgb = RNG.integers(0, 65536, (3, H, W)).astype(np.float32)
    for mode in ("none", "compressed"):
        f = check_written(rgb, False, mode, 17, f"rgb_{mode}.fits")
        with fits.open(f) as h:
            hdu = h[1] if mode != "none" else h[0]
            assert hdu.header["NAXIS"] == 3 and hdu.header["NAXIS3"] == 3
            if mode != "none":
                assert hdu._header["ZCMPTYPE"] == "RICE_1"  # colour integers always RICE


@case
def gzip_and_rice_methods():
    # A strong checkerboard selects GZIP_2 for integers; noise selects RICE_1.
    y, x = np.mgrid[0:H, 0:W]
    checker = np.where((x + y) % 2 == 0, 1000, 20).astype(np.float32)[None]
    checker += RNG.integers(0, 3, (1, H, W)).astype(np.float32)
    noise = RNG.integers(0, 60000, (1, H, W)).astype(np.float32)
    floats = RNG.normal(0, 1, (1, H, W)).astype(np.float32)
    for planes, is_float, method, name in ((checker, False, "GZIP_2", "checker"),
                                           (noise, False, "RICE_1", "noise"),
                                           (floats, True, "GZIP_2", "floats")):
        t = 33 if is_float else (16 if name == "checker" else 17)
        f = check_written(planes, is_float, "compressed", t, f"method_{name}.fits")
        with fits.open(f) as h:
            assert h[1]._header["ZCMPTYPE"] == method, (name, h[1]._header["ZCMPTYPE"])


@case
def wide_descriptors_write():
    planes = RNG.integers(-30000, 30000, (1, H, W)).astype(np.float32)
    f = check_written(planes, False, "wide", 16, "wide.fits")
    with fits.open(f) as h:
        assert h[1]._header["TFORM1"].startswith("1QB"), h[1]._header["TFORM1"]


@case
def stale_cards_removed():
    planes = RNG.normal(0, 1, (1, H, W)).astype(np.float32)
    cards = ("CHECKSUM = 'ABCDEFGHIJKLMNOP'", "DATASUM = '12345'", "BLANK = -32768",
             "ZQUANTIZ = 'SUBTRACTIVE_DITHER_1'")
    for mode in ("none", "compressed"):
        f = check_written(planes, True, mode, 33, f"stale_{mode}.fits", cards)
        with fits.open(f) as h:
            hdr = h[1]._header if mode != "none" else h[0].header
            for k in ("CHECKSUM", "DATASUM", "BLANK"):
                assert k not in hdr, (mode, k)
            if mode != "none":
                assert hdr["ZQUANTIZ"] == "NONE"


@case
def big_rows_write():
    # Rows wider than one RICE block and more rows than one batch of tiles.
    planes = RNG.integers(0, 65536, (1, 1100, 1037)).astype(np.float32)
    check_written(planes, False, "compressed", 17, "big.fits")


if __name__ == "__main__":
    try:
        if FAILURES:
            print(f"{len(FAILURES)} failed: {', '.join(FAILURES)}")
            sys.exit(1)
        print("all interop checks passed")
    finally:
        shutil.rmtree(TMP, ignore_errors=True)
