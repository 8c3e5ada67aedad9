#!/usr/bin/python3
"""Raster interop: PNG, TIFF and JPEG files written by ImageMagick and libtiff's tiffcp open
in orlu-cli with the same pixels, and the PNG and TIFF files orlu-cli writes are read by
ImageMagick with the same pixels (and our FITS header chunk is a well-formed tEXt chunk).
A second, independent PNG decoder (zlib + unfilter, written here) reads our PNG files too.

Usage: raster_interop.py ORLU_CLI
Run with Debian's /usr/bin/python3 (python3-astropy and python3-numpy).
"""
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import traceback
import warnings
import zlib

import numpy as np
from astropy.io import fits

warnings.simplefilter("ignore")

CLI = sys.argv[1] if len(sys.argv) > 1 else "orlu-cli"
TMP = tempfile.mkdtemp(prefix="orlu_raster_interop_")
FAILURES = []
RNG = np.random.default_rng(7)


def path(name):
    return os.path.join(TMP, name)


def run(*args):
    r = subprocess.run(list(args), capture_output=True)
    if r.returncode != 0:
        raise RuntimeError(" ".join(args) + ": " + r.stderr.decode(errors="replace"))
    return r.stdout


def ours_to_array(fname):
    """Opens through orlu-cli (convert to FITS) and returns [planes, h, w] top row first."""
    out = path("ours.fits")
    run(CLI, "convert", fname, out)
    data = fits.getdata(out).astype(np.float64)
    if data.ndim == 2:
        data = data[None]
    # Image row 0 is the bottom row; pictures start at the top.
    return data[:, ::-1, :]


def magick_to_array(fname, planes, depth=16):
    """Decodes with ImageMagick to raw samples, [planes, h, w] top row first."""
    w, h = [int(v) for v in run("identify", "-format", "%w %h", fname + "[0]").split()]
    kind = "rgb" if planes == 3 else "gray"
    raw = run("convert", fname + "[0]", "-depth", str(depth), "-endian", "MSB", f"{kind}:-")
    dt = ">u2" if depth == 16 else "u1"
    a = np.frombuffer(raw, dtype=dt).astype(np.float64).reshape(h, w, planes)
    return np.moveaxis(a, 2, 0)


def write_pnm(a, fname):
    """Writes a [planes, h, w] array of 8- or 16-bit samples as PGM/PPM (the peers' input)."""
    planes, h, w = a.shape
    maxval = 65535 if a.max() > 255 else 255
    magic = b"P6" if planes == 3 else b"P5"
    body = np.moveaxis(a, 0, 2).astype(">u2" if maxval > 255 else "u1").tobytes()
    with open(fname, "wb") as f:
        f.write(magic + b"\n%d %d\n%d\n" % (w, h, maxval) + body)


def check(name, fn):
    try:
        fn()
        print("ok   ", name)
    except Exception:
        FAILURES.append(name)
        print("FAIL ", name)
        traceback.print_exc()


def same(a, b, tol=0.0):
    assert a.shape == b.shape, (a.shape, b.shape)
    d = np.abs(a - b).max()
    assert d <= tol, f"max difference {d} above {tol}"


# ------------------------------------------------------------------------ their files, our reader

def sample(planes, depth, h=37, w=53):
    top = (1 << depth) - 1
    a = RNG.integers(0, top + 1, size=(planes, h, w)).astype(np.float64)
    a[:, 0, 0] = top
    a[:, -1, -1] = 0
    return a


