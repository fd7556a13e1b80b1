// Window geometry, video settings, title and icon, and presentation of a frame.
#include <SDL2/SDL.h>
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <sstream>

#include "graphics/video.h"
#include "host/host.h"
#include "host/input.h"
#include "host/host_fixture.h"
#include "host/window.h"
#include "kernel/state.h"
#include "support/harness.h"

// Stand-ins over SDL's own functions (SDL is linked dynamically, so these
// definitions win): refuse the next renderers asked for, or report an output
// larger than the window, as a HiDPI display does.
static int renderers_to_refuse;
static Uint32 last_renderer_flags;
static int output_scale = 1;

SDL_Renderer* SDL_CreateRenderer(SDL_Window* window, int index, Uint32 flags) {
    using Real = SDL_Renderer* (*)(SDL_Window*, int, Uint32);
    static Real real = (Real)dlsym(RTLD_NEXT, "SDL_CreateRenderer");
    last_renderer_flags = flags;
    if (renderers_to_refuse > 0) {
        renderers_to_refuse--;
        SDL_SetError("refused by the test");
        return nullptr;
    }
    return real(window, index, flags);
}

int SDL_GetRendererOutputSize(SDL_Renderer* renderer, int* w, int* h) {
    using Real = int (*)(SDL_Renderer*, int*, int*);
    static Real real = (Real)dlsym(RTLD_NEXT, "SDL_GetRendererOutputSize");
    int r = real(renderer, w, h);
    *w *= output_scale;
    *h *= output_scale;
    return r;
}

