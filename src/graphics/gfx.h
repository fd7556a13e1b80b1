// The drawing core every drawing operation builds on: draw-state fields of
// page 5, the colour word and fill pattern, the cached clip, a per-call
// snapshot of the target, masks, pattern and colour tables, the two pixel
// blends, spans, and the CPU charge helpers.
//
// A drawing API function typically does:
//   Gfx g;
//   if (!gfx_begin(g, cproc, false)) return 0;  // no target: nothing at all
//   ... gfx_shape(g, x, y, colour) or gfx_hline(g, ...) ...
//   gfx_charge(cost, 3);
// The snapshot holds pointers into the process's memory and target; take a new
// one after anything that may poke memory or change the target.
#pragma once
#include <cstdint>
#include <cstring>

#include "arrays/typed_array.h"
#include "dialect/charge.h"
#include "graphics/graphics.h"
#include "graphics/memory.h"
#include "kernel/cpu.h"
#include "kernel/process.h"
#include "kernel/sat.h"

struct lua_State;

// ---- DrawStatePage addresses (page 5) -----------------------------------------
constexpr uint32_t DS_RGB_PAL = 0x5000;      // u32[256] 0x00RRGGBB
constexpr uint32_t DS_SCANLINES = 0x5400;    // 2 bits per screen row
constexpr uint32_t DS_DISPLAY_W = 0x5478;    // i16
constexpr uint32_t DS_DISPLAY_H = 0x547A;    // i16
constexpr uint32_t DS_VIDEO_MODE = 0x547C;   // u8
constexpr uint32_t DS_PV_MASK = 0x547D;      // u8, mask of _blit_process_video
constexpr uint32_t DS_SYSTEM_BITS = 0x547F;  // u8
constexpr uint32_t DS_DISPLAY_PAL = 0x5480;  // u8[64]
constexpr uint32_t DS_CURSOR_X = 0x54F0;     // i32
constexpr uint32_t DS_CURSOR_Y = 0x54F4;     // i32
constexpr uint32_t DS_HOME_X = 0x54F8;       // i32
constexpr uint32_t DS_FILL_PATTERN = 0x5500; // u8[8]
constexpr uint32_t DS_READ_MASK = 0x5508;
constexpr uint32_t DS_WRITE_MASK = 0x5509;
constexpr uint32_t DS_SPRITE_MASK = 0x550A;  // sprite target mask
constexpr uint32_t DS_SHAPE_MASK = 0x550B;   // shape target mask
constexpr uint32_t DS_COLOUR = 0x550C;       // i16: colour, pattern colour
constexpr uint32_t DS_TILE_W = 0x550E;
constexpr uint32_t DS_TILE_H = 0x550F;
constexpr uint32_t DS_CAMERA_X = 0x5510;     // i32
constexpr uint32_t DS_CAMERA_Y = 0x5514;     // i32
constexpr uint32_t DS_LINE_FLAG = 0x551F;    // u8
constexpr uint32_t DS_LINE_X = 0x5520;       // i32
constexpr uint32_t DS_LINE_Y = 0x5524;       // i32
constexpr uint32_t DS_CLIP = 0x5528;         // i16 x0, y0, x1, y1
constexpr uint32_t DS_TLINE = 0x5530;        // i16 u offset, v offset, u wrap, v wrap
constexpr uint32_t DS_PRINT_FLAGS = 0x5F36;

constexpr uint32_t COLTAB_BASE = 0x8000;     // four 64x64 tables, pages 8-11

// Work that a single call may do when the amount comes from program numbers:
// no more than the most a call can ever be charged (the debt cap and a frame).
constexpr int64_t GFX_WORK_CAP = (int64_t)MAX_DEBT + FRAME_CYCLES;

