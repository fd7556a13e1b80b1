// Cartridges and ROM images.
#pragma once
#include <vector>

#include "kernel/buffer.h"

struct FileSlot;
struct Mount;

// Entries read from one ROM image at most, and the limits of an entry path.
constexpr int ROM_MAX_ENTRIES = 16384;
constexpr int ROM_MAX_PATH = 400;
constexpr int64_t ROM_MAX_PAYLOAD = 0x4000000;  // 64 MB
// Line 1 of a text cartridge (readers ignore it).
constexpr const char* Q64_TEXT_FIRST_LINE = "orvanta cartridge // https://orvanta.invalid/\n";

// Readers return 0 when everything was unpacked, 1 when they stopped early or read nothing
// of a non-empty buffer (such a cartridge is never written back over its file).

// Fills RAM files under prefix from a q64 ROM image (or a legacy form) held in rom.
int populate_ram_folder_from_q64_rom_buffer(const char* prefix, ByteBuffer* rom);
// Unpacks a text cartridge from the buffer's cursor.
int populate_ram_folder_from_q64_buffer(const char* prefix, ByteBuffer* b);
int populate_ram_folder_from_q64_buffer_v1(const char* prefix, ByteBuffer* b);
int populate_ram_folder_from_q64_buffer_v2(const char* prefix, ByteBuffer* b);

// Writers append to out and return 0, or 1 when an entry can't be stored in the form
// (out is then left as it was). ROM flags: 4 leaves out label.png and label.qoi, 8 prints
// the label text of .info.orb for the PNG card.
int write_q64_rom_from_ram_files(ByteBuffer* out, ByteBuffer* origin, int flags);
// Its two steps: the payload of every RAM entry under origin (main thread), and the
// RomImage of a payload (pure: safe on a worker thread).
int build_q64_rom_payload(ByteBuffer* payload, ByteBuffer* origin, int flags);
bool compress_q64_rom_payload(const uint8_t* payload, int64_t n, std::vector<uint8_t>* image);
int write_q64_from_ram_files(ByteBuffer* out, ByteBuffer* origin);
// Appends the PNG card of the RAM files under origin; 1 (nothing appended) when the
// ROM image is too large for a card.
int write_q64_png_from_ram_files(ByteBuffer* out, ByteBuffer* origin);
int is_writeable_as_ascii(FileSlot* f);

// Mounts the cartridge file at path on a fresh RAM folder under /ram/mount/.
Mount* mount_q64_path(const char* path);
