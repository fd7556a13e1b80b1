// The synthesiser's records and internal operations, shared by the engine's
// files, its tests, benchmarks and fuzz target. Everything here runs either
// on the audio thread inside sonk_mix or on the main thread under the audio
// lock; nothing reads process memory, only the engine's own mirror.
#pragma once
#include <cstdint>
#include <cstring>

constexpr int SONK_CHANNELS = 16;
constexpr int SONK_MAX_CHANNEL_NODES = 9;
constexpr int STEREO_NODE_INDEX = 8;
constexpr int SONK_BLOCK = 32768;
constexpr int SONK_TICK_SAMPLES = 367;
constexpr int SONK_SHADOW_SAMPLES = 64;
constexpr int SONK_MAX_FRAMES = 4096;
constexpr int32_t SONK_PAN_KEEP = 0x7FFFFFFF;
constexpr uint32_t SONK_RAM_SIZE = 0x1000000;
// Widest wavetable row (log2 of samples) a descriptor may name; wider rows
// could not lie inside the mirror, and the clamp keeps every shift defined.
constexpr int SONK_MAX_LOG2_WIDTH = 24;

enum SonkKind { SONK_EMPTY = 0, SONK_BUS = 1, SONK_OSC = 2, SONK_FILTER = 8, SONK_ECHO = 9, SONK_GAIN = 10 };
enum SonkOp { SONK_OP_ADD = 0, SONK_OP_FM = 1, SONK_OP_MUL = 2, SONK_OP_XOR = 3, SONK_OP_OR = 4 };

struct SonkNodeState {
    int32_t record;  // address of the node's 32-byte record
    int64_t phase;   // 16.16 samples of the wavetable row
    int64_t step;    // 16.16 per output sample
    int32_t ratio_num, ratio_den;
    int32_t value[7];  // evaluated mvals, 16.16
    int32_t env_tick[7];
    int32_t rnd[7];  // 0..65279
    int64_t env_last[7];
    uint8_t parent, op, kind, wave, flags, byte3;
    int32_t right_copy;   // 1: the right-channel copy of an effect node
    int32_t right_index;  // slot of this node's right copy, -1 none
    int32_t depth;
    int32_t fm_shift;  // -6..6
    int32_t wt_addr, wt_log2, wt_width, wt_rows;
    int64_t lp_pos, lp_vel, hp_out;
    int32_t echo_pos;
    int64_t echo_delay0, echo_level0;  // -1 = unset
    const int16_t* fm_in;
    int16_t* out;
    int32_t copy_of;  // right copies: the slot they copy (their values follow its parent)
};

struct SonkChannel {
    int32_t index;  // 0..15, shadows 16..31
    int32_t mix_volume;
    int32_t base;
    int32_t instrument, volume, pan, pitch;
    int32_t root4;
    int32_t cur_pitch, pitch_step;
    int32_t cur_volume, volume_step;
    int32_t effect, param;
    int32_t note_on, ticks_on, ticks_off;
    int32_t vib_phase, arp_step, arp_count;
    int32_t inst_flags, stereo;
    int32_t last_inst_arg;
    int32_t row_effect, row_param;
    int32_t last_gain_l, last_gain_r;
    SonkNodeState node_state[SONK_MAX_CHANNEL_NODES];
    SonkNodeState prev_state[SONK_MAX_CHANNEL_NODES];
    int32_t playing, ticks_played, row, tick_in_row, stop_row, track;
    int64_t track_addr;
    int32_t length, speed, loop0, loop1, delay, byte6, end_row;
    int32_t music_owned, pattern_ticks_left;
    int32_t samples_per_tick, tick_pos, tick_len;
    // A channel stopped mid-tick keeps the gain it had until the tick ends.
    int32_t hold_gain, last_g;
    // The current row is one the track's delay silences: nothing replays it.
    int32_t row_delayed;
};

struct SonkMixer {
    SonkChannel channel[SONK_CHANNELS];
    SonkChannel shadow[SONK_CHANNELS];
    int32_t master_volume;
    int32_t stereo_swap;
    // music state
    int32_t music_base;
    uint32_t music_mask;
    int32_t music_playing, music_pattern, pattern_length;
    int32_t fade_len, fade_tick, fade_start, fade_end, fade_volume;
    int32_t sample_remainder;
    int32_t choose_offset;  // where the channel chooser starts its search
    uint64_t rng[4];        // the engine's own generator: random mvals and starts
    int32_t last_num_samples_mixed;
    int16_t last_mixed_out[8192 * 2];
    alignas(64) uint8_t ram[SONK_RAM_SIZE];
    // Per 4 KB page of ram: 1 once anything but zeros may have been written there, so the
    // focus sync can skip pages that are known to be zero.
    uint8_t ram_page_used[SONK_RAM_SIZE / 4096];
    // Blocks c*9+k for channel c; shadows use 16*9 onwards.
    alignas(64) int16_t node_output[2 * SONK_CHANNELS * SONK_MAX_CHANNEL_NODES][SONK_BLOCK];
    alignas(64) int16_t chan_out[SONK_CHANNELS][SONK_BLOCK * 2];
};

extern SonkMixer mixer;
extern int16_t gain_tri[16384];
extern const int64_t sonk_note_dx[13];
extern const int32_t stereo_contrib[256];
extern const uint8_t mval_signed_dat[5][8];

