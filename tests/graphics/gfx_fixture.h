// A process to test drawing and memory in, driven straight from the test: Lua
// text runs on its state with it current (no slices), so the CPU counter shows
// exactly what one call charges.
#pragma once
#include <gtest/gtest.h>

#include <initializer_list>
#include <string>

#include "graphics/gfx.h"
#include "kernel/process.h"
#include "support/harness.h"
#include "lua.h"
#include "lauxlib.h"

class GfxTest : public ::testing::Test {
protected:
    Process* p = nullptr;
    lua_State* L = nullptr;

    void SetUp() override {
        ASSERT_TRUE(harness_boot("while true do flip() end"));
        p = create_process_from_code("", "gfx", "/gfx.lua");
        ASSERT_NE(p, nullptr);
        L = p->L;
        lua_settop(L, 0);
        cproc = p;
    }
    void TearDown() override { harness_shutdown(); }

    // Runs Lua text and returns its results through tostring, joined by ", ";
    // "error: ..." when it raises.
    std::string lua(const std::string& code) { return lua_in(p, code); }
    std::string lua_in(Process* q, const std::string& code) {
        lua_State* L = q->L;
        cproc = q;
        cpu_cycles = 0;  // a frame's worth at a time, never the runaway stop
        cpu_cycles_max = FRAME_CYCLES * 100;
        int base = lua_gettop(L);
        if (luaL_loadstring(L, code.c_str()) != LUA_OK || lua_pcall(L, 0, LUA_MULTRET, 0) != LUA_OK) {
            std::string e = std::string("error: ") + lua_tostring(L, -1);
            lua_settop(L, base);
            cproc = p;
            return e;
        }
        std::string out;
        for (int i = base + 1; i <= lua_gettop(L); i++) {
            if (i > base + 1) out += ", ";
            out += luaL_tolstring(L, i, nullptr);
            lua_pop(L, 1);
        }
        lua_settop(L, base);
        cproc = p;
        return out;
    }

    // Cycles charged by one call: code returns the function and its arguments.
    int64_t charge(const std::string& code) {
        cproc = p;
        cpu_cycles_max = FRAME_CYCLES * 100;
        int base = lua_gettop(L);
        EXPECT_EQ(luaL_loadstring(L, ("return " + code).c_str()), LUA_OK) << code;
        EXPECT_EQ(lua_pcall(L, 0, LUA_MULTRET, 0), LUA_OK) << lua_tostring(L, -1);
        int n = lua_gettop(L) - base - 1;
        cpu_cycles = 0;
        EXPECT_EQ(lua_pcall(L, n, 0, 0), LUA_OK) << lua_tostring(L, -1);
        int64_t c = cpu_cycles;
        lua_settop(L, base);
        return c;
    }

    // Runs one call (code returns the function and its arguments) with a
    // frame's budget, as a program's slice has: "stopped" when it is stopped
    // far over budget like other native work, else "done". *charged gets the
    // cycles it charged.
    std::string stopped_or_done(const std::string& code, int64_t* charged) {
        cproc = p;
        int base = lua_gettop(L);
        EXPECT_EQ(luaL_loadstring(L, ("return " + code).c_str()), LUA_OK) << code << ": " << lua_tostring(L, -1);
        cpu_cycles_max = FRAME_CYCLES * 100;
        EXPECT_EQ(lua_pcall(L, 0, LUA_MULTRET, 0), LUA_OK) << lua_tostring(L, -1);
        int n = lua_gettop(L) - base - 1;
        cpu_cycles = 0;
        cpu_cycles_max = FRAME_CYCLES;
        int st = lua_pcall(L, n, 0, 0);
        *charged = cpu_cycles;
        std::string r = st == LUA_OK ? "done"
                        : std::string(lua_tostring(L, -1)).find(VM_RUNAWAY_MESSAGE) != std::string::npos
                            ? "stopped"
                            : std::string("error: ") + lua_tostring(L, -1);
        cpu_cycles = 0;
        cpu_cycles_max = FRAME_CYCLES * 100;
        lua_settop(L, base);
        return r;
    }

    // Each call is stopped soon after it is far over a frame's budget: it has
    // been charged past the runaway allowance by at most one piece of its
    // work (piece: the most that one item, glyph or step is charged).
    struct Runaway {
        const char* call;
        int64_t piece;
    };
    void expect_stopped_soon(std::initializer_list<Runaway> calls) {
        for (const Runaway& r : calls) {
            int64_t charged = 0;
            EXPECT_EQ(stopped_or_done(r.call, &charged), "stopped") << r.call;
            EXPECT_GT(charged, FRAME_CYCLES + VM_RUNAWAY_CYCLES) << r.call;
            EXPECT_LE(charged, FRAME_CYCLES + VM_RUNAWAY_CYCLES + r.piece) << r.call;
        }
    }

    // A w x h target named S with the masks, palettes and clip the system's
    // Lua code gives a program (read and write masks 0x3F, sprite target mask
    // 0x3F, shape target mask 0, default tables).
    void screen(int w, int h) {
        ASSERT_EQ(lua("S = userdata('u8', " + std::to_string(w) + ", " + std::to_string(h) +
                      ") _set_draw_target(S) poke(0x5508, 0x3f, 0x3f, 0x3f, 0) pal() color(6)"),
                  "");
    }

    uint8_t px(int x, int y) { return gfx_getpixel(p->draw.target, x, y); }
    // The target's rows as text, one digit or letter per pixel (base 36).
    std::string rows(int x0, int y0, int x1, int y1) {
        std::string s;
        for (int y = y0; y <= y1; y++) {
            if (y > y0) s += "/";
            for (int x = x0; x <= x1; x++) s += "0123456789abcdefghijklmnopqrstuvwxyz"[px(x, y) % 36];
        }
        return s;
    }
};
