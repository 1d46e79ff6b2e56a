// The mixer's lifecycle under load: thousands of open-feed-close cycles,
// Close while a callback blocks, Close and destruction from inside the
// callback, and ClearTraceData while the output thread mixes. Run under the
// sanitizers these also check for leaks and races; every call that could
// deadlock is given a generous bound instead of hanging the run.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

#include "carovel/mixer.h"
#include "stress/stress_support.h"
#include "support/mixer_sink.h"
#include "support/pcm.h"
#include "support/test_access.h"

namespace {

using _Carovel::CMixer;
using _Carovel::MixerTestAccess;
using carovel_test::MixPump;
using carovel_test::MixSink;
using carovel_test::MustReturnWithin;
using carovel_test::SettledThreadCount;
using carovel_test::WaitForThreadCount;
using std::chrono::milliseconds;
using std::chrono::seconds;

constexpr unsigned short kFrame = 320;  // 20 ms of 8000 Hz mono 16-bit
constexpr seconds kDeadlockBound{20};

std::vector<char> Bytes(std::size_t n, char value = 0) {
    return std::vector<char>(n, value);
}

struct CountingSink {
    std::atomic<int> calls{0};
    std::atomic<int> badLengths{0};
    static void Callback(char*, unsigned masterLen, char*, unsigned mixLen, void* user, void*) {
        auto* self = static_cast<CountingSink*>(user);
        if (masterLen != kFrame || mixLen != kFrame) {
            ++self->badLengths;
        }
        ++self->calls;
    }
};

TEST(LifecycleStress, ThousandsOfOpenFeedCloseCycles) {
    const int threadsBefore = SettledThreadCount();
    ASSERT_GT(threadsBefore, 0) << "the process's threads cannot be counted here";
    CountingSink sink;
    CMixer mixer;
    MixPump pump(mixer, std::chrono::microseconds(50));  // notifies at any moment
    const std::vector<char> direct = Bytes(700, 3);
    const std::vector<char> stereo44k = Bytes(1764, 5);  // 10 ms of 44100 Hz stereo 16-bit
    constexpr int kCycles = 2000;
    for (int cycle = 0; cycle < kCycles; ++cycle) {
        const int before = sink.calls.load();
        ASSERT_TRUE(mixer.Open(1, 8000, 16, kFrame, &CountingSink::Callback, &sink)) << cycle;
        ASSERT_TRUE(mixer.IsRun());
        ASSERT_TRUE(mixer.AddFrame(0, direct.data(), 700, 1, 8000, 16, nullptr));
        ASSERT_TRUE(mixer.AddFrame(cycle % 7 + 1, direct.data(), 333, 1, 8000, 16, nullptr));
        if (cycle % 4 == 0) {
            ASSERT_TRUE(mixer.AddFrame(9, stereo44k.data(), 1764, 2, 44100, 16, nullptr));
        }
        if (cycle % 100 == 0) {
            // Now and then let a pass through before closing.
            const auto until = std::chrono::steady_clock::now() + kDeadlockBound;
            while (sink.calls.load() == before && std::chrono::steady_clock::now() < until) {
                std::this_thread::sleep_for(std::chrono::microseconds(100));
            }
            ASSERT_GT(sink.calls.load(), before) << cycle;
        }
        ASSERT_TRUE(mixer.Close());
        ASSERT_FALSE(mixer.IsRun());
        ASSERT_FALSE(mixer.AddFrame(0, direct.data(), 700, 1, 8000, 16, nullptr));
        ASSERT_EQ(MixerTestAccess::Record(mixer, 0), nullptr);  // Close dropped the records
    }
    EXPECT_GE(sink.calls.load(), kCycles / 100);
    EXPECT_EQ(sink.badLengths.load(), 0);
    // The pump is the only thread left besides the ones there before.
    EXPECT_TRUE(WaitForThreadCount(threadsBefore + 1, kDeadlockBound));
}

// A callback that blocks until the test opens its gate.
struct Gate {
    std::mutex mutex;
    std::condition_variable cond;
    bool open = false;
    int entered = 0;
    int left = 0;

