// The boot clock and the boot screen: an animated border growing around the
// frame, the version and notice lines and a status line, drawn into a frame
// of its own by a process record that is never in the process table.
#include "kernel/boot.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "graphics/gfx.h"
#include "graphics/print.h"
#include "host/host.h"
#include "kernel/state.h"

namespace {

Process* boot_proc;
TypedArray* boot_frame;

constexpr int FRAME_W = 480, FRAME_H = 270;
constexpr const char* NOTICE = "Free software: it comes with no warranty of any kind.";

void init_boot() {
    boot_proc = (Process*)calloc(1, sizeof(Process));
    boot_frame = (TypedArray*)calloc(1, sizeof(TypedArray) + FRAME_W * FRAME_H);
    if (!boot_proc || !boot_frame) abort();
    *boot_frame = TypedArray{UT_U8, 2, {0, 0}, FRAME_W, FRAME_H, 1};
    boot_proc->pid = 0;
    strcpy(boot_proc->name, "[boot]");
    gfx_init_host_process(boot_proc, boot_frame);
}

double ease(double x) { return x < 0.5 ? 2 * x * x : 1 - 2 * (1 - x) * (1 - x); }

struct Path {
    int x0, y0, cx, cy, x1, y1, phase;
};
constexpr Path PATHS[6] = {
    {0, 0, 479, 0, 479, 269, 0}, {0, 0, 0, 269, 479, 269, 5}, {3, 3, 476, 3, 476, 266, 1},
    {3, 3, 3, 266, 476, 266, 6}, {6, 6, 473, 6, 473, 263, 2}, {6, 6, 6, 263, 473, 263, 7},
};

// The part [a, b] (0..1 along the segment) of the segment from (x0, y0) to
// (x1, y1), stepped in 16.16 fixed point without its end pixel.
void border_piece(const Gfx& g, double x0, double y0, double x1, double y1, double a, double b, int phase) {
    if (b <= a) return;
    double sx = x0 + (x1 - x0) * a, sy = y0 + (y1 - y0) * a;
    double ex = x0 + (x1 - x0) * b, ey = y0 + (y1 - y0) * b;
    int64_t X = (int64_t)(sx * 65536), Y = (int64_t)(sy * 65536);
    int64_t EX = (int64_t)(ex * 65536), EY = (int64_t)(ey * 65536);
    int64_t n = std::max(std::llabs(EX - X), std::llabs(EY - Y)) >> 16;
    if (n < 1) return;
    int64_t stx = (EX - X) / n, sty = (EY - Y) / n;
    for (int64_t k = 0; k < n; k++) {
        int64_t x = (X + k * stx) >> 16, y = (Y + k * sty) >> 16;
        int64_t sum = x / 32 + y / 32 + phase + k % 3;
        uint32_t colour = app.striped_boot_lines ? (uint32_t)(sum % 3 + 28) : (uint32_t)(sum % 12 + 8);
        gfx_shape(g, x, y, colour);
    }
}

void draw_border(const Gfx& g, double t) {
    double head = ease(std::clamp(t, 0.0, 1.0)), tail = ease(std::clamp(t - 0.5, 0.0, 1.0));
    if (!(tail < 1 && head > 0)) return;
    for (const Path& p : PATHS) {
        // Path parameter 0..0.5 runs to the corner, 0.5..1 on to the end.
        border_piece(g, p.x0, p.y0, p.cx, p.cy, std::max(tail, 0.0) * 2, std::min(head, 0.5) * 2, p.phase);
        border_piece(g, p.cx, p.cy, p.x1, p.y1, (std::max(tail, 0.5) - 0.5) * 2, (std::min(head, 1.0) - 0.5) * 2,
                     p.phase);
    }
}

void clear_frame(uint8_t colour) {
    memset(ta_data(boot_frame), colour, FRAME_W * FRAME_H);
    ds_set_i32(boot_proc, DS_CURSOR_X, 0);
    ds_set_i32(boot_proc, DS_CURSOR_Y, 0);
}

void print_line(const char* text, uint32_t colour) {
    print_tesscii(boot_proc, text, (int64_t)strlen(text), 0, colour);
}

void draw_boot_frame() {
    Process* root = get_process(1);
    if (root && mem_peek_quiet(root, 0) != 0) {
        clear_frame(1);
        char line[64];
        snprintf(line, sizeof line, "** system error %d **\n", mem_peek_quiet(root, 0));
        print_line(line, 14);
        return;
    }
    double t = (double)boot_get_time() / 500.0 - 1;
    clear_frame(0);
    Gfx g;
    gfx_begin(g, boot_proc, false);
    draw_border(g, t);
    ds_set_i32(boot_proc, DS_CURSOR_X, 35);
    ds_set_i32(boot_proc, DS_CURSOR_Y, 200);
    ds_set_i32(boot_proc, DS_HOME_X, 35);
    char line[128];
    if (t > 0.7) {
        snprintf(line, sizeof line, "\6:3f7f5077057f7e00 Orvanta Workstation OS %s", ORVANTA_VERSION);
        print_line(line, 7);
    }
    if (t > 1.0) print_line(NOTICE, 6);
    if (t > 1.2) {
        const char* status = "booting..\n";
        if (app.boot_finished && !app.show_wm_video) status = "booting...\n";
        int64_t now = os_get_time();
        if (now > 4000) status = "booting....\n";
        if (now > 7000) status = "booting.....\n";
        snprintf(line, sizeof line, "%s", status);
        for (uint64_t pid = 1; pid <= 3; pid++) {
            Process* q = get_process(pid);
            if (q && q->state != PROC_RUNNING)
                snprintf(line, sizeof line, "[* system error %d:%lld **]\n", (int)pid, (long long)q->frame_clock);
        }
        print_line(line, 14);
    }
}

}  // namespace

void boot_init() {}

int64_t boot_get_time() {
    // An origin of 0 counts as unset; the first read after a reset takes the frame counter.
    if (app.boot_clock_origin == 0) app.boot_clock_origin = app.frame_counter;
    return (int64_t)((double)(app.frame_counter - app.boot_clock_origin) * 16.6);
}

Process* draw_boot() {
    Process* prev = cproc;
    // The boot screen's drawing is host work: it charges no process.
    int32_t cycles = cpu_cycles;
    if (!boot_proc) init_boot();
    cproc = boot_proc;
    draw_boot_frame();
    cproc = prev;
    cpu_cycles = cycles;
    return boot_proc;
}
