// The command line of carovel-mix.
#ifndef CAROVEL_MIX_OPTIONS_H
#define CAROVEL_MIX_OPTIONS_H

#include <map>
#include <string>
#include <vector>

namespace carovel_mix {

struct Options {
    std::string output;               // -o
    std::string masterOutput;         // --master-out, empty when not asked for
    std::vector<std::string> inputs;  // inputs[0] is the master
    unsigned rate = 0;                // 0: the master's
    unsigned channels = 0;            // 0: the master's
    unsigned bits = 0;                // 0: the master's (16 for a floating-point master)
    unsigned frameMs = 20;
    bool realtime = false;
    bool quiet = false;
    bool help = false;
    bool version = false;
    std::map<unsigned, float> gains;  // source index -> factor
};

// Parses argv[1..argc-1]. Throws UsageError with a one-line reason. When
// --help or --version is given, the other checks are skipped.
Options ParseOptions(int argc, const char* const* argv);

// The text printed by --help.
std::string UsageText();

}  // namespace carovel_mix

#endif  // CAROVEL_MIX_OPTIONS_H
