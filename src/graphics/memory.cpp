// The paged address space: first-touch backing pages, the byte accessors, bulk
// copies and fills, mappings of typed arrays and the references that keep
// mapped arrays alive.
#include "graphics/memory.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "arrays/typed_array.h"
#include "kernel/process.h"
#include "lua.h"

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "guest memory is little-endian like the host");

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
        m.owner[j] = nullptr;
    }
    memset(m.mapped, 0, sizeof m.mapped);
    m.current_map = nullptr;
    p->draw = DrawContext{};
}

uint8_t* mem_span(Process* p, uint32_t addr, int32_t* avail) {
    PagedAddressSpace& m = p->mem;
    uint32_t page = (addr >> 12) & (PAGE_COUNT - 1);
    int32_t off = (int32_t)(addr & (PAGE_SIZE - 1));
    if (m.page_len[page] == 0) mem_touch_page(p, page);
    if (off < m.page_len[page]) {
        *avail = m.page_len[page] - off;
        return m.page[page] + off;
    }
    mem_touch_page(p, page);  // past a partial mapping: the page's own memory
    *avail = PAGE_SIZE - off;
    return m.backing[page] + off;
}

const uint8_t* mem_view(const Process* p, uint32_t addr, int32_t* avail) {
    const PagedAddressSpace& m = p->mem;
    uint32_t page = (addr >> 12) & (PAGE_COUNT - 1);
    int32_t off = (int32_t)(addr & (PAGE_SIZE - 1));
    if (off < m.page_len[page]) {
        *avail = m.page_len[page] - off;
        return m.page[page] + off;
    }
    *avail = PAGE_SIZE - off;
    return m.backing[page] ? m.backing[page] + off : nullptr;
}

uint8_t mem_peek_quiet(const Process* p, uint32_t addr) {
    int32_t n;
    const uint8_t* b = mem_view(p, addr, &n);
    return b ? *b : 0;
}

uint8_t* mem_low_page_slow(Process* p, int page) {
    page &= 15;
    mem_touch_page(p, (uint32_t)page);
    return p->mem.page_len[page] == PAGE_SIZE ? p->mem.page[page] : p->mem.backing[page];
}

// ---- byte accessors ---------------------------------------------------------

static inline uint8_t* byte_at(Process* p, uint32_t addr) {
    int32_t n;
    return mem_span(p, addr, &n);
}

static inline void put_byte(Process* p, uint32_t addr, uint8_t v) {
    p->mem.flag[(addr >> 12) & (PAGE_COUNT - 1)] = 0xFF;
    *byte_at(p, addr) = v;
}

static uint64_t read_le(Process* p, uint32_t addr, int n) {
    if (!p) return 0;
    uint64_t v = 0;
    for (int i = 0; i < n; i++) v |= (uint64_t)*byte_at(p, addr + (uint32_t)i) << (8 * i);
    return v;
}

static void write_le(Process* p, uint32_t addr, uint64_t v, int n) {
    if (!p) return;
    for (int i = 0; i < n; i++) put_byte(p, addr + (uint32_t)i, (uint8_t)(v >> (8 * i)));
}

uint8_t peek_proc(Process* p, uint32_t addr) { return (uint8_t)read_le(p, addr, 1); }
int32_t peek2_proc(Process* p, uint32_t addr) { return (int16_t)(uint16_t)read_le(p, addr, 2); }
int32_t peek4_proc(Process* p, uint32_t addr) { return (int32_t)(uint32_t)read_le(p, addr, 4); }
void poke_proc(Process* p, uint32_t addr, uint8_t v) { write_le(p, addr, v, 1); }
void poke2_proc(Process* p, uint32_t addr, uint16_t v) { write_le(p, addr, v, 2); }

uint32_t peek(uint32_t addr) { return (uint32_t)read_le(cproc, addr, 1); }
int32_t peek2(uint32_t addr) { return (int16_t)(uint16_t)read_le(cproc, addr, 2); }
int32_t peek4(uint32_t addr) { return (int32_t)(uint32_t)read_le(cproc, addr, 4); }
int64_t peek8(uint32_t addr) { return (int64_t)read_le(cproc, addr, 8); }
void poke(uint32_t addr, uint64_t v) { write_le(cproc, addr, v, 1); }
void poke2(uint32_t addr, uint64_t v) { write_le(cproc, addr, v, 2); }
void poke4(uint32_t addr, uint64_t v) { write_le(cproc, addr, v, 4); }
void poke8(uint32_t addr, uint64_t v) { write_le(cproc, addr, v, 8); }

