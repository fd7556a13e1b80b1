// Cartridges as PNG cards: decoded with PIL, the hidden bits read by a Python
// model of the layout and the ROM image inside by python3-lz4.
#include <gtest/gtest.h>
#include <lodepng.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <sys/resource.h>
#include <string>
#include <vector>

#include "capture/fixture.h"
#include "arrays/typed_array.h"
#include "graphics/gfx.h"
#include "graphics/print.h"
#include "kernel/process.h"
#include "kernel/state.h"
#include "lauxlib.h"
#include "lua.h"
#include "storage/cart.h"
#include "storage/cart_png.h"
#include "storage/orb.h"
#include "storage/pdisk.h"
#include "storage/png_buffer.h"
#include "support/harness.h"

namespace {

using Buf = std::unique_ptr<ByteBuffer, void (*)(ByteBuffer*)>;
constexpr size_t CARD_BYTES = (size_t)CARD_W * CARD_H * 4;
Buf buf(int64_t n = 0) { return Buf(create_buffer_2(n, 0), destroy_buffer); }

std::string random_bytes(size_t n, unsigned seed) {
    std::mt19937 r(seed);
    std::string s(n, 0);
    for (char& c : s) c = (char)(r() & 255);
    return s;
}

// An RGBA picture whose every pixel differs from its neighbours.
std::vector<uint8_t> picture(int w, int h, int seed) {
    std::vector<uint8_t> px((size_t)w * h * 4);
    for (int i = 0; i < w * h; i++) {
        px[i * 4] = (uint8_t)(i * 7 + seed);
        px[i * 4 + 1] = (uint8_t)(i / w * 5 + seed);
        px[i * 4 + 2] = (uint8_t)(i * 3 ^ seed);
        px[i * 4 + 3] = (uint8_t)(255 - seed);
    }
    return px;
}

std::string png_of(const std::vector<uint8_t>& px, int w, int h) {
    Buf b = buf();
    EXPECT_EQ(LodePNG_encode32_pbuffer(px.data(), w, h, b.get()), 0u);
    return std::string((char*)b->bytes, (size_t)b->length);
}

std::string qoi_of(const std::vector<uint8_t>& px, int w, int h) {
    Buf b = buf();
    EXPECT_TRUE(qoi_encode_rgba(px.data(), w, h, 0, b.get()));
    return std::string((char*)b->bytes, (size_t)b->length);
}

class Card : public ::testing::Test {
protected:
    std::string work;
    void SetUp() override {
        boot_with_window_manager();
        mount_ram_folder("/system");
        pmkdir("/system/misc");
        write_vfs_file(CARD_TEMPLATE_PATH, read_host_file(ORVANTA_SOURCE_DIR "/rom/misc/q64_cart.png"));
        pmkdir("/ram/c");
        work = std::string(config.home) + "/card_work";
        mkdir(work.c_str(), 0755);
    }
    void TearDown() override { harness_shutdown(); }

