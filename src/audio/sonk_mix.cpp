// The mixer record and the engine's start-up; mixing and the engine queries
// come with the channels and the sequencer.
#include "audio/sonk.h"
#include "audio/sonk_engine.h"

static bool sonk_inited;

// The mixer is static storage, zero from the start: only the tables and the
// indexes need setting, so its 37 MB are touched only as they are used.
static void sonk_setup() {
    for (int c = 0; c < SONK_CHANNELS; c++) mixer.channel[c].index = c;
    for (int i = 0; i < 16384; i++) gain_tri[i] = (int16_t)(i < 8192 ? 32767 - 4 * i : 4 * (i - 8192));
    sonk_seed(0x50E7A11D);
}

void sonk_init() {
    if (sonk_inited) return;
    sonk_inited = true;
    sonk_setup();
}

void sonk_reset() {
    memset(&mixer, 0, sizeof mixer);
    sonk_setup();
    sonk_inited = true;
}

void sonk_set_volume(int) {}
void sonk_set_stereo_swap(int) {}
void sonk_kill_all_audio() {}
void sonk_mix(int16_t* stream, int frames) { memset(stream, 0, (size_t)frames * 4); }
int32_t sonk_get_active_channels() { return 0; }
int32_t sonk_get_music_state(int) { return -1; }
int64_t sonk_get_channel_state(int, int, void*) { return -1; }
