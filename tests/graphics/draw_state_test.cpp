// Draw state, colour tables, palettes and the pixel blends.
#include <random>
#include <set>

#include "kernel/api.h"

#include "gfx_fixture.h"
#include "graphics/graphics.h"

using DrawState = GfxTest;

TEST_F(DrawState, PalInstallsDefaultTablesOnce) {
    EXPECT_EQ(charge("pal"), 4 * 8 + 1 + 1);
    EXPECT_EQ(charge("pal"), 2);
    EXPECT_EQ(charge("pal, 0"), 0);
    EXPECT_EQ(peek_proc(p, 0x8000 + 5), 5);            // table 0 row 0: the destination
    EXPECT_EQ(peek_proc(p, 0x8000 + 64 * 9 + 5), 0xC9);  // other rows: the colour
    EXPECT_EQ(peek_proc(p, 0xB000 + 64 * 9 + 5), 0xC5);
    EXPECT_EQ(peek_proc(p, 0x5480 + 7), 7);
    EXPECT_EQ(peek4_proc(p, 0x5000 + 4 * (64 + 8)), 0xFF004D);
    // A changed table is restored by the next pal(), and only that one.
    EXPECT_EQ(lua("pal(3, 8) return peek(0x8000 + 64 * 3)"), "200");
    EXPECT_EQ(charge("pal, 0"), 8);
    EXPECT_EQ(peek_proc(p, 0x8000 + 64 * 3), 0xC3);
    EXPECT_EQ(charge("pal, {[1] = 2, [2] = 3, x = 4}"), 6);
    EXPECT_EQ(lua("poke(0x5400, 9) pal() return peek(0x5400), peek(0x5480 + 1)"), "0, 1");
}

TEST_F(DrawState, PaletteForms) {
    screen(16, 8);
    EXPECT_EQ(lua("pal(3, 8) pset(0, 0, 3) return pget(0, 0)"), "8");
    // A transparent row shows the destination where destination bits take part.
    EXPECT_EQ(lua("poke(0x550B, 0x3f) palt(3, true) pset(1, 0, 9) pset(1, 0, 3) return pget(1, 0)"), "9");
    EXPECT_EQ(lua("palt(3, false) pset(1, 0, 3) poke(0x550B, 0) return pget(1, 0)"), "3");
    EXPECT_EQ(lua("pal(3, 12, 1) pal(7, 0x123456, 2) return peek(0x5483), peek4(0x501C)"), "12, 1193046");
    EXPECT_EQ(lua("pal(67, 9) return peek(0x9000 + 64 * 3)"), "201");  // c0 >= 64 picks table 1
    EXPECT_EQ(lua("pal(1, 2, 64) return peek(0x9000 + 64)"), "194");
    EXPECT_EQ(lua("pal({[4] = 5}, 1) return peek(0x5484)"), "5");
    // palt(): only colour 0 of table 0 shows the destination.
    EXPECT_EQ(lua("palt() return peek(0x8000 + 7), peek(0x8000 + 64 + 7), peek(0x8000 + 64 * 3 + 7)"), "7, 193, 195");
    EXPECT_EQ(lua("palt(0x6) return peek(0x8000 + 7), peek(0x8000 + 64 + 7), peek(0x8000 + 64 * 2 + 7)"),
              "192, 7, 7");
    // Transparency is written without the change mark, so pal() keeps it.
    p->mem.flag[8] = 0;
    EXPECT_EQ(lua("palt(5, true) pal() return peek(0x8000 + 64 * 5 + 9)"), "9");
}

