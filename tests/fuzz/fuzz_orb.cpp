// Reads arbitrary bytes as orb text (and as a metadata header). Reading must never raise or
// crash; whatever it reads must write back to a text that reads again, plain and stored.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "arrays/typed_array.h"
#include "kernel/api_tables.h"
#include "kernel/buffer.h"
#include "kernel/cpu.h"
#include "lauxlib.h"
#include "lua.h"
#include "lualib.h"
#include "storage/orb.h"
#include "../orb/orb_state.h"

static lua_State* state() {
    static lua_State* L;
    if (!L) L = orb_test_state();
    return L;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    lua_State* L = state();
    cpu_cycles = 0;
    lua_settop(L, 0);
    const char* text = (const char*)data;
    int n = destringify_object(L, text, (int64_t)size);
    if (n < 0 || n > 2 || lua_gettop(L) != n) abort();
    if (find_metadata_length(text, (int64_t)size) > (int64_t)size) abort();
    if (n > 0) {
        for (int flags : {0, ORB_STORE_FLAGS, 0x37}) {
            ByteBuffer* b = create_buffer_2(0, BUF_TAG_ORB);
            if (!stringify_object(L, 1, b, flags)) abort();
            int m = destringify_object(L, (const char*)b->bytes, b->length);
            if (m != 1) abort();
            lua_pop(L, m);
            destroy_buffer(b);
        }
    }
    lua_settop(L, 0);
    if (size >= 7 && memcmp(data, "--[[orb", 7) == 0) {
        int m = destringify_object_metadata(L, text, (int64_t)size);
        if (m != lua_gettop(L) || m > 1) abort();
        lua_settop(L, 0);
    }
    lua_gc(L, LUA_GCSTEP, 0);
    return 0;
}
