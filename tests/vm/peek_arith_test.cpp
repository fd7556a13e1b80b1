// The memory-read opcodes and the integer // and % rules.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "graphics/memory.h"
#include "kernel/process.h"
#include "lua.h"
#include "lauxlib.h"
#include "vm_support.h"

namespace {

struct LuaCase { const char* expr; const char* want; };

// Evaluates "return <expr>" and writes the value: integers plainly, floats
// with %.17g, errors as "error: <message>".
std::string eval(lua_State* L, const std::string& expr) {
    std::string text = "local x = ... return " + expr;
    if (luaL_loadbufferx(L, text.data(), text.size(), "=e", "t") != LUA_OK) {
        std::string e = std::string("syntax: ") + lua_tostring(L, -1);
        lua_pop(L, 1);
        return e;
    }
    lua_pushnumber(L, 1.5);  // the local x, for error messages
    std::string out;
    if (lua_pcall(L, 1, 1, 0) != LUA_OK) {
        out = std::string("error: ") + lua_tostring(L, -1);
    } else if (lua_isinteger(L, -1)) {
        out = std::to_string(lua_tointeger(L, -1));
    } else if (lua_type(L, -1) == LUA_TNUMBER) {
        char b[64];
        snprintf(b, sizeof b, "%.17g", lua_tonumber(L, -1));
        out = b;
    } else {
        out = luaL_tolstring(L, -1, nullptr);
        lua_pop(L, 1);
    }
    lua_pop(L, 1);
    return out;
}

using LuaFixture = LedgerStateTest;

using IntegerDivision = LuaFixture;

TEST_F(IntegerDivision, ByZeroAndMinusOne) {
    const LuaCase cases[] = {
        {"7 // 0", "9223372036854775807"},
        {"-7 // 0", "-9223372036854775807"},
        {"0 // 0", "9223372036854775807"},
        {"math.mininteger // 0", "-9223372036854775807"},
        {"7 % 0", "0"},
        {"-7 % 0", "0"},
        {"-7 % -1", "0"},
        {"math.mininteger % -1", "0"},
        {"7 // -1", "-7"},
        {"math.mininteger // -1", "-9223372036854775808"},  // wraps
        {"7.0 // 0", "inf"},                                 // float rules stay stock
        {"-7 // 0.0", "-inf"},
        {"7 // 2", "3"},
        {"-7 // 2", "-4"},
        {"-7 % 3", "2"},
        {"7 % -3", "-2"},
        // through variables (no folding), constants and the C API path
        {"(function(a, b) return a // b end)(5, 0)", "9223372036854775807"},
        {"(function(a) return a % 0 end)(5)", "0"},
        {"(function(a) return a // 0 end)(-5)", "-9223372036854775807"},
        {"string.format('%d', 9 // 0)", "9223372036854775807"},
    };
    for (const LuaCase& c : cases) EXPECT_EQ(eval(L, c.expr), c.want) << c.expr;

    // lua_arith shares the rule.
    const struct { int op; lua_Integer a, b, want; } api[] = {
        {LUA_OPIDIV, 7, 0, LUA_MAXINTEGER}, {LUA_OPIDIV, -7, 0, -LUA_MAXINTEGER},
        {LUA_OPMOD, 7, 0, 0},               {LUA_OPMOD, LUA_MININTEGER, -1, 0},
        {LUA_OPIDIV, LUA_MININTEGER, -1, LUA_MININTEGER},
    };
    for (const auto& c : api) {
        lua_pushinteger(L, c.a);
        lua_pushinteger(L, c.b);
        lua_arith(L, c.op);
        EXPECT_EQ(lua_tointeger(L, -1), c.want) << c.a << " op " << c.b;
        lua_pop(L, 1);
    }
}

TEST(Opcodes, TableHasMemoryReadsAt52To55) {
    EXPECT_EQ(opcode_count(), 87);
    const struct { const char* name; int num; } names[] = {
        {"NOT", 51}, {"PEEK", 52}, {"PEEK2", 53}, {"PEEK4", 54}, {"PEEK8", 55},
        {"LEN", 56}, {"CONCAT", 57}, {"CALL", 72}, {"RETURN", 74}, {"VARARGPREP", 85}, {"EXTRAARG", 86},
    };
    for (const auto& n : names) EXPECT_EQ(opcode_number(n.name), n.num) << n.name;
    for (int op = 52; op <= 55; op++) EXPECT_EQ(opcode_mode(op), 0x08) << op;
}

// A process record with its address space, current while the test runs.
struct MemoryReads : LuaFixture {
    Process* p = nullptr;
    Process* saved = nullptr;
    void SetUp() override {
        LuaFixture::SetUp();
        p = static_cast<Process*>(calloc(1, sizeof(Process)));
        mem_init_process(p);
        saved = cproc;
        cproc = p;
    }
    void TearDown() override {
        cproc = saved;
        mem_free_process(p);
        free(p);
        LuaFixture::TearDown();
    }
    void poke_bytes(uint32_t addr, std::initializer_list<uint8_t> bytes) {
        for (uint8_t b : bytes) mem_write8(p, addr++, b);
    }
};

TEST_F(MemoryReads, OperandsAndWidths) {
    poke_bytes(0x10000, {0xAB});
    poke_bytes(2, {0x42});
    poke_bytes(0x100, {0xFF, 0x7F});
    poke_bytes(0x110, {0xFF, 0xFF, 0xFF, 0xFF});
    poke_bytes(0x120, {0x08, 0x07, 0x06, 0x05, 0x04, 0x03, 0x02, 0x81});
    poke_bytes(0xFFFFFF, {0x5A});
    poke_bytes(5, {0x33});
    const LuaCase cases[] = {
        {"@0x10000", "171"},
        {"@2", "66"},
        {"@2.0", "66"},
        {"@(2^32 + 5)", "51"},   // low 32 bits
        {"@-1", "90"},           // -1 is 0xFFFFFFFF
        {"@0xffffffff", "90"},
        {"-@2", "-66"},
        {"@2 + 1", "67"},
        {"%0x100", "32767"},
        {"%0x110", "-1"},
        {"$0x110", "-1"},
        {"$0x100", "32767"},
        {"*0x120", "-9150748177064392952"},  // 0x8102030405060708, all 64 bits
        {"math.type(@2.0)", "integer"},
        {"2 * 3 + 7 % 4", "9"},   // binary forms unchanged
        {"@0x3000", "0"},         // untouched page reads as zeros
    };
    for (const LuaCase& c : cases) EXPECT_EQ(eval(L, c.expr), c.want) << c.expr;
}

TEST_F(MemoryReads, RefusedOperandsRaiseArithmeticError) {
    const LuaCase cases[] = {
        {"@x", "error: e:1: attempt to perform arithmetic on a number value (local 'x')"},
        {"@2.5", "error: e:1: attempt to perform arithmetic on a number value"},
        {"@'2'", "error: e:1: attempt to perform arithmetic on a string value (constant '2')"},
        {"@nil", "error: e:1: attempt to perform arithmetic on a nil value"},
        {"@(2^63)", "error: e:1: attempt to perform arithmetic on a number value"},
        {"%{}", "error: e:1: attempt to perform arithmetic on a table value"},
        {"$(0/0)", "error: e:1: attempt to perform arithmetic on a number value"},
        {"*setmetatable({}, {__unm = function() return 1 end})",
         "error: e:1: attempt to perform arithmetic on a table value"},
    };
    for (const LuaCase& c : cases) EXPECT_EQ(eval(L, c.expr), c.want) << c.expr;
}

}  // namespace
