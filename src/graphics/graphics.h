// Draw state, colour tables and video out entry points used by the kernel.
#pragma once
#include <cstdint>

extern int32_t video_mode;
// The 64 built-in RGB colours, 0x00RRGGBB (entries 32-63 are 0).
extern const uint32_t system_palette[64];

void init_default_coltabs();
