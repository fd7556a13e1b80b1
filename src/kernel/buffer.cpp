#include "kernel/buffer.h"

#include <malloc.h>
#include <sys/mman.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

uint64_t total_buffer_allocation;
int32_t total_num_buffers;
int32_t buffer_group_count[128];

static const char hex_digits[] = "0123456789abcdef";

static int tag_slot(int32_t tag) { return tag & 127; }

// A record holding `bytes` (capacity bytes from malloc), counted in the totals.
static ByteBuffer* new_record(uint8_t* bytes, uint64_t capacity, int32_t tag) {
    ByteBuffer* b = (ByteBuffer*)calloc(1, sizeof(ByteBuffer));
    if (!b) abort();
    b->bytes = bytes;
    b->capacity = capacity;
    b->tag = tag;
    total_num_buffers++;
    buffer_group_count[tag_slot(tag)]++;
    total_buffer_allocation += capacity;
    return b;
}

// Above glibc's mmap threshold (set in the process allocator) every block is
// a fresh mapping, and freeing one gives its memory back at once; below it the
// heap reuses memory by itself.
constexpr uint64_t LARGE_BLOCK = 32 << 20;
// Large blocks come in whole huge pages, so that a freed one fits the next
// request of its size.
constexpr uint64_t HUGE_PAGE = 2 << 20;
// Freed large blocks kept for reuse: a few, up to two whole cartridge images.
constexpr int KEPT_BLOCKS = 4;
constexpr uint64_t KEPT_BYTES = 160 << 20;
// Main thread only, like the counters: no worker makes or frees a buffer.
static uint8_t* kept[KEPT_BLOCKS];

uint8_t* buffer_block_alloc(uint64_t n, bool* zeroed) {
    if (zeroed) *zeroed = false;
    if (n < LARGE_BLOCK) return (uint8_t*)malloc(n);
    // The smallest kept block that holds n bytes, as it is: resizing can cost as
    // much as fresh memory.
    int best = -1;
    for (int i = 0; i < KEPT_BLOCKS; i++)
        if (kept[i] && malloc_usable_size(kept[i]) >= n &&
            (best < 0 || malloc_usable_size(kept[i]) < malloc_usable_size(kept[best])))
            best = i;
    if (best >= 0) {
        uint8_t* b = kept[best];
        kept[best] = nullptr;
        return b;
    }
    // A fresh mapping is zero already: calloc knows that and touches no page.
    uint64_t size = (n + HUGE_PAGE - 1) & ~(HUGE_PAGE - 1);
    uint8_t* b = (uint8_t*)calloc(1, size);
    if (zeroed) *zeroed = b != nullptr;
#ifdef MADV_HUGEPAGE
    // Only whole huge pages inside the block: the rest of its mapping is left as it is.
    uintptr_t from = ((uintptr_t)b + HUGE_PAGE - 1) & ~(HUGE_PAGE - 1), to = ((uintptr_t)b + size) & ~(HUGE_PAGE - 1);
    if (b && to > from) madvise((void*)from, to - from, MADV_HUGEPAGE);
#endif
    return b;
}

void buffer_block_free(uint8_t* block) {
    if (!block) return;
    uint64_t n = malloc_usable_size(block);
    if (n < LARGE_BLOCK || n > KEPT_BYTES / 2) {
        free(block);
        return;
    }
    // The newest first: the oldest go when there would be too many, or too many bytes.
    uint64_t total = n;
    for (int i = 0; i < KEPT_BLOCKS; i++) {
        if (!kept[i]) continue;
        if (i == KEPT_BLOCKS - 1 || total + malloc_usable_size(kept[i]) > KEPT_BYTES) {
            free(kept[i]);
            kept[i] = nullptr;
        } else {
            total += malloc_usable_size(kept[i]);
        }
    }
    memmove(kept + 1, kept, (KEPT_BLOCKS - 1) * sizeof kept[0]);
    kept[0] = block;
}

