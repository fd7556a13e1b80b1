// The process allocator: every block of a process state carries its charged
// size; the current process's heap count, limit and CPU are charged here.
#include <malloc.h>

#include <cstdlib>
#include <cstring>

#include "kernel/process.h"
#include "kernel/sat.h"
#include "lua.h"
#include "lmem.h"

#ifdef ORVANTA_MIMALLOC
#include <dlfcn.h>
#include <mimalloc.h>
#include <time.h>
#endif

int64_t process_memory_used(const Process* p) {
    // The copy of its source kept for a restart is the process's memory too.
    int64_t own = sat_add(p->ram_bytes, (int64_t)p->source_len);
    return sat_add(sat_add(own, p->heap_bytes - p->baseline), PROCESS_FIXED_MEMORY);
}

// Host blocks up to 32 MB come from glibc's heap, and up to 64 MB of freed heap stays
// mapped: the limits glibc adapts to by itself, set from the start, so a program that
// keeps making and dropping large blocks (strings, when Lua's blocks come from the
// system allocator; buffers) reuses memory instead of faulting in fresh pages each
// time (that host time is far more than its charge).
static const bool malloc_limits_set = [] {
    mallopt(M_MMAP_THRESHOLD, 32 << 20);
    mallopt(M_TRIM_THRESHOLD, 64 << 20);
    return true;
}();

// The header keeps payloads 16-byte aligned and records the block's charge,
// then whether it is a main thread's stack (placed).
static constexpr size_t ALLOC_HEADER = 16;

// --- the process heap ----------------------------------------------------------
//
// Process states' blocks come from mimalloc, opened local to this file so that the
// host's own allocations (SDL, libcurl, buffers, the audio thread) keep the system
// allocator. Without it (or in the sanitizers' builds, which must see every block)
// they come from the system allocator too. mi_malloc takes the calling thread's
// heap, so all process states share the main thread's (a block freed elsewhere
// would still go back to it): a heap of each process's own costs about 110 kB
// more per idle process (a page per block size in use). Pages that frees leave
// empty go back to the host in batches (process_heap_tidy): giving each back as it
// empties takes a system call per page, hundreds in one frame when a full process
// goes.
//
// The main thread's stack is the block a program writes most, and the processor
// first matches a load with earlier stores by the low 12 bits of their addresses.
// mimalloc starts the blocks of each size at the start of a fresh page, so a small
// program's code and constants tend to lie early in a 4 KB page; with the stack's
// first frames at the same offsets, fetching an instruction waits on the store of
// the result before it (13% of a tight float loop's time). So the stack starts in
// the middle of a 4 KB page: of the blocks of its size that mimalloc hands out in
// turn, each at another offset, the first one there is kept and the others go back
// at once. Blocks that all start at one offset (large ones) are placed inside a
// block 4 KB larger: one per process.

