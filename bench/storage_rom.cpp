// ROM images: packing and unpacking a cartridge of many small files, and RAM file opens.
#include <benchmark/benchmark.h>

#include <string>

#include "storage/cart.h"
#include "storage/pdisk.h"

static void fill_source(int files) {
    pfile_init();
    pfile_reset();
    mount_ram_folder("/ram");
    for (int i = 0; i < files; i++) {
        FileSlot* f = pfopen(("/ram/src/f" + std::to_string(i) + ".lua").c_str(), "w");
        for (int k = 0; k < 40; k++) bappend_str(f->contents, "local x = x + 1 -- some source text\n");
        pfclose(f);
    }
}

static void BM_RomWrite(benchmark::State& state) {
    fill_source((int)state.range(0));
    ByteBuffer* origin = create_buffer_from_str("/ram/src");
    for (auto _ : state) {
        ByteBuffer* out = create_buffer_2(1 << 16, 0);
        write_q64_rom_from_ram_files(out, origin, 0);
        benchmark::DoNotOptimize(out->length);
        destroy_buffer(out);
    }
    destroy_buffer(origin);
}
BENCHMARK(BM_RomWrite)->Arg(100)->Arg(1000);

static void BM_RomUnpack(benchmark::State& state) {
    fill_source((int)state.range(0));
    ByteBuffer* origin = create_buffer_from_str("/ram/src");
    ByteBuffer* rom = create_buffer_2(1 << 16, 0);
    write_q64_rom_from_ram_files(rom, origin, 0);
    for (auto _ : state) {
        rom->cursor = 0;
        populate_ram_folder_from_q64_rom_buffer("/ram/dst", rom);
        state.PauseTiming();
        delete_ram_files_in_path("/ram/dst");
        state.ResumeTiming();
    }
    destroy_buffer(rom);
    destroy_buffer(origin);
}
BENCHMARK(BM_RomUnpack)->Arg(100)->Arg(1000);

static void BM_RamOpen(benchmark::State& state) {
    fill_source((int)state.range(0));
    int i = 0;
    for (auto _ : state) {
        FileSlot* f = pfopen(("/ram/src/f" + std::to_string(i++ % state.range(0)) + ".lua").c_str(), "r");
        benchmark::DoNotOptimize(f);
        pfclose(f);
    }
}
BENCHMARK(BM_RamOpen)->Arg(1000)->Arg(8000);

BENCHMARK_MAIN();
