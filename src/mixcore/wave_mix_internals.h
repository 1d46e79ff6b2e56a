// What the library's mixer reaches inside a CWaveMix besides its public
// calls: the queue table (for frame levels, intake reports, statistics and
// live mode's records) and a pass that may go on without source 0.
#ifndef CAROVEL_MIXCORE_WAVE_MIX_INTERNALS_H
#define CAROVEL_MIXCORE_WAVE_MIX_INTERNALS_H

#include "carovel/status.h"
#include "carovel/wave_mix.h"
#include "mixcore/frame_level.h"
#include "mixcore/queue_table.h"

namespace _Carovel {

struct WaveMixInternals {
    static QueueTable& Queues(CWaveMix& wm);
    // The sample width set by Init.
    static unsigned BytesPerSample(const CWaveMix& wm);

    // AddFrame with the frame's level measured, so that statistics can tell
    // the level of the last frame mixed. Same results as AddFrame, and it
    // sets LastStatus the same way.
    static bool AddMeasuredFrame(CWaveMix& wm, long trackID, const char* data, int len, void* tag);

    // A mixing pass that does not wait for source 0: it takes the oldest
    // frame of every source that has one, source 0 included when it has
    // one. With source 0's frame it is exactly GetMixedFrame. Without it,
    // masterLen comes back 0, *pTag is set to null, and the mix is made from
    // the other frames as GetMixedFrame makes it (mixLen 0 when no source had
    // a frame).
    static void PassWithoutMaster(CWaveMix& wm, char* masterBuf, int& masterLen, char* mixBuf,
                                  int& mixLen, void** pTag);
};

}  // namespace _Carovel

#endif  // CAROVEL_MIXCORE_WAVE_MIX_INTERNALS_H
