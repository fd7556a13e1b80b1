// Start-up, settings, the configuration file and the main loop.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "audio/sonk.h"
#include "graphics/graphics.h"
#include "graphics/video.h"
#include "host/capture.h"
#include "host/host.h"
#include "kernel/boot.h"
#include "kernel/process.h"
#include "kernel/sat.h"
#include "kernel/state.h"
#include "storage/backtrail.h"
#include "storage/cart.h"
#include "storage/host_disk.h"
#include "storage/pdisk.h"
#include "lua.h"
#include "lauxlib.h"
#include "lualib.h"

Config config;
AppState app;
ByteBuffer* dat_file[MAX_DAT_FILES];
int32_t dat_files;
Process* root_process;
int32_t host_started;
static int32_t video_settings_hash = -1;

[[noreturn]] void orvanta_terminate(int status) {
    fflush(stdout);
    exit(status);
}

ByteBuffer* get_dat_file(int i) {
    if (i < 0 || i >= dat_files) return nullptr;
    dat_file[i]->cursor = 0;
    return dat_file[i];
}

int load_dat_files(const char* path) {
    FILE* f = fopen(path, "rb");
    if (!f) return dat_files;
    uint8_t head[4];
    while (dat_files < MAX_DAT_FILES && fread(head, 1, 4, f) == 4) {
        uint32_t len = ((uint32_t)head[0] << 24) | ((uint32_t)head[1] << 16) | ((uint32_t)head[2] << 8) | head[3];
        if (len > DAT_RECORD_MAX) break;
        ByteBuffer* b = create_buffer_2((int64_t)len + 7, BUF_TAG_DAT_FILE);
        // Only a record that arrives whole gets its length; a short one stays empty.
        if (len > 0 && fread(b->bytes, 1, len, f) == len) b->length = (int32_t)len;
        b->cursor = 0;
        dat_file[dat_files++] = b;
    }
    fclose(f);
    return dat_files;
}

void free_dat_files() {
    for (int i = 0; i < dat_files; i++) destroy_buffer(dat_file[i]);
    dat_files = 0;
}

void config_set_defaults() {
    memset(&config, 0, sizeof config);
    config.fullscreen = 1;
    config.pixel_perfect = 1;
    config.volume = 192;
    config.network_access = 1;
    config.gif_len = GIF_LEN_DEFAULT;
    config.host_disk_limit_mb = HOST_DISK_DEFAULT_MB;
    host_disk_set_limit_mb(config.host_disk_limit_mb);
}

// "-gif_len" seconds: a positive number, whole seconds rounded up; anything else keeps what was set.
static void set_gif_len(const char* a) {
    char* end = nullptr;
    double v = strtod(a, &end);
    if (end == a || *end || !(v > 0)) {
        printf("** -gif_len wants a number of seconds, not %s\n", a);
        return;
    }
    config.gif_len = std::min(sat_f2i32(std::ceil(v)), GIF_LEN_MAX);
}

static void copy_arg(char* dst, const char* src) {
    size_t n = strlen(src);
    if (n > 1023) n = 1023;
    memcpy(dst, src, n);
    dst[n] = 0;
}

void process_arguments(int argc, char** argv) {
    // What the next plain argument is for: 0 the start path, 1 the home folder, 2 nothing, 3 the GIF length.
    int pending = 0;
    for (int i = 1; i < argc; i++) {
        const char* a = argv[i];
        if (a[0] == '&' || a[0] == '>' || a[0] == '|') break;
        if (!strncmp(a, "-home", 5)) {
            pending = 1;
        } else if (!strncmp(a, "-x", 2)) {
            config.headless = 1;
        } else if (!strncmp(a, "-use_system_rom", 15)) {
            config.use_system_rom = 1;
        } else if (!strcmp(a, "-gif_len")) {
            pending = 3;
        } else if (a[0] == '-') {
            pending = 2;  // unknown options take a value we ignore
        } else if (pending == 3) {
            set_gif_len(a);
            pending = 0;
        } else if (pending == 1) {
            copy_arg(config.home, a);
            tolo_mkdir(config.home);
            pending = 0;
        } else if (pending == 2) {
            pending = 0;
        } else {
            copy_arg(config.start_path, a);
        }
    }
}

