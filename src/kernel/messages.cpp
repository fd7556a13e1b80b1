#include "kernel/messages.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>

#include "host/host.h"
#include "kernel/cpu.h"
#include "kernel/process.h"
#include "lua.h"
#include "kernel/sat.h"
#include "storage/orb.h"
#include "storage/pdisk.h"

namespace {

struct BufferDeleter {
    void operator()(ByteBuffer* b) const { destroy_buffer(b); }
};
using BufferPtr = std::unique_ptr<ByteBuffer, BufferDeleter>;

// Drops are logged at most once a second, with the count since the last line.
void log_dropped(const Process* p, int64_t n) {
    static int64_t last_log = -1000000;
    static int64_t dropped = 0;
    dropped++;
    int64_t now = os_get_time();
    if (now - last_log < 1000) return;
    last_log = now;
    tolo_debugf("message queue of process %lld is full: dropped a message of %lld bytes (%lld dropped)\n",
                (long long)p->pid, (long long)n, (long long)dropped);
    dropped = 0;
}

Process* window_manager() { return get_process(3); }

}  // namespace

int64_t user_queue_bytes() {
    int64_t n = 0;
    for (int i = 0; i < get_process_count(); i++) {
        const Process* p = get_process_by_index(i);
        if (p->pid >= 4 && p->queue) n += (int64_t)p->queue->capacity;
    }
    return n;
}

// The most a queue's buffer grows to: the limit's bytes and a NUL after them.
constexpr int64_t QUEUE_CAPACITY_MOST = MESSAGE_QUEUE_LIMIT + 1;

// A queue's pending messages are its bytes from the cursor to the length: popping moves the
// cursor, and the consumed front is cut away only once it is the larger part, so reading
// many small messages from a long queue costs no more than the messages themselves.
// Moves the pending bytes to the front.
static void compact(ByteBuffer* q) {
    if (q->cursor <= 0) return;
    int32_t rest = q->length - q->cursor;
    memmove(q->bytes, q->bytes + q->cursor, (size_t)rest);
    q->length = rest;
    q->cursor = 0;
    q->bytes[rest] = 0;
}

bool send_process_message_bytes(Process* p, const void* text, int64_t n) {
    if (!p || !p->queue || n < 0) return false;
    ByteBuffer* q = p->queue;
    if ((int64_t)q->length - q->cursor + n + 1 > MESSAGE_QUEUE_LIMIT) {
        log_dropped(p, n);
        return false;
    }
    int64_t need = (int64_t)q->length + n + 1;
    if (need + 1 > (int64_t)q->capacity) {
        compact(q);
        need = (int64_t)q->length + n + 1;
        // Growing doubles what is needed, up to what the limit lets a queue hold: that
        // growth must fit the user processes' share.
        if (p->pid >= 4 && need + 1 > (int64_t)q->capacity &&
            user_queue_bytes() + std::min(2 * (need + 1), QUEUE_CAPACITY_MOST) - (int64_t)q->capacity >
                MESSAGE_QUEUES_TOTAL_LIMIT) {
            log_dropped(p, n);
            return false;
        }
    }
    if (!ballocate_unzeroed(q, need, QUEUE_CAPACITY_MOST)) return false;
    if (n) memcpy(q->bytes + q->length, text, (size_t)n);
    q->length += (int32_t)n;
    q->bytes[q->length++] = 0;
    q->bytes[q->length] = 0;
    return true;
}

bool send_process_message(Process* p, const ByteBuffer* text) {
    if (!text) return false;
    return send_process_message_bytes(p, text->bytes, text->length);
}

bool send_process_message_string(Process* p, const char* text) {
    if (!text) return false;
    return send_process_message_bytes(p, text, (int64_t)strlen(text));
}

ByteBuffer* read_process_message(Process* p, ByteBuffer* dst) {
    if (!p || !p->queue) return nullptr;
    ByteBuffer* q = p->queue;
    if (q->cursor < 0 || q->cursor > q->length) q->cursor = q->length;
    if (q->cursor >= q->length) {
        q->length = q->cursor = 0;
        return nullptr;
    }
    static ByteBuffer* shared;
    if (!dst) {
        if (!shared) shared = create_buffer_2(4096, BUF_TAG_QUEUE);
        dst = shared;
    }
    const uint8_t* start = q->bytes + q->cursor;
    int32_t avail = q->length - q->cursor;
    const uint8_t* end = (const uint8_t*)memchr(start, 0, (size_t)avail);
    int32_t text_len = end ? (int32_t)(end - start) : avail;
    bclear(dst);
    bappend_bytes(dst, start, text_len);
    q->cursor += end ? text_len + 1 : avail;
    if (q->cursor >= q->length) {
        q->length = q->cursor = 0;
        // A drained queue gives back what a burst made it grow to.
        if (q->capacity > 4 * QUEUE_START_SIZE) {
            destroy_buffer(q);
            p->queue = create_buffer_2(QUEUE_START_SIZE, BUF_TAG_QUEUE);
        }
    } else if (q->cursor > q->length - q->cursor) {
        // Only the pending bytes move: clearing the whole capacity (as bcrop does) would cost
        // a queue that once grew large its full size on every crop.
        compact(q);
    }
    return dst;
}

