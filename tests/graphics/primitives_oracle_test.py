#!/usr/bin/env python3
"""Drawing primitives against an independent model, pixel for pixel.

The model below is written from the description of the drawing rules: the
shape blend (read mask, fill pattern, colour tables, shape target mask, write
mask), spans, rectangles, the 16.16 line stepper with its analytic clip, the
midpoint ellipse walk, inverted fills and batches. Python integers never
overflow, so it also checks the host's wide arithmetic on huge coordinates.
Random cases are drawn by a real program run headless; it prints every target
as hex and the model must give the same bytes.
"""
import os
import random
import sys

from oracle_common import (I32_MAX, I32_MIN, default_tables, i32, line_steps, run_cases, show_difference,
                           tdiv)

WORK_CAP = 279620 * 10 + 279620
H = 40


def i16(v):
    return max(-32768, min(32767, v))


class State:
    def __init__(self, w, bg, tables):
        self.w, self.h = w, H
        self.pix = bytearray(bg)
        self.tab = tables
        self.rm = self.wm = self.tm = 0
        self.pat = [0] * 8
        self.colour = 0
        self.inverted = False
        self.clip = (0, 0, w, H)
        self.cam = (0, 0)

    def fillp16(self, p):
        for k in range(4):
            nib = (p >> (12 - 4 * k)) & 0xF
            rev = int("{:04b}".format(nib)[::-1], 2)
            self.pat[k] = self.pat[k + 4] = rev | rev << 4

    def set_colp(self, v):
        self.colour = v & 0xFFFF
        if (v >> 32) & 1:
            self.fillp16((v >> 16) & 0xFFFF)
        if (v >> 35) & 1:
            self.inverted = True

    def set_clip(self, x, y, w, h):
        x0, y0 = i16(max(x, 0)), i16(max(y, 0))
        x1, y1 = i16(min(x + w, self.w)), i16(min(y + h, self.h))
        self.clip = (max(x0, 0), max(y0, 0), min(x1, self.w), min(y1, self.h))

    def inside(self, x, y):
        l, t, r, b = self.clip
        return l <= x < r and t <= y < b

    def blend(self, x, y, c):
        if not self.inside(x, y):
            return
        i = y * self.w + x
        d = self.pix[i]
        dm = d & self.tm
        s = ((c >> 8) if (self.pat[y & 7] >> (x & 7)) & 1 else c) & self.rm
        e = self.tab[((s | dm) >> 6) * 4096 + (s & 63) * 64 + (dm & 63)]
        self.pix[i] = (e & self.wm) | (d & ~self.wm & 0xFF)

    def hline(self, x0, x1, y, c):
        l, t, r, b = self.clip
        if y < t or y >= b or x1 < l or x0 >= r:
            return
        for x in range(max(x0, l), min(x1, r - 1) + 1):
            self.blend(x, y, c)

    def hline_inv(self, xa, xb, y, c):
        l, t, r, b = self.clip
        self.hline(l - 1, min(xa, xb) - 1, y, c)
        self.hline(max(xa, xb) + 1, r + 1, y, c)

    def rectfill(self, x0, y0, x1, y1, c):
        l, t, r, b = self.clip
        for y in range(max(min(y0, y1), t), min(max(y0, y1), b - 1) + 1):
            self.hline(min(x0, x1), max(x0, x1), y, c)

    def line(self, x0, y0, x1, y1, c):
        st = line_steps(self.clip, x0, y0, x1, y1)
        if st is None:
            return
        X, Y, sx, sy, _, first, last, _ = st
        for k in range(first, last + 1):
            x, y = (X + k * sx) >> 16, (Y + k * sy) >> 16
            assert self.inside(x, y), "analytic clip let a step out"
            self.blend(x, y, c)

    @staticmethod
    def walk(a, b):
        """The midpoint walk: yields (x, y, step) with step 0 = x, 1 = y, 2 = both."""
        a2, b2 = a * a, b * b
        crit1 = -(a2 // 4 + a % 2 + b2)
        crit2 = -(b2 // 4 + b % 2 + a2)
        crit3 = -(b2 // 4 + b % 2)
        t, dxt, dyt, x, y = -a2 * b, 0, -2 * a2 * b, 0, b
        while y >= 0 and x <= a:
            if t + b2 * x <= crit1 or t + a2 * y <= crit3:
                step = 0
            elif t - a2 * y > crit2:
                step = 1
            else:
                step = 2
            yield x, y, step
            if step != 1:
                x += 1
                dxt += 2 * b2
                t += dxt
            if step != 0:
                y -= 1
                dyt += 2 * a2
                t += dyt

    @staticmethod
    def box(x0, y0, x1, y1):
        return min(x0, x1), min(y0, y1), max(x0, x1), max(y0, y1)

    def outside(self, x0, y0, x1, y1):
        l, t, r, b = self.clip
        return x1 < l or x0 >= r or y1 < t or y0 >= b

    def oval(self, x0, y0, x1, y1, c):
        x0, y0, x1, y1 = self.box(x0, y0, x1, y1)
        if x1 - x0 <= 1 or y1 - y0 <= 1:
            return self.rectfill(x0, y0, x1, y1, c)
        if self.outside(x0, y0, x1, y1):
            return
        a, b = (x1 - x0) // 2, (y1 - y0) // 2
        if a + b + 2 > WORK_CAP:
            return
        cx, cy, ox, oy = (x0 + x1) >> 1, (y0 + y1) >> 1, (x1 - x0) & 1, (y1 - y0) & 1
        for x, y, _ in self.walk(a, b):
            self.blend(cx + ox + x, cy + oy + y, c)
            if oy or y:
                if ox or x:
                    self.blend(cx - x, cy - y, c)
                self.blend(cx + ox + x, cy - y, c)
            if ox or x:
                self.blend(cx - x, cy + oy + y, c)

    def ovalfill(self, x0, y0, x1, y1, c, inv):
        x0, y0, x1, y1 = self.box(x0, y0, x1, y1)
        l, t, r, b = self.clip
        if x1 - x0 <= 1 or y1 - y0 <= 1:
            if not inv:
                return self.rectfill(x0, y0, x1, y1, c)
            for y in range(t, b):
                if y0 <= y <= y1:
                    self.hline_inv(x0, x1, y, c)
                else:
                    self.hline(l, r - 1, y, c)
            return
        a, bb = (x1 - x0) // 2, (y1 - y0) // 2
        cx, cy, ox, oy = (x0 + x1) >> 1, (y0 + y1) >> 1, (x1 - x0) & 1, (y1 - y0) & 1
        lw, kh = tdiv(a * 7, 10), tdiv(bb * 7, 10)
        if (not inv and l < r and t < b and r - l < x1 - x0 + 1 and cx - lw < l and cx + lw >= r
                and cy - kh < t and cy + kh >= b):
            return self.rectfill(l, t, r - 1, b - 1, c)
        if self.outside(x0, y0, x1, y1):
            if inv:
                self.rectfill(l, t, r - 1, b - 1, c)
            return
        if a + bb + 2 > WORK_CAP:
            return
        span = self.hline_inv if inv else self.hline
        for x, y, step in self.walk(a, bb):
            if step == 0:
                continue
            span(cx - x, cx + ox + x, cy - y, c)
            if y != 0:
                span(cx - x, cx + ox + x, cy + oy + y, c)
        if oy:
            span(cx - a, cx + ox + a, cy + 1, c)
        if bb == 0:
            span(cx - a, cx + a, cy, c)
        if inv:
            for y in range(t, min(cy - bb - 1, b - 1) + 1):
                self.hline(l, r - 1, y, c)
            for y in range(max(cy + bb + oy + 1, t), b):
                self.hline(l, r - 1, y, c)

    def inverted_rect(self, x0, y0, x1, y1, c):
        x0, x1 = min(x0, x1), max(x0, x1)
        y0, y1 = min(y0, y1), max(y0, y1)
        w, h = self.w, self.h
        self.rectfill(-1, -1, w, y0 - 1, c)
        self.rectfill(-1, y1 + 1, w, h, c)
        self.rectfill(-1, y0, x0 - 1, y1, c)
        self.rectfill(x1 + 1, y0, w, y1, c)

    def circfill(self, x, y, r, inv):
        if r < 0:
            if inv:
                self.rectfill(0, 0, self.w - 1, self.h - 1, self.colour)
            return
        self.ovalfill(x - r, y - r, x + r, y + r, self.colour, inv)

    # API forms (coordinates before the camera).
    def cx(self, v):
        return i32(v - self.cam[0])

    def cy(self, v):
        return i32(v - self.cam[1])

    def api(self, kind, args, col):
        if kind in ("rectfill", "ovalfill", "circfill"):
            self.inverted = False
        if col is not None:
            self.set_colp(col)
        c = self.colour
        if kind == "pset":
            self.blend(self.cx(args[0]), self.cy(args[1]), c)
        elif kind == "rectfill":
            x0, y0, x1, y1 = self.cx(args[0]), self.cy(args[1]), self.cx(args[2]), self.cy(args[3])
            if self.inverted:
                self.inverted_rect(x0, y0, x1, y1, c)
            else:
                self.rectfill(x0, y0, x1, y1, c)
        elif kind == "rect":
            x0, y0, x1, y1 = self.cx(args[0]), self.cy(args[1]), self.cx(args[2]), self.cy(args[3])
            self.rectfill(x0, y0, x1, y0, c)
            if y1 != y0:
                self.rectfill(x0, y1, x1, y1, c)
            if abs(y1 - y0) > 1:
                self.rectfill(x0, min(y0, y1) + 1, x0, max(y0, y1) - 1, c)
                self.rectfill(x1, min(y0, y1) + 1, x1, max(y0, y1) - 1, c)
        elif kind == "line":
            self.line(self.cx(args[0]), self.cy(args[1]), self.cx(args[2]), self.cy(args[3]), c)
        elif kind == "oval":
            self.oval(self.cx(args[0]), self.cy(args[1]), self.cx(args[2]), self.cy(args[3]), c)
        elif kind == "ovalfill":
            self.ovalfill(self.cx(args[0]), self.cy(args[1]), self.cx(args[2]), self.cy(args[3]), c,
                          self.inverted)
        elif kind == "circ":
            x, y, r = self.cx(args[0]), self.cy(args[1]), args[2]
            if r >= 0:
                self.oval(x - r, y - r, x + r, y + r, c)
        elif kind == "circfill":
            self.circfill(self.cx(args[0]), self.cy(args[1]), args[2], self.inverted)
        elif kind == "cls":
            self.pix = bytearray([args[0] & 0xFF]) * (self.w * self.h)
        else:
            raise ValueError(kind)

    def batch(self, kind, items):
        for it in items:
            if kind == "pset":
                if len(it) > 2:
                    self.set_colp(it[2])
                x, y = (it + [0, 0])[:2]
                self.blend(self.cx(x), self.cy(y), self.colour)
            elif kind == "rectfill":
                self.inverted = False
                if len(it) > 4:
                    self.set_colp(it[4])
                x0, y0, x1, y1 = (it + [0] * 4)[:4]
                args = (self.cx(x0), self.cy(y0), self.cx(x1), self.cy(y1), self.colour)
                (self.inverted_rect if self.inverted else self.rectfill)(*args)
            elif kind == "circfill":
                self.inverted = False
                if len(it) > 3:
                    self.set_colp(it[3])
                x, y = (it + [0, 0])[:2]
                r = it[2] if len(it) > 2 else 4
                self.circfill(self.cx(x), self.cy(y), r, self.inverted)


def huge(rng):
    return rng.choice([I32_MIN, I32_MIN + 7, I32_MAX, I32_MAX - 3, -(2**40), 2**40, -70000, 70000])


def coord(rng, lim):
    r = rng.random()
    if r < 0.04:
        return huge(rng)
    if r < 0.12:
        return rng.randint(-300, 300)
    return rng.randint(-12, lim + 12)


def make_cases(rng, n):
    kinds = ["pset", "rectfill", "rect", "line", "line", "line", "oval", "ovalfill", "circ", "circfill",
             "cls", "batch_pset", "batch_rectfill", "batch_circfill"]
    cases = []
    for i in range(n):
        kind = rng.choice(kinds)
        c = {
            "w": rng.choice([64, 60]),
            "bg": rng.randrange(4),
            "tabs": rng.random() < 0.6,
            "masks": [rng.choice([0x3F, 0xFF, rng.randrange(256)]), rng.choice([0x3F, 0xFF, rng.randrange(256)]),
                      rng.choice([0, 0, 0x3F, 0xFF, rng.randrange(256)])],
            "pat": [rng.randrange(256) for _ in range(8)] if rng.random() < 0.3 else [0] * 8,
            "colour": rng.randrange(65536),
            "cam": (rng.randint(-20, 20), rng.randint(-20, 20)) if rng.random() < 0.3 else (0, 0),
            "clip": None if rng.random() < 0.3 else (rng.randint(-10, 70), rng.randint(-10, 50),
                                                     rng.randint(-5, 80), rng.randint(-5, 60)),
            "kind": kind,
            "col": None,
        }
        if rng.random() < 0.4:
            col = rng.randrange(65536)
            if rng.random() < 0.3:
                col |= (1 << 32) | (rng.randrange(65536) << 16)
            if rng.random() < 0.3:
                col |= 1 << 35
            c["col"] = col
        if kind == "pset":
            c["args"] = [coord(rng, 64), coord(rng, H)]
        elif kind in ("rectfill", "rect", "line", "oval", "ovalfill"):
            c["args"] = [coord(rng, 64), coord(rng, H), coord(rng, 64), coord(rng, H)]
            if kind in ("oval", "ovalfill") and rng.random() < 0.1:
                # Large ellipses whose arcs cross the target.
                rad = rng.randint(200, 30000)
                cx, cy = rng.randint(-rad, rad), rng.randint(-rad, rad)
                c["args"] = [cx - rad, cy - rad // rng.randint(1, 3), cx + rad, cy + rad]
        elif kind in ("circ", "circfill"):
            c["args"] = [coord(rng, 64), coord(rng, H), rng.choice([-1, 0, 1, 2, 3, rng.randint(0, 40),
                                                                    rng.randint(0, 40), 2**40])]
        elif kind == "cls":
            c["args"] = [rng.randrange(512)]
            c["col"] = None
        else:
            per = {"batch_pset": 3, "batch_rectfill": 5, "batch_circfill": 4}[kind]
            vals = rng.randint(0, per)
            c["per"] = vals
            c["items"] = []
            for _ in range(rng.randint(0, 6)):
                it = [rng.randint(-10, 70) + rng.choice([0, 0.5, 0.75, -0.25]) for _ in range(vals)]
                if kind == "batch_circfill" and vals > 2:
                    it[2] = rng.randint(-2, 12)
                colpos = {"batch_pset": 2, "batch_rectfill": 4, "batch_circfill": 3}[kind]
                if vals > colpos:
                    it[colpos] = rng.randrange(65536) | (rng.choice([0, 1 << 35]) if kind != "batch_pset" else 0)
                c["items"].append(it)
            c["col"] = None
        cases.append(c)
    return cases


def plain_case(kind, args, clip=None):
    return {"w": 64, "bg": 0, "tabs": False, "masks": [0x3F, 0x3F, 0], "pat": [0] * 8, "colour": 7,
            "cam": (0, 0), "clip": clip, "kind": kind, "col": None, "args": args}


def edge_cases(rng):
    """Every small ellipse box, and lines whose steps land exactly on clip edges."""
    cases = []
    for a in range(23):
        for b in range(23):
            for kind in ("oval", "ovalfill"):
                cases.append(plain_case(kind, [3, 3, 3 + a, 3 + b]))
    for _ in range(1500):
        # Mostly from above or left of the clip, heading into it.
        x0 = rng.randint(-6, 9) if rng.random() < 0.5 else rng.randint(-6, 46)
        y0 = rng.randint(-6, 7) if rng.random() < 0.5 else rng.randint(-6, 36)
        k, m = rng.choice([1, 2, 2, 4, 3]), rng.randint(1, 12)
        dx, dy = rng.choice([(k * m, m), (m, k * m), (m, 0), (0, m), (m, m)])
        dx *= 1 if x0 < 20 else -1
        dy *= 1 if y0 < 16 else -1
        if rng.random() < 0.5:
            x0, y0, dx, dy = x0 + dx, y0 + dy, -dx, -dy
        cases.append(plain_case("line", [x0, y0, x0 + dx, y0 + dy], (10, 8, 20, 16)))
    return cases


LUA_HEAD = r"""
local H = %d
local bgs = {%s}
local tabs = userdata("u8", 16384, "%s")
local targets = {[64] = userdata("u8", 64, H), [60] = userdata("u8", 60, H)}
local hx = {}
for v = 0, 255 do hx[v] = string.format("%%02x", v) end
local cur_tabs = nil
local function C(i, w, bg, rnd, rm, wm, tm, pat, colour, cx, cy, cl, kind, args, col, per)
  local t = targets[w]
  bgs[bg + 1][w]:poke(0x80000)
  t:peek(0x80000)
  _set_draw_target(t)
  if rnd ~= cur_tabs then
    if rnd then tabs:poke(0x8000) else pal(0) end
    cur_tabs = rnd
  end
  poke(0x5508, rm, wm, 0, tm)
  poke(0x5500, table.unpack(pat))
  color(colour)
  camera(cx, cy)
  if cl then clip(cl[1], cl[2], cl[3], cl[4]) else clip() end
  if kind:sub(1, 6) == "batch_" then
    local n = #args
    local a = userdata("f64", math.max(per, 1), math.max(n, 1))
    for j = 1, n do for k = 1, per do a:set(k - 1, j - 1, args[j][k]) end end
    _G[kind:sub(7)](a, 0, n, per, math.max(per, 1))
  else
    local f = _G[kind]
    if col then args[#args + 1] = col end
    f(table.unpack(args))
  end
  local v = {t:get(0, 0, w * H)}
  for j = 1, #v do v[j] = hx[v[j]] end
  _printh("case " .. i .. " " .. table.concat(v))
end
"""


def lua_list(xs):
    return "{" + ",".join(repr(x) if isinstance(x, float) else str(x) for x in xs) + "}"


def main():
    seed = int(os.environ.get("ORACLE_SEED", "1234"))
    count = int(os.environ.get("ORACLE_CASES", "700"))
    rng = random.Random(seed)
    deftab = default_tables()
    rtab = bytearray(rng.randrange(256) for _ in range(16384))
    bgs = [{w: bytes(rng.randrange(256) for _ in range(w * H)) for w in (64, 60)} for _ in range(4)]
    cases = make_cases(rng, count) + edge_cases(rng)

    lines = [LUA_HEAD % (H, ",".join('{[64]=userdata("u8",%d,"%s"),[60]=userdata("u8",%d,"%s")}' % (
        64 * H, b[64].hex(), 60 * H, b[60].hex()) for b in bgs), rtab.hex())]
    for i, c in enumerate(cases):
        clip = "nil" if c["clip"] is None else lua_list(c["clip"])
        args = lua_list([lua_list(it) for it in c["items"]]) if "items" in c else lua_list(c["args"])
        lines.append("C(%d,%d,%d,%s,%d,%d,%d,%s,%d,%d,%d,%s,%r,%s,%s,%d)" % (
            i, c["w"], c["bg"], "true" if c["tabs"] else "false", c["masks"][0], c["masks"][1], c["masks"][2],
            lua_list(c["pat"]), c["colour"], c["cam"][0], c["cam"][1], clip, c["kind"], args,
            "nil" if c["col"] is None else str(c["col"]), c.get("per", 0)))

    got, out = run_cases(lines, "orv_gfx_oracle_")
    failures = 0
    for i, c in enumerate(cases):
        st = State(c["w"], bgs[c["bg"]][c["w"]], rtab if c["tabs"] else deftab)
        st.rm, st.wm, st.tm = c["masks"]
        st.pat = list(c["pat"])
        st.colour = c["colour"]
        st.cam = c["cam"]
        if c["clip"] is not None:
            st.set_clip(*c["clip"])
        if "items" in c:
            st.batch(c["kind"][6:], [list(map(lambda v: int(v // 1), it)) for it in c["items"]])
        else:
            st.api(c["kind"], c["args"], c["col"])
        if got.get(i) != bytes(st.pix):
            failures += 1
            if failures <= 5:
                show_difference(i, c, got.get(i), st.pix, c["w"], out)
    print("%d cases, %d differ" % (len(cases), failures))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
