// The process table, slices under the virtual CPU budget, and memory accounting.
#include "kernel/process.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "arrays/typed_array.h"
#include "audio/sonk.h"
#include "dialect/charge.h"
#include "dialect/vm_budget.h"
#include "graphics/graphics.h"
#include "host/capture.h"
#include "host/host.h"
#include "kernel/api.h"
#include "kernel/boot.h"
#include "kernel/messages.h"
#include "kernel/sat.h"
#include "kernel/state.h"
#include "storage/pdisk.h"
#include "lua.h"
#include "lauxlib.h"
#include "lualib.h"

int32_t cpu_cycles;
int32_t cpu_cycles_max;
int32_t cpu_superyielding;
int32_t total_frame_cycles;

Process* process[MAX_PROCESSES];
int32_t num_processes;
int32_t process_id = 1;
Process* cproc;

// Error texts are cut to this size before they are logged and reported.
static constexpr size_t REPORT_SCRATCH = 16384;

int32_t get_total_frame_cycles() { return total_frame_cycles; }

void charge_native_work(lua_State* L, int64_t n) {
    if (n < 0) n = 0;
    if (cproc && cproc->running && (int64_t)cpu_cycles + n - cpu_cycles_max > VM_RUNAWAY_CYCLES) {
        spend_cpu(1024);  // a refusal is an error raised: it is not free either
        luaL_error(L, VM_RUNAWAY_MESSAGE);
    }
    spend_cpu(n);
}

// Thrown by the panic handler of process states, so an error raised outside
// any protected call unwinds to the kernel instead of aborting the host.
struct ProcessPanic {};
static int process_panic(lua_State*) { throw ProcessPanic{}; }

// The process whose slice is running (innermost), or none.
static Process* slice_process;

// Cleanup work done for p is paid by the user process that caused it: the one
// whose slice is running (it killed p or ran p's slice), else p's parent (it
// made p). System processes are never charged for a program's cleanup.
static void charge_cleanup(const Process* p, int32_t used) {
    if (used <= 0) return;
    if (slice_process && slice_process != p && get_process_index(slice_process) >= 0 && slice_process->pid >= 4) {
        cpu_cycles = sat_add_i32(cpu_cycles, used);
        return;
    }
    Process* parent = get_process(p->parent_pid);
    if (parent && parent != p && parent->pid >= 4) parent->debt = sat_add_i32(parent->debt, used);
}

// Lua code the kernel runs in p's state outside its slice (finalizers, error
// descriptions, end-of-slice collections), for the life of this record: p is
// marked running, and the code gets a budget of its own, so that a forced
// yield it causes doesn't land on whoever is running. It can't yield, so it
// is stopped once it has used one frame's worth of cycles (the limit is set so
// that every check takes the slow path, where the stop is; this code is rare).
// What it used is then charged by charge_cleanup.
struct OwnBudget {
    Process* p;
    int32_t cycles = cpu_cycles, max = cpu_cycles_max, super = cpu_superyielding, room = vm_runaway_room_given;
    explicit OwnBudget(Process* q) : p(q) {
        cpu_cycles = 0;
        cpu_cycles_max = (int32_t)(FRAME_CYCLES - VM_RUNAWAY_CYCLES);
        cpu_superyielding = 0;
        vm_runaway_room_given = 0;
        p->running++;
    }
    ~OwnBudget() {
        p->running--;
        int32_t used = std::max(cpu_cycles, 0);
        cpu_cycles = cycles;
        cpu_cycles_max = max;
        cpu_superyielding = super;
        vm_runaway_room_given = room;
        charge_cleanup(p, used);
    }
};

// Records whose states are being closed, innermost last: a finalizer may free
// other records, and the current process is restored only if it still exists.
static Process* closing[MAX_PROCESSES + 1];
static int closing_count;

static bool still_exists(Process* q) {
    if (get_process_index(q) >= 0) return true;
    for (int i = 0; i < closing_count; i++)
        if (closing[i] == q) return true;
    return false;
}

// --- table -------------------------------------------------------------------

Process* get_process(uint64_t pid) {
    for (int i = 0; i < num_processes; i++)
        if (process[i]->pid == pid) return process[i];
    return nullptr;
}

Process* get_process_by_index(int32_t i) { return i >= 0 && i < num_processes ? process[i] : nullptr; }
int32_t get_process_count() { return num_processes; }