static void send_event(const char* before, const char* field, const char* after) {
    Process* wm = window_manager();
    if (!wm) return;
    BufferPtr b(create_buffer_2(256, BUF_TAG_QUEUE));
    bappend_str(b.get(), before);
    bappend_str_escaped(b.get(), field);
    bappend_str(b.get(), after);
    send_process_message(wm, b.get());
}

void report_error(const char* msg) {
    if (!msg) msg = "unknown error";
    char after[128];
    snprintf(after, sizeof after, "\",_from=%lld,_sent_t=%lld,_flags=%d}", cproc ? (long long)cproc->pid : 0LL,
             (long long)os_get_time(), cproc ? cproc->is_system : 0);
    send_event("{event=\"report_error\",content=\"", msg, after);
    std::string line = std::string("SYSTEM ERROR: ") + msg + "\n";
    tolo_debug(line.c_str());
}

void notify(const char* text) { send_event("{event=\"user_notification\",content=\"", text ? text : "", "\"}"); }

void process_dropped_file(const char* host_path) {
    if (!host_path) return;
    const char* base = host_path;
    for (const char* s = host_path; *s; s++)
        if (*s == '/' || *s == '\\') base = s + 1;
    std::string name(base);
    for (char& c : name)
        if (!is_path_char((unsigned char)c) || c == '/') c = '_';
    // A name that folds away would land on the drop folder or /ram itself.
    if (name.empty() || name == "." || name == "..") name = std::string(name.size() ? name.size() : 1, '_');
    std::string path = "/ram/drop/" + name;
    if (path.size() > 1023) path.resize(1023);

    static const char unsupported[] = "** dropping folders (and size zero files) currently not supported **";
    struct stat st;
    if (stat(host_path, &st) != 0) return;
    // Only plain files are read: a pipe would block the system for good and a
    // device may never end. They count as folders do.
    if (!S_ISREG(st.st_mode)) {
        notify(unsupported);
        return;
    }
    // Refused before reading: a file past the queue limit could not be passed on whole.
    if (st.st_size > MESSAGE_QUEUE_LIMIT) {
        notify(("** could not drop " + name + ": file too large **").c_str());
        return;
    }
    BufferPtr data(create_buffer_from_file(host_path));
    if (!data) return;
    if (data->length == 0) {
        notify(unsupported);
        return;
    }
    FileSlot* f = pfopen(path.c_str(), "wf");
    if (!f) return;
    pfwrite(data->bytes, 1, data->length, f);
    pfclose(f);
    send_event("{event=\"drop_items\",items={{orb_type=\"file_reference\",fullpath=\"", path.c_str(), "\"}}}");
}

int lua54_pid(lua_State* L) {
    if (!cproc) return 0;
    lua_pushinteger(L, (lua_Integer)cproc->pid);
    return 1;
}

int lua54_send_message(lua_State* L) {
    if (lua_gettop(L) < 1 || lua_type(L, 1) != LUA_TNUMBER || !cproc) return 0;
    int64_t target = lua_isinteger(L, 1) ? (int64_t)lua_tointeger(L, 1) : sat_f2i((double)lua_tonumber(L, 1));
    if (target <= 0) return 0;
    Process* p = get_process((uint64_t)target);
    // Only a table can carry the sender's fields.
    if (!p || lua_type(L, 2) != LUA_TTABLE) return 0;
    lua_pushinteger(L, (lua_Integer)cproc->pid);
    lua_setfield(L, 2, "_from");
    lua_pushinteger(L, (lua_Integer)os_get_time());
    lua_setfield(L, 2, "_sent_t");
    lua_pushinteger(L, cproc->is_system ? 1 : 0);
    lua_setfield(L, 2, "_flags");
    BufferPtr b(create_buffer_2(256, BUF_TAG_MESSAGE));
    stringify_object(L, 2, b.get(), 0);
    // The target may have been removed while the message was written.
    p = get_process((uint64_t)target);
    if (p) send_process_message(p, b.get());
    spend_cpu(b->length);
    return 0;
}

int lua54__read_message(lua_State* L) {
    if (!cproc) return 0;
    // Its own copy: a finalizer run while the text is read may read the next message.
    BufferPtr m(create_buffer_2(256, BUF_TAG_QUEUE));
    if (!read_process_message(cproc, m.get())) return 0;
    return destringify_object(L, (const char*)m->bytes, m->length);
}
