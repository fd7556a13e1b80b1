#include "capture/fixture.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

#include "graphics/gfx.h"
#include "graphics/memory.h"
#include "kernel/messages.h"
#include "kernel/process.h"
#include "kernel/state.h"
#include "lauxlib.h"
#include "lua.h"
#include "storage/pdisk.h"
#include "support/harness.h"

std::string read_host_file(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

void write_host_file(const std::string& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary) << bytes;
}

bool host_file_exists(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

std::vector<std::string> host_folder_names(const std::string& path) {
    std::vector<std::string> names;
    if (DIR* d = opendir(path.c_str())) {
        while (dirent* e = readdir(d))
            if (strcmp(e->d_name, ".") && strcmp(e->d_name, "..")) names.push_back(e->d_name);
        closedir(d);
    }
    std::sort(names.begin(), names.end());
    return names;
}

Decoded decode_image(const std::string& kind, const std::string& host_path) {
    Decoded d;
    // A private file: tests run in parallel and may decode the same picture.
    char raw_name[] = "/tmp/orvanta_decoded_XXXXXX";
    int fd = mkstemp(raw_name);
    if (fd < 0) {
        ADD_FAILURE() << "no temporary file for " << host_path;
        return d;
    }
    close(fd);
    std::string raw = raw_name;
    std::string cmd = "/usr/bin/python3 " ORVANTA_SOURCE_DIR "/tests/capture/image_info.py " + kind + " '" +
                      host_path + "' '" + raw + "' 2>&1";
    FILE* p = popen(cmd.c_str(), "r");
    if (!p) {
        ADD_FAILURE() << "image_info.py did not start for " << host_path;
        remove(raw.c_str());
        return d;
    }
    char line[65536];
    std::string said;
    while (fgets(line, sizeof line, p)) {
        std::string l(line);
        said += l;
        if (!l.empty() && l.back() == '\n') l.pop_back();
        size_t sp = l.find(' ');
        d.facts[l.substr(0, sp)] = sp == std::string::npos ? "" : l.substr(sp + 1);
    }
    int rc = pclose(p);
    d.raw = read_host_file(raw);
    remove(raw.c_str());
    // Callers compare the bytes; a failed decoder gives them none to misread.
    EXPECT_EQ(rc, 0) << "image_info.py failed on " << host_path << ": " << said;
    if (rc != 0) d.raw.clear();
    return d;
}

std::string read_vfs_file(const char* path) {
    FileSlot* f = pfopen(path, "rb");
    if (!f) return "";
    std::string s((const char*)f->contents->bytes, (size_t)f->contents->length);
    pfclose(f);
    return s;
}

void write_vfs_file(const char* path, const std::string& bytes) {
    FileSlot* f = pfopen(path, "w");
    ASSERT_NE(f, nullptr) << path;
    bappend_bytes(f->contents, bytes.data(), (int64_t)bytes.size());
    ASSERT_EQ(pfclose(f), 0);
}

uint32_t wm_colour(int i) {
    // Odd multipliers: every index gets its own red.
    return (uint32_t)((i * 37 + 5) & 255) << 16 | (uint32_t)((i * 91) & 255) << 8 | (uint32_t)((i * 13 + 7) & 255);
}

std::string desktop_folder() { return std::string(config.desktop) + "/orvanta_desktop"; }

void boot_with_window_manager() {
    ASSERT_TRUE(harness_boot(R"(
        _signal(65)
        _create_process_from_code("while true do flip() end", "pm", "/pm.lua")
        _create_process_from_code("while true do flip() end", "wm", "/wm.lua")
        _create_process_from_code("while true do flip() end", "prog", "/prog.lua")
    )"));
    harness_run_frames(1);
    ASSERT_NE(get_process(4), nullptr);
    for (const std::string& n : host_folder_names(desktop_folder())) remove((desktop_folder() + "/" + n).c_str());
    app.boot_finished = 1;
    app.show_wm_video = 1;
    Process* wm = get_process(3);
    uint8_t* ds = mem_low_page(wm, 5);
    for (int i = 0; i < 256; i++) {
        uint32_t c = wm_colour(i);
        memcpy(ds + (DS_RGB_PAL & 0xFFF) + 4 * i, &c, 4);
    }
    for (int i = 0; i < 64; i++) ds[(DS_DISPLAY_PAL & 0xFFF) + i] = (uint8_t)i;
    memset(ds + (DS_SCANLINES & 0xFFF), 0, 68);
    ds[DS_VIDEO_MODE & 0xFFF] = 0;
    ds[DS_SYSTEM_BITS & 0xFFF] = 0;
    notifications();
}

// A quoted text of a message as the orb writer escapes it: \" \\ and \ddd.
static std::string unescape(const std::string& s) {
    std::string out;
    for (size_t i = 0; i < s.size(); i++) {
        if (s[i] != '\\' || i + 1 == s.size()) {
            out += s[i];
        } else if (isdigit((unsigned char)s[i + 1])) {
            size_t n = 0;
            int v = 0;
            while (n < 3 && i + 1 + n < s.size() && isdigit((unsigned char)s[i + 1 + n])) v = v * 10 + (s[i + 1 + n++] - '0');
            out += (char)v;
            i += n;
        } else {
            out += s[++i];
        }
    }
    return out;
}

std::vector<std::string> notifications() {
    std::vector<std::string> out;
    Process* wm = get_process(3);
    if (!wm) return out;
    while (ByteBuffer* b = read_process_message(wm, nullptr)) {
        std::string m((const char*)b->bytes, (size_t)b->length);
        const std::string key = "content=\"";
        size_t at = m.find(key), end = m.rfind('"');
        if (m.find("user_notification") != std::string::npos && at != std::string::npos && end > at)
            out.push_back(unescape(m.substr(at + key.size(), end - at - key.size())));
    }
    return out;
}

void raise_signal(Process* p, int code) {
    Process* prev = cproc;
    cproc = p;
    lua_getglobal(p->L, "_signal");
    lua_pushinteger(p->L, code);
    ASSERT_EQ(lua_pcall(p->L, 1, 0, 0), LUA_OK);
    cproc = prev;
}
