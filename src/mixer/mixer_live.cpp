// CMixer: the statistics.
#include <algorithm>
#include <cmath>
#include <limits>

#include "carovel/mixer.h"
#include "mixcore/frame_level.h"
#include "mixcore/wave_mix_internals.h"
#include "mixer/mixer_impl.h"

namespace _Carovel {
namespace {

// The counters of a source, with the level still as fractions of full scale
// (turned into dB outside the frame mixer's lock by FinishLevel).
SourceStats RawStats(long id, std::size_t frames, const SourceRecord& r, double frameMs,
                     double bytesPerMs) {
    SourceStats s;
    s.sourceId = id;
    s.backlogFrames = frames;
    s.backlogMs = static_cast<double>(frames) * frameMs +
                  (bytesPerMs > 0.0 ? static_cast<double>(r.intake.stagedBytes) / bytesPerMs : 0.0);
    s.framesMixed = r.framesMixed;
    s.framesCut = r.framesCut;
    s.dropouts = r.dropouts;
    s.trimPpm = r.trimPpm;
    s.hasLevel = r.framesMixed > 0 && r.lastLevel.measured;
    s.rmsDbfs = s.hasLevel ? r.lastLevel.meanSquare : 0.0;
    s.peakDbfs = s.hasLevel ? r.lastLevel.peak : 0.0;
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
    // The frame mixer's queues are locked inside; the call changes nothing.
    CWaveMix& wm = const_cast<CWaveMix&>(m_WaveMix);
    const double bytesPerMs = impl.statsBytesPerMs.load();
    const double frameMs = impl.statsFrameMs.load();
    QueueTable::SourceView view;
    if (!WaveMixInternals::Queues(wm).View(traceID, view)) {
        return false;
    }
    SourceStats s = RawStats(view.sourceId, view.queuedFrames, view.record, frameMs, bytesPerMs);
    FinishLevel(s);
    out = s;
    return true;
}

unsigned CMixer::GetAllSourceStats(SourceStats* out, unsigned capacity, MixerStats* mixer) const {
    Impl& impl = *m_impl;
    CWaveMix& wm = const_cast<CWaveMix&>(m_WaveMix);
    const double bytesPerMs = impl.statsBytesPerMs.load();
    const double frameMs = impl.statsFrameMs.load();
    unsigned index = 0;
    const std::size_t count = WaveMixInternals::Queues(wm).VisitSources(
        [&](long id, std::size_t frames, const SourceRecord& record) {
            if (out != nullptr && index < capacity) {
                out[index] = RawStats(id, frames, record, frameMs, bytesPerMs);
            }
            ++index;
        });
    for (unsigned i = 0; out != nullptr && i < std::min(index, capacity); ++i) {
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
        }
        *mixer = m;
    }
    return static_cast<unsigned>(count);
}

}  // namespace _Carovel
