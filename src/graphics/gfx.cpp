// Drawing primitives: pixels, spans, rectangles, lines and ellipses, and the
// drawing globals built on them (cls, pset, pget, rectfill, rect, ovalfill,
// oval, circfill, circ, line).
#include <algorithm>
#include <cstring>
#include <utility>

#include "graphics/gfx.h"
#include "graphics/gfx_api.h"
#include "lua.h"
#include "lauxlib.h"

uint8_t gfx_getpixel(const TypedArray* t, int64_t x, int64_t y) {
    if (!t || x < 0 || y < 0 || x >= t->width || y >= t->height) return 0;
    return ta_data(t)[y * t->width + x];
}

// ---- spans -----------------------------------------------------------------------

void gfx_make_pen(const Gfx& g, uint32_t c) {
    GfxPen& pen = g.pen;
    pen.colour = c;
    pen.s[0] = (uint8_t)(c & g.rm);
    pen.s[1] = (uint8_t)((c >> 8) & g.rm);
    for (int k = 0; k < 2; k++)
        pen.trow[k] = (g.tm & 0xC0) ? nullptr : g.tab[pen.s[k] >> 6] + (pen.s[k] & 63) * 64;
    pen.words = false;
}

namespace {

// With no destination bits taking part, a pixel is one of two values: the
// eight pixels of each pattern row as a word.
void make_words(const Gfx& g, GfxPen& pen) {
    uint8_t v[2] = {pen.trow[0][0], pen.trow[1][0]};
    for (int r = 0; r < 8; r++) {
        uint64_t w = 0;
        for (int i = 0; i < 8; i++) w |= (uint64_t)v[(g.pat[r] >> i) & 1] << (8 * i);
        pen.word[r] = w;
    }
    pen.words = true;
}

// Not under sanitizers: their instrumented clone resolvers run before the runtime starts.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__) && !defined(__SANITIZE_ADDRESS__) && \
    !defined(__SANITIZE_THREAD__)
#define GFX_CLONES __attribute__((target_clones("avx2", "default")))
#else
#define GFX_CLONES
#endif

typedef uint64_t u64x4 __attribute__((vector_size(32)));

// Whole words of a write-masked span, 32 bytes at a time where it can.
GFX_CLONES int64_t put_words(uint8_t* row, int64_t x, int64_t xe, uint64_t put, uint64_t m) {
    const u64x4 P = {put, put, put, put}, K = {~m, ~m, ~m, ~m};
    for (; x + 31 <= xe; x += 32) {
        u64x4 o;
        memcpy(&o, row + x, 32);
        o = P | (o & K);
        memcpy(row + x, &o, 32);
    }
    for (; x + 7 <= xe; x += 8) {
        uint64_t o;
        memcpy(&o, row + x, 8);
        o = put | (o & ~m);
        memcpy(row + x, &o, 8);
    }
    return x;
}

// One row of a span, already clipped: xs..xe inclusive on row y.
inline void span_write(const Gfx& g, const GfxPen& pen, int64_t xs, int64_t xe, int64_t y) {
    uint8_t* row = g.pix + y * g.w;
    const uint8_t wm = g.wm, keep = (uint8_t)~wm;
    if (g.tm == 0) {
        if (!pen.words) make_words(g, const_cast<GfxPen&>(pen));
        const uint64_t word = pen.word[y & 7];
        if (wm == 0) return;
        if (wm == 0xFF && word == 0x0101010101010101ULL * (word & 0xFF)) {
            memset(row + xs, (int)(word & 0xFF), (size_t)(xe - xs + 1));
            return;
        }
        // Whole words line up with the pattern where x & 7 is 0.
        const uint64_t m = 0x0101010101010101ULL * wm, put = word & m;
        auto one = [&](int64_t x) {
            uint8_t v = (uint8_t)(word >> (8 * (x & 7)));
            row[x] = (uint8_t)((v & wm) | (row[x] & keep));
        };
        int64_t x = xs;
        for (; x <= xe && (x & 7); x++) one(x);
        if (xe - x >= 7) x = put_words(row, x, xe, put, m);
        for (; x <= xe; x++) one(x);
        return;
    }
    // Destination bits take part: every pixel reads its destination. A row of
    // one colour with its table row known is one lookup a pixel.
    const uint8_t pb = g.pat[y & 7], tm = g.tm;
    if ((pb == 0 || pb == 0xFF) && pen.trow[pb & 1]) {
        const uint8_t* trow = pen.trow[pb & 1];
        for (int64_t x = xs; x <= xe; x++) {
            uint8_t dv = row[x];
            row[x] = (uint8_t)((trow[dv & tm] & wm) | (dv & keep));
        }
        return;
    }
    for (int64_t x = xs; x <= xe; x++) gfx_shape_at(g, (int32_t)x, (int32_t)y, pen.colour);
}

inline int64_t span_cost(const Gfx& g, int64_t xs, int64_t xe) {
    if (g.tm != 0) return xe - xs + 1;
    if (g.w % 8 != 0 || xe - xs + 1 < 16) return (xe - xs) / 4 + 2;
    return (xe - xs) / 8 + 3;
}

}  // namespace

