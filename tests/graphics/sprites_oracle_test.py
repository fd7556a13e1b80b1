#!/usr/bin/env python3
"""Sprites, stretched sprites, maps, textured lines and blit against an
independent model, pixel for pixel.

The model is written from the description of the drawing rules: the sprite
blend (read mask, sprite target mask, fill-pattern bit choosing tables 2 and
3, write mask), whole sprites with flips, the line drawer's clipped 16.16 steps
under textured lines, stretched sprites that cut source and destination
together, map cells with their flip and rotate bits, tile sizes and windows,
tline3d with its offsets, wraps, flags, perspective divide and map sources,
and blit's two cuts. Random cases are drawn by a real program run headless; it
prints every target as hex and the model must give the same bytes.
"""
import math
import os
import random
import sys

from oracle_common import I32_MAX, default_tables, i32, line_steps, run_cases, show_difference

I64_MIN, I64_MAX = -(2**63), 2**63 - 1
W, H = 48, 32
SLOTS = 10  # sprites in slots 0..SLOTS-1 (some left empty)


def sat_f2i(v):
    if v != v:
        return 0
    if v >= 9.223372036854775807e18:
        return I64_MAX
    if v <= -9.223372036854775808e18:
        return I64_MIN
    return int(v)


def sat_floor(v):
    # NaN and the infinities saturate as they are.
    return sat_f2i(math.floor(v) if abs(v) < math.inf else v)


def wrap_to(x, n):
    return x % n  # Python's % is the non-negative remainder


