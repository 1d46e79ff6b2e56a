// The command line of carovel-mix.
#ifndef CAROVEL_MIX_OPTIONS_H
#define CAROVEL_MIX_OPTIONS_H

#include <map>
#include <optional>
#include <string>
#include <vector>

namespace carovel_mix {

// Where the mix ends.
enum class MixLength {
    kLongest,   // when the last source ends (the master padded with silence)
    kMaster,    // when the master ends
    kShortest,  // when the first source ends
};

// How output samples are stored.
enum class Encoding {
    kPcm,    // integers of --bits (or the mixing width)
    kFloat,  // 32-bit floating point
    kUlaw,   // 8-bit mu-law
    kAlaw,   // 8-bit A-law
};

// The part of a source that goes into the mix (--trim), in seconds of the
// source.
struct TrimRange {
    double start = 0.0;
    std::optional<double> end;  // nothing: to the source's end
};

// Fade-in and fade-out lengths of a source (--fade), in seconds.
struct FadeTimes {
    double in = 0.0;
    double out = 0.0;
};

// A headerless input (--raw): little-endian samples of this layout.
struct RawLayout {
    unsigned rate = 0;
    unsigned channels = 0;
    std::string encoding;  // u8 s8 s16 s24 s32 f32 f64 ulaw alaw
};

// The path that stands for standard input (as an input) and standard output
// (as an output).
inline constexpr const char* kStdioPath = "-";

struct Options {
    std::string output;               // -o
    std::string masterOutput;         // --master-out, empty when not asked for
    std::vector<std::string> inputs;  // inputs[0] is the master
    unsigned rate = 0;                // 0: the master's
    unsigned channels = 0;            // 0: the master's (2 when a source is panned)
    unsigned bits = 0;                // 0: the master's (16 for a floating-point master)
    unsigned frameMs = 20;
    // Whether --frame-ms was given: then a frame must be a whole number of
    // samples; otherwise 20 ms is rounded to whole samples.
    bool frameMsGiven = false;
    MixLength length = MixLength::kLongest;
    std::map<unsigned, double> delays;             // source index -> seconds
    std::map<unsigned, TrimRange> trims;           // source index -> part used
    std::map<unsigned, FadeTimes> fades;           // source index -> fade lengths
    std::map<unsigned, RawLayout> raws;            // source index -> headerless layout
    std::map<unsigned, double> pans;               // source index -> -1 (left) .. 1 (right)
    std::map<unsigned, float> gains;               // source index -> factor
    std::map<unsigned, std::string> minusOutputs;  // source index -> file
    bool limiter = false;
    bool normalize = false;
    std::optional<double> loudness;  // --loudness: integrated LUFS of the mix
    bool dither = true;              // TPDF dither where fewer bits are stored than mixed
    std::optional<double> quality;   // --quality: 0 (smallest) to 10 (best), lossy outputs
    unsigned bitrate = 0;            // --bitrate: kbit/s of lossy outputs, 0: by quality
    bool null = false;               // -n: mix and report, write nothing
    std::string type;                // output container; empty: from each output's name
    Encoding encoding = Encoding::kPcm;
    bool realtime = false;
    bool convertEach = false;  // --convert-each: never mix at the sources' rate
    bool quiet = false;
    bool help = false;
    bool version = false;

    // Every output file: the mix first, then --master-out, then the
    // --minus-out files in source order.
    std::vector<std::string> Outputs() const;
};

// Parses argv[1..argc-1]. Throws UsageError with a one-line reason. When
// --help or --version is given, the other checks are skipped.
Options ParseOptions(int argc, const char* const* argv);

// The text printed by --help.
std::string UsageText();

}  // namespace carovel_mix

#endif  // CAROVEL_MIX_OPTIONS_H
