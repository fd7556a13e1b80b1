// Vector and matrix methods, transpose, row and column extraction, and lerp.
#include <cmath>
#include <cstring>
#include <vector>

#include "arrays/arrays_internal.h"
#include "kernel/cpu.h"
#include "kernel/process.h"
#include "kernel/sat.h"
#include "lua.h"

namespace {

TypedArray* f64_arg(lua_State* L, int idx) {
    TypedArray* a = to_typed_array(L, idx);
    return (a && ta_tag(a) == UT_F64) ? a : nullptr;
}

// Scratch copies of an operand that is also the destination; they only grow.
std::vector<double> dat_storage[2];

const double* copy_dat(int slot, const double* src, int64_t n) {
    std::vector<double>& v = dat_storage[slot];
    if ((int64_t)v.size() < n) v.resize((size_t)n);
    memcpy(v.data(), src, (size_t)n * sizeof(double));
    spend_cpu(n >> 8);
    return v.data();
}

// Resolves the destination argument of cross and the matmuls: an f64 array,
// another true value (a itself) or a new array. Returns false on refusal;
// *dest stays null when a new array is to be made.
bool dest_arg(lua_State* L, int idx, TypedArray* a, TypedArray** dest, int* dest_idx) {
    *dest = nullptr;
    *dest_idx = 0;
    if (lua_type(L, idx) == LUA_TUSERDATA) {
        TypedArray* d = to_typed_array(L, idx);
        if (d) {
            if (ta_tag(d) != UT_F64) return false;
            *dest = d;
            *dest_idx = idx;
            return true;
        }
    }
    if (lua_toboolean(L, idx)) {
        *dest = a;
        *dest_idx = 1;
    }
    return true;
}

inline double elem_as_double(const TypedArray* a, int64_t i) {
    switch (ta_tag(a)) {
        case UT_U8: return ta_elems<uint8_t>(a)[i];
        case UT_I16: return ta_elems<int16_t>(a)[i];
        case UT_I32: return ta_elems<int32_t>(a)[i];
        case UT_I64: return (double)ta_elems<int64_t>(a)[i];
        default: return ta_elems<double>(a)[i];
    }
}

inline void store_double(TypedArray* a, int64_t i, double v) {
    switch (ta_tag(a)) {
        case UT_U8: ta_elems<uint8_t>(a)[i] = (uint8_t)(uint32_t)ta_f2i32(v); break;
        case UT_I16: ta_elems<int16_t>(a)[i] = (int16_t)(uint16_t)(uint32_t)ta_f2i32(v); break;
        case UT_I32: ta_elems<int32_t>(a)[i] = ta_f2i32(v); break;
        case UT_I64: ta_elems<int64_t>(a)[i] = ta_f2i64(v); break;
        default: ta_elems<double>(a)[i] = v; break;
    }
}

template <int ES> void transpose_copy(const uint8_t* a, int64_t aw, uint8_t* d, int64_t dw, int64_t rows,
                                      int64_t cols) {
    for (int64_t r = 0; r < rows; r++)
        for (int64_t c = 0; c < cols; c++) memcpy(d + (r * dw + c) * ES, a + (c * aw + r) * ES, ES);
}

template <int ES> void transpose_square(uint8_t* a, int64_t w, int64_t n) {
    uint8_t t[ES];
    for (int64_t r = 0; r < n; r++)
        for (int64_t c = r + 1; c < n; c++) {
            uint8_t* p = a + (r * w + c) * ES;
            uint8_t* q = a + (c * w + r) * ES;
            memcpy(t, p, ES);
            memcpy(p, q, ES);
            memcpy(q, t, ES);
        }
}

}  // namespace

int lua54_ud_magnitude(lua_State* L) {
    TypedArray* v = f64_arg(L, 1);
    if (!v) return 0;
    const double* e = ta_elems<double>(v);
    double s = 0;
    for (uint32_t i = 0; i < v->width; i++) s += e[i] * e[i];
    spend_cpu(v->width / 8 + 2);
    lua_pushnumber(L, std::sqrt(s));
    return 1;
}

// Sums term(a[i], b[i]) from element 0 up over the shorter first row.
template <class Term> static int pair_sum(lua_State* L, int64_t charge_extra, bool root, Term term) {
    TypedArray* a = f64_arg(L, 1);
    TypedArray* b = f64_arg(L, 2);
    if (!a || !b) return 0;
    uint32_t n = a->width < b->width ? a->width : b->width;
    const double* x = ta_elems<double>(a);
    const double* y = ta_elems<double>(b);
    double s = 0;
    for (uint32_t i = 0; i < n; i++) s += term(x[i], y[i]);
    spend_cpu(n / 8 + charge_extra);
    lua_pushnumber(L, root ? std::sqrt(s) : s);
    return 1;
}

