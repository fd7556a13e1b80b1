// The file history: logs, blobs and deltas written by host-file events, and fetching a
// file as it was at a time. Writes go through the file system on a fake UTC clock.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <ctime>
#include <vector>

#include "api/cases.h"
#include "kernel/cpu.h"
#include "storage/backtrail.h"
#include "storage/delta.h"
#include "storage/host_disk.h"
#include "storage/vfs_fixture.h"

namespace {

int64_t wall_now;
int64_t fake_wall() { return wall_now; }

int64_t utc(int y, int mo, int d, int h, int mi, int s) {
    struct tm t = {};
    t.tm_year = y - 1900, t.tm_mon = mo - 1, t.tm_mday = d, t.tm_hour = h, t.tm_min = mi, t.tm_sec = s;
    return (int64_t)timegm(&t);
}

std::string blob_name(const std::string& s) {
    char n[33];
    backtrail_blob_name((const uint8_t*)s.data(), (int64_t)s.size(), n);
    return n;
}

std::vector<std::string> lines_of(const std::string& s) {
    std::vector<std::string> out;
    std::stringstream in(s);
    for (std::string l; std::getline(in, l);) out.push_back(l);
    return out;
}

std::vector<std::string> folder_names(const std::string& dir) {
    std::vector<std::string> out;
    if (DIR* d = opendir(dir.c_str())) {
        while (dirent* e = readdir(d))
            if (e->d_name[0] != '.') out.push_back(e->d_name);
        closedir(d);
    }
    std::sort(out.begin(), out.end());
    return out;
}

// Text of some length whose one-byte changes make small deltas.
std::string text(char mark, size_t n = 3000) {
    std::string s;
    for (int i = 0; s.size() < n; i++) s += "line " + std::to_string(i) + " of the file\n";
    s.resize(n);
    s[100] = mark;
    return s;
}

// The drive is the file-system fixture's host folder; the app-data folder is another.
struct History : Vfs {
    std::string home, drive;
    int64_t (*saved_clock)() = nullptr;

