#!/usr/bin/python3
"""Checks the world coordinates that follow a geometric transform with astropy.

For each header (TAN, TAN-SIP of orders 3 and 4) and each transform (flips, quarter turns,
rotation by an angle and about a point, resize, binning 1.5, 2 and 3, crop partly outside),
the probe writes the transformed header; astropy's all_pix2world of the new header at a new
pixel must equal its all_pix2world of the original header at the pixel the transform read
from, to 1e-7 degrees. Usage: xform_interop.py PROBE
"""
import math
import os
import subprocess
import sys
import tempfile
import warnings

import numpy as np
from astropy.io import fits
from astropy.wcs import WCS, FITSFixedWarning

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "wcs"))
from wcs_interop import W, H, CRPIX, base_cards, cd_matrix, linear, sip_cards  # noqa: E402

TOL_DEG = 1e-7

CASES = {
    "tan": base_cards() + linear(150.25, 35.5, CRPIX, cd_matrix(1.2, 25)),
    "sip3": base_cards(True) + linear(300.0, -45.0, CRPIX, cd_matrix(1.8, -75)) + sip_cards(3, 2),
    "sip4": base_cards(True) + linear(12.0, 60.0, (700.5, 900.0), cd_matrix(0.9, 170))
    + sip_cards(4, 3),
}


def rotation(deg, p, q):
    t = math.radians(deg)
    c, s = math.cos(t), math.sin(t)
    if deg % 90 == 0:
        c, s = round(c), round(s)
    # old = p + R·(new − q), R = [[c, s], [−s, c]]
    return lambda x, y: (p[0] + c * (x - q[0]) + s * (y - q[1]),
                         p[1] - s * (x - q[0]) + c * (y - q[1]))


def transforms(w2h2):
    """(name, probe arguments, new pixel -> old pixel) given the new size."""
    centre = ((W - 1) / 2, (H - 1) / 2)
    return [
        ("flip h", ["flip", "0"], lambda x, y: (W - 1 - x, y)),
        ("flip v", ["flip", "1"], lambda x, y: (x, H - 1 - y)),
        ("90 left", ["turn", "1"], lambda x, y: (y, H - 1 - x)),
        ("90 right", ["turn", "0"], lambda x, y: (W - 1 - y, x)),
        ("angle 17.3", ["rotate", "17.3"],
         lambda x, y: rotation(17.3, centre, ((w2h2[0] - 1) / 2, (w2h2[1] - 1) / 2))(x, y)),
        ("around (300, 200) by -40", ["around", "-40", "300", "200"],
         rotation(-40, (300, 200), (300, 200))),
        ("resize bicubic", ["resize", "1500", "1000", "2"],
         lambda x, y: (x * W / 1500, y * H / 1000)),
        ("resize lanczos up", ["resize", "2500", "1600", "4"],
         lambda x, y: (x * W / 2500, y * H / 1600)),
        ("bin 1.5", ["bin", "1", "1"], lambda x, y: (1.5 * x + 0.25, 1.5 * y + 0.25)),
        ("bin 2", ["bin", "2", "0"], lambda x, y: (2 * x + 0.5, 2 * y + 0.5)),
        ("bin 3", ["bin", "3", "1"], lambda x, y: (3 * x + 1, 3 * y + 1)),
        ("crop partly outside", ["crop", "-50", "100", "1200", "1700"],
         lambda x, y: (x - 50, y + 100)),
    ]


def run_probe(exe, cards, args):
    with tempfile.NamedTemporaryFile("w", suffix=".txt", delete=False) as f:
        f.write("\n".join(cards + ["END"]) + "\n")
    try:
        r = subprocess.run([exe, f.name] + args, capture_output=True, text=True, check=True)
    finally:
        os.unlink(f.name)
    lines = r.stdout.splitlines()
    size = tuple(int(v) for v in lines[0].split()[1:3])
    return size, lines[1:]


def astropy_wcs(cards):
    hdr = fits.Header.fromstring("\n".join(c for c in cards if c.strip() != "END"), sep="\n")
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", FITSFixedWarning)
        return WCS(hdr)


def sep_deg(ra1, dec1, ra2, dec2):
    r1, d1, r2, d2 = map(np.radians, (ra1, dec1, ra2, dec2))
    h = np.sin((d2 - d1) / 2) ** 2 + np.cos(d1) * np.cos(d2) * np.sin((r2 - r1) / 2) ** 2
    return np.degrees(2 * np.arcsin(np.sqrt(np.clip(h, 0, 1))))


def main(exe):
    failures = 0
    for name, cards in CASES.items():
        before = astropy_wcs(cards)
        for tname, args, _ in transforms((0, 0)):
            size, out = run_probe(exe, cards, args)
            mapping = dict((t[0], t[2]) for t in transforms(size))[tname]
            after = astropy_wcs(out)
            xs, ys = np.meshgrid(np.linspace(0, size[0] - 1, 9), np.linspace(0, size[1] - 1, 7))
            xs, ys = xs.ravel(), ys.ravel()
            ox, oy = np.vectorize(mapping)(xs, ys)
            ra1, de1 = before.all_pix2world(ox, oy, 0)
            ra2, de2 = after.all_pix2world(xs, ys, 0)
            err = float(np.max(sep_deg(ra1, de1, ra2, de2)))
            status = "ok" if err <= TOL_DEG else "FAIL"
            print(f"{name:5s} {tname:26s} size {size[0]}x{size[1]}  max {err:.2e} deg  {status}")
            failures += status != "ok"
    print("failures:", failures)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