class Model:
    def __init__(self, bg, tables, sprites, flags):
        self.pix = bytearray(bg)
        self.tab = tables
        self.sprites = sprites  # slot -> (w, h, bytes) or None
        self.flags = flags
        self.rm = self.wm = self.tm = 0
        self.pat = [0] * 8
        self.clip = (0, 0, W, H)
        self.cam = (0, 0)
        self.tl = (0, 0, 0, 0)  # u offset, v offset, u wrap, v wrap (i16)
        self.tile = (8, 8)
        self.draw_zero = False

    def set_clip(self, x, y, w, h):
        i16 = lambda v: max(-32768, min(32767, v))
        x0, y0, x1, y1 = i16(max(x, 0)), i16(max(y, 0)), i16(min(x + w, W)), i16(min(y + h, H))
        self.clip = (max(x0, 0), max(y0, 0), min(x1, W), min(y1, H))

    def inside(self, x, y):
        l, t, r, b = self.clip
        return l <= x < r and t <= y < b

    def blend(self, x, y, sp):
        """The sprite blend at an in-clip pixel."""
        i = y * W + x
        d = self.pix[i]
        dm = d & self.tm
        s = sp & self.rm
        p = (self.pat[y & 7] >> (x & 7)) & 1
        t = (p << 1) | ((s | dm) >> 6)
        e = self.tab[t * 4096 + (s & 63) * 64 + (dm & 63)]
        self.pix[i] = (e & self.wm) | (d & ~self.wm & 0xFF)

    # -- sprites
    def spr(self, s, dx, dy, fx, fy):
        if s is None:
            return
        sw, sh, data = s
        for y in range(sh):
            for x in range(sw):
                px, py = dx + x, dy + y
                if self.inside(px, py):
                    sx = sw - 1 - x if fx else x
                    sy = sh - 1 - y if fy else y
                    self.blend(px, py, data[sy * sw + sx])

    def tline_spr(self, s, x0, y0, x1, y1, u0, v0, u1, v1):
        st = line_steps(self.clip, x0, y0, x1, y1)
        if st is None or s is None:
            return
        X, Y, sx, sy, n, first, last, swapped = st
        if swapped:
            u0, u1, v0, v1 = u1, u0, v1, v0
        du = (u1 - u0) / n if n >= 1 else 0.0
        dv = (v1 - v0) / n if n >= 1 else 0.0
        sw, sh, data = s
        u, v = u0 + first * du, v0 + first * dv
        for k in range(first, last + 1):
            tx = min(max(sat_floor(u), 0), sw - 1)
            ty = min(max(sat_floor(v), 0), sh - 1)
            self.blend((X + k * sx) >> 16, (Y + k * sy) >> 16, data[ty * sw + tx])
            u += du
            v += dv

    def sspr(self, s, sx, sy, sw, sh, dx, dy, dw, dh, fx, fy):
        if s is None or sw <= 0 or sh <= 0:
            return
        W_, H_ = s[0], s[1]
        dx, dy = i32(dx), i32(dy)
        dw = max(-I32_MAX, min(I32_MAX, dw))
        dh = max(-I32_MAX, min(I32_MAX, dh))
        if dw < 0:
            dx, dw, fx = dx + dw, -dw, not fx
        if dh < 0:
            dy, dh, fy = dy + dh, -dh, not fy

        # Source and destination are cut together: the cut part of the source
        # shows at the destination's left (or right, when mirrored).
        def cut(s0, sn, d, dn, flip, size):
            if s0 < 0:
                c = min(-s0, sn)
                gone = dn * c // sn
                if not flip:
                    d += gone
                dn -= gone
                sn -= c
                s0 = 0
            if sn > 0 and s0 + sn > size:
                ks = max(size - s0, 0)
                keep = dn * ks // sn
                if flip:
                    d += dn - keep
                dn, sn = keep, ks
            return s0, sn, d, dn

        sx, sw, dx, dw = cut(sx, sw, dx, dw, fx, W_)
        sy, sh, dy, dh = cut(sy, sh, dy, dh, fy, H_)
        if sw <= 0 or sh <= 0 or dw <= 0 or dh <= 0:
            return
        su, sv = sw / dw, sh / dh
        if dh < dw:
            ua, ub = sx + su / 2, sx + sw - su / 2
            if fx:
                ua, ub = ub, ua
            for r in range(dh):
                v = (dh - 1 - r if fy else r) * sv + sy + sv / 2
                self.tline_spr(s, dx, dy + r, dx + dw - 1, dy + r, ua, v, ub, v)
        else:
            va, vb = sy + sv / 2, sy + sh - sv / 2
            if fy:
                va, vb = vb, va
            for c in range(dw):
                u = (dw - 1 - c if fx else c) * su + sx + su / 2
                self.tline_spr(s, dx + c, dy, dx + c, dy + dh - 1, u, va, u, vb)

    # -- maps
    def draw_map(self, m, mx, my, x, y, cw, ch, mask, tw, th):
        mw, mh, cells = m
        if cw is None:
            cw = mw - mx
        if ch is None:
            ch = mh - my
        tw = (self.tile[0] or 256) if tw is None else tw
        th = (self.tile[1] or 256) if th is None else th
        if tw < 0 or th < 0:
            return
        tw, th = tw or 256, th or 256
        if mx < 0:
            cw += mx
            x += -mx * tw
            mx = 0
        if my < 0:
            ch += my
            y += -my * th
            my = 0
        cols, rows = min(cw, mw - min(mx, mw)), min(ch, mh - min(my, mh))
        ox, oy = x - self.cam[0], y - self.cam[1]
        for r in range(max(rows, 0)):
            for c in range(max(cols, 0)):
                v = cells[(my + r) * mw + mx + c] & 0xFFFF
                n = v & 0x1FFF
                s = self.sprites[n] if n < len(self.sprites) else None
                if s is None or (n == 0 and not self.draw_zero) or (mask and not (self.flags[n] & mask)):
                    continue
                cx, cy = ox + tw * c, oy + th * r
                fx, fy, rot = bool(v & 0x4000), bool(v & 0x8000), bool(v & 0x2000)
                if tw == s[0] and th == s[1] and not rot:
                    self.spr(s, cx, cy, fx, fy)
                    continue
                sw, sh = float(s[0]), float(s[1])
                for k in range(th):
                    across = th - 1 - k if fy else k
                    if not rot:
                        step = sh / th
                        vv = across * step + step / 2
                        ua = sw / tw / 2
                        ub = sw - ua
                        if fx:
                            ua, ub = ub, ua
                        self.tline_spr(s, cx, cy + k, cx + tw - 1, cy + k, ua, vv, ub, vv)
                    else:
                        step = sw / th
                        uu = across * step + step / 2
                        va = sh / tw / 2
                        vb = sh - va
                        if fx:
                            va, vb = vb, va
                        self.tline_spr(s, cx, cy + k, cx + tw - 1, cy + k, uu, va, uu, vb)

    # -- textured lines
    def tline3d(self, src, flags, x0, y0, x1, y1, u0, v0, u1, v1, w0, w1):
        kind, sw_, sh_, data = src
        if y1 < y0 or (y1 == y0 and x1 < x0):
            x0, x1, y0, y1, u0, u1, v0, v1, w0, w1 = x1, x0, y1, y0, u1, u0, v1, v0, w1, w0
        ax, ay = abs(x1 - x0), abs(y1 - y0)
        ln = max(ax, ay)
        if not ln > 0:
            ln = 1e-5
        du, dv, dw = (u1 - u0) / ln, (v1 - v0) / ln, (w1 - w0) / ln
        f = math.fmod(x0 if ax >= ay else y0, 1.0)
        st = line_steps(self.clip, i32(sat_f2i(x0)), i32(sat_f2i(y0)), i32(sat_f2i(x1)), i32(sat_f2i(y1)))
        if st is None:
            return
        X, Y, sx, sy, n, first, last, _ = st
        if flags & 0x100:
            last = min(last, n - 1)
        u, v, w = u0 + first * du, v0 + first * dv, w0 + first * dw
        if flags & 0x200:
            u += (1 - f) * du
            v += (1 - f) * dv
        uo, vo, uwr, vwr = self.tl
        um, vm = (uwr - 1) & 0xFFFF, (vwr - 1) & 0xFFFF
        for k in range(first, last + 1):
            x, y = (X + k * sx) >> 16, (Y + k * sy) >> 16
            uw = u / w if w != 0 else (math.copysign(math.inf, u) * math.copysign(1, w) if u != 0 else math.nan)
            vw = v / w if w != 0 else (math.copysign(math.inf, v) * math.copysign(1, w) if v != 0 else math.nan)
            tx = wrap_to(uo + (sat_floor(uw) & um), sw_)
            ty = wrap_to(vo + (sat_floor(vw) & vm), sh_)
            cell = data[ty * sw_ + tx]
            if kind == "u8":
                colour = cell
            else:
                cell &= 0xFFFF
                s = self.sprites[cell & 0x1FFF] if (cell & 0x1FFF) < len(self.sprites) else None
                colour = 0
                if s is not None:
                    spw, sph, sd = s
                    px = wrap_to(sat_floor(uw * spw), spw)
                    py = wrap_to(sat_floor(vw * sph), sph)
                    if cell & 0x4000:
                        px = spw - 1 - px
                    if cell & 0x8000:
                        py = sph - 1 - py
                    colour = sd[py * spw + px]
            self.blend(x, y, colour)
            u += du
            v += dv
            w += dw

    # -- blit into the target (cut to the clip) from an array or the target
    def blit(self, src, sx, sy, dx, dy, w, h):
        sw_, sh_, data = src if src is not None else (W, H, bytes(self.pix))
        if w is None:
            w = sw_
        if h is None:
            h = sh_
        if w <= 0 or h <= 0:
            return
        l, t, r, b = self.clip
        if dx < l:
            sx, w, dx = sx + (l - dx), w - (l - dx), l
        if dy < t:
            sy, h, dy = sy + (t - dy), h - (t - dy), t
        w, h = min(w, r - dx), min(h, b - dy)
        if sx < 0:
            dx, w, sx = dx - sx, w + sx, 0
        if sy < 0:
            dy, h, sy = dy - sy, h + sy, 0
        w, h = min(w, sw_ - sx), min(h, sh_ - sy)
        if w <= 0 or h <= 0:
            return
        for yy in range(h):
            for xx in range(w):
                self.pix[(dy + yy) * W + dx + xx] = data[(sy + yy) * sw_ + sx + xx]


