// Process table, slices, CPU and memory accounting.
#pragma once
#include <cstdint>
#include "kernel/buffer.h"
#include "kernel/cpu.h"
#include "graphics/draw_context.h"
#include "graphics/memory.h"
#include "graphics/print.h"
#include "graphics/sprites.h"

struct lua_State;

constexpr int MAX_PROCESSES = 512;
constexpr int64_t PROCESS_MEMORY_LIMIT = 33554432;  // 32 MB
constexpr int64_t PROCESS_FIXED_MEMORY = 524288;    // counted for every process

enum : int32_t { PROC_RUNNING = 0, PROC_FINISHED = 1, PROC_ERROR = 2 };

// Eight players' sixteen buttons (0..255), mirrored to 0x5580 by each update.
struct ButtonBlock {
    uint8_t previous[8][16];
    uint8_t current[8][16];
    uint8_t suppress[8][16];  // reads 0 until released
    int32_t repeat[128];      // btnp counters, 16 * player + button; -1 never repeats
};

struct Process {
    uint64_t pid;
    uint64_t parent_pid;
    char name[64];
    char path[256];
    int32_t is_system;
    int32_t state;
    lua_State* L;
    char* source;          // owned copy, kept for restart_process
    size_t source_len;
    char cwd[256];
    uint64_t frame_clock;  // frames of 1/60 s
    int32_t cycles_frame;
    int32_t cycles_last_frame;
    int32_t cycles_since_flip;
    int32_t flipped;
    int32_t frames_waited;
    int32_t fps;
    int32_t debt;
    int32_t slices;
    PagedAddressSpace mem;
    DrawContext draw;
    SpriteTable spr;
    PrintContext print;
    ByteBuffer* queue;     // NUL-separated orb texts
    uint64_t rng[4];       // xoshiro256** state
    int64_t heap_bytes;
    int64_t baseline;
    int64_t ram_bytes;
    int64_t out_of_memory;
    // Set while this process's Lua state is being resumed (it or a nested
    // slice is on the C stack), so it is never freed or resumed again.
    int32_t running;
    // Deferred by a kill or restart of a running process.
    int32_t pending_kill;
    int32_t pending_restart;
    // stat 400-415 and 464 caches, refilled once per frame clock (clock + 1; 0 = never).
    int32_t chan_state[16][19];
    uint64_t chan_state_clock;
    int32_t chan_mask;
    uint64_t chan_mask_clock;
    ButtonBlock buttons;
};

extern Process* process[MAX_PROCESSES];  // dense; records never move in memory
extern int32_t num_processes;
extern int32_t process_id;
extern Process* cproc;

void processes_init();
Process* create_process_from_code(const char* source, const char* name, const char* path);
Process* create_process_from_code_len(const char* source, size_t len, const char* name, const char* path);
int init_process(Process* p, uint64_t pid, const char* source, size_t len, const char* name, const char* path);
void free_process(Process* p);
void kill_process(Process* p);
void kill_process_by_id(uint64_t pid);
void restart_process(Process* p);
Process* get_process(uint64_t pid);
Process* get_process_by_index(int32_t i);
int32_t get_process_count();
int32_t get_process_index(const Process* p);
void set_current_process(Process* p);
// from: the thread that asks for the slice (its C-call depth carries over); by
// default the caller's main thread.
int32_t run_process_slice(Process* p, double fraction, lua_State* from = nullptr);
// Opens the library set in an existing process state, protected; 0 on failure.
int process_open_libs(Process* p);
void prepare_processes_for_frame();
void update_processes_after_frame();
void audio_op_start(int64_t pid, int full);
void audio_op_end();
int64_t process_memory_used(const Process* p);

// Integer argument reader used by most API functions.
int64_t q64_intp(lua_State* L, int index, int64_t dflt);

// The process allocator installed in every process state.
void* l_alloc(void* ud, void* block, size_t osize, size_t nsize, int retry_flag, uint64_t charged_size);
// Whether its blocks come from a heap apart from the system allocator's.
bool process_heap_separate();
// Gives the host back what frees left empty a while ago; called every frame,
// does its work at most twice a second.
void process_heap_tidy();