#ifdef ORVANTA_MIMALLOC
namespace {

struct HeapCalls {
    decltype(&mi_malloc) alloc = malloc;
    decltype(&mi_realloc) resize = realloc;
    decltype(&mi_free) release = free;
    decltype(&mi_collect) collect = nullptr;
    decltype(&mi_malloc_aligned_at) alloc_at = nullptr;
    decltype(&mi_heap_new) heap_new = nullptr;
    decltype(&mi_heap_malloc) heap_alloc = nullptr;
    decltype(&mi_heap_collect) heap_collect = nullptr;
    bool separate = false;
};
// Constant-initialised, so no dynamic initialisation can run after the constructor
// below has filled it and undo it.
constinit HeapCalls heap_calls;

template <class F> bool find(void* lib, const char* name, F& f) {
    void* s = dlsym(lib, name);
    if (s) f = reinterpret_cast<F>(s);
    return s != nullptr;
}

// Before any static constructor that could make a state: every block must be
// freed by the allocator that made it.
[[gnu::constructor(101)]] void open_process_heap() {
    void* lib = dlopen(ORVANTA_MIMALLOC, RTLD_NOW | RTLD_LOCAL);
    HeapCalls c;
    c.separate = lib && find(lib, "mi_malloc", c.alloc) && find(lib, "mi_realloc", c.resize) &&
                 find(lib, "mi_free", c.release) && find(lib, "mi_collect", c.collect) &&
                 find(lib, "mi_malloc_aligned_at", c.alloc_at) &&
                 find(lib, "mi_heap_new", c.heap_new) && find(lib, "mi_heap_malloc", c.heap_alloc) &&
                 find(lib, "mi_heap_collect", c.heap_collect);
    if (c.separate) heap_calls = c;
}

inline void* heap_malloc(size_t n) { return heap_calls.alloc(n); }
inline void* heap_realloc(void* b, size_t n) { return heap_calls.resize(b, n); }
inline void heap_free(void* b) { heap_calls.release(b); }

// Where in a 4 KB page a stack may start (the payload, after the block's header),
// and how many more blocks are tried for it, up to which size (at most 128 kB held
// for a moment).
constexpr uintptr_t STACK_FROM = 2048, STACK_TO = 2560;
constexpr int STACK_TRIES = 8;
constexpr size_t STACK_TRIED_MAX = 16 << 10;

bool stack_placed(const uint8_t* b) {
    uintptr_t at = ((uintptr_t)b + ALLOC_HEADER) & 4095;
    return at >= STACK_FROM && at < STACK_TO;
}

// Block b of n bytes, or a copy of it that starts where a stack should.
uint8_t* place_stack(uint8_t* b, size_t n) {
    if (!b || !heap_calls.separate || stack_placed(b)) return b;
    uint8_t* tried[STACK_TRIES];
    int k = 0;
    uint8_t* found = nullptr;
    while (n <= STACK_TRIED_MAX && k < STACK_TRIES && !found) {
        uint8_t* c = (uint8_t*)heap_malloc(n);
        if (!c) break;
        if (stack_placed(c))
            found = c;
        else
            tried[k++] = c;
    }
    while (k > 0) heap_free(tried[--k]);
    if (!found) found = (uint8_t*)heap_calls.alloc_at(n, 4096, (4096 - STACK_FROM + ALLOC_HEADER) % 4096);
    if (!found) return b;
    memcpy(found, b, n);
    heap_free(b);
    return found;
}

inline void* heap_malloc_stack(size_t n) { return place_stack((uint8_t*)heap_malloc(n), n); }
inline void* heap_realloc_stack(void* b, size_t n) { return place_stack((uint8_t*)heap_realloc(b, n), n); }

// The strings numbers are converted to come from a heap of their own (one per
// thread, as mimalloc's heaps are). Most are dropped at once; among the other
// blocks of their size, the holes they leave are filled by later blocks, and a
// collection then walks the long-lived ones (made in turn) all over memory:
// bench/lua/records ran 1.07-1.25x stock, and 0.64-0.72x with them apart.
thread_local mi_heap_t* transient_heap;
inline void* heap_malloc_transient(size_t n) {
    if (!transient_heap && heap_calls.separate) transient_heap = heap_calls.heap_new();
    return transient_heap ? heap_calls.heap_alloc(transient_heap, n) : heap_malloc(n);
}

}  // namespace

bool process_heap_separate() { return heap_calls.separate; }
// mimalloc gives back pages that frees left empty once they have stayed empty a
// while (25 ms; a whole segment 500 ms), but only when it is asked to collect:
// without that, the memory of a process that filled its 32 MB would stay mapped,
// and the next process would not even reuse it.
// Its own clock, not the host's: the dialect's tools that run without a host link this file.
void process_heap_tidy() {
    static timespec last;
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    if (!heap_calls.collect || (now.tv_sec - last.tv_sec) * 1000 + (now.tv_nsec - last.tv_nsec) / 1000000 < 500) return;
    last = now;
    heap_calls.collect(false);
    if (transient_heap) heap_calls.heap_collect(transient_heap, false);
}
#else
namespace {
inline void* heap_malloc(size_t n) { return malloc(n); }
inline void* heap_realloc(void* b, size_t n) { return realloc(b, n); }
inline void heap_free(void* b) { free(b); }
inline void* heap_malloc_stack(size_t n) { return malloc(n); }
inline void* heap_malloc_transient(size_t n) { return malloc(n); }
inline void* heap_realloc_stack(void* b, size_t n) { return realloc(b, n); }
}  // namespace

bool process_heap_separate() { return false; }
void process_heap_tidy() {}
#endif

