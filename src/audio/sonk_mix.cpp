// The mixer: sonk_mix, called by the audio device's callback, advances every
// channel tick by tick, keeps music channels in step at pattern boundaries,
// sums the channels and applies the master settings. It reads only the
// engine's mirror and its own record; it never allocates or locks.
#include <initializer_list>

#include "audio/sonk.h"
#include "audio/sonk_engine.h"

static bool sonk_inited;
static int32_t out32[SONK_MAX_FRAMES * 2];

// The mixer is static storage, zero from the start: only the tables and the
// indexes need setting, so its 37 MB are touched only as they are used.
static void sonk_setup() {
    for (int c = 0; c < SONK_CHANNELS; c++) {
        mixer.channel[c].index = c;
        mixer.shadow[c].index = c + SONK_CHANNELS;
        sonk_point_outputs(&mixer.channel[c]);
        sonk_point_outputs(&mixer.shadow[c]);
    }
    for (int i = 0; i < 16384; i++) gain_tri[i] = (int16_t)(i < 8192 ? 32767 - 4 * i : 4 * (i - 8192));
    sonk_seed(0x50E7A11D);
}

void sonk_init() {
    if (sonk_inited) return;
    sonk_inited = true;
    sonk_setup();
}

void sonk_reset() {
    memset(&mixer, 0, sizeof mixer);
    sonk_setup();
    sonk_inited = true;
}

int sonk_set_volume(int v) {
    mixer.master_volume = v < 0 ? 0 : v > 256 ? 256 : v;
    return v < 256 ? v : 256;
}

void sonk_set_stereo_swap(int on) { mixer.stereo_swap = on; }

void sonk_kill_all_audio() {
    for (SonkChannel& ch : mixer.channel) sonk_stop_channel(&ch, true);
    sonk_stop_music();
}

static int64_t channel_gain(const SonkChannel* ch) {
    int64_t g = ((int64_t)mixer.ram[0x5538] * ch->mix_volume) >> 4;
    if (ch->music_owned) g = g * mixer.ram[0x5539] * mixer.fade_volume / 0x4000;
    return g;
}

// The shadow's 64-sample echo reads only these line positions (it writes its
// own input first): copying them is the same as copying the whole line.
static void copy_echo_reads(const SonkNodeState& e, int16_t* dst) {
    const int W = SONK_BLOCK - 1;
    int64_t D = e.value[0], D0 = e.echo_delay0 == -1 ? D : e.echo_delay0;
    int64_t r = ((int64_t)(e.echo_pos & W) * 65536 - D0 * 126) & 0x7FFFFFFE;
    int64_t step = 65536 - (126 * D - 126 * D0) / SONK_SHADOW_SAMPLES;
    for (int i = 0; i < SONK_SHADOW_SAMPLES; i++) {
        dst[r >> 16] = e.out[r >> 16];
        r = (r + step) & 0x7FFFFFFF;
    }
}

// The shadow takes the channel's state at its tick boundary, with its own
// blocks: echo lines copied, FM inputs moved onto the shadow's blocks.
static void copy_to_shadow(int c) {
    SonkChannel* ch = &mixer.channel[c];
    SonkChannel* sh = &mixer.shadow[c];
    *sh = *ch;
    sh->index = c + SONK_CHANNELS;
    sonk_point_outputs(sh);
    const int16_t* first = sonk_node_block(c, 0);
    const int16_t* last = sonk_node_block(c, SONK_MAX_CHANNEL_NODES - 1) + SONK_BLOCK;
    for (int k = 0; k < SONK_MAX_CHANNEL_NODES; k++) {
        for (SonkNodeState* n : {&sh->node_state[k], &sh->prev_state[k]}) {
            if (n->fm_in >= first && n->fm_in < last) n->fm_in = sonk_node_block(sh->index, 0) + (n->fm_in - first);
            n->out = sonk_node_block(sh->index, k);
        }
        if (ch->node_state[k].kind == SONK_ECHO) copy_echo_reads(ch->node_state[k], sonk_node_block(sh->index, k));
    }
}

static inline int16_t scaled(int64_t prod, int64_t div, int64_t lo, int64_t hi, bool clamp) {
    if (clamp) {
        if (prod < lo) return -32767;
        if (prod >= hi) return 32767;
    }
    return (int16_t)(prod / div);
}