int64_t gfx_hline(const Gfx& g, int64_t x0, int64_t x1, int64_t y, uint32_t c) {
    if (y < g.t || y >= g.b || x1 < g.l || x0 >= g.r) return 0;
    int64_t xs = std::max<int64_t>(x0, g.l), xe = std::min<int64_t>(x1, g.r - 1);
    if (xs > xe) return 0;
    span_write(g, gfx_pen(g, c), xs, xe, y);
    return span_cost(g, xs, xe);
}

int64_t gfx_hline_inv(const Gfx& g, int64_t xa, int64_t xb, int64_t y, uint32_t c) {
    int64_t lo = std::min(xa, xb), hi = std::max(xa, xb);
    return gfx_hline(g, (int64_t)g.l - 1, lo - 1, y, c) + gfx_hline(g, hi + 1, (int64_t)g.r + 1, y, c);
}

int64_t gfx_rectfill(const Gfx& g, int64_t x0, int64_t y0, int64_t x1, int64_t y1, uint32_t c) {
    int64_t ya = std::max<int64_t>(std::min(y0, y1), g.t), yb = std::min<int64_t>(std::max(y0, y1), g.b - 1);
    int64_t xs = std::max<int64_t>(std::min(x0, x1), g.l), xe = std::min<int64_t>(std::max(x0, x1), g.r - 1);
    if (ya > yb || xs > xe) return 0;
    // Every row is the same span.
    const GfxPen& pen = gfx_pen(g, c);
    if (g.tm == 0 && xs == 0 && xe == g.w - 1 && g.w % 8 == 0 && g.wm) {
        // Whole rows of one word are one run of bytes, the pattern still lined up.
        if (!pen.words) make_words(g, const_cast<GfxPen&>(pen));
        bool same = true;
        for (int r = 1; r < 8; r++) same = same && pen.word[r] == pen.word[0];
        if (same) {
            uint8_t* run = g.pix + ya * g.w;
            int64_t n = (yb - ya + 1) * g.w;
            uint64_t word = pen.word[0], m = 0x0101010101010101ULL * g.wm;
            if (g.wm == 0xFF && word == 0x0101010101010101ULL * (word & 0xFF)) memset(run, (int)(word & 0xFF), (size_t)n);
            else put_words(run, 0, n - 1, word & m, m);
            return span_cost(g, xs, xe) * (yb - ya + 1);
        }
    }
    for (int64_t y = ya; y <= yb; y++) span_write(g, pen, xs, xe, y);
    return span_cost(g, xs, xe) * (yb - ya + 1);
}

// ---- lines ----------------------------------------------------------------------

