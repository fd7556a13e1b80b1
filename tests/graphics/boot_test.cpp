// The boot screen: the blank start, the growing border and its colours, the
// tail catching up, the text lines (checked against the same lines printed
// by a process of our own), the system-error screen, and video out's choice
// between the boot screen and the window manager's screen.
#include <cstdlib>
#include <string>
#include <vector>

#include "gfx_fixture.h"
#include "graphics/graphics.h"
#include "graphics/video.h"
#include "host/host.h"
#include "kernel/boot.h"
#include "kernel/state.h"

class Boot : public GfxTest {
protected:
    // Sets the boot clock to `frames` frames (16.6 ms each) and draws.
    const uint8_t* draw_at(int frames) {
        app.boot_clock_origin = 100;
        app.frame_counter = 100 + (uint64_t)frames;
        Process* before = cproc;
        Process* b = draw_boot();
        EXPECT_EQ(cproc, before);
        boot = b;
        return ta_data(b->draw.target);
    }
    uint8_t at(const uint8_t* f, int x, int y) { return f[y * 480 + x]; }
    int border_colour(int x, int y, int k, int phase) {
        int sum = x / 32 + y / 32 + phase + k % 3;
        return app.striped_boot_lines ? sum % 3 + 28 : sum % 12 + 8;
    }
    // The frame a fresh process of our own prints the lines into, as the
    // boot screen does: from (35, 200), one after another.
    std::vector<uint8_t> printed(const std::vector<std::pair<std::string, int>>& lines) {
        Process* q = (Process*)calloc(1, sizeof(Process));
        TypedArray* frame = (TypedArray*)calloc(1, sizeof(TypedArray) + 480 * 270);
        *frame = TypedArray{UT_U8, 2, {0, 0}, 480, 270, 1};
        gfx_init_host_process(q, frame);
        Process* prev = cproc;
        cproc = q;
        ds_set_i32(q, DS_CURSOR_X, 35);
        ds_set_i32(q, DS_CURSOR_Y, 200);
        ds_set_i32(q, DS_HOME_X, 35);
        for (auto& l : lines) print_tesscii(q, l.first.data(), (int64_t)l.first.size(), 0, (uint32_t)l.second);
        cproc = prev;
        std::vector<uint8_t> out(ta_data(frame), ta_data(frame) + 480 * 270);
        mem_free_process(q);
        free(q);
        free(frame);
        return out;
    }
    // The text area of the boot frame (inside the border) against `want`.
    void expect_text(const uint8_t* f, const std::vector<uint8_t>& want) {
        int diff = 0, ink = 0;
        for (int y = 190; y < 250; y++)
            for (int x = 20; x < 460; x++) {
                diff += f[y * 480 + x] != want[y * 480 + x];
                ink += want[y * 480 + x] != 0;
            }
        EXPECT_EQ(diff, 0);
        EXPECT_GT(ink, 100);
    }
    Process* boot = nullptr;
    const std::string logo = "\6:3f7f5077057f7e00 Orvanta Workstation OS 0.2.0c";
    const std::string notice = "Free software: it comes with no warranty of any kind.";
};

TEST_F(Boot, BlankThenBorderThenText) {
    // 265.6 ms (t < 0): nothing but colour 0.
    const uint8_t* f = draw_at(16);
    int lit = 0;
    for (int i = 0; i < 480 * 270; i++) lit += f[i] != 0;
    EXPECT_EQ(lit, 0);
    // 747 ms: the border runs from the top-left corner along the top and left
    // edges, not yet round the far corners.
    f = draw_at(45);
    EXPECT_EQ(at(f, 0, 0), border_colour(0, 0, 0, 5));  // paths 1 and 2 meet; 2 is drawn last
    for (int x : {1, 100, 250, 460}) EXPECT_EQ(at(f, x, 0), border_colour(x, 0, x, 0)) << x;
    for (int y : {1, 100, 250}) EXPECT_EQ(at(f, 0, y), border_colour(0, y, y, 5)) << y;
    EXPECT_EQ(at(f, 100, 3), border_colour(100, 3, 97, 1));
    EXPECT_EQ(at(f, 6, 100), border_colour(6, 100, 94, 7));
    EXPECT_EQ(at(f, 479, 100), 0);
    EXPECT_EQ(at(f, 479, 0), 0);  // the corner is the end of the first piece, not drawn yet
    EXPECT_EQ(at(f, 200, 100), 0);
    // With _signal 35 only colours 28..30.
    app.striped_boot_lines = 1;
    f = draw_at(45);
    for (int x : {1, 100, 250}) EXPECT_EQ(at(f, x, 0), border_colour(x, 0, x, 0));
    app.striped_boot_lines = 0;
    // 1,012 ms (t = 1.02): the tail has started, the logo and notice lines show.
    f = draw_at(61);
    EXPECT_EQ(at(f, 0, 0), 0);
    EXPECT_NE(at(f, 479, 200), 0);
    expect_text(f, printed({{logo, 7}, {notice, 6}}));
    // From 1,250 ms the tail has caught up: no border at all.
    f = draw_at(76);
    lit = 0;
    for (int i = 0; i < 190 * 480; i++) lit += f[i] != 0;
    EXPECT_EQ(lit, 0);
    for (int y = 0; y < 270; y++) ASSERT_EQ(at(f, 479, y) | at(f, 0, y) | at(f, 3, y) | at(f, 476, y), 0) << y;
}

