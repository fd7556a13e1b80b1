#include <cstring>

#include "host/host.h"
#include "kernel/state.h"

int main(int argc, char** argv) {
    strncpy(tolo_argv0, argv[0], sizeof tolo_argv0 - 1);
    config_set_defaults();
    // The command line and record 0 decide where the log goes, so both are read
    // before the first log line.
    process_arguments(argc, argv);
    char path[1024];
    tolo_prefix_with_program_path("sysrom.dat", path);
    load_dat_files(path);
    tolo_debugf("load_orvanta_dat_files: %s // from: %s\n", "sysrom.dat", path);
    tolo_debugf("booting orvanta %s\n", ORVANTA_VERSION);
    tolo_debugf("build: %s\n", ORVANTA_BUILD_STAMP);
    reset_app_state();
    for (;;) system_frame();
}