// --- allocator ---------------------------------------------------------------

static inline void* heap_resize(uint8_t* base, size_t n) {
    return ((uint64_t*)base)[1] ? heap_realloc_stack(base, n) : heap_realloc(base, n);
}

// Every rule of the allocator: the final attempt after an emergency
// collection (which marks the process out of memory on failure) and blocks
// beyond the process limit come here; l_alloc does the rest the same way.
[[gnu::noinline, gnu::cold]] static void* allocate(void* block, size_t nsize, int retry_flag,
                                                   uint64_t charged_size) {
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
    uint8_t* nb = over   ? nullptr
                  : base ? (uint8_t*)heap_resize(base, nsize + ALLOC_HEADER)
                         : (uint8_t*)heap_malloc(nsize + ALLOC_HEADER);
    if (!nb) {
        if (retry_flag && p) {
            p->out_of_memory = 1;
            cpu_superyielding = SUPERYIELD;
        }
        return nullptr;
    }
    *(uint64_t*)nb = charged_size;
    if (!base) ((uint64_t*)nb)[1] = 0;  // a last attempt is not placed
    if (p) p->heap_bytes += (int64_t)charged_size - (int64_t)old_charge;
    return nb + ALLOC_HEADER;
}

// Frees apart, so that they save no registers.
[[gnu::noinline]] static void* release(void* block) {
    if (block) {
        uint8_t* base = (uint8_t*)block - ALLOC_HEADER;
        if (cproc) cproc->heap_bytes -= *(int64_t*)base;
        heap_free(base);
    }
    return nullptr;
}

// process_memory_used(p) + grow > PROCESS_MEMORY_LIMIT for blocks within the
// limit: the byte counts summed are far below 2^62, so the plain sum is the
// saturating one.
static inline bool over_limit(const Process* p, int64_t grow) {
    int64_t used = p->ram_bytes + (int64_t)p->source_len + (p->heap_bytes - p->baseline);
    return used + grow > PROCESS_MEMORY_LIMIT - PROCESS_FIXED_MEMORY;
}

// Runs on every allocation, so it keeps only the charged size across the
// call to the heap: a first attempt that fails just returns null, and a
// resized block still holds its old charge in the copied header.
void* l_alloc(void* ud, void* block, size_t osize, size_t nsize, int retry_flag, uint64_t charged_size) {
    if (nsize == 0) return release(block);
    if (__builtin_expect(retry_flag != 0 || nsize > (size_t)PROCESS_MEMORY_LIMIT, 0))
        return allocate(block, nsize, retry_flag, charged_size);
    spend_cpu((int64_t)(nsize / 64) + 4);  // positive at these sizes
    Process* p = cproc;
    if (!block) {
        if (p && charged_size > 0 && over_limit(p, (int64_t)charged_size)) return nullptr;
        bool stack = osize == LUA_MAINSTACK;  // a new block's tag
        uint8_t* nb;
        if (__builtin_expect(alloc_transient, 0)) {
            alloc_transient = 0;  // one block
            nb = (uint8_t*)heap_malloc_transient(nsize + ALLOC_HEADER);
        } else {
            nb = (uint8_t*)(stack ? heap_malloc_stack(nsize + ALLOC_HEADER) : heap_malloc(nsize + ALLOC_HEADER));
        }
        if (!nb) return nullptr;
        ((uint64_t*)nb)[0] = charged_size;
        ((uint64_t*)nb)[1] = stack;
        if (p) p->heap_bytes += (int64_t)charged_size;
        return nb + ALLOC_HEADER;
    }
    uint8_t* base = (uint8_t*)block - ALLOC_HEADER;
    uint64_t old_charge = *(uint64_t*)base;
    if (p && charged_size > old_charge && over_limit(p, (int64_t)(charged_size - old_charge))) return nullptr;
    uint8_t* nb = (uint8_t*)heap_resize(base, nsize + ALLOC_HEADER);
    if (!nb) return nullptr;
    old_charge = *(uint64_t*)nb;
    *(uint64_t*)nb = charged_size;
    if (cproc) cproc->heap_bytes += (int64_t)charged_size - (int64_t)old_charge;
    return nb + ALLOC_HEADER;
}
