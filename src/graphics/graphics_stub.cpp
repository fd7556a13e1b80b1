// Placeholder until drawing and video out land.
#include "graphics/graphics.h"

int32_t video_mode;

void init_default_coltabs() {}
