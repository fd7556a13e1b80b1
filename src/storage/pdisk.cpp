// The virtual file system: path rules, file slots, mounts, resolution, opening
// and closing files, and the write-back of dirty cartridge mounts.
#include "storage/pdisk.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "host/host.h"
#include "kernel/cpu.h"
#include "kernel/messages.h"
#include "kernel/process.h"
#include "kernel/sat.h"
#include "kernel/state.h"
#include "storage/backtrail.h"
#include "storage/cart.h"
#include "storage/host_disk.h"

FileSlot pfile[MAX_FILE_SLOTS];
Mount pmount[MAX_MOUNTS];
int32_t pmounts;
int32_t next_pfile_index = -1;
int64_t (*pdisk_clock)() = os_get_time;
void (*pdisk_reset_hook)();

static int pfile_inited;
// Bytes held by RAM slots (the sum of their counted fields).
static int64_t ram_bytes;
// Slots not free, kept as slots are taken and freed (the early-clearing test reads it).
static int used_slots;
// RAM slots by origin: every open looks its file up here instead of scanning the table.
static std::unordered_map<std::string, int>& ram_index() {
    static std::unordered_map<std::string, int> index;
    return index;
}
static int pending_prune;
static int automount_blocked;
// While a flush writes, slot searches never clear early (that would move mounts under it).
static int flushing;
static int clearing;
// The origin that an open or mkdir just resolved: early clearing keeps its mount.
static const char* pinned_origin;
static char ext_buf[1024];
static char mount_desc_buf[1024];

static bool starts_with(const char* s, const char* prefix) { return strncmp(s, prefix, strlen(prefix)) == 0; }

// True when text equals dir or continues it with "/".
static bool inside_or_equal(const char* text, const char* dir) {
    size_t n = strlen(dir);
    return strncmp(text, dir, n) == 0 && (text[n] == 0 || text[n] == '/');
}

static const char* bstr(const ByteBuffer* b) { return b ? (const char*)b->bytes : ""; }

int64_t ram_files_bytes() { return ram_bytes; }

// What a RAM slot holds: its buffers and a share for the slot itself.
static int64_t slot_held(const FileSlot* f) {
    int64_t n = 96;
    for (const ByteBuffer* b : {f->contents, f->path, f->origin})
        if (b) n += (int64_t)b->capacity;
    return n;
}

static void recount(FileSlot* f) {
    if (f->kind != 2) return;
    int64_t h = slot_held(f);
    ram_bytes += h - f->counted;
    f->counted = h;
}

void pfile_init() {
    if (pfile_inited) return;
    pfile_inited = 1;
    memset(pfile, 0, sizeof pfile);
    ram_bytes = 0;
    ram_index().clear();
    memset(pmount, 0, sizeof pmount);
    pmounts = 0;
    next_pfile_index = -1;
    used_slots = 0;
}

void free_slot(FileSlot* f) {
    if (!f) return;
    if (f->kind) used_slots--;
    if (f->kind == 2 && f->origin) {
        auto it = ram_index().find(bstr(f->origin));
        if (it != ram_index().end() && it->second == (int)(f - pfile)) ram_index().erase(it);
    }
    ram_bytes -= f->counted;
    if (f->before) destroy_buffer(f->before);
    if (f->path) destroy_buffer(f->path);
    if (f->origin) destroy_buffer(f->origin);
    if (f->contents) destroy_buffer(f->contents);
    memset(f, 0, sizeof *f);
}

static void free_mount_fields(Mount* m) {
    if (m->point) destroy_buffer(m->point);
    if (m->origin) destroy_buffer(m->origin);
    memset(m, 0, sizeof *m);
}

static void finish_writeback(bool wait);

void pfile_reset() {
    finish_writeback(true);  // a worker never outlives the files it was given
    for (FileSlot& f : pfile)
        if (f.kind == 2) free_slot(&f);
    for (int i = 0; i < pmounts; i++) free_mount_fields(&pmount[i]);
    pmounts = 0;
    pending_prune = 0;
    automount_blocked = 0;
    if (pdisk_reset_hook) pdisk_reset_hook();
}

// ---- paths ----

int is_path_char(int c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
           c == '/' || c == '_';
}

// Legal: non-empty, not beginning "#" or "-", legal characters up to the end or a "#".
// Control bytes are refused after a "#" too: they never reach host names or listings.
int is_legal_path(const char* path) {
    if (!path || !path[0] || path[0] == '#' || path[0] == '-') return 0;
    const unsigned char* p = (const unsigned char*)path;
    for (; *p && *p != '#'; p++)
        if (!is_path_char(*p)) return 0;
    for (; *p; p++)
        if (*p < 32 || *p == 127) return 0;
    return 1;
}

ByteBuffer* collapse_path(const char* text, int64_t length, int debug) {
    std::string in(text ? text : "", text ? (size_t)length : 0);
    if (debug) printf(":: collapse: [%s]\n", in.c_str());
    std::string out;
    size_t i = 0;
    size_t plen = 0;
    size_t proto = in.find("://");
    if (proto != std::string::npos && proto <= 15 && in.find('/') > proto) {
        plen = proto + 3;
        out = in.substr(0, plen);
        i = plen;
        if (debug) printf("skipping prot: %s\n", out.c_str());
    }
    bool absolute = plen == 0 && i < in.size() && in[i] == '/';
    while (i < in.size() && in[i] == '/') i++;
    while (i < in.size()) {
        size_t j = in.find('/', i);
        if (j == std::string::npos) j = in.size();
        std::string seg = in.substr(i, j - i);
        i = j;
        while (i < in.size() && in[i] == '/') i++;
        if (seg.empty()) continue;
        if (seg == ".") {
            if (debug) printf("  skipped .  -> %s\n", out.c_str());
            continue;
        }
        if (seg == "..") {
            if (out.size() > plen + 1) {
                size_t s = out.rfind('/');
                out.resize(s != std::string::npos && s >= plen ? s : plen);
            }
            if (debug) printf("  folded ..  -> %s\n", out.c_str());
            continue;
        }
        bool first = out.size() == plen && (plen > 0 || !absolute);
        if (!first) out += '/';
        out += seg;
        if (debug) printf("  left segment: %s  -> %s\n", seg.c_str(), out.c_str());
    }
    if (out.empty()) out = "/";
    if (debug) printf("  --> [%s]\n", out.c_str());
    return create_buffer_from_str(out.c_str());
}

