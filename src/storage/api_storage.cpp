// File and object globals of the program API: fetch and store, listing, folders,
// copying, deleting, mounting, the working folder and the download cache.
// None of them raises a Lua error: bad arguments give no result.
#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "dialect/charge.h"
#include "host/downloads.h"
#include "host/host.h"
#include "kernel/api_tables.h"
#include "kernel/cpu.h"
#include "kernel/process.h"
#include "kernel/state.h"
#include "lauxlib.h"
#include "lua.h"
#include "storage/backtrail.h"
#include "storage/cart.h"
#include "storage/delta.h"
#include "storage/orb.h"
#include "storage/pdisk.h"
#include "storage/png_buffer.h"

// A text argument: strings and numbers (as text); anything else is missing.
static const char* arg_text(lua_State* L, int i, size_t* len = nullptr) {
    int t = lua_type(L, i);
    if (t != LUA_TSTRING && t != LUA_TNUMBER) return nullptr;
    return lua_tolstring(L, i, len);
}

static const char* bstr(const ByteBuffer* b) { return b ? (const char*)b->bytes : ""; }

static bool starts_with(const char* s, const char* p) { return strncmp(s, p, strlen(p)) == 0; }

// The bytes of an open file, copied so the slot can be closed before Lua runs.
static ByteBuffer* take_contents(FileSlot* f) {
    ByteBuffer* b = create_buffer_from_buffer(f->contents);
    pfclose(f);
    return b;
}

// Reading a cartridge file writes back every changed cartridge first, here and now:
// that compression is charged before it starts (refused when far too costly).
static void charge_pending_writeback(lua_State* L) { charge_native_work(L, pending_writeback_cost()); }

static int lua54_fetch_local(lua_State* L) {
    const char* path = arg_text(L, 1);
    if (!path) return 0;
    if (q64_path_kind(path)) {
        charge_pending_writeback(L);
        FileSlot* f = pfopen(path, "rf");
        if (!f) return 0;
        ByteBuffer* b = take_contents(f);
        lua_pushlstring(L, bstr(b), (size_t)b->length);
        destroy_buffer(b);
        return 1;
    }
    FileSlot* f = pfopen(path, "rb");
    if (!f) return 0;
    std::string p = path;
    ByteBuffer* b = take_contents(f);
    // The conversion leaves stored values uncleaned, so their binary parts survive.
    int n = unorb_from_fetched_buffer(L, b->bytes, b->length, p.c_str());
    destroy_buffer(b);
    return n;
}

static int lua54_store_local(lua_State* L) {
    const char* path = arg_text(L, 1);
    if (!path || lua_gettop(L) < 2) return 0;
    std::string p = path;
    const char* meta = arg_text(L, 3);
    if (lua_type(L, 2) == LUA_TSTRING && meta && starts_with(meta, "--[[orb_format=\"raw\"")) {
        FileSlot* f = pfopen(p.c_str(), "w");
        if (!f) return 0;
        size_t n = 0;
        const char* s = lua_tolstring(L, 2, &n);
        bool bare = strstr(meta, "metadata_format=\"none\"");
        if (pfreserve(f, (int64_t)(n + (bare ? 0 : strlen(meta) + 1)))) {
            if (!bare) {
                bappend_str(f->contents, meta);
                bappend_str(f->contents, "\n");
            }
            bappend_bytes(f->contents, s, (int64_t)n);
        }
        pfclose(f);
        return 0;
    }
    if (q64_path_kind(p.c_str())) {
        size_t n = 0;
        const char* s = arg_text(L, 2, &n);
        if (!s) return 0;  // keep the cartridge rather than empty it
        FileSlot* f = pfopen(p.c_str(), "wf");
        if (!f) return 0;
        if (pfreserve(f, (int64_t)n)) bappend_bytes(f->contents, s, (int64_t)n);
        pfclose(f);
        return 0;
    }
    if (!strcmp(get_ext(p.c_str()), "png")) {
        ByteBuffer* png = storage_png_from_value(L, 2);
        if (!png) return 0;
        FileSlot* f = pfopen(p.c_str(), "wb");
        if (f) {
            bappend_bytes(f->contents, png->bytes, png->length);
            pfclose(f);
        }
        destroy_buffer(png);
        return 0;
    }
    // Build the text before opening: the orb writer may run for a while and must not see an open slot.
    // Owned by the frame: a Lua error in the writer (out of memory) unwinds through here.
    std::unique_ptr<ByteBuffer, void (*)(ByteBuffer*)> text(create_buffer_2(1024, BUF_TAG_ORB), destroy_buffer);
    orb_store_text(L, 2, meta, text.get());
    FileSlot* f = pfopen(p.c_str(), "w");
    if (f) {
        if (pfreserve(f, text->length)) bappend_bytes(f->contents, text->bytes, text->length);
        pfclose(f);
    }
    return 0;
}

