// Text printing: fonts read from process memory, print attributes, the
// control codes and code-6 commands of tesscii text, and _print_tesscii.
#include "graphics/print.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "graphics/gfx.h"
#include "graphics/graphics.h"
#include "graphics/sprites.h"
#include "lua.h"
#include "lauxlib.h"

constexpr uint32_t PRINT_FONT = 0x5F56;      // primary font address >> 8
constexpr uint32_t PRINT_ALT_FONT = 0x5F57;  // alternative font address >> 8
constexpr uint32_t PRINT_ATTRS = 0x5F58;     // attribute bits, then three bytes of nibbles

namespace {

// A parameter character: 0-9, a-z as 10-35, anything else 0.
int param_value(uint8_t c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'z') return c - 'a' + 10;
    return 0;
}

int hex_value(uint8_t c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return 0;
}

// One print in progress: the context, the process it draws for and the
// drawing snapshot (retaken after anything that may poke memory).
struct Printer {
    Process* p;
    PrintContext& c;
    Gfx g;
    int64_t cost = 0;
    // The last glyph drawn was out of sight: the next ones may be too.
    bool unseen = false;

    // The font's 2 KB when they lie in one piece of a page. Fonts live below
    // 0x10000, whose pages are never untouched and don't move during a print.
    const uint8_t* font_view = nullptr;
    // The draw-state page, which stays where it is during a print too.
    uint8_t* ds;

    Printer(Process* proc) : p(proc), c(proc->print), ds(ds_page(proc)) { view_font(); }

    int32_t state_i32(uint32_t a) const {
        int32_t v;
        memcpy(&v, ds + (a & 0xFFF), 4);
        return v;
    }

    void view_font() {
        int32_t avail = 0;
        const uint8_t* b = mem_view(p, c.font & ADDR_MASK, &avail);
        font_view = b && avail >= 2048 ? b : nullptr;
    }
    // Otherwise font bytes are read one by one through the byte rule, without
    // touching pages: a font in memory that was never touched reads as zeros.
    uint8_t font_byte(uint32_t i) const {
        return font_view && i < 2048 ? font_view[i] : mem_peek_quiet(p, (c.font + i) & ADDR_MASK);
    }

    int32_t cursor_x() const { return state_i32(DS_CURSOR_X); }
    int32_t cursor_y() const { return state_i32(DS_CURSOR_Y); }
    void set_cursor(int64_t x, int64_t y) {
        int32_t v[2] = {sat_i32(x), sat_i32(y)};
        memcpy(ds + (DS_CURSOR_X & 0xFFF), v, 8);
    }

    // Reads past the end give 0 and stay at the end.
    // The text's byte i; the newline a print appends follows the caller's text.
    uint8_t at(int64_t i) const { return i < c.text_end ? c.text[i] : '\n'; }
    uint8_t byte() { return c.pos < c.end ? at(c.pos++) : 0; }
    int param() { return param_value(byte()); }
    int hex_digits(int n) {
        int v = 0;
        for (int i = 0; i < n; i++) v = v * 16 + hex_value(byte());
        return v;
    }

    uint16_t glyph_colour() const { return (uint16_t)(c.fg | c.bg << 8); }

    void load_font(uint32_t font_ptr_addr);
    void newline_down() {
        set_cursor(c.home_x, (int64_t)cursor_y() + (c.tallest ? c.tallest : c.line_h));
        c.tallest = 0;
    }
    // Whether the font's glyphs carry width adjustments.
    bool font_adjusts() const { return font_byte(5) & 1; }
    // A font glyph's width: the font's for its half of the codes, then its own
    // adjustment when the font has them (which may also raise it a pixel: *up).
    int32_t glyph_width(uint8_t code, bool adjusts, bool* up = nullptr) const {
        int32_t w = code < 128 ? c.char_w : c.wide_w;
        if (adjusts) {
            uint8_t nib = (uint8_t)((font_byte(code / 2u) >> ((code & 1) * 4)) & 15);
            w += ((nib + 4) & 7) - 4;
            if (up) *up = nib & 8;
        }
        return w;
    }
    // Whether a glyph w wide at screen x ox, with a border px wide, reaches into the clip's columns.
    bool glyph_visible(int64_t ox, int64_t px, int64_t w) const { return g.l < ox - px + w && ox - px < g.r; }
    bool draw_character(const uint8_t* rows, int32_t w, int32_t h, bool border_ok, bool up);
    bool font_glyph(uint8_t code);
    int64_t skip_unseen(const uint8_t* codes, int64_t n, int64_t stride);
    bool command();
    bool step();
    void poke_text(uint32_t addr, int64_t n);
};

