// The typed-array record: creation, the accessor layer, the array globals and
// the USERDATA method table.
#include "arrays/typed_array.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#ifdef __linux__
#include <sys/mman.h>
#endif

#include "arrays/arrays_internal.h"
#include "graphics/gfx_api.h"
#include "kernel/api_tables.h"
#include "kernel/cpu.h"
#include "kernel/process.h"
#include "kernel/sat.h"
#include "lauxlib.h"
#include "lua.h"

// Marks our own records; another userdata given our metatable through the
// debug library is still told apart by this and by its real size.
static constexpr uint8_t TA_MAGIC0 = 0x5a, TA_MAGIC1 = 0xa5;

// Registry keys: the method table built for this state, and the weak set of
// every table that served as an array metatable here.
static char registry_methods_key;
static char registry_metas_key;

static const char* const utype_string[23] = {
    "?", "?", "?", "u8", "?", "?", "?", "?", "?", "?", "?", "?",
    "i16", "i32", "i64", "?", "?", "?", "?", "?", "?", "?", "f64",
};

const char* get_utype_string(int tag) {
    if (tag < 0 || tag >= 23) return "?";
    return utype_string[tag];
}

int str_to_utype(const char* name) {
    int tag = UT_U8;
    if (!name || !name[0]) return tag;
    if (name[0] == 'f') tag = UT_F64;
    else if (name[0] == 'i') tag = UT_I64;
    if (name[1] == '3') tag = UT_I32;
    else if (name[1] == '1') tag = UT_I16;
    return tag;
}

static inline int hex_val(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return 0;
}

static inline int b64_val(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'z') return c - 'a' + 10;
    if (c >= 'A' && c <= 'Z') return c - 'A' + 36;
    if (c == '_') return 62;
    if (c == '-') return 63;
    return 0;
}

// Reads `digits` hex digits from *p, high first; a text that ends first gives 0
// with the pointer left at its end.
static uint64_t read_hex(const char** p, int digits) {
    uint64_t v = 0;
    const char* s = *p;
    for (int i = 0; i < digits; i++) {
        if (!*s) {
            *p = s;
            return 0;
        }
        v = (v << 4) | (uint64_t)hex_val(*s++);
    }
    *p = s;
    return v;
}

// Sets the metatable from the global USERDATA when it is a table, recording
// the table as one that genuine arrays carry.
static void set_array_metatable(lua_State* L) {
    if (lua_getglobal(L, "USERDATA") != LUA_TTABLE) {
        lua_pop(L, 1);
        return;
    }
    lua_rawgetp(L, LUA_REGISTRYINDEX, &registry_methods_key);
    bool primary = lua_rawequal(L, -1, -2);
    lua_pop(L, 1);
    if (!primary) {
        if (lua_rawgetp(L, LUA_REGISTRYINDEX, &registry_metas_key) != LUA_TTABLE) {
            lua_pop(L, 1);
            lua_newtable(L);
            lua_newtable(L);
            lua_pushliteral(L, "k");
            lua_setfield(L, -2, "__mode");
            lua_setmetatable(L, -2);
            lua_pushvalue(L, -1);
            lua_rawsetp(L, LUA_REGISTRYINDEX, &registry_metas_key);
        }
        lua_pushvalue(L, -2);
        lua_pushboolean(L, 1);
        lua_rawset(L, -3);
        lua_pop(L, 1);
    }
    lua_setmetatable(L, -2);
}

// Large arrays are streamed through whole; asking for huge pages before
// their first touch saves most TLB misses (a hint only).
static void advise_large(void* data, int64_t bytes) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    constexpr uintptr_t HUGE = 2u << 20;
    if (bytes < 2 * (int64_t)HUGE) return;
    uintptr_t lo = ((uintptr_t)data + HUGE - 1) & ~(HUGE - 1);
    uintptr_t hi = ((uintptr_t)data + (uintptr_t)bytes) & ~(HUGE - 1);
    if (hi > lo) madvise((void*)lo, hi - lo, MADV_HUGEPAGE);
#endif
}

