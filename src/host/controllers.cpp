// Game controllers: the slot table, mapping strings and files, connect and
// disconnect, and axis and button readings that ignore what was never seen at rest.
#include "host/controllers.h"

#include <SDL2/SDL.h>

#include <cstdio>
#include <cstring>

#include "host/host.h"

struct JoystickSlot {
    SDL_GameController* controller;
    SDL_Joystick* joystick;  // only for a device without a controller mapping
    int32_t instance_id;
    int32_t axis_validated[32];
    uint32_t button_validated;
};

static JoystickSlot metacon[MAX_JOYSTICKS];
static int tolo_joystick_inited;
static bool attached_error_shown, button_validated_error_shown;

// Our own Linux rows, on top of the database built into SDL. Version 0 in the
// GUID matches every version of the device, so SDL's exact rows still win.
static const char* const controller_db_mapping[] = {
    "030000005e0400008e02000000000000,Xbox 360 Controller,a:b0,b:b1,back:b6,dpdown:h0.4,dpleft:h0.8,"
    "dpright:h0.2,dpup:h0.1,guide:b8,leftshoulder:b4,leftstick:b9,lefttrigger:a2,leftx:a0,lefty:a1,"
    "rightshoulder:b5,rightstick:b10,righttrigger:a5,rightx:a3,righty:a4,start:b7,x:b2,y:b3,platform:Linux,",
    "030000005e0400001907000000000000,Xbox 360 Wireless Controller,a:b0,b:b1,back:b6,dpdown:h0.4,dpleft:h0.8,"
    "dpright:h0.2,dpup:h0.1,guide:b8,leftshoulder:b4,leftstick:b9,lefttrigger:a2,leftx:a0,lefty:a1,"
    "rightshoulder:b5,rightstick:b10,righttrigger:a5,rightx:a3,righty:a4,start:b7,x:b2,y:b3,platform:Linux,",
    "030000005e040000ea02000000000000,Xbox One Controller,a:b0,b:b1,back:b6,dpdown:h0.4,dpleft:h0.8,"
    "dpright:h0.2,dpup:h0.1,guide:b8,leftshoulder:b4,leftstick:b9,lefttrigger:a2,leftx:a0,lefty:a1,"
    "rightshoulder:b5,rightstick:b10,righttrigger:a5,rightx:a3,righty:a4,start:b7,x:b2,y:b3,platform:Linux,",
    "030000006d0400001dc2000000000000,Logitech F310 Gamepad (XInput),a:b0,b:b1,back:b6,dpdown:h0.4,dpleft:h0.8,"
    "dpright:h0.2,dpup:h0.1,guide:b8,leftshoulder:b4,leftstick:b9,lefttrigger:a2,leftx:a0,lefty:a1,"
    "rightshoulder:b5,rightstick:b10,righttrigger:a5,rightx:a3,righty:a4,start:b7,x:b2,y:b3,platform:Linux,",
    nullptr,
};

static bool slot_used(const JoystickSlot& s) { return s.controller || s.joystick; }

int joystick_slots_used() {
    int n = 0;
    for (const JoystickSlot& s : metacon) n += slot_used(s);
    return n;
}

int joystick_slot_instance(int player) {
    if (player < 0 || player >= MAX_JOYSTICKS || !slot_used(metacon[player])) return -1;
    return metacon[player].instance_id;
}

static void close_slot(JoystickSlot& s) {
    if (s.controller) SDL_GameControllerClose(s.controller);
    if (s.joystick) SDL_JoystickClose(s.joystick);
    memset(&s, 0, sizeof s);
}

static void repack_metacon() {
    int to = 0;
    for (int i = 0; i < MAX_JOYSTICKS; i++) {
        if (!slot_used(metacon[i])) continue;
        if (i != to) {
            metacon[to] = metacon[i];
            memset(&metacon[i], 0, sizeof metacon[i]);
        }
        to++;
    }
}