    static void Callback(char*, unsigned, char*, unsigned, void* user, void*) {
        auto* gate = static_cast<Gate*>(user);
        std::unique_lock<std::mutex> lock(gate->mutex);
        ++gate->entered;
        gate->cond.notify_all();
        gate->cond.wait(lock, [gate] { return gate->open; });
        ++gate->left;
        gate->cond.notify_all();
    }
    bool WaitEntered(int n) {
        std::unique_lock<std::mutex> lock(mutex);
        return cond.wait_for(lock, kDeadlockBound, [&] { return entered >= n; });
    }
    void Open() {
        {
            std::lock_guard<std::mutex> guard(mutex);
            open = true;
        }
        cond.notify_all();
    }
    int Left() {
        std::lock_guard<std::mutex> guard(mutex);
        return left;
    }
    int Entered() {
        std::lock_guard<std::mutex> guard(mutex);
        return entered;
    }
};

TEST(LifecycleStress, CloseWhileTheCallbackBlocksReturnsAndReopenWaitsForIt) {
    for (int round = 0; round < 10; ++round) {
        Gate gate;
        MixSink sink;  // outlives the mixer, whose thread calls into it
        CMixer mixer;
        ASSERT_TRUE(mixer.Open(1, 8000, 16, kFrame, &Gate::Callback, &gate));
        ASSERT_TRUE(mixer.AddFrame(0, Bytes(3 * kFrame).data(), 3 * kFrame, 1, 8000, 16, nullptr));
        mixer.NotifyToMixe();
        ASSERT_TRUE(gate.WaitEntered(1));

        MustReturnWithin([&] { EXPECT_TRUE(mixer.Close()); }, kDeadlockBound,
                         "Close while the callback blocks");
        EXPECT_FALSE(mixer.IsRun());
        EXPECT_EQ(gate.Left(), 0);  // the callback is still inside

        // Reopening waits for the blocked callback; release it meanwhile.
        std::thread release([&] {
            std::this_thread::sleep_for(milliseconds(20));
            gate.Open();
        });
        MustReturnWithin(
            [&] { EXPECT_TRUE(mixer.Open(1, 8000, 16, kFrame, &MixSink::Callback, &sink)); },
            kDeadlockBound, "Open after the blocked callback was released");
        release.join();
        EXPECT_EQ(gate.Left(), 1);
        EXPECT_EQ(gate.Entered(), 1);  // the queued frames were cleared; no second call
        ASSERT_TRUE(mixer.AddFrame(0, Bytes(kFrame).data(), kFrame, 1, 8000, 16, nullptr));
        EXPECT_TRUE(sink.WaitFor(1));
    }
}

TEST(LifecycleStress, DestroyingAClosedMixerWaitsForItsBlockedCallback) {
    Gate gate;
    auto mixer = std::make_unique<CMixer>();
    ASSERT_TRUE(mixer->Open(1, 8000, 16, kFrame, &Gate::Callback, &gate));
    ASSERT_TRUE(mixer->AddFrame(0, Bytes(kFrame).data(), kFrame, 1, 8000, 16, nullptr));
    ASSERT_TRUE(gate.WaitEntered(1));
    EXPECT_TRUE(mixer->Close());

    std::thread release([&] {
        std::this_thread::sleep_for(milliseconds(50));
        gate.Open();
    });
    MustReturnWithin([&] { mixer.reset(); }, kDeadlockBound,
                     "destruction after the blocked callback was released");
    release.join();
    EXPECT_EQ(gate.Left(), 1);  // the destructor returned only after the callback
}

// Closes or destroys its mixer from inside the first callback.
struct SelfEnder {
    std::unique_ptr<CMixer> mixer;
    bool destroy = false;
    // Whether the callback first waits until the host's feeding calls have
    // returned, as the threading rules ask of a callback that closes.
    bool waitForHost = true;
    std::atomic<bool> hostDone{false};
    std::atomic<bool> ended{false};
    std::atomic<int> calls{0};

