// The element-wise family against an independent scalar model: wide-integer
// arithmetic reduced to the element width, walked element by element over
// live memory (so a destination overlapping an operand reads what earlier
// elements wrote), on random types, operands, scalars, destinations,
// offsets, strides, spans and lengths.
#include <cfloat>
#include <random>

#include "fixture.h"

namespace {

enum Op { ADD, SUB, MUL, DIV, IDIV, MOD, POW, BAND, BOR, BXOR, SHL, SHR, MAX, MIN, ABS, SGN, SGN0, COPY, NOPS };
const char* const op_names[NOPS] = {"add", "sub", "mul", "div", "idiv", "mod", "pow", "band", "bor",
                                    "bxor", "shl", "shr", "max", "min", "abs", "sgn", "sgn0", "copy"};
const int tags[5] = {UT_U8, UT_I16, UT_I32, UT_I64, UT_F64};

bool unary(int op) { return op >= ABS; }
bool bitwise(int op) { return op >= BAND && op <= SHR; }

int cpu_k(int op, int tag) {
    bool wide = tag == UT_I64 || tag == UT_F64;
    if (op == ADD || op == SUB || op == COPY || bitwise(op)) return wide ? 12 : 24;
    if (op == MUL) return wide ? 8 : 16;
    if (op == DIV || op == IDIV || op == MOD) return tag == UT_I64 ? 2 : 4;
    if (op == POW) return wide ? 1 : 2;
    return wide ? 2 : 4;
}

// Integer model: values held as __int128, reduced to the element width.
struct IntType {
    int bits;
    bool is_signed;
    __int128 min() const { return is_signed ? -((__int128)1 << (bits - 1)) : 0; }
    __int128 max() const { return is_signed ? ((__int128)1 << (bits - 1)) - 1 : ((__int128)1 << bits) - 1; }
    __int128 wrap(__int128 v) const {
        unsigned __int128 m = ((unsigned __int128)1 << bits) - 1;
        unsigned __int128 u = (unsigned __int128)v & m;
        if (is_signed && (u >> (bits - 1))) return (__int128)u - ((__int128)1 << bits);
        return (__int128)u;
    }
};

IntType int_type(int tag) {
    switch (tag) {
        case UT_U8: return {8, false};
        case UT_I16: return {16, true};
        case UT_I32: return {32, true};
        default: return {64, true};
    }
}

__int128 int_rule(int op, const IntType& t, __int128 x, __int128 y) {
    int cb = t.bits == 64 ? 64 : 32;  // shifts and pow work in 32 (64) bits
    switch (op) {
        case ADD: return t.wrap(x + y);
        case SUB: return t.wrap(x - y);
        case MUL: return t.wrap(x * y);
        case DIV:
        case IDIV: {
            if (y == 0) return x < 0 ? (t.is_signed ? t.min() + 1 : 0) : t.max();
            __int128 q = x / y;
            // 16-bit elements wrap as all element arithmetic does; the
            // implementation saturates the wider ones (MIN / -1).
            if (t.bits <= 16) return t.wrap(q);
            return q > t.max() ? t.max() : q;
        }
        case MOD: {
            if (y == 0) return 0;
            __int128 q = x / y;
            if (x % y != 0 && ((x < 0) != (y < 0))) q -= 1;
            return x - q * y;
        }
        case POW: {
            if (y == 2) return t.wrap(x * x);
            double p = std::pow((double)x, (double)y);
            double lim = cb == 64 ? 9223372036854775808.0 : 2147483648.0;
            __int128 v = (std::isnan(p) || p >= lim || p <= -lim - (cb == 64 ? 0 : 1)) ? -((__int128)1 << (cb - 1))
                                                                                       : (__int128)std::trunc(p);
            if (cb == 64 && p == -lim) v = -((__int128)1 << 63);
            return t.wrap(v);
        }
        case BAND: return t.wrap(x & y);
        case BOR: return t.wrap(x | y);
        case BXOR: return t.wrap(x ^ y);
        case SHL:
            if (y < 0 || y >= cb) return 0;
            return t.wrap(x << (int)y);
        case SHR:
            if (!t.is_signed) return (y < 0 || y >= cb) ? 0 : x >> (int)y;
            if (y < 0 || y >= cb) return x < 0 ? -1 : 0;
            return x >> (int)y;  // arithmetic on the sign-extended value
        case MAX: return x > y ? x : y;
        case MIN: return x < y ? x : y;
        case ABS: return t.wrap(y < 0 ? -y : y);
        case SGN: return y < 0 ? -1 : 1;
        case SGN0: return y > 0 ? 1 : (y < 0 ? -1 : 0);
        default: return y;
    }
}

double f_rule(int op, double x, double y) {
    switch (op) {
        case ADD: return x + y;
        case SUB: return x - y;
        case MUL: return x * y;
        case DIV: return y == 0 ? (x < 0 ? -DBL_MAX : DBL_MAX) : x / y;
        case IDIV: return y == 0 ? (x < 0 ? -DBL_MAX : DBL_MAX) : std::floor(x / y);
        case MOD: {
            if (y == 0) return 0;
            double r = std::fmod(x, y);
            if (r != 0 && std::signbit(r) != std::signbit(y)) r += y;
            return r;
        }
        case POW: return y == 2 ? x * x : std::pow(x, y);
        case MAX: return (std::isnan(x) || std::isnan(y)) ? y : (x > y ? x : y);
        case MIN: return (std::isnan(x) || std::isnan(y)) ? y : (x < y ? x : y);
        case ABS: return (std::isnan(y) || y == 0) ? y : std::fabs(y);
        case SGN: return (std::isnan(y) || y < 0) ? -1.0 : 1.0;
        case SGN0: return std::isnan(y) ? -1.0 : (y > 0 ? 1.0 : (y < 0 ? -1.0 : 0.0));
        default: return y;
    }
}

// A model array: elements as wide integers or doubles.
struct Model {
    int tag;
    std::vector<__int128> iv;
    std::vector<double> fv;
    int64_t size() const { return tag == UT_F64 ? (int64_t)fv.size() : (int64_t)iv.size(); }
};

Model read_model(const TypedArray* a) {
    Model m{ta_tag(a), {}, {}};
    for (int64_t i = 0; i < ta_count(a); i++) {
        switch (ta_tag(a)) {
            case UT_U8: m.iv.push_back(ta_elems<uint8_t>(a)[i]); break;
            case UT_I16: m.iv.push_back(ta_elems<int16_t>(a)[i]); break;
            case UT_I32: m.iv.push_back(ta_elems<int32_t>(a)[i]); break;
            case UT_I64: m.iv.push_back(ta_elems<int64_t>(a)[i]); break;
            default: m.fv.push_back(ta_elems<double>(a)[i]); break;
        }
    }
    return m;
}

bool same_double(double x, double y) {
    if (std::isnan(x) && std::isnan(y)) return true;
    return memcmp(&x, &y, 8) == 0;
}

struct Scalar {
    bool is_int;
    int64_t i;
    double f;
};

__int128 scalar_int(const Scalar& s, const IntType& t) {
    if (t.bits == 64) {
        if (s.is_int) return s.i;
        if (std::isnan(s.f) || s.f >= 9223372036854775808.0 || s.f < -9223372036854775808.0) return INT64_MIN;
        return (__int128)std::trunc(s.f);
    }
    __int128 v;
    if (s.is_int) v = (s.i >= INT32_MIN && s.i <= INT32_MAX) ? s.i : INT32_MIN;
    else if (std::isnan(s.f) || s.f >= 2147483648.0 || s.f <= -2147483649.0) v = INT32_MIN;
    else v = (__int128)std::trunc(s.f);
    return t.wrap(v);
}

struct Rng {
    std::mt19937_64 g{12345};
    int64_t range(int64_t lo, int64_t hi) { return lo + (int64_t)(g() % (uint64_t)(hi - lo + 1)); }
    bool chance(int pct) { return range(0, 99) < pct; }
};

void fill_random(TypedArray* a, Rng& r) {
    static const int64_t special[] = {0, 1, -1, 2, -2, 3, 7, -7, 31, 32, 63, 64, 127, 128, 255, 256,
                                      32767, -32768, INT32_MAX, INT32_MIN, INT64_MAX, INT64_MIN};
    static const double fspecial[] = {0.0, -0.0, 1, -1, 2, 0.5, -7, 7, 3.25, -2.5, NAN, INFINITY, -INFINITY,
                                      1e300, -1e-300, DBL_MAX};
    for (int64_t i = 0; i < ta_count(a); i++) {
        int64_t v = r.chance(40) ? special[r.range(0, 21)] : (r.chance(50) ? r.range(-40, 40) : (int64_t)r.g());
        switch (ta_tag(a)) {
            case UT_U8: ta_elems<uint8_t>(a)[i] = (uint8_t)v; break;
            case UT_I16: ta_elems<int16_t>(a)[i] = (int16_t)v; break;
            case UT_I32: ta_elems<int32_t>(a)[i] = (int32_t)v; break;
            case UT_I64: ta_elems<int64_t>(a)[i] = v; break;
            default:
                ta_elems<double>(a)[i] = r.chance(40) ? fspecial[r.range(0, 15)]
                                                      : (double)r.range(-1000, 1000) / (double)r.range(1, 16);
        }
    }
}

Scalar random_scalar(Rng& r) {
    static const int64_t ints[] = {0, 1, -1, 2, 3, 7, -7, 255, 256, 300, -300, 32767, -32768, 65535,
                                   INT32_MAX, INT32_MIN, (int64_t)1 << 31, (int64_t)1 << 40, INT64_MAX, INT64_MIN};
    static const double floats[] = {0.0, -0.0, 0.5, 2.0, 2.9, -2.9, 1e20, -1e20, NAN, INFINITY, 3.7, -0.5};
    if (r.chance(60)) return {true, ints[r.range(0, 19)], 0};
    return {false, 0, floats[r.range(0, 11)]};
}

void push_scalar(lua_State* L, const Scalar& s) {
    if (s.is_int) lua_pushinteger(L, s.i);
    else lua_pushnumber(L, s.f);
}

TEST(ArraysElementwise, MatchesScalarModel) {
    ArrayLua lua;
    lua_State* L = lua.L;
    Rng r;
    int checked = 0;
    for (int iter = 0; iter < 6000; iter++) {
        int op = (int)r.range(0, NOPS - 1);
        int tag = tags[r.range(0, 4)];
        if (bitwise(op) && tag == UT_F64) continue;
        IntType it = int_type(tag);
        lua_settop(L, 0);

        // Operands: a, and b of a's shape (so it may be the destination) or another size.
        int64_t aw = r.range(1, 12), ah = r.range(1, 3);
        TypedArray* a = create_typed_array(L, tag, ah > 1 ? 2 : 1, aw, ah);  // stack 1
        fill_random(a, r);
        bool b_same_shape = r.chance(60);
        TypedArray* b = b_same_shape ? create_typed_array(L, tag, ah > 1 ? 2 : 1, aw, ah)
                                     : create_typed_array(L, tag, 1, r.range(1, 30), 1);  // stack 2
        fill_random(b, r);
        TypedArray* other = create_typed_array(L, tag, ah > 1 ? 2 : 1, aw, ah);  // stack 3
        fill_random(other, r);

        // Operand form: array b, scalar on the right, scalar on the left, or (unary) none.
        int form = (int)r.range(0, unary(op) ? 3 : 2);
        if (op == COPY && tag == UT_I32 && (form == 0 || form == 2)) form = 3;  // an i32 array 2nd: a gather
        Scalar s = random_scalar(r);
        // Destination: new, true (a), a given, another array, b itself.
        int dmode = (int)r.range(0, 4);
        if (dmode == 4 && (form != 0 || !b_same_shape)) dmode = 1;
        int nextra = (int)r.range(0, 6);
        int64_t extra[6] = {r.range(-4, 12), r.range(-4, 12),
                            r.chance(20) ? 16777216 : r.range(-1, 30), r.range(-3, 8), r.range(-3, 8),
                            r.range(-1, 6)};
        int64_t defaults[6] = {0, 0, 16777216, 1, 1, 1};
        int64_t boff, aoff, len, bstride, astride, spans;
        int64_t* vals[6] = {&boff, &aoff, &len, &bstride, &astride, &spans};
        for (int k = 0; k < 6; k++) *vals[k] = k < nextra ? extra[k] : defaults[k];

        Model ma = read_model(a), mb = read_model(b), mo = read_model(other);

        // Push the call.
        lua_getglobal(L, "USERDATA");
        lua_getfield(L, -1, op_names[op]);
        lua_remove(L, -2);
        int fn = lua_gettop(L);
        if (form == 2) {
            push_scalar(L, s);
            lua_pushvalue(L, 1);
        } else {
            lua_pushvalue(L, 1);
            if (form == 0) lua_pushvalue(L, 2);
            else if (form == 1) push_scalar(L, s);
            else lua_pushnil(L);
        }
        switch (dmode) {
            case 0: lua_pushnil(L); break;
            case 1: lua_pushboolean(L, 1); break;
            case 2: lua_pushvalue(L, 1); break;
            case 3: lua_pushvalue(L, 3); break;
            default: lua_pushvalue(L, 2); break;
        }
        for (int k = 0; k < nextra; k++) lua_pushinteger(L, extra[k]);
        int nargs = lua_gettop(L) - fn;
        cpu_cycles = 0;
        ASSERT_EQ(lua_pcall(L, nargs, LUA_MULTRET, 0), LUA_OK);
        ASSERT_EQ(lua_gettop(L), fn) << "one result from " << op_names[op] << " " << get_utype_string(tag)
                                     << " form " << form << " dest " << dmode << " args " << nextra;
        TypedArray* res = to_typed_array(L, -1);
        ASSERT_NE(res, nullptr);

        // The model: the destination's memory, then the walk over live memory.
        Model* md;
        Model fresh = ma;
        switch (dmode) {
            case 0: md = &fresh; break;
            case 1: case 2: md = &ma; break;
            case 3: md = &mo; break;
            default: md = &mb; break;
        }
        const Model* mbp = form == 0 ? &mb : (form == 3 ? &ma : nullptr);
        const Model& msrc = ma;  // a is read live: when it is the destination it sees earlier writes
        int64_t na = ma.size(), nd = md->size(), nb = mbp ? mbp->size() : 0, total = 0;
        for (int64_t sp = 0; sp < spans && len > 0; sp++) {
            int64_t ap = aoff + sp * astride, bp = boff + sp * bstride, cnt = 0;
            for (int64_t i = 0; i < len; i++) {
                int64_t pa = ap + i, pb = bp + i;
                if (pa < 0 || (mbp && pb < 0)) continue;
                if (pa >= na || pa >= nd || (mbp && pb >= nb)) break;
                if (tag == UT_F64) {
                    double x = msrc.fv[pa], sv = s.is_int ? (double)s.i : s.f;
                    double y = mbp ? mbp->fv[pb] : sv;
                    double v = form == 2 ? f_rule(op, sv, x) : f_rule(op, x, y);
                    if (unary(op) && !mbp) v = f_rule(op, sv, sv);
                    md->fv[pa] = v;
                } else {
                    __int128 x = msrc.iv[pa], sv = scalar_int(s, it);
                    __int128 y = mbp ? mbp->iv[pb] : sv;
                    __int128 v = form == 2 ? int_rule(op, it, sv, x) : int_rule(op, it, x, y);
                    if (unary(op) && !mbp) v = int_rule(op, it, sv, sv);
                    md->iv[pa] = it.wrap(v);
                }
                cnt++;
            }
            total += cnt;
            if (cnt < len) break;
        }
        if (md == &fresh && dmode == 0) {
            // A new array is a copy of a; a itself stays unchanged.
        }
        Model got = read_model(res);
        std::string what = std::string(op_names[op]) + " " + get_utype_string(tag) + " form " + std::to_string(form) +
                           " dest " + std::to_string(dmode) + " args " + std::to_string(nextra) + ": " +
                           show_array(res);
        ASSERT_EQ(got.size(), md->size()) << what;
        for (int64_t i = 0; i < got.size(); i++) {
            if (tag == UT_F64) ASSERT_TRUE(same_double(got.fv[i], md->fv[i])) << what << " at " << i << " want " << md->fv[i];
            else ASSERT_TRUE(got.iv[i] == md->iv[i]) << what << " at " << i << " want " << (long long)md->iv[i];
        }
        // Operands that are not the destination are untouched.
        Model now_a = read_model(a), now_b = read_model(b);
        if (dmode == 0 || dmode == 3 || dmode == 4) {
            for (int64_t i = 0; i < now_a.size(); i++)
                ASSERT_TRUE(tag == UT_F64 ? same_double(now_a.fv[i], ma.fv[i]) : now_a.iv[i] == ma.iv[i]) << what;
        }
        if (dmode != 4) {
            for (int64_t i = 0; i < now_b.size(); i++)
                ASSERT_TRUE(tag == UT_F64 ? same_double(now_b.fv[i], mb.fv[i]) : now_b.iv[i] == mb.iv[i]) << what;
        }
        // Charges: the copy (count >> 7, at least 1), then spans / 4 + total / K (at least 1).
        int64_t charge = std::max<int64_t>(1, std::max<int64_t>(spans, 0) / 4 + total / cpu_k(op, tag));
        if (dmode == 0) charge += std::max<int64_t>(1, na >> 7);
        ASSERT_EQ(cpu_cycles, charge) << what;
        checked++;
    }
    EXPECT_GT(checked, 4000);
}

}  // namespace
