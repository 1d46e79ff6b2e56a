// What carovel-mix prints: the progress bar and the closing summary.
#ifndef CAROVEL_MIX_REPORT_H
#define CAROVEL_MIX_REPORT_H

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "mix_sink.h"
#include "source_feeder.h"

namespace carovel_mix {

// Rows of text printed in aligned columns; columns flagged numeric are
// right-aligned.
class Table {
  public:
    explicit Table(std::vector<bool> numeric) : m_numeric(std::move(numeric)) {}
    void AddRow(std::vector<std::string> cells) { m_rows.push_back(std::move(cells)); }
    // The first row is the heading; bold when emphasis is true.
    std::string Render(bool emphasis) const;

  private:
    std::vector<bool> m_numeric;
    std::vector<std::vector<std::string>> m_rows;
};

// A one-line progress bar on a terminal, shown only once the work has taken
// about a second, redrawn at most ten times a second and erased at the end:
// the bar, the position in the mix and its length, the time taken so far and
// an estimate of the time left.
class ProgressBar {
  public:
    // rate: frames of the mix per second, to show positions as times.
    ProgressBar(std::FILE* out, bool enabled, unsigned rate);
    ~ProgressBar();
    ProgressBar(const ProgressBar&) = delete;
    ProgressBar& operator=(const ProgressBar&) = delete;

    // A label shown before the bar, e.g. "normalising".
    void SetLabel(std::string label) { m_label = std::move(label); }
    void Update(std::uint64_t done, std::uint64_t total);
    void Finish();

  private:
    std::FILE* m_out;
    bool m_enabled;
    unsigned m_rate;
    std::string m_label;
    bool m_shown = false;
    std::chrono::steady_clock::time_point m_start;
    std::chrono::steady_clock::time_point m_lastDraw;
};

// The progress line without the carriage return: "[####    ]  42%
// 0:50.4 / 2:00.0  elapsed 0:03  left 0:04".
std::string ProgressLine(const std::string& label, std::uint64_t done, std::uint64_t total,
                         unsigned rate, double elapsedSeconds);
// "0:07", "12:03", "2:00:00".
std::string ClockText(double seconds);

// What --loudness measured and did.
struct LoudnessFacts {
    double target = 0.0;         // LUFS
    double inputLufs = 0.0;      // the mix as mixed; -inf when not measurable
    double inputTruePeak = 0.0;  // dBTP
    double gainDb = 0.0;         // applied to the mix and the mix-minus outputs
    Track::ScaledPass output;    // the mix as written
};

struct MixFacts {
    unsigned frameMs = 0;
    double wallSeconds = 0.0;
    std::optional<LoudnessFacts> loudness;
    std::vector<std::string> notes;  // lines for the notes after the tables
};

// The summary: one row per source, then one per output.
std::string Summary(const std::vector<const SourceFeeder*>& sources, const MixSink& sink,
                    const MixFacts& facts, bool emphasis);

// "-3.1", "-inf".
std::string FormatDb(double db);

}  // namespace carovel_mix

#endif  // CAROVEL_MIX_REPORT_H