int mix_channel(int c, int n, int pos) {
    SonkChannel* ch = &mixer.channel[c];
    sonk_point_outputs(ch);
    if (ch->samples_per_tick <= 0 || ch->samples_per_tick > SONK_BLOCK) ch->samples_per_tick = SONK_TICK_SAMPLES;
    int64_t g = ch->hold_gain ? ch->last_g : channel_gain(ch);
    ch->last_g = (int32_t)g;
    int16_t* out = mixer.chan_out[c] + 2 * pos;
    int produced = 0;
    while (produced < n) {
        if (ch->tick_pos >= ch->tick_len) {
            if (ch->music_owned) {
                if (ch->pattern_ticks_left < 1) return produced;
                ch->pattern_ticks_left--;
            }
            // A gain held since a stop mid-tick gives way here; the shadow's
            // fade-out below keeps the held level.
            int64_t held = g;
            bool was_held = ch->hold_gain;
            if (was_held) {
                ch->hold_gain = 0;
                g = channel_gain(ch);
                ch->last_g = (int32_t)g;
            }
            update_channel_track_tick(ch);
            evaluate_channel_node_parameters(ch);
            render_channel_tick(ch, ch->samples_per_tick);
            advance_channel_track_row(ch);
            // The shadow continues the previous tick's sound for 64 samples.
            SonkChannel* sh = &mixer.shadow[c];
            render_channel_tick(sh, SONK_SHADOW_SAMPLES);
            int fade = ch->samples_per_tick < SONK_SHADOW_SAMPLES ? ch->samples_per_tick : SONK_SHADOW_SAMPLES;
            for (int k : {0, STEREO_NODE_INDEX}) {
                if (k == STEREO_NODE_INDEX && !ch->stereo) break;
                int16_t* now = ch->node_state[k].out;
                const int16_t* old = sh->node_state[k].out;
                for (int i = 0; i < fade; i++) {
                    int64_t o = old[i];
                    if (was_held && held != g) o = g > 0 ? o * held / g : 0;
                    now[i] = (int16_t)sonk_clamp((o * (64 - i) + now[i] * i) >> 6, -32768, 32767);
                }
            }
            ch->tick_pos = 0;
            ch->tick_len = ch->samples_per_tick;
            copy_to_shadow(c);
        }
        int m = ch->tick_len - ch->tick_pos;
        if (m > n - produced) m = n - produced;
        const int16_t* left = ch->node_state[0].out + ch->tick_pos;
        bool big = g > 256;
        if (ch->stereo) {
            const int16_t* right = ch->node_state[STEREO_NODE_INDEX].out + ch->tick_pos;
            for (int i = 0; i < m; i++) {
                out[2 * i] = scaled(g * left[i], 256, -0x7FFFFF, 0x800000, big);
                out[2 * i + 1] = scaled(g * right[i], 256, -0x7FFFFF, 0x800000, big);
            }
        } else {
            int32_t pan = sonk_clamp(ch->node_state[0].value[1] / 65536, -127, 127);
            int32_t nl = stereo_contrib[128 + pan], nr = stereo_contrib[128 - pan];
            // 16.16 gains ramp from the last pan gains, the first frame at the old gain.
            int64_t l0 = (g * ch->last_gain_l / 256) * 65536, r0 = (g * ch->last_gain_r / 256) * 65536;
            int64_t dl = ((g * nl / 256) * 65536 - l0) / m, dr = ((g * nr / 256) * 65536 - r0) / m;
            for (int i = 0; i < m; i++) {
                int64_t gl = (l0 + dl * i) >> 16, gr = (r0 + dr * i) >> 16;
                out[2 * i] = scaled(left[i] * gl, 4096, -0x7FFFFFF, 0x8000000, big);
                out[2 * i + 1] = scaled(left[i] * gr, 4096, -0x7FFFFFF, 0x8000000, big);
            }
            ch->last_gain_l = nl;
            ch->last_gain_r = nr;
        }
        out += 2 * m;
        ch->tick_pos += m;
        produced += m;
    }
    return produced;
}

