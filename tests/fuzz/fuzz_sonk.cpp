// Renders arbitrary instrument records, envelopes, descriptors and node values
// through every node kind and join: no fault, no undefined behaviour, and each
// tick's work stays bounded.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "audio/sonk.h"
#include "audio/sonk_engine.h"

namespace {

struct Bytes {
    const uint8_t* p;
    size_t n;
    uint8_t u8() {
        if (!n) return 0;
        n--;
        return *p++;
    }
    int32_t i32() { return (int32_t)(u8() | u8() << 8 | u8() << 16 | (uint32_t)u8() << 24); }
};

void tick(SonkNodeState* nodes, const SonkNodeState& root, const SonkEnvCtx& cx) {
    for (int i = 0; i < 8; i++)
        if (nodes[i].kind) sonk_eval_node(nodes, i, nodes[i].parent < i ? &nodes[nodes[i].parent] : &root, cx);
    memset(nodes[0].out, 0, SONK_TICK_SAMPLES * 2);
    memset(nodes[8].out, 0, SONK_TICK_SAMPLES * 2);
    for (int d = 7; d >= 0; d--)
        for (int j = 0; j < 8; j++) {
            SonkNodeState& n = nodes[j];
            if (n.depth != d) continue;
            render_node_tick(&n, n.out, SONK_TICK_SAMPLES);
            if (n.kind == SONK_OSC && n.op == SONK_OP_FM && n.parent < j) {
                nodes[n.parent].fm_in = n.out;
                nodes[n.parent].fm_shift = n.fm_shift;
            }
            for (int c = j + 1; c < 8; c++) {
                SonkNodeState& q = nodes[c];
                if (q.parent != j || (q.flags & 2)) continue;
                if (q.kind >= SONK_FILTER) sonk_apply_effect(&q, n.out, SONK_TICK_SAMPLES);
                if (q.kind != SONK_OSC) continue;
                int32_t gl = stereo_contrib[(q.value[1] & 255)], gr = stereo_contrib[255 - (q.value[1] & 255)];
                switch (q.op) {
                case SONK_OP_ADD:
                    if (j == 0) add_buffer_split(n.out, nodes[8].out, q.out, gl, gr, SONK_TICK_SAMPLES);
                    else add_buffer(n.out, q.out, SONK_TICK_SAMPLES);
                    break;
                case SONK_OP_MUL:
                    if (j == 0) mul_buffer_split(n.out, nodes[8].out, q.out, gl, gr, q.fm_shift, SONK_TICK_SAMPLES);
                    else mul_buffer(n.out, q.out, q.fm_shift, SONK_TICK_SAMPLES);
                    break;
                case SONK_OP_XOR: xor_buffer(n.out, q.out, SONK_TICK_SAMPLES); break;
                case SONK_OP_OR: or_buffer(n.out, q.out, SONK_TICK_SAMPLES); break;
                default: break;
                }
            }
        }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool ready;
    static int16_t blocks[9][SONK_BLOCK];
    if (!ready) {
        sonk_reset();
        uint64_t rng[4] = {};
        sonk_memcpy(SONK_WAVETABLE_BASE, sonk_default_wavetable(rng), SONK_WAVETABLE_SAMPLES * 2);
        ready = true;
    }
    Bytes in{data, size};
    // The instrument sits at the top of the mirror at times, so its records
    // and envelopes run past the end.
    int64_t inst = in.u8() & 1 ? 0xFFFE00 : 0x40000;
    uint8_t rec[0x300] = {};
    for (uint8_t& b : rec) b = in.u8();
    sonk_memcpy((uint32_t)inst, rec, sizeof rec);

    SonkNodeState nodes[9] = {};
    for (int k = 0; k < 9; k++) {
        nodes[k].out = blocks[k];
        nodes[k].echo_delay0 = nodes[k].echo_level0 = -1;
        if (k < 8) memset(blocks[k], 0, sizeof blocks[k]);
    }
    sonk_load_nodes(nodes, inst);
    SonkNodeState root = {};
    for (int32_t& v : root.value) v = in.i32();
    root.ratio_num = in.i32();
    root.ratio_den = in.i32();
    SonkEnvCtx cx{inst, in.u8() & 1, in.i32(), 1 + in.u8()};
    for (int k = 0; k < 8; k++) {
        nodes[k].phase = (int64_t)in.i32() << (in.u8() & 31);
        for (int j = 0; j < 7; j++) {
            nodes[k].env_tick[j] = in.i32() & 0x7FFFFFFF;
            nodes[k].rnd[j] = (int32_t)((uint32_t)in.i32() % 65280);
            if (in.u8() & 1) retrigger_mval_env_tick(&nodes[k], j, cx);
        }
    }
    for (int t = 0; t < 3; t++) {
        auto start = std::chrono::steady_clock::now();
        tick(nodes, root, cx);
        if (std::chrono::steady_clock::now() - start > std::chrono::seconds(2)) {
            fprintf(stderr, "one tick took over 2 s\n");
            abort();
        }
        cx.note_on ^= in.u8() & 1;
        cx.ticks_off += 1;
    }
    return 0;
}
