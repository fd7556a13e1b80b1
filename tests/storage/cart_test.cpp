// ROM images and text cartridges: layouts, round trips and the readers' limits.
#include <lz4.h>
#include <lz4hc.h>

#include <map>
#include <vector>

#include "ram_tree.h"
#include "storage/base64.h"
#include "vfs_fixture.h"

using Cartridges = Vfs;

static std::string out_of(ByteBuffer* b) { return std::string((const char*)b->bytes, (size_t)b->length); }

static ByteBuffer* buffer_of(const std::string& s) {
    ByteBuffer* b = create_buffer_2((int64_t)s.size(), 0);
    bappend_bytes(b, s.data(), (int64_t)s.size());
    b->cursor = 0;
    return b;
}

// A ROM image of a raw payload, compressed as the writer does.
static std::string rom_of_payload(const std::string& payload) {
    std::vector<char> block((size_t)LZ4_compressBound((int)payload.size()));
    int c = LZ4_compress_HC(payload.data(), block.data(), (int)payload.size(), (int)block.size(), 9);
    std::string r = "q64";
    r += '\x02';
    for (int i = 0; i < 4; i++) r += (char)(c >> (8 * i));
    return r + std::string(block.data(), (size_t)c);
}

static int unpack_rom(const std::string& image, const char* folder) {
    ByteBuffer* b = buffer_of(image);
    int r = populate_ram_folder_from_q64_rom_buffer(folder, b);
    destroy_buffer(b);
    return r;
}

TEST_F(Cartridges, RomRoundTripAndSizeBytes) {
    std::string bin(70000, '\0');
    for (size_t i = 0; i < bin.size(); i++) bin[i] = (char)(i * 7);
    std::map<std::string, std::string> files = {
        {"main.lua", "print(1)"}, {"a254", std::string(254, 'a')}, {"a255", std::string(255, 'b')},
        {"gfx/0.gfx", bin}, {"empty", ""},
    };
    ASSERT_EQ(pmkdir("/ram/src"), 0);
    ASSERT_EQ(pmkdir("/ram/src/gfx"), 0);
    for (auto& [k, v] : files) ASSERT_TRUE(vfs_write("/ram/src/" + k, v));
    ByteBuffer* out = create_buffer_2(16, 0);
    ByteBuffer* origin = create_buffer_from_str("/ram/src");
    ASSERT_EQ(write_q64_rom_from_ram_files(out, origin, 0), 0);
    std::string img = out_of(out);
    ASSERT_EQ(img.substr(0, 4), std::string("q64\x02", 4));
    uint32_t csize = (uint8_t)img[4] | (uint8_t)img[5] << 8 | (uint8_t)img[6] << 16 | (uint32_t)(uint8_t)img[7] << 24;
    EXPECT_EQ(csize, img.size() - 8);
    std::vector<char> payload(1 << 20);
    int n = LZ4_decompress_safe(img.data() + 8, payload.data(), (int)csize, (int)payload.size());
    ASSERT_GT(n, 0);
    std::string p(payload.data(), (size_t)n);
    EXPECT_NE(p.find(std::string("a254\0\xfe", 6)), std::string::npos);
    EXPECT_NE(p.find(std::string("a255\0\xff\xff\0\0\0", 10)), std::string::npos);
    EXPECT_NE(p.find(std::string("gfx/\0", 5)), std::string::npos);
    ASSERT_EQ(unpack_rom(img, "/ram/dst"), 0);
    files["gfx"] = "<dir>";
    EXPECT_EQ(ram_tree("/ram/dst"), files);
    // Label files are left out on request.
    ASSERT_TRUE(vfs_write("/ram/src/label.png", "png"));
    bclear(out);
    ASSERT_EQ(write_q64_rom_from_ram_files(out, origin, 4), 0);
    EXPECT_EQ(out_of(out), img);
    destroy_buffer(out);
    destroy_buffer(origin);
}

