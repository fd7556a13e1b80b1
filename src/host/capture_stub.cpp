// Placeholder capture until screenshots and recordings land: nothing starts.
#include "host/capture.h"

void audio_capture_start() {}
int audio_capture_end() { return 1; }
int gif_start() { return 1; }
void gif_end() {}
void request_screenshot() {}
void audio_capture_append(const uint8_t*, int) {}
