// Seams to pieces of other subsystems that the file API calls: downloads and
// PNG images. Until those land, each returns its empty result.
#pragma once
#include <cstdint>
#include <string>
#include "kernel/buffer.h"

struct lua_State;

// Starts a download of url: a job id, or -1 when none could be started.
int storage_download_start(const char* url);
// A job's status (3 done, 4 failed, anything else still running); when done, *body is a
// new buffer with its bytes and *url its address.
int storage_download_poll(int64_t id, ByteBuffer** body, std::string* url);

// The PNG encoding of the 2-D u8 or i32 typed array at idx (charging its pixels), or null.
ByteBuffer* storage_png_from_value(lua_State* L, int idx);
