#!/usr/bin/python3
"""End-to-end checks of orlu-cli as a script would use it: exit codes, exact JSON keys and
values, one-line failure messages. Usage: check_cli.py CASE CLI DATA_DIR WORK_DIR"""
import json
import math
import os
import subprocess
import sys

CASE, CLI, DATA, WORK = sys.argv[1:5]
os.makedirs(WORK, exist_ok=True)

INFO_KEYS = ["width", "height", "planes", "float", "status", "min", "max", "background", "cards"]
WCS_KEYS = ["solved", "centre", "scale_arcsec", "rotation_deg", "fov_deg", "pix2sky", "sky2pix"]
PLANE_KEYS = ["background", "noise", "quantiles", "min", "max", "mean", "stddev"]


def data(name):
    return os.path.join(DATA, name)


def work(name):
    return os.path.join(WORK, name)


def run(*args):
    return subprocess.run([CLI, *args], capture_output=True, text=True, timeout=120)


def ok(*args):
    r = run(*args)
    check(r.returncode == 0, f"{args}: exit {r.returncode}, stderr {r.stderr!r}")
    check(r.stderr == "", f"{args}: unexpected stderr {r.stderr!r}")
    return r.stdout


def json_of(*args):
    out = ok(*args)
    check(out.count("\n") == 1, f"{args}: expected one line of JSON, got {out!r}")
    return json.loads(out, object_pairs_hook=lambda pairs: pairs)


def check(cond, text):
    if not cond:
        print("FAIL:", text)
        sys.exit(1)


def fails_with(message, *args, code=1):
    r = run(*args)
    check(r.returncode == code, f"{args}: exit {r.returncode}, wanted {code}")
    check(r.stdout == "", f"{args}: stdout should be empty, got {r.stdout!r}")
    lines = r.stderr.splitlines()
    check(len(lines) == 1 and message in lines[0], f"{args}: stderr {r.stderr!r} lacks {message!r}")


def keys_and_dict(pairs, want_keys, what):
    check([k for k, _ in pairs] == want_keys, f"{what}: keys {[k for k, _ in pairs]}")
    return dict(pairs)


def info(path, *extra):
    return keys_and_dict(json_of("info", path, *extra), INFO_KEYS, "info " + path)


def close(a, b):
    return a is not None and math.isclose(a, b, rel_tol=0, abs_tol=1e-9)


if CASE == "info":
    d = info(data("tiny16.fits"))
    check(d["width"] == 3 and d["height"] == 2 and d["planes"] == 1, f"size {d}")
    check(d["float"] is False, "float")
    check(d["status"] == 0x82, f"status {d['status']}")  # loaded + FITS header
    check(d["min"] == 1 and d["max"] == 6, f"range {d}")
    cards = ok("header", data("tiny16.fits")).splitlines()
    check(d["cards"] == len(cards), f"cards {d['cards']} vs {len(cards)} header lines")
    c = info(data("rgbfloat.fits"))
    check(c["planes"] == 3 and c["float"] is True and c["min"] == 1 and c["max"] == 130, f"{c}")
    # The first image of a single-image file answers to --hdu 0 and 1.
    check(info(data("tiny16.fits"), "--hdu", "1") == d, "--hdu 1")

elif CASE == "header":
    lines = ok("header", data("tiny16.fits")).splitlines()
    check(lines[0].startswith("SIMPLE  =") and lines[1].startswith("BITPIX  ="), f"{lines[:2]}")
    check(any(l.startswith("OBJECT  =") and l.endswith("'tiny'") for l in lines), "OBJECT card")
    check(lines[-1].strip() == "END", f"last card {lines[-1]!r}")

elif CASE == "stats":
    pairs = json_of("stats", data("rgbfloat.fits"))
    check([k for k, _ in pairs] == ["planes"], f"top keys {pairs}")
    planes = [keys_and_dict(p, PLANE_KEYS, "plane") for p in dict(pairs)["planes"]]
    check(len(planes) == 3, f"{len(planes)} planes")
    # main (green), red, blue: range, population mean and standard deviation by hand
    want = [([1, 2, 3, 4], 1, 4), ([10.5, 20, 30, 40], 10.5, 40), ([100, 110, 120, 130], 100, 130)]
    for p, (vals, lo, hi) in zip(planes, want):
        mean = sum(vals) / 4
        sd = math.sqrt(sum((v - mean) ** 2 for v in vals) / 4)
        check(p["min"] == lo and p["max"] == hi, f"range {p}")
        check(close(p["mean"], mean), f"mean {p['mean']} vs {mean}")
        check(math.isclose(p["stddev"], sd, rel_tol=1e-6), f"stddev {p['stddev']} vs {sd}")
        check(len(p["quantiles"]) == 3 and all(lo <= q <= hi for q in p["quantiles"]),
              f"quantiles {p['quantiles']}")
        for k in ("background", "noise"):
            check(isinstance(p[k], (int, float)), f"{k} {p[k]}")
    mono = dict(json_of("stats", data("tiny16.fits")))["planes"]
    check(len(mono) == 1, "one plane for monochrome")

