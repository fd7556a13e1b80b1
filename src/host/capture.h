// Screenshots, GIF recording and raw audio capture.
#pragma once

void audio_capture_start();
// 0 when the capture was written, 1 otherwise.
int audio_capture_end();
// 0 when recording started.
int gif_start();
void gif_end();
// Reads the screenshot parameters from the current process's memory.
void request_screenshot();