// The font at the address held in font_ptr_addr: widths, height, offsets and
// tab width from its header, then the non-zero nibbles of 0x5F59-0x5F5B.
void Printer::load_font(uint32_t font_ptr_addr) {
    c.font = (uint32_t)ds_u8(p, font_ptr_addr) << 8;
    view_font();
    uint8_t w = font_byte(0), wide = font_byte(1), h = font_byte(2);
    if (!w && !wide && !h) w = wide = h = 8;
    c.char_w = w;
    c.wide_w = wide;
    c.line_h = h;
    c.off_x = (int8_t)font_byte(3);
    c.off_y = (int8_t)font_byte(4);
    c.tab_w = 0;
    uint8_t n = ds_u8(p, PRINT_ATTRS + 1);
    if (n & 15) c.char_w = n & 15;
    if (n >> 4) c.line_h = n >> 4;
    n = ds_u8(p, PRINT_ATTRS + 2);
    if (n & 15) c.wide_w = n & 15;
    // A high nibble of 0 leaves the tab width to the font.
    if (n >> 4) c.tab_w = c.char_w * ((n >> 4) + 1);
    n = ds_u8(p, PRINT_ATTRS + 3);
    if (n & 15) c.off_x = n & 15;
    if (n >> 4) c.off_y = n >> 4;
}

