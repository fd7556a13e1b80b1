// Screenshots, cartridge labels, GIF recordings and raw audio captures.
#include "host/capture.h"

#include <gif_lib.h>
#include <sys/stat.h>
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
#include "storage/host_disk.h"
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
    HostStream out;       // the file as it is written, renamed to host at the end
    GifFileType* gif;
    int frames;
    bool failed;
    bool disk_full;       // the host disk cap ended it
    uint8_t *screen, *last_frame, *raster;
    uint32_t firstpal[256], lastpal[256];
    int32_t lastbank[H];
} rec;

// The GIF file is written beside its final name and renamed when complete; the
// encoder writes through a handle of its own.
GifFileType* open_gif_file(int* err) {
    if (!host_stream_open(&rec.out, rec.host)) return nullptr;
    int fd = dup(rec.out.fd);
    GifFileType* g = fd >= 0 ? EGifOpenFileHandle(fd, err) : nullptr;
    if (!g) {
        if (fd >= 0) close(fd);
        host_stream_close(&rec.out, rec.host, false);
    }
    return g;
}

// The most one frame can add to the file: LZW codes of at most 12 bits a pixel
// with their block lengths, a local colour map, the frame's headers, and what the
// encoder may still hold unwritten.
int64_t gif_frame_bound() {
    int64_t px = (int64_t)rec.out_w * rec.out_h;
    return px * 3 / 2 + px / 255 + 2 * 768 + 65536;
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
    // Room for the frame first: past the host disk cap the recording ends here.
    if (!host_stream_cover(&rec.out, host_stream_size(&rec.out) + gif_frame_bound())) {
        rec.disk_full = true;
        return;
    }
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
    ok = host_stream_close(&rec.out, rec.host, ok) == 0;
    gif_free_all();
    rec.screen = rec.last_frame = rec.raster = nullptr;
    return ok;
}

// ---- audio ----

// The device's blocks go into a fixed ring (the capture buffer's bytes) that the
// frames drain into the file. Guarded by the audio lock: the bytes appended and
// drained since the start (the ring holds [tail, head), the callback writes only
// after head) and the bytes dropped while the ring was full.
struct AudioCapture {
    int64_t head, tail, lost;
    // Main thread only: the file as it is written (in the temporary folder when the
    // capture name is not a host file), its length, and whether writing stopped.
    HostStream out;
    int64_t written;
    bool stopped;
    char path[1024];  // the name chosen at the start, for reports
    char host[1024];  // its host file when the stream is beside it, else ""
} aud;

void write_audio(const uint8_t* bytes, int64_t n) {
    if (aud.stopped || n <= 0) return;
    if (aud.out.fd >= 0 && host_stream_write(&aud.out, bytes, n)) {
        aud.written += n;
        return;
    }
    aud.stopped = true;
    if (aud.out.fd < 0) return;
    if (!host_stream_cover(&aud.out, host_stream_size(&aud.out) + n)) report_host_disk_full(aud.path, "ends here");
    // A write cut short may have left part of a block: the file keeps what was announced.
    if (ftruncate(aud.out.fd, aud.written) != 0) aud.written = host_stream_size(&aud.out);
}

// Writes what the ring holds (and silence for what it dropped) to the file.
void drain_audio() {
    ByteBuffer* ring = app.audio_capture_buffer;
    if (!ring) return;
    os_lock_audio();
    int64_t head = aud.head, tail = aud.tail, lost = aud.lost;
    aud.lost = 0;
    os_unlock_audio();
    int64_t at = tail % AUDIO_CAPTURE_RING, n = head - tail, first = std::min(n, AUDIO_CAPTURE_RING - at);
    write_audio(ring->bytes + at, first);
    write_audio(ring->bytes, n - first);
    if (lost) tolo_debugf("** audio capture: %lld bytes lost while no frame came\n", (long long)lost);
    static const uint8_t silence[16384] = {};
    for (int64_t left = lost; left > 0; left -= (int64_t)sizeof silence)
        write_audio(silence, std::min<int64_t>(left, (int64_t)sizeof silence));
    os_lock_audio();
    aud.tail = head;
    os_unlock_audio();
}

std::string folder_of(const std::string& path) { return path.substr(0, path.rfind('/') + 1); }

// The file of a capture that has ended takes the name that is free now. A file
// made beside that name is renamed; one made elsewhere is copied through the file
// system when RAM files could hold it. The virtual path in *shown; false when no
// file was written, with what to tell the person who captured in *why.
bool finish_audio_file(std::string* shown, std::string* why) {
    *why = "could not store audio capture";
    char path[1024];
    bool ok = aud.out.fd >= 0 && get_capture_filename("audio", ".raw", path);
    if (!ok) {
        host_stream_close(&aud.out, "", false);
        return false;
    }
    *shown = path;
    int kind = 0;
    BufferPtr origin(resolve_to_origin(path, &kind, 0), destroy_buffer);
    if (kind == 1 && folder_of(to_cstr(origin.get())) == folder_of(aud.out.temp))
        return host_stream_close(&aud.out, to_cstr(origin.get()), true) == 0;
    BufferPtr bytes(nullptr, destroy_buffer);
    if (aud.written <= RAM_FILES_LIMIT) {
        bytes.reset(create_buffer_2(aud.written, AUDIO_CAPTURE_TAG));
        ok = pread(aud.out.fd, bytes->bytes, (size_t)aud.written, 0) == aud.written;
        bytes->length = (int32_t)aud.written;
    } else {
        char text[200];
        snprintf(text, sizeof text, "could not store audio capture: %3.3f seconds are more than RAM files hold (%lld MB)",
                 aud.written / (44100.0 * 4), (long long)(RAM_FILES_LIMIT >> 20));
        *why = text;
    }
    host_stream_close(&aud.out, "", false);
    return bytes && ok && write_file(path, "wb", bytes.get(), shown);
}

