// Draw state, colour tables and palettes: the default tables, the colour word
// and fill pattern, the draw target and its cached clip, the per-call snapshot,
// spans, and the palette globals (pal, palt, color, fillp, camera, clip, cursor).
#include <algorithm>
#include <array>
#include <cstring>

#include "graphics/gfx.h"
#include "graphics/gfx_api.h"
#include "graphics/graphics.h"
#include "lua.h"
#include "lauxlib.h"

const uint32_t system_palette[64] = {
    0x000000, 0x1D2B53, 0x7E2553, 0x008751, 0xAB5236, 0x5F574F, 0xC2C3C7, 0xFFF1E8,
    0xFF004D, 0xFFA300, 0xFFEC27, 0x00E436, 0x29ADFF, 0x83769C, 0xFF77A8, 0xFFCCAA,
    0x2463B0, 0x00A5A1, 0x654688, 0x125359, 0x742F29, 0x452D32, 0xA28879, 0xFFACC5,
    0xB9003E, 0xE26B02, 0x95F042, 0x00B251, 0x64DFF6, 0xBD9ADF, 0xE40DAB, 0xFF8557,
};
uint8_t default_coltabs[4 * 4096];
uint8_t default_indexed_pal[64];
uint32_t default_system_pal[256];

void init_default_coltabs() {
    for (int r = 0; r < 64; r++)
        for (int c = 0; c < 64; c++) {
            default_coltabs[r * 64 + c] = (uint8_t)(r == 0 ? c : 0xC0 | r);
            for (int t = 1; t < 4; t++) default_coltabs[t * 4096 + r * 64 + c] = (uint8_t)(c | (t << 6));
        }
    for (int i = 0; i < 64; i++) default_indexed_pal[i] = (uint8_t)i;
    for (int i = 0; i < 256; i++) default_system_pal[i] = system_palette[i & 63];
}

void convert_bitmap_8_to_32(const uint8_t* pixels, uint8_t* out, int64_t count) {
    uint32_t pal[64];
    for (int i = 0; i < 64; i++) {
        if (cproc) memcpy(&pal[i], ds_page(cproc) + (DS_RGB_PAL & 0xFFF) + 4 * i, 4);
        else pal[i] = system_palette[i];
    }
    for (int64_t i = 0; i < count; i++) {
        uint32_t v = pal[pixels[i] & 63];  // the table has 64 entries
        out[4 * i] = (uint8_t)(v >> 16);
        out[4 * i + 1] = (uint8_t)(v >> 8);
        out[4 * i + 2] = (uint8_t)v;
        out[4 * i + 3] = 255;
    }
}

// ---- colour word, pattern, target, clip ----------------------------------------

static uint8_t reverse4(uint32_t v) {
    return (uint8_t)(((v & 1) << 3) | ((v & 2) << 1) | ((v & 4) >> 1) | ((v & 8) >> 3));
}

void gfx_set_fillp16(Process* p, uint32_t pattern) {
    uint8_t* ds = ds_page(p);
    for (int k = 0; k < 4; k++) {
        uint8_t r = reverse4((pattern >> (12 - 4 * k)) & 0xF);
        ds[(DS_FILL_PATTERN & 0xFFF) + k] = ds[(DS_FILL_PATTERN & 0xFFF) + k + 4] = (uint8_t)(r | r << 4);
    }
}

void set_colp(Process* p, int64_t v) {
    ds_set_i16(p, DS_COLOUR, (int16_t)(uint16_t)(v & 0xFFFF));
    if ((v >> 32) & 1) gfx_set_fillp16(p, (uint32_t)(v >> 16) & 0xFFFF);
    if ((v >> 35) & 1) p->draw.inverted_fill = 1;
}

static void write_clip_word(Process* p, int64_t x0, int64_t y0, int64_t x1, int64_t y1) {
    ds_set_i16(p, DS_CLIP, sat_i16(x0));
    ds_set_i16(p, DS_CLIP + 2, sat_i16(y0));
    ds_set_i16(p, DS_CLIP + 4, sat_i16(x1));
    ds_set_i16(p, DS_CLIP + 6, sat_i16(y1));
}

void gfx_attach_target(Process* p, TypedArray* a) {
    p->draw.target = a;
    p->draw.clip_valid = 0;
    if (a) write_clip_word(p, 0, 0, a->width, a->height);
}

void gfx_set_draw_target(Process* p, lua_State* L, int idx) {
    TypedArray* a = to_typed_array(L, idx);
    // Targets are bytes: other element types are refused.
    if (!a || ta_tag(a) != UT_U8) return;
    TypedArray* old = p->draw.target;
    if (a != old) mem_anchor(L, idx, 1);
    gfx_attach_target(p, a);
    if (a != old) mem_unanchor(L, old, 1);
}

