// carovel-mix: mixes audio files through the carovel mixer.
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <exception>

#include "mix_job.h"
#include "options.h"
#include "stop_signal.h"
#include "tool_error.h"

int main(int argc, char** argv) {
    using namespace carovel_mix;
    bool quiet = false;
    // On a terminal the message starts on a line of its own, after the
    // echoed ^C or the progress bar.
    const auto interrupted = [&quiet](int status) {
        const bool newLine = !quiet && isatty(STDERR_FILENO) == 1;
        std::fprintf(stderr, "%scarovel-mix: interrupted; no output written\n",
                     newLine ? "\n" : "");
        return status;
    };
    try {
        const Options options = ParseOptions(argc, argv);
        quiet = options.quiet;
        if (options.help) {
            std::fputs(UsageText().c_str(), stdout);
            return 0;
        }
        if (options.version) {
            std::printf("carovel-mix %s\n", CAROVEL_MIX_VERSION);
            return 0;
        }
        InstallStopHandlers();
        // A reader of standard output that goes away makes the next write
        // fail, which ends the run with a message, instead of killing it.
        std::signal(SIGPIPE, SIG_IGN);
        return RunMixJob(options);
    } catch (const UsageError& e) {
        std::fprintf(stderr, "carovel-mix: %s\nTry 'carovel-mix --help' for more information.\n",
                     e.what());
        return 2;
    } catch (const Interrupted& e) {
        return interrupted(e.ExitStatus());
    } catch (const std::exception& e) {
        // A failure a stop signal caused (an interrupted wait) is the stop.
        if (StopRequested()) {
            return interrupted(128 + StopSignal());
        }
        std::fprintf(stderr, "carovel-mix: error: %s\n", e.what());
        return 1;
    }
}
