// The one-token scanner behind tokenoid, shared with its tests and fuzz target.
#pragma once
#include <cstddef>
#include <cstdint>

struct TokenoidResult {
    size_t start;   // 0-based first byte of the token
    size_t end;     // 0-based index just past it
    int kind;       // 0 blanks, 1 name, 2 number, 3 comment, 4 string, 5 other byte
    int64_t state;  // 0x300/0x400 + level while a long comment/string stays open
};

// Scans one token of s[0..len) starting at p (p < len) with the carried state.
TokenoidResult tokenoid_scan(const char* s, size_t len, size_t p, int64_t state);
