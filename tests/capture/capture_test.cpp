// Screenshots, labels, GIF recordings and audio captures, driven through the
// program's signals and video out; files read back with PIL, giflib and QOI.
#include <gif_lib.h>
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "capture/fixture.h"
#include "graphics/gfx.h"
#include "graphics/memory.h"
#include "graphics/video.h"
#include "host/capture.h"
#include "kernel/process.h"
#include "kernel/state.h"
#include "lua.h"
#include "storage/host_disk.h"
#include "storage/pdisk.h"
#include "storage/png_buffer.h"
#include "support/harness.h"

namespace {

constexpr int W = 480, H = 270;

struct Params {
    int16_t x0 = 0, y0 = 0, w = 480, h = 270, scale = 1, label = 0, skip = 0, silent = 0;
};

void write_params(Process* p, uint32_t base, const Params& q, const std::string& name) {
    const int16_t v[8] = {q.x0, q.y0, q.w, q.h, q.scale, q.label, q.skip, q.silent};
    for (int i = 0; i < 8; i++) poke2_proc(p, base + 2 * i, (uint16_t)v[i]);
    for (int i = 0; i < CAPTURE_NAME_LEN; i++)
        poke_proc(p, CAPTURE_NAME + i, i < (int)name.size() ? (uint8_t)name[i] : 0);
}

class Capture : public ::testing::Test {
protected:
    void SetUp() override { boot_with_window_manager(); }
    void TearDown() override { harness_shutdown(); }

    Process* wm() { return get_process(3); }
    Process* prog() { return get_process(4); }

    // The window manager's screen: byte at (x, y) = f(x, y).
    void draw(const std::function<uint8_t(int, int)>& f) {
        std::vector<uint8_t> s(W * H);
        for (int y = 0; y < H; y++)
            for (int x = 0; x < W; x++) s[y * W + x] = f(x, y);
        mem_write_bytes(wm(), 0x10000, s.data(), W * H);
    }
    uint8_t* draw_state() { return mem_low_page(wm(), 5); }
    void set_bank(int row, int bank) {
        uint8_t& b = draw_state()[(DS_SCANLINES & 0xFFF) + row / 4];
        b = (uint8_t)((b & ~(3 << 2 * (row & 3))) | bank << 2 * (row & 3));
    }

