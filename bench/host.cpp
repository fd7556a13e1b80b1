// Presentation cost and frame pacing in a real window (run by bench/host.sh
// under Xvfb): host time per presented frame (video out, texture upload,
// present) in both texture modes, then the intervals of 600 paced frames.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "audio/sonk.h"
#include "graphics/video.h"
#include "host/host.h"
#include "host/window.h"
#include "kernel/state.h"

using steady = std::chrono::steady_clock;

static double us_since(steady::time_point t) {
    return std::chrono::duration<double, std::micro>(steady::now() - t).count();
}

static void report(const char* what, std::vector<double> v, const char* unit) {
    std::sort(v.begin(), v.end());
    double sum = 0;
    for (double x : v) sum += x;
    printf("%-34s n=%zu  p50 %8.3f  p99 %8.3f  min %8.3f  max %8.3f  mean %8.3f %s\n", what, v.size(),
           v[v.size() / 2], v[v.size() * 99 / 100], v.front(), v.back(), sum / v.size(), unit);
}

int main() {
    config_set_defaults();
    snprintf(config.home, sizeof config.home, "/tmp/orvanta_bench_host");
    tolo_mkdir(config.home);
    config.fullscreen = 0;
    sonk_init();  // the sound device's callback mixes from the first buffer
    os_system_init();
    host_started = 1;
    for (int i = 0; i < VIDEO_WIDTH * VIDEO_HEIGHT; i++) video_frame.back_page[i] = (uint32_t)i * 2654435761u >> 8;
    for (int pp : {1, 0}) {
        config.pixel_perfect = pp;
        os_apply_video_config();
        for (int i = 0; i < 60; i++) blit_to_sdl_window_hardware(video_frame.back_page, VIDEO_WIDTH);
        std::vector<double> t;
        for (int i = 0; i < 600; i++) {
            auto t0 = steady::now();
            if (VideoFrame* f = generate_video_out()) blit_to_sdl_window_hardware(f->back_page, VIDEO_WIDTH);
            t.push_back(us_since(t0));
        }
        report(pp ? "present, 480x270 texture" : "present, 960x540 pre-doubled", t, "us");
    }
    config.pixel_perfect = 1;
    os_apply_video_config();
    std::vector<double> iv;
    end_frame();
    auto last = steady::now();
    for (int i = 0; i < 600; i++) {
        end_frame();
        auto now = steady::now();
        iv.push_back(std::chrono::duration<double, std::milli>(now - last).count());
        last = now;
    }
    report("paced frame interval", iv, "ms");
    double total = 0;
    for (double x : iv) total += x;
    printf("600 frames in %.1f ms: %.3f frames a second\n", total, 600 * 1000.0 / total);
    return 0;
}
