#!/usr/bin/env bash
# bench/vm_counts.sh [-B BUILD_DIR] [-j JOBS] PROGRAM.lua...
#
# Stable counts for the charged loop where CPU times are too noisy: machine
# instructions and data memory references (valgrind's cachegrind) of the
# stock interpreter and of the dialect with one frame's budget per slice,
# both with the incremental collector, and the extra of each per VM
# instruction (VM instructions counted by vm_runner -count). Counts do not
# depend on the machine's load, so runs go in parallel. The clock is fixed
# for the runs (a preloaded time()), so both sides hash strings with the same
# seed and the counts repeat exactly.
#
#   bench/vm_counts.sh -j 4 bench/lua/*.lua   # every program (about ten minutes)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
exec /usr/bin/python3 - "$here" "$@" <<'PY'
import concurrent.futures, os, re, subprocess, sys, tempfile

here, args = sys.argv[1], sys.argv[2:]
build, jobs, files = here + "/../build", 4, []
while args:
    a = args.pop(0)
    if a == "-B": build = args.pop(0)
    elif a == "-j": jobs = int(args.pop(0))
    else: files.append(a)
if not files:
    sys.exit("usage: vm_counts.sh [-B BUILD_DIR] [-j JOBS] PROGRAM.lua...")

shim = tempfile.mkdtemp()
with open(shim + "/t.c", "w") as f:
    f.write("#include <time.h>\ntime_t time(time_t *t) { if (t) *t = 1; return 1; }\n")
subprocess.run(["cc", "-shared", "-fPIC", "-o", shim + "/fixtime.so", shim + "/t.c"], check=True)
env = dict(os.environ, LD_PRELOAD=shim + "/fixtime.so")

def cachegrind(cmd):
    with tempfile.NamedTemporaryFile() as out:
        subprocess.run(["valgrind", "--tool=cachegrind", "--cache-sim=yes",
                        "--cachegrind-out-file=" + out.name] + cmd,
                       check=True, capture_output=True, env=env)
        text = open(out.name).read()
    events = re.search(r"^events: (.*)$", text, re.M).group(1).split()
    summary = dict(zip(events, map(int, re.search(r"^summary: (.*)$", text, re.M).group(1).split())))
    return summary["Ir"], summary["Dr"] + summary["Dw"]

def vm_instructions(f):
    err = subprocess.run([build + "/bench/vm_runner", "-count", f], check=True,
                         capture_output=True).stderr.decode()
    return int(re.search(r"(\d+) instructions", err).group(1))

stock = [build + "/lua_stock", "-e", "collectgarbage('incremental')"]
frame = [build + "/bench/vm_runner", "-gc", "inc"]
with concurrent.futures.ThreadPoolExecutor(jobs) as ex:
    jobs_ = {f: (ex.submit(vm_instructions, f), ex.submit(cachegrind, stock + [f]),
                 ex.submit(cachegrind, frame + [f])) for f in files}
    print("%-14s %12s %14s %14s %9s %9s" % ("program", "VM instr", "stock Ir", "dialect Ir",
                                             "+Ir/VM", "+mem/VM"))
    for f in files:
        n, (si, sd), (di, dd) = (j.result() for j in jobs_[f])
        print("%-14s %12d %14d %14d %9.2f %9.2f" % (os.path.basename(f)[:-4], n, si, di,
              (di - si) / n, (dd - sd) / n))
PY
