// The loop that keeps its count in registers against the straightforward one:
// both run each program of tests/vm/slices in slices of many budgets (1 to a
// frame's worth), with hooks, finalizers, coroutines, native charges and
// forced yields, and must end every slice at the same cycle count.
#include <gtest/gtest.h>

#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

namespace {

std::string run_tool(const std::string& tool, const std::string& file) {
    std::string cmd = std::string(ORVANTA_BUILD_DIR) + "/tests/" + tool + " " + file;
    FILE* p = popen(cmd.c_str(), "r");
    if (!p) return "popen failed";
    std::string out;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    int st = pclose(p);
    if (st != 0) out += "\nexit status " + std::to_string(st);
    return out;
}

std::vector<std::string> lines(const std::string& s) {
    std::vector<std::string> v;
    std::istringstream in(s);
    for (std::string l; std::getline(in, l);) v.push_back(l);
    return v;
}

struct Equivalence : ::testing::TestWithParam<const char*> {};

TEST_P(Equivalence, SameCountAtEndOfEverySlice) {
    std::string file = std::string(ORVANTA_SOURCE_DIR) + "/tests/vm/slices/" + GetParam() + ".lua";
    std::vector<std::string> fast = lines(run_tool("vm_slices", file));
    std::vector<std::string> ref = lines(run_tool("vm_slices_ref", file));
    ASSERT_GT(ref.size(), 30u) << (ref.empty() ? "" : ref.back());
    ASSERT_EQ(fast.size(), ref.size());
    for (size_t i = 0; i < ref.size(); i++) EXPECT_EQ(fast[i], ref[i]);
    // The smallest budget really slices the program, and it runs to its end.
    EXPECT_EQ(ref[0].find("error: ?"), std::string::npos) << ref[0];
    unsigned long slices = 0;
    ASSERT_EQ(sscanf(ref[0].c_str(), "budget 1: %lu slices", &slices), 1) << ref[0];
    EXPECT_GT(slices, 500u);
}

INSTANTIATE_TEST_SUITE_P(Programs, Equivalence,
                         ::testing::Values("arith", "calls", "tables", "meta", "coro", "hooks", "strings"));

}  // namespace