bool gfx_line_steps(const Gfx& g, int64_t x0, int64_t y0, int64_t x1, int64_t y1, LineSteps& s) {
    s.swapped = y1 < y0;
    if (s.swapped) {
        std::swap(x0, x1);
        std::swap(y0, y1);
    }
    int64_t dx = x1 - x0, dy = y1 - y0;
    s.n = std::max(dx < 0 ? -dx : dx, dy < 0 ? -dy : dy);
    s.sx = s.n >= 1 ? dx * 65536 / s.n : 0;
    s.sy = s.n >= 1 ? dy * 65536 / s.n : 0;
    if (g.empty() || y1 < g.t || y0 >= g.b || (x0 < g.l && x1 < g.l) || (x0 >= g.r && x1 >= g.r)) return false;
    s.X = x0 * 65536 + 32768;
    s.Y = y0 * 65536 + 32768;
    int64_t first = 0, last = s.n;
    const int64_t X = s.X, Y = s.Y, L = (int64_t)g.l * 65536, R = (int64_t)g.r * 65536;
    const int64_t T = (int64_t)g.t * 65536, B = (int64_t)g.b * 65536;
    // Each edge's step is (((edge distance) << 16) / step) >> 16, a floor of a
    // division of non-negative by positive numbers: the same as dividing the
    // distance by the step, which 64 bits hold for any coordinates.
    // A zero step stays on its start pixel: it is visible on that axis from
    // the start or never.
    if (y0 < g.t) {
        if (s.sy == 0) return false;
        first = (T - Y) / s.sy + 1;
    }
    if (y1 >= g.b && s.sy != 0) last = std::min(last, (B - Y - 1) / s.sy);
    if (x0 < g.l) {
        if (s.sx <= 0) return false;
        first = std::max(first, (L - X) / s.sx + 1);
    }
    if (x0 >= g.r) {
        if (s.sx >= 0) return false;
        first = std::max(first, (X - R) / -s.sx + 1);
    }
    if (x1 < g.l && s.sx != 0) last = std::min(last, (X - L - 1) / -s.sx);
    if (x1 >= g.r && s.sx != 0) last = std::min(last, (R - X - 1) / s.sx);
    s.first = first;
    s.last = last;
    return last >= first;
}

int64_t gfx_line(const Gfx& g, int64_t x0, int64_t y0, int64_t x1, int64_t y1, uint32_t c) {
    LineSteps s;
    if (!gfx_line_steps(g, x0, y0, x1, y1, s)) return 0;
    // The steps are clipped exactly; the plotter's test only guards the target.
    GfxPlotter plot(g, c);
    for (int64_t k = s.first; k <= s.last; k++) plot((s.X + k * s.sx) >> 16, (s.Y + k * s.sy) >> 16);
    return s.last - s.first + 1;
}

// ---- ellipses -------------------------------------------------------------------