static ByteBuffer* new_buffer(uint64_t capacity, int32_t tag) {
    bool zeroed = true;
    uint8_t* bytes = capacity < LARGE_BLOCK ? (uint8_t*)calloc(1, capacity) : buffer_block_alloc(capacity, &zeroed);
    if (!bytes) abort();
    // Only a reused block is cleared: clearing a fresh one would fault in all its pages.
    if (!zeroed) memset(bytes, 0, capacity);
    return new_record(bytes, capacity, tag);
}

// Grows to exactly new_capacity (when larger), zeroing the added bytes.
static void grow_to(ByteBuffer* b, uint64_t new_capacity, bool zero = true) {
    if (new_capacity <= b->capacity) return;
    uint8_t* nb = (uint8_t*)realloc(b->bytes, new_capacity);
    if (!nb) abort();
    if (zero) memset(nb + b->capacity, 0, new_capacity - b->capacity);
    total_buffer_allocation += new_capacity - b->capacity;
    b->bytes = nb;
    b->capacity = new_capacity;
}

// Makes room for `need` bytes (data plus trailing NUL); refuses lengths past
// what an i32 length can hold.
static bool reserve(ByteBuffer* b, int64_t need) {
    if (need < 0 || need > BUFFER_MAX_LENGTH + 1) return false;
    if ((uint64_t)need > b->capacity) grow_to(b, 2 * (uint64_t)need);
    return true;
}

static void advance(ByteBuffer* b, int64_t n) {
    b->cursor += (int32_t)n;
    if (b->cursor > b->length) b->length = b->cursor;
}

ByteBuffer* create_buffer_2(int64_t size, int32_t tag) {
    if (size < 0) size = 0;
    if (size > BUFFER_MAX_LENGTH) size = BUFFER_MAX_LENGTH;
    return new_buffer((uint64_t)size + 1, tag);
}

ByteBuffer* create_buffer_adopting(uint8_t* block, uint64_t cap, int64_t from, int64_t n, int32_t tag) {
    if (n < 0 || from < 0 || (uint64_t)(from + n) > cap || n > BUFFER_MAX_LENGTH) abort();
    memmove(block, block + from, (size_t)n);
    // A large block shrinks only to whole huge pages, so that once freed it
    // fits the next block of its size.
    uint64_t keep = (uint64_t)n + 1;
    if (keep >= LARGE_BLOCK) keep = (keep + HUGE_PAGE - 1) & ~(HUGE_PAGE - 1);
    // Bytes filling the whole block grow it by the NUL.
    if (keep < cap || (uint64_t)n == cap) {
        block = (uint8_t*)realloc(block, (size_t)keep);
        if (!block) abort();
        cap = keep;
    }
    block[n] = 0;
    ByteBuffer* b = new_record(block, cap, tag);
    b->length = b->cursor = (int32_t)n;
    return b;
}

ByteBuffer* create_buffer_from_str(const char* s) {
    size_t n = s ? strlen(s) : 0;
    if ((int64_t)n > BUFFER_MAX_LENGTH) n = BUFFER_MAX_LENGTH;
    ByteBuffer* b = new_buffer(n + 2, BUF_TAG_FROM_STR);
    if (n) memcpy(b->bytes, s, n);
    b->length = b->cursor = (int32_t)n;
    return b;
}

ByteBuffer* create_buffer_from_buffer_2(const ByteBuffer* src, int32_t tag) {
    ByteBuffer* b = new_buffer(src->capacity + 1, tag);
    if (src->length > 0) memcpy(b->bytes, src->bytes, (size_t)src->length);
    b->length = src->length;
    return b;
}

ByteBuffer* create_buffer_from_buffer(const ByteBuffer* src) {
    return create_buffer_from_buffer_2(src, BUF_TAG_FROM_BUFFER);
}

