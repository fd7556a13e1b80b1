// Sprites (spr, sspr), raw copies between arrays (blit), maps (_draw_map,
// mset, mget), sprite flags (fset, fget) and textured lines (tline3d).
#include "graphics/sprites.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif
#include <functional>
#include <utility>
#include <vector>

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

// Floor of a texture coordinate clamped to 0..n-1 (NaN gives 0).
inline int64_t clamp_texel(double v, int64_t n) {
    if (!(v >= 1)) return 0;
    if (v >= (double)(n - 1)) return n - 1;
    return (int64_t)v;
}

// sat_floor, quick for ordinary values: the truncating conversion gives
// INT64_MIN for NaN and values out of range, which take the slow way.
inline int64_t fast_floor(double a) {
#if defined(__SSE2__)
    int64_t i = _mm_cvttsd_si64(_mm_set_sd(a));
    if (__builtin_expect(i == INT64_MIN, 0)) return sat_floor(a);
    return i - (a < (double)i);
#else
    return sat_floor(a);
#endif
}

// x modulo n (n > 0), non-negative: a mask for powers of two.
inline int64_t wrap_to(int64_t x, int64_t n) {
    if ((n & (n - 1)) == 0) return x & (n - 1);
    int64_t m = x % n;
    return m < 0 ? m + n : m;
}

// The sprite blend with the snapshot's masks and tables in locals of its
// own: stores of pixel bytes (which may alias anything) then reload nothing.
struct Blender {
    uint8_t* pix;
    int64_t w;
    uint8_t rm, wm, tm;
    uint8_t pat[8];
    const uint8_t* tab[4];
    explicit Blender(const Gfx& g) : pix(g.pix), w(g.w), rm(g.rm), wm(g.wm), tm(g.tm) {
        memcpy(pat, g.pat, 8);
        for (int i = 0; i < 4; i++) tab[i] = g.tab[i];
    }
    // Neither source nor destination bits reach bit 6: table 0 unless the
    // pattern picks table 2.
    bool low() const { return (rm | tm) <= 0x3F; }
    void put(uint8_t* d, int64_t x, int64_t y, uint8_t sp) const {
        uint8_t dv = *d, dm = dv & tm, s = sp & rm;
        int t = (((pat[y & 7] >> (x & 7)) & 1) << 1) | ((s | dm) >> 6);
        uint8_t e = tab[t][(s & 63) * 64 + (dm & 63)];
        *d = (uint8_t)((e & wm) | (dv & ~wm));
    }
    // Row y can only use table 0.
    bool table0(int64_t y) const { return pat[y & 7] == 0 && low(); }
    // put, with a shorter way for rows that can only use table 0.
    void put_any(uint8_t* d, int64_t x, int64_t y, uint8_t sp) const;
};

// Table 0's blend with the masks in locals; M3F: all three masks are 0x3F
// (the usual state), as constants.
template <bool M3F>
struct Table0 {
    const uint8_t* t0;
    uint32_t rm, tm, wm, keep;
    explicit Table0(const Blender& b) : t0(b.tab[0]), rm(b.rm), tm(b.tm), wm(b.wm), keep((uint8_t)~b.wm) {}
    static bool masks_3f(const Blender& b) { return b.rm == 0x3F && b.tm == 0x3F && b.wm == 0x3F; }
    uint8_t operator()(uint32_t s, uint32_t dv) const {
        if (M3F) return (uint8_t)((t0[(s & 0x3F) << 6 | (dv & 0x3F)] & 0x3F) | (dv & 0xC0));
        return (uint8_t)((t0[(s & rm) << 6 | (dv & tm)] & wm) | (dv & keep));
    }
};

