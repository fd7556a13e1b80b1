// A bare Lua state with the array methods and globals, and helpers that show
// values (arrays read straight from their memory) as text.
#pragma once
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "arrays/typed_array.h"
#include "kernel/api_tables.h"
#include "kernel/cpu.h"
#include "lauxlib.h"
#include "lua.h"
#include "lualib.h"

inline std::string fmt_num(double v) {
    char buf[64];
    if (std::isfinite(v) && v == std::floor(v) && std::fabs(v) < 1e15) snprintf(buf, sizeof buf, "%.1f", v);
    else snprintf(buf, sizeof buf, "%.17g", v);
    return buf;
}

// An array as "type WxH dD: e0 e1 ..." read from the record itself.
inline std::string show_array(const TypedArray* a) {
    std::string s = get_utype_string(ta_tag(a));
    s += " " + std::to_string(a->width) + "x" + std::to_string(a->height) + " d" + std::to_string(a->dims) + ":";
    int64_t n = ta_count(a);
    for (int64_t i = 0; i < n && i < 64; i++) {
        s += " ";
        switch (ta_tag(a)) {
            case UT_U8: s += std::to_string(ta_elems<uint8_t>(a)[i]); break;
            case UT_I16: s += std::to_string(ta_elems<int16_t>(a)[i]); break;
            case UT_I32: s += std::to_string(ta_elems<int32_t>(a)[i]); break;
            case UT_I64: s += std::to_string(ta_elems<int64_t>(a)[i]); break;
            default: s += fmt_num(ta_elems<double>(a)[i]); break;
        }
    }
    return s;
}

inline std::string show_value(lua_State* L, int i) {
    switch (lua_type(L, i)) {
        case LUA_TNIL: return "nil";
        case LUA_TBOOLEAN: return lua_toboolean(L, i) ? "true" : "false";
        case LUA_TNUMBER:
            if (lua_isinteger(L, i)) return std::to_string((long long)lua_tointeger(L, i));
            return fmt_num(lua_tonumber(L, i));
        case LUA_TSTRING: return std::string("\"") + lua_tostring(L, i) + "\"";
        case LUA_TUSERDATA: {
            TypedArray* a = to_typed_array(L, i);
            return a ? "[" + show_array(a) + "]" : "userdata";
        }
        default: return lua_typename(L, lua_type(L, i));
    }
}

struct ArrayLua {
    lua_State* L;
    ArrayLua() {
        L = luaL_newstate();
        luaL_openlibs(L);
        add_userdata_metatable_functions(L);
        for (const ApiEntry* e = arrays_api; e->name; e++) lua_register(L, e->name, e->fn);
    }
    ~ArrayLua() { lua_close(L); }
    ArrayLua(const ArrayLua&) = delete;
    ArrayLua& operator=(const ArrayLua&) = delete;

    // Runs a chunk; its results joined by ", " ("(none)" for none, "error: ..." on error).
    std::string run(const std::string& code) {
        int base = lua_gettop(L);
        // Huge charges saturate the counter; keep the bytecode loop's budget
        // check from stopping the chunk for them.
        cpu_cycles = 0;
        cpu_cycles_max = INT32_MAX;
        if (luaL_loadstring(L, code.c_str()) != LUA_OK || lua_pcall(L, 0, LUA_MULTRET, 0) != LUA_OK) {
            std::string e = std::string("error: ") + lua_tostring(L, -1);
            lua_settop(L, base);
            return e;
        }
        std::string out;
        int top = lua_gettop(L);
        for (int i = base + 1; i <= top; i++) out += (i > base + 1 ? ", " : "") + show_value(L, i);
        lua_settop(L, base);
        return top == base ? "(none)" : out;
    }
    // Cycles charged by running the chunk.
    int64_t cycles(const std::string& code) {
        cpu_cycles = 0;
        run(code);
        return cpu_cycles;
    }
};

struct Case {
    const char* code;
    std::string expect;
};

inline void run_cases(ArrayLua& lua, const std::vector<Case>& cases) {
    for (const Case& c : cases) EXPECT_EQ(lua.run(c.code), c.expect) << c.code;
}
