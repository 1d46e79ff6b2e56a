// Live mode over a simulated hour: the output loop of live mode
// (RunPasses with LivePasses), the engine and the sources' intakes, as
// the mixer runs them, on a simulated clock instead of real time, so an hour
// takes seconds and every run gives the same figures.
//
// Drift (the default): the mixing format is 48000 Hz mono 16-bit with 20 ms
// frames. The master (source 0) sends silence in 20 ms blocks on the timer's
// clock (or --master-drift-ppm off it); source 1 sends a 1 kHz sine at -6
// dBFS in 20 ms blocks of its own clock, which runs --drift-ppm fast. Every
// pass's callback records source 1's backlog (queued frames and staged bytes
// after the pass), whether it had a frame, and the mix (which is source 1
// alone, the master being silent). Once a simulated minute it prints the
// backlog's range and the trim; the last line sums up from 30 s on:
//
//   live: drift_ppm=+1000 minutes=60 backlog_ms_max_after_settle=...
//         dropouts_after_settle=... trim_ppm=... tone_snr_db=...
//
// backlog_ms_max_after_settle is the largest backlog after a pass;
// dropouts_after_settle counts passes without a frame of source 1; trim_ppm
// is its trim at the end; tone_snr_db is the worst one-second block of the
// mix against an ideal sine of the trimmed frequency: the sine's phase
// advances, sample by sample, by the ratio the resampler was set to when it
// made the sample, and each block's amplitude, phase and offset are fitted by
// least squares; the residual is the noise.
//
// The same world with an 8 kHz mixing format (20 ms frames) runs next, for
// its tone's SNR only: tone_snr_db_8k on the last line.
//
// Disturbances: --stall-ms N makes one callback 60 s in take N ms;
// --slow-ms M --slow-seconds S makes the callbacks take M ms for S seconds
// (after the stall, or from 60 s on). The line then adds
// backlog_ms_2s_after_stall: the backlog 2 s after the disturbance ended.
// --burst-ms N holds source 1's blocks due in the N ms from 60 s on back and
// delivers them at once (a network burst); --master-gap-ms N has the master
// send nothing for N ms from 60 s on. Both print a line
//
//   recovery: burst_ms=120 recovery_s=... discontinuities=... ...
//
// recovery_s is the time from the burst's delivery (the master's return)
// until source 1's backlog after every pass stays within one frame of the
// target; discontinuities counts the passes whose mix (source 1's tone
// alone) steps: a second difference beyond twice what a sine of the highest
// trimmed pitch can have. The summary line counts them for the whole run
// from 30 s on; the dropouts of a burst and the restart after them (from
// the hold until target + 60 ms after the delivery) are not counted.
//
// Memory: --silent-master gives a master that never sends anything and
// --sources N sources of 48000 Hz stereo 16-bit sine fed in real time for
// --minutes; it prints the heap in use once a minute and a last line
//   live-memory: live=1 sources=8 minutes=10 ... heap_mib_max=... ...
// With the default master time-out the sources are mixed without the master;
// --master-timeout-ms 3600000 keeps every pass waiting for it, so that only
// the ceiling bounds the queues. --live-off runs the same without live mode
// (mind the memory it takes: about 88 MiB a minute for 8 sources). In the
// drift runs --live-off shows the queued mode: no trim, no catch-up, no
// ceiling.
//
//   carovel_live [--drift-ppm N] [--minutes N] [--target-ms N] [--max-ms N]
//                [--stall-ms N] [--slow-ms N --slow-seconds N]
//                [--burst-ms N] [--master-gap-ms N]
//                [--master-drift-ppm N] [--jitter-ms N] [--live-off]
//   carovel_live --silent-master [--sources N] [--minutes N] [--max-ms N]
//                [--master-timeout-ms N] [--live-off]
#include <malloc.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <string>
#include <vector>

#include "live_world.h"
#include "measure.h"

