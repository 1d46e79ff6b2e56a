// What a CWaveMix holds: its sample width, its closing flag, the outcome of
// its last AddFrame and its queues.
#ifndef CAROVEL_MIXCORE_WAVE_MIX_STATE_H
#define CAROVEL_MIXCORE_WAVE_MIX_STATE_H

#include <atomic>

#include "carovel/wave_mix.h"
#include "mixcore/queue_table.h"

namespace _Carovel {

struct CWaveMix::State {
    // Read by passes without the queues' lock; Init is not called during one.
    std::atomic<unsigned short> bytesPerSample{2};
    std::atomic<bool> closing{false};
    std::atomic<Status> lastStatus{Status::kOk};
    QueueTable queues;
};

}  // namespace _Carovel

#endif  // CAROVEL_MIXCORE_WAVE_MIX_STATE_H
