// An offline rig for the engine: a fresh mixer whose mirror holds the
// default wavetables, usable volumes, and instruments, tracks and patterns
// written by the test; sound is rendered by calling sonk_mix directly.
#pragma once
#include <gtest/gtest.h>

#include <initializer_list>
#include <vector>

#include "audio/sonk.h"
#include "audio/sonk_engine.h"

namespace rig {

constexpr int64_t BASE = 0x30000;  // instruments from 0x40000, tracks from 0x50000
constexpr int64_t INST = BASE + 0x10000;

inline void put(int64_t a, std::initializer_list<int> bytes) {
    for (int b : bytes) {
        uint8_t v = (uint8_t)b;
        sonk_memcpy((uint32_t)a++, &v, 1);
    }
}

inline int64_t inst_addr(int i) { return INST + 512 * i; }
inline int64_t track_addr(int t) { return BASE + 0x20000 + 328 * t; }
inline int64_t pattern_addr(int p) { return BASE + 0x100 + 20 * p; }

// Node k of instrument i: byte 0 (parent | op << 4), byte 1 (kind | wave << 4),
// flags, and its seven mvals (4 bytes each; unlisted ones pass the parent's
// value through: "add 0").
inline void node(int i, int k, int b0, int b1, int flags = 0,
                 std::initializer_list<std::initializer_list<int>> mvals = {}) {
    int64_t a = inst_addr(i) + 32 * k;
    put(a, {b0, b1, flags, 0});
    for (int j = 0; j < 7; j++) put(a + 4 + 4 * j, {1, 0, 0, 0});
    int j = 0;
    for (auto& m : mvals) put(a + 4 + 4 * j++, m);
}

// A mono instrument: a bus (node 0) with a sine oscillator child (node 1)
// on descriptor 0, the sine/triangle tables; both pass the volume at unity.
inline void sine_instrument(int i, int stereo_flags = 0) {
    node(i, 0, 0x00, 0x01, 0, {{2, 64, 0, 0}});
    node(i, 1, 0x00, 0x02, 0, {{2, 64, 0, 0}, {1, 0, 0, 0}, {1, 0, 0, 0}, {1, 0, 0, 0}, {1, 0, 0, 0}, {0, 0x80, 0, 0}});
    put(inst_addr(i) + 0x1DF, {stereo_flags});
    sonk_memcpy((uint32_t)(inst_addr(i) + 0x1E0), sonk_default_descriptors, 8);
}

// A track: length, speed, loop0, loop1, delay, then rows of
// {pitch, instrument, volume, effect, parameter}.
struct Row {
    int pitch, inst, vol, effect, param;
};
inline void track(int t, int speed, int loop0, int loop1, int delay, const std::vector<Row>& rows, int length = -1) {
    int64_t a = track_addr(t);
    int len = length < 0 ? (int)rows.size() : length;
    put(a, {len & 255, len >> 8, speed, loop0, loop1, delay, 0, 0});
    for (int r = 0; r < len; r++) {
        Row row = r < (int)rows.size() ? rows[r] : Row{255, 255, 255, 255, 0};
        put(a + 8 + r, {row.pitch});
        put(a + 8 + len + r, {row.inst});
        put(a + 8 + 2 * len + r, {row.vol});
        put(a + 8 + 3 * len + r, {row.effect});
        put(a + 8 + 4 * len + r, {row.param});
    }
}

inline void pattern(int p, std::initializer_list<int> tracks, int flags, int mask) {
    int64_t a = pattern_addr(p);
    int c = 0;
    for (int t : tracks) put(a + c++, {t});
    put(a + 8, {flags, mask});
}

// A fresh mixer with the default tables and volumes that give unity gain.
inline void reset() {
    sonk_reset();
    uint64_t rng[4] = {};
    sonk_memcpy(SONK_WAVETABLE_BASE, sonk_default_wavetable(rng), SONK_WAVETABLE_SAMPLES * 2);
    put(0x5538, {64, 64, 64, 0, 3, 3});
    sonk_set_volume(256);
    sonk_kill_all_audio();
}

inline std::vector<int16_t> mix(int frames) {
    std::vector<int16_t> out((size_t)frames * 2);
    sonk_mix(out.data(), frames);
    return out;
}

inline SonkChannel& chan(int c) { return mixer.channel[c]; }
inline int64_t state(int c, int code) { return sonk_get_channel_state(c, code, nullptr); }

}  // namespace rig
