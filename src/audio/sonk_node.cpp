// Synth nodes: pitch to step, envelopes, modulated values, oscillators over
// wavetables, the ways a child joins its parent, and the filter, echo and gain
// effects. Integer fixed point throughout; 64-bit (or wider) intermediates
// where a product could pass 32 bits.
#include <cmath>

#include "audio/sonk_engine.h"
#include "kernel/sat.h"

// Highest octave shift with an exact step: 1046 << 52 still fits 63 bits.
constexpr int64_t MAX_DX_SHIFT = 52;

int64_t sonk_get_dx_for_note(int32_t pitch, int32_t fine) {
    int64_t f = (int64_t)fine + (int64_t)(pitch & 0xFFFF) * 256;
    int64_t n = pitch >> 16;
    int64_t whole = f >> 24;  // floors: f moves into 0 .. 2^24-1
    n += whole;
    f -= whole * (1 << 24);
    int64_t octave = n >= 0 ? n / 12 : -((-n + 11) / 12);
    int64_t k = n - 12 * octave;
    int64_t shift = octave + 21;
    if (shift < 0) return 0;  // below the lowest octave: no defined step
    if (shift > MAX_DX_SHIFT) shift = MAX_DX_SHIFT;
    int64_t d0 = (sonk_note_dx[k] << shift) / 44100;
    int64_t d1 = (sonk_note_dx[k + 1] << shift) / 44100;
    return (d0 * (65536 - (f >> 8)) + d1 * (f >> 8)) >> 16;
}

static int32_t env_unit(int64_t code, const SonkEnvCtx& cx) { return code == 0 ? cx.dflt : get_env_duration(code); }

int32_t evaluate_envelope(int64_t e, int32_t t, int64_t last, const SonkEnvCtx& cx) {
    switch (sonk_rd8(e)) {
    case 0: {  // ADSR
        int64_t A = get_env_duration(sonk_rd8(e + 8)), D = get_env_duration(sonk_rd8(e + 9));
        int64_t S = sonk_rd8(e + 10) * 256, R = get_env_duration(sonk_rd8(e + 11));
        if (cx.note_on) {
            if (t < A) return (int32_t)(((int64_t)t * 65280 + 65280) / (A + 1));
            if (t - A > D) return (int32_t)S;
            return (int32_t)(S + (D + A - t + 1) * (65280 - S) / (D + 1));
        }
        if (R == 0) return 0;
        int64_t left = R - cx.ticks_off;
        return (int32_t)(last * (left > 0 ? left : 0) / (R + 1));
    }
    case 1: {  // LFO
        int32_t P = env_unit(sonk_rd8(e + 12), cx);
        double x = sin(2 * 3.141562 * t / P + sonk_rd8(e + 14) * 6.283124 / 256) * 32640;
        return sonk_clamp(sat_f2i(x), -32640, 32640) + 32640;
    }
    case 2: {  // step data
        int32_t U = env_unit(sonk_rd8(e + 2), cx);
        int64_t i = t / U;
        auto level = [&](int64_t s) -> int64_t { return s >= 0 && s <= 15 ? sonk_rd8(e + 8 + s) : 0; };
        int64_t v = level(i);
        if (!(sonk_rd8(e + 1) & 1)) return (int32_t)(v * 256);
        int64_t ls = sonk_rd8(e + 3), le = sonk_rd8(e + 4);
        int64_t next = (i + 1 == le && ls < le) ? level(ls) : level(i + 1);
        return (int32_t)(v * 256 + ((t % U) * 256 / U) * (next - v));
    }
    default: return 0;
    }
}

static int64_t env_addr(const SonkEnvCtx& cx, uint8_t byte3) { return cx.inst + 0x100 + 24 * (byte3 & 15); }