    VideoFrame* frame() {
        VideoFrame* f = generate_video_out();
        EXPECT_NE(f, nullptr);
        return f;
    }
    void shoot(const Params& q, const std::string& name) {
        write_params(prog(), CAPTURE_SHOT_PARAMS, q, name);
        raise_signal(prog(), 21);
    }
    std::string desk(const std::string& name) { return desktop_folder() + "/" + name; }
};

// The RGB bytes of frame pixels (x0 + ox / s, y0 + oy / s), as a decoder gives them.
std::string expected_rgb(const uint32_t* px, int x0, int y0, int w, int h, int s, bool alpha) {
    std::string out;
    for (int oy = 0; oy < h * s; oy++)
        for (int ox = 0; ox < w * s; ox++) {
            uint32_t v = px[(y0 + oy / s) * W + x0 + ox / s];
            out += (char)(v >> 16);
            out += (char)(v >> 8);
            out += (char)v;
            if (alpha) out += (char)255;
        }
    return out;
}

TEST_F(Capture, ScreenshotsTakeTheNextFreeName) {
    draw([](int x, int y) { return (uint8_t)((x / 8 + y / 8) & 63); });
    for (int i = 0; i < 3; i++) {
        shoot({}, "shot");
        frame();
    }
    EXPECT_EQ(host_folder_names(desktop_folder()), (std::vector<std::string>{"shot.png", "shot_1.png", "shot_2.png"}));
    EXPECT_EQ(notifications(), (std::vector<std::string>{
                                   "captured 480x270 (x1) screenshot: /desktop/host/shot.png",
                                   "captured 480x270 (x1) screenshot: /desktop/host/shot_1.png",
                                   "captured 480x270 (x1) screenshot: /desktop/host/shot_2.png",
                               }));
    Decoded d = decode_image("png", desk("shot_2.png"));
    EXPECT_EQ(d.facts["size"], "480 270");
    ASSERT_EQ(d.raw.size(), (size_t)W * H * 4);
    EXPECT_EQ(d.raw, expected_rgb(video_frame.back_page, 0, 0, W, H, 1, true));
    // An independent look at one pixel: (9, 17) shows colour 3 of bank 0.
    uint32_t c = wm_colour(3);
    EXPECT_EQ(d.raw.substr((17 * W + 9) * 4, 3), std::string({(char)(c >> 16), (char)(c >> 8), (char)c}));
}

TEST_F(Capture, ScreenshotRegionsScaleAndModes) {
    draw([](int x, int y) { return (uint8_t)((x * 7 + y * 3) & 63); });
    struct Case {
        Params q;
        int mode;
        int x0, y0, w, h;  // the region of the frame as shown
    } cases[] = {
        {{10, 20, 240, 135, 2}, 0, 10, 20, 240, 135},   // a 480 x 270 picture of a quarter
        {{-7, 0, 1000, 5, 1}, 0, 0, 0, 480, 16},        // sizes clamped first, then the position
        {{470, 300, 3, 20, 9}, 0, 464, 250, 16, 20},    // scale at most 4
        {{0, 0, 240, 135, 1}, 3, 0, 0, 480, 270},       // mode 3: the whole enlarged frame
        {{100, 100, 100, 50, 1}, 4, 180, 120, 300, 150}, // mode 4: three times, kept inside
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.mode * 1000 + c.q.x0);
        draw_state()[DS_VIDEO_MODE & 0xFFF] = (uint8_t)c.mode;
        shoot(c.q, "region");
        frame();
        int s = std::min<int>(std::max<int>(c.q.scale, 1), 4);
        std::vector<std::string> n = notifications();
        ASSERT_EQ(n.size(), 1u);
        EXPECT_EQ(n[0], "captured " + std::to_string(c.w) + "x" + std::to_string(c.h) + " (x" + std::to_string(s) +
                            ") screenshot: /desktop/host/region.png");
        Decoded d = decode_image("png", desk("region.png"));
        EXPECT_EQ(d.facts["size"], std::to_string(c.w * s) + " " + std::to_string(c.h * s));
        EXPECT_TRUE(d.raw == expected_rgb(video_frame.back_page, c.x0, c.y0, c.w, c.h, s, true));
        remove(desk("region.png").c_str());
    }
}

TEST_F(Capture, ScreenshotWaitsForItsSkipFramesAndSilentOnesSayNothing) {
    draw([](int, int) { return (uint8_t)5; });
    Params q;
    q.skip = 2;
    q.silent = 1;
    shoot(q, "later");
    frame();
    frame();
    EXPECT_FALSE(host_file_exists(desk("later.png")));
    frame();
    EXPECT_TRUE(host_file_exists(desk("later.png")));
    EXPECT_TRUE(notifications().empty());
    // A held frame is no frame: the screenshot waits for the next one made.
    shoot({}, "held");
    draw_state()[DS_SYSTEM_BITS & 0xFFF] = 2;
    EXPECT_EQ(generate_video_out(), nullptr);
    EXPECT_FALSE(host_file_exists(desk("held.png")));
    draw_state()[DS_SYSTEM_BITS & 0xFFF] = 0;
    frame();
    EXPECT_TRUE(host_file_exists(desk("held.png")));
}

TEST_F(Capture, LabelIsAQoiPictureOfTheWholeFrame) {
    draw([](int x, int y) { return (uint8_t)((x ^ y) & 63); });
    ASSERT_EQ(pmkdir("/ram/cart"), 0);
    Params q{5, 5, 20, 20, 3, 1, 0, 1};  // label wins over the region, the scale and silence
    draw_state()[DS_VIDEO_MODE & 0xFFF] = 3;
    shoot(q, "ignored");
    frame();
    EXPECT_EQ(notifications(), std::vector<std::string>{"captured label (/ram/cart/label.qoi)"});
    std::string qoi = read_vfs_file("/ram/cart/label.qoi");
    unsigned w = 0, h = 0;
    unsigned char* px = qoi_decode_rgba((const uint8_t*)qoi.data(), qoi.size(), &w, &h, 1 << 20);
    ASSERT_NE(px, nullptr);
    EXPECT_EQ(w, 480u);
    EXPECT_EQ(h, 270u);
    EXPECT_EQ(qoi[13], 1) << "colour space";
    EXPECT_TRUE(std::string((char*)px, W * H * 4) == expected_rgb(video_frame.back_page, 0, 0, W, H, 1, true));
    free(px);
    EXPECT_TRUE(host_folder_names(desktop_folder()).empty());
}