// A segment longer than a host name may be makes the whole path illegal: dropping
// it would turn the path into its parent's (a delete would remove the parent).
static bool segments_fit(const std::string& s) {
    size_t run = 0;
    for (char c : s) {
        run = c == '/' ? 0 : run + 1;
        if (run > MAX_PATH_SEGMENT) return false;
    }
    return true;
}

ByteBuffer* normalise_orvanta_path(const char* path) {
    if (!is_legal_path(path)) return nullptr;
    std::string s;
    if (path[0] == '/') {
        s = path;
    } else {
        const char* wd = (cproc && cproc->cwd[0]) ? cproc->cwd : "/";
        s.assign(wd, strnlen(wd, sizeof cproc->cwd));
        if (s.empty() || s.back() != '/') s += '/';
        s += path;
        // An unchecked working folder may be anything: the result must still be a legal absolute path.
        if (s[0] != '/' || !is_legal_path(s.c_str())) return nullptr;
    }
    // Every path operation normalises: its cost follows the text's length.
    if (s.size() >= 64) spend_cpu((int64_t)s.size() / 16);
    if (!segments_fit(s)) return nullptr;
    if (s.size() > 1 && s.back() == '/') s.pop_back();
    if (s == "/") return create_buffer_from_str("/");
    ByteBuffer* r = collapse_path(s.c_str(), (int64_t)s.size(), 0);
    // Mounts and file slots keep paths: their length is bounded like a host path's.
    if ((size_t)r->length > MAX_PATH_LENGTH) {
        destroy_buffer(r);
        return nullptr;
    }
    return r;
}

const char* get_ext(const char* path) {
    ext_buf[0] = 0;
    if (!path) return ext_buf;
    int64_t n = (int64_t)strlen(path);
    int64_t last = n - 1;
    while (last >= 0 && path[last] != '.') {
        if (path[last] == '/') return ext_buf;
        last--;
    }
    if (last < 0) return ext_buf;
    int64_t start = last + 1;
    for (int64_t j = last - 1; j >= 0; j--) {
        if (path[j] == '.') {
            start = j + 1;
            break;
        }
        if (path[j] == '/') break;
    }
    size_t k = 0;
    for (const char* p = path + start; *p && k < sizeof ext_buf - 1; p++)
        ext_buf[k++] = (*p >= 'A' && *p <= 'Z') ? (char)(*p + 32) : *p;
    ext_buf[k] = 0;
    return ext_buf;
}

int q64_path_kind(const char* path) {
    const char* e = get_ext(path);
    if (!strcmp(e, "q64")) return 1;
    if (!strcmp(e, "q64.rom")) return 2;
    if (!strcmp(e, "q64.png")) return 3;
    return 0;
}

int get_path_parent_match_depth(const char* point, const char* path) {
    if (!strcmp(point, "/")) return 0;
    if (!inside_or_equal(path, point)) return -1;
    int d = 0;
    for (const char* p = point; *p; p++) d += *p == '/';
    return d;
}

// ---- host files ----

int host_directory_exists(const char* host_path) {
    DIR* d = opendir(host_path);
    if (!d) return 0;
    closedir(d);
    return 1;
}

// Walks host_path from root one segment at a time (following links, as an open
// would) to the deepest part that exists, and tests where that really lies. Linear in
// the depth: each step opens one name relative to the folder reached so far.
bool host_path_contained(const char* root, const char* host_path) {
    char rr[PATH_MAX], rp[PATH_MAX];
    if (!realpath(root && root[0] ? root : "/", rr)) return false;
    size_t rn = strlen(root ? root : "");
    const char* rest = host_path;
    if (rn && strncmp(host_path, root, rn) == 0 && (host_path[rn] == '/' || host_path[rn] == 0)) rest += rn;
    else if (host_path[0] != '/') return false;
    int fd = open(rest == host_path ? "/" : rr, O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return false;
    int steps = 0;
    bool ok = true;
    std::string seg;
    for (const char* p = rest; ok && *p;) {
        while (*p == '/') p++;
        const char* e = strchr(p, '/');
        if (!e) e = p + strlen(p);
        seg.assign(p, (size_t)(e - p));
        p = e;
        if (seg.empty()) break;
        steps++;
        int nfd = openat(fd, seg.c_str(), O_PATH | O_CLOEXEC);
        if (nfd < 0) {
            if (errno != ENOENT && errno != ENOTDIR) ok = false;  // loops, permissions
            break;  // the rest does not exist, so it can lead nowhere else
        }
        close(fd);
        fd = nfd;
    }
    // The first levels are part of the operation's own charge; deep paths pay per level.
    if (steps > 8) spend_cpu(16 * (int64_t)(steps - 8));
    char link[64];
    snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    ssize_t n = ok ? readlink(link, rp, sizeof rp - 1) : -1;
    close(fd);
    if (n <= 0) return false;
    rp[n] = 0;
    size_t k = strlen(rr);
    if (k == 1) return true;  // the host's root holds everything
    return strncmp(rp, rr, k) == 0 && (rp[k] == 0 || rp[k] == '/');
}

ByteBuffer* host_read_file(const char* host_path, int64_t limit) {
    FILE* fp = fopen(host_path, "rb");
    if (!fp) return nullptr;
    struct stat st;
    // A file that can't be held whole is not opened: a cut-off copy would pass for the file.
    bool capped = limit >= 0 && limit < BUFFER_MAX_LENGTH - 16384;
    if (fstat(fileno(fp), &st) != 0 || S_ISDIR(st.st_mode) || (!capped && st.st_size > BUFFER_MAX_LENGTH)) {
        fclose(fp);
        return nullptr;
    }
    ByteBuffer* b = create_buffer_2(1024, FILE_CONTENTS_TAG);
    char chunk[16384];
    size_t got;
    bool ok = true;
    while (ok && (got = fread(chunk, 1, sizeof chunk, fp)) > 0) {
        ok = bappend_bytes(b, chunk, (int64_t)got) == (int64_t)got;
        if (limit >= 0 && b->length > limit) break;
    }
    if (ferror(fp)) ok = false;
    fclose(fp);
    if (!ok) {
        destroy_buffer(b);
        return nullptr;
    }
    b->cursor = 0;
    return b;
}

int host_temp_open(const char* host_path, std::string* temp) {
    // A short name beside the target: the target's own name may already be as long as a name can be.
    *temp = host_path;
    size_t slash = temp->rfind('/');
    temp->resize(slash == std::string::npos ? 0 : slash + 1);
    *temp += ".orvtmp_XXXXXX";
    return mkstemp(temp->data());
}

int host_temp_commit(int fd, const std::string& temp, const char* host_path, bool ok) {
    struct stat st;
    mode_t mode = 0644;
    if (stat(host_path, &st) == 0) mode = st.st_mode & 07777;
    if (ok) ok = fchmod(fd, mode) == 0 && fsync(fd) == 0;
    if (close(fd) != 0) ok = false;
    if (ok) ok = rename(temp.c_str(), host_path) == 0;
    if (!ok) {
        unlink(temp.c_str());
        return -1;
    }
    return 0;
}

int host_write_file(const char* host_path, const uint8_t* bytes, int64_t n, const char* shown) {
    // Refused before anything is touched: the file stays as it was.
    int64_t grow = host_disk_blocks(n) - host_disk_size_of(host_path);
    if (!host_disk_take(grow)) {
        report_host_disk_full(shown ? shown : host_path);
        return HOST_DISK_FULL;
    }
    std::string temp;
    int fd = host_temp_open(host_path, &temp);
    bool ok = fd >= 0;
    int64_t done = 0;
    while (ok && done < n) {
        ssize_t w = write(fd, bytes + done, (size_t)(n - done));
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) ok = false;
        else done += w;
    }
    int rc = fd >= 0 ? host_temp_commit(fd, temp, host_path, ok) : -1;
    if (rc != 0) host_disk_take(-grow);
    return rc;
}

