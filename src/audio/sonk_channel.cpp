// Channels: notes, the node tree loaded from the instrument every tick,
// starting tracks, the channel chooser and the per-tick track sequencer.
#include "audio/sonk.h"
#include "audio/sonk_engine.h"
#include "kernel/sat.h"

int16_t* sonk_node_block(int index, int slot) { return mixer.node_output[index * SONK_MAX_CHANNEL_NODES + slot]; }

void sonk_point_outputs(SonkChannel* ch) {
    for (int k = 0; k < SONK_MAX_CHANNEL_NODES; k++) ch->node_state[k].out = sonk_node_block(ch->index, k);
}

SonkEnvCtx sonk_env_ctx(const SonkChannel* ch) {
    int32_t unit = ch->playing && ch->speed > 0 ? ch->speed : 16;
    return {(int64_t)ch->base + 0x10000 + (int64_t)ch->instrument * 512, ch->note_on, ch->ticks_off, unit};
}

static void reset_note_state(SonkChannel* ch) {
    ch->instrument = 255;
    ch->volume = 0;
    ch->pan = 0;
    ch->pitch = 48;
    ch->root4 = 0;
    ch->cur_pitch = 48 << 16;
    ch->cur_volume = 0;
    ch->note_on = 0;
    ch->last_inst_arg = 255;
}

void grab_node_tree(SonkChannel* ch) {
    SonkNodeState* ns = ch->node_state;
    if (ch->instrument == 255) {
        for (int i = 0; i < 8; i++) ns[i].kind = SONK_EMPTY;
        return;
    }
    int64_t inst = (int64_t)ch->base + 0x10000 + (int64_t)ch->instrument * 512;
    ch->inst_flags = sonk_rd8(inst + 0x1DF);
    ch->stereo = (ch->inst_flags >> 1) & 1;
    sonk_load_nodes(ns, inst);
    ns[STEREO_NODE_INDEX] = {};
    ns[STEREO_NODE_INDEX].right_index = ns[STEREO_NODE_INDEX].copy_of = -1;
    sonk_point_outputs(ch);
    if (!ch->stereo) return;
    // Each top effect node gets a right-channel copy in the next empty slot.
    for (int i = 0; i < 7; i++) {
        SonkNodeState& n = ns[i];
        if (n.depth != 1 || n.kind <= 7 || n.right_copy) continue;
        for (int k = i + 1; k < 8; k++) {
            if (ns[k].kind != SONK_EMPTY) continue;
            SonkNodeState& c = ns[k];
            SonkNodeState own = c;
            c = n;
            c.lp_pos = own.lp_pos;
            c.lp_vel = own.lp_vel;
            c.hp_out = own.hp_out;
            c.echo_pos = own.echo_pos;
            c.echo_delay0 = own.echo_delay0;
            c.echo_level0 = own.echo_level0;
            c.fm_in = own.fm_in;
            c.out = own.out;
            c.right_copy = 1;
            c.right_index = -1;
            c.parent = STEREO_NODE_INDEX;
            c.copy_of = i;
            n.right_index = k;
            break;
        }
    }
}

void prepare_nodes_for_new_instrument(SonkChannel* ch) {
    for (int k = 0; k < SONK_MAX_CHANNEL_NODES; k++) {
        SonkNodeState& n = ch->node_state[k];
        n.echo_delay0 = n.echo_level0 = -1;
        if (n.kind == SONK_ECHO) {
            memset(sonk_node_block(ch->index, k), 0, sizeof(int16_t) * SONK_BLOCK);
            n.echo_pos = 0;
        }
    }
}

void sonk_note_off(SonkChannel* ch) {
    if (ch->index < SONK_CHANNELS) sonk_set_note(ch->index, 255, 255, 255, 255, 0, 0, SONK_PAN_KEEP);
}

