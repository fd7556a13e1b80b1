// The virtual CPU budget read by the bytecode loop before every instruction.
#pragma once
#include <cstdint>

constexpr int32_t FRAME_CYCLES = 279620;
constexpr int32_t MAX_DEBT = FRAME_CYCLES * 10;
constexpr int32_t SUPERYIELD = 0x40000000;

extern int32_t cpu_cycles;
extern int32_t cpu_cycles_max;
extern int32_t cpu_superyielding;
extern int32_t total_frame_cycles;

// Charges n >= 0 cycles (at least 1) to the running slice; negative n charges
// nothing. Saturates rather than wrapping.
inline void spend_cpu(int64_t n) {
    if (n < 0) return;
    if (n < 1) n = 1;
    int64_t c = (int64_t)cpu_cycles + n;
    cpu_cycles = c > 0x7fffffff ? 0x7fffffff : (int32_t)c;
}

int32_t get_total_frame_cycles();

struct lua_State;
// Charges native work that is about to be done for the running process. Work that
// would take the process as far past its budget as runaway non-yieldable code may
// go is refused instead, with the runaway error raised in L, before any of it is done.
void charge_native_work(lua_State* L, int64_t n);
