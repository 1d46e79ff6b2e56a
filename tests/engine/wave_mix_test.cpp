#include "carovel/wave_mix.h"

#include <gtest/gtest.h>

#include <atomic>
#include <ctime>
#include <mutex>
#include <numeric>
#include <thread>
#include <vector>

#include "engine/source_queue.h"
#include "platform/clock.h"
#include "support/fake_clock.h"
#include "support/pcm.h"
#include "support/test_access.h"

namespace {

using _Carovel::CWaveMix;
using _Carovel::WaveMixTestAccess;
using carovel_test::Pack;
using carovel_test::Pack16;
using carovel_test::Unpack;

struct PassResult {
    std::vector<char> master;
    std::vector<char> mix;
    void* tag = nullptr;
};

PassResult RunPass(CWaveMix& wm, int capA = 4096, int capB = 4096) {
    PassResult r;
    r.master.resize(static_cast<std::size_t>(std::max(capA, 0)));
    r.mix.resize(static_cast<std::size_t>(std::max(capB, 0)));
    int masterLen = capA;
    int mixLen = capB;
    wm.GetMixedFrame(r.master.data(), masterLen, r.mix.data(), mixLen, &r.tag);
    r.master.resize(static_cast<std::size_t>(masterLen));
    r.mix.resize(static_cast<std::size_t>(mixLen));
    return r;
}

TEST(WaveMixPass, SixteenBitSumsAreClampedOnceAfterAllAdditions) {
    CWaveMix wm;
    wm.Init(2);
    const std::vector<std::vector<std::int64_t>> tracks = {
        {30000, -30000, 30000, 100}, {10000, -10000, 10000, -300}, {0, 0, -20000, 7}};
    for (long id = 0; id < 3; ++id) {
        const std::vector<char> f = Pack16(tracks[static_cast<std::size_t>(id)]);
        ASSERT_TRUE(wm.AddFrame(id, f.data(), static_cast<int>(f.size()), nullptr));
    }
    const PassResult r = RunPass(wm);
    // 30000+10000 clamps; -30000-10000 clamps; 30000+10000-20000 is 20000, not
    // 32767-20000; 100-300+7.
    EXPECT_EQ(Unpack(r.mix, 2), (std::vector<std::int64_t>{32767, -32768, 20000, -193}));
    EXPECT_EQ(Unpack(r.master, 2), tracks[0]);
}

TEST(WaveMixPass, EightBitSamplesAreOffsetBinaryAroundTheMidpoint) {
    CWaveMix wm;
    wm.Init(1);
    const std::vector<char> a = Pack({200, 0, 128, 130, 255}, 1);
    const std::vector<char> b = Pack({200, 0, 128, 120, 255}, 1);
    wm.AddFrame(0, a.data(), 5, nullptr);
    wm.AddFrame(1, b.data(), 5, nullptr);
    EXPECT_EQ(Unpack(RunPass(wm).mix, 1), (std::vector<std::int64_t>{255, 0, 128, 122, 255}));
}

TEST(WaveMixPass, WideSamplesAreSignedAndClampedToTheirRange) {
    CWaveMix wm24;
    wm24.Init(3);
    const std::vector<char> a = Pack({8000000, -8000000, -5, 1000000}, 3);
    const std::vector<char> b = Pack({8000000, -8000000, 3, -2000000}, 3);
    wm24.AddFrame(0, a.data(), 12, nullptr);
    wm24.AddFrame(9, b.data(), 12, nullptr);
    EXPECT_EQ(Unpack(RunPass(wm24).mix, 3),
              (std::vector<std::int64_t>{8388607, -8388608, -2, -1000000}));

    CWaveMix wm32;
    wm32.Init(4);
    const std::vector<char> c = Pack({2000000000, -2000000000, -1}, 4);
    wm32.AddFrame(0, c.data(), 12, nullptr);
    wm32.AddFrame(1, c.data(), 12, nullptr);
    EXPECT_EQ(Unpack(RunPass(wm32).mix, 4),
              (std::vector<std::int64_t>{2147483647, -2147483648LL, -2}));
}

TEST(WaveMixPass, MixIsAsLongAsTheLongestFrameAndCutAtWholeSamples) {
    CWaveMix wm;
    wm.Init(2);
    std::vector<std::int64_t> longer(160, 1000), shorter(80, 5);
    const std::vector<char> a = Pack16(longer), b = Pack16(shorter);
    wm.AddFrame(0, b.data(), 160, nullptr);
    wm.AddFrame(1, a.data(), 320, nullptr);
    const PassResult full = RunPass(wm, 4096, 320);
    ASSERT_EQ(full.mix.size(), 320u);
    const std::vector<std::int64_t> mixed = Unpack(full.mix, 2);
    EXPECT_EQ(mixed[79], 1005);
    EXPECT_EQ(mixed[80], 1000);  // only the longer frame from byte 160 on

    for (int cap : {100, 101}) {
        wm.AddFrame(0, a.data(), 320, nullptr);
        wm.AddFrame(1, a.data(), 320, nullptr);
        EXPECT_EQ(RunPass(wm, 4096, cap).mix.size(), 100u) << "capacity " << cap;
    }
    // An odd trailing byte of a frame is not a whole sample and is not mixed.
    wm.AddFrame(0, a.data(), 5, nullptr);
    wm.AddFrame(1, a.data(), 3, nullptr);
    EXPECT_EQ(RunPass(wm).mix.size(), 4u);
}

TEST(WaveMixPass, SingleFrameIsCopiedUnchangedToBothBuffers) {
    CWaveMix wm;
    wm.Init(2);
    const char odd[7] = {1, 2, 3, 4, 5, 6, 7};
    int tag = 0;
    wm.AddFrame(0, odd, 7, &tag);
    const PassResult r = RunPass(wm, 5, 6);
    EXPECT_EQ(r.master, std::vector<char>(odd, odd + 5));
    EXPECT_EQ(r.mix, std::vector<char>(odd, odd + 6));  // byte copy, not cut at a sample
    EXPECT_EQ(r.tag, &tag);
}

TEST(WaveMixPass, NothingIsTakenWhileTheMasterTrackIsEmpty) {
    CWaveMix wm;
    wm.Init(2);
    const std::vector<char> f = Pack16({1, 2});
    wm.AddFrame(1, f.data(), 4, nullptr);
    wm.AddFrame(2, f.data(), 4, nullptr);
    void* tag = &wm;
    int masterLen = 16, mixLen = 16;
    char m[16], x[16];
    wm.GetMixedFrame(m, masterLen, x, mixLen, &tag);
    EXPECT_EQ(masterLen, 0);
    EXPECT_EQ(mixLen, 0);
    EXPECT_EQ(tag, &wm);  // left as it was
    // The other tracks kept their frames: they mix with the next master frame.
    wm.AddFrame(0, f.data(), 4, nullptr);
    EXPECT_EQ(Unpack(RunPass(wm).mix, 2), (std::vector<std::int64_t>{3, 6}));
}

TEST(WaveMixPass, FramesOfATrackComeOutInOrderWithTheirTags) {
    CWaveMix wm;
    wm.Init(2);
    std::vector<char> buf = Pack16({1});
    int tags[3];
    for (int i = 0; i < 3; ++i) {
        buf = Pack16({i + 1});
        wm.AddFrame(0, buf.data(), 2, &tags[i]);
        buf[0] = 99;  // the queued frame is a copy
    }
    for (int i = 0; i < 3; ++i) {
        const PassResult r = RunPass(wm);
        EXPECT_EQ(Unpack(r.master, 2), (std::vector<std::int64_t>{i + 1}));
        EXPECT_EQ(r.tag, &tags[i]);
    }
    EXPECT_TRUE(RunPass(wm).mix.empty());
}

TEST(WaveMixPass, RejectsBadInputAndUnsupportedWidths) {
    CWaveMix wm;
    wm.Init(2);
    EXPECT_FALSE(wm.AddFrame(0, "ab", -1, nullptr));
    EXPECT_FALSE(wm.AddFrame(0, nullptr, 2, nullptr));
    EXPECT_TRUE(wm.AddFrame(0, nullptr, 0, nullptr));  // an empty frame is a frame
    EXPECT_TRUE(RunPass(wm).mix.empty());

    for (unsigned short width : {0, 5}) {
        wm.Init(width);
        wm.AddFrame(0, "abcdefgh", 8, nullptr);
        const PassResult r = RunPass(wm);
        EXPECT_TRUE(r.master.empty() && r.mix.empty()) << "width " << width;
    }
    // Null pass arguments and negative capacities produce nothing and crash nothing.
    wm.Init(2);
    wm.AddFrame(0, "abcd", 4, nullptr);
    int masterLen = -5, mixLen = 64;
    wm.GetMixedFrame(nullptr, masterLen, nullptr, mixLen, nullptr);
    EXPECT_EQ(masterLen, 0);
    EXPECT_EQ(mixLen, 0);
}

// Idle expiry, driven by a fake seconds clock.
class WaveMixExpiry : public ::testing::Test {
  protected:
    carovel_test::FakeSecondsClock clock{1000000};
};

TEST_F(WaveMixExpiry, EmptyTrackExpiresAfterMoreThanTenIdleSeconds) {
    CWaveMix wm;
    wm.Init(2);
    const std::vector<char> one = Pack16({1}), hundred = Pack16({100});
    wm.AddFrame(5, hundred.data(), 2, nullptr);  // track 5 last fed at t
    wm.AddFrame(6, hundred.data(), 2, nullptr);  // track 6 too
    wm.AddFrame(0, one.data(), 2, nullptr);
    RunPass(wm);  // takes their frames; both now empty

    EXPECT_EQ(WaveMixTestAccess::TrackIDs(wm), (std::vector<long>{5, 6, 0}));

    clock.Advance(10);  // exactly 10 s: both stay
    wm.AddFrame(0, one.data(), 2, nullptr);
    RunPass(wm);
    EXPECT_EQ(WaveMixTestAccess::TrackIDs(wm), (std::vector<long>{5, 6, 0}));

    clock.Advance(1);  // 11 s: removed by this pass; track 6 refreshed just before
    wm.AddFrame(6, hundred.data(), 2, nullptr);
    wm.AddFrame(0, one.data(), 2, nullptr);
    EXPECT_EQ(Unpack(RunPass(wm).mix, 2), (std::vector<std::int64_t>{101}));
    EXPECT_EQ(WaveMixTestAccess::TrackIDs(wm), (std::vector<long>{6, 0}));

    // A removed track comes back at the tail on its next frame.
    wm.AddFrame(5, hundred.data(), 2, nullptr);
    EXPECT_EQ(WaveMixTestAccess::TrackIDs(wm), (std::vector<long>{6, 0, 5}));
}

TEST_F(WaveMixExpiry, TrackWithQueuedFramesNeverExpires) {
    CWaveMix wm;
    wm.Init(2);
    const std::vector<char> v = Pack16({7});
    clock.Set(2000000);
    wm.AddFrame(3, v.data(), 2, nullptr);
    wm.AddFrame(3, v.data(), 2, nullptr);
    clock.Advance(100);
    wm.AddFrame(0, v.data(), 2, nullptr);
    EXPECT_EQ(Unpack(RunPass(wm).mix, 2), (std::vector<std::int64_t>{14}));
    wm.AddFrame(0, v.data(), 2, nullptr);
    EXPECT_EQ(Unpack(RunPass(wm).mix, 2), (std::vector<std::int64_t>{14}));
    EXPECT_EQ(WaveMixTestAccess::TrackIDs(wm), (std::vector<long>{3, 0}));
    wm.AddFrame(0, v.data(), 2, nullptr);
    RunPass(wm);  // now empty and idle for 100 s: removed
    EXPECT_EQ(WaveMixTestAccess::TrackIDs(wm), (std::vector<long>{0}));
}

TEST(WaveMixThreads, EveryFrameQueuedByManyThreadsIsMixedExactlyOnce) {
    CWaveMix wm;
    wm.Init(4);  // 32-bit: wide enough that sums never clamp
    constexpr int kProducers = 4;
    constexpr int kFramesEach = 2000;
    constexpr int kMasterFrames = kFramesEach + 50;
    std::vector<std::thread> producers;
    for (int p = 1; p <= kProducers; ++p) {
        producers.emplace_back([&wm, p] {
            for (int i = 0; i < kFramesEach; ++i) {
                // Sample values identify the producer and the frame.
                const std::vector<char> f = Pack({p * 100000 + i, 1}, 4);
                ASSERT_TRUE(wm.AddFrame(p, f.data(), 8, nullptr));
            }
        });
    }
    std::int64_t total = 0, frames = 0;
    const std::vector<char> zero = Pack({0, 0}, 4);
    for (int m = 0; m < kMasterFrames; ++m) {
        wm.AddFrame(0, zero.data(), 8, nullptr);
    }
    int passes = 0;
    while (passes < kMasterFrames * 4) {
        const PassResult r = RunPass(wm);
        ++passes;
        if (r.mix.empty()) {
            break;
        }
        const std::vector<std::int64_t> s = Unpack(r.mix, 4);
        total += s[0];
        frames += s[1];
        if (frames == std::int64_t{kProducers} * kFramesEach) {
            break;
        }
        if (passes % 50 == 0) {
            std::this_thread::yield();
        }
    }
    for (auto& t : producers) {
        t.join();
    }
    // Whatever is still queued after the producers ended is mixed now.
    for (int i = 0; i < kFramesEach; ++i) {
        wm.AddFrame(0, zero.data(), 8, nullptr);
        const PassResult r = RunPass(wm);
        const std::vector<std::int64_t> s = Unpack(r.mix, 4);
        total += s[0];
        frames += s[1];
    }
    std::int64_t expected = 0;
    for (int p = 1; p <= kProducers; ++p) {
        for (int i = 0; i < kFramesEach; ++i) {
            expected += p * 100000 + i;
        }
    }
    EXPECT_EQ(frames, std::int64_t{kProducers} * kFramesEach);
    EXPECT_EQ(total, expected);
}

}  // namespace