static TypedArray* push_record(lua_State* L, int tag, int dims, int64_t width, int64_t height,
                               int64_t depth, int64_t data_bytes) {
    void* u = lua_newuserdatauv(L, sizeof(TypedArray) + (size_t)data_bytes, 0);
    advise_large(static_cast<TypedArray*>(u) + 1, data_bytes);
    TypedArray* a = static_cast<TypedArray*>(u);
    a->type = (uint8_t)tag;
    a->dims = (int8_t)dims;
    a->reserved[0] = TA_MAGIC0;
    a->reserved[1] = TA_MAGIC1;
    a->width = (uint32_t)width;
    a->height = (uint32_t)height;
    a->depth = (uint32_t)depth;
    set_array_metatable(L);
    return a;
}

// Data bytes for a shape (count * size rounded up to 8), or -1 when out of range.
static int64_t data_size_for(int tag, int64_t width, int64_t height, int64_t depth) {
    if (width < 1 || height < 1 || depth < 1) return -1;
    if (width > TA_MAX_DATA_BYTES || height > TA_MAX_DATA_BYTES || depth > TA_MAX_DATA_BYTES) return -1;
    __int128 bytes = (__int128)width * height * depth * ta_elem_size_of(tag);
    bytes = (bytes + 7) & ~(__int128)7;
    if (bytes < TA_MIN_DATA_BYTES || bytes > TA_MAX_DATA_BYTES) return -1;
    return (int64_t)bytes;
}

TypedArray* ta_push_uninit(lua_State* L, int tag, int dims, int64_t width, int64_t height, int64_t depth) {
    int64_t bytes = data_size_for(tag, width, height, depth);
    if (bytes < 0) return nullptr;
    TypedArray* a = push_record(L, tag, dims, width, height, depth, bytes);
    // The rounding tail is never written by the operations: keep it zero.
    memset(ta_data(a) + (bytes - 8), 0, 8);
    return a;
}

TypedArray* create_typed_array(lua_State* L, int tag, int dims, int64_t width, int64_t height) {
    if (!ta_valid_tag(tag) || dims < 1 || dims > 2) return nullptr;
    if (dims < 2) height = 1;
    int64_t bytes = data_size_for(tag, width, height, 1);
    if (bytes < 0) return nullptr;
    TypedArray* a = push_record(L, tag, dims, width, height, 1, bytes);
    memset(ta_data(a), 0, (size_t)bytes);
    return a;
}

TypedArray* create_userdata(lua_State* L, const char* type_name, int dims, int64_t width,
                            int64_t height, int64_t depth, const char* data) {
    int tag = str_to_utype(type_name);
    int req_dims = dims;
    if (type_name && strncmp(type_name, "[gfx]", 5) == 0 && strlen(type_name) >= 9) {
        tag = UT_U8;
        dims = 2;
        width = hex_val(type_name[5]) * 16 + hex_val(type_name[6]);
        height = hex_val(type_name[7]) * 16 + hex_val(type_name[8]);
        data = type_name;
    } else if (dims < 1 || dims > 2) {
        return nullptr;
    }
    if (dims < 2) height = 1;
    if (req_dims < 3) depth = 1;
    int64_t bytes = data_size_for(tag, width, height, depth);
    if (bytes < 0) return nullptr;
    TypedArray* a = push_record(L, tag, dims, width, height, depth, bytes);
    uint8_t* d = ta_data(a);
    memset(d, 0, (size_t)bytes);
    if (!data) return a;

    int64_t count = ta_count(a);
    spend_cpu(count * ((int64_t)ta_elem_size_of(tag) * 8) / 32);
    if (strncmp(data, "[gfx]", 5) == 0) {
        const char* s = strlen(data) >= 9 ? data + 9 : data + strlen(data);
        for (int64_t i = 0; i < count && s[i]; i++) d[i] = (uint8_t)b64_val(s[i]);
        return a;
    }
    const char* p = data;
    if (strncmp(p, "hex:", 4) == 0) p += 4;
    switch (tag) {
        case UT_U8:
            for (int64_t i = 0; i < count; i++) d[i] = (uint8_t)read_hex(&p, 2);
            break;
        case UT_I16: {
            int16_t* e = ta_elems<int16_t>(a);
            for (int64_t i = 0; i < count; i++) e[i] = (int16_t)(uint16_t)read_hex(&p, 4);
            break;
        }
        case UT_I32: {
            int32_t* e = ta_elems<int32_t>(a);
            for (int64_t i = 0; i < count; i++) e[i] = (int32_t)(uint32_t)read_hex(&p, 8);
            break;
        }
        case UT_I64: {
            int64_t* e = ta_elems<int64_t>(a);
            for (int64_t i = 0; i < count; i++) e[i] = (int64_t)read_hex(&p, 16);
            break;
        }
        case UT_F64: {
            double* e = ta_elems<double>(a);
            bool stopped = false;
            for (int64_t i = 0; i < count && !stopped; i++) {
                char* end = nullptr;
                double v = strtod(p, &end);
                e[i] = end == p ? 0.0 : v;
                while (*p && *p != ',' && *p != '"' && *p != ')') p++;
                if (*p == ',') p++;
                else stopped = true;
            }
            break;
        }
    }
    return a;
}

