// Listings and their order, folders, copying, deleting and sizes.
#include <algorithm>
#include <vector>

#include "lauxlib.h"
#include "lua.h"
#include "vfs_fixture.h"

// The listing of path as "name,name,...|folders", empty positions as "_".
static std::string listing(const char* path) {
    lua_State* L = luaL_newstate();
    int n = pflist(path, L);
    std::string r;
    if (n != 2) {
        r = "<none>";
    } else {
        lua_Integer len = (lua_Integer)lua_rawlen(L, -2);
        for (lua_Integer i = 1; i <= len; i++) {
            lua_rawgeti(L, -2, i);
            r += (i > 1 ? "," : "") + std::string(lua_isstring(L, -1) ? lua_tostring(L, -1) : "_");
            lua_pop(L, 1);
        }
        r += "|" + std::to_string(lua_tointeger(L, -1));
    }
    lua_close(L);
    return r;
}

using VfsFolders = Vfs;

TEST_F(VfsFolders, RamListingInNaturalOrder) {
    for (const char* f : {"b10", "b9", "A", ".hidden"}) ASSERT_TRUE(vfs_write(std::string("/ram/l/") + f, "x"));
    ASSERT_EQ(pmkdir("/ram/l/_z"), 0);
    ASSERT_EQ(pmkdir("/ram/l/gfx"), 0);
    ASSERT_TRUE(vfs_write("/ram/l/gfx/inner", "x"));  // not directly inside
    EXPECT_EQ(listing("/ram/l"), "gfx,_z,A,b9,b10|2");
    EXPECT_EQ(listing("/ram/l/A"), "|0");
    EXPECT_EQ(listing("/a b"), "<none>");
}

TEST_F(VfsFolders, HostListingWithMountsAndCartridges) {
    mkdir((host + "/d").c_str(), 0755);
    mkdir((host + "/d/sub").c_str(), 0755);
    mkdir((host + "/d/odd.q64").c_str(), 0755);  // a folder named like a cartridge lists as a file
    host_write(host + "/d/.dot", "");
    host_write(host + "/d/g.q64", "x\nversion 2\n\n:: main.lua\nm\n:: [eoc]\n");
    host_write(host + "/d/z10.txt", "");
    host_write(host + "/d/z9.txt", "");
    host_write(host + "/d/bad\x01name", "");
    EXPECT_EQ(listing("/d"), "sub,g.q64,odd.q64,z9.txt,z10.txt|1");
    ASSERT_TRUE(vfs_read("/d/g.q64/main.lua"));  // mounted now: still a file in the listing
    ASSERT_TRUE(mount_p_path("/d/m", "/ram"));
    EXPECT_EQ(listing("/d"), "m,sub,g.q64,odd.q64,z9.txt,z10.txt|2");
    EXPECT_EQ(listing("/d/g.q64"), "main.lua|0");
    std::string root = listing("/");
    EXPECT_NE(root.find("ram"), std::string::npos) << root;
}

TEST_F(VfsFolders, DuplicateMountPointsListOnce) {
    mount_ram_folder("/ram/twice");
    mount_ram_folder("/ram/twice");
    EXPECT_EQ(listing("/ram"), "twice|2");  // the second is dropped, yet counted
}

TEST(VfsListingOrder, IsAStrictWeakOrdering) {
    std::vector<std::string> names = {"a", "A", "a/", "b", "B2", "b2", "b02", "b10", "b9", "_x", "x_", "10",
                                      "9", "a1b", "a01b", "a1c", "", "z/", "Z/", "1/", "~", "a.b", "a-b"};
    for (auto& a : names) {
        EXPECT_FALSE(compare_str_item(a.c_str(), a.c_str())) << a;
        for (auto& b : names) {
            bool ab = compare_str_item(a.c_str(), b.c_str()), ba = compare_str_item(b.c_str(), a.c_str());
            EXPECT_FALSE(ab && ba) << a << " " << b;
            if (a != b) EXPECT_TRUE(ab || ba) << a << " " << b;  // distinct names have a fixed order
            for (auto& c : names)
                if (ab && compare_str_item(b.c_str(), c.c_str())) EXPECT_TRUE(compare_str_item(a.c_str(), c.c_str()));
        }
    }
    struct { const char* a; const char* b; } before[] = {
        {"z/", "a"}, {"b9", "b10"}, {"A", "b"}, {"b", "_"}, {"1x", "ax"}, {"a", "ab"}, {"b2", "b10x"},
    };
    for (auto& c : before) EXPECT_TRUE(compare_str_item(c.a, c.b)) << c.a << " < " << c.b;
}

