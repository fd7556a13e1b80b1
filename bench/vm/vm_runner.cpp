// Runs a Lua file on the dialect core the way the kernel runs a process:
// resumed in slices of a fixed budget until it ends. For comparing the
// charged loop with the stock interpreter (bench/vm.sh).
//
//   vm_runner [-b BUDGET] FILE    BUDGET cycles per slice (default one
//                                 frame, 279620; 0: 2^30, no yields in practice)
//
// Linked with the dialect core alone (like the stock interpreter, no SDL or
// kernel): it supplies the budget globals and a flat memory for the reads.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "graphics/memory.h"
#include "kernel/cpu.h"
#include "lua.h"
#include "lauxlib.h"
#include "lualib.h"

int32_t cpu_cycles, cpu_cycles_max, cpu_superyielding;

static uint8_t memory[1 << 16];
static uint64_t read_le(uint32_t a, int n) {
    uint64_t v = 0;
    for (int i = 0; i < n; i++) v |= (uint64_t)memory[(a + i) & 0xffff] << (8 * i);
    return v;
}
uint32_t peek(uint32_t a) { return (uint32_t)read_le(a, 1); }
int32_t peek2(uint32_t a) { return (int16_t)read_le(a, 2); }
int32_t peek4(uint32_t a) { return (int32_t)read_le(a, 4); }
int64_t peek8(uint32_t a) { return (int64_t)read_le(a, 8); }

int main(int argc, char** argv) {
    int32_t budget = FRAME_CYCLES;
    const char* file = nullptr;
    for (int i = 1; i < argc; i++) {
        if (strcmp(argv[i], "-b") == 0 && i + 1 < argc)
            budget = (int32_t)atol(argv[++i]);
        else
            file = argv[i];
    }
    if (!file) {
        fprintf(stderr, "usage: vm_runner [-b BUDGET] FILE\n");
        return 2;
    }
    if (budget <= 0) budget = 1 << 30;
    lua_State* L = luaL_newstate();
    luaL_openlibs(L);
    if (luaL_loadfilex(L, file, "t") != LUA_OK) {
        fprintf(stderr, "vm_runner: %s\n", lua_tostring(L, -1));
        return 1;
    }
    long slices = 0;
    int nres, st;
    do {
        cpu_cycles = 0;
        cpu_cycles_max = budget;
        cpu_superyielding = 0;
        st = lua_resume(L, nullptr, 0, &nres);
        slices++;
        if (st == LUA_YIELD) lua_pop(L, nres);
    } while (st == LUA_YIELD);
    if (st != LUA_OK) {
        fprintf(stderr, "vm_runner: %s\n", lua_tostring(L, -1));
        return 1;
    }
    if (getenv("VM_RUNNER_VERBOSE")) fprintf(stderr, "vm_runner: %ld slices\n", slices);
    lua_close(L);
    return 0;
}