// The loop of a step-data envelope (or one with flags bit 4), in one step.
static int32_t loop_env_tick(int64_t t, int64_t e, const SonkEnvCtx& cx) {
    if (!cx.note_on) return (int32_t)t;
    int64_t ls = sonk_rd8(e + 3), le = sonk_rd8(e + 4);
    if (ls >= le || !(sonk_rd8(e) == 2 || (sonk_rd8(e + 1) & 16))) return (int32_t)t;
    int64_t U = env_unit(sonk_rd8(e + 2), cx);
    int64_t end = U * le, span = (le - ls) * U;
    if (t >= end) t -= ((t - end) / span + 1) * span;
    return (int32_t)t;
}

void advance_mval_env_tick(SonkNodeState* n, int j, const SonkEnvCtx& cx) {
    int64_t t = n->env_tick[j];
    if (t < INT32_MAX) t++;
    n->env_tick[j] = loop_env_tick(t, env_addr(cx, sonk_rd8(n->record + 4 + 4 * j + 3)), cx);
}

void retrigger_mval_env_tick(SonkNodeState* n, int j, const SonkEnvCtx& cx) {
    int64_t m = n->record + 4 + 4 * j;
    uint8_t fl = sonk_rd8(m);
    if ((fl & 4) && !(fl & 8)) {
        int64_t e = env_addr(cx, sonk_rd8(m + 3));
        uint8_t ef = sonk_rd8(e + 1);
        int64_t t = 0;
        if (sonk_rd8(e) == 2 || (ef & 16)) {
            int64_t start = (int64_t)env_unit(sonk_rd8(e + 2), cx) * sonk_rd8(e + 5);
            // Bit 3 of the envelope's own flags: a random start before the offset.
            t = (ef & 8) && start > 0 ? (int64_t)(sonk_rand() % (uint64_t)start) : start;
            t = loop_env_tick(t, e, cx);
        }
        n->env_tick[j] = (int32_t)t;
    }
    n->rnd[j] = (int32_t)(sonk_rand() % 65280);
}

int64_t sonk_mval_raw(SonkNodeState* n, int j, const SonkEnvCtx& cx) {
    int64_t m = n->record + 4 + 4 * j;
    uint8_t fl = sonk_rd8(m), b1 = sonk_rd8(m + 1), b2 = sonk_rd8(m + 2);
    bool sg = n->kind <= 4 && mval_signed_dat[n->kind][j];
    int64_t A = sg ? (int8_t)b1 : b1, B = sg ? (int8_t)b2 : b2;
    int64_t h;
    if (fl & 4) {
        h = evaluate_envelope(env_addr(cx, sonk_rd8(m + 3)), n->env_tick[j], n->env_last[j], cx);
        if (cx.note_on) n->env_last[j] = h;
    } else if (fl & 16) {
        h = n->rnd[j];
    } else {
        return A * 65536;
    }
    return ((A * h + (65280 - h) * B) * 256) / 255;
}

int32_t eval_mval(SonkNodeState* n, int j, int32_t base, const SonkEnvCtx& cx) {
    int64_t m = n->record + 4 + 4 * j;
    uint8_t fl = sonk_rd8(m), b3 = sonk_rd8(m + 3);
    int64_t raw = sonk_mval_raw(n, j, cx);
    int s = (b3 >> 6) * 2;
    if (b3 & 0x20) s = -s;
    if (j == 0 && n->kind == SONK_OSC && (n->op == SONK_OP_FM || n->op == SONK_OP_MUL)) n->fm_shift = s;
    else if (s > 0) raw *= (int64_t)1 << s;
    else if (s < 0) raw /= (int64_t)1 << -s;
    int64_t v;
    switch (fl & 3) {
    case 1: v = raw + base; break;
    case 2: v = (raw >> 11) * (int64_t)(base >> 11); break;
    default: v = raw; break;
    }
    int32_t r = sonk_wrap32(v);
    if (fl & 0x20) r = (int32_t)((uint32_t)r & 0xFFFF0000u);
    return r;
}