TEST_F(DrawState, ColourWordAndPatterns) {
    screen(16, 8);
    EXPECT_EQ(lua("color() return peek2(0x550C)"), "6");
    EXPECT_EQ(lua("color(0x1234) return peek(0x550C), peek(0x550D)"), "52, 18");
    EXPECT_EQ(lua("fillp(0x8000) return peek(0x5500, 8)"), "17, 0, 0, 0, 17, 0, 0, 0");
    EXPECT_EQ(lua("fillp(0x1234) return peek(0x5500, 4)"), "136, 68, 204, 34");
    EXPECT_EQ(lua("fillp(0x80, 1, 2, 3, 4, 5, 6, 0xff) return peek(0x5500, 8)"), "1, 128, 64, 192, 32, 160, 96, 255");
    EXPECT_EQ(lua("fillp() pset(0, 0, 0x1A5A50007) return peek(0x550C), peek(0x5500, 4)"), "7, 85, 170, 85, 170");
    EXPECT_FALSE(p->draw.inverted_fill);
    EXPECT_EQ(lua("pset(0, 0, 0x800000007)"), "");
    EXPECT_TRUE(p->draw.inverted_fill);
    EXPECT_EQ(lua("cursor(3, 4, 0x0512) return peek4(0x54F0), peek4(0x54F4), peek2(0x550C)"), "3, 4, 1298");
    EXPECT_EQ(lua("camera(5, 6) return camera()"), "5, 6");
    EXPECT_EQ(lua("return camera(1e300, -1e300)"), "0, 0");
    EXPECT_EQ(lua("return camera()"), "2147483647, -2147483648");
    // The pattern colour draws where the pattern bit is set.
    EXPECT_EQ(lua("cls() fillp(0x5a5a) rectfill(0, 0, 7, 1, 0x0c07) fillp()"), "");
    EXPECT_EQ(rows(0, 0, 7, 1), "7c7c7c7c/c7c7c7c7");
}

TEST_F(DrawState, ClipReturnsAndSaturates) {
    screen(100, 50);
    EXPECT_EQ(lua("clip() return clip(10, 10, 20, 20)"), "0, 0, 100, 50, false");
    EXPECT_EQ(lua("return clip(-50, -50, 10, 10)"), "10, 10, 20, 20, true");
    EXPECT_EQ(lua("return peek2(0x552C)"), "-40");
    EXPECT_EQ(lua("clip(10, 10, 20, 20) return clip(5, 15, 100, 100, true)"), "10, 10, 20, 20, false");
    EXPECT_EQ(lua("return peek2(0x5528, 4)"), "10, 15, 30, 30");
    EXPECT_EQ(lua("return clip(0, 0, 100, 100, true)"), "10, 15, 20, 15, false");
    // After a new target the first clip() reports that target's rectangle.
    EXPECT_EQ(lua("_set_draw_target(userdata('u8', 30, 40)) return clip()"), "0, 0, 30, 40, false");
    // Wide targets: the clip word saturates instead of wrapping.
    EXPECT_EQ(lua("_set_draw_target(userdata('u8', 40000, 2)) return peek2(0x552C), clip(0, 0, 1e12, 5)"),
              "32767, 0, 0, 32767, 2, false");
    // Poking the clip word is picked up by the next drawing call.
    EXPECT_EQ(lua("_set_draw_target(S) cls() poke2(0x5528, 2, 2, 4, 4) rectfill(0, 0, 99, 49, 7) "
                  "return pget(1, 1), pget(2, 2), pget(3, 3), pget(4, 4)"),
              "0, 7, 7, 0");
    // A target mutated to another size gets its clip re-derived at the new size.
    EXPECT_EQ(lua("local t = userdata('u8', 20, 20) _set_draw_target(t) t:mutate('u8', 10, 5) "
                  "rectfill(-5, -5, 50, 50, 7) return t:width(), t:height(), clip()"),
              "10, 5, 0, 0, 10, 5, false");
}

