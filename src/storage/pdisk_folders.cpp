// Whole-file and folder operations of the file system: sizes, folders, copying,
// deleting files, folders and mount points, and listings in natural order.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <unordered_set>
#include <vector>

#include "kernel/cpu.h"
#include "lua.h"
#include "storage/backtrail.h"
#include "storage/cart.h"
#include "storage/host_disk.h"
#include "storage/pdisk.h"

static const char* bstr(const ByteBuffer* b) { return b ? (const char*)b->bytes : ""; }

static bool starts_with(const char* s, const char* prefix) { return strncmp(s, prefix, strlen(prefix)) == 0; }

int64_t pfile_size(const char* path, int skip_exact) {
    int kind = 0;
    ByteBuffer* origin = resolve_to_origin(path, &kind, skip_exact);
    int64_t size = 0;
    if (origin->length && kind == 2) {
        FileSlot* s = find_ram_slot(bstr(origin));
        if (s && !(s->flags & 1) && s->contents) size = s->contents->length;
    } else if (origin->length && kind == 1) {
        struct stat st;
        if (stat(bstr(origin), &st) == 0) size = (int64_t)st.st_size;
    }
    destroy_buffer(origin);
    return size;
}

int pmkdir(const char* path) {
    ByteBuffer* n = normalise_orvanta_path(path);
    if (!n) return 1;
    int rc = 0;
    if (q64_path_kind(bstr(n))) {
        Mount* m = mount_q64_path(bstr(n));
        if (m) {
            m->dirty = 1;
            m->flush_time = pdisk_clock() + MOUNT_FLUSH_DELAY_MS;
        }
        destroy_buffer(n);
        return m ? 0 : 1;
    }
    int kind = 0;
    ByteBuffer* origin = resolve_to_origin(bstr(n), &kind, 0);
    if (!origin->length || !kind) {
        rc = 1;
    } else if (kind == 2) {
        if (find_ram_slot(bstr(origin))) {
            rc = 1;
        } else if (FileSlot* s = take_free_slot(bstr(origin), 1)) {
            s->kind = 2;
            s->origin = create_buffer_from_buffer(origin);
            s->flags = 1;
            s->contents = create_buffer_2(0, FILE_CONTENTS_TAG);
            register_ram_slot(s);
            if (ram_files_bytes() > RAM_FILES_LIMIT) {
                free_slot(s);
                rc = 2;
            }
        } else {
            rc = 2;
        }
    } else if (!host_disk_take(HOST_DISK_BLOCK)) {
        report_host_disk_full(bstr(n));
        rc = -1;
    } else {
        rc = mkdir(bstr(origin), 0755) == 0 ? 0 : -1;
        if (rc != 0) host_disk_take(-HOST_DISK_BLOCK);
        backtrail_event(2, bstr(n), bstr(origin));
    }
    destroy_buffer(origin);
    destroy_buffer(n);
    return rc;
}

int64_t fcopy(const char* src, const char* dst) {
    ByteBuffer* ns = normalise_orvanta_path(src);
    ByteBuffer* nd = normalise_orvanta_path(dst);
    int64_t copied = 0;
    FileSlot* fs = ns && nd ? pfopen(bstr(ns), "r") : nullptr;
    if (fs) {
        // Opening the source itself for writing would empty it: a copy onto itself does nothing.
        int kind = 0;
        ByteBuffer* dorigin = resolve_to_origin(bstr(nd), &kind, 0);
        bool same = kind == fs->kind && !strcmp(bstr(dorigin), bstr(fs->origin));
        destroy_buffer(dorigin);
        FileSlot* fd = same ? nullptr : pfopen(bstr(nd), "w");
        if (fd && fd != fs) {
            int64_t n = fs->contents->length;
            // Sized once, and not copied at all when RAM can't hold it.
            if (pfreserve(fd, n)) bappend_bytes(fd->contents, fs->contents->bytes, n);
            copied = pfclose(fd) == 0 ? n : 0;
        }
        pfclose(fs);
    }
    if (ns) destroy_buffer(ns);
    if (nd) destroy_buffer(nd);
    return copied;
}

