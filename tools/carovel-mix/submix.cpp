#include "submix.h"

#include <algorithm>
#include <cmath>
#include <map>

#include "tool_error.h"

namespace carovel_mix {
namespace {

// "sources 1, 2, 5".
std::string SourceList(const std::vector<unsigned>& sources) {
    std::string text = "sources";
    for (std::size_t i = 0; i < sources.size(); ++i) {
        text += (i == 0 ? " " : ", ") + std::to_string(sources[i]);
    }
    return text;
}

}  // namespace

bool WholeAtBothRates(double seconds, std::uint32_t a, std::uint32_t b) {
    const auto at = [seconds](std::uint32_t rate) {
        return static_cast<std::uint64_t>(std::llround(seconds * rate));
    };
    return at(a) * b == at(b) * a;
}

std::vector<SubmixPlan> PlanSubmixes(const Options& options, const InputList& inputs,
                                     const PcmFormat& mix) {
    if (options.convertEach || options.realtime || options.limiter ||
        options.encoding == Encoding::kFloat || options.length == MixLength::kShortest) {
        return {};
    }
    std::map<std::uint32_t, SubmixPlan> byRate;
    for (unsigned i = 1; i < inputs.size(); ++i) {
        const std::uint32_t rate = inputs[i]->Format().samplesPerSec;
        const auto delay = options.delays.find(i);
        if (rate == mix.samplesPerSec || options.minusOutputs.count(i) != 0 ||
            (delay != options.delays.end() &&
             !WholeAtBothRates(delay->second, rate, mix.samplesPerSec))) {
            continue;
        }
        byRate[rate].members.push_back(i);
    }
    std::vector<SubmixPlan> plans;
    for (auto& [rate, plan] : byRate) {
        if (plan.members.size() < 2) {
            continue;
        }
        plan.rate = rate;
        const unsigned channels = inputs[plan.members.front()]->Format().channels;
        const bool narrow =
            channels < mix.channels &&
            std::all_of(plan.members.begin(), plan.members.end(), [&](unsigned i) {
                return inputs[i]->Format().channels == channels && options.pans.count(i) == 0;
            });
        plan.channels = narrow ? channels : mix.channels;
        PcmFormat format;
        format.samplesPerSec = rate;
        format.channels = plan.channels;
        format.bitsPerSample = 32;
        try {
            FrameBytes(format, options.frameMs, false);
        } catch (const ToolError&) {
            continue;  // its sources go in one by one
        }
        plans.push_back(std::move(plan));
    }
    return plans;
}

std::unique_ptr<Track> MakeSubmixSpool(const PcmFormat& format) {
    // The sums as they are, headroom and all.
    return std::make_unique<Track>(nullptr, format, 32, 0, Track::Mode::kSpool);
}

std::unique_ptr<InputFile> MixSubmix(std::vector<SourceFeeder>& members,
                                     std::unique_ptr<Track> spool, unsigned frameMs,
                                     std::uint64_t end, const ProgressFn& progress) {
    const PcmFormat format = spool->Format();
    // The first member paces the submix: to the mixer it is source 0.
    members.front().SetMixerId(0);
    MixSink sink;
    sink.SetFormat(format);
    sink.SetMix(std::move(spool));
    {
        // The frame length does not change the sums: each member is placed
        // by the samples of its delay, and the last frame is cut to the end.
        MixSession session(members, sink, frameMs, false, MixLength::kLongest, false);
        session.LimitEnd(end);
        session.Run(progress);
    }
    sink.EndInput();
    std::vector<unsigned> ids;
    for (const SourceFeeder& member : members) {
        ids.push_back(static_cast<unsigned>(member.Id()));
    }
    return std::make_unique<InputFile>(sink.Mix().TakeSpool(), format.samplesPerSec,
                                       format.channels, "the submix of " + SourceList(ids));
}

std::string SubmixNote(const SubmixPlan& plan, std::uint32_t mixRate, bool made) {
    const std::string text = SourceList(plan.members);
    const std::string to = std::to_string(mixRate) + " Hz";
    return made ? text + " mixed at " + std::to_string(plan.rate) +
                      " Hz, their rate, and converted once to " + to
                : text + " converted one by one to " + to;
}

}  // namespace carovel_mix
