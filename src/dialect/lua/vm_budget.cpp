// Slow path of the bytecode loop's budget check: the forced yield of a
// thread whose slice is spent, and the stop of runaway non-yieldable code.
#include "dialect/vm_budget.h"

#include "ldebug.h"
#include "ldo.h"
#include "lopcodes.h"
#include "lstate.h"

int32_t vm_runaway_room_given;

// The fired check still charges its 2 cycles, without wrapping.
static void charge_two() {
    cpu_cycles = cpu_cycles > INT32_MAX - 2 ? INT32_MAX : cpu_cycles + 2;
}

// Instructions that take their operand count from the open stack top keep it;
// for all others the frame's top is the live limit. The instruction checked
// is the one about to run: the frame's saved position may be stale here.
static void fix_top(lua_State* L, CallInfo* ci, const Instruction* pc) {
    if (!isIT(*pc)) L->top = ci->top;
}

// Whether a budget yield may be taken here: not in code that can't yield, nor in
// a coroutine that such code resumed.
static bool budget_yieldable(lua_State* L) { return yieldable(L) && !vm_budget_held; }

void vm_budget_fire(lua_State* L, const Instruction* pc) {
    CallInfo* ci = L->ci;
    if (!budget_yieldable(L)) {
        if ((int64_t)cpu_cycles - cpu_cycles_max > VM_RUNAWAY_CYCLES) {
            fix_top(L, ci, pc);
            ci->u.l.savedpc = pc + 1;  // report the line of the instruction not run
            luaG_runerror(L, VM_RUNAWAY_MESSAGE);
        }
        charge_two();
        return;
    }
    L->escape_slice_flag = 1;
    if (ci->callstatus & CIST_HOOKYIELD) {
        // First check after a budget yield of this frame: its instruction runs.
        ci->callstatus &= ~CIST_HOOKYIELD;
        // Native work stopped far over budget earlier in this slice, its error
        // caught, left the count there: a call this instruction makes would be
        // stopped at its first charge, outside the protected call that caught
        // the stop. It gets room of its own instead (what is over the debt cap
        // is never paid anyway).
        if (!vm_runaway_room_given && (int64_t)cpu_cycles - cpu_cycles_max > VM_RUNAWAY_CYCLES - VM_RUNAWAY_ROOM) {
            vm_runaway_room_given = 1;
            cpu_cycles = (int32_t)(cpu_cycles_max + VM_RUNAWAY_CYCLES - VM_RUNAWAY_ROOM);
        }
        charge_two();
        return;
    }
    // Yield with no values, as from a hook; lua_resume continues this frame
    // at pc. Not through lua_yieldk, which expects to be inside a hook.
    fix_top(L, ci, pc);
    ci->u.l.savedpc = pc;
    ci->u2.nyield = 0;
    ci->callstatus |= CIST_HOOKYIELD;
    L->status = LUA_YIELD;
    luaD_throw(L, LUA_YIELD);
}

int32_t vm_budget_slow(lua_State* L, const Instruction* pc) {
    if ((cpu_cycles | cpu_superyielding) <= cpu_cycles_max) return vm_limit();
    vm_budget_fire(L, pc);
    cpu_cycles = (int32_t)((uint32_t)cpu_cycles - 2u);  // fire charged 2: leave it to the handler
    if (budget_yieldable(L)) return vm_limit();
    // Code that can't yield would otherwise come here on every instruction only
    // to be charged: until the loop calls out, it is checked again only where
    // this stops it (kept below the top of the range, where only this saturates).
    int64_t l = (int64_t)cpu_cycles_max + VM_RUNAWAY_CYCLES;
    return l > INT32_MAX - 2 ? INT32_MAX - 2 : (int32_t)l;
}

int32_t vm_loop_limit;

int32_t vm_escape_slice_flag(lua_State* L) { return L->escape_slice_flag; }

void vm_set_escape_slice_flag(lua_State* L, int32_t v) { L->escape_slice_flag = v; }

void vm_budget_pass_on(lua_State* L, lua_KFunction k) {
    L->escape_slice_flag = 1;  // a budget yield of this thread too
    lua_yieldk(L, 0, 0, k);    // a native frame's yield throws
    __builtin_unreachable();
}

int32_t vm_budget_held;

int vm_budget_resume_held(lua_State* co, lua_State* from, int narg, int* nres) {
    vm_budget_held++;
    int status = lua_resume(co, from, narg, nres);  // errors come back as a status
    vm_budget_held--;
    return status;
}
