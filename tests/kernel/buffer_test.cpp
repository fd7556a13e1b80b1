#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "kernel/buffer.h"

namespace {

std::string data(ByteBuffer* b) { return std::string((const char*)b->bytes, (size_t)b->length); }

struct Buf {
    ByteBuffer* b;
    explicit Buf(ByteBuffer* x) : b(x) {}
    ~Buf() { destroy_buffer(b); }
    ByteBuffer* operator->() { return b; }
    operator ByteBuffer*() { return b; }
};

TEST(Buffer, CreationSizesAndCounters) {
    int32_t n0 = get_total_num_buffers();
    uint64_t a0 = get_total_buffer_allocation();
    int32_t tag0 = buffer_group_count[7];
    {
        Buf z(create_buffer_2(0, 7)), neg(create_buffer_2(-5, 7));
        EXPECT_EQ(z->capacity, 1u);
        EXPECT_EQ(neg->capacity, 1u);
        EXPECT_STREQ(to_cstr(z), "");
        EXPECT_EQ(buffer_group_count[7], tag0 + 2);
        EXPECT_EQ(get_total_num_buffers(), n0 + 2);
        EXPECT_EQ(get_total_buffer_allocation(), a0 + 2);

        Buf s(create_buffer_from_str("hello"));
        EXPECT_EQ(s->tag, BUF_TAG_FROM_STR);
        EXPECT_EQ(s->capacity, 7u);
        EXPECT_EQ(s->length, 5);
        EXPECT_EQ(s->cursor, 5);

        Buf c(create_buffer_from_buffer(s));
        EXPECT_EQ(c->tag, BUF_TAG_FROM_BUFFER);
        EXPECT_EQ(c->capacity, 8u);
        EXPECT_EQ(c->cursor, 0);
        EXPECT_EQ(data(c), "hello");
        // Growth is counted too.
        uint64_t before = get_total_buffer_allocation();
        bappend_str(c, "0123456789");
        EXPECT_EQ(get_total_buffer_allocation(), before + (c->capacity - 8));
    }
    EXPECT_EQ(get_total_num_buffers(), n0);
    EXPECT_EQ(get_total_buffer_allocation(), a0);
    EXPECT_EQ(buffer_group_count[7], tag0);
    destroy_buffer(nullptr);
}

TEST(Buffer, IntegerWritersAndReaders) {
    Buf b(create_buffer_2(0, 1));
    bwrite_uint8(0x1ff, b);
    bwrite_uint16(0xbeef, b);
    bwrite_uint32(0x01020304, b);
    bwrite_uint32_big_endian(0x01020304, b);
    bwrite_uint8_as_hex(0xa5, b);
    EXPECT_EQ(data(b), std::string("\xff\xef\xbe\x04\x03\x02\x01\x01\x02\x03\x04" "a5", 13));
    EXPECT_GE(b->capacity, (uint64_t)b->length + 1);
    b->cursor = 0;
    EXPECT_EQ(bread_uint8(b), 0xffu);
    EXPECT_EQ(bread_uint16(b), 0xbeefu);
    EXPECT_EQ(bread_uint32(b), 0x01020304u);
    EXPECT_EQ(bread_uint32_big_endian(b), 0x01020304u);
    EXPECT_EQ(bread_uint8_hex(b), 0xa5u);
    // At the end every reader returns 0 and leaves the cursor.
    int32_t end = b->cursor;
    EXPECT_EQ(bread_uint8(b), 0u);
    EXPECT_EQ(bread_uint32(b), 0u);
    EXPECT_EQ(b->cursor, end);

    Buf three(create_buffer_from_str("abc"));
    three->cursor = 0;
    EXPECT_EQ(bread_uint32(three), 0u);
    EXPECT_EQ(three->cursor, 0);
    char out[4] = {};
    EXPECT_EQ(bread(out, 1, 4, three), 3);
    EXPECT_EQ(std::string(out, 3), "abc");
    EXPECT_EQ(bread(out, 1, 4, three), 0);
}

TEST(Buffer, HexTextWriters) {
    Buf b(create_buffer_2(0, 1));
    bwrite_int64_as_hex(0x0123456789abcdefLL, b);
    bwrite_int32_as_hex(-1, b);
    bwrite_int16_as_hex(0x12345, b);
    EXPECT_STREQ(to_cstr(b), "0123456789abcdefffffffff2345");
    // Mixed-case input digits; anything else counts as 0.
    Buf h(create_buffer_from_str("Ff0g"));
    h->cursor = 0;
    EXPECT_EQ(bread_uint8_hex(h), 0xffu);
    EXPECT_EQ(bread_uint8_hex(h), 0x00u);
}

TEST(Buffer, HexStringReaders) {
    struct Case {
        const char* text;
        int width;
        int64_t value;
        int advanced;
    } cases[] = {
        {"ffff", 2, -1, 4},        {"ff", 2, 0, 2},     {"7fff", 2, 32767, 4},
        {"a5", 1, 0xa5, 2},        {"a", 1, 0, 1},      {"ffffffff", 4, -1, 8},
        {"0000000100000000", 8, 1LL << 32, 16},
    };
    for (const Case& c : cases) {
        const char* p = c.text;
        int64_t v = c.width == 1 ? read_u8_from_hex_str(&p)
                    : c.width == 2 ? read_i16_from_hex_str(&p)
                    : c.width == 4 ? read_i32_from_hex_str(&p)
                                   : read_i64_from_hex_str(&p);
        EXPECT_EQ(v, c.value) << c.text;
        EXPECT_EQ(p - c.text, c.advanced) << c.text;
    }
}

TEST(Buffer, AppendStrings) {
    Buf b(create_buffer_2(0, 1));
    EXPECT_EQ(bappend_str(b, ""), 0);
    EXPECT_EQ(b->bytes[0], 0);
    EXPECT_EQ(bappend_str(b, nullptr), 0);
    bwrite_uint8('x', b);
    b->cursor = 0;
    // Writing at the end first moves the cursor to the length.
    EXPECT_EQ(bappend_str(b, "yz"), 2);
    EXPECT_EQ(data(b), "xyz");
    EXPECT_EQ(b->cursor, 3);
    EXPECT_EQ(b->bytes[3], 0);
}

TEST(Buffer, EventEscapes) {
    struct Case {
        const char* in;
        const char* out;
    } cases[] = {
        {"a\"b", "a\\034b"},
        {"\t", "\\009"},
        {"\\", "\\092"},
        {"\xc3\xa9", "\\195\\169"},
        {"plain text", "plain text"},
    };
    for (const Case& c : cases) {
        Buf b(create_buffer_2(0, 1));
        EXPECT_EQ(bappend_str_escaped(b, c.in), (int64_t)strlen(c.out));
        EXPECT_STREQ(to_cstr(b), c.out) << c.in;
        EXPECT_STREQ(escape_lua_string(c.in), c.out);
    }
    // Long texts never write past the capacity (checked under ASan).
    std::string big(5000, '"');
    EXPECT_EQ(strlen(escape_lua_string(big.c_str())), 20000u);
}

TEST(Buffer, OrbEscapes) {
    Buf b(create_buffer_2(0, 1));
    const char s[] = "a\nb\\c\"d]e\x01\x7f~";
    EXPECT_EQ(bwrite_escaped_string(s, b, (int64_t)sizeof s - 1), 24);
    EXPECT_EQ(data(b), "a\\nb\\\\c\\\"d\\093e\\001\\127~");
    EXPECT_EQ(bwrite_escaped_string(s, nullptr, 3), 0);
    EXPECT_EQ(bwrite_escaped_string(s, b, 0), 0);
    // NUL bytes inside the counted length are escaped, not ends.
    Buf z(create_buffer_2(0, 1));
    EXPECT_EQ(bwrite_escaped_string("a\0b", z, 3), 6);
    EXPECT_EQ(data(z), "a\\000b");
}

TEST(Buffer, ReadLines) {
    Buf src(create_buffer_2(0, 1));
    bwrite("a\r\nb\rc\n", 1, 7, src);
    src->cursor = 0;
    ByteBuffer* line = breadln(src, nullptr);
    EXPECT_EQ(line->tag, BUF_TAG_READLN);
    EXPECT_STREQ(to_cstr(line), "a");
    breadln(src, line);
    EXPECT_EQ(data(line), "b\rc");
    breadln(src, line);
    EXPECT_EQ(line->length, 0);
    EXPECT_GE(src->cursor, src->length);
    destroy_buffer(line);

    Buf tail(create_buffer_from_str("x\r"));
    tail->cursor = 0;
    Buf l2(breadln(tail, nullptr));
    EXPECT_EQ(data(l2), "x\r");
}

TEST(Buffer, Crop) {
    Buf b(create_buffer_2(0, 1));
    bwrite("abc\0wxyz", 1, 8, b);
    b->length = 7;  // two texts of 3 and 4 bytes
    b->cursor = 5;
    bcrop(b, 3, 4);
    EXPECT_EQ(b->length, 4);
    EXPECT_EQ(b->cursor, 2);
    EXPECT_EQ(data(b), std::string("\0wxy", 4));
    for (uint64_t i = 4; i < b->capacity; i++) EXPECT_EQ(b->bytes[i], 0);
    bwrite_uint8('!', b);  // writes at the moved-back cursor
    EXPECT_EQ(data(b), std::string("\0w!y", 4));

    // The cursor never ends up outside the data.
    Buf c(create_buffer_from_str("0123456789"));
    c->cursor = 1;
    bcrop(c, 4, 100);
    EXPECT_EQ(c->length, 6);
    EXPECT_EQ(c->cursor, 0);
    bcrop(c, -1, 2);
    EXPECT_EQ(c->length, 6);
    bcrop(c, 6, 2);
    EXPECT_EQ(c->length, 0);
    EXPECT_EQ(c->cursor, 0);
}

TEST(Buffer, GrowthRulesAndLimits) {
    Buf b(create_buffer_2(0, 1));
    bwrite_uint8(1, b);  // capacity 1 < cursor + 2 -> 2*0 + 4
    EXPECT_EQ(b->capacity, 4u);
    bwrite("abcdef", 1, 6, b);  // needs 8 -> 2*(1+6+1)
    EXPECT_EQ(b->capacity, 16u);
    EXPECT_TRUE(ballocate(b, 20));
    EXPECT_EQ(b->capacity, 42u);
    // Sizes past the i32 length range are refused, not wrapped.
    EXPECT_FALSE(ballocate(b, (int64_t)1 << 40));
    EXPECT_EQ(bwrite("x", (int64_t)1 << 32, 1, b), 0);
    EXPECT_EQ(bwrite("x", -1, 1, b), 0);
    EXPECT_EQ(b->length, 7);
}

// Large blocks are kept for reuse when freed: a new buffer is zeroed all the
// same, and a large block taken over keeps its bytes.
TEST(Buffer, LargeBlocksReusedStartZeroed) {
    constexpr int64_t big = 48 << 20;
    for (int round = 0; round < 3; round++) {
        Buf b(create_buffer_2(big, 1));
        ASSERT_EQ(b->capacity, (uint64_t)big + 1);
        EXPECT_EQ(memchr(b->bytes, 1, (size_t)b->capacity), nullptr) << round;
        memset(b->bytes, 1, (size_t)b->capacity);
    }
    uint8_t* block = buffer_block_alloc(big);
    ASSERT_NE(block, nullptr);
    for (int64_t i = 0; i < big; i++) block[i] = (uint8_t)(i * 7);
    Buf a(create_buffer_adopting(block, big, 3, big - 5, 1));
    EXPECT_EQ(a->length, big - 5);
    EXPECT_GE(a->capacity, (uint64_t)big - 4);
    bool same = true;
    for (int64_t i = 0; i < big - 5; i++) same = same && a->bytes[i] == (uint8_t)((i + 3) * 7);
    EXPECT_TRUE(same);
    EXPECT_EQ(a->bytes[big - 5], 0);
}

// A fresh large buffer is zero as the host maps it: making one faults in none of
// its pages (clearing it would fault in all of them), and it reads as zeros.
TEST(Buffer, AFreshLargeBufferIsNotFaultedIn) {
    constexpr int64_t big = 96 << 20;  // more than a kept block can be: always fresh
    Buf b(create_buffer_2(big, 1));
    const uintptr_t page = (uintptr_t)sysconf(_SC_PAGESIZE);
    uintptr_t from = ((uintptr_t)b->bytes + page - 1) & ~(page - 1);
    uintptr_t to = ((uintptr_t)b->bytes + (uintptr_t)big) & ~(page - 1);
    std::vector<unsigned char> in((to - from) / page);
    ASSERT_EQ(mincore((void*)from, to - from, in.data()), 0);
    size_t resident = 0;
    for (unsigned char c : in) resident += c & 1;
    EXPECT_LT(resident, in.size() / 8) << resident << " of " << in.size() << " pages";
    bool zero = true;
    for (int64_t i = 0; i < big; i += 4096) zero = zero && b->bytes[i] == 0;
    EXPECT_TRUE(zero && b->bytes[big - 1] == 0);
}

// Whatever part of the block is taken over, the bytes arrive whole and the
// trailing NUL has room, also when they filled the block (small and large).
TEST(Buffer, AdoptingKeepsTheBytesAndRoomForTheNul) {
    constexpr int64_t big = 48 << 20;
    const struct {
        int64_t cap, from, n;
    } cases[] = {{100, 0, 100}, {100, 0, 99}, {100, 1, 99}, {100, 40, 0}, {big, 0, big}, {big, 0, big - 1}};
    for (const auto& c : cases) {
        uint8_t* block = buffer_block_alloc((uint64_t)c.cap);
        ASSERT_NE(block, nullptr);
        for (int64_t i = 0; i < c.cap; i++) block[i] = (uint8_t)(i * 7 + 1);
        Buf a(create_buffer_adopting(block, (uint64_t)c.cap, c.from, c.n, 1));
        EXPECT_EQ(a->length, c.n) << c.cap << " " << c.from << " " << c.n;
        EXPECT_GT(a->capacity, (uint64_t)c.n) << c.cap << " " << c.from << " " << c.n;
        bool same = true;
        for (int64_t i = 0; i < c.n; i++) same = same && a->bytes[i] == (uint8_t)((i + c.from) * 7 + 1);
        EXPECT_TRUE(same) << c.cap << " " << c.from << " " << c.n;
        EXPECT_EQ(a->bytes[c.n], 0);
    }
}

TEST(Buffer, FromFile) {
    char path[] = "/tmp/orvanta_buf_XXXXXX";
    int fd = mkstemp(path);
    ASSERT_GE(fd, 0);
    std::string content(40000, 'q');
    content[12345] = 0;
    FILE* f = fdopen(fd, "wb");
    fwrite(content.data(), 1, content.size(), f);
    fclose(f);
    Buf b(create_buffer_from_file(path));
    ASSERT_NE(b.b, nullptr);
    EXPECT_EQ(b->tag, BUF_TAG_FROM_FILE);
    EXPECT_EQ(data(b), content);
    EXPECT_EQ(b->cursor, b->length);
    remove(path);
    EXPECT_EQ(create_buffer_from_file("/nonexistent/nowhere"), nullptr);
}

}  // namespace
