// Typed-array kernels through their Lua entry points: element-wise add,
// multiply and divide on 16 MiB u8 and 2 Mi f64 arrays (into a given array
// and into a new one), convert, and a 256 x 256 matmul. bench/arrays.sh runs
// the same work in numpy and prints the ratios.
#include <benchmark/benchmark.h>

#include <cstring>
#include <random>

#include "arrays/typed_array.h"
#include "kernel/cpu.h"
#include "lauxlib.h"
#include "lua.h"
#include "lualib.h"

namespace {

constexpr int64_t U8_N = 16 << 20;
constexpr int64_t F64_N = 2 << 20;

struct State {
    lua_State* L;
    State() {
        L = luaL_newstate();
        luaL_openlibs(L);
        add_userdata_metatable_functions(L);
    }
    ~State() { lua_close(L); }
};

// Makes an array, fills it, stores it as a global and returns it.
TypedArray* make(lua_State* L, const char* name, int tag, int64_t w, int64_t h, bool nonzero) {
    TypedArray* a = create_typed_array(L, tag, h > 1 ? 2 : 1, w, h);
    std::mt19937_64 g(std::hash<std::string>()(name));
    int64_t n = ta_count(a);
    if (tag == UT_U8) {
        uint8_t* e = ta_elems<uint8_t>(a);
        for (int64_t i = 0; i < n; i++) e[i] = (uint8_t)(nonzero ? 1 + g() % 255 : g());
    } else if (tag == UT_F64) {
        double* e = ta_elems<double>(a);
        for (int64_t i = 0; i < n; i++) e[i] = (double)(g() % 2000001) / 1000.0 - 1000.0 + (nonzero ? 1e-3 : 0);
    }
    lua_setglobal(L, name);
    return a;
}

// USERDATA[method](A, B [, D]) with the globals named; the result is dropped.
void call(lua_State* L, const char* method, const char* a, const char* b, const char* d) {
    lua_getglobal(L, "USERDATA");
    lua_getfield(L, -1, method);
    lua_remove(L, -2);
    lua_getglobal(L, a);
    if (b[0] == '\'') lua_pushstring(L, b + 1);
    else lua_getglobal(L, b);
    if (d) lua_getglobal(L, d);
    lua_call(L, d ? 3 : 2, 0);
    cpu_cycles = 0;
}

State& st() {
    static State s;
    static bool made = false;
    if (!made) {
        made = true;
        make(s.L, "A8", UT_U8, U8_N, 1, false);
        make(s.L, "B8", UT_U8, U8_N, 1, true);
        make(s.L, "C8", UT_U8, U8_N, 1, false);
        make(s.L, "AF", UT_F64, F64_N, 1, false);
        make(s.L, "BF", UT_F64, F64_N, 1, true);
        make(s.L, "CF", UT_F64, F64_N, 1, false);
        make(s.L, "CI", UT_I32, F64_N, 1, false);
        make(s.L, "S8", UT_U8, F64_N, 1, false);
        make(s.L, "MA", UT_F64, 256, 256, false);
        make(s.L, "MB", UT_F64, 256, 256, false);
        make(s.L, "MC", UT_F64, 256, 256, false);
    }
    return s;
}

void run(benchmark::State& state, const char* m, const char* a, const char* b, const char* d, int64_t bytes) {
    lua_State* L = st().L;
    for (auto _ : state) call(L, m, a, b, d);
    state.SetBytesProcessed(state.iterations() * bytes);
}

void add_u8_into(benchmark::State& s) { run(s, "add", "A8", "B8", "C8", U8_N); }
void mul_u8_into(benchmark::State& s) { run(s, "mul", "A8", "B8", "C8", U8_N); }
void div_u8_into(benchmark::State& s) { run(s, "div", "A8", "B8", "C8", U8_N); }
void add_u8_new(benchmark::State& s) { run(s, "add", "A8", "B8", nullptr, U8_N); }
void add_f64_into(benchmark::State& s) { run(s, "add", "AF", "BF", "CF", F64_N * 8); }
void mul_f64_into(benchmark::State& s) { run(s, "mul", "AF", "BF", "CF", F64_N * 8); }
void div_f64_into(benchmark::State& s) { run(s, "div", "AF", "BF", "CF", F64_N * 8); }
void add_f64_new(benchmark::State& s) { run(s, "add", "AF", "BF", nullptr, F64_N * 8); }
void convert_f64_i32(benchmark::State& s) { run(s, "convert", "AF", "'i32", nullptr, F64_N * 8); }
void convert_u8_f64(benchmark::State& s) { run(s, "convert", "S8", "'f64", nullptr, F64_N); }
void matmul_f64_256(benchmark::State& s) { run(s, "matmul", "MA", "MB", "MC", 256 * 256 * 8); }

}  // namespace

BENCHMARK(add_u8_into)->Unit(benchmark::kMicrosecond);
BENCHMARK(mul_u8_into)->Unit(benchmark::kMicrosecond);
BENCHMARK(div_u8_into)->Unit(benchmark::kMicrosecond);
BENCHMARK(add_u8_new)->Unit(benchmark::kMicrosecond);
BENCHMARK(add_f64_into)->Unit(benchmark::kMicrosecond);
BENCHMARK(mul_f64_into)->Unit(benchmark::kMicrosecond);
BENCHMARK(div_f64_into)->Unit(benchmark::kMicrosecond);
BENCHMARK(add_f64_new)->Unit(benchmark::kMicrosecond);
BENCHMARK(convert_f64_i32)->Unit(benchmark::kMicrosecond);
BENCHMARK(convert_u8_f64)->Unit(benchmark::kMicrosecond);
BENCHMARK(matmul_f64_256)->Unit(benchmark::kMicrosecond);
BENCHMARK_MAIN();
