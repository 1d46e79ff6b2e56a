#include "report.h"

#include <algorithm>
#include <cmath>
#include <sstream>

namespace carovel_mix {
namespace {

std::string Fixed(double value, int decimals) {
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

std::string Seconds(double seconds) {
    return Fixed(seconds, 2) + " s";
}

std::string Speed(double mediaSeconds, double wallSeconds) {
    if (wallSeconds <= 0.0) {
        return "-";
    }
    const double ratio = mediaSeconds / wallSeconds;
    return Fixed(ratio, ratio < 10.0 ? 2 : ratio < 100.0 ? 1 : 0) + "x";
}

std::string SourceFormat(const InputFile& file) {
    std::string text = file.Container() + " " + Describe(file.Format());
    if (file.IsFloat()) {
        text.replace(text.size() - std::string("32-bit").size(), std::string::npos, "float");
    }
    return text;
}

}  // namespace

std::string FormatDb(double db) {
    return std::isinf(db) ? "-inf" : Fixed(db, 1);
}

std::string Table::Render(bool emphasis) const {
    std::vector<std::size_t> widths(m_numeric.size(), 0);
    for (const auto& row : m_rows) {
        for (std::size_t c = 0; c < row.size() && c < widths.size(); ++c) {
            widths[c] = std::max(widths[c], row[c].size());
        }
    }
    std::ostringstream out;
    for (std::size_t r = 0; r < m_rows.size(); ++r) {
        std::string line;
        for (std::size_t c = 0; c < m_rows[r].size() && c < widths.size(); ++c) {
            const std::string& cell = m_rows[r][c];
            const std::string pad(widths[c] - cell.size(), ' ');
            line += c == 0 ? "" : "  ";
            line += m_numeric[c] ? pad + cell : cell + pad;
        }
        line.erase(line.find_last_not_of(' ') + 1);
        const bool bold = emphasis && r == 0;
        out << (bold ? "\033[1m" : "") << line << (bold ? "\033[0m" : "") << '\n';
    }
    return out.str();
}

ProgressBar::ProgressBar(std::FILE* out, bool enabled)
    : m_out(out), m_enabled(enabled), m_start(std::chrono::steady_clock::now()) {}

ProgressBar::~ProgressBar() {
    Finish();
}

void ProgressBar::Update(double fraction) {
    if (!m_enabled) {
        return;
    }
    const auto now = std::chrono::steady_clock::now();
    if (now - m_start < std::chrono::seconds(1) ||
        (m_shown && now - m_lastDraw < std::chrono::milliseconds(100))) {
        return;
    }
    constexpr int kWidth = 40;
    fraction = std::clamp(fraction, 0.0, 1.0);
    const int filled = static_cast<int>(fraction * kWidth);
    std::fprintf(m_out, "\r[%s%s] %3d%%",
                 std::string(static_cast<std::size_t>(filled), '#').c_str(),
                 std::string(static_cast<std::size_t>(kWidth - filled), ' ').c_str(),
                 static_cast<int>(fraction * 100.0));
    std::fflush(m_out);
    m_shown = true;
    m_lastDraw = now;
}

void ProgressBar::Finish() {
    if (m_shown) {
        std::fprintf(m_out, "\r\033[K");
        std::fflush(m_out);
        m_shown = false;
    }
}

std::string Summary(const std::vector<SourceFeeder>& sources, const MixSink& sink,
                    const MixFacts& facts, bool emphasis) {
    Table inputs({true, false, false, true, true, true});
    inputs.AddRow({"source", "file", "format", "duration", "peak dBFS", "RMS dBFS"});
    for (const auto& source : sources) {
        inputs.AddRow({std::to_string(source.Id()), source.File().Path(),
                       SourceFormat(source.File()), Seconds(source.File().Seconds()),
                       FormatDb(source.Levels().PeakDbfs()), FormatDb(source.Levels().RmsDbfs())});
    }
    const double mixSeconds =
        static_cast<double>(sink.FramesWritten()) / static_cast<double>(sink.Format().rate);
    Table mix({false, false, true, true, true, true, true, true});
    mix.AddRow(
        {"mix", "format", "frames", "clipped", "duration", "peak dBFS", "RMS dBFS", "speed"});
    mix.AddRow({sink.MixPath(), Describe(sink.Format()),
                std::to_string(facts.framesMixed) + " x " + std::to_string(facts.frameMs) + " ms",
                std::to_string(sink.ClippedSamples()), Seconds(mixSeconds),
                FormatDb(sink.Levels().PeakDbfs()), FormatDb(sink.Levels().RmsDbfs()),
                Speed(mixSeconds, facts.wallSeconds)});
    return inputs.Render(emphasis) + "\n" + mix.Render(emphasis);
}

}  // namespace carovel_mix
