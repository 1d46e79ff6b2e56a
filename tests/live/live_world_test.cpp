// Live mode in the simulated world of bench/live: the mixer's own intake and
// output loop, driven by a simulated clock. No test waits for real time.
#include "live_world.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

namespace {

using _Carovel::LiveSettings;
using _Carovel::PcmFormat;
using carovel_live::World;

const PcmFormat kMono48k{1, 48000, 16};
constexpr std::size_t kFrameBytes = 1920;  // 20 ms
constexpr double kFrameMs = 20.0;
constexpr std::uint64_t kSecond = 1'000'000;

// What the callbacks of a run saw, per source.
struct Watch {
    long id = 0;
    std::uint64_t fromUs = 0;  // watched from then on
    std::uint64_t untilUs = UINT64_MAX;
    double lowestMs = 1e9;
    double highestMs = -1e9;
    std::uint64_t passesWithoutFrame = 0;
    std::uint64_t passes = 0;
    long worstTrimError = 0;  // |trim - drift|
    double driftPpm = 0;
};

void Observe(World& w, Watch& watch) {
    if (w.NowUs() < watch.fromUs || w.NowUs() >= watch.untilUs) {
        return;
    }
    carovel_live::SourceState view;
    ASSERT_TRUE(w.View(watch.id, view));
    const double queued = w.QueuedMs(watch.id);
    watch.lowestMs = std::min(watch.lowestMs, queued);
    watch.highestMs = std::max(watch.highestMs, queued);
    ++watch.passes;
    if (!view.record.tookLastPass) {
        ++watch.passesWithoutFrame;
    }
    watch.worstTrimError = std::max(watch.worstTrimError,
                                    std::labs(view.record.trimPpm - std::lround(watch.driftPpm)));
}

TEST(LiveWorld, SourcesDriftingBothWaysSettleWithinAFrameOfTheTarget) {
    // Ten simulated minutes; a source 1000 ppm fast and one 1000 ppm slow.
    const LiveSettings settings{40, 400, 0};
    World w(settings, kMono48k, kFrameBytes, 600 * kSecond);
    w.AddFeeder(0, kMono48k, 20.0, 0.0, 0.0, 0.0);
    w.AddFeeder(1, kMono48k, 20.0, +1000.0, 440.0, 8000.0);
    w.AddFeeder(2, kMono48k, 20.0, -1000.0, 660.0, 8000.0);
    std::vector<Watch> watches = {{0, 30 * kSecond}, {1, 30 * kSecond}, {2, 30 * kSecond}};
    watches[1].driftPpm = +1000.0;
    watches[2].driftPpm = -1000.0;
    w.onPass = [&](World& world, const char*, unsigned masterLen, const char*, unsigned mixLen,
                   void*) {
        ASSERT_EQ(masterLen, kFrameBytes);
        ASSERT_EQ(mixLen, kFrameBytes);
        for (Watch& watch : watches) {
            Observe(world, watch);
        }
    };
    w.Run();

    for (const Watch& watch : watches) {
        SCOPED_TRACE(watch.id);
        EXPECT_GT(watch.passes, 28000u);  // every pass of 9.5 minutes
        EXPECT_GE(watch.lowestMs, 40.0 - kFrameMs);
        EXPECT_LE(watch.highestMs, 40.0 + kFrameMs);
        EXPECT_EQ(watch.passesWithoutFrame, 0u);
        // The trim is the drift, corrected by at most 80 ppm.
        EXPECT_LE(watch.worstTrimError, 80);
        carovel_live::SourceState view;
        ASSERT_TRUE(w.View(watch.id, view));
        EXPECT_EQ(view.record.framesCut, 0u);
        EXPECT_EQ(view.record.dropouts, 0u);
    }
    ASSERT_NE(w.Passes()->Control(1), nullptr);
    EXPECT_NEAR(w.Passes()->Control(1)->DriftPpm(), 1000.0, 1.0);
    EXPECT_NEAR(w.Passes()->Control(2)->DriftPpm(), -1000.0, 1.0);
    EXPECT_EQ(w.Live().catchUpPasses.load(), 0u);
    // The time spent steering and trimming is counted for the statistics.
    EXPECT_GE(w.Live().controlPasses.load(), 28000u);
    EXPECT_GT(w.Live().controlNs.load(), 0u);
    EXPECT_GT(w.Live().trimNs.load(), 0u);
}

TEST(LiveWorld, ASourceWithoutDriftIsNeverResampled) {
    // Source and master on the timer's clock: no trim is needed, so source
    // 1's samples reach the mix as they were fed, after its start's silence.
    const LiveSettings settings{40, 400, 0};
    World w(settings, kMono48k, kFrameBytes, 120 * kSecond);
    w.AddFeeder(0, kMono48k, 20.0, 0.0, 0.0, 0.0);
    carovel_live::Feeder& tone = w.AddFeeder(1, kMono48k, 20.0, 0.0, 440.0, 8000.0);
    std::vector<std::int16_t> mixed;
    bool everTrimmed = false;
    w.onPass = [&](World&, const char*, unsigned, const char* mix, unsigned mixLen, void*) {
        for (unsigned i = 0; i + 1 < mixLen; i += 2) {
            mixed.push_back(
                static_cast<std::int16_t>(static_cast<unsigned char>(mix[i]) |
                                          (static_cast<unsigned char>(mix[i + 1]) << 8)));
        }
        everTrimmed = everTrimmed || tone.intake->Trimming();
    };
    w.Run();
    EXPECT_FALSE(everTrimmed);
    EXPECT_EQ(w.Live().trimNs.load(), 0u);
    const auto first =
        std::find_if(mixed.begin(), mixed.end(), [](std::int16_t v) { return v != 0; });
    ASSERT_NE(first, mixed.end());
    // The sine's first sample is 0; its second is the first non-zero one.
    const std::size_t start = static_cast<std::size_t>(first - mixed.begin()) - 1;
    EXPECT_LE(start * 1000 / 48000, 60u);  // the start's silence: about the target
    ASSERT_GT(mixed.size() - start, 48000u * 100);
    for (std::size_t n = 0; n < mixed.size() - start; ++n) {
        const auto want = static_cast<std::int16_t>(
            std::lround(8000.0 * std::sin(2 * carovel_live::kPi * 440.0 * n / 48000)));
        ASSERT_EQ(mixed[start + n], want) << n;
    }
}

TEST(LiveWorld, AStalledCallbackIsCaughtUpAndTheSourcesResumeAtTheTarget) {
    const LiveSettings settings{40, 1000, 0};
    World w(settings, kMono48k, kFrameBytes, 90 * kSecond);
    w.AddFeeder(0, kMono48k, 20.0, 0.0, 0.0, 0.0);
    w.AddFeeder(1, kMono48k, 20.0, 300.0, 440.0, 8000.0);
    bool stalled = false;
    std::uint64_t stallEnd = 0;
    double highestDuringStall = 0;
    std::vector<Watch> watches = {{0}, {1}};
    w.onPass = [&](World& world, const char*, unsigned, const char*, unsigned, void*) {
        if (stalled) {
            highestDuringStall = std::max(highestDuringStall, world.QueuedMs(1));
        }
        for (Watch& watch : watches) {
            Observe(world, watch);
        }
        if (!stalled && world.NowUs() >= 60 * kSecond) {
            stalled = true;
            world.AdvanceTo(world.NowUs() + 500'000);  // this callback takes 500 ms
            stallEnd = world.NowUs();
            for (Watch& watch : watches) {
                watch.fromUs = stallEnd + 2 * kSecond;
            }
        }
    };
    w.Run();

    ASSERT_TRUE(stalled);
    EXPECT_GT(highestDuringStall, 400.0);  // the stall did pile up half a second
    for (const Watch& watch : watches) {
        SCOPED_TRACE(watch.id);
        EXPECT_GT(watch.passes, 1000u);
        // From 2 s after the stall: back at the target, within a frame.
        EXPECT_LE(watch.highestMs, 40.0 + kFrameMs);
        EXPECT_GE(watch.lowestMs, 40.0 - kFrameMs);
        EXPECT_EQ(watch.passesWithoutFrame, 0u);
        carovel_live::SourceState view;
        ASSERT_TRUE(w.View(watch.id, view));
        EXPECT_EQ(view.record.framesCut, 0u);  // the ceiling is above the stall
    }
    // Catching up took the half second's frames in extra passes.
    EXPECT_GE(w.Live().catchUpPasses.load(), 20u);
}

TEST(LiveWorld, WithoutTheMasterTheOtherSourcesAreStillMixed) {
    // The master sends for 10 s, stops for 20 s, and sends again.
    const LiveSettings settings{40, 300, 0};  // master time-out: 300 ms
    World w(settings, kMono48k, kFrameBytes, 45 * kSecond);
    carovel_live::Feeder& master = w.AddFeeder(0, kMono48k, 20.0, 0.0, 0.0, 0.0);
    master.pauseUs = 10 * kSecond;
    master.resumeUs = 30 * kSecond;
    w.AddFeeder(1, kMono48k, 20.0, 0.0, 440.0, 8000.0);
    w.AddFeeder(2, kMono48k, 20.0, 200.0, 660.0, 8000.0);
    std::uint64_t withMaster = 0, withoutMaster = 0, withoutMasterLate = 0;
    std::uint64_t silentMixes = 0;
    std::vector<Watch> watches = {{1, 12 * kSecond, 30 * kSecond}, {2, 12 * kSecond, 30 * kSecond}};
    Watch masterBack{0, 33 * kSecond};
    w.onPass = [&](World& world, const char*, unsigned masterLen, const char* mix, unsigned mixLen,
                   void* tag) {
        const std::uint64_t now = world.NowUs();
        if (masterLen > 0) {
            ++withMaster;
        } else {
            ++withoutMaster;
            EXPECT_EQ(tag, nullptr);
            EXPECT_EQ(mixLen, kFrameBytes);
            // The master was gone for at least its time-out.
            EXPECT_GE(now, 10 * kSecond + 300'000);
            EXPECT_LT(now, 30 * kSecond + 100'000);
            if (now > 12 * kSecond) {
                ++withoutMasterLate;
            }
        }
        // (The sources start with their latency's silence.)
        if (now > kSecond && std::all_of(mix, mix + mixLen, [](char c) { return c == 0; })) {
            ++silentMixes;
        }
        for (Watch& watch : watches) {
            Observe(world, watch);
        }
        Observe(world, masterBack);
    };
    w.Run();

    // About 20 s of passes without the master, on the timer.
    EXPECT_GT(withoutMasterLate, 880u);
    EXPECT_LE(withoutMaster, 1000u);
    EXPECT_GT(withMaster, 1200u);
    EXPECT_EQ(silentMixes, 0u);  // the sources were in every mix
    EXPECT_EQ(w.Live().passesWithoutMaster.load(), withoutMaster);
    for (const Watch& watch : watches) {
        SCOPED_TRACE(watch.id);
        // What piled up during the time-out was caught up.
        EXPECT_LE(watch.highestMs, 40.0 + kFrameMs);
        EXPECT_GE(watch.lowestMs, 40.0 - kFrameMs);
        EXPECT_EQ(watch.passesWithoutFrame, 0u);
    }
    // The master came back at the target latency.
    EXPECT_GT(masterBack.passes, 500u);
    EXPECT_LE(masterBack.highestMs, 40.0 + kFrameMs);
    EXPECT_GE(masterBack.lowestMs, 40.0 - kFrameMs);
    EXPECT_EQ(masterBack.passesWithoutFrame, 0u);
}

TEST(LiveWorld, TheCeilingBoundsEverySourceWhateverTheMasterDoes) {
    // No master at all, and a master time-out longer than the run: nothing
    // is mixed, and every source holds at most its ceiling.
    const LiveSettings settings{40, 200, 3600000};
    World w(settings, kMono48k, kFrameBytes, 20 * kSecond);
    for (long id = 1; id <= 4; ++id) {
        w.AddFeeder(id, kMono48k, 20.0, 0.0, 440.0, 8000.0);
    }
    std::size_t mostQueued = 0;
    w.afterFeed = [&](World& world, carovel_live::Feeder& f) {
        carovel_live::SourceState view;
        ASSERT_TRUE(world.View(f.id, view));
        mostQueued = std::max(mostQueued, view.queuedFrames);
        // Queued, cut and mixed account for every frame pushed.
        ASSERT_EQ(view.queuedFrames + view.record.framesCut + view.record.framesMixed,
                  view.record.framesPushed);
    };
    std::uint64_t mixes = 0;
    w.onPass = [&](World&, const char*, unsigned, const char*, unsigned, void*) { ++mixes; };
    w.Run();
    EXPECT_EQ(mixes, 0u);
    EXPECT_EQ(mostQueued, 10u);  // 200 ms of 20 ms frames
    carovel_live::SourceState view;
    ASSERT_TRUE(w.View(3, view));
    // 20 s of audio, a start of silence, 200 ms kept: the rest was cut.
    EXPECT_GE(view.record.framesCut, 985u);
    EXPECT_LE(view.record.framesCut, 995u);
}

TEST(LiveWorld, ABurstOfLateBlocksIsTakenBackWithinThreeSecondsWithoutASeam) {
    // Source 1 (a steady tone, so nothing to shed) has 120 ms of blocks held
    // back at 20 s, delivered at once; source 2 speaks in bursts (tone for
    // 300 ms, silence for 300 ms) and gets the same. Both run dry, start
    // again at the target, then sit 100 ms high: the tone is trimmed back,
    // the bursts lose the excess in their silences.
    const LiveSettings settings{40, 400, 0};
    World w(settings, kMono48k, kFrameBytes, 40 * kSecond);
    w.AddFeeder(0, kMono48k, 20.0, 0.0, 0.0, 0.0);
    carovel_live::Feeder& tone = w.AddFeeder(1, kMono48k, 20.0, 300.0, 1000.0, 16384.0);
    // 450 Hz: every block starts and ends at a zero crossing, so switching
    // the tone on and off between blocks makes no step.
    carovel_live::Feeder& speech = w.AddFeeder(2, kMono48k, 20.0, -200.0, 450.0, 8000.0);
    for (carovel_live::Feeder* f : {&tone, &speech}) {
        f->holdUs = 20 * kSecond;
        f->releaseUs = 20 * kSecond + 120'000;
    }
    std::uint64_t lastOffTarget[3] = {0, 0, 0};
    std::uint64_t steps = 0;
    double prev1 = 0, prev2 = 0;
    int known = 0;
    double highest = 0;
    w.onPass = [&](World& world, const char*, unsigned, const char* mix, unsigned mixLen, void*) {
        const std::uint64_t now = world.NowUs();
        for (long id : {1L, 2L}) {
            const double queued = world.QueuedMs(id);
            if (now >= 20 * kSecond + 120'000 && std::fabs(queued - 40.0) > kFrameMs) {
                lastOffTarget[id] = now;
            }
            highest = std::max(highest, queued);
        }
        // Steps in the mix (source 1's tone alone) outside the burst's
        // dropouts and restart: a second difference beyond twice what a sine
        // 7 % higher can have.
        carovel_live::SourceState view;
        ASSERT_TRUE(world.View(1, view));
        if (now < 5 * kSecond || (now >= 20 * kSecond && now < 20 * kSecond + 220'000) ||
            !view.record.tookLastPass) {
            known = 0;
            return;
        }
        const double w1 = 2 * carovel_live::kPi * 1000.0 / 48000 * 1.07;
        const double limit = 2 * 16384.0 * w1 * w1 + 4;
        for (unsigned i = 0; i + 1 < mixLen; i += 2) {
            const double y = static_cast<std::int16_t>(
                static_cast<unsigned char>(mix[i]) | (static_cast<unsigned char>(mix[i + 1]) << 8));
            if (known >= 2 && std::fabs(y - 2 * prev1 + prev2) > limit) {
                ++steps;
            }
            prev2 = prev1;
            prev1 = y;
            known = std::min(known + 1, 2);
        }
    };
    // Source 2 speaks in bursts: every other 300 ms silent. It is not
    // heard in the mix (its own on and off are kinks, not the trim's).
    ASSERT_EQ(w.Queues().SetGain(2, 0, 0), _Carovel::Status::kOk);
    w.afterFeed = [&speech](World&, carovel_live::Feeder& f) {
        if (&f == &speech) {
            speech.amplitude = (speech.blocksSent / 15) % 2 == 0 ? 8000.0 : 0.0;
        }
    };
    w.Run();

    EXPECT_GT(highest, 120.0);  // the burst did pile up
    // Back within a frame of the target, for good, within 3 s.
    EXPECT_LE(lastOffTarget[1], 23 * kSecond + 120'000);
    EXPECT_LE(lastOffTarget[2], 23 * kSecond + 120'000);
    EXPECT_EQ(steps, 0u);
    // The bursts' excess went in their silences; the tone's by the trim.
    EXPECT_GE(speech.intake->ShedBlocks(), 48u * 60);
    EXPECT_EQ(tone.intake->ShedBlocks(), 0u);
    const auto stats = w.Views();
    for (const auto& v : stats) {
        EXPECT_EQ(v.record.framesCut, 0u);
    }
}

TEST(LiveWorld, TheCeilingCutsTheOldestFrames) {
    _Carovel::QueueTable table;
    table.SetMaxFrames(5);
    for (char n = 0; n < 12; ++n) {
        const char frame[4] = {n, n, n, n};
        ASSERT_EQ(table.Push(7, frame, 4, nullptr, 0), _Carovel::Status::kOk);
        _Carovel::SourceView view;
        ASSERT_TRUE(table.View(7, view));
        ASSERT_EQ(view.queuedFrames, std::min<std::size_t>(n + 1, 5));
        ASSERT_EQ(view.counters.framesCut, n < 5 ? 0u : static_cast<std::uint64_t>(n - 4));
    }
    // The frames left are the newest, oldest first: 7 to 11.
    for (char n = 7; n < 12; ++n) {
        ASSERT_EQ(table.Push(0, "m", 1, nullptr, 0), _Carovel::Status::kOk);
        _Carovel::PassFrames taken;
        std::vector<std::uint32_t> freed;
        ASSERT_TRUE(table.TakeFrames(taken, 0, nullptr, freed, true));
        ASSERT_EQ(taken.Count(), 2u);
        const _Carovel::WaveFrame* mine =
            taken.Data()[0] == taken.Master() ? taken.Data()[1] : taken.Data()[0];
        EXPECT_EQ(mine->pData[0], n);
    }
}

}  // namespace

namespace {

TEST(LiveWorld, AtNinetySixKilohertzADriftingSourceSettlesAtTheTarget) {
    // Live mode above 65535 Hz: a 96 kHz mix with a 96 kHz source 1000 ppm
    // fast and a 192 kHz one 500 ppm slow (converted on the way in), for
    // three simulated minutes.
    const PcmFormat mono96k{1, 96000, 16};
    const PcmFormat mono192k{1, 192000, 16};
    const std::size_t frameBytes = 3840;  // 20 ms
    const LiveSettings settings{40, 400, 0};
    World w(settings, mono96k, frameBytes, 180 * kSecond);
    w.AddFeeder(0, mono96k, 20.0, 0.0, 0.0, 0.0);
    w.AddFeeder(1, mono96k, 20.0, +1000.0, 440.0, 8000.0);
    w.AddFeeder(2, mono192k, 20.0, -500.0, 660.0, 8000.0);
    std::vector<Watch> watches = {{0, 60 * kSecond}, {1, 60 * kSecond}, {2, 60 * kSecond}};
    watches[1].driftPpm = +1000.0;
    watches[2].driftPpm = -500.0;
    w.onPass = [&](World& world, const char*, unsigned masterLen, const char*, unsigned mixLen,
                   void*) {
        ASSERT_EQ(masterLen, frameBytes);
        ASSERT_EQ(mixLen, frameBytes);
        for (Watch& watch : watches) {
            Observe(world, watch);
        }
    };
    w.Run();
    for (const Watch& watch : watches) {
        SCOPED_TRACE(watch.id);
        EXPECT_GT(watch.passes, 5500u);  // every pass of two minutes
        EXPECT_GE(watch.lowestMs, 40.0 - kFrameMs);
        EXPECT_LE(watch.highestMs, 40.0 + kFrameMs);
        EXPECT_EQ(watch.passesWithoutFrame, 0u);
    }
    ASSERT_NE(w.Passes()->Control(1), nullptr);
    EXPECT_NEAR(w.Passes()->Control(1)->DriftPpm(), 1000.0, 5.0);
    EXPECT_NEAR(w.Passes()->Control(2)->DriftPpm(), -500.0, 5.0);
}

}  // namespace
