// The mixer's speed against memcpy, through the public API only, each figure
// measured beside a memcpy reference of the same bytes in the same run (in
// pass, round and addframe the two sides alternate, and the ratio is the
// median of the per-repetition ratios):
//
//  pass      CWaveMix::GetMixedFrame over 16 sources of 3840-byte 16-bit
//            frames (48 kHz stereo, 20 ms), the frames queued for 64 passes
//            at a time outside the timing. Reference: the pass's 16 frames
//            (61,440 bytes, taken from a region as large as the queued
//            input, written just before) memcpy'd one by one into one
//            61,440-byte buffer.
//  round     1000 sources of a CMixer opened with OpenManual (48000 Hz mono
//            16-bit, 1920-byte frames), each fed one 20 ms block through
//            AddFrame, then MixPending(1). Reference: each block memcpy'd
//            into a slot of its own, then each slot memcpy'd into one
//            1920-byte mix buffer (the intake's copy, the pass's read and
//            the mix written, without the sums).
//  coldround round with the caches emptied before each side (a 96 MB buffer
//            written over), as a source's state and blocks are after a
//            frame period of other work: realtime's cost without its
//            sleeps and wake-ups, steady enough to compare two builds.
//  addframe  CMixer::AddFrame of whole 1920-byte frames in the mixing format
//            on one source (OpenManual), 64 at a time (--frames is rounded
//            up to whole batches), each batch then mixed away outside the
//            timing. Reference: memcpy of the frame into 64 slots.
//  realtime  1000 sources of a CMixer opened with Open (output thread),
//            48000 Hz mono 16-bit, 20 ms frames, fed one block each every
//            20 ms on an absolute schedule by a feeder thread; the whole
//            process's CPU time per second of wall time. Reference, run
//            before it for as long: the same feeder doing the round's
//            memcpy reference on the same schedule, with no mixer open.
//
//   carovel_memory_speed [--mode all|pass|round|coldround|addframe|realtime]
//                        [--reps 200] [--frames 20000] [--seconds 10]
//
// bench/memory-speed-instructions.sh counts the instructions of the same
// units under callgrind. Results and commands: bench/README.md.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "carovel/mixer.h"
#include "carovel/wave_mix.h"
#include "measure.h"

using _Carovel::CMixer;
using _Carovel::CWaveMix;
using Blocks = std::vector<std::vector<char>>;

namespace {
constexpr int kPassSources = 16;
constexpr int kPassFrameBytes = 3840;  // 48 kHz stereo 16-bit, 20 ms
constexpr int kBatch = 64;             // passes (or AddFrames) queued at a time
constexpr int kSources = 1000;
constexpr unsigned short kRate = 48000;
constexpr unsigned short kFrameBytes = 1920;  // 48 kHz mono 16-bit, 20 ms
}  // namespace

// The timed units, out of line so that callgrind can count them by name.
namespace memory_speed {

// The memcpy reference of one AddFrame.
[[gnu::noinline]] void Copy(char* out, const char* in, std::size_t bytes) {
    std::memcpy(out, in, bytes);
}

// The memcpy reference of a pass: its frames, one memcpy each, side by side
// into one buffer.
[[gnu::noinline]] void CopyPass(char* out, const char* in, std::size_t frames,
                                std::size_t frameBytes) {
    for (std::size_t i = 0; i < frames; ++i) {
        std::memcpy(out + i * frameBytes, in + i * frameBytes, frameBytes);
    }
}

// One round: every source's block through AddFrame, source 0 last so that
// the pass finds every other frame, then one pass. Returns the passes run.
[[gnu::noinline]] int MixerRound(CMixer& mixer, const Blocks& blocks) {
    for (std::size_t i = blocks.size(); i-- > 0;) {
        mixer.AddFrame(static_cast<long>(i), blocks[i].data(), static_cast<int>(blocks[i].size()),
                       1, kRate, 16, nullptr);
    }
    return mixer.MixPending(1);
}

// The round's memcpy reference: every block into its own slot, then every
// slot into the one mix buffer.
[[gnu::noinline]] void CopyRound(char* slots, char* mix, const Blocks& blocks) {
    const std::size_t bytes = blocks[0].size();
    for (std::size_t i = 0; i < blocks.size(); ++i) {
        std::memcpy(slots + i * bytes, blocks[i].data(), bytes);
    }
    for (std::size_t i = 0; i < blocks.size(); ++i) {
        std::memcpy(mix, slots + i * bytes, bytes);
    }
}

}  // namespace memory_speed

