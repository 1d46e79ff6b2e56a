// Every fed frame is mixed exactly once and in order, while several host
// threads feed sources in the mixing format and in other formats, in odd block
// sizes, and the output thread mixes as fast as it is woken.
//
// The mixing format is 8000 Hz mono 16-bit with 32-sample frames. Each source
// owns one sample position (its slot) of every frame and is silent elsewhere;
// at its slot, its frame number n carries the code n % 120 + 1, scaled by 256.
// Every other format used is one that converts exactly at the same rate, so a
// mixed frame shows, slot by slot, which frame of each source went into it.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <numeric>
#include <random>
#include <thread>
#include <vector>

#include "carovel/mixer.h"
#include "stress/stress_support.h"
#include "support/test_access.h"

namespace {

using _Carovel::CMixer;
using _Carovel::MixerTestAccess;

constexpr unsigned short kRate = 8000;
constexpr unsigned kFrameSamples = 32;
constexpr unsigned short kFrameBytes = kFrameSamples * 2;
constexpr int kFramesPerSource = 1500;
constexpr int kHostThreads = 4;

struct SourceSpec {
    long id;
    unsigned short channels;
    unsigned short bits;
};

// Slot i belongs to kSources[i]; source 0, the master, has slot 0.
const std::vector<SourceSpec> kSources = {
    {0, 1, 16},      // master, mixing format
    {1, 1, 16},      // mixing format
    {2, 1, 8},       // widened from 8 bits
    {3, 2, 16},      // two equal channels averaged to one
    {4, 1, 24},      // narrowed from 24 bits
    {5, 1, 32},      // narrowed from 32 bits
    {70001, 1, 16},  // mixing format, a large identifier
    {-9, 2, 8},      // stereo 8-bit
};

int Code(int frame) {
    return frame % 120 + 1;
}

// One sample of value v (16-bit scale) in a source format, every channel.
void AppendSample(std::vector<char>& out, const SourceSpec& s, std::int32_t v) {
    for (unsigned c = 0; c < s.channels; ++c) {
        if (s.bits == 8) {
            out.push_back(static_cast<char>(128 + v / 256));
            continue;
        }
        const auto u = static_cast<std::uint32_t>(v) << (s.bits - 16);
        for (unsigned b = 0; b < s.bits / 8u; ++b) {
            out.push_back(static_cast<char>((u >> (8 * b)) & 0xff));
        }
    }
}

// Frames [first, first + count) of the source in `slot`, in its own format.
std::vector<char> SourceStream(std::size_t slot, int first, int count) {
    std::vector<char> out;
    for (int n = first; n < first + count; ++n) {
        for (unsigned s = 0; s < kFrameSamples; ++s) {
            AppendSample(out, kSources[slot], s == slot ? Code(n) * 256 : 0);
        }
    }
    return out;
}

// What the callback saw: per pass, the code at every slot (0 when the source
// had no frame in that pass), plus anything that breaks the frame layout.
struct PassLog {
    std::mutex mutex;
    std::vector<std::vector<int>> codes;
    std::int64_t total = 0;  // sum of every mixed sample
    int badLengths = 0;
    int strayValues = 0;  // non-zero samples outside the slots, or not whole codes
    int masterMismatch = 0;
};

std::int32_t Sample16(const char* p) {
    return static_cast<std::int16_t>(static_cast<std::uint16_t>(
        static_cast<unsigned char>(p[0]) | (static_cast<unsigned char>(p[1]) << 8)));
}

void LogPass(char* master, unsigned masterLen, char* mix, unsigned mixLen, void* user, void*) {
    auto* log = static_cast<PassLog*>(user);
    std::lock_guard<std::mutex> guard(log->mutex);
    if (masterLen != kFrameBytes || mixLen != kFrameBytes) {
        ++log->badLengths;
        return;
    }
    std::vector<int> codes(kSources.size(), 0);
    for (unsigned s = 0; s < kFrameSamples; ++s) {
        const std::int32_t v = Sample16(mix + 2 * s);
        log->total += v;
        if (s < kSources.size() && v % 256 == 0) {
            codes[s] = v / 256;
        } else if (v != 0) {
            ++log->strayValues;
        }
    }
    if (Sample16(master) != codes[0] * 256) {
        ++log->masterMismatch;
    }
    log->codes.push_back(std::move(codes));
}

// Feeds the whole streams of some sources in random block sizes (odd ones
// included, so samples and blocks are split), interleaving the sources. Calls
// into the mixer are serialised with the other host threads by `hostLock`.
void FeedSources(CMixer& mixer, std::mutex& hostLock, const std::vector<std::size_t>& slots,
                 std::uint32_t seed) {
    std::mt19937 rng(seed);
    std::vector<std::vector<char>> streams;
    std::vector<std::size_t> fed(slots.size(), 0);
    for (const std::size_t slot : slots) {
        streams.push_back(SourceStream(slot, 0, kFramesPerSource));
    }
    std::uniform_int_distribution<std::size_t> blockSize(1, 997);
    for (bool more = true; more;) {
        more = false;
        for (std::size_t i = 0; i < slots.size(); ++i) {
            const std::size_t n = std::min(blockSize(rng), streams[i].size() - fed[i]);
            const SourceSpec& s = kSources[slots[i]];
            std::lock_guard<std::mutex> guard(hostLock);
            ASSERT_TRUE(mixer.AddFrame(s.id, streams[i].data() + fed[i], static_cast<int>(n),
                                       s.channels, kRate, s.bits, nullptr));
            fed[i] += n;
            more = more || fed[i] < streams[i].size();
        }
    }
}

bool OthersQueued(CMixer& mixer) {
    return std::any_of(kSources.begin() + 1, kSources.end(), [&](const SourceSpec& s) {
        return MixerTestAccess::QueuedFrames(mixer, s.id) > 0;
    });
}

// Feeds further master frames until every other source's queue has been
// mixed. Returns the number of extra master frames.
int DrainWithMasterFrames(CMixer& mixer) {
    int extra = 0;
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while ((OthersQueued(mixer) || MixerTestAccess::QueuedFrames(mixer, 0) > 0) &&
           std::chrono::steady_clock::now() < until) {
        if (MixerTestAccess::QueuedFrames(mixer, 0) == 0) {
            const std::vector<char> frame = SourceStream(0, kFramesPerSource + extra, 1);
            EXPECT_TRUE(mixer.AddFrame(0, frame.data(), kFrameBytes, 1, kRate, 16, nullptr));
            ++extra;
        }
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return extra;
}

// The codes a slot showed, in pass order, skipping passes without its frame.
std::vector<int> CodesOfSlot(const std::vector<std::vector<int>>& passes, std::size_t slot) {
    std::vector<int> codes;
    for (const auto& pass : passes) {
        if (pass[slot] != 0) {
            codes.push_back(pass[slot]);
        }
    }
    return codes;
}

std::vector<int> ExpectedCodes(int frames) {
    std::vector<int> codes(static_cast<std::size_t>(frames));
    for (int n = 0; n < frames; ++n) {
        codes[static_cast<std::size_t>(n)] = Code(n);
    }
    return codes;
}

TEST(NoFrameLost, ManyHostThreadsAndMixedFormatsEveryFrameMixedExactlyOnceInOrder) {
    PassLog log;
    CMixer mixer;
    ASSERT_TRUE(mixer.Open(1, kRate, 16, kFrameBytes, &LogPass, &log));
    std::mutex hostLock;
    int extra = 0;
    {
        carovel_test::MixPump pump(mixer);
        std::vector<std::thread> hosts;
        for (int t = 0; t < kHostThreads; ++t) {
            const std::vector<std::size_t> slots = {static_cast<std::size_t>(t),
                                                    static_cast<std::size_t>(t + kHostThreads)};
            hosts.emplace_back(FeedSources, std::ref(mixer), std::ref(hostLock), slots,
                               static_cast<std::uint32_t>(100 + t));
        }
        for (auto& h : hosts) {
            h.join();
        }
        extra = DrainWithMasterFrames(mixer);
        for (const SourceSpec& s : kSources) {
            const auto* rec = MixerTestAccess::Record(mixer, s.id);
            ASSERT_NE(rec, nullptr);
            EXPECT_EQ(rec->StagedBytes(), 0u) << "source " << s.id;  // streams were whole frames
            EXPECT_EQ(MixerTestAccess::QueuedFrames(mixer, s.id), 0u) << "source " << s.id;
        }
    }
    EXPECT_TRUE(mixer.Close());

    std::lock_guard<std::mutex> guard(log.mutex);
    EXPECT_EQ(log.badLengths, 0);
    EXPECT_EQ(log.strayValues, 0);
    EXPECT_EQ(log.masterMismatch, 0);
    ASSERT_EQ(log.codes.size(), static_cast<std::size_t>(kFramesPerSource + extra));
    EXPECT_EQ(CodesOfSlot(log.codes, 0), ExpectedCodes(kFramesPerSource + extra));
    for (std::size_t slot = 1; slot < kSources.size(); ++slot) {
        EXPECT_EQ(CodesOfSlot(log.codes, slot), ExpectedCodes(kFramesPerSource))
            << "source " << kSources[slot].id;
    }
    // The same proof as one number: the sum of all mixed samples.
    const std::vector<int> all = ExpectedCodes(kFramesPerSource);
    const std::vector<int> master = ExpectedCodes(kFramesPerSource + extra);
    const std::int64_t expected =
        256 * (std::accumulate(master.begin(), master.end(), std::int64_t{0}) +
               static_cast<std::int64_t>(kSources.size() - 1) *
                   std::accumulate(all.begin(), all.end(), std::int64_t{0}));
    EXPECT_EQ(log.total, expected);
}

}  // namespace
