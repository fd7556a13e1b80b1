// Host services: clock, per-user folders, the log, the audio device and its
// lock, clipboards, the desktop opener and worker threads.
#include "host/host.h"

#include <SDL2/SDL.h>
#include <dlfcn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <initializer_list>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "audio/sonk.h"
#include "host/capture.h"
#include "host/controllers.h"
#include "host/input.h"
#include "host/window.h"
#include "kernel/api_tables.h"
#include "kernel/process.h"
#include "kernel/state.h"
#include "storage/orb.h"
#include "storage/pdisk.h"
#include "lua.h"
#include "lauxlib.h"

char tolo_argv0[1024];
char tolo_debug_string[16384];

static FILE* tolo_debug_file;
static int64_t log_written;
static int log_full;
static int lock_level;
static SDL_AudioDeviceID audio_device;
// Kept with its length: a copied string may hold zero bytes.
static char* userland_clipboard_text;
static size_t userland_clipboard_length;

// 64-bit ticks: no wrap after 49 days.
uint64_t get_ticks() { return SDL_GetTicks64(); }
int64_t os_get_time() { return (int64_t)SDL_GetTicks64(); }

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
    if (log_full) return;
    if (msg[0] == '>') msg++;
    if (msg[0] == '<') msg++;
    char head[48];
    int hn = snprintf(head, sizeof head, "[%06lld %03lld] ", (long long)os_get_time(),
                      (long long)(cproc ? cproc->pid : 0));
    size_t n = strlen(msg);
    // A program that makes the host log without end must not fill the disk: the
    // log stops at its limit and says so in its last line.
    if (log_written + hn + (int64_t)n > LOG_LIMIT - 256) {
        log_full = 1;
        log_written += fprintf(tolo_debug_file, "%s** log.txt reached its limit of %lld bytes; later lines are not written **\n",
                               head, (long long)LOG_LIMIT);
    } else {
        fwrite(head, 1, (size_t)hn, tolo_debug_file);
        fwrite(msg, 1, n, tolo_debug_file);
        log_written += hn + (int64_t)n;
    }
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
    if (lock_level <= 0) {
        tolo_debug("** os_unlock_audio without a lock\n");
        return;
    }
    if (lock_level == 1 && audio_device) SDL_UnlockAudioDevice(audio_device);
    lock_level--;
}

// Audio thread: SDL holds the device lock around each call. Nothing here may
// allocate, lock or touch process memory.
static void sdl2_mixer_callback(void*, Uint8* stream, int len) {
    sonk_mix((int16_t*)stream, len / 4);
    audio_capture_append(stream, len);
}

// ALSA prints every step of a failed probe on stderr: eight lines on a machine
// without a sound card. While this thread opens the device, ALSA's reports on
// it go to the log instead (a failure there is ours to report, in one line);
// other threads, and everything afterwards, keep ALSA's own handling. The
// library is reached by its name, as SDL reaches it, and only if it is there.
using AlsaLocalHandler = void (*)(const char* file, int line, const char* function, int err, const char* fmt,
                                  va_list ap);

static void alsa_to_log(const char* file, int line, const char* function, int err, const char* fmt, va_list ap) {
    char text[1024];
    vsnprintf(text, sizeof text, fmt, ap);
    if (err) tolo_debugf("ALSA lib %s:%i:(%s) %s: error %d\n", file, line, function, text, err);
    else tolo_debugf("ALSA lib %s:%i:(%s) %s\n", file, line, function, text);
}

struct AlsaToLog {
    AlsaLocalHandler (*set_local)(AlsaLocalHandler) = nullptr;
    AlsaLocalHandler before = nullptr;
    AlsaToLog() {
        // Kept open for the run, so a later load by SDL finds this same instance.
        static void* lib = dlopen("libasound.so.2", RTLD_NOW | RTLD_LOCAL);
        if (lib) set_local = (AlsaLocalHandler(*)(AlsaLocalHandler))dlsym(lib, "snd_lib_error_set_local");
        if (set_local) before = set_local(alsa_to_log);
    }
    ~AlsaToLog() {
        if (set_local) set_local(before);
    }
};

// Without a device the program runs silent and the lock does nothing.
static void open_audio_device() {
    AlsaToLog alsa_to_log_while_opening;
    if (SDL_InitSubSystem(SDL_INIT_AUDIO) != 0) {
        printf("** audio init failed");
        printf(" %s\n", SDL_GetError());
        tolo_debugf("audio init failed: %s\n", SDL_GetError());
        return;
    }
    SDL_AudioSpec want{}, have{};
    want.freq = 44100;
    want.format = AUDIO_S16LSB;
    want.channels = 2;
    want.samples = 512;
    want.callback = sdl2_mixer_callback;
    SDL_AudioDeviceID dev = SDL_OpenAudioDevice(nullptr, 0, &want, &have, 0);
    if (!dev) {
        printf("** audio init failed");
        printf(" %s\n", SDL_GetError());
        tolo_debugf("audio device failed: %s\n", SDL_GetError());
        return;
    }
    // A lock taken before the device existed must hold the device too.
    if (lock_level > 0) SDL_LockAudioDevice(dev);
    audio_device = dev;
    tolo_debugf("audio device: %s %d Hz\n", SDL_GetCurrentAudioDriver(), have.freq);
    SDL_PauseAudioDevice(audio_device, 0);
}

