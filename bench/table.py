#!/usr/bin/env python3
"""Pairs Google Benchmark results named "Operation/who" into one table of ratios.

"ours" is compared with every other entry of the same operation; a ratio below 1 means
we are faster. Times are the mean real time per iteration.
"""
import json
import sys
from collections import OrderedDict

UNIT = {"ns": 1e-6, "us": 1e-3, "ms": 1.0, "s": 1e3}


def main(paths):
    ops = OrderedDict()
    for path in paths:
        with open(path) as f:
            data = json.load(f)
        for b in data.get("benchmarks", []):
            if b.get("run_type") == "aggregate" and b.get("aggregate_name") != "mean":
                continue
            name = b["name"].split("/real_time")[0].split("/manual_time")[0]
            if b.get("run_type") == "aggregate":
                name = name.rsplit("_mean", 1)[0]
            if "/" not in name:
                continue
            op, who = name.rsplit("/", 1)
            ms = b["real_time"] * UNIT[b.get("time_unit", "ns")]
            ops.setdefault(op, OrderedDict())[who] = ms
    rows = [("operation", "ours ms", "peer", "peer ms", "ours/peer")]
    for op, whos in ops.items():
        ours = whos.get("ours")
        peers = [(w, t) for w, t in whos.items() if w != "ours"]
        if ours is None:
            continue
        if not peers:
            rows.append((op, f"{ours:.3f}", "-", "-", "-"))
        for w, t in peers:
            rows.append((op, f"{ours:.3f}", w, f"{t:.3f}", f"{ours / t:.2f}" if t > 0 else "-"))
    widths = [max(len(r[i]) for r in rows) for i in range(5)]
    for i, r in enumerate(rows):
        print("| " + " | ".join(c.ljust(widths[j]) for j, c in enumerate(r)) + " |")
        if i == 0:
            print("|" + "|".join("-" * (w + 2) for w in widths) + "|")


if __name__ == "__main__":
    main(sys.argv[1:])
