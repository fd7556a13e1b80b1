// Channels, the sequencer, music and the mixer, rendered offline.
#include <cmath>

#include "rig.h"

namespace {

using namespace rig;

class Mixer : public ::testing::Test {
protected:
    void SetUp() override { reset(); }
};

// Frequency of the left channel from its upward zero crossings.
double frequency(const std::vector<int16_t>& out, size_t from) {
    double first = -1, last = -1;
    int count = 0;
    for (size_t i = from + 1; i < out.size() / 2; i++) {
        int a = out[2 * (i - 1)], b = out[2 * i];
        if (a < 0 && b >= 0) {
            double t = (double)(i - 1) + (double)-a / (b - a);
            if (first < 0) first = t;
            last = t;
            count++;
        }
    }
    return count > 1 ? (count - 1) * 44100.0 / (last - first) : 0;
}

TEST_F(Mixer, NotePitchAndLevel) {
    sine_instrument(0);
    sonk_set_channel_mix_vol(3, 64);
    sonk_set_channel_base_addr(3, BASE);
    sonk_set_note(3, 57, 0, 64, 0, 0, 1, 0);
    auto out = mix(44100 * 5);
    EXPECT_NEAR(frequency(out, 4000), 440.0, 0.01);
    int peak = 0;
    for (size_t i = 8000; i < out.size(); i++) peak = std::max(peak, std::abs((int)out[i]));
    EXPECT_NEAR(peak, 32767 * 3272 / 4096, 40);  // unity, less the centre pan gain
    // Each octave doubles.
    sonk_set_note(3, 69, 255, 255, 255, 0, 0, SONK_PAN_KEEP);
    EXPECT_NEAR(frequency(mix(44100 * 2), 4000), 880.0, 0.02);
}

// Runs the Python model and returns the integers it prints.
std::vector<int64_t> model(const std::string& args) {
    std::string cmd = std::string("python3 ") + ORVANTA_SOURCE_DIR + "/tests/audio/sonk_model.py " + args;
    std::vector<int64_t> v;
    FILE* f = popen(cmd.c_str(), "r");
    if (!f) return v;
    long long x;
    while (fscanf(f, "%lld", &x) == 1) v.push_back(x);
    pclose(f);
    return v;
}

// A held note through the whole path (fade in from the silent shadow, the
// pan ramp, gains), frame for frame against the model.
TEST_F(Mixer, HeldNoteMatchesModel) {
    const int cases[][2] = {{57, 0}, {60, 100}, {33, -127}, {81, 127}};
    for (auto& c : cases) {
        reset();
        sine_instrument(0);
        sonk_set_channel_mix_vol(6, 64);
        sonk_set_channel_base_addr(6, BASE);
        sonk_set_note(6, c[0], 0, 64, 0, 0, 1, c[1]);
        auto out = mix(3000);
        auto want = model("note " + std::to_string(c[0]) + " " + std::to_string(c[1]) + " 3000");
        ASSERT_EQ(want.size(), out.size());
        for (size_t i = 0; i < out.size(); i++)
            ASSERT_EQ(out[i], want[i]) << "pitch " << c[0] << " pan " << c[1] << " frame " << i / 2;
    }
}

TEST_F(Mixer, PanGains) {
    sine_instrument(0);
    sonk_set_channel_mix_vol(0, 64);
    sonk_set_channel_base_addr(0, BASE);
    const int pans[][3] = {{0, 3272, 3272}, {127, 0, 4095}, {-127, 4095, 0}, {64, 1857, 3927}};
    for (auto& p : pans) {
        sonk_set_note(0, 60, 0, 64, 0, 0, 1, p[0]);
        mix(3 * SONK_TICK_SAMPLES);  // the pan ramp settles within a tick
        auto out = mix(SONK_TICK_SAMPLES);
        int16_t node0[SONK_BLOCK];
        ASSERT_EQ(sonk_get_channel_state(0, 20, node0), SONK_TICK_SAMPLES);
        int nonzero = 0;
        for (int i = 0; i < SONK_TICK_SAMPLES; i++) {
            ASSERT_EQ(out[2 * i], node0[i] * p[1] / 4096) << "pan " << p[0] << " frame " << i;
            ASSERT_EQ(out[2 * i + 1], node0[i] * p[2] / 4096) << "pan " << p[0] << " frame " << i;
            nonzero += node0[i] != 0;
        }
        EXPECT_GT(nonzero, 300);
    }
}

TEST_F(Mixer, MasterVolumeIsOnOrOff) {
    sine_instrument(0);
    std::vector<int16_t> runs[3];
    const int volumes[] = {1, 256, 0};
    for (int k = 0; k < 3; k++) {
        reset();
        sine_instrument(0);
        sonk_set_volume(volumes[k]);
        track(0, 2, 0, 0, 0, {{60, 0, 64, 0, 0}, {64, 0, 40, 0, 0}, {67, 0, 64, 0, 0}});
        sonk_play_track(0, 0, 0, 0, 0, SONK_PAN_KEEP, 64, BASE);
        runs[k] = mix(5000);
        EXPECT_EQ(state(0, 11), 6) << volumes[k];  // ticks ran to the end, whatever the volume
    }
    EXPECT_EQ(runs[0], runs[1]);
    EXPECT_NE(runs[1], std::vector<int16_t>(runs[1].size(), 0));
    EXPECT_EQ(runs[2], std::vector<int16_t>(runs[2].size(), 0));
}

// Rows over ticks: speed 0 is 16; length 0 is one row; offset and length.
TEST_F(Mixer, RowTiming) {
    sine_instrument(0);
    struct {
        int speed, length, offset, play_length;
        std::vector<int> rows;  // row after each tick, -1 once the track has ended
    } cases[] = {
        {1, 4, 0, 0, {1, 2, 3, 4, -1}},
        {0, 2, 0, 0, std::vector<int>(15, 0)},  // 16 ticks per row
        {3, 1, 0, 0, {0, 0, 1, -1}},
        {1, 0, 0, 0, {1, -1}},                  // length 0 plays one row
        {2, 16, 4, 4, {4, 5, 5, 6, 6, 7, 7, -1}},
    };
    for (auto& c : cases) {
        reset();
        sine_instrument(0);
        track(1, c.speed, 0, 0, 0, std::vector<Row>(16, Row{60, 0, 64, 0, 0}), c.length);
        sonk_play_track(1, 2, c.offset, c.play_length, 0, SONK_PAN_KEEP, 64, BASE);
        for (size_t t = 0; t < c.rows.size(); t++) {
            mix(SONK_TICK_SAMPLES);
            int64_t row = state(2, 12) < 0 ? -1 : state(2, 9);
            ASSERT_EQ(row, c.rows[t]) << "speed " << c.speed << " length " << c.length << " tick " << t + 1;
        }
    }
    // Speed 0 reaches row 1 on the 16th tick.
    mix(SONK_TICK_SAMPLES);
}

TEST_F(Mixer, LoopsAndLeavingThem) {
    sine_instrument(0);
    std::vector<Row> rows(16, Row{60, 0, 64, 0, 0});
    // loop0 >= loop1: the track ends after row 7.
    track(1, 1, 8, 4, 0, rows);
    sonk_play_track(1, 0, 0, 0, 0, SONK_PAN_KEEP, 64, BASE);
    mix(8 * SONK_TICK_SAMPLES);
    EXPECT_EQ(sonk_get_active_channels(), 1);
    mix(SONK_TICK_SAMPLES);
    EXPECT_EQ(sonk_get_active_channels(), 0);
    // loop0 < loop1: rows 4..7 repeat until the loop is left.
    track(2, 1, 4, 8, 0, rows);
    sonk_play_track(2, 0, 0, 0, 0, SONK_PAN_KEEP, 64, BASE);
    std::vector<int> seen;
    for (int t = 0; t < 14; t++) {
        mix(SONK_TICK_SAMPLES);
        seen.push_back((int)state(0, 9));
    }
    EXPECT_EQ(seen, (std::vector<int>{1, 2, 3, 4, 5, 6, 7, 4, 5, 6, 7, 4, 5, 6}));
    sonk_play_track(-3, 0, 0, 0, 0, SONK_PAN_KEEP, 0, 0);
    mix(10 * SONK_TICK_SAMPLES);  // rows 6..15
    EXPECT_EQ(state(0, 12), 2);
    mix(SONK_TICK_SAMPLES);
    EXPECT_EQ(state(0, 12), -1);
}

TEST_F(Mixer, DelaySilencesFirstRows) {
    sine_instrument(0);
    track(1, 1, 0, 0, 2, {{60, 0, 64, 0, 0}, {62, 0, 64, 0, 0}, {64, 0, 64, 0, 0}});
    sonk_play_track(1, 0, 0, 0, 0, SONK_PAN_KEEP, 64, BASE);
    mix(2 * SONK_TICK_SAMPLES);
    EXPECT_EQ(state(0, 0), 0);
    mix(SONK_TICK_SAMPLES);
    EXPECT_EQ(state(0, 0), 1);
    EXPECT_EQ(state(0, 4), 64);
    // A retrigger effect left on the channel by an earlier note doesn't play
    // the rows the delay silences.
    reset();
    sine_instrument(0);
    track(1, 4, 0, 0, 2, {{60, 0, 64, 255, 0}, {62, 0, 64, 255, 0}, {64, 0, 64, 255, 0}});
    sonk_set_channel_base_addr(0, BASE);
    sonk_set_note(0, 50, 0, 64, 'r', 1, 1, 0);
    sonk_play_track(1, 0, 0, 0, 0, SONK_PAN_KEEP, 64, BASE);
    for (int t = 0; t < 8; t++) {
        mix(SONK_TICK_SAMPLES);
        ASSERT_EQ(state(0, 0), 0) << "tick " << t;
    }
    mix(SONK_TICK_SAMPLES);
    EXPECT_EQ(state(0, 4), 64);
}

// Per-tick effects, read from the channel and its bus (node 0 passes the
// root values through).
TEST_F(Mixer, RowEffects) {
    sine_instrument(0);
    auto play = [](int effect, int param, int speed, int pitch = 60) {
        reset();
        sine_instrument(0);
        track(1, speed, 0, 0, 0, {{pitch, 0, 64, effect, param}, {pitch, 0, 64, effect, param}});
        sonk_play_track(1, 0, 0, 0, 0, SONK_PAN_KEEP, 64, BASE);
    };
    SonkChannel& ch = chan(0);
    // '-' with parameter 0 falls 2480 * 128 a tick; '+' with 0 rises 16 * 128.
    play('-', 0, 8);
    for (int t = 1; t <= 3; t++) {
        mix(SONK_TICK_SAMPLES);
        EXPECT_EQ(ch.cur_pitch, (60 << 16) - t * 2480 * 128);
    }
    play('+', 0, 8);
    mix(2 * SONK_TICK_SAMPLES);
    EXPECT_EQ(ch.cur_pitch, (60 << 16) + 2 * 16 * 128);
    // 'd' with parameter 0 plays at once; with 2, on the row's third tick.
    play('d', 0, 4);
    mix(SONK_TICK_SAMPLES);
    EXPECT_EQ(state(0, 0), 1);
    play('d', 2, 4);
    mix(2 * SONK_TICK_SAMPLES);
    EXPECT_EQ(state(0, 0), 0);
    mix(SONK_TICK_SAMPLES);
    EXPECT_EQ(state(0, 0), 1);
    // 'c' cuts: the instrument becomes 255 at tick 3 of the row.
    play('c', 3, 8);
    mix(3 * SONK_TICK_SAMPLES);
    EXPECT_EQ(ch.instrument, 0);
    mix(SONK_TICK_SAMPLES);
    EXPECT_EQ(ch.instrument, 255);
    // Arpeggio 0x37: base, +3, +7 for 4 ticks each at speed 16, 2 at speed 8.
    for (int speed : {16, 8}) {
        play('a', 0x37, speed);
        std::vector<int> semis;
        for (int t = 0; t < 12; t++) {
            mix(SONK_TICK_SAMPLES);
            semis.push_back(ch.node_state[0].value[2] >> 16);
        }
        const int step[] = {0, 3, 7};
        int q = speed == 16 ? 4 : 2;
        for (int t = 0; t < 12; t++) EXPECT_EQ(semis[t], 60 + step[(t / q) % 3]) << speed << " " << t;
    }
    // Fade '>' with parameter 0 falls by volume / speed a tick and leaves it.
    play('>', 0, 16);
    for (int t = 0; t < 16; t++) {
        mix(SONK_TICK_SAMPLES);
        EXPECT_EQ(ch.node_state[0].value[0], (64 << 16) - t * ((64 << 16) / 16)) << t;
    }
    EXPECT_EQ(ch.volume, 4);
    // Tremolo with parameter 0: 16 ticks a cycle, depth index 6 (64/256).
    play('t', 0, 32);
    for (int t = 0; t < 5; t++) mix(SONK_TICK_SAMPLES);
    EXPECT_EQ(ch.vib_phase, 5 * 4096);
    EXPECT_NEAR(ch.node_state[0].value[0] / (double)(64 << 16), 1.25, 0.01);  // a quarter cycle in
    // Slide 's' with parameter 0 reaches the row's pitch within the row.
    reset();
    sine_instrument(0);
    track(1, 4, 0, 0, 0, {{48, 0, 64, 0, 0}, {60, 0, 64, 's', 0}});
    sonk_play_track(1, 0, 0, 0, 0, SONK_PAN_KEEP, 64, BASE);
    std::vector<int> pitch;
    for (int t = 0; t < 8; t++) {
        mix(SONK_TICK_SAMPLES);
        pitch.push_back(ch.cur_pitch);
    }
    EXPECT_EQ(pitch, (std::vector<int>{48 << 16, 48 << 16, 48 << 16, 48 << 16, 51 << 16, 54 << 16, 57 << 16,
                                       60 << 16}));
}

TEST_F(Mixer, PatternsAdvanceTogetherMidBuffer) {
    sine_instrument(0);
    track(1, 1, 0, 0, 0, {{60, 0, 0, 0, 0}, {60, 0, 0, 0, 0}});       // silent, 2 ticks
    track(2, 1, 0, 0, 0, std::vector<Row>(8, Row{67, 0, 64, 0, 0}));  // loud
    pattern(0, {1, 1}, 0, 3);
    pattern(1, {2, 2}, 4, 3);
    sonk_play_music(0, 0, 255, BASE);
    EXPECT_EQ(mixer.pattern_length, 2);
    sonk_set_channel_mix_vol(2, 64);
    sonk_set_channel_base_addr(2, BASE);
    sonk_set_note(2, 60, 0, 64, 0, 0, 1, 0);  // a non-music channel keeps playing
    mix(100);
    std::vector<int16_t> out(1000 * 2);
    sonk_mix(out.data(), 1000);  // pattern 0 ends at frame 734 - 100
    EXPECT_EQ(sonk_get_music_state(0), 1);
    int first[2] = {-1, -1};
    for (int c = 0; c < 2; c++)
        for (int i = 0; i < 1000 && first[c] < 0; i++)
            if (mixer.chan_out[c][2 * i] != 0) first[c] = i;
    EXPECT_EQ(first[0], first[1]);
    EXPECT_GE(first[0], 634);
    EXPECT_LT(first[0], 634 + 64);
    EXPECT_NE(mixer.chan_out[2][2 * 10], 0);
    // The stop flag of pattern 1 ends the music after its 8 ticks.
    mix(8 * SONK_TICK_SAMPLES);
    EXPECT_EQ(sonk_get_music_state(0), -1);
    EXPECT_EQ(sonk_get_active_channels() & 3, 0);
}

TEST_F(Mixer, LoopBackAndLeftmostChannel) {
    sine_instrument(0);
    track(1, 1, 0, 0, 0, {{60, 0, 64, 0, 0}});
    track(3, 1, 0, 1, 0, {{60, 0, 64, 0, 0}});  // loops: not the one that sets the length
    pattern(0, {1}, 0, 1);
    pattern(1, {3, 1}, 1, 3);  // loop start
    pattern(2, {1}, 0, 1);
    pattern(3, {1}, 2, 1);  // loop back to 1
    sonk_play_music(0, 0, 255, BASE);
    std::vector<int> order;
    for (int t = 0; t < 8; t++) {
        mix(SONK_TICK_SAMPLES);
        order.push_back(sonk_get_music_state(0));
    }
    EXPECT_EQ(order, (std::vector<int>{0, 1, 2, 3, 1, 2, 3, 1}));
    EXPECT_EQ(sonk_get_music_state(1), 1);  // pattern 1: channel 0 loops, channel 1 doesn't
    // Loop back with no loop-start pattern before it returns to pattern 0.
    reset();
    sine_instrument(0);
    track(1, 1, 0, 0, 0, {{60, 0, 64, 0, 0}});
    pattern(0, {1}, 0, 1);
    pattern(1, {1}, 2, 1);
    sonk_play_music(1, 0, 255, BASE);
    order.clear();
    for (int t = 0; t < 4; t++) {
        mix(SONK_TICK_SAMPLES);
        order.push_back(sonk_get_music_state(0));
    }
    EXPECT_EQ(order, (std::vector<int>{1, 0, 1, 0}));
    // All tracks looping: the pattern never ends.
    track(3, 1, 0, 1, 0, {{60, 0, 64, 0, 0}});
    pattern(5, {3}, 0, 1);
    sonk_play_music(5, 0, 255, BASE);
    EXPECT_EQ(mixer.pattern_length, 0x7FFFFFFF);
}

TEST_F(Mixer, FadesInTicks) {
    sine_instrument(0);
    track(1, 4, 0, 1, 0, {{60, 0, 64, 0, 0}});
    pattern(0, {1}, 0, 1);
    sonk_play_music(0, 1000, 255, BASE);  // 120 ticks
    EXPECT_EQ(mixer.fade_volume, 0);
    mix(60 * SONK_TICK_SAMPLES);
    EXPECT_EQ(mixer.fade_volume, 256 * 59 / 120);
    mix(60 * SONK_TICK_SAMPLES);
    EXPECT_EQ(mixer.fade_volume, 256);
    EXPECT_EQ(mixer.fade_len, 0);
    // Shorter than a tick: no fade out starts; the volume stays.
    sonk_fade_out_music(5);
    EXPECT_EQ(mixer.fade_len, 0);
    EXPECT_EQ(mixer.fade_volume, 256);
    sonk_fade_out_music(500);  // 60 ticks, the patterns keep going
    mix(60 * SONK_TICK_SAMPLES);
    EXPECT_EQ(mixer.fade_volume, 0);
    EXPECT_EQ(sonk_get_music_state(0), 0);
    // A fade in shorter than a tick plays at full volume at once.
    sonk_play_music(0, 5, 255, BASE);
    EXPECT_EQ(mixer.fade_volume, 256);
    // A fade out shorter than a tick stops a fade under way where it is.
    sonk_play_music(0, 1000, 255, BASE);
    mix(30 * SONK_TICK_SAMPLES);
    int32_t held = mixer.fade_volume;
    EXPECT_GT(held, 0);
    sonk_fade_out_music(5);
    mix(30 * SONK_TICK_SAMPLES);
    EXPECT_EQ(mixer.fade_volume, held);
    EXPECT_EQ(sonk_get_music_state(0), 0);
    // A negative fade out stops at once.
    sonk_fade_out_music(-100);
    EXPECT_EQ(sonk_get_music_state(0), -1);
}

TEST_F(Mixer, ChannelChooserOrder) {
    sine_instrument(0);
    for (int t = 1; t <= 20; t++) track(t, 1, 0, 1, 0, {{60, 0, 64, 0, 0}});
    pattern(0, {}, 0, 0);
    sonk_play_music(0, 0, 0xFF, BASE);  // channels 0..7 belong to music
    const int want[] = {9, 10, 11, 12, 13, 14, 15, 8,  // free channels 8..15 first
                        9, 10, 11, 12, 13, 14, 15,     // then counter + 1
                        15, 15, 15};                   // counter + 1 is music: search down from the counter
    for (int k = 0; k < 18; k++)
        EXPECT_EQ(sonk_play_track(k + 1, -1, 0, 0, 0, SONK_PAN_KEEP, 64, BASE), want[k]) << "call " << k;
    // A channel already playing the same track takes it again.
    EXPECT_EQ(sonk_play_track(14, -1, 0, 0, 0, SONK_PAN_KEEP, 64, BASE), 14);
}

TEST_F(Mixer, PauseHoldsMuteRuns) {
    sine_instrument(0);
    track(1, 1, 0, 8, 0, std::vector<Row>(8, Row{60, 0, 64, 0, 0}));
    sonk_play_track(1, 4, 0, 0, 0, SONK_PAN_KEEP, 64, BASE);
    mix(3 * SONK_TICK_SAMPLES);
    int64_t ticks = state(4, 11);
    put(0x547F, {4});
    auto out = mix(3 * SONK_TICK_SAMPLES);
    EXPECT_EQ(state(4, 11), ticks);
    EXPECT_EQ(out, std::vector<int16_t>(out.size(), 0));
    // Paused, the mixer doesn't count the frames either.
    EXPECT_EQ(sonk_get_channel_state(-1, -1, nullptr), 3 * SONK_TICK_SAMPLES);
    mix(100);
    EXPECT_EQ(sonk_get_channel_state(-1, -1, nullptr), 3 * SONK_TICK_SAMPLES);
    put(0x547F, {8});
    out = mix(3 * SONK_TICK_SAMPLES);
    EXPECT_EQ(state(4, 11), ticks + 3);
    EXPECT_EQ(out, std::vector<int16_t>(out.size(), 0));
    put(0x547F, {0});
    out = mix(100);
    EXPECT_NE(out, std::vector<int16_t>(out.size(), 0));
    // Channel -1, code -1: the last call's frames.
    std::vector<int16_t> last(8192 * 2);
    EXPECT_EQ(sonk_get_channel_state(-1, -1, last.data()), 100);
    last.resize(200);
    EXPECT_EQ(last, out);
}

// A music channel stopped mid-tick keeps its (here silent) gain to the tick's
// end, and the next tick's fade from the old sound keeps it too.
TEST_F(Mixer, StopMidTickKeepsGain) {
    sine_instrument(0);
    put(0x5539, {0});  // music volume 0
    track(1, 1, 0, 1, 0, {{60, 0, 64, 0, 0}});
    pattern(0, {1}, 0, 1);
    sonk_play_music(0, 0, 255, BASE);
    mix(2 * SONK_TICK_SAMPLES + 100);
    sonk_stop_music();
    auto out = mix(SONK_TICK_SAMPLES);
    EXPECT_EQ(out, std::vector<int16_t>(out.size(), 0));
}

// A stereo instrument: an effect under node 0 gets a right-hand copy that
// reads the same parent values, so a centred source gives equal sides.
TEST_F(Mixer, StereoCopiesFollowTheLeftParent) {
    sine_instrument(0, 2);
    node(0, 0, 0x00, 0x01, 0, {{0, 100, 0, 0}});              // bus: a fixed level, not the note's volume
    node(0, 2, 0x00, 0x08, 0, {{2, 64, 0, 0}, {0, 40, 0, 0}});  // filter from the bus's value 0
    sonk_set_channel_mix_vol(1, 64);
    sonk_set_channel_base_addr(1, BASE);
    sonk_set_note(1, 60, 0, 20, 0, 0, 1, 0);
    auto out = mix(10 * SONK_TICK_SAMPLES);
    EXPECT_EQ(chan(1).node_state[3].right_copy, 1);
    EXPECT_EQ(chan(1).node_state[3].value[0], chan(1).node_state[2].value[0]);
    int nonzero = 0;
    for (size_t i = 0; i < out.size(); i += 2) {
        ASSERT_EQ(out[i], out[i + 1]) << i / 2;
        nonzero += out[i] != 0;
    }
    EXPECT_GT(nonzero, 3000);
}

// The shadow copies only the echo line positions its 64 samples read: it
// renders exactly as a shadow holding the whole line would, also while the
// delay moves (an LFO on it).
TEST_F(Mixer, ShadowEchoMatchesAFullCopy) {
    sine_instrument(0, 2);
    node(0, 2, 0x00, 0x09, 0, {{4, 90, 3, 0x41}, {0, 120, 0, 0}});  // delay from LFO envelope 1, ×4
    put(inst_addr(0) + 0x100 + 24, {1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 7});
    sonk_set_channel_mix_vol(0, 64);
    sonk_set_channel_base_addr(0, BASE);
    sonk_set_note(0, 60, 0, 64, 0, 0, 1, 0);
    for (int t = 0; t < 40; t++) {
        mix(SONK_TICK_SAMPLES);
        SonkChannel full = mixer.shadow[0];
        full.index = 31;  // channel 15's shadow blocks, unused here
        sonk_point_outputs(&full);
        for (int k = 0; k < 9; k++) {
            full.prev_state[k].out = full.node_state[k].out;
            if (chan(0).node_state[k].kind == SONK_ECHO)
                memcpy(full.node_state[k].out, chan(0).node_state[k].out, sizeof(int16_t) * SONK_BLOCK);
        }
        render_channel_tick(&mixer.shadow[0], 64);
        render_channel_tick(&full, 64);
        for (int k : {0, 8})
            for (int i = 0; i < 64; i++)
                ASSERT_EQ(mixer.shadow[0].node_state[k].out[i], full.node_state[k].out[i]) << t << " " << k << " " << i;
    }
}

// Hostile arguments: no channel outside 0..15 is touched, nothing reads
// below the base, and no call can keep the mixer busy.
TEST_F(Mixer, HostileArguments) {
    sine_instrument(0);
    sonk_set_note(16, 60, 0, 64, 0, 0, 1, 0);
    sonk_set_note(-2, 60, 0, 64, 0, 0, 1, 0);
    sonk_set_note(INT32_MIN, 60, 0, 64, 0, 0, 1, 0);
    EXPECT_EQ(sonk_get_active_channels(), 0);
    for (int c = 0; c < 16; c++) EXPECT_EQ(chan(c).instrument, 255);
    sonk_set_note(0, 60, 0, 64, 0, 0, 1, 0);
    sonk_set_note(0, 60, -1, 64, 0, 0, 1, 0);  // a negative instrument stops the channel
    EXPECT_EQ(chan(0).instrument, 255);
    EXPECT_GE(sonk_play_track(1, -7, 0, 0, 0, SONK_PAN_KEEP, 64, BASE), 8);
    EXPECT_EQ(sonk_play_track(1, 16, 0, 0, 0, SONK_PAN_KEEP, 64, BASE), -1);
    sonk_play_track(INT32_MAX, 0, INT32_MIN, INT32_MAX, 0, INT32_MIN, INT32_MAX, INT32_MAX);
    sonk_play_track(5, 1, -3, 0, 0, 0, 64, INT32_MIN);
    sonk_play_track(-4, 99, 1000, 0, 0, 0, 0, 0);
    EXPECT_EQ(chan(15).mix_volume, 255);
    track(2, 1, 0, 0, 0, {{60, 0, 64, 'a', 0}, {255, 255, 255, 'a', 0}}, 2);
    sonk_play_track(2, 2, -5, 0, 0, 0, 64, BASE);  // arpeggio reads before the track's start
    sonk_set_note(3, INT32_MAX, 0, INT32_MAX, '+', INT32_MAX, 1, INT32_MIN);
    sonk_set_note(4, INT32_MIN, 0, INT32_MIN, 'v', INT32_MIN, 1, 0);
    sonk_set_channel_base_addr(5, INT32_MAX);
    EXPECT_EQ(chan(5).base, 0xF00000);
    sonk_set_note(5, 60, 254, 64, 0, 0, 1, 0);
    sonk_play_music(-5, 0, 255, BASE);
    EXPECT_EQ(sonk_get_music_state(0), -5);
    mix(20000);
    sonk_play_music(300, 100, -1, INT32_MAX);
    mix(20000);
    sonk_play_music(0, INT32_MAX, INT32_MIN, INT32_MIN);
    sonk_fade_out_music(INT32_MAX);
    mix(20000);
    std::vector<int16_t> big(20000 * 2);
    sonk_mix(big.data(), 20000);  // split into mixes of at most 4096 frames
    EXPECT_EQ(sonk_get_channel_state(-1, -1, nullptr), 20000 - 4 * 4096);
}

}  // namespace
