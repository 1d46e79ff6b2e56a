// Nothing is lost at the edges of a stream: its end, a format switch, a
// refused call, channels beyond stereo, the resampler's delay, source churn,
// a stepped clock and a throwing callback.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <stdexcept>
#include <thread>
#include <vector>

#include "carovel/mixer.h"
#include "carovel/wave_convert.h"
#include "mixer/intake/source_intake.h"
#include "platform/clock.h"
#include "support/fake_clock.h"
#include "support/mixer_sink.h"
#include "support/pcm.h"
#include "support/test_access.h"

namespace {

using _Carovel::CMixer;
using _Carovel::CWaveConvert;
using _Carovel::CWaveMix;
using _Carovel::MixerTestAccess;
using _Carovel::PcmFormat;
using _Carovel::SinkOf;
using _Carovel::SourceIntake;
using _Carovel::Status;
using carovel_test::MixSink;
using carovel_test::Pack16;
using carovel_test::Unpack;
using Samples = std::vector<std::int64_t>;

const double kPi = std::acos(-1.0);

// The stream one source's intake makes: its frames, taken one pass at a time
// from a frame mixer in which it is the master.
class IntakeStream {
  public:
    IntakeStream(const PcmFormat& mixFormat, std::size_t frameBytes)
        : intake_(0, mixFormat, frameBytes), frameBytes_(frameBytes) {
        mix_.Init(static_cast<unsigned short>(mixFormat.BytesPerSample()));
    }
    Status Feed(const Samples& samples, const PcmFormat& format, std::size_t piece = 0) {
        const std::vector<char> bytes = carovel_test::Pack(samples, format.BytesPerSample());
        const std::size_t step = piece == 0 ? bytes.size() : piece;
        for (std::size_t pos = 0; pos < bytes.size(); pos += step) {
            const Status s = intake_.Feed(bytes.data() + pos, std::min(step, bytes.size() - pos),
                                          format, nullptr, SinkOf(mix_));
            if (s != Status::kOk) {
                return s;
            }
        }
        return Status::kOk;
    }
    Status FeedBytes(const char* data, std::size_t len, const PcmFormat& format) {
        return intake_.Feed(data, len, format, nullptr, SinkOf(mix_));
    }
    void Flush() { ASSERT_EQ(intake_.Flush(nullptr, SinkOf(mix_)), Status::kOk); }
    // Every frame queued so far, in order, as samples of the given width.
    Samples Take(unsigned width) {
        std::vector<char> all;
        std::vector<char> master(frameBytes_), mix(frameBytes_);
        for (;;) {
            int masterLen = static_cast<int>(frameBytes_);
            int mixLen = static_cast<int>(frameBytes_);
            mix_.GetMixedFrame(master.data(), masterLen, mix.data(), mixLen, nullptr);
            if (masterLen == 0) {
                break;
            }
            all.insert(all.end(), master.begin(), master.begin() + masterLen);
        }
        return Unpack(all, width);
    }

