#include "options.h"

#include <sys/stat.h>

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <utility>

#include "carovel/format.h"
#include "loudness.h"
#include "output_file.h"
#include "sound_file.h"
#include "time_syntax.h"
#include "tool_error.h"

namespace carovel_mix {
namespace {

constexpr unsigned kMaxShort = std::numeric_limits<unsigned short>::max();
constexpr unsigned kMaxRate = _Carovel::kMaxSamplesPerSec;
// The library's per-source gain runs from 0 to 16.
constexpr double kMaxGain = 16.0;
// Option descriptions are folded to this width beside a column of names.
constexpr std::size_t kHelpWidth = 52;
// A day: longer offsets are surely a typing error.
constexpr double kMaxDelaySeconds = 86400.0;

std::string Lowercase(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

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

// A finite decimal number making up all of text; false otherwise.
bool ParseNumber(const std::string& text, double& value) {
    if (text.empty() || std::isspace(static_cast<unsigned char>(text[0]))) {
        return false;
    }
    char* end = nullptr;
    value = std::strtod(text.c_str(), &end);
    return *end == '\0' && std::isfinite(value);
}

// "N=VALUE": the source index N and the text of VALUE.
std::pair<unsigned, std::string> SplitIndexed(const std::string& option, const std::string& text,
                                              const std::string& example) {
    const std::size_t eq = text.find('=');
    if (eq == std::string::npos || eq == 0) {
        throw UsageError(option + " takes " + example + ", not '" + text + "'");
    }
    const unsigned source =
        ParseUnsigned(option + "'s source", text.substr(0, eq), 0, std::numeric_limits<int>::max());
    return {source, text.substr(eq + 1)};
}

// FACTOR or DECIBELS followed by "dB": 0 to 16 (+24.1 dB).
float ParseGainValue(const std::string& text) {
    std::string number = text;
    bool decibels = false;
    if (number.size() > 2 && Lowercase(number.substr(number.size() - 2)) == "db") {
        number.resize(number.size() - 2);
        decibels = true;
    }
    double value = 0.0;
    if (!ParseNumber(number, value)) {
        throw UsageError("--gain takes a factor such as 0.5 or a level such as -6dB, not '" + text +
                         "'");
    }
    const double factor = decibels ? std::pow(10.0, value / 20.0) : value;
    if (factor < 0.0 || factor > kMaxGain) {
        throw UsageError("--gain takes a factor from 0 to 16 (at most +24dB), not '" + text + "'");
    }
    return static_cast<float>(factor);
}

double ParsePanValue(const std::string& text) {
    const std::string lower = Lowercase(text);
    if (lower == "left") {
        return -1.0;
    }
    if (lower == "right") {
        return 1.0;
    }
    if (lower == "center" || lower == "centre") {
        return 0.0;
    }
    double value = 0.0;
    if (!ParseNumber(text, value) || value < -1.0 || value > 1.0) {
        throw UsageError("--pan takes left, right, center or a position from -1 to 1, not '" +
                         text + "'");
    }
    return value;
}

double ParseDelayValue(const std::string& text) {
    const auto value = ParseTime(text);
    if (!value || *value > kMaxDelaySeconds) {
        throw UsageError(
            "--delay takes a time from 0 to 24 hours (90, 1.5, 1:02.5, 1500ms), not '" + text +
            "'");
    }
    return *value;
}

TrimRange ParseTrimValue(const std::string& text) {
    const auto range = ParseTimeRange(text);
    if (!range || (range->second && *range->second <= range->first)) {
        throw UsageError(
            "--trim takes START[:END], times in the source with END after START "
            "(10, 1:00:2:30, 500ms:90), not '" +
            text + "'");
    }
    return TrimRange{range->first, range->second};
}

FadeTimes ParseFadeValue(const std::string& text) {
    const auto range = ParseTimeRange(text);
    if (!range) {
        throw UsageError("--fade takes IN[:OUT], fade lengths such as 2 or 1.5:3, not '" + text +
                         "'");
    }
    return FadeTimes{range->first, range->second.value_or(0.0)};
}

RawLayout ParseRawValue(const std::string& text) {
    const std::string example =
        "RATE:CHANNELS:ENCODING (encodings u8 s8 s16 s24 s32 f32 f64 ulaw alaw), for example "
        "8000:1:s16, not '" +
        text + "'";
    const std::size_t a = text.find(':');
    const std::size_t b = a == std::string::npos ? a : text.find(':', a + 1);
    if (b == std::string::npos) {
        throw UsageError("--raw takes " + example);
    }
    RawLayout raw;
    raw.rate = ParseUnsigned("--raw's rate", text.substr(0, a), 1, kMaxRate);
    raw.channels = ParseUnsigned("--raw's channels", text.substr(a + 1, b - a - 1), 1, kMaxShort);
    raw.encoding = Lowercase(text.substr(b + 1));
    if (!IsRawEncoding(raw.encoding)) {
        throw UsageError("--raw takes " + example);
    }
    return raw;
}

MixLength ParseLength(const std::string& text) {
    const std::string lower = Lowercase(text);
    if (lower == "longest") {
        return MixLength::kLongest;
    }
    if (lower == "master") {
        return MixLength::kMaster;
    }
    if (lower == "shortest") {
        return MixLength::kShortest;
    }
    throw UsageError("--length takes longest, master or shortest, not '" + text + "'");
}

Encoding ParseEncoding(const std::string& text) {
    const std::string lower = Lowercase(text);
    if (lower == "pcm") {
        return Encoding::kPcm;
    }
    if (lower == "float") {
        return Encoding::kFloat;
    }
    if (lower == "ulaw" || lower == "mu-law" || lower == "mulaw") {
        return Encoding::kUlaw;
    }
    if (lower == "alaw" || lower == "a-law") {
        return Encoding::kAlaw;
    }
    throw UsageError("--encoding takes pcm, float, ulaw or alaw, not '" + text + "'");
}

// Text folded into lines of at most `width` characters at spaces.
std::string Wrapped(const std::string& text, std::size_t width) {
    std::string out;
    std::size_t lineStart = 0;
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t end = text.find(' ', pos);
        end = end == std::string::npos ? text.size() : end;
        const std::string word = text.substr(pos, end - pos);
        if (out.size() > lineStart && out.size() - lineStart + 1 + word.size() > width) {
            out += '\n';
            lineStart = out.size();
        } else if (out.size() > lineStart) {
            out += ' ';
        }
        out += word;
        pos = end + 1;
    }
    return out;
}

// The raw text of every option; turned into Options once all are read, so
// that each message can name the option and the value as typed.
struct RawOptions {
    std::string output;
    std::string masterOutput;
    std::vector<std::string> inputs;
    std::string rate;
    std::string channels;
    std::string bits;
    std::string frameMs;
    std::string length;
    std::vector<std::string> delays;
    std::vector<std::string> trims;
    std::vector<std::string> fades;
    std::vector<std::string> raws;
    std::vector<std::string> pans;
    std::vector<std::string> gains;
    std::vector<std::string> minusOutputs;
    std::string type;
    std::string encoding;
    std::string loudness;
    std::string quality;
    std::string bitrate;
    bool limiter = false;
    bool normalize = false;
    bool noDither = false;
    bool convertEach = false;
    bool null = false;
    bool realtime = false;
    bool quiet = false;
    bool version = false;
};

// Help in the layout of the other tools of the project: the usage line, the
// options in groups, then the notes and examples of the footer.
class HelpFormatter : public CLI::Formatter {
  public:
    HelpFormatter() { column_width(26); }
    std::string make_usage(const CLI::App*, std::string) const override {
        return "Usage: carovel-mix [options] -o MIX MASTER [SOURCE ...]\n"
               "       carovel-mix [options] -n MASTER [SOURCE ...]\n";
    }
    std::string make_positionals(const CLI::App*) const override { return {}; }
    std::string make_help(const CLI::App* app, std::string name,
                          CLI::AppFormatMode mode) const override {
        // CLI11 ends each group with a blank line and starts the next with
        // one; keep a single one.
        std::string groups = make_groups(app, mode);
        for (std::size_t at; (at = groups.find("\n\n\n")) != std::string::npos;) {
            groups.erase(at, 1);
        }
        while (!groups.empty() && groups.back() == '\n') {
            groups.pop_back();
        }
        return make_usage(app, name) + "\n" + app->get_description() + groups + "\n\n" +
               app->get_footer();
    }
};

std::string DescriptionText() {
    return "Mixes audio files through the carovel mixer. MASTER is source 0 and paces the\n"
           "mixer; the SOURCEs are 1, 2, ... in order. Each file is fed in its own format\n"
           "and converted by the mixer. By default the mix lasts until the last source\n"
           "ends (--length). '-' as MASTER or SOURCE reads standard input; after '--'\n"
           "every word is a file, even one that starts with '-'.\n";
}

std::string FooterText() {
    return std::string(
               "Sources: --gain, --pan, --delay, --trim, --fade and --raw take SOURCE=VALUE,\n"
               "once per source (a source named twice is an error).\n") +
           TimeSyntaxText() +
           "--trim cuts a source first; --fade then fades that part in and out, silent at\n"
           "both ends, along a quarter sine (equal power). --pan places a source in a\n"
           "stereo mix with equal power (center is -3 dB on each side; a source of several\n"
           "channels is folded to mono first); a source without --pan keeps its channels,\n"
           "a mono source on both sides at full level.\n"
           "\n"
           "Loudness: --loudness measures the mix's integrated loudness by EBU R128 and\n"
           "scales the mix to the target, limiting its true peak to -1 dBTP where needed;\n"
           "the summary shows the loudness measured before and after. Where an output\n"
           "stores fewer bits than the mix was made with (--normalize, --loudness) it is\n"
           "dithered (TPDF) unless --no-dither is given.\n"
           "\n"
           "Output: the container follows each output's name unless --type says\n"
           "otherwise; the names end in\n" +
           OutputExtensions() +
           ".\n"
           "'-o -' writes standard output, WAV unless --type says otherwise, and the\n"
           "summary then goes to standard error; a device such as /dev/null or a named\n"
           "pipe gets WAV too. Existing files are replaced only when complete; an input,\n"
           "or a file you cannot write, is never replaced. A WAV output whose audio\n"
           "passes 4 GiB is written as RF64 (the summary says so). MP3 and Opus take\n"
           "--quality (variable bit rate) or --bitrate (constant); Opus runs at 8000,\n"
           "12000, 16000, 24000 or 48000 Hz.\n"
           "\n"
           "The summary lists each source's peak and RMS level over the part that went\n"
           "into the mix, in dB relative to full scale (a full-scale sine has an RMS of\n"
           "-3 dBFS), and counts the mix's clipped samples: those at either end of the\n"
           "sample range. Warnings (clipping, a truncated input, an empty master) go to\n"
           "standard error and leave the exit status as it is.\n"
           "\n"
           "Examples:\n"
           "  Call recording: caller on the left, agent on the right, the agent's leg\n"
           "  starting 0.25 s late:\n"
           "    carovel-mix --pan 0=left --pan 1=right --delay 1=0.25 -o call.wav \\\n"
           "        caller.wav agent.wav\n"
           "  Podcast: two voices and a music bed 12 dB down, peak at -1 dBFS, FLAC:\n"
           "    carovel-mix --rate 48000 --gain 2=-12dB --normalize -o episode.flac \\\n"
           "        host.wav guest.wav music.flac\n"
           "  Podcast for publishing: the guest's first 4.5 s cut, the music bed from\n"
           "  0:30 to 2:00 faded in over 2 s and out over 5 s, at -16 LUFS, as MP3:\n"
           "    carovel-mix --rate 48000 --trim 1=4.5 --trim 2=0:30:2:00 --fade 2=2:5 \\\n"
           "        --gain 2=-12dB --loudness -16 --bitrate 128 -o episode.mp3 \\\n"
           "        host.wav guest.wav music.flac\n"
           "  Mix-minus feeds: each guest gets the mix without their own voice:\n"
           "    carovel-mix -o mix.wav --minus-out 1=to-guest1.wav \\\n"
           "        --minus-out 2=to-guest2.wav host.wav guest1.wav guest2.wav\n"
           "  In a pipe, 8-bit mu-law to standard output:\n"
           "    sox in.flac -t wav - | carovel-mix --encoding ulaw -o - - bed.wav > out.wav\n"
           "\n"
           "Exit status: 0 on success, 1 when mixing failed (the message names the file and\n"
           "the cause, and no output file is left behind), 2 for a bad command line, 130\n"
           "when interrupted (143 on SIGTERM).\n";
}

void Declare(CLI::App& app, RawOptions& raw) {
    app.formatter(std::make_shared<HelpFormatter>());
    app.allow_extras(true);  // unknown options are reported by ParseOptions
    const auto add = [&app](const std::string& names, std::string& to, const std::string& text,
                            const std::string& help, const std::string& group) {
        app.add_option(names, to, Wrapped(help, kHelpWidth))
            ->option_text(text)
            ->group(group)
            ->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
    };
    const auto repeat = [&app](const std::string& names, std::vector<std::string>& to,
                               const std::string& text, const std::string& help,
                               const std::string& group) {
        app.add_option(names, to, Wrapped(help, kHelpWidth))
            ->option_text(text)
            ->group(group)
            ->allow_extra_args(false);
    };
    const auto flag = [&app](const std::string& names, bool& to, const std::string& help,
                             const std::string& group) {
        app.add_flag(names, to, Wrapped(help, kHelpWidth))->group(group);
    };

    const std::string output = "Output";
    add("-o,--output", raw.output, "FILE",
        "write the mix to FILE (required unless -n; - for stdout)", output);
    add("--master-out", raw.masterOutput, "FILE",
        "also write the master track as the mixer delivered it", output);
    repeat("--minus-out", raw.minusOutputs, "N=FILE",
           "also write source N's mix-minus: the mix of every other source, aligned with the "
           "mix",
           output);
    add("--type", raw.type, "TYPE",
        "container of the output files: " + OutputTypes() + " (default: from each name)", output);
    add("--encoding", raw.encoding, "ENC",
        "pcm (default), float, ulaw or alaw; PCM is written at the mixing width (--bits); "
        "float mixes in float, keeping what goes beyond full scale",
        output);
    add("--quality", raw.quality, "Q",
        "MP3, Opus and Ogg Vorbis outputs: 0 (smallest) to 10 (best); MP3 and Opus default "
        "to 7",
        output);
    add("--bitrate", raw.bitrate, "KBPS",
        "MP3 and Opus outputs: a constant bit rate in kbit/s instead of --quality", output);
    flag("--no-dither", raw.noDither,
         "no TPDF dither where the outputs store fewer bits than the mix was made with "
         "(--normalize, --loudness)",
         output);
    flag("-n,--null", raw.null, "mix and report, but write nothing (-o is then not needed)",
         output);

    const std::string sources = "Sources";
    repeat("--gain", raw.gains, "N=GAIN",
           "scale source N in the mix by a factor (0.5) or a level (-6dB), 0 to 16 (+24 dB)",
           sources);
    repeat("--pan", raw.pans, "N=POS",
           "place source N in a stereo mix: left, right, center or -1 (left) to 1 (right)",
           sources);
    repeat("--delay", raw.delays, "N=TIME",
           "start source N this long after the mix starts (the master too)", sources);
    repeat("--trim", raw.trims, "N=START[:END]",
           "use only this part of source N (times in the source); with --delay the part starts "
           "at the delay",
           sources);
    repeat("--fade", raw.fades, "N=IN[:OUT]",
           "fade source N in over IN and out over OUT (equal power), after --trim", sources);
    repeat("--raw", raw.raws, "N=RATE:CH:ENC",
           "read source N as headerless little-endian samples: ENC is u8, s8, s16, s24, s32, "
           "f32, f64, ulaw or alaw",
           sources);

    const std::string mix = "Mix";
    add("--length", raw.length, "WHICH",
        "longest (default): until the last source ends; master: until the master ends; "
        "shortest: until the first source ends",
        mix);
    add("--rate", raw.rate, "HZ",
        "output rate, 1 to 768000 (default: the master's); sources that share another rate "
        "are mixed at it and converted once",
        mix);
    add("--channels", raw.channels, "N", "mixing channels (default: the master's; 2 with --pan)",
        mix);
    add("--bits", raw.bits, "N",
        "mixing width: 8, 16, 24 or 32 (default: the master's; 16 for a floating-point or "
        "lossy master)",
        mix);
    add("--frame-ms", raw.frameMs, "MS",
        "frame length in milliseconds (default 20, rounded to whole samples where 20 ms is not); "
        "a frame given must be a whole number of samples",
        mix);
    flag("--convert-each", raw.convertEach,
         "convert every source to the output rate before mixing, even when they share a rate "
         "(the mix is the same within rounding, at several times the cost)",
         mix);
    flag("--limiter", raw.limiter,
         "limit the mix (and mix-minus outputs) below -1 dBFS instead of clipping", mix);
    flag("--normalize", raw.normalize,
         "mix with headroom, then scale each output so its peak is at -1 dBFS", mix);
    add("--loudness", raw.loudness, "LUFS",
        "mix with headroom, then scale the mix to this integrated loudness (EBU R128, e.g. "
        "-16), its true peak limited to -1 dBTP; mix-minus outputs get the same gain",
        mix);

    const std::string run = "Run";
    flag("--realtime", raw.realtime,
         "feed the sources at real-time pace and let the mixer's output thread pace the mix "
         "(default: as fast as possible)",
         run);
    flag("-q,--quiet", raw.quiet, "print no progress and no summary", run);
    flag("-V,--version", raw.version, "print the version and exit", run);
    app.set_help_flag("-h,--help", "print this help and exit")->group(run);

    app.add_option("files", raw.inputs, "MASTER and SOURCEs")->group("");
}

// A one-line message for CLI11's own parse errors.
std::string ParseErrorText(const CLI::ParseError& e) {
    std::string text = e.what();
    if (dynamic_cast<const CLI::ArgumentMismatch*>(&e) != nullptr) {
        const std::size_t colon = text.find(':');
        if (colon != std::string::npos && text.rfind("-", 0) == 0) {
            return text.substr(0, colon) + " needs a value";
        }
    }
    std::replace(text.begin(), text.end(), '\n', ' ');
    return text;
}

// Each SOURCE=VALUE of a per-source option; a source named twice is an
// error, so that no value is silently dropped.
template <typename T, typename Parse>
void ParseIndexedList(const std::vector<std::string>& texts, const std::string& option,
                      const std::string& example, std::map<unsigned, T>& into, Parse parse) {
    for (const auto& text : texts) {
        const auto [source, value] = SplitIndexed(option, text, example);
        if (!into.emplace(source, parse(value)).second) {
            throw UsageError(option + " is given twice for source " + std::to_string(source) +
                             "; give it once per source");
        }
    }
}

void CheckSourceIndex(const std::string& option, unsigned source, std::size_t sources) {
    if (source >= sources) {
        throw UsageError(option + " names source " + std::to_string(source) + ", but there are " +
                         (sources == 1 ? std::string("only 1 source (0)")
                                       : "only " + std::to_string(sources) + " sources (0 to " +
                                             std::to_string(sources - 1) + ")"));
    }
}

// True when path names something that exists and is not a regular file:
// a directory (refused later, with its own message), a device such as
// /dev/null, or a pipe (written as a stream, WAV unless --type says otherwise).
bool IsExistingSpecialFile(const std::string& path) {
    struct stat st {};
    return path != kStdioPath && stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode);
}

void CheckComplete(const Options& options) {
    if (options.output.empty() && !options.null) {
        throw UsageError("no output file given (-o MIX, or -n to write nothing)");
    }
    if (options.inputs.empty()) {
        throw UsageError("no master file given");
    }
    const std::size_t n = options.inputs.size();
    for (const auto& [source, gain] : options.gains) {
        CheckSourceIndex("--gain", source, n);
    }
    for (const auto& [source, pan] : options.pans) {
        CheckSourceIndex("--pan", source, n);
    }
    for (const auto& [source, delay] : options.delays) {
        CheckSourceIndex("--delay", source, n);
    }
    for (const auto& [source, trim] : options.trims) {
        CheckSourceIndex("--trim", source, n);
    }
    for (const auto& [source, fade] : options.fades) {
        CheckSourceIndex("--fade", source, n);
    }
    for (const auto& [source, raw] : options.raws) {
        CheckSourceIndex("--raw", source, n);
    }
    for (const auto& [source, path] : options.minusOutputs) {
        CheckSourceIndex("--minus-out", source, n);
        if (path.empty()) {
            throw UsageError("--minus-out " + std::to_string(source) + "= names no file");
        }
    }
    if (std::count(options.inputs.begin(), options.inputs.end(), kStdioPath) > 1) {
        throw UsageError("standard input ('-') can be read only once");
    }
    if (!options.pans.empty() && options.channels != 0 && options.channels != 2) {
        throw UsageError("--pan places sources in a stereo mix, but --channels asks for " +
                         std::to_string(options.channels));
    }
    if (options.limiter && options.normalize) {
        throw UsageError("--limiter and --normalize exclude each other: --normalize never clips");
    }
    if (options.realtime && options.normalize) {
        throw UsageError(
            "--normalize needs the whole mix before writing it; it cannot be used "
            "with --realtime");
    }
    if (options.loudness && (options.normalize || options.limiter || options.realtime)) {
        throw UsageError(
            "--loudness needs the whole mix before writing it and limits its true peak itself; "
            "it cannot be used with --normalize, --limiter or --realtime");
    }
    if (!options.type.empty() && !IsOutputType(options.type)) {
        throw UsageError("--type takes one of " + OutputTypes() + ", not '" + options.type + "'");
    }
    const std::vector<std::string> outputs = options.Outputs();
    if (options.null) {
        return;  // nothing is written: the names do not matter
    }
    if (std::count(outputs.begin(), outputs.end(), kStdioPath) > 1) {
        throw UsageError("only one output can go to standard output ('-')");
    }
    for (std::size_t i = 0; i < outputs.size(); ++i) {
        for (std::size_t j = i + 1; j < outputs.size(); ++j) {
            if (outputs[i] == outputs[j]) {
                throw UsageError("'" + outputs[i] + "' is named as two outputs");
            }
        }
    }
    if (options.type.empty()) {
        for (const auto& path : outputs) {
            if (path != kStdioPath && OutputTypeOfName(path).empty() &&
                !IsExistingSpecialFile(path)) {
                throw UsageError("cannot tell the type of '" + path +
                                 "' from its name; use --type " + "or one of " +
                                 OutputExtensions());
            }
        }
    }
}

}  // namespace

