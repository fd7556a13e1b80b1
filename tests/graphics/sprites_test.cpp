// Sprites, blit, maps and textured lines: the described cases, charges,
// references that keep arrays alive, hostile sizes, and the textured line's
// fast path against its general path. Pixel-exact agreement with an
// independent model over random cases is sprites_oracle_test.py.
#include <random>

#include "gfx_fixture.h"
#include "graphics/sprites.h"

class Sprites : public GfxTest {
protected:
    // A 4 x 4 sprite in slot n whose pixel (x, y) is 1 + x + 4 y.
    void sprite4(int n) {
        ASSERT_EQ(lua("local s = userdata('u8', 4, 4) for i = 0, 15 do s[i] = i + 1 end _set_spr(" +
                      std::to_string(n) + ", s)"),
                  "");
    }
    // The count of non-zero pixels of the target.
    std::string lit() { return lua("local n = 0 for i = 0, #S - 1 do if S[i] ~= 0 then n += 1 end end return n"); }
};

TEST_F(Sprites, SlotsAndTheEmptySprite) {
    screen(64, 32);
    // The empty sprite: 16 x 16 of colour 0, which the default tables leave transparent.
    EXPECT_EQ(lua("cls(3) _set_spr(5)"), "");
    EXPECT_EQ(charge("spr, 5, 0, 0"), 256 / 3);
    EXPECT_EQ(lua("return pget(0, 0), pget(15, 15)"), "3, 3");
    // Slot numbers wrap at 8192 when set; numbers from 8192 up name empty slots.
    sprite4(8197);
    EXPECT_EQ(charge("spr, 5, 0, 0"), 16 / 3);
    EXPECT_EQ(lua("return pget(0, 0), pget(3, 3)"), "1, 16");
    EXPECT_EQ(lua("cls() spr(8197, 0, 0) spr(9000, 0, 0) spr(-1, 0, 0) spr(16384, 0, 0)"), "");
    EXPECT_EQ(lit(), "0");
    // Only u8 arrays are registered; the slot keeps what it had.
    EXPECT_EQ(lua("_set_spr(5, userdata('i16', 4, 4)) _set_spr(5, userdata('f64', 2, 2)) spr(5, 0, 0) "
                  "return pget(1, 0)"),
              "2");
    // A registered sprite lives while it is registered, with no other reference.
    EXPECT_EQ(lua("collectgarbage() collectgarbage() cls() spr(5, 10, 10) return pget(13, 13)"), "16");
    EXPECT_EQ(lua("_set_spr(5) collectgarbage() cls() spr(5, 10, 10) return pget(13, 13)"), "0");
    // Only u8 arrays become draw targets.
    EXPECT_EQ(lua("_set_draw_target(userdata('i16', 8, 8)) _set_draw_target(42) pset(63, 31, 9) return S[#S - 1]"),
              "9");
}

TEST_F(Sprites, FlipsClipAndCamera) {
    screen(16, 8);
    sprite4(1);
    // Flips as booleans: a number, even 0, flips.
    EXPECT_EQ(lua("cls() spr(1, 0, 0, true) spr(1, 4, 0, 0, true) spr(1, 8, 0, nil, 1) spr(1, 12, 0, false, false)"),
              "");
    EXPECT_EQ(rows(0, 0, 15, 3), "4321gfeddefg1234/8765cba99abc5678/cba9876556789abc/gfed43211234defg");
    // Clipped at the target's edges and by the clip; the camera moves the sprite.
    EXPECT_EQ(lua("cls() spr(1, -2, -2) spr(1, 14, 6) clip(8, 0, 4, 8) camera(-9, 0) spr(1, 0, 0) clip() camera()"), "");
    EXPECT_EQ(rows(0, 0, 15, 7), "bc00000001230000/fg00000005670000/0000000009ab0000/000000000def0000/"
                                 "0000000000000000/0000000000000000/0000000000000012/0000000000000056");
}

