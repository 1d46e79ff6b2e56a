#include "carovel/mixer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>
#include <vector>

#include "support/fake_clock.h"
#include "support/mixer_sink.h"
#include "support/pcm.h"
#include "support/test_access.h"

namespace {

using _Carovel::CMixer;
using _Carovel::MixerTestAccess;
using carovel_test::MixOut;
using carovel_test::MixSink;
using carovel_test::Pack16;
using carovel_test::Unpack;
using std::chrono::milliseconds;

constexpr unsigned short kFrame = 320;  // 20 ms of 8000 Hz mono 16-bit

// A mixer open at 8000 Hz mono 16-bit with 320-byte frames.
struct OpenMixer {
    MixSink sink;
    CMixer mixer;
    OpenMixer() { EXPECT_TRUE(mixer.Open(1, 8000, 16, kFrame, &MixSink::Callback, &sink)); }
    bool Feed(long id, const std::vector<char>& block, void* tag = nullptr) {
        return mixer.AddFrame(id, block.data(), static_cast<int>(block.size()), 1, 8000, 16, tag);
    }
    unsigned long Staged(long id) {
        const auto* rec = MixerTestAccess::Record(mixer, id);
        return rec != nullptr ? rec->StagedBytes() : 0;
    }
    std::size_t Queued(long id) { return MixerTestAccess::QueuedFrames(mixer, id); }
};

std::vector<char> Constant16(std::size_t samples, std::int64_t value) {
    return Pack16(std::vector<std::int64_t>(samples, value));
}

TEST(MixerIntake, CutsBlocksIntoFramesAcrossCalls) {
    OpenMixer m;
    const std::vector<char> hundred(100, 1);
    std::vector<std::size_t> queued;
    std::vector<unsigned long> staged;
    for (int i = 0; i < 7; ++i) {
        ASSERT_TRUE(m.Feed(5, hundred));
        queued.push_back(m.Queued(5));
        staged.push_back(m.Staged(5));
    }
    EXPECT_EQ(queued, (std::vector<std::size_t>{0, 0, 0, 1, 1, 1, 2}));
    EXPECT_EQ(staged, (std::vector<unsigned long>{100, 200, 300, 80, 180, 280, 60}));

    const std::vector<char> thousand(1000, 2);
    ASSERT_TRUE(m.Feed(6, thousand));
    EXPECT_EQ(m.Queued(6), 3u);
    EXPECT_EQ(m.Staged(6), 40u);

    ASSERT_TRUE(m.Feed(6, {}));  // an empty block is accepted and queues nothing
    EXPECT_EQ(m.Queued(6), 3u);
    EXPECT_EQ(m.Staged(6), 40u);
}

// Frames are queued straight from the block: staging holds only a partial
// frame, whatever the size of the blocks.
TEST(MixerIntake, LargeBlockIsQueuedWithoutGrowingTheStagingBuffer) {
    OpenMixer m;
    ASSERT_TRUE(m.Feed(3, std::vector<char>(100, 0)));
    EXPECT_EQ(MixerTestAccess::Record(m.mixer, 3)->StagingCapacity(), 100u);  // what it holds
    ASSERT_TRUE(m.Feed(3, std::vector<char>(200000, 0)));
    EXPECT_LE(MixerTestAccess::Record(m.mixer, 3)->StagingCapacity(), 320u);
    EXPECT_EQ(m.Queued(3), 625u);  // 200100 / 320
    EXPECT_EQ(m.Staged(3), 100u);
}

TEST(MixerIntake, RefusesBadInputAndKeepsWhatWasAccepted) {
    OpenMixer m;
    ASSERT_TRUE(m.Feed(1, std::vector<char>(100, 0)));
    EXPECT_FALSE(m.mixer.AddFrame(1, "xx", -1, 1, 8000, 16, nullptr));
    EXPECT_FALSE(m.mixer.AddFrame(1, nullptr, 10, 1, 8000, 16, nullptr));
    EXPECT_TRUE(m.mixer.AddFrame(1, nullptr, 0, 1, 8000, 16, nullptr));
    // Formats that cannot be converted.
    EXPECT_FALSE(m.mixer.AddFrame(1, "xxxx", 4, 1, 8000, 12, nullptr));
    EXPECT_FALSE(m.mixer.AddFrame(1, "xxxx", 4, 0, 8000, 16, nullptr));
    EXPECT_FALSE(m.mixer.AddFrame(1, "xxxx", 4, 1, 0, 16, nullptr));
    EXPECT_EQ(m.Staged(1), 100u);
    ASSERT_TRUE(m.Feed(1, std::vector<char>(220, 0)));  // completes the frame
    EXPECT_EQ(m.Queued(1), 1u);
}

TEST(MixerIntake, SourcesIdleForMoreThanTenSecondsAreForgotten) {
    carovel_test::FakeSecondsClock clock(1000000);
    OpenMixer m;
    ASSERT_TRUE(m.Feed(5, std::vector<char>(100, 0)));
    clock.Advance(5);
    ASSERT_TRUE(m.Feed(7, std::vector<char>(100, 0)));
    clock.Advance(6);                                  // source 5 idle for 11 s, source 7 for 6 s
    ASSERT_TRUE(m.Feed(7, std::vector<char>(10, 0)));  // a known source: no sweep
    EXPECT_NE(MixerTestAccess::Record(m.mixer, 5), nullptr);
    ASSERT_TRUE(m.Feed(8, std::vector<char>(100, 0)));  // a new source sweeps
    EXPECT_EQ(MixerTestAccess::Record(m.mixer, 5), nullptr);
    EXPECT_EQ(m.Staged(7), 110u);
    EXPECT_EQ(m.Staged(8), 100u);
}

TEST(MixerOutput, DeliversMasterFramesInOrderWithTheCompletingTag) {
    OpenMixer m;
    int tags[4];
    // Frame 1 is completed by the second call: it carries that call's tag.
    ASSERT_TRUE(m.Feed(0, Constant16(100, 1), &tags[0]));
    ASSERT_TRUE(m.Feed(0, Constant16(60, 1), &tags[1]));
    ASSERT_TRUE(m.Feed(0, Constant16(160, 2), &tags[2]));
    ASSERT_TRUE(m.Feed(0, Constant16(160, 3), &tags[3]));
    ASSERT_TRUE(m.sink.WaitFor(3));
    const std::vector<MixOut> outs = m.sink.Outs();
    ASSERT_EQ(outs.size(), 3u);
    const void* expectedTags[] = {&tags[1], &tags[2], &tags[3]};
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(outs[i].master, Constant16(160, i + 1));
        EXPECT_EQ(outs[i].mix, outs[i].master);  // only the master had a frame
        EXPECT_EQ(outs[i].tag, expectedTags[i]);
        EXPECT_EQ(outs[i].userData, &m.sink);
    }
}

