"""What the drawing oracles share: the saturating helpers their models use,
the default colour tables, and running a program of cases headless."""
import os
import shutil
import subprocess
import tempfile

BIN = os.environ.get("ORVANTA_BIN", "build/orvanta")
I32_MIN, I32_MAX = -(2**31), 2**31 - 1


def tdiv(a, b):
    q = abs(a) // abs(b)
    return q if (a >= 0) == (b > 0) else -q


def i32(v):
    return max(I32_MIN, min(I32_MAX, v))


def default_tables():
    t = bytearray(16384)
    for r in range(64):
        for c in range(64):
            t[r * 64 + c] = c if r == 0 else 0xC0 | r
            for k in range(1, 4):
                t[k * 4096 + r * 64 + c] = c | (k << 6)
    return t


def run_cases(lines, prefix):
    """Runs the program's lines headless; returns its "case i hex" targets by
    case number, and everything it printed."""
    home = tempfile.mkdtemp(prefix=prefix)
    try:
        os.makedirs(os.path.join(home, "drive"))
        with open(os.path.join(home, "drive", "prog.lua"), "w") as f:
            f.write("\n".join(lines) + "\n")
        env = dict(os.environ, SDL_VIDEODRIVER="dummy", SDL_AUDIODRIVER="dummy")
        out = subprocess.run([BIN, "-x", "-home", home, "/prog.lua"], capture_output=True, text=True,
                             timeout=600, env=env).stdout
    finally:
        shutil.rmtree(home, ignore_errors=True)
    got = {}
    for line in out.splitlines():
        if line.startswith("case "):
            _, i, hexs = line.split(" ", 2)
            got[int(i)] = bytes.fromhex(hexs)
    return got, out


def show_difference(i, case, got, want, w, out):
    """Prints a differing case and its first differing pixels."""
    print("case %d differs: %r" % (i, case))
    if got:
        diff = [(k % w, k // w, got[k], want[k]) for k in range(len(got)) if got[k] != want[k]]
        print("  (x, y, host, model):", diff[:12], len(diff))
    else:
        print("  no output; program said:", out[-2000:])