TypedArray* push_duplicate_userdata(lua_State* L, const TypedArray* src) {
    size_t bytes = (size_t)((ta_data_bytes(src) + 7) & ~int64_t(7));
    if (bytes < (size_t)TA_MIN_DATA_BYTES) bytes = TA_MIN_DATA_BYTES;
    void* u = lua_newuserdatauv(L, sizeof(TypedArray) + bytes, 0);
    advise_large(static_cast<TypedArray*>(u) + 1, (int64_t)bytes);
    memcpy(u, src, sizeof(TypedArray) + bytes);
    set_array_metatable(L);
    return static_cast<TypedArray*>(u);
}

TypedArray* to_typed_array(lua_State* L, int idx) {
    if (lua_type(L, idx) != LUA_TUSERDATA) return nullptr;
    size_t len = lua_rawlen(L, idx);
    if (len < sizeof(TypedArray) + TA_MIN_DATA_BYTES) return nullptr;
    TypedArray* a = static_cast<TypedArray*>(lua_touserdata(L, idx));
    if (a->reserved[0] != TA_MAGIC0 || a->reserved[1] != TA_MAGIC1) return nullptr;
    if (!ta_valid_tag(ta_tag(a)) || a->dims < 1 || a->dims > 3) return nullptr;
    if (a->width < 1 || a->height < 1 || a->depth < 1) return nullptr;
    __int128 need = (__int128)a->width * a->height * a->depth * ta_elem_size(a);
    if (need > (__int128)(len - sizeof(TypedArray))) return nullptr;
    if (!lua_getmetatable(L, idx)) return a;
    lua_rawgetp(L, LUA_REGISTRYINDEX, &registry_methods_key);
    bool ok = lua_rawequal(L, -1, -2);
    lua_pop(L, 1);
    if (!ok) {
        if (lua_rawgetp(L, LUA_REGISTRYINDEX, &registry_metas_key) == LUA_TTABLE) {
            lua_pushvalue(L, -2);
            ok = lua_rawget(L, -2) != LUA_TNIL;
            lua_pop(L, 2);
        } else {
            lua_pop(L, 1);
        }
    }
    lua_pop(L, 1);
    return ok ? a : nullptr;
}

// ---- element access -------------------------------------------------------

static void push_element(lua_State* L, const TypedArray* a, int64_t i) {
    switch (ta_tag(a)) {
        case UT_U8: lua_pushinteger(L, ta_elems<uint8_t>(a)[i]); break;
        case UT_I16: lua_pushinteger(L, ta_elems<int16_t>(a)[i]); break;
        case UT_I32: lua_pushinteger(L, ta_elems<int32_t>(a)[i]); break;
        case UT_I64: lua_pushinteger(L, ta_elems<int64_t>(a)[i]); break;
        default: lua_pushnumber(L, ta_elems<double>(a)[i]); break;
    }
}

// Stores the value at stack index v: integers keep the low bits of q64_intp,
// f64 takes a number's value (0 otherwise).
static void store_element(lua_State* L, TypedArray* a, int64_t i, int v) {
    if (ta_tag(a) == UT_F64) {
        ta_elems<double>(a)[i] = lua_type(L, v) == LUA_TNUMBER ? lua_tonumber(L, v) : 0.0;
        return;
    }
    uint64_t x = (uint64_t)q64_intp(L, v, 0);
    switch (ta_tag(a)) {
        case UT_U8: ta_elems<uint8_t>(a)[i] = (uint8_t)x; break;
        case UT_I16: ta_elems<int16_t>(a)[i] = (int16_t)(uint16_t)x; break;
        case UT_I32: ta_elems<int32_t>(a)[i] = (int32_t)(uint32_t)x; break;
        default: ta_elems<int64_t>(a)[i] = (int64_t)x; break;
    }
}