// A host file can be written when its folder exists and the name is not a folder.
static bool host_writable(const char* host_path) {
    struct stat st;
    if (stat(host_path, &st) == 0 && S_ISDIR(st.st_mode)) return false;
    std::string dir = host_path;
    size_t s = dir.rfind('/');
    dir = s == std::string::npos ? "." : (s == 0 ? "/" : dir.substr(0, s));
    return stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && access(dir.c_str(), W_OK) == 0;
}

// ---- mounts ----

void print_mounts() {
    for (int i = 0; i < pmounts; i++)
        printf("mount %d kind: %d isr:%d mount_point: %-10s origin: %-20s\n", i, pmount[i].kind, pmount[i].is_ram,
               bstr(pmount[i].point), bstr(pmount[i].origin));
}

static Mount* add_mount(int kind, const char* point, const char* origin, int is_ram) {
    if (pmounts >= MOUNT_ADD_LIMIT) {
        tolo_debugf("** too many mounts; not mounting %s\n", point);
        return nullptr;
    }
    Mount* m = &pmount[pmounts++];
    memset(m, 0, sizeof *m);
    m->kind = kind;
    m->point = create_buffer_from_str(point);
    m->origin = create_buffer_from_str(origin);
    m->is_ram = is_ram;
    return m;
}

static std::string strip_one_slash(const char* s) {
    std::string r = s ? s : "";
    if (!r.empty() && r.back() == '/') r.pop_back();
    return r;
}

Mount* mount_host_path(const char* point, const char* host_folder) {
    return add_mount(1, strip_one_slash(point).c_str(), strip_one_slash(host_folder).c_str(), 0);
}

int mount_ram_folder(const char* path) {
    ByteBuffer* n = normalise_orvanta_path(path);
    if (!n) return 1;
    Mount* m = add_mount(2, bstr(n), bstr(n), 1);
    destroy_buffer(n);
    return m ? 0 : 1;
}

Mount* mount_p_path(const char* point, const char* path) {
    ByteBuffer* np = normalise_orvanta_path(point);
    if (!np) return nullptr;
    // A cartridge file is mounted onto its folder, not onto the file itself.
    if (ByteBuffer* target = normalise_orvanta_path(path)) {
        const char* t = bstr(target);
        if (q64_path_kind(t) && !find_mount_by_point(t) && pdisk_file_exists(t)) mount_q64_path(t);
        destroy_buffer(target);
    }
    int kind = 0;
    ByteBuffer* origin = resolve_to_origin(path, &kind, 0);
    Mount* m = nullptr;
    // An unresolvable path is refused rather than mapped onto the host's root.
    if (origin->length > 0 && kind) m = add_mount(kind, strcmp(bstr(np), "/") ? bstr(np) : "", bstr(origin), 0);
    destroy_buffer(origin);
    destroy_buffer(np);
    return m;
}

Mount* find_mount_by_point(const char* point) {
    for (int i = 0; i < pmounts; i++)
        if (!strcmp(bstr(pmount[i].point), point)) return &pmount[i];
    return nullptr;
}

const char* get_mount_description(const char* path) {
    ByteBuffer* n = normalise_orvanta_path(path);
    if (!n) return nullptr;
    const char* r = nullptr;
    for (int i = 0; i < pmounts && !r; i++) {
        const char* pt = bstr(pmount[i].point);
        if (strcmp(pt, bstr(n))) continue;  // the root's point is "", never a normalised path
        snprintf(mount_desc_buf, sizeof mount_desc_buf, "%s%s", pmount[i].kind == 1 ? "host:" : "",
                 bstr(pmount[i].origin));
        r = mount_desc_buf;
    }
    destroy_buffer(n);
    return r;
}

