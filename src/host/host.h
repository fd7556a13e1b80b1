// Host services: clock, folders, log, audio device and lock, threads, opener.
#pragma once
#include <cstddef>
#include <cstdint>

struct lua_State;

extern char tolo_argv0[1024];
extern char tolo_debug_string[16384];

void os_system_init();
uint64_t get_ticks();
int64_t os_get_time();
int os_lock_audio();
void os_unlock_audio();
char* tolo_prefix_with_program_path(const char* name, char* out);
char* tolo_prefix_with_appdata_path(const char* name, char* out);
char* tolo_prefix_with_desktop_path(const char* name, char* out);
int tolo_mkdir(const char* path);
// Appends one line to log.txt; the file stops growing at LOG_LIMIT bytes.
void tolo_debug(const char* msg);
constexpr int64_t LOG_LIMIT = 16 << 20;
// printf-style convenience over tolo_debug_string.
void tolo_debugf(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void os_add_public_c_functions(lua_State* L);

// Frame edges owned by the window and event layers.
void start_frame();
void end_frame();
void os_apply_video_config();
// True when the window was made at another pixel scale than the settings now ask.
bool os_pixel_scale_changed();
// Once a frame with pid 3's bytes 0x5F2D, 0x5F28 and 0x5F29.
void os_lock_mouse_cursor(int flags, int event_sensitivity, int move_sensitivity);

// Opens a host path or URL with the desktop's opener.
void open_host_file(const char* text);
// Percent-encodes a URL into out; 0 when it does not fit in cap bytes.
size_t encode_url(const char* url, char* out, size_t cap);

struct OsThread;
OsThread* os_create_thread(int (*fn)(void*), void* data);
// Detaches the thread (it runs on until its function returns) and frees the record.
void os_destroy_thread(OsThread* t);
