// Cartridges: ROM images and text cartridges read into RAM folders and written back
// from them, and the mounting of a cartridge file as a folder.
#include "storage/cart.h"

#include <lz4.h>
#include <lz4hc.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "kernel/state.h"
#include "storage/base64.h"
#include "storage/cart_png.h"
#include "storage/pdisk.h"
#include "storage/qxa.h"

static const char* bstr(const ByteBuffer* b) { return b ? (const char*)b->bytes : ""; }

static std::string join(const char* folder, const std::string& rel) { return std::string(folder) + "/" + rel; }

// Writes bytes as a new RAM or host file at path; false when it can't be opened or
// its write is refused (RAM full), so the caller marks the folder incomplete.
static bool write_whole_file(const std::string& path, const void* bytes, int64_t n) {
    FileSlot* f = pfopen(path.c_str(), "w");
    if (!f) return false;
    if (pfreserve(f, n) && n > 0) bwrite(bytes, 1, n, f->contents);
    return pfclose(f) == 0;
}

// Makes the n bytes at block + from the new file at path, taking over block (malloc'd,
// cap bytes), so a large file is not copied again; false when it can't be opened or
// its write is refused.
static bool adopt_whole_file(const std::string& path, uint8_t* block, uint64_t cap, int64_t from, int64_t n) {
    ByteBuffer* b = create_buffer_adopting(block, cap, from, n, FILE_CONTENTS_TAG);
    FileSlot* f = pfopen(path.c_str(), "w");
    if (!f) {
        destroy_buffer(b);
        return false;
    }
    pfadopt(f, b);
    return pfclose(f) == 0;
}

// Every RAM entry under origin, in slot order, with its path relative to origin.
struct RamEntry {
    FileSlot* slot;
    std::string rel;
};

static std::vector<RamEntry> ram_entries_under(const char* origin) {
    std::vector<RamEntry> r;
    size_t n = strlen(origin);
    for (FileSlot& f : pfile) {
        if (f.kind != 2 || !f.origin) continue;
        const char* o = bstr(f.origin);
        if (strncmp(o, origin, n) || o[n] != '/' || !o[n + 1]) continue;
        r.push_back({&f, std::string(o + n + 1)});
    }
    return r;
}

static bool is_folder(const FileSlot* f) { return f->flags & 1; }

// ---- ROM images ----

