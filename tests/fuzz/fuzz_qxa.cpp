// Decompresses arbitrary bytes as a qxa block into destinations of several sizes: nothing
// is written outside them and the text is always terminated.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "storage/qxa.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    size_t caps[] = {1, (size_t)data[0] + 1, 65536};
    for (size_t cap : caps) {
        std::vector<char> dst(cap + 1, 'Z');
        size_t n = qxa_decompress(data + 1, size - 1, dst.data(), cap);
        if (n > cap || dst[n] != 0) abort();
    }
    ByteBuffer* b = qxa_decompress_to_buffer(data + 1, size - 1);
    if (b->length > 65536 || b->bytes[b->length] != 0 || memchr(b->bytes, 0, (size_t)b->length)) abort();
    destroy_buffer(b);
    return 0;
}
