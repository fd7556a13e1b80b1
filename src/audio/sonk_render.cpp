// The channel render tick: channel effects (fades, vibrato, tremolo,
// arpeggio) into the root values, every node's mvals, then the node tree
// rendered deepest first with the children joined into their parents.
#include <cmath>
#include <cstdio>

#include "audio/sonk_engine.h"
#include "kernel/sat.h"

static const int32_t vib_mag[16] = {16, 20, 24, 28, 32, 36, 40, 44, 48, 56, 64, 80, 96, 128, 192, 256};
static const int32_t trem_mag[16] = {16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160, 192, 224, 256};
static const int32_t vib_spd[16] = {0, 1, 2, 3, 4, 6, 8, 10, 12, 14, 16, 20, 24, 32, 48, 64};
static const int32_t fade_spd[16] = {0, 1, 2, 3, 4, 5, 6, 8, 10, 12, 16, 20, 24, 32, 48, 64};

static SonkNodeState root_node;
static int16_t node_ramp_buf[SONK_BLOCK];

static void channel_effects(SonkChannel* ch, SonkNodeState& root) {
    int32_t e = ch->effect, p = ch->param, k = ch->tick_in_row;
    int32_t S = ch->speed > 0 ? ch->speed : 16;
    bool playing = ch->playing;
    if (e != 'a' && e != 'b') ch->arp_step = ch->arp_count = 0;
    switch (e) {
    case '<':
    case '>': {
        if (!playing) break;
        int64_t g = (int64_t)ch->volume * 65536;
        int64_t h = (((p >> 4) & 15) * g) >> 4;
        int64_t m = (p & 15) ? (int64_t)ch->volume * fade_spd[p & 15] * 256 : (g - h) / S;
        int64_t level = e == '<' ? std::min(g, h + m * k) : std::max(h, g - m * k);
        root.value[0] = sonk_wrap32(level);
        if (k + 1 == S) {
            ch->volume = sonk_wrap32(level >> 16);
            ch->cur_volume = sonk_wrap32(level);
        }
        break;
    }
    case 'v':
    case 't':
    case 'w': {
        double x = sin((double)ch->vib_phase * 2 * 3.141562 / 65536);
        int d = p ? p & 15 : 6;
        int64_t xi = sat_f2i(x * 65536);
        if (e != 't') root.value[3] = sonk_wrap32((int64_t)(ch->cur_pitch & 0xFFFF) * 256 + xi * vib_mag[d] * 2);
        if (e != 'v')
            root.value[0] =
                sonk_wrap32(ch->cur_volume + ((xi >> 8) * (int64_t)(ch->cur_volume >> 8) * trem_mag[d]) / 256);
        int s = p ? (p >> 4) & 15 : 10;
        int64_t step = (s == 0 && p != 0) ? 65536 / (playing ? S : 16) : vib_spd[s] * 256;
        ch->vib_phase = sonk_wrap32((int64_t)ch->vib_phase + step);
        break;
    }
    case 'a':
    case 'b': {
        if (!playing) break;
        int32_t q = e == 'a' ? 4 : 8;
        if (S < 9) q /= 2;
        if (p != 0) {
            int64_t add = ch->arp_step == 1 ? (p >> 4) : ch->arp_step == 2 ? (p & 15) : 0;
            root.value[2] = sonk_wrap32(root.value[2] + add * 65536);
            if (++ch->arp_count >= q) {
                ch->arp_count = 0;
                ch->arp_step = (ch->arp_step + 1) % 3;
            }
        } else {
            // Pitches from the row group of four, bounded by the track.
            int64_t idx = (int64_t)(ch->row & ~3) + (ch->ticks_played / q) % 4;
            int cell = idx >= 0 && idx < ch->length ? sonk_rd8(ch->track_addr + 8 + idx) : 255;
            if (cell == 255) {
                root.value[0] = 0;
                root.value[2] = 0;
            } else {
                root.value[2] = cell << 16;
            }
        }
        break;
    }
    default: break;
    }
}

void evaluate_channel_node_parameters(SonkChannel* ch) {
    SonkNodeState& root = root_node;
    root = {};
    root.value[0] = ch->cur_volume;
    root.value[1] = sonk_wrap32((int64_t)ch->pan * 65536);
    root.value[2] = ch->cur_pitch & 0xFF0000;
    root.value[3] = sonk_wrap32((int64_t)(ch->cur_pitch & 0xFFFF) * 256);
    root.ratio_num = root.ratio_den = 1;
    channel_effects(ch, root);
    SonkEnvCtx cx = sonk_env_ctx(ch);
    SonkNodeState* ns = ch->node_state;
    for (int i = 0; i < 8; i++) {
        if (ns[i].kind == SONK_EMPTY) continue;
        // A right copy follows the parent of the node it copies.
        int src = ns[i].right_copy && ns[i].copy_of >= 0 ? ns[i].copy_of : i;
        int par = ns[src].parent;
        sonk_eval_node(ns, i, par < src ? &ns[par] : &root, cx);
    }
}

