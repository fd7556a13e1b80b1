// Counting allocator and budgeted runs for the bytecode-loop tests.
#include "vm_support.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>

#include "kernel/cpu.h"
#include "dialect/vm_budget.h"
#include "lua.h"
#include "lauxlib.h"
#include "lualib.h"

namespace {
constexpr size_t HEADER = 16;
}

void* ledger_alloc(void* ud, void* ptr, size_t osize, size_t nsize, int retry_flag, uint64_t charged) {
    Ledger* lg = static_cast<Ledger*>(ud);
    AllocCall call{ptr, osize, nsize, retry_flag, charged};
    if (lg->log) lg->calls.push_back(call);
    char* base = ptr ? static_cast<char*>(ptr) - HEADER : nullptr;
    if (nsize == 0) {
        if (base) {
            uint64_t old;
            memcpy(&old, base, sizeof old);
            lg->heap -= (int64_t)old;
            lg->blocks--;
            lg->live.erase(ptr);
            free(base);
        }
        if (charged != 0) lg->bad_frees++;
        return nullptr;
    }
    if (lg->refuse && lg->refuse(call)) return nullptr;
    uint64_t old = 0;
    if (base) memcpy(&old, base, sizeof old);
    char* nb = static_cast<char*>(realloc(base, nsize + HEADER));
    if (!nb) return nullptr;
    memcpy(nb, &charged, sizeof charged);
    lg->heap += (int64_t)charged - (int64_t)old;
    if (!base) lg->blocks++;
    if (ptr) lg->live.erase(ptr);
    lg->live[nb + HEADER] = charged;
    return nb + HEADER;
}

lua_State* new_state(Ledger* ledger, bool libs) {
    lua_State* L = lua_newstate(ledger_alloc, ledger);
    if (L && libs) luaL_openlibs(L);
    return L;
}

BudgetScope::BudgetScope() : c(cpu_cycles), m(cpu_cycles_max), s(cpu_superyielding) {}
BudgetScope::~BudgetScope() {
    cpu_cycles = c;
    cpu_cycles_max = m;
    cpu_superyielding = s;
}

int resume_slice(lua_State* L, int32_t used, int32_t budget, int nargs, int* nres) {
    cpu_cycles = used;
    cpu_cycles_max = budget;
    cpu_superyielding = 0;
    vm_runaway_room_given = 0;  // as the kernel clears it at each slice
    return lua_resume(L, nullptr, nargs, nres);
}

void load_text(lua_State* L, const std::string& text, const char* name) {
    int st = luaL_loadbufferx(L, text.data(), text.size(), name, "t");
    ASSERT_EQ(st, LUA_OK) << lua_tostring(L, -1);
}

static std::string results(lua_State* L, int n) {
    std::string out;
    for (int i = -n; i < 0; i++) {
        if (!out.empty()) out += ",";
        out += luaL_tolstring(L, i, nullptr);
        lua_pop(L, 1);
    }
    lua_pop(L, n);
    return out;
}

std::string run_in_slices(lua_State* L, int32_t budget, int* slices) {
    int n = 0, nres = 0, st;
    for (;;) {
        n++;
        st = resume_slice(L, 0, budget ? budget : (1 << 30), 0, &nres);
        if (st != LUA_YIELD) break;
        lua_pop(L, nres);
        lua_gc(L, LUA_GCCOLLECT);
        if (n > 50000000) return "runaway";
    }
    if (slices) *slices = n;
    if (st != LUA_OK) {
        std::string e = std::string("error: ") + (lua_tostring(L, -1) ? lua_tostring(L, -1) : "?");
        lua_pop(L, 1);
        return e;
    }
    return results(L, nres);
}

void LedgerStateTest::SetUp() {
    cpu_cycles = 0;
    cpu_cycles_max = 1 << 30;
    cpu_superyielding = 0;
    L = new_state(&ledger);
    ASSERT_NE(L, nullptr);
}

void LedgerStateTest::TearDown() {
    cpu_cycles = 0;  // finalizers run by lua_close start within budget
    cpu_cycles_max = 1 << 30;
    lua_close(L);
}
