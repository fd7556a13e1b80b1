// The graphics and memory globals (registered through graphics_api and memory_api).
#pragma once

struct lua_State;

int lua54_cls(lua_State* L);
int lua54_fillp(lua_State* L);
int lua54_pset(lua_State* L);
int lua54_pget(lua_State* L);
int lua54_camera(lua_State* L);
int lua54_clip(lua_State* L);
int lua54_rectfill(lua_State* L);
int lua54_rect(lua_State* L);
int lua54_ovalfill(lua_State* L);
int lua54_circfill(lua_State* L);
int lua54_oval(lua_State* L);
int lua54_circ(lua_State* L);
int lua54_line(lua_State* L);
int lua54_cursor(lua_State* L);
int lua54_color(lua_State* L);
int lua54_pal(lua_State* L);
int lua54_palt(lua_State* L);
int lua54_set_draw_target(lua_State* L);
int lua54_blit_process_video(lua_State* L);

// Typed-array methods peek and poke (between an array and the current
// process's memory).
int lua54_ud_peek(lua_State* L);
int lua54_ud_poke(lua_State* L);
