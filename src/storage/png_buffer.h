// PNG and QOI images held in byte buffers: the layer over the codecs used by
// fetch and store of .png files, the cartridge card and captures.
#pragma once
#include <cstddef>
#include <cstdint>
#include "kernel/buffer.h"

struct lua_State;

// Decoded images larger than this (RGBA bytes) are refused before the codec
// allocates them.
constexpr uint64_t PNG_DECODE_MAX_BYTES = 64u << 20;
// The code returned for a null buffer, and for an image over the limit.
constexpr unsigned PNG_ERROR_NULL_BUFFER = 100;
constexpr unsigned PNG_ERROR_TOO_LARGE = 92;

// Decodes the whole buffer (its cursor set to 0) to RGBA 8-bit; returns the
// codec's error code. On success *out is a malloc'd block the caller frees;
// otherwise it is null.
unsigned LodePNG_decode32_pbuffer(unsigned char** out, unsigned* w, unsigned* h, ByteBuffer* b);
// The same for a chosen output colour type and bit depth.
unsigned LodePNG_decode_pbuffer(unsigned char** out, unsigned* w, unsigned* h, ByteBuffer* b, int colour_type,
                                unsigned bit_depth);
// Encodes with the codec's default settings and writes the PNG bytes at the
// buffer's cursor; returns the codec's error code.
unsigned LodePNG_encode_pbuffer(const unsigned char* pixels, unsigned w, unsigned h, int colour_type,
                                unsigned bit_depth, ByteBuffer* b);
unsigned LodePNG_encode32_pbuffer(const unsigned char* pixels, unsigned w, unsigned h, ByteBuffer* b);

// Decodes PNG bytes to RGBA 8-bit, refusing images of more than max_bytes.
unsigned png_decode32_bytes(unsigned char** out, unsigned* w, unsigned* h, const uint8_t* bytes, size_t len,
                            uint64_t max_bytes);

// Decodes QOI bytes to RGBA 8-bit (malloc'd, the caller frees); null when the
// bytes are not a QOI image or it is larger than max_bytes.
unsigned char* qoi_decode_rgba(const uint8_t* bytes, size_t len, unsigned* w, unsigned* h, uint64_t max_bytes);
// Appends the QOI encoding of RGBA pixels to b; false when it can't be encoded.
bool qoi_encode_rgba(const unsigned char* pixels, unsigned w, unsigned h, int colour_space, ByteBuffer* b);

// The PNG encoding of the 2-D u8 or i32 typed array at idx (charging its pixels), or null.
ByteBuffer* storage_png_from_value(lua_State* L, int idx);
