// Decodes arbitrary bytes as a QxuBlock: never past its end, never more than the array;
// what decodes must write again and decode to the same bytes.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "arrays/typed_array.h"
#include "kernel/buffer.h"
#include "kernel/cpu.h"
#include "lauxlib.h"
#include "lua.h"
#include "lualib.h"
#include "storage/qxu.h"
#include "../orb/orb_state.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static lua_State* L;
    if (!L) L = orb_test_state();
    // Without the magic, decode the bytes as bare run codes into a small array.
    std::vector<uint8_t> block(data, data + size);
    if (size < 4 || memcmp(data, "qxu", 4) != 0) {
        if (size < 2) return 0;
        int64_t count = 1 + data[0] * 16;
        std::vector<uint8_t> dst((size_t)count, 0xAA);
        int64_t used = qxu_decode(data + 1, (int64_t)size - 1, (data[0] & 1) != 0, dst.data(), count);
        if (used > (int64_t)size - 1) abort();
        return 0;
    }
    QxuHeader h;
    if (qxu_parse_header(block.data(), (int64_t)block.size(), &h) && h.data_offset > (int64_t)block.size()) abort();
    cpu_cycles = 0;
    lua_settop(L, 0);
    int64_t used = get_binary_qxu(L, block.data(), (int64_t)block.size());
    if (used > (int64_t)block.size()) abort();
    if (used < 0) {
        if (lua_gettop(L) != 0) abort();
        return 0;
    }
    TypedArray* a = to_typed_array(L, -1);
    if (!a) abort();
    for (int D = 0; D <= 6; D++) {
        ByteBuffer* b = create_buffer_2(0, 111);
        write_binary_qxu(a, b, D);
        int64_t again = get_binary_qxu(L, b->bytes, b->length);
        if (again != b->length) abort();
        TypedArray* c = to_typed_array(L, -1);
        if (!c || ta_count(c) != ta_count(a) || memcmp(ta_data(c), ta_data(a), (size_t)ta_count(a)) != 0) abort();
        lua_pop(L, 1);
        destroy_buffer(b);
    }
    lua_settop(L, 0);
    lua_gc(L, LUA_GCSTEP, 0);
    return 0;
}