TEST_F(Capture, NamesFromMemoryAreOnePlainPathSegment) {
    draw([](int, int) { return (uint8_t)1; });
    std::string long_name(64, 'n');  // all 64 bytes, no NUL
    struct Case {
        std::string name, file;
    } cases[] = {
        {"ok_name-1.x", "ok_name-1.x.png"}, {long_name, long_name + ".png"}, {"../up", "screenshot.png"},
        {".hidden", "screenshot.png"},      {"-x", "screenshot.png"},        {"a/b", "screenshot.png"},
        {"", "screenshot.png"},             {"a..b", "screenshot.png"},      {"sp ace", "screenshot.png"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        shoot({}, c.name);
        frame();
        EXPECT_EQ(host_folder_names(desktop_folder()), std::vector<std::string>{c.file});
        remove(desk(c.file).c_str());
    }
}

TEST_F(Capture, WithEveryNameTakenNothingIsWritten) {
    draw([](int, int) { return (uint8_t)1; });
    for (int i = 0; i <= 255; i++) {
        std::string suffix = i ? "_" + std::to_string(i) : "";
        write_host_file(desk("full" + suffix + ".png"), "x");
        write_host_file(desk("full" + suffix + ".gif"), "x");
    }
    shoot({}, "full");
    frame();
    EXPECT_EQ(notifications(), std::vector<std::string>{"could not store screenshot"});
    EXPECT_EQ(host_folder_names(desktop_folder()).size(), 512u);

    write_params(prog(), CAPTURE_GIF_PARAMS, {}, "full");
    testing::internal::CaptureStdout();
    raise_signal(prog(), 18);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "** EGifOpenFileName error 1: p_path:\n");
    EXPECT_EQ(app.gif_recording, 0);
}

// ---- GIF ----

struct SlurpedGif {
    GifFileType* g = nullptr;
    explicit SlurpedGif(const std::string& path) {
        int err = 0;
        g = DGifOpenFileName(path.c_str(), &err);
        if (g && DGifSlurp(g) != GIF_OK) {
            DGifCloseFile(g, &err);
            g = nullptr;
        }
    }
    ~SlurpedGif() {
        int err;
        if (g) DGifCloseFile(g, &err);
    }
    GraphicsControlBlock gcb(int i) const {
        GraphicsControlBlock b{};
        DGifSavedExtensionToGCB(g, i, &b);
        return b;
    }
};

class Recording : public Capture {
protected:
    void start(const Params& q, const std::string& name) {
        write_params(prog(), CAPTURE_GIF_PARAMS, q, name);
        raise_signal(prog(), 18);
        ASSERT_EQ(app.gif_recording, 1);
    }
    void stop() { raise_signal(prog(), 19); }
    // RGB of the region of the screen through the window manager's palette
    // (bank of each row as given), scaled.
    std::string shown(const std::vector<uint8_t>& screen, const std::vector<int>& banks, const Params& q,
                      const std::function<uint32_t(int)>& colour) {
        std::string out;
        for (int oy = 0; oy < q.h * q.scale; oy++)
            for (int ox = 0; ox < q.w * q.scale; ox++) {
                int r = q.y0 + oy / q.scale, c = q.x0 + ox / q.scale;
                uint32_t v = colour(64 * banks[r] + (screen[r * W + c] & 63));
                out += (char)(v >> 16);
                out += (char)(v >> 8);
                out += (char)v;
            }
        return out;
    }
    std::vector<uint8_t> screen() {
        std::vector<uint8_t> s(W * H);
        mem_read_bytes(wm(), 0x10000, s.data(), W * H);
        return s;
    }
};