// A number truncated toward zero, or dflt for a non-number.
static int64_t trunc_arg(lua_State* L, int idx, int64_t dflt) {
    if (lua_type(L, idx) != LUA_TNUMBER) return dflt;
    if (lua_isinteger(L, idx)) return lua_tointeger(L, idx);
    return sat_f2i(lua_tonumber(L, idx));
}

int lua54_userdata(lua_State* L) {
    int argc = lua_gettop(L);
    int di = argc >= 4 ? 4 : 3;
    const char* data = lua_type(L, di) == LUA_TSTRING ? lua_tostring(L, di) : nullptr;
    int64_t w = trunc_arg(L, 2, -1);
    int64_t h = trunc_arg(L, 3, -1);
    int dims = (argc + (data ? 0 : 1)) < 4 ? 1 : 2;
    const char* type = (lua_type(L, 1) == LUA_TSTRING || lua_type(L, 1) == LUA_TNUMBER) ? lua_tostring(L, 1) : nullptr;
    return create_userdata(L, type, dims, w, h, 1, data) ? 1 : 0;
}

int lua54_vec(lua_State* L) {
    if (lua_type(L, 1) != LUA_TNUMBER) return 0;
    int n = lua_gettop(L);
    TypedArray* a = create_typed_array(L, UT_F64, 1, n, 1);
    if (!a) return 0;
    double* e = ta_elems<double>(a);
    for (int i = 0; i < n; i++) e[i] = lua_type(L, i + 1) == LUA_TNUMBER ? lua_tonumber(L, i + 1) : 0.0;
    return 1;
}

int lua54_get(lua_State* L) {
    TypedArray* a = to_typed_array(L, 1);
    if (!a) return 0;
    int top = lua_gettop(L);
    int64_t count = ta_count(a);
    int64_t x = 0, y = 0, n;
    if (top < 2 || lua_type(L, 2) != LUA_TNUMBER) {
        n = count;
    } else {
        x = q64_intp(L, 2, 0);
        if (a->dims >= 2) y = q64_intp(L, 3, 0);
        n = q64_intp(L, a->dims + 2, 1);
    }
    if (n > 0 && (n > INT32_MAX || !lua_checkstack(L, (int)n))) {
        printf(" ********** too many get() results (%d) stack limit reached **********\n", sat_i32(n));
        fflush(stdout);
        return 0;
    }
    if (x < 0 || x >= a->width || y < 0 || y >= a->height) {
        lua_pushnumber(L, 0.0);
        return 1;
    }
    if (n < 1) return 0;
    int64_t start = x + (int64_t)a->width * y;
    int64_t have = count - start < n ? count - start : n;
    for (int64_t i = 0; i < have; i++) push_element(L, a, start + i);
    for (int64_t i = have; i < n; i++) lua_pushinteger(L, 0);
    spend_cpu(n / 2);
    return (int)n;
}

int lua54_set(lua_State* L) {
    TypedArray* a = to_typed_array(L, 1);
    if (!a) return 0;
    int64_t x = trunc_arg(L, 2, 0), y = 0;
    if (a->dims >= 2) y = trunc_arg(L, 3, 0);
    if (x < 0 || x >= a->width || y < 0 || y >= a->height) return 0;
    int first = a->dims + 2, top = lua_gettop(L);
    int64_t pos = x + (int64_t)a->width * y, count = ta_count(a);
    for (int v = first; v <= top && pos < count; v++, pos++) store_element(L, a, pos, v);
    return 0;
}

// ---- metamethods and accessors ---------------------------------------------

static int component_index(lua_State* L, int k) {
    size_t len = 0;
    const char* s = lua_tolstring(L, k, &len);
    if (len != 1) return -2;
    static const char names[] = "xyzuvwt";
    const char* f = strchr(names, s[0]);
    return (f && s[0]) ? (int)(f - names) : -1;
}

static int lua54_ud_index(lua_State* L) {
    TypedArray* a = to_typed_array(L, 1);
    if (!a) return 0;
    int64_t i;
    switch (lua_type(L, 2)) {
        case LUA_TSTRING: {
            int c = component_index(L, 2);
            if (c == -1) return 0;
            if (c == -2) {
                if (!lua_getmetatable(L, 1)) return 0;
                lua_pushvalue(L, 2);
                lua_rawget(L, -2);
                return 1;
            }
            i = c;
            break;
        }
        case LUA_TNUMBER: {
            int isnum = 0;
            i = lua_tointegerx(L, 2, &isnum);
            if (!isnum) i = 0;
            break;
        }
        default:
            return 0;
    }
    if (i < 0 || i >= ta_count(a)) return 0;
    push_element(L, a, i);
    return 1;
}

