// carovel-mix: mixes audio files through the carovel mixer.
#include <csignal>
#include <cstdio>
#include <exception>

#include "mix_job.h"
#include "options.h"
#include "stop_signal.h"
#include "tool_error.h"

int main(int argc, char** argv) {
    using namespace carovel_mix;
    try {
        const Options options = ParseOptions(argc, argv);
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
        std::fprintf(stderr, "\ncarovel-mix: interrupted; no output written\n");
        return e.ExitStatus();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "carovel-mix: error: %s\n", e.what());
        return 1;
    }
}