int32_t get_process_index(const Process* p) {
    for (int i = 0; i < num_processes; i++)
        if (process[i] == p) return i;
    return -1;
}

void set_current_process(Process* p) {
    if (!p) {
        printf("\n** ASSERT failed: %s :: %s:%d in %s()\n\n", "proc", __FILE__, __LINE__, __func__);
        orvanta_terminate(1);
    }
    cproc = p;
}

static void copy_name(char* dst, size_t cap, const char* s) {
    size_t n = s ? strnlen(s, cap - 1) : 0;
    if (n) memcpy(dst, s, n);
    dst[n] = 0;
}

int init_process(Process* p, uint64_t pid, const char* source, size_t len, const char* name, const char* path) {
    memset(p, 0, sizeof *p);
    p->pid = pid;
    copy_name(p->name, sizeof p->name, name);
    copy_name(p->path, sizeof p->path, path);
    p->is_system = strncmp(p->path, "/system/", 8) == 0;
    p->parent_pid = cproc ? cproc->pid : 0;
    strcpy(p->cwd, "/");

    Process* prev = cproc;
    cproc = p;
    lua_State* L = lua_newstate(l_alloc, p);
    if (!L) {
        cproc = prev;
        return 1;
    }
    p->L = L;
    lua_atpanic(L, process_panic);
    try {
        luaL_openlibs(L);
        api_add_c_functions(L);
        os_add_public_c_functions(L);
        add_userdata_metatable_functions(L);
    } catch (const ProcessPanic&) {
        lua_close(L);
        p->L = nullptr;
        cproc = prev;
        return 1;
    }

    // A source that alone would pass the memory limit is not even copied.
    if ((int64_t)len <= PROCESS_MEMORY_LIMIT - PROCESS_FIXED_MEMORY) p->source = (char*)malloc(len + 1);
    if (p->source) {
        memcpy(p->source, source, len);
        p->source[len] = 0;
        p->source_len = len;
    }
    char chunkname[80];
    snprintf(chunkname, sizeof chunkname, "@%s", p->name);
    // Text only: a binary chunk would be unverified bytecode.
    if (!p->source || luaL_loadbufferx(L, source, len, chunkname, "t") != LUA_OK) {
        const char* msg = p->source ? lua_tostring(L, -1) : "not enough memory";
        char text[REPORT_SCRATCH];
        copy_name(text, sizeof text, msg ? msg : "?");
        report_error("*syntax error");
        report_error(text);
        tolo_debug("syntax error. ** could not create process **\n");
        tolo_debugf("%s\n", text);
        free(p->source);
        p->source = nullptr;
        p->source_len = 0;
        lua_close(L);
        p->L = nullptr;
        cproc = prev;
        return 1;
    }
    p->queue = create_buffer_2(QUEUE_START_SIZE, BUF_TAG_QUEUE);
    mem_init_process(p);
    p->ram_bytes = 65536;
    p->state = PROC_RUNNING;
    generate_default_wavetable(p);
    generate_default_audio_data(p);
    cproc = prev;
    return 0;
}

Process* create_process_from_code_len(const char* source, size_t len, const char* name, const char* path) {
    int32_t pid = process_id;
    // The next pid advances even when creation fails.
    process_id = process_id < INT32_MAX ? process_id + 1 : process_id;
    tolo_debugf("creating process %d %s %s\n", pid, name, path);
    if (num_processes >= MAX_PROCESSES) return nullptr;
    Process* p = (Process*)calloc(1, sizeof(Process));
    if (!p) return nullptr;
    process[num_processes++] = p;
    if (init_process(p, (uint64_t)pid, source, len, name, path) != 0) {
        num_processes--;
        process[num_processes] = nullptr;
        free(p);
        return nullptr;
    }
    return p;
}

Process* create_process_from_code(const char* source, const char* name, const char* path) {
    return create_process_from_code_len(source, strlen(source), name, path);
}

void free_process(Process* p) {
    if (!p) return;
    if (p->L) {
        Process* prev = cproc;
        cproc = p;
        // Finalizers run now, with a budget of their own; nothing may free or
        // resume this state meanwhile.
        {
            OwnBudget own(p);
            if (closing_count < MAX_PROCESSES + 1) closing[closing_count++] = p;
            lua_close(p->L);
            closing_count--;
        }
        p->L = nullptr;
        // A finalizer may have removed the process that was current.
        cproc = prev && (prev == p || still_exists(prev)) ? prev : nullptr;
    }
    mem_free_process(p);
    destroy_buffer(p->queue);
    p->queue = nullptr;
    free(p->source);
    p->source = nullptr;
}