// A whole 4 KB view of one of the first 16 pages (draw state, colour tables,
// fonts), read and written without marks. Those pages always have one.
inline uint8_t* mem_low_page(Process* p, int page) {
    page &= 15;
    return p->mem.page_len[page] == PAGE_SIZE ? p->mem.page[page] : mem_low_page_slow(p, page);
}

// The draw-state page, read and written through its pointer (no touch, no mark).
inline uint8_t* ds_page(Process* p) { return mem_low_page(p, 5); }
inline uint8_t ds_u8(Process* p, uint32_t a) { return ds_page(p)[a & 0xFFF]; }
inline int16_t ds_i16(Process* p, uint32_t a) {
    int16_t v;
    memcpy(&v, ds_page(p) + (a & 0xFFF), 2);
    return v;
}
inline int32_t ds_i32(Process* p, uint32_t a) {
    int32_t v;
    memcpy(&v, ds_page(p) + (a & 0xFFF), 4);
    return v;
}
inline void ds_set_u8(Process* p, uint32_t a, uint8_t v) { ds_page(p)[a & 0xFFF] = v; }
inline void ds_set_i16(Process* p, uint32_t a, int16_t v) { memcpy(ds_page(p) + (a & 0xFFF), &v, 2); }
inline void ds_set_i32(Process* p, uint32_t a, int32_t v) { memcpy(ds_page(p) + (a & 0xFFF), &v, 4); }
inline int16_t sat_i16(int64_t v) { return (int16_t)(v > 32767 ? 32767 : v < -32768 ? -32768 : v); }

// ---- default tables (built by init_default_coltabs) -----------------------------
extern uint8_t default_coltabs[4 * 4096];
extern uint8_t default_indexed_pal[64];
extern uint32_t default_system_pal[256];

// ---- colour word, fill pattern, clip -------------------------------------------------

// Applies a 64-bit colour value: bits 0-15 the colour word; with bit 32 bits
// 16-31 the 4x4 fill pattern; with bit 35 the inverted-fill flag.
void set_colp(Process* p, int64_t v);
// A 16-bit 4x4 pattern (bit 15 the top-left pixel) into the eight row bytes.
void gfx_set_fillp16(Process* p, uint32_t pattern);
// Sets the target to the u8 array at stack index idx (kept alive through L's
// registry while it is the target; other values are refused) and resets the
// clip word to the whole of it.
void gfx_set_draw_target(Process* p, lua_State* L, int idx);
// The same for an array the host owns and keeps alive itself (the boot screen).
void gfx_attach_target(Process* p, TypedArray* a);
// Re-derives the cached clip when the clip word, the target or its size
// changed. False when the process has no draw target.
bool gfx_derive_clip(Process* p);

// ---- per-call snapshot ------------------------------------------------------------------

// A colour word ready to draw shapes with, worked out once per colour: the
// source colours after the read mask and, where the target mask has no table
// bits, their table rows; with a zero target mask, each pattern row's eight
// pixels as a word.
struct GfxPen {
    uint32_t colour;           // the colour word it was made for (~0u: none yet)
    uint8_t s[2];              // colour, pattern colour, read-masked
    const uint8_t* trow[2];    // their table rows, or null when table bits of the destination take part
    bool words;                // word[] made (only spans need them)
    uint64_t word[8];          // zero target mask: the pixels of pattern row r
};

struct Gfx {
    Process* p;
    uint8_t* pix;              // target bytes, row-major
    int32_t w, h;              // target width and height in bytes and rows
    int32_t l, t, r, b;        // clip, right and bottom exclusive
    uint8_t rm, wm, tm;        // read, write and target masks
    uint8_t pat[8];            // fill pattern rows
    uint16_t colour;           // colour word (low byte colour, high byte pattern colour)
    const uint8_t* tab[4];     // colour tables, 64 rows of 64
    mutable GfxPen pen;        // for the last colour drawn
    bool empty() const { return l >= r || t >= b; }
    bool inside(int64_t x, int64_t y) const { return x >= l && y >= t && x < r && y < b; }
};

