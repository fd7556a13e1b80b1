// The host window: window, renderer and streaming texture from the video
// settings, presentation of the video frame, title and icon, frame pacing.
#include "host/window.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

#include "arrays/typed_array.h"
#include "graphics/graphics.h"
#include "graphics/video.h"
#include "host/host.h"
#include "kernel/api_tables.h"
#include "kernel/process.h"
#include "kernel/state.h"
#include "lua.h"

SDL_Window* sdl_window;
int32_t sdl_window_w, sdl_window_h;
static SDL_Renderer* sdl_renderer;
static SDL_Texture* sdl_texture;
static int32_t last_win_x = SDL_WINDOWPOS_UNDEFINED, last_win_y = SDL_WINDOWPOS_UNDEFINED;
static int32_t last_win_w, last_win_h;
static int32_t last_fullscreen;
static int32_t window_scale;  // the clamped pixel scale the window was made with
static int32_t preblit_scale = 1;
static float renderer_scale_x = 1, renderer_scale_y = 1;
static char sdl_window_title[1024] = "Orvanta";
static uint32_t window_icon_dat[128 * 128];
static int32_t use_custom_window_icon;
static int32_t headless_frame;

int pixel_scale_clamp(int v) { return v == 0 ? 2 : v < 1 ? 1 : v > 16 ? 16 : v; }

bool os_pixel_scale_changed() { return sdl_window && pixel_scale_clamp(config.pixel_scale) != window_scale; }

SDL_Rect dest_rect_for(int w, int h, int pixel_perfect, int stretch) {
    int rw, rh;
    if (pixel_perfect && stretch) {
        rw = w < 480 ? 0 : 480 * (w / 480);
        rh = h < 270 ? 0 : 270 * (h / 270);
    } else if (pixel_perfect) {
        int k = 1;
        while (480 * (k + 1) <= w && 270 * (k + 1) <= h) k++;
        rw = 480 * k;
        rh = 270 * k;
    } else if (stretch) {
        rw = w;
        rh = h;
    } else if ((double)w / (double)h < 1.7777777777777777) {
        rw = w;
        rh = (int)((float)w * 270.0f / 480.0f);
    } else {
        rh = h;
        rw = (int)((float)h * 480.0f / 270.0f);
    }
    return SDL_Rect{(w - rw) / 2, (h - rh) / 2, rw, rh};
}

bool get_dest_rect(SDL_Rect* rect) {
    *rect = SDL_Rect{0, 0, 0, 0};
    if (!sdl_window) {
        static bool logged;
        if (!logged) tolo_debug("** get_dest_rect: no window yet\n");
        logged = true;
        return false;
    }
    SDL_GetWindowSize(sdl_window, &sdl_window_w, &sdl_window_h);
    *rect = dest_rect_for(sdl_window_w, sdl_window_h, config.pixel_perfect, config.stretch);
    return rect->w > 0 && rect->h > 0;
}

static void apply_window_icon() {
    SDL_Surface* s = SDL_CreateRGBSurfaceFrom(window_icon_dat, 128, 128, 32, 512, 0x00FF0000, 0x0000FF00,
                                              0x000000FF, 0xFF000000);
    if (!s) return;
    SDL_SetWindowIcon(sdl_window, s);
    SDL_FreeSurface(s);
}

static void release_video() {
    if (sdl_texture) SDL_DestroyTexture(sdl_texture);
    if (sdl_renderer) SDL_DestroyRenderer(sdl_renderer);
    if (sdl_window) SDL_DestroyWindow(sdl_window);
    sdl_texture = nullptr;
    sdl_renderer = nullptr;
    sdl_window = nullptr;
}