namespace {

using namespace _Carovel;
using carovel_live::Feeder;
using carovel_live::kPi;
using carovel_live::World;

constexpr std::uint64_t kSettleUs = 30'000'000;

std::size_t HeapInUse() {
    return mallinfo2().uordblks;
}

// Which resampling ratio made which output samples of the tone source.
struct RatioSegment {
    std::uint64_t fromSample;
    double ratio;  // source samples per output sample
};

// Least-squares fit of y = a sin(phi) + b cos(phi) + c over one block.
class ToneFit {
  public:
    void Add(double y, double phi) {
        const double x[3] = {std::sin(phi), std::cos(phi), 1.0};
        for (int i = 0; i < 3; ++i) {
            for (int j = 0; j < 3; ++j) {
                xx_[i][j] += x[i] * x[j];
            }
            xy_[i] += x[i] * y;
        }
        yy_ += y * y;
        ++n_;
    }
    std::size_t Count() const { return n_; }
    // The fitted sine's energy and the residual's.
    void Result(double& signal, double& residual) const {
        double a[3][4];
        for (int i = 0; i < 3; ++i) {
            for (int j = 0; j < 3; ++j) {
                a[i][j] = xx_[i][j];
            }
            a[i][3] = xy_[i];
        }
        for (int col = 0; col < 3; ++col) {
            int pivot = col;
            for (int r = col + 1; r < 3; ++r) {
                if (std::fabs(a[r][col]) > std::fabs(a[pivot][col])) {
                    pivot = r;
                }
            }
            for (int k = 0; k < 4; ++k) {
                std::swap(a[col][k], a[pivot][k]);
            }
            for (int r = 0; r < 3; ++r) {
                if (r != col && a[col][col] != 0.0) {
                    const double f = a[r][col] / a[col][col];
                    for (int k = col; k < 4; ++k) {
                        a[r][k] -= f * a[col][k];
                    }
                }
            }
        }
        double coef[3];
        double explained = 0.0;
        for (int i = 0; i < 3; ++i) {
            coef[i] = a[i][i] != 0.0 ? a[i][3] / a[i][i] : 0.0;
            explained += coef[i] * xy_[i];
        }
        residual = std::max(yy_ - explained, 0.0);
        signal = (coef[0] * coef[0] + coef[1] * coef[1]) / 2.0 * static_cast<double>(n_);
    }

  private:
    double xx_[3][3] = {};
    double xy_[3] = {};
    double yy_ = 0.0;
    std::size_t n_ = 0;
};

struct Options {
    double driftPpm = 1000;
    double minutes = 60;
    unsigned targetMs = 40;
    unsigned maxMs = 400;
    double stallMs = 0;
    double slowMs = 0;
    double slowSeconds = 0;
    double masterDriftPpm = 0;
    double jitterMs = 0;
    unsigned masterTimeoutMs = 0;
    bool silentMaster = false;
    bool liveOff = false;
    int sources = 8;
    double burstMs = 0;
    double masterGapMs = 0;
};

LiveSettings SettingsOf(const Options& o) {
    return o.liveOff ? LiveSettings{} : LiveSettings{o.targetMs, o.maxMs, o.masterTimeoutMs};
}

// ---- Drift ----

struct DriftRun {
    Options opt;
    unsigned rate = 48000;
    std::uint64_t frameSamples = 960;
    // The current simulated minute.
    double minuteMin = 1e9, minuteMax = -1e9;
    std::uint64_t minuteDropouts = 0;
    int nextMinute = 1;
    // From the settle time on, outside a disturbance and the 2 s after it.
    double maxAfterSettle = -1e9, minAfterSettle = 1e9;
    std::uint64_t dropoutsAfterSettle = 0;
    std::int64_t maxTrimDeviation = 0;
    // Disturbances: when they start and end, the backlogs 2 s after.
    std::uint64_t disturbFromUs = 60'000'000;
    std::uint64_t disturbToUs = 0;
    bool stalled = false;
    double after2s = -1.0;
    double after2sMaster = -1.0;
    double maxInThirdSecond = -1e9;
    // The tone: the ratios that made its samples, the ideal phase, the
    // current one-second block and the results.
    std::deque<RatioSegment> segments;
    std::uint64_t lastMade = 0;
    double phase = 0.0;
    std::uint64_t phaseSample = 0;
    bool phaseStarted = false;
    ToneFit block;
    double worstSnr = 1e9;
    double signalSum = 0.0, residualSum = 0.0;
    std::uint64_t blocks = 0;
    // A burst (source 1's blocks held back) or a master gap: when it ends,
    // the last pass after it that left source 1 more than a frame off the
    // target, and the largest trim after it.
    std::uint64_t eventUs = 0;
    std::uint64_t lastOffTargetUs = 0;
    std::int32_t maxTrimAfterEvent = 0;
    // Steps in the tone: passes whose mix (source 1 alone) has a second
    // difference beyond what a sine of the trimmed pitch can have; none are
    // counted in [skipFromUs, skipToUs) (the dropouts of a burst and the
    // restart after them).
    std::uint64_t skipFromUs = 0, skipToUs = 0;
    double prev1 = 0.0, prev2 = 0.0;
    int known = 0;
    std::uint64_t discontinuities = 0;

