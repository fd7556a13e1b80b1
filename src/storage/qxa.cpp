#include "storage/qxa.h"
#include <cstring>

namespace {

struct BitReader {
    const uint8_t* p;
    size_t end;   // bytes that may be read
    size_t byte;  // current byte index
    int bit;      // next bit within it, least significant first
    bool over;    // a read ran past the end: the code being read is incomplete

    bool more() const { return byte < end; }
    // Past the end every bit reads 0, which ends every variable-length field.
    uint32_t read_bit() {
        if (byte >= end) {
            over = true;
            return 0;
        }
        uint32_t b = (p[byte] >> bit) & 1;
        if (++bit == 8) {
            bit = 0;
            byte++;
        }
        return b;
    }
    uint32_t read(int n) {
        uint32_t v = 0;
        for (int i = 0; i < n; i++) v |= read_bit() << i;
        return v;
    }
};

}  // namespace

bool is_qxa_block(const uint8_t* block, size_t avail) {
    return avail >= 4 && block[0] == 0 && block[1] == 'q' && block[2] == 'x' && block[3] == 'a';
}

size_t qxa_decompress(const uint8_t* block, size_t avail, char* dst, size_t capacity) {
    if (!dst) return 0;
    dst[0] = 0;
    if (!block || avail < QXA_HEADER_SIZE || capacity < 1) return 0;
    size_t text_len = ((size_t)block[4] << 8) | block[5];
    size_t block_len = ((size_t)block[6] << 8) | block[7];
    if (block_len < 9 || text_len < 1) return 0;
    // A block cut short is read only as far as its bytes go.
    if (block_len > avail) block_len = avail;

    uint8_t mtf[256];
    for (int i = 0; i < 256; i++) mtf[i] = (uint8_t)i;
    BitReader br{block, block_len, QXA_HEADER_SIZE, 0, false};
    size_t out = 0;

    while (br.more() && out < text_len && out < capacity) {
        if (br.read_bit()) {
            // Literal: unary length class, then an index into the move-to-front list.
            int k = 0;
            while (br.read_bit() && k < 16) k++;
            uint32_t u = br.read(4 + k);
            uint64_t index = (uint64_t)u + 16 * (((uint64_t)1 << k) - 1);
            if (index > 255 || br.over) break;
            uint8_t v = mtf[index];
            memmove(mtf + 1, mtf, (size_t)index);
            mtf[0] = v;
            dst[out++] = (char)v;
            dst[out] = 0;
            continue;
        }
        int bits;
        if (!br.read_bit()) bits = 15;
        else bits = br.read_bit() ? 5 : 10;
        uint32_t u = br.read(bits);
        if (bits == 10 && u == 0) {
            // Raw run of bytes up to a 0 byte, which is stored but not counted.
            bool done = false;
            for (;;) {
                uint8_t c = (uint8_t)br.read(8);
                if (br.over) c = 0;
                dst[out] = (char)c;
                if (c == 0) break;
                out++;
                if (out >= text_len || out >= capacity) {
                    done = true;
                    break;
                }
            }
            if (done || br.over) break;
            continue;
        }
        size_t offset = (size_t)u + 1;
        size_t length = 3;
        for (int i = 0; i < 33334; i++) {
            uint32_t n = br.read(3);
            length += n;
            if (n != 7) break;
        }
        // A cut-off code, or a reference before the start of the text: the block is damaged.
        if (br.over || offset > out) break;
        if (length > capacity - out) length = capacity - out;
        for (size_t i = 0; i < length; i++, out++) dst[out] = dst[out - offset];
        dst[out] = 0;
    }
    dst[out] = 0;
    return out;
}

ByteBuffer* qxa_decompress_to_buffer(const uint8_t* block, size_t avail) {
    const size_t cap = 65536;
    ByteBuffer* b = create_buffer_2((int64_t)cap + 1, BUF_TAG_FROM_FILE);
    qxa_decompress(block, avail, (char*)b->bytes, cap);
    b->length = b->cursor = (int32_t)strlen((const char*)b->bytes);
    return b;
}
