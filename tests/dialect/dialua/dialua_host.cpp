// What the dialect core needs from the host, for the test interpreter: an
// unlimited CPU budget, an address space of zeros and the stock library set.
#include <climits>
#include <cstdint>

#include "dialect/dialect.h"
#include "lua.h"
#include "lauxlib.h"
#include "lualib.h"

int32_t cpu_cycles = 0;
int32_t cpu_cycles_max = INT32_MAX;
int32_t cpu_superyielding = 0;
int32_t total_frame_cycles = 0;

uint32_t peek(uint32_t) { return 0; }
int32_t peek2(uint32_t) { return 0; }
int32_t peek4(uint32_t) { return 0; }
int64_t peek8(uint32_t) { return 0; }

struct StockLib {
    const char* name;
    lua_CFunction open;
    void (*extras)(lua_State*);
};

static const StockLib stock_libs[] = {
    {LUA_GNAME, luaopen_base, dialect_add_stock_base},
    {LUA_LOADLIBNAME, luaopen_package, nullptr},
    {LUA_COLIBNAME, luaopen_coroutine, nullptr},
    {LUA_TABLIBNAME, luaopen_table, dialect_add_stock_table},
    {LUA_IOLIBNAME, luaopen_io, nullptr},
    {LUA_OSLIBNAME, luaopen_os, nullptr},
    {LUA_STRLIBNAME, luaopen_string, dialect_add_stock_string},
    {LUA_MATHLIBNAME, luaopen_math, nullptr},
    {LUA_UTF8LIBNAME, luaopen_utf8, nullptr},
    {LUA_DBLIBNAME, luaopen_debug, dialect_add_stock_debug},
};

void dialua_openlibs(lua_State* L) {
    for (const StockLib& lib : stock_libs) {
        luaL_requiref(L, lib.name, lib.open, 1);
        if (lib.extras) lib.extras(L);
        lua_pop(L, 1);
    }
}
