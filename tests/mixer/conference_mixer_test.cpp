// The mixer's conference outputs: host-driven passes against the output
// thread on the same input, mix-minus callbacks, gains and the limiter
// through CMixer, and what the host-driven calls refuse.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

#include "carovel/mixer.h"
#include "support/pcm.h"

namespace {

using _Carovel::CMixer;
using _Carovel::Status;
using carovel_test::Pack16;
using carovel_test::Unpack;

// Everything a mixer hands out, in the order it does.
struct Record {
    enum Kind { kMix, kMinus };
    Kind kind;
    long id;  // the source of a mix-minus output; -1 for a mix
    std::vector<char> master;
    std::vector<char> bytes;
    std::thread::id thread;
};

class Recorder {
  public:
    static void OnMix(char* master, unsigned masterLen, char* mix, unsigned mixLen, void* self,
                      void*) {
        auto* r = static_cast<Recorder*>(self);
        r->Add(Record{Record::kMix, -1, std::vector<char>(master, master + masterLen),
                      std::vector<char>(mix, mix + mixLen), std::this_thread::get_id()});
        if (r->onMix) {
            r->onMix();
        }
    }
    static void OnMinus(long id, char* frame, unsigned len, void* self) {
        static_cast<Recorder*>(self)->Add(Record{Record::kMinus,
                                                 id,
                                                 {},
                                                 std::vector<char>(frame, frame + len),
                                                 std::this_thread::get_id()});
    }

    // Waits for n records of any kind: a pass's mix-minus outputs follow its
    // mix, and closing the mixer stops a pass between them.
    bool WaitForRecords(std::size_t n) {
        std::unique_lock<std::mutex> lock(mutex_);
        return cond_.wait_for(lock, std::chrono::seconds(20), [&] { return records_.size() >= n; });
    }
    std::vector<Record> Records() {
        std::lock_guard<std::mutex> lock(mutex_);
        return records_;
    }

    std::function<void()> onMix;

  private:
    void Add(Record r) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            records_.push_back(std::move(r));
        }
        cond_.notify_all();
    }

    std::mutex mutex_;
    std::condition_variable cond_;
    std::vector<Record> records_;
};

// One source's block in its own format.
struct Block {
    long id;
    std::vector<char> bytes;
    unsigned short channels, rate, bits;
};

// A run of blocks in steps: each step feeds the other sources, then one
// master frame's worth (in odd-sized pieces), so every step ends with
// exactly one more master frame queued.
std::vector<std::vector<Block>> MakeSteps(int steps) {
    std::mt19937 rng(99);
    auto noise = [&](std::size_t samples, int amplitude) {
        std::vector<std::int64_t> v(samples);
        for (auto& s : v) {
            s = std::uniform_int_distribution<int>(-amplitude, amplitude)(rng);
        }
        return v;
    };
    std::vector<std::vector<Block>> out;
    for (int step = 0; step < steps; ++step) {
        std::vector<Block> blocks;
        // Source 1: the mixing format, loud enough that sums clip.
        blocks.push_back(Block{1, Pack16(noise(160, 30000)), 1, 8000, 16});
        // Source 2: 16 kHz stereo, converted on the way in.
        blocks.push_back(Block{2, Pack16(noise(640, 12000)), 2, 16000, 16});
        // Source 3: 8-bit, only on even steps.
        if (step % 2 == 0) {
            std::vector<char> u8(160);
            for (char& c : u8) {
                c = static_cast<char>(std::uniform_int_distribution<int>(0, 255)(rng));
            }
            blocks.push_back(Block{3, u8, 1, 8000, 8});
        }
        const std::vector<char> master = Pack16(noise(160, 25000));
        blocks.push_back(
            Block{0, std::vector<char>(master.begin(), master.begin() + 100), 1, 8000, 16});
        blocks.push_back(
            Block{0, std::vector<char>(master.begin() + 100, master.end()), 1, 8000, 16});
        out.push_back(std::move(blocks));
    }
    return out;
}

bool Feed(CMixer& mixer, const Block& b) {
    return mixer.AddFrame(b.id, b.bytes.data(), static_cast<int>(b.bytes.size()), b.channels,
                          b.rate, b.bits, nullptr);
}

