// Loudness for --loudness: the integrated loudness and true peak of EBU R128
// (measured with libebur128), and a look-ahead limiter that keeps the true
// peak of what it passes under a ceiling.
#ifndef CAROVEL_MIX_LOUDNESS_H
#define CAROVEL_MIX_LOUDNESS_H

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <vector>

namespace carovel_mix {

// False when carovel-mix was built without libebur128 (--loudness is then
// refused on the command line).
bool LoudnessAvailable();

// Integrated loudness (LUFS) and true peak (dBTP) of interleaved samples,
// full scale 1.0. Channels are weighted as EBU R128 weights a 1, 2 or 5.1
// layout (left, right, centre, LFE unweighted, surrounds).
class LoudnessMeter {
  public:
    // Throws ToolError when libebur128 is missing or refuses the layout.
    LoudnessMeter(unsigned channels, unsigned rate);
    ~LoudnessMeter();
    LoudnessMeter(const LoudnessMeter&) = delete;
    LoudnessMeter& operator=(const LoudnessMeter&) = delete;

    void Add(const double* frames, std::size_t count);
    // -inf (-HUGE_VAL) for silence or less than 400 ms.
    double IntegratedLufs() const;
    // The largest true peak over the channels, dB relative to full scale.
    double TruePeakDbtp() const;

  private:
    struct State;
    std::unique_ptr<State> m_state;
};

// A look-ahead limiter: delays the signal by a few milliseconds and lowers
// its gain smoothly ahead of every peak, so that the peaks between samples
// (estimated by four-times oversampling) stay at or below the ceiling; it
// lets quieter parts pass unchanged. Output frames come out in order, as
// many as went in once Finish() was called.
class TruePeakLimiter {
  public:
    // ceiling: linear, of full scale (1.0).
    TruePeakLimiter(unsigned channels, unsigned rate, double ceiling);

    // Takes count frames and appends to out the frames that are ready.
    void Push(const double* frames, std::size_t count, std::vector<double>& out);
    // Appends the frames still held back.
    void Finish(std::vector<double>& out);
    // The smallest gain applied so far (1 when nothing was limited).
    double LeastGain() const { return m_leastGain; }

  private:
    void Step(const double* frame, std::vector<double>& out);

    unsigned m_channels;
    std::size_t m_window;  // look-ahead in frames
    double m_ceiling;
    double m_release;                           // per-frame recovery factor
    std::vector<std::vector<double>> m_phases;  // interpolation filters, 1/4 .. 3/4
    std::size_t m_half;                         // taps on each side of a phase

    std::deque<double> m_input;  // frames awaiting detection (interleaved)
    std::uint64_t m_pushed = 0;
    std::uint64_t m_emitted = 0;
    std::uint64_t m_detected = 0;                           // frames whose need is known
    std::deque<std::pair<std::uint64_t, double>> m_minima;  // sliding minimum of needs
    std::deque<double> m_windowMins;                        // minima for the running average
    double m_windowSum = 0.0;
    std::deque<double> m_delay;  // frames awaiting their gain
    double m_gain = 1.0;
    double m_leastGain = 1.0;
};

}  // namespace carovel_mix

#endif  // CAROVEL_MIX_LOUDNESS_H
