// Sprites (spr, sspr), raw copies between arrays (blit), maps (_draw_map,
// mset, mget), sprite flags (fset, fget) and textured lines (tline3d).
#include "graphics/sprites.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <utility>

#include "graphics/gfx.h"
#include "kernel/api.h"
#include "lua.h"
#include "lauxlib.h"

// ---- sprite table --------------------------------------------------------------

namespace {

struct NullSprite {
    TypedArray head;
    uint8_t data[256];
};
NullSprite null_sprite;

constexpr uint32_t SPRITE_FLAGS = 0xC000;

int64_t arg(lua_State* L, int i, int64_t dflt = 0) { return q64_intp(L, i, dflt); }

Process* drawing_process() {
    Process* p = cproc;
    return p && p->draw.target ? p : nullptr;
}

// The sprite named by slot number n (0-16383), or null.
const TypedArray* slot_sprite(const Process* p, int64_t n) {
    if (n < 0 || n >= SPRITE_NUMBERS || n >= SPRITE_SLOTS) return nullptr;
    return p->spr.slot[n];
}

// Argument idx as a sprite: an array drawn directly, or a slot number.
const TypedArray* sprite_arg(lua_State* L, const Process* p, int idx) {
    if (lua_type(L, idx) == LUA_TUSERDATA) return to_typed_array(L, idx);
    if (lua_type(L, idx) != LUA_TNUMBER) return nullptr;
    return slot_sprite(p, arg(L, idx));
}

uint8_t sprite_flags(Process* p, uint32_t n) {
    return mem_low_page(p, (int)((SPRITE_FLAGS + (n & 0x1FFF)) >> 12))[(SPRITE_FLAGS + n) & 0xFFF];
}

// Text for the host's standard output (or the test capture).
void host_line(const char* s) {
    if (api_printh_hook) {
        api_printh_hook(s, strlen(s));
        return;
    }
    puts(s);
    fflush(stdout);
}

int32_t camera_x(Process* p) { return ds_i32(p, DS_CAMERA_X); }
int32_t camera_y(Process* p) { return ds_i32(p, DS_CAMERA_Y); }

// Floor of a texture coordinate clamped to 0..n-1.
inline int64_t clamp_texel(double v, int64_t n) { return std::clamp<int64_t>(sat_floor(v), 0, n - 1); }

// x modulo n (n > 0), non-negative: a mask for powers of two.
inline int64_t wrap_to(int64_t x, int64_t n) {
    if ((n & (n - 1)) == 0) return x & (n - 1);
    int64_t m = x % n;
    return m < 0 ? m + n : m;
}

}  // namespace

TypedArray* get_null_sprite() {
    null_sprite.head = TypedArray{UT_U8, 2, {0, 0}, 16, 16, 1};
    memset(null_sprite.data, 0, sizeof null_sprite.data);
    return &null_sprite.head;
}

bool sprite_usable(const TypedArray* s) { return s && ta_tag(s) == UT_U8 && s->width > 0 && s->height > 0; }

int lua54_set_spr(lua_State* L) {
    Process* p = cproc;
    if (!p) return 0;
    int64_t n = arg(L, 1) & (SPRITE_SLOTS - 1);
    TypedArray* a = nullptr;
    if (lua_type(L, 2) == LUA_TUSERDATA) {
        a = to_typed_array(L, 2);
        // Only what can be drawn as a sprite is registered.
        if (!sprite_usable(a)) return 0;
    }
    TypedArray* old = p->spr.slot[n];
    if (a && a != old) mem_anchor(L, 2, 1);
    p->spr.slot[n] = a ? a : get_null_sprite();
    if (old && old != a && old != &null_sprite.head) mem_unanchor(L, old, 1);
    return 0;
}

// ---- sprites ---------------------------------------------------------------------

// One row of sprite pixels src[0], src[step], ... onto row y from x0 on.
static inline void sprite_row(const Gfx& g, int64_t x0, int64_t y, const uint8_t* src, int64_t step, int64_t n) {
    uint8_t* d = g.pix + y * g.w + x0;
    const uint8_t pb = g.pat[y & 7], rm = g.rm, wm = g.wm, tm = g.tm;
    for (int64_t i = 0; i < n; i++, src += step) {
        uint8_t dv = d[i], dm = dv & tm, s = *src & rm;
        int t = (((pb >> ((x0 + i) & 7)) & 1) << 1) | ((s | dm) >> 6);
        uint8_t e = g.tab[t][(s & 63) * 64 + (dm & 63)];
        d[i] = (uint8_t)((e & wm) | (dv & ~wm));
    }
}