// Derives the clip and takes the snapshot: sprite = true uses the sprite
// target mask (sprites, maps, textured lines), else the shape target mask.
// False (and nothing to draw) without a draw target.
bool gfx_begin(Gfx& g, Process* p, bool sprite);

void gfx_make_pen(const Gfx& g, uint32_t c);
inline const GfxPen& gfx_pen(const Gfx& g, uint32_t c) {
    if (g.pen.colour != c) gfx_make_pen(g, c);
    return g.pen;
}

inline int gfx_pattern_bit(const Gfx& g, int64_t x, int64_t y) { return (g.pat[y & 7] >> (x & 7)) & 1; }

// The shape blend at an in-clip pixel with colour word c: the pattern bit picks
// the colour or the pattern colour, the table row is the source, the column
// the destination's bits under the target mask, and the write mask keeps the
// destination's other bits.
inline void gfx_shape_at(const Gfx& g, int32_t x, int32_t y, uint32_t c) {
    const GfxPen& pen = gfx_pen(g, c);
    uint8_t* d = g.pix + (int64_t)y * g.w + x;
    int pb = gfx_pattern_bit(g, x, y);
    uint8_t dv = *d, dm = dv & g.tm, e;
    if (pen.trow[pb]) {
        e = pen.trow[pb][dm];
    } else {
        uint8_t s = pen.s[pb];
        e = g.tab[(s | dm) >> 6][(s & 63) * 64 + (dm & 63)];
    }
    *d = (uint8_t)((e & g.wm) | (dv & ~g.wm));
}

// The sprite blend at an in-clip pixel with source pixel sp: the pattern bit
// selects tables 2 and 3.
inline void gfx_sprite_at(const Gfx& g, int32_t x, int32_t y, uint8_t sp) {
    uint8_t* d = g.pix + (int64_t)y * g.w + x;
    uint8_t dv = *d, dm = dv & g.tm;
    uint8_t s = sp & g.rm;
    int t = (gfx_pattern_bit(g, x, y) << 1) | ((s | dm) >> 6);
    uint8_t e = g.tab[t][(s & 63) * 64 + (dm & 63)];
    *d = (uint8_t)((e & g.wm) | (dv & ~g.wm));
}

// Many pixels of one colour (outlines, lines): clipped shape blends, one table
// lookup a pixel when the pattern is uniform and the table row is known.
struct GfxPlotter {
    const Gfx& g;
    uint32_t c;
    const uint8_t* trow;  // null: the general blend
    explicit GfxPlotter(const Gfx& gfx, uint32_t colour) : g(gfx), c(colour), trow(nullptr) {
        const GfxPen& pen = gfx_pen(g, c);
        bool zeros = true, ones = true;
        for (uint8_t r : g.pat) zeros = zeros && r == 0, ones = ones && r == 0xFF;
        if (zeros || ones) trow = pen.trow[ones];
    }
    void at(int32_t x, int32_t y) const {
        if (!trow) return gfx_shape_at(g, x, y, c);
        uint8_t* d = g.pix + (int64_t)y * g.w + x;
        uint8_t dv = *d;
        *d = (uint8_t)((trow[dv & g.tm] & g.wm) | (dv & ~g.wm));
    }
    void operator()(int64_t x, int64_t y) const {
        if (g.inside(x, y)) at((int32_t)x, (int32_t)y);
    }
};

// Clipped shape blend of one pixel.
inline void gfx_shape(const Gfx& g, int64_t x, int64_t y, uint32_t c) {
    if (g.inside(x, y)) gfx_shape_at(g, (int32_t)x, (int32_t)y, c);
}

// A clipped span x0..x1 (inclusive) on row y with colour word c; returns its
// cost (0 when nothing is drawn).
int64_t gfx_hline(const Gfx& g, int64_t x0, int64_t x1, int64_t y, uint32_t c);

