// carovel-mix: mixes audio files through the carovel mixer.
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

#include "mix_session.h"
#include "mix_sink.h"
#include "options.h"
#include "report.h"
#include "source_feeder.h"
#include "tool_error.h"

namespace carovel_mix {
namespace {

volatile std::sig_atomic_t g_stopRequested = 0;

extern "C" void OnStopSignal(int) {
    g_stopRequested = 1;
}

void InstallStopHandlers() {
    struct sigaction action {};
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGHUP, &action, nullptr);
}

std::vector<SourceFeeder> OpenSources(const Options& options) {
    std::vector<SourceFeeder> sources;
    sources.reserve(options.inputs.size());
    for (std::size_t i = 0; i < options.inputs.size(); ++i) {
        const auto gain = options.gains.find(static_cast<unsigned>(i));
        sources.emplace_back(static_cast<long>(i), std::make_unique<InputFile>(options.inputs[i]),
                             gain == options.gains.end() ? 1.0f : gain->second,
                             MixSession::StepMs(options.realtime));
    }
    return sources;
}

// The command line's format where given, else the master's; a floating-point
// master is mixed at 16 bits.
PcmFormat MixingFormat(const Options& options, const InputFile& master) {
    PcmFormat format = master.Format();
    if (master.IsFloat()) {
        format.bits = 16;
    }
    format.rate = options.rate != 0 ? options.rate : format.rate;
    format.channels = options.channels != 0 ? options.channels : format.channels;
    format.bits = options.bits != 0 ? options.bits : format.bits;
    return format;
}

int Mix(const Options& options) {
    std::vector<SourceFeeder> sources = OpenSources(options);
    const PcmFormat format = MixingFormat(options, sources.front().File());
    FrameBytes(format, options.frameMs);  // a clear message before any file is created
    MixSink sink(options.output, options.masterOutput, format);
    MixSession session(sources, sink, options.frameMs, !options.realtime);

    ProgressBar bar(stderr, !options.quiet && isatty(STDERR_FILENO) == 1);
    const auto start = std::chrono::steady_clock::now();
    session.Run(
        options.realtime, [&bar](double fraction) { bar.Update(fraction); },
        [] { return g_stopRequested != 0; });
    sink.Commit();
    const std::chrono::duration<double> wall = std::chrono::steady_clock::now() - start;
    bar.Finish();

    if (!options.quiet) {
        MixFacts facts;
        facts.framesMixed = session.FramesMixed();
        facts.frameMs = options.frameMs;
        facts.wallSeconds = wall.count();
        const bool emphasis = isatty(STDOUT_FILENO) == 1 && std::getenv("NO_COLOR") == nullptr;
        std::fputs(Summary(sources, sink, facts, emphasis).c_str(), stdout);
    }
    return 0;
}

}  // namespace
}  // namespace carovel_mix

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
        return Mix(options);
    } catch (const UsageError& e) {
        std::fprintf(stderr, "carovel-mix: %s\nTry 'carovel-mix --help' for more information.\n",
                     e.what());
        return 2;
    } catch (const Interrupted&) {
        std::fprintf(stderr, "\ncarovel-mix: interrupted; no output written\n");
        return 130;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "carovel-mix: error: %s\n", e.what());
        return 1;
    }
}