    static void Callback(char*, unsigned, char*, unsigned, void* user, void*) {
        auto* self = static_cast<SelfEnder*>(user);
        ++self->calls;
        const auto until = std::chrono::steady_clock::now() + kDeadlockBound;
        // Sleeps rather than yields: the output thread may run at real-time
        // priority, where yielding would not let the host thread in.
        while (self->waitForHost && !self->hostDone && std::chrono::steady_clock::now() < until) {
            std::this_thread::sleep_for(std::chrono::microseconds(50));
        }
        if (self->destroy) {
            self->mixer.reset();
        } else {
            self->mixer->Close();
        }
        self->ended = true;
    }
    bool WaitEnded() const {
        const auto until = std::chrono::steady_clock::now() + kDeadlockBound;
        while (!ended && std::chrono::steady_clock::now() < until) {
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
        return ended;
    }
};

TEST(LifecycleStress, HundredsOfClosesAndDestructionsFromInsideTheCallback) {
    const int threadsBefore = SettledThreadCount();
    ASSERT_GT(threadsBefore, 0) << "the process's threads cannot be counted here";
    constexpr unsigned short kShortFrame = 80;  // 5 ms: the thread's own pace starts the pass
    for (int round = 0; round < 300; ++round) {
        SelfEnder ender;
        ender.destroy = round % 2 == 1;
        ender.mixer = std::make_unique<CMixer>();
        ASSERT_TRUE(ender.mixer->Open(1, 8000, 16, kShortFrame, &SelfEnder::Callback, &ender));
        // Several frames queued: a thread that went on would call again.
        ASSERT_TRUE(ender.mixer->AddFrame(0, Bytes(4 * kShortFrame).data(), 4 * kShortFrame, 1,
                                          8000, 16, nullptr));
        ender.hostDone = true;
        ASSERT_TRUE(ender.WaitEnded()) << round;
        if (!ender.destroy) {
            EXPECT_FALSE(ender.mixer->IsRun());
            ender.mixer.reset();  // waits for the thread, which Close left to end by itself
        }
        // The output thread ends by itself once the callback has returned.
        ASSERT_TRUE(WaitForThreadCount(threadsBefore, kDeadlockBound)) << round;
        EXPECT_EQ(ender.calls.load(), 1) << round;
    }
}

// NotifyToMixe wakes the output thread through the mixer's event, and a
// callback that then destroys the mixer ends the thread, which frees the
// event: the host must be out of the event's signal by then.
TEST(LifecycleStress, NotifyToMixeWhileTheCallbackDestroysTheMixer) {
    constexpr unsigned short kLongFrame =
        65520;  // 8.19 s of 8-bit mono: only a notify starts a pass
    for (int round = 0; round < 50; ++round) {
        SelfEnder ender;
        ender.destroy = true;
        ender.mixer = std::make_unique<CMixer>();
        ASSERT_TRUE(ender.mixer->Open(1, 8000, 8, kLongFrame, &SelfEnder::Callback, &ender));
        ASSERT_TRUE(
            ender.mixer->AddFrame(0, Bytes(kLongFrame).data(), kLongFrame, 1, 8000, 8, nullptr));
        ender.hostDone = true;
        ender.mixer->NotifyToMixe();
        ASSERT_TRUE(ender.WaitEnded()) << round;
        EXPECT_EQ(ender.calls.load(), 1) << round;
    }
}

// Close from inside the callback while the host thread is inside AddFrame:
// the records the host is working on must stay until the host drops them.
TEST(LifecycleStress, CloseFromTheCallbackWhileTheHostFeeds) {
    const std::vector<char> block = Bytes(3 * kFrame + 7, 1);
    for (int round = 0; round < 50; ++round) {
        SelfEnder ender;
        ender.waitForHost = false;
        ender.mixer = std::make_unique<CMixer>();
        ASSERT_TRUE(ender.mixer->Open(1, 8000, 16, kFrame, &SelfEnder::Callback, &ender));
        const auto until = std::chrono::steady_clock::now() + kDeadlockBound;
        // Feed until the callback has closed the mixer and AddFrame refuses.
        while (ender.mixer->AddFrame(0, block.data(), static_cast<int>(block.size()), 1, 8000, 16,
                                     nullptr)) {
            ASSERT_LT(std::chrono::steady_clock::now(), until) << round;
        }
        ASSERT_TRUE(ender.WaitEnded()) << round;
        EXPECT_EQ(ender.calls.load(), 1) << round;
        ender.mixer.reset();
    }
}

TEST(LifecycleStress, ClearTraceDataWhileTheOutputThreadMixes) {
    MixSink sink;
    CMixer mixer;
    ASSERT_TRUE(mixer.Open(1, 8000, 16, kFrame, &MixSink::Callback, &sink));
    std::mt19937 rng(7);
    {
        MixPump pump(mixer);
        const std::vector<char> block = Bytes(1000, 1);
        for (int i = 0; i < 3000; ++i) {
            const int len = std::uniform_int_distribution<int>(0, 999)(rng);
            ASSERT_TRUE(mixer.AddFrame(0, block.data(), len, 1, 8000, 16, nullptr));
            ASSERT_TRUE(mixer.AddFrame(i % 5 + 1, block.data(), len, 1, 8000, 16, nullptr));
            ASSERT_TRUE(mixer.AddFrame(11, block.data(), len, 1, 11025, 8, nullptr));
            if (i % 7 == 0) {
                mixer.ClearTraceData();
            }
        }
        mixer.ClearTraceData();
        for (long id : {0L, 1L, 2L, 3L, 4L, 5L, 11L}) {
            EXPECT_EQ(MixerTestAccess::QueuedFrames(mixer, id), 0u) << id;
            const auto* rec = MixerTestAccess::Record(mixer, id);
            ASSERT_NE(rec, nullptr);
            EXPECT_EQ(rec->StagedBytes(), 0u) << id;
        }

        // A pass already under way may still deliver frames taken before the
        // clear; the first pass after a new master frame mixes nothing else.
        const std::vector<std::int64_t> marker(kFrame / 2, -12345);
        const std::vector<char> frame = carovel_test::Pack16(marker);
        ASSERT_TRUE(mixer.AddFrame(0, frame.data(), kFrame, 1, 8000, 16, nullptr));
        const auto until = std::chrono::steady_clock::now() + kDeadlockBound;
        bool seen = false;
        while (!seen && std::chrono::steady_clock::now() < until) {
            for (const auto& out : sink.Outs()) {
                if (carovel_test::Unpack(out.master, 2) == marker) {
                    EXPECT_EQ(out.mix, frame);
                    seen = true;
                }
            }
            std::this_thread::sleep_for(milliseconds(1));
        }
        EXPECT_TRUE(seen);
    }
    for (const auto& out : sink.Outs()) {
        ASSERT_EQ(out.master.size(), kFrame);
        ASSERT_EQ(out.mix.size(), kFrame);
    }
    EXPECT_TRUE(mixer.Close());
}

}  // namespace
