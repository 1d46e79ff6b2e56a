// Ctrl-C and its kin: the signals that ask carovel-mix to stop, noted by a
// handler and acted on by the mixing loop between two steps.
#ifndef CAROVEL_MIX_STOP_SIGNAL_H
#define CAROVEL_MIX_STOP_SIGNAL_H

namespace carovel_mix {

// Catches SIGINT, SIGTERM and SIGHUP. Interrupted system calls are not
// restarted, so a read that waits on a pipe returns and the caller can stop.
void InstallStopHandlers();
// True once one of those signals arrived.
bool StopRequested();
// The first signal that arrived, 0 when none did.
int StopSignal();
// Throws Interrupted when a stop was requested.
void ThrowIfStopped();

}  // namespace carovel_mix

#endif  // CAROVEL_MIX_STOP_SIGNAL_H
