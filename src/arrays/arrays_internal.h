// Pieces shared by the typed-array sources (not for other subsystems).
#pragma once
#include <cstdint>
#include <cstring>
#include "arrays/typed_array.h"

struct lua_State;

// Loops compiled also for wider vectors, picked once at load time where the
// host has them.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__) && !defined(__SANITIZE_ADDRESS__) && \
    !defined(__SANITIZE_THREAD__)
#define TA_CLONES __attribute__((target_clones("avx2", "default")))
#else
#define TA_CLONES
#endif

// Upper bound on elements one call may touch when program numbers let work
// repeat over the same elements (strides of 0, overlapping runs), so that no
// call can keep the host busy for long.
constexpr int64_t TA_WORK_CAP = int64_t(1) << 26;

// A new array of the given shape whose data is left uninitialised; the caller
// fills every byte. dims 1 or 2, width and height already checked >= 1.
TypedArray* ta_push_uninit(lua_State* L, int tag, int dims, int64_t width, int64_t height, int64_t depth);

// Truncation toward zero to 32 (64) bits where a value out of range (NaN
// included) becomes the most negative value of the width.
inline int32_t ta_f2i32(double v) {
    if (!(v > -2147483649.0 && v < 2147483648.0)) return INT32_MIN;
    return (int32_t)v;
}
inline int64_t ta_f2i64(double v) {
    if (!(v >= -9223372036854775808.0 && v < 9223372036854775808.0)) return INT64_MIN;
    return (int64_t)v;
}

// Overflow-free start + i * stride, saturating far outside any array.
inline int64_t ta_pos(int64_t start, int64_t i, int64_t stride) {
    __int128 p = (__int128)start + (__int128)i * stride;
    if (p > INT64_MAX / 2) return INT64_MAX / 2;
    if (p < INT64_MIN / 2) return INT64_MIN / 2;
    return (int64_t)p;
}

int lua54_ud_sort(lua_State* L);
int lua54_ud_convert(lua_State* L);
int lua54_ud_copy(lua_State* L);
int lua54_ud_take(lua_State* L);
int lua54_ud_clear(lua_State* L);

int lua54_ud_add(lua_State* L);
int lua54_ud_sub(lua_State* L);
int lua54_ud_mul(lua_State* L);
int lua54_ud_div(lua_State* L);
int lua54_ud_idiv(lua_State* L);
int lua54_ud_mod(lua_State* L);
int lua54_ud_pow(lua_State* L);
int lua54_ud_band(lua_State* L);
int lua54_ud_bor(lua_State* L);
int lua54_ud_bxor(lua_State* L);
int lua54_ud_shl(lua_State* L);
int lua54_ud_shr(lua_State* L);
int lua54_ud_max(lua_State* L);
int lua54_ud_min(lua_State* L);
int lua54_ud_abs(lua_State* L);
int lua54_ud_sgn(lua_State* L);
int lua54_ud_sgn0(lua_State* L);
// The element-wise copy / fill (copy itself dispatches to take for i32 indices).
int ta_elementwise_copy(lua_State* L);

int lua54_ud_lerp(lua_State* L);
int lua54_ud_magnitude(lua_State* L);
int lua54_ud_distance(lua_State* L);
int lua54_ud_dot(lua_State* L);
int lua54_ud_cross(lua_State* L);
int lua54_ud_matmul(lua_State* L);
int lua54_ud_matmul3d(lua_State* L);
int lua54_ud_matmul2d(lua_State* L);
int lua54_ud_transpose(lua_State* L);
int lua54_ud_row(lua_State* L);
int lua54_ud_column(lua_State* L);

int lua54_userdata(lua_State* L);
int lua54_vec(lua_State* L);
int lua54_get(lua_State* L);
int lua54_set(lua_State* L);
