#include "storage/htable.h"

#include <cstdlib>
#include <cstring>

constexpr int HTABLE_PROBES = 32;

StringTable* create_htable(int32_t size) {
    if (size <= 0 || size > (1 << 24) || (size & (size - 1))) return nullptr;
    StringTable* t = (StringTable*)calloc(1, sizeof(StringTable));
    if (!t) abort();
    t->size = size;
    t->keys = (int32_t*)malloc(sizeof(int32_t) * (size_t)size);
    t->values = (int32_t*)malloc(sizeof(int32_t) * (size_t)size);
    if (!t->keys || !t->values) abort();
    memset(t->keys, 0xff, sizeof(int32_t) * (size_t)size);
    memset(t->values, 0xff, sizeof(int32_t) * (size_t)size);
    t->key_store = create_buffer_2((int64_t)size * 8, HTABLE_STORE_TAG);
    t->value_store = create_buffer_2((int64_t)size * 8, HTABLE_STORE_TAG);
    return t;
}

void destroy_htable(StringTable* t) {
    if (!t) return;
    free(t->keys);
    free(t->values);
    destroy_buffer(t->key_store);
    destroy_buffer(t->value_store);
    free(t);
}

static uint32_t first_bucket(const StringTable* t, const char* key) {
    int32_t h = (int32_t)0xCAFEF00Du;
    for (const signed char* p = (const signed char*)key; *p; p++) {
        h = (int32_t)((uint32_t)(int32_t)*p * ((uint32_t)h ^ 0xF1378C35u));
        h ^= h >> 15;
    }
    return (uint32_t)h & (uint32_t)(t->size - 1);
}

static const char* text_at(const ByteBuffer* store, int32_t off) { return (const char*)store->bytes + off; }

// Appends u32 length, the bytes and a 0 byte; the offset of the bytes, or -1 when full.
static int32_t store_append(ByteBuffer* store, const void* bytes, int64_t n) {
    if (n < 0 || n > BUFFER_MAX_LENGTH - 5 - store->length) return -1;
    uint8_t len[4] = {(uint8_t)n, (uint8_t)(n >> 8), (uint8_t)(n >> 16), (uint8_t)(n >> 24)};
    static const uint8_t zero = 0;
    bappend_bytes(store, len, 4);
    int32_t off = store->length;
    if (n) bappend_bytes(store, bytes, n);
    bappend_bytes(store, &zero, 1);
    return off;
}

// The bucket holding key, or -1; *free_bucket (optional) gets the first empty one met, or -1.
static int32_t find(const StringTable* t, const char* key, int32_t* free_bucket) {
    uint32_t b = first_bucket(t, key), step = (b & 31) + 1, mask = (uint32_t)(t->size - 1);
    if (free_bucket) *free_bucket = -1;
    for (int i = 0; i < HTABLE_PROBES; i++, b = (b + step) & mask) {
        int32_t k = t->keys[b];
        if (k < 0) {
            if (free_bucket && *free_bucket < 0) *free_bucket = (int32_t)b;
        } else if (!strcmp(text_at(t->key_store, k), key)) {
            return (int32_t)b;
        }
    }
    return -1;
}

const char* htable_get(StringTable* t, const char* key, uint64_t* length) {
    if (length) *length = 0;
    if (!t || !key) return nullptr;
    int32_t b = find(t, key, nullptr);
    if (b < 0) return nullptr;
    const uint8_t* v = t->value_store->bytes + t->values[b];
    if (length) *length = (uint64_t)v[-4] | (uint64_t)v[-3] << 8 | (uint64_t)v[-2] << 16 | (uint64_t)v[-1] << 24;
    return (const char*)v;
}

int htable_insert(StringTable* t, const char* key, const void* value, int64_t length) {
    if (!t || !key) return 1;
    int32_t free_bucket;
    int32_t b = find(t, key, &free_bucket);
    if (b >= 0) {
        int32_t v = store_append(t->value_store, value, length);
        if (v < 0) return 1;
        t->values[b] = v;
        return 0;
    }
    if (free_bucket < 0) return 1;
    int32_t k = store_append(t->key_store, key, (int64_t)strlen(key));
    int32_t v = k < 0 ? -1 : store_append(t->value_store, value, length);
    if (v < 0) return 1;
    t->keys[free_bucket] = k;
    t->values[free_bucket] = v;
    t->count++;
    return 0;
}

int htable_insert_str(StringTable* t, const char* key, const char* value) {
    return htable_insert(t, key, value, value ? (int64_t)strlen(value) : 0);
}

int htable_delete(StringTable* t, const char* key) {
    if (!t || !key) return 0;
    int32_t b = find(t, key, nullptr);
    if (b < 0) return 0;
    t->keys[b] = t->values[b] = -1;
    t->count--;
    return 1;
}