void sonk_load_nodes(SonkNodeState* nodes, int64_t inst) {
    for (int i = 0; i < 8; i++) {
        SonkNodeState* n = &nodes[i];
        int64_t a = inst + 32 * i;
        uint8_t b0 = sonk_rd8(a), b1 = sonk_rd8(a + 1);
        n->record = (int32_t)a;
        n->parent = b0 & 15;
        n->op = b0 >> 4;
        n->kind = b1 & 15;
        n->wave = b1 >> 4;
        n->flags = sonk_rd8(a + 2);
        n->byte3 = sonk_rd8(a + 3);
        n->right_copy = 0;
        n->right_index = -1;
        n->copy_of = -1;
        n->depth = n->parent < i ? nodes[n->parent].depth + 1 : 0;
        if (n->kind == SONK_OSC) {
            int64_t d = inst + 0x1E0 + 4 * (n->wave & 3);
            n->wt_addr = (int32_t)(sonk_rd16(d) << 8);
            n->wt_log2 = sonk_rd8(d + 2) > SONK_MAX_LOG2_WIDTH ? SONK_MAX_LOG2_WIDTH : sonk_rd8(d + 2);
            n->wt_width = 1 << n->wt_log2;
            n->wt_rows = sonk_rd8(d + 3) ? sonk_rd8(d + 3) : 256;
        }
    }
}

static int32_t ratio_part(int32_t v) { return v ? v : 1; }

void sonk_eval_node(SonkNodeState* nodes, int i, const SonkNodeState* par, const SonkEnvCtx& cx) {
    SonkNodeState* n = &nodes[i];
    n->fm_in = nullptr;
    bool pitched = n->kind == SONK_BUS || n->kind == SONK_OSC;
    int64_t num = 1, den = 1;
    if (pitched) {
        num = ratio_part(par->ratio_num);
        den = ratio_part(par->ratio_den);
    }
    for (int j = 0; j < 7; j++) {
        int32_t base = par->value[j];
        if (n->kind == SONK_FILTER && j == 2) base = n->value[0];
        if (n->kind == SONK_GAIN && j == 3) base = nodes[0].value[0];
        int64_t m = n->record + 4 + 4 * j;
        if (pitched && j == 2 && (sonk_rd8(m) & 2)) {
            // Ratio mode: the mval sets a frequency ratio; the pitch stays the parent's.
            int64_t E = sonk_mval_raw(n, j, cx) / 65536;
            E = E < 0 ? 0 : E > 255 ? 255 : E;
            int64_t F = (E & 15) + 1, G = (E >> 4) + 1;
            uint8_t b3 = sonk_rd8(m + 3);
            if (b3 >= 64) {
                int64_t w = ((b3 & 64) ? 4 : 1) * ((b3 & 128) ? 16 : 1);
                if (b3 & 32) G *= w;
                else F *= w;
            }
            num = sat_i32(num * F);
            den = sat_i32(den * G);
            n->value[2] = base;
        } else {
            n->value[j] = eval_mval(n, j, base, cx);
        }
        advance_mval_env_tick(n, j, cx);
    }
    if (pitched) {
        n->ratio_num = (int32_t)num;
        n->ratio_den = (int32_t)den;
        __int128 s = (__int128)sonk_get_dx_for_note(n->value[2], n->value[3]) * num / den;
        n->step = s > INT64_MAX ? INT64_MAX : (int64_t)s;
    }
}

// ---- rendering

static inline int16_t clamp16(int64_t v) { return (int16_t)(v < -32767 ? -32767 : v > 32767 ? 32767 : v); }

