#include "mix_job.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <memory>
#include <vector>

#include "loudness.h"
#include "mix_session.h"
#include "mix_sink.h"
#include "output_safety.h"
#include "report.h"
#include "source_edit.h"
#include "source_feeder.h"
#include "stop_signal.h"
#include "submix.h"
#include "tool_error.h"

namespace carovel_mix {
namespace {

// --normalize puts the peak here, relative to full scale: -1 dBFS.
const double kNormalizedPeak = std::pow(10.0, -1.0 / 20.0);
// --loudness keeps the true peak at or below this, in dBTP, and aims its
// limiter a little lower, for the estimate's error.
constexpr double kTruePeakLimit = -1.0;
constexpr double kLimiterCeiling = -1.3;

// The command line's format where given, else the master's; a floating-point
// master is mixed at 16 bits, and a mix with panned sources is stereo.
PcmFormat MixingFormat(const Options& options, const InputFile& master) {
    PcmFormat format = master.Format();
    if (master.IsFloat()) {
        format.bitsPerSample = 16;
    }
    if (!options.pans.empty()) {
        format.channels = 2;
    }
    format.samplesPerSec = options.rate != 0 ? options.rate : format.samplesPerSec;
    format.channels = options.channels != 0 ? options.channels : format.channels;
    format.bitsPerSample = options.bits != 0 ? options.bits : format.bitsPerSample;
    return format;
}

// The precision the outputs are written with.
unsigned OutputBits(const Options& options, const PcmFormat& format) {
    switch (options.encoding) {
        case Encoding::kFloat:
            return 32;
        case Encoding::kUlaw:
        case Encoding::kAlaw:
            return 16;
        case Encoding::kPcm:
            break;
    }
    return format.bitsPerSample;
}

std::string OutputDescription(const Options& options, const PcmFormat& format) {
    PcmFormat shown = format;
    std::string text = Describe(shown);
    const std::string width = std::to_string(format.bitsPerSample) + "-bit";
    const auto replaceWidth = [&text, &width](const std::string& by) {
        text.replace(text.size() - width.size(), std::string::npos, by);
    };
    switch (options.encoding) {
        case Encoding::kFloat:
            replaceWidth("float");
            break;
        case Encoding::kUlaw:
            replaceWidth("u-law");
            break;
        case Encoding::kAlaw:
            replaceWidth("A-law");
            break;
        case Encoding::kPcm:
            break;
    }
    return text;
}

// Bits of headroom for a sum of every source at full scale and its gain,
// plus one for a resampler's overshoot.
unsigned HeadroomShift(const Options& options, std::size_t sources) {
    double total = 0.0;
    for (std::size_t i = 0; i < sources; ++i) {
        const auto gain = options.gains.find(static_cast<unsigned>(i));
        total += gain == options.gains.end() ? 1.0 : gain->second;
    }
    return static_cast<unsigned>(std::ceil(std::log2(std::max(total, 1.0)))) + 1;
}

// Every source's index.
std::vector<unsigned> AllSources(const InputList& inputs) {
    std::vector<unsigned> all(inputs.size());
    for (unsigned i = 0; i < all.size(); ++i) {
        all[i] = i;
    }
    return all;
}

// Feeders of the sources `indexes` for a mix in mixFormat.
std::vector<SourceFeeder> MakeFeeders(const Options& options, InputList& inputs,
                                      const std::vector<unsigned>& indexes,
                                      const PcmFormat& mixFormat, unsigned shift, bool realtime) {
    std::vector<SourceFeeder> feeders;
    feeders.reserve(indexes.size());
    for (const unsigned index : indexes) {
        SourceSetup setup;
        const auto delay = options.delays.find(index);
        if (delay != options.delays.end()) {
            setup.delayFrames =
                static_cast<std::uint64_t>(std::llround(delay->second * mixFormat.samplesPerSec));
        }
        const auto gain = options.gains.find(index);
        if (gain != options.gains.end()) {
            setup.gain = gain->second;
        }
        const auto pan = options.pans.find(index);
        if (pan != options.pans.end()) {
            setup.pan = pan->second;
        }
        const auto fade = options.fades.find(index);
        if (fade != options.fades.end()) {
            setup.fade = MakeFade(*inputs[index], fade->second);
        }
        setup.headroomShift = shift;
        feeders.emplace_back(static_cast<long>(index), *inputs[index], mixFormat, setup,
                             MixSession::StepMs(realtime));
    }
    return feeders;
}

// The rate to mix at, when the mix is made at the sources' rate and each
// output converted once to the output's rate (format's): every source shares
// a rate other than the output's, and converting the sum gives what summing
// the converted sources would, within rounding. That holds for sums, gains,
// pans, fades and trims (all linear, or applied in the sources' time) and
// for delays that are whole samples at both rates; not for the mixer's
// limiter, nor in real time, where the output thread paces the passes at the
// output's rate. The sums are then kept with headroom (32 bits, or float) so
// that nothing is clamped before the conversion. 0 when each source is
// converted.
std::uint32_t ConvertOnceRate(const Options& options, const InputList& inputs,
                              const PcmFormat& format) {
    if (options.convertEach || options.realtime || options.limiter) {
        return 0;
    }
    const std::uint32_t rate = inputs.front()->Format().samplesPerSec;
    if (rate == format.samplesPerSec) {
        return 0;
    }
    for (const auto& input : inputs) {
        if (input->Format().samplesPerSec != rate) {
            return 0;
        }
    }
    for (const auto& [source, seconds] : options.delays) {
        (void)source;
        if (!WholeAtBothRates(seconds, rate, format.samplesPerSec)) {
            return 0;
        }
    }
    if (options.frameMsGiven && std::uint64_t{rate} * options.frameMs % 1000 != 0) {
        return 0;
    }
    return rate;
}

void Warn(const std::string& text) {
    std::fprintf(stderr, "carovel-mix: warning: %s\n", text.c_str());
}

// What the mix is fed: each source on its own, or through its submix.
struct Feeding {
    // The mix's sources: those on their own (the master first), then the
    // submixes.
    std::vector<SourceFeeder> feeders;
    std::size_t alone = 0;
    std::vector<SourceFeeder> members;  // sources that went in through a submix
    InputList submixes;                 // each submix, read back
    std::vector<std::string> notes;     // for the summary

