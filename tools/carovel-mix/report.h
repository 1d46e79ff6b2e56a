// What carovel-mix prints: the progress bar and the closing summary.
#ifndef CAROVEL_MIX_REPORT_H
#define CAROVEL_MIX_REPORT_H

#include <chrono>
#include <cstdio>
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
// about a second, redrawn at most ten times a second and erased at the end.
class ProgressBar {
  public:
    ProgressBar(std::FILE* out, bool enabled);
    ~ProgressBar();
    ProgressBar(const ProgressBar&) = delete;
    ProgressBar& operator=(const ProgressBar&) = delete;

    void Update(double fraction);
    void Finish();

  private:
    std::FILE* m_out;
    bool m_enabled;
    bool m_shown = false;
    std::chrono::steady_clock::time_point m_start;
    std::chrono::steady_clock::time_point m_lastDraw;
};

struct MixFacts {
    std::uint64_t framesMixed = 0;
    unsigned frameMs = 0;
    double wallSeconds = 0.0;
};

// The summary: one row per source, then the mix.
std::string Summary(const std::vector<SourceFeeder>& sources, const MixSink& sink,
                    const MixFacts& facts, bool emphasis);

// "-3.1", "-inf".
std::string FormatDb(double db);

}  // namespace carovel_mix

#endif  // CAROVEL_MIX_REPORT_H
