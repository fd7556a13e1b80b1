// The charged bytecode loop: cycle counts, budget yields and resumes, marks,
// non-yieldable code and the runaway stop.
#include <gtest/gtest.h>

#include <string>

#include "dialect/vm_budget.h"
#include "kernel/cpu.h"
#include "lua.h"
#include "lauxlib.h"
#include "vm_support.h"

namespace {

struct VmTest : LedgerStateTest {
    void TearDown() override {
        LedgerStateTest::TearDown();
        EXPECT_EQ(ledger.heap, 0);
    }
    // Value of local number 'idx' in the frame at 'level' of a suspended thread.
    lua_Integer local_int(lua_State* th, int level, int idx) {
        lua_Debug ar;
        EXPECT_TRUE(lua_getstack(th, level, &ar));
        const char* name = lua_getlocal(th, &ar, idx);
        EXPECT_NE(name, nullptr);
        lua_Integer v = lua_tointeger(th, -1);
        lua_pop(th, 1);
        return v;
    }
};

// Cycles charged for one call of a chunk run from start to end without yields.
int32_t cycles_of(lua_State* L, const std::string& text) {
    load_text(L, text);
    int nres;
    int st = resume_slice(L, 0, 1 << 30, 0, &nres);
    EXPECT_EQ(st, LUA_OK) << (st != LUA_OK ? lua_tostring(L, -1) : "");
    lua_settop(L, 0);
    return cpu_cycles;
}

// Per-iteration cost of a loop body: the difference between 200 and 100
// iterations, over 100.
int32_t per_iteration(lua_State* L, const std::string& decl, const std::string& body) {
    auto prog = [&](int n) {
        return decl + "\nfor i = 1, " + std::to_string(n) + " do " + body + " end";
    };
    int32_t a = cycles_of(L, prog(100)), b = cycles_of(L, prog(200));
    EXPECT_EQ((b - a) % 100, 0);
    return (b - a) / 100;
}

TEST_F(VmTest, LoopCostsPerInstruction) {
    // Each body runs with FORLOOP (2 cycles) around it.
    struct Case { const char* decl; const char* body; int32_t cost; };
    const Case cases[] = {
        {"local a, b = 1, 2", "a = b", 1 + 2},                       // MOVE
        {"local a, b = 1, 2", "a = a + b", 1 + 2},                   // ADD; MMBIN skipped
        {"local a, b = 1, 2", "a = a - b a = a ~ b", 1 + 1 + 2},     // SUB, BXOR
        {"local a, b = 1, 2", "a = a + 1", 1 + 2},                   // ADDI
        {"local a, b = 1, 2", "a = -b", 1 + 2},                      // UNM
        {"local a, b = 1, 2", "a = a * b", 2 + 2},                   // MUL
        {"local a, b = 1.5, 2", "a = a / b", 2 + 2},                 // DIV
        {"local a = 1", "a = 2.0", 2 + 2},                           // LOADF is not cheap
        {"local function f() end", "f()", 1 + 2 + 2 + 2},            // MOVE, CALL, RETURN0
        {"local a, b = 1, 2", "if a < b then a = 1 end", 2 + 1 + 2}, // LT (jump consumed), LOADI
        {"local a, b = 1, 2", "if a > b then a = 1 end", 2 + 2},     // LT, taken jump: free
        {"local t = {}", "t.x = 1", 2 + 2},                          // SETFIELD
    };
    for (const Case& c : cases) EXPECT_EQ(per_iteration(L, c.decl, c.body), c.cost) << c.body;
}

// Every fetched instruction is charged by its opcode: a count hook sees each
// fetch once, and sums the costs independently of the loop's own charging.
// (Hooks skip the VARARGPREP that opens a vararg function; the call hook
// counts those.)
int64_t hook_sum;
void cost_hook(lua_State* L, lua_Debug* ar) {
    if (ar->event == LUA_HOOKCOUNT) {
        hook_sum += opcode_is_cheap(current_opcode(L)) ? 1 : 2;
    } else {
        lua_getinfo(L, "Su", ar);
        if (ar->what[0] != 'C' && ar->isvararg) hook_sum += 2;
    }
}

TEST_F(VmTest, ChargeMatchesEveryFetchedInstruction) {
    const char* const programs[] = {
        "local s = 0 for i = 1, 300 do s = s + i * 2 // 3 % 7 end return s",
        // (one slot written: growing the table is native work, charged apart)
        "local t = {} for i = 1, 100 do t[#t // 2 + 1] = tostring(i) .. 'x' end return #t",
        "local function fib(n) if n < 2 then return n end return fib(n - 1) + fib(n - 2) end return fib(12)",
        "local s = 0 for k, v in pairs({a = 1, b = 2, c = 3}) do s = s + v end return s",
        "local x = 0 while x < 1000 do x = x | 1 x = x << 1 x = x ~ 3 x = x & 0xffff x = x + 7 end return x",
        "local function v(...) local a, b = ... return select('#', ...), a, b end return v(1, 2, 3, v())",
    };
    for (const char* p : programs) {
        load_text(L, p);
        hook_sum = 0;
        lua_sethook(L, cost_hook, LUA_MASKCOUNT | LUA_MASKCALL, 1);
        int nres;
        ASSERT_EQ(resume_slice(L, 0, 1 << 30, 0, &nres), LUA_OK) << p;
        lua_sethook(L, nullptr, 0, 0);
        EXPECT_EQ(cpu_cycles, hook_sum) << p;
        lua_settop(L, 0);
    }
}

// Straight-line code of 1-cycle instructions: VARARGPREP (2), LOADI (1), then
// one ADDI (1) per increment of local 1.
std::string increments(int n) {
    std::string s = "local a = 0\n";
    for (int i = 0; i < n; i++) s += "a = a + 1\n";
    return s + "return a";
}

TEST_F(VmTest, YieldAtBudgetAndResumeAtSameInstruction) {
    load_text(L, increments(100));
    int nres;
    // At cycles == budget the next instruction still runs; past it the thread yields.
    ASSERT_EQ(resume_slice(L, 0, 10, 0, &nres), LUA_YIELD);
    EXPECT_EQ(nres, 0);
    EXPECT_EQ(cpu_cycles, 11);
    EXPECT_EQ(local_int(L, 0, 1), 8);  // cycles 3..10 each ran one ADDI
    // Over budget on resume: the marked frame runs exactly one instruction.
    ASSERT_EQ(resume_slice(L, 500, 10, 0, &nres), LUA_YIELD);
    EXPECT_EQ(local_int(L, 0, 1), 9);
    EXPECT_EQ(cpu_cycles, 501);
    ASSERT_EQ(resume_slice(L, 500, 10, 0, &nres), LUA_YIELD);
    EXPECT_EQ(local_int(L, 0, 1), 10);
    // Resumed with budget: the mark survives until the check fires, so one
    // more instruction runs than the budget alone allows (cycles 0..5, +1).
    ASSERT_EQ(resume_slice(L, 0, 5, 0, &nres), LUA_YIELD);
    EXPECT_EQ(local_int(L, 0, 1), 17);
    EXPECT_EQ(cpu_cycles, 7);
    ASSERT_EQ(resume_slice(L, 0, 5, 0, &nres), LUA_YIELD);
    EXPECT_EQ(local_int(L, 0, 1), 24);
    // Run to the end: the chunk returns the count, nothing lost or repeated.
    ASSERT_EQ(resume_slice(L, 0, 1 << 30, 0, &nres), LUA_OK);
    ASSERT_EQ(nres, 1);
    EXPECT_EQ(lua_tointeger(L, -1), 100);
}

TEST_F(VmTest, SuperyieldForcesYieldWithinBudget) {
    load_text(L, increments(10));
    int nres;
    cpu_cycles = 0;
    cpu_cycles_max = 1000;
    cpu_superyielding = SUPERYIELD;
    ASSERT_EQ(lua_resume(L, nullptr, 0, &nres), LUA_YIELD);
    EXPECT_EQ(cpu_cycles, 0);  // the yield itself charges nothing
    ASSERT_EQ(resume_slice(L, 0, 1000, 0, &nres), LUA_OK);
    EXPECT_EQ(lua_tointeger(L, -1), 10);
}

TEST_F(VmTest, EscapeFlagSetByFiringCheckOnly) {
    lua_State* co = lua_newthread(L);
    EXPECT_EQ(vm_escape_slice_flag(co), 0);
    EXPECT_EQ(vm_escape_slice_flag(L), 0);
    load_text(co, increments(50));
    int nres;
    ASSERT_EQ(resume_slice(co, 0, 1 << 30, 0, &nres), LUA_OK);
    EXPECT_EQ(vm_escape_slice_flag(co), 0);
    lua_settop(co, 0);
    load_text(co, increments(50));
    ASSERT_EQ(resume_slice(co, 0, 4, 0, &nres), LUA_YIELD);
    EXPECT_EQ(vm_escape_slice_flag(co), 1);
    vm_set_escape_slice_flag(co, 0);
    ASSERT_EQ(resume_slice(co, 0, 1 << 30, 0, &nres), LUA_OK);
    EXPECT_EQ(vm_escape_slice_flag(co), 0);
    EXPECT_EQ(vm_escape_slice_flag(L), 0);  // another thread's flag is its own
}

// A budget yield inside a coroutine is the resumer's too: resume and wrap
// return only what the coroutine yields or returns, its arguments arrive
// once, and nested coroutines wait together for the next slice.
TEST_F(VmTest, BudgetYieldInsideACoroutineSuspendsItsResumers) {
    const char* text = R"(
        local co = coroutine.create(function(...)
            local x = select('#', ...)
            for i = 1, 20000 do x = x + 1 end
            local y = coroutine.yield(x)
            for i = 1, 20000 do y = y + 1 end
            return y
        end)
        local r1 = table.pack(coroutine.resume(co, 'a', 'b'))
        local r2 = table.pack(coroutine.resume(co, 5))
        local gen = coroutine.wrap(function()
            for i = 1, 300 do
                local inner = coroutine.wrap(function() local s = 0 for j = 1, i do s = s + j end coroutine.yield(s) end)
                coroutine.yield(inner())
            end
        end)
        local sum = 0
        for i = 1, 300 do sum = sum + gen() end
        return r1.n, r1[2], coroutine.status(co), r2.n, r2[2], sum
    )";
    const std::string want = "2,20002,dead,2,20005,4545100";
    load_text(L, text);
    EXPECT_EQ(run_in_slices(L, 0), want);
    int slices = 0;
    vm_set_escape_slice_flag(L, 0);
    load_text(L, text);
    EXPECT_EQ(run_in_slices(L, 3000, &slices), want);
    EXPECT_GT(slices, 50);
    EXPECT_EQ(vm_escape_slice_flag(L), 1);  // its yields were budget yields
}

