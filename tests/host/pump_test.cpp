// The event pump through SDL's own queue: HostEvent texts, their order, keys,
// focus, the mouse mapping, the locked mouse and dropped files.
#include <SDL2/SDL.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>

#include "host/host.h"
#include "host/host_fixture.h"
#include "host/input.h"
#include "host/window.h"
#include "kernel/state.h"
#include "storage/pdisk.h"
#include "support/harness.h"

using Texts = std::vector<std::string>;

namespace {

void push_key(int scancode) {
    SDL_Event e{};
    e.type = SDL_KEYDOWN;
    e.key.keysym.scancode = (SDL_Scancode)scancode;
    e.key.state = SDL_PRESSED;
    SDL_PushEvent(&e);
}

void push_text(const char* text) {
    SDL_Event e{};
    e.type = SDL_TEXTINPUT;
    snprintf(e.text.text, sizeof e.text.text, "%s", text);
    SDL_PushEvent(&e);
}

void push_wheel(int x, int y) {
    SDL_Event e{};
    e.type = SDL_MOUSEWHEEL;
    e.wheel.x = x;
    e.wheel.y = y;
    SDL_PushEvent(&e);
}

void push_window_event(int id) {
    SDL_Event e{};
    e.type = SDL_WINDOWEVENT;
    e.window.event = (Uint8)id;
    e.window.windowID = SDL_GetWindowID(sdl_window);
    SDL_PushEvent(&e);
}

void push_button(int type, int button) {
    SDL_Event e{};
    e.type = type;
    e.button.button = (Uint8)button;
    SDL_PushEvent(&e);
}

void push_motion(int x, int y) {
    SDL_Event e{};
    e.type = SDL_MOUSEMOTION;
    e.motion.x = x;
    e.motion.y = y;
    SDL_PushEvent(&e);
}

class Pump : public ::testing::Test {
protected:
    void SetUp() override {
        host_up();
        SDL_SetWindowSize(sdl_window, 960, 540);
        config.fullscreen = 0;
        app.mouse_locked = 0;
        app.focus_gain_time = -1000;
        // Pointer at a fixed place, its event already sent.
        SDL_WarpMouseInWindow(sdl_window, 100, 100);
        pump();
        pump();
    }
};

TEST_F(Pump, OrderWithinAFrameAndKeyReleaseOnTheNext) {
    push_text("a\"\\");
    push_key(30);
    push_wheel(1, -2);
    push_key(4);
    push_text("b");
    SDL_WarpMouseInWindow(sdl_window, 500, 300);
    EXPECT_EQ(pump(), (Texts{
                          "{event=\"textinput\",text=\"a\\034\\092\"}",
                          "{event=\"mousewheel\",wheel_x=1,wheel_y=-2}",
                          "{event=\"textinput\",text=\"b\"}",
                          "{event=\"keydown\",scancode=4}",
                          "{event=\"keydown\",scancode=30}",
                          "{event=\"mouse\",mx=250,my=150,mb=0}",
                      }));
    // Pressed and released between frames: down for one frame, up on the next.
    EXPECT_EQ(os_key_state(4), 1);
    EXPECT_EQ(pump(), (Texts{"{event=\"keyup\",scancode=4}", "{event=\"keyup\",scancode=30}"}));
    EXPECT_EQ(os_key_state(4), 0);
    EXPECT_EQ(pump(), Texts{});
}

TEST_F(Pump, ScancodesOutOfRangeAreIgnored) {
    push_key(600);
    push_key(-1);
    EXPECT_EQ(pump(), Texts{});
    EXPECT_EQ(os_key_state(600), 0);
    EXPECT_EQ(os_key_state(-1), 0);
}

TEST_F(Pump, KeysIgnoredForAFocusHold) {
    push_key(7);
    EXPECT_EQ(pump(), Texts{"{event=\"keydown\",scancode=7}"});
    // Focus gained: the key that was down reads up at once, new presses count only later.
    push_window_event(SDL_WINDOWEVENT_FOCUS_GAINED);
    push_key(7);
    push_key(8);
    EXPECT_EQ(pump(), Texts{"{event=\"keyup\",scancode=7}"});
    EXPECT_EQ(app.window_active, 1);
    app.focus_gain_time = -1000;
    push_key(8);
    EXPECT_EQ(pump(), Texts{"{event=\"keydown\",scancode=8}"});
    pump();
    push_window_event(SDL_WINDOWEVENT_FOCUS_LOST);
    pump();
    EXPECT_EQ(app.window_active, 0);
    push_window_event(SDL_WINDOWEVENT_FOCUS_GAINED);
    pump();
    app.focus_gain_time = -1000;
}

TEST_F(Pump, MouseThroughTheDestinationRectangle) {
    SDL_SetWindowSize(sdl_window, 1000, 600);  // screen at (20, 30), 960 x 540
    struct Case {
        int hx, hy, fullscreen;
        const char* text;
    } cases[] = {
        {500, 300, 0, "{event=\"mouse\",mx=240,my=135,mb=0}"},
        {20, 30, 0, "{event=\"mouse\",mx=0,my=0,mb=0}"},
        {979, 569, 0, "{event=\"mouse\",mx=479,my=269,mb=0}"},
        // Over the border: outside the screen in a window, clamped in fullscreen.
        {5, 5, 0, "{event=\"mouse\",mx=-7,my=-12,mb=0}"},
        {995, 590, 0, "{event=\"mouse\",mx=487,my=280,mb=0}"},
        {5, 5, 1, "{event=\"mouse\",mx=0,my=0,mb=0}"},
        {995, 590, 1, "{event=\"mouse\",mx=479,my=269,mb=0}"},
    };
    for (const Case& c : cases) {
        config.fullscreen = c.fullscreen;
        SDL_WarpMouseInWindow(sdl_window, c.hx, c.hy);
        EXPECT_EQ(pump(), Texts{c.text}) << c.hx << "," << c.hy;
    }
    config.fullscreen = 0;
    EXPECT_EQ(pump(), Texts{"{event=\"mouse\",mx=487,my=280,mb=0}"});
    EXPECT_EQ(pump(), Texts{});  // unchanged: nothing sent
}

TEST_F(Pump, EmptyRectangleKeepsThePointer) {
    config.stretch = 1;  // pixel_perfect and stretch in a window narrower than 480
    SDL_SetWindowSize(sdl_window, 400, 300);
    SDL_WarpMouseInWindow(sdl_window, 10, 10);
    push_button(SDL_MOUSEBUTTONDOWN, SDL_BUTTON_LEFT);
    EXPECT_EQ(pump(), Texts{});
    config.stretch = 0;
    SDL_SetWindowSize(sdl_window, 960, 540);
    EXPECT_EQ(pump(), Texts{"{event=\"mouse\",mx=5,my=5,mb=0}"});
}

TEST_F(Pump, ClickWithinOneFrameIsNotLost) {
    push_button(SDL_MOUSEBUTTONDOWN, SDL_BUTTON_RIGHT);
    push_button(SDL_MOUSEBUTTONUP, SDL_BUTTON_RIGHT);
    push_button(SDL_MOUSEBUTTONDOWN, SDL_BUTTON_MIDDLE);
    EXPECT_EQ(pump(), Texts{"{event=\"mouse\",mx=50,my=50,mb=6}"});
    EXPECT_EQ(pump(), Texts{"{event=\"mouse\",mx=50,my=50,mb=0}"});
}

TEST_F(Pump, LockedAccumulatorSteps) {
    struct Case {
        int acc;
        const char* text;
        int rest;
    } cases[] = {
        {200, "{event=\"mouselockedmove\",locked_dx=3,locked_dy=0}", 8},
        {-200, "{event=\"mouselockedmove\",locked_dx=-3,locked_dy=0}", -8},
        {63, nullptr, 63},
        {INT32_MIN, "{event=\"mouselockedmove\",locked_dx=-33554432,locked_dy=0}", 0},  // saturated
    };
    os_lock_mouse_cursor(4, 64, 64);
    pump();
    for (const Case& c : cases) {
        app.locked_acc_x = c.acc;
        app.locked_acc_y = 0;
        Texts got = pump();
        Texts want;
        if (c.text) want.push_back(c.text);
        EXPECT_EQ(got, want) << c.acc;
        EXPECT_EQ(app.locked_acc_x, c.rest);
    }
    os_lock_mouse_cursor(0, 64, 64);
    EXPECT_EQ(app.mouse_locked, 0);
    pump();
    EXPECT_EQ(app.locked_acc_x, 0);
}

TEST_F(Pump, LockSensitivityScalesStepsAndVirtualPointer) {
    // The screen is scaled by 2: 20 host units are 10 virtual pixels.
    struct Case {
        int sensitivity;
        const char* move;
        const char* mouse;
    } cases[] = {
        {64, "{event=\"mouselockedmove\",locked_dx=10,locked_dy=-5}", "{event=\"mouse\",mx=250,my=145,mb=0}"},
        {128, "{event=\"mouselockedmove\",locked_dx=20,locked_dy=-10}", "{event=\"mouse\",mx=260,my=140,mb=0}"},
        {0, nullptr, nullptr},
    };
    for (const Case& c : cases) {
        os_lock_mouse_cursor(0, 64, 64);
        pump();
        SDL_WarpMouseInWindow(sdl_window, 480, 300);  // virtual (240, 150)
        pump();
        os_lock_mouse_cursor(4, c.sensitivity, c.sensitivity);
        push_motion(480, 270);  // the first motion after locking only starts the accumulators
        pump();
        push_motion(500, 260);
        Texts got = pump();
        Texts want;
        if (c.mouse) want.push_back(c.mouse);
        if (c.move) want.push_back(c.move);
        EXPECT_EQ(got, want) << c.sensitivity;
    }
    os_lock_mouse_cursor(0, 64, 64);
    pump();
}

TEST_F(Pump, WarpMouse) {
    os_warp_mouse_pointer(100, 50);
    EXPECT_EQ(pump(), Texts{"{event=\"mouse\",mx=100,my=50,mb=0}"});
    int x, y;
    SDL_GetMouseState(&x, &y);
    EXPECT_EQ(x, 200);
    EXPECT_EQ(y, 100);
    // Far outside the screen, with the screen off the window's corner: the
    // pointer stops at the window's edge (999, 0).
    SDL_SetWindowSize(sdl_window, 1000, 600);
    os_warp_mouse_pointer(INT32_MAX, INT32_MIN);
    EXPECT_EQ(pump(), Texts{"{event=\"mouse\",mx=489,my=-15,mb=0}"});
    // Unlocking puts the host pointer where the far virtual pointer is.
    os_lock_mouse_cursor(4, 64, 64);
    os_warp_mouse_pointer(INT32_MAX, INT32_MIN);
    os_lock_mouse_cursor(0, 64, 64);
    SDL_GetMouseState(&x, &y);
    EXPECT_EQ(x, 999);
    EXPECT_EQ(y, 0);
    pump();
}

TEST_F(Pump, DroppedFiles) {
    char dir[] = "/tmp/orvanta_drop_XXXXXX";
    ASSERT_TRUE(mkdtemp(dir));
    std::string small = std::string(dir) + "/note.txt", big = std::string(dir) + "/big.bin",
                fifo = std::string(dir) + "/pipe", folder = std::string(dir) + "/folder";
    std::ofstream(small) << "dropped";
    // Sparse: larger than anything the system passes around, never read.
    ASSERT_EQ(truncate((std::ofstream(big), big.c_str()), (off_t)65 << 20), 0);
    // A pipe with no writer would block a reader for good.
    ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
    ASSERT_EQ(mkdir(folder.c_str(), 0755), 0);
    for (const std::string& p : {small, big, fifo, folder}) {
        SDL_Event e{};
        e.type = SDL_DROPFILE;
        e.drop.file = SDL_strdup(p.c_str());
        SDL_PushEvent(&e);
    }
    SDL_Event t{};
    t.type = SDL_DROPTEXT;
    t.drop.file = SDL_strdup("some text");
    SDL_PushEvent(&t);
    Texts got = pump();
    ASSERT_EQ(got.size(), 4u);
    EXPECT_EQ(got[0], "{event=\"drop_items\",items={{orb_type=\"file_reference\",fullpath=\"/ram/drop/note.txt\"}}}");
    EXPECT_NE(got[1].find("user_notification"), std::string::npos) << got[1];
    EXPECT_NE(got[1].find("big.bin"), std::string::npos) << got[1];
    const std::string not_a_file = "{event=\"user_notification\",content=\"** dropping folders (and size zero files) "
                                   "currently not supported **\"}";
    EXPECT_EQ(got[2], not_a_file);
    EXPECT_EQ(got[3], not_a_file);
    EXPECT_FALSE(pdisk_file_exists("/ram/drop/pipe"));
    EXPECT_TRUE(pdisk_file_exists("/ram/drop/note.txt"));
    EXPECT_FALSE(pdisk_file_exists("/ram/drop/big.bin"));
    system((std::string("rm -rf ") + dir).c_str());
}

// A quit seen by stat(988) inside a slice waits for the top of the next frame.
TEST_F(Pump, QuitInsideASliceWaitsForTheNextFrame) {
    // A forked child has no audio thread, so closing the device at exit would
    // wait for ever; the child starts afresh instead.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            harness_clear_output();
            SDL_Event q{};
            q.type = SDL_QUIT;
            SDL_PushEvent(&q);
            harness_boot(R"( stat(988) _printh("resumed") )");
            config.headless = 0;
            harness_run_frames(1);
            if (harness_output() == "resumed\n") fprintf(stderr, "slice finished\n");
            handle_sdl_messages();
            fprintf(stderr, "still running\n");
        },
        ::testing::ExitedWithCode(0), "slice finished");
}

}  // namespace