namespace {

// Coordinates past +-2^40 are held there: such boxes are far beyond any clip
// and any work cap either way, and their sizes then stay far from overflowing.
constexpr int64_t BOX_LIMIT = int64_t(1) << 40;
int64_t box_coord(int64_t v) { return std::clamp(v, -BOX_LIMIT, BOX_LIMIT); }

struct Box {
    int64_t x0, y0, x1, y1;
    Box(int64_t a, int64_t b, int64_t c, int64_t d)
        : x0(box_coord(std::min(a, c))), y0(box_coord(std::min(b, d))), x1(box_coord(std::max(a, c))),
          y1(box_coord(std::max(b, d))) {}
    bool thin() const { return x1 - x0 <= 1 || y1 - y0 <= 1; }
    bool outside(const Gfx& g) const { return x1 < g.l || x0 >= g.r || y1 < g.t || y0 >= g.b; }
    int64_t cx() const { return (x0 + x1) >> 1; }
    int64_t cy() const { return (y0 + y1) >> 1; }
    int64_t a() const { return (x1 - x0) / 2; }
    int64_t b() const { return (y1 - y0) / 2; }
    int ox() const { return (int)((x1 - x0) & 1); }
    int oy() const { return (int)((y1 - y0) & 1); }
    // Steps of the midpoint walk are at most a + b + 2.
    bool too_big() const { return a() + b() + 2 > GFX_WORK_CAP; }
};

// The integer midpoint walk over the first quadrant, shared by outline and
// fill. visit(x, y, step) is called once per iteration before the step:
// step 0 moves x, 1 moves y, 2 both.
template <class I, class Visit>
void midpoint_walk(int64_t a_, int64_t b_, Visit visit) {
    const I a = a_, b = b_, a2 = a * a, b2 = b * b;
    const I crit1 = -(a2 / 4 + a % 2 + b2), crit2 = -(b2 / 4 + b % 2 + a2), crit3 = -(b2 / 4 + b % 2);
    I t = -a2 * b, dxt = 0, dyt = -2 * a2 * b, x = 0, y = b;
    I b2x = 0, a2y = a2 * b;  // b2 * x and a2 * y, kept as x and y step
    while (y >= 0 && x <= a) {
        int step = (t + b2x <= crit1 || t + a2y <= crit3) ? 0 : (t - a2y > crit2) ? 1 : 2;
        visit((int64_t)x, (int64_t)y, step);
        if (step != 1) {
            x += 1;
            b2x += b2;
            dxt += 2 * b2;
            t += dxt;
        }
        if (step != 0) {
            y -= 1;
            a2y -= a2;
            dyt += 2 * a2;
            t += dyt;
        }
    }
}

// Radii below 2^19 keep every term of the walk well inside 64 bits.
template <class Visit>
void walk(int64_t a, int64_t b, Visit visit) {
    if (a < (1 << 19) && b < (1 << 19)) midpoint_walk<int64_t>(a, b, visit);
    else midpoint_walk<__int128>(a, b, visit);
}

int64_t thin_fill(const Gfx& g, const Box& bx, uint32_t c, bool inverted) {
    int64_t cost = 0;
    if (!inverted) return gfx_rectfill(g, bx.x0, bx.y0, bx.x1, bx.y1, c);
    for (int64_t y = g.t; y < g.b; y++)
        cost += (y >= bx.y0 && y <= bx.y1) ? gfx_hline_inv(g, bx.x0, bx.x1, y, c) : gfx_hline(g, g.l, g.r - 1, y, c);
    return cost;
}

}  // namespace

int64_t gfx_oval(const Gfx& g, int64_t x0, int64_t y0, int64_t x1, int64_t y1, uint32_t c) {
    Box bx(x0, y0, x1, y1);
    if (bx.thin()) return gfx_rectfill(g, bx.x0, bx.y0, bx.x1, bx.y1, c);
    if (bx.outside(g)) return 0;
    if (bx.too_big()) return GFX_WORK_CAP;
    const int64_t cx = bx.cx(), cy = bx.cy();
    const int ox = bx.ox(), oy = bx.oy();
    int64_t cost = 0;
    GfxPlotter plot(g, c);
    walk(bx.a(), bx.b(), [&](int64_t x, int64_t y, int) {
        int pts = 1;
        plot(cx + ox + x, cy + oy + y);
        if (oy || y) {
            if (ox || x) {
                plot(cx - x, cy - y);
                pts++;
            }
            plot(cx + ox + x, cy - y);
            pts++;
        }
        if (ox || x) {
            plot(cx - x, cy + oy + y);
            pts++;
        }
        cost += 1 + pts;
    });
    return cost;
}

bool gfx_oval_fill_shortcut(const Gfx& g, int64_t x0, int64_t y0, int64_t x1, int64_t y1) {
    Box bx(x0, y0, x1, y1);
    if (bx.thin() || g.empty()) return false;
    int64_t l = bx.a() * 7 / 10, k = bx.b() * 7 / 10;
    return g.r - g.l < bx.x1 - bx.x0 + 1 && bx.cx() - l < g.l && bx.cx() + l >= g.r && bx.cy() - k < g.t &&
           bx.cy() + k >= g.b;
}

