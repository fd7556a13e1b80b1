// A program run through the starter system headless: what it draws reaches the
// window manager's screen (pid 3), which video out shows.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

namespace {

std::string run_program(const std::string& source) {
    char t[] = "/tmp/orv_e2e_desktop_XXXXXX";
    std::string dir = mkdtemp(t);
    mkdir((dir + "/drive").c_str(), 0755);
    std::ofstream(dir + "/drive/prog.lua") << source;
    std::string cmd = "SDL_VIDEODRIVER=dummy SDL_AUDIODRIVER=dummy timeout 60 " ORVANTA_BIN " -x -home '" + dir +
                      "' /prog.lua > '" + dir + "/out.txt' 2>&1";
    int rc = system(cmd.c_str());
    std::ifstream f(dir + "/out.txt");
    std::stringstream s;
    s << f.rdbuf();
    system(("rm -rf '" + dir + "'").c_str());
    EXPECT_TRUE(WIFEXITED(rc) && WEXITSTATUS(rc) == 0) << s.str();
    return s.str();
}

}  // namespace

TEST(DesktopE2E, ProgramDrawingShowsInTheWindowManagersScreen) {
    std::string out = run_program(R"LUA(
cls(0) rectfill(10, 20, 29, 39, 8) pset(100, 100, 12) circfill(200, 150, 10, 11) line(0, 269, 479, 269, 9)
for i = 1, 3 do flip() end
local function wm(x, y) return _ppeek(3, 0x10000 + y * 480 + x) end
_printh("full " .. wm(10, 20) .. " " .. wm(29, 39) .. " " .. wm(30, 40) .. " " .. wm(100, 100) .. " "
  .. wm(200, 150) .. " " .. wm(210, 150) .. " " .. wm(211, 150) .. " " .. wm(479, 269))
-- A smaller display: the window manager copies only that much and draws its desktop around it.
local s = userdata("u8", 100, 50) _map_ram(s, 0x10000) _set_draw_target(s) poke2(0x5478, 100, 50)
cls(0) rectfill(10, 20, 29, 39, 8)
for i = 1, 3 do flip() end
_printh("small " .. wm(10, 20) .. " " .. wm(100, 100) .. " " .. wm(99, 49) .. " " .. wm(100, 49))
-- Headless, the boot finishes by video out's rule: pid 3 and 2.2 s of boot frames.
for i = 1, 140 do flip() end
_printh("boot " .. stat(985))
)LUA");
    EXPECT_NE(out.find("full 8 8 0 12 11 11 0 9\n"), std::string::npos) << out;
    EXPECT_NE(out.find("small 8 1 0 1\n"), std::string::npos) << out;
    EXPECT_NE(out.find("boot 1.0\n"), std::string::npos) << out;
}

TEST(DesktopE2E, ProgramsPrintAndErrorReportsShowOnTheDesktop) {
    std::string out = run_program(R"LUA(
local function ink(y0, y1, x0, x1)
  local n = 0
  for y = y0, y1 do for x = x0 or 0, x1 or 479 do if pget(x, y) ~= 0 then n += 1 end end end
  return n
end
cls(0)
print("hello")
?"second line"
_printh("lines " .. ink(0, 8) .. " " .. ink(9, 17) .. " " .. peek4(0x54F4))
print("there", 100, 100, 8)
_printh("placed " .. ink(100, 108, 100, 130) .. " " .. pget(100, 100) .. " " .. ink(100, 108, 0, 99))
-- Printing at the cursor past the bottom scrolls the screen up.
cls(0)
for i = 1, 40 do print("line " .. i, 12) end
_printh("scrolled " .. peek4(0x54F4) .. " " .. ink(261, 269) .. " " .. ink(0, 8))
-- Text of several lines scrolls by all of them.
print("A\nB\nC")
_printh("lines3 " .. peek4(0x54F4) .. " " .. ink(243, 251) .. " " .. ink(252, 260) .. " " .. ink(261, 269))
-- A failing program's report appears at the foot of the window manager's screen.
_create_process_from_code("error('boom')", "bad", "/bad.lua")
for i = 1, 4 do flip() end
local yellow, panel = 0, 0
for y = 200, 269 do for x = 0, 479 do
  local c = _ppeek(3, 0x10000 + y * 480 + x)
  if c == 10 then yellow += 1 elseif c == 2 then panel += 1 end
end end
_printh("report " .. (yellow > 50 and "text" or "none") .. " " .. (panel > 1000 and "panel" or "none"))
)LUA");
    EXPECT_NE(out.find("lines "), std::string::npos) << out;
    int a = 0, b = 0, y = 0;
    ASSERT_EQ(sscanf(out.c_str() + out.find("lines "), "lines %d %d %d", &a, &b, &y), 3) << out;
    EXPECT_GT(a, 20);
    EXPECT_GT(b, 40);
    EXPECT_EQ(y, 18);
    int placed = 0, first = 0, left = 0;
    ASSERT_EQ(sscanf(out.c_str() + out.find("placed "), "placed %d %d %d", &placed, &first, &left), 3) << out;
    EXPECT_GT(placed, 20);
    EXPECT_EQ(left, 0);
    int sy = 0, bottom = 0, top = 0;
    ASSERT_EQ(sscanf(out.c_str() + out.find("scrolled "), "scrolled %d %d %d", &sy, &bottom, &top), 3) << out;
    EXPECT_EQ(sy, 270);
    EXPECT_GT(bottom, 20);
    EXPECT_GT(top, 20);
    int y3 = 0, l1 = 0, l2 = 0, l3 = 0;
    ASSERT_EQ(sscanf(out.c_str() + out.find("lines3 "), "lines3 %d %d %d %d", &y3, &l1, &l2, &l3), 4) << out;
    EXPECT_EQ(y3, 270);
    EXPECT_GT(l1 * l2 * l3, 0);
    EXPECT_NE(out.find("report text panel\n"), std::string::npos) << out;
    EXPECT_NE(out.find("boom"), std::string::npos) << out;  // headless: also on standard output
}
