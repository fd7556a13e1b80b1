// time, stat, date, the table helpers, maths in turns and random numbers, run
// as Lua in the root process of an in-process kernel.
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include "cases.h"
#include "kernel/process.h"
#include "kernel/state.h"

static std::string F(double v) { return harness_float(v); }

TEST(Maths, TurnsAndRounding) {
    const double P = 3.141562;  // the system's constant, not pi
    check_cases({
        {"cos(0)", "1.0"}, {"cos(0.25)", "0.0"}, {"cos(0.5)", "-1.0"}, {"cos(0.75)", "0.0"},
        {"cos(1.25)", "0.0"}, {"cos(0.1)", F(std::cos(2 * P * 0.1))},
        {"cos(-0.25)", F(std::cos(2 * P * -0.25))},  // fmod keeps the sign: the formula, not 0
        {"cos('x')", "1.0"}, {"cos(1/0)", "nan"},
        {"sin(0)", "0.0"}, {"sin(0.25)", "-1.0"}, {"sin(0.5)", "0.0"}, {"sin(0.75)", "1.0"},
        {"sin(0.1)", F(std::sin(-2 * P * 0.1))},
        {"atan2(1, 0)", "0.0"}, {"atan2(0, 1)", F(std::atan2(-1.0, 0.0) / 6.283124)},
        {"atan2(-1, 0)", F(std::atan2(-0.0, -1.0) / 6.283124)},
        {"atan2(1, 1)", F(std::atan2(-1.0, 1.0) / 6.283124)},
        {"sgn(0)", "1"}, {"sgn(-3)", "-1"}, {"sgn(-0.5)", "-1.0"}, {"sgn(2.5)", "1.0"}, {"sgn('x')", "1"},
        {"abs(math.mininteger)", "9223372036854775807"}, {"abs(-3)", "3"}, {"abs(-2.5)", "2.5"},
        {"abs('x')", "~number expected"},
        {"max(3, 4.5)", "4.5"}, {"max(3, 'x')", "3"}, {"min(3, 'x')", "0"}, {"max(2, 3)", "3"},
        {"min(3, 4.5)", "3.0"}, {"max(3.5, 2)", "3.5"}, {"max(0/0, 1)", "1.0"}, {"max('5', 2)", "5.0"},
        {"mid(1, 5, 3)", "3"}, {"mid(5, 'x', 3)", "3"}, {"mid(1.5, 0, 2)", "1.5"}, {"mid(1, 2.5, 3)", "2.5"},
        {"mid(3, 1, 2)", "2"},
        {"sqrt(16)", "4.0"}, {"sqrt('x')", "0.0"},
        {"flr(2.7)", "2"}, {"flr(-2.5)", "-3"}, {"flr(5)", "5"}, {"flr('2.5')", "2"}, {"flr('x')", "0"},
        {"flr()", "0"}, {"flr(0/0)", "0"}, {"flr(1/0)", "9223372036854775807"},
        {"flr(-1/0)", "-9223372036854775808"}, {"flr(1e300)", "9223372036854775807"},
        {"ceil(2.1)", "3"}, {"ceil(-2.5)", "-2"}, {"ceil(7)", "7"}, {"ceil(0/0)", "0"},
        {"ceil(1/0)", "9223372036854775807"},
    });
}

TEST(Tables, AddDeliDelCount) {
    check_cases({
        {"(function() local t = {1, 2} return add(t, 9), t end)()", "9, {1, 2, 9}"},
        {"(function() local t = {1, 2} return add(t, 9, 1), t end)()", "9, {9, 1, 2}"},
        {"(function() local t = {1, 2} return add(t, 9, 3), t end)()", "9, {1, 2, 9}"},
        {"add({1, 2}, 9, 0)", "~bad argument #2"},
        {"add({1, 2}, 9, 0)", "~position out of bounds"},
        {"add({1, 2}, 9, 4)", "~position out of bounds"},
        {"add({1, 2}, 9, 1, 1)", "~wrong number of arguments to 'insert'"},
        {"add({1})", "(none)"},
        {"add(nil, 1)", "~table expected"},
        {"(function() local t = {1, 2, 3} return deli(t), t end)()", "3, {1, 2}"},
        {"(function() local t = {1, 2, 3} return deli(t, 1), t end)()", "1, {2, 3}"},
        {"deli({1, 2, 3}, 5)", "(none)"}, {"deli({1, 2, 3}, 0)", "(none)"}, {"deli({})", "(none)"},
        {"deli('x')", "~table expected"},
        {"add({1}, 2, 1/0)", "~position out of bounds"}, {"deli({1}, -1/0)", "(none)"},
        {"(function() local t = {1, 2, 3, 2} return del(t, 2), t end)()", "2, {1, 3, 2}"},
        {"del({1, 2}, 9)", "(none)"}, {"del({1})", "(none)"}, {"del(5, 1)", "(none)"},
        {"count({1, 2, 1}, 1)", "2"}, {"count({1, 2, 1})", "3"}, {"count(5)", "(none)"},
        {"count({1, 2, 1}, 3)", "0"},
        // Lua equality, __eq included
        {"(function() local mt = {__eq = function(a, b) return a.k == b.k end}"
         " local a, b = setmetatable({k = 1}, mt), setmetatable({k = 1}, mt)"
         " local t = {a, 5} return del(t, b) == a, #t, count({a, a}, b) end)()",
         "true, 1, 2"},
    });
}

