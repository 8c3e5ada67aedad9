#!/usr/bin/python3
"""Compares the image's world-coordinate transforms with astropy's on generated headers.

TAN in the CD, PC/CDELT and CDELT/CROTA forms, TAN-SIP of orders 2 to 4 (with and without
inverse polynomials), a field across RA 0h and one over the celestial pole. Pixel to sky
must agree with all_pix2world (origin 0) to 1e-6 degrees; sky to pixel must return the
pixel to 1e-4 pixels and agree with all_world2pix. Headers written back by the program are
read again by astropy. Usage: wcs_interop.py PROBE
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

W, H = 2048, 1536
TOL_DEG = 1e-6
TOL_PIX = 1e-4


def card(key, value):
    if isinstance(value, str):
        return f"{key:<8}= '{value:<8}'"
    if isinstance(value, int):
        return f"{key:<8}= {value:>20d}"
    return f"{key:<8}= {value:>20.15E}"


def base_cards(ctype_sip=False):
    sfx = "-SIP" if ctype_sip else ""
    return [card("SIMPLE", "T").replace("'T       '", "T".rjust(20)),
            card("BITPIX", -32), card("NAXIS", 2), card("NAXIS1", W), card("NAXIS2", H),
            card("CTYPE1", "RA---TAN" + sfx), card("CTYPE2", "DEC--TAN" + sfx)]


def cd_matrix(scale_arcsec, rot_deg, skew=0.0):
    s = scale_arcsec / 3600.0
    c, n = math.cos(math.radians(rot_deg)), math.sin(math.radians(rot_deg))
    return [[-s * c, s * n * (1 + skew)], [s * n, s * c]]


def linear(ra, dec, crpix, cd, form="CD"):
    out = [card("CRPIX1", crpix[0]), card("CRPIX2", crpix[1]),
           card("CRVAL1", float(ra)), card("CRVAL2", float(dec))]
    if form == "CD":
        out += [card("CD1_1", cd[0][0]), card("CD1_2", cd[0][1]),
                card("CD2_1", cd[1][0]), card("CD2_2", cd[1][1])]
    elif form == "PC":
        d1 = -math.hypot(cd[0][0], cd[1][0])
        d2 = math.hypot(cd[0][1], cd[1][1])
        out += [card("CDELT1", d1), card("CDELT2", d2),
                card("PC1_1", cd[0][0] / d1), card("PC1_2", cd[0][1] / d1),
                card("PC2_1", cd[1][0] / d2), card("PC2_2", cd[1][1] / d2)]
    elif form == "CROTA":
        # Only rotation and scale: CD11 = CDELT1·cos ρ, CD21 = CDELT1·sin ρ.
        d1 = -math.hypot(cd[0][0], cd[1][0])
        d2 = math.hypot(cd[0][1], cd[1][1])
        rho = math.degrees(math.atan2(cd[1][0] / d1, cd[0][0] / d1))
        out += [card("CDELT1", d1), card("CDELT2", d2), card("CROTA2", rho)]
    return out


def sip_terms(order, seed):
    rng = np.random.default_rng(seed)
    a, b = {}, {}
    # Distortion of a few pixels at the corners of a 2048 × 1536 field.
    size = {2: 3e-6, 3: 2e-9, 4: 1.5e-12}
    for p in range(order + 1):
        for q in range(order + 1 - p):
            if p + q < 2:
                continue
            a[(p, q)] = float(rng.uniform(-1, 1) * size[p + q])
            b[(p, q)] = float(rng.uniform(-1, 1) * size[p + q])
    return a, b


def sip_cards(order, seed, inverse=False):
    a, b = sip_terms(order, seed)
    out = [card("A_ORDER", order), card("B_ORDER", order)]
    out += [card(f"A_{p}_{q}", v) for (p, q), v in a.items()]
    out += [card(f"B_{p}_{q}", v) for (p, q), v in b.items()]
    if inverse:
        # A rough inverse (negated forward terms): only a starting point for the programs.
        out += [card("AP_ORDER", order), card("BP_ORDER", order)]
        out += [card(f"AP_{p}_{q}", -v) for (p, q), v in a.items()]
        out += [card(f"BP_{p}_{q}", -v) for (p, q), v in b.items()]
    return out


CRPIX = (1024.5, 768.5)
CASES = {
    "tan_cd": base_cards() + linear(150.25, 35.5, CRPIX, cd_matrix(1.2, 25)),
    "tan_pc": base_cards() + linear(210.0, -20.0, (900.0, 700.0), cd_matrix(1.5, -40, 0.01), "PC"),
    "tan_crota": base_cards() + linear(45.0, 10.0, CRPIX, cd_matrix(2.0, 110), "CROTA"),
    "sip2": base_cards(True) + linear(80.0, 22.0, CRPIX, cd_matrix(1.0, 5)) + sip_cards(2, 1),
    "sip3": base_cards(True) + linear(300.0, -45.0, CRPIX, cd_matrix(1.8, -75)) + sip_cards(3, 2),
    "sip4": base_cards(True) + linear(12.0, 60.0, CRPIX, cd_matrix(0.9, 170)) + sip_cards(4, 3),
    "sip3_pc_inverse": base_cards(True) + linear(120.0, 5.0, (1000.0, 800.0), cd_matrix(1.1, 30, -0.02), "PC")
    + sip_cards(3, 4, inverse=True),
    "across_ra0": base_cards(True) + linear(0.05, 15.0, CRPIX, cd_matrix(3.0, 12)) + sip_cards(3, 5),
    "over_pole": base_cards() + linear(33.0, 89.6, CRPIX, cd_matrix(3.0, -20)),
    "near_pole_sip": base_cards(True) + linear(250.0, -89.2, CRPIX, cd_matrix(2.0, 60)) + sip_cards(4, 6),
}

FOREIGN = {
    "sine": [c.replace("TAN", "SIN") for c in CASES["tan_cd"]],
    "sip_order5": base_cards(True) + linear(80.0, 22.0, CRPIX, cd_matrix(1.0, 5))
    + [card("A_ORDER", 5), card("B_ORDER", 5), card("A_5_0", 1e-17), card("B_0_5", 1e-17)],
    "singular": base_cards() + linear(10.0, 10.0, CRPIX, [[1e-4, 2e-4], [1e-4, 2e-4]]),
}


def probe(exe, cards, commands):
    with tempfile.NamedTemporaryFile("w", suffix=".txt", delete=False) as f:
        f.write("\n".join(cards + ["END"]) + "\n")
    try:
        r = subprocess.run([exe, f.name], input="\n".join(commands) + "\n",
                           capture_output=True, text=True, check=True)
    finally:
        os.unlink(f.name)
    return r.stdout.splitlines()


def astropy_wcs(cards):
    hdr = fits.Header.fromstring("\n".join(cards), sep="\n")
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", FITSFixedWarning)
        return WCS(hdr)


def sep_deg(ra1, dec1, ra2, dec2):
    r1, d1, r2, d2 = map(np.radians, (ra1, dec1, ra2, dec2))
    h = np.sin((d2 - d1) / 2) ** 2 + np.cos(d1) * np.cos(d2) * np.sin((r2 - r1) / 2) ** 2
    return np.degrees(2 * np.arcsin(np.sqrt(np.clip(h, 0, 1))))


def grid_points():
    xs = np.linspace(-0.1 * W, 1.1 * W - 1, 13)
    ys = np.linspace(-0.1 * H, 1.1 * H - 1, 11)
    x, y = np.meshgrid(xs, ys)
    return x.ravel(), y.ravel()


def check_case(exe, name, cards):
    failures = []
    w = astropy_wcs(cards)
    x, y = grid_points()
    ra_ref, dec_ref = w.all_pix2world(x, y, 0)
    cmds = [f"pix {a!r} {b!r}" for a, b in zip(x, y)]
    cmds += [f"sky {a!r} {b!r}" for a, b in zip(ra_ref, dec_ref)]
    cmds += ["write"]
    out = probe(exe, cards, cmds)
    if out[0] != "solved 1":
        return [f"{name}: not solved"]
    pix = np.array([list(map(float, l.split()[1:])) for l in out[1:] if l.startswith("pix")])
    sky = np.array([list(map(float, l.split()[1:])) for l in out[1:] if l.startswith("sky")])
    ra, dec = pix[:, 2], pix[:, 3]
    if np.any(ra < 0) or np.any(ra >= 360):
        failures.append(f"{name}: RA outside [0, 360)")
    e_sky = np.max(sep_deg(ra, dec, ra_ref, dec_ref))
    if not e_sky <= TOL_DEG:
        failures.append(f"{name}: pixel to sky differs by {e_sky:.3g} deg")
    ok = sky[:, 4] == 1
    if not np.all(ok):
        failures.append(f"{name}: {np.sum(~ok)} sky points refused")
    e_back = np.max(np.hypot(sky[:, 2] - x, sky[:, 3] - y))
    if not e_back <= TOL_PIX:
        failures.append(f"{name}: sky to pixel misses the pixel by {e_back:.3g} px")
    xa, ya = w.all_world2pix(ra_ref, dec_ref, 0, tolerance=1e-12, maxiter=200)
    e_peer = np.max(np.hypot(sky[:, 2] - xa, sky[:, 3] - ya))
    if not e_peer <= TOL_PIX:
        failures.append(f"{name}: sky to pixel differs from astropy by {e_peer:.3g} px")
    # The header written back means the same to astropy.
    i = out.index("end")
    written = [l for l in out[out.index("solved 1") + 1:i] if not l.startswith(("pix", "sky"))]
    w2 = astropy_wcs([c for c in written if c.strip() != "END"])
    ra2, dec2 = w2.all_pix2world(x, y, 0)
    e_written = np.max(sep_deg(ra, dec, ra2, dec2))
    if not e_written <= TOL_DEG:
        failures.append(f"{name}: written header differs by {e_written:.3g} deg")
    print(f"{name:16s} pix->sky {e_sky:.2e} deg  sky->pix {e_back:.2e} px  vs astropy "
          f"{e_peer:.2e} px  written {e_written:.2e} deg")
    return failures


def check_foreign(exe, name, cards):
    out = probe(exe, cards, ["write"])
    if out[0] != "solved 0":
        return [f"{name}: taken as a solution"]
    written = out[1:out.index("end")]
    if [c.rstrip() for c in written if c.strip() != "END"] != [c.rstrip() for c in cards]:
        return [f"{name}: header changed on save"]
    print(f"{name:16s} left alone")
    return []


def main():
    exe = sys.argv[1]
    failures = []
    for name, cards in CASES.items():
        failures += check_case(exe, name, cards)
    for name, cards in FOREIGN.items():
        failures += check_foreign(exe, name, cards)
    for f in failures:
        print("FAIL", f)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