ByteBuffer* create_buffer_from_file(const char* path) {
    FILE* f = fopen(path, "rb");
    if (!f) return nullptr;
    ByteBuffer* b = new_buffer(4097, BUF_TAG_FROM_FILE);
    uint8_t chunk[16384];
    size_t got;
    while ((got = fread(chunk, 1, sizeof chunk, f)) > 0) {
        if (bwrite(chunk, 1, (int64_t)got, b) != (int64_t)got) break;  // past the i32 limit
    }
    fclose(f);
    return b;
}

void destroy_buffer(ByteBuffer* b) {
    if (!b) return;
    total_num_buffers--;
    buffer_group_count[tag_slot(b->tag)]--;
    total_buffer_allocation -= b->capacity;
    buffer_block_free(b->bytes);
    free(b);
}

bool ballocate(ByteBuffer* b, int64_t n) {
    if (n < 0 || n > BUFFER_MAX_LENGTH) return false;
    if (b->capacity < (uint64_t)n + 1) grow_to(b, 2 * ((uint64_t)n + 1));
    return true;
}

bool ballocate_unzeroed(ByteBuffer* b, int64_t n, uint64_t most) {
    if (n < 0 || n > BUFFER_MAX_LENGTH) return false;
    if (b->capacity < (uint64_t)n + 1)
        grow_to(b, std::max<uint64_t>((uint64_t)n + 1, std::min(2 * ((uint64_t)n + 1), most)), false);
    return true;
}

void bclear(ByteBuffer* b) {
    if (!b) return;
    b->length = 0;
    b->cursor = 0;
}

char* to_cstr(ByteBuffer* b) {
    if (!b) return nullptr;
    b->bytes[b->length] = 0;
    return (char*)b->bytes;
}

void bcrop(ByteBuffer* b, int32_t start, int32_t count) {
    if (start < 0) return;
    if (count <= 0 || start >= b->length) {
        b->length = b->cursor = 0;
        return;
    }
    if (count > b->length - start) count = b->length - start;
    memmove(b->bytes, b->bytes + start, (size_t)count);
    b->length = count;
    b->cursor -= start;
    // The cursor stays inside the data it now refers to.
    if (b->cursor < 0) b->cursor = 0;
    if (b->cursor > b->length) b->cursor = b->length;
    memset(b->bytes + count, 0, b->capacity - (uint64_t)count);
}

int64_t bwrite(const void* src, int64_t size, int64_t n, ByteBuffer* b) {
    if (size <= 0 || n <= 0) return 0;
    int64_t total;
    if (__builtin_mul_overflow(size, n, &total) || !reserve(b, (int64_t)b->cursor + total + 1)) return 0;
    memcpy(b->bytes + b->cursor, src, (size_t)total);
    advance(b, total);
    return total;
}

// Fixed-size writers grow to 2*cursor + 2*(width+1).
static inline bool reserve_small(ByteBuffer* b, int width) {
    int64_t need = (int64_t)b->cursor + width + 1;
    if (need > BUFFER_MAX_LENGTH + 1) return false;
    if ((uint64_t)need > b->capacity) grow_to(b, 2 * (uint64_t)b->cursor + 2 * (uint64_t)(width + 1));
    return true;
}

void bwrite_uint8(uint32_t v, ByteBuffer* b) {
    if (!reserve_small(b, 1)) return;
    b->bytes[b->cursor] = (uint8_t)v;
    advance(b, 1);
}

void bwrite_uint16(uint32_t v, ByteBuffer* b) {
    if (!reserve_small(b, 2)) return;
    uint8_t* p = b->bytes + b->cursor;
    p[0] = (uint8_t)v;
    p[1] = (uint8_t)(v >> 8);
    advance(b, 2);
}

void bwrite_uint32(uint32_t v, ByteBuffer* b) {
    if (!reserve_small(b, 4)) return;
    uint8_t* p = b->bytes + b->cursor;
    for (int i = 0; i < 4; i++) p[i] = (uint8_t)(v >> (8 * i));
    advance(b, 4);
}

