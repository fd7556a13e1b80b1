// Messages between processes and the system events for pid 3, on the real kernel.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <cstdlib>
#include <string>
#include <unistd.h>
#include <vector>

#include "kernel/messages.h"
#include "kernel/process.h"
#include "storage/pdisk.h"
#include "support/harness.h"

namespace {

// Root (pid 1) makes pids 2.. from the sources given and runs them in order every frame.
std::string boot_with(const std::vector<std::string>& sources, int frames) {
    std::string body;
    int pid = 2;
    for (const std::string& s : sources) {
        std::string path = pid == 3 || pid == 4 ? "/system/p" + std::to_string(pid) + ".lua"
                                                : "/p" + std::to_string(pid) + ".lua";
        body += "assert(_create_process_from_code([==[" + s + "]==], 'p" + std::to_string(pid) + "', '" + path +
                "') == " + std::to_string(pid) + ")\n";
        pid++;
    }
    body += "for f = 1, " + std::to_string(frames) + " do for p = 2, " + std::to_string(pid - 1) +
            " do _run_process_slice(p, 0.1) end flip() end\n";
    return body;
}

const char* const idle = "while true do flip() end";

// pid 3 prints every message it gets.
const char* const receiver = R"(
while true do
  local m = _read_message()
  while m do
    _printh("got " .. tostring(m.event) .. " from=" .. tostring(m._from) .. " flags=" .. tostring(m._flags)
      .. " t=" .. tostring(m._sent_t))
    if m.event == "report_error" and m.content:find('bad "q"\nline', 1, true) then _printh("report intact") end
    m = _read_message()
  end
  flip()
end)";

TEST(Messages, RoundTripsBetweenProcesses) {
    const char* sys_sender = "send_message(3, {event='sys'}) while true do flip() end";
    const char* sender = R"(
local t = {event="x", n=1}
send_message(3, t)
_printh("sender " .. t._from .. " " .. t._flags .. " " .. math.type(t._sent_t) .. " " .. t._sent_t)
send_message("3", {event="string-pid"})
send_message(3.9, {event="y"})
send_message(0, {event="zero"})
send_message(99, {event="nobody"})
send_message(3, "not a table")
send_message()
send_message(5, {event="self"})
_printh("self " .. tostring(_read_message().event) .. " then " .. select('#', _read_message()))
_printh("pid " .. pid() .. " " .. math.type(pid()))
while true do flip() end)";
    const char* failing = "flip() error('bad \"q\"\\nline')";
    ASSERT_TRUE(harness_boot(boot_with({idle, receiver, sys_sender, sender, failing}, 4)));
    harness_run_frames(6);
    std::vector<std::string> lines = harness_lines();
    harness_shutdown();

    std::string sender_line, x_line;
    std::vector<std::string> got;
    bool report = false;
    for (const std::string& l : lines) {
        if (l.rfind("sender ", 0) == 0) sender_line = l;
        if (l.rfind("got ", 0) == 0 && l.find("report_error") == std::string::npos) got.push_back(l);
        if (l == "report intact") report = true;
    }
    ASSERT_EQ(sender_line.rfind("sender 5 0 integer ", 0), 0u) << sender_line;
    std::string t = sender_line.substr(strlen("sender 5 0 integer "));
    // Delivered in the order sent; the sender's table kept the added fields.
    // Times are host milliseconds: a later send may read a later clock.
    ASSERT_EQ(got.size(), 3u);
    auto sent_t = [](const std::string& l) { return std::stoll(l.substr(l.find("t=") + 2)); };
    auto without_t = [](const std::string& l) { return l.substr(0, l.find(" t=")); };
    EXPECT_EQ(without_t(got[0]), "got sys from=4 flags=1");
    EXPECT_EQ(got[1], "got x from=5 flags=0 t=" + t);
    EXPECT_EQ(without_t(got[2]), "got y from=5 flags=0");
    EXPECT_GE(sent_t(got[2]), std::stoll(t));
    EXPECT_NE(std::find(lines.begin(), lines.end(), "self self then 0"), lines.end());
    EXPECT_NE(std::find(lines.begin(), lines.end(), "pid 5 integer"), lines.end());
    // The runtime error reached pid 3 as report_error events, its text intact.
    EXPECT_TRUE(report);
}

