// Placeholder until drawing and video out land.
#include "graphics/graphics.h"

int32_t video_mode;

const uint32_t system_palette[64] = {
    0x000000, 0x1D2B53, 0x7E2553, 0x008751, 0xAB5236, 0x5F574F, 0xC2C3C7, 0xFFF1E8,
    0xFF004D, 0xFFA300, 0xFFEC27, 0x00E436, 0x29ADFF, 0x83769C, 0xFF77A8, 0xFFCCAA,
    0x2463B0, 0x00A5A1, 0x654688, 0x125359, 0x742F29, 0x452D32, 0xA28879, 0xFFACC5,
    0xB9003E, 0xE26B02, 0x95F042, 0x00B251, 0x64DFF6, 0xBD9ADF, 0xE40DAB, 0xFF8557,
};

void init_default_coltabs() {}

#include "graphics/video.h"

VideoFrame video_frame = {{}, {}, {}, VIDEO_WIDTH, VIDEO_HEIGHT};

VideoFrame* generate_video_out() { return &video_frame; }