void Blender::put_any(uint8_t* d, int64_t x, int64_t y, uint8_t sp) const {
    if (table0(y)) *d = Table0<false>(*this)(sp, *d);
    else put(d, x, y, sp);
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
static inline void sprite_row(const Blender& b, int64_t x0, int64_t y, const uint8_t* src, int64_t step,
                              int64_t n) {
    uint8_t* d = b.pix + y * b.w + x0;
    if (b.table0(y)) {
        const Table0<false> t(b);
        for (int64_t i = 0; i < n; i++, src += step) d[i] = t(*src, d[i]);
        return;
    }
    for (int64_t i = 0; i < n; i++, src += step) b.put(d + i, x0 + i, y, *src);
}

int64_t draw_spr(const Gfx& g, const TypedArray* s, int64_t dx, int64_t dy, bool flip_x, bool flip_y) {
    if (!sprite_usable(s) || g.empty()) return 0;
    const int64_t W = s->width, H = s->height;
    int64_t x0 = std::max<int64_t>(dx, g.l), x1 = std::min<int64_t>(dx + W, g.r);
    int64_t y0 = std::max<int64_t>(dy, g.t), y1 = std::min<int64_t>(dy + H, g.b);
    if (x0 >= x1 || y0 >= y1) return 0;
    const uint8_t* data = ta_data(s);
    const Blender b(g);
    for (int64_t y = y0; y < y1; y++) {
        int64_t sy = flip_y ? H - 1 - (y - dy) : y - dy;
        const uint8_t* row = data + sy * W;
        if (flip_x) sprite_row(b, x0, y, row + (W - 1 - (x0 - dx)), -1, x1 - x0);
        else sprite_row(b, x0, y, row + (x0 - dx), 1, x1 - x0);
    }
    return (x1 - x0) * (y1 - y0);
}

namespace {

// Offsets into a sprite's bytes for the columns and rows of a scaled image,
// kept between calls (drawing runs on the main thread only).
std::vector<int64_t> off_x, off_y;

// Blends the rectangle from (xa, ya), xs.size() by ys.size() pixels, pixel
// (x, y) taking sprite byte ys[y - ya] + xs[x - xa].
void blend_offsets(const Blender& b, const uint8_t* data, int64_t xa, int64_t ya, const std::vector<int64_t>& xs,
                   const std::vector<int64_t>& ys) {
    const int64_t nx = (int64_t)xs.size(), ny = (int64_t)ys.size();
    const int64_t* ox = xs.data();
    for (int64_t j = 0; j < ny; j++) {
        const int64_t y = ya + j;
        const uint8_t* src = data + ys[j];
        uint8_t* d = b.pix + y * b.w + xa;
        if (b.table0(y)) {
            const Table0<false> t(b);
            for (int64_t i = 0; i < nx; i++) d[i] = t(src[ox[i]], d[i]);
        } else {
            for (int64_t i = 0; i < nx; i++) b.put(d + i, xa + i, y, src[ox[i]]);
        }
    }
}

}  // namespace

int64_t draw_parallel_lines(const Gfx& g, const TypedArray* s, bool horizontal, int64_t start, int64_t len,
                            int64_t pos0, int64_t lines, double a0, double a1, bool along_u,
                            const std::function<double(int64_t)>& across) {
    if (!sprite_usable(s) || len < 1 || lines < 1 || g.empty()) return 0;
    // The lines that lie inside the clip across their direction.
    const int64_t lo = horizontal ? g.t : g.l, hi = horizontal ? g.b : g.r;
    const int64_t i0 = std::max<int64_t>(0, lo - pos0), i1 = std::min<int64_t>(lines, hi - pos0);
    if (i0 >= i1) return 0;
    // Every such line is cut alike along its direction: its steps are those
    // of the first one, and so are its coordinates along it.
    LineSteps st;
    bool visible = horizontal ? gfx_line_steps(g, start, pos0 + i0, start + len - 1, pos0 + i0, st)
                              : gfx_line_steps(g, pos0 + i0, start, pos0 + i0, start + len - 1, st);
    if (!visible) return 0;
    const int64_t W = s->width, H = s->height;
    const int64_t along_n = along_u ? W : H, across_n = along_u ? H : W;
    const int64_t along_scale = along_u ? 1 : W, across_scale = along_u ? W : 1;
    // Steps run one pixel apart (a line of len pixels has len - 1 steps).
    const int64_t first_pos = horizontal ? (st.X + st.first * st.sx) >> 16 : (st.Y + st.first * st.sy) >> 16;
    // The line drawer's clip is exact; this only guards the target.
    const int64_t alo = horizontal ? g.l : g.t, ahi = horizontal ? g.r : g.b;
    if (first_pos < alo || first_pos + (st.last - st.first) >= ahi) return 0;
    std::vector<int64_t>& along = horizontal ? off_x : off_y;
    std::vector<int64_t>& across_off = horizontal ? off_y : off_x;
    along.clear();
    across_off.clear();
    const double da = st.n >= 1 ? (a1 - a0) / (double)st.n : 0;
    double a = a0 + (double)st.first * da;
    for (int64_t k = st.first; k <= st.last; k++, a += da) along.push_back(clamp_texel(a, along_n) * along_scale);
    for (int64_t i = i0; i < i1; i++) across_off.push_back(clamp_texel(across(i), across_n) * across_scale);
    const Blender b(g);
    if (horizontal) blend_offsets(b, ta_data(s), first_pos, pos0 + i0, off_x, off_y);
    else blend_offsets(b, ta_data(s), pos0 + i0, first_pos, off_x, off_y);
    return (i1 - i0) * (st.last - st.first + 1);
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
    if (dh < dw) {
        // dh rows from dx to dx + dw - 1; u runs along them, v is per row.
        double ua = (double)sx + su / 2, ub = (double)sx + (double)sw - su / 2;
        if (flip_x) std::swap(ua, ub);
        return draw_parallel_lines(g, s, true, dx, dw, dy, dh, ua, ub, true, [&](int64_t r) {
            return (double)(flip_y ? dh - 1 - r : r) * sv + (double)sy + sv / 2;
        });
    }
    // dw columns from dy to dy + dh - 1; v runs along them, u is per column.
    double va = (double)sy + sv / 2, vb = (double)sy + (double)sh - sv / 2;
    if (flip_y) std::swap(va, vb);
    return draw_parallel_lines(g, s, false, dy, dh, dx, dw, va, vb, false, [&](int64_t c) {
        return (double)(flip_x ? dw - 1 - c : c) * su + (double)sx + su / 2;
    });
}

int lua54_spr(lua_State* L) {
    Process* p = drawing_process();
    if (!p) return 0;
    Gfx g;
    GfxBatch b;
    if (gfx_batch_begin(L, 1, 5, b)) {
        gfx_begin(g, p, true);
        int64_t pixels = 0;
        GfxMeter meter(L);
        for (int64_t i = 0; i < b.items; i++) {
            const double* e = b.e + b.start + i * b.stride;
            auto val = [&](int k) { return k < b.per ? e[k] : 0.0; };
            const TypedArray* s = slot_sprite(p, sat_floor(val(0)));
            // Batch coordinates are used as they are, without the camera.
            if (s)
                pixels += draw_spr(g, s, sat_i32(sat_floor(val(1))), sat_i32(sat_floor(val(2))), val(3) < 0,
                                   val(4) < 0);
            meter.to(3 * (i + 1) + pixels / 3);
        }
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
            __int128 gap = (__int128)lo - a;
            int64_t k = gap > INT64_MAX ? INT64_MAX : (int64_t)gap;
            a = lo;
            other = sat_add(other, k);
            n = sat_add(n, -k);
        }
        // An empty clip may end left of 0: past hi nothing is left.
        if (n > 0 && sat_add(a, n) > hi) n = a > hi ? 0 : hi - a;
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
    // Charged per 64 bytes copied: elements wider than a byte cost as much
    // host time as that many bytes.
    spend_cpu(w * h * es / 64);
    return 0;
}

// ---- maps -------------------------------------------------------------------------

namespace {

// A cell through textured lines: th rows of tw pixels, scaled or rotated.
int64_t draw_cell_scaled(const Gfx& g, const TypedArray* s, int64_t cx, int64_t cy, int64_t tw, int64_t th,
                         uint16_t cell) {
    const bool fx = cell & 0x4000, fy = cell & 0x8000, rot = cell & 0x2000;
    const double W = s->width, H = s->height;
    if (!rot) {
        double step = H / (double)th, ua = W / (double)tw / 2, ub = W - ua;
        if (fx) std::swap(ua, ub);
        return draw_parallel_lines(g, s, true, cx, tw, cy, th, ua, ub, true, [&](int64_t r) {
            return (double)(fy ? th - 1 - r : r) * step + step / 2;
        });
    }
    // Row r of the cell runs down column r of the sprite.
    double step = W / (double)th, va = H / (double)tw / 2, vb = H - va;
    if (fx) std::swap(va, vb);
    return draw_parallel_lines(g, s, true, cx, tw, cy, th, va, vb, false, [&](int64_t r) {
        return (double)(fy ? th - 1 - r : r) * step + step / 2;
    });
}

// Scaled cells wholly inside the clip all take their texels alike: the
// offsets that one such cell's textured lines leave in off_x and off_y serve
// every later one of the same sprite size and rotate and flip bits (the tile
// size is the call's), which is then only blended.
struct ScaledCells {
    struct Kept {
        int64_t w = -1, h = 0;  // sprite size the offsets are for; -1: none
        std::vector<int64_t> xs, ys;
    } kept[8];                  // by the cell's bits 13-15
    int64_t draw(const Gfx& g, const Blender& b, const TypedArray* s, int64_t cx, int64_t cy, int64_t tw, int64_t th,
                 uint16_t cell) {
        const bool inside = cx >= g.l && cy >= g.t && cx + tw <= g.r && cy + th <= g.b;
        Kept& k = kept[cell >> 13];
        if (inside && k.w == s->width && k.h == s->height) {
            blend_offsets(b, ta_data(s), cx, cy, k.xs, k.ys);
            return tw * th;
        }
        int64_t n = draw_cell_scaled(g, s, cx, cy, tw, th, cell);
        if (inside && n == tw * th) {
            k.w = s->width;
            k.h = s->height;
            k.xs = off_x;
            k.ys = off_y;
        }
        return n;
    }
};

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
    // The most negative mx or my has no negation; one more saturates alike.
    int64_t cw = arg(L, 6, sat_add(mw, -std::max<int64_t>(mx, -INT64_MAX)));
    int64_t ch = arg(L, 7, sat_add(mh, -std::max<int64_t>(my, -INT64_MAX)));
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
    GfxMeter meter(L);
    const Blender b(g);
    ScaledCells scaled;
    for (int64_t r = r0; r < r1; r++) {
        meter.to(2 * (c1 - c0) * (r - r0) + cost / 3);
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
                cost += scaled.draw(g, b, s, cx, cy, tw, th, cell);
        }
    }
    meter.to(2 * (c1 - c0) * (r1 - r0) + cost / 3);
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

namespace {

// A line is drawn in runs: a run's colours are read from the source first,
// then blended, each half in a loop of its own.
constexpr int64_t TL_RUN = 256;

// How texel coordinates are walked: doubles divided by w, doubles with w 1
// all along, the same in 0..2^28, or exact fixed point (w 1).
enum TWalk { T_PERSP, T_UNIT, T_POS, T_FIXED };

template <TWalk WALK>
inline int64_t walk_floor(double a) {
    return WALK == T_POS ? (int64_t)a : fast_floor(a);
}

// One axis of tline3d's texel address: the coordinate floored, masked with
// wrap - 1 (16 bits), offset, then taken modulo the source size.
struct TexAxis {
    int64_t off, mask, n;
    // off + (f & mask) lies in -32768..98302: bias (a multiple of n) makes it
    // non-negative and below 2^32, where the modulo is two multiplications
    // by inv = ceil(2^64 / n) instead of a divide.
    int64_t bias;
    uint64_t inv;
    bool divide;  // the plain modulo: sizes past 2^17, and the reference path
    void init(int64_t o, int64_t m, int64_t size, bool reference) {
        off = o, mask = m, n = size;
        bias = (32768 + n - 1) / n * n;
        inv = UINT64_MAX / (uint64_t)n + 1;
        divide = reference || n > 0x1FFFF;
    }
    template <bool POW2>
    int64_t wrap(int64_t f) const {
        int64_t v = off + (f & mask);
        if (POW2) return v & (n - 1);
        if (divide) return wrap_to(v, n);
        uint64_t a = (uint64_t)(v + bias);
        return (int64_t)(((unsigned __int128)(inv * a) * (uint64_t)n) >> 64);
    }
    template <bool POW2, TWalk WALK = T_UNIT>
    int64_t at(double a) const { return wrap<POW2>(walk_floor<WALK>(a)); }
    bool pow2() const { return (n & (n - 1)) == 0; }
};

// x as 32.32 fixed point: a with a * 2^-32 == x exactly and |a| < 2^53.
bool fixed_of(double x, int64_t& a) {
    const double s = std::ldexp(x, 32);
    if (!(std::fabs(s) < 0x1p53) || s != std::floor(s)) return false;
    a = (int64_t)s;
    return true;
}

// Steps x, x + dx, ... (count values) in fixed point as a, a + b, ... when
// every sum is a multiple of 2^-32 below 2^53 in size: then each double
// addition of the walk is exact, and floors of the fixed values are those of
// the doubles bit for bit.
bool fixed_walk(double x, double dx, int64_t count, int64_t& a, int64_t& b) {
    if (!fixed_of(x, a) || !fixed_of(dx, b)) return false;
    const __int128 end = (__int128)a + (__int128)b * (count - 1), lim = (__int128)1 << 53;
    return end > -lim && end < lim;
}

// Whether every value of the walk x, x + dx, ... (count values, each sum
// rounded) lies in 0..2^28: then the floor of any such value (or of its
// product with a size below 2^32) is a plain truncation. Rounding keeps the
// walk monotonic, and below 2^28 each sum is off by at most 2^-26.
bool walk_in_range(double x, double dx, int64_t count) {
    const double end = x + (double)(count - 1) * dx, slack = (double)count * 0x1p-24 + 0x1p-20;
    if (!(x >= 0 && x < 0x1p28)) return false;
    return dx >= 0 ? end + slack < 0x1p28 : end - slack >= 0;
}


// Where a run's colours go: into a buffer, or blended straight onto a row
// with table 0.
struct ToRun {
    uint8_t* c;
    void operator()(int64_t i, uint8_t colour) const { c[i] = colour; }
};
template <bool M3F>
struct ToRow {
    uint8_t* d;
    Table0<M3F> t;
    void operator()(int64_t i, uint8_t colour) const { d[i] = t(colour, d[i]); }
};

// One axis of a map cell's sprite.
struct CellAxis {
    int64_t n = 1;
    double fn = 1;
    bool pow2 = true;
    // Products of fixed-point coordinates with the size are exact in doubles
    // too: the fraction alone then gives the pixel.
    bool fix = false;
    // Flips as (p ^ neg) + add: n - 1 - p when flipped, else p.
    int64_t neg = 0, add = 0;

    void set(int64_t size, bool fixed, int64_t lim, bool flip) {
        n = size, fn = (double)size, pow2 = (size & (size - 1)) == 0;
        fix = fixed && (pow2 || size <= lim);
        neg = flip ? -1 : 0, add = neg & size;
    }
    // The pixel at coordinate c (in map cells); a is c in 32.32 fixed point
    // when fix is set.
    template <TWalk WALK>
    int64_t at(int64_t a, double c) const {
        int64_t p;
        if (WALK == T_FIXED && fix) {
            p = (int64_t)(((uint64_t)a & 0xFFFFFFFF) * (uint64_t)n >> 32);
        } else {
            const int64_t f = walk_floor<WALK>(c * fn);
            p = pow2 ? f & (n - 1) : wrap_to(f, n);
        }
        return (p ^ neg) + add;
    }
};

// The map source's sprite for the last cell read: neighbouring pixels mostly
// share a cell.
struct CellSprite {
    // The cell's floored coordinates: the map is read again only when they change.
    bool known = false;
    int64_t fu = 0, fv = 0;
    int32_t cell = -1;
    const uint8_t* sd = nullptr;  // the cell's sprite row with ROW, else its pixels
    CellAxis x, y;
};

struct TLine {
    const Gfx& g;
    const LineSteps& st;
    int64_t first, last;
    double u, v, w, du, dv, dw;
    TexAxis ax, ay;
    // u and v in fixed point (with T_FIXED); v only when not ROW.
    int64_t au = 0, bu = 0, av = 0, bv = 0;
    // Sprite sizes up to these keep fixed-point products exact.
    int64_t xlim = 0, ylim = 0;

    // The line drawer's clip is exact and the steps move monotonically, so
    // both end points inside the clip put every step inside; this only guards
    // the target.
    bool inside() const {
        return g.inside((st.X + first * st.sx) >> 16, (st.Y + first * st.sy) >> 16) &&
               g.inside((st.X + last * st.sx) >> 16, (st.Y + last * st.sy) >> 16);
    }

    // Sets up T_FIXED: u (and v unless row) walked exactly in fixed point.
    bool fixed(bool row) {
        const int64_t count = last - first + 1;
        if (!fixed_walk(u, du, count, au, bu)) return false;
        if (!row && !fixed_walk(v, dv, count, av, bv)) return false;
        auto lim = [&](int64_t a, int64_t b) {
            const int64_t m = std::max(std::abs(a), std::abs(a + b * (count - 1)));
            return m ? (int64_t)((((int64_t)1 << 53) - 1) / m) : INT64_MAX;
        };
        xlim = lim(au, bu);
        ylim = row ? 0 : lim(av, bv);
        return true;
    }

    // Colours c[0..n) of the next n pixels of a u8 source. ROW: v is the same
    // all along (w 1), so every texel is on the row starting at data[row].
    template <TWalk WALK, bool POW2, bool ROW>
    void u8_run(uint8_t* c, int64_t n, const uint8_t* data, int64_t W, int64_t row) {
        // Locals throughout: colour stores may alias anything reached through this.
        const TexAxis ax = this->ax, ay = this->ay;
        if constexpr (WALK == T_FIXED) {
            int64_t a = au, va = av;
            const int64_t b = bu, vb = bv;
            for (int64_t i = 0; i < n; i++, a += b) {
                c[i] = data[(ROW ? row : ay.wrap<POW2>(va >> 32) * W) + ax.wrap<POW2>(a >> 32)];
                if (!ROW) va += vb;
            }
            au = a, av = va;
        } else {
            double u = this->u, v = this->v, w = this->w;
            const double du = this->du, dv = this->dv, dw = this->dw;
            for (int64_t i = 0; i < n; i++, u += du, v += dv) {
                const double uw = WALK != T_PERSP ? u : u / w, vw = WALK != T_PERSP ? v : v / w;
                c[i] = data[(ROW ? row : ay.at<POW2, WALK>(vw) * W) + ax.at<POW2, WALK>(uw)];
                if (WALK == T_PERSP) w += dw;
            }
            this->u = u, this->v = v, this->w = w;
        }
    }

    // Colours of the next n pixels of an i16 map source, given to out. ROW
    // (with w 1): v is the same all along, so the cells are on the map row
    // starting at cells[row] and each sprite is read on one row.
    template <TWalk WALK, bool POW2, bool ROW, typename Out>
    void map_run(const Out out_, int64_t n, const int16_t* cells, int64_t W, int64_t row, CellSprite& cs) {
        // Locals throughout: colour stores may alias anything reached through this.
        const Out out = out_;
        const TexAxis ax = this->ax, ay = this->ay;
        const TypedArray* const* slots = g.p->spr.slot;
        const int64_t xlim = this->xlim, ylim = this->ylim;
        CellSprite s = cs;
        double u = this->u, v = this->v, w = this->w;
        const double du = this->du, dv = this->dv, dw = this->dw;
        int64_t a = au, va = av;
        const int64_t b = bu, vb = bv;
        for (int64_t i = 0; i < n; i++) {
            double uw, vw;
            int64_t fu, fv;
            if constexpr (WALK == T_FIXED) {
                uw = (double)a * 0x1p-32, vw = ROW ? v : (double)va * 0x1p-32;
                fu = a >> 32, fv = va >> 32;
            } else {
                uw = WALK != T_PERSP ? u : u / w, vw = WALK != T_PERSP ? v : v / w;
                fu = walk_floor<WALK>(uw), fv = ROW ? 0 : walk_floor<WALK>(vw);
            }
            if (fu != s.fu || fv != s.fv || !s.known) {
                s.known = true, s.fu = fu, s.fv = fv;
                const uint16_t cell = (uint16_t)cells[(ROW ? row : ay.wrap<POW2>(fv) * W) + ax.wrap<POW2>(fu)];
                if (cell != s.cell) {
                    s.cell = cell;
                    const TypedArray* sp = slots[cell & 0x1FFF];
                    s.sd = sprite_usable(sp) ? ta_data(sp) : nullptr;
                    s.x.set(s.sd ? sp->width : 1, WALK == T_FIXED, xlim, cell & 0x4000);
                    s.y.set(s.sd ? sp->height : 1, WALK == T_FIXED && !ROW, ylim, cell & 0x8000);
                    // The row's walk may leave 0..2^28: its floor is a full one.
                    if (s.sd && ROW) s.sd += s.y.at<T_UNIT>(0, vw) * s.x.n;
                }
            }
            uint8_t colour = 0;
            if (s.sd) {
                const int64_t px = s.x.at<WALK>(a, uw), py = ROW ? 0 : s.y.at<WALK>(va, vw);
                colour = s.sd[py * s.x.n + px];
            }
            out(i, colour);
            if constexpr (WALK == T_FIXED) {
                a += b;
                if (!ROW) va += vb;
            } else {
                u += du, v += dv;
                if (WALK == T_PERSP) w += dw;
            }
        }
        cs = s;
        this->u = u, this->v = v, this->w = w;
        au = a, av = va;
    }

    // Blends c[0..n) onto the n steps from (X, Y). reference: every pixel
    // through put_any (tests compare the shorter ways against it).
    static void blend_run(const Blender& b, bool reference, int64_t X, int64_t Y, int64_t sx, int64_t sy,
                          const uint8_t* c, int64_t n) {
        uint64_t pattern;
        memcpy(&pattern, b.pat, 8);
        const bool row0 = sy == 0 && b.pat[(Y >> 16) & 7] == 0;
        if (!reference && b.low() && (pattern == 0 || row0)) {
            // Table 0 only: no pattern bit is set where the run lands.
            uint8_t* const pix = b.pix;
            const int64_t w = b.w;
            if (sy == 0 && sx == 65536) {
                uint8_t* d = pix + (Y >> 16) * w + (X >> 16);
                auto row = [&]<bool M3F>() {
                    const Table0<M3F> t(b);
                    for (int64_t i = 0; i < n; i++) d[i] = t(c[i], d[i]);
                };
                Table0<true>::masks_3f(b) ? row.template operator()<true>() : row.template operator()<false>();
                return;
            }
            const Table0<false> t(b);
            for (int64_t i = 0; i < n; i++, X += sx, Y += sy) {
                uint8_t* d = pix + (Y >> 16) * w + (X >> 16);
                *d = t(c[i], *d);
            }
            return;
        }
        if (!reference && sy == 0 && sx == 65536) {
            // A row: its pattern byte is read once.
            const int64_t x0 = X >> 16, y = Y >> 16;
            const uint32_t pr = b.pat[y & 7], rm = b.rm, wm = b.wm, tm = b.tm, keep = (uint8_t)~b.wm;
            const uint8_t* const tab[4] = {b.tab[0], b.tab[1], b.tab[2], b.tab[3]};
            uint8_t* d = b.pix + y * b.w + x0;
            for (int64_t i = 0; i < n; i++) {
                const uint32_t dv = d[i], dm = dv & tm, s = c[i] & rm;
                const uint32_t t = ((pr >> ((x0 + i) & 7)) & 1) << 1 | (s | dm) >> 6;
                const uint32_t e = tab[t][(s & 63) << 6 | (dm & 63)];
                d[i] = (uint8_t)((e & wm) | (dv & keep));
            }
            return;
        }
        for (int64_t i = 0; i < n; i++, X += sx, Y += sy) {
            const int64_t x = X >> 16, y = Y >> 16;
            b.put_any(b.pix + y * b.w + x, x, y, c[i]);
        }
    }

    // Draws the line, reading each run's colours with read(c, n).
    template <typename Read>
    int64_t draw(bool reference, Read read) {
        if (!inside()) return 0;
        const Blender b(g);
        const int64_t sx = st.sx, sy = st.sy;
        int64_t X = st.X + first * sx, Y = st.Y + first * sy;
        uint8_t c[TL_RUN];
        for (int64_t k = first; k <= last;) {
            const int64_t n = std::min(TL_RUN, last - k + 1);
            read(c, n);
            blend_run(b, reference, X, Y, sx, sy, c, n);
            k += n, X += n * sx, Y += n * sy;
        }
        return last - first + 1;
    }

    // The line's first pixel when it runs left to right along a row that uses
    // table 0 only, else null.
    uint8_t* table0_row(const Blender& b) const {
        if (st.sy != 0 || st.sx != 65536 || !inside()) return nullptr;
        const int64_t y = st.Y >> 16;
        if (!b.table0(y)) return nullptr;
        return b.pix + y * b.w + ((st.X + first * st.sx) >> 16);
    }

    // A span (one texture row) left to right onto a row that uses table 0
    // only: read and blend in one loop. False when the line is no such span.
    template <TWalk WALK, bool POW2>
    bool u8_span(const uint8_t* texels) {
        const Blender b(g);
        uint8_t* d = table0_row(b);
        if (!d) return false;
        auto span = [&]<bool M3F>() {
            const Table0<M3F> t(b);
            const TexAxis ax = this->ax;
            int64_t a = au;
            const int64_t bu = this->bu;
            double u = this->u;
            const double du = this->du;
            for (int64_t i = 0, n = last - first + 1; i < n; i++) {
                int64_t f;
                if constexpr (WALK == T_FIXED) f = a >> 32, a += bu;
                else f = walk_floor<WALK>(u), u += du;
                d[i] = t(texels[ax.wrap<POW2>(f)], d[i]);
            }
        };
        Table0<true>::masks_3f(b) ? span.template operator()<true>() : span.template operator()<false>();
        return true;
    }

    template <TWalk WALK, bool POW2, bool ROW>
    int64_t u8(const TypedArray* src, bool reference) {
        const uint8_t* data = ta_data(src);
        const int64_t W = src->width, row = ROW ? ay.at<POW2>(v) * W : 0;
        if constexpr (ROW && WALK != T_PERSP) {
            if (!reference && u8_span<WALK, POW2>(data + row)) return last - first + 1;
        }
        return draw(reference, [&](uint8_t* c, int64_t n) { u8_run<WALK, POW2, ROW>(c, n, data, W, row); });
    }

    template <TWalk WALK, bool POW2, bool ROW>
    int64_t map(const TypedArray* src, bool reference) {
        const int16_t* cells = ta_elems<int16_t>(src);
        const int64_t W = src->width, row = ROW ? ay.at<POW2>(v) * W : 0;
        CellSprite cs;
        if (!reference && WALK != T_PERSP) {
            // Along a row that uses table 0: read and blend in one loop.
            const Blender b(g);
            if (uint8_t* d = table0_row(b)) {
                const int64_t count = last - first + 1;
                if (Table0<true>::masks_3f(b))
                    map_run<WALK, POW2, ROW>(ToRow<true>{d, Table0<true>(b)}, count, cells, W, row, cs);
                else
                    map_run<WALK, POW2, ROW>(ToRow<false>{d, Table0<false>(b)}, count, cells, W, row, cs);
                return count;
            }
        }
        return draw(reference, [&](uint8_t* c, int64_t n) { map_run<WALK, POW2, ROW>(ToRun{c}, n, cells, W, row, cs); });
    }

    // The source's walk chosen: w 1 with v fixed gives ROW; fixed point where
    // it is exact, else truncating floors where the walk stays in range.
    // reference: doubles, divides and put_any only (tests compare the rest
    // against it).
    template <bool MAP, bool POW2>
    int64_t run(const TypedArray* src, bool unit_w, bool reference) {
        auto go = [&]<TWalk WALK, bool ROW>() {
            return MAP ? map<WALK, POW2, ROW>(src, reference) : u8<WALK, POW2, ROW>(src, reference);
        };
        if (!unit_w) return go.template operator()<T_PERSP, false>();
        const bool row = dv == 0;
        if (!reference && fixed(row))
            return row ? go.template operator()<T_FIXED, true>() : go.template operator()<T_FIXED, false>();
        const int64_t count = last - first + 1;
        if (!reference && walk_in_range(u, du, count) && (row || walk_in_range(v, dv, count)))
            return row ? go.template operator()<T_POS, true>() : go.template operator()<T_POS, false>();
        return row ? go.template operator()<T_UNIT, true>() : go.template operator()<T_UNIT, false>();
    }
};

}  // namespace

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
    const double f = std::fmod(ax >= ay ? x0 : y0, 1.0);
    LineSteps st;
    if (!gfx_line_steps(g, sat_f2i32(x0), sat_f2i32(y0), sat_f2i32(x1), sat_f2i32(y1), st)) return 0;
    int64_t last = (flags & 0x100) ? std::min(st.last, st.n - 1) : st.last;
    if (last < st.first) return 0;
    TLine t{g, st, st.first, last, 0, 0, 0, (u1 - u0) / len, (v1 - v0) / len, (w1 - w0) / len, {}, {}};
    t.u = u0 + (double)st.first * t.du;
    t.v = v0 + (double)st.first * t.dv;
    t.w = w0 + (double)st.first * t.dw;
    if (flags & 0x200) {
        t.u += (1 - f) * t.du;
        t.v += (1 - f) * t.dv;
    }
    Process* p = g.p;
    const bool ref = !fast_ok;
    t.ax.init(ds_i16(p, DS_TLINE), (uint16_t)(ds_i16(p, DS_TLINE + 4) - 1), src->width, ref);
    t.ay.init(ds_i16(p, DS_TLINE + 2), (uint16_t)(ds_i16(p, DS_TLINE + 6) - 1), src->height, ref);
    const bool unit_w = w0 == 1 && w1 == 1;
    const bool pow2 = !ref && t.ax.pow2() && t.ay.pow2();
    if (tag == UT_U8) {
        const int64_t count = pow2 ? t.run<false, true>(src, unit_w, ref) : t.run<false, false>(src, unit_w, ref);
        // The cost is halved when the masks are 0x3F and pattern row 0 is clear.
        const bool fast = g.rm == 0x3F && g.wm == 0x3F && g.tm == 0x3F && g.pat[0] == 0;
        return fast ? count / 2 : count;
    }
    return pow2 ? t.run<true, true>(src, unit_w, ref) : t.run<true, false>(src, unit_w, ref);
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
        GfxMeter meter(L);
        meter.to(cost);
        for (int64_t i = 0; i < b.items; i++) {
            const double* e = b.e + b.start + i * b.stride;
            auto val = [&](int k, double dflt) { return k < b.per ? e[k] : dflt; };
            const TypedArray* s = p->spr.slot[sat_floor(val(0, 0)) & 0x1FFF];
            if (!s) continue;
            double x0 = val(1, 0), y0 = val(2, 0), x1 = val(3, 0), y1 = val(4, 0), u0 = val(5, 0), v0 = val(6, 0);
            cost += draw_tline3d(g, s, sat_floor(val(11, 0)), x0 - cx, y0 - cy, x1 - cx, y1 - cy, u0, v0,
                                 val(7, u0 + (x1 - x0)), val(8, v0 + (y1 - y0)), val(9, 1), val(10, 1));
            meter.to(cost);
        }
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
