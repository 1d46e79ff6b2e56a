#include "report.h"

#include <algorithm>
#include <cmath>
#include <optional>
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
    // The stored encoding in place of the width it is read at.
    const std::string width = std::to_string(file.Format().bitsPerSample) + "-bit";
    text.replace(text.size() - width.size(), std::string::npos, file.EncodingLabel());
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

std::string ClockText(double seconds) {
    const auto total = static_cast<long long>(std::max(0.0, seconds) + 0.5);
    char text[32];
    if (total >= 3600) {
        std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", total / 3600, total / 60 % 60,
                      total % 60);
    } else {
        std::snprintf(text, sizeof text, "%lld:%02lld", total / 60, total % 60);
    }
    return text;
}

std::string ProgressLine(const std::string& label, std::uint64_t done, std::uint64_t total,
                         unsigned rate, double elapsedSeconds) {
    constexpr int kWidth = 30;
    const double fraction =
        total == 0 ? 1.0
                   : std::clamp(static_cast<double>(done) / static_cast<double>(total), 0.0, 1.0);
    const int filled = static_cast<int>(fraction * kWidth);
    std::string line = label.empty() ? std::string() : label + " ";
    line += "[" + std::string(static_cast<std::size_t>(filled), '#') +
            std::string(static_cast<std::size_t>(kWidth - filled), ' ') + "] ";
    char percent[8];
    std::snprintf(percent, sizeof percent, "%3d%%", static_cast<int>(fraction * 100.0));
    line += percent;
    const double perSecond = static_cast<double>(std::max(rate, 1u));
    line += "  " + ClockText(static_cast<double>(done) / perSecond) + " / " +
            ClockText(static_cast<double>(total) / perSecond);
    line += "  elapsed " + ClockText(elapsedSeconds);
    if (fraction > 0.0 && fraction < 1.0) {
        line += "  left " + ClockText(elapsedSeconds * (1.0 - fraction) / fraction);
    }
    return line;
}

ProgressBar::ProgressBar(std::FILE* out, bool enabled, unsigned rate)
    : m_out(out), m_enabled(enabled), m_rate(rate), m_start(std::chrono::steady_clock::now()) {}

ProgressBar::~ProgressBar() {
    Finish();
}

