// Drawing primitives: the described cases, charges, hostile numbers, and the
// ellipse fill's shortcut against its general path. Pixel-exact agreement with
// an independent model over random cases is primitives_oracle_test.py.
#include <random>

#include "gfx_fixture.h"

using Primitives = GfxTest;

TEST_F(Primitives, DescribedCases) {
    screen(480, 270);
    EXPECT_EQ(lua("rectfill(10, 10, 0, 0, 7) local a = S:copy() cls() rectfill(0, 0, 10, 10, 7) "
                  "for i = 0, #S - 1 do if a[i] ~= S[i] then return i end end return 'same'"),
              "same");
    EXPECT_EQ(lua("cls() line(-100, 5, 100, 5, 8) local n = 0 for i = 0, #S - 1 do if S[i] ~= 0 then n += 1 end end "
                  "return n, pget(0, 5), pget(100, 5), pget(101, 5)"),
              "101, 8, 8, 0");
    EXPECT_EQ(lua("cls() line() line(5, 5) local n = 0 for i = 0, #S - 1 do n += S[i] end return n"), "0");
    EXPECT_EQ(lua("line(10, 5, 9) return pget(4, 5), pget(5, 5), pget(10, 5), pget(11, 5)"), "0, 9, 9, 0");
    EXPECT_EQ(lua("return peek4(0x5520), peek4(0x5524), peek(0x551F)"), "10, 5, 0");
    EXPECT_EQ(lua("line(20, 20, 30, 22) line(40, 20) return pget(25, 21), pget(30, 22), pget(35, 21), pget(40, 20)"),
              "9, 9, 9, 9");
    EXPECT_EQ(lua("cls() circfill(7, 7, 0, 3) circ(20, 20, -1, 3) local n = 0 "
                  "for i = 0, #S - 1 do n += S[i] end return n, pget(7, 7)"),
              "3, 3");
    EXPECT_EQ(lua("cls() oval(0, 0, 1, 5, 4)"), "");
    EXPECT_EQ(rows(0, 0, 2, 6), "440/440/440/440/440/440/000");
    EXPECT_EQ(lua("clip(5, 5, 3, 3) camera(4, 4) cls(7) return pget(4, 4), pget(483, 273), peek4(0x54F0)"),
              "7, 7, 0");
    EXPECT_EQ(lua("camera() clip() cls()"), "");
    // A step landing exactly on the top or left clip edge is skipped.
    EXPECT_EQ(lua("clip(81, 179, 75, 43) line(185, 207, -11, 109, 6) return pget(128, 179), pget(130, 180)"),
              "0, 6");
}

TEST_F(Primitives, InvertedFills) {
    screen(40, 30);
    // The clip lies inside the circle: nothing inside it is drawn.
    EXPECT_EQ(lua("clip(15, 10, 10, 10) circfill(20, 15, 18, 0x800000005) clip() "
                  "local n = 0 for i = 0, #S - 1 do n += S[i] end return n"),
              "0");
    EXPECT_EQ(lua("cls() circfill(20, 15, 3, 0x800000005) return pget(20, 15), pget(0, 0), pget(16, 15), pget(17, 15)"),
              "0, 5, 5, 0");
    EXPECT_EQ(lua("cls() rectfill(10, 10, 12, 12, 0x800000005) "
                  "return pget(11, 11), pget(9, 11), pget(13, 13), pget(39, 29), pget(0, 0)"),
              "0, 5, 5, 5, 5");
    // A later call without the flag fills normally again.
    EXPECT_EQ(lua("cls() rectfill(10, 10, 12, 12, 5) return pget(11, 11), pget(0, 0)"), "5, 0");
    // Negative radius: nothing, or the whole target when inverted.
    EXPECT_EQ(lua("cls() circfill(5, 5, -1, 5) local a = pget(0, 0) circfill(5, 5, -1, 0x800000005) "
                  "return a, pget(0, 0), pget(39, 29)"),
              "0, 5, 5");
    // An inverted ellipse wholly outside the clip fills the whole clip.
    EXPECT_EQ(lua("cls() clip(0, 0, 10, 10) ovalfill(20, 20, 30, 28, 0x800000005) clip() "
                  "return pget(9, 9), pget(10, 10)"),
              "5, 0");
}

