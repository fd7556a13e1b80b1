// Screenshots, cartridge labels, GIF recordings and raw audio captures.
#include "host/capture.h"

#include <gif_lib.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "graphics/memory.h"
#include "graphics/video.h"
#include "host/host.h"
#include "kernel/messages.h"
#include "kernel/process.h"
#include "kernel/state.h"
#include "storage/pdisk.h"
#include "storage/png_buffer.h"

namespace {

constexpr int W = VIDEO_WIDTH, H = VIDEO_HEIGHT;
using BufferPtr = std::unique_ptr<ByteBuffer, void (*)(ByteBuffer*)>;

int clampi(int v, int lo, int hi) { return v < lo ? lo : v > hi ? hi : v; }
int16_t read_i16(Process* p, uint32_t a) { return (int16_t)(peek_proc(p, a) | peek_proc(p, a + 1) << 8); }

// A capture name is one plain path segment; anything else gets the fallback.
bool legal_name(const char* s) {
    if (!s[0] || s[0] == '.' || s[0] == '-' || strstr(s, "..")) return false;
    for (; *s; s++)
        if (!is_path_char((unsigned char)*s) || *s == '/') return false;
    return true;
}

void read_name(Process* p, char out[CAPTURE_NAME_LEN + 1], const char* fallback) {
    for (int i = 0; i < CAPTURE_NAME_LEN; i++) out[i] = (char)peek_proc(p, CAPTURE_NAME + (uint32_t)i);
    out[CAPTURE_NAME_LEN] = 0;
    if (!legal_name(out)) snprintf(out, CAPTURE_NAME_LEN + 1, "%s", fallback);
}

struct Region {
    int x0, y0, w, h, scale;
};

// x0, y0, width, height and scale as i16 from base: the size is clamped first,
// the position then with it.
Region read_region(Process* p, uint32_t base) {
    Region r;
    r.w = clampi(read_i16(p, base + 4), 16, W);
    r.h = clampi(read_i16(p, base + 6), 16, H);
    r.x0 = clampi(read_i16(p, base), 0, W - r.w);
    r.y0 = clampi(read_i16(p, base + 2), 0, H - r.h);
    r.scale = clampi(read_i16(p, base + 8), 1, 4);
    return r;
}

// Writes bytes as a new file; the slot's path in *shown. False unless the
// file was really written.
bool write_file(const char* path, const char* mode, const ByteBuffer* bytes, std::string* shown) {
    FileSlot* f = pfopen(path, mode);
    if (!f) return false;
    *shown = f->path ? (const char*)f->path->bytes : path;
    bool ok = bappend_bytes(f->contents, bytes->bytes, bytes->length) == bytes->length;
    return pfclose(f) == 0 && ok;
}

// ---- screenshots ----

struct Screenshot {
    Region r;
    int label, skip, silent;
    char name[CAPTURE_NAME_LEN + 1];
} shot;

void capture_screenshot(const uint32_t* frame, int mode) {
    // Modes 3 and 4 show the screen's top-left part enlarged: the region is
    // taken from the enlarged frame.
    int k = mode == 3 ? 2 : mode == 4 ? 3 : 1;
    int w = std::min(k * shot.r.w, W), h = std::min(k * shot.r.h, H);
    int x0 = clampi(k * shot.r.x0, 0, W - w), y0 = clampi(k * shot.r.y0, 0, H - h);
    int s = shot.r.scale, ow = w * s, oh = h * s;
    std::vector<uint8_t> px((size_t)ow * oh * 4);
    uint8_t* o = px.data();
    for (int oy = 0; oy < oh; oy++) {
        const uint32_t* row = frame + (size_t)(y0 + oy / s) * W + x0;
        for (int ox = 0; ox < ow; ox++, o += 4) {
            uint32_t v = row[ox / s];
            o[0] = (uint8_t)(v >> 16);
            o[1] = (uint8_t)(v >> 8);
            o[2] = (uint8_t)v;
            o[3] = 255;
        }
    }
    BufferPtr out(create_buffer_2((int64_t)px.size() / 4 + 1024, FILE_CONTENTS_TAG), destroy_buffer);
    std::string shown;
    if (shot.label) {
        if (qoi_encode_rgba(px.data(), (unsigned)ow, (unsigned)oh, 1, out.get()) &&
            write_file("/ram/cart/label.qoi", "w", out.get(), &shown))
            notify("captured label (/ram/cart/label.qoi)");
        else
            notify("could not store screenshot");
        return;
    }
    char path[1024];
    if (LodePNG_encode32_pbuffer(px.data(), (unsigned)ow, (unsigned)oh, out.get()) != 0 ||
        !get_capture_filename(shot.name, ".png", path) || !write_file(path, "wb", out.get(), &shown)) {
        notify("could not store screenshot");
        return;
    }
    if (!shot.silent) {
        char msg[1200];
        snprintf(msg, sizeof msg, "captured %dx%d (x%d) screenshot: %s", w, h, s, shown.c_str());
        notify(msg);
    }
}

// ---- GIF recording ----

struct Arena {
    void* block[GIF_ARENA_BLOCKS];
    int64_t size[GIF_ARENA_BLOCKS];
    int32_t count;
} arena;

struct Recording {
    Region r;
    int skip, silent, out_w, out_h;
    char name[CAPTURE_NAME_LEN + 1];
    char filename[1024];  // file-system path, "" when none
    char host[1024];      // its host path
    std::string temp;     // written here, renamed to host at the end
    int sync_fd = -1;     // a second handle on the file, to flush it to disk
    GifFileType* gif;
    int frames;
    bool failed;
    uint8_t *screen, *last_frame, *raster;
    uint32_t firstpal[256], lastpal[256];
    int32_t lastbank[H];
} rec;

// The GIF file is written beside its final name and renamed when complete.
GifFileType* open_gif_file(int* err) {
    int fd = host_temp_open(rec.host, &rec.temp);
    if (fd < 0) return nullptr;
    rec.sync_fd = dup(fd);
    GifFileType* g = EGifOpenFileHandle(fd, err);
    if (!g) {
        close(fd);
        host_temp_commit(rec.sync_fd, rec.temp, rec.host, false);
        rec.sync_fd = -1;
    }
    return g;
}

// The window manager's screen, byte by byte as video out reads it: bytes
// with nothing behind them are 0.
void read_screen(const Process* wm, uint8_t* out) {
    for (uint32_t i = 0; i < (uint32_t)(W * H);) {
        int32_t avail;
        const uint8_t* b = mem_view(wm, 0x10000 + i, &avail);
        uint32_t n = std::min<uint32_t>((uint32_t)avail, (uint32_t)(W * H) - i);
        if (b)
            memcpy(out + i, b, n);
        else
            memset(out + i, 0, n);
        i += n;
    }
}

void gif_frame(const uint32_t* pal, const int32_t* banks_in) {
    Process* wm = get_process(3);
    if (!wm || rec.failed) return;
    read_screen(wm, rec.screen);
    int32_t banks[H];
    for (int r = 0; r < H; r++) banks[r] = banks_in[r] & 3;
    GifColorType colours[256];
    for (int j = 0; j < 256; j++)
        colours[j] = {(GifByteType)(pal[j] >> 16), (GifByteType)(pal[j] >> 8), (GifByteType)pal[j]};
    ColorMapObject map{256, 8, false, colours};
    GifFileType* g = rec.gif;
    bool ok = true;
    if (rec.frames == 0) {
        memcpy(rec.firstpal, pal, sizeof rec.firstpal);
        static const GifByteType loop[3] = {1, 0, 0};  // loop for ever
        EGifSetGifVersion(g, true);
        ok = EGifPutScreenDesc(g, rec.out_w, rec.out_h, 16, 0, &map) == GIF_OK &&
             EGifPutExtensionLeader(g, APPLICATION_EXT_FUNC_CODE) == GIF_OK &&
             EGifPutExtensionBlock(g, 11, "NETSCAPE2.0") == GIF_OK && EGifPutExtensionBlock(g, 3, loop) == GIF_OK &&
             EGifPutExtensionTrailer(g) == GIF_OK;
    }
    const Region& R = rec.r;
    // Index 255 marks unchanged pixels, unless display colour 255 is in use.
    bool transparent = true;
    for (int r = R.y0; r < R.y0 + R.h && transparent; r++) {
        if (banks[r] != 3) continue;
        for (int c = R.x0; c < R.x0 + R.w; c++)
            if ((rec.screen[r * W + c] & 63) == 63) {
                transparent = false;
                break;
            }
    }
    bool diff = transparent && rec.frames > 0;
    uint8_t* o = rec.raster;
    for (int oy = 0; oy < rec.out_h; oy++) {
        int r = R.y0 + oy / R.scale;
        const uint8_t* row = rec.screen + r * W;
        const uint8_t* prev = rec.last_frame + r * W;
        const uint32_t* now_pal = pal + 64 * banks[r];
        const uint32_t* prev_pal = rec.lastpal + 64 * (rec.lastbank[r] & 3);
        for (int ox = 0; ox < rec.out_w; ox++) {
            int c = R.x0 + ox / R.scale;
            int idx = 64 * banks[r] + (row[c] & 63);
            if (diff && now_pal[row[c] & 63] == prev_pal[prev[c] & 63]) idx = 255;
            *o++ = (uint8_t)idx;
        }
    }
    const GifByteType control[4] = {(GifByteType)(transparent ? 1 : 0), 3, 0, 255};  // delay 3/100 s
    bool local = memcmp(pal, rec.firstpal, sizeof rec.firstpal) != 0;
    ok = ok && EGifPutExtension(g, GRAPHICS_EXT_FUNC_CODE, 4, control) == GIF_OK &&
         EGifPutImageDesc(g, 0, 0, rec.out_w, rec.out_h, false, local ? &map : nullptr) == GIF_OK &&
         EGifPutLine(g, rec.raster, rec.out_w * rec.out_h) == GIF_OK;
    if (!ok) {
        rec.failed = true;
        return;
    }
    std::swap(rec.screen, rec.last_frame);
    memcpy(rec.lastpal, pal, sizeof rec.lastpal);
    memcpy(rec.lastbank, banks, sizeof rec.lastbank);
    rec.frames++;
}

// Closes the open recording: the file takes its name when it is complete and
// is removed otherwise. True when it was kept.
bool close_recording() {
    int err = 0;
    // A recording without frames would be no picture at all.
    bool ok = !rec.failed && rec.frames > 0;
    if (EGifCloseFile(rec.gif, &err) != GIF_OK) ok = false;
    rec.gif = nullptr;
    ok = host_temp_commit(rec.sync_fd, rec.temp, rec.host, ok) == 0;
    rec.sync_fd = -1;
    gif_free_all();
    rec.screen = rec.last_frame = rec.raster = nullptr;
    return ok;
}

// The program ends by exit() on its fatal paths too: what was recorded is
// kept, and no hidden half-written file is left on the desktop.
void close_recording_at_exit() {
    if (rec.gif) close_recording();
}

// ---- audio ----

constexpr int64_t AUDIO_CAPTURE_MAX = BUFFER_MAX_LENGTH & ~(int64_t)3;
// Room kept ahead of the audio thread: four seconds.
constexpr int64_t AUDIO_ROOM = 4 * 44100 * 4;

// Guarded by the audio lock: the buffer's capacity already counted in the
// buffer totals (the audio thread grows it without counting), and whether the
// main thread is copying the buffer without the lock (it must not move then).
uint64_t audio_counted;
int audio_copying;

void count_audio_growth(ByteBuffer* b) {
    total_buffer_allocation += b->capacity - audio_counted;
    audio_counted = b->capacity;
}

}  // namespace