// Draws one glyph (rows[0] the top row, bit 0 the leftmost pixel) at the
// cursor and advances it. True when a per-character delay stops the print.
bool Printer::draw_character(const uint8_t* rows, int32_t w, int32_t h, bool border_ok, bool up) {
    if (!c.oneoff) {
        if (c.wrap && (int64_t)c.right - w < cursor_x()) newline_down();
        c.glyph_x = cursor_x();
        c.glyph_y = cursor_y();
    }
    int xs = 1, ys = 1, xstep = 1, ystep = 1;
    if (c.dotty) {
        xs = ys = xstep = ystep = 2;
    } else {
        if (c.wide) xs = 2;
        if (c.tall) ys = 2;
        if (c.stripe && c.wide) xstep = 2;
        if (c.stripe && c.tall) ystep = 2;
    }
    const int b = c.border && border_ok ? 1 : 0;
    const int64_t px = b * xs, py = b * ys;
    const int64_t gw = (int64_t)w * xs, gh = (int64_t)h * ys;
    const int64_t ox = (int64_t)cursor_x() + c.off_x - state_i32(DS_CAMERA_X);
    const int64_t oy = (int64_t)cursor_y() + c.off_y - state_i32(DS_CAMERA_Y) - (up ? 1 : 0);
    int64_t background = 0;
    if (c.solid) background = gfx_rectfill(g, ox - px, oy - py, ox + gw - 1, oy + gh - 1, (uint16_t)(c.bg | c.bg << 8));
    if (glyph_visible(ox, px, w)) {
        const GfxPlotter plot(g, glyph_colour());
        const int64_t glyph_rows = std::min(h, 8);
        // Rows (and, inverted, columns) outside the clip are skipped, keeping
        // the steps' phase: a clipped glyph costs the same, but no host time.
        auto first = [](int64_t from, int64_t step, int64_t lo) {
            return from >= lo ? from : from + (lo - from + step - 1) / step * step;
        };
        if (c.invert) {
            // Every pixel of the cell (and of its border) not set in the glyph:
            // only columns 0 .. 8 xs - 1 can hold glyph bits, the rest of each
            // row is drawn whole.
            // Scales are 1 or 2: divisions by them are shifts.
            const int xsh = xs - 1, ysh = ys - 1;
            const int64_t r_end = std::min<int64_t>(gh, (int64_t)g.b - oy), k_end = std::min<int64_t>(gw, (int64_t)g.r - ox);
            // The columns left of the glyph's bits, on them, and right of them.
            const int64_t k0 = first(-px, xstep, (int64_t)g.l - ox), k1 = first(k0, xstep, 0);
            const int64_t bits_end = std::min<int64_t>(k_end, 8 * xs), k2 = first(k1, xstep, 8 * xs);
            for (int64_t r = first(-py, ystep, (int64_t)g.t - oy); r < r_end; r += ystep) {
                int64_t gr = (r + ys) >> ysh;  // 1-based glyph row; r >= -ys here
                uint8_t row = (r >= 0 && gr >= 1 && gr <= glyph_rows) ? rows[gr - 1] : 0;
                const int32_t y = (int32_t)(oy + r);
                // Columns ka, ka + xstep, ... below kb, all drawn.
                auto run = [&](int64_t ka, int64_t kb) {
                    if (xstep == 1 && ka < kb) gfx_hline(g, ox + ka, ox + kb - 1, y, plot.c);
                    else
                        for (int64_t k = ka; k < kb; k += xstep) plot.at((int32_t)(ox + k), y);
                };
                run(k0, std::min<int64_t>(k_end, 0));
                for (int64_t k = k1; k < bits_end; k += xstep)
                    if (!((row >> (k >> xsh)) & 1)) plot.at((int32_t)(ox + k), y);
                run(k2, k_end);
            }
        } else {
            // Only the glyph's set bits: pixel columns bit * xs .. + xs - 1
            // that the x step reaches, inside the cell.
            const int64_t r_end = std::min<int64_t>(std::min(gh, glyph_rows * ys), (int64_t)g.b - oy);
            for (int64_t r = first(0, ystep, (int64_t)g.t - oy); r < r_end; r += ystep) {
                for (uint32_t bits = rows[r / ys]; bits; bits &= bits - 1) {
                    int64_t bit = __builtin_ctz(bits);
                    for (int64_t k = bit * xs; k < (bit + 1) * xs && k < gw; k++)
                        if (k % xstep == 0) plot(ox + k, oy + r);
                }
            }
        }
        // A glyph narrowed below zero width costs nothing, never a refund.
        cost += std::max<int64_t>(gw * gh + 1, 0) / 3;
        unseen = false;
    } else {
        // The glyph is out of sight, but its background may not be.
        cost += background / 3;
        unseen = true;
    }
    set_cursor((int64_t)cursor_x() + gw, cursor_y());
    c.last_advance = (int32_t)gw;
    c.tallest = (int32_t)std::max<int64_t>(c.tallest, gh);
    if (c.oneoff) {
        set_cursor(c.oneoff_x, c.oneoff_y);
        c.oneoff = 0;
    }
    if (c.delay) {
        c.pause = c.delay - 1;
        return true;
    }
    return false;
}

// Glyph code from the current font, with its width adjustment.
bool Printer::font_glyph(uint8_t code) {
    uint8_t rows[8];
    if (font_view) memcpy(rows, font_view + 8u * code, 8);
    else
        for (uint32_t i = 0; i < 8; i++) rows[i] = font_byte(8u * code + i);
    bool up = false;
    int32_t w = glyph_width(code, font_adjusts(), &up);
    return draw_character(rows, w, c.line_h, true, up);
}

// Font glyphs that show nothing, being wholly left or right of the clip,
// only move the cursor; a run of them is done here without drawing, to the
// same effect as glyph by glyph. codes[0], codes[stride], ... are up to n
// glyph codes (stride 0: one code repeated). Stops before a glyph that shows
// or anything that is not a plain glyph; returns how many it did.
int64_t Printer::skip_unseen(const uint8_t* codes, int64_t n, int64_t stride) {
    if (n <= 0 || c.oneoff || c.wrap || c.solid || c.delay || (codes[0] < 16 && codes[0] != 7)) return 0;
    const int64_t xs = c.dotty || c.wide ? 2 : 1, ys = c.dotty || c.tall ? 2 : 1;
    const int64_t px = c.border ? xs : 0, gh = (int64_t)c.line_h * ys;
    const bool adjusts = font_adjusts();
    const int64_t cam = state_i32(DS_CAMERA_X), off = c.off_x;
    const int32_t y = cursor_y();
    int32_t x = cursor_x();
    int64_t done = 0;
    for (; done < n; done++) {
        const uint8_t code = codes[done * stride];
        if (code < 16 && code != 7) break;
        const int64_t w = glyph_width(code, adjusts);
        if (glyph_visible((int64_t)x + off - cam, px, w)) break;
        const int64_t gw = w * xs;
        c.glyph_x = x;
        c.glyph_y = y;
        x = sat_i32((int64_t)x + gw);
        c.last_advance = (int32_t)gw;
        c.tallest = (int32_t)std::max<int64_t>(c.tallest, gh);
        c.max_x = std::max<int64_t>(c.max_x, x);
    }
    if (done) {
        set_cursor(x, y);
        c.max_y = std::max<int64_t>(c.max_y, y);
        c.stepped = 1;
    }
    return done;
}