int64_t draw_spr(const Gfx& g, const TypedArray* s, int64_t dx, int64_t dy, bool flip_x, bool flip_y) {
    if (!sprite_usable(s) || g.empty()) return 0;
    const int64_t W = s->width, H = s->height;
    int64_t x0 = std::max<int64_t>(dx, g.l), x1 = std::min<int64_t>(dx + W, g.r);
    int64_t y0 = std::max<int64_t>(dy, g.t), y1 = std::min<int64_t>(dy + H, g.b);
    if (x0 >= x1 || y0 >= y1) return 0;
    const uint8_t* data = ta_data(s);
    for (int64_t y = y0; y < y1; y++) {
        int64_t sy = flip_y ? H - 1 - (y - dy) : y - dy;
        const uint8_t* row = data + sy * W;
        if (flip_x) sprite_row(g, x0, y, row + (W - 1 - (x0 - dx)), -1, x1 - x0);
        else sprite_row(g, x0, y, row + (x0 - dx), 1, x1 - x0);
    }
    return (x1 - x0) * (y1 - y0);
}

int64_t draw_tline_sspr(const Gfx& g, const TypedArray* s, int64_t x0, int64_t y0, int64_t x1, int64_t y1,
                        double u0, double v0, double u1, double v1) {
    if (!sprite_usable(s)) return 0;
    LineSteps st;
    if (!gfx_line_steps(g, x0, y0, x1, y1, st)) return 0;
    if (st.swapped) {
        std::swap(u0, u1);
        std::swap(v0, v1);
    }
    const double du = st.n >= 1 ? (u1 - u0) / (double)st.n : 0, dv = st.n >= 1 ? (v1 - v0) / (double)st.n : 0;
    const int64_t W = s->width, H = s->height;
    const uint8_t* data = ta_data(s);
    double u = u0 + (double)st.first * du, v = v0 + (double)st.first * dv;
    for (int64_t k = st.first; k <= st.last; k++, u += du, v += dv) {
        int64_t x = (st.X + k * st.sx) >> 16, y = (st.Y + k * st.sy) >> 16;
        // The steps are clipped exactly; the test only guards the target.
        if (g.inside(x, y)) gfx_sprite_at(g, (int32_t)x, (int32_t)y, data[clamp_texel(v, H) * W + clamp_texel(u, W)]);
    }
    return st.last - st.first + 1;
}

namespace {

// Cuts one axis of sspr's source span [s, s + sn) to the sprite [0, size),
// cutting the destination span [d, d + dn) on the side that shows the cut part.
void cut_axis(int64_t& s, int64_t& sn, int64_t& d, int64_t& dn, bool flip, int64_t size) {
    if (s < 0) {
        __int128 cut = std::min<__int128>(-(__int128)s, sn);
        int64_t gone = (int64_t)((__int128)dn * cut / sn);
        if (!flip) d += gone;
        dn -= gone;
        sn -= (int64_t)cut;
        s = 0;
    }
    if (sn > 0 && (__int128)s + sn > size) {
        int64_t keep_src = std::max<int64_t>(size - s, 0);
        int64_t keep = (int64_t)((__int128)dn * keep_src / sn);
        if (flip) d += dn - keep;
        dn = keep;
        sn = keep_src;
    }
}

}  // namespace