// ---- the bounded reader: every read of the mirror goes through these
inline uint8_t sonk_rd8(int64_t a) { return (uint64_t)a < SONK_RAM_SIZE ? mixer.ram[a] : 0; }
inline uint32_t sonk_rd16(int64_t a) { return sonk_rd8(a) | (uint32_t)sonk_rd8(a + 1) << 8; }
// A wavetable row of n samples at a, or null when it does not lie wholly inside.
inline const uint8_t* sonk_row_ptr(int64_t a, int64_t n) {
    return a >= 0 && n >= 0 && a + 2 * n <= (int64_t)SONK_RAM_SIZE ? mixer.ram + a : nullptr;
}
inline int16_t sonk_ld16(const uint8_t* p) {
    int16_t v;
    memcpy(&v, p, 2);
    return v;
}

// C++20 conversion to a narrower signed type is modular: the wrap the formulas
// imply, without signed overflow.
inline int32_t sonk_wrap32(int64_t v) { return (int32_t)v; }
inline int32_t sonk_clamp(int64_t v, int32_t lo, int32_t hi) { return v < lo ? lo : v > hi ? hi : (int32_t)v; }

// ---- audio records and default data
int32_t get_env_duration(int64_t code);
uint64_t sonk_rand();  // the engine's generator
void sonk_seed(uint64_t seed);
// The default wavetables (278,528 samples from 0xF78000), computed once;
// rng is the generator that seeds and draws the noise the first time.
const int16_t* sonk_default_wavetable(uint64_t rng[4]);
constexpr uint32_t SONK_WAVETABLE_BASE = 0xF78000;
constexpr int SONK_WAVETABLE_SAMPLES = 278528;
extern const uint8_t sonk_default_instrument[64];
extern const uint8_t sonk_default_descriptors[8];

// ---- synth nodes
// What an mval evaluation needs of its channel.
struct SonkEnvCtx {
    int64_t inst;       // address of the instrument record
    int32_t note_on;
    int32_t ticks_off;  // ticks since note-off
    int32_t dflt;       // what duration code 0 stands for: the track speed, or 16
};

int64_t sonk_get_dx_for_note(int32_t pitch, int32_t fine);
int32_t evaluate_envelope(int64_t env, int32_t t, int64_t last, const SonkEnvCtx& cx);
int64_t sonk_mval_raw(SonkNodeState* n, int j, const SonkEnvCtx& cx);
int32_t eval_mval(SonkNodeState* n, int j, int32_t base, const SonkEnvCtx& cx);
void advance_mval_env_tick(SonkNodeState* n, int j, const SonkEnvCtx& cx);
void retrigger_mval_env_tick(SonkNodeState* n, int j, const SonkEnvCtx& cx);
// Loads slots 0..7 from the instrument record at inst (kinds, parents, depths,
// wavetable descriptors); values and running state are kept.
void sonk_load_nodes(SonkNodeState* nodes, int64_t inst);
// Evaluates node i's mvals against par's values, then its step.
void sonk_eval_node(SonkNodeState* nodes, int i, const SonkNodeState* par, const SonkEnvCtx& cx);

void render_node_tick_osc(SonkNodeState* n, int16_t* out, int count);
void render_node_tick(SonkNodeState* n, int16_t* out, int count);
void sonk_filter(SonkNodeState* n, int16_t* x, int count);
void sonk_filter_pair(SonkNodeState* a, int16_t* xa, SonkNodeState* b, int16_t* xb, int count);
void sonk_echo(SonkNodeState* n, int16_t* x, int count);
void sonk_gain(SonkNodeState* n, int16_t* x, int count);
// Runs an effect node (filter, echo, gain) over x in place.
void sonk_apply_effect(SonkNodeState* n, int16_t* x, int count);

void add_buffer(int16_t* p, const int16_t* q, int count);
void mul_buffer(int16_t* p, const int16_t* q, int shift, int count);
void xor_buffer(int16_t* p, const int16_t* q, int count);
void or_buffer(int16_t* p, const int16_t* q, int count);
void add_buffer_split(int16_t* l, int16_t* r, const int16_t* q, int32_t gl, int32_t gr, int count);
void mul_buffer_split(int16_t* l, int16_t* r, const int16_t* q, int32_t gl, int32_t gr, int shift, int count);

// ---- channels, notes and the track sequencer
SonkEnvCtx sonk_env_ctx(const SonkChannel* ch);
int16_t* sonk_node_block(int index, int slot);  // index 0..31 (shadows from 16)
void sonk_point_outputs(SonkChannel* ch);
void grab_node_tree(SonkChannel* ch);
void prepare_nodes_for_new_instrument(SonkChannel* ch);
void sonk_note_off(SonkChannel* ch);
// Note off, track stopped; with reset also the note state, an empty node tree
// and the effect state.
void sonk_stop_channel(SonkChannel* ch, bool reset);
void update_channel_track_tick(SonkChannel* ch);
void advance_channel_track_row(SonkChannel* ch);

// ---- render tick
void evaluate_channel_node_parameters(SonkChannel* ch);
void render_channel_tick(SonkChannel* ch, int n);

// ---- music
void advance_pattern();
void sonk_update_fade_tick();
int get_leftmost_nonlooping_channel();

// ---- mixer
int mix_channel(int c, int n, int pos);
