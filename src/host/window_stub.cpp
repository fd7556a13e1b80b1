// Frame edges until the window, input and video out land: frames are paced to
// 60 per second with a window, and run freely headless.
#include <SDL2/SDL.h>

#include "host/host.h"
#include "kernel/boot.h"
#include "kernel/process.h"
#include "kernel/state.h"

static uint32_t last_frame_ms;

void start_frame() {
    if (config.headless || !SDL_WasInit(SDL_INIT_EVENTS)) return;
    SDL_Event e;
    while (SDL_PollEvent(&e))
        if (e.type == SDL_QUIT) app.exit_request = 1;
}

void end_frame() {
    // Video out marks the boot finished once pid 3 exists and 2.2 s of boot time passed.
    if (!app.boot_finished && get_process(3) && boot_get_time() >= 2200) {
        app.boot_finished = 1;
        tolo_debug("@@ finished_boot_sequence\n");
    }
    if (config.headless) return;
    uint32_t wait = app.slow_mode ? 32 : 16;
    uint32_t now = SDL_GetTicks();
    if (now - last_frame_ms < wait) SDL_Delay(wait - (now - last_frame_ms));
    last_frame_ms = SDL_GetTicks();
}

void os_apply_video_config() {}
void os_lock_mouse_cursor(int, int, int) {}