int64_t draw_sspr(const Gfx& g, const TypedArray* s, int64_t sx, int64_t sy, int64_t sw, int64_t sh, int64_t dx,
                  int64_t dy, int64_t dw, int64_t dh, bool flip_x, bool flip_y) {
    if (!sprite_usable(s) || sw <= 0 || sh <= 0 || g.empty()) return 0;
    // Destination coordinates stay within 32 bits, so every line coordinate does too.
    dx = sat_i32(dx);
    dy = sat_i32(dy);
    dw = std::clamp<int64_t>(dw, -INT32_MAX, INT32_MAX);
    dh = std::clamp<int64_t>(dh, -INT32_MAX, INT32_MAX);
    if (dw < 0) {
        dx += dw;
        dw = -dw;
        flip_x = !flip_x;
    }
    if (dh < 0) {
        dy += dh;
        dh = -dh;
        flip_y = !flip_y;
    }
    cut_axis(sx, sw, dx, dw, flip_x, s->width);
    cut_axis(sy, sh, dy, dh, flip_y, s->height);
    if (sw <= 0 || sh <= 0 || dw <= 0 || dh <= 0) return 0;
    const double su = (double)sw / (double)dw, sv = (double)sh / (double)dh;
    int64_t cost = 0;
    if (dh < dw) {
        // Rows outside the clip draw nothing: only the visible ones are walked.
        int64_t r0 = std::max<int64_t>(0, g.t - dy), r1 = std::min<int64_t>(dh, g.b - dy);
        double ua = (double)sx + su / 2, ub = (double)sx + (double)sw - su / 2;
        if (flip_x) std::swap(ua, ub);
        for (int64_t r = r0; r < r1; r++) {
            double v = (double)(flip_y ? dh - 1 - r : r) * sv + (double)sy + sv / 2;
            cost += draw_tline_sspr(g, s, dx, dy + r, dx + dw - 1, dy + r, ua, v, ub, v);
        }
    } else {
        int64_t c0 = std::max<int64_t>(0, g.l - dx), c1 = std::min<int64_t>(dw, g.r - dx);
        double va = (double)sy + sv / 2, vb = (double)sy + (double)sh - sv / 2;
        if (flip_y) std::swap(va, vb);
        for (int64_t c = c0; c < c1; c++) {
            double u = (double)(flip_x ? dw - 1 - c : c) * su + (double)sx + su / 2;
            cost += draw_tline_sspr(g, s, dx + c, dy, dx + c, dy + dh - 1, u, va, u, vb);
        }
    }
    return cost;
}

int lua54_spr(lua_State* L) {
    Process* p = drawing_process();
    if (!p) return 0;
    Gfx g;
    GfxBatch b;
    if (gfx_batch_begin(L, 1, 5, b)) {
        gfx_begin(g, p, true);
        int64_t pixels = 0;
        for (int64_t i = 0; i < b.items; i++) {
            const double* e = b.e + b.start + i * b.stride;
            auto val = [&](int k) { return k < b.per ? e[k] : 0.0; };
            const TypedArray* s = slot_sprite(p, sat_floor(val(0)));
            if (!s) continue;
            // Batch coordinates are used as they are, without the camera.
            pixels += draw_spr(g, s, sat_i32(sat_floor(val(1))), sat_i32(sat_floor(val(2))), val(3) < 0,
                               val(4) < 0);
        }
        gfx_charge(3 * b.items + pixels / 3);
        return 0;
    }
    const TypedArray* s = sprite_arg(L, p, 1);
    if (!s) return 0;
    gfx_begin(g, p, true);
    int64_t x = gfx_coord(arg(L, 2), camera_x(p)), y = gfx_coord(arg(L, 3), camera_y(p));
    gfx_charge(draw_spr(g, s, x, y, lua_toboolean(L, 4), lua_toboolean(L, 5)), 3);
    return 0;
}

int lua54_sspr(lua_State* L) {
    Process* p = drawing_process();
    if (!p) return 0;
    const TypedArray* s = sprite_arg(L, p, 1);
    if (!sprite_usable(s)) return 0;
    int64_t sw = arg(L, 4, s->width), sh = arg(L, 5, s->height);
    Gfx g;
    gfx_begin(g, p, true);
    int64_t dx = gfx_coord(arg(L, 6), camera_x(p)), dy = gfx_coord(arg(L, 7), camera_y(p));
    gfx_charge(draw_sspr(g, s, arg(L, 2), arg(L, 3), sw, sh, dx, dy, arg(L, 8, sw), arg(L, 9, sh),
                         lua_toboolean(L, 10), lua_toboolean(L, 11)),
               3);
    return 0;
}

// ---- blit -----------------------------------------------------------------------