// A large file takes over the decompressed block: its bytes and those of the files
// after it must be exactly theirs, also when the payload ends before a size says.
TEST_F(Cartridges, RomLargeFiles) {
    std::string big((3 << 20) + 5, '\0');
    for (size_t i = 0; i < big.size(); i++) big[i] = (char)(i * 13 + (i >> 12));
    auto entry = [](const std::string& name, const std::string& data, uint32_t size) {
        std::string h = name + '\0' + '\xff';
        for (int i = 0; i < 4; i++) h += (char)(size >> (8 * i));
        return h + data;
    };
    std::string first = entry("a.txt", std::string(300, 'a'), 300);
    ASSERT_EQ(unpack_rom(rom_of_payload(first + entry("big.bin", big, (uint32_t)big.size())), "/ram/whole"), 0);
    EXPECT_EQ(ram_tree("/ram/whole"), (std::map<std::string, std::string>{{"a.txt", std::string(300, 'a')}, {"big.bin", big}}));
    ASSERT_EQ(unpack_rom(rom_of_payload(first + entry("big.bin", big, (uint32_t)big.size() + 9)), "/ram/cut"), 1);
    EXPECT_EQ(ram_tree("/ram/cut"), (std::map<std::string, std::string>{{"a.txt", std::string(300, 'a')}, {"big.bin", big}}));
    // Two large files and a small one after each.
    std::string big2 = big.substr(7, (2 << 20) + 3);
    std::string payload = entry("x/big.bin", big, (uint32_t)big.size()) + first + entry("y.bin", big2, (uint32_t)big2.size()) +
                          entry("z.txt", "zz", 2);
    ASSERT_EQ(unpack_rom(rom_of_payload(payload), "/ram/two"), 0);
    EXPECT_EQ(ram_tree("/ram/two"), (std::map<std::string, std::string>{
                                         {"x/big.bin", big}, {"a.txt", std::string(300, 'a')}, {"y.bin", big2}, {"z.txt", "zz"}}));
    // A large file and then what can't be read: the file, and the reader stops there.
    testing::internal::CaptureStdout();
    EXPECT_EQ(unpack_rom(rom_of_payload(entry("big.bin", big, (uint32_t)big.size()) + std::string(1000, '\0')), "/ram/bad"),
              1);
    EXPECT_NE(testing::internal::GetCapturedStdout().find("  *** q64.rom filename parsing failed"), std::string::npos);
    EXPECT_EQ(ram_tree("/ram/bad"), (std::map<std::string, std::string>{{"big.bin", big}}));
}

TEST_F(Cartridges, RomReaderStopsAtBadEntries) {
    std::string ok = std::string("ok.lua\0", 7) + '\x02' + "hi";
    struct {
        const char* name;
        std::string image;
        int result;
        const char* message;
        std::map<std::string, std::string> want;
    } cases[] = {
        {"path of 401 bytes", rom_of_payload(ok + std::string(401, 'p') + '\0' + '\0'), 1,
         "  *** q64.rom filename parsing failed", {{"ok.lua", "hi"}}},
        {"path with ..", rom_of_payload(ok + std::string("../up\0\x01x", 8)), 1,
         "** bad file description while mounting .q64.rom: /ram/d", {{"ok.lua", "hi"}}},
        {"size past the end", rom_of_payload(ok + std::string("t\0\x0a", 3) + "abc"), 1, "",
         {{"ok.lua", "hi"}, {"t", "abc"}}},
        {"no size byte", rom_of_payload(ok + std::string("t\0", 2)), 1, "", {{"ok.lua", "hi"}}},
        {"compressed size past the end", rom_of_payload(ok).substr(0, 12), 1,
         "  *** q64.rom decompression failed: /ram/d", {}},
        {"header cut short", "q64\x02", 1, "  *** q64.rom decompression failed", {}},
        {"plain source", "print('x')", 0, "", {{"main.lua", "print('x')"}}},
        {"empty payload", rom_of_payload(""), 0, "", {}},
        {"legacy qxa block", std::string("\0qxa\0\0\0\x08", 8), 0, "", {{"main.lua", ""}}},
    };
    for (auto& c : cases) {
        delete_ram_files_in_path("/ram/d");
        testing::internal::CaptureStdout();
        EXPECT_EQ(unpack_rom(c.image, "/ram/d"), c.result) << c.name;
        std::string out = testing::internal::GetCapturedStdout();
        EXPECT_NE(out.find(c.message), std::string::npos) << c.name << ": " << out;
        EXPECT_EQ(ram_tree("/ram/d"), c.want) << c.name;
    }
}

