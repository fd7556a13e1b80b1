// Host services: the audio device and its nesting lock, the desktop opener,
// both clipboards and worker threads.
#include <SDL2/SDL.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <sstream>
#include <thread>

#include "host/host.h"
#include "host/host_fixture.h"
#include "kernel/state.h"
#include "storage/pdisk.h"
#include "support/harness.h"

namespace {

int64_t file_size(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? (int64_t)st.st_size : -1;
}

// Waits (up to a generous limit) for the audio file to grow past size.
bool grows_past(int64_t size) {
    for (int i = 0; i < 1000; i++) {
        if (file_size(audio_file()) > size) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

TEST(AudioDevice, CallbackWritesTheMixAndTheLockHoldsItOff) {
    host_up();
    ASSERT_TRUE(grows_past(0)) << "the disk audio device never wrote";
    // Two locks and one unlock keep the audio thread out.
    EXPECT_EQ(os_lock_audio(), 1);
    EXPECT_EQ(os_lock_audio(), 2);
    os_unlock_audio();
    // At most the buffer mixed before the lock is still written.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    int64_t held = file_size(audio_file());
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(file_size(audio_file()), held);
    os_unlock_audio();
    EXPECT_TRUE(grows_past(held));
    // An unlock too many is ignored: the next lock still holds the device.
    os_unlock_audio();
    EXPECT_EQ(os_lock_audio(), 1);
    os_unlock_audio();
    // 512 stereo frames of 16 bits per callback, all the mixer's (silent) output.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    os_lock_audio();
    std::ifstream f(audio_file(), std::ios::binary);
    std::stringstream s;
    s << f.rdbuf();
    os_unlock_audio();
    std::string bytes = s.str();
    EXPECT_EQ(bytes.size() % 2048, 0u);
    EXPECT_EQ(bytes.find_first_not_of('\0'), std::string::npos);
}

// A stand-in opener on PATH records the one argument it was given.
class Opener : public ::testing::Test {
protected:
    std::string dir, record;
    void SetUp() override {
        char tmpl[] = "/tmp/orvanta_opener_XXXXXX";
        dir = mkdtemp(tmpl);
        record = dir + "/args";
        std::ofstream s(dir + "/xdg-open");
        s << "#!/bin/sh\nprintf '%s|%s' \"$#\" \"$1\" > " << record << ".tmp && mv " << record << ".tmp " << record
          << "\n";
        s.close();
        chmod((dir + "/xdg-open").c_str(), 0755);
        old_path = getenv("PATH");
        setenv("PATH", (dir + ":" + old_path).c_str(), 1);
    }
    void TearDown() override {
        setenv("PATH", old_path.c_str(), 1);
        system(("rm -rf " + dir).c_str());
    }
    // What the opener received, "" when it was not run within a few seconds.
    std::string opened(bool expect_run = true) {
        for (int i = 0; i < (expect_run ? 500 : 30); i++) {
            std::ifstream f(record);
            if (f) {
                std::stringstream s;
                s << f.rdbuf();
                unlink(record.c_str());
                return s.str();
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return "";
    }
    std::string old_path;
};

TEST_F(Opener, PathsReachTheOpenerUntouched) {
    open_host_file("/tmp/a \"b\" $HOME `x` \\n.txt");
    EXPECT_EQ(opened(), "1|/tmp/a \"b\" $HOME `x` \\n.txt");
}

TEST_F(Opener, UrlEncoding) {
    struct Case {
        const char* url;
        const char* sent;
    } cases[] = {
        {"https://a.org/x y?q=1&r=_-.:", "https://a.org/x%20y?q=1&r=_-.:"},
        {"http://a.org/caf\xc3\xa9", "http://a.org/caf%c3%a9"},
        {"https://a.org/a%20b#frag", "https://a.org/a%20b#frag"},  // already encoded; fragment kept
        {"https://a.org/100%", "https://a.org/100%25"},
        {"https://a.org/\"$`", "https://a.org/%22%24%60"},
    };
    for (const Case& c : cases) {
        open_host_file(c.url);
        EXPECT_EQ(opened(), std::string("1|") + c.sent) << c.url;
    }
    // Too long once encoded: refused, not cut.
    std::string long_url = "https://a.org/" + std::string(400, ' ');
    open_host_file(long_url.c_str());
    EXPECT_EQ(opened(false), "");
    char out[64];
    EXPECT_EQ(encode_url("https://a.org/ab", out, sizeof out), 16u);
    EXPECT_EQ(encode_url("https://a.org/ab", out, 16), 0u);
}

TEST_F(Opener, OpenHostPathFromLua) {
    struct Case {
        const char* call;
        std::string sent;  // "" when nothing is opened
    } cases[] = {
        {"_open_host_path('/ram')", ""},  // RAM folders have no host path
        {"_open_host_path(12)", ""},
        {"_open_host_path('/docs/readme.txt')", "1|<drive>/docs/readme.txt"},
        {"_open_host_path('http://a.org/x y')", "1|http://a.org/x%20y"},
    };
    for (const Case& c : cases) {
        ASSERT_TRUE(harness_boot(c.call));
        char drive[1024];
        tolo_prefix_with_appdata_path("drive", drive);
        mkdir(drive, 0755);
        mkdir((std::string(drive) + "/docs").c_str(), 0755);
        std::ofstream(std::string(drive) + "/docs/readme.txt") << "read me";
        mount_host_path("/", drive);
        harness_run_frames(1);
        std::string want = c.sent;
        if (want.find("<drive>") != std::string::npos) want.replace(want.find("<drive>"), 7, drive);
        EXPECT_EQ(opened(!want.empty()), want) << c.call;
    }
}

TEST(Clipboards, HostAndSystem) {
    host_up();
    std::vector<std::string> out = harness_eval({
        "_get_userland_clipboard_text()",
        "_set_userland_clipboard_text(12.5)",
        "_get_userland_clipboard_text()",
        "_set_userland_clipboard_text({})",
        "_get_userland_clipboard_text()",
        "_set_host_clipboard_text('\\xef\\xbb\\xbfone\\r\\ntwo')",
        "(_get_host_clipboard_text():gsub('\\n', '|'))",
        "_set_host_clipboard_text(5)",
        "(_get_host_clipboard_text():gsub('\\n', '|'))",
        "_req_host_clipboard_text()",
        "_set_userland_clipboard_text('a\\0b')",  // zero bytes stay in the system clipboard
        "#_get_userland_clipboard_text()",
    });
    EXPECT_EQ(out, (std::vector<std::string>{"\"\"", "(none)", "\"12.5\"", "(none)", "\"12.5\"", "(none)",
                                             "\"one|two\"", "(none)", "\"one|two\"", "(none)", "(none)", "3"}));
}

TEST(Threads, RunDetached) {
    static std::atomic<int> ran;
    int arg = 41;
    OsThread* t = os_create_thread([](void* p) { ran = *(int*)p + 1; return 0; }, &arg);
    ASSERT_NE(t, nullptr);
    os_destroy_thread(t);
    os_destroy_thread(nullptr);
    for (int i = 0; i < 500 && ran != 42; i++) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(ran, 42);
}

TEST(Clock, SixtyFourBitTicks) {
    // SDL's 32-bit tick counter wraps after 49 days; ours doesn't.
    static_assert(sizeof(get_ticks()) == 8);
    EXPECT_GE(os_get_time(), 0);
}

}  // namespace