// ---- bulk operations ---------------------------------------------------------

void mem_read_bytes(Process* p, uint32_t addr, uint8_t* out, int64_t n) {
    while (n > 0) {
        int32_t avail;
        const uint8_t* s = mem_span(p, addr, &avail);
        int64_t k = std::min<int64_t>(n, avail);
        memmove(out, s, (size_t)k);
        out += k;
        addr = (addr + (uint32_t)k) & ADDR_MASK;
        n -= k;
    }
}

void mem_write_bytes(Process* p, uint32_t addr, const uint8_t* in, int64_t n) {
    while (n > 0) {
        int32_t avail;
        uint8_t* d = mem_span(p, addr, &avail);
        int64_t k = std::min<int64_t>(n, avail);
        memmove(d, in, (size_t)k);
        p->mem.flag[(addr >> 12) & (PAGE_COUNT - 1)] = 0xFF;
        in += k;
        addr = (addr + (uint32_t)k) & ADDR_MASK;
        n -= k;
    }
}

constexpr int64_t MEM_OP_MAX = 0x1000000;

// True when some page of the destination range and some page of the source
// range point into the same mapped array, so the host bytes may alias.
static bool ranges_alias(const Process* p, uint32_t dst, uint32_t src, int64_t n) {
    const PagedAddressSpace& m = p->mem;
    auto pages = [](uint32_t a, int64_t len) { return (int64_t)(((a & 0xFFF) + len + 0xFFF) >> 12); };
    std::vector<const TypedArray*> owners;
    int64_t ns = std::min<int64_t>(pages(src, n), PAGE_COUNT);
    for (int64_t i = 0; i < ns; i++) {
        const TypedArray* o = m.owner[((src >> 12) + i) & (PAGE_COUNT - 1)];
        if (o && std::find(owners.begin(), owners.end(), o) == owners.end()) owners.push_back(o);
    }
    if (owners.empty()) return false;
    int64_t nd = std::min<int64_t>(pages(dst, n), PAGE_COUNT);
    for (int64_t i = 0; i < nd; i++) {
        const TypedArray* o = m.owner[((dst >> 12) + i) & (PAGE_COUNT - 1)];
        if (o && std::find(owners.begin(), owners.end(), o) != owners.end()) return true;
    }
    return false;
}

uint32_t q64_memcpy(uint32_t dst, uint32_t src, int64_t n) {
    Process* p = cproc;
    if (!p || n <= 0) return 0;
    n = std::min(n, MEM_OP_MAX);
    dst &= ADDR_MASK;
    src &= ADDR_MASK;
    if (dst == src) return 0;
    // Overlap is decided on the 24-bit circle the addresses live on.
    bool overlap = (int64_t)((dst - src) & ADDR_MASK) < n || (int64_t)((src - dst) & ADDR_MASK) < n;
    if (overlap) {
        std::unique_ptr<uint8_t[]> tmp(new uint8_t[(size_t)n]);
        mem_read_bytes(p, src, tmp.get(), n);
        mem_write_bytes(p, dst, tmp.get(), n);
        return (uint32_t)(n / 8);
    }
    // Chunks as long as both sides' current page pieces allow.
    bool alias = ranges_alias(p, dst, src, n);
    std::unique_ptr<uint8_t[]> tmp(alias ? new uint8_t[(size_t)n] : nullptr);
    uint32_t cost = 0;
    uint32_t d = dst, s = src;
    for (int64_t done = 0; done < n;) {
        int32_t da, sa;
        uint8_t* dp = mem_span(p, d, &da);
        const uint8_t* sp = mem_span(p, s, &sa);
        int64_t k = std::min<int64_t>({n - done, da, sa});
        if (alias) memcpy(tmp.get() + done, sp, (size_t)k);
        else memcpy(dp, sp, (size_t)k);
        p->mem.flag[(d >> 12) & (PAGE_COUNT - 1)] = 0xFF;
        cost += (uint32_t)(k / 128 + 1);
        d = (d + (uint32_t)k) & ADDR_MASK;
        s = (s + (uint32_t)k) & ADDR_MASK;
        done += k;
    }
    // Source bytes that alias the destination are read before any is written.
    if (alias) mem_write_bytes(p, dst, tmp.get(), n);
    return cost;
}

