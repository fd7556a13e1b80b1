// Delta speed on a 1 MB text with small edits, next to plain LZ4 of the same new bytes.
// Two edit kinds: 20 bytes changed in place (offsets stay), and 20 short insertions and
// deletions (offsets shift, so the sparse hash index must find the copies). Throughput is
// counted in bytes of new data. Run bench/delta.sh for best-of-N repetitions.
#include <benchmark/benchmark.h>
#include <lz4.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "storage/delta.h"

namespace {

struct Pair {
    std::string old_text, new_text, delta;
};

std::string make_text(std::mt19937& rng, size_t n) {
    static const char* words[] = {"local", "function", "return", "end", "if", "then", "else", "for", "x", "y",
                                  "sprite", "draw", "=", "+", "(", ")", "1", "0", "--", "flip"};
    std::string s;
    while (s.size() < n) {
        int line = 3 + (int)(rng() % 9);
        s += std::string((rng() % 4) * 2, ' ');
        for (int i = 0; i < line; i++) s += std::string(words[rng() % 20]) + (i + 1 < line ? " " : "\n");
    }
    s.resize(n);
    return s;
}

const Pair& pair(bool shifting) {
    static Pair p[2];
    Pair& r = p[shifting];
    if (r.old_text.empty()) {
        std::mt19937 rng(1);
        r.old_text = make_text(rng, 1 << 20);
        r.new_text = r.old_text;
        for (int e = 0; e < 20; e++) {
            size_t at = rng() % (r.new_text.size() - 64);
            if (!shifting) r.new_text[at] = (char)('A' + e);
            else if (e % 2) r.new_text.insert(at, "inserted ");
            else r.new_text.erase(at, 7);
        }
        ByteBuffer* d = generate_diff((const uint8_t*)r.old_text.data(), (int64_t)r.old_text.size(),
                                      (const uint8_t*)r.new_text.data(), (int64_t)r.new_text.size());
        r.delta.assign((const char*)d->bytes, (size_t)d->length);
        destroy_buffer(d);
    }
    return r;
}

void BM_CreateDelta(benchmark::State& st) {
    const Pair& p = pair(st.range(0));
    for (auto _ : st) {
        ByteBuffer* d = generate_diff((const uint8_t*)p.old_text.data(), (int64_t)p.old_text.size(),
                                      (const uint8_t*)p.new_text.data(), (int64_t)p.new_text.size());
        benchmark::DoNotOptimize(d->bytes);
        destroy_buffer(d);
    }
    st.SetBytesProcessed((int64_t)st.iterations() * (int64_t)p.new_text.size());
    st.counters["delta_bytes"] = (double)p.delta.size();
}

void BM_ApplyDelta(benchmark::State& st) {
    const Pair& p = pair(st.range(0));
    for (auto _ : st) {
        ByteBuffer* r = apply_diff((const uint8_t*)p.old_text.data(), (int64_t)p.old_text.size(),
                                   (const uint8_t*)p.delta.data(), (int64_t)p.delta.size());
        if (!r) st.SkipWithError("delta refused");
        benchmark::DoNotOptimize(r->bytes);
        destroy_buffer(r);
    }
    st.SetBytesProcessed((int64_t)st.iterations() * (int64_t)p.new_text.size());
}

void BM_Lz4Compress(benchmark::State& st) {
    const Pair& p = pair(st.range(0));
    std::string out(LZ4_compressBound((int)p.new_text.size()), '\0');
    int z = 0;
    for (auto _ : st) {
        z = LZ4_compress_fast(p.new_text.data(), out.data(), (int)p.new_text.size(), (int)out.size(), 1);
        benchmark::DoNotOptimize(out.data());
    }
    st.SetBytesProcessed((int64_t)st.iterations() * (int64_t)p.new_text.size());
    st.counters["lz4_bytes"] = z;
}

void BM_Lz4Decompress(benchmark::State& st) {
    const Pair& p = pair(st.range(0));
    std::string z(LZ4_compressBound((int)p.new_text.size()), '\0');
    z.resize(LZ4_compress_fast(p.new_text.data(), z.data(), (int)p.new_text.size(), (int)z.size(), 1));
    std::string out(p.new_text.size(), '\0');
    for (auto _ : st) {
        LZ4_decompress_safe(z.data(), out.data(), (int)z.size(), (int)out.size());
        benchmark::DoNotOptimize(out.data());
    }
    st.SetBytesProcessed((int64_t)st.iterations() * (int64_t)p.new_text.size());
}

void BM_Crc32(benchmark::State& st) {
    const Pair& p = pair(false);
    for (auto _ : st) benchmark::DoNotOptimize(crc32b((const uint8_t*)p.new_text.data(), (int64_t)p.new_text.size()));
    st.SetBytesProcessed((int64_t)st.iterations() * (int64_t)p.new_text.size());
}

}  // namespace

double best(const std::vector<double>& v) { return *std::min_element(v.begin(), v.end()); }

// Arg 0: edits in place; arg 1: insertions and deletions.
BENCHMARK(BM_CreateDelta)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond)->ComputeStatistics("best", best);
BENCHMARK(BM_Lz4Compress)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond)->ComputeStatistics("best", best);
BENCHMARK(BM_ApplyDelta)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond)->ComputeStatistics("best", best);
BENCHMARK(BM_Lz4Decompress)->Arg(0)->Arg(1)->Unit(benchmark::kMicrosecond)->ComputeStatistics("best", best);
BENCHMARK(BM_Crc32)->Unit(benchmark::kMicrosecond)->ComputeStatistics("best", best);
BENCHMARK_MAIN();
