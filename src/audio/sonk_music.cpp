// Music: chains of patterns of eight tracks, each pattern as long as its
// leftmost non-looping track, with loop start, loop back, stop and fades.
#include "audio/sonk.h"
#include "audio/sonk_engine.h"
#include "kernel/sat.h"

// Pattern records past 255 read as empty.
static int64_t pattern_addr(int32_t p) { return (int64_t)mixer.music_base + 0x100 + 20 * (int64_t)p; }
static uint8_t pattern_byte(int32_t p, int k) { return p >= 0 && p <= 255 ? sonk_rd8(pattern_addr(p) + k) : 0; }

static int32_t fade_ticks(int32_t ms) { return sat_i32((int64_t)ms * 120 / 1000); }

int get_leftmost_nonlooping_channel() {
    for (int c = 0; c < 8; c++) {
        const SonkChannel& ch = mixer.channel[c];
        if (ch.playing && ((mixer.music_mask >> c) & 1) && ch.loop0 >= ch.loop1) return c;
    }
    return -1;
}

void sonk_play_pattern(int32_t p) {
    if (p < 0) return;
    mixer.music_playing = 1;
    mixer.music_pattern = p;
    int32_t was[SONK_CHANNELS];
    for (int c = 0; c < SONK_CHANNELS; c++) {
        was[c] = mixer.channel[c].music_owned;
        mixer.channel[c].music_owned = 0;
    }
    uint8_t mask = pattern_byte(p, 9);
    for (int c = 0; c < 8; c++) {
        if (!((mixer.music_mask >> c) & 1)) continue;
        SonkChannel* ch = &mixer.channel[c];
        if ((mask >> c) & 1) {
            sonk_play_track(pattern_byte(p, c), c, 0, 0, was[c], SONK_PAN_KEEP, 64, mixer.music_base);
            ch->music_owned = 1;
        } else {
            sonk_note_off(ch);
            ch->playing = 0;
        }
    }
    int c = get_leftmost_nonlooping_channel();
    int32_t len = INT32_MAX;
    if (c >= 0) {
        const SonkChannel& ch = mixer.channel[c];
        len = sat_i32((int64_t)(ch.speed > 1 ? ch.speed : 1) * ch.end_row);
    }
    mixer.pattern_length = len;
    for (SonkChannel& ch : mixer.channel)
        if (ch.music_owned) ch.pattern_ticks_left = len;
}

void sonk_play_music(int32_t pattern, int32_t fade_ms, int32_t mask, int32_t base) {
    mixer.music_mask = (uint32_t)mask;
    mixer.music_playing = 1;
    mixer.music_pattern = pattern;
    mixer.music_base = sonk_clamp(base, 0, 0xF00000);
    sonk_play_pattern(pattern);
    int32_t len = fade_ms > 0 ? fade_ticks(fade_ms) : 0;
    if (len <= 0) {
        // Also a fade shorter than a tick: full volume at once, never silent for ever.
        mixer.fade_len = 0;
        mixer.fade_volume = 256;
        return;
    }
    mixer.fade_start = mixer.fade_len > 0 ? mixer.fade_volume : 0;
    mixer.fade_end = 256;
    mixer.fade_tick = 0;
    mixer.fade_len = len;
    mixer.fade_volume = mixer.fade_start;
}

void sonk_stop_music() {
    for (int c = 0; c < 8; c++) {
        SonkChannel* ch = &mixer.channel[c];
        if (!ch->music_owned) continue;
        sonk_stop_channel(ch, true);
        ch->music_owned = 0;
        ch->pattern_ticks_left = 0;
    }
    mixer.music_mask = 0;
    mixer.music_playing = 0;
    mixer.music_pattern = 0;
    mixer.pattern_length = 0;
}

void sonk_fade_out_music(int32_t ms) {
    if (ms <= 0) {
        mixer.fade_len = 0;
        mixer.fade_volume = 0;
        sonk_stop_music();
        return;
    }
    int32_t len = fade_ticks(ms);
    if (len <= 0) {
        // Shorter than a tick: no fade starts, and one under way stops where it
        // is; the music keeps its current volume.
        mixer.fade_len = 0;
        return;
    }
    mixer.fade_start = mixer.fade_len > 0 ? mixer.fade_volume : 256;
    mixer.fade_end = 0;
    mixer.fade_tick = 0;
    mixer.fade_len = len;
    mixer.fade_volume = mixer.fade_start;
}

void sonk_update_fade_tick() {
    if (mixer.fade_len <= 0) return;
    int64_t v = mixer.fade_start + (int64_t)(mixer.fade_end - mixer.fade_start) * mixer.fade_tick / mixer.fade_len;
    mixer.fade_volume = sonk_clamp(v, 0, 256);
    if (++mixer.fade_tick >= mixer.fade_len) {
        mixer.fade_len = 0;
        mixer.fade_volume = mixer.fade_end;
    }
}

void advance_pattern() {
    if (!mixer.music_playing) return;
    int32_t p = mixer.music_pattern;
    uint8_t flags = pattern_byte(p, 8);
    if (flags & 4 || p < 0) {
        sonk_stop_music();
        return;
    }
    if (flags & 2) {
        int32_t q = p;
        if (!(flags & 1) && p != 0) {
            q = 0;
            for (int32_t k = p - 1; k > 0; k--)
                if (pattern_byte(k, 8) & 1) {
                    q = k;
                    break;
                }
        }
        sonk_play_pattern(q);
        return;
    }
    if (p >= 255) {
        sonk_stop_music();
        return;
    }
    sonk_play_pattern(p + 1);
}

int32_t sonk_get_music_state(int code) {
    if (code == 0) return mixer.music_playing ? mixer.music_pattern : -1;
    if (code == 1) {
        int c = get_leftmost_nonlooping_channel();
        return c < 0 ? 0 : c;
    }
    return -1;
}