int lua54_blit(lua_State* L) {
    Process* p = cproc;
    TypedArray* target = p ? p->draw.target : nullptr;
    TypedArray* src = to_typed_array(L, 1);
    TypedArray* dst = to_typed_array(L, 2);
    if (!src) src = target;
    if (!dst) dst = target;
    if (!src || !dst || ta_tag(src) != ta_tag(dst)) return 0;
    int64_t sx = arg(L, 3), sy = arg(L, 4), dx = arg(L, 5), dy = arg(L, 6);
    int64_t w = arg(L, 7, src->width), h = arg(L, 8, src->height);
    if (w <= 0 || h <= 0) return 0;
    int64_t l = 0, t = 0, r = dst->width, b = dst->height;
    if (dst == target && gfx_derive_clip(p)) {
        l = p->draw.clip_l;
        t = p->draw.clip_t;
        r = p->draw.clip_r;
        b = p->draw.clip_b;
    }
    // The clip used lies inside the destination; anything else is a host fault.
    const char* broken = l < 0                        ? "CLIP_L >= 0"
                         : t < 0                      ? "CLIP_T >= 0"
                         : r > (int64_t)dst->width  ? "CLIP_R <= dest->width"
                         : b > (int64_t)dst->height ? "CLIP_B <= dest->height"
                                                      : nullptr;
    if (broken) {
        printf("\n** ASSERT failed: %s :: %s:%d in %s()\n\n", broken, __FILE__, __LINE__, __func__);
        return 0;
    }
    // The destination cut to the clip, the source moving with it; then the
    // source cut to its array, the destination moving with it.
    auto cut = [](int64_t& a, int64_t& other, int64_t& n, int64_t lo, int64_t hi) {
        if (a < lo) {
            int64_t k = sat_add(lo, -a);
            a = lo;
            other = sat_add(other, k);
            n = sat_add(n, -k);
        }
        if (n > 0 && sat_add(a, n) > hi) n = hi - a;
    };
    cut(dx, sx, w, l, r);
    cut(dy, sy, h, t, b);
    cut(sx, dx, w, 0, src->width);
    cut(sy, dy, h, 0, src->height);
    if (w <= 0 || h <= 0) return 0;
    const int es = ta_elem_size(src);
    const int64_t sstride = (int64_t)src->width * es, dstride = (int64_t)dst->width * es;
    const uint8_t* s = ta_data(src) + sy * sstride + sx * es;
    uint8_t* d = ta_data(dst) + dy * dstride + dx * es;
    // Within one array, rows moving down are copied from the bottom up.
    if (src == dst && dy > sy) {
        for (int64_t row = h - 1; row >= 0; row--) memmove(d + row * dstride, s + row * sstride, (size_t)(w * es));
    } else {
        for (int64_t row = 0; row < h; row++) memmove(d + row * dstride, s + row * sstride, (size_t)(w * es));
    }
    spend_cpu(w * h / 64);
    return 0;
}

// ---- maps -------------------------------------------------------------------------

namespace {

// A cell through textured lines: scaled to tw x th, or rotated.
int64_t draw_cell_scaled(const Gfx& g, const TypedArray* s, int64_t cx, int64_t cy, int64_t tw, int64_t th,
                         uint16_t cell) {
    const bool fx = cell & 0x4000, fy = cell & 0x8000, rot = cell & 0x2000;
    const double W = s->width, H = s->height;
    int64_t r0 = std::max<int64_t>(0, g.t - cy), r1 = std::min<int64_t>(th, g.b - cy);
    int64_t cost = 0;
    for (int64_t r = r0; r < r1; r++) {
        double across = (double)(fy ? th - 1 - r : r);
        if (!rot) {
            double step = H / (double)th, v = across * step + step / 2;
            double ua = W / (double)tw / 2, ub = W - ua;
            if (fx) std::swap(ua, ub);
            cost += draw_tline_sspr(g, s, cx, cy + r, cx + tw - 1, cy + r, ua, v, ub, v);
        } else {
            // Row r of the cell runs down column r of the sprite.
            double step = W / (double)th, u = across * step + step / 2;
            double va = H / (double)tw / 2, vb = H - va;
            if (fx) std::swap(va, vb);
            cost += draw_tline_sspr(g, s, cx, cy + r, cx + tw - 1, cy + r, u, va, u, vb);
        }
    }
    return cost;
}

// A tile size argument: the draw state's (0 meaning 256) when absent, an
// explicit 0 also 256; -1 for a negative one.
int64_t tile_size(lua_State* L, int idx, uint8_t state) {
    int64_t v = arg(L, idx, state ? state : 256);
    if (v < 0) return -1;
    return v == 0 ? 256 : std::min<int64_t>(v, INT32_MAX);
}

}  // namespace