TEST(MixerOutput, MixIsTheClampedSumOfTheSources) {
    OpenMixer m;
    ASSERT_TRUE(m.Feed(1, Constant16(160, 20000)));
    ASSERT_TRUE(m.Feed(2, Constant16(160, -500)));
    ASSERT_TRUE(m.Feed(0, Constant16(160, 20000)));
    m.mixer.NotifyToMixe();
    ASSERT_TRUE(m.sink.WaitFor(1));
    const MixOut out = m.sink.Outs()[0];
    EXPECT_EQ(out.master, Constant16(160, 20000));
    EXPECT_EQ(out.mix, Constant16(160, 32767));  // 20000 + 20000 - 500 clamps once
}

TEST(MixerOutput, NoCallbackWhileTheMasterIsSilent) {
    OpenMixer m;
    ASSERT_TRUE(m.Feed(1, Constant16(1600, 7)));
    for (int i = 0; i < 5; ++i) {
        m.mixer.NotifyToMixe();
        std::this_thread::sleep_for(milliseconds(20));
    }
    EXPECT_EQ(m.sink.Count(), 0u);
    EXPECT_EQ(m.Queued(1), 10u);  // nothing was taken from the other source
    ASSERT_TRUE(m.Feed(0, Constant16(160, 1)));
    ASSERT_TRUE(m.sink.WaitFor(1));
    EXPECT_EQ(m.sink.Outs()[0].mix, Constant16(160, 8));
}

