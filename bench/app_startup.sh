#!/usr/bin/env bash
# Viewer start-up figures: cold start to a shown 6000 × 4000 16-bit FITS image (process start
# to the first painted frame of its window, measured from outside as the whole run of a copy
# that quits right after that frame), and the second start that hands a file to a running
# copy. Offscreen platform unless QT_QPA_PLATFORM says otherwise. Usage:
#   bench/app_startup.sh [build/release/bin/orlu] [runs]
set -euo pipefail
cd "$(dirname "$0")/.."
orlu=${1:-build/release/bin/orlu}
runs=${2:-7}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export QT_QPA_PLATFORM=${QT_QPA_PLATFORM:-offscreen}
export XDG_CONFIG_HOME="$work/config"
export ORLU_INSTANCE_NAME="$work/instance"
export XDG_DOCUMENTS_DIR="$work/documents"

/usr/bin/python3 - "$work/big16.fits" <<'PY'
import sys
import numpy as np
from astropy.io import fits
rng = np.random.default_rng(7)
y, x = np.mgrid[0:4000, 0:6000]
data = 1000 + 0.05 * x + 0.03 * y + rng.normal(0, 20, (4000, 6000))
hdu = fits.PrimaryHDU(np.clip(data, 0, 32767).astype(np.int16))
hdu.writeto(sys.argv[1], overwrite=True)
PY

ms() { echo $(( $(date +%s%N) / 1000000 )); }
median() { sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }

walls=() ; inside=() ; splash=()
for _ in $(seq "$runs"); do
  t0=$(ms)
  log=$(ORLU_QUIT_AFTER_SHOWN=1 "$orlu" "$work/big16.fits" 2>&1 >/dev/null)
  t1=$(ms)
  walls+=($((t1 - t0)))
  inside+=("$(sed -n 's/.*shown after \([0-9]*\) ms.*/\1/p' <<<"$log")")
  # The splash holds the files of the command line back on purpose (four timer ticks).
  splash+=("$(sed -n 's/.*splash wait \([0-9]*\) ms.*/\1/p' <<<"$log")")
done
wall=$(printf '%s\n' "${walls[@]}" | median)
held=$(printf '%s\n' "${splash[@]}" | median)
echo "cold start to shown 6000x4000 16-bit image: median $((wall - held)) ms without the splash" \
     "wait of $held ms (whole process $wall ms; from main() $(printf '%s\n' "${inside[@]}" | median) ms)" \
     "over $runs runs"

hand=()
for _ in $(seq "$runs"); do
  ORLU_QUIT_AFTER_SHOWN=1 "$orlu" 2>/dev/null &
  first=$!
  for _ in $(seq 200); do [ -S "$ORLU_INSTANCE_NAME" ] && break; sleep 0.05; done
  sleep 0.2
  t0=$(ms)
  "$orlu" "$work/big16.fits" 2>/dev/null
  t1=$(ms)
  hand+=($((t1 - t0)))
  wait "$first"
done
echo "second start handing a file over: median $(printf '%s\n' "${hand[@]}" | median) ms over $runs runs"
