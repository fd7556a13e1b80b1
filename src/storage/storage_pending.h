// Seams to pieces of other subsystems that the file API calls: deltas, downloads and
// PNG images. Until those land, each returns its empty result.
#pragma once
#include <cstdint>
#include <string>
#include "kernel/buffer.h"

struct lua_State;

// The delta from old to new, or the new text from old and a delta; null when none.
ByteBuffer* storage_delta_create(const char* old_text, int64_t old_len, const char* new_text, int64_t new_len);
ByteBuffer* storage_delta_apply(const char* old_text, int64_t old_len, const char* delta, int64_t delta_len);

// Starts a download of url: a job id, or -1 when none could be started.
int storage_download_start(const char* url);
// A job's status (3 done, 4 failed, anything else still running); when done, *body is a
// new buffer with its bytes and *url its address.
int storage_download_poll(int64_t id, ByteBuffer** body, std::string* url);

// The PNG encoding of the 2-D u8 or i32 typed array at idx (charging its pixels), or null.
ByteBuffer* storage_png_from_value(lua_State* L, int idx);
