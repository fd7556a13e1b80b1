// A bare Lua state with typed arrays and the orb globals, writing and reading orb text
// straight through the C++ functions.
#pragma once
#include <gtest/gtest.h>
#include <string>

#include "arrays/typed_array.h"
#include "kernel/api_tables.h"
#include "kernel/buffer.h"
#include "kernel/cpu.h"
#include "lauxlib.h"
#include "lua.h"
#include "lualib.h"
#include "orb/orb_state.h"
#include "storage/orb.h"

struct OrbLua {
    lua_State* L;
    OrbLua() { L = orb_test_state(); }
    ~OrbLua() { lua_close(L); }
    OrbLua(const OrbLua&) = delete;
    OrbLua& operator=(const OrbLua&) = delete;

    // Runs a chunk and leaves its first result on the stack.
    void push(const std::string& code) {
        cpu_cycles = 0;
        if (luaL_dostring(L, ("return " + code).c_str()) != LUA_OK) {
            ADD_FAILURE() << code << ": " << lua_tostring(L, -1);
            lua_settop(L, 0);
            lua_pushnil(L);
        }
        lua_settop(L, 1);
    }
    std::string text_of(int idx, int flags = 0) {
        ByteBuffer* b = create_buffer_2(0, BUF_TAG_ORB);
        stringify_object(L, idx, b, flags);
        std::string s((const char*)b->bytes, (size_t)b->length);
        destroy_buffer(b);
        return s;
    }
    // The orb text of a Lua expression's value.
    std::string write(const std::string& code, int flags = 0) {
        push(code);
        std::string s = text_of(1, flags);
        lua_settop(L, 0);
        return s;
    }
    // The values read from a text, each written back as plain orb text, joined by " | ";
    // "(fail)" when nothing could be read.
    std::string read(const std::string& text) {
        lua_settop(L, 0);
        int n = destringify_object(L, text.data(), (int64_t)text.size());
        EXPECT_EQ(lua_gettop(L), n) << "stack after reading " << text;
        if (n == 0) return "(fail)";
        std::string out;
        for (int i = 1; i <= n; i++) out += (i > 1 ? " | " : "") + text_of(i);
        lua_settop(L, 0);
        return out;
    }
    // Runs a chunk; its first result as a string ("error: ..." on failure).
    std::string run(const std::string& code) {
        cpu_cycles = 0;
        lua_settop(L, 0);
        if (luaL_dostring(L, code.c_str()) != LUA_OK) {
            std::string e = std::string("error: ") + lua_tostring(L, -1);
            lua_settop(L, 0);
            return e;
        }
        std::string s = lua_gettop(L) ? luaL_tolstring(L, 1, nullptr) : "(none)";
        lua_settop(L, 0);
        return s;
    }
};

inline std::string bytes(std::initializer_list<int> v) {
    std::string s;
    for (int c : v) s.push_back((char)c);
    return s;
}
