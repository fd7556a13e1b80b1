// Runs a Lua program on the dialect core in budgeted slices, the way the
// kernel runs a process, once per budget, and prints per budget the number of
// slices, a hash of the cycle count and status at the end of every slice, and
// the program's result. Built twice: over the fast loop and over the
// reference loop (VM_REFERENCE_LOOP); the two must print the same.
//
//   vm_slices [-trace BUDGET] FILE
//
// The program gets a few functions a kernel would offer: cycles() reads the
// global count as native code sees it, spend(n) charges n cycles, flip()
// forces a yield as flip does, escaped(co) reads and clears a thread's escape
// flag, and hookyield(n) installs a count hook that
// yields the running thread every n instructions.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "dialect/dialect.h"
#include "dialect/vm_budget.h"
#include "kernel/cpu.h"
#include "kernel/process.h"
#include "lua.h"
#include "lauxlib.h"
#include "lualib.h"

namespace {

int l_cycles(lua_State* L) {
    lua_pushinteger(L, cpu_cycles);
    return 1;
}

int l_spend(lua_State* L) {
    spend_cpu(luaL_checkinteger(L, 1));
    return 0;
}

// Reads and clears a thread's escape flag, as _yielded_to_escape_slice does.
int l_escaped(lua_State* L) {
    lua_State* co = lua_tothread(L, 1);
    lua_pushboolean(L, co && vm_escape_slice_flag(co));
    if (co) vm_set_escape_slice_flag(co, 0);
    return 1;
}

int l_flip(lua_State*) {
    cpu_superyielding = SUPERYIELD;
    return 0;
}

void yield_hook(lua_State* L, lua_Debug* ar) {
    if (ar->event == LUA_HOOKCOUNT && lua_isyieldable(L)) lua_yield(L, 0);
}

int l_hookyield(lua_State* L) {
    lua_Integer n = luaL_optinteger(L, 1, 0);
    if (n > 0)
        lua_sethook(L, yield_hook, LUA_MASKCOUNT, (int)n);
    else
        lua_sethook(L, nullptr, 0, 0);
    return 0;
}

struct Run {
    long slices = 0;
    uint64_t hash = 1469598103934665603ull;
    std::string result;
};

void mix(Run& r, int64_t v) {
    for (int i = 0; i < 8; i++) {
        r.hash ^= (uint64_t)(v >> (8 * i)) & 0xff;
        r.hash *= 1099511628211ull;
    }
}

Run run(const char* file, int32_t budget, bool trace) {
    Run r;
    static Process proc;
    proc = Process{};
    cproc = &proc;
    lua_State* L = lua_newstate(l_alloc, nullptr);
    luaL_openlibs(L);
    lua_register(L, "load", luaB_load0);
    lua_register(L, "cycles", l_cycles);
    lua_register(L, "spend", l_spend);
    lua_register(L, "flip", l_flip);
    lua_register(L, "escaped", l_escaped);
    lua_register(L, "hookyield", l_hookyield);
    if (luaL_loadfilex(L, file, "t") != LUA_OK) {
        r.result = std::string("load error: ") + lua_tostring(L, -1);
        lua_close(L);
        return r;
    }
    int st, nres = 0;
    for (;;) {
        // Some slices start at the budget, as after debt; some resumes pass
        // values that a budget-yielded frame must drop.
        cpu_cycles = r.slices % 3 == 2 ? budget : 0;
        cpu_cycles_max = budget;
        cpu_superyielding = 0;
        int nargs = 0;
        if (r.slices % 2 == 1 && r.slices > 0) {
            lua_pushstring(L, "junk");
            nargs = 1;
        }
        st = lua_resume(L, nullptr, nargs, &nres);
        r.slices++;
        mix(r, cpu_cycles);
        mix(r, st);
        if (trace) printf("slice %ld: %d %d\n", r.slices, st, cpu_cycles);
        if (st != LUA_YIELD || r.slices > 5000000) break;
        lua_pop(L, nres);
    }
    if (st == LUA_OK) {
        for (int i = -nres; i < 0; i++) {
            if (i > -nres) r.result += ",";
            r.result += luaL_tolstring(L, i, nullptr);
            lua_pop(L, 1);
        }
    } else {
        r.result = std::string("error: ") + (lua_tostring(L, -1) ? lua_tostring(L, -1) : "?");
    }
    cpu_cycles = 0;
    cpu_cycles_max = 1 << 30;
    lua_close(L);
    cproc = nullptr;
    return r;
}

}  // namespace

int main(int argc, char** argv) {
    const char* file = nullptr;
    int32_t trace = 0;
    for (int i = 1; i < argc; i++) {
        if (strcmp(argv[i], "-trace") == 0 && i + 1 < argc)
            trace = atoi(argv[++i]);
        else
            file = argv[i];
    }
    if (!file) {
        fprintf(stderr, "usage: vm_slices [-trace BUDGET] FILE\n");
        return 2;
    }
    std::vector<int32_t> budgets;
    if (trace) {
        budgets.push_back(trace);
    } else {
        for (int32_t b = 1; b <= 24; b++) budgets.push_back(b);
        for (int32_t b : {31, 50, 64, 97, 128, 250, 333, 1000, 1024, 4099, 10007, 65536, 100000,
                          FRAME_CYCLES})
            budgets.push_back(b);
    }
    for (int32_t b : budgets) {
        Run r = run(file, b, trace != 0);
        printf("budget %d: %ld slices, hash %016llx, %s\n", b, r.slices, (unsigned long long)r.hash,
               r.result.c_str());
    }
    return 0;
}
