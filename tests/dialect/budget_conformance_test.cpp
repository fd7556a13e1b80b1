// The conformance programs again, resumed in slices of a few cycles each as
// the kernel resumes a process: the output must match stock Lua's.
#include <gtest/gtest.h>

#include <climits>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "capture.h"
#include "dialect/dialect.h"
#include "kernel/cpu.h"
#include "lua.h"
#include "lauxlib.h"
#include "lualib.h"

namespace {

namespace fs = std::filesystem;

std::string read_file(const fs::path& p) {
    std::ifstream f(p, std::ios::binary);
    std::stringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

// stdout of the stock interpreter and whether it exited with success
std::string run_stock(const fs::path& prog, bool* ok) {
    std::string cmd = "cd '" + prog.parent_path().string() + "' && '" ORVANTA_BUILD_DIR "/lua_stock' '" +
                      prog.filename().string() + "' 2>/dev/null";
    FILE* f = popen(cmd.c_str(), "r");
    std::string out;
    char buf[4096];
    size_t n;
    while (f && (n = fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, n);
    int rc = f ? pclose(f) : -1;
    *ok = rc == 0;
    return out;
}

}  // namespace

TEST(DialectConformance, TinyBudgetSlicesMatchStockOutput) {
    fs::path dir = fs::path(ORVANTA_SOURCE_DIR) / "tests/dialect/conformance";
    int programs = 0;
    for (const auto& e : fs::directory_iterator(dir)) {
        // The main thread runs under lua_resume here, so coroutine.isyieldable()
        // is true in it, as it is in a process; and a budget yield at a
        // function's first instruction sees its call hook again on resume, as
        // a hook's yield does in stock Lua.
        if (e.path().extension() != ".lua" || e.path().stem() == "coroutines" || e.path().stem() == "hooks")
            continue;
        programs++;
        bool stock_ok;
        std::string expect = run_stock(e.path(), &stock_ok);
        ASSERT_FALSE(expect.empty()) << e.path();

        std::string out;
        capture_out = &out;
        lua_State* L = luaL_newstate();
        luaL_openlibs(L);
        lua_getglobal(L, "_G");
        dialect_add_stock_base(L);
        lua_pop(L, 1);
        lua_register(L, "print", capture_print);
        lua_newtable(L);
        lua_pushcfunction(L, capture_write);
        lua_setfield(L, -2, "write");
        lua_setglobal(L, "io");
        std::string src = read_file(e.path());
        std::string name = "@" + e.path().filename().string();
        ASSERT_EQ(luaL_loadbufferx(L, src.data(), src.size(), name.c_str(), "t"), LUA_OK);

        int status, nres, slices = 0;
        cpu_superyielding = 0;
        do {
            cpu_cycles = 0;
            cpu_cycles_max = 5;
            status = lua_resume(L, nullptr, 0, &nres);
            slices++;
        } while (status == LUA_YIELD && slices < 10000000);
        cpu_cycles_max = INT32_MAX;
        EXPECT_GT(slices, 20) << e.path();  // it really ran in slices
        EXPECT_EQ(status == LUA_OK, stock_ok) << e.path() << ": " << (lua_tostring(L, -1) ? lua_tostring(L, -1) : "");
        EXPECT_EQ(out, expect) << e.path();
        lua_close(L);
        capture_out = nullptr;
    }
    EXPECT_GE(programs, 4);
}
