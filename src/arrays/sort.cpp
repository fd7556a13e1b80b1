// sort: elements of a 1-D array, or rows of a 2-D one by one key column.
#include <algorithm>
#include <cstring>
#include <vector>

#include "arrays/arrays_internal.h"
#include "kernel/cpu.h"
#include "kernel/process.h"
#include "lua.h"

namespace {

// Strict weak orderings. NaN keys rank below every number, so they come first
// ascending and last descending, and all NaNs are equivalent.
template <class T> struct Less {
    int64_t* compares;
    bool desc;
    bool operator()(T x, T y) const {
        ++*compares;
        if constexpr (std::is_same_v<T, double>) {
            bool xn = x != x, yn = y != y;
            if (xn || yn) return desc ? (yn && !xn) : (xn && !yn);
        }
        return desc ? y < x : x < y;
    }
};

template <class T> int64_t sort_elements(T* e, int64_t n, bool desc) {
    int64_t compares = 0;
    std::sort(e, e + n, Less<T>{&compares, desc});
    return compares;
}

// Rows are ordered through their keys, then moved whole.
template <class T> int64_t sort_rows(T* e, int64_t rows, int64_t w, int64_t key, bool desc) {
    int64_t compares = 0;
    std::vector<int32_t> order((size_t)rows);
    for (int64_t i = 0; i < rows; i++) order[(size_t)i] = (int32_t)i;
    Less<T> less{&compares, desc};
    std::sort(order.begin(), order.end(), [&](int32_t p, int32_t q) { return less(e[p * w + key], e[q * w + key]); });
    std::vector<T> tmp((size_t)(rows * w));
    for (int64_t i = 0; i < rows; i++) memcpy(&tmp[(size_t)(i * w)], e + order[(size_t)i] * w, (size_t)w * sizeof(T));
    memcpy(e, tmp.data(), tmp.size() * sizeof(T));
    return compares;
}

template <class T> int64_t sort_typed(TypedArray* a, int64_t w, int64_t key, bool desc) {
    int64_t records = ta_count(a) / w;
    if (w == 1) return sort_elements(ta_elems<T>(a), records, desc);
    return sort_rows(ta_elems<T>(a), records, w, key, desc);
}

}  // namespace

int lua54_ud_sort(lua_State* L) {
    TypedArray* a = to_typed_array(L, 1);
    if (!a) return 0;
    int64_t key = q64_intp(L, 2, 0);
    bool desc = lua_gettop(L) >= 3 && lua_toboolean(L, 3);
    int64_t w = a->height < 2 ? 1 : a->width;
    if (key < 0 || key >= w) return 0;
    int64_t n = 0;
    switch (ta_tag(a)) {
        case UT_U8: n = sort_typed<uint8_t>(a, w, key, desc); break;
        case UT_I16: n = sort_typed<int16_t>(a, w, key, desc); break;
        case UT_I32: n = sort_typed<int32_t>(a, w, key, desc); break;
        case UT_I64: n = sort_typed<int64_t>(a, w, key, desc); break;
        default: n = sort_typed<double>(a, w, key, desc); break;
    }
    spend_cpu(n);
    lua_pushinteger(L, n);
    return 1;
}
