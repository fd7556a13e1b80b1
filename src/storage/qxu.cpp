#include "storage/qxu.h"
#include <cstring>
#include "arrays/typed_array.h"
#include "kernel/cpu.h"
#include "lua.h"

namespace {

// Recency tables of the run coder, reset for every block.
struct QxuTables {
    int32_t val_tbl[256];
    int32_t slot_tbl[256];
    void reset() {
        for (int i = 0; i < 256; i++) val_tbl[i] = slot_tbl[i] = i;
    }
    // Moves index e to the front of the first n recency positions.
    void touch(int e, int n) {
        int f = 0;
        while (f < n - 1 && slot_tbl[f] != e) f++;
        memmove(slot_tbl + 1, slot_tbl, (size_t)f * sizeof(int32_t));
        slot_tbl[0] = e;
    }
};

QxuTables tables;

void put_size(ByteBuffer* out, int64_t v, bool wide) {
    if (wide) bwrite_uint32((uint32_t)v, out);
    else bwrite_uint8((uint32_t)v, out);
}

}  // namespace

int64_t write_binary_qxu(const TypedArray* a, ByteBuffer* out, int D) {
    int32_t start = out->length;
    out->cursor = out->length;
    const uint8_t magic[4] = {'q', 'x', 'u', 0};
    bwrite(magic, 1, 4, out);
    int dims = a->dims < 1 ? 1 : a->dims;
    bool wide = a->width > 255 || a->height > 255 || a->depth > 255;
    bwrite_uint8((uint32_t)(((dims - 1) << 6) | (ta_tag(a) & 0x3f)), out);
    bwrite_uint8((D == 0 ? 0x10u : 0x20u) | (wide ? 0x08u : 0u), out);
    put_size(out, a->width, wide);
    if (dims >= 2) put_size(out, a->height, wide);
    if (dims >= 3) put_size(out, a->depth, wide);

    const uint8_t* data = ta_data(a);
    int64_t count = ta_count(a);
    if (D <= 0) {
        bwrite(data, 1, count, out);
        return out->length - start;
    }
    if (D > 6) D = 6;
    bwrite_uint8((uint32_t)D, out);
    // Worst case: a code, a literal and the extra length bytes per run.
    if (!ballocate(out, (int64_t)out->length + count * 3 + count / 255 + 16)) return out->length - start;
    uint8_t* o = out->bytes + out->length;
    const int N = 1 << D, esc = N - 1, M = (1 << (8 - D)) - 1;
    tables.reset();
    int64_t p = 0;
    while (p < count) {
        uint8_t v = data[p];
        int64_t L = 1;
        while (p + L < count && data[p + L] == v) L++;
        int64_t r = L - 1 < M ? L - 1 : M;
        int e = 0;
        while (e < esc && tables.val_tbl[e] != v) e++;
        if (e == esc) {
            *o++ = (uint8_t)((r << D) | esc);
            *o++ = v;
            tables.val_tbl[tables.slot_tbl[N - 2]] = v;
        } else {
            *o++ = (uint8_t)((r << D) | e);
            tables.touch(e, esc);
        }
        if (r == M) {
            int64_t E = L - 1 - M;
            while (E >= 255) {
                *o++ = 255;
                E -= 255;
            }
            *o++ = (uint8_t)E;
        }
        p += L;
    }
    out->length = out->cursor = (int32_t)(o - out->bytes);
    out->bytes[out->length] = 0;
    return out->length - start;
}

