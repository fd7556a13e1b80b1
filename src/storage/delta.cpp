#include "storage/delta.h"

#include <lz4.h>

#include <array>
#include <bit>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "host/host.h"

// ---- CRC-32 (reflected 0xEDB88320), eight bytes a step ----

using CrcTables = std::array<std::array<uint32_t, 256>, 8>;

static constexpr CrcTables make_crc_tables() {
    CrcTables t{};
    for (uint32_t i = 0; i < 256; i++) {
        uint32_t c = i;
        for (int k = 0; k < 8; k++) c = (c >> 1) ^ (0xEDB88320u & (0u - (c & 1)));
        t[0][i] = c;
    }
    for (int s = 1; s < 8; s++)
        for (int i = 0; i < 256; i++) t[s][i] = (t[s - 1][i] >> 8) ^ t[0][t[s - 1][i] & 0xff];
    return t;
}

static constexpr CrcTables crc_tables = make_crc_tables();

static inline uint32_t rd32(const uint8_t* p) {
    return (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
}

uint32_t crc32b(const uint8_t* p, int64_t n) {
    const auto& t = crc_tables;
    uint32_t c = 0xFFFFFFFFu;
    for (; n >= 8; n -= 8, p += 8) {
        uint32_t a = rd32(p) ^ c, b = rd32(p + 4);
        c = t[7][a & 0xff] ^ t[6][(a >> 8) & 0xff] ^ t[5][(a >> 16) & 0xff] ^ t[4][a >> 24] ^ t[3][b & 0xff] ^
            t[2][(b >> 8) & 0xff] ^ t[1][(b >> 16) & 0xff] ^ t[0][b >> 24];
    }
    for (; n > 0; n--, p++) c = (c >> 8) ^ t[0][(c ^ *p) & 0xff];
    return ~c;
}

// ---- making a delta ----

// Old-data positions by hash, reset for every delta; the earliest position wins.
static int32_t lookup[32768];

static inline uint32_t delta_hash(const uint8_t* p) { return (((uint32_t)p[0] + ((uint32_t)p[3] << 6)) * 627) & 0x7FFF; }

// Length of the common prefix of a and b, at most limit.
static int64_t common_run(const uint8_t* a, const uint8_t* b, int64_t limit) {
    int64_t i = 0;
    if constexpr (std::endian::native == std::endian::little) {
        for (; i + 8 <= limit; i += 8) {
            uint64_t x, y;
            memcpy(&x, a + i, 8);
            memcpy(&y, b + i, 8);
            if (x != y) return i + (std::countr_zero(x ^ y) >> 3);
        }
    }
    while (i < limit && a[i] == b[i]) i++;
    return i;
}

static void put32(std::vector<uint8_t>& o, uint32_t v) {
    uint8_t b[4] = {(uint8_t)v, (uint8_t)(v >> 8), (uint8_t)(v >> 16), (uint8_t)(v >> 24)};
    o.insert(o.end(), b, b + 4);
}

static void put_count(std::vector<uint8_t>& o, int64_t n) {
    if (n < 255) {
        o.push_back((uint8_t)n);
    } else {
        o.push_back(255);
        put32(o, (uint32_t)n);
    }
}

ByteBuffer* generate_diff(const uint8_t* old, int64_t ol, const uint8_t* nw, int64_t nl) {
    // Offsets are u32 and positions i32; the op stream (at most new length + 17 bytes)
    // must fit one LZ4 block and a buffer.
    if (ol < 0 || nl < 0 || ol > INT32_MAX || nl > LZ4_MAX_INPUT_SIZE - 64) return nullptr;
    memset(lookup, 0xff, sizeof lookup);
    std::vector<uint8_t> ops;
    ops.reserve((size_t)nl + 64);
    put32(ops, (uint32_t)nl);
    put32(ops, crc32b(old, ol));
    put32(ops, crc32b(nw, nl));

    if (ol >= 32) {
        int64_t step = nl >= 40960 ? nl >> 13 : 4;
        for (int64_t p = 0; p < ol - 31; p += step) {
            int32_t& e = lookup[delta_hash(old + p)];
            if (e < 0) e = (int32_t)p;
        }
    }

    int64_t pos = 0;
    while (pos < nl) {
        int64_t o = pos, len = 0, src = 0;
        for (; o < nl; o++) {
            int64_t same = o < ol ? common_run(old + o, nw + o, std::min(ol - o, nl - o)) : 0;
            int64_t far = 0, b = -1;
            if (nl - o >= 31 && (b = lookup[delta_hash(nw + o)]) >= 0)
                far = common_run(old + b, nw + o, std::min(ol - b, nl - o));
            len = far > same ? far : same;
            src = far > same ? b : o;
            if (len >= 8) break;
        }
        bool copy = o < nl;
        int64_t lit = (copy ? o : nl) - pos;
        put_count(ops, lit);
        ops.insert(ops.end(), nw + pos, nw + pos + lit);
        if (copy) {
            put_count(ops, len);
            put32(ops, (uint32_t)src);
            pos = o + len;
        } else {
            pos = nl;
        }
    }

    int bound = LZ4_compressBound((int)ops.size());
    if (bound <= 0 || (int64_t)bound + 8 > BUFFER_MAX_LENGTH) return nullptr;
    ByteBuffer* out = create_buffer_2((int64_t)bound + 8, DELTA_TAG);
    memcpy(out->bytes, "dst", 4);
    uint32_t n = (uint32_t)ops.size();
    for (int k = 0; k < 4; k++) out->bytes[4 + k] = (uint8_t)(n >> (8 * k));
    int z = LZ4_compress_fast((const char*)ops.data(), (char*)out->bytes + 8, (int)ops.size(), bound, 1);
    if (z <= 0) {
        destroy_buffer(out);
        return nullptr;
    }
    out->length = z + 8;
    out->bytes[out->length] = 0;
    return out;
}

// ---- applying a delta ----

enum ApplyResult { APPLIED, WRONG_OLD_DATA, MALFORMED };

// One count or length: a byte 0-254, or 255 and a u32. False when it runs past the end.
static bool read_count(const uint8_t* ops, int64_t n, int64_t* p, int64_t* v) {
    if (*p >= n) return false;
    uint8_t c = ops[(*p)++];
    if (c < 255) {
        *v = c;
        return true;
    }
    if (n - *p < 4) return false;
    *v = rd32(ops + *p);
    *p += 4;
    return true;
}

static ApplyResult apply_ops(const uint8_t* old, int64_t ol, const uint8_t* ops, int64_t n, int64_t max_len,
                             ByteBuffer** out) {
    if (n < 12) return MALFORMED;
    int64_t want = rd32(ops);
    if (crc32b(old, ol) != rd32(ops + 4)) return WRONG_OLD_DATA;
    // Literals come from the stream and each copy (at least five bytes of it) from the old
    // data: a recorded length past that is a lie, and is not allocated.
    int64_t body = n - 12;
    int64_t copies = body / 5;
    bool reachable = ol == 0 || copies <= (BUFFER_MAX_LENGTH - body) / ol;
    if (want > max_len || want > BUFFER_MAX_LENGTH || (reachable && want > body + copies * ol)) return MALFORMED;

    ByteBuffer* r = create_buffer_2(want, DELTA_TAG);
    uint8_t* w = r->bytes;
    int64_t have = 0, p = 12;
    bool ok = true;
    while (ok && p < n) {
        int64_t lit = 0;
        ok = read_count(ops, n, &p, &lit) && lit <= n - p && lit <= want - have;
        if (!ok) break;
        if (lit) memcpy(w + have, ops + p, (size_t)lit);
        have += lit;
        p += lit;
        if (p == n) break;
        int64_t len = 0;
        ok = read_count(ops, n, &p, &len) && n - p >= 4;
        if (!ok) break;
        int64_t off = rd32(ops + p);
        p += 4;
        ok = off + len <= ol && len <= want - have;
        if (ok && len) {
            memcpy(w + have, old + off, (size_t)len);
            have += len;
        }
    }
    if (!ok || have != want || crc32b(w, have) != rd32(ops + 8)) {
        destroy_buffer(r);
        return MALFORMED;
    }
    r->length = (int32_t)have;
    *out = r;
    return APPLIED;
}

ByteBuffer* apply_diff(const uint8_t* old, int64_t ol, const uint8_t* delta, int64_t dl, int64_t max_len) {
    if (ol < 0 || dl < 0) return nullptr;
    ByteBuffer* out = nullptr;
    int failed_marker = -1;
    // A bare op stream may begin with the marker too; if the wrapped reading does not give
    // a verified result, the bytes are read bare.
    if (dl >= 8 && memcmp(delta, "dst", 4) == 0) {
        int64_t n = rd32(delta + 4), z = dl - 8;
        // An LZ4 block grows at most about 255-fold, and a made op stream is under three
        // times its result (copies are 8 bytes or more): a longer one is not unpacked.
        if (n >= 12 && z <= LZ4_MAX_INPUT_SIZE && n <= z * 256 + 64 && n <= BUFFER_MAX_LENGTH &&
            n <= 3 * max_len + 64) {
            // Left uninitialised: only what the block really holds is touched.
            uint8_t* ops = (uint8_t*)malloc((size_t)n);
            if (ops && LZ4_decompress_safe((const char*)delta + 8, (char*)ops, (int)z, (int)n) == n) {
                ApplyResult r = apply_ops(old, ol, ops, n, max_len, &out);
                if (r == WRONG_OLD_DATA) failed_marker = 1;
            }
            free(ops);
            if (out) return out;
        }
    }
    ApplyResult r = apply_ops(old, ol, delta, dl, max_len, &out);
    if (r == APPLIED) return out;
    if (r == WRONG_OLD_DATA && failed_marker < 0) failed_marker = 0;
    if (failed_marker >= 0) tolo_debugf("** apply_delta: failed src crc (dst marker: %d)\n", failed_marker);
    return nullptr;
}