TEST(MixerOutput, ThreadPacesItselfWithoutNotifications) {
    OpenMixer m;
    for (int i = 0; i < 5; ++i) {
        ASSERT_TRUE(m.Feed(0, Constant16(160, i)));
    }
    // Five frames of 20 ms drain in about 100 ms; the time-out is generous.
    ASSERT_TRUE(m.sink.WaitFor(5));
    EXPECT_EQ(m.Queued(0), 0u);
}

TEST(MixerLifecycle, OpenRefusesArgumentsItCannotRunWith) {
    MixSink sink;
    CMixer mixer;
    const auto cb = &MixSink::Callback;
    EXPECT_FALSE(mixer.Open(1, 8000, 16, 320, nullptr, &sink));
    EXPECT_FALSE(mixer.Open(0, 8000, 16, 320, cb, &sink));
    EXPECT_FALSE(mixer.Open(1, 0, 16, 320, cb, &sink));
    EXPECT_FALSE(mixer.Open(1, 8000, 12, 320, cb, &sink));
    EXPECT_FALSE(mixer.Open(1, 8000, 4, 320, cb, &sink));
    EXPECT_FALSE(mixer.Open(1, 8000, 16, 0, cb, &sink));
    EXPECT_FALSE(mixer.Open(2, 8000, 16, 322, cb, &sink));  // splits a stereo sample
    EXPECT_FALSE(mixer.Open(1, 8000, 24, 320, cb, &sink));  // 320 is not a multiple of 3
    EXPECT_FALSE(mixer.IsRun());
    EXPECT_FALSE(mixer.AddFrame(0, "ab", 2, 1, 8000, 16, nullptr));

    EXPECT_TRUE(mixer.Open(2, 48000, 24, 6 * 480, cb, &sink));
    EXPECT_TRUE(mixer.IsRun());
    EXPECT_FALSE(mixer.Open(1, 8000, 16, 320, cb, &sink));  // already open
    EXPECT_TRUE(mixer.IsRun());
    EXPECT_TRUE(mixer.Close());
    EXPECT_FALSE(mixer.IsRun());
    EXPECT_FALSE(mixer.AddFrame(0, "ab", 2, 1, 8000, 16, nullptr));
    EXPECT_TRUE(mixer.Close());  // closing twice is harmless
}

TEST(MixerLifecycle, CloseDropsSourcesAndReopenClearsQueues) {
    OpenMixer m;
    ASSERT_TRUE(m.Feed(4, std::vector<char>(400, 0)));
    EXPECT_TRUE(m.mixer.Close());
    EXPECT_EQ(MixerTestAccess::Record(m.mixer, 4), nullptr);
    EXPECT_EQ(m.Queued(4), 1u);  // queues stay until the next Open
    ASSERT_TRUE(m.mixer.Open(1, 8000, 16, kFrame, &MixSink::Callback, &m.sink));
    EXPECT_EQ(m.Queued(4), 0u);
}

TEST(MixerLifecycle, ClearTraceDataDropsStagedAndQueuedBytes) {
    OpenMixer m;
    ASSERT_TRUE(m.Feed(1, std::vector<char>(700, 0)));
    EXPECT_EQ(m.Queued(1), 2u);
    EXPECT_EQ(m.Staged(1), 60u);
    m.mixer.ClearTraceData();
    EXPECT_EQ(m.Queued(1), 0u);
    EXPECT_EQ(m.Staged(1), 0u);
    ASSERT_TRUE(m.Feed(1, std::vector<char>(320, 0)));
    EXPECT_EQ(m.Queued(1), 1u);
}

std::atomic<bool> g_release{false};
void BlockingCallback(char*, unsigned, char*, unsigned, void* userData, void*) {
    static_cast<std::atomic<int>*>(userData)->fetch_add(1);
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    while (!g_release && std::chrono::steady_clock::now() < until) {
        std::this_thread::sleep_for(milliseconds(5));
    }
}