uint32_t q64_memset(uint32_t addr, int v, int64_t n) {
    Process* p = cproc;
    if (!p || n <= 0) return 0;
    n = std::min(n, MEM_OP_MAX);
    uint32_t cost = 0;
    addr &= ADDR_MASK;
    while (n > 0) {
        int32_t avail;
        uint8_t* d = mem_span(p, addr, &avail);
        int64_t k = std::min<int64_t>(n, avail);
        memset(d, v & 0xFF, (size_t)k);
        p->mem.flag[(addr >> 12) & (PAGE_COUNT - 1)] = 0xFF;
        cost += (uint32_t)(k / 128 + 1);
        addr = (addr + (uint32_t)k) & ADDR_MASK;
        n -= k;
    }
    return cost;
}

void q64_pmemcpy_pages(Process* src, Process* dst, uint32_t from, uint32_t to) {
    if (!src || !dst || src == dst) return;
    int64_t last = std::min<int64_t>(to >> 12, PAGE_COUNT);
    uint8_t tmp[PAGE_SIZE];
    for (int64_t j = from >> 12; j < last; j++) {
        if (!src->mem.page[j]) continue;
        // The source page as the byte rule reads it, without touching it.
        for (int32_t off = 0; off < PAGE_SIZE;) {
            int32_t k;
            const uint8_t* b = mem_view(src, (uint32_t)(j << 12) + (uint32_t)off, &k);
            if (b) memcpy(tmp + off, b, (size_t)k);
            else memset(tmp + off, 0, (size_t)k);
            off += k;
        }
        PagedAddressSpace& m = dst->mem;
        mem_touch_page(dst, (uint32_t)j);
        // A mapped destination keeps its mapping; the bytes go where the rule puts them.
        int32_t len = m.page_len[j];
        memcpy(m.page[j], tmp, (size_t)len);
        if (len < PAGE_SIZE) memcpy(m.backing[j] + len, tmp + len, (size_t)(PAGE_SIZE - len));
    }
}

// ---- references that keep arrays alive -----------------------------------------

static char anchor_key, count_key;

static void push_anchor_table(lua_State* L, const void* key) {
    if (lua_rawgetp(L, LUA_REGISTRYINDEX, key) == LUA_TTABLE) return;
    lua_pop(L, 1);
    lua_newtable(L);
    lua_pushvalue(L, -1);
    lua_rawsetp(L, LUA_REGISTRYINDEX, key);
}

void mem_anchor(lua_State* L, int idx, int64_t n) {
    if (!L || n <= 0) return;
    idx = lua_absindex(L, idx);
    void* a = lua_touserdata(L, idx);
    if (!a) return;
    push_anchor_table(L, &count_key);
    push_anchor_table(L, &anchor_key);
    lua_pushvalue(L, idx);
    lua_rawsetp(L, -2, a);
    lua_pop(L, 1);
    lua_Integer c = lua_rawgetp(L, -1, a) == LUA_TNUMBER ? lua_tointeger(L, -1) : 0;
    lua_pop(L, 1);
    lua_pushinteger(L, c + n);
    lua_rawsetp(L, -2, a);
    lua_pop(L, 1);
}

void mem_unanchor(lua_State* L, TypedArray* a, int64_t n) {
    if (!L || !a || n <= 0) return;
    if (lua_rawgetp(L, LUA_REGISTRYINDEX, &count_key) != LUA_TTABLE) {
        lua_pop(L, 1);
        return;
    }
    lua_Integer c = lua_rawgetp(L, -1, a) == LUA_TNUMBER ? lua_tointeger(L, -1) : 0;
    lua_pop(L, 1);
    if (c > n) {
        lua_pushinteger(L, c - n);  // an existing key: no allocation
        lua_rawsetp(L, -2, a);
        lua_pop(L, 1);
        return;
    }
    lua_pushnil(L);
    lua_rawsetp(L, -2, a);
    lua_pop(L, 1);
    if (lua_rawgetp(L, LUA_REGISTRYINDEX, &anchor_key) == LUA_TTABLE) {
        lua_pushnil(L);
        lua_rawsetp(L, -2, a);
    }
    lua_pop(L, 1);
}