int lua54_draw_map(lua_State* L) {
    Process* p = drawing_process();
    if (!p) return 0;
    const TypedArray* m = to_typed_array(L, 1);
    if (!m || ta_tag(m) != UT_I16) return 0;
    const int64_t mw = m->width, mh = m->height;
    int64_t mx = arg(L, 2), my = arg(L, 3), x = arg(L, 4), y = arg(L, 5);
    int64_t cw = arg(L, 6, sat_add(mw, -mx)), ch = arg(L, 7, sat_add(mh, -my));
    uint8_t mask = (uint8_t)arg(L, 8);
    int64_t tw = tile_size(L, 9, ds_u8(p, DS_TILE_W)), th = tile_size(L, 10, ds_u8(p, DS_TILE_H));
    if (tw < 0 || th < 0) return 0;
    // Cells left of or above the map: the window shrinks and moves on by as
    // many cells.
    if (mx < 0) {
        cw = sat_add(cw, mx);
        x = sat_add(x, sat_mul(-std::max<int64_t>(mx, -INT64_MAX), tw));
        mx = 0;
    }
    if (my < 0) {
        ch = sat_add(ch, my);
        y = sat_add(y, sat_mul(-std::max<int64_t>(my, -INT64_MAX), th));
        my = 0;
    }
    int64_t cols = std::min(cw, mw - std::min(mx, mw)), rows = std::min(ch, mh - std::min(my, mh));
    if (cols <= 0 || rows <= 0) return 0;
    Gfx g;
    gfx_begin(g, p, true);
    if (g.empty()) return 0;
    const __int128 ox = (__int128)x - camera_x(p), oy = (__int128)y - camera_y(p);
    // Only cells that reach into the clip are visited.
    auto visible = [](__int128 o, int64_t n, int64_t t, int64_t lo, int64_t hi, int64_t& first, int64_t& last) {
        first = o < lo ? (int64_t)std::min<__int128>((lo - o) / t, n) : 0;
        __int128 excess = o + (__int128)n * t - hi;
        last = excess > 0 ? n - (int64_t)std::min<__int128>(excess / t, n) : n;
    };
    int64_t c0, c1, r0, r1;
    visible(ox, cols, tw, g.l, g.r, c0, c1);
    visible(oy, rows, th, g.t, g.b, r0, r1);
    if (c0 >= c1 || r0 >= r1) return 0;
    const bool draw_zero = ds_u8(p, DS_PRINT_FLAGS) & 8;
    const int16_t* cells = ta_elems<int16_t>(m);
    int64_t cost = 0;
    for (int64_t r = r0; r < r1; r++) {
        const int64_t cy = (int64_t)(oy + (__int128)r * th);
        for (int64_t c = c0; c < c1; c++) {
            const uint16_t cell = (uint16_t)cells[(my + r) * mw + mx + c];
            const uint32_t n = cell & 0x1FFF;
            const TypedArray* s = p->spr.slot[n];
            if (!sprite_usable(s) || (n == 0 && !draw_zero) || (mask && !(sprite_flags(p, n) & mask))) continue;
            const int64_t cx = (int64_t)(ox + (__int128)c * tw);
            if (tw == s->width && th == s->height && !(cell & 0x2000))
                cost += draw_spr(g, s, cx, cy, cell & 0x4000, cell & 0x8000);
            else
                cost += draw_cell_scaled(g, s, cx, cy, tw, th, cell);
        }
    }
    gfx_charge(2 * (c1 - c0) * (r1 - r0) + cost / 3);
    return 0;
}

int lua54_mset(lua_State* L) {
    Process* p = cproc;
    TypedArray* m = p ? p->mem.current_map : nullptr;
    if (!m || ta_tag(m) != UT_I16) {
        host_line("mset no map");
        return 0;
    }
    int64_t x = arg(L, 1), y = arg(L, 2);
    if (x < 0 || y < 0 || x >= m->width || y >= m->height) return 0;
    ta_elems<int16_t>(m)[x + y * (int64_t)m->width] = (int16_t)(uint16_t)arg(L, 3);
    return 0;
}

