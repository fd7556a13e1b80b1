// Convert (with palette reduction), copy's gather form, take and clear.
#include <cmath>
#include <cstring>
#include <type_traits>
#include <vector>

#include "arrays/arrays_internal.h"
#include "kernel/cpu.h"
#include "kernel/process.h"
#include "kernel/sat.h"
#include "lua.h"

namespace {

// One element of S as a T by the convert rules.
template <class S, class T> inline T conv(S v) {
    if constexpr (std::is_same_v<S, T>) {
        return v;
    } else if constexpr (std::is_same_v<T, double>) {
        return (double)v;
    } else if constexpr (std::is_same_v<S, double>) {
        if constexpr (sizeof(T) == 8) return (T)ta_f2i64(std::floor(v));
        else return (T)(std::make_unsigned_t<T>)(uint32_t)ta_f2i32(std::floor(v));
    } else {
        return (T)(std::make_unsigned_t<T>)(uint64_t)(int64_t)v;
    }
}

template <class S, class T> TA_CLONES void conv_loop(const S* __restrict s, T* __restrict d, int64_t n) {
    for (int64_t i = 0; i < n; i++) d[i] = conv<S, T>(s[i]);
}

template <class S> void conv_from(const S* s, void* d, int dtag, int64_t n) {
    switch (dtag) {
        case UT_U8: conv_loop<S, uint8_t>(s, (uint8_t*)d, n); break;
        case UT_I16: conv_loop<S, int16_t>(s, (int16_t*)d, n); break;
        case UT_I32: conv_loop<S, int32_t>(s, (int32_t*)d, n); break;
        case UT_I64: conv_loop<S, int64_t>(s, (int64_t*)d, n); break;
        default: conv_loop<S, double>(s, (double*)d, n); break;
    }
}

void convert_data(const TypedArray* a, TypedArray* d) {
    int64_t n = ta_count(a);
    switch (ta_tag(a)) {
        case UT_U8: conv_from(ta_elems<uint8_t>(a), ta_data(d), ta_tag(d), n); break;
        case UT_I16: conv_from(ta_elems<int16_t>(a), ta_data(d), ta_tag(d), n); break;
        case UT_I32: conv_from(ta_elems<int32_t>(a), ta_data(d), ta_tag(d), n); break;
        case UT_I64: conv_from(ta_elems<int64_t>(a), ta_data(d), ta_tag(d), n); break;
        default: conv_from(ta_elems<double>(a), ta_data(d), ta_tag(d), n); break;
    }
}

// Palette keys: integers as they are; f64 by its integer part (truncated),
// with -0 folded into 0 and every NaN sharing one key.
template <class T> inline uint64_t pal_key(T v) {
    if constexpr (std::is_same_v<T, double>) {
        double t = std::trunc(v);
        if (t == 0) t = 0.0;
        if (t != t) return 0x7ff8000000000000ull;
        uint64_t k;
        memcpy(&k, &t, 8);
        return k;
    } else {
        return (uint64_t)(int64_t)v;
    }
}

template <class T> inline T pal_value(uint64_t k) {
    if constexpr (std::is_same_v<T, double>) {
        double t;
        memcpy(&t, &k, 8);
        return t;
    } else {
        return (T)(int64_t)k;
    }
}

// Walks a's elements keeping up to 256 distinct keys in first-seen order.
template <class T> int palette_reduce(const TypedArray* a, uint8_t* idx, uint64_t* list) {
    const T* e = ta_elems<T>(a);
    int64_t n = ta_count(a);
    int count = 0;
    // Open-addressed table of 512 slots: key -> position + 1.
    uint64_t keys[512];
    int16_t pos[512] = {0};
    for (int64_t i = 0; i < n; i++) {
        uint64_t k = pal_key<T>(e[i]);
        uint32_t h = (uint32_t)((k * 0x9E3779B97F4A7C15ull) >> 55);
        int found = -1;
        while (pos[h]) {
            if (keys[h] == k) {
                found = pos[h] - 1;
                break;
            }
            h = (h + 1) & 511;
        }
        if (found < 0) {
            if (count < 256) {
                keys[h] = k;
                pos[h] = (int16_t)(count + 1);
                list[count] = k;
                found = count++;
            } else {
                found = 255;
            }
        }
        idx[i] = (uint8_t)found;
    }
    return count;
}

int convert_palette(lua_State* L, TypedArray* a) {
    TypedArray* ix = create_typed_array(L, UT_U8, a->dims, a->width, a->height);
    if (!ix) return 0;
    uint64_t list[256];
    int count = 0;
    uint8_t* idx = ta_data(ix);
    switch (ta_tag(a)) {
        case UT_U8: count = palette_reduce<uint8_t>(a, idx, list); break;
        case UT_I16: count = palette_reduce<int16_t>(a, idx, list); break;
        case UT_I32: count = palette_reduce<int32_t>(a, idx, list); break;
        case UT_I64: count = palette_reduce<int64_t>(a, idx, list); break;
        default: count = palette_reduce<double>(a, idx, list); break;
    }
    TypedArray* p = create_typed_array(L, ta_tag(a), 1, count, 1);
    if (!p) {
        lua_pop(L, 1);
        return 0;
    }
    for (int i = 0; i < count; i++) {
        switch (ta_tag(a)) {
            case UT_U8: ta_elems<uint8_t>(p)[i] = pal_value<uint8_t>(list[i]); break;
            case UT_I16: ta_elems<int16_t>(p)[i] = pal_value<int16_t>(list[i]); break;
            case UT_I32: ta_elems<int32_t>(p)[i] = pal_value<int32_t>(list[i]); break;
            case UT_I64: ta_elems<int64_t>(p)[i] = pal_value<int64_t>(list[i]); break;
            default: ta_elems<double>(p)[i] = pal_value<double>(list[i]); break;
        }
    }
    spend_cpu(ta_count(a));
    return 2;
}

}  // namespace

