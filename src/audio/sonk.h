// The audio engine's entry points used by the rest of the program.
#pragma once
#include <cstdint>

struct Process;

// Once per run: zeroes the mixer and builds its tables.
void sonk_init();
// Zeroes the mixer and reseeds the engine's generator (tests and tools).
void sonk_reset();
void sonk_set_volume(int v);
void sonk_set_stereo_swap(int on);
void sonk_kill_all_audio();
void sonk_memset(uint32_t addr, int v, uint32_t n);
void sonk_memcpy(uint32_t addr, const void* src, uint32_t n);
void sonk_mix(int16_t* stream, int frames);
void generate_default_wavetable(Process* p);
void generate_default_audio_data(Process* p);
// Engine queries behind stat 400-415 and 464-467.
int32_t sonk_get_active_channels();
int32_t sonk_get_music_state(int code);
int64_t sonk_get_channel_state(int channel, int code, void* destination);