bool gfx_derive_clip(Process* p) {
    DrawContext& dc = p->draw;
    const TypedArray* t = dc.target;
    if (!t) return false;
    int64_t word;
    memcpy(&word, ds_page(p) + (DS_CLIP & 0xFFF), 8);
    if (dc.clip_valid && word == dc.clip_word && dc.clip_for == t && dc.clip_w == t->width &&
        dc.clip_h == t->height)
        return true;
    int16_t c[4];
    memcpy(c, &word, 8);
    dc.clip_l = std::max<int32_t>(c[0], 0);
    dc.clip_t = std::max<int32_t>(c[1], 0);
    dc.clip_r = (int32_t)std::min<int64_t>(c[2], t->width);
    dc.clip_b = (int32_t)std::min<int64_t>(c[3], t->height);
    dc.clip_word = word;
    dc.clip_for = t;
    dc.clip_w = t->width;
    dc.clip_h = t->height;
    dc.clip_valid = 1;
    return true;
}

bool gfx_begin(Gfx& g, Process* p, bool sprite) {
    if (!p || !gfx_derive_clip(p)) return false;
    TypedArray* t = p->draw.target;
    const DrawContext& dc = p->draw;
    g.p = p;
    g.pix = ta_data(t);
    g.w = (int32_t)t->width;
    g.h = (int32_t)t->height;
    g.l = dc.clip_l;
    g.t = dc.clip_t;
    g.r = dc.clip_r;
    g.b = dc.clip_b;
    const uint8_t* ds = ds_page(p);
    g.rm = ds[DS_READ_MASK & 0xFFF];
    g.wm = ds[DS_WRITE_MASK & 0xFFF];
    g.tm = ds[(sprite ? DS_SPRITE_MASK : DS_SHAPE_MASK) & 0xFFF];
    memcpy(g.pat, ds + (DS_FILL_PATTERN & 0xFFF), 8);
    g.colour = (uint16_t)ds_i16(p, DS_COLOUR);
    for (int i = 0; i < 4; i++) g.tab[i] = mem_low_page(p, 8 + i);
    g.pen.colour = ~0u;
    return true;
}

bool gfx_colour_arg(lua_State* L, int idx, Process* p) {
    if (lua_type(L, idx) != LUA_TNUMBER) return false;
    set_colp(p, q64_intp(L, idx, 0));
    return true;
}

// ---- API -------------------------------------------------------------------------------

int lua54_set_draw_target(lua_State* L) {
    if (cproc) gfx_set_draw_target(cproc, L, 1);
    return 0;
}

int lua54_fillp(lua_State* L) {
    Process* p = cproc;
    if (!p || !p->draw.target) return 0;
    if (lua_gettop(L) == 8) {
        for (int i = 0; i < 8; i++) {
            uint8_t b = (uint8_t)q64_intp(L, i + 1, 0), r = 0;
            for (int k = 0; k < 8; k++) r |= (uint8_t)(((b >> k) & 1) << (7 - k));
            ds_set_u8(p, DS_FILL_PATTERN + i, r);
        }
        return 0;
    }
    gfx_set_fillp16(p, (uint32_t)q64_intp(L, 1, 0) & 0xFFFF);
    return 0;
}

int lua54_color(lua_State* L) {
    if (cproc) ds_set_i16(cproc, DS_COLOUR, (int16_t)(uint16_t)(q64_intp(L, 1, 6) & 0xFFFF));
    return 0;
}

int lua54_camera(lua_State* L) {
    Process* p = cproc;
    if (!p) return 0;
    int32_t ox = ds_i32(p, DS_CAMERA_X), oy = ds_i32(p, DS_CAMERA_Y);
    ds_set_i32(p, DS_CAMERA_X, sat_i32(q64_intp(L, 1, 0)));
    ds_set_i32(p, DS_CAMERA_Y, sat_i32(q64_intp(L, 2, 0)));
    lua_pushinteger(L, ox);
    lua_pushinteger(L, oy);
    return 2;
}

int lua54_cursor(lua_State* L) {
    Process* p = cproc;
    if (!p) return 0;
    ds_set_i32(p, DS_CURSOR_X, sat_i32(q64_intp(L, 1, 0)));
    ds_set_i32(p, DS_CURSOR_Y, sat_i32(q64_intp(L, 2, 0)));
    gfx_colour_arg(L, 3, p);
    return 0;
}

