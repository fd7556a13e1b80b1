// Text printing: the described cases, glyph drawing with every attribute, the
// control codes and commands, fonts in memory, hostile texts and fonts, and
// charges. A test font at 0x6000 keeps the expected pictures small: glyphs 3
// wide and 3 high, 'a' a diagonal from the top-left, 'b' a ring.
#include <array>
#include <set>

#include "gfx_fixture.h"
#include "graphics/print.h"

class Print : public GfxTest {
protected:
    void SetUp() override {
        GfxTest::SetUp();
        screen(24, 12);
        // F(addr, header...) writes a test font; P(text, [x, y]) clears the
        // screen and prints in colour 7 without the trailing newline.
        ASSERT_EQ(lua("function F(a, ...) memset(a, 0, 2048) poke(a, ...) "
                      "poke(a + 8 * 97, 1, 2, 4) poke(a + 8 * 98, 7, 5, 7) poke(a + 8 * 200, 255, 255) end "
                      "F(0x6000, 3, 5, 3) poke(0x5F56, 0x60) poke(0x5F36, 4) "
                      "function P(t, x, y) cls() cursor(0, 0) poke4(0x54F8, 0) "
                      "return _print_tesscii(t, x or 0, y or 0, 7) end"),
                  "");
    }
};

TEST_F(Print, DescribedCases) {
    // The default font: h and i, then a newline to home x on the next line.
    memcpy(mem_low_page(p, 4), lil_font_dat.data(), LIL_FONT_SIZE);
    ASSERT_EQ(lua("poke(0x5F56, 0x40) poke(0x5F36, 0)"), "");
    EXPECT_EQ(lua("cls() cursor(0, 0) return _print_tesscii('hi')"), "7, 9");  // h advances 5, i 2
    EXPECT_EQ(lua("return peek4(0x54F0), peek4(0x54F4)"), "0, 9");
    EXPECT_EQ(lua("poke(0x5F36, 4) cursor(0, 0) local x, y = _print_tesscii('hi') return x, y, peek4(0x54F0), peek4(0x54F4)"),
              "7, 0, 7, 0");
    // Back to the test font. Code 1, a digit and a letter: the letter 3 times.
    ASSERT_EQ(lua("poke(0x5F56, 0x60)"), "");
    EXPECT_EQ(lua("return P('\\0013a')"), "9, 0");
    EXPECT_EQ(rows(0, 0, 9, 0), "7007007000");
    // Header bytes 0, 1 and 2 all zero: 8 x 8 glyphs.
    EXPECT_EQ(lua("F(0x6000, 0, 0, 0) local x, y = P('ab') poke(0x5F36, 0) local _, y2 = P('a') poke(0x5F36, 4) "
                  "F(0x6000, 3, 5, 3) return x, y, y2"),
              "16, 0, 8");
    // Code 6 w doubles widths; 6 -w turns it off again.
    EXPECT_EQ(lua("return P('\\006wa\\006-wa')"), "9, 0");
    // Code 6 ! 5000 pokes the rest of the text and prints nothing after.
    EXPECT_EQ(lua("poke(0x5F36, 0) local x, y = P('\\006!3000wxyz') poke(0x5F36, 4) "
                  "return x, y, chr(peek(0x3000, 4)), peek(0x3004)"),
              "0, 0, wxyz, 0");
}

