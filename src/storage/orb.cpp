// orb text writer and reader.
#include "storage/orb.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <lz4.h>
#include <lz4hc.h>

#include "arrays/typed_array.h"
#include "host/host.h"
#include "kernel/cpu.h"
#include "kernel/process.h"
#include "lauxlib.h"
#include "lua.h"
#include "storage/base64.h"
#include "storage/pdisk.h"
#include "storage/png_buffer.h"
#include "storage/qxu.h"

namespace {

struct BufferDeleter {
    void operator()(ByteBuffer* b) const { destroy_buffer(b); }
};
using BufferPtr = std::unique_ptr<ByteBuffer, BufferDeleter>;

const char hex_digits[] = "0123456789abcdef";

// The writer stops short of the reader's limit, so that a written value still reads back
// inside the lz4 and base64 wrappers.
constexpr int ORB_MAX_WRITE_DEPTH = ORB_MAX_DEPTH - 16;

inline bool is_ident_start(uint8_t c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_'; }
inline bool is_ident_char(uint8_t c) { return is_ident_start(c) || (c >= '0' && c <= '9'); }

// ---------------------------------------------------------------------------------------
// Writer

struct KeyRef {
    int kind;  // 0 string, 1 integer, 2 float
    const char* s;
    size_t len;
    lua_Integer i;
    lua_Number f;
    int slot;  // index in the anchor table
};

struct Writer {
    lua_State* L;
    ByteBuffer* out;
    int flags;
    int64_t limit;  // the text may not grow past this length
    bool failed;
    std::vector<const void*> path;  // tables being written, outermost first
    // Keyed entries of the tables being written, innermost last, and a Lua table holding
    // each one's key and value (at 2 * slot - 1 and 2 * slot), so the key texts and values
    // stay alive while entries are sorted and written.
    std::vector<KeyRef> keys;
    int anchor_slot;  // a stack slot for that table, made on first need
    int anchor = 0;
};

// Room for n more bytes; false (and the write marked failed) past the limit.
inline bool room(Writer& w, int64_t n) {
    if (w.failed) return false;
    int64_t need = (int64_t)w.out->length + n;
    if (need > w.limit) {
        w.failed = true;
        return false;
    }
    if ((uint64_t)need + 1 > w.out->capacity && !ballocate(w.out, need)) {
        w.failed = true;
        return false;
    }
    return true;
}

inline void put(Writer& w, const void* s, int64_t n) {
    if (!room(w, n)) return;
    memcpy(w.out->bytes + w.out->length, s, (size_t)n);
    w.out->length += (int32_t)n;
    w.out->cursor = w.out->length;
}

inline void put_c(Writer& w, char c) {
    if (!room(w, 1)) return;
    w.out->bytes[w.out->length++] = (uint8_t)c;
    w.out->cursor = w.out->length;
}

inline void put_s(Writer& w, const char* s) { put(w, s, (int64_t)strlen(s)); }

// The orb escapes: \n, \\, \", printable bytes but ']' as they are, the rest as \ddd.
// Returns the bytes added.
int64_t put_escaped_piece(Writer& w, const char* s, size_t n) {
    if (!room(w, (int64_t)n * 4)) return 0;
    uint8_t* o = w.out->bytes + w.out->length;
    uint8_t* start = o;
    for (size_t i = 0; i < n; i++) {
        uint8_t c = (uint8_t)s[i];
        if (c >= 0x20 && c <= 0x7e && c != ']' && c != '\\' && c != '"') {
            *o++ = c;
        } else if (c == '\n') {
            *o++ = '\\';
            *o++ = 'n';
        } else if (c == '\\' || c == '"') {
            *o++ = '\\';
            *o++ = c;
        } else {
            *o++ = '\\';
            *o++ = (uint8_t)('0' + c / 100);
            *o++ = (uint8_t)('0' + (c / 10) % 10);
            *o++ = (uint8_t)('0' + c % 10);
        }
    }
    int64_t added = o - start;
    w.out->length += (int32_t)added;
    w.out->cursor = w.out->length;
    return added;
}

int64_t put_escaped(Writer& w, const char* s, size_t n) {
    // In pieces, so that room is asked for the worst case of a piece, not of a whole long string.
    const size_t piece = 1 << 20;
    int64_t total = 0;
    for (size_t at = 0; at < n && !w.failed; at += piece) total += put_escaped_piece(w, s + at, std::min(piece, n - at));
    return total;
}

// The Lua core's text of a float ("%.14g", ".0" added when it looks like an integer).
int float_text(double v, char* buf, size_t size) {
    int n = snprintf(buf, size, "%.14g", v);
    if (buf[strspn(buf, "-0123456789")] == 0 && n + 2 < (int)size) {
        buf[n++] = '.';
        buf[n++] = '0';
        buf[n] = 0;
    }
    return n;
}

void put_integer(Writer& w, int64_t v) {
    char buf[24];
    char* e = buf + sizeof buf;
    char* p = e;
    uint64_t u = v < 0 ? 0 - (uint64_t)v : (uint64_t)v;
    do {
        *--p = (char)('0' + u % 10);
        u /= 10;
    } while (u);
    if (v < 0) *--p = '-';
    put(w, p, e - p);
}

void put_number(Writer& w, int idx) {
    char buf[64];
    if (lua_isinteger(w.L, idx)) {
        put_integer(w, (int64_t)lua_tointeger(w.L, idx));
        return;
    }
    int n = float_text((double)lua_tonumber(w.L, idx), buf, sizeof buf);
    put(w, buf, n);
    // A float with an integral value is written as the integer.
    ByteBuffer* o = w.out;
    if (!w.failed && o->length >= 3 && o->bytes[o->length - 2] == '.' && o->bytes[o->length - 1] == '0') {
        o->length -= 2;
        o->cursor = o->length;
        o->bytes[o->length] = 0;
    }
}

void put_string(Writer& w, const char* s, size_t n) {
    if (w.flags & ORB_BINARY_STR) {
        uint8_t head[8] = {'s', 't', 'r', 0, (uint8_t)n, (uint8_t)(n >> 8), (uint8_t)(n >> 16), (uint8_t)(n >> 24)};
        if ((uint64_t)n > 0xffffffffu) {
            w.failed = true;
            return;
        }
        put(w, head, 8);
        put(w, s, (int64_t)n);
        spend_cpu((int64_t)n / 4);
        return;
    }
    put_c(w, '"');
    int64_t added = put_escaped(w, s, n);
    put_c(w, '"');
    spend_cpu(added / 4);
}

void put_typed_array(Writer& w, const TypedArray* a) {
    int tag = ta_tag(a);
    int64_t count = ta_count(a);
    spend_cpu(count * ta_elem_size(a) * 8 / 32);
    if ((w.flags & ORB_QXU) && tag == UT_U8) {
        // Worst case of the run coder: three bytes per element.
        if (!room(w, 32 + count * 3 + count / 255)) return;
        write_binary_qxu(a, w.out, (w.flags & ORB_RAW_QXU) ? 0 : 4);
        if (w.out->length > w.limit) w.failed = true;
        return;
    }
    char head[96];
    int n;
    if (a->dims >= 3)
        n = snprintf(head, sizeof head, "userdata(\"%s\",%u,%u,%u,\"", get_utype_string(tag), a->width, a->height,
                     a->depth);
    else if (a->dims == 2)
        n = snprintf(head, sizeof head, "userdata(\"%s\",%u,%u,\"", get_utype_string(tag), a->width, a->height);
    else
        n = snprintf(head, sizeof head, "userdata(\"%s\",%u,\"", get_utype_string(tag), a->width);
    put(w, head, n);
    if (tag == UT_F64) {
        const double* e = ta_elems<double>(a);
        char buf[40];
        for (int64_t i = 0; i < count && !w.failed; i++) {
            int k = snprintf(buf, sizeof buf, i ? ",%0.14g" : "%0.14g", e[i]);
            put(w, buf, k);
        }
    } else {
        int digits = ta_elem_size(a) * 2;
        if (!room(w, count * digits)) return;
        uint8_t* o = w.out->bytes + w.out->length;
        const uint8_t* d = ta_data(a);
        int size = ta_elem_size(a);
        for (int64_t i = 0; i < count; i++) {
            // Elements are little-endian in memory; text is most significant digit first.
            for (int b = size - 1; b >= 0; b--) {
                uint8_t v = d[i * size + b];
                *o++ = (uint8_t)hex_digits[v >> 4];
                *o++ = (uint8_t)hex_digits[v & 15];
            }
        }
        w.out->length = (int32_t)(o - w.out->bytes);
        w.out->cursor = w.out->length;
    }
    put(w, "\")", 2);
}


bool key_less(const KeyRef& a, const KeyRef& b) {
    bool as = a.kind == 0, bs = b.kind == 0;
    if (as != bs) return as;
    if (as) {
        int c = memcmp(a.s, b.s, std::min(a.len, b.len));
        if (c) return c < 0;
        return a.len < b.len;
    }
    // Integers and floats compare by value; long double holds every i64 exactly.
    long double x = a.kind == 1 ? (long double)a.i : (long double)a.f;
    long double y = b.kind == 1 ? (long double)b.i : (long double)b.f;
    return x < y;
}

void write_value(Writer& w, int idx);

void put_key(Writer& w, const KeyRef& k) {
    char buf[64];
    if (k.kind == 0) {
        bool ident = k.len > 0 && is_ident_start((uint8_t)k.s[0]);
        for (size_t i = 1; ident && i < k.len; i++) ident = is_ident_char((uint8_t)k.s[i]);
        if (ident) {
            put(w, k.s, (int64_t)k.len);
        } else {
            put(w, "[\"", 2);
            int64_t added = put_escaped(w, k.s, k.len);
            put(w, "\"]", 2);
            spend_cpu(added / 4);
        }
    } else if (k.kind == 1) {
        put(w, buf, snprintf(buf, sizeof buf, "[%lld]", (long long)k.i));
    } else {
        put_c(w, '[');
        put(w, buf, float_text((double)k.f, buf, sizeof buf));
        put_c(w, ']');
    }
    put_c(w, '=');
}

void write_table(Writer& w, int idx) {
    lua_State* L = w.L;
    const void* self = lua_topointer(L, idx);
    // A table inside itself, or nesting past the limit, is written as nil.
    if ((int)w.path.size() >= ORB_MAX_WRITE_DEPTH || std::find(w.path.begin(), w.path.end(), self) != w.path.end() ||
        !lua_checkstack(L, 8)) {
        put(w, "nil", 3);
        return;
    }
    w.path.push_back(self);
    put_c(w, '{');
    lua_Integer n = (lua_Integer)lua_rawlen(L, idx);

    size_t base = w.keys.size();
    lua_pushnil(L);
    while (lua_next(L, idx)) {
        int kt = lua_type(L, -2);
        KeyRef k{};
        if (kt == LUA_TSTRING) {
            k.kind = 0;
        } else if (kt == LUA_TNUMBER && lua_isinteger(L, -2)) {
            k.kind = 1;
            k.i = lua_tointeger(L, -2);
            if (k.i >= 1 && k.i <= n) {
                lua_pop(L, 1);
                continue;  // a list entry
            }
        } else if (kt == LUA_TNUMBER) {
            k.kind = 2;
            k.f = lua_tonumber(L, -2);
        } else {
            lua_pop(L, 1);
            continue;  // keys of other types are left out
        }
        if (!w.anchor) {
            lua_createtable(L, 64, 0);
            lua_replace(L, w.anchor_slot);
            w.anchor = w.anchor_slot;
        }
        k.slot = (int)w.keys.size() + 1;
        lua_rawseti(L, w.anchor, 2 * (lua_Integer)k.slot);  // the value
        lua_pushvalue(L, -1);
        lua_rawseti(L, w.anchor, 2 * (lua_Integer)k.slot - 1);
        if (kt == LUA_TSTRING) k.s = lua_tolstring(L, -1, &k.len);
        w.keys.push_back(k);
    }
    bool first = true;
    size_t end = w.keys.size();
    if (end > base) {
        std::sort(w.keys.begin() + (long)base, w.keys.end(), key_less);
        for (size_t i = base; i < end && !w.failed; i++) {
            if (!first) put_c(w, ',');
            first = false;
            KeyRef k = w.keys[i];
            put_key(w, k);
            lua_rawgeti(L, w.anchor, 2 * (lua_Integer)k.slot);
            write_value(w, lua_gettop(L));
            lua_pop(L, 1);
        }
        w.keys.resize(base);
    }
    for (lua_Integer i = 1; i <= n && !w.failed; i++) {
        if (!first) put_c(w, ',');
        first = false;
        lua_rawgeti(L, idx, i);
        write_value(w, lua_gettop(L));
        lua_pop(L, 1);
    }
    put_c(w, '}');
    w.path.pop_back();
}

void write_value(Writer& w, int idx) {
    if (w.failed) return;
    lua_State* L = w.L;
    spend_cpu(2);
    switch (lua_type(L, idx)) {
    case LUA_TBOOLEAN:
        if (lua_toboolean(L, idx)) put(w, "true", 4);
        else put(w, "false", 5);
        return;
    case LUA_TNUMBER:
        put_number(w, idx);
        return;
    case LUA_TSTRING: {
        size_t n;
        const char* s = lua_tolstring(L, idx, &n);
        put_string(w, s, n);
        return;
    }
    case LUA_TTABLE:
        write_table(w, idx);
        return;
    case LUA_TUSERDATA: {
        TypedArray* a = to_typed_array(L, idx);
        if (a) {
            put_typed_array(w, a);
            return;
        }
        break;
    }
    default:
        break;
    }
    put(w, "nil", 3);
}

// Writes the plain text of the value at idx into out; on failure out is rolled back and
// holds "nil" in its place.
bool write_plain(lua_State* L, int idx, ByteBuffer* out, int flags) {
    out->cursor = out->length;
    int32_t start = out->length;
    int64_t limit = std::min<int64_t>((int64_t)start + ORB_MAX_TEXT, BUFFER_MAX_LENGTH - 16);
    if (!lua_checkstack(L, 4)) {
        bappend_str(out, "nil");
        return false;
    }
    int top = lua_gettop(L);
    lua_pushnil(L);
    Writer w{L, out, flags, limit, false, {}, {}, top + 1};
    write_value(w, idx);
    lua_settop(L, top);
    if (w.failed) {
        out->length = out->cursor = start;
        bappend_str(out, "nil");
        return false;
    }
    if ((uint64_t)out->length < out->capacity) out->bytes[out->length] = 0;
    return true;
}

// ---------------------------------------------------------------------------------------
// Reader

struct Reader {
    lua_State* L;
    const uint8_t* end;
    int depth;  // shared by nested texts (lz4 and base64 values)
};

using Pos = const uint8_t*;

inline uint8_t at(const Reader& r, Pos p) { return p < r.end ? *p : 0; }
inline bool starts(const Reader& r, Pos p, const char* word, size_t n) {
    if ((size_t)(r.end - p) < n) return false;
    for (size_t i = 0; i < n; i++)
        if (p[i] != (uint8_t)word[i]) return false;
    return true;
}
// Blank bytes: below 33 as a signed byte (controls, space, and 0x80 up).
inline bool blank(uint8_t c) { return (int8_t)c < 33; }

std::string str_buf;  // decoded quoted strings, copied into Lua strings at once

Pos get_value(Reader& r, Pos p);
int read_text(lua_State* L, const uint8_t* text, int64_t len, int depth, bool want_meta);

Pos get_string(Reader& r, Pos p) {
    p++;
    str_buf.clear();
    for (;;) {
        // Plain bytes in bulk.
        Pos q = p;
        while (q < r.end && *q != '"' && *q != '\\' && *q != 0) q++;
        str_buf.append((const char*)p, (size_t)(q - p));
        p = q;
        uint8_t c = at(r, p);
        if (c == 0) return nullptr;
        if (c == '"') {
            p++;
            break;
        }
        p++;  // the backslash
        uint8_t e = at(r, p);
        if (e == '"' || e == '\\') {
            str_buf.push_back((char)e);
            p++;
        } else if (e == 'n') {
            str_buf.push_back('\n');
            p++;
        } else {
            // Up to three decimal digits, kept to 8 bits; none gives a 0 byte.
            int v = 0;
            for (int k = 0; k < 3 && at(r, p) >= '0' && at(r, p) <= '9'; k++) v = v * 10 + (*p++ - '0');
            str_buf.push_back((char)(uint8_t)v);
        }
    }
    lua_pushlstring(r.L, str_buf.data(), str_buf.size());
    spend_cpu((int64_t)str_buf.size() / 4);
    if (str_buf.capacity() > (16u << 20)) std::string().swap(str_buf);
    return p;
}

Pos get_binary_string(Reader& r, Pos p) {
    if (r.end - p < 8) return nullptr;
    uint32_t n = (uint32_t)p[4] | ((uint32_t)p[5] << 8) | ((uint32_t)p[6] << 16) | ((uint32_t)p[7] << 24);
    p += 8;
    if ((uint64_t)(r.end - p) < n) return nullptr;
    lua_pushlstring(r.L, (const char*)p, n);
    return p + n;
}

Pos get_b64(Reader& r, Pos p) {
    Pos s = p + 4;
    Pos e = s;
    while (e < r.end && *e != '"' && *e != 0) e++;
    BufferPtr dec(create_buffer_2((e - s) / 4 * 3 + 4, BUF_TAG_ORB));
    if (!base64_decode_append(dec.get(), (const char*)s, e - s)) return nullptr;
    spend_cpu(dec->length / 12);
    if (read_text(r.L, dec->bytes, dec->length, r.depth, false) != 1) return nullptr;
    return e;
}

Pos get_lz4orb(Reader& r, Pos p) {
    if (r.end - p < 12) return nullptr;
    uint32_t c = (uint32_t)p[4] | ((uint32_t)p[5] << 8) | ((uint32_t)p[6] << 16) | ((uint32_t)p[7] << 24);
    uint32_t plain = (uint32_t)p[8] | ((uint32_t)p[9] << 8) | ((uint32_t)p[10] << 16) | ((uint32_t)p[11] << 24);
    Pos block = p + 12;
    if ((uint64_t)(r.end - block) < c || c > (uint32_t)LZ4_MAX_INPUT_SIZE) return nullptr;
    // An LZ4 block expands at most about 255 times; a larger recorded size is a lie.
    // No writer makes a plain text past ORB_MAX_TEXT either.
    if ((uint64_t)plain > (uint64_t)c * 255 + 64 || (int64_t)plain > ORB_MAX_TEXT) {
        tolo_debugf("reading corrupt lz4 value // sizes do not match: %d %d\n", -1, (int)plain);
        return nullptr;
    }
    int cap = (int)plain + 65536;
    BufferPtr dec(create_buffer_2(cap, BUF_TAG_ORB));
    int got = LZ4_decompress_safe((const char*)block, (char*)dec->bytes, (int)c, cap);
    if (got != (int)plain) {
        tolo_debugf("reading corrupt lz4 value // sizes do not match: %d %d\n", got, (int)plain);
        return nullptr;
    }
    dec->length = got;
    spend_cpu(got / 12);
    if (read_text(r.L, dec->bytes, got, r.depth, false) != 1) return nullptr;
    return block + c;
}

Pos get_qxu(Reader& r, Pos p) {
    int64_t n = get_binary_qxu(r.L, p, r.end - p);
    return n < 0 ? nullptr : p + n;
}

Pos get_userdata(Reader& r, Pos p) {
    p += 8;
    if (at(r, p) == '(') p++;
    if (at(r, p) == '"') p++;
    Pos name = p;
    while (at(r, p) != '"') {
        if (at(r, p) == 0) return nullptr;
        p++;
    }
    std::string type_name((const char*)name, (size_t)(p - name));
    p++;
    if (type_name.compare(0, 5, "[gfx]") == 0) {
        // The bitmap text carries its own sizes and pixels.
        if (!create_userdata(r.L, type_name.c_str(), 2, 1, 1, 1, nullptr)) return nullptr;
        if (at(r, p) == ')') p++;
        return p;
    }
    // Sizes: the commas between the name and the quote that opens the element text.
    Pos q = p;
    int commas = 0;
    while (at(r, q) != '"') {
        if (at(r, q) == 0) return nullptr;
        if (*q == ',') commas++;
        q++;
    }
    std::string sizes((const char*)p, (size_t)(q - p));
    int64_t sz[3] = {1, 1, 1};
    int dims = commas - 1;
    // ",w", ",w,h" or ",w,h,d"; sizes not given (or not numbers) stay 1.
    const char* s = sizes.c_str();
    for (int i = 0; i < dims && i < 3; i++) {
        if (*s != ',') break;
        s++;
        char* e2;
        long long v = strtoll(s, &e2, 10);
        if (e2 == s) break;
        sz[i] = v;
        s = e2;
    }
    Pos data = q + 1;
    Pos e = data;
    while (at(r, e) != '"') {
        if (at(r, e) == 0) return nullptr;
        e++;
    }
    // The element text ends at its quote; later bytes are never read as elements.
    std::string elements((const char*)data, (size_t)(e - data));
    p = e + 1;
    if (at(r, p) == ')') p++;
    if (dims < 1 || dims > 2) return nullptr;
    if (!create_userdata(r.L, type_name.c_str(), dims, sz[0], sz[1], sz[2], elements.c_str())) return nullptr;
    return p;
}

// Words recognised by their letters alone, whatever follows them.
struct Word {
    const char* text;
    size_t len;
    int kind;  // 0 false, 1 true, 2 nil, 3 inf, 4 -inf, 5 nan
};
const Word words[] = {
    {"false", 5, 0}, {"true", 4, 1}, {"nil", 3, 2}, {"inf", 3, 3}, {"-inf", 4, 4}, {"nan", 3, 5}, {"-nan", 4, 5},
};

Pos get_number(Reader& r, Pos p) {
    char buf[48];
    int n = 0;
    while (n < 44) {
        uint8_t c = at(r, p + n);
        if (!((c >= '0' && c <= '9') || c == '_' || c == '+' || c == '-' || c == '.' || c == 'e')) break;
        buf[n++] = (char)c;
    }
    if (n == 0) return nullptr;
    // Plain decimal integers that cannot overflow skip the general conversion.
    int i = buf[0] == '-' ? 1 : 0;
    if (n - i >= 1 && n - i <= 18) {
        int64_t v = 0;
        int k = i;
        while (k < n && buf[k] >= '0' && buf[k] <= '9') v = v * 10 + (buf[k++] - '0');
        if (k == n) {
            lua_pushinteger(r.L, (lua_Integer)(i ? -v : v));
            return p + n;
        }
    }
    buf[n] = 0;
    if (lua_stringtonumber(r.L, buf) == 0) return nullptr;
    return p + n;
}

Pos get_table(Reader& r, Pos p);

// Reads a form that holds a whole text of its own, one level deeper.
template <class F>
Pos nested(Reader& r, Pos p, F read) {
    if (++r.depth > ORB_MAX_DEPTH) return nullptr;
    Pos q = read(r, p);
    r.depth--;
    return q;
}

Pos get_unorb(Reader& r, Pos p) {
    Pos q = get_value(r, p + 7);
    if (!q) return nullptr;
    if (at(r, q) == '"') q++;
    if (at(r, q) == ')') q++;
    return q;
}

Pos get_value(Reader& r, Pos p) {
    while (p < r.end && *p != 0 && blank(*p)) p++;
    uint8_t c = at(r, p);
    if (c == 0) return nullptr;
    if (!lua_checkstack(r.L, 4)) return nullptr;
    spend_cpu(1);
    switch (c) {
    case '"':
        return get_string(r, p);
    case '{':
        return get_table(r, p);
    case 'b':
        if (starts(r, p, "b64:", 4)) return nested(r, p, get_b64);
        break;
    case 'l':
        if (starts(r, p, "lz4", 4)) return nested(r, p, get_lz4orb);
        break;
    case 'q':
        if (starts(r, p, "qxu", 4)) return get_qxu(r, p);
        break;
    case 's':
        if (starts(r, p, "str", 4)) return get_binary_string(r, p);
        break;
    case 'u':
        if (starts(r, p, "unorb(\"", 7)) return nested(r, p, get_unorb);
        if (starts(r, p, "userdata", 8)) return get_userdata(r, p);
        break;
    default:
        break;
    }
    for (const Word& wd : words) {
        if (!starts(r, p, wd.text, wd.len)) continue;
        switch (wd.kind) {
        case 0: lua_pushboolean(r.L, 0); break;
        case 1: lua_pushboolean(r.L, 1); break;
        case 2: lua_pushnil(r.L); break;
        case 3: lua_pushnumber(r.L, HUGE_VAL); break;
        case 4: lua_pushnumber(r.L, -HUGE_VAL); break;
        default: lua_pushnumber(r.L, std::nan("")); break;
        }
        return p + wd.len;
    }
    return get_number(r, p);
}

// Whether a table entry at p is keyed (else a list value).
bool is_start_of_key(const Reader& r, Pos p) {
    uint8_t c = at(r, p);
    if (c == '[') return true;
    if (!is_ident_start(c)) return false;
    if (starts(r, p, "b64:", 4) || starts(r, p, "lz4", 4) || starts(r, p, "qxu", 4) || starts(r, p, "str", 4))
        return false;
    if (starts(r, p, "userdata", 8) && (at(r, p + 8) == '"' || at(r, p + 8) == '(')) return false;
    if (starts(r, p, "unorb", 5) && (at(r, p + 5) == '"' || at(r, p + 5) == '(')) return false;
    for (const Word& wd : words) {
        if (!starts(r, p, wd.text, wd.len)) continue;
        uint8_t t = at(r, p + wd.len);
        if (blank(t) || t == ',' || t == ']' || t == '}') return false;
    }
    return is_ident_start(c);
}

// Sizes for a new table from a quick look at the first bytes of its text: list entries and
// keyed entries at its own level. Only a hint; binary forms inside may mislead it.
void size_hint(const Reader& r, Pos p, int* narr, int* nrec) {
    Pos end = r.end - p > 2048 ? p + 2048 : r.end;
    int depth = 0, list = 0, keyed = 0;
    bool in_str = false, eq = false, any = false;
    for (; p < end; p++) {
        uint8_t c = *p;
        if (in_str) {
            if (c == '\\' && p + 1 < end) p++;
            else if (c == '"') in_str = false;
            continue;
        }
        if (c == '"') in_str = true, any = true;
        else if (c == '{' || c == '[') depth++, any = true;
        else if (c == '}' || c == ']') {
            if (depth-- == 0) break;
        } else if (depth == 0 && c == ',') {
            if (any) (eq ? keyed : list)++;
            eq = any = false;
        } else if (depth == 0 && c == '=') eq = true;
        else if (c == 0) break;
        else any = true;
    }
    if (any) (eq ? keyed : list)++;
    *narr = list;
    *nrec = keyed;
}

Pos get_table(Reader& r, Pos p) {
    lua_State* L = r.L;
    if (++r.depth > ORB_MAX_DEPTH || !lua_checkstack(L, 6)) return nullptr;
    int narr, nrec;
    size_hint(r, p + 1, &narr, &nrec);
    lua_createtable(L, narr, nrec);
    int t = lua_gettop(L);
    lua_Integer next = 1;
    uint8_t sep = '{';
    for (;;) {
        if (at(r, p) == sep) p++;
        sep = ',';
        uint8_t c = at(r, p);
        if (c == 0) return nullptr;
        if (c == '}') {
            p++;
            break;
        }
        if (c == ']') break;
        if (!is_start_of_key(r, p)) {
            p = get_value(r, p);
            if (!p) return nullptr;
            lua_rawseti(L, t, next++);
            continue;
        }
        if (c == '[') {
            p = get_value(r, p + 1);
            if (!p || at(r, p) != ']') return nullptr;
            p++;
        } else {
            Pos q = p;
            while (is_ident_char(at(r, q))) q++;
            lua_pushlstring(L, (const char*)p, (size_t)(q - p));
            p = q;
        }
        c = at(r, p);
        if (c == '=') {
            p = get_value(r, p + 1);
            if (!p) return nullptr;
            // A nil or NaN key cannot index a table: the text is damaged.
            int kt = lua_type(L, -2);
            if (kt == LUA_TNIL) return nullptr;
            if (kt == LUA_TNUMBER && !lua_isinteger(L, -2) && std::isnan(lua_tonumber(L, -2))) return nullptr;
            lua_rawset(L, t);
        } else if (c == ',' || c == ']' || c == '}') {
            lua_pop(L, 1);  // a key alone sets nothing
        } else {
            return nullptr;
        }
    }
    r.depth--;
    return p;
}

// End of the header's table text: just after the first ']' of its "]]" (or the end).
const uint8_t* header_table_end(const uint8_t* text, int64_t len) {
    for (int64_t i = 7; i + 1 < len; i++)
        if (text[i] == ']' && text[i + 1] == ']') return text + i + 1;
    return text + len;
}

bool has_header(const uint8_t* text, int64_t len) { return len >= 7 && memcmp(text, "--[[orb", 7) == 0; }

// Reads the metadata table of a text with a header; pushes it and returns true.
bool read_metadata(lua_State* L, const uint8_t* text, int64_t len, int depth) {
    int top = lua_gettop(L);
    Reader r{L, header_table_end(text, len), depth};
    if (get_table(r, text + 4)) return true;
    lua_settop(L, top);
    return false;
}

// Reads one value of a whole text; with want_meta also the metadata table of its header.
// Returns the values pushed (nothing is left pushed on failure).
int read_text(lua_State* L, const uint8_t* text, int64_t len, int depth, bool want_meta) {
    int top = lua_gettop(L);
    if (!has_header(text, len)) {
        Reader r{L, text + len, depth};
        if (get_value(r, text)) {
            lua_settop(L, top + 1);
            return 1;
        }
        lua_settop(L, top);
        return 0;
    }
    int64_t hl = find_metadata_length((const char*)text, len);
    if (len >= 20 && memcmp(text + 4, "orb_format=\"raw\"", 16) == 0) {
        lua_pushlstring(L, (const char*)text + hl, (size_t)(len - hl));
    } else {
        Reader r{L, text + len, depth};
        if (!get_value(r, text + hl)) {
            lua_settop(L, top);
            return 0;
        }
        lua_settop(L, top + 1);
    }
    if (!want_meta) return 1;  // metadata inside nested texts is ignored
    if (read_metadata(L, text, len, depth)) return 2;
    const uint8_t* e = header_table_end(text, len);
    std::string shown((const char*)text + 4, (size_t)(std::min(e + 1, text + len) - (text + 4)));
    // A header is shown up to a screen line's worth: a program could make it megabytes.
    if (shown.size() > 200) shown = shown.substr(0, 200) + "...";
    printf("bad metadata format; ignoring %s\n", shown.c_str());
    fflush(stdout);
    return 1;
}

struct ReadJob {
    const uint8_t* text;
    int64_t len;
    int meta;  // 0 value, 1 metadata only
};

// Runs protected, so that no input can raise an error in the reading process.
int read_job(lua_State* L) {
    ReadJob* j = (ReadJob*)lua_touserdata(L, 1);
    lua_settop(L, 0);
    if (j->meta) return read_metadata(L, j->text, j->len, 0) ? 1 : 0;
    return read_text(L, j->text, j->len, 0, true);
}

int run_read_job(lua_State* L, ReadJob* job) {
    int top = lua_gettop(L);
    if (!job->text || job->len < 0 || !lua_checkstack(L, 8)) return 0;
    lua_pushcfunction(L, read_job);
    lua_pushlightuserdata(L, job);
    if (lua_pcall(L, 1, LUA_MULTRET, 0) != LUA_OK) {
        lua_settop(L, top);
        return 0;
    }
    return lua_gettop(L) - top;
}

}  // namespace

bool stringify_object(lua_State* L, int idx, ByteBuffer* out, int flags) {
    idx = lua_absindex(L, idx);
    if (!(flags & (ORB_LZ4 | ORB_B64))) return write_plain(L, idx, out, flags);

    BufferPtr tmp(create_buffer_2(256, BUF_TAG_ORB));
    bool ok = write_plain(L, idx, tmp.get(), flags);
    out->cursor = out->length;
    if (flags & ORB_LZ4) {
        int plain = tmp->length;
        int bound = LZ4_compressBound(plain);
        BufferPtr block(create_buffer_2((int64_t)bound + 12, BUF_TAG_ORB));
        int c = LZ4_compress_HC((const char*)tmp->bytes, (char*)block->bytes + 12, plain, bound, 1);
        spend_cpu(plain / 8);
        uint8_t* h = block->bytes;
        memcpy(h, "lz4", 4);
        for (int i = 0; i < 4; i++) {
            h[4 + i] = (uint8_t)((uint32_t)c >> (8 * i));
            h[8 + i] = (uint8_t)((uint32_t)plain >> (8 * i));
        }
        block->length = 12 + c;
        ByteBuffer* dst = out;
        if (flags & ORB_B64) {
            bclear(tmp.get());
            dst = tmp.get();
        }
        bappend_bytes(dst, block->bytes, block->length);
        if (!(flags & ORB_B64)) return ok;
    }
    int64_t before = out->length;
    bappend_str(out, "unorb(\"b64:");
    base64_encode_append(out, tmp->bytes, tmp->length);
    spend_cpu((out->length - before - 11) / 8);
    bappend_str(out, "\")");
    return ok;
}

int destringify_object(lua_State* L, const char* text, int64_t len) {
    ReadJob job{(const uint8_t*)text, len, 0};
    return run_read_job(L, &job);
}

int destringify_object_metadata(lua_State* L, const char* text, int64_t len) {
    if (!text || !has_header((const uint8_t*)text, len)) return 0;
    ReadJob job{(const uint8_t*)text, len, 1};
    return run_read_job(L, &job);
}

int64_t find_metadata_length(const char* text, int64_t len) {
    if (!text || !has_header((const uint8_t*)text, len)) return 0;
    for (int64_t i = 7; i + 1 < len; i++) {
        if (text[i] == ']' && text[i + 1] == ']') {
            int64_t n = i + 2;
            if (n < len && text[n] == '\n') n++;
            return n;
        }
    }
    return len;
}

// ---------------------------------------------------------------------------------------
// Fetched files and stored values

ByteBuffer* clean_windows_text_file(const uint8_t* b, int64_t len) {
    int64_t start = 0, step = 1;
    if (len >= 3 && b[0] == 0xEF && b[1] == 0xBB && b[2] == 0xBF) {
        start = 3;
    } else if (len >= 4 && b[0] == 0xFF && b[1] == 0xFE && b[2] == 0 && b[3] == 0) {
        start = 4, step = 4;
    } else if (len >= 2 && b[0] == 0xFF && b[1] == 0xFE) {
        start = 2, step = 2;
    } else if (len >= 4 && b[0] == 0xFE && b[1] == 0xFF && !(b[2] == 0 && b[3] == 0)) {
        start = 3, step = 2;
    } else if (len >= 4 && b[0] == 0 && b[1] == 0 && b[2] == 0xFE && b[3] == 0xFF) {
        start = 7, step = 4;
    }
    ByteBuffer* out = create_buffer_2(len > start ? (len - start) / step + 1 : 0, BUF_TAG_MESSAGE);
    uint8_t* o = out->bytes;
    for (int64_t i = start; i < len; i += step)
        if (b[i] != 13) *o++ = b[i];
    out->length = out->cursor = (int32_t)(o - out->bytes);
    out->bytes[out->length] = 0;
    return out;
}

int unorb_from_fetched_buffer(lua_State* L, const uint8_t* bytes, int64_t len, const char* path) {
    if (!bytes || len < 0 || !lua_checkstack(L, 4)) return 0;
    std::string ext = path ? get_ext(path) : "";
    BufferPtr cleaned;
    // A stored value is read as written: cleaning CRs out of it would damage its binary
    // forms (lz4, qxu), so only plain texts and raw bodies are cleaned.
    bool stored_value = has_header(bytes, len) && !(len >= 20 && memcmp(bytes + 4, "orb_format=\"raw\"", 16) == 0);
    if ((ext == "txt" || ext == "lua" || ext == "pn") && !stored_value) {
        cleaned.reset(clean_windows_text_file(bytes, len));
        bytes = cleaned->bytes;
        len = cleaned->length;
    }
    if (ext == "png") {
        unsigned char* rgba = nullptr;
        unsigned w = 0, h = 0;
        // No array holds more than 16 MB: such sizes are refused before the decoder allocates them.
        unsigned err = png_decode32_bytes(&rgba, &w, &h, bytes, (size_t)len, (uint64_t)TA_MAX_DATA_BYTES);
        if (err == PNG_ERROR_TOO_LARGE) return 0;
        if (err) {
            printf(" ** couldn't load png\n");
            fflush(stdout);
            return 0;
        }
        std::unique_ptr<unsigned char, decltype(&free)> hold(rgba, &free);
        spend_cpu((int64_t)w * h / 2);
        TypedArray* a = create_typed_array(L, UT_I32, 2, w, h);
        if (!a) return 0;
        int32_t* e = ta_elems<int32_t>(a);
        for (int64_t i = 0; i < (int64_t)w * h; i++) {
            const unsigned char* px = rgba + i * 4;
            e[i] = (int32_t)(((uint32_t)px[0] << 16) | ((uint32_t)px[1] << 8) | px[2]);
        }
        return 1;
    }
    static const char legacy[] = "-- orvanta object data";
    bool is_legacy = len >= (int64_t)sizeof legacy - 1 && memcmp(bytes, legacy, sizeof legacy - 1) == 0;
    if (ext == "orb" || is_legacy || has_header(bytes, len)) {
        if (is_legacy) {
            // The comment line is not part of the value.
            const uint8_t* nl = (const uint8_t*)memchr(bytes, '\n', (size_t)len);
            int64_t skip = nl ? nl - bytes + 1 : len;
            bytes += skip;
            len -= skip;
        }
        return destringify_object(L, (const char*)bytes, len);
    }
    lua_pushlstring(L, (const char*)bytes, (size_t)len);
    return 1;
}

void orb_store_text(lua_State* L, int idx, const char* metadata, ByteBuffer* out) {
    idx = lua_absindex(L, idx);
    bappend_str(out, metadata ? metadata : "--[[orb]]\n");
    stringify_object(L, idx, out, ORB_STORE_FLAGS);
}

// ---------------------------------------------------------------------------------------
// Lua globals

int lua54_stringify(lua_State* L) {
    if (lua_gettop(L) < 1) return 0;
    int flags = (int)q64_intp(L, 2, 0);
    BufferPtr b(create_buffer_2(256, BUF_TAG_ORB));
    int pt = lua_type(L, 3);
    if (pt == LUA_TSTRING || pt == LUA_TNUMBER) {
        size_t n;
        const char* s = lua_tolstring(L, 3, &n);
        bappend_bytes(b.get(), s, (int64_t)n);
    }
    stringify_object(L, 1, b.get(), flags);
    lua_pushlstring(L, (const char*)b->bytes, (size_t)b->length);
    return 1;
}

int lua54_destringify(lua_State* L) {
    int t = lua_type(L, 1);
    if (t != LUA_TSTRING && t != LUA_TNUMBER) return 0;
    size_t n;
    const char* s = lua_tolstring(L, 1, &n);
    return destringify_object(L, s, (int64_t)n);
}
