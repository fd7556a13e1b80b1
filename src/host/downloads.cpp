// Downloads: each job is one libcurl easy transfer, run by one of a bounded pool of worker
// threads that take waiting jobs in the order they were started. The queue is guarded by
// the pool's lock; otherwise a worker and the main thread share only the job record: the
// worker writes the body and then publishes the status (release); the main thread reads
// the status (acquire) and reads the body only once it is GURL_DONE.
#include "host/downloads.h"

#include <SDL2/SDL.h>
#include <curl/curl.h>
#include <limits.h>
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <new>

#include "host/host.h"
#include "storage/pdisk.h"

#ifndef ORVANTA_CART_SERVER_URL
#define ORVANTA_CART_SERVER_URL "https://carts.orvanta.invalid/"
#endif

int64_t gurl_max_body = GURL_MAX_BODY;
int64_t gurl_total_body = GURL_TOTAL_BODY;
constexpr int64_t GURL_BODY_START = 1024;  // a new body's capacity

static GurlJob* gurl_job[256];  // slot id mod 256; main thread only
static bool gurl_inited;
static int64_t next_gurl_job_id = 1;
static std::atomic<int> live_records, live_workers;
static std::atomic<int64_t> held_bytes, peak_held_bytes;

// The pool. Never destroyed: a worker that outlives the wait at exit still takes the lock,
// waits and reads the queue while the program's statics are torn down.
static std::mutex& pool_lock = *new std::mutex;
static std::condition_variable& pool_wake = *new std::condition_variable;
static std::deque<GurlJob*>& pool_queue = *new std::deque<GurlJob*>;  // jobs waiting for a worker
static int pool_threads, pool_idle;
static bool pool_stopping;
constexpr auto POOL_IDLE_END = std::chrono::seconds(2);

int gurl_live_records() { return live_records.load(); }
int gurl_live_workers() { return live_workers.load(); }
int64_t gurl_held_bytes() { return held_bytes.load(); }
int64_t gurl_peak_held_bytes() { return peak_held_bytes.load(); }
int gurl_pool_threads() {
    std::lock_guard<std::mutex> g(pool_lock);
    return pool_threads;
}

// Body bytes past each body's first block (the slots bound those). Only growth can be refused.
static bool hold_bytes(int64_t n, bool refusable) {
    int64_t now = held_bytes.fetch_add(n) + n;
    if (refusable && n > 0 && now > gurl_total_body) {
        held_bytes.fetch_sub(n);
        return false;
    }
    int64_t peak = peak_held_bytes.load();
    while (now > peak && !peak_held_bytes.compare_exchange_weak(peak, now)) {
    }
    return true;
}

static GurlBuffer* gurl_buffer_new(int64_t capacity) {
    GurlBuffer* b = (GurlBuffer*)calloc(1, sizeof(GurlBuffer));
    if (!b || capacity <= 0) return b;
    b->data = (char*)calloc((size_t)capacity, 1);
    if (!b->data) {
        free(b);
        return nullptr;
    }
    b->capacity = capacity;
    return b;
}

static void gurl_buffer_free(GurlBuffer* b) {
    if (!b) return;
    free(b->data);
    free(b);
}

// The capacity a buffer has after appending n bytes; -1 when n can't be held.
static int64_t gurl_grown_capacity(const GurlBuffer* b, int64_t n) {
    if (n < 0 || n > INT64_MAX / 4 - b->length) return -1;
    if (b->capacity >= b->length + n + 1) return b->capacity;
    int64_t cap = b->capacity > 256 ? b->capacity : 256;
    while (cap < b->length + n + 1) cap *= 2;
    return cap;
}

// Appends n bytes, growing to cap (gurl_grown_capacity's result for them).
static bool gurl_buffer_write_grown(GurlBuffer* b, int64_t cap, const void* bytes, int64_t n) {
    if (cap < 0) return false;
    if (cap > b->capacity) {
        // A new block rather than realloc: growing a block that the main thread made would
        // copy it while holding the main thread's allocator lock. Only the bytes held move;
        // the rest is written before it is read.
        char* d = (char*)malloc((size_t)cap);
        if (!d) return false;
        if (b->length) memcpy(d, b->data, (size_t)b->length);
        free(b->data);
        b->data = d;
        b->capacity = cap;
    }
    if (n) memcpy(b->data + b->length, bytes, (size_t)n);
    b->length += n;
    b->length_copy = b->length;
    b->data[b->length] = 0;
    return true;
}

