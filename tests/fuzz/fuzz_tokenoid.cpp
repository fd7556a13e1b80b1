// Scans arbitrary bytes token by token, carrying the state, as the editor does
// line by line: every token must be non-empty and inside the text.
#include <cstdint>
#include <cstdlib>
#include "kernel/text.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    int64_t state = data[0] & 1 ? 0x300 + data[1] : data[0] & 2 ? 0x400 + data[1] : 0;
    const char* s = (const char*)data + 2;
    size_t len = size - 2;
    for (size_t p = 0; p < len;) {
        TokenoidResult r = tokenoid_scan(s, len, p, state);
        if (r.start != p || r.end <= p || r.end > len || r.kind < 0 || r.kind > 15) abort();
        p = r.end;
        state = r.state;
    }
    return 0;
}