int populate_ram_folder_from_q64_rom_buffer(const char* prefix, ByteBuffer* rom) {
    if (!rom) return 0;
    if (!prefix) prefix = "";
    const uint8_t* b = rom->bytes;
    int64_t len = rom->length;
    int64_t cur = rom->cursor < 0 ? 0 : rom->cursor;
    if (cur > len) cur = len;
    if (cur == 0 && len >= 4 && is_qxa_block(b, (size_t)len)) {
        ByteBuffer* text = qxa_decompress_to_buffer(b, (size_t)len);
        bool ok = write_whole_file(join(prefix, "main.lua"), text->bytes, (int64_t)strlen(bstr(text)));
        destroy_buffer(text);
        rom->cursor = (int32_t)len;
        return ok ? 0 : 1;
    }
    if (len - cur < 3 || memcmp(b + cur, "q64", 3) != 0) {
        if (cur != 0) return 1;
        // A plain source file counts as a one-file cartridge.
        bool ok = len == 0 || write_whole_file(join(prefix, "main.lua"), b, (int64_t)strnlen((const char*)b, (size_t)len));
        rom->cursor = (int32_t)len;
        return ok ? 0 : 1;
    }
    cur += 3;
    if (len - cur < 5) {
        printf("  *** q64.rom decompression failed: %s\n", prefix);
        rom->cursor = (int32_t)len;
        return 1;
    }
    uint32_t csize = (uint32_t)b[cur + 1] | (uint32_t)b[cur + 2] << 8 | (uint32_t)b[cur + 3] << 16 |
                     (uint32_t)b[cur + 4] << 24;
    cur += 5;
    int64_t avail = (int64_t)csize < len - cur ? (int64_t)csize : len - cur;
    rom->cursor = (int32_t)(cur + avail);
    // At most 64 MB, and never more than an LZ4 block can expand to (255 times its size).
    int64_t cap = avail * 255 + 16 < ROM_MAX_PAYLOAD ? avail * 255 + 16 : ROM_MAX_PAYLOAD;
    std::unique_ptr<uint8_t, decltype(&buffer_block_free)> out(buffer_block_alloc((uint64_t)cap), &buffer_block_free);
    if (!out) return 1;
    int r = LZ4_decompress_safe((const char*)b + cur, (char*)out.get(), (int)avail, (int)cap);
    // A valid empty block is an empty cartridge, not a failure.
    if (r < 0) {
        printf("  *** q64.rom decompression failed: %s\n", prefix);
        return 1;
    }
    const uint8_t* p = out.get();
    int64_t n = r, pos = 0;
    int partial = 0;
    // The length of the entry's path at pos, or -1 when it can't be read.
    auto path_length = [&](int64_t at) -> int64_t {
        int64_t lim = n - at < ROM_MAX_PATH + 1 ? n - at : ROM_MAX_PATH + 1;
        const void* nul = memchr(p + at, 0, (size_t)lim);
        int64_t plen = nul ? (const uint8_t*)nul - (p + at) : -1;
        return plen < 1 || plen > ROM_MAX_PATH ? -1 : plen;
    };
    auto unreadable = [] {
        printf("  *** q64.rom filename parsing failed\n");
        return 1;
    };
    for (int entries = 0; pos < n; entries++) {
        if (entries >= ROM_MAX_ENTRIES) return 1;
        int64_t plen = path_length(pos);
        if (plen < 0) return unreadable();
        std::string path((const char*)p + pos, (size_t)plen);
        pos += plen + 1;
        if (path.find("..") != std::string::npos) {
            printf("** bad file description while mounting .q64.rom: %s\n", prefix);
            return 1;
        }
        std::string full = join(prefix, path);
        if (full.size() > 1024) return 1;
        if (path.back() == '/') {
            if (pmkdir(full.c_str()) == 2) partial = 1;
            continue;
        }
        if (pos >= n) return 1;
        int64_t size = p[pos++];
        if (size == 255) {
            if (n - pos < 4) return 1;
            size = (int64_t)p[pos] | (int64_t)p[pos + 1] << 8 | (int64_t)p[pos + 2] << 16 | (int64_t)p[pos + 3] << 24;
            pos += 4;
        }
        int64_t take = size < n - pos ? size : n - pos;
        int64_t rest = n - pos - take;
        bool written;
        if (take >= (1 << 20) && take >= rest) {
            // A large file (at least what follows it) keeps the decompressed block instead
            // of a copy of it; what follows moves to a block of its own, unless its first
            // entry can't be read anyway.
            if (rest > 0 && entries + 1 < ROM_MAX_ENTRIES && path_length(pos + take) < 0) {
                adopt_whole_file(full, out.release(), (uint64_t)cap, pos, take);
                return unreadable();
            }
            std::unique_ptr<uint8_t, decltype(&buffer_block_free)> tail(buffer_block_alloc((uint64_t)rest + 1),
                                                                          &buffer_block_free);
            if (!tail) return 1;
            memcpy(tail.get(), p + pos + take, (size_t)rest);
            written = adopt_whole_file(full, out.release(), (uint64_t)cap, pos, take);
            out = std::move(tail);
            cap = rest + 1;
            p = out.get();
            n = rest;
            pos = 0;
        } else {
            written = write_whole_file(full, p + pos, take);
            pos += take;
        }
        if (!written || take < size) partial = 1;
    }
    return partial;
}

static bool rom_path_ok(const std::string& rel) {
    if (rel.empty() || rel.size() > ROM_MAX_PATH || rel.find("..") != std::string::npos) return false;
    return rel.find('\0') == std::string::npos;
}

int build_q64_rom_payload(ByteBuffer* payload, ByteBuffer* origin, int flags) {
    std::vector<RamEntry> entries = ram_entries_under(bstr(origin));
    int count = 0;
    for (const RamEntry& e : entries) {
        if ((flags & 4) && (e.rel == "label.png" || e.rel == "label.qoi")) continue;
        std::string rel = is_folder(e.slot) ? e.rel + "/" : e.rel;
        if (!rom_path_ok(rel) || ++count > ROM_MAX_ENTRIES) {
            printf("** can not store %s in a q64.rom\n", rel.c_str());
            return 1;
        }
        bappend_bytes(payload, rel.c_str(), (int64_t)rel.size() + 1);
        if (is_folder(e.slot)) continue;
        if ((flags & 8) && e.rel == ".info.orb") extract_label_text(e.slot->contents);
        int64_t sz = e.slot->contents ? e.slot->contents->length : 0;
        if (sz <= 254) {
            uint8_t b = (uint8_t)sz;
            bappend_bytes(payload, &b, 1);
        } else {
            uint8_t h[5] = {255, (uint8_t)sz, (uint8_t)(sz >> 8), (uint8_t)(sz >> 16), (uint8_t)(sz >> 24)};
            bappend_bytes(payload, h, 5);
        }
        if (sz) bappend_bytes(payload, e.slot->contents->bytes, sz);
    }
    // The reader decompresses into at most 64 MB; a bigger payload could not be read back.
    return payload->length > ROM_MAX_PAYLOAD ? 1 : 0;
}

