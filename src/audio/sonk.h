// The audio engine's entry points used by the rest of the program.
#pragma once
#include <cstdint>

struct Process;

// Once per run: zeroes the mixer and builds its tables.
void sonk_init();
// Zeroes the mixer and reseeds the engine's generator (tests and tools).
void sonk_reset();
// Master volume 0..256 (0 silences, any other value plays at full level).
int sonk_set_volume(int v);
void sonk_set_stereo_swap(int on);
void sonk_kill_all_audio();
void sonk_memset(uint32_t addr, int v, uint32_t n);
void sonk_memcpy(uint32_t addr, const void* src, uint32_t n);
// Main thread, with or without the audio lock (only the main thread writes the mirror):
// whether the mirror's n bytes at addr equal src (zeros when src is null), and whether a
// 4 KB page of it is known to hold only zeros.
bool sonk_mirror_equals(uint32_t addr, const void* src, uint32_t n);
bool sonk_mirror_page_zero(uint32_t page);
void sonk_mix(int16_t* stream, int frames);
void generate_default_wavetable(Process* p);
void generate_default_audio_data(Process* p);
constexpr int32_t SONK_KEEP = 255;
// Notes, tracks and music (main thread, audio lock held). 255 keeps the
// pitch, instrument, volume or effect; pan 0x7FFFFFFF keeps the pan.
void sonk_set_note(int32_t channel, int32_t pitch, int32_t instrument, int32_t volume, int32_t effect,
                   int32_t param, int32_t retrigger, int32_t pan);
int32_t sonk_play_track(int32_t track, int32_t channel, int32_t offset, int32_t length, int32_t keep_state,
                        int32_t pan, int32_t mix_volume, int32_t base);
void sonk_set_channel_mix_vol(int32_t channel, int32_t v);
void sonk_set_channel_base_addr(int32_t channel, int32_t a);
void sonk_play_music(int32_t pattern, int32_t fade_ms, int32_t channel_mask, int32_t base);
void sonk_play_pattern(int32_t pattern);
void sonk_stop_music();
void sonk_fade_out_music(int32_t ms);
// Engine queries behind stat 400-415 and 464-467.
int32_t sonk_get_active_channels();
int32_t sonk_get_music_state(int code);
int64_t sonk_get_channel_state(int channel, int code, void* destination);