TEST_F(Primitives, Batches) {
    screen(64, 64);
    EXPECT_EQ(charge("pset, userdata('f64', 3, 10, '1,1,7,2,2,7,3,3,7,4,4,7,5,5,7,6,6,7,7,7,7,8,8,7,9,9,7,10,10,7')"),
              30);
    EXPECT_EQ(lua("return pget(1, 1), pget(10, 10), pget(2, 1), peek(0x550C)"), "7, 7, 0, 7");
    // Start, count, values per item and stride; items must lie inside the array.
    EXPECT_EQ(lua("cls() local a = userdata('f64', 10, 1, '0,0,1,1,2,2,3,3,4,4') "
                  "pset(a, 2, 99, 2, 2) return pget(0, 0), pget(1, 1), pget(4, 4)"),
              "0, 7, 7");
    EXPECT_EQ(lua("cls() local a = userdata('f64', 4, 1, '5,5,6,6') "
                  "pset(a, 0, 99, 2, 0) return pget(5, 5), pget(6, 6)"),
              "7, 0");  // stride 0 repeats the first item
    EXPECT_EQ(charge("pset, userdata('f64', 4, 1, '5,5,6,6'), -1"), 0);
    EXPECT_EQ(charge("pset, userdata('f64', 4, 1, '5,5,6,6'), 0, 3, 2, -2"), 0);
    EXPECT_EQ(charge("pset, userdata('f64', 4, 1), 0, 1e9, 2, 0"), 3 * 262144);
    // Values are floored; short items take 0, a radius 4, the colour word.
    EXPECT_EQ(lua("cls() color(3) circfill(userdata('f64', 2, 1, '20.9,20.5')) return pget(20, 16), pget(20, 15)"),
              "3, 0");
    // Radius 1: two iterations of 8 and three one-pixel spans of 2.
    EXPECT_EQ(charge("circfill, userdata('f64', 4, 2, '10,10,1,9,30,30,-1,8')"), 4 * 2 + 22 / 3);
    EXPECT_EQ(lua("return pget(10, 10), peek(0x550C)"), "9, 8");
    // Each item clears the inverted-fill flag before its colour may set it.
    EXPECT_EQ(lua("cls() rectfill(userdata('f64', 5, 2, '40,40,41,41,34359738374,1,1,2,2,5')) "
                  "return pget(1, 1), pget(40, 40), pget(0, 0), peek(0x550C)"),
              "5, 0, 6, 5");
    // The camera applies to batch coordinates.
    EXPECT_EQ(lua("cls() camera(-3, -3) pset(userdata('f64', 3, 1, '1,1,9')) camera() return pget(4, 4)"), "9");
    EXPECT_EQ(lua("cls() pset(userdata('i16', 3, 1)) return pget(0, 0)"), "0");
}