    bool Disturbed(std::uint64_t now) const {
        return disturbToUs != 0 && now >= disturbFromUs && now < disturbToUs + 2'000'000;
    }
};

// After each block of the tone source: the samples its intake made since the
// last one were made at the ratio its resampler is set to now.
void AfterToneFeed(DriftRun& r, World& w, Feeder& f) {
    carovel_live::SourceState view;
    if (f.id != 1 || !w.View(1, view)) {
        return;
    }
    const std::uint64_t made =
        (view.record.framesPushed * w.Live().frameBytes + view.record.intake.stagedBytes) /
        w.Live().mixFormat.BlockAlign();
    const double ratio = f.intake->ResampleRatio();
    if (r.segments.empty() || r.segments.back().ratio != ratio) {
        r.segments.push_back({r.lastMade, ratio});
    }
    r.lastMade = made;
}

// Adds the mixed frame (source 1 alone) to the tone's fit.
void AddToneFrame(DriftRun& r, const carovel_live::SourceState& view, const char* mix) {
    // Frames leave the queue in order, mixed or cut.
    const std::uint64_t frame = view.record.framesMixed - 1 + view.record.framesCut;
    const std::uint64_t first = frame * r.frameSamples;
    if (!r.phaseStarted || r.phaseSample != first) {
        r.phaseStarted = true;  // (re)start after a gap: a new block
        r.phase = 0.0;
        r.block = ToneFit();
    }
    const double step = 2 * kPi * 1000.0 / r.rate;
    const auto* bytes = reinterpret_cast<const unsigned char*>(mix);
    for (std::uint64_t i = 0; i < r.frameSamples; ++i) {
        while (r.segments.size() > 1 && r.segments[1].fromSample <= first + i) {
            r.segments.pop_front();
        }
        const double ratio = r.segments.empty() ? 1.0 : r.segments.front().ratio;
        r.phase = std::fmod(r.phase + step * ratio, 2 * kPi);
        const double y = static_cast<std::int16_t>(bytes[2 * i] | (bytes[2 * i + 1] << 8));
        r.block.Add(y, r.phase);
    }
    r.phaseSample = first + r.frameSamples;
    if (r.block.Count() >= r.rate) {
        double signal = 0, residual = 0;
        r.block.Result(signal, residual);
        r.worstSnr = std::min(r.worstSnr, 10 * std::log10(signal / std::max(residual, 1e-9)));
        r.signalSum += signal;
        r.residualSum += residual;
        ++r.blocks;
        r.block = ToneFit();
    }
}

// Counts the steps in source 1's tone (the mix) of one pass.
void CountSteps(DriftRun& r, std::uint64_t now, bool took, const char* mix, unsigned mixLen) {
    if (!took || now < kSettleUs || (now >= r.skipFromUs && now < r.skipToUs)) {
        r.known = 0;
        return;
    }
    // The sine's second difference is at most A w^2, w its step in radians
    // at the highest pitch a trim gives (the drift and the recovery's trim
    // up to 6.2 %); twice that, and the rounding, is a step.
    const double w = 2 * kPi * 1000.0 / r.rate * (1.0 + std::fabs(r.opt.driftPpm) * 1e-6 + 0.062);
    const double limit = 2.0 * 16384.0 * w * w + 4.0;
    const auto* bytes = reinterpret_cast<const unsigned char*>(mix);
    bool stepped = false;
    for (unsigned i = 0; i + 1 < mixLen; i += 2) {
        const double y = static_cast<std::int16_t>(bytes[i] | (bytes[i + 1] << 8));
        if (r.known >= 2 && std::fabs(y - 2 * r.prev1 + r.prev2) > limit) {
            stepped = true;
        }
        r.prev2 = r.prev1;
        r.prev1 = y;
        r.known = std::min(r.known + 1, 2);
    }
    if (stepped) {
        ++r.discontinuities;
    }
}

void OnDriftPass(DriftRun& r, World& w, const char* mix, unsigned mixLen) {
    const std::uint64_t now = w.NowUs();
    carovel_live::SourceState view;
    w.View(1, view);
    const bool took = view.record.tookLastPass;
    const double backlog = w.QueuedMs(1);
    CountSteps(r, now, took && mixLen > 0, mix, mixLen);
    if (r.eventUs != 0 && now >= r.eventUs) {
        if (std::fabs(backlog - r.opt.targetMs) > w.Live().frameMs) {
            r.lastOffTargetUs = now;
        }
        r.maxTrimAfterEvent = std::max(r.maxTrimAfterEvent, view.record.trimPpm);
    }
    const bool settled = now >= kSettleUs;
    r.minuteMin = std::min(r.minuteMin, backlog);
    r.minuteMax = std::max(r.minuteMax, backlog);
    if (!took && view.record.framesMixed > 0) {
        ++r.minuteDropouts;
    }
    if (settled && !r.Disturbed(now)) {
        r.maxAfterSettle = std::max(r.maxAfterSettle, backlog);
        r.minAfterSettle = std::min(r.minAfterSettle, backlog);
        if (!took) {
            ++r.dropoutsAfterSettle;
        }
        r.maxTrimDeviation = std::max<std::int64_t>(
            r.maxTrimDeviation,
            std::llabs(static_cast<long long>(view.record.trimPpm) - std::llround(r.opt.driftPpm)));
    }
    if (r.disturbToUs != 0 && now >= r.disturbToUs + 2'000'000) {
        if (r.after2s < 0) {
            r.after2s = backlog;
            r.after2sMaster = w.QueuedMs(0);
        }
        if (now < r.disturbToUs + 3'000'000) {
            r.maxInThirdSecond = std::max(r.maxInThirdSecond, backlog);
        }
    }
    // A recovery's trims change faster than the tone's model of them
    // follows: the tone is fitted from 5 s after a burst or gap.
    const bool recovering = r.eventUs != 0 && now >= r.disturbFromUs && now < r.eventUs + 5'000'000;
    if (took && mixLen > 0 && settled && !r.Disturbed(now) && !recovering) {
        AddToneFrame(r, view, mix);
    } else if (took) {
        const std::uint64_t next =
            (view.record.framesMixed + view.record.framesCut) * r.frameSamples;
        while (r.segments.size() > 1 && r.segments[1].fromSample <= next) {
            r.segments.pop_front();
        }
        r.phaseStarted = false;
    }

    // The disturbances: the callback takes longer, which the simulated
    // clock shows as time passing while the feeds go on.
    if (r.opt.stallMs > 0 && !r.stalled && now >= r.disturbFromUs) {
        r.stalled = true;
        w.AdvanceTo(now + static_cast<std::uint64_t>(r.opt.stallMs * 1000));
        r.disturbToUs = w.NowUs();
    }
    if (r.opt.slowMs > 0 && r.opt.slowSeconds > 0) {
        const std::uint64_t from =
            r.disturbFromUs + static_cast<std::uint64_t>(std::max(r.opt.stallMs, 0.0) * 1000);
        const std::uint64_t to = from + static_cast<std::uint64_t>(r.opt.slowSeconds * 1e6);
        if (w.NowUs() >= from && w.NowUs() < to) {
            w.AdvanceTo(w.NowUs() + static_cast<std::uint64_t>(r.opt.slowMs * 1000));
            r.disturbToUs = std::max(r.disturbToUs, w.NowUs());
        }
    }

    if (now >= static_cast<std::uint64_t>(r.nextMinute) * 60'000'000u) {
        std::printf("t=%3d min backlog_ms=%.1f..%.1f trim_ppm=%+d dropouts=%llu cut=%llu\n",
                    r.nextMinute, r.minuteMin, r.minuteMax, view.record.trimPpm,
                    static_cast<unsigned long long>(r.minuteDropouts),
                    static_cast<unsigned long long>(view.record.framesCut));
        std::fflush(stdout);
        r.minuteMin = 1e9;
        r.minuteMax = -1e9;
        r.minuteDropouts = 0;
        ++r.nextMinute;
    }
}

struct DriftResult {
    double maxAfterSettle = 0;
    std::uint64_t dropoutsAfterSettle = 0;
    std::int32_t trimPpm = 0;
    double worstSnr = 0;
    std::string disturbance;
};

DriftResult RunDrift(const Options& o, unsigned rate, bool print) {
    const PcmFormat format{1, rate, 16};
    const std::size_t frameBytes = rate / 50 * 2;
    World w(SettingsOf(o), format, frameBytes, static_cast<std::uint64_t>(o.minutes * 60e6));
    DriftRun run;
    run.opt = o;
    run.rate = rate;
    run.frameSamples = rate / 50;
    if (!print) {
        run.nextMinute = 1 << 30;
    }
    w.SetJitterMs(o.jitterMs);
    w.onPass = [&run](World& world, const char*, unsigned, const char* mix, unsigned mixLen,
                      void*) { OnDriftPass(run, world, mix, mixLen); };
    w.afterFeed = [&run](World& world, Feeder& f) { AfterToneFeed(run, world, f); };
    Feeder& master = w.AddFeeder(0, format, 20.0, o.masterDriftPpm, 0.0, 0.0);
    Feeder& tone = w.AddFeeder(1, format, 20.0, o.driftPpm, 1000.0, 16384.0);
    if (o.burstMs > 0) {
        // Source 1's blocks of burstMs from 60 s on arrive at once.
        tone.holdUs = run.disturbFromUs;
        tone.releaseUs = run.disturbFromUs + static_cast<std::uint64_t>(o.burstMs * 1000);
        run.disturbToUs = run.eventUs = tone.releaseUs;
        // Its dropouts, and the restart at the target after them.
        run.skipFromUs = tone.holdUs;
        run.skipToUs = tone.releaseUs + static_cast<std::uint64_t>(o.targetMs + 60) * 1000;
    }
    if (o.masterGapMs > 0) {
        // The master sends nothing for masterGapMs from 60 s on.
        master.pauseUs = run.disturbFromUs;
        master.resumeUs = run.disturbFromUs + static_cast<std::uint64_t>(o.masterGapMs * 1000);
        run.disturbToUs = run.eventUs = master.resumeUs;
    }
    w.Run();

    carovel_live::SourceState view;
    w.View(1, view);
    if (run.block.Count() > 0) {
        // The last, partial block counts in the sum, not in the worst.
        double signal = 0, residual = 0;
        run.block.Result(signal, residual);
        run.signalSum += signal;
        run.residualSum += residual;
    }
    const DriftControl* control = w.Passes()->Control(1);
    DriftResult result;
    result.maxAfterSettle = run.maxAfterSettle;
    result.dropoutsAfterSettle = run.dropoutsAfterSettle;
    result.trimPpm = view.record.trimPpm;
    result.worstSnr = run.worstSnr;
    if (!print) {
        return result;
    }
    std::printf(
        "summary: backlog_ms_after_settle=%.1f..%.1f max_abs_trim_minus_drift_ppm=%lld "
        "drift_estimate_ppm=%.1f tone_snr_db_overall=%.1f one_second_blocks=%llu cut=%llu "
        "catch_up_passes=%llu discontinuities=%llu shed_ms=%.1f live_control_us_per_pass=%.2f "
        "trim_us_per_pass=%.2f\n",
        run.minAfterSettle, run.maxAfterSettle, static_cast<long long>(run.maxTrimDeviation),
        control != nullptr ? control->DriftPpm() : 0.0,
        10 * std::log10(run.signalSum / std::max(run.residualSum, 1e-9)),
        static_cast<unsigned long long>(run.blocks),
        static_cast<unsigned long long>(view.record.framesCut),
        static_cast<unsigned long long>(w.Live().catchUpPasses.load()),
        static_cast<unsigned long long>(run.discontinuities),
        static_cast<double>(tone.intake->ShedBlocks()) * 1000.0 / rate,
        static_cast<double>(w.Live().controlNs.load()) / 1e3 /
            static_cast<double>(std::max<std::uint64_t>(w.Live().controlPasses.load(), 1)),
        static_cast<double>(w.Live().trimNs.load()) / 1e3 /
            static_cast<double>(std::max<std::uint64_t>(w.Live().controlPasses.load(), 1)));
    if (run.eventUs != 0) {
        const double recovery = run.lastOffTargetUs > run.eventUs
                                    ? static_cast<double>(run.lastOffTargetUs - run.eventUs) / 1e6
                                    : 0.0;
        std::printf(
            "recovery: %s=%g recovery_s=%.2f discontinuities=%llu max_trim_ppm=%+d "
            "shed_ms=%.1f\n",
            o.burstMs > 0 ? "burst_ms" : "master_gap_ms", o.burstMs > 0 ? o.burstMs : o.masterGapMs,
            recovery, static_cast<unsigned long long>(run.discontinuities), run.maxTrimAfterEvent,
            static_cast<double>(tone.intake->ShedBlocks()) * 1000.0 / rate);
    }
    std::string& disturbance = result.disturbance;
    if (run.disturbToUs != 0) {
        char buf[160];
        std::snprintf(buf, sizeof buf, " backlog_ms_2s_after_stall=%.1f", run.after2s);
        disturbance = buf;
        std::printf(
            "disturbance: from_s=%.3f to_s=%.3f master_backlog_ms_2s_after=%.1f "
            "source_backlog_ms_max_in_the_third_second_after=%.1f\n",
            static_cast<double>(run.disturbFromUs) / 1e6,
            static_cast<double>(run.disturbToUs) / 1e6, run.after2sMaster, run.maxInThirdSecond);
    }
    return result;
}

int RunDrifts(const Options& o) {
    const DriftResult at48k = RunDrift(o, 48000, true);
    // The same at an 8 kHz mixing format, for its tone's SNR.
    const DriftResult at8k = RunDrift(o, 8000, false);
    std::printf(
        "live: drift_ppm=%+.0f minutes=%g backlog_ms_max_after_settle=%.1f "
        "dropouts_after_settle=%llu trim_ppm=%+d tone_snr_db=%.1f tone_snr_db_8k=%.1f%s\n",
        o.driftPpm, o.minutes, at48k.maxAfterSettle,
        static_cast<unsigned long long>(at48k.dropoutsAfterSettle), at48k.trimPpm, at48k.worstSnr,
        at8k.worstSnr, at48k.disturbance.c_str());
    return 0;
}

// ---- Memory with a silent master ----

int RunMemory(const Options& o) {
    const PcmFormat format{2, 48000, 16};
    const std::size_t frameBytes = 3840;
    const auto endUs = static_cast<std::uint64_t>(o.minutes * 60e6);
    World w(SettingsOf(o), format, frameBytes, endUs);
    std::uint64_t mixes = 0;
    w.onPass = [&mixes](World&, const char*, unsigned, const char*, unsigned, void*) { ++mixes; };
    std::size_t heapMax = 0;
    int nextMinute = 1;
    const std::size_t heapBefore = HeapInUse();
    // The heap once a simulated second, after the feeds of that second.
    std::uint64_t nextSampleUs = 1'000'000;
    w.afterFeed = [&](World& world, Feeder&) {
        if (world.NowUs() < nextSampleUs) {
            return;
        }
        nextSampleUs += 1'000'000;
        const std::size_t heap = HeapInUse() - heapBefore;
        heapMax = std::max(heapMax, heap);
        if (world.NowUs() >= static_cast<std::uint64_t>(nextMinute) * 60'000'000u) {
            std::printf("t=%3d min heap_mib=%.2f\n", nextMinute,
                        static_cast<double>(heap) / 1048576.0);
            std::fflush(stdout);
            ++nextMinute;
        }
    };
    for (int i = 1; i <= o.sources; ++i) {
        w.AddFeeder(i, format, 20.0, 0.0, 200.0 + 50.0 * i, 3000.0);
    }
    if (o.liveOff) {
        // Without live mode no pass takes a frame while the master is silent:
        // only the feeds run.
        w.AdvanceTo(endUs);
    } else {
        w.Run();
    }
    std::uint64_t cut = 0;
    for (const auto& v : w.Views()) {
        cut += v.record.framesCut;
    }
    const double ceilingMib =
        o.liveOff ? 0.0
                  : static_cast<double>(w.Live().MaxFrames() * frameBytes * o.sources) / 1048576.0;
    std::printf(
        "live-memory: live=%d sources=%d minutes=%g max_ms=%u master_timeout_ms=%u "
        "heap_mib_max=%.2f "
        "queued_audio_ceiling_mib=%.2f frames_cut=%llu passes_without_master=%llu mixes=%llu\n",
        o.liveOff ? 0 : 1, o.sources, o.minutes, o.maxMs, SettingsOf(o).MasterTimeoutMs(),
        static_cast<double>(heapMax) / 1048576.0, ceilingMib, static_cast<unsigned long long>(cut),
        static_cast<unsigned long long>(w.Live().passesWithoutMaster.load()),
        static_cast<unsigned long long>(mixes));
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    using carovel_bench::Flag;
    using carovel_bench::Option;
    Options o;
    o.driftPpm = Option(argc, argv, "--drift-ppm", o.driftPpm);
    o.targetMs = static_cast<unsigned>(Option(argc, argv, "--target-ms", o.targetMs));
    o.maxMs = static_cast<unsigned>(Option(argc, argv, "--max-ms", o.maxMs));
    o.stallMs = Option(argc, argv, "--stall-ms", 0);
    o.slowMs = Option(argc, argv, "--slow-ms", 0);
    o.slowSeconds = Option(argc, argv, "--slow-seconds", 0);
    o.masterDriftPpm = Option(argc, argv, "--master-drift-ppm", 0);
    o.jitterMs = Option(argc, argv, "--jitter-ms", 0);
    o.masterTimeoutMs = static_cast<unsigned>(Option(argc, argv, "--master-timeout-ms", 0));
    o.silentMaster = Flag(argc, argv, "--silent-master");
    o.liveOff = Flag(argc, argv, "--live-off");
    o.sources = static_cast<int>(Option(argc, argv, "--sources", o.sources));
    o.burstMs = Option(argc, argv, "--burst-ms", 0);
    o.masterGapMs = Option(argc, argv, "--master-gap-ms", 0);
    o.minutes = Option(argc, argv, "--minutes", o.silentMaster ? 10 : 60);
    if (!LiveSettingsValid(SettingsOf(o)) || o.minutes <= 0) {
        std::fprintf(stderr,
                     "bad options: --target-ms must be below --max-ms (at most 60000), "
                     "--minutes above 0\n");
        return 2;
    }
    return o.silentMaster ? RunMemory(o) : RunDrifts(o);
}
