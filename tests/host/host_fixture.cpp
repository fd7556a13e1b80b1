#include "host/host_fixture.h"

#include <SDL2/SDL.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>

#include "host/host.h"
#include "host/input.h"
#include "kernel/messages.h"
#include "kernel/process.h"
#include "kernel/state.h"
#include "support/harness.h"

static std::string audio_path;

const std::string& audio_file() { return audio_path; }

static void boot_kernel() {
    ASSERT_TRUE(harness_boot(R"(
        _create_process_from_code("while true do flip() end", "pm", "/pm.lua")
        _create_process_from_code("while true do flip() end", "wm", "/wm.lua")
    )"));
    harness_run_frames(1);
    ASSERT_NE(get_process(3), nullptr);
    config.headless = 0;
    config.fullscreen = 0;
}

void host_up() {
    static bool up;
    boot_kernel();
    if (!up) {
        up = true;
        if (!getenv("SDL_VIDEODRIVER")) setenv("SDL_VIDEODRIVER", "dummy", 1);
        audio_path = "/tmp/orvanta_host_audio_" + std::to_string(getpid()) + ".raw";
        setenv("SDL_AUDIODRIVER", "disk", 1);
        setenv("SDL_DISKAUDIOFILE", audio_path.c_str(), 1);
        static pid_t owner = getpid();
        // Not in the forked children of death tests, whose parent still writes it.
        atexit([] {
            if (getpid() == owner) unlink(audio_path.c_str());
        });
        os_system_init();
        host_started = 1;
        os_apply_video_config();
    }
    // The window's first events start the 100 ms focus hold; tests start after it.
    handle_sdl_messages();
    app.focus_gain_time = -1000;
    wm_queue();
}

std::vector<std::string> wm_queue() {
    std::vector<std::string> out;
    Process* wm = get_process(3);
    while (ByteBuffer* b = read_process_message(wm, nullptr)) out.emplace_back((const char*)b->bytes, b->length);
    return out;
}

std::vector<std::string> pump() {
    handle_sdl_messages();
    return wm_queue();
}
