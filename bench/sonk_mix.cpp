// The mixer under its worst case: 16 channels of a stereo instrument with a
// bus, an FM pair and a third oscillator, a filter, an echo and a gain (the
// filter's right-hand copy fills the last slot), 8 channels owned by music
// whose patterns keep advancing, 8 playing looping sound effects. Renders
// 60 s through sonk_mix(buf, 512), the device's request size, and prints the
// real-time factor (CPU time) and the wall time per call (p50, p99, max)
// against the 11.61 ms a call may take. Usage: bench_sonk_mix [seconds] [runs]
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <cstdlib>
#include <vector>

#include "audio/sonk.h"
#include "audio/sonk_engine.h"

namespace {

constexpr int64_t BASE = 0x30000;

void put(int64_t a, std::initializer_list<int> bytes) {
    for (int b : bytes) {
        uint8_t v = (uint8_t)b;
        sonk_memcpy((uint32_t)a++, &v, 1);
    }
}

void node(int64_t inst, int k, int b0, int b1, std::initializer_list<std::initializer_list<int>> mvals) {
    int64_t a = inst + 32 * k;
    put(a, {b0, b1, 0, 0});
    for (int j = 0; j < 7; j++) put(a + 4 + 4 * j, {1, 0, 0, 0});
    int j = 0;
    for (auto& m : mvals) put(a + 4 + 4 * j++, m);
}

void instrument(int i) {
    int64_t I = BASE + 0x10000 + 512 * i;
    node(I, 0, 0x00, 0x01, {{6, 64, 0, 0}});                                   // bus, volume × envelope 0
    node(I, 1, 0x00, 0x02, {{2, 64, 0, 0}, {1, 0x20, 0, 0}, {1, 0, 0, 0}, {1, 0, 0, 0}, {0, 40, 0, 0}});
    node(I, 2, 0x11, 0x02, {{0, 30, 0, 0x80}, {1, 0, 0, 0}, {3, 0x21, 0, 0x00}});  // FM modulator, ratio 2:3
    node(I, 3, 0x00, 0x12, {{2, 24, 0, 0}, {1, 0xE0, 0, 0}, {1, 12, 0, 0}});    // noise-free third oscillator
    node(I, 4, 0x00, 0x08, {{0, 90, 0, 0}, {0, 60, 0, 0}, {0, 30, 0, 0}});      // filter
    node(I, 5, 0x00, 0x09, {{0, 12, 0, 0}, {0, 100, 0, 0}});                    // echo: 12 × 126 samples, feedback 0.4
    node(I, 6, 0x00, 0x0A, {{0, 80, 0, 0}, {0, 100, 0, 0}, {0, 20, 0, 0}, {2, 64, 0, 0}});  // gain
    put(I + 0x100, {0, 0, 0, 0, 0, 0, 0, 0, 10, 20, 180, 30});                 // ADSR
    put(I + 0x1DF, {2});                                                         // stereo
    sonk_memcpy((uint32_t)(I + 0x1E0), sonk_default_descriptors, 8);
    put(I + 0x1E4, {0x00, 0xF8, 0x0A, 0xFF});  // descriptor 1: the tables again
}

void track(int t, int loop0, int loop1, int first_pitch, int effect) {
    int64_t a = BASE + 0x20000 + 328 * t;
    const int len = 16;
    put(a, {len, 0, 3, loop0, loop1, 0, 0, 0});
    for (int r = 0; r < len; r++) {
        put(a + 8 + r, {first_pitch + (r * 5) % 24});
        put(a + 8 + len + r, {t % 4});
        put(a + 8 + 2 * len + r, {40 + r});
        put(a + 8 + 3 * len + r, {r % 4 == 0 ? effect : 0});
        put(a + 8 + 4 * len + r, {0x24});
    }
}

void setup() {
    sonk_reset();
    uint64_t rng[4] = {};
    sonk_memcpy(SONK_WAVETABLE_BASE, sonk_default_wavetable(rng), SONK_WAVETABLE_SAMPLES * 2);
    put(0x5538, {64, 64, 64, 0, 3, 3});
    sonk_set_volume(256);
    for (int i = 0; i < 4; i++) instrument(i);
    for (int t = 0; t < 8; t++) track(t, 0, 0, 36 + 3 * t, "vtwa"[t % 4]);     // music: rows to the end
    for (int t = 8; t < 16; t++) track(t, 2, 14, 40 + 2 * t, "vswb"[t % 4]);   // effects: looping
    // Patterns 0..3 of all eight channels; pattern 3 loops back to 1.
    for (int p = 0; p < 4; p++) {
        int64_t a = BASE + 0x100 + 20 * p;
        for (int c = 0; c < 8; c++) put(a + c, {(c + p) % 8});
        put(a + 8, {p == 1 ? 1 : p == 3 ? 2 : 0, 0xFF});
    }
    sonk_play_music(0, 0, 0xFF, BASE);
    for (int c = 8; c < 16; c++) {
        sonk_play_track(c, c, 0, 0, 0, (c - 12) * 30, 64, BASE);
        sonk_set_channel_base_addr(c, BASE);
    }
}

}  // namespace

int main(int argc, char** argv) {
    double seconds = argc > 1 ? atof(argv[1]) : 60;
    int runs = argc > 2 ? atoi(argv[2]) : 3;
    int calls = (int)(seconds * 44100 / 512);
    static int16_t buf[512 * 2];
    for (int run = 0; run < runs; run++) {
        setup();
        std::vector<double> ms(calls);
        int nonsilent = 0;
        timespec c0, c1;
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &c0);
        auto start = std::chrono::steady_clock::now();
        for (int i = 0; i < calls; i++) {
            auto t0 = std::chrono::steady_clock::now();
            sonk_mix(buf, 512);
            ms[i] = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count();
            nonsilent += buf[100] != 0;
        }
        double total = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        clock_gettime(CLOCK_THREAD_CPUTIME_ID, &c1);
        double cpu = (double)(c1.tv_sec - c0.tv_sec) + (c1.tv_nsec - c0.tv_nsec) / 1e9;
        std::vector<double> sorted = ms;
        std::sort(sorted.begin(), sorted.end());
        printf("run %d: %.0f s of audio in %.3f s wall, %.3f s CPU: real-time factor %.4f (%.2f%% of a core); per "
               "call (wall) p50 %.3f ms, p99 %.3f ms, max %.3f ms (budget 11.61 ms); patterns at %d, %d/%d calls "
               "audible\n",
               run + 1, seconds, total, cpu, cpu / seconds, 100 * cpu / seconds, sorted[calls / 2],
               sorted[(size_t)(calls * 0.99)], sorted[calls - 1], sonk_get_music_state(0), nonsilent, calls);
    }
    return 0;
}
