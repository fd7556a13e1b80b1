// The per-run cap on what programs add to host folders, and streamed host writes.
#include "storage/host_disk.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <mutex>
#include <thread>

#include "host/host.h"
#include "kernel/messages.h"
#include "storage/pdisk.h"

namespace {

std::atomic<int64_t> disk_limit{(int64_t)HOST_DISK_DEFAULT_MB << 20};
std::atomic<int64_t> disk_added{0};

// Static initialisation runs on the main thread.
const std::thread::id main_thread = std::this_thread::get_id();
std::mutex pending_mu;
std::string pending_report;
// Main thread: when the last report was made; a new cap starts afresh.
int64_t last_report = INT64_MIN;

void announce(const std::string& shown, const char* outcome) {
    int64_t now = os_get_time();
    if (last_report != INT64_MIN && now - last_report < 1000) return;  // one report a second at most
    last_report = now;
    char text[1400];
    snprintf(text, sizeof text,
             "** host disk limit reached: %.1023s %s (programs may add %lld MB to host folders in a run) **",
             shown.c_str(), outcome, (long long)(host_disk_limit() >> 20));
    printf("%s\n", text);
    fflush(stdout);
    tolo_debugf("%s\n", text);
    notify(text);
}

}  // namespace

void host_disk_set_limit_mb(int64_t mb) {
    disk_limit.store(std::clamp<int64_t>(mb, 1, INT32_MAX) << 20);
    if (std::this_thread::get_id() == main_thread) last_report = INT64_MIN;
}
int64_t host_disk_limit() { return disk_limit.load(); }
int64_t host_disk_added() { return disk_added.load(); }

int64_t host_disk_blocks(int64_t n) {
    return (std::max<int64_t>(n, 1) + HOST_DISK_BLOCK - 1) / HOST_DISK_BLOCK * HOST_DISK_BLOCK;
}

int64_t host_disk_size_of(const char* host_path) {
    struct stat st;
    if (lstat(host_path, &st) != 0) return 0;
    return S_ISDIR(st.st_mode) ? HOST_DISK_BLOCK : host_disk_blocks((int64_t)st.st_size);
}

bool host_disk_take(int64_t grow) {
    int64_t cur = disk_added.load();
    do {
        if (grow > 0 && cur + grow > disk_limit.load()) return false;
    } while (!disk_added.compare_exchange_weak(cur, cur + grow));
    return true;
}

void report_host_disk_full(const char* shown, const char* outcome) {
    if (std::this_thread::get_id() == main_thread) {
        announce(shown, outcome);
        return;
    }
    std::lock_guard<std::mutex> lock(pending_mu);
    pending_report = shown;
}

void host_disk_frame() {
    std::string shown;
    {
        std::lock_guard<std::mutex> lock(pending_mu);
        if (pending_report.empty()) return;
        shown.swap(pending_report);
    }
    announce(shown, "was not written");
}

bool host_stream_open(HostStream* s, const char* host_path) {
    s->taken = 0;
    s->fd = host_temp_open(host_path, &s->temp);
    return s->fd >= 0;
}

int64_t host_stream_size(const HostStream* s) {
    struct stat st;
    return s->fd >= 0 && fstat(s->fd, &st) == 0 ? (int64_t)st.st_size : 0;
}

bool host_stream_cover(HostStream* s, int64_t n) {
    int64_t need = host_disk_blocks(n);
    if (need <= s->taken) return true;
    if (!host_disk_take(need - s->taken)) return false;
    s->taken = need;
    return true;
}

bool host_stream_write(HostStream* s, const void* bytes, int64_t n) {
    if (s->fd < 0 || !host_stream_cover(s, host_stream_size(s) + n)) return false;
    const char* p = (const char*)bytes;
    while (n > 0) {
        ssize_t w = write(s->fd, p, (size_t)n);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return false;
        p += w;
        n -= w;
    }
    return true;
}

int host_stream_close(HostStream* s, const char* host_path, bool keep) {
    if (s->fd < 0) return -1;
    if (keep) {
        // The final size, less the file it takes the place of.
        int64_t need = host_disk_blocks(host_stream_size(s)) - host_disk_size_of(host_path);
        keep = host_disk_take(need - s->taken);
        if (keep) s->taken = need;
    }
    int rc = host_temp_commit(s->fd, s->temp, host_path, keep);
    if (rc != 0) host_disk_take(-s->taken);
    s->fd = -1;
    s->taken = 0;
    return rc;
}
