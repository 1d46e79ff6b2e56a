// Read access to internals of CWaveMix and CMixer for the library's tests.
#ifndef CAROVEL_TESTS_SUPPORT_TEST_ACCESS_H
#define CAROVEL_TESTS_SUPPORT_TEST_ACCESS_H

#include <cstddef>
#include <vector>

#include "carovel/mixer.h"
#include "carovel/wave_mix.h"
#include "engine/engine.h"
#include "engine/wave_mix_impl.h"
#include "mixer/intake/source_intake.h"
#include "mixer/mixer_impl.h"
#include "platform/clock.h"

namespace _Carovel {

struct WaveMixTestAccess {
    // Source ids in walk order.
    static std::vector<long> TrackIDs(CWaveMix& wm) { return Engine(wm).Queues().SourceIds(); }
    // Frames queued for a source; 0 when it has no queue.
    static std::size_t QueuedFrames(CWaveMix& wm, long id) {
        return Engine(wm).Queues().QueuedFrames(id);
    }
    static _Carovel::Engine& Engine(CWaveMix& wm) { return wm.m_impl->engine; }
};

struct MixerTestAccess {
    // The intake of a source, or null.
    static const SourceIntake* Record(const CMixer& mixer, long id) {
        return mixer.m_impl->sources.Find(id);
    }
    static std::size_t QueuedFrames(CMixer& mixer, long id) {
        return mixer.m_impl->engine.Queues().QueuedFrames(id);
    }
    static std::size_t SourceCount(const CMixer& mixer) { return mixer.m_impl->sources.Count(); }
};

// The intake's way into a frame mixer, for tests that feed an intake on its
// own.
inline FrameSink SinkOf(CWaveMix& wm) {
    return FrameSink(WaveMixTestAccess::Engine(wm), MonotonicSeconds());
}

}  // namespace _Carovel

#endif  // CAROVEL_TESTS_SUPPORT_TEST_ACCESS_H
