// Command-line access to the orb writer and reader and the base64 variant, for tests that
// check them against independent encoders. Input on stdin, output on stdout.
//   orb_tool orb FLAGS    Lua expression -> orb text written with FLAGS
//   orb_tool unorb        orb text -> the value as plain orb text (exit 1 when unreadable)
//   orb_tool b64enc       bytes -> base64 characters
//   orb_tool b64dec       characters -> bytes
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <iterator>
#include <string>

#include "arrays/typed_array.h"
#include "kernel/api_tables.h"
#include "kernel/cpu.h"
#include "lauxlib.h"
#include "lua.h"
#include "lualib.h"
#include "storage/base64.h"
#include "storage/orb.h"
#include "../orb_state.h"

static void put(const ByteBuffer* b) { fwrite(b->bytes, 1, (size_t)b->length, stdout); }

int main(int argc, char** argv) {
    if (argc < 2) return 2;
    std::string in((std::istreambuf_iterator<char>(std::cin)), std::istreambuf_iterator<char>());
    std::string cmd = argv[1];
    ByteBuffer* out = create_buffer_2(0, BUF_TAG_ORB);
    if (cmd == "b64enc") {
        base64_encode_append(out, in.data(), (int64_t)in.size());
        put(out);
        return 0;
    }
    if (cmd == "b64dec") {
        base64_decode_append(out, in.data(), (int64_t)in.size());
        put(out);
        return 0;
    }
    lua_State* L = orb_test_state();
    int rc = 0;
    if (cmd == "orb" && argc >= 3) {
        if (luaL_dostring(L, ("return " + in).c_str()) != LUA_OK) {
            fprintf(stderr, "%s\n", lua_tostring(L, -1));
            return 1;
        }
        stringify_object(L, -1, out, (int)strtol(argv[2], nullptr, 0));
        put(out);
    } else if (cmd == "unorb") {
        int n = destringify_object(L, in.data(), (int64_t)in.size());
        if (n == 0) rc = 1;
        else {
            stringify_object(L, -n, out, 0);
            put(out);
        }
    } else {
        rc = 2;
    }
    lua_close(L);
    destroy_buffer(out);
    return rc;
}
