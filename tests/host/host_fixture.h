// The real host layer in-process: SDL's dummy video driver (or the display
// the caller chose), the disk audio driver, a window, and a harness kernel in
// which pids 2 and 3 exist, so HostEvent texts have somewhere to go.
#pragma once
#include <string>
#include <vector>

// Boots the harness kernel afresh (pids 1-3); the first call also starts the
// host and opens a 960 x 540 window.
void host_up();
// Pops every text queued for pid 3.
std::vector<std::string> wm_queue();
// One pump of host events; returns the texts it queued for pid 3.
std::vector<std::string> pump();
// The disk audio driver's output file.
const std::string& audio_file();

struct SDL_Window;
// The X11 window behind an SDL window, 0 when it is not an X11 window.
unsigned long x11_window_id(SDL_Window* w);