namespace {

using Clock = std::chrono::steady_clock;

volatile unsigned g_sink;  // keeps the outputs alive

// Writes over a buffer larger than the caches, so that what comes next finds
// nothing of its own there.
void EmptyCaches() {
    static std::vector<char> junk(std::size_t{96} << 20);
    for (std::size_t i = 0; i < junk.size(); i += 64) {
        junk[i] = static_cast<char>(junk[i] + 1);
    }
    g_sink = g_sink + static_cast<unsigned char>(junk[64]);
}

double Since(Clock::time_point t0) {
    return std::chrono::duration<double>(Clock::now() - t0).count();
}

// One source's 20 ms block; each source gets its own tone.
std::vector<char> Block(int source, unsigned channels) {
    return carovel_bench::Sine16(kRate / 50, channels, (200.0 + 10.0 * (source % 100)) / kRate,
                                 300);
}

struct Counter {
    std::atomic<long> calls{0};
    static void Callback(char*, unsigned, char* mix, unsigned mixLen, void* user, void*) {
        if (mixLen > 0) {
            g_sink = g_sink + static_cast<unsigned char>(mix[0]);
        }
        static_cast<Counter*>(user)->calls.fetch_add(1, std::memory_order_release);
    }
};

// Seconds per unit of the mixer and of its reference, one pair per
// repetition.
struct Sides {
    std::vector<double> mixer, copy;
    double Mixer() const { return carovel_bench::Quantile(mixer, 0.5); }
    double Copy() const { return carovel_bench::Quantile(copy, 0.5); }
    // Median over the repetitions of mixer time / reference time (the
    // mixer's cost in memcpys), or of its inverse (its speed against memcpy).
    double Ratio(bool speed = false) const {
        std::vector<double> r;
        for (std::size_t i = 0; i < mixer.size(); ++i) {
            r.push_back(speed ? copy[i] / mixer[i] : mixer[i] / copy[i]);
        }
        return carovel_bench::Quantile(r, 0.5);
    }
};

// Runs both sides reps times (after one repetition not counted), the
// mixer's first on even repetitions and the reference's first on odd ones.
template <typename MixerSide, typename CopySide>
Sides Alternate(int reps, MixerSide mixerSide, CopySide copySide) {
    Sides s;
    for (int rep = -1; rep < reps; ++rep) {
        double m = 0, c = 0;
        if (rep % 2 == 0) {
            m = mixerSide();
            c = copySide();
        } else {
            c = copySide();
            m = mixerSide();
        }
        if (rep >= 0) {
            s.mixer.push_back(m);
            s.copy.push_back(c);
        }
    }
    return s;
}

void Row(const char* name, const char* mixer, const char* copy, double ratio, const char* target) {
    std::printf("%-36s %16s %16s %8.3f  %s\n", name, mixer, copy, ratio, target);
    std::fflush(stdout);
}

void PlainPass(int reps) {
    Blocks frames;
    for (int t = 0; t < kPassSources; ++t) {
        frames.push_back(Block(t, 2));
    }
    CWaveMix wm;
    wm.Init(2);
    std::vector<char> master(kPassFrameBytes), mix(kPassFrameBytes);
    const std::size_t passBytes = std::size_t{kPassSources} * kPassFrameBytes;
    std::vector<char> in(passBytes * kBatch), out(passBytes);
    const Sides s = Alternate(
        reps,
        [&] {
            for (int b = 0; b < kBatch; ++b) {
                for (int t = 0; t < kPassSources; ++t) {
                    wm.AddFrame(t, frames[static_cast<std::size_t>(t)].data(), kPassFrameBytes,
                                nullptr);
                }
            }
            const auto t0 = Clock::now();
            for (int b = 0; b < kBatch; ++b) {
                int masterLen = kPassFrameBytes, mixLen = kPassFrameBytes;
                wm.GetMixedFrame(master.data(), masterLen, mix.data(), mixLen, nullptr);
            }
            const double seconds = Since(t0) / kBatch;
            g_sink = g_sink + static_cast<unsigned char>(mix[7]);
            return seconds;
        },
        [&] {
            for (std::size_t i = 0; i < in.size(); i += kPassFrameBytes) {
                std::memcpy(&in[i], frames[i / kPassFrameBytes % kPassSources].data(),
                            kPassFrameBytes);
            }
            const auto t0 = Clock::now();
            for (int b = 0; b < kBatch; ++b) {
                memory_speed::CopyPass(out.data(), &in[b * passBytes], kPassSources,
                                       kPassFrameBytes);
            }
            const double seconds = Since(t0) / kBatch;
            g_sink = g_sink + static_cast<unsigned char>(out[7]);
            return seconds;
        });
    char m[32], c[32];
    std::snprintf(m, sizeof m, "%.2f GB/s", passBytes / s.Mixer() * 1e-9);
    std::snprintf(c, sizeof c, "%.2f GB/s", passBytes / s.Copy() * 1e-9);
    Row("a) pass, 16 x 3840 B (input read)", m, c, s.Ratio(true), "memcpy's speed; >= 0.8");
}

void IntakeAndPass(int reps, bool cold) {
    Blocks blocks;
    for (int i = 0; i < kSources; ++i) {
        blocks.push_back(Block(i, 1));
    }
    Counter counter;
    CMixer mixer;
    if (!mixer.OpenManual(1, kRate, 16, kFrameBytes, &Counter::Callback, &counter)) {
        std::fprintf(stderr, "OpenManual failed\n");
        std::exit(1);
    }
    // A first round outside the units, so that the counted rounds find every
    // source made.
    for (int i = kSources - 1; i >= 0; --i) {
        mixer.AddFrame(i, blocks[static_cast<std::size_t>(i)].data(), kFrameBytes, 1, kRate, 16,
                       nullptr);
    }
    mixer.MixPending(1);
    std::vector<char> slots(std::size_t{kSources} * kFrameBytes), mix(kFrameBytes);
    int passes = 0;
    const Sides s = Alternate(
        reps,
        [&] {
            if (cold) {
                EmptyCaches();
            }
            const auto t0 = Clock::now();
            passes += memory_speed::MixerRound(mixer, blocks);
            return Since(t0);
        },
        [&] {
            if (cold) {
                EmptyCaches();
            }
            const auto t0 = Clock::now();
            memory_speed::CopyRound(slots.data(), mix.data(), blocks);
            const double seconds = Since(t0);
            g_sink = g_sink + static_cast<unsigned char>(mix[7] + slots[7]);
            return seconds;
        });
    mixer.Close();
    if (passes != reps + 1) {
        std::fprintf(stderr, "round: %d passes for %d rounds\n", passes, reps + 1);
        std::exit(1);
    }
    char m[32], c[32];
    std::snprintf(m, sizeof m, "%.1f us", s.Mixer() * 1e6);
    std::snprintf(c, sizeof c, "%.1f us", s.Copy() * 1e6);
    Row(cold ? "b') round, caches emptied first" : "b) round, 1000 x 1920 B", m, c, s.Ratio(),
        cold ? "x memcpy" : "x memcpy; <= 3");
}

void AddFrames(long frames) {
    const std::vector<char> block = Block(0, 1);
    Counter counter;
    CMixer mixer;
    if (!mixer.OpenManual(1, kRate, 16, kFrameBytes, &Counter::Callback, &counter)) {
        std::fprintf(stderr, "OpenManual failed\n");
        std::exit(1);
    }
    std::vector<char> slots(std::size_t{kBatch} * kFrameBytes);
    // Whole batches, the first one not counted.
    const int reps = static_cast<int>(std::max(1L, (frames + kBatch - 1) / kBatch - 1));
    const Sides s = Alternate(
        reps,
        [&] {
            const auto t0 = Clock::now();
            for (int k = 0; k < kBatch; ++k) {
                mixer.AddFrame(0, block.data(), kFrameBytes, 1, kRate, 16, nullptr);
            }
            const double seconds = Since(t0) / kBatch;
            if (mixer.MixPending(kBatch) != kBatch) {
                std::fprintf(stderr, "addframe: fewer passes than frames\n");
                std::exit(1);
            }
            return seconds;
        },
        [&] {
            const auto t0 = Clock::now();
            for (int k = 0; k < kBatch; ++k) {
                memory_speed::Copy(&slots[std::size_t{kFrameBytes} * k], block.data(), kFrameBytes);
            }
            const double seconds = Since(t0) / kBatch;
            g_sink = g_sink + static_cast<unsigned char>(slots[7]);
            return seconds;
        });
    mixer.Close();
    char m[32], c[32];
    std::snprintf(m, sizeof m, "%.0f ns", s.Mixer() * 1e9);
    std::snprintf(c, sizeof c, "%.0f ns", s.Copy() * 1e9);
    Row("c) AddFrame, 1920 B frame", m, c, s.Ratio(), "x memcpy (instructions: script)");
}

// CPU time over a run of feed() every 20 ms on an absolute schedule, from a
// thread of its own, until done() or ten periods after the last feed.
struct Load {
    double cpu = 0, feederCpu = 0, wall = 0;
};

template <typename Feed, typename Done>
Load OnSchedule(long rounds, Feed feed, Done done) {
    const auto period = std::chrono::milliseconds(20);
    Load load;
    const double cpu0 = carovel_bench::ProcessCpuSeconds();
    const auto start = Clock::now();
    std::thread feeder([&] {
        const double own0 = carovel_bench::ThreadCpuSeconds();
        for (long r = 0; r < rounds; ++r) {
            std::this_thread::sleep_until(start + r * period);
            feed();
        }
        load.feederCpu = carovel_bench::ThreadCpuSeconds() - own0;
    });
    feeder.join();
    // The last round's pass comes at most a period or two later.
    std::this_thread::sleep_until(start + (rounds + 1) * period);
    while (!done() && Clock::now() < start + (rounds + 10) * period) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    load.wall = Since(start);
    load.cpu = carovel_bench::ProcessCpuSeconds() - cpu0;
    return load;
}

// The reference first (the same schedule, the blocks memcpy'd as in a
// round, no mixer open), then the mixer.
void Realtime(int seconds) {
    Blocks blocks;
    for (int i = 0; i < kSources; ++i) {
        blocks.push_back(Block(i, 1));
    }
    const long rounds = 50L * seconds;
    std::vector<char> slots(std::size_t{kSources} * kFrameBytes), mix(kFrameBytes);
    const Load copy = OnSchedule(
        rounds, [&] { memory_speed::CopyRound(slots.data(), mix.data(), blocks); },
        [] { return true; });
    g_sink = g_sink + static_cast<unsigned char>(mix[7] + slots[7]);
    Counter counter;
    CMixer mixer;
    if (!mixer.Open(1, kRate, 16, kFrameBytes, &Counter::Callback, &counter)) {
        std::fprintf(stderr, "Open failed\n");
        std::exit(1);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));  // let the thread settle
    const Load load = OnSchedule(
        rounds,
        [&] {
            for (int i = kSources - 1; i >= 0; --i) {
                const std::vector<char>& b = blocks[static_cast<std::size_t>(i)];
                mixer.AddFrame(i, b.data(), static_cast<int>(b.size()), 1, kRate, 16, nullptr);
            }
        },
        [&] { return counter.calls.load(std::memory_order_acquire) >= rounds; });
    const long passes = counter.calls.load(std::memory_order_acquire);
    mixer.Close();
    char m[32], c[32];
    std::snprintf(m, sizeof m, "%.2f%% core", 100 * load.cpu / load.wall);
    std::snprintf(c, sizeof c, "%.2f%% core", 100 * copy.cpu / copy.wall);
    Row("d) real time, 1000 x 1920 B, Open", m, c, (load.cpu / load.wall) / (copy.cpu / copy.wall),
        "x memcpy; carovel <= 3% core");
    std::printf(
        "   process CPU per wall second; feeder thread %.2f%% (memcpy %.2f%%); %.3f s CPU "
        "in %.3f s; %ld rounds fed, %ld passes\n",
        100 * load.feederCpu / load.wall, 100 * copy.feederCpu / copy.wall, load.cpu, load.wall,
        rounds, passes);
}

