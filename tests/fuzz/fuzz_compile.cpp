// Compiles arbitrary text as a dialect chunk, and converts it as a numeral:
// malformed input must give a syntax error, never a crash.
#include <climits>
#include <cstddef>
#include <cstdint>
#include <string>

#include "kernel/cpu.h"
#include "lua.h"
#include "lauxlib.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    cpu_cycles = 0;
    cpu_cycles_max = INT32_MAX;
    lua_State* L = luaL_newstate();
    if (!L) return 0;
    const char* text = reinterpret_cast<const char*>(data);
    if (luaL_loadbufferx(L, text, size, "=fuzz", "t") == LUA_OK)
        lua_pop(L, 1);  // compiled; never run (it could loop)
    else
        lua_pop(L, 1);
    std::string s(text, size);  // NUL-terminated copy for the converter
    lua_stringtonumber(L, s.c_str());
    lua_close(L);
    return 0;
}
