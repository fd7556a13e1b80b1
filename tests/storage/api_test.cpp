// The file and object globals, as Lua tables of cases run in the root process.
#include <thread>

#include "api/cases.h"
#include "storage/host_disk.h"
#include "vfs_fixture.h"

static std::string api_host;

static void mount_test_root() { mount_host_path("/", api_host.c_str()); }

struct FileApi : ::testing::Test {
    void SetUp() override {
        api_host = make_temp_folder();
        pdisk_reset_hook = mount_test_root;
    }
    void TearDown() override {
        pdisk_reset_hook = nullptr;
        pfile_reset();
        host_disk_set_limit_mb(HOST_DISK_DEFAULT_MB);
        std::string cmd = "rm -rf '" + api_host + "'";
        if (system(cmd.c_str()) != 0) ADD_FAILURE() << cmd;
    }
};

TEST_F(FileApi, StoreAndFetch) {
    check_cases({
        {"store('/ram/t.orb', {a = 1, b = {2, 3}})", "(none)"},
        {"fetch('/ram/t.orb')", "{a=1, b={2, 3}}, {}"},
        {"store('/d.txt', 'on the host') or fetch('/d.txt')", "\"on the host\""},
        {"store('/ram/r.bin', 'hello', '--[[orb_format=\"raw\"]]')", "(none)"},
        {"fetch('/ram/r.bin')", "\"hello\", {orb_format=\"raw\"}"},
        {"store('/ram/u.txt', '\\xff\\xfea\\0\\r\\0\\n\\0', '--[[orb_format=\"raw\",metadata_format=\"none\"]]') "
         "or fetch('/ram/u.txt') == 'a\\n'", "true"},
        {"fetch('/ram/missing')", "(none)"},
        {"fetch('/ram')", "(none)"},
        {"fetch()", "(none)"},
        {"fetch('/a b')", "(none)"},
        {"store('/ram/n.txt', 12) or fetch('/ram/n.txt')", "12"},
        {"store('/ram/m.orb', {1, 2}) or _store_metadata_str_to_file('/ram/m.orb', "
         "'--[[orb_format=\"orb\",title=\"new\"]]\\n')", "nil"},
        {"_fetch_metadata_from_file('/ram/m.orb')", "{orb_format=\"orb\", title=\"new\"}"},
        {"fetch('/ram/m.orb')", "{1, 2}, {orb_format=\"orb\", title=\"new\"}"},
        {"_fetch_metadata_from_file('/ram/r.bin')", "{orb_format=\"raw\"}"},
        {"_fetch_metadata_from_file('/d.txt')", "{}"},
        {"_fetch_metadata_from_file('/ram/u.txt')", "(none)"},
        {"_store_metadata_str_to_file('/ram/new.orb', '--[[orb]]\\n') or fstat('/ram/new.orb')", "\"file\""},
    });
}

TEST_F(FileApi, CartridgesThroughTheApi) {
    check_cases({
        {"store('/ram/c.q64', 'x\\nversion 2\\n\\n:: main.lua\\nprint(1)\\n:: [eoc]\\n')", "(none)"},
        {"fetch('/ram/c.q64/main.lua')", "\"print(1)\""},
        {"(fstat('/ram/c.q64'))", "\"folder\""},
        {"select(2, fstat('/ram/c.q64')) == #fetch('/ram/c.q64')", "true"},
        {"select(3, fstat('/ram/c.q64')):sub(1, 11)", "\"/ram/mount/\""},
        {"store('/ram/c.q64/main.lua', 'print(2)', '--[[orb_format=\"raw\",metadata_format=\"none\"]]')", "(none)"},
        {"select(2, fstat('/ram/c.q64')) > 43", "true"},  // written back: fstat of a cartridge flushes
        {"fetch('/ram/c.q64'):find('print%(2%)') ~= nil", "true"},
        {"ls('/ram/c.q64')", "{\"main.lua\"}, 0"},
        {"mkdir('/ram/e.q64')", "(none)"},
        {"select(2, fstat('/ram/e.q64')) == #fetch('/ram/e.q64')", "true"},
        {"#fetch('/ram/e.q64') > 0", "true"},
    });
}

