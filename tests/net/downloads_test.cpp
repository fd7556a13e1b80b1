// Downloads against a real HTTP server on 127.0.0.1 (http_server.py), through the job
// table directly and through the fetch globals in a running process.
#include <arpa/inet.h>
#include <SDL2/SDL.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "host/downloads.h"
#include "kernel/state.h"
#include "support/harness.h"
#include "support/local_http.h"

namespace fs = std::filesystem;

static LocalHttp server;
static std::string base;   // http://127.0.0.1:PORT/, also the cartridge server
static std::string other;  // the same server by another name: not the cartridge server
static std::string closed; // a port nothing listens on
static int tls_port;       // the server over TLS, with a certificate no client trusts; 0 without one

static constexpr int64_t kCap = 4096;  // body cap for these tests

static int free_port() {
    int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t n = sizeof a;
    int port = -1;
    if (bind(s, (sockaddr*)&a, sizeof a) == 0 && getsockname(s, (sockaddr*)&a, &n) == 0) port = ntohs(a.sin_port);
    close(s);
    return port;
}

static std::string read_file(const fs::path& p) {
    std::ifstream f(p, std::ios::binary);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

// Waits (bounded) until the job ends; its final status, or -1 when its slot was taken.
static int32_t wait_job(int64_t id) {
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (std::chrono::steady_clock::now() < end) {
        GurlJob* j = gurl_get_job(id);
        if (!j) return -1;
        int32_t s = j->status.load(std::memory_order_acquire);
        if (s == GURL_DONE || s == GURL_FAILED) return s;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    ADD_FAILURE() << "job " << id << " did not end";
    return -2;
}

static std::string body_of(int64_t id) {
    GurlJob* j = gurl_get_job(id);
    return j ? std::string(j->body->data, (size_t)j->body->length) : "<gone>";
}

// Polls until cond holds; false after the time bound.
template <class F>
static bool eventually(F cond) {
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!cond()) {
        if (std::chrono::steady_clock::now() > end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
}

struct Downloads : ::testing::Test {
    static void SetUpTestSuite() {
        ASSERT_TRUE(local_http_start(&server)) << "the test server did not start";
        int port = server.port;
        tls_port = server.tls_port;
        base = "http://127.0.0.1:" + std::to_string(port) + "/";
        other = "http://localhost:" + std::to_string(port) + "/";
        closed = "http://127.0.0.1:" + std::to_string(free_port()) + "/";
        setenv("ORVANTA_CART_SERVER", base.c_str(), 1);
        gurl_max_body = kCap;
    }
    static void TearDownTestSuite() { local_http_stop(&server); }
    fs::path home;
    void SetUp() override {
        char t[] = "/tmp/orv_net_XXXXXX";
        ASSERT_TRUE(mkdtemp(t));
        home = t;
        snprintf(config.home, sizeof config.home, "%s", t);
    }
    void TearDown() override {
        // Let the workers end before their cache folder goes.
        EXPECT_TRUE(eventually([] { return gurl_live_workers() == 0; }));
        std::error_code ec;
        fs::remove_all(home, ec);
    }
};

// A body grows by doubling as blocks arrive: every byte stays in order across the moves,
// and the NUL follows the last one.
TEST(GurlBuffer, GrowsKeepingItsBytes) {
    GurlBuffer b{};
    std::string want;
    for (int i = 0; i < 40; i++) {
        std::string block((size_t)(i * 37 % 300), '\0');
        for (size_t k = 0; k < block.size(); k++) block[k] = (char)(i * 11 + k * 3 + 1);
        ASSERT_TRUE(gurl_buffer_write(&b, block.data(), (int64_t)block.size()));
        want += block;
        ASSERT_EQ(b.length, (int64_t)want.size());
        EXPECT_GT(b.capacity, b.length);
        EXPECT_EQ(b.data[b.length], 0);
    }
    EXPECT_EQ(std::string(b.data, (size_t)b.length), want);
    EXPECT_FALSE(gurl_buffer_write(&b, "x", -1));
    free(b.data);
}

TEST_F(Downloads, BodiesAndStatuses) {
    struct Case {
        std::string url;
        int32_t status;
        std::string body;
    };
    const std::vector<Case> cases = {
        {base + "ok", GURL_DONE, "hello body"},
        {base + "missing", GURL_DONE, "<h1>not here</h1>"},  // an error page is a finished download
        {base + "empty", GURL_DONE, ""},
        {base + "to-ok", GURL_DONE, "hello body"},
        {base + "to-file", GURL_FAILED, ""},  // redirects only to http and https
        {"file:///etc/hostname", GURL_FAILED, ""},
        {"ftp://127.0.0.1:1/x", GURL_FAILED, ""},
        {closed + "ok", GURL_FAILED, ""},
        {base + "big?n=" + std::to_string(kCap), GURL_DONE, std::string(kCap, 'x')},
        {base + "big?n=" + std::to_string(kCap + 1), GURL_FAILED, ""},  // refused by its length
        {base + "big?n=" + std::to_string(kCap + 1) + "&chunked=1", GURL_FAILED, "<any>"},  // cut while arriving
    };
    std::vector<int64_t> ids;
    for (const Case& c : cases) ids.push_back(gurl_get(c.url.c_str(), nullptr, nullptr));
    for (size_t i = 0; i < cases.size(); i++) {
        SCOPED_TRACE(cases[i].url);
        EXPECT_EQ(ids[i], ids[0] + (int64_t)i);  // consecutive
        EXPECT_EQ(wait_job(ids[i]), cases[i].status);
        GurlJob* j = gurl_get_job(ids[i]);
        ASSERT_TRUE(j);
        EXPECT_EQ(j->body->data[j->body->length], 0);
        EXPECT_LE(j->body->length, kCap);
        if (cases[i].body != "<any>") EXPECT_EQ(body_of(ids[i]), cases[i].body);
        EXPECT_EQ(std::string(j->url->data), cases[i].url);
    }
    EXPECT_EQ(gurl_get(nullptr, nullptr, nullptr), -1);
    // The URL buffer is the smallest power of two from 256 that holds the URL and its NUL.
    std::string long_url = closed + std::string(300 - closed.size(), 'a');
    int64_t id = gurl_get(long_url.c_str(), "extra", nullptr);
    ASSERT_TRUE(gurl_get_job(id));
    EXPECT_EQ(gurl_get_job(id)->url->capacity, 512);
    EXPECT_EQ(std::string(gurl_get_job(id)->extra->data), "extra");
    EXPECT_EQ(wait_job(id), GURL_FAILED);
}

// The server's certificate is checked: one that no authority signed fails the transfer.
TEST_F(Downloads, UntrustedTlsCertificateFails) {
    if (tls_port <= 0) GTEST_SKIP() << "no openssl to make a certificate";
    std::string port = std::to_string(tls_port);
    for (const std::string& url : {"https://127.0.0.1:" + port + "/ok", base + "to-tls?port=" + port}) {
        int64_t id = gurl_get(url.c_str(), nullptr, gurl_cb);
        EXPECT_EQ(wait_job(id), GURL_FAILED) << url;
        EXPECT_EQ(body_of(id), "") << url;
    }
    EXPECT_FALSE(fs::exists(home / "cache"));
}

// With no worker running, one that can't be started (here: no room for its stack) fails
// its job at once, and the next job runs.
TEST_F(Downloads, AThreadThatCannotStartFailsTheJob) {
    static int32_t reported;
    reported = -1;
    ASSERT_TRUE(eventually([] { return gurl_pool_threads() == 0; }));  // idle workers end
    SDL_SetHint(SDL_HINT_THREAD_STACK_SIZE, "140737488355328");
    int64_t id = gurl_get((base + "ok").c_str(), nullptr, [](GurlJob*, int32_t status) { reported = status; });
    SDL_ResetHint(SDL_HINT_THREAD_STACK_SIZE);
    ASSERT_GT(id, 0);
    ASSERT_TRUE(gurl_get_job(id));
    EXPECT_EQ(gurl_get_job(id)->status.load(), GURL_FAILED);
    EXPECT_EQ(reported, GURL_FAILED);
    EXPECT_EQ(gurl_live_workers(), 0);
    int64_t next = gurl_get((base + "ok").c_str(), nullptr, nullptr);
    EXPECT_EQ(wait_job(next), GURL_DONE);
    EXPECT_EQ(body_of(next), "hello body");
}

TEST_F(Downloads, JobIdsAndSlots) {
    int64_t first = gurl_get((closed + "a").c_str(), nullptr, nullptr);
    ASSERT_GT(first, 0);
    int64_t last = first;
    for (int i = 0; i < 256; i++) last = gurl_get((closed + "b").c_str(), nullptr, nullptr);
    EXPECT_EQ(last, first + 256);  // the 257th job takes the first one's slot
    EXPECT_EQ(gurl_get_job(first), nullptr);
    ASSERT_NE(gurl_get_job(first + 1), nullptr);
    EXPECT_EQ(gurl_get_job(first + 1)->id, first + 1);
    EXPECT_EQ(gurl_get_job(last)->id, last);
    for (int64_t id : {(int64_t)0, (int64_t)-1, (int64_t)-256, last + 1, last + 256}) EXPECT_EQ(gurl_get_job(id), nullptr) << id;
    EXPECT_TRUE(eventually([] { return gurl_live_workers() == 0; }));
    EXPECT_EQ(gurl_live_records(), 256);
}

TEST_F(Downloads, SlowDownloadStopsWhenItsSlotIsTakenOver) {
    int64_t drip = gurl_get((base + "drip").c_str(), nullptr, gurl_cb);
    ASSERT_TRUE(eventually([&] { return gurl_get_job(drip)->status.load() == GURL_RECEIVING; }));
    for (int i = 0; i < 256; i++) gurl_get((closed + "c").c_str(), nullptr, gurl_cb);
    EXPECT_EQ(gurl_get_job(drip), nullptr);
    // The server sees the client go away long before the drip would end, and the record
    // the slot let go of is freed by its worker.
    std::string state;
    EXPECT_TRUE(eventually([&] {
        int64_t id = gurl_get((base + "drip-state").c_str(), nullptr, nullptr);
        wait_job(id);
        state = body_of(id);
        return state == "closed";
    })) << state;
    EXPECT_TRUE(eventually([] { return gurl_live_workers() == 0; }));
    EXPECT_EQ(gurl_live_records(), 256);
    EXPECT_FALSE(fs::exists(home / "cache" / "carts" / "drip"));
}

TEST_F(Downloads, ExitStopsRunningTransfers) {
    int64_t drip = gurl_get((base + "drip").c_str(), nullptr, nullptr);
    ASSERT_TRUE(eventually([&] { return gurl_get_job(drip)->status.load() == GURL_RECEIVING; }));
    gurl_stop_all();
    EXPECT_EQ(gurl_live_workers(), 0);
    EXPECT_EQ(gurl_get_job(drip)->status.load(), GURL_FAILED);
}

TEST_F(Downloads, CartridgeCacheNames) {
    const std::string b = "https://carts.example/";
    struct Case {
        std::string url;
        std::string name;  // empty: not cached
    };
    const std::vector<Case> cases = {
        {b + "game.q64.png", "game.q64.png"},
        {b + "q.q64?v=1#top", "q.q64"},
        {b + "a%20b~.q64", "a20b.q64"},
        {b + "x//y/z.q64", "x/y/z.q64"},
        {b + "../up.q64", ""},
        {b + "a/./b.q64", ""},
        {b + ".%./x.q64", ""},
        {b + "a/..", ""},
        {b, ""},
        {b + "?only=query", ""},
        {"https://carts.example.evil/x.q64", ""},
        {"http://carts.example/x.q64", ""},
    };
    for (const Case& c : cases) {
        std::string name;
        bool ok = gurl_cart_cache_name(c.url.c_str(), b, &name);
        EXPECT_EQ(ok ? name : "", c.name) << c.url;
    }
    setenv("ORVANTA_CART_SERVER", "http://h:1", 1);
    EXPECT_EQ(gurl_cart_server(), "http://h:1/");
    setenv("ORVANTA_CART_SERVER", base.c_str(), 1);
}

TEST_F(Downloads, CartridgeDownloadsAreCached) {
    fs::path carts = home / "cache" / "carts";
    fs::path outside = home / "outside";
    fs::create_directories(carts / "sub");
    fs::create_directories(outside);
    fs::create_directory_symlink(outside, carts / "link");
    const std::vector<std::string> urls = {
        base + "game.q64.png", base + "q.q64?v=1", base + "sub/n.q64", base + "nosub/n.q64",
        base + "link/x.q64",   base + "../up.q64", base + "missing",   other + "other.q64",
        base + "to-file",      base,
    };
    for (const std::string& u : urls) {
        int64_t id = gurl_get(u.c_str(), nullptr, gurl_cb);
        wait_job(id);
    }
    std::set<std::string> files;
    for (auto& e : fs::recursive_directory_iterator(home / "cache"))
        if (!e.is_directory() || e.is_symlink()) files.insert(e.path().lexically_relative(home / "cache").string());
    EXPECT_EQ(files, (std::set<std::string>{"carts/game.q64.png", "carts/q.q64", "carts/sub/n.q64", "carts/link"}));
    EXPECT_TRUE(fs::is_empty(outside));
    EXPECT_FALSE(fs::exists(home / "up.q64"));
    std::string game = read_file(carts / "game.q64.png");
    EXPECT_EQ(game.size(), 600u);
    EXPECT_EQ(game.substr(0, 18), "cart /game.q64.png");
}

// Jobs beyond the pool wait in their slots: no more transfers run at once than the pool has
// threads, and every job still ends with its own body.
TEST_F(Downloads, ThePoolBoundsTransfersAtOnce) {
    std::vector<int64_t> ids;
    for (int i = 0; i < 3 * GURL_WORKERS; i++)
        ids.push_back(gurl_get((base + "slow?ms=200&i=" + std::to_string(i)).c_str(), nullptr, nullptr));
    EXPECT_LE(gurl_pool_threads(), GURL_WORKERS);
    for (size_t i = 0; i < ids.size(); i++) {
        EXPECT_EQ(wait_job(ids[i]), GURL_DONE) << i;
        EXPECT_EQ(body_of(ids[i]), "slow " + std::to_string(i));
    }
    int64_t id = gurl_get((base + "slow-state").c_str(), nullptr, nullptr);
    ASSERT_EQ(wait_job(id), GURL_DONE);
    int most = atoi(body_of(id).c_str());
    EXPECT_LE(most, GURL_WORKERS);
    EXPECT_GE(most, 2);
    EXPECT_LE(gurl_pool_threads(), GURL_WORKERS);
    // Waiting and running jobs whose slots are taken over end, and their records go.
    for (int i = 0; i < 2 * GURL_WORKERS; i++) gurl_get((base + "slow?ms=1000&i=late").c_str(), nullptr, nullptr);
    for (int i = 0; i < 256; i++) gurl_get((closed + "x").c_str(), nullptr, nullptr);
    EXPECT_TRUE(eventually([] { return gurl_live_workers() == 0; }));
    EXPECT_EQ(gurl_live_records(), 256);
}

// The bodies of all jobs together stay under the total: a download that would pass it
// fails, and bodies that were read are let go to make room for new ones.
TEST_F(Downloads, BodiesAreCappedInTotal) {
    const int64_t saved = gurl_total_body;
    // Room for two bodies of kCap while they arrive (each grows from 1 KB to 8 KB) and a
    // third once those are done.
    gurl_total_body = 2 * 7168 + 100;
    std::vector<int64_t> ids;
    for (int i = 0; i < 12; i++) ids.push_back(gurl_get((base + "big?chunked=1&n=" + std::to_string(kCap)).c_str(), nullptr, nullptr));
    int done = 0, failed = 0;
    for (int64_t id : ids) {
        int32_t s = wait_job(id);
        if (s == GURL_DONE) {
            done++;
            EXPECT_EQ(body_of(id), std::string(kCap, 'x'));
        } else {
            failed++;
        }
    }
    EXPECT_GE(done, 1);
    EXPECT_GE(failed, 1);
    EXPECT_LE(gurl_peak_held_bytes(), gurl_total_body);
    // Reading the finished bodies lets them go until half the total is held.
    for (int64_t id : ids)
        if (GurlJob* j = gurl_get_job(id); j && j->status.load() == GURL_DONE) gurl_body_taken(j);
    EXPECT_LE(gurl_held_bytes(), gurl_total_body / 2);
    int64_t again = gurl_get((base + "big?n=" + std::to_string(kCap)).c_str(), nullptr, nullptr);
    EXPECT_EQ(wait_job(again), GURL_DONE);
    // A slot taken over lets its body go.
    for (int i = 0; i < 256; i++) gurl_get((closed + "x").c_str(), nullptr, nullptr);
    EXPECT_TRUE(eventually([] { return gurl_live_workers() == 0; }));
    EXPECT_EQ(gurl_held_bytes(), 0);
    gurl_total_body = saved;
}

// Runs body in the root process until it finishes (bounded); the lines it printed.
static std::vector<std::string> run_lua(const std::string& body) {
    std::string prelude = "local base, closed = '" + base + "', '" + closed + "'\n" + R"LUA(
local function show(...)
  local r = table.pack(...)
  local parts = {}
  for i = 1, r.n do
    local v = r[i]
    parts[i] = type(v) == "string" and string.format("%q", v) or tostring(v)
  end
  return r.n == 0 and "(none)" or table.concat(parts, ", ")
end
local function fetch(url)
  local id, err = _fetch_remote(url)
  if not id then return nil, err end
  while true do
    local r = table.pack(_fetch_remote_result(id))
    if r.n > 0 then return table.unpack(r, 1, r.n) end
    flip()
  end
end
)LUA";
    std::string err;
    EXPECT_TRUE(harness_boot(prelude + body, &err)) << err;
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!harness_body_done() && std::chrono::steady_clock::now() < end) {
        harness_run_frames(1);
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    EXPECT_TRUE(harness_body_done());
    std::vector<std::string> lines = harness_lines();
    harness_shutdown();
    return lines;
}

// An ordinary program: forty downloads started in one frame, each polled to its own result.
TEST_F(Downloads, FortyDownloadsAtOnce) {
    std::vector<std::string> got = run_lua(R"LUA(
local ids = {}
for i = 1, 40 do ids[i] = _fetch_remote(base .. "slow?ms=50&i=" .. i) end
local left, results = 40, {}
while left > 0 do
  for i = 1, 40 do
    if not results[i] then
      local r = table.pack(_fetch_remote_result(ids[i]))
      if r.n > 0 then results[i] = show(table.unpack(r, 1, r.n)) left = left - 1 end
    end
  end
  flip()
end
for i = 1, 40 do _printh(results[i]) end
)LUA");
    std::vector<std::string> want;
    for (int i = 1; i <= 40; i++) want.push_back("\"slow " + std::to_string(i) + "\"");
    EXPECT_EQ(got, want);
}

TEST_F(Downloads, FetchGlobals) {
    std::vector<std::string> got = run_lua(R"LUA(
_printh(show(fetch(base .. "ok")))
_printh(show(fetch(base .. "missing")))
_printh(show(fetch(base .. "empty")))
_printh(show(fetch(base .. "crlf.txt") == "a\nb"))  -- converted by the URL's extension
_printh(show(fetch(base .. "page.png")))              -- done, but no picture: ends as failed
_printh(show(fetch(closed .. "ok")))
_printh(show(fetch(base .. "to-file")))
local drip = _fetch_remote(base .. "drip")
_printh(show(_fetch_remote_result(drip)))           -- still running
for _, id in ipairs({0, -1, 1.5, drip + 1000}) do _printh(show(_fetch_remote_result(id))) end
_printh(show(_fetch_remote()))
_printh(show(_fetch_remote("http://127.0.0.1:1/\0x")))
-- a cartridge is in the cache by the time its job reports done
_printh(show(fetch(base .. "game.q64"), #_cache_fetch("carts", "game.q64")))
-- a finished job whose slot a newer one took over (which also stops the drip)
local ok = _fetch_remote(base .. "ok")
while not _fetch_remote_result(ok) do flip() end
_printh(show(_fetch_remote_result(ok + 0.0)))
for i = 1, 256 do _fetch_remote(closed .. "x") end
_printh(show(_fetch_remote_result(ok)))
_apply_system_settings({network_access = false})
_printh(show(_fetch_remote(base .. "ok")))
_printh(show(_fetch_remote_result(ok + 256)))
_apply_system_settings({network_access = true})
)LUA");
    const std::string failed = "nil, nil, \"could not download\"";
    std::string cart = "cart /game.q64" + std::string(600 - 14, '.');
    EXPECT_EQ(got, (std::vector<std::string>{
                       "\"hello body\"",
                       "\"<h1>not here</h1>\"",
                       "\"\"",
                       "true",
                       failed,
                       failed,
                       failed,
                       "(none)",
                       failed,
                       failed,
                       failed,
                       failed,
                       "(none)",
                       "nil, \"could not download\"",
                       "\"" + cart + "\", 600",
                       "\"hello body\"",
                       failed,
                       "nil, \"no network access\"",
                       "nil, nil, \"no network access\"",
                   }));
}
