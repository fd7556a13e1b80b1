// Messages between processes and the system events sent to pid 3.
#pragma once
#include <cstdint>
#include "kernel/buffer.h"

struct Process;
struct lua_State;

// A queue holds at most this many bytes; messages that would pass it are dropped and logged.
constexpr int64_t MESSAGE_QUEUE_LIMIT = 64LL << 20;
// The queues of all user processes (pid 4 and up) together hold at most this many
// bytes; the system's own processes (pids 1-3) have only their per-queue limit, so
// no flood can cut them off from input and reports.
constexpr int64_t MESSAGE_QUEUES_TOTAL_LIMIT = 256LL << 20;
// Bytes the queues of user processes hold now.
int64_t user_queue_bytes();
// The capacity a queue is made with and shrinks back to once drained.
constexpr int64_t QUEUE_START_SIZE = 16384;

// Append a text and its 0 byte to a process's queue; a NULL process is ignored.
// Return false when the message was dropped (no process, or the queue is full).
bool send_process_message(Process* p, const ByteBuffer* text);
bool send_process_message_string(Process* p, const char* text);
bool send_process_message_bytes(Process* p, const void* text, int64_t n);

// Pops the oldest message of p's queue into dst (or, when dst is NULL, into a shared
// buffer that the next call reuses). Returns that buffer, or NULL when the queue is empty.
ByteBuffer* read_process_message(Process* p, ByteBuffer* dst);

// Reports an error text to the window manager (pid 3) as a "report_error" event and logs it.
void report_error(const char* msg);
// A "user_notification" event for pid 3.
void notify(const char* text);
// Copies a host file dropped on the window into /ram/drop/ and announces it with "drop_items".
void process_dropped_file(const char* host_path);

// Lua globals pid, send_message/_send_message and _read_message.
int lua54_pid(lua_State* L);
int lua54_send_message(lua_State* L);
int lua54__read_message(lua_State* L);