bool get_capture_filename(const char* name, const char* ext, char out[1024]) {
    snprintf(out, 1024, "/desktop/host/%s%s", name, ext);
    if (!pdisk_file_exists(out)) return true;
    for (int i = 1; i <= 255; i++) {
        snprintf(out, 1024, "/desktop/host/%s_%d%s", name, i, ext);
        if (!pdisk_file_exists(out)) return true;
    }
    out[0] = 0;
    return false;
}

void request_screenshot() {
    Process* p = cproc;
    shot.r = read_region(p, CAPTURE_SHOT_PARAMS);
    shot.label = read_i16(p, CAPTURE_SHOT_PARAMS + 10) > 0;
    shot.skip = clampi(read_i16(p, CAPTURE_SHOT_PARAMS + 12), 0, 32);
    shot.silent = read_i16(p, CAPTURE_SHOT_PARAMS + 14) > 0;
    read_name(p, shot.name, "screenshot");
    if (shot.label) shot.r = {0, 0, W, H, 1};
}

void update_screenshot(const uint32_t* back_page, int video_mode) {
    if (!app.screenshot_pending) return;
    if (shot.skip > 0) {
        shot.skip--;
        return;
    }
    app.screenshot_pending = 0;
    capture_screenshot(back_page, video_mode);
}

