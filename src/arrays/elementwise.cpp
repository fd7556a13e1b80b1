// The element-wise operation family: one span walk and one argument scheme,
// a per-type rule for each member, and tight loops the compiler vectorises.
#include <cfloat>
#include <cmath>
#include <cstring>
#include <type_traits>

#include "arrays/arrays_internal.h"
#include "kernel/cpu.h"
#include "kernel/process.h"
#include "kernel/sat.h"
#include "lua.h"

namespace {

enum Op { ADD, SUB, MUL, DIV, IDIV, MOD, POW, BAND, BOR, BXOR, SHL, SHR, MAX, MIN, ABS, SGN, SGN0, COPY };

constexpr bool is_unary(int op) { return op == ABS || op == SGN || op == SGN0 || op == COPY; }
constexpr bool is_bitwise(int op) { return op >= BAND && op <= SHR; }

// Fill values of integer division by zero: (lower, upper).
template <class T> struct Fill;
template <> struct Fill<uint8_t> { static constexpr uint8_t lo = 0, hi = 255; };
template <> struct Fill<int16_t> { static constexpr int16_t lo = -32767, hi = 32767; };
template <> struct Fill<int32_t> { static constexpr int32_t lo = -2147483647, hi = 2147483647; };
template <> struct Fill<int64_t> { static constexpr int64_t lo = -INT64_MAX, hi = INT64_MAX; };

// Truncating quotient for 8- and 16-bit elements through float (exact for
// these magnitudes) and for 32-bit through double, so the loop has no branch
// on the divisor. y must not be 0. MIN / -1 wraps to MIN for 16 bits, as the
// element arithmetic does, and saturates to MAX for 32 bits.
template <class T> inline T quot_small(T x, T y) {
    if constexpr (sizeof(T) <= 2) {
        return (T)(int)((float)x / (float)y);
    } else {
        double q = (double)x / (double)y;
        q = q > 2147483647.0 ? 2147483647.0 : q;
        return (T)(int32_t)q;
    }
}

template <class T, int OP> inline T rule(T x, T y) {
    if constexpr (std::is_same_v<T, double>) {
        if constexpr (OP == ADD) return x + y;
        else if constexpr (OP == SUB) return x - y;
        else if constexpr (OP == MUL) return x * y;
        else if constexpr (OP == DIV) {
            double q = x / (y == 0 ? 1.0 : y);
            return y == 0 ? (x < 0 ? -DBL_MAX : DBL_MAX) : q;
        } else if constexpr (OP == IDIV) {
            if (y == 0) return x < 0 ? -DBL_MAX : DBL_MAX;
            return std::floor(x / y);
        } else if constexpr (OP == MOD) {
            if (y == 0) return 0.0;
            double r = std::fmod(x, y);
            if (r != 0 && ((r < 0) != (y < 0))) r += y;
            return r;
        } else if constexpr (OP == POW) {
            return y == 2 ? x * x : std::pow(x, y);
        } else if constexpr (OP == MAX) return x > y ? x : y;
        else if constexpr (OP == MIN) return x < y ? x : y;
        else if constexpr (OP == ABS) return -y > y ? -y : y;
        else if constexpr (OP == SGN) return y >= 0 ? 1.0 : -1.0;
        else if constexpr (OP == SGN0) return y > 0 ? 1.0 : (y == 0 ? 0.0 : -1.0);
        else if constexpr (OP == COPY) return y;
        else return 0;  // bitwise members refuse f64 before any loop
    } else {
        using U = std::make_unsigned_t<T>;
        constexpr bool sgn = std::is_signed_v<T>;
        if constexpr (OP == ADD) return (T)(U)((U)x + (U)y);
        else if constexpr (OP == SUB) return (T)(U)((U)x - (U)y);
        else if constexpr (OP == MUL) {
            if constexpr (sizeof(T) <= 2) return (T)(U)((int)x * (int)y);
            else return (T)((U)x * (U)y);
        } else if constexpr (OP == DIV || OP == IDIV) {
            if constexpr (sizeof(T) == 8) {
                if (y == 0) return x < 0 ? Fill<T>::lo : Fill<T>::hi;
                if (y == -1) return x == INT64_MIN ? INT64_MAX : -x;
                return x / y;
            } else {
                T q = quot_small<T>(x, y == 0 ? (T)1 : y);
                return y == 0 ? (x < 0 ? Fill<T>::lo : Fill<T>::hi) : q;
            }
        } else if constexpr (OP == MOD) {
            if constexpr (sizeof(T) == 8) {
                if (y == 0 || y == -1) return 0;
                T r = x % y;
                if (r != 0 && ((r ^ y) < 0)) r += y;
                return r;
            } else {
                T yy = y == 0 ? (T)1 : y;
                T q = quot_small<T>(x, yy);
                // Products of these widths fit in 64 bits; the unsigned short
                // multiply would promote to a signed int and could overflow.
                T r = (T)(U)(uint64_t)((int64_t)x - (int64_t)q * (int64_t)yy);
                if constexpr (sgn) {
                    if (r != 0 && ((r ^ y) < 0)) r = (T)(U)((U)r + (U)y);
                    return (y == 0 || y == -1) ? (T)0 : r;
                } else {
                    return y == 0 ? (T)0 : r;
                }
            }
        } else if constexpr (OP == POW) {
            if (y == 2) return rule<T, MUL>(x, x);
            double p = std::pow((double)x, (double)y);
            if constexpr (sizeof(T) == 8) return (T)ta_f2i64(p);
            else return (T)(U)(uint32_t)ta_f2i32(p);
        } else if constexpr (OP == BAND) return (T)(x & y);
        else if constexpr (OP == BOR) return (T)(x | y);
        else if constexpr (OP == BXOR) return (T)(x ^ y);
        else if constexpr (OP == SHL) {
            // Counts outside 0..31 (0..63 for i64) shift every bit out.
            if constexpr (sizeof(T) == 8) {
                uint64_t c = (uint64_t)y;
                return c < 64 ? (T)((uint64_t)x << c) : (T)0;
            } else {
                uint32_t c = (uint32_t)(int32_t)y;
                return c < 32 ? (T)(U)((uint32_t)(int32_t)x << c) : (T)0;
            }
        } else if constexpr (OP == SHR) {
            if constexpr (sizeof(T) == 8) {
                uint64_t c = (uint64_t)y;
                return c < 64 ? (T)(x >> c) : (T)(x < 0 ? -1 : 0);
            } else if constexpr (!sgn) {
                uint32_t c = (uint32_t)y;
                return c < 32 ? (T)((uint32_t)x >> c) : (T)0;
            } else {
                uint32_t c = (uint32_t)(int32_t)y;
                return c < 32 ? (T)((int32_t)x >> c) : (T)(x < 0 ? -1 : 0);
            }
        } else if constexpr (OP == MAX) return x > y ? x : y;
        else if constexpr (OP == MIN) return x < y ? x : y;
        else if constexpr (OP == ABS) {
            if constexpr (!sgn) return y;
            else {
                T ny = (T)(U)((U)0 - (U)y);
                return ny > y ? ny : y;
            }
        } else if constexpr (OP == SGN) {
            if constexpr (!sgn) return 1;
            else return y >= 0 ? (T)1 : (T)-1;
        } else if constexpr (OP == SGN0) {
            if constexpr (!sgn) return y > 0 ? 1 : 0;
            else return y > 0 ? (T)1 : (y == 0 ? (T)0 : (T)-1);
        } else return y;  // COPY
    }
}

// The loops. Disjoint operands get restrict-qualified loops; the destination
// being an operand itself gets a loop over one pointer fewer; anything else
// overlapping runs the plain loop, whose order is element by element.
template <class T, int OP> struct Kernels {
    TA_CLONES static void aa_r(T* __restrict d, const T* __restrict a, const T* __restrict b, int64_t n) {
        for (int64_t i = 0; i < n; i++) d[i] = rule<T, OP>(a[i], b[i]);
    }
    TA_CLONES static void aa_da(T* __restrict d, const T* __restrict b, int64_t n) {
        for (int64_t i = 0; i < n; i++) d[i] = rule<T, OP>(d[i], b[i]);
    }
    TA_CLONES static void aa_db(T* __restrict d, const T* __restrict a, int64_t n) {
        for (int64_t i = 0; i < n; i++) d[i] = rule<T, OP>(a[i], d[i]);
    }
    TA_CLONES static void un_r(T* __restrict d, const T* __restrict b, int64_t n) {
        for (int64_t i = 0; i < n; i++) d[i] = rule<T, OP>(b[i], b[i]);
    }
    TA_CLONES static void aa_self(T* d, int64_t n) {
        for (int64_t i = 0; i < n; i++) d[i] = rule<T, OP>(d[i], d[i]);
    }
    TA_CLONES static void aa_plain(T* d, const T* a, const T* b, int64_t n) {
        for (int64_t i = 0; i < n; i++) d[i] = rule<T, OP>(a[i], b[i]);
    }
    TA_CLONES static void as_r(T* __restrict d, const T* __restrict a, T s, int64_t n) {
        for (int64_t i = 0; i < n; i++) d[i] = rule<T, OP>(a[i], s);
    }
    TA_CLONES static void as_d(T* d, T s, int64_t n) {
        for (int64_t i = 0; i < n; i++) d[i] = rule<T, OP>(d[i], s);
    }
    TA_CLONES static void sa_r(T* __restrict d, const T* __restrict a, T s, int64_t n) {
        for (int64_t i = 0; i < n; i++) d[i] = rule<T, OP>(s, a[i]);
    }
    TA_CLONES static void sa_d(T* d, T s, int64_t n) {
        for (int64_t i = 0; i < n; i++) d[i] = rule<T, OP>(s, d[i]);
    }
    TA_CLONES static void fill(T* d, T v, int64_t n) {
        for (int64_t i = 0; i < n; i++) d[i] = v;
    }
};

template <class T> inline bool overlap(const T* p, const T* q, int64_t n) { return p < q + n && q < p + n; }

enum Side { ARRAY_B, SCALAR_RIGHT, SCALAR_LEFT };

struct Call {
    TypedArray* d;
    const TypedArray* a;
    const TypedArray* b;  // null for a scalar
    Side side;
    bool s_is_int;
    int64_t s_int;
    double s_num;
    int64_t boff, aoff, len, bstride, astride, spans;
    int64_t first_start;  // where span 0 started in a (after clipping)
};

template <class T> T scalar_as(const Call& c) {
    if constexpr (std::is_same_v<T, double>) return c.s_is_int ? (double)c.s_int : c.s_num;
    else if constexpr (sizeof(T) == 8) return c.s_is_int ? c.s_int : ta_f2i64(c.s_num);
    else {
        int32_t v = c.s_is_int ? ((c.s_int >= INT32_MIN && c.s_int <= INT32_MAX) ? (int32_t)c.s_int : INT32_MIN)
                               : ta_f2i32(c.s_num);
        return (T)(std::make_unsigned_t<T>)(uint32_t)v;
    }
}

template <class T, int OP> void run_span(const Call& c, T* pd, const T* pa, const T* pb, T s, int64_t n) {
    using K = Kernels<T, OP>;
    if (c.side == ARRAY_B) {
        if constexpr (is_unary(OP)) {
            // The rule reads the second operand only.
            if (pd == pb) K::aa_self(pd, n);
            else if (!overlap<T>(pd, pb, n)) K::un_r(pd, pb, n);
            else K::aa_plain(pd, pa, pb, n);
            return;
        }
        if (pd == pa && pa == pb) K::aa_self(pd, n);
        else if (pd == pa && !overlap<T>(pd, pb, n)) K::aa_da(pd, pb, n);
        else if (pd == pb && !overlap<T>(pd, pa, n)) K::aa_db(pd, pa, n);
        else if (!overlap<T>(pd, pa, n) && !overlap<T>(pd, pb, n)) K::aa_r(pd, pa, pb, n);
        else K::aa_plain(pd, pa, pb, n);
    } else if constexpr (is_unary(OP)) {
        K::fill(pd, rule<T, OP>(s, s), n);
    } else if (c.side == SCALAR_RIGHT) {
        if (pd == pa) K::as_d(pd, s, n);
        else if (!overlap<T>(pd, pa, n)) K::as_r(pd, pa, s, n);
        else for (int64_t i = 0; i < n; i++) pd[i] = rule<T, OP>(pa[i], s);
    } else {
        if (pd == pa) K::sa_d(pd, s, n);
        else if (!overlap<T>(pd, pa, n)) K::sa_r(pd, pa, s, n);
        else for (int64_t i = 0; i < n; i++) pd[i] = rule<T, OP>(s, pa[i]);
    }
}

// The span walk; returns the element total.
template <class T, int OP> int64_t walk(Call& c) {
    T* D = ta_elems<T>(c.d);
    const T* A = ta_elems<T>(c.a);
    const T* B = c.b ? ta_elems<T>(c.b) : nullptr;
    T s = c.b ? T() : scalar_as<T>(c);
    int64_t acount = ta_count(c.a), dcount = ta_count(c.d), bcount = c.b ? ta_count(c.b) : 0;
    int64_t total = 0, work = 0;
    c.first_start = 0;
    if (c.len <= 0) return 0;
    for (int64_t sp = 0; sp < c.spans; sp++) {
        int64_t ap = ta_pos(c.aoff, sp, c.astride);
        int64_t bp = B ? ta_pos(c.boff, sp, c.bstride) : 0;
        // A start before an operand's first element moves to it; the span
        // shortens by the elements skipped and the operands stay paired.
        int64_t skip = 0;
        if (ap < 0) skip = -ap;
        if (B && bp < 0 && -bp > skip) skip = -bp;
        int64_t n = c.len - skip;
        ap += skip;
        bp += skip;
        if (acount - ap < n) n = acount - ap;
        if (dcount - ap < n) n = dcount - ap;
        if (B && bcount - bp < n) n = bcount - bp;
        if (sp == 0) c.first_start = ap;
        if (n > 0) {
            run_span<T, OP>(c, D + ap, A + ap, B ? B + bp : nullptr, s, n);
            total += n;
        }
        // Each span counts as some work of its own, so that many tiny spans
        // over the same elements end as soon as many elements would.
        work += (n > 0 ? n : 0) + 16;
        if (n < c.len || work >= TA_WORK_CAP) break;
    }
    return total;
}

template <int OP> int64_t walk_tag(int tag, Call& c) {
    switch (tag) {
        case UT_U8: return walk<uint8_t, OP>(c);
        case UT_I16: return walk<int16_t, OP>(c);
        case UT_I32: return walk<int32_t, OP>(c);
        case UT_I64: return walk<int64_t, OP>(c);
        default:
            if constexpr (is_bitwise(OP)) return 0;
            else return walk<double, OP>(c);
    }
}

// CPU divisor K by member and type.
constexpr int divisor(int op, int tag) {
    bool wide = tag == UT_F64 || tag == UT_I64;
    switch (op) {
        case ADD: case SUB: case COPY: return wide ? 12 : 24;
        case MUL: return wide ? 8 : 16;
        case DIV: case IDIV: case MOD: return tag == UT_I64 ? 2 : 4;
        case POW: return wide ? 1 : 2;
        case MAX: case MIN: case ABS: case SGN: case SGN0: return wide ? 2 : 4;
        default: return wide ? 12 : 24;  // bitwise
    }
}

template <int OP> int ud_op(lua_State* L) {
    TypedArray* a1 = to_typed_array(L, 1);
    TypedArray* a2 = to_typed_array(L, 2);
    if (!a1 && !a2) return 0;
    int tag = a1 ? ta_tag(a1) : ta_tag(a2);
    if (a1 && a2 && ta_tag(a1) != ta_tag(a2)) return 0;
    if (is_bitwise(OP) && tag == UT_F64) return 0;
    bool arg2_nil = lua_isnoneornil(L, 2);
    if (!is_unary(OP) && arg2_nil) return 0;

    Call c{};
    int a_idx;
    if (!a1) {
        a_idx = 2;
        c.a = a2;
        c.side = SCALAR_LEFT;
        if (lua_isinteger(L, 1)) {
            c.s_is_int = true;
            c.s_int = lua_tointeger(L, 1);
        } else {
            c.s_num = lua_tonumberx(L, 1, nullptr);
        }
    } else {
        a_idx = 1;
        c.a = a1;
        if (a2 || arg2_nil) {
            c.b = a2 ? a2 : a1;
            c.side = ARRAY_B;
        } else {
            c.side = SCALAR_RIGHT;
            if (lua_type(L, 2) == LUA_TNUMBER) {
                if (lua_isinteger(L, 2)) {
                    c.s_is_int = true;
                    c.s_int = lua_tointeger(L, 2);
                } else {
                    c.s_num = lua_tonumber(L, 2);
                }
            } else {
                c.s_is_int = true;
                c.s_int = 0;
            }
        }
    }
    TypedArray* a = const_cast<TypedArray*>(c.a);
    int dest_idx = 0;
    bool fresh = false;
    if (TypedArray* d3 = to_typed_array(L, 3)) {
        if (d3->width != a->width || d3->height != a->height || ta_tag(d3) != tag) return 0;
        c.d = d3;
        dest_idx = 3;
    } else if (lua_toboolean(L, 3)) {
        c.d = a;
        dest_idx = a_idx;
    } else {
        fresh = true;
    }
    c.boff = q64_intp(L, 4, 0);
    c.aoff = q64_intp(L, 5, 0);
    c.len = q64_intp(L, 6, 16777216);
    c.bstride = q64_intp(L, 7, 1);
    c.astride = q64_intp(L, 8, 1);
    c.spans = q64_intp(L, 9, 1);

    int64_t total;
    if (fresh && c.spans == 1) {
        // One span: compute straight into the new array and copy the rest of
        // a around it, rather than copying all of a first.
        TypedArray* d = ta_push_uninit(L, tag, a->dims, a->width, a->height, a->depth);
        if (!d) return 0;
        *d = *a;
        c.d = d;
        spend_cpu(ta_count(a) >> 7);
        total = walk_tag<OP>(tag, c);
        int es = ta_elem_size_of(tag);
        int64_t bytes = (ta_data_bytes(a) + 7) & ~int64_t(7);
        int64_t lo = total > 0 ? c.first_start * es : 0;
        int64_t hi = total > 0 ? (c.first_start + total) * es : 0;
        memcpy(ta_data(d), ta_data(a), (size_t)lo);
        memcpy(ta_data(d) + hi, ta_data(a) + hi, (size_t)(bytes - hi));
    } else {
        if (fresh) {
            c.d = push_duplicate_userdata(L, a);
            spend_cpu(ta_count(a) >> 7);
        }
        total = walk_tag<OP>(tag, c);
        if (!fresh) lua_pushvalue(L, dest_idx);
    }
    int64_t spans = c.spans > 0 ? c.spans : 0;
    spend_cpu(spans / 4 + total / divisor(OP, tag));
    return 1;
}

}  // namespace

