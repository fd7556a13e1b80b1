// The host window shared by presentation and the event pump.
#pragma once
#include <SDL2/SDL.h>
#include <cstdint>

extern SDL_Window* sdl_window;
extern int32_t sdl_window_w, sdl_window_h;

// The destination rectangle of the virtual screen in a w x h window.
SDL_Rect dest_rect_for(int w, int h, int pixel_perfect, int stretch);
// The same for the current window (its size read again); false, with an empty
// rectangle, when there is no window or the rectangle is empty.
bool get_dest_rect(SDL_Rect* rect);
// The window scale a pixel_scale setting gives: 0 is 2, others clamped to 1..16.
int pixel_scale_clamp(int v);
void blit_to_sdl_window_hardware(const uint32_t* pixels, int pitch);
void os_set_window_title(const char* title);
// pixels: 16 x 16 bytes of colours 0..63 (0 transparent); null drops the custom icon.
void os_set_window_icon(const uint8_t* pixels, int width, int height, const uint32_t* palette);
// The 128 x 128 ARGB icon last set (for tests).
const uint32_t* os_window_icon_pixels();
// Minimised so that an application opened from a fullscreen window shows.
void os_minimise_window();
