// The video frame: the one record shared by video out, presentation and capture.
#pragma once
#include <cstdint>

constexpr int VIDEO_WIDTH = 480;
constexpr int VIDEO_HEIGHT = 270;

struct VideoFrame {
    uint32_t back_page[VIDEO_WIDTH * VIDEO_HEIGHT];  // 0x00RRGGBB, row-major, pitch 480
    // One block of 2,104 bytes that recording takes whole: the display colours,
    // then each row's palette bank (0-3).
    uint32_t display_pal[256];
    int32_t scanline_bank[VIDEO_HEIGHT];
    int32_t width, height;  // always 480 x 270
};
static_assert(sizeof(uint32_t) * 256 + sizeof(int32_t) * VIDEO_HEIGHT == 2104);

extern VideoFrame video_frame;

// Makes this frame's picture from the window manager's screen (or the boot
// screen); null when the source holds its frame.
VideoFrame* generate_video_out();