    std::string rom_of(const char* origin) {
        Buf rom = buf(), o(create_buffer_from_str(origin), destroy_buffer);
        EXPECT_EQ(write_q64_rom_from_ram_files(rom.get(), o.get(), 4), 0);
        return std::string((char*)rom->bytes, (size_t)rom->length);
    }
    // Writes the card of origin to a host file; "" when nothing was written.
    std::string card_of(const char* origin, int* rc = nullptr) {
        Buf out = buf(), o(create_buffer_from_str(origin), destroy_buffer);
        int r = write_q64_png_from_ram_files(out.get(), o.get());
        if (rc) *rc = r;
        if (out->length == 0) return "";
        std::string path = work + "/card.png";
        write_host_file(path, std::string((char*)out->bytes, (size_t)out->length));
        return path;
    }
    // RGBA of a host PNG as PIL reads it ("" when that fails).
    std::string pixels(const std::string& path) {
        Decoded d = decode_image("png", path);
        EXPECT_EQ(d.facts["size"], "512 384");
        EXPECT_EQ(d.raw.size(), CARD_BYTES) << path;
        return d.raw.size() == CARD_BYTES ? d.raw : "";
    }
};

// The card's pixels without the bits that hide the ROM.
std::string high_bits(const std::string& rgba) {
    std::string s = rgba;
    for (size_t i = 0; i < s.size(); i++) s[i] = (char)(s[i] & (i % 4 == 3 ? 0xFC : 0xF8));
    return s;
}

bool in_label(size_t i) {
    int x = (int)(i / 4 % 512), y = (int)(i / 4 / 512);
    return x >= LABEL_X && x < LABEL_X + LABEL_W && y >= LABEL_Y && y < LABEL_Y + LABEL_H;
}

// Compares a card's visible pixels: the label window with label (or, when
// label is empty, with the template there too), the rest with the template.
void expect_card_shows(const std::string& card, const std::string& templ, const std::vector<uint8_t>& label) {
    // A decoder that gave nothing is a failure here, not a read past the data.
    ASSERT_EQ(card.size(), CARD_BYTES);
    ASSERT_EQ(templ.size(), CARD_BYTES);
    if (!label.empty()) ASSERT_EQ(label.size(), (size_t)LABEL_W * LABEL_H * 4);
    std::string c = high_bits(card), t = high_bits(templ);
    size_t bad = 0;
    for (size_t i = 0; i < c.size(); i++) {
        char want = t[i];
        if (in_label(i) && !label.empty()) {
            int x = (int)(i / 4 % 512) - LABEL_X, y = (int)(i / 4 / 512) - LABEL_Y;
            want = (char)(label[(size_t)(y * LABEL_W + x) * 4 + i % 4] & (i % 4 == 3 ? 0xFC : 0xF8));
        }
        if (c[i] != want) bad++;
    }
    EXPECT_EQ(bad, 0u);
}

TEST_F(Card, HoldsTheRomImageAndShowsTheLabel) {
    std::vector<uint8_t> label = picture(LABEL_W, LABEL_H, 1), other = picture(LABEL_W, LABEL_H, 90);
    write_vfs_file("/ram/c/main.lua", "print(1)");
    write_vfs_file("/ram/c/label.png", png_of(label, LABEL_W, LABEL_H));
    write_vfs_file("/ram/c/label.qoi", qoi_of(other, LABEL_W, LABEL_H));
    pmkdir("/ram/c/sub");
    write_vfs_file("/ram/c/sub/data.bin", random_bytes(3000, 5));
    std::string rom = rom_of("/ram/c");
    std::string path = card_of("/ram/c");
    ASSERT_FALSE(path.empty());

    Decoded d = decode_image("card", path);
    EXPECT_EQ(d.facts["size"], "512 384");
    EXPECT_EQ(d.facts["entries"], "main.lua sub/ sub/data.bin");  // no label file inside
    ASSERT_EQ(d.raw.size(), 270336u);
    EXPECT_TRUE(d.raw.substr(0, rom.size()) == rom);
    EXPECT_EQ(d.raw.find_first_not_of('\0', rom.size()), std::string::npos);
    expect_card_shows(pixels(path), pixels(ORVANTA_SOURCE_DIR "/rom/misc/q64_cart.png"), label);
}

TEST_F(Card, LabelQoiOnlyWhenThereIsNoLabelPng) {
    std::vector<uint8_t> q = picture(LABEL_W, LABEL_H, 33);
    std::string templ = pixels(ORVANTA_SOURCE_DIR "/rom/misc/q64_cart.png");
    write_vfs_file("/ram/c/main.lua", "x");
    write_vfs_file("/ram/c/label.qoi", qoi_of(q, LABEL_W, LABEL_H));
    expect_card_shows(pixels(card_of("/ram/c")), templ, q);
    // A label.png of another size gives no label at all: label.qoi is not tried.
    write_vfs_file("/ram/c/label.png", png_of(picture(100, 50, 2), 100, 50));
    expect_card_shows(pixels(card_of("/ram/c")), templ, {});
    // A label.qoi of another size neither.
    delete_path("/ram/c/label.png");
    write_vfs_file("/ram/c/label.qoi", qoi_of(picture(LABEL_W, 10, 2), LABEL_W, 10));
    expect_card_shows(pixels(card_of("/ram/c")), templ, {});
}

// What the printer draws for a title and a subtitle in a 178 x 20 bitmap,
// printed here by a process of the test's own.
std::vector<uint8_t> printed(const std::string& title, const std::string& subtitle) {
    static Process* p = (Process*)calloc(1, sizeof(Process));
    static TypedArray* bm = (TypedArray*)calloc(1, sizeof(TypedArray) + 178 * 20);
    static bool ready = false;
    if (!ready) {
        *bm = TypedArray{UT_U8, 2, {0, 0}, 178, 20, 1};
        gfx_init_host_process(p, bm);
        ready = true;
    }
    memset(ta_data(bm), 0, 178 * 20);
    Process* prev = cproc;
    cproc = p;
    const std::string* texts[2] = {&title, &subtitle};
    for (int i = 0; i < 2; i++) {
        ds_set_i32(p, DS_CURSOR_X, 0);
        ds_set_i32(p, DS_CURSOR_Y, 2 + 10 * i);
        if (!texts[i]->empty()) print_tesscii(p, texts[i]->data(), (int64_t)texts[i]->size(), 0, 7);
    }
    cproc = prev;
    return std::vector<uint8_t>(ta_data(bm), ta_data(bm) + 178 * 20);
}

// The card's title band (each bitmap pixel 2 x 2, light over dark) and
// subtitle band (1:1) against a bitmap; elsewhere in the bands the template.
void expect_bands(const std::string& card, const std::string& templ, const std::vector<uint8_t>& text) {
    ASSERT_EQ(card.size(), CARD_BYTES);
    ASSERT_EQ(templ.size(), CARD_BYTES);
    ASSERT_EQ(text.size(), 178u * 20);
    std::string c = high_bits(card), t = high_bits(templ);
    auto at = [&](const std::string& s, int x, int y) { return s.substr(((size_t)y * 512 + x) * 4, 4); };
    auto grey = [](int v) { return std::string({(char)v, (char)v, (char)v, (char)0xFC}); };
    int bad = 0, lit = 0;
    for (int y = 0; y < 20; y++)
        for (int x = 0; x < 178; x++) {
            bool on = text[y * 178 + x] != 0;
            lit += on;
            if (y < 10) {
                for (int dy = 0; dy < 2; dy++)
                    for (int dx = 0; dx < 2; dx++) {
                        int cx = 80 + 2 * x + dx, cy = 326 + 2 * y + dy;
                        bad += at(c, cx, cy) != (on ? grey(dy ? 0x80 : 0xD0) : at(t, cx, cy));
                    }
            } else {
                bad += at(c, 80 + x, 344 + y) != (on ? grey(0x90) : at(t, 80 + x, 344 + y));
            }
        }
    EXPECT_EQ(bad, 0);
    EXPECT_EQ(lit > 0, std::count(text.begin(), text.end(), 0) != (long)text.size());
}

TEST_F(Card, TitleVersionAndAuthorArePrintedOnTheCard) {
    std::string long_version(200, 'v'), long_author(800, 'a');
    // Huge inverted glyphs over one cell, a million times: printed only as far
    // as a label's work goes, which shows the same as once.
    const std::string huge = "\x06i\x06w\x06t\x06xz\x06yz";
    std::string hostile = huge;
    for (int i = 0; i < 1000000; i++) hostile += "A\r";
    struct Case {
        std::string info, title, subtitle;
    } cases[] = {
        {"{title=\"Moon Base\",version=\"1.2\",author=\"kit\"}", "Moon Base", "1.2 by kit"},
        // Keys are written in byte order: the first comes right after the brace.
        {"{author=\"kit\",title=\"Moon\"}", "Moon", "by kit"},
        {"{author=\"only me\"}", "", "by only me"},
        {"{version=\"v2\"}", "", "v2"},
        {"{notes=\"x\",title=\"say \\\"hi\\\"\"}", "say \\\"hi\\\"", ""},  // as written, not unescaped
        {"{subtitle=\"no\",xtitle=\"no\",title=\"\"}", "", ""},             // whole keys; empty is absent
        {"{version=\"" + long_version + "\",author=\"kit\"}", "", "by kit"},
        {"{version=\"1\",author=\"" + long_author + "\"}", "", "1"},
        {"{title=\"" + hostile + "\"}", huge + "A\r", ""},
    };
    std::string templ = pixels(ORVANTA_SOURCE_DIR "/rom/misc/q64_cart.png");
    write_vfs_file("/ram/c/main.lua", "x");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.info.substr(0, 60));
        write_vfs_file("/ram/c/.info.orb", c.info);
        std::string card = pixels(card_of("/ram/c"));
        std::vector<uint8_t> want = printed(c.title, c.subtitle);
        expect_bands(card, templ, want);
    }
    // As store writes it: after a header, LZ4-compressed, here with a repeated
    // word that the compression turns into a back reference.
    Process* p = get_process(4);
    ASSERT_EQ(luaL_dostring(p->L, "return {title='Moon Base',version='1.0',author='Moon Base Team'}"), LUA_OK);
    Buf stored = buf();
    orb_store_text(p->L, -1, "--[[orb_kind=\"info\"]]\n", stored.get());
    lua_pop(p->L, 1);
    std::string info((char*)stored->bytes, (size_t)stored->length);
    ASSERT_NE(info.find("lz4"), std::string::npos);
    write_vfs_file("/ram/c/.info.orb", info);
    expect_bands(pixels(card_of("/ram/c")), templ, printed("Moon Base", "1.0 by Moon Base Team"));
    // Codes in one card's text that poke the printer's memory (here its font
    // registers) don't change how the next card's text prints.
    write_vfs_file("/ram/c/.info.orb", std::string("{title=\"x\6!5f56\1\1\"}"));
    card_of("/ram/c");
    write_vfs_file("/ram/c/.info.orb", "{title=\"Moon\"}");
    expect_bands(pixels(card_of("/ram/c")), templ, printed("Moon", ""));
    // Without an .info.orb nothing is printed, even after a card that had one.
    delete_path("/ram/c/.info.orb");
    expect_bands(pixels(card_of("/ram/c")), templ, std::vector<uint8_t>(178 * 20, 0));
}