// A resumer that can't yield (a replacement function of gsub here) can't
// pass a budget yield on: the coroutine it resumes is not budget-yielded
// either, so it still gets the coroutine's own values, and one that never
// ends is stopped as other non-yieldable code is.
TEST_F(VmTest, CoroutineResumedFromNonYieldableCodeStillGetsItsValues) {
    load_text(L, R"(
        local gen = coroutine.wrap(function()
            local n = 0
            while true do for i = 1, 50 do n = n + 1 end coroutine.yield(n) end
        end)
        local last = 0
        local s, calls = ('x'):rep(40):gsub('x', function()
            local v = gen()
            assert(v == last + 50, 'got ' .. tostring(v))
            last = v
            return 'y'
        end)
        return calls, last, s:sub(1, 3)
    )");
    EXPECT_EQ(run_in_slices(L, 500), "40,2000,yyy");
    load_text(L, R"(
        local spin = coroutine.wrap(function() while true do end end)
        return pcall(string.gsub, 'ab', '.', function() spin() end)
    )");
    // wrap adds the position of its call to the coroutine's error, as stock Lua does
    EXPECT_EQ(run_in_slices(L, 1000), "false,test:3: test:2: " VM_RUNAWAY_MESSAGE);
}

// A call whose arguments come from the open stack top, at every possible
// yield point, with a full collection between the slices.
TEST_F(VmTest, OpenTopSurvivesBudgetYieldAndCollection) {
    const char* text = R"(
        local t = {}
        for i = 1, 60 do t[i] = 'v' .. i end
        local function g() return table.unpack(t) end
        local function h(...) return select('#', ...) .. ':' .. select(60, ...) end
        return h(g()), h('x', g())
    )";
    load_text(L, text);
    std::string want = run_in_slices(L, 0);
    EXPECT_EQ(want, "60:v60,61:v59");
    for (int32_t budget = 1; budget <= 40; budget++) {
        load_text(L, text);
        EXPECT_EQ(run_in_slices(L, budget), want) << "budget " << budget;
    }
}