void ProgressBar::Update(std::uint64_t done, std::uint64_t total) {
    if (!m_enabled) {
        return;
    }
    const auto now = std::chrono::steady_clock::now();
    if (now - m_start < std::chrono::seconds(1) ||
        (m_shown && now - m_lastDraw < std::chrono::milliseconds(100))) {
        return;
    }
    const std::chrono::duration<double> elapsed = now - m_start;
    std::fprintf(m_out, "\r%s\033[K",
                 ProgressLine(m_label, done, total, m_rate, elapsed.count()).c_str());
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

namespace {

std::string GainText(double gain) {
    if (gain == 1.0) {
        return "0.0";
    }
    return gain <= 0.0 ? "-inf" : Fixed(20.0 * std::log10(gain), 1);
}

std::string PanText(const std::optional<double>& pan) {
    if (!pan) {
        return "-";
    }
    if (*pan == -1.0) {
        return "left";
    }
    if (*pan == 1.0) {
        return "right";
    }
    if (*pan == 0.0) {
        return "center";
    }
    return Fixed(*pan, 2);
}

void AddOutputRow(Table& table, const Track& track, const std::string& name,
                  const std::string& description, const MixFacts& facts) {
    const PcmFormat& format = track.Format();
    const std::uint64_t frameSamples =
        std::max<std::uint64_t>(1, std::uint64_t{format.samplesPerSec} * facts.frameMs / 1000);
    const double seconds =
        static_cast<double>(track.Frames()) / static_cast<double>(format.samplesPerSec);
    // The frames of the mix the output spans, the last one perhaps in part.
    const std::uint64_t frames = (track.Frames() + frameSamples - 1) / frameSamples;
    table.AddRow({name, description,
                  std::to_string(frames) + " x " + std::to_string(facts.frameMs) + " ms",
                  std::to_string(track.Clipped()), Seconds(seconds),
                  FormatDb(track.IsFloat() ? track.PeakDbfs() : track.Levels().PeakDbfs()),
                  FormatDb(track.Levels().RmsDbfs()), Speed(seconds, facts.wallSeconds)});
}

}  // namespace

std::string Summary(const std::vector<const SourceFeeder*>& sources, const MixSink& sink,
                    const MixFacts& facts, bool emphasis) {
    bool delays = false;
    bool gains = false;
    bool pans = false;
    for (const SourceFeeder* source : sources) {
        delays = delays || source->Setup().delayFrames != 0;
        gains = gains || source->Setup().gain != 1.0;
        pans = pans || source->Setup().pan.has_value();
    }
    std::vector<bool> numeric{true, false, false, true};
    std::vector<std::string> heading{"source", "file", "format", "duration"};
    if (delays) {
        numeric.push_back(true);
        heading.push_back("starts");
    }
    if (gains) {
        numeric.push_back(true);
        heading.push_back("gain dB");
    }
    if (pans) {
        numeric.push_back(false);
        heading.push_back("pan");
    }
    numeric.insert(numeric.end(), {true, true});
    heading.insert(heading.end(), {"peak dBFS", "RMS dBFS"});
    Table inputs(numeric);
    inputs.AddRow(heading);
    for (const SourceFeeder* source : sources) {
        std::vector<std::string> row{std::to_string(source->Id()), source->File().DisplayName(),
                                     SourceFormat(source->File()),
                                     Seconds(source->File().Seconds())};
        if (delays) {
            row.push_back(
                Seconds(static_cast<double>(source->Setup().delayFrames) / source->MixRate()));
        }
        if (gains) {
            row.push_back(GainText(source->Setup().gain));
        }
        if (pans) {
            row.push_back(PanText(source->Setup().pan));
        }
        row.push_back(FormatDb(source->Levels().PeakDbfs()));
        row.push_back(FormatDb(source->Levels().RmsDbfs()));
        inputs.AddRow(row);
    }
    Table outputs({false, false, true, true, true, true, true, true});
    outputs.AddRow(
        {"output", "format", "frames", "clipped", "duration", "peak dBFS", "RMS dBFS", "speed"});
    const std::string& description = sink.OutputDescription();
    AddOutputRow(outputs, sink.Mix(), sink.Mix().File()->DisplayName(), description, facts);
    for (const auto& minus : sink.Minus()) {
        AddOutputRow(outputs, *minus.second, minus.second->File()->DisplayName(), description,
                     facts);
    }
    std::string notes;
    if (sink.Format().samplesPerSec != sink.Mix().Format().samplesPerSec) {
        notes += "mixed at " + std::to_string(sink.Format().samplesPerSec) +
                 " Hz, the sources' rate, and converted once to " +
                 std::to_string(sink.Mix().Format().samplesPerSec) + " Hz\n";
    }
    for (const std::string& note : facts.notes) {
        notes += note + "\n";
    }
    const auto noteRf64 = [&notes](const Track& track) {
        if (track.File() != nullptr && track.File()->IsRf64()) {
            notes += track.File()->DisplayName() +
                     ": written as RF64 (WAV with 64-bit sizes), as its audio passes 4 GiB\n";
        }
    };
    noteRf64(sink.Mix());
    for (const auto& minus : sink.Minus()) {
        noteRf64(*minus.second);
    }
    if (facts.loudness && std::isfinite(facts.loudness->inputLufs)) {
        const LoudnessFacts& l = *facts.loudness;
        char text[256];
        std::snprintf(text, sizeof text,
                      "loudness: the mix measured %.1f LUFS (true peak %s dBTP); %+.1f dB "
                      "brought it to %.1f LUFS (target %.1f), true peak %s dBTP",
                      l.inputLufs, FormatDb(l.inputTruePeak).c_str(), l.gainDb, l.output.lufs,
                      l.target, FormatDb(l.output.truePeakDbtp).c_str());
        notes += text;
        if (l.output.leastGain < 1.0) {
            std::snprintf(text, sizeof text, "; limited by up to %.1f dB",
                          -20.0 * std::log10(l.output.leastGain));
            notes += text;
        }
        notes += "\n";
    }
    return inputs.Render(emphasis) + "\n" + outputs.Render(emphasis) +
           (notes.empty() ? "" : "\n" + notes);
}

}  // namespace carovel_mix