TEST_F(Card, WithoutTheTemplateTheCardIsPlain) {
    delete_path(CARD_TEMPLATE_PATH);
    write_vfs_file("/ram/c/main.lua", "x");
    std::string card = high_bits(pixels(card_of("/ram/c")));
    ASSERT_EQ(card.size(), CARD_BYTES);
    std::string plain;
    for (int i = 0; i < 512 * 384; i++) plain += std::string("\x20\x20\x20\xFC", 4);
    EXPECT_TRUE(card == plain);
}

TEST_F(Card, HiddenBitsFillEachPixelLowestFirst) {
    // 1,0,1 / 1,1,0 / 0,0,0 / 1,1 are the bytes 0x1D, 0x06 read from bit 0 up.
    std::vector<uint8_t> card(512 * 384 * 4, 255);
    const uint8_t rom[2] = {0x1D, 0x06};
    hide_rom_in_card(card.data(), rom, 2);
    EXPECT_EQ(std::vector<uint8_t>(card.begin(), card.begin() + 8),
              (std::vector<uint8_t>{253, 251, 248, 255, 248, 248, 248, 252}));
}

TEST_F(Card, RomSizeLimit) {
    // A file of random bytes sized so that the ROM image is exactly at the limit.
    int64_t n = CARD_MAX_ROM - 1100;
    std::string rom;
    for (int tries = 0; tries < 20; tries++) {
        write_vfs_file("/ram/c/blob.bin", random_bytes((size_t)n, 7));
        rom = rom_of("/ram/c");
        if ((int64_t)rom.size() == CARD_MAX_ROM) break;
        n += CARD_MAX_ROM - (int64_t)rom.size();
    }
    ASSERT_EQ((int64_t)rom.size(), CARD_MAX_ROM);
    int rc = 1;
    std::string path = card_of("/ram/c", &rc);
    EXPECT_EQ(rc, 0);
    ASSERT_FALSE(path.empty());
    EXPECT_TRUE(decode_image("card", path).raw.substr(0, rom.size()) == rom);
    EXPECT_TRUE(notifications().empty());

    write_vfs_file("/ram/c/blob.bin", random_bytes((size_t)n + 1, 7));
    ASSERT_EQ((int64_t)rom_of("/ram/c").size(), CARD_MAX_ROM + 1);
    EXPECT_EQ(card_of("/ram/c", &rc), "");
    EXPECT_EQ(rc, 1);
    EXPECT_EQ(notifications(), std::vector<std::string>{"failed to store cartridge rom as png (too large)"});
}