elif CASE == "convert":
    src = data("tiny16.fits")
    base = info(src)
    for name, extra in (("plain.fits", []), ("rice.fits", ["--compress", "rice"]),
                        ("gzip.fit", ["--compress", "gzip"])):
        out = work(name)
        check(ok("convert", src, out, *extra) == "", "convert prints nothing")
        back = info(out)
        for k in ("width", "height", "planes", "float", "min", "max"):
            check(back[k] == base[k], f"{name}: {k} {back[k]} vs {base[k]}")
    # The tile coder follows --compress; floating-point data always get GZIP_2.
    for name, method in (("rice.fits", "RICE_1"), ("gzip.fit", "GZIP_2")):
        cards = ok("header", work(name)).splitlines()
        check(any(c.startswith("ORIG_CMP= '" + method) for c in cards), f"{name}: {method}")
    ok("convert", data("rgbfloat.fits"), work("rgbrice.fits"), "--compress", "rice")
    cards = ok("header", work("rgbrice.fits")).splitlines()
    check(any(c.startswith("ORIG_CMP= 'GZIP_2") for c in cards), "float data get GZIP_2")
    # Saved through a document: the save-time cards of the default options are there.
    cards = ok("header", work("plain.fits")).splitlines()
    keys = [c[:8].rstrip() for c in cards]
    for k in ("CREATOR", "ROWORDER", "ORLUUMIN", "ORLUUMAX", "ORLUUTYP"):
        check(k in keys, f"saved header lacks {k}")
    check(any(c.startswith("ROWORDER= 'BOTTOM-UP'") for c in cards), "ROWORDER value")
    # A colour float image survives FITS both ways.
    ok("convert", data("rgbfloat.fits"), work("rgb.fts"))
    check(info(work("rgb.fts"))["planes"] == 3, "colour kept")
    # Text image: width, height, kind, then one value per pixel.
    ok("convert", src, work("tiny.txt"))
    with open(work("tiny.txt"), "rb") as f:
        text = f.read().decode("ascii").split("\r\n")
    check(text[:5] == ["3", "2", "MONO", "1", "2"], f"text {text[:5]}")
    ok("convert", src, work("tiny.raw"))
    check(os.path.getsize(work("tiny.raw")) == 3 * 2 * 4, "raw floats")
    # PNG data keeps the pixels and carries the FITS header in its text chunk.
    ok("convert", src, work("tiny.png"))
    back = info(work("tiny.png"))
    for k in ("width", "height", "planes", "min", "max"):
        check(back[k] == base[k], f"png: {k} {back[k]} vs {base[k]}")
    check(any(c.startswith("CREATOR") for c in ok("header", work("tiny.png")).splitlines()),
          "PNG reopens with its FITS cards")

elif CASE == "failures":
    missing = work("missing.fits")
    fails_with("Incompatible file format", "info", missing)
    fails_with("Incompatible file format", "stats", missing)
    fails_with("Incompatible file format", "header", missing)
    dat = work("tiny.dat")
    with open(data("tiny16.fits"), "rb") as f, open(dat, "wb") as g:
        g.write(f.read())
    fails_with("Incompatible file format", "info", dat)
    fails_with("Max size is : 30000 x 30000", "info", data("wide30001.fits"))
    fails_with("Max size is : 30000 x 30000", "convert", data("wide30001.fits"), work("w.fits"))
    # A folder that does not exist: a clear failure, and no file.
    fails_with("Cannot write file to disk", "convert", data("tiny16.fits"),
               work(os.path.join("no-such-folder", "x.png")))
    check(not os.path.exists(work(os.path.join("no-such-folder", "x.png"))), "no PNG written")
    fails_with("--compress", "convert", data("tiny16.fits"), work("x.txt"), "--compress", "rice",
               code=2)
    fails_with("rice or gzip", "convert", data("tiny16.fits"), work("x.fits"), "--compress", "lzw",
               code=2)
    fails_with("--hdu", "info", data("tiny16.fits"), "--hdu", "x", code=2)
    fails_with("unknown option", "info", data("tiny16.fits"), "--frobnicate", code=2)
    fails_with("one FILE", "info", code=2)