TEST_F(Sprites, SpriteBatches) {
    screen(32, 8);
    sprite4(1);
    // (n, x, y, flip x, flip y): a flip of -1 flips, 1 does not; no camera.
    EXPECT_EQ(lua("camera(100, 100) spr(userdata('f64', 5, 2, '1,0,0,-1,0,1,4,0,1,-0.5')) camera()"), "");
    EXPECT_EQ(rows(0, 0, 7, 1), "4321defg/87659abc");
    // Short items: (n, x) draws at y = 0, (n) at 0, 0; no values at all: slot 0.
    EXPECT_EQ(lua("cls() spr(userdata('f64', 2, 1, '1,10'))  spr(userdata('f64', 1, 1, '1'), 0, 1, 1, 1)"), "");
    EXPECT_EQ(lua("return pget(10, 0), pget(0, 0)"), "1, 1");
    EXPECT_EQ(lua("cls() _set_spr(0, userdata('u8', 1, 1, '07')) spr(userdata('f64', 3, 2), 0, 2, 0, 3)"), "");
    EXPECT_EQ(lit(), "1");
    // Skipped items still count: 3 per item, then pixels / 3.
    EXPECT_EQ(charge("spr, userdata('f64', 3, 3, '1,0,0,9000,0,0,7,0,0')"), 3 * 3 + 16 / 3);
}

// Sprite and textured-line batches are charged item by item and stopped soon
// after they are far over budget; a batch of 10,000 sprites costing a few
// frames draws every item.
TEST_F(Sprites, BatchesFarOverBudgetAreStopped) {
    screen(1024, 1024);
    ASSERT_EQ(lua("_set_spr(2, userdata('u8', 128, 128)) _set_spr(3, userdata('u8', 64, 64))"), "");
    expect_stopped_soon({
        {"spr, userdata('f64', 3, 1, '2,0,0'), 0, 262144, 3, 0", 3 + 128 * 128 / 3 + 1},
        {"tline3d, userdata('f64', 5, 1, '3,0,5,1023,5'), 0, 262144, 5, 0", 1024},
    });
    // 10,000 sprites of 16 x 16 in rows of 64: every one drawn, charged 3 each and its pixels / 3.
    ASSERT_EQ(lua("cls() local s = userdata('u8', 16, 16) s:add(1, true) _set_spr(1, s) "
                  "B = userdata('f64', 3, 10000) for i = 0, 9999 do B:set(0, i, 1, i % 64 * 16, i // 64 * 6) end"),
              "");
    int64_t charged = 0;
    EXPECT_EQ(stopped_or_done("spr, B", &charged), "done");
    EXPECT_EQ(charged, 3 * 10000 + 10000 * 256 / 3);
    // The last item's corner, the last of a full row, and beside the last item.
    EXPECT_EQ(lua("return pget(15 * 16 + 15, 156 * 6 + 15), pget(1023, 155 * 6), pget(16 * 16, 156 * 6 + 15)"),
              "1, 1, 0");
}

TEST_F(Sprites, StretchedSprites) {
    screen(40, 8);
    sprite4(1);
    // Twice the size; a negative width mirrors into dx - 16 .. dx - 1.
    EXPECT_EQ(lua("sspr(1, 0, 0, 4, 4, 0, 0, 8, 8)"), "");
    EXPECT_EQ(rows(0, 0, 7, 1), "11223344/11223344");
    EXPECT_EQ(lua("cls() sspr(1, 0, 0, 4, 1, 32, 0, -16, 1)"), "");
    EXPECT_EQ(rows(15, 0, 32, 0), "044443333222211110");
    // Source and size defaults: the whole sprite; a part of it shrunk.
    EXPECT_EQ(lua("cls() sspr(1, 0, 0, nil, nil, 0, 0) sspr(1, 1, 1, 2, 2, 10, 0, 1, 1)"), "");
    EXPECT_EQ(rows(0, 0, 10, 3), "1234000000b/56780000000/9abc0000000/defg0000000");
    // A source running off the sprite cuts the destination with it: the image is
    // not shifted. Left of the sprite, then right of it, plain and mirrored.
    EXPECT_EQ(lua("cls() sspr(1, -2, 0, 4, 1, 0, 0, 8, 1) sspr(1, 2, 1, 4, 1, 0, 1, 8, 1)"), "");
    EXPECT_EQ(rows(0, 0, 7, 1), "00001122/77880000");
    EXPECT_EQ(lua("cls() sspr(1, -2, 0, 4, 1, 0, 0, 8, 1, true) sspr(1, 2, 1, 4, 1, 0, 1, 8, 1, true)"), "");
    EXPECT_EQ(rows(0, 0, 7, 1), "22110000/00008877");
    // Nothing for empty sources or destinations; huge numbers are safe.
    EXPECT_EQ(lua("cls() sspr(1, 0, 0, 0, 4, 0, 0) sspr(1, 0, 0, 4, 4, 0, 0, 0, 4) sspr(1, 9, 0, 4, 4, 0, 0) "
                  "sspr(1, math.mininteger, 0, math.maxinteger, 4, 0, 0, math.maxinteger, math.mininteger) "
                  "sspr(1, 0, 0, 4, 4, math.mininteger, 0, math.maxinteger, 8)"),
              "");
    // Charge: textured-line pixels / 3 (8 rows of 8 when doubled).
    EXPECT_EQ(charge("sspr, 1, 0, 0, 4, 4, 0, 0, 8, 8"), 64 / 3);
}