int process_config() {
    char drive[1024], path[1024];
    tolo_prefix_with_appdata_path("drive", drive);
    tolo_mkdir(drive);
    tolo_prefix_with_appdata_path("orvanta_config.txt", path);
    FILE* f = fopen(path, "rb");
    if (!f) {
        tolo_debugf("writing default config to %s\n", path);
        // Written beside and renamed, so a failed write never leaves a truncated file.
        char tmp[1100];
        snprintf(tmp, sizeof tmp, "%s.tmp", path);
        FILE* w = fopen(tmp, "wb");
        bool ok = w != nullptr;
        if (w) {
            ok = fprintf(w, "# orvanta config\n\n") > 0 && fprintf(w, "mount / %s\n", drive) > 0;
            ok = (fclose(w) == 0) && ok;
        }
        if (!ok || rename(tmp, path) != 0) {
            remove(tmp);
            printf("ERROR: could not write to %s\n", path);
            return 1;
        }
        f = fopen(path, "rb");
        if (!f) {
            printf("ERROR: could not write to %s\n", path);
            return 1;
        }
    }
    ByteBuffer* text = create_buffer_2(1024, BUF_TAG_CONFIG);
    char chunk[1024];
    size_t got;
    while ((got = fread(chunk, 1, sizeof chunk, f)) > 0) bwrite(chunk, 1, (int64_t)got, text);
    fclose(f);
    text->cursor = 0;
    ByteBuffer* line = nullptr;
    while (text->cursor < text->length) {
        line = breadln(text, line);
        const char* s = to_cstr(line);
        if (strncmp(s, "mount ", 6) != 0) continue;
        const char* p = s + 6;
        char point[256];
        int n = 0;
        while (p[n] && (unsigned char)p[n] > 0x20 && (unsigned char)p[n] < 0x80 && n < 255) {
            point[n] = p[n];
            n++;
        }
        point[n] = 0;
        // A point longer than 255 bytes is cut there; the rest of it is skipped.
        while (*p && (unsigned char)*p > 0x20 && (unsigned char)*p < 0x80) p++;
        while (*p == ' ') p++;
        tolo_debugf("mount: [%s] [%s]\n", point, p);
        mount_host_path(point, p);
    }
    destroy_buffer(line);
    destroy_buffer(text);
    return 0;
}

static int32_t flag(int32_t v) { return v != 0; }
static int32_t clamp256(int32_t v) { return v < 0 ? 0 : v > 256 ? 256 : v; }

void orvanta_apply_setting(const char* key, int32_t value) {
    struct Key {
        const char* name;
        int32_t* field;
        int kind;  // 0 flag, 1 as is, 2 clamped to 0..256
    };
    static const Key keys[] = {
        {"fullscreen", &config.fullscreen, 0},
        {"pixel_perfect", &config.pixel_perfect, 0},
        {"stretch", &config.stretch, 0},
        {"allow_highdpi", &config.allow_highdpi, 0},
        {"fullscreen_window", &config.fullscreen_window, 0},
        {"pixel_scale", &config.pixel_scale, 1},
        {"sdl_render_driver", &config.sdl_render_driver, 1},
        {"volume", &config.volume, 2},
        {"mute_audio", &config.mute_audio, 0},
        {"swap_stereo", &config.swap_stereo, 0},
        {"battery_saver", &config.battery_saver, 0},
        {"network_access", &config.network_access, 0},
        {"deadzone", &config.deadzone, 2},
        {"backtrail", &config.backtrail, 0},
    };
    // The host disk cap guards the host against programs: only the system's own
    // processes (pids 1-3) and the host itself may move it.
    if (!strcmp(key, "host_disk_limit_mb")) {
        if (cproc && cproc->pid > 3) return;
        config.host_disk_limit_mb = value < 1 ? 1 : value;
        host_disk_set_limit_mb(config.host_disk_limit_mb);
        return;
    }
    for (const Key& k : keys) {
        if (strcmp(key, k.name) != 0) continue;
        int32_t v = k.kind == 0 ? flag(value) : k.kind == 2 ? clamp256(value) : value;
        // The history records nothing while off: switch it on before recording the switch.
        bool switched_on = k.field == &config.backtrail && config.backtrail == 0 && v != 0;
        *k.field = v;
        if (switched_on) backtrail_event(4, nullptr, nullptr);
        return;
    }
}

