// Process control for the system's kernel, process manager and window manager:
// flip, slices, kill and restart, halt, process queries, settings and signals.
#include <cmath>
#include <cstdio>
#include <cstring>
#include <vector>
#include <algorithm>
#include "dialect/charge.h"
#include "dialect/vm_budget.h"
#include "graphics/memory.h"
#include "host/capture.h"
#include "host/host.h"
#include "host/input.h"
#include "kernel/api_tables.h"
#include "kernel/cpu.h"
#include "kernel/messages.h"
#include "kernel/process.h"
#include "kernel/sat.h"
#include "kernel/state.h"
#include "storage/pdisk.h"
#include "lua.h"
#include "lauxlib.h"

static int lua54_flip(lua_State* L) {
    int64_t flags = q64_intp(L, 1, 0);
    if (Process* p = cproc) {
        uint8_t mode = mem_read8(p, 0x547F);
        // Written only when it changes, so a flip doesn't mark the page for the audio sync.
        if (!(flags & 1) && (mode & 2)) mem_write8(p, 0x547F, (uint8_t)(mode & ~2));
        p->flipped = 1;
        if (flags & 3) {
            // Wraps at 0 on purpose: the frame's clock step brings it back.
            p->frame_clock -= 1;
            p->frames_waited = 0;
        }
    }
    cpu_superyielding = SUPERYIELD;
    return 0;
}

static int lua54_yielded_to_escape_slice(lua_State* L) {
    if (lua_gettop(L) == 1 && lua_type(L, 1) == LUA_TNUMBER) {
        // The number as an integer, truncated: -0.5 clears the flag.
        int64_t n = lua_isinteger(L, 1) ? (int64_t)lua_tointeger(L, 1) : sat_f2i(lua_tonumber(L, 1));
        vm_set_escape_slice_flag(L, n != 0 ? SUPERYIELD : 0);
        return 0;
    }
    lua_pushboolean(L, vm_escape_slice_flag(L) != 0);
    return 1;
}

// Charges the compiling of len bytes of source to the running slice; false
// when that leaves it far over budget (the work is then not done).
static bool charge_compile(size_t len) {
    dialect_charge(nullptr, sat_mul((int64_t)std::min<size_t>(len, INT64_MAX), CHARGE_COMPILE_BYTE));
    return !dialect_far_over_budget();
}

static int lua54_create_process_from_code(lua_State* L) {
    if (!lua_isstring(L, 1) || !lua_isstring(L, 2) || !lua_isstring(L, 3)) return 0;
    size_t len = 0;
    const char* source = lua_tolstring(L, 1, &len);
    // Compiling is the asker's work, charged before it is done: a source too
    // long for any budget is refused like a failed creation.
    if (!charge_compile(len)) return 0;
    Process* p = create_process_from_code_len(source, len, lua_tostring(L, 2), lua_tostring(L, 3));
    if (!p) return 0;
    lua_pushinteger(L, (lua_Integer)p->pid);
    return 1;
}

static int slice_refused(lua_State* L, const char* why) {
    lua_pushboolean(L, 1);
    lua_pushnumber(L, 0);
    if (!why) return 2;
    lua_pushstring(L, why);
    return 3;
}

static int lua54_run_process_slice(lua_State* L) {
    int64_t pid = q64_intp(L, 1, 0);
    int ok = 0;
    double fraction = lua_tonumberx(L, 2, &ok);
    if (!ok || !(fraction > 0)) return 0;  // NaN, negative and 0 run nothing
    if (fraction > 1) fraction = 1;
    Process* p = get_process((uint64_t)pid);
    if (!p) return slice_refused(L, "_run_process_slice: bad process id");
    if (!p->L) return slice_refused(L, "_run_process_slice: invalid process");
    // A process already on the C stack (the caller or one of its schedulers)
    // can't be resumed from inside itself.
    if (p->flipped || p->running) return slice_refused(L, nullptr);
    int32_t used = run_process_slice(p, fraction, L);
    p = get_process((uint64_t)pid);
    if (!p || !p->L) return slice_refused(L, "_run_process_slice: could not find lua state");
    lua_pushboolean(L, p->state != PROC_RUNNING || p->flipped);
    lua_pushnumber(L, (double)used / FRAME_CYCLES);
    return 2;
}

static int lua54_kill_process(lua_State* L) {
    int64_t pid = q64_intp(L, 1, 0);
    int64_t mode = q64_intp(L, 2, 0);
    Process* p = get_process((uint64_t)pid);
    if (!p || (mode != 0 && mode != 1)) return 0;
    // A running process is removed or restarted when its resume returns; end
    // the caller's slice now so that happens at once.
    if (p->running && p == cproc) cpu_superyielding = SUPERYIELD;
    if (mode == 0)
        kill_process(p);
    else if (charge_compile(p->source_len))
        restart_process(p);
    return 0;
}

static int lua54_halt(lua_State* L) {
    if (cproc) cproc->state = PROC_FINISHED;
    cpu_superyielding = SUPERYIELD;
    return 0;
}

static int lua54_process_state(lua_State* L) {
    Process* p = get_process((uint64_t)q64_intp(L, 1, 0));
    lua_pushinteger(L, p ? p->state : -1);
    return 1;
}

static int16_t read_i16(Process* p, uint32_t addr) {
    return (int16_t)(uint16_t)(mem_read8(p, addr) | (mem_read8(p, addr + 1) << 8));
}

static int lua54_get_process_display_size(lua_State* L) {
    Process* p = get_process((uint64_t)q64_intp(L, 1, 0));
    lua_pushinteger(L, p ? read_i16(p, 0x5478) : 0);
    lua_pushinteger(L, p ? read_i16(p, 0x547A) : 0);
    return 2;
}