// Takes a record that is not running out of the table, then frees it: its
// finalizers may use the table, which is consistent by then.
static void remove_process(Process* p) {
    int i = get_process_index(p);
    if (i < 0) return;
    for (int j = i; j < num_processes - 1; j++) process[j] = process[j + 1];
    process[--num_processes] = nullptr;
    if (app.exclusive_pid == (int64_t)p->pid) app.exclusive_pid = 0;
    if (root_process == p) root_process = nullptr;
    free_process(p);
    if (cproc == p) cproc = nullptr;
    free(p);
}

void kill_process(Process* p) {
    if (!p || p->pid == 1) return;  // the root can't be killed: nothing would schedule the rest
    if (p->running) {
        p->pending_kill = 1;  // takes effect when its resume returns
        return;
    }
    remove_process(p);
}

void kill_process_by_id(uint64_t pid) { kill_process(get_process(pid)); }

void restart_process(Process* p) {
    // The root's body came from /system/boot.lua, not from its source copy: a
    // restart would bring back only the placeholder chunk, so it is refused.
    if (!p || p->pid == 1) return;
    if (p->running) {
        p->pending_restart = 1;
        return;
    }
    uint64_t pid = p->pid;
    size_t len = p->source_len;
    char* source = (char*)malloc(len + 1);
    if (!source) return;
    if (p->source) memcpy(source, p->source, len);
    source[len] = 0;
    char name[64], path[256];
    memcpy(name, p->name, sizeof name);
    memcpy(path, p->path, sizeof path);
    if (app.audio_focus_pid == (int64_t)pid) {
        os_lock_audio();
        sonk_kill_all_audio();
        os_unlock_audio();
    }
    app.audio_focus_pid = -2;
    app.last_synced_audio_pid = -3;  // the mixer's copy is of the old memory: sync in full next time
    free_process(p);
    if (init_process(p, pid, source, len, name, path) == 0) mem_write8(p, 0x547F, 1);
    free(source);
}

int process_open_libs(Process* p) {
    Process* prev = cproc;
    cproc = p;
    int ok = 1;
    try {
        luaL_openlibs(p->L);
    } catch (const ProcessPanic&) {
        ok = 0;
    }
    cproc = prev;
    return ok;
}

void processes_init() {
    // From the last record to the first, each out of the table before it is freed.
    while (num_processes > 0) {
        Process* p = process[--num_processes];
        process[num_processes] = nullptr;
        if (root_process == p) root_process = nullptr;
        free_process(p);
        if (cproc == p) cproc = nullptr;
        free(p);
    }
    num_processes = 0;
    process_id = 1;
    cproc = nullptr;
    slice_process = nullptr;
    root_process = nullptr;
    video_mode = 0;
}

// --- slices --------------------------------------------------------------------

int64_t q64_intp(lua_State* L, int index, int64_t dflt) {
    // Integers, integral floats and strings of them convert exactly; other
    // numbers (and numeric strings) are floored.
    int ok = 0;
    lua_Integer i = lua_tointegerx(L, index, &ok);
    if (ok) return (int64_t)i;
    lua_Number n = lua_tonumberx(L, index, &ok);
    if (ok) return sat_floor((double)n);
    return dflt;
}

static void cut_copy(char* dst, const char* src) { copy_name(dst, REPORT_SCRATCH, src ? src : ""); }

[[noreturn]] static void fatal_process_error(const char* banner, const char* msg, bool print_msg) {
    if (print_msg) printf("%s\n%s\n", banner, msg);
    else printf("%s\n", banner);
    tolo_debugf("%s\n", banner);
    tolo_debugf("%s\n", msg);
    // Files written so far are not lost with the program, nor are captures running.
    capture_finish_all();
    flush_dirty_mounts_immediately(1);
    orvanta_terminate(0);
}

static char error_msg[REPORT_SCRATCH], error_trace[REPORT_SCRATCH];


// Turns the error object (argument 2) into text and takes the traceback of
// the failed thread (argument 1); run protected, since a __tostring
// metamethod or an allocation may fail here too.
static int describe_error(lua_State* L) {
    lua_State* failed = (lua_State*)lua_touserdata(L, 1);
    cut_copy(error_msg, luaL_tolstring(L, 2, nullptr));
    luaL_traceback(L, failed, nullptr, 0);
    cut_copy(error_trace, lua_tostring(L, -1));
    return 0;
}

