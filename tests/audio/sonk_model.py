#!/usr/bin/env python3
"""An independent model of the synthesiser's integer formulas, in Python's
exact integers, written from the formulas' text. It generates seeded cases and
prints each case's inputs followed by its expected results as whitespace-
separated integers; the C++ tests replay the inputs and compare.

usage: sonk_model.py MODE [SEED COUNT]
"""
import math
import random
import sys

M64 = (1 << 64) - 1
NOTE_DX = [523, 554, 587, 622, 659, 698, 740, 784, 831, 880, 932, 985, 1046]
SIGNED = {1: (1, 2, 3), 2: (1, 2, 3, 5)}


def tdiv(a, b):
    q = abs(a) // abs(b)
    return q if (a >= 0) == (b >= 0) else -q


def wrap(v, bits):
    h = 1 << (bits - 1)
    return ((v + h) % (1 << bits)) - h


def clamp(v, lo, hi):
    return lo if v < lo else hi if v > hi else v


def dur(c):
    if c < 16:
        return c
    if c < 32:
        return 2 * c - 16
    if c < 64:
        return 4 * c - 80
    if c < 128:
        return 8 * c - 336
    return 16 * c - 1360


# ---- xoshiro256** and the default wavetables

def rotl(x, k):
    return ((x << k) | (x >> (64 - k))) & M64


class Xoshiro:
    def __init__(self, seed):
        self.s = [(seed ^ 0xDEADBEEF) & M64, 0xFF, rotl(seed & M64, 32), 0]
        for _ in range(8):
            self.next()

    def next(self):
        s = self.s
        r = (rotl((s[1] * 5) & M64, 7) * 9) & M64
        t = (s[1] << 17) & M64
        s[2] ^= s[0]
        s[3] ^= s[1]
        s[1] ^= s[2]
        s[0] ^= s[3]
        s[2] ^= t
        s[3] = rotl(s[3], 45)
        return r


def default_tables():
    out = []
    g = Xoshiro(0x12345678)
    for _ in range(16384):
        out.append(wrap(g.next() & 0xFFFF, 16))
    for i in range(64):
        for k in range(1024):
            m = (k + 768) % 1024
            tri = (m if m < 512 else 1024 - m) - 256
            v = math.sin(2 * 3.141562 * k / 1024) * -32767 * (64 - i) + tri * 127.99 * i
            out.append(tdiv(int(v), 64))
    for j in range(64):
        e = 512 + 8 * j
        u = ((64 - j) ** 2) >> 4
        for n in range(1024):
            a = (n - u) % 1024
            level = a / e if a < e else (1024 - a) / (1024 - e) if a > e else 1.0
            out.append(int(level * 65535 - 32768))
    for l in range(64):
        c = l * l / 4096
        for n in range(1024):
            x = n / 1024
            level = (1 - c) * x + (c if x >= 0.5 else 0)
            out.append(int(level * 65534 - 32767))
    for l in range(64):
        d = l / 128 + 0.5
        for n in range(1024):
            out.append(-32767 if n / 1024 <= d else 32767)
    return out


# ---- pitch, envelopes, mvals

def dx_for_note(P, F):
    f = F + (P & 0xFFFF) * 256
    n = P >> 16
    q, f = divmod(f, 1 << 24)
    n += q
    octave = n // 12
    k = n - 12 * octave
    sh = octave + 21
    if sh < 0:
        return 0
    sh = min(sh, 52)
    d0 = (NOTE_DX[k] << sh) // 44100
    d1 = (NOTE_DX[k + 1] << sh) // 44100
    return (d0 * (65536 - (f >> 8)) + d1 * (f >> 8)) >> 16


class Mem:
    """The mirror: bytes at given addresses, 0 elsewhere and outside 24 bits."""

    def __init__(self):
        self.b = {}

    def put(self, addr, data):
        for i, v in enumerate(data):
            self.b[addr + i] = v & 0xFF

    def rd8(self, a):
        return self.b.get(a, 0) if 0 <= a < (1 << 24) else 0

    def rd16s(self, a):
        return wrap(self.rd8(a) | self.rd8(a + 1) << 8, 16)


class Ctx:
    def __init__(self, inst, note_on, ticks_off, dflt):
        self.inst, self.note_on, self.ticks_off, self.dflt = inst, note_on, ticks_off, dflt