TEST_F(DrawState, NothingWithoutTarget) {
    ASSERT_EQ(lua("poke(0x5508, 0x3f, 0x3f, 0x3f, 0) pal() poke(0x5500, 1, 2, 3, 4, 5, 6, 7, 8) color(5)"), "");
    uint8_t before[4096];
    memcpy(before, mem_low_page(p, 5), 4096);
    EXPECT_EQ(lua("cls(3) fillp(0xffff) pset(1, 1, 9) rectfill(0, 0, 9, 9, 0x800000009) rect(0, 0, 9, 9, 9) "
                  "oval(0, 0, 9, 9, 9) ovalfill(0, 0, 9, 9, 9) circ(5, 5, 3, 9) circfill(5, 5, 3, 9) line() "
                  "line(1, 1, 5, 5, 9) return _blit_process_video(1), clip(1, 1, 2, 2)"),
              "nil");
    EXPECT_EQ(memcmp(before, mem_low_page(p, 5), 4096), 0);
    EXPECT_FALSE(p->draw.inverted_fill);
    EXPECT_EQ(lua("return pget(3, 3)"), "0");
    EXPECT_EQ(lua("return pget(3)"), "");
}

// Pixel blends as the description gives them, with random tables and masks.
TEST_F(DrawState, BlendsFollowTheTables) {
    screen(64, 8);
    std::mt19937 rng(3);
    uint8_t* tabs[4];
    for (int t = 0; t < 4; t++) {
        tabs[t] = mem_low_page(p, 8 + t);
        for (int i = 0; i < 4096; i++) tabs[t][i] = (uint8_t)rng();
    }
    for (int round = 0; round < 200; round++) {
        uint8_t rm = (uint8_t)rng(), wm = (uint8_t)rng(), tm = (uint8_t)rng(), pat[8];
        for (auto& b : pat) b = (uint8_t)rng();
        uint16_t c = (uint16_t)rng();
        uint8_t* ds = mem_low_page(p, 5);
        ds[0x508] = rm;
        ds[0x509] = wm;
        ds[0x50A] = tm;
        ds[0x50B] = tm;
        memcpy(ds + 0x500, pat, 8);
        for (bool sprite : {false, true}) {
            Gfx g;
            ASSERT_TRUE(gfx_begin(g, p, sprite));
            int x = rng() % 64, y = rng() % 8;
            uint8_t d = (uint8_t)rng(), src = (uint8_t)rng();
            g.pix[y * 64 + x] = d;
            int pb = (pat[y & 7] >> (x & 7)) & 1;
            uint8_t s = sprite ? (uint8_t)(src & rm) : (uint8_t)((pb ? c >> 8 : c) & rm);
            int t = sprite ? (pb << 1) | ((s | (d & tm)) >> 6) : (s | (d & tm)) >> 6;
            uint8_t e = tabs[t][(s & 63) * 64 + (d & tm & 63)];
            if (sprite) gfx_sprite_at(g, x, y, src);
            else gfx_shape_at(g, x, y, c);
            ASSERT_EQ(g.pix[y * 64 + x], (uint8_t)((e & wm) | (d & ~wm))) << round;
        }
    }
}

// The shape blend of one pixel as described, for checking the drawing code's
// faster ways of doing it.
static uint8_t model_shape(const Gfx& g, int x, int y, uint32_t c, uint8_t d) {
    int pb = (g.pat[y & 7] >> (x & 7)) & 1;
    uint8_t s = (uint8_t)((pb ? c >> 8 : c) & g.rm), dm = d & g.tm;
    uint8_t e = g.tab[(s | dm) >> 6][(s & 63) * 64 + (dm & 63)];
    return (uint8_t)((e & g.wm) | (d & ~g.wm));
}