int64_t gfx_filloval(const Gfx& g, int64_t x0, int64_t y0, int64_t x1, int64_t y1, uint32_t c, bool inverted,
                     bool shortcut) {
    Box bx(x0, y0, x1, y1);
    if (bx.thin()) return thin_fill(g, bx, c, inverted);
    // The clip lies well inside the ellipse: it is all filled.
    if (!inverted && shortcut && gfx_oval_fill_shortcut(g, x0, y0, x1, y1))
        return gfx_rectfill(g, g.l, g.t, g.r - 1, g.b - 1, c);
    if (bx.outside(g)) return inverted ? gfx_rectfill(g, g.l, g.t, g.r - 1, g.b - 1, c) : 0;
    if (bx.too_big()) return 3 * GFX_WORK_CAP;
    const int64_t cx = bx.cx(), cy = bx.cy(), a = bx.a(), b = bx.b();
    const int ox = bx.ox(), oy = bx.oy();
    auto span = [&](int64_t xa, int64_t xb, int64_t y) {
        return inverted ? gfx_hline_inv(g, xa, xb, y, c) : gfx_hline(g, xa, xb, y, c);
    };
    int64_t cost = 0;
    walk(a, b, [&](int64_t x, int64_t y, int step) {
        cost += 8;
        if (step == 0) return;
        cost += span(cx - x, cx + ox + x, cy - y);
        if (y != 0) cost += span(cx - x, cx + ox + x, cy + oy + y);
    });
    if (oy) cost += span(cx - a, cx + ox + a, cy + 1);
    if (b == 0) cost += span(cx - a, cx + a, cy);
    if (inverted) {
        for (int64_t y = g.t; y <= std::min<int64_t>(cy - b - 1, g.b - 1); y++) cost += gfx_hline(g, g.l, g.r - 1, y, c);
        for (int64_t y = std::max<int64_t>(cy + b + oy + 1, g.t); y < g.b; y++) cost += gfx_hline(g, g.l, g.r - 1, y, c);
    }
    return cost;
}

// ---- batches ----------------------------------------------------------------------

bool gfx_batch_begin(lua_State* L, int idx, int cap, GfxBatch& b) {
    TypedArray* a = to_typed_array(L, idx);
    if (!a || ta_tag(a) != UT_F64) return false;
    b.e = ta_elems<double>(a);
    b.elems = ta_count(a);
    b.start = q64_intp(L, idx + 1, 0);
    int64_t count = q64_intp(L, idx + 2, a->height);
    b.per = std::clamp<int64_t>(q64_intp(L, idx + 3, a->width), 0, cap);
    b.stride = q64_intp(L, idx + 4, a->width);
    // Items run while the whole item lies inside the array.
    b.items = 0;
    if (b.start < 0 || b.stride < 0) return true;
    int64_t room = b.elems - b.per;
    if (count > 0 && b.start <= room) {
        int64_t most = b.stride ? (room - b.start) / b.stride + 1 : count;
        b.items = std::min({count, most, GFX_BATCH_MAX});
    }
    return true;
}

// ---- API ---------------------------------------------------------------------------