bool compress_q64_rom_payload(const uint8_t* payload, int64_t n, std::vector<uint8_t>* image) {
    if (n < 0 || n > ROM_MAX_PAYLOAD) return false;
    int bound = LZ4_compressBound((int)n);
    image->assign((size_t)bound + 8, 0);
    int c = LZ4_compress_HC((const char*)payload, (char*)image->data() + 8, (int)n, bound, 9);
    if (c <= 0) return false;
    const uint8_t h[8] = {'q', '6', '4', 2, (uint8_t)c, (uint8_t)(c >> 8), (uint8_t)(c >> 16), (uint8_t)(c >> 24)};
    memcpy(image->data(), h, 8);
    image->resize((size_t)c + 8);
    return true;
}

int write_q64_rom_from_ram_files(ByteBuffer* out, ByteBuffer* origin, int flags) {
    ByteBuffer* payload = create_buffer_2(65536, FILE_CONTENTS_TAG);
    int rc = build_q64_rom_payload(payload, origin, flags);
    std::vector<uint8_t> image;
    if (rc == 0 && !compress_q64_rom_payload(payload->bytes, payload->length, &image)) rc = 1;
    if (rc == 0) bappend_bytes(out, image.data(), (int64_t)image.size());
    destroy_buffer(payload);
    return rc;
}

// ---- text cartridges ----

static bool has_prefix(const ByteBuffer* b, const char* s) {
    size_t n = strlen(s);
    return b->length >= (int64_t)n && memcmp(b->bytes, s, n) == 0;
}

static bool contains(const ByteBuffer* b, const char* s) {
    size_t n = strlen(s);
    if (b->length < (int64_t)n) return false;
    return memmem(b->bytes, (size_t)b->length, s, n) != nullptr;
}

int is_writeable_as_ascii(FileSlot* f) {
    if (!f || !f->contents) return 0;
    const char* ext = get_ext(bstr(f->origin));
    if (strcmp(ext, "txt") && strcmp(ext, "lua")) return 0;
    const ByteBuffer* c = f->contents;
    // Whatever the reader would read back differently goes to base64: an empty file (it
    // would come back as one newline), a line that looks like a header or a marker, CRs.
    if (c->length == 0) return 0;
    if (has_prefix(c, "hex$") || has_prefix(c, "b64$") || has_prefix(c, ":: ")) return 0;
    if (contains(c, "\n:: ") || contains(c, "\nhex$") || contains(c, "\nb64$")) return 0;
    for (int32_t i = 0; i < c->length; i++)
        if (c->bytes[i] < 1 || c->bytes[i] > 127 || c->bytes[i] == '\r') return 0;
    return 1;
}

static bool text_path_ok(const std::string& rel) {
    if (rel.empty() || rel.find("..") != std::string::npos) return false;
    for (unsigned char ch : rel)
        if (ch <= 32 || ch >= 127) return false;
    return true;
}

int write_q64_from_ram_files(ByteBuffer* out, ByteBuffer* origin) {
    std::vector<RamEntry> entries = ram_entries_under(bstr(origin));
    ByteBuffer* t = create_buffer_2(65536, FILE_CONTENTS_TAG);
    bappend_str(t, Q64_TEXT_FIRST_LINE);
    bappend_str(t, "version 2\n\n");
    for (const RamEntry& e : entries) {
        if (!text_path_ok(e.rel)) {
            printf("** can not store %s in a q64 text cartridge\n", e.rel.c_str());
            destroy_buffer(t);
            return 1;
        }
        bappend_str(t, ":: ");
        bappend_str(t, e.rel.c_str());
        if (is_folder(e.slot)) {
            bappend_str(t, "/\n");
            continue;
        }
        const ByteBuffer* c = e.slot->contents;
        bappend_str(t, "\n");
        if (is_writeable_as_ascii(e.slot)) {
            bappend_bytes(t, c->bytes, c->length);
            bappend_str(t, "\n");
            continue;
        }
        // The reader drops one final newline of every entry: give it one to drop.
        std::vector<uint8_t> data(c->bytes, c->bytes + c->length);
        if (!data.empty() && data.back() == '\n') data.push_back('\n');
        bappend_str(t, "b64$");
        size_t pos = 0, chunk = 54;
        while (pos < data.size()) {
            size_t k = data.size() - pos < chunk ? data.size() - pos : chunk;
            base64_encode_append(t, data.data() + pos, (int64_t)k);
            bappend_str(t, "\n");
            pos += k;
            chunk = 57;
        }
        if (data.empty()) bappend_str(t, "\n");
    }
    bappend_str(t, ":: [eoc]\n");
    bappend_bytes(out, t->bytes, t->length);
    destroy_buffer(t);
    return 0;
}

