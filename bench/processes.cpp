// Start-up and memory of processes (run by bench/processes.sh, one case per run so
// that each starts from a fresh host):
//
//   bench_processes create [RUNS]  time to create 512 processes, in a fresh host and again
//                                  after freeing them (best of RUNS - 1; RUNS default 5)
//   bench_processes idle           host RSS with 512 idle processes
//   bench_processes fill KIND      host RSS before, at the peak of and after a process
//                                  that fills its 32 MB until it is ended for lack of
//                                  memory (and 60 paced frames later), then at the peak
//                                  of four more in a row; KIND small (tables and short
//                                  strings) or large (1 MB strings)
//
// Processes are made and run as the kernel does (full API, slices under the budget),
// headless, without the system ROM.
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "kernel/process.h"
#include "kernel/state.h"

static const char* const IDLE = "while true do flip() end";
// Makes a little garbage every frame, as the desktop's own processes do.
static const char* const BUSY = "while true do local t = {} for i = 1, 200 do t[i] = {i} end flip() end";
static const char* const FILL_SMALL =
    "local t, i = {}, 0 while true do i += 1 t[i] = {i, 'entry ' .. i} end";
static const char* const FILL_LARGE =
    "local t, i = {}, 0 while true do i += 1 t[i] = string.rep('m', 1 << 20) .. i end";

static double now_s(clockid_t c) {
    timespec t;
    clock_gettime(c, &t);
    return t.tv_sec + t.tv_nsec / 1e9;
}

static double rss_mb() {
    long size = 0, resident = 0;
    FILE* f = fopen("/proc/self/statm", "r");
    if (!f) return 0;
    if (fscanf(f, "%ld %ld", &size, &resident) != 2) resident = 0;
    fclose(f);
    return resident * (double)sysconf(_SC_PAGESIZE) / (1 << 20);
}

static bool mapped(const char* lib) {
    FILE* f = fopen("/proc/self/maps", "r");
    if (!f) return false;
    char line[4096];
    bool found = false;
    while (!found && fgets(line, sizeof line, f)) found = strstr(line, lib) != nullptr;
    fclose(f);
    return found;
}

// One frame's slices for every process, as the root's scheduler would give them,
// with the kernel's bookkeeping after them.
static void frame(bool paced) {
    prepare_processes_for_frame();
    for (int i = 0; i < get_process_count(); i++) run_process_slice(get_process_by_index(i), 1.0);
    update_processes_after_frame();
    if (paced) usleep(16000);
}

static Process* make(const char* code) {
    Process* p = create_process_from_code(code, "bench", "/bench.lua");
    if (!p) {
        fprintf(stderr, "bench_processes: could not create a process\n");
        exit(1);
    }
    return p;
}

int main(int argc, char** argv) {
    const char* what = argc > 1 ? argv[1] : "";
    config_set_defaults();
    config.headless = 1;
    snprintf(config.home, sizeof config.home, "/tmp/orvanta_bench_processes/");
    if (system("mkdir -p /tmp/orvanta_bench_processes") != 0) return 1;
    memset(&app, 0, sizeof app);
    app.audio_focus_pid = -2;
    app.boot_finished = 1;
    processes_init();
    printf("process heaps: %s\n", mapped("libmimalloc") ? "mimalloc" : "system allocator");

    if (strcmp(what, "create") == 0) {
        // The first run faults in fresh memory, as at start-up; later ones reuse what
        // the previous run freed.
        int runs = argc > 2 ? std::max(2, atoi(argv[2])) : 5;
        double cold = 0, best = 1e9;
        for (int r = 0; r < runs; r++) {
            double c0 = now_s(CLOCK_PROCESS_CPUTIME_ID);
            for (int i = 0; i < MAX_PROCESSES; i++) make(IDLE);
            double t = now_s(CLOCK_PROCESS_CPUTIME_ID) - c0;
            if (r == 0) cold = t;
            else best = std::min(best, t);
            processes_init();
        }
        printf("create 512 processes: %.1f ms cpu in a fresh host, %.1f ms again (best of %d; %.1f us each)\n",
               cold * 1e3, best * 1e3, runs - 1, best * 1e6 / MAX_PROCESSES);
    } else if (strcmp(what, "idle") == 0) {
        double before = rss_mb();
        for (int i = 0; i < MAX_PROCESSES; i++) make(IDLE);
        for (int f = 0; f < 70; f++) frame(false);
        double after = rss_mb();
        printf("512 idle processes: host rss %.1f MB (%.1f MB before, %.1f kB per process)\n", after, before,
               (after - before) * 1024 / MAX_PROCESSES);
    } else if (strcmp(what, "fill") == 0 && argc > 2) {
        const char* code = strcmp(argv[2], "large") == 0 ? FILL_LARGE : FILL_SMALL;
        make(IDLE);
        make(BUSY);
        for (int f = 0; f < 10; f++) frame(false);
        double before = rss_mb(), peak = before;
        // Fills until it is ended; the host's RSS is read after every frame.
        auto fill = [&](double* top, double* last) {
            uint64_t pid = make(code)->pid;
            int frames = 0;
            while (get_process(pid) && frames < 100000) {
                double c0 = now_s(CLOCK_PROCESS_CPUTIME_ID);
                frame(false);
                *last = now_s(CLOCK_PROCESS_CPUTIME_ID) - c0;
                frames++;
                *top = std::max(*top, rss_mb());
            }
            if (get_process(pid)) {
                fprintf(stderr, "bench_processes: the filler did not end\n");
                exit(1);
            }
        };
        double last_frame = 0;
        fill(&peak, &last_frame);
        double gone = rss_mb();
        for (int f = 0; f < 60; f++) frame(true);
        double later = rss_mb(), again = later, unused;
        for (int k = 0; k < 4; k++) fill(&again, &unused);
        printf("fill %s: host rss %.1f MB before, %.1f MB at the peak, %.1f MB when it is gone (its last frame "
               "%.1f ms cpu), %.1f MB 60 paced frames later, %.1f MB at the peak of four more\n",
               argv[2], before, peak, gone, last_frame * 1e3, later, again);
    } else {
        fprintf(stderr, "usage: bench_processes create [RUNS] | idle | fill small|large\n");
        return 2;
    }
    processes_init();
    return 0;
}