// Cache names are single plain path segments, so they can't climb out of the cache folder.
static bool cache_name_ok(const char* s) {
    if (!s || !s[0] || s[0] == '.' || strlen(s) > 255) return false;
    for (const char* p = s; *p; p++)
        if (!is_path_char((unsigned char)*p) || *p == '/') return false;
    return true;
}

static bool cache_host_path(const char* folder, const char* name, std::string* out, bool make) {
    if (!cache_name_ok(folder) || !cache_name_ok(name)) return false;
    char base[1024];
    tolo_prefix_with_appdata_path("cache", base);
    std::string dir = std::string(base) + "/" + folder;
    std::string path = dir + "/" + name;
    if (path.size() >= 1024) return false;
    if (make) {
        tolo_mkdir(base);
        tolo_mkdir(dir.c_str());
    }
    *out = path;
    return true;
}

static int lua54_cache_store(lua_State* L) {
    size_t n = 0;
    const char* folder = arg_text(L, 1);
    const char* name = arg_text(L, 2);
    const char* data = arg_text(L, 3, &n);
    std::string path;
    if (!data || !cache_host_path(folder, name, &path, true)) return 0;
    // Charged before the write, as a host file write costs.
    spend_cpu((int64_t)n / 8);
    spend_cpu(FRAME_CYCLES / 4);
    if (host_write_file(path.c_str(), (const uint8_t*)data, (int64_t)n) != 0)
        tolo_debugf("** could not write cache file %s\n", path.c_str());
    return 0;
}

static int lua54_cache_fetch(lua_State* L) {
    std::string path;
    if (!cache_host_path(arg_text(L, 1), arg_text(L, 2), &path, false)) return 0;
    ByteBuffer* b = host_read_file(path.c_str(), -1);
    if (!b) return 0;
    int r = 0;
    if (b->length >= 512) {
        spend_cpu(b->length / 8);
        lua_pushlstring(L, bstr(b), (size_t)b->length);
        r = 1;
    }
    destroy_buffer(b);
    return r;
}

static int lua54_fetch_backtrail(lua_State* L) {
    const char* req = arg_text(L, 1);
    if (!req) return 0;
    std::string r = req;
    ByteBuffer* b = backtrail_fetch(r.c_str());
    if (!b) return 0;
    std::string path = r.substr(0, r.find('@'));
    int n = unorb_from_fetched_buffer(L, b->bytes, b->length, path.c_str());
    destroy_buffer(b);
    return n;
}

static int lua54_fetch_remote(lua_State* L) {
    size_t n = 0;
    const char* url = arg_text(L, 1, &n);
    if (!url) return 0;
    if (!config.network_access) {
        lua_pushnil(L);
        lua_pushstring(L, "no network access");
        return 2;
    }
    spend_cpu(GURL_START_CYCLES + charge_fast_bytes(n));
    // A NUL would cut the address short of what the program asked for.
    int64_t id = strlen(url) == n ? gurl_get(url, nullptr, gurl_cb) : -1;
    if (id < 0) {
        lua_pushnil(L);
        lua_pushstring(L, "could not download");
        return 2;
    }
    lua_pushinteger(L, id);
    return 1;
}

static int lua54_fetch_remote_result(lua_State* L) {
    lua_Integer id = 0;
    if (lua_type(L, 1) == LUA_TNUMBER) id = lua_tointegerx(L, 1, nullptr);
    if (!config.network_access) {
        lua_pushnil(L);
        lua_pushnil(L);
        lua_pushstring(L, "no network access");
        return 3;
    }
    // A job whose slot a newer one took over is gone: report it failed so its poller ends.
    GurlJob* job = gurl_get_job(id);
    int32_t status = job ? job->status.load(std::memory_order_acquire) : GURL_FAILED;
    // A body read before may have been let go to make room for other downloads.
    if (status == GURL_FAILED || (status == GURL_DONE && !job->body)) {
        lua_pushnil(L);
        lua_pushnil(L);
        lua_pushstring(L, "could not download");
        return 3;
    }
    if (status != GURL_DONE) return 0;
    // Copied: the conversion allocates, and a finalizer may start jobs that take the slot over.
    std::unique_ptr<ByteBuffer, void (*)(ByteBuffer*)> body(create_buffer_2(job->body->length, BUF_TAG_FROM_BUFFER),
                                                           destroy_buffer);
    bappend_bytes(body.get(), job->body->data, job->body->length);
    std::string url = job->url->data;
    gurl_body_taken(job);
    spend_cpu(body->length / 8);
    int n = unorb_from_fetched_buffer(L, body->bytes, body->length, url.c_str());
    if (n > 0) return n;
    // A body that can't be read as its kind (an error page for a .png) gives no value; nothing
    // would read as "still running" and its poller would never end.
    lua_pushnil(L);
    lua_pushnil(L);
    lua_pushstring(L, "could not download");
    return 3;
}

