// Sprites, text and textured lines through their Lua entry points, in a real
// process with a 480 x 270 screen, the default tables and font:
// - ns per pixel of spr 16 x 16, _print_tesscii of a 40-character line (pixels
//   of the glyph cells) and tline3d (the u8 fast path, the general blend and
//   an i16 map source);
// - the full-budget rule: host time for calls that spend one frame's budget
//   (279,620 cycles), for each drawing call of this family, texts whose work
//   is mostly not drawing and maps of one-pixel tiles included. It must stay
//   at or under 4 ms (a call is stopped 64 frames' budget over, so that bounds
//   its host time too).
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstring>
#include <string>

#include "graphics/gfx.h"
#include "graphics/graphics.h"
#include "graphics/print.h"
#include "kernel/process.h"
#include "lauxlib.h"
#include "lua.h"

namespace {

const char* SETUP = R"LUA(
S = userdata('u8', 480, 270) _map_ram(S, 0x10000) _set_draw_target(S)
poke(0x5508, 0x3f, 0x3f, 0x3f, 0) pal() poke(0x5F56, 0x40, 0x56)
local s = userdata('u8', 16, 16) for i = 0, 255 do s[i] = (i * 7) % 32 end _set_spr(1, s)
T = userdata('u8', 32, 32) for i = 0, 1023 do T[i] = (i * 13) % 64 end
M = userdata('i16', 8, 8) for i = 0, 63 do M[i] = 1 + (i % 2) * 0x4000 end
LINE = "The quick brown fox jumps over a lazy dog"
LINE = LINE:sub(1, 40)
B8 = userdata('u8', 480, 270) B64 = userdata('f64', 480, 270) D64 = userdata('f64', 480, 270)
)LUA";

struct World {
    Process* p;
    World() {
        init_default_coltabs();
        processes_init();
        p = create_process_from_code("", "bench", "/bench.lua");
        cproc = p;
        memcpy(mem_low_page(p, 4), lil_font_dat.data(), LIL_FONT_SIZE);
        cpu_cycles_max = INT32_MAX;
        if (luaL_dostring(p->L, SETUP) != LUA_OK) abort();
    }
    // Loads `call` (a chunk that does one call, getting i) as a function.
    int load(const std::string& call) {
        std::string src = "return function(i) " + call + " end";
        if (luaL_dostring(p->L, src.c_str()) != LUA_OK) abort();
        return luaL_ref(p->L, LUA_REGISTRYINDEX);
    }
    void run(int ref, int64_t i) {
        lua_rawgeti(p->L, LUA_REGISTRYINDEX, ref);
        lua_pushinteger(p->L, i);
        lua_call(p->L, 1, 0);
    }
};

World& world() {
    static World w;
    return w;
}