TEST_F(Sprites, BlitEveryElementType) {
    // Raw elements of every type, between arrays without a target.
    for (const char* t : {"u8", "i16", "i32", "i64", "f64"}) {
        std::string T = t;
        EXPECT_EQ(lua("local a = userdata('" + T + "', 4, 3) for i = 0, 11 do a[i] = i - 5 end "
                      "local b = userdata('" + T + "', 5, 4) blit(a, b, 0, 0, 2, 1, 3, 2) "
                      "local o = {} for i = 0, 19 do o[#o + 1] = tostring(b[i]) end return table.concat(o, ' ')"),
                  T == "u8"    ? "0 0 0 0 0 0 0 251 252 253 0 0 255 0 1 0 0 0 0 0"
                  : T == "f64" ? "0.0 0.0 0.0 0.0 0.0 0.0 0.0 -5.0 -4.0 -3.0 0.0 0.0 -1.0 0.0 1.0 0.0 0.0 0.0 0.0 0.0"
                               : "0 0 0 0 0 0 0 -5 -4 -3 0 0 -1 0 1 0 0 0 0 0")
            << t;
    }
    // The method form: the array is the source; types must match.
    EXPECT_EQ(lua("local a = userdata('i16', 2, 2, '00010002') local b = userdata('i16', 2, 2) a:blit(b, 0, 0, 0, 0) "
                  "local c = userdata('u8', 2, 2) blit(a, c, 0, 0, 0, 0) return b[1], c[1]"),
              "2, 0");
    // Negative source origin moves the destination; within one array rows move safely.
    EXPECT_EQ(lua("local a = userdata('u8', 4, 4) for i = 0, 15 do a[i] = i end "
                  "a:blit(a, 0, 0, 1, 1, 3, 3) local o = {} for i = 0, 15 do o[#o + 1] = a[i] end "
                  "local b = userdata('u8', 3, 1) blit(a, b, -2, 1, 0, 0) "
                  "return table.concat(o, ','), b[0], b[2]"),
              "0,1,2,3,4,0,1,2,8,4,5,6,12,8,9,10, 0, 4");
    // 64 cycles per 4,096 bytes.
    EXPECT_EQ(charge("blit, userdata('u8', 64, 64), userdata('u8', 64, 64), 0, 0, 0, 0"), 64);
    EXPECT_EQ(charge("blit, userdata('i32', 64, 64), userdata('i32', 64, 64), 0, 0, 0, 0"), 256);
    EXPECT_EQ(charge("blit, userdata('u8', 8, 1), userdata('i16', 8, 1), 0, 0, 0, 0"), 0);
    // Origins and sizes at the ends of the integer range copy nothing.
    EXPECT_EQ(lua("local a, b = userdata('u8', 4, 4), userdata('u8', 4, 4) a[0] = 1 "
                  "blit(a, b, math.mininteger, math.mininteger, 0, 0) blit(a, b, 0, 0, math.mininteger, 0) "
                  "blit(a, b, math.maxinteger, 0, 0, 0, math.maxinteger, math.maxinteger) return b[0]"),
              "0");
}

