// The Lua dialect's own entry points, shared by the patched Lua core, the
// kernel's API registry and the test interpreter.
#pragma once
#include <cstdint>

struct lua_State;
struct lua_Debug;

// The base library's 'load' for process states: text chunks only.
int luaB_load0(lua_State* L);
// 'tonum': booleans, numbers and whole-string numerals; no value otherwise.
int luaB_tonumber_q64(lua_State* L);

// Runs a stock loader (chunk, name, mode, env) with the mode (default "bt")
// stripped of 'b', so a binary chunk gets the stock refusal.
int dialect_load_text_only(lua_State* L, int (*load)(lua_State*));
// True when the frame described by ar (from lua_getstack) is a native one.
int dialect_is_c_level(lua_State* L, lua_Debug* ar);

// The stock functions left out of process states (the test interpreter adds
// them back): each sets its functions into the table on top of the stack.
void dialect_add_stock_base(lua_State* L);
void dialect_add_stock_table(lua_State* L);
void dialect_add_stock_string(lua_State* L);
void dialect_add_stock_debug(lua_State* L);
