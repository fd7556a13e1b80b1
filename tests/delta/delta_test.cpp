// The delta codec: op streams byte for byte on the edge cases, refusal of anything that
// does not give the recorded result, and the Lua globals.
#include <gtest/gtest.h>
#include <lz4.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <random>
#include <sstream>
#include <string>

#include "api/cases.h"
#include "kernel/cpu.h"
#include "kernel/state.h"
#include "storage/delta.h"

namespace {

using Bytes = std::string;

const uint8_t* u(const Bytes& s) { return (const uint8_t*)s.data(); }

Bytes take(ByteBuffer* b) {
    if (!b) return "<none>";
    Bytes s((const char*)b->bytes, (size_t)b->length);
    destroy_buffer(b);
    return s;
}

Bytes make(const Bytes& old, const Bytes& nw) { return take(generate_diff(u(old), (int64_t)old.size(), u(nw), (int64_t)nw.size())); }
Bytes apply_to(const Bytes& old, const Bytes& d) { return take(apply_diff(u(old), (int64_t)old.size(), u(d), (int64_t)d.size())); }

Bytes le32(uint32_t v) { return Bytes{(char)v, (char)(v >> 8), (char)(v >> 16), (char)(v >> 24)}; }
Bytes crc(const Bytes& s) { return le32(crc32b(u(s), (int64_t)s.size())); }
Bytes count(uint32_t n) { return n < 255 ? Bytes(1, (char)n) : "\xff" + le32(n); }
Bytes header(const Bytes& old, const Bytes& nw) { return le32((uint32_t)nw.size()) + crc(old) + crc(nw); }

// The op stream inside a wrapped delta.
Bytes ops_of(const Bytes& d) {
    EXPECT_EQ(d.substr(0, 4), Bytes("dst\0", 4));
    uint32_t n = (uint8_t)d[4] | (uint8_t)d[5] << 8 | (uint8_t)d[6] << 16 | (uint32_t)(uint8_t)d[7] << 24;
    Bytes ops(n, '\0');
    int got = LZ4_decompress_safe(d.data() + 8, ops.data(), (int)d.size() - 8, (int)n);
    EXPECT_EQ(got, (int)n);
    return ops;
}

Bytes wrap(const Bytes& ops) {
    Bytes z(LZ4_compressBound((int)ops.size()), '\0');
    z.resize(LZ4_compress_default(ops.data(), z.data(), (int)ops.size(), (int)z.size()));
    return Bytes("dst\0", 4) + le32((uint32_t)ops.size()) + z;
}

Bytes random_bytes(std::mt19937& rng, size_t n) {
    Bytes s(n, '\0');
    for (char& c : s) c = (char)(rng() & 0xff);
    return s;
}

Bytes slurp(const std::string& p) {
    std::ifstream f(p, std::ios::binary);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

// The log file is opened once, in the first app-data folder used: this one.
std::string log_home;

struct DeltaCodec : ::testing::Test {
    static void SetUpTestSuite() {
        char t[] = "/tmp/orv_delta_XXXXXX";
        log_home = mkdtemp(t);
        snprintf(config.home, sizeof config.home, "%s", log_home.c_str());
    }
    static void TearDownTestSuite() {
        std::string cmd = "rm -rf '" + log_home + "'";
        if (system(cmd.c_str()) != 0) ADD_FAILURE() << cmd;
    }
    static Bytes log() { return slurp(log_home + "/log.txt"); }
};

TEST_F(DeltaCodec, Crc32KnownValues) {
    EXPECT_EQ(crc32b(nullptr, 0), 0u);
    EXPECT_EQ(crc32b(u("123456789"), 9), 0xCBF43926u);
    Bytes fox = "The quick brown fox jumps over the lazy dog";
    EXPECT_EQ(crc32b(u(fox), (int64_t)fox.size()), 0x414FA339u);
}

TEST_F(DeltaCodec, EdgeCaseOpStreamsByteForByte) {
    Bytes eight = "abcdefgh", long_same(300, 'q'), lit255(255, 'L'), lit254(254, 'L');
    Bytes tail = "0123456789abcdef0123456789abcdefXYZ";
    struct Case {
        const char* name;
        Bytes old, nw, records;
    } cases[] = {
        {"identical 8 bytes: one copy", eight, eight, count(0) + count(8) + le32(0)},
        {"identical 300 bytes: a long copy length", long_same, long_same, count(0) + count(300) + le32(0)},
        {"empty new: header only", "old", "", ""},
        {"empty old: all literal", "", "new", count(3) + "new"},
        {"new shorter than 8: all literal", eight, "abcdefg", count(7) + "abcdefg"},
        {"254 literals", "", lit254, count(254) + lit254},
        {"255 literals: 255 and a u32", "", lit255, "\xff" + le32(255) + lit255},
        {"literal, copy found by hash, literal", tail, "#" + tail.substr(0, 33) + "!",
         count(1) + "#" + count(33) + le32(0) + count(1) + "!"},
    };
    for (const Case& c : cases) {
        Bytes d = make(c.old, c.nw);
        EXPECT_EQ(ops_of(d), header(c.old, c.nw) + c.records) << c.name;
        EXPECT_EQ(apply_to(c.old, d), c.nw) << c.name;
    }
}

TEST_F(DeltaCodec, RandomRoundTrips) {
    std::mt19937 rng(18);
    for (int i = 0; i < 200; i++) {
        Bytes old = random_bytes(rng, rng() % (i < 150 ? 600 : 70000));
        Bytes nw = old;
        for (int e = rng() % 6; e > 0; e--) {
            size_t at = nw.empty() ? 0 : rng() % nw.size();
            switch (rng() % 3) {
            case 0: nw.insert(at, random_bytes(rng, rng() % 50)); break;
            case 1: nw.erase(at, rng() % 50); break;
            default: if (!nw.empty()) nw[at] ^= 1;
            }
        }
        if (i % 10 == 0) nw = random_bytes(rng, rng() % 1000);
        Bytes d = make(old, nw);
        ASSERT_EQ(apply_to(old, d), nw) << i;
        EXPECT_EQ(apply_to(old, ops_of(d)), nw) << "bare " << i;
    }
}

TEST_F(DeltaCodec, WrongOldDataIsRefusedWithTheLogLine) {
    Bytes old = "a file of some length, long enough for copies", nw = old + " and more";
    Bytes d = make(old, nw);
    Bytes changed = old;
    changed[5] ^= 0x20;
    EXPECT_EQ(apply_to(changed, d), "<none>");
    EXPECT_NE(log().find("** apply_delta: failed src crc (dst marker: 1)\n"), std::string::npos);
    EXPECT_EQ(apply_to(changed, ops_of(d)), "<none>");
    EXPECT_NE(log().find("** apply_delta: failed src crc (dst marker: 0)\n"), std::string::npos);
    // Empty old data records CRC 0: only empty old data fits.
    EXPECT_EQ(apply_to("x", make("", "new")), "<none>");
    EXPECT_EQ(apply_to("", make("", "new")), "new");
    EXPECT_EQ(apply_to("old", make("old", "")), "");
}

// Every result given is the recorded one: truncations and corruptions are refused.
TEST_F(DeltaCodec, DamagedDeltasNeverGiveAWrongResult) {
    std::mt19937 rng(3);
    Bytes old = random_bytes(rng, 2000), nw = old.substr(0, 700) + "inserted text" + old.substr(650);
    Bytes d = make(old, nw);
    for (const Bytes& whole : {d, ops_of(d)}) {
        for (size_t n = 0; n < whole.size(); n++) EXPECT_EQ(apply_to(old, whole.substr(0, n)), "<none>") << n;
        for (size_t i = 0; i < whole.size(); i++) {
            for (int bit : {0, 7}) {
                Bytes bad = whole;
                bad[i] ^= (char)(1 << bit);
                Bytes r = apply_to(old, bad);
                EXPECT_TRUE(r == "<none>" || r == nw) << i;
            }
        }
    }
}

TEST_F(DeltaCodec, HostileStreamsAreRefused) {
    Bytes old = "0123456789", nw = "0123456789";
    Bytes h = header(old, nw);
    struct Case {
        const char* name;
        Bytes delta;
    } cases[] = {
        {"copy past the old data", wrap(h + count(0) + count(10) + le32(1))},
        {"copy offset near 2^32", wrap(h + count(0) + count(10) + le32(0xFFFFFFF8u))},
        {"literal count past the stream", wrap(h + "\xff" + le32(0xFFFFFFF0u) + "x")},
        {"copy length without its offset", wrap(h + count(0) + count(10) + "\0\0")},
        {"result longer than recorded", wrap(h + count(0) + count(10) + le32(0) + count(1) + "!")},
        {"result shorter than recorded", wrap(h + count(0) + count(9) + le32(0))},
        {"recorded length of 4 GB", wrap(le32(0xFFFFFFFFu) + crc(old) + crc(nw) + count(0) + count(10) + le32(0))},
        {"op stream shorter than its header", wrap(h.substr(0, 11))},
        {"op-stream length of 4 GB over a tiny block", Bytes("dst\0", 4) + le32(0xFFFFFFFFu) + "\x10\x00"},
        {"op-stream length other than the block's", Bytes("dst\0", 4) + le32(40) + wrap(h + count(0) + count(10) + le32(0)).substr(8)},
        {"nothing", ""},
    };
    for (const Case& c : cases) EXPECT_EQ(apply_to(old, c.delta), "<none>") << c.name;
    Bytes good = wrap(h + count(0) + count(10) + le32(0));
    EXPECT_EQ(apply_to(old, good), nw);
    // A caller's limit on the result refuses it before it is built.
    EXPECT_EQ(take(apply_diff(u(old), 10, u(good), (int64_t)good.size(), 10)), nw);
    EXPECT_EQ(take(apply_diff(u(old), 10, u(good), (int64_t)good.size(), 9)), "<none>");
}

// 8 MB of LZ4 that unpacks to a 2 GB op stream: refused by the result's limit before the
// host unpacks it (measured in a child process, whose peak memory is its own).
TEST_F(DeltaCodec, OpStreamsNoAllowedResultNeedsAreNotUnpacked) {
    const uint32_t n = 0x7fff0000u;
    uint32_t m = n - 1 - 5 - 4 - 15;  // match length past the token's 15 + 4
    Bytes block = "\x1f" "a" "\x01" + Bytes(1, '\0') + Bytes(m / 255, '\xff') + Bytes(1, (char)(m % 255)) + "\x50" "bbbbb";
    Bytes d = Bytes("dst\0", 4) + le32(n) + block;
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        rusage before, after;
        getrusage(RUSAGE_SELF, &before);
        ByteBuffer* r = apply_diff(nullptr, 0, u(d), (int64_t)d.size(), 32 << 20);
        getrusage(RUSAGE_SELF, &after);
        _exit(!r && after.ru_maxrss - before.ru_maxrss < 256 * 1024 ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

// A bare op stream whose new length spells the marker is still read bare.
TEST_F(DeltaCodec, BareStreamBeginningWithTheMarker) {
    Bytes old = "seed", nw(0x00747364, '\0');
    for (size_t i = 0; i < nw.size(); i++) nw[i] = (char)(i * 7 / 3);
    Bytes d = make(old, nw);
    Bytes ops = ops_of(d);
    ASSERT_EQ(ops.substr(0, 4), Bytes("dst\0", 4));
    EXPECT_EQ(apply_to(old, ops), nw);
    EXPECT_EQ(apply_to(old, d), nw);
}

TEST_F(DeltaCodec, LuaGlobals) {
    check_cases({
        {"apply_delta('old text here', create_delta('old text here', 'old text there'))", "\"old text there\""},
        {"#create_delta('', '') > 8", "true"},
        {"apply_delta('', create_delta('', ''))", "\"\""},
        {"apply_delta('x', create_delta('', 'y'))", "(none)"},
        {"apply_delta('a', 'dst')", "(none)"},
        {"apply_delta('a')", "(none)"},
        {"create_delta('a')", "(none)"},
        {"apply_delta(12, create_delta(12, 345))", "\"345\""},
        {"apply_delta({}, create_delta('', ''))", "(none)"},
    });
}

}  // namespace