TEST_F(Recording, EverySecondFrameWithItsPaletteLoopAndDelay) {
    Params q{8, 4, 40, 20, 2};
    start(q, "rec");
    std::vector<int> banks(H, 0);
    std::string expected;
    for (int f = 0; f < 10; f++) {
        // Half the region changes every frame; the other half stays.
        draw([f](int x, int y) { return (uint8_t)(x < 28 ? (x + y + f) & 63 : 9); });
        // From the sixth frame on the display colours change: those frames carry their own map.
        if (f == 5) {
            uint8_t* ds = draw_state();
            for (int i = 0; i < 64; i++) ds[(DS_DISPLAY_PAL & 0xFFF) + i] = (uint8_t)(63 - i);
        }
        frame();
        if (f % 2 == 0)
            expected += shown(screen(), banks, q, [f](int j) { return wm_colour(f >= 5 ? (j & 0xC0) | (63 - (j & 63)) : j); });
    }
    EXPECT_EQ(app.gif_frame_count, 10);
    stop();
    EXPECT_EQ(app.gif_recording, 0);
    EXPECT_EQ(notifications(), std::vector<std::string>{"captured 5 frame gif 40x20 (x2): /desktop/host/rec.gif"});
    Decoded d = decode_image("gif", desk("rec.gif"));
    EXPECT_EQ(d.facts["size"], "80 40");
    EXPECT_EQ(d.facts["frames"], "5");
    EXPECT_EQ(d.facts["loop"], "0");
    EXPECT_EQ(d.facts["durations"], "30 30 30 30 30");
    EXPECT_TRUE(d.raw == expected);

    SlurpedGif gif(desk("rec.gif"));
    ASSERT_NE(gif.g, nullptr);
    EXPECT_EQ(read_host_file(desk("rec.gif")).substr(0, 6), "GIF89a");
    ASSERT_EQ(gif.g->ImageCount, 5);
    ASSERT_NE(gif.g->SColorMap, nullptr);
    EXPECT_EQ(gif.g->SColorMap->ColorCount, 256);
    const SavedImage& first = gif.g->SavedImages[0];
    ASSERT_GE(first.ExtensionBlockCount, 2);
    EXPECT_EQ(first.ExtensionBlocks[0].Function, APPLICATION_EXT_FUNC_CODE);
    EXPECT_EQ(std::string((char*)first.ExtensionBlocks[0].Bytes, 11), "NETSCAPE2.0");
    for (int i = 0; i < 5; i++) {
        SCOPED_TRACE(i);
        EXPECT_EQ(gif.g->SavedImages[i].ImageDesc.ColorMap != nullptr, i >= 3);
        GraphicsControlBlock b = gif.gcb(i);
        EXPECT_EQ(b.DelayTime, 3);
        EXPECT_EQ(b.TransparentColor, 255);
        // The unchanging half of later frames is transparent.
        if (i > 0 && i != 3) EXPECT_EQ(gif.g->SavedImages[i].RasterBits[79], 255);
    }
}

TEST_F(Recording, UnchangedScreensAreTransparentUnlessDisplayColour255IsShown) {
    Params q{0, 0, 16, 16, 1};
    draw([](int x, int y) { return (uint8_t)(x + y); });
    start(q, "still");
    for (int f = 0; f < 6; f++) frame();
    // Row 3 switches to bank 3 with colour 63 in it: index 255 is a real colour now.
    set_bank(3, 3);
    mem_write_bytes(wm(), 0x10000 + 3 * W + 15, (const uint8_t*)"\x3f", 1);
    for (int f = 0; f < 4; f++) frame();
    stop();
    SlurpedGif gif(desk("still.gif"));
    ASSERT_NE(gif.g, nullptr);
    ASSERT_EQ(gif.g->ImageCount, 5);
    for (int i = 0; i < 5; i++) {
        SCOPED_TRACE(i);
        const GifByteType* px = gif.g->SavedImages[i].RasterBits;
        GraphicsControlBlock b = gif.gcb(i);
        if (i == 0) {
            EXPECT_EQ(b.TransparentColor, 255);
            EXPECT_EQ(px[16 * 2 + 5], 7);
        } else if (i < 3) {
            EXPECT_EQ(std::vector<GifByteType>(px, px + 256), std::vector<GifByteType>(256, 255));
        } else {
            EXPECT_EQ(b.TransparentColor, NO_TRANSPARENT_COLOR);
            EXPECT_EQ(px[16 * 3 + 15], 255);
            EXPECT_EQ(px[16 * 3 + 14], 3 * 64 + 17);
            EXPECT_EQ(px[16 * 2 + 5], 7);
        }
    }
    Decoded d = decode_image("gif", desk("still.gif"));
    EXPECT_EQ(d.facts["frames"], "5");
}

