// orb text: the one serialisation of Lua values (messages, stored files, settings, orb/unorb).
#pragma once
#include <cstdint>
#include "kernel/buffer.h"

struct lua_State;

// OrbWriteFlags: bits passed to the writer.
enum : int {
    ORB_QXU = 0x01,         // u8 typed arrays as QxuBlocks
    ORB_LZ4 = 0x02,         // the whole value LZ4HC-compressed into an lz4 value
    ORB_B64 = 0x04,         // the result base64-encoded inside unorb("b64:...")
    ORB_RAW_QXU = 0x10,     // with ORB_QXU: blocks hold raw bytes, not run codes
    ORB_BINARY_STR = 0x20,  // strings as "str" NUL, u32 length, bytes
};
constexpr int ORB_STORE_FLAGS = ORB_QXU | ORB_LZ4;  // flags of stored files
constexpr int32_t BUF_TAG_ORB = 111;                // temporary buffers of the orb code

// Nesting deeper than this is written as nil and refused by the reader.
constexpr int ORB_MAX_DEPTH = 256;
// Texts longer than this are not written (the value becomes nil), and lz4 values that claim
// a longer plain text are refused.
constexpr int64_t ORB_MAX_TEXT = 256LL << 20;

// Appends the orb text of the value at idx to out. A table met again inside itself, or nested
// past ORB_MAX_DEPTH, is written as nil. Returns false when the text would exceed
// ORB_MAX_TEXT; out then holds "nil" in its place.
bool stringify_object(lua_State* L, int idx, ByteBuffer* out, int flags);

// Reads one value from text (len bytes; a 0 byte also ends it) and pushes it: returns 0 when
// the text cannot be read (nothing is left pushed), 1 for a value, 2 for a value and its
// metadata table when the text begins with a metadata header. Never raises a Lua error.
int destringify_object(lua_State* L, const char* text, int64_t len);

// Pushes the metadata table of a text that begins with "--[[orb"; returns 1, or 0 (nothing
// pushed) when the header cannot be read as a table.
int destringify_object_metadata(lua_State* L, const char* text, int64_t len);

// Length of the metadata header (through its "]]" and one following newline), or 0 when the
// text does not begin with "--[[orb".
int64_t find_metadata_length(const char* text, int64_t len);

// File contents and stored values (fetch and store).

// New buffer (tag 112) of the bytes without CR, decoded from the UTF-8/16/32 marks
// by taking the low byte of each unit.
ByteBuffer* clean_windows_text_file(const uint8_t* bytes, int64_t len);

// Pushes the value of fetched bytes, the extension of path (or URL) deciding how to read
// them: txt/lua/pn texts cleaned, png as an i32 bitmap, orb texts (by extension or
// header) as their values and metadata, anything else as a string. Returns the values pushed.
int unorb_from_fetched_buffer(lua_State* L, const uint8_t* bytes, int64_t len, const char* path);

// The text store writes for a value: the metadata header as given (or "--[[orb]]\n" when
// metadata is NULL), then the value at idx as orb text with ORB_STORE_FLAGS.
void orb_store_text(lua_State* L, int idx, const char* metadata, ByteBuffer* out);

// Lua globals orb/_orb and unorb.
int lua54_stringify(lua_State* L);
int lua54_destringify(lua_State* L);
