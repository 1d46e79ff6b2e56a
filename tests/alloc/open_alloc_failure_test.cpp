// CMixer::Open, a converter stream changing its resampler, the frame mixer's
// table making a source's queue, and live mode's trim stage taking input, when memory runs out at
// any of their allocations. This test program replaces the global operator new so that one chosen
// allocation fails.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <new>
#include <thread>
#include <vector>

#include "carovel/mixer.h"
#include "carovel/wave_mix.h"
#include "convert/convert_stream.h"
#include "engine/queue_table.h"
#include "mixer/intake/source_intake.h"
#include "mixer/live/trim_stage.h"
#include "support/pcm.h"
#include "support/test_access.h"

namespace {
std::atomic<long> g_failAt{-1};  // index of the allocation to fail; -1: none
std::atomic<long> g_count{0};
}  // namespace

void* operator new(std::size_t n) {
    const long failAt = g_failAt.load();
    if (failAt >= 0 && g_count.fetch_add(1) == failAt) {
        throw std::bad_alloc();
    }
    if (void* p = std::malloc(n != 0 ? n : 1)) {
        return p;
    }
    throw std::bad_alloc();
}
// The replacement operator new above takes its memory from malloc, so free is
// the matching release. Kept out of line: inlined into callers, GCC would
// pair the free with the operator new it sees there and warn.
[[gnu::noinline]] void operator delete(void* p) noexcept {
    std::free(p);
}
[[gnu::noinline]] void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}