// The published xoshiro256** and the system's seeding rule, written out again
// here as the oracle.
struct Xoshiro {
    uint64_t s[4] = {0, 0, 0, 0};
    static uint64_t rotl(uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }
    uint64_t next() {
        const uint64_t result = rotl(s[1] * 5, 7) * 9;
        const uint64_t t = s[1] << 17;
        s[2] ^= s[0];
        s[3] ^= s[1];
        s[1] ^= s[2];
        s[0] ^= s[3];
        s[2] ^= t;
        s[3] = rotl(s[3], 45);
        return result;
    }
    explicit Xoshiro(uint64_t seed) {
        s[0] = seed ^ 0xDEADBEEF;
        s[1] = 0xFF;
        s[2] = rotl(seed, 32);
        s[3] = 0;
        for (int i = 0; i < 8; i++) next();
    }
    Xoshiro() = default;
};

TEST(Random, SeededSequencesMatchTheGenerator) {
    Xoshiro x(42);
    double a = (double)(x.next() & 0xffffffffu) / 4294967296.0;
    double b = (double)(x.next() & 0xffffffffu) * 10.0 / 4294967296.0;
    long long c = (long long)(x.next() % 3) + 1;
    double d = (double)(x.next() & 0xffffffffu) * 2.5 / 4294967296.0;
    Xoshiro y((uint64_t)-7);
    double e = (double)(y.next() & 0xffffffffu) / 4294967296.0;
    Xoshiro z((uint64_t)-8);
    double h = (double)(z.next() & 0xffffffffu) / 4294967296.0;
    check_cases({
        {"rnd({})", "(none)"},
        {"rnd(0)", "0.0"},
        {"(function() srand(42) return rnd(), rnd(10), rnd({'a', 'b', 'c'}), rnd(2.5) end)()",
         F(a) + ", " + F(b) + ", \"" + std::string(1, (char)('a' + c - 1)) + "\", " + F(d)},
        {"(function() srand(-7.5) return rnd() end)()", F(h)},  // the seed is floored
        {"(function() srand(-7) return rnd() end)()", F(e)},
        {"(function() srand('x') local a = rnd() srand() local b = rnd() return a ~= b end)()", "true"},
        // rnd of a non-number uses 1
        {"(function() srand(42) return rnd('x') end)()", F(a)},
    });
}

// The root's generator may have drawn the default noise table; a later
// process's starts all zero until srand.
TEST(Random, NewProcessGeneratorStartsAtZero) {
    ASSERT_TRUE(harness_boot(""));
    Process* p = create_process_from_code("flip()", "c", "/c.lua");
    ASSERT_TRUE(p);
    for (uint64_t w : p->rng) EXPECT_EQ(w, 0u);
    harness_shutdown();
}

TEST(Date, FormatsTimesAndErrors) {
    check_cases({
        {"date('!%Y-%m-%d %H:%M:%S', 0)", "\"1970-01-01 00:00:00\""},
        {"date(nil, 0)", "\"1970-01-01 00:00:00\""},
        {"date():match('^%d%d%d%d%-%d%d%-%d%d %d%d:%d%d:%d%d$') ~= nil", "true"},
        {"date(nil, '2024-02-29 12:34:56')", "\"2024-02-29 12:34:56\""},
        {"date(nil, '2024-02-29 12:34:56', 60)", "\"2024-02-29 12:35:56\""},
        {"date('!%H', 3600 * 5)", "\"05\""},
        {"date('!%Ey', 0)", "\"70\""},
        {"date('!%%', 0)", "\"%\""},
        // A short date text reads its missing digits as 0: 2024-00-00 is 2023-11-30.
        {"date(nil, '2024')", "\"2023-11-30 00:00:00\""},
        {"date('!*t', 86400 * 365)",
         "{day=1, hour=0, isdst=false, min=0, month=1, sec=0, wday=6, yday=1, year=1971}"},
        {"date('%Q')", "~invalid conversion specifier '%Q'"},
        {"date(nil, 1/0)", "~date result cannot be represented in this installation"},
        {"date('!%')", "~invalid conversion specifier '%'"},
        {"date(nil, -1)", "~time result cannot be represented in this installation"},
        {"date(nil, 0, -1)", "~time result cannot be represented in this installation"},
        {"date(nil, math.maxinteger)", "~date result cannot be represented in this installation"},
    });
}