// Spans work out a colour's pixels once (two values and eight-pixel words with
// no target mask, a fixed table row without table bits in it) and write many
// pixels at a time: the same bytes as blending each pixel.
TEST_F(DrawState, SpansEqualPixelBlends) {
    std::mt19937 rng(11);
    for (int t = 0; t < 4; t++) {
        uint8_t* tab = mem_low_page(p, 8 + t);
        for (int i = 0; i < 4096; i++) tab[i] = (uint8_t)rng();
    }
    for (int round = 0; round < 3000; round++) {
        int w = 8 + rng() % 90;
        ASSERT_EQ(lua("T = userdata('u8', " + std::to_string(w) + ", 4) _set_draw_target(T)"), "");
        uint8_t* ds = mem_low_page(p, 5);
        ds[0x508] = rng() % 2 ? 0x3F : (uint8_t)rng();
        ds[0x509] = rng() % 3 ? (rng() % 2 ? 0xFF : 0x3F) : (uint8_t)rng();
        const uint8_t tms[] = {0, 0, 0x3F, 0x0F, (uint8_t)rng()};
        ds[0x50B] = tms[rng() % 5];
        for (int i = 0; i < 8; i++) ds[0x500 + i] = rng() % 3 ? (rng() % 2 ? 0 : 0xFF) : (uint8_t)rng();
        Gfx g;
        ASSERT_TRUE(gfx_begin(g, p, false));
        for (int i = 0; i < w * 4; i++) g.pix[i] = (uint8_t)rng();
        std::vector<uint8_t> expect(g.pix, g.pix + w * 4);
        uint16_t c = (uint16_t)rng();
        int64_t x0 = (int)(rng() % (w + 20)) - 10, x1 = x0 + (int)(rng() % (w + 10)), y0 = rng() % 4, y1 = rng() % 4;
        int64_t cost = round % 2 ? gfx_hline(g, x0, x1, y0, c) : gfx_rectfill(g, x1, y0, x0, y1, c);
        if (round % 2) y1 = y0;
        int64_t xs = std::max<int64_t>(x0, 0), xe = std::min<int64_t>(x1, w - 1);
        for (int64_t y = std::min(y0, y1); y <= std::max(y0, y1); y++)
            for (int64_t x = xs; x <= xe; x++) expect[y * w + x] = model_shape(g, (int)x, (int)y, c, expect[y * w + x]);
        ASSERT_EQ(std::vector<uint8_t>(g.pix, g.pix + w * 4), expect) << "round " << round;
        int64_t rows = std::abs(y1 - y0) + 1;
        int64_t want = xs > xe ? 0 : ds[0x50B] ? xe - xs + 1 : (w % 8 || xe - xs + 1 < 16) ? (xe - xs) / 4 + 2 : (xe - xs) / 8 + 3;
        ASSERT_EQ(cost, want * rows);
        // Single pixels too.
        int px = rng() % w, py = rng() % 4;
        uint8_t before = g.pix[py * w + px];
        gfx_shape_at(g, px, py, c);
        ASSERT_EQ(g.pix[py * w + px], model_shape(g, px, py, c, before));
    }
}

TEST_F(DrawState, U8ArraysStoreAsPngThroughThePalette) {
    EXPECT_EQ(lua("pal() pal(9, 0x123456, 2) local a = userdata('u8', 4, 1) a:set(0, 0, 0, 8, 72, 9) "
                  "store('/ram/u.png', a) return fetch('/ram/u.png'):get(0, 0, 4)"),
              "0, 16711757, 16711757, 1193046");
}

TEST(Bitmaps, EightToThirtyTwoBitsThroughThePalette) {
    init_default_coltabs();
    uint8_t px[3] = {0, 8, 64 + 8};
    uint8_t out[12];
    convert_bitmap_8_to_32(px, out, 3);  // no process: the built-in colours
    EXPECT_EQ(std::vector<uint8_t>(out, out + 12),
              (std::vector<uint8_t>{0, 0, 0, 255, 0xFF, 0x00, 0x4D, 255, 0xFF, 0x00, 0x4D, 255}));
}

TEST(GraphicsApi, EveryGlobalIsRegistered) {
    int n = 0;
    const ApiEntry* reg = api_registered(&n);
    std::set<std::string> names;
    for (int i = 0; i < n; i++) names.insert(reg[i].name);
    for (const char* g : {"cls", "fillp", "pset", "pget", "camera", "clip", "rectfill", "rect", "ovalfill", "circfill",
                          "oval", "circ", "line", "cursor", "color", "pal", "palt", "_set_draw_target",
                          "_blit_process_video", "_map_ram", "_unmap_ram", "peek", "poke", "peek2", "poke2", "peek4",
                          "poke4", "peek8", "poke8", "_ppeek", "_ppeek4", "memcpy", "memset"})
        EXPECT_TRUE(names.count(g)) << g;
}
