// Compiles arbitrary text as a dialect chunk, and converts it as a numeral:
// malformed input must give a syntax error, never a crash. Inputs whose
// first byte is odd are compiled with every allocation that grows memory
// refused once, so each one runs a full emergency collection: the parser's
// strings must all be anchored.
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "kernel/cpu.h"
#include "lua.h"
#include "lauxlib.h"

namespace {
bool collect_on_growth = false;

void* fuzz_alloc(void*, void* ptr, size_t osize, size_t nsize, int retry_flag, uint64_t) {
    if (nsize == 0) {
        free(ptr);
        return nullptr;
    }
    if (collect_on_growth && !retry_flag && nsize > osize) return nullptr;
    return realloc(ptr, nsize);
}
}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    cpu_cycles = 0;
    cpu_cycles_max = INT32_MAX;
    collect_on_growth = false;
    lua_State* L = lua_newstate(fuzz_alloc, nullptr);
    if (!L) return 0;
    collect_on_growth = size > 0 && (data[0] & 1);
    const char* text = reinterpret_cast<const char*>(data);
    luaL_loadbufferx(L, text, size, "=fuzz", "t");  // compiled, never run (it could loop)
    lua_pop(L, 1);
    collect_on_growth = false;
    std::string s(text, size);  // NUL-terminated copy for the converter
    lua_stringtonumber(L, s.c_str());
    lua_close(L);
    return 0;
}
