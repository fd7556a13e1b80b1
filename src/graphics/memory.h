// Each process's 16 MB paged address space (24-bit addresses, 4 KB pages).
//
// A byte is reached by one rule: page = (a >> 12) & 0xFFF, offset = a & 0xFFF;
// offsets below page_len are served by page[] (the page's own backing page or a
// mapped typed array), the rest by the page's backing page, made zeroed on its
// first touch (reads touch too). Writes through these accessors set the page's
// change mark to 0xFF.
#pragma once
#include <cstdint>

constexpr int PAGE_COUNT = 4096;
constexpr int PAGE_SIZE = 4096;
constexpr uint32_t ADDR_MASK = 0xFFFFFF;

struct TypedArray;
struct lua_State;

struct PagedAddressSpace {
    uint8_t* page[PAGE_COUNT];      // where the first page_len bytes are served from
    int32_t page_len[PAGE_COUNT];   // 0 untouched, 4096 whole, else partial mapping
    uint8_t flag[PAGE_COUNT];       // change marks
    uint8_t* backing[PAGE_COUNT];   // owned zeroed pages, made on first touch
    uint64_t mapped[PAGE_COUNT / 64];
    TypedArray* owner[PAGE_COUNT];  // the array a mapped page points into
    TypedArray* current_map;        // the i16 array last mapped at 0x100000
};

struct Process;

// Gives pages 0..15 backing pages and marks the colour tables (pages 8..11).
void mem_init_process(Process* p);
// Frees every backing page the process owns and forgets its mappings.
void mem_free_process(Process* p);

// Makes the page's backing page if it has none (and serves the page from it
// when the page was untouched); returns the page's pointer.
uint8_t* mem_touch_page(Process* p, uint32_t page);
// The contiguous bytes at addr by the byte rule, touching as needed: returns
// the pointer and sets *avail to the bytes left in this piece of the page.
uint8_t* mem_span(Process* p, uint32_t addr, int32_t* avail);
// The same without touching (other processes, video out): null when nothing
// stands behind the piece; *avail is then the length of that empty run.
const uint8_t* mem_view(const Process* p, uint32_t addr, int32_t* avail);
// One byte without touching: 0 when nothing stands behind it.
uint8_t mem_peek_quiet(const Process* p, uint32_t addr);
// A whole 4 KB view of one of the first 16 pages for a process whose page
// lost it (mem_low_page in graphics/gfx.h is the fast way in).
uint8_t* mem_low_page_slow(Process* p, int page);

// Accessors on a given process (none reads as 0).
uint8_t peek_proc(Process* p, uint32_t addr);
int32_t peek2_proc(Process* p, uint32_t addr);
int32_t peek4_proc(Process* p, uint32_t addr);
void poke_proc(Process* p, uint32_t addr, uint8_t v);
void poke2_proc(Process* p, uint32_t addr, uint16_t v);
// Names used by the kernel for the byte accessors.
inline uint8_t mem_read8(Process* p, uint32_t addr) { return peek_proc(p, addr); }
inline void mem_write8(Process* p, uint32_t addr, uint8_t v) { poke_proc(p, addr, v); }

// Accessors on the current process; the dialect's memory-read operators and
// the peek family of the API both use them.
uint32_t peek(uint32_t addr);
int32_t peek2(uint32_t addr);
int32_t peek4(uint32_t addr);
int64_t peek8(uint32_t addr);
void poke(uint32_t addr, uint64_t v);
void poke2(uint32_t addr, uint64_t v);
void poke4(uint32_t addr, uint64_t v);
void poke8(uint32_t addr, uint64_t v);

// Bulk operations on the current process; they return their CPU cost.
uint32_t q64_memcpy(uint32_t dst, uint32_t src, int64_t n);
uint32_t q64_memset(uint32_t addr, int v, int64_t n);
// Copies between the current process's memory and a host buffer, page piece by
// page piece (writes mark pages); used by the typed-array peek and poke.
void mem_read_bytes(Process* p, uint32_t addr, uint8_t* out, int64_t n);
void mem_write_bytes(Process* p, uint32_t addr, const uint8_t* in, int64_t n);
// Whole pages from..to (exclusive end) of src copied into dst's own memory.
void q64_pmemcpy_pages(Process* src, Process* dst, uint32_t from, uint32_t to);

// Typed arrays the host points into (mapped pages, the draw target, the current
// map, sprite slots) are kept alive by counted references held in the owning
// process's Lua registry. mem_anchor adds n references to the array at stack
// index idx (it may raise a memory error, so call it before changing anything);
// mem_unanchor drops n and lets the array go at zero (it never raises).
void mem_anchor(lua_State* L, int idx, int64_t n);
void mem_unanchor(lua_State* L, TypedArray* a, int64_t n);

// _map_ram and _unmap_ram on a process (the API reads the arguments).
// Returns the mapped length, or INT64_MIN when nothing is mapped.
int64_t mem_map_array(Process* p, lua_State* L, int idx, uint32_t addr, int64_t offset, int64_t len, bool has_len);
// Returns 1 when no page of the array stays mapped, 0 otherwise; *pages gets
// the pages released.
int mem_unmap_array(Process* p, lua_State* L, TypedArray* a, int64_t addr, int64_t len, bool has_len, int64_t* pages);
