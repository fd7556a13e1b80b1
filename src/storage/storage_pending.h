// Seams to pieces of other subsystems that the file API calls: PNG images.
#pragma once
#include <cstdint>
#include <string>
#include "kernel/buffer.h"

struct lua_State;

// The PNG encoding of the 2-D u8 or i32 typed array at idx (charging its pixels), or null.
ByteBuffer* storage_png_from_value(lua_State* L, int idx);