const char* Text(int argc, char** argv, const char* name, const char* fallback) {
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::strcmp(argv[i], name) == 0) {
            return argv[i + 1];
        }
    }
    return fallback;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = Text(argc, argv, "--mode", "all");
    const int reps = static_cast<int>(carovel_bench::Option(argc, argv, "--reps", 200));
    const long frames = static_cast<long>(carovel_bench::Option(argc, argv, "--frames", 20000));
    const int seconds = static_cast<int>(carovel_bench::Option(argc, argv, "--seconds", 10));
    const bool all = mode == "all";
    if (!all && mode != "pass" && mode != "round" && mode != "coldround" && mode != "addframe" &&
        mode != "realtime") {
        std::fprintf(stderr, "--mode all|pass|round|coldround|addframe|realtime\n");
        return 2;
    }
    std::printf("%-36s %16s %16s %8s  %s\n", "figure", "carovel", "memcpy", "ratio", "ratio is");
    if (all || mode == "pass") {
        PlainPass(reps);
    }
    if (all || mode == "round") {
        IntakeAndPass(reps, false);
    }
    if (all || mode == "coldround") {
        IntakeAndPass(std::max(reps / 4, 1), true);
    }
    if (all || mode == "addframe") {
        AddFrames(frames);
    }
    if (all || mode == "realtime") {
        Realtime(seconds);
    }
    return 0;
}