void remove_mount_at(int i, int free_cart_files) {
    if (i < 0 || i >= pmounts) return;
    if (free_cart_files && starts_with(bstr(pmount[i].origin), "/ram/mount/"))
        delete_ram_files_in_path(bstr(pmount[i].origin));
    free_mount_fields(&pmount[i]);
    memmove(&pmount[i], &pmount[i + 1], sizeof(Mount) * (size_t)(pmounts - i - 1));
    pmounts--;
    memset(&pmount[pmounts], 0, sizeof(Mount));
}

// The RAM mount whose origin holds origin most deeply (ties to the earlier one).
static Mount* owning_ram_mount(const char* origin) {
    Mount* best = nullptr;
    int bd = -1;
    for (int i = 0; i < pmounts; i++) {
        if (pmount[i].kind != 2) continue;
        int d = get_path_parent_match_depth(bstr(pmount[i].origin), origin);
        if (d > bd) bd = d, best = &pmount[i];
    }
    return best;
}

void mark_origin_dirty(const char* origin) {
    Mount* m = owning_ram_mount(origin);
    if (!m) return;
    m->dirty = 1;
    if (cproc) m->dirtied_by = cproc->pid;
    if (m->flush_time == 0) m->flush_time = pdisk_clock() + MOUNT_FLUSH_DELAY_MS;
}

void delete_ram_files_in_path(const char* path) {
    for (FileSlot& f : pfile)
        if (f.kind == 2 && inside_or_equal(bstr(f.origin), path)) free_slot(&f);
}

// The cartridge folder (/ram/mount/<eight letters>) an origin lies in, or "".
static std::string cart_folder_of(const char* origin) {
    const size_t k = strlen("/ram/mount/");
    if (strncmp(origin, "/ram/mount/", k)) return "";
    const char* end = strchr(origin + k, '/');
    return end ? std::string(origin, (size_t)(end - origin)) : std::string(origin);
}

void delete_clean_ram_mounts() {
    // The cartridge folders that hold open files, found in one pass over the slots.
    std::unordered_set<std::string> open_folders;
    for (const FileSlot& f : pfile)
        if (f.kind == 2 && f.mode[0]) {
            std::string c = cart_folder_of(bstr(f.origin));
            if (!c.empty()) open_folders.insert(c);
        }
    for (int i = 0; i < pmounts;) {
        const char* o = bstr(pmount[i].origin);
        bool keep = pmount[i].dirty || !starts_with(o, "/ram/mount/") ||
                    (pinned_origin && inside_or_equal(pinned_origin, o)) || open_folders.count(cart_folder_of(o));
        if (keep) {
            i++;
            continue;
        }
        remove_mount_at(i, 1);
    }
}

static void fatal_no_mount(const char* path, int best) {
    printf("** fatal: could not resolve file to origin: %s (no matching mount found; / not mounted?)\n", path);
    printf("   // best_depth = %d\n", best);
    print_mounts();
    orvanta_terminate(0);
}

// The mount that serves a normalised path (the deepest; ties to the earlier), or -1.
static int best_mount(const char* np, int skip_exact, int* depth) {
    int best = -1, bd = -1;
    for (int i = 0; i < pmounts; i++) {
        const char* pt = bstr(pmount[i].point);
        if (skip_exact && !strcmp(pt, np)) continue;
        int d = get_path_parent_match_depth(pt, np);
        if (d > bd) bd = d, best = i;
    }
    if (depth) *depth = bd;
    return best;
}

ByteBuffer* resolve_to_origin(const char* path, int* kind, int skip_exact) {
    ByteBuffer* n = normalise_orvanta_path(path);
    if (!n) return create_buffer_from_str("");
    const char* np = bstr(n);
    automount_p_path(np);
    if (pmounts >= 64) spend_cpu(pmounts / 8);  // a long mount table is walked for every path
    int bd = -1;
    int best = best_mount(np, skip_exact, &bd);
    if (best < 0) fatal_no_mount(np, bd);
    const Mount& m = pmount[best];
    std::string origin = std::string(bstr(m.origin)) + (np + m.point->length);
    destroy_buffer(n);
    if (m.kind == 1 && !host_path_contained(bstr(m.origin), origin.c_str())) {
        tolo_debugf("refused host path outside its mount: %s\n", origin.c_str());
        return create_buffer_from_str("");
    }
    if (kind) *kind = m.kind;
    return create_buffer_from_str(origin.c_str());
}

// True when p's first n characters end in a cartridge extension (compared as written).
static bool prefix_is_cart(const std::string& p, size_t n) {
    auto ends = [&](const char* suffix, size_t longer_than) {
        size_t k = strlen(suffix);
        return n > longer_than && p.compare(n - k, k, suffix) == 0;
    };
    return ends(".q64", 4) || ends(".q64.png", 8) || ends(".q64.rom", 8);
}

static bool mount_point_inside(const std::string& folder) {
    for (int i = 0; i < pmounts; i++) {
        const char* pt = bstr(pmount[i].point);
        if (strncmp(pt, folder.c_str(), folder.size()) == 0 && pt[folder.size()] == '/') return true;
    }
    return false;
}

// What a prefix of a normalised path is, found without reading it: 0 missing,
// 1 a folder (or a mount point), 2 a file.
static int probe_prefix(const std::string& pre) {
    if (find_mount_by_point(pre.c_str())) return 1;
    int m = best_mount(pre.c_str(), 0, nullptr);
    if (m < 0) return 0;
    std::string origin = std::string(bstr(pmount[m].origin)) + (pre.c_str() + pmount[m].point->length);
    spend_cpu(16);
    if (pmount[m].kind == 1) {
        struct stat st;
        if (stat(origin.c_str(), &st) != 0) return 0;
        return S_ISDIR(st.st_mode) ? 1 : 2;
    }
    FileSlot* s = find_ram_slot(origin.c_str());
    return !s ? 0 : (s->flags & 1) ? 1 : 2;
}