elif CASE == "wcs":
    # A 64 × 48 image, 3.6"/pixel, east left, north up, reference pixel in the middle.
    cards = ["SIMPLE  =                    T", "BITPIX  =                   16",
             "NAXIS   =                    2", "NAXIS1  =                   64",
             "NAXIS2  =                   48", "CTYPE1  = 'RA---TAN'", "CTYPE2  = 'DEC--TAN'",
             "CRPIX1  =                 32.5", "CRPIX2  =                 24.5",
             "CRVAL1  =                150.0", "CRVAL2  =                 30.0",
             "CD1_1   =               -0.001", "CD1_2   =                  0.0",
             "CD2_1   =                  0.0", "CD2_2   =                0.001", "END"]
    path = work("solved.fits")
    with open(path, "wb") as f:
        head = "".join(c.ljust(80) for c in cards)
        f.write(head.ljust(2880).encode("ascii"))
        f.write(bytes(2880 * 3))  # 64 × 48 × 2 bytes of zeros, padded

    def pix2sky(x, y):  # the gnomonic projection, written out
        d0 = math.radians(30.0)
        xi, eta = math.radians(-0.001 * (x - 31.5)), math.radians(0.001 * (y - 23.5))
        f = math.cos(d0) - eta * math.sin(d0)
        ra = (150.0 + math.degrees(math.atan2(xi, f))) % 360
        return ra, math.degrees(math.atan2(math.sin(d0) + eta * math.cos(d0), math.hypot(xi, f)))

    def sep(a, b):
        (r1, d1), (r2, d2) = [(math.radians(r), math.radians(d)) for r, d in (a, b)]
        h = math.sin((d2 - d1) / 2) ** 2 + math.cos(d1) * math.cos(d2) * math.sin((r2 - r1) / 2) ** 2
        return math.degrees(2 * math.asin(math.sqrt(h)))

    ra0, dec0 = pix2sky(0, 0)
    pairs = json_of("wcs", path, "--pix", "0,0", "--pix", "31.5,23.5", "--sky", f"{ra0!r},{dec0!r}",
                    "--sky", "330,-30")
    d = keys_and_dict(pairs, WCS_KEYS, "wcs")
    check(d["solved"] is True, "solved")
    check(close(d["centre"][0], 150) and close(d["centre"][1], 30), f"centre {d['centre']}")
    # Measured half a pixel east of the reference: the meridian there leans by 0.0003°.
    check(abs(d["rotation_deg"]) < 1e-3, f"rotation {d['rotation_deg']}")
    fx = sep(pix2sky(0, 24), pix2sky(63, 24)) * 65 / 64
    fy = sep(pix2sky(32, 0), pix2sky(32, 47)) * 49 / 48
    check(close(d["fov_deg"][0], fx) and close(d["fov_deg"][1], fy), f"fov {d['fov_deg']}")
    check(close(d["scale_arcsec"], fx * 3600 / 64), f"scale {d['scale_arcsec']}")
    (x, y, r, dd), (x2, y2, r2, d2) = d["pix2sky"]
    check((x, y) == (0, 0) and close(r, ra0) and close(dd, dec0), f"pix2sky {d['pix2sky'][0]}")
    check(close(r2, 150) and close(d2, 30), f"pix2sky {d['pix2sky'][1]}")
    (a, b, px, py), far = d["sky2pix"]
    check(abs(px) < 1e-6 and abs(py) < 1e-6, f"sky2pix {d['sky2pix'][0]}")
    check(far == [330, -30, None, None], f"antipode {far}")
    # No solution: nulls, no failure.
    u = keys_and_dict(json_of("wcs", data("tiny16.fits"), "--pix", "1,1", "--sky", "10,10"),
                      WCS_KEYS, "wcs unsolved")
    check(u["solved"] is False and u["centre"] == [None, None], f"unsolved {u}")
    check(u["pix2sky"] == [[1, 1, None, None]] and u["sky2pix"] == [[10, 10, None, None]], f"{u}")
    fails_with("--pix", "wcs", path, "--pix", "1", code=2)
    fails_with("--sky", "wcs", path, "--sky", "a,b", code=2)
    fails_with("one FILE", "wcs", code=2)

