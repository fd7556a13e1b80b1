// Synth nodes: the documented examples and the hostile records the engine
// must survive.
#include <gtest/gtest.h>

#include <cmath>

#include "audio/sonk.h"
#include "audio/sonk_engine.h"

namespace {

class Nodes : public ::testing::Test {
protected:
    void SetUp() override { sonk_reset(); }
    // Writes bytes into the mirror.
    static void put(int64_t a, std::initializer_list<int> bytes) {
        for (int b : bytes) {
            uint8_t v = (uint8_t)b;
            sonk_memcpy((uint32_t)a++, &v, 1);
        }
    }
};

constexpr int64_t INST = 0x40000;
const SonkEnvCtx ON{INST, 1, 0, 16};

TEST_F(Nodes, DurationCodeExamples) {
    const int cases[][2] = {{0, 0}, {15, 15}, {31, 46}, {63, 172}, {127, 680}, {240, 2480}, {255, 2720}};
    for (auto& c : cases) EXPECT_EQ(get_env_duration(c[0]), c[1]) << c[0];
}

TEST_F(Nodes, AllZeroAdsrIsOneTickAtTheTop) {
    // envelope 0 of the instrument: type 0 and every code 0
    EXPECT_EQ(evaluate_envelope(INST + 0x100, 0, 0, ON), 65280);
    EXPECT_EQ(evaluate_envelope(INST + 0x100, 1, 0, ON), 0);
    EXPECT_EQ(evaluate_envelope(INST + 0x100, 500, 0, ON), 0);
}

TEST_F(Nodes, StepDataPastStep15ReadsZero) {
    // step data, interpolated, unit 1 tick, every step 200
    put(0x2000, {2, 1, 1});
    for (int i = 0; i < 16; i++) put(0x2008 + i, {200});
    EXPECT_EQ(evaluate_envelope(0x2000, 15, 0, ON), 200 * 256);
    EXPECT_EQ(evaluate_envelope(0x2000, 16, 0, ON), 0);
    EXPECT_EQ(evaluate_envelope(0x2000, 40, 0, ON), 0);
}

double hz(int64_t step, int width) { return step * 44100.0 / 65536.0 / width; }

TEST_F(Nodes, PitchSteps) {
    EXPECT_NEAR(hz(sonk_get_dx_for_note(48 << 16, 0), 1024), 261.6, 0.2);
    EXPECT_NEAR(hz(sonk_get_dx_for_note(57 << 16, 0), 1024), 440.0, 0.01);
    EXPECT_NEAR(hz(sonk_get_dx_for_note(69 << 16, 0), 1024), 880.0, 0.02);
    // A fine pitch just below a whole semitone stays within the lower one.
    int64_t b = sonk_get_dx_for_note(59 << 16, 0), c = sonk_get_dx_for_note(60 << 16, 0);
    int64_t below = sonk_get_dx_for_note((59 << 16) | 0xFFFF, 255);
    EXPECT_GT(below, b);
    EXPECT_LT(below, c);
    // Far below the lowest octave there is no step; far above it is capped.
    EXPECT_EQ(sonk_get_dx_for_note(-300 << 16, 0), 0);
    EXPECT_GT(sonk_get_dx_for_note(INT32_MAX, INT32_MAX), 0);
    EXPECT_EQ(sonk_get_dx_for_note(30000 << 16, 0), sonk_get_dx_for_note(30012 << 16, 0));
}

// An mval's bytes (flags, A, B, byte 3) on node 0 of a bus, against a base.
int32_t mval(std::initializer_list<int> bytes, int32_t base, int kind = SONK_BUS, int j = 0) {
    SonkNodeState n = {};
    n.record = (int32_t)INST;
    n.kind = (uint8_t)kind;
    int64_t a = INST + 4 + 4 * j;
    for (int b : bytes) {
        uint8_t v = (uint8_t)b;
        sonk_memcpy((uint32_t)a++, &v, 1);
    }
    return eval_mval(&n, j, base, ON);
}

TEST_F(Nodes, MvalModes) {
    const int32_t base = 5 << 16;
    struct {
        std::initializer_list<int> bytes;
        int32_t want;
    } cases[] = {
        {{0, 7, 0, 0}, 7 << 16},             // absolute
        {{3, 7, 0, 0}, 7 << 16},             // both bits: absolute too
        {{1, 7, 0, 0}, 12 << 16},            // add
        {{2, 64, 0, 0}, base},               // multiply by 64 leaves the base
        {{2, 32, 0, 0}, base / 2},           //   and 32 halves it
        {{0, 7, 0, 0x40}, 28 << 16},         // shift: ×4
        {{0, 7, 0, 0xC0}, 7 << 22},          //   ×64
        {{0, 7, 0, 0x60}, (7 << 16) / 4},    //   ÷4
        {{0x20, 7, 0, 0x60}, 1 << 16},       // integer: fraction dropped
        {{0x04, 32, 0, 0}, 32 << 16},        // envelope at its top (all-zero ADSR, tick 0)
        {{0x10, 9, 9, 0}, 9 << 16},          // random between equal ends
    };
    for (auto& c : cases) EXPECT_EQ(mval(c.bytes, base), c.want) << "flags " << *c.bytes.begin();
    // Bytes 1 and 2 are signed for a bus's mval 1.
    EXPECT_EQ(mval({0, 0xFF, 0, 0}, 0, SONK_BUS, 1), -(1 << 16));
    EXPECT_EQ(mval({0, 0xFF, 0, 0}, 0, SONK_FILTER, 1), 255 << 16);
}

TEST_F(Nodes, UnityAmplitudeReadsTheTable) {
    uint64_t rng[4] = {};
    const int16_t* wt = sonk_default_wavetable(rng);
    sonk_memcpy(SONK_WAVETABLE_BASE, wt, SONK_WAVETABLE_SAMPLES * 2);
    sonk_memcpy(INST + 0x1E0, sonk_default_descriptors, 8);
    put(INST, {0x00, 0x02});  // node 0: an oscillator on descriptor 0
    SonkNodeState nodes[9] = {};
    sonk_load_nodes(nodes, INST);
    ASSERT_EQ(nodes[0].wt_addr, 0xF80000);
    ASSERT_EQ(nodes[0].wt_width, 1024);
    ASSERT_EQ(nodes[0].wt_rows, 255);
    SonkNodeState& o = nodes[0];
    o.value[0] = 64 << 16;
    o.value[5] = -128 << 16;  // no offset
    o.step = 65536;
    int16_t out[SONK_TICK_SAMPLES];
    render_node_tick(&o, out, SONK_TICK_SAMPLES);
    const int16_t* row0 = wt + 16384;
    for (int i = 0; i < SONK_TICK_SAMPLES; i++) ASSERT_EQ(out[i], row0[i]) << i;
    o.value[0] = 0;
    render_node_tick(&o, out, SONK_TICK_SAMPLES);
    for (int i = 0; i < SONK_TICK_SAMPLES; i++) ASSERT_EQ(out[i], 0) << i;
}

TEST_F(Nodes, LoadingNodes) {
    // node 1: parent 0 (depth 1); node 2: parent 2, its own index (top level);
    // node 3: parent 1 (depth 2), an oscillator on descriptor 1 with 0 rows
    // and a log2 width too large for the mirror.
    put(INST + 32, {0x00, 0x02});
    put(INST + 64, {0x02, 0x02});
    put(INST + 96, {0x21, 0x12, 0x0A});
    put(INST + 0x1E4, {0x00, 0x10, 200, 0});
    SonkNodeState n[9] = {};
    sonk_load_nodes(n, INST);
    EXPECT_EQ(n[1].depth, 1);
    EXPECT_EQ(n[2].depth, 0);
    EXPECT_EQ(n[3].depth, 2);
    EXPECT_EQ(n[3].op, SONK_OP_MUL);
    EXPECT_EQ(n[3].flags, 0x0A);
    EXPECT_EQ(n[3].wt_addr, 0x100000);
    EXPECT_EQ(n[3].wt_rows, 256);
    EXPECT_EQ(n[3].wt_log2, SONK_MAX_LOG2_WIDTH);
    // Its rows lie past the mirror's end: every read gives 0, none faults.
    n[3].value[0] = 64 << 16;
    n[3].value[4] = 255 << 16;
    n[3].step = 123456789;
    int16_t out[SONK_TICK_SAMPLES];
    render_node_tick(&n[3], out, SONK_TICK_SAMPLES);
    for (int16_t s : out) ASSERT_EQ(s, 0);
}

TEST_F(Nodes, EchoWithoutFeedbackPassesThrough) {
    static int16_t line[SONK_BLOCK];
    SonkNodeState e = {};
    e.kind = SONK_ECHO;
    e.out = line;
    e.echo_delay0 = e.echo_level0 = -1;
    e.value[0] = 40 << 16;
    int16_t x[SONK_TICK_SAMPLES], in[SONK_TICK_SAMPLES];
    for (int t = 0; t < 3; t++) {
        for (int i = 0; i < SONK_TICK_SAMPLES; i++) in[i] = x[i] = (int16_t)(i * 77 - 9000 + t);
        sonk_apply_effect(&e, x, SONK_TICK_SAMPLES);
        for (int i = 0; i < SONK_TICK_SAMPLES; i++) ASSERT_EQ(x[i], in[i]);
    }
    // With feedback the line answers 126 samples per unit of value 0.
    SonkNodeState f = {};
    memset(line, 0, sizeof line);
    f.kind = SONK_ECHO;
    f.out = line;
    f.echo_delay0 = f.echo_level0 = -1;
    f.value[0] = 1 << 16;
    f.value[1] = 128 << 16;  // half
    for (int i = 0; i < SONK_TICK_SAMPLES; i++) x[i] = i == 0 ? 20000 : 0;
    sonk_apply_effect(&f, x, SONK_TICK_SAMPLES);
    EXPECT_EQ(x[0], 20000);
    EXPECT_EQ(x[126], 10000);
    EXPECT_EQ(x[252], 5000);
    EXPECT_EQ(x[253], 0);
}

// Denominators and shifts stay defined whatever the values wrap to.
TEST_F(Nodes, HostileEffectValues) {
    const int32_t extremes[] = {INT32_MIN, INT32_MIN + 1, -65536, -1, 0, 1, 0xFEFFFF, 0xFF0000, INT32_MAX};
    static int16_t line[SONK_BLOCK];
    int16_t x[SONK_TICK_SAMPLES];
    for (int kind : {SONK_FILTER, SONK_ECHO, SONK_GAIN})
        for (int32_t a : extremes)
            for (int32_t b : extremes) {
                SonkNodeState n = {};
                n.kind = (uint8_t)kind;
                n.out = line;
                n.echo_delay0 = n.echo_level0 = -1;
                for (int j = 0; j < 7; j++) n.value[j] = j % 2 ? a : b;
                for (int t = 0; t < 3; t++) {
                    for (int i = 0; i < SONK_TICK_SAMPLES; i++) x[i] = (int16_t)(i % 2 ? 32767 : -32768);
                    sonk_apply_effect(&n, x, SONK_TICK_SAMPLES);
                    for (int16_t s : x) ASSERT_TRUE(s >= -32768 && s <= 32767);
                }
            }
}

}  // namespace