namespace {

struct Camera {
    int32_t x, y;
    explicit Camera(Process* p) : x(ds_i32(p, DS_CAMERA_X)), y(ds_i32(p, DS_CAMERA_Y)) {}
};

Process* drawing_process() {
    Process* p = cproc;
    return p && p->draw.target ? p : nullptr;
}

int64_t arg(lua_State* L, int i, int64_t dflt = 0) { return q64_intp(L, i, dflt); }

// A batch value floored, or dflt when the item is shorter.
int64_t item(const GfxBatch& b, int64_t i, int k, int64_t dflt) {
    return k < b.per ? sat_floor(b.e[b.start + i * b.stride + k]) : dflt;
}

int64_t inverted_rect(const Gfx& g, int64_t x0, int64_t y0, int64_t x1, int64_t y1, uint32_t c) {
    if (x1 < x0) std::swap(x0, x1);
    if (y1 < y0) std::swap(y0, y1);
    int64_t tw = g.w, th = g.h;
    return gfx_rectfill(g, -1, -1, tw, y0 - 1, c) + gfx_rectfill(g, -1, y1 + 1, tw, th, c) +
           gfx_rectfill(g, -1, y0, x0 - 1, y1, c) + gfx_rectfill(g, x1 + 1, y0, tw, y1, c);
}

int64_t circle_fill(const Gfx& g, int64_t x, int64_t y, int64_t r, bool inverted) {
    if (r < 0) return inverted ? gfx_rectfill(g, 0, 0, g.w - 1, g.h - 1, g.colour) : 0;
    return gfx_filloval(g, sat_add(x, -r), sat_add(y, -r), sat_add(x, r), sat_add(y, r), g.colour, inverted);
}

}  // namespace

void gfx_refresh_colour(Gfx& g) {
    g.colour = (uint16_t)ds_i16(g.p, DS_COLOUR);
    memcpy(g.pat, ds_page(g.p) + (DS_FILL_PATTERN & 0xFFF), 8);
    g.pen.colour = ~0u;
}

int lua54_cls(lua_State* L) {
    Process* p = drawing_process();
    if (!p) return 0;
    TypedArray* t = p->draw.target;
    int64_t n = (int64_t)t->width * t->height;
    memset(ta_data(t), (int)(q64_intp(L, 1, 0) & 0xFF), (size_t)n);
    ds_set_i32(p, DS_CURSOR_X, 0);
    ds_set_i32(p, DS_CURSOR_Y, 0);
    spend_cpu(n / 64);
    return 0;
}

int lua54_pset(lua_State* L) {
    Process* p = drawing_process();
    if (!p) return 0;
    Gfx g;
    GfxBatch b;
    if (gfx_batch_begin(L, 1, 3, b)) {
        gfx_begin(g, p, false);
        Camera cam(p);
        for (int64_t i = 0; i < b.items; i++) {
            if (b.per > 2) {
                set_colp(p, item(b, i, 2, 0));
                gfx_refresh_colour(g);
            }
            gfx_shape(g, gfx_coord(item(b, i, 0, 0), cam.x), gfx_coord(item(b, i, 1, 0), cam.y), g.colour);
        }
        gfx_charge(3 * b.items);
        return 0;
    }
    if (lua_gettop(L) < 2) return 0;
    gfx_colour_arg(L, 3, p);
    gfx_begin(g, p, false);
    Camera cam(p);
    gfx_shape(g, gfx_coord(arg(L, 1), cam.x), gfx_coord(arg(L, 2), cam.y), g.colour);
    return 0;
}

int lua54_pget(lua_State* L) {
    if (lua_gettop(L) < 2) return 0;
    Process* p = cproc;
    // Without a target every pixel reads as 0, as pixels outside one do.
    if (!p || !p->draw.target) {
        lua_pushinteger(L, 0);
        return 1;
    }
    Camera cam(p);
    lua_pushinteger(L, gfx_getpixel(p->draw.target, gfx_coord(arg(L, 1), cam.x), gfx_coord(arg(L, 2), cam.y)));
    return 1;
}