# ---- cases ----------------------------------------------------------------------


def make_world(rng):
    sizes = [(8, 8), (4, 4), (3, 5), (1, 1), (16, 16), (8, 8), (5, 2), None, (8, 4), None]
    sprites = []
    for sz in sizes:
        if sz is None:
            sprites.append(None)
            continue
        w, h = sz
        sprites.append((w, h, bytes(rng.choice([0, 0, rng.randrange(256)]) for _ in range(w * h))))
    flags = [rng.randrange(256) for _ in range(SLOTS)]
    mw, mh = 6, 5
    cells = []
    for _ in range(mw * mh):
        v = rng.randrange(SLOTS) | rng.choice([0, 0, 0x2000, 0x4000, 0x8000, 0xE000, 0x6000, 0xA000, 0xC000])
        cells.append(v - 65536 if v >= 32768 else v)
    tex = [("u8", 8, 4, bytes(rng.randrange(256) for _ in range(32))),
           ("u8", 3, 5, bytes(rng.randrange(256) for _ in range(15))),
           ("i16", 4, 2, [rng.randrange(SLOTS) | rng.choice([0, 0x4000, 0x8000, 0xC000]) for _ in range(8)])]
    arr = (7, 6, bytes(rng.randrange(256) for _ in range(42)))
    return sprites, flags, (mw, mh, cells), tex, arr


