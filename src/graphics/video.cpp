// Video out (the window manager's screen as the 32-bit video frame) and
// process video (_blit_process_video).
#include "graphics/video.h"

#include <algorithm>
#include <cstring>

#include "graphics/gfx.h"
#include "graphics/gfx_api.h"
#include "graphics/graphics.h"
#include "host/capture.h"
#include "host/host.h"
#include "kernel/boot.h"
#include "kernel/state.h"
#include "lua.h"

int32_t video_mode;
VideoFrame video_frame = {{}, {}, {}, VIDEO_WIDTH, VIDEO_HEIGHT};

void video_update_boot_state() {
    if (app.boot_finished || !get_process(3) || boot_get_time() < 2200) return;
    app.boot_finished = 1;
    tolo_debug("@@ finished_boot_sequence\n");
}

// One screen row through the colour table: bytes with nothing behind them are black.
static void convert_row(const Process* src, int r, int n, const uint32_t* __restrict lut, uint32_t* __restrict out) {
    uint32_t addr = 0x10000 + VIDEO_WIDTH * (uint32_t)r;
    for (int x = 0; x < n;) {
        int32_t avail;
        const uint8_t* b = mem_view(src, addr + (uint32_t)x, &avail);
        int k = std::min(avail, n - x);
        if (b)
            for (int i = 0; i < k; i++) out[x + i] = lut[b[i] & 63];
        else
            std::fill(out + x, out + x + k, 0u);
        x += k;
    }
}

static void make_frame(Process* src, VideoFrame& f) {
    const uint8_t* ds = mem_low_page(src, 5);
    uint32_t rgb[256];
    memcpy(rgb, ds + (DS_RGB_PAL & 0xFFF), sizeof rgb);
    const uint8_t* dpal = ds + (DS_DISPLAY_PAL & 0xFFF);
    uint32_t lut[256];  // a copy the row loops can keep apart from the frame
    for (int j = 0; j < 256; j++) f.display_pal[j] = lut[j] = rgb[(j & 0xC0) | (dpal[j & 63] & 63)] & 0xFFFFFF;
    int32_t bank[VIDEO_HEIGHT];
    for (int r = 0; r < VIDEO_HEIGHT; r++) bank[r] = (ds[(DS_SCANLINES & 0xFFF) + r / 4] >> (2 * (r & 3))) & 3;
    video_mode = ds[DS_VIDEO_MODE & 0xFFF];
    // The recorder reads the window manager's screen as it is: it takes the banks before scaling.
    update_gif_recording(f.display_pal, bank);
    // Modes 3 and 4 show the top-left 240 x 135 or 160 x 90 pixels scaled by 2
    // or 3: output (x, y) is source (x / k, y / k), in the bank of row y / k.
    int k = video_mode == 3 ? 2 : video_mode == 4 ? 3 : 1;
    uint32_t src_row[VIDEO_WIDTH];
    for (int sr = 0; sr < VIDEO_HEIGHT / k; sr++) {
        uint32_t* first = f.back_page + sr * k * VIDEO_WIDTH;
        const uint32_t* l = lut + 64 * bank[sr];
        if (k == 1) {
            convert_row(src, sr, VIDEO_WIDTH, l, first);
        } else {
            convert_row(src, sr, VIDEO_WIDTH / k, l, src_row);
            for (int x = 0, i = 0; x < VIDEO_WIDTH / k; x++)
                for (int j = 0; j < k; j++) first[i++] = src_row[x];
        }
        for (int j = 1; j < k; j++) memcpy(first + j * VIDEO_WIDTH, first, VIDEO_WIDTH * sizeof(uint32_t));
    }
    for (int y = 0; y < VIDEO_HEIGHT; y++) f.scanline_bank[y] = bank[y / k];
    update_screenshot(f.back_page, video_mode);
}

VideoFrame* generate_video_out() {
    video_update_boot_state();
    Process* src = nullptr;
    if (app.boot_finished && app.show_wm_video) src = get_process(3);
    else src = draw_boot();
    // Until the boot screen draws, the window manager's screen stands in for it.
    if (!src) src = get_process(3);
    if (!src) {
        memset(video_frame.back_page, 0, sizeof video_frame.back_page);
        memset(video_frame.display_pal, 0, sizeof video_frame.display_pal);
        memset(video_frame.scanline_bank, 0, sizeof video_frame.scanline_bank);
        return &video_frame;
    }
    if (mem_peek_quiet(src, DS_SYSTEM_BITS) & 2) return nullptr;
    make_frame(src, video_frame);
    return &video_frame;
}

