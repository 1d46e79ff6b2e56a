// Mixing pass and frame intake of the frame mixer.
#include <benchmark/benchmark.h>

#include <cstring>
#include <vector>

#include "carovel/wave_mix.h"

namespace {

using _Carovel::CWaveMix;

std::vector<char> MakeFrame(int bytes, int seed) {
    std::vector<char> frame(static_cast<std::size_t>(bytes));
    for (int i = 0; i < bytes; ++i) {
        frame[static_cast<std::size_t>(i)] = static_cast<char>((i * 7 + seed * 13) & 0xff);
    }
    return frame;
}

// One pass over `tracks` tracks, each holding one frame. Queuing the frames is
// excluded from the timing.
void BM_MixPass(benchmark::State& state) {
    const int frameBytes = static_cast<int>(state.range(0));
    const int tracks = static_cast<int>(state.range(1));
    const std::vector<char> frame = MakeFrame(frameBytes, 1);
    std::vector<char> master(frame.size()), mix(frame.size());
    CWaveMix wm;
    wm.Init(2);
    for (auto _ : state) {
        state.PauseTiming();
        for (int t = 0; t < tracks; ++t) {
            wm.AddFrame(t, frame.data(), frameBytes, nullptr);
        }
        state.ResumeTiming();
        int masterLen = frameBytes, mixLen = frameBytes;
        wm.GetMixedFrame(master.data(), masterLen, mix.data(), mixLen, nullptr);
        benchmark::DoNotOptimize(mix.data());
    }
    state.SetBytesProcessed(state.iterations() * int64_t{frameBytes} * tracks);
    state.counters["ns_per_track"] = benchmark::Counter(
        static_cast<double>(tracks),
        benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}

// Reference: copying the same input bytes once.
void BM_MemcpyReference(benchmark::State& state) {
    const std::size_t frameBytes = static_cast<std::size_t>(state.range(0));
    const std::size_t tracks = static_cast<std::size_t>(state.range(1));
    std::vector<char> in(frameBytes * tracks, 3), out(frameBytes * tracks);
    for (auto _ : state) {
        std::memcpy(out.data(), in.data(), in.size());
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(state.iterations() * static_cast<int64_t>(in.size()));
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
