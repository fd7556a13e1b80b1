// Drawing, memory and video out, side by side in one run (best of N rounds,
// the cases interleaved round by round so they share the machine's noise):
//   1. a full-screen zero-mask rectfill against memset of the same bytes;
//   2. per-pixel blends: a masked span in ns per pixel, pset from Lua per call;
//   3. generate_video_out per frame;
//   4. host time per virtual cycle of each primitive in its worst configuration,
//      scaled to a whole frame's budget of 279,620 cycles (from Lua loops, so the
//      bytecode loop's own charges count as a program's would).
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "graphics/gfx.h"
#include "graphics/video.h"
#include "kernel/state.h"
#include "lauxlib.h"
#include "lua.h"

namespace {

using clk = std::chrono::steady_clock;

Process* proc;

void lua_run(const std::string& code) {
    lua_State* L = proc->L;
    cproc = proc;
    cpu_cycles_max = INT32_MAX;
    if (luaL_loadstring(L, code.c_str()) != LUA_OK || lua_pcall(L, 0, 0, 0) != LUA_OK) {
        fprintf(stderr, "bench: %s: %s\n", code.c_str(), lua_tostring(L, -1));
        exit(1);
    }
}

struct Case {
    std::string name;
    std::function<void()> setup;  // not timed
    std::function<void()> run;
    double per;                    // units of work in one run (pixels, calls, frames)
    double best_ns = 1e30;
    int64_t cycles = 0;            // cycles one run charged
};

void measure(std::vector<Case>& cases, int rounds) {
    for (int r = 0; r < rounds; r++)
        for (Case& c : cases) {
            if (c.setup) c.setup();
            cpu_cycles = 0;
            auto t0 = clk::now();
            c.run();
            double ns = std::chrono::duration<double, std::nano>(clk::now() - t0).count();
            c.cycles = cpu_cycles;
            c.best_ns = std::min(c.best_ns, ns);
        }
}

// A Lua loop calling one primitive n times; the case's arguments are Lua text.
Case lua_case(const std::string& name, const std::string& prep, const std::string& call, int n) {
    std::string loop = "local n = " + std::to_string(n) + " for i = 1, n do " + call + " end";
    return Case{name, prep.empty() ? std::function<void()>() : [prep] { lua_run(prep); },
                [loop] { lua_run(loop); }, (double)n};
}

}  // namespace

