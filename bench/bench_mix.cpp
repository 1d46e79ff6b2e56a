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