// Sets up a mixer the same way for both modes: 8 kHz mono 16-bit, 20 ms
// frames, mix-minus outputs, limiter, a muted and a scaled source.
void Configure(CMixer& mixer, Recorder& rec, bool manual, bool limiter) {
    ASSERT_TRUE(mixer.SetMixMinusCallback(&Recorder::OnMinus, true));
    ASSERT_TRUE(mixer.SetLimiter(limiter));
    ASSERT_TRUE(manual ? mixer.OpenManual(1, 8000, 16, 320, &Recorder::OnMix, &rec)
                       : mixer.Open(1, 8000, 16, 320, &Recorder::OnMix, &rec));
    ASSERT_TRUE(mixer.SetSourceGain(2, 0.5f));
    ASSERT_TRUE(mixer.SetSourceGain(3, 0.0f));
}

// Passes that find no master frame register no source: a source appears with
// its first whole frame, so the outputs come in the order the sources first
// sent, on the output thread (which ran idle passes first) and in MixPending.
TEST(HostDriven, IdlePassesRegisterNoSourceAndKeepTheOrderOfFirstFrames) {
    for (const bool manual : {false, true}) {
        SCOPED_TRACE(manual ? "MixPending" : "output thread");
        Recorder rec;
        CMixer mixer;
        ASSERT_TRUE(mixer.SetMixMinusCallback(&Recorder::OnMinus, false));
        ASSERT_TRUE(manual ? mixer.OpenManual(1, 8000, 16, 320, &Recorder::OnMix, &rec)
                           : mixer.Open(1, 8000, 16, 320, &Recorder::OnMix, &rec));
        if (manual) {
            EXPECT_EQ(mixer.MixPending(5), 0);
        } else {
            for (int i = 0; i < 6; ++i) {
                mixer.NotifyToMixe();
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            }
        }
        _Carovel::SourceStats stats;
        EXPECT_FALSE(mixer.GetSourceStats(0, stats));
        EXPECT_EQ(mixer.GetAllSourceStats(nullptr, 0, nullptr), 0u);
        const std::vector<char> frame(320, 1);
        for (const long id : {4L, 2L, 0L}) {
            ASSERT_TRUE(mixer.AddFrame(id, frame.data(), 320, 1, 8000, 16, nullptr));
        }
        if (manual) {
            ASSERT_EQ(mixer.MixPending(1), 1);
        } else {
            mixer.NotifyToMixe();
            ASSERT_TRUE(rec.WaitForRecords(4));
        }
        mixer.Close();
        std::vector<long> order;
        for (const Record& r : rec.Records()) {
            if (r.kind == Record::kMinus) {
                order.push_back(r.id);
            }
        }
        EXPECT_EQ(order, (std::vector<long>{4, 2, 0}));
    }
}

TEST(HostDriven, GivesTheSameBytesAsTheOutputThreadDrivenByNotifyToMixe) {
    const auto steps = MakeSteps(60);
    for (const bool limiter : {false, true}) {
        SCOPED_TRACE(limiter ? "limiter on" : "limiter off");
        Recorder threadedRec;
        Recorder manualRec;
        {
            CMixer threaded;
            Configure(threaded, threadedRec, false, limiter);
            for (std::size_t s = 0; s < steps.size(); ++s) {
                for (const Block& b : steps[s]) {
                    ASSERT_TRUE(Feed(threaded, b));
                }
                threaded.NotifyToMixe();
                // One mix and four mix-minus outputs a pass.
                ASSERT_TRUE(threadedRec.WaitForRecords(5 * (s + 1))) << "step " << s;
            }
            threaded.Close();
        }
        {
            CMixer manual;
            Configure(manual, manualRec, true, limiter);
            for (const auto& step : steps) {
                for (const Block& b : step) {
                    ASSERT_TRUE(Feed(manual, b));
                }
                ASSERT_EQ(manual.MixPending(1000), 1);
            }
            EXPECT_EQ(manual.MixPending(1000), 0);  // nothing left
            manual.Close();
        }
        const std::vector<Record> a = threadedRec.Records();
        const std::vector<Record> b = manualRec.Records();
        ASSERT_EQ(a.size(), b.size());
        std::size_t minusOutputs = 0;
        for (std::size_t i = 0; i < a.size(); ++i) {
            ASSERT_EQ(a[i].kind, b[i].kind) << i;
            ASSERT_EQ(a[i].id, b[i].id) << i;
            ASSERT_EQ(a[i].master, b[i].master) << i;
            ASSERT_EQ(a[i].bytes, b[i].bytes) << i;
            EXPECT_NE(a[i].thread, std::this_thread::get_id());
            EXPECT_EQ(b[i].thread, std::this_thread::get_id());
            minusOutputs += a[i].kind == Record::kMinus ? 1 : 0;
        }
        // Four sources each pass: source 3 idle on odd steps gets the full mix.
        EXPECT_EQ(minusOutputs, 4 * steps.size());
    }
}

