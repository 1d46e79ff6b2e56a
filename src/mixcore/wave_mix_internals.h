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

    // A mixing pass, as GetMixedFrame (with mix-minus outputs into minus
    // when it is not null), that with requireMaster false does not wait for
    // source 0: it then takes the oldest frame of every source that has one,
    // and without source 0's frame masterLen comes back 0, *pTag null, and
    // the mix is made from the other frames (mixLen 0 when no source had a
    // frame).
    static void Pass(CWaveMix& wm, char* masterBuf, int& masterLen, char* mixBuf, int& mixLen,
                     void** pTag, CMixMinusFrames* minus, bool requireMaster);
};

}  // namespace _Carovel

#endif  // CAROVEL_MIXCORE_WAVE_MIX_INTERNALS_H
