// Mixing pass and frame intake of the frame mixer.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "carovel/wave_mix.h"

namespace {

using _Carovel::CWaveMix;

// Passes whose frames are queued ahead at a time: as many as keep the queued
// input within a few megabytes, as a live mixer's would be, at most 64.
int BatchFor(std::int64_t frameBytes, std::int64_t tracks) {
    constexpr std::int64_t kQueuedBytes = 4 << 20;
    return static_cast<int>(std::clamp<std::int64_t>(kQueuedBytes / (frameBytes * tracks), 1, 64));
}

std::vector<char> MakeFrame(int bytes, int seed) {
    std::vector<char> frame(static_cast<std::size_t>(bytes));
    for (int i = 0; i < bytes; ++i) {
        frame[static_cast<std::size_t>(i)] = static_cast<char>((i * 7 + seed * 13) & 0xff);
    }
    return frame;
}

// One pass over `tracks` tracks, each holding one frame. Frames are queued
// for a batch of passes at a time, outside the timing.
void BM_MixPass(benchmark::State& state) {
    const int frameBytes = static_cast<int>(state.range(0));
    const int tracks = static_cast<int>(state.range(1));
    const std::vector<char> frame = MakeFrame(frameBytes, 1);
    std::vector<char> master(frame.size()), mix(frame.size());
    CWaveMix wm;
    wm.Init(2);
    const int kBatch = BatchFor(frameBytes, tracks);
    int queued = 0;
    for (auto _ : state) {
        if (queued == 0) {
            state.PauseTiming();
            for (int b = 0; b < kBatch; ++b) {
                for (int t = 0; t < tracks; ++t) {
                    wm.AddFrame(t, frame.data(), frameBytes, nullptr);
                }
            }
            queued = kBatch;
            state.ResumeTiming();
        }
        int masterLen = frameBytes, mixLen = frameBytes;
        wm.GetMixedFrame(master.data(), masterLen, mix.data(), mixLen, nullptr);
        benchmark::DoNotOptimize(mix.data());
        --queued;
    }
    state.SetBytesProcessed(state.iterations() * int64_t{frameBytes} * tracks);
    state.counters["ns_per_track"] = benchmark::Counter(
        static_cast<double>(tracks),
        benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

// Reference: copying the same input bytes once. Like the passes above, it
// walks through a batch of inputs, so both read memory of the same size.
void BM_MemcpyReference(benchmark::State& state) {
    const std::size_t frameBytes = static_cast<std::size_t>(state.range(0));
    const std::size_t tracks = static_cast<std::size_t>(state.range(1));
    const auto kBatch = static_cast<std::size_t>(BatchFor(state.range(0), state.range(1)));
    const std::size_t passBytes = frameBytes * tracks;
    std::vector<char> in(passBytes * kBatch, 3), out(passBytes);
    std::size_t batch = 0;
    for (auto _ : state) {
        std::memcpy(out.data(), in.data() + batch * passBytes, passBytes);
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
        batch = (batch + 1) % kBatch;
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(passBytes));
}

// Queuing one frame on each of `tracks` tracks, then draining them so the
// queues stay short.
void BM_AddFrame(benchmark::State& state) {
    const int frameBytes = static_cast<int>(state.range(0));
    const int tracks = static_cast<int>(state.range(1));
    const std::vector<char> frame = MakeFrame(frameBytes, 2);
    std::vector<char> master(frame.size()), mix(frame.size());
    CWaveMix wm;
    wm.Init(2);
    for (auto _ : state) {
        for (int t = 0; t < tracks; ++t) {
            wm.AddFrame(t, frame.data(), frameBytes, nullptr);
        }
        state.PauseTiming();
        int masterLen = frameBytes, mixLen = frameBytes;
        wm.GetMixedFrame(master.data(), masterLen, mix.data(), mixLen, nullptr);
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * tracks);
    state.SetBytesProcessed(state.iterations() * int64_t{frameBytes} * tracks);
}

// Frames for the conference passes: loud ones (a pattern over the whole
// 16-bit range, so that sums go far beyond full scale and a limiter works on
// every frame) or quiet ones (within +-1000, so that 100 of them stay below
// the limiter's ceiling).
std::vector<char> ConferenceFrame(int bytes, int seed, bool loud) {
    std::vector<char> frame = MakeFrame(bytes, seed);
    if (!loud) {
        for (int i = 0; i + 1 < bytes; i += 2) {
            const int v = ((i * 7 + seed * 131) % 2001) - 1000;
            frame[static_cast<std::size_t>(i)] = static_cast<char>(v & 0xff);
            frame[static_cast<std::size_t>(i) + 1] = static_cast<char>((v >> 8) & 0xff);
        }
    }
    return frame;
}

// One pass over `tracks` tracks of 16-bit frames, with the conference
// features chosen by the third argument:
//   0 plain mix, 1 plain mix with every gain at 0.5, 2 limiter,
//   3 mix-minus outputs, 4 mix-minus outputs and limiter
// and loud (1) or quiet (0) frames by the fourth. Frames are queued for a
// batch of passes at a time, outside the timing, as in BM_MixPass.
void BM_ConferencePass(benchmark::State& state) {
    const int frameBytes = static_cast<int>(state.range(0));
    const int tracks = static_cast<int>(state.range(1));
    const int mode = static_cast<int>(state.range(2));
    const bool loud = state.range(3) != 0;
    std::vector<std::vector<char>> frames;
    for (int t = 0; t < tracks; ++t) {
        frames.push_back(ConferenceFrame(frameBytes, t, loud));
    }
    std::vector<char> master(static_cast<std::size_t>(frameBytes));
    std::vector<char> mix(static_cast<std::size_t>(frameBytes));
    CWaveMix wm;
    wm.Init(2);
    _Carovel::LimiterSettings settings;
    settings.samplesPerSec = 48000;
    wm.SetLimiter(mode == 2 || mode == 4, settings);
    for (int t = 0; mode == 1 && t < tracks; ++t) {
        wm.SetTrackGain(t, 0.5f);
    }
    _Carovel::CMixMinusFrames minus;
    const bool withMinus = mode >= 3;
    const int kBatch = BatchFor(frameBytes, tracks);
    int queued = 0;
    for (auto _ : state) {
        if (queued == 0) {
            state.PauseTiming();
            for (int b = 0; b < kBatch; ++b) {
                for (int t = 0; t < tracks; ++t) {
                    wm.AddFrame(t, frames[static_cast<std::size_t>(t)].data(), frameBytes, nullptr);
                }
            }
            queued = kBatch;
            state.ResumeTiming();
        }
        int masterLen = frameBytes, mixLen = frameBytes;
        if (withMinus) {
            wm.GetMixedFrame(master.data(), masterLen, mix.data(), mixLen, nullptr, minus);
            benchmark::DoNotOptimize(minus.Data(tracks - 1));
        } else {
            wm.GetMixedFrame(master.data(), masterLen, mix.data(), mixLen, nullptr);
        }
        benchmark::DoNotOptimize(mix.data());
        --queued;
    }
    state.SetBytesProcessed(state.iterations() * int64_t{frameBytes} * tracks);
    state.counters["ns_per_track"] = benchmark::Counter(
        static_cast<double>(tracks),
        benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

void ConferenceArgs(benchmark::internal::Benchmark* b) {
    // 48 kHz mono 16-bit, 20 ms: 1920-byte frames; 100 and 16 sources.
    for (int tracks : {100, 16}) {
        for (int mode = 0; mode <= 4; ++mode) {
            for (int loud : {1, 0}) {
                if (loud == 0 && mode != 0 && mode != 2 && mode != 4) {
                    continue;  // quiet frames only matter to the limiter
                }
                b->Args({1920, tracks, mode, loud});
            }
        }
    }
    b->ArgNames({"frame_bytes", "tracks", "mode", "loud"});
}

void Sizes(benchmark::internal::Benchmark* b) {
    for (int frameBytes : {320, 3840}) {
        for (int tracks : {2, 16, 128, 1024}) {
            b->Args({frameBytes, tracks});
        }
    }
    b->ArgNames({"frame_bytes", "tracks"});
}

}  // namespace

BENCHMARK(BM_MixPass)->Apply(Sizes);
BENCHMARK(BM_MemcpyReference)->Apply(Sizes);
BENCHMARK(BM_AddFrame)->Apply(Sizes);
BENCHMARK(BM_ConferencePass)->Apply(ConferenceArgs);
