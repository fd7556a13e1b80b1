// chr, ord, split and tokenoid.
#include <string>
#include "cases.h"
#include "kernel/text.h"

TEST(Text, ChrAndOrd) {
    check_cases({
        {"chr(72, 105)", "\"Hi\""}, {"chr(256)", "\"\\0\""}, {"chr()", "\"\""}, {"chr(65.7, '66')", "\"AB\""},
        {"ord(chr(-1))", "255"}, {"chr('x')", "\"\\0\""},
        {"ord('abc', 2, 3)", "98, 99, nil"}, {"ord('abc')", "97"}, {"ord('abc', 0)", "nil"},
        {"ord('abc', 1.9)", "97"}, {"ord('abc', -0.5)", "nil"}, {"ord('abc', 'x')", "nil"},
        {"ord('abc', '2')", "98"}, {"ord(5)", "53"}, {"ord({}, 1, 2)", "nil, nil"},
        {"ord('abc', 1, 0)", "(none)"}, {"ord('abc', 1, 65537)", "(none)"},
        {"select('#', ord('', 1, 65536))", "65536"},
        {"ord('abc', 1/0)", "nil"}, {"ord('abc', 0/0)", "nil"}, {"ord('abc', math.maxinteger, 2)", "nil, nil"},
        {"ord('abc', math.mininteger, 2)", "nil, nil"},
        {"ord(chr(1/0, -1/0, 0/0), 1, 3)", "255, 0, 0"}, {"ord('abc', 1, 1/0)", "(none)"},
    });
}

TEST(Text, Split) {
    check_cases({
        {"split('1,2,,3')", "{1, 2, \"\", 3}"},
        {"split('1,2,,3', ',', false)", "{\"1\", \"2\", \"\", \"3\"}"},
        {"split('1,2', ',', nil)", "{\"1\", \"2\"}"},
        {"split('abcdefg', 3)", "{\"abc\", \"def\", \"g\"}"},
        {"split('123456', 2)", "{12, 34, 56}"},
        {"split('abc', 0)", "{\"a\", \"b\", \"c\"}"}, {"split('abc', 10)", "{\"abc\"}"},
        {"split('', 2)", "{}"},
        {"split('a1b', '')", "{\"a\", 1, \"b\"}"}, {"split('a1b', '', false)", "{\"a\", \"1\", \"b\"}"},
        {"split('a;b,c', ';,')", "{\"a\", \"b\", \"c\"}"},
        {"split('a,')", "{\"a\", \"\"}"}, {"split('')", "{\"\"}"}, {"split(',')", "{\"\", \"\"}"},
        {"split('a,b', {})", "{\"a\", \"b\"}"}, {"split(123, '2')", "{1, 3}"},
        {"split('0x10,1.5,1e2,x')", "{16, 1.5, 100.0, \"x\"}"},
        {"split('ab', 'ab')", "{\"\", \"\", \"\"}"},
        {"split('abc', 1/0)", "{\"abc\"}"}, {"split('ab', -1/0)", "{\"a\", \"b\"}"},
        {"split('ab', 0/0)", "{\"a\", \"b\"}"}, {"tokenoid('ab', 1/0)", "(none)"},
        {"split()", "(none)"}, {"split({})", "(none)"},
        // cases that end in brackets or hold closing long brackets
        {"split('a,b')[2]", "\"b\""}, {"({tokenoid(']=]]]', 1, 0x401)})[1]", "\"]=]\""},
    });
}

TEST(Text, TokenoidKinds) {
    check_cases({
        {"tokenoid('   x')", "\"   \", 4, 0"},
        {"tokenoid('foo_1 bar')", "\"foo_1\", 6, 1"},
        {"tokenoid('foo_1 bar', 7)", "\"bar\", 10, 1"},
        {"tokenoid('0x1f+')", "\"0x1f\", 5, 2"},
        {"tokenoid('0b101)')", "\"0b101\", 6, 2"},
        {"tokenoid('12.5e3')", "\"12.5e3\", 7, 2"},
        {"tokenoid('1e5')", "\"1\", 2, 2"},
        {"tokenoid('\"a\\\\\"b\" c')", "\"\\\"a\\\\\\\"b\\\"\", 7, 4"},
        {"tokenoid('\"abc')", "\"\\\"abc\", 5, 4"},
        {"tokenoid(\"'a'\")", "\"'\", 2, 5"},
        {"tokenoid('-- hi\\nx')", "\"-- hi\", 6, 3"},
        {"tokenoid('--[[ a ]] b')", "\"--[[ a ]]\", 10, 3"},
        {"tokenoid('--[[ open')", "\"--[[ open\", 10, 3, 768"},
        {"tokenoid('--[==[ open ]=]')", "\"--[==[ open ]=]\", 16, 3, 770"},
        {"tokenoid('[==[ s ]==]x')", "\"[==[ s ]==]\", 12, 4"},
        {"tokenoid('[[ open')", "\"[[ open\", 8, 4, 1024"},
        {"tokenoid('[= x')", "\"[\", 2, 5"},
        {"tokenoid('[' .. string.rep('=', 61) .. '[')", "\"[\", 2, 5"},
        {"select(2, tokenoid('[' .. string.rep('=', 60) .. '['))", "63, 4, 1084"},
        {"tokenoid('-x')", "\"-\", 2, 5"},
        {"tokenoid('\\x1e\\x80\\xff9 ')", "\"\\30\x80\xff" "9\", 5, 1"},
        {"tokenoid('x', 2)", "(none)"}, {"tokenoid('', 1)", "(none)"}, {"tokenoid(5)", "(none)"},
        {"tokenoid('ab', 0)", "(none)"}, {"tokenoid('ab', 2)", "\"b\", 3, 1"}, {"tokenoid('ab', '2')", "\"ab\", 3, 1"},
    });
}

TEST(Text, TokenoidCarriesLongCommentsAcrossLines) {
    check_cases({
        // a level-1 long comment opened on one line and closed on the next
        {"tokenoid('x = --[=[ open', 5)", "\"--[=[ open\", 15, 3, 769"},
        {"tokenoid('still ]] ]=] x', 1, 769)", "\"still ]] ]=]\", 13, 3"},
        {"tokenoid('no close here', 1, 0x301)", "\"no close here\", 14, 3, 769"},
        {"tokenoid('a]]b', 1, 0x400)", "\"a]]\", 4, 4"},
        {"tokenoid('a]=]b', 1, 0x400)", "\"a]=]b\", 6, 4, 1024"},
        {"tokenoid(']] x ]]', 3, 0x300)", "\" x ]]\", 8, 3"},
        // any bit in 0xF00 counts as open; its kind is the state's second byte
        {"tokenoid('x', 1, 0x100)", "\"x\", 2, 1, 256"},
    });
}

// Walking a line token by token covers it exactly, whatever the bytes.
TEST(Text, TokenoidScanCoversEveryByte) {
    const std::string line = "if x!=0x1f then --[[c]] s=\"q\\\"\" [=[ ]=] 1.5 \x80\xff -y";
    const size_t len = line.size();
    size_t p = 0;
    int64_t state = 0;
    while (p < len) {
        TokenoidResult r = tokenoid_scan(line.data(), len, p, state);
        ASSERT_EQ(r.start, p);
        ASSERT_GT(r.end, p);
        ASSERT_LE(r.end, len);
        p = r.end;
        state = r.state;
    }
    EXPECT_EQ(state, 0);
}