static int lua54_ud_newindex(lua_State* L) {
    TypedArray* a = to_typed_array(L, 1);
    if (!a) return 0;
    int64_t i;
    if (lua_type(L, 2) == LUA_TSTRING) {
        i = component_index(L, 2);
        if (i < 0) return 0;
    } else if (lua_type(L, 2) == LUA_TNUMBER) {
        i = q64_intp(L, 2, 0);
    } else {
        return 0;
    }
    if (i < 0 || i >= ta_count(a)) return 0;
    store_element(L, a, i, 3);
    return 0;
}

static int lua54_ud_len(lua_State* L) {
    TypedArray* a = to_typed_array(L, 1);
    if (!a) return 0;
    lua_pushinteger(L, ta_count(a));
    return 1;
}

static int lua54_ud_tostring(lua_State* L) {
    TypedArray* a = to_typed_array(L, 1);
    if (!a) return 0;
    char buf[1024];
    const double* e = ta_elems<double>(a);
    int64_t n = ta_count(a);
    bool f = ta_tag(a) == UT_F64;
    if (f && a->width == 2 && n >= 2) {
        snprintf(buf, sizeof buf, "(%0.14g, %0.14g)", e[0], e[1]);
    } else if (f && a->width == 3 && a->height == 4) {
        snprintf(buf, sizeof buf,
                 "(%0.14g, %0.14g, %0.14g),\n(%0.14g, %0.14g, %0.14g),\n(%0.14g, %0.14g, %0.14g),\n"
                 "(%0.14g, %0.14g, %0.14g)",
                 e[0], e[1], e[2], e[3], e[4], e[5], e[6], e[7], e[8], e[9], e[10], e[11]);
    } else if (f && a->width == 3) {
        snprintf(buf, sizeof buf, "(%0.14g, %0.14g, %0.14g)", e[0], e[1], e[2]);
    } else if (f && a->width == 4) {
        snprintf(buf, sizeof buf, "(%0.14g, %0.14g, %0.14g, %0.14g)", e[0], e[1], e[2], e[3]);
    } else if (f && a->width == 5) {
        snprintf(buf, sizeof buf, "(%0.14g, %0.14g, %0.14g, %0.14g, %0.14g)", e[0], e[1], e[2], e[3], e[4]);
    } else {
        snprintf(buf, sizeof buf, "userdata: 0x%x", (unsigned)(uintptr_t)a);
    }
    lua_pushstring(L, buf);
    return 1;
}

static int lua54_ud_width(lua_State* L) {
    TypedArray* a = to_typed_array(L, 1);
    if (!a) return 0;
    lua_pushinteger(L, a->width);
    return 1;
}

static int lua54_ud_height(lua_State* L) {
    TypedArray* a = to_typed_array(L, 1);
    if (!a) return 0;
    if (a->dims >= 2) lua_pushinteger(L, a->height);
    else lua_pushnil(L);
    return 1;
}

static int lua54_ud_attribs(lua_State* L) {
    TypedArray* a = to_typed_array(L, 1);
    if (!a) return 0;
    lua_pushinteger(L, a->width);
    lua_pushinteger(L, a->height);
    lua_pushstring(L, get_utype_string(ta_tag(a)));
    lua_pushinteger(L, a->dims);
    return 4;
}

