#include "storage/backtrail.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>
#include <murmurhash.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "host/host.h"
#include "kernel/cpu.h"
#include "kernel/state.h"
#include "storage/delta.h"
#include "storage/host_disk.h"
#include "storage/htable.h"
#include "storage/pdisk.h"

static int64_t wall_clock() { return (int64_t)time(nullptr); }
int64_t (*backtrail_clock)() = wall_clock;

constexpr int32_t TABLE_SIZE = 65536;
constexpr int64_t BLOB_LIMIT = 16777216;  // files this large or larger are not recorded
constexpr int32_t DELTA_MAX = 8192, DELTA_SMALL = 512;
constexpr int HEX_LINE_BYTES = 38;
constexpr size_t LOG_LINE_MAX = 1022;
constexpr int MAX_DEPTH = 1024;

// path -> blob name of the last full copy, for the day of current_log_path.
static StringTable* backtrail_tbl;
static std::string current_log_path;

// The history's root folder, with a trailing "/".
static std::string history_root() {
    char out[1024];
    tolo_prefix_with_appdata_path("backtrail/", out);
    return out;
}

static std::string utc_text(int64_t t, const char* fmt) {
    time_t tt = (time_t)t;
    struct tm tm;
    char b[64] = "";
    if (gmtime_r(&tt, &tm)) strftime(b, sizeof b, fmt, &tm);
    return b;
}

static bool host_exists(const std::string& p) {
    struct stat st;
    return stat(p.c_str(), &st) == 0;
}