void per_pixel(benchmark::State& state, const std::string& call, int64_t pixels, const char* prep = "") {
    World& w = world();
    luaL_dostring(w.p->L, prep);
    int ref = w.load(call);
    int64_t i = 0;
    for (auto _ : state) w.run(ref, i++);
    // Seconds per pixel (shown with an SI prefix: "n" is ns).
    state.counters["per_px"] =
        benchmark::Counter((double)(i * pixels), benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    luaL_dostring(w.p->L, "poke(0x5508, 0x3f, 0x3f, 0x3f, 0) poke(0x5500, 0, 0, 0, 0, 0, 0, 0, 0)");
}

// Calls until one frame's budget is charged; reports the host time of that.
void full_budget(benchmark::State& state, const std::string& call, const char* prep = "") {
    World& w = world();
    luaL_dostring(w.p->L, prep);
    int ref = w.load(call);
    int64_t calls = 0;
    for (auto _ : state) {
        cpu_cycles = 0;
        int64_t i = 0;
        while (cpu_cycles < FRAME_CYCLES) w.run(ref, i++);
        calls = i;
    }
    state.counters["calls"] = (double)calls;
    luaL_dostring(w.p->L, "poke(0x5508, 0x3f, 0x3f, 0x3f, 0) poke(0x5500, 0, 0, 0, 0, 0, 0, 0, 0)");
}

const char* SPR = "spr(1, (i * 37) % 464, (i * 11) % 254)";
const char* PRINT = "_print_tesscii(LINE, 0, (i * 9) % 261)";
const char* TLINE = "tline3d(T, 0, i % 270, 479, i % 270, 0, 0)";
// Glyph cells of the default font: the advance of each character times 9.
int64_t print_pixels() {
    World& w = world();
    luaL_dostring(w.p->L, "poke(0x5F36, 4) cursor(0, 0) R = _print_tesscii(LINE) poke(0x5F36, 0)");
    lua_getglobal(w.p->L, "R");
    int64_t x = lua_tointeger(w.p->L, -1);
    lua_pop(w.p->L, 1);
    return x * 9;
}

void BM_spr_16x16(benchmark::State& s) { per_pixel(s, SPR, 256); }
void BM_print_40_chars(benchmark::State& s) { per_pixel(s, PRINT, print_pixels()); }
void BM_tline3d_fast(benchmark::State& s) { per_pixel(s, TLINE, 480); }
void BM_tline3d_blend(benchmark::State& s) { per_pixel(s, TLINE, 480, "poke(0x550A, 0xff)"); }
void BM_tline3d_map(benchmark::State& s) {
    per_pixel(s, "tline3d(M, 0, i % 270, 479, i % 270, 0, 0, 8, 1)", 480);
}

void BM_budget_spr(benchmark::State& s) { full_budget(s, SPR); }
void BM_budget_spr_batch(benchmark::State& s) {
    full_budget(s, "spr(SB)", "SB = userdata('f64', 3, 64) for i = 0, 63 do SB:set(0, i, 1, i * 7, i * 4) end");
}
void BM_budget_sspr_x2(benchmark::State& s) { full_budget(s, "sspr(1, 0, 0, 16, 16, (i * 37) % 448, (i * 11) % 238, 32, 32)"); }
void BM_budget_map(benchmark::State& s) { full_budget(s, "_draw_map(M, 0, 0, (i * 7) % 64, (i * 5) % 64, 8, 8, 0, 16, 16)"); }
void BM_budget_map_scaled(benchmark::State& s) { full_budget(s, "_draw_map(M, 0, 0, 0, 0, 8, 8, 0, 24, 24)"); }
void BM_budget_map_tiny(benchmark::State& s) { full_budget(s, "_draw_map(M, 0, 0, 0, 0, 8, 8, 0, 1, 1)"); }
void BM_budget_print(benchmark::State& s) { full_budget(s, PRINT); }
void BM_budget_print_wide(benchmark::State& s) {
    full_budget(s, "_print_tesscii('\\006p\\006i\\006b' .. LINE, 0, (i * 9) % 250)");
}
// Texts whose work is mostly not drawing: glyphs out of sight, empty glyphs
// repeated, huge inverted glyphs, a large target cleared.
void BM_budget_print_unseen(benchmark::State& s) {
    full_budget(s, "_print_tesscii(U, 1000, 0)", "U = string.rep('A', 4096)");
}
void BM_budget_print_repeat_empty(benchmark::State& s) {
    full_budget(s, "_print_tesscii(U, 0, 0)", "U = '\\006x0' .. string.rep('\\001zA', 1000)");
}
void BM_budget_print_inverted(benchmark::State& s) {
    full_budget(s, "_print_tesscii(U, 0, 0)", "U = '\\006i\\006w\\006t\\006xz\\006yz' .. string.rep('A\\r', 100)");
}
void BM_budget_print_clear_large(benchmark::State& s) {
    full_budget(s, "_set_draw_target(BIG) _print_tesscii('\\006c0') _set_draw_target(S)", "BIG = userdata('u8', 4096, 4096)");
}
void BM_budget_tline3d_fast(benchmark::State& s) { full_budget(s, TLINE); }
void BM_budget_tline3d_blend(benchmark::State& s) { full_budget(s, TLINE, "poke(0x550A, 0xff)"); }
void BM_budget_tline3d_map(benchmark::State& s) { full_budget(s, "tline3d(M, 0, i % 270, 479, i % 270, 0, 0, 8, 1)"); }
void BM_budget_blit_u8(benchmark::State& s) { full_budget(s, "blit(B8, nil, 0, 0, 0, 0)"); }
void BM_budget_blit_f64(benchmark::State& s) { full_budget(s, "blit(B64, D64, 0, 0, 0, 0)"); }

}  // namespace

BENCHMARK(BM_spr_16x16);
BENCHMARK(BM_print_40_chars);
BENCHMARK(BM_tline3d_fast);
BENCHMARK(BM_tline3d_blend);
BENCHMARK(BM_tline3d_map);
BENCHMARK(BM_budget_spr)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_budget_spr_batch)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_budget_sspr_x2)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_budget_map)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_budget_map_scaled)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_budget_map_tiny)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_budget_print)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_budget_print_wide)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_budget_print_unseen)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_budget_print_repeat_empty)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_budget_print_inverted)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_budget_print_clear_large)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_budget_tline3d_fast)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_budget_tline3d_blend)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_budget_tline3d_map)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_budget_blit_u8)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_budget_blit_f64)->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
