// The graphics globals of this subsystem, registered by the API registry.
#include "graphics/gfx_api.h"
#include "graphics/print.h"
#include "graphics/sprites.h"
#include "kernel/api_tables.h"

const ApiEntry graphics_api[] = {
    {"cls", lua54_cls},
    {"fillp", lua54_fillp},
    {"pset", lua54_pset},
    {"pget", lua54_pget},
    {"camera", lua54_camera},
    {"clip", lua54_clip},
    {"rectfill", lua54_rectfill},
    {"rect", lua54_rect},
    {"ovalfill", lua54_ovalfill},
    {"circfill", lua54_circfill},
    {"oval", lua54_oval},
    {"circ", lua54_circ},
    {"line", lua54_line},
    {"cursor", lua54_cursor},
    {"color", lua54_color},
    {"pal", lua54_pal},
    {"palt", lua54_palt},
    {"_set_draw_target", lua54_set_draw_target},
    {"_blit_process_video", lua54_blit_process_video},
    {"fset", lua54_fset},
    {"fget", lua54_fget},
    {"mset", lua54_mset},
    {"mget", lua54_mget},
    {"tline3d", lua54_tline3d},
    {"sspr", lua54_sspr},
    {"spr", lua54_spr},
    {"_draw_map", lua54_draw_map},
    {"blit", lua54_blit},
    {"_print_tesscii", lua54_print_tesscii},
    {"_set_spr", lua54_set_spr},
    {nullptr, nullptr},
};
