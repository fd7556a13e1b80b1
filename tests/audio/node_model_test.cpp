// Synth nodes against the independent Python model (sonk_model.py): seeded
// random cases, compared value for value and sample for sample.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "audio/sonk.h"
#include "audio/sonk_engine.h"

namespace {

// Runs the model and returns each printed line's integers.
std::vector<std::vector<int64_t>> model(const std::string& args) {
    std::string cmd = std::string("python3 ") + ORVANTA_SOURCE_DIR + "/tests/audio/sonk_model.py " + args;
    FILE* f = popen(cmd.c_str(), "r");
    std::vector<std::vector<int64_t>> lines;
    if (!f) return lines;
    std::string line;
    for (int c; (c = fgetc(f)) != EOF;) {
        if (c != '\n') {
            line.push_back((char)c);
            continue;
        }
        std::vector<int64_t> v;
        for (const char* s = line.c_str(); *s;) {
            char* end;
            v.push_back(strtoll(s, &end, 10));
            if (end == s) break;
            s = end;
        }
        lines.push_back(v);
        line.clear();
    }
    pclose(f);
    return lines;
}

// Reads a case line front to back.
struct Reader {
    const std::vector<int64_t>& v;
    size_t at = 0;
    int64_t operator()() { return at < v.size() ? v[at++] : INT64_MIN; }
    template <typename T>
    void fill(T* out, size_t n) {
        for (size_t i = 0; i < n; i++) out[i] = (T)(*this)();
    }
};

class NodeModel : public ::testing::Test {
protected:
    void SetUp() override { sonk_reset(); }
};

TEST_F(NodeModel, DurationCodes) {
    auto lines = model("dur");
    ASSERT_EQ(lines.size(), 1u);
    ASSERT_EQ(lines[0].size(), 256u);
    for (int c = 0; c < 256; c++) EXPECT_EQ(get_env_duration(c), lines[0][c]) << "code " << c;
}

TEST_F(NodeModel, DefaultWavetables) {
    auto lines = model("tables");
    ASSERT_EQ(lines.size(), 1u);
    ASSERT_EQ(lines[0].size(), (size_t)SONK_WAVETABLE_SAMPLES);
    uint64_t rng[4] = {};
    const int16_t* w = sonk_default_wavetable(rng);
    int bad = 0;
    for (int i = 0; i < SONK_WAVETABLE_SAMPLES && bad < 10; i++)
        if (w[i] != lines[0][i]) {
            ADD_FAILURE() << "sample " << i << " (address 0x" << std::hex << SONK_WAVETABLE_BASE + 2 * i << std::dec
                          << "): " << w[i] << " vs " << lines[0][i];
            bad++;
        }
}

TEST_F(NodeModel, PitchToStep) {
    for (auto& c : model("dx 11 400"))
        EXPECT_EQ(sonk_get_dx_for_note((int32_t)c[0], (int32_t)c[1]), c[2]) << c[0] << " " << c[1];
}

TEST_F(NodeModel, Envelopes) {
    for (auto& c : model("env 12 600")) {
        Reader r{c};
        uint8_t e[24];
        r.fill(e, 24);
        sonk_memcpy(0x1000, e, 24);
        int32_t t = (int32_t)r();
        SonkEnvCtx cx{0, (int32_t)r(), 0, 0};
        int64_t last = r();
        cx.ticks_off = (int32_t)r();
        cx.dflt = (int32_t)r();
        EXPECT_EQ(evaluate_envelope(0x1000, t, last, cx), r()) << "type " << (int)e[0] << " t " << t;
    }
}

// Node evaluation covers every mval mode, shifts, ratio mode, envelope
// counters and their loops, and the step.
TEST_F(NodeModel, NodeEvaluation) {
    const int64_t inst = 0x40000;
    int n = 0;
    for (auto& c : model("node 13 800")) {
        Reader r{c};
        uint8_t region[0x300];
        r.fill(region, sizeof region);
        sonk_memcpy(inst, region, sizeof region);
        SonkNodeState nodes[9] = {};
        sonk_load_nodes(nodes, inst);
        int i = (int)r();
        SonkEnvCtx cx{inst, 0, 0, 0};
        cx.note_on = (int32_t)r();
        cx.ticks_off = (int32_t)r();
        cx.dflt = (int32_t)r();
        SonkNodeState& nd = nodes[i];
        r.fill(nd.value, 7);
        r.fill(nd.env_tick, 7);
        r.fill(nd.rnd, 7);
        r.fill(nd.env_last, 7);
        nd.fm_shift = (int32_t)r();
        SonkNodeState par = {};
        r.fill(par.value, 7);
        par.ratio_num = (int32_t)r();
        par.ratio_den = (int32_t)r();
        int32_t v0 = (int32_t)r();
        if (i != 0) nodes[0].value[0] = v0;
        sonk_eval_node(nodes, i, &par, cx);
        SCOPED_TRACE("case " + std::to_string(n++) + " kind " + std::to_string(nd.kind));
        for (int j = 0; j < 7; j++) EXPECT_EQ(nd.value[j], r()) << "value " << j;
        for (int j = 0; j < 7; j++) EXPECT_EQ(nd.env_tick[j], r()) << "tick " << j;
        for (int j = 0; j < 7; j++) EXPECT_EQ(nd.env_last[j], r()) << "last " << j;
        EXPECT_EQ(nd.fm_shift, r());
        int64_t num = r(), den = r(), step = r();
        if (nd.kind == SONK_BUS || nd.kind == SONK_OSC) {
            EXPECT_EQ(nd.ratio_num, num);
            EXPECT_EQ(nd.ratio_den, den);
            EXPECT_EQ(nd.step, step);
        }
        if (HasFailure()) break;
    }
}

TEST_F(NodeModel, Oscillator) {
    static int16_t fm[SONK_TICK_SAMPLES], out[SONK_TICK_SAMPLES];
    int n = 0;
    for (auto& c : model("osc 14 150")) {
        Reader r{c};
        SonkNodeState nd = {};
        nd.kind = SONK_OSC;
        nd.wt_addr = (int32_t)r();
        nd.wt_log2 = (int32_t)r();
        nd.wt_width = 1 << nd.wt_log2;
        nd.wt_rows = (int32_t)r();
        int64_t ns = r();
        std::vector<int16_t> data(ns);
        r.fill(data.data(), ns);
        sonk_memset(nd.wt_addr, 0, nd.wt_width * nd.wt_rows * 2);
        sonk_memcpy(nd.wt_addr, data.data(), (uint32_t)ns * 2);
        r.fill(nd.value, 7);
        nd.phase = r();
        nd.step = r();
        nd.fm_shift = (int32_t)r();
        if (r()) {
            r.fill(fm, SONK_TICK_SAMPLES);
            nd.fm_in = fm;
        }
        render_node_tick(&nd, out, SONK_TICK_SAMPLES);
        SCOPED_TRACE("case " + std::to_string(n++));
        int bad = 0;
        for (int i = 0; i < SONK_TICK_SAMPLES && bad < 5; i++) {
            int64_t want = r();
            if (out[i] != want) {
                ADD_FAILURE() << "sample " << i << ": " << out[i] << " vs " << want;
                bad++;
            }
        }
        if (!bad) EXPECT_EQ(nd.phase, r());
    }
}

void run_effect(const char* args, int kind) {
    static int16_t line[SONK_BLOCK], x[SONK_TICK_SAMPLES];
    int n = 0;
    for (auto& c : model(args)) {
        Reader r{c};
        SonkNodeState nd = {};
        nd.kind = (uint8_t)kind;
        nd.echo_delay0 = nd.echo_level0 = -1;
        memset(line, 0, sizeof line);
        nd.out = line;
        int64_t ticks = r();
        for (int t = 0; t < ticks; t++) {
            int count = (int)r();
            r.fill(nd.value, 7);
            r.fill(x, count);
            sonk_apply_effect(&nd, x, count);
            int bad = 0;
            for (int i = 0; i < count && bad < 5; i++) {
                int64_t want = r();
                if (x[i] != want) {
                    ADD_FAILURE() << args << " case " << n << " tick " << t << " sample " << i << ": " << x[i]
                                  << " vs " << want;
                    bad++;
                }
            }
            if (bad) return;
        }
        n++;
    }
    EXPECT_GT(n, 0);
}

TEST_F(NodeModel, Filter) { run_effect("filter 15 150", SONK_FILTER); }
TEST_F(NodeModel, Echo) { run_effect("echo 16 150", SONK_ECHO); }
TEST_F(NodeModel, Gain) { run_effect("gain 17 300", SONK_GAIN); }

}  // namespace
