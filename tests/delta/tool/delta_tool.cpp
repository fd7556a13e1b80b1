// Command-line access to the delta codec, for tests that check it against an independent
// decoder. HOME is the app-data folder (its log.txt gets the codec's log lines).
//   delta_tool HOME create OLD NEW     the delta on stdout
//   delta_tool HOME apply OLD DELTA    the new data on stdout; exit 1 when refused
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>

#include "kernel/state.h"
#include "storage/delta.h"

static bool slurp(const char* path, std::string* out) {
    std::ifstream f(path, std::ios::binary);
    if (!f) return false;
    out->assign(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
    return true;
}

int main(int argc, char** argv) {
    if (argc != 5) return 2;
    snprintf(config.home, sizeof config.home, "%s", argv[1]);
    std::string a, b;
    if (!slurp(argv[3], &a) || !slurp(argv[4], &b)) return 2;
    const uint8_t* pa = (const uint8_t*)a.data();
    const uint8_t* pb = (const uint8_t*)b.data();
    ByteBuffer* r = !strcmp(argv[2], "create")  ? generate_diff(pa, (int64_t)a.size(), pb, (int64_t)b.size())
                    : !strcmp(argv[2], "apply") ? apply_diff(pa, (int64_t)a.size(), pb, (int64_t)b.size())
                                                : nullptr;
    if (!r) return 1;
    fwrite(r->bytes, 1, (size_t)r->length, stdout);
    destroy_buffer(r);
    return 0;
}
