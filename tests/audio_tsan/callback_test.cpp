// The main thread drives the engine (notes, effects, music, queries, memory
// writes copied to the mirror) while the audio device's callback mixes: run
// under ThreadSanitizer, every shared access must be ordered by the lock.
#include <gtest/gtest.h>

#include <chrono>

#include "audio/sonk.h"
#include "host/host.h"
#include "kernel/state.h"
#include "support/harness.h"

namespace {

const char* const hammer = R"LUA(
poke(0x5538, 64, 64, 64, 0, 3, 3)
local function node(a, b0, b1)
  poke(a, b0, b1, 0, 0)
  for j = 0, 6 do poke(a + 4 + 4 * j, 1, 0, 0, 0) end
  poke(a + 4, 2, 64, 0, 0)
end
node(0x40000, 0x00, 0x01)
node(0x40020, 0x00, 0x02)
node(0x40040, 0x10, 0x02)
node(0x40060, 0x00, 0x09)
poke(0x401DF, 2)
for t = 0, 3 do poke(0x50000 + 328 * t, 4, 0, 1 + t, 0, 2, 0, 0, 0, 50 + t, 60, 64, 57, 0, 0, 0, 0, 64, 64, 64, 64) end
for p = 0, 3 do poke(0x30100 + 20 * p, p, (p + 1) % 4, 2, 3, 0, 1, 2, 3, p == 3 and 2 or 0, 0xFF) end
local i = 0
while true do
  i = i + 1
  note(48 + i % 24, 0, 64, i % 3 == 0 and 118 or 0, 0x24, i % 16)
  sfx(i % 4, -1, 0, 0, (i % 255) - 127)
  if i % 7 == 0 then music(i % 4, 100, 0xFF) end
  if i % 11 == 0 then music(-1, 200) end
  if i % 13 == 0 then sfx(-2, i % 16) end
  if i % 17 == 0 then note() end
  poke(0x40030, i % 256)
  local s = stat(400 + i % 16, i % 19) + stat(464) + stat(466) + stat(467)
  stat(465, 0, 0x80000)
  stat(400 + i % 16, 19, 0x90000)
  stat(400 + i % 16, 20 + i % 8, 0xA0000)
  flip()
end
)LUA";

TEST(AudioCallback, MainThreadDrivesTheEngineWhileTheCallbackMixes) {
    sonk_init();
    ASSERT_TRUE(harness_boot(hammer));
    os_system_init();  // headless: the sound device only (SDL's dummy driver)
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    int frames = 0;
    while (std::chrono::steady_clock::now() < until) frames += harness_run_frames(1);
    EXPECT_GT(frames, 10);
    EXPECT_TRUE(harness_output().find("harness: error") == std::string::npos) << harness_output();
    // Keep the callback out while the test program ends; it has mixed. The
    // lock is given back: later tests in this program share the device.
    os_lock_audio();
    EXPECT_EQ(sonk_get_channel_state(-1, -1, nullptr), 512);
    harness_shutdown();
    os_unlock_audio();
}

}  // namespace