// Resume arguments are dropped whatever instruction the thread stopped at.
TEST_F(VmTest, ResumeArgumentsOfBudgetYieldAreDiscarded) {
    const char* text = R"(
        local function g() return 1, 2, 3 end
        local function count(...) return select('#', ...) end
        return count(g()) + count(g()) * 10 + count(g(), g()) * 100
    )";
    lua_State* co = lua_newthread(L);
    int yields = 0;
    for (int32_t budget = 1; budget <= 60; budget++) {
        load_text(co, text);
        int nres;
        int st = resume_slice(co, 0, budget, 0, &nres);
        while (st == LUA_YIELD) {
            yields++;
            lua_pushstring(co, "junk");
            lua_pushinteger(co, 99);
            st = resume_slice(co, 0, budget, 2, &nres);
        }
        ASSERT_EQ(st, LUA_OK) << lua_tostring(co, -1);
        EXPECT_EQ(lua_tointeger(co, -1), 3 + 30 + 400) << "budget " << budget;
        lua_settop(co, 0);
    }
    EXPECT_GT(yields, 100);
}

TEST_F(VmTest, NonYieldableCodeNeverYields) {
    // A __tostring run by tostring and a finalizer both sit under native
    // calls without continuations: they overrun the slice instead.
    load_text(L, R"(
        local mt = {__tostring = function() local s = 0 for i = 1, 5000 do s = s + i end return 'S' .. s end}
        local a = tostring(setmetatable({}, mt))
        fin = 0
        setmetatable({}, {__gc = function() for i = 1, 5000 do fin = i end end})
        collectgarbage()
        return a, fin
    )");
    int nres, st, overruns = 0;
    while ((st = resume_slice(L, 0, 20, 0, &nres)) == LUA_YIELD)
        if (cpu_cycles > 10000) overruns++;
    ASSERT_EQ(st, LUA_OK) << lua_tostring(L, -1);
    EXPECT_STREQ(lua_tostring(L, -2), "S12502500");
    EXPECT_EQ(lua_tointeger(L, -1), 5000);
    EXPECT_EQ(overruns, 2);
    lua_settop(L, 0);

    // The main thread outside lua_resume (after having been resumed):
    // charged, never yielded.
    vm_set_escape_slice_flag(L, 0);
    cpu_cycles = 0;
    cpu_cycles_max = 10;
    load_text(L, "local s = 0 for i = 1, 10000 do s = s + i end return s");
    ASSERT_EQ(lua_pcall(L, 0, 1, 0), LUA_OK);
    EXPECT_EQ(lua_tointeger(L, -1), 50005000);
    EXPECT_GT(cpu_cycles, 30000);
    EXPECT_EQ(vm_escape_slice_flag(L), 0);
}

