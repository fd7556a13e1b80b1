// The boot clock and the boot screen.
#pragma once
#include <cstdint>

void boot_init();
// Milliseconds of boot time, counted in frames since the last reset.
int64_t boot_get_time();

struct Process;
// Draws one boot frame and returns the process record whose screen shows it
// (a record of its own, never in the process table). The current process is
// the same before and after.
Process* draw_boot();