// A finalizer that reads a message while another is being read must not change what the
// outer read sees: each read works on its own copy of the text.
TEST(Messages, ReadInsideAFinalizerDuringARead) {
    ASSERT_TRUE(harness_boot(R"(
local function msg(ch) local t = {} for i = 1, 2000 do t[i] = {string.rep(ch, 8)} end return t end
send_message(pid(), msg("a"))
send_message(pid(), msg("b"))
local inner
for i = 1, 300 do
  setmetatable({}, {__gc = function() if inner == nil then inner = _read_message() or false end end})
end
local m = _read_message()
local bad = 0
for i = 1, 2000 do if m[i][1] ~= "aaaaaaaa" then bad = bad + 1 end end
_printh("outer bad " .. bad .. " inner " .. tostring(inner and inner[1][1]))
)"));
    harness_run_frames(3);
    std::vector<std::string> lines = harness_lines();
    harness_shutdown();
    EXPECT_EQ(lines, (std::vector<std::string>{"outer bad 0 inner bbbbbbbb"}));
}

// Pops every message of a process as raw text.
std::vector<std::string> drain(Process* p) {
    std::vector<std::string> out;
    while (ByteBuffer* m = read_process_message(p, nullptr)) out.emplace_back((char*)m->bytes, (size_t)m->length);
    return out;
}

// Boots with two idle processes (pids 2 and 3) and returns one of them, its queue empty.
Process* boot_idle(uint64_t pid) {
    if (!harness_boot(boot_with({idle, idle}, 1))) return nullptr;
    harness_run_frames(1);
    Process* p = get_process(pid);
    if (p) drain(p);
    return p;
}

TEST(Messages, SystemEventTexts) {
    Process* wm = boot_idle(3);
    ASSERT_TRUE(wm);
    cproc = nullptr;
    report_error("a\"b\nc\\\xc3\xa9");
    report_error(nullptr);
    notify("hi \"there\"");
    std::vector<std::string> ev = drain(wm);
    ASSERT_EQ(ev.size(), 3u);
    const std::string head = "{event=\"report_error\",content=\"a\\034b\\010c\\092\\195\\169\",_from=0,_sent_t=";
    EXPECT_EQ(ev[0].substr(0, head.size()), head);
    EXPECT_EQ(ev[0].substr(ev[0].size() - 10), ",_flags=0}");
    EXPECT_EQ(ev[1].substr(0, 47), "{event=\"report_error\",content=\"unknown error\",_");
    EXPECT_EQ(ev[2], "{event=\"user_notification\",content=\"hi \\034there\\034\"}");
    EXPECT_EQ(read_process_message(wm, nullptr), nullptr);
    EXPECT_EQ(wm->queue->cursor, wm->queue->length);
    harness_shutdown();
    // Without pid 3 the events are dropped quietly.
    report_error("nobody listens");
    notify("nobody");
}

TEST(Messages, QueueHasACap) {
    Process* p = boot_idle(2);
    ASSERT_TRUE(p);
    std::string big(1 << 20, 'm');
    int sent = 0;
    for (int i = 0; i < 200; i++) {
        big[0] = (char)('A' + i % 26);
        if (!send_process_message_bytes(p, big.data(), (int64_t)big.size())) break;
        sent++;
    }
    EXPECT_EQ(sent, (int)(MESSAGE_QUEUE_LIMIT / ((1 << 20) + 1)));
    EXPECT_LE(p->queue->length, MESSAGE_QUEUE_LIMIT);
    // Reading one makes room again; the rest come out whole and in order.
    ByteBuffer* first = read_process_message(p, nullptr);
    ASSERT_TRUE(first);
    EXPECT_EQ(first->length, 1 << 20);
    EXPECT_EQ(first->bytes[0], 'A');
    EXPECT_TRUE(send_process_message_bytes(p, big.data(), (int64_t)big.size()));
    std::vector<std::string> rest = drain(p);
    ASSERT_EQ((int)rest.size(), sent);
    EXPECT_EQ(rest[0][0], 'B');
    EXPECT_EQ(send_process_message_string(nullptr, "x"), false);
    harness_shutdown();
}

TEST(Messages, UserQueuesShareOneCapAndDrainedQueuesShrink) {
    std::vector<std::string> procs(10, idle);
    ASSERT_TRUE(harness_boot(boot_with(procs, 1)));
    harness_run_frames(1);
    std::string big(1 << 20, 'u');
    int64_t sent = 0;
    bool refused = false;
    for (uint64_t pid = 4; pid <= 11 && !refused; pid++)
        while (send_process_message_bytes(get_process(pid), big.data(), (int64_t)big.size())) sent += 1 << 20;
    refused = !send_process_message_bytes(get_process(11), big.data(), (int64_t)big.size());
    EXPECT_TRUE(refused);
    EXPECT_LE(user_queue_bytes(), MESSAGE_QUEUES_TOTAL_LIMIT);
    EXPECT_GE(sent, MESSAGE_QUEUES_TOTAL_LIMIT / 2);
    // The system's own queues still take messages.
    EXPECT_TRUE(send_process_message_bytes(get_process(2), big.data(), (int64_t)big.size()));
    // Draining a queue gives its room back to the others.
    Process* p4 = get_process(4);
    int64_t before = user_queue_bytes();
    while (read_process_message(p4, nullptr)) {}
    EXPECT_LE(p4->queue->capacity, 16385u);
    EXPECT_LT(user_queue_bytes(), before - (32 << 20));
    EXPECT_TRUE(send_process_message_bytes(get_process(11), big.data(), (int64_t)big.size()));
    harness_shutdown();
}

std::string ram_file(const char* path) {
    FileSlot* f = pfopen(path, "r");
    if (!f) return "(none)";
    std::string s((char*)f->contents->bytes, (size_t)f->contents->length);
    pfclose(f);
    return s;
}

TEST(Messages, DroppedFilesLandInRamDrop) {
    Process* wm = boot_idle(3);
    ASSERT_TRUE(wm);
    char dir[] = "/tmp/orb_drop_XXXXXX";
    ASSERT_TRUE(mkdtemp(dir));
    struct Drop {
        const char* host_name;
        const char* content;
        const char* ram_path;
    } drops[] = {
        {"my file.txt", "hello", "/ram/drop/my_file.txt"},
        {"a#b+c", "x", "/ram/drop/a_b_c"},
        // Base names after a backslash that would fold onto the folder or /ram itself.
        {"x\\..", "dots", "/ram/drop/__"},
        {"y\\.", "dot", "/ram/drop/_"},
        {"z\\", "empty name", "/ram/drop/_"},
    };
    for (const Drop& d : drops) {
        std::string host = std::string(dir) + "/" + d.host_name;
        FILE* f = fopen(host.c_str(), "wb");
        ASSERT_TRUE(f);
        fputs(d.content, f);
        fclose(f);
        process_dropped_file(host.c_str());
        std::vector<std::string> ev = drain(wm);
        ASSERT_EQ(ev.size(), 1u) << d.host_name;
        EXPECT_EQ(ev[0], std::string("{event=\"drop_items\",items={{orb_type=\"file_reference\",fullpath=\"") +
                             d.ram_path + "\"}}}");
        EXPECT_EQ(ram_file(d.ram_path), d.content) << d.host_name;
        unlink(host.c_str());
    }
    EXPECT_EQ(ram_file("/ram"), "(none)");
    // Empty files and folders are refused with a notification.
    std::string empty = std::string(dir) + "/empty";
    fclose(fopen(empty.c_str(), "wb"));
    process_dropped_file(empty.c_str());
    process_dropped_file(dir);
    std::vector<std::string> ev = drain(wm);
    ASSERT_EQ(ev.size(), 2u);
    EXPECT_EQ(ev[0],
              "{event=\"user_notification\",content=\"** dropping folders (and size zero files) currently not "
              "supported **\"}");
    EXPECT_EQ(ev[1], ev[0]);
    EXPECT_EQ(ram_file("/ram/drop/empty"), "(none)");
    // Unreadable files give nothing.
    process_dropped_file("/nonexistent/file");
    EXPECT_TRUE(drain(wm).empty());
    unlink(empty.c_str());
    rmdir(dir);
    harness_shutdown();
}

}  // namespace