namespace {

TEST(DestRect, FourRules) {
    struct Case {
        int w, h, pixel_perfect, stretch;
        SDL_Rect want;
    } cases[] = {
        {1000, 600, 1, 0, {20, 30, 960, 540}},
        {960, 540, 1, 0, {0, 0, 960, 540}},
        {400, 300, 1, 0, {-40, 15, 480, 270}},  // never below scale 1
        {1920, 1080, 1, 0, {0, 0, 1920, 1080}},
        {1500, 600, 1, 1, {30, 30, 1440, 540}},  // each axis its own multiple
        {470, 300, 1, 1, {235, 15, 0, 270}},     // narrower than the screen: nothing to show
        {1000, 600, 0, 1, {0, 0, 1000, 600}},
        {300, 300, 0, 0, {0, 66, 300, 168}},
        {1920, 800, 0, 0, {249, 0, 1422, 800}},
        {1, 1, 0, 0, {0, 0, 1, 0}},
    };
    for (const Case& c : cases) {
        SDL_Rect r = dest_rect_for(c.w, c.h, c.pixel_perfect, c.stretch);
        EXPECT_EQ((std::vector<int>{r.x, r.y, r.w, r.h}), (std::vector<int>{c.want.x, c.want.y, c.want.w, c.want.h}))
            << c.w << "x" << c.h << " pp " << c.pixel_perfect << " stretch " << c.stretch;
    }
}

TEST(DestRect, PixelScaleClamp) {
    struct Case {
        int in, out;
    } cases[] = {{0, 2}, {1, 1}, {5, 5}, {16, 16}, {17, 16}, {-3, 1}, {INT32_MIN, 1}, {INT32_MAX, 16}};
    for (const Case& c : cases) EXPECT_EQ(pixel_scale_clamp(c.in), c.out) << c.in;
}

std::string log_text() {
    char path[1024];
    tolo_prefix_with_appdata_path("log.txt", path);
    std::ifstream f(path);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

TEST(Window, SettingsMakeTheWindow) {
    host_up();
    EXPECT_NE(log_text().find("creating SDL window 960 540 flags 36\n"), std::string::npos);
    int w, h;
    SDL_GetWindowSize(sdl_window, &w, &h);
    EXPECT_EQ(w, 960);
    EXPECT_EQ(h, 540);
    EXPECT_TRUE(SDL_GetWindowFlags(sdl_window) & SDL_WINDOW_RESIZABLE);
    EXPECT_STREQ(SDL_GetWindowTitle(sdl_window), "Orvanta");

    // A new pixel scale alone makes a window of the new size.
    orvanta_apply_setting("pixel_scale", 3);
    orvanta_apply_settings();
    SDL_GetWindowSize(sdl_window, &w, &h);
    EXPECT_EQ(w, 1440);
    EXPECT_EQ(h, 810);
    EXPECT_EQ(config.pixel_scale, 3);
    // The same settings again leave the window alone, even a 0 that means 2.
    SDL_Window* before = sdl_window;
    orvanta_apply_settings();
    EXPECT_EQ(sdl_window, before);
    orvanta_apply_setting("pixel_scale", 0);
    orvanta_apply_settings();
    SDL_GetWindowSize(sdl_window, &w, &h);
    EXPECT_EQ(w, 960);
    before = sdl_window;
    orvanta_apply_setting("pixel_scale", 0);
    orvanta_apply_settings();
    EXPECT_EQ(sdl_window, before);
}

TEST(Window, TitleAndIcon) {
    host_up();
    std::vector<std::string> out = harness_eval({
        "_set_host_window_title('my title')",
        "_set_host_window_title(string.rep('x', 1024))",
        "_set_host_window_icon(icon)",
    }, R"(
        icon = userdata("u8", 16, 16)
        icon:set(1, 0, 8)   -- column 1, row 0: colour 8
        icon:set(0, 15, 71) -- bank bits ignored: colour 7
    )");
    EXPECT_STREQ(SDL_GetWindowTitle(sdl_window), "my title");
    const uint32_t* px = os_window_icon_pixels();
    EXPECT_EQ(px[0], 0u);                        // colour 0 is transparent
    EXPECT_EQ(px[8], 0xFFFF004Du);               // (8, 0) from source (1, 0)
    EXPECT_EQ(px[15 + 7 * 128], 0xFFFF004Du);
    EXPECT_EQ(px[16], 0u);
    EXPECT_EQ(px[127 * 128 + 7], 0xFFFFF1E8u);   // (7, 127) from source (0, 15)
    // Anything but a 16 x 16 u8 array leaves the icon as it is.
    harness_eval({"_set_host_window_icon(userdata('u8', 8, 8))", "_set_host_window_icon(userdata('i16', 16, 16))"});
    EXPECT_EQ(os_window_icon_pixels()[8], 0xFFFF004Du);
}

TEST(Window, WindowedSizeSurvivesFullscreen) {
    host_up();
    SDL_SetWindowSize(sdl_window, 1000, 600);
    orvanta_apply_setting("fullscreen", 1);
    orvanta_apply_settings();
    EXPECT_TRUE(SDL_GetWindowFlags(sdl_window) & SDL_WINDOW_FULLSCREEN_DESKTOP);
    orvanta_apply_setting("fullscreen", 0);
    orvanta_apply_settings();
    int w, h;
    SDL_GetWindowSize(sdl_window, &w, &h);
    EXPECT_EQ(w, 1000);
    EXPECT_EQ(h, 600);
    SDL_SetWindowSize(sdl_window, 960, 540);
}

// Battery saver: 30 frames a second once nothing happened for 500 ms after
// boot; any host event brings 60 back on the next frame.
TEST(Window, SlowModeFollowsActivity) {
    host_up();
    config.battery_saver = 1;
    app.boot_finished = 1;
    app.last_activity_time = os_get_time() - 1000;
    end_frame();
    EXPECT_EQ(app.slow_mode, 1);
    SDL_Event e{};
    e.type = SDL_USEREVENT;
    SDL_PushEvent(&e);
    handle_sdl_messages();
    end_frame();
    EXPECT_EQ(app.slow_mode, 0);
    config.battery_saver = 0;
    end_frame();
    EXPECT_EQ(app.slow_mode, 0);
}

// Window settings known to work, made afresh: the ones a failed change falls back to.
void make_window(int pixel_perfect) {
    host_up();
    config.fullscreen = 0;
    config.pixel_perfect = pixel_perfect;
    config.stretch = 0;
    config.pixel_scale = 2;
    os_apply_video_config();
    ASSERT_NE(SDL_GetRenderer(sdl_window), nullptr);
}

TEST(Window, RendererFailureFallsBack) {
    struct Case {
        int refused;
        const char* log_line;
        bool software;
    } cases[] = {
        {1, "** retrying with the previous video settings\n", false},
        {2, "** retrying with a software renderer\n", true},
    };
    for (const Case& c : cases) {
        make_window(1);
        size_t logged = log_text().size();
        config.pixel_perfect = 0;
        renderers_to_refuse = c.refused;
        os_apply_video_config();
        EXPECT_EQ(renderers_to_refuse, 0);
        EXPECT_NE(log_text().find(c.log_line, logged), std::string::npos) << c.refused;
        EXPECT_EQ((last_renderer_flags & SDL_RENDERER_SOFTWARE) != 0, c.software) << c.refused;
        // The window shows the frame with the settings that worked.
        ASSERT_NE(SDL_GetRenderer(sdl_window), nullptr);
        EXPECT_EQ(config.pixel_perfect, 1);
        blit_to_sdl_window_hardware(video_frame.back_page, VIDEO_WIDTH);
    }
    renderers_to_refuse = 0;
}

// No renderer at all: the program says so and ends with status 1.
TEST(Window, NoRendererEndsTheProgram) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            make_window(1);
            dup2(2, 1);  // standard output, where the message goes, into what the test reads
            renderers_to_refuse = 3;
            os_apply_video_config();
        },
        ::testing::ExitedWithCode(1), "could not create renderer");
}

