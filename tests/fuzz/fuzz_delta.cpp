// Applies arbitrary bytes as a delta (wrapped and bare) to old data cut from the input, and
// makes deltas between the input's two halves: nothing is read out of bounds, and every
// delta made gives its new data back.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "kernel/state.h"
#include "storage/delta.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // The failed-CRC line goes to the log of a private app-data folder.
    static char t[] = "/tmp/orv_fuzz_delta_XXXXXX";
    if (mkdtemp(t)) {
        snprintf(config.home, sizeof config.home, "%s", t);
        atexit([] {
            std::string cmd = std::string("rm -rf '") + t + "'";
            if (system(cmd.c_str()) != 0) perror("rm");
        });
    }
    return 0;
}

static void round_trip(const uint8_t* a, size_t na, const uint8_t* b, size_t nb) {
    ByteBuffer* d = generate_diff(a, (int64_t)na, b, (int64_t)nb);
    if (!d) abort();
    ByteBuffer* r = apply_diff(a, (int64_t)na, d->bytes, d->length);
    if (!r || r->length != (int32_t)nb || (nb && memcmp(r->bytes, b, nb))) abort();
    destroy_buffer(r);
    destroy_buffer(d);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    size_t k = data[0] < size ? data[0] : size - 1;
    const uint8_t* old = data + 1;
    const uint8_t* delta = data + 1 + k;
    size_t n = size - 1 - k;
    ByteBuffer* r = apply_diff(old, (int64_t)k, delta, (int64_t)n);
    if (r) {
        // Whatever was accepted describes itself: its own delta gives it back.
        round_trip(old, k, r->bytes, (size_t)r->length);
        destroy_buffer(r);
    }
    round_trip(data, size / 2, data + size / 2, size - size / 2);
    return 0;
}
