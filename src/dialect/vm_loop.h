// The budget check and charge as the bytecode loop spells them. Included by
// the loop's source only, after the core's headers.
//
// The loop keeps what is left of the slice's budget (its limit less its
// cycle count) in one local, so the test before each instruction is one sign
// test of a register, as stock Lua's test of its trap, and each handler
// subtracts its own cost. The limit itself stays in memory (vm_loop_limit):
// it is read only on the slow path and around calls out, and a register held
// for it pushes hot values out of theirs. The trap (hooks, or a stack
// reallocated under the loop) is folded into the same test: while it is set,
// a large multiple of 2^32 is taken from that local, which makes it negative
// without changing the count it encodes modulo 2^32, and the slow path deals
// with both. The globals stay authoritative outside the loop: the count is
// written back before every call out (with the saved pc) and reloaded, with
// the limit, after it, so charges made by native code, the allocator, hooks
// and nested slices land exactly where the straightforward loop would put
// them.
// VM_REFERENCE_LOOP builds that straightforward loop (globals read and
// written on every instruction, the trap in a local of its own), against
// which the fast one is checked.
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

#define vm_locals int trap;
#define vm_in() ((void)0)
#define vm_out() ((void)0)
#define vm_in_count() ((void)0)
#define vm_in_trap(t) ((void)(trap = (t)))
#define vm_trap() trap
#define vm_trap_off() ((void)(trap = 0))
#define vm_poll_trap(ci) ((void)(trap = (ci)->u.l.trap))
#define vm_pending() 1
#define vm_check(L, pc) vm_budget_check(L, pc)
#define vm_hook_enter() ((void)0)
#define vm_hook_leave(t) ((void)(trap = (t)))
#define vm_charge(op) \
    do { if (vm_cost(op) == 1) vm_refund(); } while (0)

#else

// Taken from the budget left while the trap is set; any budget left by a
// slice is far smaller than half of it.
constexpr int64_t VM_TRAP = (int64_t)1 << 40;

#define vm_locals int64_t vm_left;
#define vm_trap() (vm_left < -(VM_TRAP / 2))
// The count, modulo 2^32 (what the global holds), whatever the trap.
#define vm_count() ((int32_t)((uint32_t)vm_loop_limit - (uint32_t)vm_left))
#define vm_set(c, t) (vm_left = (int64_t)vm_loop_limit - (int64_t)(c) - ((t) ? VM_TRAP : 0))
#define vm_out() ((void)(cpu_cycles = vm_count()))
#define vm_in() ((void)(vm_loop_limit = vm_limit(), vm_set(cpu_cycles, vm_trap())))
// After native work that only charges (allocation, hashing, conversion): it
// runs no Lua code and returns normally only with the limit unchanged (a
// failed allocation sets the superyield flag and raises), so only the count
// is reloaded.
#define vm_in_count() ((void)vm_set(cpu_cycles, vm_trap()))
// After a call out that also gives the trap anew.
#define vm_in_trap(t) ((void)(vm_loop_limit = vm_limit(), vm_set(cpu_cycles, (t))))
#define vm_trap_off() ((void)vm_set(vm_count(), 0))
// Setting it twice is harmless: the slow path rebuilds the local.
#define vm_poll_trap(ci) ((void)((ci)->u.l.trap ? (vm_left -= VM_TRAP) : 0))
#define vm_pending() __builtin_expect(vm_left < 0, 0)
#define vm_check(L, pc)                                          \
    do {                                                         \
        int vm_t_ = vm_trap();                                   \
        vm_out();                                                \
        vm_loop_limit = vm_budget_slow(L, pc);                   \
        vm_set(cpu_cycles, vm_t_);                               \
    } while (0)
// Hooks see the instruction charged as the plain loop charges it at the
// fetch (2); the handler charges its own cost after they return.
#define vm_hook_enter() ((void)(cpu_cycles = (int32_t)((uint32_t)vm_count() + 2u)))
#define vm_hook_leave(t)                                         \
    do {                                                         \
        int vm_t_ = (t);                                         \
        vm_loop_limit = vm_limit();                              \
        vm_set((int32_t)((uint32_t)cpu_cycles - 2u), vm_t_);     \
    } while (0)
#define vm_charge(op) ((void)(vm_left -= vm_cost(op)))

#endif