bool gurl_buffer_write(GurlBuffer* b, const void* bytes, int64_t n) {
    return gurl_buffer_write_grown(b, gurl_grown_capacity(b, n), bytes, n);
}

static GurlBuffer* gurl_buffer_from_text(const char* s) {
    GurlBuffer* b = gurl_buffer_new(0);
    if (b && !gurl_buffer_write(b, s, (int64_t)strlen(s))) {
        gurl_buffer_free(b);
        return nullptr;
    }
    return b;
}

static void gurl_body_free(GurlJob* j) {
    if (!j->body) return;
    hold_bytes(GURL_BODY_START - j->body->capacity, false);
    gurl_buffer_free(j->body);
    j->body = nullptr;
}

static void gurl_job_release(GurlJob* j) {
    if (j->refs.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
    gurl_buffer_free(j->url);
    gurl_buffer_free(j->extra);
    gurl_body_free(j);
    delete j;
    live_records.fetch_sub(1);
}

static size_t gurl_curl_write(char* bytes, size_t size, size_t count, void* data) {
    GurlJob* j = (GurlJob*)data;
    size_t n = size * count;
    if (j->cancelled.load(std::memory_order_relaxed)) return 0;
    if ((int64_t)n > j->max_body - j->body->length) return 0;
    int64_t cap = gurl_grown_capacity(j->body, (int64_t)n), grow = cap - j->body->capacity;
    if (cap < 0 || !hold_bytes(grow, true)) return 0;
    if (!gurl_buffer_write_grown(j->body, cap, bytes, (int64_t)n)) {
        hold_bytes(-grow, false);
        return 0;
    }
    j->last_chunk_length = (int64_t)n;
    j->status.store(GURL_RECEIVING, std::memory_order_release);
    if (j->callback) j->callback(j, GURL_RECEIVING);
    return n;
}

// Also called while nothing arrives, so a job whose slot was taken over stops soon.
static int gurl_progress(void* data, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    return ((GurlJob*)data)->cancelled.load(std::memory_order_relaxed) ? 1 : 0;
}

// A finished body keeps only the bytes it holds (at least its first block).
static void gurl_body_fit(GurlJob* j) {
    GurlBuffer* b = j->body;
    int64_t fit = std::max<int64_t>(b->length + 1, GURL_BODY_START);
    if (b->capacity <= fit) return;
    char* d = (char*)realloc(b->data, (size_t)fit);
    if (!d) return;
    hold_bytes(fit - b->capacity, false);
    b->data = d;
    b->capacity = fit;
}

static void gurl_run_job(GurlJob* j) {
    int32_t result = GURL_FAILED;
    CURL* c = j->cancelled.load(std::memory_order_relaxed) ? nullptr : curl_easy_init();
    if (c) {
        // Only http and https, also after redirects; no signals on a worker thread. A
        // transfer that gets nothing for a minute fails, so no server holds a worker for ever.
        bool ok = curl_easy_setopt(c, CURLOPT_URL, j->url->data) == CURLE_OK &&
                  curl_easy_setopt(c, CURLOPT_PROTOCOLS_STR, "http,https") == CURLE_OK &&
                  curl_easy_setopt(c, CURLOPT_REDIR_PROTOCOLS_STR, "http,https") == CURLE_OK;
        curl_easy_setopt(c, CURLOPT_FOLLOWLOCATION, 1L);
        curl_easy_setopt(c, CURLOPT_MAXREDIRS, 30L);
        curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
        curl_easy_setopt(c, CURLOPT_CONNECTTIMEOUT, 60L);
        curl_easy_setopt(c, CURLOPT_LOW_SPEED_LIMIT, 1L);
        curl_easy_setopt(c, CURLOPT_LOW_SPEED_TIME, 60L);
        curl_easy_setopt(c, CURLOPT_MAXFILESIZE_LARGE, (curl_off_t)j->max_body);
        curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, gurl_curl_write);
        curl_easy_setopt(c, CURLOPT_WRITEDATA, j);
        curl_easy_setopt(c, CURLOPT_NOPROGRESS, 0L);
        curl_easy_setopt(c, CURLOPT_XFERINFOFUNCTION, gurl_progress);
        curl_easy_setopt(c, CURLOPT_XFERINFODATA, j);
        if (ok && curl_easy_perform(c) == CURLE_OK && !j->cancelled.load(std::memory_order_relaxed)) {
            curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &j->http_code);
            result = GURL_DONE;
        }
    }
    if (result == GURL_DONE) gurl_body_fit(j);
    // The callback runs first, so a cartridge is in the cache before its job reports done.
    if (j->callback) j->callback(j, result);
    j->status.store(result, std::memory_order_release);
    if (c) curl_easy_cleanup(c);
}