static void mix_block(int16_t* out, int n) {
    size_t bytes = sizeof(int16_t) * 2 * (size_t)n;
    if (mixer.ram[0x547F] & 4) {  // pause: nothing advances, the frame count included
        memset(out, 0, bytes);
        memset(mixer.last_mixed_out, 0, bytes);
        return;
    }
    mixer.last_num_samples_mixed = n;
    int32_t r = mixer.sample_remainder + n;
    for (; r >= SONK_TICK_SAMPLES; r -= SONK_TICK_SAMPLES) sonk_update_fade_tick();
    mixer.sample_remainder = r;

    int pos[SONK_CHANNELS] = {};
    bool done = false;
    for (int pass = 0; pass < 1024 && !done; pass++) {
        int w = n;
        bool stopped = false;
        // Music channels first, so the others stop where a pattern ends.
        for (int music = 1; music >= 0; music--)
            for (int c = 0; c < SONK_CHANNELS; c++) {
                if ((mixer.channel[c].music_owned != 0) != (music != 0)) continue;
                int ask = n - pos[c] < w ? n - pos[c] : w;
                if (ask <= 0) continue;
                int got = mix_channel(c, ask, pos[c]);
                pos[c] += got;
                if (got < ask) {
                    w = w < got ? w : got;
                    stopped = true;
                }
            }
        if (stopped) advance_pattern();
        else done = true;
    }
    for (int c = 0; c < SONK_CHANNELS; c++)
        if (pos[c] < n) memset(mixer.chan_out[c] + 2 * pos[c], 0, sizeof(int16_t) * 2 * (size_t)(n - pos[c]));

    if ((mixer.ram[0x547F] & 8) || mixer.master_volume == 0) {  // mute: everything ran on
        memset(out, 0, bytes);
        memset(mixer.last_mixed_out, 0, bytes);
        return;
    }
    memset(out32, 0, sizeof(int32_t) * 2 * (size_t)n);
    for (int c = 0; c < SONK_CHANNELS; c++) {
        const int16_t* s = mixer.chan_out[c];
        for (int i = 0; i < 2 * n; i++) out32[i] += s[i];
    }
    int sw = mixer.stereo_swap ? 1 : 0;
    for (int i = 0; i < n; i++) {
        int32_t l = out32[2 * i + sw], rr = out32[2 * i + 1 - sw];
        out[2 * i] = (int16_t)(l < -32767 ? -32767 : l > 32767 ? 32767 : l);
        out[2 * i + 1] = (int16_t)(rr < -32767 ? -32767 : rr > 32767 ? 32767 : rr);
    }
    memcpy(mixer.last_mixed_out, out, bytes);
}

void sonk_mix(int16_t* out, int frames) {
    while (frames > 0) {
        int n = frames < SONK_MAX_FRAMES ? frames : SONK_MAX_FRAMES;
        mix_block(out, n);
        out += 2 * n;
        frames -= n;
    }
}

int32_t sonk_get_active_channels() {
    int32_t mask = 0;
    for (int c = 0; c < SONK_CHANNELS; c++)
        if (mixer.channel[c].playing) mask |= 1 << c;
    return mask;
}

int64_t sonk_get_channel_state(int c, int code, void* dst) {
    if (c == -1 && code == -1) {
        int32_t n = mixer.last_num_samples_mixed;
        if (dst) memcpy(dst, mixer.last_mixed_out, sizeof(int16_t) * 2 * (size_t)n);
        return n;
    }
    if (c < 0 || c >= SONK_CHANNELS) return -1;
    const SonkChannel& ch = mixer.channel[c];
    if (code == 0) return ch.note_on;
    if (code >= 1 && code <= 15 && !ch.playing && ch.instrument == 255) return -1;
    int32_t spt = sonk_clamp(ch.samples_per_tick, 0, SONK_BLOCK);
    switch (code) {
    case 1: return ch.instrument;
    case 2: return ch.volume;
    case 3: return ch.pan;
    case 4: return ch.pitch;
    case 5: return ch.root4;
    case 6: return ch.effect;
    case 7: return ch.param;
    case 8: return ch.samples_per_tick;
    case 9: return ch.row;
    case 10: return ch.tick_in_row;
    case 11: return ch.ticks_played;
    case 12: return ch.playing ? ch.track : -1;
    case 13: return ch.track;
    case 14: return ch.mix_volume;
    case 15: return ch.base;
    case 19:
        if (dst) memcpy(dst, mixer.chan_out[c], sizeof(int16_t) * 2 * (size_t)spt);
        return spt;
    default:
        if (code >= 20 && code <= 27) {
            if (!dst) return -1;
            memcpy(dst, sonk_node_block(c, code - 20), sizeof(int16_t) * (size_t)spt);
            return spt;
        }
        return -1;
    }
}