// SDL falls back to drivers that show nothing (offscreen) when no display is
// reachable; those count only when asked for by name.
static bool open_display() {
    if (SDL_InitSubSystem(SDL_INIT_VIDEO | SDL_INIT_EVENTS | SDL_INIT_TIMER) != 0) return false;
    const char* driver = SDL_GetCurrentVideoDriver();
    const char* asked = SDL_GetHint(SDL_HINT_VIDEODRIVER);
    tolo_debugf("video driver: %s\n", driver ? driver : "?");
    if (asked && asked[0]) return true;
    for (const char* blind : {"offscreen", "dummy", "evdev"})
        if (driver && !strcmp(driver, blind)) {
            SDL_QuitSubSystem(SDL_INIT_VIDEO);
            SDL_SetError("no display found");
            return false;
        }
    return true;
}

void os_system_init() {
    SDL_SetHint(SDL_HINT_VIDEO_ALLOW_SCREENSAVER, "1");
    // Headless runs skip video only: the sound device opens as in a window.
    if (config.headless) {
        open_audio_device();
        return;
    }
    if (!open_display()) {
        fprintf(stderr, "orvanta: cannot open a window: %s\n", SDL_GetError());
        fprintf(stderr, "orvanta: is a display available (DISPLAY or WAYLAND_DISPLAY)? Use -x to run headless.\n");
        tolo_debugf("video init failed: %s\n", SDL_GetError());
        orvanta_exit();
        orvanta_terminate(1);
    }
    if (SDL_InitSubSystem(SDL_INIT_JOYSTICK | SDL_INIT_GAMECONTROLLER) != 0)
        tolo_debugf("controller init failed: %s\n", SDL_GetError());
    else
        tolo_joystick_init();
    if (config.sdl_render_driver == 1) SDL_SetHint(SDL_HINT_RENDER_DRIVER, "opengl");
    input_clear_keys();
    open_audio_device();
}

static int lua54_req_host_clipboard_text(lua_State*) { return 0; }

static int lua54_get_host_clipboard_text(lua_State* L) {
    char* t = SDL_WasInit(SDL_INIT_VIDEO) ? SDL_GetClipboardText() : nullptr;
    if (!t) {
        lua_pushstring(L, "");
        return 1;
    }
    ByteBuffer* b = clean_windows_text_file((const uint8_t*)t, (int64_t)strlen(t));
    SDL_free(t);
    if (b) lua_pushlstring(L, (const char*)b->bytes, (size_t)b->length);
    else lua_pushstring(L, "");
    destroy_buffer(b);
    return 1;
}

static int lua54_set_host_clipboard_text(lua_State* L) {
    if (lua_type(L, 1) == LUA_TSTRING && SDL_WasInit(SDL_INIT_VIDEO)) SDL_SetClipboardText(lua_tostring(L, 1));
    return 0;
}

// The longest encoded URL handed on: what fits the opener's 1024-byte command.
constexpr size_t URL_LIMIT = 1014;

static bool is_hex(unsigned char c) { return isxdigit(c) != 0; }

size_t encode_url(const char* url, char* out, size_t cap) {
    static const char keep[] = "-./&:=?_#";
    size_t n = 0;
    for (const unsigned char* p = (const unsigned char*)url; *p; p++) {
        char piece[4];
        size_t len;
        if (isalnum(*p) || strchr(keep, *p) ||
            (*p == '%' && is_hex(p[1]) && is_hex(p[2]))) {  // already encoded: keep "%hh"
            piece[0] = (char)*p;
            len = 1;
        } else {
            len = (size_t)snprintf(piece, sizeof piece, "%%%02x", *p);
        }
        if (n + len >= cap) return 0;
        memcpy(out + n, piece, len);
        n += len;
    }
    out[n] = 0;
    return n;
}

static void run_opener(const char* arg) {
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

// Hands a path or URL to the desktop's opener as one argument, untouched by a shell.
void open_host_file(const char* text) {
    char arg[1024];
    if (!strncmp(text, "http:", 5) || !strncmp(text, "https:", 6)) {
        // An over-long URL is refused rather than opened cut short.
        if (!encode_url(text, arg, URL_LIMIT + 1)) {
            tolo_debug("** open_host_file: URL too long\n");
            return;
        }
    } else {
        if (strlen(text) > 1023) {
            tolo_debug("** open_host_file: path too long\n");
            return;
        }
        copy_str(arg, text, sizeof arg);
    }
    run_opener(arg);
    if (config.fullscreen) os_minimise_window();
}

static int lua54_open_host_path(lua_State* L) {
    if (lua_type(L, 1) != LUA_TSTRING) return 0;
    const char* s = lua_tostring(L, 1);
    if (!strncmp(s, "https:", 6) || !strncmp(s, "http:", 5)) {
        open_host_file(s);
        return 0;
    }
    int kind = 0;
    ByteBuffer* origin = resolve_to_origin(s, &kind, 0);
    if (origin && origin->length > 0 && kind == 1) open_host_file(to_cstr(origin));
    destroy_buffer(origin);
    return 0;
}

static int lua54_get_userland_clipboard_text(lua_State* L) {
    lua_pushlstring(L, userland_clipboard_text ? userland_clipboard_text : "", userland_clipboard_length);
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
    userland_clipboard_length = n;
    return 0;
}

struct OsThread {
    SDL_Thread* thread;
};

OsThread* os_create_thread(int (*fn)(void*), void* data) {
    OsThread* t = (OsThread*)calloc(1, sizeof(OsThread));
    if (!t) return nullptr;
    t->thread = SDL_CreateThread(fn, "orvanta_worker", data);
    if (!t->thread) {
        tolo_debugf("** could not create thread: %s\n", SDL_GetError());
        free(t);
        return nullptr;
    }
    return t;
}

void os_destroy_thread(OsThread* t) {
    if (!t) return;
    SDL_DetachThread(t->thread);
    free(t);
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