namespace {

struct OscRun {
    int64_t mask, offset, step, phase, addr, amp;
    const uint8_t* row;  // null when the row runs past the mirror
    const int16_t* fm;
    int fm_shift;
};

// Steps the row position c = (phase - offset) & mask directly: adding to the
// phase and to c gives the same masked sums.
template <bool Inside, bool Fm>
void osc_loop(OscRun& o, int16_t* out, int count) {
    int64_t c = (o.phase - o.offset) & o.mask;
    const int64_t last = o.mask >> 16;
    for (int i = 0; i < count; i++) {
        int64_t i0 = c >> 16, i1 = (i0 + 1) & last;
        int64_t s0, s1;
        if constexpr (Inside) {
            s0 = sonk_ld16(o.row + 2 * i0);
            s1 = sonk_ld16(o.row + 2 * i1);
        } else {
            s0 = (int16_t)sonk_rd16(o.addr + 2 * i0);
            s1 = (int16_t)sonk_rd16(o.addr + 2 * i1);
        }
        int64_t v = (o.amp * (s0 + (((c & 0xFFFF) * (s1 - s0)) >> 16))) >> 14;
        out[i] = (int16_t)(v < -32768 ? -32768 : v > 32767 ? 32767 : v);
        c += o.step;
        if constexpr (Fm) c += (int64_t)o.fm[i] * (1 << o.fm_shift);
        c &= o.mask;
    }
    o.phase = (c + o.offset) & o.mask;
}

}  // namespace

void render_node_tick_osc(SonkNodeState* n, int16_t* out, int count) {
    int a = n->wt_log2 < 0 ? 0 : n->wt_log2 > SONK_MAX_LOG2_WIDTH ? SONK_MAX_LOG2_WIDTH : n->wt_log2;
    int64_t width = (int64_t)1 << a;
    OscRun o;
    o.mask = ((int64_t)1 << (a + 16)) - 1;
    o.amp = (int32_t)((uint32_t)n->value[0] << 8) >> 16;  // value 0 × 256, kept to 32 bits
    int64_t row = (((n->value[4] >> 16) & 255) * (int64_t)n->wt_rows) >> 8;
    o.addr = (int64_t)n->wt_addr + row * width * 2;
    o.offset = ((int64_t)(int16_t)(n->value[5] >> 16) + 128) * ((int64_t)1 << (a + 8));
    // Adding the step modulo the row's span gives the same masked phase.
    o.step = n->step & o.mask;
    o.phase = n->phase;
    o.fm = n->fm_in;
    int fs = n->fm_shift + 6;
    o.fm_shift = fs < 0 ? 0 : fs > 12 ? 12 : fs;
    o.row = sonk_row_ptr(o.addr, width);
    if (o.row) o.fm ? osc_loop<true, true>(o, out, count) : osc_loop<true, false>(o, out, count);
    else o.fm ? osc_loop<false, true>(o, out, count) : osc_loop<false, false>(o, out, count);
    n->phase = o.phase;
}

void render_node_tick(SonkNodeState* n, int16_t* out, int count) {
    if ((n->flags & 2) || n->kind == SONK_EMPTY) memset(out, 0, sizeof(int16_t) * (size_t)count);
    else if (n->kind == SONK_OSC) render_node_tick_osc(n, out, count);
}

void add_buffer(int16_t* __restrict p, const int16_t* __restrict q, int count) {
    for (int i = 0; i < count; i++) p[i] = clamp16((int32_t)p[i] + q[i]);
}

void mul_buffer(int16_t* __restrict p, const int16_t* __restrict q, int shift, int count) {
    int sh = 15 - shift;
    for (int i = 0; i < count; i++) p[i] = clamp16(((int32_t)q[i] * p[i]) >> sh);
}

void xor_buffer(int16_t* __restrict p, const int16_t* __restrict q, int count) {
    for (int i = 0; i < count; i++) p[i] = (int16_t)(p[i] ^ q[i]);
}

void or_buffer(int16_t* __restrict p, const int16_t* __restrict q, int count) {
    for (int i = 0; i < count; i++) p[i] = (int16_t)(p[i] | q[i]);
}