static void log_counts(SDL_Joystick* j) {
    tolo_debugf(" Number of Axes: %d\n", SDL_JoystickNumAxes(j));
    tolo_debugf(" Number of Buttons: %d\n", SDL_JoystickNumButtons(j));
    tolo_debugf(" Number of Balls: %d\n", SDL_JoystickNumBalls(j));
}

static void connect_joystick(int index) {
    if (index < 0 || index >= MAX_JOYSTICKS) return;
    // Start-up ADDED events repeat devices already open: never open one twice.
    SDL_JoystickID id = SDL_JoystickGetDeviceInstanceID(index);
    for (const JoystickSlot& s : metacon)
        if (slot_used(s) && s.instance_id == id) return;
    // Players follow the order of connection: the slot of that index when it is
    // free, else the first free one.
    int slot = index;
    if (slot_used(metacon[slot]))
        for (slot = 0; slot < MAX_JOYSTICKS && slot_used(metacon[slot]); slot++) {
        }
    if (slot >= MAX_JOYSTICKS) return;
    JoystickSlot& s = metacon[slot];
    close_slot(s);
    tolo_debugf("connecting joystick %d\n", index);
    if (SDL_IsGameController(index) && (s.controller = SDL_GameControllerOpen(index))) {
        tolo_debugf("Controller %d: %s\n", index, SDL_GameControllerName(s.controller));
        if (SDL_Joystick* j = SDL_GameControllerGetJoystick(s.controller)) {
            s.instance_id = SDL_JoystickInstanceID(j);
            log_counts(j);
            char* mapping = SDL_GameControllerMapping(s.controller);
            tolo_debugf(" Mapping: %s\n", mapping ? mapping : "");
            SDL_free(mapping);
        }
        return;
    }
    s.joystick = SDL_JoystickOpen(index);
    if (!s.joystick) {
        tolo_debugf("** could not open joystick %d: %s\n", index, SDL_GetError());
        return;
    }
    s.instance_id = SDL_JoystickInstanceID(s.joystick);
    tolo_debugf("Unmapped Joystick %d: %s\n", index, SDL_JoystickName(s.joystick));
    log_counts(s.joystick);
}

void controller_device_added(int device_index) {
    if (!tolo_joystick_inited) return;
    repack_metacon();
    connect_joystick(device_index);
}

void joystick_device_added(int device_index) {
    // Game controllers come through their own event.
    if (!tolo_joystick_inited || SDL_IsGameController(device_index)) return;
    repack_metacon();
    connect_joystick(device_index);
}

static bool remove_instance(int instance_id, bool plain_only) {
    for (JoystickSlot& s : metacon) {
        if (!slot_used(s) || s.instance_id != instance_id) continue;
        if (plain_only && s.controller) return false;
        close_slot(s);
        return true;
    }
    return false;
}

void controller_device_removed(int instance_id) {
    if (!tolo_joystick_inited) return;
    if (!remove_instance(instance_id, false)) tolo_debug("** failed to disconnect joystick\n");
    repack_metacon();
}

void joystick_device_removed(int instance_id) {
    if (!tolo_joystick_inited) return;
    if (remove_instance(instance_id, true)) repack_metacon();
}

static bool outside_text(unsigned char c) { return c < '!' || c > 0x7F; }

static void add_mapping_line(char* line) {
    char* p = line;
    while (*p && outside_text((unsigned char)*p)) p++;
    size_t n = strlen(p);
    while (n > 0 && outside_text((unsigned char)p[n - 1])) p[--n] = 0;
    if (n == 0 || p[0] == '/') return;
    int r = SDL_GameControllerAddMapping(p);
    if (r < 0) tolo_debugf(" failed to add controller mapping: %s\n", p);
    else if (r == 0) tolo_debugf(" updated controller mapping: %s\n", p);
    else tolo_debugf(" added controller mapping: %s\n", p);
}

