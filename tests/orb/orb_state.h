// A bare Lua state with typed arrays and the orb globals, for tests, tools, fuzzers and
// benchmarks that run the orb code outside any process; the CPU budget never runs out.
#pragma once
#include "arrays/typed_array.h"
#include "kernel/api_tables.h"
#include "kernel/cpu.h"
#include "lauxlib.h"
#include "lua.h"
#include "lualib.h"

inline lua_State* orb_test_state() {
    cpu_cycles = 0;
    cpu_cycles_max = INT32_MAX;
    lua_State* L = luaL_newstate();
    luaL_openlibs(L);
    add_userdata_metatable_functions(L);
    for (const ApiEntry* e = arrays_api; e->name; e++) lua_register(L, e->name, e->fn);
    for (const ApiEntry* e = orb_api; e->name; e++) lua_register(L, e->name, e->fn);
    return L;
}