void* gif_malloc(int64_t size) {
    if (arena.count >= GIF_ARENA_BLOCKS || size < 0) return nullptr;
    void* b = calloc(1, (size_t)std::max<int64_t>(size, 1));
    if (!b) return nullptr;
    arena.block[arena.count] = b;
    arena.size[arena.count++] = size;
    return b;
}

void gif_free_all() {
    while (arena.count > 0) free(arena.block[--arena.count]);
}

int gif_start() {
    if (rec.gif) gif_end();
    Process* p = cproc;
    read_name(p, rec.name, "recording");
    if (!get_capture_filename(rec.name, ".gif", rec.filename)) rec.filename[0] = 0;
    rec.r = read_region(p, CAPTURE_GIF_PARAMS);
    rec.skip = clampi(read_i16(p, CAPTURE_GIF_PARAMS + 12), 0, 32);
    rec.silent = read_i16(p, CAPTURE_GIF_PARAMS + 14) > 0;
    rec.out_w = rec.r.scale * rec.r.w;
    rec.out_h = rec.r.scale * rec.r.h;
    rec.host[0] = 0;
    int err = E_GIF_ERR_OPEN_FAILED;
    if (rec.filename[0]) {
        int kind = 0;
        BufferPtr origin(resolve_to_origin(rec.filename, &kind, 0), destroy_buffer);
        if (kind == 1 && origin && origin->length > 0 && origin->length < (int32_t)sizeof rec.host) {
            memcpy(rec.host, origin->bytes, (size_t)origin->length + 1);
            rec.gif = open_gif_file(&err);
        }
    }
    if (!rec.gif) {
        printf("** EGifOpenFileName error %d: p_path:%s\n", err, rec.filename);
        fflush(stdout);
        return 1;
    }
    static bool exit_hook = atexit(close_recording_at_exit) == 0;
    (void)exit_hook;
    rec.frames = 0;
    rec.failed = false;
    rec.screen = (uint8_t*)gif_malloc(W * H);
    rec.last_frame = (uint8_t*)gif_malloc(W * H);
    rec.raster = (uint8_t*)gif_malloc((int64_t)rec.out_w * rec.out_h);
    if (!rec.screen || !rec.last_frame || !rec.raster) rec.failed = true;
    return 0;
}