void automount_p_path(const char* path) {
    if (automount_blocked || !path || strlen(path) < 2) return;
    automount_blocked++;
    std::string p = path;
    // Proper prefixes ending at a segment boundary, shortest first. Past a prefix that
    // does not exist nothing can, unless a mount point lies inside it.
    for (size_t i = 1; i < p.size(); i++) {
        if (p[i] != '/' || !prefix_is_cart(p, i)) continue;
        std::string pre = p.substr(0, i);
        int what = probe_prefix(pre);
        if (what == 0 && !mount_point_inside(pre)) break;
        // Only a file the mount itself may open (inside its host folder) is mounted.
        if (what == 2 && pdisk_file_exists(pre.c_str())) mount_q64_path(pre.c_str());
    }
    automount_blocked--;
}

void pdisk_block_automount(int on) { automount_blocked += on ? 1 : -1; }

// ---- slots ----

FileSlot* find_ram_slot(const char* origin) {
    auto it = ram_index().find(origin);
    return it == ram_index().end() ? nullptr : &pfile[it->second];
}

void register_ram_slot(FileSlot* f) {
    ram_index()[bstr(f->origin)] = (int)(f - pfile);
    recount(f);
}

int pdisk_count_slots_by_kind(int kind) {
    int n = 0;
    for (const FileSlot& f : pfile) n += f.kind == kind;
    return n;
}

// Writes back dirty mounts now, at most limit cartridges: clearing and pruning free
// what is clean, and the others are written back over the next frames.
static void flush_some_dirty_mounts(int limit) {
    finish_writeback(true);
    int written = 0;
    for (int i = pmounts - 1; i >= 0 && written < limit; i--) written += flush_dirty_mount(i, 0);
}

static void clear_early() {
    int before = used_slots;
    clearing = 1;
    spend_cpu(MAX_FILE_SLOTS / 16 + pmounts);
    flush_some_dirty_mounts(WRITEBACKS_PER_FRAME * 4);
    delete_clean_ram_mounts();
    clearing = 0;
    int after = used_slots;
    printf("@@@@ early clearing; %d -> %d\n", before, after);
    pending_prune = 1;
}

FileSlot* take_free_slot(const char* pinned, int during_mkdir) {
    if (!clearing && !flushing && MAX_FILE_SLOTS - used_slots <= MAX_FILE_SLOTS / 2 - 1) {
        const char* saved = pinned_origin;
        pinned_origin = pinned;
        clear_early();
        pinned_origin = saved;
    }
    for (int k = 1; k <= MAX_FILE_SLOTS; k++) {
        int idx = (int)(((int64_t)next_pfile_index + k) % MAX_FILE_SLOTS);
        if (idx < 0) idx += MAX_FILE_SLOTS;
        if (pfile[idx].kind == 0) {
            next_pfile_index = idx;
            free_slot(&pfile[idx]);
            // Callers fill the slot at once; counted as used from here.
            used_slots++;
            return &pfile[idx];
        }
    }
    const char* msg = during_mkdir ? "** too many files (during mkdir) **" : "** too many files **";
    printf("%s\n", msg);
    tolo_debugf("%s\n", msg);
    return nullptr;
}

// ---- open and close ----

// A slot for a host file whose contents are data (owned by the slot, or freed
// when no slot is free); null data gives no slot.
static FileSlot* host_slot(ByteBuffer* path, ByteBuffer* origin, ByteBuffer* data, char m0, char m1) {
    FileSlot* s = data ? take_free_slot(nullptr, 0) : nullptr;
    if (!s) {
        destroy_buffer(data);
        return nullptr;
    }
    s->kind = 1;
    s->path = create_buffer_from_buffer(path);
    s->origin = create_buffer_from_buffer(origin);
    s->contents = data;
    s->mode[0] = m0;
    s->mode[1] = m1;
    return s;
}

FileSlot* pfopen(const char* path, const char* mode) {
    if (!path || !mode || (mode[0] != 'r' && mode[0] != 'w' && mode[0] != 'a')) return nullptr;
    char m0 = mode[0], m1 = mode[1];
    ByteBuffer* n = normalise_orvanta_path(path);
    if (!n) return nullptr;
    int kind = 0;
    ByteBuffer* origin = resolve_to_origin(bstr(n), &kind, m1 == 'f');
    if (m0 == 'r' && m1 == 'f') flush_dirty_mounts_immediately();
    FileSlot* result = nullptr;
    FileSlot* s = origin->length && kind == 2 ? find_ram_slot(bstr(origin)) : nullptr;
    if (!origin->length || !kind) {
        // illegal, or outside its host folder
    } else if (s) {
        if (!(s->flags & 1)) {
            // The first open for writing keeps what a refused write goes back to.
            if (m0 == 'w' && s->txn == 0) {
                s->before = s->contents;
                s->contents = create_buffer_2(1024, FILE_CONTENTS_TAG);
                s->txn = 1;
            } else if (m0 == 'w') {
                bclear(s->contents);
            } else if (m0 == 'a' && s->txn == 0) {
                s->before_length = s->contents->length;
                s->txn = 2;
            }
            // Charged like the host file it stands for: a test of existence, a metadata read, a read.
            if (m0 == 'r') spend_cpu(m1 == 'e' ? 16 : (m1 == 'm' ? std::min(s->contents->length, 65536) : s->contents->length) / 8);
            s->contents->cursor = m0 == 'a' ? s->contents->length : 0;
            s->mode[0] = m0;
            s->mode[1] = m1;
            // The path of the latest open: closing a "wf" open drops the mount at that path.
            if (s->path) destroy_buffer(s->path);
            s->path = create_buffer_from_buffer(n);
            recount(s);
            result = s;
        }
    } else if (kind == 2 && m0 == 'r') {
        // a RAM file that does not exist
    } else if (kind == 1 && m0 == 'r') {
        struct stat st;
        const char* hp = bstr(origin);
        bool is_file = stat(hp, &st) == 0 && !S_ISDIR(st.st_mode);
        ByteBuffer* data = nullptr;
        if (is_file && m1 == 'e') {
            FILE* fp = fopen(hp, "rb");
            if (fp) fclose(fp), data = create_buffer_2(32, FILE_CONTENTS_TAG);
        } else if (is_file) {
            data = host_read_file(hp, m1 == 'm' ? 65535 : -1);
        }
        if ((result = host_slot(n, origin, data, m0, m1))) spend_cpu(m1 == 'e' ? 16 : data->length / 8);
    } else if (kind == 1) {
        const char* hp = bstr(origin);
        ByteBuffer* data = nullptr;
        // Appending holds only the new bytes; the file's own bytes are kept until close.
        if (host_writable(hp)) data = create_buffer_2(1024, FILE_CONTENTS_TAG);
        result = host_slot(n, origin, data, m0, m1);
    } else {
        if ((result = take_free_slot(bstr(origin), 0))) {
            result->kind = 2;
            result->path = create_buffer_from_buffer(n);
            result->origin = create_buffer_from_buffer(origin);
            result->contents = create_buffer_2(1024, FILE_CONTENTS_TAG);
            result->mode[0] = m0;
            result->mode[1] = m1;
            result->txn = 3;
            register_ram_slot(result);
        }
    }
    destroy_buffer(origin);
    destroy_buffer(n);
    return result;
}

