// The event pump: host events become HostEvent texts for the window manager
// (pid 3). Keeps the key table, maps the host mouse into the virtual screen
// and runs the locked mouse.
#include "host/input.h"

#include <SDL2/SDL.h>

#include <cstdio>
#include <cstring>

#include "host/controllers.h"
#include "host/host.h"
#include "host/window.h"
#include "kernel/api_tables.h"
#include "kernel/messages.h"
#include "kernel/process.h"
#include "kernel/sat.h"
#include "kernel/state.h"
#include "lua.h"

constexpr int KEY_COUNT = 512;

static int32_t key_state[KEY_COUNT], last_key_state[KEY_COUNT];
static int32_t last_mx = -1, last_my = -1, last_mb = -1;
static float virtual_mx, virtual_my;
static int32_t last_locked_host_mx, last_locked_host_my;
static int32_t event_sensitivity = 64, move_sensitivity = 64;
// Buttons pressed since the last frame: a click shorter than a frame still counts.
static uint32_t mouse_press_latch;
// A quit seen while a slice runs waits for the top of the next frame.
static bool quit_pending;

void input_clear_keys() {
    memset(key_state, 0, sizeof key_state);
    memset(last_key_state, 0, sizeof last_key_state);
}

int32_t os_key_state(int scancode) {
    return scancode >= 0 && scancode < KEY_COUNT ? key_state[scancode] : 0;
}

const char* os_key_from_scancode(int scancode) {
    if (scancode < 0 || scancode >= KEY_COUNT) return nullptr;
    // Headless there is no keyboard layout: the key's own (US) name.
    SDL_Keycode key = SDL_WasInit(SDL_INIT_VIDEO) ? SDL_GetKeyFromScancode((SDL_Scancode)scancode)
                                                  : (SDL_Keycode)SDL_SCANCODE_TO_KEYCODE(scancode);
    const char* name = SDL_GetKeyName(key);
    return name && name[0] ? name : nullptr;
}

static void send_host_event(const char* text) {
    if (Process* wm = get_process(3)) send_process_message_string(wm, text);
}

// SDL's left, middle, right bits as left 1 + right 2 + middle 4.
static int32_t mouse_bits(uint32_t sdl) {
    return ((sdl & SDL_BUTTON_LMASK) ? 1 : 0) | ((sdl & SDL_BUTTON_RMASK) ? 2 : 0) |
           ((sdl & SDL_BUTTON_MMASK) ? 4 : 0);
}

static void warp_host_pointer(int x, int y) {
    if (sdl_window) SDL_WarpMouseInWindow(sdl_window, x, y);
}

// The window point of a virtual coordinate (origin + size * v / span, the
// product in single precision, truncated), saturated: programs may pass any number.
static int window_coord(int origin, int size, float v, float span) {
    return sat_i32((int64_t)origin + sat_f2i((float)size * v / span));
}

static float clampf(double v, double lo, double hi) { return (float)(v < lo ? lo : v > hi ? hi : v); }

static void locked_motion(const SDL_MouseMotionEvent& e) {
    int w = 0, h = 0;
    if (sdl_window) SDL_GetWindowSize(sdl_window, &w, &h);
    if (w < 2 || h < 2) {
        last_locked_host_mx = e.x;
        last_locked_host_my = e.y;
        return;
    }
    SDL_Rect r;
    get_dest_rect(&r);
    float sx = (float)r.w / 480.0f, sy = (float)r.h / 270.0f;
    if (sx < 0.1f) sx = 0.1f;
    if (sy < 0.1f) sy = 0.1f;
    float dxs = (float)(e.x - last_locked_host_mx) / sx;
    float dys = (float)(e.y - last_locked_host_my) / sy;
    if (app.lock_reset) {
        app.locked_acc_x = app.locked_acc_y = 0;
        app.lock_reset = 0;
    } else {
        app.locked_acc_x = sat_f2i32((float)app.locked_acc_x + (float)event_sensitivity * dxs);
        app.locked_acc_y = sat_f2i32((float)app.locked_acc_y + (float)event_sensitivity * dys);
    }
    virtual_mx = clampf((double)virtual_mx + (double)dxs * move_sensitivity / 64, 0, 479);
    virtual_my = clampf((double)virtual_my + (double)dys * move_sensitivity / 64, 0, 269);
    warp_host_pointer(w / 2, h / 2);
    last_locked_host_mx = w / 2;
    last_locked_host_my = h / 2;
}

