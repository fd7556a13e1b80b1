// The virtual file system: file slots, mounts, host and RAM folders.
#pragma once
#include <cstdint>
#include <string>

#include "kernel/buffer.h"

struct lua_State;

constexpr int MAX_FILE_SLOTS = 16384;
constexpr int MAX_MOUNTS = 2048;
// Mount additions stop here, so pruning can always bring the table back in range.
constexpr int MOUNT_ADD_LIMIT = 2045;
constexpr int MOUNT_PRUNE_THRESHOLD = 2040;
constexpr int64_t MOUNT_FLUSH_DELAY_MS = 300;
constexpr int32_t FILE_CONTENTS_TAG = 100;
// The longest path segment; a longer one makes the path illegal.
constexpr size_t MAX_PATH_SEGMENT = 254;

struct FileSlot {
    int32_t kind;          // 0 free, 1 open host file, 2 RAM file or folder
    ByteBuffer* path;
    ByteBuffer* origin;
    void* host_file;       // unused: host writes are buffered and stored at close
    ByteBuffer* contents;  // cursor = read/write position
    int32_t flags;         // bit 0: folder; bit 1: this write was refused
    char mode[2];          // set while open; a RAM slot with mode[0] != 0 is in use
    // A RAM file open for writing keeps what a refused write returns it to.
    int32_t txn;           // 0 none, 1 emptied (before holds the old contents), 2 appended, 3 new
    int32_t before_length; // length before an append
    ByteBuffer* before;
    int64_t counted;       // bytes this RAM slot counts against RAM_FILES_LIMIT
};

// All RAM files and folders together (contents, paths and bookkeeping, cartridge
// mounts included) may hold this many bytes; a write that would pass it is refused.
constexpr int64_t RAM_FILES_LIMIT = 256LL << 20;
// The longest normalised path; a longer one is illegal.
constexpr size_t MAX_PATH_LENGTH = 4095;
int64_t ram_files_bytes();

struct Mount {
    int32_t kind;          // 1 host folder, 2 RAM folder
    ByteBuffer* point;
    ByteBuffer* origin;
    int32_t is_ram;
    int32_t dirty;
    int64_t flush_time;
    // The cartridge behind this mount was read only in part; never write it back.
    int32_t partial;
    // The process whose change made it dirty: its write-back is charged to it.
    uint64_t dirtied_by;
};

extern FileSlot pfile[MAX_FILE_SLOTS];
extern Mount pmount[MAX_MOUNTS];
extern int32_t pmounts;
extern int32_t next_pfile_index;

// The clock of write-back delays (milliseconds); tests replace it.
extern int64_t (*pdisk_clock)();
// Called at the end of every pfile_reset when set (tests add their mounts there).
extern void (*pdisk_reset_hook)();

void pfile_init();
void pfile_reset();

// Paths.
int is_path_char(int c);
int is_legal_path(const char* path);
// Normalised absolute path as a new buffer, or null for an illegal path.
ByteBuffer* normalise_orvanta_path(const char* path);
ByteBuffer* collapse_path(const char* text, int64_t length, int debug);
const char* get_ext(const char* path);
int q64_path_kind(const char* path);
int get_path_parent_match_depth(const char* point, const char* path);

// Resolution: a new buffer with the origin; "" for an illegal path (kind untouched).
ByteBuffer* resolve_to_origin(const char* path, int* kind, int skip_exact);

// Mounts.
int mount_ram_folder(const char* path);
// Returns the new mount, or null when the table is full.
Mount* mount_host_path(const char* point, const char* host_folder);
Mount* mount_p_path(const char* point, const char* path);
Mount* find_mount_by_point(const char* point);
void automount_p_path(const char* path);
// Nested: while on, resolutions do not mount cartridges.
void pdisk_block_automount(int on);
const char* get_mount_description(const char* path);
void print_mounts();
void mark_origin_dirty(const char* origin);
void delete_ram_files_in_path(const char* path);
void delete_clean_ram_mounts();
// Removes the mount at index i (no flush), freeing its RAM files when it is a cartridge's.
void remove_mount_at(int i, int free_cart_files);

// Files.
int host_directory_exists(const char* host_path);
FileSlot* pfopen(const char* path, const char* mode);
// Returns 0, or -1 when a write failed: a host file could not be written (the old
// host file is kept) or RAM is full (the RAM file is as it was before the open).
int pfclose(FileSlot* f);
int64_t pfwrite(const void* src, int64_t size, int64_t n, FileSlot* f);
// Gives a file just opened for writing, still empty, room for exactly n bytes, so a
// large write is not copied again and again as its buffer grows. False when RAM files
// can't hold them: the caller need not copy them, and closing refuses the write.
bool pfreserve(FileSlot* f, int64_t n);
// Makes b (taken over in any case) the whole contents of a file just opened for
// writing, still empty; false when RAM files can't hold it.
bool pfadopt(FileSlot* f, ByteBuffer* b);
int64_t pfread(void* dst, int64_t size, int64_t n, FileSlot* f);
int pdisk_file_exists(const char* path);
int pdisk_directory_exists(const char* path, int mount_point_flag);
int pdisk_count_slots_by_kind(int kind);
FileSlot* find_ram_slot(const char* origin);
// Indexes a slot just made a RAM file or folder (kind 2, origin set).
void register_ram_slot(FileSlot* f);
// A free slot (early clearing first when more than half are used), or null.
FileSlot* take_free_slot(const char* pinned_origin, int during_mkdir);
void free_slot(FileSlot* f);

// Writes back mount i when dirty (and due, when delayed). While an exclusive process
// is set nothing is written, unless forced (exit, reboot and fatal errors).
// Returns 1 when a cartridge was written back (or handed to the worker).
int flush_dirty_mount(int i, int delayed, int force = 0);
// Delayed write-backs of cartridges done in one frame at most.
constexpr int WRITEBACKS_PER_FRAME = 4;
void flush_dirty_mounts_immediately(int force = 0);
// A ROM cartridge's payload above this many bytes is compressed on a worker thread by
// a delayed write-back; every immediate flush first waits for that work to finish.
constexpr int64_t ASYNC_WRITEBACK_BYTES = 1 << 20;
// What flushing every dirty cartridge mount now would cost in cycles (in flight included).
int64_t pending_writeback_cost();
void flush_dirty_mounts_delayed();
void prune_mounts();

// Folders, copying, deleting and listing.
int64_t pfile_size(const char* path, int skip_exact);
int pmkdir(const char* path);
int64_t fcopy(const char* src, const char* dst);
int delete_path(const char* path);
int delete_mount_point(const char* path);
int pflist(const char* path, lua_State* L);
// Natural order of listing names: true when a sorts before b (a strict weak ordering).
bool compare_str_item(const char* a, const char* b);

// Host files: whole reads and atomic whole writes (temporary file, then rename).
ByteBuffer* host_read_file(const char* host_path, int64_t limit);
// A write that would pass the host disk cap is refused (HOST_DISK_FULL) and reported as
// shown (the host path when null).
int host_write_file(const char* host_path, const uint8_t* bytes, int64_t n, const char* shown = nullptr);
// The two ends of a write streamed to a temporary file beside host_path: the open file
// (its name in *temp), or -1; and closing fd, which syncs the file and renames it to
// host_path (keeping the mode of a file already there) when ok is set, and removes it
// otherwise. 0 when the file took its name.
int host_temp_open(const char* host_path, std::string* temp);
int host_temp_commit(int fd, const std::string& temp, const char* host_path, bool ok);
// True when host_path lies inside root once symlinks are followed.
bool host_path_contained(const char* root, const char* host_path);