// Window, renderer and texture from the settings now in Config; false (with
// nothing left open) when one of them can't be made.
static bool create_video(const SDL_DisplayMode& desktop, bool software) {
    int scale = pixel_scale_clamp(config.pixel_scale);
    config.pixel_scale = scale;
    int w = 480 * scale, h = 270 * scale;
    int x = last_win_x, y = last_win_y;
    Uint32 flags = SDL_WINDOW_SHOWN;
    if (config.allow_highdpi) flags |= SDL_WINDOW_ALLOW_HIGHDPI;
    if (config.fullscreen) {
        w = desktop.w;
        h = desktop.h;
        if (config.fullscreen_window) {
            x = y = 0;
            flags |= SDL_WINDOW_BORDERLESS;
        } else {
            flags |= SDL_WINDOW_FULLSCREEN_DESKTOP;
        }
    } else {
        flags |= SDL_WINDOW_RESIZABLE;
        if (last_win_w > 0) w = last_win_w;
        if (last_win_h > 0) h = last_win_h;
    }
    last_fullscreen = config.fullscreen;
    tolo_debugf("creating SDL window %d %d flags %d\n", w, h, (int)flags);
    sdl_window = SDL_CreateWindow(sdl_window_title, x, y, w, h, flags);
    if (!sdl_window) {
        tolo_debugf("** could not create window: %s\n", SDL_GetError());
        return false;
    }
    sdl_window_w = w;
    sdl_window_h = h;
    // Paced by our own timer, never by the display's refresh rate: no vsync.
    sdl_renderer = SDL_CreateRenderer(sdl_window, -1, software ? SDL_RENDERER_SOFTWARE : 0);
    if (!sdl_renderer) {
        tolo_debugf("** could not create renderer: %s\n", SDL_GetError());
        release_video();
        return false;
    }
    SDL_RendererInfo info;
    if (SDL_GetRendererInfo(sdl_renderer, &info) == 0) tolo_debugf("renderer: %s\n", info.name);
    SDL_SetHint(SDL_HINT_RENDER_SCALE_QUALITY, config.pixel_perfect ? "nearest" : "linear");
    SDL_RenderSetScale(sdl_renderer, 1.0f, 1.0f);
    renderer_scale_x = renderer_scale_y = 1.0f;
    int ow = 0, oh = 0;
    SDL_GetRendererOutputSize(sdl_renderer, &ow, &oh);
    if (ow != w && w > 0 && h > 0) {
        renderer_scale_x = (float)ow / (float)w;
        renderer_scale_y = (float)oh / (float)h;
    }
    tolo_debugf("renderer_scale: %f,%f\n", renderer_scale_x, renderer_scale_y);
    SDL_RenderSetScale(sdl_renderer, renderer_scale_x, renderer_scale_y);
    SDL_SetRenderDrawColor(sdl_renderer, 0, 0, 0, 255);
    SDL_RenderClear(sdl_renderer);
    SDL_RenderPresent(sdl_renderer);
    preblit_scale = config.pixel_perfect ? 1 : 2;
    sdl_texture = SDL_CreateTexture(sdl_renderer, SDL_PIXELFORMAT_ARGB8888, SDL_TEXTUREACCESS_STREAMING,
                                    480 * preblit_scale, 270 * preblit_scale);
    if (!sdl_texture) {
        tolo_debugf("** could not create texture: %s\n", SDL_GetError());
        release_video();
        return false;
    }
    // Frame pixels carry no alpha: the texture is copied, never blended.
    SDL_SetTextureBlendMode(sdl_texture, SDL_BLENDMODE_NONE);
    if (use_custom_window_icon) apply_window_icon();
    window_scale = scale;
    return true;
}

struct VideoSettings {
    int32_t fullscreen, pixel_perfect, stretch, allow_highdpi, fullscreen_window, pixel_scale;
};

static VideoSettings video_settings_now() {
    return {config.fullscreen, config.pixel_perfect, config.stretch, config.allow_highdpi, config.fullscreen_window,
            config.pixel_scale};
}

static void restore_video_settings(const VideoSettings& v) {
    config.fullscreen = v.fullscreen;
    config.pixel_perfect = v.pixel_perfect;
    config.stretch = v.stretch;
    config.allow_highdpi = v.allow_highdpi;
    config.fullscreen_window = v.fullscreen_window;
    config.pixel_scale = v.pixel_scale;
}

void os_apply_video_config() {
    static bool have_good;
    static VideoSettings good;
    if (config.headless || !SDL_WasInit(SDL_INIT_VIDEO)) return;
    if (config.sdl_render_driver == 1) SDL_SetHint(SDL_HINT_RENDER_DRIVER, "opengl");
    if (sdl_window && !last_fullscreen) {
        SDL_GetWindowPosition(sdl_window, &last_win_x, &last_win_y);
        SDL_GetWindowSize(sdl_window, &last_win_w, &last_win_h);
        // A new pixel scale asks for its own size, not the remembered one.
        if (pixel_scale_clamp(config.pixel_scale) != window_scale) last_win_w = last_win_h = 0;
    }
    SDL_DisplayMode desktop{};
    if (SDL_GetDesktopDisplayMode(0, &desktop) != 0) {
        desktop.w = 960;
        desktop.h = 540;
    }
    release_video();
    if (create_video(desktop, false)) {
        good = video_settings_now();
        have_good = true;
        return;
    }
    if (have_good) {
        tolo_debug("** retrying with the previous video settings\n");
        restore_video_settings(good);
        if (create_video(desktop, false)) return;
    }
    tolo_debug("** retrying with a software renderer\n");
    if (create_video(desktop, true)) {
        good = video_settings_now();
        have_good = true;
        return;
    }
    printf("could not create renderer\n");
    orvanta_exit();
    orvanta_terminate(1);
}

