// Cartridges as PNG cards: a 512 x 384 picture with the label and its title
// and subtitle bands, and the whole ROM image hidden in the pixels' low bits.
#include "storage/cart_png.h"

#include <lz4.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "arrays/typed_array.h"
#include "graphics/gfx.h"
#include "graphics/graphics.h"
#include "graphics/print.h"
#include "kernel/messages.h"
#include "kernel/process.h"
#include "storage/cart.h"
#include "storage/orb.h"
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

// The label text is printed by a process of its own that runs no Lua, into
// a 178 x 20 bitmap: the title in rows 0-9, the subtitle in rows 10-19.
constexpr int TEXT_W = 178, TEXT_H = 20;
Process* label_proc;
TypedArray* label_back;
bool label_generated;
// The pages the printer reads (font, draw state, first colour table) as
// prepared: codes in one cartridge's text may poke them, and must not change
// how the next cartridge's text prints.
constexpr int LABEL_PAGES[3] = {4, 5, 8};
uint8_t label_pages[3][PAGE_SIZE];

// The value of key in orb text: after `,key="` or `{key="`, up to the next
// quote without a backslash before it, as written (not unescaped).
std::string label_value(const std::string& text, const char* key) {
    std::string pattern = std::string(key) + "=\"";
    for (size_t at = text.find(pattern); at != std::string::npos; at = text.find(pattern, at + 1)) {
        if (at == 0 || (text[at - 1] != ',' && text[at - 1] != '{')) continue;
        size_t start = at + pattern.size(), end = start;
        while (end < text.size() && !(text[end] == '"' && text[end - 1] != '\\')) end++;
        if (end == text.size()) return "";
        return text.substr(start, end - start);
    }
    return "";
}

// The text the label's keys are looked for in: the metadata header and the
// value after it, which store writes LZ4-compressed; searched in its compressed
// bytes, a repeated word hides a key or garbles its value.
constexpr uint32_t INFO_TEXT_MAX = 16u << 20;
std::string info_text(const ByteBuffer* info) {
    const uint8_t* b = info->bytes;
    int64_t len = std::max<int64_t>(info->length, 0), head = find_metadata_length((const char*)b, len);
    const uint8_t* p = b + head;
    int64_t n = len - head;
    if (n >= 12 && memcmp(p, "lz4", 4) == 0) {
        auto le32 = [](const uint8_t* q) { return (uint32_t)q[0] | q[1] << 8 | q[2] << 16 | (uint32_t)q[3] << 24; };
        uint32_t c = le32(p + 4), plain = le32(p + 8);
        if (c <= n - 12 && c <= (uint32_t)LZ4_MAX_INPUT_SIZE && plain <= INFO_TEXT_MAX) {
            std::string text((size_t)plain, '\0');
            if (LZ4_decompress_safe((const char*)p + 12, text.data(), (int)c, (int)plain) == (int)plain)
                return std::string((const char*)b, (size_t)head) + text;
        }
    }
    return std::string((const char*)b, (size_t)len);
}

// A label is a line or two on a 178 x 20 bitmap, printed while a cartridge is
// written back, outside any program's slice: its text is printed only as far
// as this much work (far more than the bitmap can show).
constexpr int64_t LABEL_PRINT_CAP = 65536;

void print_at(const std::string& text, int y) {
    ds_set_i32(label_proc, DS_CURSOR_X, 0);
    ds_set_i32(label_proc, DS_CURSOR_Y, y);
    ds_set_i32(label_proc, DS_HOME_X, 0);
    print_tesscii(label_proc, text.data(), (int64_t)text.size(), 0, 7, nullptr, LABEL_PRINT_CAP);
}

// Title band: each bitmap pixel as 2 x 2 card pixels, light above and dark
// below; subtitle band at 1:1.
void draw_label_text(std::vector<uint8_t>& card) {
    const uint8_t* bm = ta_data(label_back);
    auto put = [&](int x, int y, uint8_t grey) {
        uint8_t* p = &card[((size_t)y * CARD_W + x) * 4];
        p[0] = p[1] = p[2] = grey;
        p[3] = 0xFF;
    };
    for (int y = 0; y < TEXT_H; y++)
        for (int x = 0; x < TEXT_W; x++) {
            if (!bm[y * TEXT_W + x]) continue;
            if (y < 10) {
                int cx = TITLE_X + 2 * x, cy = TITLE_Y + 2 * y;
                put(cx, cy, 0xD0);
                put(cx + 1, cy, 0xD0);
                put(cx, cy + 1, 0x80);
                put(cx + 1, cy + 1, 0x80);
            } else {
                put(SUBTITLE_X + x, SUBTITLE_Y + y - 10, 0x90);
            }
        }
}

}  // namespace

void init_label_proc() {
    if (label_proc) return;
    label_proc = (Process*)calloc(1, sizeof(Process));
    label_back = (TypedArray*)calloc(1, sizeof(TypedArray) + TEXT_W * TEXT_H);
    if (!label_proc || !label_back) abort();
    *label_back = TypedArray{UT_U8, 2, {0, 0}, TEXT_W, TEXT_H, 1};
    strcpy(label_proc->name, "[label]");
    gfx_init_host_process(label_proc, label_back);
    // The label's own palette: the first 32 system colours, then none.
    uint32_t pal[64] = {};
    memcpy(pal, system_palette, 32 * sizeof(uint32_t));
    memcpy(ds_page(label_proc) + (DS_RGB_PAL & 0xFFF), pal, sizeof pal);
    for (int i = 0; i < 3; i++) memcpy(label_pages[i], mem_low_page(label_proc, LABEL_PAGES[i]), PAGE_SIZE);
}

void extract_label_text(const ByteBuffer* info) {
    if (!info) return;
    init_label_proc();
    memset(ta_data(label_back), 0, TEXT_W * TEXT_H);
    for (int i = 0; i < 3; i++) memcpy(mem_low_page(label_proc, LABEL_PAGES[i]), label_pages[i], PAGE_SIZE);
    Process* prev = cproc;
    cproc = label_proc;
    std::string text = info_text(info);
    std::string title = label_value(text, "title"), version = label_value(text, "version"),
                author = label_value(text, "author");
    if (!title.empty()) print_at(title, 2);
    if (author.size() >= 800) author.clear();
    std::string subtitle;
    if (!version.empty() && version.size() < 200)
        subtitle = author.empty() ? version : version + " by " + author;
    else if (!author.empty())
        subtitle = "by " + author;
    if (!subtitle.empty()) print_at(subtitle, 12);
    cproc = prev;
    label_generated = true;
}

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
    label_generated = false;
    std::unique_ptr<ByteBuffer, void (*)(ByteBuffer*)> rom(create_buffer_2(4096, FILE_CONTENTS_TAG), destroy_buffer);
    if (write_q64_rom_from_ram_files(rom.get(), origin, 4 | 8) != 0) return 1;
    if (rom->length > CARD_MAX_ROM) {
        notify("failed to store cartridge rom as png (too large)");
        return 1;
    }
    std::vector<uint8_t> card((size_t)CARD_W * CARD_H * 4);
    load_template(card);
    place_label(card, std::string((const char*)origin->bytes, (size_t)origin->length));
    if (label_generated) draw_label_text(card);
    hide_rom_in_card(card.data(), rom->bytes, (size_t)rom->length);
    return LodePNG_encode32_pbuffer(card.data(), CARD_W, CARD_H, out) == 0 ? 0 : 1;
}