// After a program writes a cartridge file itself, its mount holds stale contents: drop it
// unwritten, so the next path through the cartridge mounts what was just stored.
static void drop_stale_cart_mount(const char* point) {
    for (int i = pmounts - 1; i >= 0; i--)
        if (!strcmp(bstr(pmount[i].point), point) && starts_with(bstr(pmount[i].origin), "/ram/mount/"))
            remove_mount_at(i, 1);
}

static void report_ram_full(const char* path) {
    static int64_t last = -1000000;
    int64_t now = os_get_time();
    if (now - last < 1000) return;  // a program that keeps trying gets one report a second
    last = now;
    char text[1200];
    snprintf(text, sizeof text, "** RAM is full: %.1023s was not written (RAM files may hold %lld MB) **", path,
             (long long)(RAM_FILES_LIMIT >> 20));
    printf("%s\n", text);
    tolo_debugf("%s\n", text);
    notify(text);
}

// A copy of a buffer whose capacity fits its length, so RAM files hold what they count.
static ByteBuffer* fitted(ByteBuffer* b) {
    if ((int64_t)b->capacity <= (int64_t)b->length + b->length / 4 + 4096) return b;
    ByteBuffer* c = create_buffer_2(b->length, b->tag);
    bappend_bytes(c, b->bytes, b->length);
    c->cursor = b->cursor;
    destroy_buffer(b);
    return c;
}

// Ends a write to a RAM file: kept when RAM files still fit their limit (clean
// cartridge mounts, which can be unpacked again, make room first), otherwise the
// file goes back to what it was before the write. True when kept.
// True when RAM files can grow by grow bytes for slot f, clean cartridge mounts
// (which can be unpacked again) making room first.
static bool ram_room_for(FileSlot* f, int64_t grow) {
    if (grow > 0 && ram_bytes + grow > RAM_FILES_LIMIT && !clearing && !flushing) {
        const char* saved = pinned_origin;
        pinned_origin = bstr(f->origin);
        clearing = 1;
        delete_clean_ram_mounts();
        clearing = 0;
        pinned_origin = saved;
    }
    return grow <= 0 || ram_bytes + grow <= RAM_FILES_LIMIT;
}

// Flag of a RAM slot whose write was refused before its bytes were copied.
constexpr int32_t SLOT_WRITE_REFUSED = 2;

static bool settle_ram_write(FileSlot* f) {
    int txn = f->txn;
    f->txn = 0;
    bool refused = f->flags & SLOT_WRITE_REFUSED;
    f->flags &= ~SLOT_WRITE_REFUSED;
    int64_t written = f->contents->length - (txn == 2 ? f->before_length : 0);
    // The copy was made whether the write is kept or not.
    spend_cpu(written / 8);
    f->contents = fitted(f->contents);
    if (!refused && ram_room_for(f, slot_held(f) - f->counted)) {
        if (f->before) destroy_buffer(f->before);
        f->before = nullptr;
        recount(f);
        return true;
    }
    report_ram_full(bstr(f->path ? f->path : f->origin));
    if (txn == 3) {
        free_slot(f);
        return false;
    }
    if (txn == 1 && f->before) {
        destroy_buffer(f->contents);
        f->contents = f->before;
        f->before = nullptr;
    } else if (txn == 2) {
        ByteBuffer* b = create_buffer_2(f->before_length, FILE_CONTENTS_TAG);
        bappend_bytes(b, f->contents->bytes, f->before_length);
        destroy_buffer(f->contents);
        f->contents = b;
    }
    recount(f);
    return false;
}

int pfclose(FileSlot* f) {
    if (!f || !f->kind) return 0;
    int rc = 0;
    bool wrote = f->mode[0] == 'w' || f->mode[0] == 'a';
    std::string path = bstr(f->path);
    bool whole_file = f->mode[1] == 'f';
    if (f->kind == 1) {
        if (wrote) {
            int64_t n = f->contents ? f->contents->length : 0;
            const uint8_t* bytes = f->contents ? f->contents->bytes : nullptr;
            struct stat st;
            if (f->mode[0] == 'a' && stat(bstr(f->origin), &st) == 0) {
                // The file's own bytes, then the appended ones; one that can't be read is kept as it is.
                ByteBuffer* whole = host_read_file(bstr(f->origin), -1);
                rc = whole && bappend_bytes(whole, bytes, n) == n
                         ? host_write_file(bstr(f->origin), whole->bytes, whole->length, bstr(f->path))
                         : -1;
                if (whole) destroy_buffer(whole);
            } else {
                rc = host_write_file(bstr(f->origin), bytes, n, bstr(f->path));
            }
            spend_cpu(n / 8);
            spend_cpu(FRAME_CYCLES / 4);
            if (rc == 0) {
                backtrail_event(0, bstr(f->path), bstr(f->origin));
            } else if (rc != HOST_DISK_FULL) {
                printf("** could not write %s\n", bstr(f->path));
                tolo_debugf("** could not write %s (host file %s kept)\n", bstr(f->path), bstr(f->origin));
            }
        }
        free_slot(f);
    } else if (wrote) {
        f->mode[0] = f->mode[1] = 0;
        if (settle_ram_write(f)) mark_origin_dirty(bstr(f->origin));
        else rc = -1;
    } else {
        f->mode[0] = f->mode[1] = 0;
    }
    if (wrote && whole_file && !flushing && rc == 0) drop_stale_cart_mount(path.c_str());
    return rc;
}

