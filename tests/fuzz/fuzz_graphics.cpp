// Drawing from untrusted numbers and texts: the printer (any text, print
// attributes, font header and font address, with pokes from the text landing
// anywhere in the process's memory), textured lines over any doubles from u8
// textures and i16 maps whose cells name odd-sized sprites, and stretched
// sprites with any integers; all into a small target under a fuzzed clip,
// camera and masks.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "graphics/gfx.h"
#include "graphics/print.h"
#include "graphics/sprites.h"

namespace {

struct Reader {
    const uint8_t* p;
    size_t n;
    uint8_t byte() {
        if (!n) return 0;
        n--;
        return *p++;
    }
    uint64_t u64() {
        uint64_t v = 0;
        for (int i = 0; i < 8; i++) v = (v << 8) | byte();
        return v;
    }
    int64_t i64() { return (int64_t)u64(); }
    double f64() {
        uint64_t b = u64();
        double d;
        memcpy(&d, &b, 8);
        return d;
    }
};

TypedArray* make_array(int tag, uint32_t w, uint32_t h) {
    size_t bytes = (size_t)w * h * ta_elem_size_of(tag);
    TypedArray* a = (TypedArray*)calloc(1, sizeof(TypedArray) + bytes + 8);
    *a = TypedArray{(uint8_t)tag, 2, {0, 0}, w, h, 1};
    return a;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static TypedArray* frame = make_array(UT_U8, 40, 24);
    static TypedArray* sprites[4] = {make_array(UT_U8, 8, 8), make_array(UT_U8, 3, 5), make_array(UT_U8, 1, 1),
                                     make_array(UT_U8, 16, 2)};
    static TypedArray* textures[3] = {make_array(UT_U8, 8, 4), make_array(UT_U8, 5, 3), make_array(UT_I16, 4, 4)};
    static Process* p = (Process*)calloc(1, sizeof(Process));
    Reader r{data, size};

    gfx_init_host_process(p, frame);
    for (int i = 0; i < 4; i++) {
        for (int64_t k = 0; k < ta_count(sprites[i]); k++) ta_data(sprites[i])[k] = (uint8_t)(k * 7 + i);
        p->spr.slot[i] = sprites[i];
    }
    for (int i = 0; i < 16; i++) ta_elems<int16_t>(textures[2])[i] = (int16_t)(r.byte() << 8 | r.byte());
    uint8_t* ds = ds_page(p);
    // The draw state: masks, pattern, camera, clip, textured-line offsets and
    // wraps, print flags, font addresses and attributes.
    for (uint32_t a : {DS_READ_MASK, DS_WRITE_MASK, DS_SPRITE_MASK, DS_SHAPE_MASK}) ds[a & 0xFFF] = r.byte();
    for (int i = 0; i < 8; i++) {
        uint8_t row = r.byte();
        ds[(DS_FILL_PATTERN & 0xFFF) + i] = (r.byte() & 1) ? row : 0;
    }
    ds_set_i32(p, DS_CAMERA_X, (int8_t)r.byte());
    ds_set_i32(p, DS_CAMERA_Y, (int8_t)r.byte());
    for (int i = 0; i < 4; i++) ds_set_i16(p, DS_CLIP + 2 * i, (int16_t)(int8_t)r.byte());
    for (int i = 0; i < 4; i++) ds_set_i16(p, DS_TLINE + 2 * i, (int16_t)(r.byte() << 8 | r.byte()));
    ds[DS_PRINT_FLAGS & 0xFFF] = r.byte();
    for (uint32_t a = 0x5F56; a <= 0x5F5B; a++) ds[a & 0xFFF] = r.byte();
    // A font header of any sizes, offsets and flags at 0x4000.
    for (int i = 0; i < 8; i++) mem_low_page(p, 4)[i] = r.byte();

    Process* prev = cproc;
    cproc = p;
    cpu_cycles = 0;
    int ops = 1 + r.byte() % 4;
    for (int op = 0; op < ops && r.n; op++) {
        Gfx g;
        gfx_begin(g, p, true);
        switch (r.byte() % 3) {
        case 0: {
            int wrap = r.byte() & 1;
            uint32_t colour = r.byte();
            colour |= (uint32_t)r.byte() << 8;
            size_t len = std::min<size_t>(r.byte() % 48, r.n);
            print_tesscii(p, (const char*)r.p, (int64_t)len, wrap, colour);
            r.p += len;
            r.n -= len;
            break;
        }
        case 1: {
            const TypedArray* src = r.byte() & 1 ? textures[r.byte() % 3] : sprites[r.byte() % 4];
            double v[10];
            for (double& d : v) {
                // Mostly small coordinates, sometimes any bits at all.
                uint8_t k = r.byte();
                d = k < 200 ? (double)(int8_t)r.byte() + (k & 3) * 0.25 : r.f64();
            }
            draw_tline3d(g, src, r.byte() << 8, v[0], v[1], v[2], v[3], v[4], v[5], v[6], v[7], v[8], v[9],
                         r.byte() & 1);
            break;
        }
        default: {
            int64_t v[8];
            for (int64_t& x : v) x = r.byte() < 220 ? (int8_t)r.byte() : r.i64();
            draw_sspr(g, sprites[r.byte() % 4], v[0], v[1], v[2], v[3], v[4], v[5], v[6], v[7], r.byte() & 1,
                      r.byte() & 1);
            break;
        }
        }
    }
    cproc = prev;
    destroy_print_buffer(p);
    mem_free_process(p);
    return 0;
}