namespace {

using _Carovel::CMixer;

void Nop(char*, unsigned, char*, unsigned, void*, void*) {}

// Destroys the mixer on another thread; false if that did not finish in time.
bool DestroysInTime(std::unique_ptr<CMixer> mixer) {
    auto done = std::make_shared<std::atomic<bool>>(false);
    std::thread destroyer([m = mixer.release(), done] {
        delete m;
        *done = true;
    });
    for (int i = 0; i < 500 && !*done; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (!*done) {
        destroyer.detach();
        return false;
    }
    destroyer.join();
    return true;
}

// Runs call with allocation number n (counted from 0) failing; returns
// whether the call got as far as that allocation.
template <class Call>
bool FailsAllocation(long n, Call&& call) {
    g_count = 0;
    g_failAt = n;
    call();
    const bool reached = g_count.load() > n;
    g_failAt = -1;
    return reached;
}

TEST(OpenAllocationFailure, EveryFailureIsReportedAndLeavesTheMixerUsable) {
    int failures = 0;
    for (long n = 0; n < 64; ++n) {
        auto mixer = std::make_unique<CMixer>();
        bool opened = false;
        if (!FailsAllocation(n, [&] {
                EXPECT_NO_THROW(opened = mixer->Open(1, 8000, 16, 320, &Nop, nullptr)) << n;
            })) {
            EXPECT_TRUE(opened) << n;  // Open needed fewer allocations than n
            EXPECT_TRUE(DestroysInTime(std::move(mixer))) << n;
            break;
        }
        ++failures;
        EXPECT_FALSE(opened) << n;
        EXPECT_FALSE(mixer->IsRun()) << n;
        EXPECT_FALSE(mixer->AddFrame(0, "ab", 2, 1, 8000, 16, nullptr)) << n;
        // The refused Open changed nothing: a second Open works.
        EXPECT_TRUE(mixer->Open(1, 8000, 16, 320, &Nop, nullptr)) << n;
        EXPECT_TRUE(DestroysInTime(std::move(mixer))) << n;
    }
    EXPECT_GT(failures, 0);  // Open does allocate, so some failures were injected
}

// A trim asked of a stream on the whole-factor upsampler, before its first
// input, moves it to the trimmable resampler; when memory runs out on the
// way the trim is refused and the stream converts exactly as one never
// asked.
TEST(TrimAllocationFailure, ARefusedTrimLeavesTheStreamAsItWas) {
    const _Carovel::PcmFormat src{1, 16000, 16}, dst{1, 48000, 16};
    std::vector<unsigned char> in(640);
    for (std::size_t i = 0; i < in.size(); ++i) {
        in[i] = static_cast<unsigned char>(i * 37 + 11);
    }
    auto convert = [&](_Carovel::ConvertStream& stream) {
        std::vector<unsigned char> out(4000);
        const _Carovel::StepResult r = stream.Step(in.data(), in.size(), out.data(), out.size());
        out.resize(r.produced);
        return out;
    };
    const auto plain = _Carovel::ConvertStream::Create(src, dst);
    ASSERT_TRUE(plain && plain->OnUpsampler());
    const std::vector<unsigned char> expected = convert(*plain);
    int failures = 0;
    for (long n = 0; n < 16; ++n) {
        const auto stream = _Carovel::ConvertStream::Create(src, dst);
        ASSERT_NE(stream, nullptr);
        bool trimmed = false;
        if (!FailsAllocation(
                n, [&] { EXPECT_NO_THROW(trimmed = stream->SetTrim(300, nullptr, 0)) << n; })) {
            EXPECT_TRUE(trimmed) << n;
            break;
        }
        ++failures;
        EXPECT_FALSE(trimmed) << n;
        EXPECT_TRUE(stream->OnUpsampler()) << n;
        EXPECT_EQ(convert(*stream), expected) << n;
    }
    EXPECT_GT(failures, 0);
}

// A stereo trim stage refused input because its second channel could not
// grow (the first did): nothing is taken, and what it takes next comes out
// as from a stage that never failed, with PushPull and with Push.
TEST(TrimAllocationFailure, AStageRefusedInputTakesTheNextAsIfNothingHappened) {
    const _Carovel::PcmFormat format{2, 48000, 16};
    // The refused input is larger than the next, which then needs no more
    // room than the first channel got.
    std::vector<unsigned char> big(4 * 3000);
    std::vector<unsigned char> next(4 * 900);
    for (std::size_t i = 0; i < big.size(); ++i) {
        big[i] = static_cast<unsigned char>(i * 13 + 1);
        next[i % next.size()] = static_cast<unsigned char>(i * 29 + 3);
    }
    auto run = [&](_Carovel::TrimStage& stage, bool pushPull) {
        stage.SetTrim(400);
        std::vector<unsigned char> out(4 * 4000);
        std::size_t made = 0;
        if (pushPull) {
            EXPECT_TRUE(stage.PushPull(next.data(), 900, out.data(), 4000, &made));
        } else {
            EXPECT_TRUE(stage.Push(next.data(), 900));
            made = stage.Pull(out.data(), 4000);
        }
        out.resize(4 * made);
        return out;
    };
    // Primed: the stage took a block by PushPull before, and keeps what its
    // next outputs read inside itself when the big input is refused.
    auto prime = [&](_Carovel::TrimStage& stage) {
        std::vector<unsigned char> out(4 * 4000);
        std::size_t made = 0;
        EXPECT_TRUE(stage.PushPull(next.data(), 900, out.data(), 4000, &made));
    };
    for (const bool primed : {false, true}) {
        for (const bool pushPull : {false, true}) {
            SCOPED_TRACE(testing::Message() << "primed " << primed << ", pushPull " << pushPull);
            _Carovel::TrimStage plain(format);
            if (primed) {
                prime(plain);
            }
            const std::vector<unsigned char> expected = run(plain, pushPull);
            ASSERT_GT(expected.size(), 4u * 850);
            int failures = 0;
            for (long n = 0; n < 8; ++n) {
                _Carovel::TrimStage stage(format);
                if (primed) {
                    prime(stage);
                }
                const std::size_t heldBack = stage.HeldBackBlocks();
                bool taken = false;
                if (!FailsAllocation(n, [&] { taken = stage.Push(big.data(), 3000); })) {
                    EXPECT_TRUE(taken) << n;
                    break;
                }
                ++failures;
                EXPECT_FALSE(taken) << n;
                EXPECT_EQ(stage.HeldBackBlocks(), heldBack) << n;
                EXPECT_EQ(run(stage, pushPull), expected) << n;
            }
            EXPECT_EQ(failures, 2);  // one per channel's plane
        }
    }
}

// A new source's queue refused at any of its allocations (the slot table,
// the queue, the room in the table's array, the index): the push reports it
// and the table is as it was, with 0 or 16 sources before (the array grows
// at the 17th); the next push makes the queue.
// A converted source whose partial sample block is completed by the next
// call: when memory runs out queuing what that block made, the block is not
// converted a second time with the source's next call. Frames of one sample,
// so every sample block is a frame; each block holds its own value.
TEST(IntakeAllocationFailure, ACompletedBlockIsConvertedOnceWhateverFails) {
    struct Mixed {
        static void Take(char*, unsigned, char* mix, unsigned len, void* self, void*) {
            auto* values = static_cast<std::vector<int>*>(self);
            for (unsigned i = 0; i + 1 < len; i += 2) {
                values->push_back(
                    static_cast<std::int16_t>(static_cast<unsigned char>(mix[i]) |
                                              static_cast<unsigned char>(mix[i + 1]) << 8));
            }
        }
    };
    // Four stereo 8-bit blocks, both channels alike: the mix gets 2560 * (i + 1).
    std::vector<char> blocks;
    for (int i = 0; i < 4; ++i) {
        blocks.push_back(static_cast<char>(128 + 10 * (i + 1)));
        blocks.push_back(static_cast<char>(128 + 10 * (i + 1)));
    }
    int failures = 0;
    for (long n = 0; n < 64; ++n) {
        std::vector<int> mixed;
        CMixer mixer;
        ASSERT_TRUE(mixer.OpenManual(1, 8000, 16, 2, &Mixed::Take, &mixed));
        ASSERT_TRUE(mixer.AddFrame(5, blocks.data(), 1, 2, 8000, 8, nullptr));  // half a block
        const bool reached = FailsAllocation(
            n, [&] { (void)mixer.AddFrame(5, blocks.data() + 1, 4, 2, 8000, 8, nullptr); });
        (void)mixer.AddFrame(5, blocks.data() + 5, 3, 2, 8000, 8, nullptr);
        const std::vector<char> silence(16, 0);
        ASSERT_TRUE(mixer.AddFrame(0, silence.data(), 16, 1, 8000, 16, nullptr));
        mixer.MixPending(8);
        // What reached the mix: blocks in order, none twice.
        std::vector<int> got;
        for (const int v : mixed) {
            if (v != 0) {
                got.push_back(v);
            }
        }
        int last = 0;
        for (const int v : got) {
            EXPECT_GT(v, last) << n;  // in order, none repeated
            EXPECT_EQ(v % 2560, 0) << n;
            last = v;
        }
        if (!reached) {
            EXPECT_EQ(got, (std::vector<int>{2560, 5120, 7680, 10240})) << n;
            break;
        }
        ++failures;
    }
    EXPECT_GT(failures, 0);
}

// The same for a source in the mixing format going through the trim stage:
// whatever allocation fails, the samples that follow stay on their channels
// (stereo, left +1000 and right -1000 throughout, fed in pieces of 7 bytes
// and one long one).
TEST(IntakeAllocationFailure, ATrimmedStereoStreamStaysOnItsChannels) {
    const _Carovel::PcmFormat stereo{2, 8000, 16};
    std::vector<char> stream;
    for (int i = 0; i < 4000; ++i) {
        for (const int v : {1000, -1000}) {
            stream.push_back(static_cast<char>(v & 0xff));
            stream.push_back(static_cast<char>((v >> 8) & 0xff));
        }
    }
    int failures = 0;
    for (long n = 0; n < 64; ++n) {
        _Carovel::CWaveMix wm;
        wm.Init(2);
        _Carovel::SourceIntake intake(5, stereo, 320);
        intake.SetTrim(300);
        std::size_t at = 0;
        const auto feed = [&](std::size_t bytes) {
            (void)intake.Feed(stream.data() + at, bytes, stereo, nullptr, _Carovel::SinkOf(wm));
            at += bytes;
        };
        for (int i = 0; i < 100; ++i) {
            feed(7);
        }
        // A long piece, more than the stage has room for: it grows.
        const bool reached = FailsAllocation(n, [&] { feed(6001); });
        while (at + 7 <= stream.size()) {
            feed(7);
        }
        // Every frame queued for the source, past the filter's first ramp.
        int frames = 0;
        for (;;) {
            const std::vector<char> silence(320, 0);
            ASSERT_TRUE(wm.AddFrame(0, silence.data(), 320, nullptr));
            std::vector<char> master(320), mix(320);
            int masterLen = 320, mixLen = 320;
            wm.GetMixedFrame(master.data(), masterLen, mix.data(), mixLen, nullptr);
            const std::vector<std::int64_t> got =
                carovel_test::Unpack(std::vector<char>(mix.begin(), mix.begin() + mixLen), 2);
            if (_Carovel::WaveMixTestAccess::QueuedFrames(wm, 5) == 0 && frames > 0 &&
                std::all_of(got.begin(), got.end(), [](std::int64_t v) { return v == 0; })) {
                break;
            }
            if (++frames > 2) {
                for (std::size_t i = 0; i + 1 < got.size(); i += 2) {
                    ASSERT_NEAR(got[i], 1000, 4) << n << " frame " << frames;
                    ASSERT_NEAR(got[i + 1], -1000, 4) << n << " frame " << frames;
                }
            }
            ASSERT_LT(frames, 200) << n;
        }
        EXPECT_GT(frames, 25) << n;  // 50 fed; a refused piece drops 19
        if (!reached) {
            break;
        }
        ++failures;
    }
    EXPECT_GT(failures, 0);
}

// A pass with mix-minus outputs and the limiter, memory running out at any
// of its allocations: either it takes nothing (every frame stays for the
// next pass) or it gives the mix with every source's output, never the mix
// alone.
TEST(PassAllocationFailure, APassGivesItsMixWithEveryOutputOrTakesNothing) {
    int failures = 0;
    for (long n = 0; n < 64; ++n) {
        _Carovel::CWaveMix wm;
        wm.Init(2);
        ASSERT_TRUE(wm.SetLimiter(true));
        _Carovel::CMixMinusFrames minus;
        minus.SetIncludeIdle(true);
        const std::vector<char> frame(320, 1);
        for (long id : {2L, 3L, 0L, 1L}) {
            ASSERT_TRUE(wm.AddFrame(id, frame.data(), 320, nullptr));
        }
        std::vector<char> master(320), mix(320);
        int masterLen = 320, mixLen = 320;
        const bool reached = FailsAllocation(n, [&] {
            wm.GetMixedFrame(master.data(), masterLen, mix.data(), mixLen, nullptr, minus);
        });
        if (mixLen > 0) {
            EXPECT_EQ(minus.LastStatus(), _Carovel::Status::kOk) << n;
            EXPECT_EQ(minus.Count(), 4) << n;
        } else {
            EXPECT_EQ(minus.LastStatus(), _Carovel::Status::kOutOfMemory) << n;
            masterLen = mixLen = 320;  // the frames are still there
            wm.GetMixedFrame(master.data(), masterLen, mix.data(), mixLen, nullptr, minus);
            EXPECT_EQ(mixLen, 320) << n;
            EXPECT_EQ(minus.Count(), 4) << n;
        }
        if (!reached) {
            break;
        }
        ++failures;
    }
    EXPECT_GT(failures, 2);
}

TEST(QueueTableAllocationFailure, ARefusedQueueLeavesTheTableAsItWas) {
    using _Carovel::QueueTable;
    using _Carovel::Status;
    for (const long before : {0L, 16L}) {
        SCOPED_TRACE(testing::Message() << before << " sources before");
        std::vector<long> ids;
        for (long id = 0; id < before; ++id) {
            ids.push_back(id);
        }
        int failures = 0;
        for (long n = 0; n < 16; ++n) {
            QueueTable table;
            for (const long id : ids) {
                ASSERT_EQ(table.Push(id, "a", 1, nullptr, 0), Status::kOk);
            }
            Status status = Status::kOk;
            if (!FailsAllocation(n, [&] { status = table.Push(100, "b", 1, nullptr, 0); })) {
                EXPECT_EQ(status, Status::kOk) << n;
                break;
            }
            ++failures;
            EXPECT_EQ(status, Status::kOutOfMemory) << n;
            EXPECT_EQ(table.SourceIds(), ids) << n;
            ASSERT_EQ(table.Push(100, "c", 1, nullptr, 0), Status::kOk) << n;
            _Carovel::PassFrames taken;
            std::vector<std::uint32_t> freed;
            ASSERT_TRUE(table.TakeFrames(taken, 0, nullptr, freed, false)) << n;
            ASSERT_EQ(taken.Count(), ids.size() + 1) << n;
            EXPECT_EQ(taken.Ids()[ids.size()], 100) << n;
            EXPECT_EQ(taken.Data()[ids.size()]->pData[0], 'c') << n;
        }
        EXPECT_GE(failures, 3);
    }
}

}  // namespace