TEST_F(Card, WriteBackOfACardThatGrewTooLargeKeepsTheFile) {
    std::string host = desktop_folder() + "/game.q64.png";
    ASSERT_EQ(pmkdir("/desktop/host/game.q64.png"), 0);  // a new cartridge
    write_vfs_file("/desktop/host/game.q64.png/main.lua", "print('card')");
    flush_dirty_mounts_immediately();
    Decoded d = decode_image("card", host);
    EXPECT_EQ(d.facts["entries"], "main.lua");
    std::string before = read_host_file(host);

    testing::internal::CaptureStdout();
    write_vfs_file("/desktop/host/game.q64.png/big.bin", random_bytes(300000, 9));
    flush_dirty_mounts_immediately();
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(notifications(), std::vector<std::string>{"failed to store cartridge rom as png (too large)"});
    EXPECT_TRUE(read_host_file(host) == before);
}

TEST(PngBuffers, DecodeAndEncode) {
    unsigned char* px = (unsigned char*)1;
    unsigned w = 9, h = 9;
    EXPECT_EQ(LodePNG_decode32_pbuffer(&px, &w, &h, nullptr), 100u);
    EXPECT_EQ(px, nullptr);

    Buf junk(create_buffer_from_str("not a png at all"), destroy_buffer);
    EXPECT_NE(LodePNG_decode32_pbuffer(&px, &w, &h, junk.get()), 0u);
    EXPECT_EQ(px, nullptr);

    // Encoded PNGs are written at the cursor; decoding reads the whole buffer.
    std::vector<uint8_t> img = picture(3, 2, 4);
    Buf b(create_buffer_from_str("abc"), destroy_buffer);
    b->cursor = 0;
    ASSERT_EQ(LodePNG_encode32_pbuffer(img.data(), 3, 2, b.get()), 0u);
    EXPECT_EQ(std::string((char*)b->bytes + 1, 3), "PNG");
    b->cursor = 5;
    ASSERT_EQ(LodePNG_decode32_pbuffer(&px, &w, &h, b.get()), 0u);
    EXPECT_EQ(b->cursor, 0);
    EXPECT_EQ(w, 3u);
    EXPECT_EQ(h, 2u);
    EXPECT_EQ(std::vector<uint8_t>(px, px + 24), img);
    free(px);

    // Other colour types and depths: 16-bit RGB.
    ASSERT_EQ(LodePNG_decode_pbuffer(&px, &w, &h, b.get(), LCT_RGB, 16), 0u);
    EXPECT_EQ(px[6], img[4]);
    EXPECT_EQ(px[7], img[4]);
    free(px);

    // A header promising more pixels than may be decoded is refused before decoding.
    std::string big((char*)b->bytes, (size_t)b->length);
    const unsigned char wh[8] = {0, 0, 0x40, 0, 0, 0, 0x40, 0};  // 16384 x 16384
    memcpy(&big[16], wh, 8);
    lodepng_chunk_generate_crc((unsigned char*)&big[8]);
    Buf bb = buf();
    bappend_bytes(bb.get(), big.data(), (int64_t)big.size());
    EXPECT_EQ(LodePNG_decode32_pbuffer(&px, &w, &h, bb.get()), PNG_ERROR_TOO_LARGE);
    EXPECT_EQ(px, nullptr);
}