TEST_F(Recording, ModeThreeRecordsTheScreenWithItsOwnRowBanks) {
    Params q{0, 0, 32, 16, 1};
    draw([](int x, int y) { return (uint8_t)(x + 2 * y); });
    for (int r = 0; r < 16; r++) set_bank(r, r % 4);
    draw_state()[DS_VIDEO_MODE & 0xFFF] = 3;
    start(q, "mode3");
    frame();
    stop();
    std::vector<int> banks(H, 0);
    for (int r = 0; r < 16; r++) banks[r] = r % 4;
    Decoded d = decode_image("gif", desk("mode3.gif"));
    EXPECT_EQ(d.facts["frames"], "1");
    EXPECT_TRUE(d.raw == shown(screen(), banks, q, wm_colour));
}

TEST_F(Recording, ASecondStartARebootOrAnEmptyRecordingLeaveNoOpenFile) {
    draw([](int x, int) { return (uint8_t)(x & 63); });
    start({}, "first");
    frame();
    start({}, "second");  // finishes the first
    EXPECT_EQ(notifications(), std::vector<std::string>{"captured 1 frame gif 480x270 (x1): /desktop/host/first.gif"});
    frame();
    frame();
    frame();
    capture_finish_all();  // as a reboot does
    EXPECT_EQ(app.gif_recording, 0);
    EXPECT_EQ(notifications(), std::vector<std::string>{"captured 2 frame gif 480x270 (x1): /desktop/host/second.gif"});
    EXPECT_EQ(decode_image("gif", desk("first.gif")).facts["frames"], "1");
    EXPECT_EQ(decode_image("gif", desk("second.gif")).facts["frames"], "2");

    start({}, "empty");
    stop();
    EXPECT_EQ(notifications(), std::vector<std::string>{"**error: could not write gif\n"});
    // Neither the empty recording nor any half-written file is left.
    EXPECT_EQ(host_folder_names(desktop_folder()), (std::vector<std::string>{"first.gif", "second.gif"}));
}

TEST_F(Recording, ARecordingEndsByItselfAtItsLength) {
    config.gif_len = 1;
    start({0, 0, 32, 16, 1}, "short");
    for (int f = 0; f < 70; f++) {
        draw([f](int x, int) { return (uint8_t)((x + f) & 63); });
        frame();
        if (f == 58) EXPECT_EQ(app.gif_recording, 1);
    }
    config.gif_len = GIF_LEN_DEFAULT;
    // One second of frames: 60 made, every second one recorded.
    EXPECT_EQ(app.gif_recording, 0);
    EXPECT_EQ(notifications(), std::vector<std::string>{"captured 30 frame gif 32x16 (x1): /desktop/host/short.gif"});
    EXPECT_EQ(decode_image("gif", desk("short.gif")).facts["frames"], "30");
    stop();  // nothing left to stop
    EXPECT_TRUE(notifications().empty());
}

TEST_F(Recording, AOneMinuteRecordingIsKeptWhole) {
    ASSERT_EQ(config.gif_len, GIF_LEN_DEFAULT);
    start({100, 50, 64, 32, 2}, "minute");
    std::vector<uint8_t> bar(64);
    for (int f = 0; f < 3599; f++) {
        // A bar that moves down the region.
        for (int x = 0; x < 64; x++) bar[x] = (uint8_t)((x + f) & 63);
        mem_write_bytes(wm(), 0x10000 + (50 + f % 32) * W + 100, bar.data(), 64);
        frame();
    }
    EXPECT_EQ(app.gif_recording, 1);
    frame();  // the default length is a minute of frames
    EXPECT_EQ(app.gif_recording, 0);
    EXPECT_EQ(notifications(),
              std::vector<std::string>{"captured 1800 frame gif 64x32 (x2): /desktop/host/minute.gif"});
    Decoded d = decode_image("gif", desk("minute.gif"));
    EXPECT_EQ(d.facts["size"], "128 64");
    EXPECT_EQ(d.facts["frames"], "1800");
}

