// The stop of native work that is far over its budget.
#include "dialect/charge.h"

#include "lauxlib.h"
#include "lstate.h"

bool dialect_stopping;

void dialect_runaway(lua_State* L) {
    {
        // Cleared however the message ends (a memory error unwinds too).
        struct Stopping {
            Stopping() { dialect_stopping = true; }
            ~Stopping() { dialect_stopping = false; }
        } stopping;
        // Inside a Lua function (a metamethod chain, a call): its own line;
        // inside a native one: the line of the Lua code that called it.
        luaL_where(L, isLua(L->ci) ? 0 : 1);
        lua_pushliteral(L, VM_RUNAWAY_MESSAGE);
        lua_concat(L, 2);
    }
    lua_error(L);
    __builtin_unreachable();
}