void Printer::poke_text(uint32_t addr, int64_t n) {
    n = std::clamp<int64_t>(n, 0, std::max<int64_t>(c.text_end - c.pos, 0));
    mem_write_bytes(p, addr & ADDR_MASK, c.text + c.pos, n);
    c.pos += n;
    cost += n;
    // The bytes may have landed in the draw state.
    gfx_begin(g, p, false);
}

// The command after code 6. True when it stops the print.
bool Printer::command() {
    uint8_t l = byte();
    bool on = true;
    if (l == '-') {
        on = false;
        l = byte();
    }
    switch (l) {
    case '1': case '2': case '3': case '4': case '5': case '6': case '7': case '8': case '9':
        c.pause = (1 << (l - '1')) - 1;
        return true;
    case 'd': c.delay = param(); break;
    case 'c': {
        TypedArray* t = p->draw.target;
        int64_t n = (int64_t)t->width * t->height;
        memset(ta_data(t), param() & 63, (size_t)n);
        set_cursor(0, 0);
        cost += n / 64;
        break;
    }
    case '#': c.solid = on; break;
    case '$': c.wrap = on; break;
    case '=': c.stripe = on; break;
    case 'b': c.border = on; break;
    case 'i': c.invert = on; break;
    case 'p': c.dotty = on; break;
    case 't': c.tall = on; break;
    case 'w': c.wide = on; break;
    case 'g': set_cursor(c.home_x, c.home_y); break;
    case 'h':
        c.home_x = cursor_x();
        c.home_y = cursor_y();
        break;
    case 'j': {
        int x = param(), y = param();
        set_cursor(4 * x, 4 * y);
        break;
    }
    case 'r': c.right = 4 * param(); break;
    case 's': c.tab_w = param() * c.char_w; break;
    case 'x': {
        int w = param();
        c.char_w = w;
        c.wide_w = font_byte(1) + w - font_byte(0);
        break;
    }
    case 'y': c.line_h = param(); break;
    case '@': {
        uint32_t a = (uint32_t)hex_digits(4);
        poke_text(a, hex_digits(4));
        break;
    }
    case '!':
        poke_text((uint32_t)hex_digits(4), c.text_end - c.pos);
        c.pos = c.end;
        break;
    // One-off glyphs take no border: only glyphs of the font allow one.
    case ':': {
        uint8_t rows[8];
        for (uint8_t& r : rows) r = (uint8_t)hex_digits(2);
        return draw_character(rows, 8, 8, false, false);
    }
    case '.': {
        uint8_t rows[8];
        for (uint8_t& r : rows) r = byte();
        return draw_character(rows, 8, 8, false, false);
    }
    default: break;
    }
    return false;
}

