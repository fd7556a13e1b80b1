// Decodes arbitrary bytes as PNG (in several output forms) and as QOI, as the
// file API, the card writer and its label pictures do: the decoders must
// refuse what they cannot read, never read or write outside their blocks, and
// a picture they return holds width x height pixels. Half the inputs start
// from a valid small picture, encoded here, with bytes changed by the input,
// so the search reaches past the headers.
#include <lodepng.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "storage/png_buffer.h"

static void check_png(const std::string& bytes, int type, unsigned depth) {
    ByteBuffer* b = create_buffer_2((int64_t)bytes.size(), 0);
    bappend_bytes(b, bytes.data(), (int64_t)bytes.size());
    unsigned char* px = nullptr;
    unsigned w = 0, h = 0;
    if (LodePNG_decode32_pbuffer(&px, &w, &h, b) == 0) {
        if (!px || (uint64_t)w * h * 4 > PNG_DECODE_MAX_BYTES) abort();
        volatile unsigned char last = px[(size_t)w * h * 4 - 1];
        (void)last;
    } else if (px) {
        abort();
    }
    free(px);
    px = nullptr;
    LodePNG_decode_pbuffer(&px, &w, &h, b, type, depth);
    free(px);
    destroy_buffer(b);
}

static void check_qoi(const std::string& bytes) {
    unsigned w = 0, h = 0;
    unsigned char* px = qoi_decode_rgba((const uint8_t*)bytes.data(), bytes.size(), &w, &h, 1 << 22);
    if (px) {
        if ((uint64_t)w * h * 4 > (1 << 22) || w == 0 || h == 0) abort();
        volatile unsigned char last = px[(size_t)w * h * 4 - 1];
        (void)last;
    }
    free(px);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 4) return 0;
    static const struct {
        LodePNGColorType type;
        unsigned depth;
    } forms[] = {{LCT_RGBA, 8}, {LCT_RGB, 8}, {LCT_RGBA, 16}, {LCT_GREY, 8}, {LCT_PALETTE, 8}, {LCT_GREY, 1}};
    const auto& form = forms[data[0] % 6];
    std::string rest((const char*)data + 3, size - 3);
    if (!(data[0] & 0x80)) {
        check_png(rest, form.type, form.depth);
        check_qoi(rest);
        return 0;
    }
    // A w x h picture from the input's bytes, encoded, then changed at the
    // positions the input's tail names.
    unsigned w = data[1] % 24 + 1, h = data[2] % 24 + 1;
    std::string rgba(w * h * 4, 0);
    for (size_t i = 0; i < rgba.size(); i++) rgba[i] = rest.empty() ? 0 : rest[i % rest.size()];
    unsigned char* png = nullptr;
    size_t n = 0;
    if (lodepng_encode32(&png, &n, (const unsigned char*)rgba.data(), w, h) == 0) {
        std::string p((char*)png, n);
        for (size_t i = 0; i + 2 < rest.size() && i < 24; i += 3)
            p[((uint8_t)rest[i] << 8 | (uint8_t)rest[i + 1]) % p.size()] ^= rest[i + 2];
        check_png(p, form.type, form.depth);
    }
    free(png);
    ByteBuffer* q = create_buffer_2(64, 0);
    if (qoi_encode_rgba((const unsigned char*)rgba.data(), w, h, 0, q)) {
        std::string p((char*)q->bytes, (size_t)q->length);
        for (size_t i = 0; i + 2 < rest.size() && i < 24; i += 3)
            p[((uint8_t)rest[i] << 8 | (uint8_t)rest[i + 1]) % p.size()] ^= rest[i + 2];
        check_qoi(p);
    }
    destroy_buffer(q);
    return 0;
}
