// A source's intake on its own, with a frame mixer and no output thread.
#include "mixer/intake/source_intake.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <vector>

#include "support/pcm.h"
#include "support/test_access.h"

namespace {

using _Carovel::CWaveMix;
using _Carovel::PcmFormat;
using _Carovel::SinkOf;
using _Carovel::SourceIntake;
using _Carovel::Status;
using _Carovel::WaveMixTestAccess;

const PcmFormat kMono16k8{1, 8000, 16};

// Takes the oldest frame of source 5 (queued beside a master frame) out of
// the frame mixer.
std::vector<char> TakeFrame(CWaveMix& wm, int bytes) {
    const std::vector<char> silence(static_cast<std::size_t>(bytes), 0);
    EXPECT_TRUE(wm.AddFrame(0, silence.data(), bytes, nullptr));
    std::vector<char> master(static_cast<std::size_t>(bytes));
    std::vector<char> mix(static_cast<std::size_t>(bytes));
    int masterLen = bytes;
    int mixLen = bytes;
    wm.GetMixedFrame(master.data(), masterLen, mix.data(), mixLen, nullptr);
    mix.resize(static_cast<std::size_t>(mixLen));
    return mix;
}

TEST(SourceIntake, CutsBlocksOfAnyLengthIntoWholeFrames) {
    CWaveMix wm;
    wm.Init(2);
    SourceIntake intake(5, kMono16k8, 320);
    std::vector<char> block(100);
    int tags[7] = {};
    for (int i = 0; i < 7; ++i) {
        for (std::size_t b = 0; b < block.size(); ++b) {
            block[b] = static_cast<char>(i * 100 + static_cast<int>(b));
        }
        ASSERT_EQ(intake.Feed(block.data(), block.size(), kMono16k8, &tags[i], SinkOf(wm)),
                  Status::kOk);
        if (i == 3) {
            EXPECT_EQ(WaveMixTestAccess::QueuedFrames(wm, 5), 1u);
            EXPECT_EQ(intake.StagedBytes(), 80u);
        }
    }
    EXPECT_EQ(WaveMixTestAccess::QueuedFrames(wm, 5), 2u);
    EXPECT_EQ(intake.StagedBytes(), 60u);
    // The frames hold the stream's bytes in order, across call boundaries.
    for (int f = 0; f < 2; ++f) {
        const std::vector<char> frame = TakeFrame(wm, 320);
        ASSERT_EQ(frame.size(), 320u);
        for (int b = 0; b < 320; ++b) {
            ASSERT_EQ(frame[static_cast<std::size_t>(b)], static_cast<char>(f * 320 + b)) << b;
        }
    }
}

TEST(SourceIntake, ConvertsOtherFormatsAndNamesWhatItRefuses) {
    CWaveMix wm;
    wm.Init(2);
    SourceIntake intake(5, kMono16k8, 320);
    // 160 one-byte samples at the same rate widen to one 320-byte frame.
    const std::vector<char> bytes(160, static_cast<char>(0x81));
    ASSERT_EQ(intake.Feed(bytes.data(), bytes.size(), PcmFormat{1, 8000, 8}, nullptr, SinkOf(wm)),
              Status::kOk);
    const std::vector<char> frame = TakeFrame(wm, 320);
    ASSERT_EQ(frame.size(), 320u);
    for (const std::int64_t s : carovel_test::Unpack(frame, 2)) {
        ASSERT_EQ(s, 256);  // one step above the midpoint, at 16 bits
    }
    EXPECT_EQ(intake.Feed(bytes.data(), bytes.size(), PcmFormat{1, 8000, 12}, nullptr, SinkOf(wm)),
              Status::kUnsupportedFormat);
    EXPECT_EQ(intake.Feed(bytes.data(), bytes.size(), PcmFormat{0, 8000, 16}, nullptr, SinkOf(wm)),
              Status::kUnsupportedFormat);
}

// A trimmed stereo stream fed in pieces that split its samples, restarted
// (as live mode does after it ran dry) between two halves of a sample: the
// half that came before the restart is completed by the next piece, so every
// later sample stays on its channels (left +1000, right -1000; silence and
// the filter's ramps keep left = -right, overshooting a little).
TEST(SourceIntake, ARestartKeepsATrimmedStreamOnItsChannels) {
    const PcmFormat stereo{2, 8000, 16};
    CWaveMix wm;
    wm.Init(2);
    SourceIntake intake(5, stereo, 320);
    intake.SetTrim(300);
    std::vector<char> stream;
    for (int i = 0; i < 4000; ++i) {
        for (const int v : {1000, -1000}) {
            stream.push_back(static_cast<char>(v & 0xff));
            stream.push_back(static_cast<char>((v >> 8) & 0xff));
        }
    }
    std::size_t at = 0;
    const auto feed = [&](std::size_t bytes) {
        ASSERT_EQ(intake.Feed(stream.data() + at, bytes, stereo, nullptr, SinkOf(wm)), Status::kOk);
        at += bytes;
    };
    for (int i = 0; i < 301; ++i) {
        feed(7);
    }
    ASSERT_NE(at % 4, 0u);  // a sample split across the restart
    ASSERT_EQ(intake.Restart(400, nullptr, SinkOf(wm)), Status::kOk);
    while (at + 7 <= stream.size()) {
        feed(7);
    }
    int frames = 0;
    while (WaveMixTestAccess::QueuedFrames(wm, 5) > 0) {
        const std::vector<std::int64_t> got = carovel_test::Unpack(TakeFrame(wm, 320), 2);
        ++frames;
        for (std::size_t i = 0; i + 1 < got.size(); i += 2) {
            ASSERT_GE(got[i], 0) << "frame " << frames;
            ASSERT_LE(got[i], 1100) << "frame " << frames;  // the ramps overshoot a little
            ASSERT_LE(std::abs(got[i] + got[i + 1]), 1) << "frame " << frames;
        }
    }
    EXPECT_GT(frames, 40);
}

}  // namespace
