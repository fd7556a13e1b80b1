// Start-up as a user sees it: the real program on a temporary app-data folder.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "kernel/state.h"
#include "storage/host_disk.h"

namespace {

std::string slurp(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

std::string record(const std::string& bytes) {
    uint32_t n = (uint32_t)bytes.size();
    std::string r = {(char)(n >> 24), (char)(n >> 16), (char)(n >> 8), (char)n};
    return r + bytes;
}

struct RunResult {
    int status;
    std::string out;
};

class StartupTest : public ::testing::Test {
protected:
    std::string dir, home;
    void SetUp() override {
        char tmpl[] = "/tmp/orvanta_startup_XXXXXX";
        dir = mkdtemp(tmpl);
        home = dir + "/home";
        // The program reads sysrom.dat beside itself, so each test runs its own copy.
        std::string cmd = "cp " + std::string(ORVANTA_BIN) + " " + dir + "/orvanta";
        ASSERT_EQ(system(cmd.c_str()), 0);
    }
    void TearDown() override { system(("rm -rf " + dir).c_str()); }

    void write_dat(const std::string& bytes) {
        std::ofstream f(dir + "/sysrom.dat", std::ios::binary);
        f << bytes;
    }

    RunResult run(const std::vector<std::string>& args) {
        std::string cmd = "cd " + dir + " && timeout 20 ./orvanta";
        for (const std::string& a : args) cmd += " '" + a + "'";
        cmd += " 2>/dev/null";
        FILE* p = popen(cmd.c_str(), "r");
        std::string out;
        char buf[4096];
        size_t n;
        while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
        int st = pclose(p);
        return {WIFEXITED(st) ? WEXITSTATUS(st) : -1, out};
    }
};

TEST_F(StartupTest, SysromRecords) {
    struct Case {
        const char* what;
        bool present;
        std::string dat;
        int status;
        const char* out;
    } cases[] = {
        {"missing file", false, "", 1, "sysrom.dat not found\n"},
        {"empty file", true, "", 1, "sysrom.dat not found\n"},
        {"one record", true, record("demo"), 1, "sysrom.dat not found\n"},
        {"length above the limit", true, record("") + std::string("\x02\0\0\x01", 4), 1, "sysrom.dat not found\n"},
        // A short record stays empty but counts; an empty ROM holds no boot file.
        {"truncated second record", true, record("demo") + std::string("\0\0\0\x10" "abc", 7), 0,
         "could not find /system/boot.lua\n"},
        {"empty second record", true, record("") + record(""), 0, "could not find /system/boot.lua\n"},
    };
    for (const Case& c : cases) {
        unlink((dir + "/sysrom.dat").c_str());
        if (c.present) write_dat(c.dat);
        RunResult r = run({"-home", home, "-x"});
        EXPECT_EQ(r.status, c.status) << c.what;
        EXPECT_EQ(r.out, c.out) << c.what;
        if (c.status == 1)
            EXPECT_NE(slurp(home + "/log.txt").find("] sysrom.dat not found\n"), std::string::npos) << c.what;
    }
}

TEST_F(StartupTest, DefaultConfigAndLog) {
    write_dat(record("demo"));
    RunResult r = run({"-home", home, "-x"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(slurp(home + "/orvanta_config.txt"), "# orvanta config\n\nmount / " + home + "/drive\n");
    std::string log = slurp(home + "/log.txt");
    EXPECT_NE(log.find("] load_orvanta_dat_files: sysrom.dat // from: "), std::string::npos);
    EXPECT_NE(log.find("] booting orvanta 0.2.0c\n"), std::string::npos);
    EXPECT_NE(log.find("] build: 250329-114129\n"), std::string::npos);
    EXPECT_NE(log.find("] writing default config to " + home + "/orvanta_config.txt\n"), std::string::npos);
    EXPECT_NE(log.find("] mount: [/] [" + home + "/drive]\n"), std::string::npos);
    EXPECT_EQ(log.compare(0, 1, "["), 0);
    // An existing file is read, not rewritten.
    const std::string mine = "# mine\nmount /x /tmp\r\nmount /a\nmount  /b /tmp\n# mount /c /d\nmountx /e /f\nmount /g   /tmp/y z";
    std::ofstream(home + "/orvanta_config.txt") << mine;
    run({"-home", home, "-x"});
    EXPECT_EQ(slurp(home + "/orvanta_config.txt"), mine);
    log = slurp(home + "/log.txt");
    for (const char* line : {"] mount: [/x] [/tmp]\n", "] mount: [/a] []\n", "] mount: [] [/b /tmp]\n",
                             "] mount: [/g] [/tmp/y z]\n"})
        EXPECT_NE(log.find(line), std::string::npos) << line;
    EXPECT_EQ(log.find("/c"), std::string::npos);
    EXPECT_EQ(log.find("/e"), std::string::npos);
}

// Packs a ROM whose /system/boot.lua is the given text; returns the sysrom.dat bytes
// with record 0 replaced by export_name.
std::string rom_with_boot(const std::string& dir, const std::string& boot, const std::string& export_name) {
    std::string src = dir + "/romsrc";
    system(("rm -rf " + src + " && mkdir -p " + src).c_str());
    std::ofstream(src + "/boot.lua") << boot;
    std::string out = dir + "/packed.dat";
    std::string cmd = std::string(ORVANTA_BUILD_DIR) + "/tools/rompack " + out + " " + src;
    if (system(cmd.c_str()) != 0) return "";
    std::string dat = slurp(out);
    uint32_t n0 = ((uint8_t)dat[0] << 24) | ((uint8_t)dat[1] << 16) | ((uint8_t)dat[2] << 8) | (uint8_t)dat[3];
    return record(export_name) + dat.substr(4 + n0);
}

TEST_F(StartupTest, BootFileFailures) {
    write_dat(rom_with_boot(dir, "local x = = 1", ""));
    RunResult r = run({"-home", home, "-x"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.rfind("error in /system/boot.lua [string \"local x = = 1\"]:1: unexpected symbol near '='", 0), 0u)
        << r.out;

    // A runtime error in the root prints only the banner; the message goes to the log.
    write_dat(rom_with_boot(dir, "error('kaboom')", ""));
    r = run({"-home", home, "-x"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "** RUNTIME ERROR IN KERNEL **\n");
    EXPECT_NE(slurp(home + "/log.txt").find("kaboom"), std::string::npos);

    // A root that returns ends the program in order.
    write_dat(rom_with_boot(dir, "_printh('bye')", ""));
    r = run({"-home", home, "-x"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "bye\n");
}

TEST_F(StartupTest, RebootAndExitWaitForTheExclusiveProcess) {
    // Frame by frame: ask for a reboot while exclusive (once: a file in the drive
    // remembers it), clear it three frames later.
    const char* boot =
        "local n = 0\n"
        "_printh('boot')\n"
        "while true do\n"
        "  n = n + 1\n"
        "  if n == 1 and not fetch('/rebooted.txt') then store('/rebooted.txt', 'yes') _signal(40) _signal(34) end\n"
        "  if n == 4 then _printh('clear') _signal(41) end\n"
        "  if n == 8 then _signal(33) end\n"
        "  flip()\n"
        "end\n";
    write_dat(rom_with_boot(dir, boot, ""));
    RunResult r = run({"-home", home, "-x"});
    EXPECT_EQ(r.status, 0);
    // The reboot happens only after the exclusive pid is cleared; the rebooted root exits.
    EXPECT_EQ(r.out, "boot\nclear\nboot\nclear\n") << r.out;
}

TEST_F(StartupTest, AppDataFolderWithoutHome) {
    struct Case {
        const char* export_name;
        const char* folder;
    } cases[] = {
        {"demo", "/xdg/orvanta/exp/demo/"},
        {"", "/xdg/orvanta/exp/shared/"},
        {"../up", "/xdg/orvanta/exp/.._up/"},
    };
    for (const Case& c : cases) {
        write_dat(rom_with_boot(dir, "_printh('up')", c.export_name));
        std::string cmd = "cd " + dir + " && XDG_DATA_HOME=" + dir + "/xdg timeout 20 ./orvanta -x > /dev/null";
        EXPECT_EQ(system(cmd.c_str()), 0) << c.export_name;
        std::string log = slurp(dir + c.folder + "log.txt");
        EXPECT_NE(log.find("] booting orvanta 0.2.0c\n"), std::string::npos) << c.export_name;
        EXPECT_EQ(slurp(dir + c.folder + "orvanta_config.txt"),
                  "# orvanta config\n\nmount / " + dir + c.folder + "drive\n");
    }
}

TEST_F(StartupTest, UnwritableConfigEndsWithStatusOne) {
    write_dat(record("demo"));
    // A home below a plain file can hold neither the log nor the configuration.
    RunResult r = run({"-home", "/dev/null/home", "-x"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "ERROR: could not write to /dev/null/home/orvanta_config.txt\n");
}

}  // namespace

// Command line and settings, in-process.
namespace {

struct ArgCase {
    std::vector<const char*> argv;
    const char* home;
    int headless;
    const char* start_path;
};

TEST(CommandLine, Table) {
    std::vector<ArgCase> cases = {
        {{"orvanta", "-home", "/tmp/orvanta_cl_h", "-x", "game.lua"}, "/tmp/orvanta_cl_h", 1, "game.lua"},
        {{"orvanta", "-frob", "game.lua"}, "", 0, ""},
        {{"orvanta", "-gif_len", "30", "game.lua"}, "", 0, "game.lua"},
        {{"orvanta", "a.lua", ">", "b.lua", "-x"}, "", 0, "a.lua"},
        {{"orvanta", "a.lua", "b.lua"}, "", 0, "b.lua"},
        {{"orvanta", "-xyz", "-use_system_rom", "c.lua"}, "", 1, "c.lua"},
        {{"orvanta", "|", "-x"}, "", 0, ""},
    };
    for (const ArgCase& c : cases) {
        config_set_defaults();
        process_arguments((int)c.argv.size(), (char**)c.argv.data());
        EXPECT_STREQ(config.home, c.home) << c.argv[1];
        EXPECT_EQ(config.headless, c.headless) << c.argv[1];
        EXPECT_STREQ(config.start_path, c.start_path) << c.argv[1];
    }
    // -gif_len takes seconds, rounded up to whole ones; what is no number of them keeps the default.
    const std::pair<const char*, int32_t> lengths[] = {
        {"30", 30}, {"7.5", 8}, {"1e-300", 1}, {"1e9", GIF_LEN_MAX}, {"inf", GIF_LEN_MAX}, {"0", GIF_LEN_DEFAULT},
        {"abc", GIF_LEN_DEFAULT}, {"nan", GIF_LEN_DEFAULT},
    };
    for (const auto& [arg, want] : lengths) {
        config_set_defaults();
        const char* argv[] = {"orvanta", "-gif_len", arg, "game.lua"};
        testing::internal::CaptureStdout();
        process_arguments(4, (char**)argv);
        testing::internal::GetCapturedStdout();
        EXPECT_EQ(config.gif_len, want) << arg;
        EXPECT_STREQ(config.start_path, "game.lua") << arg;
    }
    config_set_defaults();
    EXPECT_EQ(config.gif_len, GIF_LEN_DEFAULT);
    EXPECT_EQ(config.fullscreen, 1);
    EXPECT_EQ(config.pixel_perfect, 1);
    EXPECT_EQ(config.volume, 192);
    EXPECT_EQ(config.network_access, 1);
    EXPECT_EQ(config.stretch, 0);
}

TEST(Settings, StoredValues) {
    struct Case {
        const char* key;
        int32_t value;
        int32_t* field;
        int32_t want;
    } cases[] = {
        {"volume", 300, &config.volume, 256},         {"volume", -5, &config.volume, 0},
        {"volume", 100, &config.volume, 100},         {"fullscreen", 7, &config.fullscreen, 1},
        {"fullscreen", 0, &config.fullscreen, 0},     {"pixel_scale", 7, &config.pixel_scale, 7},
        {"deadzone", 999, &config.deadzone, 256},     {"mute_audio", -1, &config.mute_audio, 1},
        {"sdl_render_driver", 3, &config.sdl_render_driver, 3},
        {"network_access", 0, &config.network_access, 0},
        {"host_disk_limit_mb", 20000, &config.host_disk_limit_mb, 20000},
        {"host_disk_limit_mb", -3, &config.host_disk_limit_mb, 1},
    };
    config_set_defaults();
    for (const Case& c : cases) {
        orvanta_apply_setting(c.key, c.value);
        EXPECT_EQ(*c.field, c.want) << c.key << " " << c.value;
    }
    // The host disk cap follows its setting at once.
    EXPECT_EQ(host_disk_limit(), 1 << 20);
    orvanta_apply_setting("host_disk_limit_mb", HOST_DISK_DEFAULT_MB);
    EXPECT_EQ(host_disk_limit(), (int64_t)HOST_DISK_DEFAULT_MB << 20);
    Config before = config;
    orvanta_apply_setting("no_such_key", 5);
    EXPECT_EQ(memcmp(&before, &config, sizeof config), 0);
}

}  // namespace
