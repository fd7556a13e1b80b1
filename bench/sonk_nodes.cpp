// Node-tick cost of the synthesiser: one tick (367 samples) per iteration,
// mval evaluation included; the ns_per_sample counter is the figure to read.
#include <benchmark/benchmark.h>

#include "audio/sonk.h"
#include "audio/sonk_engine.h"

namespace {

constexpr int64_t INST = 0x40000;
int16_t blocks[9][SONK_BLOCK];

void put(int64_t a, std::initializer_list<int> bytes) {
    for (int b : bytes) {
        uint8_t v = (uint8_t)b;
        sonk_memcpy((uint32_t)a++, &v, 1);
    }
}

// An instrument with the given node records (byte 0, byte 1, then every
// mval "add to parent", mval 0 "multiply by 64" so the volume passes).
void setup(std::initializer_list<std::pair<int, int>> nodes, SonkNodeState* st, SonkNodeState& root) {
    sonk_reset();
    uint64_t rng[4] = {};
    sonk_memcpy(SONK_WAVETABLE_BASE, sonk_default_wavetable(rng), SONK_WAVETABLE_SAMPLES * 2);
    sonk_memcpy(INST + 0x1E0, sonk_default_descriptors, 8);
    int i = 0;
    for (auto [b0, b1] : nodes) {
        int64_t a = INST + 32 * i++;
        put(a, {b0, b1, 0, 0, 2, 64, 0, 0});
        for (int j = 1; j < 7; j++) put(a + 4 + 4 * j, {1, 0, 0, 0});
    }
    for (int k = 0; k < 9; k++) {
        st[k] = {};
        st[k].out = blocks[k];
        st[k].echo_delay0 = st[k].echo_level0 = -1;
    }
    sonk_load_nodes(st, INST);
    root = {};
    root.value[0] = 64 << 16;
    root.value[2] = 57 << 16;
    root.value[1] = 40 << 16;  // echo: 40 × 126 samples; gain: its knee
    root.ratio_num = root.ratio_den = 1;
    for (int i = 0; i < SONK_TICK_SAMPLES; i++) blocks[8][i] = (int16_t)(i * 181 - 30000);
}

const SonkEnvCtx CX{INST, 1, 0, 16};

void report(benchmark::State& s) {
    s.counters["ns_per_sample"] = benchmark::Counter((double)s.iterations() * SONK_TICK_SAMPLES,
                                                     benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

void BM_Oscillator(benchmark::State& s) {
    SonkNodeState n[9], root;
    setup({{0x00, 0x02}}, n, root);
    for (auto _ : s) {
        sonk_eval_node(n, 0, &root, CX);
        render_node_tick(&n[0], n[0].out, SONK_TICK_SAMPLES);
        benchmark::DoNotOptimize(blocks[0][100]);
    }
    report(s);
}
BENCHMARK(BM_Oscillator);

void BM_FmPair(benchmark::State& s) {
    SonkNodeState n[9], root;
    setup({{0x00, 0x02}, {0x10, 0x02}}, n, root);  // node 1 modulates node 0
    for (auto _ : s) {
        sonk_eval_node(n, 0, &root, CX);
        sonk_eval_node(n, 1, &n[0], CX);
        render_node_tick(&n[1], n[1].out, SONK_TICK_SAMPLES);
        n[0].fm_in = n[1].out;
        n[0].fm_shift = n[1].fm_shift;
        render_node_tick(&n[0], n[0].out, SONK_TICK_SAMPLES);
        benchmark::DoNotOptimize(blocks[0][100]);
    }
    report(s);
}
BENCHMARK(BM_FmPair);

void effect(benchmark::State& s, int kind) {
    SonkNodeState n[9], root;
    setup({{0x00, kind}}, n, root);
    static int16_t x[SONK_TICK_SAMPLES];
    for (auto _ : s) {
        memcpy(x, blocks[8], sizeof x);
        sonk_eval_node(n, 0, &root, CX);
        sonk_apply_effect(&n[0], x, SONK_TICK_SAMPLES);
        benchmark::DoNotOptimize(x[100]);
    }
    report(s);
}
void BM_Filter(benchmark::State& s) { effect(s, SONK_FILTER); }
void BM_Echo(benchmark::State& s) { effect(s, SONK_ECHO); }
void BM_Gain(benchmark::State& s) { effect(s, SONK_GAIN); }
BENCHMARK(BM_Filter);
BENCHMARK(BM_Echo);
BENCHMARK(BM_Gain);

}  // namespace

BENCHMARK_MAIN();