def png_variants():
    cases = [
        ("gray 8", 1, 8, []),
        ("gray 16", 1, 16, []),
        ("rgb 8", 3, 8, []),
        ("rgb 16", 3, 16, []),
        ("rgb 16 interlaced", 3, 16, ["-interlace", "PNG"]),
        ("gray 8 interlaced", 1, 8, ["-interlace", "PNG"]),
    ]
    for name, planes, depth, opts in cases:
        def t(planes=planes, depth=depth, opts=opts, name=name):
            a = sample(planes, depth)
            src = path("src.pnm")
            write_pnm(a, src)
            png = path("m.png")
            kind = "Grayscale" if planes == 1 else "TrueColor"
            run("convert", src, *opts, "-type", kind, "-depth", str(depth),
                "-define", f"png:bit-depth={depth}", png)
            same(ours_to_array(png), a)
        check("png " + name, t)

    def palette():
        # A few colours: ImageMagick stores an indexed PNG.
        cols = np.array([[10, 200, 30], [250, 0, 5], [0, 0, 255], [90, 90, 90]], float)
        idx = RNG.integers(0, 4, size=(21, 33))
        a = np.moveaxis(cols[idx], 2, 0)
        src = path("pal.ppm")
        write_pnm(a, src)
        png = path("pal.png")
        run("convert", src, "-type", "Palette", "png8:" + png)
        assert open(png, "rb").read(26)[25] == 3, "not a palette PNG"
        same(ours_to_array(png), a)
    check("png palette", palette)

    def gray1():
        a = (RNG.integers(0, 2, size=(1, 19, 29)) * 255).astype(np.float64)
        src = path("bw.pgm")
        write_pnm(a, src)
        png = path("bw.png")
        run("convert", src, "-type", "Bilevel", "-depth", "1", png)
        assert open(png, "rb").read(25)[24] == 1, "not a 1-bit PNG"
        same(ours_to_array(png), a)
    check("png gray 1-bit", gray1)


def tiff_variants():
    cases = [
        ("strips 8 gray", 1, 8, ["-compress", "none"]),
        ("strips 16 rgb", 3, 16, ["-compress", "none"]),
        ("lzw 16 gray", 1, 16, ["-compress", "lzw"]),
        ("zip 8 rgb", 3, 8, ["-compress", "zip"]),
        ("tiles 16 rgb", 3, 16, ["-compress", "none", "-define", "tiff:tile-geometry=16x16"]),
        ("planar 16 rgb", 3, 16, ["-compress", "none", "-interlace", "plane"]),
    ]
    for name, planes, depth, opts in cases:
        def t(planes=planes, depth=depth, opts=opts):
            a = sample(planes, depth)
            src = path("src.pnm")
            write_pnm(a, src)
            tif = path("m.tif")
            run("convert", src, *opts, "-depth", str(depth), tif)
            same(ours_to_array(tif), a)
        check("tiff " + name, t)

    # tiffcp changes the planar layout of 8-bit files only.
    for name, depth, opts in [("tiffcp lzw", 16, ["-c", "lzw"]), ("tiffcp tiles", 16, ["-t"]),
                              ("tiffcp separate planes", 8, ["-p", "separate"]),
                              ("tiffcp one row per strip", 16, ["-r", "1"])]:
        def t(depth=depth, opts=opts):
            a = sample(3, depth)
            src = path("src.ppm")
            write_pnm(a, src)
            plain = path("plain.tif")
            run("convert", src, "-compress", "none", "-depth", str(depth), plain)
            tif = path("cp.tif")
            run("tiffcp", *opts, plain, tif)
            same(ours_to_array(tif), a)
        check(name, t)

    def floats():
        # Written here with struct (big-endian, 96-bit float RGB), as another encoder would.
        a = RNG.normal(0, 1000, size=(3, 17, 23)).astype(np.float32)
        h, w = a.shape[1:]
        data = np.moveaxis(a, 0, 2).astype(">f4").tobytes()
        entries = [(256, 4, 1, w), (257, 4, 1, h), (258, 3, 3, 8 + 2 + 12 * 10 + 4),
                   (259, 3, 1, 1), (262, 3, 1, 2), (273, 4, 1, 8 + 2 + 12 * 10 + 4 + 6),
                   (277, 3, 1, 3), (278, 4, 1, h), (279, 4, 1, len(data)), (339, 3, 1, 3)]
        ifd = struct.pack(">H", len(entries))
        for tag, typ, count, value in entries:
            v = struct.pack(">HH", value, 0) if typ == 3 and count == 1 else struct.pack(">I", value)
            ifd += struct.pack(">HHI", tag, typ, count) + v
        tif = path("f.tif")
        with open(tif, "wb") as f:
            f.write(b"MM\0\x2a" + struct.pack(">I", 8) + ifd + struct.pack(">I", 0) +
                    struct.pack(">HHH", 32, 32, 32) + data)
        same(ours_to_array(tif), a.astype(np.float64))
    check("tiff float 96-bit rgb", floats)


def jpeg_variants():
    for planes in (1, 3):
        def t(planes=planes):
            a = sample(planes, 8, 48, 64)
            src = path("src.pnm")
            write_pnm(a, src)
            jpg = path("m.jpg")
            run("convert", src, "-quality", "92", jpg)
            peer = magick_to_array(jpg, planes, 8)
            ours = ours_to_array(jpg)
            # Both use libjpeg-turbo; DCT and upsampling choices may differ by a level or two.
            same(ours, peer, 3.0)
        check(f"jpeg {'gray' if planes == 1 else 'rgb'}", t)


