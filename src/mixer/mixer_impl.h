// What a CMixer holds besides its frame mixer.
#ifndef CAROVEL_MIXER_MIXER_IMPL_H
#define CAROVEL_MIXER_MIXER_IMPL_H

#include <atomic>
#include <cstddef>
#include <memory>

#include "carovel/mixer.h"
#include "mixer/call_check.h"
#include "mixer/output_thread.h"
#include "mixer/source_table.h"
#include "pcm/pcm_format.h"
#include "platform/event.h"

namespace _Carovel {

struct CMixer::Impl {
    // Set by Open; read by AddFrame, which the host serialises with Open.
    PcmFormat mixFormat;
    std::size_t frameBytes = 0;
    // Written only by the host's serialised calls (and by Close from the
    // callback, which never touches them while a host call may).
    SourceTable sources;
    // Open exactly while its session runs.
    OutputThread output;
    // Wakes the output thread early. Shared with the thread's session, which
    // may outlive the mixer.
    std::shared_ptr<AutoResetEvent> event = std::make_shared<AutoResetEvent>();
    std::atomic<Status> lastStatus{Status::kOk};
    // Exceptions that escaped the callback, counted by the output thread.
    std::shared_ptr<std::atomic<unsigned long>> callbackExceptions =
        std::make_shared<std::atomic<unsigned long>>(0);
    SerialCallCheck callCheck;
};

}  // namespace _Carovel

#endif  // CAROVEL_MIXER_MIXER_IMPL_H
