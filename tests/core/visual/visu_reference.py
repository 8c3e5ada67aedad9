#!/usr/bin/python3
"""Independent reference values for ImaVisuTest.cpp: the automatic view range of small
seeded planes and checkpoints of the transfer tables, computed in plain Python from the
written rules (not from the C++ code). Run it and paste its output into the test when a
rule changes:  /usr/bin/python3 tests/core/visual/visu_reference.py
"""
import math
import struct


def f32(x):
    return struct.unpack("f", struct.pack("f", x))[0]


class Lcg:
    """The test planes' generator (same in the C++ test): 24-bit values."""

    def __init__(self, seed):
        self.s = seed & 0xFFFFFFFF

    def next(self):
        self.s = (self.s * 1664525 + 1013904223) & 0xFFFFFFFF
        return self.s >> 8


def plane(kind, w, h, seed):
    g = Lcg(seed)
    out = []
    for y in range(h):
        for x in range(w):
            r = g.next()
            if kind == "sky":      # background with a bright cluster
                v = 1000 + r % 100
                if 120 <= x < 140 and 80 <= y < 100:
                    v = 30000 + r % 50
            elif kind == "ramp":   # gradient with noise
                v = 100 + x * 2 + r % 256
            elif kind == "signed":
                v = (r % 2001) - 1000
            elif kind == "scatter":  # bright pixels all over
                v = 5000 if (y * w + x) % 37 == 0 else 200 + r % 20
            else:
                v = r % 4096
            out.append(f32(float(v)))
    return out