int main(int argc, char** argv) {
    int rounds = argc > 1 ? atoi(argv[1]) : 15;
    config_set_defaults();
    config.headless = 1;
    reset_system_tables();
    proc = create_process_from_code("", "bench", "/bench.lua");
    Process* wm_stub = create_process_from_code("", "pm", "/pm.lua");
    Process* wm = create_process_from_code("", "wm", "/wm.lua");
    (void)wm_stub;
    lua_settop(proc->L, 0);
    lua_run("S = userdata('u8', 480, 270) _map_ram(S, 0x10000) _set_draw_target(S) "
            "poke(0x5508, 0x3f, 0x3f, 0x3f, 0) poke2(0x5478, 480, 270) pal() color(6) "
            "for i = 0, #S - 1 do S[i] = i % 61 end");
    {
        Process* keep = proc;
        proc = wm;
        lua_settop(wm->L, 0);
        lua_run("W = userdata('u8', 480, 270) _map_ram(W, 0x10000) _set_draw_target(W) pal() "
                "for i = 0, #W - 1 do W[i] = i % 64 end poke2(0x5478, 480, 270)");
        proc = keep;
    }
    app.boot_finished = app.show_wm_video = 1;
    cproc = proc;

    // 1. Full-screen fill: memset of the target's bytes against the zero-mask span.
    static uint8_t plain[480 * 270];
    std::vector<Case> fill = {
        {"memset 480x270", nullptr, [] { memset(plain, (int)(cpu_cycles & 0x3F) + 1, sizeof plain); }, 480 * 270},
        {"rectfill 480x270, zero target mask (C)", [] { lua_run("fillp() poke(0x550B, 0)"); },
         [] {
             Gfx g;
             gfx_begin(g, proc, false);
             gfx_rectfill(g, 0, 0, 479, 269, 7);
         },
         480 * 270},
        {"rectfill 480x270, zero target mask, pattern (C)", [] { lua_run("fillp(0x5a5a) poke(0x550B, 0)"); },
         [] {
             Gfx g;
             gfx_begin(g, proc, false);
             gfx_rectfill(g, 0, 0, 479, 269, 0x0c07);
         },
         480 * 270},
        {"rectfill 480x270, target mask 0x3f (C)", [] { lua_run("fillp() poke(0x550B, 0x3f)"); },
         [] {
             Gfx g;
             gfx_begin(g, proc, false);
             gfx_rectfill(g, 0, 0, 479, 269, 7);
         },
         480 * 270},
    };
    // 2. pset from Lua, 3. video out.
    std::vector<Case> blend = {
        lua_case("pset from Lua (in clip)", "fillp() poke(0x550B, 0)", "pset(i & 255, 7, 9)", 100000),
        lua_case("empty Lua loop (for reference)", "", "", 100000),
        lua_case("flr from Lua (for reference)", "", "flr(i)", 100000),
        lua_case("pget from Lua", "", "pget(i & 255, 7)", 100000),
        lua_case("color from Lua", "", "color(i)", 100000),
        {"generate_video_out, mode 0", [] { cproc = proc; poke_proc(get_process(3), 0x547C, 0); },
         [] { generate_video_out(); }, 1},
        {"generate_video_out, mode 3", [] { poke_proc(get_process(3), 0x547C, 3); }, [] { generate_video_out(); }, 1},
    };
    measure(fill, rounds);
    measure(blend, rounds);
    poke_proc(wm, 0x547C, 0);

    printf("Fills (best of %d)\n", rounds);
    printf("  %-52s %10s %12s %8s\n", "case", "us", "ns/pixel", "vs memset");
    for (Case& c : fill)
        printf("  %-52s %10.1f %12.3f %7.0f%%\n", c.name.c_str(), c.best_ns / 1000, c.best_ns / c.per,
               100.0 * fill[0].best_ns / c.best_ns);
    printf("\nBlends and video out (best of %d)\n", rounds);
    printf("  %-52s %10s\n", "case", "ns per unit");
    for (Case& c : blend) printf("  %-52s %10.1f\n", c.name.c_str(), c.best_ns / c.per);

    // 4. Host time per virtual cycle, each primitive at its worst configuration.
    const char* reset = "clip() camera() fillp() poke(0x550B, 0) color(6) pal() collectgarbage()";
    std::vector<Case> worst = {
        lua_case("pset, in clip", reset, "pset(i & 255, 7, 9)", 20000),
        lua_case("pset, outside the clip", reset, "pset(-5, -5, 9)", 20000),
        lua_case("pget", reset, "pget(i & 255, 7)", 20000),
        lua_case("rectfill 1 x 270 column, zero mask", reset, "rectfill(5, 0, 5, 269)", 2000),
        lua_case("rectfill 480 x 270, zero mask", reset, "rectfill(0, 0, 479, 269)", 100),
        lua_case("rectfill 480 x 270, pattern, write mask 0x0f", reset + std::string(" fillp(0x5a5a) poke(0x5509, 15)"),
                 "rectfill(0, 0, 479, 269, 0x0c07)", 100),
        lua_case("rectfill 480 x 270, target mask 0x3f", reset + std::string(" poke(0x550B, 0x3f)"),
                 "rectfill(0, 0, 479, 269)", 50),
        lua_case("rectfill 1 x 270 column, target mask 0x3f", reset + std::string(" poke(0x550B, 0x3f)"),
                 "rectfill(5, 0, 5, 269)", 2000),
        lua_case("rect 480 x 270", reset, "rect(0, 0, 479, 269)", 2000),
        lua_case("rectfill, inverted, small hole", reset, "rectfill(200, 100, 201, 101, 0x800000007)", 100),
        lua_case("line, screen diagonal", reset, "line(0, 0, 479, 269)", 2000),
        lua_case("line, steep, 270 pixels", reset, "line(0, 0, 3, 269)", 2000),
        lua_case("line, huge coordinates, clipped", reset, "line(-2^31, -2^31 + 5, 2^31 - 1, 2^31 - 9)", 2000),
        lua_case("line, wholly outside", reset, "line(-100, -100, -50, -10)", 20000),
        lua_case("circ r 100", reset, "circ(240, 135, 100)", 500),
        lua_case("circ r 2000, arc through the screen", reset, "circ(240, 2100, 2000)", 50),
        lua_case("oval, huge box (bounded)", reset, "oval(-2^31, -2^31, 2^31 - 1, 2^31 - 1)", 3),
        lua_case("circfill r 100", reset, "circfill(240, 135, 100)", 500),
        lua_case("circfill r 100, target mask 0x3f", reset + std::string(" poke(0x550B, 0x3f)"),
                 "circfill(240, 135, 100)", 200),
        lua_case("circfill r 100, inverted", reset, "circfill(240, 135, 100, 0x800000007)", 200),
        lua_case("circfill r 1e5, clip inside (rectfill shortcut)", reset, "circfill(240, 135, 100000)", 200),
        lua_case("circfill r 3000, arc through the screen", reset, "circfill(240, 3100, 3000)", 50),
        lua_case("ovalfill 480 x 2 (thin)", reset, "ovalfill(0, 0, 479, 1)", 5000),
        lua_case("cls", reset, "cls(i & 63)", 500),
        lua_case("pset batch, 262,144 items", reset + std::string(" B = userdata('f64', 3, 4096)"),
                 "pset(B, 0, 262144, 3, 0)", 5),
        lua_case("circfill batch of radius 0", reset + std::string(" C = userdata('f64', 4, 4096)"),
                 "circfill(C, 0, 4096, 3, 4)", 20),
        lua_case("pal() after a change", reset, "pal(1, 2) pal()", 5000),
        lua_case("pal(table of 64)", reset + std::string(" T = {} for k = 0, 63 do T[k] = 63 - k end"), "pal(T)", 2000),
        lua_case("palt(bits)", reset, "palt(0x5555555555555555)", 2000),
        lua_case("clip(x, y, w, h)", reset, "clip(1, 2, 300, 200)", 20000),
        lua_case("_blit_process_video, full, unmasked", reset, "_blit_process_video(3)", 500),
        lua_case("_blit_process_video, full, mask 0x20", reset, "_blit_process_video(3)", 200),
        lua_case("peek(a, 65536)", reset, "peek(0x20000, 65536)", 50),
        lua_case("poke, 256 values", reset + std::string(" V = {} for k = 1, 256 do V[k] = k end"),
                 "poke(0x20000, table.unpack(V))", 500),
        lua_case("_map_ram over 2048 pages", reset + std::string(" M = M or userdata('u8', 0x800000)"),
                 "_map_ram(M, 0) _unmap_ram(M)", 100),
        lua_case("userdata:peek of 1 MB", reset + std::string(" U = U or userdata('u8', 0x100000)"),
                 "U:peek(0x400000)", 50),
        lua_case("memcpy 64 KB", reset, "memcpy(0x200000, 0x220000, 0x10000)", 500),
        lua_case("memcpy 16 MB", reset, "memcpy(0x000000, 0x800000, 0x1000000)", 3),
        lua_case("memcpy 64 KB, overlapping", reset, "memcpy(0x200001, 0x200000, 0x10000)", 200),
        lua_case("memset 16 MB", reset, "memset(0, i, 0x1000000)", 5),
    };
    // The process-video cases set the window manager's mask byte.
    for (Case& c : worst)
        if (c.name.find("_blit_process_video") == 0) {
            uint8_t mask = c.name.find("mask 0x20") != std::string::npos ? 0x20 : 0;
            auto lua_setup = c.setup;
            c.setup = [lua_setup, wm, mask] {
                lua_setup();
                poke_proc(wm, 0x547D, mask);
            };
        }
    measure(worst, rounds);
    printf("\nHost time per virtual cycle, each primitive at its worst (best of %d; Lua loop charges included)\n",
           rounds);
    printf("  %-52s %12s %12s %14s\n", "case", "ns/call", "cycles/call", "ms per budget");
    for (Case& c : worst) {
        double cyc = (double)c.cycles / c.per;
        printf("  %-52s %12.1f %12.1f %14.2f\n", c.name.c_str(), c.best_ns / c.per, cyc,
               cyc > 0 ? c.best_ns / c.per / cyc * FRAME_CYCLES / 1e6 : 0.0);
    }
    return 0;
}