static void read_mapping_file(const char* path) {
    FILE* f = fopen(path, "rb");
    if (!f) return;
    tolo_debugf("Reading controller mappings: %s\n", path);
    char line[1023];
    while (fgets(line, sizeof line, f)) add_mapping_line(line);
    fclose(f);
}

void add_sdl_controllers() {
    char path[1024];
    read_mapping_file(tolo_prefix_with_program_path("sdl_controllers.txt", path));
    tolo_prefix_with_appdata_path("sdl_controllers.txt", path);
    if (FILE* f = fopen(path, "rb")) {
        fclose(f);
    } else {
        char tmp[1100];
        snprintf(tmp, sizeof tmp, "%s.tmp", path);
        if (FILE* w = fopen(tmp, "wb")) {
            bool ok = fputs("// add SDL2 game controller mappings to this file\n", w) >= 0;
            if (fclose(w) != 0 || !ok || rename(tmp, path) != 0) remove(tmp);
        }
    }
    read_mapping_file(path);
}

void tolo_joystick_init() {
    if (tolo_joystick_inited) return;
    memset(metacon, 0, sizeof metacon);
    for (const char* const* m = controller_db_mapping; *m; m++) SDL_GameControllerAddMapping(*m);
    add_sdl_controllers();
    tolo_joystick_inited = 1;
    tolo_debug(">searching for joysticks\n");
    int n = SDL_NumJoysticks();
    tolo_debugf("found %d joysticks\n", n);
    for (int i = 0; i < n; i++) connect_joystick(i);
    tolo_debug("<ok\n");
}

static bool readable(int player) {
    return player >= 0 && player < MAX_JOYSTICKS && tolo_joystick_inited && player < SDL_NumJoysticks();
}

static int read_axis(JoystickSlot& s, int player, int axis) {
    if (axis < 0 || axis >= 32) return 0;
    int v = 0;
    if (s.controller && SDL_GameControllerGetAttached(s.controller)) {
        v = SDL_GameControllerGetAxis(s.controller, (SDL_GameControllerAxis)axis);
    } else if (s.joystick) {
        v = SDL_JoystickGetAxis(s.joystick, axis);
    } else {
        if (s.controller && !attached_error_shown) {
            tolo_debugf("** could not read joystick %d (not attached)\n", player);
            attached_error_shown = true;
        }
        return 0;
    }
    // An axis counts only once it has been seen at rest (triggers rest at -32768).
    if (!s.axis_validated[axis]) {
        if (v > 8191 || v < -8191) return 0;
        s.axis_validated[axis] = 1;
    }
    return v;
}

void tolo_get_joystick_axes(int player, int axis_a, int axis_b, int* out_a, int* out_b) {
    *out_a = *out_b = 0;
    if (!readable(player)) return;
    JoystickSlot& s = metacon[player];
    *out_a = read_axis(s, player, axis_a);
    *out_b = read_axis(s, player, axis_b);
}

void tolo_get_joystick(int player, int* out_x, int* out_y, uint32_t* out_buttons) {
    *out_x = *out_y = 0;
    *out_buttons = 0;
    if (!readable(player) || !slot_used(metacon[player])) return;
    JoystickSlot& s = metacon[player];
    tolo_get_joystick_axes(player, 0, 1, out_x, out_y);
    for (int i = 0; i <= 20; i++) {
        bool down = s.controller ? SDL_GameControllerGetButton(s.controller, (SDL_GameControllerButton)i)
                                 : SDL_JoystickGetButton(s.joystick, i);
        uint32_t bit = 1u << i;
        if (!down) {
            s.button_validated |= bit;
            continue;
        }
        // A button held at connect counts only once it has been let go.
        if (s.button_validated & bit) {
            *out_buttons |= bit;
        } else if (s.controller && !button_validated_error_shown) {
            tolo_debugf("** button %d not validated on joystick %d\n", i, player);
            button_validated_error_shown = true;
        }
    }
}
