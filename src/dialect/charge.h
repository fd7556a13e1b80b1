// CPU charges for the native work done inside the Lua core and its libraries
// (string and pattern functions, conversions, compiling, comparisons,
// metamethod chains, collections), which the bytecode loop sees as a single
// instruction.
//
// Rates follow the host time the charged loop spends per cycle (a few ns), so
// that a frame's budget stays a bounded amount of host work whatever the
// program asks of the libraries.
#pragma once
#include <cstddef>
#include <cstdint>

#include "dialect/vm_budget.h"
#include "kernel/cpu.h"

struct lua_State;

// Bytes moved, compared or searched at memory speed (copies, memcmp, memchr).
inline int64_t charge_fast_bytes(size_t n) { return (int64_t)(n >> 4); }
// Bytes or slots handled one at a time (case mapping, decoding, digit scans,
// table slot scans, hashing).
inline int64_t charge_bytes(size_t n) { return (int64_t)(n >> 1); }
// One step of a search, a match or a chain: a pattern-matcher step, a label
// or variable lookup of the compiler, a metamethod lookup.
constexpr int64_t CHARGE_STEP = 4;
// A call of a debug hook (a count hook may fire on every instruction).
constexpr int64_t CHARGE_HOOK = 32;
// Compiling, per byte of source text.
constexpr int64_t CHARGE_COMPILE_BYTE = 12;
// A full collection, per byte of heap.
inline int64_t charge_collection(size_t heap) { return (int64_t)(heap >> 4); }

// Raises the runaway error in L: with the position of the Lua code running,
// or of the Lua code that called the native function running.
[[noreturn]] void dialect_runaway(lua_State* L);
// Set while that error is made: its own work is charged, never stopped.
extern bool dialect_stopping;

// True once the running code is far enough over its budget that native work
// is stopped (the same allowance as non-yieldable bytecode).
inline bool dialect_far_over_budget() {
    return (int64_t)cpu_cycles - cpu_cycles_max > VM_RUNAWAY_CYCLES;
}

// A native loop whose elements are charged nothing (or only at its end:
// table.concat, table.move, insert and remove) counts each element done as a
// step of native work towards the same stop.
inline bool dialect_loop_far_over(int64_t done) {
    return (int64_t)cpu_cycles - cpu_cycles_max + done * CHARGE_STEP > VM_RUNAWAY_CYCLES;
}

// The one charge for native work: adds n cycles to the running slice,
// saturating. With a state, work that is far over its budget stops here with
// the runaway error (native code cannot yield); without one (core code that
// must not raise) it is only charged, and the next check stops it.
inline void dialect_charge(lua_State* L, int64_t n) {
    if (n > 0) spend_cpu(n);
    if (L && dialect_far_over_budget() && !dialect_stopping) dialect_runaway(L);
}
