// Operand rule of the memory-read opcodes, shared by the bytecode loop and
// its tests. Include only from code built with the dialect's core headers.
#pragma once
#include <cstdint>
#include "lobject.h"
#include "lvm.h"

// An integer is used as it is; a float only when it holds an exact integer
// in [-2^63, 2^63). Anything else, numeric strings included, is refused
// (no coercion, no metamethod).
inline int vm_peek_address(const TValue* v, lua_Integer* out) {
    if (ttisinteger(v)) {
        *out = ivalue(v);
        return 1;
    }
    if (ttisfloat(v)) return luaV_flttointeger(fltvalue(v), out, F2Ieq);
    return 0;
}

// The address space takes the operand's low 32 bits.
inline uint32_t vm_peek_u32(lua_Integer a) { return static_cast<uint32_t>(static_cast<uint64_t>(a)); }