void update_gif_recording(const uint32_t display_pal[256], const int32_t banks[270]) {
    if (!app.gif_recording || !rec.gif) return;
    if (rec.skip > 0) {
        rec.skip--;
        return;
    }
    // Every second frame: 30 a second.
    if (++app.gif_frame_count & 1) gif_frame(display_pal, banks);
}

void gif_end() {
    app.gif_recording = 0;
    if (!rec.gif) return;
    if (!close_recording()) {
        notify("**error: could not write gif\n");
    } else if (!rec.silent) {
        char msg[1200];
        snprintf(msg, sizeof msg, "captured %d frame gif %dx%d (x%d): %s", rec.frames, rec.r.w, rec.r.h,
                 rec.r.scale, rec.filename);
        notify(msg);
    }
}

void audio_capture_start() {
    ByteBuffer* b = create_buffer_2(AUDIO_CAPTURE_INITIAL, AUDIO_CAPTURE_TAG);
    os_lock_audio();
    ByteBuffer* old = app.audio_capture_buffer;
    if (old) count_audio_growth(old);
    app.audio_capture_buffer = b;
    audio_counted = b->capacity;
    audio_copying = 0;
    app.audio_capture_on = 1;
    os_unlock_audio();
    destroy_buffer(old);
}

int audio_capture_end() {
    os_lock_audio();
    ByteBuffer* b = app.audio_capture_buffer;
    if (b) count_audio_growth(b);
    app.audio_capture_buffer = nullptr;
    app.audio_capture_on = 0;
    os_unlock_audio();
    if (!b) return 1;
    BufferPtr hold(b, destroy_buffer);
    char path[1024];
    std::string shown;
    if (!get_capture_filename("audio", ".raw", path) || !write_file(path, "wb", b, &shown)) return 1;
    char msg[1200];
    snprintf(msg, sizeof msg, "captured %3.3f seconds: %s", b->length / (44100.0 * 4), shown.c_str());
    notify(msg);
    return 0;
}

