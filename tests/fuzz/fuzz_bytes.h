// The fuzz input read as a stream of values; past its end every byte reads 0.
#pragma once
#include <cstddef>
#include <cstdint>

struct FuzzBytes {
    const uint8_t* p;
    size_t n;
    uint8_t u8() {
        if (!n) return 0;
        n--;
        return *p++;
    }
    int32_t i32() { return (int32_t)(u8() | u8() << 8 | u8() << 16 | (uint32_t)u8() << 24); }
    int64_t i64() {
        int64_t v = 0;
        for (int i = 0; i < 8; i++) v = (v << 8) | u8();
        return v;
    }
};