void orvanta_apply_settings() {
    int32_t hash = config.fullscreen + 2 * config.pixel_perfect + 4 * config.allow_highdpi + 8 * config.stretch +
                   16 * config.fullscreen_window;
    if (hash != video_settings_hash || os_pixel_scale_changed()) {
        os_apply_video_config();
        video_settings_hash = hash;
    }
    os_lock_audio();
    sonk_set_volume(config.mute_audio ? 0 : config.volume);
    sonk_set_stereo_swap(config.swap_stereo);
    os_unlock_audio();
}

void reset_system_tables() {
    int32_t window_active = host_started ? app.window_active : 0;
    // Processes go first: their finalizers may still signal, and what they set
    // must not outlive the reset.
    processes_init();
    // Recordings are written out while the mounts they go to still exist.
    capture_finish_all();
    memset(&app, 0, sizeof app);
    app.window_active = window_active;

    boot_init();
    pfile_init();
    pfile_reset();
    init_default_coltabs();
    os_lock_audio();
    sonk_init();
    os_unlock_audio();
    app.audio_focus_pid = -2;
    app.last_synced_audio_pid = -3;
    mount_ram_folder("/ram");
}

Process* create_root_process() {
    root_process = create_process_from_code("--[[ :: root process :: ]]", "[root]", "[root]");
    if (!root_process) return nullptr;
    set_current_process(root_process);
    if (!process_open_libs(root_process)) return nullptr;
    return root_process;
}

void reset_app_state() {
    reset_system_tables();
    if (process_config() != 0) orvanta_terminate(1);
    char data[1024];
    tolo_prefix_with_program_path("data", data);
    if (host_directory_exists(data)) mount_host_path("/host_data", data);

    if (!create_root_process()) {
        printf("** could not create the root process\n");
        orvanta_terminate(1);
    }

    if (dat_files < 2) {
        printf("sysrom.dat not found\n");
        tolo_debug("sysrom.dat not found\n");
        orvanta_terminate(1);
    }
    ByteBuffer* rom = get_dat_file(1);
    mount_ram_folder("/system");
    populate_ram_folder_from_q64_rom_buffer("", rom);

    FileSlot* f = pfopen("/system/boot.lua", "r");
    if (!f || !f->contents) {
        pfclose(f);
        printf("could not find /system/boot.lua\n");
        orvanta_terminate(0);
    }
    lua_State* L = root_process->L;
    // The root's body replaces the placeholder chunk left by process creation.
    // Like a loaded string, the chunk is named by its text; it must be text.
    lua_settop(L, 0);
    const char* text = to_cstr(f->contents);
    int status = luaL_loadbufferx(L, text, (size_t)f->contents->length, text, "t");
    pfclose(f);
    if (status != LUA_OK) {
        printf("error in /system/boot.lua %s\n", lua_tostring(L, -1));
        orvanta_terminate(0);
    }

    int64_t t0 = os_get_time();
    backtrail_open();
    tolo_debugf("backtrail init: %lldms\n", (long long)(os_get_time() - t0));

    if (dat_files >= 3) {
        ByteBuffer* cart = get_dat_file(2);
        app.extra_cart_present = 1;
        mount_ram_folder("/ram/expcart");
        populate_ram_folder_from_q64_rom_buffer("/ram/expcart", cart);
    }
}

void orvanta_exit() {
    for (int i = 0; i < 120 && app.exclusive_pid && root_process; i++) {
        prepare_processes_for_frame();
        cproc = nullptr;
        run_process_slice(root_process, 1.0);
        update_processes_after_frame();
    }
    capture_finish_all();
    // Edits are never lost with the program, whoever holds the system.
    flush_dirty_mounts_immediately(1);
    backtrail_close();
}

void run_frame_processes() {
    prepare_processes_for_frame();
    cproc = nullptr;  // the root's slice is charged to no other process
    run_process_slice(root_process, 1.0);
    update_processes_after_frame();
    audio_capture_drain();
    flush_dirty_mounts_delayed();
    prune_mounts();
    app.frame_counter++;
}

void system_frame() {
    if (app.reboot_request && !app.exclusive_pid) {
        flush_dirty_mounts_immediately(1);
        tolo_debug("--- rebooting ---\n\n");
        reset_app_state();
    }
    if (app.exit_request && !app.exclusive_pid) {
        orvanta_exit();
        orvanta_terminate(0);
    }
    if (!host_started) {
        os_system_init();
        host_started = 1;
    }
    start_frame();
    run_frame_processes();
    // No video is made headless, but the boot finishes by video out's rule.
    if (config.headless) video_update_boot_state();
    end_frame();
}