// One code or glyph. True when the print stops here.
bool Printer::step() {
    uint8_t code = at(c.pos++);
    // Codes 1-6 with nothing after them are drawn as glyphs.
    if (code >= 1 && code <= 6 && c.pos >= c.end) return font_glyph(code);
    switch (code) {
    case 0: c.pos = c.end; return false;
    case 1: {
        int n = param();
        if (c.pos >= c.end) return false;
        uint8_t ch = byte();
        for (int i = 0; i < n; i++) {
            if (int64_t k = unseen ? skip_unseen(&ch, n - i, 0) : 0) {
                cost += k;
                i += (int)k - 1;
                continue;
            }
            // Up to 35 glyphs from three bytes: each costs at least a cycle,
            // out of sight or not.
            int64_t before = cost;
            bool stop = font_glyph(ch);
            if (cost == before) cost++;
            if (stop) return true;
        }
        return false;
    }
    case 2:
        c.bg = param() & 63;
        c.solid = 1;
        return false;
    case 3: set_cursor((int64_t)cursor_x() + param() - 16, cursor_y()); return false;
    case 4: set_cursor(cursor_x(), (int64_t)cursor_y() + param() - 16); return false;
    case 5: {
        int dx = param() - 16, dy = param() - 16;
        set_cursor((int64_t)cursor_x() + dx, (int64_t)cursor_y() + dy);
        return false;
    }
    case 6: return command();
    case 8: set_cursor((int64_t)cursor_x() - c.last_advance, cursor_y()); return false;
    case 9: {
        int64_t tw = c.tab_w ? c.tab_w : font_byte(6) ? font_byte(6) : 3 * (int64_t)c.char_w;
        // Tab width 0 (a zero-width font) leaves the cursor where it is. A
        // cursor on a stop moves on to the next one.
        if (tw > 0) {
            int64_t base = (font_byte(5) & 2) ? c.home_x : 0, rel = (int64_t)cursor_x() - base;
            int64_t q = rel >= 0 ? rel / tw : -((-rel + tw - 1) / tw);
            set_cursor(base + (q + 1) * tw, cursor_y());
        }
        return false;
    }
    case 10: newline_down(); return false;
    case 11: {
        int v = param();
        c.oneoff_x = cursor_x();
        c.oneoff_y = cursor_y();
        set_cursor((int64_t)c.glyph_x + (v & 3) - 2, (int64_t)c.glyph_y + (v >> 2) - 8);
        c.oneoff = 1;
        return false;
    }
    case 12:
        c.fg = param() & 63;
        ds_set_i16(p, DS_COLOUR, (int16_t)c.fg);
        return false;
    case 13: set_cursor(c.home_x, cursor_y()); return false;
    case 14: load_font(PRINT_ALT_FONT); return false;
    case 15: load_font(PRINT_FONT); return false;
    default: return font_glyph(code);
    }
}

}  // namespace

void reset_print_context(Process* p) {
    PrintContext& c = p->print;
    uint8_t a = ds_u8(p, PRINT_ATTRS);
    // Without bit 0 the attribute byte is not in use, except for its border bit.
    if (!(a & 1)) a &= 2;
    c.border = (a >> 1) & 1;
    c.wide = (a >> 2) & 1;
    c.tall = (a >> 3) & 1;
    c.solid = (a >> 4) & 1;
    c.invert = (a >> 5) & 1;
    c.stripe = (a >> 6) & 1;
    Printer pr(p);
    pr.load_font((a & 0x80) ? PRINT_ALT_FONT : PRINT_FONT);
}

int print_tesscii(Process* p, const char* text, int64_t len, int wrap, uint32_t colour, lua_State* L, int64_t cap) {
    if (!p || !p->draw.target || len < 0) return 0;
    PrintContext& c = p->print;
    c = PrintContext{};
    // The caller's bytes are read in place; nothing stays after the print
    // (a stopped print is never resumed), however it ends.
    struct Forget {
        PrintContext& c;
        ~Forget() { c.text = nullptr; }
    } forget{c};
    c.text = (const uint8_t*)text;
    c.text_end = len;
    c.end = len + ((ds_u8(p, DS_PRINT_FLAGS) & 4) ? 0 : 1);
    reset_print_context(p);
    Printer pr(p);
    gfx_begin(pr.g, p, false);
    c.wrap = wrap;
    c.right = pr.g.r;
    c.home_x = ds_i32(p, DS_HOME_X);
    c.home_y = ds_i32(p, DS_CURSOR_Y);
    c.fg = colour & 63;
    c.bg = (colour >> 8) & 63;
    c.max_x = c.max_y = INT64_MIN;
    int stopped = 0;
    GfxMeter meter(L);
    while (c.pos < c.end) {
        // After a glyph out of sight, a run of them: a step each, done in one
        // go (a bounded run, so the charge keeps up with it).
        int64_t run = pr.unseen ? std::min<int64_t>({c.text_end - c.pos, 4096, cap - pr.cost}) : 0;
        if (int64_t n = pr.skip_unseen(c.text + c.pos, run, 1)) {
            c.pos += n;
            pr.cost += n;
            meter.to(pr.cost);
            if (pr.cost >= cap) {
                c.pos = c.end;
                break;
            }
            continue;
        }
        int64_t at = c.pos;
        stopped = pr.step();
        pr.cost += std::max<int64_t>(c.pos - at, 1);
        c.max_x = std::max<int64_t>(c.max_x, pr.cursor_x());
        c.max_y = std::max<int64_t>(c.max_y, pr.cursor_y());
        c.stepped = 1;
        meter.to(pr.cost);
        if (stopped) break;
        if (pr.cost >= cap) {
            c.pos = c.end;
            break;
        }
    }
    // Charged at least a cycle, as a single charge at the end is.
    if (!meter.charged) spend_cpu(0);
    return stopped;
}