static void join_child(SonkChannel* ch, int j, SonkNodeState& q, int n) {
    SonkNodeState* ns = ch->node_state;
    int16_t* p = ns[j].out;
    if (q.kind == SONK_OSC) {
        if (j == 0 && ch->stereo) {
            int32_t pan = sonk_clamp(q.value[1] / 65536, -127, 127);
            int32_t gl = stereo_contrib[128 + pan], gr = stereo_contrib[128 - pan];
            if (q.op == SONK_OP_ADD) add_buffer_split(p, ns[STEREO_NODE_INDEX].out, q.out, gl, gr, n);
            else if (q.op == SONK_OP_MUL) mul_buffer_split(p, ns[STEREO_NODE_INDEX].out, q.out, gl, gr, q.fm_shift, n);
            return;
        }
        switch (q.op) {
        case SONK_OP_ADD: add_buffer(p, q.out, n); break;
        case SONK_OP_MUL: mul_buffer(p, q.out, q.fm_shift, n); break;
        case SONK_OP_XOR: xor_buffer(p, q.out, n); break;
        case SONK_OP_OR: or_buffer(p, q.out, n); break;
        default: break;
        }
    } else if (q.kind >= SONK_FILTER && q.kind <= SONK_GAIN) {
        SonkNodeState* copy = q.right_index > 0 && q.right_index < 8 ? &ns[q.right_index] : nullptr;
        if (copy && q.kind == SONK_FILTER && copy->kind == SONK_FILTER) {
            sonk_filter_pair(&q, p, copy, ns[STEREO_NODE_INDEX].out, n);
            return;
        }
        sonk_apply_effect(&q, p, n);
        if (copy) sonk_apply_effect(copy, ns[STEREO_NODE_INDEX].out, n);
    }
}

void render_channel_tick(SonkChannel* ch, int n) {
    SonkNodeState* ns = ch->node_state;
    if (ch->index < 0 || ch->index >= 2 * SONK_CHANNELS ||
        ns[STEREO_NODE_INDEX].out != sonk_node_block(ch->index, STEREO_NODE_INDEX)) {
        printf("\n** ASSERT failed: %s :: %s:%d in %s()\n\n",
                "chan->node_state[STEREO_NODE_INDEX].output == "
                "mixer.node_output[chan->index * SONK_MAX_CHANNEL_NODES + STEREO_NODE_INDEX]",
                "sonk", __LINE__, "render_channel_tick");
        return;
    }
    if (n > SONK_BLOCK) n = SONK_BLOCK;
    memset(ns[STEREO_NODE_INDEX].out, 0, sizeof(int16_t) * (size_t)n);
    memset(ns[0].out, 0, sizeof(int16_t) * (size_t)n);
    bool echo = false;
    for (int i = 0; i < 8; i++) echo = echo || ns[i].kind == SONK_ECHO;
    int fade = n < 64 ? n : 64;
    for (int d = 7; d >= 0; d--)
        for (int j = 0; j < 8; j++) {
            SonkNodeState& nd = ns[j];
            if (nd.depth != d) continue;
            if (echo && nd.record == ch->prev_state[j].record) {
                // Echo instruments crossfade each node from its previous tick's state.
                memcpy(node_ramp_buf, nd.out, sizeof(int16_t) * (size_t)fade);
                render_node_tick(&nd, nd.out, n);
                SonkNodeState& prev = ch->prev_state[j];
                prev.fm_in = nd.fm_in;
                render_node_tick(&prev, node_ramp_buf, fade);
                for (int i = 0; i < fade; i++) nd.out[i] = (int16_t)((nd.out[i] * i + node_ramp_buf[i] * (64 - i)) >> 6);
            } else {
                render_node_tick(&nd, nd.out, n);
            }
            if (nd.kind == SONK_OSC && nd.op == SONK_OP_FM && nd.parent < j) {
                ns[nd.parent].fm_in = nd.out;
                ns[nd.parent].fm_shift = nd.fm_shift;
            }
            for (int c = j + 1; c < 8; c++)
                if (ns[c].parent == j && !(ns[c].flags & 2)) join_child(ch, j, ns[c], n);
        }
    if (ch->note_on) {
        if (ch->ticks_on < INT32_MAX) ch->ticks_on++;
    } else if (ch->ticks_off < INT32_MAX) {
        ch->ticks_off++;
    }
    memcpy(ch->prev_state, ch->node_state, sizeof ch->prev_state);
}
