// Audio records in memory: the engine's mirror and its bounded reader, the
// duration codes, the constant tables, and the default wavetables and
// instrument that every new process receives.
#include <algorithm>
#include <cmath>
#include <cstring>

#include "audio/sonk.h"
#include "audio/sonk_engine.h"
#include "graphics/memory.h"
#include "kernel/general.h"
#include "kernel/process.h"
#include "kernel/sat.h"

SonkMixer mixer;
int16_t gain_tri[16384];

const int64_t sonk_note_dx[13] = {523, 554, 587, 622, 659, 698, 740, 784, 831, 880, 932, 985, 1046};

// Which mval bytes are signed, by node kind (empty, bus, oscillator, 3, 4).
const uint8_t mval_signed_dat[5][8] = {
    {0, 0, 0, 0, 0, 0, 0, 0},
    {0, 1, 1, 1, 0, 0, 0, 0},
    {0, 1, 1, 1, 0, 1, 0, 0},
    {0, 0, 0, 0, 0, 0, 0, 0},
    {0, 0, 0, 0, 0, 0, 0, 0},
};

const int32_t stereo_contrib[256] = {
    4096, 4095, 4093, 4092, 4090, 4089, 4087, 4086, 4084, 4083, 4081, 4080, 4078, 4077, 4075, 4074,
    4072, 4070, 4069, 4067, 4065, 4063, 4062, 4060, 4058, 4056, 4054, 4052, 4050, 4048, 4045, 4043,
    4041, 4038, 4036, 4034, 4031, 4028, 4026, 4023, 4020, 4017, 4014, 4011, 4008, 4005, 4002, 3999,
    3995, 3992, 3988, 3984, 3980, 3977, 3973, 3969, 3964, 3960, 3956, 3951, 3946, 3942, 3937, 3932,
    3927, 3922, 3916, 3911, 3905, 3900, 3894, 3888, 3882, 3875, 3869, 3862, 3856, 3849, 3842, 3835,
    3828, 3820, 3813, 3805, 3797, 3789, 3781, 3772, 3764, 3755, 3746, 3737, 3728, 3719, 3709, 3699,
    3690, 3679, 3669, 3659, 3648, 3637, 3626, 3615, 3604, 3592, 3580, 3569, 3556, 3544, 3532, 3519,
    3506, 3493, 3480, 3466, 3452, 3439, 3424, 3410, 3396, 3381, 3366, 3351, 3336, 3320, 3304, 3289,
    3272, 3256, 3240, 3223, 3206, 3189, 3172, 3154, 3136, 3118, 3100, 3082, 3064, 3045, 3026, 3007,
    2988, 2968, 2948, 2929, 2908, 2888, 2868, 2847, 2826, 2805, 2784, 2763, 2741, 2719, 2698, 2675,
    2653, 2631, 2608, 2585, 2562, 2539, 2516, 2492, 2469, 2445, 2421, 2397, 2373, 2348, 2324, 2299,
    2274, 2249, 2224, 2198, 2173, 2147, 2122, 2096, 2070, 2043, 2017, 1991, 1964, 1938, 1911, 1884,
    1857, 1830, 1802, 1775, 1748, 1720, 1692, 1664, 1636, 1608, 1580, 1552, 1524, 1495, 1467, 1438,
    1410, 1381, 1352, 1323, 1294, 1265, 1236, 1207, 1178, 1148, 1119, 1089, 1060, 1030, 1000, 971,
    941, 911, 881, 851, 821, 791, 761, 731, 701, 671, 641, 610, 580, 550, 519, 489,
    458, 428, 398, 367, 336, 306, 275, 245, 214, 184, 153, 122, 92, 61, 31, 0,
};

const uint8_t sonk_default_instrument[64] = {
    0x00, 0x01, 0x00, 0x00, 0x06, 0x20, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00,
    0x01, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00,
    0x02, 0x20, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00, 0x21, 0x00, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00,
    0x00, 0x40, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
};
const uint8_t sonk_default_descriptors[8] = {0x00, 0xF8, 0x0A, 0xFF, 0x80, 0xF7, 0x0D, 0x01};

int32_t get_env_duration(int64_t c) {
    int64_t d = c < 16 ? c : c < 32 ? 2 * c - 16 : c < 64 ? 4 * c - 80 : c < 128 ? 8 * c - 336 : 16 * c - 1360;
    return sat_i32(d);
}

void sonk_seed(uint64_t seed) { xoshiro_seed(mixer.rng, seed); }
uint64_t sonk_rand() { return xoshiro_next(mixer.rng) >> 33; }

// ---- default wavetables

static int16_t default_wt[SONK_WAVETABLE_SAMPLES];
static bool default_wt_ready;

static int16_t trunc16(double v) { return (int16_t)sat_f2i(v); }

