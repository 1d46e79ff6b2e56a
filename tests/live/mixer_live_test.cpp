// CMixer's statistics (both modes) and live mode's settings, through the
// public calls. Passes are driven by feeding the master and NotifyToMixe;
// the waits only wait for callbacks, with generous time-outs.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <initializer_list>
#include <mutex>
#include <thread>
#include <vector>

#include "carovel/mixer.h"
#include "mixer/intake/source_intake.h"
#include "support/mixer_sink.h"
#include "support/pcm.h"
#include "support/test_access.h"

namespace {

using _Carovel::CMixer;
using _Carovel::MixerStats;
using _Carovel::SourceStats;
using _Carovel::Status;
using carovel_test::MixSink;
using carovel_test::Pack16;

constexpr unsigned short kFrame = 320;  // 20 ms of 8000 Hz mono 16-bit

std::vector<char> Constant(std::size_t samples, std::int64_t value) {
    return Pack16(std::vector<std::int64_t>(samples, value));
}

bool Feed(CMixer& mixer, long id, const std::vector<char>& block) {
    return mixer.AddFrame(id, block.data(), static_cast<int>(block.size()), 1, 8000, 16, nullptr);
}

// Feeds the given sources one frame each, then the master's, and waits for
// the pass that takes them.
void Pass(CMixer& mixer, MixSink& sink, const std::vector<std::pair<long, std::int64_t>>& frames) {
    for (const auto& [id, value] : frames) {
        ASSERT_TRUE(Feed(mixer, id, Constant(kFrame / 2, value)));
    }
    const std::size_t before = sink.Count();
    ASSERT_TRUE(Feed(mixer, 0, Constant(kFrame / 2, 0)));
    mixer.NotifyToMixe();
    ASSERT_TRUE(sink.WaitFor(before + 1));
}

TEST(MixerStatistics, MatchWhatWasFedAndMixed) {
    MixSink sink;
    CMixer mixer;
    ASSERT_TRUE(mixer.Open(1, 8000, 16, kFrame, &MixSink::Callback, &sink));
    // Source 2 misses passes 3 and 4; source 1 plays -30.3 dBFS throughout,
    // then a full-scale negative frame.
    Pass(mixer, sink, {{1, 1000}, {2, 500}});
    Pass(mixer, sink, {{1, 1000}, {2, 500}});
    Pass(mixer, sink, {{1, 1000}});
    Pass(mixer, sink, {{1, 1000}});
    Pass(mixer, sink, {{1, 1000}, {2, 500}});
    Pass(mixer, sink, {{1, -32768}, {2, 0}});
    // Then source 1 gets a frame and 180 bytes more, and source 3 less than
    // a frame.
    ASSERT_TRUE(Feed(mixer, 1, Constant(250, 7)));
    ASSERT_TRUE(Feed(mixer, 3, Constant(50, 7)));
    mixer.AddFrame(1, nullptr, -1, 1, 8000, 16, nullptr);  // refused
    const Status status = mixer.LastStatus();

    SourceStats one;
    ASSERT_TRUE(mixer.GetSourceStats(1, one));
    EXPECT_EQ(one.sourceId, 1);
    EXPECT_EQ(one.framesMixed, 6u);
    EXPECT_EQ(one.backlogFrames, 1u);
    EXPECT_DOUBLE_EQ(one.backlogMs, 20.0 + 180.0 / 16.0);
    EXPECT_EQ(one.dropouts, 0u);
    EXPECT_EQ(one.framesCut, 0u);
    EXPECT_EQ(one.trimPpm, 0);
    ASSERT_TRUE(one.hasLevel);
    EXPECT_NEAR(one.rmsDbfs, 0.0, 1e-9);  // the -32768 frame
    EXPECT_NEAR(one.peakDbfs, 0.0, 1e-9);

    SourceStats two;
    ASSERT_TRUE(mixer.GetSourceStats(2, two));
    EXPECT_EQ(two.framesMixed, 4u);
    EXPECT_EQ(two.dropouts, 2u);
    EXPECT_EQ(two.backlogFrames, 0u);
    ASSERT_TRUE(two.hasLevel);
    EXPECT_TRUE(std::isinf(two.rmsDbfs) && two.rmsDbfs < 0);  // silence
    EXPECT_TRUE(std::isinf(two.peakDbfs) && two.peakDbfs < 0);

    SourceStats untouched;
    untouched.sourceId = 99;
    EXPECT_FALSE(mixer.GetSourceStats(3, untouched));  // no whole frame yet
    EXPECT_FALSE(mixer.GetSourceStats(12345, untouched));
    EXPECT_EQ(untouched.sourceId, 99);
    EXPECT_EQ(mixer.LastStatus(), status);  // statistics leave it alone
    EXPECT_EQ(status, Status::kBadArgument);

    // All of them, in the order they appeared: the master last (its first
    // frame came after those of sources 1 and 2).
    SourceStats all[2];
    MixerStats m;
    EXPECT_EQ(mixer.GetAllSourceStats(all, 2, &m), 3u);
    EXPECT_EQ(all[0].sourceId, 1);
    EXPECT_EQ(all[1].sourceId, 2);
    EXPECT_EQ(all[1].dropouts, 2u);
    EXPECT_EQ(m.sources, 3u);
    EXPECT_EQ(m.callbackExceptions, 0u);
    EXPECT_FALSE(m.liveMode);
    EXPECT_EQ(mixer.GetAllSourceStats(nullptr, 0), 3u);
    SourceStats three[3];
    ASSERT_EQ(mixer.GetAllSourceStats(three, 3), 3u);
    EXPECT_EQ(three[2].sourceId, 0);
    EXPECT_EQ(three[2].framesMixed, 6u);
    EXPECT_EQ(three[0].rmsDbfs, one.rmsDbfs);
    mixer.Close();
}

TEST(MixerStatistics, LevelsAreInDbOfFullScale) {
    MixSink sink;
    CMixer mixer;
    ASSERT_TRUE(mixer.Open(1, 8000, 16, kFrame, &MixSink::Callback, &sink));
    // A full-scale square wave at 1000: RMS = peak = 1000 / 32768.
    Pass(mixer, sink, {{1, 1000}});
    SourceStats s;
    ASSERT_TRUE(mixer.GetSourceStats(1, s));
    EXPECT_NEAR(s.rmsDbfs, 20 * std::log10(1000.0 / 32768.0), 1e-4);
    EXPECT_NEAR(s.peakDbfs, 20 * std::log10(1000.0 / 32768.0), 1e-4);
    // A sine at half scale: RMS 3 dB below its peak.
    std::vector<std::int64_t> sine;
    for (int n = 0; n < kFrame / 2; ++n) {
        sine.push_back(std::lround(16384 * std::sin(2 * 3.14159265358979 * n / 32.0)));
    }
    ASSERT_TRUE(Feed(mixer, 1, Pack16(sine)));
    Pass(mixer, sink, {});
    ASSERT_TRUE(mixer.GetSourceStats(1, s));
    EXPECT_NEAR(s.peakDbfs, 20 * std::log10(16384.0 / 32768.0), 1e-3);
    EXPECT_NEAR(s.rmsDbfs, 20 * std::log10(16384.0 / 32768.0 / std::sqrt(2.0)), 0.01);
    mixer.Close();
}

TEST(LiveSettings, AreCheckedAndTakeEffectAtTheNextOpen) {
    MixSink sink;
    CMixer mixer;
    const auto refused = [&](unsigned target, unsigned max, unsigned timeout) {
        return !mixer.SetLiveMode(target, max, timeout) &&
               mixer.LastStatus() == Status::kBadArgument;
    };
    EXPECT_TRUE(refused(0, 100, 0));
    EXPECT_TRUE(refused(40, 0, 0));
    EXPECT_TRUE(refused(40, 40, 0));
    EXPECT_TRUE(refused(100, 40, 0));
    EXPECT_TRUE(refused(40, 60001, 0));
    EXPECT_TRUE(refused(40, 400, 3600001));
    EXPECT_TRUE(refused(0, 0, 100));

    // Frames shorter than 5 ms, or a ceiling less than two frames above the
    // target, make Open refuse.
    ASSERT_TRUE(mixer.SetLiveMode(40, 70));
    EXPECT_FALSE(mixer.Open(1, 8000, 16, kFrame, &MixSink::Callback, &sink));
    EXPECT_EQ(mixer.LastStatus(), Status::kBadArgument);
    ASSERT_TRUE(mixer.SetLiveMode(40, 400));
    EXPECT_FALSE(mixer.Open(1, 8000, 16, 64, &MixSink::Callback, &sink));  // 4 ms
    EXPECT_EQ(mixer.LastStatus(), Status::kBadArgument);
    EXPECT_FALSE(mixer.IsRun());

    ASSERT_TRUE(mixer.Open(1, 8000, 16, kFrame, &MixSink::Callback, &sink));
    EXPECT_FALSE(mixer.SetLiveMode(0, 0));
    EXPECT_EQ(mixer.LastStatus(), Status::kAlreadyOpen);
    MixerStats m;
    mixer.GetAllSourceStats(nullptr, 0, &m);
    EXPECT_TRUE(m.liveMode);
    EXPECT_EQ(m.targetMs, 40u);
    EXPECT_EQ(m.maxMs, 400u);
    EXPECT_EQ(m.masterTimeoutMs, 400u);  // 0 stands for the ceiling
    mixer.Close();

    ASSERT_TRUE(mixer.SetLiveMode(0, 0));
    ASSERT_TRUE(mixer.Open(1, 8000, 16, kFrame, &MixSink::Callback, &sink));
    mixer.GetAllSourceStats(nullptr, 0, &m);
    EXPECT_FALSE(m.liveMode);
    mixer.Close();
}

// A sink whose callback waits until the test opens it, so a test can feed
// while at most one pass is under way. It opens when it goes out of scope,
// so a failed assertion never leaves the output thread waiting.
class GatedSink {
  public:
    ~GatedSink() { Open(); }

