// Audio capture while the device's callback appends to the ring and the frames
// drain it into the file. Run under ThreadSanitizer, every shared access must be
// ordered by the lock; the file must be whole sample frames, all of them written.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <chrono>
#include <string>
#include <thread>

#include "host/capture.h"
#include "host/host.h"
#include "kernel/state.h"
#include "support/harness.h"

TEST(AudioCaptureThreads, FramesDrainTheRingWhileTheCallbackAppends) {
    ASSERT_TRUE(harness_boot("_signal(65)"));
    os_system_init();  // the sound device only (SDL's dummy driver)
    harness_run_frames(1);
    uint64_t before = get_total_buffer_allocation();
    audio_capture_start();
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(1500);
    int frames = 0;
    while (std::chrono::steady_clock::now() < until) {
        frames += harness_run_frames(1);  // each frame drains the ring
        std::this_thread::sleep_for(std::chrono::milliseconds(frames % 10 ? 5 : 60));
    }
    EXPECT_GT(frames, 10);
    os_lock_audio();
    EXPECT_EQ(get_total_buffer_allocation(), before + app.audio_capture_buffer->capacity);
    os_unlock_audio();
    ASSERT_EQ(audio_capture_end(), 0);
    EXPECT_EQ(get_total_buffer_allocation(), before);
    std::string file = std::string(config.desktop) + "/orvanta_desktop/audio.raw";
    struct stat st;
    ASSERT_EQ(stat(file.c_str(), &st), 0);
    // The device played for a second and a half: it was kept, in whole frames.
    EXPECT_GE(st.st_size, 44100 * 2);
    EXPECT_EQ(st.st_size % 4, 0);
    remove(file.c_str());
    os_lock_audio();
    harness_shutdown();
    os_unlock_audio();
}
