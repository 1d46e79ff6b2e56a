// Read access to internals of CWaveMix and CMixer for the library's tests.
#ifndef CAROVEL_TESTS_SUPPORT_TEST_ACCESS_H
#define CAROVEL_TESTS_SUPPORT_TEST_ACCESS_H

#include <cstddef>
#include <mutex>
#include <vector>

#include "carovel/mixer.h"
#include "carovel/wave_mix.h"
#include "mixcore/wave_track.h"
#include "mixer/mixer_internal.h"

namespace _Carovel {

struct WaveMixTestAccess {
    // Track identifiers in walk order.
    static std::vector<long> TrackIDs(CWaveMix& wm) {
        std::lock_guard<std::mutex> guard(wm.m_csLock);
        std::vector<long> ids;
        for (const auto& track : wm.m_lstTracks) {
            ids.push_back(track->TrackID());
        }
        return ids;
    }
    // Frames queued on a track; 0 when it does not exist.
    static std::size_t QueuedFrames(CWaveMix& wm, long id) {
        std::lock_guard<std::mutex> guard(wm.m_csLock);
        const auto found = wm.m_mapTracks.find(id);
        return found == wm.m_mapTracks.end() ? 0 : (*found->second)->FrameCount();
    }
};

struct MixerTestAccess {
    // The intake record of a source, or null.
    static const tagWaveTrack* Record(const CMixer& mixer, long id) {
        const auto found = mixer.m_lstTraceID.find(id);
        return found == mixer.m_lstTraceID.end() ? nullptr : found->second.get();
    }
    static std::size_t QueuedFrames(CMixer& mixer, long id) {
        return WaveMixTestAccess::QueuedFrames(mixer.m_WaveMix, id);
    }
};

}  // namespace _Carovel

#endif  // CAROVEL_TESTS_SUPPORT_TEST_ACCESS_H
