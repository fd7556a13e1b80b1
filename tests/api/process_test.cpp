// Process control from Lua: creating, slicing, killing, halting and querying
// processes, settings and signals. The root (pid 1) is the test's scheduler;
// its first child is pid 2.
#include <sys/stat.h>
#include <cstring>
#include "cases.h"
#include "graphics/memory.h"
#include "kernel/process.h"
#include "kernel/state.h"
#include "lua.h"

using Lines = std::vector<std::string>;

// Slices end early only where the bytecode loop charges and yields.
static bool loop_charges() {
    processes_init();
    create_process_from_code("", "[root]", "[root]");  // pid 1 must not be the probe: its end ends the program
    Process* p = create_process_from_code("for i = 1, 1000 do end", "probe", "probe");
    bool charged = p && run_process_slice(p, 1.0) > 1000;
    processes_init();
    return charged;
}

#define REQUIRE_CHARGED_LOOP() \
    if (!loop_charges()) GTEST_SKIP() << "the Lua core does not charge cycles yet"

static Lines run(const std::string& boot, int frames) {
    std::string err;
    if (!harness_boot(boot, &err)) return {"boot error: " + err};
    harness_run_frames(frames);
    return harness_lines();
}

TEST(ProcessControl, SliceReturnShapes) {
    REQUIRE_CHARGED_LOOP();
    Lines got = run(R"LUA(
        local function show(...) local t = table.pack(...) local s = {}
          for i = 1, t.n do s[i] = type(t[i]) == 'number' and string.format('%.3f', t[i]) or tostring(t[i]) end
          _printh(#s == 0 and '(none)' or table.concat(s, ' ')) end
        local pid = _create_process_from_code("_printh('child 1') flip() _printh('child 2')", 'child', '/c.lua')
        _printh(pid .. ' ' .. _process_state(pid))
        show(_run_process_slice(99, 1))
        show(_run_process_slice(pid, 0))
        show(_run_process_slice(pid, -1))
        show(_run_process_slice(pid, 0/0))
        local done, cpu = _run_process_slice(pid, 1)
        _printh(tostring(done) .. ' ' .. tostring(cpu > 0 and cpu < 0.1))
        show(_run_process_slice(pid, 1))   -- flipped this frame: not run again
        flip()
        show(_run_process_slice(pid, 1))   -- returns from its chunk: gone
        _printh(_process_state(pid))
    )LUA", 3);
    EXPECT_EQ(got, (Lines{"2 0", "true 0.000 _run_process_slice: bad process id",
                          "(none)", "(none)", "(none)", "child 1", "true true", "true 0.000", "child 2",
                          "true 0.000 _run_process_slice: could not find lua state", "-1"}));
    harness_shutdown();
}

TEST(ProcessControl, FractionIsClampedAndTheFrameBudgetShared) {
    REQUIRE_CHARGED_LOOP();
    Lines got = run(R"LUA(
        local spin = _create_process_from_code('while true do end', 'spin', '/spin.lua')
        local done, a = _run_process_slice(spin, 2)
        local done2, b = _run_process_slice(spin, 1)
        _printh(tostring(done) .. ' ' .. tostring(a > 0.999 and a < 1.0001) .. ' ' .. tostring(done2) .. ' ' .. b)
        flip()
        local _, c = _run_process_slice(spin, 0.25)
        _printh(tostring(c > 0.249 and c < 0.2501))
    )LUA", 2);
    EXPECT_EQ(got, (Lines{"false true false 0.0", "true"}));
    harness_shutdown();
}

TEST(ProcessControl, RunningProcessesAreNotResumed) {
    REQUIRE_CHARGED_LOOP();
    Lines got = run(R"LUA(
        local d, u = _run_process_slice(1, 1)
        _printh(tostring(d) .. ' ' .. u)
        local c = _create_process_from_code(
          "local d, u = _run_process_slice(1, 1) _printh('nested ' .. tostring(d) .. ' ' .. u)", 'c', '/c.lua')
        _run_process_slice(c, 1)
        _printh('root still here')
    )LUA", 1);
    EXPECT_EQ(got, (Lines{"true 0.0", "nested true 0.0", "root still here"}));
    harness_shutdown();
}

TEST(ProcessControl, KillRestartAndHalt) {
    REQUIRE_CHARGED_LOOP();
    Lines got = run(R"LUA(
        local a = _create_process_from_code("_printh('a starts') while true do flip() end", 'a', '/a.lua')
        _run_process_slice(a, 1)
        _kill_process(a, 7)                      -- unknown mode: nothing
        _kill_process(98)                        -- unknown pid: nothing
        _printh(_process_state(a))
        flip()
        _kill_process(a, 1)                      -- restart: same pid, from the top
        _printh(_process_state(a))
        _run_process_slice(a, 1)
        _kill_process(a)
        _printh(_process_state(a))
        local s = _create_process_from_code("_printh('s1') _kill_process(3) _printh('s2')", 's', '/s.lua')
        _printh(s)
        _printh(select(3, _run_process_slice(s, 1)))
        _printh(_process_state(s))
        local h = _create_process_from_code("_printh('h1') _halt() _printh('h2')", 'h', '/h.lua')
        local d = _run_process_slice(h, 1)
        _printh(tostring(d) .. ' ' .. _process_state(h))
        flip()
        local d2, u2 = _run_process_slice(h, 1)
        _printh(tostring(d2) .. ' ' .. u2 .. ' ' .. _process_state(h))
        _kill_process(h)
        _printh(_process_state(h))
    )LUA", 3);
    EXPECT_EQ(got, (Lines{"a starts", "0", "0", "a starts", "-1", "3", "s1",
                          "_run_process_slice: could not find lua state", "-1", "h1", "true 1", "true 0.0 1",
                          "-1"}));
    harness_shutdown();
}

TEST(ProcessControl, SameSeedSameSequenceInTwoProcesses) {
    REQUIRE_CHARGED_LOOP();
    Lines got = run(R"LUA(
        local src = "srand(7) _printh(rnd() .. ' ' .. rnd(100) .. ' ' .. rnd({1, 2, 3}))"
        _run_process_slice(_create_process_from_code(src, 'x', '/x.lua'), 1)
        _run_process_slice(_create_process_from_code(src, 'y', '/y.lua'), 1)
    )LUA", 1);
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0], got[1]);
    harness_shutdown();
}