int lua54_clip(lua_State* L) {
    Process* p = cproc;
    if (!p || !gfx_derive_clip(p)) return 0;
    const TypedArray* t = p->draw.target;
    int64_t tw = t->width, th = t->height;
    int64_t l = p->draw.clip_l, top = p->draw.clip_t, r = p->draw.clip_r, b = p->draw.clip_b;
    if (lua_gettop(L) < 4) {
        write_clip_word(p, 0, 0, tw, th);
    } else {
        int64_t x = q64_intp(L, 1, 0), y = q64_intp(L, 2, 0);
        int64_t x1 = sat_add(x, q64_intp(L, 3, 0)), y1 = sat_add(y, q64_intp(L, 4, 0));
        if (lua_toboolean(L, 5)) {
            // Inside the current clip (which may be empty: the lower bound wins).
            write_clip_word(p, std::max(l, std::min(x, r)), std::max(top, std::min(y, b)),
                            std::max(l, std::min(x1, r)), std::max(top, std::min(y1, b)));
        } else {
            write_clip_word(p, std::max<int64_t>(x, 0), std::max<int64_t>(y, 0), std::min(x1, tw),
                            std::min(y1, th));
        }
    }
    gfx_derive_clip(p);
    lua_pushinteger(L, l);
    lua_pushinteger(L, top);
    lua_pushinteger(L, r - l);
    lua_pushinteger(L, b - top);
    lua_pushboolean(L, p->draw.clip_l >= p->draw.clip_r || p->draw.clip_t >= p->draw.clip_b);
    return 5;
}

// Fills one row of a colour table and marks its page, as a memset of it would.
static void coltab_fill_row(Process* p, int64_t table, int64_t row, uint8_t v) {
    int page = 8 + (int)(table & 3);
    memset(mem_low_page(p, page) + 64 * (row & 63), v, 64);
    p->mem.flag[page] = 0xFF;
}

// pal(c0, c1, p): one colour-table row, display colour or RGB entry.
static void pal_set(Process* p, int64_t c0, int64_t c1, int64_t mode) {
    switch (mode & 63) {
    case 0: coltab_fill_row(p, (c0 | mode) >> 6, c0, (uint8_t)(c1 | 0xC0)); break;
    case 1: ds_set_u8(p, DS_DISPLAY_PAL + (uint32_t)(c0 & 63), (uint8_t)(c1 & 63)); break;
    case 2: ds_set_i32(p, DS_RGB_PAL + 4 * (uint32_t)(c0 & 255), (int32_t)(uint32_t)c1); break;
    default: break;
    }
}

// pal(k): restores defaults; returns the charge.
static int64_t pal_reset(Process* p, int64_t k) {
    int64_t cost = 0;
    if (k == -1) memset(ds_page(p) + (DS_SCANLINES & 0xFFF), 0, 0x78);
    if (k == -1 || k == 0)
        for (int t = 0; t < 4; t++) {
            if (!(p->mem.flag[8 + t] & 2)) continue;
            memcpy(mem_low_page(p, 8 + t), default_coltabs + 4096 * t, 4096);
            p->mem.flag[8 + t] &= (uint8_t)~2;
            cost += 8;
        }
    if (k == -1 || k == 1) {
        memcpy(ds_page(p) + (DS_DISPLAY_PAL & 0xFFF), default_indexed_pal, 64);
        cost += 1;
    }
    if (k == -1 || k == 2) {
        memcpy(ds_page(p) + (DS_RGB_PAL & 0xFFF), default_system_pal, 1024);
        cost += 1;
    }
    return cost;
}

int lua54_pal(lua_State* L) {
    Process* p = cproc;
    if (!p) return 0;
    if (lua_type(L, 1) == LUA_TTABLE) {
        int64_t mode = q64_intp(L, 2, 0), visited = 0;
        lua_settop(L, 2);
        lua_pushnil(L);
        while (lua_next(L, 1)) {
            visited++;
            if (lua_type(L, -2) == LUA_TNUMBER) pal_set(p, q64_intp(L, -2, 0), q64_intp(L, -1, 0), mode);
            lua_pop(L, 1);
        }
        gfx_charge(2 * visited);
        return 0;
    }
    if (lua_gettop(L) >= 2) {
        pal_set(p, q64_intp(L, 1, 0), q64_intp(L, 2, 0), q64_intp(L, 3, 0));
        return 0;
    }
    gfx_charge(pal_reset(p, q64_intp(L, 1, -1)));
    return 0;
}

static void palt_row(Process* p, int64_t c, bool transparent) {
    if (!transparent) {
        coltab_fill_row(p, c >> 6, c, (uint8_t)(c | 0xC0));
        return;
    }
    // Written straight into the table: the change mark stays as it was.
    static const auto rows = [] {
        std::array<uint8_t, 256> r{};
        for (int j = 0; j < 256; j++) r[j] = (uint8_t)j;
        return r;
    }();
    memcpy(mem_low_page(p, 8 + (int)((c >> 6) & 3)) + 64 * (c & 63), rows.data() + (c & 0xC0), 64);
}

int lua54_palt(lua_State* L) {
    Process* p = cproc;
    if (!p) return 0;
    if (lua_gettop(L) >= 2) {
        palt_row(p, q64_intp(L, 1, 0), lua_toboolean(L, 2));
        return 0;
    }
    uint64_t bits = (uint64_t)q64_intp(L, 1, 1);
    for (int i = 0; i < 64; i++) palt_row(p, i, (bits >> i) & 1);
    // A whole table rewritten: charged as a memset of it would be.
    spend_cpu(4096 / 128);
    return 0;
}