int lua54_ud_convert(lua_State* L) {
    TypedArray* a = to_typed_array(L, 1);
    if (!a) return 0;
    const char* tn = (lua_type(L, 2) == LUA_TSTRING || lua_type(L, 2) == LUA_TNUMBER) ? lua_tostring(L, 2) : nullptr;
    if (tn && strcmp(tn, "u8") == 0 && lua_toboolean(L, 3)) return convert_palette(L, a);
    int tag = str_to_utype(tn);
    TypedArray* d = ta_push_uninit(L, tag, a->dims, a->width, a->height, a->depth);
    if (!d) return 0;
    int64_t bytes = (int64_t)ta_count(a) * ta_elem_size_of(tag);
    if (tag == ta_tag(a)) {
        memcpy(ta_data(d), ta_data(a), (size_t)bytes);
        return 1;
    }
    convert_data(a, d);
    memset(ta_data(d) + bytes, 0, (size_t)(((bytes + 7) & ~int64_t(7)) - bytes));
    spend_cpu(ta_count(a) * ((tag == UT_F64 || ta_tag(a) == UT_F64) ? 2 : 1));
    return 1;
}

int lua54_ud_take(lua_State* L) {
    TypedArray* src = to_typed_array(L, 1);
    TypedArray* idx = to_typed_array(L, 2);
    if (!src || !idx || ta_tag(idx) != UT_I32) return 0;
    int64_t ioff = q64_intp(L, 4, 0);
    int64_t doff = q64_intp(L, 5, 0);
    int64_t span = q64_intp(L, 6, 1);
    int64_t istride = q64_intp(L, 7, 1);
    int64_t dstride = q64_intp(L, 8, span);
    int64_t icount = ta_count(idx);
    int64_t count = q64_intp(L, 9, span == 1 ? icount : (int64_t)idx->width);
    int tag = ta_tag(src);

    TypedArray* dst;
    if (TypedArray* d3 = to_typed_array(L, 3)) {
        if (ta_tag(d3) != tag) return 0;
        dst = d3;
        lua_pushvalue(L, 3);
    } else if (lua_toboolean(L, 3)) {
        dst = src;
        lua_pushvalue(L, 1);
    } else if (span == 1) {
        dst = create_typed_array(L, tag, idx->dims, idx->width, idx->height);
    } else {
        dst = create_typed_array(L, tag, 2, span, count);
    }
    if (!dst) return 0;

    // An index stride of 0 or below gathers nothing.
    int64_t gathers = 0;
    if (istride >= 1 && ioff < icount) {
        __int128 g = ((__int128)icount - ioff) / istride;
        if (count < g) g = count;
        gathers = g > 0 ? (int64_t)g : 0;
    }
    int es = ta_elem_size(src);
    int64_t scount = ta_count(src), dcount = ta_count(dst), copied = 0;
    const int32_t* ie = ta_elems<int32_t>(idx);
    uint8_t* sd = ta_data(src);
    uint8_t* dd = ta_data(dst);
    // Gathers whose index position lies before idx are skipped without a walk.
    __int128 first = ioff < 0 && istride >= 1 ? ((-(__int128)ioff) + istride - 1) / istride : 0;
    int64_t j0 = first < gathers ? (int64_t)first : gathers;
    for (int64_t j = j0; j < gathers && span > 0 && copied < TA_WORK_CAP; j++) {
        int64_t ip = ta_pos(ioff, j, istride);
        if (ip < 0 || ip >= icount) continue;
        int64_t J = ie[ip];
        int64_t dp = ta_pos(doff, j, dstride);
        int64_t skip = 0;
        if (J < 0) skip = -J;
        if (dp < 0 && -dp > skip) skip = -dp;
        int64_t n = span - skip;
        J += skip;
        dp += skip;
        if (scount - J < n) n = scount - J;
        if (dcount - dp < n) n = dcount - dp;
        if (n <= 0) continue;
        memmove(dd + dp * es, sd + J * es, (size_t)(n * es));
        copied += n;
    }
    int K = (tag == UT_I64 || tag == UT_F64) ? 12 : 24;
    spend_cpu(gathers / 2 + copied / K);
    return 1;
}

int lua54_ud_copy(lua_State* L) {
    TypedArray* b = to_typed_array(L, 2);
    if (b && ta_tag(b) == UT_I32) return lua54_ud_take(L);
    return ta_elementwise_copy(L);
}

int lua54_ud_clear(lua_State* L) {
    TypedArray* a = to_typed_array(L, 1);
    if (!a) return 0;
    int64_t bytes = ta_data_bytes(a);
    memset(ta_data(a), 0, (size_t)bytes);
    spend_cpu(bytes >> 6);
    return 0;
}