static int gurl_pool_worker(void*) {
    std::unique_lock<std::mutex> lk(pool_lock);
    for (;;) {
        pool_idle++;
        pool_wake.wait_for(lk, POOL_IDLE_END, [] { return !pool_queue.empty() || pool_stopping; });
        pool_idle--;
        if (pool_queue.empty() || pool_stopping) break;
        GurlJob* j = pool_queue.front();
        pool_queue.pop_front();
        j->queued = false;
        lk.unlock();
        gurl_run_job(j);
        gurl_job_release(j);
        live_workers.fetch_sub(1);
        lk.lock();
    }
    pool_threads--;
    return 0;
}

// Queues a job for the pool, starting a thread when none is free and the pool has room.
// False when no thread can ever run it (none runs and none can be started).
static bool gurl_pool_add(GurlJob* j) {
    std::lock_guard<std::mutex> g(pool_lock);
    j->refs.fetch_add(1);
    live_workers.fetch_add(1);
    j->queued = true;
    pool_queue.push_back(j);
    if ((int)pool_queue.size() > pool_idle && pool_threads < GURL_WORKERS) {
        if (OsThread* t = os_create_thread(gurl_pool_worker, nullptr)) {
            pool_threads++;
            os_destroy_thread(t);  // detached: nothing ever joins a worker
        }
    }
    if (pool_threads > 0) {
        pool_wake.notify_one();
        return true;
    }
    pool_queue.pop_back();
    j->queued = false;
    live_workers.fetch_sub(1);
    j->refs.fetch_sub(1);
    return false;
}

// Takes a job that no worker has started off the queue; true when it was waiting.
static bool gurl_pool_remove(GurlJob* j) {
    std::lock_guard<std::mutex> g(pool_lock);
    if (!j->queued) return false;
    pool_queue.erase(std::find(pool_queue.begin(), pool_queue.end(), j));
    j->queued = false;
    live_workers.fetch_sub(1);
    j->refs.fetch_sub(1);  // the queue's reference; the caller still holds one
    return true;
}

std::string gurl_cart_server() {
    const char* env = getenv("ORVANTA_CART_SERVER");
    std::string base = env && env[0] ? env : ORVANTA_CART_SERVER_URL;
    if (base.back() != '/') base += '/';  // so a host can't match as the prefix of a longer one
    return base;
}

bool gurl_cart_cache_name(const char* url, const std::string& base, std::string* name) {
    if (strncmp(url, base.c_str(), base.size()) != 0) return false;
    std::string path(url + base.size(), strcspn(url + base.size(), "?#"));
    std::string out, seg;
    for (size_t i = 0; i <= path.size(); i++) {
        if (i < path.size() && path[i] != '/') {
            if (is_path_char((unsigned char)path[i])) seg += path[i];
            continue;
        }
        // Checked after the reduction: ".%." would otherwise become "..".
        if (seg == "." || seg == "..") return false;
        if (!seg.empty()) out += (out.empty() ? "" : "/") + seg;
        seg.clear();
    }
    if (out.empty()) return false;
    *name = out;
    return true;
}

