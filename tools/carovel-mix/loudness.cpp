#include "loudness.h"

#include <algorithm>
#include <cmath>
#include <string>

#include "tool_error.h"

#ifdef CAROVEL_MIX_HAVE_EBUR128
#include <ebur128.h>
#endif

namespace carovel_mix {

bool LoudnessAvailable() {
#ifdef CAROVEL_MIX_HAVE_EBUR128
    return true;
#else
    return false;
#endif
}

#ifdef CAROVEL_MIX_HAVE_EBUR128

struct LoudnessMeter::State {
    ebur128_state* meter = nullptr;
    unsigned channels = 0;
};

LoudnessMeter::LoudnessMeter(unsigned channels, unsigned rate) : m_state(new State) {
    m_state->channels = channels;
    m_state->meter = ebur128_init(channels, rate, EBUR128_MODE_I | EBUR128_MODE_TRUE_PEAK);
    if (m_state->meter == nullptr) {
        throw ToolError("the loudness meter cannot measure " + std::to_string(channels) +
                        " channels at " + std::to_string(rate) + " Hz");
    }
}

LoudnessMeter::~LoudnessMeter() {
    if (m_state->meter != nullptr) {
        ebur128_destroy(&m_state->meter);
    }
}

void LoudnessMeter::Add(const double* frames, std::size_t count) {
    if (count > 0 && ebur128_add_frames_double(m_state->meter, frames, count) != EBUR128_SUCCESS) {
        throw ToolError("the loudness meter failed (out of memory)");
    }
}

double LoudnessMeter::IntegratedLufs() const {
    double lufs = -HUGE_VAL;
    if (ebur128_loudness_global(m_state->meter, &lufs) != EBUR128_SUCCESS) {
        return -HUGE_VAL;
    }
    return lufs;
}

double LoudnessMeter::TruePeakDbtp() const {
    double peak = 0.0;
    for (unsigned c = 0; c < m_state->channels; ++c) {
        double channelPeak = 0.0;
        if (ebur128_true_peak(m_state->meter, c, &channelPeak) == EBUR128_SUCCESS) {
            peak = std::max(peak, channelPeak);
        }
    }
    return peak <= 0.0 ? -HUGE_VAL : 20.0 * std::log10(peak);
}

#else

struct LoudnessMeter::State {};

LoudnessMeter::LoudnessMeter(unsigned, unsigned) {
    throw ToolError("loudness measurement is not available: built without libebur128");
}
LoudnessMeter::~LoudnessMeter() = default;
void LoudnessMeter::Add(const double*, std::size_t) {}
double LoudnessMeter::IntegratedLufs() const {
    return -HUGE_VAL;
}
double LoudnessMeter::TruePeakDbtp() const {
    return -HUGE_VAL;
}

#endif

namespace {

// Look-ahead and release of the limiter.
constexpr double kLookAheadSeconds = 0.005;
constexpr double kReleaseSeconds = 0.08;
// Taps on each side of an interpolation point.
constexpr std::size_t kHalfTaps = 8;

// Hann-windowed sinc filters for the points 1/4, 2/4 and 3/4 of the way from
// one sample to the next, each over the samples -kHalfTaps+1 .. kHalfTaps
// around the first, normalised to unit gain at 0 Hz.
std::vector<std::vector<double>> InterpolationFilters() {
    const double pi = std::acos(-1.0);
    std::vector<std::vector<double>> phases;
    for (int k = 1; k <= 3; ++k) {
        const double frac = k / 4.0;
        std::vector<double> taps;
        double sum = 0.0;
        for (int n = -static_cast<int>(kHalfTaps) + 1; n <= static_cast<int>(kHalfTaps); ++n) {
            const double x = frac - n;  // distance from sample n to the point
            const double sinc = std::sin(pi * x) / (pi * x);
            const double window = 0.5 + 0.5 * std::cos(pi * x / static_cast<double>(kHalfTaps + 1));
            taps.push_back(sinc * window);
            sum += taps.back();
        }
        for (double& t : taps) {
            t /= sum;
        }
        phases.push_back(taps);
    }
    return phases;
}

}  // namespace

TruePeakLimiter::TruePeakLimiter(unsigned channels, unsigned rate, double ceiling)
    : m_channels(channels),
      m_window(std::max<std::size_t>(
          1, static_cast<std::size_t>(std::lround(kLookAheadSeconds * rate)))),
      m_ceiling(ceiling),
      m_release(std::exp(-1.0 / (kReleaseSeconds * rate))),
      m_phases(InterpolationFilters()),
      m_half(kHalfTaps) {
    // The samples before the first are silence; so are the needs before it.
    m_input.assign((m_half - 1) * channels, 0.0);
    m_windowMins.assign(m_window, 1.0);
    m_windowSum = static_cast<double>(m_window);
}

void TruePeakLimiter::Step(const double* frame, std::vector<double>& out) {
    m_input.insert(m_input.end(), frame, frame + m_channels);
    m_delay.insert(m_delay.end(), frame, frame + m_channels);
    ++m_pushed;
    if (m_input.size() < 2 * m_half * m_channels) {
        return;
    }
    // Frame j = m_detected: its samples and the points after it up to the
    // next, from the window j-half+1 .. j+half.
    double peak = 0.0;
    for (unsigned c = 0; c < m_channels; ++c) {
        peak = std::max(peak, std::abs(m_input[(m_half - 1) * m_channels + c]));
        for (const auto& taps : m_phases) {
            double v = 0.0;
            for (std::size_t n = 0; n < taps.size(); ++n) {
                v += taps[n] * m_input[n * m_channels + c];
            }
            peak = std::max(peak, std::abs(v));
        }
    }
    m_input.erase(m_input.begin(), m_input.begin() + m_channels);
    const double need = peak > m_ceiling ? m_ceiling / peak : 1.0;
    const std::uint64_t j = m_detected++;
    // The least need over j-window+1 .. j: the gain frame j-window+1 may
    // have at most, as that window reaches ahead to every peak it covers.
    while (!m_minima.empty() && m_minima.back().second >= need) {
        m_minima.pop_back();
    }
    m_minima.emplace_back(j, need);
    while (m_minima.front().first + m_window <= j) {
        m_minima.pop_front();
    }
    const double least = m_minima.front().second;
    // Averaged over the window, which still keeps every peak under its
    // need (each of the averaged minima covers it) and ramps the gain.
    m_windowSum += least - m_windowMins.front();
    m_windowMins.pop_front();
    m_windowMins.push_back(least);
    if (j + 1 < m_window) {
        return;  // frame j-window+1 does not exist
    }
    const double average = std::min(1.0, m_windowSum / static_cast<double>(m_window));
    m_gain = std::min(average, 1.0 - (1.0 - m_gain) * m_release);
    m_leastGain = std::min(m_leastGain, m_gain);
    for (unsigned c = 0; c < m_channels; ++c) {
        out.push_back(m_delay.front() * m_gain);
        m_delay.pop_front();
    }
    ++m_emitted;
}

void TruePeakLimiter::Push(const double* frames, std::size_t count, std::vector<double>& out) {
    for (std::size_t f = 0; f < count; ++f) {
        Step(frames + f * m_channels, out);
    }
}

void TruePeakLimiter::Finish(std::vector<double>& out) {
    const std::uint64_t real = m_pushed;
    const std::vector<double> silence(m_channels, 0.0);
    while (m_emitted < real) {
        Step(silence.data(), out);
    }
    // The silence pushed after the end leaves nothing else behind.
    m_delay.clear();
}

}  // namespace carovel_mix