TEST(HostDriven, MixMinusOutputsFollowTheirMixAndLeaveOutTheirOwnSource) {
    Recorder rec;
    CMixer mixer;
    ASSERT_TRUE(mixer.SetMixMinusCallback(&Recorder::OnMinus));
    ASSERT_TRUE(mixer.OpenManual(1, 8000, 16, 4, &Recorder::OnMix, &rec));
    EXPECT_FALSE(mixer.SetMixMinusCallback(nullptr));  // not while open
    EXPECT_EQ(mixer.LastStatus(), Status::kAlreadyOpen);
    for (int pass = 0; pass < 3; ++pass) {
        ASSERT_TRUE(mixer.AddFrame(0, Pack16({1000, -1000}).data(), 4, 1, 8000, 16, nullptr));
        ASSERT_TRUE(mixer.AddFrame(7, Pack16({30000, -30000}).data(), 4, 1, 8000, 16, nullptr));
        ASSERT_TRUE(mixer.AddFrame(9, Pack16({5, 6}).data(), 4, 1, 8000, 16, nullptr));
    }
    EXPECT_EQ(mixer.MixPending(2), 2);  // at most maxPasses
    EXPECT_EQ(mixer.MixPending(0), 0);
    EXPECT_EQ(mixer.MixPending(5), 1);
    const std::vector<Record> records = rec.Records();
    ASSERT_EQ(records.size(), 3u * 4u);
    for (std::size_t pass = 0; pass < 3; ++pass) {
        const Record* r = &records[pass * 4];
        ASSERT_EQ(r[0].kind, Record::kMix);
        EXPECT_EQ(Unpack(r[0].bytes, 2), (std::vector<std::int64_t>{31005, -30994}));
        EXPECT_EQ(r[1].id, 0);
        EXPECT_EQ(Unpack(r[1].bytes, 2), (std::vector<std::int64_t>{30005, -29994}));
        EXPECT_EQ(r[2].id, 7);
        EXPECT_EQ(Unpack(r[2].bytes, 2), (std::vector<std::int64_t>{1005, -994}));
        EXPECT_EQ(r[3].id, 9);
        EXPECT_EQ(Unpack(r[3].bytes, 2), (std::vector<std::int64_t>{31000, -31000}));
    }
}