TEST(MixerLifecycle, CloseIsBoundedWhileACallbackBlocks) {
    std::atomic<int> calls{0};
    MixSink sink;
    CMixer mixer;
    g_release = false;
    ASSERT_TRUE(mixer.Open(1, 8000, 16, kFrame, &BlockingCallback, &calls));
    ASSERT_TRUE(mixer.AddFrame(0, std::vector<char>(640, 0).data(), 640, 1, 8000, 16, nullptr));
    mixer.NotifyToMixe();
    while (calls == 0) {
        std::this_thread::sleep_for(milliseconds(1));
    }
    const auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(mixer.Close());
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
    EXPECT_FALSE(mixer.IsRun());

    // The next Open waits for the old callback, then works normally; the
    // second queued frame was cleared, so the old thread never calls again.
    ASSERT_TRUE(mixer.Open(1, 8000, 16, kFrame, &MixSink::Callback, &sink));
    EXPECT_EQ(calls.load(), 1);
    ASSERT_TRUE(mixer.AddFrame(0, std::vector<char>(320, 0).data(), 320, 1, 8000, 16, nullptr));
    EXPECT_TRUE(sink.WaitFor(1));
    EXPECT_EQ(calls.load(), 1);
}

struct SelfCloser {
    CMixer* mixer = nullptr;
    std::unique_ptr<CMixer> owned;
    std::atomic<int> calls{0};
    std::atomic<bool> reopenRefused{false};
    std::atomic<bool> hostDone{false};
};

void CloseFromCallback(char*, unsigned, char*, unsigned, void* userData, void*) {
    auto* s = static_cast<SelfCloser*>(userData);
    s->mixer->Close();
    s->reopenRefused =
        !s->mixer->Open(1, 8000, 16, kFrame, &CloseFromCallback, userData);  // from the thread
    ++s->calls;
}

void DestroyFromCallback(char*, unsigned, char*, unsigned, void* userData, void*) {
    auto* s = static_cast<SelfCloser*>(userData);
    while (!s->hostDone) {  // the host must be out of every call on the mixer
        std::this_thread::yield();
    }
    s->owned.reset();
    ++s->calls;
}

TEST(MixerLifecycle, CloseAndDestroyFromInsideTheCallback) {
    MixSink sink;  // outlives the mixer that calls into it
    SelfCloser closer;
    CMixer mixer;
    closer.mixer = &mixer;
    ASSERT_TRUE(mixer.Open(1, 8000, 16, kFrame, &CloseFromCallback, &closer));
    ASSERT_TRUE(mixer.AddFrame(0, std::vector<char>(960, 0).data(), 960, 1, 8000, 16, nullptr));
    while (closer.calls == 0) {
        std::this_thread::sleep_for(milliseconds(1));
    }
    EXPECT_TRUE(closer.reopenRefused);
    EXPECT_FALSE(mixer.IsRun());
    // Reopen from the host thread waits for the old thread and works.
    ASSERT_TRUE(mixer.Open(1, 8000, 16, kFrame, &MixSink::Callback, &sink));
    ASSERT_TRUE(mixer.AddFrame(0, std::vector<char>(320, 0).data(), 320, 1, 8000, 16, nullptr));
    EXPECT_TRUE(sink.WaitFor(1));
    EXPECT_EQ(closer.calls.load(), 1);

    SelfCloser destroyer;
    destroyer.owned = std::make_unique<CMixer>();
    CMixer* raw = destroyer.owned.get();
    ASSERT_TRUE(raw->Open(1, 8000, 16, kFrame, &DestroyFromCallback, &destroyer));
    ASSERT_TRUE(raw->AddFrame(0, std::vector<char>(960, 0).data(), 960, 1, 8000, 16, nullptr));
    destroyer.hostDone = true;
    while (destroyer.calls == 0) {
        std::this_thread::sleep_for(milliseconds(1));
    }
    std::this_thread::sleep_for(milliseconds(50));  // let the detached thread finish
    EXPECT_EQ(destroyer.owned, nullptr);
    EXPECT_EQ(destroyer.calls.load(), 1);
}

