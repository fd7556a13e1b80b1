// A fixed-size string-to-string hash table: open addressing with a per-key step, at most
// 32 probes per key. Keys and values live in two append-only stores.
#pragma once
#include <cstdint>

#include "kernel/buffer.h"

constexpr int32_t HTABLE_STORE_TAG = 116;

struct StringTable {
    int32_t size;   // bucket count, a power of two
    int32_t count;  // keys stored
    // Each bucket's key and value as offsets of their text in the stores; -1 for none.
    // Offsets (not pointers) stay right when a store moves as it grows.
    int32_t* keys;
    int32_t* values;
    ByteBuffer* key_store;    // entries of u32 length, the bytes, a 0 byte
    ByteBuffer* value_store;  // the same for values
};

// Null when size is not a power of two (or past 2^24).
StringTable* create_htable(int32_t size);
void destroy_htable(StringTable* t);
// The value (NUL-terminated, valid until the next insert) or null; *length gets its length, 0 when absent.
const char* htable_get(StringTable* t, const char* key, uint64_t* length = nullptr);
// 0 when stored, 1 when the key is absent and none of its 32 buckets is free.
int htable_insert(StringTable* t, const char* key, const void* value, int64_t length);
int htable_insert_str(StringTable* t, const char* key, const char* value);
// 1 when the key was found and its bucket emptied, else 0.
int htable_delete(StringTable* t, const char* key);