elif CASE == "render":
    src = data("tiny16.fits")  # 3 x 2, values 1…6
    # Linear view 2…5: 1 and 2 black, 5 and 6 white, 3 and 4 a third and two thirds.
    d = keys_and_dict(json_of("render", src, work("v.png"), "--range", "2,5"), ["low", "high"],
                      "render")
    check(d == {"low": 2, "high": 5}, f"range {d}")

    def levels(png):
        ok("convert", png, work("v.txt"))
        with open(work("v.txt"), "rb") as f:
            return f.read().decode("ascii").split("\r\n")[2:-1]

    check(levels(work("v.png")) == ["MONO", "0", "0", "85", "170", "255", "255"],
          f"gray levels {levels(work('v.png'))}")
    json_of("render", src, work("n.png"), "--range", "2,5", "--palette", "negative")
    check(levels(work("n.png"))[1:] == ["255 255 255", "255 255 255", "170 170 170",
                                         "85 85 85", "0 0 0", "0 0 0"],
          f"negative {levels(work('n.png'))}")
    # Without --range: the automatic view, a proper range inside the data.
    a = dict(json_of("render", src, work("a.png")))
    check(1 <= a["low"] < a["high"] <= 6, f"auto {a}")
    fails_with("transfer", "render", src, work("x.png"), "--transfer", "sideways", code=2)
    fails_with(".png", "render", src, work("x.jpg"), code=2)
    fails_with("--range", "render", src, work("x.png"), "--range", "low", code=2)
    fails_with("Incompatible file format", "render", work("missing.fits"), work("x.png"))
    check(not os.path.exists(work("x.png")), "nothing written on failure")
elif CASE == "run":
    import shutil

    def record(body, code):
        return body.ljust(68) + "A%03d" % code

    def write(name, lines, bom=True, eol="\r\n"):
        text = ("\ufeff" if bom else "") + eol.join(lines) + eol
        with open(work(name), "w", encoding="utf-8", newline="") as f:
            f.write(text)
        return work(name)

    def plane(path):
        return keys_and_dict(json_of("stats", path)[0][1][0], PLANE_KEYS, "stats " + path)

    his = write("steps.his", ["# Quorvane 8 Processing history", "#",
                              record("Add constant: 100", 0), record("Flip horizontal", 31)])
    src = work("tiny16.fits")
    shutil.copy(data("tiny16.fits"), src)
    check(ok("run", his, src) == "", "run prints nothing")
    out = work("tiny16_run.fits")  # default: beside the input with the suffix
    p = plane(out)
    check(p["min"] == 101 and p["max"] == 106, f"run result {p}")
    cards = ok("header", out).splitlines()
    hist = [c for c in cards if c.startswith("HISTORY ")]
    check(len(hist) == 2 and hist[0].endswith("A000") and hist[1].endswith("A031"), f"{hist}")
    # Macro file, --out and --suffix, LF lines without BOM; a colour float image.
    mac = write("double.mac", ["# Quorvane 8 Macro", "name=x", "step=2;;2;"], bom=False, eol="\n")
    os.makedirs(work("out"), exist_ok=True)
    ok("run", mac, data("rgbfloat.fits"), "--out", work("out"), "--suffix", "-x2")
    d = info(work("out/rgbfloat-x2.fits"))
    check(d["planes"] == 3 and d["min"] == 2 and d["max"] == 260, f"macro result {d}")
    # A two-image step opens the stored second image.
    dual = write("dual.his", [record('Add image "%s"' % data("tiny16.fits"), 61)])
    ok("run", dual, data("tiny16.fits"), "--out", work("out"))
    p = plane(work("out/tiny16_run.fits"))
    check(p["min"] == 2 and p["max"] == 12, f"dual result {p}")
    # A failing step stops its file (nothing written) and the run exits 1; others still run.
    bad = write("bad.his", [record("Divide constant: 0", 3)])
    for f in ("tiny16_run.fits", "rgbfloat_run.fits"):
        if os.path.exists(work("out/" + f)):
            os.remove(work("out/" + f))
    r = run("run", bad, data("tiny16.fits"), "--out", work("out"))
    check(r.returncode == 1 and "Divide constant" in r.stderr, f"bad step {r}")
    check(not os.path.exists(work("out/tiny16_run.fits")), "failed file was written")
    absent = write("absent.his", [record("Gauss: 2", 18)])
    fails_with("Gauss", "run", absent, data("tiny16.fits"), "--out", work("out"))
    r = run("run", his, work("missing.fits"), data("rgbfloat.fits"), "--out", work("out"))
    check(r.returncode == 1 and os.path.exists(work("out/rgbfloat_run.fits")), f"{r}")
    fails_with("no processing steps", "run", write("empty.his", ["#"]), data("tiny16.fits"))
    fails_with("would replace", "run", his, src, "--suffix", "", code=2)
    fails_with("--out", "run", his, src, "--out", work("nowhere"), code=2)
    fails_with("FILE", "run", his, code=2)

else:
    check(False, "unknown case " + CASE)
print("ok", CASE)