TEST_F(Cartridges, RomWriterRefusesWhatTheReaderCannotRead) {
    ASSERT_TRUE(vfs_write("/ram/src/a..b", "x"));
    ByteBuffer* out = create_buffer_2(16, 0);
    ByteBuffer* origin = create_buffer_from_str("/ram/src");
    testing::internal::CaptureStdout();
    EXPECT_EQ(write_q64_rom_from_ram_files(out, origin, 0), 1);
    EXPECT_EQ(write_q64_from_ram_files(out, origin), 1);
    testing::internal::GetCapturedStdout();
    EXPECT_EQ(out->length, 0);
    destroy_buffer(out);
    destroy_buffer(origin);
}

TEST_F(Cartridges, TextCartridgeRoundTrip) {
    struct { const char* name; std::string contents; bool as_text; } cases[] = {
        {"a.lua", "abc", true},
        {"b.lua", "abc\n", true},
        {"c.lua", "", false},             // would read back as one newline
        {"d.lua", std::string("x\0y", 3), false},
        {"e.lua", "b64$abc", false},
        {"f.lua", ":: x", false},         // would read as a header
        {"g.txt", "a\r\nb", false},       // the reader drops CRs before LF
        {"h.bin", "12\n", false},         // binary ending in a newline
        {"i.lua", "\n", true},
        {"j.txt", "a\nhex$ff", false},    // a marker line in the middle
        {"k.lua", "\xc3\xa9", false},
        {"l.lua", "x\n:: y", false},
        {"m.bin", std::string(200, '\n'), false},
    };
    pmkdir("/ram/src");
    pmkdir("/ram/src/sub");
    for (auto& c : cases) ASSERT_TRUE(vfs_write(std::string("/ram/src/") + c.name, c.contents));
    ByteBuffer* out = create_buffer_2(16, 0);
    ByteBuffer* origin = create_buffer_from_str("/ram/src");
    ASSERT_EQ(write_q64_from_ram_files(out, origin), 0);
    std::string text = out_of(out);
    EXPECT_EQ(text.rfind(Q64_TEXT_FIRST_LINE, 0), 0u);
    EXPECT_NE(text.find(":: sub/\n"), std::string::npos);
    for (auto& c : cases) {
        size_t at = text.find(std::string(":: ") + c.name + "\n");
        ASSERT_NE(at, std::string::npos) << c.name;
        bool b64 = text.compare(at + strlen(c.name) + 4, 4, "b64$") == 0;
        EXPECT_EQ(!b64, c.as_text) << c.name;
    }
    out->cursor = 0;
    ASSERT_EQ(populate_ram_folder_from_q64_buffer("/ram/dst", out), 0);
    std::map<std::string, std::string> want = {{"sub", "<dir>"}};
    for (auto& c : cases) want[c.name] = c.contents;
    EXPECT_EQ(ram_tree("/ram/dst"), want);
    destroy_buffer(out);
    destroy_buffer(origin);
}

TEST_F(Cartridges, Base64LinesOf54Then57Bytes) {
    struct { size_t size; std::vector<size_t> lines; } cases[] = {
        {54, {76}}, {55, {76, 4}}, {54 + 57, {76, 76}}, {0, {4}},
    };
    for (auto& c : cases) {
        delete_ram_files_in_path("/ram/s");
        ASSERT_TRUE(vfs_write("/ram/s/x.bin", std::string(c.size, 'z')));
        ByteBuffer* out = create_buffer_2(16, 0);
        ByteBuffer* origin = create_buffer_from_str("/ram/s");
        write_q64_from_ram_files(out, origin);
        std::string t = out_of(out);
        size_t at = t.find("b64$");
        std::vector<size_t> got;
        while (at < t.size() && t.compare(at, 2, "::")) {
            size_t nl = t.find('\n', at);
            got.push_back(nl - at);
            at = nl + 1;
        }
        EXPECT_EQ(got, c.lines) << c.size;
        if (c.size == 55) EXPECT_NE(t.find("\neg==\n"), std::string::npos) << t;
        destroy_buffer(out);
        destroy_buffer(origin);
    }
}

