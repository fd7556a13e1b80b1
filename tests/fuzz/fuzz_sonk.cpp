// Renders arbitrary instrument records, envelopes, descriptors and node values
// through every node kind and join, and drives the whole engine (notes,
// tracks, music, control bytes, hostile arguments) through sonk_mix: no
// fault, no undefined behaviour, and each tick's or mix's work stays bounded.
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "audio/sonk.h"
#include "audio/sonk_engine.h"
#include "fuzz_bytes.h"

namespace {

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

void check_time(std::chrono::steady_clock::time_point start, const char* what) {
    if (std::chrono::steady_clock::now() - start > std::chrono::seconds(2)) {
        fprintf(stderr, "%s took over 2 s\n", what);
        abort();
    }
}

int32_t hostile(FuzzBytes& in) {
    static const int32_t edges[] = {INT32_MIN, -65536, -256, -5, -4, -3, -2, -1, 0, 1, 15, 16, 255, 256, INT32_MAX};
    uint8_t k = in.u8();
    if (k < 15 * 8) return edges[k % 15];
    return k < 200 ? (int32_t)(k - 150) : in.i32();
}

// Audio memory from the input, then a run of engine operations.
void engine(FuzzBytes& in) {
    static bool ready;
    if (!ready) {
        sonk_reset();
        uint64_t rng[4] = {};
        sonk_memcpy(SONK_WAVETABLE_BASE, sonk_default_wavetable(rng), SONK_WAVETABLE_SAMPLES * 2);
        ready = true;
    }
    sonk_kill_all_audio();
    // Instruments 0..3 and tracks 0..3 at 0x30000, patterns, control bytes.
    uint8_t buf[0x800];
    for (uint8_t& b : buf) b = in.u8();
    sonk_memcpy(0x40000, buf, sizeof buf);
    for (uint8_t& b : buf) b = in.u8();
    sonk_memcpy(0x50000, buf, sizeof buf);
    for (int i = 0; i < 80; i++) buf[i] = in.u8();
    sonk_memcpy(0x30100, buf, 80);
    for (int i = 0; i < 6; i++) buf[i] = in.u8();
    sonk_memcpy(0x5538, buf, 6);
    uint8_t zero = 0;
    sonk_memcpy(0x547F, &zero, 1);
    sonk_set_volume(hostile(in));
    static int16_t out[9000 * 2];
    for (int op = 0; op < 64 && in.n; op++) {
        auto start = std::chrono::steady_clock::now();
        switch (in.u8() % 8) {
        case 0: {
            int32_t c = hostile(in);
            sonk_set_channel_mix_vol(c, hostile(in));
            sonk_set_channel_base_addr(c, in.u8() & 1 ? 0x30000 : hostile(in));
            sonk_set_note(c, hostile(in), in.u8() % 6, hostile(in), "svtw<>abcdrp+-f12345\377"[in.u8() % 21],
                          hostile(in), in.u8() & 1, hostile(in));
            break;
        }
        case 1:
            sonk_play_track(in.u8() & 1 ? in.u8() % 6 : hostile(in), hostile(in), hostile(in), hostile(in),
                            in.u8() & 1, hostile(in), hostile(in), in.u8() & 1 ? 0x30000 : hostile(in));
            break;
        case 2:
            sonk_play_music(in.u8() & 1 ? in.u8() % 4 : hostile(in), hostile(in), hostile(in),
                            in.u8() & 1 ? 0x30000 : hostile(in));
            break;
        case 3: sonk_fade_out_music(hostile(in)); break;
        case 4: sonk_kill_all_audio(); break;
        case 5: {
            uint8_t b = in.u8();
            sonk_memcpy(0x547F, &b, 1);  // pause and mute
            sonk_set_stereo_swap(b & 1);
            break;
        }
        case 6: {
            uint8_t v[16];
            for (uint8_t& b : v) b = in.u8();
            sonk_memcpy(0x40000 + 16 * in.u8(), v, 16);  // records change between ticks
            break;
        }
        default: {
            int frames = 1 + (in.u8() | in.u8() << 8) % 9000;
            sonk_mix(out, frames);
            for (int c = -1; c < 17; c++)
                for (int code = -1; code < 29; code++) {
                    static int16_t dst[SONK_BLOCK * 2];
                    sonk_get_channel_state(c, code, dst);
                }
            sonk_get_music_state(0);
            sonk_get_music_state(1);
            break;
        }
        }
        check_time(start, "one engine operation");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static bool ready;
    static int16_t blocks[9][SONK_BLOCK];
    FuzzBytes in{data, size};
    if (in.u8() & 1) {
        engine(in);
        ready = false;
        return 0;
    }
    if (!ready) {
        sonk_reset();
        uint64_t rng[4] = {};
        sonk_memcpy(SONK_WAVETABLE_BASE, sonk_default_wavetable(rng), SONK_WAVETABLE_SAMPLES * 2);
        ready = true;
    }
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
    SonkEnvCtx cx{inst, in.u8() & 1, in.i32() & 0xFFFFFF, 1 + in.u8()};
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
        check_time(start, "one tick");
        cx.note_on ^= in.u8() & 1;
        cx.ticks_off += 1;
    }
    return 0;
}
