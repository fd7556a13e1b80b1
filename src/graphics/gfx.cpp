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

int64_t gfx_hline_inv(const Gfx& g, int64_t xa, int64_t xb, int64_t y, uint32_t c) {
    int64_t lo = std::min(xa, xb), hi = std::max(xa, xb);
    return gfx_hline(g, (int64_t)g.l - 1, lo - 1, y, c) + gfx_hline(g, hi + 1, (int64_t)g.r + 1, y, c);
}

int64_t gfx_rectfill(const Gfx& g, int64_t x0, int64_t y0, int64_t x1, int64_t y1, uint32_t c) {
    int64_t ya = std::max<int64_t>(std::min(y0, y1), g.t), yb = std::min<int64_t>(std::max(y0, y1), g.b - 1);
    int64_t xa = std::min(x0, x1), xb = std::max(x0, x1);
    int64_t cost = 0;
    for (int64_t y = ya; y <= yb; y++) cost += gfx_hline(g, xa, xb, y, c);
    return cost;
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
    const __int128 X = s.X, Y = s.Y, L = (int64_t)g.l * 65536, R = (int64_t)g.r * 65536;
    const __int128 T = (int64_t)g.t * 65536, B = (int64_t)g.b * 65536;
    // A zero step stays on its start pixel: it is visible on that axis from
    // the start or never.
    if (y0 < g.t) {
        if (s.sy == 0) return false;
        __int128 q = ((T - Y) << 16) / s.sy;
        first = q < 0 ? 0 : (int64_t)(q >> 16) + 1;
    }
    if (y1 >= g.b && s.sy != 0) last = std::min(last, (int64_t)(((((B - Y) << 16) - 65536) / s.sy) >> 16));
    if (x0 < g.l) {
        if (s.sx <= 0) return false;
        first = std::max(first, (int64_t)((((L - X) << 16) / s.sx) >> 16) + 1);
    }
    if (x0 >= g.r) {
        if (s.sx >= 0) return false;
        first = std::max(first, (int64_t)((((X - R) << 16) / -s.sx) >> 16) + 1);
    }
    if (x1 < g.l && s.sx != 0) last = std::min(last, (int64_t)((((X - L - 1) << 16) / -s.sx) >> 16));
    if (x1 >= g.r && s.sx != 0) last = std::min(last, (int64_t)((((R - X - 1) << 16) / s.sx) >> 16));
    s.first = first;
    s.last = last;
    return last >= first;
}

int64_t gfx_line(const Gfx& g, int64_t x0, int64_t y0, int64_t x1, int64_t y1, uint32_t c) {
    LineSteps s;
    if (!gfx_line_steps(g, x0, y0, x1, y1, s)) return 0;
    for (int64_t k = s.first; k <= s.last; k++) {
        int64_t x = (s.X + k * s.sx) >> 16, y = (s.Y + k * s.sy) >> 16;
        // The steps are clipped exactly; the test only guards the target.
        if (g.inside(x, y)) gfx_shape_at(g, (int32_t)x, (int32_t)y, c);
    }
    return s.last - s.first + 1;
}

// ---- ellipses -------------------------------------------------------------------

namespace {

struct Box {
    int64_t x0, y0, x1, y1;
    Box(int64_t a, int64_t b, int64_t c, int64_t d)
        : x0(std::min(a, c)), y0(std::min(b, d)), x1(std::max(a, c)), y1(std::max(b, d)) {}
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
    while (y >= 0 && x <= a) {
        int step = (t + b2 * x <= crit1 || t + a2 * y <= crit3) ? 0 : (t - a2 * y > crit2) ? 1 : 2;
        visit((int64_t)x, (int64_t)y, step);
        if (step != 1) {
            x += 1;
            dxt += 2 * b2;
            t += dxt;
        }
        if (step != 0) {
            y -= 1;
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
    walk(bx.a(), bx.b(), [&](int64_t x, int64_t y, int) {
        int pts = 1;
        gfx_shape(g, cx + ox + x, cy + oy + y, c);
        if (oy || y) {
            if (ox || x) {
                gfx_shape(g, cx - x, cy - y, c);
                pts++;
            }
            gfx_shape(g, cx + ox + x, cy - y, c);
            pts++;
        }
        if (ox || x) {
            gfx_shape(g, cx - x, cy + oy + y, c);
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
        }
        gfx_charge(cost / 3 + 3 * b.items);
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
    int64_t cost = gfx_rectfill(g, x0, y0, x1, y0, c);
    if (y1 != y0) cost += gfx_rectfill(g, x0, y1, x1, y1, c);
    if (y1 - y0 > 1 || y0 - y1 > 1) {
        int64_t ya = std::min(y0, y1) + 1, yb = std::max(y0, y1) - 1;
        cost += gfx_rectfill(g, x0, ya, x0, yb, c) + gfx_rectfill(g, x1, ya, x1, yb, c);
    }
    gfx_charge(cost, 3);
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
        for (int64_t i = 0; i < b.items; i++) {
            p->draw.inverted_fill = 0;
            if (b.per > 3) {
                set_colp(p, item(b, i, 3, 0));
                gfx_refresh_colour(g);
            }
            cost += circle_fill(g, gfx_coord(item(b, i, 0, 0), cam.x), gfx_coord(item(b, i, 1, 0), cam.y),
                                item(b, i, 2, 4), p->draw.inverted_fill != 0);
        }
        gfx_charge(cost / 3 + 4 * b.items);
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