// True when the empty file f may hold cap bytes of buffer; otherwise its write is
// refused at close.
static bool room_for_write(FileSlot* f, int64_t cap) {
    if (f->kind != 2 || ram_room_for(f, slot_held(f) - (int64_t)f->contents->capacity + cap - f->counted)) return true;
    // Charged as the copy it saves, so a program that keeps trying gets no cheaper tries.
    spend_cpu(cap / 8);
    f->flags |= SLOT_WRITE_REFUSED;
    return false;
}

bool pfreserve(FileSlot* f, int64_t n) {
    if (!f || !f->contents || f->contents->length != 0 || n < 0 || n > BUFFER_MAX_LENGTH) return true;
    // With its terminating zero the buffer holds n + 1 bytes.
    int64_t cap = n + 1;
    if (!room_for_write(f, cap)) return false;
    if ((int64_t)f->contents->capacity >= cap) return true;
    destroy_buffer(f->contents);
    f->contents = create_buffer_2(n, FILE_CONTENTS_TAG);
    return true;
}

bool pfadopt(FileSlot* f, ByteBuffer* b) {
    if (!f || !f->contents || f->contents->length != 0 || !room_for_write(f, (int64_t)b->capacity)) {
        destroy_buffer(b);
        return false;
    }
    destroy_buffer(f->contents);
    f->contents = b;
    b->cursor = b->length;
    return true;
}

int64_t pfwrite(const void* src, int64_t size, int64_t n, FileSlot* f) {
    if (!f || !f->contents) return 0;
    return bwrite(src, size, n, f->contents);
}

int64_t pfread(void* dst, int64_t size, int64_t n, FileSlot* f) {
    if (!f || !f->contents) return 0;
    return bread(dst, size, n, f->contents);
}

int pdisk_file_exists(const char* path) {
    FileSlot* f = pfopen(path, "re");
    if (!f) return 0;
    pfclose(f);
    return 1;
}

int pdisk_directory_exists(const char* path, int mount_point_flag) {
    ByteBuffer* n = normalise_orvanta_path(path);
    if (!n) return 0;
    int kind = 0;
    ByteBuffer* origin = resolve_to_origin(bstr(n), &kind, 0);
    int r = 0;
    if (origin->length && kind == 1) {
        r = host_directory_exists(bstr(origin));
    } else if (origin->length && kind == 2) {
        FileSlot* s = find_ram_slot(bstr(origin));
        r = s && (s->flags & 1);
    }
    if (!r && mount_point_flag) {
        for (int i = 0; i < pmounts; i++) {
            if (pmount[i].kind != 2 || strcmp(bstr(pmount[i].point), bstr(n))) continue;
            // A cartridge's RAM folder is a folder slot; a mount of another RAM mount's
            // point (mount("/m", "/ram")) is a folder as that point is. Nesting is bounded.
            static int depth = 0;
            if (pmount[i].is_ram) {
                r = 1;
            } else if (strcmp(bstr(pmount[i].origin), bstr(n)) && depth < 8) {
                depth++;
                r = pdisk_directory_exists(bstr(pmount[i].origin), 1);
                depth--;
            }
            break;
        }
    }
    destroy_buffer(origin);
    destroy_buffer(n);
    return r;
}

// ---- write-back ----

// A write-back of a large ROM cartridge: the payload is built here, the compression
// (and, for a cartridge file on the host, the write) runs on a worker thread. At most
// one runs; the worker touches nothing but the job.
struct WritebackJob {
    std::string point, host_path;  // no host path: the cartridge file is a RAM file
    ByteBuffer* payload = nullptr;  // read by the worker, freed on the main thread
    std::vector<uint8_t> image;
    bool ok = false, written = false, done = false;
    std::mutex mu;
    std::condition_variable cv;
};
static std::shared_ptr<WritebackJob> wb_job;

static void run_writeback_job(std::shared_ptr<WritebackJob> j) {
    bool ok = compress_q64_rom_payload(j->payload->bytes, j->payload->length, &j->image);
    bool written = ok && !j->host_path.empty() &&
                   host_write_file(j->host_path.c_str(), j->image.data(), (int64_t)j->image.size(),
                                   j->point.c_str()) == 0;
    std::lock_guard<std::mutex> lock(j->mu);
    j->ok = ok;
    j->written = written;
    j->done = true;
    j->cv.notify_all();
}

// Ends the job in flight once its worker is done (waiting for it when wait is set).
static void finish_writeback(bool wait) {
    std::shared_ptr<WritebackJob> j = wb_job;
    if (!j) return;
    {
        std::unique_lock<std::mutex> lock(j->mu);
        if (!j->done && !wait) return;
        j->cv.wait(lock, [&] { return j->done; });
    }
    wb_job.reset();
    destroy_buffer(j->payload);
    if (!j->ok) {
        printf("** could not write back %s; the cartridge file is kept\n", j->point.c_str());
    } else if (!j->host_path.empty()) {
        if (j->written) backtrail_event(0, j->point.c_str(), j->host_path.c_str());
        else printf("** could not write %s\n", j->point.c_str());
    } else {
        flushing++;
        if (FileSlot* f = pfopen(j->point.c_str(), "wf")) {
            bappend_bytes(f->contents, j->image.data(), (int64_t)j->image.size());
            pfclose(f);
        }
        flushing--;
    }
}

