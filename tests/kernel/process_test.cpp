#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "audio/sonk_engine.h"
#include "graphics/memory.h"
#include "kernel/process.h"
#include "kernel/state.h"
#include "lua.h"
#include "lauxlib.h"
#include "lualib.h"

namespace {

// The first 64 KB, the default instrument's page and the 136 wavetable pages.
constexpr int64_t NEW_RAM_BYTES = 65536 + 137 * 4096;

std::vector<std::string> printed;

int t_burn(lua_State* L) {
    spend_cpu(luaL_checkinteger(L, 1));
    return 0;
}

int t_slice(lua_State* L) {
    Process* p = get_process((uint64_t)luaL_checkinteger(L, 1));
    lua_pushinteger(L, run_process_slice(p, luaL_optnumber(L, 2, 1.0)));
    return 1;
}

int t_kill(lua_State* L) {
    kill_process_by_id((uint64_t)luaL_checkinteger(L, 1));
    return 0;
}

int t_restart(lua_State* L) {
    restart_process(get_process((uint64_t)luaL_checkinteger(L, 1)));
    return 0;
}

int t_out(lua_State* L) {
    printed.push_back(luaL_tolstring(L, 1, nullptr));
    return 0;
}

int t_cycles(lua_State* L) {
    lua_pushinteger(L, cpu_cycles);
    return 1;
}

int t_yield(lua_State* L) {
    cpu_superyielding = SUPERYIELD;
    return 0;
}

class ProcessTest : public ::testing::Test {
protected:
    void SetUp() override {
        config_set_defaults();
        config.headless = 1;
        strcpy(config.home, "/tmp/orvanta_process_test/");
        system("mkdir -p /tmp/orvanta_process_test");
        memset(&app, 0, sizeof app);
        app.audio_focus_pid = -2;
        processes_init();
        total_frame_cycles = 0;
        printed.clear();
    }
    void TearDown() override { processes_init(); }

    // Creates a process whose program can call the test functions.
    Process* spawn(const char* code, const char* name = "t") {
        Process* p = create_process_from_code(code, name, "/t.lua");
        if (!p) return nullptr;
        lua_State* L = p->L;
        lua_register(L, "burn", t_burn);
        lua_register(L, "slice", t_slice);
        lua_register(L, "kill", t_kill);
        lua_register(L, "restart", t_restart);
        lua_register(L, "out", t_out);
        lua_register(L, "cycles", t_cycles);
        lua_register(L, "yield_now", t_yield);
        return p;
    }

