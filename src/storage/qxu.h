// QxuBlock: the run-coded (or raw) binary form of u8 typed arrays inside orb text.
#pragma once
#include <cstdint>
#include "kernel/buffer.h"

struct lua_State;
struct TypedArray;

struct QxuHeader {
    int type;           // element type tag
    int dims;           // 1..4 as written; only 1 and 2 make arrays
    int64_t width, height, depth;
    bool raw;           // raw bytes rather than run codes
    int64_t data_offset;  // from the start of the block: the raw bytes, or the byte D
};

// Appends the block of a u8 array: D = 0 writes raw bytes, 1..6 run codes with D index
// bits (the orb writer uses 4). Returns the bytes appended.
int64_t write_binary_qxu(const TypedArray* a, ByteBuffer* out, int D);

// Parses the header of the block at p ("qxu" NUL first), avail bytes being there.
bool qxu_parse_header(const uint8_t* p, int64_t avail, QxuHeader* h);
// Fills count bytes of dst from the block data; returns the bytes of data consumed, or -1
// when the data is damaged or ends early (D outside 1..6, codes missing).
int64_t qxu_decode(const uint8_t* data, int64_t avail, bool raw, uint8_t* dst, int64_t count);

// Makes the array of the block at p, fills it and pushes it; returns the block's size in
// bytes, or -1 with nothing pushed.
int64_t get_binary_qxu(lua_State* L, const uint8_t* p, int64_t avail);
