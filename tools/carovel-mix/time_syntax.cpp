#include "time_syntax.h"

#include <cctype>
#include <cmath>
#include <vector>

namespace carovel_mix {
namespace {

// Digits with at most one decimal point, at least one digit; its value.
std::optional<double> Decimal(const std::string& text, bool allowPoint) {
    bool digit = false;
    bool point = false;
    for (const char c : text) {
        if (std::isdigit(static_cast<unsigned char>(c)) != 0) {
            digit = true;
        } else if (c == '.' && allowPoint && !point) {
            point = true;
        } else {
            return std::nullopt;
        }
    }
    if (!digit) {
        return std::nullopt;
    }
    const double value = std::strtod(text.c_str(), nullptr);
    return std::isfinite(value) ? std::optional<double>(value) : std::nullopt;
}

}  // namespace

std::optional<double> ParseTime(const std::string& text) {
    if (text.size() > 2 && text.compare(text.size() - 2, 2, "ms") == 0) {
        const auto ms = Decimal(text.substr(0, text.size() - 2), true);
        return ms ? std::optional<double>(*ms / 1000.0) : std::nullopt;
    }
    std::vector<std::string> fields;
    std::size_t start = 0;
    for (std::size_t colon; (colon = text.find(':', start)) != std::string::npos;
         start = colon + 1) {
        fields.push_back(text.substr(start, colon - start));
    }
    fields.push_back(text.substr(start));
    if (fields.size() > 3) {
        return std::nullopt;
    }
    double seconds = 0.0;
    for (std::size_t i = 0; i < fields.size(); ++i) {
        const bool last = i + 1 == fields.size();
        const std::string& field = fields[i];
        const auto value = Decimal(field, last);
        if (!value) {
            return std::nullopt;
        }
        if (i > 0) {
            // Two digits before any decimals, below 60.
            const std::size_t whole = field.find('.');
            if ((whole == std::string::npos ? field.size() : whole) != 2 || *value >= 60.0) {
                return std::nullopt;
            }
        }
        seconds = seconds * 60.0 + *value;
    }
    return seconds;
}

std::optional<std::pair<double, std::optional<double>>> ParseTimeRange(const std::string& text) {
    using Range = std::pair<double, std::optional<double>>;
    std::optional<Range> found;
    int splits = 0;
    for (std::size_t colon = text.find(':'); colon != std::string::npos;
         colon = text.find(':', colon + 1)) {
        const auto a = ParseTime(text.substr(0, colon));
        const auto b = ParseTime(text.substr(colon + 1));
        if (a && b) {
            found = Range{*a, *b};
            ++splits;
        }
    }
    if (splits > 1) {
        return std::nullopt;
    }
    if (splits == 1) {
        return found;
    }
    const auto whole = ParseTime(text);
    return whole ? std::optional<Range>(Range{*whole, std::nullopt}) : std::nullopt;
}

const char* TimeSyntaxText() {
    return "Times are seconds (90, 1.5), minutes:seconds (1:02.5), hours:minutes:seconds\n"
           "(1:02:03) or milliseconds (1500ms). In START:END and IN:OUT a time with colons\n"
           "needs the other one written with colons, in seconds or in ms where the split\n"
           "would be unclear (1:00:2:30 is 1:00 to 2:30).\n";
}

}  // namespace carovel_mix
