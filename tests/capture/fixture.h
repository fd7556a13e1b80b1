// Shared pieces of the capture and card tests: an in-process kernel with a
// window manager (pid 3) and a program (pid 4), host files, and the
// independent decoders of image_info.py.
#pragma once
#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

struct Process;

std::string read_host_file(const std::string& path);
void write_host_file(const std::string& path, const std::string& bytes);
bool host_file_exists(const std::string& path);
// Names in a host folder, sorted.
std::vector<std::string> host_folder_names(const std::string& path);

// What image_info.py read: its "key value..." lines and its pixel or byte dump.
struct Decoded {
    std::map<std::string, std::string> facts;
    std::string raw;
};
Decoded decode_image(const std::string& kind, const std::string& host_path);

// The contents of a file of the virtual file system ("" when it does not open).
std::string read_vfs_file(const char* path);
void write_vfs_file(const char* path, const std::string& bytes);

// Boots pid 1 with pids 2 (pm), 3 (wm) and 4 (prog) and the desktop mounted;
// the window manager's palette is wm_colour(i) in all four banks.
void boot_with_window_manager();
uint32_t wm_colour(int i);
// The user_notification texts queued for pid 3 since the last call.
std::vector<std::string> notifications();
// Raises _signal(code) in process p, as p's own code would.
void raise_signal(Process* p, int code);
// The desktop folder's host path (mounted at /desktop/host).
std::string desktop_folder();
