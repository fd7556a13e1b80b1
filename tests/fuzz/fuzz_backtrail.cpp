// Reads arbitrary bytes as a day's history log: the table of last full copies is loaded
// from it and files are fetched through it, with a real blob (of "hello") to follow.
// Nothing is read out of bounds.
#include <sys/stat.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "kernel/state.h"
#include "storage/backtrail.h"
#include "storage/pdisk.h"

static std::string home;

// Near the oldest date a fetch looks at, so walks back through missing logs stay short.
static int64_t fixed_clock() { return 1712059200; }  // 2024-04-02 12:00:00 UTC

static void put(const std::string& path, const void* bytes, size_t n) {
    FILE* f = fopen(path.c_str(), "wb");
    if (!f) abort();
    if (n) fwrite(bytes, 1, n, f);
    fclose(f);
}

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // In memory where the host has such a folder: every run writes files.
    char shm[] = "/dev/shm/orv_fuzz_backtrail_XXXXXX", tmp[] = "/tmp/orv_fuzz_backtrail_XXXXXX";
    const char* t = mkdtemp(shm) ? shm : mkdtemp(tmp);
    if (!t) abort();
    home = t;
    atexit([] {
        std::string cmd = "rm -rf '" + home + "'";
        if (system(cmd.c_str()) != 0) perror("rm");
    });
    snprintf(config.home, sizeof config.home, "%s", t);
    config.backtrail = 1;
    backtrail_clock = fixed_clock;
    mkdir((home + "/drive").c_str(), 0755);
    mkdir((home + "/backtrail").c_str(), 0755);
    mkdir((home + "/backtrail/2024-04").c_str(), 0755);
    mkdir((home + "/backtrail/2024-04/orb").c_str(), 0755);
    char name[33];
    backtrail_blob_name((const uint8_t*)"hello", 5, name);
    put(home + "/backtrail/2024-04/orb/" + name, "hello", 5);
    pfile_init();
    pfile_reset();
    mount_host_path("/", (home + "/drive").c_str());
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    put(home + "/backtrail/2024-04/02.log", data, size);
    // A new session (with the history off, so no note is written), then the switch-on
    // event loads the day's table from the log.
    config.backtrail = 0;
    backtrail_open();
    config.backtrail = 1;
    backtrail_event(4, nullptr, nullptr);
    // The path of the log's first line, when it could name one (from byte 35 to the line's end).
    std::string text((const char*)data, size), path = "/a.txt";
    size_t nl = text.find('\n');
    if (size > 35 && (nl == std::string::npos || nl > 35)) path = text.substr(35, nl == std::string::npos ? nl : nl - 35);
    for (const std::string& when : {"@2024-04-02_12:00:00", "@2024-04-02_00:00:01", "@2099-99-99 99:99:99"}) {
        std::string req = path + when;
        ByteBuffer* b = backtrail_fetch(req.c_str());
        if (b && (b->length < 0 || b->bytes[b->length] != 0)) abort();
        if (b) destroy_buffer(b);
    }
    return 0;
}