TEST_F(Boot, StatusLines) {
    // Which "booting" line shows depends on the host clock; read it around the draw.
    app.boot_finished = 1;
    int64_t t0 = os_get_time();
    const uint8_t* f = draw_at(100);
    int64_t t1 = os_get_time();
    auto status = [](int64_t now) {
        return std::string(now > 7000 ? "booting.....\n" : now > 4000 ? "booting....\n" : "booting...\n");
    };
    if (status(t0) == status(t1)) expect_text(f, printed({{logo, 7}, {notice, 6}, {status(t0), 14}}));
    // A failed window manager: its pid and frame clock, over any other status.
    Process* wm = create_process_from_code("", "wm", "/system/wm.lua");
    ASSERT_NE(wm, nullptr);
    ASSERT_EQ(wm->pid, 3u);
    wm->state = PROC_ERROR;
    wm->frame_clock = 1234;
    f = draw_at(100);
    expect_text(f, printed({{logo, 7}, {notice, 6}, {"[* system error 3:1234 **]\n", 14}}));
}

TEST_F(Boot, SystemErrorScreen) {
    poke_proc(get_process(1), 0, 42);
    const uint8_t* f = draw_at(100);
    EXPECT_EQ(at(f, 479, 269), 1);
    EXPECT_EQ(at(f, 300, 0), 1);
    int text = 0;
    for (int y = 0; y < 9; y++)
        for (int x = 0; x < 200; x++) text += at(f, x, y) == 14;
    EXPECT_GT(text, 50);
    // The same text printed from the top-left corner.
    Process* q = (Process*)calloc(1, sizeof(Process));
    TypedArray* frame = (TypedArray*)calloc(1, sizeof(TypedArray) + 480 * 270);
    *frame = TypedArray{UT_U8, 2, {0, 0}, 480, 270, 1};
    gfx_init_host_process(q, frame);
    memset(ta_data(frame), 1, 480 * 270);
    Process* prev = cproc;
    cproc = q;
    print_tesscii(q, "** system error 42 **\n", 22, 0, 14);
    cproc = prev;
    EXPECT_EQ(memcmp(ta_data(frame), f, 480 * 270), 0);
    mem_free_process(q);
    free(q);
    free(frame);
    poke_proc(get_process(1), 0, 0);
}

TEST_F(Boot, VideoOutShowsTheBootScreenUntilTheDesktopIsReady) {
    Process* wm = create_process_from_code("", "wm", "/system/wm.lua");
    ASSERT_NE(wm, nullptr);
    ASSERT_EQ(lua_in(wm, "W = userdata('u8', 480, 270) _map_ram(W, 0x10000) _set_draw_target(W) cls(5) pal()"), "");
    app.boot_clock_origin = 100;
    app.frame_counter = 100 + 16;  // the boot screen is blank: black
    VideoFrame* v = generate_video_out();
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(v->back_page[0], 0u);
    // 2.2 s have passed, but the desktop has not signalled: still the boot screen.
    app.frame_counter = 100 + 140;
    v = generate_video_out();
    EXPECT_EQ(app.boot_finished, 1);
    EXPECT_EQ(v->back_page[480 * 100 + 200], 0u);
    app.show_wm_video = 1;
    v = generate_video_out();
    EXPECT_EQ(v->back_page[480 * 100 + 200], system_palette[5]);
}