// Renderer output twice the window: drawing is scaled so that the destination
// rectangle stays in window units, and the pointer maps as before.
TEST(Window, HighDpiRendererScale) {
    make_window(1);
    size_t logged = log_text().size();
    output_scale = 2;
    os_apply_video_config();
    output_scale = 1;
    EXPECT_NE(log_text().find("renderer_scale: 2.000000,2.000000\n", logged), std::string::npos);
    float sx = 0, sy = 0;
    SDL_RenderGetScale(SDL_GetRenderer(sdl_window), &sx, &sy);
    EXPECT_EQ(sx, 2.0f);
    EXPECT_EQ(sy, 2.0f);
    SDL_WarpMouseInWindow(sdl_window, 500, 300);
    std::vector<std::string> got = pump();
    ASSERT_FALSE(got.empty());
    EXPECT_EQ(got.back(), "{event=\"mouse\",mx=250,my=150,mb=0}");
    make_window(1);
}

TEST(Window, KeyNames) {
    host_up();
    EXPECT_EQ(harness_eval({"stat(302, 4)", "stat(302, 40)", "stat(302, 0)", "stat(302, 9999)"}),
              (std::vector<std::string>{"\"A\"", "\"Return\"", "nil", "nil"}));
}

// The frame lands in the window scaled by the destination rectangle, in both
// texture modes. Under a real display (see the Xvfb tests) the pixels are read
// back from the X server; here from the renderer.
void fill_pattern() {
    for (int y = 0; y < VIDEO_HEIGHT; y++)
        for (int x = 0; x < VIDEO_WIDTH; x++)
            video_frame.back_page[y * VIDEO_WIDTH + x] = (uint32_t)((x * 7) & 0xFF) << 16 |
                                                         (uint32_t)((y * 5) & 0xFF) << 8 | (uint32_t)((x ^ y) & 0xFF);
}

TEST(Window, PresentScalesTheFrame) {
    host_up();
    fill_pattern();
    for (int pixel_perfect : {1, 0}) {
        orvanta_apply_setting("pixel_perfect", pixel_perfect);
        orvanta_apply_settings();
        SDL_SetWindowSize(sdl_window, 960, 540);
        blit_to_sdl_window_hardware(video_frame.back_page, VIDEO_WIDTH);
        SDL_Renderer* r = SDL_GetRenderer(sdl_window);
        ASSERT_NE(r, nullptr);
        std::vector<uint32_t> got(960 * 540);
        // Read back before the next present: the software renderer keeps the surface.
        ASSERT_EQ(SDL_RenderReadPixels(r, nullptr, SDL_PIXELFORMAT_ARGB8888, got.data(), 960 * 4), 0)
            << SDL_GetError();
        int bad = 0;
        for (int y = 0; y < 540 && bad < 5; y++)
            for (int x = 0; x < 960 && bad < 5; x++) {
                uint32_t want = video_frame.back_page[(y / 2) * VIDEO_WIDTH + x / 2];
                if ((got[y * 960 + x] & 0xFFFFFF) != want) {
                    ADD_FAILURE() << "pixel (" << x << "," << y << ") pp " << pixel_perfect;
                    bad++;
                }
            }
    }
    orvanta_apply_setting("pixel_perfect", 1);
    orvanta_apply_settings();
}

