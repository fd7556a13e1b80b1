// The host disk that programs may fill in one run: every write of this run to a
// host file or folder (files through host mounts, cartridge write-backs, capture
// files, the cache, the file history) counts what it adds, in whole blocks, and a
// write that would pass the cap is refused before it touches anything. Removing
// files gives their room back. Safe to call from worker threads.
#pragma once
#include <cstdint>
#include <string>

constexpr int64_t HOST_DISK_BLOCK = 4096;
constexpr int32_t HOST_DISK_DEFAULT_MB = 4096;
// host_write_file's result for a write the cap refused.
constexpr int HOST_DISK_FULL = -2;

// The cap in megabytes (at least 1).
void host_disk_set_limit_mb(int64_t mb);
int64_t host_disk_limit();
// What this run has added so far (less what it removed).
int64_t host_disk_added();
// The room a file of n bytes takes: whole blocks, one at least.
int64_t host_disk_blocks(int64_t n);
// The room the host file at host_path takes now; 0 when there is none.
int64_t host_disk_size_of(const char* host_path);
// Takes grow bytes of the allowance (a negative grow gives room back); false, taking
// nothing, when that would pass the cap.
bool host_disk_take(int64_t grow);
// Says that a write of shown was refused ("<shown> <outcome>"): printed, logged and
// announced to the window manager, once a second at most (a new cap starts afresh).
// Off the main thread it is announced at the next frame.
void report_host_disk_full(const char* shown, const char* outcome = "was not written");
// Main thread, once a frame: announces a refusal made on a worker thread.
void host_disk_frame();

// A host file written piece by piece into a temporary file beside its name, counted
// against the cap as it grows, and renamed to its name when complete.
struct HostStream {
    int fd = -1;
    std::string temp;
    int64_t taken = 0;  // allowance held for the temporary file
};
// False when the temporary file can't be made beside host_path.
bool host_stream_open(HostStream* s, const char* host_path);
// The bytes written to the stream so far (as the host file system has them).
int64_t host_stream_size(const HostStream* s);
// Makes the allowance cover a file of n bytes; false when the cap refuses.
bool host_stream_cover(HostStream* s, int64_t n);
// Appends n bytes, covered first; false when refused (nothing written) or not written.
bool host_stream_write(HostStream* s, const void* bytes, int64_t n);
// Ends the stream. With keep the file is synced and takes the name host_path, its
// allowance fitted to its size less the file it replaces; otherwise, or when that
// fails, it is removed and its allowance given back. 0 when the file took its name.
int host_stream_close(HostStream* s, const char* host_path, bool keep);