// Each item is bounded, their sum is not: a batch is charged item by item as
// it draws and stopped soon after it is far over budget, the items after that
// left undrawn (each item's colour is its number, so the colour word tells how
// far it got). An ordinary batch costing a few frames draws to its end.
TEST_F(Primitives, BatchesFarOverBudgetAreStopped) {
    screen(1024, 1024);
    ASSERT_EQ(lua("function B(per, n, ...) local b = userdata('f64', per, n) for i = 0, n - 1 do "
                  "for k = 1, per do b:set(k - 1, i, select(k, ...)) end b:set(per - 1, i, i % 64) end return b end"),
              "");
    expect_stopped_soon({
        {"rectfill, B(5, 2000, 0, 0, 1023, 1023, 0)", 1024 * (1023 / 8 + 3) / 3 + 3},
        {"circfill, B(4, 100, 240, -1400000, 1400100, 0)", 4 + (8 * 2800202 + 100 * 1024) / 3},
    });
    EXPECT_EQ(lua("return peek(0x550C) < 63"), "true");
    int64_t charged = 0;
    EXPECT_EQ(stopped_or_done("rectfill, B(5, 10000, 0, 0, 31, 31, 0)", &charged), "done");
    EXPECT_EQ(charged, 3 * 10000 + 10000 * 32 * (31 / 8 + 3) / 3);
    EXPECT_EQ(lua("return peek(0x550C)"), std::to_string(9999 % 64));
}

TEST_F(Primitives, Charges) {
    screen(480, 270);
    EXPECT_EQ(charge("cls"), 480 * 270 / 64);
    EXPECT_EQ(charge("pset, 5, 5, 7"), 0);
    EXPECT_EQ(charge("pget, 5, 5"), 0);
    // Zero target mask, width a multiple of 8: (xe - xs) / 8 + 3 per span of 16 or more.
    EXPECT_EQ(charge("rectfill, 0, 0, 479, 269"), 270 * (479 / 8 + 3) / 3);
    EXPECT_EQ(charge("rectfill, 0, 0, 9, 9"), 10 * (9 / 4 + 2) / 3);
    EXPECT_EQ(charge("rectfill, 500, 0, 600, 9"), 0);
    // rect charges the pixels of its edges (drawn ones), not their span costs.
    EXPECT_EQ(charge("rect, 0, 0, 479, 269"), (480 + 480 + 268 + 268) / 3);
    EXPECT_EQ(charge("rect, -10, 5, 9, 5"), 10 / 3);
    EXPECT_EQ(lua("poke(0x550B, 0x3f)"), "");
    EXPECT_EQ(charge("rectfill, 0, 0, 99, 9"), 1000 / 3);
    EXPECT_EQ(charge("rect, 0, 0, 9, 9"), (10 + 10 + 8 + 8) / 3);
    EXPECT_EQ(charge("line, 0, 0, 9, 3"), 10);
    EXPECT_EQ(charge("line, -50, -50, -10, -10"), 0);
    // Outline: each iteration costs 1 plus its points.
    EXPECT_EQ(charge("oval, 0, 0, 2, 2"), 3 + 3);
    EXPECT_EQ(charge("circ, 10, 10, 1"), 6 / 3);
    EXPECT_EQ(lua("poke(0x550B, 0)"), "");
    // A filled ellipse whose box covers the clip is filled as a rectangle.
    EXPECT_EQ(lua("clip(100, 100, 16, 16)"), "");
    EXPECT_EQ(charge("circfill, 108, 108, 200"), 16 * (15 / 8 + 3) / 3);
    EXPECT_EQ(lua("clip()"), "");
}