static int lua54_fetch_metadata(lua_State* L) {
    const char* path = arg_text(L, 1);
    if (!path) return 0;
    FileSlot* f = pfopen(path, "rm");
    if (!f) return 0;
    ByteBuffer* b = take_contents(f);
    int r = 0;
    if (b->length >= 7 && !memcmp(b->bytes, "--[[orb", 7)) r = destringify_object_metadata(L, bstr(b), b->length);
    destroy_buffer(b);
    return r;
}

static int lua54_store_metadata_str(lua_State* L) {
    const char* path = arg_text(L, 1);
    size_t hn = 0;
    const char* header = arg_text(L, 2, &hn);
    if (!path || !header) return 0;
    std::string p = path, h(header, hn);
    FileSlot* f = pfopen(p.c_str(), "r");
    if (!f) {
        if ((f = pfopen(p.c_str(), "w"))) {
            bappend_bytes(f->contents, h.data(), (int64_t)h.size());
            pfclose(f);
        }
        return 0;
    }
    ByteBuffer* old = take_contents(f);
    int64_t skip = find_metadata_length(bstr(old), old->length);
    if ((f = pfopen(p.c_str(), "w"))) {
        if (!strstr(h.c_str(), "metadata_format=\"none\"")) bappend_bytes(f->contents, h.data(), (int64_t)h.size());
        bappend_bytes(f->contents, old->bytes + skip, old->length - skip);
        pfclose(f);
    }
    destroy_buffer(old);
    return 0;
}

static int lua54_list_files(lua_State* L) {
    const char* path = arg_text(L, 1);
    if (!path) path = "/";  // missing, or not a text
    std::string p = path;
    return pflist(p.c_str(), L);
}

static int lua54_mkdir(lua_State* L) {
    const char* path = arg_text(L, 1);
    if (!path) {
        lua_pushstring(L, "mkdir: no path");
        return 1;
    }
    std::string p = path;
    if (pdisk_directory_exists(p.c_str(), 1)) {
        lua_pushstring(L, "mkdir: directory already exists");
        return 1;
    }
    if (pmkdir(p.c_str()) != 0) {
        lua_pushstring(L, "mkdir failed");
        return 1;
    }
    return 0;
}

static int lua54_fstat(lua_State* L) {
    const char* path = arg_text(L, 1);
    if (!path) return 0;
    std::string p = path;
    ByteBuffer* n = normalise_orvanta_path(p.c_str());
    if (!n) return 0;
    destroy_buffer(n);
    if (q64_path_kind(p.c_str())) {
        charge_pending_writeback(L);
        flush_dirty_mounts_immediately();
    }
    if (pdisk_directory_exists(p.c_str(), 1)) {
        lua_pushstring(L, "folder");
        lua_pushinteger(L, pfile_size(p.c_str(), 1));
    } else if (pdisk_file_exists(p.c_str())) {
        lua_pushstring(L, "file");
        lua_pushinteger(L, pfile_size(p.c_str(), 0));
    } else {
        return 0;
    }
    const char* desc = get_mount_description(p.c_str());
    if (desc) lua_pushstring(L, desc);
    else lua_pushnil(L);
    return 3;
}

static int lua54_resolve_filename(lua_State* L) {
    const char* path = arg_text(L, 1);
    if (!path) return 0;
    if (starts_with(path, "backtrail://")) {
        lua_pushvalue(L, 1);
        lua_tostring(L, -1);
        return 1;
    }
    ByteBuffer* n = normalise_orvanta_path(path);
    if (!n) return 0;
    lua_pushlstring(L, bstr(n), (size_t)n->length);
    destroy_buffer(n);
    return 1;
}

static int lua54__fcopy(lua_State* L) {
    const char* a = arg_text(L, 1);
    const char* b = arg_text(L, 2);
    if (!a || !b) return 0;
    std::string src = a, dst = b;
    spend_cpu(fcopy(src.c_str(), dst.c_str()));
    return 0;
}

static int lua54__fdelete(lua_State* L) {
    const char* path = arg_text(L, 1);
    if (!path) return 0;
    std::string p = path;
    delete_path(p.c_str());
    return 0;
}

static int lua54_mount(lua_State* L) {
    const char* point = arg_text(L, 1);
    const char* path = arg_text(L, 2);
    if (!point || !path) return 0;
    std::string a = point, b = path;
    mount_p_path(a.c_str(), b.c_str());
    return 0;
}

static int lua54_get_process_pwd(lua_State* L) {
    lua_pushstring(L, cproc ? cproc->cwd : "/");
    return 1;
}