int lua54_rectfill(lua_State* L) {
    Process* p = drawing_process();
    if (!p) return 0;
    Gfx g;
    GfxBatch b;
    if (gfx_batch_begin(L, 1, 5, b)) {
        gfx_begin(g, p, false);
        Camera cam(p);
        int64_t cost = 0;
        GfxMeter meter(L);
        for (int64_t i = 0; i < b.items; i++) {
            p->draw.inverted_fill = 0;
            if (b.per > 4) {
                set_colp(p, item(b, i, 4, 0));
                gfx_refresh_colour(g);
            }
            int64_t x0 = gfx_coord(item(b, i, 0, 0), cam.x), y0 = gfx_coord(item(b, i, 1, 0), cam.y);
            int64_t x1 = gfx_coord(item(b, i, 2, 0), cam.x), y1 = gfx_coord(item(b, i, 3, 0), cam.y);
            cost += p->draw.inverted_fill ? inverted_rect(g, x0, y0, x1, y1, g.colour)
                                          : gfx_rectfill(g, x0, y0, x1, y1, g.colour);
            meter.to(cost / 3 + 3 * (i + 1));
        }
        return 0;
    }
    if (lua_gettop(L) < 4) return 0;
    p->draw.inverted_fill = 0;
    gfx_colour_arg(L, 5, p);
    gfx_begin(g, p, false);
    Camera cam(p);
    int64_t x0 = gfx_coord(arg(L, 1), cam.x), y0 = gfx_coord(arg(L, 2), cam.y);
    int64_t x1 = gfx_coord(arg(L, 3), cam.x), y1 = gfx_coord(arg(L, 4), cam.y);
    gfx_charge(p->draw.inverted_fill ? inverted_rect(g, x0, y0, x1, y1, g.colour)
                                     : gfx_rectfill(g, x0, y0, x1, y1, g.colour),
               3);
    return 0;
}

int lua54_rect(lua_State* L) {
    Process* p = drawing_process();
    if (!p || lua_gettop(L) < 4) return 0;
    gfx_colour_arg(L, 5, p);
    Gfx g;
    gfx_begin(g, p, false);
    Camera cam(p);
    int64_t x0 = gfx_coord(arg(L, 1), cam.x), y0 = gfx_coord(arg(L, 2), cam.y);
    int64_t x1 = gfx_coord(arg(L, 3), cam.x), y1 = gfx_coord(arg(L, 4), cam.y);
    uint32_t c = g.colour;
    // Charged by the pixels drawn, whatever the spans cost.
    int64_t pixels = 0;
    auto edge = [&](int64_t xa, int64_t ya, int64_t xb, int64_t yb) {
        if (gfx_rectfill(g, xa, ya, xb, yb, c) > 0)
            pixels += (std::min<int64_t>(std::max(xa, xb), g.r - 1) - std::max<int64_t>(std::min(xa, xb), g.l) + 1) *
                      (std::min<int64_t>(std::max(ya, yb), g.b - 1) - std::max<int64_t>(std::min(ya, yb), g.t) + 1);
    };
    edge(x0, y0, x1, y0);
    if (y1 != y0) edge(x0, y1, x1, y1);
    if (y1 - y0 > 1 || y0 - y1 > 1) {
        int64_t ya = std::min(y0, y1) + 1, yb = std::max(y0, y1) - 1;
        edge(x0, ya, x0, yb);
        edge(x1, ya, x1, yb);
    }
    gfx_charge(pixels, 3);
    return 0;
}

static int oval_api(lua_State* L, bool fill) {
    Process* p = drawing_process();
    if (!p || lua_gettop(L) < 4) return 0;
    if (fill) p->draw.inverted_fill = 0;
    gfx_colour_arg(L, 5, p);
    Gfx g;
    gfx_begin(g, p, false);
    Camera cam(p);
    int64_t x0 = gfx_coord(arg(L, 1), cam.x), y0 = gfx_coord(arg(L, 2), cam.y);
    int64_t x1 = gfx_coord(arg(L, 3), cam.x), y1 = gfx_coord(arg(L, 4), cam.y);
    if (fill) gfx_charge(gfx_filloval(g, x0, y0, x1, y1, g.colour, p->draw.inverted_fill != 0), 3);
    else gfx_charge(gfx_oval(g, x0, y0, x1, y1, g.colour));
    return 0;
}

