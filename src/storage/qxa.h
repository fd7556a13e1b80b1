// Decompressor for the legacy qxa program-text blocks of old ROM images.
#pragma once
#include <cstddef>
#include <cstdint>
#include "kernel/buffer.h"

constexpr size_t QXA_HEADER_SIZE = 8;

// True when the bytes start with the qxa magic (a 0 byte, then "qxa").
bool is_qxa_block(const uint8_t* block, size_t avail);

// Decompresses the qxa block (of which `avail` bytes really exist) into dst, which must hold
// capacity + 1 bytes: at most capacity bytes of text, always followed by a 0 byte. A block
// that is damaged stops decompression with the text decoded so far. Returns the text bytes.
size_t qxa_decompress(const uint8_t* block, size_t avail, char* dst, size_t capacity);

// The decompressed text, up to its first 0 byte, as a new buffer (tag 117); at most
// 65,536 bytes as the cartridge loader reads it. Never NULL.
ByteBuffer* qxa_decompress_to_buffer(const uint8_t* block, size_t avail);
