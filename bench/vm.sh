#!/usr/bin/env bash
# bench/vm.sh [BUILD_DIR] [RUNS] - the charged dialect loop against stock Lua
# 5.4.2 (same flags, both built as C++) on bench/lua/*.lua. For each program:
# the stock interpreter, the dialect resumed with one frame's budget per slice
# (a yield and resume every 279,620 cycles) and the dialect with a budget so
# large that it does not yield. Runs are interleaved; the best user+system
# CPU time of RUNS runs is kept (wall time is too noisy on a shared machine).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=${1:-$here/../build}
runs=${2:-7}
for b in "$build/lua_stock" "$build/bench/vm_runner"; do
  [ -x "$b" ] || { echo "vm.sh: missing $b (ninja lua_stock vm_runner)" >&2; exit 1; }
done
exec /usr/bin/python3 - "$build" "$runs" "$here"/lua/*.lua <<'PY'
import os, resource, subprocess, sys

build, runs, files = sys.argv[1], int(sys.argv[2]), sys.argv[3:]
modes = [("stock", [build + "/lua_stock"]),
         ("frame", [build + "/bench/vm_runner"]),
         ("free", [build + "/bench/vm_runner", "-b", "0"])]

def cpu(cmd):
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    out = subprocess.run(cmd, check=True, capture_output=True).stdout
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    return (after.ru_utime - before.ru_utime + after.ru_stime - before.ru_stime) * 1000, out

print("%-10s %9s %9s %7s %9s %7s" % ("program", "stock ms", "frame ms", "ratio", "free ms", "ratio"))
total = {m: 0.0 for m, _ in modes}
for f in files:
    best, outs = {}, {}
    for _ in range(runs):
        for name, cmd in modes:
            t, out = cpu(cmd + [f])
            best[name] = min(best.get(name, t), t)
            outs.setdefault(name, out)
            if out != outs[name] or out != outs["stock"]:
                sys.exit("vm.sh: %s: output of %s differs" % (f, name))
    for m in best:
        total[m] += best[m]
    s = best["stock"]
    print("%-10s %9.0f %9.0f %7.3f %9.0f %7.3f" % (os.path.basename(f)[:-4], s, best["frame"],
          best["frame"] / s, best["free"], best["free"] / s))
s = total["stock"]
print("%-10s %9.0f %9.0f %7.3f %9.0f %7.3f" % ("total", s, total["frame"], total["frame"] / s,
      total["free"], total["free"] / s))
PY