int lua54_mget(lua_State* L) {
    Process* p = cproc;
    const TypedArray* m = p ? p->mem.current_map : nullptr;
    if (!m || ta_tag(m) != UT_I16) {
        host_line("mget no map");
        return 0;
    }
    int64_t x = arg(L, 1), y = arg(L, 2);
    if (x < 0 || y < 0 || x >= m->width || y >= m->height) return 0;
    lua_pushinteger(L, ta_elems<int16_t>(m)[x + y * (int64_t)m->width]);
    return 1;
}

int lua54_fset(lua_State* L) {
    Process* p = cproc;
    if (!p) return 0;
    uint32_t a = SPRITE_FLAGS | (uint32_t)(arg(L, 1) & 0x1FFF);
    if (lua_gettop(L) >= 3) {
        int64_t f = arg(L, 2) & 31;
        uint8_t v = peek_proc(p, a);
        if (f < 8) v = lua_toboolean(L, 3) ? (uint8_t)(v | 1 << f) : (uint8_t)(v & ~(1 << f));
        poke_proc(p, a, v);
    } else {
        poke_proc(p, a, (uint8_t)arg(L, 2));
    }
    return 0;
}

int lua54_fget(lua_State* L) {
    Process* p = cproc;
    if (!p) return 0;
    uint8_t v = peek_proc(p, SPRITE_FLAGS | (uint32_t)(arg(L, 1) & 0x1FFF));
    if (lua_isnoneornil(L, 2)) {
        lua_pushinteger(L, v);
        return 1;
    }
    int64_t f = arg(L, 2) & 31;
    lua_pushboolean(L, f < 8 && ((v >> f) & 1));
    return 1;
}

// ---- textured lines ---------------------------------------------------------------

int64_t draw_tline3d(const Gfx& g, const TypedArray* src, int64_t flags, double x0, double y0, double x1, double y1,
                     double u0, double v0, double u1, double v1, double w0, double w1, bool fast_ok) {
    const int tag = ta_tag(src);
    if ((tag != UT_U8 && tag != UT_I16) || src->width == 0 || src->height == 0) return 0;
    if (y1 < y0 || (y1 == y0 && x1 < x0)) {
        std::swap(x0, x1);
        std::swap(y0, y1);
        std::swap(u0, u1);
        std::swap(v0, v1);
        std::swap(w0, w1);
    }
    const double ax = std::fabs(x1 - x0), ay = std::fabs(y1 - y0);
    double len = std::max(ax, ay);
    if (!(len > 0)) len = 1e-5;
    const double du = (u1 - u0) / len, dv = (v1 - v0) / len, dw = (w1 - w0) / len;
    const double f = std::fmod(ax >= ay ? x0 : y0, 1.0);
    LineSteps st;
    if (!gfx_line_steps(g, sat_f2i32(x0), sat_f2i32(y0), sat_f2i32(x1), sat_f2i32(y1), st)) return 0;
    int64_t last = (flags & 0x100) ? std::min(st.last, st.n - 1) : st.last;
    if (last < st.first) return 0;
    double u = u0 + (double)st.first * du, v = v0 + (double)st.first * dv, w = w0 + (double)st.first * dw;
    if (flags & 0x200) {
        u += (1 - f) * du;
        v += (1 - f) * dv;
    }
    Process* p = g.p;
    const int64_t W = src->width, H = src->height;
    const int64_t uoff = ds_i16(p, DS_TLINE), voff = ds_i16(p, DS_TLINE + 2);
    const int64_t umask = (uint16_t)(ds_i16(p, DS_TLINE + 4) - 1), vmask = (uint16_t)(ds_i16(p, DS_TLINE + 6) - 1);
    auto texel = [&](double a, int64_t off, int64_t mask, int64_t n) {
        return wrap_to(off + (sat_floor(a) & mask), n);
    };
    const int64_t count = last - st.first + 1;
    if (tag == UT_U8) {
        const uint8_t* data = ta_data(src);
        const bool fast = g.rm == 0x3F && g.wm == 0x3F && g.tm == 0x3F && g.pat[0] == 0;
        uint64_t pattern = 0;
        memcpy(&pattern, g.pat, 8);
        if (fast && fast_ok && pattern == 0) {
            // Table 0 only: the texel's row, the destination's column, the
            // destination's two high bits kept.
            for (int64_t k = st.first; k <= last; k++, u += du, v += dv, w += dw) {
                int64_t x = (st.X + k * st.sx) >> 16, y = (st.Y + k * st.sy) >> 16;
                if (!g.inside(x, y)) continue;
                uint8_t t = data[texel(v / w, voff, vmask, H) * W + texel(u / w, uoff, umask, W)];
                uint8_t* d = g.pix + y * g.w + x;
                *d = (uint8_t)((g.tab[0][(t & 63) << 6 | (*d & 63)] & 0x3F) | (*d & 0xC0));
            }
        } else {
            for (int64_t k = st.first; k <= last; k++, u += du, v += dv, w += dw) {
                int64_t x = (st.X + k * st.sx) >> 16, y = (st.Y + k * st.sy) >> 16;
                if (!g.inside(x, y)) continue;
                gfx_sprite_at(g, (int32_t)x, (int32_t)y,
                              data[texel(v / w, voff, vmask, H) * W + texel(u / w, uoff, umask, W)]);
            }
        }
        return fast ? count / 2 : count;
    }
    const int16_t* cells = ta_elems<int16_t>(src);
    for (int64_t k = st.first; k <= last; k++, u += du, v += dv, w += dw) {
        int64_t x = (st.X + k * st.sx) >> 16, y = (st.Y + k * st.sy) >> 16;
        if (!g.inside(x, y)) continue;
        double uw = u / w, vw = v / w;
        uint16_t cell = (uint16_t)cells[texel(vw, voff, vmask, H) * W + texel(uw, uoff, umask, W)];
        const TypedArray* s = p->spr.slot[cell & 0x1FFF];
        uint8_t colour = 0;
        if (sprite_usable(s)) {
            int64_t sw = s->width, sh = s->height;
            int64_t px = wrap_to(sat_floor(uw * (double)sw), sw), py = wrap_to(sat_floor(vw * (double)sh), sh);
            if (cell & 0x4000) px = sw - 1 - px;
            if (cell & 0x8000) py = sh - 1 - py;
            colour = ta_data(s)[py * sw + px];
        }
        gfx_sprite_at(g, (int32_t)x, (int32_t)y, colour);
    }
    return count;
}