    void SetUp() override {
        Vfs::SetUp();
        drive = host;
        home = make_temp_folder();
        snprintf(config.home, sizeof config.home, "%s", home.c_str());
        config.backtrail = 1;
        saved_clock = backtrail_clock;
        backtrail_clock = fake_wall;
        at(2025, 3, 29, 10, 0, 0);
    }
    void TearDown() override {
        backtrail_close();
        backtrail_clock = saved_clock;
        config.backtrail = 0;
        Vfs::TearDown();
        std::string cmd = "rm -rf '" + home + "'";
        if (system(cmd.c_str()) != 0) ADD_FAILURE() << cmd;
    }
    static void at(int y, int mo, int d, int h, int mi, int s) { wall_now = utc(y, mo, d, h, mi, s); }
    std::string log(const char* day = "2025-03/29") const { return host_read(home + "/backtrail/" + day + ".log"); }
    std::string blobs(const char* month = "2025-03") const { return home + "/backtrail/" + month + "/orb"; }
    static std::string fetch(const std::string& request) {
        ByteBuffer* b = backtrail_fetch(request.c_str());
        if (!b) return "<none>";
        std::string s((const char*)b->bytes, (size_t)b->length);
        destroy_buffer(b);
        return s;
    }
};

// The delta held by the "|" lines that follow line i.
std::string delta_after(const std::vector<std::string>& lines, size_t i) {
    std::string hex, out;
    for (size_t k = i + 1; k < lines.size() && lines[k].rfind("| ", 0) == 0; k++) {
        EXPECT_LE(lines[k].size(), 2u + 76u);
        hex += lines[k].substr(2);
    }
    for (size_t k = 0; k + 1 < hex.size(); k += 2) out += (char)std::stoi(hex.substr(k, 2), nullptr, 16);
    return out;
}

TEST_F(History, SmallChangesAreDeltasAgainstTheLastFullCopy) {
    std::string v1 = text('A'), v2 = text('B'), v3 = text('C');
    ASSERT_TRUE(vfs_write("/a.txt", v1));
    at(2025, 3, 29, 10, 0, 5);
    ASSERT_TRUE(vfs_write("/a.txt", v2));
    at(2025, 3, 29, 10, 0, 9);
    ASSERT_TRUE(vfs_write("/a.txt", v3));

    std::string h1 = blob_name(v1);
    std::vector<std::string> l = lines_of(log());
    ASSERT_GE(l.size(), 8u);
    EXPECT_EQ(l[0], "@ 2025-03-29_10:00:00");
    EXPECT_EQ(l[1], "$ " + h1 + " /a.txt");
    EXPECT_EQ(l[2], "@ 2025-03-29_10:00:05");
    EXPECT_EQ(l[3], "+ " + h1 + " /a.txt");
    std::string d2 = delta_after(l, 3);
    ByteBuffer* r2 = apply_diff((const uint8_t*)v1.data(), (int64_t)v1.size(), (const uint8_t*)d2.data(), (int64_t)d2.size());
    ASSERT_NE(r2, nullptr);
    EXPECT_EQ(std::string((const char*)r2->bytes, (size_t)r2->length), v2);
    destroy_buffer(r2);
    size_t third = 4;
    while (third < l.size() && l[third][0] == '|') third++;
    ASSERT_LT(third + 1, l.size());
    EXPECT_EQ(l[third], "@ 2025-03-29_10:00:09");
    EXPECT_EQ(l[third + 1], "+ " + h1 + " /a.txt");  // against the first version, not the second
    EXPECT_EQ(folder_names(blobs()), std::vector<std::string>{h1});
    EXPECT_EQ(host_read(blobs() + "/" + h1), v1);

    struct Case {
        const char* request;
        std::string want;
    } cases[] = {
        {"/a.txt@2025-03-29_09:59:59", "<none>"},
        {"/a.txt@2025-03-29_10:00:00", v1},
        {"/a.txt@2025-03-29_10:00:04", v1},
        {"/a.txt@2025-03-29 10:00:05", v2},  // any character between date and time
        {"/a.txt@2025-03-29T10:00:08", v2},
        {"/a.txt@2025-03-29_10:00:09", v3},
        {"/a.txt@2025-03-30_00:00:00", v3},
        {"/a.txt@2099-01-01_00:00:00", v3},  // a future date reads today's log
        {"/a.txt@2025-13-45_00:00:00", v3},  // fields past their range are clamped
        {"/b.txt@2025-03-29_10:00:09", "<none>"},
    };
    for (const Case& c : cases) EXPECT_EQ(fetch(c.request), c.want) << c.request;
}

std::string noise(unsigned seed, size_t n) {
    std::string s(n, '\0');
    for (char& c : s) c = (char)((seed = seed * 1103515245u + 12345u) >> 23);
    return s;
}

TEST_F(History, LargeChangesAreStoredWholeAndBlobsAreShared) {
    std::string v1 = noise(1, 3000), other = noise(2, 5000);
    ASSERT_TRUE(vfs_write("/a.txt", v1));
    at(2025, 3, 29, 11, 0, 0);
    ASSERT_TRUE(vfs_write("/a.txt", other));
    at(2025, 3, 29, 12, 0, 0);
    ASSERT_TRUE(vfs_write("/a.txt", v1));  // back to an earlier content: a record, no new blob
    std::vector<std::string> l = lines_of(log());
    std::vector<std::string> want = {"@ 2025-03-29_10:00:00", "$ " + blob_name(v1) + " /a.txt",
                                     "@ 2025-03-29_11:00:00", "$ " + blob_name(other) + " /a.txt",
                                     "@ 2025-03-29_12:00:00", "$ " + blob_name(v1) + " /a.txt"};
    EXPECT_EQ(l, want);
    std::vector<std::string> names = {blob_name(v1), blob_name(other)};
    std::sort(names.begin(), names.end());
    EXPECT_EQ(folder_names(blobs()), names);
    EXPECT_EQ(fetch("/a.txt@2025-03-29_11:30:00"), other);
    EXPECT_EQ(fetch("/a.txt@2025-03-29_12:00:00"), v1);
}

TEST_F(History, FoldersDeletesAndTheNextDaysSnapshot) {
    ASSERT_EQ(pmkdir("/sub"), 0);
    ASSERT_EQ(pmkdir("/x.bin"), 0);
    ASSERT_TRUE(vfs_write("/sub/b.txt", "b1"));
    ASSERT_TRUE(vfs_write("/x.bin/c.txt", "c1"));
    ASSERT_TRUE(vfs_write("/a.txt", "a1"));
    ASSERT_TRUE(vfs_write("/gone.txt", "last words"));
    at(2025, 3, 29, 11, 0, 0);
    delete_path("/gone.txt");
    std::vector<std::string> l = lines_of(log());
    ASSERT_GE(l.size(), 3u);
    // The day's first event opens the log with a snapshot: the folder just made, empty.
    EXPECT_EQ(l[0], "^ /sub/");
    EXPECT_EQ(l[1], "> /sub");
    EXPECT_EQ(l[2], "> /x.bin");
    EXPECT_EQ(l.back(), "- /gone.txt");
    EXPECT_EQ(fetch("/gone.txt@2025-03-29_12:00:00"), "last words");  // as of its last record

    // The next day's log opens with a snapshot of the drive; a "bin" folder is not walked,
    // and the file whose write opened the log is recorded by its own event only.
    at(2025, 3, 30, 9, 0, 0);
    ASSERT_TRUE(vfs_write("/a.txt", "a2"));
    std::string want = "^ /sub/\n: " + blob_name("b1") + " /sub/b.txt\n" + "@ 2025-03-30_09:00:00\n$ " +
                       blob_name("a2") + " /a.txt\n";
    EXPECT_EQ(log("2025-03/30"), want);
    EXPECT_EQ(fetch("/sub/b.txt@2025-03-30_08:00:00"), "b1");
    EXPECT_EQ(fetch("/a.txt@2025-03-30_08:00:00"), "a1");  // from the day before
    EXPECT_EQ(fetch("/a.txt@2025-03-30_09:00:00"), "a2");
    EXPECT_EQ(fetch("/x.bin/c.txt@2025-03-30_08:00:00"), "c1");
    EXPECT_EQ(fetch("/gone.txt@2025-03-30_08:00:00"), "last words");
    // Two days back the path was never recorded in either log read.
    at(2025, 4, 2, 9, 0, 0);
    ASSERT_TRUE(vfs_write("/new.txt", "n"));
    EXPECT_EQ(fetch("/gone.txt@2025-04-02_10:00:00"), "<none>");
}

// Mounts and links that lead back into a folder being walked are walked once; host names
// that are no file-system paths are left out, so they can't forge log lines.
TEST_F(History, SnapshotWalksEachFolderOnceAndOnlyLegalNames) {
    host_write(drive + "/b.txt", "b");
    host_write(drive + "/evil\n: " + blob_name("b") + " \n/forged", "x");
    host_write(drive + "/with space.txt", "x");
    mkdir((drive + "/loop").c_str(), 0755);
    mkdir((drive + "/loop/again").c_str(), 0755);
    ASSERT_NE(mount_host_path("/loop/again", drive.c_str()), nullptr);
    ASSERT_EQ(symlink(drive.c_str(), (drive + "/link").c_str()), 0);
    // A file linked from outside the drive is no file of it; one linked from inside is.
    std::string outside = make_temp_folder();
    host_write(outside + "/secret", "not the drive's");
    ASSERT_EQ(symlink((outside + "/secret").c_str(), (drive + "/out.txt").c_str()), 0);
    ASSERT_EQ(symlink((drive + "/b.txt").c_str(), (drive + "/same.txt").c_str()), 0);
    ASSERT_TRUE(vfs_write("/a.txt", "a"));
    std::string h = blob_name("b");
    EXPECT_EQ(log(), ": " + h + " /b.txt\n^ /link/\n^ /loop/\n^ /loop/again/\n: " + h + " /same.txt\n@ 2025-03-29_10:00:00\n$ " +
                         blob_name("a") + " /a.txt\n");
    EXPECT_EQ(fetch("/forged@2025-03-29_10:00:00"), "<none>");
    EXPECT_EQ(fetch("/out.txt@2025-03-29_10:00:00"), "<none>");
    EXPECT_EQ(host_read(blobs() + "/" + blob_name("not the drive's")), "<missing>");
    std::string cmd = "rm -rf '" + outside + "'";
    if (system(cmd.c_str()) != 0) ADD_FAILURE() << cmd;
}

TEST_F(History, MalformedRequestsGiveNothing) {
    ASSERT_TRUE(vfs_write("/a.txt", "a1"));
    const char* requests[] = {
        "/a.txt",
        "/a.txt@2025-03-29_10:00:0",
        "/a.txt@2025-03-29_10:00:000",
        "/a.txt@",
        "/a.txt@yyyy-03-29_10:00:00",
        "/a.txt@2025/03/29_10:00:00",
        "/a.txt@2025-03-00_10:00:00",  // clamped to the 1st: before any log, the walk ends
        "/a.txt@0000-00-00_00:00:00",
    };
    for (const char* r : requests) EXPECT_EQ(fetch(r), "<none>") << r;
    EXPECT_EQ(fetch(std::string(2030, 'a') + "@2025-03-29_10:00:00"), "<none>");
    EXPECT_EQ(fetch("/a.txt@2025-03-29_10:00:00"), "a1");
}

TEST_F(History, DamagedLogsAndBlobsGiveNothingRatherThanAWrongFile) {
    std::string good = "good content", bad_blob = "was changed on disk";
    ASSERT_TRUE(vfs_write("/ok.txt", good));
    std::string hg = blob_name(good), hb = blob_name("original");
    host_write(blobs() + "/" + hb, bad_blob);
    std::string long_path = "/" + std::string(1100, 'p');
    std::string extra = "@ 2025-03-29_10:00:01\n"
                        "$ ../../../../../../../../etc/pass /evil\n"
                        "$ " + hb + " /tampered\n"
                        "+ " + hg + " /garbled\n| 00ff00ff\n"
                        "+ " + hg + " /cut\n|\n"
                        "$ " + hg + " " + long_path + "\n"
                        "$ " + hg.substr(0, 31) + "G /upper\n";
    host_write(home + "/backtrail/2025-03/29.log", log() + extra);
    for (const char* p : {"/evil", "/tampered", "/garbled", "/cut", "/upper"})
        EXPECT_EQ(fetch(std::string(p) + "@2025-03-29_11:00:00"), "<none>") << p;
    EXPECT_EQ(fetch(long_path + "@2025-03-29_11:00:00"), "<none>");
    EXPECT_EQ(fetch("/ok.txt@2025-03-29_11:00:00"), good);
}

TEST_F(History, AHistoryThatCannotBeWrittenNeverCostsTheUsersWrite) {
    host_write(home + "/backtrail", "a file where the history's folder should be");
    ASSERT_TRUE(vfs_write("/a.txt", "mine"));
    EXPECT_EQ(host_read(drive + "/a.txt"), "mine");
    EXPECT_EQ(fetch("/a.txt@2025-03-29_11:00:00"), "<none>");

    // Blobs that can't be written leave their record, so the time gives nothing, not an
    // older version.
    unlink((home + "/backtrail").c_str());
    mkdir((home + "/backtrail").c_str(), 0755);
    mkdir((home + "/backtrail/2025-03").c_str(), 0755);
    host_write(home + "/backtrail/2025-03/orb", "in the way");
    at(2025, 3, 29, 10, 0, 1);
    ASSERT_TRUE(vfs_write("/a.txt", "mine, again"));
    EXPECT_EQ(host_read(drive + "/a.txt"), "mine, again");
    EXPECT_EQ(lines_of(log()), (std::vector<std::string>{"@ 2025-03-29_10:00:01", "$ " + blob_name("mine, again") + " /a.txt"}));
    EXPECT_EQ(fetch("/a.txt@2025-03-29_11:00:00"), "<none>");
}

// Records are appended in place. An append cut short by a crash leaves a last line without
// its line break: it is never read as a record, and the next append cuts it off first.
TEST_F(History, ACutShortAppendIsNeitherReadNorContinued) {
    ASSERT_TRUE(vfs_write("/a.txt", "a1"));
    ASSERT_TRUE(vfs_write("/ab", "ab"));
    std::string before = log();
    struct stat st0;
    ASSERT_EQ(stat((home + "/backtrail/2025-03/29.log").c_str(), &st0), 0);
    // The record of "/ab" cut to the length of "/a": it would stand for the wrong file.
    std::string torn = "@ 2025-03-29_10:00:01\n$ " + blob_name("ab") + " /a";
    host_write(home + "/backtrail/2025-03/29.log", before + torn);
    EXPECT_EQ(fetch("/a.txt@2025-03-29_10:00:01"), "a1");
    EXPECT_EQ(fetch("/a@2025-03-29_10:00:01"), "<none>");
    at(2025, 3, 29, 10, 0, 2);
    ASSERT_TRUE(vfs_write("/c.txt", "c"));
    EXPECT_EQ(log(), before + "@ 2025-03-29_10:00:01\n@ 2025-03-29_10:00:02\n$ " + blob_name("c") + " /c.txt\n");
    EXPECT_EQ(fetch("/a@2025-03-29_10:00:05"), "<none>");
    EXPECT_EQ(fetch("/c.txt@2025-03-29_10:00:05"), "c");
    // A log holding no whole line is emptied before the append.
    host_write(home + "/backtrail/2025-03/29.log", "$ " + blob_name("c"));
    ASSERT_TRUE(vfs_write("/d.txt", "d"));
    EXPECT_EQ(log(), "@ 2025-03-29_10:00:02\n$ " + blob_name("d") + " /d.txt\n");
}

// At the host disk cap the log is refused before it is touched: a torn last line stays
// as it was, and a day's log that doesn't exist yet is not made (its first block counts).
TEST_F(History, AtTheHostDiskCapTheLogIsLeftAsItWas) {
    ASSERT_TRUE(vfs_write("/a.txt", text('a')));
    // Whole lines and a torn record ending on a block's end: what the append adds would
    // fit the block again once the torn part is cut.
    std::string path = home + "/backtrail/2025-03/29.log", torn = "$ ab";
    std::string pad = log() + "#";
    pad += std::string((size_t)(2 * HOST_DISK_BLOCK) - pad.size() - torn.size() - 1, '#') + "\n";
    host_write(path, pad + torn);
    int64_t room = host_disk_limit() - host_disk_added();
    ASSERT_TRUE(host_disk_take(room));

    // The same length: the user's file needs no more room; the history gets none.
    at(2025, 3, 29, 10, 0, 1);
    ASSERT_TRUE(vfs_write("/a.txt", text('b')));
    EXPECT_EQ(host_read(drive + "/a.txt"), text('b'));
    EXPECT_EQ(log(), pad + torn);
    at(2025, 3, 30, 10, 0, 0);
    ASSERT_TRUE(vfs_write("/a.txt", text('c')));
    EXPECT_EQ(host_read(drive + "/a.txt"), text('c'));
    EXPECT_EQ(folder_names(home + "/backtrail/2025-03"), (std::vector<std::string>{"29.log", "orb"}));
    host_disk_take(-room);
}

// What the history reads for a write is charged to the writer like any host read.
TEST_F(History, ItsReadsAreChargedToTheWriter) {
    std::string v1 = text('A', 800000), v2 = text('B', 800000);
    ASSERT_TRUE(vfs_write("/a.txt", v1));
    auto cost = [](const std::string& path, const std::string& bytes) {
        cpu_cycles = 0;
        EXPECT_TRUE(vfs_write(path, bytes));
        return (int64_t)cpu_cycles;
    };
    int64_t write = 800000 / 8 + FRAME_CYCLES / 4;
    EXPECT_EQ(cost("/a.txt", v2), write + 2 * 800000 / 8);  // the file and its base, for a delta
    EXPECT_EQ(lines_of(log()).back().substr(0, 2), "| ");
    config.backtrail = 0;
    EXPECT_EQ(cost("/a.txt", v1), write);
}

TEST_F(History, SessionStartNote) {
    host_write(drive + "/a.txt", "a");
    backtrail_open();
    EXPECT_EQ(log(), ": " + blob_name("a") + " /a.txt\n@ 2025-03-29_10:00:00 __start_session\n");
    EXPECT_EQ(fetch("/a.txt@2025-03-29_10:00:00"), "a");
}

TEST_F(History, NothingIsRecordedWhileTheSettingIsOff) {
    config.backtrail = 0;
    ASSERT_TRUE(vfs_write("/a.txt", "a1"));
    ASSERT_TRUE(vfs_write("/ram/r.txt", "ram"));
    EXPECT_EQ(host_read(home + "/backtrail"), "<missing>");
    config.backtrail = 1;
    ASSERT_TRUE(vfs_write("/ram/r.txt", "ram files are never recorded"));
    EXPECT_EQ(host_read(home + "/backtrail"), "<missing>");
}

// The setting switched on from Lua opens the day's log; fetched files convert as fetch does.
static std::string lua_drive;
static void mount_lua_drive() { mount_host_path("/", lua_drive.c_str()); }

TEST(HistoryApi, SwitchOnStoreAndFetchBack) {
    lua_drive = make_temp_folder();
    pdisk_reset_hook = mount_lua_drive;
    int64_t (*saved)() = backtrail_clock;
    backtrail_clock = fake_wall;
    wall_now = utc(2025, 6, 15, 12, 0, 0);
    host_write(lua_drive + "/old.txt", "on the drive before");
    check_cases({
        {"_apply_system_settings({backtrail = true})", "(none)"},
        {"store('/t.orb', {a = 1})", "(none)"},
        {"_fetch_backtrail('/t.orb@2025-06-15_12:00:00')", "{a=1}, {}"},
        {"_fetch_backtrail('/old.txt@2025-06-15_00:00:00')", "\"on the drive before\""},
        {"_fetch_backtrail('/t.orb@2025-06-15_11:59:59')", "(none)"},
        {"_fetch_backtrail('/t.orb')", "(none)"},
        {"_fetch_backtrail()", "(none)"},
    });
    std::string log = host_read(std::string(config.home) + "/backtrail/2025-06/15.log");
    EXPECT_EQ(log.rfind(": " + blob_name("on the drive before") + " /old.txt\n", 0), 0u) << log;
    backtrail_clock = saved;
    backtrail_close();
    config.backtrail = 0;
    pdisk_reset_hook = nullptr;
    pfile_reset();
    std::string cmd = "rm -rf '" + lua_drive + "' '" + config.home + "/backtrail'";
    if (system(cmd.c_str()) != 0) ADD_FAILURE() << cmd;
}

}  // namespace
