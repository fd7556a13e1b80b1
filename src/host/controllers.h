// Game controllers and plain joysticks in 32 compact slots; the slot index is
// the player number of the button model.
#pragma once
#include <cstdint>

constexpr int MAX_JOYSTICKS = 32;

// Sets the table up (mappings, devices present); once per run.
void tolo_joystick_init();
// Reads sdl_controllers.txt beside the program and in the app-data folder.
void add_sdl_controllers();
// Event pump hooks: device index for additions, instance id for removals.
void controller_device_added(int device_index);
void controller_device_removed(int instance_id);
void joystick_device_added(int device_index);
void joystick_device_removed(int instance_id);
// Two axis readings (-32768..32767), 0 until the axis was once seen at rest.
void tolo_get_joystick_axes(int player, int axis_a, int axis_b, int* out_a, int* out_b);
// Axes 0 and 1 and the bits of buttons 0..20 that count (seen released once).
void tolo_get_joystick(int player, int* out_x, int* out_y, uint32_t* out_buttons);
// Number of slots in use (for tests and the log).
int joystick_slots_used();
// Instance id of a player's device, or -1.
int joystick_slot_instance(int player);
