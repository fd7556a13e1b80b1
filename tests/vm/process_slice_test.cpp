// The charged loop under the kernel: a process's slices end when the frame's
// budget is spent and the next frame resumes it where it stopped.
#include <gtest/gtest.h>

#include "support/harness.h"

namespace {

TEST(ProcessSlices, BudgetYieldSpreadsWorkOverFrames) {
    // 1,000,000 iterations of ADD + FORLOOP: 3,000,000 cycles, about 11 frames.
    ASSERT_TRUE(harness_boot(R"(
        local s = 0
        for i = 1, 1000000 do s = s + i end
        _printh(s)
        local co = coroutine.create(function() local n = 0 for i = 1, 400000 do n = n + 1 end return n end)
        local ok, v = coroutine.resume(co)
        _printh(tostring(ok) .. ' ' .. tostring(v) .. ' ' .. coroutine.status(co))
        while coroutine.status(co) ~= 'dead' do ok, v = coroutine.resume(co) end
        _printh(v)
    )"));
    harness_run_frames(5);
    EXPECT_TRUE(harness_lines().empty());
    harness_run_frames(40);
    // The coroutine's budget yields suspend the process with it: resume returns its result.
    EXPECT_EQ(harness_lines(), (std::vector<std::string>{"500000500000", "true 400000 dead", "400000"}));
    harness_shutdown();
}

}  // namespace
