// In-process kernel for Lua-level tests (see harness.h).
#include "support/harness.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ftw.h>
#include <unistd.h>
#include "audio/sonk.h"
#include "graphics/graphics.h"
#include "kernel/api.h"
#include "kernel/boot.h"
#include "kernel/process.h"
#include "kernel/state.h"
#include "storage/pdisk.h"
#include "lua.h"
#include "lauxlib.h"
#include "lualib.h"

static std::string captured;

static void capture(const char* s, size_t n) {
    captured.append(s, n);
    captured.push_back('\n');
}

static char private_folder[256];
static pid_t private_folder_owner;

static int remove_entry(const char* path, const struct stat*, int, struct FTW*) { return remove(path); }

// Removes the private folder when the test program ends (not in the forked
// children of death tests, which share it with their parent).
static void remove_private_folder() {
    if (private_folder[0] && getpid() == private_folder_owner)
        nftw(private_folder, remove_entry, 16, FTW_DEPTH | FTW_PHYS);
}

static void use_private_folders() {
    if (!private_folder[0]) {
        snprintf(private_folder, sizeof private_folder, "/tmp/orvanta_harness_XXXXXX");
        if (mkdtemp(private_folder)) {
            private_folder_owner = getpid();
            atexit(remove_private_folder);
        } else {
            snprintf(private_folder, sizeof private_folder, "/tmp");
            private_folder_owner = -1;  // never removed
        }
    }
    snprintf(config.home, sizeof config.home, "%s", private_folder);
    snprintf(config.desktop, sizeof config.desktop, "%s/desktop", private_folder);
}

// Runs the body under pcall and then idles, so the root never ends the program.
static const char* const driver =
    "local body = __harness_body\n"
    "__harness_body = nil\n"
    "local ok, err = pcall(body)\n"
    "if not ok then _printh('harness: error: ' .. tostring(err)) end\n"
    "__harness_done = true\n"
    "while true do flip() end\n";

bool harness_boot(const std::string& boot_lua, std::string* error) {
    config_set_defaults();
    config.headless = 1;
    config.fullscreen = 0;
    use_private_folders();

    reset_system_tables();

    captured.clear();
    api_printh_hook = capture;

    if (!create_root_process()) {
        if (error) *error = "could not create the root process";
        return false;
    }
    lua_State* L = root_process->L;
    lua_settop(L, 0);
    if (luaL_loadbufferx(L, boot_lua.data(), boot_lua.size(), "@/system/boot.lua", "t") != LUA_OK) {
        if (error) *error = lua_tostring(L, -1);
        processes_init();
        return false;
    }
    lua_setglobal(L, "__harness_body");
    if (luaL_loadbufferx(L, driver, strlen(driver), "=harness", "t") != LUA_OK) {
        if (error) *error = lua_tostring(L, -1);
        processes_init();
        return false;
    }
    return true;
}

int harness_run_frames(int n) {
    int i = 0;
    for (; i < n; i++) {
        if ((app.exit_request || app.reboot_request) && !app.exclusive_pid) break;
        if (!root_process) break;
        run_frame_processes();
    }
    return i;
}

bool harness_body_done() {
    if (!root_process || !root_process->L) return true;
    lua_State* L = root_process->L;
    lua_getglobal(L, "__harness_done");
    bool done = lua_toboolean(L, -1);
    lua_pop(L, 1);
    return done;
}

const std::string& harness_output() { return captured; }

std::vector<std::string> harness_lines() {
    std::vector<std::string> out;
    size_t start = 0;
    while (start < captured.size()) {
        size_t nl = captured.find('\n', start);
        if (nl == std::string::npos) nl = captured.size();
        out.push_back(captured.substr(start, nl - start));
        start = nl + 1;
    }
    return out;
}

void harness_clear_output() { captured.clear(); }

void harness_shutdown() {
    processes_init();
    api_printh_hook = nullptr;
}

std::string harness_float(double v) {
    if (std::isnan(v)) return "nan";
    if (std::isinf(v)) return v < 0 ? "-inf" : "inf";
    char buf[64];
    snprintf(buf, sizeof buf, "%.17g", v);
    std::string s = buf;
    if (s.find_first_not_of("-0123456789") == std::string::npos) s += ".0";
    return s;
}

static const char* const eval_script = R"LUA(
local function repr(v, depth)
  local t = type(v)
  if t == "number" then
    if math.type(v) == "integer" then return string.format("%d", v) end
    if v ~= v then return "nan" end
    if v == math.huge then return "inf" end
    if v == -math.huge then return "-inf" end
    local s = string.format("%.17g", v)
    if not s:find("[^%-0-9]") then s = s .. ".0" end
    return s
  elseif t == "string" then
    return string.format("%q", v)
  elseif t == "table" and depth < 4 then
    local parts, n = {}, #v
    for i = 1, n do parts[#parts + 1] = repr(v[i], depth + 1) end
    local keys = {}
    for k in pairs(v) do
      if type(k) == "string" then keys[#keys + 1] = k end
    end
    -- insertion sort: the process library set has no table.sort
    for i = 2, #keys do
      local k, j = keys[i], i - 1
      while j >= 1 and keys[j] > k do keys[j + 1] = keys[j]; j = j - 1 end
      keys[j + 1] = k
    end
    for _, k in ipairs(keys) do parts[#parts + 1] = k .. "=" .. repr(v[k], depth + 1) end
    return "{" .. table.concat(parts, ", ") .. "}"
  end
  return tostring(v)
end
for _, src in ipairs(__harness_cases) do
  local f, err = load("return " .. src, "=case")
  local line
  if not f then
    line = "compile error: " .. tostring(err)
  else
    local r = table.pack(pcall(f))
    if not r[1] then
      line = "error: " .. tostring(r[2])
    elseif r.n == 1 then
      line = "(none)"
    else
      local parts = {}
      for i = 2, r.n do parts[#parts + 1] = repr(r[i], 0) end
      line = table.concat(parts, ", ")
    end
  end
  _printh(line)
end
)LUA";

// The cases go into the root's globals as plain strings, so no text in them
// (a closing bracket, a quote, a NUL) can end a literal early.
std::vector<std::string> harness_eval(const std::vector<std::string>& exprs, const std::string& prelude) {
    std::string err;
    if (!harness_boot(prelude + "\n" + eval_script, &err)) return {"boot error: " + err};
    lua_State* L = root_process->L;
    lua_createtable(L, (int)exprs.size(), 0);
    for (size_t i = 0; i < exprs.size(); i++) {
        lua_pushlstring(L, exprs[i].data(), exprs[i].size());
        lua_rawseti(L, -2, (lua_Integer)i + 1);
    }
    lua_setglobal(L, "__harness_cases");
    for (int i = 0; i < 600 && !harness_body_done(); i++) harness_run_frames(1);
    return harness_lines();
}
