// Downmix matrices: how a source with more channels than the destination is
// folded into mono or stereo without losing a channel.
#ifndef CAROVEL_CONVERT_CHANNEL_MATRIX_H
#define CAROVEL_CONVERT_CHANNEL_MATRIX_H

#include <vector>

namespace _Carovel {

// Weights of destination channel r from source channel c at [r * from + c].
struct ChannelMatrix {
    unsigned from = 0;
    unsigned to = 0;
    std::vector<double> weights;

    double At(unsigned row, unsigned col) const { return weights[row * from + col]; }
};

// The downmix from `from` channels to `to` (1 or 2), or an empty matrix
// (to == 0) where none applies: to above 2, or from not above to, or from
// more than two channels of no standard layout into mono (which the
// converter averages exactly).
//
// Standard layouts, in the usual interleaving order:
//   3  L R C            4  L R Ls Rs (quad)    5  L R C Ls Rs
//   6  L R C LFE Ls Rs  8  L R C LFE Ls Rs Lb Rb (7.1)
// Into stereo, each side takes its own front channel at 1 and the centre and
// its side's surround (and back) channels at 1/sqrt(2) (-3 dB); the LFE is
// dropped. Other counts go alternately left and right (channel 0 left, 1
// right, 2 left, ...), each at 1. Each row is then divided by its sum of
// weights, so that no input can clip. Into mono, a standard layout takes the
// average of the two stereo rows.
ChannelMatrix DownmixMatrix(unsigned from, unsigned to);

}  // namespace _Carovel

#endif  // CAROVEL_CONVERT_CHANNEL_MATRIX_H
