// The real program on temporary -home folders: files, cartridges and error reports.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>

namespace {

std::string slurp(const std::string& p) {
    std::ifstream f(p, std::ios::binary);
    if (!f) return "<missing>";
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

void spit(const std::string& p, const std::string& s) {
    std::ofstream f(p, std::ios::binary);
    f << s;
}

struct Home {
    std::string dir;
    Home() {
        char t[] = "/tmp/orv_e2e_storage_XXXXXX";
        dir = mkdtemp(t);
        mkdir((dir + "/drive").c_str(), 0755);
    }
    ~Home() {
        std::string cmd = "rm -rf '" + dir + "'";
        if (system(cmd.c_str()) != 0) ADD_FAILURE() << cmd;
    }
    std::string drive(const std::string& name) const { return dir + "/drive/" + name; }
    // The command that runs a program of the drive headless; output goes to dir/out.txt.
    std::string command(const std::string& prog) const {
        return "SDL_VIDEODRIVER=dummy SDL_AUDIODRIVER=dummy timeout 60 " ORVANTA_BIN " -x -home '" + dir + "' " +
               prog + " > '" + dir + "/out.txt' 2>&1";
    }
    std::string run(const std::string& prog, int* status = nullptr) const {
        int rc = system(command(prog).c_str());
        if (status) *status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
        return slurp(dir + "/out.txt");
    }
};

TEST(StorageE2E, ProgramUsesRamAndDrive) {
    Home h;
    spit(h.drive("prog.lua"), R"LUA(
store("/ram/a.txt", "in ram", '--[[orb_format="raw",metadata_format="none"]]')
store("/notes.txt", "on disk", '--[[orb_format="raw",metadata_format="none"]]')
store("/ram/t.orb", {x = 1, y = "two"})
local t = fetch("/ram/t.orb")
_printh("table " .. t.x .. " " .. t.y)
_printh("ram " .. fetch("/ram/a.txt"))
mkdir("/box")
cp("/ram/a.txt", "/box/copy.txt")
cp("/notes.txt", "/ram/notes2.txt")
_printh("copied " .. fetch("/ram/notes2.txt"))
local names, folders = ls("/")
_printh("root " .. table.concat(names, ",") .. " " .. folders)
_fdelete("/box/copy.txt")
_printh("after delete " .. tostring(fetch("/box/copy.txt") == nil))
_printh("pwd " .. pwd())
)LUA");
    spit(h.drive("old.txt"), "x");
    int status = -1;
    std::string out = h.run("/prog.lua", &status);
    EXPECT_EQ(status, 0) << out;
    EXPECT_NE(out.find("table 1 two\n"), std::string::npos) << out;
    EXPECT_NE(out.find("ram in ram\n"), std::string::npos) << out;
    EXPECT_NE(out.find("copied on disk\n"), std::string::npos) << out;
    EXPECT_NE(out.find("root box,ram,system,notes.txt,old.txt,prog.lua 3\n"), std::string::npos) << out;
    EXPECT_NE(out.find("after delete true\n"), std::string::npos) << out;
    EXPECT_NE(out.find("pwd /\n"), std::string::npos) << out;
    EXPECT_EQ(slurp(h.drive("notes.txt")), "on disk");
    EXPECT_EQ(slurp(h.drive("box/copy.txt")), "<missing>");
    struct stat st;
    EXPECT_EQ(stat(h.drive("box").c_str(), &st), 0);
}

TEST(StorageE2E, CartridgeIsWrittenBackWhileTheProgramRuns) {
    Home h;
    std::string cart = "orvanta cartridge // x\nversion 2\n\n:: main.lua\n_printh('cart runs in ' .. pwd())\n"
                       ":: data.txt\nold\n:: [eoc]\n";
    spit(h.drive("game.q64"), cart);
    spit(h.drive("edit.lua"), R"LUA(
_printh("data " .. fetch("/game.q64/data.txt"))
store("/game.q64/data.txt", "new", '--[[orb_format="raw",metadata_format="none"]]')
_printh("written")
while not fetch("/stop.txt") do flip() end
)LUA");
    std::string cmd = h.command("/edit.lua") + " &";
    ASSERT_EQ(system(cmd.c_str()), 0);
    bool changed = false;
    for (int i = 0; i < 200 && !changed; i++) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        changed = slurp(h.drive("game.q64")).find("\nnew\n") != std::string::npos;
    }
    std::string out = slurp(h.dir + "/out.txt");
    EXPECT_TRUE(changed) << out;
    spit(h.drive("stop.txt"), "stop");  // the program exits now
    for (int i = 0; i < 200 && slurp(h.dir + "/out.txt").find("written") == std::string::npos; i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    out = slurp(h.dir + "/out.txt");
    EXPECT_NE(out.find("data old\n"), std::string::npos) << out;
    EXPECT_NE(out.find("written\n"), std::string::npos) << out;
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    std::string now = slurp(h.drive("game.q64"));
    EXPECT_NE(now.find(":: main.lua\n_printh('cart runs in ' .. pwd())\n"), std::string::npos) << now;
    // The cartridge itself runs from the start path, in its own folder.
    out = h.run("/game.q64");
    EXPECT_NE(out.find("cart runs in /game.q64\n"), std::string::npos) << out;
}

TEST(StorageE2E, RuntimeErrorIsReportedAndTheSystemGoesOn) {
    Home h;
    spit(h.drive("err.lua"), R"LUA(
local child = _create_process_from_code("local x = nil\nx.field = 1", "bad", "/bad.lua")
for i = 1, 5 do flip() end
_printh("still here " .. tostring(_process_state(child)))
)LUA");
    int status = -1;
    std::string out = h.run("/err.lua", &status);
    EXPECT_EQ(status, 0) << out;
    EXPECT_NE(out.find("*runtime error"), std::string::npos) << out;
    EXPECT_NE(out.find("attempt to index a nil value"), std::string::npos) << out;
    EXPECT_NE(out.find("still here -1\n"), std::string::npos) << out;
    EXPECT_LT(out.find("*runtime error"), out.find("still here")) << out;
}

TEST(StorageE2E, ProgramsThatCannotRunStillLetTheSystemExit) {
    Home h;
    spit(h.drive("syntax.lua"), "x = = 1");
    struct { const char* prog; const char* says; } cases[] = {
        {"/nothing.lua", "could not run /nothing.lua"},
        {"/syntax.lua", "*syntax error"},
        {"/nothing.q64", "could not run /nothing.q64"},
    };
    for (auto& c : cases) {
        int status = -1;
        std::string out = h.run(c.prog, &status);
        EXPECT_EQ(status, 0) << c.prog;
        EXPECT_NE(out.find(c.says), std::string::npos) << c.prog << ": " << out;
    }
}

TEST(StorageE2E, StartPathForms) {
    Home h;
    mkdir(h.drive("d").c_str(), 0755);
    spit(h.drive("d/UP.LUA"), "_printh('up runs in ' .. pwd())");
    for (const char* prog : {"/d/UP.LUA", "d/UP.LUA"}) {
        std::string out = h.run(prog);
        EXPECT_NE(out.find("up runs in /d\n"), std::string::npos) << prog << ": " << out;
    }
}

}  // namespace