static void window_event(const SDL_WindowEvent& e, int64_t now) {
    switch (e.event) {
    case SDL_WINDOWEVENT_SHOWN:
    case SDL_WINDOWEVENT_MAXIMIZED:
    case SDL_WINDOWEVENT_RESTORED:
    case SDL_WINDOWEVENT_FOCUS_GAINED:
        app.window_active = 1;
        app.focus_gain_time = now;
        if (sdl_window) SDL_RaiseWindow(sdl_window);
        break;
    case SDL_WINDOWEVENT_HIDDEN:
    case SDL_WINDOWEVENT_MINIMIZED:
    case SDL_WINDOWEVENT_FOCUS_LOST:
        if (sdl_window && e.windowID == SDL_GetWindowID(sdl_window)) app.window_active = 0;
        break;
    case SDL_WINDOWEVENT_CLOSE: quit_pending = true; break;
    default: break;
    }
}

// One whole step of the accumulator per 64, the rest (with its sign) kept.
static int32_t take_steps(int32_t* acc) {
    int32_t d = *acc / 64;
    *acc -= d * 64;
    return d;
}

// Lua runs only inside the root's slice: a quit seen there (stat(988) pumps)
// waits for the next pump outside it.
static void honour_quit() {
    if (quit_pending && !(root_process && root_process->running)) {
        orvanta_exit();
        orvanta_terminate(0);
    }
}

// Headless there is no window, but SDL still turns SIGINT and SIGTERM into a
// quit event: without this the program could not be stopped.
static void pump_quit_only() {
    if (!SDL_WasInit(SDL_INIT_EVENTS)) return;
    SDL_Event e;
    while (SDL_PollEvent(&e))
        if (e.type == SDL_QUIT) quit_pending = true;
    honour_quit();
}

void handle_sdl_messages() {
    if (config.headless || !SDL_WasInit(SDL_INIT_VIDEO)) {
        pump_quit_only();
        return;
    }
    honour_quit();
    char text[256];
    int n = 0;
    const Uint8* keys = SDL_GetKeyboardState(&n);
    if (n > KEY_COUNT) n = KEY_COUNT;
    SDL_ShowCursor(SDL_DISABLE);
    memcpy(last_key_state, key_state, sizeof key_state);
    for (int i = 0; i < n; i++) key_state[i] = keys[i];

    int64_t now = os_get_time();
    SDL_Event e;
    while (SDL_PollEvent(&e)) {
        app.last_activity_time = now;
        switch (e.type) {
        case SDL_QUIT: quit_pending = true; break;
        case SDL_WINDOWEVENT: window_event(e.window, now); break;
        case SDL_KEYDOWN: {
            // Read as a plain integer: a value outside the enum is possible and checked.
            int32_t sc;
            memcpy(&sc, &e.key.keysym.scancode, sizeof sc);
            if (sc >= 0 && sc < KEY_COUNT) key_state[sc] = 1;
            break;
        }
        case SDL_TEXTINPUT:
            snprintf(text, sizeof text, "{event=\"textinput\",text=\"%s\"}", escape_lua_string(e.text.text));
            send_host_event(text);
            break;
        case SDL_MOUSEMOTION:
            if (app.mouse_locked) locked_motion(e.motion);
            break;
        case SDL_MOUSEBUTTONDOWN:
            if (e.button.button >= 1 && e.button.button <= 32) mouse_press_latch |= SDL_BUTTON(e.button.button);
            break;
        case SDL_MOUSEWHEEL:
            snprintf(text, sizeof text, "{event=\"mousewheel\",wheel_x=%d,wheel_y=%d}", (int)e.wheel.x,
                     (int)e.wheel.y);
            send_host_event(text);
            break;
        case SDL_CONTROLLERDEVICEADDED: controller_device_added(e.cdevice.which); break;
        case SDL_CONTROLLERDEVICEREMOVED: controller_device_removed(e.cdevice.which); break;
        case SDL_JOYDEVICEADDED: joystick_device_added(e.jdevice.which); break;
        case SDL_JOYDEVICEREMOVED: joystick_device_removed(e.jdevice.which); break;
        case SDL_DROPFILE:
            process_dropped_file(e.drop.file);
            SDL_free(e.drop.file);
            if (sdl_window) SDL_RaiseWindow(sdl_window);
            break;
        case SDL_DROPTEXT: SDL_free(e.drop.file); break;
        default: break;
        }
    }
    honour_quit();

    // Keys are ignored for 100 ms after the window gains focus.
    if (now <= app.focus_gain_time + 100) memset(key_state, 0, sizeof key_state);
    for (int i = 0; i < KEY_COUNT; i++) {
        if (key_state[i] == last_key_state[i]) continue;
        snprintf(text, sizeof text, key_state[i] ? "{event=\"keydown\",scancode=%d}" : "{event=\"keyup\",scancode=%d}",
                 i);
        send_host_event(text);
    }

    if (sdl_window_w < 1 || sdl_window_h < 1) return;
    int hx = 0, hy = 0;
    uint32_t buttons = SDL_GetMouseState(&hx, &hy) | mouse_press_latch;
    mouse_press_latch = 0;
    if (buttons) app.last_activity_time = now;
    int32_t mb = mouse_bits(buttons);
    int32_t mx = last_mx, my = last_my;
    SDL_Rect r;
    bool placed = get_dest_rect(&r);
    if (placed) {
        mx = (int32_t)((int64_t)(hx - r.x) * 480 / r.w);
        my = (int32_t)((int64_t)(hy - r.y) * 270 / r.h);
        if (config.fullscreen) {
            mx = mx < 0 ? 0 : mx > 479 ? 479 : mx;
            my = my < 0 ? 0 : my > 269 ? 269 : my;
        }
    }
    if (app.mouse_locked) {
        mx = sat_f2i32(virtual_mx);
        my = sat_f2i32(virtual_my);
        placed = true;
    }
    // Without a place for the screen the pointer keeps its last position.
    if (placed && (mx != last_mx || my != last_my || mb != last_mb)) {
        snprintf(text, sizeof text, "{event=\"mouse\",mx=%d,my=%d,mb=%d}", mx, my, mb);
        send_host_event(text);
        last_mx = mx;
        last_my = my;
        last_mb = mb;
    }

    if (!app.mouse_locked) {
        app.locked_acc_x = app.locked_acc_y = 0;
        return;
    }
    int32_t dx = take_steps(&app.locked_acc_x), dy = take_steps(&app.locked_acc_y);
    if (dx || dy) {
        snprintf(text, sizeof text, "{event=\"mouselockedmove\",locked_dx=%d,locked_dy=%d}", dx, dy);
        send_host_event(text);
    }
}

