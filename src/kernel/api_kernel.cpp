// Kernel globals of the program API.
#include <cstdio>
#include "kernel/api_tables.h"
#include "lua.h"
#include "lauxlib.h"

void (*api_printh_hook)(const char* text, size_t len);

// Text to the host's standard output.
static int lua54_printh(lua_State* L) {
    size_t n = 0;
    const char* s = luaL_tolstring(L, 1, &n);
    if (api_printh_hook) {
        api_printh_hook(s, n);
        return 0;
    }
    fwrite(s, 1, n, stdout);
    fputc('\n', stdout);
    fflush(stdout);
    return 0;
}

const ApiEntry kernel_api[] = {
    {"_printh", lua54_printh},
    {nullptr, nullptr},
};