int lua54_ud_add(lua_State* L) { return ud_op<ADD>(L); }
int lua54_ud_sub(lua_State* L) { return ud_op<SUB>(L); }
int lua54_ud_mul(lua_State* L) { return ud_op<MUL>(L); }
int lua54_ud_div(lua_State* L) { return ud_op<DIV>(L); }
int lua54_ud_idiv(lua_State* L) { return ud_op<IDIV>(L); }
int lua54_ud_mod(lua_State* L) { return ud_op<MOD>(L); }
int lua54_ud_pow(lua_State* L) { return ud_op<POW>(L); }
int lua54_ud_band(lua_State* L) { return ud_op<BAND>(L); }
int lua54_ud_bor(lua_State* L) { return ud_op<BOR>(L); }
int lua54_ud_bxor(lua_State* L) { return ud_op<BXOR>(L); }
int lua54_ud_shl(lua_State* L) { return ud_op<SHL>(L); }
int lua54_ud_shr(lua_State* L) { return ud_op<SHR>(L); }
int lua54_ud_max(lua_State* L) { return ud_op<MAX>(L); }
int lua54_ud_min(lua_State* L) { return ud_op<MIN>(L); }
int lua54_ud_abs(lua_State* L) { return ud_op<ABS>(L); }
int lua54_ud_sgn(lua_State* L) { return ud_op<SGN>(L); }
int lua54_ud_sgn0(lua_State* L) { return ud_op<SGN0>(L); }
int ta_elementwise_copy(lua_State* L) { return ud_op<COPY>(L); }