TEST_F(Sprites, BlitWithTheTarget) {
    screen(8, 4);
    // Into the target: cut to the clip, no camera; out of it when it is the source.
    EXPECT_EQ(lua("local a = userdata('u8', 3, 3) for i = 0, 8 do a[i] = i + 1 end "
                  "camera(50, 50) clip(1, 0, 3, 4) blit(a, nil, 0, 0, 0, 0) clip() camera() "
                  "local b = userdata('u8', 2, 2) blit(nil, b, 1, 1, 0, 0) return b[0], b[1], b[2], b[3]"),
              "5, 6, 8, 9");
    EXPECT_EQ(rows(0, 0, 4, 2), "02300/05600/08900");
    // A target scrolled within itself.
    EXPECT_EQ(lua("blit(nil, nil, 0, 1, 0, 0)"), "");
    EXPECT_EQ(rows(0, 0, 4, 2), "05600/08900/00000");
    // An empty clip ending left of the target, with the far end of the integer range.
    EXPECT_EQ(lua("clip(0, 0, math.mininteger, 4) blit(nil, nil, 0, 0, math.maxinteger, 0, 4, 4) clip()"), "");
    EXPECT_EQ(rows(0, 0, 4, 2), "05600/08900/00000");
}

TEST_F(Sprites, SpriteFlags) {
    EXPECT_EQ(lua("fset(3, 2, true) local a, b = fget(3, 2), fget(3) fset(3) return a, b, fget(3), fget(3, 2)"),
              "true, 4, 0, false");
    EXPECT_EQ(lua("fset(8195, 255) return fget(3), peek(0xC003), fget(3, 7), fget(3, 8), fget(3, 39)"),
              "255, 255, true, false, true");
    EXPECT_EQ(lua("fset(4, 9, true) fset(4, 33, true) return fget(4)"), "2");
}

TEST_F(Sprites, MapCells) {
    EXPECT_EQ(lua("return mget(0, 0)"), "");
    EXPECT_EQ(harness_lines().back(), "mget no map");
    EXPECT_EQ(lua("mset(0, 0, 1)"), "");
    EXPECT_EQ(harness_lines().back(), "mset no map");
    EXPECT_EQ(lua("M = userdata('i16', 4, 3) _map_ram(M, 0x100000) mset(1, 2, -2) mset(3, 0, 0x12345) mset(-1, 0, 9) "
                  "mset(4, 0, 9) return mget(1, 2), mget(3, 0), M[9], mget(-1, 0), mget(0, 3)"),
              "-2, 9029, -2, nil");
}

