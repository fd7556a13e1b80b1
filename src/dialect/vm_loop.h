// The budget check and charge as the bytecode loop spells them. Included by
// the loop's source only, after the core's headers.
//
// The loop keeps the slice's cycle count and its limit in locals, so the
// check before each instruction is one compare of registers and each handler
// adds its own cost. The globals stay authoritative outside the loop: the
// count is written back before every call out (with the saved pc) and
// reloaded, with the limit, after it, so charges made by native code, the
// allocator, hooks and nested slices land exactly where the straightforward
// loop would put them. VM_REFERENCE_LOOP builds that straightforward loop
// (globals read and written on every instruction), against which the fast
// one is checked.
#pragma once
#include <cstdint>

#include "dialect/vm_budget.h"

// The 23 cheap opcodes cost 1 cycle, all others 2.
constexpr uint32_t vm_cost(int op) {
    switch (op) {
    case OP_MOVE: case OP_LOADI: case OP_LOADK: case OP_LOADKX: case OP_LOADFALSE:
    case OP_LOADTRUE: case OP_LOADNIL: case OP_ADDI: case OP_ADDK: case OP_SUBK:
    case OP_BANDK: case OP_BORK: case OP_BXORK: case OP_SHRI: case OP_SHLI:
    case OP_ADD: case OP_SUB: case OP_BAND: case OP_BOR: case OP_BXOR:
    case OP_SHL: case OP_SHR: case OP_UNM:
        return 1;
    default:
        return 2;
    }
}

#if defined(VM_REFERENCE_LOOP)

#define vm_locals
#define vm_in() ((void)0)
#define vm_out() ((void)0)
#define vm_in_count() ((void)0)
#define vm_check(L, pc) vm_budget_check(L, pc)
#define vm_hook_enter() ((void)0)
#define vm_hook_leave() ((void)0)
#define vm_charge(op) \
    do { if (vm_cost(op) == 1) vm_refund(); } while (0)

#else

#define vm_locals uint32_t vm_cyc; int32_t vm_lim;
#define vm_in() ((void)(vm_cyc = (uint32_t)cpu_cycles, vm_lim = vm_limit()))
#define vm_out() ((void)(cpu_cycles = (int32_t)vm_cyc))
// After native work that only charges (allocation, hashing, conversion): it
// runs no Lua code and returns normally only with the limit unchanged (a
// failed allocation sets the superyield flag and raises), so only the count
// is reloaded.
#define vm_in_count() ((void)(vm_cyc = (uint32_t)cpu_cycles))
#define vm_check(L, pc)                                          \
    do {                                                         \
        if (__builtin_expect((int32_t)vm_cyc > vm_lim, 0)) {     \
            vm_out();                                            \
            vm_lim = vm_budget_slow(L, pc);                      \
            vm_cyc = (uint32_t)cpu_cycles;                       \
        }                                                        \
    } while (0)
// Hooks see the instruction charged as the plain loop charges it at the
// fetch (2); the handler charges its own cost after they return.
#define vm_hook_enter() ((void)(cpu_cycles = (int32_t)(vm_cyc + 2u)))
#define vm_hook_leave() ((void)(vm_cyc = (uint32_t)cpu_cycles - 2u, vm_lim = vm_limit()))
#define vm_charge(op) ((void)(vm_cyc += vm_cost(op)))

#endif
