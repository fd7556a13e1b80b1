// The growable byte buffer used for files, texts, queues and binary data.
#pragma once
#include <cstddef>
#include <cstdint>

struct ByteBuffer {
    uint64_t capacity;  // bytes allocated; always >= length + 1
    uint8_t* bytes;
    int32_t tag;        // allocation tag 0..127, fixed at creation
    int32_t length;
    int32_t cursor;
};

enum : int32_t {
    BUF_TAG_ESCAPE = 69,
    BUF_TAG_READLN = 82,
    BUF_TAG_FROM_STR = 88,
    BUF_TAG_FROM_BUFFER = 89,
    BUF_TAG_DAT_FILE = 105,
    BUF_TAG_CONFIG = 111,
    BUF_TAG_MESSAGE = 112,
    BUF_TAG_QUEUE = 114,
    BUF_TAG_FROM_FILE = 117,
};

// Largest length a buffer may hold: lengths and cursors are i32.
constexpr int64_t BUFFER_MAX_LENGTH = 0x7ffffff0;

extern uint64_t total_buffer_allocation;
extern int32_t total_num_buffers;
extern int32_t buffer_group_count[128];

// Blocks of host memory for buffer bytes: at least n bytes from malloc, not
// zeroed unless *zeroed (when given) says so, freed with buffer_block_free.
// Fresh memory is faulted in page by page as it is first written, and on some
// hosts (virtual machines under load) that costs far more than the work done
// with it: a third of a second and more for 64 MB, the size of a cartridge
// image. So a few freed large blocks are kept for the next large requests, and
// fresh ones are backed by huge pages where the host offers them.
uint8_t* buffer_block_alloc(uint64_t n, bool* zeroed = nullptr);
void buffer_block_free(uint8_t* block);

ByteBuffer* create_buffer_2(int64_t size, int32_t tag);
ByteBuffer* create_buffer_from_str(const char* s);
ByteBuffer* create_buffer_from_buffer(const ByteBuffer* src);
ByteBuffer* create_buffer_from_buffer_2(const ByteBuffer* src, int32_t tag);
ByteBuffer* create_buffer_from_file(const char* path);
void destroy_buffer(ByteBuffer* b);
// A buffer of the n bytes at block + from, taking over block (from buffer_block_alloc,
// cap bytes): the bytes move to its start and a small block shrinks to fit, so a large
// result needs no second copy in fresh memory.
ByteBuffer* create_buffer_adopting(uint8_t* block, uint64_t cap, int64_t from, int64_t n, int32_t tag);

// Grows so that n bytes plus the trailing NUL fit; false when n is out of range.
bool ballocate(ByteBuffer* b, int64_t n);
// As ballocate, for a buffer whose bytes are all written before they are read (a message
// queue): the added bytes are left as the allocator gives them, since clearing megabytes of
// fresh pages would cost far more than the write that needs them, and growth stops at `most`
// bytes of capacity, a bound the buffer never passes.
bool ballocate_unzeroed(ByteBuffer* b, int64_t n, uint64_t most);
void bclear(ByteBuffer* b);
char* to_cstr(ByteBuffer* b);
void bcrop(ByteBuffer* b, int32_t start, int32_t count);

int64_t bwrite(const void* src, int64_t size, int64_t n, ByteBuffer* b);
void bwrite_uint8(uint32_t v, ByteBuffer* b);
void bwrite_uint16(uint32_t v, ByteBuffer* b);
void bwrite_uint32(uint32_t v, ByteBuffer* b);
void bwrite_uint32_big_endian(uint32_t v, ByteBuffer* b);
void bwrite_uint8_as_hex(uint32_t v, ByteBuffer* b);
int64_t bappend_str(ByteBuffer* b, const char* s);
// Appends n raw bytes at the end (like bappend_str for data that may hold NULs).
int64_t bappend_bytes(ByteBuffer* b, const void* s, int64_t n);
void bwrite_int64_as_hex(int64_t v, ByteBuffer* b);
void bwrite_int32_as_hex(int32_t v, ByteBuffer* b);
void bwrite_int16_as_hex(int32_t v, ByteBuffer* b);
int64_t bappend_str_escaped(ByteBuffer* b, const char* s);
int64_t bwrite_escaped_string(const char* s, ByteBuffer* b, int64_t n);

uint32_t bread_uint8(ByteBuffer* b);
uint32_t bread_uint16(ByteBuffer* b);
uint32_t bread_uint32(ByteBuffer* b);
uint32_t bread_uint32_big_endian(ByteBuffer* b);
uint32_t bread_uint8_hex(ByteBuffer* b);
int64_t bread(void* dst, int64_t size, int64_t n, ByteBuffer* b);
ByteBuffer* breadln(ByteBuffer* src, ByteBuffer* dst);

uint8_t read_u8_from_hex_str(const char** p);
int16_t read_i16_from_hex_str(const char** p);
int32_t read_i32_from_hex_str(const char** p);
int64_t read_i64_from_hex_str(const char** p);

const char* escape_lua_string(const char* s);

uint64_t get_total_buffer_allocation();
int32_t get_total_num_buffers();