// Returns true when the process was removed.
static bool error_path(Process* p, int status) {
    lua_State* L = p->L;
    p->state = PROC_ERROR;
    char* msg = error_msg;
    char* trace = error_trace;
    msg[0] = trace[0] = 0;
    // A plain string needs no allocation to copy, even with no memory left.
    if (lua_type(L, -1) == LUA_TSTRING) cut_copy(msg, lua_tostring(L, -1));
    // A fresh thread of the same state reads the failed one, which can't run code.
    const char* type_name = luaL_typename(L, -1);
    {
        OwnBudget own(p);
        try {
            lua_State* T = lua_newthread(L);
            lua_pushcfunction(T, describe_error);
            lua_pushlightuserdata(T, L);
            lua_pushvalue(L, -2);
            lua_xmove(L, T, 1);
            lua_pcall(T, 2, 0, 0);
            lua_pop(L, 1);
        } catch (const ProcessPanic&) {
        }
    }
    if (!msg[0]) snprintf(msg, REPORT_SCRATCH, "(error object is a %s value)", type_name);
    tolo_debugf("run_process_slice() for process %ld error: %d %s\n", (long)p->pid, status, msg);
    tolo_debugf("--------\ntraceback:\n%s\n---------\n", trace);
    char* sys = strstr(trace, "/system/");
    if (sys) *sys = 0;
    report_error("*runtime error");
    report_error(msg);
    report_error(trace);
    if (p->pid == 1) fatal_process_error("** RUNTIME ERROR IN KERNEL **", msg, false);
    if (p->pid == 3) fatal_process_error("** RUNTIME ERROR IN WINDOW MANAGER **", msg, true);
    if (p->pid < 4) return false;
    remove_process(p);
    return true;
}

static void out_of_memory_path(Process* p) {
    p->state = PROC_FINISHED;
    report_error("*runtime error: out of memory");
    // Without the root nothing schedules the rest: the program ends instead.
    if (p->pid == 1) fatal_process_error("** RUNTIME ERROR IN KERNEL **", "out of memory", false);
    remove_process(p);
}

// Cycles charged in this frame past the budgets of the slices that ran: native calls
// that overshot. Beyond the limit no user slice starts until the next frame, so no
// number of processes can make one frame's host work long.
static int64_t frame_overrun;
constexpr int64_t FRAME_OVERRUN_LIMIT = 2 * (int64_t)FRAME_CYCLES;