TEST_F(VfsFolders, Mkdir) {
    EXPECT_EQ(pmkdir("/ram/m"), 0);
    EXPECT_EQ(pmkdir("/ram/m"), 1);  // already there
    ASSERT_TRUE(vfs_write("/ram/file", "x"));
    EXPECT_EQ(pmkdir("/ram/file"), 1);
    EXPECT_EQ(vfs_read("/ram/file").value_or("?"), "x");
    EXPECT_EQ(pmkdir("/a b"), 1);
    EXPECT_EQ(pmkdir("/hostdir"), 0);
    EXPECT_TRUE(host_directory_exists((host + "/hostdir").c_str()));
    EXPECT_EQ(pmkdir("/no/parent"), -1);
    EXPECT_TRUE(pdisk_directory_exists("/ram", 1));
    EXPECT_FALSE(pdisk_directory_exists("/ram", 0));
    EXPECT_TRUE(pdisk_directory_exists("/ram/m", 0));
}

TEST_F(VfsFolders, CopyAndSizes) {
    ASSERT_TRUE(vfs_write("/ram/a", "12345"));
    EXPECT_EQ(fcopy("/ram/a", "/h.txt"), 5);
    EXPECT_EQ(host_read(host + "/h.txt"), "12345");
    EXPECT_EQ(fcopy("/h.txt", "/ram/b"), 5);
    EXPECT_EQ(vfs_read("/ram/b").value_or("?"), "12345");
    EXPECT_EQ(fcopy("/ram/a", "/ram/a"), 0);  // onto itself: nothing happens
    EXPECT_EQ(vfs_read("/ram/a").value_or("?"), "12345");
    EXPECT_EQ(fcopy("/h.txt", "/h.txt"), 0);
    EXPECT_EQ(host_read(host + "/h.txt"), "12345");
    EXPECT_EQ(fcopy("/ram/missing", "/ram/c"), 0);
    EXPECT_FALSE(pdisk_file_exists("/ram/c"));
    EXPECT_EQ(fcopy("/ram/a", "/a b"), 0);
    EXPECT_EQ(pfile_size("/ram/a", 0), 5);
    EXPECT_EQ(pfile_size("/h.txt", 0), 5);
    EXPECT_EQ(pfile_size("/ram", 0), 0);
}

TEST_F(VfsFolders, Delete) {
    delete_path("/");  // the drive is empty, yet stays
    ASSERT_TRUE(host_directory_exists(host.c_str()));
    ASSERT_TRUE(vfs_write("/ram/d/x", "1"));
    ASSERT_EQ(pmkdir("/ram/d"), 0);
    ASSERT_TRUE(vfs_write("/ram/d/e/y", "2"));
    ASSERT_TRUE(vfs_write("/ram/dd", "3"));
    delete_path("/ram/d");
    EXPECT_FALSE(pdisk_file_exists("/ram/d/x"));
    EXPECT_FALSE(pdisk_file_exists("/ram/d/e/y"));
    EXPECT_TRUE(pdisk_file_exists("/ram/dd"));  // a sibling with the same start stays
    host_write(host + "/f", "x");
    delete_path("/f");
    EXPECT_EQ(host_read(host + "/f"), "<missing>");

    // A cartridge: deleting a file inside it is written back; deleting the mount point flushes first.
    host_write(host + "/g.q64", "x\nversion 2\n\n:: main.lua\nm\n:: gone.lua\ng\n:: [eoc]\n");
    ASSERT_TRUE(vfs_read("/g.q64/main.lua"));
    std::string origin = (const char*)find_mount_by_point("/g.q64")->origin->bytes;
    delete_path("/g.q64/gone.lua");
    ASSERT_TRUE(vfs_write("/g.q64/main.lua", "edited"));
    delete_path("/g.q64");
    EXPECT_EQ(host_read(host + "/g.q64"), "<missing>");
    EXPECT_FALSE(find_mount_by_point("/g.q64"));
    EXPECT_FALSE(find_ram_slot((origin + "/main.lua").c_str()));
    host_write(host + "/g2.q64", "x\nversion 2\n\n:: main.lua\nm\n:: [eoc]\n");
    ASSERT_TRUE(vfs_write("/g2.q64/main.lua", "edited"));
    EXPECT_EQ(delete_mount_point("/g2.q64"), 1);
    EXPECT_NE(host_read(host + "/g2.q64").find("\nedited\n"), std::string::npos);
    EXPECT_EQ(delete_mount_point("/g2.q64"), 0);
    // A mount of /ram/mount onto a folder inside it: deleting through it ends.
    pmkdir("/ram/mount");
    ASSERT_TRUE(mount_p_path("/ram/mount", "/ram/mount/abc"));
    delete_path("/ram/mount/x");
}
