// Access to the core's internals for the tests (kept apart: its headers
// define short macros that clash with test code).
#include "vm_support.h"

#include <cstring>

#include "lua.h"
#include "lgc.h"
#include "lmem.h"
#include "lfunc.h"
#include "lobject.h"
#include "lopcodes.h"
#include "lstate.h"
#include "lstring.h"

int current_opcode(lua_State* L) {
    CallInfo* ci = L->ci;
    return GET_OPCODE(*(ci->u.l.savedpc - 1));
}

int opcode_is_cheap(int op) {
    switch (op) {
    case OP_MOVE: case OP_LOADI: case OP_LOADK: case OP_LOADKX: case OP_LOADFALSE:
    case OP_LOADTRUE: case OP_LOADNIL: case OP_ADDI: case OP_ADDK: case OP_SUBK:
    case OP_BANDK: case OP_BORK: case OP_BXORK: case OP_SHRI: case OP_SHLI:
    case OP_ADD: case OP_SUB: case OP_BAND: case OP_BOR: case OP_BXOR:
    case OP_SHL: case OP_SHR: case OP_UNM:
        return 1;
    default:
        return 0;
    }
}

void* grow_vector(lua_State* L, void* block, int nelems, int* size, int elem_size) {
    return luaM_growaux_(L, block, nelems, size, elem_size, MAXARG_Ax, "opcodes");
}

void* shrink_vector(lua_State* L, void* block, int* size, int final_n, int elem_size) {
    return luaM_shrinkvector_(L, block, size, final_n, elem_size);
}

void new_long_string(lua_State* L, size_t len) {
    TString* ts = luaS_createlngstrobj(L, len);
    memset(getstr(ts), 'x', len);
    setsvalue2s(L, L->top, ts);
    L->top++;
}

void resize_string_table(lua_State* L, int nsize) { luaS_resize(L, nsize); }

int string_table_size(lua_State* L) { return G(L)->strt.size; }

int opcode_count() { return NUM_OPCODES; }

#include "lopnames.h"

int opcode_number(const char* name) {
    for (int i = 0; i < NUM_OPCODES && opnames[i]; i++)
        if (strcmp(opnames[i], name) == 0) return i;
    return -1;
}

int opcode_mode(int op) { return luaP_opmodes[op]; }

static void proto_vectors(Proto* p, std::vector<VectorRef>& out) {
    out.push_back({p, -1, "prototype"});
    out.push_back({p->code, p->sizecode, "code"});
    out.push_back({p->lineinfo, p->sizelineinfo, "lineinfo"});
    out.push_back({p->abslineinfo, p->sizeabslineinfo, "abslineinfo"});
    out.push_back({p->k, p->sizek, "constants"});
    out.push_back({p->p, p->sizep, "protos"});
    out.push_back({p->locvars, p->sizelocvars, "locvars"});
    out.push_back({p->upvalues, p->sizeupvalues, "upvalues"});
    for (int i = 0; i < p->sizep; i++) proto_vectors(p->p[i], out);
}

std::vector<VectorRef> function_vectors(lua_State* L, int idx) {
    std::vector<VectorRef> out;
    const TValue* o = s2v(L->ci->func + (idx > 0 ? idx : (L->top - L->ci->func) + idx));
    proto_vectors(clLvalue(o)->p, out);
    return out;
}