// A 1 x 1 picture whose compressed data inflates to mb megabytes of zeros: one
// deflate block of a megabyte of zeros, repeated.
std::string png_bomb(int mb) {
    std::string block(1037, '\0');
    const unsigned char head[15] = {0xec, 0xc1, 0x31, 0x01, 0, 0, 0, 0xc2, 0xa0, 0xf5, 0x4f, 0x6d, 0x08, 0x5f, 0xa0};
    memcpy(&block[0], head, sizeof head);
    memcpy(&block[1031], "\x3e\x03\x00\x00\xff\xff", 6);
    std::string z = "\x78\x01";
    for (int i = 0; i < mb; i++) z += block;
    uint32_t adler = (uint32_t)(((uint64_t)mb << 20) % 65521) << 16 | 1;
    z += std::string("\x03\x00", 2) + std::string({(char)(adler >> 24), (char)(adler >> 16), (char)(adler >> 8), (char)adler});
    auto chunk = [](const char* type, const std::string& data) {
        std::string c(4, '\0');
        for (int i = 0; i < 4; i++) c[i] = (char)(data.size() >> (24 - 8 * i));
        c += type + data + "0000";
        lodepng_chunk_generate_crc((unsigned char*)c.data());
        return c;
    };
    const char ihdr[13] = {0, 0, 0, 1, 0, 0, 0, 1, 8, 6, 0, 0, 0};
    return "\x89PNG\r\n\x1a\n" + chunk("IHDR", std::string(ihdr, 13)) + chunk("IDAT", z) + chunk("IEND", "");
}