std::atomic<int> g_closingCallbacks{0};
void SlowCloseFromCallback(char*, unsigned, char*, unsigned, void* userData, void*) {
    ++g_closingCallbacks;
    std::this_thread::sleep_for(milliseconds(50));
    static_cast<CMixer*>(userData)->Close();
}

TEST(MixerLifecycle, HostAndCallbackMayCloseAtTheSameTime) {
    for (int round = 0; round < 20; ++round) {
        g_closingCallbacks = 0;
        auto mixer = std::make_unique<CMixer>();
        ASSERT_TRUE(mixer->Open(1, 8000, 16, kFrame, &SlowCloseFromCallback, mixer.get()));
        ASSERT_TRUE(
            mixer->AddFrame(0, std::vector<char>(320, 0).data(), 320, 1, 8000, 16, nullptr));
        mixer->NotifyToMixe();
        while (g_closingCallbacks == 0) {
            std::this_thread::sleep_for(milliseconds(1));
        }
        // The callback closes too, a little later; alternately the host
        // closes or destroys the mixer meanwhile.
        if (round % 2 == 0) {
            EXPECT_NO_THROW(mixer->Close());
            EXPECT_FALSE(mixer->IsRun());
        }
        EXPECT_NO_THROW(mixer.reset());
    }
}

TEST(MixerLifecycle, ReopenFromAnyThreadAfterTheCallbackClosed) {
    // Thread ids are reused: a new host thread may get the id of the output
    // thread that closed the mixer, and must still be able to reopen it.
    for (int round = 0; round < 5; ++round) {
        SelfCloser closer;
        CMixer mixer;
        closer.mixer = &mixer;
        ASSERT_TRUE(mixer.Open(1, 8000, 16, kFrame, &CloseFromCallback, &closer));
        ASSERT_TRUE(mixer.AddFrame(0, std::vector<char>(320, 0).data(), 320, 1, 8000, 16, nullptr));
        mixer.NotifyToMixe();
        while (closer.calls == 0) {
            std::this_thread::sleep_for(milliseconds(1));
        }
        std::this_thread::sleep_for(milliseconds(20));  // the output thread ends
        MixSink sink;
        bool reopened = false;
        std::thread host(
            [&] { reopened = mixer.Open(1, 8000, 16, kFrame, &MixSink::Callback, &sink); });
        host.join();
        EXPECT_TRUE(reopened) << round;
        EXPECT_TRUE(mixer.Close());
    }
}

TEST(MixerLifecycle, DestroyingAnOpenMixerStopsItsThread) {
    MixSink sink;
    {
        CMixer mixer;
        ASSERT_TRUE(mixer.Open(1, 8000, 16, kFrame, &MixSink::Callback, &sink));
        // Ten seconds of master frames: the thread would go on calling back.
        ASSERT_TRUE(
            mixer.AddFrame(0, std::vector<char>(160000, 0).data(), 160000, 1, 8000, 16, nullptr));
        ASSERT_TRUE(sink.WaitFor(1));
    }
    const std::size_t after = sink.Count();
    std::this_thread::sleep_for(milliseconds(100));
    EXPECT_EQ(sink.Count(), after);
    EXPECT_LT(after, 500u);
}

TEST(MixerOutput, NotifyStartsThePassAtOnce) {
    MixSink sink;
    CMixer mixer;
    // 65520-byte frames of 8000 Hz 8-bit mono: an 8.19 s period, which the
    // time-outs below are far too short to wait out.
    constexpr unsigned short kLong = 65520;
    ASSERT_TRUE(mixer.Open(1, 8000, 8, kLong, &MixSink::Callback, &sink));
    const std::vector<char> frames(2 * kLong, 1);
    ASSERT_TRUE(mixer.AddFrame(0, frames.data(), 2 * kLong, 1, 8000, 8, nullptr));
    mixer.NotifyToMixe();
    EXPECT_TRUE(sink.WaitFor(1, std::chrono::seconds(3)));
    mixer.NotifyToMixe();
    EXPECT_TRUE(sink.WaitFor(2, std::chrono::seconds(3)));
}

}  // namespace