// Writes the frame into the streaming texture, doubled when the texture is 960 x 540
// so that linear filtering blends only at the edges of virtual pixels.
static bool upload_frame(const uint32_t* pixels, int pitch) {
    void* dst;
    int dpitch;
    if (SDL_LockTexture(sdl_texture, nullptr, &dst, &dpitch) != 0) return false;
    uint8_t* out = (uint8_t*)dst;
    if (preblit_scale == 2) {
        for (int y = 0; y < 270; y++) {
            const uint32_t* src = pixels + (size_t)y * pitch;
            uint32_t* row = (uint32_t*)(out + (size_t)(2 * y) * dpitch);
            for (int x = 0; x < 480; x++) row[2 * x] = row[2 * x + 1] = src[x];
            memcpy(out + (size_t)(2 * y + 1) * dpitch, row, 960 * 4);
        }
    } else {
        for (int y = 0; y < 270; y++) memcpy(out + (size_t)y * dpitch, pixels + (size_t)y * pitch, 480 * 4);
    }
    SDL_UnlockTexture(sdl_texture);
    return true;
}

void blit_to_sdl_window_hardware(const uint32_t* pixels, int pitch) {
    if (!sdl_renderer || !sdl_texture) return;
    SDL_SetHint(SDL_HINT_RENDER_SCALE_QUALITY, config.pixel_perfect ? "nearest" : "linear");
    if (!upload_frame(pixels, pitch)) return;
    SDL_SetRenderDrawColor(sdl_renderer, 0, 0, 0, 255);
    SDL_SetRenderDrawBlendMode(sdl_renderer, SDL_BLENDMODE_NONE);
    SDL_RenderClear(sdl_renderer);
    SDL_Rect r;
    if (!get_dest_rect(&r)) {
        tolo_debug("** failed: blit_to_sdl_window_hardware can not find blit dest_rect\n");
        return;
    }
    SDL_RenderCopy(sdl_renderer, sdl_texture, nullptr, &r);
    SDL_RenderPresent(sdl_renderer);
}

// Frame pacing on a steady clock, in thirds of a microsecond so that three
// frames make exactly 50 ms: frames of 16 and 17 ms, 60 a second in the long run.
static void pace_frame(bool slow) {
    using clock = std::chrono::steady_clock;
    constexpr int64_t FRAME = 50000;  // 1/60 s
    static int64_t deadline;
    auto now3 = [] {
        return std::chrono::duration_cast<std::chrono::microseconds>(clock::now().time_since_epoch()).count() * 3;
    };
    int64_t now = now3();
    // A few frames behind, the next frames run without waiting until the clock is
    // caught up, so process time keeps up with the wall clock. Far behind (a stop
    // in a debugger, a suspended machine): start again from now, no long burst.
    if (deadline == 0 || now > deadline + 10 * FRAME) deadline = now;
    deadline += slow ? 2 * FRAME : FRAME;
    for (int waits = 0; now < deadline && waits < 100; waits++) {
        std::this_thread::sleep_for(std::chrono::microseconds((deadline - now + 2) / 3));
        now = now3();
    }
}

void end_frame() {
    if (config.headless) {
        if (++headless_frame % 4 == 0) SDL_Delay(1);
        return;
    }
    if (VideoFrame* f = generate_video_out()) blit_to_sdl_window_hardware(f->back_page, VIDEO_WIDTH);
    int64_t now = os_get_time();
    app.slow_mode = config.battery_saver && now > app.last_activity_time + 500 && app.boot_finished;
    pace_frame(app.slow_mode != 0);
}

void os_set_window_title(const char* title) {
    if (!title || strlen(title) >= sizeof sdl_window_title) return;
    strcpy(sdl_window_title, title);
    if (sdl_window) SDL_SetWindowTitle(sdl_window, sdl_window_title);
}

void os_set_window_icon(const uint8_t* pixels, int width, int height, const uint32_t* palette) {
    if (!pixels) {
        use_custom_window_icon = 0;
        return;
    }
    use_custom_window_icon = 1;
    for (int y = 0; y < 128; y++)
        for (int x = 0; x < 128; x++) {
            uint8_t v = pixels[(y / 8) * width + x / 8];
            window_icon_dat[y * 128 + x] = v ? 0xFF000000u | palette[v & 63] : 0;
        }
    if (sdl_window) apply_window_icon();
}

const uint32_t* os_window_icon_pixels() { return window_icon_dat; }

void os_minimise_window() {
    if (sdl_window) SDL_MinimizeWindow(sdl_window);
}

static int lua54_set_host_window_title(lua_State* L) {
    if (lua_type(L, 1) == LUA_TSTRING) os_set_window_title(lua_tostring(L, 1));
    return 0;
}

static int lua54_set_host_window_icon(lua_State* L) {
    if (lua_type(L, 1) != LUA_TUSERDATA) {
        os_set_window_icon(nullptr, 0, 0, nullptr);
        return 0;
    }
    TypedArray* a = to_typed_array(L, 1);
    if (a && ta_tag(a) == UT_U8 && a->width == 16 && a->height == 16)
        os_set_window_icon(ta_data(a), 16, 16, system_palette);
    return 0;
}

const ApiEntry window_api[] = {
    {"_set_host_window_icon", lua54_set_host_window_icon},
    {"_set_host_window_title", lua54_set_host_window_title},
    {nullptr, nullptr},
};
