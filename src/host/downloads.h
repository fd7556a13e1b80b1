// Downloads: a table of 256 job slots whose jobs a bounded pool of worker threads runs,
// one HTTP(S) transfer each, polled by the main thread. Jobs beyond the pool wait in
// their slots; the bodies of all jobs together are capped.
#pragma once
#include <atomic>
#include <cstdint>
#include <string>

// The growable byte buffer of this layer; data is always followed by a NUL.
struct GurlBuffer {
    char* data;
    int64_t length_copy;
    int64_t capacity;
    int64_t length;
};

enum : int32_t { GURL_NEW = 0, GURL_RECEIVING = 2, GURL_DONE = 3, GURL_FAILED = 4 };

struct GurlJob;
// Called by the worker with the status the job is about to report: GURL_RECEIVING after each
// block, then GURL_DONE or GURL_FAILED once, before that status is published.
using GurlCallback = void (*)(GurlJob* job, int32_t status);

// One download. Its slot and its worker each hold a reference; the last to let go frees it,
// so a slot taken over by a newer job never frees a body that a worker still writes.
struct GurlJob {
    int64_t id;
    GurlBuffer* url;
    GurlBuffer* extra;  // kept, never read
    GurlBuffer* body;   // read by the main thread only once status is GURL_DONE; null once
                        // a body that was read has been let go to make room
    std::atomic<int32_t> status;
    int64_t last_chunk_length;
    GurlCallback callback;
    int64_t max_body;
    long http_code;            // final response code, set before GURL_DONE
    std::string cache_folder;  // the app-data "cache" folder, for a cartridge download
    std::string cache_name;    // its name under cache/carts; empty when not a cartridge
    std::atomic<int32_t> refs;
    std::atomic<bool> cancelled;  // the slot was taken over: the worker stops
    bool queued;                  // waiting for a worker (guarded by the pool's lock)
    bool taken;                   // main thread: its body was read
};

// Largest body a job accepts (tests lower it); a longer download fails.
constexpr int64_t GURL_MAX_BODY = 0x2000000;
extern int64_t gurl_max_body;
// Bytes the bodies of all jobs may hold together past each one's first 1 KB (tests lower
// it): a block that would pass it fails its job. Bodies that were read are let go while
// more than half is held.
constexpr int64_t GURL_TOTAL_BODY = 0x4000000;
extern int64_t gurl_total_body;
// Worker threads at most; an idle one ends after a while.
constexpr int GURL_WORKERS = 16;
// CPU cycles charged for starting a job (with its worker's set-up, a few microseconds).
constexpr int64_t GURL_START_CYCLES = 2048;

// Starts a job: its id (1, 2, 3, ...), or -1 without a URL. A job whose thread can't
// start is failed at once.
int64_t gurl_get(const char* url, const char* extra, GurlCallback callback);
// The job with this id while it still holds its slot (id mod 256), else null. Main thread;
// valid until the next gurl_get.
GurlJob* gurl_get_job(int64_t id);
// Main thread: the job's body has been read. Read bodies are let go, oldest first, while the
// bodies held pass half the total.
void gurl_body_taken(GurlJob* job);
// Completion callback of the fetch API: writes finished cartridge downloads to the cache.
void gurl_cb(GurlJob* job, int32_t status);
// Appends n bytes; false when the buffer can't grow.
bool gurl_buffer_write(GurlBuffer* b, const void* bytes, int64_t n);

// The cartridge server's base URL: $ORVANTA_CART_SERVER when set, else the built-in one.
std::string gurl_cart_server();
// The cache file name (relative to cache/carts) of a download from the cartridge server
// at base: the URL's path with illegal characters dropped; false when url is not on the
// server or its path is empty or holds a "." or ".." segment.
bool gurl_cart_cache_name(const char* url, const std::string& base, std::string* name);

// Run at exit: fails every waiting job, stops every transfer and waits (up to 2 s) for the
// workers to end, so none is inside the TLS library while its own exit handler tears it down.
void gurl_stop_all();

// Records alive, jobs a worker still holds (waiting or running), pool threads, and the
// bytes held by all bodies (and the most held at once), for tests.
int gurl_live_records();
int gurl_live_workers();
int gurl_pool_threads();
int64_t gurl_held_bytes();
int64_t gurl_peak_held_bytes();
