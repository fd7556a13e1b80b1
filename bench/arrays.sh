#!/usr/bin/env bash
# Typed-array kernels next to numpy on the same sizes, in one run; prints
# microseconds per call and the ratio (ours / numpy; below 1 is faster).
# Usage: bench/arrays.sh [BUILD_DIR]   (needs bench_arrays built there)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=${1:-$here/../build}
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
"$build/bench/bench_arrays" --benchmark_format=json --benchmark_min_time=0.3 > "$tmp/ours.json"
# numpy single-threaded, as our kernels are; a core type forced for old
# OpenBLAS builds would slow a current one.
env -u OPENBLAS_CORETYPE -u OPENBLAS_L2_SIZE OPENBLAS_NUM_THREADS=1 OMP_NUM_THREADS=1 \
  /usr/bin/python3 "$here/arrays_numpy.py" > "$tmp/numpy.json"
/usr/bin/python3 - "$tmp/ours.json" "$tmp/numpy.json" <<'PY'
import json, sys
ours = {b["name"]: b["real_time"] for b in json.load(open(sys.argv[1]))["benchmarks"]}
ref = json.load(open(sys.argv[2]))
print(f"{'kernel':<18}{'ours us':>12}{'numpy us':>12}{'ratio':>8}")
for name, t in ours.items():
    r = ref.get(name)
    print(f"{name:<18}{t:>12.1f}{r:>12.1f}{t / r:>8.2f}" if r else f"{name:<18}{t:>12.1f}")
PY