TEST(Stat, Codes) {
    check_cases({
        {"stat(5)", "17, \"0.2.0c\""}, {"stat(9999)", "0.0"}, {"stat() == stat(0)", "true"}, {"stat(101)", "nil"},
        {"stat(150)", "\"\""}, {"stat(153)", "\"\""}, {"stat(314)", "3.1415926535897931"},
        {"stat(316)", "\"\""}, {"stat(315)", "1.0"}, {"stat(317)", "1.0"}, {"stat(307)", "0.0"},
        {"stat(312, 0)", "4096.0"}, {"stat(312, -1)", "0.0"}, {"stat(312, 0x1000000)", "0.0"},
        {"stat(313)", "626688.0"}, {"stat(7)", "60.0"}, {"stat(320)", "0.0"}, {"stat(322)", "0.0"},
        {"stat(330)", "0.0"}, {"stat(985)", "0.0"}, {"stat(986)", "0.0"},
        {"stat(0) > 524288", "true"}, {"stat(3) > 0", "true"},
        {"stat(308) > 0 and stat(309) > 0", "true"},
        {"stat(1) >= 0 and stat(1) < 1", "true"},
        {"math.type(stat(86)) == 'float' and stat(86) > 1.7e9", "true"},
        // channel queries belong to the audio focus only
        {"stat(400)", "-1.0"}, {"stat(415, 3)", "-1.0"},
        {"stat(466)", "-1"}, {"math.type(stat(464))", "\"integer\""},
    });
}

TEST(Stat, StartPathAndChannelFieldBounds) {
    ASSERT_TRUE(harness_boot("_printh(stat(316))"));
    snprintf(config.start_path, sizeof config.start_path, "/x.lua");
    harness_run_frames(1);
    EXPECT_EQ(harness_lines(), std::vector<std::string>{"/x.lua"});
    // harness_boot resets Config, so the path set above is gone again.
    std::vector<std::string> got = harness_eval({"stat(316)", "(function() stat(464) return stat(400, -1), stat(400, 2) end)()"});
    harness_shutdown();
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0], "\"\"");
    // stat 464 made the root the audio focus: a negative field is refused
    // with 0, a known one reads the engine (-1 while nothing plays).
    EXPECT_EQ(got[1], "0.0, -1.0");
}

// The first flip also counts the frame the process started in (it had waited
// one frame without flipping); from then on each flipped frame adds 1/60.
TEST(Time, ClockRisesPerFlippedFrame) {
    ASSERT_TRUE(harness_boot("_printh(t()) flip() _printh(t()) flip() _printh(time())"
                             " flip(1) _printh(t()) flip(2) _printh(t()) flip() _printh(t())"));
    harness_run_frames(8);
    EXPECT_EQ(harness_lines(), (std::vector<std::string>{"0.0", "0.033333333333333", "0.05", "0.05", "0.05",
                                                         "0.066666666666667"}));
    harness_shutdown();
}

// flip(1) turns the clock back before the frame's step adds the frame again;
// code that goes on running (a callback that can't yield) sees it just below
// zero, never a wrapped count.
TEST(Time, HeldFrameAtClockZeroReadsSigned) {
    ASSERT_TRUE(harness_boot("string.gsub('a', 'a', function() flip(1) v = t() end) _printh(v)"
                             " flip() _printh(t())"));
    harness_run_frames(3);
    EXPECT_EQ(harness_lines(), (std::vector<std::string>{"-0.016666666666667", "0.016666666666667"}));
    harness_shutdown();
}

// A process made and run inside a frame reads 0 in that frame and 1/60 more
// in each frame after a flip.
TEST(Time, ChildClockStartsAtZero) {
    ASSERT_TRUE(harness_boot("local c = _create_process_from_code('while true do _printh(t()) flip() end', 'c', '/c.lua')"
                             " while true do _run_process_slice(c, 0.5) flip() end"));
    harness_run_frames(3);
    EXPECT_EQ(harness_lines(), (std::vector<std::string>{"0.0", "0.016666666666667", "0.033333333333333"}));
    harness_shutdown();
}