def num(rng, lo, hi, frac=0.3):
    v = rng.randint(lo, hi)
    return v + rng.choice([0.25, 0.5, 0.75, -0.5]) if rng.random() < frac else v


def make_cases(rng, n):
    kinds = ["spr", "spr", "spr_batch", "sspr", "sspr", "sspr", "map", "map", "map", "tline", "tline", "tline",
             "tline_batch", "blit", "blit"]
    cases = []
    for i in range(n):
        kind = rng.choice(kinds)
        c = {
            "bg": rng.randrange(3),
            "tabs": rng.random() < 0.5,
            "masks": [rng.choice([0x3F, 0x3F, 0xFF, rng.randrange(256)]), rng.choice([0x3F, 0x3F, 0xFF, rng.randrange(256)]),
                      rng.choice([0, 0x3F, 0x3F, 0xFF, rng.randrange(256)])],
            "pat": [rng.randrange(256) for _ in range(8)] if rng.random() < 0.25 else [0] * 8,
            "cam": (rng.randint(-10, 10), rng.randint(-10, 10)) if rng.random() < 0.3 else (0, 0),
            "clip": None if rng.random() < 0.4 else (rng.randint(-5, 24), rng.randint(-5, 16), rng.randint(6, 50),
                                                     rng.randint(4, 35)),
            "tl": (rng.choice([0, 0, rng.randint(-5, 5)]), rng.choice([0, 0, rng.randint(-5, 5)]),
                   rng.choice([0, 0, 1, 2, 4, 8, rng.randint(-3, 9)]), rng.choice([0, 0, 2, 4, rng.randint(-3, 9)])),
            "tile": (rng.choice([8, 8, 4, 3, 16, 1]), rng.choice([8, 8, 4, 5, 16, 2])),
            "zero": rng.random() < 0.3,
            "kind": kind,
        }
        if kind == "spr":
            c["args"] = [rng.choice([rng.randrange(SLOTS)] * 6 + [9000, -1]), rng.randint(-12, 46),
                         rng.randint(-12, 30), rng.choice([None, True, False, 0, 1]), rng.choice([None, True, False, 0])]
        elif kind == "spr_batch":
            per = rng.randint(0, 5)
            c["per"] = per
            c["items"] = [[rng.choice([rng.randrange(SLOTS)] * 4 + [20000, -3]) + rng.choice([0, 0.5]), num(rng, -8, 44),
                           num(rng, -8, 30), rng.choice([-1, 1, 0, -0.25]), rng.choice([-1, 1, 0])][:per]
                          for _ in range(rng.randint(0, 5))]
        elif kind == "sspr":
            sw = rng.choice([None, rng.randint(1, 18), rng.randint(1, 18), rng.randint(-2, 18)])
            sh = rng.choice([None, rng.randint(1, 18), rng.randint(1, 18), rng.randint(-2, 18)])
            c["args"] = [rng.randrange(SLOTS), rng.randint(-8, 10), rng.randint(-8, 10), sw, sh,
                         rng.randint(-10, 45), rng.randint(-10, 30),
                         rng.choice([None, rng.randint(-40, 40)]), rng.choice([None, rng.randint(-40, 40)]),
                         rng.choice([None, True, False]), rng.choice([None, True, False])]
        elif kind == "map":
            a = [rng.randint(-3, 5), rng.randint(-3, 4), rng.randint(-12, 30), rng.randint(-12, 20),
                 rng.choice([None, rng.randint(-2, 8)]), rng.choice([None, rng.randint(-2, 7)]),
                 rng.choice([0, 0, 1 << rng.randrange(8), rng.randrange(256)]),
                 rng.choice([None, None, rng.randint(1, 12), 8, 0, -1]), rng.choice([None, None, rng.randint(1, 12), 8])]
            if a[7] == 0 or a[8] == 0:
                a[4], a[5] = 1, 1  # 256-pixel tiles: one cell is plenty
            c["args"] = a
        elif kind == "tline":
            src = rng.randrange(3)
            c["src"] = src
            x0, y0 = num(rng, -20, 60, 0.6), num(rng, -20, 45, 0.6)
            x1, y1 = num(rng, -20, 60, 0.6), num(rng, -20, 45, 0.6)
            if rng.random() < 0.3:
                y1 = y0
            args = [x0, y0, x1, y1, num(rng, -10, 10, 0.7), num(rng, -10, 10, 0.7)]
            if rng.random() < 0.7:
                args += [num(rng, -20, 20, 0.7), num(rng, -20, 20, 0.7)]
                if rng.random() < 0.5:
                    args += [rng.choice([1, 0.5, 2, 0.75, 0]), rng.choice([1, 0.5, 2, 1.5, 0])]
                    if rng.random() < 0.7:
                        args.append(rng.choice([0, 0x100, 0x200, 0x300]))
            c["args"] = args
        elif kind == "tline_batch":
            per = rng.randint(1, 12)
            c["per"] = per
            c["items"] = []
            for _ in range(rng.randint(0, 4)):
                it = [rng.choice([1, 2, 3, 0, 7, 8200]), num(rng, -5, 50, 0.5), num(rng, -5, 35, 0.5),
                      num(rng, -5, 50, 0.5), num(rng, -5, 35, 0.5), num(rng, -8, 8, 0.5), num(rng, -8, 8, 0.5),
                      num(rng, -8, 8, 0.5), num(rng, -8, 8, 0.5), rng.choice([1, 2, 0.5]), rng.choice([1, 2]),
                      rng.choice([0, 0x100, 0x200])]
                c["items"].append(it[:per])
        else:
            c["from_target"] = rng.random() < 0.3
            c["args"] = [rng.randint(-10, 12), rng.randint(-10, 10), rng.randint(-15, 50), rng.randint(-15, 35),
                         rng.choice([None, rng.randint(-2, 30)]), rng.choice([None, rng.randint(-2, 30)])]
        cases.append(c)
    return cases