TEST_F(FileApi, FoldersAndListing) {
    check_cases({
        {"mkdir()", "\"mkdir: no path\""},
        {"mkdir('/ram/w')", "(none)"},
        {"mkdir('/ram/w')", "\"mkdir: directory already exists\""},
        {"mkdir('/a b')", "\"mkdir failed\""},
        {"mkdir('/hostdir')", "(none)"},
        {"store('/ram/w/b9.txt', 'x') or store('/ram/w/b10.txt', 'y') or mkdir('/ram/w/sub')", "nil"},
        {"ls('/ram/w')", "{\"sub\", \"b9.txt\", \"b10.txt\"}, 1"},
        {"ls('/a b')", "(none)"},
        {"(({ls()})[1])[1] ", "\"hostdir\""},
        {"(({ls({})})[1])[1] ", "\"hostdir\""},  // not a text: the default
        {"fstat('/ram/w')", "\"folder\", 0, nil"},
        {"fstat('/ram')", "\"folder\", 0, \"/ram\""},
        {"select('#', fstat('/')), (fstat('/')), select(3, fstat('/'))", "3, \"folder\", nil"},
        {"store('/ram/w/raw.bin', 'abc', '--[[orb_format=\"raw\",metadata_format=\"none\"]]')", "(none)"},
        {"fstat('/ram/w/raw.bin')", "\"file\", 3, nil"},
        {"fstat('/ram/none')", "(none)"},
        {"fstat('/a b')", "(none)"},
        {"cp('/ram/w/b9.txt', '/ram/w/copy.txt') or fetch('/ram/w/copy.txt')", "\"x\""},
        {"cp('/ram/w/b9.txt', '/ram/w/b9.txt') or fetch('/ram/w/b9.txt')", "\"x\""},
        {"_fdelete('/ram/w/copy.txt') or fstat('/ram/w/copy.txt')", "nil"},
        {"mount('/mm', '/ram/w') or fetch('/mm/b10.txt')", "\"y\""},
        {"fstat('/mm')", "\"folder\", 0, \"/ram/w\""},
        {"mount('/mr', '/ram') or cd('/mr') or pwd()", "\"/mr\""},
        {"cd('/') or pwd()", "\"/\""},
        {"mount('/bad', '/a b') or fstat('/bad')", "nil"},
    });
}

TEST_F(FileApi, WorkingFolderAndPaths) {
    check_cases({
        {"pwd()", "\"/\""},
        {"cd('..') or pwd()", "\"/\""},
        {"mkdir('/ram/w') or cd('/ram/w') or pwd()", "\"/ram/w\""},
        {"store('rel.txt', 'r') or fetch('/ram/w/rel.txt')", "\"r\""},
        {"fullpath('a/../b')", "\"/ram/w/b\""},
        {"cd('rel.txt')", "\"path not found\""},
        {"cd('/nowhere')", "\"path not found\""},
        {"cd('not/absolute', true) or pwd()", "\"not/absolute\""},
        {"fetch('x.txt')", "(none)"},  // refused, not fatal
        {"cd('/ram') or pwd()", "\"/ram\""},
        {"fullpath('backtrail://a/../b')", "\"backtrail://a/../b\""},
        {"fullpath('/a b')", "(none)"},
        {"_normalise_userland_path('a//b/../c')", "\"a/c\""},
        {"_is_well_formed_bbs_path('ABCDEFabc123')", "true"},
        {"_is_well_formed_bbs_path('ABCDEFaBc')", "false"},
        {"_is_well_formed_bbs_path('AB')", "true"},
    });
}

TEST_F(FileApi, CacheStaysInItsFolder) {
    check_cases({
        {"_cache_store('carts', 'a.q64.png', string.rep('x', 511)) or _cache_fetch('carts', 'a.q64.png')", "nil"},
        {"_cache_store('carts', 'b.q64.png', string.rep('y', 512)) or #_cache_fetch('carts', 'b.q64.png')", "512"},
        {"_cache_store('..', 'x', string.rep('z', 600)) or _cache_fetch('..', 'x')", "nil"},
        {"_cache_store('carts', '../../escape', string.rep('z', 600)) or _cache_fetch('carts', '../../escape')",
         "nil"},
        {"_cache_fetch('carts')", "(none)"},
    });
    EXPECT_EQ(host_read(std::string(config.home) + "/cache/carts/b.q64.png"), std::string(512, 'y'));
}

TEST_F(FileApi, PngImages) {
    // Stored i32 elements are R, G, B, A from the low byte up; fetched ones are 0xRRGGBB.
    check_cases({
        {"(function() local a = userdata('i32', 2, 1) a:set(0, 0, 0x800000ff, 0x00ff0000) "
         "store('/ram/p.png', a) local b = fetch('/ram/p.png') return b:get(0, 0), b:get(1, 0) end)()",
         "16711680, 255"},
        {"store('/ram/q.png', 'not an image') or fetch('/ram/q.png')", "nil"},
    });
}

TEST_F(FileApi, PiecesOfOtherSubsystemsGiveTheirEmptyResults) {
    check_cases({
        {"_fetch_backtrail('/d.txt@2025-01-01_00:00:00')", "(none)"},
        {"_fetch_remote_result(1)", "nil, nil, \"could not download\""},
        {"_apply_system_settings({network_access = false})", "(none)"},
        {"_fetch_remote('https://example.invalid/x')", "nil, \"no network access\""},
        {"_fetch_remote_result(1)", "nil, nil, \"no network access\""},
        {"_apply_system_settings({network_access = true})", "(none)"},
    });
}