void start_frame() { handle_sdl_messages(); }

void os_lock_mouse_cursor(int flags, int event_sens, int move_sens) {
    if (!sdl_window) return;
    event_sensitivity = event_sens;
    move_sensitivity = move_sens;
    SDL_Rect r;
    bool placed = get_dest_rect(&r);
    bool want = (flags & 4) != 0;
    if (want && !app.mouse_locked) {
        int hx = 0, hy = 0;
        SDL_GetMouseState(&hx, &hy);
        if (placed) {
            virtual_mx = (float)(hx - r.x) * 480.0f / (float)r.w;
            virtual_my = (float)(hy - r.y) * 270.0f / (float)r.h;
        }
        if (sdl_window_w >= 2 && sdl_window_h >= 2) {
            warp_host_pointer(sdl_window_w / 2, sdl_window_h / 2);
            last_locked_host_mx = sdl_window_w / 2;
            last_locked_host_my = sdl_window_h / 2;
        }
        app.lock_reset = 1;
    } else if (!want && app.mouse_locked) {
        if (placed)
            warp_host_pointer(window_coord(r.x, r.w, virtual_mx, 480.0f), window_coord(r.y, r.h, virtual_my, 270.0f));
        app.mouse_locked = 0;
        return;
    }
    if (config.fullscreen && placed) {
        int hx = 0, hy = 0;
        SDL_GetMouseState(&hx, &hy);
        int cx = hx < r.x ? r.x : hx > r.x + r.w - 1 ? r.x + r.w - 1 : hx;
        int cy = hy < r.y ? r.y : hy > r.y + r.h - 1 ? r.y + r.h - 1 : hy;
        if (cx != hx || cy != hy) warp_host_pointer(cx, cy);
    }
    app.mouse_locked = flags & 4;
}

void os_warp_mouse_pointer(int x, int y) {
    virtual_mx = (float)x;
    virtual_my = (float)y;
    SDL_Rect r;
    if (!get_dest_rect(&r)) return;
    warp_host_pointer(window_coord(r.x, r.w, (float)x, 480.0f), window_coord(r.y, r.h, (float)y, 270.0f));
}

static int lua54_warp_mouse(lua_State* L) {
    os_warp_mouse_pointer(sat_i32(q64_intp(L, 1, 0)), sat_i32(q64_intp(L, 2, 0)));
    return 0;
}

const ApiEntry input_api[] = {
    {"_warp_mouse", lua54_warp_mouse},
    {nullptr, nullptr},
};
