// The same CPU-bound programs in stock syntax and with compound assignment,
// run by the dialect: the compound form must be no slower.
#include <benchmark/benchmark.h>

#include <climits>
#include <cstring>

#include "kernel/cpu.h"
#include "lua.h"
#include "lauxlib.h"
#include "lualib.h"

namespace {

struct Program {
    const char* stock;
    const char* compound;
};

const Program sieve = {
    R"(local n, count, flags = 200000, 0, {}
       for i = 2, n do flags[i] = true end
       for i = 2, n do
         if flags[i] then
           count = count + 1
           local j = i + i
           while j <= n do flags[j] = false j = j + i end
         end
       end
       return count)",
    R"(local n, count, flags = 200000, 0, {}
       for i = 2, n do flags[i] = true end
       for i = 2, n do
         if flags[i] then
           count += 1
           local j = i + i
           while j <= n do flags[j] = false j += i end
         end
       end
       return count)",
};

const Program histogram = {
    R"(local h, s, x = {}, 0, 1
       for i = 1, 16 do h[i] = 0 end
       for i = 1, 300000 do
         x = (x * 1103515245 + 12345) & 0x7fffffff
         local k = x % 16 + 1
         h[k] = h[k] + 1
         s = s + k * 3
         s = s ~ i
       end
       return s + h[1])",
    R"(local h, s, x = {}, 0, 1
       for i = 1, 16 do h[i] = 0 end
       for i = 1, 300000 do
         x = (x * 1103515245 + 12345) & 0x7fffffff
         local k = x % 16 + 1
         h[k] += 1
         s += k * 3
         s ^^= i
       end
       return s + h[1])",
};

const Program matrix = {
    R"(local m = {}
       for i = 1, 64 do m[i] = {} for j = 1, 64 do m[i][j] = i + j end end
       for r = 1, 40 do
         for i = 1, 64 do
           for j = 1, 64 do
             m[i][j] = m[i][j] * 3 m[i][j] = m[i][j] % 1000 m[i][j] = m[i][j] + r
           end
         end
       end
       return m[5][7])",
    R"(local m = {}
       for i = 1, 64 do m[i] = {} for j = 1, 64 do m[i][j] = i + j end end
       for r = 1, 40 do
         for i = 1, 64 do
           for j = 1, 64 do m[i][j] *= 3 m[i][j] %= 1000 m[i][j] += r end
         end
       end
       return m[5][7])",
};

const Program fields = {
    R"(local p = {x = 0, y = 0, vx = 1.5, vy = -0.5}
       for i = 1, 300000 do
         p.x = p.x + p.vx
         p.y = p.y + p.vy
         p.vy = p.vy * 0.999
       end
       return p.x + p.y)",
    R"(local p = {x = 0, y = 0, vx = 1.5, vy = -0.5}
       for i = 1, 300000 do
         p.x += p.vx
         p.y += p.vy
         p.vy *= 0.999
       end
       return p.x + p.y)",
};

void run(benchmark::State& state, const char* src) {
    cpu_cycles_max = INT32_MAX;
    lua_State* L = luaL_newstate();
    luaL_openlibs(L);
    if (luaL_loadbufferx(L, src, strlen(src), "=bench", "t") != LUA_OK) {
        state.SkipWithError(lua_tostring(L, -1));
        lua_close(L);
        return;
    }
    for (auto _ : state) {
        cpu_cycles = 0;
        lua_pushvalue(L, -1);
        if (lua_pcall(L, 0, 1, 0) != LUA_OK) {
            state.SkipWithError(lua_tostring(L, -1));
            break;
        }
        benchmark::DoNotOptimize(lua_tonumber(L, -1));
        lua_pop(L, 1);
    }
    lua_close(L);
}

#define PAIR(name)                                                                        \
    void BM_##name##_stock(benchmark::State& s) { run(s, name.stock); }                   \
    void BM_##name##_compound(benchmark::State& s) { run(s, name.compound); }             \
    BENCHMARK(BM_##name##_stock)->Unit(benchmark::kMillisecond);                          \
    BENCHMARK(BM_##name##_compound)->Unit(benchmark::kMillisecond);

PAIR(sieve)
PAIR(histogram)
PAIR(matrix)
PAIR(fields)

}  // namespace

BENCHMARK_MAIN();
