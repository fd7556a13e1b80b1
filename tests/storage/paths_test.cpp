// Path legality, normalisation, extensions and resolution through the mount table.
#include "vfs_fixture.h"

static std::string norm(const char* p) {
    ByteBuffer* b = normalise_orvanta_path(p);
    if (!b) return "<illegal>";
    std::string s = (const char*)b->bytes;
    destroy_buffer(b);
    return s;
}

TEST(VfsPaths, Normalise) {
    struct { const char* in; const char* want; } cases[] = {
        {"/a//b/./c/../d/", "/a/b/d"}, {"/..", "/"}, {"/a/../..", "/"}, {"/", "/"}, {"//", "/"},
        {"/a/b/", "/a/b"}, {"a/b", "/a/b"}, {"/x#a b", "/x#a b"}, {"", "<illegal>"}, {"#a", "<illegal>"},
        {"-a", "<illegal>"}, {"/a b", "<illegal>"}, {"/a:b", "<illegal>"}, {"/a#\x01", "<illegal>"},
        {"/a/./.", "/a"}, {"/a/b/../../../c", "/c"},
    };
    for (auto& c : cases) EXPECT_EQ(norm(c.in), c.want) << c.in;
    // A segment longer than 254 characters makes the path illegal (it is not dropped),
    // also where a ".." would fold it away, or after a "#".
    for (std::string longseg : {"/a/" + std::string(255, 'x') + "/b", "/a/" + std::string(255, 'x'),
                                "/a/" + std::string(300, 'x') + "/..", "/a#" + std::string(255, 'x')})
        EXPECT_EQ(norm(longseg.c_str()), "<illegal>") << longseg.size();
    std::string seg254 = "/" + std::string(254, 'y');
    EXPECT_EQ(norm(seg254.c_str()), seg254);
}

TEST(VfsPaths, RelativeToWorkingFolder) {
    Process p{};
    Process* saved = cproc;
    cproc = &p;
    struct { const char* cwd; const char* in; const char* want; } cases[] = {
        {"/w", "a/b", "/w/a/b"}, {"/w/", "a", "/w/a"}, {"/w", "a/../b", "/w/b"}, {"/", "..", "/"},
        // An unchecked working folder must not yield a relative or illegal path.
        {"abc", "x", "<illegal>"}, {"/a b", "x", "<illegal>"},
    };
    for (auto& c : cases) {
        snprintf(p.cwd, sizeof p.cwd, "%s", c.cwd);
        EXPECT_EQ(norm(c.in), c.want) << c.cwd << " + " << c.in;
    }
    cproc = saved;
}

TEST(VfsPaths, Collapse) {
    struct { const char* in; const char* want; } cases[] = {
        {"backtrail://a/../b", "backtrail://a/b"}, {"backtrail://ab/../c", "backtrail://c"}, {"backtrail://ab/..", "backtrail://"},
        {"a/..", "a"}, {"ab/../c", "c"}, {"x//y/./z", "x/y/z"}, {"/../a", "/a"}, {"", "/"},
    };
    for (auto& c : cases) {
        ByteBuffer* b = collapse_path(c.in, (int64_t)strlen(c.in), 0);
        EXPECT_STREQ((const char*)b->bytes, c.want) << c.in;
        destroy_buffer(b);
    }
    // Long segments are kept: the folded text never names a shorter path than the one given.
    std::string longseg = "/a/" + std::string(255, 'x') + "/b";
    ByteBuffer* b = collapse_path(longseg.c_str(), (int64_t)longseg.size(), 0);
    EXPECT_EQ((const char*)b->bytes, longseg);
    destroy_buffer(b);
}

TEST(VfsPaths, CollapseDebugPrintsEachStep) {
    testing::internal::CaptureStdout();
    ByteBuffer* b = collapse_path("p://a/./../b", 12, 1);
    destroy_buffer(b);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              ":: collapse: [p://a/./../b]\nskipping prot: p://\n  left segment: a  -> p://a\n"
              "  skipped .  -> p://a\n  folded ..  -> p://a\n  left segment: b  -> p://a/b\n  --> [p://a/b]\n");
}