// Pan gains are 0..4096, so the products fit 32 bits.
void add_buffer_split(int16_t* __restrict l, int16_t* __restrict r, const int16_t* __restrict q, int32_t gl, int32_t gr,
                      int count) {
    for (int i = 0; i < count; i++) {
        int32_t a = l[i] + gl * q[i] / 4096, b = r[i] + gr * q[i] / 4096;
        l[i] = (int16_t)(a < -32767 ? -32767 : a > 32767 ? 32767 : a);
        r[i] = (int16_t)(b < -32767 ? -32767 : b > 32767 ? 32767 : b);
    }
}

// p · ((g · q / 4096) >> (15 − s)): the panned factor is shifted before the product.
void mul_buffer_split(int16_t* __restrict l, int16_t* __restrict r, const int16_t* __restrict q, int32_t gl, int32_t gr,
                      int shift, int count) {
    int sh = 15 - shift;
    for (int i = 0; i < count; i++) {
        l[i] = clamp16(l[i] * (((int64_t)gl * q[i] / 4096) >> sh));
        r[i] = clamp16(r[i] * (((int64_t)gr * q[i] / 4096) >> sh));
    }
}

// ---- effects

namespace {

struct FilterRun {
    int64_t e, kk, dd, p, v, h;
};

FilterRun filter_start(const SonkNodeState* n) {
    int64_t k = 65536 - ((n->value[0] >> 8) & 0xFFFF);
    int64_t d = (n->value[1] >> 8) & 0xFFFF;
    int64_t a = n->value[2] >> 8;
    if (a < 0) a = 0;  // keeps the denominator at its least, 65536
    FilterRun f;
    f.e = ((int64_t)1 << 32) / ((((a + ((a * a) >> 16)) << 6) & ~(int64_t)0x7F) + 65536);
    f.kk = (k * k) >> 16;
    f.dd = 65536 - ((d * d) >> 16);
    f.p = n->lp_pos;
    f.v = n->lp_vel;
    f.h = n->hp_out;
    return f;
}

inline int16_t filter_sample(FilterRun& f, int16_t x) {
    f.v += (x - f.p - f.v) * f.e / 65536;
    int64_t p2 = f.p + f.kk * f.v / 65536;
    int64_t H = (f.h + p2 - f.p) * f.dd;
    f.h = H / 65536;
    f.p = p2;
    return (int16_t)(H < -0x7FFFFFFF ? -32767 : f.h > 32766 ? 32767 : f.h);
}

void filter_end(SonkNodeState* n, const FilterRun& f) {
    n->lp_pos = f.p;
    n->lp_vel = f.v;
    n->hp_out = f.h;
}

}  // namespace

void sonk_filter(SonkNodeState* n, int16_t* x, int count) {
    FilterRun f = filter_start(n);
    for (int i = 0; i < count; i++) x[i] = filter_sample(f, x[i]);
    filter_end(n, f);
}

// Two independent filters in one loop: each sample's chain is serial, so the
// pair runs in about the time of one.
void sonk_filter_pair(SonkNodeState* a, int16_t* __restrict xa, SonkNodeState* b, int16_t* __restrict xb, int count) {
    FilterRun fa = filter_start(a), fb = filter_start(b);
    for (int i = 0; i < count; i++) {
        xa[i] = filter_sample(fa, xa[i]);
        xb[i] = filter_sample(fb, xb[i]);
    }
    filter_end(a, fa);
    filter_end(b, fb);
}

void sonk_echo(SonkNodeState* n, int16_t* x, int count) {
    int16_t* line = n->out;
    const int W = SONK_BLOCK - 1;
    int64_t D = n->value[0], L = n->value[1] & 0xFFFFFF;
    int64_t D0 = n->echo_delay0 == -1 ? D : n->echo_delay0;
    int64_t L0 = n->echo_level0 == -1 ? L : n->echo_level0;
    int32_t w = n->echo_pos & W;
    for (int i = 0; i < count; i++) line[(w + i) & W] = x[i];
    int64_t r = ((int64_t)w * 65536 - D0 * 126) & 0x7FFFFFFE;
    int64_t rstep = 65536 - (126 * D - 126 * D0) / count;
    int64_t lstep = (L - L0) / count, level = L0;
    for (int i = 0; i < count; i++) {
        int idx = (w + i) & W;
        line[idx] = clamp16(line[idx] + level * line[r >> 16] / (1 << 24));
        r = (r + rstep) & 0x7FFFFFFF;
        level += lstep;
    }
    for (int i = 0; i < count; i++) x[i] = line[(w + i) & W];
    n->echo_pos = (w + count) & W;
    n->echo_delay0 = D;
    n->echo_level0 = L;
}