TEST_F(Sprites, MapDrawing) {
    screen(16, 8);
    sprite4(1);
    ASSERT_EQ(lua("local s = userdata('u8', 4, 4) for i = 0, 15 do s[i] = 0x20 end _set_spr(2, s) "
                  "_set_spr(0, userdata('u8', 4, 4, '" + std::string(32, '1') + "')) "
                  "M = userdata('i16', 4, 2) M[0] = 1 M[1] = 2 M[2] = 0 M[3] = 1 "
                  "fset(2, 1, true) poke(0x550E, 4, 4)"),
              "");
    // Sprite 0 only with bit 3 of 0x5F36; a mask draws cells whose flags match.
    EXPECT_EQ(lua("_draw_map(M)"), "");
    EXPECT_EQ(rows(0, 0, 15, 0), "1234wwww00001234");
    EXPECT_EQ(lua("cls() poke(0x5F36, 8) _draw_map(M) poke(0x5F36, 0)"), "");
    EXPECT_EQ(rows(0, 0, 15, 0), "1234wwwwhhhh1234");
    EXPECT_EQ(rows(0, 4, 15, 4), "hhhhhhhhhhhhhhhh");
    EXPECT_EQ(lua("cls() _draw_map(M, 0, 0, 0, 0, 4, 1, 2)"), "");
    EXPECT_EQ(rows(0, 0, 15, 0), "0000wwww00000000");
    // Window, position and camera; a negative cell origin moves the window on.
    EXPECT_EQ(lua("cls() camera(-1, 0) _draw_map(M, 1, 0, 2, 0, 1, 1) camera()"), "");
    EXPECT_EQ(rows(0, 0, 15, 0), "000wwww000000000");
    EXPECT_EQ(lua("cls() _draw_map(M, -1, 0, 0, 0, 2, 1)"), "");
    EXPECT_EQ(rows(0, 0, 15, 0), "00001234"
                                 "00000000");
    // Charge: 2 per visible cell, then the pixels / 3.
    EXPECT_EQ(charge("_draw_map, M, 0, 0, 0, 0, 2, 1"), 2 * 2 + 32 / 3);
    EXPECT_EQ(charge("_draw_map, M, 0, 0, 100, 0"), 0);
    // Tile sizes: explicit 0 is 256, negative draws nothing; non-i16 maps draw nothing.
    EXPECT_EQ(lua("cls() _draw_map(M, 0, 0, 0, 0, 1, 1, 0, -4, 4) _draw_map(userdata('u8', 4, 2), 0, 0) "
                  "_draw_map(M, 0, 0, 0, 0, 1, 1, 0, 0, 1)"),
              "");
    EXPECT_EQ(rows(0, 0, 15, 0), "9999999999999999");
    EXPECT_EQ(lua("cls() _draw_map(M, 0, 0, 0, 0, 1, 1, 0, 4, -1) return pget(0, 0)"), "0");
    // Cell origins at the ends of the integer range draw nothing.
    EXPECT_EQ(lua("cls() _draw_map(M, math.mininteger, math.mininteger) _draw_map(M, math.maxinteger, 0) "
                  "return pget(0, 0)"),
              "0");
}

