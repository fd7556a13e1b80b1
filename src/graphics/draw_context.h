// The part of a Process that holds its draw target and the clip cached from
// the clip word of its draw-state page.
#pragma once
#include <cstdint>

struct TypedArray;

struct DrawContext {
    TypedArray* target;          // kept alive by a reference while it is the target
    int32_t clip_l, clip_t;      // cached clip; right and bottom exclusive
    int32_t clip_r, clip_b;
    int64_t clip_word;           // the clip word the cache was derived from
    const TypedArray* clip_for;  // ... for this target
    uint32_t clip_w, clip_h;     // ... at this size (mutate may change it)
    int32_t clip_valid;
    int32_t inverted_fill;       // filled shapes fill everything but the shape
};
