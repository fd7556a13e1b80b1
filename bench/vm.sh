#!/usr/bin/env bash
# bench/vm.sh [-n RUNS] [-c CPU] [-gc inc|gen] [-B BUILD_DIR] [-R OTHER_BUILD_DIR] [PROGRAM.lua...]
#
# The charged dialect loop against stock Lua 5.4.2 (same flags, both built as
# C++) on bench/lua/*.lua (or the programs named). For each program: the stock
# interpreter, the dialect resumed with one frame's budget per slice (a yield
# and resume every 279,620 cycles) and the dialect with a budget so large that
# it never yields. Every side runs the same collector mode (default
# incremental, as processes run; the stock front end would switch to
# generational). All runs are pinned to one processor (default the last) and
# interleaved, programs and sides in turn; the best user+system CPU time of
# RUNS runs is kept (wall time is too noisy on a shared machine). Each program
# checks its own result; before timing, every output must agree with the
# stock one, on build/dialua too. The geometric mean is given over all the
# programs and over the object- and allocation-heavy ones (ALLOCATING below).
# With -R, the frame side of another build of the dialect (say, of the branch
# point) is interleaved with the others and given as the column "other".
#
#   bench/vm.sh                      # every program, best of 7 (a few minutes)
#   bench/vm.sh -R /tmp/base/build   # this build and that one, in one run
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
exec /usr/bin/python3 - "$here" "$@" <<'PY'
import glob, math, os, subprocess, sys

# Programs whose time goes largely to making and dropping objects.
ALLOCATING = {"binarytrees", "collisions", "constraints", "json", "nbody_objects", "records", "sieve_tables",
              "strings", "tables"}

here, args = sys.argv[1], sys.argv[2:]
runs, cpu, gc, build, other, files = 7, os.cpu_count() - 1, "inc", here + "/../build", None, []
while args:
    a = args.pop(0)
    if a == "-n": runs = int(args.pop(0))
    elif a == "-c": cpu = int(args.pop(0))
    elif a == "-gc": gc = args.pop(0)
    elif a == "-B": build = args.pop(0)
    elif a == "-R": other = args.pop(0)
    else: files.append(a)
files = files or sorted(glob.glob(here + "/lua/*.lua"))
for d, b in [(build, b) for b in ("lua_stock", "bench/vm_runner", "dialua")] + \
            ([(other, "bench/vm_runner")] if other else []):
    if not os.access(d + "/" + b, os.X_OK):
        sys.exit("vm.sh: missing %s/%s (ninja lua_stock vm_runner dialua)" % (d, b))

mode = "collectgarbage('%s')" % ("generational" if gc == "gen" else "incremental")
pin = ["taskset", "-c", str(cpu)]
sides = [("stock", [build + "/lua_stock", "-e", mode]),
         ("frame", [build + "/bench/vm_runner", "-gc", gc]),
         ("free", [build + "/bench/vm_runner", "-gc", gc, "-b", "0"])]
if other:
    sides.append(("other", [other + "/bench/vm_runner", "-gc", gc]))
check = ("dialua", [build + "/dialua", "-e", mode])

def run(cmd, f):
    p = subprocess.run(pin + cmd + [f], capture_output=True)
    if p.returncode:
        sys.exit("vm.sh: %s failed on %s:\n%s" % (cmd[0], f, p.stderr.decode()))
    return p.stdout

def cpu_time(cmd, f):
    pid = os.fork()
    if pid == 0:
        fd = os.open(os.devnull, os.O_WRONLY)
        os.dup2(fd, 1)
        os.execvp(pin[0], pin + cmd + [f])
    _, status, ru = os.wait4(pid, 0)
    if status:
        sys.exit("vm.sh: %s failed on %s" % (cmd[0], f))
    return ru.ru_utime + ru.ru_stime

for f in files:
    want = run(sides[0][1], f)
    for name, cmd in sides[1:] + [check]:
        if run(cmd, f) != want:
            sys.exit("vm.sh: %s: output of %s differs from stock" % (f, name))

best = {f: {} for f in files}
for r in range(runs):
    for f in files:
        order = sides[r % len(sides):] + sides[:r % len(sides)]
        for name, cmd in order:
            t = cpu_time(cmd, f)
            best[f][name] = min(best[f].get(name, t), t)

print("collector %s, cpu %d, best of %d" % (gc, cpu, runs))
ratios = [name for name, _ in sides[1:]]
print("%-14s %8s %8s %8s" % ("program", "stock s", "frame", "no-yield") + (" %8s" % "other" if other else ""))
for f in files:
    b = best[f]
    print("%-14s %8.3f" % (os.path.basename(f)[:-4], b["stock"]) +
          "".join(" %8.3f" % (b[m] / b["stock"]) for m in ratios))

def geomean(label, group):
    if not group:
        return
    means = [math.exp(sum(math.log(best[f][m] / best[f]["stock"]) for f in group) / len(group))
             for m in ratios]
    print("%-14s %8s" % (label, "") + "".join(" %8.3f" % m for m in means))

geomean("geomean", files)
geomean("  allocating", [f for f in files if os.path.basename(f)[:-4] in ALLOCATING])
PY
