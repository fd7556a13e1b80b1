// The debug library can't reach host state or break the core's invariants,
// and native work is charged by its size and stopped far over budget.
#include <gtest/gtest.h>

#include <string>

#include "dialect/charge.h"
#include "dialect_state.h"
#include "kernel/cpu.h"
#include "lua.h"
#include "lauxlib.h"

namespace {

const std::string kStopped = "cpu budget exceeded in code that cannot yield";

TEST(DebugGuards, StackAndLocals) {
    run_cases({
        // '>' would pop a suspended coroutine's stack: refused, the stack intact.
        {"local co = coroutine.create(function(a) local b = coroutine.yield(a) return b end)\n"
         "coroutine.resume(co, 1)\n"
         "for i = 1, 7 do assert(not pcall(debug.getinfo, co, 0, '>')) end\n"
         "print(select(2, pcall(debug.getinfo, co, 0, '>L')))\n"
         "print(coroutine.resume(co, 'kept'))",
         "bad argument #3 to 'debug.getinfo' (invalid option '>')\ntrue\tkept\n"},
        // Hidden slots of loops, temporaries and varargs are not written;
        // named locals still are, the loop runs as written.
        {"for i = 1, 3 do print(debug.setlocal(1, 1, {}), debug.setlocal(1, 2, {}), debug.setlocal(1, 4, 10)) end",
         "nil\tnil\ti\nnil\tnil\ti\nnil\tnil\ti\n"},
        {"for i = 0.5, 1.5 do io = debug.setlocal(1, 3, 'x') print(i) end", "0.5\n1.5\n"},
        {"for k in pairs({a = 1}) do print(debug.setlocal(1, 4, 1), k) end", "nil\ta\n"},
        {"local x = 1 print(debug.setlocal(1, 1, 2), x, debug.setlocal(1, 40, 3))", "x\t2\tnil\n"},
        {"(function(...) print(debug.setlocal(1, -1, 5), ...) end)(1)", "nil\t1\n"},
        // Native frames: no locals, no function handed out; Lua frames as stock.
        {"local t = setmetatable({}, {__index = function()\n"
         "  local name, v = debug.getlocal(2, 1)\n"
         "  print(name, v, debug.getinfo(2, 'f').func, debug.getinfo(2, 'S').what)\n"
         "  print(type(debug.getinfo(1, 'f').func), debug.getlocal(1, 1) ~= nil)\n"
         "  return 'x' end})\n"
         "print(table.concat(t, '', 1, 1))",
         "nil\tnil\tnil\tC\nfunction\ttrue\nx\n"},
        {"print(debug.getinfo(print).func == print, debug.traceback('m', 1):match('^m\\nstack traceback:') ~= nil)",
         "true\ttrue\n"},
    });
}

TEST(DebugGuards, UpvaluesMetatablesAndRegistry) {
    run_cases({
        // Upvalues of native closures are not the program's.
        {"local it = string.gmatch('ab', '.')\n"
         "print(select('#', debug.getupvalue(it, 1)), debug.upvalueid(it, 1))\n"
         "print(pcall(debug.setupvalue, it, 1, 'x'))",
         "0\tnil\nfalse\tbad argument #1 to 'debug.setupvalue' (Lua function expected)\n"},
        // Indices outside the closure are refused, not read or joined.
        {"local a, b = 1, 2 local function f() return a end local function g() return b end\n"
         "print(debug.upvalueid(f, 2), debug.upvalueid(f, 0), debug.upvalueid(f, 1) ~= nil)\n"
         "print(pcall(debug.upvaluejoin, f, 1, g, 9))\n"
         "print(pcall(debug.upvaluejoin, f, 1, print, 1))\n"
         "debug.upvaluejoin(f, 1, g, 1) print(f(), debug.getupvalue(f, 1))",
         "nil\tnil\ttrue\n"
         "false\tbad argument #4 to 'debug.upvaluejoin' (invalid upvalue index)\n"
         "false\tbad argument #3 to 'debug.upvaluejoin' (Lua function expected)\n"
         "2\ta\t2\n"},
        // Userdata metatables and user values are the host's; other types as stock.
        {"local u = ({string.gmatch('a', '.')})[1]\n"
         "print(pcall(debug.setmetatable, io, {}))\n"
         "local n = debug.setmetatable(10, {__index = {twice = function(x) return 2 * x end}})\n"
         "print(n, (5):twice()) debug.setmetatable(10, nil)",
         "true\tnil\n10\t10\n"},
        {"print(debug.getregistry)", "nil\n"},
    });
    State s;
    lua_newuserdatauv(s.L, 16, 1);
    lua_setglobal(s.L, "ud");
    EXPECT_EQ(s.run("print(pcall(debug.setmetatable, ud, {}))\n"
                    "print(debug.getmetatable(ud), debug.setuservalue(ud, {}), debug.getuservalue(ud))"),
              "false\tbad argument #1 to 'debug.setmetatable' (cannot change a userdata's metatable)\n"
              "nil\tnil\tnil\ttrue\n");
}

// Cycles charged by one call from C (only the function's own work counts).
int64_t charge_of(State& s, const std::string& setup, const std::string& call) {
    EXPECT_EQ(s.run(setup), "");
    EXPECT_EQ(luaL_loadstring(s.L, ("return " + call).c_str()), LUA_OK);
    lua_call(s.L, 0, LUA_MULTRET);
    int nargs = lua_gettop(s.L) - 1;
    int32_t before = cpu_cycles;
    lua_call(s.L, nargs, LUA_MULTRET);
    lua_settop(s.L, 0);
    return (int64_t)cpu_cycles - before;
}

// Work that grows with the input is charged in proportion: doubling the input
// doubles the charge, within the allocations' own small charges.
TEST(NativeCharges, GrowWithTheInput) {
    const char* setup =
        "function mk(n) return string.rep('a', n) end\n"
        "function chain(n) local t = {} local c = t for i = 1, n do local m = {} setmetatable(c, {__index = m}) c = m end c.x = 1 return t end";
    const std::pair<const char*, const char*> calls[] = {
        {"string.upper, mk(N)", "byte at a time"},
        {"string.find, mk(N), 'b', 1, true", "plain search"},
        {"string.find, mk(N), '%d'", "pattern steps"},
        {"string.gsub, mk(N), 'a', 'bb'", "replacements"},
        {"string.format, '%q', mk(N)", "quoting"},
        {"utf8.len, mk(N)", "decoding"},
        {"tonumber, string.rep('7', N), 10", "digits"},
        {"load, string.rep('x = 1 ', N // 8)", "compiling"},
        {"rawequal, mk(N), mk(N) .. ''", "comparing"},
        {"function(t) return t.x end, chain(N // 128)", "__index chain"},
    };
    for (const auto& [call, what] : calls) {
        State s;
        std::string c = call;
        auto with = [&](int n) {
            std::string x = c;
            for (size_t p; (p = x.find('N')) != std::string::npos;) x.replace(p, 1, std::to_string(n));
            return charge_of(s, setup, x);
        };
        int64_t small = with(1 << 16), big = with(1 << 17);
        EXPECT_GT(small, 64) << what;
        EXPECT_GT(big, small * 3 / 2) << what;
        EXPECT_LT(big, small * 5 / 2) << what;
    }
}

// Calls the function and arguments that "return call" gives, from C, with no
// budget left: "error: <message>", or the results' types.
std::string outcome(State& s, const std::string& call) {
    EXPECT_EQ(luaL_loadstring(s.L, ("return " + call).c_str()), LUA_OK) << call;
    lua_call(s.L, 0, LUA_MULTRET);
    int nargs = lua_gettop(s.L) - 1;
    cpu_cycles = 0;
    cpu_cycles_max = 0;
    std::string r;
    if (lua_pcall(s.L, nargs, LUA_MULTRET, 0) != LUA_OK) {
        std::string m = lua_tostring(s.L, -1);
        if (m.find(kStopped) != std::string::npos) m = kStopped;  // whatever the position
        r = "error: " + m;
    } else {
        for (int i = 1; i <= lua_gettop(s.L); i++) r += std::string(i > 1 ? " " : "") + luaL_typename(s.L, i);
    }
    lua_settop(s.L, 0);
    return r;
}

// Native work past the runaway allowance is stopped from inside its loop,
// however it was started, soon after the allowance; what programs usually do
// is untouched.
TEST(NativeCharges, FarOverBudgetStopsInsideTheLoop) {
    const std::string stopped = "error: " + kStopped;
    const Case cases[] = {
        {"string.find, string.rep('a', 1e5), '.-.-.-.-.-.-.-.-x'", stopped},
        {"string.gsub, string.rep('(', 2e5), '%b()', ''", stopped},
        {"string.find, string.rep('a', 2e5), string.rep('a', 1e5) .. 'b', 1, true", stopped},
        {"string.match, string.rep('a', 2e5), '[' .. string.rep('b', 1e5) .. 'a]*c'", stopped},
        {"function() local c = setmetatable({}, {}) getmetatable(c).__call = c return c() end", stopped},
        {"load, (function() local l = {} for i = 1, 20000 do l[i] = '::l' .. i .. ':: f()' end\n"
         "  return table.concat(l, ' ') end)()", "nil string"},
        {"load, 'if x then ' .. string.rep('elseif x then ', 1e5) .. 'end'", "nil string"},
        {"load, string.rep('x = 1 ', 4e5)", stopped},
        {"string.rep, '', math.maxinteger", "string"},
        {"string.rep, 'ab', 1e6, ','", "string"},
        // Table loops that charge nothing for their elements count each as a step.
        {"table.move, {}, 1, 1e12, 1, {}", stopped},
        {"table.concat, setmetatable({}, {__len = function() return 1e12 end, __index = function() return '' end})",
         stopped},
        {"table.move, (function() local t = {} for i = 1, 1e6 do t[i] = i end return t end)(), 1, 1e6, 2", "table"},
    };
    for (const Case& c : cases) {
        State s;
        EXPECT_EQ(outcome(s, c.src), c.expect) << c.src;
        EXPECT_LT(cpu_cycles, VM_RUNAWAY_CYCLES * 2) << c.src;
    }
    // Once far over, a further call is stopped before its work.
    State s;
    EXPECT_EQ(s.run("f = function() return string.upper('x') end"), "");
    lua_getglobal(s.L, "f");
    cpu_cycles_max = 0;
    cpu_cycles = (int32_t)VM_RUNAWAY_CYCLES + 1;
    ASSERT_NE(lua_pcall(s.L, 0, 1, 0), LUA_OK);
    EXPECT_EQ(std::string(lua_tostring(s.L, -1)), "t:1: " + kStopped);
}

// The bytecode loop keeps its count in a local: long strings compared,
// hashed or converted by its own instructions are charged all the same.
TEST(NativeCharges, LongStringWorkInTheLoopIsCharged) {
    const std::string lit(100000, 'x');
    State s;
    EXPECT_EQ(s.run("local a = string.rep('x', 100000) local t = {[a] = 1} local b = string.rep('x', 100000)\n"
                    "local c = cycles() local r = (a == '" + lit + "') print(r, cycles() - c > 6000)\n"
                    "c = cycles() r = t[b] print(r, cycles() - c > 50000)\n"  // hashed, then compared
                    "c = cycles() r = t[b] print(r, cycles() - c > 6000)\n"
                    "local d = string.rep('1', 100000) c = cycles() for i = 1, d do break end\n"
                    "print(cycles() - c > 50000)"),
              "true\ttrue\n1\ttrue\n1\ttrue\ntrue\n");
}

TEST(NativeCharges, RepeatsByDoublingMatchTheStockResult) {
    run_cases({
        {"local function naive(s, n, sep) local t = {} for i = 1, n do t[i] = s end return table.concat(t, sep) end\n"
         "for _, c in ipairs({{'ab', 1}, {'ab', 2, ','}, {'xyz', 7, '--'}, {'', 5, '.'}, {'q', 1000}, {'ab', 0, ','},\n"
         "                    {'a', 3, ''}, {'', 4}}) do\n"
         "  assert(string.rep(c[1], c[2], c[3]) == naive(c[1], c[2], c[3] or ''), c[1] .. c[2])\n"
         "end print('same')",
         "same\n"},
    });
}

}  // namespace
