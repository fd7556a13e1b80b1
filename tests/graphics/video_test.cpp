// Video out from the window manager's screen, and process video.
#include "gfx_fixture.h"
#include "graphics/graphics.h"
#include "graphics/video.h"
#include "kernel/boot.h"
#include "kernel/state.h"

class Video : public GfxTest {
protected:
    Process* wm = nullptr;  // pid 3 (the root is 1, the drawing process 2)

    void SetUp() override {
        GfxTest::SetUp();
        wm = create_process_from_code("", "wm", "/system/wm.lua");
        ASSERT_NE(wm, nullptr);
        ASSERT_EQ(wm->pid, 3u);
        // The desktop is up: video out shows the window manager's screen.
        app.boot_finished = 1;
        app.show_wm_video = 1;
    }
    // A 480 x 270 screen mapped at 0x10000 whose pixel (x, y) is (x + 3 y) & 63.
    void wm_screen() {
        ASSERT_EQ(lua_in(wm, "W = userdata('u8', 480, 270) _map_ram(W, 0x10000) _set_draw_target(W) "
                             "for y = 0, 269 do for x = 0, 479 do W:set(x, y, (x + 3 * y) & 63) end end "
                             "pal() poke2(0x5478, 480, 270)"),
                  "");
    }
    uint32_t rgb(Process* q, int i) { return (uint32_t)peek4_proc(q, 0x5000 + 4 * (uint32_t)i) & 0xFFFFFF; }
};

TEST_F(Video, FrameFromTheWindowManagersScreen) {
    wm_screen();
    ASSERT_EQ(lua_in(wm, "pal(5, 9, 1) pal(64 + 9, 0x123456, 2) poke(0x5400, 0x04)"), "");  // row 1 in bank 1
    VideoFrame* f = generate_video_out();
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(f->back_page[0], rgb(wm, 0));
    EXPECT_EQ(f->back_page[4], rgb(wm, 4));
    EXPECT_EQ(f->back_page[5], rgb(wm, 9));           // display colour 5 shows RGB entry 9
    EXPECT_EQ(f->back_page[480 + 2], 0x123456u);       // row 1: (2 + 3) = 5, bank 1 -> entry 64 + 9
    EXPECT_EQ(f->scanline_bank[1], 1);
    EXPECT_EQ(f->scanline_bank[0], 0);
    EXPECT_EQ(f->display_pal[64 + 5], 0x123456u);
    EXPECT_EQ(f->back_page[269 * 480 + 479], rgb(wm, (479 + 3 * 269) & 63));
    EXPECT_EQ(video_mode, 0);
}

TEST_F(Video, UntouchedScreenPagesShowBlack) {
    // Colour 0 shows RGB entry 1, so memory of zeros is not black.
    ASSERT_EQ(lua_in(wm, "pal() pal(0, 1, 1) poke(0x20000, 7)"), "");
    VideoFrame* f = generate_video_out();
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(f->back_page[0], 0u);
    EXPECT_EQ(f->back_page[0x10000], rgb(wm, 7));      // byte 0x20000
    EXPECT_EQ(f->back_page[0x10001], rgb(wm, 1));      // the rest of that page
    EXPECT_EQ(f->back_page[0x11000], 0u);              // page 0x21: nothing behind it
    EXPECT_EQ(wm->mem.page_len[0x10], 0);              // video out touched nothing
    EXPECT_EQ(wm->mem.page_len[0x21], 0);
}

