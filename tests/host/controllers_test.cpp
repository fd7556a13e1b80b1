// Controllers through SDL's virtual joysticks: slots, players, the at-rest
// checks and the axis rule, and the mapping files.
#include <SDL2/SDL.h>
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "host/controllers.h"
#include "host/host.h"
#include "host/host_fixture.h"
#include "host/input.h"
#include "kernel/state.h"
#include "support/harness.h"

namespace {

// A virtual pad with a controller mapping; the test keeps its own handle to set values.
struct Pad {
    int device = -1;
    SDL_Joystick* j = nullptr;
    int instance() const { return SDL_JoystickInstanceID(j); }
};

Pad attach(uint16_t product, bool game_controller = true) {
    SDL_VirtualJoystickDesc d{};
    d.version = SDL_VIRTUAL_JOYSTICK_DESC_VERSION;
    d.type = game_controller ? SDL_JOYSTICK_TYPE_GAMECONTROLLER : SDL_JOYSTICK_TYPE_UNKNOWN;
    d.naxes = SDL_CONTROLLER_AXIS_MAX;
    d.nbuttons = SDL_CONTROLLER_BUTTON_MAX;
    d.vendor_id = 0x7777;
    d.product_id = product;
    d.name = game_controller ? "test pad" : "test stick";
    Pad p;
    p.device = SDL_JoystickAttachVirtualEx(&d);
    p.j = SDL_JoystickOpen(p.device);
    return p;
}

void detach(Pad& p) {
    SDL_JoystickClose(p.j);
    SDL_JoystickDetachVirtual(p.device);
}

// Pumps twice: device events, then values that arrive with the next update.
void settle() {
    handle_sdl_messages();
    handle_sdl_messages();
    wm_queue();
}

// Reads every player once, as a frame's button update does: axes at rest and
// released buttons are validated by being read.
void read_all() {
    uint8_t v[16];
    for (int pl = 0; pl < 8; pl++) os_get_button_states(pl, v);
}

void detach_all() {
    for (int i = SDL_NumJoysticks() - 1; i >= 0; i--)
        if (SDL_JoystickIsVirtual(i)) SDL_JoystickDetachVirtual(i);
    settle();
}

class Controllers : public ::testing::Test {
protected:
    void SetUp() override {
        host_up();
        // The dummy window never has focus; SDL drops pad input without it.
        SDL_SetHint(SDL_HINT_JOYSTICK_ALLOW_BACKGROUND_EVENTS, "1");
        detach_all();
        ASSERT_EQ(joystick_slots_used(), 0);
    }
    void TearDown() override { detach_all(); }
};

TEST_F(Controllers, RemovingTheFirstMakesTheSecondPlayerZero) {
    Pad a = attach(1), b = attach(2);
    settle();
    ASSERT_EQ(joystick_slots_used(), 2);
    EXPECT_EQ(joystick_slot_instance(0), a.instance());
    EXPECT_EQ(joystick_slot_instance(1), b.instance());
    // An added event for a device already open (as at start-up) opens nothing twice.
    controller_device_added(0);
    joystick_device_added(1);
    EXPECT_EQ(joystick_slots_used(), 2);
    int b_id = b.instance();
    settle();
    read_all();
    detach(a);
    settle();
    EXPECT_EQ(joystick_slots_used(), 1);
    EXPECT_EQ(joystick_slot_instance(0), b_id);
    EXPECT_EQ(joystick_slot_instance(1), -1);
    // The second pad's buttons are now player 0's.
    SDL_JoystickSetVirtualButton(b.j, SDL_CONTROLLER_BUTTON_A, 1);
    settle();
    uint8_t v[16];
    os_get_button_states(0, v);
    EXPECT_EQ(v[4], 255);
    os_get_button_states(1, v);
    EXPECT_EQ(v[4], 0);
    detach(b);
}

TEST_F(Controllers, PlainJoysticksComeAndGo) {
    Pad s = attach(3, false);
    settle();
    EXPECT_EQ(joystick_slots_used(), 1);
    detach(s);
    settle();
    EXPECT_EQ(joystick_slots_used(), 0);
}

TEST_F(Controllers, ButtonHeldAtConnectCountsOnceReleased) {
    Pad p = attach(4);
    SDL_JoystickSetVirtualButton(p.j, SDL_CONTROLLER_BUTTON_B, 1);
    settle();
    int x, y;
    uint32_t bits;
    tolo_get_joystick(0, &x, &y, &bits);
    EXPECT_EQ(bits, 0u);
    SDL_JoystickSetVirtualButton(p.j, SDL_CONTROLLER_BUTTON_B, 0);
    settle();
    tolo_get_joystick(0, &x, &y, &bits);
    SDL_JoystickSetVirtualButton(p.j, SDL_CONTROLLER_BUTTON_B, 1);
    settle();
    tolo_get_joystick(0, &x, &y, &bits);
    EXPECT_EQ(bits, 1u << SDL_CONTROLLER_BUTTON_B);
    detach(p);
}

TEST_F(Controllers, AxisReadsZeroUntilSeenAtRest) {
    // A plain joystick's trigger resting at its minimum.
    Pad p = attach(5, false);
    SDL_JoystickSetVirtualAxis(p.j, 4, -32768);
    SDL_JoystickSetVirtualAxis(p.j, 0, 20000);
    settle();
    int a, b;
    tolo_get_joystick_axes(0, 4, 0, &a, &b);
    EXPECT_EQ(a, 0);
    EXPECT_EQ(b, 0);
    SDL_JoystickSetVirtualAxis(p.j, 4, 8191);
    settle();
    tolo_get_joystick_axes(0, 4, 0, &a, &b);
    EXPECT_EQ(a, 8191);
    EXPECT_EQ(b, 0);  // still never seen at rest
    SDL_JoystickSetVirtualAxis(p.j, 4, -32768);
    SDL_JoystickSetVirtualAxis(p.j, 0, -8191);
    settle();
    tolo_get_joystick_axes(0, 4, 0, &a, &b);
    EXPECT_EQ(a, -32768);
    EXPECT_EQ(b, -8191);
    detach(p);
}

// Stick values to button values through btn, for a second player.
TEST_F(Controllers, AxisRuleThroughBtn) {
    Pad other = attach(6), p = attach(7);
    settle();
    read_all();  // both sticks seen at rest
    struct Case {
        int x, y;
        const char* want;  // btn 0..3 of player 1
    } cases[] = {
        {8192, 0, "false false false false"},
        {8280, 0, "false 1 false false"},
        {16384, 0, "false 93 false false"},
        {30631, 0, "false 254 false false"},
        {30632, 0, "false 255 false false"},
        {-32768, 0, "255 false false false"},
        {32767, 32767, "false 181 false 181"},  // a full diagonal
        {-32768, -32768, "181 false 181 false"},
    };
    for (const Case& c : cases) {
        SDL_JoystickSetVirtualAxis(p.j, SDL_CONTROLLER_AXIS_LEFTX, (Sint16)c.x);
        SDL_JoystickSetVirtualAxis(p.j, SDL_CONTROLLER_AXIS_LEFTY, (Sint16)c.y);
        settle();
        std::vector<std::string> out =
            harness_eval({"(function() _update_buttons(true) return tostring(btn(0,1))..' '..tostring(btn(1,1))"
                          "..' '..tostring(btn(2,1))..' '..tostring(btn(3,1)) end)()"});
        host_up();
        EXPECT_EQ(out, std::vector<std::string>{std::string("\"") + c.want + "\""}) << c.x << "," << c.y;
    }
    // Player 1 holding up: btn() has bit 8 + 2.
    SDL_JoystickSetVirtualAxis(p.j, SDL_CONTROLLER_AXIS_LEFTX, 0);
    SDL_JoystickSetVirtualAxis(p.j, SDL_CONTROLLER_AXIS_LEFTY, 0);
    settle();
    read_all();
    SDL_JoystickSetVirtualButton(p.j, SDL_CONTROLLER_BUTTON_DPAD_UP, 1);
    settle();
    EXPECT_EQ(harness_eval({"(function() _update_buttons(true) return btn() end)()"}),
              std::vector<std::string>{"1024"});
    host_up();
    detach(other);
    detach(p);
}

std::string slurp(const std::string& path) {
    std::ifstream f(path);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

TEST_F(Controllers, MappingFile) {
    char path[1024], log[1024];
    tolo_prefix_with_appdata_path("sdl_controllers.txt", path);
    tolo_prefix_with_appdata_path("log.txt", log);
    // Created when missing.
    remove(path);
    add_sdl_controllers();
    EXPECT_EQ(slurp(path), "// add SDL2 game controller mappings to this file\n");
    const char* mapping =
        "03000000aaaa0000bbbb000000000000,Made Up Pad,a:b0,b:b1,x:b2,y:b3,leftx:a0,lefty:a1,platform:Linux,";
    std::ofstream(path) << "  // two slashes after blanks\n\n/ one slash\nnot a mapping\n  " << mapping
                        << "  \r\n";
    add_sdl_controllers();
    std::string text = slurp(log);
    EXPECT_NE(text.find(" failed to add controller mapping: not a mapping\n"), std::string::npos);
    EXPECT_NE(text.find(std::string(" added controller mapping: ") + mapping + "\n"), std::string::npos);
    EXPECT_EQ(text.find("two slashes"), std::string::npos);
    EXPECT_EQ(text.find("one slash"), std::string::npos);
    char* m = SDL_GameControllerMappingForGUID(SDL_JoystickGetGUIDFromString("03000000aaaa0000bbbb000000000000"));
    ASSERT_NE(m, nullptr);
    EXPECT_NE(std::string(m).find("Made Up Pad"), std::string::npos);
    SDL_free(m);
}

}  // namespace