int32_t run_process_slice(Process* p, double fraction, lua_State* from) {
    Process* caller = cproc;
    if (!p || p->running) return 0;  // a running state is never resumed again
    if (p->pid >= 4 && app.exclusive_pid && app.exclusive_pid != (int64_t)p->pid) return 0;
    if (p->pid >= 4 && frame_overrun > FRAME_OVERRUN_LIMIT) return 0;
    if (!config.headless && p->pid >= 4 && !app.boot_finished && boot_get_time() < 1250) return 0;
    if (p->state != PROC_RUNNING || !p->L) return 0;

    cproc = p;
    p->slices = sat_add_i32(p->slices, 1);
    int64_t budget = sat_f2i(std::trunc(fraction * FRAME_CYCLES));
    if (budget > FRAME_CYCLES) budget = FRAME_CYCLES;
    budget = std::min<int64_t>(budget, (int64_t)FRAME_CYCLES - total_frame_cycles);
    if (budget <= 0) {
        cproc = caller;
        return 0;
    }

    int32_t saved_cycles = cpu_cycles, saved_max = cpu_cycles_max, saved_super = cpu_superyielding;
    int32_t saved_room = vm_runaway_room_given, saved_held = vm_budget_held;
    vm_runaway_room_given = 0;
    vm_budget_held = 0;  // this process's coroutines yield with it, whoever runs the slice
    cpu_cycles_max = (int32_t)budget;
    int32_t d = std::min(p->debt, MAX_DEBT);
    cpu_cycles = std::max(0, std::min((int32_t)budget, d));
    p->debt = d - cpu_cycles;
    cpu_superyielding = 0;

    lua_State* L = p->L;
    int status = LUA_YIELD;
    Process* saved_slice = slice_process;
    slice_process = p;
    // A user process whose whole slice goes to its debt does not run: even one
    // instruction could be another call as costly as the one it is paying for.
    if (p->pid < 4 || cpu_cycles < cpu_cycles_max) {
        int nres = 0;
        p->running++;
        // The resuming thread carries the C-call depth across nested slices.
        if (!from && caller) from = caller->L;
        status = lua_resume(L, from, 0, &nres);
        p->running--;
        if (status == LUA_YIELD && nres > 0) lua_pop(L, nres);
    }

    int32_t used = cpu_cycles;
    if (used > cpu_cycles_max) {
        frame_overrun += (int64_t)used - cpu_cycles_max;
        p->debt = sat_add_i32(p->debt, (int64_t)used - cpu_cycles_max);
        used = cpu_cycles_max + 1;
    }
    cpu_cycles = saved_cycles;
    cpu_cycles_max = saved_max;
    cpu_superyielding = saved_super;
    vm_runaway_room_given = saved_room;
    vm_budget_held = saved_held;
    slice_process = saved_slice;

    p->cycles_frame = sat_add_i32(p->cycles_frame, used);
    p->cycles_since_flip = sat_add_i32(p->cycles_since_flip, used);
    // Only a caller whose own slice is running is charged (top-level slices charge no one).
    if (caller && caller != p && caller->running) {
        caller->cycles_frame = sat_add_i32(caller->cycles_frame, used);
        caller->cycles_since_flip = sat_add_i32(caller->cycles_since_flip, used);
    }
    total_frame_cycles = sat_add_i32(total_frame_cycles, used);

    // A kill or restart asked for while the state ran takes effect now.
    if (p->pending_kill) {
        cproc = caller;
        remove_process(p);
        return used;
    }
    if (p->pending_restart) {
        p->pending_restart = 0;
        cproc = caller;
        restart_process(p);
        return used;
    }

    bool oom = p->out_of_memory != 0;
    if (!oom && process_memory_used(p) > PROCESS_MEMORY_LIMIT) {
        {
            OwnBudget own(p);
            lua_gc(L, LUA_GCCOLLECT);
        }
        oom = process_memory_used(p) > PROCESS_MEMORY_LIMIT;
    }
    bool gone = false;
    if (oom) {
        out_of_memory_path(p);
        gone = true;
    } else if (status == LUA_OK) {
        p->state = PROC_FINISHED;
        if (p->pid == 1) {
            // The root ended: nothing is left to schedule, so the program ends in order.
            orvanta_exit();
            orvanta_terminate(0);
        }
        remove_process(p);
        gone = true;
    } else if (status != LUA_YIELD) {
        gone = error_path(p, status);
    }
    // Requests made by code that ran during the collection or the error report.
    if (!gone && p->pending_kill) {
        remove_process(p);
    } else if (!gone && p->pending_restart) {
        p->pending_restart = 0;
        restart_process(p);
    }
    cproc = caller;
    return used;
}

void prepare_processes_for_frame() {
    for (int i = 0; i < num_processes; i++) {
        Process* p = process[i];
        p->cycles_last_frame = p->cycles_frame;
        p->cycles_frame = 0;
        if (p->flipped) {
            p->fps = (int32_t)(60 / ((int64_t)p->frames_waited + 1));
            p->flipped = 0;
            p->frames_waited = 0;
            p->cycles_since_flip = 0;
        } else if (p->frames_waited < INT32_MAX) {
            p->frames_waited++;
        }
    }
    total_frame_cycles = 0;
    frame_overrun = 0;
    cpu_cycles = 0;  // charges made outside any slice don't build up across frames
}

void update_processes_after_frame() {
    for (int i = 0; i < num_processes; i++) {
        Process* p = process[i];
        uint64_t step = (uint64_t)std::min<int64_t>((int64_t)p->frames_waited + 1, 3);
        if (p->flipped) p->frame_clock += step;
        if (app.slow_mode) p->frame_clock += step;
    }
    for (int i = 0; i < num_processes; i++) {
        Process* p = process[i];
        if (p->state != PROC_RUNNING) continue;
        cproc = p;
        if (p->L && !p->running && (mem_read8(p, 0x547F) & 1)) lua_gc(p->L, LUA_GCINC, 107, 18, 0);
    }
    // Rescanned after each removal: finalizers may change the table.
    for (bool again = true; again;) {
        again = false;
        for (int i = num_processes - 1; i >= 0; i--)
            if (process[i]->out_of_memory && !process[i]->running) {
                remove_process(process[i]);
                again = true;
                break;
            }
    }
    process_heap_tidy();
    audio_op_start(0, 1);
    os_unlock_audio();
    if (Process* wm = get_process(3))
        os_lock_mouse_cursor(mem_read8(wm, 0x5F2D), mem_read8(wm, 0x5F28), mem_read8(wm, 0x5F29));
}