TEST_F(Cartridges, TextReaderForms) {
    struct {
        const char* name;
        std::string text;
        int result;
        const char* message;
        std::map<std::string, std::string> want;
    } cases[] = {
        {"crlf and hex", "x\r\nversion 2\r\n\r\n:: a.lua\r\nhi\r\n:: h.bin\r\nhex$4142\r\n43\r\n:: [eoc]\r\n", 0, "",
         {{"a.lua", "hi"}, {"h.bin", "ABC"}}},
        {"no eoc", "x\nversion 2\n\n:: a.lua\nhi\n", 0, "** warning: no [eoc] found while mounting /ram/d",
         {{"a.lua", "hi"}}},
        {"dot dot skipped", "x\nversion 2\n\n:: ../a.lua\nbad\n:: b.lua\nok\n:: [eoc]\n", 0, "", {{"b.lua", "ok"}}},
        {"path ends at a space", "x\nversion 2\n\n:: c.lua extra\nz\n:: [eoc]\n", 0, "", {{"c.lua", "z"}}},
        {"base64", "x\nversion 2\n\n:: b.bin\nb64$YW\nJj\n:: [eoc]\n", 0, "", {{"b.bin", "abc"}}},
        {"other version", "x\nversion 3\n\n:: a.lua\nhi\n:: [eoc]\n", 1, "", {}},
        {"legacy v1", "x\nversion 1\n## comment\nmain.lua 3:0 [..616263]\ngfx 0:1\n", 0, "",
         {{"main.lua", "abc"}, {"gfx", "<dir>"}}},
        {"numbers out of range", "x\nversion 99999999999999\n\n:: a.lua\nhi\n:: [eoc]\n", 1, "", {}},
        {"legacy v1 numbers out of range", "x\nversion 1\ngfx 99999999999999:99999999999999\n", 0, "",
         {{"gfx", "<dir>"}}},
        {"legacy v1 without [", "x\nversion 1\nmain.lua 3:0 616263\n", 0, "could not read legacy q64",
         {{"main.lua", ""}}},
    };
    for (auto& c : cases) {
        delete_ram_files_in_path("/ram/d");
        ByteBuffer* b = buffer_of(c.text);
        testing::internal::CaptureStdout();
        EXPECT_EQ(populate_ram_folder_from_q64_buffer("/ram/d", b), c.result) << c.name;
        std::string out = testing::internal::GetCapturedStdout();
        EXPECT_NE(out.find(c.message), std::string::npos) << c.name << ": " << out;
        EXPECT_EQ(ram_tree("/ram/d"), c.want) << c.name;
        destroy_buffer(b);
    }
}

TEST_F(Cartridges, MountingTheSamePathTwiceGivesTheFirstMount) {
    Mount* a = mount_q64_path("/ram/n.q64");
    ASSERT_TRUE(a);
    std::string origin = (const char*)a->origin->bytes;
    EXPECT_EQ(origin.rfind("/ram/mount/", 0), 0u);
    EXPECT_EQ(origin.size(), strlen("/ram/mount/") + 8);
    EXPECT_EQ(mount_q64_path("/ram/n.q64"), a);
    EXPECT_TRUE(pdisk_directory_exists(origin.c_str(), 0));
}

TEST_F(Cartridges, PngCardsAreNotReadInThisBuild) {
    struct { const char* name; std::string bytes; int partial; } cases[] = {
        {"/e.q64.png", "", 0}, {"/f.q64.png", "\x89PNG", 1},
    };
    for (auto& c : cases) {
        host_write(host + c.name, c.bytes);
        testing::internal::CaptureStdout();
        Mount* m = mount_q64_path(c.name);
        std::string out = testing::internal::GetCapturedStdout();
        ASSERT_TRUE(m) << c.name;
        EXPECT_NE(out.find("can not populate /ram/mount/"), std::string::npos) << c.name << ": " << out;
        EXPECT_NE(out.find("\nq64.png loader not supported in this build.\n"), std::string::npos) << c.name;
        EXPECT_EQ(m->partial, c.partial) << c.name;  // what was not read is never written over
    }
}
