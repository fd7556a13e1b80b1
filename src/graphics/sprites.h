// Sprites, raw copies between arrays, maps and textured lines.
#pragma once
#include <cstdint>
#include <functional>

struct TypedArray;
struct Process;
struct Gfx;
struct lua_State;

// _set_spr fills slot n & 0x1FFF, so sprite numbers 8192-16383 always name
// empty slots and only the lower half is stored.
constexpr int SPRITE_SLOTS = 8192;
constexpr int64_t SPRITE_NUMBERS = 16384;

// Per process; each filled slot holds a counted reference (mem_anchor) on its
// array, so a registered sprite lives as long as it is registered.
struct SpriteTable {
    TypedArray* slot[SPRITE_SLOTS];
};

// The shared empty 16x16 u8 sprite, cleared on every request.
TypedArray* get_null_sprite();
// A u8 array with at least one pixel: the only arrays drawn as sprites.
bool sprite_usable(const TypedArray* s);

// The whole sprite with its top-left at (dx, dy), flipped as asked, through
// the sprite blend; returns the pixels drawn.
int64_t draw_spr(const Gfx& g, const TypedArray* s, int64_t dx, int64_t dy, bool flip_x, bool flip_y);
// `lines` parallel textured lines of len pixels from `start` (along x when
// horizontal, else along y), line i at pos0 + i in the other axis, each
// stepped and clipped by the line drawer. The texture coordinate along the
// lines runs from a0 to a1 (u when along_u, else v); the other one is
// across(i). Texel fetches are clamped to the sprite. Returns the pixels drawn.
int64_t draw_parallel_lines(const Gfx& g, const TypedArray* s, bool horizontal, int64_t start, int64_t len,
                            int64_t pos0, int64_t lines, double a0, double a1, bool along_u,
                            const std::function<double(int64_t)>& across);
// The source rectangle (sx, sy, sw, sh) stretched onto (dx, dy, dw, dh);
// negative destination sizes mirror. Returns the textured-line costs.
int64_t draw_sspr(const Gfx& g, const TypedArray* s, int64_t sx, int64_t sy, int64_t sw, int64_t sh, int64_t dx,
                  int64_t dy, int64_t dw, int64_t dh, bool flip_x, bool flip_y);
// A textured line from a u8 texture or an i16 map (whose cells name sprites of
// g.p's table); returns its cost. fast_ok = false draws the reference way:
// double coordinates, divides and a blend per pixel (tests compare the
// shorter ways against it).
int64_t draw_tline3d(const Gfx& g, const TypedArray* src, int64_t flags, double x0, double y0, double x1, double y1,
                     double u0, double v0, double u1, double v1, double w0, double w1, bool fast_ok = true);

int lua54_set_spr(lua_State* L);
int lua54_spr(lua_State* L);
int lua54_sspr(lua_State* L);
int lua54_blit(lua_State* L);  // also the typed-array method blit
int lua54_draw_map(lua_State* L);
int lua54_mset(lua_State* L);
int lua54_mget(lua_State* L);
int lua54_fset(lua_State* L);
int lua54_fget(lua_State* L);
int lua54_tline3d(lua_State* L);