def lua_val(v):
    if v is None:
        return "nil"
    if v is True:
        return "true"
    if v is False:
        return "false"
    return repr(v)


def lua_list(xs):
    return "{n=%d," % len(xs) + ",".join(lua_val(x) for x in xs) + "}"


LUA_HEAD = r"""
local W, H = %d, %d
local bgs = {%s}
local tabs = userdata("u8", 16384, "%s")
local T = userdata("u8", W, H)
local hx = {}
for v = 0, 255 do hx[v] = string.format("%%02x", v) end
local SPR = {%s}
for k, s in pairs(SPR) do _set_spr(k, s) end
local FLAGS = {%s}
for k = 0, #FLAGS - 1 do fset(k, FLAGS[k + 1]) end
local M = userdata("i16", %d, %d, "%s")
local TEX = {%s}
local ARR = %s
local cur = nil
local function C(i, bg, rnd, rm, wm, tm, pat, cx, cy, cl, tl, tile, zero, kind, args, src, per)
  bgs[bg + 1]:poke(0x80000)
  T:peek(0x80000)
  _set_draw_target(T)
  if rnd ~= cur then
    if rnd then tabs:poke(0x8000) else pal(0) end
    cur = rnd
  end
  poke(0x5508, rm, wm, tm)
  poke(0x5500, table.unpack(pat))
  camera(cx, cy)
  if cl then clip(cl[1], cl[2], cl[3], cl[4]) else clip() end
  poke2(0x5530, tl[1], tl[2], tl[3], tl[4])
  poke(0x550E, tile[1], tile[2])
  poke(0x5F36, zero and 8 or 0)
  if kind == "spr_batch" or kind == "tline_batch" then
    local n = #args
    local a = userdata("f64", math.max(per, 1), math.max(n, 1))
    for j = 1, n do for k = 1, per do a:set(k - 1, j - 1, args[j][k]) end end
    local f = kind == "spr_batch" and spr or tline3d
    f(a, 0, n, per, math.max(per, 1))
  elseif kind == "map" then
    _draw_map(M, table.unpack(args, 1, args.n))
  elseif kind == "tline" then
    tline3d(TEX[src + 1], table.unpack(args, 1, args.n))
  elseif kind == "blit" then
    if src == 1 then blit(nil, nil, table.unpack(args, 1, args.n)) else blit(ARR, nil, table.unpack(args, 1, args.n)) end
  else
    _G[kind](table.unpack(args, 1, args.n))
  end
  camera()
  local v = {T:get(0, 0, W * H)}
  for j = 1, #v do v[j] = hx[v[j]] end
  _printh("case " .. i .. " " .. table.concat(v))
end
"""