std::vector<std::string> Options::Outputs() const {
    std::vector<std::string> all;
    if (!output.empty()) {
        all.push_back(output);
    }
    if (!masterOutput.empty()) {
        all.push_back(masterOutput);
    }
    for (const auto& minus : minusOutputs) {
        all.push_back(minus.second);
    }
    return all;
}

Options ParseOptions(int argc, const char* const* argv) {
    CLI::App app(DescriptionText(), "carovel-mix");
    RawOptions raw;
    Declare(app, raw);
    // Everything after a lone "--" is a file, even when it starts with a dash.
    int optionCount = argc;
    for (int i = 1; i < argc; ++i) {
        if (std::string(argv[i]) == "--") {
            optionCount = i;
            break;
        }
    }
    try {
        app.parse(optionCount, argv);
    } catch (const CLI::CallForHelp&) {
        Options options;
        options.help = true;
        return options;
    } catch (const CLI::ParseError& e) {
        throw UsageError(ParseErrorText(e));
    }
    for (const auto& extra : app.remaining()) {
        throw UsageError("unknown option '" + extra + "'");
    }
    // Options that take one value: given once, and with a value.
    for (const char* name :
         {"--output", "--master-out", "--type", "--encoding", "--quality", "--bitrate", "--length",
          "--rate", "--channels", "--bits", "--frame-ms", "--loudness"}) {
        const CLI::Option* option = app.get_option(name);
        if (option->count() > 1) {
            throw UsageError(std::string(name) + " is given more than once");
        }
        if (option->count() == 1 && option->results().front().empty()) {
            throw UsageError(std::string(name) + " needs a value, not an empty one");
        }
    }

    Options options;
    options.version = raw.version;
    if (options.version) {
        return options;
    }
    options.output = raw.output;
    options.masterOutput = raw.masterOutput;
    options.inputs = raw.inputs;
    for (int i = optionCount + 1; i < argc; ++i) {
        options.inputs.emplace_back(argv[i]);
    }
    if (!raw.rate.empty()) {
        options.rate = ParseUnsigned("--rate", raw.rate, 1, kMaxRate);
    }
    if (!raw.channels.empty()) {
        options.channels = ParseUnsigned("--channels", raw.channels, 1, kMaxShort);
    }
    if (!raw.bits.empty()) {
        options.bits = ParseUnsigned("--bits", raw.bits, 8, 32);
        if (options.bits % 8 != 0) {
            throw UsageError("--bits takes 8, 16, 24 or 32, not " + std::to_string(options.bits));
        }
    }
    if (!raw.frameMs.empty()) {
        options.frameMs = ParseUnsigned("--frame-ms", raw.frameMs, 1, 10000);
        options.frameMsGiven = true;
    }
    if (!raw.length.empty()) {
        options.length = ParseLength(raw.length);
    }
    if (!raw.encoding.empty()) {
        options.encoding = ParseEncoding(raw.encoding);
    }
    options.type = Lowercase(raw.type);
    ParseIndexedList(raw.gains, "--gain", "SOURCE=GAIN, for example 1=0.5 or 1=-6dB", options.gains,
                     ParseGainValue);
    ParseIndexedList(raw.pans, "--pan", "SOURCE=POSITION, for example 0=left", options.pans,
                     ParsePanValue);
    ParseIndexedList(raw.delays, "--delay", "SOURCE=TIME, for example 1=0.25", options.delays,
                     ParseDelayValue);
    ParseIndexedList(raw.trims, "--trim", "SOURCE=START[:END], for example 1=10:70", options.trims,
                     ParseTrimValue);
    ParseIndexedList(raw.fades, "--fade", "SOURCE=IN[:OUT], for example 2=3:5", options.fades,
                     ParseFadeValue);
    ParseIndexedList(raw.raws, "--raw", "SOURCE=RATE:CHANNELS:ENCODING, for example 1=8000:1:s16",
                     options.raws, ParseRawValue);
    ParseIndexedList(raw.minusOutputs, "--minus-out", "SOURCE=FILE, for example 1=minus1.wav",
                     options.minusOutputs, [](const std::string& path) { return path; });
    if (!raw.loudness.empty()) {
        double lufs = 0.0;
        if (!ParseNumber(raw.loudness, lufs) || lufs < -70.0 || lufs > 0.0) {
            throw UsageError("--loudness takes a target from -70 to 0 LUFS, such as -16, not '" +
                             raw.loudness + "'");
        }
        if (!LoudnessAvailable()) {
            throw UsageError(
                "--loudness is not available: this carovel-mix was built without libebur128");
        }
        options.loudness = lufs;
    }
    if (!raw.quality.empty()) {
        double quality = 0.0;
        if (!ParseNumber(raw.quality, quality) || quality < 0.0 || quality > 10.0) {
            throw UsageError("--quality takes 0 (smallest) to 10 (best), not '" + raw.quality +
                             "'");
        }
        options.quality = quality;
    }
    if (!raw.bitrate.empty()) {
        options.bitrate = ParseUnsigned("--bitrate", raw.bitrate, 8, 512);
    }
    if (options.quality && options.bitrate != 0) {
        throw UsageError("--quality and --bitrate exclude each other");
    }
    options.dither = !raw.noDither;
    options.null = raw.null;
    options.limiter = raw.limiter;
    options.normalize = raw.normalize;
    options.realtime = raw.realtime;
    options.convertEach = raw.convertEach;
    options.quiet = raw.quiet;
    CheckComplete(options);
    return options;
}

std::string UsageText() {
    CLI::App app(DescriptionText(), "carovel-mix");
    RawOptions raw;
    Declare(app, raw);
    app.footer(FooterText());
    return app.help();
}

}  // namespace carovel_mix