TEST_F(Video, LowResolutionModesScaleTheTopLeft) {
    wm_screen();
    ASSERT_EQ(lua_in(wm, "poke(0x5400, 0x01) poke(0x547C, 3)"), "");  // row 0 in bank 1
    VideoFrame* f = generate_video_out();
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(video_mode, 3);
    for (int y : {0, 1, 2, 133, 269})
        for (int x : {0, 1, 2, 3, 239, 240, 478, 479})
            ASSERT_EQ(f->back_page[y * 480 + x], f->display_pal[f->scanline_bank[y] * 64 + ((x / 2 + 3 * (y / 2)) & 63)])
                << x << "," << y;
    EXPECT_EQ(f->scanline_bank[0], 1);
    EXPECT_EQ(f->scanline_bank[1], 1);
    EXPECT_EQ(f->scanline_bank[2], 0);
    ASSERT_EQ(lua_in(wm, "poke(0x547C, 4)"), "");
    f = generate_video_out();
    for (int y : {0, 2, 3, 89, 269})
        for (int x : {0, 2, 3, 159, 160, 479})
            ASSERT_EQ(f->back_page[y * 480 + x], f->display_pal[f->scanline_bank[y] * 64 + ((x / 3 + 3 * (y / 3)) & 63)]);
}

TEST_F(Video, HeldFrameAndBootRule) {
    wm_screen();
    ASSERT_EQ(lua_in(wm, "poke(0x547F, 2)"), "");
    EXPECT_EQ(generate_video_out(), nullptr);
    app.boot_finished = 0;
    app.boot_clock_origin = 0;
    app.frame_counter = 10;
    boot_get_time();  // the clock starts here
    video_update_boot_state();
    EXPECT_EQ(app.boot_finished, 0);
    app.frame_counter += 133;  // 2,207.8 ms
    video_update_boot_state();
    EXPECT_EQ(app.boot_finished, 1);
}

TEST_F(Video, ProcessVideo) {
    wm_screen();
    screen(100, 60);
    std::string pid = std::to_string(wm->pid);
    EXPECT_EQ(charge("_blit_process_video, " + pid + ", 0, 0, 100, 50"), 100 * 50 / 4 / 64);
    EXPECT_EQ(px(7, 2), (7 + 6) & 63);
    // Source origin, destination and the stride of the source's display width.
    EXPECT_EQ(lua("cls() poke2(0x5478, 0) return _blit_process_video(" + pid + ", 10, 2, 5, 5, 20, 30)"), "");
    EXPECT_EQ(px(20, 30), (10 + 6) & 63);
    EXPECT_EQ(px(19, 30), 0);
    ASSERT_EQ(lua_in(wm, "poke2(0x5478, 100)"), "");
    EXPECT_EQ(lua("cls() _blit_process_video(" + pid + ", 0, 0, 3, 3)"), "");
    EXPECT_EQ(px(0, 1), 100 % 64);  // the next row starts 100 bytes on
    // With a mask only bytes with a masked bit are copied.
    ASSERT_EQ(lua_in(wm, "poke(0x547D, 0x20)"), "");
    EXPECT_EQ(lua("cls(1) _blit_process_video(" + pid + ", 0, 0, 64, 1)"), "");
    EXPECT_EQ(px(31, 0), 1);
    EXPECT_EQ(px(32, 0), 32);
    EXPECT_EQ(charge("_blit_process_video, " + pid + ", 0, 0, 64, 8"), 64 * 8 / 4 / 8);
    // Bytes with nothing behind them are colour 8; a full unmasked screen is charged.
    ASSERT_EQ(lua_in(wm, "poke(0x547D, 0) poke2(0x5478, 480) _unmap_ram(W)"), "");
    EXPECT_EQ(lua("cls() _blit_process_video(" + pid + ")"), "");
    EXPECT_EQ(px(0, 0), 8);
    EXPECT_EQ(wm->mem.page_len[0x10], 0);
    EXPECT_EQ(charge("_blit_process_video, " + pid), 100 * 60 / 4 / 64);
    // A held frame: true and nothing copied; a source in error or none: nothing.
    ASSERT_EQ(lua_in(wm, "poke(0x547F, 2)"), "");
    EXPECT_EQ(lua("return _blit_process_video(" + pid + ")"), "true");
    wm->state = PROC_ERROR;
    EXPECT_EQ(lua("return _blit_process_video(" + pid + "), _blit_process_video(77), _blit_process_video(3.5)"),
              "nil, nil");
}