static bool host_is_file(const std::string& p) {
    struct stat st;
    return stat(p.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// Blob names become host file names: only exactly 32 lower-case hex digits pass.
static bool is_blob_name(const char* s, size_t n) {
    if (n != 32) return false;
    for (size_t i = 0; i < n; i++)
        if (!((s[i] >= '0' && s[i] <= '9') || (s[i] >= 'a' && s[i] <= 'f'))) return false;
    return true;
}

void backtrail_blob_name(const uint8_t* bytes, int64_t n, char out[33]) {
    static const uint8_t none = 0;
    uint64_t h[2];
    lmmh_x64_128(n > 0 ? bytes : &none, (unsigned)n, 0, h);
    for (int i = 0; i < 16; i++) snprintf(out + 2 * i, 3, "%02x", (unsigned)(h[i / 8] >> (8 * (i % 8))) & 0xffu);
}

static bool blob_matches(const ByteBuffer* b, const std::string& name) {
    char got[33];
    backtrail_blob_name(b->bytes, b->length, got);
    return name == got;
}

// A whole file below the blob limit, or null.
static ByteBuffer* read_blob_sized(const std::string& host_path) {
    ByteBuffer* b = host_read_file(host_path.c_str(), BLOB_LIMIT);
    if (b && b->length >= BLOB_LIMIT) {
        destroy_buffer(b);
        return nullptr;
    }
    return b;
}

static int write_host(const std::string& p, const std::string& bytes) {
    return host_write_file(p.c_str(), (const uint8_t*)bytes.data(), (int64_t)bytes.size());
}

// Each line of a log, cut from the end at bytes below 33 (read as signed: controls, blanks
// and bytes from 0x80 up) but kept to at least 2 bytes. A line longer than a reader's line
// is skipped whole, and so is a last line without its line break (an append cut short by a
// crash), so a cut-off path never stands for another.
template <class F>
static void each_log_line(const ByteBuffer* log, F f) {
    const char* p = (const char*)log->bytes;
    const char* end = p + log->length;
    while (p < end) {
        const char* nl = (const char*)memchr(p, '\n', (size_t)(end - p));
        if (!nl) break;
        size_t n = (size_t)(nl - p);
        if (n <= LOG_LINE_MAX) {
            while (n > 2 && (signed char)p[n - 1] < 33) n--;
            f(p, n);
        }
        p = nl + 1;
    }
}

static void replace_table() {
    destroy_htable(backtrail_tbl);
    backtrail_tbl = create_htable(TABLE_SIZE);
}

static void load_log(const std::string& log) {
    ByteBuffer* b = host_read_file(log.c_str(), -1);
    if (!b) return;
    each_log_line(b, [](const char* s, size_t n) {
        if ((s[0] == ':' || s[0] == '$') && n > 35 && is_blob_name(s + 2, 32)) {
            std::string path(s + 35, n - 35), name(s + 2, 32);
            htable_insert_str(backtrail_tbl, path.c_str(), name.c_str());
        }
    });
    destroy_buffer(b);
}

// The "@ time" line before a record, or a time note.
static void add_timestamp(std::string& text, const std::string& time, const char* note = nullptr) {
    text += "@ " + time + (note ? std::string(" ") + note : std::string()) + "\n";
}

// A delta's bytes as "| " lines of lower-case hex.
static void write_delta(std::string& text, const ByteBuffer* d) {
    static const char digits[] = "0123456789abcdef";
    for (int32_t i = 0; i < d->length; i += HEX_LINE_BYTES) {
        text += "| ";
        for (int32_t k = i; k < d->length && k < i + HEX_LINE_BYTES; k++) {
            text += digits[d->bytes[k] >> 4];
            text += digits[d->bytes[k] & 15];
        }
        text += '\n';
    }
}

// Records one host file into text: a delta against the day's full copy of the path when
// small, else a full copy (a blob, written unless it exists).
static void store_file_checkpoint(std::string& text, const std::string& host_path, const std::string& path,
                                  const std::string& blobs, bool snapshot, const std::string& time) {
    ByteBuffer* data = read_blob_sized(host_path);
    if (!data) return;
    // The history's reads are host reads of the process whose write or switch caused them.
    spend_cpu(data->length / 8);
    char name[33];
    backtrail_blob_name(data->bytes, data->length, name);
    uint64_t base_len = 0;
    const char* base = snapshot ? nullptr : htable_get(backtrail_tbl, path.c_str(), &base_len);
    if (base && is_blob_name(base, (size_t)base_len)) {
        std::string base_name = base;
        ByteBuffer* old = read_blob_sized(blobs + "/" + base_name);
        if (old) spend_cpu(old->length / 8);
        ByteBuffer* d = old ? generate_diff(old->bytes, old->length, data->bytes, data->length) : nullptr;
        bool small = d && d->length <= DELTA_MAX && (d->length <= DELTA_SMALL || d->length <= data->length / 16);
        if (small) {
            add_timestamp(text, time);
            text += "+ " + base_name + " " + path + "\n";
            write_delta(text, d);
        }
        destroy_buffer(d);
        destroy_buffer(old);
        if (small) {
            destroy_buffer(data);
            return;
        }
    }
    std::string blob = blobs + "/" + name;
    if (!host_exists(blob) && host_write_file(blob.c_str(), data->bytes, data->length) != 0)
        tolo_debugf("[backtrail] couldn't write blob %s\n", name);
    if (!snapshot) add_timestamp(text, time);
    text += std::string(snapshot ? ": " : "$ ") + name + " " + path + "\n";
    htable_insert_str(backtrail_tbl, path.c_str(), name);
    destroy_buffer(data);
}

struct Snapshot {
    std::string text, blobs, time;
    // The file whose write started the day's log: it is recorded by its own event, as
    // written at that time, not as the day's starting state.
    std::string skip;
    std::vector<std::pair<dev_t, ino_t>> folders;  // the host folders being walked
};

static void generate_daily_branch(Snapshot& s, const std::string& path, int depth) {
    if (depth > MAX_DEPTH) {
        tolo_debug("** backtrail exceeded maximum depth (1024). circular mount?\n");
        return;
    }
    if (path != "/") s.text += "^ " + path + "/\n";
    int kind = 0;
    ByteBuffer* ob = resolve_to_origin(path.c_str(), &kind, 0);
    std::string origin = (const char*)ob->bytes;
    destroy_buffer(ob);
    struct stat st;
    if (kind != 1 || origin.empty() || stat(origin.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return;
    // A mount or link that leads back into a folder being walked would repeat for ever.
    for (const auto& f : s.folders) {
        if (f.first == st.st_dev && f.second == st.st_ino) {
            tolo_debugf("** backtrail: %s leads back into itself; not walked\n", path.c_str());
            return;
        }
    }
    DIR* d = opendir(origin.c_str());
    if (!d) return;
    std::vector<std::string> names;
    while (struct dirent* e = readdir(d))
        if (e->d_name[0] != '.') names.push_back(e->d_name);
    closedir(d);
    std::sort(names.begin(), names.end());
    s.folders.emplace_back(st.st_dev, st.st_ino);
    for (const std::string& name : names) {
        std::string child = (path == "/" ? "/" : path + "/") + name;
        std::string host = origin + (origin.back() == '/' ? "" : "/") + name;
        struct stat cs, ls;
        // Host names that are no paths of the file system (blanks, line breaks) are left out.
        if (!is_legal_path(child.c_str()) || stat(host.c_str(), &cs) != 0 || lstat(host.c_str(), &ls) != 0) continue;
        if (S_ISDIR(cs.st_mode)) {
            if (strcmp(get_ext(child.c_str()), "bin") != 0) generate_daily_branch(s, child, depth + 1);
        } else if (S_ISREG(cs.st_mode) && child != s.skip) {
            // A link is read only where the file system would read it: not out of its mount.
            if (S_ISLNK(ls.st_mode)) {
                int fk = 0;
                ByteBuffer* fo = resolve_to_origin(child.c_str(), &fk, 0);
                host = fk == 1 ? (const char*)fo->bytes : "";
                destroy_buffer(fo);
                if (host.empty()) continue;
            }
            store_file_checkpoint(s.text, host, child, s.blobs, true, s.time);
        }
    }
    s.folders.pop_back();
}

// Appends the records and syncs them; the records already there are never rewritten. A
// last line left without its line break by a crash mid-append is cut off first, so it
// can't run into the new records.
static bool append_to_log(const std::string& log, const std::string& text) {
    // Counted against the run's host disk allowance like any host write, and refused
    // before the log is touched: the most it can grow is from its size now.
    struct stat st;
    int64_t had = host_disk_size_of(log.c_str());
    int64_t size = lstat(log.c_str(), &st) == 0 ? (int64_t)st.st_size : 0;
    int64_t grow = host_disk_blocks(size + (int64_t)text.size()) - had;
    if (!host_disk_take(grow)) {
        report_host_disk_full(log.c_str());
        return false;
    }
    int fd = open(log.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    bool ok = fd >= 0;
    char last = '\n';
    if (!ok || fstat(fd, &st) != 0) {
        ok = false;
    } else if (st.st_size > 0) {
        int rd = open(log.c_str(), O_RDONLY | O_CLOEXEC);
        ok = rd >= 0 && pread(rd, &last, 1, st.st_size - 1) == 1;
        off_t keep = st.st_size;
        char buf[4096];
        // Back to just after the last line break; a log without any is emptied.
        while (ok && last != '\n' && keep > 0) {
            off_t at = keep > (off_t)sizeof buf ? keep - (off_t)sizeof buf : 0;
            ssize_t got = pread(rd, buf, (size_t)(keep - at), at);
            ok = got == keep - at;
            const char* nl = ok ? (const char*)memrchr(buf, '\n', (size_t)got) : nullptr;
            keep = nl ? at + (nl - buf) + 1 : at;
            if (nl) last = '\n';
        }
        if (rd >= 0) close(rd);
        if (ok && keep != st.st_size) ok = ftruncate(fd, keep) == 0;
    }
    for (size_t done = 0; ok && done < text.size();) {
        ssize_t w = write(fd, text.data() + done, text.size() - done);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) ok = false;
        else done += (size_t)w;
    }
    if (ok) ok = fdatasync(fd) == 0;
    if (fd >= 0 && close(fd) != 0) ok = false;
    // What a cut or a failed write did not use goes back.
    host_disk_take(std::min<int64_t>(0, host_disk_size_of(log.c_str()) - had - grow));
    return ok;
}

void backtrail_event(int kind, const char* a, const char* b) {
    if (!config.backtrail) return;
    // Paths are whole log lines' tails: one holding a line break would forge records.
    if (kind <= 2 && (!a || strchr(a, '\n'))) return;
    if (kind == 0 && !b) return;
    if (kind == 3 && a && strchr(a, '\n')) return;
    int64_t now = backtrail_clock();
    std::string root = history_root(), month = root + utc_text(now, "%Y-%m");
    std::string time = utc_text(now, "%Y-%m-%d_%H:%M:%S");
    tolo_mkdir(root.c_str());
    tolo_mkdir(month.c_str());
    std::string blobs = month + "/orb";
    tolo_mkdir(blobs.c_str());
    std::string log = month + "/" + utc_text(now, "%d") + ".log";

    if (host_exists(log)) {
        if (log != current_log_path) {
            tolo_debugf("[backtrail] loading log file: %s\n", log.c_str());
            replace_table();
            load_log(log);
        }
    } else {
        replace_table();
        tolo_debugf("[backtrail] generating new log file: %s\n", log.c_str());
        Snapshot s;
        s.blobs = blobs;
        s.time = time;
        if (kind == 0) s.skip = a;
        // The walk reads folders as they are: cartridge files are files, not mounts. The
        // root's mount point is kept as "".
        if (find_mount_by_point("") || find_mount_by_point("/")) {
            pdisk_block_automount(1);
            generate_daily_branch(s, "/", 0);
            pdisk_block_automount(0);
        }
        if (write_host(log, s.text) != 0) tolo_debugf("[backtrail] ** could not open new log file: %s\n", log.c_str());
    }
    current_log_path = log;
    if (kind == 4) return;

    std::string text;
    switch (kind) {
    case 0: store_file_checkpoint(text, b, a, blobs, false, time); break;
    case 1: text = std::string("- ") + a + "\n"; break;
    case 2: text = std::string("> ") + a + "\n"; break;
    case 3: add_timestamp(text, time, a); break;
    default: return;
    }
    if (!text.empty() && !append_to_log(log, text)) printf(" ** couldn't open log file to append\n");
}

void backtrail_open() {
    current_log_path.clear();
    backtrail_event(3, "__start_session", nullptr);
}

void backtrail_close() {
    destroy_htable(backtrail_tbl);
    backtrail_tbl = nullptr;
}

// ---- fetching ----

static bool digits(const std::string& s, size_t at, size_t n, int* v) {
    *v = 0;
    for (size_t i = at; i < at + n; i++) {
        if (s[i] < '0' || s[i] > '9') return false;
        *v = *v * 10 + (s[i] - '0');
    }
    return true;
}

struct Found {
    std::string base, hex;
    bool delta = false;  // a "+" record: the hex lines hold a delta against base
};

// The last record of path at or before when, in one day's log.
static Found find_record(const ByteBuffer* log, const std::string& day_start, const std::string& path,
                         const std::string& when) {
    Found f;
    std::string current = day_start;
    bool collecting = false;
    each_log_line(log, [&](const char* s, size_t n) {
        char c = n ? s[0] : 0;
        if (c == '@') {
            current.assign(n > 2 ? s + 2 : s, n > 2 ? std::min<size_t>(19, n - 2) : 0);
            collecting = false;
        } else if ((c == ':' || c == '$' || c == '+') && n > 35 && path.compare(0, std::string::npos, s + 35, n - 35) == 0 &&
                   current <= when) {
            f.base.assign(s + 2, 32);
            f.hex.clear();
            f.delta = collecting = c == '+';
        } else if (c == '|' && collecting) {
            if (n > 2) f.hex.append(s + 2, n - 2);
        } else {
            collecting = false;
        }
    });
    return f;
}

static ByteBuffer* rebuild(const std::string& root, const Found& f, int y, int m) {
    if (!is_blob_name(f.base.data(), f.base.size())) return nullptr;
    char rel[64];
    snprintf(rel, sizeof rel, "%04d-%02d/orb/", y, m);
    ByteBuffer* blob = read_blob_sized(root + rel + f.base);
    if (!blob) return nullptr;
    spend_cpu(blob->length / 8);
    // A damaged blob is never handed out as the file.
    if (!blob_matches(blob, f.base)) {
        destroy_buffer(blob);
        return nullptr;
    }
    if (!f.delta) return blob;
    std::vector<uint8_t> delta(f.hex.size() / 2);
    const char* p = f.hex.c_str();
    for (uint8_t& byte : delta) byte = read_u8_from_hex_str(&p);
    ByteBuffer* r = apply_diff(blob->bytes, blob->length, delta.data(), (int64_t)delta.size());
    destroy_buffer(blob);
    return r;
}

ByteBuffer* backtrail_fetch(const char* request) {
    if (!request || strnlen(request, 2048) >= 2048) return nullptr;
    const char* at = strchr(request, '@');
    if (!at) return nullptr;
    std::string path(request, (size_t)(at - request)), when(at + 1);
    if (when.size() != 19) return nullptr;
    when[10] = '_';
    int y, m, d;
    if (!digits(when, 0, 4, &y) || when[4] != '-' || !digits(when, 5, 2, &m) || when[7] != '-' ||
        !digits(when, 8, 2, &d))
        return nullptr;
    m = std::clamp(m, 1, 12);
    d = std::clamp(d, 1, 31);
    // A date past today starts from today's log, which holds the latest state.
    time_t now = (time_t)backtrail_clock();
    struct tm t;
    if (gmtime_r(&now, &t) && std::make_tuple(y, m, d) > std::make_tuple(t.tm_year + 1900, t.tm_mon + 1, t.tm_mday))
        y = t.tm_year + 1900, m = t.tm_mon + 1, d = t.tm_mday;

    // The nearest log is read, and when it has no record of the path at or before the time
    // (the path was made later that day, or its write opened the log), the one before it.
    std::string root = history_root();
    int logs_read = 0;
    for (;;) {
        char rel[64];
        snprintf(rel, sizeof rel, "%04d-%02d/%02d.log", y, m, d);
        std::string log = root + rel;
        spend_cpu(16);  // an existence test per day walked
        if (host_is_file(log)) {
            ByteBuffer* b = host_read_file(log.c_str(), -1);
            if (b) {
                spend_cpu(b->length / 8);
                char start[32];
                snprintf(start, sizeof start, "%04d-%02d-%02d_00:00:00", y, m, d);
                Found f = find_record(b, start, path, when);
                destroy_buffer(b);
                if (!f.base.empty()) return rebuild(root, f, y, m);
            }
            if (++logs_read == 2) return nullptr;
        }
        if (y <= 2024 && m <= 4 && d == 1) return nullptr;
        if (--d < 1) {
            d = 31;
            if (--m < 1) m = 12, y--;
        }
    }
}
