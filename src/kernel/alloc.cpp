// The process allocator: every block of a process state carries its charged
// size; the current process's heap count, limit and CPU are charged here.
#include <cstdlib>

#include "kernel/process.h"
#include "kernel/sat.h"

int64_t process_memory_used(const Process* p) {
    // The copy of its source kept for a restart is the process's memory too.
    int64_t own = sat_add(p->ram_bytes, (int64_t)p->source_len);
    return sat_add(sat_add(own, p->heap_bytes - p->baseline), PROCESS_FIXED_MEMORY);
}

// --- allocator ---------------------------------------------------------------

// The header keeps payloads 16-byte aligned and records the block's charge.
static constexpr size_t ALLOC_HEADER = 16;

// Allocation and resizing; frees stay in l_alloc, which then saves no
// registers before it jumps to free.
[[gnu::noinline]] static void* allocate(void* block, size_t nsize, int retry_flag, uint64_t charged_size) {
    Process* p = cproc;
    uint8_t* base = block ? (uint8_t*)block - ALLOC_HEADER : nullptr;
    uint64_t old_charge = base ? *(uint64_t*)base : 0;
    // Computed in 32 bits as the charge rule says, wrapping rather than overflowing.
    int32_t charge = (int32_t)((uint32_t)(nsize / 64) + 4u);
    if (charge > 0) spend_cpu(charge);

    // A block that would take the process past its limit is refused up front,
    // so one huge request can't take the host's memory.
    bool over = nsize > SIZE_MAX - ALLOC_HEADER;
    if (p && (charged_size > old_charge || nsize > (size_t)PROCESS_MEMORY_LIMIT)) {
        int64_t grow = charged_size > old_charge ? (int64_t)(charged_size - old_charge) : 0;
        over = nsize > (size_t)PROCESS_MEMORY_LIMIT || process_memory_used(p) + grow > PROCESS_MEMORY_LIMIT;
    }
    // New blocks straight from malloc: realloc of null costs more.
    uint8_t* nb = over ? nullptr : base ? (uint8_t*)realloc(base, nsize + ALLOC_HEADER) : (uint8_t*)malloc(nsize + ALLOC_HEADER);
    if (!nb) {
        if (retry_flag && p) {
            p->out_of_memory = 1;
            cpu_superyielding = SUPERYIELD;
        }
        return nullptr;
    }
    *(uint64_t*)nb = charged_size;
    if (p) p->heap_bytes += (int64_t)charged_size - (int64_t)old_charge;
    return nb + ALLOC_HEADER;
}

void* l_alloc(void*, void* block, size_t, size_t nsize, int retry_flag, uint64_t charged_size) {
    if (nsize != 0) return allocate(block, nsize, retry_flag, charged_size);
    if (block) {
        uint8_t* base = (uint8_t*)block - ALLOC_HEADER;
        if (cproc) cproc->heap_bytes -= *(int64_t*)base;
        free(base);
    }
    return nullptr;
}
