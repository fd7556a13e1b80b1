// orb text writer and reader speed: a large nested table and a 1 MB typed array, plain and
// as stored (qxu blocks, LZ4), with LZ4's own speed on the same bytes for comparison.
#include <benchmark/benchmark.h>
#include <lz4.h>
#include <lz4hc.h>

#include <string>
#include <vector>

#include "arrays/typed_array.h"
#include "kernel/api_tables.h"
#include "kernel/buffer.h"
#include "kernel/cpu.h"
#include "lauxlib.h"
#include "lua.h"
#include "lualib.h"
#include "storage/orb.h"
#include "../tests/orb/orb_state.h"

namespace {

lua_State* state() {
    static lua_State* L;
    if (!L) {
        L = orb_test_state();
        // Slot 1: the nested table; slot 2: a 1 MB u8 bitmap; slot 3: a 1 MB f64 array.
        std::string path = std::string(ORVANTA_SOURCE_DIR) + "/bench/orb_workload.lua";
        if (luaL_dofile(L, path.c_str()) != LUA_OK) abort();
        TypedArray* a = create_typed_array(L, UT_U8, 2, 1024, 1024);
        for (int64_t i = 0; i < ta_count(a); i++) ta_data(a)[i] = (uint8_t)((i / 1024 / 16 + (i % 1024) / 40) % 12);
        TypedArray* f = create_typed_array(L, UT_F64, 1, 131072, 1);
        for (int64_t i = 0; i < ta_count(f); i++) ta_elems<double>(f)[i] = (double)i / 64.0;
    }
    cpu_cycles = 0;
    return L;
}

std::string text_of(int slot, int flags) {
    ByteBuffer* b = create_buffer_2(0, BUF_TAG_ORB);
    stringify_object(state(), slot, b, flags);
    std::string s((const char*)b->bytes, (size_t)b->length);
    destroy_buffer(b);
    return s;
}

void write_bench(benchmark::State& st, int slot, int flags) {
    lua_State* L = state();
    ByteBuffer* b = create_buffer_2(1 << 20, BUF_TAG_ORB);
    for (auto _ : st) {
        bclear(b);
        cpu_cycles = 0;
        stringify_object(L, slot, b, flags);
        benchmark::DoNotOptimize(b->bytes);
    }
    // Tables by their plain text, arrays by their element data, so forms compare directly.
    TypedArray* a = to_typed_array(L, slot);
    int64_t per = a ? ta_data_bytes(a) : (int64_t)text_of(slot, 0).size();
    st.SetBytesProcessed((int64_t)st.iterations() * per);
    st.counters["text_bytes"] = b->length;
    destroy_buffer(b);
}

void read_bench(benchmark::State& st, int slot, int flags) {
    lua_State* L = state();
    std::string t = text_of(slot, flags);
    for (auto _ : st) {
        cpu_cycles = 0;
        int n = destringify_object(L, t.data(), (int64_t)t.size());
        if (n != 1) st.SkipWithError("unreadable");
        lua_settop(L, 3);
    }
    lua_gc(L, LUA_GCCOLLECT, 0);
    TypedArray* a = to_typed_array(L, slot);
    int64_t per = a ? ta_data_bytes(a) : (int64_t)text_of(slot, 0).size();
    st.SetBytesProcessed((int64_t)st.iterations() * per);
}

void BM_WriteTable(benchmark::State& st) { write_bench(st, 1, 0); }
void BM_ReadTable(benchmark::State& st) { read_bench(st, 1, 0); }
void BM_WriteTableStored(benchmark::State& st) { write_bench(st, 1, ORB_STORE_FLAGS); }
void BM_ReadTableStored(benchmark::State& st) { read_bench(st, 1, ORB_STORE_FLAGS); }
void BM_WriteU8ArrayText(benchmark::State& st) { write_bench(st, 2, 0); }
void BM_ReadU8ArrayText(benchmark::State& st) { read_bench(st, 2, 0); }
void BM_WriteU8ArrayQxu(benchmark::State& st) { write_bench(st, 2, ORB_QXU); }
void BM_ReadU8ArrayQxu(benchmark::State& st) { read_bench(st, 2, ORB_QXU); }
void BM_WriteF64ArrayText(benchmark::State& st) { write_bench(st, 3, 0); }
void BM_ReadF64ArrayText(benchmark::State& st) { read_bench(st, 3, 0); }

// LZ4 alone on the plain text of the table: the floor under the stored form's cost.
void BM_Lz4HcLevel1Table(benchmark::State& st) {
    std::string t = text_of(1, 0);
    std::vector<char> dst((size_t)LZ4_compressBound((int)t.size()));
    int c = 0;
    for (auto _ : st) {
        c = LZ4_compress_HC(t.data(), dst.data(), (int)t.size(), (int)dst.size(), 1);
        benchmark::DoNotOptimize(c);
    }
    st.SetBytesProcessed((int64_t)st.iterations() * (int64_t)t.size());
    st.counters["ratio"] = (double)t.size() / c;
}

void BM_Lz4DecompressTable(benchmark::State& st) {
    std::string t = text_of(1, 0);
    std::vector<char> z((size_t)LZ4_compressBound((int)t.size()));
    int c = LZ4_compress_HC(t.data(), z.data(), (int)t.size(), (int)z.size(), 1);
    std::vector<char> back(t.size());
    for (auto _ : st) benchmark::DoNotOptimize(LZ4_decompress_safe(z.data(), back.data(), c, (int)back.size()));
    st.SetBytesProcessed((int64_t)st.iterations() * (int64_t)t.size());
}

}  // namespace

BENCHMARK(BM_WriteTable)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReadTable)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_WriteTableStored)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReadTableStored)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Lz4HcLevel1Table)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Lz4DecompressTable)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_WriteU8ArrayText)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReadU8ArrayText)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_WriteU8ArrayQxu)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReadU8ArrayQxu)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_WriteF64ArrayText)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReadF64ArrayText)->Unit(benchmark::kMillisecond);
BENCHMARK_MAIN();