TEST_F(VmTest, RunawayNonYieldableCodeIsStopped) {
    cpu_cycles = 0;
    cpu_cycles_max = 0;
    load_text(L, "while true do end", "=spin");
    ASSERT_EQ(lua_pcall(L, 0, 0, 0), LUA_ERRRUN);
    EXPECT_STREQ(lua_tostring(L, -1), "spin:1: " VM_RUNAWAY_MESSAGE);
    EXPECT_GT(cpu_cycles, VM_RUNAWAY_CYCLES);
    lua_settop(L, 0);

    // A finalizer that never ends is stopped (its error becomes a warning)
    // and the yieldable program goes on.
    cpu_cycles = 0;  // compiling is charged too: not from far over budget
    load_text(L, R"(
        setmetatable({}, {__gc = function() while true do end end})
        collectgarbage()
        return 'survived'
    )");
    EXPECT_EQ(run_in_slices(L, 1000), "survived");
}

// A stop caught by pcall leaves the count far over budget; when the next
// instruction is the one a budget yield lets run, and it calls native code
// that charges (string.format here), that call is not stopped too: it gets
// room of its own, whichever instruction the slices end at.
TEST_F(VmTest, CallAfterACaughtStopIsNotStoppedToo) {
    const char* text = R"(
        local spin = setmetatable({}, {__index = function() while true do end end, __len = function() return 1 end})
        for i = 1, 30 do end
        return string.format('%s|%s', pcall(table.concat, spin))
    )";
    for (int32_t budget = 10; budget <= 200; budget += 10) {
        load_text(L, text);
        EXPECT_EQ(run_in_slices(L, budget), "false|test:2: " VM_RUNAWAY_MESSAGE) << "budget " << budget;
    }
}

