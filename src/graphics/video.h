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

// The boot-finished rule of video out: once pid 3 exists and 2.2 s of boot
// time passed, the boot is finished (logged once). generate_video_out applies
// it; headless runs, which make no video, call it every frame.
void video_update_boot_state();

struct Process;
struct Gfx;
// Copies a w x h rectangle of another process's memory (rows stride bytes
// apart from base + sx + stride * sy) into the snapshot's target at (dx, dy),
// cut to the clip, without touching the source's pages: bytes with nothing
// behind them become colour 8; with a mask only bytes with a masked bit are
// copied. Returns the copied pixels / 4.
int64_t blit_from_ram(Process* src, uint32_t base, const Gfx& g, int64_t sx, int64_t sy, int64_t dx, int64_t dy,
                      int64_t w, int64_t h, uint8_t mask, int64_t stride);
