// Hostile programs against the whole host. Each case (cases/<name>.lua) runs as a
// user process beside a watcher process, on the starter system ROM, in a forked copy
// of the host. The host must stay up, the watcher must flip in every frame it may
// run, no frame may take more than a bounded host time, the host's memory must stay
// bounded, and nothing outside the app-data folder may change.
//
// Lines beginning "--@" at the top of a case are directives:
//   --@ frames N         frames to run before the host is quit (default 240)
//   --@ paced            frames start 16 ms apart, as in a window (by default they run
//                        back to back); for cases that need wall-clock time to pass
//   --@ expect TEXT      the host's output must contain TEXT: print a line once the
//                        hostile part has run, so that a case can't pass by failing early
//   --@ after PATH TEXT  once the host has quit, the file PATH (relative to the app-data
//                        folder) must contain TEXT
//   --@ home PATH TEXT   before the start, TEXT is written to PATH in the app-data folder
//                        (appended when PATH repeats)
//   --@ server           the local HTTP server of tests/net runs for the case; @SERVER@ in
//                        the case text becomes its base URL ("http://127.0.0.1:PORT/")
//   --@ rss MB           the host's peak resident memory must stay within MB
//   --@ windowed         the host runs with a window (SDL's dummy video driver), not -x
//   --@ args ARGS        further command-line arguments, split at spaces, before the start path
//   --@ setting KEY N    the host applies the settings key before the start, as the system would
//   --@ disk MB          once the host has quit, the app-data folder takes at most MB megabytes
// TEXT may hold \n, \r, \t, \\ and \xHH escapes, and @HOME@ for the app-data folder (with its
// trailing "/"). The program may read its own case text as /case.lua.
//
// HOSTILE_DEBUG=1 in the environment keeps each case's folder (its output, log and
// app-data) and writes every frame that took more than 20 ms of host time to the output.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <ftw.h>
#include <malloc.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "host/host.h"
#include "kernel/api.h"
#include "kernel/process.h"
#include "kernel/state.h"
#include "support/local_http.h"

namespace {

#if defined(__SANITIZE_ADDRESS__)
constexpr double kSlow = 4.0;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr double kSlow = 4.0;
#else
constexpr double kSlow = 1.0;
#endif
#else
constexpr double kSlow = 1.0;
#endif

// Generous bounds: host CPU time is measured per frame on the host's own thread, so
// a loaded machine does not move it; wall time only catches a stalled frame.
constexpr double kFrameCpuLimit = 0.5 * kSlow;
constexpr double kFrameWallLimit = 10.0 * kSlow;
constexpr double kHangSeconds = 60.0 * kSlow;
constexpr int64_t kPeakMemoryLimitMb = kSlow > 1 ? 2560 : 1024;
constexpr size_t kOutputCap = 1 << 20;

const char* const kCaseNames[] = {
#include "hostile_cases.inc"
    nullptr,
};

const char* const kWatcherPath = "[hostile watcher]";

const char* const kLauncher = R"LUA(
_create_process_from_code("while true do flip() end", "watcher", "[hostile watcher]")
local src = fetch("/case.lua")
if type(src) ~= "string" or not _create_process_from_code(src, "case", "/case.lua") then
	_printh("hostile: the case did not start")
end
)LUA";

struct Case {
    std::string name, text;
    int frames = 240;
    bool paced = false;
    bool server = false;
    int64_t rss_mb = 0;
    std::vector<std::string> expects;
    std::vector<std::pair<std::string, std::string>> after, home;
    bool windowed = false;
    std::vector<std::string> args;
    std::vector<std::pair<std::string, int>> settings;
    int64_t disk_mb = -1;
};

std::string unescape(const std::string& s, const std::string& home) {
    std::string r;
    for (size_t i = 0; i < s.size(); i++) {
        if (s.compare(i, 6, "@HOME@") == 0) {
            r += home;
            i += 5;
        } else if (s[i] == '\\' && i + 1 < s.size() && (s[i + 1] == 'n' || s[i + 1] == 'r' || s[i + 1] == 't')) {
            r += s[i + 1] == 'n' ? '\n' : s[i + 1] == 'r' ? '\r' : '\t';
            i++;
        } else if (s[i] == '\\' && i + 1 < s.size() && s[i + 1] == '\\') {
            r += '\\';
            i++;
        } else if (s[i] == '\\' && i + 3 < s.size() && s[i + 1] == 'x') {
            r += (char)strtol(s.substr(i + 2, 2).c_str(), nullptr, 16);
            i += 3;
        } else {
            r += s[i];
        }
    }
    return r;
}

