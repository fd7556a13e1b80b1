// Typed arrays from Lua: creation, accessors, the element-wise members,
// convert/take/clear, linear algebra, sort, CPU charges and hostile input.
#include <cfloat>
#include <chrono>

#include "fixture.h"

namespace {

TEST(ArraysRecord, HeaderLayoutAndAlignment) {
    ArrayLua lua;
    EXPECT_EQ(sizeof(TypedArray), 16u);
    for (const char* t : {"u8", "i16", "i32", "i64", "f64"}) {
        TypedArray* a = create_userdata(lua.L, t, 2, 3, 5, 1, nullptr);
        ASSERT_NE(a, nullptr);
        EXPECT_EQ(to_typed_array(lua.L, -1), a);
        EXPECT_EQ((uintptr_t)ta_data(a) % 16, 0u) << t;
        EXPECT_EQ(ta_count(a), 15);
        lua_pop(lua.L, 1);
    }
    EXPECT_EQ(ta_elem_size_of(UT_U8), 1);
    EXPECT_EQ(ta_elem_size_of(UT_I16), 2);
    EXPECT_EQ(ta_elem_size_of(UT_I32), 4);
    EXPECT_EQ(ta_elem_size_of(UT_I64), 8);
    EXPECT_EQ(ta_elem_size_of(UT_F64), 8);
    EXPECT_STREQ(get_utype_string(14), "i64");
    EXPECT_STREQ(get_utype_string(4), "?");
    EXPECT_STREQ(get_utype_string(23), "?");
    EXPECT_STREQ(get_utype_string(-1), "?");
    EXPECT_EQ(str_to_utype(nullptr), UT_U8);
    EXPECT_EQ(str_to_utype("f32"), UT_I32);
    EXPECT_EQ(str_to_utype("u16"), UT_I16);
    EXPECT_EQ(str_to_utype("float"), UT_F64);
    EXPECT_EQ(str_to_utype("int"), UT_I64);
    EXPECT_EQ(str_to_utype("x"), UT_U8);
}

TEST(ArraysRecord, CreationAndAccessors) {
    ArrayLua lua;
    run_cases(lua, {
        {"local a = userdata('u8', 4, 4) return #a, a:attribs()", "16, 4, 4, \"u8\", 2"},
        {"return userdata('u8', 4, '01ff')", "[u8 4x1 d1: 1 255 0 0]"},
        {"return userdata('u8', 2, 1, '01ff')", "[u8 2x1 d2: 1 255]"},
        {"return userdata('f64', 3, '1.5,2')", "[f64 3x1 d1: 1.5 2.0 0.0]"},
        // The scan reads nothing at the '(' (0), moves past the ',' to 2,
        // then stops at the ')'.
        {"return userdata('f64', 3, '(1,2),3')", "[f64 3x1 d1: 0.0 2.0 0.0]"},
        {"return userdata('f64', 2, 'x')", "[f64 2x1 d1: 0.0 0.0]"},
        {"return userdata('[gfx]0201z_')", "[u8 2x1 d2: 35 62]"},
        {"return userdata('[gfx]0201')", "[u8 2x1 d2: 0 0]"},
        {"return userdata('i16', 3, 'hex:ffff0010')", "[i16 3x1 d1: -1 16 0]"},
        {"return userdata('i16', 3, '00010')", "[i16 3x1 d1: 1 0 0]"},
        {"return userdata('i32', 1, 'zz000001')", "[i32 1x1 d1: 1]"},
        {"return userdata('i64', 2, 'ffffffffffffffff8000000000000000')",
         "[i64 2x1 d1: -1 -9223372036854775808]"},
        {"return select(3, userdata('u16', 2):attribs())", "\"i16\", 1"},
        {"return select(3, userdata('f32', 2):attribs())", "\"i32\", 1"},
        {"return select(3, userdata('', 2):attribs())", "\"u8\", 1"},
        {"return userdata('u8', 0)", "(none)"},
        {"return userdata('u8')", "(none)"},
        {"return userdata('u8', 4, 0)", "(none)"},
        {"return userdata('u8', 16777217)", "(none)"},
        {"return userdata('f64', 2097153)", "(none)"},
        {"return #userdata('u8', 16777216)", "16777216"},
        {"return #userdata('f64', 2048, 1024)", "2097152"},
        {"return userdata('u8', 2.9)", "[u8 2x1 d1: 0 0]"},
        {"return vec(1, 'x', 3)", "[f64 3x1 d1: 1.0 0.0 3.0]"},
        {"return vec('1')", "(none)"},
        {"return vec(2):attribs()", "1, 1, \"f64\", 1"},
    });
}

TEST(ArraysRecord, GetSetIndex) {
    ArrayLua lua;
    lua.run("A = userdata('u8', 4, '0a0b0c0d') M = userdata('i32', 2, 2) set(M, 0, 1, 7, 8)");
    run_cases(lua, {
        {"return get(A, 0)", "10"},
        {"return get(A)", "10, 11, 12, 13"},
        {"return get(A, -1)", "0.0"},
        {"return get(A, 4)", "0.0"},
        {"return get(A, 3, 3)", "13, 0, 0"},
        {"return A:get(1, 2)", "11, 12"},
        {"return get(A, 1, 0)", "(none)"},
        {"return get(A, 'x')", "10, 11, 12, 13"},
        {"return get(M, 0, 1, 2)", "7, 8"},
        {"return get(M, 1, 1)", "8"},
        {"return get(M, 0, 2)", "0.0"},
        {"return get(A, 0, 1e9)", "(none)"},
        {"return get(A, 0, math.maxinteger)", "(none)"},
        {"return get(vec(1.5, 2))", "1.5, 2.0"},
        {"local a = userdata('u8', 2) set(a, 1, 5, 6) return a", "[u8 2x1 d1: 0 5]"},
        {"local a = userdata('u8', 2, '0102') set(a, 0) return a", "[u8 2x1 d1: 1 2]"},
        {"local a = userdata('u8', 2, '0102') set(a, 5, 9) set(a, -1, 9) return a", "[u8 2x1 d1: 1 2]"},
        {"local a = userdata('u8', 3) set(a, 0, 2.7, -1.5, 300) return a", "[u8 3x1 d1: 2 254 44]"},
        {"local a = vec(1, 2) set(a, 0, '3', 4) return a", "[f64 2x1 d1: 0.0 4.0]"},
        {"local a = userdata('i16', 2, 2) set(a, 1.9, 1, 5) return a", "[i16 2x2 d2: 0 0 0 5]"},
        {"local a = vec(1, 2, 3, 4, 5, 6, 7) return a.x, a.y, a.t, a.q, a.xy", "1.0, 2.0, 7.0, nil, nil"},
        {"local a = vec(1, 2) return a[1.5], a[1], a[2], a[-1], a[true]", "1.0, 2.0, nil, nil, nil"},
        {"local a = vec(1, 2) a[1.5] = 9 return a", "[f64 2x1 d1: 1.0 9.0]"},
        {"local a = vec(1, 2) a.y = 5 a.z = 6 a.width = 1 a[9] = 1 return a", "[f64 2x1 d1: 1.0 5.0]"},
        {"local a = userdata('i16', 2, 'fffe0003') return a[0], a[1]", "-2, 3"},
        {"local a = userdata('u8', 2) a[0] = 257 a[1] = 'x' return a", "[u8 2x1 d1: 1 0]"},
        {"local a = vec(1, 2) return a:width(), a:height(), #a", "2, nil, 2"},
        {"return userdata('i64', 3, 2):height()", "2"},
        {"return tostring(vec(1, 2))", "\"(1, 2)\""},
        {"return tostring(vec(1, 2, 0.5))", "\"(1, 2, 0.5)\""},
        {"return tostring(vec(1, 2, 3, 4))", "\"(1, 2, 3, 4)\""},
        {"return tostring(vec(0.5, 1, 2, 3, 4))", "\"(0.5, 1, 2, 3, 4)\""},
        {"return tostring(userdata('f64', 3, 4, '1,2,3,4,5,6,7,8,9,10,11,12'))",
         "\"(1, 2, 3),\n(4, 5, 6),\n(7, 8, 9),\n(10, 11, 12)\""},
        {"return tostring(userdata('f64', 2, 3, '1,2,3'))", "\"(1, 2)\""},
        {"return tostring(userdata('u8', 2)):sub(1, 12)", "\"userdata: 0x\""},
        {"return tostring(vec(1, 2, 3, 4, 5, 6)):sub(1, 12)", "\"userdata: 0x\""},
        {"return vec(1) == vec(1)", "false"},
    });
}

TEST(ArraysRecord, Mutate) {
    ArrayLua lua;
    run_cases(lua, {
        {"local a = userdata('u8', 4, 1, '01020304') local r = a:mutate('i16') return r, a:attribs()",
         "nil, 2, 1, \"i16\", 2"},
        {"local a = userdata('u8', 4, 1, '01020304') a:mutate('i16') return a", "[i16 2x1 d2: 513 1027]"},
        {"local a = userdata('i16', 2) return a:mutate('f64')",
         "\"can not mutate between integer and float data types\""},
        {"return vec(1):mutate('u8')", "\"can not mutate between integer and float data types\""},
        {"return userdata('u8', 4):mutate('u8', 8)", "\"new size is larger than old size\""},
        {"local a = userdata('u8', 4) a:mutate('u8', 2, 2) return a:attribs()", "2, 2, \"u8\", 2"},
        {"local a = userdata('u8', 2, 2) a:mutate('u8', 3) return a:attribs()", "3, 1, \"u8\", 1"},
        {"local a = userdata('i32', 4, 2) a:mutate('i16') return a:attribs()", "8, 2, \"i16\", 2"},
        {"local a = userdata('i32', 4, 2) a:mutate() return a:attribs()", "16, 2, \"u8\", 2"},
        // One new element wider than the old row: a width of 0 is refused.
        {"local a = userdata('u8', 2, 4) return a:mutate('i64'), a:attribs()",
         "\"new size is larger than old size\", 2, 4, \"u8\", 2"},
        {"return userdata('u8', 8):mutate('u8', 2^40)", "\"new size is larger than old size\""},
        {"return userdata('u8', 8):mutate('u8', 1e300, 1e300)", "\"new size is larger than old size\""},
        {"return userdata('u8', 8):mutate('u8', 2^32, 1)", "\"new size is larger than old size\""},
    });
}

TEST(ArraysElementwise, PartCases) {
    ArrayLua lua;
    run_cases(lua, {
        {"local a = userdata('u8', 1, 'ff') local b = a + 1 return b, a", "[u8 1x1 d1: 0], [u8 1x1 d1: 255]"},
        {"local a, b = vec(1, 2), vec(10, 20) local r = a:add(b, true) return r == a, a",
         "true, [f64 2x1 d1: 11.0 22.0]"},
        {"local a, b, c = vec(1, 2), vec(10, 20), vec(0, 0) local r = a:add(b, c) return r == c, c, a",
         "true, [f64 2x1 d1: 11.0 22.0], [f64 2x1 d1: 1.0 2.0]"},
        {"local a = vec(4) return 10 - a, a - 10", "[f64 1x1 d1: 6.0], [f64 1x1 d1: -6.0]"},
        {"return userdata('i16', 3, 'fffb00000007') / 0", "[i16 3x1 d1: -32767 32767 32767]"},
        {"return userdata('u8', 2, '0005') / 0", "[u8 2x1 d1: 255 255]"},
        {"return userdata('i32', 2, 'ffffffff00000000') // 0", "[i32 2x1 d1: -2147483647 2147483647]"},
        {"return userdata('i64', 2, 'ffffffffffffffff0000000000000000') / 0",
         "[i64 2x1 d1: -9223372036854775807 9223372036854775807]"},
        {"return vec(-1, 1, 0) / 0",
         "[f64 3x1 d1: -1.7976931348623157e+308 1.7976931348623157e+308 1.7976931348623157e+308]"},
        {"return vec(-1, 1) / -0.0", "[f64 2x1 d1: -1.7976931348623157e+308 1.7976931348623157e+308]"},
        {"local a, b = userdata('i32', 1, 'fffffff9'), userdata('i32', 1, '00000002') return a // b, a % b, a / b",
         "[i32 1x1 d1: -3], [i32 1x1 d1: 1], [i32 1x1 d1: -3]"},
        {"return userdata('i16', 2, 'fff90007') % -2", "[i16 2x1 d1: -1 -1]"},
        // Quotient -1 times divisor -3 must not overflow on the way (caught by UBSan).
        {"return userdata('i16', 2, '00037fff') % -3", "[i16 2x1 d1: 0 -2]"},
        {"return vec(-7) // 2, vec(-7) % 2, vec(7) % -2, vec(5.5) % 0", "[f64 1x1 d1: -4.0], [f64 1x1 d1: 1.0], [f64 1x1 d1: -1.0], [f64 1x1 d1: 0.0]"},
        {"return userdata('i32', 2, '0000000700000009') % 0", "[i32 2x1 d1: 0 0]"},
        {"local a = userdata('i32', 1, '0000c350') return a ^ 2, a ^ 3",
         "[i32 1x1 d1: -1794967296], [i32 1x1 d1: -2147483648]"},
        {"return userdata('u8', 1, '03') ^ 4, userdata('i16', 1, '0100') ^ 2", "[u8 1x1 d1: 81], [i16 1x1 d1: 0]"},
        {"return vec(3) ^ 2, vec(4) ^ 0.5, 2 ^ vec(3)", "[f64 1x1 d1: 9.0], [f64 1x1 d1: 2.0], [f64 1x1 d1: 8.0]"},
        {"return vec(1):band(vec(1))", "(none)"},
        {"return userdata('u8', 1) + userdata('i16', 1)", "nil"},
        {"return vec(1):add()", "(none)"},
        {"return USERDATA.add(1, 2)", "(none)"},
        {"return vec(1, 2):add(vec(1, 2), vec(1, 2, 3))", "(none)"},
        {"return vec(1, 2):add(vec(1, 2), userdata('i32', 2))", "(none)"},
        {"local a, b = userdata('u8', 24), userdata('u8', 24) b = b + 1 return a:add(b, nil, 0, 0, 4, 8, 8, 3)",
         "[u8 24x1 d1: 1 1 1 1 0 0 0 0 1 1 1 1 0 0 0 0 1 1 1 1 0 0 0 0]"},
        {"local a, b = userdata('u8', 24), userdata('u8', 24) b = b + 1 return a:add(b, nil, 0, 0, 4, 8, 8, 4)",
         "[u8 24x1 d1: 1 1 1 1 0 0 0 0 1 1 1 1 0 0 0 0 1 1 1 1 0 0 0 0]"},
        // A span cut short stops the walk: the second span is never done.
        {"local a = userdata('u8', 6) return a:add(1, nil, 0, 4, 4, 1, 1, 2)", "[u8 6x1 d1: 0 0 0 0 1 1]"},
        {"local a = userdata('u8', 6, '010203040506') return a:add(10, nil, 0, 2, 2)", "[u8 6x1 d1: 1 2 13 14 5 6]"},
        {"local a, b = userdata('u8', 4), userdata('u8', 2, '0102') return a:add(b)", "[u8 4x1 d1: 1 2 0 0]"},
        {"local a = userdata('u8', 4, '01020304') return a:add(a, true, 0, 1)", "[u8 4x1 d1: 1 3 6 10]"},
        // Destination overlapping b one element on: element by element, in order.
        {"local a = userdata('u8', 5, '0102030405') return a:copy(a, true, 0, 1)", "[u8 5x1 d1: 1 1 1 1 1]"},
        {"local a = userdata('u8', 5, '0102030405') return a:copy(a, true, 1, 0)", "[u8 5x1 d1: 2 3 4 5 5]"},
        {"local a = userdata('u8', 5, '0102030405') return a:copy(a, true, -2, 0)", "[u8 5x1 d1: 1 2 1 2 1]"},
        {"local a = userdata('u8', 5, '0102030405') return a:copy(9, true, 0, -2, 4)", "[u8 5x1 d1: 9 9 3 4 5]"},
        {"return vec(0/0, 1):max(vec(5, 0)), vec(1, 0/0):min(vec(0, 7))",
         "[f64 2x1 d1: 5.0 1.0], [f64 2x1 d1: 0.0 7.0]"},
        {"return USERDATA.max(3, userdata('i16', 2, '00010005')), userdata('i16', 2, '00010005'):min(3)",
         "[i16 2x1 d1: 3 5], [i16 2x1 d1: 1 3]"},
        {"return vec(-0.0):sgn0(), vec(-0.0):sgn(), vec(0/0):sgn(), vec(0/0):sgn0(), vec(-2, 3):sgn0()",
         "[f64 1x1 d1: 0.0], [f64 1x1 d1: 1.0], [f64 1x1 d1: -1.0], [f64 1x1 d1: -1.0], [f64 2x1 d1: -1.0 1.0]"},
        {"return userdata('u8', 2, '0009'):sgn(), userdata('u8', 2, '0009'):sgn0()",
         "[u8 2x1 d1: 1 1], [u8 2x1 d1: 0 1]"},
        {"return userdata('i16', 3, '8000fffd0004'):abs(), vec(-0.0, -2):abs(), userdata('u8', 1, 'ff'):abs()",
         "[i16 3x1 d1: -32768 3 4], [f64 2x1 d1: -0.0 2.0], [u8 1x1 d1: 255]"},
        {"return userdata('i16', 2):abs(-3), vec(1, 2):copy(7), userdata('i32', 2):sgn(-5)",
         "[i16 2x1 d1: 3 3], [f64 2x1 d1: 7.0 7.0], [i32 2x1 d1: -1 -1]"},
        {"local a, b = userdata('i16', 2, '00010002'), userdata('i16', 2, 'fff90003') return a:abs(b), a",
         "[i16 2x1 d1: 7 3], [i16 2x1 d1: 1 2]"},
        {"return userdata('u8', 1, '80') >> 1, userdata('i16', 1, '8000') >> 1, userdata('u8', 1, '81') << 1",
         "[u8 1x1 d1: 64], [i16 1x1 d1: -16384], [u8 1x1 d1: 2]"},
        {"return userdata('i16', 1, '4001') << 2, userdata('i32', 1, '80000000') >> 31",
         "[i16 1x1 d1: 4], [i32 1x1 d1: -1]"},
        // Counts outside the defined range: every bit shifted out.
        {"return userdata('i32', 1, '00000001') << 40, userdata('i32', 1, 'fffffff8') >> 40, userdata('i32', 1, '00000008') >> -1",
         "[i32 1x1 d1: 0], [i32 1x1 d1: -1], [i32 1x1 d1: 0]"},
        {"return userdata('i64', 1, '0000000000000001') << 63, userdata('i64', 1, '0000000000000001') << 64",
         "[i64 1x1 d1: -9223372036854775808], [i64 1x1 d1: 0]"},
        {"return userdata('u8', 2, '0f0c') & 6, userdata('u8', 2, '0f0c') | 0x30, userdata('u8', 2, '0f0c') ~ 0xff",
         "[u8 2x1 d1: 6 4], [u8 2x1 d1: 63 60], [u8 2x1 d1: 240 243]"},
        // MIN / -1 saturates; MIN % -1 is 0.
        {"local a = userdata('i32', 1, '80000000') return a // -1, a / -1, a % -1",
         "[i32 1x1 d1: 2147483647], [i32 1x1 d1: 2147483647], [i32 1x1 d1: 0]"},
        {"local a = userdata('i64', 1, '8000000000000000') return a // -1, a % -1",
         "[i64 1x1 d1: 9223372036854775807], [i64 1x1 d1: 0]"},
        {"local a = userdata('i16', 1, '8000') return a // -1, a / -1, a % -1",
         "[i16 1x1 d1: -32768], [i16 1x1 d1: -32768], [i16 1x1 d1: 0]"},
        // Scalars convert once: truncated, low bits kept, out of range the most negative.
        {"local a = userdata('u8', 1) return a + 300, a + 2.9, a - 2.9, a + 1e20",
         "[u8 1x1 d1: 44], [u8 1x1 d1: 2], [u8 1x1 d1: 254], [u8 1x1 d1: 0]"},
        {"local a = userdata('i32', 1) return a + 1e20, a + (2^31 + 0.0), a + 0/0, a + math.maxinteger",
         "[i32 1x1 d1: -2147483648], [i32 1x1 d1: -2147483648], [i32 1x1 d1: -2147483648], [i32 1x1 d1: -2147483648]"},
        {"local a = userdata('i64', 1) return a + math.maxinteger, a + 1e300",
         "[i64 1x1 d1: 9223372036854775807], [i64 1x1 d1: -9223372036854775808]"},
        {"return vec(1):add('5'), USERDATA.add('5', vec(1)), vec(1):add({})",
         "[f64 1x1 d1: 1.0], [f64 1x1 d1: 6.0], [f64 1x1 d1: 1.0]"},
        {"local a = userdata('i32', 1, '7fffffff') return a + 1, a * 2, userdata('i16', 1, '8000') - 1",
         "[i32 1x1 d1: -2147483648], [i32 1x1 d1: -2], [i16 1x1 d1: 32767]"},
        {"return userdata('i64', 1, '7fffffffffffffff') + 1, userdata('i64', 1, '7fffffffffffffff') * 3",
         "[i64 1x1 d1: -9223372036854775808], [i64 1x1 d1: 9223372036854775805]"},
    });
}

TEST(ArraysConvert, ConvertTakeClear) {
    ArrayLua lua;
    run_cases(lua, {
        {"return userdata('i16', 2, '012cffff'):convert('u8')", "[u8 2x1 d1: 44 255]"},
        {"return vec(-0.5, 2.9):convert('i32')", "[i32 2x1 d1: -1 2]"},
        {"return vec(255.9, 256, -1, 1e10):convert('u8')", "[u8 4x1 d1: 255 0 255 0]"},
        {"return vec(1e10, 0/0, -2^31):convert('i32')", "[i32 3x1 d1: -2147483648 -2147483648 -2147483648]"},
        {"return vec(1e300, -3.5):convert('i64')", "[i64 2x1 d1: -9223372036854775808 -4]"},
        {"return userdata('i64', 1, 'ffffffffffffffff'):convert('f64'), userdata('u8', 1, 'ff'):convert('i16')",
         "[f64 1x1 d1: -1.0], [i16 1x1 d1: 255]"},
        {"return userdata('i32', 2, 2, '00010000ffffffff0000000200000003'):convert()", "[u8 2x2 d2: 0 255 2 3]"},
        {"local a = userdata('u8', 2, '0102') local b = a:convert('u8') b[0] = 9 return b ~= a, a, b",
         "true, [u8 2x1 d1: 1 2], [u8 2x1 d1: 9 2]"},
        {"return userdata('u8', 4, '07070907'):convert('u8', true)", "[u8 4x1 d1: 0 0 1 0], [u8 2x1 d1: 7 9]"},
        {"return vec(1.2, 1.7, -0.5, 3):convert('u8', true)", "[u8 4x1 d1: 0 0 1 2], [f64 3x1 d1: 1.0 0.0 3.0]"},
        {"return userdata('i16', 2, 2, '0005fffb00050005'):convert('u8', true)",
         "[u8 2x2 d2: 0 1 0 0], [i16 2x1 d1: 5 -5]"},
        {"return vec(1, 2):convert('u8', false)", "[u8 2x1 d1: 1 2]"},
        {"return vec(1):convert('u8x', true)", "[u8 1x1 d1: 1]"},
        {"local s, i = userdata('i32', 3, '0000000a0000001400000000'), userdata('i32', 2, '0000000200000000') "
         "return s:copy(i)",
         "[i32 2x1 d1: 0 10]"},
        {"local s, i = userdata('u8', 3, '0a141e'), userdata('i32', 3, '000000020000000000000002') return s:take(i)",
         "[u8 3x1 d1: 30 10 30]"},
        {"local s, i = userdata('u8', 3, '0a141e'), userdata('i32', 2, 2, '00000002000000000000000100000001') "
         "return s:take(i)",
         "[u8 2x2 d2: 30 10 20 20]"},
        {"local s = userdata('u8', 16, '000102030405060708090a0b0c0d0e0f') "
         "return s:take(userdata('i32', 2, '0000000000000008'), nil, 0, 0, 4)",
         "[u8 4x2 d2: 0 1 2 3 8 9 10 11]"},
        {"local s = userdata('u8', 16, '000102030405060708090a0b0c0d0e0f') "
         "return s:take(userdata('i32', 1, '0000000e'), nil, 0, 0, 4), "
         "s:take(userdata('i32', 1, '00000010'), nil, 0, 0, 4), "
         "s:take(userdata('i32', 1, 'fffffffe'), nil, 0, 0, 4)",
         "[u8 4x1 d2: 14 15 0 0], [u8 4x1 d2: 0 0 0 0], [u8 4x1 d2: 0 0 0 1]"},
        {"local s, d = userdata('u8', 4, '01020304'), userdata('u8', 6) "
         "return s:take(userdata('i32', 2, '0000000300000000'), d, 0, 1, 1, 1, 2)",
         "[u8 6x1 d1: 0 4 0 1 0 0]"},
        {"local s = userdata('u8', 4, '01020304') return s:take(userdata('i32', 2, '0000000300000000'), true)",
         "[u8 4x1 d1: 4 4 3 4]"},
        {"local s = userdata('u8', 4) return s:take(userdata('i32', 1), userdata('i16', 4))", "(none)"},
        {"return userdata('u8', 4):take(userdata('i16', 1))", "(none)"},
        {"return userdata('u8', 4, '01020304'):take(userdata('i32', 4), nil, 0, 0, 1, 0)", "[u8 4x1 d1: 0 0 0 0]"},
        {"local a = userdata('i16', 10) a = a + 7 local r = a:clear() return r, a",
         "nil, [i16 10x1 d1: 0 0 0 0 0 0 0 0 0 0]"},
    });
    // Palette overflow: 300 distinct values.
    EXPECT_EQ(lua.run("local a = userdata('i16', 300) for i = 0, 299 do a[i] = i * 3 end "
                      "local ix, p = a:convert('u8', true) return ix[0], ix[254], ix[255], ix[299], #p, p[255]"),
              "0, 254, 255, 255, 256, 765");
}

TEST(ArraysLinalg, Methods) {
    ArrayLua lua;
    float d = (float)(0.0 - 0.1);
    float sq = d * d;
    std::string dist = fmt_num(std::sqrt((double)sq));
    run_cases(lua, {
        {"return vec(3, 4):magnitude(), vec(1, 2, 3):dot(vec(4, 5)), vec(1, 2, 3):dot(vec(4, 5, 6))", "5.0, 14.0, 32.0"},
        {"return userdata('i32', 2):magnitude(), vec(1):dot(userdata('u8', 1))", "nil"},
        {"return vec(1, 2, 3):cross(vec(4, 5, 6))", "[f64 3x1 d1: -3.0 6.0 -3.0]"},
        {"return vec(1, 0, 0):cross(vec(0, 1, 0)), vec(1, 0, 0):cross(userdata('f64', 4, '0,1,0,5'))",
         "[f64 3x1 d1: 0.0 0.0 1.0], [f64 4x1 d1: 0.0 0.0 1.0 5.0]"},
        {"local a = vec(1, 0, 0) local r = a:cross(vec(0, 1, 0), true) return r == a, a", "true, [f64 3x1 d1: 0.0 0.0 1.0]"},
        {"return vec(1, 0):cross(vec(0, 1, 0)), vec(1, 0, 0):cross(vec(0, 1, 0), userdata('i32', 3))", "nil"},
        {"return userdata('f64', 3, 2, '1,2,3,4,5,6'):matmul(userdata('f64', 2, 3, '7,8,9,10,11,12'))",
         "[f64 2x2 d2: 58.0 64.0 139.0 154.0]"},
        {"local a = userdata('f64', 2, 2, '1,2,3,4') local r = a:matmul(userdata('f64', 2, 2, '5,6,7,8'), true) "
         "return r == a, a",
         "true, [f64 2x2 d2: 19.0 22.0 43.0 50.0]"},
        {"local a = userdata('f64', 2, 2, '1,2,3,4') return a:matmul(a, true)", "[f64 2x2 d2: 7.0 10.0 15.0 22.0]"},
        {"local a, b = userdata('f64', 2, 2, '1,2,3,4'), userdata('f64', 2, 2, '5,6,7,8') a:matmul(b, b) return b",
         "[f64 2x2 d2: 19.0 22.0 43.0 50.0]"},
        {"return vec(1, 2, 3):matmul(userdata('f64', 2, 3, '1,0,0,1,1,1'))", "[f64 2x1 d2: 4.0 5.0]"},
        {"return vec(1, 2):matmul(vec(1, 2)), vec(1, 2):matmul(userdata('f64', 1, 2), userdata('f64', 2, 1))", "nil"},
        {"return vec(1, 2, 3):matmul3d(userdata('f64', 3, 4, '1,0,0,0,1,0,0,0,1,10,20,30'))", "[f64 3x1 d1: 11.0 22.0 33.0]"},
        {"return userdata('f64', 3, 4, '1,0,0,0,1,0,0,0,1,1,1,1'):matmul3d(userdata('f64', 3, 4, '2,0,0,0,2,0,0,0,2,10,20,30'))",
         "[f64 3x4 d2: 2.0 0.0 0.0 0.0 2.0 0.0 0.0 0.0 2.0 12.0 22.0 32.0]"},
        {"local a = vec(1, 2, 3, 9) a:matmul3d(userdata('f64', 3, 4, '0,1,0,1,0,0,0,0,1,0,0,0'), true) return a",
         "[f64 4x1 d1: 2.0 1.0 3.0 9.0]"},
        {"return vec(1, 2, 3):matmul3d(userdata('f64', 3, 3)), vec(1, 2):matmul3d(userdata('f64', 3, 4))", "nil"},
        {"return vec(1, 2):matmul2d(userdata('f64', 2, 3, '1,0,0,1,5,6'))", "[f64 2x1 d1: 6.0 8.0]"},
        {"return userdata('f64', 2, 3, '1,0,0,1,1,1'):matmul2d(userdata('f64', 2, 3, '0,1,1,0,5,6'))",
         "[f64 2x3 d2: 0.0 1.0 1.0 0.0 6.0 7.0]"},
        {"return userdata('i32', 3, 2, '000000010000000200000003000000040000000500000006'):transpose()",
         "[i32 2x3 d2: 1 4 2 5 3 6]"},
        {"local a = userdata('u8', 3, 2, '010203040506') a:transpose(true) return a", "[u8 3x2 d2: 1 4 3 2 5 6]"},
        {"local a = userdata('u8', 3, 2, '010203040506') return a:transpose(userdata('u8', 2, 2))", "[u8 2x2 d2: 1 4 2 5]"},
        {"return userdata('u8', 2, 2):transpose(userdata('i16', 2, 2))", "(none)"},
        {"local a = userdata('u8', 10, 1, '0a000000000000000014') return a:lerp()", "[u8 10x1 d2: 10 11 12 13 14 15 16 17 18 20]"},
        {"local a = userdata('u8', 6, '0a0000000005') return a:lerp()", "[u8 6x1 d1: 10 9 8 7 6 5]"},
        {"local a = vec(0, 0, 0, 1) return a:lerp(0, 3)", "[f64 4x1 d1: 0.0 0.33333333333333331 0.66666666666666663 1.0]"},
        {"local a = userdata('i16', 3, 2, '000100000003fff60000fff0') return a:lerp(0, 2)", "[i16 3x2 d2: 1 2 3 -10 -13 -16]"},
        {"local a = userdata('u8', 5, '0a00140028') return a:lerp(0, 2, 2, 1)", "[u8 5x1 d1: 10 0 25 0 40]"},
        {"local a = userdata('u8', 4, '01020304') return a:lerp(0, 1)", "[u8 4x1 d1: 1 2 3 4]"},
        {"local a = userdata('u8', 4) return a:lerp(0, 4), a:lerp(-1), a:lerp(0, 0), a:lerp(0, 2, 0)", "nil, nil, nil"},
        {"return userdata('u8', 4, '01020304'):row(0), userdata('u8', 4):row(1)", "[u8 4x1 d2: 1 2 3 4]"},
        {"return userdata('i16', 2, 2, '0001000200030004'):row(1), userdata('i16', 2, 2, '0001000200030004'):column(1)",
         "[i16 2x1 d2: 3 4], [i16 1x2 d2: 2 4]"},
        {"return userdata('i16', 2, 2):column(2), userdata('i16', 2, 2):column(), userdata('i16', 2, 2):row(-1)", "nil, nil"},
        {"return vec(0, 0):distance(vec(0.1, 0)), vec(1, 1, 1):distance(vec(1, 1))", dist + ", 0.0"},
    });
}

TEST(ArraysSort, Cases) {
    ArrayLua lua;
    run_cases(lua, {
        {"local a = userdata('i32', 3, '000000030000000100000002') a:sort() return a", "[i32 3x1 d1: 1 2 3]"},
        {"local a = userdata('i32', 3, '000000030000000100000002') a:sort(0, true) return a", "[i32 3x1 d1: 3 2 1]"},
        {"local a = userdata('i32', 3, '000000030000000100000002') a:sort(0, false) return a", "[i32 3x1 d1: 1 2 3]"},
        {"local a = userdata('f64', 2, 3, '3,9,1,8,2,7') a:sort(1) return a", "[f64 2x3 d2: 2.0 7.0 1.0 8.0 3.0 9.0]"},
        {"local a = userdata('f64', 2, 3, '3,9,1,8,2,7') a:sort(0, true) return a", "[f64 2x3 d2: 3.0 9.0 2.0 7.0 1.0 8.0]"},
        {"local a = userdata('i16', 3, 1, '000300010002') a:sort() return a", "[i16 3x1 d2: 1 2 3]"},
        {"local a = userdata('u8', 3, '030102') return a:sort(1), a:sort(-1), a", "nil, nil, [u8 3x1 d1: 3 1 2]"},
        {"local a = userdata('u8', 2, 2, '03010102') return a:sort(2)", "(none)"},
        {"local a = userdata('i64', 3, '8000000000000000ffffffffffffffff7fffffffffffffff') a:sort(0, true) return a",
         "[i64 3x1 d1: 9223372036854775807 -1 -9223372036854775808]"},
        {"local a = vec(3, 0/0, 1, 0/0, 2) a:sort() return a[2], a[3], a[4], a[0] ~= a[0], a[1] ~= a[1]",
         "1.0, 2.0, 3.0, true, true"},
        {"local a = vec(3, 0/0, 1, 2) a:sort(0, true) return a[0], a[1], a[2], a[3] ~= a[3]", "3.0, 2.0, 1.0, true"},
    });
    // The result counts comparisons and is the charge.
    lua.run("S = userdata('i32', 1000) for i = 0, 999 do S[i] = (i * 7919) % 1000 end");
    lua_getglobal(lua.L, "USERDATA");
    lua_getfield(lua.L, -1, "sort");
    lua_getglobal(lua.L, "S");
    cpu_cycles = 0;
    ASSERT_EQ(lua_pcall(lua.L, 1, 1, 0), LUA_OK);
    int64_t n = lua_tointeger(lua.L, -1);
    lua_settop(lua.L, 0);
    EXPECT_GT(n, 999);
    EXPECT_EQ(cpu_cycles, n);
    EXPECT_EQ(lua.run("for i = 1, 999 do if S[i - 1] > S[i] then return i end end return 'ok'"), "\"ok\"");
}

// Cycles charged by one call of USERDATA[method] on the values the setup chunk returns.
int64_t charge_of(ArrayLua& lua, const char* method, const char* args) {
    lua_State* L = lua.L;
    lua_getglobal(L, "USERDATA");
    lua_getfield(L, -1, method);
    lua_remove(L, -2);
    int base = lua_gettop(L);
    EXPECT_EQ(luaL_loadstring(L, (std::string("return ") + args).c_str()), LUA_OK);
    EXPECT_EQ(lua_pcall(L, 0, LUA_MULTRET, 0), LUA_OK);
    int nargs = lua_gettop(L) - base;
    cpu_cycles = 0;
    EXPECT_EQ(lua_pcall(L, nargs, LUA_MULTRET, 0), LUA_OK);
    lua_settop(L, base - 1);
    return cpu_cycles;
}

TEST(ArraysCpu, Charges) {
    ArrayLua lua;
    lua.run("U = userdata('u8', 4096) I = userdata('i64', 1000) F = userdata('f64', 100) "
            "P = userdata('i16', 10) M = userdata('f64', 3, 2) N = userdata('f64', 2, 3) "
            "S = userdata('u8', 64) IX = userdata('i32', 48)");
    struct {
        const char* method;
        const char* args;
        int64_t cycles;
    } cases[] = {
        {"add", "U, U", 32 + 4096 / 24},       // new copy count >> 7, then total / 24
        {"add", "U, U, true", 4096 / 24},
        {"mul", "U, 3, true, 0, 0, 16777216, 1, 1, 9", 2 + 4096 / 16},
        {"div", "I, I, true", 1000 / 2},
        {"mod", "F, F, true", 100 / 4},
        {"pow", "F, 3, true", 100},
        {"max", "I, 1, true", 500},
        {"band", "F, F", 0},                    // refused: no charge
        {"clear", "P", 1},                      // 20 bytes >> 6 is 0: the minimum charge
        {"convert", "F, 'i32'", 200},
        {"convert", "U, 'i16'", 4096},
        {"convert", "U, 'u8'", 0},
        {"convert", "U, 'u8', true", 4096},
        {"get", "P", 5},
        {"matmul", "M, N", 1},
        {"magnitude", "F", 100 / 8 + 2},
        {"dot", "F, F", 100 / 8 + 1},
        {"take", "S, IX, nil, 0, 0, 1", 48 / 2 + 48 / 24},
        {"row", "U", 0},
        // An operand that is also the destination is charged its scratch copy.
        {"matmul", "userdata('f64', 32, 32), userdata('f64', 32, 32), true", 1024 / 256 + 32 * 32 * 32 / 8},
        {"matmul3d", "userdata('f64', 600, 1), userdata('f64', 3, 4), true", 600 / 256 + 1},
        {"matmul2d", "(function() local m = userdata('f64', 300, 3) return vec(1, 2), m, m end)()", 900 / 256 + 1},
        {"cross", "F, F, true", 2},
    };
    for (auto& c : cases) EXPECT_EQ(charge_of(lua, c.method, c.args), c.cycles) << c.method << "(" << c.args << ")";
    // Creation with a data text charges count * bits / 32.
    cpu_cycles = 0;
    ASSERT_NE(create_userdata(lua.L, "i32", 1, 100, 1, 1, "00"), nullptr);
    EXPECT_EQ(cpu_cycles, 100);
    cpu_cycles = 0;
    ASSERT_NE(create_userdata(lua.L, "u8", 2, 10, 10, 1, "00"), nullptr);
    EXPECT_EQ(cpu_cycles, 25);
}

TEST(ArraysHostile, RefusedPromptly) {
    ArrayLua lua;
    auto t0 = std::chrono::steady_clock::now();
    lua.run("A = userdata('u8', 1024) B = userdata('u8', 1024) X = userdata('i32', 1024) F = vec(1, 2, 3) "
            "H = math.maxinteger L = math.mininteger");
    run_cases(lua, {
        {"return userdata('u8', 1e300)", "(none)"},
        {"return userdata('u8', -5)", "(none)"},
        {"return userdata('u8', 0/0)", "(none)"},
        {"return userdata('f64', 2^31, 2^31)", "(none)"},
        {"return userdata('u8', 2^32 + 1)", "(none)"},
        {"return userdata('u8', 1, 2^32 + 1)", "(none)"},
        {"return userdata('u8', H, H)", "(none)"},
        {"return get(A, 0, H)", "(none)"},
        {"return get(A, H, H)", "(none)"},
        {"return get(A, L)", "0.0"},
        {"return #A:add(B, nil, L, H, H, L, H, H)", "1024"},
        {"return #A:add(B, nil, H, L, L, H, L, L)", "1024"},
        {"return #A:add(1, nil, 0, 0, H, 0, 0, H)", "1024"},
        {"return #A:add(1, true, 0, 0, 1, 0, 0, H)", "1024"},
        {"return #A:pow(B, true, 0, 0, H, 0, 0, H)", "1024"},
        {"return #A:add(B, true, 0, 0, 0/0, 1, 1, 1e300)", "1024"},
        {"return #A:add(B, true, L, L, L, L, L, L)", "1024"},
        {"return #A:take(X, nil, 0, 0, 1, 1, 1, H)", "1024"},
        {"return A:take(X, nil, 0, 0, H)", "(none)"},
        {"return A:take(X, nil, 0, 0, -1)", "(none)"},
        {"return #A:take(X, true, 0, 0, 1024, 1, 0, H)", "1024"},
        {"return #A:take(X, true, L, L, H, H, H, H)", "1024"},
        {"return #A:take(X, true, L, 0, 1, 1, 1, H)", "1024"},
        {"return #A:take(X, true, L + 1, 0, 1, 1, 1, H)", "1024"},
        {"return #A:take(X, true, H, H, 2, 0, -1, 4)", "1024"},
        {"return #A:take(X, true, -5, -5, 3, -1, -1, 9)", "1024"},
        {"return A:lerp(0, H)", "(none)"},
        {"return A:lerp(H)", "(none)"},
        {"return A:lerp(0, 1, 1, H, 1)", "(none)"},
        {"return A:lerp(0, 2, H // 4, 1)", "(none)"},
        {"return A:lerp(0, 2, 1, H, H)", "(none)"},
        {"local z = userdata('u8', 16777216) return z:lerp(0, 8000000, 1, 8000000, 1)", "(none)"},
        {"return F:cross(vec(1, 2))", "(none)"},
        {"return A:sort(H)", "(none)"},
        {"return A:row(H)", "(none)"},
        {"return A:column(L)", "(none)"},
        {"return USERDATA.add(nil, nil)", "(none)"},
        {"return USERDATA.sort()", "(none)"},
        {"return USERDATA.get({})", "(none)"},
        {"return A:mutate('u8', H, H)", "\"new size is larger than old size\""},
        // Products of huge program numbers that overflow even 128 bits.
        {"return A:mutate('i64', H, H), A:mutate('i16', H, H)",
         "\"new size is larger than old size\", \"new size is larger than old size\""},
        {"return A:lerp(0, H, H, H, H), A:lerp(H, H, H, H, H)", "nil"},
    });
    double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    EXPECT_LT(secs, 30.0);
}

TEST(ArraysHostile, ForeignUserdataIsNotAnArray) {
    ArrayLua lua;
    lua_State* L = lua.L;
    // A userdata of the right size whose header is garbage, one whose header
    // claims more elements than it holds, and a genuine header copied into a
    // userdata of another kind: each given the array metatable.
    auto make = [&](const char* name, size_t size, const void* bytes, size_t nbytes) {
        void* u = lua_newuserdatauv(L, size, 0);
        memset(u, 0xff, size);
        if (bytes) memcpy(u, bytes, nbytes);
        lua_getglobal(L, "USERDATA");
        lua_setmetatable(L, -2);
        lua_setglobal(L, name);
    };
    make("G1", 64, nullptr, 0);
    TypedArray* real = create_typed_array(L, UT_U8, 2, 64, 64);
    TypedArray hdr = *real;
    lua_pop(L, 1);
    make("G2", sizeof(TypedArray) + 16, &hdr, sizeof hdr);
    make("G3", 8, nullptr, 0);
    TypedArray wide = hdr;
    wide.width = 0xffffffff;
    wide.height = 0xffffffff;
    make("G4", sizeof(TypedArray) + 64, &wide, sizeof wide);
    EXPECT_EQ(to_typed_array(L, LUA_REGISTRYINDEX), nullptr);
    for (const char* g : {"G1", "G2", "G3", "G4"}) {
        std::string s = g;
        for (const char* m : {"add", "get", "sort", "convert", "take", "clear", "lerp", "transpose", "mutate",
                              "width", "attribs", "__len", "__index", "__tostring", "copy", "row", "matmul"}) {
            EXPECT_EQ(lua.run("return USERDATA." + std::string(m) + "(" + s + ", " + s + ")"), "(none)") << g << " " << m;
        }
        EXPECT_EQ(lua.run("return get(" + s + "), set(" + s + ", 0, 1)"), "nil");
        EXPECT_EQ(lua.run("return USERDATA.add(vec(1), " + s + ")"), "[f64 1x1 d1: 1.0]");
    }
    // A program can't take an array's metatable away; the array keeps working.
    EXPECT_EQ(lua.run("local a = vec(1, 2) return (pcall(debug.setmetatable, a, nil)), get(a)"),
              "false, 1.0, 2.0");
    // Arrays made under a replaced USERDATA are arrays too.
    EXPECT_EQ(lua.run("local old = USERDATA USERDATA = setmetatable({}, {__index = old}) "
                      "USERDATA.__index = old.__index local a = vec(5) USERDATA = old return old.add(a, 1)"),
              "[f64 1x1 d1: 6.0]");
}

}  // namespace

#include "support/harness.h"

namespace {

// In a real process state (the kernel's allocator) the elements of every
// array start on a 16-byte boundary; __tostring shows the record's address.
TEST(ArraysRecord, DataAlignedInProcessState) {
    std::vector<std::string> got = harness_eval({
        "(function() local bad = 0 for i = 1, 200 do "
        "local s = tostring(userdata('u8', i)) local v = tonumber(s:sub(13), 16) "
        "if (v + 16) % 16 ~= 0 then bad = bad + 1 end end return bad end)()",
        "get(userdata('u8', 2, '0102'))",
    });
    harness_shutdown();
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0], "0");
    EXPECT_EQ(got[1], "1, 2");
}

}  // namespace
