// note, sfx and music from Lua: defaults, argument rules, the audio focus and
// the stat codes that read the engine. No device: the mixer doesn't advance.
#include <gtest/gtest.h>

#include "audio/sonk.h"
#include "audio/sonk_engine.h"
#include "graphics/memory.h"
#include "kernel/process.h"
#include "kernel/state.h"
#include "support/harness.h"

namespace {

// Boots a root whose body is lua, with the audio bytes 0x5538.. and the
// given bytes written first.
std::vector<std::string> run(const std::string& lua, std::vector<std::pair<uint32_t, uint8_t>> pokes = {}) {
    sonk_init();
    EXPECT_TRUE(harness_boot(lua));
    const uint8_t bytes[] = {64, 64, 50, 0, 3, 4};
    for (int i = 0; i < 6; i++) mem_write8(root_process, 0x5538 + i, bytes[i]);
    for (auto [a, v] : pokes) mem_write8(root_process, a, v);
    harness_run_frames(12);
    auto lines = harness_lines();
    harness_shutdown();
    return lines;
}

TEST(AudioApi, NoteDefaultsAndRules) {
    auto out = run(R"LUA(
        local function s(c, f) return tostring(stat(400 + c, f)) end
        note(60, nil, nil, nil, nil, 2) flip()
        _printh(s(2, 0) .. " " .. s(2, 1) .. " " .. s(2, 2) .. " " .. s(2, 4) .. " " .. s(2, 14) .. " " .. s(2, 15))
        note(60.9, 7, 40.7, 0, 0, 1.99) flip()
        _printh(s(1, 1) .. " " .. s(1, 2) .. " " .. s(1, 4))
        note("61", 300, nil, nil, nil, 1) flip()  -- a string takes the default; instrument 300 stops
        _printh(s(1, 0) .. " " .. s(1, 1))
        note(62, 0, 64, 0, 0, 16) note(62, 0, 64, 0, 0, -2) flip()  -- no such channels
        _printh(s(2, 4))
        note() flip()  -- stops every channel
        _printh(s(2, 0) .. " " .. s(2, 1))
    )LUA");
    EXPECT_EQ(out, (std::vector<std::string>{
                       // note on, instrument 0, volume 64, pitch 60, mix volume and base from memory
                       "1.0 0.0 64.0 60.0 50.0 196608.0", "7.0 40.0 60.0", "0.0 -1.0", "60.0", "0.0 -1.0"}));
}

TEST(AudioApi, SfxMusicAndQueries) {
    // Pattern 2 of the default music base (0x553D = 4): track 7 on channel 0.
    auto out = run(R"LUA(
        sfx(3, 5) flip()
        _printh(stat(405, 12) .. " " .. stat(405, 14) .. " " .. stat(405, 15) .. " " .. stat(464))
        sfx(4) flip()  -- the chooser: channel 9 first
        _printh(stat(409, 12) .. " " .. stat(464))
        sfx(-4, 5, 300) flip()
        _printh(stat(405, 14))
        sfx(-1, -1) flip()
        _printh(stat(464))
        music(-5) _printh(stat(466))
        music(2, 0, 3) flip()
        _printh(stat(466) .. " " .. stat(467) .. " " .. stat(400, 12) .. " " .. string.format("%x", stat(400, 15)))
        music(-1) _printh(stat(466) .. " " .. stat(464))
    )LUA",
                   {{0x40128, 7}, {0x40130, 0}, {0x40131, 1}});
    EXPECT_EQ(out, (std::vector<std::string>{"3.0 50.0 196608.0 32", "4.0 544", "255.0", "0", "-5", "2 0 7.0 40000",
                                             "-1 0"}));
}

// The process that last called the audio API is the focus; the channel
// queries answer only the focus.
TEST(AudioApi, FocusFollowsTheCaller) {
    auto out = run(R"LUA(
        note(60, 0, 64, 0, 0, 3) flip()
        local child = _create_process_from_code(
            "_printh('child ' .. stat(403, 4)) note(50, 0, 64, 0, 0, 4) flip() _printh('child ' .. stat(404, 4))",
            "child", "/child.lua")
        for i = 1, 3 do _run_process_slice(child, 1) flip() end
        _printh('root ' .. stat(404, 4) .. ' ' .. stat(403, 1))
        note(55, 0, 64, 0, 0, 3) flip()
        _printh('root ' .. stat(403, 4) .. ' ' .. stat(404, 1))
    )LUA");
    // The child becomes the focus by its note, which stops the root's sound;
    // the root is answered -1 until it calls again, which stops the child's.
    EXPECT_EQ(out, (std::vector<std::string>{"child -1.0", "child 50.0", "root -1.0 -1.0", "root 55.0 -1.0"}));
}

}  // namespace
