// Hooks of the dialect's scanner and numeral conversion, called from the
// patched Lua core (which is compiled as C++).
#pragma once
#include "lua.h"

// Binary float numeral ("0b" digits, radix point, 'p' exponent); sets
// *endptr past what was read, or to s when nothing was valid.
lua_Number dialect_strb2number(const char* s, char** endptr);
// One more decimal digit of a numeral's exponent, saturating far beyond any
// exponent that matters instead of overflowing.
int dialect_exp_digit(int exp, int digit);
