#include "kernel/boot.h"
#include "kernel/state.h"

void boot_init() {}

int64_t boot_get_time() {
    // An origin of 0 counts as unset; the first read after a reset takes the frame counter.
    if (app.boot_clock_origin == 0) app.boot_clock_origin = app.frame_counter;
    return (int64_t)((double)(app.frame_counter - app.boot_clock_origin) * 16.6);
}

// The boot screen draws with text, which is not there yet: video out shows the
// window manager's screen meanwhile.
Process* draw_boot() { return nullptr; }