// Each difference is squared in single precision before it is summed.
int lua54_ud_distance(lua_State* L) {
    return pair_sum(L, 2, true, [](double x, double y) {
        float d = (float)(x - y);
        float sq = d * d;
        return (double)sq;
    });
}

int lua54_ud_dot(lua_State* L) {
    return pair_sum(L, 1, false, [](double x, double y) { return x * y; });
}

int lua54_ud_cross(lua_State* L) {
    TypedArray* a = f64_arg(L, 1);
    TypedArray* b = f64_arg(L, 2);
    if (!a || !b) return 0;
    TypedArray* d;
    int di;
    if (!dest_arg(L, 3, a, &d, &di)) return 0;
    if (a->width < 3 || b->width < 3 || (d && d->width < 3)) return 0;
    const double* x = ta_elems<double>(a);
    const double* y = ta_elems<double>(b);
    double r0 = x[1] * y[2] - x[2] * y[1];
    double r1 = x[2] * y[0] - x[0] * y[2];
    double r2 = x[0] * y[1] - x[1] * y[0];
    if (d) lua_pushvalue(L, di);
    else d = push_duplicate_userdata(L, b);
    double* o = ta_elems<double>(d);
    o[0] = r0;
    o[1] = r1;
    o[2] = r2;
    spend_cpu(2);
    return 1;
}

int lua54_ud_matmul(lua_State* L) {
    TypedArray* a = f64_arg(L, 1);
    TypedArray* b = f64_arg(L, 2);
    if (!a || !b || a->width != b->height) return 0;
    TypedArray* d;
    int di;
    if (!dest_arg(L, 3, a, &d, &di)) return 0;
    int64_t rows = a->height, cols = b->width, inner = a->width;
    if (d && (d->width != cols || d->height != rows || d->depth != 1)) return 0;
    // Charged before the work: a product too big for the budget is not started.
    charge_native_work(L, sat_mul(sat_mul(inner, rows), cols) >> 3);
    const double* A = ta_elems<double>(a);
    const double* B = ta_elems<double>(b);
    if (d == a) A = copy_dat(0, A, ta_count(a));
    if (d == b) B = copy_dat(1, B, ta_count(b));
    if (d) {
        lua_pushvalue(L, di);
    } else {
        d = create_typed_array(L, UT_F64, 2, cols, rows);
        if (!d) return 0;
    }
    double* D = ta_elems<double>(d);
    // i-k-j order: each dest element still sums its products with k ascending.
    for (int64_t i = 0; i < rows; i++) {
        double* __restrict drow = D + i * cols;
        for (int64_t j = 0; j < cols; j++) drow[j] = 0.0;
        for (int64_t k = 0; k < inner; k++) {
            double aik = A[i * inner + k];
            const double* __restrict brow = B + k * cols;
            for (int64_t j = 0; j < cols; j++) drow[j] += aik * brow[j];
        }
    }
    return 1;
}

// Shared by matmul3d (N = 3) and matmul2d (N = 2): a has 1 or N + 1 rows,
// m has N + 1 rows, the last being the translation.
template <int N> static int affine(lua_State* L) {
    TypedArray* a = f64_arg(L, 1);
    TypedArray* m = f64_arg(L, 2);
    if (!a || !m) return 0;
    if ((a->height != 1 && a->height != N + 1) || a->width < N) return 0;
    if (m->width < N || m->height != N + 1 || m->depth != 1) return 0;
    TypedArray* d;
    int di;
    if (!dest_arg(L, 3, a, &d, &di)) return 0;
    if (d && (d->width < N || d->height < a->height)) return 0;
    int64_t rows = a->height;
    // The operands are read into locals first; an operand that is also the
    // destination costs what its scratch copy would.
    if (d == a) spend_cpu(ta_count(a) >> 8);
    if (d == m) spend_cpu(ta_count(m) >> 8);
    double av[N + 1][N], mv[N + 1][N];
    for (int64_t r = 0; r < rows; r++)
        for (int k = 0; k < N; k++) av[r][k] = ta_elems<double>(a)[r * a->width + k];
    for (int r = 0; r <= N; r++)
        for (int k = 0; k < N; k++) mv[r][k] = ta_elems<double>(m)[r * m->width + k];
    if (d) lua_pushvalue(L, di);
    else d = push_duplicate_userdata(L, a);
    double* D = ta_elems<double>(d);
    for (int64_t r = 0; r < rows; r++) {
        bool translate = rows == 1 || r == N;
        for (int j = 0; j < N; j++) {
            double s = av[r][0] * mv[0][j];
            for (int k = 1; k < N; k++) s += av[r][k] * mv[k][j];
            if (translate) s += mv[N][j];
            D[r * d->width + j] = s;
        }
    }
    spend_cpu(rows == 1 ? 1 : N + 1 == 4 ? 4 : 2);
    return 1;
}

