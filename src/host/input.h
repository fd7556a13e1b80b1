// Keyboard and button-model queries used by the general API.
#pragma once
#include <cstdint>

struct Process;

// 1 while the key with that SDL scancode (0..511) counts as down this frame.
int32_t os_key_state(int scancode);
// The SDL key name of the key at that scancode, or null for an empty name.
const char* os_key_from_scancode(int scancode);
// _signal 23: the process's current buttons read 0 and stay suppressed until released.
void input_suppress_buttons(Process* p);
