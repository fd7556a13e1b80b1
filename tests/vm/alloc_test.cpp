// The six-argument allocator: charged sizes of each object kind, the retry
// after an emergency collection, and the state-not-built rule.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "kernel/cpu.h"
#include "lua.h"
#include "lauxlib.h"
#include "vm_support.h"

namespace {

struct AllocTest : ::testing::Test {
    BudgetScope scope;
    Ledger ledger;
    lua_State* L = nullptr;
    void SetUp() override {
        cpu_cycles = 0;  // coroutines must not meet the budget here
        cpu_cycles_max = 1 << 30;
        cpu_superyielding = 0;
        L = new_state(&ledger);
        ASSERT_NE(L, nullptr);
        lua_gc(L, LUA_GCSTOP);  // deltas below must not include collections
    }
    void TearDown() override {
        if (L) lua_close(L);
        // Every charge went away with its block, and frees carried no charge.
        EXPECT_EQ(ledger.heap, 0);
        EXPECT_EQ(ledger.blocks, 0);
        EXPECT_EQ(ledger.bad_frees, 0);
    }
    // Heap delta of running f.
    template <class F> int64_t charge(F f) {
        int64_t before = ledger.heap;
        f();
        return ledger.heap - before;
    }
    void run(const char* text) {
        load_text(L, text);
        ASSERT_EQ(lua_pcall(L, 0, LUA_MULTRET, 0), LUA_OK) << lua_tostring(L, -1);
    }
};

int noop(lua_State*) { return 0; }

TEST_F(AllocTest, ChargedSizeOfEachObjectKind) {
    struct Case { const char* what; int64_t want; std::function<void(lua_State*)> make; };
    const Case cases[] = {
        {"empty table", 56, [](lua_State* L) { lua_createtable(L, 0, 0); }},
        {"table, 5 hash entries (8 nodes)", 56 + 128, [](lua_State* L) { lua_createtable(L, 0, 5); }},
        {"table, 4 array slots", 56 + 64, [](lua_State* L) { lua_createtable(L, 4, 0); }},
        {"10-byte string", 42, [](lua_State* L) { lua_pushlstring(L, "q1w2e3r4t5", 10); }},
        {"100-byte string", 132, [](lua_State* L) { lua_pushstring(L, std::string(100, 'z').c_str()); }},
        {"0-byte long string", 32, [](lua_State* L) { new_long_string(L, 0); }},
        {"userdata 10, no user values", 66, [](lua_State* L) { lua_newuserdatauv(L, 10, 0); }},
        {"userdata 10, 3 user values", 66, [](lua_State* L) { lua_newuserdatauv(L, 10, 3); }},
        {"userdata 0", 56, [](lua_State* L) { lua_newuserdatauv(L, 0, 1); }},
        {"native closure, 3 upvalues", 40 + 48, [](lua_State* L) {
             lua_pushinteger(L, 1); lua_pushinteger(L, 2); lua_pushinteger(L, 3);
             lua_pushcclosure(L, noop, 3);
         }},
        {"coroutine with its stack", 1616 + 720, [](lua_State* L) { lua_newthread(L); }},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(charge([&] { c.make(L); }), c.want) << c.what;
        lua_settop(L, 0);
    }
}

TEST_F(AllocTest, ClosuresUpvaluesAndFirstRunOfCoroutine) {
    run(R"(
        local a, b = 1, 2
        mid = function() return function() return a + b end end  -- shares mid's upvalues
        fresh = function() local x = 1 return function() return x end end  -- one new upvalue
        plain = function() return function() return 1 end end
        co = coroutine.create(function() return 1 end)
    )");
    auto call = [&](const char* g) {
        lua_getglobal(L, g);
        ASSERT_EQ(lua_pcall(L, 0, 1, 0), LUA_OK);
        lua_settop(L, 0);
    };
    for (const char* g : {"mid", "fresh", "plain"}) call(g);  // call records exist now
    EXPECT_EQ(charge([&] { call("mid"); }), 32 + 2 * 16);
    EXPECT_EQ(charge([&] { call("fresh"); }), 32 + 16 + 40);
    EXPECT_EQ(charge([&] { call("plain"); }), 32);
    // A coroutine's first run adds its first call record.
    lua_getglobal(L, "co");
    lua_State* co = lua_tothread(L, -1);
    int nres;
    EXPECT_EQ(charge([&] { ASSERT_EQ(resume_slice(co, 0, 1 << 30, 0, &nres), LUA_OK); }), 64);
}

TEST_F(AllocTest, VectorsAreChargedSixteenPerElement) {
    ledger.log = true;
    int size = 64;
    void* v = nullptr;
    v = grow_vector(L, v, 0, &size, 4);  // fresh block: 64 -> capacity 64 stays (0 + 1 fits)
    EXPECT_EQ(v, nullptr);
    size = 0;
    v = grow_vector(L, v, 0, &size, 4);  // at least 4 elements
    EXPECT_EQ(size, 4);
    EXPECT_EQ(ledger.calls.back().nsize, 16u);
    EXPECT_EQ(ledger.calls.back().charged, 64u);
    for (int n = 4; n < 64; n = size) v = grow_vector(L, v, n, &size, 4);
    EXPECT_EQ(size, 64);
    int64_t before = ledger.heap;
    v = grow_vector(L, v, 64, &size, 4);  // 64 -> 128 instructions
    EXPECT_EQ(size, 128);
    EXPECT_EQ(ledger.calls.back().nsize, 512u);
    EXPECT_EQ(ledger.calls.back().charged, 2048u);
    EXPECT_EQ(ledger.heap - before, 2048 - 1024);
    v = shrink_vector(L, v, &size, 10, 4);
    EXPECT_EQ(ledger.calls.back().nsize, 40u);
    EXPECT_EQ(ledger.calls.back().charged, 160u);
    v = shrink_vector(L, v, &size, 0, 4);  // shrinking to nothing frees
    EXPECT_EQ(v, nullptr);
    EXPECT_EQ(ledger.calls.back().charged, 0u);
    EXPECT_EQ(ledger.heap, before - 1024);

    // The string table: 8 bytes per bucket, charged 16.
    int n = string_table_size(L) * 2;
    resize_string_table(L, n);
    EXPECT_EQ(ledger.calls.back().nsize, 8u * n);
    EXPECT_EQ(ledger.calls.back().charged, 16u * n);
}

TEST_F(AllocTest, CompiledFunctionVectorsEndAtSixteenPerElement) {
    // After a compile each prototype vector, shrunk to its final length,
    // carries 16 per element whatever its element size.
    std::string text = "local t = {}\n";
    for (int i = 0; i < 40; i++)
        text += "t[" + std::to_string(i) + "] = function(x, y) local z = x * y return z + " + std::to_string(i) +
                ", 'k" + std::to_string(i) + "' end\n";
    load_text(L, text);
    int checked = 0;
    for (const VectorRef& v : function_vectors(L, -1)) {
        if (!v.block) continue;  // empty vector
        auto it = ledger.live.find(v.block);
        ASSERT_NE(it, ledger.live.end()) << v.what;
        EXPECT_EQ(it->second, v.count < 0 ? 128u : 16u * v.count) << v.what;
        checked++;
    }
    EXPECT_GT(checked, 40 * 5);
}

TEST_F(AllocTest, StateCreationIsOneFirstAttempt) {
    Ledger lg;
    lg.log = true;
    lua_State* S = lua_newstate(ledger_alloc, &lg);
    ASSERT_NE(S, nullptr);
    ASSERT_FALSE(lg.calls.empty());
    EXPECT_EQ(lg.calls[0].ptr, nullptr);
    EXPECT_EQ(lg.calls[0].retry_flag, 0);
    EXPECT_EQ(lg.calls[0].charged, 1616u);
    EXPECT_EQ(lg.calls[0].osize, (size_t)LUA_TTHREAD);
    size_t built = 0;
    for (const AllocCall& c : lg.calls) built += c.nsize > 0;
    lua_close(S);
    EXPECT_EQ(lg.heap, 0);

    // Refusing any one allocation of the build fails it, with no retry and
    // nothing left behind.
    for (size_t k = 0; k < built; k++) {
        Ledger f;
        f.log = true;
        size_t seen = 0;
        f.refuse = [&](const AllocCall&) { return seen++ == k; };
        lua_State* s2 = lua_newstate(ledger_alloc, &f);
        EXPECT_EQ(s2, nullptr) << "refused call " << k;
        if (s2) lua_close(s2);
        for (const AllocCall& c : f.calls) EXPECT_EQ(c.retry_flag, 0);
        EXPECT_EQ(seen, k + 1) << "a refused request was asked again";
        EXPECT_EQ(f.heap, 0);
        EXPECT_EQ(f.blocks, 0);
    }
}

TEST_F(AllocTest, FailedGrowthRetriesOnceAfterEmergencyCollection) {
    ledger.log = true;
    // Garbage for the emergency collection to find.
    run("junk = {} for i = 1, 100 do junk[i] = {} end junk = nil");
    int64_t before_collect = ledger.heap;

    // First attempt refused, retry allowed: the table is made.
    bool refused = false;
    ledger.refuse = [&](const AllocCall& c) {
        if (c.nsize == 56 && c.ptr == nullptr && !refused) { refused = true; return true; }
        return false;
    };
    ledger.calls.clear();
    lua_createtable(L, 0, 0);
    EXPECT_TRUE(lua_istable(L, -1));
    int retries = 0;
    for (const AllocCall& c : ledger.calls) retries += c.retry_flag;
    EXPECT_EQ(retries, 1);
    EXPECT_EQ(ledger.calls.back().retry_flag, 1);
    EXPECT_EQ(ledger.calls.back().charged, 56u);
    EXPECT_LT(ledger.heap, before_collect);  // the collection ran between the attempts
    lua_settop(L, 0);

    // Both attempts refused: the stock memory error, one retry only.
    load_text(L, "local t = {} return t");
    ledger.refuse = [](const AllocCall& c) { return c.nsize == 56 && c.ptr == nullptr; };
    ledger.calls.clear();
    ASSERT_EQ(lua_pcall(L, 0, 1, 0), LUA_ERRMEM);
    EXPECT_STREQ(lua_tostring(L, -1), "not enough memory");
    retries = 0;
    for (const AllocCall& c : ledger.calls) retries += c.retry_flag;
    EXPECT_EQ(retries, 1);
    lua_settop(L, 0);

    // A refused shrink (the collector shrinking a grown stack) is not
    // retried and is no error.
    ledger.refuse = nullptr;
    run("co = coroutine.create(function() local t = {} for i = 1, 5000 do t[i] = i end "
        "return select('#', table.unpack(t)) end) coroutine.resume(co)");
    ledger.refuse = [](const AllocCall& c) { return c.ptr && c.nsize > 0 && c.nsize < c.osize; };
    ledger.calls.clear();
    lua_gc(L, LUA_GCCOLLECT);
    int shrinks = 0;
    for (const AllocCall& c : ledger.calls) {
        EXPECT_EQ(c.retry_flag, 0);
        shrinks += c.ptr && c.nsize > 0 && c.nsize < c.osize;
    }
    EXPECT_GT(shrinks, 0);

    ledger.refuse = nullptr;
}

// The box asks at its real size; a refusal is asked once more as the final
// attempt (no collection between), so the allocator learns of the failure.
TEST_F(AllocTest, StringBuilderBoxAsksAtRealSizeThenOnceAsFinal) {
    ledger.log = true;
    run("s = string.rep('x', 10000)");
    bool found = false;
    for (const AllocCall& c : ledger.calls)
        if (c.nsize == 10000) {
            found = true;
            EXPECT_EQ(c.charged, 10000u);
            EXPECT_EQ(c.retry_flag, 0);
        }
    EXPECT_TRUE(found);

    ledger.refuse = [](const AllocCall& c) { return c.nsize == 20000; };
    ledger.calls.clear();
    load_text(L, "return string.rep('y', 20000)");
    ASSERT_NE(lua_pcall(L, 0, 1, 0), LUA_OK);
    EXPECT_STREQ(lua_tostring(L, -1), "not enough memory");
    std::vector<int> flags;
    for (const AllocCall& c : ledger.calls)
        if (c.nsize == 20000) flags.push_back(c.retry_flag);
    EXPECT_EQ(flags, (std::vector<int>{0, 1}));
    ledger.refuse = nullptr;
    lua_settop(L, 0);
}

TEST_F(AllocTest, StackLimitIsOneHundredThousandSlots) {
    EXPECT_TRUE(lua_checkstack(L, 99000));
    EXPECT_FALSE(lua_checkstack(L, 101000));
    lua_settop(L, 0);
    load_text(L, "local function f(n) return n == 0 and 0 or 1 + f(n - 1) end return pcall(f, 1e6)");
    ASSERT_EQ(lua_pcall(L, 0, 2, 0), LUA_OK);
    EXPECT_FALSE(lua_toboolean(L, -2));
    EXPECT_NE(std::string(lua_tostring(L, -1)).find("stack overflow"), std::string::npos);
    lua_settop(L, 0);
}

}  // namespace