def i16_hex(vals):
    return "".join("%04x" % (v & 0xFFFF) for v in vals)


def main():
    seed = int(os.environ.get("ORACLE_SEED", "4321"))
    count = int(os.environ.get("ORACLE_CASES", "2500"))
    rng = random.Random(seed)
    deftab = default_tables()
    rtab = bytearray(rng.randrange(256) for _ in range(16384))
    bgs = [bytes(rng.choice([0, rng.randrange(256)]) for _ in range(W * H)) for _ in range(3)]
    sprites, flags, mp, tex, arr = make_world(rng)
    cases = make_cases(rng, count)

    spr_lua = ",".join("[%d]=userdata('u8',%d,%d,'%s')" % (k, s[0], s[1], s[2].hex())
                       for k, s in enumerate(sprites) if s is not None)
    tex_lua = ",".join("userdata('%s',%d,%d,'%s')" % (t[0], t[1], t[2], t[3].hex() if t[0] == "u8" else i16_hex(t[3]))
                       for t in tex)
    lines = [LUA_HEAD % (W, H, ",".join('userdata("u8",%d,"%s")' % (W * H, b.hex()) for b in bgs), rtab.hex(),
                         spr_lua, ",".join(map(str, flags)), mp[0], mp[1], i16_hex(mp[2]), tex_lua,
                         "userdata('u8',%d,%d,'%s')" % (arr[0], arr[1], arr[2].hex()))]
    for i, c in enumerate(cases):
        clip = "nil" if c["clip"] is None else lua_list(list(c["clip"]))
        if "items" in c:
            args = "{" + ",".join(lua_list(it) for it in c["items"]) + "}"
        else:
            args = lua_list(c["args"])
        src = c.get("src", 1 if c.get("from_target") else 0)
        lines.append("C(%d,%d,%s,%d,%d,%d,%s,%d,%d,%s,%s,%s,%s,%r,%s,%d,%d)" % (
            i, c["bg"], "true" if c["tabs"] else "false", c["masks"][0], c["masks"][1], c["masks"][2],
            lua_list(c["pat"]), c["cam"][0], c["cam"][1], clip, lua_list(list(c["tl"])), lua_list(list(c["tile"])),
            "true" if c["zero"] else "false", c["kind"], args, src, c.get("per", 0)))

    got, out = run_cases(lines, "orv_spr_oracle_")
    failures = 0
    for i, c in enumerate(cases):
        m = Model(bgs[c["bg"]], rtab if c["tabs"] else deftab, sprites, flags)
        m.rm, m.wm, m.tm = c["masks"]
        m.pat = list(c["pat"])
        m.cam = c["cam"]
        m.tl = tuple(((v & 0xFFFF) ^ 0x8000) - 0x8000 for v in c["tl"])
        m.tile = c["tile"]
        m.draw_zero = c["zero"]
        if c["clip"] is not None:
            m.set_clip(*c["clip"])
        run_case(m, c, sprites, mp, tex, arr)
        if got.get(i) != bytes(m.pix):
            failures += 1
            if failures <= 5:
                show_difference(i, c, got.get(i), m.pix, W, out)
    print("%d cases, %d differ" % (len(cases), failures))
    return 1 if failures else 0


