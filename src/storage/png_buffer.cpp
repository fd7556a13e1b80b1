#include "storage/png_buffer.h"

#include <lodepng.h>

#include <cstdlib>
#include <cstring>
#include <vector>

#define QOI_NO_STDIO
#define QOI_IMPLEMENTATION
#include <qoi.h>

#include "arrays/typed_array.h"
#include "graphics/graphics.h"
#include "kernel/cpu.h"

// The bytes of an image's compressed scanlines: one filter byte a row, per
// Adam7 pass when interlaced.
static uint64_t idat_size(uint64_t w, uint64_t h, uint64_t bpp, bool interlaced) {
    if (!interlaced) return h * (1 + (w * bpp + 7) / 8);
    static const unsigned ix[7] = {0, 4, 0, 2, 0, 1, 0}, iy[7] = {0, 0, 4, 0, 2, 0, 1};
    static const unsigned dx[7] = {8, 8, 4, 4, 2, 2, 1}, dy[7] = {8, 8, 8, 4, 4, 2, 2};
    uint64_t n = 0;
    for (int i = 0; i < 7; i++) {
        uint64_t pw = (w + dx[i] - ix[i] - 1) / dx[i], ph = (h + dy[i] - iy[i] - 1) / dy[i];
        if (pw && ph) n += ph * (1 + (pw * bpp + 7) / 8);
    }
    return n;
}

static unsigned decode_bytes(unsigned char** out, unsigned* w, unsigned* h, const uint8_t* bytes, size_t len,
                             LodePNGColorType colour_type, unsigned bit_depth, uint64_t max_bytes) {
    *out = nullptr;
    *w = *h = 0;
    LodePNGState st;
    lodepng_state_init(&st);
    unsigned iw = 0, ih = 0;
    unsigned err = lodepng_inspect(&iw, &ih, &st, bytes, len);
    LodePNGColorMode mode = lodepng_color_mode_make(colour_type, bit_depth);
    // A pixel has 1 to 64 bits; the first test keeps the product in range.
    uint64_t pixels = (uint64_t)iw * ih;
    if (!err && (pixels > max_bytes * 8 || (pixels * lodepng_get_bpp(&mode) + 7) / 8 > max_bytes))
        err = PNG_ERROR_TOO_LARGE;
    if (!err) {
        // Compressed data may inflate far beyond the picture it claims to be:
        // inflating stops past the scanlines the header promises. Text chunks
        // are not needed, and may inflate too.
        st.info_raw.colortype = colour_type;
        st.info_raw.bitdepth = bit_depth;
        st.decoder.read_text_chunks = 0;
        st.decoder.zlibsettings.max_output_size =
            (size_t)idat_size(iw, ih, lodepng_get_bpp(&st.info_png.color), st.info_png.interlace_method == 1);
        err = lodepng_decode(out, w, h, &st, bytes, len);
        if (err) {
            free(*out);
            *out = nullptr;
            *w = *h = 0;
        }
    }
    lodepng_state_cleanup(&st);
    return err;
}

unsigned png_decode32_bytes(unsigned char** out, unsigned* w, unsigned* h, const uint8_t* bytes, size_t len,
                            uint64_t max_bytes) {
    return decode_bytes(out, w, h, bytes, len, LCT_RGBA, 8, max_bytes);
}

unsigned LodePNG_decode_pbuffer(unsigned char** out, unsigned* w, unsigned* h, ByteBuffer* b, int colour_type,
                                unsigned bit_depth) {
    *out = nullptr;
    *w = *h = 0;
    if (!b) return PNG_ERROR_NULL_BUFFER;
    b->cursor = 0;
    return decode_bytes(out, w, h, b->bytes, (size_t)b->length, (LodePNGColorType)colour_type, bit_depth,
                        PNG_DECODE_MAX_BYTES);
}

unsigned LodePNG_decode32_pbuffer(unsigned char** out, unsigned* w, unsigned* h, ByteBuffer* b) {
    return LodePNG_decode_pbuffer(out, w, h, b, LCT_RGBA, 8);
}

unsigned LodePNG_encode_pbuffer(const unsigned char* pixels, unsigned w, unsigned h, int colour_type,
                                unsigned bit_depth, ByteBuffer* b) {
    if (!b) return PNG_ERROR_NULL_BUFFER;
    unsigned char* png = nullptr;
    size_t size = 0;
    unsigned err = lodepng_encode_memory(&png, &size, pixels, w, h, (LodePNGColorType)colour_type, bit_depth);
    if (!err && bwrite(png, 1, (int64_t)size, b) != (int64_t)size) err = 83;
    free(png);
    return err;
}

unsigned LodePNG_encode32_pbuffer(const unsigned char* pixels, unsigned w, unsigned h, ByteBuffer* b) {
    return LodePNG_encode_pbuffer(pixels, w, h, LCT_RGBA, 8, b);
}

unsigned char* qoi_decode_rgba(const uint8_t* bytes, size_t len, unsigned* w, unsigned* h, uint64_t max_bytes) {
    *w = *h = 0;
    if (!bytes || len < 14 || len > (size_t)INT32_MAX || memcmp(bytes, "qoif", 4) != 0) return nullptr;
    auto be32 = [&](int at) {
        return (uint32_t)bytes[at] << 24 | (uint32_t)bytes[at + 1] << 16 | (uint32_t)bytes[at + 2] << 8 |
               bytes[at + 3];
    };
    // Checked before the codec allocates the pixels.
    uint64_t qw = be32(4), qh = be32(8), limit = max_bytes / 4;
    if (qw > limit || qh > limit || qw * qh > limit) return nullptr;
    qoi_desc d;
    unsigned char* px = (unsigned char*)qoi_decode(bytes, (int)len, &d, 4);
    if (!px) return nullptr;
    *w = d.width;
    *h = d.height;
    return px;
}

bool qoi_encode_rgba(const unsigned char* pixels, unsigned w, unsigned h, int colour_space, ByteBuffer* b) {
    qoi_desc d{w, h, 4, (unsigned char)colour_space};
    int n = 0;
    void* q = qoi_encode(pixels, &d, &n);
    if (!q) return false;
    bool ok = bappend_bytes(b, q, n) == n;
    free(q);
    return ok;
}

// i32 elements are their four bytes in memory order as R, G, B, A; u8 elements
// are colour indices through the current process's palette.
ByteBuffer* storage_png_from_value(lua_State* L, int idx) {
    TypedArray* a = to_typed_array(L, idx);
    if (!a || a->dims != 2 || (ta_tag(a) != UT_I32 && ta_tag(a) != UT_U8) || a->width == 0 || a->height == 0)
        return nullptr;
    int64_t n = ta_count(a);
    std::vector<unsigned char> rgba((size_t)n * 4);
    if (ta_tag(a) == UT_U8) {
        convert_bitmap_8_to_32(ta_data(a), rgba.data(), n);
    } else {
        const int32_t* e = ta_elems<int32_t>(a);
        for (int64_t i = 0; i < n; i++) {
            uint32_t v = (uint32_t)e[i];
            for (int k = 0; k < 4; k++) rgba[(size_t)i * 4 + k] = (unsigned char)(v >> (8 * k));
        }
    }
    ByteBuffer* out = create_buffer_2((int64_t)n / 2 + 1024, 0);
    if (LodePNG_encode32_pbuffer(rgba.data(), a->width, a->height, out) != 0) {
        destroy_buffer(out);
        out = nullptr;
    }
    spend_cpu(n);
    return out;
}
