// Screenshots, GIF recording and raw audio capture.
#pragma once
#include <cstdint>

void audio_capture_start();
// 0 when the capture was written, 1 otherwise.
int audio_capture_end();
// 0 when recording started.
int gif_start();
void gif_end();
// Reads the screenshot parameters from the current process's memory.
void request_screenshot();
// Audio thread, after each mix: the bytes just played. Must not allocate or lock.
void audio_capture_append(const uint8_t* bytes, int len);
