#include "options.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <functional>
#include <limits>

#include "sound_file.h"
#include "tool_error.h"

namespace carovel_mix {
namespace {

unsigned ParseUnsigned(const std::string& option, const std::string& text, unsigned low,
                       unsigned high) {
    char* end = nullptr;
    errno = 0;
    const unsigned long value = std::strtoul(text.c_str(), &end, 10);
    if (text.empty() || text[0] == '-' || text[0] == '+' || *end != '\0' || errno != 0 ||
        value < low || value > high) {
        throw UsageError(option + " takes a whole number from " + std::to_string(low) + " to " +
                         std::to_string(high) + ", not '" + text + "'");
    }
    return static_cast<unsigned>(value);
}

// "N=FACTOR", N a source index and FACTOR a finite number.
std::pair<unsigned, float> ParseGain(const std::string& text) {
    const std::size_t eq = text.find('=');
    if (eq == std::string::npos) {
        throw UsageError("--gain takes SOURCE=FACTOR, for example 1=0.5, not '" + text + "'");
    }
    const unsigned source =
        ParseUnsigned("--gain's source", text.substr(0, eq), 0, std::numeric_limits<int>::max());
    const std::string factorText = text.substr(eq + 1);
    char* end = nullptr;
    const float factor = std::strtof(factorText.c_str(), &end);
    if (factorText.empty() || *end != '\0' || !std::isfinite(factor)) {
        throw UsageError("--gain's factor must be a finite number, not '" + factorText + "'");
    }
    return {source, factor};
}

bool IsOption(const std::string& arg) {
    return arg.size() > 1 && arg[0] == '-';
}

class ArgReader {
  public:
    ArgReader(int argc, const char* const* argv) : m_args(argv + 1, argv + argc) {}
    bool Done() const { return m_next >= m_args.size(); }
    std::string Next() { return m_args[m_next++]; }
    // The value of option: after '=' when inline holds one, else the next
    // argument.
    std::string Value(const std::string& option, const std::string* inlineValue) {
        if (inlineValue != nullptr) {
            return *inlineValue;
        }
        if (Done()) {
            throw UsageError(option + " needs a value");
        }
        return Next();
    }

  private:
    std::vector<std::string> m_args;
    std::size_t m_next = 0;
};

void CheckComplete(const Options& options) {
    if (options.help || options.version) {
        return;
    }
    if (options.output.empty()) {
        throw UsageError("no output file given (-o MIX)");
    }
    if (options.inputs.empty()) {
        throw UsageError("no master file given");
    }
    for (const auto& gain : options.gains) {
        if (gain.first >= options.inputs.size()) {
            throw UsageError("--gain names source " + std::to_string(gain.first) +
                             ", but there are only " + std::to_string(options.inputs.size()) +
                             " sources (0 to " + std::to_string(options.inputs.size() - 1) + ")");
        }
    }
    if (!options.masterOutput.empty() && options.masterOutput == options.output) {
        throw UsageError("-o and --master-out name the same file");
    }
}

}  // namespace

Options ParseOptions(int argc, const char* const* argv) {
    Options options;
    ArgReader args(argc, argv);
    bool onlyFiles = false;
    constexpr unsigned kMaxShort = std::numeric_limits<unsigned short>::max();
    while (!args.Done()) {
        const std::string arg = args.Next();
        if (onlyFiles || !IsOption(arg)) {
            options.inputs.push_back(arg);
            continue;
        }
        if (arg == "--") {
            onlyFiles = true;
            continue;
        }
        const std::size_t eq = arg.rfind("--", 0) == 0 ? arg.find('=') : std::string::npos;
        const std::string name = arg.substr(0, eq);
        const std::string inlineText = eq == std::string::npos ? std::string() : arg.substr(eq + 1);
        const std::string* inlineValue = eq == std::string::npos ? nullptr : &inlineText;
        if (name == "-o" || name == "--output") {
            options.output = args.Value(name, inlineValue);
        } else if (name == "--master-out") {
            options.masterOutput = args.Value(name, inlineValue);
        } else if (name == "--rate") {
            options.rate = ParseUnsigned(name, args.Value(name, inlineValue), 1, kMaxShort);
        } else if (name == "--channels") {
            options.channels = ParseUnsigned(name, args.Value(name, inlineValue), 1, kMaxShort);
        } else if (name == "--bits") {
            options.bits = ParseUnsigned(name, args.Value(name, inlineValue), 8, 32);
            if (options.bits % 8 != 0) {
                throw UsageError("--bits takes 8, 16, 24 or 32, not " +
                                 std::to_string(options.bits));
            }
        } else if (name == "--frame-ms") {
            options.frameMs = ParseUnsigned(name, args.Value(name, inlineValue), 1, 10000);
        } else if (name == "--gain") {
            const auto gain = ParseGain(args.Value(name, inlineValue));
            options.gains.insert_or_assign(gain.first, gain.second);
        } else if (name == "--realtime" && inlineValue == nullptr) {
            options.realtime = true;
        } else if ((name == "-q" || name == "--quiet") && inlineValue == nullptr) {
            options.quiet = true;
        } else if ((name == "-h" || name == "--help") && inlineValue == nullptr) {
            options.help = true;
        } else if ((name == "-V" || name == "--version") && inlineValue == nullptr) {
            options.version = true;
        } else {
            throw UsageError("unknown option '" + arg + "'");
        }
    }
    CheckComplete(options);
    return options;
}

std::string UsageText() {
    return "Usage: carovel-mix [options] -o MIX MASTER [SOURCE ...]\n"
           "\n"
           "Mixes audio files through the carovel mixer. MASTER is source 0 and paces the\n"
           "output: the mix is as long as the master. Each SOURCE (1, 2, ...) is fed in its\n"
           "own format and converted by the mixer; a source shorter than the master ends\n"
           "early, a longer one is cut where the master ends.\n"
           "\n"
           "Options:\n"
           "  -o, --output FILE   write the mix to FILE (required)\n"
           "  --master-out FILE   also write the master track as the mixer delivered it\n"
           "  --rate HZ           mixing rate, 1 to 65535 (default: the master's)\n"
           "  --channels N        mixing channels (default: the master's)\n"
           "  --bits N            mixing width: 8, 16, 24 or 32 (default: the master's;\n"
           "                      16 for a floating-point or lossy master)\n"
           "  --frame-ms MS       frame length in milliseconds (default 20); a frame must be\n"
           "                      a whole number of samples and at most 65535 bytes\n"
           "  --gain N=FACTOR     scale source N by FACTOR before mixing (repeatable)\n"
           "  --realtime          feed the sources at real-time pace and let the mixer's\n"
           "                      output thread pace the mix (default: as fast as possible)\n"
           "  -q, --quiet         print no progress and no summary\n"
           "  -h, --help          print this help and exit\n"
           "  -V, --version       print the version and exit\n"
           "\n"
           "The summary lists each source's peak and RMS level over the part that went\n"
           "into the mix, in dB relative to full scale (a full-scale sine has an RMS of\n"
           "-3 dBFS), and counts the mix's clipped samples: those at either end of the\n"
           "sample range.\n"
           "\n"
           "Files are read and written with libsndfile. The output type follows the\n"
           "file name: " +
           OutputExtensions() +
           ".\n"
           "\n"
           "Exit status: 0 on success, 1 when mixing failed (the message names the file and\n"
           "the cause, and no output file is left behind), 2 for a bad command line, 130\n"
           "when interrupted.\n";
}

}  // namespace carovel_mix