void sonk_stop_channel(SonkChannel* ch, bool reset) {
    sonk_note_off(ch);
    ch->playing = 0;
    // Stopped between tick boundaries: the rest of the tick keeps its gain.
    ch->hold_gain = 1;
    if (!reset) return;
    reset_note_state(ch);
    grab_node_tree(ch);
    prepare_nodes_for_new_instrument(ch);
}

static void retrigger(SonkChannel* ch) {
    ch->root4 = 0;
    ch->vib_phase = 0;
    SonkEnvCtx cx = sonk_env_ctx(ch);
    for (int i = 0; i < 8; i++) {
        SonkNodeState& n = ch->node_state[i];
        if (!(n.flags & 8)) n.phase = 0;
        for (int j = 0; j < 7; j++) retrigger_mval_env_tick(&n, j, cx);
    }
}

static int32_t effect_letter(int32_t e) {
    switch (e) {
    case '1': return 's';
    case '2': return 'v';
    case '3': return '-';
    case '4': return '<';
    case '5': return '>';
    default: return e;
    }
}

void sonk_set_note(int32_t c, int32_t pitch, int32_t inst, int32_t vol, int32_t effect, int32_t param, int32_t retrig,
                   int32_t pan) {
    if (c == -1) {
        for (SonkChannel& ch : mixer.channel) sonk_stop_channel(&ch, true);
        sonk_stop_music();
        return;
    }
    if (c < 0 || c >= SONK_CHANNELS) return;
    SonkChannel* ch = &mixer.channel[c];
    ch->samples_per_tick = SONK_TICK_SAMPLES;
    if (inst > 255 || inst < 0) {
        sonk_stop_channel(ch, true);
        return;
    }
    int32_t old_inst = ch->instrument, old_pitch = ch->pitch, old_on = ch->note_on;
    ch->last_inst_arg = inst;
    if (pitch != 255) ch->pitch = pitch;
    if (inst != 255) ch->instrument = inst;
    if (vol != 255) ch->volume = vol;
    if (effect != 255) {
        ch->effect = effect_letter(effect);
        ch->param = param;
    }
    ch->note_on = pitch != 255;
    if (!ch->note_on && old_on) ch->ticks_off = 0;
    if (ch->note_on && !old_on) ch->ticks_on = 0;
    if (ch->instrument != old_inst) {
        grab_node_tree(ch);
        prepare_nodes_for_new_instrument(ch);
    }
    int32_t target_pitch = sonk_wrap32((int64_t)ch->pitch * 65536);
    int32_t target_vol = sonk_wrap32((int64_t)ch->volume * 65536);
    if (!ch->playing) {
        ch->cur_pitch = target_pitch;
        ch->cur_volume = target_vol;
    } else if (ch->tick_in_row == 0) {
        if (ch->effect != 's') ch->cur_pitch = target_pitch;
        if (ch->effect != 's' && ch->effect != 'f') ch->cur_volume = target_vol;
    }
    // "Silent" reads as: no note was on.
    bool again = !old_on || (ch->pitch != old_pitch && ch->effect != 's' && inst != 255) ||
                 ch->instrument != old_inst || ((ch->inst_flags & 1) && inst != 255) || retrig || ch->effect == 'r';
    if (ch->note_on && again) retrigger(ch);
    if (pan != SONK_PAN_KEEP) ch->pan = sonk_clamp(pan, -127, 127);
    if (ch->effect == 'p') ch->pan = sonk_wrap32((int64_t)ch->param - 128);
}

void sonk_set_channel_mix_vol(int32_t c, int32_t v) {
    if (c >= 0 && c < SONK_CHANNELS) mixer.channel[c].mix_volume = sonk_clamp(v, 0, 255);
}

void sonk_set_channel_base_addr(int32_t c, int32_t a) {
    if (c >= 0 && c < SONK_CHANNELS) mixer.channel[c].base = sonk_clamp(a, 0, 0xF00000);
}

