// What the dialect core needs from the kernel when it runs without one (the
// benchmark runner and the loop's equivalence tool): the budget globals, a
// current process record for the process allocator, and a flat memory of
// 64 KB, wrapped, for the memory-read operators.
#include <cstdint>

#include "graphics/memory.h"
#include "kernel/cpu.h"
#include "kernel/process.h"

int32_t cpu_cycles, cpu_cycles_max, cpu_superyielding;
Process* cproc;

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
