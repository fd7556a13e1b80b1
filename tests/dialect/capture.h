// Output capture for the dialect tests: print and io.write into a string.
#pragma once
#include <string>

struct lua_State;

// Where capture_print and capture_write append; set by each test.
extern std::string* capture_out;
// print: arguments through tostring, tab-separated, then a line end.
int capture_print(lua_State* L);
// io.write: numbers as the stock io library writes them, strings as they are.
int capture_write(lua_State* L);