void bwrite_uint32_big_endian(uint32_t v, ByteBuffer* b) {
    if (!reserve_small(b, 4)) return;
    uint8_t* p = b->bytes + b->cursor;
    for (int i = 0; i < 4; i++) p[i] = (uint8_t)(v >> (24 - 8 * i));
    advance(b, 4);
}

void bwrite_uint8_as_hex(uint32_t v, ByteBuffer* b) {
    if (!reserve_small(b, 2)) return;
    uint8_t* p = b->bytes + b->cursor;
    p[0] = (uint8_t)hex_digits[(v >> 4) & 15];
    p[1] = (uint8_t)hex_digits[v & 15];
    advance(b, 2);
}

int64_t bappend_bytes(ByteBuffer* b, const void* s, int64_t n) {
    if (n < 0) return 0;
    b->cursor = b->length;
    if (!reserve(b, (int64_t)b->length + n + 1)) return 0;
    if (n) memcpy(b->bytes + b->length, s, (size_t)n);
    advance(b, n);
    b->bytes[b->length] = 0;
    return n;
}

int64_t bappend_str(ByteBuffer* b, const char* s) {
    if (!s) return 0;
    return bappend_bytes(b, s, (int64_t)strlen(s));
}

void bwrite_int64_as_hex(int64_t v, ByteBuffer* b) {
    char t[20];
    snprintf(t, sizeof t, "%08x%08x", (unsigned)((uint64_t)v >> 32), (unsigned)(uint32_t)v);
    bappend_str(b, t);
}

void bwrite_int32_as_hex(int32_t v, ByteBuffer* b) {
    char t[12];
    snprintf(t, sizeof t, "%08x", (unsigned)v);
    bappend_str(b, t);
}

void bwrite_int16_as_hex(int32_t v, ByteBuffer* b) {
    char t[8];
    snprintf(t, sizeof t, "%04x", (unsigned)(v & 0xffff));
    bappend_str(b, t);
}

int64_t bappend_str_escaped(ByteBuffer* b, const char* s) {
    if (!s) return 0;
    b->cursor = b->length;
    int64_t written = 0;
    for (const uint8_t* p = (const uint8_t*)s; *p; p++) {
        uint8_t c = *p;
        // Room for the worst case (4 bytes) plus the NUL.
        if (!reserve(b, (int64_t)b->length + 5)) break;
        uint8_t* d = b->bytes + b->length;
        if (c < 0x20 || c >= 0x80 || c == '\\' || c == '"') {
            d[0] = '\\';
            d[1] = (uint8_t)('0' + c / 100);
            d[2] = (uint8_t)('0' + (c / 10) % 10);
            d[3] = (uint8_t)('0' + c % 10);
            advance(b, 4);
            written += 4;
        } else {
            d[0] = c;
            advance(b, 1);
            written++;
        }
    }
    b->bytes[b->length] = 0;
    return written;
}

int64_t bwrite_escaped_string(const char* s, ByteBuffer* b, int64_t n) {
    if (!b || n <= 0) return 0;
    int64_t written = 0;
    char esc[8];
    for (int64_t i = 0; i < n; i++) {
        uint8_t c = (uint8_t)s[i];
        if (c >= 0x20 && c <= 0x7e && c != ']' && c != '\\' && c != '"') {
            bwrite_uint8(c, b);
            written++;
            continue;
        }
        int len;
        if (c == '\n') len = snprintf(esc, sizeof esc, "\\n");
        else if (c == '\\') len = snprintf(esc, sizeof esc, "\\\\");
        else if (c == '"') len = snprintf(esc, sizeof esc, "\\\"");
        else len = snprintf(esc, sizeof esc, "\\%03d", c);
        written += bappend_bytes(b, esc, len);
    }
    return written;
}

