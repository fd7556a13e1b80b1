// Frame edges until input and video out land: a plain black window that can be
// closed, paced to 60 frames a second; headless runs have no window and run freely.
#include <SDL2/SDL.h>

#include "host/host.h"
#include "kernel/boot.h"
#include "kernel/process.h"
#include "kernel/state.h"

static uint32_t last_frame_ms;
static SDL_Window* window;
static SDL_Renderer* renderer;

void start_frame() {
    if (config.headless || !SDL_WasInit(SDL_INIT_EVENTS)) return;
    SDL_Event e;
    while (SDL_PollEvent(&e))
        if (e.type == SDL_QUIT) {
            orvanta_exit();
            orvanta_terminate(0);
        }
}

static void open_window() {
    if (window || !SDL_WasInit(SDL_INIT_VIDEO)) return;
    window = SDL_CreateWindow("Orvanta", SDL_WINDOWPOS_CENTERED, SDL_WINDOWPOS_CENTERED, 960, 540,
                              SDL_WINDOW_RESIZABLE);
    if (!window) return;
    renderer = SDL_CreateRenderer(window, -1, 0);
}

static void present() {
    open_window();
    if (!renderer) return;
    SDL_SetRenderDrawColor(renderer, 0, 0, 0, 255);
    SDL_RenderClear(renderer);
    SDL_RenderPresent(renderer);
}

void end_frame() {
    // Video out marks the boot finished once pid 3 exists and 2.2 s of boot time passed.
    if (!app.boot_finished && get_process(3) && boot_get_time() >= 2200) {
        app.boot_finished = 1;
        tolo_debug("@@ finished_boot_sequence\n");
    }
    if (config.headless) return;
    present();
    uint32_t wait = app.slow_mode ? 32 : 16;
    uint32_t now = SDL_GetTicks();
    if (now - last_frame_ms < wait) SDL_Delay(wait - (now - last_frame_ms));
    last_frame_ms = SDL_GetTicks();
}

void os_apply_video_config() {}
void os_lock_mouse_cursor(int, int, int) {}