const int16_t* sonk_default_wavetable(uint64_t rng[4]) {
    if (default_wt_ready) return default_wt;
    int16_t* w = default_wt;
    xoshiro_seed(rng, 0x12345678);
    for (int i = 0; i < 16384; i++) *w++ = (int16_t)(uint16_t)xoshiro_next(rng);
    // The system's constant 3.141562 is deliberate: it is not pi.
    for (int i = 0; i < 64; i++)
        for (int k = 0; k < 1024; k++) {
            int m = (k + 768) % 1024;
            int tri = (m < 512 ? m : 1024 - m) - 256;
            double v = sin(2 * 3.141562 * k / 1024) * -32767 * (64 - i) + tri * 127.99 * i;
            *w++ = (int16_t)(sat_f2i(v) / 64);
        }
    for (int j = 0; j < 64; j++) {
        int e = 512 + 8 * j, u = ((64 - j) * (64 - j)) >> 4;
        for (int n = 0; n < 1024; n++) {
            int a = (n - u) & 1023;
            double level = a < e ? (double)a / e : a > e ? (double)(1024 - a) / (1024 - e) : 1.0;
            *w++ = trunc16(level * 65535 - 32768);
        }
    }
    for (int l = 0; l < 64; l++) {
        double c = l * l / 4096.0;
        for (int n = 0; n < 1024; n++) {
            double x = n / 1024.0;
            double level = (1 - c) * x + (x >= 0.5 ? c : 0.0);
            *w++ = trunc16(level * 65534 - 32767);
        }
    }
    for (int l = 0; l < 64; l++) {
        double d = l / 128.0 + 0.5;
        for (int n = 0; n < 1024; n++) *w++ = n / 1024.0 <= d ? -32767 : 32767;
    }
    default_wt_ready = true;
    return default_wt;
}

void generate_default_wavetable(Process* p) {
    Process* root = get_process(1);
    if (root && root != p) {
        // Later processes copy the root's pages as they stand now.
        q64_pmemcpy_pages(root, p, SONK_WAVETABLE_BASE, 0x1000000);
        return;
    }
    const int16_t* w = sonk_default_wavetable(p->rng);
    for (int i = 0; i < SONK_WAVETABLE_SAMPLES; i++) {
        uint32_t a = SONK_WAVETABLE_BASE + 2 * (uint32_t)i;
        mem_write8(p, a, (uint8_t)((uint16_t)w[i] & 0xFF));
        mem_write8(p, a + 1, (uint8_t)((uint16_t)w[i] >> 8));
    }
}

void generate_default_audio_data(Process* p) {
    for (int i = 0; i < 64; i++) mem_write8(p, 0x40000 + (uint32_t)i, sonk_default_instrument[i]);
    for (int i = 0; i < 8; i++) mem_write8(p, 0x401E0 + (uint32_t)i, sonk_default_descriptors[i]);
}

// ---- the mirror (written only by the audio-focus sync)

void sonk_memset(uint32_t addr, int v, uint32_t n) {
    if (addr >= SONK_RAM_SIZE) return;
    if (n > SONK_RAM_SIZE - addr) n = SONK_RAM_SIZE - addr;
    memset(mixer.ram + addr, v, n);
    // Zeros make a wholly covered page known-zero; anything else marks every page touched.
    for (uint32_t a = addr & ~4095u; a < addr + n; a += 4096)
        if ((uint8_t)v) mixer.ram_page_used[a >> 12] = 1;
        else if (a >= addr && a + 4096 <= addr + n) mixer.ram_page_used[a >> 12] = 0;
}

void sonk_memcpy(uint32_t addr, const void* src, uint32_t n) {
    if (addr >= SONK_RAM_SIZE || !src) return;
    if (n > SONK_RAM_SIZE - addr) n = SONK_RAM_SIZE - addr;
    memcpy(mixer.ram + addr, src, n);
    for (uint32_t a = addr & ~4095u; a < addr + n; a += 4096) mixer.ram_page_used[a >> 12] = 1;
}

bool sonk_mirror_equals(uint32_t addr, const void* src, uint32_t n) {
    static const uint8_t zeros[4096] = {};
    if (addr >= SONK_RAM_SIZE || n > SONK_RAM_SIZE - addr) return false;
    for (uint32_t done = 0; done < n;) {
        uint32_t k = src ? n - done : std::min<uint32_t>(n - done, sizeof zeros);
        if (memcmp(mixer.ram + addr + done, src ? (const uint8_t*)src + done : zeros, k) != 0) return false;
        done += k;
    }
    return true;
}

bool sonk_mirror_page_zero(uint32_t page) { return page < SONK_RAM_SIZE / 4096 && !mixer.ram_page_used[page]; }
