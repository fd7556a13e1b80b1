// The button model: keyboard and controllers as eight players' sixteen
// buttons of 0..255, kept per process and mirrored to 0x5580.
#include <cmath>
#include <cstring>

#include "host/controllers.h"
#include "host/input.h"
#include "kernel/api_tables.h"
#include "kernel/process.h"
#include "lua.h"

constexpr int PLAYERS = 8;
constexpr int BUTTONS = 16;
constexpr uint32_t BUTTON_MIRROR = 0x5580;

// One direction of a stick: dead zone 8192 of 32768, full value from about 30632.
static uint8_t axis_value(int v) {
    int64_t m = ((int64_t)256 * (v < 0 ? -(int64_t)v : v) - 2097152) / 22528;
    return (uint8_t)(m < 0 ? 0 : m > 255 ? 255 : m);
}

static void axis_pair(int v, uint8_t* negative, uint8_t* positive) {
    if (v < 0) *negative = axis_value(v);
    if (v > 0) *positive = axis_value(v);
}

// Controller buttons by SDL's controller button numbers.
enum : int { PAD_A = 0, PAD_B = 1, PAD_X = 2, PAD_Y = 3, PAD_GUIDE = 5, PAD_START = 6, PAD_LEFT_SHOULDER = 9,
             PAD_RIGHT_SHOULDER = 10, PAD_UP = 11, PAD_DOWN = 12, PAD_LEFT = 13, PAD_RIGHT = 14 };

struct ButtonSource {
    int button;
    int pad[2];  // -1 for none
    int key[2];  // SDL scancodes, -1 for none
};

static const ButtonSource button_sources[] = {
    {0, {PAD_LEFT, -1}, {80, -1}},           // left
    {1, {PAD_RIGHT, -1}, {79, -1}},          // right
    {2, {PAD_UP, -1}, {82, -1}},             // up
    {3, {PAD_DOWN, -1}, {81, -1}},           // down
    {4, {PAD_A, -1}, {29, 6}},               // O: Z or C
    {5, {PAD_X, -1}, {27, 25}},              // X: X or V
    {6, {PAD_START, PAD_GUIDE}, {-1, -1}},   // menu: Return is checked with Alt below
    {8, {-1, -1}, {4, -1}},                  // second stick: A D W S
    {9, {-1, -1}, {7, -1}},
    {10, {-1, -1}, {26, -1}},
    {11, {-1, -1}, {22, -1}},
    {12, {PAD_B, -1}, {9, -1}},              // F
    {13, {PAD_Y, -1}, {10, -1}},             // G
    {14, {PAD_LEFT_SHOULDER, -1}, {20, -1}}, // Q
    {15, {PAD_RIGHT_SHOULDER, -1}, {8, -1}}, // E
};

uint32_t os_get_button_states(int player, uint8_t out[16]) {
    memset(out, 0, BUTTONS);
    int lx, ly, rx, ry;
    tolo_get_joystick_axes(player, 0, 1, &lx, &ly);
    tolo_get_joystick_axes(player, 2, 3, &rx, &ry);
    axis_pair(lx, &out[0], &out[1]);
    axis_pair(ly, &out[2], &out[3]);
    axis_pair(rx, &out[8], &out[9]);
    axis_pair(ry, &out[10], &out[11]);
    int x, y;
    uint32_t pad;
    tolo_get_joystick(player, &x, &y, &pad);
    for (const ButtonSource& s : button_sources) {
        for (int b : s.pad)
            if (b >= 0 && (pad & (1u << b))) out[s.button] = 255;
        if (player != 0) continue;
        for (int k : s.key)
            if (k >= 0 && os_key_state(k)) out[s.button] = 255;
    }
    // Return is the menu button only while neither Alt key is down.
    if (player == 0 && os_key_state(40) && !os_key_state(226) && !os_key_state(230)) out[6] = 255;
    return pad;
}

static void cancel_opposites(uint8_t* v) {
    static const int pairs[4][2] = {{0, 1}, {2, 3}, {8, 9}, {10, 11}};
    for (const auto& p : pairs)
        if (v[p[0]] && v[p[1]]) v[p[0]] = v[p[1]] = 0;
}

// A stick pushed to a diagonal reads no more than a full push along one axis.
static void limit_diagonal(uint8_t* v, int base) {
    int x = v[base + 1] - v[base], y = v[base + 3] - v[base + 2];
    int64_t m2 = (int64_t)x * x + (int64_t)y * y;
    if (m2 <= 65536) return;
    double m = std::sqrt((double)m2);
    for (int i = base; i < base + 4; i++) {
        double s = std::trunc(v[i] * 256.0 / m);
        v[i] = (uint8_t)(s < 0 ? 0 : s > 255 ? 255 : s);
    }
}