  private:
    CWaveMix mix_;
    SourceIntake intake_;
    std::size_t frameBytes_;
};

Samples Sine(double hz, double amplitude, unsigned rate, std::size_t from, std::size_t count,
             unsigned channels = 1) {
    Samples out;
    for (std::size_t n = from; n < from + count; ++n) {
        const auto v = std::llround(amplitude * std::sin(2 * kPi * hz * n / rate));
        out.insert(out.end(), channels, v);
    }
    return out;
}

// The phase (radians) of a tone of hz in s[from, to) against sin(2 pi hz n /
// rate) with n counted from the start of s, and its amplitude.
struct Phase {
    double radians;
    double amplitude;
};
Phase MeasurePhase(const Samples& s, double hz, unsigned rate, std::size_t from, std::size_t to) {
    double ys = 0, yc = 0;
    for (std::size_t n = from; n < to; ++n) {
        ys += static_cast<double>(s[n]) * std::sin(2 * kPi * hz * n / rate);
        yc += static_cast<double>(s[n]) * std::cos(2 * kPi * hz * n / rate);
    }
    const double scale = 2.0 / static_cast<double>(to - from);
    return {std::atan2(yc, ys), std::hypot(ys, yc) * scale};
}

TEST(StreamEdges, AFlushedSourceIsMixedToItsLastSample) {
    // 1,007 ms at 8 kHz in 7 ms blocks: 50 whole frames and 7 ms more.
    MixSink sink;
    CMixer mixer;
    ASSERT_TRUE(mixer.Open(1, 8000, 16, 320, &MixSink::Callback, &sink));
    const std::vector<char> block = Pack16(Samples(56, 1000));
    for (int i = 0; i < 143; ++i) {
        ASSERT_TRUE(mixer.AddFrame(0, block.data(), 112, 1, 8000, 16, nullptr));
    }
    int endTag = 0;
    ASSERT_TRUE(mixer.FlushSource(0, &endTag));
    ASSERT_TRUE(sink.WaitFor(51));
    mixer.Close();
    Samples mixed;
    for (const auto& out : sink.Outs()) {
        const Samples part = Unpack(out.mix, 2);
        mixed.insert(mixed.end(), part.begin(), part.end());
    }
    ASSERT_EQ(mixed.size(), 51u * 160);
    EXPECT_EQ(Samples(mixed.begin(), mixed.begin() + 8008), Samples(8008, 1000));
    EXPECT_EQ(Samples(mixed.begin() + 8008, mixed.end()), Samples(152, 0));  // padding
    EXPECT_EQ(sink.Outs().back().tag, &endTag);
    EXPECT_EQ(MixerTestAccess::QueuedFrames(mixer, 0), 0u);
}

TEST(StreamEdges, FormatSwitchesKeepTheToneInPhase) {
    // A 440 Hz tone fed as 8 kHz, then 16 kHz, then in the mixing format
    // (48 kHz), 300 ms each: no sample may go missing at a switch.
    const PcmFormat mixFormat{1, 48000, 16};
    IntakeStream stream(mixFormat, 960);
    const double hz = 440;
    ASSERT_EQ(stream.Feed(Sine(hz, 8000, 8000, 0, 2400), PcmFormat{1, 8000, 16}, 222), Status::kOk);
    ASSERT_EQ(stream.Feed(Sine(hz, 8000, 16000, 4800, 4800), PcmFormat{1, 16000, 16}, 222),
              Status::kOk);
    ASSERT_EQ(stream.Feed(Sine(hz, 8000, 48000, 28800, 14400), mixFormat, 222), Status::kOk);
    stream.Flush();
    const Samples out = stream.Take(2);
    ASSERT_EQ(out.size(), 43200u);
    // Each segment, away from its edges, is the one tone at its own time.
    for (const std::size_t start : {0u, 14400u, 28800u}) {
        const Phase p = MeasurePhase(out, hz, 48000, start + 1000, start + 13400);
        EXPECT_NEAR(p.radians, 0.0, 0.02) << "segment at " << start;
        EXPECT_NEAR(p.amplitude, 8000, 80) << "segment at " << start;
    }
}

TEST(StreamEdges, ARefusedCallChangesNothing) {
    // A 16 kHz stream into an 8 kHz mix, fed in 7-byte pieces (splitting
    // samples), with a refused 12-bit block in the middle: the result is
    // byte for byte that of the stream converted in one piece.
    const PcmFormat mixFormat{1, 8000, 16};
    const PcmFormat source{1, 16000, 16};
    const Samples tone = Sine(700, 9000, 16000, 0, 8000);
    const std::vector<char> bytes = Pack16(tone);

    CWaveConvert conv;
    ASSERT_TRUE(conv.Open(1, 16000, 16, 1, 8000, 16));
    std::vector<char> expected(bytes.size());
    unsigned long used = bytes.size(), produced = expected.size();
    ASSERT_TRUE(conv.Convert(reinterpret_cast<const unsigned char*>(bytes.data()), used,
                             reinterpret_cast<unsigned char*>(expected.data()), produced));
    unsigned long tail = expected.size() - produced;
    ASSERT_TRUE(conv.Flush(reinterpret_cast<unsigned char*>(expected.data()) + produced, tail));
    expected.resize(produced + tail);
    expected.resize((expected.size() + 319) / 320 * 320, 0);  // the flush pads the last frame

    IntakeStream stream(mixFormat, 320);
    for (std::size_t pos = 0; pos < bytes.size(); pos += 7) {
        ASSERT_EQ(stream.FeedBytes(bytes.data() + pos, std::min<std::size_t>(7, bytes.size() - pos),
                                   source),
                  Status::kOk);
        if (pos == 7 * 1000) {
            EXPECT_EQ(stream.FeedBytes("abcdef", 6, PcmFormat{1, 16000, 12}),
                      Status::kUnsupportedFormat);
        }
    }
    stream.Flush();
    EXPECT_EQ(stream.Take(2), Unpack(expected, 2));
}

TEST(StreamEdges, TheCentreOfFivePointOneIsHeardInStereoAndMono) {
    // A voice (here a 1 kHz tone) only in the centre channel of a 5.1 source.
    Samples surround;
    for (const std::int64_t v : Sine(1000, 16000, 48000, 0, 9600)) {
        surround.insert(surround.end(), {0, 0, v, 0, 0, 0});
    }
    const PcmFormat source{6, 48000, 16};
    // Each side is (front + C / sqrt 2 + surround / sqrt 2) / (1 + 2 / sqrt 2),
    // and mono their average: the centre at 0.293 in every output channel.
    const double centreWeight = (1 / std::sqrt(2.0)) / (1 + 2 / std::sqrt(2.0));
    for (const unsigned channels : {2u, 1u}) {
        IntakeStream stream(PcmFormat{channels, 48000, 16}, 960 * channels);
        ASSERT_EQ(stream.Feed(surround, source), Status::kOk);
        stream.Flush();
        const Samples out = stream.Take(2);
        for (unsigned ch = 0; ch < channels; ++ch) {
            Samples one;
            for (std::size_t i = ch; i < out.size(); i += channels) {
                one.push_back(out[i]);
            }
            const Phase p = MeasurePhase(one, 1000, 48000, 480, 9120);
            EXPECT_NEAR(p.amplitude, 16000 * centreWeight, 16) << channels << " channels";
        }
    }
}

// A click at the same instant in sources at 8, 16, 44.1 and 48 kHz lands at
// the same sample of the mix, at 48 kHz and at 8 kHz.
TEST(StreamEdges, ClicksLandAtTheirOwnTimeWhateverTheRates) {
    const double clickAt = 0.2;  // seconds
    for (const unsigned mixRate : {48000u, 8000u}) {
        for (const unsigned rate : {8000u, 16000u, 44100u, 48000u}) {
            const std::size_t frameBytes = mixRate / 50 * 2;
            IntakeStream stream(PcmFormat{1, mixRate, 16}, frameBytes);
            Samples clip(rate / 2, 0);
            clip[static_cast<std::size_t>(clickAt * rate)] = 30000;
            ASSERT_EQ(stream.Feed(clip, PcmFormat{1, rate, 16}, 333), Status::kOk);
            stream.Flush();
            const Samples out = stream.Take(2);
            ASSERT_GE(out.size(), mixRate / 2);
            std::size_t peak = 0;
            for (std::size_t i = 0; i < out.size(); ++i) {
                if (std::abs(out[i]) > std::abs(out[peak])) {
                    peak = i;
                }
            }
            EXPECT_NEAR(static_cast<double>(peak), clickAt * mixRate, 1.0)
                << rate << " Hz into " << mixRate << " Hz";
        }
    }
}

TEST(StreamEdges, SourceChurnKeepsTheRecordsBounded) {
    carovel_test::FakeSecondsClock clock(1000);
    MixSink sink;
    CMixer mixer;
    ASSERT_TRUE(mixer.Open(1, 8000, 16, 320, &MixSink::Callback, &sink));
    const std::vector<char> block(100, 1);
    std::size_t most = 0;
    for (long id = 1; id <= 100000; ++id) {
        if (id % 1000 == 0) {
            clock.Advance(1);  // 1,000 new sources a second, each sending once
        }
        ASSERT_TRUE(mixer.AddFrame(id, block.data(), 100, 1, 8000, 16, nullptr));
        most = std::max(most, MixerTestAccess::SourceCount(mixer));
    }
    // Sources idle for more than 10 s are gone: at most 11 s worth are live.
    EXPECT_LE(most, 11000u);
    const auto* last = MixerTestAccess::Record(mixer, 100000);
    ASSERT_NE(last, nullptr);
    EXPECT_LE(last->StagingCapacity(), 320u);  // staging holds a partial frame only
    EXPECT_EQ(MixerTestAccess::Record(mixer, 1), nullptr);
    mixer.Close();
}

std::atomic<int> g_throws{0};
void Throwing(char*, unsigned, char*, unsigned, void*, void*) {
    ++g_throws;
    throw std::runtime_error("host bug");
}

TEST(StreamEdges, AThrowingCallbackLeavesTheMixerRunning) {
    CMixer mixer;
    ASSERT_TRUE(mixer.Open(1, 8000, 16, 320, &Throwing, nullptr));
    const std::vector<char> frame(320, 0);
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(mixer.AddFrame(0, frame.data(), 320, 1, 8000, 16, nullptr));
        mixer.NotifyToMixe();
    }
    for (int i = 0; i < 2000 && mixer.CallbackExceptions() < 3; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_EQ(mixer.CallbackExceptions(), 3u);
    EXPECT_EQ(g_throws.load(), 3);
    EXPECT_TRUE(mixer.IsRun());
    EXPECT_TRUE(mixer.AddFrame(0, frame.data(), 320, 1, 8000, 16, nullptr));
    EXPECT_TRUE(mixer.Close());
}

}  // namespace