    static void Callback(char* master, unsigned int masterLen, char* mix, unsigned int mixLen,
                         void* userData, void* tag) {
        auto* gated = static_cast<GatedSink*>(userData);
        {
            std::unique_lock<std::mutex> lock(gated->mutex_);
            gated->cond_.wait(lock, [&] { return gated->open_; });
        }
        MixSink::Callback(master, masterLen, mix, mixLen, &gated->sink, tag);
    }

    void Open() {
        {
            std::lock_guard<std::mutex> guard(mutex_);
            open_ = true;
        }
        cond_.notify_all();
    }

    MixSink sink;

  private:
    std::mutex mutex_;
    std::condition_variable cond_;
    bool open_ = false;
};

// The output thread in live mode, for real: a burst far above the ceiling is
// cut oldest-first and counted, and what is left is mixed. The master has
// no time-out, so no pass runs before it is fed, and the callback waits
// while it is fed, so at most one pass takes frames meanwhile.
// An empty block is accepted and adds nothing: it does not move the arrival
// time live mode measures a source's backlog from; the next block does.
TEST(LiveMixer, AnEmptyBlockIsNoArrival) {
    CMixer mixer;
    GatedSink gated;
    ASSERT_TRUE(mixer.SetLiveMode(40, 200, 3600000));
    ASSERT_TRUE(mixer.Open(1, 8000, 16, kFrame, &GatedSink::Callback, &gated));
    const auto arrival = [&] {
        return _Carovel::MixerTestAccess::Record(mixer, 1)->Board().Read().lastFeedUs;
    };
    ASSERT_TRUE(Feed(mixer, 1, Constant(160, 1000)));
    const std::uint64_t first = arrival();
    std::this_thread::sleep_for(std::chrono::milliseconds(3));
    ASSERT_TRUE(mixer.AddFrame(1, "", 0, 1, 8000, 16, nullptr));
    EXPECT_EQ(arrival(), first);
    ASSERT_TRUE(Feed(mixer, 1, Constant(160, 1000)));
    EXPECT_GE(arrival(), first + 3000);
}

TEST(LiveMixer, ABurstIsCutToTheCeilingAndTheRestMixed) {
    CMixer mixer;
    GatedSink gated;  // after the mixer: opens before the mixer closes
    ASSERT_TRUE(mixer.SetLiveMode(40, 200, 3600000));
    ASSERT_TRUE(mixer.Open(1, 8000, 16, kFrame, &GatedSink::Callback, &gated));
    // Two seconds of each at once (100 frames; a block this long needs no
    // silence ahead of it for the target), the master last.
    ASSERT_TRUE(Feed(mixer, 1, Constant(16000, 1000)));
    ASSERT_TRUE(Feed(mixer, 0, Constant(16000, 0)));
    SourceStats s[2];
    ASSERT_EQ(mixer.GetAllSourceStats(s, 2), 2u);
    // Listed in the order they came: the source, then the master.
    ASSERT_EQ(s[0].sourceId, 1);
    ASSERT_EQ(s[1].sourceId, 0);
    EXPECT_LE(s[0].backlogFrames, 10u);  // 200 ms
    EXPECT_LE(s[1].backlogFrames, 10u);
    EXPECT_EQ(s[0].framesCut, 90u);  // all in before the master came
    EXPECT_GE(s[1].framesCut, 89u);  // a pass may have taken one meanwhile
    gated.Open();
    // The passes take the rest.
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    do {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        ASSERT_EQ(mixer.GetAllSourceStats(s, 2), 2u);
    } while ((s[0].backlogFrames > 0 || s[1].backlogFrames > 0) &&
             std::chrono::steady_clock::now() < until);
    mixer.Close();
    for (const SourceStats& one : s) {
        SCOPED_TRACE(one.sourceId);
        EXPECT_EQ(one.backlogFrames, 0u);
        EXPECT_EQ(one.framesCut + one.framesMixed, 100u);
    }
    // One mix for each master frame; each has the source's samples (1000),
    // except at most one at the end if a pass took a master frame while the
    // master was fed (the source is then a frame short). The master is
    // silent.
    const std::vector<carovel_test::MixOut> outs = gated.sink.Outs();
    ASSERT_EQ(outs.size(), s[1].framesMixed);
    std::size_t withSource = 0;
    for (std::size_t i = 0; i < outs.size(); ++i) {
        ASSERT_EQ(outs[i].mix.size(), kFrame);
        const std::vector<std::int64_t> mix = carovel_test::Unpack(outs[i].mix, 2);
        EXPECT_EQ(mix.front(), mix.back());
        if (mix.front() == 1000) {
            ++withSource;
        } else {
            EXPECT_EQ(mix.front(), 0);
            EXPECT_EQ(i + 1, outs.size()) << "a mix without the source before the last";
        }
    }
    EXPECT_EQ(withSource, s[0].framesMixed);
}

// Waits until the sources have no frame queued and the sink has `mixes`
// plus one mix for each frame of `paced` taken since; returns that count of
// frames of `paced` mixed in all (0 on a time-out).
std::uint64_t WaitUntilDelivered(CMixer& mixer, MixSink& sink, std::initializer_list<long> ids,
                                 long paced, std::uint64_t pacedBefore, std::size_t mixes) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    for (;;) {
        std::uint64_t queued = 0;
        std::uint64_t pacedMixed = 0;
        for (const long id : ids) {
            SourceStats s;
            if (!mixer.GetSourceStats(id, s)) {
                return 0;
            }
            queued += s.backlogFrames;
            pacedMixed = id == paced ? s.framesMixed : pacedMixed;
        }
        if (queued == 0) {
            return sink.WaitFor(mixes + (pacedMixed - pacedBefore)) ? pacedMixed : 0;
        }
        if (std::chrono::steady_clock::now() > until) {
            return 0;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

// Live mode's passes are the frame mixer's full passes, with and without
// the master: gains apply and every source gets its mix-minus output.
TEST(LiveMixer, GainsAndMixMinusOutputsWorkWithAndWithoutTheMaster) {
    struct MinusLog {
        std::mutex mutex;
        std::condition_variable cond;
        std::vector<std::pair<long, std::int64_t>> outputs;  // source, last sample
        static void Callback(long id, char* frame, unsigned len, void* user) {
            auto* log = static_cast<MinusLog*>(static_cast<MixSink*>(user)->Extra());
            {
                std::lock_guard<std::mutex> lock(log->mutex);
                log->outputs.emplace_back(
                    id, carovel_test::Unpack(std::vector<char>(frame, frame + len), 2).back());
            }
            log->cond.notify_all();
        }
        std::vector<std::pair<long, std::int64_t>> WaitFor(std::size_t n) {
            std::unique_lock<std::mutex> lock(mutex);
            cond.wait_for(lock, std::chrono::seconds(20), [&] { return outputs.size() >= n; });
            return outputs;
        }
    };
    const auto lastSample = [](const std::vector<char>& frame) {
        return carovel_test::Unpack(frame, 2).back();
    };
    MinusLog minus;
    MixSink sink;
    sink.SetExtra(&minus);
    CMixer mixer;
    // The master counts as gone after a second without a frame.
    ASSERT_TRUE(mixer.SetLiveMode(40, 2000, 1000));
    ASSERT_TRUE(mixer.SetMixMinusCallback(&MinusLog::Callback));
    ASSERT_TRUE(mixer.Open(1, 8000, 16, kFrame, &MixSink::Callback, &sink));
    ASSERT_TRUE(mixer.SetSourceGain(1, 0.5f));

    // With the master: a second of each (long enough to need no silence
    // ahead for the target). Every pass takes the master's frame; source 0
    // gets the other's half of 1000, source 1 the master's silence.
    ASSERT_TRUE(Feed(mixer, 1, Constant(8000, 1000)));
    ASSERT_TRUE(Feed(mixer, 0, Constant(8000, 0)));
    const std::uint64_t masterFrames = WaitUntilDelivered(mixer, sink, {0, 1}, 0, 0, 0);
    ASSERT_GE(masterFrames, 45u);
    SourceStats one;
    ASSERT_TRUE(mixer.GetSourceStats(1, one));
    const std::uint64_t sourceFrames = one.framesMixed;
    const std::size_t withMaster = sink.Count();
    ASSERT_EQ(withMaster, masterFrames);
    auto outputs = minus.WaitFor(masterFrames + sourceFrames);
    ASSERT_EQ(outputs.size(), masterFrames + sourceFrames);
    std::size_t heard = 0;
    for (const auto& [id, last] : outputs) {
        EXPECT_TRUE(id == 0 ? last == 500 || last == 0 : last == 0) << id << ": " << last;
        heard += id == 0 && last == 500 ? 1 : 0;
    }
    EXPECT_GE(heard, 45u);
    EXPECT_EQ(std::count_if(outputs.begin(), outputs.end(), [](auto& o) { return o.first == 1; }),
              static_cast<std::ptrdiff_t>(sourceFrames));

    // Without it, past the master's time-out: source 1 alone, at gain 0.5,
    // after any silence ahead of a source that starts again.
    std::this_thread::sleep_for(std::chrono::milliseconds(1300));
    ASSERT_TRUE(Feed(mixer, 1, Constant(8000, 1000)));
    const std::uint64_t total = WaitUntilDelivered(mixer, sink, {1}, 1, sourceFrames, withMaster);
    ASSERT_GE(total, sourceFrames + 45);
    const std::size_t without = total - sourceFrames;
    outputs = minus.WaitFor(masterFrames + sourceFrames + without);
    mixer.Close();
    const std::vector<carovel_test::MixOut> outs = sink.Outs();
    ASSERT_EQ(outs.size(), withMaster + without);
    heard = 0;
    for (std::size_t i = withMaster; i < outs.size(); ++i) {
        EXPECT_TRUE(outs[i].master.empty()) << i;
        const std::int64_t last = lastSample(outs[i].mix);
        EXPECT_TRUE(last == 500 || last == 0) << i << ": " << last;
        heard += last == 500 ? 1 : 0;
    }
    EXPECT_GE(heard, 45u);
    ASSERT_EQ(outputs.size(), masterFrames + sourceFrames + without);
    for (std::size_t i = masterFrames + sourceFrames; i < outputs.size(); ++i) {
        EXPECT_EQ(outputs[i].first, 1);
        EXPECT_EQ(outputs[i].second, 0);  // the others' mix: nothing
    }
}

// Statistics read every pass from the callback and all the time from
// another thread, while the host feeds and live mode mixes, cuts and trims:
// the figures stay consistent (for the thread sanitizer builds above all).
TEST(LiveMixer, StatisticsMayBeReadFromAnyThreadWhileItRuns) {
    struct Reader {
        CMixer* mixer = nullptr;
        std::atomic<unsigned> passes{0};
        std::atomic<bool> bad{false};
        static void Callback(char*, unsigned, char*, unsigned, void* user, void*) {
            auto* self = static_cast<Reader*>(user);
            SourceStats s;
            if (self->mixer->GetSourceStats(0, s) && s.backlogFrames > 10) {
                self->bad = true;
            }
            ++self->passes;
        }
    } reader;
    CMixer mixer;
    reader.mixer = &mixer;
    ASSERT_TRUE(mixer.SetLiveMode(40, 200));
    ASSERT_TRUE(mixer.Open(1, 8000, 16, kFrame, &Reader::Callback, &reader));
    std::atomic<bool> stop{false};
    std::thread other([&] {
        std::vector<std::uint64_t> mixed(8, 0);
        SourceStats s[8];
        while (!stop) {
            const unsigned n = mixer.GetAllSourceStats(s, 8);
            for (unsigned i = 0; i < std::min(n, 8u); ++i) {
                const auto id = static_cast<std::size_t>(s[i].sourceId);
                if (s[i].backlogFrames > 10 || id >= mixed.size() || s[i].framesMixed < mixed[id]) {
                    reader.bad = true;
                }
                if (id < mixed.size()) {
                    mixed[id] = s[i].framesMixed;
                }
            }
        }
    });
    const std::vector<char> block = Constant(kFrame / 2, 100);
    // EXPECT, not ASSERT: returning while the reader runs would end the
    // program instead of failing the test.
    bool fed = true;
    for (int i = 0; i < 400 && fed; ++i) {
        for (long id = 3; id >= 0 && fed; --id) {
            fed = Feed(mixer, id, block);
            EXPECT_TRUE(fed) << "source " << id << ", block " << i;
        }
        if (i % 8 == 0) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }
    // Wait for some passes (generously), then stop everything.
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (reader.passes < 10 && std::chrono::steady_clock::now() < until) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    stop = true;
    other.join();
    // Live mode's own cost is counted per pass that took frames.
    MixerStats m;
    mixer.GetAllSourceStats(nullptr, 0, &m);
    EXPECT_TRUE(m.liveMode);
    EXPECT_GE(m.livePasses, 1u);
    EXPECT_GT(m.liveControlUsPerPass, 0.0);
    mixer.Close();
    EXPECT_GE(reader.passes.load(), 10u);
    EXPECT_FALSE(reader.bad.load());
}

}  // namespace
