// Read access to internals of CWaveMix and CMixer for the library's tests.
#ifndef CAROVEL_TESTS_SUPPORT_TEST_ACCESS_H
#define CAROVEL_TESTS_SUPPORT_TEST_ACCESS_H

#include <cstddef>
#include <vector>

#include "carovel/mixer.h"
#include "carovel/wave_mix.h"
#include "mixcore/wave_mix_state.h"
#include "mixer/mixer_impl.h"

namespace _Carovel {

struct WaveMixTestAccess {
    // Source ids in walk order.
    static std::vector<long> TrackIDs(CWaveMix& wm) { return wm.m_state->queues.SourceIds(); }
    // Frames queued for a source; 0 when it has no queue.
    static std::size_t QueuedFrames(CWaveMix& wm, long id) {
        return wm.m_state->queues.QueuedFrames(id);
    }
};

struct MixerTestAccess {
    // The intake of a source, or null.
    static const SourceIntake* Record(const CMixer& mixer, long id) {
        return mixer.m_impl->sources.Find(id);
    }
    static std::size_t QueuedFrames(CMixer& mixer, long id) {
        return WaveMixTestAccess::QueuedFrames(mixer.m_WaveMix, id);
    }
    static std::size_t SourceCount(const CMixer& mixer) { return mixer.m_impl->sources.Count(); }
};

}  // namespace _Carovel

#endif  // CAROVEL_TESTS_SUPPORT_TEST_ACCESS_H