std::string slurp(const std::string& p, size_t cap = SIZE_MAX) {
    std::ifstream f(p, std::ios::binary);
    if (!f) return "";
    std::string s;
    char buf[65536];
    while (s.size() < cap && f.read(buf, sizeof buf).gcount() > 0) s.append(buf, (size_t)f.gcount());
    return s;
}

void spit(const std::string& p, const std::string& s) {
    std::ofstream f(p, std::ios::binary);
    f << s;
}

std::string tail(const std::string& s, size_t n = 3000) { return s.size() <= n ? s : "..." + s.substr(s.size() - n); }

// "PATH TEXT" of a directive.
std::pair<std::string, std::string> path_and_text(const std::string& rest) {
    size_t sp = rest.find(' ');
    if (sp == std::string::npos) return {rest, ""};
    return {rest.substr(0, sp), rest.substr(sp + 1)};
}

Case load_case(const std::string& name) {
    Case c;
    c.name = name;
    c.text = slurp(std::string(ORVANTA_SOURCE_DIR) + "/tests/hostile/cases/" + name + ".lua");
    std::istringstream in(c.text);
    std::string line;
    while (std::getline(in, line) && line.rfind("--@ ", 0) == 0) {
        std::string d = line.substr(4), rest;
        size_t sp = d.find(' ');
        if (sp != std::string::npos) rest = d.substr(sp + 1), d = d.substr(0, sp);
        if (d == "frames") c.frames = atoi(rest.c_str());
        else if (d == "paced") c.paced = true;
        else if (d == "server") c.server = true;
        else if (d == "rss") c.rss_mb = atoll(rest.c_str());
        else if (d == "expect") c.expects.push_back(rest);
        else if (d == "after") c.after.push_back(path_and_text(rest));
        else if (d == "home") c.home.push_back(path_and_text(rest));
        else if (d == "windowed") c.windowed = true;
        else if (d == "args") {
            std::istringstream words(rest);
            for (std::string w; words >> w;) c.args.push_back(w);
        } else if (d == "setting") {
            auto [key, value] = path_and_text(rest);
            c.settings.push_back({key, atoi(value.c_str())});
        } else if (d == "disk") c.disk_mb = atoll(rest.c_str());
        else ADD_FAILURE() << name << ": unknown directive " << line;
    }
    return c;
}

// What the forked host reports back, in memory shared with the test.
struct Report {
    volatile int32_t frames_done;
    volatile int32_t stage;  // 0 starting, 1 running frames, 2 quitting, 3 quit
    int64_t worst_cpu_ns, worst_wall_ns;
    int32_t worst_cpu_frame, worst_wall_frame;
    int32_t watcher_first;  // frame in which the watcher was first seen, -1 never
    int32_t watcher_missed, watcher_missed_first;
    int32_t watcher_gone;   // frame after which it was gone, -1 never
    int64_t peak_rss_kb;
};

int64_t now_ns(clockid_t c) {
    timespec t;
    clock_gettime(c, &t);
    return (int64_t)t.tv_sec * 1000000000 + t.tv_nsec;
}

size_t printed;
void capped_printh(const char* s, size_t n) {
    if (printed >= kOutputCap) return;
    printed += n + 1;
    fwrite(s, 1, n, stdout);
    fputc('\n', stdout);
    fflush(stdout);
}

struct Folders {
    std::string root, home, out, cwd, userhome;
};

Process* find_watcher(uint64_t pid) {
    for (int i = 0; i < get_process_count(); i++) {
        Process* p = get_process_by_index(i);
        if (pid ? p->pid == pid : strcmp(p->path, kWatcherPath) == 0) return p;
    }
    return nullptr;
}