// Saturating counter: a charge at the top of the range does not wrap.
TEST_F(VmTest, CounterSaturatesInSlowPath) {
    cpu_cycles = INT32_MAX - 1;
    cpu_cycles_max = INT32_MAX - (int32_t)VM_RUNAWAY_CYCLES;
    load_text(L, "local a = 1 a = 2 a = 3");
    ASSERT_EQ(lua_pcall(L, 0, 0, 0), LUA_OK);  // not yieldable: charged only
    EXPECT_EQ(cpu_cycles, INT32_MAX);
}

// Programs of every kind run at tiny budgets give the unbudgeted results.
TEST_F(VmTest, ProgramsRunToCompletionAtTinyBudgets) {
    const char* const programs[] = {
        // closures and upvalues
        R"(local function counter() local n = 0 return function(k) n = n + (k or 1) return n end end
           local a, b = counter(), counter()
           for i = 1, 20 do a() b(i) end
           return a(), b(0))",
        // tables: array, hash, growth and removal
        R"(local t = {} for i = 1, 60 do t[i] = i * i t['k' .. i] = i end
           for i = 1, 60, 3 do t['k' .. i] = nil end
           local n, s = 0, 0 for k, v in pairs(t) do n = n + 1 s = s + v end
           table.insert(t, 1, 0) table.remove(t, 5)
           return n, s, #t, t[1], t[5])",
        // strings
        R"(local parts = {} for i = 1, 30 do parts[#parts + 1] = string.format('%02d', i) end
           local s = table.concat(parts, '-')
           local r = s:gsub('%d+', function(d) return tostring(tonumber(d) * 2) end)
           return #s, s:sub(1, 8), r:sub(-8), s:rep(3, '|'):len(), ('x'):byte())",
        // coroutines: a generator driven through budget yields
        R"(local function resume(co, ...)
             local r = table.pack(coroutine.resume(co, ...))
             while r.n == 1 and r[1] and escaped(co) and coroutine.status(co) == 'suspended' do
               r = table.pack(coroutine.resume(co))
             end
             return table.unpack(r, 1, r.n)
           end
           local gen = coroutine.create(function(a)
             for i = 1, 15 do a = coroutine.yield(i * a) or a end
             return 'end'
           end)
           local out = {}
           local ok, v = resume(gen, 2)
           while coroutine.status(gen) ~= 'dead' do out[#out + 1] = v ok, v = resume(gen, #out) end
           return table.concat(out, ','), v)",
        // varargs and multiple returns
        R"(local function pack(...) return select('#', ...), ... end
           local function spread(n) local t = {} for i = 1, n do t[i] = i end return table.unpack(t) end
           local function sum(...) local s = 0 for _, v in ipairs({...}) do s = s + v end return s end
           local a = {pack(spread(10))}
           return a[1], sum(spread(25)), sum(spread(3), spread(4)), select(-1, spread(7)))",
        // metamethods in Lua code (yieldable) and integer division rules
        R"(local V = {}
           V.__index = V
           V.__add = function(a, b) return setmetatable({x = a.x + b.x}, V) end
           V.__lt = function(a, b) return a.x < b.x end
           local acc = setmetatable({x = 0}, V)
           for i = 1, 20 do acc = acc + setmetatable({x = i}, V) end
           return acc.x, setmetatable({x = 1}, V) < acc, 7 // 0, -7 // 0, 7 % 0)",
    };
    lua_register(L, "escaped", [](lua_State* L) -> int {
        lua_State* co = lua_tothread(L, 1);
        lua_pushboolean(L, vm_escape_slice_flag(co) != 0);
        vm_set_escape_slice_flag(co, 0);
        return 1;
    });
    for (const char* p : programs) {
        load_text(L, p);
        std::string want = run_in_slices(L, 0);
        EXPECT_EQ(want.rfind("error", 0), std::string::npos) << want;
        for (int32_t budget : {1, 2, 3, 5, 8, 13, 21, 50}) {
            load_text(L, p);
            int slices = 0;
            EXPECT_EQ(run_in_slices(L, budget, &slices), want) << "budget " << budget << "\n" << p;
            EXPECT_GT(slices, budget <= 8 ? 20 : 3) << "budget " << budget << "\n" << p;
        }
    }
}

}  // namespace
