// Seams of storage_pending.h: PNG images are encoded here.
#include "storage/storage_pending.h"

#include <lodepng.h>

#include <cstdlib>
#include <vector>

#include "arrays/typed_array.h"
#include "graphics/graphics.h"
#include "kernel/cpu.h"

// i32 elements are their four bytes in memory order as R, G, B, A. u8 elements are colour
// indices through the current palette: not until the palette code lands.
ByteBuffer* storage_png_from_value(lua_State* L, int idx) {
    TypedArray* a = to_typed_array(L, idx);
    if (!a || a->dims != 2 || (ta_tag(a) != UT_I32 && ta_tag(a) != UT_U8) || a->width == 0 || a->height == 0)
        return nullptr;
    int64_t n = ta_count(a);
    std::vector<unsigned char> rgba((size_t)n * 4);
    if (ta_tag(a) == UT_U8) {
        // Colour indices through the current process's palette.
        convert_bitmap_8_to_32(ta_data(a), rgba.data(), n);
    } else {
        const int32_t* e = ta_elems<int32_t>(a);
        for (int64_t i = 0; i < n; i++) {
            uint32_t v = (uint32_t)e[i];
            for (int k = 0; k < 4; k++) rgba[(size_t)i * 4 + k] = (unsigned char)(v >> (8 * k));
        }
    }
    unsigned char* png = nullptr;
    size_t size = 0;
    unsigned err = lodepng_encode32(&png, &size, rgba.data(), a->width, a->height);
    ByteBuffer* out = nullptr;
    if (!err && png) {
        out = create_buffer_2((int64_t)size, 0);
        bappend_bytes(out, png, (int64_t)size);
    }
    free(png);
    spend_cpu(n);
    return out;
}
