// The day-by-day history of changes to host files, under the app-data folder:
//   backtrail/YYYY-MM/DD.log   the day's log: a snapshot of every host file at its first
//                              event, then the events (times are UTC)
//   backtrail/YYYY-MM/orb/     the month's blobs, named by the MurmurHash3 x64 128 of their bytes
// Log lines: "^ folder/", ": blob path" (snapshot), "@ time [note]", "$ blob path" (stored
// whole), "+ base path" then "| hex" lines (a delta against the blob base), "- path"
// (deleted), "> path" (folder made).
#pragma once
#include <cstdint>

#include "kernel/buffer.h"

// Seconds since 1970 (UTC) of history records; tests replace it.
extern int64_t (*backtrail_clock)();

void backtrail_open();
void backtrail_close();
// kind 0 a host file written (path, host path), 1 a host path deleted, 2 a host folder
// made, 3 a time note (the text), 4 history switched on. Nothing while the setting is off.
void backtrail_event(int kind, const char* a, const char* b);
// The bytes of a file as of a time ("path@YYYY-MM-DD_HH:MM:SS"), or null.
ByteBuffer* backtrail_fetch(const char* request);

// The blob name of some bytes: 32 lower-case hex digits.
void backtrail_blob_name(const uint8_t* bytes, int64_t n, char out[33]);
