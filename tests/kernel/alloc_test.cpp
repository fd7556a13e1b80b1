// The process allocator's rules, call by call: the CPU charge of each
// allocation, the heap count by charged sizes, the limit (refused up front,
// to the byte), and the out-of-memory mark on the final attempt only.
#include <gtest/gtest.h>
#include <dlfcn.h>

#include <cstdlib>
#include <cstring>

#include "kernel/cpu.h"
#include "kernel/process.h"
#include "lauxlib.h"
#include "lstate.h"

namespace {

struct AllocRules : ::testing::Test {
    Process proc{};
    void SetUp() override {
        cproc = &proc;
        cpu_cycles = 0;
        cpu_superyielding = 0;
    }
    void TearDown() override { cproc = nullptr; }
    void* alloc(void* block, size_t nsize, uint64_t charge, int retry = 0) {
        return l_alloc(nullptr, block, 0, nsize, retry, charge);
    }
    // Sets the memory other than the heap so that exactly `room` bytes are left.
    void leave_room(int64_t room) {
        proc.ram_bytes = PROCESS_MEMORY_LIMIT - PROCESS_FIXED_MEMORY - proc.heap_bytes - room;
    }
};

TEST_F(AllocRules, NewResizeAndFreeChargeCyclesAndHeap) {
    char* a = (char*)alloc(nullptr, 100, 132);
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(cpu_cycles, 100 / 64 + 4);
    EXPECT_EQ(proc.heap_bytes, 132);
    memcpy(a, "kept", 5);

    a = (char*)alloc(a, 1000, 1032);  // grows: charged its whole new size
    ASSERT_NE(a, nullptr);
    EXPECT_STREQ(a, "kept");
    EXPECT_EQ(cpu_cycles, 5 + 1000 / 64 + 4);
    EXPECT_EQ(proc.heap_bytes, 1032);

    a = (char*)alloc(a, 10, 42);  // shrinks
    ASSERT_NE(a, nullptr);
    EXPECT_STREQ(a, "kept");
    EXPECT_EQ(proc.heap_bytes, 42);

    int32_t before = cpu_cycles;
    EXPECT_EQ(alloc(a, 0, 0), nullptr);  // frees cost nothing
    EXPECT_EQ(cpu_cycles, before);
    EXPECT_EQ(proc.heap_bytes, 0);
    EXPECT_EQ(alloc(nullptr, 0, 0), nullptr);
    EXPECT_EQ(proc.out_of_memory, 0);
}

TEST_F(AllocRules, LimitIsExactAndOnlyTheFinalAttemptMarksOutOfMemory) {
    void* keep = alloc(nullptr, 64, 96);
    for (int retry = 0; retry < 2; retry++) {
        SCOPED_TRACE(retry);
        leave_room(100);
        void* fits = alloc(nullptr, 8, 100, retry);  // to the last byte
        ASSERT_NE(fits, nullptr);
        alloc(fits, 0, 0);
        int32_t before = cpu_cycles;
        EXPECT_EQ(alloc(nullptr, 8, 101, retry), nullptr);
        EXPECT_EQ(cpu_cycles, before + 4);  // refused, still charged
        EXPECT_EQ(proc.heap_bytes, 96);
        // A resize past the limit leaves the block and its charge as they were.
        EXPECT_EQ(alloc(keep, 64, 96 + 101, retry), nullptr);
        EXPECT_EQ(proc.heap_bytes, 96);
        EXPECT_EQ(proc.out_of_memory, retry);
        EXPECT_EQ(cpu_superyielding, retry ? SUPERYIELD : 0);
        keep = alloc(keep, 64, 96 + 100, retry);  // growth by the room left fits
        ASSERT_NE(keep, nullptr);
        keep = alloc(keep, 64, 96);
        proc.out_of_memory = 0;
        cpu_superyielding = 0;
    }
    // A block larger than the limit is refused even when it would be charged little.
    proc.ram_bytes = 0;
    EXPECT_EQ(alloc(nullptr, PROCESS_MEMORY_LIMIT + 1, 16), nullptr);
    EXPECT_EQ(proc.out_of_memory, 0);
    alloc(keep, 0, 0);
    EXPECT_EQ(proc.heap_bytes, 0);
}

TEST_F(AllocRules, ChargeIsComputedInThirtyTwoBitsAndSaturates) {
    cpu_cycles = INT32_MAX - 2;
    void* a = alloc(nullptr, 640, 16);
    EXPECT_EQ(cpu_cycles, INT32_MAX);
    alloc(a, 0, 0);
    cpu_cycles = 0;
    // (2^37 / 64) + 4 is negative in 32 bits: nothing is charged (and the
    // block is refused by the limit).
    EXPECT_EQ(alloc(nullptr, (size_t)1 << 37, 16), nullptr);
    EXPECT_EQ(cpu_cycles, 0);
}

TEST_F(AllocRules, WithoutACurrentProcessOnlyCyclesAreCharged) {
    cproc = nullptr;
    void* a = alloc(nullptr, 128, 160, 1);
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(cpu_cycles, 128 / 64 + 4);
    a = alloc(a, 256, 288);
    ASSERT_NE(a, nullptr);
    alloc(a, 0, 0);
    EXPECT_EQ(proc.heap_bytes, 0);
}

// Blocks come from mimalloc in the builds that have it, and malloc stays the system
// allocator's for the rest of the host: the library is opened for the allocator alone.
TEST_F(AllocRules, BlocksComeFromTheProcessHeapAndMallocStaysTheSystems) {
    char* a = (char*)alloc(nullptr, 100, 132);
    ASSERT_NE(a, nullptr);
    a = (char*)alloc(a, 5000, 5032);  // moved to a larger block
    ASSERT_NE(a, nullptr);
    Dl_info where{};
    ASSERT_NE(dladdr((void*)dlsym(RTLD_DEFAULT, "malloc"), &where), 0);
    EXPECT_EQ(strstr(where.dli_fname, "mimalloc"), nullptr) << where.dli_fname;
    void* m = malloc(100);
#ifdef ORVANTA_MIMALLOC
    EXPECT_TRUE(process_heap_separate());
    void* lib = dlopen(ORVANTA_MIMALLOC, RTLD_NOW | RTLD_NOLOAD);
    ASSERT_NE(lib, nullptr);
    auto owned = (bool (*)(const void*))dlsym(lib, "mi_check_owned");
    ASSERT_NE(owned, nullptr);
    EXPECT_TRUE(owned(a));
    EXPECT_FALSE(owned(m));
#else
    EXPECT_FALSE(process_heap_separate());
#endif
    free(m);
    alloc(a, 0, 0);
    EXPECT_EQ(proc.heap_bytes, 0);
}

// A main thread's stack starts in the middle of a 4 KB page (mimalloc lays out the
// first blocks of each size at the starts of pages, where code and constants then
// lie), as it grows too, and is charged as any block.
TEST_F(AllocRules, MainStacksStartMidPageAndAreChargedAsAnyBlock) {
    auto offset = [](const void* b) { return (uintptr_t)b & 4095; };
    auto placed = [&](const void* b) { return offset(b) >= 2048 && offset(b) < 2560; };
    char* s = (char*)l_alloc(nullptr, nullptr, LUA_MAINSTACK, 720, 0, 720);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(cpu_cycles, 720 / 64 + 4);
    EXPECT_EQ(proc.heap_bytes, 720);
    memset(s, 7, 720);
    size_t n = 720;
    for (size_t grown : {1360, 2640, 5200, 10320, 1360}) {
        int32_t before = cpu_cycles;
        s = (char*)l_alloc(nullptr, s, n, grown, 0, grown);
        ASSERT_NE(s, nullptr);
        EXPECT_EQ(cpu_cycles - before, (int32_t)(grown / 64 + 4));
        EXPECT_EQ(proc.heap_bytes, (int64_t)grown);
        for (size_t i = 0; i < std::min(n, grown); i++) ASSERT_EQ(s[i], 7) << "byte " << i << " of " << grown;
        memset(s, 7, grown);
#ifdef ORVANTA_MIMALLOC
        EXPECT_TRUE(placed(s)) << grown << " bytes at offset " << offset(s);
#endif
        n = grown;
    }
    l_alloc(nullptr, s, n, 0, 0, 0);
    EXPECT_EQ(proc.heap_bytes, 0);

    // A state tells its main thread's stack apart.
    cproc = nullptr;
    lua_State* L = lua_newstate(l_alloc, nullptr);
    ASSERT_NE(L, nullptr);
#ifdef ORVANTA_MIMALLOC
    EXPECT_TRUE(placed(L->stack)) << offset(L->stack);
#endif
    lua_close(L);
}

// The string a number is converted to comes from a heap apart (most are dropped at
// once), charged as any block; the mark is for that one block.
TEST_F(AllocRules, NumbersStringsArePlacedApartAndChargedAsAnyBlock) {
    alloc_transient = 1;
    void* a = alloc(nullptr, 40, 72);
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(int(alloc_transient), 0);
    EXPECT_EQ(cpu_cycles, 40 / 64 + 4);
    EXPECT_EQ(proc.heap_bytes, 72);
    void* b = alloc(nullptr, 40, 72);
#ifdef ORVANTA_MIMALLOC
    void* lib = dlopen(ORVANTA_MIMALLOC, RTLD_NOW | RTLD_NOLOAD);
    ASSERT_NE(lib, nullptr);
    auto heap = (void* (*)())dlsym(lib, "mi_heap_get_default");
    auto contains = (bool (*)(const void*, const void*))dlsym(lib, "mi_heap_contains_block");
    ASSERT_TRUE(heap && contains);
    EXPECT_FALSE(contains(heap(), a));
    EXPECT_TRUE(contains(heap(), b));
#endif
    alloc(a, 0, 0);
    alloc(b, 0, 0);
    EXPECT_EQ(proc.heap_bytes, 0);

    cproc = nullptr;
    lua_State* L = lua_newstate(l_alloc, nullptr);
    ASSERT_NE(L, nullptr);
    ASSERT_EQ(luaL_dostring(L, "local a = 'r' .. 123456 .. 7.5 local b = 'x' .. 5 return a .. #b"), LUA_OK);
    EXPECT_STREQ(lua_tostring(L, -1), "r1234567.52");
    EXPECT_EQ(int(alloc_transient), 0);
    lua_close(L);
}

}  // namespace
