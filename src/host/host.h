// Host services: clock, folders, log, audio lock, threads.
#pragma once
#include <cstdint>

struct lua_State;

extern char tolo_argv0[1024];
extern char tolo_debug_string[16384];

void os_system_init();
uint32_t get_ticks();
int64_t os_get_time();
int os_lock_audio();
void os_unlock_audio();
char* tolo_prefix_with_program_path(const char* name, char* out);
char* tolo_prefix_with_appdata_path(const char* name, char* out);
char* tolo_prefix_with_desktop_path(const char* name, char* out);
int tolo_mkdir(const char* path);
void tolo_debug(const char* msg);
// printf-style convenience over tolo_debug_string.
void tolo_debugf(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void os_add_public_c_functions(lua_State* L);

// Frame edges owned by the window and event layers.
void start_frame();
void end_frame();
void os_apply_video_config();
void os_lock_mouse_cursor(int sensitivity, int move_sensitivity, int flags);

// Opens a host path or URL with the desktop's opener.
void open_host_file(const char* text);
