// Text printing in the tesscii character set: fonts in process memory, print
// attributes, control codes and commands, and the default font.
#pragma once
#include <array>
#include <cstdint>

struct Process;
struct TypedArray;
struct lua_State;

// The default font: 256 glyphs of 8 bytes (glyph 0 is the header) in the
// first 2 KB; the second 2 KB are zero.
constexpr int LIL_FONT_SIZE = 4096;
extern const std::array<uint8_t, LIL_FONT_SIZE> lil_font_dat;

// The print state of a process, cleared at the start of every print.
struct PrintContext {
    const uint8_t* text;     // the caller's text, during a print only
    int64_t pos, end;        // next byte, end (after the appended newline)
    int64_t text_end;        // end of the caller's text: pokes stop here
    uint32_t font;           // font address
    int32_t wrap, right;     // wrap at the right margin
    int32_t home_x, home_y;
    int32_t fg, bg;
    int32_t pause, delay;    // pause frames; per-character delay
    uint8_t wide, tall, stripe, dotty, border, solid, invert;
    int32_t char_w, wide_w, line_h, off_x, off_y, tab_w;
    int32_t last_advance, tallest;
    int32_t glyph_x, glyph_y;       // where the last glyph started
    int32_t oneoff;                 // the next glyph is a one-off offset one
    int32_t oneoff_x, oneoff_y;     // where the cursor returns after it
    int64_t max_x, max_y;           // largest cursor reached
    int32_t stepped;                // at least one step was taken
};

// Prints len bytes of text into p's draw target with the colour word
// (foreground low byte, background high byte). Returns 0 when the whole text
// was printed, non-zero when a pause stopped it. Charges the CPU as it goes:
// with the Lua state of the program printing, a print far over its budget is
// stopped with the runaway error like any other native work; the host's own
// prints (no state) end quietly once they have cost cap cycles.
int print_tesscii(Process* p, const char* text, int64_t len, int wrap, uint32_t colour, lua_State* L = nullptr,
                  int64_t cap = INT64_MAX);
// Loads the font and the print attributes (0x5F56-0x5F5B) into the context.
void reset_print_context(Process* p);

// Sets up a process record that runs no Lua (the boot screen, label
// printing) with memory of its own to print into frame: its screen pages map
// the frame, which becomes its draw target; opaque colour tables, identity
// display palette, built-in RGB colours, masks 0x3F and the default font.
void gfx_init_host_process(Process* p, TypedArray* frame);

int lua54_print_tesscii(lua_State* L);
