// CMixer::SetResampler: every converted source goes through the chosen
// resampler, byte for byte as the converter makes it, holding back what that
// resampler holds back.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <vector>

#include "carovel/mixer.h"
#include "carovel/wave_convert.h"
#include "support/mixer_sink.h"
#include "support/pcm.h"

namespace {

using _Carovel::CMixer;
using _Carovel::CWaveConvert;
using _Carovel::Resampler;
using _Carovel::Status;
using carovel_test::MixOut;
using carovel_test::MixSink;
using carovel_test::Pack16;

constexpr unsigned short kFrame = 320;  // 8000 Hz mono 16-bit, 20 ms
constexpr std::size_t kBlock = 640;     // 16000 Hz mono 16-bit, 20 ms

std::vector<char> Sine16k(double seconds) {
    std::vector<std::int64_t> s;
    const auto frames = static_cast<long>(seconds * 16000);
    for (long i = 0; i < frames; ++i) {
        s.push_back(std::lround(9000 * std::sin(2 * M_PI * 700.0 * i / 16000)));
    }
    return Pack16(s);
}

// What a converter of the given kind makes of input fed in 20 ms blocks:
// the bytes given out before the flush, then all of them.
struct Direct {
    std::vector<char> beforeFlush;
    std::vector<char> all;
};

Direct ConvertDirectly(Resampler kind, const std::vector<char>& input) {
    CWaveConvert conv;
    EXPECT_TRUE(conv.Open(1, 16000, 16, 1, 8000, 16, kind));
    Direct d;
    std::vector<unsigned char> room(4096);
    for (std::size_t pos = 0; pos < input.size(); pos += kBlock) {
        unsigned long used = kBlock;
        unsigned long made = room.size();
        EXPECT_TRUE(conv.Convert(reinterpret_cast<const unsigned char*>(input.data()) + pos, used,
                                 room.data(), made));
        EXPECT_EQ(used, kBlock);
        d.beforeFlush.insert(d.beforeFlush.end(), room.begin(), room.begin() + made);
    }
    d.all = d.beforeFlush;
    for (;;) {
        unsigned long made = room.size();
        EXPECT_TRUE(conv.Flush(room.data(), made));
        if (made == 0) {
            break;
        }
        d.all.insert(d.all.end(), room.begin(), room.begin() + made);
    }
    return d;
}

// One second of a 16 kHz source into an 8 kHz mix: with the default the
// source's frames are queued as its blocks arrive, less a few milliseconds;
// with kFast about 118 ms later (its pacing latency at these rates). Either
// way the flushed stream is the converter's, padded to whole frames.
TEST(MixerResampler, ConvertedSourcesGoThroughTheChosenResampler) {
    const std::vector<char> input = Sine16k(1.0);
    for (const Resampler kind : {Resampler::kLowLatency, Resampler::kFast}) {
        const Direct direct = ConvertDirectly(kind, input);
        MixSink sink;
        CMixer mixer;
        if (kind == Resampler::kFast) {
            ASSERT_TRUE(mixer.SetResampler(kind));
        }
        ASSERT_TRUE(mixer.OpenManual(1, 8000, 16, kFrame, &MixSink::Callback, &sink));
        for (std::size_t pos = 0; pos < input.size(); pos += kBlock) {
            ASSERT_TRUE(mixer.AddFrame(0, input.data() + pos, static_cast<int>(kBlock), 1, 16000,
                                       16, nullptr));
        }
        _Carovel::SourceStats stats;
        ASSERT_TRUE(mixer.GetSourceStats(0, stats));
        EXPECT_EQ(stats.backlogFrames, direct.beforeFlush.size() / kFrame);
        if (kind == Resampler::kFast) {
            EXPECT_LE(stats.backlogFrames, 46u) << "held back less than 80 ms";
            EXPECT_GE(stats.backlogFrames, 40u) << "held back more than 200 ms";
        } else {
            EXPECT_GE(stats.backlogFrames, 49u) << "held back more than 20 ms";
        }
        ASSERT_TRUE(mixer.FlushSource(0, nullptr));
        EXPECT_EQ(mixer.MixPending(1000), 50);
        mixer.Close();
        std::vector<char> mixed;
        for (const MixOut& out : sink.Outs()) {
            mixed.insert(mixed.end(), out.master.begin(), out.master.end());
        }
        ASSERT_EQ(direct.all.size(), 16000u);  // one second at 8 kHz
        EXPECT_TRUE(mixed == direct.all) << static_cast<int>(kind);
    }
}

TEST(MixerResampler, TakenOnlyWhileClosedAndKeptForLaterSessions) {
    MixSink sink;
    CMixer mixer;
    EXPECT_FALSE(mixer.SetResampler(static_cast<Resampler>(5)));
    EXPECT_EQ(mixer.LastStatus(), Status::kBadArgument);
    ASSERT_TRUE(mixer.SetResampler(Resampler::kFast));
    ASSERT_TRUE(mixer.OpenManual(1, 8000, 16, kFrame, &MixSink::Callback, &sink));
    EXPECT_FALSE(mixer.SetResampler(Resampler::kLowLatency));
    EXPECT_EQ(mixer.LastStatus(), Status::kAlreadyOpen);
    mixer.Close();
    // Reopened: still the fast one, whose pacing holds back the first
    // blocks' output entirely, so the source has not queued a frame yet.
    ASSERT_TRUE(mixer.OpenManual(1, 8000, 16, kFrame, &MixSink::Callback, &sink));
    const std::vector<char> input = Sine16k(0.04);
    ASSERT_TRUE(
        mixer.AddFrame(0, input.data(), static_cast<int>(input.size()), 1, 16000, 16, nullptr));
    _Carovel::SourceStats stats;
    EXPECT_FALSE(mixer.GetSourceStats(0, stats));
    mixer.Close();
    ASSERT_TRUE(mixer.SetResampler(Resampler::kLowLatency));
    ASSERT_TRUE(mixer.OpenManual(1, 8000, 16, kFrame, &MixSink::Callback, &sink));
    ASSERT_TRUE(
        mixer.AddFrame(0, input.data(), static_cast<int>(input.size()), 1, 16000, 16, nullptr));
    ASSERT_TRUE(mixer.GetSourceStats(0, stats));
    EXPECT_EQ(stats.backlogFrames, 1u);  // 40 ms less a few
    mixer.Close();
}

}  // namespace