int delete_mount_point(const char* path) {
    for (int i = 0; i < pmounts; i++) {
        if (strcmp(bstr(pmount[i].point), path)) continue;
        // Write it back first: the cartridge file keeps what was changed.
        flush_dirty_mount(i, 0);
        remove_mount_at(i, 1);
        return 1;
    }
    return 0;
}

// The origin of a cartridge file is deleted once as a path of its own; that step never
// repeats, so a mount that maps /ram/mount onto a folder inside it can't recurse for ever.
static int delete_path_at(const char* path, bool via_origin) {
    ByteBuffer* n = normalise_orvanta_path(path);
    if (!n) return 0;
    std::string np = bstr(n);
    destroy_buffer(n);
    delete_mount_point(np.c_str());
    pdisk_block_automount(1);
    int kind = 0;
    ByteBuffer* ob = resolve_to_origin(np.c_str(), &kind, 0);
    std::string origin = bstr(ob);
    destroy_buffer(ob);
    if (!origin.empty() && kind == 1) {
        // A host mount's own folder is never removed through it: deleting "/" keeps the drive.
        std::string folder = origin.size() > 1 && origin.back() == '/' ? origin.substr(0, origin.size() - 1) : origin;
        bool mount_folder = false;
        for (int i = 0; i < pmounts; i++)
            mount_folder = mount_folder || (pmount[i].kind == 1 && folder == bstr(pmount[i].origin));
        struct stat st;
        if (!mount_folder && lstat(origin.c_str(), &st) == 0) {
            // What is removed is room given back to the run's host disk allowance.
            int64_t room = host_disk_size_of(origin.c_str());
            if ((S_ISDIR(st.st_mode) ? rmdir(origin.c_str()) : unlink(origin.c_str())) == 0) host_disk_take(-room);
            backtrail_event(1, np.c_str(), origin.c_str());
        }
    } else if (!origin.empty() && kind == 2) {
        mark_origin_dirty(origin.c_str());
        if (starts_with(origin.c_str(), "/ram/mount/")) {
            delete_ram_files_in_path(np.c_str());
            if (origin != np && !via_origin) delete_path_at(origin.c_str(), true);
        } else if (pdisk_directory_exists(np.c_str(), 1)) {
            delete_ram_files_in_path(origin.c_str());
        } else if (FileSlot* s = find_ram_slot(origin.c_str())) {
            free_slot(s);
        }
    }
    pdisk_block_automount(0);
    return 0;
}

int delete_path(const char* path) { return delete_path_at(path, false); }

// ---- listing ----

static bool is_digit(unsigned char c) { return c >= '0' && c <= '9'; }

static int natural_cmp(const char* a, const char* b) {
    size_t la = strlen(a), lb = strlen(b);
    bool fa = la && a[la - 1] == '/', fb = lb && b[lb - 1] == '/';
    if (fa != fb) return fa ? -1 : 1;
    const unsigned char* p = (const unsigned char*)a;
    const unsigned char* q = (const unsigned char*)b;
    while (*p && *q) {
        if (is_digit(*p) && is_digit(*q)) {
            const unsigned char *ps = p, *qs = q;
            while (is_digit(*p)) p++;
            while (is_digit(*q)) q++;
            while (ps < p - 1 && *ps == '0') ps++;  // leading zeros do not count
            while (qs < q - 1 && *qs == '0') qs++;
            if (p - ps != q - qs) return p - ps < q - qs ? -1 : 1;
            int c = memcmp(ps, qs, (size_t)(p - ps));
            if (c) return c;
            continue;
        }
        if (is_digit(*p) != is_digit(*q)) return is_digit(*p) ? -1 : 1;
        unsigned char x = (*p >= 'a' && *p <= 'z') ? *p - 32 : *p;
        unsigned char y = (*q >= 'a' && *q <= 'z') ? *q - 32 : *q;
        if (x != y) return x < y ? -1 : 1;
        p++, q++;
    }
    if (*p || *q) return *p ? 1 : -1;
    return strcmp(a, b);  // names equal in natural order keep a fixed order
}

