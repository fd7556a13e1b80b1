// An in-process kernel for Lua-level tests: no ROM, no window, no sound.
//
//   ASSERT_TRUE(harness_boot(R"( _printh("hi") flip() _printh(t()) )"));
//   harness_run_frames(2);
//   EXPECT_EQ(harness_lines(), (std::vector<std::string>{"hi", "0.016666666666667"}));
//
// harness_boot resets the process table and the system flags (as a reboot
// does, without sysrom.dat) and makes the root process, pid 1, whose body is
// the given text (chunk name "@/system/boot.lua"). Each frame is the kernel's
// own: prepare_processes_for_frame, the root's full-frame slice (it schedules
// any other process itself with _run_process_slice), update_processes_after_frame.
//
// - Config is headless, so user processes start without the boot-time hold;
//   the app-data and desktop folders are a private temporary folder, removed
//   when the test program ends.
// - The body runs under pcall: an error in it is printed as a line
//   "harness: error: <message>" and the root then idles (flips every frame)
//   instead of ending the program, as does a body that returns.
// - _printh lines are captured, not written to standard output.
// - Kernel-fatal paths (an error or out-of-memory in pid 3, or in the root
//   outside the body's pcall) still end the test program: test those with
//   EXPECT_EXIT.
#pragma once
#include <string>
#include <vector>

// False when the text does not compile; error (optional) gets the message.
bool harness_boot(const std::string& boot_lua, std::string* error = nullptr);
// Runs up to n frames; stops early once an exit or reboot is requested and no
// exclusive process holds it back. Returns the frames run.
int harness_run_frames(int n);
// True once the body has returned or failed.
bool harness_body_done();
// Everything _printh printed since boot, each call one line ending in "\n".
const std::string& harness_output();
std::vector<std::string> harness_lines();
void harness_clear_output();
// Frees every process and restores standard output for _printh.
void harness_shutdown();

// Evaluates each Lua expression in the root's first frame and returns one
// text per expression: its results joined by ", ", "(none)" for no result,
// "error: <message>" when it raises. Values are written as integers ("3"),
// floats with 17 digits and a ".0" when whole ("3.0", "0.10000000000000001",
// "-0.0", "inf", "nan"), strings in %q form, nil, true/false, and tables as
// {sequence..., key=value...} with string keys sorted.
// prelude is Lua run before the cases (it may define locals as globals).
std::vector<std::string> harness_eval(const std::vector<std::string>& exprs, const std::string& prelude = "");
// A float as harness_eval writes it (for expected values computed in C++).
std::string harness_float(double v);