    // Every source as it was fed, by index, for the summary.
    std::vector<const SourceFeeder*> Sources() const {
        std::vector<const SourceFeeder*> sources;
        for (std::size_t i = 0; i < alone; ++i) {
            sources.push_back(&feeders[i]);
        }
        for (const SourceFeeder& member : members) {
            sources.push_back(&member);
        }
        std::sort(sources.begin(), sources.end(),
                  [](const SourceFeeder* a, const SourceFeeder* b) { return a->Id() < b->Id(); });
        return sources;
    }
};

// Mixes the submixes (each offline, before the mix) and makes the feeders
// of the mix: the sources on their own (the master first), then each submix
// as one source, which carries its first member's index. A submix whose
// temporary file cannot be made leaves its sources on their own.
Feeding Feed(const Options& options, InputList& inputs, const std::vector<SubmixPlan>& plans,
             const PcmFormat& mixFormat, unsigned shift, bool showProgress) {
    Feeding feeding;
    const auto add = [&](std::vector<SourceFeeder> feeders) {
        for (SourceFeeder& feeder : feeders) {
            feeding.feeders.push_back(std::move(feeder));
        }
    };
    add(MakeFeeders(options, inputs, {0}, mixFormat, shift, options.realtime));
    // Where the master ends the mix, a submix need go no further.
    const std::uint64_t end = options.length == MixLength::kMaster
                                  ? feeding.feeders.front().EndFrame()
                                  : std::numeric_limits<std::uint64_t>::max();
    std::vector<bool> alone(inputs.size(), true);
    std::vector<long> submixIds;
    for (const SubmixPlan& plan : plans) {
        PcmFormat format = mixFormat;
        format.samplesPerSec = plan.rate;
        format.channels = plan.channels;
        std::unique_ptr<Track> spool;
        try {
            spool = MakeSubmixSpool(format);
        } catch (const ToolError& error) {
            Warn(std::string(error.what()) + "; " +
                 SubmixNote(plan, mixFormat.samplesPerSec, false));
            continue;
        }
        std::vector<SourceFeeder> members =
            MakeFeeders(options, inputs, plan.members, format, shift, false);
        ProgressBar bar(stderr, showProgress, plan.rate);
        bar.SetLabel("submix at " + std::to_string(plan.rate) + " Hz");
        const std::uint64_t submixEnd =
            end == std::numeric_limits<std::uint64_t>::max()
                ? end
                : (end * plan.rate + mixFormat.samplesPerSec - 1) / mixFormat.samplesPerSec;
        try {
            feeding.submixes.push_back(MixSubmix(
                members, std::move(spool), options.frameMs, submixEnd,
                [&bar](std::uint64_t done, std::uint64_t total) { bar.Update(done, total); }));
        } catch (const ToolError& error) {
            throw ToolError(std::string(error.what()) +
                            " (a submix; --convert-each mixes without one)");
        }
        bar.Finish();
        for (SourceFeeder& member : members) {
            alone[static_cast<std::size_t>(member.Id())] = false;
            feeding.members.push_back(std::move(member));
        }
        submixIds.push_back(static_cast<long>(plan.members.front()));
        feeding.notes.push_back(SubmixNote(plan, mixFormat.samplesPerSec, true));
    }
    std::vector<unsigned> others;
    for (unsigned i = 1; i < inputs.size(); ++i) {
        if (alone[i]) {
            others.push_back(i);
        }
    }
    add(MakeFeeders(options, inputs, others, mixFormat, shift, options.realtime));
    feeding.alone = feeding.feeders.size();
    for (std::size_t k = 0; k < feeding.submixes.size(); ++k) {
        feeding.feeders.emplace_back(submixIds[k], *feeding.submixes[k], mixFormat, SourceSetup{},
                                     MixSession::StepMs(options.realtime));
    }
    return feeding;
}

// Frames the mix will have, from what each input's header says: where the
// last, the master's or the first source ends (see --length).
std::uint64_t ExpectedMixFrames(const Options& options, const std::vector<SourceFeeder>& feeders) {
    std::uint64_t end = feeders.front().EndFrame();
    for (const auto& feeder : feeders) {
        if (options.length == MixLength::kLongest) {
            end = std::max(end, feeder.EndFrame());
        } else if (options.length == MixLength::kShortest) {
            end = std::min(end, feeder.EndFrame());
        }
    }
    return end;
}

// The mix among the tracks of MeasureUnclampedPeaks.
constexpr long kMixTrack = -1;

// Mixes once more, offline, with headroom and no output, to learn how far
// the clamped sums went beyond full scale: the same mix as the sink's, at its
// mixing rate and channels, each track taken to the outputs' format as the
// sink's tracks are. Returns the peak of each asked track (the mix as
// kMixTrack, mix-minus outputs by source) in dBFS.
std::map<long, double> MeasureUnclampedPeaks(const Options& options, InputList& inputs,
                                             const MixSink& mixed,
                                             const std::vector<long>& tracks) {
    for (auto& input : inputs) {
        input->Rewind();
    }
    const unsigned shift = HeadroomShift(options, inputs.size());
    PcmFormat wide = mixed.Format();
    wide.bitsPerSample = 32;
    PcmFormat wideOut = mixed.Mix().Format();
    wideOut.bitsPerSample = 32;
    const auto track = [&] {
        return MakeTrack(nullptr, wide, wideOut, 32, shift, Track::Mode::kMeasure);
    };
    MixSink sink;
    sink.SetFormat(wide);
    sink.SetMix(track());
    for (const long id : tracks) {
        if (id != kMixTrack) {
            sink.AddMinus(id, track());
        }
    }
    std::vector<SourceFeeder> feeders =
        MakeFeeders(options, inputs, AllSources(inputs), wide, shift, false);
    MixSession session(feeders, sink, options.frameMs, options.frameMsGiven, options.length, false);
    session.Run([](std::uint64_t, std::uint64_t) {});
    sink.EndInput();
    std::map<long, double> peaks;
    for (const long id : tracks) {
        peaks[id] = id == kMixTrack ? sink.Mix().PeakDbfs() : sink.Minus().at(id)->PeakDbfs();
    }
    return peaks;
}

std::string Percent(std::uint64_t part, std::uint64_t whole) {
    char text[32];
    std::snprintf(
        text, sizeof text, "%.2g%%",
        whole == 0 ? 0.0 : 100.0 * static_cast<double>(part) / static_cast<double>(whole));
    return text;
}

void WarnAboutInputs(const Options& options, const InputList& inputs) {
    for (const auto& input : inputs) {
        const std::string problem = input->Problem();
        if (!problem.empty()) {
            Warn(FileMessage(input->DisplayName(), problem));
        }
        if (input->OverFullScale() > 0) {
            char peak[32];
            std::snprintf(peak, sizeof peak, "%+.1f dBFS", 20 * std::log10(input->PeakAbove()));
            Warn(FileMessage(input->DisplayName(),
                             std::to_string(input->OverFullScale()) +
                                 " samples lie beyond full scale (peak " + peak +
                                 "); they were clamped at full scale (--encoding float mixes in "
                                 "float and keeps them)"));
        }
    }
    if (inputs.front()->Frames() == 0) {
        Warn(FileMessage(inputs.front()->DisplayName(),
                         options.length == MixLength::kMaster
                             ? "the master holds no audio, so the mix is empty"
                             : "the master holds no audio; it is silence in the mix"));
    }
}

void WarnAboutClipping(const Options& options, InputList& inputs, const MixSink& sink) {
    if (options.limiter || options.normalize || options.loudness) {
        return;
    }
    std::vector<std::pair<long, const Track*>> clipped;
    if (sink.Mix().Clipped() > 0) {
        clipped.emplace_back(kMixTrack, &sink.Mix());
    }
    for (const auto& [source, track] : sink.Minus()) {
        if (track->Clipped() > 0) {
            clipped.emplace_back(source, track.get());
        }
    }
    if (clipped.empty()) {
        return;
    }
    std::vector<long> ids;
    for (const auto& entry : clipped) {
        ids.push_back(entry.first);
    }
    std::map<long, double> peaks;
    try {
        peaks = MeasureUnclampedPeaks(options, inputs, sink, ids);
    } catch (const Interrupted&) {
        // The mix is written; leave the peaks out.
    } catch (const ToolError&) {
        // An input that cannot be read twice: no peaks.
    }
    for (const auto& [id, track] : clipped) {
        std::string peakText;
        const auto peak = peaks.find(id);
        if (peak != peaks.end()) {
            char text[64];
            std::snprintf(text, sizeof text, "; the sum peaked at %+.1f dBFS", peak->second);
            peakText = text;
        }
        const std::uint64_t samples = track->Frames() * track->Format().channels;
        Warn(FileMessage(track->File()->DisplayName(),
                         std::to_string(track->Clipped()) + " of " + std::to_string(samples) +
                             " samples clipped (" + Percent(track->Clipped(), samples) + ")" +
                             peakText + "; use --limiter or --normalize, or lower a --gain"));
    }
}

}  // namespace

namespace {

// --loudness: the gain that takes the mix to the target and the limiter's
// ceiling that keeps its true peak under the limit, tried on the spooled mix
// before anything is written; then every spooled output is written with
// that gain. Returns the facts for the summary.
LoudnessFacts ApplyLoudness(double target, MixSink& sink) {
    Track& mix = sink.Mix();
    LoudnessFacts facts;
    facts.target = target;
    facts.inputLufs = mix.InputLufs();
    facts.inputTruePeak = mix.InputTruePeakDbtp();
    double gain = 1.0;
    double ceilingDb = kLimiterCeiling;
    if (std::isfinite(facts.inputLufs)) {
        gain = std::pow(10.0, (target - facts.inputLufs) / 20.0);
        // Limiting takes some loudness off, and the limiter's estimate of
        // the true peak may fall short of the meter's: correct both.
        for (int attempt = 0; attempt < 4; ++attempt) {
            ThrowIfStopped();
            const Track::ScaledPass trial =
                mix.WriteScaled(gain, std::pow(10.0, ceilingDb / 20.0), false);
            bool again = false;
            if (trial.truePeakDbtp > kTruePeakLimit - 0.05) {
                ceilingDb -= trial.truePeakDbtp - (kTruePeakLimit - 0.1);
                again = true;
            }
            if (std::isfinite(trial.lufs) && std::abs(trial.lufs - target) > 0.1 &&
                trial.leastGain < 1.0) {
                gain *= std::pow(10.0, (target - trial.lufs) / 20.0);
                again = true;
            }
            if (!again) {
                break;
            }
        }
    }
    facts.gainDb = 20.0 * std::log10(gain);
    const double ceiling = std::pow(10.0, ceilingDb / 20.0);
    facts.output = mix.WriteScaled(gain, ceiling, true);
    for (auto& minus : sink.Minus()) {
        minus.second->WriteScaled(gain, ceiling, true);
    }
    return facts;
}

}  // namespace

int RunMixJob(const Options& options) {
    if (!options.null) {
        CheckOutputsAreSafe(options);
    }
    InputList inputs;
    for (std::size_t i = 0; i < options.inputs.size(); ++i) {
        const auto raw = options.raws.find(static_cast<unsigned>(i));
        inputs.push_back(std::make_unique<InputFile>(
            options.inputs[i], raw == options.raws.end() ? nullptr : &raw->second));
        const auto trim = options.trims.find(static_cast<unsigned>(i));
        if (trim != options.trims.end()) {
            ApplyTrim(*inputs.back(), trim->second);
        }
    }
    const PcmFormat format = MixingFormat(options, *inputs.front());
    // A clear message before any file is created.
    FrameBytes(format, options.frameMs, options.frameMsGiven);
    const std::uint32_t convertOnce = ConvertOnceRate(options, inputs, format);
    const std::vector<SubmixPlan> submixes =
        convertOnce == 0 ? PlanSubmixes(options, inputs, format) : std::vector<SubmixPlan>{};
    const bool spooled = options.normalize || options.loudness.has_value();
    const bool converted = convertOnce != 0 || !submixes.empty();
    const unsigned shift = spooled || (converted && options.encoding != Encoding::kFloat)
                               ? HeadroomShift(options, inputs.size())
                               : 0;
    // The format of the outputs' samples, before they are stored.
    PcmFormat trackFormat = format;
    if (shift != 0) {
        trackFormat.bitsPerSample = 32;
    } else if (options.encoding == Encoding::kFloat) {
        // Float output: mixed in float, so that sources keep their headroom.
        trackFormat.bitsPerSample = 32;
        trackFormat.isFloat = true;
    }
    PcmFormat mixFormat = trackFormat;
    if (convertOnce != 0) {
        mixFormat.samplesPerSec = convertOnce;
        // Sources that share fewer channels than the output (mono voices
        // into a stereo mix) are mixed in their own and spread once, as the
        // mixer would spread each.
        const unsigned channels = inputs.front()->Format().channels;
        const bool shared = std::all_of(inputs.begin(), inputs.end(), [channels](const auto& in) {
            return in->Format().channels == channels;
        });
        if (shared && options.pans.empty() && channels < mixFormat.channels) {
            mixFormat.channels = channels;
        }
    }
    FrameBytes(mixFormat, options.frameMs, options.frameMsGiven);
    const unsigned outBits = OutputBits(options, format);
    const bool showProgress = !options.quiet && isatty(STDERR_FILENO) == 1;
    const auto start = std::chrono::steady_clock::now();
    Feeding feeding = Feed(options, inputs, submixes, mixFormat, shift, showProgress);
    std::vector<SourceFeeder>& feeders = feeding.feeders;

    MixSink sink;
    sink.SetFormat(mixFormat);
    sink.SetOutputDescription(OutputDescription(options, format));
    OutputSettings settings;
    settings.encoding = options.encoding;
    settings.quality = options.quality;
    settings.bitrate = options.bitrate;
    settings.expectedFrames = ExpectedMixFrames(options, feeders);
    if (convertOnce != 0) {
        // Converting n frames gives ceil(n * to / from).
        settings.expectedFrames =
            (settings.expectedFrames * format.samplesPerSec + convertOnce - 1) / convertOnce;
    }
    settings.null = options.null;
    const auto output = [&](const std::string& path) {
        return std::make_unique<OutputFile>(path, options.type, format, settings);
    };
    const Track::Mode spoolMode = spooled ? Track::Mode::kNormalize : Track::Mode::kWrite;
    const auto track = [&](const std::string& path, Track::Mode mode) {
        return MakeTrack(output(path), mixFormat, trackFormat, outBits, shift, mode);
    };
    sink.SetMix(track(options.output, spoolMode));
    if (!options.masterOutput.empty()) {
        sink.SetMaster(track(options.masterOutput, Track::Mode::kWrite));
    }
    for (const auto& [source, path] : options.minusOutputs) {
        sink.AddMinus(static_cast<long>(source), track(path, spoolMode));
    }
    sink.Mix().SetDither(options.dither);
    for (auto& minus : sink.Minus()) {
        minus.second->SetDither(options.dither);
    }
    if (options.loudness) {
        sink.Mix().MeasureLoudness();
    }

    const std::vector<std::string> outputs = options.Outputs();
    const bool stdoutTaken =
        !options.null && std::find(outputs.begin(), outputs.end(), kStdioPath) != outputs.end();
    ProgressBar bar(stderr, showProgress, mixFormat.samplesPerSec);
    {
        MixSession session(feeders, sink, options.frameMs, options.frameMsGiven, options.length,
                           options.realtime);
        if (options.limiter) {
            session.EnableLimiter();
        }
        session.Run([&bar](std::uint64_t done, std::uint64_t total) { bar.Update(done, total); });
    }
    sink.EndInput();
    std::optional<LoudnessFacts> loudness;
    if (options.normalize) {
        sink.Mix().Normalize(kNormalizedPeak);
        for (auto& minus : sink.Minus()) {
            minus.second->Normalize(kNormalizedPeak);
        }
    } else if (options.loudness) {
        loudness = ApplyLoudness(*options.loudness, sink);
    }
    ThrowIfStopped();
    sink.Commit();
    const std::chrono::duration<double> wall = std::chrono::steady_clock::now() - start;
    bar.Finish();

    WarnAboutInputs(options, inputs);
    WarnAboutClipping(options, inputs, sink);
    if (loudness && !std::isfinite(loudness->inputLufs)) {
        Warn(
            "the mix is silent or shorter than 0.4 s: its loudness cannot be measured, so "
            "--loudness left it as it was");
    }
    if (!options.quiet) {
        MixFacts facts;
        facts.frameMs = options.frameMs;
        facts.wallSeconds = wall.count();
        facts.loudness = loudness;
        facts.notes = feeding.notes;
        std::FILE* to = stdoutTaken ? stderr : stdout;
        const bool emphasis = isatty(fileno(to)) == 1 && std::getenv("NO_COLOR") == nullptr;
        std::fputs(Summary(feeding.Sources(), sink, facts, emphasis).c_str(), to);
    }
    return 0;
}

}  // namespace carovel_mix