// Stops a running capture and writes the rest of the ring; false when none ran.
bool stop_audio() {
    if (!app.audio_capture_on && !app.audio_capture_buffer) return false;
    os_lock_audio();
    app.audio_capture_on = 0;
    os_unlock_audio();
    drain_audio();
    os_lock_audio();
    ByteBuffer* ring = app.audio_capture_buffer;
    app.audio_capture_buffer = nullptr;
    os_unlock_audio();
    destroy_buffer(ring);
    return true;
}

// Ends a running capture: the rest of the ring is written and the file takes its
// name; announced, a capture that could not be kept too. 0 when written.
int end_audio() {
    if (!stop_audio()) return 1;
    std::string shown, why;
    if (!finish_audio_file(&shown, &why)) {
        notify(why.c_str());
        return 1;
    }
    char msg[1200];
    snprintf(msg, sizeof msg, "captured %3.3f seconds: %s", aud.written / (44100.0 * 4), shown.c_str());
    notify(msg);
    return 0;
}

// The program ends by exit() on its fatal paths too: what was recorded is
// kept, and no hidden half-written file is left on the desktop. Nothing here
// goes through the file system, as the exit may have come from inside it: the
// recording and an audio capture streamed beside its name take the host names
// chosen at their start (the audio one only while that is still free); an audio
// capture in the temporary folder is dropped.
void finish_captures_at_exit() {
    if (rec.gif) close_recording();
    if (!stop_audio()) return;
    struct stat st;
    host_stream_close(&aud.out, aud.host, aud.host[0] && lstat(aud.host, &st) != 0);
}

void finish_captures_at_exit_once() {
    static bool hooked = atexit(finish_captures_at_exit) == 0;
    (void)hooked;
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
    finish_captures_at_exit_once();
    rec.frames = 0;
    rec.failed = false;
    rec.disk_full = false;
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
    if (rec.disk_full) report_host_disk_full(rec.filename, "ends here");
    // A recording ends by itself at its length (seconds of 60 frames) or at the host disk cap.
    if (rec.disk_full || app.gif_frame_count >= 60 * (int64_t)std::max(config.gif_len, 1)) gif_end();
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
    // An earlier capture still running is dropped with its buffer.
    os_lock_audio();
    ByteBuffer* old = app.audio_capture_buffer;
    app.audio_capture_buffer = nullptr;
    app.audio_capture_on = 0;
    os_unlock_audio();
    destroy_buffer(old);
    host_stream_close(&aud.out, "", false);
    finish_captures_at_exit_once();
    // The file is made beside the name free now; without a host file there, in the
    // host's temporary folder.
    aud = AudioCapture{};
    int kind = 0;
    if (get_capture_filename("audio", ".raw", aud.path)) {
        BufferPtr origin(resolve_to_origin(aud.path, &kind, 0), destroy_buffer);
        if (kind == 1 && origin->length > 0 && origin->length < (int32_t)sizeof aud.host &&
            host_stream_open(&aud.out, to_cstr(origin.get())))
            memcpy(aud.host, origin->bytes, (size_t)origin->length + 1);
    }
    if (aud.out.fd < 0) {
        const char* tmp = getenv("TMPDIR");
        std::string beside = std::string(tmp && tmp[0] == '/' ? tmp : "/tmp") + "/audio.raw";
        host_stream_open(&aud.out, beside.c_str());
    }
    if (aud.out.fd < 0) {
        notify("could not store audio capture");
        return;
    }
    ByteBuffer* ring = create_buffer_2(AUDIO_CAPTURE_RING, AUDIO_CAPTURE_TAG);
    os_lock_audio();
    app.audio_capture_buffer = ring;
    app.audio_capture_on = 1;
    os_unlock_audio();
}

int audio_capture_end() { return end_audio(); }

void audio_capture_drain() {
    if (!app.audio_capture_on) return;
    drain_audio();
    // Past the host disk cap, or when the file can't be written, the capture ends.
    if (aud.stopped) audio_capture_end();
}

// Audio thread, under the device lock: nothing here allocates.
void audio_capture_append(const uint8_t* bytes, int len) {
    ByteBuffer* ring = app.audio_capture_buffer;
    if (!app.audio_capture_on || !ring || len <= 0) return;
    // Once full, everything up to the next drain is dropped, so the bytes kept stay in order.
    if (aud.lost > 0 || aud.head - aud.tail + len > AUDIO_CAPTURE_RING) {
        aud.lost += len;
        return;
    }
    int64_t at = aud.head % AUDIO_CAPTURE_RING, first = std::min<int64_t>(len, AUDIO_CAPTURE_RING - at);
    memcpy(ring->bytes + at, bytes, (size_t)first);
    memcpy(ring->bytes, bytes + first, (size_t)(len - first));
    aud.head += len;
}

void capture_finish_all() {
    if (rec.gif || app.gif_recording) gif_end();
    if (app.audio_capture_on) audio_capture_end();
    app.screenshot_pending = 0;
}
