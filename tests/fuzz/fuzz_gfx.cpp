// Drawing and memory globals called with hostile numbers: huge and NaN
// coordinates, batches with any start, count and stride, targets mutated while
// live, arrays mapped, unmapped and dropped to the collector mid-sequence.
// Texts of any bytes printed under any print attributes, font header and
// textured-line state. No fault, no undefined behaviour, no write outside an
// array.
#include <algorithm>
#include <cstdint>
#include <cstring>

#include "arrays/typed_array.h"
#include "graphics/gfx.h"
#include "graphics/print.h"
#include "kernel/cpu.h"
#include "kernel/process.h"
#include "kernel/state.h"
#include "lauxlib.h"
#include "lua.h"
#include "fuzz_bytes.h"

namespace {

const char* const calls[] = {
    "cls", "fillp", "pset", "pget", "camera", "clip", "rectfill", "rect", "ovalfill", "circfill", "oval", "circ",
    "line", "cursor", "color", "pal", "palt", "_set_draw_target", "_blit_process_video", "_map_ram", "_unmap_ram",
    "peek", "poke", "peek2", "poke2", "peek4", "poke4", "peek8", "poke8", "_ppeek", "_ppeek4", "memcpy", "memset",
    "fset", "fget", "mset", "mget", "tline3d", "sspr", "spr", "_draw_map", "blit", "_print_tesscii", "_set_spr",
};
const char* const methods[] = {"peek", "poke", "mutate", "blit"};
const char* const types[] = {"u8", "i16", "i32", "i64", "f64"};
constexpr int SLOTS = 6;

// Numbers programs might pass: edges of every range, small values, any bits.
void push_number(lua_State* L, FuzzBytes& b) {
    static const int64_t edges[] = {0, 1, -1, 0x7FFFFFFF, -0x7FFFFFFF - 1, 0x7FFF, -0x8000, 0xFFFFFF, 0x1000000,
                                    0x10000, 0x100000, INT64_MAX, INT64_MIN, 65536, 262144, 480, 270};
    switch (b.u8() % 5) {
    case 0: lua_pushinteger(L, (int8_t)b.u8()); break;
    case 1: lua_pushinteger(L, (int16_t)(b.u8() | b.u8() << 8)); break;
    case 2: lua_pushinteger(L, edges[b.u8() % (sizeof edges / sizeof *edges)]); break;
    case 3: lua_pushinteger(L, b.i64()); break;
    default: {
        int64_t bits = b.i64();
        double d;
        memcpy(&d, &bits, 8);
        lua_pushnumber(L, d);
    }
    }
}

Process* proc;
int runs;

Process* fresh_process() {
    if (proc) kill_process(proc);
    proc = create_process_from_code("", "fuzz", "/fuzz.lua");
    memcpy(mem_low_page(proc, 4), lil_font_dat.data(), LIL_FONT_SIZE);
    lua_State* L = proc->L;
    lua_settop(L, 0);
    lua_createtable(L, SLOTS, 0);
    lua_setglobal(L, "A");
    return proc;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool ready = [] {
        config_set_defaults();
        config.headless = 1;
        reset_system_tables();
        return true;
    }();
    (void)ready;
    // A fresh process now and then, so touched pages don't pile up.
    if (!proc || ++runs % 64 == 0) fresh_process();
    Process* p = proc;
    lua_State* L = p->L;
    cproc = p;
    FuzzBytes b{data, size};
    for (int step = 0; step < 24 && b.n; step++) {
        cpu_cycles = 0;
        cpu_cycles_max = FRAME_CYCLES;
        int op = b.u8() % 8;
        lua_getglobal(L, "A");
        int slots = lua_gettop(L);
        if (op == 0) {
            // A new array in a slot: small, or a screen, or a batch of items.
            int slot = 1 + b.u8() % SLOTS;
            int t = b.u8() % 5;
            int64_t w = 1 + b.u8() % 64, h = 1 + b.u8() % 48;
            if (b.u8() % 8 == 0) w = 480, h = 270;
            TypedArray* a = create_typed_array(L, str_to_utype(types[t]), 2, w, h);
            if (a)
                for (int64_t i = 0; i < std::min<int64_t>(ta_data_bytes(a), 256); i++) ta_data(a)[i] = b.u8();
            lua_rawseti(L, slots, slot);
        } else if (op == 1) {
            // Dropped: only the host's references may keep it now.
            lua_pushnil(L);
            lua_rawseti(L, slots, 1 + b.u8() % SLOTS);
            lua_gc(L, LUA_GCCOLLECT);
        } else if (op == 3) {
            // Print state (flags, font addresses, attributes), the font's
            // header and the textured-line state, then a text of any bytes.
            for (uint32_t a : {0x5F36u, 0x5F56u, 0x5F57u, 0x5F58u, 0x5F59u, 0x5F5Au, 0x5F5Bu})
                if (b.u8() & 1) poke_proc(p, a, b.u8());
            for (uint32_t a = 0x4000; a < 0x4008; a++)
                if (b.u8() % 4 == 0) poke_proc(p, a, b.u8());
            for (uint32_t a = 0x5530; a < 0x5538; a++)
                if (b.u8() % 4 == 0) poke_proc(p, a, b.u8());
            size_t len = std::min<size_t>(b.u8() % 64, b.n);
            lua_getglobal(L, "_print_tesscii");
            lua_pushlstring(L, (const char*)b.p, len);
            b.p += len;
            b.n -= len;
            push_number(L, b);
            push_number(L, b);
            push_number(L, b);
            lua_pcall(L, 4, 0, 0);
        } else {
            bool method = op == 2;
            if (method) {
                lua_getglobal(L, "USERDATA");
                lua_getfield(L, -1, methods[b.u8() % 4]);
                lua_remove(L, -2);
            } else {
                lua_getglobal(L, calls[b.u8() % (sizeof calls / sizeof *calls)]);
            }
            int nargs = b.u8() % 13;
            for (int k = 0; k < nargs; k++) {
                int kind = b.u8() % 8;
                if (kind < 2 || (method && k == 0)) lua_rawgeti(L, slots, 1 + b.u8() % SLOTS);
                else if (kind == 2) lua_pushstring(L, types[b.u8() % 5]);
                else if (kind == 3) lua_pushboolean(L, b.u8() & 1);
                else push_number(L, b);
            }
            lua_pcall(L, nargs, 0, 0);
        }
        lua_settop(L, 0);
    }
    return 0;
}
