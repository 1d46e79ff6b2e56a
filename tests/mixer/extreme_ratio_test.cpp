// Conversion between the extreme rates costs in proportion to what it
// produces: flushing a 65535 Hz source into a 1 Hz mix gives out its few
// samples at once, and they are the source's level.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "carovel/mixer.h"
#include "support/mixer_sink.h"
#include "support/pcm.h"

namespace {

using _Carovel::CMixer;
using carovel_test::MixSink;
using carovel_test::Pack16;
using carovel_test::Unpack;
using Samples = std::vector<std::int64_t>;

double SecondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// Ten seconds of a level of 8000 at 65535 Hz into a 1 Hz mix (frames of one
// sample), fed in one-second blocks, then flushed, with the mixer's default
// resampler (which takes libsoxr at this ratio, the source lowered first):
// ten samples come out, the ones away from the stream's ends at the source's
// level. bench/extreme_ratio measures the times (about 0.1 ms per second fed
// and 0.6 ms to flush); the bounds here are thousands of times above them,
// for sanitizer builds on a loaded machine, and still far below what it took
// before the lowering (0.2 to 0.34 s to flush on libsoxr alone, 25 s on
// speexdsp).
TEST(ExtremeRatio, FlushingA65535HzSourceIntoA1HzMixIsQuick) {
    MixSink sink;
    CMixer mixer;
    ASSERT_TRUE(mixer.OpenManual(1, 1, 16, 2, &MixSink::Callback, &sink));
    const std::vector<char> second = Pack16(Samples(65535, 8000));
    const auto feedStart = std::chrono::steady_clock::now();
    for (int i = 0; i < 10; ++i) {
        ASSERT_TRUE(mixer.AddFrame(0, second.data(), static_cast<int>(second.size()), 1, 65535, 16,
                                   nullptr));
    }
    const double feedSeconds = SecondsSince(feedStart);
    const auto flushStart = std::chrono::steady_clock::now();
    ASSERT_TRUE(mixer.FlushSource(0, nullptr));
    const double flushSeconds = SecondsSince(flushStart);
    EXPECT_EQ(mixer.MixPending(100), 10);
    mixer.Close();
    EXPECT_LT(flushSeconds, 2.0) << "was 25 s with a filter as long as the ratio";
    EXPECT_LT(feedSeconds, 2.0);
    Samples mixed;
    for (const auto& out : sink.Outs()) {
        const Samples part = Unpack(out.mix, 2);
        mixed.insert(mixed.end(), part.begin(), part.end());
    }
    ASSERT_EQ(mixed.size(), 10u);
    // The filter rings after the level's step at the start (+9%, -5%, +4%,
    // ... one sample a second); on average the level is the source's.
    double sum = 0;
    for (std::size_t i = 1; i + 1 < mixed.size(); ++i) {
        EXPECT_NEAR(mixed[i], 8000, 1200) << i;
        sum += static_cast<double>(mixed[i]);
    }
    EXPECT_NEAR(sum / 8, 8000, 160);
}

// The other way: ten samples at 1 Hz into a 65535 Hz mix make ten seconds.
TEST(ExtremeRatio, A1HzSourceInto65535HzMixGivesTheWholeStream) {
    MixSink sink;
    CMixer mixer;
    ASSERT_TRUE(mixer.OpenManual(1, 65535, 16, 2570, &MixSink::Callback, &sink));
    const std::vector<char> block = Pack16(Samples(10, 8000));
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(mixer.AddFrame(0, block.data(), static_cast<int>(block.size()), 1, 1, 16, nullptr));
    ASSERT_TRUE(mixer.FlushSource(0, nullptr));
    const double seconds = SecondsSince(start);
    EXPECT_EQ(mixer.MixPending(1000), 510);  // 655350 samples in frames of 1285
    mixer.Close();
    EXPECT_LT(seconds, 10.0);
    Samples mixed;
    for (const auto& out : sink.Outs()) {
        const Samples part = Unpack(out.mix, 2);
        mixed.insert(mixed.end(), part.begin(), part.end());
    }
    ASSERT_EQ(mixed.size(), 510u * 1285);
    // Away from the stream's ends the level is the source's, give or take
    // the filter's ringing after the steps at the ends.
    double sum = 0;
    double count = 0;
    for (std::size_t i = 2 * 65535; i < 8 * 65535; i += 997) {
        ASSERT_NEAR(mixed[i], 8000, 1200) << i;
        sum += static_cast<double>(mixed[i]);
        ++count;
    }
    EXPECT_NEAR(sum / count, 8000, 160);
}

}  // namespace
