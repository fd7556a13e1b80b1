// Scans arbitrary bytes token by token, carrying the state, as the editor does
// line by line: every token must be non-empty and inside the text. The first
// byte picks the carried state: none, an open comment or string, or any 64-bit
// value a program may pass. The same bytes are read as a date text.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include "kernel/general.h"
#include "kernel/text.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2) return 0;
    int64_t state = data[0] & 1 ? 0x300 + data[1] : data[0] & 2 ? 0x400 + data[1] : 0;
    size_t skip = 2;
    if ((data[0] & 4) && size >= 10) {
        memcpy(&state, data + 2, 8);
        skip = 10;
    }
    const char* s = (const char*)data + skip;
    size_t len = size - skip;
    date_text_to_time(s, len);
    for (size_t p = 0; p < len;) {
        TokenoidResult r = tokenoid_scan(s, len, p, state);
        if (r.start != p || r.end <= p || r.end > len || r.kind < 0 || r.kind > 15) abort();
        p = r.end;
        state = r.state;
    }
    return 0;
}