namespace {

struct GainParams {
    int64_t g, m, l, t, r, slope;
    bool fold;
};

// One sample of the gain node; T is int64_t where the parameters keep every
// product inside 63 bits, else __int128.
template <typename T>
inline int16_t gain_sample(const GainParams& q, int16_t x) {
    T a = (T)(x < 0 ? -(int32_t)x : x) * 2;
    T y;
    if (q.fold) {
        y = a * q.g;
        if (a >= q.t) {
            int64_t idx = (int64_t)(((((y >> 16) - q.m) * ((T)q.l + 0x7FFF0000)) >> 16) & 0x7FFE) / 2;
            y = (T)gain_tri[idx] * 2 * q.m;
        }
        T z = y >> 16;
        y = (z < 0xFFFF ? z : (T)0xFFFF) >> 1;
        T out = (T)q.r * (x < 0 ? -y : y);
        if (out >= 0x7FFF0000) return 32767;
        T o = out >> 16;
        return (int16_t)(o < -32767 ? -32767 : o);
    }
    y = a >= q.t ? (((a - q.t) * q.slope) >> 16) + q.m : (a * q.g) >> 16;
    if (y > 0xFFFF) y = 0xFFFF;
    T h = y / 2;
    T out = (T)q.r * (x < 0 ? -h : h);
    if (out > 0x7FFEFFFF) return 32767;
    if (out < -0x7FFE0000) return -32767;
    return (int16_t)(out >> 16);
}

inline int64_t sat64(__int128 v) { return v > INT64_MAX ? INT64_MAX : v < INT64_MIN ? INT64_MIN : (int64_t)v; }

}  // namespace

void sonk_gain(SonkNodeState* n, int16_t* x, int count) {
    int64_t G0 = n->value[0], G1 = n->value[1], G2 = n->value[2], G3 = n->value[3];
    GainParams q;
    q.g = G0 * 7 / 255 + 65536;
    if (q.g < 1) q.g = 1;  // a negative G0 must not reach a zero divisor
    q.m = 65536 + G2 / -255;
    q.l = G1 / 255;
    q.t = q.m * 65536 / q.g;
    q.r = G3 / 64;
    q.fold = G1 > 0xFEFFFF;
    __int128 slope = 0;
    if (q.t != 65536) {
        __int128 V = 65536 - q.t, w = 2 * (__int128)q.l;
        __int128 top = (((__int128)1 << 32) - (__int128)q.m * 65536) / V;
        if (G1 > 8355839) slope = (top * (131072 - w)) >> 16;
        else slope = ((((__int128)(q.g - q.m) * 65536) / V * (65536 - w)) + w * top) >> 16;
    }
    q.slope = sat64(slope);
    const int64_t lim = (int64_t)1 << 24;
    bool small = q.slope > -lim && q.slope < lim && q.t > -lim && q.t < lim && q.m > -lim && q.m < lim;
    if (small && slope == q.slope) {
        for (int i = 0; i < count; i++) x[i] = gain_sample<int64_t>(q, x[i]);
    } else {
        for (int i = 0; i < count; i++) x[i] = gain_sample<__int128>(q, x[i]);
    }
}

void sonk_apply_effect(SonkNodeState* n, int16_t* x, int count) {
    switch (n->kind) {
    case SONK_FILTER: sonk_filter(n, x, count); break;
    case SONK_ECHO: sonk_echo(n, x, count); break;
    case SONK_GAIN: sonk_gain(n, x, count); break;
    default: break;
    }
}