def auto_range(w, h, main, red=None, blue=None, symmetric=False):
    count = w * h
    s = []
    total = [0.0]

    def take(x, y):
        i = y * w + x
        v = main[i]
        if red is not None:
            g, r, b = main[i], red[i], blue[i]
            a = 0.333 * (r + g + b)
            v = max(g, r, b) if (s and a > total[0] / len(s)) else a
        fv = f32(v)
        s.append((fv, x, y))
        total[0] += fv

    if count < 12000:
        for y in range(h):
            for x in range(w):
                take(x, y)
    else:
        step = int(math.sqrt(count / 12000.0)) + 1
        margin = 3 if min(w, h) > 50 else 0
        m = min(w, h) // 20
        st = [20949776]

        def R(n):
            st[0] = (st[0] * 1103515245 + 12345) & 0xFFFFFFFF
            v = (st[0] & 0x7FFFFFFF) ^ (st[0] >> 16)
            return v % n

        done = False
        for r0 in range(h // step + 1):
            if done:
                break
            for c0 in range(w // step + 1):
                if len(s) >= 12000:
                    done = True
                    break
                x = R(step) + c0 * step
                y = R(step) + r0 * step
                if m > 4:
                    mx = R(m)
                    my = R(m)
                    if not (mx <= x <= w - 1 - mx and my <= y <= h - 1 - my):
                        continue
                if y * w + x >= count:
                    continue
                if x < margin or x > w - 1 - margin or y < margin or y > h - 1 - margin:
                    continue
                take(x, y)
    n = len(s)
    s.sort(key=lambda t: t[0])  # stable

    def V(q):
        return s[min(max(int(n * q), 0), n - 1)][0]

    k = max(1, int(0.01 * n))
    sq = 0.0
    for j in range(n - 1 - k, n - 1):
        dx = float(s[j][1] - s[j + 1][1])
        dy = float(s[j][2] - s[j + 1][2])
        sq += dx * dx + dy * dy
    spread = min(max(round(math.sqrt(sq / k) / w * 20.0), 1), 4)
    a, b = V(0.333), V(0.666)
    wd = max(b - a, 1e-6)
    a2 = max(a - wd, V(0))
    b2 = min(b + wd, s[n - 1][0])
    typ = 0
    if abs(b2) > 1e-6:
        t = min(max(round(V(0.995) / b2 - 1.0), 0), 5)
        if spread <= 2 and t > 0:
            t -= 1
        if spread <= 1 and t > 0:
            t -= 1
        typ = -t
    low = (a2 + V(0.05)) / 2.0
    if spread == 1:
        high = (9.0 * V(0.999) + b2) / 10.0
    elif spread == 2:
        high = (5.0 * V(0.997) + b2) / 6.0
    else:
        high = (3.0 * V(0.995) + b2) / 4.0
    q75, q25 = V(0.75), V(0.25)
    if n >= 1000 and q75 > 1e-6 and q25 < -1e-6:
        ratio = abs(q75 / q25)
        if (0.25 < ratio < 4.0) or symmetric:
            w5 = 5.0 * (q75 - q25)
            low = max(V(0.005), -w5)
            high = min(V(0.995), w5)
    if low == high:
        if low > 0:
            low = max(0.0, high - 1)
        else:
            high = low + 1
    return low, high, typ, spread


def tables():
    out = {}
    # power d = 15 and arc d = 15 at a few indices (float32 values, rounded levels)
    g = (15 / 10.0) ** 2
    out["exp15"] = [(i, f32(255.0 * math.exp((math.log(i) - math.log(4095.0)) * g)))
                    for i in (1, 100, 2048, 4000, 4094)]
    e = round(2.2 * 15)
    a1, a2 = math.radians(135 + e), math.radians(135 - e)
    vals = []
    for i in (1, 100, 2048, 4000, 4094):
        u = math.cos(a1) + (math.cos(a2) - math.cos(a1)) * i / 4095.0
        v = min(max(math.sqrt(1 - u * u), math.sin(a1)), math.sin(a2))
        vals.append((i, f32(255.0 * (v - math.sin(a1)) / (math.sin(a2) - math.sin(a1)))))
    out["log15"] = vals
    out["curve"] = [(j, f32(v)) for j, v in curve_table([(300 / 999.0, 649 / 999.0)])
                    if j in (0, 500, 1229, 2048, 3500, 4095)]
    out["curve3"] = [(j, f32(v)) for j, v in curve_table(
        [(200 / 999.0, 100 / 999.0), (500 / 999.0, 800 / 999.0), (800 / 999.0, 850 / 999.0)])
        if j in (0, 500, 1229, 2048, 3500, 4095)]
    return out


def curve_table(points):
    """Smoothed polyline through the points (as float32 fractions), 4096 values 0..255."""
    pts = [(f32(x), f32(y)) for x, y in points]
    F = [0.0] * 4112

    def seg(x0, y0, x1, y1):
        x0, y0, x1, y1 = [min(max(v, 0.0), 1.0) for v in (x0, y0, x1, y1)]
        if x1 < x0 + 1e-6:
            x1 = x0 + 1e-6
        base = round(4096 * x0)
        s = 0
        while True:
            x = x0 + s / 4096.0
            if x > x1 or base + s >= 4112:
                break
            F[base + s] = y0 + (x - x0) * (y1 - y0) / (x1 - x0)
            s += 1
    seg(0.0, 0.0, pts[0][0], pts[0][1])
    for k in range(len(pts) - 1):
        seg(pts[k][0], pts[k][1], pts[k + 1][0], pts[k + 1][1])
    last = len(pts) - 1
    seg(pts[last][0], pts[last][1], 1.0, 1.0)
    strength = 1.0 if last <= 1 else (0.6 if last == 2 else 0.6 * math.sqrt(0.6))
    w = [math.exp(-t * t / 3200.0) for t in range(151)]
    w = [0.0 if v < 1e-6 else v for v in w]
    tot = w[0] + 2 * sum(w[1:])
    w = [v / tot for v in w]
    res = []
    for j in range(4096):
        m = 2.0 * abs(0.5 - j / 4096.0)
        dj = (1.0 - m * m + 0.2) * 20.0 * strength / 1.2
        out = w[0] * F[j]
        for t in range(1, 151):
            li = round(j - t * dj)
            ri = round(j + t * dj)
            L = F[li] if li >= 0 else -F[min(-li, 4095)]
            R = F[ri] if ri <= 4095 else 2.0 - F[max(0, 8191 - ri)]
            out += w[t] * (L + R)
        res.append((j, min(max(255.0 * out, 0.0), 255.0)))
    return res


def main():
    cases = [
        ("sky", 200, 150, 11, False),
        ("ramp", 90, 80, 12, False),
        ("signed", 300, 200, 13, False),
        ("scatter", 400, 300, 14, False),
    ]
    for kind, w, h, seed, sym in cases:
        p = plane(kind, w, h, seed)
        print(kind, w, h, seed, repr(auto_range(w, h, p, symmetric=sym)))
    # colour: green = main plane
    w, h = 160, 120
    r, g, b = plane("rand", w, h, 21), plane("rand", w, h, 22), plane("rand", w, h, 23)
    print("colour", w, h, repr(auto_range(w, h, g, r, b)))
    for name, vals in tables().items():
        print(name, [(i, repr(v), round(v)) for i, v in vals])


if __name__ == "__main__":
    main()
