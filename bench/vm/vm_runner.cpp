// Runs a Lua file on the dialect core the way the kernel runs a process:
// resumed in slices of a fixed budget until it ends. For comparing the
// charged loop with the stock interpreter (bench/vm.sh).
//
//   vm_runner [-b BUDGET] [-gc inc|gen] [-plain] [-count] FILE
//     -b BUDGET   cycles per slice (default one frame, 279620; 0: 2^30, so
//                 no yields in practice)
//     -gc MODE    collector mode (default inc, as processes run)
//     -plain      the auxiliary library's plain allocator instead of the
//                 process allocator (heap count, limit and CPU charges)
//     -count      print the number of VM instructions run (count hook; slow)
//
// Linked with the dialect core and the process allocator alone (like the
// stock interpreter, no SDL or kernel; core_host.cpp stands in for the rest).
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "kernel/cpu.h"
#include "kernel/process.h"
#include "lua.h"
#include "lauxlib.h"
#include "lualib.h"

static long long instructions;
static void count_hook(lua_State*, lua_Debug*) { instructions++; }

int main(int argc, char** argv) {
    int32_t budget = FRAME_CYCLES;
    const char* file = nullptr;
    bool plain = false, count = false, gen = false;
    for (int i = 1; i < argc; i++) {
        if (strcmp(argv[i], "-b") == 0 && i + 1 < argc)
            budget = (int32_t)atol(argv[++i]);
        else if (strcmp(argv[i], "-gc") == 0 && i + 1 < argc)
            gen = strcmp(argv[++i], "gen") == 0;
        else if (strcmp(argv[i], "-plain") == 0)
            plain = true;
        else if (strcmp(argv[i], "-count") == 0)
            count = true;
        else
            file = argv[i];
    }
    if (!file) {
        fprintf(stderr, "usage: vm_runner [-b BUDGET] [-gc inc|gen] [-plain] [-count] FILE\n");
        return 2;
    }
    if (budget <= 0) budget = 1 << 30;
    static Process proc;  // zeroed: no pages, no baseline
    lua_State* L;
    if (plain) {
        L = luaL_newstate();
    } else {
        cproc = &proc;
        L = lua_newstate(l_alloc, nullptr);
    }
    luaL_openlibs(L);
    lua_gc(L, gen ? LUA_GCGEN : LUA_GCINC, 0, 0);
    if (count) lua_sethook(L, count_hook, LUA_MASKCOUNT, 1);
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
    } while (st == LUA_YIELD && !proc.out_of_memory);
    if (proc.out_of_memory) {
        fprintf(stderr, "vm_runner: out of memory\n");
        return 1;
    }
    if (st != LUA_OK) {
        fprintf(stderr, "vm_runner: %s\n", lua_tostring(L, -1));
        return 1;
    }
    if (getenv("VM_RUNNER_VERBOSE")) fprintf(stderr, "vm_runner: %ld slices\n", slices);
    if (count) fprintf(stderr, "vm_runner: %lld instructions\n", instructions);
    lua_close(L);
    return 0;
}
