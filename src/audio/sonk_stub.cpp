// Placeholder audio engine until the synthesiser lands: silence.
#include "audio/sonk.h"
#include <cstring>

void sonk_init() {}
void sonk_set_volume(int) {}
void sonk_set_stereo_swap(int) {}
void sonk_kill_all_audio() {}
void sonk_memset(uint32_t, int, uint32_t) {}
void sonk_memcpy(uint32_t, const void*, uint32_t) {}
void sonk_mix(int16_t* stream, int frames) { memset(stream, 0, (size_t)frames * 4); }
void generate_default_wavetable(Process*) {}
void generate_default_audio_data(Process*) {}
int32_t sonk_get_active_channels() { return 0; }
int32_t sonk_get_music_state(int) { return -1; }
int64_t sonk_get_channel_state(int, int, void*) { return -1; }