TEST_F(Primitives, HostileNumbers) {
    screen(64, 48);
    // Coordinates at the ends of every range draw what lies in the clip and return.
    EXPECT_EQ(lua("cls() local big, m = 2^31 - 1, -2^31 "
                  "line(m, 10, big, 10, 7) line(m, m, big, big, 7) line(10, m, 10, big, 7) line(m, 20, big, 21, 7) "
                  "line(m, 0, big, 1, 7) line(0, m, 1, big, 7) line(1e300, -1e300, 5, 5, 7) line(0/0, 1, 2, 3, 7) "
                  "return pget(0, 10), pget(63, 10), pget(10, 0), pget(10, 47)"),
              "7, 7, 7, 7");
    // A step of 0: more than 65,536 times longer one way, the line keeps its start column.
    EXPECT_EQ(lua("cls() line(3, -100000, 4, 100000, 7) return pget(3, 0), pget(3, 47), pget(4, 20)"), "7, 7, 0");
    EXPECT_EQ(lua("cls() line(-100000, 3, 100000, 4, 7) return pget(0, 3), pget(63, 3), pget(20, 4)"), "7, 7, 0");
    EXPECT_EQ(lua("cls() line(-100, -100000, -99, 100000, 7) line(5, -10, 5, -1, 7) return pget(0, 0)"), "0");
    // Huge ellipses are bounded; their box is clipped row by row when thin.
    EXPECT_EQ(lua("cls() oval(-2^31, -2^31, 2^31 - 1, 2^31 - 1, 7) ovalfill(-2^31, 10, 2^31 - 1, 11, 7) "
                  "circfill(32, 24, 1e15, 7) circ(0, 0, 2^62, 7) "
                  "return pget(0, 10), pget(63, 11), pget(0, 0)"),
              "7, 7, 7");
    EXPECT_GT(charge("oval, -2^31, -2^31, 2^31 - 1, 2^31 - 1"), 0);
    EXPECT_EQ(lua("cls() ovalfill(-1000000, 10, 1000000, 60000, 7) return pget(32, 9), pget(32, 10), pget(0, 47)"),
              "0, 7, 7");
    EXPECT_EQ(lua("cls() rectfill(-2^63, -2^63, 2^63 - 1, 2^63 - 1, 5) rect(-2^31, -2^31, 2^31, 2^31, 6) "
                  "return pget(0, 0), pget(63, 47), pget(10, 10)"),
              "5, 5, 5");
    EXPECT_EQ(lua("camera(2^31 - 1, -2^31) pset(0, 0, 9) camera()"), "");
}

// Where the clip lies inside the ellipse's inner rectangle, the fill writes
// the clip whole: the same pixels as running the fill itself.
TEST_F(Primitives, FillShortcutEqualsGeneralPath) {
    screen(96, 80);
    std::mt19937 rng(5);
    int shortcuts = 0;
    for (int round = 0; round < 4000; round++) {
        int cx = (int)(rng() % 140) - 20, cy = (int)(rng() % 120) - 20;
        int a = (int)(rng() % (round < 2000 ? 12 : 120)), b = (int)(rng() % (round < 2000 ? 12 : 120));
        int x0 = cx - a, y0 = cy - b, x1 = cx + a + (int)(rng() % 2), y1 = cy + b + (int)(rng() % 2);
        int clip_w = 1 + (int)(rng() % 30), clip_h = 1 + (int)(rng() % 30);
        int clip_x = cx - (int)(rng() % (clip_w + 4)), clip_y = cy - (int)(rng() % (clip_h + 4));
        ASSERT_EQ(lua("clip(" + std::to_string(clip_x) + ", " + std::to_string(clip_y) + ", " + std::to_string(clip_w) +
                      ", " + std::to_string(clip_h) + ") poke(0x550B, " + std::to_string(rng() % 2 ? 0 : 0x3f) + ")"),
                  "");
        Gfx g;
        ASSERT_TRUE(gfx_begin(g, p, false));
        if (!gfx_oval_fill_shortcut(g, x0, y0, x1, y1)) continue;
        shortcuts++;
        for (int i = 0; i < 96 * 80; i++) g.pix[i] = (uint8_t)(i * 31 + round);
        std::vector<uint8_t> general(g.pix, g.pix + 96 * 80);
        Gfx ref = g;
        ref.pix = general.data();
        gfx_filloval(g, x0, y0, x1, y1, 5, false, true);
        gfx_filloval(ref, x0, y0, x1, y1, 5, false, false);
        ASSERT_EQ(std::vector<uint8_t>(g.pix, g.pix + 96 * 80), general)
            << "box " << x0 << "," << y0 << "," << x1 << "," << y1 << " clip " << clip_x << "," << clip_y << ","
            << clip_w << "," << clip_h;
    }
    EXPECT_GT(shortcuts, 300);
}