// The host time of a write-back goes to the process whose change made it due.
static void charge_writeback(uint64_t pid, int64_t bytes) {
    Process* p = pid ? get_process(pid) : nullptr;
    if (p) p->debt = sat_add_i32(p->debt, bytes + FRAME_CYCLES / 4);
}

static int64_t ram_bytes_under(const char* origin) {
    int64_t n = 0;
    size_t k = strlen(origin);
    for (const FileSlot& f : pfile)
        if (f.kind == 2 && f.contents && !strncmp(bstr(f.origin), origin, k) && bstr(f.origin)[k] == '/')
            n += f.contents->length;
    return n;
}

int64_t pending_writeback_cost() {
    int64_t n = wb_job ? 2 * (int64_t)wb_job->payload->length : 0;
    // Cartridge folders are /ram/mount/<eight letters>: one pass over the slots finds them all.
    std::unordered_set<std::string> dirty;
    for (int i = 0; i < pmounts; i++)
        if (pmount[i].dirty && !pmount[i].partial && q64_path_kind(bstr(pmount[i].point))) {
            dirty.insert(bstr(pmount[i].origin));
            n += FRAME_CYCLES / 4;  // a file written, like any host write
        }
    if (dirty.empty()) return n;
    for (const FileSlot& f : pfile)
        if (f.kind == 2 && f.contents && dirty.count(cart_folder_of(bstr(f.origin))))
            n += 2 * (int64_t)f.contents->length;  // copied, then compressed
    return n;
}

// Hands a large ROM payload to a worker; false leaves the write-back to be done here.
static bool start_writeback(const std::string& point, ByteBuffer* payload) {
    int kind = 0;
    ByteBuffer* target = resolve_to_origin(point.c_str(), &kind, 1);
    std::string host_path = kind == 1 ? bstr(target) : "";
    destroy_buffer(target);
    if (kind == 1 && (host_path.empty() || !host_writable(host_path.c_str()))) return false;
    auto j = std::make_shared<WritebackJob>();
    j->point = point;
    j->host_path = host_path;
    j->payload = payload;
    wb_job = j;
    std::thread(run_writeback_job, j).detach();
    return true;
}

int flush_dirty_mount(int i, int delayed, int force) {
    if (i < 0 || i >= pmounts) return 0;
    Mount* m = &pmount[i];
    if (!m->dirty) return 0;
    if (delayed && m->flush_time > pdisk_clock()) return 0;
    if (app.exclusive_pid != 0 && !force) return 0;
    // A write-back in flight is waited for; a delayed one waits for it a frame instead.
    finish_writeback(!delayed);
    if (wb_job || i >= pmounts) return 0;
    m = &pmount[i];
    std::string point = bstr(m->point), origin = bstr(m->origin);
    int ck = q64_path_kind(point.c_str());
    int partial = m->partial;
    uint64_t owner = m->dirtied_by;
    m->dirty = 0;
    m->flush_time = 0;
    if (!ck) return 0;
    if (partial) {
        printf("** not writing back %s: it was read only in part\n", point.c_str());
        return 0;
    }
    ByteBuffer* out = create_buffer_2(65536, FILE_CONTENTS_TAG);
    ByteBuffer* ob = create_buffer_from_str(origin.c_str());
    int rc;
    if (ck == 2) {
        // Sized up front: growing a buffer of tens of megabytes copies and clears it again and again.
        ByteBuffer* payload = create_buffer_2(ram_bytes_under(origin.c_str()) + 65536, FILE_CONTENTS_TAG);
        rc = build_q64_rom_payload(payload, ob, 0);
        charge_writeback(owner, payload->length);
        if (rc == 0 && delayed && payload->length > ASYNC_WRITEBACK_BYTES && start_writeback(point, payload)) {
            destroy_buffer(ob);
            destroy_buffer(out);
            return 1;
        }
        std::vector<uint8_t> image;
        if (rc == 0 && !compress_q64_rom_payload(payload->bytes, payload->length, &image)) rc = 1;
        if (rc == 0) bappend_bytes(out, image.data(), (int64_t)image.size());
        destroy_buffer(payload);
    } else {
        rc = ck == 1 ? write_q64_from_ram_files(out, ob) : write_q64_png_from_ram_files(out, ob);
        charge_writeback(owner, out->length);
    }
    destroy_buffer(ob);
    if (rc != 0 || out->length == 0) {
        printf("** could not write back %s; the cartridge file is kept\n", point.c_str());
    } else {
        flushing++;
        FileSlot* f = pfopen(point.c_str(), "wf");
        if (f) {
            bclear(f->contents);
            bappend_bytes(f->contents, out->bytes, out->length);
            pfclose(f);
        }
        flushing--;
    }
    destroy_buffer(out);
    return 1;
}

void flush_dirty_mounts_immediately(int force) {
    finish_writeback(true);
    for (int i = pmounts - 1; i >= 0; i--) flush_dirty_mount(i, 0, force);
}

void flush_dirty_mounts_delayed() {
    host_disk_frame();
    finish_writeback(false);
    // A few cartridges a frame: the others stay due until the next.
    int written = 0;
    for (int i = pmounts - 1; i >= 0 && written < WRITEBACKS_PER_FRAME; i--) written += flush_dirty_mount(i, 1);
}

void prune_mounts() {
    int before = pmounts;
    if (pending_prune && app.exclusive_pid == 0) {
        pending_prune = 0;
    } else if (pmounts <= MOUNT_PRUNE_THRESHOLD) {
        return;
    }
    flush_some_dirty_mounts(WRITEBACKS_PER_FRAME * 4);
    delete_clean_ram_mounts();
    printf("pruned %d -> %d mounts\n", before, pmounts);
    if (pmounts > MOUNT_ADD_LIMIT) {
        printf("** fatal: too many mounts (%d); could not prune.\n", pmounts);
        print_mounts();
        orvanta_terminate(0);
    }
}
