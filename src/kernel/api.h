// The program API registry: each subsystem contributes a table of globals.
#pragma once
#include <cstddef>

struct lua_State;
typedef int (*lua_CFunction)(lua_State* L);

struct ApiEntry {
    const char* name;
    lua_CFunction fn;
};

// Registers every API global of every subsystem in a new process state.
void api_add_c_functions(lua_State* L);

// Where _printh sends its text (the line without its newline); null means the
// host's standard output. Test harnesses point it at a capture.
extern void (*api_printh_hook)(const char* text, size_t len);

// The globals in registration order (for tests and tools); count gets their number.
const ApiEntry* api_registered(int* count);
// The fixed registration order of the program API's global names.
const char* const* api_order_names(int* count);
