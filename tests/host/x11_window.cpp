// Kept apart from the tests: the X11 headers' macros clash with GoogleTest.
#include <SDL2/SDL.h>
#include <SDL2/SDL_syswm.h>

#include "host/host_fixture.h"

unsigned long x11_window_id(SDL_Window* w) {
    SDL_SysWMinfo info;
    SDL_VERSION(&info.version);
    if (!SDL_GetWindowWMInfo(w, &info) || info.subsystem != SDL_SYSWM_X11) return 0;
    return (unsigned long)info.info.x11.window;
}
