// The memory globals (peek and poke of four widths, _ppeek, memcpy, memset,
// _map_ram, _unmap_ram) and the typed-array methods peek and poke.
#include <algorithm>
#include <vector>

#include "arrays/typed_array.h"
#include "graphics/gfx_api.h"
#include "graphics/memory.h"
#include "kernel/api_tables.h"
#include "kernel/cpu.h"
#include "kernel/process.h"
#include "kernel/sat.h"
#include "lua.h"
#include "lauxlib.h"

namespace {

// A number truncated toward zero and taken as a 32-bit integer; anything else 0.
int32_t trunc32(lua_State* L, int i) {
    if (lua_type(L, i) != LUA_TNUMBER) return 0;
    int64_t v = lua_isinteger(L, i) ? (int64_t)lua_tointeger(L, i) : sat_f2i(lua_tonumber(L, i));
    return (int32_t)(uint32_t)(uint64_t)v;
}

uint32_t intp_addr(lua_State* L, int i) { return (uint32_t)(uint64_t)q64_intp(L, i, 0); }

bool absent(lua_State* L, int i) { return lua_isnoneornil(L, i); }

// peek family: n values of one width from addr on.
int peek_n(lua_State* L, uint32_t addr, int width, bool charge_single) {
    int64_t n = q64_intp(L, 2, 1);
    if (n < 1 || n > 65536 || !lua_checkstack(L, (int)n)) return 0;
    for (int64_t i = 0; i < n; i++) {
        uint32_t a = addr + (uint32_t)(i * width);
        switch (width) {
        case 1: lua_pushinteger(L, peek(a)); break;
        case 2: lua_pushinteger(L, peek2(a)); break;
        case 4: lua_pushinteger(L, peek4(a)); break;
        default: lua_pushinteger(L, peek8(a)); break;
        }
    }
    if (charge_single || n > 1) spend_cpu(n - 1);
    return (int)n;
}

// poke family: every argument after the address is a value.
int poke_n(lua_State* L, uint32_t addr, int width, bool exact) {
    int top = lua_gettop(L);
    if (top < 2 || top > 65537) return 0;
    for (int i = 2; i <= top; i++) {
        uint64_t v;
        if (exact) {
            int ok = 0;
            lua_Integer x = lua_tointegerx(L, i, &ok);
            v = ok ? (uint64_t)x : 0;
        } else {
            v = (uint64_t)q64_intp(L, i, 0);
        }
        uint32_t a = addr + (uint32_t)((i - 2) * width);
        switch (width) {
        case 1: poke(a, v); break;
        case 2: poke2(a, v); break;
        case 4: poke4(a, v); break;
        default: poke8(a, v); break;
        }
    }
    if (top > 2) spend_cpu(top - 2);
    return 0;
}

int lua54_peek(lua_State* L) { return peek_n(L, (uint32_t)trunc32(L, 1), 1, true); }
int lua54_peek2(lua_State* L) { return peek_n(L, (uint32_t)trunc32(L, 1), 2, false); }
int lua54_peek4(lua_State* L) { return peek_n(L, intp_addr(L, 1), 4, false); }
int lua54_peek8(lua_State* L) { return peek_n(L, intp_addr(L, 1), 8, false); }
int lua54_poke(lua_State* L) { return poke_n(L, (uint32_t)trunc32(L, 1), 1, false); }
int lua54_poke2(lua_State* L) { return poke_n(L, intp_addr(L, 1), 2, false); }
int lua54_poke4(lua_State* L) { return poke_n(L, intp_addr(L, 1), 4, true); }
int lua54_poke8(lua_State* L) { return poke_n(L, intp_addr(L, 1), 8, true); }

// Another process's memory, read without touching its pages.
Process* ppeek_process(lua_State* L) {
    int ok = 0;
    lua_Integer pid = lua_tointegerx(L, 1, &ok);
    return ok ? get_process((uint64_t)pid) : nullptr;
}

int lua54_ppeek(lua_State* L) {
    Process* p = ppeek_process(L);
    if (!p) return 0;
    lua_pushinteger(L, mem_peek_quiet(p, (uint32_t)trunc32(L, 2)));
    return 1;
}

int lua54_ppeek4(lua_State* L) {
    Process* p = ppeek_process(L);
    if (!p) return 0;
    uint32_t a = (uint32_t)trunc32(L, 2), v = 0;
    for (uint32_t i = 0; i < 4; i++) v |= (uint32_t)mem_peek_quiet(p, a + i) << (8 * i);
    lua_pushinteger(L, (int32_t)v);
    return 1;
}

int lua54_memcpy(lua_State* L) {
    uint32_t cost = q64_memcpy((uint32_t)trunc32(L, 1), (uint32_t)trunc32(L, 2), trunc32(L, 3));
    if (cost > 0) spend_cpu(cost);
    return 0;
}

int lua54_memset(lua_State* L) {
    uint32_t cost = q64_memset((uint32_t)trunc32(L, 1), trunc32(L, 2), trunc32(L, 3));
    if (cost > 0) spend_cpu(cost);
    return 0;
}

int lua54_map_ram(lua_State* L) {
    Process* p = cproc;
    if (!p || !to_typed_array(L, 1)) return 0;
    int64_t len = mem_map_array(p, L, 1, (uint32_t)trunc32(L, 2), absent(L, 3) ? 0 : trunc32(L, 3), trunc32(L, 4),
                                !absent(L, 4));
    if (len == INT64_MIN) return 0;
    // Host work over many pages is charged a little (a cycle per two pages).
    if (len >= 2 * PAGE_SIZE) spend_cpu(len / (2 * PAGE_SIZE));
    lua_pushinteger(L, len);
    return 1;
}

int lua54_unmap_ram_by_userdata(lua_State* L) {
    Process* p = cproc;
    TypedArray* a = to_typed_array(L, 1);
    if (!p || !a) return 0;
    int64_t pages = 0;
    int all = mem_unmap_array(p, L, a, q64_intp(L, 2, -1), q64_intp(L, 3, 0), !absent(L, 3), &pages);
    spend_cpu(4 + pages / 2);
    lua_pushboolean(L, all);
    return 1;
}

// Array elements to and from memory at address, address + size, ...
int ud_transfer(lua_State* L, bool to_memory) {
    TypedArray* a = to_typed_array(L, 1);
    Process* p = cproc;
    if (!a || !p || ta_tag(a) == UT_F64) return 0;
    uint32_t addr = intp_addr(L, 2);
    int64_t count = ta_count(a);
    int64_t offset = std::clamp<int64_t>(q64_intp(L, 3, 0), 0, count);
    int64_t n = std::clamp<int64_t>(q64_intp(L, 4, count), 0, count - offset);
    int es = ta_elem_size(a);
    uint8_t* data = ta_data(a) + offset * es;
    // Little-endian elements in a little-endian space: a byte copy.
    if (to_memory) mem_write_bytes(p, addr, data, n * es);
    else mem_read_bytes(p, addr, data, n * es);
    spend_cpu(n >> 2);
    lua_settop(L, 1);
    return 1;
}

}  // namespace

int lua54_ud_peek(lua_State* L) { return ud_transfer(L, false); }
int lua54_ud_poke(lua_State* L) { return ud_transfer(L, true); }

const ApiEntry memory_api[] = {
    {"_map_ram", lua54_map_ram},
    {"_unmap_ram", lua54_unmap_ram_by_userdata},
    {"peek", lua54_peek},
    {"poke", lua54_poke},
    {"peek2", lua54_peek2},
    {"poke2", lua54_poke2},
    {"peek4", lua54_peek4},
    {"poke4", lua54_poke4},
    {"peek8", lua54_peek8},
    {"poke8", lua54_poke8},
    {"_ppeek", lua54_ppeek},
    {"_ppeek4", lua54_ppeek4},
    {"memcpy", lua54_memcpy},
    {"memset", lua54_memset},
    {nullptr, nullptr},
};
