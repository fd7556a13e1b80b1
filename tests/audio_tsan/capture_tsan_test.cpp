// Audio capture while the device's callback appends: the main thread grows the
// buffer ahead (copying most of it without the lock) and the callback grows it
// itself when the frames fall behind. Run under ThreadSanitizer, every shared
// access must be ordered by the lock, and the buffer totals must still add up.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "host/capture.h"
#include "host/host.h"
#include "kernel/state.h"
#include "support/harness.h"

TEST(AudioCaptureThreads, BufferGrowsOnBothSidesWhileTheCallbackAppends) {
    ASSERT_TRUE(harness_boot("_signal(65)"));
    os_system_init();  // the sound device only (SDL's dummy driver)
    harness_run_frames(1);
    uint64_t before = get_total_buffer_allocation();
    audio_capture_start();
    int grown_ahead = 0, grown_behind = 0;
    for (int round = 0; round < 8; round++) {
        // Pretend the capture has run for a while: nearly full.
        os_lock_audio();
        ByteBuffer* b = app.audio_capture_buffer;
        uint64_t cap = b->capacity;
        b->length = b->cursor = (int32_t)(cap - 1 - (round % 2 ? 64 : 44100 * 4));
        os_unlock_audio();
        if (round % 2) {
            // No frame for a while: the callback has to make room itself.
            for (int i = 0; i < 2000; i++) {  // at most 10 s on a loaded machine
                os_lock_audio();
                bool grew = app.audio_capture_buffer->capacity != cap;
                os_unlock_audio();
                if (grew) {
                    grown_behind++;
                    break;
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
        }
        harness_run_frames(1);  // the frame grows the buffer ahead of the callback
        os_lock_audio();
        if (app.audio_capture_buffer->capacity > cap) grown_ahead++;
        os_unlock_audio();
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_GT(grown_ahead, 4);
    EXPECT_GT(grown_behind, 0);
    audio_capture_reserve();
    os_lock_audio();
    EXPECT_EQ(get_total_buffer_allocation(), before + app.audio_capture_buffer->capacity);
    os_unlock_audio();
    // Shrink it back before it is written: the bytes are not what this test is about.
    os_lock_audio();
    app.audio_capture_buffer->length = app.audio_capture_buffer->cursor = 0;
    os_unlock_audio();
    audio_capture_end();
    os_lock_audio();
    harness_shutdown();
    os_unlock_audio();
}