static int lua54_get_process_list(lua_State* L) {
    // Copied out first: building the tables can run finalizers, and a
    // finalizer may kill processes and free their records.
    struct Entry {
        lua_Integer id;
        char name[64], prog[256], pwd[256];
        double cpu;
        lua_Integer memory;
    };
    std::vector<Entry> list((size_t)num_processes);
    for (int i = 0; i < num_processes; i++) {
        const Process* p = process[i];
        Entry& e = list[(size_t)i];
        e.id = (lua_Integer)p->pid;
        memcpy(e.name, p->name, sizeof e.name);
        memcpy(e.prog, p->path, sizeof e.prog);
        memcpy(e.pwd, p->cwd, sizeof e.pwd);
        e.name[63] = e.prog[255] = e.pwd[255] = 0;
        e.cpu = (double)p->cycles_last_frame / FRAME_CYCLES;
        e.memory = process_memory_used(p);
    }
    lua_createtable(L, (int)list.size(), 0);
    for (size_t i = 0; i < list.size(); i++) {
        const Entry& e = list[i];
        lua_createtable(L, 0, 7);
        lua_pushinteger(L, e.id);
        lua_setfield(L, -2, "id");
        lua_pushstring(L, e.name);
        lua_setfield(L, -2, "name");
        lua_pushstring(L, e.prog);
        lua_setfield(L, -2, "prog");
        lua_pushnumber(L, e.cpu);
        lua_setfield(L, -2, "cpu");
        lua_pushinteger(L, e.memory);
        lua_setfield(L, -2, "memory");
        lua_pushinteger(L, 1);
        lua_setfield(L, -2, "priority");
        lua_pushstring(L, e.pwd);
        lua_setfield(L, -2, "pwd");
        lua_rawseti(L, -2, (lua_Integer)i + 1);
    }
    return 1;
}

static int32_t setting_value(lua_State* L, int idx) {
    switch (lua_type(L, idx)) {
    case LUA_TBOOLEAN: return lua_toboolean(L, idx);
    case LUA_TNUMBER: {
        int ok = 0;
        lua_Integer v = lua_tointegerx(L, idx, &ok);  // a number with a fraction gives 0
        return ok ? sat_i32(v) : 0;
    }
    default: return 0;
    }
}

static int lua54_apply_system_settings(lua_State* L) {
    if (!lua_istable(L, 1)) {
        printf("** lua54__apply_system_settings failed; not a table\n");
        fflush(stdout);
        return 0;
    }
    lua_pushnil(L);
    while (lua_next(L, 1)) {
        if (lua_type(L, -2) == LUA_TSTRING) orvanta_apply_setting(lua_tostring(L, -2), setting_value(L, -1));
        lua_pop(L, 1);
    }
    orvanta_apply_settings();
    return 0;
}

static void mount_desktop() {
    char path[1024];
    tolo_prefix_with_desktop_path("orvanta_desktop", path);
    tolo_mkdir(path);
    mount_host_path("/desktop/host", path);
    if (!host_directory_exists(path)) notify("could not mount desktop");
}

static int lua54_signal(lua_State* L) {
    Process* p = cproc;
    switch (q64_intp(L, 1, 0)) {
    case 16:
        if (app.audio_capture_on)
            audio_capture_end();
        else
            audio_capture_start();
        break;
    case 18:
        if (gif_start() == 0) {
            app.gif_recording = 1;
            app.gif_frame_count = 0;
        }
        break;
    case 19:
        if (app.gif_recording) {
            gif_end();
            app.gif_recording = 0;
        }
        break;
    case 21:
        request_screenshot();
        app.screenshot_pending = 1;
        break;
    case 22: app.last_activity_time = os_get_time(); break;
    case 23:
        if (p) input_suppress_buttons(p);
        break;
    case 33: app.exit_request = 1; break;
    case 34: app.reboot_request = 1; break;
    case 35: app.striped_boot_lines = 1; break;
    case 36: app.signal_36 = 1; break;
    case 37: app.show_wm_video = 1; break;
    case 38:
        lua_gc(L, LUA_GCCOLLECT);
        if (p && p->baseline == 0) p->baseline = p->heap_bytes;
        break;
    case 39: app.no_new_cart_mounts = 1; break;
    case 40:
        if (p) app.exclusive_pid = (int64_t)p->pid;
        break;
    case 41: app.exclusive_pid = 0; break;
    case 65: mount_desktop(); break;
    default: break;
    }
    return 0;
}

static int lua54_strindex(lua_State* L) {
    int64_t i = q64_intp(L, 2, -1);
    size_t len = 0;
    const char* s = lua_isstring(L, 1) ? lua_tolstring(L, 1, &len) : nullptr;
    if (s && i >= 1 && (uint64_t)i <= len)
        lua_pushlstring(L, s + i - 1, 1);
    else
        lua_pushnil(L);
    return 1;
}

const ApiEntry process_api[] = {
    {"_flip", lua54_flip},
    {"flip", lua54_flip},
    {"_yielded_to_escape_slice", lua54_yielded_to_escape_slice},
    {"_create_process_from_code", lua54_create_process_from_code},
    {"_run_process_slice", lua54_run_process_slice},
    {"_kill_process", lua54_kill_process},
    {"_halt", lua54_halt},
    {"_process_state", lua54_process_state},
    {"_get_process_display_size", lua54_get_process_display_size},
    {"_get_process_list", lua54_get_process_list},
    {"_apply_system_settings", lua54_apply_system_settings},
    {"_signal", lua54_signal},
    {"_strindex", lua54_strindex},
    {nullptr, nullptr},
};