int lua54_tline3d(lua_State* L) {
    Process* p = drawing_process();
    if (!p) return 0;
    const double cx = camera_x(p), cy = camera_y(p);
    Gfx g;
    GfxBatch b;
    if (gfx_batch_begin(L, 1, 12, b)) {
        gfx_begin(g, p, true);
        int64_t cost = 1;
        for (int64_t i = 0; i < b.items; i++) {
            const double* e = b.e + b.start + i * b.stride;
            auto val = [&](int k, double dflt) { return k < b.per ? e[k] : dflt; };
            const TypedArray* s = p->spr.slot[sat_floor(val(0, 0)) & 0x1FFF];
            if (!s) continue;
            double x0 = val(1, 0), y0 = val(2, 0), x1 = val(3, 0), y1 = val(4, 0), u0 = val(5, 0), v0 = val(6, 0);
            cost += draw_tline3d(g, s, sat_floor(val(11, 0)), x0 - cx, y0 - cy, x1 - cx, y1 - cy, u0, v0,
                                 val(7, u0 + (x1 - x0)), val(8, v0 + (y1 - y0)), val(9, 1), val(10, 1));
        }
        gfx_charge(cost);
        return 0;
    }
    const TypedArray* src = to_typed_array(L, 1);
    if (lua_gettop(L) < 4 || !src) return 0;
    auto num = [&](int i) { return lua_type(L, i) == LUA_TNUMBER ? (double)lua_tonumber(L, i) : 0.0; };
    auto opt = [&](int i, double dflt) { return lua_isnoneornil(L, i) ? dflt : num(i); };
    double x0 = num(2), y0 = num(3), x1 = num(4), y1 = num(5), u0 = num(6), v0 = num(7);
    double u1 = opt(8, u0 + (x1 - x0)), v1 = opt(9, v0 + (y1 - y0)), w0 = opt(10, 1), w1 = opt(11, 1);
    gfx_begin(g, p, true);
    gfx_charge(draw_tline3d(g, src, arg(L, 12), x0 - cx, y0 - cy, x1 - cx, y1 - cy, u0, v0, u1, v1, w0, w1));
    return 0;
}
