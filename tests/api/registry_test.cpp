// The API registry: one fixed global order whatever table a function comes from.
#include <gtest/gtest.h>
#include <map>
#include <set>
#include <string>
#include "kernel/api.h"
#include "lua.h"
#include "lauxlib.h"

TEST(Registry, FollowsTheFixedOrderWithoutDuplicates) {
    int norder = 0, nreg = 0;
    const char* const* order = api_order_names(&norder);
    const ApiEntry* reg = api_registered(&nreg);
    ASSERT_EQ(norder, 139);
    std::map<std::string, int> rank;
    for (int i = 0; i < norder; i++) EXPECT_TRUE(rank.emplace(order[i], i).second) << order[i];

    std::set<std::string> seen;
    int last = -1;
    bool past_ordered = false;
    for (int i = 0; i < nreg; i++) {
        EXPECT_TRUE(seen.insert(reg[i].name).second) << reg[i].name << " registered twice";
        auto it = rank.find(reg[i].name);
        if (it == rank.end()) {
            past_ordered = true;  // names outside the list come after all listed ones
            continue;
        }
        EXPECT_FALSE(past_ordered) << reg[i].name;
        EXPECT_GT(it->second, last) << reg[i].name << " out of order";
        last = it->second;
    }
    // Every global of the kernel's own functions is there, aliases included.
    for (const char* n : {"deli", "add", "del", "count", "time", "t", "stat", "date", "_printh", "chr", "ord",
                          "tokenoid", "rnd", "srand", "abs", "sgn", "max", "min", "mid", "sqrt", "cos", "sin",
                          "atan2", "flr", "ceil", "_flip", "flip", "split", "_yielded_to_escape_slice",
                          "_create_process_from_code", "_run_process_slice", "_kill_process", "_halt", "load",
                          "_process_state", "_get_process_display_size", "_get_process_list",
                          "_apply_system_settings", "_signal", "_strindex"})
        EXPECT_TRUE(seen.count(n)) << n << " missing";
}

TEST(Registry, AliasesShareOneFunctionAndStatesAreIndependent) {
    lua_State* a = luaL_newstate();
    lua_State* b = luaL_newstate();
    api_add_c_functions(a);
    api_add_c_functions(b);
    const char* pairs[][2] = {{"t", "time"}, {"_flip", "flip"}};
    for (auto& p : pairs) {
        lua_getglobal(a, p[0]);
        lua_getglobal(a, p[1]);
        ASSERT_TRUE(lua_iscfunction(a, -1)) << p[1];
        EXPECT_EQ(lua_tocfunction(a, -1), lua_tocfunction(a, -2)) << p[0];
        lua_pop(a, 2);
    }
    // Overwriting a global in one state leaves the other alone.
    ASSERT_EQ(luaL_dostring(a, "flr = nil"), LUA_OK);
    lua_getglobal(b, "flr");
    EXPECT_TRUE(lua_iscfunction(b, -1));
    lua_close(a);
    lua_close(b);
}