TEST_F(Recording, ARecordingEndsBeforeAFrameWouldPassTheHostDiskCap) {
    host_disk_set_limit_mb((host_disk_added() >> 20) + 2);
    int64_t room = host_disk_limit() - host_disk_added();
    start({}, "noise");
    uint32_t seed = 1;
    int made = 0;
    for (; made < 100 && app.gif_recording; made++) {
        // Noise: next to nothing to compress.
        draw([&seed](int, int) { return (uint8_t)((seed = seed * 1103515245 + 12345) >> 16 & 63); });
        frame();
    }
    EXPECT_EQ(app.gif_recording, 0) << made;
    std::string gif = read_host_file(desk("noise.gif"));
    EXPECT_LE((int64_t)gif.size(), room);
    Decoded d = decode_image("gif", desk("noise.gif"));
    int frames = atoi(d.facts["frames"].c_str());
    EXPECT_GE(frames, 2);
    std::vector<std::string> n = notifications();
    ASSERT_EQ(n.size(), 2u);
    EXPECT_EQ(n[0].rfind("** host disk limit reached: /desktop/host/noise.gif ends here", 0), 0u) << n[0];
    EXPECT_EQ(n[1], "captured " + std::to_string(frames) + " frame gif 480x270 (x1): /desktop/host/noise.gif");
    EXPECT_EQ(host_disk_limit() - host_disk_added(), room - host_disk_blocks((int64_t)gif.size()));
    EXPECT_EQ(host_folder_names(desktop_folder()), std::vector<std::string>{"noise.gif"});
    host_disk_set_limit_mb(HOST_DISK_DEFAULT_MB);
}

// ---- audio ----

std::string pattern(int64_t n, int seed) {
    std::string s((size_t)n, 0);
    for (int64_t i = 0; i < n; i++) s[(size_t)i] = (char)((i * 131 + seed + (i >> 9)) & 255);
    return s;
}

// Plays bytes to the capture in device blocks, a frame's drain every frames_every blocks
// (never when 0).
void play(const std::string& bytes, int block, int frames_every) {
    for (size_t at = 0, i = 1; at < bytes.size(); at += (size_t)block, i++) {
        size_t n = std::min<size_t>((size_t)block, bytes.size() - at);
        audio_capture_append((const uint8_t*)bytes.data() + at, (int)n);
        if (frames_every && i % (size_t)frames_every == 0) audio_capture_drain();
    }
}

// The one hidden file a capture streams into, beside its name.
std::string streamed_file() {
    for (const std::string& n : host_folder_names(desktop_folder()))
        if (n.rfind(".orvtmp_", 0) == 0) return desktop_folder() + "/" + n;
    return "";
}

TEST_F(Capture, AudioCaptureStreamsEveryPlayedBlockToItsFile) {
    uint64_t before = get_total_buffer_allocation();
    raise_signal(prog(), 16);
    EXPECT_EQ(app.audio_capture_on, 1);
    std::string played = pattern(441000, 1);
    play(played, 2048, 8);
    // The frames have written what the device played so far; the host holds only its ring.
    EXPECT_TRUE(read_host_file(streamed_file()) == played);
    EXPECT_EQ(get_total_buffer_allocation(), before + app.audio_capture_buffer->capacity);
    raise_signal(prog(), 16);
    EXPECT_EQ(app.audio_capture_on, 0);
    EXPECT_EQ(get_total_buffer_allocation(), before);
    EXPECT_EQ(notifications(), std::vector<std::string>{"captured 2.500 seconds: /desktop/host/audio.raw"});
    EXPECT_TRUE(read_host_file(desk("audio.raw")) == played);

    // A minute, far longer than the ring, in blocks that don't divide it: the same bytes in the same order.
    raise_signal(prog(), 16);
    played = pattern(44100 * 4 * 60, 2);
    play(played, 2052, 16);
    raise_signal(prog(), 16);
    EXPECT_EQ(notifications(), std::vector<std::string>{"captured 60.000 seconds: /desktop/host/audio_1.raw"});
    EXPECT_TRUE(read_host_file(desk("audio_1.raw")) == played);
    EXPECT_EQ(host_folder_names(desktop_folder()), (std::vector<std::string>{"audio.raw", "audio_1.raw"}));
}

TEST_F(Capture, AudioTheRingCouldNotHoldIsSilenceOfTheSameLength) {
    raise_signal(prog(), 16);
    // Twelve seconds without a frame: the ring keeps its first whole blocks.
    std::string played = pattern(44100 * 4 * 12, 5);
    play(played, 2048, 0);
    raise_signal(prog(), 16);
    std::string got = read_host_file(desk("audio.raw"));
    size_t kept = (size_t)AUDIO_CAPTURE_RING / 2048 * 2048;
    ASSERT_EQ(got.size(), played.size());
    EXPECT_TRUE(got.compare(0, kept, played, 0, kept) == 0);
    EXPECT_TRUE(got.substr(kept) == std::string(played.size() - kept, '\0'));
}