// Re-reads the colour word and fill pattern after set_colp changed them (and
// forgets the pen, which depends on the pattern).
void gfx_refresh_colour(Gfx& g);

// ---- primitives (coordinates already have the camera taken off) --------------------
// Each returns its cost units; 0 when nothing was drawn.

// The byte at (x, y), or 0 outside the target (the clip is not consulted).
uint8_t gfx_getpixel(const TypedArray* t, int64_t x, int64_t y);
// The row outside [min(xa, xb), max(xa, xb)], within the clip.
int64_t gfx_hline_inv(const Gfx& g, int64_t xa, int64_t xb, int64_t y, uint32_t c);
// Corners in any order, inclusive.
int64_t gfx_rectfill(const Gfx& g, int64_t x0, int64_t y0, int64_t x1, int64_t y1, uint32_t c);

// A line's 16.16 steps from pixel centres, clipped analytically: step k (first
// <= k <= last) is the pixel ((X + k sx) >> 16, (Y + k sy) >> 16), inside the
// clip. The end points are swapped so that y0 <= y1 (swapped says so); n is
// the step count. False when no step is visible.
struct LineSteps {
    int64_t X, Y, sx, sy, n, first, last;
    bool swapped;
};
bool gfx_line_steps(const Gfx& g, int64_t x0, int64_t y0, int64_t x1, int64_t y1, LineSteps& s);
// Returns the pixels drawn (last - first + 1, or 0).
int64_t gfx_line(const Gfx& g, int64_t x0, int64_t y0, int64_t x1, int64_t y1, uint32_t c);
// Ellipses in the inclusive bounding box (corners in any order).
int64_t gfx_oval(const Gfx& g, int64_t x0, int64_t y0, int64_t x1, int64_t y1, uint32_t c);
// shortcut = false skips filling the clip whole when it lies inside the ellipse.
int64_t gfx_filloval(const Gfx& g, int64_t x0, int64_t y0, int64_t x1, int64_t y1, uint32_t c, bool inverted,
                     bool shortcut = true);
bool gfx_oval_fill_shortcut(const Gfx& g, int64_t x0, int64_t y0, int64_t x1, int64_t y1);

// Batches: an f64 array at stack index idx, then [start], [count = height],
// [values per item = width, capped at cap], [stride = width]. Item i starts at
// element start + i * stride and lies wholly inside the array.
constexpr int64_t GFX_BATCH_MAX = 262144;
struct GfxBatch {
    const double* e;
    int64_t elems, start, stride, per, items;
};
// False (not a batch) when argument idx is no f64 array. A negative start or
// stride is a refused batch: true with no items.
bool gfx_batch_begin(lua_State* L, int idx, int cap, GfxBatch& b);

// ---- charges and arguments -------------------------------------------------------------------

// Charges cost / div when anything was drawn (cost > 0).
inline void gfx_charge(int64_t cost, int64_t div = 1) {
    if (cost > 0) spend_cpu(cost / div);
}

// The charge of a call that does many pieces of work (batch items, glyphs),
// made as it goes: to(total) brings what has been charged up to the call's
// charge for the work done so far, so the call ends up charged exactly what
// one charge at its end would be. With a Lua state, a call far over its
// budget is stopped there like any other native work (a Lua error: nothing
// the caller holds may need undoing past that point).
struct GfxMeter {
    lua_State* L;
    int64_t charged = 0;
    explicit GfxMeter(lua_State* l) : L(l) {}
    void to(int64_t total) {
        if (total <= charged) return;
        int64_t n = total - charged;
        charged = total;
        dialect_charge(L, n);
    }
};

// A coordinate of the API with the camera taken off, as a 32-bit value.
inline int32_t gfx_coord(int64_t v, int32_t camera) { return sat_i32(sat_add(v, -(int64_t)camera)); }

// When argument idx is a number, applies it as a colour value; true if it was.
bool gfx_colour_arg(lua_State* L, int idx, Process* p);
