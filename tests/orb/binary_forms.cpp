// base64 variant and qxa decompressor.
#include <gtest/gtest.h>
#include <cstring>
#include <random>
#include <string>
#include <vector>
#include "storage/base64.h"
#include "storage/qxa.h"

namespace {

std::string enc(const std::string& s) {
    ByteBuffer* b = create_buffer_2(0, 111);
    EXPECT_TRUE(base64_encode_append(b, s.data(), (int64_t)s.size()));
    std::string r((char*)b->bytes, (size_t)b->length);
    EXPECT_EQ(b->bytes[b->length], 0);
    destroy_buffer(b);
    return r;
}

std::string dec(const std::string& s) {
    ByteBuffer* b = create_buffer_2(0, 111);
    EXPECT_TRUE(base64_decode_append(b, s.data(), (int64_t)s.size()));
    std::string r((char*)b->bytes, (size_t)b->length);
    destroy_buffer(b);
    return r;
}

TEST(Base64, KnownTexts) {
    struct { std::string plain, coded; } cases[] = {
        {"abc", "YWJj"}, {"ab", "YWI="}, {"\xff", "-w=="}, {"\xf8", "_A=="}, {"", ""},
        {"hello world", "aGVsbG8gd29ybGQ="},
    };
    for (auto& c : cases) {
        EXPECT_EQ(enc(c.plain), c.coded) << c.plain;
        EXPECT_EQ(dec(c.coded), c.plain) << c.coded;
    }
}

TEST(Base64, DecodeSkipsForeignCharactersAndPartialGroups) {
    EXPECT_EQ(dec("YW Jj\n"), "abc");
    EXPECT_EQ(dec("Y\r\nW=J*j"), "abc");
    EXPECT_EQ(dec("YWI"), "ab");      // 3 characters: 2 bytes
    EXPECT_EQ(dec("YW"), "a");        // 2 characters: 1 byte
    EXPECT_EQ(dec("YWJjY"), "abc");   // a lone leftover character gives nothing
    EXPECT_EQ(dec("+/"), "");         // the standard alphabet's 62 and 63 are foreign here
}

TEST(Base64, PiecewiseStreamsMatchWholeCalls) {
    std::mt19937 rng(7);
    for (int len = 0; len < 40; len++) {
        std::string s(len, 0);
        for (auto& c : s) c = (char)rng();
        std::string whole = enc(s);
        // Encode one byte at a time through the state.
        Base64EncodeState es;
        base64_init_encodestate(&es);
        std::string piece;
        char tmp[8];
        for (char c : s) piece.append(tmp, (size_t)base64_encode_block((const uint8_t*)&c, 1, tmp, &es));
        piece.append(tmp, (size_t)base64_encode_blockend(tmp, &es));
        EXPECT_EQ(piece, whole);
        // Decode one character at a time.
        Base64DecodeState ds;
        base64_init_decodestate(&ds);
        std::string back;
        uint8_t ob[4];
        for (char c : whole) back.append((char*)ob, (size_t)base64_decode_block(&c, 1, ob, &ds));
        EXPECT_EQ(back, s);
        EXPECT_EQ((int64_t)whole.size(), base64_encoded_length(len));
    }
}

// An independent qxa encoder, written from the format: literals through the move-to-front
// list, back references (5, 10 and 15 offset bits) and raw runs.
struct QxaWriter {
    std::vector<uint8_t> out{0, 'q', 'x', 'a', 0, 0, 0, 0};
    int bit = 8;  // bits used in the last byte (8 = start a new one)
    uint8_t mtf[256];
    QxaWriter() { for (int i = 0; i < 256; i++) mtf[i] = (uint8_t)i; }
    void put_bit(int b) {
        if (bit == 8) { out.push_back(0); bit = 0; }
        if (b) out.back() |= (uint8_t)(1 << bit);
        bit++;
    }
    void put(uint32_t v, int n) { for (int i = 0; i < n; i++) put_bit((v >> i) & 1); }
    void literal(uint8_t c) {
        int index = 0;
        while (mtf[index] != c) index++;
        int k = 0, base = 0;
        while (index >= base + (16 << k)) { base += 16 << k; k++; }
        put_bit(1);
        for (int i = 0; i < k; i++) put_bit(1);
        put_bit(0);
        put((uint32_t)(index - base), 4 + k);
        memmove(mtf + 1, mtf, (size_t)index);
        mtf[0] = c;
    }
    void backref(uint32_t offset, uint32_t length, int bits) {
        put_bit(0);
        if (bits == 15) put_bit(0);
        else { put_bit(1); put_bit(bits == 5 ? 1 : 0); }
        put(offset - 1, bits);
        uint32_t rem = length - 3;
        while (rem >= 7) { put(7, 3); rem -= 7; }
        put(rem, 3);
    }
    void raw(const std::string& s) {
        put_bit(0); put_bit(1); put_bit(0);
        put(0, 10);
        for (char c : s) put((uint8_t)c, 8);
        put(0, 8);
    }
    std::vector<uint8_t> finish(size_t text_len) {
        out[4] = (uint8_t)(text_len >> 8); out[5] = (uint8_t)text_len;
        size_t n = out.size();
        out[6] = (uint8_t)(n >> 8); out[7] = (uint8_t)n;
        return out;
    }
};

std::string unqxa(const std::vector<uint8_t>& blk, size_t cap = 65536) {
    std::vector<char> dst(cap + 1, 'X');
    size_t n = qxa_decompress(blk.data(), blk.size(), dst.data(), cap);
    EXPECT_EQ(dst[n], 0);
    EXPECT_LE(n, cap);
    return std::string(dst.data(), n);
}

// Greedy compression of text with every kind of code.
std::vector<uint8_t> qxa_compress(const std::string& text) {
    QxaWriter w;
    size_t i = 0;
    while (i < text.size()) {
        size_t best_len = 0, best_off = 0;
        for (size_t off = 1; off <= i && off <= 32768; off++) {
            size_t l = 0;
            while (i + l < text.size() && text[i + l - off] == text[i + l] && l < 300) l++;
            if (l > best_len) { best_len = l; best_off = off; }
        }
        if (best_len >= 3) {
            int bits = best_off <= 32 ? 5 : best_off <= 1024 ? 10 : 15;
            w.backref((uint32_t)best_off, (uint32_t)best_len, bits);
            i += best_len;
        } else if (i % 37 == 5 && i + 4 <= text.size() && text.substr(i, 4).find('\0') == std::string::npos) {
            w.raw(text.substr(i, 4));
            i += 4;
        } else {
            w.literal((uint8_t)text[i++]);
        }
    }
    return w.finish(text.size());
}

TEST(Qxa, RoundTripsEveryCodeKind) {
    std::mt19937 rng(3);
    std::string words[] = {"function ", "end\n", "local x = ", "print(", ")", "\t", "\xc3\xa9"};
    for (int t = 0; t < 20; t++) {
        std::string text;
        while (text.size() < (size_t)(50 + t * 97)) text += words[rng() % 7];
        for (int j = 0; j < 5; j++) text[rng() % text.size()] = (char)(1 + rng() % 255);
        EXPECT_EQ(unqxa(qxa_compress(text)), text) << t;
    }
}

TEST(Qxa, FifteenBitOffsetsAndLongCopies) {
    QxaWriter w;
    std::string text;
    for (int i = 0; i < 1500; i++) { char c = (char)('a' + i % 26 + (i / 26) % 3); w.literal((uint8_t)c); text += c; }
    w.backref(1500, 40, 15);  // reaches back to the first byte
    text += text.substr(0, 40);
    w.backref(1, 100, 5);     // overlapping copy repeats the last byte
    text += std::string(100, text.back());
    EXPECT_EQ(unqxa(w.finish(text.size())), text);
}

TEST(Qxa, DamagedAndEmptyBlocksStaySafe) {
    // Text length 0 gives an empty text.
    QxaWriter w0;
    w0.literal('a');
    EXPECT_EQ(unqxa(w0.finish(0)), "");
    // Header only, or a block length below 9.
    EXPECT_EQ(unqxa({0, 'q', 'x', 'a', 0, 5, 0, 8}), "");
    EXPECT_EQ(unqxa({0, 'q', 'x', 'a'}), "");

    std::string text = "local a = 1 local a = 1 local a = 1 abcdefghij";
    std::vector<uint8_t> blk = qxa_compress(text);
    // Truncated bytes: a prefix of the text, never reading past what exists.
    for (size_t cut = 0; cut <= blk.size(); cut++) {
        std::vector<uint8_t> part(blk.begin(), blk.begin() + (long)cut);
        std::string got = unqxa(part);
        EXPECT_EQ(text.compare(0, got.size(), got), 0) << cut;
    }
    // A capacity smaller than the text cuts it, terminated.
    EXPECT_EQ(unqxa(blk, 10), text.substr(0, 10));
    EXPECT_EQ(unqxa(blk, 1), text.substr(0, 1));

    // A back reference before the start stops decoding.
    QxaWriter w;
    w.literal('x');
    w.backref(5, 10, 5);
    w.literal('y');
    EXPECT_EQ(unqxa(w.finish(12)), "x");

    // A literal index above 255 stops decoding with what was decoded.
    QxaWriter w2;
    w2.literal('q');
    w2.put_bit(1);
    for (int i = 0; i < 4; i++) w2.put_bit(1);
    w2.put_bit(0);
    w2.put(200, 8);  // 200 + 240 > 255
    w2.literal('r');
    EXPECT_EQ(unqxa(w2.finish(3)), "q");

    // A raw run ends decoding when it reaches the text length.
    QxaWriter w3;
    w3.raw("abcdef");
    EXPECT_EQ(unqxa(w3.finish(4)), "abcd");

    ByteBuffer* b = qxa_decompress_to_buffer(blk.data(), blk.size());
    EXPECT_EQ(std::string((char*)b->bytes, (size_t)b->length), text);
    destroy_buffer(b);
}

}  // namespace