void audio_capture_reserve() {
    if (!app.audio_capture_on) return;
    os_lock_audio();
    ByteBuffer* b = app.audio_capture_buffer;
    int64_t len = 0, room = 0;
    if (b) {
        count_audio_growth(b);
        len = b->length;
        room = (int64_t)b->capacity - 1 - len;
    }
    bool grow = b && room < AUDIO_ROOM && (int64_t)b->capacity - 1 < AUDIO_CAPTURE_MAX;
    audio_copying = grow;
    os_unlock_audio();
    if (!grow) return;
    // The new block is filled without the lock: bytes below len never change,
    // and the audio thread appends after them without moving the block.
    int64_t want = std::min(std::max(2 * (int64_t)b->capacity, len + 2 * AUDIO_ROOM), AUDIO_CAPTURE_MAX);
    ByteBuffer* nb = create_buffer_2(want, AUDIO_CAPTURE_TAG);
    memcpy(nb->bytes, b->bytes, (size_t)len);
    os_lock_audio();
    memcpy(nb->bytes + len, b->bytes + len, (size_t)(b->length - len));
    nb->length = nb->cursor = b->length;
    app.audio_capture_buffer = nb;
    audio_counted = nb->capacity;
    audio_copying = 0;
    os_unlock_audio();
    destroy_buffer(b);
}

// Audio thread, under the device lock.
void audio_capture_append(const uint8_t* bytes, int len) {
    ByteBuffer* b = app.audio_capture_buffer;
    if (!app.audio_capture_on || !b || len <= 0) return;
    int64_t n = std::min<int64_t>(len, AUDIO_CAPTURE_MAX - b->length);
    if (n <= 0) return;
    uint64_t need = (uint64_t)(b->length + n) + 1;
    if (need > b->capacity) {
        // The main thread fell behind. While it copies the block, the block stays put.
        if (audio_copying) return;
        uint64_t cap = std::min<uint64_t>(2 * need, (uint64_t)AUDIO_CAPTURE_MAX + 1);
        uint8_t* nbytes = (uint8_t*)realloc(b->bytes, cap);
        if (!nbytes) return;
        memset(nbytes + b->capacity, 0, cap - b->capacity);
        b->bytes = nbytes;
        b->capacity = cap;
    }
    memcpy(b->bytes + b->length, bytes, (size_t)n);
    b->length += (int32_t)n;
    b->cursor = b->length;
    b->bytes[b->length] = 0;
}

void capture_finish_all() {
    if (rec.gif || app.gif_recording) gif_end();
    if (app.audio_capture_on) audio_capture_end();
    app.screenshot_pending = 0;
}