def slot(sprites, n):
    return sprites[n] if 0 <= n < len(sprites) else None


def run_case(m, c, sprites, mp, tex, arr):
    kind = c["kind"]
    cx, cy = m.cam
    if kind == "spr":
        n, x, y, fx, fy = c["args"]
        truth = lambda v: v is not None and v is not False
        m.spr(slot(sprites, n), i32(x - cx), i32(y - cy), truth(fx), truth(fy))
    elif kind == "spr_batch":
        per = c["per"]
        for it in c["items"]:
            val = lambda k: it[k] if k < per else 0
            # Batch items ignore the camera.
            m.spr(slot(sprites, sat_floor(val(0))), sat_floor(val(1)), sat_floor(val(2)), val(3) < 0, val(4) < 0)
    elif kind == "sspr":
        n, sx, sy, sw, sh, dx, dy, dw, dh, fx, fy = c["args"]
        s = slot(sprites, n)
        if s is None:
            return
        sw = s[0] if sw is None else sw
        sh = s[1] if sh is None else sh
        m.sspr(s, sx, sy, sw, sh, i32(dx - cx), i32(dy - cy), sw if dw is None else dw, sh if dh is None else dh,
               bool(fx), bool(fy))
    elif kind == "map":
        m.draw_map(mp, *c["args"])
    elif kind == "tline":
        a = list(c["args"])
        x0, y0, x1, y1, u0, v0 = a[:6]
        u1 = a[6] if len(a) > 6 else u0 + (x1 - x0)
        v1 = a[7] if len(a) > 7 else v0 + (y1 - y0)
        w0 = a[8] if len(a) > 8 else 1
        w1 = a[9] if len(a) > 9 else 1
        flags = a[10] if len(a) > 10 else 0
        m.tline3d(tex[c["src"]], flags, x0 - cx, y0 - cy, x1 - cx, y1 - cy, u0, v0, u1, v1, w0, w1)
    elif kind == "tline_batch":
        per = c["per"]
        for it in c["items"]:
            val = lambda k, d: it[k] if k < per else d
            s = slot(sprites, sat_floor(val(0, 0)) & 0x1FFF)
            if s is None:
                continue
            x0, y0, x1, y1, u0, v0 = (val(k, 0) for k in range(1, 7))
            m.tline3d(("u8", s[0], s[1], s[2]), sat_floor(val(11, 0)), x0 - cx, y0 - cy, x1 - cx, y1 - cy, u0, v0,
                      val(7, u0 + (x1 - x0)), val(8, v0 + (y1 - y0)), val(9, 1), val(10, 1))
    elif kind == "blit":
        m.blit(None if c.get("from_target") else arr, *c["args"])


if __name__ == "__main__":
    sys.exit(main())