void gurl_stop_all() {
    for (GurlJob* j : gurl_job) {
        if (!j) continue;
        j->cancelled.store(true, std::memory_order_relaxed);
        if (gurl_pool_remove(j)) j->status.store(GURL_FAILED, std::memory_order_release);
    }
    {
        std::lock_guard<std::mutex> g(pool_lock);
        pool_stopping = true;
        pool_wake.notify_all();
    }
    for (int i = 0; i < 400 && (live_workers.load() > 0 || gurl_pool_threads() > 0); i++) SDL_Delay(5);
    std::lock_guard<std::mutex> g(pool_lock);
    pool_stopping = false;
}

int64_t gurl_get(const char* url, const char* extra, GurlCallback callback) {
    if (!url) return -1;
    if (!gurl_inited) {
        // Before any worker: libcurl's global set-up is not thread-safe. The exit handler is
        // registered after it, so it runs before the TLS library's.
        curl_global_init(CURL_GLOBAL_DEFAULT);
        atexit(gurl_stop_all);
        gurl_inited = true;
    }
    GurlJob* j = new (std::nothrow) GurlJob{};
    if (!j) return -1;
    int64_t id = next_gurl_job_id++;
    GurlJob*& slot = gurl_job[id % 256];
    if (slot) {
        // The older job can no longer be asked for: one still waiting is dropped, a running
        // one is stopped by its worker, which then frees the record.
        slot->cancelled.store(true, std::memory_order_relaxed);
        gurl_pool_remove(slot);
        gurl_job_release(slot);
    }
    slot = j;
    live_records.fetch_add(1);
    j->id = id;
    j->refs.store(1);
    j->max_body = gurl_max_body;
    j->callback = callback;
    j->body = gurl_buffer_new(GURL_BODY_START);
    j->url = gurl_buffer_from_text(url);
    if (extra) j->extra = gurl_buffer_from_text(extra);
    std::string name;
    if (gurl_cart_cache_name(url, gurl_cart_server(), &name)) {
        char folder[1024];
        j->cache_folder = tolo_prefix_with_appdata_path("cache", folder);
        j->cache_name = name;
    }
    bool started = j->body && j->url && (!extra || j->extra) && gurl_pool_add(j);
    if (!started) {
        if (callback) callback(j, GURL_FAILED);
        j->status.store(GURL_FAILED, std::memory_order_release);
    }
    return id;
}

GurlJob* gurl_get_job(int64_t id) {
    if (id <= 0) return nullptr;
    GurlJob* j = gurl_job[id % 256];
    return j && j->id == id ? j : nullptr;
}

void gurl_body_taken(GurlJob* job) {
    job->taken = true;
    while (held_bytes.load() > gurl_total_body / 2) {
        GurlJob* oldest = nullptr;
        for (GurlJob* j : gurl_job)
            if (j && j->taken && j->body && j->body->capacity > GURL_BODY_START && (!oldest || j->id < oldest->id))
                oldest = j;
        if (!oldest) break;
        gurl_body_free(oldest);
    }
}

void gurl_cb(GurlJob* j, int32_t status) {
    if (status != GURL_DONE || j->cache_name.empty() || j->http_code < 200 || j->http_code > 299) return;
    std::string carts = j->cache_folder + "/carts";
    tolo_mkdir(j->cache_folder.c_str());
    tolo_mkdir(carts.c_str());
    std::string target = carts + "/" + j->cache_name;
    if (target.size() >= 1024) return;
    // Further folders must exist already and, through any links, lie inside cache/carts.
    char real_carts[PATH_MAX], real_dir[PATH_MAX];
    std::string dir = target.substr(0, target.rfind('/'));
    if (!realpath(carts.c_str(), real_carts) || !realpath(dir.c_str(), real_dir)) return;
    size_t n = strlen(real_carts);
    if (strncmp(real_dir, real_carts, n) != 0 || (real_dir[n] != 0 && real_dir[n] != '/')) return;
    host_write_file(target.c_str(), (const uint8_t*)j->body->data, j->body->length);
}