int lua54_ovalfill(lua_State* L) { return oval_api(L, true); }
int lua54_oval(lua_State* L) { return oval_api(L, false); }

int lua54_circfill(lua_State* L) {
    Process* p = drawing_process();
    if (!p) return 0;
    Gfx g;
    GfxBatch b;
    if (gfx_batch_begin(L, 1, 4, b)) {
        gfx_begin(g, p, false);
        Camera cam(p);
        int64_t cost = 0;
        GfxMeter meter(L);
        for (int64_t i = 0; i < b.items; i++) {
            p->draw.inverted_fill = 0;
            if (b.per > 3) {
                set_colp(p, item(b, i, 3, 0));
                gfx_refresh_colour(g);
            }
            cost += circle_fill(g, gfx_coord(item(b, i, 0, 0), cam.x), gfx_coord(item(b, i, 1, 0), cam.y),
                                item(b, i, 2, 4), p->draw.inverted_fill != 0);
            meter.to(cost / 3 + 4 * (i + 1));
        }
        return 0;
    }
    if (lua_gettop(L) < 2) return 0;
    p->draw.inverted_fill = 0;
    gfx_colour_arg(L, 4, p);
    gfx_begin(g, p, false);
    Camera cam(p);
    gfx_charge(circle_fill(g, gfx_coord(arg(L, 1), cam.x), gfx_coord(arg(L, 2), cam.y), arg(L, 3, 4),
                           p->draw.inverted_fill != 0),
               3);
    return 0;
}

int lua54_circ(lua_State* L) {
    Process* p = drawing_process();
    if (!p || lua_gettop(L) < 2) return 0;
    gfx_colour_arg(L, 4, p);
    Gfx g;
    gfx_begin(g, p, false);
    Camera cam(p);
    int64_t x = gfx_coord(arg(L, 1), cam.x), y = gfx_coord(arg(L, 2), cam.y), r = arg(L, 3, 4);
    if (r < 0) return 0;
    gfx_charge(gfx_oval(g, sat_add(x, -r), sat_add(y, -r), sat_add(x, r), sat_add(y, r), g.colour), 3);
    return 0;
}

int lua54_line(lua_State* L) {
    Process* p = drawing_process();
    if (!p) return 0;
    int n = lua_gettop(L);
    if (n <= 1) {
        ds_set_u8(p, DS_LINE_FLAG, 1);
        if (n == 1) gfx_colour_arg(L, 1, p);
        return 0;
    }
    // The chain keeps the program's own coordinates (before the camera).
    int32_t fx = sat_i32(arg(L, 1)), fy = sat_i32(arg(L, 2)), tx, ty;
    if (n <= 3) {
        if (ds_u8(p, DS_LINE_FLAG) == 1) {
            ds_set_u8(p, DS_LINE_FLAG, 0);
            ds_set_i32(p, DS_LINE_X, fx);
            ds_set_i32(p, DS_LINE_Y, fy);
            return 0;
        }
        tx = ds_i32(p, DS_LINE_X);
        ty = ds_i32(p, DS_LINE_Y);
        ds_set_i32(p, DS_LINE_X, fx);
        ds_set_i32(p, DS_LINE_Y, fy);
        gfx_colour_arg(L, 3, p);
    } else {
        tx = sat_i32(arg(L, 3));
        ty = sat_i32(arg(L, 4));
        ds_set_i32(p, DS_LINE_X, tx);
        ds_set_i32(p, DS_LINE_Y, ty);
        gfx_colour_arg(L, 5, p);
    }
    Gfx g;
    gfx_begin(g, p, false);
    Camera cam(p);
    gfx_charge(gfx_line(g, gfx_coord(fx, cam.x), gfx_coord(fy, cam.y), gfx_coord(tx, cam.x), gfx_coord(ty, cam.y),
                        g.colour));
    return 0;
}