TEST_F(Sprites, MapRotateAndFlipBits) {
    screen(8, 8);
    sprite4(1);
    // Cell bits: 0x4000 flip x, 0x8000 flip y; 0x2000 alone mirrors along the
    // diagonal (cell pixel (k, r) shows sprite pixel (r, k)); with a flip it is
    // a quarter turn.
    struct Case {
        int cell;
        const char* want;
    };
    const Case cases[] = {
        {0x0001, "1234/5678/9abc/defg"}, {0x4001, "4321/8765/cba9/gfed"}, {0x8001, "defg/9abc/5678/1234"},
        {0xC001, "gfed/cba9/8765/4321"}, {0x2001, "159d/26ae/37bf/48cg"}, {0x6001, "d951/ea62/fb73/gc84"},
        {0xA001, "48cg/37bf/26ae/159d"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(lua("cls() local m = userdata('i16', 1, 1) m[0] = " + std::to_string((int16_t)c.cell) +
                      " _draw_map(m, 0, 0, 0, 0, 1, 1, 0, 4, 4)"),
                  "");
        EXPECT_EQ(rows(0, 0, 3, 3), c.want) << std::hex << c.cell;
    }
    // Scaled cells: twice the size, then half (texture coordinates as real numbers).
    EXPECT_EQ(lua("cls() local m = userdata('i16', 1, 1) m[0] = 1 _draw_map(m, 0, 0, 0, 0, 1, 1, 0, 8, 8)"), "");
    EXPECT_EQ(rows(0, 0, 7, 1), "11223344/11223344");
    EXPECT_EQ(lua("cls() local m = userdata('i16', 1, 1) m[0] = 1 _draw_map(m, 0, 0, 0, 0, 1, 1, 0, 2, 2)"), "");
    EXPECT_EQ(rows(0, 0, 2, 2), "680/eg0/000");
}

TEST_F(Sprites, TexturedLines) {
    screen(16, 4);
    // A u8 texture with default offset and wrap: u runs along x by default.
    ASSERT_EQ(lua("T = userdata('u8', 4, 2) for i = 0, 7 do T[i] = i + 1 end"), "");
    EXPECT_EQ(lua("tline3d(T, 0, 0, 7, 0, 0, 0) tline3d(T, 0, 1, 8, 1, 0, 1, 2, 1)"), "");
    EXPECT_EQ(rows(0, 0, 8, 1), "123412340/555566667");
    // Wrap and offset from the draw state; flag 0x100 drops the last pixel.
    EXPECT_EQ(lua("cls() poke2(0x5530, 1, 0, 2, 0) tline3d(T, 0, 0, 5, 0, 0, 0, 5, 0, 1, 1, 0x100) "
                  "poke2(0x5530, 0, 0, 0, 0)"),
              "");
    EXPECT_EQ(rows(0, 0, 6, 0), "2323200");
    // w divides u and v; w = 0, NaN and huge values are safe.
    EXPECT_EQ(lua("cls() tline3d(T, 0, 0, 8, 0, 0, 0, 8, 0, 2, 2) tline3d(T, 0, 1, 7, 1, 0, 0, 8, 0, 0, 0) "
                  "tline3d(T, 0, 2, 7, 2, 0/0, 0/0, 1/0, 0, 0/0, 0) tline3d(T, 0, 3, 7, 3, 1e300, -1e300, 0, 0, 1e-300) "
                  "tline3d(T, -1e300, 0/0, 1e300, 1/0, 0, 0)"),
              "");
    EXPECT_EQ(rows(0, 0, 8, 0), "112233441");
    // Sizes that are not powers of two: the masked coordinate modulo the size.
    EXPECT_EQ(lua("cls() tline3d(userdata('u8', 3, 1, '010203'), 0, 0, 6, 0, 0, 0) "
                  "tline3d(userdata('u8', 3, 1, '010203'), 0, 1, 1, 1, -1, 0)"),
              "");
    EXPECT_EQ(rows(0, 0, 7, 1), "12312310/11000000");  // 0xFFFF % 3 = 0
    // An i16 map: each cell's sprite sampled at the fraction within the cell, flipped by its bits.
    sprite4(1);
    EXPECT_EQ(lua("cls() local m = userdata('i16', 2, 1) m[0] = 1 m[1] = 0x4001 tline3d(m, 0, 0, 8, 0, 0, 0, 2, 0)"),
              "");
    EXPECT_EQ(rows(0, 0, 8, 0), "123443211");
    // Cost: pixels, halved on the fast path (read, write and sprite target
    // masks 0x3F, pattern row 0 clear); a batch costs 1 more; empty slots and
    // other sources nothing.
    EXPECT_EQ(charge("tline3d, T, 0, 0, 9, 0, 0, 0"), 5);
    EXPECT_EQ(lua("poke(0x550A, 0)"), "");
    EXPECT_EQ(charge("tline3d, T, 0, 0, 9, 0, 0, 0"), 10);
    EXPECT_EQ(lua("poke(0x550A, 0x3f) poke(0x5500, 0, 1)"), "");
    EXPECT_EQ(charge("tline3d, T, 0, 0, 9, 0, 0, 0"), 5);
    EXPECT_EQ(lua("poke(0x5500, 1)"), "");
    EXPECT_EQ(charge("tline3d, T, 0, 0, 9, 0, 0, 0"), 10);
    EXPECT_EQ(lua("poke(0x5500, 0, 0)"), "");
    EXPECT_EQ(charge("tline3d, userdata('i32', 4, 1), 0, 0, 9, 0, 0, 0"), 0);
    EXPECT_EQ(charge("tline3d, userdata('f64', 7, 2, '1,0,0,3,0,0,0,9,0,0,3,0,0,0')"), 1 + 4 / 2);
}

// The shorter ways (table-0 blends, exact fixed-point and truncating walks,
// wrapping by multiplication) against the reference path: u8 textures and
// maps of power-of-two and other sizes, every pattern row, high destination
// bits, random tables, masks, texture offsets and wraps.
TEST_F(Sprites, TexturedLineShortWaysMatchReference) {
    screen(48, 24);
    std::mt19937 rng(7);
    ASSERT_EQ(lua("for a = 0x8000, 0xBFFF do poke(a, (a * 131 + a // 4096 * 77) % 256) end "
                  "SRC = {userdata('u8', 8, 8), userdata('u8', 5, 3), userdata('i16', 4, 4), userdata('i16', 3, 5)} "
                  "for k = 1, 2 do local t = SRC[k] for i = 0, #t - 1 do t[i] = (i * 37) % 256 end end "
                  "for k = 3, 4 do local m = SRC[k] for i = 0, #m - 1 do "
                  "m[i] = i % 6 + ({0, 0x4000, -0x8000, -0x4000})[i * 7 % 4 + 1] end end "
                  "for n, wh in pairs({{8, 8}, {16, 4}, {3, 5}, {6, 6}}) do local s = userdata('u8', wh[1], wh[2]) "
                  "for i = 0, #s - 1 do s[i] = (i * 29 + n) % 256 end _set_spr(n, s) end"),
              "");
    TypedArray* src[4];
    lua_getglobal(L, "SRC");
    for (int i = 0; i < 4; i++) {
        lua_rawgeti(L, -1, i + 1);
        src[i] = to_typed_array(L, -1);
        lua_pop(L, 1);
        ASSERT_NE(src[i], nullptr);
    }
    lua_pop(L, 1);
    std::uniform_real_distribution<double> pos(-10, 60), uv(-20, 20), nonneg(0, 40);
    uint8_t base[48 * 24];
    for (int trial = 0; trial < 1200; trial++) {
        for (uint8_t& b : base) b = (uint8_t)rng();
        uint8_t* ds = mem_low_page(p, 5);
        for (int i = 0; i < 8; i++) ds[0x500 + i] = trial % 2 || rng() % 3 ? 0 : (uint8_t)rng();
        for (int i = 0; i < 3; i++) ds[0x508 + i] = rng() % 4 ? 0x3F : (uint8_t)rng();
        for (int i = 0; i < 4; i++) {  // offsets and wraps, with the ends of their range
            const int16_t v[6] = {0, 0, (int16_t)rng(), -32768, 32767, (int16_t)(rng() % 8)};
            memcpy(ds + 0x530 + 2 * i, &v[rng() % 6], 2);
        }
        double c[10] = {pos(rng), pos(rng), pos(rng), pos(rng), uv(rng), uv(rng), uv(rng), uv(rng), 1, 1};
        const int mode = trial / 4 % 3;
        if (mode == 1) {
            // Steps of eighths over a power-of-two length: walked in fixed point.
            const double len = 1 << rng() % 6, dir[3] = {0, 1, -1};
            c[0] = (double)(rng() % 40), c[1] = (double)(rng() % 20);
            c[2] = c[0] + len * dir[rng() % 2 + 1], c[3] = c[1] + len * dir[rng() % 3];
            c[4] = (int)(rng() % 320) / 8.0 - 20, c[5] = (int)(rng() % 320) / 8.0 - 20;
            c[6] = c[4] + len * ((int)(rng() % 33) - 16) / 8.0, c[7] = c[5] + len * ((int)(rng() % 33) - 16) / 8.0;
        } else if (mode == 2) {
            c[4] = nonneg(rng), c[5] = nonneg(rng), c[6] = nonneg(rng), c[7] = nonneg(rng);
        }
        if (rng() % (mode == 1 ? 2 : 3) == 0) c[7] = c[5];
        if (mode != 1 && rng() % 3 == 0) c[3] = c[1];
        if (trial % 5 == 0) c[9] = 0.5 + (rng() % 100) / 40.0;
        int64_t flags = (rng() % 4) << 8;
        const TypedArray* tex = src[trial % 4];
        uint8_t out[2][48 * 24];
        int64_t cost[2];
        for (int k = 0; k < 2; k++) {
            memcpy(ta_data(p->draw.target), base, sizeof base);
            Gfx g;
            ASSERT_TRUE(gfx_begin(g, p, true));
            cost[k] = draw_tline3d(g, tex, flags, c[0], c[1], c[2], c[3], c[4], c[5], c[6], c[7], c[8], c[9], k == 0);
            memcpy(out[k], ta_data(p->draw.target), sizeof base);
        }
        ASSERT_EQ(memcmp(out[0], out[1], sizeof base), 0) << "trial " << trial;
        ASSERT_EQ(cost[0], cost[1]);
    }
}