static bool in_music_mask(int c) { return c < 32 && ((mixer.music_mask >> c) & 1); }

static int32_t choose_channel(int32_t track) {
    int o = mixer.choose_offset;
    mixer.choose_offset = (o + 1) & 15;
    for (int k = 1; k <= 16; k++) {
        const SonkChannel& ch = mixer.channel[(o + k) & 15];
        if (!ch.music_owned && ch.playing && ch.track == track) return (o + k) & 15;
    }
    for (int k = 1; k <= 8; k++) {
        int c = 8 + ((o + k) & 7);
        if (!in_music_mask(c) && !mixer.channel[c].playing) return c;
    }
    if (!in_music_mask((o + 1) & 15)) return (o + 1) & 15;
    for (int k = 0; k < 15; k++)
        if (!in_music_mask((o - k) & 15)) return (o - k) & 15;
    return -1;
}

int32_t sonk_play_track(int32_t track, int32_t c, int32_t offset, int32_t length, int32_t keep_state, int32_t pan,
                        int32_t mix_volume, int32_t base) {
    if (track < 0) {
        int lo = c < 0 ? 0 : c > 15 ? 15 : c, hi = c < 0 ? 15 : lo;
        for (int k = lo; k <= hi; k++) {
            SonkChannel* ch = &mixer.channel[k];
            switch (track) {
            case -1: sonk_stop_channel(ch, false); break;
            case -2: sonk_stop_channel(ch, true); break;
            case -3: ch->loop1 = 0; break;
            case -4: ch->mix_volume = sonk_clamp(offset, 0, 255); break;
            default: break;
            }
        }
        return -1;
    }
    if (c < 0) c = choose_channel(track);
    if (c < 0 || c >= SONK_CHANNELS) return -1;
    SonkChannel* ch = &mixer.channel[c];
    if (!keep_state) reset_note_state(ch);
    base = sonk_clamp(base, 0, 0xF00000);
    int64_t t = (int64_t)base + 0x20000 + (int64_t)track * 328;
    ch->playing = 1;
    ch->track = track;
    ch->base = base;
    ch->track_addr = t;
    ch->length = (int32_t)sonk_rd16(t);
    if (!ch->length) ch->length = 1;
    ch->speed = sonk_rd8(t + 2) ? sonk_rd8(t + 2) : 16;
    ch->loop0 = sonk_rd8(t + 3);
    ch->loop1 = sonk_rd8(t + 4);
    ch->delay = sonk_rd8(t + 5);
    ch->byte6 = sonk_rd8(t + 6);
    ch->row = offset;
    ch->tick_in_row = 0;
    ch->ticks_played = 0;
    ch->stop_row = length ? sat_i32((int64_t)offset + length) : 0;
    ch->end_row = ch->loop0 != 0 && ch->loop0 >= ch->loop1 && ch->loop0 <= ch->length ? ch->loop0 : ch->length;
    if (pan != SONK_PAN_KEEP) ch->pan = sonk_clamp(pan, -128, 127);
    ch->mix_volume = sonk_clamp(mix_volume, 0, 255);
    return c;
}

// The five columns of the current row (255 = empty).
static void play_row(SonkChannel* ch, bool again) {
    int64_t at = ch->track_addr + 8 + ch->row, len = ch->length;
    sonk_set_note(ch->index, sonk_rd8(at), sonk_rd8(at + len), sonk_rd8(at + 2 * len), sonk_rd8(at + 3 * len),
                  sonk_rd8(at + 4 * len), again, SONK_PAN_KEEP);
}

// Moves cur toward target by |step| without passing it.
static int32_t approach(int64_t cur, int64_t target, int64_t step) {
    if (step < 0) step = -step;
    if (cur < target) return sonk_wrap32(cur + step < target ? cur + step : target);
    if (cur > target) return sonk_wrap32(cur - step > target ? cur - step : target);
    return sonk_wrap32(cur);
}

