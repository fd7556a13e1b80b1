// The paged address space: first-touch backing pages and the accessors.
#include "graphics/memory.h"

#include <cstdlib>
#include <cstring>

#include "kernel/process.h"

uint8_t* mem_touch_page(Process* p, uint32_t page) {
    PagedAddressSpace& m = p->mem;
    page &= PAGE_COUNT - 1;
    if (!m.backing[page]) {
        m.backing[page] = (uint8_t*)calloc(1, PAGE_SIZE);
        if (!m.backing[page]) abort();
        p->ram_bytes += PAGE_SIZE;
    }
    if (m.page_len[page] == 0) {
        m.page[page] = m.backing[page];
        m.page_len[page] = PAGE_SIZE;
    }
    return m.page[page];
}

void mem_init_process(Process* p) {
    for (uint32_t j = 0; j < 16; j++) mem_touch_page(p, j);
    for (int j = 8; j < 12; j++) p->mem.flag[j] = 0x02;
}

void mem_free_process(Process* p) {
    PagedAddressSpace& m = p->mem;
    for (int j = 0; j < PAGE_COUNT; j++) {
        free(m.backing[j]);
        m.backing[j] = nullptr;
        m.page[j] = nullptr;
        m.page_len[j] = 0;
    }
    memset(m.mapped, 0, sizeof m.mapped);
}

static inline uint8_t* byte_at(Process* p, uint32_t addr) {
    uint32_t page = (addr >> 12) & (PAGE_COUNT - 1), off = addr & (PAGE_SIZE - 1);
    PagedAddressSpace& m = p->mem;
    if (m.page_len[page] == 0) mem_touch_page(p, page);
    if ((int32_t)off >= m.page_len[page]) return nullptr;  // past a partial mapping
    return m.page[page] + off;
}

uint8_t mem_read8(Process* p, uint32_t addr) {
    uint8_t* b = byte_at(p, addr);
    return b ? *b : 0;
}

void mem_write8(Process* p, uint32_t addr, uint8_t v) {
    uint8_t* b = byte_at(p, addr);
    if (!b) return;
    *b = v;
    p->mem.flag[(addr >> 12) & (PAGE_COUNT - 1)] = 0xFF;
}

static uint64_t read_le(uint32_t addr, int n) {
    if (!cproc) return 0;
    uint64_t v = 0;
    for (int i = 0; i < n; i++) v |= (uint64_t)mem_read8(cproc, addr + (uint32_t)i) << (8 * i);
    return v;
}

uint32_t peek(uint32_t addr) { return (uint32_t)read_le(addr, 1); }
int32_t peek2(uint32_t addr) { return (int16_t)(uint16_t)read_le(addr, 2); }
int32_t peek4(uint32_t addr) { return (int32_t)(uint32_t)read_le(addr, 4); }
int64_t peek8(uint32_t addr) { return (int64_t)read_le(addr, 8); }
