// The boot clock (and, once graphics exist, the boot screen).
#pragma once
#include <cstdint>

void boot_init();
// Milliseconds of boot time, counted in frames since the last reset.
int64_t boot_get_time();

struct Process;
// Draws one boot frame and returns the process record whose screen shows it;
// null while there is no boot screen to show.
Process* draw_boot();
