// Screenshots, cartridge labels, GIF recording and raw audio capture. Files go
// to /desktop/host; results are announced with notify.
#pragma once
#include <cstdint>

// Capture parameters in the memory of the process that raises the signal.
constexpr uint32_t CAPTURE_GIF_PARAMS = 0x40;
constexpr uint32_t CAPTURE_SHOT_PARAMS = 0x50;
constexpr uint32_t CAPTURE_NAME = 0x60;
constexpr int CAPTURE_NAME_LEN = 64;

// Audio: 44,100 Hz 16-bit stereo, streamed to its file. The device's blocks go
// into a ring of ten seconds that every frame drains; what a ring left full too
// long drops is written as silence, so the file keeps its timing.
constexpr int64_t AUDIO_CAPTURE_RING = 1764000;
constexpr int32_t AUDIO_CAPTURE_TAG = 97;

// Starts a capture; when no file can be made for it, says so and starts none.
void audio_capture_start();
// 0 when the capture was written, 1 otherwise (and said so).
int audio_capture_end();
// Main thread, once a frame while capturing: writes what the ring holds. At the
// host disk cap, or when the file can't be written, the capture ends there.
void audio_capture_drain();
// Audio thread, after each mix: the bytes just played (under the device lock).
void audio_capture_append(const uint8_t* bytes, int len);

// 0 when recording started. A recording already running is finished first. A
// recording ends by itself after config.gif_len seconds of frames, or before a
// frame would take it past the host disk cap.
int gif_start();
void gif_end();
// Reads the screenshot parameters from the current process's memory.
void request_screenshot();

// Video out, for every frame it makes: the display colours with each row's
// palette bank (as the window manager's screen uses them, not scaled) ...
void update_gif_recording(const uint32_t display_pal[256], const int32_t banks[270]);
// ... then the 480 x 270 frame as shown and the video mode that made it.
void update_screenshot(const uint32_t* back_page, int video_mode);

// Reboot and exit: a running recording and audio capture are written out, a
// pending screenshot is dropped.
void capture_finish_all();

// The file-system path "/desktop/host/<name><ext>", or with "_1".."_255" after
// the name when taken; false when all are taken.
bool get_capture_filename(const char* name, const char* ext, char out[1024]);

// Arena of the recorder's blocks (zeroed), released together when a recording
// ends; null once it holds GIF_ARENA_BLOCKS blocks.
constexpr int GIF_ARENA_BLOCKS = 16384;
void* gif_malloc(int64_t size);
void gif_free_all();
