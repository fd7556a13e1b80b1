// Binary numerals for the dialect's number conversion.
#include <clocale>
#include <cmath>
#include <cstring>

#include "dialect/syntax_hooks.h"
#include "lctype.h"

namespace {
// Far beyond any double's range, far below int overflow.
constexpr int EXP_LIMIT = 100000000;

int bump(int e, int by) {
    e += by;
    if (e > EXP_LIMIT) return EXP_LIMIT;
    if (e < -EXP_LIMIT) return -EXP_LIMIT;
    return e;
}

int read_sign(const char** s) {
    if (**s == '-') { (*s)++; return 1; }
    if (**s == '+') (*s)++;
    return 0;
}
}  // namespace

int dialect_exp_digit(int exp, int digit) {
    if (exp >= EXP_LIMIT) return EXP_LIMIT;
    return exp * 10 + digit;
}

lua_Number dialect_strb2number(const char* s, char** endptr) {
    const int dot = lua_getlocaledecpoint();
    const int max_sig = 64;
    lua_Number r = 0.0;
    int sigdig = 0, nosigdig = 0, e = 0, hasdot = 0;
    *endptr = const_cast<char*>(s);
    while (lisspace((unsigned char)*s)) s++;
    int neg = read_sign(&s);
    if (!(s[0] == '0' && (s[1] == 'b' || s[1] == 'B'))) return 0.0;
    for (s += 2;; s++) {
        if (*s == dot) {
            if (hasdot) break;
            hasdot = 1;
        } else if (*s == '0' || *s == '1') {
            if (sigdig == 0 && *s == '0')
                nosigdig++;
            else if (++sigdig <= max_sig)
                r = r * 2.0 + (*s - '0');
            else
                e = bump(e, 1);  // too many digits: only the scale counts
            if (hasdot) e = bump(e, -1);
        } else {
            break;
        }
    }
    if (nosigdig + sigdig == 0) return 0.0;
    *endptr = const_cast<char*>(s);
    if (*s == 'p' || *s == 'P') {
        int exp1 = 0;
        s++;
        int neg1 = read_sign(&s);
        if (!lisdigit((unsigned char)*s)) return 0.0;
        while (lisdigit((unsigned char)*s)) exp1 = dialect_exp_digit(exp1, *(s++) - '0');
        e = bump(e, neg1 ? -exp1 : exp1);
        *endptr = const_cast<char*>(s);
    }
    if (neg) r = -r;
    return std::ldexp(r, e);
}
