// Saturating conversions and counters shared by every subsystem.
#pragma once
#include <cmath>
#include <cstdint>
#include <limits>

// The one float-to-integer conversion: NaN gives 0, out-of-range values clamp.
inline int64_t sat_f2i(double v) {
    if (v != v) return 0;
    if (v >= 9223372036854775807.0) return std::numeric_limits<int64_t>::max();
    if (v <= -9223372036854775808.0) return std::numeric_limits<int64_t>::min();
    return (int64_t)v;
}

// Floor of a double as an integer, saturating (NaN gives 0).
inline int64_t sat_floor(double v) { return sat_f2i(std::floor(v)); }

inline int32_t sat_i32(int64_t v) {
    if (v > INT32_MAX) return INT32_MAX;
    if (v < INT32_MIN) return INT32_MIN;
    return (int32_t)v;
}

inline int32_t sat_f2i32(double v) { return sat_i32(sat_f2i(v)); }

inline int64_t sat_add(int64_t a, int64_t b) {
    int64_t r;
    if (__builtin_add_overflow(a, b, &r)) return b > 0 ? INT64_MAX : INT64_MIN;
    return r;
}

inline int64_t sat_mul(int64_t a, int64_t b) {
    int64_t r;
    if (__builtin_mul_overflow(a, b, &r)) return ((a < 0) != (b < 0)) ? INT64_MIN : INT64_MAX;
    return r;
}

inline int32_t sat_add_i32(int32_t a, int64_t b) { return sat_i32((int64_t)a + sat_i32(b)); }
