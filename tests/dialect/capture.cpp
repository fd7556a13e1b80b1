#include "capture.h"

#include <cstdio>

#include "lua.h"
#include "lauxlib.h"

std::string* capture_out = nullptr;

int capture_print(lua_State* L) {
    int n = lua_gettop(L);
    for (int i = 1; i <= n; i++) {
        size_t len;
        const char* s = luaL_tolstring(L, i, &len);
        if (i > 1) *capture_out += '\t';
        capture_out->append(s, len);
        lua_pop(L, 1);
    }
    *capture_out += '\n';
    return 0;
}

int capture_write(lua_State* L) {
    int n = lua_gettop(L);
    for (int i = 1; i <= n; i++) {
        char buf[64];
        if (lua_type(L, i) == LUA_TNUMBER) {
            if (lua_isinteger(L, i))
                snprintf(buf, sizeof buf, LUA_INTEGER_FMT, (LUAI_UACINT)lua_tointeger(L, i));
            else
                snprintf(buf, sizeof buf, LUA_NUMBER_FMT, (LUAI_UACNUMBER)lua_tonumber(L, i));
            *capture_out += buf;
        } else {
            size_t len;
            const char* s = luaL_checklstring(L, i, &len);
            capture_out->append(s, len);
        }
    }
    return 0;
}
