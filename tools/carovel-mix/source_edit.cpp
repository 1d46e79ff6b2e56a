#include "source_edit.h"

#include <algorithm>
#include <cmath>

namespace carovel_mix {
namespace {

std::uint64_t FramesOf(double seconds, unsigned rate) {
    return static_cast<std::uint64_t>(std::llround(seconds * rate));
}

}  // namespace

void ApplyTrim(InputFile& file, const TrimRange& trim) {
    const unsigned rate = file.Format().samplesPerSec;
    file.Trim(FramesOf(trim.start, rate), trim.end ? FramesOf(*trim.end, rate) : UINT64_MAX);
}

Fade::Fade(std::uint64_t length, std::uint64_t in, std::uint64_t out)
    : m_length(length), m_in(std::min(in, length)), m_out(std::min(out, length)) {}

double Fade::GainAt(std::uint64_t position) const {
    const double quarter = std::acos(-1.0) / 2.0;
    double gain = 1.0;
    if (position < m_in) {
        // 0 at the first frame, reaching 1 one frame after the fade.
        gain = std::sin(quarter * static_cast<double>(position) / static_cast<double>(m_in));
    }
    const std::uint64_t fromEnd = m_length - 1 - std::min(position, m_length - 1);
    if (fromEnd < m_out) {
        gain = std::min(
            gain, std::sin(quarter * static_cast<double>(fromEnd) / static_cast<double>(m_out)));
    }
    return gain;
}

Fade MakeFade(const InputFile& file, const FadeTimes& times) {
    const unsigned rate = file.Format().samplesPerSec;
    return Fade(file.Frames(), FramesOf(times.in, rate), FramesOf(times.out, rate));
}

}  // namespace carovel_mix
