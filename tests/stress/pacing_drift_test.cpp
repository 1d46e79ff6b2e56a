// A master source fed in real time, one frame per period on an absolute
// schedule, must not pile up in the mixer: the output thread has to keep pace
// with the feeder on average, so the frames waiting stay a handful.
//
// Waits of the output thread end a little late (the scheduler's latency);
// the thread keeps to a grid of periods so that lateness does not add up.
// It takes 20 s and needs an unloaded, uninstrumented build: the sanitizer
// suites leave it out.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <thread>
#include <vector>

#include "carovel/mixer.h"
#include "support/test_access.h"

namespace {

using _Carovel::CMixer;
using _Carovel::MixerTestAccess;

void Discard(char*, unsigned, char*, unsigned, void*, void*) {}

TEST(PacingDrift, RealTimeMasterDoesNotPileUp) {
    constexpr unsigned short kFrame = 80;  // 5 ms of 8000 Hz mono 16-bit
    constexpr int kFrames = 4000;          // 20 s
    // A loop that keeps pace stays within a few frames; one that loses even
    // 0.6% of its pace has 24 frames waiting by the end.
    constexpr std::size_t kMostWaiting = 24;
    CMixer mixer;
    ASSERT_TRUE(mixer.Open(1, 8000, 16, kFrame, &Discard, nullptr));
    const std::vector<char> frame(kFrame, 0);
    const auto start = std::chrono::steady_clock::now();
    std::size_t mostWaiting = 0;
    for (int k = 0; k < kFrames; ++k) {
        std::this_thread::sleep_until(start + k * std::chrono::milliseconds(5));
        ASSERT_TRUE(mixer.AddFrame(0, frame.data(), kFrame, 1, 8000, 16, nullptr));
        if (k > kFrames / 2) {
            mostWaiting = std::max(mostWaiting, MixerTestAccess::QueuedFrames(mixer, 0));
        }
    }
    EXPECT_LE(mostWaiting, kMostWaiting);
    EXPECT_TRUE(mixer.Close());
}

}  // namespace
