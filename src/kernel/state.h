// The global settings (Config) and system flags (AppState), and start-up.
#pragma once
#include <cstdint>
#include "kernel/buffer.h"

struct Process;

struct Config {
    int32_t fullscreen;
    int32_t pixel_perfect;
    int32_t stretch;
    int32_t allow_highdpi;
    int32_t sdl_render_driver;
    int32_t fullscreen_window;
    int32_t pixel_scale;
    int32_t backtrail;
    int32_t volume;
    int32_t mute_audio;
    int32_t swap_stereo;
    int32_t network_access;
    int32_t battery_saver;
    int32_t deadzone;
    char home[1024];
    char desktop[1024];
    char start_path[1024];
    int32_t use_system_rom;
    int32_t headless;
    // Seconds after which a GIF recording ends (-gif_len).
    int32_t gif_len;
    // Megabytes that programs may add to host folders in a run.
    int32_t host_disk_limit_mb;
};

constexpr int32_t GIF_LEN_DEFAULT = 60;
constexpr int32_t GIF_LEN_MAX = 86400;

struct AppState {
    int32_t window_active;
    int64_t focus_gain_time;
    int32_t striped_boot_lines;
    int32_t signal_36;
    int64_t audio_focus_pid;
    int64_t last_synced_audio_pid;
    int32_t audio_capture_on;
    ByteBuffer* audio_capture_buffer;
    int32_t gif_recording;
    int32_t gif_frame_count;
    int32_t screenshot_pending;
    int32_t boot_finished;
    int32_t show_wm_video;
    int32_t extra_cart_present;
    int32_t no_new_cart_mounts;
    int32_t mouse_locked;
    int32_t locked_acc_x, locked_acc_y;
    int32_t lock_reset;
    int64_t exclusive_pid;
    int64_t last_activity_time;
    int32_t slow_mode;
    uint64_t frame_counter;
    uint64_t boot_clock_origin;
    int32_t reboot_request;
    int32_t exit_request;
};

constexpr int MAX_DAT_FILES = 64;
constexpr uint32_t DAT_RECORD_MAX = 0x2000000;
#define ORVANTA_VERSION "0.2.0c"
#define ORVANTA_BUILD_STAMP "250329-114129"

extern Config config;
extern AppState app;
extern ByteBuffer* dat_file[MAX_DAT_FILES];
extern int32_t dat_files;
extern Process* root_process;
extern int32_t host_started;

ByteBuffer* get_dat_file(int i);
// Reads sysrom.dat records from a host file; returns the count.
int load_dat_files(const char* path);
void free_dat_files();
void config_set_defaults();
void process_arguments(int argc, char** argv);
// Returns 0, or 1 when the default file could not be written (the caller exits 1).
int process_config();
void orvanta_apply_setting(const char* key, int32_t value);
void orvanta_apply_settings();
void reset_app_state();
// The parts of a reset that need no files: tables cleared, /ram mounted.
void reset_system_tables();
// Makes pid 1 from the placeholder chunk and makes it current; NULL on failure.
Process* create_root_process();
// One frame's process work: the root's slice with its bookkeeping, flushes, the frame counter.
void run_frame_processes();
void system_frame();
void orvanta_exit();
// Flushes output and ends the program with status.
[[noreturn]] void orvanta_terminate(int status);