bool qxu_parse_header(const uint8_t* p, int64_t avail, QxuHeader* h) {
    if (avail < 6 || memcmp(p, "qxu", 4) != 0) return false;
    if ((p[5] & 0xf0) == 0) {
        // Older layout: u32 sizes at 4, 8 and 12, the type at 16, run codes from 17.
        if (avail < 18) return false;
        auto u32 = [&](int o) {
            return (int64_t)p[o] | ((int64_t)p[o + 1] << 8) | ((int64_t)p[o + 2] << 16) | ((int64_t)p[o + 3] << 24);
        };
        h->width = u32(4);
        h->height = u32(8);
        h->depth = u32(12);
        h->type = p[16];
        h->dims = 2;
        h->raw = false;
        h->data_offset = 17;
        return true;
    }
    int form = p[5] & 0xf0;
    if (form != 0x10 && form != 0x20) return false;
    h->raw = form == 0x10;
    h->type = p[4] & 0x3f;
    h->dims = (p[4] >> 6) + 1;
    bool wide = (p[5] & 0x08) != 0;
    int64_t off = 6;
    int64_t sz[3] = {1, 1, 1};
    for (int i = 0; i < h->dims && i < 3; i++) {
        if (wide) {
            if (off + 4 > avail) return false;
            sz[i] = (int64_t)p[off] | ((int64_t)p[off + 1] << 8) | ((int64_t)p[off + 2] << 16) |
                    ((int64_t)p[off + 3] << 24);
            off += 4;
        } else {
            if (off + 1 > avail) return false;
            sz[i] = p[off++];
        }
    }
    h->width = sz[0];
    h->height = sz[1];
    h->depth = sz[2];
    h->data_offset = off;
    return true;
}

int64_t qxu_decode(const uint8_t* data, int64_t avail, bool raw, uint8_t* dst, int64_t count) {
    if (raw) {
        if (count > avail) return -1;
        memcpy(dst, data, (size_t)count);
        return count;
    }
    if (avail < 1) return -1;
    int D = data[0];
    if (D < 1 || D > 6) return -1;
    const int N = 1 << D, esc = N - 1, M = (1 << (8 - D)) - 1;
    tables.reset();
    int64_t i = 1, filled = 0;
    while (filled < count) {
        if (i >= avail) return -1;
        uint8_t c = data[i++];
        int index = c & esc;
        int64_t r = c >> D;
        uint8_t v;
        if (index < esc) {
            v = (uint8_t)tables.val_tbl[index];
            tables.touch(index, esc);
        } else {
            if (i >= avail) return -1;
            v = data[i++];
            tables.val_tbl[tables.slot_tbl[N - 2]] = v;
        }
        if (r == M) {
            for (;;) {
                if (i >= avail) return -1;
                uint8_t x = data[i++];
                r += x;
                if (x < 255) break;
                if (r > count) r = count;  // longer than any array; keeps r bounded
            }
        }
        int64_t n = r + 1;
        if (n > count - filled) n = count - filled;
        memset(dst + filled, v, (size_t)n);
        filled += n;
    }
    return i;
}

int64_t get_binary_qxu(lua_State* L, const uint8_t* p, int64_t avail) {
    QxuHeader h;
    if (!qxu_parse_header(p, avail, &h)) return -1;
    // Refuse sizes no array can have before asking for one.
    if (h.width < 1 || h.height < 1 || h.depth < 1 || h.dims < 1 || h.dims > 2) return -1;
    if (h.width > TA_MAX_DATA_BYTES || h.height > TA_MAX_DATA_BYTES || h.width * h.height > TA_MAX_DATA_BYTES)
        return -1;
    if (!h.raw && (h.data_offset >= avail || p[h.data_offset] < 1 || p[h.data_offset] > 6)) return -1;
    if (!lua_checkstack(L, 2)) return -1;
    TypedArray* a = create_userdata(L, get_utype_string(h.type), h.dims, h.width, h.height, h.depth, nullptr);
    if (!a) return -1;
    // Blocks hold one byte per element, whatever the element type.
    int64_t count = ta_count(a);
    int64_t used = qxu_decode(p + h.data_offset, avail - h.data_offset, h.raw, ta_data(a), count);
    if (used < 0) {
        lua_pop(L, 1);
        return -1;
    }
    spend_cpu(count * 8 * ta_elem_size(a) / 32);
    return h.data_offset + used;
}
