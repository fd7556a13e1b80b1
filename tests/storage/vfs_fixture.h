// A file system with "/" on a fresh host folder and a RAM folder at /ram, on a fake clock.
#pragma once
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>

#include "host/host.h"
#include "kernel/process.h"
#include "kernel/state.h"
#include "storage/cart.h"
#include "storage/pdisk.h"

inline int64_t fake_now = 1000;
inline int64_t fake_clock() { return fake_now; }

inline std::string host_read(const std::string& p) {
    std::ifstream f(p, std::ios::binary);
    if (!f) return "<missing>";
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

inline void host_write(const std::string& p, const std::string& bytes) {
    std::ofstream f(p, std::ios::binary);
    f << bytes;
}

// Writes a file through the file system; false when it can't be opened.
inline bool vfs_write(const std::string& path, const std::string& bytes, const char* mode = "w") {
    FileSlot* f = pfopen(path.c_str(), mode);
    if (!f) return false;
    bappend_bytes(f->contents, bytes.data(), (int64_t)bytes.size());
    return pfclose(f) == 0;
}

inline std::optional<std::string> vfs_read(const std::string& path, const char* mode = "r") {
    FileSlot* f = pfopen(path.c_str(), mode);
    if (!f) return std::nullopt;
    std::string s((const char*)f->contents->bytes, (size_t)f->contents->length);
    pfclose(f);
    return s;
}

inline std::string make_temp_folder() {
    char t[] = "/tmp/orv_storage_XXXXXX";
    return mkdtemp(t);
}

struct Vfs : ::testing::Test {
    std::string host;
    void SetUp() override {
        host = make_temp_folder();
        memset(&app, 0, sizeof app);
        cproc = nullptr;
        pfile_init();
        pfile_reset();
        mount_ram_folder("/ram");
        mount_host_path("/", host.c_str());
        pdisk_clock = fake_clock;
        fake_now = 1000;
    }
    void TearDown() override {
        pfile_reset();
        pdisk_clock = os_get_time;
        std::string cmd = "rm -rf '" + host + "'";
        if (system(cmd.c_str()) != 0) ADD_FAILURE() << cmd;
    }
};