TEST(HostDriven, RefusesWhatDoesNotApplyAndStopsWhenACallbackCloses) {
    Recorder rec;
    CMixer mixer;
    EXPECT_EQ(mixer.MixPending(10), 0);
    EXPECT_EQ(mixer.LastStatus(), Status::kNotOpen);
    EXPECT_FALSE(mixer.SetSourceGain(1, 0.5f));
    EXPECT_EQ(mixer.LastStatus(), Status::kNotOpen);
    EXPECT_FALSE(mixer.SetLimiter(true, 0.5f));
    EXPECT_EQ(mixer.LastStatus(), Status::kBadArgument);
    EXPECT_FALSE(mixer.SetLimiter(true, -1.0f, 0.0f));
    EXPECT_EQ(mixer.LastStatus(), Status::kBadArgument);

    ASSERT_TRUE(mixer.Open(1, 8000, 16, 320, &Recorder::OnMix, &rec));
    EXPECT_EQ(mixer.MixPending(10), 0);
    EXPECT_EQ(mixer.LastStatus(), Status::kNotHostDriven);
    EXPECT_FALSE(mixer.OpenManual(1, 8000, 16, 320, &Recorder::OnMix, &rec));
    EXPECT_EQ(mixer.LastStatus(), Status::kAlreadyOpen);
    mixer.Close();

    ASSERT_TRUE(mixer.OpenManual(1, 8000, 16, 4, &Recorder::OnMix, &rec));
    EXPECT_TRUE(mixer.IsRun());
    EXPECT_FALSE(mixer.Open(1, 8000, 16, 320, &Recorder::OnMix, &rec));
    EXPECT_EQ(mixer.LastStatus(), Status::kAlreadyOpen);
    EXPECT_FALSE(mixer.SetSourceGain(1, -1.0f));
    EXPECT_EQ(mixer.LastStatus(), Status::kBadArgument);

    // Inside the callback: the refused calls, then a Close that ends the run.
    std::vector<Status> inside;
    int innerPasses = -1;
    rec.onMix = [&] {
        innerPasses = mixer.MixPending(5);
        inside.push_back(mixer.LastStatus());
        inside.push_back(mixer.AddFrame(0, "ab", 2, 1, 8000, 16, nullptr) ? Status::kOk
                                                                          : mixer.LastStatus());
        inside.push_back(mixer.OpenManual(1, 8000, 16, 4, &Recorder::OnMix, &rec)
                             ? Status::kOk
                             : mixer.LastStatus());
        inside.push_back(mixer.SetSourceGain(0, 0.5f) ? Status::kOk : mixer.LastStatus());
        mixer.Close();
    };
    for (int i = 0; i < 4; ++i) {
        ASSERT_TRUE(mixer.AddFrame(0, Pack16({1, 2}).data(), 4, 1, 8000, 16, nullptr));
    }
    EXPECT_EQ(mixer.MixPending(10), 1);  // the callback closed the mixer
    EXPECT_EQ(innerPasses, 0);
    EXPECT_EQ(inside, (std::vector<Status>{Status::kInsideCallback, Status::kInsideCallback,
                                           Status::kInsideCallback, Status::kOk}));
    EXPECT_FALSE(mixer.IsRun());
    EXPECT_EQ(mixer.MixPending(10), 0);
    EXPECT_EQ(mixer.LastStatus(), Status::kNotOpen);

    // Reopened, the frames left queued are gone and passes run again.
    rec.onMix = nullptr;
    ASSERT_TRUE(mixer.OpenManual(1, 8000, 16, 4, &Recorder::OnMix, &rec));
    EXPECT_EQ(mixer.MixPending(10), 0);
    ASSERT_TRUE(mixer.AddFrame(0, Pack16({1, 2}).data(), 4, 1, 8000, 16, nullptr));
    EXPECT_EQ(mixer.MixPending(10), 1);
}

// A callback of one mixer may run another's passes; a callback of that one
// is still inside the first mixer's MixPending, and is refused there as any
// callback of it is.
TEST(HostDriven, ACallbackNestedInAnotherMixersPassesIsStillInsideTheFirst) {
    Recorder recA;
    Recorder recB;
    CMixer a;
    CMixer b;
    ASSERT_TRUE(a.OpenManual(1, 8000, 16, 4, &Recorder::OnMix, &recA));
    ASSERT_TRUE(b.OpenManual(1, 8000, 16, 4, &Recorder::OnMix, &recB));
    int nestedB = -1;
    int nestedA = -1;
    Status statusA = Status::kOk;
    recA.onMix = [&] { nestedB = b.MixPending(1); };
    recB.onMix = [&] {
        nestedA = a.MixPending(5);
        statusA = a.LastStatus();
    };
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(a.AddFrame(0, Pack16({1, 2}).data(), 4, 1, 8000, 16, nullptr));
        ASSERT_TRUE(b.AddFrame(0, Pack16({3, 4}).data(), 4, 1, 8000, 16, nullptr));
    }
    EXPECT_EQ(a.MixPending(1), 1);
    EXPECT_EQ(nestedB, 1);
    EXPECT_EQ(nestedA, 0);
    EXPECT_EQ(statusA, Status::kInsideCallback);
    EXPECT_EQ(recA.Records().size(), 1u);  // the nested call ran no pass of a
    EXPECT_EQ(a.MixPending(5), 2);         // its frames are all still there
}