static void update_buttons(Process* p) {
    ButtonBlock& b = p->buttons;
    memcpy(b.previous, b.current, sizeof b.current);
    memset(b.current, 0, sizeof b.current);
    for (int pl = 0; pl < PLAYERS; pl++) os_get_button_states(pl, b.current[pl]);
    const uint8_t* raw = &b.current[0][0];
    for (uint32_t i = 0; i < PLAYERS * BUTTONS; i++) mem_write8(p, BUTTON_MIRROR + i, raw[i]);
    for (int pl = 0; pl < PLAYERS; pl++) {
        cancel_opposites(b.current[pl]);
        limit_diagonal(b.current[pl], 0);
        limit_diagonal(b.current[pl], 8);
    }
    for (int pl = 0; pl < PLAYERS; pl++)
        for (int i = 0; i < BUTTONS; i++) {
            if (!b.suppress[pl][i]) continue;
            if (b.current[pl][i]) b.current[pl][i] = 0;
            else b.suppress[pl][i] = 0;  // released: counts again from the next press
        }
}

void input_suppress_buttons(Process* p) {
    memset(p->buttons.current, 0, sizeof p->buttons.current);
    memset(p->buttons.suppress, 1, sizeof p->buttons.suppress);
}

static int lua54_update_buttons(lua_State* L) {
    Process* p = cproc;
    if (!p) return 0;
    if (lua_toboolean(L, 1)) {
        update_buttons(p);
    } else {
        ButtonBlock& b = p->buttons;
        memset(b.previous, 0, sizeof b.previous);
        memset(b.current, 0, sizeof b.current);
        memset(b.repeat, 0, sizeof b.repeat);
        memset(b.suppress, 1, sizeof b.suppress);
    }
    return 0;
}

// Bit 8p+i set for buttons 0..7 of every player that pass the test.
template <class Test> static lua_Integer button_bits(const ButtonBlock& b, Test test) {
    uint64_t bits = 0;
    for (int pl = 0; pl < PLAYERS; pl++)
        for (int i = 0; i < 8; i++)
            if (test(b.current[pl][i], b.previous[pl][i])) bits |= 1ull << (8 * pl + i);
    return (lua_Integer)bits;
}

static bool read_button_args(lua_State* L, int64_t* b, int64_t* pl) {
    *b = q64_intp(L, 1, -1);
    *pl = q64_intp(L, 2, 0);
    return *b >= 0 && *b < BUTTONS && *pl >= 0 && *pl < PLAYERS;
}

static int lua54_btn(lua_State* L) {
    Process* p = cproc;
    int64_t b, pl;
    bool ok = read_button_args(L, &b, &pl);
    if (!p) return 0;
    if (b == -1) {
        lua_pushinteger(L, button_bits(p->buttons, [](uint8_t cur, uint8_t) { return cur != 0; }));
        return 1;
    }
    uint8_t v = ok ? p->buttons.current[pl][b] : 0;
    if (v) lua_pushinteger(L, v);
    else lua_pushboolean(L, 0);
    return 1;
}

// Repeat settings: 0 gives the default, 255 never repeats.
static int32_t repeat_setting(Process* p, uint32_t addr, int32_t dflt) {
    uint8_t v = mem_read8(p, addr);
    return v == 0 ? dflt : v == 255 ? -1 : v;
}

static int lua54_btnp(lua_State* L) {
    Process* p = cproc;
    int64_t b, pl;
    bool ok = read_button_args(L, &b, &pl);
    if (!p) return 0;
    ButtonBlock& bb = p->buttons;
    if (b == -1) {
        lua_pushinteger(L, button_bits(bb, [](uint8_t cur, uint8_t prev) { return cur > 63 && prev <= 63; }));
        return 1;
    }
    if (!ok) {
        lua_pushboolean(L, 0);
        return 1;
    }
    uint8_t cur = bb.current[pl][b], prev = bb.previous[pl][b];
    int32_t& counter = bb.repeat[16 * pl + b];
    bool r = false;
    if (cur > 63 && prev <= 63) {
        counter = repeat_setting(p, 0x5F5C, 30);
        r = true;
    } else if (cur > 63) {
        if (counter > 0) counter--;
        if (counter == 0) {
            counter = repeat_setting(p, 0x5F5D, 8);
            r = true;
        }
    }
    lua_pushboolean(L, r);
    return 1;
}

const ApiEntry buttons_api[] = {
    {"_update_buttons", lua54_update_buttons},
    {"btn", lua54_btn},
    {"btnp", lua54_btnp},
    {nullptr, nullptr},
};
