// Library-side helpers of the dialect: tonum, text-only load and the debug
// library's guards.
#include <cstring>
#include <string>

#include "dialect/dialect.h"
#include "lua.h"
#include "lauxlib.h"

int luaB_tonumber_q64(lua_State* L) {
    switch (lua_type(L, 1)) {
    case LUA_TBOOLEAN:
        lua_pushinteger(L, lua_toboolean(L, 1) ? 1 : 0);
        return 1;
    case LUA_TNUMBER:
        lua_settop(L, 1);
        return 1;
    case LUA_TSTRING: {
        size_t len;
        const char* s = lua_tolstring(L, 1, &len);
        // lua_stringtonumber stops at the first NUL, so an embedded NUL
        // makes the converted length fall short of the whole string.
        if (lua_stringtonumber(L, s) == len + 1) return 1;
        return 0;
    }
    default:
        return 0;
    }
}

int dialect_load_text_only(lua_State* L, lua_CFunction load) {
    const int arg = 3;
    std::string mode = luaL_optstring(L, arg, "bt");
    std::string text;
    for (char c : mode)
        if (c != 'b') text += c;
    if (lua_gettop(L) < arg) lua_settop(L, arg);
    lua_pushlstring(L, text.data(), text.size());
    lua_replace(L, arg);
    int n = load(L);
    // A text chunk refused by its mode names the mode as it was given.
    if (n == 2 && lua_isnil(L, -2) && lua_type(L, -1) == LUA_TSTRING &&
        lua_tostring(L, -1) == "attempt to load a text chunk (mode is '" + text + "')") {
        lua_pushfstring(L, "attempt to load a text chunk (mode is '%s')", mode.c_str());
        lua_replace(L, -2);
    }
    return n;
}

int dialect_is_c_level(lua_State* L, lua_Debug* ar) {
    if (!lua_getinfo(L, "S", ar)) return 1;
    return std::strcmp(ar->what, "C") == 0;
}