static int lua54_ud_mutate(lua_State* L) {
    TypedArray* a = to_typed_array(L, 1);
    if (!a) return 0;
    const char* tn = (lua_type(L, 2) == LUA_TSTRING || lua_type(L, 2) == LUA_TNUMBER) ? lua_tostring(L, 2) : nullptr;
    int tag = str_to_utype(tn);
    int old = ta_tag(a);
    if (tag != old && (tag == UT_F64 || old == UT_F64)) {
        lua_pushstring(L, "can not mutate between integer and float data types");
        return 1;
    }
    int es = ta_elem_size_of(tag);
    bool width_given = lua_type(L, 3) == LUA_TNUMBER;
    bool height_given = lua_type(L, 4) == LUA_TNUMBER;
    int64_t w = width_given ? trunc_arg(L, 3, 0) : 0;
    if (w <= 0) w = (int64_t)a->width * ta_elem_size_of(old) / es;
    int64_t h;
    if (width_given && !height_given) h = 1;
    else {
        h = height_given ? trunc_arg(L, 4, 0) : 0;
        if (h <= 0) h = a->height;
    }
    // A width or height of 0 (one new element wider than the old row) would make
    // an array with no elements: refused like any other size that does not fit.
    // Sizes are bounded before their product is formed (it could overflow even 128 bits).
    if (w < 1 || h < 1 || w > UINT32_MAX || h > UINT32_MAX ||
        (__int128)w * h * a->depth * es > ta_data_bytes(a)) {
        lua_pushstring(L, "new size is larger than old size");
        return 1;
    }
    a->width = (uint32_t)w;
    a->height = (uint32_t)h;
    a->type = (uint8_t)tag;
    if (width_given) a->dims = height_given ? 2 : 1;
    return 0;
}

// ---- registration ---------------------------------------------------------

// The method table, in registration order. blit is the graphics blit.
static const luaL_Reg userdata_methods[] = {
    {"sort", lua54_ud_sort},
    {"convert", lua54_ud_convert},
    {"copy", lua54_ud_copy},
    {"take", lua54_ud_take},
    {"clear", lua54_ud_clear},
    {"__add", lua54_ud_add},
    {"__sub", lua54_ud_sub},
    {"__mul", lua54_ud_mul},
    {"__div", lua54_ud_div},
    {"__idiv", lua54_ud_idiv},
    {"__mod", lua54_ud_mod},
    {"__pow", lua54_ud_pow},
    {"__band", lua54_ud_band},
    {"__bor", lua54_ud_bor},
    {"__bxor", lua54_ud_bxor},
    {"__shl", lua54_ud_shl},
    {"__shr", lua54_ud_shr},
    {"add", lua54_ud_add},
    {"sub", lua54_ud_sub},
    {"mul", lua54_ud_mul},
    {"div", lua54_ud_div},
    {"idiv", lua54_ud_idiv},
    {"mod", lua54_ud_mod},
    {"pow", lua54_ud_pow},
    {"band", lua54_ud_band},
    {"bor", lua54_ud_bor},
    {"bxor", lua54_ud_bxor},
    {"shl", lua54_ud_shl},
    {"shr", lua54_ud_shr},
    {"max", lua54_ud_max},
    {"min", lua54_ud_min},
    {"abs", lua54_ud_abs},
    {"sgn", lua54_ud_sgn},
    {"sgn0", lua54_ud_sgn0},
    {"__len", lua54_ud_len},
    {"__tostring", lua54_ud_tostring},
    {"__index", lua54_ud_index},
    {"__newindex", lua54_ud_newindex},
    {"set", lua54_set},
    {"get", lua54_get},
    {"blit", lua54_blit},
    {"peek", lua54_ud_peek},
    {"poke", lua54_ud_poke},
    {"width", lua54_ud_width},
    {"height", lua54_ud_height},
    {"attribs", lua54_ud_attribs},
    {"mutate", lua54_ud_mutate},
    {"lerp", lua54_ud_lerp},
    {"magnitude", lua54_ud_magnitude},
    {"distance", lua54_ud_distance},
    {"dot", lua54_ud_dot},
    {"cross", lua54_ud_cross},
    {"matmul", lua54_ud_matmul},
    {"matmul3d", lua54_ud_matmul3d},
    {"matmul2d", lua54_ud_matmul2d},
    {"transpose", lua54_ud_transpose},
    {"row", lua54_ud_row},
    {"column", lua54_ud_column},
    {nullptr, nullptr},
};

void add_userdata_metatable_functions(lua_State* L) {
    lua_newtable(L);
    luaL_setfuncs(L, userdata_methods, 0);
    lua_pushvalue(L, -1);
    lua_rawsetp(L, LUA_REGISTRYINDEX, &registry_methods_key);
    lua_setglobal(L, "USERDATA");
}

const ApiEntry arrays_api[] = {
    {"userdata", lua54_userdata},
    {"vec", lua54_vec},
    {"get", lua54_get},
    {"set", lua54_set},
    {nullptr, nullptr},
};
