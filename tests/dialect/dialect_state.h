// A bare process-like state for the dialect tests: the process library set
// plus 'load', with print captured and an unlimited budget.
#pragma once
#include <string>
#include <vector>

struct lua_State;

// When set, every allocation that grows memory is refused once, so each one
// runs a full emergency collection before its retry.
extern bool collect_on_growth;

struct State {
    lua_State* L;
    std::string out;
    State();
    ~State();
    // Output of the chunk, or "error: <message>" for a compile or run error.
    std::string run(const std::string& src);
};

struct Case {
    std::string src;
    std::string expect;
};

// Each case in a fresh state.
void run_cases(const std::vector<Case>& cases);
