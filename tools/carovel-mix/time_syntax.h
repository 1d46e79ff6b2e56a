// Times on carovel-mix's command line: "90" and "1.5" (seconds), "1:02.5"
// (minutes:seconds) and "1:02:03" (hours:minutes:seconds), "1500ms".
#ifndef CAROVEL_MIX_TIME_SYNTAX_H
#define CAROVEL_MIX_TIME_SYNTAX_H

#include <optional>
#include <string>
#include <utility>

namespace carovel_mix {

// The seconds `text` names, or nothing when it is not a time. A field after
// a colon has two digits and is below 60 (the seconds may have decimals);
// no sign, no spaces, and nothing but digits and one decimal point in a
// number.
std::optional<double> ParseTime(const std::string& text);

// "A[:B]" for --trim and --fade: the first time and, when given, the second.
// Split at the one colon that leaves a time on both sides; a text with no
// colon, or whose only split leaves it whole, is A alone. Nothing when the
// text is no time, no pair of times, or splits into times at more than one
// colon (then write them in seconds or with "ms").
std::optional<std::pair<double, std::optional<double>>> ParseTimeRange(const std::string& text);

// The help's one-line description of the time syntax.
const char* TimeSyntaxText();

}  // namespace carovel_mix

#endif  // CAROVEL_MIX_TIME_SYNTAX_H