TEST_F(Print, GlyphAttributes) {
    struct Case {
        const char* text;
        int x, y, w, h;  // where the picture is read
        const char* want;
    };
    const Case cases[] = {
        {"a", 0, 0, 4, 3, "7000/0700/0070"},
        {"\\006wa", 0, 0, 7, 3, "7700000/0077000/0000770"},
        {"\\006w\\006=a", 0, 0, 6, 3, "700000/007000/000070"},
        {"\\006ta", 0, 0, 3, 6, "700/700/070/070/007/007"},
        {"\\006t\\006=a", 0, 0, 3, 6, "700/000/070/000/007/000"},
        {"\\006pa", 0, 0, 5, 5, "70000/00000/00700/00000/00007"},
        {"\\006ia", 0, 0, 4, 3, "0770/7070/7700"},
        {"\\006ba", 0, 0, 4, 3, "7000/0700/0070"},                 // a border alone draws nothing
        {"\\0025a", 0, 0, 4, 3, "7550/5750/5570"},                 // code 2: background 5, solid
        {"\\006#a", 0, 0, 4, 3, "7000/0700/0070"},                 // solid with background 0
        {"\\005hh\\006i\\006ba", 0, 0, 5, 4, "77770/70770/77070/77700"},  // border with invert: a frame
        {"\\005hh\\006b\\0025a", 0, 0, 5, 4, "55550/57550/55750/55570"},
        {"\\0025\\005hh\\006b\\006:0100000000000000", 0, 0, 3, 3, "000/075/055"},  // no border on one-offs
        {"\\006.\\003\\005\\003\\000\\000\\000\\000\\000", 0, 0, 4, 3, "7700/7070/7700"},  // . and 8 raw bytes
        {"\\006:030503", 0, 0, 4, 3, "7700/7070/7700"},  // : with missing digits (0)
        {"\\0129b", 0, 0, 4, 3, "9990/9090/9990"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(lua("P('" + std::string(c.text) + "')"), "") << c.text;
        EXPECT_EQ(rows(c.x, c.y, c.x + c.w - 1, c.y + c.h - 1), c.want) << c.text;
    }
    EXPECT_EQ(lua("return peek2(0x550C)"), "9");  // code 12 also sets the colour word
    // Glyph bits past the row's 8 are blank (a 12-wide font), except inverted.
    EXPECT_EQ(lua("F(0x6000, 12, 12, 1) P('\\200') local a = pget(7, 0) .. pget(8, 0) "
                  "P('\\006i\\200') local b = pget(7, 0) .. pget(8, 0) .. pget(11, 0) F(0x6000, 3, 5, 3) return a, b"),
              "70, 077");
}

TEST_F(Print, ControlCodes) {
    struct Case {
        const char* text;
        const char* result;  // largest x and y reached
        const char* cursor;
    };
    const Case cases[] = {
        {"\\003ka", "7, 0", "7, 0"},             // x += 20 - 16
        {"\\004ia", "3, 2", "3, 2"},             // y += 18 - 16
        {"\\005hia", "4, 2", "4, 2"},
        {"a\\008b", "3, 0", "3, 0"},             // back by the last advance
        {"a\\009a", "12, 0", "12, 0"},           // tab stops every 3 widths
        {"\\009\\009", "18, 0", "18, 0"},        // a cursor on a stop moves to the next
        {"a\\na", "3, 3", "3, 3"},               // newline: home x, down by the tallest
        {"aa\\ra", "6, 0", "3, 0"},
        {"a\\011zb", "3, 0", "3, 0"},            // one-off offset: drawn at (1, 0), cursor back
        {"\\006j12", "4, 8", "4, 8"},
        {"\\005jj\\006ha\\006g", "6, 3", "3, 3"},  // home := cursor, then back to it
        {"\\006s2a\\009", "6, 0", "6, 0"},       // tab width 2 widths
        {"\\006x5aa", "10, 0", "10, 0"},
        {"\\006y7a\\na", "3, 7", "3, 7"},        // taller line height
        {"\\006r2\\006$aaa", "6, 3", "3, 3"},   // margin 8: the third glyph wraps
        {"\\006zab", "6, 0", "6, 0"},            // unknown commands do nothing
        {"ab\\0061aa", "6, 0", "6, 0"},          // a pause stops the print
        {"\\006d2abc", "3, 0", "3, 0"},          // a delay stops after each glyph
        {"\\000ab", "0, 0", "0, 0"},             // code 0 ends the text
        {"a\\001", "6, 0", "6, 0"},              // codes 1-6 without a parameter are glyphs
        {"\\005h", "1, -16", "1, -16"},          // missing bytes read as 0
        {"\\006@12", "0, 0", "0, 0"},
        {"\\006", "3, 0", "3, 0"},
        {"", "0, 0", "0, 0"},                    // nothing printed: the cursor
    };
    for (const Case& c : cases) {
        EXPECT_EQ(lua("return P('" + std::string(c.text) + "')"), c.result) << c.text;
        EXPECT_EQ(lua("return peek4(0x54F0), peek4(0x54F4)"), c.cursor) << c.text;
    }
    EXPECT_EQ(lua("P('a\\011zb')"), "");
    EXPECT_EQ(rows(0, 0, 4, 2), "77770/07070/07770");
    EXPECT_EQ(lua("P('ab\\0061aa') return pget(6, 0), pget(5, 0)"), "0, 7");
    // Tabs from home x with font flag bit 1; a zero tab width never divides.
    EXPECT_EQ(lua("P('\\009', 2, 0) local a = peek4(0x54F0) poke(0x6005, 2) P('\\009', 2, 0) local b = peek4(0x54F0) "
                  "F(0x6000, 0, 5, 3) P('\\009', 2, 0) local c = peek4(0x54F0) F(0x6000, 3, 5, 3) return a, b, c"),
              "9, 11, 2");
    // Code 6 c clears the target to a colour and homes the cursor.
    EXPECT_EQ(lua("clip(2, 2, 2, 2) local x, y = P('aa\\006c3') return x, y, pget(0, 0), pget(23, 11)"), "6, 0, 3, 3");
    EXPECT_EQ(lua("clip()"), "");
    // Switching fonts: the alternative font's header is loaded.
    EXPECT_EQ(lua("F(0x7000, 6, 6, 3) poke(0x5F57, 0x70) return P('\\014a\\015a')"), "9, 0");
}

TEST_F(Print, PokesFromText) {
    EXPECT_EQ(lua("local x, y = P('\\006@31000002xyz') return x, y, chr(peek(0x3100, 2))"), "3, 0, xy");
    // Counts past the text's end poke only what is there.
    EXPECT_EQ(lua("poke(0x3200, 9, 9, 9) P('\\006@32000009ab') return peek(0x3200, 3)"), "97, 98, 9");
    // Pokes may change the draw state mid-print: the rest follows it.
    EXPECT_EQ(lua("local x, y = P('a\\006@550900015a') return x, y, pget(3, 0), pget(4, 1)"), "6, 0, 5, 5");
    EXPECT_EQ(lua("poke(0x5509, 0x3f)"), "");
    // Charged one cycle per byte poked.
    EXPECT_EQ(charge("_print_tesscii, '\\006!3300' .. string.rep('x', 300)"), 306 + 300);
}

TEST_F(Print, AttributesFromMemory) {
    struct Case {
        int a58, a59, a5a, a5b;
        const char* text;
        const char* result;
    };
    const Case cases[] = {
        {0x05, 0, 0, 0, "a", "6, 0"},       // bit 0 with wide
        {0x04, 0, 0, 0, "a", "3, 0"},       // without bit 0 the byte is not used
        {0x81, 0, 0, 0, "a", "6, 0"},       // the alternative font
        {0, 0x54, 0, 0, "a", "4, 0"},       // character width 4, height 5
        {0, 0, 0x10, 0, "\\009", "6, 0"},   // tab width: width x (1 + 1)
        {0, 0, 0x07, 0, "\\200", "7, 0"},   // wide-character width
        {0, 0, 0, 0x21, "a", "3, 0"},       // offsets move the picture, not the cursor
    };
    ASSERT_EQ(lua("F(0x7000, 6, 6, 3) poke(0x5F57, 0x70)"), "");
    for (const Case& c : cases) {
        EXPECT_EQ(lua("poke(0x5F58, " + std::to_string(c.a58) + ", " + std::to_string(c.a59) + ", " +
                      std::to_string(c.a5a) + ", " + std::to_string(c.a5b) + ") return P('" + c.text + "')"),
                  c.result)
            << c.a58 << " " << c.a59 << " " << c.a5a << " " << c.a5b;
    }
    EXPECT_EQ(rows(0, 0, 3, 4), "0000/0000/0700/0070/0007");
    // The border bit counts without bit 0.
    EXPECT_EQ(lua("poke(0x5F58, 2, 0, 0, 0) P('\\0025a', 1, 1) poke(0x5F58, 0) return pget(0, 0)"), "5");
    // Width nibbles: 'a' gets +1 and is drawn one pixel higher.
    EXPECT_EQ(lua("poke(0x6005, 1) poke(0x6000 + 48, 0x90) return P('a', 0, 1)"), "4, 1");
    EXPECT_EQ(rows(0, 0, 2, 2), "700/070/007");
}

TEST_F(Print, CameraClipAndTargets) {
    // The camera moves glyphs, not the cursor; the clip cuts them.
    EXPECT_EQ(lua("camera(-2, -1) P('a') camera() return pget(2, 1), pget(4, 3)"), "7, 7");
    EXPECT_EQ(lua("clip(1, 0, 1, 3) P('a') clip() return pget(0, 0), pget(1, 1), pget(2, 2)"), "0, 7, 0");
    // Glyphs wholly out of sight to the left move the cursor as drawn ones do.
    EXPECT_EQ(lua("return P('aaaa', -7, 0)"), "5, 0");
    EXPECT_EQ(rows(0, 0, 5, 2), "007000/700700/070070");
    // Wrapping from 0x5F36 bit 7 at the clip's right edge.
    EXPECT_EQ(lua("poke(0x5F36, 0x84) clip(0, 0, 7, 12) local x, y = P('aaa') clip() poke(0x5F36, 4) return x, y"),
              "6, 3");
    // No target, no string: nothing; numbers print as Lua writes them.
    EXPECT_EQ(lua("return _print_tesscii({}), P(12)"), "nil, 6, 0");
    EXPECT_EQ(lua("_set_draw_target(userdata('u8', 4, 4)) local t = userdata('u8', 4, 4) _set_draw_target(t) "
                  "local x, y = _print_tesscii('b', 0, 0, 7) return x, y, t[0], t[5]"),
              "3, 0, 7, 0");
}

TEST_F(Print, Charges) {
    // Bytes of each step (at least 1) plus (w h + 1) / 3 per glyph drawn.
    EXPECT_EQ(charge("_print_tesscii, 'ab'"), 2 + 2 * ((9 + 1) / 3));
    EXPECT_EQ(charge("_print_tesscii, '\\006wa'"), 2 + 1 + (18 + 1) / 3);
    EXPECT_EQ(charge("_print_tesscii, 'ab', 100, 100"), 2);  // not visible: steps only
    EXPECT_EQ(charge("_print_tesscii, '\\006c1'"), 3 + 24 * 12 / 64);
    // A hostile font (255 x 255 glyphs) is charged for its size.
    EXPECT_EQ(lua("F(0x6000, 255, 255, 255)"), "");
    EXPECT_EQ(charge("_print_tesscii, 'a'"), 1 + (255 * 255 + 1) / 3);
    // Width 1 less the adjustment 3 is -2: glyphs drawn at x 10 and returned
    // to it cost their steps, not less.
    EXPECT_EQ(lua("F(0x6000, 1, 1, 9, 0, 0, 1) poke(0x6000 + 97 // 2, 0x50)"), "");
    EXPECT_EQ(charge("_print_tesscii, string.rep('a\\r', 100), 10, 0"), 200);
    EXPECT_EQ(lua("F(0x6000, 3, 5, 3)"), "");
    // Repeated glyphs cost at least a cycle each, drawn or not (here of width 0).
    EXPECT_EQ(charge("_print_tesscii, '\\0013a', 0, 0"), 3 + 3 * ((9 + 1) / 3));
    EXPECT_EQ(charge("_print_tesscii, '\\006x0\\0019a', 0, 0"), 3 + 3 + 9);
    // A glyph out of sight whose background is not: the background's spans / 3.
    EXPECT_EQ(lua("cls()"), "");
    EXPECT_EQ(charge("_print_tesscii, '\\006w\\0027a', -5, 0"), 2 + 2 + 1 + 3 * 2 / 3);
    EXPECT_EQ(lua("return pget(0, 0), pget(0, 2), pget(1, 0)"), "7, 7, 0");
}

// One print can do a great deal of work for a few bytes of text: it is
// charged step by step and stopped soon after it is far over budget, like
// other native work, and nothing of its text stays behind. An ordinary long
// text costing several frames prints to its end.
TEST_F(Print, LongPrintsFarOverBudgetAreStopped) {
    ASSERT_EQ(lua("BIG = userdata('u8', 1024, 1024) "
                  "function On(t, text, x) _set_draw_target(t) return _print_tesscii(text, x or 0, 0, 7) end"),
              "");
    expect_stopped_soon({
        // The whole target cleared for each three bytes.
        {"On, BIG, string.rep('\\006c0', 2000)", 3 + 1024 * 1024 / 64},
        // Inverted glyphs of 70 x 70, all over the same cell.
        {"On, S, '\\006i\\006w\\006t\\006xz\\006yz' .. string.rep('a\\r', 400000)", 1 + (70 * 70 + 1) / 3},
        // 35 empty glyphs for each three bytes, a cycle each.
        {"On, S, '\\006x0' .. string.rep('\\001za', 600000)", 3 + 35},
        // Glyphs out of sight left of the target, their backgrounds not.
        {"On, BIG, '\\006w\\006t\\006xz\\006yz\\0027' .. string.rep('a\\b', 200000), -50", 1 + 70 * (19 / 8 + 3) / 3},
    });
    EXPECT_EQ(p->print.text, nullptr);
    // 20,000 lines: 8 glyphs in sight (a step and 3 each), 52 out of sight and a carriage return.
    int64_t charged = 0;
    ASSERT_EQ(lua("_set_draw_target(S)"), "");
    EXPECT_EQ(stopped_or_done("_print_tesscii, string.rep(string.rep('a', 60) .. '\\r', 20000), 0, 0, 7", &charged),
              "done");
    EXPECT_EQ(charged, 20000 * (8 * 4 + 52 + 1));
    EXPECT_EQ(lua("return peek4(0x54F0), pget(21, 0), pget(23, 2)"), "0, 7, 7");
}

// The host's own prints (card labels) run no program's code: they end once
// they have cost their cap, at the step that reaches it.
TEST_F(Print, HostPrintsEndAtTheirCap) {
    std::string text(100000, 'a');
    ds_set_i32(p, DS_CURSOR_X, 1000);
    cpu_cycles = 0;
    EXPECT_EQ(print_tesscii(p, text.data(), (int64_t)text.size(), 0, 7, nullptr, 1000), 0);
    EXPECT_EQ(cpu_cycles, 1000);
    EXPECT_EQ(ds_i32(p, DS_CURSOR_X), 1000 + 3 * 1000);
    // In sight: the step that reaches the cap is the last (inverted glyphs of
    // 3 x 3 cost a step and 3, each carriage return a step).
    std::string inverted = "\006i";
    for (int i = 0; i < 1000; i++) inverted += "a\r";
    ds_set_i32(p, DS_CURSOR_X, 0);
    cpu_cycles = 0;
    print_tesscii(p, inverted.data(), (int64_t)inverted.size(), 0, 7, nullptr, 100);
    EXPECT_EQ(cpu_cycles, 2 + 19 * 5 + 4);
}

TEST_F(Print, FontsReadThroughTheByteRule) {
    // A font in a mapped array reads from the array; pages are not touched.
    EXPECT_EQ(lua("local f = userdata('u8', 4096) f:peek(0x6000) f[8 * 97] = 7 _map_ram(f, 0xE000) poke(0x5F56, 0xE0) "
                  "P('a') return pget(0, 0), pget(1, 0), pget(2, 0)"),
              "7, 7, 7");
    ASSERT_EQ(lua("poke(0x5F56, 0x60)"), "");
    // Nothing of the text stays behind, even after a pause.
    EXPECT_EQ(lua("P(string.rep('a', 1000) .. '\\0061' .. string.rep('b', 1000))"), "");
    EXPECT_EQ(p->print.text, nullptr);
}

// The default font: every printable ASCII character has its own glyph, which
// keeps a blank column before the next one; the space has none.
TEST(DefaultFont, CoversPrintableAscii) {
    const auto& f = lil_font_dat;
    EXPECT_EQ(f[2], 9);     // line height
    EXPECT_EQ(f[5] & 1, 1);  // per-glyph widths
    std::set<std::array<uint8_t, 8>> seen;
    for (int c = 32; c <= 126; c++) {
        int nib = (f[c / 2] >> ((c & 1) * 4)) & 15;
        int advance = f[0] + ((nib + 4) & 7) - 4;
        std::array<uint8_t, 8> g;
        memcpy(g.data(), &f[8 * c], 8);
        int ink = 0, widest = 0;
        for (uint8_t row : g) {
            ink += __builtin_popcount(row);
            if (row) widest = std::max(widest, 32 - __builtin_clz(row));
        }
        EXPECT_LT(widest, advance) << (char)c;
        EXPECT_GE(advance, 2) << (char)c;
        if (c == ' ') {
            EXPECT_EQ(ink, 0);
            continue;
        }
        EXPECT_GT(ink, 0) << (char)c;
        EXPECT_TRUE(seen.insert(g).second) << (char)c << " looks like another glyph";
    }
    for (int i = 2048; i < LIL_FONT_SIZE; i++) ASSERT_EQ(f[i], 0) << i;
}