int lua54_ud_matmul3d(lua_State* L) { return affine<3>(L); }
int lua54_ud_matmul2d(lua_State* L) { return affine<2>(L); }

int lua54_ud_transpose(lua_State* L) {
    TypedArray* a = to_typed_array(L, 1);
    if (!a) return 0;
    int es = ta_elem_size(a);
    TypedArray* d2 = to_typed_array(L, 2);
    if ((!d2 && lua_toboolean(L, 2)) || d2 == a) {
        int64_t n = a->width < a->height ? a->width : a->height;
        switch (es) {
            case 1: transpose_square<1>(ta_data(a), a->width, n); break;
            case 2: transpose_square<2>(ta_data(a), a->width, n); break;
            case 4: transpose_square<4>(ta_data(a), a->width, n); break;
            default: transpose_square<8>(ta_data(a), a->width, n); break;
        }
        lua_pushvalue(L, 1);
        return 1;
    }
    TypedArray* d;
    if (d2) {
        if (ta_tag(d2) != ta_tag(a)) return 0;
        d = d2;
        lua_pushvalue(L, 2);
    } else {
        d = create_typed_array(L, ta_tag(a), 2, a->height, a->width);
        if (!d) return 0;
    }
    int64_t rows = d->height < a->width ? d->height : a->width;
    int64_t cols = d->width < a->height ? d->width : a->height;
    switch (es) {
        case 1: transpose_copy<1>(ta_data(a), a->width, ta_data(d), d->width, rows, cols); break;
        case 2: transpose_copy<2>(ta_data(a), a->width, ta_data(d), d->width, rows, cols); break;
        case 4: transpose_copy<4>(ta_data(a), a->width, ta_data(d), d->width, rows, cols); break;
        default: transpose_copy<8>(ta_data(a), a->width, ta_data(d), d->width, rows, cols); break;
    }
    return 1;
}

int lua54_ud_row(lua_State* L) {
    TypedArray* a = to_typed_array(L, 1);
    if (!a) return 0;
    int64_t i = q64_intp(L, 2, -1);
    if (i < 0 || i >= a->height) return 0;
    TypedArray* d = create_typed_array(L, ta_tag(a), 2, a->width, 1);
    if (!d) return 0;
    int es = ta_elem_size(a);
    memcpy(ta_data(d), ta_data(a) + i * a->width * es, (size_t)a->width * es);
    spend_cpu(a->width >> 2);
    return 1;
}

int lua54_ud_column(lua_State* L) {
    TypedArray* a = to_typed_array(L, 1);
    if (!a) return 0;
    int64_t i = q64_intp(L, 2, -1);
    if (i < 0 || i >= a->width) return 0;
    TypedArray* d = create_typed_array(L, ta_tag(a), 2, 1, a->height);
    if (!d) return 0;
    int es = ta_elem_size(a);
    for (int64_t r = 0; r < a->height; r++)
        memcpy(ta_data(d) + r * es, ta_data(a) + (r * a->width + i) * es, (size_t)es);
    spend_cpu(a->height >> 1);
    return 1;
}

int lua54_ud_lerp(lua_State* L) {
    TypedArray* a = to_typed_array(L, 1);
    if (!a) return 0;
    int64_t start = q64_intp(L, 2, 0);
    int64_t length = q64_intp(L, 3, (int64_t)a->width - 1);
    int64_t step = q64_intp(L, 4, 1);
    int64_t count = q64_intp(L, 5, a->height);
    int64_t stride = q64_intp(L, 6, a->width);
    if (length < 1 || count < 1 || step < 1 || stride < 1 || start < 0) return 0;
    // Each term must lie inside the array on its own; bounding the factors
    // first keeps their products far from overflow.
    int64_t n = ta_count(a);
    if (start >= n || length >= n || step >= n || (count > 1 && (stride >= n || count > n))) return 0;
    __int128 last = (__int128)start + (__int128)stride * (count - 1) + (__int128)length * step;
    if (last >= ta_count(a)) return 0;
    // Overlapping runs could otherwise ask for count * length far beyond the
    // array's size.
    if ((__int128)count * (length - 1) > TA_WORK_CAP) return 0;
    lua_pushvalue(L, 1);
    if (length == 1) return 1;
    for (int64_t r = 0; r < count; r++) {
        int64_t base = start + r * stride;
        double first = elem_as_double(a, base);
        double lastv = elem_as_double(a, base + length * step);
        for (int64_t j = 1; j < length; j++)
            store_double(a, base + j * step, first + (lastv - first) * (double)j / (double)length);
    }
    return 1;
}
