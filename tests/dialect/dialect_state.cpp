#include "dialect_state.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>

#include "capture.h"
#include "dialect/dialect.h"
#include "kernel/cpu.h"
#include "lua.h"
#include "lauxlib.h"
#include "lualib.h"

bool collect_on_growth = false;

static void* test_alloc(void*, void* ptr, size_t osize, size_t nsize, int retry_flag, uint64_t) {
    if (nsize == 0) {
        free(ptr);
        return nullptr;
    }
    if (collect_on_growth && !retry_flag && nsize > osize) return nullptr;
    return realloc(ptr, nsize);
}

State::State() {
    cpu_cycles = 0;
    cpu_cycles_max = INT32_MAX;
    cpu_superyielding = 0;
    collect_on_growth = false;
    L = lua_newstate(test_alloc, nullptr);
    luaL_openlibs(L);
    lua_register(L, "load", luaB_load0);  // as the API registry does
    lua_register(L, "print", capture_print);
    lua_register(L, "cycles", [](lua_State* L) {
        lua_pushinteger(L, cpu_cycles);
        return 1;
    });
    capture_out = &out;
}

State::~State() {
    collect_on_growth = false;
    lua_close(L);
    capture_out = nullptr;
}

std::string State::run(const std::string& src) {
    out.clear();
    if (luaL_loadbufferx(L, src.data(), src.size(), "=t", "t") != LUA_OK || lua_pcall(L, 0, 0, 0) != LUA_OK) {
        std::string msg = lua_tostring(L, -1) ? lua_tostring(L, -1) : "?";
        lua_pop(L, 1);
        return out + "error: " + msg;
    }
    return out;
}

void run_cases(const std::vector<Case>& cases) {
    for (const Case& c : cases) {
        State s;
        EXPECT_EQ(s.run(c.src), c.expect) << "chunk:\n" << c.src;
    }
}