int lua54_print_tesscii(lua_State* L) {
    Process* p = cproc;
    int t = lua_type(L, 1);
    if (!p || !p->draw.target || (t != LUA_TSTRING && t != LUA_TNUMBER)) return 0;
    size_t n = 0;
    const char* s = lua_tolstring(L, 1, &n);
    gfx_derive_clip(p);
    if (lua_gettop(L) >= 3) {
        int32_t x = lua_type(L, 2) == LUA_TNUMBER ? sat_i32(q64_intp(L, 2, 0)) : ds_i32(p, DS_CURSOR_X);
        int32_t y = lua_type(L, 3) == LUA_TNUMBER ? sat_i32(q64_intp(L, 3, 0)) : ds_i32(p, DS_CURSOR_Y);
        ds_set_i32(p, DS_CURSOR_X, x);
        ds_set_i32(p, DS_CURSOR_Y, y);
        ds_set_i32(p, DS_HOME_X, x);
    }
    gfx_colour_arg(L, 4, p);
    print_tesscii(p, s, (int64_t)n, (ds_u8(p, DS_PRINT_FLAGS) >> 7) & 1, (uint16_t)ds_i16(p, DS_COLOUR), L);
    const PrintContext& c = p->print;
    lua_pushinteger(L, c.stepped ? c.max_x : ds_i32(p, DS_CURSOR_X));
    lua_pushinteger(L, c.stepped ? c.max_y : ds_i32(p, DS_CURSOR_Y));
    return 2;
}

// ---- processes that run no Lua -------------------------------------------------------

void gfx_init_host_process(Process* p, TypedArray* frame) {
    mem_init_process(p);
    PagedAddressSpace& m = p->mem;
    int64_t len = ta_data_bytes(frame);
    uint8_t* data = ta_data(frame);
    for (int64_t i = 0; i * PAGE_SIZE < len && 0x10 + i < PAGE_COUNT; i++) {
        int64_t j = 0x10 + i;
        m.page[j] = data + PAGE_SIZE * i;
        m.page_len[j] = (int32_t)std::min<int64_t>(PAGE_SIZE, len - PAGE_SIZE * i);
        m.mapped[j >> 6] |= (uint64_t)1 << (j & 63);
        m.owner[j] = frame;
        m.flag[j] = 0xFF;
    }
    gfx_attach_target(p, frame);
    uint8_t* ds = ds_page(p);
    ds_set_i16(p, DS_DISPLAY_W, (int16_t)frame->width);
    ds_set_i16(p, DS_DISPLAY_H, (int16_t)frame->height);
    for (int i = 0; i < 64; i++) ds[(DS_DISPLAY_PAL & 0xFFF) + i] = (uint8_t)i;
    // Opaque tables: every source colour draws itself.
    uint8_t* tab = mem_low_page(p, COLTAB_BASE >> 12);
    for (int r = 0; r < 64; r++) memset(tab + 64 * r, r, 64);
    memset(ds + (DS_READ_MASK & 0xFFF), 0x3F, 4);
    memset(ds + (DS_LINE_FLAG & 0xFFF), 0, 9);
    ds_set_u8(p, PRINT_FONT, 0x40);
    ds_set_u8(p, PRINT_ALT_FONT, 0x56);
    memcpy(mem_low_page(p, 4), lil_font_dat.data(), LIL_FONT_SIZE);
    memcpy(ds + (DS_RGB_PAL & 0xFFF), system_palette, 64 * sizeof(uint32_t));
}