TEST(PngBuffers, CompressedDataIsInflatedOnlyAsFarAsThePicture) {
    std::string bomb = png_bomb(1200);
    Buf b = buf();
    bappend_bytes(b.get(), bomb.data(), (int64_t)bomb.size());
    rusage before, after;
    getrusage(RUSAGE_SELF, &before);
    unsigned char* px = (unsigned char*)1;
    unsigned w = 9, h = 9;
    EXPECT_NE(LodePNG_decode32_pbuffer(&px, &w, &h, b.get()), 0u);
    EXPECT_EQ(px, nullptr);
    getrusage(RUSAGE_SELF, &after);
    EXPECT_LT(after.ru_maxrss - before.ru_maxrss, 256 << 10) << "kB more at the peak";

    // Interlaced pictures of every shape still decode whole.
    for (unsigned dims : {0x0101u, 0x0305u, 0x0911u, 0x2102u}) {
        for (LodePNGColorType type : {LCT_RGBA, LCT_GREY, LCT_RGB}) {
            unsigned iw = dims >> 8, ih = dims & 255, depth = type == LCT_GREY ? 1 : type == LCT_RGB ? 16 : 8;
            SCOPED_TRACE(std::to_string(iw) + "x" + std::to_string(ih) + " type " + std::to_string(type));
            LodePNGColorMode mode = lodepng_color_mode_make(type, depth);
            std::vector<uint8_t> raw(lodepng_get_raw_size(iw, ih, &mode));
            for (size_t i = 0; i < raw.size(); i++) raw[i] = (uint8_t)(i * 29 + 3);
            LodePNGState st;
            lodepng_state_init(&st);
            st.info_raw.colortype = st.info_png.color.colortype = type;
            st.info_raw.bitdepth = st.info_png.color.bitdepth = depth;
            st.info_png.interlace_method = 1;
            st.encoder.auto_convert = 0;
            unsigned char* png = nullptr;
            size_t n = 0;
            ASSERT_EQ(lodepng_encode(&png, &n, raw.data(), iw, ih, &st), 0u);
            EXPECT_EQ(png[28], 1) << "interlaced";
            lodepng_state_cleanup(&st);
            unsigned char* want = nullptr;
            ASSERT_EQ(lodepng_decode32(&want, &w, &h, png, n), 0u);
            Buf pb = buf();
            bappend_bytes(pb.get(), png, (int64_t)n);
            ASSERT_EQ(LodePNG_decode32_pbuffer(&px, &w, &h, pb.get()), 0u);
            EXPECT_EQ(memcmp(px, want, (size_t)iw * ih * 4), 0);
            free(px);
            free(want);
            free(png);
        }
    }
}

}  // namespace