int64_t blit_from_ram(Process* src, uint32_t base, const Gfx& g, int64_t sx, int64_t sy, int64_t dx, int64_t dy,
                      int64_t w, int64_t h, uint8_t mask, int64_t stride) {
    if (w <= 0 || h <= 0) return 0;
    int64_t x0 = std::max<int64_t>(dx, g.l), y0 = std::max<int64_t>(dy, g.t);
    int64_t x1 = std::min<int64_t>(sat_add(dx, w), g.r), y1 = std::min<int64_t>(sat_add(dy, h), g.b);
    if (x0 >= x1 || y0 >= y1) return 0;
    // Source addresses wrap on the 24-bit space like every other access.
    uint64_t sxa = (uint64_t)sx + (uint64_t)(x0 - dx), sya = (uint64_t)sy + (uint64_t)(y0 - dy);
    int64_t cw = x1 - x0, ch = y1 - y0;
    const uint64_t mask8 = 0x0101010101010101ULL * mask;
    for (int64_t row = 0; row < ch; row++) {
        uint32_t addr = (uint32_t)((uint64_t)base + sxa + (uint64_t)stride * (sya + (uint64_t)row)) & ADDR_MASK;
        uint8_t* d = g.pix + (y0 + row) * g.w + x0;
        for (int64_t x = 0; x < cw;) {
            int32_t avail;
            const uint8_t* b = mem_view(src, (addr + (uint32_t)x) & ADDR_MASK, &avail);
            int64_t n = std::min<int64_t>(avail, cw - x);
            if (!b) {
                memset(d + x, 8, (size_t)n);
            } else if (!mask) {
                memmove(d + x, b, (size_t)n);
            } else {
                // Eight bytes at a time: each byte with a masked bit replaces the destination's.
                int64_t i = 0;
                for (; i + 8 <= n; i += 8) {
                    uint64_t v, o;
                    memcpy(&v, b + i, 8);
                    uint64_t t = v & mask8;
                    if (!t) continue;
                    uint64_t set = ((((t & 0x7F7F7F7F7F7F7F7FULL) + 0x7F7F7F7F7F7F7F7FULL) | t) >> 7) & 0x0101010101010101ULL;
                    uint64_t sel = set * 0xFF;
                    memcpy(&o, d + x + i, 8);
                    o = (v & sel) | (o & ~sel);
                    memcpy(d + x + i, &o, 8);
                }
                for (; i < n; i++)
                    if (b[i] & mask) d[x + i] = b[i];
            }
            x += n;
        }
    }
    return cw * ch / 4;
}

int lua54_blit_process_video(lua_State* L) {
    Process* p = cproc;
    if (!p || !p->draw.target) return 0;
    int ok = 0;
    lua_Integer pid = lua_tointegerx(L, 1, &ok);
    Process* s = ok ? get_process((uint64_t)pid) : nullptr;
    if (!s || s->state == PROC_ERROR) return 0;
    if (mem_peek_quiet(s, DS_SYSTEM_BITS) & 2) {
        lua_pushboolean(L, 1);
        return 1;
    }
    int16_t dw = (int16_t)(mem_peek_quiet(s, DS_DISPLAY_W) | mem_peek_quiet(s, DS_DISPLAY_W + 1) << 8);
    int16_t dh = (int16_t)(mem_peek_quiet(s, DS_DISPLAY_H) | mem_peek_quiet(s, DS_DISPLAY_H + 1) << 8);
    uint8_t mask = mem_peek_quiet(s, DS_PV_MASK);
    Gfx g;
    gfx_begin(g, p, false);
    int64_t cost = blit_from_ram(s, 0x10000, g, q64_intp(L, 2, 0), q64_intp(L, 3, 0), q64_intp(L, 6, 0),
                                 q64_intp(L, 7, 0), q64_intp(L, 4, dw), q64_intp(L, 5, dh), mask, dw);
    // A full unmasked screen is charged like any other copy: it is work all the same.
    gfx_charge(cost, mask ? 8 : 64);
    return 0;
}
