// Default wavetables and the default instrument in new processes' memory.
#include <gtest/gtest.h>

#include "audio/sonk_engine.h"
#include "graphics/memory.h"
#include "kernel/process.h"
#include "kernel/state.h"
#include "support/harness.h"

namespace {

int16_t sample_at(Process* p, uint32_t a) { return (int16_t)(mem_read8(p, a) | mem_read8(p, a + 1) << 8); }

TEST(DefaultData, EveryProcessGetsTablesAndInstrument) {
    ASSERT_TRUE(harness_boot(""));
    uint64_t rng[4] = {};
    const int16_t* wt = sonk_default_wavetable(rng);
    Process* root = get_process(1);
    ASSERT_TRUE(root);
    for (int i = 0; i < SONK_WAVETABLE_SAMPLES; i += 97)
        ASSERT_EQ(sample_at(root, SONK_WAVETABLE_BASE + 2 * i), wt[i]) << i;
    EXPECT_EQ(sample_at(root, 0xFFFFFE), wt[SONK_WAVETABLE_SAMPLES - 1]);

    Process* second = create_process_from_code("flip()", "second", "/second.lua");
    ASSERT_TRUE(second);
    for (uint32_t a = SONK_WAVETABLE_BASE; a < 0x1000000; a += 1)
        ASSERT_EQ(mem_read8(second, a), mem_read8(root, a)) << std::hex << a;
    for (int i = 0; i < 64; i++) EXPECT_EQ(mem_read8(second, 0x40000 + i), sonk_default_instrument[i]);
    for (int i = 0; i < 8; i++) EXPECT_EQ(mem_read8(second, 0x401E0 + i), sonk_default_descriptors[i]);

    // A later process copies the root's pages as they stand.
    mem_write8(root, 0xF80010, 0x5A);
    Process* third = create_process_from_code("flip()", "third", "/third.lua");
    ASSERT_TRUE(third);
    EXPECT_EQ(mem_read8(third, 0xF80010), 0x5A);
    EXPECT_NE(mem_read8(get_process(second->pid), 0xF80010), 0x5A);
    harness_shutdown();
}

}  // namespace
