// The day-by-day history of changes to host files.
#pragma once
#include "kernel/buffer.h"

void backtrail_open();
void backtrail_close();
// kind 0 a host file written, 1 a host path deleted, 2 a host folder made, 4 history switched on.
void backtrail_event(int kind, const char* a, const char* b);
// The bytes of a file as of a time ("path@YYYY-MM-DD_HH:MM:SS"), or null.
ByteBuffer* backtrail_fetch(const char* request);
