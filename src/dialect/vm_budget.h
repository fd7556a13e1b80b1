// The virtual CPU check and charge of the bytecode loop, and the per-thread
// escape flag the loop raises whenever the check fires.
#pragma once
#include <cstdint>
#include "kernel/cpu.h"
#include "lua.h"

// Non-yieldable code (finalizers, callbacks of native routines) is charged
// but never yielded; past this many cycles over its budget it is stopped with
// a runtime error instead of hanging the host.
constexpr int64_t VM_RUNAWAY_CYCLES = 64 * (int64_t)FRAME_CYCLES;
#define VM_RUNAWAY_MESSAGE "cpu budget exceeded in code that cannot yield"
// Once such a stop has been caught, the one instruction a budget yield lets
// run (Lua code that can yield) may call native code again: that call has
// this much room before it is stopped too, inside itself. A frame's budget:
// plenty for a call that did not overrun, and a frame then holds at most one
// stop's worth of work and this.
constexpr int64_t VM_RUNAWAY_ROOM = FRAME_CYCLES;
// Whether that room was given in the running slice: once a slice, since code that
// can't yield and resumes, over and over, a coroutine that budget-yields would otherwise
// be given it on every resume and never reach its stop. The kernel clears it for every
// slice and restores the outer slice's around a nested one. Zero-initialised: as an
// initialised variable it made float-heavy programs about 13% slower (bench/vm.sh
// mandelbrot), a layout effect of the data sections.
extern int32_t vm_runaway_room_given;

// Slow path of the check: charges and returns when the instruction at pc may
// run, or yields the running thread there (not yet executed, not charged), or
// raises the runaway error.
void vm_budget_fire(lua_State* L, const uint32_t* pc);

// The limit the local count is compared with: a check of count > limit fires
// whenever the kernel's rule ((count | superyield) > max) does, for counts
// from 0 up and budgets above -2^30 (slices have budgets of 1 and more), and
// the slow path applies the rule itself, so firing early is harmless.
inline int32_t vm_limit() {
    return (int32_t)((uint32_t)cpu_cycles_max - (uint32_t)cpu_superyielding);
}

// Slow path of the loop that keeps its count in a local, entered with the
// globals current when its count passed its limit: returns when the
// instruction at pc may run (its handler then charges its own cost), or
// yields or raises as vm_budget_fire does. Returns the limit the loop compares
// its count with until it next calls out.
int32_t vm_budget_slow(lua_State* L, const uint32_t* pc);

// The limit the fast loop compares its count with, set by the loop on entry,
// after every call out and from vm_budget_slow: a loop nested in a call out
// sets it too, and the outer one sets it again when the call returns.
extern int32_t vm_loop_limit;

// A coroutine that L resumed was budget-yielded (in a frame of its own or by a
// resume it was in): L, which can yield, yields too, to be continued by k (its
// resume's continuation) in the next slice, so that the coroutine's resumer
// sees only what the coroutine yields or returns. Does not return.
[[noreturn]] void vm_budget_pass_on(lua_State* L, lua_KFunction k);

// lua_resume of a coroutine by code that can't yield, which could not pass a
// budget yield on: while it runs, the coroutines it runs are charged but never
// budget-yielded either, as non-yieldable code is (and stopped as it is).
int vm_budget_resume_held(lua_State* co, lua_State* from, int narg, int* nres);

// Resumes in progress of vm_budget_resume_held. The kernel gives a nested slice
// none and restores the outer one's around it.
extern int32_t vm_budget_held;

// The flag read and reset by _yielded_to_escape_slice.
int32_t vm_escape_slice_flag(lua_State* L);
void vm_set_escape_slice_flag(lua_State* L, int32_t v);

// Counter arithmetic wraps (defined) instead of overflowing; the kernel's
// budgets stay far below the wrap point, and the slow path saturates.
inline void vm_add_cycles(int32_t n) { cpu_cycles = (int32_t)((uint32_t)cpu_cycles + (uint32_t)n); }

// Before every instruction fetch: one OR and compare, then the charge of 2.
#define vm_budget_check(L, pc)                                                       \
    do {                                                                             \
        if (__builtin_expect((cpu_cycles | cpu_superyielding) > cpu_cycles_max, 0))  \
            vm_budget_fire(L, pc);                                                   \
        else                                                                         \
            vm_add_cycles(2);                                                        \
    } while (0)

// First step of the 23 cheap handlers (moves, loads, additive and bitwise
// arithmetic): they cost 1 cycle, not 2.
#define vm_refund() vm_add_cycles(-1)