TEST(ProcessControl, QueriesAndStrindex) {
    ASSERT_TRUE(harness_boot(R"LUA(
        local c = _create_process_from_code('flip()', 'kid', '/apps/kid.lua')
        _printh(table.concat({_get_process_display_size(1)}, ' '))
        _printh(table.concat({_get_process_display_size(99)}, ' '))
        for _, p in ipairs(_get_process_list()) do
          _printh(table.concat({p.id, p.name, p.prog, p.pwd, p.priority, math.type(p.cpu), tostring(p.memory > 524288)}, ' '))
        end
        _printh(tostring(_strindex('abc', 0)) .. tostring(_strindex('abc', 4)) .. tostring(_strindex('abc')))
        _printh(_strindex('abc', 2.7) .. _strindex('abc', 1) .. _strindex('abc', '3') .. _strindex(123, 1))
        _printh(tostring(_strindex({}, 1)))
        _printh(_process_state(99))
    )LUA"));
    // Display size: signed 16-bit words at 0x5478 and 0x547A.
    const uint8_t size[] = {0xE0, 0x01, 0xFF, 0xFF};
    for (int i = 0; i < 4; i++) mem_write8(root_process, 0x5478 + i, size[i]);
    harness_run_frames(1);
    EXPECT_EQ(harness_lines(), (Lines{"480 -1", "0 0", "1 [root] [root] / 1 float true",
                                      "2 kid /apps/kid.lua / 1 float true", "nilnilnil", "bac1", "nil", "-1"}));
    harness_shutdown();
}

TEST(ProcessControl, ApplySystemSettings) {
    ASSERT_TRUE(harness_boot(R"LUA(
        _apply_system_settings({volume = 300, fullscreen = true, pixel_scale = 2.5, [1] = 5,
                                swap_stereo = 'yes', deadzone = 3.0, mute_audio = 1e300})
        _printh('applied')
    )LUA"));
    config.pixel_scale = 7;
    config.swap_stereo = 1;
    config.mute_audio = 1;
    harness_run_frames(1);
    EXPECT_EQ(harness_lines(), Lines{"applied"});
    EXPECT_EQ(config.volume, 256);
    EXPECT_EQ(config.fullscreen, 1);
    EXPECT_EQ(config.pixel_scale, 0);  // a number with a fraction gives 0
    EXPECT_EQ(config.swap_stereo, 0);  // neither boolean nor number gives 0
    EXPECT_EQ(config.deadzone, 3);
    EXPECT_EQ(config.mute_audio, 0);   // too big for an integer

    ASSERT_TRUE(harness_boot("_apply_system_settings(5) _apply_system_settings({fullscreen = false})"));
    testing::internal::CaptureStdout();
    harness_run_frames(1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "** lua54__apply_system_settings failed; not a table\n");
    EXPECT_EQ(config.fullscreen, 0);
    harness_shutdown();
}

TEST(ProcessControl, SignalFlags) {
    struct Case {
        int code;
        int32_t* flag;
    } cases[] = {
        {33, &app.exit_request},       {34, &app.reboot_request},    {35, &app.striped_boot_lines},
        {36, &app.signal_36},          {37, &app.show_wm_video},     {39, &app.no_new_cart_mounts},
        {21, &app.screenshot_pending},
    };
    for (const Case& c : cases) {
        ASSERT_TRUE(harness_boot("_signal(" + std::to_string(c.code) + ")"));
        harness_run_frames(1);
        EXPECT_EQ(*c.flag, 1) << c.code;
    }
    // Unknown codes and a failed GIF start change nothing.
    ASSERT_TRUE(harness_boot("_signal(18) _signal(19) _signal(0) _signal(-5) _signal('x') _signal()"
                             " _printh(stat(320) .. ' ' .. stat(986)) _signal(36) _printh(stat(986))"));
    AppState before = app;
    harness_run_frames(1);
    EXPECT_EQ(app.gif_recording, 0);
    EXPECT_EQ(before.exit_request | app.exit_request | app.reboot_request, 0);
    EXPECT_EQ(harness_lines(), (Lines{"0.0 0.0", "1.0"}));
    harness_shutdown();
}

TEST(ProcessControl, ExclusiveProcessHoldsExitBack) {
    REQUIRE_CHARGED_LOOP();
    ASSERT_TRUE(harness_boot("_signal(40) _signal(33) for i = 1, 3 do flip() end _signal(41) flip()"));
    EXPECT_EQ(harness_run_frames(3), 3);
    EXPECT_EQ(app.exclusive_pid, 1);
    EXPECT_EQ(app.exit_request, 1);
    EXPECT_LT(harness_run_frames(10), 10);  // stops once pid 1 gives the exclusive slot up
    EXPECT_EQ(app.exclusive_pid, 0);
    harness_shutdown();
}

TEST(ProcessControl, BaselineIsRecordedOnce) {
    REQUIRE_CHARGED_LOOP();
    ASSERT_TRUE(harness_boot("_signal(38) flip() junk = {} for i = 1, 1000 do junk[i] = {i} end _signal(38) flip()"));
    harness_run_frames(1);
    int64_t first = root_process->baseline;
    EXPECT_GT(first, 0);
    harness_run_frames(1);
    EXPECT_EQ(root_process->baseline, first);
    EXPECT_GT(root_process->heap_bytes, first);
    harness_shutdown();
}

TEST(ProcessControl, DesktopSignalMakesTheFolder) {
    ASSERT_TRUE(harness_boot("_signal(65)"));
    std::string folder = std::string(config.desktop) + "/orvanta_desktop";
    harness_run_frames(1);
    struct stat st {};
    EXPECT_EQ(stat(folder.c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));
    harness_shutdown();
}

TEST(ProcessControl, FlipHeldFrameBit) {
    REQUIRE_CHARGED_LOOP();
    ASSERT_TRUE(harness_boot("flip(1) flip(2) flip(1) flip()"));
    struct Step {
        uint8_t before, after;
    } steps[] = {{0x02, 0x02}, {0x03, 0x01}, {0x02, 0x02}, {0x06, 0x04}};
    for (const Step& s : steps) {
        mem_write8(root_process, 0x547F, s.before);
        harness_run_frames(1);
        EXPECT_EQ(mem_read8(root_process, 0x547F), s.after) << (int)s.before;
    }
    harness_shutdown();
}

TEST(ProcessControl, EscapeSliceFlag) {
    ASSERT_TRUE(harness_boot("_yielded_to_escape_slice(0) local a = _yielded_to_escape_slice()"
                             " _yielded_to_escape_slice(2.5) local b = _yielded_to_escape_slice()"
                             " local c = _yielded_to_escape_slice(1, 2)"
                             " _yielded_to_escape_slice(-0.5) local d = _yielded_to_escape_slice()"
                             " _printh(tostring(a) .. ' ' .. tostring(b) .. ' ' .. tostring(c) .. ' ' .. tostring(d))"));
    harness_run_frames(1);
    EXPECT_EQ(harness_lines(), Lines{"false true true false"});
    harness_shutdown();
}

// A finalizer that kills processes while the list is being built must not
// leave it reading freed records: the list is what the table held at the call.
TEST(ProcessControl, ProcessListSurvivesFinalizersThatKill) {
    Lines got = run(R"LUA(
        for i = 2, 41 do _create_process_from_code('flip()', 'kid' .. i, '/k.lua') end
        setmetatable({}, {__gc = function() for pid = 2, 41 do _kill_process(pid) end fired = true end})
        local list
        for i = 1, 100000 do
          list = _get_process_list()
          if fired then break end
        end
        local ok = #list == 41
        for i, p in ipairs(list) do ok = ok and p.id == i and p.name == (i == 1 and '[root]' or 'kid' .. i) end
        _printh(tostring(fired) .. ' ' .. #list .. ' ' .. tostring(ok) .. ' ' .. #_get_process_list())
    )LUA", 1);
    EXPECT_EQ(got, Lines{"true 41 true 1"});
    harness_shutdown();
}

// A half-frame slice shows in the frame's total at once and in the list's cpu
// figure (last frame's cycles) of both the child and the root that ran it.
TEST(ProcessControl, CpuFiguresCountSlices) {
    REQUIRE_CHARGED_LOOP();
    Lines got = run(R"LUA(
        local spin = _create_process_from_code('while true do end', 'spin', '/spin.lua')
        _run_process_slice(spin, 0.5)
        local near = function(x, v) return tostring(x >= v and x < v + 0.01) end
        _printh(near(stat(301), 0.5))
        flip()
        local l = _get_process_list()
        _printh(near(l[2].cpu, 0.5) .. ' ' .. near(l[1].cpu, 0.5))
    )LUA", 2);
    EXPECT_EQ(got, (Lines{"true", "true true"}));
    harness_shutdown();
}

// Creation returns nothing for a source that doesn't compile (its pid is used
// up all the same) and for arguments that aren't strings or numbers.
TEST(ProcessControl, CreateRefusals) {
    Lines got = run(R"LUA(
        local function n(...) return select('#', ...) end
        _printh(n(_create_process_from_code('x = = 1', 'bad', '/bad.lua')) .. ' ' ..
                n(_create_process_from_code('flip()', {}, '/t.lua')) .. ' ' ..
                n(_create_process_from_code(nil, 'n', '/n.lua')) .. ' ' ..
                tostring(_create_process_from_code('flip()', 34, 56)))
        local l = _get_process_list()
        _printh(#l .. ' ' .. l[2].name .. ' ' .. l[2].prog)
    )LUA", 1);
    EXPECT_EQ(got, (Lines{"0 0 0 3", "2 34 56"}));
    harness_shutdown();
}