static int hexval(uint8_t c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return 0;
}

static void write_hex_pairs(FileSlot* f, const uint8_t* s, int64_t n) {
    for (int64_t i = 0; i + 1 < n; i += 2) bwrite_uint8((uint32_t)(hexval(s[i]) << 4 | hexval(s[i + 1])), f->contents);
}

static void write_b64(FileSlot* f, const uint8_t* s, int64_t n, Base64DecodeState* st) {
    if (n <= 0) return;
    std::vector<uint8_t> tmp((size_t)(n * 3 / 4 + 4));
    int64_t got = base64_decode_block((const char*)s, n, tmp.data(), st);
    if (got > 0) bwrite(tmp.data(), 1, got, f->contents);
}

int populate_ram_folder_from_q64_buffer_v2(const char* prefix, ByteBuffer* b) {
    enum { TEXT, HEX, B64 } state = TEXT;
    FileSlot* open = nullptr;
    Base64DecodeState st;
    base64_init_decodestate(&st);
    int partial = 0;
    bool eoc = false;
    ByteBuffer* line = create_buffer_2(256, BUF_TAG_READLN);
    auto finish = [&]() {
        if (!open) return;
        ByteBuffer* c = open->contents;
        if (c->length > 1 && c->bytes[c->length - 1] == '\n') {
            c->length--;
            c->bytes[c->length] = 0;
            if (c->cursor > c->length) c->cursor = c->length;
        }
        if (pfclose(open) != 0) partial = 1;
        open = nullptr;
    };
    while (b->cursor < b->length) {
        breadln(b, line);
        const uint8_t* s = line->bytes;
        int64_t n = line->length;
        if (n >= 3 && !memcmp(s, ":: ", 3)) {
            finish();
            if (n >= 8 && !memcmp(s, ":: [eoc]", 8)) {
                eoc = true;
                break;
            }
            int64_t e = 3;
            while (e < n && s[e] > 32) e++;
            std::string path((const char*)s + 3, (size_t)(e - 3));
            if (path.find("..") != std::string::npos) continue;  // skipped with its lines
            std::string full = join(prefix, path);
            if (!path.empty() && path.back() == '/') {
                if (pmkdir(full.c_str()) == 2) partial = 1;
                continue;
            }
            open = pfopen(full.c_str(), "w");
            if (!open) partial = 1;
            state = TEXT;
            continue;
        }
        if (!open) continue;
        if (state == TEXT) {
            if (n >= 4 && !memcmp(s, "hex$", 4)) {
                state = HEX;
                write_hex_pairs(open, s + 4, n - 4);
            } else if (n >= 4 && !memcmp(s, "b64$", 4)) {
                state = B64;
                base64_init_decodestate(&st);
                if (n - 4 <= 1023) write_b64(open, s + 4, n - 4, &st);
            } else {
                bwrite(s, 1, n, open->contents);
                bwrite_uint8('\n', open->contents);
            }
        } else if (state == HEX) {
            write_hex_pairs(open, s, n);
        } else if (n <= 1023) {
            write_b64(open, s, n, &st);
        }
    }
    destroy_buffer(line);
    if (!eoc) {
        finish();
        printf("** warning: no [eoc] found while mounting %s\n", prefix);
    }
    return partial;
}

// A decimal number as "%d" reads it (leading blanks, a sign), saturated rather than undefined
// when out of range; false when no digit follows.
static bool read_int(const char** pp, int* out) {
    const char* p = *pp;
    while (*p == ' ' || (*p >= '\t' && *p <= '\r')) p++;
    bool neg = *p == '-';
    if (*p == '-' || *p == '+') p++;
    if (*p < '0' || *p > '9') return false;
    int64_t v = 0;
    for (; *p >= '0' && *p <= '9'; p++) v = v > INT32_MAX ? v : v * 10 + (*p - '0');
    if (neg) v = -v;
    *out = v > INT32_MAX ? INT32_MAX : v < INT32_MIN ? INT32_MIN : (int)v;
    *pp = p;
    return true;
}

