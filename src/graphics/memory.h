// Each process's 16 MB paged address space (24-bit addresses, 4 KB pages).
#pragma once
#include <cstdint>

constexpr int PAGE_COUNT = 4096;
constexpr int PAGE_SIZE = 4096;

struct PagedAddressSpace {
    uint8_t* page[PAGE_COUNT];      // where the first page_len bytes are served from
    int32_t page_len[PAGE_COUNT];   // 0 untouched, 4096 whole, else partial mapping
    uint8_t flag[PAGE_COUNT];       // change marks
    uint8_t* backing[PAGE_COUNT];   // owned zeroed pages, made on first touch
    uint64_t mapped[PAGE_COUNT / 64];
};

struct Process;

// Gives pages 0..15 backing pages and marks the colour tables (pages 8..11).
void mem_init_process(Process* p);
// Frees every backing page the process owns.
void mem_free_process(Process* p);

// Reads of the current process's memory (used by the dialect's memory-read
// operators); they touch pages as the address space's first-touch rule says.
uint32_t peek(uint32_t addr);
int32_t peek2(uint32_t addr);
int32_t peek4(uint32_t addr);
int64_t peek8(uint32_t addr);

// Accessors on a given process.
uint8_t* mem_touch_page(Process* p, uint32_t page);
uint8_t mem_read8(Process* p, uint32_t addr);
void mem_write8(Process* p, uint32_t addr, uint8_t v);