    // Fills pids 1..3 with idle system processes so a test's process is a user process.
    void system_trio() {
        for (int i = 0; i < 3; i++) spawn("while true do yield_now() end", "sys");
    }
};

TEST_F(ProcessTest, PidsRecordsAndRemoval) {
    system_trio();
    Process* a = spawn("out('a')");  // pid 4
    Process* b = spawn("while true do yield_now() end");  // pid 5
    EXPECT_EQ(a->pid, 4u);
    EXPECT_EQ(b->pid, 5u);
    EXPECT_EQ(get_process_index(b), 4);
    EXPECT_EQ(std::string(a->cwd), "/");
    EXPECT_EQ(a->ram_bytes, NEW_RAM_BYTES);
    EXPECT_EQ(a->mem.flag[8], 0x02);
    // A process whose chunk returns is gone after its slice; later records move down.
    run_process_slice(a, 1.0);
    EXPECT_EQ(get_process(4), nullptr);
    EXPECT_EQ(get_process_index(b), 3);
    EXPECT_EQ(printed, std::vector<std::string>{"a"});
    // A syntax error makes no process but uses up its pid.
    EXPECT_EQ(spawn("x = = 1"), nullptr);
    EXPECT_EQ(spawn("")->pid, 7u);
    // Binary chunks are refused.
    EXPECT_EQ(spawn("\x1bLua"), nullptr);
}

TEST_F(ProcessTest, DebtFromOverrun) {
    system_trio();
    Process* p = spawn("burn(279620 + 1000) out(cycles()) while true do yield_now() end");
    prepare_processes_for_frame();
    int32_t used = run_process_slice(p, 1.0);
    EXPECT_EQ(used, FRAME_CYCLES + 1);
    EXPECT_GE(p->debt, 1000);
    EXPECT_LE(p->debt, 1020);
    int32_t debt = p->debt;
    prepare_processes_for_frame();
    run_process_slice(p, 1.0);
    // The next slice starts with the debt already spent.
    ASSERT_EQ(printed.size(), 1u);
    EXPECT_GE(std::stoi(printed[0]), debt);
    EXPECT_LT(std::stoi(printed[0]), debt + 40);
    EXPECT_EQ(p->debt, 0);

    // A huge debt is read as ten frames' worth.
    p->debt = 3000000;
    prepare_processes_for_frame();
    run_process_slice(p, 1.0);
    EXPECT_GE(p->debt, MAX_DEBT - FRAME_CYCLES);
    EXPECT_LE(p->debt, MAX_DEBT - FRAME_CYCLES + 10);
}

// Work that overshoots a slice is paid for before the process runs again, and a
// frame's overshoots together are bounded: no number of processes makes one frame long.
TEST_F(ProcessTest, OvershootsArePaidBeforeRunningAndBoundedPerFrame) {
    system_trio();
    const char* costly = "while true do out(pid()) burn(279620 * 3 // 2) end";
    Process* a = spawn(costly);  // pid 4
    Process* b = spawn(costly);  // pid 5
    Process* c = spawn(costly);  // pid 6
    prepare_processes_for_frame();
    run_process_slice(a, 0.1);
    run_process_slice(b, 0.1);
    run_process_slice(c, 0.1);  // two overshoots of one and a half frames: c waits for the next frame
    EXPECT_EQ(printed, (std::vector<std::string>{"4", "5"}));
    EXPECT_EQ(c->debt, 0);
    // In debt for its whole slice, a does not run at all, not even one call.
    printed.clear();
    prepare_processes_for_frame();
    int32_t paid = run_process_slice(a, 0.1);
    EXPECT_EQ(paid, (int32_t)(0.1 * FRAME_CYCLES));
    run_process_slice(c, 0.1);
    EXPECT_EQ(printed, (std::vector<std::string>{"6"}));
    // The system's own processes run whatever the frame's overshoot.
    Process* sys = get_process(2);
    int32_t before = sys->slices;
    run_process_slice(b, 0.1);
    run_process_slice(sys, 0.1);
    EXPECT_EQ(sys->slices, before + 1);
}

TEST_F(ProcessTest, FrameBudgetIsShared) {
    system_trio();
    Process* p = spawn("while true do burn(100000) end");
    prepare_processes_for_frame();
    EXPECT_EQ(run_process_slice(p, 0.0), 0);
    EXPECT_EQ(run_process_slice(p, -1.0), 0);
    int32_t first = run_process_slice(p, 0.5);
    EXPECT_GT(first, 139810);
    int32_t second = run_process_slice(p, 1.0);
    // The second slice gets only what the first left of the frame.
    EXPECT_LE(second, FRAME_CYCLES - first + 1);
    EXPECT_EQ(run_process_slice(p, 1.0), 0);
    EXPECT_EQ(total_frame_cycles, first + second);
}

TEST_F(ProcessTest, NestedSlicesRestoreTheCallersBudget) {
    system_trio();
    Process* inner = spawn("while true do burn(1000) end");  // pid 4
    Process* outer = spawn(
        "local before = cycles() local used = slice(4, 0.1) out(used) "
        "out(cycles() - before < 1000 and 'kept' or 'lost') while true do yield_now() end");
    prepare_processes_for_frame();
    run_process_slice(outer, 1.0);
    ASSERT_EQ(printed.size(), 2u);
    int used = std::stoi(printed[0]);
    EXPECT_GE(used, 27962);
    EXPECT_EQ(printed[1], "kept");
    // The outer process is charged for the inner slice too.
    EXPECT_GE(outer->cycles_frame, used);
    EXPECT_EQ(inner->cycles_frame, used);
}

TEST_F(ProcessTest, RunningStatesAreNeverResumedOrFreed) {
    system_trio();
    // pid 4 tries to resume itself, kill itself and restart itself from inside its slice.
    Process* p = spawn("out(slice(4)) kill(4) out('after kill') while true do yield_now() end");
    prepare_processes_for_frame();
    run_process_slice(p, 1.0);
    EXPECT_EQ(printed, (std::vector<std::string>{"0", "after kill"}));
    EXPECT_EQ(get_process(4), nullptr);

    Process* q = spawn("out('start') restart(5) yield_now() out('old body') while true do yield_now() end");
    prepare_processes_for_frame();
    run_process_slice(q, 1.0);
    // The restart took effect when the slice ended: a fresh state runs the body again.
    Process* again = get_process(5);
    ASSERT_EQ(again, q);
    EXPECT_EQ(again->state, PROC_RUNNING);
    lua_register(again->L, "out", t_out);
    lua_register(again->L, "restart", [](lua_State*) { return 0; });
    lua_register(again->L, "yield_now", t_yield);
    prepare_processes_for_frame();
    run_process_slice(again, 1.0);
    EXPECT_EQ(printed, (std::vector<std::string>{"0", "after kill", "start", "start"}));

    // The root can't be killed or restarted.
    Process* root = get_process(1);
    lua_State* root_state = root->L;
    kill_process_by_id(1);
    restart_process(root);
    EXPECT_EQ(get_process(1), root);
    EXPECT_EQ(root->L, root_state);
}

TEST_F(ProcessTest, RuntimeErrorsRemoveUserProcessesOnly) {
    spawn("while true do yield_now() end");       // pid 1
    Process* pm = spawn("error('pm broke')");  // pid 2
    spawn("while true do yield_now() end");       // pid 3
    Process* user = spawn("local t = nil; return t.x");
    prepare_processes_for_frame();
    run_process_slice(pm, 1.0);
    EXPECT_EQ(pm->state, PROC_ERROR);
    EXPECT_EQ(get_process(2), pm);
    EXPECT_EQ(run_process_slice(pm, 1.0), 0);
    run_process_slice(user, 1.0);
    EXPECT_EQ(get_process(4), nullptr);
}

TEST_F(ProcessTest, ErrorsInRootOrWindowManagerEndTheProgram) {
    EXPECT_EXIT(
        {
            Process* root = spawn("error('boom')");
            run_process_slice(root, 1.0);
        },
        ::testing::ExitedWithCode(0), "");
    EXPECT_EXIT(
        {
            spawn("");
            spawn("");
            Process* wm = spawn("local x = {} .. 1");
            run_process_slice(wm, 1.0);
        },
        ::testing::ExitedWithCode(0), "");
}

// The source copy kept for a restart counts as the process's memory; a source that
// alone would pass the limit makes no process.
TEST_F(ProcessTest, SourceCopiesCountAgainstTheProcess) {
    system_trio();
    Process* small = spawn("while true do yield_now() end");
    std::string big = "--" + std::string(4 << 20, 'c') + "\nwhile true do yield_now() end";
    Process* large = spawn(big.c_str());
    ASSERT_TRUE(small && large);
    EXPECT_GE(process_memory_used(large) - process_memory_used(small), 4 << 20);
    std::string huge = "--" + std::string(PROCESS_MEMORY_LIMIT, 'c');
    int64_t next = process_id;
    EXPECT_EQ(spawn(huge.c_str()), nullptr);
    EXPECT_EQ(get_process((uint64_t)next), nullptr);
}

TEST_F(ProcessTest, MemoryLimit) {
    system_trio();
    // Keeps every block alive until the process is out of memory.
    Process* p = spawn("local t = {} for i = 1, 1e9 do t[i] = string.rep('x', 1 << 20, tostring(i)) end");
    prepare_processes_for_frame();
    for (int i = 0; i < 200 && get_process(4); i++) {
        prepare_processes_for_frame();
        run_process_slice(p, 1.0);
    }
    EXPECT_EQ(get_process(4), nullptr);

    // One huge request is refused without taking the host's memory, and
    // a string builder that runs out ends the process like any allocation:
    // one report, even when the program catches the error.
    struct Case { const char* prog; size_t outputs; } cases[] = {
        {"local ok = pcall(string.rep, 'x', 1 << 30) out(ok) while true do yield_now() end", 0},
        {"local s = string.rep('x', 40000000)", 0},
        {"local t = {} for i = 1, 4000 do t[i] = ('%d'):rep(2000) end local s = table.concat(t) out(#s)", 0},
    };
    for (const Case& c : cases) {
        const char* prog = c.prog;
        printed.clear();
        ByteBuffer* q3 = get_process(3)->queue;
        q3->length = 0;
        Process* q = spawn(prog);
        uint64_t pid = q->pid;
        for (int i = 0; i < 20 && get_process(pid); i++) {
            prepare_processes_for_frame();
            run_process_slice(q, 1.0);
        }
        EXPECT_EQ(get_process(pid), nullptr) << prog;
        std::string events((const char*)q3->bytes, (size_t)q3->length);
        size_t at = events.find("report_error");
        ASSERT_NE(at, std::string::npos) << prog;
        EXPECT_EQ(events.find("report_error", at + 1), std::string::npos) << events;
        EXPECT_NE(events.find("content=\"*runtime error: out of memory\""), std::string::npos) << events;
        EXPECT_EQ(printed.size(), c.outputs) << prog;
    }
}

TEST_F(ProcessTest, MemoryIsCountedAndFreed) {
    system_trio();
    Process* p = spawn("big = string.rep('y', 1 << 20) yield_now() big = nil collectgarbage() while true do yield_now() end");
    int64_t start = process_memory_used(p);
    EXPECT_EQ(start, p->heap_bytes + NEW_RAM_BYTES + 524288 + (int64_t)p->source_len);
    prepare_processes_for_frame();
    run_process_slice(p, 1.0);
    EXPECT_GT(process_memory_used(p), start + (1 << 20));
    prepare_processes_for_frame();
    run_process_slice(p, 1.0);
    EXPECT_LT(process_memory_used(p), start + (1 << 19));
}

TEST_F(ProcessTest, ExclusiveProcessAndBootHold) {
    system_trio();
    Process* a = spawn("while true do out('a') yield_now() end");  // pid 4
    Process* b = spawn("while true do out('b') yield_now() end");  // pid 5
    app.exclusive_pid = 5;
    prepare_processes_for_frame();
    EXPECT_EQ(run_process_slice(a, 1.0), 0);
    EXPECT_GT(run_process_slice(b, 1.0), 0);
    EXPECT_GT(run_process_slice(get_process(2), 0.1), 0);  // system processes still run
    // Removing the exclusive process clears it.
    kill_process(b);
    EXPECT_EQ(app.exclusive_pid, 0);

    // With a window, user processes wait for 1,250 ms of boot time.
    config.headless = 0;
    app.frame_counter = 1;
    prepare_processes_for_frame();
    EXPECT_EQ(run_process_slice(a, 1.0), 0);
    app.frame_counter = 1 + 76;  // 76 frames = 1261 ms
    EXPECT_GT(run_process_slice(a, 1.0), 0);
}

TEST_F(ProcessTest, FrameBookkeeping) {
    system_trio();
    Process* p = spawn("while true do yield_now() end");
    p->flipped = 1;
    p->frames_waited = 1;
    prepare_processes_for_frame();
    EXPECT_EQ(p->fps, 30);
    EXPECT_EQ(p->frames_waited, 0);
    prepare_processes_for_frame();
    prepare_processes_for_frame();
    prepare_processes_for_frame();
    p->flipped = 1;
    update_processes_after_frame();
    EXPECT_EQ(p->frame_clock, 3u);  // at most 3 frames per flip
    app.slow_mode = 1;
    p->flipped = 0;
    update_processes_after_frame();
    EXPECT_EQ(p->frame_clock, 6u);
}

TEST_F(ProcessTest, ErrorObjectsThatFailToPrint) {
    system_trio();
    const char* bodies[] = {
        "error(setmetatable({}, {__tostring = function() error('again') end}))",
        "error(setmetatable({}, {__tostring = function() return {} end}))",
        "error(setmetatable({}, {__tostring = function() while true do end end}))",
        "error(nil)",
    };
    for (const char* body : bodies) {
        Process* p = spawn(body);
        uint64_t pid = p->pid;
        prepare_processes_for_frame();
        run_process_slice(p, 1.0);
        EXPECT_EQ(get_process(pid), nullptr) << body;
    }
    EXPECT_EQ(get_process_count(), 3);
}

int t_gc_kill(lua_State* L) {
    // A finalizer that reaches the process table while its own process is freed.
    lua_newtable(L);
    lua_newtable(L);
    lua_pushinteger(L, luaL_checkinteger(L, 1));
    lua_pushcclosure(
        L,
        [](lua_State* L) {
            kill_process_by_id((uint64_t)lua_tointeger(L, lua_upvalueindex(1)));
            get_process(999);
            return 0;
        },
        1);
    lua_setfield(L, -2, "__gc");
    lua_setmetatable(L, -2);
    lua_setglobal(L, "keep");
    return 0;
}

TEST_F(ProcessTest, FinalizersThatUseTheTable) {
    system_trio();
    Process* a = spawn("while true do yield_now() end");  // pid 4
    Process* b = spawn("while true do yield_now() end");  // pid 5
    Process* c = spawn("while true do yield_now() end");  // pid 6
    lua_pushcfunction(b->L, t_gc_kill);
    lua_pushinteger(b->L, 4);
    lua_call(b->L, 1, 0);
    kill_process(b);  // its finalizer kills pid 4 while pid 5 is being freed
    EXPECT_EQ(get_process(4), nullptr);
    EXPECT_EQ(get_process(5), nullptr);
    EXPECT_EQ(get_process(6), c);
    EXPECT_EQ(get_process_count(), 4);
    (void)a;
    // The same on a reset of the whole table.
    lua_pushcfunction(c->L, t_gc_kill);
    lua_pushinteger(c->L, 2);
    lua_call(c->L, 1, 0);
    processes_init();
    EXPECT_EQ(get_process_count(), 0);
}

TEST_F(ProcessTest, OutOfMemoryInSystemProcessesRemovesThem) {
    spawn("while true do yield_now() end");  // pid 1
    Process* pm = spawn("local t = {} for i = 1, 1e9 do t[i] = string.rep('x', 1 << 20, tostring(i)) end");
    Process* wm = spawn("local t = {} for i = 1, 1e9 do t[i] = string.rep('x', 1 << 20, tostring(i)) end");
    for (int i = 0; i < 200 && (get_process(2) || get_process(3)); i++) {
        prepare_processes_for_frame();
        if (get_process(2)) run_process_slice(pm, 0.5);
        if (get_process(3)) run_process_slice(wm, 0.5);
    }
    EXPECT_EQ(get_process(2), nullptr);
    EXPECT_EQ(get_process(3), nullptr);
    EXPECT_NE(get_process(1), nullptr);
}

TEST_F(ProcessTest, KillOfARunningAncestorWaitsForItsResume) {
    system_trio();
    Process* outer = spawn("slice(5) out('outer goes on') while true do yield_now() end");  // pid 4
    Process* inner = spawn("kill(4) out('inner') while true do yield_now() end");          // pid 5
    prepare_processes_for_frame();
    run_process_slice(outer, 1.0);
    EXPECT_EQ(get_process(4), nullptr);
    EXPECT_EQ(get_process(5), inner);
    EXPECT_EQ(printed, (std::vector<std::string>{"inner", "outer goes on"}));
}

int clear_calls;
int t_clear_exclusive(lua_State*) {
    if (++clear_calls >= 3) app.exclusive_pid = 0;
    return 0;
}

TEST_F(ProcessTest, ExitRunsUpTo120RoundsForAnExclusiveProcess) {
    root_process = spawn("local n = 0 while true do n = n + 1 out(n) clear(n) yield_now() end");
    lua_register(root_process->L, "clear", [](lua_State*) { return 0; });
    app.exclusive_pid = 9;
    orvanta_exit();
    EXPECT_EQ(printed.size(), 120u);
    printed.clear();
    lua_register(root_process->L, "clear", t_clear_exclusive);
    app.exclusive_pid = 9;
    orvanta_exit();
    EXPECT_EQ(printed.size(), 3u);
}

TEST_F(ProcessTest, NestedSlicesFromCoroutinesKeepTheCStackBounded) {
    system_trio();
    // Each process nests pcalls inside a coroutine, then makes a copy of itself and runs it.
    const char* code =
        "local s = \"local s = %q\\nlocal function nest(n) if n == 0 then local p = _create_process_from_code("
        "string.format(s, s), 'c', '/c.lua') if p then _run_process_slice(p, 1) end else pcall(nest, n - 1) end end\\n"
        "coroutine.wrap(function() nest(150) end)()\\nwhile true do flip() end\\n\"\n"
        "local function nest(n) if n == 0 then local p = _create_process_from_code(string.format(s, s), 'c', '/c.lua') "
        "if p then _run_process_slice(p, 1) end else pcall(nest, n - 1) end end\n"
        "coroutine.wrap(function() nest(150) end)()\nwhile true do flip() end\n";
    Process* top = spawn(code);
    prepare_processes_for_frame();
    run_process_slice(top, 1.0);
    // The chain stops at the C-call limit instead of overflowing the host's stack.
    EXPECT_LT(get_process_count(), 40) << get_process_count();
    EXPECT_GT(get_process_count(), 4);
}

// Cleanup the kernel runs for a process (its error report, its finalizers)
// can't yield: it is stopped after a frame's worth of cycles and paid by the
// user process that caused it, never by a system process.
TEST_F(ProcessTest, CleanupIsBoundedAndPaidByTheUserThatCausedIt) {
    system_trio();
    spawn("error(setmetatable({}, {__tostring = function() while true do end end}))");  // pid 4
    Process* runner = spawn("slice(4) while true do yield_now() end");  // pid 5
    prepare_processes_for_frame();
    run_process_slice(runner, 0.1);
    EXPECT_EQ(get_process(4), nullptr);
    // The slice's runner paid the report, which was stopped.
    EXPECT_GT(runner->debt, FRAME_CYCLES / 2);
    EXPECT_LT(runner->debt, 2 * FRAME_CYCLES);
    EXPECT_EQ(cpu_superyielding, 0);

    // Finalizers of a process that ends in a slice no user process ran: its parent pays.
    Process* parent = spawn("while true do yield_now() end");  // pid 6
    cproc = parent;
    Process* child = spawn("keep = setmetatable({}, {__gc = function() while true do end end})");  // pid 7
    cproc = nullptr;
    ASSERT_EQ(child->parent_pid, parent->pid);
    prepare_processes_for_frame();
    run_process_slice(child, 1.0);
    EXPECT_EQ(get_process(7), nullptr);
    EXPECT_GT(parent->debt, FRAME_CYCLES);
    EXPECT_LT(parent->debt, 3 * FRAME_CYCLES);
    // A system process is never charged for a program's cleanup.
    Process* sys = get_process(2);
    cproc = sys;
    child = spawn("keep = setmetatable({}, {__gc = function() while true do end end})");  // pid 8
    cproc = nullptr;
    run_process_slice(child, 1.0);
    EXPECT_EQ(get_process(8), nullptr);
    EXPECT_EQ(sys->debt, 0);
}

TEST_F(ProcessTest, CurrentProcessSurvivesFinalizersThatKill) {
    system_trio();
    Process* a = spawn("keep = setmetatable({}, {__gc = function() kill(5) out(pid()) end}) "
                       "while true do yield_now() end");  // pid 4
    spawn("while true do yield_now() end");  // pid 5
    prepare_processes_for_frame();
    run_process_slice(a, 1.0);
    kill_process(a);
    EXPECT_EQ(get_process(5), nullptr);
    ASSERT_FALSE(printed.empty());
    EXPECT_EQ(printed.back(), "4");
}

TEST_F(ProcessTest, ResetClearsWhatFinalizersSignal) {
    system_trio();
    Process* a = spawn("keep = setmetatable({}, {__gc = function() _signal(40) _signal(33) _signal(34) end}) "
                       "while true do yield_now() end");
    prepare_processes_for_frame();
    run_process_slice(a, 1.0);
    reset_system_tables();
    EXPECT_EQ(get_process_count(), 0);
    EXPECT_EQ(app.exclusive_pid, 0);
    EXPECT_EQ(app.exit_request, 0);
    EXPECT_EQ(app.reboot_request, 0);
}

TEST_F(ProcessTest, RestartOfTheAudioFocusSyncsInFullAgain) {
    system_trio();
    Process* p = spawn("while true do yield_now() end");
    audio_op_start(4, 1);
    audio_op_end();
    restart_process(p);
    EXPECT_EQ(app.audio_focus_pid, -2);
    EXPECT_EQ(app.last_synced_audio_pid, -3);
}

TEST_F(ProcessTest, AudioFocusSync) {
    system_trio();
    Process* p = spawn("while true do yield_now() end");
    audio_op_start(4, 1);
    audio_op_end();
    EXPECT_EQ(app.audio_focus_pid, 4);
    EXPECT_EQ(app.last_synced_audio_pid, 4);
    // The focus change copied every page and cleared its copy mark.
    EXPECT_EQ(p->mem.flag[8] & 1, 0);
    mem_write8(p, 0x8123, 7);
    EXPECT_EQ(p->mem.flag[8], 0xFF);
    audio_op_start(0, 0);  // not full: nothing copied
    audio_op_end();
    EXPECT_EQ(p->mem.flag[8], 0xFF);
    audio_op_start(0, 1);
    audio_op_end();
    EXPECT_EQ(p->mem.flag[8], 0xFE);
    // A focus that went away falls back to none.
    kill_process(p);
    audio_op_start(0, 1);
    audio_op_end();
    EXPECT_EQ(app.audio_focus_pid, -2);
}

// The mirror as the focus process serves its memory byte by byte (zeros where nothing
// stands), or all zeros without a focus.
bool mirror_is_memory_of(const Process* p) {
    std::vector<uint8_t> want(SONK_RAM_SIZE);
    for (uint32_t a = 0; p && a < SONK_RAM_SIZE;) {
        int32_t avail = 0;
        const uint8_t* v = mem_view(p, a, &avail);
        if (avail <= 0) return false;
        if (v) memcpy(want.data() + a, v, (size_t)avail);
        a += (uint32_t)avail;
    }
    return memcmp(want.data(), mixer.ram, SONK_RAM_SIZE) == 0;
}

// Cycles a sync charged to the focus process (outside any slice it goes to its debt).
int64_t sync_charge(int64_t pid, int full) {
    Process* p = pid > 0 ? get_process((uint64_t)pid) : nullptr;
    int32_t before = p ? p->debt : 0;
    audio_op_start(pid, full);
    audio_op_end();
    return p ? (int64_t)p->debt - before : 0;
}

// Whatever pages a focus change skips or compares, the mirror ends up as a whole copy
// would leave it, and the change costs in proportion to the pages it had to look at.
TEST_F(ProcessTest, AudioFocusMirrorIsTheFocusMemory) {
    system_trio();
    // Pokes, a partial page mapped from an array (later written without change marks),
    // and a process with 1024 mapped pages.
    Process* a = spawn(R"(
        poke(0x41000, 1, 2, 3) poke(0x7FFFF, 9)
        arr = userdata("u8", 5000)
        _map_ram(arr, 0x90000)
        poke(0x90000, 11, 12) poke(0x90000 + 4999, 13)
        while true do yield_now() end)");
    Process* big = spawn(R"(
        big = userdata("u8", 4096 * 1024)
        _map_ram(big, 0xC00000)
        poke(0xC00000, 21) poke(0xFFFFFF, 22)
        while true do yield_now() end)");
    Process* small = spawn("while true do yield_now() end");
    ASSERT_TRUE(a && big && small);
    for (Process* p : {a, big}) run_process_slice(p, 1.0);
    ASSERT_EQ(peek_proc(a, 0x90000 + 4999), 13);
    ASSERT_EQ(peek_proc(big, 0xFFFFFF), 22);
    int64_t ida = (int64_t)a->pid, idbig = (int64_t)big->pid, idsmall = (int64_t)small->pid;

    sync_charge(ida, 1);
    EXPECT_TRUE(mirror_is_memory_of(a));
    // 1024 mapped pages beyond what a has: each one at least compared.
    EXPECT_GE(sync_charge(idbig, 0), 1024 * 4096 / 16);
    EXPECT_TRUE(mirror_is_memory_of(big));
    sync_charge(ida, 0);
    EXPECT_TRUE(mirror_is_memory_of(a));
    // Writes into the mapped array as its own methods make them, without change marks.
    a->mem.page[0x90][100] = 77;
    a->mem.page[0x91][4500 - 4096] = 78;
    poke_proc(a, 0x123456, 5);
    sync_charge(idsmall, 1);
    EXPECT_TRUE(mirror_is_memory_of(small));
    int64_t back = sync_charge(ida, 0);
    EXPECT_TRUE(mirror_is_memory_of(a));
    // Between two ordinary processes only their own few hundred pages are looked at.
    EXPECT_GT(back, 0);
    EXPECT_LE(back, 2 * 300 * 4096 / 16);
    // No change and nothing marked: next to nothing.
    EXPECT_EQ(sync_charge(0, 0), 0);
    EXPECT_LE(sync_charge(0, 1), 64);
    EXPECT_TRUE(mirror_is_memory_of(a));
    // A focus that went away leaves a cleared mirror; the next focus is whole again.
    kill_process(a);
    sync_charge(0, 1);
    EXPECT_EQ(app.audio_focus_pid, -2);
    EXPECT_TRUE(mirror_is_memory_of(nullptr));
    sync_charge(idbig, 1);
    EXPECT_TRUE(mirror_is_memory_of(get_process((uint64_t)idbig)));
}

TEST_F(ProcessTest, IntegerArgumentReader) {
    lua_State* L = luaL_newstate();
    luaL_openlibs(L);
    struct Case {
        const char* expr;
        int64_t want;
    } cases[] = {
        {"return 7", 7},          {"return -2.5", -3},     {"return ' 12 '", 12},
        {"return '3.9'", 3},      {"return 'x'", 99},      {"return nil", 99},
        {"return {}", 99},        {"return 0/0", 0},       {"return 1/0", INT64_MAX},
        {"return -1e300", INT64_MIN}, {"return math.mininteger", INT64_MIN},
    };
    for (const Case& c : cases) {
        ASSERT_EQ(luaL_dostring(L, c.expr), LUA_OK) << c.expr;
        EXPECT_EQ(q64_intp(L, -1, 99), c.want) << c.expr;
        lua_settop(L, 0);
    }
    EXPECT_EQ(q64_intp(L, 5, 42), 42);
    lua_close(L);
}

}  // namespace
