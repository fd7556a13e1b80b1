// Shared pieces of the bytecode-loop and allocator tests: a counting
// allocator, budgeted runs of plain Lua states, and a few core internals.
#pragma once
#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <string>
#include <unordered_map>
#include <vector>

struct lua_State;

// One allocator call as the core made it.
struct AllocCall {
    void* ptr;
    size_t osize, nsize;
    int retry_flag;
    uint64_t charged;
};

// Keeps each block's charged size in a 16-byte header (as the process
// allocator does) and the sum of the live charges.
struct Ledger {
    int64_t heap = 0;          // sum of charged sizes of live blocks
    int64_t blocks = 0;        // live blocks
    int64_t bad_frees = 0;     // frees that passed a charged size other than 0
    bool log = false;
    std::vector<AllocCall> calls;
    std::unordered_map<void*, uint64_t> live;  // block -> its charge
    // Return true to refuse the call (it is still logged).
    std::function<bool(const AllocCall&)> refuse;
};

void* ledger_alloc(void* ud, void* ptr, size_t osize, size_t nsize, int retry_flag, uint64_t charged);

// A state with the counting allocator and the dialect's library set.
lua_State* new_state(Ledger* ledger, bool libs = true);

// The budget globals of one slice, saved and restored around each test.
struct BudgetScope {
    int32_t c, m, s;
    BudgetScope();
    ~BudgetScope();
};

// A fresh counting state per test, with a budget no test reaches by accident.
struct LedgerStateTest : ::testing::Test {
    BudgetScope scope;
    Ledger ledger;
    lua_State* L = nullptr;
    void SetUp() override;
    void TearDown() override;
};

// Sets up a slice (cycles used, budget) and resumes the thread with nargs
// already pushed. The caller reads cpu_cycles afterwards.
int resume_slice(lua_State* L, int32_t used, int32_t budget, int nargs, int* nres);

// Loads text as a function on L's stack; fails the test on a syntax error.
void load_text(lua_State* L, const std::string& text, const char* name = "=test");

// Runs the chunk on top of L to the end in slices of the given budget,
// collecting all garbage between slices; returns its results joined by
// "," (error text prefixed with "error: "). budget 0 runs it in one slice.
std::string run_in_slices(lua_State* L, int32_t budget, int* slices = nullptr);

// Core internals, kept out of the test files (macro-heavy headers).
int current_opcode(lua_State* L);                 // opcode about to run in a count hook
int opcode_is_cheap(int op);                      // the refunded (1-cycle) opcodes
void* grow_vector(lua_State* L, void* block, int nelems, int* size, int elem_size);
void* shrink_vector(lua_State* L, void* block, int* size, int final_n, int elem_size);
void new_long_string(lua_State* L, size_t len);   // pushes a long string object
void resize_string_table(lua_State* L, int nsize);
int string_table_size(lua_State* L);
int opcode_count();
int opcode_number(const char* name);              // by its listed name, or -1
int opcode_mode(int op);
// The vectors of the function at stack index idx and of all its nested
// functions, each with its element count (prototype objects as count -1).
struct VectorRef { void* block; int count; const char* what; };
std::vector<VectorRef> function_vectors(lua_State* L, int idx);
