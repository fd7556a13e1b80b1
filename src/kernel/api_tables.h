// Each subsystem's table of API globals, terminated by {nullptr, nullptr}.
// Declare a new table here and add it to api_tables in src/kernel/api.cpp; the
// registration order comes from the registry's own list, not from the tables.
#pragma once
#include "kernel/api.h"

extern const ApiEntry kernel_api[];   // _printh
extern const ApiEntry arrays_api[];   // userdata, vec, get, set
extern const ApiEntry general_api[];  // time, stat, date, table and maths functions, rnd, srand
extern const ApiEntry text_api[];     // chr, ord, tokenoid, split
extern const ApiEntry process_api[];  // flip and the process-control globals
extern const ApiEntry host_api[];     // the system clipboard
extern const ApiEntry window_api[];   // window title and icon
extern const ApiEntry input_api[];    // _warp_mouse
extern const ApiEntry buttons_api[];  // btn, btnp, _update_buttons
extern const ApiEntry orb_api[];      // orb, _orb, unorb, pid and the message globals
extern const ApiEntry audio_api[];    // note, sfx, music
extern const ApiEntry storage_api[];  // the file and object globals
extern const ApiEntry graphics_api[]; // drawing, palettes, draw target, process video
extern const ApiEntry memory_api[];   // peek, poke, memcpy, memset, mappings
