// Placeholder until drawing and video out land.
#include "graphics/graphics.h"

int32_t video_mode;

void init_default_coltabs() {}

#include "graphics/video.h"

VideoFrame video_frame = {{}, {}, {}, VIDEO_WIDTH, VIDEO_HEIGHT};

VideoFrame* generate_video_out() { return &video_frame; }