bool compare_str_item(const char* a, const char* b) { return natural_cmp(a, b) < 0; }

static bool has_control_bytes(const char* s) {
    for (const unsigned char* p = (const unsigned char*)s; *p; p++)
        if (*p < 32 || *p == 127) return true;
    return false;
}

static std::string strip_slash(const std::string& s) {
    return !s.empty() && s.back() == '/' ? s.substr(0, s.size() - 1) : s;
}

int pflist(const char* path, lua_State* L) {
    ByteBuffer* n = normalise_orvanta_path(path);
    if (!n) return 0;
    std::string np = bstr(n);
    destroy_buffer(n);
    int kind = 0;
    ByteBuffer* ob = resolve_to_origin(np.c_str(), &kind, 0);
    std::string origin = bstr(ob);
    destroy_buffer(ob);
    if (origin.empty() || !kind) return 0;
    std::string base = np == "/" ? "/" : np + "/";
    const size_t max_names = 65536;
    std::vector<std::string> names;
    // Looked up once per name: a set, not a walk of the mount table each time.
    std::unordered_set<std::string> points;
    for (int i = 0; i < pmounts; i++) points.insert(bstr(pmount[i].point));
    int64_t examined = 0;
    if (kind == 1) {
        DIR* d = opendir(origin.c_str());
        if (!d) return 0;
        while (struct dirent* e = readdir(d)) {
            if (names.size() >= max_names) break;
            examined += 16;
            const char* name = e->d_name;
            if (name[0] == '.' || has_control_bytes(name)) continue;
            if (points.count(base + name)) continue;
            bool dir = e->d_type == DT_DIR;
            if (e->d_type == DT_UNKNOWN || e->d_type == DT_LNK) {
                struct stat st;
                dir = stat((origin + "/" + name).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
            }
            names.push_back(dir && !q64_path_kind(name) ? std::string(name) + "/" : std::string(name));
        }
        closedir(d);
    } else {
        std::string pre = origin == "/" ? "/" : origin + "/";
        examined += MAX_FILE_SLOTS / 16;
        for (const FileSlot& f : pfile) {
            if (names.size() >= max_names) break;
            if (f.kind != 2 || !f.origin) continue;
            const char* o = bstr(f.origin);
            if (strncmp(o, pre.c_str(), pre.size())) continue;
            const char* name = o + pre.size();
            if (!name[0] || name[0] == '.' || strchr(name, '/')) continue;
            if (points.count(o)) continue;
            names.push_back((f.flags & 1) ? std::string(name) + "/" : std::string(name));
        }
    }
    for (int i = 0; i < pmounts && names.size() < max_names; i++) {
        const char* pt = bstr(pmount[i].point);
        if (strlen(pt) <= 1 || strncmp(pt, base.c_str(), base.size())) continue;
        const char* name = pt + base.size();
        if (!name[0] || strchr(name, '/')) continue;
        names.push_back(get_ext(name)[0] ? std::string(name) : std::string(name) + "/");
    }
    // What the host did: entries looked at, the mount table, sorting and pushing names.
    spend_cpu(examined + pmounts + 32 * (int64_t)names.size());
    std::sort(names.begin(), names.end(),
              [](const std::string& a, const std::string& b) { return compare_str_item(a.c_str(), b.c_str()); });
    lua_createtable(L, (int)names.size(), 0);
    int folders = 0;
    for (int pass = 0; pass < 2; pass++) {
        for (size_t i = 0; i < names.size(); i++) {
            const std::string& nm = names[i];
            std::string bare = strip_slash(nm);
            bool folder = nm.back() == '/' && !q64_path_kind(bare.c_str());
            if (folder != (pass == 0)) continue;
            if (folder) folders++;
            if (i > 0 && strip_slash(names[i - 1]) == bare) continue;
            lua_pushlstring(L, bare.data(), bare.size());
            lua_rawseti(L, -2, (lua_Integer)i + 1);
        }
    }
    lua_pushinteger(L, folders);
    return 2;
}
