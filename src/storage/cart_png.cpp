// Cartridges as PNG cards: a 512 x 384 picture with the label and its title
// and subtitle bands, and the whole ROM image hidden in the pixels' low bits.
#include "storage/cart_png.h"

#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "kernel/messages.h"
#include "storage/cart.h"
#include "storage/pdisk.h"
#include "storage/png_buffer.h"

namespace {

using PixelPtr = std::unique_ptr<unsigned char, decltype(&free)>;

// The whole contents of a file of the virtual file system, or null.
ByteBuffer* read_vfs_file(const std::string& path) {
    FileSlot* f = pfopen(path.c_str(), "rb");
    if (!f) return nullptr;
    ByteBuffer* b = create_buffer_from_buffer(f->contents);
    pfclose(f);
    return b;
}

// The template when it is a 512 x 384 PNG; otherwise a plain opaque card.
void load_template(std::vector<uint8_t>& card) {
    std::unique_ptr<ByteBuffer, void (*)(ByteBuffer*)> b(read_vfs_file(CARD_TEMPLATE_PATH), destroy_buffer);
    unsigned char* px = nullptr;
    unsigned w = 0, h = 0;
    if (b && LodePNG_decode32_pbuffer(&px, &w, &h, b.get()) == 0 && w == CARD_W && h == CARD_H) {
        memcpy(card.data(), px, card.size());
    } else {
        for (size_t i = 0; i < card.size(); i += 4) {
            card[i] = card[i + 1] = card[i + 2] = 0x20;
            card[i + 3] = 0xFF;
        }
    }
    free(px);
}

void paste_label(std::vector<uint8_t>& card, const unsigned char* px) {
    for (int y = 0; y < LABEL_H; y++)
        memcpy(&card[((size_t)(LABEL_Y + y) * CARD_W + LABEL_X) * 4], px + (size_t)y * LABEL_W * 4, LABEL_W * 4);
}

// label.png when it opens (and then only if it is 480 x 270), else label.qoi.
void place_label(std::vector<uint8_t>& card, const std::string& origin) {
    if (std::unique_ptr<ByteBuffer, void (*)(ByteBuffer*)> png{read_vfs_file(origin + "/label.png"),
                                                               destroy_buffer}) {
        unsigned char* px = nullptr;
        unsigned w = 0, h = 0;
        if (LodePNG_decode32_pbuffer(&px, &w, &h, png.get()) == 0 && w == LABEL_W && h == LABEL_H)
            paste_label(card, px);
        free(px);
        return;
    }
    std::unique_ptr<ByteBuffer, void (*)(ByteBuffer*)> qoi{read_vfs_file(origin + "/label.qoi"), destroy_buffer};
    if (!qoi) return;
    unsigned w = 0, h = 0;
    PixelPtr px(qoi_decode_rgba(qoi->bytes, (size_t)qoi->length, &w, &h, PNG_DECODE_MAX_BYTES), &free);
    if (px && w == LABEL_W && h == LABEL_H) paste_label(card, px.get());
}

}  // namespace

void hide_rom_in_card(uint8_t* card, const uint8_t* rom, size_t n) {
    uint64_t total_bits = (uint64_t)n * 8, bit = 0;
    auto take = [&](int count) {
        uint32_t v = 0;
        for (int i = 0; i < count; i++, bit++)
            if (bit < total_bits && (rom[bit >> 3] >> (bit & 7) & 1)) v |= 1u << i;
        return v;
    };
    for (size_t i = 0; i < (size_t)CARD_W * CARD_H * 4; i++) {
        int count = (i & 3) == 3 ? 2 : 3;
        uint8_t keep = (uint8_t)(0xFF << count);
        card[i] = (uint8_t)((card[i] & keep) | take(count));
    }
}

int write_q64_png_from_ram_files(ByteBuffer* out, ByteBuffer* origin) {
    if (!out || !origin) return 1;
    std::unique_ptr<ByteBuffer, void (*)(ByteBuffer*)> rom(create_buffer_2(4096, FILE_CONTENTS_TAG), destroy_buffer);
    if (write_q64_rom_from_ram_files(rom.get(), origin, 4) != 0) return 1;
    if (rom->length > CARD_MAX_ROM) {
        notify("failed to store cartridge rom as png (too large)");
        return 1;
    }
    std::vector<uint8_t> card((size_t)CARD_W * CARD_H * 4);
    load_template(card);
    place_label(card, std::string((const char*)origin->bytes, (size_t)origin->length));
    hide_rom_in_card(card.data(), rom->bytes, (size_t)rom->length);
    return LodePNG_encode32_pbuffer(card.data(), CARD_W, CARD_H, out) == 0 ? 0 : 1;
}
