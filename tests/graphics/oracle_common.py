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


def line_steps(clip, x0, y0, x1, y1):
    """The line drawer's 16.16 steps under the clip (l, t, r, b), cut analytically:
    (X, Y, sx, sy, n, first, last, swapped) or None."""
    swapped = y1 < y0
    if swapped:
        x0, y0, x1, y1 = x1, y1, x0, y0
    dx, dy = x1 - x0, y1 - y0
    n = max(abs(dx), abs(dy))
    sx = tdiv(dx * 65536, n) if n >= 1 else 0
    sy = tdiv(dy * 65536, n) if n >= 1 else 0
    l, t, r, b = clip
    if l >= r or t >= b or y1 < t or y0 >= b or (x0 < l and x1 < l) or (x0 >= r and x1 >= r):
        return None
    X, Y = x0 * 65536 + 32768, y0 * 65536 + 32768
    first, last = 0, n
    # A step of 0 stays on its start pixel.
    if y0 < t:
        if sy == 0:
            return None
        q = tdiv((t * 65536 - Y) << 16, sy)
        first = 0 if q < 0 else (q >> 16) + 1
    if y1 >= b and sy != 0:
        last = min(last, tdiv(((b * 65536 - Y) << 16) - 65536, sy) >> 16)
    if x0 < l:
        if sx <= 0:
            return None
        first = max(first, (tdiv((l * 65536 - X) << 16, sx) >> 16) + 1)
    if x0 >= r:
        if sx >= 0:
            return None
        first = max(first, (tdiv((X - r * 65536) << 16, -sx) >> 16) + 1)
    if x1 < l and sx != 0:
        last = min(last, tdiv((X - l * 65536 - 1) << 16, -sx) >> 16)
    if x1 >= r and sx != 0:
        last = min(last, tdiv((r * 65536 - X - 1) << 16, sx) >> 16)
    if last < first:
        return None
    return X, Y, sx, sy, n, first, last, swapped


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