# ------------------------------------------------------------------------ our files, their reader

def png_chunks(data):
    assert data[:8] == b"\x89PNG\r\n\x1a\n"
    at, out = 8, []
    while at < len(data):
        n, t = struct.unpack(">I4s", data[at:at + 8])
        body = data[at + 8:at + 8 + n]
        crc = struct.unpack(">I", data[at + 8 + n:at + 12 + n])[0]
        assert crc == zlib.crc32(t + body), f"bad CRC on {t}"
        out.append((t, body))
        at += 12 + n
    return out


def decode_png(fname):
    """An independent decoder for the 8/16-bit gray and RGB files we write."""
    chunks = png_chunks(open(fname, "rb").read())
    w, h, depth, ct, _, _, lace = struct.unpack(">IIBBBBB", chunks[0][1])
    assert lace == 0
    spp = {0: 1, 2: 3, 4: 2, 6: 4}[ct]
    bpp = spp * depth // 8
    raw = zlib.decompress(b"".join(b for t, b in chunks if t == b"IDAT"))
    stride = w * bpp
    out = bytearray()
    prev = bytearray(stride)
    for y in range(h):
        f = raw[y * (stride + 1)]
        line = bytearray(raw[y * (stride + 1) + 1:(y + 1) * (stride + 1)])
        for i in range(stride):
            a = line[i - bpp] if i >= bpp else 0
            b = prev[i]
            c = prev[i - bpp] if i >= bpp else 0
            if f == 1:
                p = a
            elif f == 2:
                p = b
            elif f == 3:
                p = (a + b) // 2
            elif f == 4:
                q = a + b - c
                pa, pb, pc = abs(q - a), abs(q - b), abs(q - c)
                p = a if pa <= pb and pa <= pc else (b if pb <= pc else c)
            else:
                p = 0
            line[i] = (line[i] + p) & 255
        out += line
        prev = line
    a = np.frombuffer(bytes(out), dtype=">u2" if depth == 16 else "u1").astype(np.float64)
    a = a.reshape(h, w, spp)
    text = [b for t, b in chunks if t == b"tEXt"]
    return np.moveaxis(a, 2, 0)[:3 if spp >= 3 else 1], text


def ours_written():
    for planes in (1, 3):
        for depth in (8, 16):
            def t(planes=planes, depth=depth):
                a = sample(planes, depth, 29, 41)
                src = path("in.fits")
                hdu = fits.PrimaryHDU((a[:, ::-1, :] if planes == 3 else a[0, ::-1, :]).astype(
                    np.int32))
                hdu.header["OBJECT"] = "M 42"
                hdu.header["EXPTIME"] = 12.5
                hdu.writeto(src, overwrite=True)
                png = path("ours.png")
                run(CLI, "convert", src, png)
                same(magick_to_array(png, planes, depth), a)
                mine, text = decode_png(png)
                same(mine, a)
                assert len(text) == 1 and text[0].startswith(b"FITS_HEADER\0"), text
                assert b"OBJECT  = 'M 42" in text[0] and b"EXPTIME =" in text[0], text
                tif = path("ours.tif")
                run(CLI, "convert", src, tif)
                same(magick_to_array(tif, planes, depth), a)
                run("tiffinfo", tif)  # libtiff parses the directory without complaint
            check(f"ours {'gray' if planes == 1 else 'rgb'} {depth}-bit read by peers", t)

    def big_png():
        # More than one IDAT chunk.
        a = sample(3, 16, 400, 700)
        src = path("big.fits")
        fits.writeto(src, a[:, ::-1, :].astype(np.int32), overwrite=True)
        png = path("big.png")
        run(CLI, "convert", src, png)
        assert sum(1 for t, _ in png_chunks(open(png, "rb").read()) if t == b"IDAT") > 1
        same(magick_to_array(png, 3, 16), a)
    check("ours large png read by peers", big_png)


def main():
    if not shutil.which("convert") or not shutil.which("tiffcp"):
        print("ImageMagick and libtiff-tools are needed")
        return 1
    try:
        png_variants()
        tiff_variants()
        jpeg_variants()
        ours_written()
    finally:
        shutil.rmtree(TMP, ignore_errors=True)
    if FAILURES:
        print("failed:", ", ".join(FAILURES))
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