// Drops the references of pages that stopped pointing into their arrays.
struct ReleasedPages {
    std::vector<std::pair<TypedArray*, int64_t>> list;
    void add(TypedArray* a) {
        if (!a) return;
        for (auto& e : list)
            if (e.first == a) {
                e.second++;
                return;
            }
        list.push_back({a, 1});
    }
    void drop(lua_State* L) {
        for (auto& e : list) mem_unanchor(L, e.first, e.second);
    }
};

static void set_current_map(Process* p, lua_State* L, int idx, TypedArray* a) {
    if (a == p->mem.current_map) return;
    if (a) mem_anchor(L, idx, 1);
    TypedArray* old = p->mem.current_map;
    p->mem.current_map = a;
    mem_unanchor(L, old, 1);
}

int64_t mem_map_array(Process* p, lua_State* L, int idx, uint32_t addr, int64_t offset, int64_t len, bool has_len) {
    TypedArray* a = to_typed_array(L, idx);
    if (!a) return INT64_MIN;
    if (addr == 0x100000) set_current_map(p, L, idx, ta_tag(a) == UT_I16 ? a : nullptr);
    if (ta_tag(a) == UT_F64) return INT64_MIN;
    offset &= ~(int64_t)3;
    int64_t size = ta_data_bytes(a);
    if (offset < 0 || offset >= size) return INT64_MIN;
    if (!has_len) len = size - offset;
    if (len <= 0) return len;
    // Never past the array's data, never past the last page.
    len = std::min(len, size - offset);
    int64_t first = (addr >> 12) & 0xFFF;
    int64_t pages = std::min(std::max<int64_t>(1, (len + 4095) >> 12), PAGE_COUNT - first);
    len = std::min(len, pages * PAGE_SIZE);
    bool low = (addr & 0xFFF000) < 0x10000;
    int64_t count = 0;
    for (int64_t i = 0; i < pages; i++)
        if (!low || len - PAGE_SIZE * i >= PAGE_SIZE) count++;
    mem_anchor(L, idx, count);

    PagedAddressSpace& m = p->mem;
    ReleasedPages released;
    uint8_t* data = ta_data(a) + offset;
    for (int64_t i = 0; i < count; i++) {
        int64_t j = first + i;
        released.add(m.owner[j]);
        m.page[j] = data + PAGE_SIZE * i;
        m.page_len[j] = (int32_t)std::min<int64_t>(PAGE_SIZE, len - PAGE_SIZE * i);
        m.mapped[j >> 6] |= (uint64_t)1 << (j & 63);
        m.flag[j] = 0xFF;
        m.owner[j] = a;
    }
    released.drop(L);
    return len;
}

int mem_unmap_array(Process* p, lua_State* L, TypedArray* a, int64_t addr, int64_t len, bool has_len,
                    int64_t* pages) {
    int64_t size = ta_data_bytes(a);
    if (has_len && len < size) size = len;
    int64_t lo = 0, hi = PAGE_COUNT - 1;
    if (addr >= 0) {
        lo = (addr >> 12) & 0xFFF;
        hi = size > 0 ? std::min<int64_t>(lo + (((addr & 0xFFF) + size - 1) >> 12), PAGE_COUNT - 1) : lo - 1;
    }
    PagedAddressSpace& m = p->mem;
    bool stayed = false;
    int64_t count = 0;
    for (int w = 0; w < PAGE_COUNT / 64; w++) {
        if (!m.mapped[w]) continue;
        for (int b = 0; b < 64; b++) {
            int j = w * 64 + b;
            if (!(m.mapped[w] >> b & 1) || m.owner[j] != a) continue;
            if (j < lo || j > hi) {
                stayed = true;
                continue;
            }
            // A page with memory of its own serves all of it again.
            m.page[j] = m.backing[j];
            m.page_len[j] = m.backing[j] ? PAGE_SIZE : 0;
            m.mapped[w] &= ~((uint64_t)1 << b);
            m.flag[j] = 0xFF;
            m.owner[j] = nullptr;
            count++;
        }
    }
    mem_unanchor(L, a, count);
    *pages = count;
    return stayed ? 0 : 1;
}