// The run's cap on what programs add to host folders: writes through host mounts
// and the cache count what they add, a write past the cap is refused and leaves
// the file as it was, removing files gives room back, and only the system moves it.
TEST_F(FileApi, WritesPastTheCapAreRefusedAndLeaveTheFileAsItWas) {
    int64_t mb = (host_disk_added() >> 20) + 2;
    int64_t start = host_disk_added();
    int64_t room = (mb << 20) - start;  // between one and two megabytes
    int64_t half = room / 2 / HOST_DISK_BLOCK * HOST_DISK_BLOCK - HOST_DISK_BLOCK;
    std::string prelude = "_apply_system_settings({host_disk_limit_mb = " + std::to_string(mb) + "}) ROOM = " +
                          std::to_string(room) + " H = " + std::to_string(half) +
                          " R = '--[[orb_format=\"raw\",metadata_format=\"none\"]]'"
                          " function size(p) return select(2, fstat(p)) end";
    std::vector<LuaCase> cases = {
        {"store('/a.bin', string.rep('a', H), R) or size('/a.bin') == H", "true"},
        // The same size again adds nothing.
        {"store('/a.bin', string.rep('b', H), R) or size('/a.bin') == H", "true"},
        {"store('/b.bin', string.rep('c', H), R) or size('/b.bin') == H", "true"},
        // Past the cap: nothing changes.
        {"store('/a.bin', string.rep('d', H + ROOM), R) or size('/a.bin') == H", "true"},
        {"store('/c.bin', string.rep('e', ROOM), R) or fstat('/c.bin')", "nil"},
        {"_cache_store('t', 'x', string.rep('f', ROOM)) or _cache_fetch('t', 'x')", "nil"},
        // Removing a file gives its room back.
        {"_fdelete('/b.bin') or store('/c.bin', string.rep('g', H + 4096), R) or size('/c.bin') == H + 4096", "true"},
    };
    std::vector<std::string> exprs;
    for (const LuaCase& c : cases) exprs.push_back(c.expr);
    testing::internal::CaptureStdout();
    std::vector<std::string> got = harness_eval(exprs, prelude);
    harness_shutdown();
    std::string out = testing::internal::GetCapturedStdout();
    ASSERT_EQ(got.size(), cases.size()) << out;
    for (size_t i = 0; i < cases.size(); i++) EXPECT_EQ(got[i], cases[i].want) << cases[i].expr;
    EXPECT_NE(out.find("** host disk limit reached: /a.bin was not written (programs may add " +
                       std::to_string(mb) + " MB to host folders in a run) **"),
              std::string::npos)
        << out;
    EXPECT_EQ(host_read(api_host + "/a.bin"), std::string((size_t)half, 'b'));
    EXPECT_EQ(host_read(api_host + "/c.bin"), std::string((size_t)half + 4096, 'g'));
    EXPECT_EQ(host_disk_added() - start, 2 * half + HOST_DISK_BLOCK);
}

TEST_F(FileApi, OnlyTheSystemMovesTheCap) {
    ASSERT_TRUE(harness_boot(R"LUA(
        _apply_system_settings({host_disk_limit_mb = 7})
        -- Pids 2 and 3 are the system's; a path under /system/ does not make pid 4 one of them.
        _create_process_from_code("while true do flip() end", "pm", "/system/pm.lua")
        _create_process_from_code("while true do flip() end", "wm", "/system/wm.lua")
        local p = _create_process_from_code(
            "_apply_system_settings({host_disk_limit_mb = 99999, volume = 5}) _printh('asked')", "u", "/system/u.lua")
        while true do _run_process_slice(p, 0.5) flip() end
    )LUA"));
    harness_run_frames(3);
    EXPECT_EQ(harness_lines(), std::vector<std::string>{"asked"});
    EXPECT_EQ(host_disk_limit(), 7 << 20);
    EXPECT_EQ(config.volume, 5);
    harness_shutdown();
}

TEST_F(FileApi, AWorkerThreadsRefusalIsAnnouncedByTheNextFrame) {
    host_disk_set_limit_mb(1);
    testing::internal::CaptureStdout();
    std::thread([] { report_host_disk_full("/carts/big.q64"); }).join();
    std::string before = testing::internal::GetCapturedStdout();
    testing::internal::CaptureStdout();
    host_disk_frame();
    std::string after = testing::internal::GetCapturedStdout();
    EXPECT_EQ(before, "");
    EXPECT_NE(after.find("** host disk limit reached: /carts/big.q64 was not written"), std::string::npos) << after;
}
