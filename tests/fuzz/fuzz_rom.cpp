// The ROM image and text-cartridge readers on arbitrary bytes. Whatever they unpack must
// write back (in both forms) to cartridges that read back to the same files.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>

#include "kernel/state.h"
#include "storage/cart.h"
#include "storage/pdisk.h"
#include "../storage/ram_tree.h"

static void check_round_trip(int form) {
    ByteBuffer* origin = create_buffer_from_str("/ram/in");
    ByteBuffer* out = create_buffer_2(1024, 0);
    int rc = form == 2 ? write_q64_rom_from_ram_files(out, origin, 0) : write_q64_from_ram_files(out, origin);
    if (rc == 0) {
        delete_ram_files_in_path("/ram/back");
        out->cursor = 0;
        int r = form == 2 ? populate_ram_folder_from_q64_rom_buffer("/ram/back", out)
                          : populate_ram_folder_from_q64_buffer("/ram/back", out);
        if (r != 0 || ram_tree("/ram/in") != ram_tree("/ram/back")) abort();
    }
    destroy_buffer(out);
    destroy_buffer(origin);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool ready = false;
    if (!ready) {
        pfile_init();
        pfile_reset();
        mount_ram_folder("/ram");
        ready = true;
    }
    if (size < 1) return 0;
    delete_ram_files_in_path("/ram/in");
    ByteBuffer* b = create_buffer_2((int64_t)size, 0);
    bappend_bytes(b, data + 1, (int64_t)size - 1);
    b->cursor = 0;
    if (data[0] & 1) populate_ram_folder_from_q64_rom_buffer("/ram/in", b);
    else populate_ram_folder_from_q64_buffer("/ram/in", b);
    destroy_buffer(b);
    check_round_trip(1);
    check_round_trip(2);
    return 0;
}
