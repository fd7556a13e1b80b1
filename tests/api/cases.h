// A table of Lua expressions and the texts harness_eval should give for them.
#pragma once
#include <gtest/gtest.h>
#include <string>
#include <vector>
#include "support/harness.h"

struct LuaCase {
    std::string expr;
    std::string want;  // a leading '~' means "contains the rest"
};

inline void check_cases(const std::vector<LuaCase>& cases, const std::string& prelude = "") {
    std::vector<std::string> exprs;
    for (const LuaCase& c : cases) exprs.push_back(c.expr);
    std::vector<std::string> got = harness_eval(exprs, prelude);
    harness_shutdown();
    ASSERT_EQ(got.size(), cases.size()) << (got.empty() ? "" : got[0]);
    for (size_t i = 0; i < cases.size(); i++) {
        const std::string& w = cases[i].want;
        if (!w.empty() && w[0] == '~')
            EXPECT_NE(got[i].find(w.substr(1)), std::string::npos) << cases[i].expr << " gave " << got[i];
        else
            EXPECT_EQ(got[i], w) << cases[i].expr;
    }
}