TEST(ThreadedMixMinus, EachSourceGetsItsOutputOnTheOutputThreadAfterTheMix) {
    Recorder rec;
    CMixer mixer;
    ASSERT_TRUE(mixer.SetMixMinusCallback(&Recorder::OnMinus));
    ASSERT_TRUE(mixer.SetLimiter(true));
    ASSERT_TRUE(mixer.Open(1, 8000, 16, 320, &Recorder::OnMix, &rec));
    const std::vector<char> loud = Pack16(std::vector<std::int64_t>(160, 30000));
    for (long id : {3L, 4L, 0L}) {
        ASSERT_TRUE(mixer.AddFrame(id, loud.data(), 320, 1, 8000, 16, nullptr));
    }
    mixer.NotifyToMixe();
    // The mix and, after it on the same thread, the three mix-minus outputs.
    ASSERT_TRUE(rec.WaitForRecords(4));
    mixer.Close();
    const std::vector<Record> records = rec.Records();
    ASSERT_EQ(records.size(), 4u);
    EXPECT_EQ(records[0].kind, Record::kMix);
    const std::int64_t ceiling = static_cast<std::int64_t>(32767 * std::pow(10.0, -1.0 / 20.0));
    for (const Record& r : records) {
        EXPECT_EQ(r.thread, records[0].thread);
        EXPECT_NE(r.thread, std::this_thread::get_id());
        ASSERT_EQ(r.bytes.size(), 320u);
        for (const std::int64_t v : Unpack(r.bytes, 2)) {
            ASSERT_LE(v, ceiling);  // 60000 and 90000 limited, never clamped at full scale
        }
    }
    EXPECT_EQ(records[1].id, 3);
    EXPECT_EQ(records[2].id, 4);
    EXPECT_EQ(records[3].id, 0);
}

// A Close from the host's thread while a pass is being delivered lets that
// pass finish: its mix-minus outputs follow its mix even though Close returned
// first. A Close from inside the callback ends the pass at once.
TEST(ThreadedMixMinus, APassWhoseMixWentOutIsDeliveredWholeWhenTheHostCloses) {
    const std::vector<char> frame = Pack16(std::vector<std::int64_t>(160, 1000));
    for (const bool closeInside : {false, true}) {
        Recorder rec;
        std::mutex mutex;
        std::condition_variable cond;
        bool inMix = false;
        bool closed = false;
        auto mixer = std::make_unique<CMixer>();
        rec.onMix = [&] {
            if (closeInside) {
                mixer->Close();
                std::lock_guard<std::mutex> lock(mutex);
                closed = true;
                cond.notify_all();
                return;
            }
            std::unique_lock<std::mutex> lock(mutex);
            inMix = true;
            cond.notify_all();
            cond.wait(lock, [&] { return closed; });
        };
        ASSERT_TRUE(mixer->SetMixMinusCallback(&Recorder::OnMinus));
        ASSERT_TRUE(mixer->Open(1, 8000, 16, 320, &Recorder::OnMix, &rec));
        for (long id : {3L, 4L, 0L}) {
            ASSERT_TRUE(mixer->AddFrame(id, frame.data(), 320, 1, 8000, 16, nullptr));
        }
        mixer->NotifyToMixe();
        if (closeInside) {
            std::unique_lock<std::mutex> lock(mutex);
            ASSERT_TRUE(cond.wait_for(lock, std::chrono::seconds(20), [&] { return closed; }));
        } else {
            {
                std::unique_lock<std::mutex> lock(mutex);
                ASSERT_TRUE(cond.wait_for(lock, std::chrono::seconds(20), [&] { return inMix; }));
            }
            EXPECT_TRUE(mixer->Close());  // gives up waiting: the callback holds on
            EXPECT_FALSE(mixer->IsRun());
            {
                std::lock_guard<std::mutex> lock(mutex);
                closed = true;
            }
            cond.notify_all();
        }
        mixer.reset();  // waits for the output thread to end
        const std::vector<Record> records = rec.Records();
        ASSERT_FALSE(records.empty());
        EXPECT_EQ(records[0].kind, Record::kMix);
        if (closeInside) {
            EXPECT_EQ(records.size(), 1u);
        } else {
            ASSERT_EQ(records.size(), 4u);
            for (std::size_t i = 1; i < 4; ++i) {
                EXPECT_EQ(records[i].kind, Record::kMinus);
                EXPECT_EQ(Unpack(records[i].bytes, 2), std::vector<std::int64_t>(160, 2000));
            }
        }
    }
}

