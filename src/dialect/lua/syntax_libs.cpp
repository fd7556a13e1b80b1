// Library-side helpers of the dialect: tonum, text-only load, unpack of typed
// arrays and the debug library's guards.
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

void dialect_text_only_mode(lua_State* L, int arg) {
    std::string mode = luaL_optstring(L, arg, "bt");
    std::string text;
    for (char c : mode)
        if (c != 'b') text += c;
    if (lua_gettop(L) < arg) lua_settop(L, arg);
    lua_pushlstring(L, text.data(), text.size());
    lua_replace(L, arg);
}

int64_t dialect_unpack_len(lua_State* L, int idx) {
    // A typed array's header: u8 type, i8 dims, 2 reserved, u32 width,
    // u32 height, u32 depth, then the elements.
    constexpr size_t header = 16;
    if (lua_type(L, idx) == LUA_TUSERDATA && lua_rawlen(L, idx) >= header) {
        const unsigned char* p = static_cast<const unsigned char*>(lua_touserdata(L, idx));
        uint32_t w, h;
        std::memcpy(&w, p + 4, 4);
        std::memcpy(&h, p + 8, 4);
        return (int64_t)w * (int64_t)h;
    }
    return luaL_len(L, idx);
}

int dialect_is_c_level(lua_State* L, lua_Debug* ar) {
    if (!lua_getinfo(L, "S", ar)) return 1;
    return std::strcmp(ar->what, "C") == 0;
}
