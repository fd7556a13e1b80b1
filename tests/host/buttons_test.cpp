// The button model through the real btn, btnp and _update_buttons, fed by
// keys pushed through SDL's queue and the event pump.
#include <SDL2/SDL.h>
#include <gtest/gtest.h>

#include "graphics/memory.h"
#include "host/host_fixture.h"
#include "host/input.h"
#include "kernel/process.h"
#include "kernel/state.h"
#include "support/harness.h"

namespace {

using Keys = std::vector<int>;

enum : int { LEFT = 80, RIGHT = 79, UP = 82, DOWN = 81, Z = 29, X = 27, RETURN = 40, LALT = 226, RALT = 230 };

// Runs body once a frame (after _update_buttons(true)); keys[i] are held in frame i.
std::vector<std::string> frames(const std::string& body, const std::vector<Keys>& keys,
                                 void (*setup)() = nullptr) {
    host_up();
    EXPECT_TRUE(harness_boot("while true do _update_buttons(true) " + body + " flip() end"));
    config.headless = 0;
    app.focus_gain_time = -1000;
    if (setup) setup();
    for (const Keys& held : keys) {
        for (int k : held) {
            SDL_Event e{};
            e.type = SDL_KEYDOWN;
            e.key.keysym.scancode = (SDL_Scancode)k;
            SDL_PushEvent(&e);
        }
        handle_sdl_messages();
        harness_run_frames(1);
    }
    return harness_lines();
}

std::vector<Keys> hold(const Keys& k, int n) { return std::vector<Keys>(n, k); }

TEST(Buttons, KeysToButtons) {
    struct Case {
        Keys keys;
        const char* want;
    } cases[] = {
        {{LEFT}, "255 false false false 1"},
        {{LEFT, RIGHT}, "false false false false 0"},  // opposites cancel
        {{UP, DOWN, RIGHT}, "false 255 false false 2"},
        {{Z}, "false false false false 16"},
        {{6}, "false false false false 16"},            // C is O too
        {{RETURN}, "false false false false 64"},
        {{RETURN, LALT}, "false false false false 0"},  // Alt+Return is not the menu
        {{RETURN, RALT}, "false false false false 0"},
        {{4, 22}, "false false false false 0"},         // A and S: second stick, above bit 7
    };
    for (const Case& c : cases) {
        std::vector<std::string> out = frames("_printh(tostring(btn(0))..' '..tostring(btn(1))..' '.."
                                              "tostring(btn(0,1))..' '..tostring(btn(16))..' '..btn())",
                                              {c.keys});
        ASSERT_EQ(out.size(), 1u);
        EXPECT_EQ(out[0], c.want) << c.keys[0];
    }
    std::vector<std::string> out = frames("_printh(tostring(btn(8))..' '..tostring(btn(11))..' '..tostring(btn(-2)))",
                                          {{4, 22}});
    EXPECT_EQ(out, std::vector<std::string>{"181 181 false"});  // a diagonal, limited like a stick
}

TEST(Buttons, MirrorHoldsRawValues) {
    frames("", {{LEFT, RIGHT, X}});
    // Written before the opposites cancel.
    EXPECT_EQ(mem_read8(root_process, 0x5580), 255);
    EXPECT_EQ(mem_read8(root_process, 0x5581), 255);
    EXPECT_EQ(mem_read8(root_process, 0x5585), 255);
    EXPECT_EQ(mem_read8(root_process, 0x5584), 0);
    EXPECT_EQ(mem_read8(root_process, 0x5590), 0);  // player 1
}

// Frames (1-based) in which btnp(4) answered true while Z was held for n frames.
std::string btnp_frames(int n, void (*setup)()) {
    std::vector<std::string> out = frames("_printh(tostring(btnp(4)))", hold({Z}, n), setup);
    std::string s;
    for (size_t i = 0; i < out.size(); i++)
        if (out[i] == "true") s += std::to_string(i + 1) + " ";
    return s;
}

TEST(Buttons, RepeatDelayAndInterval) {
    EXPECT_EQ(btnp_frames(50, [] {}), "1 31 39 47 ");
    EXPECT_EQ(btnp_frames(50, [] { mem_write8(root_process, 0x5F5C, 255); }), "1 ");
    EXPECT_EQ(btnp_frames(20, [] {
                  mem_write8(root_process, 0x5F5C, 5);
                  mem_write8(root_process, 0x5F5D, 3);
              }),
              "1 6 9 12 15 18 ");
    EXPECT_EQ(btnp_frames(20, [] {
                  mem_write8(root_process, 0x5F5C, 2);
                  mem_write8(root_process, 0x5F5D, 255);
              }),
              "1 3 ");
}

TEST(Buttons, BtnpBitsAndArguments) {
    std::vector<std::string> out =
        frames("_printh(btnp()..' '..tostring(btnp(4,8))..' '..tostring(btnp(99)))", {{Z, LEFT}, {Z, LEFT}, {}, {Z}});
    EXPECT_EQ(out, (std::vector<std::string>{"17 false false", "0 false false", "0 false false", "16 false false"}));
}

TEST(Buttons, SuppressionUntilReleased) {
    // _update_buttons(false) in frame 2 while Z is held: reads 0 until let go.
    std::vector<std::string> out = frames(
        "_printh(tostring(btn(4))) if not done then done = true elseif not reset then reset = true _update_buttons(false) end",
        {{Z}, {Z}, {Z}, {Z}, {}, {Z}});
    EXPECT_EQ(out, (std::vector<std::string>{"255", "255", "false", "false", "false", "255"}));
    // _signal 23 does the same to the current values.
    out = frames("_printh(tostring(btn(4))) if not s then s = true _signal(23) end", {{Z}, {Z}, {}, {Z}});
    EXPECT_EQ(out, (std::vector<std::string>{"255", "false", "false", "255"}));
}

}  // namespace