TEST(SourceGain, AnEightBitSourceAtPointThreeIsRoundedOnceInTheMix) {
    // An 8-bit source at 0.3 in an 8-bit mix: within half a step of the exact
    // value everywhere; scaling with ChangeVolume first truncates, which is
    // off by up to a whole step.
    Recorder rec;
    CMixer mixer;
    ASSERT_TRUE(mixer.OpenManual(1, 8000, 8, 160, &Recorder::OnMix, &rec));
    ASSERT_TRUE(mixer.SetSourceGain(1, 0.3f));
    std::vector<char> source(160);
    for (std::size_t i = 0; i < source.size(); ++i) {
        source[i] =
            static_cast<char>(128 + std::lround(100 * std::sin(0.1 * static_cast<double>(i))));
    }
    const std::vector<char> silence(160, static_cast<char>(128));
    ASSERT_TRUE(mixer.AddFrame(1, source.data(), 160, 1, 8000, 8, nullptr));
    ASSERT_TRUE(mixer.AddFrame(0, silence.data(), 160, 1, 8000, 8, nullptr));
    ASSERT_EQ(mixer.MixPending(1), 1);
    const std::vector<char> mix = rec.Records().at(0).bytes;
    std::vector<char> changed = source;
    CMixer::ChangeVolume(changed.data(), 160, 1, 0.3f);
    double worstGain = 0.0;
    double worstChangeVolume = 0.0;
    for (std::size_t i = 0; i < mix.size(); ++i) {
        const double exact = 0.3 * (static_cast<unsigned char>(source[i]) - 128);
        worstGain =
            std::max(worstGain, std::abs((static_cast<unsigned char>(mix[i]) - 128) - exact));
        worstChangeVolume = std::max(
            worstChangeVolume, std::abs((static_cast<unsigned char>(changed[i]) - 128) - exact));
    }
    EXPECT_LE(worstGain, 0.5);
    EXPECT_GT(worstChangeVolume, 0.5);
}

// ClearTraceData discards what is queued, but a muted source stays muted and
// a scaled one scaled; a source without a gain of its own goes as before.
TEST(SourceGain, GainsHoldAcrossClearTraceData) {
    Recorder rec;
    CMixer mixer;
    ASSERT_TRUE(mixer.SetMixMinusCallback(&Recorder::OnMinus));
    ASSERT_TRUE(mixer.OpenManual(1, 8000, 16, 320, &Recorder::OnMix, &rec));
    ASSERT_TRUE(mixer.SetSourceGain(1, 0.0f));
    ASSERT_TRUE(mixer.SetSourceGain(2, 0.5f));
    const auto feedAll = [&] {
        for (long id : {1L, 2L, 3L, 0L}) {
            const std::vector<char> frame =
                Pack16(std::vector<std::int64_t>(160, 1000 * (id + 1)));  // 1000 for the master
            ASSERT_TRUE(mixer.AddFrame(id, frame.data(), 320, 1, 8000, 16, nullptr));
        }
    };
    feedAll();
    feedAll();
    mixer.ClearTraceData();
    EXPECT_EQ(mixer.MixPending(5), 0);  // nothing queued any more
    _Carovel::SourceStats stats;
    EXPECT_TRUE(mixer.GetSourceStats(1, stats));  // kept for its gain
    EXPECT_EQ(stats.backlogFrames, 0u);
    EXPECT_FALSE(mixer.GetSourceStats(3, stats));
    feedAll();
    ASSERT_EQ(mixer.MixPending(5), 1);
    const std::vector<Record> records = rec.Records();
    ASSERT_EQ(records.size(), 5u);  // the mix, then the four sources' outputs
    // Master 1000, source 1 muted, source 2 at half of 3000, source 3 4000.
    EXPECT_EQ(Unpack(records[0].bytes, 2), std::vector<std::int64_t>(160, 1000 + 1500 + 4000));
    for (std::size_t i = 1; i < records.size(); ++i) {
        const std::int64_t own = records[i].id == 0   ? 1000
                                 : records[i].id == 2 ? 1500
                                 : records[i].id == 3 ? 4000
                                                      : 0;
        EXPECT_EQ(Unpack(records[i].bytes, 2), std::vector<std::int64_t>(160, 6500 - own))
            << "source " << records[i].id;
    }
}

}  // namespace
