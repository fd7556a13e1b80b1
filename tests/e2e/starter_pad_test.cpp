// A game controller in a program the starter system runs: the real ROM booted
// in-process with SDL's dummy video driver, and a virtual pad made as the
// controller tests make one. The program only reads btn and btnp; its buttons
// follow the pad while it has the input focus and are reset when it loses it.
#include <SDL2/SDL.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

#include "host/host.h"
#include "kernel/api.h"
#include "kernel/process.h"
#include "kernel/state.h"

namespace {

std::vector<std::string> printed;

void collect(const char* s, size_t n) { printed.emplace_back(s, n); }

const char* kProgram = R"LUA(
_printh("ready")
local last
while true do
  local s = tostring(btn(1)) .. " " .. tostring(btn(4)) .. " " .. tostring(btnp(4))
  if s ~= last then _printh(s) last = s end
  flip()
end
)LUA";

size_t seen;  // lines already looked at

// Runs frames until a line not yet looked at passes the test; true when one did.
template <class Test> bool run_until(Test test, int frames = 300) {
    for (int i = 0; i <= frames; i++) {
        for (; seen < printed.size(); seen++)
            if (test(printed[seen])) return seen++, true;
        if (i < frames) system_frame();
    }
    return false;
}

bool line_is(const std::string& want, int frames = 300) {
    return run_until([&](const std::string& l) { return l == want; }, frames);
}

TEST(StarterPad, FocusedProgramReadsThePadAndLosesItWithTheFocus) {
    char t[] = "/tmp/orv_starter_pad_XXXXXX";
    std::string home = mkdtemp(t);
    mkdir((home + "/drive").c_str(), 0755);
    std::ofstream(home + "/drive/pad.lua") << kProgram;
    // The dummy window never has the focus; SDL drops pad input without it.
    setenv("SDL_JOYSTICK_ALLOW_BACKGROUND_EVENTS", "1", 1);
    snprintf(tolo_argv0, sizeof tolo_argv0, "%s/orvanta", ORVANTA_BUILD_DIR);
    config_set_defaults();
    const char* argv[] = {"orvanta", "-home", home.c_str(), "/pad.lua"};
    process_arguments(4, (char**)argv);
    char path[1024];
    ASSERT_GE(load_dat_files(tolo_prefix_with_program_path("sysrom.dat", path)), 2);
    api_printh_hook = collect;
    reset_app_state();
    system_frame();  // starts the host

    SDL_VirtualJoystickDesc d{};
    d.version = SDL_VIRTUAL_JOYSTICK_DESC_VERSION;
    d.type = SDL_JOYSTICK_TYPE_GAMECONTROLLER;
    d.naxes = SDL_CONTROLLER_AXIS_MAX;
    d.nbuttons = SDL_CONTROLLER_BUTTON_MAX;
    d.name = "test pad";
    int device = SDL_JoystickAttachVirtualEx(&d);
    ASSERT_GE(device, 0) << SDL_GetError();
    SDL_Joystick* j = SDL_JoystickOpen(device);
    ASSERT_NE(j, nullptr);

    ASSERT_TRUE(line_is("ready")) << "the program did not start";
    ASSERT_TRUE(line_is("false false false"));
    // The left stick part-way right: button 1 by the axis rule; A is button 4, newly pressed once.
    SDL_JoystickSetVirtualAxis(j, SDL_CONTROLLER_AXIS_LEFTX, 20000);
    EXPECT_TRUE(line_is("134 false false"));
    SDL_JoystickSetVirtualButton(j, SDL_CONTROLLER_BUTTON_A, 1);
    EXPECT_TRUE(line_is("134 255 true"));
    EXPECT_TRUE(line_is("134 255 false", 3));

    // A newer program takes the focus: the held pad no longer reaches the first.
    Process* other = create_process_from_code("while true do flip() end", "other", "/other.lua");
    ASSERT_NE(other, nullptr);
    uint64_t other_pid = other->pid;
    EXPECT_TRUE(line_is("false false false", 10));
    // The focus comes back with the pad still held: nothing counts until let go.
    kill_process_by_id(other_pid);
    EXPECT_FALSE(run_until([](const std::string& l) { return l != "false false false"; }, 30));
    SDL_JoystickSetVirtualAxis(j, SDL_CONTROLLER_AXIS_LEFTX, 0);
    SDL_JoystickSetVirtualButton(j, SDL_CONTROLLER_BUTTON_A, 0);
    for (int i = 0; i < 5; i++) system_frame();
    SDL_JoystickSetVirtualButton(j, SDL_CONTROLLER_BUTTON_A, 1);
    EXPECT_TRUE(line_is("false 255 true", 30));

    SDL_JoystickClose(j);
    SDL_JoystickDetachVirtual(device);
    api_printh_hook = nullptr;
    system(("rm -rf '" + home + "'").c_str());
}

}  // namespace
