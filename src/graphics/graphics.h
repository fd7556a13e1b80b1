// Draw state, colour tables and video out entry points used by other subsystems.
#pragma once
#include <cstdint>

// The video mode byte of the last frame video out made.
extern int32_t video_mode;
// The 64 built-in RGB colours, 0x00RRGGBB (entries 32-63 are 0).
extern const uint32_t system_palette[64];
// The 64 built-in RGB colours, 0x00RRGGBB (entries 32-63 are 0).
extern const uint32_t system_palette[64];

// Builds the default colour tables, display palette and RGB palette.
void init_default_coltabs();
// Pixels (colour indices, masked to the 64 colours) as R, G, B, 255 bytes
// through the current process's RGB palette entries 0-63.
void convert_bitmap_8_to_32(const uint8_t* pixels, uint8_t* out, int64_t count);
