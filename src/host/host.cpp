// Host services: clock, per-user folders, the log and the audio lock.
#include "host/host.h"

#include <SDL2/SDL.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "kernel/api_tables.h"
#include "kernel/process.h"
#include "kernel/state.h"
#include "audio/sonk.h"
#include "lua.h"
#include "lauxlib.h"

char tolo_argv0[1024];
char tolo_debug_string[16384];

static FILE* tolo_debug_file;
static int lock_level;
static SDL_AudioDeviceID audio_device;
static char* userland_clipboard_text;

uint32_t get_ticks() { return SDL_GetTicks(); }
int64_t os_get_time() { return (int64_t)SDL_GetTicks(); }

int tolo_mkdir(const char* path) { return mkdir(path, 0755); }

static void copy_str(char* out, const char* s, size_t cap) {
    size_t n = strlen(s);
    if (n >= cap) n = cap - 1;
    memcpy(out, s, n);
    out[n] = 0;
}

static void append_str(char* out, const char* s, size_t cap) {
    size_t have = strlen(out);
    if (have >= cap - 1) return;
    copy_str(out + have, s, cap - have);
}

static bool is_set(const char* s) { return s[0] != 0 && s[0] != ' '; }

char* tolo_prefix_with_program_path(const char* name, char* out) {
    copy_str(out, tolo_argv0, 1024);
    char* cut = nullptr;
    for (char* p = out; *p; p++)
        if (*p == '/' || *p == '\\') cut = p;
    if (cut) cut[1] = 0;
    else copy_str(out, "/", 1024);
    append_str(out, name, 1024);
    return out;
}

// The per-user data folder of this desktop: $XDG_DATA_HOME, else ~/.local/share.
static bool user_data_folder(char* out) {
    const char* xdg = getenv("XDG_DATA_HOME");
    if (xdg && xdg[0] == '/') {
        copy_str(out, xdg, 1024);
        tolo_mkdir(out);
        return true;
    }
    const char* home = getenv("HOME");
    if (!home || !home[0]) return false;
    copy_str(out, home, 1024);
    append_str(out, "/.local", 1024);
    tolo_mkdir(out);
    append_str(out, "/share", 1024);
    tolo_mkdir(out);
    return true;
}

static void appdata_folder(char* out) {
    if (is_set(config.home)) {
        copy_str(out, config.home, 1024);
        for (char* p = out; *p; p++)
            if (*p == '\\') *p = '/';
        size_t n = strlen(out);
        if (n && out[n - 1] != '/') append_str(out, "/", 1024);
        return;
    }
    out[0] = 0;
    if (user_data_folder(out)) {
        append_str(out, "/orvanta", 1024);
        tolo_mkdir(out);
        append_str(out, "/", 1024);
    }
    append_str(out, "exp/", 1024);
    tolo_mkdir(out);
    ByteBuffer* rec = get_dat_file(0);
    if (rec && rec->length > 0 && rec->bytes[0] != 0) {
        char name[256];
        size_t n = strnlen((const char*)rec->bytes, (size_t)rec->length);
        if (n > sizeof name - 1) n = sizeof name - 1;
        memcpy(name, rec->bytes, n);
        name[n] = 0;
        // The export name becomes one folder level: keep it to one path segment.
        for (char* p = name; *p; p++)
            if (*p == '/' || *p == '\\' || (unsigned char)*p < 0x20) *p = '_';
        if (!strcmp(name, ".") || !strcmp(name, "..")) copy_str(name, "shared", sizeof name);
        append_str(out, name, 1024);
        append_str(out, "/", 1024);
    } else {
        append_str(out, "shared/", 1024);
    }
    tolo_mkdir(out);
}

char* tolo_prefix_with_appdata_path(const char* name, char* out) {
    char folder[1024];
    appdata_folder(folder);
    copy_str(out, folder, 1024);
    append_str(out, name, 1024);
    return out;
}

char* tolo_prefix_with_desktop_path(const char* name, char* out) {
    if (is_set(config.desktop)) {
        copy_str(out, config.desktop, 1024);
        tolo_mkdir(out);
        size_t n = strlen(out);
        if (n && out[n - 1] != '/') append_str(out, "/", 1024);
        append_str(out, name, 1024);
        return out;
    }
    const char* xdg = getenv("XDG_DESKTOP_DIR");
    const char* home = getenv("HOME");
    out[0] = 0;
    if (xdg && xdg[0] == '/') {
        copy_str(out, xdg, 1024);
        append_str(out, "/", 1024);
    } else if (home && home[0]) {
        copy_str(out, home, 1024);
        append_str(out, "/Desktop/", 1024);
    }
    append_str(out, name, 1024);
    return out;
}

void tolo_debug(const char* msg) {
    if (!tolo_debug_file) {
        char path[1024];
        tolo_prefix_with_appdata_path("log.txt", path);
        tolo_debug_file = fopen(path, "w");
        if (!tolo_debug_file) return;
    }
    if (msg[0] == '>') msg++;
    if (msg[0] == '<') msg++;
    fprintf(tolo_debug_file, "[%06lld %03lld] %s", (long long)os_get_time(),
            (long long)(cproc ? cproc->pid : 0), msg);
    fflush(tolo_debug_file);
}

void tolo_debugf(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(tolo_debug_string, sizeof tolo_debug_string, fmt, ap);
    va_end(ap);
    tolo_debug(tolo_debug_string);
}

int os_lock_audio() {
    if (lock_level == 0 && audio_device) SDL_LockAudioDevice(audio_device);
    return ++lock_level;
}