[[noreturn]] void run_host(const Folders& f, const Case& c, Report* r) {
    const int frames = c.frames;
    int fd = open(f.out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(fd, 1);
    dup2(fd, 2);
    close(fd);
    if (chdir(f.cwd.c_str()) != 0) _exit(90);
    setenv("HOME", f.userhome.c_str(), 1);
    unsetenv("XDG_DATA_HOME");
    unsetenv("XDG_DESKTOP_DIR");
    setenv("SDL_VIDEODRIVER", "dummy", 1);
    setenv("SDL_AUDIODRIVER", "dummy", 1);
    api_printh_hook = capped_printh;
    snprintf(tolo_argv0, sizeof tolo_argv0, "%s/orvanta", ORVANTA_BUILD_DIR);
    config_set_defaults();
    std::string home = f.home;
    std::vector<const char*> argv = {"orvanta", "-home", home.c_str()};
    if (!c.windowed) argv.push_back("-x");
    for (const std::string& a : c.args) argv.push_back(a.c_str());
    argv.push_back("/hostile_launch.lua");
    process_arguments((int)argv.size(), (char**)argv.data());
    for (const auto& [key, value] : c.settings) orvanta_apply_setting(key.c_str(), value);
    char path[1024];
    load_dat_files(tolo_prefix_with_program_path("sysrom.dat", path));
    reset_app_state();

    r->stage = 1;
    uint64_t watcher = 0;
    for (int i = 0; i < frames; i++) {
        int64_t c0 = now_ns(CLOCK_THREAD_CPUTIME_ID), w0 = now_ns(CLOCK_MONOTONIC);
        // Held by an exclusive process at the start or the end of the frame: not its frame.
        bool held = app.exclusive_pid != 0;
        system_frame();
        held = held || app.exclusive_pid != 0;
        int64_t cpu = now_ns(CLOCK_THREAD_CPUTIME_ID) - c0, wall = now_ns(CLOCK_MONOTONIC) - w0;
        if (cpu > r->worst_cpu_ns) r->worst_cpu_ns = cpu, r->worst_cpu_frame = i;
        if (getenv("HOSTILE_DEBUG") && cpu > 20000000) fprintf(stderr, "frame %d: %lld ms\n", i, (long long)(cpu / 1000000));
        if (wall > r->worst_wall_ns) r->worst_wall_ns = wall, r->worst_wall_frame = i;
        // The watcher is checked from the frame after the one that made it.
        Process* w = find_watcher(watcher);
        if (!watcher && w) {
            watcher = w->pid;
            r->watcher_first = i;
        } else if (watcher && !w) {
            if (r->watcher_gone < 0) r->watcher_gone = i;
        } else if (w && !w->flipped && !held) {
            if (!r->watcher_missed++) r->watcher_missed_first = i;
        }
        if (c.paced && wall < 16000000) usleep((useconds_t)((16000000 - wall) / 1000));
        rusage ru;
        getrusage(RUSAGE_SELF, &ru);
        r->peak_rss_kb = ru.ru_maxrss;
        r->frames_done = i + 1;
    }
    // The user closes the window.
    r->stage = 2;
    orvanta_exit();
    r->stage = 3;
    fflush(stdout);
    _exit(0);
}

// Everything under root except the app-data folder, with sizes and change times
// (root's own time changes with the output file made in it).
std::map<std::string, std::string>* snap_target;
std::string snap_skip, snap_root;

int snap_entry(const char* p, const struct stat* st, int type, struct FTW*) {
    std::string path = p;
    if (path == snap_root || path == snap_skip || path.rfind(snap_skip + "/", 0) == 0) return 0;
    char desc[128];
    snprintf(desc, sizeof desc, "type %d mode %o size %lld mtime %lld.%09ld", type, st->st_mode,
             (long long)st->st_size, (long long)st->st_mtim.tv_sec, st->st_mtim.tv_nsec);
    (*snap_target)[path] = desc;
    return 0;
}

std::map<std::string, std::string> snapshot(const std::string& root, const std::string& skip) {
    std::map<std::string, std::string> m;
    snap_target = &m;
    snap_skip = skip;
    snap_root = root;
    nftw(root.c_str(), snap_entry, 32, FTW_PHYS);
    return m;
}

int64_t resident_mb(pid_t pid) {
    long long size = 0, resident = 0;
    FILE* fp = fopen(("/proc/" + std::to_string(pid) + "/statm").c_str(), "r");
    if (!fp) return 0;
    if (fscanf(fp, "%lld %lld", &size, &resident) != 2) resident = 0;
    fclose(fp);
    return resident * sysconf(_SC_PAGESIZE) / (1 << 20);
}

int remove_entry(const char* path, const struct stat*, int, struct FTW*) { return remove(path); }

// The disk a folder takes, as the host's file system counts it.
int64_t disk_used;
int add_disk_used(const char*, const struct stat* st, int, struct FTW*) {
    disk_used += (int64_t)st->st_blocks * 512;
    return 0;
}
int64_t disk_used_mb(const std::string& root) {
    disk_used = 0;
    nftw(root.c_str(), add_disk_used, 32, FTW_PHYS);
    return disk_used >> 20;
}

std::string describe(const std::map<std::string, std::string>& a, const std::map<std::string, std::string>& b) {
    std::string d;
    for (const auto& [k, v] : b)
        if (!a.count(k)) d += "  added " + k + "\n";
        else if (a.at(k) != v) d += "  changed " + k + ": " + a.at(k) + " -> " + v + "\n";
    for (const auto& [k, v] : a)
        if (!b.count(k)) d += "  removed " + k + "\n";
    return d;
}

// The download tests' HTTP server, stopped when the case ends.
struct CaseServer {
    LocalHttp http;
    ~CaseServer() { local_http_stop(&http); }
};

class Hostile : public ::testing::TestWithParam<std::string> {};

TEST_P(Hostile, HostStaysUpAndBounded) {
    Case c = load_case(GetParam());
    ASSERT_FALSE(c.text.empty()) << "no case text for " << c.name;
    CaseServer server;
    if (c.server) {
        ASSERT_TRUE(local_http_start(&server.http)) << "the local HTTP server did not start";
        std::string base = "http://127.0.0.1:" + std::to_string(server.http.port) + "/";
        for (size_t at; (at = c.text.find("@SERVER@")) != std::string::npos;) c.text.replace(at, 8, base);
    }

    char tmpl[] = "/tmp/orv_hostile_XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    Folders f;
    f.root = tmpl;
    f.home = f.root + "/home";
    f.out = f.root + "/out.txt";
    f.cwd = f.root + "/cwd";
    f.userhome = f.root + "/user";
    for (const std::string& d : {f.home, f.home + "/drive", f.cwd, f.userhome, f.root + "/outside"})
        mkdir(d.c_str(), 0755);
    // Bait beside the app-data folder: nothing may read it into the drive or change it.
    spit(f.root + "/outside/important.txt", "keep me");
    spit(f.home + "/drive/case.lua", c.text);
    spit(f.home + "/drive/hostile_launch.lua", kLauncher);
    std::map<std::string, std::string> home_files;
    for (const auto& [p, t] : c.home) home_files[p] += unescape(t, f.home + "/");
    for (const auto& [p, t] : home_files) spit(f.home + "/" + p, t);
    std::string build_data = std::string(ORVANTA_BUILD_DIR) + "/data";
    struct stat st;
    bool had_build_data = stat(build_data.c_str(), &st) == 0;
    spit(f.out, "");
    auto before = snapshot(f.root, f.home);
    before.erase(f.out);

    Report* r = (Report*)mmap(nullptr, sizeof(Report), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(r, MAP_FAILED);
    memset(r, 0, sizeof *r);
    r->watcher_first = r->watcher_gone = r->watcher_missed_first = -1;
    fflush(nullptr);
    // The forked host starts from this process's memory: give back what earlier cases freed.
    malloc_trim(0);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) run_host(f, c, r);

    int status = 0;
    int32_t last_frames = -1;
    int64_t last_progress = now_ns(CLOCK_MONOTONIC);
    bool hung = false, bloated = false;
    int64_t watched_rss_mb = 0;
    while (waitpid(pid, &status, WNOHANG) == 0) {
        // A host that grows without bound is stopped before it takes the machine's memory.
        watched_rss_mb = std::max(watched_rss_mb, resident_mb(pid));
        if (watched_rss_mb > kPeakMemoryLimitMb * 2) {
            bloated = true;
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            break;
        }
        if (r->frames_done != last_frames || r->stage != 1) {
            last_frames = r->frames_done;
            last_progress = now_ns(CLOCK_MONOTONIC);
        } else if (now_ns(CLOCK_MONOTONIC) - last_progress > (int64_t)(kHangSeconds * 1e9)) {
            hung = true;
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            break;
        }
        usleep(20000);
    }
    std::string out = slurp(f.out, 4 * kOutputCap);
    std::string log = slurp(f.home + "/log.txt", 64 << 20);
    std::string context = "\n--- output ---\n" + tail(out) + "\n--- log.txt ---\n" + tail(log);

    double cpu_ms = r->worst_cpu_ns / 1e6, wall_ms = r->worst_wall_ns / 1e6;
    printf("hostile %s: %d frames, worst frame %.1f ms cpu (frame %d), %.1f ms wall (frame %d), peak rss %lld MB\n",
           c.name.c_str(), r->frames_done, cpu_ms, r->worst_cpu_frame, wall_ms, r->worst_wall_frame,
           (long long)(r->peak_rss_kb / 1024));
    RecordProperty("worst_frame_cpu_ms", (int)cpu_ms);
    RecordProperty("worst_frame_wall_ms", (int)wall_ms);
    RecordProperty("peak_rss_mb", (int)(r->peak_rss_kb / 1024));

    EXPECT_FALSE(bloated) << "the host passed " << watched_rss_mb << " MB in frame " << r->frames_done << context;
    // The host stayed up.
    EXPECT_FALSE(hung) << "the host made no progress for " << kHangSeconds << " s in frame " << r->frames_done
                       << context;
    if (!hung && !bloated) {
        EXPECT_FALSE(WIFSIGNALED(status)) << "the host died of signal " << WTERMSIG(status) << " in frame "
                                          << r->frames_done << context;
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "exit status " << WEXITSTATUS(status) << context;
    }
    EXPECT_EQ(r->stage, 3) << "the host ended by itself after " << r->frames_done << " of " << c.frames << " frames"
                           << context;
    // The watcher kept its frames.
    EXPECT_GE(r->watcher_first, 0) << "the watcher never ran" << context;
    EXPECT_EQ(r->watcher_gone, -1) << "the watcher was gone after frame " << r->watcher_gone << context;
    EXPECT_EQ(r->watcher_missed, 0) << "the watcher missed " << r->watcher_missed << " frames, first frame "
                                    << r->watcher_missed_first << context;
    // Frames and memory stayed bounded.
    EXPECT_LE(cpu_ms, kFrameCpuLimit * 1000) << "frame " << r->worst_cpu_frame << context;
    EXPECT_LE(wall_ms, kFrameWallLimit * 1000) << "frame " << r->worst_wall_frame << context;
    EXPECT_LE(r->peak_rss_kb / 1024, kPeakMemoryLimitMb) << context;
    if (c.rss_mb) EXPECT_LE(r->peak_rss_kb / 1024, c.rss_mb * (kSlow > 1 ? 2 : 1)) << context;
    // Nothing outside the app-data folder changed.
    auto now = snapshot(f.root, f.home);
    now.erase(f.out);
    EXPECT_EQ(describe(before, now), "") << context;
    EXPECT_EQ(slurp(f.root + "/outside/important.txt"), "keep me");
    EXPECT_EQ(stat(build_data.c_str(), &st) == 0, had_build_data) << build_data;
    EXPECT_LE((int64_t)log.size(), LOG_LIMIT);
    if (c.disk_mb >= 0) {
        int64_t used = disk_used_mb(f.home);
        printf("hostile %s: the app-data folder takes %lld MB\n", c.name.c_str(), (long long)used);
        EXPECT_LE(used, c.disk_mb) << "the app-data folder" << context;
    }
    // What the case itself asks for.
    for (const std::string& e : c.expects)
        EXPECT_NE(out.find(unescape(e, f.home + "/")), std::string::npos) << "expected output: " << e << context;
    for (const auto& [p, t] : c.after) {
        std::string text = slurp(f.home + "/" + p);
        EXPECT_NE(text.find(unescape(t, f.home + "/")), std::string::npos)
            << p << " does not contain " << t << "; it holds:\n" << tail(text, 600) << context;
    }

    munmap(r, sizeof *r);
    if (!HasFailure() && !getenv("HOSTILE_DEBUG")) nftw(f.root.c_str(), remove_entry, 32, FTW_DEPTH | FTW_PHYS);
    else printf("hostile %s: kept %s\n", c.name.c_str(), f.root.c_str());
}

std::vector<std::string> case_names() {
    std::vector<std::string> v;
    for (const char* const* n = kCaseNames; *n; n++) v.push_back(*n);
    return v;
}

INSTANTIATE_TEST_SUITE_P(Cases, Hostile, ::testing::ValuesIn(case_names()),
                         [](const ::testing::TestParamInfo<std::string>& i) { return i.param; });

}  // namespace
