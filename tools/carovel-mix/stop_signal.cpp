#include "stop_signal.h"

#include <csignal>

#include "tool_error.h"

namespace carovel_mix {
namespace {

volatile std::sig_atomic_t g_signal = 0;

extern "C" void OnStopSignal(int signal) {
    if (g_signal == 0) {
        g_signal = signal;
    }
}

}  // namespace

void InstallStopHandlers() {
    struct sigaction action {};
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0;  // no SA_RESTART: a blocked read returns with EINTR
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
        sigaction(signal, &action, nullptr);
    }
}

bool StopRequested() {
    return g_signal != 0;
}

int StopSignal() {
    return g_signal;
}

void ThrowIfStopped() {
    if (StopRequested()) {
        throw Interrupted(StopSignal());
    }
}

}  // namespace carovel_mix
