// CMixer: the statistics.
#include <algorithm>
#include <cmath>
#include <limits>

#include "carovel/mixer.h"
#include "mixer/mixer_impl.h"
#include "pcm/frame_level.h"

namespace _Carovel {
namespace {

// The counters of a source, with the level still as fractions of full scale
// (turned into dB outside the frame mixer's lock by FinishLevel).
SourceStats RawStats(const SourceView& view, double frameMs, double bytesPerMs) {
    const SourceCounters& r = view.counters;
    const auto* board = static_cast<const SourceBoard*>(view.attachment.get());
    const std::size_t staged = board != nullptr ? board->StagedBytes() : 0;
    SourceStats s;
    s.sourceId = view.sourceId;
    s.backlogFrames = view.queuedFrames;
    s.backlogMs = static_cast<double>(view.queuedFrames) * frameMs +
                  (bytesPerMs > 0.0 ? static_cast<double>(staged) / bytesPerMs : 0.0);
    s.framesMixed = r.framesMixed;
    s.framesCut = r.framesCut;
    s.dropouts = r.dropouts;
    s.trimPpm = board != nullptr ? board->trimPpm.load() : 0;
    s.clippedSamples = board != nullptr ? board->clippedSamples.load() : 0;
    s.hasLevel = r.framesMixed > 0 && view.lastLevel.measured;
    s.rmsDbfs = s.hasLevel ? view.lastLevel.meanSquare : 0.0;
    s.peakDbfs = s.hasLevel ? view.lastLevel.peak : 0.0;
    return s;
}

void FinishLevel(SourceStats& s) {
    if (!s.hasLevel) {
        s.rmsDbfs = s.peakDbfs = -std::numeric_limits<double>::infinity();
        return;
    }
    s.rmsDbfs = MeanSquareDbfs(static_cast<float>(s.rmsDbfs));
    s.peakDbfs = PeakDbfs(static_cast<float>(s.peakDbfs));
}

}  // namespace

bool CMixer::GetSourceStats(long traceID, SourceStats& out) const {
    Impl& impl = *m_impl;
    SourceView view;
    if (!impl.engine.Queues().View(traceID, view, impl.engine.LevelWidth())) {
        return false;
    }
    SourceStats s = RawStats(view, impl.statsFrameMs.load(), impl.statsBytesPerMs.load());
    FinishLevel(s);
    out = s;
    return true;
}

unsigned CMixer::GetAllSourceStats(SourceStats* out, unsigned capacity, MixerStats* mixer) const {
    Impl& impl = *m_impl;
    const double bytesPerMs = impl.statsBytesPerMs.load();
    const double frameMs = impl.statsFrameMs.load();
    const unsigned wanted = out != nullptr ? capacity : 0;
    // The counters are copied under the queues' lock; the levels turn into
    // dB outside it.
    const std::size_t count = impl.engine.Queues().VisitSources(
        impl.engine.LevelWidth(), wanted, [&](std::size_t i, const SourceView& view) {
            out[i] = RawStats(view, frameMs, bytesPerMs);
        });
    for (std::size_t i = 0; i < std::min<std::size_t>(count, wanted); ++i) {
        FinishLevel(out[i]);
    }
    if (mixer != nullptr) {
        MixerStats m;
        m.callbackExceptions = impl.callbackExceptions->load();
        m.sources = static_cast<std::uint32_t>(count);
        if (const std::shared_ptr<LiveShared> live = impl.Live()) {
            m.liveMode = true;
            m.targetMs = live->settings.targetMs;
            m.maxMs = live->settings.maxMs;
            m.masterTimeoutMs = live->settings.MasterTimeoutMs();
            m.catchUpPasses = live->catchUpPasses.load();
            m.passesWithoutMaster = live->passesWithoutMaster.load();
            m.livePasses = live->controlPasses.load();
            if (m.livePasses > 0) {
                const auto passes = static_cast<double>(m.livePasses);
                m.liveControlUsPerPass = static_cast<double>(live->controlNs.load()) / 1e3 / passes;
                m.liveTrimUsPerPass = static_cast<double>(live->trimNs.load()) / 1e3 / passes;
            }
        }
        *mixer = m;
    }
    return static_cast<unsigned>(count);
}

}  // namespace _Carovel
