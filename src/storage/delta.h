// Deltas: a new byte string as literal runs and copies from an old one, guarded by
// CRC-32 and compressed with LZ4.
//
//   "dst" 0, u32 op-stream length, one LZ4 block holding the op stream:
//   u32 new length, u32 CRC of old, u32 CRC of new, then records of
//   [literal count, literal bytes] [copy length, u32 old offset]; counts and lengths
//   are one byte 0-254, or 255 and a u32. A bare op stream is read as well.
#pragma once
#include <cstdint>

#include "kernel/buffer.h"

constexpr int32_t DELTA_TAG = 105;

// CRC-32 of IEEE 802.3; 0 for no bytes.
uint32_t crc32b(const uint8_t* bytes, int64_t length);

// The delta from old to new as a new buffer, or null when the inputs are too large to
// describe (over 2 GB).
ByteBuffer* generate_diff(const uint8_t* old_bytes, int64_t old_len, const uint8_t* new_bytes, int64_t new_len);

// The new data, or null when the delta is malformed, was made from other old data, does
// not give the length and CRC it records, or records a length above max_len.
ByteBuffer* apply_diff(const uint8_t* old_bytes, int64_t old_len, const uint8_t* delta, int64_t delta_len,
                       int64_t max_len = BUFFER_MAX_LENGTH);
