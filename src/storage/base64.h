// The program's base64 variant: alphabet A-Z a-z 0-9 '_' '-', '=' fill, no line breaks.
// Used for "b64:" values in orb text and "b64$" lines of text cartridges.
#pragma once
#include <cstddef>
#include <cstdint>
#include "kernel/buffer.h"

struct Base64EncodeState {
    int32_t step;     // bytes of the current 3-byte group already taken (0..2)
    uint8_t partial;  // bits of the current group not yet written as a character
};

struct Base64DecodeState {
    int32_t step;     // characters of the current 4-character group already taken (0..3)
    uint8_t partial;  // bits of the current output byte gathered so far
};

extern const char base64_alphabet[65];

void base64_init_encodestate(Base64EncodeState* s);
// Encodes n bytes; returns the characters written to out (at most 4 * (n + 2) / 3).
int64_t base64_encode_block(const uint8_t* bytes, int64_t n, char* out, Base64EncodeState* s);
// Completes a partial group with its '=' fill; returns the characters written (0, 2 or 3).
int64_t base64_encode_blockend(char* out, Base64EncodeState* s);

void base64_init_decodestate(Base64DecodeState* s);
// Decodes n characters, skipping every one outside the alphabet; returns the bytes written
// to out (at most 3 * n / 4 + 1 when continuing a group).
int64_t base64_decode_block(const char* chars, int64_t n, uint8_t* out, Base64DecodeState* s);

// Characters that n bytes encode to, fill included.
int64_t base64_encoded_length(int64_t n);

// Whole-buffer helpers. Appending writes at the end of out and keeps a NUL after the data.
// Both return false (and append nothing) only when the result could not fit in a buffer.
bool base64_encode_append(ByteBuffer* out, const void* bytes, int64_t n);
bool base64_decode_append(ByteBuffer* out, const char* chars, int64_t n);