def unit(code, cx):
    return cx.dflt if code == 0 else dur(code)


def envelope(mem, e, t, last, cx):
    typ = mem.rd8(e)
    if typ == 0:
        A, D = dur(mem.rd8(e + 8)), dur(mem.rd8(e + 9))
        S, R = mem.rd8(e + 10) * 256, dur(mem.rd8(e + 11))
        if cx.note_on:
            if t < A:
                return tdiv(t * 65280 + 65280, A + 1)
            if t - A > D:
                return S
            return S + tdiv((D + A - t + 1) * (65280 - S), D + 1)
        if R == 0:
            return 0
        return tdiv(last * max(R - cx.ticks_off, 0), R + 1)
    if typ == 1:
        P = unit(mem.rd8(e + 12), cx)
        x = math.sin(2 * 3.141562 * t / P + mem.rd8(e + 14) * 6.283124 / 256) * 32640
        return clamp(int(x), -32640, 32640) + 32640
    if typ == 2:
        U = unit(mem.rd8(e + 2), cx)
        i = t // U
        step = lambda s: mem.rd8(e + 8 + s) if 0 <= s <= 15 else 0
        v = step(i)
        if not mem.rd8(e + 1) & 1:
            return v * 256
        ls, le = mem.rd8(e + 3), mem.rd8(e + 4)
        nxt = step(ls) if (i + 1 == le and ls < le) else step(i + 1)
        return v * 256 + ((t % U) * 256 // U) * (nxt - v)
    return 0


def loop_tick(mem, e, t, cx):
    if not cx.note_on:
        return t
    ls, le = mem.rd8(e + 3), mem.rd8(e + 4)
    if ls < le and (mem.rd8(e) == 2 or mem.rd8(e + 1) & 16):
        U = unit(mem.rd8(e + 2), cx)
        while t >= U * le:
            t -= (le - ls) * U
    return t


class Node:
    pass


def mval_raw(mem, node, j, cx):
    m = node.record + 4 + 4 * j
    fl, A, B, b3 = mem.rd8(m), mem.rd8(m + 1), mem.rd8(m + 2), mem.rd8(m + 3)
    if j in SIGNED.get(node.kind, ()):
        A, B = wrap(A, 8), wrap(B, 8)
    if fl & 4:
        h = envelope(mem, cx.inst + 0x100 + 24 * (b3 & 15), node.env_tick[j], node.env_last[j], cx)
        if cx.note_on:
            node.env_last[j] = h
    elif fl & 16:
        h = node.rnd[j]
    else:
        return A * 65536
    return tdiv((A * h + (65280 - h) * B) * 256, 255)


def eval_mval(mem, node, j, base, cx):
    m = node.record + 4 + 4 * j
    fl, b3 = mem.rd8(m), mem.rd8(m + 3)
    raw = mval_raw(mem, node, j, cx)
    s = (b3 >> 6) * 2
    if b3 & 0x20:
        s = -s
    if j == 0 and node.kind == 2 and node.op in (1, 2):
        node.fm_shift = s
    elif s > 0:
        raw *= 1 << s
    elif s < 0:
        raw = tdiv(raw, 1 << -s)
    if fl & 3 == 1:
        v = raw + base
    elif fl & 3 == 2:
        v = (raw >> 11) * (base >> 11)
    else:
        v = raw
    v = wrap(v, 32)
    if fl & 0x20:
        v = wrap(v & 0xFFFF0000, 32)
    return v


def eval_node(mem, node, par_values, par_num, par_den, node0_v0, cx):
    pitched = node.kind in (1, 2)
    num, den = (par_num or 1), (par_den or 1)
    for j in range(7):
        base = par_values[j]
        if node.kind == 8 and j == 2:
            base = node.value[0]
        if node.kind == 10 and j == 3:
            base = node0_v0 if node0_v0 is not None else node.value[0]
        m = node.record + 4 + 4 * j
        if pitched and j == 2 and mem.rd8(m) & 2:
            E = clamp(tdiv(mval_raw(mem, node, j, cx), 65536), 0, 255)
            F, G = (E & 15) + 1, (E >> 4) + 1
            b3 = mem.rd8(m + 3)
            if b3 >= 64:
                w = (4 if b3 & 64 else 1) * (16 if b3 & 128 else 1)
                if b3 & 32:
                    G *= w
                else:
                    F *= w
            num, den = min(num * F, 2**31 - 1), min(den * G, 2**31 - 1)
            node.value[2] = base
        else:
            node.value[j] = eval_mval(mem, node, j, base, cx)
        e = cx.inst + 0x100 + 24 * (mem.rd8(m + 3) & 15)
        node.env_tick[j] = loop_tick(mem, e, min(node.env_tick[j] + 1, 2**31 - 1), cx)
    if pitched:
        node.num, node.den = num, den
        node.step = dx_for_note(node.value[2], node.value[3]) * num // den


# ---- rendering and effects

def osc(mem, wt_addr, log2, rows, values, phase, step, fm_shift, fm, count):
    a = min(log2, 24)
    width = 1 << a
    mask = (1 << (a + 16)) - 1
    amp = wrap(values[0] * 256, 32) >> 16
    row = (((values[4] >> 16) & 255) * rows) >> 8
    addr = wt_addr + row * width * 2
    off = (wrap(values[5] >> 16, 16) + 128) << (a + 8)
    out = []
    for i in range(count):
        c = (phase - off) & mask
        s0 = mem.rd16s(addr + 2 * (c >> 16))
        s1 = mem.rd16s(addr + 2 * (((c + 0x10000) & mask) >> 16))
        out.append(clamp((amp * (s0 + (((c & 0xFFFF) * (s1 - s0)) >> 16))) >> 14, -32768, 32767))
        phase += step
        if fm is not None:
            phase += fm[i] << (fm_shift + 6)
        phase &= mask
    return out, phase


class Filter:
    def __init__(self):
        self.p = self.v = self.h = 0

    def run(self, values, xs):
        k = 65536 - ((values[0] >> 8) & 0xFFFF)
        d = (values[1] >> 8) & 0xFFFF
        a = max(values[2] >> 8, 0)
        e = tdiv(1 << 32, (((a + ((a * a) >> 16)) << 6) & ~0x7F) + 65536)
        out = []
        for x in xs:
            self.v += tdiv((x - self.p - self.v) * e, 65536)
            p2 = self.p + tdiv(((k * k) >> 16) * self.v, 65536)
            H = (self.h + p2 - self.p) * (65536 - ((d * d) >> 16))
            self.h = tdiv(H, 65536)
            out.append(-32767 if H < -0x7FFFFFFF else 32767 if self.h > 32766 else self.h)
            self.p = p2
        return out


class Echo:
    def __init__(self):
        self.line = [0] * 32768
        self.w = 0
        self.D0 = self.L0 = -1  # -1 marks unset, as the node state does

    def run(self, values, xs):
        n = len(xs)
        D, L = values[0], values[1] & 0xFFFFFF
        D0 = D if self.D0 == -1 else self.D0
        L0 = L if self.L0 == -1 else self.L0
        w, line = self.w, self.line
        for i, x in enumerate(xs):
            line[(w + i) % 32768] = x
        r = (w * 65536 - D0 * 126) & 0x7FFFFFFE
        rstep = 65536 - tdiv(126 * D - 126 * D0, n)
        lstep, level = tdiv(L - L0, n), L0
        for i in range(n):
            idx = (w + i) % 32768
            line[idx] = clamp(line[idx] + tdiv(level * line[r >> 16], 1 << 24), -32767, 32767)
            r = (r + rstep) & 0x7FFFFFFF
            level += lstep
        out = [line[(w + i) % 32768] for i in range(n)]
        self.w = (w + n) % 32768
        self.D0, self.L0 = D, L
        return out


GAIN_TRI = [32767 - 4 * i if i < 8192 else 4 * (i - 8192) for i in range(16384)]


def gain(values, xs):
    G0, G1, G2, G3 = values[:4]
    g = max(tdiv(G0 * 7, 255) + 65536, 1)
    m = 65536 + tdiv(G2, -255)
    l = tdiv(G1, 255)
    t = tdiv(m * 65536, g)
    r = tdiv(G3, 64)
    slope = 0
    if t != 65536:
        V, w = 65536 - t, 2 * l
        top = tdiv((1 << 32) - m * 65536, V)
        if G1 > 8355839:
            slope = (top * (131072 - w)) >> 16
        else:
            slope = (tdiv((g - m) * 65536, V) * (65536 - w) + w * top) >> 16
    out = []
    for x in xs:
        a = abs(x) * 2
        if G1 > 0xFEFFFF:
            y = a * g
            if a >= t:
                y = GAIN_TRI[((((y >> 16) - m) * (l + 0x7FFF0000)) >> 16 & 0x7FFE) // 2] * 2 * m
            y = min(y >> 16, 0xFFFF) >> 1
            o = r * (-y if x < 0 else y)
            out.append(32767 if o >= 0x7FFF0000 else max(o >> 16, -32767))
        else:
            y = (((a - t) * slope) >> 16) + m if a >= t else (a * g) >> 16
            y = min(y, 0xFFFF)
            h = tdiv(y, 2)
            o = r * (-h if x < 0 else h)
            out.append(32767 if o > 0x7FFEFFFF else -32767 if o < -0x7FFE0000 else o >> 16)
    return out


# ---- case generators: each prints one line per case

def emit(*parts):
    flat = []
    for p in parts:
        flat.extend(p if isinstance(p, (list, tuple)) else [p])
    print(" ".join(str(int(v)) for v in flat))


def rand_value(rng):
    """A 16.16 value as mvals make them: mostly byte-sized, sometimes extreme."""
    c = rng.random()
    if c < 0.6:
        return rng.randint(0, 255) * 65536 + rng.randint(0, 65535) * (rng.random() < 0.5)
    if c < 0.8:
        return rng.randint(-128, 127) * 65536
    if c < 0.95:
        return rng.randint(0, 1 << 30)
    return rng.choice([-(2**31), 2**31 - 1, 0, -1, 1])


def mode_dx(rng, n):
    for _ in range(n):
        c = rng.random()
        if c < 0.7:
            P, F = rng.randint(0, 120 * 65536), rng.randint(-(1 << 24), 1 << 24)
        else:
            P, F = rng.randint(-(2**31), 2**31 - 1), rng.randint(-(2**31), 2**31 - 1)
        emit(P, F, dx_for_note(P, F))


def rand_env(rng):
    e = [rng.randint(0, 255) for _ in range(24)]
    e[0] = rng.choice([0, 0, 1, 1, 2, 2, 2, rng.randint(3, 255)])
    e[1] = rng.randint(0, 31)
    e[2] = rng.choice([0, rng.randint(1, 40), rng.randint(0, 255)])
    if rng.random() < 0.5:
        e[3], e[4] = sorted(rng.sample(range(16), 2))
    e[12] = rng.choice([0, rng.randint(1, 255)])
    return e


def mode_env(rng, n):
    for _ in range(n):
        e = rand_env(rng)
        mem = Mem()
        mem.put(0x1000, e)
        cx = Ctx(0, rng.randint(0, 1), rng.randint(0, 3000), rng.choice([16, rng.randint(1, 255)]))
        t = rng.choice([0, 1, rng.randint(0, 100), rng.randint(0, 5000)])
        last = rng.randint(0, 65280)
        emit(e, t, cx.note_on, last, cx.ticks_off, cx.dflt, envelope(mem, 0x1000, t, last, cx))


def mode_node(rng, n):
    """A node evaluated once: record, envelopes and state in, values and state out."""
    inst = 0x40000
    for _ in range(n):
        mem = Mem()
        region = [rng.randint(0, 255) for _ in range(0x300)]
        for k in range(16):
            region[0x100 + 24 * k:0x100 + 24 * k + 24] = rand_env(rng)
        i = rng.randint(0, 7)
        rec = [0] * 32
        kind = rng.choice([1, 2, 2, 8, 9, 10, rng.randint(0, 15)])
        rec[0] = rng.randint(0, 15) | rng.randint(0, 4) << 4
        rec[1] = kind | rng.randint(0, 15) << 4
        for j in range(7):
            fl = rng.randint(0, 63)
            rec[4 + 4 * j:8 + 4 * j] = [fl, rng.randint(0, 255), rng.randint(0, 255), rng.randint(0, 255)]
        region[32 * i:32 * i + 32] = rec
        mem.put(inst, region)
        cx = Ctx(inst, rng.randint(0, 1), rng.randint(0, 300), rng.choice([16, rng.randint(1, 64)]))
        node = Node()
        node.record, node.kind, node.op = inst + 32 * i, kind, rec[0] >> 4
        node.value = [rand_value(rng) for _ in range(7)]
        node.env_tick = [rng.choice([0, rng.randint(0, 200), rng.randint(0, 5000)]) for _ in range(7)]
        node.rnd = [rng.randint(0, 65279) for _ in range(7)]
        node.env_last = [rng.randint(0, 65280) for _ in range(7)]
        node.fm_shift = rng.choice([-6, -4, -2, 0, 2, 4, 6])
        par_values = [rand_value(rng) for _ in range(7)]
        par_num, par_den = rng.choice([0, 1, rng.randint(1, 64)]), rng.choice([0, 1, rng.randint(1, 64)])
        node0_v0 = rand_value(rng) if i != 0 else None
        inputs = [region, i, cx.note_on, cx.ticks_off, cx.dflt, list(node.value), list(node.env_tick),
                  list(node.rnd), list(node.env_last), node.fm_shift, par_values, par_num, par_den, node0_v0 or 0]
        eval_node(mem, node, par_values, par_num, par_den, node0_v0, cx)
        pitched = kind in (1, 2)
        emit(*inputs, node.value, node.env_tick, node.env_last, node.fm_shift,
             node.num if pitched else 0, node.den if pitched else 0, node.step if pitched else 0)


def mode_osc(rng, n):
    for _ in range(n):
        mem = Mem()
        log2, rows = rng.randint(0, 9), rng.choice([1, 2, 4, 256])
        nsamp = min((1 << log2) * rows, 4096)
        wt = rng.choice([0x100000, 0xFFFF00, 0xFFFE00])  # the last two run past the mirror's end
        data = [rng.randint(-32768, 32767) for _ in range(nsamp)]
        for k, s in enumerate(data):
            mem.put(wt + 2 * k, [s & 0xFF, (s >> 8) & 0xFF])
        values = [rand_value(rng) for _ in range(7)]
        values[0] = rng.choice([64 * 65536, rng.randint(0, 255) * 65536, rand_value(rng)])
        phase = rng.randint(0, (1 << (log2 + 16)) - 1)
        step = rng.choice([rng.randint(0, 1 << 22), rng.randint(0, 1 << 40)])
        fm_shift = rng.choice([-6, -4, -2, 0, 2, 4, 6])
        fm = [rng.randint(-32768, 32767) for _ in range(367)] if rng.random() < 0.4 else None
        out, ph = osc(mem, wt, log2, rows, values, phase, step, fm_shift, fm, 367)
        emit(wt, log2, rows, nsamp, data, values, phase, step, fm_shift, 1 if fm else 0, fm or [], out, ph)


def effect_values(rng, kind):
    v = [rand_value(rng) for _ in range(7)]
    if kind == "echo":
        v[0] = rng.choice([rng.randint(0, 200) * 65536, rand_value(rng)])
        v[1] = rng.choice([0, rng.randint(0, 255) * 65536, rand_value(rng)])
    if kind == "gain":
        v[1] = rng.choice([rng.randint(0, 255) * 65536, 0xFF0000 + rng.randint(0, 65535), rand_value(rng)])
        v[3] = rng.choice([64 * 65536, rand_value(rng)])
    return v


def mode_effect(rng, n, kind):
    """Several ticks of one effect node; its state carries from tick to tick."""
    for _ in range(n):
        ticks = rng.randint(1, 4)
        state = Filter() if kind == "filter" else Echo() if kind == "echo" else None
        parts = [ticks]
        for _ in range(ticks):
            count = rng.choice([367, 64])
            values = effect_values(rng, kind)
            amp = rng.choice([32767, 8000, 300])
            xs = [clamp(int(amp * math.sin(k / 7.0)) + rng.randint(-50, 50), -32768, 32767) for k in range(count)]
            out = state.run(values, xs) if state else gain(values, xs)
            parts += [count, values, xs, out]
        emit(*parts)


# Pan gains by pan + 128 (4096 is unity).
STEREO_CONTRIB = [
    4096, 4095, 4093, 4092, 4090, 4089, 4087, 4086, 4084, 4083, 4081, 4080, 4078, 4077, 4075, 4074,
    4072, 4070, 4069, 4067, 4065, 4063, 4062, 4060, 4058, 4056, 4054, 4052, 4050, 4048, 4045, 4043,
    4041, 4038, 4036, 4034, 4031, 4028, 4026, 4023, 4020, 4017, 4014, 4011, 4008, 4005, 4002, 3999,
    3995, 3992, 3988, 3984, 3980, 3977, 3973, 3969, 3964, 3960, 3956, 3951, 3946, 3942, 3937, 3932,
    3927, 3922, 3916, 3911, 3905, 3900, 3894, 3888, 3882, 3875, 3869, 3862, 3856, 3849, 3842, 3835,
    3828, 3820, 3813, 3805, 3797, 3789, 3781, 3772, 3764, 3755, 3746, 3737, 3728, 3719, 3709, 3699,
    3690, 3679, 3669, 3659, 3648, 3637, 3626, 3615, 3604, 3592, 3580, 3569, 3556, 3544, 3532, 3519,
    3506, 3493, 3480, 3466, 3452, 3439, 3424, 3410, 3396, 3381, 3366, 3351, 3336, 3320, 3304, 3289,
    3272, 3256, 3240, 3223, 3206, 3189, 3172, 3154, 3136, 3118, 3100, 3082, 3064, 3045, 3026, 3007,
    2988, 2968, 2948, 2929, 2908, 2888, 2868, 2847, 2826, 2805, 2784, 2763, 2741, 2719, 2698, 2675,
    2653, 2631, 2608, 2585, 2562, 2539, 2516, 2492, 2469, 2445, 2421, 2397, 2373, 2348, 2324, 2299,
    2274, 2249, 2224, 2198, 2173, 2147, 2122, 2096, 2070, 2043, 2017, 1991, 1964, 1938, 1911, 1884,
    1857, 1830, 1802, 1775, 1748, 1720, 1692, 1664, 1636, 1608, 1580, 1552, 1524, 1495, 1467, 1438,
    1410, 1381, 1352, 1323, 1294, 1265, 1236, 1207, 1178, 1148, 1119, 1089, 1060, 1030, 1000, 971,
    941, 911, 881, 851, 821, 791, 761, 731, 701, 671, 641, 610, 580, 550, 519, 489,
    458, 428, 398, 367, 336, 306, 275, 245, 214, 184, 153, 122, 92, 61, 31, 0,
]


def mode_note(pitch, pan, frames):
    """A held note of the rig's sine instrument (a bus over one oscillator at
    unity) on a fresh channel at gain 256, mixed in one call: the frames out."""
    mem = Mem()
    tables = default_tables()
    base = 0xF80000
    for k in range(1024):  # row 0 of the sine/triangle tables is all that plays
        v = tables[16384 + k]
        mem.put(base + 2 * k, [v & 0xFF, (v >> 8) & 0xFF])
    step = dx_for_note(pitch << 16, 0)
    values = [(64 << 16), pan << 16, pitch << 16, 0, 0, -128 << 16, 0]
    samples, phase = [], 0
    for t in range((frames + 366) // 367):
        block, phase = osc(mem, base, 10, 255, values, phase, step, 0, None, 367)
        if t == 0:  # the first tick fades in from the silent shadow
            block = [(b * i) >> 6 if i < 64 else b for i, b in enumerate(block)]
        samples += block
    P = clamp(tdiv(pan << 16, 65536), -127, 127)
    gains = [STEREO_CONTRIB[128 + P], STEREO_CONTRIB[128 - P]]
    out = []
    for n in range(frames):
        t, i = divmod(n, 367)
        m = min(367, frames - 367 * t)
        for g in gains:
            # 16.16 ramp from the last gain (0 on a fresh channel) over the first chunk
            gain = (tdiv(g * 65536, m) * i) >> 16 if t == 0 else g
            out.append(tdiv(samples[n] * gain, 4096))
    return out


def main():
    mode = sys.argv[1]
    seed = int(sys.argv[2]) if len(sys.argv) > 2 else 1
    count = int(sys.argv[3]) if len(sys.argv) > 3 else 100
    rng = random.Random(seed)
    if mode == "tables":
        emit(default_tables())
    elif mode == "dur":
        emit([dur(c) for c in range(256)])
    elif mode == "dx":
        mode_dx(rng, count)
    elif mode == "env":
        mode_env(rng, count)
    elif mode == "node":
        mode_node(rng, count)
    elif mode == "osc":
        mode_osc(rng, count)
    elif mode == "note":
        emit(mode_note(int(sys.argv[2]), int(sys.argv[3]), int(sys.argv[4])))
    elif mode in ("filter", "echo", "gain"):
        mode_effect(rng, count, mode)
    else:
        sys.exit("unknown mode " + mode)


if __name__ == "__main__":
    main()