static int lua54_set_process_pwd(lua_State* L) {
    const char* path = arg_text(L, 1);
    if (!path || !cproc) return 0;
    std::string p = path;
    if (lua_toboolean(L, 2)) {
        snprintf(cproc->cwd, sizeof cproc->cwd, "%s", p.c_str());
        return 0;
    }
    ByteBuffer* n = normalise_orvanta_path(p.c_str());
    if (!n) return 0;
    if (!pdisk_directory_exists(bstr(n), 1)) {
        destroy_buffer(n);
        lua_pushstring(L, "path not found");
        return 1;
    }
    if (n->length < (int32_t)sizeof cproc->cwd) memcpy(cproc->cwd, n->bytes, (size_t)n->length + 1);
    destroy_buffer(n);
    return 0;
}

static int normalise_userland(lua_State* L, int debug) {
    size_t len = 0;
    const char* s = arg_text(L, 1, &len);
    if (!s) return 0;
    ByteBuffer* r = collapse_path(s, (int64_t)len, debug);
    lua_pushlstring(L, bstr(r), (size_t)r->length);
    destroy_buffer(r);
    return 1;
}

static int lua54_normalise_userland_path(lua_State* L) { return normalise_userland(L, 0); }
static int lua54_normalise_userland_path_debug(lua_State* L) { return normalise_userland(L, 1); }

static int lua54_is_well_formed_bbs_path(lua_State* L) {
    size_t n = 0;
    const char* s = arg_text(L, 1, &n);
    if (!s) return 0;
    bool ok = true;
    for (size_t i = 6; i < n && ok; i++) {
        char c = s[i];
        ok = (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_' || c == '.' || c == '/';
    }
    lua_pushboolean(L, ok);
    return 1;
}

static int lua54_create_diff(lua_State* L) {
    size_t a = 0, b = 0;
    const char* olds = arg_text(L, 1, &a);
    const char* news = arg_text(L, 2, &b);
    if (!olds || !news) return 0;
    // Both texts are read whole whatever the delta's size: charged as reading them.
    spend_cpu((int64_t)(a + b) / 8);
    ByteBuffer* d = generate_diff((const uint8_t*)olds, (int64_t)a, (const uint8_t*)news, (int64_t)b);
    if (!d) return 0;
    spend_cpu(d->length / 4);
    lua_pushlstring(L, bstr(d), (size_t)d->length);
    destroy_buffer(d);
    return 1;
}

static int lua54_apply_diff(lua_State* L) {
    size_t a = 0, b = 0;
    const char* olds = arg_text(L, 1, &a);
    const char* delta = arg_text(L, 2, &b);
    if (!olds || !delta) return 0;
    spend_cpu((int64_t)(a + b) / 8);
    // A result no process could hold is refused before it is built.
    ByteBuffer* r = apply_diff((const uint8_t*)olds, (int64_t)a, (const uint8_t*)delta, (int64_t)b, PROCESS_MEMORY_LIMIT);
    if (!r) return 0;
    spend_cpu(r->length / 4);
    lua_pushlstring(L, bstr(r), (size_t)r->length);
    destroy_buffer(r);
    return 1;
}

const ApiEntry storage_api[] = {
    {"create_delta", lua54_create_diff},
    {"apply_delta", lua54_apply_diff},
    {"fetch", lua54_fetch_local},
    {"store", lua54_store_local},
    {"_fetch_local", lua54_fetch_local},
    {"_store_local", lua54_store_local},
    {"_cache_store", lua54_cache_store},
    {"_cache_fetch", lua54_cache_fetch},
    {"_fetch_backtrail", lua54_fetch_backtrail},
    {"_fetch_remote", lua54_fetch_remote},
    {"_fetch_remote_result", lua54_fetch_remote_result},
    {"_fetch_metadata_from_file", lua54_fetch_metadata},
    {"_store_metadata_str_to_file", lua54_store_metadata_str},
    {"_ls", lua54_list_files},
    {"_mkdir", lua54_mkdir},
    {"_fstat", lua54_fstat},
    {"_fullpath", lua54_resolve_filename},
    {"ls", lua54_list_files},
    {"mkdir", lua54_mkdir},
    {"fstat", lua54_fstat},
    {"fullpath", lua54_resolve_filename},
    {"cp", lua54__fcopy},
    {"_fcopy", lua54__fcopy},
    {"_fdelete", lua54__fdelete},
    {"_mount", lua54_mount},
    {"mount", lua54_mount},
    {"_pwd", lua54_get_process_pwd},
    {"_cd", lua54_set_process_pwd},
    {"pwd", lua54_get_process_pwd},
    {"cd", lua54_set_process_pwd},
    {"_normalise_userland_path", lua54_normalise_userland_path},
    {"norm", lua54_normalise_userland_path_debug},
    {"_is_well_formed_bbs_path", lua54_is_well_formed_bbs_path},
    {nullptr, nullptr},
};