uint32_t bread_uint8(ByteBuffer* b) {
    if (b->cursor + 1 > b->length) return 0;
    return b->bytes[b->cursor++];
}

uint32_t bread_uint16(ByteBuffer* b) {
    if (b->cursor + 2 > b->length) return 0;
    const uint8_t* p = b->bytes + b->cursor;
    b->cursor += 2;
    return (uint32_t)p[0] | ((uint32_t)p[1] << 8);
}

uint32_t bread_uint32(ByteBuffer* b) {
    if ((int64_t)b->cursor + 4 > b->length) return 0;
    const uint8_t* p = b->bytes + b->cursor;
    b->cursor += 4;
    return (uint32_t)p[0] | ((uint32_t)p[1] << 8) | ((uint32_t)p[2] << 16) | ((uint32_t)p[3] << 24);
}

uint32_t bread_uint32_big_endian(ByteBuffer* b) {
    if ((int64_t)b->cursor + 4 > b->length) return 0;
    const uint8_t* p = b->bytes + b->cursor;
    b->cursor += 4;
    return ((uint32_t)p[0] << 24) | ((uint32_t)p[1] << 16) | ((uint32_t)p[2] << 8) | (uint32_t)p[3];
}

static inline uint32_t hex_value(uint8_t c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return 0;
}

uint32_t bread_uint8_hex(ByteBuffer* b) {
    if (b->cursor + 2 > b->length) return 0;
    const uint8_t* p = b->bytes + b->cursor;
    b->cursor += 2;
    return (hex_value(p[0]) << 4) | hex_value(p[1]);
}

int64_t bread(void* dst, int64_t size, int64_t n, ByteBuffer* b) {
    if (size <= 0 || n <= 0) return 0;
    int64_t want;
    if (__builtin_mul_overflow(size, n, &want)) want = INT64_MAX;
    int64_t avail = (int64_t)b->length - b->cursor;
    if (avail <= 0) return 0;
    if (want > avail) want = avail;
    memcpy(dst, b->bytes + b->cursor, (size_t)want);
    b->cursor += (int32_t)want;
    return want;
}

ByteBuffer* breadln(ByteBuffer* src, ByteBuffer* dst) {
    if (!dst) dst = create_buffer_2(16, BUF_TAG_READLN);
    else bclear(dst);
    while (src->cursor < src->length) {
        uint8_t c = src->bytes[src->cursor];
        if (c == '\n') {
            src->cursor++;
            break;
        }
        if (c == '\r' && src->cursor + 1 < src->length && src->bytes[src->cursor + 1] == '\n') {
            src->cursor += 2;
            break;
        }
        bwrite_uint8(c, dst);
        src->cursor++;
    }
    dst->bytes[dst->length] = 0;
    return dst;
}

static uint64_t read_hex_digits(const char** p, int digits) {
    uint64_t v = 0;
    for (int i = 0; i < digits; i++) {
        if (**p == 0) return 0;
        v = (v << 4) | hex_value((uint8_t)**p);
        (*p)++;
    }
    return v;
}

uint8_t read_u8_from_hex_str(const char** p) { return (uint8_t)read_hex_digits(p, 2); }
int16_t read_i16_from_hex_str(const char** p) { return (int16_t)(uint16_t)read_hex_digits(p, 4); }
int32_t read_i32_from_hex_str(const char** p) { return (int32_t)(uint32_t)read_hex_digits(p, 8); }
int64_t read_i64_from_hex_str(const char** p) { return (int64_t)read_hex_digits(p, 16); }

const char* escape_lua_string(const char* s) {
    static ByteBuffer* scratch;
    if (!scratch) scratch = create_buffer_2(1024, BUF_TAG_ESCAPE);
    bclear(scratch);
    bappend_str_escaped(scratch, s);
    return to_cstr(scratch);
}

uint64_t get_total_buffer_allocation() { return total_buffer_allocation; }
int32_t get_total_num_buffers() { return total_num_buffers; }