void os_unlock_audio() {
    if (lock_level <= 0) return;
    if (lock_level == 1 && audio_device) SDL_UnlockAudioDevice(audio_device);
    lock_level--;
}

static void sdl2_mixer_callback(void*, Uint8* stream, int len) {
    sonk_mix((int16_t*)stream, len / 4);
    if (app.audio_capture_on && app.audio_capture_buffer)
        bappend_bytes(app.audio_capture_buffer, stream, len);
}

void os_system_init() {
    SDL_SetHint(SDL_HINT_VIDEO_ALLOW_SCREENSAVER, "1");
    // Headless runs start no window and no sound device.
    if (config.headless) return;
    if (SDL_Init(SDL_INIT_VIDEO | SDL_INIT_EVENTS | SDL_INIT_TIMER | SDL_INIT_JOYSTICK |
                 SDL_INIT_GAMECONTROLLER) != 0)
        tolo_debugf("SDL_Init failed: %s\n", SDL_GetError());
    if (config.sdl_render_driver == 1) SDL_SetHint(SDL_HINT_RENDER_DRIVER, "opengl");
    if (SDL_InitSubSystem(SDL_INIT_AUDIO) != 0) {
        printf("** audio init failed");
        printf(" %s\n", SDL_GetError());
        return;
    }
    SDL_AudioSpec want{}, have{};
    want.freq = 44100;
    want.format = AUDIO_S16LSB;
    want.channels = 2;
    want.samples = 512;
    want.callback = sdl2_mixer_callback;
    audio_device = SDL_OpenAudioDevice(nullptr, 0, &want, &have, 0);
    if (!audio_device) {
        printf("** audio init failed");
        printf(" %s\n", SDL_GetError());
        return;
    }
    SDL_PauseAudioDevice(audio_device, 0);
}

static int lua54_req_host_clipboard_text(lua_State*) { return 0; }

static int lua54_get_host_clipboard_text(lua_State* L) {
    char* t = SDL_WasInit(SDL_INIT_VIDEO) ? SDL_GetClipboardText() : nullptr;
    if (!t) {
        lua_pushstring(L, "");
        return 1;
    }
    // Keep the low byte of each UTF-16/32 unit and drop CRs, as for text files.
    luaL_Buffer b;
    luaL_buffinit(L, &b);
    const unsigned char* s = (const unsigned char*)t;
    if (s[0] == 0xEF && s[1] == 0xBB && s[2] == 0xBF) s += 3;
    for (; *s; s++)
        if (*s != '\r') luaL_addchar(&b, (char)*s);
    luaL_pushresult(&b);
    SDL_free(t);
    return 1;
}

static int lua54_set_host_clipboard_text(lua_State* L) {
    if (lua_type(L, 1) == LUA_TSTRING && SDL_WasInit(SDL_INIT_VIDEO)) SDL_SetClipboardText(lua_tostring(L, 1));
    return 0;
}

// Hands a path or URL to the desktop's opener as one argument, untouched by the shell.
void open_host_file(const char* text) {
    char arg[1024];
    if (!strncmp(text, "http:", 5) || !strncmp(text, "https:", 6)) {
        static const char keep[] = "-./&:=?_";
        size_t n = 0;
        for (const unsigned char* p = (const unsigned char*)text; *p && n < 1010; p++) {
            if (isalnum(*p) || strchr(keep, *p)) arg[n++] = (char)*p;
            else n += (size_t)snprintf(arg + n, sizeof arg - n, "%%%02x", *p);
        }
        arg[n] = 0;
    } else {
        copy_str(arg, text, sizeof arg);
    }
    // Double fork so the opener is never left as a zombie of ours.
    pid_t pid = fork();
    if (pid == 0) {
        if (fork() == 0) {
            execlp("xdg-open", "xdg-open", arg, (char*)nullptr);
            _exit(127);
        }
        _exit(0);
    }
    if (pid > 0) waitpid(pid, nullptr, 0);
}

static int lua54_open_host_path(lua_State* L) {
    if (lua_type(L, 1) != LUA_TSTRING) return 0;
    const char* s = lua_tostring(L, 1);
    if (!strncmp(s, "https:", 6)) open_host_file(s);
    return 0;
}

static int lua54_get_userland_clipboard_text(lua_State* L) {
    lua_pushstring(L, userland_clipboard_text ? userland_clipboard_text : "");
    return 1;
}

static int lua54_set_userland_clipboard_text(lua_State* L) {
    int t = lua_type(L, 1);
    if (t != LUA_TSTRING && t != LUA_TNUMBER) return 0;
    size_t n;
    const char* s = lua_tolstring(L, 1, &n);
    char* copy = (char*)malloc(n + 1);
    if (!copy) return 0;
    memcpy(copy, s, n + 1);
    free(userland_clipboard_text);
    userland_clipboard_text = copy;
    return 0;
}

void os_add_public_c_functions(lua_State* L) {
    lua_register(L, "_req_host_clipboard_text", lua54_req_host_clipboard_text);
    lua_register(L, "_get_host_clipboard_text", lua54_get_host_clipboard_text);
    lua_register(L, "_set_host_clipboard_text", lua54_set_host_clipboard_text);
    lua_register(L, "_open_host_path", lua54_open_host_path);
}

const ApiEntry host_api[] = {
    {"_get_userland_clipboard_text", lua54_get_userland_clipboard_text},
    {"_set_userland_clipboard_text", lua54_set_userland_clipboard_text},
    {nullptr, nullptr},
};