TEST_F(Capture, AudioCaptureEndsAtTheHostDiskCap) {
    host_disk_set_limit_mb((host_disk_added() >> 20) + 2);
    int64_t room = host_disk_limit() - host_disk_added();
    raise_signal(prog(), 16);
    std::string played = pattern(3 << 20, 6);
    const int chunk = 2048 * 8;
    play(played, 2048, 8);
    EXPECT_EQ(app.audio_capture_on, 0);
    std::string got = read_host_file(desk("audio.raw"));
    EXPECT_LE((int64_t)got.size(), room);
    EXPECT_GT((int64_t)got.size(), room - chunk - HOST_DISK_BLOCK);
    EXPECT_TRUE(played.compare(0, got.size(), got) == 0);
    std::vector<std::string> n = notifications();
    ASSERT_EQ(n.size(), 2u);
    EXPECT_EQ(n[0].rfind("** host disk limit reached: /desktop/host/audio.raw ends here", 0), 0u) << n[0];
    char want[64];
    snprintf(want, sizeof want, "captured %3.3f seconds: /desktop/host/audio.raw", got.size() / 176400.0);
    EXPECT_EQ(n[1], want);
    // What it took is what the file holds.
    EXPECT_EQ(host_disk_limit() - host_disk_added(), room - host_disk_blocks((int64_t)got.size()));
    host_disk_set_limit_mb(HOST_DISK_DEFAULT_MB);
}

// Without a host desktop (here a RAM folder at /desktop/host) a capture streams into the
// host's temporary folder and is copied to its RAM file at its end when RAM files can hold
// it. Whenever nothing can be kept, the person who captured is told.
TEST_F(Capture, AudioWithoutAHostDesktopIsKeptInRamOrSaysWhyNot) {
    for (int i = pmounts - 1; i >= 0; i--)
        if (!strcmp((const char*)pmount[i].point->bytes, "/desktop/host")) remove_mount_at(i, 0);
    ASSERT_EQ(mount_ram_folder("/desktop/host"), 0);
    const char* saved = getenv("TMPDIR");
    std::string saved_tmp = saved ? saved : "";
    char dir[] = "/tmp/orv_capture_XXXXXX";
    ASSERT_TRUE(mkdtemp(dir));
    std::string tmp = dir;
    setenv("TMPDIR", tmp.c_str(), 1);

    raise_signal(prog(), 16);
    std::string played = pattern(176400, 7);
    play(played, 2048, 8);
    raise_signal(prog(), 16);
    EXPECT_EQ(notifications(), std::vector<std::string>{"captured 1.000 seconds: /desktop/host/audio.raw"});
    EXPECT_TRUE(read_vfs_file("/desktop/host/audio.raw") == played);
    EXPECT_EQ(host_folder_names(tmp), std::vector<std::string>{});

    // No file can be made for it: no capture starts, and that is said at once.
    setenv("TMPDIR", (tmp + "/missing").c_str(), 1);
    raise_signal(prog(), 16);
    EXPECT_EQ(app.audio_capture_on, 0);
    EXPECT_EQ(notifications(), std::vector<std::string>{"could not store audio capture"});

    // Longer than RAM files can hold: not kept, and said so with the reason.
    setenv("TMPDIR", tmp.c_str(), 1);
    raise_signal(prog(), 16);
    const std::string block(65536, 'a');
    for (int64_t done = 0, i = 1; done <= RAM_FILES_LIMIT; done += (int64_t)block.size(), i++) {
        audio_capture_append((const uint8_t*)block.data(), (int)block.size());
        if (i % 16 == 0) audio_capture_drain();
    }
    raise_signal(prog(), 16);
    EXPECT_EQ(notifications(), std::vector<std::string>{"could not store audio capture: 1522.114 seconds are more "
                                                        "than RAM files hold (256 MB)"});
    EXPECT_EQ(read_vfs_file("/desktop/host/audio_1.raw"), "");
    EXPECT_EQ(host_folder_names(tmp), std::vector<std::string>{});

    if (saved) setenv("TMPDIR", saved_tmp.c_str(), 1);
    else unsetenv("TMPDIR");
    rmdir(dir);
}