void update_channel_track_tick(SonkChannel* ch) {
    grab_node_tree(ch);
    if (!ch->playing) return;
    int32_t k = ch->tick_in_row;
    if (k == 0) {
        ch->row_delayed = ch->delay > 0;
        if (ch->row_delayed) {
            ch->delay--;
        } else if (ch->row < 0 || ch->row >= ch->end_row) {
            sonk_note_off(ch);
            ch->row_effect = ch->row_param = 0;
            if (ch->row >= ch->end_row && ch->loop0 >= ch->loop1) {
                // The track has ended: no per-tick effects on this tick.
                ch->playing = 0;
                return;
            }
        } else {
            int64_t at = ch->track_addr + 8 + ch->row;
            ch->row_effect = sonk_rd8(at + 3 * (int64_t)ch->length);
            ch->row_param = sonk_rd8(at + 4 * (int64_t)ch->length);
            if (!(ch->row_effect == 'd' && ch->row_param != 0)) play_row(ch, false);
        }
    } else if (!ch->row_delayed && ch->row >= 0 && ch->row < ch->end_row &&
               ((ch->row_effect == 'd' && k == ch->row_param) ||
                (ch->effect == 'r' && ch->param > 0 && k % ch->param == 0))) {
        play_row(ch, true);
    }

    int32_t e = ch->effect, p = ch->param;
    int64_t tp = (int64_t)ch->pitch * 65536, tv = (int64_t)ch->volume * 65536;
    int64_t cp = ch->cur_pitch, cv = ch->cur_volume;
    if (e == 'c' && k == p) {
        ch->instrument = 255;
        grab_node_tree(ch);
        return;
    }
    if (k == 0 && (e == 's' || e == 'f')) {
        int64_t ps, vs;
        if (p != 0) {
            ps = vs = (int64_t)get_env_duration(p) * 256;
            if (tp < cp) ps = -ps;
            if (tv < cv) vs = -vs;
        } else {
            ps = (tp - cp) / ch->speed;
            vs = (tv - cv) / ch->speed;
        }
        ch->pitch_step = sonk_wrap32(ps);
        ch->volume_step = sonk_wrap32(vs);
    }
    switch (e) {
    case '+': {
        int64_t v = cp + (int64_t)get_env_duration(p ? p : 16) * 128;
        ch->cur_pitch = sonk_wrap32(v > 0xFFFFFF ? 0xFFFFFF : v);
        ch->cur_volume = sonk_wrap32(tv);
        break;
    }
    case '-': {
        int64_t v = cp - (int64_t)get_env_duration(p ? p : 240) * 128;
        ch->cur_pitch = sonk_wrap32(v < 0 ? 0 : v);
        ch->cur_volume = sonk_wrap32(tv);
        break;
    }
    case 's':
        ch->cur_pitch = approach(cp, tp, ch->pitch_step);
        ch->cur_volume = approach(cv, tv, ch->volume_step);
        break;
    case 'f':
        ch->cur_pitch = sonk_wrap32(tp);
        ch->cur_volume = approach(cv, tv, ch->volume_step);
        break;
    default:
        ch->cur_pitch = sonk_wrap32(tp);
        ch->cur_volume = sonk_wrap32(tv);
        break;
    }
}

void advance_channel_track_row(SonkChannel* ch) {
    if (!ch->playing) return;
    ch->tick_in_row++;
    if (ch->ticks_played < INT32_MAX) ch->ticks_played++;
    if (ch->tick_in_row < ch->speed) return;
    ch->row = sat_add_i32(ch->row, 1);
    if (ch->stop_row != 0 && ch->row == ch->stop_row) {
        sonk_note_off(ch);
        ch->playing = 0;
    }
    if (ch->row >= ch->loop1 && ch->loop0 < ch->loop1) ch->row = ch->loop0;
    ch->tick_in_row = 0;
}