int populate_ram_folder_from_q64_buffer_v1(const char* prefix, ByteBuffer* b) {
    ByteBuffer* line = create_buffer_2(256, BUF_TAG_READLN);
    int partial = 0;
    while (b->cursor < b->length) {
        breadln(b, line);
        const char* s = (const char*)line->bytes;
        int64_t n = line->length;
        if (n < 2) break;
        if (s[0] == '#' && s[1] == '#') continue;
        const char* sp = (const char*)memchr(s, ' ', (size_t)n);
        if (!sp) continue;
        std::string path(s, (size_t)(sp - s));
        int a = 0, attribs = 0;
        const char* q = sp + 1;
        if (!read_int(&q, &a) || *q++ != ':' || !read_int(&q, &attribs)) continue;
        if (path.find("..") != std::string::npos) continue;
        std::string full = join(prefix, path);
        if (attribs & 1) {
            pmkdir(full.c_str());
            continue;
        }
        FileSlot* f = pfopen(full.c_str(), "w");
        if (!f) {
            partial = 1;
            continue;
        }
        const char* lb = (const char*)memchr(s, '[', (size_t)n);
        const char* rb = (const char*)memrchr(s, ']', (size_t)n);
        if (!lb) {
            printf("******** could not read legacy q64; file contents missing. missing null terminator issue?\n");
            printf("attribs: %d new_path: %s c_p1: %s\n\n", attribs, full.c_str(), sp + 1);
        } else if (rb && rb > lb + 3) {
            write_hex_pairs(f, (const uint8_t*)lb + 3, rb - (lb + 3));
        }
        if (pfclose(f) != 0) partial = 1;
    }
    destroy_buffer(line);
    return partial;
}

int populate_ram_folder_from_q64_buffer(const char* prefix, ByteBuffer* b) {
    if (!b) return 0;
    if (b->length == 0) return 0;
    ByteBuffer* line = create_buffer_2(256, BUF_TAG_READLN);
    breadln(b, line);
    breadln(b, line);
    int version = 0;
    const char* v = (const char*)line->bytes;
    bool ok = strncmp(v, "version", 7) == 0 && (v += 7, read_int(&v, &version));
    destroy_buffer(line);
    if (!ok) return 1;
    if (version == 1) return populate_ram_folder_from_q64_buffer_v1(prefix, b);
    if (version == 2) return populate_ram_folder_from_q64_buffer_v2(prefix, b);
    return 1;
}

// ---- mounting ----

Mount* mount_q64_path(const char* path) {
    ByteBuffer* nb = normalise_orvanta_path(path);
    if (!nb) return nullptr;
    std::string norm = bstr(nb);
    destroy_buffer(nb);
    if (Mount* m = find_mount_by_point(norm.c_str())) return m;
    if (app.no_new_cart_mounts || pmounts >= MOUNT_ADD_LIMIT) return nullptr;
    char folder[256];
    do {
        char name[9];
        for (int i = 0; i < 8; i++) name[i] = (char)('a' + (rand() % 65536) * 26 / 65536);
        name[8] = 0;
        snprintf(folder, sizeof folder, "/ram/mount/%s", name);
    } while (pdisk_directory_exists(folder, 0));
    pmkdir("/ram/mount");
    pmkdir(folder);
    int partial = 0;
    FileSlot* f = pfopen(norm.c_str(), "r");
    if (f) {
        ByteBuffer* data = create_buffer_from_buffer(f->contents);
        pfclose(f);
        data->cursor = 0;
        int kind = q64_path_kind(norm.c_str());
        if (kind == 2) {
            partial = populate_ram_folder_from_q64_rom_buffer(folder, data);
        } else if (kind == 1) {
            partial = populate_ram_folder_from_q64_buffer(folder, data);
        } else {
            printf("can not populate %s\n", folder);
            printf("q64.png loader not supported in this build.\n");
            partial = data->length > 0;
        }
        destroy_buffer(data);
    }
    int kind = 0;
    ByteBuffer* origin = resolve_to_origin(folder, &kind, 0);
    Mount* m = nullptr;
    if (origin->length && kind == 2 && pmounts < MOUNT_ADD_LIMIT) {
        m = &pmount[pmounts++];
        memset(m, 0, sizeof *m);
        m->kind = 2;
        m->point = create_buffer_from_str(norm.c_str());
        m->origin = create_buffer_from_buffer(origin);
        m->partial = partial;
    }
    destroy_buffer(origin);
    return m;
}
