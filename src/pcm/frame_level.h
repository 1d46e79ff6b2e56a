// The level of one frame: its mean square and its peak, as fractions of full
// scale, so that a statistics read can turn them into dBFS without the frame.
#ifndef CAROVEL_PCM_FRAME_LEVEL_H
#define CAROVEL_PCM_FRAME_LEVEL_H

#include <cstddef>

namespace _Carovel {

struct FrameLevel {
    // Mean of the squared samples over the square of full scale, where full
    // scale is 2^(bits - 1) (32768 for 16 bits): a full-scale sine gives 0.5.
    float meanSquare = 0.0f;
    // Largest sample magnitude over full scale: -32768 gives 1.
    float peak = 0.0f;
    // False for frames queued without a measurement (CWaveMix::AddFrame).
    bool measured = false;
};

// Given as the width to MeasureFrameLevel: 32-bit float samples, full
// scale 1.0.
constexpr unsigned kFloatLevelWidth = 0x104;

// Measures the whole samples of len bytes of bytesPerSample-wide PCM (1 is
// unsigned around 128, 2..4 signed, kFloatLevelWidth float). An empty frame,
// or another width, gives a measured level of 0. A float frame's level may
// pass full scale (a peak above 1).
FrameLevel MeasureFrameLevel(const char* data, std::size_t len, unsigned bytesPerSample);

// 10 * log10(meanSquare) and 20 * log10(peak): dB relative to full scale,
// minus infinity for digital silence.
double MeanSquareDbfs(float meanSquare);
double PeakDbfs(float peak);

}  // namespace _Carovel

#endif  // CAROVEL_PCM_FRAME_LEVEL_H
