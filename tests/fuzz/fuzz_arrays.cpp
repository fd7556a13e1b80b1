// Array creation from untrusted texts (as the orb reader passes them) and
// array methods called with arbitrary numeric arguments.
#include <cstdint>
#include <cstring>
#include <string>

#include "arrays/typed_array.h"
#include "kernel/cpu.h"
#include "lauxlib.h"
#include "lua.h"
#include "lualib.h"
#include "fuzz_bytes.h"

static const char* const methods[] = {
    "sort", "convert", "copy", "take", "clear", "add", "sub", "mul", "div", "idiv", "mod", "pow",
    "band", "bor", "bxor", "shl", "shr", "max", "min", "abs", "sgn", "sgn0", "__len", "__tostring",
    "__index", "__newindex", "set", "get", "width", "height", "attribs", "mutate", "lerp", "magnitude",
    "distance", "dot", "cross", "matmul", "matmul3d", "matmul2d", "transpose", "row", "column",
};
static const char* const types[] = {"u8", "i16", "i32", "i64", "f64"};

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static lua_State* L = [] {
        lua_State* s = luaL_newstate();
        luaL_openlibs(s);
        add_userdata_metatable_functions(s);
        return s;
    }();
    cpu_cycles = 0;
    FuzzBytes r{data, size};
    int mode = r.u8();
    if (mode & 1) {
        // Creation: type name, dims, sizes, then the rest as the data text.
        std::string name;
        for (int c; (c = r.u8()) != 0 && name.size() < 16;) name += (char)c;
        int dims = r.u8() % 4;
        int64_t w = r.u8() % 40, h = r.u8() % 40;
        std::string text((const char*)r.p, r.n);
        create_userdata(L, name.c_str(), dims, w, h, 1, (mode & 2) ? text.c_str() : nullptr);
    } else {
        // Two small arrays of fuzzed shapes and types, then a method call
        // with fuzzed arguments: arrays, integers over the whole range, floats.
        for (int k = 0; k < 2; k++) {
            int t = r.u8() % 5;
            int64_t w = 1 + r.u8() % 16, h = 1 + r.u8() % 4;
            TypedArray* a = create_typed_array(L, str_to_utype(types[t]), h > 1 ? 2 : 1, w, h);
            for (int64_t i = 0; i < ta_data_bytes(a); i++) ta_data(a)[i] = r.u8();
        }
        int base = lua_gettop(L);
        lua_getglobal(L, "USERDATA");
        lua_getfield(L, -1, methods[r.u8() % (sizeof methods / sizeof *methods)]);
        lua_remove(L, -2);
        int nargs = r.u8() % 10;
        for (int k = 0; k < nargs; k++) {
            switch (r.u8() % 6) {
                case 0: lua_pushvalue(L, base - 1); break;
                case 1: lua_pushvalue(L, base); break;
                case 2: lua_pushinteger(L, r.i64()); break;
                case 3: {
                    int64_t bits = r.i64();
                    double d;
                    memcpy(&d, &bits, 8);
                    lua_pushnumber(L, d);
                    break;
                }
                case 4: lua_pushinteger(L, (int8_t)r.u8()); break;
                default: lua_pushstring(L, types[r.u8() % 5]); break;
            }
        }
        lua_pcall(L, nargs, 0, 0);
    }
    lua_settop(L, 0);
    lua_gc(L, LUA_GCSTEP, 0);
    return 0;
}
