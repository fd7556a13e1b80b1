// Turning fetched file bytes into values, and the text that store writes.
#include <lodepng.h>
#include <cstdlib>
#include <cstring>

#include "orb/orb_fixture.h"

namespace {

std::string clean(const std::string& in) {
    ByteBuffer* b = clean_windows_text_file((const uint8_t*)in.data(), (int64_t)in.size());
    EXPECT_EQ(b->tag, 112);
    std::string s((char*)b->bytes, (size_t)b->length);
    destroy_buffer(b);
    return s;
}

TEST(FetchedFiles, TextCleaning) {
    using S = std::string;
    struct {
        S in, out;
    } cases[] = {
        {S("a\r\nb\r"), "a\nb"},
        {S("\xEF\xBB\xBFhi\r\n"), "hi\n"},
        {S("\xFF\xFEh\0i\0\r\0\n\0", 10), "hi\n"},           // UTF-16 little-endian
        {S("\xFE\xFF\0h\0i\0\r\0\n", 10), "hi\n"},           // UTF-16 big-endian
        {S("\xFF\xFE\0\0h\0\0\0i\0\0\0", 12), "hi"},         // UTF-32 little-endian
        {S("\0\0\xFE\xFF\0\0\0h\0\0\0i", 12), "hi"},         // UTF-32 big-endian
        {S("\xFE\xFF\0\0xy", 6), S("\xFE\xFF\0\0xy", 6)},    // not a mark: every byte
        {S(""), ""},
        {S("\xFF"), "\xFF"},
    };
    for (auto& c : cases) EXPECT_EQ(clean(c.in), c.out);
}

std::string fetch(OrbLua& lua, const std::string& bytes, const char* path) {
    lua_settop(lua.L, 0);
    int n = unorb_from_fetched_buffer(lua.L, (const uint8_t*)bytes.data(), (int64_t)bytes.size(), path);
    EXPECT_EQ(lua_gettop(lua.L), n);
    if (n == 0) return "(none)";
    std::string out;
    for (int i = 1; i <= n; i++) out += (i > 1 ? " | " : "") + lua.text_of(i);
    lua_settop(lua.L, 0);
    return out;
}

TEST(FetchedFiles, ConversionByExtensionAndHeader) {
    OrbLua lua;
    EXPECT_EQ(fetch(lua, "{1,2}", "/a/b.orb"), "{1,2}");
    EXPECT_EQ(fetch(lua, "{1,2}", "/a/b.ORB"), "{1,2}");
    EXPECT_EQ(fetch(lua, "{1,2}", "/a/b.dat"), "\"{1,2}\"");
    EXPECT_EQ(fetch(lua, "--[[orb]]\n{1}", "/a/b.dat"), "{1} | {}");
    EXPECT_EQ(fetch(lua, "-- orvanta object data\n{x=1}", "/a/b"), "{x=1}");
    EXPECT_EQ(fetch(lua, "not orb", "/a/b.orb"), "(none)");
    EXPECT_EQ(fetch(lua, std::string("\xFF\xFEh\0i\0\r\0\n\0", 10), "/t.txt"), "\"hi\\n\"");
    EXPECT_EQ(fetch(lua, "a\r\nb", "/t.lua"), "\"a\\nb\"");
    EXPECT_EQ(fetch(lua, "a\r\nb", "/t.bin"), "\"a\\013\\nb\"");
    // A cleaned text that turns out to be orb is read as orb.
    EXPECT_EQ(fetch(lua, "\xEF\xBB\xBF--[[orb]]\r\n{1}", "/t.txt"), "{1} | {}");
    // A value stored under a text name keeps its CR bytes; a raw body is cleaned.
    EXPECT_EQ(fetch(lua, "--[[orb]]\n\"a\r\"", "/t.txt"), "\"a\\013\" | {}");
    EXPECT_EQ(fetch(lua, "--[[orb_format=\"raw\"]]\na\r\nb", "/t.txt"), "\"a\\nb\" | {orb_format=\"raw\"}");
}

TEST(FetchedFiles, Png) {
    OrbLua lua;
    const unsigned char px[8] = {255, 0, 0, 255, 0, 0, 255, 128};
    unsigned char* png = nullptr;
    size_t n = 0;
    ASSERT_EQ(lodepng_encode32(&png, &n, px, 2, 1), 0u);
    std::string bytes((char*)png, n);
    free(png);
    EXPECT_EQ(fetch(lua, bytes, "/p/pic.png"), "userdata(\"i32\",2,1,\"00ff0000000000ff\")");
    testing::internal::CaptureStdout();
    EXPECT_EQ(fetch(lua, "not a png", "/p/pic.png"), "(none)");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), " ** couldn't load png\n");
    // Two-part extensions are not png.
    EXPECT_EQ(fetch(lua, "abc", "/p/pic.q64.png"), "\"abc\"");

    // A header claiming more pixels than any array holds is refused before decoding (it would
    // otherwise allocate 6.4 GB, then fail on the missing pixel data).
    std::string huge = bytes;
    const unsigned char wh[8] = {0, 0, 0xA0, 0, 0, 0, 0xA0, 0};  // 40960 x 40960
    memcpy(&huge[16], wh, 8);
    lodepng_chunk_generate_crc((unsigned char*)&huge[8]);
    testing::internal::CaptureStdout();
    EXPECT_EQ(fetch(lua, huge, "/p/big.png"), "(none)");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

TEST(FetchedFiles, StoredTextReadsBack) {
    OrbLua lua;
    lua.push("{name='n', pix=userdata('u8',3,2,'000000010101'), list={1,2.5,'x'}}");
    ByteBuffer* b = create_buffer_2(0, 111);
    orb_store_text(lua.L, 1, nullptr, b);
    std::string text((char*)b->bytes, (size_t)b->length);
    bclear(b);
    orb_store_text(lua.L, 1, "--[[orb,title=\"t\"]]\n", b);
    std::string titled((char*)b->bytes, (size_t)b->length);
    destroy_buffer(b);
    std::string plain = lua.text_of(1);
    lua_settop(lua.L, 0);
    ASSERT_EQ(text.substr(0, 10), "--[[orb]]\n");
    EXPECT_EQ(text.substr(10, 4), std::string("lz4", 4));
    EXPECT_EQ(fetch(lua, text, "/ram/x.orb"), plain + " | {}");
    EXPECT_EQ(fetch(lua, titled, "/ram/x.orb"), plain + " | {title=\"t\"}");

    // Stored under a text name, the LZ4 block's CR bytes survive for every caller.
    lua.push("(function() local a = userdata('u8', 64) for i = 0, 63 do a[i] = i % 3 == 0 and 13 or i * 7 end "
             "return {pix = a, s = 'a\\r\\nb'} end)()");
    b = create_buffer_2(0, 111);
    orb_store_text(lua.L, 1, nullptr, b);
    std::string stored((char*)b->bytes, (size_t)b->length);
    destroy_buffer(b);
    plain = lua.text_of(1);
    lua_settop(lua.L, 0);
    ASSERT_NE(stored.find('\r', 10), std::string::npos);
    for (const char* path : {"/ram/s.txt", "/ram/s.lua", "/ram/s.pn", "/ram/s.TXT"})
        EXPECT_EQ(fetch(lua, stored, path), plain + " | {}") << path;
}

}  // namespace