// The X server's own copy of the window (xwd), as 0x00RRGGBB; empty on failure.
std::vector<uint32_t> grab_x_window(unsigned long id, int* w, int* h) {
    std::string cmd = "xwd -silent -id " + std::to_string(id);
    FILE* p = popen(cmd.c_str(), "r");
    if (!p) return {};
    std::string d;
    char buf[65536];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) d.append(buf, n);
    pclose(p);
    auto u32 = [&](size_t i) {
        const unsigned char* b = (const unsigned char*)d.data() + 4 * i;
        return (uint32_t)b[0] << 24 | (uint32_t)b[1] << 16 | (uint32_t)b[2] << 8 | b[3];
    };
    if (d.size() < 100) return {};
    uint32_t header = u32(0), width = u32(4), height = u32(5), byte_order = u32(7), bpp = u32(11),
             line = u32(12), ncolors = u32(19);
    size_t start = header + 12 * (size_t)ncolors;
    if (bpp != 32 || d.size() < start + (size_t)line * height) return {};
    std::vector<uint32_t> out(width * height);
    for (uint32_t y = 0; y < height; y++)
        for (uint32_t x = 0; x < width; x++) {
            const unsigned char* b = (const unsigned char*)d.data() + start + (size_t)y * line + 4 * x;
            uint32_t v = byte_order == 0 ? (uint32_t)b[3] << 24 | (uint32_t)b[2] << 16 | (uint32_t)b[1] << 8 | b[0]
                                         : (uint32_t)b[0] << 24 | (uint32_t)b[1] << 16 | (uint32_t)b[2] << 8 | b[3];
            out[y * width + x] = v & 0xFFFFFF;
        }
    *w = (int)width;
    *h = (int)height;
    return out;
}

// Run by xvfb_test.py with a display: what the X server shows is the frame
// scaled into the destination rectangle, in both texture modes.
TEST(Xvfb, WindowShowsTheFrameScaled) {
    if (!getenv("ORVANTA_XVFB")) GTEST_SKIP() << "needs the display xvfb_test.py starts";
    host_up();
    fill_pattern();
    for (int pixel_perfect : {1, 0}) {
        orvanta_apply_setting("pixel_perfect", pixel_perfect);
        orvanta_apply_settings();
        unsigned long id = x11_window_id(sdl_window);
        ASSERT_NE(id, 0u);
        std::vector<uint32_t> got;
        int w = 0, h = 0;
        // Until the server has mapped the window and shown a frame.
        for (int tries = 0; tries < 200; tries++) {
            handle_sdl_messages();
            blit_to_sdl_window_hardware(video_frame.back_page, VIDEO_WIDTH);
            SDL_Delay(20);
            got = grab_x_window(id, &w, &h);
            if (w == 960 && h == 540 && got[0] == video_frame.back_page[0] && got[959 + 539 * 960] ==
                video_frame.back_page[479 + 269 * 480])
                break;
        }
        ASSERT_EQ(w, 960);
        ASSERT_EQ(h, 540);
        int bad = 0;
        for (int y = 0; y < 540 && bad < 5; y++)
            for (int x = 0; x < 960 && bad < 5; x++)
                if (got[y * 960 + x] != video_frame.back_page[(y / 2) * VIDEO_WIDTH + x / 2]) {
                    ADD_FAILURE() << "pixel (" << x << "," << y << ") pp " << pixel_perfect << ": " << std::hex
                                  << got[y * 960 + x];
                    bad++;
                }
    }
    orvanta_apply_setting("pixel_perfect", 1);
    orvanta_apply_settings();
}

}  // namespace
