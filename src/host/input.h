// Keyboard, mouse and the button model used by the kernel and the general API.
#pragma once
#include <cstdint>

struct Process;

// Reads the host's events once: HostEvent texts for pid 3, the key table, the mouse.
void handle_sdl_messages();
void input_clear_keys();
// 1 while the key with that SDL scancode (0..511) counts as down this frame.
int32_t os_key_state(int scancode);
// The SDL key name of the key at that scancode, or null for an empty name.
const char* os_key_from_scancode(int scancode);
// Sets the virtual pointer and moves the host pointer to the matching window point.
void os_warp_mouse_pointer(int x, int y);
// One player's 16 button values into out; returns the controller's button bits.
uint32_t os_get_button_states(int player, uint8_t out[16]);
// _signal 23: the process's current buttons read 0 and stay suppressed until released.
void input_suppress_buttons(Process* p);
