// What a CWaveMix holds: its engine and the outcome of its last call.
#ifndef CAROVEL_ENGINE_WAVE_MIX_IMPL_H
#define CAROVEL_ENGINE_WAVE_MIX_IMPL_H

#include <atomic>

#include "carovel/wave_mix.h"
#include "engine/engine.h"

namespace _Carovel {

struct CWaveMix::Impl {
    Engine engine;
    std::atomic<Status> lastStatus{Status::kOk};

    bool Result(Status status) {
        lastStatus = status;
        return status == Status::kOk;
    }
};

}  // namespace _Carovel

#endif  // CAROVEL_ENGINE_WAVE_MIX_IMPL_H
