#!/usr/bin/python3
"""The work of bench_arrays in numpy, same sizes and element types.

Prints one JSON object: benchmark name -> microseconds per call (best of runs).
"""
import json
import sys
import timeit

import numpy as np

U8_N = 16 << 20
F64_N = 2 << 20
rng = np.random.default_rng(1)
a8 = rng.integers(0, 256, U8_N, dtype=np.uint8)
b8 = rng.integers(1, 256, U8_N, dtype=np.uint8)
c8 = np.empty_like(a8)
af = rng.integers(0, 2000001, F64_N) / 1000.0 - 1000.0
bf = rng.integers(0, 2000001, F64_N) / 1000.0 - 1000.0 + 1e-3
cf = np.empty_like(af)
s8 = rng.integers(0, 256, F64_N, dtype=np.uint8)
ma = rng.random((256, 256))
mb = rng.random((256, 256))
mc = np.empty_like(ma)

cases = {
    "add_u8_into": lambda: np.add(a8, b8, out=c8),
    "mul_u8_into": lambda: np.multiply(a8, b8, out=c8),
    "div_u8_into": lambda: np.floor_divide(a8, b8, out=c8),
    "add_u8_new": lambda: a8 + b8,
    "add_f64_into": lambda: np.add(af, bf, out=cf),
    "mul_f64_into": lambda: np.multiply(af, bf, out=cf),
    "div_f64_into": lambda: np.divide(af, bf, out=cf),
    "add_f64_new": lambda: af + bf,
    "convert_f64_i32": lambda: np.floor(af).astype(np.int32),
    "convert_u8_f64": lambda: s8.astype(np.float64),
    "matmul_f64_256": lambda: np.matmul(ma, mb, out=mc),
}

out = {}
for name, fn in cases.items():
    if len(sys.argv) > 1 and name not in sys.argv[1:]:
        continue
    t = timeit.Timer(fn)
    n, _ = t.autorange()
    best = min(t.repeat(repeat=5, number=n)) / n
    out[name] = best * 1e6
print(json.dumps(out))