TEST_F(Capture, RebootWritesTheAudioCapture) {
    raise_signal(prog(), 16);
    std::string played = pattern(17640, 3);
    audio_capture_append((const uint8_t*)played.data(), (int)played.size());
    capture_finish_all();
    EXPECT_EQ(app.audio_capture_on, 0);
    EXPECT_EQ(app.audio_capture_buffer, nullptr);
    EXPECT_TRUE(read_host_file(desk("audio.raw")) == played);
    // Nothing is appended while capture is off.
    audio_capture_append((const uint8_t*)played.data(), 4);
    EXPECT_EQ(app.audio_capture_buffer, nullptr);
}

// An exit from inside the file system (here its fatal "no mount" path) runs the exit
// handler with the file system unusable: the capture streamed beside its name takes
// the name chosen at its start without asking the file system again; a name taken
// since is left alone, and a capture in the temporary folder is dropped.
TEST_F(Capture, AudioCaptureAtExitNeedsNoFileSystem) {
    std::string played = pattern(17640, 9);
    auto capture_then = [&](const std::function<void()>& end) {
        raise_signal(prog(), 16);
        audio_capture_append((const uint8_t*)played.data(), (int)played.size());
        end();
    };
    auto fatal_in_the_file_system = [] {
        pmounts = 0;
        pdisk_file_exists("/desktop/host/anything");
    };
    EXPECT_EXIT(capture_then(fatal_in_the_file_system), ::testing::ExitedWithCode(0), "");
    EXPECT_EQ(host_folder_names(desktop_folder()), std::vector<std::string>{"audio.raw"});
    EXPECT_TRUE(read_host_file(desk("audio.raw")) == played);

    EXPECT_EXIT(capture_then([&] {
                    write_host_file(desk("audio_1.raw"), "kept");
                    exit(0);
                }),
                ::testing::ExitedWithCode(0), "");
    EXPECT_EQ(host_folder_names(desktop_folder()), (std::vector<std::string>{"audio.raw", "audio_1.raw"}));
    EXPECT_EQ(read_host_file(desk("audio_1.raw")), "kept");

    char dir[] = "/tmp/orv_capture_XXXXXX";
    ASSERT_TRUE(mkdtemp(dir));
    EXPECT_EXIT(
        {
            for (int i = pmounts - 1; i >= 0; i--)
                if (!strcmp((const char*)pmount[i].point->bytes, "/desktop/host")) remove_mount_at(i, 0);
            mount_ram_folder("/desktop/host");
            setenv("TMPDIR", dir, 1);
            capture_then(fatal_in_the_file_system);
        },
        ::testing::ExitedWithCode(0), "");
    EXPECT_EQ(host_folder_names(dir), std::vector<std::string>{});
    rmdir(dir);
}

// Fatal ends of the program: the captures running are finished as at an
// ordinary exit, and no hidden half-written file is left on the desktop.
TEST_F(Recording, FatalEndsStillFinishTheCaptures) {
    draw([](int x, int y) { return (uint8_t)((x + y) & 63); });
    std::string played = pattern(17640, 4);
    EXPECT_EXIT(
        {
            start({}, "crash");
            frame();
            frame();
            frame();
            raise_signal(prog(), 16);
            audio_capture_append((const uint8_t*)played.data(), (int)played.size());
            // The window manager fails: the program ends.
            lua_pushnil(wm()->L);
            lua_setglobal(wm()->L, "flip");
            run_process_slice(wm(), 1.0);
        },
        ::testing::ExitedWithCode(0), "");
    EXPECT_EQ(host_folder_names(desktop_folder()), (std::vector<std::string>{"audio.raw", "crash.gif"}));
    EXPECT_EQ(decode_image("gif", desk("crash.gif")).facts["frames"], "2");
    EXPECT_TRUE(read_host_file(desk("audio.raw")) == played);

    // Any other end by exit: the frames recorded are kept; a recording
    // without any leaves nothing.
    EXPECT_EXIT(
        {
            start({}, "ended");
            frame();
            orvanta_terminate(1);
        },
        ::testing::ExitedWithCode(1), "");
    EXPECT_EXIT(
        {
            start({}, "nothing");
            orvanta_terminate(1);
        },
        ::testing::ExitedWithCode(1), "");
    EXPECT_EQ(host_folder_names(desktop_folder()),
              (std::vector<std::string>{"audio.raw", "crash.gif", "ended.gif"}));
    EXPECT_EQ(decode_image("gif", desk("ended.gif")).facts["frames"], "1");
}

}  // namespace