TEST(VfsPaths, Extensions) {
    struct { const char* path; const char* ext; int kind; } cases[] = {
        {"foo.q64.png", "q64.png", 3}, {"x.tar.gz", "tar.gz", 0}, {"a.b.c.d", "c.d", 0},
        {".info.orb", "info.orb", 0}, {"/c/.info.orb", "info.orb", 0}, {"foo.PNG", "png", 0},
        {".bashrc", "bashrc", 0}, {"dir.x/file", "", 0}, {"/d/game.Q64", "q64", 1},
        {"/d/g.q64.rom", "q64.rom", 2}, {"my.game.q64", "game.q64", 0}, {"noext", "", 0},
    };
    for (auto& c : cases) {
        EXPECT_STREQ(get_ext(c.path), c.ext) << c.path;
        EXPECT_EQ(q64_path_kind(c.path), c.kind) << c.path;
    }
}

TEST(VfsPaths, MatchDepth) {
    struct { const char* point; const char* path; int depth; } cases[] = {
        {"", "/a", 0}, {"/", "/a", 0}, {"/ram", "/ram/x", 1}, {"/ram", "/ram", 1}, {"/ram", "/ramx", -1},
        {"/ram/mount/abcdefgh", "/ram/mount/abcdefgh/gfx/0.gfx", 3}, {"/ram/x", "/ram", -1},
    };
    for (auto& c : cases) EXPECT_EQ(get_path_parent_match_depth(c.point, c.path), c.depth) << c.point << " " << c.path;
}

using VfsResolve = Vfs;

TEST_F(VfsResolve, DeepestWholeSegmentMountWins) {
    mount_ram_folder("/ram/mount/abcdefgh");
    mkdir((host + "/h").c_str(), 0755);
    mount_host_path("/h2/", (host + "/h/").c_str());
    mount_ram_folder("/ram");  // same point twice: the earlier one serves
    pmount[pmounts - 1].origin->bytes[1] = 'X';
    struct { const char* path; int kind; std::string want; } cases[] = {
        {"/ram/mount/abcdefgh/gfx/0.gfx", 2, "/ram/mount/abcdefgh/gfx/0.gfx"},
        {"/ram/x", 2, "/ram/x"},
        {"/ramx", 1, host + "/ramx"},
        {"/desktop/a.txt", 1, host + "/desktop/a.txt"},
        {"/h2/f", 1, host + "/h/f"},
        {"/a b", 0, ""},
    };
    for (auto& c : cases) {
        int kind = 0;
        ByteBuffer* o = resolve_to_origin(c.path, &kind, 0);
        EXPECT_EQ(std::string((const char*)o->bytes), c.want) << c.path;
        EXPECT_EQ(kind, c.kind) << c.path;
        destroy_buffer(o);
    }
}

TEST_F(VfsResolve, HostPathsStayInsideTheirMount) {
    mkdir((host + "/in").c_str(), 0755);
    std::string outside = make_temp_folder();
    host_write(outside + "/secret", "s");
    ASSERT_EQ(symlink(outside.c_str(), (host + "/in/link").c_str()), 0);
    ASSERT_EQ(symlink((host + "/loop").c_str(), (host + "/loop").c_str()), 0);
    ASSERT_EQ(symlink("inner.txt", (host + "/in/ok").c_str()), 0);
    host_write(host + "/in/inner.txt", "fine");
    EXPECT_FALSE(vfs_read("/in/link/secret"));
    EXPECT_FALSE(vfs_write("/in/link/new", "x"));
    EXPECT_EQ(host_read(outside + "/new"), "<missing>");
    EXPECT_FALSE(vfs_read("/loop/x"));
    EXPECT_EQ(vfs_read("/in/ok").value_or("?"), "fine");  // a link that stays inside is followed
    // A relative link climbing out, and a dangling one naming an outside file.
    ASSERT_EQ(symlink("../..", (host + "/in/up").c_str()), 0);
    ASSERT_EQ(symlink((outside + "/made").c_str(), (host + "/in/dangling").c_str()), 0);
    std::string up = "/in/up/" + outside.substr(outside.rfind('/') + 1) + "/secret";
    EXPECT_FALSE(vfs_read(up));
    EXPECT_FALSE(vfs_read("/in/up/x/y/z/w"));
    vfs_write("/in/dangling", "x");
    EXPECT_EQ(host_read(outside + "/made"), "<missing>");
    std::string cmd = "rm -rf '" + outside + "'";
    ASSERT_EQ(system(cmd.c_str()), 0);
}

TEST(VfsResolveFatal, NoMatchingMountEndsTheProgram) {
    EXPECT_EXIT(
        {
            pfile_init();
            pfile_reset();
            mount_ram_folder("/ram");
            int kind = 0;
            resolve_to_origin("/elsewhere", &kind, 0);
        },
        ::testing::ExitedWithCode(0), "");
}
