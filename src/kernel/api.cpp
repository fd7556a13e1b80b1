// The program API registry: every process state gets each subsystem's globals.
//
// Subsystems contribute tables of (name, function) in any order; the globals
// are registered in the fixed order of api_order below, so where a table sits
// in api_tables does not matter. A name missing from api_order is registered
// after the ordered ones, in table order.
#include <cstring>
#include <string>
#include <unordered_map>
#include <vector>
#include "kernel/api.h"
#include "kernel/api_tables.h"
#include "dialect/dialect.h"
#include "host/host.h"
#include "lua.h"
#include "lauxlib.h"

static const ApiEntry registry_api[] = {
    {"load", luaB_load0},
    {nullptr, nullptr},
};

static const ApiEntry* const api_tables[] = {
    // One line per subsystem table.
    registry_api,
    kernel_api,
    arrays_api,
    general_api,
    text_api,
    process_api,
    host_api,
    window_api,
    input_api,
    buttons_api,
    storage_api,
    audio_api,
    orb_api,
    graphics_api,
    memory_api,
};

// Registration order of every global of the program API.
static const char* const api_order[] = {
    "deli", "add", "del", "count", "time", "t", "stat", "date", "cls", "fillp", "pset", "pget", "fset", "fget",
    "mset", "mget", "camera", "clip", "rectfill", "rect", "ovalfill", "circfill", "oval", "circ", "line",
    "tline3d", "sspr", "spr", "_draw_map", "blit", "_print_tesscii", "_printh", "cursor", "color", "pal",
    "palt", "note", "sfx", "music", "orb", "_orb", "unorb", "create_delta", "apply_delta", "fetch", "store",
    "_fetch_local", "_store_local", "_cache_store", "_cache_fetch", "_fetch_backtrail", "_fetch_remote",
    "_fetch_remote_result", "_fetch_metadata_from_file", "_store_metadata_str_to_file", "_ls", "_mkdir",
    "_fstat", "_fullpath", "ls", "mkdir", "fstat", "fullpath", "cp", "_fcopy", "_fdelete", "pid",
    "_send_message", "send_message", "_read_message", "chr", "ord", "tokenoid", "rnd", "srand", "abs", "sgn",
    "max", "min", "mid", "sqrt", "cos", "sin", "atan2", "flr", "ceil", "userdata", "vec", "get", "set", "_flip",
    "flip", "split", "_get_userland_clipboard_text", "_set_userland_clipboard_text", "_yielded_to_escape_slice",
    "_create_process_from_code", "_run_process_slice", "_kill_process", "_halt", "_mount", "mount",
    "_set_draw_target", "_pwd", "_cd", "pwd", "cd", "_normalise_userland_path", "norm",
    "_is_well_formed_bbs_path", "load", "_blit_process_video", "_process_state", "_get_process_display_size",
    "_get_process_list", "_apply_system_settings", "_signal", "_warp_mouse", "_set_spr", "_map_ram",
    "_unmap_ram", "_update_buttons", "_set_host_window_icon", "_set_host_window_title", "_strindex", "btn",
    "btnp", "peek", "poke", "peek2", "poke2", "peek4", "poke4", "peek8", "poke8", "_ppeek", "_ppeek4", "memcpy",
    "memset",
};

static std::vector<ApiEntry> build_registry() {
    std::unordered_map<std::string, lua_CFunction> fns;
    std::vector<ApiEntry> unordered;
    for (const ApiEntry* t : api_tables)
        for (const ApiEntry* e = t; e->name; e++) {
            if (!fns.emplace(e->name, e->fn).second) {
                tolo_debugf("api: %s registered twice; the first one is kept\n", e->name);
                continue;
            }
            bool known = false;
            for (const char* n : api_order) known = known || strcmp(n, e->name) == 0;
            if (!known) unordered.push_back(*e);
        }
    std::vector<ApiEntry> out;
    for (const char* n : api_order) {
        auto it = fns.find(n);
        if (it != fns.end()) out.push_back({n, it->second});
    }
    out.insert(out.end(), unordered.begin(), unordered.end());
    return out;
}

static const std::vector<ApiEntry>& registry() {
    static const std::vector<ApiEntry> r = build_registry();
    return r;
}

const ApiEntry* api_registered(int* count) {
    *count = (int)registry().size();
    return registry().data();
}

const char* const* api_order_names(int* count) {
    *count = (int)(sizeof api_order / sizeof api_order[0]);
    return api_order;
}

void api_add_c_functions(lua_State* L) {
    for (const ApiEntry& e : registry()) {
        lua_pushcclosure(L, e.fn, 0);
        lua_setglobal(L, e.name);
    }
}
