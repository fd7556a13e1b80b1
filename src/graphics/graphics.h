// Draw state, colour tables and video out entry points used by the kernel.
#pragma once
#include <cstdint>

extern int32_t video_mode;

void init_default_coltabs();