// --- audio focus -----------------------------------------------------------------
// The mirror must end up holding each synced page as the focus serves it: its served
// bytes, then the rest from its backing page or zeros. Pages are compared first, without
// the audio lock (only this thread writes the mirror), and only those that differ are
// written, under it. The work is charged to the call that asked for it.

static uint16_t sync_pages[PAGE_COUNT];  // pages to write in this sync

static bool mirror_holds_page(const PagedAddressSpace& m, int j) {
    uint32_t addr = (uint32_t)j * PAGE_SIZE;
    int32_t len = m.page[j] ? m.page_len[j] : 0;
    if (len > 0 && !sonk_mirror_equals(addr, m.page[j], (uint32_t)len)) return false;
    if (len >= PAGE_SIZE) return true;
    return sonk_mirror_equals(addr + len, m.backing[j] ? m.backing[j] + len : nullptr, (uint32_t)(PAGE_SIZE - len));
}

static void sync_page(const PagedAddressSpace* m, int j) {
    uint32_t addr = (uint32_t)j * PAGE_SIZE;
    int32_t len = m && m->page[j] ? m->page_len[j] : 0;
    if (len > 0) sonk_memcpy(addr, m->page[j], (uint32_t)len);
    if (len < PAGE_SIZE) {
        if (m && m->backing[j]) sonk_memcpy(addr + len, m->backing[j] + len, (uint32_t)(PAGE_SIZE - len));
        else sonk_memset(addr + len, 0, (uint32_t)(PAGE_SIZE - len));
    }
}

// Inside a slice the running call pays; the end-of-frame sync is paid by the focus
// process from its next slices.
static void charge_audio_sync(Process* focus, int64_t bytes) {
    int64_t cycles = charge_fast_bytes((size_t)bytes);
    if (cycles <= 0) return;
    if (cproc && cproc->running) spend_cpu(cycles);
    else if (focus) focus->debt = sat_add_i32(focus->debt, cycles);
}

void audio_op_start(int64_t pid, int full) {
    if (pid > 0) app.audio_focus_pid = pid;
    Process* p = get_process((uint64_t)app.audio_focus_pid);
    int n = 0;
    int64_t bytes = 0;  // compared, then written
    if (app.audio_focus_pid <= 0 || !p) {
        if (app.audio_focus_pid != -2)
            for (int j = 0; j < PAGE_COUNT; j++)
                if (!sonk_mirror_page_zero((uint32_t)j)) sync_pages[n++] = (uint16_t)j;
        os_lock_audio();
        for (int i = 0; i < n; i++) sync_page(nullptr, sync_pages[i]);
        app.audio_focus_pid = -2;
        sonk_kill_all_audio();
        charge_audio_sync(nullptr, (int64_t)n * PAGE_SIZE);
        return;
    }
    PagedAddressSpace& m = p->mem;
    bool changed = app.audio_focus_pid != app.last_synced_audio_pid;
    if (changed || full) {
        bytes += PAGE_COUNT / 8;  // the marks, a word at a time
        for (int w = 0; w < PAGE_COUNT; w += 8) {
            uint64_t marks;
            memcpy(&marks, m.flag + w, sizeof marks);
            if (!changed && !(marks & 0x0101010101010101ull)) continue;
            for (int j = w; j < w + 8; j++) {
                if (!changed && !(m.flag[j] & 1)) continue;
                m.flag[j] &= (uint8_t)~1;
                bool empty = !(m.page[j] && m.page_len[j] > 0) && !m.backing[j];
                if (empty && sonk_mirror_page_zero((uint32_t)j)) continue;
                bytes += PAGE_SIZE;
                if (!mirror_holds_page(m, j)) sync_pages[n++] = (uint16_t)j;
            }
        }
    }
    os_lock_audio();
    for (int i = 0; i < n; i++) sync_page(&m, sync_pages[i]);
    if (changed) sonk_kill_all_audio();
    app.last_synced_audio_pid = app.audio_focus_pid;
    charge_audio_sync(p, bytes + (int64_t)n * PAGE_SIZE);
}

void audio_op_end() { os_unlock_audio(); }
